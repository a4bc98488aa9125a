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
//   ct_peer tls-cbc <suite id, hex> <version byte, hex>
//       writes CBC records of many lengths, some with a flipped bit, and
//       opens them again (the record layer marks each deciphered record
//       secret until its check is done); prints "opened N refused M".
//
// Exit status: 0 done, 1 an operation failed, 100 bad usage.
#include <cstdio>
#include <string>
#include <vector>

#include "core/security/ctcheck.h"
#include "core/security/ecdhe.h"
#include "core/security/ecdsa.h"
#include "core/security/rsa.h"
#include "core/security/tls1_test_util.h"

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

int tlsCbc(const std::string &suiteHex, const std::string &versionHex) {
  const uint16_t suite = uint16_t(std::stoi(suiteHex, nullptr, 16));
  const int32_t version = std::stoi(versionHex, nullptr, 16);
  if (!Tls_FindSuite(suite) || Tls_FindSuite(suite)->BlockSize == 0) return 100;
  int opened = 0, refused = 0;
  std::vector<uint8_t> data(300, 0x41);
  for (int length : {0, 1, 15, 16, 47, 64, 200, 300}) {
    for (int flip = 0; flip < 2; flip++) {
      TLS1 *s = TlsTest_LoopbackSession(suite, version);
      if (!Tls_WriteRecord(s, 23, data.data(), length)) return 1;
      std::vector<uint8_t> record = TlsTest_TakeOutbound(s);
      if (flip) record[record.size() - 1 - (length % 7)] ^= 0x10;  // into MAC or padding
      int32_t error = TlsTest_Feed(s, record);
      if (error == 0 && TlsTest_TakeInbound(s).size() == size_t(length)) opened++;
      if (error == kTlsAlertBadRecordMac) refused++;
      Tls_Delete(&s);
    }
  }
  printf("opened %d refused %d\n", opened, refused);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::string(argv[1]) == "rsa-sign") return rsaSign(argv[2], argv[3]);
  if (argc == 5 && std::string(argv[1]) == "ecdsa-sign") return ecdsaSign(argv[2], argv[3], argv[4]);
  if (argc == 3 && std::string(argv[1]) == "ecdhe") return ecdhe(argv[2]);
  if (argc == 4 && std::string(argv[1]) == "tls-cbc") return tlsCbc(argv[2], argv[3]);
  return 100;
}
