// The key store; see certstorekey.h.
#include "core/security/certstorekey.h"

#include <cstring>

#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
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

int CertStoreKey_CheckPublicKey(const void *bytes, int32_t length, char *why, int size) {
  CHECK_POINTER(bytes);
  CHECK_POINTER(why);
  why[0] = '\0';
  if (keyStoreImports(bytes, length)) return 1;
  constexpr const char *kEcOid = "1.2.840.10045.2.1";
  constexpr const char *kRsaOid = "1.2.840.113549.1.1.1";
  Asn1Node *document = nullptr;
  Asn1_Create(&document);
  const Asn1Node *spki = nullptr, *algorithm = nullptr;
  char oid[kAsn1TextBytes] = {}, curve[kAsn1TextBytes] = {};
  if (Asn1_ParseBuffer(document, static_cast<const uint8_t *>(bytes), length) &&
      Asn1_GetChildCount(document) == 1)
    spki = Asn1_GetChild(document, 0);
  if (spki != nullptr && Asn1_GetTag(spki) == kAsn1Sequence && Asn1_GetChildCount(spki) == 2 &&
      Asn1_GetTag(Asn1_GetChild(spki, 1)) == kAsn1BitString)
    algorithm = Asn1_GetChild(spki, 0);
  if (algorithm != nullptr && (Asn1_GetTag(algorithm) != kAsn1Sequence ||
                               Asn1_GetChildCount(algorithm) < 1 ||
                               !Asn1_GetOidText(Asn1_GetChild(algorithm, 0), oid)))
    algorithm = nullptr;
  if (algorithm != nullptr && Asn1_GetChildCount(algorithm) > 1)
    Asn1_GetOidText(Asn1_GetChild(algorithm, 1), curve);
  if (spki == nullptr)
    Str_Copy(why, "not DER", size);
  else if (algorithm == nullptr)
    Str_Copy(why, "DER, but no SubjectPublicKeyInfo (a certificate or a private key?)", size);
  else if (strcmp(oid, kEcOid) == 0)
    Str_Printf(why, size, "an EC key on curve %s that does not import (P-256, P-384 and P-521 "
               "keys do)", curve[0] != '\0' ? curve : "(none named)");
  else if (strcmp(oid, kRsaOid) != 0)
    Str_Printf(why, size, "a key of algorithm %s; RSA and EC keys are read", oid);
  else
    Str_Copy(why, "an RSA key that does not import", size);
  Asn1_Release(&document);
  return 0;
}

int CertStoreKey_IsPrivateKey(const void *bytes, int32_t length) {
  CHECK_POINTER(bytes);
  Asn1Node *document = nullptr;
  Asn1_Create(&document);
  const Asn1Node *key = nullptr;
  if (Asn1_ParseBuffer(document, static_cast<const uint8_t *>(bytes), length) &&
      Asn1_GetChildCount(document) == 1)
    key = Asn1_GetChild(document, 0);
  bool plain = key != nullptr && Asn1_GetTag(key) == kAsn1Sequence &&
               Asn1_GetChildCount(key) >= 2 &&
               Asn1_GetTag(Asn1_GetChild(key, 0)) == kAsn1Integer;
  bool encrypted = key != nullptr && Asn1_GetTag(key) == kAsn1Sequence &&
                   Asn1_GetChildCount(key) == 2 &&
                   Asn1_GetTag(Asn1_GetChild(key, 0)) == kAsn1Sequence &&
                   Asn1_GetTag(Asn1_GetChild(key, 1)) == kAsn1OctetString;
  Asn1_Release(&document);
  return plain || encrypted ? 1 : 0;
}

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
