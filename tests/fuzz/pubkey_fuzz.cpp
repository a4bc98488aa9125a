// libFuzzer target for public keys from untrusted input: a SubjectPublicKeyInfo
// imported through CryptAsymmetric, then a signature check with an arbitrary
// digest, signature and mode; the whole input as a PKCS#1 private key, as a
// point on each of the eight curves and as an ECPrivateKey. A crash, a
// sanitizer report, a leak or a fatal stop of the program is a finding;
// tests/fuzz/run.sh runs it.
//
// Input: digest length (1 byte), mode (1 byte), SubjectPublicKeyInfo length
// (2 bytes, big-endian), the SubjectPublicKeyInfo, the digest, and the rest
// as the signature.
#include <cstddef>
#include <cstdint>

#include "core/security/asn.h"
#include "core/security/cryptasymmetric.h"
#include "core/security/ec.h"
#include "core/security/ecdsa.h"
#include "core/security/rsa.h"

namespace {

void fuzzPublicKey(const uint8_t *data, size_t size) {
  if (size < 4) return;
  const size_t digestLength = data[0], spkiLength = size_t(data[2]) << 8 | data[3];
  const int32_t mode = data[1] & 3;
  data += 4;
  size -= 4;
  if (spkiLength > size) return;
  Asn1Node *document = nullptr;
  Asn1_Create(&document);
  CryptAsymmetric *key = nullptr;
  CryptAsymmetric_Create(&key);
  if (Asn1_ParseBuffer(document, data, int64_t(spkiLength)) &&
      CryptAsymmetric_ImportSubjectPublicKeyInfo(key, Asn1_GetChild(document, 0))) {
    const uint8_t *digest = data + spkiLength;
    const size_t rest = size - spkiLength;
    if (digestLength <= rest)
      CryptAsymmetric_Verify(key, digest, int32_t(digestLength), digest + digestLength,
                             int32_t(rest - digestLength), mode);
  }
  CryptAsymmetric_Release(&key);
  Asn1_Release(&document);
}

void fuzzPrivateKey(const uint8_t *data, size_t size) {
  RsaKey *key = nullptr;
  Rsa_Create(&key);
  if (Rsa_ImportPrivate(key, data, int32_t(size))) {
    uint8_t digest[32] = {0}, out[kRsaMaxBlockBytes + 1];
    int32_t written = 0;
    if (Rsa_Sign(key, digest, 32, out, int32_t(sizeof out), &written))
      Rsa_Verify(key, digest, 32, out, written, 1);
  }
  Rsa_Release(&key);
}

// The whole input as a SEC 1 point on each of the eight curves, and as an
// ECPrivateKey on P-256 that then signs and checks its signature.
void fuzzCurves(const uint8_t *data, size_t size) {
  static const char *const kCurves[] = {"1.3.132.0.31", "1.2.840.10045.3.1.1", "1.3.132.0.32",
                                        "1.3.132.0.33", "1.3.132.0.10", "1.2.840.10045.3.1.7",
                                        "1.3.132.0.34", "1.3.132.0.35"};
  EcGroup *group = nullptr;
  EcGroup_Create(&group);
  EcPoint point;
  EcPoint_Init(&point);
  for (const char *oid : kCurves) {
    EcGroup_Select(group, oid);
    if (EcPoint_Decode(&point, group, data, int(size)) && !EcPoint_Validate(group, &point))
      __builtin_trap();  // a decoded point must be on the curve
  }
  EcPoint_Free(&point);
  EcGroup_Release(&group);
  Ecdsa *key = nullptr;
  Ecdsa_Create(&key);
  Ecdsa_SetParameters(key, "1.2.840.10045.3.1.7");
  if (Ecdsa_ImportPrivate(key, data, int32_t(size))) {
    uint8_t digest[32] = {0}, out[80];
    int32_t written = 0;
    Ecdsa_Sign(key, digest, 32, out, int32_t(sizeof out), &written);
  }
  Ecdsa_Release(&key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;
  fuzzPublicKey(data, size);
  fuzzPrivateKey(data, size);
  fuzzCurves(data, size);
  return 0;
}
