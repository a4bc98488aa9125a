// CPU feature detection; see cpufeatures.h.
#include "core/runtime/cpufeatures.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define KEELSON_HAVE_CPUID 1
#endif

namespace {

std::atomic<uint32_t> cpuFeaturesOverride{kCpuFeatureAll};

#ifdef KEELSON_HAVE_CPUID

// XCR0 through xgetbv, written as an instruction so that no file needs to be
// compiled for XSAVE. Only called after OSXSAVE said the instruction exists.
uint64_t cpuFeaturesReadXcr0() {
  uint32_t low = 0, high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (uint64_t(high) << 32) | low;
}

uint32_t cpuFeaturesDetect() {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
  uint32_t maxLeaf = __get_cpuid_max(0, nullptr);
  if (maxLeaf < 1) return 0;
  __cpuid(1, eax, ebx, ecx, edx);
  uint32_t features = 0;
  if (ecx & (1u << 9)) features |= kCpuFeatureSsse3;
  if (ecx & (1u << 19)) features |= kCpuFeatureSse41;
  if (ecx & (1u << 25)) features |= kCpuFeatureAes;
  if (ecx & (1u << 1)) features |= kCpuFeaturePclmul;
  bool osxsave = (ecx & (1u << 27)) != 0;
  bool avx = (ecx & (1u << 28)) != 0;
  // The OS must save the XMM and YMM state (XCR0 bits 1 and 2) before AVX2
  // code may run: without it the upper halves are lost on a task switch.
  bool ymmSaved = osxsave && avx && (cpuFeaturesReadXcr0() & 0x6) == 0x6;
  if (maxLeaf >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    if (ebx & (1u << 29)) features |= kCpuFeatureSha;
    if (ebx & (1u << 8)) features |= kCpuFeatureBmi2;
    if ((ebx & (1u << 5)) && ymmSaved) features |= kCpuFeatureAvx2;
    if ((ecx & (1u << 9)) && ymmSaved) features |= kCpuFeatureVaes;
    if ((ecx & (1u << 10)) && ymmSaved) features |= kCpuFeatureVpclmul;
  }
  return features;
}

#else

uint32_t cpuFeaturesDetect() { return 0; }

#endif

}  // namespace

uint32_t CpuFeatures_Detected(void) {
  static const uint32_t detected = cpuFeaturesDetect();
  return detected;
}

uint32_t CpuFeatures_Get(void) {
  return CpuFeatures_Detected() & cpuFeaturesOverride.load(std::memory_order_relaxed);
}

void CpuFeatures_SetOverride(uint32_t mask) {
  cpuFeaturesOverride.store(mask & kCpuFeatureAll, std::memory_order_relaxed);
}
