// Public-key records and the CryptAsymmetric front end; see cryptasymmetric.h.
#include "core/security/cryptasymmetric.h"

#include <cstdarg>
#include <cstring>

#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/security/cryptrecord.h"
#include "core/security/ecdsa.h"
#include "core/security/rsa.h"

namespace {

// ---- the front end ----------------------------------------------------------------

CryptAsymmetric *asymCheck(CryptAsymmetric *key, const char *sourcePath, int line) {
  Class_Check(key, kCryptAsymmetricTag, sourcePath, line);
  return key;
}

// The bound record, checked for the slot the call needs.
template <class F>
const CryptAsymmetricInterface *asymBound(CryptAsymmetric *key, F CryptAsymmetricInterface::*slot,
                                          const char *sourcePath, int line) {
  asymCheck(key, sourcePath, line);
  const CryptAsymmetricInterface *record = key->Interface;
  Core_CheckPointer(record, sourcePath, line);
  Crypt_CheckSlot(record->*slot, sourcePath, line);
  return record;
}
#define ASYM_BOUND(key, slot) asymBound((key), &CryptAsymmetricInterface::slot, KSRC)

// Key messages go to the program log at DEBUG, whatever level enabled them.
void asymDefaultLogHook(void *, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Log_PrintV(LOG_DEBUG, KSRC, 0, format, 1, args);
  va_end(args);
}

void asymUnbind(CryptAsymmetric *key) {
  if (key->Interface != nullptr && key->Context != nullptr) key->Interface->Release(&key->Context);
  key->Context = nullptr;
  key->Interface = nullptr;
}

void asymDestroy(void **object) {
  auto *key = static_cast<CryptAsymmetric *>(*object);
  asymUnbind(key);
  key->header.classTag = 0;  // a stale pointer now fails its class check
  MEM_FREE(key, sizeof(CryptAsymmetric));
}

}  // namespace

const CryptAsymmetricInterface kCryptAsymmetricRsa = {
    "RSA",
    CryptRecord_Create<RsaKey, Rsa_Create>,
    CryptRecord_Release<RsaKey, Rsa_Release>,
    CryptRecord_Slot<Rsa_SetParameters>::Call,
    CryptRecord_Slot<Rsa_HasPrivateKey>::Call,
    CryptRecord_Slot<Rsa_ImportPrivate>::Call,
    CryptRecord_Slot<Rsa_ImportPublic>::Call,
    CryptRecord_Slot<Rsa_SetPublic>::Call,
    CryptRecord_Slot<Rsa_Encrypt>::Call,
    CryptRecord_Slot<Rsa_Sign>::Call,
    CryptRecord_Slot<Rsa_Verify>::Call,
    CryptRecord_Slot<Rsa_Clear>::Call,
};

const CryptAsymmetricInterface kCryptAsymmetricEcdsa = {
    "ECDSA",
    CryptRecord_Create<Ecdsa, Ecdsa_Create>,
    CryptRecord_Release<Ecdsa, Ecdsa_Release>,
    CryptRecord_Slot<Ecdsa_SetParameters>::Call,
    CryptRecord_Slot<Ecdsa_HasPrivateKey>::Call,
    CryptRecord_Slot<Ecdsa_ImportPrivate>::Call,
    CryptRecord_Slot<Ecdsa_ImportPublic>::Call,
    CryptRecord_Slot<Ecdsa_SetPublic>::Call,
    CryptRecord_Slot<Ecdsa_Encrypt>::Call,
    CryptRecord_Slot<Ecdsa_Sign>::Call,
    CryptRecord_Slot<Ecdsa_Verify>::Call,
    CryptRecord_Slot<Ecdsa_Clear>::Call,
};

int CryptAsymmetric_Create(CryptAsymmetric **key) {
  CHECK_POINTER(key);
  auto *k = static_cast<CryptAsymmetric *>(MEM_ALLOC(sizeof(CryptAsymmetric), MEM_ZEROED));
  k->header.classTag = kCryptAsymmetricTag;
  k->header.refCount.store(1, std::memory_order_relaxed);
  k->header.destroy = asymDestroy;
  Class_GenerateInstanceId(&k->header);
  k->Log.object = k;
  k->Log.className = "CryptAsymmetric";
  k->LogHook = asymDefaultLogHook;
  *key = k;
  return 1;
}

int CryptAsymmetric_Release(CryptAsymmetric **key) {
  CHECK_POINTER(key);
  asymCheck(*key, KSRC);
  Class_ReleaseObject(key);
  return 1;
}

int CryptAsymmetric_GetInterfaceByOid(const char *oid, const CryptAsymmetricInterface **record) {
  CHECK_POINTER(oid);
  CHECK_POINTER(record);
  *record = nullptr;
  if (strcmp(oid, kCryptAsymmetricRsaOid) == 0) {
    *record = &kCryptAsymmetricRsa;
    return 1;
  }
  if (strcmp(oid, kCryptAsymmetricEcOid) == 0) {
    *record = &kCryptAsymmetricEcdsa;
    return 1;
  }
  Log_Print(LOG_ERROR, KSRC, 0, "Unsupported asymmetric cryptographic algorithm %s\n", oid);
  return 0;
}

int CryptAsymmetric_SetInterface(CryptAsymmetric *key, const CryptAsymmetricInterface *record) {
  asymCheck(key, KSRC);
  CHECK_POINTER(record);
  CHECK_POINTER(record->Name);
  CRYPT_CHECK_SLOT(record->Create);
  CRYPT_CHECK_SLOT(record->Release);
  CRYPT_CHECK_SLOT(record->HasPrivateKey);
  CRYPT_CHECK_SLOT(record->ImportPrivate);
  CRYPT_CHECK_SLOT(record->ImportPublic);
  CRYPT_CHECK_SLOT(record->Encrypt);
  CRYPT_CHECK_SLOT(record->Verify);
  asymUnbind(key);
  void *context = nullptr;
  record->Create(&context);
  key->Context = context;
  key->Interface = record;
  return 1;
}

int CryptAsymmetric_SetLogHook(CryptAsymmetric *key, void *context, CryptAsymmetricLogHook hook) {
  asymCheck(key, KSRC);
  key->LogHookContext = hook != nullptr ? context : nullptr;
  key->LogHook = hook != nullptr ? hook : asymDefaultLogHook;
  return 1;
}

int CryptAsymmetric_SetParameters(CryptAsymmetric *key, const char *parameters) {
  return ASYM_BOUND(key, SetParameters)->SetParameters(key->Context, parameters);
}

int CryptAsymmetric_HasPrivateKey(CryptAsymmetric *key) {
  return ASYM_BOUND(key, HasPrivateKey)->HasPrivateKey(key->Context);
}

int CryptAsymmetric_ImportPrivate(CryptAsymmetric *key, const void *der, int32_t length) {
  return ASYM_BOUND(key, ImportPrivate)->ImportPrivate(key->Context, der, length);
}

int CryptAsymmetric_ImportPublic(CryptAsymmetric *key, const void *bytes, int32_t length) {
  return ASYM_BOUND(key, ImportPublic)->ImportPublic(key->Context, bytes, length);
}

int CryptAsymmetric_SetPublic(CryptAsymmetric *key, const BigInt *first, const BigInt *second) {
  return ASYM_BOUND(key, SetPublic)->SetPublic(key->Context, first, second);
}

int CryptAsymmetric_Sign(CryptAsymmetric *key, const void *data, int32_t length, void *out,
                         int32_t size, int32_t *written) {
  return ASYM_BOUND(key, Sign)->Sign(key->Context, data, length, out, size, written);
}

int CryptAsymmetric_Verify(CryptAsymmetric *key, const void *digest, int32_t digestLength,
                           const void *signature, int32_t signatureLength, int32_t mode) {
  return ASYM_BOUND(key, Verify)
      ->Verify(key->Context, digest, digestLength, signature, signatureLength, mode);
}

int CryptAsymmetric_Encrypt(CryptAsymmetric *key, const void *data, void *out, int32_t *written) {
  return ASYM_BOUND(key, Encrypt)
      ->Encrypt(key->Context, data, kCryptAsymmetricPremasterBytes, out,
                kCryptAsymmetricEncryptCapacity, written);
}

int CryptAsymmetric_Clear(CryptAsymmetric *key) {
  asymCheck(key, KSRC);
  if (key->Interface == nullptr) return 1;
  return ASYM_BOUND(key, Clear)->Clear(key->Context);
}

int CryptAsymmetric_ImportSubjectPublicKeyInfo(CryptAsymmetric *key, const Asn1Node *spki) {
  asymCheck(key, KSRC);
  const Asn1Node *algorithm = Asn1_GetChild(spki, 0);
  char oid[kAsn1TextBytes];
  if (!Asn1_GetOidText(Asn1_GetChild(algorithm, 0), oid)) return 0;
  const CryptAsymmetricInterface *record = nullptr;
  if (!CryptAsymmetric_GetInterfaceByOid(oid, &record)) {
    CryptAsymmetric_Log(key, LOG_ERROR, "Unsupported public key algorithm %s", oid);
    return 0;
  }
  CryptAsymmetric_SetInterface(key, record);
  if (strcmp(record->Name, "ECDSA") == 0) {
    // The parameters name the curve.
    char curve[kAsn1TextBytes];
    if (!Asn1_GetOidText(Asn1_GetChild(algorithm, 1), curve)) return 0;
    if (!CryptAsymmetric_SetParameters(key, curve)) return 0;
  }
  const Asn1Node *bits = Asn1_GetChild(spki, 1);
  if (Asn1_GetTag(bits) != kAsn1BitString || Asn1_GetContentLength(bits) < 1) return 0;
  const uint8_t *content = Asn1_GetContent(bits);
  if (content[0] != 0) {
    CryptAsymmetric_Log(key, LOG_ERROR, "Unsupported BIT STRING unused bits count (%d)",
                        int(content[0]));
    return 0;
  }
  return CryptAsymmetric_ImportPublic(key, content + 1, Asn1_GetContentLength(bits) - 1);
}

int CryptAsymmetric_Log(CryptAsymmetric *key, int level, const char *format, ...) {
  asymCheck(key, KSRC);
  CHECK_POINTER(format);
  if (!Class_LogEnabled(&key->Log, level)) return 0;
  ClassLog log{};
  log.object = key;
  log.className = key->Log.className;
  log.sinkContext = key->LogHookContext;
  log.sink = key->LogHook;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&log, 0, format, args);
  va_end(args);
  return 1;
}
