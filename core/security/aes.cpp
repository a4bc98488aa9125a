// AES contexts, key schedules, ECB and CBC, on portable lookup tables or on
// AES-NI; see aes.h.
#include "core/security/aes.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "core/security/aes_ni.h"
#include "core/runtime/cpufeatures.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

constexpr const char *kAesLengthMessage = "Length must be a multiple of AES_BLOCKSIZE\n";

// ---- helpers shared by the kernels ----------------------------------------

inline uint32_t aesLoad32le(const uint8_t *p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void aesStore32le(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

inline uint32_t aesRotl8(uint32_t v) { return (v << 8) | (v >> 24); }

inline void aesXorBlock(uint8_t *out, const uint8_t *a, const uint8_t *b) {
  for (int i = 0; i < kAesBlockBytes; i++) out[i] = uint8_t(a[i] ^ b[i]);
}

// One kernel: the key schedule and the block loops. Every loop takes whole
// blocks and allows in == out.
struct AesKernel {
  const char *name;
  uint32_t (*subWord)(uint32_t word);       // S-box on each byte of a schedule word
  uint32_t (*invMixColumn)(uint32_t word);  // InvMixColumns on one schedule word
  void (*encryptEcb)(const AesContext *aes, const uint8_t *in, uint8_t *out, size_t blocks);
  void (*decryptEcb)(const AesContext *aes, const uint8_t *in, uint8_t *out, size_t blocks);
  void (*encryptCbc)(const AesContext *aes, uint8_t *iv, const uint8_t *in, uint8_t *out,
                     size_t blocks);
  void (*decryptCbc)(const AesContext *aes, uint8_t *iv, const uint8_t *in, uint8_t *out,
                     size_t blocks);
};

// ---- portable kernel: four lookup tables per direction ----------------------

// Built once per process from the field arithmetic, never stored in the
// program: S-box and inverse, round constants, and the round tables that fold
// SubBytes and MixColumns (or their inverses) into one lookup per byte. Word
// layout as in the schedule: row 0 in the low bits.
struct AesTables {
  uint8_t forwardSbox[256];
  uint8_t inverseSbox[256];
  uint32_t roundConstant[10];
  uint32_t forward[4][256];  // forward[k] is forward[0] rotated left by 8k bits
  uint32_t inverse[4][256];
};

AesTables aesTablesStorage;
std::once_flag aesTablesOnce;

uint8_t aesXtime(uint8_t x) { return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1b : 0)); }

void aesBuildTables() {
  AesTables &t = aesTablesStorage;
  // Powers of the generator 3 and their logarithms: products and inverses
  // in GF(2^8) become table lookups while the tables are built.
  uint8_t power[256], logarithm[256] = {};
  uint8_t x = 1;
  for (int i = 0; i < 256; i++) {
    power[i] = x;
    logarithm[x] = uint8_t(i);
    x = uint8_t(x ^ aesXtime(x));
  }
  auto multiply = [&](uint8_t a, uint8_t b) -> uint8_t {
    return (a && b) ? power[(logarithm[a] + logarithm[b]) % 255] : 0;
  };
  x = 1;
  for (uint32_t &rc : t.roundConstant) {
    rc = x;
    x = aesXtime(x);
  }
  t.forwardSbox[0x00] = 0x63;
  t.inverseSbox[0x63] = 0x00;
  for (int i = 1; i < 256; i++) {
    uint8_t s = power[255 - logarithm[i]];  // the multiplicative inverse
    // Affine transform: s xor its four left rotations, then xor 0x63.
    uint8_t r = s, y = s;
    for (int k = 0; k < 4; k++) {
      y = uint8_t((y << 1) | (y >> 7));
      r ^= y;
    }
    r ^= 0x63;
    t.forwardSbox[i] = r;
    t.inverseSbox[r] = uint8_t(i);
  }
  for (int i = 0; i < 256; i++) {
    uint8_t s = t.forwardSbox[i], s2 = aesXtime(s), s3 = uint8_t(s2 ^ s);
    t.forward[0][i] =
        uint32_t(s2) | (uint32_t(s) << 8) | (uint32_t(s) << 16) | (uint32_t(s3) << 24);
    uint8_t v = t.inverseSbox[i];
    t.inverse[0][i] = uint32_t(multiply(0x0e, v)) | (uint32_t(multiply(0x09, v)) << 8) |
                      (uint32_t(multiply(0x0d, v)) << 16) | (uint32_t(multiply(0x0b, v)) << 24);
    for (int k = 1; k < 4; k++) {
      t.forward[k][i] = aesRotl8(t.forward[k - 1][i]);
      t.inverse[k][i] = aesRotl8(t.inverse[k - 1][i]);
    }
  }
}

const AesTables &aesTables() {
  std::call_once(aesTablesOnce, aesBuildTables);
  return aesTablesStorage;
}

inline uint32_t aesByte(uint32_t word, int index) { return (word >> (8 * index)) & 0xff; }

uint32_t aesSubWordPortable(uint32_t word) {
  const uint8_t *s = aesTables().forwardSbox;
  return uint32_t(s[aesByte(word, 0)]) | (uint32_t(s[aesByte(word, 1)]) << 8) |
         (uint32_t(s[aesByte(word, 2)]) << 16) | (uint32_t(s[aesByte(word, 3)]) << 24);
}

// The inverse tables hold InvMixColumns of InvSubBytes; going through the
// forward S-box first leaves InvMixColumns alone.
uint32_t aesInvMixColumnPortable(uint32_t word) {
  const AesTables &t = aesTables();
  return t.inverse[0][t.forwardSbox[aesByte(word, 0)]] ^
         t.inverse[1][t.forwardSbox[aesByte(word, 1)]] ^
         t.inverse[2][t.forwardSbox[aesByte(word, 2)]] ^
         t.inverse[3][t.forwardSbox[aesByte(word, 3)]];
}

// Output column kColumn of a round: row r comes from column
// kColumn + r * kStep, which is ShiftRows when enciphering (kStep 1) and
// InvShiftRows when deciphering (kStep 3, that is kColumn - r).
template <int kStep, int kColumn>
inline uint32_t aesRoundColumn(const uint32_t (&table)[4][256], uint32_t key, uint32_t s0,
                               uint32_t s1, uint32_t s2, uint32_t s3) {
  const uint32_t s[4] = {s0, s1, s2, s3};
  return key ^ table[0][aesByte(s[kColumn], 0)] ^ table[1][aesByte(s[(kColumn + kStep) & 3], 1)] ^
         table[2][aesByte(s[(kColumn + 2 * kStep) & 3], 2)] ^
         table[3][aesByte(s[(kColumn + 3 * kStep) & 3], 3)];
}

// The last round: the S-box alone, with the same row movement.
template <int kStep, int kColumn>
inline uint32_t aesLastColumn(const uint8_t *sbox, uint32_t key, uint32_t s0, uint32_t s1,
                              uint32_t s2, uint32_t s3) {
  const uint32_t s[4] = {s0, s1, s2, s3};
  return key ^ uint32_t(sbox[aesByte(s[kColumn], 0)]) ^
         (uint32_t(sbox[aesByte(s[(kColumn + kStep) & 3], 1)]) << 8) ^
         (uint32_t(sbox[aesByte(s[(kColumn + 2 * kStep) & 3], 2)]) << 16) ^
         (uint32_t(sbox[aesByte(s[(kColumn + 3 * kStep) & 3], 3)]) << 24);
}

// One block through the round tables (forward or inverse) and the matching
// S-box. The state stays in four scalars so that it lives in registers.
template <int kStep>
void aesBlockPortable(const uint32_t (&table)[4][256], const uint8_t *sbox, const uint32_t *rk,
                      int rounds, const uint8_t *in, uint8_t *out) {
  uint32_t s0 = aesLoad32le(in) ^ rk[0], s1 = aesLoad32le(in + 4) ^ rk[1];
  uint32_t s2 = aesLoad32le(in + 8) ^ rk[2], s3 = aesLoad32le(in + 12) ^ rk[3];
  for (int r = 1; r < rounds; r++) {
    rk += 4;
    uint32_t t0 = aesRoundColumn<kStep, 0>(table, rk[0], s0, s1, s2, s3);
    uint32_t t1 = aesRoundColumn<kStep, 1>(table, rk[1], s0, s1, s2, s3);
    uint32_t t2 = aesRoundColumn<kStep, 2>(table, rk[2], s0, s1, s2, s3);
    uint32_t t3 = aesRoundColumn<kStep, 3>(table, rk[3], s0, s1, s2, s3);
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk += 4;
  aesStore32le(out, aesLastColumn<kStep, 0>(sbox, rk[0], s0, s1, s2, s3));
  aesStore32le(out + 4, aesLastColumn<kStep, 1>(sbox, rk[1], s0, s1, s2, s3));
  aesStore32le(out + 8, aesLastColumn<kStep, 2>(sbox, rk[2], s0, s1, s2, s3));
  aesStore32le(out + 12, aesLastColumn<kStep, 3>(sbox, rk[3], s0, s1, s2, s3));
}

void aesEncryptBlockPortable(const AesTables &t, const AesContext *aes, const uint8_t *in,
                             uint8_t *out) {
  aesBlockPortable<1>(t.forward, t.forwardSbox, aes->EncryptKey, aes->Rounds, in, out);
}

void aesDecryptBlockPortable(const AesTables &t, const AesContext *aes, const uint8_t *in,
                             uint8_t *out) {
  aesBlockPortable<3>(t.inverse, t.inverseSbox, aes->DecryptKey, aes->Rounds, in, out);
}

template <bool kDecrypt>
void aesEcbPortable(const AesContext *aes, const uint8_t *in, uint8_t *out, size_t blocks) {
  const AesTables &t = aesTables();
  for (size_t i = 0; i < blocks; i++, in += 16, out += 16)
    (kDecrypt ? aesDecryptBlockPortable : aesEncryptBlockPortable)(t, aes, in, out);
}

void aesEncryptCbcPortable(const AesContext *aes, uint8_t *iv, const uint8_t *in, uint8_t *out,
                           size_t blocks) {
  const AesTables &t = aesTables();
  uint8_t block[16];
  for (size_t i = 0; i < blocks; i++, in += 16, out += 16) {
    aesXorBlock(block, in, iv);
    aesEncryptBlockPortable(t, aes, block, out);
    memcpy(iv, out, 16);
  }
}

void aesDecryptCbcPortable(const AesContext *aes, uint8_t *iv, const uint8_t *in, uint8_t *out,
                           size_t blocks) {
  const AesTables &t = aesTables();
  uint8_t cipher[16], plain[16];
  for (size_t i = 0; i < blocks; i++, in += 16, out += 16) {
    memcpy(cipher, in, 16);  // in may be out
    aesDecryptBlockPortable(t, aes, cipher, plain);
    aesXorBlock(out, plain, iv);
    memcpy(iv, cipher, 16);
  }
}

constexpr AesKernel kAesPortable = {
    "portable",           aesSubWordPortable,    aesInvMixColumnPortable, aesEcbPortable<false>,
    aesEcbPortable<true>, aesEncryptCbcPortable, aesDecryptCbcPortable,
};

// ---- AES-NI kernel ----------------------------------------------------------

#ifdef KEELSON_HAVE_AES_NI

// aeskeygenassist with round constant 0 gives SubWord of dword 1 in dword 0;
// the schedule loop adds rotation and round constant itself.
AES_NI_TARGET uint32_t aesSubWordNi(uint32_t word) {
  __m128i v = _mm_insert_epi32(_mm_setzero_si128(), int(word), 1);
  return uint32_t(_mm_cvtsi128_si32(_mm_aeskeygenassist_si128(v, 0)));
}

AES_NI_TARGET uint32_t aesInvMixColumnNi(uint32_t word) {
  // aesimc acts on each column alike; the other three columns are ignored.
  return uint32_t(_mm_cvtsi128_si32(_mm_aesimc_si128(_mm_cvtsi32_si128(int(word)))));
}

template <bool kDecrypt>
AES_NI_TARGET void aesEcbNi(const AesContext *aes, const uint8_t *in, uint8_t *out, size_t blocks) {
  for (; blocks >= kAesNiLanes; blocks -= kAesNiLanes, in += 128, out += 128) {
    __m128i b[kAesNiLanes];
#pragma GCC unroll 8
    for (int i = 0; i < kAesNiLanes; i++) b[i] = aesNiLoad(in + 16 * i);
    aesNiCipher<kDecrypt, kAesNiLanes>(aes, b);
#pragma GCC unroll 8
    for (int i = 0; i < kAesNiLanes; i++) aesNiStore(out + 16 * i, b[i]);
  }
  for (; blocks > 0; blocks--, in += 16, out += 16) {
    __m128i b = aesNiLoad(in);
    aesNiCipher<kDecrypt, 1>(aes, &b);
    aesNiStore(out, b);
  }
}

// Each block needs the previous ciphertext: serial by nature.
AES_NI_TARGET void aesEncryptCbcNi(const AesContext *aes, uint8_t *iv, const uint8_t *in,
                                   uint8_t *out, size_t blocks) {
  __m128i chain = aesNiLoad(iv);
  for (size_t i = 0; i < blocks; i++, in += 16, out += 16) {
    chain = aesNiEncrypt(aes, _mm_xor_si128(aesNiLoad(in), chain));
    aesNiStore(out, chain);
  }
  aesNiStore(iv, chain);
}

// Every ciphertext block is known up front, so eight decipher at once; all
// eight are loaded before the first store, which makes in == out safe.
AES_NI_TARGET void aesDecryptCbcNi(const AesContext *aes, uint8_t *iv, const uint8_t *in,
                                   uint8_t *out, size_t blocks) {
  __m128i chain = aesNiLoad(iv);
  for (; blocks >= kAesNiLanes; blocks -= kAesNiLanes, in += 128, out += 128) {
    __m128i c[kAesNiLanes], b[kAesNiLanes];
#pragma GCC unroll 8
    for (int i = 0; i < kAesNiLanes; i++) b[i] = c[i] = aesNiLoad(in + 16 * i);
    aesNiDecrypt8(aes, b);
    aesNiStore(out, _mm_xor_si128(b[0], chain));
#pragma GCC unroll 8
    for (int i = 1; i < kAesNiLanes; i++) aesNiStore(out + 16 * i, _mm_xor_si128(b[i], c[i - 1]));
    chain = c[kAesNiLanes - 1];
  }
  for (; blocks > 0; blocks--, in += 16, out += 16) {
    __m128i c = aesNiLoad(in);
    aesNiStore(out, _mm_xor_si128(aesNiDecrypt(aes, c), chain));
    chain = c;
  }
  aesNiStore(iv, chain);
}

constexpr AesKernel kAesNi = {
    "aes-ni",       aesSubWordNi,    aesInvMixColumnNi, aesEcbNi<false>,
    aesEcbNi<true>, aesEncryptCbcNi, aesDecryptCbcNi,
};

#endif  // KEELSON_HAVE_AES_NI

// ---- kernel choice ------------------------------------------------------------

std::atomic<const AesKernel *> aesKernel{nullptr};

const AesKernel *aesChooseKernel(uint32_t features) {
#ifdef KEELSON_HAVE_AES_NI
  constexpr uint32_t kNeeds = kCpuFeatureAes | kCpuFeatureSsse3 | kCpuFeatureSse41;
  if ((features & kNeeds) == kNeeds) return &kAesNi;
#endif
  (void)features;
  return &kAesPortable;
}

const AesKernel *aesGetKernel() {
  const AesKernel *kernel = aesKernel.load(std::memory_order_relaxed);
  if (kernel == nullptr) {
    kernel = aesChooseKernel(CpuFeatures_Get());
    aesKernel.store(kernel, std::memory_order_relaxed);
  }
  return kernel;
}

// ---- key schedule -----------------------------------------------------------

// The schedule as the standard gives it, word by word; the kernel supplies
// the S-box and InvMixColumns steps.
void aesExpandKey(AesContext *aes, const uint8_t *key, int32_t length, const AesKernel *kernel) {
  const int keyWords = length / 4;
  const int rounds = keyWords + 6;
  const int words = 4 * (rounds + 1);
  uint32_t *ek = aes->EncryptKey;
  for (int i = 0; i < keyWords; i++) ek[i] = aesLoad32le(key + 4 * i);
  uint32_t roundConstant = 1;
  for (int i = keyWords; i < words; i++) {
    uint32_t temp = ek[i - 1];
    if (i % keyWords == 0) {
      // RotWord moves byte 1 to the front: a right rotation of the word.
      temp = kernel->subWord((temp >> 8) | (temp << 24)) ^ roundConstant;
      roundConstant = aesXtime(uint8_t(roundConstant));
    } else if (keyWords > 6 && i % keyWords == 4) {
      temp = kernel->subWord(temp);
    }
    ek[i] = ek[i - keyWords] ^ temp;
  }
  // Equivalent inverse cipher: round keys in reverse, the inner ones through
  // InvMixColumns.
  uint32_t *dk = aes->DecryptKey;
  for (int j = 0; j < 4; j++) {
    dk[j] = ek[4 * rounds + j];
    dk[4 * rounds + j] = ek[j];
  }
  for (int r = 1; r < rounds; r++)
    for (int j = 0; j < 4; j++) dk[4 * r + j] = kernel->invMixColumn(ek[4 * (rounds - r) + j]);
  aes->Rounds = rounds;
}

// ---- checks shared by the public calls ---------------------------------------

void aesDestroy(void **object) {
  auto *aes = static_cast<AesContext *>(*object);
  // Round keys are secrets; the block is wiped before it goes back.
  memset(reinterpret_cast<uint8_t *>(aes) + sizeof(ObjectHeader), 0,
         sizeof(AesContext) - sizeof(ObjectHeader));
  aes->header.classTag = 0;  // a stale pointer now fails its class check
  MEM_FREE(aes, sizeof(AesContext));
}

// 1 when the call may go ahead: keyed, with whole blocks. Logs and gives 0
// for a length that is not whole blocks.
int aesCheckWholeBlocks(int64_t length) {
  if (length % kAesBlockBytes == 0) return 1;
  Log_Print(LOG_ERROR, KSRC, 0, kAesLengthMessage);
  return 0;
}

int aesRefuseUnkeyed(const AesContext *aes) {
  if (aes->Rounds != 0) return 0;
  Log_Print(LOG_ERROR, KSRC, 0, "AES context has no key\n");
  return 1;
}

void aesCheckIv(const void *iv, int32_t ivLength) {
  CHECK_POINTER(iv);
  if (ivLength < kAesBlockBytes)
    Core_Abort(KSRC,
               "Assertion failed (IVLength >= AES_BLOCKSIZE)\nInitialization vector too small "
               "for AES (%d:%d)",
               kAesBlockBytes, ivLength);
}

typedef void (*AesEcbLoop)(const AesContext *, const uint8_t *, uint8_t *, size_t);

int aesEcb(AesContext *aes, const void *in, void *out, int64_t length, bool encrypt) {
  CLASS_CHECK(aes, kAesContextTag);
  if (aesRefuseUnkeyed(aes)) return 0;
  if (length <= 0) return 1;
  if (!aesCheckWholeBlocks(length)) return 0;
  CHECK_POINTER(in);
  CHECK_POINTER(out);
  const AesKernel *kernel = aesGetKernel();
  AesEcbLoop loop = encrypt ? kernel->encryptEcb : kernel->decryptEcb;
  loop(aes, static_cast<const uint8_t *>(in), static_cast<uint8_t *>(out), size_t(length) / 16);
  return 1;
}

}  // namespace

// ---- public calls (see aes.h) --------------------------------------------------

int AES_Create(AesContext **aes) {
  CHECK_POINTER(aes);
  auto *a = static_cast<AesContext *>(MEM_ALLOC(sizeof(AesContext), MEM_ZEROED));
  a->header.classTag = kAesContextTag;
  a->header.refCount.store(1, std::memory_order_relaxed);
  a->header.destroy = aesDestroy;
  *aes = a;
  return 1;
}

int AES_Release(AesContext **aes) {
  CHECK_POINTER(aes);
  CLASS_CHECK(*aes, kAesContextTag);
  Class_ReleaseObject(aes);
  return 1;
}

int AES_SetKey(AesContext *aes, const void *key, int32_t length) {
  CLASS_CHECK(aes, kAesContextTag);
  aes->Rounds = 0;
  if (length != 16 && length != 24 && length != 32) {
    Log_Print(LOG_ERROR, KSRC, 0, "Invalid AES key length (%d)\n", length);
    return 0;
  }
  CHECK_POINTER(key);
  aesExpandKey(aes, static_cast<const uint8_t *>(key), length, aesGetKernel());
  return 1;
}

int AES_EncryptECB(AesContext *aes, const void *in, void *out, int64_t length) {
  return aesEcb(aes, in, out, length, true);
}

int AES_DecryptECB(AesContext *aes, const void *in, void *out, int64_t length) {
  return aesEcb(aes, in, out, length, false);
}

int AES_EncryptCBC(AesContext *aes, void *iv, int32_t ivLength, const void *in, void *out,
                   int64_t length) {
  CLASS_CHECK(aes, kAesContextTag);
  aesCheckIv(iv, ivLength);
  if (aesRefuseUnkeyed(aes)) return 0;
  if (length <= 0) return 1;
  if (!aesCheckWholeBlocks(length)) return 0;
  CHECK_POINTER(in);
  CHECK_POINTER(out);
  aesGetKernel()->encryptCbc(aes, static_cast<uint8_t *>(iv), static_cast<const uint8_t *>(in),
                             static_cast<uint8_t *>(out), size_t(length) / 16);
  return 1;
}

int AES_DecryptCBC(AesContext *aes, void *iv, int32_t ivLength, const void *in, void *out,
                   int64_t length) {
  CLASS_CHECK(aes, kAesContextTag);
  aesCheckIv(iv, ivLength);
  if (aesRefuseUnkeyed(aes)) return 0;
  if (length <= 0) return 1;
  CHECK_POINTER(in);
  CHECK_POINTER(out);
  const AesKernel *kernel = aesGetKernel();
  auto *chain = static_cast<uint8_t *>(iv);
  const auto *src = static_cast<const uint8_t *>(in);
  auto *dst = static_cast<uint8_t *>(out);
  size_t whole = size_t(length) / 16, tail = size_t(length) % 16;
  kernel->decryptCbc(aes, chain, src, dst, whole);
  if (tail != 0) {
    // A last partial block counts as zero-filled; only its own bytes are
    // written, and the zero-filled block chains on.
    uint8_t block[16] = {};
    memcpy(block, src + 16 * whole, tail);
    kernel->decryptCbc(aes, chain, block, block, 1);
    memcpy(dst + 16 * whole, block, tail);
  }
  return 1;
}

void AES_EncryptBlocks(const AesContext *aes, const uint8_t *in, uint8_t *out, size_t blocks) {
  aesGetKernel()->encryptEcb(aes, in, out, blocks);
}

void AES_SelectKernels(void) {
  aesKernel.store(aesChooseKernel(CpuFeatures_Get()), std::memory_order_relaxed);
}

const char *AES_KernelName(void) { return aesGetKernel()->name; }
