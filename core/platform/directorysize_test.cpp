#include "core/platform/directorysize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/eventqueue.h"
#include "core/platform/interopcallback.h"
#include "core/formats/json.h"
#include "core/platform/notification.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "tests/interop_test_util.h"
#include "tests/log_capture.h"
#include "tests/wake_hook.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t kBoundMs = 60000;
constexpr int kFiles = 20000;
constexpr uint32_t kSeed = 20261207;

// The thread module, the main queue, the seam and the center, as the host
// starts them; the host's stop order at the end.
class DirectorySizeService : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    InteropCallback_Init();
    NotificationCenter_Init();
  }
  void TearDown() override {
    Path_StopDirectorySize();
    NotificationCenter_Shutdown();
    InteropCallback_Shutdown();
    ThreadTest::TearDown();
  }
};
class DirectorySizeDeathTest : public DirectorySizeService {};

// A tree of about 20,000 files of seeded sizes (sparse, so it costs no disk),
// a link loop, a link to a directory outside it with large files, a link to a
// file and a hard link; made once for the suite.
class DirectorySizeTest : public DirectorySizeService {
 protected:
  static std::string root_, outside_;

  static void SetUpTestSuite() {
    std::string base = fs::temp_directory_path() / ("keelson_dirsize_" + std::to_string(Platform_GetProcessId()));
    root_ = base + "/tree";
    outside_ = base + "/outside";
    fs::create_directories(outside_);
    for (int i = 0; i < 3; i++) {
      std::ofstream(outside_ + "/big" + std::to_string(i)).close();
      fs::resize_file(outside_ + "/big" + std::to_string(i), uintmax_t(1) << 32);
    }
    std::mt19937 random(kSeed);
    for (int i = 0; i < kFiles; i++) {
      std::string dir = root_ + "/d" + std::to_string(i % 40) + "/e" + std::to_string(i % 7);
      if (i < 280) fs::create_directories(dir);
      std::string file = dir + "/f" + std::to_string(i);
      std::ofstream(file).close();
      fs::resize_file(file, random() % 100000);
    }
    fs::create_directory_symlink("..", root_ + "/d0/loop");
    fs::create_directory_symlink(outside_, root_ + "/d1/outside");
    fs::create_symlink(outside_ + "/big0", root_ + "/d2/bigLink");
    fs::create_hard_link(root_ + "/d3/e3/f3", root_ + "/d3/hard");
  }
  static void TearDownTestSuite() { fs::remove_all(fs::path(root_).parent_path()); }
};
std::string DirectorySizeTest::root_;
std::string DirectorySizeTest::outside_;

// find's own count, summed by awk.
long long findTotal(const std::string &dir) {
  std::string command = "find '" + dir + "' -type f -printf '%s\\n' | awk '{s+=$1} END {print s+0}'";
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  long long total = -1;
  if (fscanf(pipe, "%lld", &total) != 1) total = -1;
  pclose(pipe);
  return total;
}

// Pumps until n answers are queued (or the bound passes) and returns them.
std::vector<std::string> answers(size_t n) {
  std::vector<std::string> texts;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (texts.size() < n && std::chrono::steady_clock::now() < deadline) {
    Thread_Yield();
    EventQueue_Flush(EventQueue_GetMain());
    NotificationCenter_ProcessPendingFires();
    InteropTest_TakeQueued(&texts);
  }
  return texts;
}

std::string answerText(const char *callbackId, bool successful, long long result) {
  return std::string("{\"callbackId\":\"") + callbackId +
         "\",\"type\":\"FileSystem\",\"sender\":\"Global\",\"info\":{\"successful\":" +
         (successful ? "true" : "false") + ",\"result\":" + std::to_string(result) + "}}";
}

}  // namespace

TEST_F(DirectorySizeDeathTest, OffTheMainThreadStops) {
  const char *kNotMain =
      "Assertion failed \\(Thread_GetMainId\\(\\) == Thread_GetCurrentId\\(\\)\\)\nFunction not "
      "on main thread";
  EXPECT_DEATH(std::thread([] { Path_GetDirectorySizeAsync("/tmp", "x"); }).join(), kNotMain);
  EXPECT_DEATH(std::thread([] { Path_StopDirectorySize(); }).join(), kNotMain);
  EXPECT_DEATH(Path_GetDirectorySizeAsync(nullptr, "x"), "Pointer is NULL\n");
}

TEST_F(DirectorySizeTest, SizeAgainstFindAndTheBusyAnswer) {
  long long expected = findTotal(root_);
  ASSERT_GT(expected, 0) << "seed " << kSeed;
  ASSERT_EQ(Path_GetDirectorySizeAsync(root_.c_str(), "size1"), 1);
  // Busy until the main thread has taken the worker's answer.
  EXPECT_EQ(Path_GetDirectorySizeAsync(root_.c_str(), "size2"), 0);
  std::vector<std::string> got = answers(2);
  ASSERT_EQ(got.size(), 2u);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got[0], answerText("size1", true, expected)) << "seed " << kSeed;
  EXPECT_EQ(got[1], answerText("size2", false, 0));
  // Both entries are released and the service is free again.
  for (const char *name : {"size1", "size2"}) {
    InteropCallback *entry = nullptr;
    ASSERT_EQ(Interop_FindCallback(name, &entry), 1);
    EXPECT_EQ(entry->useCount, 0) << name;
    EXPECT_EQ(NotificationCenter_AssertInstance(entry), 1);
  }
  std::string missing = root_ + "/no/such/dir";
  ASSERT_EQ(Path_GetDirectorySizeAsync(missing.c_str(), "size3"), 1);
  EXPECT_EQ(answers(1), std::vector<std::string>{answerText("size3", false, 0)});
  // Every observer went with its request.
  NotificationCenter_ProcessPendingFires();
  TestLogCapture log;
  NotificationCenter_Shutdown();
  EXPECT_EQ(log.Take().find("Callback not removed"), std::string::npos);
  NotificationCenter_Init();
}

TEST_F(DirectorySizeTest, StopEndsARunningComputation) {
  ASSERT_EQ(Path_GetDirectorySizeAsync(root_.c_str(), "stopped"), 1);
  EXPECT_EQ(Path_StopDirectorySize(), 1);
  // Nothing is answered for the stopped request, and nothing is left over.
  for (int i = 0; i < 5; i++) {
    EventQueue_Flush(EventQueue_GetMain());
    NotificationCenter_ProcessPendingFires();
  }
  void *object = nullptr;
  EXPECT_EQ(Interop_TakeCallbackArgument(&object), 0);
  InteropCallback *entry = nullptr;
  ASSERT_EQ(Interop_FindCallback("stopped", &entry), 1);
  EXPECT_EQ(entry->useCount, 0);
  // The service takes the next request.
  std::string small = root_ + "/d5/e5";
  ASSERT_EQ(Path_GetDirectorySizeAsync(small.c_str(), "next"), 1);
  EXPECT_EQ(answers(1), std::vector<std::string>{answerText("next", true, findTotal(small))});
}
