// File-system primitives against the kernel and the coreutils: real failures
// (a private tmpfs that is full or read-only, user 65534, a running program,
// a second file system) give their codes and kinds; copies and moves are
// checked with cmp and stat; disk space with df; listings with ls and stat.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/fileops.h"
#include "core/platform/platform.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string randomData(size_t size) {
  std::string data(size, '\0');
  Platform_RandomBytes(data.data(), size);
  return data;
}

std::string shellQuote(const std::string &path) { return "'" + path + "'"; }

std::string statOf(const std::string &format, const std::string &path) {
  return FsFault_Command("stat -c " + format + " " + shellQuote(path));
}

bool same(const std::string &a, const std::string &b) {
  return system(("cmp -s " + shellQuote(a) + " " + shellQuote(b)).c_str()) == 0;
}

// The code and kind of the last failure, as one comparable text.
std::string lastError() {
  int code = Platform_GetLastError();
  return std::to_string(code) + " " + Platform_ErrorName(code);
}

int64_t toSeconds(const PlatformTime &t) {
  struct tm fields = {};
  fields.tm_sec = t.second;
  fields.tm_min = t.minute;
  fields.tm_hour = t.hour;
  fields.tm_mday = t.day;
  fields.tm_mon = t.month;
  fields.tm_year = t.year;
  return timegm(&fields);
}

// Names left in a directory, for "nothing else was left behind".
std::vector<std::string> namesIn(const std::string &directory) {
  std::vector<std::string> names;
  for (const auto &item : fs::directory_iterator(directory))
    names.push_back(item.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// ---- Real failures ------------------------------------------------------------------

TEST(PlatformFiles, FailuresGiveTheirCodesAndKinds) {
  FsFaultTempDir dir;
  writeFile(dir / "file", "x");
  fs::create_directories(dir / "full/sub");
  struct Row {
    const char *what;
    std::function<int()> call;
    const char *expected;
  } rows[] = {
      {"missing file", [&] { return Platform_OpenFile((dir / "none").c_str(), O_RDONLY, 0); },
       "2 Missing"},
      {"file as directory",
       [&] { return Platform_OpenFile((dir / "file/x").c_str(), O_RDONLY, 0); }, "3 Missing"},
      {"network share", [] { return Platform_OpenFile("\\\\server\\share\\x", O_RDONLY, 0); },
       "3 Missing"},
      {"exclusive create",
       [&] { return Platform_OpenFile((dir / "file").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0); },
       "80 AccessInvalid"},
      {"existing directory", [&] { return Platform_CreateDirectory((dir / "full").c_str()) - 1; },
       "183 AccessInvalid"},
      {"directory not empty", [&] { return Platform_RemoveDirectory((dir / "full").c_str()) - 1; },
       "145 Unknown"},
      {"directory opened for writing",
       [&] { return Platform_OpenFile((dir / "full").c_str(), O_WRONLY, 0); }, "5 AccessDenied"},
      {"path longer than kPathMax",
       [&] { return Platform_OpenFile((dir / std::string(5000, 'a')).c_str(), O_RDONLY, 0); },
       "206 Unknown"},
      {"component longer than NAME_MAX",
       [&] { return Platform_OpenFile((dir / std::string(300, 'a')).c_str(), O_RDONLY, 0); },
       "206 Unknown"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Platform_SetLastError(0);
    EXPECT_EQ(row.call(), -1);
    EXPECT_EQ(lastError(), row.expected);
  }
  // '\\' reads as a separator.
  int fd = Platform_OpenFile((dir.path() + "\\file").c_str(), O_RDONLY, 0);
  EXPECT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  close(fd);
}

// A FIFO, socket or device where a file is expected is refused at once,
// by both opens, for every access: a FIFO opened to read used to wait for a
// writer for good. A regular file keeps blocking I/O. Run in a child so that
// an open that waits is killed, not the suite.
TEST(PlatformFiles, OnlyRegularFilesOpenAndNothingWaits) {
  FsFaultTempDir dir;
  writeFile(dir / "file", "x");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir / "dir");
  fs::create_symlink("file", dir / "link");
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::string sockPath = dir / "sock";
  ASSERT_LT(sockPath.size(), sizeof address.sun_path);
  memcpy(address.sun_path, sockPath.c_str(), sockPath.size() + 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  struct Row {
    const char *directory;  // NULL: the test's directory
    const char *name;
    int flags;
    const char *byPath;  // Platform_OpenFile; "" opens
    const char *inDirectory;  // Platform_OpenFileAt
  } rows[] = {
      {nullptr, "file", O_RDONLY, "", ""},
      {nullptr, "file", O_RDWR | O_CREAT, "", ""},
      {nullptr, "fifo", O_RDONLY, "5 AccessDenied", "5 AccessDenied"},
      {nullptr, "fifo", O_WRONLY, "5 AccessDenied", "5 AccessDenied"},
      {nullptr, "fifo", O_RDWR | O_CREAT, "5 AccessDenied", "5 AccessDenied"},
      {nullptr, "sock", O_RDONLY, "5 AccessDenied", "5 AccessDenied"},
      {nullptr, "dir", O_RDONLY, "5 AccessDenied", "5 AccessDenied"},
      {nullptr, "dir", O_RDONLY | O_DIRECTORY, "", ""},
      {nullptr, "link", O_RDONLY, "", "1921 Unknown"},
      {"/dev", "null", O_WRONLY, "5 AccessDenied", "5 AccessDenied"},
  };
  FSFAULT_RUN(
      [&](FsFaultChild &child) {
        for (const Row &row : rows) {
          std::string where = row.directory ? row.directory : dir.path();
          std::string path = where + "/" + row.name;
          PlatformDirectory *directory = nullptr;
          FSF_EXPECT(child, Platform_OpenDirectoryAt(nullptr, where.c_str(), &directory) == 1);
          for (int at = 0; at < 2; at++) {
            Platform_SetLastError(0);
            int fd = at ? Platform_OpenFileAt(directory, row.name, row.flags, 0x60)
                        : Platform_OpenFile(path.c_str(), row.flags, 0x60);
            // The row in the text, so that a failure names it.
            std::string label = path + (at ? " at" : " by path") + " flags " +
                               std::to_string(row.flags) + ": ";
            std::string got = label + (fd >= 0 ? "" : lastError());
            FSF_EXPECT_EQ(child, got, label + (at ? row.inDirectory : row.byPath));
            if (fd >= 0) {
              FSF_EXPECT_EQ(child, fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
              Platform_CloseFile(fd);
            }
          }
          Platform_CloseDirectory(&directory);
        }
      },
      30);
  close(sock);
}

TEST(PlatformFiles, FailingCallLogsOneDebugLineWithTheErrnoName) {
  TestLogCapture capture;
  EXPECT_EQ(Platform_DeleteFile("/keelson-no-such-dir/x"), 0);
  std::string lines = capture.Take();
  EXPECT_EQ(Platform_GetLastErrno(), ENOENT);
  EXPECT_NE(lines.find("DEBUG - unlink [/keelson-no-such-dir/x] failed: ENOENT (errno 2) -> 2\n"),
            std::string::npos)
      << lines;
}

TEST(PlatformFiles, AccessDeniedForTheUnprivilegedUser) {
  FsFaultTempDir dir;
  fs::create_directory(dir / "private");
  writeFile(dir / "private/secret", "s");
  chmod((dir / "private").c_str(), 0700);
  writeFile(dir / "readonly", "r");
  chmod((dir / "readonly").c_str(), 0444);
  if (geteuid() == 0) {  // root may write whatever the bits say
    EXPECT_EQ(Platform_CheckFileAccess((dir / "readonly").c_str(), 2, 0), 1);
    EXPECT_EQ(Platform_CheckFileAccess((dir / "new/deeper/file").c_str(), 2, 1), 1);
  }
  EXPECT_EQ(Platform_CheckFileAccess((dir / "new/deeper/file").c_str(), 2, 0), 0);
  EXPECT_EQ(lastError(), "2 Missing");
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    FSF_EXPECT_EQ(child, Platform_OpenFile((dir / "private/secret").c_str(), O_RDONLY, 0), -1);
    FSF_EXPECT_EQ(child, lastError(), "5 AccessDenied");
    FSF_EXPECT_EQ(child, Platform_CheckFileAccess((dir / "readonly").c_str(), 1, 0), 1);
    FSF_EXPECT_EQ(child, Platform_CheckFileAccess((dir / "readonly").c_str(), 2, 0), 0);
    FSF_EXPECT_EQ(child, Platform_CheckFileAccess((dir / "readonly").c_str(), 3, 0), 0);
    FSF_EXPECT_EQ(child, lastError(), "5 AccessDenied");
    // The nearest existing parent is root's 0755 directory: not writable.
    FSF_EXPECT_EQ(child, Platform_CheckFileAccess((dir / "new/deeper/file").c_str(), 2, 1), 0);
    FSF_EXPECT_EQ(child, Platform_CheckFileAccess((dir / "new/deeper/file").c_str(), 1, 1), 1);
  });
}

TEST(PlatformFiles, ReadOnlyAndFullFileSystems) {
  FsFaultTempDir dir;
  writeFile(dir / "big", randomData(3 << 20));
  FSFAULT_RUN([&](FsFaultChild &child) {
    std::string ro = dir / "ro";
    if (!child.MountTmpfs(ro, "size=1M")) return;
    writeFile(ro + "/kept", "kept");
    if (!child.RemountReadOnly(ro)) return;
    FSF_EXPECT_EQ(child, Platform_OpenFile((ro + "/new").c_str(), O_WRONLY | O_CREAT, 0), -1);
    FSF_EXPECT_EQ(child, lastError(), "19 AccessDenied");
    FSF_EXPECT_EQ(child, Platform_DeleteFile((ro + "/kept").c_str()), 0);
    FSF_EXPECT_EQ(child, lastError(), "19 AccessDenied");

    // A copy that runs out of space half-way leaves nothing behind.
    std::string full = dir / "full";
    if (!child.MountTmpfs(full, "size=1M")) return;
    int64_t seen = 0;
    auto progress = [](void *data, const char *, const char *, int64_t done, int64_t) {
      *static_cast<int64_t *>(data) = done;
      return 1;
    };
    FSF_EXPECT_EQ(
        child,
        Platform_CopyFile((dir / "big").c_str(), (full + "/big").c_str(), 0, &seen, progress), 0);
    FSF_EXPECT_EQ(child, lastError(), "112 NotEnoughSpace");
    FSF_EXPECT(child, seen > 0);
    FSF_EXPECT(child, !fs::exists(full + "/big"));
  });
}

TEST(PlatformFiles, TooManyOpenFiles) {
  FsFaultTempDir dir;
  writeFile(dir / "file", "x");
  FSFAULT_RUN([&](FsFaultChild &child) {
    struct rlimit limit = {16, 16};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return child.Skip("setrlimit refused");
    int fd = 0;
    for (int i = 0; i < 32 && fd >= 0; i++)
      fd = Platform_OpenFile((dir / "file").c_str(), O_RDONLY, kPlatformShareRead);
    FSF_EXPECT_EQ(child, fd, -1);
    FSF_EXPECT_EQ(child, lastError(), "4 AccessInvalid");
  });
}

TEST(PlatformFiles, WritingARunningProgramIsLocked) {
  FsFaultTempDir dir;
  std::string program = dir / "sleep";
  ASSERT_EQ(Platform_CopyFile("/bin/sleep", program.c_str(), 1, nullptr, nullptr), 1);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(program.c_str(), "sleep", "30", static_cast<char *>(nullptr));
    _exit(127);
  }
  // Running once /proc shows the copy as its program.
  std::string exe = "/proc/" + std::to_string(child) + "/exe";
  std::error_code error;
  for (int i = 0; i < 10000 && fs::read_symlink(exe, error).string() != program; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  int fd = Platform_OpenFile(program.c_str(), O_WRONLY, 0);
  std::string failure = lastError();
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  if (fd >= 0) {
    close(fd);
    GTEST_SKIP() << "this kernel lets a running program be opened for writing";
  }
  EXPECT_EQ(failure, "32 Locked");
}

// ---- Copy -------------------------------------------------------------------------------

struct ProgressLog {
  std::vector<int64_t> done;
  int64_t total = 0;
  int answer = 1;
};

int logProgress(void *data, const char *, const char *, int64_t done, int64_t total) {
  auto *log = static_cast<ProgressLog *>(data);
  log->done.push_back(done);
  log->total = total;
  return log->answer;
}

TEST(PlatformFiles, CopyKeepsDataModeAndTimeInChunks) {
  FsFaultTempDir dir;
  std::string source = dir / "source", destination = dir / "copy";
  writeFile(source, randomData(64 << 20));
  chmod(source.c_str(), 0640);
  PlatformTime when = {6, 5, 4, 3, 1, 101, 0};  // 2001-02-03 04:05:06
  ASSERT_EQ(Platform_SetFileTimes(source.c_str(), -1, 0, nullptr, nullptr, &when), 1);
  ProgressLog log;
  ASSERT_EQ(Platform_CopyFile(source.c_str(), destination.c_str(), 1, &log, logProgress), 1);
  EXPECT_TRUE(same(source, destination));
  EXPECT_EQ(statOf("%a,%Y", destination), statOf("%a,%Y", source));
  EXPECT_EQ(statOf("%a,%Y", destination), "640," + std::to_string(toSeconds(when)));
  ASSERT_FALSE(log.done.empty());
  EXPECT_EQ(log.done.back(), 64 << 20);
  EXPECT_EQ(log.total, 64 << 20);
  for (size_t i = 0; i < log.done.size(); i++) {
    int64_t step = log.done[i] - (i ? log.done[i - 1] : 0);
    EXPECT_GT(step, 0);
    EXPECT_LE(step, 8 << 20);
  }
  // A larger destination is cut to the copy, not left with a tail.
  writeFile(destination, randomData(80 << 20));
  ASSERT_EQ(Platform_CopyFile(source.c_str(), destination.c_str(), 0, nullptr, nullptr), 1);
  EXPECT_TRUE(same(source, destination));
}

TEST(PlatformFiles, CopyRefusalsLeaveEverythingAsItWas) {
  FsFaultTempDir dir;
  std::string source = dir / "source", other = dir / "other", link = dir / "link";
  std::string data = randomData(1 << 20);
  writeFile(source, data);
  writeFile(other, "other");
  fs::create_hard_link(source, link);

  ProgressLog cancel;
  cancel.answer = 0;
  EXPECT_EQ(Platform_CopyFile(source.c_str(), (dir / "cancelled").c_str(), 0, &cancel, logProgress),
            0);
  EXPECT_EQ(lastError(), "1235 Unknown");
  EXPECT_EQ(cancel.done.size(), 1u);
  EXPECT_FALSE(fs::exists(dir / "cancelled"));

  EXPECT_EQ(Platform_CopyFile(source.c_str(), other.c_str(), 1, nullptr, nullptr), 0);
  EXPECT_EQ(lastError(), "80 AccessInvalid");
  EXPECT_EQ(readFile(other), "other");

  for (const std::string &target : {source, link, dir.path() + "/./source"}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(Platform_CopyFile(source.c_str(), target.c_str(), 0, nullptr, nullptr), 0);
    EXPECT_EQ(lastError(), "32 Locked");
    EXPECT_EQ(readFile(source), data);
  }
  EXPECT_EQ(Platform_CopyFile(dir.path().c_str(), (dir / "tree").c_str(), 0, nullptr, nullptr), 0);
  EXPECT_EQ(lastError(), "5 AccessDenied");
  EXPECT_EQ(Platform_CopyFile((dir / "none").c_str(), (dir / "x").c_str(), 0, nullptr, nullptr), 0);
  EXPECT_EQ(lastError(), "2 Missing");
  EXPECT_FALSE(fs::exists(dir / "x"));
}

// ---- Move -------------------------------------------------------------------------------

TEST(PlatformFiles, MoveReplacesOnlyWhenAsked) {
  FsFaultTempDir dir;
  std::string a = dir / "a", b = dir / "b";
  writeFile(a, "first");
  writeFile(b, "second");
  EXPECT_EQ(Platform_MoveFile(-1, a.c_str(), b.c_str(), 0), 0);
  EXPECT_EQ(lastError(), "183 AccessInvalid");
  EXPECT_EQ(readFile(a), "first");
  EXPECT_EQ(readFile(b), "second");
  int fd = Platform_OpenFile(a.c_str(), O_RDONLY, 0);
  EXPECT_EQ(
      Platform_MoveFile(fd, a.c_str(), b.c_str(), kPlatformMoveReplace | kPlatformMoveWriteThrough),
      1);
  EXPECT_FALSE(fs::exists(a));
  EXPECT_EQ(readFile(b), "first");
  char byte;
  EXPECT_EQ(read(fd, &byte, 1), 1);  // the open descriptor follows the file
  close(fd);
  EXPECT_EQ(Platform_MoveFile(-1, a.c_str(), b.c_str(), kPlatformMoveReplace), 0);
  EXPECT_EQ(lastError(), "2 Missing");
}

TEST(PlatformFiles, MoveAcrossFileSystems) {
  FsFaultTempDir dir;
  std::string data = randomData(12 << 20);
  FSFAULT_RUN([&](FsFaultChild &child) {
    std::string other = dir / "tmpfs";
    if (!child.MountTmpfs(other, "size=64M")) return;
    std::string disk = dir / "disk";
    fs::create_directory(disk);
    writeFile(dir / "reference", data);
    auto reset = [&] {
      writeFile(other + "/file", data);
      fs::create_directories(other + "/tree/sub");
      writeFile(other + "/tree/sub/leaf", "leaf");
    };
    reset();
    // Without the copy flag the move stops at the device boundary.
    FSF_EXPECT_EQ(child,
                  Platform_MoveFile(-1, (other + "/file").c_str(), (disk + "/file").c_str(), 0), 0);
    FSF_EXPECT_EQ(child, lastError(), "17 Unknown");
    FSF_EXPECT(child, fs::exists(other + "/file") && !fs::exists(disk + "/file"));

    // With it the file is copied, synced, renamed into place and the source goes.
    ProgressLog log;
    FSF_EXPECT_EQ(child,
                  Platform_MoveFileWithProgress(
                      (other + "/file").c_str(), (disk + "/file").c_str(),
                      kPlatformMoveCopyAllowed | kPlatformMoveWriteThrough, &log, logProgress),
                  1);
    FSF_EXPECT(child, same(disk + "/file", dir / "reference"));
    FSF_EXPECT(child, !fs::exists(other + "/file"));
    FSF_EXPECT(child, !log.done.empty() && log.done.back() == int64_t(data.size()));
    FSF_EXPECT_EQ(child, namesIn(disk), std::vector<std::string>{"file"});

    // An existing destination stays without the replace flag, and stays
    // whole when a replacing copy is cancelled.
    reset();
    writeFile(disk + "/file", "old");
    FSF_EXPECT_EQ(child,
                  Platform_MoveFile(-1, (other + "/file").c_str(), (disk + "/file").c_str(),
                                    kPlatformMoveCopyAllowed),
                  0);
    FSF_EXPECT_EQ(child, lastError(), "183 AccessInvalid");
    ProgressLog cancel;
    cancel.answer = 0;
    FSF_EXPECT_EQ(child,
                  Platform_MoveFileWithProgress((other + "/file").c_str(), (disk + "/file").c_str(),
                                                kPlatformMoveCopyAllowed | kPlatformMoveReplace,
                                                &cancel, logProgress),
                  0);
    FSF_EXPECT_EQ(child, lastError(), "1235 Unknown");
    FSF_EXPECT_EQ(child, readFile(disk + "/file"), "old");
    FSF_EXPECT(child, same(other + "/file", dir / "reference"));
    FSF_EXPECT_EQ(child, namesIn(disk), std::vector<std::string>{"file"});
    FSF_EXPECT_EQ(child,
                  Platform_MoveFile(-1, (other + "/file").c_str(), (disk + "/file").c_str(),
                                    kPlatformMoveCopyAllowed | kPlatformMoveReplace),
                  1);
    FSF_EXPECT(child, same(disk + "/file", dir / "reference"));

    // A directory is never copied.
    FSF_EXPECT_EQ(child,
                  Platform_MoveFile(-1, (other + "/tree").c_str(), (disk + "/tree").c_str(),
                                    kPlatformMoveCopyAllowed | kPlatformMoveReplace),
                  0);
    FSF_EXPECT_EQ(child, lastError(), "17 Unknown");
    FSF_EXPECT_EQ(child, readFile(other + "/tree/sub/leaf"), "leaf");
    FSF_EXPECT(child, !fs::exists(disk + "/tree"));
  });
}

TEST(PlatformFiles, MoveIntoAFullFileSystemKeepsTheDestination) {
  FsFaultTempDir dir;
  writeFile(dir / "big", randomData(3 << 20));
  FSFAULT_RUN([&](FsFaultChild &child) {
    std::string full = dir / "full";
    if (!child.MountTmpfs(full, "size=1M")) return;
    writeFile(full + "/big", "old");
    FSF_EXPECT_EQ(child,
                  Platform_MoveFile(-1, (dir / "big").c_str(), (full + "/big").c_str(),
                                    kPlatformMoveCopyAllowed | kPlatformMoveReplace),
                  0);
    FSF_EXPECT_EQ(child, lastError(), "112 NotEnoughSpace");
    FSF_EXPECT_EQ(child, readFile(full + "/big"), "old");
    FSF_EXPECT_EQ(child, namesIn(full), std::vector<std::string>{"big"});
    FSF_EXPECT(child, fs::file_size(dir / "big") == 3u << 20);
  });
}

// ---- Disk space -----------------------------------------------------------------------

TEST(PlatformFiles, DiskSpaceAgreesWithDf) {
  FsFaultTempDir dir;
  FSFAULT_RUN([&](FsFaultChild &child) {
    std::string mount = dir / "mnt";
    if (!child.MountTmpfs(mount, "size=8M")) return;
    writeFile(mount + "/used", randomData(3 << 20));
    std::string df =
        FsFault_Command("df -B1 --output=avail " + shellQuote(mount) + " | tail -1 | tr -d ' '");
    std::string block = FsFault_Command("stat -f -c %S " + shellQuote(mount));
    for (const std::string &path :
         {mount, mount + "/", mount + "/used", mount + "/missing/deeper/file.bin"}) {
      int64_t freeBytes = -1;
      uint32_t sectors = 0, bytes = 0;
      FSF_EXPECT_EQ(child, Platform_GetDiskSpace(path.c_str(), &freeBytes, &sectors, &bytes), 1);
      FSF_EXPECT_EQ(child, std::to_string(freeBytes), df);
      FSF_EXPECT_EQ(child, bytes, 512u);
      FSF_EXPECT_EQ(child, std::to_string(sectors * bytes), block);
      FSF_EXPECT_EQ(child, Platform_GetDiskFreeSpace(path.c_str(), &freeBytes), 1);
      FSF_EXPECT_EQ(child, std::to_string(freeBytes), df);
    }
  });
  int64_t freeBytes = -1;
  uint32_t sectors = 0, bytes = 0;
  EXPECT_EQ(Platform_GetDiskSpace("keelson-relative-none", &freeBytes, &sectors, &bytes), 0);
  EXPECT_EQ(lastError(), "2 Missing");
  EXPECT_EQ(freeBytes, 0);
  EXPECT_EQ(sectors, 1u);
  EXPECT_EQ(bytes, 1u);
}

TEST(PlatformFilesDeathTest, DiskGeometryAndFindOutputsAreRequired) {
  int64_t freeBytes;
  uint32_t value;
  EXPECT_DEATH(Platform_GetDiskSpace("/", &freeBytes, nullptr, &value), "Pointer is NULL\n");
  EXPECT_DEATH(Platform_GetDiskSpace("/", &freeBytes, &value, nullptr), "Pointer is NULL\n");
  DirectoryEntry entry;
  PlatformFind *find;
  EXPECT_DEATH(Platform_FindFirst("/*", nullptr, &find), "Pointer is NULL\n");
  EXPECT_DEATH(Platform_FindFirst("/*", &entry, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Platform_FindNext(nullptr, &entry), "Pointer is NULL\n");
  EXPECT_DEATH(Platform_OpenFile(nullptr, O_RDONLY, 0), "Pointer is NULL\n");
}

// ---- Listings, status, attributes, times, links -----------------------------------------

struct Tree {
  FsFaultTempDir dir;
  Tree() {
    writeFile(dir / "a.txt", std::string(5000, 'a'));
    writeFile(dir / "b.TXT", "b");
    writeFile(dir / "noext", "");
    writeFile(dir / ".hidden", "h");
    fs::create_directory(dir / "sub");
    fs::create_symlink("sub", dir / "link-dir");
    fs::create_symlink("a.txt", dir / "link-file");
    fs::create_symlink("none", dir / "broken");
  }
};

std::vector<DirectoryEntry> findAll(const std::string &pattern) {
  std::vector<DirectoryEntry> entries;
  DirectoryEntry entry;
  PlatformFind *find = nullptr;
  if (!Platform_FindFirst(pattern.c_str(), &entry, &find)) return entries;
  do entries.push_back(entry);
  while (Platform_FindNext(find, &entry));
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorNoMoreFiles);
  Platform_FindClose(&find);
  EXPECT_EQ(find, nullptr);
  return entries;
}

TEST(PlatformFiles, FindAgreesWithLsAndStat) {
  Tree tree;
  const std::string &root = tree.dir.path();
  std::vector<DirectoryEntry> entries = findAll(root + "/*");
  std::string names;
  for (const DirectoryEntry &entry : entries) names += std::string(entry.name) + "\n";
  EXPECT_EQ(names, FsFault_Command("ls -fa " + shellQuote(root)) + "\n");
  uint32_t cluster = std::stoul(FsFault_Command("stat -f -c %S " + shellQuote(root)));
  for (const DirectoryEntry &entry : entries) {
    std::string path = root + "/" + entry.name;
    SCOPED_TRACE(path);
    std::string type = statOf("%F", path);
    bool link = type == "symbolic link";
    EXPECT_EQ((entry.attributes & kFileAttributeSymlink) != 0, link);
    std::string followed =
        link ? FsFault_Command("stat -L -c %F " + shellQuote(path) + " 2>/dev/null") : type;
    EXPECT_EQ((entry.attributes & kFileAttributeDirectory) != 0, followed == "directory");
    std::string name = entry.name;
    EXPECT_EQ((entry.attributes & kFileAttributeHidden) != 0,
              name[0] == '.' && name != "." && name != "..");
    EXPECT_EQ(entry.attributes & (kFileAttributeSystem | kFileAttributeEncrypted), 0u);
    if (name == "..") continue;  // /tmp itself: other tests change it meanwhile
    EXPECT_EQ(std::to_string(entry.size), statOf("%s", path));
    EXPECT_EQ(std::to_string(toSeconds(entry.lastWriteTime)), statOf("%Y", path));
    std::string birth = statOf("%W", path);
    if (birth != "0") {
      EXPECT_EQ(std::to_string(toSeconds(entry.creationTime)), birth);
    }
    EXPECT_EQ(entry.clusterBytes, cluster);
    EXPECT_EQ(entry.sizeOnDisk % cluster, 0);
    EXPECT_GE(entry.sizeOnDisk, entry.size);
    EXPECT_LT(entry.sizeOnDisk - entry.size, int64_t(cluster));
    EXPECT_STREQ(entry.shortName, "");
  }
}

TEST(PlatformFiles, FindPatterns) {
  Tree tree;
  auto namesOf = [](const std::vector<DirectoryEntry> &entries) {
    std::vector<std::string> names;
    for (const DirectoryEntry &entry : entries) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(namesOf(findAll(tree.dir / "*.txt")), Names{"a.txt"});  // case-sensitive
  EXPECT_EQ(namesOf(findAll(tree.dir / "*.*")).size(), namesOf(findAll(tree.dir / "*")).size());
  EXPECT_EQ(namesOf(findAll(tree.dir / "noext")), Names{"noext"});
  EXPECT_EQ(namesOf(findAll(tree.dir / "link-*")), (Names{"link-dir", "link-file"}));
  DirectoryEntry entry;
  PlatformFind *find = reinterpret_cast<PlatformFind *>(&entry);
  EXPECT_EQ(Platform_FindFirst((tree.dir / "*.doc").c_str(), &entry, &find), 0);
  EXPECT_EQ(lastError(), "2 Missing");
  EXPECT_EQ(find, nullptr);
  EXPECT_EQ(Platform_FindFirst((tree.dir / "none/*").c_str(), &entry, &find), 0);
  EXPECT_EQ(lastError(), "2 Missing");
  EXPECT_EQ(Platform_FindClose(&find), 1);  // NULL: nothing to close
}

TEST(PlatformFiles, AttributesFromModeNameAndLinks) {
  Tree tree;
  struct Row {
    const char *name;
    uint32_t expected;
  } rows[] = {
      {"a.txt", 0},
      {".hidden", kFileAttributeHidden},
      {"sub", kFileAttributeDirectory},
      {"sub/", kFileAttributeDirectory},
      {"link-dir", kFileAttributeSymlink | kFileAttributeDirectory},
      {"link-file", kFileAttributeSymlink},
      {"broken", kFileAttributeSymlink},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    uint32_t attributes = 99;
    EXPECT_EQ(Platform_GetAttributes(-1, (tree.dir / row.name).c_str(), &attributes), 1);
    EXPECT_EQ(attributes, row.expected);
  }
  uint32_t attributes = 99;
  EXPECT_EQ(Platform_GetAttributes(-1, (tree.dir / "none").c_str(), &attributes), 0);
  EXPECT_EQ(attributes, 0u);
  EXPECT_EQ(lastError(), "2 Missing");

  std::string file = tree.dir / "a.txt";
  chmod(file.c_str(), 0664);
  EXPECT_EQ(Platform_SetAttributes(-1, file.c_str(), kFileAttributeReadOnly | kFileAttributeHidden),
            1);
  EXPECT_EQ(statOf("%a", file), "444");  // every write bit goes; hidden cannot be set
  Platform_GetAttributes(-1, file.c_str(), &attributes);
  EXPECT_EQ(attributes, kFileAttributeReadOnly);
  EXPECT_EQ(Platform_SetAttributes(-1, file.c_str(), 0), 1);
  EXPECT_EQ(statOf("%a", file), "644");  // the owner may write again
  int fd = Platform_OpenFile(file.c_str(), O_RDONLY, 0);
  EXPECT_EQ(Platform_SetAttributes(fd, nullptr, kFileAttributeReadOnly), 1);
  EXPECT_EQ(statOf("%a", file), "444");
  EXPECT_EQ(Platform_GetAttributes(fd, (tree.dir / ".x").c_str(), &attributes), 1);
  EXPECT_EQ(attributes, kFileAttributeReadOnly | kFileAttributeHidden);
  close(fd);
}

TEST(PlatformFiles, StatFollowsLinksRelativeToTheirDirectory) {
  Tree tree;
  fs::create_directory(tree.dir / "elsewhere");
  ASSERT_EQ(chdir((tree.dir / "elsewhere").c_str()), 0);  // no a.txt here
  fs::create_hard_link(tree.dir / "a.txt", tree.dir / "hard");
  PlatformFileStatus status;
  ASSERT_EQ(Platform_Stat((tree.dir / "link-file").c_str(), &status), 1);
  EXPECT_EQ(status.size, 5000);
  EXPECT_EQ(status.linkCount, 2u);
  EXPECT_EQ(status.mode, std::stoul(statOf("%f", tree.dir / "a.txt"), nullptr, 16));
  EXPECT_EQ(std::to_string(status.lastWriteTime), statOf("%Y", tree.dir / "a.txt"));
  EXPECT_EQ(std::to_string(status.device), statOf("%d", tree.dir / "a.txt"));
  ASSERT_EQ(Platform_Stat((tree.dir / "link-dir").c_str(), &status), 1);
  EXPECT_TRUE(S_ISDIR(status.mode));
  EXPECT_EQ(Platform_Stat((tree.dir / "broken").c_str(), &status), 0);
  EXPECT_EQ(lastError(), "2 Missing");
  EXPECT_EQ(status.size, 0);
  ASSERT_EQ(chdir("/"), 0);
}

TEST(PlatformFiles, TimesSetAndReadBack) {
  FsFaultTempDir dir;
  std::string file = dir / "file";
  writeFile(file, "t");
  PlatformTime write = {6, 5, 4, 3, 1, 101, 6};     // 2001-02-03 04:05:06, a Saturday
  PlatformTime access = {0, 0, 12, 29, 1, 124, 0};  // 2024-02-29 12:00:00
  PlatformTime creation = {};                       // cannot be set: ignored
  ASSERT_EQ(Platform_SetFileTimes(file.c_str(), -1, 0, &creation, &access, &write), 1);
  EXPECT_EQ(statOf("%X,%Y", file),
            std::to_string(toSeconds(access)) + "," + std::to_string(toSeconds(write)));
  PlatformTime gotCreation, gotWrite;
  ASSERT_EQ(Platform_GetFileTimes(file.c_str(), -1, 0, &gotCreation, &gotWrite), 1);
  EXPECT_EQ(memcmp(&gotWrite, &write, sizeof write), 0);  // weekday filled in too
  std::string birth = statOf("%W", file);
  EXPECT_EQ(toSeconds(gotCreation),
            birth != "0" ? std::stoll(birth)
                         : std::min<int64_t>(toSeconds(write), std::stoll(statOf("%Z", file))));
  int fd = Platform_OpenFile(file.c_str(), O_RDONLY, 0);
  PlatformTime later = write;
  later.year = 110;
  ASSERT_EQ(Platform_SetFileTimes(nullptr, fd, 1, nullptr, nullptr, &later), 1);
  ASSERT_EQ(Platform_GetFileTimes(nullptr, fd, 1, nullptr, &gotWrite), 1);
  EXPECT_EQ(toSeconds(gotWrite), toSeconds(later));
  close(fd);
  PlatformTime bad = write;
  bad.month = 12;
  EXPECT_EQ(Platform_SetFileTimes(file.c_str(), -1, 0, nullptr, nullptr, &bad), 0);
  EXPECT_EQ(lastError(), "87 Unknown");
  TestLogCapture capture;
  EXPECT_EQ(Platform_GetFileTimes((dir / "none").c_str(), -1, 0, &gotCreation, nullptr), 0);
  EXPECT_NE(
      capture.Take().find("Unable to open file to get file time [" + (dir / "none") + " (2)]\n"),
      std::string::npos);
}

TEST(PlatformFiles, SymlinksAndTheirTargets) {
  FsFaultTempDir dir;
  std::string link = dir / "link";
  std::string target(4000, 't');
  ASSERT_EQ(Platform_CreateSymlink(link.c_str(), target.c_str(), 0), 1);
  std::vector<char> out(4001);
  ASSERT_EQ(Platform_GetSymlinkTarget(link.c_str(), out.data(), int(out.size())), 1);
  EXPECT_EQ(std::string(out.data()), target);
  TestLogCapture capture;
  EXPECT_EQ(Platform_GetSymlinkTarget(link.c_str(), out.data(), 4000), 0);  // one short
  EXPECT_EQ(lastError(), "206 Unknown");
  EXPECT_STREQ(out.data(), "");
  writeFile(dir / "plain", "p");
  EXPECT_EQ(Platform_GetSymlinkTarget((dir / "plain").c_str(), out.data(), 4001), 0);
  EXPECT_EQ(lastError(), "87 Unknown");
  EXPECT_EQ(Platform_CreateSymlink(link.c_str(), "elsewhere", 1), 0);
  EXPECT_EQ(lastError(), "183 AccessInvalid");
  std::string lines = capture.Take();
  EXPECT_NE(lines.find("Unable to open file to get symlink target [" + link + " (206)]\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("Unable to create symlink [" + link + " (183)]\n"), std::string::npos)
      << lines;
}

TEST(PlatformFiles, NewFilesFollowTheUmask) {
  FsFaultTempDir dir;
  FSFAULT_RUN([&](FsFaultChild &child) {
    for (mode_t mask : {022, 077, 0}) {
      umask(mask);
      std::string path = dir / ("m" + std::to_string(mask));
      int fd = Platform_OpenFile(path.c_str(), O_WRONLY | O_CREAT, 0);
      FSF_EXPECT(child, fd >= 0);
      Platform_CloseFile(fd);
      struct stat st;
      stat(path.c_str(), &st);
      FSF_EXPECT_EQ(child, st.st_mode & 0777, 0666 & ~mask);
      FSF_EXPECT_EQ(child, Platform_CreateDirectory((path + ".d").c_str()), 1);
      stat((path + ".d").c_str(), &st);
      FSF_EXPECT_EQ(child, st.st_mode & 0777, 0777 & ~mask);
      FSF_EXPECT_EQ(child, Platform_RemoveDirectory((path + ".d").c_str()), 1);
      FSF_EXPECT_EQ(child, Platform_DeleteFile(path.c_str()), 1);
    }
  });
}

}  // namespace
