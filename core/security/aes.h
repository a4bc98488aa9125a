// AES: the block cipher with 128-, 192- and 256-bit keys, in ECB and in CBC
// mode with the chaining value carried in the caller's IV buffer, so that a
// long stream can be enciphered or deciphered in pieces.
//
// Invariants: (1) Rounds is 10, 12 or 14 exactly while the context holds a
// key, and 0 before the first good AES_SetKey or after a refused one; every
// cipher call on an unkeyed context answers 0 and writes nothing. (2) the
// round keys lie in memory in the cipher's own byte order, so every kernel
// (portable tables, AES-NI) reads the same schedule; DecryptKey is the
// schedule of the equivalent inverse cipher (InvMixColumns applied to the
// inner round keys). (3) in and out may be the same buffer; other overlaps
// are not allowed. (4) after a CBC call the first 16 bytes of the IV buffer
// hold the last ciphertext block, ready for the next piece.
//
// Threads: a context belongs to one thread at a time. The portable lookup
// tables are built once per process (std::call_once) and then only read, so
// any number of contexts may run at once. The kernel choice is an atomic
// pointer; AES_SelectKernels may switch it while no context is in use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/runtime/class.h"

constexpr uint32_t kAesContextTag = 0x505c4ff2;
constexpr int32_t kAesBlockBytes = 16;
constexpr int32_t kAesMaxRounds = 14;
constexpr int32_t kAesScheduleWords = 4 * (kAesMaxRounds + 1);

struct AesContext {
  ObjectHeader header;
  int32_t Rounds;  // 0 while unkeyed
  // Rounds + 1 round keys of four words each; a word holds four key bytes
  // with the first in its low bits.
  alignas(16) uint32_t EncryptKey[kAesScheduleWords];
  alignas(16) uint32_t DecryptKey[kAesScheduleWords];
};

// An unkeyed context with reference count 1 into *aes. Returns 1. Stops the
// program when aes is NULL.
int AES_Create(AesContext **aes);
// Wipes and frees the context and clears *aes. Returns 1.
int AES_Release(AesContext **aes);

// Installs a key of 16, 24 or 32 bytes (10, 12 or 14 rounds) and builds both
// schedules. Any other length logs an error, leaves the context unkeyed and
// answers 0.
int AES_SetKey(AesContext *aes, const void *key, int32_t length);

// ECB over whole blocks. A length that is not a multiple of 16 logs "Length
// must be a multiple of AES_BLOCKSIZE" and answers 0 with nothing written; a
// length of 0 or less answers 1.
int AES_EncryptECB(AesContext *aes, const void *in, void *out, int64_t length);
int AES_DecryptECB(AesContext *aes, const void *in, void *out, int64_t length);

// CBC. iv holds ivLength (at least 16) bytes; its first 16 are the chaining
// value on entry and the last ciphertext block on return. A length of 0 or
// less answers 1 and leaves iv alone.
// Encryption of a length that is not whole blocks is refused like ECB's.
// Decryption of such a length zero-fills the last partial ciphertext block,
// deciphers it, writes only length bytes in all and leaves the zero-filled
// block in iv.
// Stops the program when ivLength is below 16 ("Assertion failed (IVLength
// >= AES_BLOCKSIZE)...").
int AES_EncryptCBC(AesContext *aes, void *iv, int32_t ivLength, const void *in, void *out,
                   int64_t length);
int AES_DecryptCBC(AesContext *aes, void *iv, int32_t ivLength, const void *in, void *out,
                   int64_t length);

// ---- for the GCM module, tests and benchmarks ---------------------------

// Enciphers whole blocks with the chosen kernel; the context is keyed and
// already checked by the caller.
void AES_EncryptBlocks(const AesContext *aes, const uint8_t *in, uint8_t *out, size_t blocks);

// Chooses the kernel again from CpuFeatures_Get (after a test or benchmark
// changed the override). The choice needs AES-NI and SSE4.1.
void AES_SelectKernels(void);
// "portable" or "aes-ni": the kernel now in use.
const char *AES_KernelName(void);
