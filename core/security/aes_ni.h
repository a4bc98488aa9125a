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

#include "core/security/aes.h"

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

// One round of either direction: aesenc with the encryption schedule,
// aesdec (the equivalent inverse cipher) with the decryption schedule.
template <bool kDecrypt>
AES_NI_INLINE __m128i aesNiRound(__m128i b, __m128i key) {
  return kDecrypt ? _mm_aesdec_si128(b, key) : _mm_aesenc_si128(b, key);
}

template <bool kDecrypt>
AES_NI_INLINE __m128i aesNiLastRound(__m128i b, __m128i key) {
  return kDecrypt ? _mm_aesdeclast_si128(b, key) : _mm_aesenclast_si128(b, key);
}

// count independent blocks through the cipher, round by round, so that
// their rounds overlap in the pipeline.
template <bool kDecrypt, int kCount>
AES_NI_INLINE void aesNiCipher(const AesContext *aes, __m128i *b) {
  const uint32_t *k = kDecrypt ? aes->DecryptKey : aes->EncryptKey;
  __m128i key = aesNiKey(k, 0);
#pragma GCC unroll 8
  for (int i = 0; i < kCount; i++) b[i] = _mm_xor_si128(b[i], key);
  for (int r = 1; r < aes->Rounds; r++) {
    key = aesNiKey(k, r);
#pragma GCC unroll 8
    for (int i = 0; i < kCount; i++) b[i] = aesNiRound<kDecrypt>(b[i], key);
  }
  key = aesNiKey(k, aes->Rounds);
#pragma GCC unroll 8
  for (int i = 0; i < kCount; i++) b[i] = aesNiLastRound<kDecrypt>(b[i], key);
}

AES_NI_INLINE __m128i aesNiEncrypt(const AesContext *aes, __m128i b) {
  aesNiCipher<false, 1>(aes, &b);
  return b;
}

AES_NI_INLINE __m128i aesNiDecrypt(const AesContext *aes, __m128i b) {
  aesNiCipher<true, 1>(aes, &b);
  return b;
}

AES_NI_INLINE void aesNiEncrypt8(const AesContext *aes, __m128i b[kAesNiLanes]) {
  aesNiCipher<false, kAesNiLanes>(aes, b);
}

AES_NI_INLINE void aesNiDecrypt8(const AesContext *aes, __m128i b[kAesNiLanes]) {
  aesNiCipher<true, kAesNiLanes>(aes, b);
}

#endif  // KEELSON_HAVE_AES_NI
