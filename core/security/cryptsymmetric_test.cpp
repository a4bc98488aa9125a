// The cipher records through the CryptSymmetric front end, its fatal empty
// slots, and the constant-time comparison.
#include "core/security/cryptsymmetric.h"

#include <gtest/gtest.h>

#include "core/security/aesgcm.h"
#include "core/security/cipher_test_util.h"
#include "core/runtime/memory.h"
#include "core/security/rc4.h"

namespace {

struct CryptBound {
  CryptSymmetric *crypt = nullptr;
  explicit CryptBound(const CryptSymmetricInterface *record) {
    CryptSymmetric_Create(&crypt);
    CryptSymmetric_SetInterface(crypt, record);
  }
  ~CryptBound() { CryptSymmetric_Release(&crypt); }
};

TEST(CryptSymmetric, RecordsNameTheirCipherAndBlockSize) {
  struct Row {
    const CryptSymmetricInterface *record;
    const char *name;
    int32_t blockSize;
    bool aead, iv;
  };
  const Row rows[] = {{&kCryptSymmetricRc4, "RC4", 0, false, false},
                      {&kCryptSymmetricAes, "AES", 16, true, true},
                      {&kCryptSymmetricAesGcm, "AESGCM", 16, true, true}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_STREQ(row.record->Name, row.name);
    EXPECT_EQ(row.record->BlockSize, row.blockSize);
    // AES fills the AEAD slots with calls that stop; RC4 leaves them empty.
    EXPECT_EQ(row.record->SetAAD != nullptr, row.aead);
    EXPECT_EQ(row.record->GetAuthTag != nullptr, row.aead);
    EXPECT_EQ(row.record->EncryptIV != nullptr, row.iv);
    EXPECT_EQ(row.record->DecryptIV != nullptr, row.iv);
  }
}

// The front end gives what the module calls give.
TEST(CryptSymmetric, ForwardsToTheBoundCipher) {
  CipherBytes key(32, 0x11), iv(16, 0x22), data(64), out(64), direct(64);
  for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i);
  {
    CryptBound rc4(&kCryptSymmetricRc4);
    ASSERT_EQ(CryptSymmetric_SetKey(rc4.crypt, key.data(), 16), 1);
    ASSERT_EQ(CryptSymmetric_Encrypt(rc4.crypt, data.data(), out.data(), 64), 1);
    Rc4Context *r = nullptr;
    Rc4_Create(&r);
    Rc4_SetKey(r, key.data(), 16);
    Rc4_Crypt(r, data.data(), direct.data(), 64);
    Rc4_Release(&r);
    EXPECT_EQ(out, direct);
    EXPECT_EQ(CryptSymmetric_SetKey(rc4.crypt, key.data(), 0), 0);
  }
  {
    CryptBound aes(&kCryptSymmetricAes);
    ASSERT_EQ(CryptSymmetric_SetKey(aes.crypt, key.data(), 32), 1);
    CipherBytes chain = iv;
    ASSERT_EQ(CryptSymmetric_EncryptIV(aes.crypt, chain.data(), 16, data.data(), out.data(), 64),
              1);
    EXPECT_EQ(CipherBytes(out.end() - 16, out.end()), chain);
    chain = iv;
    ASSERT_EQ(CryptSymmetric_DecryptIV(aes.crypt, chain.data(), 16, out.data(), direct.data(), 64),
              1);
    EXPECT_EQ(direct, data);
    ASSERT_EQ(CryptSymmetric_Encrypt(aes.crypt, data.data(), out.data(), 64), 1);
    ASSERT_EQ(CryptSymmetric_Decrypt(aes.crypt, out.data(), direct.data(), 64), 1);
    EXPECT_EQ(direct, data);
  }
  {
    // A TLS 1.2 record: 13 bytes of AAD, a 12-byte nonce, a 16-byte tag.
    CryptBound seal(&kCryptSymmetricAesGcm), open(&kCryptSymmetricAesGcm);
    CipherBytes aad(13, 0x17), tag(16), check(16);
    for (CryptBound *b : {&seal, &open})
      ASSERT_EQ(CryptSymmetric_SetKey(b->crypt, key.data(), 32), 1);
    ASSERT_EQ(CryptSymmetric_SetAAD(seal.crypt, aad.data()), 1);
    ASSERT_EQ(CryptSymmetric_EncryptIV(seal.crypt, iv.data(), 12, data.data(), out.data(), 40), 1);
    ASSERT_EQ(CryptSymmetric_Encrypt(seal.crypt, data.data() + 40, out.data() + 40, 24), 0);
    ASSERT_EQ(CryptSymmetric_GetAuthTag(seal.crypt, tag.data(), 16), 1);
    ASSERT_EQ(CryptSymmetric_SetAAD(open.crypt, aad.data()), 1);
    ASSERT_EQ(CryptSymmetric_DecryptIV(open.crypt, iv.data(), 12, out.data(), direct.data(), 32),
              1);
    ASSERT_EQ(CryptSymmetric_Decrypt(open.crypt, out.data() + 32, direct.data() + 32, 8), 1);
    ASSERT_EQ(CryptSymmetric_GetAuthTag(open.crypt, check.data(), 16), 1);
    EXPECT_EQ(Crypt_ConstantTimeEqual(tag.data(), check.data(), 16), 1);
    EXPECT_EQ(CipherBytes(direct.begin(), direct.begin() + 40),
              CipherBytes(data.begin(), data.begin() + 40));
  }
}

// Binding again, even the same record, releases the old context and starts
// from a fresh one.
TEST(CryptSymmetric, RebindingStartsAFreshContext) {
  CryptBound b(&kCryptSymmetricRc4);
  CipherBytes key(5, 9), data(8, 0), first(8), again(8);
  CryptSymmetric_SetKey(b.crypt, key.data(), 5);
  CryptSymmetric_Encrypt(b.crypt, data.data(), first.data(), 8);
  ASSERT_EQ(CryptSymmetric_SetInterface(b.crypt, &kCryptSymmetricRc4), 1);
  EXPECT_EQ(static_cast<Rc4Context *>(b.crypt->Context)->KeyLength, 0);
  CryptSymmetric_SetKey(b.crypt, key.data(), 5);
  CryptSymmetric_Encrypt(b.crypt, data.data(), again.data(), 8);
  EXPECT_EQ(again, first);
  ASSERT_EQ(CryptSymmetric_SetInterface(b.crypt, &kCryptSymmetricAesGcm), 1);
  EXPECT_EQ(b.crypt->Interface, &kCryptSymmetricAesGcm);
  EXPECT_EQ(static_cast<AesGcmContext *>(b.crypt->Context)->State, kAesGcmUnkeyed);
}

TEST(CryptSymmetric, ConstantTimeEqual) {
  CipherBytes a(40), b;
  for (size_t i = 0; i < a.size(); i++) a[i] = uint8_t(i * 37);
  EXPECT_EQ(Crypt_ConstantTimeEqual(a.data(), a.data(), 40), 1);
  EXPECT_EQ(Crypt_ConstantTimeEqual(nullptr, nullptr, 0), 1);
  // A negative length is a length gone wrong: it never passes a check.
  EXPECT_EQ(Crypt_ConstantTimeEqual(a.data(), a.data(), -1), 0);
  EXPECT_EQ(Crypt_ConstantTimeEqual(a.data(), nullptr, -40), 0);
  // Every difference of one byte, at the first, a middle and the last place.
  for (size_t at : {size_t(0), size_t(17), size_t(39)}) {
    for (int flip = 1; flip < 256; flip++) {
      b = a;
      b[at] = uint8_t(b[at] ^ flip);
      ASSERT_EQ(Crypt_ConstantTimeEqual(a.data(), b.data(), 40), 0) << at << " " << flip;
      ASSERT_EQ(Crypt_ConstantTimeEqual(a.data(), b.data(), int64_t(at)), 1) << at;
    }
  }
}

TEST(CryptSymmetricDeathTest, EmptySlotsAndUnsupportedCallsStop) {
  CryptBound rc4(&kCryptSymmetricRc4), aes(&kCryptSymmetricAes);
  uint8_t key[16] = {}, iv[16] = {}, data[16] = {};
  CryptSymmetric_SetKey(rc4.crypt, key, 16);
  CryptSymmetric_SetKey(aes.crypt, key, 16);
  EXPECT_DEATH(CryptSymmetric_SetAAD(rc4.crypt, data), "Pointer is NULL\n");
  EXPECT_DEATH(CryptSymmetric_EncryptIV(rc4.crypt, iv, 16, data, data, 16), "Pointer is NULL\n");
  EXPECT_DEATH(CryptSymmetric_DecryptIV(rc4.crypt, iv, 16, data, data, 16), "Pointer is NULL\n");
  EXPECT_DEATH(CryptSymmetric_GetAuthTag(rc4.crypt, data, 16), "Pointer is NULL\n");
  EXPECT_DEATH(CryptSymmetric_SetAAD(aes.crypt, data), "Not Supported - AES_SetAAD");
  EXPECT_DEATH(CryptSymmetric_GetAuthTag(aes.crypt, data, 16), "Not Supported - AES_GetAuthTag");
  // No record bound yet.
  CryptSymmetric *unbound = nullptr;
  CryptSymmetric_Create(&unbound);
  EXPECT_DEATH(CryptSymmetric_SetKey(unbound, key, 16), "Pointer is NULL\n");
  EXPECT_DEATH(CryptSymmetric_Encrypt(unbound, data, data, 16), "Pointer is NULL\n");
  CryptSymmetric_Release(&unbound);
}

TEST(CryptSymmetricDeathTest, IncompleteRecordsAndBadObjectsStop) {
  CryptSymmetric *crypt = nullptr;
  CryptSymmetric_Create(&crypt);
  EXPECT_DEATH(CryptSymmetric_SetInterface(crypt, nullptr), "Pointer is NULL\n");
  using Slot = void (*)(CryptSymmetricInterface *);
  const Slot breakers[] = {
      [](CryptSymmetricInterface *r) { r->Name = nullptr; },
      [](CryptSymmetricInterface *r) { r->Create = nullptr; },
      [](CryptSymmetricInterface *r) { r->Release = nullptr; },
      [](CryptSymmetricInterface *r) { r->SetKey = nullptr; },
      [](CryptSymmetricInterface *r) { r->Encrypt = nullptr; },
      [](CryptSymmetricInterface *r) { r->Decrypt = nullptr; },
  };
  for (Slot breakIt : breakers) {
    CryptSymmetricInterface broken = kCryptSymmetricAes;
    breakIt(&broken);
    EXPECT_DEATH(CryptSymmetric_SetInterface(crypt, &broken), "Pointer is NULL\n");
  }
  EXPECT_DEATH(CryptSymmetric_Create(nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(CryptSymmetric_Encrypt(nullptr, nullptr, nullptr, 0), "Pointer is NULL\n");
  uint32_t notAnObject[32] = {};
  notAnObject[9] = 0x12345678;  // where the class tag sits
  EXPECT_DEATH(CryptSymmetric_SetKey(reinterpret_cast<CryptSymmetric *>(notAnObject), nullptr, 0),
               "Class mismatch pointer \\(.*: expected 0x9afb13ce but was 0x12345678\\)");
  EXPECT_DEATH(Crypt_ConstantTimeEqual(nullptr, notAnObject, 4), "Pointer is NULL\n");
  CryptSymmetric_Release(&crypt);
  EXPECT_EQ(crypt, nullptr);
}

}  // namespace
