// AesGcm: AES in Galois/Counter Mode, the authenticated cipher of TLS 1.2.
// A context carries one message at a time: SetAAD, EncryptIV or DecryptIV,
// optionally more Encrypt or Decrypt pieces, then GetAuthTag. When deciphering,
// the caller compares the tag itself, with Crypt_ConstantTimeEqual.
//
// Invariants: (1) State is kAesGcmUnkeyed until a good SetKey; every call but
// SetKey then answers 0. (2) only the last piece of a message may be shorter
// than a multiple of 16 bytes: after it the message takes no more data, and a
// further Encrypt or Decrypt answers 0 and writes nothing. (3) the first
// GetAuthTag of a message closes it; later ones give the same tag. (4) a
// message started without SetAAD has empty additional data. (5) Kernel was
// chosen when the key was set and its tables (TableHigh/TableLow or Powers)
// are the ones filled; the counter block, GHASH value and tag are kept in the
// standard's byte order whatever the kernel. (6) in and out may be the same
// buffer; other overlaps are not allowed. (7) no two messages in a row are
// enciphered with the same IV under the same key: the second EncryptIV is
// refused (logged, 0, nothing written), since it would reuse the key stream
// and give away the authentication key.
//
// Threads: a context belongs to one thread at a time. The kernel choice is an
// atomic pointer read when a key is set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/security/aes.h"
#include "core/runtime/class.h"

constexpr uint32_t kAesGcmContextTag = 0x11ee79d4;
constexpr int32_t kAesGcmTagBytes = 16;
// Shorter tags are refused: SP 800-38D allows 96 to 128 bits for general use.
constexpr int32_t kAesGcmMinTagBytes = 12;
constexpr int32_t kAesGcmPowers = 16;  // H^1..H^16: up to sixteen blocks share one reduction

enum AesGcmState : int32_t {
  kAesGcmUnkeyed = 0,
  kAesGcmIdle = 1,      // keyed, no message running
  kAesGcmAad = 2,       // SetAAD done, waiting for the IV
  kAesGcmData = 3,      // message running, whole blocks so far
  kAesGcmTail = 4,      // a partial piece ended the data
  kAesGcmFinished = 5,  // tag produced
};

struct AesGcmKernel;

struct AesGcmContext {
  ObjectHeader header;
  AesContext Aes;          // embedded; carries its own tag, freed with this one
  uint64_t TableHigh[16];  // portable GHASH: the sixteen 4-bit multiples of H
  uint64_t TableLow[16];
  alignas(16) uint8_t Powers[kAesGcmPowers][16];  // carry-less GHASH: H^1..H^16, byte-reversed
  uint64_t AadLength;                             // bytes of the current message
  uint64_t CipherLength;
  uint8_t Counter[16];         // the counter block last used
  uint8_t TagMask[16];         // E_K(J0)
  uint8_t Ghash[16];           // running GHASH value
  uint8_t Tag[16];             // the finished tag
  int32_t State;               // AesGcmState
  const AesGcmKernel *Kernel;  // constant record, chosen at SetKey
  // The last message enciphered: its J0 and E_K(J0), which tell a repeated
  // IV under the same key (invariant 7).
  uint8_t PreviousJ0[16];
  uint8_t PreviousTagMask[16];
  int32_t HasPrevious;
};

// An unkeyed context with reference count 1 into *gcm. Returns 1.
int AesGcm_Create(AesGcmContext **gcm);
// Wipes and frees the context and clears *gcm. Returns 1.
int AesGcm_Release(AesGcmContext **gcm);

// AES key (16, 24 or 32 bytes), then the GHASH key H = E_K(0). Another length
// logs an error, leaves the context unkeyed and answers 0.
int AesGcm_SetKey(AesGcmContext *gcm, const void *key, int32_t length);

// Starts a message: clears the GHASH value and absorbs the additional data,
// zero-padded to whole blocks. 0 for a negative length or an unkeyed context.
int AesGcm_SetAAD(AesGcmContext *gcm, const void *aad, int32_t length);

// Starts the data of the message with an IV of ivLength bytes (12 bytes: J0 =
// IV || 1; others: J0 from GHASH of the IV), then enciphers or deciphers
// length bytes as Encrypt/Decrypt do. 0, with nothing written, when ivLength
// is below 1, length is negative, or EncryptIV repeats the IV of the message
// enciphered before under the same key (invariant 7).
int AesGcm_EncryptIV(AesGcmContext *gcm, const void *iv, int32_t ivLength, const void *in,
                     void *out, int64_t length);
int AesGcm_DecryptIV(AesGcmContext *gcm, const void *iv, int32_t ivLength, const void *in,
                     void *out, int64_t length);

// Continues the running message. 0, with nothing written, when no message is
// running, after a partial piece (invariant 2), or when the message would
// pass 2^36 - 32 bytes (the counter would wrap), or for a negative length.
// A length of 0 answers 1.
int AesGcm_Encrypt(AesGcmContext *gcm, const void *in, void *out, int64_t length);
int AesGcm_Decrypt(AesGcmContext *gcm, const void *in, void *out, int64_t length);

// Writes the first min(length, 16) bytes of the message's tag. 0, logged,
// when no message data was started (no IV) or length is below
// kAesGcmMinTagBytes.
int AesGcm_GetAuthTag(AesGcmContext *gcm, void *tag, int32_t length);

// ---- for tests and benchmarks ------------------------------------------------

// Chooses the GHASH kernel again from CpuFeatures_Get; contexts keyed later
// use it. The carry-less kernel needs AES-NI, PCLMULQDQ and SSE4.1; the
// 256-bit one also AVX2, VAES and VPCLMULQDQ.
void AesGcm_SelectKernels(void);
// "portable", "pclmul" or "vaes": the kernel that new keys get.
const char *AesGcm_KernelName(void);
