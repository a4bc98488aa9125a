#include "core/platform/asyncfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/file.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/thread.h"
#include "tests/fsfault.h"
#include "tests/iolatch.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"

namespace {

constexpr int32_t kBoundMs = 20000;

bool waitUntil(const std::function<bool()> &done, int32_t boundMs = kBoundMs) {
  return Test_WaitUntil(done, boundMs);
}

std::string readWhole(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeWhole(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string pattern(size_t size, uint32_t seed) {
  std::string data(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; i++) {
    x = x * 1103515245u + 12345u;
    data[i] = char(x >> 24);
  }
  return data;
}

// Records every completion of one batch of requests.
struct Completions {
  struct Call {
    int64_t offset;
    void *buffer;
    uint32_t bytes;
    uint32_t error;
  };
  std::mutex lock;
  std::vector<Call> calls;
  std::atomic<int> count{0};

  static void record(void *context, int64_t offset, void *buffer, uint32_t bytes,
                     uint32_t error) {
    auto *self = static_cast<Completions *>(context);
    {
      std::lock_guard<std::mutex> guard(self->lock);
      self->calls.push_back({offset, buffer, bytes, error});
    }
    self->count.fetch_add(1);
  }
  bool waitFor(int n) { return waitUntil([&] { return count.load() >= n; }); }
};

// The whole start-up the asynchronous files need, and its reverse.
void asyncFileStart() {
  Meter_Init();
  IOWorker_Init();
  AsyncFile_Init();
}
void asyncFileStop() {
  AsyncFile_Shutdown();
  IOWorker_Shutdown();
  Meter_Shutdown();
}

class AsyncFileTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    asyncFileStart();
    AsyncFile_Create(&file_);
  }
  void TearDown() override {
    if (file_) AsyncFile_Release(&file_);
    EXPECT_TRUE(waitUntil([] { return AsyncFile_GetLiveCount() == 0; }));
    asyncFileStop();
    AsyncFile_SetOpenPauseMsForTest(0);
    ThreadTest::TearDown();
  }
  AsyncFile *file_ = nullptr;
  FsFaultTempDir dir_;
};

class AsyncFileThreaded : public AsyncFileTest {};
class AsyncFileThreadedDeathTest : public AsyncFileTest {};


}  // namespace

TEST(AsyncFileThreadedUninitDeathTest, CallsBeforeInitStop) {
  AsyncFile *file = nullptr;
  EXPECT_DEATH(AsyncFile_Create(&file), "ABORT - Pointer is NULL\n");
  EXPECT_EQ(AsyncFile_Shutdown(), 1);
  EXPECT_EQ(AsyncFile_GetLiveCount(), 0);
}

TEST_F(AsyncFileThreadedDeathTest, ProgrammingErrorsStop) {
  char buffer[4];
  EXPECT_DEATH(AsyncFile_Init(),
               "Assertion failed \\(AsyncFileGlobals == NULL\\)\nAsyncFile already initialized");
  EXPECT_DEATH(AsyncFile_Read(file_, 0, buffer, 4, Completions::record, nullptr),
               "Assertion failed \\(AsyncFile->Handle != INVALID_HANDLE_VALUE\\)\nAttempted to "
               "use an invalid handle");
  EXPECT_DEATH(AsyncFile_Write(file_, 0, buffer, 4, Completions::record, nullptr),
               "Assertion failed \\(AsyncFile->Handle != INVALID_HANDLE_VALUE\\)\nAttempted to "
               "use an invalid handle");
  ASSERT_EQ(AsyncFile_Open(file_, (dir_ / "a").c_str(), 0x3), 1);
  EXPECT_DEATH(AsyncFile_Open(file_, (dir_ / "b").c_str(), 0x3),
               "Assertion failed \\(AsyncFile->Handle == INVALID_HANDLE_VALUE\\)\nPrevious file "
               "\\[.*/a\\] must be closed before opening \\[.*/b\\]\n");
  EXPECT_DEATH(AsyncFile_Read(file_, 0, nullptr, 4, Completions::record, nullptr),
               "ABORT - Pointer is NULL\n");
  int foreign[16] = {0};
  EXPECT_DEATH(AsyncFile_Close(reinterpret_cast<AsyncFile *>(foreign)),
               "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x36bbe9ba but was "
               "0x00000000\\)");
  AsyncFile_Close(file_);
}

TEST_F(AsyncFileThreaded, OpenFlagsCreateCutAndKeepAsTheyShould) {
  struct Row {
    const char *name;
    uint32_t flags;
    bool exists;
    bool opens;
    const char *contents;  // afterwards; NULL: the file does not exist
    int error;
  };
  const Row rows[] = {
      {"2 cuts an existing file", 0x2, true, true, "", 0},
      {"2 creates a missing file", 0x2, false, true, "", 0},
      {"3 keeps the contents", 0x3, true, true, "old", 0},
      {"3 creates a missing file", 0x3, false, true, "", 0},
      {"0x13 does not create", 0x13, false, false, nullptr, 2},
      {"0x13 keeps the contents", 0x13, true, true, "old", 0},
      {"1 keeps the contents", 0x1, true, true, "old", 0},
      {"1 does not create", 0x1, false, false, nullptr, 2},
      {"0x81 is quiet about a missing file", 0x81, false, false, nullptr, 2},
      {"0xB cuts after opening", 0xB, true, true, "", 0},
      {"neither read nor write", 0x20, true, false, "old", 87},
  };
  int n = 0;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = dir_ / ("f" + std::to_string(n++));
    if (row.exists) writeWhole(path, "old");
    EXPECT_EQ(AsyncFile_Open(file_, path.c_str(), row.flags), row.opens ? 1 : 0);
    EXPECT_EQ(AsyncFile_GetLastError(file_), row.error);
    EXPECT_EQ(AsyncFile_GetOpenFlags(file_), row.flags);
    EXPECT_EQ(AsyncFile_IsOpen(file_), row.opens ? 1 : 0);
    AsyncFile_Close(file_);
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st) == 0, row.contents != nullptr);
    if (row.contents) {
      EXPECT_EQ(readWhole(path), row.contents);
    }
  }
  // Writing creates the missing parent directories.
  std::string deep = dir_ / "x/y/z/new";
  ASSERT_EQ(AsyncFile_Open(file_, deep.c_str(), 0x2), 1);
  char path[4096];
  EXPECT_EQ(AsyncFile_GetPath(file_, path, sizeof path), 1);
  EXPECT_EQ(std::string(path), deep);
  AsyncFile_Close(file_);
  EXPECT_EQ(readWhole(deep), "");
}

TEST_F(AsyncFileThreaded, AppendPositionsAtTheEnd) {
  std::string path = dir_ / "append";
  writeWhole(path, "12345");
  ASSERT_EQ(AsyncFile_Open(file_, path.c_str(), 0x13), 1);
  uint64_t position = 0;
  EXPECT_EQ(AsyncFile_Tell(file_, &position), 1);
  EXPECT_EQ(position, 5u);
  EXPECT_EQ(AsyncFile_Seek(file_, 2, 0), 1);
  EXPECT_EQ(AsyncFile_Tell(file_, &position), 1);
  EXPECT_EQ(position, 2u);
  EXPECT_EQ(AsyncFile_Seek(file_, 0, 7), 0);
  EXPECT_EQ(AsyncFile_GetLastError(file_), 87);
  AsyncFile_Close(file_);
  EXPECT_EQ(AsyncFile_Tell(file_, &position), 0);
  EXPECT_EQ(AsyncFile_GetLastError(file_), 6);
}

TEST_F(AsyncFileThreaded, TenQueuedReadsEachCallBackOnceAndTheMeterHoldsTheirSum) {
  std::string path = dir_ / "ten";
  std::string data = pattern(10 * 1000 + 37, 1);
  writeWhole(path, data);
  ASSERT_EQ(AsyncFile_Open(file_, path.c_str(), 0x1), 1);
  std::vector<std::string> buffers(10, std::string(1500, '\0'));
  Completions done;
  for (int i = 0; i < 10; i++)
    ASSERT_EQ(AsyncFile_Read(file_, i * 1000, buffers[i].data(), 1500, Completions::record, &done),
              1);
  ASSERT_TRUE(done.waitFor(10));
  EXPECT_TRUE(waitUntil([&] { return AsyncFile_HasPendingReads(file_) == 0; }));
  uint64_t sum = 0;
  std::vector<int> seen(10, 0);
  for (const auto &call : done.calls) {
    int i = int(call.offset / 1000);
    seen[i]++;
    EXPECT_EQ(call.buffer, buffers[i].data());
    EXPECT_EQ(call.error, 0u);
    uint32_t expected = std::min<uint32_t>(1500, uint32_t(data.size() - call.offset));
    EXPECT_EQ(call.bytes, expected);
    EXPECT_EQ(buffers[i].substr(0, expected), data.substr(call.offset, expected));
    sum += call.bytes;
  }
  for (int i = 0; i < 10; i++) EXPECT_EQ(seen[i], 1) << i;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(done.count.load(), 10);
  MeterRW *meter = nullptr;
  AsyncFile_GetMeter(file_, &meter);
  uint64_t readBytes = 0, writeBytes = 0;
  MeterRW_GetBytes(meter, &readBytes, &writeBytes);
  EXPECT_EQ(readBytes, sum);
  EXPECT_EQ(writeBytes, 0u);
  AsyncFile_Close(file_);
}

TEST_F(AsyncFileThreaded, AReadPastTheEndGivesNoBytesAndNoError) {
  std::string path = dir_ / "short";
  writeWhole(path, "abc");
  ASSERT_EQ(AsyncFile_Open(file_, path.c_str(), 0x1), 1);
  AsyncFile_SetLogFlag(file_, 1);
  char buffer[16];
  Completions done;
  AsyncFile_Read(file_, 3, buffer, sizeof buffer, Completions::record, &done);
  AsyncFile_Read(file_, 1000, buffer, sizeof buffer, Completions::record, &done);
  ASSERT_TRUE(done.waitFor(2));
  for (const auto &call : done.calls) {
    EXPECT_EQ(call.bytes, 0u);
    EXPECT_EQ(call.error, 0u);
  }
  AsyncFile_Close(file_);
}

TEST_F(AsyncFileThreaded, WritesLandAndSizeTimesAttributesAndRenameWork) {
  std::string path = dir_ / "w";
  ASSERT_EQ(AsyncFile_Open(file_, path.c_str(), 0x3), 1);
  std::string data = pattern(300000, 2);
  Completions done;
  constexpr uint32_t kPiece = 65536;
  int pieces = 0;
  for (size_t at = 0; at < data.size(); at += kPiece, pieces++)
    AsyncFile_Write(file_, int64_t(at), data.data() + at,
                    uint32_t(std::min<size_t>(kPiece, data.size() - at)), Completions::record,
                    &done);
  ASSERT_TRUE(done.waitFor(pieces));
  for (const auto &call : done.calls) EXPECT_EQ(call.error, 0u);
  EXPECT_EQ(readWhole(path), data);
  uint64_t size = 0;
  EXPECT_EQ(AsyncFile_GetSize(file_, &size), 1);
  EXPECT_EQ(size, data.size());
  EXPECT_EQ(AsyncFile_SetSize(file_, 1000), 1);
  EXPECT_EQ(readWhole(path), data.substr(0, 1000));
  EXPECT_EQ(AsyncFile_SetSize(file_, 5000), 1);
  EXPECT_EQ(readWhole(path).size(), 5000u);

  // The modified time, checked with stat(1); the access time stays.
  std::string before = FsFault_Command("stat -c %X '" + path + "'");
  EXPECT_EQ(AsyncFile_SetModifiedTime(file_, 1700000000.25), 1);
  EXPECT_EQ(FsFault_Command("stat -c %Y,%X '" + path + "'"), "1700000000," + before);
  double seconds = 0;
  EXPECT_EQ(AsyncFile_GetModifiedTime(file_, &seconds), 1);
  EXPECT_NEAR(seconds, 1700000000.25, 1e-6);
  for (double bad : {-2e10, 1e13, 0.0 / 0.0}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(AsyncFile_SetModifiedTime(file_, bad), 0);
    EXPECT_EQ(AsyncFile_GetLastError(file_), 13);
  }

  uint32_t attributes = 0xff;
  EXPECT_EQ(AsyncFile_SetAttributes(file_, kFileAttributeReadOnly), 1);
  EXPECT_EQ(AsyncFile_GetAttributes(file_, &attributes), 1);
  EXPECT_EQ(attributes & kFileAttributeReadOnly, kFileAttributeReadOnly);
  EXPECT_EQ(AsyncFile_SetAttributes(file_, 0), 1);

  // Rename replaces an existing target and follows the file.
  std::string target = dir_ / "target";
  writeWhole(target, "replace me");
  EXPECT_EQ(AsyncFile_Rename(file_, target.c_str()), 1);
  char now[4096];
  AsyncFile_GetPath(file_, now, sizeof now);
  EXPECT_EQ(std::string(now), target);
  EXPECT_EQ(readWhole(target).size(), 5000u);
  struct stat st;
  EXPECT_NE(stat(path.c_str(), &st), 0);
  EXPECT_EQ(AsyncFile_Rename(file_, (dir_ / "missing/dir/x").c_str()), 0);
  EXPECT_EQ(AsyncFile_GetLastError(file_), 2);
  MeterRW *meter = nullptr;
  AsyncFile_GetMeter(file_, &meter);
  uint64_t written = 0;
  MeterRW_GetBytes(meter, nullptr, &written);
  EXPECT_EQ(written, data.size());
  AsyncFile_Close(file_);
}

TEST_F(AsyncFileThreaded, ShareModesAreSharedWithFile) {
  std::string path = dir_ / "shared";
  writeWhole(path, "x");
  ASSERT_EQ(AsyncFile_Open(file_, path.c_str(), 0x1), 1);  // others may do nothing
  File *other = nullptr;
  File_Create(&other);
  File_DisableRetries(other);
  EXPECT_EQ(File_Open(other, path.c_str(), 0x21), 0);
  EXPECT_EQ(File_GetLastError(other), 32);
  AsyncFile_Close(file_);
  ASSERT_EQ(File_Open(other, path.c_str(), 0x1), 1);
  AsyncFile_SetOpenPauseMsForTest(1);  // a share conflict is retried
  EXPECT_EQ(AsyncFile_Open(file_, path.c_str(), 0x21), 0);
  EXPECT_EQ(AsyncFile_GetLastError(file_), 32);
  File_Close(other);
  EXPECT_EQ(AsyncFile_Open(file_, path.c_str(), 0x21), 1);
  AsyncFile_Close(file_);
  File_Release(&other);
}

TEST_F(AsyncFileThreaded, OnlyLockedOpensAreRetried) {
  std::string path = dir_ / "locked";
  writeWhole(path, "x");
  File *holder = nullptr;
  File_Create(&holder);
  ASSERT_EQ(File_Open(holder, path.c_str(), 0x1), 1);
  AsyncFile_SetOpenPauseMsForTest(5);
  // A locked file: 20 attempts, 5 ms apart here. A missing one: once.
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(AsyncFile_Open(file_, path.c_str(), 0x1), 0);
  auto lockedTook = std::chrono::steady_clock::now() - started;
  EXPECT_GE(lockedTook, std::chrono::milliseconds(95));
  // The holder goes away while the attempts run (about a second of them
  // here): the open gets through.
  AsyncFile_SetOpenPauseMsForTest(50);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    File_Close(holder);
  });
  EXPECT_EQ(AsyncFile_Open(file_, path.c_str(), 0x1), 1);
  closer.join();
  AsyncFile_Close(file_);
  File_Release(&holder);
  AsyncFile_SetOpenPauseMsForTest(60000);  // a retried missing file would hang here
  EXPECT_EQ(AsyncFile_Open(file_, (dir_ / "none").c_str(), 0x1), 0);
  EXPECT_EQ(AsyncFile_GetLastError(file_), 2);
}

// ---- Unbuffered ---------------------------------------------------------------

TEST_F(AsyncFileThreaded, UnbufferedOpensDirectAndWriteThrough) {
  std::string path = dir_ / "direct";
  ASSERT_EQ(AsyncFile_Open(file_, path.c_str(), 0x103), 1);
  int fd = AsyncFile_GetDescriptorForTest(file_);
  std::string info = readWhole("/proc/self/fdinfo/" + std::to_string(fd));
  size_t at = info.find("flags:");
  ASSERT_NE(at, std::string::npos);
  unsigned long flags = strtoul(info.c_str() + at + 6, nullptr, 8);
  EXPECT_EQ(flags & O_DSYNC, unsigned(O_DSYNC));
  if (!(flags & O_DIRECT)) {
    AsyncFile_Close(file_);
    GTEST_SKIP() << "the file system of " << path << " refuses O_DIRECT";
  }
  AsyncFile_Close(file_);
}

TEST_F(AsyncFileThreaded, UnbufferedUnalignedRequestsMoveTheRightBytes) {
  // A size that is no multiple of any alignment: the last block is short.
  constexpr size_t kSize = 262144 + 100;
  std::string reference = dir_ / "reference";
  ASSERT_EQ(system(("dd if=/dev/urandom of='" + reference + "' bs=" + std::to_string(kSize) +
                    " count=1 iflag=fullblock status=none")
                       .c_str()),
            0);
  std::string data = readWhole(reference);
  ASSERT_EQ(data.size(), kSize);
  // Reads: aligned, unaligned buffer, offset, size, and at the end.
  ASSERT_EQ(AsyncFile_Open(file_, reference.c_str(), 0x121), 1);
  struct Row {
    const char *name;
    size_t bufferShift;
    int64_t offset;
    uint32_t size;
  };
  const Row rows[] = {
      {"aligned", 0, 8192, 65536},
      {"unaligned buffer", 1, 8192, 65536},
      {"unaligned offset", 0, 4097, 65536},
      {"unaligned size", 0, 8192, 1000},
      {"all three", 3, 12345, 54321},
      {"across the end", 0, 262144 - 4096, 65536},
      {"the short last block", 0, 262144, 4096},
      {"past the end", 0, 266240, 4096},
  };
  void *block = nullptr;
  ASSERT_EQ(posix_memalign(&block, 4096, kSize + 8192), 0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    char *buffer = static_cast<char *>(block) + row.bufferShift;
    memset(buffer, 0, row.size);
    Completions done;
    AsyncFile_Read(file_, row.offset, buffer, row.size, Completions::record, &done);
    ASSERT_TRUE(done.waitFor(1));
    uint32_t expected = uint32_t(
        std::max<int64_t>(0, std::min<int64_t>(row.size, int64_t(data.size()) - row.offset)));
    EXPECT_EQ(done.calls[0].error, 0u);
    EXPECT_EQ(done.calls[0].bytes, expected);
    if (expected > 0) {
      EXPECT_EQ(std::string(buffer, expected), data.substr(size_t(row.offset), expected));
    }
  }
  AsyncFile_Close(file_);

  // Writes of the same bytes: aligned 64 KiB blocks from an aligned buffer,
  // then uneven pieces from an unaligned one. The copy equals dd's file.
  std::string copy = dir_ / "copy";
  ASSERT_EQ(AsyncFile_Open(file_, copy.c_str(), 0x102), 1);
  char *aligned = static_cast<char *>(block);
  memcpy(aligned, data.data(), kSize);
  std::string shifted = " " + data;
  Completions done;
  int pieces = 0;
  size_t at = 0;
  for (; at < 131072; at += 65536, pieces++)
    AsyncFile_Write(file_, int64_t(at), aligned + at, 65536, Completions::record, &done);
  for (; at < kSize; pieces++) {
    uint32_t size = uint32_t(std::min<size_t>(pieces % 2 ? 4096 * 3 : 5000, kSize - at));
    AsyncFile_Write(file_, int64_t(at), shifted.data() + 1 + at, size, Completions::record, &done);
    at += size;
  }
  ASSERT_TRUE(done.waitFor(pieces));
  for (const auto &call : done.calls) EXPECT_EQ(call.error, 0u);
  AsyncFile_Close(file_);
  EXPECT_EQ(system(("cmp -s '" + copy + "' '" + reference + "'").c_str()), 0);
  free(block);
}

// ---- Close while requests are queued -------------------------------------------

TEST_F(AsyncFileThreaded, CloseWhileQueuedNeverWritesIntoTheFileThatGetsTheNumber) {
  std::string pathA = dir_ / "a", pathB = dir_ / "b";
  std::string contentsB = pattern(100000, 3);
  writeWhole(pathB, contentsB);
  Latch latch;
  int threads = IOWorker_GetThreadCount();
  std::vector<LatchRequest> holds(static_cast<size_t>(threads));
  for (auto &hold : holds) {
    hold.latch = &latch;
    hold.io.routine = LatchRequest::hold;
    IOWorker_Post(&latch, &hold.io);
  }
  ASSERT_TRUE(waitUntil([&] { return latch.inside.load() == threads; }));

  ASSERT_EQ(AsyncFile_Open(file_, pathA.c_str(), 0x3), 1);
  int formerA = AsyncFile_GetDescriptorForTest(file_);
  std::string bytesA(4096, 'A');
  Completions done;
  for (int i = 0; i < 32; i++)
    AsyncFile_Write(file_, i * 4096, bytesA.data(), 4096, Completions::record, &done);
  AsyncFile_Close(file_);
  int liveWithA = AsyncFile_GetLiveCount();

  AsyncFile *b = nullptr;
  AsyncFile_Create(&b);
  ASSERT_EQ(AsyncFile_Open(b, pathB.c_str(), 0x3), 1);
  EXPECT_EQ(AsyncFile_GetDescriptorForTest(b), formerA);
  latch.open.store(1);
  ASSERT_TRUE(done.waitFor(32));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(done.count.load(), 32);
  for (const auto &call : done.calls) {
    EXPECT_EQ(call.error, 6u);
    EXPECT_EQ(call.bytes, 0u);
  }
  EXPECT_EQ(readWhole(pathB), contentsB);
  EXPECT_EQ(readWhole(pathA), "");
  AsyncFile_Close(b);
  AsyncFile_Release(&b);
  // The queued requests' references are gone; A lives on its creator's.
  EXPECT_EQ(AsyncFile_GetLiveCount(), liveWithA);
  AsyncFile_Release(&file_);
  EXPECT_EQ(AsyncFile_GetLiveCount(), liveWithA - 1);
}

TEST_F(AsyncFileThreaded, ConcurrentCloseAndOpenNeverMixFiles) {
  std::string contentsB(65536, 'B');
  std::string bytesA(8192, 'A');
  for (int round = 0; round < 200; round++) {
    SCOPED_TRACE(round);
    std::string pathA = dir_ / ("a" + std::to_string(round));
    std::string pathB = dir_ / ("b" + std::to_string(round));
    writeWhole(pathB, contentsB);
    AsyncFile *a = nullptr;
    AsyncFile_Create(&a);
    ASSERT_EQ(AsyncFile_Open(a, pathA.c_str(), 0x3), 1);
    Completions done;
    for (int i = 0; i < 8; i++)
      AsyncFile_Write(a, i * 8192, bytesA.data(), 8192, Completions::record, &done);
    AsyncFile_Close(a);
    AsyncFile_Release(&a);
    AsyncFile *b = nullptr;
    AsyncFile_Create(&b);
    ASSERT_EQ(AsyncFile_Open(b, pathB.c_str(), 0x3), 1);
    ASSERT_TRUE(done.waitFor(8));
    for (const auto &call : done.calls) {
      // Written whole before the close, or refused after it.
      EXPECT_TRUE((call.error == 0 && call.bytes == 8192) || (call.error == 6 && call.bytes == 0))
          << call.error << " " << call.bytes;
    }
    AsyncFile_Close(b);
    AsyncFile_Release(&b);
    EXPECT_EQ(readWhole(pathB), contentsB);
  }
}

// ---- Full disk -------------------------------------------------------------------

TEST(AsyncFileDiskFull, WritesThatDoNotFitReportDiskFull) {
  FsFaultTempDir dir;
  Thread_Init();
  FSFAULT_RUN([&](FsFaultChild &child) {
    std::string mount = dir / "small";
    if (!child.MountTmpfs(mount, "size=1M")) return;
    asyncFileStart();
    struct Row {
      const char *name;
      uint32_t flags;
      uint32_t piece;
    };
    // Buffered pieces that straddle the end; unbuffered aligned ones, which
    // go direct until the disk is full.
    const Row rows[] = {{"buffered", 0x2, 65536 + 100}, {"unbuffered", 0x102, 65536}};
    constexpr size_t kBytes = 2 << 20;
    char *data = nullptr;
    if (posix_memalign(reinterpret_cast<void **>(&data), 4096, kBytes) != 0) return;
    std::string bytes = pattern(kBytes, 4);
    memcpy(data, bytes.data(), kBytes);
    for (const Row &row : rows) {
      std::string path = mount + "/big";
      AsyncFile *file = nullptr;
      AsyncFile_Create(&file);
      FSF_EXPECT(child, AsyncFile_Open(file, path.c_str(), row.flags) == 1);
      Completions done;
      int pieces = 0;
      for (size_t at = 0; at < kBytes; at += row.piece, pieces++)
        AsyncFile_Write(file, int64_t(at), data + at,
                        uint32_t(std::min<size_t>(row.piece, kBytes - at)), Completions::record,
                        &done);
      FSF_EXPECT(child, done.waitFor(pieces));
      int full = 0;
      uint64_t written = 0;
      for (const auto &call : done.calls) {
        uint32_t size = uint32_t(std::min<size_t>(row.piece, kBytes - size_t(call.offset)));
        if (call.error == 0) {
          FSF_EXPECT_EQ(child, call.bytes, size);
        } else {
          FSF_EXPECT_EQ(child, call.error, 112u);
        }
        if (call.error == 112) full++;
        written += call.bytes;
      }
      if (full == 0) child.Fail(__FILE__, __LINE__, std::string(row.name) + ": no error 112");
      FSF_EXPECT(child, written <= (1u << 20));
      AsyncFile_Close(file);
      AsyncFile_Release(&file);
      unlink(path.c_str());
    }
    free(data);
    asyncFileStop();
  });
  Thread_Shutdown();
}

// A storage's last step may drop the last reference to its files on a pool
// thread while the host stops: after AsyncFile_Shutdown, before
// IOWorker_Shutdown joins the threads.
struct ReleaseAfterShutdown {
  LatchRequest hold;
  AsyncFile *file = nullptr;
  std::atomic<int> released{0};
  static int run(void *key, IOWorkerRequest *request) {
    auto *r = reinterpret_cast<ReleaseAfterShutdown *>(request);
    LatchRequest::hold(key, request);
    AsyncFile_Release(&r->file);
    r->released.store(1);
    return 1;
  }
};

TEST_F(AsyncFileThreaded, TheLastReleaseMayComeOnAPoolThreadAfterShutdown) {
  ASSERT_EQ(AsyncFile_Open(file_, (dir_ / "a").c_str(), 0x3), 1);
  Latch latch;
  ReleaseAfterShutdown release;
  release.hold.latch = &latch;
  release.hold.io.routine = ReleaseAfterShutdown::run;
  release.file = file_;
  file_ = nullptr;
  IOWorker_Post(&latch, &release.hold.io);
  ASSERT_TRUE(waitUntil([&] { return latch.inside.load() == 1; }));
  AsyncFile_Shutdown();
  latch.open.store(1);
  ASSERT_TRUE(waitUntil([&] { return release.released.load() == 1; }));
  AsyncFile_Init();
  EXPECT_EQ(AsyncFile_GetLiveCount(), 0);
}
