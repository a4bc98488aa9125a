// The certificate store record; see certstorei.h.
#include "core/security/certstorei.h"

#include "core/runtime/memory.h"
#include "core/security/auth.h"

namespace {

CertStore *certStoreCheck(CertStore *store, const char *sourcePath, int line) {
  Class_Check(store, kCertStoreTag, sourcePath, line);
  return store;
}
#define CERTSTORE_CHECK(store) certStoreCheck((store), KSRC)

void certStoreDestroy(void **object) {
  auto *store = static_cast<CertStore *>(*object);
  store->header.classTag = 0;
  MEM_FREE(store, sizeof(CertStore));
}

int certStoreSet(CertStore *store, CallbackCell *cell, void *context, CallbackFunction function) {
  CERTSTORE_CHECK(store);
  return Callback_Set(cell, context, function);
}

template <typename F>
F certStoreGet(CallbackCell *cell, void **context) {
  CallbackFunction function = nullptr;
  Callback_Get(cell, context, &function);
  return reinterpret_cast<F>(function);
}

}  // namespace

int CertStore_Create(CertStore **store) {
  CHECK_POINTER(store);
  auto *s = static_cast<CertStore *>(MEM_ALLOC(sizeof(CertStore), MEM_ZEROED));
  s->header.classTag = kCertStoreTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = certStoreDestroy;
  *store = s;
  return 1;
}

int CertStore_Delete(CertStore **store) {
  CHECK_POINTER(store);
  CertStore *s = CERTSTORE_CHECK(*store);
  *store = nullptr;
  certStoreDestroy(reinterpret_cast<void **>(&s));
  return 1;
}

int CertStore_SetRetain(CertStore *store, void *context, CertStoreRetainFunction function) {
  return certStoreSet(store, &store->Retain, context, reinterpret_cast<CallbackFunction>(function));
}

int CertStore_SetRelease(CertStore *store, void *context, CertStoreReleaseFunction function) {
  return certStoreSet(store, &store->Release, context,
                      reinterpret_cast<CallbackFunction>(function));
}

int CertStore_SetGetKey(CertStore *store, void *context, CertStoreGetKeyFunction function) {
  return certStoreSet(store, &store->GetKey, context, reinterpret_cast<CallbackFunction>(function));
}

int CertStore_SetCheckCertificate(CertStore *store, void *context,
                                  CertStoreCheckCertificateFunction function) {
  return certStoreSet(store, &store->CheckCertificate, context,
                      reinterpret_cast<CallbackFunction>(function));
}

int CertStore_SetFindKey(CertStore *store, void *context, CertStoreFindKeyFunction function) {
  return certStoreSet(store, &store->FindKey, context,
                      reinterpret_cast<CallbackFunction>(function));
}

int CertStore_SetCheckDigest(CertStore *store, void *context,
                             CertStoreCheckDigestFunction function) {
  return certStoreSet(store, &store->CheckDigest, context,
                      reinterpret_cast<CallbackFunction>(function));
}

CertStore *CertStore_Retain(CertStore *store) {
  CERTSTORE_CHECK(store);
  void *context = nullptr;
  auto function = certStoreGet<CertStoreRetainFunction>(&store->Retain, &context);
  if (function == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  function(store, context);
  return store;
}

int CertStore_Release(CertStore **store) {
  CHECK_POINTER(store);
  CertStore *s = CERTSTORE_CHECK(*store);
  void *context = nullptr;
  auto function = certStoreGet<CertStoreReleaseFunction>(&s->Release, &context);
  if (function == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  function(store, context);
  *store = nullptr;
  return 1;
}

int CertStore_GetKey(CertStore *store, const uint8_t **key, int32_t *length,
                     CertStoreKeyKind *kind) {
  CERTSTORE_CHECK(store);
  CHECK_POINTER(key);
  CHECK_POINTER(length);
  void *context = nullptr;
  auto function = certStoreGet<CertStoreGetKeyFunction>(&store->GetKey, &context);
  if (function == nullptr) return 0;
  CertStoreKeyKind ignored = CertStoreKeyKind::None;
  return function(store, context, key, length, kind != nullptr ? kind : &ignored);
}

int CertStore_CheckCertificate(CertStore *store, X509 *cert, int *rejected) {
  CERTSTORE_CHECK(store);
  CHECK_POINTER(rejected);
  *rejected = 0;
  if (!Authenticate_Enabled()) return 1;
  void *context = nullptr;
  auto function =
      certStoreGet<CertStoreCheckCertificateFunction>(&store->CheckCertificate, &context);
  if (function == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  return function(store, context, cert, rejected);
}

int CertStore_FindKey(CertStore *store, Dictionary *header, CryptAsymmetric **key,
                      int *rejected) {
  CERTSTORE_CHECK(store);
  CHECK_POINTER(key);
  CHECK_POINTER(rejected);
  *key = nullptr;
  *rejected = 0;
  if (!Authenticate_Enabled()) return 1;
  void *context = nullptr;
  auto function = certStoreGet<CertStoreFindKeyFunction>(&store->FindKey, &context);
  if (function == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  return function(store, context, header, key, rejected);
}

int CertStore_CheckDigest(CertStore *store, const HashInterface *hash, const uint8_t *digest,
                          int32_t length) {
  CERTSTORE_CHECK(store);
  CHECK_POINTER(hash);
  CHECK_POINTER(digest);
  if (!Authenticate_Enabled()) return 1;
  void *context = nullptr;
  auto function = certStoreGet<CertStoreCheckDigestFunction>(&store->CheckDigest, &context);
  if (function == nullptr) return 0;
  return function(store, context, hash, digest, length);
}

namespace {

void certStoreKindRetain(CertStore *, void *kind) { Class_Retain(kind); }

void certStoreKindRelease(CertStore **store, void *kind) {
  *store = nullptr;
  Class_Release(&kind);
}

}  // namespace

int CertStore_InitEmbedded(CertStore *store, void *kind) {
  CHECK_POINTER(store);
  CHECK_POINTER(kind);
  store->header.classTag = kCertStoreTag;
  store->header.refCount.store(1, std::memory_order_relaxed);
  CertStore_SetRetain(store, kind, certStoreKindRetain);
  CertStore_SetRelease(store, kind, certStoreKindRelease);
  return 1;
}
