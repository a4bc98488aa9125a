// The platform's certificate verdict on Linux: the system trust anchors read
// by our own X.509 code; see core/platform/platform.h.
#include "core/platform/platform.h"
#include "core/runtime/log.h"
#include "core/security/x509anchors.h"

namespace {

// The error word logged for a DER that does not load (a bad encoding).
constexpr uint32_t kPlatformTrustBadEncoding = 0x80092002;

}  // namespace

int Platform_VerifyCertificateChain(const void *der, int32_t length, int *revoked) {
  CHECK_POINTER(der);
  CHECK_POINTER(revoked);
  *revoked = 0;
  X509 *cert = nullptr;
  X509_Create(&cert);
  int trusted = 0;
  if (!X509_LoadDer(cert, der, length))
    Log_Print(LOG_ERROR, KSRC, 0, "Unable to create certificate context (0x%08x)\n",
              kPlatformTrustBadEncoding);
  else
    trusted = X509Anchors_Check(cert);
  X509_Release(&cert);
  return trusted;
}
