// libFuzzer target for PKCS#7 SignedData from untrusted input: the whole
// input parsed as a signature, its expected digest chosen (which digests
// embedded content), and verified over a fixed content against a store that
// trusts nothing and, with security off, against one that trusts all. A
// crash, a sanitizer report, a leak or a fatal stop of the program is a
// finding; tests/fuzz/run.sh runs it, seeded with CMS signatures of
// tests/gen_authenticode.py.
#include <cstddef>
#include <cstdint>

#include "core/security/auth.h"
#include "core/security/certstorenull.h"
#include "core/security/pkcs7.h"
#include "tests/fuzz/fuzz_stream.h"

namespace {

int fuzzDigest(Stream *source, HashHandle *hash) {
  uint8_t buffer[256];
  int32_t got = 0;
  while (Stream_Read(source, buffer, sizeof buffer, &got) && got > 0)
    if (!Hash_Update(hash, buffer, got, nullptr)) return 0;
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  PKCS7 *pkcs7 = nullptr;
  PKCS7_Create(&pkcs7);
  CertStore *store = nullptr;
  CertStoreNull_Create(&store);
  if (PKCS7_SetData(pkcs7, data, int32_t(size)) && PKCS7_Parse(pkcs7) &&
      PKCS7_SelectExpectedDigest(pkcs7)) {
    for (int enabled : {1, 0}) {
      AuthSwitchGuardForTest guard(enabled);
      static const char content[] = "Keelson signed content";
      FuzzStream source(reinterpret_cast<const uint8_t *>(content), sizeof content - 1);
      PKCS7_VerifyContent(pkcs7, store, source.stream(), fuzzDigest);
    }
  }
  CertStore_Release(&store);
  PKCS7_Release(&pkcs7);
  return 0;
}
