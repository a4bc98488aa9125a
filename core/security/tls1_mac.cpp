// The record MAC of the TLS session: HMAC keyed once per activation, and the
// constant-time check of a deciphered CBC record. See tls1_internal.h.
//
// The CBC check never branches on, or indexes memory by, a byte of the
// deciphered record or anything computed from one until its single result:
// the padding is checked with masks over the largest span it can have, the
// inner hash runs the same compressions for every content length (the state
// after the block that ends the real message is kept by a mask), and the
// received MAC is gathered from every position it can start at and rotated
// into place by masks.
#include <cstring>

#include "core/runtime/core.h"
#include "core/security/cryptsymmetric.h"
#include "core/security/hash_algorithms.h"
#include "core/security/tls1_internal.h"

struct TlsMacKernel {
  const HashInterface *Hash;
  int32_t BlockBytes;
  int32_t DigestBytes;
  int32_t LengthBytes;  // of the bit count that ends the padding
  int32_t BigEndian;
  void (*Init)(uint64_t state[8]);
  void (*Compress)(uint64_t state[8], const uint8_t *data, size_t blocks);
  void (*Output)(const uint64_t state[8], uint8_t *out);
};

namespace {

// The 32-bit kernels keep their words in the first half of the state bytes.
template <int N, void (*Fn)(uint32_t *, const uint8_t *, size_t)>
void compress32(uint64_t state[8], const uint8_t *data, size_t blocks) {
  uint32_t words[N];
  memcpy(words, state, sizeof words);
  Fn(words, data, blocks);
  memcpy(state, words, sizeof words);
}

template <int N, bool BigEndian>
void output32(const uint64_t state[8], uint8_t *out) {
  uint32_t words[N];
  memcpy(words, state, sizeof words);
  for (int i = 0; i < N; i++) {
    if (BigEndian)
      hashStore32be(out + 4 * i, words[i]);
    else
      hashStore32le(out + 4 * i, words[i]);
  }
}

void md5Compress(uint32_t *state, const uint8_t *data, size_t blocks) { Md5_Compress(state, data, blocks); }
void sha1Compress(uint32_t *state, const uint8_t *data, size_t blocks) { Sha1_Compress(state, data, blocks); }
void sha256Compress(uint32_t *state, const uint8_t *data, size_t blocks) {
  Sha256_Compress(state, data, blocks);
}
void sha384Compress(uint64_t state[8], const uint8_t *data, size_t blocks) {
  Sha512_Compress(state, data, blocks);
}

template <int N>
void init32(uint64_t state[8], const uint32_t (&iv)[N]) {
  memset(state, 0, 64);
  memcpy(state, iv, sizeof iv);
}

constexpr uint32_t kMd5Iv[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
constexpr uint32_t kSha1Iv[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
constexpr uint32_t kSha256Iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr uint64_t kSha384Iv[8] = {0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17,
                                   0x152fecd8f70e5939, 0x67332667ffc00b31, 0x8eb44a8768581511,
                                   0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};

void sha384Output(const uint64_t state[8], uint8_t *out) {
  for (int i = 0; i < 6; i++) hashStore64be(out + 8 * i, state[i]);
}

const TlsMacKernel kKernels[] = {
    {&kHashMd5, 64, 16, 8, 0, [](uint64_t s[8]) { init32(s, kMd5Iv); }, compress32<4, md5Compress>,
     output32<4, false>},
    {&kHashSha1, 64, 20, 8, 1, [](uint64_t s[8]) { init32(s, kSha1Iv); },
     compress32<5, sha1Compress>, output32<5, true>},
    {&kHashSha256, 64, 32, 8, 1, [](uint64_t s[8]) { init32(s, kSha256Iv); },
     compress32<8, sha256Compress>, output32<8, true>},
    {&kHashSha384, 128, 48, 16, 1, [](uint64_t s[8]) { memcpy(s, kSha384Iv, 64); },
     sha384Compress, sha384Output},
};

constexpr int kMaxBlock = 128;

// The bit count of a message of byteCount bytes, as the padding ends it.
void putLength(const TlsMacKernel *k, uint64_t byteCount, uint8_t *out) {
  uint64_t bits = byteCount * 8;
  memset(out, 0, size_t(k->LengthBytes));
  for (int i = 0; i < 8; i++) {
    uint8_t b = uint8_t(bits >> (8 * i));
    if (k->BigEndian)
      out[k->LengthBytes - 1 - i] = b;
    else
      out[i] = b;
  }
}

// Masks: all ones when the relation holds, else 0. Operands below 2^31.
// The opaque step keeps the compiler from seeing that a mask is all or
// nothing and selecting with a branch or a conditional move instead.
inline uint32_t ctOpaque(uint32_t x) {
  __asm__("" : "+r"(x));
  return x;
}
inline uint32_t ctIsLess(uint32_t a, uint32_t b) { return ctOpaque(0u - ((a - b) >> 31)); }
inline uint32_t ctIsEqual(uint32_t a, uint32_t b) {
  uint32_t x = a ^ b;
  return ctOpaque(((x | (0u - x)) >> 31) - 1u);
}
inline uint32_t ctIsGreaterOrEqual(uint32_t a, uint32_t b) { return ~ctIsLess(a, b); }

// The outer hash over a finished inner digest.
void outerHash(const TlsMac *mac, const uint8_t *innerDigest, uint8_t *out) {
  const TlsMacKernel *k = mac->Kernel;
  uint64_t state[8];
  memcpy(state, mac->Outer, sizeof state);
  uint8_t block[kMaxBlock] = {};
  memcpy(block, innerDigest, size_t(k->DigestBytes));
  block[k->DigestBytes] = 0x80;
  putLength(k, uint64_t(k->BlockBytes + k->DigestBytes), block + k->BlockBytes - k->LengthBytes);
  k->Compress(state, block, 1);
  k->Output(state, out);
}

}  // namespace

int TlsMac_SetKey(TlsMac *mac, const HashInterface *hash, const void *key, int32_t length) {
  CHECK_POINTER(mac);
  TlsMac_Clear(mac);
  const TlsMacKernel *k = nullptr;
  for (const TlsMacKernel &candidate : kKernels)
    if (candidate.Hash == hash) k = &candidate;
  if (!k || length < 0 || length > k->BlockBytes || (length > 0 && !key)) return 0;
  uint8_t pad[kMaxBlock];
  for (int round = 0; round < 2; round++) {
    uint8_t fill = round == 0 ? 0x36 : 0x5c;
    memset(pad, fill, size_t(k->BlockBytes));
    for (int i = 0; i < length; i++) pad[i] ^= static_cast<const uint8_t *>(key)[i];
    uint64_t *state = round == 0 ? mac->Inner : mac->Outer;
    k->Init(state);
    k->Compress(state, pad, 1);
  }
  explicit_bzero(pad, sizeof pad);
  mac->Kernel = k;
  return 1;
}

int TlsMac_Clear(TlsMac *mac) {
  CHECK_POINTER(mac);
  explicit_bzero(mac, sizeof *mac);
  return 1;
}

int32_t TlsMac_Size(const TlsMac *mac) { return mac->Kernel ? mac->Kernel->DigestBytes : 0; }

void TlsMac_Compute(const TlsMac *mac, const uint8_t *header, int32_t headerLength,
                    const uint8_t *data, int32_t length, uint8_t *out) {
  const TlsMacKernel *k = mac->Kernel;
  if (!k) Core_Abort(KSRC, "Pointer is NULL\n");
  const size_t B = size_t(k->BlockBytes);
  uint64_t state[8];
  memcpy(state, mac->Inner, sizeof state);
  uint8_t block[kMaxBlock];
  size_t used = size_t(headerLength);
  memcpy(block, header, used);
  size_t rest = size_t(length);
  size_t take = rest < B - used ? rest : B - used;
  if (take) memcpy(block + used, data, take);
  used += take;
  data += take;
  rest -= take;
  if (used == B) {
    k->Compress(state, block, 1);
    used = 0;
    if (rest >= B) {
      k->Compress(state, data, rest / B);
      data += rest / B * B;
      rest %= B;
    }
    if (rest) memcpy(block, data, rest);
    used = rest;
  }
  block[used++] = 0x80;
  if (used > B - size_t(k->LengthBytes)) {
    memset(block + used, 0, B - used);
    k->Compress(state, block, 1);
    used = 0;
  }
  memset(block + used, 0, B - used);
  putLength(k, uint64_t(B) + uint64_t(headerLength) + uint64_t(length),
            block + B - size_t(k->LengthBytes));
  k->Compress(state, block, 1);
  uint8_t inner[kTlsMaxMacBytes];
  k->Output(state, inner);
  outerHash(mac, inner, out);
}

int TlsMac_CheckCbcRecord(const TlsMac *mac, uint8_t header[13], const uint8_t *record,
                          int32_t length, int32_t *contentLength) {
  const TlsMacKernel *k = mac->Kernel;
  if (!k) Core_Abort(KSRC, "Pointer is NULL\n");
  CHECK_POINTER(contentLength);
  *contentLength = 0;
  const uint32_t D = uint32_t(k->DigestBytes);
  const uint32_t B = uint32_t(k->BlockBytes);
  const uint32_t P = uint32_t(length);
  if (length < 0 || P < D + 1) return 0;  // too short for any padding: public

  // Padding: the last byte is its length; every byte of the span it claims
  // must repeat it, and the span must leave room for the MAC.
  uint32_t pad = record[P - 1];
  uint32_t good = ctIsGreaterOrEqual(P, D + 1 + pad);
  uint32_t span = P < 256 ? P : 256;
  for (uint32_t i = 0; i < span; i++) {
    uint32_t b = record[P - 1 - i];
    uint32_t claimed = ~ctIsLess(pad, i);  // i <= pad
    good &= ~(claimed & ~ctIsEqual(b, pad));
  }
  pad &= good;
  const uint32_t maxContent = P - D - 1;
  const uint32_t minContent = P > D + 256 ? P - D - 256 : 0;
  const uint32_t content = maxContent - pad;

  // Inner hash over header | content, the content length secret.
  header[11] = uint8_t(content >> 8);
  header[12] = uint8_t(content);
  const uint32_t messageLength = 13 + content;
  const uint32_t maxMessage = 13 + maxContent;
  const uint32_t blockShift = B == 128 ? 7 : 6;
  const uint32_t finalBlock = (messageLength + uint32_t(k->LengthBytes)) >> blockShift;
  const uint32_t publicBlocks = (13 + minContent) >> blockShift;
  const uint32_t endBlock = ((maxMessage + uint32_t(k->LengthBytes)) >> blockShift) + 1;
  uint8_t lengthField[16];
  putLength(k, uint64_t(B) + messageLength, lengthField);

  auto byteAt = [&](uint32_t i) -> uint32_t {
    if (i < 13) return header[i];
    return i < maxMessage ? record[i - 13] : 0;  // i and maxMessage are public
  };
  uint64_t state[8];
  memcpy(state, mac->Inner, sizeof state);
  uint8_t block[kMaxBlock];
  uint32_t k0 = 0;
  if (publicBlocks > 0) {
    for (uint32_t j = 0; j < B; j++) block[j] = uint8_t(byteAt(j));
    k->Compress(state, block, 1);
    if (publicBlocks > 1) k->Compress(state, record + B - 13, publicBlocks - 1);
    k0 = publicBlocks;
  }
  uint64_t kept[8] = {};
  for (uint32_t blk = k0; blk < endBlock; blk++) {
    uint32_t isFinal = ctIsEqual(blk, finalBlock);
    for (uint32_t j = 0; j < B; j++) {
      // Opaque, so that the compiler cannot derive the public index from
      // its distance to the secret length.
      uint32_t i = ctOpaque(blk * B + j);
      uint32_t b = byteAt(i) & ctIsLess(i, messageLength);
      b |= 0x80 & ctIsEqual(i, messageLength);
      if (j >= B - uint32_t(k->LengthBytes)) b |= lengthField[j - (B - uint32_t(k->LengthBytes))] & isFinal;
      block[j] = uint8_t(b);
    }
    k->Compress(state, block, 1);
    uint64_t wide = uint64_t(int64_t(int32_t(isFinal)));
    for (int w = 0; w < 8; w++) kept[w] |= state[w] & wide;
  }
  uint8_t inner[kTlsMaxMacBytes];
  k->Output(kept, inner);
  uint8_t expected[kTlsMaxMacBytes];
  outerHash(mac, inner, expected);

  // The received MAC starts at content; gather it from every start it can
  // have, then rotate it into place.
  uint8_t rotated[kTlsMaxMacBytes] = {};
  uint32_t inMac = 0, rotation = 0, slot = 0;
  for (uint32_t i = minContent; i < P - 1; i++) {
    uint32_t starts = ctIsEqual(i, content);
    inMac = (inMac | starts) & ctIsLess(i, content + D);
    rotation |= slot & starts;
    rotated[slot] |= uint8_t(record[i] & inMac);
    if (++slot == D) slot = 0;  // slot is public
  }
  uint8_t received[kTlsMaxMacBytes] = {};
  for (uint32_t n = 0; n < D; n++) {
    uint32_t from = n + rotation;
    from -= D & ctIsGreaterOrEqual(from, D);
    uint32_t b = 0;
    for (uint32_t m = 0; m < D; m++) b |= rotated[m] & ctIsEqual(m, from);
    received[n] = uint8_t(b);
  }
  int equal = Crypt_ConstantTimeEqual(received, expected, D);
  *contentLength = int32_t(content);
  return equal & int(good & 1);
}
