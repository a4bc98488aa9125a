// The platform store; see certstoreplatform.h.
#include "core/security/certstoreplatform.h"

#include "core/platform/platform.h"
#include "core/runtime/memory.h"
#include "core/security/x509chain.h"

namespace {

void platformDestroy(void **object) {
  auto *store = static_cast<CertStorePlatform *>(*object);
  store->header.classTag = 0;
  MEM_FREE(store, sizeof(CertStorePlatform));
}

int platformCheckCertificate(CertStore *, void *, X509 *cert, int *rejected) {
  const uint8_t *der = nullptr;
  int32_t length = 0;
  *rejected = 0;
  if (!X509_GetDer(cert, &der, &length)) return 0;
  int revoked = 0;
  int trusted = Platform_VerifyCertificateChain(der, length, &revoked);
  if (revoked) *rejected = 1;
  return trusted;
}

int platformFindKey(CertStore *store, void *, Dictionary *header, CryptAsymmetric **key,
                    int *rejected) {
  *rejected = 0;
  return X509Chain_FindKeyByX5c(header, store, X509Purpose::CodeSigning, key);
}

}  // namespace

int CertStorePlatform_Create(CertStore **store) {
  CHECK_POINTER(store);
  auto *s = static_cast<CertStorePlatform *>(MEM_ALLOC(sizeof(CertStorePlatform), MEM_ZEROED));
  s->header.classTag = kCertStorePlatformTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = platformDestroy;
  CertStore_InitEmbedded(&s->Interface, s);
  CertStore_SetCheckCertificate(&s->Interface, s, platformCheckCertificate);
  CertStore_SetFindKey(&s->Interface, s, platformFindKey);
  *store = &s->Interface;
  return 1;
}
