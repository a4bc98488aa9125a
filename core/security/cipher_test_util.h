// Helpers shared by the cipher tests: the kernel paths every cipher test
// runs on (each one this CPU has, and the forced portable path), and byte
// buffers from the hex fields of tests/gen_cipher.py's vector files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/security/aes.h"
#include "core/security/aesgcm.h"
#include "core/runtime/cpufeatures.h"
#include "core/security/hash_test_util.h"

using CipherBytes = std::vector<uint8_t>;

inline CipherBytes CipherTest_Bytes(const std::string &hex) {
  std::string raw = HashTest_FromHex(hex);
  return CipherBytes(raw.begin(), raw.end());
}

inline std::string CipherTest_Hex(const CipherBytes &bytes) {
  return HashTest_ToHex(bytes.data(), bytes.size());
}

// One set of kernels: the features allowed while it runs and the kernel
// names it must have chosen, so that a path never silently runs another.
struct CipherKernelPath {
  const char *name;
  uint32_t features;
  const char *aesKernel;
  const char *gcmKernel;
};

inline void PrintTo(const CipherKernelPath &path, std::ostream *os) { *os << path.name; }

constexpr uint32_t kCipherAesNiFeatures =
    kCpuFeatureAes | kCpuFeaturePclmul | kCpuFeatureSsse3 | kCpuFeatureSse41;

inline const CipherKernelPath kCipherKernelPaths[] = {
    {"portable", 0, "portable", "portable"},
    {"aesni", kCipherAesNiFeatures, "aes-ni", "pclmul"},
    {"vaes", kCipherAesNiFeatures | kCpuFeatureAvx2 | kCpuFeatureVaes | kCpuFeatureVpclmul,
     "aes-ni", "vaes"},
};

// Chooses the kernels of a path for a scope and restores the detected set.
class CipherKernelScope {
 public:
  explicit CipherKernelScope(uint32_t features) {
    CpuFeatures_SetOverride(features);
    AES_SelectKernels();
    AesGcm_SelectKernels();
  }
  ~CipherKernelScope() {
    CpuFeatures_SetOverride(kCpuFeatureAll);
    AES_SelectKernels();
    AesGcm_SelectKernels();
  }
  CipherKernelScope(const CipherKernelScope &) = delete;
  CipherKernelScope &operator=(const CipherKernelScope &) = delete;
};

// Runs a test body on one kernel path; skips with the reason when this CPU
// lacks a feature the path needs.
class CipherPathTest : public testing::TestWithParam<CipherKernelPath> {
 protected:
  void SetUp() override {
    const CipherKernelPath &path = GetParam();
    if ((CpuFeatures_Detected() & path.features) != path.features)
      GTEST_SKIP() << "this CPU lacks the features of the " << path.name << " path";
    scope_.emplace(path.features);
    ASSERT_STREQ(AES_KernelName(), path.aesKernel);
    ASSERT_STREQ(AesGcm_KernelName(), path.gcmKernel);
  }
  void TearDown() override { scope_.reset(); }

 private:
  std::optional<CipherKernelScope> scope_;
};

inline std::string CipherTest_PathName(const testing::TestParamInfo<CipherKernelPath> &info) {
  return info.param.name;
}
