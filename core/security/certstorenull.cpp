// The null store; see certstorenull.h.
#include "core/security/certstorenull.h"

#include "core/runtime/memory.h"

namespace {

void nullDestroy(void **object) {
  auto *store = static_cast<CertStoreNull *>(*object);
  store->header.classTag = 0;
  MEM_FREE(store, sizeof(CertStoreNull));
}

int nullCheckCertificate(CertStore *, void *, X509 *, int *rejected) {
  *rejected = 0;
  return 0;
}

int nullFindKey(CertStore *, void *, Dictionary *, CryptAsymmetric **key, int *rejected) {
  *key = nullptr;
  *rejected = 0;
  return 0;
}

}  // namespace

int CertStoreNull_Create(CertStore **store) {
  CHECK_POINTER(store);
  auto *s = static_cast<CertStoreNull *>(MEM_ALLOC(sizeof(CertStoreNull), MEM_ZEROED));
  s->header.classTag = kCertStoreNullTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = nullDestroy;
  CertStore_InitEmbedded(&s->Interface, s);
  CertStore_SetCheckCertificate(&s->Interface, s, nullCheckCertificate);
  CertStore_SetFindKey(&s->Interface, s, nullFindKey);
  *store = &s->Interface;
  return 1;
}
