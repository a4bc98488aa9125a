// PE files: images built by clang and lld-link, signed by osslsigncode; the
// image digest against osslsigncode's, the verdicts against `osslsigncode
// verify`, the version fields against python3-pefile (and llvm-readobj in
// the generator), and hostile layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "core/formats/dictionary.h"
#include "core/security/certstorenull.h"
#include "core/security/pefile.h"
#include "tests/exec_test_util.h"
#include "tests/pin_store_util.h"

namespace {

std::string vectorPath(const std::string &name) {
  return Test_VectorPath("authenticode/" + name);
}

const HashInterface *hashNamed(const std::string &name) {
  const HashInterface *h = nullptr;
  return name == "none" || !Hash_GetInterfaceByName(name.c_str(), &h) ? nullptr : h;
}

std::string imageDigest(Bytes bytes, const HashInterface *h) {
  Test_MemoryFile file(bytes);
  return Test_DigestHex(h, [&](HashHandle *hash) { return PEFile_HashImage(file.stream(), hash); });
}

int verifyBytes(CertStore *store, Bytes bytes) {
  Test_MemoryFile file(bytes);
  return PEFile_VerifyStream(store, file.stream());
}

struct Stores {
  CertStore *root = Test_PinStore({Test_ReadFileBytes(vectorPath("root.der"))});
  CertStore *other = Test_PinStore({Test_ReadFileBytes(vectorPath("other_root.der"))});
  CertStore *none = nullptr;
  Stores() { CertStoreNull_Create(&none); }
  ~Stores() {
    CertStore_Release(&root);
    CertStore_Release(&other);
    CertStore_Release(&none);
  }
};

TEST(PEFile, DigestsAndVerdictsAgreeWithOsslsigncode) {
  Stores stores;
  int rows = 0;
  for (const auto &[line, f] : Test_ReadRows("authenticode/pe_cases.txt")) {
    SCOPED_TRACE(f[0]);
    std::string path = vectorPath(f[0]);
    Bytes bytes = Test_ReadFileBytes(path);
    {
      Test_MemoryFile file(bytes);
      PEHeaders h;
      EXPECT_EQ(PEFile_ReadHeaders(file.stream(), &h), std::stoi(f[1]));
    }
    EXPECT_EQ(PEFile_IsPE(path.c_str()), 1);
    const HashInterface *h = hashNamed(f[2]);
    EXPECT_EQ(PEFile_IsSigned(path.c_str()), h != nullptr ? 1 : 0);
    if (h == nullptr) {
      EXPECT_EQ(PEFile_VerifySignature(stores.root, path.c_str()), 0);
      continue;
    }
    rows++;
    EXPECT_EQ(imageDigest(bytes, h), f[3]);
    // MD5 is refused where osslsigncode still accepts it.
    int expected = h == &kHashMd5 ? 0 : std::stoi(f[4]);
    EXPECT_EQ(PEFile_VerifySignature(stores.root, path.c_str()), expected);
    EXPECT_EQ(PEFile_VerifySignature(stores.other, path.c_str()), 0);
    EXPECT_EQ(PEFile_VerifySignature(stores.none, path.c_str()), 0);
    // Signing leaves the digest as it was: the unsigned image gives it too.
    size_t dash = f[0].find('-');
    if (f[0] != "forged.exe") {
      EXPECT_EQ(imageDigest(Test_ReadFileBytes(vectorPath(f[0].substr(0, dash) + ".exe")), h),
                f[3]);
    }
  }
  EXPECT_EQ(rows, 10);
}

TEST(PEFile, RefusalsNameTheirReason) {
  Stores stores;
  struct Row {
    const char *file;
    const char *line;
  } rows[] = {
      // Another image's digest written into a valid signature.
      {"forged.exe", "Content digest does not match signed attributes"},
      {"pe64-md5.exe", "Refused MD5 signer digest"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.file);
    int result = -1;
    std::string lines = Test_VerboseLines(
        [&] { result = PEFile_VerifySignature(stores.root, vectorPath(row.file).c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_NE(lines.find(row.line), std::string::npos) << lines;
  }
}

// Offsets in a PE32+ image: e_lfanew at 60; from the NT headers FileAlignment
// at 60, the certificate-table entry at 168, the section headers at 264.
struct Layout {
  size_t nt, table, tableSize, lastSection;
  explicit Layout(const Bytes &b)
      : nt(Test_Load32(b, 60)), table(Test_Load32(b, nt + 168)),
        tableSize(Test_Load32(b, nt + 168 + 4)),
        lastSection(nt + 264 + 40 * (size_t(b[nt + 6]) - 1)) {}
};

TEST(PEFile, HostileLayoutsFailAtOnce) {
  Stores stores;
  const Bytes signed64 = Test_ReadFileBytes(vectorPath("pe64-sha256.exe"));
  const std::string good = imageDigest(signed64, &kHashSha256);
  const Layout at(signed64);
  ASSERT_EQ(at.table + at.tableSize, signed64.size());
  struct Row {
    const char *name;
    std::function<void(Bytes &)> change;
    bool digests, verifies;
  } rows[] = {
      {"as signed", [](Bytes &) {}, true, true},
      {"bytes after the table", [](Bytes &b) { b.push_back(0); }, false, false},
      {"table over the last section",
       [&](Bytes &b) {
         uint32_t start = Test_Load32(b, at.lastSection + 20);
         Test_Store32(b, at.nt + 168, start);
         Test_Store32(b, at.nt + 172, uint32_t(b.size()) - start);
       },
       false, false},
      {"SizeOfRawData 4 GiB - 1",
       [&](Bytes &b) { Test_Store32(b, at.lastSection + 16, 0xFFFFFFFF); }, false, false},
      {"FileAlignment 0", [&](Bytes &b) { Test_Store32(b, at.nt + 60, 0); }, false, false},
      {"SizeOfHeaders short of the section headers",
       [&](Bytes &b) { Test_Store32(b, at.nt + 84, 0x100); }, false, false},
      {"dwLength 4", [&](Bytes &b) { Test_Store32(b, at.table, 4); }, true, false},
      {"dwLength 8", [&](Bytes &b) { Test_Store32(b, at.table, 8); }, true, false},
      {"dwLength past the table",
       [&](Bytes &b) { Test_Store32(b, at.table, uint32_t(at.tableSize) + 1); }, true, false},
      {"table grown in place",
       [&](Bytes &b) {
         b.resize(b.size() + 4096, 0);
         Test_Store32(b, at.nt + 172, uint32_t(at.tableSize) + 4096);
         Test_Store32(b, at.table, Test_Load32(b, at.table) + 4096);
       },
       true, true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Bytes bytes = signed64;
    row.change(bytes);
    EXPECT_EQ(imageDigest(bytes, &kHashSha256), row.digests ? good : "");
    EXPECT_EQ(verifyBytes(stores.root, bytes), row.verifies ? 1 : 0);
  }
}

TEST(PEFile, CertificateEntryLengths) {
  const Bytes signed64 = Test_ReadFileBytes(vectorPath("pe64-sha256.exe"));
  const Layout at(signed64);
  for (uint32_t length : {4u, 8u, 9u, 10u, 11u}) {
    SCOPED_TRACE(length);
    Bytes bytes = signed64;
    Test_Store32(bytes, at.table, length);
    Test_MemoryFile file(bytes);
    uint64_t offset = 0;
    uint32_t found = 0;
    EXPECT_EQ(PEFile_FindCertificate(file.stream(), &offset, &found), length >= 9 ? 1 : 0);
    // Shorter than 11 bytes counts as unsigned.
    EXPECT_EQ(PEFile_GetCertificateLength(file.stream(), &found), length >= 11 ? 1 : 0);
    Bytes entry(length);
    EXPECT_EQ(PEFile_GetCertificate(file.stream(), entry.data(), length), length >= 9 ? 1 : 0);
    if (length >= 9) {
      EXPECT_EQ(Test_Load32(entry, 0), length - 8);
    }
  }
}

std::string fieldOf(Dictionary *table, const char *key) {
  const char *text = nullptr;
  int32_t length = 0;
  if (!Dictionary_GetTextByKey(table, key, &text, &length) || text == nullptr) return "<missing>";
  return std::string(text, size_t(length));
}

TEST(PEFile, VersionFieldsAgreeWithPefile) {
  std::map<std::string, std::map<std::string, std::string>> expected;
  // Later rows win: the fixed info comes last.
  for (const auto &[line, f] : Test_ReadRows("authenticode/pe_version.txt"))
    expected[f[0]][f[1]] = f.size() > 2 ? f[2] : "";
  ASSERT_EQ(expected.size(), 2u);
  for (const auto &[file, fields] : expected) {
    SCOPED_TRACE(file);
    Dictionary *table = nullptr;
    Dictionary_Create(&table);
    EXPECT_EQ(PEFile_ReadVersionInfo(vectorPath(file).c_str(), table), 1);
    for (const auto &[key, value] : fields) EXPECT_EQ(fieldOf(table, key.c_str()), value) << key;
    EXPECT_EQ(fieldOf(table, "FileVersion"), "1.2.3.4");
    Dictionary_Release(&table);
  }
}

// The ".rsrc" bytes of the PE32+ image and the offsets of its blocks.
struct Resource {
  Bytes bytes;
  size_t version, info, table, string;  // VS_VERSION_INFO, StringFileInfo, first StringTable,
                                        // first String
  Resource() {
    Bytes image = Test_ReadFileBytes(vectorPath("pe64.exe"));
    Test_MemoryFile file(image);
    uint32_t offset = 0, size = 0;
    EXPECT_TRUE(PEFile_FindResourceSection(file.stream(), &offset, &size));
    bytes.assign(image.begin() + offset, image.begin() + offset + size);
    version = find(u"VS_VERSION_INFO", 32) - 6;
    const char16_t key[] = u"StringFileInfo";
    info = find(key, sizeof key) - 6;
    table = (info + 6 + sizeof key + 3) & ~size_t(3);
    string = (table + 24 + 3) & ~size_t(3);
  }
  size_t find(const char16_t *key, size_t size) {
    auto *k = reinterpret_cast<const uint8_t *>(key);
    return size_t(std::search(bytes.begin(), bytes.end(), k, k + size) - bytes.begin());
  }
  void store16(size_t at, uint16_t v) {
    bytes[at] = uint8_t(v);
    bytes[at + 1] = uint8_t(v >> 8);
  }
};

TEST(PEFile, HostileVersionBlocksGiveNothing) {
  struct Row {
    const char *name;
    std::function<void(Resource &)> change;
    int result;
  } rows[] = {
      {"as built", [](Resource &) {}, 1},
      {"String wLength 0", [](Resource &r) { r.store16(r.string, 0); }, 0},
      {"String wLength 5", [](Resource &r) { r.store16(r.string, 5); }, 0},
      {"String past its table", [](Resource &r) { r.store16(r.string, 0xFFF0); }, 0},
      {"StringTable past its parent", [](Resource &r) { r.store16(r.table, 0xFFF0); }, 0},
      {"StringFileInfo past the section", [](Resource &r) { r.store16(r.info, 0xFFF0); }, 0},
      {"huge wValueLength stays in its block", [](Resource &r) { r.store16(r.string + 2, 0xFFFF); },
       1},
      {"fixed info with a wrong signature", [](Resource &r) { r.bytes[r.version + 40] ^= 1; },
       0},
      // The block header and its key end the section; the fixed info would
      // lie beyond it.
      {"VS_VERSION_INFO at the section's end",
       [](Resource &r) { r.bytes.resize(r.version + 38); }, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Resource r;
    row.change(r);
    Dictionary *table = nullptr;
    Dictionary_Create(&table);
    EXPECT_EQ(PEFile_ReadVersionBlock(r.bytes.data(), int64_t(r.bytes.size()), table), row.result);
    if (row.result == 0) {
      EXPECT_EQ(fieldOf(table, "CompanyName"), "<missing>");
    }
    Dictionary_Release(&table);
  }
}

TEST(PEFile, ResourceSectionOutsideTheFileIsNotRead) {
  Bytes image = Test_ReadFileBytes(vectorPath("pe64.exe"));
  const Layout at(image);
  Test_Store32(image, at.lastSection + 16, 0xFFFFFFFF);  // .rsrc is the last section
  std::string path = testing::TempDir() + "pefile_big_rsrc.exe";
  Test_WriteFileBytes(path, image);
  Dictionary *table = nullptr;
  Dictionary_Create(&table);
  EXPECT_EQ(PEFile_ReadVersionInfo(path.c_str(), table), 0);
  Dictionary_Release(&table);
  std::remove(path.c_str());
}

}  // namespace
