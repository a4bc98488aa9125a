// Ec: arithmetic on the eight prime curves of SEC 2 that the program knows
// (secp192k1, secp192r1, secp224k1, secp224r1, secp256k1, secp256r1,
// secp384r1, secp521r1), for ECDSA signatures and the ECDHE key exchange.
//
// Points cross the interface in affine form with BigInt coordinates; inside,
// field elements are fixed arrays of 3, 4, 6 or 9 64-bit words in Montgomery
// form. Two multiplication paths exist:
// - public scalars (signature verification): Jacobian coordinates and an
//   interleaved wNAF for u1·G + u2·Q over a table of odd multiples of G that
//   is built once per curve, one inversion at the end;
// - secret scalars (nonces, key-exchange keys, EcPoint_Multiply, which cannot
//   tell): the scalar is reduced mod n and read in a fixed number of 4-bit
//   windows over complete projective formulas, every table entry is read by a
//   masked scan of the whole table, and inversions go through Fermat's
//   theorem, so that no branch and no address depends on the scalar. Products
//   with G add one entry per window from a table of j·16^i·G built once per
//   curve; other points double four times per window.
//
// The secret path marks what it makes public (r, s, points, the shared x, the
// infinity flag) with CT_MARK_PUBLIC of ctcheck.h; callers mark the secrets
// they hand in (private keys, nonces) with CT_MARK_SECRET, so that the
// memory checker's constant-time test sees every use in between.
//
// Invariants: (1) a selected group's P, A, B, G and N are the published
// parameters of the curve named by Oid, and Curve points at its constant
// arithmetic data; a cleared group has neither. (2) a point is at infinity
// exactly when Infinity is 1; its coordinates are then 0. (3) every point a
// decoding or validation accepts has 0 <= x, y < p and lies on the curve.
//
// Threads: a group or point is used by one thread at a time; the curve data
// and each curve's two generator tables are built once, under a once-guard,
// and read by any thread afterwards.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/security/bigint.h"

constexpr uint32_t kEcGroupTag = 0x7d400fbf;
// The OID field holds 23 characters and the terminator.
constexpr int kEcOidBytes = 24;
// The widest field and order: secp521r1, 66 bytes.
constexpr int kEcMaxFieldBytes = 66;

struct EcPoint {
  BigInt X;
  BigInt Y;
  int32_t Infinity;
};

// The arithmetic data of one curve; its fields belong to ec.cpp.
struct EcCurve;

struct EcGroup {
  ObjectHeader header;
  char Oid[kEcOidBytes];
  BigInt P;
  BigInt A;
  BigInt B;
  EcPoint G;
  BigInt N;
  int32_t SqrtMethod;  // 1: sqrt(v) = v^((p+1)/4)
  const EcCurve *Curve;  // NULL until a curve is selected
};

// ---- Points -------------------------------------------------------------------

// Makes *point the point at infinity held in the caller's storage; free it
// with EcPoint_Free.
void EcPoint_Init(EcPoint *point);
void EcPoint_Free(EcPoint *point);
void EcPoint_Copy(EcPoint *target, const EcPoint *source);
// The point at infinity (limbs kept).
void EcPoint_SetInfinity(EcPoint *point);

// ---- Groups -------------------------------------------------------------------

// An empty group. Returns 1.
int EcGroup_Create(EcGroup **group);
// Frees the group and clears *group. Returns 1.
int EcGroup_Release(EcGroup **group);
// Copies the OID text (cut at 23 characters) and selects that curve (exact,
// case-sensitive match). Returns 1; 0 for an unknown OID, leaving the group
// cleared but for the OID text.
int EcGroup_Select(EcGroup *group, const char *oid);
// Empties the OID and the parameters. Returns 1.
int EcGroup_Clear(EcGroup *group);
// n and G (zero and infinity for an empty group).
const BigInt *EcGroup_GetOrder(const EcGroup *group);
const EcPoint *EcGroup_GetGenerator(const EcGroup *group);
// Bytes of p and of n; 0 for an empty group.
int EcGroup_GetFieldBytes(const EcGroup *group);
int EcGroup_GetOrderBytes(const EcGroup *group);

// ---- Point operations (0 for an empty group) ------------------------------------

// result = p1 + p2 for points of the curve. Returns 1; 0 (result untouched)
// for a coordinate outside 0 .. p - 1.
int EcPoint_Add(const EcGroup *group, EcPoint *result, const EcPoint *p1, const EcPoint *p2);
// result = scalar · point on the constant-time path (the scalar is reduced mod
// n first; any sign). Returns 1; 0 (result untouched) for a coordinate outside
// 0 .. p - 1.
int EcPoint_Multiply(const EcGroup *group, EcPoint *result, const EcPoint *point,
                     const BigInt *scalar);
// A SEC 1 octet string: 04 || x || y of exactly 1 + 2f bytes, or 02/03 || x of
// exactly 1 + f bytes (f = field bytes; only curves with SqrtMethod 1), then
// EcPoint_Validate. Returns 1; 0 with the point at infinity otherwise.
int EcPoint_Decode(EcPoint *point, const EcGroup *group, const uint8_t *bytes, int length);
// 1 when the point is not infinity, 0 <= x, y < p and y² = x³ + ax + b.
int EcPoint_Validate(const EcGroup *group, const EcPoint *point);

// ---- Kernels of ECDSA and ECDHE ---------------------------------------------------
// Scalars are big-endian arrays of exactly EcGroup_GetOrderBytes bytes, below
// n; coordinates are big-endian arrays of exactly EcGroup_GetFieldBytes.

// x || y of scalar · point (point NULL: the generator) on the constant-time
// path. Returns 1; 0 (coordinates zero) when the product is infinity.
int Ec_MultiplySecret(const EcGroup *group, const uint8_t *scalar, const EcPoint *point,
                      uint8_t *x, uint8_t *y);
// The ECDSA signature of e (order bytes, any value below 2^bits(n)) under the
// private key d with the nonce k: r = (k·G).x mod n, s = k⁻¹(e + r·d) mod n,
// each written as order bytes. Constant-time in d and k. Returns 1; 0 when r
// or s is 0 (the caller draws another nonce).
int Ec_SignDigest(const EcGroup *group, const uint8_t *d, const uint8_t *k, const uint8_t *e,
                  uint8_t *r, uint8_t *s);
// u1·G + u2·Q for public u1, u2 in 0 .. n-1 (variable time). Returns 1 with
// the affine x; 0 when the sum is infinity.
int Ec_MultiplyPublicSum(const EcGroup *group, const BigInt *u1, const BigInt *u2,
                         const EcPoint *q, BigInt *x);
