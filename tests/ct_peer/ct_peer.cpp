// ct_peer: runs private-key operations with their secrets marked undefined,
// so that valgrind's memcheck reports any branch or memory address that
// depends on them (the code marks a result defined only when it is about to
// become public). Outside valgrind the marks do nothing and the peer simply
// computes.
//
//   ct_peer rsa-sign <PKCS#1 private key, hex> <data, hex>
//       signs twice (the second time with the blinding pair moved on) and
//       prints each signature as hex on its own line.
//
// Exit status: 0 done, 1 an operation failed, 100 bad usage.
#include <cstdio>
#include <string>
#include <vector>

#include "core/security/ctcheck.h"
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

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::string(argv[1]) == "rsa-sign") return rsaSign(argv[2], argv[3]);
  return 100;
}
