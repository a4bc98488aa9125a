// Big integers: limb arithmetic, word-wise division and Montgomery
// exponentiation; see bigint.h.
//
// Values keep 32-bit limbs. Addition, shifts, products for MulMod and the
// division work on those limbs with 64-bit intermediates; exponentiation
// packs limb pairs into 64-bit words and multiplies them with 128-bit
// products, where nearly all of the time of RSA and curve arithmetic goes.
#include "core/security/bigint.h"

#include <bit>
#include <cstring>
#include <utility>

#include "core/runtime/memory.h"
#include "core/platform/platform.h"

namespace {

typedef unsigned __int128 BigIntWide;

// ---- Scratch arrays -----------------------------------------------------------

// A temporary array of count elements: on the stack when small (the numbers of
// curve arithmetic), tracked heap memory otherwise.
template <typename T, int kLocal>
class BigIntScratch {
 public:
  explicit BigIntScratch(int64_t count) : bytes_(count * int64_t(sizeof(T))) {
    data_ = count <= kLocal ? local_ : static_cast<T *>(MEM_ALLOC(bytes_ > 0 ? bytes_ : 1, 0));
  }
  ~BigIntScratch() {
    if (data_ != local_) MEM_FREE(data_, bytes_ > 0 ? bytes_ : 1);
  }
  BigIntScratch(const BigIntScratch &) = delete;
  BigIntScratch &operator=(const BigIntScratch &) = delete;
  T *get() { return data_; }

 private:
  int64_t bytes_;
  T *data_;
  T local_[kLocal];
};

typedef BigIntScratch<uint32_t, 80> LimbScratch;
typedef BigIntScratch<uint64_t, 40> WordScratch;

// ---- Limb arrays --------------------------------------------------------------

void bigIntInitHeader(ObjectHeader *header, uint32_t tag, ClassDestroyFunction destroy) {
  header->classTag = tag;
  header->refCount.store(1, std::memory_order_relaxed);
  header->destroy = destroy;
  Class_GenerateInstanceId(header);
}

// Makes room for limbs limbs, keeping the value; new limbs are zero.
void bigIntGrow(BigInt *n, int64_t limbs) {
  if (limbs <= n->Capacity) return;
  int64_t capacity = (limbs + kBigIntLimbStep - 1) / kBigIntLimbStep * kBigIntLimbStep + 1;
  auto *fresh = static_cast<uint32_t *>(MEM_ALLOC(capacity * 4, MEM_ZEROED));
  if (n->Limbs != nullptr) {
    memcpy(fresh, n->Limbs, size_t(n->Capacity) * 4);
    MEM_FREE(n->Limbs, int64_t(n->Capacity) * 4);
  }
  n->Limbs = fresh;
  n->Capacity = int32_t(capacity);
}

// Drops leading zero limbs; zero is never negative.
void bigIntTrim(BigInt *n) {
  while (n->Length > 0 && n->Limbs[n->Length - 1] == 0) n->Length--;
  if (n->Length == 0) n->Negative = 0;
}

int limbsTrimmed(const uint32_t *a, int length) {
  while (length > 0 && a[length - 1] == 0) length--;
  return length;
}

// Stores a trimmed limb array of the given sign.
void bigIntSetLimbs(BigInt *r, const uint32_t *limbs, int length, int negative) {
  bigIntGrow(r, length);
  if (length > 0 && r->Limbs != limbs) memmove(r->Limbs, limbs, size_t(length) * 4);
  r->Length = length;
  r->Negative = negative;
  bigIntTrim(r);
}

// Magnitude comparison of trimmed arrays: -1, 0 or 1.
int limbsCompare(const uint32_t *a, int la, const uint32_t *b, int lb) {
  if (la != lb) return la < lb ? -1 : 1;
  for (int i = la - 1; i >= 0; i--)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

// r = a + b with la >= lb; r has la + 1 limbs and may be a or b. Returns the
// trimmed length.
int limbsAdd(uint32_t *r, const uint32_t *a, int la, const uint32_t *b, int lb) {
  uint64_t carry = 0;
  int i = 0;
  for (; i < lb; i++) {
    carry += uint64_t(a[i]) + b[i];
    r[i] = uint32_t(carry);
    carry >>= 32;
  }
  for (; i < la; i++) {
    carry += a[i];
    r[i] = uint32_t(carry);
    carry >>= 32;
  }
  r[la] = uint32_t(carry);
  return limbsTrimmed(r, la + 1);
}

// r = a - b with a >= b; r has la limbs and may be a or b. Returns the
// trimmed length.
int limbsSub(uint32_t *r, const uint32_t *a, int la, const uint32_t *b, int lb) {
  int64_t borrow = 0;
  int i = 0;
  for (; i < lb; i++) {
    int64_t t = int64_t(a[i]) - b[i] - borrow;
    r[i] = uint32_t(t);
    borrow = t < 0;
  }
  for (; i < la; i++) {
    int64_t t = int64_t(a[i]) - borrow;
    r[i] = uint32_t(t);
    borrow = t < 0;
  }
  return limbsTrimmed(r, la);
}

// r = a * b (la + lb limbs, not overlapping either operand).
void limbsMul(uint32_t *r, const uint32_t *a, int la, const uint32_t *b, int lb) {
  memset(r, 0, size_t(la + lb) * 4);
  for (int i = 0; i < lb; i++) {
    uint64_t carry = 0;
    for (int j = 0; j < la; j++) {
      carry += uint64_t(a[j]) * b[i] + r[i + j];
      r[i + j] = uint32_t(carry);
      carry >>= 32;
    }
    r[i + la] = uint32_t(carry);
  }
}

// r = a * a (2 * la limbs, not overlapping a): each cross product once,
// doubled, then the squares of the limbs added.
void limbsSquare(uint32_t *r, const uint32_t *a, int la) {
  memset(r, 0, size_t(2 * la) * 4);
  for (int i = 0; i < la; i++) {
    uint64_t carry = 0;
    for (int j = i + 1; j < la; j++) {
      carry += uint64_t(a[i]) * a[j] + r[i + j];
      r[i + j] = uint32_t(carry);
      carry >>= 32;
    }
    r[i + la] = uint32_t(carry);
  }
  uint32_t top = 0;
  for (int i = 0; i < 2 * la; i++) {
    uint32_t next = r[i] >> 31;
    r[i] = (r[i] << 1) | top;
    top = next;
  }
  uint64_t carry = 0;
  for (int i = 0; i < la; i++) {
    uint64_t square = uint64_t(a[i]) * a[i];
    carry += uint64_t(r[2 * i]) + uint32_t(square);
    r[2 * i] = uint32_t(carry);
    carry >>= 32;
    carry += uint64_t(r[2 * i + 1]) + (square >> 32);
    r[2 * i + 1] = uint32_t(carry);
    carry >>= 32;
  }
}

// rem = a mod m for trimmed magnitudes with lm >= 1, by word-wise long
// division on normalised limbs (the divisor's top bit set, so each quotient
// digit estimate is at most two too large). rem has room for lm limbs and
// may not overlap a. Returns the trimmed length of rem.
int limbsMod(uint32_t *rem, const uint32_t *a, int la, const uint32_t *m, int lm) {
  if (limbsCompare(a, la, m, lm) < 0) {
    if (la > 0) memmove(rem, a, size_t(la) * 4);
    return la;
  }
  if (lm == 1) {
    uint64_t r = 0;
    for (int i = la - 1; i >= 0; i--) r = ((r << 32) | a[i]) % m[0];
    rem[0] = uint32_t(r);
    return r != 0;
  }
  int shift = std::countl_zero(m[lm - 1]);
  LimbScratch vScratch(lm), uScratch(int64_t(la) + 1);
  uint32_t *vn = vScratch.get(), *un = uScratch.get();
  if (shift == 0) {
    memcpy(vn, m, size_t(lm) * 4);
    memcpy(un, a, size_t(la) * 4);
    un[la] = 0;
  } else {
    for (int i = lm - 1; i > 0; i--) vn[i] = (m[i] << shift) | (m[i - 1] >> (32 - shift));
    vn[0] = m[0] << shift;
    un[la] = a[la - 1] >> (32 - shift);
    for (int i = la - 1; i > 0; i--) un[i] = (a[i] << shift) | (a[i - 1] >> (32 - shift));
    un[0] = a[0] << shift;
  }
  const uint64_t top = vn[lm - 1], next = vn[lm - 2];
  for (int j = la - lm; j >= 0; j--) {
    uint64_t numerator = (uint64_t(un[j + lm]) << 32) | un[j + lm - 1];
    uint64_t qhat = numerator / top, rhat = numerator % top;
    while ((qhat >> 32) != 0 || qhat * next > ((rhat << 32) | un[j + lm - 2])) {
      qhat--;
      rhat += top;
      if ((rhat >> 32) != 0) break;
    }
    // un[j .. j + lm] -= qhat * vn, with the borrow carried as a signed word.
    int64_t k = 0, t = 0;
    for (int i = 0; i < lm; i++) {
      uint64_t p = qhat * vn[i];
      t = int64_t(un[i + j]) - k - int64_t(p & 0xFFFFFFFFu);
      un[i + j] = uint32_t(t);
      k = int64_t(p >> 32) - (t >> 32);
    }
    t = int64_t(un[j + lm]) - k;
    un[j + lm] = uint32_t(t);
    if (t < 0) {  // qhat was one too large: add the divisor back
      uint64_t carry = 0;
      for (int i = 0; i < lm; i++) {
        carry += uint64_t(un[i + j]) + vn[i];
        un[i + j] = uint32_t(carry);
        carry >>= 32;
      }
      un[j + lm] += uint32_t(carry);
    }
  }
  if (shift == 0) {
    memcpy(rem, un, size_t(lm) * 4);
  } else {
    for (int i = 0; i < lm - 1; i++) rem[i] = (un[i] >> shift) | (un[i + 1] << (32 - shift));
    rem[lm - 1] = un[lm - 1] >> shift;
  }
  return limbsTrimmed(rem, lm);
}

// r = the signed value (limbs, length, negative) reduced into [0, m).
void bigIntReduceInto(BigInt *r, const uint32_t *limbs, int length, int negative, const BigInt *m) {
  LimbScratch remScratch(m->Length);
  uint32_t *rem = remScratch.get();
  int remLength = limbsMod(rem, limbs, length, m->Limbs, m->Length);
  if (negative && remLength > 0) remLength = limbsSub(rem, m->Limbs, m->Length, rem, remLength);
  bigIntSetLimbs(r, rem, remLength, 0);
}

// 1 when m can be a modulus (above zero).
bool bigIntIsModulus(const BigInt *m) { return m->Length > 0 && !m->Negative; }

// ---- 64-bit words for Montgomery arithmetic -----------------------------------

// Packs limbs into count words (zero-extended).
void wordsFromLimbs(uint64_t *w, int count, const uint32_t *limbs, int length) {
  for (int i = 0; i < count; i++) {
    uint64_t lo = 2 * i < length ? limbs[2 * i] : 0;
    uint64_t hi = 2 * i + 1 < length ? limbs[2 * i + 1] : 0;
    w[i] = lo | (hi << 32);
  }
}

void bigIntSetWords(BigInt *r, const uint64_t *w, int count) {
  bigIntGrow(r, 2 * int64_t(count));
  for (int i = 0; i < count; i++) {
    r->Limbs[2 * i] = uint32_t(w[i]);
    r->Limbs[2 * i + 1] = uint32_t(w[i] >> 32);
  }
  r->Length = 2 * count;
  r->Negative = 0;
  bigIntTrim(r);
}

// r = t - N over n words, where t has one more word that takes the borrow.
void wordsSubModulus(uint64_t *r, const uint64_t *t, const uint64_t *modulus, int n) {
  uint64_t borrow = 0;
  for (int i = 0; i < n; i++) {
    BigIntWide d = BigIntWide(t[i]) - modulus[i] - borrow;
    r[i] = uint64_t(d);
    borrow = uint64_t(d >> 64) & 1;
  }
}

// 1 when the n + 1 words of t are at least the n words of modulus.
bool wordsAtLeast(const uint64_t *t, const uint64_t *modulus, int n) {
  if (t[n] != 0) return true;
  for (int i = n - 1; i >= 0; i--)
    if (t[i] != modulus[i]) return t[i] > modulus[i];
  return true;
}

}  // namespace

struct BigIntModContext {
  ObjectHeader header;
  BigInt Modulus;
  int32_t words;         // n: 64-bit words of the modulus; R = 2^(64 n)
  uint64_t inverse;      // -m^-1 mod 2^64
  uint64_t *modulus;     // m as n words
  uint64_t *rSquared;    // R^2 mod m: multiplying by it enters Montgomery form
  uint64_t *one;         // R mod m: 1 in Montgomery form
  int64_t blockBytes;    // the one allocation behind the three arrays
};

namespace {

// r = t * R^-1 mod m for t < m * R held in 2n words (t[2n] is scratch):
// each row adds the multiple of m that clears the lowest word still in use.
// The result is below 2m before the one final subtraction. t is destroyed.
void montReduce(uint64_t *r, uint64_t *t, const BigIntModContext *ctx) {
  const int n = ctx->words;
  const uint64_t *m = ctx->modulus;
  uint64_t top = 0;
  for (int i = 0; i < n; i++) {
    uint64_t q = t[i] * ctx->inverse;
    uint64_t carry = 0;
#pragma GCC unroll 4
    for (int j = 0; j < n; j++) {
      BigIntWide p = BigIntWide(q) * m[j] + t[i + j] + carry;
      t[i + j] = uint64_t(p);
      carry = uint64_t(p >> 64);
    }
    BigIntWide s = BigIntWide(t[i + n]) + carry + top;
    t[i + n] = uint64_t(s);
    top = uint64_t(s >> 64);
  }
  t[2 * n] = top;
  if (wordsAtLeast(t + n, m, n))
    wordsSubModulus(r, t + n, m, n);
  else
    memcpy(r, t + n, size_t(n) * 8);
}

// r = a * b * R^-1 mod m for a, b below m; r may be a or b. t holds 2n + 1
// words.
void montMul(uint64_t *r, const uint64_t *a, const uint64_t *b, const BigIntModContext *ctx,
             uint64_t *t) {
  const int n = ctx->words;
  memset(t, 0, size_t(n) * 8);
  for (int i = 0; i < n; i++) {
    uint64_t ai = a[i], carry = 0;
#pragma GCC unroll 4
    for (int j = 0; j < n; j++) {
      BigIntWide p = BigIntWide(ai) * b[j] + t[i + j] + carry;
      t[i + j] = uint64_t(p);
      carry = uint64_t(p >> 64);
    }
    t[i + n] = carry;
  }
  montReduce(r, t, ctx);
}

// r = a * a * R^-1 mod m: each cross product is computed once and doubled,
// then the squares of the words are added. r may be a; t holds 2n + 1 words.
void montSquare(uint64_t *r, const uint64_t *a, const BigIntModContext *ctx, uint64_t *t) {
  const int n = ctx->words;
  memset(t, 0, size_t(n + 1) * 8);
  for (int i = 0; i < n; i++) {
    uint64_t ai = a[i], carry = 0;
#pragma GCC unroll 4
    for (int j = i + 1; j < n; j++) {
      BigIntWide p = BigIntWide(ai) * a[j] + t[i + j] + carry;
      t[i + j] = uint64_t(p);
      carry = uint64_t(p >> 64);
    }
    t[i + n] = carry;
  }
  uint64_t shifted = 0;
  for (int i = 0; i < 2 * n; i++) {
    uint64_t next = t[i] >> 63;
    t[i] = (t[i] << 1) | shifted;
    shifted = next;
  }
  uint64_t carry = 0;
  for (int i = 0; i < n; i++) {
    BigIntWide square = BigIntWide(a[i]) * a[i];
    BigIntWide s = BigIntWide(t[2 * i]) + uint64_t(square) + carry;
    t[2 * i] = uint64_t(s);
    s = BigIntWide(t[2 * i + 1]) + uint64_t(square >> 64) + uint64_t(s >> 64);
    t[2 * i + 1] = uint64_t(s);
    carry = uint64_t(s >> 64);
  }
  montReduce(r, t, ctx);
}

// Window width for an exponent of the given bits: the table of 2^w powers
// costs 2^w products once, and each window of w bits then takes one product
// instead of up to w. Short public exponents (65537) go bit by bit, where a
// table would cost more products than it saves.
int bigIntWindowBits(int bits) {
  if (bits > 768) return 6;
  if (bits > 192) return 5;
  if (bits > 32) return 4;
  return 1;
}

// Bits [pos, pos + count) of the magnitude, count <= 6.
uint32_t bigIntGetBits(const BigInt *n, int pos, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; i--) value = (value << 1) | uint32_t(BigInt_TestBit(n, pos + i));
  return value;
}

void bigIntModContextDestroy(void **object) {
  auto *ctx = static_cast<BigIntModContext *>(*object);
  BigInt_FreeLimbs(&ctx->Modulus);
  MEM_FREE(ctx->modulus, ctx->blockBytes);
  MEM_FREE(ctx, int64_t(sizeof *ctx));
}

void bigIntDestroy(void **object) {
  auto *n = static_cast<BigInt *>(*object);
  BigInt_FreeLimbs(n);
  MEM_FREE(n, int64_t(sizeof *n));
}

// 2^(32 limbs) mod m as n words.
void bigIntPowerOfTwoMod(uint64_t *out, int n, int limbs, const BigInt *m) {
  LimbScratch powerScratch(int64_t(limbs) + 1), remScratch(m->Length);
  uint32_t *power = powerScratch.get(), *rem = remScratch.get();
  memset(power, 0, size_t(limbs) * 4);
  power[limbs] = 1;
  int length = limbsMod(rem, power, limbs + 1, m->Limbs, m->Length);
  wordsFromLimbs(out, n, rem, length);
}

}  // namespace

// ---- Life cycle -------------------------------------------------------------------

int BigInt_Create(BigInt **n) {
  CHECK_POINTER(n);
  auto *value = static_cast<BigInt *>(MEM_ALLOC(int64_t(sizeof(BigInt)), MEM_ZEROED));
  bigIntInitHeader(&value->header, kBigIntTag, bigIntDestroy);
  *n = value;
  return 1;
}

int BigInt_Release(BigInt **n) {
  CHECK_POINTER(n);
  CLASS_CHECK(*n, kBigIntTag);
  Class_ReleaseObject(n);
  return 1;
}

void BigInt_InitInPlace(BigInt *n) {
  CHECK_POINTER(n);
  memset(static_cast<void *>(n), 0, sizeof *n);
  bigIntInitHeader(&n->header, kBigIntTag, nullptr);
}

int BigInt_FreeLimbs(BigInt *n) {
  CLASS_CHECK(n, kBigIntTag);
  if (n->Limbs != nullptr) MEM_FREE(n->Limbs, int64_t(n->Capacity) * 4);
  n->Limbs = nullptr;
  n->Capacity = 0;
  n->Length = 0;
  n->Negative = 0;
  return 1;
}

// ---- Values -----------------------------------------------------------------------

int BigInt_Clear(BigInt *n) {
  CLASS_CHECK(n, kBigIntTag);
  n->Length = 0;
  n->Negative = 0;
  return 1;
}

void BigInt_SetWord(BigInt *n, uint32_t word) {
  CLASS_CHECK(n, kBigIntTag);
  bigIntSetLimbs(n, &word, 1, 0);
}

int BigInt_Copy(BigInt *target, const BigInt *source) {
  CLASS_CHECK(target, kBigIntTag);
  CLASS_CHECK(source, kBigIntTag);
  if (target != source) bigIntSetLimbs(target, source->Limbs, source->Length, source->Negative);
  return 1;
}

int BigInt_Equals(const BigInt *a, const BigInt *b) {
  CLASS_CHECK(a, kBigIntTag);
  CLASS_CHECK(b, kBigIntTag);
  return a->Negative == b->Negative && limbsCompare(a->Limbs, a->Length, b->Limbs, b->Length) == 0;
}

int BigInt_Compare(const BigInt *a, const BigInt *b) {
  CLASS_CHECK(a, kBigIntTag);
  CLASS_CHECK(b, kBigIntTag);
  if (a->Negative != b->Negative) return a->Negative ? -1 : 1;
  int magnitude = limbsCompare(a->Limbs, a->Length, b->Limbs, b->Length);
  return a->Negative ? -magnitude : magnitude;
}

int BigInt_Sign(const BigInt *n) {
  CLASS_CHECK(n, kBigIntTag);
  if (n->Length == 0) return 0;
  return n->Negative ? -1 : 1;
}

int BigInt_TestBit(const BigInt *n, int index) {
  CLASS_CHECK(n, kBigIntTag);
  if (index < 0 || index / 32 >= n->Length) return 0;
  return int((n->Limbs[index / 32] >> (index % 32)) & 1);
}

int BigInt_GetBitLength(const BigInt *n) {
  CLASS_CHECK(n, kBigIntTag);
  if (n->Length == 0) return 0;
  return (n->Length - 1) * 32 + int(std::bit_width(n->Limbs[n->Length - 1]));
}

int BigInt_GetByteLength(const BigInt *n) { return (BigInt_GetBitLength(n) + 7) / 8; }

// ---- Arithmetic -------------------------------------------------------------------

namespace {

// r = a + (negateB ? -b : b).
void bigIntAddSigned(BigInt *r, const BigInt *a, const BigInt *b, int negateB) {
  int signA = a->Negative, signB = b->Length > 0 ? (b->Negative ^ negateB) : 0;
  if (signA == signB) {
    if (a->Length < b->Length) std::swap(a, b);
    bigIntGrow(r, int64_t(a->Length) + 1);  // before reading limbs: r may be a or b
    r->Length = limbsAdd(r->Limbs, a->Limbs, a->Length, b->Limbs, b->Length);
    r->Negative = signA;
  } else if (limbsCompare(a->Limbs, a->Length, b->Limbs, b->Length) >= 0) {
    bigIntGrow(r, a->Length);
    r->Length = limbsSub(r->Limbs, a->Limbs, a->Length, b->Limbs, b->Length);
    r->Negative = signA;
  } else {
    bigIntGrow(r, b->Length);
    r->Length = limbsSub(r->Limbs, b->Limbs, b->Length, a->Limbs, a->Length);
    r->Negative = signB;
  }
  bigIntTrim(r);
}

}  // namespace

int BigInt_Add(BigInt *r, const BigInt *a, const BigInt *b) {
  CLASS_CHECK(r, kBigIntTag);
  CLASS_CHECK(a, kBigIntTag);
  CLASS_CHECK(b, kBigIntTag);
  bigIntAddSigned(r, a, b, 0);
  return 1;
}

int BigInt_Sub(BigInt *r, const BigInt *a, const BigInt *b) {
  CLASS_CHECK(r, kBigIntTag);
  CLASS_CHECK(a, kBigIntTag);
  CLASS_CHECK(b, kBigIntTag);
  bigIntAddSigned(r, a, b, 1);
  return 1;
}

int BigInt_ShiftLeft(BigInt *r, const BigInt *a, int bits) {
  CLASS_CHECK(r, kBigIntTag);
  CLASS_CHECK(a, kBigIntTag);
  if (bits >= 0 && a->Length == 0) return BigInt_Clear(r);
  if (bits < 0 || int64_t(BigInt_GetBitLength(a)) + bits > kBigIntMaxBits) {
    BigInt_Clear(r);
    return 0;
  }
  const int words = bits / 32, shift = bits % 32, length = a->Length, negative = a->Negative;
  bigIntGrow(r, int64_t(length) + words + 1);
  const uint32_t *src = a->Limbs;  // read after growing: r may be a
  uint32_t *dst = r->Limbs;
  // From the top down, so that an overlapping source is read before it is
  // overwritten.
  if (shift == 0) {
    for (int i = length - 1; i >= 0; i--) dst[i + words] = src[i];
    dst[length + words] = 0;
  } else {
    dst[length + words] = src[length - 1] >> (32 - shift);
    for (int i = length - 1; i > 0; i--)
      dst[i + words] = (src[i] << shift) | (src[i - 1] >> (32 - shift));
    dst[words] = src[0] << shift;
  }
  memset(dst, 0, size_t(words) * 4);
  r->Length = length + words + 1;
  r->Negative = negative;
  bigIntTrim(r);
  return 1;
}

int BigInt_ShiftRight(BigInt *r, const BigInt *a, int bits) {
  CLASS_CHECK(r, kBigIntTag);
  CLASS_CHECK(a, kBigIntTag);
  if (bits < 0) {
    BigInt_Clear(r);
    return 0;
  }
  const int words = bits / 32, shift = bits % 32, length = a->Length, negative = a->Negative;
  if (words >= length) return BigInt_Clear(r);
  const int kept = length - words;
  bigIntGrow(r, kept);
  const uint32_t *src = a->Limbs;
  uint32_t *dst = r->Limbs;
  // From the bottom up: an overlapping source lies at or above its target.
  for (int i = 0; i < kept; i++) {
    uint32_t value = src[i + words] >> shift;
    if (shift != 0 && i + 1 < kept) value |= src[i + words + 1] << (32 - shift);
    dst[i] = value;
  }
  r->Length = kept;
  r->Negative = negative;
  bigIntTrim(r);
  return 1;
}

int BigInt_Mod(BigInt *r, const BigInt *a, const BigInt *m) {
  CLASS_CHECK(r, kBigIntTag);
  CLASS_CHECK(a, kBigIntTag);
  CLASS_CHECK(m, kBigIntTag);
  if (!bigIntIsModulus(m)) {
    BigInt_Clear(r);
    return 0;
  }
  bigIntReduceInto(r, a->Limbs, a->Length, a->Negative, m);
  return 1;
}

int BigInt_MulMod(BigInt *r, const BigInt *a, const BigInt *b, const BigInt *m) {
  CLASS_CHECK(r, kBigIntTag);
  CLASS_CHECK(a, kBigIntTag);
  CLASS_CHECK(b, kBigIntTag);
  CLASS_CHECK(m, kBigIntTag);
  if (!bigIntIsModulus(m)) {
    BigInt_Clear(r);
    return 0;
  }
  if (a->Length == 0 || b->Length == 0) return BigInt_Clear(r);
  LimbScratch productScratch(int64_t(a->Length) + b->Length);
  uint32_t *product = productScratch.get();
  if (a == b)
    limbsSquare(product, a->Limbs, a->Length);
  else
    limbsMul(product, a->Limbs, a->Length, b->Limbs, b->Length);
  int length = limbsTrimmed(product, a->Length + b->Length);
  bigIntReduceInto(r, product, length, a->Negative ^ b->Negative, m);
  return 1;
}

int BigInt_SquareMod(BigInt *r, const BigInt *a, const BigInt *m) { return BigInt_MulMod(r, a, a, m); }

namespace {

// x = x / 2 mod m for odd m and 0 <= x < m: an odd x takes m first.
void bigIntHalveMod(BigInt *x, const BigInt *m) {
  if (BigInt_TestBit(x, 0)) BigInt_Add(x, x, m);
  BigInt_ShiftRight(x, x, 1);
}

// x = x - y mod m for 0 <= x, y < m.
void bigIntSubMod(BigInt *x, const BigInt *y, const BigInt *m) {
  if (BigInt_Compare(x, y) < 0) BigInt_Add(x, x, m);
  BigInt_Sub(x, x, y);
}

}  // namespace

int BigInt_InverseMod(BigInt *r, const BigInt *a, const BigInt *m) {
  CLASS_CHECK(r, kBigIntTag);
  CLASS_CHECK(a, kBigIntTag);
  CLASS_CHECK(m, kBigIntTag);
  if (!bigIntIsModulus(m) || !BigInt_TestBit(m, 0) || BigInt_GetBitLength(m) < 2) {
    BigInt_Clear(r);
    return 0;
  }
  // Binary inversion: x1 * a = u and x2 * a = v (mod m) throughout, while u
  // and v shrink towards their gcd.
  BigInt u, v, x1, x2;
  BigInt_InitInPlace(&u);
  BigInt_InitInPlace(&v);
  BigInt_InitInPlace(&x1);
  BigInt_InitInPlace(&x2);
  BigInt_Mod(&u, a, m);
  BigInt_Copy(&v, m);
  BigInt_SetWord(&x1, 1);
  int found = 0;
  if (u.Length > 0) {
    while (!BigInt_Equals(&u, &v)) {
      if (!BigInt_TestBit(&u, 0)) {
        BigInt_ShiftRight(&u, &u, 1);
        bigIntHalveMod(&x1, m);
      } else if (!BigInt_TestBit(&v, 0)) {
        BigInt_ShiftRight(&v, &v, 1);
        bigIntHalveMod(&x2, m);
      } else if (BigInt_Compare(&u, &v) > 0) {
        BigInt_Sub(&u, &u, &v);
        BigInt_ShiftRight(&u, &u, 1);
        bigIntSubMod(&x1, &x2, m);
        bigIntHalveMod(&x1, m);
      } else {
        BigInt_Sub(&v, &v, &u);
        BigInt_ShiftRight(&v, &v, 1);
        bigIntSubMod(&x2, &x1, m);
        bigIntHalveMod(&x2, m);
      }
    }
    // u = v = gcd(a, m): only 1 leaves x1 an inverse.
    found = u.Length == 1 && u.Limbs[0] == 1;
  }
  if (found)
    BigInt_Copy(r, &x1);
  else
    BigInt_Clear(r);
  BigInt_FreeLimbs(&u);
  BigInt_FreeLimbs(&v);
  BigInt_FreeLimbs(&x1);
  BigInt_FreeLimbs(&x2);
  return found;
}

// ---- Montgomery exponentiation ----------------------------------------------------

int BigInt_ModContextInit(BigIntModContext **ctx, const BigInt *m) {
  CHECK_POINTER(ctx);
  CLASS_CHECK(m, kBigIntTag);
  *ctx = nullptr;
  if (!bigIntIsModulus(m) || !BigInt_TestBit(m, 0) || BigInt_GetBitLength(m) < 2) return 0;
  auto *c = static_cast<BigIntModContext *>(MEM_ALLOC(int64_t(sizeof(BigIntModContext)), MEM_ZEROED));
  bigIntInitHeader(&c->header, kBigIntModContextTag, bigIntModContextDestroy);
  BigInt_InitInPlace(&c->Modulus);
  BigInt_Copy(&c->Modulus, m);
  const int n = (m->Length + 1) / 2;
  c->words = n;
  c->blockBytes = 3 * int64_t(n) * 8;
  c->modulus = static_cast<uint64_t *>(MEM_ALLOC(c->blockBytes, 0));
  c->rSquared = c->modulus + n;
  c->one = c->rSquared + n;
  wordsFromLimbs(c->modulus, n, m->Limbs, m->Length);
  // Newton's iteration for m^-1 mod 2^64: an odd m is its own inverse mod 8,
  // and each step doubles the correct low bits (3, 6, 12, 24, 48, 96).
  uint64_t inverse = c->modulus[0];
  for (int i = 0; i < 5; i++) inverse *= 2 - c->modulus[0] * inverse;
  c->inverse = 0 - inverse;
  bigIntPowerOfTwoMod(c->rSquared, n, 4 * n, m);
  bigIntPowerOfTwoMod(c->one, n, 2 * n, m);
  *ctx = c;
  return 1;
}

int BigInt_ModContextGetByteLength(const BigIntModContext *ctx) {
  CLASS_CHECK(ctx, kBigIntModContextTag);
  return BigInt_GetByteLength(&ctx->Modulus);
}

int BigInt_ModContextRelease(BigIntModContext **ctx) {
  CHECK_POINTER(ctx);
  CLASS_CHECK(*ctx, kBigIntModContextTag);
  Class_ReleaseObject(ctx);
  return 1;
}

int BigInt_ModExp(BigInt *r, const BigInt *base, const BigInt *exponent,
                  const BigIntModContext *ctx) {
  CLASS_CHECK(r, kBigIntTag);
  CLASS_CHECK(base, kBigIntTag);
  CLASS_CHECK(exponent, kBigIntTag);
  CLASS_CHECK(ctx, kBigIntModContextTag);
  if (exponent->Negative) {
    BigInt_Clear(r);
    return 0;
  }
  const BigInt *m = &ctx->Modulus;
  const int n = ctx->words;
  const int bits = BigInt_GetBitLength(exponent);
  if (bits == 0) {
    BigInt_SetWord(r, 1);  // m > 1, so 1 is reduced
    return 1;
  }
  const int window = bigIntWindowBits(bits);
  const int entries = 1 << window;
  // The base reduced into [0, m), in words; then the table of its powers
  // 0 .. 2^window - 1 in Montgomery form.
  WordScratch tableScratch(int64_t(entries) * n), workScratch(4 * int64_t(n) + 3);
  uint64_t *table = tableScratch.get(), *acc = workScratch.get();
  uint64_t *baseWords = acc + n, *t = baseWords + n;
  {
    LimbScratch remScratch(m->Length);
    uint32_t *rem = remScratch.get();
    int length = limbsMod(rem, base->Limbs, base->Length, m->Limbs, m->Length);
    if (base->Negative && length > 0) length = limbsSub(rem, m->Limbs, m->Length, rem, length);
    wordsFromLimbs(baseWords, n, rem, length);
  }
  memcpy(table, ctx->one, size_t(n) * 8);
  montMul(table + n, baseWords, ctx->rSquared, ctx, t);
  for (int i = 2; i < entries; i++) montMul(table + int64_t(i) * n, table + int64_t(i - 1) * n, table + n, ctx, t);

  // Fixed windows from the top; the first window may be shorter.
  int pos = (bits - 1) / window * window;
  memcpy(acc, table + int64_t(bigIntGetBits(exponent, pos, window)) * n, size_t(n) * 8);
  while (pos > 0) {
    pos -= window;
    for (int i = 0; i < window; i++) montSquare(acc, acc, ctx, t);
    uint32_t digit = bigIntGetBits(exponent, pos, window);
    if (digit != 0) montMul(acc, acc, table + int64_t(digit) * n, ctx, t);
  }
  // Leave Montgomery form: multiply by plain 1.
  memset(baseWords, 0, size_t(n) * 8);
  baseWords[0] = 1;
  montMul(acc, acc, baseWords, ctx, t);
  bigIntSetWords(r, acc, n);
  return 1;
}

int BigInt_Random(BigInt *r, const BigInt *limit) {
  CLASS_CHECK(r, kBigIntTag);
  CLASS_CHECK(limit, kBigIntTag);
  const int bits = limit->Negative ? 0 : BigInt_GetBitLength(limit);
  if (bits < 2) {  // limit 1 or less: 1 .. limit - 1 is empty
    BigInt_Clear(r);
    return 0;
  }
  const int bytes = (bits + 7) / 8;
  BigIntScratch<uint8_t, 1024> drawScratch(bytes);
  uint8_t *draw = drawScratch.get();
  BigInt candidate;
  BigInt_InitInPlace(&candidate);
  // Rejection keeps every value of 1 .. limit - 1 equally likely; each draw
  // succeeds with probability above 1/2 less the one zero value.
  do {
    Platform_RandomBytes(draw, size_t(bytes));
    draw[0] &= uint8_t(0xFF >> (bytes * 8 - bits));
    BigInt_FromBytes(&candidate, draw, bytes);
  } while (candidate.Length == 0 ||
           limbsCompare(candidate.Limbs, candidate.Length, limit->Limbs, limit->Length) >= 0);
  BigInt_Copy(r, &candidate);
  BigInt_FreeLimbs(&candidate);
  return 1;
}

// ---- Conversions ------------------------------------------------------------------

int BigInt_FromBytes(BigInt *n, const void *bytes, int count) {
  CLASS_CHECK(n, kBigIntTag);
  if (count < 0 || count > kBigIntMaxBits / 8) {
    BigInt_Clear(n);
    return 0;
  }
  if (count == 0) return BigInt_Clear(n);
  CHECK_POINTER(bytes);
  const auto *in = static_cast<const uint8_t *>(bytes);
  const int limbs = (count + 3) / 4;
  bigIntGrow(n, limbs);
  for (int i = 0; i < limbs; i++) {
    uint32_t limb = 0;
    for (int k = 3; k >= 0; k--) {
      int index = count - 1 - (4 * i + k);  // byte of weight 256^(4i + k)
      limb = (limb << 8) | (index >= 0 ? in[index] : 0);
    }
    n->Limbs[i] = limb;
  }
  n->Length = limbs;
  n->Negative = 0;
  bigIntTrim(n);
  return 1;
}

int BigInt_ToBytes(const BigInt *n, void *out, int size, int *written) {
  CLASS_CHECK(n, kBigIntTag);
  CHECK_POINTER(written);
  *written = 0;
  const int length = BigInt_GetByteLength(n);
  if (size < length) return 0;
  if (length == 0) return 1;
  CHECK_POINTER(out);
  auto *bytes = static_cast<uint8_t *>(out);
  for (int i = 0; i < length; i++) {
    int index = length - 1 - i;  // weight 256^index
    bytes[i] = uint8_t(n->Limbs[index / 4] >> (8 * (index % 4)));
  }
  *written = length;
  return 1;
}

int BigInt_ToBytesPadded(const BigInt *n, void *out, int size) {
  CLASS_CHECK(n, kBigIntTag);
  const int length = BigInt_GetByteLength(n);
  if (size < length) return 0;
  if (size == 0) return 1;
  CHECK_POINTER(out);
  auto *bytes = static_cast<uint8_t *>(out);
  memset(bytes, 0, size_t(size - length));
  int written = 0;
  return BigInt_ToBytes(n, bytes + (size - length), length, &written);
}

namespace {

int bigIntHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int BigInt_FromHex(BigInt *n, const char *text) {
  CLASS_CHECK(n, kBigIntTag);
  CHECK_POINTER(text);
  int negative = 0;
  if (*text == '-') {
    negative = 1;
    text++;
  }
  int64_t digits = 0;
  while (digits <= kBigIntMaxBits / 4 && bigIntHexValue(text[digits]) >= 0) digits++;
  if (digits == 0 || digits > kBigIntMaxBits / 4) {
    BigInt_Clear(n);
    return 0;
  }
  const int limbs = int((digits + 7) / 8);
  bigIntGrow(n, limbs);
  // Eight digits per limb, counted from the last digit.
  for (int i = 0; i < limbs; i++) {
    int64_t end = digits - 8 * int64_t(i), begin = end - 8 > 0 ? end - 8 : 0;
    uint32_t limb = 0;
    for (int64_t k = begin; k < end; k++) limb = (limb << 4) | uint32_t(bigIntHexValue(text[k]));
    n->Limbs[i] = limb;
  }
  n->Length = limbs;
  n->Negative = negative;
  bigIntTrim(n);
  return 1;
}

int BigInt_ToHex(const BigInt *n, char *out) {
  CLASS_CHECK(n, kBigIntTag);
  CHECK_POINTER(out);
  out[0] = '\0';
  uint8_t bytes[kBigIntHexMaxBytes];
  int length = 0;
  if (!BigInt_ToBytes(n, bytes, kBigIntHexMaxBytes, &length)) return 0;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int i = 0; i < length; i++) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  out[2 * length] = '\0';
  return 1;
}
