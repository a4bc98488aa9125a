// HMAC objects, one-shots, PBKDF2-HMAC-SHA1 and the HMAC macros; see hmac.h.
#include "core/security/hmac.h"

#include <climits>
#include <cstring>

#include "core/security/hash_algorithms.h"
#include "core/runtime/memory.h"

namespace {

constexpr uint8_t kHmacInnerPad = 0x36;
constexpr uint8_t kHmacOuterPad = 0x5c;
constexpr uint8_t kHmacInnerToOuterPad = kHmacInnerPad ^ kHmacOuterPad;
constexpr int32_t kPbkdf2Sha1BlockBytes = 64;
constexpr int32_t kPbkdf2Sha1DigestBytes = 20;

HmacHandle *hmacCheck(HmacHandle *hmac) {
  Class_Check(hmac, kHmacHandleTag, KSRC);
  return hmac;
}

const HashInterface *hmacInterface(HmacHandle *hmac) {
  const HashInterface *h = nullptr;
  Hash_GetInterface(hmac->Inner, &h);
  return h;
}

void hmacXorKeyBlock(HmacHandle *hmac, uint8_t value) {
  // A word at a time; every BlockSize of ours is a multiple of four.
  uint32_t mask = 0x01010101u * value;
  for (int32_t i = 0; i + 4 <= hmac->KeyBlockSize; i += 4) {
    uint32_t word;
    memcpy(&word, hmac->KeyBlock + i, 4);
    word ^= mask;
    memcpy(hmac->KeyBlock + i, &word, 4);
  }
}

// Ends keying: a long key is replaced by its digest, the block is padded with
// zeros, turned into the inner pad and absorbed.
void hmacCloseKey(HmacHandle *hmac) {
  if (hmac->KeyLength > hmac->KeyBlockSize) {
    int32_t digestSize = Hash_GetDigestSize(hmac->Inner);
    Hash_Generate(hmac->Inner);
    Hash_GetDigest(hmac->Inner, hmac->KeyBlock, hmac->KeyBlockSize);
    hmac->KeyLength = digestSize;
  }
  memset(hmac->KeyBlock + hmac->KeyLength, 0, size_t(hmac->KeyBlockSize - hmac->KeyLength));
  hmacXorKeyBlock(hmac, kHmacInnerPad);
  Hash_Reset(hmac->Inner);
  Hash_Update(hmac->Inner, hmac->KeyBlock, hmac->KeyBlockSize, nullptr);
  hmac->KeyLength = -1;
}

void hmacFreeBuffers(HmacHandle *hmac, const HashInterface *h) {
  if (hmac->KeyBlock != nullptr) MEM_FREE(hmac->KeyBlock, hmac->KeyBlockSize);
  if (hmac->InnerDigest != nullptr) MEM_FREE(hmac->InnerDigest, h->DigestSize);
  hmac->KeyBlock = nullptr;
  hmac->InnerDigest = nullptr;
  hmac->KeyBlockSize = 0;
}

void hmacDestroy(void **object) {
  auto *hmac = static_cast<HmacHandle *>(*object);
  Hmac_SetInterface(hmac, nullptr);
  Hash_Delete(&hmac->Inner);
  hmac->header.classTag = 0;
  MEM_FREE(hmac, sizeof(HmacHandle));
}

// A temporary object: bind, key, feed, finish, then the caller's read step;
// the result of the last step run.
template <class Read>
int hmacOneShot(const HashInterface *h, const void *data, int64_t dataLength, const void *key,
                int32_t keyLength, Read read) {
  HmacHandle *hmac = nullptr;
  HMAC_Create(&hmac);
  int result = Hmac_SetInterface(hmac, h);
  if (result) result = Hmac_SetKey(hmac, key, keyLength);
  if (result) result = Hmac_Update(hmac, data, dataLength);
  if (result) result = Hmac_Generate(hmac);
  if (result) result = read(hmac);
  Hmac_Delete(&hmac);
  return result;
}

// SHA-1 over a running state, for PBKDF2's first HMAC of each block (salt and
// block number behind a precomputed pad state).
struct Pbkdf2Sha1Stream {
  uint32_t state[5];
  uint64_t byteCount;
  uint8_t block[kPbkdf2Sha1BlockBytes];

  void update(const uint8_t *data, size_t length) {
    hashUpdateCounted<64>(block, &byteCount, data, length,
                          [this](const uint8_t *p, size_t blocks) { Sha1_Compress(state, p, blocks); });
  }
  void finish(uint8_t digest[kPbkdf2Sha1DigestBytes]) {
    hashPadBigEndian64(block, byteCount,
                       [this](const uint8_t *p, size_t blocks) { Sha1_Compress(state, p, blocks); });
    for (int i = 0; i < 5; i++) hashStore32be(digest + 4 * i, state[i]);
  }
};

constexpr uint32_t kSha1Initial[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

// A SHA-1 state that has absorbed the key block XORed with pad.
void pbkdf2PadState(const uint8_t key[kPbkdf2Sha1BlockBytes], uint8_t pad, uint32_t state[5]) {
  uint8_t block[kPbkdf2Sha1BlockBytes];
  for (int i = 0; i < kPbkdf2Sha1BlockBytes; i++) block[i] = key[i] ^ pad;
  memcpy(state, kSha1Initial, sizeof kSha1Initial);
  Sha1_Compress(state, block, 1);
}

// The last block of a 20-byte message behind a 64-byte pad: the message, the
// 0x80 byte, zeros and the bit count 84 * 8.
void pbkdf2PrepareBlock(uint8_t block[kPbkdf2Sha1BlockBytes]) {
  memset(block, 0, kPbkdf2Sha1BlockBytes);
  block[kPbkdf2Sha1DigestBytes] = 0x80;
  hashStore64be(block + 56, uint64_t(kPbkdf2Sha1BlockBytes + kPbkdf2Sha1DigestBytes) * 8);
}

// One PBKDF2 block: T = U1 ^ U2 ^ ... with U1 = HMAC(salt || index).
void pbkdf2Block(const uint32_t innerState[5], const uint32_t outerState[5], const uint8_t *salt,
                 int32_t saltLength, uint32_t index, int32_t iterations,
                 uint8_t t[kPbkdf2Sha1DigestBytes]) {
  uint8_t u[kPbkdf2Sha1DigestBytes];
  Pbkdf2Sha1Stream stream{};
  memcpy(stream.state, innerState, sizeof stream.state);
  stream.byteCount = kPbkdf2Sha1BlockBytes;
  if (saltLength > 0) stream.update(salt, size_t(saltLength));
  uint8_t indexBytes[4];
  hashStore32be(indexBytes, index);
  stream.update(indexBytes, 4);
  stream.finish(u);
  Pbkdf2Sha1Stream outer{};
  memcpy(outer.state, outerState, sizeof outer.state);
  outer.byteCount = kPbkdf2Sha1BlockBytes;
  outer.update(u, kPbkdf2Sha1DigestBytes);
  outer.finish(u);
  memcpy(t, u, kPbkdf2Sha1DigestBytes);

  // Every further HMAC has a 20-byte message, so each half is one prepared
  // block on a copy of the pad state: two compressions per iteration.
  uint8_t innerBlock[kPbkdf2Sha1BlockBytes], outerBlock[kPbkdf2Sha1BlockBytes];
  pbkdf2PrepareBlock(innerBlock);
  pbkdf2PrepareBlock(outerBlock);
  memcpy(innerBlock, u, kPbkdf2Sha1DigestBytes);
  for (int32_t n = 1; n < iterations; n++) {
    uint32_t state[5];
    memcpy(state, innerState, sizeof state);
    Sha1_Compress(state, innerBlock, 1);
    for (int i = 0; i < 5; i++) hashStore32be(outerBlock + 4 * i, state[i]);
    memcpy(state, outerState, sizeof state);
    Sha1_Compress(state, outerBlock, 1);
    for (int i = 0; i < 5; i++) {
      hashStore32be(innerBlock + 4 * i, state[i]);
      uint32_t word = hashLoad32be(t + 4 * i) ^ state[i];
      hashStore32be(t + 4 * i, word);
    }
  }
}

// Splits "a,rest" at its first comma: the comma becomes a NUL. NULL when
// there is none.
char *hmacSplitAtComma(char *text) {
  char *comma = strchr(text, ',');
  if (comma == nullptr) return nullptr;
  *comma = '\0';
  return comma + 1;
}

bool hmacStartsWithNoCase(const char *text, const char *prefix) {
  for (; *prefix != '\0'; text++, prefix++) {
    char c = *text;
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    if (c != *prefix) return false;
  }
  return true;
}

}  // namespace

int HMAC_Create(HmacHandle **hmac) {
  CHECK_POINTER(hmac);
  auto *h = static_cast<HmacHandle *>(MEM_ALLOC(sizeof(HmacHandle), MEM_ZEROED));
  h->header.classTag = kHmacHandleTag;
  h->header.refCount.store(1, std::memory_order_relaxed);
  h->header.destroy = hmacDestroy;
  Hash_Create(&h->Inner);
  *hmac = h;
  return 1;
}

int Hmac_Delete(HmacHandle **hmac) {
  CHECK_POINTER(hmac);
  hmacCheck(*hmac);
  Class_Release(reinterpret_cast<void **>(hmac));
  return 1;
}

int Hmac_SetInterface(HmacHandle *hmac, const HashInterface *h) {
  hmacCheck(hmac);
  const HashInterface *old = hmacInterface(hmac);
  if (h == old) {
    if (h != nullptr) Hmac_Reset(hmac);
    return 1;
  }
  hmacFreeBuffers(hmac, old);
  if (h != nullptr) {
    hmac->KeyBlock = static_cast<uint8_t *>(MEM_ALLOC(h->BlockSize, MEM_ZEROED));
    hmac->InnerDigest = static_cast<uint8_t *>(MEM_ALLOC(h->DigestSize, MEM_ZEROED));
    hmac->KeyBlockSize = h->BlockSize;
  }
  hmac->KeyLength = 0;
  return Hash_SetInterface(hmac->Inner, h);
}

int Hmac_SetKey(HmacHandle *hmac, const void *key, int32_t length) {
  hmacCheck(hmac);
  if (hmac->KeyLength < 0 || hmac->KeyBlock == nullptr || length < 0) return 0;
  if (length == 0) return 1;
  CHECK_POINTER(key);
  if (int64_t(hmac->KeyLength) + length > INT32_MAX) return 0;
  if (hmac->KeyLength + length <= hmac->KeyBlockSize) {
    memcpy(hmac->KeyBlock + hmac->KeyLength, key, size_t(length));
  } else {
    // The key outgrows the block: it will be replaced by its digest, so the
    // bytes so far move into Inner and the rest follows them there.
    if (hmac->KeyLength >= 1 && hmac->KeyLength <= hmac->KeyBlockSize) {
      Hash_Reset(hmac->Inner);
      Hash_Update(hmac->Inner, hmac->KeyBlock, hmac->KeyLength, nullptr);
    }
    Hash_Update(hmac->Inner, key, length, nullptr);
  }
  hmac->KeyLength += length;
  return 1;
}

int Hmac_Update(HmacHandle *hmac, const void *data, int64_t length) {
  hmacCheck(hmac);
  if (hmac->KeyBlock == nullptr) return 0;
  if (hmac->KeyLength >= 0) hmacCloseKey(hmac);
  if (length == 0) return 1;
  return Hash_Update(hmac->Inner, data, length, nullptr);
}

int Hmac_Generate(HmacHandle *hmac) {
  hmacCheck(hmac);
  if (hmac->KeyBlock == nullptr) return 0;
  if (hmac->KeyLength >= 0) hmacCloseKey(hmac);
  int32_t digestSize = Hash_GetDigestSize(hmac->Inner);
  Hash_Generate(hmac->Inner);
  Hash_GetDigest(hmac->Inner, hmac->InnerDigest, digestSize);
  hmacXorKeyBlock(hmac, kHmacInnerToOuterPad);
  Hash_Reset(hmac->Inner);
  Hash_Update(hmac->Inner, hmac->KeyBlock, hmac->KeyBlockSize, nullptr);
  Hash_Update(hmac->Inner, hmac->InnerDigest, digestSize, nullptr);
  return Hash_Generate(hmac->Inner);
}

int Hmac_GetDigest(HmacHandle *hmac, void *out, int32_t size) {
  hmacCheck(hmac);
  return Hash_GetDigest(hmac->Inner, out, size);
}

int Hmac_Reset(HmacHandle *hmac) {
  hmacCheck(hmac);
  Hash_Reset(hmac->Inner);
  hmac->KeyLength = 0;
  if (hmac->KeyBlock != nullptr) memset(hmac->KeyBlock, 0, size_t(hmac->KeyBlockSize));
  return 1;
}

int Hmac_CopyState(HmacHandle *source, HmacHandle *target) {
  hmacCheck(source);
  hmacCheck(target);
  const HashInterface *h = hmacInterface(source);
  if (h != hmacInterface(target))
    Core_Abort(KSRC, "Assertion failed (SourceInterface == TargetInterface)\nInterfaces don't match");
  if (source->KeyBlockSize != target->KeyBlockSize)
    Core_Abort(KSRC, "Assertion failed (SourceHMAC->BlockSize == TargetHMAC->BlockSize)\nBlock sizes don't match");
  Hmac_SetInterface(target, h);
  target->KeyLength = source->KeyLength;
  if (h == nullptr) return 1;
  memcpy(target->KeyBlock, source->KeyBlock, size_t(source->KeyBlockSize));
  Hash_CopyState(source->Inner, target->Inner);
  memcpy(target->InnerDigest, source->InnerDigest, size_t(h->DigestSize));
  return 1;
}

int Hmac_Compute(const HashInterface *h, const void *data, int64_t dataLength, const void *key,
                 int32_t keyLength, void *out, int32_t size) {
  return hmacOneShot(h, data, dataLength, key, keyLength,
                     [&](HmacHandle *hmac) { return Hmac_GetDigest(hmac, out, size); });
}

int Hmac_ComputeHex(const HashInterface *h, const void *data, int64_t dataLength, const void *key,
                    int32_t keyLength, char *out) {
  CHECK_POINTER(out);
  return hmacOneShot(h, data, dataLength, key, keyLength, [&](HmacHandle *hmac) {
    return Hash_GetDigestHex(hmac->Inner, out, kHashMacroOutputBytes);
  });
}

int Hmac_Pbkdf2Sha1(const void *password, int32_t passwordLength, const void *salt,
                    int32_t saltLength, int32_t iterations, void *out, int32_t outLength) {
  if (outLength < 1) return 0;
  CHECK_POINTER(out);
  // Callers that ignore the result still get defined bytes.
  memset(out, 0, size_t(outLength));
  if (iterations < 1 || passwordLength < 0 || saltLength < 0) return 0;
  if (passwordLength > 0) CHECK_POINTER(password);
  if (saltLength > 0) CHECK_POINTER(salt);

  // The HMAC key block: the password, or its digest when longer than a block.
  uint8_t key[kPbkdf2Sha1BlockBytes] = {};
  if (passwordLength > kPbkdf2Sha1BlockBytes)
    Hash_ComputeDigest(&kHashSha1, password, passwordLength, key, sizeof key);
  else if (passwordLength > 0)
    memcpy(key, password, size_t(passwordLength));
  // Both pads are absorbed once; every HMAC below starts from a copy.
  uint32_t innerState[5], outerState[5];
  pbkdf2PadState(key, kHmacInnerPad, innerState);
  pbkdf2PadState(key, kHmacOuterPad, outerState);

  auto *p = static_cast<uint8_t *>(out);
  uint32_t blocks = uint32_t((outLength - 1) / kPbkdf2Sha1DigestBytes) + 1;
  for (uint32_t i = 1; i <= blocks; i++) {
    uint8_t t[kPbkdf2Sha1DigestBytes];
    pbkdf2Block(innerState, outerState, static_cast<const uint8_t *>(salt), saltLength, i,
                iterations, t);
    int32_t offset = int32_t(i - 1) * kPbkdf2Sha1DigestBytes;
    int32_t n = outLength - offset < kPbkdf2Sha1DigestBytes ? outLength - offset : kPbkdf2Sha1DigestBytes;
    memcpy(p + offset, t, size_t(n));
  }
  memset(key, 0, sizeof key);
  return 1;
}

int Hmac_MacroHandler(void *, const char *name, char *argument, char *out) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (!hmacStartsWithNoCase(name, "HMAC")) return 0;
  if (argument == nullptr || argument[0] == '\0') return 0;
  // "HMACSHA256" names the algorithm; "HMAC" takes it from the argument.
  const char *algorithm = name + 4;
  char *rest = argument;
  if (strlen(name) <= 5) {
    algorithm = argument;
    rest = hmacSplitAtComma(argument);
    if (rest == nullptr) return 1;
  }
  const HashInterface *h = nullptr;
  if (!Hash_GetInterfaceByName(algorithm, &h)) return 1;
  char *key = rest;
  char *data = hmacSplitAtComma(rest);
  if (data == nullptr) return 1;
  size_t keyLength = strlen(key);
  if (keyLength > INT32_MAX) return 1;
  Hmac_ComputeHex(h, data, int64_t(strlen(data)), key, int32_t(keyLength), out);
  return 1;
}
