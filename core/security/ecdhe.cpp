// Ephemeral ECDH; see ecdhe.h.
#include "core/security/ecdhe.h"

#include <cstring>

#include "core/runtime/memory.h"
#include "core/security/ctcheck.h"

namespace {

void ecdheClearKey(Ecdhe *ecdhe) {
  if (ecdhe->PrivateKey.Limbs != nullptr)
    memset(ecdhe->PrivateKey.Limbs, 0, size_t(ecdhe->PrivateKey.Capacity) * 4);
  BigInt_Clear(&ecdhe->PrivateKey);
}

void ecdheDestroy(void **object) {
  auto *ecdhe = static_cast<Ecdhe *>(*object);
  ecdheClearKey(ecdhe);
  BigInt_FreeLimbs(&ecdhe->PrivateKey);
  EcPoint_Free(&ecdhe->PeerPoint);
  EcGroup_Release(&ecdhe->Group);
  ecdhe->header.classTag = 0;
  MEM_FREE(ecdhe, sizeof(Ecdhe));
}

}  // namespace

int Ecdhe_Create(Ecdhe **ecdhe) {
  CHECK_POINTER(ecdhe);
  auto *e = static_cast<Ecdhe *>(MEM_ALLOC(sizeof(Ecdhe), MEM_ZEROED));
  e->header.classTag = kEcdheTag;
  e->header.refCount.store(1, std::memory_order_relaxed);
  e->header.destroy = ecdheDestroy;
  EcGroup_Create(&e->Group);
  BigInt_InitInPlace(&e->PrivateKey);
  EcPoint_Init(&e->PeerPoint);
  *ecdhe = e;
  return 1;
}

int Ecdhe_Release(Ecdhe **ecdhe) {
  CHECK_POINTER(ecdhe);
  CLASS_CHECK(*ecdhe, kEcdheTag);
  Class_ReleaseObject(ecdhe);
  return 1;
}

int Ecdhe_ComputeSecret(Ecdhe *ecdhe, uint8_t *publicOut, int *publicLength, uint8_t *secretOut,
                        int *secretLength) {
  CLASS_CHECK(ecdhe, kEcdheTag);
  CHECK_POINTER(publicOut);
  CHECK_POINTER(publicLength);
  CHECK_POINTER(secretOut);
  CHECK_POINTER(secretLength);
  *publicLength = 0;
  *secretLength = 0;
  const EcGroup *group = ecdhe->Group;
  const int f = EcGroup_GetFieldBytes(group);
  if (f == 0) return 0;
  if (!(kEcdhePublicMaxBytes > 2 * f))
    Core_Abort(KSRC,
               "Assertion failed (PublicKeyMaxSize > 2 * NBytes)\nToo small |PublicKeyMaxSize|\n");
  if (!(kEcdheSecretMaxBytes >= f))
    Core_Abort(KSRC,
               "Assertion failed (CommonSecretMaxSize >= NBytes)\nToo small "
               "|CommonSecretMaxSize|\n");
  if (!EcPoint_Validate(group, &ecdhe->PeerPoint)) return 0;
  const int nBytes = EcGroup_GetOrderBytes(group);
  uint8_t d[kEcMaxFieldBytes], x[kEcMaxFieldBytes], y[kEcMaxFieldBytes];
  uint8_t secret[kEcMaxFieldBytes];
  // d·G is never infinity for d in 1 .. n - 1; a zero x coordinate (which
  // the prime-order curves have no point with) would draw again.
  int finite = 0;
  for (;;) {
    BigInt_Random(&ecdhe->PrivateKey, &group->N);
    BigInt_ToBytesPadded(&ecdhe->PrivateKey, d, nBytes);
    CT_MARK_SECRET(d, size_t(nBytes));
    finite = Ec_MultiplySecret(group, d, nullptr, x, y);
    uint8_t any = 0;
    for (int i = 0; i < f; i++) any |= x[i];
    if (!finite || any != 0) break;
  }
  finite = finite && Ec_MultiplySecret(group, d, &ecdhe->PeerPoint, secret, nullptr);
  memset(d, 0, sizeof(d));
  if (!finite) {
    memset(secret, 0, sizeof(secret));
    return 0;
  }
  publicOut[0] = 0x04;
  memcpy(publicOut + 1, x, size_t(f));
  memcpy(publicOut + 1 + f, y, size_t(f));
  *publicLength = 1 + 2 * f;
  memcpy(secretOut, secret, size_t(f));
  *secretLength = f;
  memset(secret, 0, sizeof(secret));
  // The own point, as the peer will check it.
  EcPoint own;
  EcPoint_Init(&own);
  int valid = EcPoint_Decode(&own, group, publicOut, *publicLength);
  EcPoint_Free(&own);
  return valid;
}
