// ct_peer: runs private-key operations with their secrets marked undefined,
// so that valgrind's memcheck reports any branch or memory address that
// depends on them (the code marks a result defined only when it is about to
// become public). Outside valgrind the marks do nothing and the peer simply
// computes.
//
//   ct_peer rsa-sign <PKCS#1 private key, hex> <data, hex>
//       signs twice (the second time with the blinding pair moved on) and
//       prints each signature as hex on its own line.
//   ct_peer ecdsa-sign <curve OID> <ECPrivateKey, hex> <digest, hex>
//       signs twice (two nonces) and prints each DER signature as hex on its
//       own line.
//   ct_peer ecdhe <curve OID>
//       runs the key exchange with the generator as the peer's point and
//       prints the own public point and the secret as hex, a line each.
//
// Exit status: 0 done, 1 an operation failed, 100 bad usage.
#include <cstdio>
#include <string>
#include <vector>

#include "core/security/ctcheck.h"
#include "core/security/ecdhe.h"
#include "core/security/ecdsa.h"
#include "core/security/rsa.h"

namespace {

std::vector<uint8_t> fromHex(const std::string &hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

void printHex(const uint8_t *bytes, int length) {
  for (int i = 0; i < length; i++) printf("%02x", bytes[i]);
  printf("\n");
}

int rsaSign(const std::string &keyHex, const std::string &dataHex) {
  std::vector<uint8_t> der = fromHex(keyHex), data = fromHex(dataHex);
  RsaKey *key = nullptr;
  Rsa_Create(&key);
  int ok = Rsa_ImportPrivate(key, der.data(), int32_t(der.size()));
  void *secrets = nullptr;
  int64_t bytes = 0;
  Rsa_GetSecretsForTest(key, &secrets, &bytes);
  if (ok) CT_MARK_SECRET(secrets, size_t(bytes));
  for (int round = 0; ok && round < 2; round++) {
    uint8_t out[kRsaMaxBlockBytes + 1];
    int32_t written = 0;
    ok = Rsa_Sign(key, data.data(), int32_t(data.size()), out, int32_t(sizeof out), &written);
    if (ok) printHex(out, written);
  }
  Rsa_Release(&key);
  return ok ? 0 : 1;
}

// The private key and each nonce are marked secret where they enter the
// constant-time path (ecdsa.cpp, ecdhe.cpp).
int ecdsaSign(const std::string &oid, const std::string &keyHex, const std::string &digestHex) {
  std::vector<uint8_t> der = fromHex(keyHex), digest = fromHex(digestHex);
  Ecdsa *key = nullptr;
  Ecdsa_Create(&key);
  int ok = Ecdsa_SetParameters(key, oid.c_str()) &&
           Ecdsa_ImportPrivate(key, der.data(), int32_t(der.size()));
  for (int round = 0; ok && round < 2; round++) {
    uint8_t out[160];
    int32_t written = 0;
    ok = Ecdsa_Sign(key, digest.data(), int32_t(digest.size()), out, int32_t(sizeof out),
                    &written);
    if (ok) printHex(out, written);
  }
  Ecdsa_Release(&key);
  return ok ? 0 : 1;
}

int ecdhe(const std::string &oid) {
  Ecdhe *exchange = nullptr;
  Ecdhe_Create(&exchange);
  int ok = EcGroup_Select(exchange->Group, oid.c_str());
  if (ok) EcPoint_Copy(&exchange->PeerPoint, EcGroup_GetGenerator(exchange->Group));
  uint8_t point[kEcdhePublicMaxBytes], secret[kEcdheSecretMaxBytes];
  int pointLength = 0, secretLength = 0;
  ok = ok && Ecdhe_ComputeSecret(exchange, point, &pointLength, secret, &secretLength);
  if (ok) {
    printHex(point, pointLength);
    printHex(secret, secretLength);
  }
  Ecdhe_Release(&exchange);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::string(argv[1]) == "rsa-sign") return rsaSign(argv[2], argv[3]);
  if (argc == 5 && std::string(argv[1]) == "ecdsa-sign") return ecdsaSign(argv[2], argv[3], argv[4]);
  if (argc == 3 && std::string(argv[1]) == "ecdhe") return ecdhe(argv[2]);
  return 100;
}
