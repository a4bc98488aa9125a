// SHA-1 record (FIPS 180-4) behind the HashInterface, with a portable kernel
// and one on the SHA extensions; see hash.h and hash_algorithms.h.
#include <atomic>
#include <utility>

#include "core/runtime/cpufeatures.h"
#include "core/security/hash_algorithms.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define KEELSON_HAVE_SHA_NI 1
#endif

namespace {

// ---- portable kernel: 80 unrolled rounds over a 16-word schedule ---------

#define SHA1_W(i) \
  (w[(i) & 15] = hashRotl32(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define SHA1_ROUND(a, b, c, d, e, f, k, wi)      \
  e += hashRotl32(a, 5) + (f) + (k) + (wi); \
  b = hashRotl32(b, 30)
#define SHA1_F1(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_F2(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_F3(b, c, d) (((b) & (c)) + ((d) & ((b) ^ (c))))
#define SHA1_R0(a, b, c, d, e, i) SHA1_ROUND(a, b, c, d, e, SHA1_F1(b, c, d), 0x5a827999, w[i])
#define SHA1_R1(a, b, c, d, e, i) SHA1_ROUND(a, b, c, d, e, SHA1_F1(b, c, d), 0x5a827999, SHA1_W(i))
#define SHA1_R2(a, b, c, d, e, i) SHA1_ROUND(a, b, c, d, e, SHA1_F2(b, c, d), 0x6ed9eba1, SHA1_W(i))
#define SHA1_R3(a, b, c, d, e, i) SHA1_ROUND(a, b, c, d, e, SHA1_F3(b, c, d), 0x8f1bbcdc, SHA1_W(i))
#define SHA1_R4(a, b, c, d, e, i) SHA1_ROUND(a, b, c, d, e, SHA1_F2(b, c, d), 0xca62c1d6, SHA1_W(i))
// Five rounds rotate the roles of a-e back to where they started.
#define SHA1_FIVE(R, i)        \
  R(a, b, c, d, e, (i) + 0); \
  R(e, a, b, c, d, (i) + 1); \
  R(d, e, a, b, c, (i) + 2); \
  R(c, d, e, a, b, (i) + 3); \
  R(b, c, d, e, a, (i) + 4)

void sha1CompressPortable(uint32_t state[5], const uint8_t *data, size_t blocks) {
  uint32_t w[16];
  for (; blocks != 0; blocks--, data += 64) {
    for (int i = 0; i < 16; i++) w[i] = hashLoad32be(data + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    SHA1_FIVE(SHA1_R0, 0);
    SHA1_FIVE(SHA1_R0, 5);
    SHA1_FIVE(SHA1_R0, 10);
    SHA1_R0(a, b, c, d, e, 15);
    SHA1_R1(e, a, b, c, d, 16);
    SHA1_R1(d, e, a, b, c, 17);
    SHA1_R1(c, d, e, a, b, 18);
    SHA1_R1(b, c, d, e, a, 19);
    SHA1_FIVE(SHA1_R2, 20);
    SHA1_FIVE(SHA1_R2, 25);
    SHA1_FIVE(SHA1_R2, 30);
    SHA1_FIVE(SHA1_R2, 35);
    SHA1_FIVE(SHA1_R3, 40);
    SHA1_FIVE(SHA1_R3, 45);
    SHA1_FIVE(SHA1_R3, 50);
    SHA1_FIVE(SHA1_R3, 55);
    SHA1_FIVE(SHA1_R4, 60);
    SHA1_FIVE(SHA1_R4, 65);
    SHA1_FIVE(SHA1_R4, 70);
    SHA1_FIVE(SHA1_R4, 75);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

#undef SHA1_W
#undef SHA1_ROUND
#undef SHA1_F1
#undef SHA1_F2
#undef SHA1_F3
#undef SHA1_R0
#undef SHA1_R1
#undef SHA1_R2
#undef SHA1_R3
#undef SHA1_R4
#undef SHA1_FIVE

// ---- SHA extensions kernel -------------------------------------------------

#ifdef KEELSON_HAVE_SHA_NI

#define SHA1_NI_TARGET __attribute__((target("sha,ssse3,sse4.1")))

// Four rounds (group g of 20). msg[] holds the last four message vectors; a
// vector is extended (msg1, xor, msg2) over the groups that follow its use.
// e[0] and e[1] alternate as the E value carried into the next group.
template <int g>
SHA1_NI_TARGET inline __attribute__((always_inline)) void sha1NiGroup(__m128i &abcd, __m128i e[2],
                                                                      __m128i msg[4]) {
  constexpr int cur = g & 1;
  if constexpr (g == 0) {
    e[0] = _mm_add_epi32(e[0], msg[0]);
  } else {
    e[cur] = _mm_sha1nexte_epu32(e[cur], msg[g & 3]);
  }
  e[cur ^ 1] = abcd;
  if constexpr (g >= 3 && g <= 18) msg[(g + 1) & 3] = _mm_sha1msg2_epu32(msg[(g + 1) & 3], msg[g & 3]);
  abcd = _mm_sha1rnds4_epu32(abcd, e[cur], g / 5);
  if constexpr (g >= 1 && g <= 16) msg[(g - 1) & 3] = _mm_sha1msg1_epu32(msg[(g - 1) & 3], msg[g & 3]);
  if constexpr (g >= 2 && g <= 17) msg[(g - 2) & 3] = _mm_xor_si128(msg[(g - 2) & 3], msg[g & 3]);
}

template <int... g>
SHA1_NI_TARGET inline __attribute__((always_inline)) void sha1NiRounds(__m128i &abcd, __m128i e[2],
                                                                       __m128i msg[4],
                                                                       std::integer_sequence<int, g...>) {
  (sha1NiGroup<g>(abcd, e, msg), ...);
}

SHA1_NI_TARGET void sha1CompressShaNi(uint32_t state[5], const uint8_t *data, size_t blocks) {
  // Words big-endian and in reverse order within a vector.
  const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0x1b);
  __m128i e0 = _mm_set_epi32(int(state[4]), 0, 0, 0);
  for (; blocks != 0; blocks--, data += 64) {
    __m128i abcdSave = abcd, eSave = e0;
    __m128i msg[4];
    for (int i = 0; i < 4; i++)
      msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * i)),
                                byteSwap);
    __m128i e[2] = {e0, _mm_setzero_si128()};
    sha1NiRounds(abcd, e, msg, std::make_integer_sequence<int, 20>());
    e0 = _mm_sha1nexte_epu32(e[0], eSave);
    abcd = _mm_add_epi32(abcd, abcdSave);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_shuffle_epi32(abcd, 0x1b));
  state[4] = uint32_t(_mm_extract_epi32(e0, 3));
}

#undef SHA1_NI_TARGET

#endif  // KEELSON_HAVE_SHA_NI

// ---- kernel choice ---------------------------------------------------------

void sha1CompressFirst(uint32_t state[5], const uint8_t *data, size_t blocks);
std::atomic<Sha1Kernel> sha1Kernel{sha1CompressFirst};

// The first call chooses, then hands over; later calls go straight through.
void sha1CompressFirst(uint32_t state[5], const uint8_t *data, size_t blocks) {
  Sha1_SelectKernel(CpuFeatures_Get());
  sha1Kernel.load(std::memory_order_relaxed)(state, data, blocks);
}

struct Sha1Algorithm {
  using Context = Sha1Context;
  static constexpr uint32_t kTag = kSha1ContextTag;
  static constexpr const char *kAssertName = "SHA1";

  static auto compressor(Context *c) {
    return [c](const uint8_t *p, size_t blocks) { Sha1_Compress(c->state, p, blocks); };
  }
  static void reset(Context *c) {
    c->byteCount = 0;
    c->state[0] = 0x67452301;
    c->state[1] = 0xefcdab89;
    c->state[2] = 0x98badcfe;
    c->state[3] = 0x10325476;
    c->state[4] = 0xc3d2e1f0;
    c->digestReady = 0;
  }
  static void update(Context *c, const uint8_t *data, size_t length) {
    hashUpdateCounted<64>(c->block, &c->byteCount, data, length, compressor(c));
  }
  static void finish(Context *c) {
    hashPadBigEndian64(c->block, c->byteCount, compressor(c));
    for (int i = 0; i < 5; i++) hashStore32be(c->digest + 4 * i, c->state[i]);
  }
  static int32_t digestLength(const Context *) { return 20; }
};

}  // namespace

void Sha1_Compress(uint32_t state[5], const uint8_t *data, size_t blocks) {
  sha1Kernel.load(std::memory_order_relaxed)(state, data, blocks);
}

void Sha1_SelectKernel(uint32_t features) {
  Sha1Kernel kernel = sha1CompressPortable;
#ifdef KEELSON_HAVE_SHA_NI
  constexpr uint32_t kNeeds = kCpuFeatureSha | kCpuFeatureSsse3 | kCpuFeatureSse41;
  if ((features & kNeeds) == kNeeds) kernel = sha1CompressShaNi;
#endif
  sha1Kernel.store(kernel, std::memory_order_relaxed);
}

const char *Sha1_KernelName(void) {
  Sha1Kernel kernel = sha1Kernel.load(std::memory_order_relaxed);
  if (kernel == sha1CompressFirst) {
    Sha1_SelectKernel(CpuFeatures_Get());
    kernel = sha1Kernel.load(std::memory_order_relaxed);
  }
  return kernel == sha1CompressPortable ? "portable" : "sha-ni";
}

extern const HashInterface kHashSha1 = HashRecordOps<Sha1Algorithm>::record("SHA1", 64, 20);
