// Elliptic-curve arithmetic; see ec.h.
//
// Field elements are N 64-bit words (N = 3, 4, 6 or 9 by curve), kept in
// Montgomery form and reduced by word-wise Montgomery multiplication (CIOS)
// with 128-bit products. Every field operation runs in time independent of
// its values: carries become masks, never branches. The public path
// (verification) may branch on its points; the secret path may not, and a
// value barrier keeps the compiler from turning the masks back into jumps.
#include "core/security/ec.h"

#include <cstring>
#include <mutex>

#include "core/runtime/memory.h"
#include "core/security/ctcheck.h"

namespace {

typedef unsigned __int128 EcWide;
constexpr int kEcMaxLimbs = 9;
// Window of the generator's table on the public path: odd multiples 1G .. 63G.
constexpr int kEcGWindow = 7;
constexpr int kEcGTable = 1 << (kEcGWindow - 2);
// Window of the other point on the public path: odd multiples 1Q .. 15Q.
constexpr int kEcQWindow = 5;
constexpr int kEcQTable = 1 << (kEcQWindow - 2);
// Fixed window of the secret path: 4 bits, table 0·P .. 15·P.
constexpr int kEcSecretWindow = 4;
constexpr int kEcSecretTable = 1 << kEcSecretWindow;
// Windows of the widest order (secp521r1).
constexpr int kEcMaxWindows = (521 + kEcSecretWindow - 1) / kEcSecretWindow;

// Hides a value from the optimiser so that mask arithmetic stays arithmetic.
inline uint64_t ecBarrier(uint64_t x) {
  __asm__("" : "+r"(x));
  return x;
}

// All ones when a equals b, else 0; no branch.
inline uint64_t ecMaskEqual(uint64_t a, uint64_t b) {
  uint64_t x = ecBarrier(a ^ b);
  return ((x | (0 - x)) >> 63) - 1;
}

// ---- The curve table ------------------------------------------------------------

struct EcCurveText {
  const char *oid;
  const char *p, *a, *b, *gx, *gy, *n;
  int sqrtMethod;
};

constexpr EcCurveText kEcCurves[] = {
    {"1.3.132.0.31", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFEE37", "0", "3",
     "DB4FF10EC057E9AE26B07D0280B7F4341DA5D1B1EAE06C7D",
     "9B2F2F6D9C5628A7844163D015BE86344082AA88D95E2F9D",
     "FFFFFFFFFFFFFFFFFFFFFFFE26F2FC170F69466A74DEFD8D", 1},
    {"1.2.840.10045.3.1.1", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFF",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFC",
     "64210519E59C80E70FA7E9AB72243049FEB8DEECC146B9B1",
     "188DA80EB03090F67CBF20EB43A18800F4FF0AFD82FF1012",
     "07192B95FFC8DA78631011ED6B24CDD573F977A11E794811",
     "FFFFFFFFFFFFFFFFFFFFFFFF99DEF836146BC9B1B4D22831", 1},
    {"1.3.132.0.32", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFE56D", "0", "5",
     "A1455B334DF099DF30FC28A169A467E9E47075A90F7E650EB6B7A45C",
     "7E089FED7FBA344282CAFBD6F7E319F7C0B0BD59E2CA4BDB556D61A5",
     "010000000000000000000000000001DCE8D2EC6184CAF0A971769FB1F7", 2},
    {"1.3.132.0.33", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF000000000000000000000001",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFE",
     "B4050A850C04B3ABF54132565044B0B7D7BFD8BA270B39432355FFB4",
     "B70E0CBD6BB4BF7F321390B94A03C1D356C21122343280D6115C1D21",
     "BD376388B5F723FB4C22DFE6CD4375A05A07476444D5819985007E34",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFF16A2E0B8F03E13DD29455C5C2A3D", 3},
    {"1.3.132.0.10", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFC2F", "0", "7",
     "79BE667EF9DCBBAC55A06295CE870B07029BFCDB2DCE28D959F2815B16F81798",
     "483ADA7726A3C4655DA4FBFC0E1108A8FD17B448A68554199C47D08FFB10D4B8",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141", 1},
    {"1.2.840.10045.3.1.7", "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF",
     "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFC",
     "5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B",
     "6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296",
     "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5",
     "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551", 1},
    {"1.3.132.0.34",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFF0000000000000000"
     "FFFFFFFF",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFF0000000000000000"
     "FFFFFFFC",
     "B3312FA7E23EE7E4988E056BE3F82D19181D9C6EFE8141120314088F5013875AC656398D8A2ED19D2A85C8ED"
     "D3EC2AEF",
     "AA87CA22BE8B05378EB1C71EF320AD746E1D3B628BA79B9859F741E082542A385502F25DBF55296C3A545E38"
     "72760AB7",
     "3617DE4A96262C6F5D9E98BF9292DC29F8F41DBD289A147CE9DA3113B5F0B8C00A60B1CE1D7E819D7A431D7C"
     "90EA0E5F",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC7634D81F4372DDF581A0DB248B0A77AECEC196A"
     "CCC52973",
     1},
    {"1.3.132.0.35",
     "01FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
     "01FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC",
     "0051953EB9618E1C9A1F929A21A0B68540EEA2DA725B99B315F3B8B489918EF109"
     "E156193951EC7E937B1652C0BD3BB1BF073573DF883D2C34F1EF451FD46B503F00",
     "00C6858E06B70404E9CD9E3ECB662395B4429C648139053FB521F828AF606B4D3D"
     "BAA14B5E77EFE75928FE1DC127A2FFA8DE3348B3C1856A429BF97E7E31C2E5BD66",
     "011839296A789A3BC0045C8A5FB42C7D1BD998F54449579B446817AFBD17273E66"
     "2C97EE72995EF42640C550B9013FAD0761353C7086A272C24088BE94769FD16650",
     "01FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "FA51868783BF2F966B7FCC0148F709A5D03BB5C9B8899C47AEBB6FB71E91386409",
     1},
};
constexpr int kEcCurveCount = int(sizeof(kEcCurves) / sizeof(kEcCurves[0]));

// A Montgomery modulus: p or n of one curve.
struct EcField {
  uint64_t m[kEcMaxLimbs];
  uint64_t m0inv;               // -m⁻¹ mod 2^64
  uint64_t rr[kEcMaxLimbs];     // R² mod m, R = 2^(64N)
  uint64_t one[kEcMaxLimbs];    // R mod m: 1 in Montgomery form
  uint64_t minus2[kEcMaxLimbs]; // m - 2, Fermat's exponent of the inverse
};

}  // namespace

struct EcCurve {
  int limbs;
  int fieldBytes;
  int orderBytes;
  int orderBits;
  int aZero;  // a = 0; otherwise a = -3
  EcField p;
  EcField n;
  // Montgomery forms of the coefficients and the generator.
  uint64_t a[kEcMaxLimbs];
  uint64_t b[kEcMaxLimbs];
  uint64_t b3[kEcMaxLimbs];
  uint64_t gx[kEcMaxLimbs];
  uint64_t gy[kEcMaxLimbs];
  uint64_t sqrtExponent[kEcMaxLimbs];  // (p + 1) / 4
  // Odd multiples 1G, 3G, .. of the public path, affine, Montgomery form;
  // built on first use.
  std::once_flag tableOnce;
  uint64_t gTable[kEcGTable][2][kEcMaxLimbs];
  // The secret path's fixed-base table: j·16^i·G for j = 1 .. 15 in window
  // i, affine, Montgomery form; built on first use.
  std::once_flag combOnce;
  uint64_t comb[kEcMaxWindows][kEcSecretTable - 1][2][kEcMaxLimbs];
};

namespace {

EcCurve gEcCurveData[kEcCurveCount];
std::once_flag gEcCurveOnce[kEcCurveCount];

// ---- Words and bytes -------------------------------------------------------------

void limbsFromBytes(uint64_t *r, int limbs, const uint8_t *bytes, int length) {
  memset(r, 0, size_t(limbs) * 8);
  for (int i = 0; i < length; i++) {
    int bit = (length - 1 - i) * 8;
    r[bit / 64] |= uint64_t(bytes[i]) << (bit % 64);
  }
}

void limbsToBytes(const uint64_t *a, uint8_t *bytes, int length) {
  for (int i = 0; i < length; i++) {
    int bit = (length - 1 - i) * 8;
    bytes[i] = uint8_t(a[bit / 64] >> (bit % 64));
  }
}

// A non-negative value below 2^(8·bytes) into words; 0 when it does not fit.
int limbsFromBigInt(uint64_t *r, int limbs, const BigInt *value, int bytes) {
  uint8_t buffer[kEcMaxLimbs * 8];
  if (BigInt_Sign(value) < 0 || !BigInt_ToBytesPadded(value, buffer, bytes)) return 0;
  limbsFromBytes(r, limbs, buffer, bytes);
  return 1;
}

void limbsToBigInt(BigInt *r, const uint64_t *a, int bytes) {
  uint8_t buffer[kEcMaxLimbs * 8];
  limbsToBytes(a, buffer, bytes);
  BigInt_FromBytes(r, buffer, bytes);
}

// ---- Field arithmetic (constant-time) ----------------------------------------------

// The word loops run 3 to 9 times; unrolled, the words stay in registers.
#define EC_UNROLL _Pragma("GCC unroll 9")

template <int N>
struct Fe {
  uint64_t v[N];
};

// r = mask ? a : b.
template <int N>
inline void feSelect(uint64_t *r, const uint64_t *a, const uint64_t *b, uint64_t mask) {
  EC_UNROLL
  for (int i = 0; i < N; i++) r[i] = (a[i] & mask) | (b[i] & ~mask);
}

// r = t - m when that does not borrow past the carry word, else t.
template <int N>
inline void feReduceOnce(const uint64_t *m, uint64_t *r, const uint64_t *t, uint64_t carry) {
  uint64_t u[N];
  uint64_t borrow = 0;
  EC_UNROLL
  for (int i = 0; i < N; i++) {
    EcWide d = EcWide(t[i]) - m[i] - borrow;
    u[i] = uint64_t(d);
    borrow = uint64_t(d >> 64) & 1;
  }
  uint64_t keep = ecBarrier(borrow & (carry ^ 1));
  feSelect<N>(r, t, u, 0 - keep);
}

template <int N>
inline void feAdd(const EcField &f, uint64_t *r, const uint64_t *a, const uint64_t *b) {
  uint64_t t[N];
  EcWide c = 0;
  EC_UNROLL
  for (int i = 0; i < N; i++) {
    c += EcWide(a[i]) + b[i];
    t[i] = uint64_t(c);
    c >>= 64;
  }
  feReduceOnce<N>(f.m, r, t, uint64_t(c));
}

template <int N>
inline void feSub(const EcField &f, uint64_t *r, const uint64_t *a, const uint64_t *b) {
  uint64_t t[N];
  uint64_t borrow = 0;
  EC_UNROLL
  for (int i = 0; i < N; i++) {
    EcWide d = EcWide(a[i]) - b[i] - borrow;
    t[i] = uint64_t(d);
    borrow = uint64_t(d >> 64) & 1;
  }
  uint64_t mask = 0 - ecBarrier(borrow);
  EcWide c = 0;
  EC_UNROLL
  for (int i = 0; i < N; i++) {
    c += EcWide(t[i]) + (f.m[i] & mask);
    r[i] = uint64_t(c);
    c >>= 64;
  }
}

// r = a·b·R⁻¹ mod m for a below R and b below m.
template <int N>
inline void feMul(const EcField &f, uint64_t *r, const uint64_t *a, const uint64_t *b) {
  uint64_t t[N + 2] = {};
  EC_UNROLL
  for (int i = 0; i < N; i++) {
    EcWide c = 0;
    EC_UNROLL
    for (int j = 0; j < N; j++) {
      c += EcWide(a[j]) * b[i] + t[j];
      t[j] = uint64_t(c);
      c >>= 64;
    }
    c += t[N];
    t[N] = uint64_t(c);
    t[N + 1] = uint64_t(c >> 64);
    uint64_t q = t[0] * f.m0inv;
    c = EcWide(q) * f.m[0] + t[0];
    c >>= 64;
    EC_UNROLL
    for (int j = 1; j < N; j++) {
      c += EcWide(q) * f.m[j] + t[j];
      t[j - 1] = uint64_t(c);
      c >>= 64;
    }
    c += t[N];
    t[N - 1] = uint64_t(c);
    t[N] = t[N + 1] + uint64_t(c >> 64);
  }
  feReduceOnce<N>(f.m, r, t, t[N]);
}

template <int N>
inline void feSqr(const EcField &f, uint64_t *r, const uint64_t *a) {
  feMul<N>(f, r, a, a);
}

template <int N>
inline void feToMont(const EcField &f, uint64_t *r, const uint64_t *a) {
  feMul<N>(f, r, a, f.rr);
}

template <int N>
inline void feFromMont(const EcField &f, uint64_t *r, const uint64_t *a) {
  uint64_t one[N] = {1};
  feMul<N>(f, r, a, one);
}

// r = a^e (Montgomery form) for a public exponent e: 4-bit windows, the
// table indexed by the exponent only.
template <int N>
void fePow(const EcField &f, uint64_t *r, const uint64_t *a, const uint64_t *e) {
  uint64_t table[16][N];
  memcpy(table[0], f.one, sizeof(table[0]));
  for (int i = 1; i < 16; i++) feMul<N>(f, table[i], table[i - 1], a);
  uint64_t acc[N];
  memcpy(acc, f.one, sizeof(acc));
  bool started = false;
  for (int i = N * 16 - 1; i >= 0; i--) {
    unsigned digit = unsigned(e[i / 16] >> ((i % 16) * 4)) & 15;
    if (started)
      for (int k = 0; k < 4; k++) feSqr<N>(f, acc, acc);
    if (digit != 0) {
      feMul<N>(f, acc, acc, table[digit]);
      started = true;
    }
  }
  memcpy(r, acc, sizeof(acc));
}

// Fermat: a^(m-2), 0 for 0.
template <int N>
inline void feInvert(const EcField &f, uint64_t *r, const uint64_t *a) {
  fePow<N>(f, r, a, f.minus2);
}

// All ones when a is 0.
template <int N>
inline uint64_t feZeroMask(const uint64_t *a) {
  uint64_t x = 0;
  EC_UNROLL
  for (int i = 0; i < N; i++) x |= a[i];
  return ecMaskEqual(x, 0);
}

// Variable-time equality, for public values.
template <int N>
inline bool feEqual(const uint64_t *a, const uint64_t *b) {
  return memcmp(a, b, N * 8) == 0;
}

template <int N>
inline bool feIsZero(const uint64_t *a) {
  for (int i = 0; i < N; i++)
    if (a[i] != 0) return false;
  return true;
}

// ---- Curve set-up ------------------------------------------------------------------

int ecLimbsFor(int bits) { return bits <= 192 ? 3 : bits <= 256 ? 4 : bits <= 384 ? 6 : 9; }

void ecFieldInit(EcField *f, const BigInt *m, int limbs) {
  memset(f, 0, sizeof(*f));
  limbsFromBigInt(f->m, limbs, m, limbs * 8);
  uint64_t inv = 1;  // Newton: each step doubles the correct low bits
  for (int i = 0; i < 6; i++) inv *= 2 - f->m[0] * inv;
  f->m0inv = 0 - inv;
  BigInt t;
  BigInt_InitInPlace(&t);
  BigInt_SetWord(&t, 1);
  BigInt_ShiftLeft(&t, &t, 64 * limbs);
  BigInt_Mod(&t, &t, m);
  limbsFromBigInt(f->one, limbs, &t, limbs * 8);
  BigInt_SetWord(&t, 1);
  BigInt_ShiftLeft(&t, &t, 128 * limbs);
  BigInt_Mod(&t, &t, m);
  limbsFromBigInt(f->rr, limbs, &t, limbs * 8);
  BigInt_SetWord(&t, 2);
  BigInt_Sub(&t, m, &t);
  limbsFromBigInt(f->minus2, limbs, &t, limbs * 8);
  BigInt_FreeLimbs(&t);
}

template <int N>
void ecMontFromHex(const EcField &f, uint64_t *r, const char *hex) {
  BigInt t;
  BigInt_InitInPlace(&t);
  BigInt_FromHex(&t, hex);
  uint64_t plain[N];
  limbsFromBigInt(plain, N, &t, N * 8);
  feToMont<N>(f, r, plain);
  BigInt_FreeLimbs(&t);
}

template <int N>
void ecCurveFinish(EcCurve *c, const EcCurveText &text) {
  ecMontFromHex<N>(c->p, c->a, text.a);
  ecMontFromHex<N>(c->p, c->b, text.b);
  uint64_t twice[N];
  feAdd<N>(c->p, twice, c->b, c->b);
  feAdd<N>(c->p, c->b3, twice, c->b);
  ecMontFromHex<N>(c->p, c->gx, text.gx);
  ecMontFromHex<N>(c->p, c->gy, text.gy);
}

void ecCurveBuild(int index) {
  const EcCurveText &text = kEcCurves[index];
  EcCurve *c = &gEcCurveData[index];
  BigInt p, n, t;
  BigInt_InitInPlace(&p);
  BigInt_InitInPlace(&n);
  BigInt_InitInPlace(&t);
  BigInt_FromHex(&p, text.p);
  BigInt_FromHex(&n, text.n);
  int bits = BigInt_GetBitLength(&p);
  if (BigInt_GetBitLength(&n) > bits) bits = BigInt_GetBitLength(&n);
  c->limbs = ecLimbsFor(bits);
  c->fieldBytes = BigInt_GetByteLength(&p);
  c->orderBytes = BigInt_GetByteLength(&n);
  c->orderBits = BigInt_GetBitLength(&n);
  c->aZero = strcmp(text.a, "0") == 0;
  ecFieldInit(&c->p, &p, c->limbs);
  ecFieldInit(&c->n, &n, c->limbs);
  BigInt_SetWord(&t, 1);
  BigInt_Add(&t, &p, &t);
  BigInt_ShiftRight(&t, &t, 2);
  limbsFromBigInt(c->sqrtExponent, c->limbs, &t, c->limbs * 8);
  switch (c->limbs) {
    case 3: ecCurveFinish<3>(c, text); break;
    case 4: ecCurveFinish<4>(c, text); break;
    case 6: ecCurveFinish<6>(c, text); break;
    default: ecCurveFinish<9>(c, text); break;
  }
  BigInt_FreeLimbs(&p);
  BigInt_FreeLimbs(&n);
  BigInt_FreeLimbs(&t);
}

// ---- Public path: Jacobian coordinates (X/Z², Y/Z³), Z = 0 at infinity ---------------

template <int N>
struct Jac {
  uint64_t X[N], Y[N], Z[N];
};

template <int N>
void jacDouble(const EcCurve &c, Jac<N> &r, const Jac<N> &p) {
  const EcField &f = c.p;
  if (c.aZero) {  // dbl-2009-l
    uint64_t a[N], b[N], cc[N], d[N], e[N], t[N];
    feSqr<N>(f, a, p.X);
    feSqr<N>(f, b, p.Y);
    feSqr<N>(f, cc, b);
    feAdd<N>(f, t, p.X, b);
    feSqr<N>(f, t, t);
    feSub<N>(f, t, t, a);
    feSub<N>(f, t, t, cc);
    feAdd<N>(f, d, t, t);
    feAdd<N>(f, e, a, a);
    feAdd<N>(f, e, e, a);
    feMul<N>(f, r.Z, p.Y, p.Z);
    feAdd<N>(f, r.Z, r.Z, r.Z);
    feSqr<N>(f, t, e);
    feSub<N>(f, t, t, d);
    feSub<N>(f, r.X, t, d);
    feSub<N>(f, t, d, r.X);
    feMul<N>(f, t, e, t);
    feAdd<N>(f, cc, cc, cc);
    feAdd<N>(f, cc, cc, cc);
    feAdd<N>(f, cc, cc, cc);
    feSub<N>(f, r.Y, t, cc);
    return;
  }
  // a = -3: dbl-2001-b
  uint64_t delta[N], gamma[N], beta[N], alpha[N], t[N], u[N];
  feSqr<N>(f, delta, p.Z);
  feSqr<N>(f, gamma, p.Y);
  feMul<N>(f, beta, p.X, gamma);
  feSub<N>(f, t, p.X, delta);
  feAdd<N>(f, u, p.X, delta);
  feMul<N>(f, alpha, t, u);
  feAdd<N>(f, t, alpha, alpha);
  feAdd<N>(f, alpha, t, alpha);
  feAdd<N>(f, t, p.Y, p.Z);
  feSqr<N>(f, t, t);
  feSub<N>(f, t, t, gamma);
  feSub<N>(f, r.Z, t, delta);
  feAdd<N>(f, beta, beta, beta);
  feAdd<N>(f, beta, beta, beta);  // 4·beta
  feSqr<N>(f, t, alpha);
  feSub<N>(f, t, t, beta);
  feSub<N>(f, r.X, t, beta);
  feSub<N>(f, t, beta, r.X);
  feMul<N>(f, t, alpha, t);
  feSqr<N>(f, gamma, gamma);
  feAdd<N>(f, gamma, gamma, gamma);
  feAdd<N>(f, gamma, gamma, gamma);
  feAdd<N>(f, gamma, gamma, gamma);
  feSub<N>(f, r.Y, t, gamma);
}

// r = p + q; q is affine (Z = 1) when qAffine. add-2007-bl and madd-2007-bl.
template <int N>
void jacAdd(const EcCurve &c, Jac<N> &r, const Jac<N> &p, const uint64_t *qx, const uint64_t *qy,
            const uint64_t *qz, bool qAffine) {
  const EcField &f = c.p;
  if (!qAffine && feIsZero<N>(qz)) {
    r = p;
    return;
  }
  if (feIsZero<N>(p.Z)) {
    memcpy(r.X, qx, N * 8);
    memcpy(r.Y, qy, N * 8);
    if (qAffine)
      memcpy(r.Z, f.one, N * 8);
    else
      memcpy(r.Z, qz, N * 8);
    return;
  }
  uint64_t z1z1[N], z2z2[N], u1[N], u2[N], s1[N], s2[N], h[N], i[N], j[N], rr[N], v[N], t[N];
  feSqr<N>(f, z1z1, p.Z);
  feMul<N>(f, u2, qx, z1z1);
  feMul<N>(f, s2, qy, p.Z);
  feMul<N>(f, s2, s2, z1z1);
  if (qAffine) {
    memcpy(u1, p.X, N * 8);
    memcpy(s1, p.Y, N * 8);
  } else {
    feSqr<N>(f, z2z2, qz);
    feMul<N>(f, u1, p.X, z2z2);
    feMul<N>(f, s1, p.Y, qz);
    feMul<N>(f, s1, s1, z2z2);
  }
  feSub<N>(f, h, u2, u1);
  feSub<N>(f, rr, s2, s1);
  if (feIsZero<N>(h)) {
    if (feIsZero<N>(rr)) {
      jacDouble<N>(c, r, p);
    } else {
      memset(&r, 0, sizeof(r));
      memcpy(r.X, f.one, N * 8);
      memcpy(r.Y, f.one, N * 8);
    }
    return;
  }
  feAdd<N>(f, rr, rr, rr);
  feAdd<N>(f, i, h, h);
  feSqr<N>(f, i, i);
  feMul<N>(f, j, h, i);
  feMul<N>(f, v, u1, i);
  // Z3 before X and Y are overwritten (r may be p).
  if (qAffine) {
    feAdd<N>(f, t, p.Z, h);
    feSqr<N>(f, t, t);
    feSub<N>(f, t, t, z1z1);
    feSqr<N>(f, i, h);
    feSub<N>(f, r.Z, t, i);
  } else {
    feAdd<N>(f, t, p.Z, qz);
    feSqr<N>(f, t, t);
    feSub<N>(f, t, t, z1z1);
    feSub<N>(f, t, t, z2z2);
    feMul<N>(f, r.Z, t, h);
  }
  feSqr<N>(f, t, rr);
  feSub<N>(f, t, t, j);
  feSub<N>(f, t, t, v);
  feSub<N>(f, r.X, t, v);
  feSub<N>(f, t, v, r.X);
  feMul<N>(f, t, rr, t);
  feMul<N>(f, s1, s1, j);
  feAdd<N>(f, s1, s1, s1);
  feSub<N>(f, r.Y, t, s1);
}

// Affine x and y (Montgomery form) of a Jacobian point; false at infinity.
template <int N>
bool jacToAffine(const EcCurve &c, const Jac<N> &p, uint64_t *x, uint64_t *y) {
  if (feIsZero<N>(p.Z)) return false;
  uint64_t zi[N], zi2[N];
  feInvert<N>(c.p, zi, p.Z);
  feSqr<N>(c.p, zi2, zi);
  feMul<N>(c.p, x, p.X, zi2);
  if (y != nullptr) {
    feMul<N>(c.p, zi2, zi2, zi);
    feMul<N>(c.p, y, p.Y, zi2);
  }
  return true;
}

template <int N>
void ecBuildGTable(EcCurve *c) {
  Jac<N> g, twice, acc;
  memcpy(g.X, c->gx, N * 8);
  memcpy(g.Y, c->gy, N * 8);
  memcpy(g.Z, c->p.one, N * 8);
  jacDouble<N>(*c, twice, g);
  acc = g;
  for (int i = 0; i < kEcGTable; i++) {
    jacToAffine<N>(*c, acc, c->gTable[i][0], c->gTable[i][1]);
    jacAdd<N>(*c, acc, acc, twice.X, twice.Y, twice.Z, false);
  }
}

// Width-w NAF of a public value of N words: digits[i] odd in
// (-2^(w-1), 2^(w-1)) or 0. Returns the number of digits.
template <int N>
int ecWnaf(int8_t *digits, const uint64_t *value, int w) {
  uint64_t k[N + 1];
  memcpy(k, value, N * 8);
  k[N] = 0;
  int count = 0;
  const int64_t modulus = int64_t(1) << w;
  for (;;) {
    bool zero = true;
    for (int i = 0; i <= N; i++) zero = zero && k[i] == 0;
    if (zero) break;
    int64_t d = 0;
    if (k[0] & 1) {
      d = int64_t(k[0] & uint64_t(modulus - 1));
      if (d >= modulus / 2) d -= modulus;
      // k -= d
      if (d > 0) {
        uint64_t borrow = uint64_t(d);
        for (int i = 0; i <= N && borrow; i++) {
          uint64_t before = k[i];
          k[i] -= borrow;
          borrow = before < borrow;
        }
      } else {
        uint64_t carry = uint64_t(-d);
        for (int i = 0; i <= N && carry; i++) {
          k[i] += carry;
          carry = k[i] < carry;
        }
      }
    }
    digits[count++] = int8_t(d);
    for (int i = 0; i < N; i++) k[i] = (k[i] >> 1) | (k[i + 1] << 63);
    k[N] >>= 1;
  }
  return count;
}

template <int N>
int ecPublicSum(const EcCurve &c, const uint64_t *u1, const uint64_t *u2, const uint64_t *qx,
                const uint64_t *qy, uint64_t *x) {
  EcCurve &mutableCurve = const_cast<EcCurve &>(c);
  std::call_once(mutableCurve.tableOnce, [&] { ecBuildGTable<N>(&mutableCurve); });
  const EcField &f = c.p;
  // 1Q, 3Q, .. 15Q.
  Jac<N> qTable[kEcQTable], q2;
  memcpy(qTable[0].X, qx, N * 8);
  memcpy(qTable[0].Y, qy, N * 8);
  memcpy(qTable[0].Z, f.one, N * 8);
  jacDouble<N>(c, q2, qTable[0]);
  for (int i = 1; i < kEcQTable; i++)
    jacAdd<N>(c, qTable[i], qTable[i - 1], q2.X, q2.Y, q2.Z, false);
  int8_t d1[kEcMaxLimbs * 64 + 2], d2[kEcMaxLimbs * 64 + 2];
  int n1 = ecWnaf<N>(d1, u1, kEcGWindow);
  int n2 = ecWnaf<N>(d2, u2, kEcQWindow);
  Jac<N> acc = {};
  uint64_t negY[N];
  for (int i = (n1 > n2 ? n1 : n2) - 1; i >= 0; i--) {
    jacDouble<N>(c, acc, acc);
    if (i < n1 && d1[i] != 0) {
      int index = (d1[i] < 0 ? -d1[i] : d1[i]) / 2;
      const uint64_t *y = c.gTable[index][1];
      if (d1[i] < 0) {
        feSub<N>(f, negY, f.m, y);
        y = negY;
      }
      jacAdd<N>(c, acc, acc, c.gTable[index][0], y, nullptr, true);
    }
    if (i < n2 && d2[i] != 0) {
      const Jac<N> &entry = qTable[(d2[i] < 0 ? -d2[i] : d2[i]) / 2];
      const uint64_t *y = entry.Y;
      if (d2[i] < 0) {
        feSub<N>(f, negY, f.m, y);
        y = negY;
      }
      jacAdd<N>(c, acc, acc, entry.X, y, entry.Z, false);
    }
  }
  if (!jacToAffine<N>(c, acc, x, nullptr)) return 0;
  feFromMont<N>(f, x, x);
  return 1;
}

// ---- Secret path: complete projective formulas (X/Z, Y/Z), (0 : 1 : 0) at infinity ------
// Renes, Costello and Batina, "Complete addition formulas for prime order
// elliptic curves" (2016): algorithms 4 and 6 for a = -3, 7 and 9 for a = 0.

template <int N>
struct Proj {
  uint64_t X[N], Y[N], Z[N];
};

template <int N>
void projAdd(const EcCurve &c, Proj<N> &r, const Proj<N> &p, const Proj<N> &q) {
  const EcField &f = c.p;
  uint64_t t0[N], t1[N], t2[N], t3[N], t4[N], x3[N], y3[N], z3[N];
  feMul<N>(f, t0, p.X, q.X);
  feMul<N>(f, t1, p.Y, q.Y);
  feMul<N>(f, t2, p.Z, q.Z);
  feAdd<N>(f, t3, p.X, p.Y);
  feAdd<N>(f, t4, q.X, q.Y);
  feMul<N>(f, t3, t3, t4);
  feAdd<N>(f, t4, t0, t1);
  feSub<N>(f, t3, t3, t4);
  feAdd<N>(f, t4, p.Y, p.Z);
  feAdd<N>(f, x3, q.Y, q.Z);
  feMul<N>(f, t4, t4, x3);
  feAdd<N>(f, x3, t1, t2);
  feSub<N>(f, t4, t4, x3);
  feAdd<N>(f, x3, p.X, p.Z);
  feAdd<N>(f, y3, q.X, q.Z);
  feMul<N>(f, x3, x3, y3);
  feAdd<N>(f, y3, t0, t2);
  feSub<N>(f, y3, x3, y3);
  if (c.aZero) {
    feAdd<N>(f, x3, t0, t0);
    feAdd<N>(f, t0, x3, t0);
    feMul<N>(f, t2, c.b3, t2);
    feAdd<N>(f, z3, t1, t2);
    feSub<N>(f, t1, t1, t2);
    feMul<N>(f, y3, c.b3, y3);
    feMul<N>(f, x3, t4, y3);
    feMul<N>(f, t2, t3, t1);
    feSub<N>(f, r.X, t2, x3);
    feMul<N>(f, y3, y3, t0);
    feMul<N>(f, t1, t1, z3);
    feAdd<N>(f, r.Y, t1, y3);
    feMul<N>(f, t0, t0, t3);
    feMul<N>(f, z3, z3, t4);
    feAdd<N>(f, r.Z, z3, t0);
    return;
  }
  feMul<N>(f, z3, c.b, t2);
  feSub<N>(f, x3, y3, z3);
  feAdd<N>(f, z3, x3, x3);
  feAdd<N>(f, x3, x3, z3);
  feSub<N>(f, z3, t1, x3);
  feAdd<N>(f, x3, t1, x3);
  feMul<N>(f, y3, c.b, y3);
  feAdd<N>(f, t1, t2, t2);
  feAdd<N>(f, t2, t1, t2);
  feSub<N>(f, y3, y3, t2);
  feSub<N>(f, y3, y3, t0);
  feAdd<N>(f, t1, y3, y3);
  feAdd<N>(f, y3, t1, y3);
  feAdd<N>(f, t1, t0, t0);
  feAdd<N>(f, t0, t1, t0);
  feSub<N>(f, t0, t0, t2);
  feMul<N>(f, t1, t4, y3);
  feMul<N>(f, t2, t0, y3);
  feMul<N>(f, y3, x3, z3);
  feAdd<N>(f, r.Y, y3, t2);
  feMul<N>(f, x3, t3, x3);
  feSub<N>(f, r.X, x3, t1);
  feMul<N>(f, z3, t4, z3);
  feMul<N>(f, t1, t3, t0);
  feAdd<N>(f, r.Z, z3, t1);
}

template <int N>
void projDouble(const EcCurve &c, Proj<N> &r, const Proj<N> &p) {
  const EcField &f = c.p;
  uint64_t t0[N], t1[N], t2[N], t3[N], x3[N], y3[N], z3[N];
  if (c.aZero) {
    feSqr<N>(f, t0, p.Y);
    feAdd<N>(f, z3, t0, t0);
    feAdd<N>(f, z3, z3, z3);
    feAdd<N>(f, z3, z3, z3);
    feMul<N>(f, t1, p.Y, p.Z);
    feSqr<N>(f, t2, p.Z);
    feMul<N>(f, t2, c.b3, t2);
    feMul<N>(f, x3, t2, z3);
    feAdd<N>(f, y3, t0, t2);
    feMul<N>(f, z3, t1, z3);
    feAdd<N>(f, t1, t2, t2);
    feAdd<N>(f, t2, t1, t2);
    feSub<N>(f, t0, t0, t2);
    feMul<N>(f, y3, t0, y3);
    feAdd<N>(f, y3, x3, y3);
    feMul<N>(f, t1, p.X, p.Y);
    feMul<N>(f, x3, t0, t1);
    feAdd<N>(f, r.X, x3, x3);
    memcpy(r.Y, y3, sizeof(y3));
    memcpy(r.Z, z3, sizeof(z3));
    return;
  }
  feSqr<N>(f, t0, p.X);
  feSqr<N>(f, t1, p.Y);
  feSqr<N>(f, t2, p.Z);
  feMul<N>(f, t3, p.X, p.Y);
  feAdd<N>(f, t3, t3, t3);
  feMul<N>(f, z3, p.X, p.Z);
  feAdd<N>(f, z3, z3, z3);
  feMul<N>(f, y3, c.b, t2);
  feSub<N>(f, y3, y3, z3);
  feAdd<N>(f, x3, y3, y3);
  feAdd<N>(f, y3, x3, y3);
  feSub<N>(f, x3, t1, y3);
  feAdd<N>(f, y3, t1, y3);
  feMul<N>(f, y3, x3, y3);
  feMul<N>(f, x3, x3, t3);
  feAdd<N>(f, t3, t2, t2);
  feAdd<N>(f, t2, t2, t3);
  feMul<N>(f, z3, c.b, z3);
  feSub<N>(f, z3, z3, t2);
  feSub<N>(f, z3, z3, t0);
  feAdd<N>(f, t3, z3, z3);
  feAdd<N>(f, z3, z3, t3);
  feAdd<N>(f, t3, t0, t0);
  feAdd<N>(f, t0, t3, t0);
  feSub<N>(f, t0, t0, t2);
  feMul<N>(f, t0, t0, z3);
  feAdd<N>(f, y3, y3, t0);
  feMul<N>(f, t0, p.Y, p.Z);
  feAdd<N>(f, t0, t0, t0);
  feMul<N>(f, z3, t0, z3);
  feSub<N>(f, r.X, x3, z3);
  feMul<N>(f, z3, t0, t1);
  feAdd<N>(f, z3, z3, z3);
  feAdd<N>(f, r.Z, z3, z3);
  memcpy(r.Y, y3, sizeof(y3));
}

// r = k·p for a secret k below n (N words): fixed 4-bit windows from the top,
// each table entry read by a masked scan of all sixteen.
template <int N>
void projMultiply(const EcCurve &c, Proj<N> &r, const uint64_t *k, const Proj<N> &p) {
  Proj<N> table[kEcSecretTable];
  memset(&table[0], 0, sizeof(table[0]));
  memcpy(table[0].Y, c.p.one, N * 8);
  table[1] = p;
  for (int i = 2; i < kEcSecretTable; i++) {
    if (i % 2 == 0)
      projDouble<N>(c, table[i], table[i / 2]);
    else
      projAdd<N>(c, table[i], table[i - 1], p);
  }
  Proj<N> acc = table[0], entry;
  const int digits = (c.orderBits + kEcSecretWindow - 1) / kEcSecretWindow;
  for (int i = digits - 1; i >= 0; i--) {
    if (i != digits - 1)
      for (int j = 0; j < kEcSecretWindow; j++) projDouble<N>(c, acc, acc);
    uint64_t digit = (k[i / 16] >> ((i % 16) * 4)) & 15;
    memset(&entry, 0, sizeof(entry));
    for (int j = 0; j < kEcSecretTable; j++) {
      uint64_t mask = ecMaskEqual(uint64_t(j), digit);
      for (int w = 0; w < N; w++) {
        entry.X[w] |= table[j].X[w] & mask;
        entry.Y[w] |= table[j].Y[w] & mask;
        entry.Z[w] |= table[j].Z[w] & mask;
      }
    }
    projAdd<N>(c, acc, acc, entry);
  }
  r = acc;
}

// Fills the fixed-base table: per window the fifteen multiples in projective
// form, then affine through one inversion per window (Montgomery's trick).
template <int N>
void ecBuildComb(EcCurve *c) {
  const EcField &f = c->p;
  Proj<N> base, table[kEcSecretTable - 1];
  memcpy(base.X, c->gx, N * 8);
  memcpy(base.Y, c->gy, N * 8);
  memcpy(base.Z, f.one, N * 8);
  const int windows = (c->orderBits + kEcSecretWindow - 1) / kEcSecretWindow;
  for (int i = 0; i < windows; i++) {
    table[0] = base;
    for (int j = 1; j < kEcSecretTable - 1; j++) projAdd<N>(*c, table[j], table[j - 1], base);
    projDouble<N>(*c, base, table[7]);  // 16·base
    uint64_t prefix[kEcSecretTable - 1][N], inverse[N], t[N];
    memcpy(prefix[0], table[0].Z, N * 8);
    for (int j = 1; j < kEcSecretTable - 1; j++) feMul<N>(f, prefix[j], prefix[j - 1], table[j].Z);
    feInvert<N>(f, inverse, prefix[kEcSecretTable - 2]);
    for (int j = kEcSecretTable - 2; j >= 0; j--) {
      uint64_t zi[N];
      if (j > 0) {
        feMul<N>(f, zi, inverse, prefix[j - 1]);
        feMul<N>(f, inverse, inverse, table[j].Z);
      } else {
        memcpy(zi, inverse, N * 8);
      }
      feMul<N>(f, t, table[j].X, zi);
      memcpy(c->comb[i][j][0], t, N * 8);
      feMul<N>(f, t, table[j].Y, zi);
      memcpy(c->comb[i][j][1], t, N * 8);
    }
  }
}

// r = k·G for a secret k below n: one addition per 4-bit window, the window's
// entry read by a masked scan of all fifteen (digit 0 gives infinity).
template <int N>
void projMultiplyBase(const EcCurve &c, Proj<N> &r, const uint64_t *k) {
  EcCurve &mutableCurve = const_cast<EcCurve &>(c);
  std::call_once(mutableCurve.combOnce, [&] { ecBuildComb<N>(&mutableCurve); });
  Proj<N> acc, entry;
  memset(&acc, 0, sizeof(acc));
  memcpy(acc.Y, c.p.one, N * 8);
  const int windows = (c.orderBits + kEcSecretWindow - 1) / kEcSecretWindow;
  for (int i = 0; i < windows; i++) {
    uint64_t digit = (k[i / 16] >> ((i % 16) * 4)) & 15;
    memset(&entry, 0, sizeof(entry));
    for (int j = 1; j < kEcSecretTable; j++) {
      uint64_t mask = ecMaskEqual(uint64_t(j), digit);
      for (int w = 0; w < N; w++) {
        entry.X[w] |= c.comb[i][j - 1][0][w] & mask;
        entry.Y[w] |= c.comb[i][j - 1][1][w] & mask;
      }
    }
    uint64_t zero = ecMaskEqual(digit, 0);
    feSelect<N>(entry.Y, c.p.one, entry.Y, zero);
    for (int w = 0; w < N; w++) entry.Z[w] = c.p.one[w] & ~zero;
    projAdd<N>(c, acc, acc, entry);
  }
  r = acc;
}

// Affine x and y (plain form) of a projective point in constant time, and an
// all-ones mask when it is infinity (coordinates 0 then).
template <int N>
uint64_t projToAffine(const EcCurve &c, const Proj<N> &p, uint64_t *x, uint64_t *y) {
  uint64_t zi[N];
  feInvert<N>(c.p, zi, p.Z);
  feMul<N>(c.p, x, p.X, zi);
  feMul<N>(c.p, y, p.Y, zi);
  feFromMont<N>(c.p, x, x);
  feFromMont<N>(c.p, y, y);
  return feZeroMask<N>(p.Z);
}

// The generator or a public affine point in projective form.
template <int N>
void projFromAffine(const EcCurve &c, Proj<N> &r, const uint64_t *x, const uint64_t *y) {
  memcpy(r.X, x, N * 8);
  memcpy(r.Y, y, N * 8);
  memcpy(r.Z, c.p.one, N * 8);
}

// 1 and x || y (plain) for a finite k·P; 0 and zeros at infinity. Point NULL:
// the generator; otherwise affine Montgomery coordinates.
template <int N>
int ecSecretMultiply(const EcCurve &c, const uint64_t *k, const uint64_t *px, const uint64_t *py,
                     uint8_t *xOut, uint8_t *yOut) {
  Proj<N> base, product;
  if (px == nullptr) {
    projMultiplyBase<N>(c, product, k);
  } else {
    projFromAffine<N>(c, base, px, py);
    projMultiply<N>(c, product, k, base);
  }
  uint64_t x[N], y[N];
  uint64_t infinity = projToAffine<N>(c, product, x, y);
  limbsToBytes(x, xOut, c.fieldBytes);
  if (yOut != nullptr) limbsToBytes(y, yOut, c.fieldBytes);
  CT_MARK_PUBLIC(&infinity, sizeof(infinity));
  CT_MARK_PUBLIC(xOut, size_t(c.fieldBytes));
  if (yOut != nullptr) CT_MARK_PUBLIC(yOut, size_t(c.fieldBytes));
  return infinity == 0;
}

template <int N>
int ecSign(const EcCurve &c, const uint8_t *dBytes, const uint8_t *kBytes, const uint8_t *eBytes,
           uint8_t *rOut, uint8_t *sOut) {
  const EcField &fn = c.n;
  uint64_t k[N], d[N], e[N], r[N], s[N], t[N];
  limbsFromBytes(k, N, kBytes, c.orderBytes);
  limbsFromBytes(d, N, dBytes, c.orderBytes);
  limbsFromBytes(e, N, eBytes, c.orderBytes);
  Proj<N> product;
  projMultiplyBase<N>(c, product, k);
  uint64_t x[N], y[N];
  projToAffine<N>(c, product, x, y);
  // x < p < 2n: one conditional subtraction gives x mod n (and none is
  // needed where n exceeds p).
  feReduceOnce<N>(fn.m, r, x, 0);
  CT_MARK_PUBLIC(r, sizeof(r));
  if (feIsZero<N>(r)) return 0;
  feReduceOnce<N>(fn.m, e, e, 0);  // e < 2^bits(n) < 2n
  // s = k⁻¹ (e + r·d) mod n, in Montgomery form throughout.
  uint64_t km[N], kinv[N], dm[N], rm[N], em[N];
  feToMont<N>(fn, km, k);
  feInvert<N>(fn, kinv, km);
  feToMont<N>(fn, dm, d);
  feToMont<N>(fn, rm, r);
  feToMont<N>(fn, em, e);
  feMul<N>(fn, t, rm, dm);
  feAdd<N>(fn, t, t, em);
  feMul<N>(fn, s, kinv, t);
  feFromMont<N>(fn, s, s);
  CT_MARK_PUBLIC(s, sizeof(s));
  if (feIsZero<N>(s)) return 0;
  limbsToBytes(r, rOut, c.orderBytes);
  limbsToBytes(s, sOut, c.orderBytes);
  return 1;
}

// x³ + ax + b (Montgomery form) for x in Montgomery form.
template <int N>
void ecRightSide(const EcCurve &c, uint64_t *r, const uint64_t *x) {
  uint64_t t[N];
  feSqr<N>(c.p, t, x);
  feAdd<N>(c.p, t, t, c.a);
  feMul<N>(c.p, t, t, x);
  feAdd<N>(c.p, r, t, c.b);
}

template <int N>
int ecValidate(const EcCurve &c, const uint64_t *x, const uint64_t *y) {
  uint64_t xm[N], ym[N], lhs[N], rhs[N];
  feToMont<N>(c.p, xm, x);
  feToMont<N>(c.p, ym, y);
  feSqr<N>(c.p, lhs, ym);
  ecRightSide<N>(c, rhs, xm);
  return feEqual<N>(lhs, rhs);
}

// y with the parity bit for x (plain); 0 when x³ + ax + b has no root.
template <int N>
int ecDecompress(const EcCurve &c, const uint64_t *x, int odd, uint64_t *y) {
  uint64_t xm[N], rhs[N], root[N], check[N];
  feToMont<N>(c.p, xm, x);
  ecRightSide<N>(c, rhs, xm);
  fePow<N>(c.p, root, rhs, c.sqrtExponent);
  feSqr<N>(c.p, check, root);
  if (!feEqual<N>(check, rhs)) return 0;
  feFromMont<N>(c.p, y, root);
  if (int(y[0] & 1) != odd) {
    uint64_t zero[N] = {};
    feSub<N>(c.p, y, zero, y);
  }
  return 1;
}

template <int N>
int ecAdd(const EcCurve &c, const uint64_t *x1, const uint64_t *y1, const uint64_t *x2,
          const uint64_t *y2, uint64_t *x, uint64_t *y) {
  Jac<N> p;
  feToMont<N>(c.p, p.X, x1);
  feToMont<N>(c.p, p.Y, y1);
  memcpy(p.Z, c.p.one, N * 8);
  uint64_t qx[N], qy[N];
  feToMont<N>(c.p, qx, x2);
  feToMont<N>(c.p, qy, y2);
  jacAdd<N>(c, p, p, qx, qy, nullptr, true);
  if (!jacToAffine<N>(c, p, x, y)) return 0;
  feFromMont<N>(c.p, x, x);
  feFromMont<N>(c.p, y, y);
  return 1;
}

// Runs fn<N> for the curve's word count.
#define EC_DISPATCH(curve, fn, ...)                                   \
  ((curve)->limbs == 3   ? fn<3>(*(curve), __VA_ARGS__)                 \
   : (curve)->limbs == 4 ? fn<4>(*(curve), __VA_ARGS__)                 \
   : (curve)->limbs == 6 ? fn<6>(*(curve), __VA_ARGS__)                 \
                         : fn<9>(*(curve), __VA_ARGS__))

// The coordinates of a point as words (plain form); 0 when a coordinate is
// negative or wider than the field.
int ecPointWords(const EcCurve *c, const EcPoint *point, uint64_t *x, uint64_t *y) {
  return limbsFromBigInt(x, c->limbs, &point->X, c->fieldBytes) &&
         limbsFromBigInt(y, c->limbs, &point->Y, c->fieldBytes);
}

void ecSetPoint(const EcCurve *c, EcPoint *point, const uint64_t *x, const uint64_t *y) {
  limbsToBigInt(&point->X, x, c->fieldBytes);
  limbsToBigInt(&point->Y, y, c->fieldBytes);
  point->Infinity = 0;
}

void ecGroupDestroy(void **object) {
  auto *group = static_cast<EcGroup *>(*object);
  EcGroup_Clear(group);
  BigInt_FreeLimbs(&group->P);
  BigInt_FreeLimbs(&group->A);
  BigInt_FreeLimbs(&group->B);
  BigInt_FreeLimbs(&group->N);
  EcPoint_Free(&group->G);
  group->header.classTag = 0;
  MEM_FREE(group, sizeof(EcGroup));
}

// Montgomery form of a plain value below p.
template <int N>
void ecToMont(const EcCurve &c, uint64_t *r, const uint64_t *a) {
  feToMont<N>(c.p, r, a);
}

}  // namespace

// ---- Points -----------------------------------------------------------------------

void EcPoint_Init(EcPoint *point) {
  CHECK_POINTER(point);
  BigInt_InitInPlace(&point->X);
  BigInt_InitInPlace(&point->Y);
  point->Infinity = 1;
}

void EcPoint_Free(EcPoint *point) {
  CHECK_POINTER(point);
  BigInt_FreeLimbs(&point->X);
  BigInt_FreeLimbs(&point->Y);
  point->Infinity = 1;
}

void EcPoint_Copy(EcPoint *target, const EcPoint *source) {
  CHECK_POINTER(target);
  CHECK_POINTER(source);
  BigInt_Copy(&target->X, &source->X);
  BigInt_Copy(&target->Y, &source->Y);
  target->Infinity = source->Infinity;
}

void EcPoint_SetInfinity(EcPoint *point) {
  CHECK_POINTER(point);
  BigInt_Clear(&point->X);
  BigInt_Clear(&point->Y);
  point->Infinity = 1;
}

// ---- Groups -----------------------------------------------------------------------

int EcGroup_Create(EcGroup **group) {
  CHECK_POINTER(group);
  auto *g = static_cast<EcGroup *>(MEM_ALLOC(sizeof(EcGroup), MEM_ZEROED));
  g->header.classTag = kEcGroupTag;
  g->header.refCount.store(1, std::memory_order_relaxed);
  g->header.destroy = ecGroupDestroy;
  BigInt_InitInPlace(&g->P);
  BigInt_InitInPlace(&g->A);
  BigInt_InitInPlace(&g->B);
  BigInt_InitInPlace(&g->N);
  EcPoint_Init(&g->G);
  *group = g;
  return 1;
}

int EcGroup_Release(EcGroup **group) {
  CHECK_POINTER(group);
  CLASS_CHECK(*group, kEcGroupTag);
  Class_ReleaseObject(group);
  return 1;
}

int EcGroup_Clear(EcGroup *group) {
  CLASS_CHECK(group, kEcGroupTag);
  memset(group->Oid, 0, sizeof(group->Oid));
  BigInt_Clear(&group->P);
  BigInt_Clear(&group->A);
  BigInt_Clear(&group->B);
  BigInt_Clear(&group->N);
  EcPoint_SetInfinity(&group->G);
  group->SqrtMethod = 0;
  group->Curve = nullptr;
  return 1;
}

int EcGroup_Select(EcGroup *group, const char *oid) {
  CLASS_CHECK(group, kEcGroupTag);
  CHECK_POINTER(oid);
  EcGroup_Clear(group);
  strncpy(group->Oid, oid, kEcOidBytes - 1);
  for (int i = 0; i < kEcCurveCount; i++) {
    const EcCurveText &text = kEcCurves[i];
    if (strcmp(text.oid, group->Oid) != 0) continue;
    if (!BigInt_FromHex(&group->P, text.p) || !BigInt_FromHex(&group->A, text.a) ||
        !BigInt_FromHex(&group->B, text.b) || !BigInt_FromHex(&group->G.X, text.gx) ||
        !BigInt_FromHex(&group->G.Y, text.gy) || !BigInt_FromHex(&group->N, text.n))
      break;
    group->G.Infinity = 0;
    group->SqrtMethod = text.sqrtMethod;
    std::call_once(gEcCurveOnce[i], ecCurveBuild, i);
    group->Curve = &gEcCurveData[i];
    return 1;
  }
  char kept[kEcOidBytes];
  memcpy(kept, group->Oid, sizeof(kept));
  EcGroup_Clear(group);
  memcpy(group->Oid, kept, sizeof(kept));
  return 0;
}

const BigInt *EcGroup_GetOrder(const EcGroup *group) {
  CLASS_CHECK(group, kEcGroupTag);
  return &group->N;
}

const EcPoint *EcGroup_GetGenerator(const EcGroup *group) {
  CLASS_CHECK(group, kEcGroupTag);
  return &group->G;
}

int EcGroup_GetFieldBytes(const EcGroup *group) {
  CLASS_CHECK(group, kEcGroupTag);
  return group->Curve ? group->Curve->fieldBytes : 0;
}

int EcGroup_GetOrderBytes(const EcGroup *group) {
  CLASS_CHECK(group, kEcGroupTag);
  return group->Curve ? group->Curve->orderBytes : 0;
}

// ---- Point operations ----------------------------------------------------------------

int EcPoint_Validate(const EcGroup *group, const EcPoint *point) {
  CLASS_CHECK(group, kEcGroupTag);
  CHECK_POINTER(point);
  const EcCurve *c = group->Curve;
  if (c == nullptr || point->Infinity) return 0;
  if (BigInt_Compare(&point->X, &group->P) >= 0 || BigInt_Compare(&point->Y, &group->P) >= 0)
    return 0;
  uint64_t x[kEcMaxLimbs], y[kEcMaxLimbs];
  if (!ecPointWords(c, point, x, y)) return 0;  // negative
  return EC_DISPATCH(c, ecValidate, x, y);
}

int EcPoint_Decode(EcPoint *point, const EcGroup *group, const uint8_t *bytes, int length) {
  CHECK_POINTER(point);
  CLASS_CHECK(group, kEcGroupTag);
  EcPoint_SetInfinity(point);
  const EcCurve *c = group->Curve;
  if (c == nullptr || bytes == nullptr || length < 1) return 0;
  const int f = c->fieldBytes;
  if (bytes[0] == 0x04 && length == 1 + 2 * f) {
    BigInt_FromBytes(&point->X, bytes + 1, f);
    BigInt_FromBytes(&point->Y, bytes + 1 + f, f);
    point->Infinity = 0;
  } else if ((bytes[0] == 0x02 || bytes[0] == 0x03) && length == 1 + f &&
             group->SqrtMethod == 1) {
    BigInt_FromBytes(&point->X, bytes + 1, f);
    uint64_t x[kEcMaxLimbs] = {}, y[kEcMaxLimbs] = {};
    if (BigInt_Compare(&point->X, &group->P) >= 0) {
      EcPoint_SetInfinity(point);
      return 0;
    }
    limbsFromBytes(x, c->limbs, bytes + 1, f);
    if (!EC_DISPATCH(c, ecDecompress, x, bytes[0] & 1, y)) {
      EcPoint_SetInfinity(point);
      return 0;
    }
    limbsToBigInt(&point->Y, y, f);
    point->Infinity = 0;
  } else {
    return 0;
  }
  if (!EcPoint_Validate(group, point)) {
    EcPoint_SetInfinity(point);
    return 0;
  }
  return 1;
}

int EcPoint_Add(const EcGroup *group, EcPoint *result, const EcPoint *p1, const EcPoint *p2) {
  CLASS_CHECK(group, kEcGroupTag);
  CHECK_POINTER(result);
  CHECK_POINTER(p1);
  CHECK_POINTER(p2);
  const EcCurve *c = group->Curve;
  if (c == nullptr) return 0;
  if (p1->Infinity || p2->Infinity) {
    EcPoint_Copy(result, p1->Infinity ? p2 : p1);
    return 1;
  }
  uint64_t x1[kEcMaxLimbs], y1[kEcMaxLimbs], x2[kEcMaxLimbs], y2[kEcMaxLimbs];
  if (!ecPointWords(c, p1, x1, y1) || !ecPointWords(c, p2, x2, y2) ||
      BigInt_Compare(&p1->X, &group->P) >= 0 || BigInt_Compare(&p1->Y, &group->P) >= 0 ||
      BigInt_Compare(&p2->X, &group->P) >= 0 || BigInt_Compare(&p2->Y, &group->P) >= 0)
    return 0;
  uint64_t x[kEcMaxLimbs], y[kEcMaxLimbs];
  if (!EC_DISPATCH(c, ecAdd, x1, y1, x2, y2, x, y)) {
    EcPoint_SetInfinity(result);
    return 1;
  }
  ecSetPoint(c, result, x, y);
  return 1;
}

int EcPoint_Multiply(const EcGroup *group, EcPoint *result, const EcPoint *point,
                     const BigInt *scalar) {
  CLASS_CHECK(group, kEcGroupTag);
  CHECK_POINTER(result);
  CHECK_POINTER(point);
  CLASS_CHECK(scalar, kBigIntTag);
  const EcCurve *c = group->Curve;
  if (c == nullptr) return 0;
  if (point->Infinity) {
    EcPoint_SetInfinity(result);
    return 1;
  }
  uint64_t x[kEcMaxLimbs], y[kEcMaxLimbs];
  if (!ecPointWords(c, point, x, y) || BigInt_Compare(&point->X, &group->P) >= 0 ||
      BigInt_Compare(&point->Y, &group->P) >= 0)
    return 0;
  EC_DISPATCH(c, ecToMont, x, x);
  EC_DISPATCH(c, ecToMont, y, y);
  BigInt k;
  BigInt_InitInPlace(&k);
  BigInt_Mod(&k, scalar, &group->N);
  uint8_t kBytes[kEcMaxFieldBytes];
  BigInt_ToBytesPadded(&k, kBytes, c->orderBytes);
  BigInt_FreeLimbs(&k);
  uint64_t kw[kEcMaxLimbs];
  limbsFromBytes(kw, c->limbs, kBytes, c->orderBytes);
  uint8_t xb[kEcMaxFieldBytes], yb[kEcMaxFieldBytes];
  int finite = EC_DISPATCH(c, ecSecretMultiply, kw, x, y, xb, yb);
  memset(kBytes, 0, sizeof(kBytes));
  memset(kw, 0, sizeof(kw));
  if (!finite) {
    EcPoint_SetInfinity(result);
    return 1;
  }
  BigInt_FromBytes(&result->X, xb, c->fieldBytes);
  BigInt_FromBytes(&result->Y, yb, c->fieldBytes);
  result->Infinity = 0;
  return 1;
}

// ---- Kernels ----------------------------------------------------------------------------

int Ec_MultiplySecret(const EcGroup *group, const uint8_t *scalar, const EcPoint *point,
                      uint8_t *x, uint8_t *y) {
  CLASS_CHECK(group, kEcGroupTag);
  CHECK_POINTER(scalar);
  CHECK_POINTER(x);
  const EcCurve *c = group->Curve;
  if (c == nullptr) return 0;
  uint64_t k[kEcMaxLimbs];
  limbsFromBytes(k, c->limbs, scalar, c->orderBytes);
  uint64_t px[kEcMaxLimbs], py[kEcMaxLimbs];
  if (point != nullptr) {
    if (point->Infinity || !ecPointWords(c, point, px, py)) {
      memset(x, 0, size_t(c->fieldBytes));
      if (y != nullptr) memset(y, 0, size_t(c->fieldBytes));
      return 0;
    }
    EC_DISPATCH(c, ecToMont, px, px);
    EC_DISPATCH(c, ecToMont, py, py);
  }
  int finite = EC_DISPATCH(c, ecSecretMultiply, k, point ? px : nullptr, point ? py : nullptr, x, y);
  memset(k, 0, sizeof(k));
  return finite;
}

int Ec_SignDigest(const EcGroup *group, const uint8_t *d, const uint8_t *k, const uint8_t *e,
                  uint8_t *r, uint8_t *s) {
  CLASS_CHECK(group, kEcGroupTag);
  const EcCurve *c = group->Curve;
  if (c == nullptr) return 0;
  return EC_DISPATCH(c, ecSign, d, k, e, r, s);
}

int Ec_MultiplyPublicSum(const EcGroup *group, const BigInt *u1, const BigInt *u2,
                         const EcPoint *q, BigInt *x) {
  CLASS_CHECK(group, kEcGroupTag);
  CHECK_POINTER(q);
  const EcCurve *c = group->Curve;
  if (c == nullptr || q->Infinity) return 0;
  uint64_t a[kEcMaxLimbs], b[kEcMaxLimbs], qx[kEcMaxLimbs], qy[kEcMaxLimbs], rx[kEcMaxLimbs];
  if (!limbsFromBigInt(a, c->limbs, u1, c->limbs * 8) ||
      !limbsFromBigInt(b, c->limbs, u2, c->limbs * 8) || !ecPointWords(c, q, qx, qy))
    return 0;
  EC_DISPATCH(c, ecToMont, qx, qx);
  EC_DISPATCH(c, ecToMont, qy, qy);
  if (!EC_DISPATCH(c, ecPublicSum, a, b, qx, qy, rx)) return 0;
  limbsToBigInt(x, rx, c->fieldBytes);
  return 1;
}
