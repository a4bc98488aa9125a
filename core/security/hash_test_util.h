// Helpers shared by the digest and HMAC tests: hex fields of the vector files
// written by tests/gen_digest.py, and the kernel paths every algorithm test
// runs on.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "core/runtime/cpufeatures.h"
#include "core/security/hash.h"
#include "core/security/hash_algorithms.h"
#include "tests/test_util.h"

// Bytes of a hex field; "-" is the empty field.
inline std::string HashTest_FromHex(const std::string &hex) {
  std::string out;
  if (hex == "-") return out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string HashTest_ToHex(const void *data, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  const auto *p = static_cast<const uint8_t *>(data);
  for (size_t i = 0; i < length; i++) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 15]);
  }
  return out;
}

// The whitespace-separated fields of every line of a vector file.
inline std::vector<std::vector<std::string>> HashTest_ReadLines(const std::string &name) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(Test_ReadVectors(name));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> row;
    for (std::string f; fields >> f;) row.push_back(f);
    if (!row.empty()) lines.push_back(row);
  }
  return lines;
}

inline const HashInterface *HashTest_Record(const std::string &name) {
  const HashInterface *h = nullptr;
  EXPECT_TRUE(Hash_GetInterfaceByName(name.c_str(), &h)) << name;
  return h;
}

// One set of kernels: the features allowed while it runs, and the kernel
// names it must have chosen (so a path never silently runs another kernel).
struct HashKernelPath {
  const char *name;
  uint32_t features;
  const char *sha1Kernel;
  const char *sha256Kernel;
  const char *sha512Kernel;
};

inline void PrintTo(const HashKernelPath &path, std::ostream *os) { *os << path.name; }

inline const HashKernelPath kHashKernelPaths[] = {
    {"portable", 0, "portable", "portable", "portable"},
    {"shani", kCpuFeatureSha | kCpuFeatureSsse3 | kCpuFeatureSse41, "sha-ni", "sha-ni", "portable"},
    {"bmi2", kCpuFeatureBmi2, "portable", "portable", "bmi2"},
};

// Runs a test body on one kernel path; skips with the reason when this CPU
// lacks a feature the path needs.
class HashPathTest : public testing::TestWithParam<HashKernelPath> {
 protected:
  void SetUp() override {
    const HashKernelPath &path = GetParam();
    if ((CpuFeatures_Detected() & path.features) != path.features)
      GTEST_SKIP() << "this CPU lacks the features of the " << path.name << " path";
    CpuFeatures_SetOverride(path.features);
    Hash_SelectKernels();
    ASSERT_STREQ(Hash_KernelName("SHA1"), path.sha1Kernel);
    ASSERT_STREQ(Hash_KernelName("SHA256"), path.sha256Kernel);
    ASSERT_STREQ(Hash_KernelName("SHA512"), path.sha512Kernel);
  }
  void TearDown() override {
    CpuFeatures_SetOverride(kCpuFeatureAll);
    Hash_SelectKernels();
  }
};

inline std::string HashTest_PathName(const testing::TestParamInfo<HashKernelPath> &info) {
  return info.param.name;
}

// One row of a macro handler table: the handler's answer and what it wrote
// (the output starts empty, as the expander leaves it).
struct HashTestMacroRow {
  const char *name;
  const char *argument;  // NULL: no argument
  int handled;
  std::string out;
};

inline void HashTest_RunMacroRows(int (*handler)(void *, const char *, char *, char *),
                                  const std::vector<HashTestMacroRow> &rows) {
  for (const HashTestMacroRow &row : rows) {
    SCOPED_TRACE(std::string(row.name) + ":" + (row.argument ? row.argument : "(none)"));
    std::string argument = row.argument ? row.argument : "";  // the handler writes into it
    std::string out(kHashMacroOutputBytes, '\0');
    EXPECT_EQ(handler(nullptr, row.name, row.argument ? argument.data() : nullptr, out.data()),
              row.handled);
    EXPECT_STREQ(out.c_str(), row.out.c_str());
  }
}
