// HashFile: digests against coreutils' sha256sum, sha1sum and md5sum over
// files at the step boundary, a sparse file past 4 GiB, and the ways a run
// ends early.
#include "core/security/hashfile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "core/platform/platform.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

struct Completion {
  int calls = 0;
  int success = -1;
};

void onComplete(HashFile *, void *context, int success) {
  auto *c = static_cast<Completion *>(context);
  c->calls++;
  c->success = success;
}

class HashFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("keelson_hashfile_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    HashFile_Create(&h_);
    HashFile_SetCompleteCallback(h_, onComplete, &done_);
  }
  void TearDown() override {
    HashFile_Release(&h_);
    fs::remove_all(dir_);
  }
  std::string Write(const std::string &name, size_t size) {
    std::string path = dir_ + "/" + name;
    std::string bytes(size, '\0');
    std::mt19937 random{uint32_t(size)};
    for (char &c : bytes) c = char(random());
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return path;
  }
  // Polls to completion; the number of polls that did work.
  int Run() {
    int polls = 0;
    while (HashFile_IsRunning(h_) && polls < 200000) {
      HashFile_Poll(h_);
      polls++;
    }
    return polls;
  }
  static std::string Oracle(const char *tool, const std::string &path) {
    int status = 0;
    std::string out = Test_RunCommand(std::string(tool) + " '" + path + "'", &status);
    EXPECT_EQ(status, 0);
    return out.substr(0, out.find(' '));
  }

  std::string dir_;
  HashFile *h_ = nullptr;
  Completion done_;
};

TEST_F(HashFileTest, DigestsAgreeWithCoreutils) {
  struct Case {
    size_t size;
    int polls;  // a file of exactly one step completes on the first poll
  } cases[] = {{0, 1}, {65536, 1}, {65537, 2}};
  struct Algorithm {
    const HashInterface *hash;
    const char *tool;
  } algorithms[] = {{&kHashSha256, "sha256sum"}, {&kHashSha1, "sha1sum"}, {&kHashMd5, "md5sum"}};
  for (const Case &c : cases) {
    std::string path = Write("f" + std::to_string(c.size), c.size);
    for (const Algorithm &a : algorithms) {
      SCOPED_TRACE(std::string(a.tool) + " " + std::to_string(c.size));
      done_ = {};
      HashFile_SetPath(h_, path.c_str());
      HashFile_SetHashInterface(h_, a.hash);
      ASSERT_EQ(HashFile_Start(h_), 1);
      EXPECT_EQ(Run(), c.polls);
      EXPECT_EQ(done_.calls, 1);
      EXPECT_EQ(done_.success, 1);
      char hex[130];
      ASSERT_EQ(HashFile_GetDigestText(h_, hex, sizeof hex), 1);
      EXPECT_EQ(hex, Oracle(a.tool, path));
      EXPECT_EQ(HashFile_Poll(h_), 0);
    }
  }
}

// Sizes and counters past 32 bits. Hashing 5 GiB twice costs about half a
// CPU-minute, so it runs on request only (KEELSON_LONG_TESTS=1).
TEST_F(HashFileTest, SparseFilePastFourGiB) {
  const char *wanted = getenv("KEELSON_LONG_TESTS");
  if (wanted == nullptr || strcmp(wanted, "1") != 0) GTEST_SKIP() << "KEELSON_LONG_TESTS=1";
  std::string path = dir_ + "/sparse";
  std::ofstream(path).close();
  fs::resize_file(path, uintmax_t(5) << 30);
  HashFile_SetPath(h_, path.c_str());
  HashFile_SetHashInterface(h_, &kHashSha256);
  ASSERT_EQ(HashFile_Start(h_), 1);
  EXPECT_EQ(Run(), 5 * 16384);
  EXPECT_EQ(done_.success, 1);
  char hex[65];
  HashFile_GetDigestText(h_, hex, sizeof hex);
  EXPECT_EQ(hex, Oracle("sha256sum", path));
}

TEST_F(HashFileTest, RunsThatEndEarly) {
  int error = 0;
  // No path: completed at once, nothing opened.
  EXPECT_EQ(HashFile_Start(h_), 1);
  EXPECT_EQ(done_.success, 0);
  EXPECT_EQ(HashFile_IsRunning(h_), 0);

  // A missing file: completed with 0 and the open's error.
  done_ = {};
  HashFile_SetPath(h_, (dir_ + "/missing").c_str());
  EXPECT_EQ(HashFile_Start(h_), 0);
  EXPECT_EQ(done_.calls, 1);
  EXPECT_EQ(done_.success, 0);
  HashFile_GetError(h_, &error);
  EXPECT_EQ(error, kPlatformErrorFileNotFound);

  // Started twice: the second start changes nothing.
  done_ = {};
  std::string path = Write("cut", 3 * 65536);
  HashFile_SetPath(h_, path.c_str());
  HashFile_SetHashInterface(h_, &kHashSha256);
  ASSERT_EQ(HashFile_Start(h_), 1);
  HashFile_Poll(h_);
  EXPECT_EQ(HashFile_Start(h_), 1);
  EXPECT_EQ(HashFile_IsRunning(h_), 1);

  // Cut after one step: the run ends with 0 and end of file, never spins.
  fs::resize_file(path, 65536 + 100);
  EXPECT_LT(Run(), 5);
  EXPECT_EQ(done_.calls, 1);
  EXPECT_EQ(done_.success, 0);
  HashFile_GetError(h_, &error);
  EXPECT_EQ(error, kPlatformErrorHandleEof);
  EXPECT_EQ(HashFile_Poll(h_), 0);
}

}  // namespace
