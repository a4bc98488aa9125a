// Tests of the tracked allocator: block layout and guards worked out
// independently, zero-fill, counts across Init/Shutdown cycles and threads,
// the leak report, the tracking checks and every reachable fatal path.
#include "core/runtime/memory.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/core.h"

namespace {

constexpr const char *kCallerPath = "caller.cpp";
constexpr int kCallerLine = 77;
#define AT_CALLER kCallerPath, kCallerLine

// Regular expressions for death-test messages. "%p" digits are not pinned.
const std::string kAddrRe = "0x[0-9A-Fa-fx]+";
const std::string kAtCallerRe = "caller\\.cpp/77";
const std::string kAtAllocatorRe = "core/runtime/memory\\.cpp/[0-9]+";

std::string lit(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (strchr("\\^$.|?*+()[]{}", c)) out += '\\';
    out += c;
  }
  return out;
}

// The whole abort text: message (ending in a newline) and position.
std::string abortRe(const std::string &messageRe, const std::string &whereRe) {
  return "ABORT - " + messageRe + "\n \\(" + whereRe + "\\)";
}

std::string corruptRe(int64_t size, const std::string &before, const std::string &after) {
  return lit("Memory corrupt (" + std::to_string(size) + ") <Addr:") + kAddrRe +
         " Before:" + before + " After:" + after + " Max:8>";
}

// Restores the flags at scope exit. While it lives a log record exists, so
// that lines reach stderr once a test sets the console flag.
struct FlagsGuard {
  uint32_t saved = Debug_Flags();
  Test_LogRecord log;
  ~FlagsGuard() { Core_SetFlags(saved); }
};

// One Init/Shutdown cycle; shut down at scope exit unless ended before.
class MemCycle {
 public:
  explicit MemCycle(int trackingOn) { Mem_Init(trackingOn); }
  ~MemCycle() { End(); }
  void End() {
    if (live_) Mem_Shutdown();
    live_ = false;
  }

 private:
  bool live_ = true;
};

struct Usage {
  int64_t count;
  int64_t bytes;
};

Usage usage() {
  Usage u{};
  Mem_GetUsage(&u.count, &u.bytes);
  return u;
}

// The layout, worked out without the allocator's own helpers.
int64_t expectedTotal(int64_t size) {
  int64_t raw = size + 16;
  return raw % 8 ? raw + 8 - raw % 8 : raw;
}

uint8_t *blockOf(void *p) { return static_cast<uint8_t *>(p) - 8; }

uint8_t *trailingGuardOf(void *p, int64_t size) { return blockOf(p) + expectedTotal(size) - 8; }

uint8_t expectedGuardByte(const uint8_t *block, int i) {
  return uint8_t(((reinterpret_cast<uintptr_t>(block) >> i) ^ 0xCC) & 0xFF);
}

// The tracking record as the allocator lays it out behind the trailing guard.
struct TrackRecord {
  const char *sourcePath;
  int32_t line;
  uint32_t flags;
  int64_t size;
  uint8_t *block;
  TrackRecord *next;
  TrackRecord *prev;
};

TrackRecord *recordOf(void *p, int64_t size) {
  return reinterpret_cast<TrackRecord *>(blockOf(p) + expectedTotal(size));
}

std::string hexBytes(const uint8_t *bytes, int count) {
  std::string out;
  char cell[4];
  for (int i = 0; i < count; i++) {
    snprintf(cell, sizeof cell, " %02X", bytes[i]);
    out += cell;
  }
  return out;
}

TEST(Memory, TotalsGuardsAndAlignmentFollowTheLayout) {
  struct Row {
    int64_t size;
    int64_t total;
  };
  const Row rows[] = {{1, 24},   {2, 24},   {4, 24},      {8, 24},       {9, 32},
                      {16, 32},  {17, 40},  {100, 120},   {4096, 4112},  {100001, 100024}};
  for (int tracking = 0; tracking <= 1; tracking++) {
    MemCycle cycle(tracking);
    for (const Row &row : rows) {
      SCOPED_TRACE("tracking " + std::to_string(tracking) + " size " + std::to_string(row.size));
      ASSERT_EQ(expectedTotal(row.size), row.total);
      auto *p = static_cast<uint8_t *>(Mem_Alloc(row.size, 1, KSRC));
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
      EXPECT_EQ(usage().count, 1);
      EXPECT_EQ(usage().bytes, row.total);
      uint8_t *block = blockOf(p);
      uint8_t *trailing = trailingGuardOf(p, row.size);
      for (int i = 0; i < 8; i++) {
        EXPECT_EQ(block[i], expectedGuardByte(block, i)) << "leading byte " << i;
        EXPECT_EQ(trailing[i], expectedGuardByte(block, i)) << "trailing byte " << i;
      }
      if (tracking) {
        EXPECT_EQ(recordOf(p, row.size)->size, row.size);
        EXPECT_EQ(recordOf(p, row.size)->block, block);
        EXPECT_EQ(recordOf(p, row.size)->flags, 1u);
      }
      memset(p, 0x5A, size_t(row.size));
      Mem_Free(p, row.size, KSRC);
      EXPECT_EQ(usage().count, 0);
      EXPECT_EQ(usage().bytes, 0);
    }
  }
}

TEST(Memory, ChangedPaddingGoesUnnoticed) {
  MemCycle cycle(1);
  for (int64_t size : {1, 3, 7, 100}) {
    SCOPED_TRACE("size " + std::to_string(size));
    auto *p = static_cast<uint8_t *>(Mem_Alloc(size, 1, KSRC));
    for (uint8_t *pad = p + size; pad < trailingGuardOf(p, size); pad++) *pad ^= 0xFF;
    EXPECT_EQ(Mem_CheckBlock(0, blockOf(p), size, KSRC), 1);
    EXPECT_EQ(Mem_CheckAll(), 1);
    Mem_Free(p, size, KSRC);
  }
  EXPECT_EQ(usage().count, 0);
}

// The report names the damaged bytes exactly: expected guard, the damaged
// guard and, behind the trailing one, the start of the tracking record.
TEST(Memory, CheckBlockReportsDamageWithoutStopping) {
  MemCycle cycle(1);
  FlagsGuard flags;
  Core_SetFlags(kCoreFlagWindow);
  struct Row {
    int offset;  // from the pointer handed out
    int before, after;
  };
  for (const Row &row : {Row{8, 0, 1}, Row{15, 0, 1}, Row{-1, 1, 0}, Row{-8, 1, 0}}) {
    SCOPED_TRACE("offset " + std::to_string(row.offset));
    auto *p = static_cast<uint8_t *>(Mem_Alloc(8, 1, KSRC));
    uint8_t *block = blockOf(p);
    p[row.offset] ^= 0x01;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Mem_CheckBlock(0, block, 8, KSRC), 0);
    std::string out = testing::internal::GetCapturedStderr();
    std::string counts = " Before:" + std::to_string(row.before) +
                         " After:" + std::to_string(row.after) + " Max:8>\n";
    EXPECT_NE(out.find("DEBUG - Memory corrupt (8) <Addr:0x"), std::string::npos) << out;
    EXPECT_NE(out.find(counts), std::string::npos) << out;
    uint8_t expected[8];
    for (int i = 0; i < 8; i++) expected[i] = expectedGuardByte(block, i);
    EXPECT_NE(out.find("Expected:" + hexBytes(expected, 8) + "\n"), std::string::npos) << out;
    if (row.before) {
      EXPECT_NE(out.find("Prior corruption:" + hexBytes(block, 16) + "\n"), std::string::npos)
          << out;
    }
    if (row.after) {
      EXPECT_NE(out.find("After corruption:" + hexBytes(trailingGuardOf(p, 8), 16) + "\n"),
                std::string::npos)
          << out;
    }
    p[row.offset] ^= 0x01;
    Mem_Free(p, 8, KSRC);
  }
}

TEST(Memory, ZeroedFlagZeroFills) {
  const int64_t sizes[] = {1, 24, 1000, 70000, 1 << 20};
  for (int tracking = 0; tracking <= 1; tracking++) {
    MemCycle cycle(tracking);
    for (uint32_t flags : {MEM_ZEROED, MEM_ZEROED | 1u}) {
      // Dirty the heap first, so zeros cannot come from fresh pages alone.
      for (int64_t size : sizes) {
        void *dirty = Mem_Alloc(size, 1, KSRC);
        memset(dirty, 0xA5, size_t(size));
        Mem_Free(dirty, size, KSRC);
      }
      for (int64_t size : sizes) {
        SCOPED_TRACE("tracking " + std::to_string(tracking) + " flags " + std::to_string(flags) +
                     " size " + std::to_string(size));
        auto *p = static_cast<uint8_t *>(Mem_Alloc(size, flags, KSRC));
        EXPECT_EQ(std::count(p, p + size, 0), size);
        if (tracking) {
          EXPECT_EQ(recordOf(p, size)->flags, flags);
        }
        Mem_Free(p, size, KSRC);
      }
    }
    EXPECT_EQ(usage().count, 0);
  }
}

// Shutdown reports what is still live, counts and bytes; the blocks stay
// usable and are freed afterwards with guard checks only.
TEST(Memory, LeakWarningGivesCountAndBytes) {
  FlagsGuard flags;
  Core_SetFlags(kCoreFlagWindow);
  for (int tracking = 0; tracking <= 1; tracking++) {
    SCOPED_TRACE("tracking " + std::to_string(tracking));
    MemCycle cycle(tracking);
    int lineA = __LINE__ + 1;
    void *a = Mem_Alloc(10, 1, __FILE__, lineA);  // total 32
    void *b = Mem_Alloc(100, MEM_ZEROED, KSRC);   // total 120
    void *c = Mem_Alloc(1000, 1, KSRC);           // total 1016, freed before the end
    Mem_Free(c, 1000, KSRC);
    testing::internal::CaptureStderr();
    cycle.End();
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("WARNING - Not all memory was free'd (2 / 152b)\n"), std::string::npos)
        << out;
    if (tracking) {
      // The peak includes the block that made it: 3 blocks, 1168 bytes.
      EXPECT_NE(out.find("DEBUG - Maximum Memory in use (3 / 1k)\n"), std::string::npos) << out;
      std::string dumpA = "alloc'd from [Line " + std::to_string(lineA) +
                          "/core/runtime/memory_test.cpp] [10/0x00000001]\n";
      EXPECT_NE(out.find(dumpA), std::string::npos) << out;
      EXPECT_NE(out.find("[100/0x00000002]\n"), std::string::npos) << out;
      EXPECT_EQ(out.find("[1000/"), std::string::npos) << out;
    }
    Mem_Free(a, 10, KSRC);
    Mem_Free(b, 100, KSRC);
  }

  MemCycle clean(1);
  Mem_Free(Mem_Alloc(10, 1, KSRC), 10, KSRC);
  testing::internal::CaptureStderr();
  clean.End();
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.find("Not all memory"), std::string::npos) << out;
  EXPECT_NE(out.find("Maximum Memory in use (1 / 0k)"), std::string::npos) << out;
}

TEST(Memory, ReportOptionLogsEveryCall) {
  FlagsGuard flags;
  Core_SetFlags(kCoreFlagWindow | kCoreFlagMemoryReport);
  testing::internal::CaptureStderr();
  int line = __LINE__ + 1;
  void *p = Mem_Alloc(24, 1, __FILE__, line);
  Mem_Free(p, 24, "caller.cpp", 77);
  std::string out = testing::internal::GetCapturedStderr();
  std::string where = ":         24 [core/runtime/memory_test.cpp / " + std::to_string(line) + "]\n";
  EXPECT_NE(out.find("DEBUG - -- Alloc 0x"), std::string::npos) << out;
  EXPECT_NE(out.find(where), std::string::npos) << out;
  EXPECT_NE(out.find("DEBUG - -- Free  0x"), std::string::npos) << out;
  EXPECT_NE(out.find(":         24 [caller.cpp / 77]\n"), std::string::npos) << out;
}

TEST(Memory, ManyBlocksFreedInRandomOrderPassTheFullCheck) {
  constexpr int kBlocks = 10000;
  const uint32_t seed = 20240611;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  FlagsGuard flags;
  Core_SetFlags(kCoreFlagMemoryTest);  // every call walks the whole list
  MemCycle cycle(1);

  struct Live {
    uint8_t *p;
    int64_t size;
    uint8_t fill;
  };
  std::vector<Live> live;
  int64_t bytes = 0;
  for (int i = 0; i < kBlocks; i++) {
    int64_t size = 1 + int64_t(random() % 300);
    auto fill = uint8_t(random());
    auto *p = static_cast<uint8_t *>(Mem_Alloc(size, i % 2 ? MEM_ZEROED : 1, KSRC));
    memset(p, fill, size_t(size));
    live.push_back({p, size, fill});
    bytes += expectedTotal(size);
  }
  EXPECT_EQ(usage().count, kBlocks);
  EXPECT_EQ(usage().bytes, bytes);
  std::shuffle(live.begin(), live.end(), random);
  for (size_t i = 0; i < live.size(); i++) {
    const Live &block = live[i];
    // No block overlaps another or its record.
    ASSERT_EQ(std::count(block.p, block.p + block.size, block.fill), block.size) << i;
    Mem_Free(block.p, block.size, KSRC);
    bytes -= expectedTotal(block.size);
    if (i % 1000 == 0) {
      EXPECT_EQ(Mem_CheckAll(), 1);
      EXPECT_EQ(usage().count, int64_t(live.size() - i - 1));
      EXPECT_EQ(usage().bytes, bytes);
    }
  }
  EXPECT_EQ(Mem_CheckAll(), 1);
  EXPECT_EQ(usage().count, 0);
  EXPECT_EQ(usage().bytes, 0);
}

// A block made before Mem_Init, or in an earlier cycle, has no place in the
// current counts or list: freeing it later changes neither.
TEST(Memory, BlocksFromOtherCyclesLeaveCountsExact) {
  constexpr int kNone = -1;
  struct Row {
    int before;  // tracking of the cycle that made the old block, or kNone
    int now;
  };
  const Row rows[] = {{kNone, 0}, {kNone, 1}, {0, 0}, {0, 1}, {1, 0}, {1, 1}};
  for (const Row &row : rows) {
    SCOPED_TRACE("before " + std::to_string(row.before) + " now " + std::to_string(row.now));
    if (row.before != kNone) Mem_Init(row.before);
    void *old = Mem_Alloc(40, 1, KSRC);
    if (row.before != kNone) Mem_Shutdown();

    MemCycle cycle(row.now);
    void *older = Mem_Alloc(300, 1, KSRC);
    void *fresh = Mem_Alloc(24, 1, KSRC);
    const Usage expected{2, expectedTotal(300) + expectedTotal(24)};
    Mem_Free(old, 40, KSRC);
    EXPECT_EQ(usage().count, expected.count);
    EXPECT_EQ(usage().bytes, expected.bytes);
    EXPECT_EQ(Mem_CheckAll(), row.now);
    Mem_Free(fresh, 24, KSRC);
    Mem_Free(older, 300, KSRC);
    EXPECT_EQ(usage().count, 0);
    EXPECT_EQ(usage().bytes, 0);
  }
}

TEST(Memory, CheckAllAndLockNeedTheRecord) {
  EXPECT_EQ(Mem_CheckAll(), 0);
  EXPECT_EQ(Mem_Lock(), 0);
  EXPECT_EQ(Mem_Unlock(), 0);
  {
    MemCycle cycle(0);
    EXPECT_EQ(Mem_CheckAll(), 0);
    EXPECT_EQ(Mem_IsPlausible(reinterpret_cast<void *>(0x10)), 1);
    EXPECT_EQ(Mem_Lock(), 1);
    EXPECT_EQ(Mem_Unlock(), 1);
  }
  MemCycle cycle(1);
  void *p = Mem_Alloc(8, 1, KSRC);
  EXPECT_EQ(Mem_CheckAll(), 1);
  EXPECT_EQ(Mem_IsPlausible(p), 1);
  EXPECT_EQ(Mem_IsPlausible(reinterpret_cast<void *>(0x10)), 0);
  Mem_Free(p, 8, KSRC);
}

// Four threads, 10^5 alloc/free pairs each, every thread keeping a window of
// live blocks so the list always has neighbours made by other threads.
TEST(MemoryThreaded, FourThreadsEndWithExactCounts) {
  constexpr int kThreads = 4;
  constexpr int kPairs = 100000;
  constexpr int kWindow = 16;
  for (int tracking = 0; tracking <= 1; tracking++) {
    SCOPED_TRACE("tracking " + std::to_string(tracking));
    MemCycle cycle(tracking);
    struct Kept {
      std::vector<std::pair<void *, int64_t>> blocks;
      int64_t bytes = 0;
    };
    std::vector<Kept> kept(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
      threads.emplace_back([t, &kept] {
        std::vector<std::pair<void *, int64_t>> window;
        uint32_t state = 0x9E3779B9u * uint32_t(t + 1);
        for (int i = 0; i < kPairs; i++) {
          state = state * 1664525u + 1013904223u;
          int64_t size = 16 + int64_t(state >> 24) % 241;
          window.emplace_back(Mem_Alloc(size, 1, KSRC), size);
          if (window.size() > kWindow) {
            Mem_Free(window.front().first, window.front().second, KSRC);
            window.erase(window.begin());
          }
        }
        for (auto &block : window) kept[t].bytes += expectedTotal(block.second);
        kept[t].blocks = std::move(window);
      });
    }
    for (auto &thread : threads) thread.join();
    int64_t bytes = 0;
    for (const Kept &k : kept) bytes += k.bytes;
    EXPECT_EQ(usage().count, kThreads * kWindow);
    EXPECT_EQ(usage().bytes, bytes);
    EXPECT_EQ(Mem_CheckAll(), tracking);
    for (const Kept &k : kept)
      for (auto &block : k.blocks) Mem_Free(block.first, block.second, KSRC);
    EXPECT_EQ(usage().count, 0);
    EXPECT_EQ(usage().bytes, 0);
  }
}

// A block freed while its thread ends, after the thread's own counters were
// folded away, still leaves the count exact.
TEST(MemoryThreaded, FreeDuringThreadExitKeepsCountsExact) {
  struct FreeAtExit {
    void *p = nullptr;
    ~FreeAtExit() {
      if (p) Mem_Free(p, 100, KSRC);
    }
  };
  MemCycle cycle(0);
  std::thread worker([] {
    // Made before the thread's counters, so it is destroyed after them.
    thread_local FreeAtExit holder;
    holder.p = Mem_Alloc(100, 1, KSRC);
    Mem_Free(Mem_Alloc(8, 1, KSRC), 8, KSRC);
  });
  worker.join();
  EXPECT_EQ(usage().count, 0);
  EXPECT_EQ(usage().bytes, 0);
  void *p = Mem_Alloc(16, 1, KSRC);
  EXPECT_EQ(usage().count, 1);
  EXPECT_EQ(usage().bytes, 32);
  Mem_Free(p, 16, KSRC);
}

TEST(MemoryDeathTest, DamagedGuardStopsTheFree) {
  struct Row {
    int tracking;
    int64_t size;
    int offset;  // of the changed byte, from the pointer handed out
    const char *before, *after;
  };
  const Row rows[] = {
      {0, 8, 8, "0", "1"},    // the byte right after the data
      {1, 8, 15, "0", "1"},   {0, 1, 8, "0", "1"},  {1, 100, 104, "0", "1"},
      {0, 16, -1, "1", "0"},  {1, 16, -8, "1", "0"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE("tracking " + std::to_string(row.tracking) + " size " +
                 std::to_string(row.size) + " offset " + std::to_string(row.offset));
    MemCycle cycle(row.tracking);
    auto *p = static_cast<uint8_t *>(Mem_Alloc(row.size, 1, KSRC));
    EXPECT_DEATH(
        {
          p[row.offset] ^= 0x40;
          Mem_Free(p, row.size, AT_CALLER);
        },
        abortRe(corruptRe(row.size, row.before, row.after), kAtCallerRe));
    Mem_Free(p, row.size, KSRC);
  }
}

TEST(MemoryDeathTest, WrongSizeWithTrackingStopsBeforeReadingPastTheBlock) {
  struct Row {
    int64_t allocated, freed;
  };
  const Row rows[] = {{8, 7}, {8, 9}, {16, 1 << 20}, {4096, 1}, {24, int64_t(1) << 40}};
  MemCycle cycle(1);
  for (const Row &row : rows) {
    SCOPED_TRACE("allocated " + std::to_string(row.allocated) + " freed " +
                 std::to_string(row.freed));
    void *p = Mem_Alloc(row.allocated, 1, KSRC);
    EXPECT_DEATH(Mem_Free(p, row.freed, AT_CALLER),
                 abortRe(lit("Memory tracking mismatch (" + std::to_string(row.freed) + " / " +
                             std::to_string(row.allocated) + ") [") +
                             kAddrRe + " / " + kAddrRe + "\\]",
                         kAtCallerRe));
    Mem_Free(p, row.allocated, KSRC);
  }
  // The live list is dumped before the stop.
  FlagsGuard flags;
  int line = __LINE__ + 1;
  void *p = Mem_Alloc(8, 1, KSRC);
  EXPECT_DEATH(
      {
        Core_SetFlags(kCoreFlagWindow);
        Mem_Free(p, 9, AT_CALLER);
      },
      "DEBUG - Memory Tracking: " + kAddrRe + lit(" alloc'd from [Line " + std::to_string(line) +
                                                 "/core/runtime/memory_test.cpp] [8/0x00000001]\n") +
          "(.|\n)*ABORT - Memory tracking mismatch");
  Mem_Free(p, 8, KSRC);
}

// Without a record the guard check finds a wrong size: the trailing guard is
// not where the size puts it. A size beyond the block reads nothing there.
TEST(MemoryDeathTest, WrongSizeWithoutRecordStopsAtTheGuard) {
  struct Row {
    int tracking;  // -1: no memory record at all
    int64_t allocated, freed;
    const char *after;
  };
  const Row rows[] = {{-1, 8, 9, "8"},        {0, 8, 9, "8"},
                      {0, 16, 1 << 20, "8"},  {0, 24, int64_t(1) << 40, "8"},
                      {0, 24, 8, "[0-8]"},    {-1, 4096, 1, "[0-8]"}};
  for (const Row &row : rows) {
    SCOPED_TRACE("tracking " + std::to_string(row.tracking) + " allocated " +
                 std::to_string(row.allocated) + " freed " + std::to_string(row.freed));
    if (row.tracking >= 0) Mem_Init(row.tracking);
    void *p = Mem_Alloc(row.allocated, MEM_ZEROED, KSRC);
    EXPECT_DEATH(Mem_Free(p, row.freed, AT_CALLER),
                 abortRe(corruptRe(row.freed, "0", row.after), kAtCallerRe));
    Mem_Free(p, row.allocated, KSRC);
    if (row.tracking >= 0) Mem_Shutdown();
  }
}

TEST(MemoryDeathTest, SecondFreeStops) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reports the second free itself";
#else
  for (int tracking = 0; tracking <= 1; tracking++) {
    for (int64_t size : {8, 200, 3000}) {
      SCOPED_TRACE("tracking " + std::to_string(tracking) + " size " + std::to_string(size));
      MemCycle cycle(tracking);
      void *keep = Mem_Alloc(64, 1, KSRC);  // the freed block is not the only one
      EXPECT_DEATH(
          {
            void *p = Mem_Alloc(size, 1, KSRC);
            Mem_Free(p, size, KSRC);
            Mem_Free(p, size, AT_CALLER);
          },
          abortRe(corruptRe(size, "[1-8]", "[0-8]"), kAtCallerRe));
      Mem_Free(keep, 64, KSRC);
    }
  }
#endif
}

TEST(MemoryDeathTest, InvalidSizesAndNullStop) {
  for (int64_t size : {int64_t(0), int64_t(-1), INT64_MIN, INT64_MAX, (int64_t(1) << 55) + 1}) {
    SCOPED_TRACE("size " + std::to_string(size));
    std::string re = abortRe(lit("Invalid Memory Size (" + std::to_string(size) + ")"), kAtCallerRe);
    EXPECT_DEATH(Mem_Alloc(size, 1, AT_CALLER), re);
    EXPECT_DEATH(Mem_Alloc(size, MEM_ZEROED, AT_CALLER), re);
    void *p = Mem_Alloc(8, 1, KSRC);
    EXPECT_DEATH(Mem_Free(p, size, AT_CALLER), re);
    EXPECT_DEATH(Mem_CheckBlock(1, blockOf(p), size, AT_CALLER), re);
    Mem_Free(p, 8, KSRC);
  }
  EXPECT_DEATH(Mem_Free(nullptr, 8, AT_CALLER),
               abortRe(lit("No Memory address to free (8 / 24)"), kAtCallerRe));
  EXPECT_DEATH(Mem_Free(nullptr, 0, AT_CALLER),
               abortRe(lit("Invalid Memory Size (0)"), kAtCallerRe));
}

TEST(MemoryDeathTest, ExhaustedHeapStops) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer stops on a request this large before malloc can fail";
#else
  const int64_t size = int64_t(1) << 50;  // more than any machine's memory and swap
  for (int tracking : {-1, 0, 1}) {
    SCOPED_TRACE("tracking " + std::to_string(tracking));
    if (tracking >= 0) Mem_Init(tracking);
    std::string sizes = "(" + std::to_string(size) + " / " + std::to_string(size + 16) + ")";
    EXPECT_DEATH(Mem_Alloc(size, 1, AT_CALLER),
                 abortRe(lit("No Memory available " + sizes), kAtCallerRe));
    EXPECT_DEATH(Mem_Alloc(size, MEM_ZEROED, AT_CALLER),
                 abortRe(lit("No Zeroed Memory available " + sizes), kAtCallerRe));
    if (tracking >= 0) Mem_Shutdown();
  }
#endif
}

TEST(MemoryDeathTest, SecondInitStops) {
  MemCycle cycle(0);
  EXPECT_DEATH(Mem_Init(1), "ABORT - " +
                               lit("Assertion failed (GlobalMemory == NULL)\n"
                                   "Memory already initialized (") +
                               kAtAllocatorRe + "\\)");
}

TEST(MemoryDeathTest, CheckBlockOutsideTheTrackedRangeStops) {
  MemCycle cycle(1);
  void *p = Mem_Alloc(8, 1, KSRC);
  EXPECT_DEATH(Mem_CheckBlock(1, reinterpret_cast<void *>(0x10), 8, AT_CALLER),
               abortRe(lit("Invalid memory address (8) <From:") + kAddrRe + " To:" + kAddrRe + ">",
                       kAtCallerRe));
  Mem_Free(p, 8, KSRC);
}

// Three tracked blocks, a (oldest) to c (the head); each row damages the list
// in a child and frees a block or checks the whole list.
TEST(MemoryDeathTest, DamagedTrackingListStops) {
  FlagsGuard flags;  // the dumps before the stops are log lines
  MemCycle cycle(1);
  uint8_t *a = static_cast<uint8_t *>(Mem_Alloc(24, 1, KSRC));
  uint8_t *b = static_cast<uint8_t *>(Mem_Alloc(40, 1, KSRC));
  uint8_t *c = static_cast<uint8_t *>(Mem_Alloc(8, 1, KSRC));
  TrackRecord *ra = recordOf(a, 24), *rb = recordOf(b, 40), *rc = recordOf(c, 8);
  ASSERT_EQ(rc->next, rb);
  ASSERT_EQ(rb->prev, rc);
  ASSERT_EQ(rb->next, ra);
  ASSERT_EQ(ra->prev, rb);
  auto *implausible = reinterpret_cast<TrackRecord *>(0x10);
  const std::string a3 = kAddrRe + "->" + kAddrRe + "->" + kAddrRe;
  const std::string a2 = kAddrRe + "->" + kAddrRe;

  EXPECT_DEATH({ rc->next = implausible; Mem_Free(c, 8, AT_CALLER); },
               abortRe("Tracker next invalid address <" + a2 + ">", kAtAllocatorRe));
  EXPECT_DEATH({ ra->prev = implausible; Mem_Free(a, 24, AT_CALLER); },
               abortRe("Tracker prev invalid address <" + a2 + ">", kAtAllocatorRe));
  EXPECT_DEATH({ rb->block = reinterpret_cast<uint8_t *>(0x10); Mem_Free(b, 40, AT_CALLER); },
               abortRe("Tracker pointer invalid address <" + a2 + ">", kAtAllocatorRe));
  // A record whose size no longer leads from its block to itself.
  EXPECT_DEATH({ rb->size = int64_t(1) << 40; Mem_CheckAll(); },
               abortRe("Tracker pointer invalid address <" + a2 + ">", kAtAllocatorRe));
  EXPECT_DEATH({ rc->next = ra; Mem_Free(c, 8, AT_CALLER); },
               abortRe("Tracker next invalid link <" + a3 + ">", kAtCallerRe));
  EXPECT_DEATH({ ra->prev = rc; Mem_Free(a, 24, AT_CALLER); },
               abortRe("Tracker prev invalid link <" + a3 + ">", kAtCallerRe));
  // The hidden word before the leading guard names a record outside the range.
  EXPECT_DEATH(
      {
        uint64_t hidden;
        memcpy(&hidden, b - 16, 8);
        hidden = (hidden & 0xFF00000000000007ull) | 0x10;
        memcpy(b - 16, &hidden, 8);
        Mem_Free(b, 40, AT_CALLER);
      },
      abortRe("Tracker invalid address <" + kAddrRe + ">", kAtAllocatorRe));
  EXPECT_DEATH({ rc->next = implausible; Mem_CheckAll(); },
               abortRe("Tracker next invalid address <" + a2 + ">", kAtAllocatorRe));
  EXPECT_DEATH({ rb->next = nullptr; Mem_CheckAll(); },
               abortRe(lit("Check mismatch of allocation count (3 != 2)"), kAtAllocatorRe));
  // A loop whose links agree both ways ends the walk as a count mismatch.
  EXPECT_DEATH({ ra->next = rc; rc->prev = ra; Mem_CheckAll(); },
               abortRe(lit("Check mismatch of allocation count (3 != 4)"), kAtAllocatorRe));
  EXPECT_DEATH({ a[24] ^= 1; c[8] ^= 1; Mem_CheckAll(); },
               abortRe(lit("Failure in internal memory check (2 blocks failed)"), kAtAllocatorRe));
  // With memorytest every call checks the whole list first.
  EXPECT_DEATH(
      {
        b[-3] ^= 1;
        Core_SetFlags(kCoreFlagMemoryTest);
        Mem_Alloc(1, 1, KSRC);
      },
      abortRe(lit("Failure in internal memory check (1 blocks failed)"), kAtAllocatorRe));
  // The dump before the stop ends at the damaged link instead of following it.
  EXPECT_DEATH(
      {
        Core_SetFlags(kCoreFlagWindow);
        rb->next = implausible;
        Mem_Free(b, 40, AT_CALLER);
      },
      "\\[8/0x00000001\\]\n.*\\[40/0x00000001\\]\n.*ABORT - Tracker next invalid address");

  Mem_Free(a, 24, KSRC);
  Mem_Free(b, 40, KSRC);
  Mem_Free(c, 8, KSRC);
}

}  // namespace
