// AES-GCM contexts and the three GHASH kernels (4-bit tables; carry-less
// multiply with CTR eight blocks wide; the same on 256-bit vectors, sixteen
// blocks wide); see aesgcm.h.
#include "core/security/aesgcm.h"

#include <atomic>
#include <cstring>

#include "core/security/aes_ni.h"
#include "core/runtime/cpufeatures.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

// One GHASH kernel. ghash folds whole blocks into y (standard byte order);
// encrypt and decrypt run CTR over whole blocks from the counter after
// gcm->Counter, fold the ciphertext into gcm->Ghash and leave the last
// counter used in gcm->Counter. in == out is allowed.
struct AesGcmKernel {
  const char *name;
  void (*init)(AesGcmContext *gcm, const uint8_t h[16]);
  void (*ghash)(const AesGcmContext *gcm, uint8_t y[16], const uint8_t *data, size_t blocks);
  void (*encrypt)(AesGcmContext *gcm, const uint8_t *in, uint8_t *out, size_t blocks);
  void (*decrypt)(AesGcmContext *gcm, const uint8_t *in, uint8_t *out, size_t blocks);
};

namespace {

// The counter's low 32 bits wrap after 2^32 - 2 blocks of data; the standard
// caps a message below that.
constexpr uint64_t kAesGcmMaxMessageBytes = (uint64_t(1) << 36) - 32;
constexpr size_t kAesGcmBatchBlocks = 16;  // portable CTR: key stream made this many at a time

inline uint64_t gcmLoad64be(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v = (v << 8) | p[i];
  return v;
}

inline void gcmStore64be(uint8_t *p, uint64_t v) {
  for (int i = 7; i >= 0; i--, v >>= 8) p[i] = uint8_t(v);
}

// inc32: the low 32 bits of the counter block, big-endian, wrapping.
inline void gcmIncrement(uint8_t counter[16]) {
  for (int i = 15; i >= 12; i--)
    if (++counter[i] != 0) break;
}

inline void gcmXor(uint8_t *out, const uint8_t *a, const uint8_t *b, size_t length) {
  for (size_t i = 0; i < length; i++) out[i] = uint8_t(a[i] ^ b[i]);
}

// ---- portable kernel: Shoup's 4-bit tables ------------------------------------

// What falls off the low end when the product shifts four bits: the
// reduction of each 4-bit remainder, already placed for the top 16 bits.
constexpr uint64_t kGcmReduce4[16] = {
    0x0000, 0x1c20, 0x3840, 0x2460, 0x7080, 0x6ca0, 0x48c0, 0x54e0,
    0xe100, 0xfd20, 0xd940, 0xc560, 0x9180, 0x8da0, 0xa9c0, 0xb5e0,
};

// Table entry n is n times H, where the bits of n (8, 4, 2, 1) stand for
// x^0..x^3 in the field's reflected bit order.
void gcmInitPortable(AesGcmContext *gcm, const uint8_t h[16]) {
  uint64_t *high = gcm->TableHigh, *low = gcm->TableLow;
  uint64_t vh = gcmLoad64be(h), vl = gcmLoad64be(h + 8);
  high[0] = low[0] = 0;
  high[8] = vh;
  low[8] = vl;
  for (int i = 4; i > 0; i >>= 1) {
    // Multiply by x: shift right one bit, folding the bit that leaves with 0xE1.
    uint64_t carry = (0 - (vl & 1)) & 0xe100000000000000ull;
    vl = (vh << 63) | (vl >> 1);
    vh = (vh >> 1) ^ carry;
    high[i] = vh;
    low[i] = vl;
  }
  for (int i = 2; i <= 8; i *= 2)
    for (int j = 1; j < i; j++) {
      high[i + j] = high[i] ^ high[j];
      low[i + j] = low[i] ^ low[j];
    }
}

// y = y * H, four bits at a time from the last byte to the first.
void gcmMultiplyPortable(const AesGcmContext *gcm, uint8_t y[16]) {
  const uint64_t *high = gcm->TableHigh, *low = gcm->TableLow;
  uint64_t zh = 0, zl = 0;
  for (int i = 15; i >= 0; i--) {
    for (int half = 0; half < 2; half++) {
      int nibble = half == 0 ? (y[i] & 0xf) : (y[i] >> 4);
      if (i != 15 || half != 0) {
        int remainder = int(zl & 0xf);
        zl = (zh << 60) | (zl >> 4);
        zh = (zh >> 4) ^ (kGcmReduce4[remainder] << 48);
      }
      zh ^= high[nibble];
      zl ^= low[nibble];
    }
  }
  gcmStore64be(y, zh);
  gcmStore64be(y + 8, zl);
}

void gcmGhashPortable(const AesGcmContext *gcm, uint8_t y[16], const uint8_t *data, size_t blocks) {
  for (size_t b = 0; b < blocks; b++, data += 16) {
    gcmXor(y, y, data, 16);
    gcmMultiplyPortable(gcm, y);
  }
}

// Key stream for up to kAesGcmBatchBlocks blocks, XORed into out.
void gcmCtrPortable(AesGcmContext *gcm, const uint8_t *in, uint8_t *out, size_t blocks) {
  uint8_t stream[kAesGcmBatchBlocks * 16];
  for (size_t b = 0; b < blocks; b++) {
    gcmIncrement(gcm->Counter);
    memcpy(stream + 16 * b, gcm->Counter, 16);
  }
  AES_EncryptBlocks(&gcm->Aes, stream, stream, blocks);
  gcmXor(out, in, stream, 16 * blocks);
}

template <bool kEncrypt>
void gcmCryptPortable(AesGcmContext *gcm, const uint8_t *in, uint8_t *out, size_t blocks) {
  while (blocks > 0) {
    size_t n = blocks < kAesGcmBatchBlocks ? blocks : kAesGcmBatchBlocks;
    if constexpr (!kEncrypt)
      gcmGhashPortable(gcm, gcm->Ghash, in, n);  // before out (maybe in) changes
    gcmCtrPortable(gcm, in, out, n);
    if constexpr (kEncrypt) gcmGhashPortable(gcm, gcm->Ghash, out, n);
    in += 16 * n, out += 16 * n, blocks -= n;
  }
}

constexpr AesGcmKernel kAesGcmPortable = {
    "portable", gcmInitPortable, gcmGhashPortable, gcmCryptPortable<true>, gcmCryptPortable<false>,
};

// ---- carry-less kernel ------------------------------------------------------------

#ifdef KEELSON_HAVE_AES_NI

// Blocks enter the carry-less multiplier byte-reversed: the field's first
// bit (x^0) is then bit 127, and the product of two reversed values is the
// reversed product shifted right by one bit, which the reduction puts back.
AES_NI_INLINE __m128i gcmReverse(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

// The three Karatsuba partial products of a sum of a_i * b_i, not yet reduced.
struct GcmWide {
  __m128i low, middle, high;
};

// Adds a * b to the sum; bFolded holds b's two halves XORed in its low lane.
AES_NI_INLINE void gcmMultiplyAdd(GcmWide &sum, __m128i a, __m128i b, __m128i bFolded) {
  sum.low = _mm_xor_si128(sum.low, _mm_clmulepi64_si128(a, b, 0x00));
  sum.high = _mm_xor_si128(sum.high, _mm_clmulepi64_si128(a, b, 0x11));
  __m128i aFolded = _mm_xor_si128(a, _mm_shuffle_epi32(a, 0x4e));
  sum.middle = _mm_xor_si128(sum.middle, _mm_clmulepi64_si128(aFolded, bFolded, 0x00));
}

AES_NI_INLINE __m128i gcmFold(__m128i v) { return _mm_xor_si128(v, _mm_shuffle_epi32(v, 0x4e)); }

// The 256-bit sum back into the field: shift left one bit (the reversed
// representation's offset), then reduce by x^128 + x^7 + x^2 + x + 1 in
// reflected form.
AES_NI_INLINE __m128i gcmReduce(const GcmWide &sum) {
  __m128i middle = _mm_xor_si128(sum.middle, _mm_xor_si128(sum.low, sum.high));
  __m128i low = _mm_xor_si128(sum.low, _mm_slli_si128(middle, 8));
  __m128i high = _mm_xor_si128(sum.high, _mm_srli_si128(middle, 8));

  __m128i lowCarry = _mm_srli_epi32(low, 31), highCarry = _mm_srli_epi32(high, 31);
  low = _mm_slli_epi32(low, 1);
  high = _mm_slli_epi32(high, 1);
  __m128i across = _mm_srli_si128(lowCarry, 12);
  highCarry = _mm_slli_si128(highCarry, 4);
  lowCarry = _mm_slli_si128(lowCarry, 4);
  low = _mm_or_si128(low, lowCarry);
  high = _mm_or_si128(_mm_or_si128(high, highCarry), across);

  __m128i a = _mm_xor_si128(_mm_xor_si128(_mm_slli_epi32(low, 31), _mm_slli_epi32(low, 30)),
                            _mm_slli_epi32(low, 25));
  __m128i aHigh = _mm_srli_si128(a, 4);
  low = _mm_xor_si128(low, _mm_slli_si128(a, 12));
  __m128i b = _mm_xor_si128(_mm_xor_si128(_mm_srli_epi32(low, 1), _mm_srli_epi32(low, 2)),
                            _mm_srli_epi32(low, 7));
  b = _mm_xor_si128(b, aHigh);
  low = _mm_xor_si128(low, b);
  return _mm_xor_si128(high, low);
}

AES_NI_INLINE __m128i gcmMultiply(__m128i a, __m128i b) {
  GcmWide sum = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  gcmMultiplyAdd(sum, a, b, gcmFold(b));
  return gcmReduce(sum);
}

// H^1..H^8 (byte-reversed) and their folded halves, loaded once per call.
struct GcmPowers {
  __m128i power[kAesNiLanes];
  __m128i folded[kAesNiLanes];
};

AES_NI_INLINE void gcmLoadPowers(const AesGcmContext *gcm, GcmPowers *p) {
  for (int i = 0; i < kAesNiLanes; i++) {
    p->power[i] = aesNiLoad(gcm->Powers[i]);
    p->folded[i] = gcmFold(p->power[i]);
  }
}

// y = (y + x[0]) * H^8 + x[1] * H^7 + ... + x[7] * H: eight blocks, one
// reduction. x holds byte-reversed blocks.
AES_NI_INLINE __m128i gcmAbsorb8(const GcmPowers &p, __m128i y, const __m128i x[kAesNiLanes]) {
  GcmWide sum = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
#pragma GCC unroll 8
  for (int i = 0; i < kAesNiLanes; i++) {
    __m128i block = i == 0 ? _mm_xor_si128(x[0], y) : x[i];
    gcmMultiplyAdd(sum, block, p.power[kAesNiLanes - 1 - i], p.folded[kAesNiLanes - 1 - i]);
  }
  return gcmReduce(sum);
}

// gcmAbsorb8 on eight blocks in memory, in the standard's byte order.
AES_NI_INLINE __m128i gcmAbsorb8Bytes(const GcmPowers &p, __m128i y, const uint8_t *data) {
  __m128i x[kAesNiLanes];
#pragma GCC unroll 8
  for (int i = 0; i < kAesNiLanes; i++) x[i] = gcmReverse(aesNiLoad(data + 16 * i));
  return gcmAbsorb8(p, y, x);
}

AES_NI_TARGET void gcmInitClmul(AesGcmContext *gcm, const uint8_t h[16]) {
  __m128i h1 = gcmReverse(aesNiLoad(h)), power = h1;
  aesNiStore(gcm->Powers[0], h1);
  for (int i = 1; i < kAesGcmPowers; i++) {
    power = gcmMultiply(power, h1);
    aesNiStore(gcm->Powers[i], power);
  }
}

AES_NI_TARGET void gcmGhashClmul(const AesGcmContext *gcm, uint8_t y[16], const uint8_t *data,
                                 size_t blocks) {
  GcmPowers p;
  gcmLoadPowers(gcm, &p);
  __m128i acc = gcmReverse(aesNiLoad(y));
  for (; blocks >= kAesNiLanes; blocks -= kAesNiLanes, data += 128) {
    __m128i x[kAesNiLanes];
#pragma GCC unroll 8
    for (int i = 0; i < kAesNiLanes; i++) x[i] = gcmReverse(aesNiLoad(data + 16 * i));
    acc = gcmAbsorb8(p, acc, x);
  }
  for (; blocks > 0; blocks--, data += 16)
    acc = gcmMultiply(_mm_xor_si128(acc, gcmReverse(aesNiLoad(data))), p.power[0]);
  aesNiStore(y, gcmReverse(acc));
}

// The next eight counter blocks after counter (byte-reversed, so that the
// 32-bit lane 0 is the big-endian counter word and wraps as inc32 does).
AES_NI_INLINE void gcmCounters8(__m128i counter, __m128i b[kAesNiLanes]) {
#pragma GCC unroll 8
  for (int i = 0; i < kAesNiLanes; i++)
    b[i] = gcmReverse(_mm_add_epi32(counter, _mm_set_epi32(0, 0, 0, i + 1)));
}

// Enciphering folds a batch's ciphertext in while the next batch goes
// through the cipher: the two chains are independent, so the multiplier and
// the AES unit work at once. Deciphering folds the input in before it is
// overwritten (in may be out).
template <bool kEncrypt>
AES_NI_TARGET void gcmCryptClmul(AesGcmContext *gcm, const uint8_t *in, uint8_t *out,
                                 size_t blocks) {
  GcmPowers p;
  gcmLoadPowers(gcm, &p);
  __m128i acc = gcmReverse(aesNiLoad(gcm->Ghash));
  __m128i counter = gcmReverse(aesNiLoad(gcm->Counter));
  const __m128i eight = _mm_set_epi32(0, 0, 0, kAesNiLanes), one = _mm_set_epi32(0, 0, 0, 1);
  const uint8_t *unhashed = nullptr;  // enciphering: the batch written last, not yet folded in
  for (; blocks >= kAesNiLanes; blocks -= kAesNiLanes, in += 128, out += 128) {
    if constexpr (!kEncrypt) acc = gcmAbsorb8Bytes(p, acc, in);
    __m128i b[kAesNiLanes];
    gcmCounters8(counter, b);
    counter = _mm_add_epi32(counter, eight);
    aesNiEncrypt8(&gcm->Aes, b);
    if (kEncrypt && unhashed != nullptr) acc = gcmAbsorb8Bytes(p, acc, unhashed);
#pragma GCC unroll 8
    for (int i = 0; i < kAesNiLanes; i++)
      aesNiStore(out + 16 * i, _mm_xor_si128(b[i], aesNiLoad(in + 16 * i)));
    unhashed = out;
  }
  if (kEncrypt && unhashed != nullptr) acc = gcmAbsorb8Bytes(p, acc, unhashed);
  for (; blocks > 0; blocks--, in += 16, out += 16) {
    counter = _mm_add_epi32(counter, one);
    __m128i data = aesNiLoad(in);
    __m128i result = _mm_xor_si128(aesNiEncrypt(&gcm->Aes, gcmReverse(counter)), data);
    aesNiStore(out, result);
    __m128i cipher = kEncrypt ? result : data;
    acc = gcmMultiply(_mm_xor_si128(acc, gcmReverse(cipher)), p.power[0]);
  }
  aesNiStore(gcm->Ghash, gcmReverse(acc));
  aesNiStore(gcm->Counter, gcmReverse(counter));
}

constexpr AesGcmKernel kAesGcmClmul = {
    "pclmul", gcmInitClmul, gcmGhashClmul, gcmCryptClmul<true>, gcmCryptClmul<false>,
};

// ---- 256-bit kernel: two blocks per register, sixteen per batch --------------------

#define GCM_VAES_TARGET __attribute__((target("aes,pclmul,sse4.1,avx2,vaes,vpclmulqdq")))
#define GCM_VAES_INLINE \
  __attribute__((target("aes,pclmul,sse4.1,avx2,vaes,vpclmulqdq"), always_inline)) inline

constexpr int kGcmWideRegisters = 8;  // 256-bit registers in a batch
constexpr size_t kGcmWideBlocks = 16;

GCM_VAES_INLINE __m256i gcmReverse256(__m256i v) {
  return _mm256_shuffle_epi8(
      v, _mm256_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6,
                         7, 8, 9, 10, 11, 12, 13, 14, 15));
}

GCM_VAES_INLINE __m256i gcmFold256(__m256i v) {
  return _mm256_xor_si256(v, _mm256_shuffle_epi32(v, 0x4e));
}

GCM_VAES_INLINE __m128i gcmSumHalves(__m256i v) {
  return _mm_xor_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

// Register j multiplies blocks 2j and 2j+1 of a batch: its low half holds
// H^(16-2j), its high half H^(15-2j).
struct GcmWidePowers {
  __m256i power[kGcmWideRegisters];
  __m256i folded[kGcmWideRegisters];
};

GCM_VAES_INLINE void gcmLoadWidePowers(const AesGcmContext *gcm, GcmWidePowers *p) {
#pragma GCC unroll 8
  for (int j = 0; j < kGcmWideRegisters; j++) {
    p->power[j] =
        _mm256_set_m128i(aesNiLoad(gcm->Powers[14 - 2 * j]), aesNiLoad(gcm->Powers[15 - 2 * j]));
    p->folded[j] = gcmFold256(p->power[j]);
  }
}

// gcmAbsorb8 for sixteen byte-reversed blocks: both halves of every register
// multiply at once, and the halves are summed before the one reduction.
GCM_VAES_INLINE __m128i gcmAbsorb16(const GcmWidePowers &p, __m128i y,
                                    const __m256i x[kGcmWideRegisters]) {
  __m256i low = _mm256_setzero_si256(), middle = low, high = low;
#pragma GCC unroll 8
  for (int j = 0; j < kGcmWideRegisters; j++) {
    __m256i v = j == 0 ? _mm256_xor_si256(x[0], _mm256_set_m128i(_mm_setzero_si128(), y)) : x[j];
    low = _mm256_xor_si256(low, _mm256_clmulepi64_epi128(v, p.power[j], 0x00));
    high = _mm256_xor_si256(high, _mm256_clmulepi64_epi128(v, p.power[j], 0x11));
    middle = _mm256_xor_si256(middle, _mm256_clmulepi64_epi128(gcmFold256(v), p.folded[j], 0x00));
  }
  return gcmReduce(GcmWide{gcmSumHalves(low), gcmSumHalves(middle), gcmSumHalves(high)});
}

GCM_VAES_INLINE __m128i gcmAbsorb16Bytes(const GcmWidePowers &p, __m128i y, const uint8_t *data) {
  __m256i x[kGcmWideRegisters];
#pragma GCC unroll 8
  for (int j = 0; j < kGcmWideRegisters; j++)
    x[j] = gcmReverse256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 32 * j)));
  return gcmAbsorb16(p, y, x);
}

// The sixteen counter blocks after counter (byte-reversed, as gcmCounters8)
// through the cipher, two per register.
GCM_VAES_INLINE void gcmKeyStream16(const AesContext *aes, __m128i counter,
                                    __m256i b[kGcmWideRegisters]) {
  __m256i base = _mm256_broadcastsi128_si256(counter);
#pragma GCC unroll 8
  for (int j = 0; j < kGcmWideRegisters; j++)
    b[j] = gcmReverse256(
        _mm256_add_epi32(base, _mm256_set_epi32(0, 0, 0, 2 * j + 2, 0, 0, 0, 2 * j + 1)));
  const auto *k = reinterpret_cast<const __m128i *>(aes->EncryptKey);
  __m256i key = _mm256_broadcastsi128_si256(_mm_load_si128(k));
#pragma GCC unroll 8
  for (int j = 0; j < kGcmWideRegisters; j++) b[j] = _mm256_xor_si256(b[j], key);
  for (int r = 1; r < aes->Rounds; r++) {
    key = _mm256_broadcastsi128_si256(_mm_load_si128(k + r));
#pragma GCC unroll 8
    for (int j = 0; j < kGcmWideRegisters; j++) b[j] = _mm256_aesenc_epi128(b[j], key);
  }
  key = _mm256_broadcastsi128_si256(_mm_load_si128(k + aes->Rounds));
#pragma GCC unroll 8
  for (int j = 0; j < kGcmWideRegisters; j++) b[j] = _mm256_aesenclast_epi128(b[j], key);
}

GCM_VAES_INLINE void gcmXorStore16(uint8_t *out, const uint8_t *in,
                                   const __m256i b[kGcmWideRegisters]) {
#pragma GCC unroll 8
  for (int j = 0; j < kGcmWideRegisters; j++) {
    __m256i data = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + 32 * j));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 32 * j), _mm256_xor_si256(b[j], data));
  }
}

// Whole batches of sixteen here, the rest through the 128-bit kernel; the
// order of cipher and multiplier is that of gcmCryptClmul.
template <bool kEncrypt>
GCM_VAES_TARGET void gcmCryptVaes(AesGcmContext *gcm, const uint8_t *in, uint8_t *out,
                                  size_t blocks) {
  size_t wide = blocks - blocks % kGcmWideBlocks;
  if (wide > 0) {
    GcmWidePowers p;
    gcmLoadWidePowers(gcm, &p);
    __m128i acc = gcmReverse(aesNiLoad(gcm->Ghash));
    __m128i counter = gcmReverse(aesNiLoad(gcm->Counter));
    const __m128i sixteen = _mm_set_epi32(0, 0, 0, int(kGcmWideBlocks));
    const uint8_t *unhashed = nullptr;
    for (size_t n = 0; n < wide; n += kGcmWideBlocks, in += 256, out += 256) {
      if constexpr (!kEncrypt) acc = gcmAbsorb16Bytes(p, acc, in);
      __m256i b[kGcmWideRegisters];
      gcmKeyStream16(&gcm->Aes, counter, b);
      counter = _mm_add_epi32(counter, sixteen);
      if (kEncrypt && unhashed != nullptr) acc = gcmAbsorb16Bytes(p, acc, unhashed);
      gcmXorStore16(out, in, b);
      unhashed = out;
    }
    if constexpr (kEncrypt) acc = gcmAbsorb16Bytes(p, acc, unhashed);
    aesNiStore(gcm->Ghash, gcmReverse(acc));
    aesNiStore(gcm->Counter, gcmReverse(counter));
  }
  gcmCryptClmul<kEncrypt>(gcm, in, out, blocks - wide);
}

#undef GCM_VAES_INLINE
#undef GCM_VAES_TARGET

// Shares the tables and the folding of lone blocks with the 128-bit kernel.
constexpr AesGcmKernel kAesGcmVaes = {
    "vaes", gcmInitClmul, gcmGhashClmul, gcmCryptVaes<true>, gcmCryptVaes<false>,
};

#endif  // KEELSON_HAVE_AES_NI

// ---- kernel choice ------------------------------------------------------------------

std::atomic<const AesGcmKernel *> gcmKernel{nullptr};

const AesGcmKernel *gcmChooseKernel(uint32_t features) {
#ifdef KEELSON_HAVE_AES_NI
  constexpr uint32_t kNeeds =
      kCpuFeatureAes | kCpuFeaturePclmul | kCpuFeatureSsse3 | kCpuFeatureSse41;
  constexpr uint32_t kNeedsWide = kNeeds | kCpuFeatureAvx2 | kCpuFeatureVaes | kCpuFeatureVpclmul;
  if ((features & kNeedsWide) == kNeedsWide) return &kAesGcmVaes;
  if ((features & kNeeds) == kNeeds) return &kAesGcmClmul;
#endif
  (void)features;
  return &kAesGcmPortable;
}

const AesGcmKernel *gcmGetKernel() {
  const AesGcmKernel *kernel = gcmKernel.load(std::memory_order_relaxed);
  if (kernel == nullptr) {
    kernel = gcmChooseKernel(CpuFeatures_Get());
    gcmKernel.store(kernel, std::memory_order_relaxed);
  }
  return kernel;
}

// ---- message steps -------------------------------------------------------------------

void gcmDestroy(void **object) {
  auto *gcm = static_cast<AesGcmContext *>(*object);
  // Keys, H and its tables are secrets; the block is wiped before it goes back.
  memset(reinterpret_cast<uint8_t *>(gcm) + sizeof(ObjectHeader), 0,
         sizeof(AesGcmContext) - sizeof(ObjectHeader));
  gcm->header.classTag = 0;  // a stale pointer now fails its class check
  MEM_FREE(gcm, sizeof(AesGcmContext));
}

// Folds length bytes into y, the last block zero-padded.
void gcmAbsorb(const AesGcmContext *gcm, uint8_t y[16], const uint8_t *data, size_t length) {
  size_t whole = length / 16, tail = length % 16;
  gcm->Kernel->ghash(gcm, y, data, whole);
  if (tail != 0) {
    uint8_t block[16] = {};
    memcpy(block, data + 16 * whole, tail);
    gcm->Kernel->ghash(gcm, y, block, 1);
  }
}

// J0 of a message from its IV (IV || 1 for 12 bytes, else GHASH of the IV
// with its length block) and E_K(J0), the mask of its tag.
void gcmDeriveJ0(const AesGcmContext *gcm, const uint8_t *iv, int32_t ivLength, uint8_t j0[16],
                 uint8_t mask[16]) {
  if (ivLength == 12) {
    memcpy(j0, iv, 12);
    j0[12] = j0[13] = j0[14] = 0;
    j0[15] = 1;
  } else {
    uint8_t lengths[16] = {};
    memset(j0, 0, 16);
    gcmAbsorb(gcm, j0, iv, size_t(ivLength));
    gcmStore64be(lengths + 8, uint64_t(ivLength) * 8);
    gcm->Kernel->ghash(gcm, j0, lengths, 1);
  }
  AES_EncryptBlocks(&gcm->Aes, j0, mask, 1);
}

// 1 when an encryption with this J0 and mask repeats the previous one: the
// same IV under the same key (the mask differs under another key), which
// would reuse the key stream and give away the authentication key.
bool gcmRepeatsPrevious(const AesGcmContext *gcm, const uint8_t j0[16], const uint8_t mask[16]) {
  return gcm->HasPrevious && memcmp(j0, gcm->PreviousJ0, 16) == 0 &&
         memcmp(mask, gcm->PreviousTagMask, 16) == 0;
}

// Starts the data of a message at J0, with E_K(J0) for the tag.
void gcmStartMessage(AesGcmContext *gcm, const uint8_t j0[16], const uint8_t mask[16]) {
  if (gcm->State != kAesGcmAad) {  // no SetAAD for this message: empty additional data
    memset(gcm->Ghash, 0, 16);
    gcm->AadLength = 0;
  }
  memcpy(gcm->Counter, j0, 16);
  memcpy(gcm->TagMask, mask, 16);
  gcm->CipherLength = 0;
  gcm->State = kAesGcmData;
}

// 1 when the running message may take length more bytes; logs the reason
// otherwise.
int gcmMayContinue(const AesGcmContext *gcm, int64_t length) {
  if (gcm->State == kAesGcmTail) {
    Log_Print(LOG_ERROR, KSRC, 0, "AES-GCM data after a partial block\n");
    return 0;
  }
  if (gcm->State != kAesGcmData) {
    Log_Print(LOG_ERROR, KSRC, 0, "AES-GCM data without a running message\n");
    return 0;
  }
  if (length > 0 && uint64_t(length) > kAesGcmMaxMessageBytes - gcm->CipherLength) {
    Log_Print(LOG_ERROR, KSRC, 0, "AES-GCM message too long\n");
    return 0;
  }
  return 1;
}

// 0, logged, for a negative length: a length gone wrong writes nothing and
// does not pass for an empty piece.
int gcmLengthValid(int64_t length) {
  if (length >= 0) return 1;
  Log_Print(LOG_ERROR, KSRC, 0, "AES-GCM negative length (%lld)\n", (long long)length);
  return 0;
}

int gcmCrypt(AesGcmContext *gcm, const void *in, void *out, int64_t length, bool encrypt) {
  CLASS_CHECK(gcm, kAesGcmContextTag);
  if (!gcmLengthValid(length) || !gcmMayContinue(gcm, length)) return 0;
  if (length <= 0) return 1;
  CHECK_POINTER(in);
  CHECK_POINTER(out);
  const auto *src = static_cast<const uint8_t *>(in);
  auto *dst = static_cast<uint8_t *>(out);
  size_t whole = size_t(length) / 16, tail = size_t(length) % 16;
  (encrypt ? gcm->Kernel->encrypt : gcm->Kernel->decrypt)(gcm, src, dst, whole);
  if (tail != 0) {
    // A partial block uses a whole counter block: the message ends here.
    uint8_t stream[16], cipher[16] = {};
    gcmIncrement(gcm->Counter);
    AES_EncryptBlocks(&gcm->Aes, gcm->Counter, stream, 1);
    src += 16 * whole, dst += 16 * whole;
    if (!encrypt) memcpy(cipher, src, tail);  // before dst, which may be src, changes
    gcmXor(dst, src, stream, tail);
    if (encrypt) memcpy(cipher, dst, tail);
    gcm->Kernel->ghash(gcm, gcm->Ghash, cipher, 1);
    gcm->State = kAesGcmTail;
  }
  gcm->CipherLength += uint64_t(length);
  return 1;
}

int gcmCryptIV(AesGcmContext *gcm, const void *iv, int32_t ivLength, const void *in, void *out,
               int64_t length, bool encrypt) {
  CLASS_CHECK(gcm, kAesGcmContextTag);
  if (gcm->State == kAesGcmUnkeyed) {
    Log_Print(LOG_ERROR, KSRC, 0, "AES-GCM context has no key\n");
    return 0;
  }
  if (ivLength < 1) {
    Log_Print(LOG_ERROR, KSRC, 0, "AES-GCM IV must not be empty\n");
    return 0;
  }
  if (!gcmLengthValid(length)) return 0;
  CHECK_POINTER(iv);
  uint8_t j0[16], mask[16];
  gcmDeriveJ0(gcm, static_cast<const uint8_t *>(iv), ivLength, j0, mask);
  if (encrypt) {
    if (gcmRepeatsPrevious(gcm, j0, mask)) {
      Log_Print(LOG_ERROR, KSRC, 0, "AES-GCM IV repeated under the same key\n");
      return 0;
    }
    memcpy(gcm->PreviousJ0, j0, 16);
    memcpy(gcm->PreviousTagMask, mask, 16);
    gcm->HasPrevious = 1;
  }
  gcmStartMessage(gcm, j0, mask);
  return gcmCrypt(gcm, in, out, length, encrypt);
}

}  // namespace

// ---- public calls (see aesgcm.h) -------------------------------------------------------

int AesGcm_Create(AesGcmContext **gcm) {
  CHECK_POINTER(gcm);
  auto *g = static_cast<AesGcmContext *>(MEM_ALLOC(sizeof(AesGcmContext), MEM_ZEROED));
  g->header.classTag = kAesGcmContextTag;
  g->header.refCount.store(1, std::memory_order_relaxed);
  g->header.destroy = gcmDestroy;
  g->Aes.header.classTag = kAesContextTag;  // embedded: checked by the AES calls, never released
  g->Aes.header.refCount.store(1, std::memory_order_relaxed);
  *gcm = g;
  return 1;
}

int AesGcm_Release(AesGcmContext **gcm) {
  CHECK_POINTER(gcm);
  CLASS_CHECK(*gcm, kAesGcmContextTag);
  Class_ReleaseObject(gcm);
  return 1;
}

int AesGcm_SetKey(AesGcmContext *gcm, const void *key, int32_t length) {
  CLASS_CHECK(gcm, kAesGcmContextTag);
  gcm->State = kAesGcmUnkeyed;
  if (!AES_SetKey(&gcm->Aes, key, length)) return 0;
  uint8_t h[16] = {};
  AES_EncryptBlocks(&gcm->Aes, h, h, 1);
  gcm->Kernel = gcmGetKernel();
  gcm->Kernel->init(gcm, h);
  memset(h, 0, sizeof h);
  __asm__ __volatile__("" : : "r"(h) : "memory");  // keeps the wipe of H
  gcm->State = kAesGcmIdle;
  return 1;
}

int AesGcm_SetAAD(AesGcmContext *gcm, const void *aad, int32_t length) {
  CLASS_CHECK(gcm, kAesGcmContextTag);
  if (gcm->State == kAesGcmUnkeyed) {
    Log_Print(LOG_ERROR, KSRC, 0, "AES-GCM context has no key\n");
    return 0;
  }
  if (length < 0) return 0;
  if (length > 0) CHECK_POINTER(aad);
  memset(gcm->Ghash, 0, 16);
  gcm->AadLength = uint64_t(length);
  gcm->CipherLength = 0;
  gcmAbsorb(gcm, gcm->Ghash, static_cast<const uint8_t *>(aad), size_t(length));
  gcm->State = kAesGcmAad;
  return 1;
}

int AesGcm_EncryptIV(AesGcmContext *gcm, const void *iv, int32_t ivLength, const void *in,
                     void *out, int64_t length) {
  return gcmCryptIV(gcm, iv, ivLength, in, out, length, true);
}

int AesGcm_DecryptIV(AesGcmContext *gcm, const void *iv, int32_t ivLength, const void *in,
                     void *out, int64_t length) {
  return gcmCryptIV(gcm, iv, ivLength, in, out, length, false);
}

int AesGcm_Encrypt(AesGcmContext *gcm, const void *in, void *out, int64_t length) {
  return gcmCrypt(gcm, in, out, length, true);
}

int AesGcm_Decrypt(AesGcmContext *gcm, const void *in, void *out, int64_t length) {
  return gcmCrypt(gcm, in, out, length, false);
}

int AesGcm_GetAuthTag(AesGcmContext *gcm, void *tag, int32_t length) {
  CLASS_CHECK(gcm, kAesGcmContextTag);
  if (length < kAesGcmMinTagBytes) {
    Log_Print(LOG_ERROR, KSRC, 0, "AES-GCM tag shorter than %d bytes (%d)\n", kAesGcmMinTagBytes,
              length);
    return 0;
  }
  CHECK_POINTER(tag);
  if (gcm->State == kAesGcmData || gcm->State == kAesGcmTail) {
    uint8_t lengths[16];
    gcmStore64be(lengths, gcm->AadLength * 8);
    gcmStore64be(lengths + 8, gcm->CipherLength * 8);
    gcm->Kernel->ghash(gcm, gcm->Ghash, lengths, 1);
    gcmXor(gcm->Tag, gcm->TagMask, gcm->Ghash, 16);
    gcm->State = kAesGcmFinished;
  }
  if (gcm->State != kAesGcmFinished) {
    Log_Print(LOG_ERROR, KSRC, 0, "AES-GCM tag without a message\n");
    return 0;
  }
  memcpy(tag, gcm->Tag, size_t(length < kAesGcmTagBytes ? length : kAesGcmTagBytes));
  return 1;
}

void AesGcm_SelectKernels(void) {
  gcmKernel.store(gcmChooseKernel(CpuFeatures_Get()), std::memory_order_relaxed);
}

const char *AesGcm_KernelName(void) { return gcmGetKernel()->name; }
