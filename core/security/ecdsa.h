// Ecdsa: the key context of the "ECDSA" public-key record: a curve, an
// optional private key d and a public point Q; signatures are DER
// SEQUENCE { INTEGER r, INTEGER s }.
//
// Invariants: (1) HasPrivateKey is 1 only after ImportPrivate accepted a d
// with 1 <= d <= n - 1 on the selected curve. (2) a public key that is not at
// infinity passed EcPoint_Validate on the selected curve: ImportPublic and
// SetPublic run the same checks. (3) signing draws its nonce from the system's
// random source and runs on the constant-time path of ec.h; verification
// always checks, whatever the security switch says.
//
// Threads: a key belongs to one thread at a time.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/security/bigint.h"
#include "core/security/ec.h"

constexpr uint32_t kEcdsaTag = 0x0f4213ba;

struct Ecdsa {
  ObjectHeader header;
  EcGroup *Group;
  int32_t HasPrivateKey;
  BigInt PrivateKey;
  EcPoint PublicKey;
};

// An empty key. Returns 1.
int Ecdsa_Create(Ecdsa **key);
// Frees the key and clears *key. Returns 1.
int Ecdsa_Release(Ecdsa **key);
// Selects the curve by its dotted OID text (EcGroup_Select). Returns 1/0.
int Ecdsa_SetParameters(Ecdsa *key, const char *oid);
int Ecdsa_HasPrivateKey(const Ecdsa *key);
// An ECPrivateKey SEQUENCE { INTEGER 1, OCTET STRING d, ... } for the curve
// selected before; the optional members are not read. Returns 1; 0 for bad
// DER, no curve, or d outside 1 .. n - 1.
int Ecdsa_ImportPrivate(Ecdsa *key, const void *der, int32_t length);
// A SEC 1 point (EcPoint_Decode). Clears the private key. Returns 1/0.
int Ecdsa_ImportPublic(Ecdsa *key, const void *bytes, int32_t length);
// The point (x, y), checked as ImportPublic checks. Clears the private key.
// Returns 1/0.
int Ecdsa_SetPublic(Ecdsa *key, const BigInt *x, const BigInt *y);
// ECDSA cannot encrypt: always 0 with *written 0.
int Ecdsa_Encrypt(Ecdsa *key, const void *data, int32_t length, void *out, int32_t size,
                  int32_t *written);
// The DER signature of a digest. size must be at least the largest encoding
// plus 2 (fatal otherwise). Returns 1; 0 without a private key.
int Ecdsa_Sign(Ecdsa *key, const void *digest, int32_t length, void *out, int32_t size,
               int32_t *written);
// 1 when signature is the one DER encoding of SEQUENCE { r, s } with
// 1 <= r, s <= n - 1 and it verifies for the digest under Q. mode is ignored.
int Ecdsa_Verify(Ecdsa *key, const void *digest, int32_t length, const void *signature,
                 int32_t signatureLength, int32_t mode);
// Empties curve, d and Q. Returns 1.
int Ecdsa_Clear(Ecdsa *key);
