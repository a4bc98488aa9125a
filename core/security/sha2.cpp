// SHA-224, SHA-256, SHA-384 and SHA-512 records (FIPS 180-4) behind the
// HashInterface; see hash.h and hash_algorithms.h. SHA-224 is SHA-256 with its
// own initial values and a 28-byte digest; SHA-384 is SHA-512 with 48 bytes.
// SHA-256 has a kernel on the SHA extensions; SHA-512 one compiled for BMI2.
#include <atomic>
#include <utility>

#include "core/runtime/cpufeatures.h"
#include "core/security/hash_algorithms.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define KEELSON_HAVE_SHA_NI 1
#define KEELSON_HAVE_BMI2 1
#endif

namespace {

alignas(64) constexpr uint32_t kSha256RoundConstants[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u,
    0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u,
    0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu,
    0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u,
    0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u,
    0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u,
    0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u,
    0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u,
    0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

alignas(64) constexpr uint64_t kSha512RoundConstants[80] = {
    0x428a2f98d728ae22ull, 0x7137449123ef65cdull,
    0xb5c0fbcfec4d3b2full, 0xe9b5dba58189dbbcull,
    0x3956c25bf348b538ull, 0x59f111f1b605d019ull,
    0x923f82a4af194f9bull, 0xab1c5ed5da6d8118ull,
    0xd807aa98a3030242ull, 0x12835b0145706fbeull,
    0x243185be4ee4b28cull, 0x550c7dc3d5ffb4e2ull,
    0x72be5d74f27b896full, 0x80deb1fe3b1696b1ull,
    0x9bdc06a725c71235ull, 0xc19bf174cf692694ull,
    0xe49b69c19ef14ad2ull, 0xefbe4786384f25e3ull,
    0x0fc19dc68b8cd5b5ull, 0x240ca1cc77ac9c65ull,
    0x2de92c6f592b0275ull, 0x4a7484aa6ea6e483ull,
    0x5cb0a9dcbd41fbd4ull, 0x76f988da831153b5ull,
    0x983e5152ee66dfabull, 0xa831c66d2db43210ull,
    0xb00327c898fb213full, 0xbf597fc7beef0ee4ull,
    0xc6e00bf33da88fc2ull, 0xd5a79147930aa725ull,
    0x06ca6351e003826full, 0x142929670a0e6e70ull,
    0x27b70a8546d22ffcull, 0x2e1b21385c26c926ull,
    0x4d2c6dfc5ac42aedull, 0x53380d139d95b3dfull,
    0x650a73548baf63deull, 0x766a0abb3c77b2a8ull,
    0x81c2c92e47edaee6ull, 0x92722c851482353bull,
    0xa2bfe8a14cf10364ull, 0xa81a664bbc423001ull,
    0xc24b8b70d0f89791ull, 0xc76c51a30654be30ull,
    0xd192e819d6ef5218ull, 0xd69906245565a910ull,
    0xf40e35855771202aull, 0x106aa07032bbd1b8ull,
    0x19a4c116b8d2d0c8ull, 0x1e376c085141ab53ull,
    0x2748774cdf8eeb99ull, 0x34b0bcb5e19b48a8ull,
    0x391c0cb3c5c95a63ull, 0x4ed8aa4ae3418acbull,
    0x5b9cca4f7763e373ull, 0x682e6ff3d6b2b8a3ull,
    0x748f82ee5defb2fcull, 0x78a5636f43172f60ull,
    0x84c87814a1f0ab72ull, 0x8cc702081a6439ecull,
    0x90befffa23631e28ull, 0xa4506cebde82bde9ull,
    0xbef9a3f7b2c67915ull, 0xc67178f2e372532bull,
    0xca273eceea26619cull, 0xd186b8c721c0c207ull,
    0xeada7dd6cde0eb1eull, 0xf57d4f7fee6ed178ull,
    0x06f067aa72176fbaull, 0x0a637dc5a2c898a6ull,
    0x113f9804bef90daeull, 0x1b710b35131c471bull,
    0x28db77f523047d84ull, 0x32caab7b40c72493ull,
    0x3c9ebe0a15c9bebcull, 0x431d67c49c100d4cull,
    0x4cc5d4becb3e42b6ull, 0x597f299cfc657e2aull,
    0x5fcb6fab3ad6faecull, 0x6c44198c4a475817ull,
};

constexpr uint32_t kSha224Initial[8] = {
    0xc1059ed8u, 0x367cd507u, 0x3070dd17u, 0xf70e5939u,
    0xffc00b31u, 0x68581511u, 0x64f98fa7u, 0xbefa4fa4u,
};
constexpr uint32_t kSha256Initial[8] = {
    0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
    0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u,
};
constexpr uint64_t kSha384Initial[8] = {
    0xcbbb9d5dc1059ed8ull, 0x629a292a367cd507ull,
    0x9159015a3070dd17ull, 0x152fecd8f70e5939ull,
    0x67332667ffc00b31ull, 0x8eb44a8768581511ull,
    0xdb0c2e0d64f98fa7ull, 0x47b5481dbefa4fa4ull,
};
constexpr uint64_t kSha512Initial[8] = {
    0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull,
    0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull,
    0x510e527fade682d1ull, 0x9b05688c2b3e6c1full,
    0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull,
};

// ---- SHA-256 portable kernel -------------------------------------------------

// Sixteen rounds from round j on; the working variables change roles each
// round instead of moving. W(i) gives the message word of window slot i.
#define SHA2_SIXTEEN_ROUNDS(R, W, j) \
  R(a, b, c, d, e, f, g, h, (j) + 0, W(0)); \
  R(h, a, b, c, d, e, f, g, (j) + 1, W(1)); \
  R(g, h, a, b, c, d, e, f, (j) + 2, W(2)); \
  R(f, g, h, a, b, c, d, e, (j) + 3, W(3)); \
  R(e, f, g, h, a, b, c, d, (j) + 4, W(4)); \
  R(d, e, f, g, h, a, b, c, (j) + 5, W(5)); \
  R(c, d, e, f, g, h, a, b, (j) + 6, W(6)); \
  R(b, c, d, e, f, g, h, a, (j) + 7, W(7)); \
  R(a, b, c, d, e, f, g, h, (j) + 8, W(8)); \
  R(h, a, b, c, d, e, f, g, (j) + 9, W(9)); \
  R(g, h, a, b, c, d, e, f, (j) + 10, W(10)); \
  R(f, g, h, a, b, c, d, e, (j) + 11, W(11)); \
  R(e, f, g, h, a, b, c, d, (j) + 12, W(12)); \
  R(d, e, f, g, h, a, b, c, (j) + 13, W(13)); \
  R(c, d, e, f, g, h, a, b, (j) + 14, W(14)); \
  R(b, c, d, e, f, g, h, a, (j) + 15, W(15));
#define SHA2_LOADED(i) w[i]


#define SHA256_BIG0(x) (hashRotr32(x, 2) ^ hashRotr32(x, 13) ^ hashRotr32(x, 22))
#define SHA256_BIG1(x) (hashRotr32(x, 6) ^ hashRotr32(x, 11) ^ hashRotr32(x, 25))
#define SHA256_SMALL0(x) (hashRotr32(x, 7) ^ hashRotr32(x, 18) ^ ((x) >> 3))
#define SHA256_SMALL1(x) (hashRotr32(x, 17) ^ hashRotr32(x, 19) ^ ((x) >> 10))
#define SHA2_CH(e, f, g) ((g) ^ ((e) & ((f) ^ (g))))
// Maj(a, b, c) = ((a ^ b) & (b ^ c)) ^ b, and this round's b ^ c is the a ^ b
// of the round before (kept in bc): two operations per round instead of four.
// Extends the 16-word window in place: w[i] now holds the word of round i+16*n.
#define SHA256_W(i) \
  (w[i] += SHA256_SMALL1(w[((i) + 14) & 15]) + w[((i) + 9) & 15] + SHA256_SMALL0(w[((i) + 1) & 15]))
#define SHA256_ROUND(a, b, c, d, e, f, g, h, i, wi)                                     \
  do {                                                                                 \
    uint32_t t1 = h + SHA256_BIG1(e) + SHA2_CH(e, f, g) + kSha256RoundConstants[i] + (wi); \
    uint32_t ab = a ^ b;                                                               \
    uint32_t maj = (ab & bc) ^ b;                                                      \
    bc = ab;                                                                           \
    d += t1;                                                                           \
    h = t1 + SHA256_BIG0(a) + maj;                                                        \
  } while (0)

void sha256CompressPortable(uint32_t state[8], const uint8_t *data, size_t blocks) {
  uint32_t w[16];
  for (; blocks != 0; blocks--, data += 64) {
    for (int i = 0; i < 16; i++) w[i] = hashLoad32be(data + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint32_t bc = b ^ c;
    SHA2_SIXTEEN_ROUNDS(SHA256_ROUND, SHA2_LOADED, 0);
    for (int j = 16; j < 64; j += 16) {
      SHA2_SIXTEEN_ROUNDS(SHA256_ROUND, SHA256_W, j);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#undef SHA256_BIG0
#undef SHA256_BIG1
#undef SHA256_SMALL0
#undef SHA256_SMALL1
#undef SHA256_W
#undef SHA256_ROUND

// ---- SHA-256 on the SHA extensions -------------------------------------------

#ifdef KEELSON_HAVE_SHA_NI

#define SHA256_NI_TARGET __attribute__((target("sha,ssse3,sse4.1")))

// Four rounds (group g of 16). msg[] holds four message vectors; each is
// extended with msg1 and msg2 while the groups before its next use run.
template <int g>
SHA256_NI_TARGET inline __attribute__((always_inline)) void sha256NiGroup(__m128i &state0,
                                                                          __m128i &state1,
                                                                          __m128i msg[4]) {
  __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i *>(kSha256RoundConstants + 4 * g));
  __m128i m = _mm_add_epi32(msg[g & 3], k);
  state1 = _mm_sha256rnds2_epu32(state1, state0, m);
  if constexpr (g >= 3 && g <= 14) {
    __m128i t = _mm_alignr_epi8(msg[g & 3], msg[(g - 1) & 3], 4);
    msg[(g + 1) & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(msg[(g + 1) & 3], t), msg[g & 3]);
  }
  state0 = _mm_sha256rnds2_epu32(state0, state1, _mm_shuffle_epi32(m, 0x0e));
  if constexpr (g >= 1 && g <= 12) msg[(g - 1) & 3] = _mm_sha256msg1_epu32(msg[(g - 1) & 3], msg[g & 3]);
}

template <int... g>
SHA256_NI_TARGET inline __attribute__((always_inline)) void sha256NiRounds(
    __m128i &state0, __m128i &state1, __m128i msg[4], std::integer_sequence<int, g...>) {
  (sha256NiGroup<g>(state0, state1, msg), ...);
}

SHA256_NI_TARGET void sha256CompressShaNi(uint32_t state[8], const uint8_t *data, size_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  // The instructions want the state as ABEF and CDGH.
  __m128i t = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0xb1);
  __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4)), 0x1b);
  __m128i state0 = _mm_alignr_epi8(t, state1, 8);
  state1 = _mm_blend_epi16(state1, t, 0xf0);
  for (; blocks != 0; blocks--, data += 64) {
    __m128i save0 = state0, save1 = state1;
    __m128i msg[4];
    for (int i = 0; i < 4; i++)
      msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * i)),
                                byteSwap);
    sha256NiRounds(state0, state1, msg, std::make_integer_sequence<int, 16>());
    state0 = _mm_add_epi32(state0, save0);
    state1 = _mm_add_epi32(state1, save1);
  }
  t = _mm_shuffle_epi32(state0, 0x1b);
  state1 = _mm_shuffle_epi32(state1, 0xb1);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_blend_epi16(t, state1, 0xf0));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), _mm_alignr_epi8(state1, t, 8));
}

#undef SHA256_NI_TARGET

#endif  // KEELSON_HAVE_SHA_NI

// ---- SHA-512 kernel ----------------------------------------------------------

#define SHA512_BIG0(x) (hashRotr64(x, 28) ^ hashRotr64(x, 34) ^ hashRotr64(x, 39))
#define SHA512_BIG1(x) (hashRotr64(x, 14) ^ hashRotr64(x, 18) ^ hashRotr64(x, 41))
#define SHA512_SMALL0(x) (hashRotr64(x, 1) ^ hashRotr64(x, 8) ^ ((x) >> 7))
#define SHA512_SMALL1(x) (hashRotr64(x, 19) ^ hashRotr64(x, 61) ^ ((x) >> 6))
#define SHA512_W(i) \
  (w[i] += SHA512_SMALL1(w[((i) + 14) & 15]) + w[((i) + 9) & 15] + SHA512_SMALL0(w[((i) + 1) & 15]))
#define SHA512_ROUND(a, b, c, d, e, f, g, h, i, wi)                                     \
  do {                                                                                 \
    uint64_t t1 = h + SHA512_BIG1(e) + SHA2_CH(e, f, g) + kSha512RoundConstants[i] + (wi); \
    uint64_t ab = a ^ b;                                                               \
    uint64_t maj = (ab & bc) ^ b;                                                      \
    bc = ab;                                                                           \
    d += t1;                                                                           \
    h = t1 + SHA512_BIG0(a) + maj;                                                        \
  } while (0)

// One body, compiled twice: as is, and for BMI2, where the rotates become
// rorx and leave the flags alone.
inline __attribute__((always_inline)) void sha512Blocks(uint64_t state[8], const uint8_t *data,
                                                        size_t blocks) {
  uint64_t w[16];
  for (; blocks != 0; blocks--, data += 128) {
    for (int i = 0; i < 16; i++) w[i] = hashLoad64be(data + 8 * i);
    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint64_t bc = b ^ c;
    SHA2_SIXTEEN_ROUNDS(SHA512_ROUND, SHA2_LOADED, 0);
    for (int j = 16; j < 80; j += 16) {
      SHA2_SIXTEEN_ROUNDS(SHA512_ROUND, SHA512_W, j);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#undef SHA512_BIG0
#undef SHA512_BIG1
#undef SHA512_SMALL0
#undef SHA512_SMALL1
#undef SHA512_W
#undef SHA512_ROUND
#undef SHA2_CH
#undef SHA2_SIXTEEN_ROUNDS
#undef SHA2_LOADED

void sha512CompressPortable(uint64_t state[8], const uint8_t *data, size_t blocks) {
  sha512Blocks(state, data, blocks);
}

#ifdef KEELSON_HAVE_BMI2
__attribute__((target("bmi2"))) void sha512CompressBmi2(uint64_t state[8], const uint8_t *data,
                                                        size_t blocks) {
  sha512Blocks(state, data, blocks);
}
#endif

// ---- kernel choice -------------------------------------------------------------

void sha256CompressFirst(uint32_t state[8], const uint8_t *data, size_t blocks);
void sha512CompressFirst(uint64_t state[8], const uint8_t *data, size_t blocks);
std::atomic<Sha256Kernel> sha256Kernel{sha256CompressFirst};
std::atomic<Sha512Kernel> sha512Kernel{sha512CompressFirst};

// The first call chooses, then hands over; later calls go straight through.
void sha256CompressFirst(uint32_t state[8], const uint8_t *data, size_t blocks) {
  Sha2_SelectKernels(CpuFeatures_Get());
  sha256Kernel.load(std::memory_order_relaxed)(state, data, blocks);
}

void sha512CompressFirst(uint64_t state[8], const uint8_t *data, size_t blocks) {
  Sha2_SelectKernels(CpuFeatures_Get());
  sha512Kernel.load(std::memory_order_relaxed)(state, data, blocks);
}

// ---- the two families ----------------------------------------------------------

struct Sha256Algorithm {
  using Context = Sha256Context;
  static constexpr uint32_t kTag = kSha256ContextTag;
  static constexpr const char *kAssertName = "SHA256";

  static void resetWith(Context *c, const uint32_t initial[8], uint32_t digestLength) {
    c->byteCount = 0;
    memcpy(c->state, initial, sizeof c->state);
    c->digestLength = digestLength;
    c->digestReady = 0;
  }
  static auto compressor(Context *c) {
    return [c](const uint8_t *p, size_t blocks) { Sha256_Compress(c->state, p, blocks); };
  }
  static void reset(Context *c) { resetWith(c, kSha256Initial, 32); }
  static void update(Context *c, const uint8_t *data, size_t length) {
    hashUpdateCounted<64>(c->block, &c->byteCount, data, length, compressor(c));
  }
  static void finish(Context *c) {
    hashPadBigEndian64(c->block, c->byteCount, compressor(c));
    uint8_t full[32];
    for (int i = 0; i < 8; i++) hashStore32be(full + 4 * i, c->state[i]);
    memcpy(c->digest, full, c->digestLength);
  }
  static int32_t digestLength(const Context *c) { return int32_t(c->digestLength); }
};

// Shares every step with SHA-256 but the initial values and digest length.
struct Sha224Algorithm : Sha256Algorithm {
  static void reset(Context *c) { resetWith(c, kSha224Initial, 28); }
};

struct Sha512Algorithm {
  using Context = Sha512Context;
  static constexpr uint32_t kTag = kSha512ContextTag;
  static constexpr const char *kAssertName = "SHA512";

  static void resetWith(Context *c, const uint64_t initial[8], uint32_t digestLength) {
    c->byteCount = 0;
    c->byteCountHigh = 0;
    memcpy(c->state, initial, sizeof c->state);
    c->digestLength = digestLength;
    c->digestReady = 0;
  }
  static void reset(Context *c) { resetWith(c, kSha512Initial, 64); }
  static void update(Context *c, const uint8_t *data, size_t length) {
    size_t used = size_t(c->byteCount % 128);
    uint64_t before = c->byteCount;
    c->byteCount += length;
    if (c->byteCount < before) c->byteCountHigh++;
    hashAbsorb<128>(c->block, used, data, length,
                    [c](const uint8_t *p, size_t blocks) { Sha512_Compress(c->state, p, blocks); });
  }
  static void finish(Context *c) {
    uint8_t bits[16];  // the 128-bit bit count
    hashStore64be(bits, (c->byteCountHigh << 3) | (c->byteCount >> 61));
    hashStore64be(bits + 8, c->byteCount << 3);
    hashPad<128, 16>(c->block, size_t(c->byteCount % 128), bits,
                     [c](const uint8_t *p, size_t blocks) { Sha512_Compress(c->state, p, blocks); });
    uint8_t full[64];
    for (int i = 0; i < 8; i++) hashStore64be(full + 8 * i, c->state[i]);
    memcpy(c->digest, full, c->digestLength);
  }
  static int32_t digestLength(const Context *c) { return int32_t(c->digestLength); }
};

struct Sha384Algorithm : Sha512Algorithm {
  static void reset(Context *c) { resetWith(c, kSha384Initial, 48); }
};

}  // namespace

void Sha256_Compress(uint32_t state[8], const uint8_t *data, size_t blocks) {
  sha256Kernel.load(std::memory_order_relaxed)(state, data, blocks);
}

void Sha512_Compress(uint64_t state[8], const uint8_t *data, size_t blocks) {
  sha512Kernel.load(std::memory_order_relaxed)(state, data, blocks);
}

void Sha2_SelectKernels(uint32_t features) {
  Sha256Kernel kernel256 = sha256CompressPortable;
  Sha512Kernel kernel512 = sha512CompressPortable;
#ifdef KEELSON_HAVE_SHA_NI
  constexpr uint32_t kNeeds = kCpuFeatureSha | kCpuFeatureSsse3 | kCpuFeatureSse41;
  if ((features & kNeeds) == kNeeds) kernel256 = sha256CompressShaNi;
#endif
#ifdef KEELSON_HAVE_BMI2
  if (features & kCpuFeatureBmi2) kernel512 = sha512CompressBmi2;
#endif
  sha256Kernel.store(kernel256, std::memory_order_relaxed);
  sha512Kernel.store(kernel512, std::memory_order_relaxed);
}

const char *Sha256_KernelName(void) {
  if (sha256Kernel.load(std::memory_order_relaxed) == sha256CompressFirst)
    Sha2_SelectKernels(CpuFeatures_Get());
  return sha256Kernel.load(std::memory_order_relaxed) == sha256CompressPortable ? "portable"
                                                                                : "sha-ni";
}

const char *Sha512_KernelName(void) {
  if (sha512Kernel.load(std::memory_order_relaxed) == sha512CompressFirst)
    Sha2_SelectKernels(CpuFeatures_Get());
  return sha512Kernel.load(std::memory_order_relaxed) == sha512CompressPortable ? "portable"
                                                                                : "bmi2";
}

extern const HashInterface kHashSha224 = HashRecordOps<Sha224Algorithm>::record("SHA224", 64, 28);
extern const HashInterface kHashSha256 = HashRecordOps<Sha256Algorithm>::record("SHA256", 64, 32);
extern const HashInterface kHashSha384 = HashRecordOps<Sha384Algorithm>::record("SHA384", 128, 48);
extern const HashInterface kHashSha512 = HashRecordOps<Sha512Algorithm>::record("SHA512", 128, 64);
