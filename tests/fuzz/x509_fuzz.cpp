// libFuzzer target for certificates from untrusted input: the whole input
// loaded as one certificate and read through the accessors and the host-name
// match; then its top-level elements loaded as a chain and the first walked
// against a store pinning the last. A crash, a sanitizer report, a leak or a
// fatal stop of the program is a finding; tests/fuzz/run.sh runs it, seeded
// with the DER certificates that asn_fuzz takes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/security/x509chain.h"
#include "tests/pin_store_util.h"

namespace {

constexpr int kFuzzChainMax = 8;
constexpr double kFuzzTime = 1735689600;  // 2025-01-01

void fuzzOne(const uint8_t *data, size_t size) {
  X509 *cert = nullptr;
  X509_Create(&cert);
  if (X509_LoadDer(cert, data, int32_t(size))) {
    uint8_t digest[kHashMaxDigestBytes];
    X509_GetThumbprint(cert, &kHashSha256, digest, sizeof digest);
    int type = 0;
    const uint8_t *bytes = nullptr;
    int32_t length = 0;
    for (int i = 0; X509_GetAltName(cert, i, &type, &bytes, &length); i++) {
    }
    for (const char *host : {"www.example.com", "a.b.example.com.", "192.0.2.1", "[2001:db8::1]",
                             "*.example.com", ""})
      X509_MatchHostName(cert, host);
    X509_VerifyIssued(cert, cert);
    X509_IsSelfIssued(cert);
  }
  X509_Release(&cert);
}

void fuzzChain(const uint8_t *data, size_t size) {
  Asn1Node *document = nullptr;
  Asn1_Create(&document);
  X509Chain *chain = nullptr;
  X509Chain_Create(&chain);
  X509 *cert = nullptr;
  X509_Create(&cert);
  if (Asn1_ParseBuffer(document, data, int64_t(size)))
    for (int i = 0; i < Asn1_GetChildCount(document) && i < kFuzzChainMax; i++)
      if (X509_LoadFromNode(cert, Asn1_GetChild(document, i))) X509Chain_Add(chain, cert);
  X509 *leaf = nullptr;
  if (X509Chain_GetFirst(chain, &leaf)) {
    const uint8_t *der = nullptr;
    int32_t length = 0;
    X509_GetDer(chain->last->cert, &der, &length);
    CertStore *store = Test_PinStore({std::vector<uint8_t>(der, der + length)});
    X509Chain_VerifyPolicy(chain, leaf, store, X509Purpose::ServerAuth, kFuzzTime);
    X509Chain_Verify(chain, leaf, store);
    CertStore_Release(&store);
  }
  X509_Release(&cert);
  X509Chain_Release(&chain);
  Asn1_Release(&document);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  fuzzOne(data, size);
  fuzzChain(data, size);
  return 0;
}
