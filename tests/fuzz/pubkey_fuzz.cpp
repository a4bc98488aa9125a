// libFuzzer target for public keys from untrusted input: a SubjectPublicKeyInfo
// imported through CryptAsymmetric, then a signature check with an arbitrary
// digest, signature and mode; and the whole input as a PKCS#1 private key. A
// crash, a sanitizer report, a leak or a fatal stop of the program is a
// finding; tests/fuzz/run.sh runs it.
//
// Input: digest length (1 byte), mode (1 byte), SubjectPublicKeyInfo length
// (2 bytes, big-endian), the SubjectPublicKeyInfo, the digest, and the rest
// as the signature.
#include <cstddef>
#include <cstdint>

#include "core/security/asn.h"
#include "core/security/cryptasymmetric.h"
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

// Point decoding on the eight curves goes here with the curve module.

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;
  fuzzPublicKey(data, size);
  fuzzPrivateKey(data, size);
  return 0;
}
