// AES-NI building blocks shared by the AES and AES-GCM kernels: loads,
// stores and one or eight blocks through the cipher. Internal to aes.cpp and
// aesgcm.cpp; every function here may only run after the caller checked
// that the CPU offers AES-NI, PCLMULQDQ (GCM) and SSE4.1.
//
// Invariants: (1) round keys are read from the context's schedule, which
// lies in memory in the cipher's byte order, 16-byte aligned. (2) the
// context is keyed (Rounds is 10, 12 or 14).
//
// Threads: pure functions of their arguments.
#pragma once

#include <cstdint>

#include "core/aes.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define KEELSON_HAVE_AES_NI 1
#endif

#ifdef KEELSON_HAVE_AES_NI

// Every kernel function is compiled for these extensions and chosen at run
// time; the rest of the program stays baseline x86-64.
#define AES_NI_TARGET __attribute__((target("aes,pclmul,sse4.1")))
#define AES_NI_INLINE __attribute__((target("aes,pclmul,sse4.1"), always_inline)) inline

constexpr int kAesNiLanes = 8;  // blocks in flight: enough to hide the aesenc latency

AES_NI_INLINE __m128i aesNiLoad(const uint8_t *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

AES_NI_INLINE void aesNiStore(uint8_t *p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}

AES_NI_INLINE __m128i aesNiKey(const uint32_t *schedule, int round) {
  return _mm_load_si128(reinterpret_cast<const __m128i *>(schedule) + round);
}

AES_NI_INLINE __m128i aesNiEncrypt(const AesContext *aes, __m128i b) {
  const uint32_t *k = aes->EncryptKey;
  b = _mm_xor_si128(b, aesNiKey(k, 0));
  for (int r = 1; r < aes->Rounds; r++) b = _mm_aesenc_si128(b, aesNiKey(k, r));
  return _mm_aesenclast_si128(b, aesNiKey(k, aes->Rounds));
}

AES_NI_INLINE __m128i aesNiDecrypt(const AesContext *aes, __m128i b) {
  const uint32_t *k = aes->DecryptKey;
  b = _mm_xor_si128(b, aesNiKey(k, 0));
  for (int r = 1; r < aes->Rounds; r++) b = _mm_aesdec_si128(b, aesNiKey(k, r));
  return _mm_aesdeclast_si128(b, aesNiKey(k, aes->Rounds));
}

// Eight independent blocks through the cipher, round by round.
AES_NI_INLINE void aesNiEncrypt8(const AesContext *aes, __m128i b[kAesNiLanes]) {
  const uint32_t *k = aes->EncryptKey;
  __m128i key = aesNiKey(k, 0);
#pragma GCC unroll 8
  for (int i = 0; i < kAesNiLanes; i++) b[i] = _mm_xor_si128(b[i], key);
  for (int r = 1; r < aes->Rounds; r++) {
    key = aesNiKey(k, r);
#pragma GCC unroll 8
    for (int i = 0; i < kAesNiLanes; i++) b[i] = _mm_aesenc_si128(b[i], key);
  }
  key = aesNiKey(k, aes->Rounds);
#pragma GCC unroll 8
  for (int i = 0; i < kAesNiLanes; i++) b[i] = _mm_aesenclast_si128(b[i], key);
}

AES_NI_INLINE void aesNiDecrypt8(const AesContext *aes, __m128i b[kAesNiLanes]) {
  const uint32_t *k = aes->DecryptKey;
  __m128i key = aesNiKey(k, 0);
#pragma GCC unroll 8
  for (int i = 0; i < kAesNiLanes; i++) b[i] = _mm_xor_si128(b[i], key);
  for (int r = 1; r < aes->Rounds; r++) {
    key = aesNiKey(k, r);
#pragma GCC unroll 8
    for (int i = 0; i < kAesNiLanes; i++) b[i] = _mm_aesdec_si128(b[i], key);
  }
  key = aesNiKey(k, aes->Rounds);
#pragma GCC unroll 8
  for (int i = 0; i < kAesNiLanes; i++) b[i] = _mm_aesdeclast_si128(b[i], key);
}

#endif  // KEELSON_HAVE_AES_NI
