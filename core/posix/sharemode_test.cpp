// Share modes at the descriptor level: the companion of a write-only
// descriptor, inherited locks after fork, the fallback without share modes,
// and directories.
#include "core/posix/sharemode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/platform/platform.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"

namespace fs = std::filesystem;

namespace {

int openDescriptors() {
  int count = 0;
  for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    count++;
  }
  return count;
}

TEST(ShareMode, WriteOnlyKeepsItsLocksOnACompanion) {
  FsFaultTempDir dir;
  std::string path = dir / "f";
  int before = openDescriptors();
  int writer = Platform_OpenFile(path.c_str(), O_WRONLY | O_CREAT, 0);
  ASSERT_GE(writer, 0);
  EXPECT_EQ(openDescriptors(), before + 1 + 1);  // the file and its companion
  EXPECT_EQ(Platform_OpenFile(path.c_str(), O_RDONLY, kPlatformShareRead | kPlatformShareWrite),
            -1);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorSharingViolation);
  EXPECT_EQ(Platform_CloseFile(writer), 1);
  EXPECT_EQ(openDescriptors(), before);
  int reader = Platform_OpenFile(path.c_str(), O_RDONLY, 0);
  EXPECT_GE(reader, 0);
  EXPECT_EQ(Platform_CloseFile(reader), 1);
}

// The locks belong to the open file description: a forked child that closes
// its copy leaves the parent's locks in place.
TEST(ShareMode, InheritedDescriptorsShareTheLocks) {
  FsFaultTempDir dir;
  std::string path = dir / "f";
  std::ofstream(path) << "x";
  int holder = Platform_OpenFile(path.c_str(), O_RDWR, 0);
  ASSERT_GE(holder, 0);
  FSFAULT_RUN([&](FsFaultChild &child) {
    FSF_EXPECT_EQ(child, Platform_CloseFile(holder), 1);
    FSF_EXPECT_EQ(child, Platform_OpenFile(path.c_str(), O_RDONLY, 0x60), -1);
    FSF_EXPECT_EQ(child, Platform_GetLastError(), kPlatformErrorSharingViolation);
  });
  EXPECT_EQ(Platform_CloseFile(holder), 1);
}

// A write-only file that its opener may not read has no companion: it opens
// without share modes and says so.
TEST(ShareMode, UnreadableWriteOnlyFileOpensWithoutShareModes) {
  FsFaultTempDir dir;
  std::string open = dir / "open";
  fs::create_directory(open);
  fs::permissions(open, fs::perms::all);
  std::string path = open + "/writeonly";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    std::ofstream(path) << "x";
    chmod(path.c_str(), 0200);
    TestLogCapture capture;
    int first = Platform_OpenFile(path.c_str(), O_WRONLY, 0);
    int second = Platform_OpenFile(path.c_str(), O_WRONLY, 0);
    std::string lines = capture.Take();
    FSF_EXPECT(child, first >= 0);
    FSF_EXPECT(child, second >= 0);
    FSF_EXPECT(child, lines.find("Share modes not enforced on [" + path + "] (errno 13)") !=
                          std::string::npos);
    Platform_CloseFile(first);
    Platform_CloseFile(second);
  });
}

TEST(ShareMode, DirectoriesOpenOnlyWhenAsked) {
  FsFaultTempDir dir;
  EXPECT_EQ(Platform_OpenFile(dir.path().c_str(), O_RDONLY, 0x60), -1);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
  EXPECT_EQ(Platform_GetLastErrno(), EISDIR);
  int fd = Platform_OpenFile(dir.path().c_str(), O_RDONLY | O_DIRECTORY, 0x60);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(Platform_CloseFile(fd), 1);
}

// Two descriptors of one file that deny nothing to each other leave the
// sentinel bytes alone for real data: the locks sit past any file size.
TEST(ShareMode, LocksLieBeyondAnyData) {
  FsFaultTempDir dir;
  std::string path = dir / "f";
  int a = Platform_OpenFile(path.c_str(), O_RDWR | O_CREAT, 0x60);
  int b = Platform_OpenFile(path.c_str(), O_RDWR, 0x60);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = kShareModeLockBase;  // everything below the sentinels
  EXPECT_EQ(fcntl(b, F_OFD_GETLK, &probe), 0);
  EXPECT_EQ(probe.l_type, F_UNLCK);
  probe.l_type = F_WRLCK;
  probe.l_start = kShareModeLockBase;
  probe.l_len = 4;
  EXPECT_EQ(fcntl(b, F_OFD_GETLK, &probe), 0);
  EXPECT_EQ(probe.l_type, F_RDLCK);  // a's read locks
  Platform_CloseFile(a);
  Platform_CloseFile(b);
}

}  // namespace
