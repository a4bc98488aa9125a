// Rsa: RSA keys with PKCS#1 v1.5 encryption (block type 2), signing and
// verification (block type 1), the "RSA" record of CryptAsymmetric.
//
// Invariants: (1) every import path (ImportPublic, ImportPrivate, SetPublic,
// SetModulus) refuses, logged and with 0, an even modulus, a modulus below
// kRsaMinModulusBits or above kRsaMaxModulusBits, a public exponent that is
// even, below 3 or not below n, and DER INTEGERs that are negative or not
// minimal; a refused import leaves the key cleared. (2) ModulusContext
// exists exactly while a key is set, and PublicExponent is then valid for
// it. (3) HasPrivateKey is 1 exactly while Private holds the prime factors
// p, q (p * q = n), dP, dQ and qInv of a private key, on fixed-width words.
// (4) private-key operations run in constant time: no branch and no memory
// address depends on the private key or the blinding values. (5) a
// signature leaves Rsa_Sign only after s^e mod n gave back the block.
//
// Results: 1 for success, 0 for bad input or a refused key. A NULL pointer,
// a foreign class tag or a digest of kRsaMaxBlockBytes or more stops the
// program.
//
// Threads: a key belongs to one thread at a time (signing moves its blinding
// values on). The module keeps no shared state.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/security/bigint.h"

constexpr uint32_t kRsaKeyTag = 0x8f84840d;
constexpr int kRsaMinModulusBits = 1024;
constexpr int kRsaMaxModulusBits = 8192;
// The largest block, k bytes for a kRsaMaxModulusBits modulus.
constexpr int kRsaMaxBlockBytes = kRsaMaxModulusBits / 8;
// PKCS#1 v1.5: 00, the block type, at least 8 padding bytes, 00.
constexpr int kRsaPaddingOverhead = 11;

// The prime factors and CRT values of a private key, with their Montgomery
// constants and the blinding pair, in one block of fixed-width words; its
// fields belong to rsa.cpp.
struct RsaPrivate;

struct RsaKey {
  ObjectHeader header;
  BigIntModContext *ModulusContext;  // of n; NULL before a key is set
  BigInt PublicExponent;             // e
  BigInt PrivateExponent;            // d, checked at import; signing uses the CRT values
  BigInt Input;                      // work values: input and result of the last
  BigInt Result;                     // public exponentiation
  int32_t HasPrivateKey;
  RsaPrivate *Private;  // NULL for a public key
  BigInt Modulus;       // n, for the range checks of signatures and blocks
};

// A key without a modulus into *key. Returns 1.
int Rsa_Create(RsaKey **key);
// Clears the key, frees it and clears *key. Returns 1.
int Rsa_Release(RsaKey **key);
// RSA has no domain parameters: answers 1 for any text.
int Rsa_SetParameters(RsaKey *key, const char *parameters);
// 1 while a private key is held.
int Rsa_HasPrivateKey(RsaKey *key);
// A PKCS#1 RSAPrivateKey (version 0: n, e, d, p, q, dP, dQ, qInv). Returns
// 0 for DER that does not parse, a refused member (see the invariants, and
// d outside 1 .. n - 1, p * q != n, a CRT value out of its range or qInv * q
// not 1 mod p) or empty input.
int Rsa_ImportPrivate(RsaKey *key, const void *der, int32_t length);
// A PKCS#1 RSAPublicKey SEQUENCE { n, e }; drops any private key. Returns 0
// for DER that does not parse or a refused key.
int Rsa_ImportPublic(RsaKey *key, const void *der, int32_t length);
// The public key (exponent, modulus); drops any private key. Returns 0 for
// a refused key.
int Rsa_SetPublic(RsaKey *key, const BigInt *exponent, const BigInt *modulus);
// Replaces ModulusContext with a fresh context of n; drops the exponent and
// any private key (Rsa_SetPublic sets both). Returns 0 (key cleared) for a
// refused modulus.
int Rsa_SetModulus(RsaKey *key, const BigInt *modulus);

// 00 02 PS 00 data, PS random non-zero bytes, raised to e and written as
// exactly k bytes (k = byte length of n); *written = k. Returns 0 without a
// key, for length above k - kRsaPaddingOverhead, or when size is not above k.
int Rsa_Encrypt(RsaKey *key, const void *data, int32_t length, void *out, int32_t size,
                int32_t *written);
// 00 01 FF.. 00 data raised to d (CRT, blinded, constant time), written as
// k bytes. data is what is signed: a DER DigestInfo or a bare digest.
// Returns 0 without a private key, for length above k - kRsaPaddingOverhead,
// when size is not above k, or when the result fails its s^e check (*written
// 0 and out zeroed then).
int Rsa_Sign(RsaKey *key, const void *data, int32_t length, void *out, int32_t size,
             int32_t *written);
// Checks a PKCS#1 v1.5 signature of exactly k bytes, below n, against the
// whole expected block: 00 01, FF padding (at least 8 bytes), 00, then for
// mode 1 the bare digest, for any other mode the DER DigestInfo of the hash
// that digestLength names (16 MD5, 20 SHA-1, 28 SHA-224, 32 SHA-256, 48
// SHA-384, 64 SHA-512; NULL or absent parameters) and the digest. Returns 1
// without checking while the security switch is off (auth.h); 0 without a
// key or for any other digest length. Stops the program when digestLength is
// kRsaMaxBlockBytes or more.
int Rsa_Verify(RsaKey *key, const void *digest, int32_t digestLength, const void *signature,
               int32_t signatureLength, int32_t mode);
// Forgets the key: HasPrivateKey 0, the context released, e, d and the work
// values cleared, the private block wiped and freed. Returns 1.
int Rsa_Clear(RsaKey *key);

// Test-only: the private block of the key (NULL and 0 for a public key), so
// that a memory checker can mark the secrets undefined.
void Rsa_GetSecretsForTest(RsaKey *key, void **secrets, int64_t *bytes);
