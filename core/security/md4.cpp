// MD4 record: the 128-bit digest of RFC 1320 behind the HashInterface; see
// hash.h. Still needed for the NT password hash.
#include "core/security/hash_algorithms.h"

namespace {

inline uint32_t md4F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t md4G(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (z & (x | y)); }
inline uint32_t md4H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }

#define MD4_STEP(f, a, b, c, d, k, s, add) a = hashRotl32(a + f(b, c, d) + x[k] + (add), s)

void md4Compress(uint32_t state[4], const uint8_t *data, size_t blocks) {
  uint32_t x[16];
  for (; blocks != 0; blocks--, data += 64) {
    for (int i = 0; i < 16; i++) x[i] = hashLoad32le(data + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    MD4_STEP(md4F, a, b, c, d, 0, 3, 0);   MD4_STEP(md4F, d, a, b, c, 1, 7, 0);
    MD4_STEP(md4F, c, d, a, b, 2, 11, 0);  MD4_STEP(md4F, b, c, d, a, 3, 19, 0);
    MD4_STEP(md4F, a, b, c, d, 4, 3, 0);   MD4_STEP(md4F, d, a, b, c, 5, 7, 0);
    MD4_STEP(md4F, c, d, a, b, 6, 11, 0);  MD4_STEP(md4F, b, c, d, a, 7, 19, 0);
    MD4_STEP(md4F, a, b, c, d, 8, 3, 0);   MD4_STEP(md4F, d, a, b, c, 9, 7, 0);
    MD4_STEP(md4F, c, d, a, b, 10, 11, 0); MD4_STEP(md4F, b, c, d, a, 11, 19, 0);
    MD4_STEP(md4F, a, b, c, d, 12, 3, 0);  MD4_STEP(md4F, d, a, b, c, 13, 7, 0);
    MD4_STEP(md4F, c, d, a, b, 14, 11, 0); MD4_STEP(md4F, b, c, d, a, 15, 19, 0);

    constexpr uint32_t k2 = 0x5a827999;
    MD4_STEP(md4G, a, b, c, d, 0, 3, k2);  MD4_STEP(md4G, d, a, b, c, 4, 5, k2);
    MD4_STEP(md4G, c, d, a, b, 8, 9, k2);  MD4_STEP(md4G, b, c, d, a, 12, 13, k2);
    MD4_STEP(md4G, a, b, c, d, 1, 3, k2);  MD4_STEP(md4G, d, a, b, c, 5, 5, k2);
    MD4_STEP(md4G, c, d, a, b, 9, 9, k2);  MD4_STEP(md4G, b, c, d, a, 13, 13, k2);
    MD4_STEP(md4G, a, b, c, d, 2, 3, k2);  MD4_STEP(md4G, d, a, b, c, 6, 5, k2);
    MD4_STEP(md4G, c, d, a, b, 10, 9, k2); MD4_STEP(md4G, b, c, d, a, 14, 13, k2);
    MD4_STEP(md4G, a, b, c, d, 3, 3, k2);  MD4_STEP(md4G, d, a, b, c, 7, 5, k2);
    MD4_STEP(md4G, c, d, a, b, 11, 9, k2); MD4_STEP(md4G, b, c, d, a, 15, 13, k2);

    constexpr uint32_t k3 = 0x6ed9eba1;
    MD4_STEP(md4H, a, b, c, d, 0, 3, k3);  MD4_STEP(md4H, d, a, b, c, 8, 9, k3);
    MD4_STEP(md4H, c, d, a, b, 4, 11, k3); MD4_STEP(md4H, b, c, d, a, 12, 15, k3);
    MD4_STEP(md4H, a, b, c, d, 2, 3, k3);  MD4_STEP(md4H, d, a, b, c, 10, 9, k3);
    MD4_STEP(md4H, c, d, a, b, 6, 11, k3); MD4_STEP(md4H, b, c, d, a, 14, 15, k3);
    MD4_STEP(md4H, a, b, c, d, 1, 3, k3);  MD4_STEP(md4H, d, a, b, c, 9, 9, k3);
    MD4_STEP(md4H, c, d, a, b, 5, 11, k3); MD4_STEP(md4H, b, c, d, a, 13, 15, k3);
    MD4_STEP(md4H, a, b, c, d, 3, 3, k3);  MD4_STEP(md4H, d, a, b, c, 11, 9, k3);
    MD4_STEP(md4H, c, d, a, b, 7, 11, k3); MD4_STEP(md4H, b, c, d, a, 15, 15, k3);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
  }
}

#undef MD4_STEP

struct Md4Algorithm {
  using Context = Md4Context;
  static constexpr uint32_t kTag = kMd4ContextTag;
  static constexpr const char *kAssertName = "MD4";

  static void reset(Context *c) { hashMd4FamilyReset(c); }
  static void update(Context *c, const uint8_t *data, size_t length) {
    hashUpdateCounted<64>(c->block, &c->byteCount, data, length,
                        [c](const uint8_t *p, size_t blocks) { md4Compress(c->state, p, blocks); });
  }
  static void finish(Context *c) {
    hashMd4FamilyFinish(c, [c](const uint8_t *p, size_t blocks) { md4Compress(c->state, p, blocks); });
  }
  static int32_t digestLength(const Context *) { return 16; }
};

}  // namespace

extern const HashInterface kHashMd4 = HashRecordOps<Md4Algorithm>::record("MD4", 64, 16);
