// DES for NTLM: the MS-NLMP example and random keys against Python
// cryptography's single-key Triple DES and openssl's DES.
#include "core/security/des.h"

#include <gtest/gtest.h>

#include "core/security/cipher_test_util.h"

namespace {

TEST(Des, NtlmResponseOfTheProtocolExample) {
  // NT hash of "Password", padded with five zero bytes; the server challenge.
  CipherBytes key = CipherTest_Bytes("a4f49c406510bdcab6824ee7c30fd8520000000000");
  CipherBytes challenge = CipherTest_Bytes("0123456789abcdef"), out(kDesNtlmResponseBytes);
  ASSERT_EQ(Des_NtlmResponse(key.data(), challenge.data(), out.data()), 1);
  EXPECT_EQ(CipherTest_Hex(out), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
}

TEST(Des, RandomKeysAgainstPeers) {
  auto rows = HashTest_ReadLines("des_ntlm.txt");
  ASSERT_EQ(rows.size(), 40u);
  for (const auto &row : rows) {
    SCOPED_TRACE(row[0] + " key " + row[1]);
    CipherBytes out(kDesNtlmResponseBytes, 0xee);
    ASSERT_EQ(Des_NtlmResponse(CipherTest_Bytes(row[1]).data(), CipherTest_Bytes(row[2]).data(),
                               out.data()),
              1);
    EXPECT_EQ(CipherTest_Hex(out), row[3]);
  }
}

TEST(DesDeathTest, NullPointersStop) {
  uint8_t key[21] = {}, challenge[8] = {}, out[24];
  EXPECT_DEATH(Des_NtlmResponse(nullptr, challenge, out), "Pointer is NULL\n");
  EXPECT_DEATH(Des_NtlmResponse(key, nullptr, out), "Pointer is NULL\n");
  EXPECT_DEATH(Des_NtlmResponse(key, challenge, nullptr), "Pointer is NULL\n");
}

}  // namespace
