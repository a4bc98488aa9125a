// Lock files: a held lock names its holder; what is planted at the name (a
// link, a FIFO, another user's file, one others may write) is made anew
// without being followed or cut; a hard link of ours is refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "core/platform/platform.h"
#include "core/platform/trustedpath.h"
#include "tests/fsfault.h"

namespace {

std::string readAll(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PlatformLockFile, HeldLockNamesItsHolderAndItsFileIsPrivate) {
  FsFaultTempDir dir;
  std::string path = dir / "app.metafile.json.lock";
  {
    std::ofstream(path) << "999999\nstale";  // a holder that is gone
  }
  chmod(path.c_str(), 0600);
  int fd = -1, second = -1;
  int32_t holder = -1;
  ASSERT_EQ(Platform_LockFile(path.c_str(), &fd, &holder), 1);
  EXPECT_EQ(readAll(path), std::to_string(getpid()) + "\n");
  // flock binds open files, so a second open in this process is another holder.
  EXPECT_EQ(Platform_LockFile(path.c_str(), &second, &holder), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorLockViolation);
  EXPECT_EQ(second, -1);
  EXPECT_EQ(holder, int32_t(getpid()));
  EXPECT_EQ(Platform_UnlockFile(fd), 1);
  ASSERT_EQ(Platform_LockFile(path.c_str(), &second, &holder), 1);
  Platform_UnlockFile(second);
  std::string fresh = dir / "new.lock";
  ASSERT_EQ(Platform_LockFile(fresh.c_str(), &fd, &holder), 1);
  struct stat status = {};
  ASSERT_EQ(stat(fresh.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  Platform_UnlockFile(fd);
}

TEST(PlatformLockFile, PlantedNamesAreMadeAnewOrRefused) {
  FsFaultTempDir dir;
  std::string victim = dir / "victim";
  std::ofstream(victim) << "keep";
  chmod(victim.c_str(), 0644);
  std::string link = dir / "link.lock", fifo = dir / "fifo.lock", other = dir / "other.lock";
  std::string hard = dir / "hard.lock", loose = dir / "loose.lock";
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  ASSERT_EQ(::link(victim.c_str(), hard.c_str()), 0);  // the victim is ours: its pid would go in
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::ofstream(other) << "1";
  std::ofstream(loose) << "2";
  chmod(loose.c_str(), 0666);
  // Only root can give a file away; as anyone else the row has no plant.
  bool planted = chown(other.c_str(), 65534, 65534) == 0 && chmod(other.c_str(), 0666) == 0;
  struct Row {
    std::string path;
    int taken;
  } rows[] = {{link, 1}, {fifo, 1}, {other, 1}, {loose, 1}, {hard, 0}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    if (row.path == other && !planted) continue;
    int fd = 7;
    int32_t holder = 0;
    EXPECT_EQ(Platform_LockFile(row.path.c_str(), &fd, &holder), row.taken);
    if (!row.taken) {
      EXPECT_EQ(fd, -1);
      EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
      continue;
    }
    struct stat status = {};
    ASSERT_EQ(lstat(row.path.c_str(), &status), 0);
    ASSERT_TRUE(S_ISREG(status.st_mode));  // a FIFO left there would block the read below
    EXPECT_TRUE(status.st_uid == geteuid() && status.st_nlink == 1);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(readAll(row.path), std::to_string(getpid()) + "\n");
    Platform_UnlockFile(fd);
  }
  EXPECT_EQ(readAll(victim), "keep");
}

}  // namespace

// What the run trusts (its repository, application, credentials and ignore
// files, the directory it serves) is walked from "/" and judged at each
// step: owner, mode, sticky and private-group passes, links on the way.
TEST(TrustedPath, WalkJudgesEveryEntry) {
  if (geteuid() != 0) GTEST_SKIP() << "chown to another user needs root";
  FsFaultTempDir dir;
  auto file = [&](const std::string &name, mode_t mode, uid_t owner, gid_t group) {
    std::ofstream(dir / name) << "[]";
    ASSERT_EQ(chown((dir / name).c_str(), owner, group), 0);
    ASSERT_EQ(chmod((dir / name).c_str(), mode), 0);
  };
  auto directory = [&](const std::string &name, mode_t mode, uid_t owner, gid_t group) {
    ASSERT_EQ(mkdir((dir / name).c_str(), 0700), 0);
    ASSERT_EQ(chown((dir / name).c_str(), owner, group), 0);
    ASSERT_EQ(chmod((dir / name).c_str(), mode), 0);
  };
  directory("sticky", 01777, 0, 0);
  directory("group", 0775, 0, 60);    // root:games: any member may rename in it
  directory("private", 0775, 0, 0);   // root:root, root's private group
  directory("theirs", 0755, 65534, 65534);
  directory("sub", 0755, 0, 0);
  file("ok.json", 0644, 0, 0);
  file("open.json", 0666, 0, 0);
  file("their.json", 0644, 65534, 65534);
  file("sticky/mine.json", 0644, 0, 0);
  file("group/mine.json", 0644, 0, 0);
  file("private/mine.json", 0644, 0, 0);
  file("theirs/mine.json", 0644, 0, 0);
  ASSERT_EQ(mkfifo((dir / "fifo.json").c_str(), 0600), 0);
  ASSERT_EQ(symlink("sub", (dir / "rootlink").c_str()), 0);
  ASSERT_EQ(symlink("sub", (dir / "theirlink").c_str()), 0);
  ASSERT_EQ(lchown((dir / "theirlink").c_str(), 65534, 65534), 0);
  struct Row {
    const char *path;
    int what;
    const char *entry;  // the entry refused; NULL: opened
    const char *rule;
  } rows[] = {
      {"ok.json", 0, nullptr, nullptr},
      {"sticky/mine.json", 0, nullptr, nullptr},
      {"private/mine.json", 0, nullptr, nullptr},
      {"rootlink/../ok.json", 0, nullptr, nullptr},
      {"sub", kTrustedPathOpenDirectory, nullptr, nullptr},
      {"open.json", 0, "open.json", "group or others may write it (mode 0666"},
      {"their.json", 0, "their.json", "owned by uid 65534"},
      {"fifo.json", 0, "fifo.json", "not a regular file"},
      {"group/mine.json", 0, "group", "(mode 0775"},
      {"theirs/mine.json", 0, "theirs", "owned by uid 65534"},
      {"theirlink/../ok.json", 0, "theirlink", "a link owned by uid 65534"},
      {"ok.json", kTrustedPathOpenDirectory, "ok.json", "not a directory"},
      {"rootlink", kTrustedPathOpenDirectory | kTrustedPathOpenNoLastLink, "rootlink", "a link"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    TrustedPathRefusal refusal;
    int fd = TrustedPath_Open((dir / row.path).c_str(), row.what, &refusal);
    if (row.entry == nullptr) {
      EXPECT_GE(fd, 0) << refusal.entry << ": " << refusal.rule;
      if (fd >= 0) close(fd);
      continue;
    }
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(refusal.entry, dir / row.entry);
    EXPECT_NE(strstr(refusal.rule, row.rule), nullptr) << refusal.rule;
  }
}
