// BigInt: arbitrary-precision signed integers for RSA, elliptic curves,
// ASN.1 INTEGER values, serial numbers and key parameters, with Montgomery
// exponentiation through a per-modulus context. Nothing here is constant-time.
//
// Invariants: (1) Limbs[0 .. Length) hold the magnitude, least significant
// limb first, and Limbs[Length - 1] is not 0: zero has Length 0 and is never
// negative. (2) Capacity counts the limbs allocated; it grows in steps of 64
// limbs plus one spare and never shrinks until the limbs are freed; Limbs is
// NULL only while Capacity is 0. (3) a result may be one of the operands of
// the same call. (4) a context's modulus is odd and above 1.
//
// Results: 1 for success. Bad values (a zero or negative modulus, no inverse,
// a buffer too small) answer 0 and leave the result defined (zero unless the
// operation says otherwise). A NULL pointer or a wrong class tag stops the
// program.
//
// Threads: a value or a context is used by one thread at a time; the module
// keeps no shared state.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

constexpr uint32_t kBigIntTag = 0x1ca4d8e2;
constexpr uint32_t kBigIntModContextTag = 0xd64069cf;
// Growth step of the limb array: 2048 bits.
constexpr int kBigIntLimbStep = 64;
// The largest magnitude a value may be given (FromBytes, FromHex and
// ShiftLeft refuse more), so bit counts always fit an int.
constexpr int kBigIntMaxBits = 1 << 30;
// BigInt_ToHex output: at most 480 bytes as 960 digits, and the terminator.
constexpr int kBigIntHexMaxBytes = 480;
constexpr int kBigIntHexBytes = 2 * kBigIntHexMaxBytes + 1;

struct BigInt {
  ObjectHeader header;
  uint32_t *Limbs;
  int32_t Capacity;
  int32_t Length;
  int32_t Negative;
};

// The Montgomery context of one odd modulus; its fields belong to bigint.cpp.
struct BigIntModContext;

// ---- Life cycle -------------------------------------------------------------

// A zero value on the heap. Returns 1.
int BigInt_Create(BigInt **n);
// Frees the limbs and the object and clears *n. Returns 1.
int BigInt_Release(BigInt **n);
// Makes *n a zero value held in the caller's storage: tag, one reference, an
// instance id, no limbs. Free it with BigInt_FreeLimbs.
void BigInt_InitInPlace(BigInt *n);
// Frees the limbs of an in-place value, leaving zero. Returns 1.
int BigInt_FreeLimbs(BigInt *n);

// ---- Values -----------------------------------------------------------------

// Zero (the limbs stay allocated). Returns 1.
int BigInt_Clear(BigInt *n);
// The unsigned 32-bit word.
void BigInt_SetWord(BigInt *n, uint32_t word);
// Copies magnitude and sign; nothing when both are the same value. Returns 1.
int BigInt_Copy(BigInt *target, const BigInt *source);
// 1 when sign and magnitude are equal.
int BigInt_Equals(const BigInt *a, const BigInt *b);
// -1, 0 or 1 as a < b, a = b or a > b, signs included.
int BigInt_Compare(const BigInt *a, const BigInt *b);
// -1 when negative, 0 for zero, 1 otherwise.
int BigInt_Sign(const BigInt *n);
// Bit index of the magnitude (0 = least significant); 0 for negative or
// out-of-range indexes.
int BigInt_TestBit(const BigInt *n, int index);
// Bits of the magnitude; 0 for zero.
int BigInt_GetBitLength(const BigInt *n);
// (bit length + 7) / 8.
int BigInt_GetByteLength(const BigInt *n);

// ---- Arithmetic -------------------------------------------------------------

// r = a + b and r = a - b, signed. Return 1.
int BigInt_Add(BigInt *r, const BigInt *a, const BigInt *b);
int BigInt_Sub(BigInt *r, const BigInt *a, const BigInt *b);
// The magnitude shifted by bits, the sign kept (a magnitude shifted to 0 is
// plain zero). Return 1; 0 with r zero for a negative count, and for a left
// shift whose result would exceed kBigIntMaxBits.
int BigInt_ShiftLeft(BigInt *r, const BigInt *a, int bits);
int BigInt_ShiftRight(BigInt *r, const BigInt *a, int bits);

// r = a mod m in [0, m), for any sign of a. Returns 0 with r zero when m is
// zero or negative.
int BigInt_Mod(BigInt *r, const BigInt *a, const BigInt *m);
// r = a * b mod m and r = a * a mod m, in [0, m). Return 0 with r zero when m
// is zero or negative.
int BigInt_MulMod(BigInt *r, const BigInt *a, const BigInt *b, const BigInt *m);
int BigInt_SquareMod(BigInt *r, const BigInt *a, const BigInt *m);
// r = a^-1 mod m, in [1, m), for odd m above 1 and any sign of a. Returns 0
// with r zero when m is even or below 2, or gcd(a, m) is not 1 (a = 0 too).
int BigInt_InverseMod(BigInt *r, const BigInt *a, const BigInt *m);

// ---- Montgomery exponentiation ----------------------------------------------

// Makes the context of an odd modulus above 1. Returns 1; 0 with *ctx NULL
// for an even, negative, zero or one modulus.
int BigInt_ModContextInit(BigIntModContext **ctx, const BigInt *m);
// Byte length of the context's modulus.
int BigInt_ModContextGetByteLength(const BigIntModContext *ctx);
// Frees the context and clears *ctx. Returns 1.
int BigInt_ModContextRelease(BigIntModContext **ctx);
// r = base^exponent mod m, in [0, m); the base may have any sign or size.
// Returns 1; 0 with r zero for a negative exponent.
int BigInt_ModExp(BigInt *r, const BigInt *base, const BigInt *exponent,
                  const BigIntModContext *ctx);

// A uniformly random value in 1 .. limit - 1 from the system's random source
// (rejection sampling over the limit's bit length). Returns 1; 0 with r zero
// when limit is below 2.
int BigInt_Random(BigInt *r, const BigInt *limit);

// ---- Conversions ------------------------------------------------------------

// Unsigned big-endian bytes; count 0 gives zero. Returns 1; 0 with n zero for
// a negative count or more than kBigIntMaxBits / 8 bytes.
int BigInt_FromBytes(BigInt *n, const void *bytes, int count);
// The minimal unsigned big-endian form of the magnitude (zero gives no bytes)
// and its length in *written. Returns 1; 0 with *written 0 when size is below
// the byte length.
int BigInt_ToBytes(const BigInt *n, void *out, int size, int *written);
// The magnitude as exactly size big-endian bytes, zeros in front. Returns 1;
// 0 (out untouched) when size is below the byte length.
int BigInt_ToBytesPadded(const BigInt *n, void *out, int size);
// An optional '-' and hex digits of either case, read up to the first other
// character. Returns 1; 0 with n zero when no digit follows the sign or there
// are more than kBigIntMaxBits / 4 digits.
int BigInt_FromHex(BigInt *n, const char *text);
// Upper-case hex of the minimal big-endian bytes of the magnitude (an even
// number of digits, no sign; zero gives an empty text) into out of
// kBigIntHexBytes. Returns 1; 0 with an empty text above kBigIntHexMaxBytes.
int BigInt_ToHex(const BigInt *n, char *out);
