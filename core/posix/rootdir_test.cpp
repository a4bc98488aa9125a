#include "core/platform/rootdir.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/asyncfile.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "tests/dirops_test_util.h"
#include "tests/wake_hook.h"

namespace {

constexpr uint32_t kWrite = kAsyncFileRead | kAsyncFileWrite;

class RootDirectoryTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    Meter_Init();
    IOWorker_Init();
    AsyncFile_Init();
    mkdir((dir_ / "root").c_str(), 0755);
    mkdir((dir_ / "outside").c_str(), 0755);
    Dirops_WriteFile(dir_ / "outside/keep", "sentinel");
    mkdir((dir_ / "root/sub").c_str(), 0755);
    symlink("../outside", (dir_ / "root/out").c_str());
    symlink("sub", (dir_ / "root/in").c_str());
    symlink("../outside/keep", (dir_ / "root/keeplink").c_str());
    ASSERT_EQ(RootDirectory_Open((dir_ / "root").c_str(), 0, &root_), 1);
    before_ = Outside();
  }
  void TearDown() override {
    EXPECT_EQ(Outside(), before_);
    RootDirectory_Close(&root_);
    AsyncFile_Shutdown();
    IOWorker_Shutdown();
    Meter_Shutdown();
    Platform_ForceComponentWalkForTest(0);
    ThreadTest::TearDown();
  }
  // The outside directory as `ls -l --full-time` sees it.
  std::string Outside() {
    return FsFault_Command("ls -lA --full-time " + Dirops_Quote(dir_ / "outside") +
                           "; stat -c '%y %s' " + Dirops_Quote(dir_ / "outside"));
  }
  // Opens name with flags and puts text (when given) in it; the error, or 0.
  int Open(const std::string &name, uint32_t flags, const std::string *text = nullptr) {
    AsyncFile *file = nullptr;
    AsyncFile_Create(&file);
    int error = 0;
    if (RootDirectory_OpenFile(root_, name.c_str(), flags, file)) {
      int fd = AsyncFile_GetDescriptorForTest(file);
      if (text != nullptr && pwrite(fd, text->data(), text->size(), 0) != ssize_t(text->size()))
        error = -1;
    } else {
      error = Platform_GetLastError();
    }
    AsyncFile_Release(&file);
    return error;
  }
  // Opens name for writing and puts text in it; the error, or 0.
  int Write(const std::string &name, const std::string &text) { return Open(name, kWrite, &text); }

  FsFaultTempDir dir_;
  RootDirectory *root_ = nullptr;
  std::string before_;
};

// Names that would leave the root are refused with 5 by every operation,
// with openat2 and with the component walk; nothing outside changes.
TEST_F(RootDirectoryTest, EscapesAreRefused) {
  const char *escapes[] = {"../x", "/tmp/x", "a/../../x", "out/x", "out/keep", "sub/../../x",
                           "a\\..\\..\\x", "..", "", "sub/..", "in/../../outside/keep"};
  for (int walk = 0; walk < 2; walk++) {
    Platform_ForceComponentWalkForTest(walk);
    for (const char *name : escapes) {
      SCOPED_TRACE(std::string(name) + (walk ? " (walk)" : " (openat2)"));
      EXPECT_EQ(Write(name, "escaped"), 5);
      EXPECT_EQ(RootDirectory_CreateLink(root_, name, "t"), 0);
      EXPECT_EQ(Platform_GetLastError(), 5);
      EXPECT_EQ(RootDirectory_Remove(root_, name, 0), 0);
      EXPECT_EQ(RootDirectory_Remove(root_, name, 1), 0);
      EXPECT_EQ(RootDirectory_Rename(root_, "sub", name), 0);
      EXPECT_EQ(RootDirectory_SetMode(root_, name, 0), 0);
    }
  }
  Platform_ForceComponentWalkForTest(0);
  // The last component is never followed: a link to an outside file.
  EXPECT_EQ(Write("keeplink", "through"), 1921);
  EXPECT_EQ(RootDirectory_SetMode(root_, "keeplink", 0), 0);
  EXPECT_EQ(RootDirectory_Remove(root_, "out", 1), 0);  // not a directory: a link
  EXPECT_EQ(RootDirectory_Remove(root_, "keeplink", 0), 1);
  EXPECT_FALSE(Dirops_Exists(dir_ / "root/keeplink"));
  EXPECT_EQ(RootDirectory_Remove(root_, "out", 0), 1);  // the link goes, its target stays
  EXPECT_FALSE(Dirops_Exists(dir_ / "root/out"));
  // A name one past the room fails with 206.
  std::string longName(kPathMax - (dir_ / "root").size(), 'n');
  EXPECT_EQ(Write(longName, "x"), 206);
}

// Reading a served file below the root: one open that stays beneath, a
// regular file only, never blocking on a pipe.
TEST_F(RootDirectoryTest, OpenReadBeneathGivesRegularFilesInsideOnly) {
  Dirops_WriteFile(dir_ / "root/sub/f", "12345");
  mkfifo((dir_ / "root/pipe").c_str(), 0600);
  struct Case {
    const char *name;
    int opened, walkOpened;  // 1: opened; else the error (openat2, walk)
  } cases[] = {
      {"sub/f", 1, 1},          {"in/f", 1, 5},      {"sub//./f", 1, 1},
      {"keeplink", 5, 5},       {"out/keep", 5, 5},  {"../outside/keep", 5, 5},
      {"/tmp", 5, 5},           {"", 5, 5},          {"sub", 5, 5},
      {"pipe", 5, 5},           {"in/../../outside/keep", 5, 5},
      {"missing", 2, 2},
  };
  for (int walk = 0; walk < 2; walk++) {
    Platform_ForceComponentWalkForTest(walk);
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.name) + (walk ? " (walk)" : " (openat2)"));
      int expected = walk ? c.walkOpened : c.opened;
      FileIdentity identity{};
      int fd = Platform_OpenReadBeneath(root_->directory, c.name, &identity);
      if (expected == 1) {
        ASSERT_GE(fd, 0);
        char text[8] = {};
        EXPECT_EQ(read(fd, text, sizeof text), 5);
        EXPECT_STREQ(text, "12345");
        EXPECT_EQ(identity.size, 5);
        close(fd);
      } else {
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(Platform_GetLastError(), expected);
        EXPECT_EQ(identity.size, 0);
      }
    }
  }
}

// Inside the root: parents are made, no link on the way is followed, a link
// replaces a file, renames and copies stay beneath.
// A root reached through a link at its last component is opened only when
// the link is this process's or root's: another user could repoint it.
TEST_F(RootDirectoryTest, RootThroughAnotherUsersLinkIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "lchown to another user needs root";
  std::string link = dir_ / "via";
  ASSERT_EQ(symlink("root", link.c_str()), 0);
  struct Row {
    uid_t owner;
    int opens;
  } rows[] = {{0, 1}, {65534, 0}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.owner);
    ASSERT_EQ(lchown(link.c_str(), row.owner, row.owner), 0);
    RootDirectory *root = nullptr;
    EXPECT_EQ(RootDirectory_Open(link.c_str(), 1, &root), row.opens);
    if (!row.opens) {
      EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
    }
    RootDirectory_Close(&root);
  }
  // A link further up the path is refused too, and named; root's is
  // followed.
  char found[kPathMax];
  RootDirectory *below = nullptr;
  EXPECT_EQ(RootDirectory_Open((link + "/sub").c_str(), 1, &below), 0);
  EXPECT_EQ(RootDirectory_FindForeignLink((link + "/sub/../sub").c_str(), found, kPathMax), 1);
  EXPECT_EQ(std::string(found), link);
  char real[kPathMax];
  EXPECT_EQ(RootDirectory_GetRealPath((link + "/..").c_str(), real, kPathMax, found), 0);
  EXPECT_EQ(std::string(found), link);
  ASSERT_EQ(lchown(link.c_str(), 0, 0), 0);
  ASSERT_EQ(RootDirectory_Open((link + "/sub").c_str(), 1, &below), 1);
  // ".." after a link is the parent of where the link leads, as open(2)
  // reads it: not the directory the text names before the link.
  ASSERT_EQ(symlink("root/sub", (dir_ / "deep").c_str()), 0);
  ASSERT_EQ(RootDirectory_GetRealPath((dir_ / "deep/..").c_str(), real, kPathMax, found), 1);
  EXPECT_EQ(std::string(real), std::string(dir_ / "root"));
  // A copy of the handle, and paths through its descriptor, keep reaching
  // the directory of the start after it is renamed and another user's link
  // takes its place; the path itself now fails.
  RootDirectory *again = nullptr;
  ASSERT_EQ(RootDirectory_Duplicate(below, &again), 1);
  RootDirectory_Close(&below);
  ASSERT_EQ(rename((dir_ / "root").c_str(), (dir_ / "moved").c_str()), 0);
  ASSERT_EQ(mkdir((dir_ / "elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(symlink("elsewhere", (dir_ / "root").c_str()), 0);
  ASSERT_EQ(lchown((dir_ / "root").c_str(), 65534, 65534), 0);
  ASSERT_EQ(RootDirectory_CreateLink(again, "mark", "x"), 1);
  struct stat st;
  EXPECT_EQ(lstat((dir_ / "moved/sub/mark").c_str(), &st), 0);
  char through[kPathMax];
  ASSERT_EQ(RootDirectory_GetDescriptorPath(again, "mark", through, kPathMax), 1);
  EXPECT_EQ(lstat(through, &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  RootDirectory_Close(&again);
  EXPECT_EQ(RootDirectory_Open((link + "/sub").c_str(), 0, &again), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "elsewhere"));
}

// A folder another user may rename entries in is refused on the way to a
// root, wherever it stands on the path: the owner must be this user or
// root, and only the owner may write it unless it is sticky or its group is
// the owner's private group (root:root is root's).
TEST_F(RootDirectoryTest, DirectoryOthersMayChangeIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "chown to another user needs root";
  std::string up = dir_ / "up", at = dir_ / "up/game";
  ASSERT_EQ(mkdir(up.c_str(), 0755), 0);
  struct Row {
    const char *name;
    uid_t owner;
    gid_t group;
    mode_t mode;
    bool leaf;  // the root itself rather than the folder above it
    FileTrustFault fault;
  } rows[] = {
      {"root's 0755", 0, 0, 0755, false, FileTrustFault::None},
      {"another user's", 65534, 65534, 0755, false, FileTrustFault::Owner},
      {"another user's root", 65534, 65534, 0700, true, FileTrustFault::Owner},
      {"non-sticky group folder", 0, 60, 02775, false, FileTrustFault::GroupWritable},
      {"group of no one's own", 0, 60, 0775, true, FileTrustFault::GroupWritable},
      {"private group", 0, 0, 0775, false, FileTrustFault::None},
      {"open to all", 0, 0, 0777, true, FileTrustFault::OtherWritable},
      {"sticky, open to all", 0, 0, 01777, false, FileTrustFault::None},
      {"sticky group folder", 0, 60, 03775, true, FileTrustFault::None},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(at);
    ASSERT_EQ(mkdir(at.c_str(), 0755), 0);
    const std::string &judged = row.leaf ? at : up;
    ASSERT_EQ(chown(judged.c_str(), row.owner, row.group), 0);
    ASSERT_EQ(chmod(judged.c_str(), row.mode), 0);
    RootDirectory *root = nullptr;
    RootDirectoryRefusal refusal;
    int opened = RootDirectory_Open(at.c_str(), 0, &root, 0755, &refusal);
    RootDirectory_Close(&root);
    EXPECT_EQ(opened, row.fault == FileTrustFault::None ? 1 : 0);
    EXPECT_EQ(refusal.verdict.fault, row.fault);
    if (row.fault == FileTrustFault::None) {
      EXPECT_STREQ(refusal.path, "");
    } else {
      EXPECT_EQ(std::string(refusal.path), judged);
      EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
      char line[kPathMax * 3];
      FileTrust_FormatRefusal("the root", refusal.path, &refusal.verdict, line, int(sizeof line));
      EXPECT_NE(std::string(line).find(row.fault == FileTrustFault::Owner ? "chown"
                                                                          : "chmod g-w,o-w"),
                std::string::npos) << line;
    }
    ASSERT_EQ(chown(judged.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(judged.c_str(), 0755), 0);
  }
  // Nothing is made in a refused folder; what is made gets its mode
  // whatever the umask, and one another user made first is refused.
  ASSERT_EQ(chmod(up.c_str(), 0777), 0);
  RootDirectory *root = nullptr;
  std::filesystem::remove_all(at);
  EXPECT_EQ(RootDirectory_Open((at + "/deeper").c_str(), 1, &root), 0);
  EXPECT_FALSE(Dirops_Exists(at));
  ASSERT_EQ(chmod(up.c_str(), 0755), 0);
  mode_t mask = umask(077);
  ASSERT_EQ(RootDirectory_Open((at + "/pending").c_str(), 1, &root, 0700), 1);
  RootDirectory_Close(&root);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat(at.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(stat((at + "/pending").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(chown((at + "/pending").c_str(), 65534, 65534), 0);
  EXPECT_EQ(RootDirectory_Open((at + "/pending").c_str(), 1, &root, 0700), 0);
  // A link of root's on the way is followed to a folder that is judged.
  ASSERT_EQ(symlink("up/game", (dir_ / "to").c_str()), 0);
  ASSERT_EQ(chmod(at.c_str(), 0777), 0);
  RootDirectoryRefusal refusal;
  EXPECT_EQ(RootDirectory_Open((dir_ / "to/x").c_str(), 1, &root, 0755, &refusal), 0);
  EXPECT_EQ(std::string(refusal.path), at);
  EXPECT_FALSE(Dirops_Exists(at + "/x"));
  // A sticky root: another user's directory at one of the tree's names is
  // not built into; the run's own directories are made 0755.
  ASSERT_EQ(chmod(at.c_str(), 01777), 0);
  ASSERT_EQ(mkdir((at + "/d").c_str(), 0755), 0);
  ASSERT_EQ(chown((at + "/d").c_str(), 65534, 65534), 0);
  ASSERT_EQ(RootDirectory_Open(at.c_str(), 0, &root), 1);
  AsyncFile *file = nullptr;
  AsyncFile_Create(&file);
  EXPECT_EQ(RootDirectory_OpenFile(root, "d/x", kWrite, file), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
  EXPECT_FALSE(Dirops_Exists(at + "/d/x"));
  mask = umask(077);
  EXPECT_EQ(RootDirectory_OpenFile(root, "e/f/x", kWrite, file), 1);
  umask(mask);
  AsyncFile_Release(&file);
  RootDirectory_Close(&root);
  ASSERT_EQ(stat((at + "/e/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

// A copy that leaves ranges out: the source's size, zeros in each skipped
// range (one past the end is cut there), the source's bytes elsewhere. The
// file is larger than one in-kernel chunk, so a kept range takes several.
TEST_F(RootDirectoryTest, CopyLeavesSkippedRangesOut) {
  const int64_t size = (9 << 20) + 100;
  std::string source(size_t(size), '\0');
  for (int64_t i = 0; i < size; i++) source[size_t(i)] = char('a' + i % 23);
  Dirops_WriteFile(dir_ / "root/src", source);
  struct Case {
    const char *name;
    std::vector<int64_t> skip;
  } cases[] = {
      {"none", {}},
      {"head", {0, 4096}},
      {"two apart", {100, 50, 4096, 1 << 20}},
      {"adjacent", {10, 10, 20, 10}},
      {"past the end", {size - 100, 1000}},
      {"all", {0, size}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string want = source;
    for (size_t i = 0; i < c.skip.size(); i += 2) {
      int64_t end = std::min(size, c.skip[i] + c.skip[i + 1]);
      std::fill(want.begin() + c.skip[i], want.begin() + end, '\0');
    }
    ASSERT_EQ(RootDirectory_Copy(root_, "src", "dst", c.skip.data(),
                                 int32_t(c.skip.size() / 2)),
              1);
    std::string got = Dirops_ReadFile(dir_ / "root/dst");
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
  }
}

TEST_F(RootDirectoryTest, WorksInside) {
  EXPECT_EQ(Write("a/b/c/d.txt", "deep"), 0);
  EXPECT_EQ(Dirops_ReadFile(dir_ / "root/a/b/c/d.txt"), "deep");
  EXPECT_EQ(Write("in/x", "via link"), 5);  // a link on the way, even one staying inside
  EXPECT_EQ(Write("sub/x", "via link"), 0);
  EXPECT_EQ(Dirops_ReadFile(dir_ / "root/sub/x"), "via link");
  EXPECT_EQ(Write("a\\b\\w", "backslash"), 0);
  EXPECT_EQ(Dirops_ReadFile(dir_ / "root/a/b/w"), "backslash");
  EXPECT_EQ(RootDirectory_Copy(root_, "a/b/w", "copy/w"), 1);
  EXPECT_EQ(Dirops_ReadFile(dir_ / "root/copy/w"), "backslash");
  EXPECT_EQ(RootDirectory_Rename(root_, "copy/w", "moved/deeper/w"), 1);
  EXPECT_EQ(Dirops_ReadFile(dir_ / "root/moved/deeper/w"), "backslash");
  EXPECT_EQ(RootDirectory_CreateLink(root_, "a/b/w", "../../sub/x"), 1);
  char text[64];
  EXPECT_EQ(RootDirectory_ReadLink(root_, "a/b/w", text, sizeof text), 1);
  EXPECT_STREQ(text, "../../sub/x");
  EXPECT_EQ(RootDirectory_CreateLink(root_, "a/b/w", "../c"), 1);  // a link replaces a link
  EXPECT_EQ(RootDirectory_ReadLink(root_, "a/b/w", text, sizeof text), 1);
  EXPECT_STREQ(text, "../c");
  auto names = std::distance(std::filesystem::directory_iterator(dir_ / "root/a/b"),
                             std::filesystem::directory_iterator());
  EXPECT_EQ(names, 2);  // c and w: no name of the replacement is left
  EXPECT_EQ(RootDirectory_CreateLink(root_, "a/b", "x"), 0);  // a directory stays
  EXPECT_EQ(RootDirectory_SetMode(root_, "sub/x", 0444), 1);
  EXPECT_EQ(Dirops_Mode(dir_ / "root/sub/x"), 0444);
  EXPECT_EQ(RootDirectory_MakeWritable(root_, "sub/x"), 1);
  EXPECT_EQ(Dirops_Mode(dir_ / "root/sub/x"), 0644);
  EXPECT_EQ(RootDirectory_Remove(root_, "a/b/c", 1), 0);  // not empty
  EXPECT_EQ(RootDirectory_Remove(root_, "a/b/c/d.txt", 0), 1);
  EXPECT_EQ(RootDirectory_Remove(root_, "a/b/c", 1), 1);
  PlatformDirectory *absolute = nullptr;
  EXPECT_EQ(Platform_OpenDirectoryBeneath(nullptr, "/tmp", 0, &absolute), 0);
  EXPECT_EQ(Platform_GetLastError(), 5);
  // A file with another hard link is read, never opened for writing.
  ASSERT_EQ(link((dir_ / "outside/keep").c_str(), (dir_ / "root/hard").c_str()), 0);
  EXPECT_EQ(Write("hard", "overwritten"), 5);
  EXPECT_EQ(Platform_GetLastErrno(), EMLINK);
  EXPECT_EQ(Open("hard", kAsyncFileRead), 0);
  EXPECT_EQ(RootDirectory_Remove(root_, "hard", 0), 1);
  // A new file is made by its open, never one that is there.
  EXPECT_EQ(Write("a/b/fresh", "one"), 0);
  EXPECT_EQ(Open("a/b/fresh", kWrite | kAsyncFileCreateNew), kPlatformErrorFileExists);
  // A tree goes whole, its links with it and never what they lead to.
  ASSERT_EQ(symlink("../../../outside", (dir_ / "root/a/b/away").c_str()), 0);
  ASSERT_EQ(chmod((dir_ / "root/a/b").c_str(), 0555), 0);
  EXPECT_EQ(RootDirectory_RemoveTree(root_, "a"), 1);
  EXPECT_FALSE(Dirops_Exists(dir_ / "root/a"));
  EXPECT_EQ(RootDirectory_RemoveTree(root_, "a"), 1);  // missing: nothing to do
  EXPECT_EQ(RootDirectory_RemoveTree(root_, "out"), 1);  // a link to a directory: the link
  EXPECT_TRUE(Dirops_Exists(dir_ / "outside/keep"));
}

// The descriptor limit lowered for a scope, so that a root opened in it
// keeps its fewest directories (16).
class FewDescriptors {
 public:
  FewDescriptors() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    struct rlimit low = saved_;
    low.rlim_cur = 256;
    setrlimit(RLIMIT_NOFILE, &low);
  }
  ~FewDescriptors() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  struct rlimit saved_;
};

// A directory kept open between operations follows what happens to its
// name: changes made through the handle and by others.
TEST_F(RootDirectoryTest, KeptDirectoriesFollowChanges) {
  namespace fs = std::filesystem;
  std::string k = dir_ / "root/k";
  struct Row {
    const char *what;
    std::function<void()> change;
    int error;  // of the write after the change
  } rows[] = {
      {"removed through the handle",
       [&] {
         EXPECT_EQ(RootDirectory_Remove(root_, "k/f", 0), 1);
         EXPECT_EQ(RootDirectory_Remove(root_, "k", 1), 1);
       },
       0},
      {"renamed through the handle",
       [&] { EXPECT_EQ(RootDirectory_Rename(root_, "k", "renamed/k"), 1); }, 0},
      {"removed by another and made again",
       [&] {
         fs::remove_all(k);
         fs::create_directory(k);
       },
       0},
      {"removed by another", [&] { fs::remove_all(k); }, 0},
      {"swapped by another for a link out",
       [&] {
         fs::remove_all(k);
         fs::create_directory_symlink("../outside", k);
       },
       5},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(k);
    fs::remove_all(dir_ / "root/renamed");
    ASSERT_EQ(Write("k/f", "first"), 0);
    row.change();
    EXPECT_EQ(Write("k/g", "second"), row.error);
    if (row.error == 0) {
      EXPECT_EQ(Dirops_ReadFile(dir_ / "root/k/g"), "second");
    }
  }
  fs::remove(k);
  // More directories than are kept: each write still lands in its own.
  FewDescriptors few;
  RootDirectory *root = nullptr;
  ASSERT_EQ(RootDirectory_Open((dir_ / "root").c_str(), 0, &root), 1);
  std::swap(root, root_);
  for (int round = 0; round < 2; round++)
    for (int i = 0; i < 40; i++) {
      std::string name = "many/d" + std::to_string(i) + "/f" + std::to_string(round);
      EXPECT_EQ(Write(name, name), 0) << name;
      EXPECT_EQ(Dirops_ReadFile(dir_ / ("root/" + name)), name);
    }
  std::swap(root, root_);
  RootDirectory_Close(&root);
}

class RootDirectoryThreaded : public RootDirectoryTest {};

// Threads work in more directories than are kept, so directories are
// evicted and forgotten while others run in them.
TEST_F(RootDirectoryThreaded, KeptDirectoriesShared) {
  FewDescriptors few;
  RootDirectory *root = nullptr;
  ASSERT_EQ(RootDirectory_Open((dir_ / "root").c_str(), 0, &root), 1);
  std::swap(root, root_);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; i++) {
        std::string dir = "t/d" + std::to_string((i * 7 + t) % 24);
        std::string name = dir + "/f" + std::to_string(t) + "_" + std::to_string(i);
        if (Write(name, "x") != 0) failures++;
        if (i % 10 == 9 && t == 0) RootDirectory_Rename(root_, dir.c_str(), dir.c_str());
      }
    });
  for (auto &thread : threads) thread.join();
  std::swap(root, root_);
  RootDirectory_Close(&root);
  EXPECT_EQ(failures.load(), 0);
}

// A thread swaps a directory of the root for a link to the outside while
// files are created in it: no byte ever lands outside.
TEST_F(RootDirectoryThreaded, DirectorySwapRace) {
  mkdir((dir_ / "root/d").c_str(), 0755);
  symlink((dir_ / "outside").c_str(), (dir_ / "root/swap").c_str());
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    std::string a = dir_ / "root/d", b = dir_ / "root/swap";
    while (!stop.load()) renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
  });
  for (int walk = 0; walk < 2; walk++) {
    Platform_ForceComponentWalkForTest(walk);
    for (int round = 0; round < 100; round++) {
      Write("d/f" + std::to_string(round % 10), "inside");
      // "./d" is never kept: every write walks to it again, under the race.
      Write("./d/f" + std::to_string(round % 10), "inside");
    }
  }
  stop.store(true);
  swapper.join();
}

}  // namespace
