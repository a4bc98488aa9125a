// The synchronous File against the kernel: modes, placement and creation,
// text reading, share modes between Files, threads and processes, the open
// retries, and real failures (user 65534, a full or read-only tmpfs, a
// closed standard input).
#include "core/platform/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/core.h"
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

int countOf(const std::string &text, const std::string &needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    count++;
  return count;
}

// Death-test messages are regular expressions; the abort texts hold
// brackets and parentheses.
std::string literal(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (strchr("\\.[](){}*+?|^$", c)) out += '\\';
    out += c;
  }
  return out;
}

// Owns one File for a test's scope.
struct TestFile {
  File *file = nullptr;
  TestFile() { File_Create(&file); }
  ~TestFile() {
    if (file) {
      File_Close(file);
      File_Release(&file);
    }
  }
  operator File *() const { return file; }
};

// Turns on the console and every class log, so File lines can be read.
// Files whose lines are wanted are created inside its scope: a class log
// looks its verbosity up once.
struct FileLogCapture {
  TestLogCapture capture;
  FileLogCapture() { Core_SetFlags(kCoreFlagWindow | kCoreFlagCtrlVerbose); }
  std::string Take() { return capture.Take(); }
};

// Everything a File delivers, read in pieces of size bytes.
std::string readAllInPieces(File *file, int32_t size) {
  std::string text;
  std::vector<char> buffer(static_cast<size_t>(size));
  int32_t count = 0;
  while (File_Read(file, buffer.data(), size, &count)) text.append(buffer.data(), size_t(count));
  EXPECT_EQ(count, 0);
  EXPECT_EQ(File_GetLastError(file), 0);
  return text;
}

// ---- Fatal paths -----------------------------------------------------------------------

TEST(FileDeathTest, ProgrammingErrorsStop) {
  // A fixed file: a death test runs its body again in a fresh process.
  const std::string path = "/proc/version";
  struct Row {
    const char *name;
    std::function<void()> call;
    std::string message;
  } rows[] = {
      {"create NULL", [] { File_Create(nullptr); }, "Pointer is NULL\n"},
      {"open NULL file", [&] { File_Open(nullptr, path.c_str(), 1); }, "Pointer is NULL\n"},
      {"open NULL path", [] { TestFile f; File_Open(f, nullptr, 1); }, "Pointer is NULL\n"},
      {"foreign object",
       [] {
         ObjectHeader other = {};
         other.classTag = 0x1234;
         File_IsOpen(reinterpret_cast<File *>(&other));
       },
       "Class mismatch pointer \\(0x[0-9A-F]+: expected 0xd2d88d63 but was 0x00001234\\)\n"},
      {"unbuffered",
       [&] { TestFile f; File_Open(f, path.c_str(), 0x1 | FILE_NOBUFFER); },
       literal("Assertion failed (ThisIsNot(Flags, FILE_NOBUFFER))\nUnbuffered I/O not supported "
               "in synchronous files")},
      {"open twice",
       [&] {
         TestFile f;
         File_Open(f, path.c_str(), 0x21);
         File_Open(f, "/other", 0x21);
       },
       literal("Assertion failed (File->AccessPtr == 0)\nPrevious file [" + path +
               "] must be closed before opening [/other]\n")},
      {"no access", [&] { TestFile f; File_Open(f, path.c_str(), 0); }, literal("Unknown mode [0]\n")},
      {"text only", [&] { TestFile f; File_Open(f, path.c_str(), 0x64); },
       literal("Unknown mode [100]\n")},
      {"read NULL buffer", [] { TestFile f; int32_t n; File_Read(f, nullptr, 1, &n); },
       "Pointer is NULL\n"},
      {"write NULL count", [] { TestFile f; File_Write(f, "x", 1, nullptr); }, "Pointer is NULL\n"},
      {"tell NULL", [] { TestFile f; File_Tell(f, nullptr); }, "Pointer is NULL\n"},
      {"size NULL", [] { TestFile f; File_GetSize(f, nullptr); }, "Pointer is NULL\n"},
      {"release NULL", [] { File_Release(nullptr); }, "Pointer is NULL\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_DEATH(row.call(), row.message);
  }
}

// ---- Opening --------------------------------------------------------------------------

TEST(FileOpen, WhatEachModeCreates) {
  FsFaultTempDir dir;
  struct Row {
    const char *name;
    uint32_t mode;
    const char *relative;
    int opens;
    int error;
    bool created;
  } rows[] = {
      {"read never creates", 0x1, "r/a/file", 0, kPlatformErrorFileNotFound, false},
      {"write creates two parents", 0x2, "w/a/file", 1, 0, true},
      {"read+write creates", 0x3, "rw/a/file", 1, 0, true},
      {"read+write+append does not", 0x13, "rwa/a/file", 0, kPlatformErrorFileNotFound, false},
      {"write+append creates", 0x12, "wa/a/file", 1, 0, true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = dir / row.relative;
    TestFile f;
    EXPECT_EQ(File_Open(f, path.c_str(), row.mode), row.opens);
    EXPECT_EQ(File_GetLastError(f), row.error);
    EXPECT_EQ(File_IsOpen(f), row.opens);
    EXPECT_EQ(fs::exists(path), row.created);
    // No directories for a file that is not made.
    EXPECT_EQ(fs::exists(fs::path(path).parent_path()), row.created);
  }
}

TEST(FileOpen, SizeAtOpenAndPlacement) {
  FsFaultTempDir dir;
  std::string path = dir / "new";
  {
    TestFile f;
    ASSERT_EQ(File_Open(f, path.c_str(), 0x2), 1);
    int32_t count;
    ASSERT_EQ(File_Write(f, "hello", 5, &count), 1);
    EXPECT_EQ(count, 5);
    uint64_t size = 99;
    EXPECT_EQ(File_GetSizeAtOpen(f, &size), 1);
    EXPECT_EQ(size, 0u);  // the file the open created
    EXPECT_EQ(File_GetSize(f, &size), 1);
    EXPECT_EQ(size, 5u);
  }
  struct Row {
    const char *name;
    uint32_t mode;
    const char *write;
    const char *after;
    uint64_t tellAtOpen;
  } rows[] = {
      {"write keeps the rest", 0x2, "HE", "HEllo", 0},
      {"truncate", 0xA, "HE", "HE", 0},
      {"append", 0x12, "!", "hello!", 5},
      {"read+write+append", 0x13, "!", "hello!", 5},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    writeFile(path, "hello");
    TestFile f;
    ASSERT_EQ(File_Open(f, path.c_str(), row.mode), 1);
    uint64_t at = 99, size = 0;
    EXPECT_EQ(File_Tell(f, &at), 1);
    EXPECT_EQ(at, row.tellAtOpen);
    EXPECT_EQ(File_GetSizeAtOpen(f, &size), 1);
    EXPECT_EQ(size, 5u);
    int32_t count;
    EXPECT_EQ(File_Write(f, row.write, int32_t(strlen(row.write)), &count), 1);
    EXPECT_EQ(File_Close(f), 1);
    EXPECT_EQ(readFile(path), row.after);
  }
}

TEST(FileOpen, QuietBitSilencesMissingFiles) {
  FsFaultTempDir dir;
  std::string missing = dir / "missing";
  for (uint32_t mode : {0x1u, 0x81u}) {
    SCOPED_TRACE(mode);
    FileLogCapture capture;
    TestFile f;
    EXPECT_EQ(File_Open(f, missing.c_str(), mode), 0);
    std::string lines = capture.Take();
    int logged = countOf(lines, "Unable to open file [" + missing + "][00000000](2 : 00000002)");
    EXPECT_EQ(logged, mode == 0x1 ? 1 : 0) << lines;
  }
}

TEST(FileOpen, PathsAreResolvedAndNormalised) {
  FsFaultTempDir dir;
  writeFile(dir / "f", "data");
  std::filesystem::create_directory(dir / "sub");
  TestFile f;
  std::string messy = dir.path() + "//sub/..\\.\\f";
  ASSERT_EQ(File_Open(f, messy.c_str(), 0x21), 1);
  EXPECT_EQ(File_Close(f), 1);
  EXPECT_EQ(File_Close(f), 1);  // closed already
  std::string tooLong = dir.path() + "/" + std::string(kPathMax, 'a');
  EXPECT_EQ(File_Open(f, tooLong.c_str(), 0x2), 0);
  EXPECT_EQ(File_GetLastError(f), kPlatformErrorNameTooLong);
}

// A relative path opens what open(2) opens from the same working directory:
// a leading ".." is the parent's, and ".." after a link is the parent of
// where the link leads. Each file holds its own place as its text.
TEST(FileOpen, RelativePathsOpenWhatTheSystemOpens) {
  FsFaultTempDir dir;
  for (const char *place : {"real/repo.json", "app.json", "x", "work/real/repo.json",
                            "work/app.json", "work/x", "other/x", "other/deep/y"}) {
    std::filesystem::create_directories(std::filesystem::path(dir / place).parent_path());
    writeFile(dir / place, place);
  }
  std::filesystem::create_directory_symlink("../other/deep", dir / "work/l");
  char was[kPathMax];
  ASSERT_NE(getcwd(was, sizeof was), nullptr);
  ASSERT_EQ(chdir((dir / "work").c_str()), 0);
  for (const char *text : {"../real/repo.json", "../app.json", "./../app.json", "..//x", "..\\x",
                           "real/../../app.json", "l/../x", "l/../../x", "../work/../x",
                           "l/./y", "l/../deep/y", "x/", "../missing"}) {
    SCOPED_TRACE(text);
    std::string system = text;
    for (char &c : system)
      if (c == '\\') c = '/';
    std::string expected = "(fails)";
    int fd = open(system.c_str(), O_RDONLY);
    if (fd >= 0) {
      char buffer[64] = {};
      expected = read(fd, buffer, sizeof buffer - 1) > 0 ? buffer : "(no data)";
      close(fd);
    }
    std::string got = "(fails)";
    TestFile f;
    if (File_Open(f, text, 0x21)) {
      char buffer[64] = {};
      int32_t count = 0;
      got = File_Read(f, buffer, int32_t(sizeof buffer - 1), &count) && count > 0 ? buffer
                                                                                  : "(no data)";
      File_Close(f);
    }
    EXPECT_EQ(got, expected);
  }
  ASSERT_EQ(chdir(was), 0);
}

// ---- Reading and writing ------------------------------------------------------------------

TEST(FileIo, ReadWriteSeekTellTruncate) {
  FsFaultTempDir dir;
  std::string path = dir / "f";
  TestFile f;
  ASSERT_EQ(File_Open(f, path.c_str(), 0x3), 1);
  int32_t count = 0;
  ASSERT_EQ(File_Write(f, "0123456789", 10, &count), 1);
  char buffer[8] = {};
  struct Step {
    int64_t offset;
    StreamOrigin origin;
    uint64_t position;
  } steps[] = {
      {2, StreamOrigin::Begin, 2},
      {-3, StreamOrigin::Current, 2},
      {-2, StreamOrigin::End, 8},
      {0, StreamOrigin::Begin, 0},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.position);
    ASSERT_EQ(File_Seek(f, step.offset, step.origin), 1);
    uint64_t at = 99;
    ASSERT_EQ(File_Tell(f, &at), 1);
    EXPECT_EQ(at, step.position);
    ASSERT_EQ(File_Read(f, buffer, 3, &count), 1);
    EXPECT_EQ(std::string(buffer, size_t(count)), std::string("0123456789").substr(at, 3));
  }
  EXPECT_EQ(File_Seek(f, -1, StreamOrigin::Begin), 0);
  EXPECT_EQ(File_GetLastError(f), kPlatformErrorInvalidParameter);
  ASSERT_EQ(File_Seek(f, 7, StreamOrigin::Begin), 1);
  EXPECT_EQ(File_Truncate(f), 1);
  EXPECT_EQ(File_Flush(f), 1);
  uint64_t size = 0;
  EXPECT_EQ(File_GetSize(f, &size), 1);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(File_Read(f, buffer, 3, &count), 0);  // the end: no error
  EXPECT_EQ(count, 0);
  EXPECT_EQ(File_GetLastError(f), 0);
  EXPECT_EQ(File_Close(f), 1);
  EXPECT_EQ(readFile(path), "0123456");
}

TEST(FileIo, ModifiedTimeKeepsFractions) {
  FsFaultTempDir dir;
  std::string path = dir / "f";
  writeFile(path, "x");
  // 2021-01-01 00:00:00.123456789 UTC
  auto when = fs::file_time_type::clock::from_sys(
      std::chrono::sys_seconds(std::chrono::seconds(1609459200)) +
      std::chrono::nanoseconds(123456789));
  fs::last_write_time(path, when);
  TestFile f;
  ASSERT_EQ(File_Open(f, path.c_str(), 0x21), 1);
  double seconds = 0;
  ASSERT_EQ(File_GetModifiedTime(f, &seconds), 1);
  EXPECT_NEAR(seconds, 1609459200.123456789, 1e-6);
}

TEST(FileIo, StreamRecordReachesTheFile) {
  FsFaultTempDir dir;
  std::string path = dir / "f";
  TestFile f;
  Stream *stream = nullptr;
  ASSERT_EQ(File_GetStream(f, &stream), 1);
  EXPECT_EQ(stream->context, static_cast<void *>(f.file));
  EXPECT_EQ(stream->IsOpen(stream->context), 0);
  ASSERT_EQ(File_Open(f, path.c_str(), 0x3), 1);
  EXPECT_EQ(stream->IsOpen(stream->context), 1);
  int32_t written = 0, read = 0;
  EXPECT_EQ(Stream_WriteString(stream, "stream text", &written), 1);
  int64_t size = 0;
  EXPECT_EQ(Stream_GetSize(stream, &size), 1);
  EXPECT_EQ(size, 11);
  EXPECT_EQ(Stream_Seek(stream, StreamOrigin::Begin, 7), 1);
  char buffer[8];
  EXPECT_EQ(Stream_Read(stream, buffer, sizeof buffer, &read), 1);
  EXPECT_EQ(std::string(buffer, size_t(read)), "text");
  EXPECT_EQ(stream->Flush(stream->context), 1);
  EXPECT_EQ(stream->Close(stream->context), 1);
  EXPECT_EQ(File_IsOpen(f), 0);
}

TEST(FileIo, ClosedFileRefusesAndSaysSo) {
  FileLogCapture capture;
  TestFile f;
  char buffer[4];
  int32_t count = 7;
  uint64_t value = 7;
  double seconds = 7;
  EXPECT_EQ(File_Read(f, buffer, 5, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(File_GetLastError(f), kPlatformErrorInvalidHandle);
  EXPECT_EQ(File_Write(f, "abc", 3, &count), 0);
  EXPECT_EQ(File_Seek(f, 0, StreamOrigin::Begin), 0);
  EXPECT_EQ(File_Tell(f, &value), 0);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(File_Flush(f), 0);
  EXPECT_EQ(File_Truncate(f), 0);
  EXPECT_EQ(File_GetSize(f, &value), 0);
  EXPECT_EQ(File_GetModifiedTime(f, &seconds), 0);
  EXPECT_EQ(seconds, 0);
  EXPECT_EQ(File_Close(f), 1);
  File_Log(f, "custom %d", 42);
  std::string lines = capture.Take();
  for (const char *line :
       {"No file handle is open - cannot read [] (5)", "No file handle is open - cannot write [] (3)",
        "No file handle is open - cannot seek", "No file handle is open - cannot tell",
        "No file handle is open - cannot flush", " - custom 42"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(countOf(lines, line), 1) << lines;
  }
}

TEST(FileIo, ReleaseClosesAForgottenFile) {
  FsFaultTempDir dir;
  std::string path = dir / "f";
  FileLogCapture capture;
  File *f = nullptr;
  File_Create(&f);
  ASSERT_EQ(File_Open(f, path.c_str(), 0x3), 1);  // denies everyone
  File_Release(&f);
  EXPECT_EQ(f, nullptr);
  std::string lines = capture.Take();
  EXPECT_EQ(countOf(lines, "File not properly closed on delete [" + path + "]"), 1) << lines;
  TestFile again;
  File_DisableRetries(again);
  EXPECT_EQ(File_Open(again, path.c_str(), 0x3), 1);  // its locks went with it
}

// ---- Text mode ---------------------------------------------------------------------------

TEST(FileText, CrLfBecomesLfAcrossReads) {
  FsFaultTempDir dir;
  std::string path = dir / "t";
  const char *contents[] = {"a\r\nb", "a\r", "\r\n", "\r\r\n", "a\rb", "\r", "x\r\n\r\n\ry\r",
                            "\n\r\n\r", "", "plain"};
  for (const char *content : contents) {
    std::string model;  // each CR LF read as LF, in one pass
    for (const char *c = content; *c; c++)
      if (!(c[0] == '\r' && c[1] == '\n')) model += *c;
    writeFile(path, content);
    for (int32_t size = 1; size <= 5; size++) {
      SCOPED_TRACE(testing::PrintToString(std::string(content)) + " in pieces of " +
                   std::to_string(size));
      TestFile text, raw;
      ASSERT_EQ(File_Open(text, path.c_str(), 0x25), 1);
      EXPECT_EQ(readAllInPieces(text, size), model);
      ASSERT_EQ(File_Open(raw, path.c_str(), 0x21), 1);
      EXPECT_EQ(readAllInPieces(raw, size), content);
    }
  }
}

TEST(FileText, HeldCrStaysAtItsRawOffset) {
  FsFaultTempDir dir;
  std::string path = dir / "t";
  writeFile(path, "a\r\nb");
  TestFile f;
  ASSERT_EQ(File_Open(f, path.c_str(), 0x7), 1);
  char buffer[4];
  int32_t count = 0;
  ASSERT_EQ(File_Read(f, buffer, 2, &count), 1);
  EXPECT_EQ(std::string(buffer, size_t(count)), "a");  // the CR waits for its LF
  uint64_t at = 0;
  ASSERT_EQ(File_Tell(f, &at), 1);
  EXPECT_EQ(at, 1u);
  // A write lands where the reader stands, not behind the held CR; writing
  // is not translated.
  ASSERT_EQ(File_Write(f, "X\n", 2, &count), 1);
  EXPECT_EQ(File_Close(f), 1);
  EXPECT_EQ(readFile(path), "aX\nb");
}

// ---- Share modes ---------------------------------------------------------------------------

// Every (access, share) mode: read, write or both, sharing nothing, reading,
// writing or both.
std::vector<uint32_t> allShareModes() {
  std::vector<uint32_t> modes;
  for (uint32_t access : {0x1u, 0x2u, 0x3u})
    for (uint32_t share : {0x0u, 0x20u, 0x40u, 0x60u}) modes.push_back(access | share);
  return modes;
}

// The second open succeeds exactly when each one's access lies within the
// other's share.
bool compatible(uint32_t first, uint32_t second) {
  uint32_t firstShare = (first >> 5) & 3, secondShare = (second >> 5) & 3;
  return ((second & 3) & ~firstShare) == 0 && ((first & 3) & ~secondShare) == 0;
}

TEST(FileShare, TwoFilesInOneProcess) {
  FsFaultTempDir dir;
  std::string path = dir / "shared";
  writeFile(path, "data");
  for (uint32_t first : allShareModes()) {
    for (uint32_t second : allShareModes()) {
      SCOPED_TRACE(testing::Message() << std::hex << "0x" << first << " then 0x" << second);
      TestFile holder, opener;
      ASSERT_EQ(File_Open(holder, path.c_str(), first), 1);
      File_DisableRetries(opener);
      int opened = File_Open(opener, path.c_str(), second);
      EXPECT_EQ(opened, compatible(first, second) ? 1 : 0);
      EXPECT_EQ(File_GetLastError(opener), opened ? 0 : kPlatformErrorSharingViolation);
    }
  }
}

TEST(FileShare, AChildOpeningAfterTheFork) {
  FsFaultTempDir dir;
  std::string path = dir / "shared";
  writeFile(path, "data");
  for (uint32_t first : allShareModes()) {
    SCOPED_TRACE(testing::Message() << std::hex << "holder 0x" << first);
    TestFile holder;
    ASSERT_EQ(File_Open(holder, path.c_str(), first), 1);
    FSFAULT_RUN([&](FsFaultChild &child) {
      for (uint32_t second : allShareModes()) {
        TestFile opener;
        File_DisableRetries(opener);
        int opened = File_Open(opener, path.c_str(), second);
        if (opened != (compatible(first, second) ? 1 : 0))
          child.Fail(__FILE__, __LINE__,
                     "holder " + std::to_string(first) + ", child " + std::to_string(second) +
                         ": open gave " + std::to_string(opened));
      }
    });
  }
}

TEST(FileShareThreaded, RacingOpenersThatDenyAllNeverBothWin) {
  FsFaultTempDir dir;
  std::string path = dir / "raced";
  writeFile(path, "data");
  constexpr int kRounds = 10000;
  std::atomic<int> opened[2] = {0, 0};
  std::atomic<int> bothOpen{0}, someoneOpened{0};
  std::barrier sync(2);
  auto racer = [&](int me) {
    TestFile f;
    File_DisableRetries(f);
    for (int round = 0; round < kRounds; round++) {
      sync.arrive_and_wait();
      opened[me] = File_Open(f, path.c_str(), 0x3);
      sync.arrive_and_wait();
      if (me == 0) {
        if (opened[0] && opened[1]) bothOpen++;
        if (opened[0] || opened[1]) someoneOpened++;
      }
      sync.arrive_and_wait();  // both looked before either closes
      File_Close(f);
    }
  };
  std::thread a(racer, 0), b(racer, 1);
  a.join();
  b.join();
  EXPECT_EQ(bothOpen.load(), 0);
  EXPECT_GT(someoneOpened.load(), 0);
}

// ---- Retries ---------------------------------------------------------------------------

// Runs once: a holder that denies everything makes a default open wait
// through 19 pauses of a second before it gives up.
TEST(FileRetry, LockedFileIsTriedTwentyTimes) {
  FsFaultTempDir dir;
  std::string path = dir / "held";
  writeFile(path, "data");
  TestFile holder;
  ASSERT_EQ(File_Open(holder, path.c_str(), 0x1), 1);
  FileLogCapture capture;
  TestFile waiter;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(File_Open(waiter, path.c_str(), 0x21), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(File_GetLastError(waiter), kPlatformErrorSharingViolation);
  std::string lines = capture.Take();
  EXPECT_EQ(countOf(lines, "Retrying open file (" + path + ")"), 19) << lines;
  EXPECT_EQ(countOf(lines, "Retrying open file (" + path + ") (18) [Err: 32]"), 1);
  EXPECT_GE(waited, std::chrono::milliseconds(19 * 1000));  // the pauses are sleeps
}

TEST(FileRetry, OneAttemptWhenRetriesAreOff) {
  FsFaultTempDir dir;
  std::string path = dir / "held";
  writeFile(path, "data");
  TestFile holder;
  ASSERT_EQ(File_Open(holder, path.c_str(), 0x1), 1);
  FileLogCapture capture;
  TestFile waiter;
  File_DisableRetries(waiter);
  EXPECT_EQ(File_Open(waiter, path.c_str(), 0x21), 0);
  EXPECT_EQ(File_GetLastError(waiter), kPlatformErrorSharingViolation);
  std::string lines = capture.Take();
  EXPECT_EQ(countOf(lines, "Retrying"), 0) << lines;
  EXPECT_EQ(countOf(lines, "Unable to open file [" + path + "][00000000](32 : 00000020)"), 1);
}

// Failures that a wait does not cure end at once.
TEST(FileRetry, PermanentFailuresAreNotRetried) {
  FsFaultTempDir dir;
  std::string secret = dir / "secret", readOnly = dir / "ro";
  writeFile(secret, "x");
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
  struct Row {
    const char *name;
    std::function<bool(FsFaultChild &)> prepare;
    std::string path;
    uint32_t mode;
    int error;
  } rows[] = {
      {"access denied", [](FsFaultChild &child) { return child.DropPrivileges(); }, secret, 0x21,
       kPlatformErrorAccessDenied},
      {"a directory", [](FsFaultChild &) { return true; }, dir.path(), 0x21,
       kPlatformErrorAccessDenied},
      {"read-only file system",
       [&](FsFaultChild &child) {
         if (!child.MountTmpfs(readOnly, "size=1M")) return false;
         writeFile(readOnly + "/f", "x");
         return child.RemountReadOnly(readOnly);
       },
       readOnly + "/f", 0x22, kPlatformErrorWriteProtect},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    FSFAULT_RUN([&](FsFaultChild &child) {
      if (!row.prepare(child)) return;
      FileLogCapture capture;
      TestFile f;
      int opened = File_Open(f, row.path.c_str(), row.mode);
      std::string lines = capture.Take();
      FSF_EXPECT_EQ(child, opened, 0);
      FSF_EXPECT_EQ(child, File_GetLastError(f), row.error);
      FSF_EXPECT_EQ(child, countOf(lines, "Retrying"), 0);  // each pause logs its retry
      FSF_EXPECT_EQ(child, countOf(lines, "Unable to open file [" + row.path + "]"), 1);
    });
  }
}

// ---- Real failures -----------------------------------------------------------------------

TEST(FileFault, FullDiskReportsTheBytesWritten) {
  FsFaultTempDir dir;
  std::string mount = dir / "small";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(mount, "size=1M")) return;
    std::string path = mount + "/big";
    TestFile f;
    FSF_EXPECT_EQ(child, File_Open(f, path.c_str(), 0x2), 1);
    std::string data(2 << 20, 'z');
    int32_t count = -1;
    FSF_EXPECT_EQ(child, File_Write(f, data.data(), int32_t(data.size()), &count), 0);
    FSF_EXPECT_EQ(child, File_GetLastError(f), kPlatformErrorDiskFull);
    FSF_EXPECT(child, count > 0);
    FSF_EXPECT_EQ(child, std::to_string(count), FsFault_Command("stat -c %s '" + path + "'"));
    FSF_EXPECT_EQ(child, File_Close(f), 1);
  });
}

// Descriptor 0 is a file like any other: a process whose standard input is
// closed gets it for its first open.
TEST(FileFault, DescriptorZeroIsAnOpenFile) {
  FsFaultTempDir dir;
  std::string path = dir / "f";
  writeFile(path, "zero");
  FSFAULT_RUN([&](FsFaultChild &child) {
    fclose(stdin);
    for (int round = 0; round < 2; round++) {  // the second finds descriptor 0 free again
      TestFile f;
      FSF_EXPECT_EQ(child, File_Open(f, path.c_str(), 0x21), 1);
      FSF_EXPECT_EQ(child, File_IsOpen(f), 1);
      std::error_code error;
      FSF_EXPECT_EQ(child, fs::read_symlink("/proc/self/fd/0", error).string(), path);
      char buffer[8];
      int32_t count = 0;
      FSF_EXPECT_EQ(child, File_Read(f, buffer, sizeof buffer, &count), 1);
      FSF_EXPECT_EQ(child, std::string(buffer, size_t(count)), "zero");
      FSF_EXPECT_EQ(child, File_Close(f), 1);
      FSF_EXPECT_EQ(child, File_IsOpen(f), 0);
      FSF_EXPECT(child, !fs::exists("/proc/self/fd/0", error));
    }
  });
}

}  // namespace
