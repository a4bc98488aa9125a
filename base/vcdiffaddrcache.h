// VCDiffAddressCache: the near and same caches through which VCDIFF COPY
// addresses are coded (near cache of 4 recent addresses, same cache of 3 x
// 256 addresses indexed by address modulo 768), with the addresses section
// they are read from. Also the section cursor and the integer reader that the
// decoder shares.
//
// Invariants: (1) position <= length in every section. (2) nextNear < 4.
// (3) setting the addresses section clears both caches and nextNear. (4)
// every decoded address goes into both caches (near at nextNear, which then
// advances modulo 4; same at address % 768).
//
// Threads: one thread at a time (the decoder's owner).
#pragma once

#include <cstdint>

constexpr int kVCDiffNearSize = 4;
constexpr int kVCDiffSameSize = 3 * 256;
constexpr int kVCDiffModeCount = 2 + 4 + 3;  // SELF, HERE, NEAR 0-3, SAME 0-2
constexpr uint64_t kVCDiffMax64 = (uint64_t(1) << 63) - 1;
constexpr uint64_t kVCDiffMax32 = 0xffffffffull;

// A section of a delta: bytes read from position on.
struct VCDiffSection {
  const uint8_t *data;  // borrowed from the input
  uint64_t length;
  uint64_t position;
};

// Reads the big-endian base-128 integer at the section's position: at most
// 10 bytes and 2^63 - 1 for a 64-bit integer (is64 1), 5 bytes and 2^32 - 1
// for a 32-bit one. 1 with the value and the position moved past it; 0 when
// the form is too long, too large or runs past the section (the position
// then stays).
inline int VCDiff_ReadInteger(VCDiffSection *s, int is64, uint64_t *value) {
  const int maxBytes = is64 ? 10 : 5;
  const uint64_t maxValue = is64 ? kVCDiffMax64 : kVCDiffMax32;
  uint64_t p = s->position, v = 0;
  for (int i = 0; i < maxBytes && p < s->length; ++i) {
    uint8_t b = s->data[p++];
    if (v > (maxValue >> 7)) return 0;
    v = (v << 7) | (b & 0x7f);
    if (v > maxValue) return 0;
    if ((b & 0x80) == 0) {
      s->position = p;
      *value = v;
      return 1;
    }
  }
  return 0;
}

struct VCDiffAddressCache {
  uint64_t near[kVCDiffNearSize];
  uint64_t same[kVCDiffSameSize];
  int32_t nextNear;
  VCDiffSection addresses;
};

// An empty cache in tracked memory. Returns 1.
int VCDiffAddressCache_Create(VCDiffAddressCache **cache);
// Frees the cache and clears *cache. NULL is fine. Returns 1.
int VCDiffAddressCache_Release(VCDiffAddressCache **cache);
// Sets the addresses section (borrowed) and clears both caches. Returns 1.
int VCDiffAddressCache_SetSection(VCDiffAddressCache *cache, const uint8_t *data,
                                  uint64_t length);

// Decodes the address of a COPY in mode (0-8) at here (the source segment
// size plus the bytes of the window written so far) and adds it to the
// caches. 0 when the mode is not 0-8, the addresses section ends, the
// integer is malformed, HERE's integer is above here, or the address is at or
// beyond here (bytes not written yet).
inline int VCDiffAddressCache_Decode(VCDiffAddressCache *c, uint64_t here, int mode,
                                     uint64_t *address) {
  uint64_t a = 0, n = 0;
  if (mode < 2) {
    if (!VCDiff_ReadInteger(&c->addresses, 1, &n)) return 0;
    if (mode == 0) {
      a = n;
    } else {
      if (n > here) return 0;
      a = here - n;
    }
  } else if (mode < 2 + kVCDiffNearSize) {
    if (!VCDiff_ReadInteger(&c->addresses, 1, &n)) return 0;
    if (n > ~uint64_t(0) - c->near[mode - 2]) return 0;
    a = c->near[mode - 2] + n;
  } else if (mode < kVCDiffModeCount) {
    if (c->addresses.position >= c->addresses.length) return 0;
    a = c->same[(mode - 2 - kVCDiffNearSize) * 256 + c->addresses.data[c->addresses.position++]];
  } else {
    return 0;
  }
  if (a >= here) return 0;
  c->near[c->nextNear] = a;
  c->nextNear = (c->nextNear + 1) % kVCDiffNearSize;
  c->same[a % kVCDiffSameSize] = a;
  *address = a;
  return 1;
}
