// Single DES and the NTLM response; see des.h. Bits are numbered as the
// standard's tables number them: 1 is the most significant bit of the block.
#include "core/security/des.h"

#include <cstring>

#include "core/runtime/class.h"
#include "core/runtime/core.h"

namespace {

// The standard's tables, laid out as it prints them.
// clang-format off
constexpr uint8_t kDesInitialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10,  2,
    60, 52, 44, 36, 28, 20, 12,  4,
    62, 54, 46, 38, 30, 22, 14,  6,
    64, 56, 48, 40, 32, 24, 16,  8,
    57, 49, 41, 33, 25, 17,  9,  1,
    59, 51, 43, 35, 27, 19, 11,  3,
    61, 53, 45, 37, 29, 21, 13,  5,
    63, 55, 47, 39, 31, 23, 15,  7,
};

constexpr uint8_t kDesFinalPermutation[64] = {
    40,  8, 48, 16, 56, 24, 64, 32,
    39,  7, 47, 15, 55, 23, 63, 31,
    38,  6, 46, 14, 54, 22, 62, 30,
    37,  5, 45, 13, 53, 21, 61, 29,
    36,  4, 44, 12, 52, 20, 60, 28,
    35,  3, 43, 11, 51, 19, 59, 27,
    34,  2, 42, 10, 50, 18, 58, 26,
    33,  1, 41,  9, 49, 17, 57, 25,
};

constexpr uint8_t kDesExpansion[48] = {
    32,  1,  2,  3,  4,  5,
     4,  5,  6,  7,  8,  9,
     8,  9, 10, 11, 12, 13,
    12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21,
    20, 21, 22, 23, 24, 25,
    24, 25, 26, 27, 28, 29,
    28, 29, 30, 31, 32,  1,
};

constexpr uint8_t kDesRoundPermutation[32] = {
    16,  7, 20, 21, 29, 12, 28, 17,
     1, 15, 23, 26,  5, 18, 31, 10,
     2,  8, 24, 14, 32, 27,  3,  9,
    19, 13, 30,  6, 22, 11,  4, 25,
};

constexpr uint8_t kDesKeyChoice1[56] = {
    57, 49, 41, 33, 25, 17,  9,
     1, 58, 50, 42, 34, 26, 18,
    10,  2, 59, 51, 43, 35, 27,
    19, 11,  3, 60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15,
     7, 62, 54, 46, 38, 30, 22,
    14,  6, 61, 53, 45, 37, 29,
    21, 13,  5, 28, 20, 12,  4,
};

constexpr uint8_t kDesKeyChoice2[48] = {
    14, 17, 11, 24,  1,  5,
     3, 28, 15,  6, 21, 10,
    23, 19, 12,  4, 26,  8,
    16,  7, 27, 20, 13,  2,
    41, 52, 31, 37, 47, 55,
    30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53,
    46, 42, 50, 36, 29, 32,
};

constexpr uint8_t kDesKeyShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// Row (outer bits) by column (inner four bits) of each S-box.
constexpr uint8_t kDesSbox[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}},
};

// clang-format on

// The key schedule of one key; a class object on the caller's stack.
struct DesContext {
  ObjectHeader header;
  uint64_t Subkeys[16];  // 48 bits each, in the low bits
};

// Output bit i (from the top of an outBits-wide value) is input bit
// table[i] of an inBits-wide value.
uint64_t desPermute(uint64_t in, const uint8_t *table, int outBits, int inBits) {
  uint64_t out = 0;
  for (int i = 0; i < outBits; i++) out = (out << 1) | ((in >> (inBits - table[i])) & 1);
  return out;
}

inline uint32_t desRotate28(uint32_t v, int count) {
  return ((v << count) | (v >> (28 - count))) & 0x0fffffff;
}

void desSetKey(DesContext *des, const uint8_t key[8]) {
  uint64_t k = 0;
  for (int i = 0; i < 8; i++) k = (k << 8) | key[i];
  uint64_t cd = desPermute(k, kDesKeyChoice1, 56, 64);
  uint32_t c = uint32_t(cd >> 28), d = uint32_t(cd & 0x0fffffff);
  for (int round = 0; round < 16; round++) {
    c = desRotate28(c, kDesKeyShifts[round]);
    d = desRotate28(d, kDesKeyShifts[round]);
    des->Subkeys[round] = desPermute((uint64_t(c) << 28) | d, kDesKeyChoice2, 48, 56);
  }
}

uint32_t desFeistel(uint32_t right, uint64_t subkey) {
  uint64_t x = desPermute(right, kDesExpansion, 48, 32) ^ subkey;
  uint32_t s = 0;
  for (int box = 0; box < 8; box++) {
    int six = int((x >> (42 - 6 * box)) & 0x3f);
    int row = ((six >> 4) & 2) | (six & 1), column = (six >> 1) & 0xf;
    s = (s << 4) | kDesSbox[box][row][column];
  }
  return uint32_t(desPermute(s, kDesRoundPermutation, 32, 32));
}

void desEncryptBlock(const DesContext *des, const uint8_t in[8], uint8_t out[8]) {
  uint64_t block = 0;
  for (int i = 0; i < 8; i++) block = (block << 8) | in[i];
  block = desPermute(block, kDesInitialPermutation, 64, 64);
  uint32_t left = uint32_t(block >> 32), right = uint32_t(block);
  for (int round = 0; round < 16; round++) {
    uint32_t next = left ^ desFeistel(right, des->Subkeys[round]);
    left = right;
    right = next;
  }
  // The halves swap once more before the final permutation.
  block = desPermute((uint64_t(right) << 32) | left, kDesFinalPermutation, 64, 64);
  for (int i = 7; i >= 0; i--, block >>= 8) out[i] = uint8_t(block);
}

// Seven key bytes spread over the high seven bits of eight bytes.
void desSpreadKey(const uint8_t in[7], uint8_t out[8]) {
  out[0] = in[0];
  for (int i = 1; i < 7; i++) out[i] = uint8_t((in[i - 1] << (8 - i)) | (in[i] >> i));
  out[7] = uint8_t(in[6] << 1);
}

}  // namespace

int Des_NtlmResponse(const void *key, const void *challenge, void *out) {
  CHECK_POINTER(key);
  CHECK_POINTER(challenge);
  CHECK_POINTER(out);
  const auto *k = static_cast<const uint8_t *>(key);
  auto *response = static_cast<uint8_t *>(out);
  DesContext des{};
  des.header.classTag = kDesContextTag;
  uint8_t spread[8];
  for (int part = 0; part < 3; part++) {
    desSpreadKey(k + 7 * part, spread);
    desSetKey(&des, spread);
    desEncryptBlock(&des, static_cast<const uint8_t *>(challenge), response + 8 * part);
  }
  // The schedule and the spread key are derived from the password hash. The
  // empty asm tells the compiler the wiped bytes are read, so that the
  // stores to a dying frame stay.
  memset(des.Subkeys, 0, sizeof des.Subkeys);
  memset(spread, 0, sizeof spread);
  __asm__ __volatile__("" : : "r"(des.Subkeys), "r"(spread) : "memory");
  return 1;
}
