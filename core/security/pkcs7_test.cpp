// PKCS#7 outside PE files: CMS and S/MIME signatures made by the openssl
// command line, verified through a digest over the content, against
// `openssl cms -verify` on intact and altered content.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "core/security/asn.h"
#include "core/security/certstorenull.h"
#include "core/security/execfile.h"
#include "core/security/pkcs7.h"
#include "tests/exec_test_util.h"
#include "tests/pin_store_util.h"

namespace {

struct CmsCase {
  std::string name;
  Bytes signature, content, altered, alteredSignature;
  int verdict, alteredVerdict;  // openssl cms -verify
};

std::vector<CmsCase> cmsCases() {
  std::vector<CmsCase> cases;
  for (const auto &[line, f] : Test_ReadRows("authenticode/cms_cases.txt"))
    cases.push_back({f[0], Test_HexToBytes(f[1]), Test_HexToBytes(f[2]), Test_HexToBytes(f[4]),
                     Test_HexToBytes(f[6]), std::stoi(f[3]), std::stoi(f[5])});
  return cases;
}

Bytes vectorFile(const std::string &name) {
  return Test_ReadFileBytes(Test_VectorPath("authenticode/" + name));
}

int digestStream(Stream *source, HashHandle *hash) {
  ExecutableHashFeed feed(source, hash);
  return feed.Range(0, ExecutableFile_Size(source)) ? 1 : 0;
}

// Parses signature, chooses the expected digest and verifies content.
int verifyCms(CertStore *store, const Bytes &signature, Bytes content, PKCS7 *p = nullptr) {
  PKCS7 *own = nullptr;
  if (p == nullptr) PKCS7_Create(&own);
  PKCS7 *pkcs7 = p != nullptr ? p : own;
  Test_MemoryFile file(content);
  int ok = PKCS7_SetData(pkcs7, signature.data(), int32_t(signature.size())) &&
           PKCS7_Parse(pkcs7) && PKCS7_SelectExpectedDigest(pkcs7) &&
           PKCS7_VerifyContent(pkcs7, store, file.stream(), digestStream);
  if (own != nullptr) PKCS7_Release(&own);
  return ok;
}

TEST(Pkcs7, VerdictsAgreeWithOpenssl) {
  CertStore *root = Test_PinStore({vectorFile("root.der")});
  CertStore *other = Test_PinStore({vectorFile("other_root.der")});
  CertStore *none = nullptr;
  CertStoreNull_Create(&none);
  // Where we part from openssl, on purpose: a signature without signed
  // attributes signs no content digest and is refused.
  const std::map<std::string, std::pair<int, int>> ours = {{"cms-sha256-noattr", {0, 0}}};
  auto cases = cmsCases();
  ASSERT_EQ(cases.size(), 6u);
  for (const CmsCase &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.name == "cms-two-signers") {
      // Only the first signer counts: one root trusts it, the other not;
      // openssl checks both and trusts only one root.
      EXPECT_EQ(c.verdict, 0);
      EXPECT_EQ(verifyCms(root, c.signature, c.content) + verifyCms(other, c.signature, c.content),
                1);
      continue;
    }
    auto expected = ours.count(c.name) ? ours.at(c.name)
                                       : std::make_pair(c.verdict, c.alteredVerdict);
    EXPECT_EQ(verifyCms(root, c.signature, c.content), expected.first);
    EXPECT_EQ(verifyCms(root, c.alteredSignature, c.altered), expected.second);
    EXPECT_EQ(verifyCms(other, c.signature, c.content), 0);
    EXPECT_EQ(verifyCms(none, c.signature, c.content), 0);
  }
  CertStore_Release(&root);
  CertStore_Release(&other);
  CertStore_Release(&none);
}

// Signed-attribute binding: the embedded content of an attached signature
// is taken only when its digest is the signed messageDigest.
TEST(Pkcs7, RefusalsNameTheirReason) {
  CertStore *root = Test_PinStore({vectorFile("root.der")});
  auto cases = cmsCases();
  auto find = [&](const std::string &name) {
    for (const CmsCase &c : cases)
      if (c.name == name) return c;
    return CmsCase{};
  };
  CmsCase attached = find("cms-sha256-attached");
  CmsCase detached = find("cms-sha256-detached");
  // A 20-byte expected digest for a SHA-256 signer.
  Asn1Node *twenty = nullptr;
  Asn1_Create(&twenty);
  const uint8_t octets[22] = {0x04, 20};
  ASSERT_TRUE(Asn1_ParseBuffer(twenty, octets, sizeof octets));
  struct Row {
    const char *name;
    std::function<int()> run;
    const char *line;
  } rows[] = {
      {"embedded content altered",
       [&] { return verifyCms(root, attached.alteredSignature, attached.content); },
       "Content digest does not match signed attributes"},
      {"without signed attributes",
       [&] { return verifyCms(root, find("cms-sha256-noattr").signature, detached.content); },
       "Missing content digest"},
      {"without certificates",
       [&] { return verifyCms(root, find("cms-sha256-nocerts").signature, detached.content); },
       "Signer info certificate not found in chain"},
      {"altered detached content",
       [&] { return verifyCms(root, detached.signature, detached.altered); },
       "Verification failed"},
      {"expected digest of another size",
       [&] {
         PKCS7 *p = nullptr;
         PKCS7_Create(&p);
         PKCS7_SetData(p, detached.signature.data(), int32_t(detached.signature.size()));
         PKCS7_Parse(p);
         p->ExpectedDigest = Asn1_GetChild(twenty, 0);
         uint8_t digest[kPkcs7DigestBufferBytes] = {};
         int ok = PKCS7_VerifyDigest(p, root, digest, sizeof digest);
         PKCS7_Release(&p);
         return ok;
       },
       "Digest size doesn't match content hash size (32:20)"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    int result = -1;
    std::string lines = Test_VerboseLines([&] { result = row.run(); });
    EXPECT_EQ(result, 0);
    EXPECT_NE(lines.find(row.line), std::string::npos) << lines;
  }
  Asn1_Release(&twenty);
  CertStore_Release(&root);
}

TEST(Pkcs7, MalformedInputParsesToNothing) {
  CmsCase c = cmsCases().at(0);
  PKCS7 *p = nullptr;
  PKCS7_Create(&p);
  EXPECT_EQ(PKCS7_SetData(p, c.signature.data(), 0), 0);
  for (size_t cut : {size_t(1), size_t(20), c.signature.size() / 2, c.signature.size() - 1}) {
    SCOPED_TRACE(cut);
    ASSERT_EQ(PKCS7_SetData(p, c.signature.data(), int32_t(cut)), 1);
    EXPECT_EQ(PKCS7_Parse(p), 0);
    EXPECT_EQ(p->SignedData.SignerInfo.Hash, nullptr);
  }
  // Padding after the SignedData (as certificate tables carry) is ignored.
  Bytes padded = c.signature;
  padded.insert(padded.end(), 7, 0);
  ASSERT_EQ(PKCS7_SetData(p, padded.data(), int32_t(padded.size())), 1);
  EXPECT_EQ(PKCS7_Parse(p), 1);
  PKCS7_Release(&p);
}

TEST(Pkcs7DeathTest, NullObjectAndShortDigestBufferStop) {
  EXPECT_DEATH(PKCS7_Parse(nullptr), "Pointer is NULL");
  CmsCase c = cmsCases().at(0);  // a SHA-256 signer
  PKCS7 *p = nullptr;
  PKCS7_Create(&p);
  PKCS7_SetData(p, c.signature.data(), int32_t(c.signature.size()));
  ASSERT_EQ(PKCS7_Parse(p), 1);
  CertStore *none = nullptr;
  CertStoreNull_Create(&none);
  uint8_t digest[16] = {};
  EXPECT_DEATH(PKCS7_VerifyDigest(p, none, digest, sizeof digest), "PKCS7 digest overflow");
  CertStore_Release(&none);
  PKCS7_Release(&p);
}

}  // namespace
