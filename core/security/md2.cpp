// MD2 record: the 128-bit digest of RFC 1319 behind the HashInterface; see
// hash.h. Kept for old signatures that still name it.
#include "core/security/hash_algorithms.h"

namespace {

// The substitution table: a permutation of 0-255 built from the digits of pi.
constexpr uint8_t kMd2Substitution[256] = {
    41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,
    98,  167, 5,   243, 192, 199, 115, 140, 152, 147, 43,  217, 188, 76,  130, 202,
    30,  155, 87,  60,  253, 212, 224, 22,  103, 66,  111, 24,  138, 23,  229, 18,
    190, 78,  196, 214, 218, 158, 222, 73,  160, 251, 245, 142, 187, 47,  238, 122,
    169, 104, 121, 145, 21,  178, 7,   63,  148, 194, 16,  137, 11,  34,  95,  33,
    128, 127, 93,  154, 90,  144, 50,  39,  53,  62,  204, 231, 191, 247, 151, 3,
    255, 25,  48,  179, 72,  165, 181, 209, 215, 94,  146, 42,  172, 86,  170, 198,
    79,  184, 56,  210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116, 4,   241,
    69,  157, 112, 89,  100, 113, 135, 32,  134, 91,  207, 101, 230, 45,  168, 2,
    27,  96,  37,  173, 174, 176, 185, 246, 28,  70,  97,  105, 52,  64,  126, 15,
    85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249, 206, 186, 197, 234, 38,
    44,  83,  13,  110, 133, 40,  132, 9,   211, 223, 205, 244, 65,  129, 77,  82,
    106, 220, 55,  200, 108, 193, 171, 250, 36,  225, 123, 8,   12,  189, 177, 74,
    120, 136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254, 59,  0,   29,  57,
    242, 239, 183, 14,  102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,
    49,  68,  80,  180, 143, 237, 31,  26,  219, 153, 141, 51,  159, 17,  131, 20,
};

// One 16-byte block: 18 rounds over the 48-byte state, then the checksum.
// The checksum step XORs into the old checksum byte; the published prose
// leaves that XOR out, but the published digests follow this form.
void md2Compress(uint8_t state[48], uint8_t checksum[16], const uint8_t *block) {
  for (int i = 0; i < 16; i++) {
    state[16 + i] = block[i];
    state[32 + i] = uint8_t(state[i] ^ block[i]);
  }
  uint32_t t = 0;
  for (uint32_t round = 0; round < 18; round++) {
    for (int j = 0; j < 48; j++) t = state[j] ^= kMd2Substitution[t];
    t = (t + round) & 0xff;
  }
  t = checksum[15];
  for (int i = 0; i < 16; i++) t = checksum[i] ^= kMd2Substitution[block[i] ^ t];
}

struct Md2Algorithm {
  using Context = Md2Context;
  static constexpr uint32_t kTag = kMd2ContextTag;
  static constexpr const char *kAssertName = "MD2";

  static void reset(Context *c) {
    memset(c->state, 0, sizeof c->state);
    memset(c->checksum, 0, sizeof c->checksum);
    c->blockLength = 0;
    c->digestReady = 0;
  }
  static void update(Context *c, const uint8_t *data, size_t length) {
    hashAbsorb<16>(c->block, c->blockLength, data, length,
                   [c](const uint8_t *p, size_t blocks) {
                     for (; blocks != 0; blocks--, p += 16) md2Compress(c->state, c->checksum, p);
                   });
    c->blockLength = uint32_t((c->blockLength + length) % 16);
  }
  static void finish(Context *c) {
    uint8_t padding[16];
    uint32_t n = 16 - c->blockLength;  // 1 to 16 bytes of value n
    memset(padding, int(n), n);
    update(c, padding, n);
    uint8_t checksum[16];
    memcpy(checksum, c->checksum, 16);
    update(c, checksum, 16);
    memcpy(c->digest, c->state, 16);
  }
  static int32_t digestLength(const Context *) { return 16; }
};

}  // namespace

extern const HashInterface kHashMd2 = HashRecordOps<Md2Algorithm>::record("MD2", 16, 16);
