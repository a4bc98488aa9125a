// Helpers of the executable-reader tests (PE, ELF, PKCS#7): whole files as
// bytes, a memory stream over bytes, a hash of a stream, and the log lines a
// failed verification writes.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/runtime/core.h"
#include "core/runtime/memstream.h"
#include "core/security/hash.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

typedef std::vector<uint8_t> Bytes;

inline Bytes Test_ReadFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "missing file " << path;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void Test_WriteFileBytes(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

inline uint32_t Test_Load32(const Bytes &b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
inline void Test_Store32(Bytes &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// A read-only stream over bytes (which must outlive it).
class Test_MemoryFile {
 public:
  explicit Test_MemoryFile(Bytes &bytes) {
    MemoryStream_Create(&memory_);
    MemoryStream_Attach(memory_, bytes.data(), int32_t(bytes.size()), int32_t(bytes.size()));
    MemoryStream_GetStream(memory_, &stream_);
  }
  ~Test_MemoryFile() { MemoryStream_Release(&memory_); }
  Test_MemoryFile(const Test_MemoryFile &) = delete;
  Test_MemoryFile &operator=(const Test_MemoryFile &) = delete;
  Stream *stream() const { return stream_; }

 private:
  MemoryStream *memory_ = nullptr;
  Stream *stream_ = nullptr;
};

// The digest of what fill feeds into a handle bound to hashInterface, as
// hex; "" when fill answers 0.
template <typename Fill>
std::string Test_DigestHex(const HashInterface *hashInterface, Fill fill) {
  HashHandle *hash = nullptr;
  Hash_Create(&hash);
  Hash_SetInterface(hash, hashInterface);
  char hex[2 * kHashMaxDigestBytes + 1] = "";
  if (fill(hash) && Hash_Generate(hash)) Hash_GetDigestHex(hash, hex, sizeof hex);
  Hash_Delete(&hash);
  return hex;
}

// The lines that verification code logs through its class logs while run
// runs: every class verbose, the console captured.
template <typename Run>
std::string Test_VerboseLines(Run run) {
  TestLogCapture capture;
  uint32_t saved = Debug_Flags();
  Core_SetFlags(saved | kCoreFlagCtrlVerbose);
  run();
  Core_SetFlags(saved);
  return capture.Take();
}
