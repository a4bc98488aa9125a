// ECDSA keys, signing and verification; see ecdsa.h.
#include "core/security/ecdsa.h"

#include <cstring>

#include "core/runtime/memory.h"
#include "core/security/ctcheck.h"
#include "core/security/asn.h"

namespace {

void ecdsaClearPrivate(Ecdsa *key) {
  key->HasPrivateKey = 0;
  if (key->PrivateKey.Limbs != nullptr)
    memset(key->PrivateKey.Limbs, 0, size_t(key->PrivateKey.Capacity) * 4);
  BigInt_Clear(&key->PrivateKey);
}

void ecdsaDestroy(void **object) {
  auto *key = static_cast<Ecdsa *>(*object);
  ecdsaClearPrivate(key);
  BigInt_FreeLimbs(&key->PrivateKey);
  EcPoint_Free(&key->PublicKey);
  EcGroup_Release(&key->Group);
  key->header.classTag = 0;
  MEM_FREE(key, sizeof(Ecdsa));
}

// The leftmost bits(n) bits of the digest, or all of it when it is shorter.
void ecdsaDigestToInteger(const EcGroup *group, const uint8_t *digest, int length, BigInt *e) {
  const int bits = BigInt_GetBitLength(&group->N);
  if (int64_t(length) * 8 > bits) {
    BigInt_FromBytes(e, digest, (bits + 7) / 8);
    if (bits % 8 != 0) BigInt_ShiftRight(e, e, 8 - bits % 8);
  } else {
    BigInt_FromBytes(e, digest, length);
  }
}

// Scrubs and frees an in-place value that held a secret.
void ecdsaFreeSecret(BigInt *value) {
  if (value->Limbs != nullptr) memset(value->Limbs, 0, size_t(value->Capacity) * 4);
  BigInt_FreeLimbs(value);
}

// r and s of a signature that is exactly the DER encoding of
// SEQUENCE { INTEGER r, INTEGER s } with non-negative r and s.
int ecdsaParseSignature(const uint8_t *signature, int length, BigInt *r, BigInt *s) {
  if (signature == nullptr || length < 8 || length > kAsn1WriteBufferBytes) return 0;
  Asn1Node *document = nullptr;
  Asn1_Create(&document);
  int ok = Asn1_ParseBuffer(document, signature, length) && Asn1_GetChildCount(document) == 1;
  const Asn1Node *sequence = Asn1_GetChild(document, 0);
  ok = ok && Asn1_GetTag(sequence) == kAsn1Sequence && Asn1_GetChildCount(sequence) == 2 &&
       Asn1_GetBigInteger(Asn1_GetChild(sequence, 0), r) &&
       Asn1_GetBigInteger(Asn1_GetChild(sequence, 1), s);
  Asn1_Release(&document);
  if (!ok) return 0;
  // The reader also takes BER and negative values: only the one encoding
  // that the writers give back is a signature.
  uint8_t encoded[kAsn1WriteBufferBytes] = {kAsn1Sequence, 0};
  uint8_t element[kAsn1WriteBufferBytes];
  int total = 0;
  int size = Asn1_WriteInteger(r, element);
  if (size > 0) total = Asn1_AppendToSequence(encoded, element, size);
  size = total > 0 ? Asn1_WriteInteger(s, element) : 0;
  total = size > 0 ? Asn1_AppendToSequence(encoded, element, size) : 0;
  return total == length && memcmp(encoded, signature, size_t(length)) == 0;
}

}  // namespace

int Ecdsa_Create(Ecdsa **key) {
  CHECK_POINTER(key);
  auto *k = static_cast<Ecdsa *>(MEM_ALLOC(sizeof(Ecdsa), MEM_ZEROED));
  k->header.classTag = kEcdsaTag;
  k->header.refCount.store(1, std::memory_order_relaxed);
  k->header.destroy = ecdsaDestroy;
  EcGroup_Create(&k->Group);
  BigInt_InitInPlace(&k->PrivateKey);
  EcPoint_Init(&k->PublicKey);
  *key = k;
  return 1;
}

int Ecdsa_Release(Ecdsa **key) {
  CHECK_POINTER(key);
  CLASS_CHECK(*key, kEcdsaTag);
  Class_ReleaseObject(key);
  return 1;
}

int Ecdsa_SetParameters(Ecdsa *key, const char *oid) {
  CLASS_CHECK(key, kEcdsaTag);
  return EcGroup_Select(key->Group, oid);
}

int Ecdsa_HasPrivateKey(const Ecdsa *key) {
  CLASS_CHECK(key, kEcdsaTag);
  return key->HasPrivateKey;
}

int Ecdsa_ImportPrivate(Ecdsa *key, const void *der, int32_t length) {
  CLASS_CHECK(key, kEcdsaTag);
  ecdsaClearPrivate(key);
  if (key->Group->Curve == nullptr || der == nullptr || length <= 0) return 0;
  Asn1Node *document = nullptr;
  Asn1_Create(&document);
  uint32_t version = 0;
  int ok = Asn1_ParseBuffer(document, static_cast<const uint8_t *>(der), length) &&
           Asn1_GetChildCount(document) == 1;
  const Asn1Node *sequence = Asn1_GetChild(document, 0);
  const Asn1Node *secret = Asn1_GetChild(sequence, 1);
  ok = ok && Asn1_GetTag(sequence) == kAsn1Sequence &&
       Asn1_GetInteger32(Asn1_GetChild(sequence, 0), &version) && version == 1 &&
       Asn1_GetTag(secret) == kAsn1OctetString &&
       BigInt_FromBytes(&key->PrivateKey, Asn1_GetContent(secret), Asn1_GetContentLength(secret));
  Asn1_Release(&document);
  if (!ok || BigInt_Sign(&key->PrivateKey) <= 0 ||
      BigInt_Compare(&key->PrivateKey, &key->Group->N) >= 0) {
    ecdsaClearPrivate(key);
    return 0;
  }
  key->HasPrivateKey = 1;
  return 1;
}

int Ecdsa_ImportPublic(Ecdsa *key, const void *bytes, int32_t length) {
  CLASS_CHECK(key, kEcdsaTag);
  ecdsaClearPrivate(key);
  return EcPoint_Decode(&key->PublicKey, key->Group, static_cast<const uint8_t *>(bytes), length);
}

int Ecdsa_SetPublic(Ecdsa *key, const BigInt *x, const BigInt *y) {
  CLASS_CHECK(key, kEcdsaTag);
  CLASS_CHECK(x, kBigIntTag);
  CLASS_CHECK(y, kBigIntTag);
  ecdsaClearPrivate(key);
  BigInt_Copy(&key->PublicKey.X, x);
  BigInt_Copy(&key->PublicKey.Y, y);
  key->PublicKey.Infinity = 0;
  if (EcPoint_Validate(key->Group, &key->PublicKey)) return 1;
  EcPoint_SetInfinity(&key->PublicKey);
  return 0;
}

int Ecdsa_Encrypt(Ecdsa *key, const void *, int32_t, void *, int32_t, int32_t *written) {
  CLASS_CHECK(key, kEcdsaTag);
  if (written != nullptr) *written = 0;
  return 0;
}

int Ecdsa_Sign(Ecdsa *key, const void *digest, int32_t length, void *out, int32_t size,
               int32_t *written) {
  CLASS_CHECK(key, kEcdsaTag);
  CHECK_POINTER(written);
  *written = 0;
  const EcGroup *group = key->Group;
  if (!key->HasPrivateKey || group->Curve == nullptr) return 0;
  CHECK_POINTER(out);
  if (length > 0) CHECK_POINTER(digest);
  const int nBytes = EcGroup_GetOrderBytes(group);
  int maxLength = 2 * nBytes + 6;
  if (maxLength > 127) maxLength++;
  if (!(maxLength < 256))
    Core_Abort(KSRC,
               "Assertion failed (Length < 256)\nPre-calculated ASN.1 signature length is too "
               "large for EC: %d\n",
               maxLength);
  if (!(size >= maxLength + 2))
    Core_Abort(KSRC,
               "Assertion failed (MaxSignatureSize >= Length + 2)\nSignature buffer is too "
               "small\n");
  BigInt e, k, r, s;
  BigInt_InitInPlace(&e);
  BigInt_InitInPlace(&k);
  BigInt_InitInPlace(&r);
  BigInt_InitInPlace(&s);
  uint8_t eBytes[kEcMaxFieldBytes], dBytes[kEcMaxFieldBytes], kBytes[kEcMaxFieldBytes];
  uint8_t rBytes[kEcMaxFieldBytes], sBytes[kEcMaxFieldBytes];
  ecdsaDigestToInteger(group, static_cast<const uint8_t *>(digest), length, &e);
  BigInt_ToBytesPadded(&e, eBytes, nBytes);
  BigInt_ToBytesPadded(&key->PrivateKey, dBytes, nBytes);
  CT_MARK_SECRET(dBytes, size_t(nBytes));
  // A nonce whose r or s comes out 0 is drawn again (probability about 2/n).
  do {
    BigInt_Random(&k, &group->N);
    BigInt_ToBytesPadded(&k, kBytes, nBytes);
    CT_MARK_SECRET(kBytes, size_t(nBytes));
  } while (!Ec_SignDigest(group, dBytes, kBytes, eBytes, rBytes, sBytes));
  memset(dBytes, 0, sizeof(dBytes));
  memset(kBytes, 0, sizeof(kBytes));
  ecdsaFreeSecret(&k);
  BigInt_FromBytes(&r, rBytes, nBytes);
  BigInt_FromBytes(&s, sBytes, nBytes);
  uint8_t encoded[kAsn1WriteBufferBytes] = {kAsn1Sequence, 0};
  uint8_t element[kAsn1WriteBufferBytes];
  int total = Asn1_AppendToSequence(encoded, element, Asn1_WriteInteger(&r, element));
  total = Asn1_AppendToSequence(encoded, element, Asn1_WriteInteger(&s, element));
  BigInt_FreeLimbs(&e);
  BigInt_FreeLimbs(&r);
  BigInt_FreeLimbs(&s);
  if (total <= 0 || total > size) return 0;
  memcpy(out, encoded, size_t(total));
  *written = total;
  return 1;
}

int Ecdsa_Verify(Ecdsa *key, const void *digest, int32_t length, const void *signature,
                 int32_t signatureLength, int32_t) {
  CLASS_CHECK(key, kEcdsaTag);
  const EcGroup *group = key->Group;
  if (group->Curve == nullptr || key->PublicKey.Infinity || length < 0 ||
      (digest == nullptr && length > 0))
    return 0;
  BigInt r, s, e, w, u1, u2, x;
  BigInt *all[] = {&r, &s, &e, &w, &u1, &u2, &x};
  for (BigInt *v : all) BigInt_InitInPlace(v);
  const BigInt *n = &group->N;
  int ok = ecdsaParseSignature(static_cast<const uint8_t *>(signature), signatureLength, &r, &s) && BigInt_Sign(&r) > 0 &&
           BigInt_Sign(&s) > 0 && BigInt_Compare(&r, n) < 0 && BigInt_Compare(&s, n) < 0;
  if (ok) {
    ecdsaDigestToInteger(group, static_cast<const uint8_t *>(digest), length, &e);
    BigInt_Mod(&e, &e, n);
    ok = BigInt_InverseMod(&w, &s, n) && BigInt_MulMod(&u1, &e, &w, n) &&
         BigInt_MulMod(&u2, &r, &w, n) &&
         Ec_MultiplyPublicSum(group, &u1, &u2, &key->PublicKey, &x) && BigInt_Mod(&x, &x, n) &&
         BigInt_Equals(&x, &r);
  }
  for (BigInt *v : all) BigInt_FreeLimbs(v);
  return ok;
}

int Ecdsa_Clear(Ecdsa *key) {
  CLASS_CHECK(key, kEcdsaTag);
  EcGroup_Clear(key->Group);
  ecdsaClearPrivate(key);
  EcPoint_SetInfinity(&key->PublicKey);
  return 1;
}
