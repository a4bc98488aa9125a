// Cipher records, the CryptSymmetric front end and the constant-time
// comparison; see cryptsymmetric.h.
#include "core/security/cryptsymmetric.h"

#include "core/security/aes.h"
#include "core/security/aesgcm.h"
#include "core/runtime/memory.h"
#include "core/security/cryptrecord.h"
#include "core/security/rc4.h"

namespace {

// ---- record adapters: the context word back to its own type ---------------------

int cryptRc4SetKey(void *context, const void *key, int32_t length) {
  return Rc4_SetKey(static_cast<Rc4Context *>(context), key, length);
}

int cryptRc4Crypt(void *context, const void *in, void *out, int64_t length) {
  return Rc4_Crypt(static_cast<Rc4Context *>(context), in, out, length);
}

int cryptAesSetKey(void *context, const void *key, int32_t length) {
  return AES_SetKey(static_cast<AesContext *>(context), key, length);
}

[[noreturn]] int cryptAesSetAAD(void *, const void *, int32_t) {
  Core_Abort(KSRC, "Not Supported - %s", "AES_SetAAD");
}

int cryptAesEncrypt(void *context, const void *in, void *out, int64_t length) {
  return AES_EncryptECB(static_cast<AesContext *>(context), in, out, length);
}

int cryptAesDecrypt(void *context, const void *in, void *out, int64_t length) {
  return AES_DecryptECB(static_cast<AesContext *>(context), in, out, length);
}

int cryptAesEncryptIV(void *context, void *iv, int32_t ivLength, const void *in, void *out,
                      int64_t length) {
  return AES_EncryptCBC(static_cast<AesContext *>(context), iv, ivLength, in, out, length);
}

int cryptAesDecryptIV(void *context, void *iv, int32_t ivLength, const void *in, void *out,
                      int64_t length) {
  return AES_DecryptCBC(static_cast<AesContext *>(context), iv, ivLength, in, out, length);
}

[[noreturn]] int cryptAesGetAuthTag(void *, void *, int32_t) {
  Core_Abort(KSRC, "Not Supported - %s", "AES_GetAuthTag");
}

int cryptGcmSetKey(void *context, const void *key, int32_t length) {
  return AesGcm_SetKey(static_cast<AesGcmContext *>(context), key, length);
}

int cryptGcmSetAAD(void *context, const void *aad, int32_t length) {
  return AesGcm_SetAAD(static_cast<AesGcmContext *>(context), aad, length);
}

int cryptGcmEncrypt(void *context, const void *in, void *out, int64_t length) {
  return AesGcm_Encrypt(static_cast<AesGcmContext *>(context), in, out, length);
}

int cryptGcmDecrypt(void *context, const void *in, void *out, int64_t length) {
  return AesGcm_Decrypt(static_cast<AesGcmContext *>(context), in, out, length);
}

int cryptGcmEncryptIV(void *context, void *iv, int32_t ivLength, const void *in, void *out,
                      int64_t length) {
  return AesGcm_EncryptIV(static_cast<AesGcmContext *>(context), iv, ivLength, in, out, length);
}

int cryptGcmDecryptIV(void *context, void *iv, int32_t ivLength, const void *in, void *out,
                      int64_t length) {
  return AesGcm_DecryptIV(static_cast<AesGcmContext *>(context), iv, ivLength, in, out, length);
}

int cryptGcmGetAuthTag(void *context, void *tag, int32_t length) {
  return AesGcm_GetAuthTag(static_cast<AesGcmContext *>(context), tag, length);
}

// ---- the front end ----------------------------------------------------------------

CryptSymmetric *cryptCheck(CryptSymmetric *crypt, const char *sourcePath, int line) {
  Class_Check(crypt, kCryptSymmetricTag, sourcePath, line);
  return crypt;
}

// The bound record, checked for the slot the call needs.
template <class F>
const CryptSymmetricInterface *cryptBound(CryptSymmetric *crypt, F CryptSymmetricInterface::*slot,
                                          const char *sourcePath, int line) {
  cryptCheck(crypt, sourcePath, line);
  const CryptSymmetricInterface *record = crypt->Interface;
  Core_CheckPointer(record, sourcePath, line);
  Crypt_CheckSlot(record->*slot, sourcePath, line);
  return record;
}
#define CRYPT_BOUND(crypt, slot) cryptBound((crypt), &CryptSymmetricInterface::slot, KSRC)

void cryptUnbind(CryptSymmetric *crypt) {
  if (crypt->Interface != nullptr && crypt->Context != nullptr)
    crypt->Interface->Release(&crypt->Context);
  crypt->Context = nullptr;
  crypt->Interface = nullptr;
}

void cryptDestroy(void **object) {
  auto *crypt = static_cast<CryptSymmetric *>(*object);
  cryptUnbind(crypt);
  crypt->header.classTag = 0;  // a stale pointer now fails its class check
  MEM_FREE(crypt, sizeof(CryptSymmetric));
}

}  // namespace

const CryptSymmetricInterface kCryptSymmetricRc4 = {
    "RC4",
    0,
    CryptRecord_Create<Rc4Context, Rc4_Create>,
    CryptRecord_Release<Rc4Context, Rc4_Release>,
    cryptRc4SetKey,
    nullptr,
    cryptRc4Crypt,
    cryptRc4Crypt,
    nullptr,
    nullptr,
    nullptr,
};

const CryptSymmetricInterface kCryptSymmetricAes = {
    "AES",
    kAesBlockBytes,
    CryptRecord_Create<AesContext, AES_Create>,
    CryptRecord_Release<AesContext, AES_Release>,
    cryptAesSetKey,
    cryptAesSetAAD,
    cryptAesEncrypt,
    cryptAesDecrypt,
    cryptAesEncryptIV,
    cryptAesDecryptIV,
    cryptAesGetAuthTag,
};

const CryptSymmetricInterface kCryptSymmetricAesGcm = {
    "AESGCM",
    kAesBlockBytes,
    CryptRecord_Create<AesGcmContext, AesGcm_Create>,
    CryptRecord_Release<AesGcmContext, AesGcm_Release>,
    cryptGcmSetKey,
    cryptGcmSetAAD,
    cryptGcmEncrypt,
    cryptGcmDecrypt,
    cryptGcmEncryptIV,
    cryptGcmDecryptIV,
    cryptGcmGetAuthTag,
};

int CryptSymmetric_Create(CryptSymmetric **crypt) {
  CHECK_POINTER(crypt);
  auto *c = static_cast<CryptSymmetric *>(MEM_ALLOC(sizeof(CryptSymmetric), MEM_ZEROED));
  c->header.classTag = kCryptSymmetricTag;
  c->header.refCount.store(1, std::memory_order_relaxed);
  c->header.destroy = cryptDestroy;
  *crypt = c;
  return 1;
}

int CryptSymmetric_Release(CryptSymmetric **crypt) {
  CHECK_POINTER(crypt);
  cryptCheck(*crypt, KSRC);
  Class_ReleaseObject(crypt);
  return 1;
}

int CryptSymmetric_SetInterface(CryptSymmetric *crypt, const CryptSymmetricInterface *record) {
  cryptCheck(crypt, KSRC);
  CHECK_POINTER(record);
  CHECK_POINTER(record->Name);
  CRYPT_CHECK_SLOT(record->Create);
  CRYPT_CHECK_SLOT(record->Release);
  CRYPT_CHECK_SLOT(record->SetKey);
  CRYPT_CHECK_SLOT(record->Encrypt);
  CRYPT_CHECK_SLOT(record->Decrypt);
  cryptUnbind(crypt);
  void *context = nullptr;
  record->Create(&context);
  crypt->Context = context;
  crypt->Interface = record;
  return 1;
}

int CryptSymmetric_SetKey(CryptSymmetric *crypt, const void *key, int32_t length) {
  return CRYPT_BOUND(crypt, SetKey)->SetKey(crypt->Context, key, length);
}

int CryptSymmetric_SetAAD(CryptSymmetric *crypt, const void *aad) {
  return CRYPT_BOUND(crypt, SetAAD)->SetAAD(crypt->Context, aad, kCryptSymmetricAadBytes);
}

int CryptSymmetric_Encrypt(CryptSymmetric *crypt, const void *in, void *out, int64_t length) {
  return CRYPT_BOUND(crypt, Encrypt)->Encrypt(crypt->Context, in, out, length);
}

int CryptSymmetric_Decrypt(CryptSymmetric *crypt, const void *in, void *out, int64_t length) {
  return CRYPT_BOUND(crypt, Decrypt)->Decrypt(crypt->Context, in, out, length);
}

int CryptSymmetric_EncryptIV(CryptSymmetric *crypt, void *iv, int32_t ivLength, const void *in,
                             void *out, int64_t length) {
  return CRYPT_BOUND(crypt, EncryptIV)->EncryptIV(crypt->Context, iv, ivLength, in, out, length);
}

int CryptSymmetric_DecryptIV(CryptSymmetric *crypt, void *iv, int32_t ivLength, const void *in,
                             void *out, int64_t length) {
  return CRYPT_BOUND(crypt, DecryptIV)->DecryptIV(crypt->Context, iv, ivLength, in, out, length);
}

int CryptSymmetric_GetAuthTag(CryptSymmetric *crypt, void *tag, int32_t length) {
  return CRYPT_BOUND(crypt, GetAuthTag)->GetAuthTag(crypt->Context, tag, length);
}

int Crypt_ConstantTimeEqual(const void *a, const void *b, int64_t length) {
  if (length <= 0) return 1;
  CHECK_POINTER(a);
  CHECK_POINTER(b);
  const auto *x = static_cast<const uint8_t *>(a);
  const auto *y = static_cast<const uint8_t *>(b);
  uint32_t difference = 0;
  for (int64_t i = 0; i < length; i++) {
    difference |= uint32_t(x[i] ^ y[i]);
    // An opaque step per byte: the compiler cannot see that a non-zero value
    // settles the answer and leave the loop early.
    __asm__("" : "+r"(difference));
  }
  // difference is 0..255: minus one borrows into bit 8 only when it is 0.
  return int(((difference - 1) >> 8) & 1);
}
