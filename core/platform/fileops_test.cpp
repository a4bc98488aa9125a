// Whole-file operations against the kernel: erase and move without losing a
// file (onto itself, onto a hard link, across file systems, on a full or
// read-only disk), the retries and their lines, the parent write bit, links,
// and the guard around roots and the home directory.
#include "core/platform/fileops.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "core/runtime/core.h"
#include "core/platform/platform.h"
#include "tests/dirops_test_util.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// Progress seen by a move or copy.
struct Progress {
  int calls = 0;
  int64_t lastDone = 0;
  int64_t lastTotal = 0;
};

int recordProgress(void *userData, const char *, const char *, int64_t done, int64_t total) {
  auto *progress = static_cast<Progress *>(userData);
  progress->calls++;
  progress->lastDone = done;
  progress->lastTotal = total;
  return 1;
}

// chattr +i, or false where the file system or the user may not.
bool makeImmutable(const std::string &path) {
  return system(("chattr +i " + Dirops_Quote(path) + " 2>/dev/null").c_str()) == 0;
}
void clearImmutable(const std::string &path) {
  if (system(("chattr -i " + Dirops_Quote(path) + " 2>/dev/null").c_str()) != 0) return;
}

}  // namespace

// ---- Fatal paths ---------------------------------------------------------------------------

TEST(FileOpsDeathTest, ProgrammingErrorsStop) {
  int error = 0;
  struct Row {
    const char *name;
    std::function<void()> call;
    std::string message;
  } rows[] = {
      {"CopyFile with a failIfExists that is not boolean",
       [&] { CopyFile("/proc/version", "/tmp/x", 2, &error, nullptr, nullptr); },
       "Assertion failed (((FailIfExists) == FALSE || (FailIfExists) == TRUE))\nVariable "
       "'FailIfExists' is not boolean\n"},
      {"EraseFile without a path", [&] { EraseFile(nullptr, 1, &error); }, "Pointer is NULL\n"},
      {"MoveFile without an error slot",
       [&] { MoveFile("/a", "/b", 1, nullptr, nullptr, nullptr); }, "Pointer is NULL\n"},
      {"GetMode without an output", [&] { GetMode("/", nullptr, &error); }, "Pointer is NULL\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_DEATH(row.call(), Dirops_Literal(row.message));
  }
}

// ---- Erase -----------------------------------------------------------------------------------

TEST(FileOps, EraseFileCases) {
  FsFaultTempDir dir;
  std::string outside = dir / "outside";
  Dirops_WriteFile(outside, "keep");
  struct Row {
    const char *name;
    std::function<std::string()> prepare;  // the path to erase
    int tries;
    int result;
    int error;
    bool gone;
    std::string line;  // a line that must be logged ("" none at all)
  } rows[] = {
      {"missing", [&] { return dir / "missing"; }, 3, 1, 0, true, ""},
      {"a file",
       [&] {
         Dirops_WriteFile(dir / "file", "x");
         return dir / "file";
       },
       3, 1, 0, true, ""},
      {"a directory",
       [&] {
         fs::create_directory(dir / "sub");
         return dir / "sub";
       },
       3, 0, 5, false, "Unable to erase path that is not a file (" + (dir / "sub") + ")"},
      {"a link goes, its target stays",
       [&] {
         fs::create_symlink(outside, dir / "link");
         return dir / "link";
       },
       3, 1, 0, true, ""},
      {"no tries",
       [&] {
         Dirops_WriteFile(dir / "kept", "x");
         return dir / "kept";
       },
       0, 0, 87, false, "EraseFile(" + (dir / "kept") + ") failed [LE: 87]"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = row.prepare();
    TestLogCapture capture;
    int error = -1;
    EXPECT_EQ(EraseFile(path.c_str(), row.tries, &error), row.result);
    EXPECT_EQ(error, row.error);
    std::string lines = capture.Take();
    EXPECT_EQ(!Dirops_Exists(path), row.gone);
    if (row.line.empty())
      EXPECT_EQ(Dirops_CountOf(lines, "EraseFile"), 0) << lines;
    else
      EXPECT_EQ(Dirops_CountOf(lines, row.line), 1) << lines;
  }
  EXPECT_EQ(Dirops_ReadFile(outside), "keep");
}

// Deletion is blocked by the parent's write bit. The bit is lent to the
// parent and given back; the file's own mode is never touched, because a hard
// link elsewhere shares it. A parent that belongs to another user stays shut.
TEST(FileOpsFault, EraseLendsTheParentWriteBitOnly) {
  FsFaultTempDir dir;
  std::string own = dir / "own", locked = own + "/locked", file = locked + "/file";
  std::string keep = own + "/keep", rootOwned = dir / "root-owned";
  fs::create_directories(locked);
  fs::create_directories(rootOwned);
  Dirops_WriteFile(file, "data");
  Dirops_WriteFile(rootOwned + "/file", "data");
  ASSERT_EQ(link(file.c_str(), keep.c_str()), 0);
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
  for (const std::string &p : {own, locked, file})
    ASSERT_EQ(lchown(p.c_str(), kNobody, kNobody), 0);
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    int error = -1;
    FSF_EXPECT_EQ(child, EraseFile(file.c_str(), 1, &error), 1);
    FSF_EXPECT_EQ(child, error, 0);
    FSF_EXPECT(child, !Dirops_Exists(file));
    FSF_EXPECT_EQ(child, Dirops_Mode(locked), 0555);
    FSF_EXPECT_EQ(child, Dirops_Mode(keep), 0444);
    FSF_EXPECT_EQ(child, Dirops_ReadFile(keep), "data");
    // A root-owned 0755 directory: the owner write bit is there, it is not ours.
    FSF_EXPECT_EQ(child, EraseFile((rootOwned + "/file").c_str(), 1, &error), 0);
    FSF_EXPECT_EQ(child, error, 5);
    FSF_EXPECT(child, Dirops_Exists(rootOwned + "/file"));
  });
}

TEST(FileOpsFault, ReadOnlyDiskRetriesOnceThenFails) {
  FsFaultTempDir dir;
  std::string mount = dir / "ro";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(mount, "size=1M")) return;
    std::string path = mount + "/file";
    Dirops_WriteFile(path, "data");
    if (!child.RemountReadOnly(mount)) return;
    TestLogCapture capture;
    int error = -1;
    FSF_EXPECT_EQ(child, EraseFile(path.c_str(), 2, &error), 0);
    FSF_EXPECT_EQ(child, error, 19);
    std::string lines = capture.Take();
    FSF_EXPECT_EQ(child, Dirops_CountOf(lines, "Retrying EraseFile(" + path + ") [LE: 19 Try: 1/2]"),
                  1);
    FSF_EXPECT_EQ(child, Dirops_CountOf(lines, "EraseFile(" + path + ") failed [LE: 19]"), 1);
    FSF_EXPECT_EQ(child, Dirops_ReadFile(path), "data");
  });
}

// ---- Copy and move on a full disk ------------------------------------------------------------

TEST(FileOpsFault, FullDiskCopyLeavesNoDestination) {
  FsFaultTempDir dir;
  std::string source = dir / "big", mount = dir / "small";
  Dirops_WriteFile(source, std::string(2 << 20, 'b'));
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(mount, "size=1M")) return;
    std::string destination = mount + "/sub/big";
    int error = -1;
    FSF_EXPECT_EQ(child, CopyFile(source.c_str(), destination.c_str(), 0, &error, nullptr, nullptr),
                  0);
    FSF_EXPECT_EQ(child, error, 112);
    FSF_EXPECT(child, !Dirops_Exists(destination));
  });
}

// Root copies into a directory user 65534 owns, to a name that does not
// exist yet, while that user keeps planting a link to root's file under it:
// the link may be replaced, the file it points at is never written or
// re-moded.
TEST(FileOpsFault, CopyToANewNameNeverWritesThroughAPlantedLink) {
  if (geteuid() != 0) GTEST_SKIP() << "racing a second user needs root";
  FsFaultTempDir dir;
  std::string own = dir / "own", source = dir / "source", victim = dir / "victim";
  std::string destination = own + "/file";
  ASSERT_TRUE(Dirops_MakeNobodysDirectory(own));
  Dirops_WriteFile(source, "copied");
  chmod(source.c_str(), 0644);
  Dirops_WriteFile(victim, "root's");
  chmod(victim.c_str(), 0600);
  pid_t racer = Dirops_StartNobodyRacer([&] {
    if (symlink(victim.c_str(), destination.c_str()) == 0) unlink(destination.c_str());
  });
  ASSERT_GT(racer, 0);
  constexpr int kRounds = 300;
  for (int round = 0; round < kRounds; round++) {
    int error = -1;
    CopyFile(source.c_str(), destination.c_str(), 0, &error, nullptr, nullptr);
    unlink(destination.c_str());
    if (Dirops_ReadFile(victim) != "root's" || Dirops_Mode(victim) != 0600) {
      ADD_FAILURE() << "the copy wrote through the link in round " << round;
      break;
    }
  }
  Dirops_StopRacer(racer);
}

// The old destination is not erased ahead of a move that then fails: a
// self-update that runs out of space keeps the program it had.
TEST(FileOpsFault, FullDiskMoveKeepsSourceAndOldDestination) {
  FsFaultTempDir dir;
  std::string source = dir / "new", mount = dir / "small";
  Dirops_WriteFile(source, std::string(2 << 20, 'n'));
  std::string sourceDigest = Dirops_Sha256(source);
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(mount, "size=1M")) return;
    std::string destination = mount + "/program";
    Dirops_WriteFile(destination, std::string(100 << 10, 'o'));
    std::string destinationDigest = Dirops_Sha256(destination);
    int error = -1;
    FSF_EXPECT_EQ(child, MoveFile(source.c_str(), destination.c_str(), 1, &error, nullptr, nullptr),
                  0);
    FSF_EXPECT_EQ(child, error, 112);
    FSF_EXPECT_EQ(child, Dirops_Sha256(source), sourceDigest);
    FSF_EXPECT_EQ(child, Dirops_Sha256(destination), destinationDigest);
    FSF_EXPECT_EQ(child, FsFault_Command("ls -A " + Dirops_Quote(mount)), "program");
  });
}

TEST(FileOpsFault, MoveAcrossFileSystemsReportsEveryByte) {
  FsFaultTempDir dir;
  std::string mount = dir / "tmpfs", destination = dir / "landed/file", before = dir / "before";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(mount, "size=64M")) return;
    std::string source = mount + "/file";
    std::string data;
    for (int i = 0; i < (5 << 20) / 7; i++) data += "abcdef" + std::to_string(i % 10);
    Dirops_WriteFile(source, data);
    Dirops_WriteFile(before, data);
    Progress progress;
    int error = -1;
    FSF_EXPECT_EQ(child,
                  MoveFile(source.c_str(), destination.c_str(), 1, &error, recordProgress, &progress),
                  1);
    FSF_EXPECT_EQ(child, error, 0);
    FSF_EXPECT(child, progress.calls > 0);
    FSF_EXPECT_EQ(child, progress.lastTotal, int64_t(data.size()));
    FSF_EXPECT_EQ(child, progress.lastDone, int64_t(data.size()));
    FSF_EXPECT(child, !Dirops_Exists(source));
    FSF_EXPECT_EQ(child,
                  system(("cmp -s " + Dirops_Quote(before) + " " + Dirops_Quote(destination)).c_str()),
                  0);
  });
}

// ---- Move ----------------------------------------------------------------------------------

TEST(FileOps, MoveOntoItselfOrItsHardLinkKeepsTheData) {
  FsFaultTempDir dir;
  std::string a = dir / "a", hard = dir / "hard";
  Dirops_WriteFile(a, "precious");
  ASSERT_EQ(link(a.c_str(), hard.c_str()), 0);
  struct Row {
    const char *name;
    std::string destination;
  } rows[] = {{"the same path", a}, {"another spelling", dir / "x/../a"}, {"a hard link", hard}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    int error = -1;
    EXPECT_EQ(MoveFile(a.c_str(), row.destination.c_str(), 1, &error, nullptr, nullptr), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(Dirops_ReadFile(a), "precious");
    EXPECT_EQ(Dirops_ReadFile(hard), "precious");
  }
}

TEST(FileOps, MoveReplacesFilesAndRefusesDirectories) {
  FsFaultTempDir dir;
  std::string a = dir / "a", b = dir / "b", sub = dir / "sub";
  Dirops_WriteFile(a, "new");
  Dirops_WriteFile(b, "old");
  fs::create_directory(sub);
  int error = -1;
  {
    TestLogCapture capture;
    EXPECT_EQ(MoveFile(a.c_str(), sub.c_str(), 1, &error, nullptr, nullptr), 0);
    EXPECT_EQ(error, 5);
    EXPECT_EQ(Dirops_CountOf(capture.Take(), "Unable to erase path that is not a file (" + sub + ")"),
              1);
    EXPECT_EQ(Dirops_ReadFile(a), "new");
  }
  {
    TestLogCapture capture;
    std::string missing = dir / "missing";
    EXPECT_EQ(MoveFile(missing.c_str(), b.c_str(), 1, &error, nullptr, nullptr), 0);
    EXPECT_EQ(error, 2);
    EXPECT_EQ(Dirops_CountOf(capture.Take(),
                             "MoveFile(" + missing + ", " + b + ") source does not exist"),
              1);
  }
  EXPECT_EQ(MoveFile(a.c_str(), b.c_str(), 1, &error, nullptr, nullptr), 1);
  EXPECT_EQ(Dirops_ReadFile(b), "new");
  EXPECT_FALSE(Dirops_Exists(a));
  // Missing directories of the destination are made.
  std::string deep = dir / "x/y/z/b";
  EXPECT_EQ(MoveFile(b.c_str(), deep.c_str(), 1, &error, nullptr, nullptr), 1);
  EXPECT_EQ(Dirops_ReadFile(deep), "new");
}

// An immutable file cannot be replaced or erased, even by root: the loop
// pauses a second between tries, logs each retry and the end.
TEST(FileOps, ImmutableTargetsRetryThenFail) {
  FsFaultTempDir dir;
  std::string source = dir / "source", target = dir / "target", doomed = dir / "doomed";
  Dirops_WriteFile(source, "new");
  Dirops_WriteFile(target, "old");
  Dirops_WriteFile(doomed, "kept");
  if (!makeImmutable(target) || !makeImmutable(doomed)) {
    clearImmutable(target);
    GTEST_SKIP() << "chattr +i is refused here";
  }
  struct Row {
    const char *name;
    std::function<int(int *)> call;
    std::string retry;
    std::string failed;
  } rows[] = {
      {"MoveFile", [&](int *e) { return MoveFile(source.c_str(), target.c_str(), 3, e, nullptr, nullptr); },
       "Retrying MoveFile(" + source + ", " + target + ") [LE: 5 Try: ",
       "MoveFile(" + source + ", " + target + ") failed [LE: 5]"},
      {"EraseFile", [&](int *e) { return EraseFile(doomed.c_str(), 3, e); },
       "Retrying EraseFile(" + doomed + ") [LE: 5 Try: ", "EraseFile(" + doomed + ") failed [LE: 5]"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    TestLogCapture capture;
    int error = -1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(row.call(&error), 0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(error, 5);
    std::string lines = capture.Take();
    EXPECT_EQ(Dirops_CountOf(lines, row.retry), 2) << lines;
    EXPECT_EQ(Dirops_CountOf(lines, row.failed), 1) << lines;
    EXPECT_GE(took, std::chrono::milliseconds(1900));  // two pauses were taken
  }
  clearImmutable(target);
  clearImmutable(doomed);
  EXPECT_EQ(Dirops_ReadFile(source), "new");
  EXPECT_EQ(Dirops_ReadFile(target), "old");
  EXPECT_EQ(Dirops_ReadFile(doomed), "kept");
}

// ---- Guards ----------------------------------------------------------------------------------

TEST(FileOps, ProtectedPaths) {
  FsFaultTempDir dir;
  std::string home = dir / "home";
  fs::create_directory(home);
  fs::create_symlink(home, dir / "to-home");
  FSFAULT_RUN([&](FsFaultChild &child) {
    setenv("HOME", home.c_str(), 1);
    struct Row {
      std::string path;
      int protectedPath;
    } rows[] = {{"/", 1},           {"//", 1},         {"/tmp/..", 1},       {"C:", 1},
                {"C:/", 1},         {"~", 1},          {"~/", 1},            {home + "/", 1},
                {dir / "to-home", 1}, {home + "/x", 0}, {dir.path(), 0},      {"/tmp", 0}};
    for (const Row &row : rows)
      if (Path_IsProtected(row.path.c_str()) != row.protectedPath)
        child.Fail(__FILE__, __LINE__, "Path_IsProtected(" + row.path + ") is wrong");
    int error = -1;
    FSF_EXPECT_EQ(child, ErasePath(home.c_str(), 1, &error), 0);
    FSF_EXPECT_EQ(child, error, 5);
    FSF_EXPECT(child, Dirops_Exists(home));
  });
}

// "/" is only ever tried inside a private tmpfs that the child has made its
// root, so a guard that fails destroys nothing of the machine.
TEST(FileOpsFault, RootIsRefusedInsideAChroot) {
  FsFaultTempDir dir;
  std::string mount = dir / "root";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(mount, "size=1M")) return;
    fs::create_directory(mount + "/empty");
    if (chroot(mount.c_str()) != 0 || chdir("/") != 0) {
      child.Skip("chroot refused");
      return;
    }
    int error = -1;
    FSF_EXPECT_EQ(child, ErasePath("/", 1, &error), 0);
    FSF_EXPECT_EQ(child, error, 5);
    FSF_EXPECT_EQ(child, ErasePath("/empty/..", 1, &error), 0);
    FSF_EXPECT(child, Dirops_Exists("/empty"));
  });
}

// ---- Links -------------------------------------------------------------------------------

TEST(FileOps, ResolveLinksFollowsRelativeTargetsAndStopsAtLoops) {
  FsFaultTempDir dir;
  fs::create_directories(dir / "sub/deeper");
  Dirops_WriteFile(dir / "sub/file", "x");
  fs::create_symlink("sub/deeper/../file", dir / "rel");  // relative to its directory
  fs::create_symlink("rel", dir / "chain");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  fs::create_symlink("loop-b", dir / "loop-a");
  fs::create_symlink("loop-a", dir / "loop-b");
  // 25 links in a row resolve; 26 are too many.
  Dirops_WriteFile(dir / "end", "e");
  fs::create_symlink("end", dir / "l25");
  for (int i = 24; i >= 0; i--)
    fs::create_symlink("l" + std::to_string(i + 1), dir / ("l" + std::to_string(i)));
  struct Row {
    std::string path;
    int result;
    std::string out;
    int error;
  } rows[] = {
      {dir / "sub/file", 1, dir / "sub/file", 0}, {dir / "chain", 1, dir / "sub/file", 0},
      {dir / "dangling", 1, dir / "nowhere", 0},  {dir / "loop-a", 0, "", 1921},
      {dir / "l1", 1, dir / "end", 0},            {dir / "l0", 0, "", 1921},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    char out[kPathMax];
    EXPECT_EQ(Path_ResolveLinks(row.path.c_str(), out, sizeof out), row.result);
    EXPECT_EQ(std::string(out), row.out);
    if (!row.result) {
      EXPECT_EQ(Platform_GetLastError(), row.error);
    }
  }
  EXPECT_EQ(Path_IsSymbolicLink((dir / "chain").c_str()), 1);
  EXPECT_EQ(Path_IsSymbolicLink((dir / "dangling").c_str()), 1);
  EXPECT_EQ(Path_IsSymbolicLink((dir / "sub").c_str()), 0);
  EXPECT_EQ(Path_CreateSymbolicLink((dir / "new/parents/link").c_str(), "../../sub/file", 0), 1);
  EXPECT_EQ(Dirops_ReadFile(dir / "new/parents/link"), "x");
}

// ---- Modes, times, attributes ------------------------------------------------------------

TEST(FileOps, MakeWritableWorksOnTheEntryNeverThroughALink) {
  FsFaultTempDir dir;
  std::string file = dir / "file", outside = dir / "outside", link = dir / "link",
              sub = dir / "sub";
  Dirops_WriteFile(file, "x");
  Dirops_WriteFile(outside, "x");
  fs::create_directory(sub);
  fs::create_symlink(outside, link);
  chmod(file.c_str(), 0444);
  chmod(outside.c_str(), 0444);
  chmod(sub.c_str(), 0555);
  EXPECT_EQ(Path_MakeWritable(file.c_str()), 1);
  EXPECT_EQ(Dirops_Mode(file), 0644);
  EXPECT_EQ(Path_MakeWritable(sub.c_str()), 1);
  EXPECT_EQ(Dirops_Mode(sub), 0755);
  EXPECT_EQ(Path_MakeWritable(link.c_str()), 1);
  EXPECT_EQ(Dirops_Mode(outside), 0444);
  EXPECT_EQ(Path_MakeWritable((dir / "missing").c_str()), 0);
}

TEST(FileOps, TimesModesAndAttributes) {
  FsFaultTempDir dir;
  std::string file = dir / "file", link = dir / "link";
  Dirops_WriteFile(file, "12345");
  fs::create_symlink(file, link);
  int error = -1;
  EXPECT_EQ(SetModifiedTime(file.c_str(), 1234567890.25, &error), 1);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
  EXPECT_EQ(st.st_mtim.tv_nsec, 250000000);
  double seconds = 0;
  EXPECT_EQ(GetModifiedTime(link.c_str(), &seconds, &error), 1);
  EXPECT_DOUBLE_EQ(seconds, 1234567890.25);
  EXPECT_EQ(GetCreationTime(file.c_str(), &seconds, &error), 1);
  EXPECT_GT(seconds, 0);
  // SetMode on a link changes its target, as chmod does.
  EXPECT_EQ(SetMode(link.c_str(), 0600, &error), 1);
  uint32_t mode = 0;
  EXPECT_EQ(GetMode(file.c_str(), &mode, &error), 1);
  EXPECT_EQ(mode, 0100600u);
  uint32_t attributes = 0;
  EXPECT_EQ(SetAttributes(file.c_str(), kFileAttributeReadOnly, &error), 1);
  EXPECT_EQ(GetAttributes(file.c_str(), &attributes, &error), 1);
  EXPECT_EQ(attributes & kFileAttributeReadOnly, kFileAttributeReadOnly);
  EXPECT_EQ(GetAttributes(link.c_str(), &attributes, &error), 1);
  EXPECT_EQ(attributes & kFileAttributeSymlink, kFileAttributeSymlink);
  uint64_t size = 0;
  EXPECT_EQ(Path_GetFileSize(link.c_str(), &size), 1);
  EXPECT_EQ(size, 5u);

  std::string missing = dir / "missing";
  struct Row {
    const char *name;
    std::function<int()> call;
  } failures[] = {
      {"GetMode", [&] { return GetMode(missing.c_str(), &mode, &error); }},
      {"SetMode", [&] { return SetMode(missing.c_str(), 0644, &error); }},
      {"GetModifiedTime", [&] { return GetModifiedTime(missing.c_str(), &seconds, &error); }},
      {"SetModifiedTime", [&] { return SetModifiedTime(missing.c_str(), 1.0, &error); }},
      {"GetCreationTime", [&] { return GetCreationTime(missing.c_str(), &seconds, &error); }},
      {"GetAttributes", [&] { return GetAttributes(missing.c_str(), &attributes, &error); }},
      {"SetAttributes", [&] { return SetAttributes(missing.c_str(), 0, &error); }},
  };
  for (const Row &row : failures) {
    SCOPED_TRACE(row.name);
    TestLogCapture capture;
    EXPECT_EQ(row.call(), 0);
    EXPECT_EQ(error, 2);
    EXPECT_EQ(Dirops_CountOf(capture.Take(),
                             std::string(row.name) + "(" + missing + ") failed [LE: 2]"),
              1);
  }
}
