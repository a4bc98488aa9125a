// RSA keys, PKCS#1 v1.5 and the constant-time CRT signature; see rsa.h.
//
// Public operations (encryption, verification, the check of a fresh
// signature) go through BigInt_ModExp over the modulus context made at
// import. Private operations never touch a BigInt: BigInt values are trimmed,
// so their lengths and loops would show leading zero bits of secrets.
// Instead the private block holds every secret on fixed-width 64-bit words
// (L words for both primes, nw words for n), and signing runs on them with
// Montgomery products whose final subtraction is a masked select, a fixed
// 5-bit window whose table is read by a masked scan of every entry, and
// message blinding by a pair (r^e, r^-1) that is squared after each use.
#include "core/security/rsa.h"

#include <cstring>

#include "core/platform/platform.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/security/asn.h"
#include "core/security/auth.h"
#include "core/security/cryptsymmetric.h"
#include "core/security/ctcheck.h"

struct RsaPrivate {
  int32_t words;   // L: words of the larger prime
  int32_t nWords;  // nw: words of n
  uint64_t n0;     // -n^-1 mod 2^64
  int64_t bytes;   // the whole allocation
  int64_t secretWords;
  uint64_t *n;       // nw words, public
  uint64_t *secret;  // the secret words, laid out as the offsets below
  uint64_t *scratch;
  int64_t scratchWords;
};

namespace {

typedef unsigned __int128 RsaWide;

constexpr int kRsaWindowBits = 5;
constexpr int kRsaWindowEntries = 1 << kRsaWindowBits;

// ---- Secret layout ----------------------------------------------------------------

// Offsets (in words) of the secrets inside RsaPrivate::secret.
struct RsaLayout {
  int64_t p, q, dP, dQ, qInv, rrP, rrQ, r3P, r3Q, viR, vfR, p0, q0, total;
  RsaLayout(int L, int nw) {
    p = 0;
    q = p + L;
    dP = q + L;
    dQ = dP + L;
    qInv = dQ + L;
    rrP = qInv + L;
    rrQ = rrP + L;
    r3P = rrQ + L;  // R^3 mod p: takes a Montgomery reduction's x R^-1 to x R
    r3Q = r3P + L;
    viR = r3Q + L;  // r^e * R_n mod n: the blinding factor
    vfR = viR + nw;  // r^-1 * R_n mod n: its undoing
    p0 = vfR + nw;   // -p^-1 mod 2^64
    q0 = p0 + 1;
    total = q0 + 1;
  }
};

// ---- Masks --------------------------------------------------------------------------

// All ones for bit 1, zero for 0. The empty asm hides the value from the
// optimiser, so a select built on it stays arithmetic instead of a branch.
inline uint64_t rsaMask(uint64_t bit) {
  uint64_t mask = 0 - bit;
  __asm__("" : "+r"(mask));
  return mask;
}

// All ones when a == b.
inline uint64_t rsaMaskEqual(uint64_t a, uint64_t b) {
  uint64_t x = a ^ b;
  return rsaMask(1 ^ ((x | (0 - x)) >> 63));
}

// ---- Constant-time Montgomery arithmetic on fixed-width words -------------------------

struct RsaMont {
  const uint64_t *m;  // odd modulus of `words` words
  uint64_t m0;        // -m^-1 mod 2^64
  int words;
};

uint64_t rsaMontInverse(uint64_t m0) {
  // Newton's iteration: an odd m is its own inverse mod 8, and each step
  // doubles the correct low bits.
  uint64_t inverse = m0;
  for (int i = 0; i < 5; i++) inverse *= 2 - m0 * inverse;
  return 0 - inverse;
}

// r = t - m when t (words + 1 words, t < 2m) is at least m, else t; both
// candidates are computed and one is selected by mask.
void rsaFinalSubtract(uint64_t *r, const uint64_t *t, const RsaMont &mont) {
  const int L = mont.words;
  uint64_t borrow = 0;
  for (int j = 0; j < L; j++) {
    RsaWide d = RsaWide(t[j]) - mont.m[j] - borrow;
    r[j] = uint64_t(d);  // provisional: t - m
    borrow = uint64_t(d >> 64) & 1;
  }
  // t >= m unless the top word is 0 and the subtraction borrowed.
  const uint64_t keep = rsaMask(t[L] | (borrow ^ 1));
  for (int j = 0; j < L; j++) r[j] = (r[j] & keep) | (t[j] & ~keep);
}

// r = a * b * R^-1 mod m for a, b below m; r may be a or b. t holds
// words + 2 words.
void rsaMontMul(uint64_t *r, const uint64_t *a, const uint64_t *b, const RsaMont &mont,
                uint64_t *t) {
  const int L = mont.words;
  const uint64_t *m = mont.m;
  memset(t, 0, size_t(L + 2) * 8);
  for (int i = 0; i < L; i++) {
    uint64_t carry = 0;
    const uint64_t bi = b[i];
    for (int j = 0; j < L; j++) {
      RsaWide p = RsaWide(a[j]) * bi + t[j] + carry;
      t[j] = uint64_t(p);
      carry = uint64_t(p >> 64);
    }
    RsaWide s = RsaWide(t[L]) + carry;
    t[L] = uint64_t(s);
    t[L + 1] = uint64_t(s >> 64);
    const uint64_t q = t[0] * mont.m0;
    RsaWide p = RsaWide(q) * m[0] + t[0];
    carry = uint64_t(p >> 64);
    for (int j = 1; j < L; j++) {
      p = RsaWide(q) * m[j] + t[j] + carry;
      t[j - 1] = uint64_t(p);
      carry = uint64_t(p >> 64);
    }
    s = RsaWide(t[L]) + carry;
    t[L - 1] = uint64_t(s);
    t[L] = t[L + 1] + uint64_t(s >> 64);
  }
  rsaFinalSubtract(r, t, mont);
}

// r = t * R^-1 mod m for t of 2 * words words (t[2 * words] is scratch)
// with t < m * R: each row adds the multiple of m that clears the lowest word
// still in use. t is destroyed.
void rsaRedc(uint64_t *r, uint64_t *t, const RsaMont &mont) {
  const int L = mont.words;
  uint64_t top = 0;
  for (int i = 0; i < L; i++) {
    const uint64_t q = t[i] * mont.m0;
    uint64_t carry = 0;
    for (int j = 0; j < L; j++) {
      RsaWide p = RsaWide(q) * mont.m[j] + t[i + j] + carry;
      t[i + j] = uint64_t(p);
      carry = uint64_t(p >> 64);
    }
    RsaWide s = RsaWide(t[i + L]) + carry + top;
    t[i + L] = uint64_t(s);
    top = uint64_t(s >> 64);
  }
  t[2 * L] = top;
  rsaFinalSubtract(r, t + L, mont);
}

// r = x * R^-1 mod m for x of 2 * words words with x < m * R. t holds
// 2 * words + 1 words.
void rsaMontReduce(uint64_t *r, const uint64_t *x, const RsaMont &mont, uint64_t *t) {
  memcpy(t, x, size_t(2 * mont.words) * 8);
  rsaRedc(r, t, mont);
}

// r = a * a * R^-1 mod m for a below m; r may be a. Each cross product is
// computed once and doubled, then the squares of the words are added: about
// three quarters of the products of rsaMontMul. t holds 2 * words + 1 words.
void rsaMontSquare(uint64_t *r, const uint64_t *a, const RsaMont &mont, uint64_t *t) {
  const int L = mont.words;
  memset(t, 0, size_t(2 * L + 1) * 8);
  for (int i = 0; i < L; i++) {
    uint64_t carry = 0;
    for (int j = i + 1; j < L; j++) {
      RsaWide p = RsaWide(a[i]) * a[j] + t[i + j] + carry;
      t[i + j] = uint64_t(p);
      carry = uint64_t(p >> 64);
    }
    t[i + L] = carry;
  }
  uint64_t shifted = 0;
  for (int i = 0; i < 2 * L; i++) {
    const uint64_t next = t[i] >> 63;
    t[i] = (t[i] << 1) | shifted;
    shifted = next;
  }
  uint64_t carry = 0;
  for (int i = 0; i < L; i++) {
    const RsaWide square = RsaWide(a[i]) * a[i];
    RsaWide s = RsaWide(t[2 * i]) + uint64_t(square) + carry;
    t[2 * i] = uint64_t(s);
    s = RsaWide(t[2 * i + 1]) + uint64_t(square >> 64) + uint64_t(s >> 64);
    t[2 * i + 1] = uint64_t(s);
    carry = uint64_t(s >> 64);
  }
  rsaRedc(r, t, mont);
}

// r = base^exponent in Montgomery form, for base in Montgomery form and an
// exponent of words words, all of whose bits are walked: fixed windows, a
// product for every window (entry 0 is one), and every table entry read.
// one is R mod m. table holds kRsaWindowEntries * words words, pick words
// and t 2 * words + 2.
void rsaMontExp(uint64_t *r, const uint64_t *base, const uint64_t *exponent, const uint64_t *one,
                const RsaMont &mont, uint64_t *table, uint64_t *pick, uint64_t *t) {
  const int L = mont.words;
  memcpy(table, one, size_t(L) * 8);
  memcpy(table + L, base, size_t(L) * 8);
  for (int i = 2; i < kRsaWindowEntries; i++)
    rsaMontMul(table + int64_t(i) * L, table + int64_t(i - 1) * L, base, mont, t);
  const int bits = 64 * L;
  memcpy(r, one, size_t(L) * 8);
  for (int pos = (bits - 1) / kRsaWindowBits * kRsaWindowBits; pos >= 0; pos -= kRsaWindowBits) {
    const int width = pos + kRsaWindowBits <= bits ? kRsaWindowBits : bits - pos;
    for (int i = 0; i < width; i++) rsaMontSquare(r, r, mont, t);
    // The window's bits: the positions are public, only the value is secret.
    const int index = pos / 64, offset = pos % 64;
    uint64_t digit = exponent[index] >> offset;
    if (offset + width > 64 && index + 1 < L) digit |= exponent[index + 1] << (64 - offset);
    digit &= (uint64_t(1) << width) - 1;
    memset(pick, 0, size_t(L) * 8);
    for (int e = 0; e < kRsaWindowEntries; e++) {
      const uint64_t mask = rsaMaskEqual(uint64_t(e), digit);
      const uint64_t *entry = table + int64_t(e) * L;
      for (int j = 0; j < L; j++) pick[j] |= entry[j] & mask;
    }
    rsaMontMul(r, r, pick, mont, t);
  }
}

// r = a - b mod m for a, b below m (words words).
void rsaSubMod(uint64_t *r, const uint64_t *a, const uint64_t *b, const RsaMont &mont) {
  uint64_t borrow = 0;
  for (int j = 0; j < mont.words; j++) {
    RsaWide d = RsaWide(a[j]) - b[j] - borrow;
    r[j] = uint64_t(d);
    borrow = uint64_t(d >> 64) & 1;
  }
  const uint64_t add = rsaMask(borrow);
  uint64_t carry = 0;
  for (int j = 0; j < mont.words; j++) {
    RsaWide s = RsaWide(r[j]) + (mont.m[j] & add) + carry;
    r[j] = uint64_t(s);
    carry = uint64_t(s >> 64);
  }
}

// ---- Words and bytes ------------------------------------------------------------------

// count words (least significant first) from big-endian bytes, zeros above.
void rsaWordsFromBytes(uint64_t *w, int count, const uint8_t *bytes, int length) {
  memset(w, 0, size_t(count) * 8);
  for (int i = 0; i < length && i / 8 < count; i++)
    w[i / 8] |= uint64_t(bytes[length - 1 - i]) << (8 * (i % 8));
}

void rsaWordsToBytes(uint8_t *bytes, int length, const uint64_t *w, int count) {
  for (int i = 0; i < length; i++)
    bytes[length - 1 - i] = i / 8 < count ? uint8_t(w[i / 8] >> (8 * (i % 8))) : 0;
}

// A value of at most count words as words (set up at import, not secret yet).
void rsaWordsFromBigInt(uint64_t *w, int count, const BigInt *value) {
  uint8_t bytes[kRsaMaxBlockBytes];
  const int length = count * 8 < kRsaMaxBlockBytes ? count * 8 : kRsaMaxBlockBytes;
  BigInt_ToBytesPadded(value, bytes, length);
  rsaWordsFromBytes(w, count, bytes, length);
  memset(bytes, 0, sizeof bytes);
}

int rsaWordsOf(const BigInt *value) { return (BigInt_GetBitLength(value) + 63) / 64; }

// ---- Values -----------------------------------------------------------------------------

// A scope's BigInt temporaries.
class RsaTemp {
 public:
  RsaTemp() { BigInt_InitInPlace(&value_); }
  ~RsaTemp() { BigInt_FreeLimbs(&value_); }
  RsaTemp(const RsaTemp &) = delete;
  RsaTemp &operator=(const RsaTemp &) = delete;
  BigInt *operator&() { return &value_; }

 private:
  BigInt value_;
};

// 2^bits mod m.
void rsaPowerOfTwoMod(BigInt *r, int bits, const BigInt *m) {
  BigInt_SetWord(r, 1);
  BigInt_ShiftLeft(r, r, bits);
  BigInt_Mod(r, r, m);
}

int rsaRefuse(RsaKey *key, const char *reason) {
  Log_Print(LOG_WARNING, KSRC, 0, "RSA key refused: %s\n", reason);
  Rsa_Clear(key);
  return 0;
}

// The reason a public key is refused, or NULL.
const char *rsaCheckPublic(const BigInt *exponent, const BigInt *modulus) {
  const int bits = BigInt_GetBitLength(modulus);
  if (BigInt_Sign(modulus) < 0) return "negative modulus";
  if (!BigInt_TestBit(modulus, 0)) return "even modulus";
  if (bits < kRsaMinModulusBits) return "modulus too short";
  if (bits > kRsaMaxModulusBits) return "modulus too long";
  if (BigInt_Sign(exponent) < 0) return "negative exponent";
  if (!BigInt_TestBit(exponent, 0)) return "even exponent";
  RsaTemp three;
  BigInt_SetWord(&three, 3);
  if (BigInt_Compare(exponent, &three) < 0) return "exponent below 3";
  if (BigInt_Compare(exponent, modulus) >= 0) return "exponent not below the modulus";
  return nullptr;
}

// A DER INTEGER that is not negative and has no redundant leading 00.
int rsaReadInteger(const Asn1Node *node, BigInt *value) {
  if (node == nullptr || Asn1_GetTag(node) != kAsn1Integer) return 0;
  const int32_t length = Asn1_GetContentLength(node);
  const uint8_t *content = Asn1_GetContent(node);
  if (length < 1 || (content[0] & 0x80) != 0) return 0;
  if (length > 1 && content[0] == 0 && (content[1] & 0x80) == 0) return 0;
  return BigInt_FromBytes(value, content, length);
}

// Parses der as exactly one SEQUENCE of count INTEGERs into values.
int rsaReadSequence(const void *der, int32_t length, BigInt **values, int count) {
  if (length <= 0) return 0;
  CHECK_POINTER(der);
  Asn1Node *document = nullptr;
  Asn1_Create(&document);
  int ok = Asn1_ParseBuffer(document, static_cast<const uint8_t *>(der), length) &&
           Asn1_GetChildCount(document) == 1;
  const Asn1Node *sequence = Asn1_GetChild(document, 0);
  ok = ok && Asn1_GetTag(sequence) == kAsn1Sequence && Asn1_GetChildCount(sequence) == count;
  for (int i = 0; ok && i < count; i++) ok = rsaReadInteger(Asn1_GetChild(sequence, i), values[i]);
  Asn1_Release(&document);
  return ok;
}

// Sets modulus and exponent after the checks; the key is cleared first.
int rsaSetPublicChecked(RsaKey *key, const BigInt *exponent, const BigInt *modulus) {
  Rsa_Clear(key);
  if (const char *reason = rsaCheckPublic(exponent, modulus)) return rsaRefuse(key, reason);
  BigInt_ModContextInit(&key->ModulusContext, modulus);
  BigInt_Copy(&key->Modulus, modulus);
  BigInt_Copy(&key->PublicExponent, exponent);
  return 1;
}

int rsaByteLength(const RsaKey *key) { return BigInt_ModContextGetByteLength(key->ModulusContext); }

// ---- The private block -------------------------------------------------------------------

void rsaPrivateFree(RsaPrivate **block) {
  RsaPrivate *b = *block;
  if (b == nullptr) return;
  *block = nullptr;
  const int64_t bytes = b->bytes;
  // volatile: the wipe of a block about to be freed must not be optimised away.
  volatile uint8_t *p = reinterpret_cast<volatile uint8_t *>(b);
  for (int64_t i = 0; i < bytes; i++) p[i] = 0;
  MEM_FREE(b, bytes);
}

// Montgomery views of the three moduli.
RsaMont rsaMontN(const RsaPrivate *b) { return RsaMont{b->n, b->n0, b->nWords}; }
RsaMont rsaMontP(const RsaPrivate *b, const RsaLayout &at) {
  return RsaMont{b->secret + at.p, b->secret[at.p0], b->words};
}
RsaMont rsaMontQ(const RsaPrivate *b, const RsaLayout &at) {
  return RsaMont{b->secret + at.q, b->secret[at.q0], b->words};
}

// The blinding pair (r^e, r^-1) for a fresh random r, in Montgomery form.
void rsaNewBlinding(RsaPrivate *b, const RsaLayout &at, const BigInt *e, const BigInt *n,
                    const BigIntModContext *context) {
  RsaTemp r, factor, inverse, rModN;
  do {
    BigInt_Random(&r, n);
  } while (!BigInt_InverseMod(&inverse, &r, n));
  BigInt_ModExp(&factor, &r, e, context);
  rsaPowerOfTwoMod(&rModN, 64 * b->nWords, n);
  BigInt_MulMod(&factor, &factor, &rModN, n);
  BigInt_MulMod(&inverse, &inverse, &rModN, n);
  rsaWordsFromBigInt(b->secret + at.viR, b->nWords, &factor);
  rsaWordsFromBigInt(b->secret + at.vfR, b->nWords, &inverse);
}

// Builds the private block from checked members (p * q = n).
RsaPrivate *rsaPrivateBuild(const RsaKey *key, BigInt *const *m) {
  const BigInt *n = m[1], *p = m[4], *q = m[5];
  const int L = rsaWordsOf(p) > rsaWordsOf(q) ? rsaWordsOf(p) : rsaWordsOf(q);
  const int nw = rsaWordsOf(n);
  const RsaLayout at(L, nw);
  // Scratch: the window table, two exponent results, the pick, products of
  // 2L words, n-sized values and the reduction's 2L + 1 words.
  const int64_t scratchWords = int64_t(kRsaWindowEntries) * L + 8 * int64_t(L) + 4 * int64_t(nw) + 8;
  const int64_t words = int64_t(nw) + at.total + scratchWords;
  const int64_t bytes = int64_t(sizeof(RsaPrivate)) + words * 8;
  auto *b = static_cast<RsaPrivate *>(MEM_ALLOC(bytes, MEM_ZEROED));
  b->words = L;
  b->nWords = nw;
  b->bytes = bytes;
  b->secretWords = at.total;
  b->n = reinterpret_cast<uint64_t *>(b + 1);
  b->secret = b->n + nw;
  b->scratch = b->secret + at.total;
  b->scratchWords = scratchWords;
  rsaWordsFromBigInt(b->n, nw, n);
  b->n0 = rsaMontInverse(b->n[0]);
  RsaTemp rr;
  uint64_t *s = b->secret;
  rsaWordsFromBigInt(s + at.p, L, p);
  rsaWordsFromBigInt(s + at.q, L, q);
  rsaWordsFromBigInt(s + at.dP, L, m[6]);
  rsaWordsFromBigInt(s + at.dQ, L, m[7]);
  rsaWordsFromBigInt(s + at.qInv, L, m[8]);
  rsaPowerOfTwoMod(&rr, 128 * L, p);
  rsaWordsFromBigInt(s + at.rrP, L, &rr);
  rsaPowerOfTwoMod(&rr, 128 * L, q);
  rsaWordsFromBigInt(s + at.rrQ, L, &rr);
  rsaPowerOfTwoMod(&rr, 192 * L, p);
  rsaWordsFromBigInt(s + at.r3P, L, &rr);
  rsaPowerOfTwoMod(&rr, 192 * L, q);
  rsaWordsFromBigInt(s + at.r3Q, L, &rr);
  s[at.p0] = rsaMontInverse(s[at.p]);
  s[at.q0] = rsaMontInverse(s[at.q]);
  rsaNewBlinding(b, at, &key->PublicExponent, n, key->ModulusContext);
  return b;
}

// The reason a private key's members (version, n, e, d, p, q, dP, dQ,
// qInv; n and e already checked) are refused, or NULL.
const char *rsaCheckPrivate(BigInt *const *m) {
  const BigInt *n = m[1], *d = m[3], *p = m[4], *q = m[5];
  if (BigInt_Sign(m[0]) != 0) return "unsupported version";
  if (BigInt_Sign(d) <= 0 || BigInt_Compare(d, n) >= 0) return "private exponent out of range";
  RsaTemp product, bound, check, one;
  BigInt_SetWord(&one, 1);
  for (const BigInt *prime : {p, q})
    if (!BigInt_TestBit(prime, 0) || BigInt_GetBitLength(prime) < 2) return "bad prime";
  // p * q below 2^(bits p + bits q) < bound, so the product mod bound is exact.
  BigInt_SetWord(&bound, 1);
  BigInt_ShiftLeft(&bound, &bound, BigInt_GetBitLength(p) + BigInt_GetBitLength(q));
  BigInt_Add(&bound, &bound, &one);
  BigInt_MulMod(&product, p, q, &bound);
  if (!BigInt_Equals(&product, n)) return "p * q differs from the modulus";
  struct Range {
    const BigInt *value, *below;
    const char *reason;
  } ranges[] = {
      {m[6], p, "dP out of range"}, {m[7], q, "dQ out of range"}, {m[8], p, "qInv out of range"}};
  for (const Range &range : ranges)
    if (BigInt_Sign(range.value) <= 0 || BigInt_Compare(range.value, range.below) >= 0)
      return range.reason;
  BigInt_MulMod(&check, m[8], q, p);
  if (!BigInt_Equals(&check, &one)) return "qInv is not the inverse of q";
  return nullptr;
}

// s = the block m raised to d, CRT with blinding, in constant time; m and s
// are k bytes. The blinding pair moves on.
void rsaPrivateOp(RsaPrivate *b, const uint8_t *m, uint8_t *s, int k) {
  const int L = b->words, nw = b->nWords;
  const RsaLayout at(L, nw);
  uint64_t *sec = b->secret;
  const RsaMont mn = rsaMontN(b), mp = rsaMontP(b, at), mq = rsaMontQ(b, at);
  uint64_t *table = b->scratch;
  uint64_t *sp = table + int64_t(kRsaWindowEntries) * L;  // L
  uint64_t *sq = sp + L;                                   // L
  uint64_t *pick = sq + L;                                 // L
  uint64_t *one = pick + L;                                // L
  uint64_t *wide = one + L;                                // 2L + 1
  uint64_t *t = wide + 2 * L + 1;                          // 2L + 2
  uint64_t *mb = t + 2 * L + 2;                            // nw: the blinded block
  uint64_t *sn = mb + nw;                                  // nw
  uint64_t *tn = sn + nw;                                  // nw + 2

  // Blind: mb = m * r^e mod n.
  rsaWordsFromBytes(sn, nw, m, k);
  rsaMontMul(mb, sn, sec + at.viR, mn, tn);

  // Each half: (mb mod prime) in Montgomery form, then raised to its exponent.
  auto half = [&](uint64_t *out, const RsaMont &mont, const uint64_t *rr, const uint64_t *r3,
                  const uint64_t *exponent) {
    memset(wide, 0, size_t(2 * L) * 8);
    memcpy(wide, mb, size_t(nw) * 8);
    rsaMontReduce(pick, wide, mont, t);  // mb R^-1; mb < n < prime * R
    rsaMontMul(pick, pick, r3, mont, t);  // mb R
    memset(one, 0, size_t(L) * 8);
    one[0] = 1;
    rsaMontMul(one, rr, one, mont, t);  // R mod prime
    rsaMontExp(out, pick, exponent, one, mont, table, wide, t);
  };
  half(sp, mp, sec + at.rrP, sec + at.r3P, sec + at.dP);  // Montgomery form
  half(sq, mq, sec + at.rrQ, sec + at.r3Q, sec + at.dQ);
  memset(one, 0, size_t(L) * 8);
  one[0] = 1;
  rsaMontMul(sq, sq, one, mq, t);  // leave Montgomery form: sq < q

  // h = (sp - sq) * qInv mod p, with sq brought into p's Montgomery form.
  memset(wide, 0, size_t(2 * L) * 8);
  memcpy(wide, sq, size_t(L) * 8);
  rsaMontReduce(pick, wide, mp, t);
  rsaMontMul(pick, pick, sec + at.r3P, mp, t);
  rsaSubMod(sp, sp, pick, mp);
  rsaMontMul(sp, sp, sec + at.qInv, mp, t);  // Montgomery form times plain: plain h

  // s = sq + q * h (below n), then unblinded by r^-1.
  memset(wide, 0, size_t(2 * L + 1) * 8);
  for (int i = 0; i < L; i++) {
    uint64_t carry = 0;
    for (int j = 0; j < L; j++) {
      RsaWide p = RsaWide(sec[at.q + j]) * sp[i] + wide[i + j] + carry;
      wide[i + j] = uint64_t(p);
      carry = uint64_t(p >> 64);
    }
    wide[i + L] = carry;
  }
  uint64_t carry = 0;
  for (int j = 0; j < 2 * L; j++) {
    RsaWide sum = RsaWide(wide[j]) + (j < L ? sq[j] : 0) + carry;
    wide[j] = uint64_t(sum);
    carry = uint64_t(sum >> 64);
  }
  rsaMontMul(sn, wide, sec + at.vfR, mn, tn);

  // The pair moves on: (r^e)^2 and (r^-1)^2 blind the next signature.
  rsaMontMul(sec + at.viR, sec + at.viR, sec + at.viR, mn, tn);
  rsaMontMul(sec + at.vfR, sec + at.vfR, sec + at.vfR, mn, tn);

  // The signature is about to be public: the checker may follow it now.
  CT_MARK_PUBLIC(sn, size_t(nw) * 8);
  rsaWordsToBytes(s, k, sn, nw);
  memset(b->scratch, 0, size_t(b->scratchWords) * 8);
}

// r = input^e mod n as k bytes into out; 0 when input is not below n.
int rsaPublicOp(RsaKey *key, const uint8_t *input, uint8_t *out, int k) {
  BigInt_FromBytes(&key->Input, input, k);
  if (BigInt_Compare(&key->Input, &key->Modulus) >= 0) return 0;
  BigInt_ModExp(&key->Result, &key->Input, &key->PublicExponent, key->ModulusContext);
  return BigInt_ToBytesPadded(&key->Result, out, k);
}

// 00 type PS 00 data into block (k bytes); PS is FF for type 1, random non-
// zero bytes for type 2.
void rsaPad(uint8_t *block, int k, int type, const void *data, int length) {
  const int ps = k - 3 - length;
  block[0] = 0;
  block[1] = uint8_t(type);
  if (type == 1) {
    memset(block + 2, 0xFF, size_t(ps));
  } else {
    Platform_RandomBytes(block + 2, size_t(ps));
    for (int i = 0; i < ps; i++)
      if (block[2 + i] == 0) block[2 + i] = 1;
  }
  block[2 + ps] = 0;
  if (length > 0) memcpy(block + 3 + ps, data, size_t(length));
}

// The shared checks of Encrypt and Sign: a key, data within k - 11 bytes and
// an output above k bytes. Returns k, or 0.
int rsaCheckOutput(RsaKey *key, const void *data, int32_t length, void *out, int32_t size,
                   int32_t *written) {
  CHECK_POINTER(written);
  *written = 0;
  if (key->ModulusContext == nullptr || length < 0) return 0;
  const int k = rsaByteLength(key);
  if (length > k - kRsaPaddingOverhead || size <= k) return 0;
  if (length > 0) CHECK_POINTER(data);
  CHECK_POINTER(out);
  return k;
}

// The DER DigestInfo header (with NULL parameters) that a digest of this
// length follows; NULL for lengths without a hash.
const uint8_t *rsaDigestInfoPrefix(int digestLength, int *prefixLength) {
  static constexpr uint8_t kMd5[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                     0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
  static constexpr uint8_t kSha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                      0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  // SHA-2: the same shape, differing in the OID's last byte and the lengths.
  static constexpr uint8_t kSha224[] = {0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x04, 0x05, 0x00, 0x04, 0x1c};
  static constexpr uint8_t kSha256[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  static constexpr uint8_t kSha384[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
  static constexpr uint8_t kSha512[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
  struct Entry {
    int digestLength;
    const uint8_t *prefix;
    int length;
  };
  static constexpr Entry kTable[] = {
      {16, kMd5, sizeof kMd5},         {20, kSha1, sizeof kSha1},
      {28, kSha224, sizeof kSha224},   {32, kSha256, sizeof kSha256},
      {48, kSha384, sizeof kSha384},   {64, kSha512, sizeof kSha512},
  };
  for (const Entry &entry : kTable) {
    if (entry.digestLength == digestLength) {
      *prefixLength = entry.length;
      return entry.prefix;
    }
  }
  return nullptr;
}

// Builds the expected type-1 block of k bytes: padding, then head and the
// digest. Returns 0 when fewer than 8 padding bytes would remain.
int rsaExpectedBlock(uint8_t *block, int k, const uint8_t *head, int headLength,
                     const void *digest, int digestLength) {
  const int ps = k - 3 - headLength - digestLength;
  if (ps < kRsaPaddingOverhead - 3) return 0;
  rsaPad(block, k, 1, nullptr, 0);  // 00 01 FF .. FF 00 over the whole block, then the tail
  block[2 + ps] = 0;
  if (headLength > 0) memcpy(block + 3 + ps, head, size_t(headLength));
  if (digestLength > 0) memcpy(block + 3 + ps + headLength, digest, size_t(digestLength));
  return 1;
}

void rsaKeyDestroy(void **object) {
  auto *key = static_cast<RsaKey *>(*object);
  Rsa_Clear(key);
  BigInt_FreeLimbs(&key->PublicExponent);
  BigInt_FreeLimbs(&key->PrivateExponent);
  BigInt_FreeLimbs(&key->Input);
  BigInt_FreeLimbs(&key->Result);
  BigInt_FreeLimbs(&key->Modulus);
  key->header.classTag = 0;
  MEM_FREE(key, int64_t(sizeof *key));
}

}  // namespace

int Rsa_Create(RsaKey **key) {
  CHECK_POINTER(key);
  auto *k = static_cast<RsaKey *>(MEM_ALLOC(int64_t(sizeof(RsaKey)), MEM_ZEROED));
  k->header.classTag = kRsaKeyTag;
  k->header.refCount.store(1, std::memory_order_relaxed);
  k->header.destroy = rsaKeyDestroy;
  Class_GenerateInstanceId(&k->header);
  BigInt_InitInPlace(&k->PublicExponent);
  BigInt_InitInPlace(&k->PrivateExponent);
  BigInt_InitInPlace(&k->Input);
  BigInt_InitInPlace(&k->Result);
  BigInt_InitInPlace(&k->Modulus);
  *key = k;
  return 1;
}

int Rsa_Release(RsaKey **key) {
  CHECK_POINTER(key);
  CLASS_CHECK(*key, kRsaKeyTag);
  Class_ReleaseObject(key);
  return 1;
}

int Rsa_SetParameters(RsaKey *key, const char *) {
  CLASS_CHECK(key, kRsaKeyTag);
  return 1;
}

int Rsa_HasPrivateKey(RsaKey *key) {
  CLASS_CHECK(key, kRsaKeyTag);
  return key->HasPrivateKey;
}

int Rsa_ImportPrivate(RsaKey *key, const void *der, int32_t length) {
  CLASS_CHECK(key, kRsaKeyTag);
  Rsa_Clear(key);
  RsaTemp version, n, e, d, p, q, dP, dQ, qInv;
  BigInt *members[] = {&version, &n, &e, &d, &p, &q, &dP, &dQ, &qInv};
  if (!rsaReadSequence(der, length, members, 9)) return rsaRefuse(key, "not a PKCS#1 private key");
  if (!rsaSetPublicChecked(key, &e, &n)) return 0;
  if (const char *reason = rsaCheckPrivate(members)) return rsaRefuse(key, reason);
  BigInt_Copy(&key->PrivateExponent, &d);
  key->Private = rsaPrivateBuild(key, members);
  key->HasPrivateKey = 1;
  return 1;
}

int Rsa_ImportPublic(RsaKey *key, const void *der, int32_t length) {
  CLASS_CHECK(key, kRsaKeyTag);
  Rsa_Clear(key);
  RsaTemp n, e;
  BigInt *members[] = {&n, &e};
  if (!rsaReadSequence(der, length, members, 2)) return rsaRefuse(key, "not a PKCS#1 public key");
  return rsaSetPublicChecked(key, &e, &n);
}

int Rsa_SetPublic(RsaKey *key, const BigInt *exponent, const BigInt *modulus) {
  CLASS_CHECK(key, kRsaKeyTag);
  CLASS_CHECK(exponent, kBigIntTag);
  CLASS_CHECK(modulus, kBigIntTag);
  return rsaSetPublicChecked(key, exponent, modulus);
}

int Rsa_SetModulus(RsaKey *key, const BigInt *modulus) {
  CLASS_CHECK(key, kRsaKeyTag);
  CLASS_CHECK(modulus, kBigIntTag);
  Rsa_Clear(key);
  // The smallest exponent stands in, so that the modulus alone is judged.
  RsaTemp three;
  BigInt_SetWord(&three, 3);
  if (const char *reason = rsaCheckPublic(&three, modulus)) return rsaRefuse(key, reason);
  BigInt_ModContextInit(&key->ModulusContext, modulus);
  BigInt_Copy(&key->Modulus, modulus);
  return 1;
}

int Rsa_Encrypt(RsaKey *key, const void *data, int32_t length, void *out, int32_t size,
                int32_t *written) {
  CLASS_CHECK(key, kRsaKeyTag);
  const int k = rsaCheckOutput(key, data, length, out, size, written);
  if (k == 0) return 0;
  uint8_t block[kRsaMaxBlockBytes];
  rsaPad(block, k, 2, data, length);
  const int ok = rsaPublicOp(key, block, static_cast<uint8_t *>(out), k);
  memset(block, 0, size_t(k));
  if (ok) *written = k;
  return ok;
}

int Rsa_Sign(RsaKey *key, const void *data, int32_t length, void *out, int32_t size,
             int32_t *written) {
  CLASS_CHECK(key, kRsaKeyTag);
  if (!key->HasPrivateKey) {
    CHECK_POINTER(written);
    *written = 0;
    return 0;
  }
  const int k = rsaCheckOutput(key, data, length, out, size, written);
  if (k == 0) return 0;
  uint8_t block[kRsaMaxBlockBytes], check[kRsaMaxBlockBytes];
  rsaPad(block, k, 1, data, length);
  auto *signature = static_cast<uint8_t *>(out);
  rsaPrivateOp(key->Private, block, signature, k);
  // A fault inside the private operation would give out a signature that
  // factors n: the result leaves only when it verifies.
  if (!rsaPublicOp(key, signature, check, k) || !Crypt_ConstantTimeEqual(check, block, k)) {
    Log_Print(LOG_ERROR, KSRC, 0, "RSA signature failed its check\n");
    memset(signature, 0, size_t(k));
    return 0;
  }
  *written = k;
  return 1;
}

int Rsa_Verify(RsaKey *key, const void *digest, int32_t digestLength, const void *signature,
               int32_t signatureLength, int32_t mode) {
  CLASS_CHECK(key, kRsaKeyTag);
  if (!Authenticate_Enabled()) return 1;
  if (key->ModulusContext == nullptr) return 0;
  if (digestLength >= kRsaMaxBlockBytes)
    Core_Abort(KSRC, "Assertion failed (DigestSize < Element_Count(Block))\nRSA digest overflow");
  const int k = rsaByteLength(key);
  if (digestLength < 0 || signatureLength != k) return 0;
  if (digestLength > 0) CHECK_POINTER(digest);
  CHECK_POINTER(signature);
  uint8_t block[kRsaMaxBlockBytes], expected[kRsaMaxBlockBytes];
  if (!rsaPublicOp(key, static_cast<const uint8_t *>(signature), block, k)) return 0;
  if (mode == 1) {
    return rsaExpectedBlock(expected, k, nullptr, 0, digest, digestLength) &&
           Crypt_ConstantTimeEqual(block, expected, k);
  }
  int prefixLength = 0;
  const uint8_t *prefix = rsaDigestInfoPrefix(digestLength, &prefixLength);
  if (prefix == nullptr) return 0;
  // The same DigestInfo with the parameters left out: no 05 00, and both
  // SEQUENCE lengths two shorter.
  uint8_t absent[32];
  const int absentLength = prefixLength - 2;
  memcpy(absent, prefix, size_t(prefixLength - 4));
  memcpy(absent + prefixLength - 4, prefix + prefixLength - 2, 2);
  absent[1] = uint8_t(absent[1] - 2);
  absent[3] = uint8_t(absent[3] - 2);
  int match = 0;
  if (rsaExpectedBlock(expected, k, prefix, prefixLength, digest, digestLength))
    match |= Crypt_ConstantTimeEqual(block, expected, k);
  if (rsaExpectedBlock(expected, k, absent, absentLength, digest, digestLength))
    match |= Crypt_ConstantTimeEqual(block, expected, k);
  return match;
}

int Rsa_Clear(RsaKey *key) {
  CLASS_CHECK(key, kRsaKeyTag);
  key->HasPrivateKey = 0;
  if (key->ModulusContext != nullptr) BigInt_ModContextRelease(&key->ModulusContext);
  rsaPrivateFree(&key->Private);
  // Zero the limbs, not only the lengths: d is secret.
  for (BigInt *value : {&key->PrivateExponent, &key->Input, &key->Result}) {
    if (value->Limbs != nullptr) memset(value->Limbs, 0, size_t(value->Capacity) * 4);
    BigInt_Clear(value);
  }
  BigInt_Clear(&key->PublicExponent);
  BigInt_Clear(&key->Modulus);
  return 1;
}

void Rsa_GetSecretsForTest(RsaKey *key, void **secrets, int64_t *bytes) {
  CLASS_CHECK(key, kRsaKeyTag);
  CHECK_POINTER(secrets);
  CHECK_POINTER(bytes);
  *secrets = key->Private != nullptr ? key->Private->secret : nullptr;
  *bytes = key->Private != nullptr ? key->Private->secretWords * 8 : 0;
}
