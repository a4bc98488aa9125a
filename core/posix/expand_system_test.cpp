// The expander against the system itself: process id, volume free space,
// and deep nesting on a thread with a small stack.
#include <pthread.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/platform/platform.h"
#include "core/runtime/expand.h"

namespace {

std::string Expand(const std::string &text, int *result = nullptr) {
  char buffer[kStrExpandWorkBytes];
  memcpy(buffer, text.c_str(), text.size() + 1);
  int r = Str_Expand(buffer, sizeof buffer, nullptr, nullptr);
  if (result) *result = r;
  return buffer;
}

struct DeepCase {
  std::string text;
  int result = -1;
  std::string after;
};

void *expandOnSmallStack(void *argument) {
  auto *deep = static_cast<DeepCase *>(argument);
  char buffer[kStrExpandWorkBytes];
  memcpy(buffer, deep->text.c_str(), deep->text.size() + 1);
  deep->result = Str_Expand(buffer, sizeof buffer, nullptr, nullptr);
  deep->after = buffer;
  return nullptr;
}

}  // namespace

TEST(StrExpandSystem, ProcessIdIsOurs) {
  EXPECT_EQ(Expand("{ProcessId}"), std::to_string(getpid()));
}

TEST(StrExpandSystem, DiskSpaceIsTheVolumesFreeBytes) {
  struct statvfs info;
  ASSERT_EQ(statvfs("/", &info), 0);
  int64_t expected = int64_t(info.f_bavail) * int64_t(info.f_frsize);
  // Other processes write meanwhile: allow a little movement.
  int64_t got = std::stoll(Expand("{DiskSpace:/}"));
  EXPECT_NEAR(double(got), double(expected), 256.0 * 1024 * 1024);
  int result = 0;
  EXPECT_EQ(Expand("[{DiskSpace:/no/such/dir}]", &result), "[]");
  EXPECT_EQ(result, 1);
}

// The argument names the disk: the machine id reads the one holding the
// system directory.
TEST(StrExpandSystem, DiskSerialReadsTheDiskOfItsArgument) {
  char serial[256];
  if (Platform_GetDiskSerial("/", serial, sizeof serial)) {
    EXPECT_EQ(Expand("{DiskSerial:/}"), serial);
    EXPECT_EQ(Expand("{DiskSerial}"), serial);
  }
  EXPECT_EQ(Expand("{DiskSerial:/no/such/dir}"), "{DiskSerial:/no/such/dir}");
}

TEST(StrExpandSystem, ElevatedFollowsTheEffectiveUser) {
  EXPECT_EQ(Expand("{ModuleElevated}"), geteuid() == 0 ? "1" : "0");
}

// 2,700 nested macros fit in a work text. Expanding them must fail cleanly
// rather than recurse through the stack, even on a small one.
TEST(StrExpandSystem, DeepNestingFailsCleanlyOnASmallStack) {
  DeepCase deep;
  for (int i = 0; i < 2700; i++) deep.text += "{a";
  deep.text += std::string(2700, '}');
  ASSERT_LT(deep.text.size(), size_t(kStrExpandWorkBytes));

  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, expandOnSmallStack, &deep), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(deep.result, 0);
  EXPECT_EQ(deep.after, deep.text);
}
