// The JWKS store; see certstorejwks.h.
#include "core/security/certstorejwks.h"

#include <cstring>
#include <vector>

#include "core/runtime/base64.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/security/bigint.h"
#include "core/security/jws.h"
#include "core/security/x509.h"

namespace {

void jwksDestroy(void **object) {
  auto *store = static_cast<CertStoreJwks *>(*object);
  Dictionary_Release(&store->KeySet);
  store->header.classTag = 0;
  MEM_FREE(store, sizeof(CertStoreJwks));
}

// The "keys" list of the set (a root holding one keyless object is
// looked through).
Dictionary *keyList(Dictionary *keySet) {
  Dictionary *list = nullptr;
  if (Dictionary_GetListByKey(keySet, "keys", &list) && list != nullptr) return list;
  Dictionary *object = nullptr;
  if (Dictionary_GetDictionaryByIndex(keySet, 0, &object) && object != nullptr &&
      Dictionary_GetListByKey(object, "keys", &list))
    return list;
  return nullptr;
}

// A base64url member of key as a big-endian integer.
bool readInteger(Dictionary *key, const char *member, BigInt *value) {
  char text[2048];
  if (!Dictionary_GetStringByKey(key, member, text, sizeof text)) return false;
  std::vector<uint8_t> bytes(strlen(text) + 8);
  int64_t written = 0;
  return Base64_DecodeUrl(text, int64_t(strlen(text)), bytes.data(), int64_t(bytes.size()),
                          &written) &&
         written > 0 && BigInt_FromBytes(value, bytes.data(), int(written));
}

// Sets the key of one key-set entry into key (bound for alg).
bool importKey(Dictionary *entry, int32_t alg, CryptAsymmetric *key) {
  static const char *const kCurves[] = {"1.2.840.10045.3.1.7", "1.3.132.0.34", "1.3.132.0.35"};
  const bool rsa = alg >= kJwsRs256 && alg <= kJwsRs512;
  const bool es = alg >= kJwsEs256 && alg <= kJwsEs512;
  if (!rsa && !es) return false;
  BigInt *first = nullptr;
  BigInt *second = nullptr;
  BigInt_Create(&first);
  BigInt_Create(&second);
  bool ok = false;
  if (rsa) {
    ok = CryptAsymmetric_SetInterface(key, &kCryptAsymmetricRsa) &&
         readInteger(entry, "e", first) && readInteger(entry, "n", second);
  } else {
    ok = CryptAsymmetric_SetInterface(key, &kCryptAsymmetricEcdsa) &&
         CryptAsymmetric_SetParameters(key, kCurves[alg - kJwsEs256]) &&
         readInteger(entry, "x", first) && readInteger(entry, "y", second);
  }
  ok = ok && CryptAsymmetric_SetPublic(key, first, second) == 1;
  BigInt_Release(&first);
  BigInt_Release(&second);
  return ok;
}

// The first signing key for alg whose member equals wanted, imported into
// key.
bool findKey(CertStoreJwks *store, int32_t alg, const char *member, const char *wanted,
             CryptAsymmetric *key) {
  if (wanted == nullptr || wanted[0] == '\0') return false;
  Dictionary *list = keyList(store->KeySet);
  int32_t count = 0;
  if (list == nullptr || !Dictionary_GetCount(list, &count)) return false;
  for (int32_t i = 0; i < count; i++) {
    Dictionary *entry = nullptr;
    char use[16] = {0}, name[320] = {0}, value[320] = {0};
    if (!Dictionary_GetDictionaryByIndex(list, i, &entry) || entry == nullptr) continue;
    if (!Dictionary_GetStringByKey(entry, "use", use, sizeof use) || strcmp(use, "sig") != 0)
      continue;
    if (!Dictionary_GetStringByKey(entry, "alg", name, sizeof name) ||
        Jws_AlgorithmFromName(name) != alg)
      continue;
    if (!Dictionary_GetStringByKey(entry, member, value, sizeof value) ||
        strcmp(value, wanted) != 0)
      continue;
    if (importKey(entry, alg, key)) return true;
  }
  return false;
}

// A certificate's thumbprint as base64url text.
bool certThumbprint(X509 *cert, const HashInterface *hash, char *out) {
  uint8_t digest[kHashMaxDigestBytes];
  int64_t written = 0;
  return X509_GetThumbprint(cert, hash, digest, sizeof digest) &&
         Base64_EncodeUrl(digest, hash->DigestSize, out, kJwsThumbprintBytes, &written);
}

int jwksFindKey(CertStore *, void *context, Dictionary *header, CryptAsymmetric **key,
                int *rejected) {
  auto *store = static_cast<CertStoreJwks *>(context);
  CLASS_CHECK(store, kCertStoreJwksTag);
  *key = nullptr;
  *rejected = 0;
  int32_t alg = kJwsUnknown;
  if (!Jws_GetAlgorithm(header, &alg)) return 0;
  CryptAsymmetric *found = nullptr;
  CryptAsymmetric_Create(&found);
  bool hit = false;
  for (const char *member : {"kid", "x5t#S256", "x5t"}) {
    char wanted[320] = {0};
    if (!hit && Dictionary_GetStringByKey(header, member, wanted, sizeof wanted))
      hit = findKey(store, alg, member, wanted, found);
  }
  char thumbprint[kJwsThumbprintBytes];
  if (!hit && Jws_GetX5cThumbprint(header, &kHashSha256, thumbprint))
    hit = findKey(store, alg, "x5t#S256", thumbprint, found);
  if (!hit && Jws_GetX5cThumbprint(header, &kHashSha1, thumbprint))
    hit = findKey(store, alg, "x5t", thumbprint, found);
  if (!hit) {
    CryptAsymmetric_Release(&found);
    return 0;
  }
  *key = found;
  return 1;
}

int jwksCheckCertificate(CertStore *, void *context, X509 *cert, int *rejected) {
  auto *store = static_cast<CertStoreJwks *>(context);
  CLASS_CHECK(store, kCertStoreJwksTag);
  *rejected = 0;
  const HashInterface *hash = nullptr;
  if (!X509_GetSignatureHash(cert, &hash) || hash == nullptr) return 0;
  int32_t alg = hash == &kHashSha256   ? kJwsRs256
                : hash == &kHashSha384 ? kJwsRs384
                : hash == &kHashSha512 ? kJwsRs512
                                       : kJwsUnknown;
  if (alg == kJwsUnknown) return 0;
  CryptAsymmetric *found = nullptr;
  CryptAsymmetric_Create(&found);
  char thumbprint[kJwsThumbprintBytes];
  bool hit = (certThumbprint(cert, &kHashSha256, thumbprint) &&
              findKey(store, alg, "x5t#S256", thumbprint, found)) ||
             (certThumbprint(cert, &kHashSha1, thumbprint) &&
              findKey(store, alg, "x5t", thumbprint, found));
  CryptAsymmetric_Release(&found);
  return hit ? 1 : 0;
}

}  // namespace

int CertStoreJwks_Create(CertStore **store, Dictionary *keySet) {
  CHECK_POINTER(store);
  CHECK_POINTER(keySet);
  auto *s = static_cast<CertStoreJwks *>(MEM_ALLOC(sizeof(CertStoreJwks), MEM_ZEROED));
  s->header.classTag = kCertStoreJwksTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = jwksDestroy;
  Dictionary_AddRef(keySet);
  s->KeySet = keySet;
  CertStore_InitEmbedded(&s->Interface, s);
  CertStore_SetCheckCertificate(&s->Interface, s, jwksCheckCertificate);
  CertStore_SetFindKey(&s->Interface, s, jwksFindKey);
  *store = &s->Interface;
  return 1;
}

CertStoreJwksCheck CertStoreJwks_CheckKeySet(Dictionary *keySet, char *why, int whySize,
                                             char *skipped, int skippedSize) {
  CHECK_POINTER(keySet);
  CHECK_POINTER(why);
  CHECK_POINTER(skipped);
  why[0] = skipped[0] = '\0';
  Dictionary *list = keyList(keySet);
  int32_t count = 0;
  if (list == nullptr || !Dictionary_GetCount(list, &count)) {
    Str_Copy(why, "no \"keys\" list", whySize);
    return CertStoreJwksCheck::NoKeySet;
  }
  int32_t usable = 0;
  for (int32_t i = 0; i < count; i++) {
    Dictionary *entry = nullptr;
    char use[16] = {0}, alg[32] = {0}, kid[64] = {0}, kty[16] = {0};
    Dictionary_GetDictionaryByIndex(list, i, &entry);
    if (entry != nullptr) {
      Dictionary_GetStringByKey(entry, "use", use, sizeof use);
      Dictionary_GetStringByKey(entry, "alg", alg, sizeof alg);
      Dictionary_GetStringByKey(entry, "kid", kid, sizeof kid);
      Dictionary_GetStringByKey(entry, "kty", kty, sizeof kty);
    }
    char name[96];
    if (kid[0] != '\0')
      Str_Printf(name, int(sizeof name), "\"%s\"", kid);
    else
      Str_Printf(name, int(sizeof name), "#%d", int(i));
    if (entry != nullptr && Dictionary_HasKey(entry, "d")) {
      Str_Printf(why, whySize, "key %s holds its private part \"d\"", name);
      return CertStoreJwksCheck::Private;
    }
    int32_t id = alg[0] != '\0' ? Jws_AlgorithmFromName(alg) : kJwsUnknown;
    const char *reason = nullptr;
    if (entry == nullptr)
      reason = "not an object";
    else if (strcmp(use, "sig") != 0)
      reason = use[0] != '\0' ? "\"use\" is not \"sig\"" : "no \"use\": \"sig\"";
    else if (alg[0] == '\0')
      reason = "no \"alg\"";
    else if (id < kJwsRs256 || id > kJwsEs512)
      reason = "an \"alg\" not read (RS256-RS512, ES256-ES512 are)";
    if (reason != nullptr) {
      Str_AppendPrintf(skipped, skippedSize, "%s%s (%s)", skipped[0] != '\0' ? ", " : "", name,
                       reason);
      continue;
    }
    CryptAsymmetric *key = nullptr;
    CryptAsymmetric_Create(&key);
    bool imported = importKey(entry, id, key);
    CryptAsymmetric_Release(&key);
    if (!imported) {
      Str_Printf(why, whySize, "key %s (%s, \"alg\" %s) does not import: %s", name,
                 kty[0] != '\0' ? kty : "no kty", alg,
                 id >= kJwsEs256 ? "\"x\" and \"y\" must be a point of the alg's curve "
                                   "(base64url)"
                                 : "\"n\" and \"e\" must be an RSA key (base64url)");
      return CertStoreJwksCheck::NotImported;
    }
    usable++;
  }
  if (usable == 0) {
    Str_Copy(why, "no key a signature can be checked with", whySize);
    return CertStoreJwksCheck::NoKey;
  }
  return CertStoreJwksCheck::Usable;
}
