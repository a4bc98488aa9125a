// The store record and the local store kinds.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/platform.h"
#include "core/runtime/base64.h"
#include "core/security/auth.h"
#include "core/security/certstorekey.h"
#include "core/security/certstorelist.h"
#include "core/security/certstorenull.h"
#include "core/security/certstoreplatform.h"
#include "core/security/certstoretable.h"
#include "core/security/certstorethumbprint.h"
#include "core/security/x509anchors.h"
#include "core/security/x509chain.h"
#include "tests/pki_test_util.h"
#include "tests/test_util.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// A store answering fixed values, counting the questions.
struct FixedStore {
  CertStore *store = nullptr;
  int trust = 0;
  int reject = 0;
  std::atomic<int> asked{0};
  FixedStore(int trustIt, int rejectIt) : trust(trustIt), reject(rejectIt) {
    CertStore_Create(&store);
    CertStore_SetRetain(store, this, [](CertStore *, void *) {});
    CertStore_SetRelease(store, this, [](CertStore **, void *) {});
    CertStore_SetCheckCertificate(store, this, [](CertStore *, void *c, X509 *, int *rejected) {
      auto *self = static_cast<FixedStore *>(c);
      self->asked++;
      *rejected = self->reject;
      return self->trust;
    });
    CertStore_SetFindKey(store, this,
                         [](CertStore *, void *c, Dictionary *, CryptAsymmetric **, int *rejected) {
                           auto *self = static_cast<FixedStore *>(c);
                           self->asked++;
                           *rejected = self->reject;
                           return self->trust;
                         });
  }
  ~FixedStore() { CertStore_Delete(&store); }
};

typedef Test_Pki Pki;

struct Cert {
  X509 *cert = nullptr;
  explicit Cert(const Bytes &der) {
    X509_Create(&cert);
    EXPECT_EQ(X509_LoadDer(cert, der.data(), int32_t(der.size())), 1);
  }
  ~Cert() { X509_Release(&cert); }
};

std::string base64(const Bytes &bytes) {
  std::string text(bytes.size() * 2 + 8, '\0');
  int64_t written = 0;
  Base64_Encode(bytes.data(), int64_t(bytes.size()), text.data(), int64_t(text.size()), &written);
  text.resize(size_t(written));
  return text;
}

std::string thumbprint(const Bytes &der, const HashInterface *h) {
  uint8_t digest[kHashMaxDigestBytes];
  Hash_ComputeDigest(h, der.data(), int64_t(der.size()), digest, sizeof digest);
  return base64(Bytes(digest, digest + h->DigestSize));
}

// The SHA-256 thumbprint in hex, with sep between the bytes.
std::string hexThumbprint(const Bytes &der, const char *sep) {
  uint8_t digest[kHashMaxDigestBytes];
  Hash_ComputeDigest(&kHashSha256, der.data(), int64_t(der.size()), digest, sizeof digest);
  std::string text;
  for (int i = 0; i < kHashSha256.DigestSize; i++)
    text += (i > 0 ? sep : "") + std::string(1, "0123456789abcdef"[digest[i] >> 4]) +
            "0123456789abcdef"[digest[i] & 15];
  return text;
}

// A thumbprint store over a list of texts.
CertStore *thumbStore(const std::vector<std::string> &items, int *added) {
  CertStore *store = nullptr;
  CertStoreThumbprint_Create(&store);
  Dictionary *root = nullptr;
  Dictionary *list = nullptr;
  Dictionary_Create(&root);
  Dictionary_AddList(root, "pins", &list, nullptr);
  for (const auto &item : items) {
    if (item == "<null>")
      Dictionary_AddNull(list, nullptr, nullptr);
    else
      Dictionary_AddString(list, nullptr, item.c_str(), nullptr);
  }
  *added = CertStoreThumbprint_AddList(store, list);
  Dictionary_Release(&root);
  return store;
}

// A header {"x5c": [certificates...]}.
Dictionary *x5cHeader(const std::vector<Bytes> &certs) {
  Dictionary *header = nullptr;
  Dictionary *list = nullptr;
  Dictionary_Create(&header);
  Dictionary_AddList(header, "x5c", &list, nullptr);
  for (const auto &der : certs) Dictionary_AddString(list, nullptr, base64(der).c_str(), nullptr);
  return header;
}

}  // namespace

TEST(CertStore, SwitchOffTrustsAndFindsNoKey) {
  Test_LogRecord log;
  Pki pki;
  Cert leaf(pki.leaf);
  CertStore *null = nullptr;
  CertStoreNull_Create(&null);
  int rejected = 1;
  CryptAsymmetric *key = nullptr;
  {
    AuthSwitchGuardForTest on(1);
    EXPECT_EQ(CertStore_CheckCertificate(null, leaf.cert, &rejected), 0);
    EXPECT_EQ(rejected, 0);
    EXPECT_EQ(CertStore_FindKey(null, nullptr, &key, &rejected), 0);
  }
  {
    AuthSwitchGuardForTest off(0);
    EXPECT_EQ(CertStore_CheckCertificate(null, leaf.cert, &rejected), 1);
    EXPECT_EQ(CertStore_FindKey(null, nullptr, &key, &rejected), 1);
    EXPECT_EQ(key, nullptr);
  }
  CertStore_Release(&null);
  EXPECT_EQ(null, nullptr);
}

// A key store answers GetKey with the kind and trusts no certificate; a
// public key must be a SubjectPublicKeyInfo.
TEST(CertStore, KeyStoreKinds) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  Pki pki;
  Cert leaf(pki.leaf);
  CertStore *store = nullptr;
  CertStoreKey_Create(&store);
  const uint8_t *bytes = nullptr;
  int32_t length = 0;
  CertStoreKeyKind kind = CertStoreKeyKind::Secret;
  EXPECT_EQ(CertStore_GetKey(store, &bytes, &length, &kind), 0);
  EXPECT_EQ(kind, CertStoreKeyKind::None);
  const char secret[] = "hmac secret";
  EXPECT_EQ(CertStoreKey_SetKey(store, CertStoreKeyKind::Secret, secret, 11), 1);
  EXPECT_EQ(CertStore_GetKey(store, &bytes, &length, &kind), 1);
  EXPECT_EQ(kind, CertStoreKeyKind::Secret);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes), size_t(length)), "hmac secret");
  // Not a SubjectPublicKeyInfo: refused, the secret stays.
  EXPECT_EQ(CertStoreKey_SetKey(store, CertStoreKeyKind::PublicKey, secret, 11), 0);
  EXPECT_EQ(CertStore_GetKey(store, &bytes, &length, &kind), 1);
  EXPECT_EQ(kind, CertStoreKeyKind::Secret);
  // The certificate's own SubjectPublicKeyInfo.
  const Asn1Node *tbs = Asn1_GetChild(Asn1_GetChild(leaf.cert->Document, 0), 0);
  const Asn1Node *spki = Asn1_GetChild(tbs, 6);
  ASSERT_EQ(Asn1_GetTag(spki), kAsn1Sequence);
  EXPECT_EQ(CertStoreKey_SetKey(store, CertStoreKeyKind::PublicKey, Asn1_GetElementStart(spki),
                                int32_t(Asn1_GetElementLength(spki))),
            1);
  EXPECT_EQ(CertStore_GetKey(store, &bytes, &length, &kind), 1);
  EXPECT_EQ(kind, CertStoreKeyKind::PublicKey);
  int rejected = 1;
  EXPECT_EQ(CertStore_CheckCertificate(store, leaf.cert, &rejected), 0);
  EXPECT_EQ(rejected, 0);
  CertStore_Release(&store);
}

// The first member that rejects ends the walk; one that trusts answers.
TEST(CertStore, ListAsksInOrderAndStopsAtARejection) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  Pki pki;
  Cert leaf(pki.leaf);
  struct Row {
    std::vector<std::pair<int, int>> members;  // {trust, reject}
    int answer, rejected, asked;
  };
  const Row rows[] = {
      {{}, 0, 0, 0},
      {{{0, 0}, {1, 0}, {1, 0}}, 1, 0, 2},
      {{{0, 1}, {1, 0}}, 0, 1, 1},
      {{{0, 0}, {0, 0}}, 0, 0, 2},
  };
  for (const Row &row : rows) {
    std::vector<std::unique_ptr<FixedStore>> members;
    CertStoreList *list = nullptr;
    CertStoreList_Create(&list);
    for (auto [trust, reject] : row.members) {
      members.push_back(std::make_unique<FixedStore>(trust, reject));
      CertStoreList_Add(list, members.back()->store);
    }
    CertStore *store = CertStoreList_GetInterface(list);
    int rejected = 0;
    EXPECT_EQ(CertStore_CheckCertificate(store, leaf.cert, &rejected), row.answer);
    EXPECT_EQ(rejected, row.rejected);
    int asked = 0;
    for (auto &m : members) asked += m->asked;
    EXPECT_EQ(asked, row.asked);
    CertStore_Release(&store);
    CertStoreList_Release(&list);
  }
}

// "app" is fixed; a replaceable entry is replaced and its store released.
TEST(CertStore, TableReplacesOnlyReplaceableEntries) {
  Test_LogRecord log;
  CertStoreTable *table = nullptr;
  CertStoreTable_Create(&table);
  CertStore *a = nullptr;
  CertStore *b = nullptr;
  CertStoreNull_Create(&a);
  CertStoreNull_Create(&b);
  void *kindA = nullptr;
  Callback_Get(&a->Retain, &kindA, nullptr);
  auto refs = [&] { return static_cast<ObjectHeader *>(kindA)->refCount.load(); };
  EXPECT_EQ(CertStoreTable_Add(table, "app", 0, a), 1);
  EXPECT_EQ(CertStoreTable_Add(table, "app", 0, b), 0);
  EXPECT_EQ(CertStoreTable_Add(table, "app", 1, b), 0);
  EXPECT_EQ(CertStoreTable_Add(table, "user", 1, a), 1);
  EXPECT_EQ(refs(), 3);
  EXPECT_EQ(CertStoreTable_Add(table, "user", 1, b), 1);
  EXPECT_EQ(refs(), 2);  // the old entry's reference went
  CertStore *found = nullptr;
  EXPECT_EQ(CertStoreTable_Find(table, "user", &found), 1);
  EXPECT_EQ(found, b);
  CertStore_Release(&found);
  EXPECT_EQ(CertStoreTable_Find(table, "missing", &found), 0);
  EXPECT_EQ(CertStoreTable_Add(table, std::string(400, 'n').c_str(), 1, a), 0);
  CertStoreTable_Release(&table);
  EXPECT_EQ(refs(), 1);
  CertStore_Release(&a);
  CertStore_Release(&b);
}

// Pins of several hashes; bad items are logged and skipped.
TEST(CertStore, ThumbprintPins) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  Pki pki;
  Cert leaf(pki.leaf);
  Cert inter(pki.inter);
  struct Row {
    std::vector<std::string> items;
    int added, leafTrusted, interTrusted;
  };
  const Row rows[] = {
      {{thumbprint(pki.leaf, &kHashSha1), thumbprint(pki.inter, &kHashSha256)}, 1, 1, 1},
      {{thumbprint(pki.leaf, &kHashSha512)}, 1, 1, 0},
      {{thumbprint(pki.leaf, &kHashSha384), thumbprint(pki.root, &kHashSha224)}, 1, 1, 0},
      {{base64(Bytes(16, 7)), "not base64!", "<null>", "true"}, 0, 0, 0},
      {{base64(Bytes(16, 7)), thumbprint(pki.inter, &kHashSha1)}, 1, 0, 1},
      // Hex as sha256sum and openssl print it is no pin (64 hex digits
      // would read as Base64 of 48 bytes, a SHA-384 pin of nothing).
      {{hexThumbprint(pki.leaf, ""), hexThumbprint(pki.leaf, ":")}, 0, 0, 0},
  };
  for (const Row &row : rows) {
    int added = 0;
    CertStore *store = thumbStore(row.items, &added);
    EXPECT_EQ(added, row.added);
    int rejected = 0;
    EXPECT_EQ(CertStore_CheckCertificate(store, leaf.cert, &rejected), row.leafTrusted);
    EXPECT_EQ(CertStore_CheckCertificate(store, inter.cert, &rejected), row.interTrusted);
    EXPECT_EQ(rejected, 0);
    CertStore_Release(&store);
  }
}

// "x5c" through the thumbprint store (any purpose) and the platform store
// (code signing), and headers without a usable "x5c".
TEST(CertStore, FindKeyByX5c) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  Pki pki;
  int added = 0;
  CertStore *pins = thumbStore({thumbprint(pki.root, &kHashSha256)}, &added);
  X509Anchors_ResetForTest(Test_VectorPath("pki_bundle.pem").c_str());
  CertStore *platform = nullptr;
  CertStorePlatform_Create(&platform);
  struct Row {
    std::vector<Bytes> x5c;
    CertStore *store;
    int found;
  };
  const Row rows[] = {
      {{pki.leaf, pki.inter, pki.root}, pins, 1},
      {{pki.leaf, pki.root}, pins, 0},
      {{}, pins, 0},
      {{pki.leaf, pki.inter}, platform, 0},  // a TLS server certificate signs no code
      {{pki.inter}, platform, 1},            // no extKeyUsage: any purpose
  };
  for (const Row &row : rows) {
    Dictionary *header = x5cHeader(row.x5c);
    CryptAsymmetric *key = nullptr;
    int rejected = 0;
    EXPECT_EQ(CertStore_FindKey(row.store, header, &key, &rejected), row.found);
    EXPECT_EQ(key != nullptr, row.found == 1);
    if (key != nullptr) CryptAsymmetric_Release(&key);
    Dictionary_Release(&header);
  }
  CryptAsymmetric *key = nullptr;
  int rejected = 0;
  EXPECT_EQ(CertStore_FindKey(pins, nullptr, &key, &rejected), 0);
  CertStore_Release(&platform);
  CertStore_Release(&pins);
  X509Anchors_ResetForTest(nullptr);
}

// A test bundle trusts a leaf through its intermediate; the system bundle
// holds over 100 anchors, each passing its own check.
TEST(X509Anchors, BundlesVouch) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  Pki pki;
  X509Anchors_ResetForTest(Test_VectorPath("pki_bundle.pem").c_str());
  EXPECT_EQ(X509Anchors_GetCount(), 3);
  Cert leaf(pki.leaf);
  Cert inter(pki.inter);
  Cert root(pki.root);
  EXPECT_EQ(X509Anchors_Check(root.cert), 1);
  EXPECT_EQ(X509Anchors_Check(inter.cert), 1);
  EXPECT_EQ(X509Anchors_Check(leaf.cert), 0);  // one step only
  int revoked = 1;
  EXPECT_EQ(Platform_VerifyCertificateChain(pki.inter.data(), int32_t(pki.inter.size()), &revoked),
            1);
  EXPECT_EQ(revoked, 0);
  EXPECT_EQ(Platform_VerifyCertificateChain("junk", 4, &revoked), 0);
  CertStore *platform = nullptr;
  CertStorePlatform_Create(&platform);
  X509Chain *chain = nullptr;
  X509Chain_Create(&chain);
  X509Chain_Add(chain, inter.cert);
  EXPECT_EQ(X509Chain_VerifyPolicy(chain, leaf.cert, platform, X509Purpose::ServerAuth,
                                   double(time(nullptr))),
            1);
  X509Chain_Release(&chain);
  CertStore_Release(&platform);

  X509Anchors_ResetForTest(nullptr);
  int count = X509Anchors_GetCount();
  EXPECT_GT(count, 100);
  std::ifstream in(kX509AnchorsBundlePath, std::ios::binary);
  std::string bundle((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int checked = 0;
  struct Context {
    int *checked;
  } context{&checked};
  X509Pem_ReadCertificates(bundle.data(), bundle.size(),
                           [](void *c, const uint8_t *der, int32_t length) {
                             X509 *cert = nullptr;
                             X509_Create(&cert);
                             if (X509_LoadDer(cert, der, length)) {
                               EXPECT_EQ(X509Anchors_Check(cert), 1);
                               (*static_cast<Context *>(c)->checked)++;
                             }
                             X509_Release(&cert);
                             return 1;
                           },
                           &context);
  EXPECT_EQ(checked, count);
}

// A list and a table shared by threads: lookups while members come and go.
TEST(CertStoreThreaded, ListAndTableSharedByThreads) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  Pki pki;
  CertStoreList *list = nullptr;
  CertStoreList_Create(&list);
  CertStoreTable *table = nullptr;
  CertStoreTable_Create(&table);
  CertStore *listStore = CertStoreList_GetInterface(list);
  CertStoreTable_Add(table, "app", 0, listStore);
  std::atomic<bool> stop{false};
  std::atomic<int> trusted{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; t++)
    readers.emplace_back([&] {
      Cert leaf(pki.leaf);
      while (!stop) {
        CertStore *store = nullptr;
        if (!CertStoreTable_Find(table, "app", &store)) continue;
        int rejected = 0;
        trusted += CertStore_CheckCertificate(store, leaf.cert, &rejected);
        CertStore_Release(&store);
      }
    });
  for (int i = 0; i < 200; i++) {
    int added = 0;
    CertStore *pins = thumbStore({thumbprint(pki.leaf, &kHashSha256)}, &added);
    CertStoreList_Add(list, pins);
    CertStoreTable_Add(table, "pins", 1, pins);
    CertStore_Release(&pins);
    if (i % 2) CertStoreList_Clear(list);
  }
  stop = true;
  for (auto &r : readers) r.join();
  // After the churn the list still answers through the table.
  int added = 0;
  CertStore *pins = thumbStore({thumbprint(pki.leaf, &kHashSha256)}, &added);
  CertStoreList_Add(list, pins);
  CertStore_Release(&pins);
  CertStore *app = nullptr;
  ASSERT_EQ(CertStoreTable_Find(table, "app", &app), 1);
  Cert leaf(pki.leaf);
  int rejected = 0;
  EXPECT_EQ(CertStore_CheckCertificate(app, leaf.cert, &rejected), 1);
  CertStore_Release(&app);
  CertStore_Release(&listStore);
  CertStoreTable_Release(&table);
  CertStoreList_Release(&list);
}
