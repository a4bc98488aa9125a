// Hash algorithms, internal side: the context layouts, the byte-order
// helpers, the multi-block compression kernels and the template that turns an
// algorithm's reset/update/finish into a HashInterface record. Only the
// algorithm files, hash.cpp, hmac.cpp and tests include it.
//
// Invariants: (1) a context is a plain value after its header: no interior
// pointers, so CopyState is one memcpy. (2) the block buffer only ever holds a
// partial head or tail; whole blocks are compressed straight from the
// caller's data. (3) a kernel pointer always points at a kernel that this CPU
// can run (it is chosen from CpuFeatures_Get).
//
// Threads: contexts belong to one thread at a time. Kernel pointers are
// atomics, chosen lazily and again by Hash_SelectKernels; both choices are
// correct, so a race between them is harmless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/runtime/class.h"
#include "core/security/hash.h"

constexpr uint32_t kCrcContextTag = 0x6f0ac388;
constexpr uint32_t kMd2ContextTag = 0x5703fb29;
constexpr uint32_t kMd4ContextTag = 0x34d3ce13;
constexpr uint32_t kMd5ContextTag = 0x92a4c5a7;
constexpr uint32_t kSha1ContextTag = 0x333ceb0c;
constexpr uint32_t kSha256ContextTag = 0x27668c39;  // SHA-224 and SHA-256
constexpr uint32_t kSha512ContextTag = 0x3302cb19;  // SHA-384 and SHA-512

struct CrcContext {
  ObjectHeader header;
  uint32_t digestReady;
  uint32_t crc;        // zlib's running value; 0 after Reset
  uint8_t digest[4];   // crc, most significant byte first
};

struct Md2Context {
  ObjectHeader header;
  uint8_t state[48];   // the first 16 bytes are the chaining state
  uint8_t checksum[16];
  uint8_t block[16];
  uint32_t digestReady;
  uint8_t digest[16];
  uint32_t blockLength;
};

// MD4 and MD5. The block buffer fill is byteCount % 64; byteCount * 8 is the
// standards' 64-bit bit count, so lengths past 512 MiB carry correctly.
struct Md4Context {
  ObjectHeader header;
  uint64_t byteCount;
  uint32_t state[4];
  uint8_t block[64];
  uint32_t digestReady;
  uint8_t digest[16];
};
using Md5Context = Md4Context;

struct Sha1Context {
  ObjectHeader header;
  uint64_t byteCount;
  uint32_t state[5];
  uint8_t block[64];
  uint32_t digestReady;
  uint8_t digest[20];
};

// SHA-224 and SHA-256 share the layout; digestLength (28 or 32) decides how
// much Generate writes. The digest lives inside so that no context allocates.
struct Sha256Context {
  ObjectHeader header;
  uint64_t byteCount;
  uint32_t state[8];
  uint8_t block[64];
  uint32_t digestReady;
  uint32_t digestLength;
  uint8_t digest[32];
};

// SHA-384 and SHA-512; the 128-bit byte count is byteCountHigh:byteCount.
struct Sha512Context {
  ObjectHeader header;
  uint64_t byteCount;
  uint64_t byteCountHigh;
  uint64_t state[8];
  uint8_t block[128];
  uint32_t digestReady;
  uint32_t digestLength;
  uint8_t digest[64];
};

// ---- byte order ----------------------------------------------------------

inline uint32_t hashLoad32le(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;  // the targets we build for are little-endian
}
inline uint32_t hashLoad32be(const uint8_t *p) { return __builtin_bswap32(hashLoad32le(p)); }
inline uint64_t hashLoad64be(const uint8_t *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}
inline void hashStore32le(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }
inline void hashStore32be(uint8_t *p, uint32_t v) { hashStore32le(p, __builtin_bswap32(v)); }
inline void hashStore64le(uint8_t *p, uint64_t v) { memcpy(p, &v, 8); }
inline void hashStore64be(uint8_t *p, uint64_t v) {
  v = __builtin_bswap64(v);
  memcpy(p, &v, 8);
}
inline uint32_t hashRotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t hashRotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint64_t hashRotr64(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "hash byte order helpers assume little-endian");

// ---- block handling shared by the Merkle-Damgard algorithms -------------

// Absorbs length bytes when `used` bytes already wait in block: completes and
// compresses the head, compresses whole blocks straight from data, keeps the
// tail. compress(pointer, blockCount).
template <size_t kBlockBytes, class Compress>
inline void hashAbsorb(uint8_t *block, size_t used, const uint8_t *data, size_t length,
                       Compress compress) {
  if (used != 0) {
    size_t take = kBlockBytes - used < length ? kBlockBytes - used : length;
    memcpy(block + used, data, take);
    data += take;
    length -= take;
    if (used + take < kBlockBytes) return;
    compress(block, 1);
  }
  size_t blocks = length / kBlockBytes;
  if (blocks != 0) {
    compress(data, blocks);
    data += blocks * kBlockBytes;
    length -= blocks * kBlockBytes;
  }
  if (length != 0) memcpy(block, data, length);
}

// Appends the 0x80 byte, zeros and the encoded length field (kLengthBytes at
// the end of the last block) and compresses what that leaves.
template <size_t kBlockBytes, size_t kLengthBytes, class Compress>
inline void hashPad(uint8_t *block, size_t used, const uint8_t *lengthField, Compress compress) {
  block[used++] = 0x80;
  if (used > kBlockBytes - kLengthBytes) {
    memset(block + used, 0, kBlockBytes - used);
    compress(block, 1);
    used = 0;
  }
  memset(block + used, 0, kBlockBytes - kLengthBytes - used);
  memcpy(block + kBlockBytes - kLengthBytes, lengthField, kLengthBytes);
  compress(block, 1);
}

// Absorbs data into a block buffer whose fill is byteCount % kBlockBytes.
template <size_t kBlockBytes, class Compress>
inline void hashUpdateCounted(uint8_t *block, uint64_t *byteCount, const uint8_t *data,
                              size_t length, Compress compress) {
  size_t used = size_t(*byteCount % kBlockBytes);
  *byteCount += length;
  hashAbsorb<kBlockBytes>(block, used, data, length, compress);
}

// The last block(s) of SHA-1 and SHA-256: the 64-bit bit count big-endian.
template <class Compress>
inline void hashPadBigEndian64(uint8_t *block, uint64_t byteCount, Compress compress) {
  uint8_t bits[8];
  hashStore64be(bits, byteCount << 3);
  hashPad<64, 8>(block, size_t(byteCount % 64), bits, compress);
}

// MD4 and MD5 differ only in their compression: both count bytes in 64 bits
// and write the bit count and the digest little-endian.
template <class Compress>
inline void hashMd4FamilyFinish(Md4Context *c, Compress compress) {
  uint8_t bits[8];
  hashStore64le(bits, c->byteCount << 3);
  hashPad<64, 8>(c->block, size_t(c->byteCount % 64), bits, compress);
  for (int i = 0; i < 4; i++) hashStore32le(c->digest + 4 * i, c->state[i]);
}

inline void hashMd4FamilyReset(Md4Context *c) {
  c->byteCount = 0;
  c->state[0] = 0x67452301;
  c->state[1] = 0xefcdab89;
  c->state[2] = 0x98badcfe;
  c->state[3] = 0x10325476;
  c->digestReady = 0;
}

// ---- kernels ---------------------------------------------------------------

typedef void (*Sha1Kernel)(uint32_t state[5], const uint8_t *data, size_t blocks);
typedef void (*Sha256Kernel)(uint32_t state[8], const uint8_t *data, size_t blocks);
typedef void (*Sha512Kernel)(uint64_t state[8], const uint8_t *data, size_t blocks);

// Compress blocks with the kernel chosen for this CPU (MD5: the one kernel).
void Md5_Compress(uint32_t state[4], const uint8_t *data, size_t blocks);
void Sha1_Compress(uint32_t state[5], const uint8_t *data, size_t blocks);
void Sha256_Compress(uint32_t state[8], const uint8_t *data, size_t blocks);
void Sha512_Compress(uint64_t state[8], const uint8_t *data, size_t blocks);

// Chooses each algorithm's kernel again from CpuFeatures_Get (after a test or
// benchmark changed the override).
void Hash_SelectKernels(void);
void Sha1_SelectKernel(uint32_t features);
void Sha2_SelectKernels(uint32_t features);

// The kernel now in use ("portable", "sha-ni", "bmi2"), for tests and
// benchmark labels. algorithm is "SHA1", "SHA256" or "SHA512"; others give
// "portable".
const char *Hash_KernelName(const char *algorithm);
const char *Sha1_KernelName(void);
const char *Sha256_KernelName(void);
const char *Sha512_KernelName(void);

// ---- records from an algorithm's three steps -----------------------------

// Tracked allocation of a zero-filled context, and its release; kept out of
// line so that this header needs no allocator.
void *Hash_AllocContext(size_t size);
void Hash_FreeContext(void *context, size_t size);

// An algorithm A provides: Context, kTag, kAssertName ("SHA256" for SHA-224
// too), reset(Context*), update(Context*, const uint8_t*, size_t),
// finish(Context*) (fills digest) and digestLength(const Context*).
template <class A>
struct HashRecordOps {
  using Context = typename A::Context;

  static Context *check(const void *context) {
    Class_Check(context, A::kTag, KSRC);
    return static_cast<Context *>(const_cast<void *>(context));
  }
  static void checkReady(const Context *c) {
    if (!c->digestReady)
      Core_Abort(KSRC, "Assertion failed (%s->DigestReady)\n%s must be generated first!",
                 A::kAssertName, A::kAssertName);
  }
  static void destroy(void **context) { Hash_FreeContext(*context, sizeof(Context)); }

  static int32_t contextSize() { return int32_t(sizeof(Context)); }
  static int initInPlace(void *context);
  static int uninitInPlace(void *context) {
    check(context);
    return 1;
  }
  static int create(void **context);
  static int release(void **context) {
    CHECK_POINTER(context);
    check(*context);
    Class_Release(context);
    return 1;
  }
  static int copyState(const void *source, void *target) {
    const Context *s = check(source);
    Context *t = check(target);
    // Everything after the header: the target keeps its id, count and destroy.
    memcpy(reinterpret_cast<uint8_t *>(t) + sizeof(ObjectHeader),
           reinterpret_cast<const uint8_t *>(s) + sizeof(ObjectHeader),
           sizeof(Context) - sizeof(ObjectHeader));
    return 1;
  }
  static int reset(void *context) {
    A::reset(check(context));
    return 1;
  }
  static int update(void *context, const void *data, int64_t length) {
    Context *c = check(context);
    CHECK_POINTER(data);
    if (length < 0) return 0;
    A::update(c, static_cast<const uint8_t *>(data), size_t(length));
    return 1;
  }
  static int isDigestReady(const void *context) { return check(context)->digestReady ? 1 : 0; }
  static int generate(void *context) {
    Context *c = check(context);
    A::finish(c);
    c->digestReady = 1;
    return 1;
  }
  static int getDigest(const void *context, void *out, int32_t size) {
    const Context *c = check(context);
    checkReady(c);
    CHECK_POINTER(out);
    int32_t n = A::digestLength(c);
    if (size < n) return 0;
    memcpy(out, c->digest, size_t(n));
    return 1;
  }
  static int getDigestHex(const void *context, int grouped, char *out, int32_t size) {
    const Context *c = check(context);
    checkReady(c);
    return Hash_BytesToHex(c->digest, A::digestLength(c), grouped, out, size);
  }

  static constexpr HashInterface record(const char *name, int32_t blockSize, int32_t digestSize) {
    return HashInterface{name,          blockSize,     digestSize, contextSize,   initInPlace,
                         uninitInPlace, create,        release,    copyState,     reset,
                         update,        isDigestReady, generate,   getDigest,     getDigestHex};
  }
};

template <class A>
int HashRecordOps<A>::initInPlace(void *context) {
  CHECK_POINTER(context);
  memset(context, 0, sizeof(Context));
  auto *c = static_cast<Context *>(context);
  c->header.classTag = A::kTag;
  c->header.refCount.store(1, std::memory_order_relaxed);
  Class_GenerateInstanceId(c);
  A::reset(c);
  return 1;
}

template <class A>
int HashRecordOps<A>::create(void **context) {
  CHECK_POINTER(context);
  auto *c = static_cast<Context *>(Hash_AllocContext(sizeof(Context)));
  c->header.classTag = A::kTag;
  c->header.refCount.store(1, std::memory_order_relaxed);
  c->header.destroy = destroy;
  A::reset(c);
  *context = c;
  return 1;
}
