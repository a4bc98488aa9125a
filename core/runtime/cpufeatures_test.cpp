// CPU features: the override only takes features away.
#include "core/runtime/cpufeatures.h"

#include <gtest/gtest.h>

namespace {

TEST(CpuFeatures, OverrideRestrictsTheDetectedSet) {
  uint32_t detected = CpuFeatures_Detected();
  EXPECT_EQ(detected & ~kCpuFeatureAll, 0u);
  EXPECT_EQ(CpuFeatures_Get(), detected);
  // SHA-NI kernels need the byte shuffles too; a CPU with SHA has them.
  if (detected & kCpuFeatureSha) {
    EXPECT_EQ(detected & kCpuFeatureSsse3, kCpuFeatureSsse3);
  }
  CpuFeatures_SetOverride(0);
  EXPECT_EQ(CpuFeatures_Get(), 0u);
  CpuFeatures_SetOverride(kCpuFeatureSha | kCpuFeatureAvx2);
  EXPECT_EQ(CpuFeatures_Get(), detected & (kCpuFeatureSha | kCpuFeatureAvx2));
  CpuFeatures_SetOverride(0xffffffffu);  // cannot claim features the CPU lacks
  EXPECT_EQ(CpuFeatures_Get(), detected);
  CpuFeatures_SetOverride(kCpuFeatureAll);
  EXPECT_EQ(CpuFeatures_Detected(), detected);
}

}  // namespace
