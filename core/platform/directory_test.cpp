// The directory walker against find(1), and the tree operations against the
// kernel and their peers: deletion that never leaves the tree (links, a link
// swapped in during the walk, paths past 4096 bytes, protected roots),
// deletion on read-only disks and by user 65534, copy against cp -a, and
// moves across file systems.
#include "core/platform/directory.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/core.h"
#include "core/platform/fileops.h"
#include "core/platform/platform.h"
#include "tests/dirops_test_util.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

// What a walk reported: "<depth> <path>" per entry, in order.
struct Reported {
  std::vector<std::string> paths;
  std::vector<int> depths;
  const char *pruneName = nullptr;  // directories of this name are pruned
  int stopAfter = -1;               // answer stop at this call (0-based)
};

int recordEntry(void *userData, DirectoryList *list, int depth, const char *path) {
  auto *reported = static_cast<Reported *>(userData);
  int call = int(reported->paths.size());
  reported->paths.push_back(path);
  reported->depths.push_back(depth);
  if (call == reported->stopAfter) return kDirectoryListStop;
  if (reported->pruneName && DirectoryList_IsDirectory(list) &&
      std::string(DirectoryList_GetName(list)) == reported->pruneName)
    return kDirectoryListPrune;
  return kDirectoryListContinue;
}

std::vector<std::string> splitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

// `stat -c '%n %a %Y'` of every entry below root but links, sorted, with
// root's own line: names, modes and modified times of a whole tree.
std::string statTree(const std::string &root) {
  return FsFault_Command("cd " + Dirops_Quote(root) +
                         " && find . ! -type l -exec stat -c '%n %a %Y' {} + | sort");
}

// A tree with every kind of entry the walker meets, grown from a seed: the
// fixed part, then random directories and files. Links point outside.
void buildWalkTree(const std::string &root, const std::string &outside, unsigned seed) {
  fs::create_directories(root + "/a/b/c");
  fs::create_directories(root + "/a/prune/inner");
  fs::create_directories(root + "/empty");
  fs::create_directories(root + "/.hidden");
  fs::create_directories(outside + "/inside");
  for (const char *file : {"/top.txt", "/top.log", "/a/x.txt", "/a/y.dat", "/a/b/z.txt",
                           "/a/b/c/deep.txt", "/a/prune/p.txt", "/a/prune/inner/i.txt",
                           "/.hidden/h.txt"})
    Dirops_WriteFile(root + file, file);
  Dirops_WriteFile(outside + "/inside/secret.txt", "secret");
  fs::create_symlink(outside, root + "/link-dir");
  fs::create_symlink(outside + "/inside/secret.txt", root + "/a/link-file.txt");
  fs::create_symlink(root + "/nowhere", root + "/a/b/dangling");
  std::mt19937 random(seed);
  std::vector<std::string> directories = {root, root + "/a", root + "/a/b", root + "/empty2"};
  fs::create_directories(root + "/empty2");
  for (int i = 0; i < 60; i++) {
    std::string parent = directories[random() % directories.size()];
    std::string name = "n" + std::to_string(i) + (random() % 3 == 0 ? ".txt" : "");
    if (random() % 4 == 0) {
      fs::create_directory(parent + "/" + name);
      directories.push_back(parent + "/" + name);
    } else {
      Dirops_WriteFile(parent + "/" + name, name);
    }
  }
}

}  // namespace

// ---- Fatal paths ----------------------------------------------------------------------------

TEST(DirectoryListDeathTest, ProgrammingErrorsStop) {
  DirectoryList list;
  DirectoryList_Init(&list);
  DirectoryList foreign;
  memset(static_cast<void *>(&foreign), 0, sizeof foreign);
  int error = 0;
  struct Row {
    const char *name;
    std::function<void()> call;
    std::string message;
  } rows[] = {
      {"an order that is neither", [&] { DirectoryList_SetOrder(&list, 3); }, "Invalid order (3)\n"},
      {"a walk without a list", [] { DirectoryList_Walk(nullptr, "/", nullptr); },
       "Pointer is NULL\n"},
      {"a walk without a root", [&] { DirectoryList_Walk(&list, nullptr, nullptr); },
       "Pointer is NULL\n"},
      {"a list that is not one", [&] { DirectoryList_Walk(&foreign, "/", nullptr); },
       "Class mismatch pointer"},
      {"a delete without an error slot", [] { Directory_Delete("/tmp/x", 1, nullptr); },
       "Pointer is NULL\n"},
      {"a copy without a source", [] { Directory_Copy(nullptr, "/tmp/x", 0); },
       "Pointer is NULL\n"},
  };
  (void)error;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_DEATH(row.call(), Dirops_Literal(row.message));
  }
}

// ---- Walk against find ------------------------------------------------------------------------

TEST(DirectoryList, WalkReportsWhatFindFinds) {
  FsFaultTempDir dir;
  std::string root = dir / "tree", outside = dir / "outside";
  const unsigned seed = 20261207;
  buildWalkTree(root, outside, seed);
  // find's view of our kinds: a link to a directory is a directory that is
  // never entered; any other link is a file.
  const std::string files = "\\( -type f -o \\( -type l ! -xtype d \\) \\)";
  const std::string dirs = "\\( -type d -o \\( -type l -xtype d \\) \\)";
  struct Row {
    int order;
    uint32_t mask;
    int maxDepth;
    const char *pattern;
    const char *prune;
  } rows[] = {
      {1, 3, -1, "", nullptr},   {2, 3, -1, "", nullptr},     {1, 1, -1, "", nullptr},
      {2, 2, -1, "", nullptr},   {1, 3, 0, "", nullptr},      {2, 3, 1, "", nullptr},
      {1, 1, -1, "*.txt", nullptr}, {1, 3, 2, "n*.txt", nullptr}, {1, 3, -1, "", "prune"},
      {1, 2, -1, "*.txt", "b"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " order " + std::to_string(row.order) +
                 " mask " + std::to_string(row.mask) + " depth " + std::to_string(row.maxDepth) +
                 " pattern '" + row.pattern + "' prune " + (row.prune ? row.prune : "-"));
    DirectoryList list;
    DirectoryList_Init(&list);
    DirectoryList_SetOrder(&list, row.order);
    DirectoryList_SetMask(&list, row.mask);
    DirectoryList_SetMaxDepth(&list, row.maxDepth);
    Reported reported;
    reported.pruneName = row.prune;
    DirectoryList_SetCallback(&list, recordEntry, &reported);
    ASSERT_EQ(DirectoryList_Walk(&list, root.c_str(), row.pattern), 1);

    std::string fileTest = files + (row.pattern[0] ? std::string(" -name '") + row.pattern + "'" : "");
    std::string wanted = row.mask == 1   ? "\\( " + fileTest + " \\)"
                         : row.mask == 2 ? dirs
                                         : "\\( " + dirs + " -o \\( " + fileTest + " \\) \\)";
    std::string command = "cd " + Dirops_Quote(root) + " && find . -mindepth 1";
    if (row.maxDepth >= 0) command += " -maxdepth " + std::to_string(row.maxDepth + 1);
    if (row.prune)
      command += std::string(" \\( -type d -name ") + row.prune + " -prune" +
                 ((row.mask & 2) ? " -print" : "") + " \\) -o";
    command += " \\( " + wanted + " -print \\) | sed 's|^\\./||' | sort";
    std::vector<std::string> expected = splitLines(FsFault_Command(command));

    std::vector<std::string> got;
    for (size_t i = 0; i < reported.paths.size(); i++) {
      std::string path = reported.paths[i];
      ASSERT_EQ(path.compare(0, root.size() + 1, root + "/"), 0) << path;
      std::string relative = path.substr(root.size() + 1);
      bool isDirectory = !relative.empty() && relative.back() == '/';
      if (isDirectory) relative.pop_back();
      EXPECT_EQ(reported.depths[i], std::count(relative.begin(), relative.end(), '/')) << path;
      // A directory's path ends with '/', a file's does not.
      EXPECT_EQ(isDirectory, fs::is_directory(path)) << path;
      got.push_back(relative);
    }
    // Order: a directory before everything below it (1) or after it (2).
    for (size_t i = 0; i < got.size(); i++)
      for (size_t j = 0; j < got.size(); j++)
        if (got[j].compare(0, got[i].size() + 1, got[i] + "/") == 0) {
          EXPECT_EQ(row.order == 1 ? i < j : i > j, true) << got[i] << " and " << got[j];
        }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
  }
}

TEST(DirectoryList, WalkEndsOnStopMissingRootAndLongPaths) {
  FsFaultTempDir dir;
  buildWalkTree(dir / "tree", dir / "outside", 1);
  DirectoryList *list = nullptr;
  DirectoryList_Create(&list);
  Reported reported;
  reported.stopAfter = 2;
  DirectoryList_SetCallback(list, recordEntry, &reported);
  EXPECT_EQ(DirectoryList_Walk(list, (dir / "tree").c_str(), nullptr), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorCancelled);
  EXPECT_EQ(reported.paths.size(), 3u);

  reported = Reported();
  EXPECT_EQ(DirectoryList_Walk(list, (dir / "missing").c_str(), nullptr), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorFileNotFound);
  EXPECT_TRUE(reported.paths.empty());

  // A chain of directories past 4096 bytes: the walk stops where a path
  // would no longer fit, and never reports a cut one.
  reported = Reported();
  EXPECT_EQ(DirectoryList_Walk(list, Test_VectorPath("dirtree_deep").c_str(), nullptr), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorNameTooLong);
  EXPECT_FALSE(reported.paths.empty());
  for (const std::string &path : reported.paths) EXPECT_LT(path.size(), size_t(kPathMax));
  DirectoryList_Release(&list);
  EXPECT_EQ(list, nullptr);
}

TEST(DirectoryList, OneLevelListingsLogAndOwnFindCallbacks) {
  FsFaultTempDir dir;
  fs::create_directories(dir / "d/sub");
  fs::create_directories(dir / "empty");
  Dirops_WriteFile(dir / "d/one.txt", "1");
  Dirops_WriteFile(dir / "d/two.dat", "22");
  DirectoryList list;
  DirectoryList_Init(&list);
  std::vector<std::string> names;
  for (int ok = DirectoryList_FindFirst(&list, 0, (dir / "d").c_str()); ok;
       ok = DirectoryList_FindNext(&list))
    names.push_back(std::string(DirectoryList_GetName(&list)) +
                    (DirectoryList_IsDirectory(&list) ? "/" : "") +
                    (DirectoryList_IsDotEntry(&list) ? " dot" : "") + " " +
                    std::to_string(DirectoryList_GetSize(&list)));
  DirectoryList_FindClose(&list);
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 5u);
  EXPECT_EQ(names[0].substr(0, 7), "../ dot");
  EXPECT_EQ(names[1].substr(0, 6), "./ dot");
  EXPECT_EQ(names[2], "one.txt 1");
  EXPECT_EQ(names[3].substr(0, 4), "sub/");
  EXPECT_EQ(names[4], "two.dat 2");
  EXPECT_EQ(DirectoryList_FindFirst(&list, 1, (dir / "d/*.dat").c_str()), 1);
  EXPECT_STREQ(DirectoryList_GetName(&list), "two.dat");
  EXPECT_EQ(DirectoryList_FindNext(&list), 0);
  DirectoryList_FindClose(&list);

  EXPECT_EQ(Directory_IsEmpty((dir / "empty").c_str()), 1);
  EXPECT_EQ(Directory_IsEmpty((dir / "d").c_str()), 0);
  EXPECT_EQ(Directory_IsEmpty((dir / "missing").c_str()), 0);

  // Replaced listing primitives are the ones the walk uses.
  static std::atomic<int> firsts{0};
  firsts = 0;
  DirectoryList_SetFindCallbacks(
      &list,
      [](const char *pattern, DirectoryEntry *entry, PlatformFind **find) {
        firsts++;
        return Platform_FindFirst(pattern, entry, find);
      },
      nullptr, nullptr);
  DirectoryList_SetLogFlag(&list, 1);
  TestLogCapture capture;
  EXPECT_EQ(DirectoryList_Walk(&list, (dir / "d").c_str(), nullptr), 1);
  std::string lines = capture.Take();
  EXPECT_EQ(firsts, 2);  // one listing of each of two levels
  EXPECT_EQ(Dirops_CountOf(lines, "Root - " + (dir / "d/")), 1) << lines;
  EXPECT_EQ(Dirops_CountOf(lines, "Directory - " + (dir / "d/sub/")), 1) << lines;
  EXPECT_EQ(Dirops_CountOf(lines, "File - " + (dir / "d/one.txt")), 1) << lines;
  EXPECT_EQ(Dirops_CountOf(lines, "DirectoryList."), 4) << lines;
}

// ---- Delete ---------------------------------------------------------------------------------

// Links inside the tree go; what they point at, outside, keeps its contents,
// modes and times.
TEST(Directory, DeleteRemovesLinksNeverTheirTargets) {
  FsFaultTempDir dir;
  std::string tree = dir / "tree", outside = dir / "outside";
  buildWalkTree(tree, outside, 7);
  chmod((outside + "/inside").c_str(), 0555);
  chmod((outside + "/inside/secret.txt").c_str(), 0444);
  std::string before = statTree(outside);
  int error = -1;
  EXPECT_EQ(Directory_Delete(tree.c_str(), 1, &error), 1);
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(Dirops_Exists(tree));
  EXPECT_EQ(statTree(outside), before);
  EXPECT_EQ(Dirops_ReadFile(outside + "/inside/secret.txt"), "secret");
  // A missing tree is already deleted; a link in its place goes as a link.
  EXPECT_EQ(Directory_Delete(tree.c_str(), 1, &error), 1);
  fs::create_symlink(outside, dir / "link");
  EXPECT_EQ(Directory_Delete((dir / "link/").c_str(), 1, &error), 1);
  EXPECT_FALSE(Dirops_Exists(dir / "link"));
  EXPECT_EQ(statTree(outside), before);
}

// The elevated worker deletes in places users can write: a user who swaps a
// directory for a link while the deletion runs must not steer it outside.
TEST(DirectoryThreaded, LinkSwappedInDuringDeleteNeverReachesOutside) {
  FsFaultTempDir dir;
  std::string outside = dir / "outside", sentinel = outside + "/sentinel";
  fs::create_directories(outside);
  Dirops_WriteFile(sentinel, "alive");
  constexpr int kRounds = 200;
  for (int round = 0; round < kRounds; round++) {
    std::string tree = dir / ("tree" + std::to_string(round));
    std::string sub = tree + "/sub", swap = tree + "/swap";
    fs::create_directories(sub + "/inner");
    for (int i = 0; i < 16; i++) Dirops_WriteFile(sub + "/f" + std::to_string(i), "x");
    fs::create_symlink(outside, swap);
    std::atomic<bool> done{false};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
      // "sub" and "swap" trade places: a directory one moment, a link the next.
      while (!done.load() &&
             renameat2(AT_FDCWD, sub.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE) == 0)
        swaps++;
      swaps = 1 << 20;  // the deletion took one of them away
    });
    while (swaps.load() < 16) std::this_thread::yield();  // the race is on before the walk
    int error = -1;
    Directory_Delete(tree.c_str(), 1, &error);
    done = true;
    swapper.join();
    ASSERT_EQ(Dirops_ReadFile(sentinel), "alive") << "round " << round;
    std::error_code ignored;
    fs::remove_all(tree, ignored);  // a round that lost the race leaves some
  }
  EXPECT_EQ(FsFault_Command("ls -A " + Dirops_Quote(outside)), "sentinel");
}

TEST(DirectoryFault, DeleteOnAReadOnlyDiskKeepsTheTree) {
  FsFaultTempDir dir;
  std::string mount = dir / "ro";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(mount, "size=4M")) return;
    buildWalkTree(mount + "/tree", mount + "/outside", 3);
    std::string before = statTree(mount + "/tree");
    if (!child.RemountReadOnly(mount)) return;
    int error = -1;
    FSF_EXPECT_EQ(child, Directory_Delete((mount + "/tree").c_str(), 1, &error), 0);
    FSF_EXPECT_EQ(child, error, 19);
    FSF_EXPECT_EQ(child, statTree(mount + "/tree"), before);
  });
}

// User 65534 deletes its own tree although a directory in it is 0555 and
// its files 0444: the directory lends itself the write bit.
TEST(DirectoryFault, UnprivilegedDeleteOfReadOnlyDirectories) {
  FsFaultTempDir dir;
  std::string own = dir / "own";
  ASSERT_TRUE(Dirops_MakeNobodysDirectory(own));
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    std::string tree = own + "/tree", locked = tree + "/a/locked";
    fs::create_directories(locked + "/deeper");
    for (int i = 0; i < 5; i++) {
      std::string file = locked + "/f" + std::to_string(i);
      Dirops_WriteFile(file, "x");
      chmod(file.c_str(), 0444);
    }
    chmod((locked + "/deeper").c_str(), 0555);
    chmod(locked.c_str(), 0555);
    int error = -1;
    FSF_EXPECT_EQ(child, Directory_Delete(tree.c_str(), 1, &error), 1);
    FSF_EXPECT_EQ(child, error, 0);
    FSF_EXPECT(child, !Dirops_Exists(tree));
  });
}

TEST(Directory, DeleteRefusesHomeAndRoot) {
  FsFaultTempDir dir;
  std::string home = dir / "home", mount = dir / "root";
  fs::create_directories(home + "/documents");
  FSFAULT_RUN([&](FsFaultChild &child) {
    setenv("HOME", home.c_str(), 1);
    int error = -1;
    for (std::string path : {home, home + "/", std::string("~"), home + "/documents/.."}) {
      TestLogCapture capture;
      if (Directory_Delete(path.c_str(), 1, &error) != 0 || error != 5)
        child.Fail(__FILE__, __LINE__, "deleting " + path + " was not refused");
      FSF_EXPECT_EQ(child, Dirops_CountOf(capture.Take(), "Refusing to delete protected path"), 1);
    }
    FSF_EXPECT(child, Dirops_Exists(home + "/documents"));
    // "/" only inside a private tmpfs made the child's root.
    if (!child.MountTmpfs(mount, "size=1M")) return;
    fs::create_directories(mount + "/etc");
    if (chroot(mount.c_str()) != 0 || chdir("/") != 0) {
      child.Skip("chroot refused");
      return;
    }
    for (const char *path : {"/", "//", "/etc/..", "C:/"}) {
      if (Directory_Delete(path, 1, &error) != 0 || error != 5)
        child.Fail(__FILE__, __LINE__, std::string("deleting ") + path + " was not refused");
    }
    FSF_EXPECT(child, Dirops_Exists("/etc"));
  });
}

TEST(Directory, DeleteOfATreePastTheLongestPathTouchesNothing) {
  std::string deep = Test_VectorPath("dirtree_deep");
  std::string outside = Test_VectorPath("dirtree_outside");
  std::vector<std::string> fields = Test_SplitTabs(Test_ReadVectors("dirtree_deep.txt"));
  ASSERT_GE(fields.size(), 1u);
  int levels = std::stoi(fields[0]);
  std::string count = "find " + Dirops_Quote(deep) + " | wc -l";
  ASSERT_EQ(FsFault_Command(count), std::to_string(levels + 2));  // root, levels, the file
  int error = -1;
  EXPECT_EQ(Directory_Delete(deep.c_str(), 1, &error), 0);
  EXPECT_EQ(error, kPlatformErrorNameTooLong);
  EXPECT_EQ(FsFault_Command(count), std::to_string(levels + 2));
  EXPECT_EQ(Dirops_ReadFile(outside + "/sentinel"), "sentinel\n");
}

// ---- Copy -----------------------------------------------------------------------------------------

// The same fixture copied by Directory_Copy and by cp -a, as user 65534 (so a
// 0555 directory really refuses entries): the trees hold the same data, and
// every file and directory the same mode and modified time.
TEST(DirectoryFault, CopyMatchesCpArchive) {
  FsFaultTempDir dir;
  std::string own = dir / "own";
  ASSERT_TRUE(Dirops_MakeNobodysDirectory(own));
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    std::string source = own + "/source", outside = own + "/outside";
    fs::create_directories(source + "/a/b/c");
    fs::create_directories(source + "/empty");
    fs::create_directories(source + "/locked/inner");
    fs::create_directories(outside);
    Dirops_WriteFile(outside + "/target.txt", "outside");
    Dirops_WriteFile(source + "/a/one.txt", "one");
    Dirops_WriteFile(source + "/a/b/c/deep.bin", std::string(100000, 'd'));
    Dirops_WriteFile(source + "/secret", "private");
    Dirops_WriteFile(source + "/locked/inner/ro.txt", "ro");
    Dirops_WriteFile(source + "/locked/file", "locked");
    chmod((source + "/secret").c_str(), 0600);
    fs::create_symlink("a/one.txt", source + "/relative-link");
    fs::create_symlink(outside + "/target.txt", source + "/a/absolute-link");
    fs::create_symlink("../../../empty", source + "/a/b/c/dir-link");
    // Times far from now, on files and directories, deepest first.
    int64_t stamp = 1500000000;
    for (const char *path : {"/a/one.txt", "/a/b/c/deep.bin", "/secret", "/locked/inner/ro.txt",
                             "/locked/file", "/a/b/c", "/a/b", "/a", "/empty", "/locked/inner",
                             "/locked", ""}) {
      struct timespec times[2] = {{stamp, 0}, {stamp, 123456789}};
      utimensat(AT_FDCWD, (source + path).c_str(), times, 0);
      stamp += 1000;
    }
    chmod((source + "/locked/inner").c_str(), 0555);
    chmod((source + "/locked").c_str(), 0555);
    std::string ours = own + "/ours", theirs = own + "/theirs";
    FSF_EXPECT_EQ(child, Directory_Copy(source.c_str(), ours.c_str(), 0), 1);
    FSF_EXPECT_EQ(child, system(("cp -a " + Dirops_Quote(source) + " " + Dirops_Quote(theirs)).c_str()),
                  0);
    FSF_EXPECT_EQ(child,
                  FsFault_Command("diff -r " + Dirops_Quote(ours) + " " + Dirops_Quote(theirs) +
                                  " 2>&1; echo $?"),
                  "0");
    FSF_EXPECT_EQ(child, statTree(ours), statTree(theirs));
    FSF_EXPECT_EQ(child, statTree(source), statTree(theirs));
    // A link into the tree keeps its text, as cp -a keeps it; one out of it
    // points at its resolved target.
    FSF_EXPECT_EQ(child, fs::read_symlink(ours + "/relative-link").string(), "a/one.txt");
    FSF_EXPECT_EQ(child, fs::read_symlink(ours + "/a/absolute-link").string(),
                  outside + "/target.txt");
    FSF_EXPECT(child, fs::is_symlink(ours + "/a/b/c/dir-link"));
  });
}

TEST(Directory, CopyIntoItselfIsRefused) {
  FsFaultTempDir dir;
  std::string source = dir / "source";
  fs::create_directories(source + "/sub");
  Dirops_WriteFile(source + "/file", "x");
  fs::create_symlink(source, dir / "alias");
  struct Row {
    const char *name;
    std::string destination;
  } rows[] = {
      {"itself", source},
      {"a subdirectory", source + "/sub/copy"},
      {"a new directory below a subdirectory", source + "/sub/new/deeper"},
      {"itself through a link", dir / "alias/sub/copy"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Directory_Copy(source.c_str(), row.destination.c_str(), 0), 0);
    EXPECT_EQ(Platform_GetLastError(), kPlatformErrorInvalidParameter);
  }
  // Relative to the working directory: "." is an ancestor too.
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (chdir(source.c_str()) != 0) return child.Fail(__FILE__, __LINE__, "chdir");
    FSF_EXPECT_EQ(child, Directory_Copy(".", "sub/relative", 0), 0);
    FSF_EXPECT_EQ(child, Platform_GetLastError(), kPlatformErrorInvalidParameter);
  });
  EXPECT_EQ(FsFault_Command("cd " + Dirops_Quote(source) + " && find . | sort"), ".\n./file\n./sub");
  // Beside it is fine; a link into the source is recreated, not walked.
  fs::create_symlink(source + "/sub", source + "/sub-link");
  EXPECT_EQ(Directory_Copy(source.c_str(), (dir / "copy").c_str(), 0), 1);
  EXPECT_EQ(Dirops_ReadFile(dir / "copy/file"), "x");
  EXPECT_TRUE(fs::is_symlink(dir / "copy/sub-link"));
}

// User 65534 owns the destination and has put links where the copy will
// want a directory and a file: root's copy refuses the directory link (5)
// and leaves what the links point at exactly as it was.
TEST(DirectoryFault, CopyNeverWritesThroughLinksInTheDestination) {
  if (geteuid() != 0) GTEST_SKIP() << "a second user's links need root";
  FsFaultTempDir dir;
  std::string source = dir / "source", outside = dir / "outside", own = dir / "own";
  fs::create_directories(source + "/sub");
  Dirops_WriteFile(source + "/sub/x", "x");
  Dirops_WriteFile(source + "/file", "file");
  chmod((source + "/sub").c_str(), 0777);
  fs::create_directories(outside);
  chmod(outside.c_str(), 0700);
  Dirops_WriteFile(outside + "/sentinel", "sentinel");
  ASSERT_TRUE(Dirops_MakeNobodysDirectory(own));
  std::string destination = own + "/copy";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    fs::create_directories(destination);
    fs::create_symlink(outside, destination + "/sub");
    fs::create_symlink(outside + "/sentinel", destination + "/file");
  });
  std::string before = statTree(outside);
  EXPECT_EQ(Directory_Copy(source.c_str(), destination.c_str(), kDirectoryCopyOverwrite), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
  EXPECT_EQ(statTree(outside), before);
  EXPECT_EQ(Dirops_ReadFile(outside + "/sentinel"), "sentinel");
  EXPECT_TRUE(fs::is_symlink(destination + "/sub"));
}

// A directory of the source that user 65534 keeps swapping with a link to a
// root-only directory (renameat2 RENAME_EXCHANGE): neither root's walk nor
// its copy ever reaches into that directory.
TEST(DirectoryFault, WalkAndCopyNeverEnterADirectorySwappedForALink) {
  if (geteuid() != 0) GTEST_SKIP() << "racing a second user needs root";
  FsFaultTempDir dir;
  std::string secret = dir / "secret", own = dir / "own", source = own + "/source";
  fs::create_directories(secret);
  Dirops_WriteFile(secret + "/x", "secret");
  Dirops_WriteFile(secret + "/only-in-secret", "secret");
  chmod(secret.c_str(), 0700);
  ASSERT_TRUE(Dirops_MakeNobodysDirectory(own));
  std::string sub = source + "/sub", swap = source + "/swap";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    fs::create_directories(sub);
    Dirops_WriteFile(sub + "/x", "public");
    fs::create_symlink(secret, swap);
  });
  pid_t racer = Dirops_StartNobodyRacer(
      [&] { renameat2(AT_FDCWD, sub.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE); });
  ASSERT_GT(racer, 0);
  constexpr int kRounds = 200;
  int walksIn = 0, copiesIn = 0;
  for (int round = 0; round < kRounds && walksIn + copiesIn == 0; round++) {
    Reported reported;
    DirectoryList list;
    DirectoryList_Init(&list);
    DirectoryList_SetCallback(&list, recordEntry, &reported);
    DirectoryList_Walk(&list, source.c_str(), nullptr);
    for (const std::string &path : reported.paths)
      if (path.find("only-in-secret") != std::string::npos) walksIn++;
    std::string copy = dir / ("copy" + std::to_string(round));
    Directory_Copy(source.c_str(), copy.c_str(), 0);
    if (!FsFault_Command("grep -rl secret " + Dirops_Quote(copy) + " 2>/dev/null").empty())
      copiesIn++;
    std::error_code ignored;
    fs::remove_all(copy, ignored);
  }
  Dirops_StopRacer(racer);
  EXPECT_EQ(walksIn, 0) << "the walk listed the linked directory";
  EXPECT_EQ(copiesIn, 0) << "the copy read from the linked directory";
}

// Links whose targets lie inside the source tree keep pointing inside the
// copy (relative text as it was, absolute ones re-rooted), so the copy
// stands alone once the source is gone; a target outside stays the resolved
// outside path.
TEST(Directory, CopyKeepsLinksIntoTheTreeInsideTheCopy) {
  FsFaultTempDir dir;
  std::string source = dir / "source", copy = dir / "copy", outside = dir / "outside";
  fs::create_directories(source + "/lib/sub");
  fs::create_directories(outside);
  Dirops_WriteFile(source + "/lib/libfoo.so.1", "lib");
  Dirops_WriteFile(outside + "/target", "outside");
  fs::create_symlink(outside + "/target", dir / "outside-link");
  struct Row {
    const char *link;
    std::string text;
    std::string expected;  // the copy's link text
  } rows[] = {
      {"lib/libfoo.so", "libfoo.so.1", "libfoo.so.1"},
      {"lib/sub/up", "../libfoo.so.1", "../libfoo.so.1"},
      {"lib/sub/dir", "..", ".."},
      {"absolute", source + "/lib/libfoo.so.1", copy + "/lib/libfoo.so.1"},
      {"lib/outside", outside + "/target", outside + "/target"},
      {"lib/outside-relative", "../../outside/target", outside + "/target"},
      {"lib/through", "../../outside-link", outside + "/target"},
  };
  for (const Row &row : rows) fs::create_symlink(row.text, source + "/" + row.link);
  ASSERT_EQ(Directory_Copy(source.c_str(), copy.c_str(), 0), 1);
  fs::remove_all(source);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.link);
    EXPECT_EQ(fs::read_symlink(copy + "/" + row.link).string(), row.expected);
  }
  EXPECT_EQ(Dirops_ReadFile(copy + "/lib/libfoo.so"), "lib");
  EXPECT_EQ(Dirops_ReadFile(copy + "/absolute"), "lib");
}

// ---- Move ------------------------------------------------------------------------------------------

TEST(DirectoryFault, MoveDirectoryAcrossFileSystemsChangesNothing) {
  FsFaultTempDir dir;
  std::string mount = dir / "tmpfs", destination = dir / "moved", before = dir / "before";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(mount, "size=4M")) return;
    std::string source = mount + "/tree";
    buildWalkTree(source, mount + "/outside", 5);
    FSF_EXPECT_EQ(child, system(("cp -a " + Dirops_Quote(source) + " " + Dirops_Quote(before)).c_str()),
                  0);
    TestLogCapture capture;
    FSF_EXPECT_EQ(child, MoveDirectory(source.c_str(), destination.c_str()), 0);
    FSF_EXPECT_EQ(child, Platform_GetLastError(), kPlatformErrorNotSameDevice);
    FSF_EXPECT_EQ(child, Dirops_CountOf(capture.Take(), "MoveDirectory(" + source + ", " +
                                                            destination + ") failed [LE: 17]"),
                  1);
    FSF_EXPECT_EQ(child,
                  FsFault_Command("diff -r --no-dereference " + Dirops_Quote(source) + " " +
                                  Dirops_Quote(before) + " 2>&1; echo $?"),
                  "0");
    FSF_EXPECT(child, !Dirops_Exists(destination));
  });
}

TEST(Directory, MoveDirectoryRenamesAndKeepsAnExistingDestination) {
  FsFaultTempDir dir;
  fs::create_directories(dir / "a/inner");
  fs::create_directories(dir / "taken");
  Dirops_WriteFile(dir / "a/inner/file", "x");
  EXPECT_EQ(MoveDirectory((dir / "a").c_str(), (dir / "taken").c_str()), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAlreadyExists);
  EXPECT_EQ(MoveDirectory((dir / "a").c_str(), (dir / "b").c_str()), 1);
  EXPECT_EQ(Dirops_ReadFile(dir / "b/inner/file"), "x");
  EXPECT_FALSE(Dirops_Exists(dir / "a"));
}
