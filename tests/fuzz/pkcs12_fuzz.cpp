// libFuzzer target for PKCS#12 containers: the input, behind a password
// length byte and the password, goes to PKCS12_LoadDer, and a loaded
// container is asked for its certificate. A crash, a sanitizer report, a
// leak or a fatal stop of the program is a finding; tests/fuzz/run.sh runs it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/security/pkcs12.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const size_t passwordLength = data[0] % 40;
  if (size < 1 + passwordLength) return 0;
  const std::string password(reinterpret_cast<const char *>(data + 1), passwordLength);
  PKCS12 *p = nullptr;
  PKCS12_Create(&p);
  if (PKCS12_LoadDer(p, data + 1 + passwordLength, int32_t(size - 1 - passwordLength),
                     password.c_str())) {
    X509 *cert = nullptr;
    PKCS12_GetCertificate(p, &cert);
  }
  PKCS12_Release(&p);
  return 0;
}
