// CpuFeatures: the instruction-set extensions of this processor that the
// cryptographic kernels may use, read once from cpuid.
//
// Invariants: (1) the detected set never changes after the first call.
// (2) CpuFeatures_Get is always a subset of CpuFeatures_Detected: the test
// override can only take features away, never claim ones the CPU lacks.
// (3) a feature that needs operating-system support (AVX2, VAES, VPCLMULQDQ:
// the upper register halves saved on a context switch) is reported only when
// the OS enabled it.
//
// Threads: any thread. Detection runs once under the C++ static-initialisation
// guard; the override is an atomic word. Kernels that were chosen from the
// set keep their choice until their module is told to choose again.
#pragma once

#include <cstdint>

constexpr uint32_t kCpuFeatureSsse3 = 0x1;   // pshufb: byte swaps of message words
constexpr uint32_t kCpuFeatureSse41 = 0x2;   // pblendw, pextrd
constexpr uint32_t kCpuFeatureSha = 0x4;     // sha1rnds4, sha256rnds2 and the message helpers
constexpr uint32_t kCpuFeatureBmi2 = 0x8;    // rorx: rotates without a flags dependency
constexpr uint32_t kCpuFeatureAvx2 = 0x10;   // 256-bit integer vectors, OS support included
constexpr uint32_t kCpuFeatureAes = 0x20;    // aesenc, aesdec, aesimc, aeskeygenassist
constexpr uint32_t kCpuFeaturePclmul = 0x40; // pclmulqdq: carry-less 64-bit multiply (GHASH)
constexpr uint32_t kCpuFeatureVaes = 0x80;   // AES rounds on 256-bit vectors, OS support included
constexpr uint32_t kCpuFeatureVpclmul = 0x100;  // carry-less multiply on 256-bit vectors, likewise
constexpr uint32_t kCpuFeatureAll = 0x1ff;

// The features this processor and operating system offer.
uint32_t CpuFeatures_Detected(void);

// The features kernels may use: the detected set restricted by the override.
uint32_t CpuFeatures_Get(void);

// For tests and benchmarks only: restricts CpuFeatures_Get to mask (0 forces
// every portable path; kCpuFeatureAll lifts the restriction). Modules that
// chose a kernel must be told to choose again (Hash_SelectKernels).
void CpuFeatures_SetOverride(uint32_t mask);
