// The key store; see certstorekey.h.
#include "core/security/certstorekey.h"

#include <cstring>

#include "core/runtime/memory.h"
#include "core/security/asn.h"

namespace {

void keyStoreFree(CertStoreKey *store) {
  if (store->Key != nullptr) MEM_FREE(store->Key, store->KeyLength);
  store->Key = nullptr;
  store->KeyLength = 0;
  store->Kind = CertStoreKeyKind::None;
}

void keyStoreDestroy(void **object) {
  auto *store = static_cast<CertStoreKey *>(*object);
  keyStoreFree(store);
  store->header.classTag = 0;
  MEM_FREE(store, sizeof(CertStoreKey));
}

int keyStoreGetKey(CertStore *, void *context, const uint8_t **key, int32_t *length,
                   CertStoreKeyKind *kind) {
  auto *store = static_cast<CertStoreKey *>(context);
  CLASS_CHECK(store, kCertStoreKeyTag);
  *key = store->Key;
  *length = store->KeyLength;
  *kind = store->Kind;
  return store->Key != nullptr ? 1 : 0;
}

int keyStoreCheckCertificate(CertStore *, void *, X509 *, int *rejected) {
  *rejected = 0;
  return 0;
}

int keyStoreFindKey(CertStore *, void *, Dictionary *, CryptAsymmetric **key, int *rejected) {
  *key = nullptr;
  *rejected = 0;
  return 0;
}

bool keyStoreImports(const void *bytes, int32_t length) {
  Asn1Node *document = nullptr;
  CryptAsymmetric *key = nullptr;
  Asn1_Create(&document);
  CryptAsymmetric_Create(&key);
  bool ok = Asn1_ParseBuffer(document, static_cast<const uint8_t *>(bytes), length) &&
            Asn1_GetChildCount(document) == 1 &&
            CryptAsymmetric_ImportSubjectPublicKeyInfo(key, Asn1_GetChild(document, 0));
  CryptAsymmetric_Release(&key);
  Asn1_Release(&document);
  return ok;
}

}  // namespace

int CertStoreKey_Create(CertStore **store) {
  CHECK_POINTER(store);
  auto *s = static_cast<CertStoreKey *>(MEM_ALLOC(sizeof(CertStoreKey), MEM_ZEROED));
  s->header.classTag = kCertStoreKeyTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = keyStoreDestroy;
  CertStore_InitEmbedded(&s->Interface, s);
  CertStore_SetGetKey(&s->Interface, s, keyStoreGetKey);
  CertStore_SetCheckCertificate(&s->Interface, s, keyStoreCheckCertificate);
  CertStore_SetFindKey(&s->Interface, s, keyStoreFindKey);
  *store = &s->Interface;
  return 1;
}

int CertStoreKey_SetKey(CertStore *store, CertStoreKeyKind kind, const void *bytes,
                        int32_t length) {
  CLASS_CHECK(store, kCertStoreTag);
  void *context = nullptr;
  Callback_Get(&store->GetKey, &context, nullptr);
  auto *s = static_cast<CertStoreKey *>(context);
  CLASS_CHECK(s, kCertStoreKeyTag);
  CHECK_POINTER(bytes);
  if (length <= 0) return 0;
  if (kind == CertStoreKeyKind::PublicKey ? !keyStoreImports(bytes, length)
                                          : kind != CertStoreKeyKind::Secret)
    return 0;
  auto *copy = static_cast<uint8_t *>(MEM_ALLOC(length, 0));
  memcpy(copy, bytes, size_t(length));
  keyStoreFree(s);
  s->Key = copy;
  s->KeyLength = length;
  s->Kind = kind;
  return 1;
}
