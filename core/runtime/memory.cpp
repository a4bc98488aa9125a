// Tracked allocator; see memory.h.
#include "core/runtime/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/runtime/critsection.h"
#include "core/runtime/log.h"
#include "core/runtime/print.h"

namespace {

constexpr int64_t kGuardBytes = 8;
constexpr int64_t kHiddenBytes = 8;  // the word before the leading guard

// The hidden word: the top byte is the stamp of the Init/Shutdown cycle that
// counted the block (0: none), the low two bits its kind, and bits 3-55 the
// block's total, or for a tracked block its record's address (records are
// 8-aligned and user-space addresses fit in 56 bits; the record lies at block
// + total). So a free learns from the block itself whether it is counted or
// listed now and how long it really is: a block from another cycle is left
// out of the counts without reading a record of a list that is gone, and a
// wrong size is found without reading past the block. (The stamp repeats
// after 256 cycles; a block that old would be taken for a current one.)
constexpr uint64_t kHiddenUncounted = 0;
constexpr uint64_t kHiddenCounted = 1;
constexpr uint64_t kHiddenTracked = 2;
constexpr uint64_t kHiddenKindMask = 3;
constexpr int kHiddenStampShift = 56;
constexpr uint64_t kHiddenValueMask = ((uint64_t(1) << kHiddenStampShift) - 1) & ~uint64_t(7);
constexpr uint64_t kHiddenStampMask = ~((uint64_t(1) << kHiddenStampShift) - 1);

// Tracking record, right behind the trailing guard. Field order is the one
// the dumps and the tests rely on.
struct MemRecord {
  const char *sourcePath;  // the caller's constant text
  int32_t line;
  uint32_t flags;
  int64_t size;            // -1 once freed
  uint8_t *block;          // address of the leading guard
  MemRecord *next;         // older record
  MemRecord *prev;         // newer record
};

// The largest size whose total still fits in the hidden word; far beyond any
// heap, so only a garbage size (or an overflowing sum) meets it.
constexpr int64_t kMaxSize = int64_t(1) << 55;

struct GlobalMemoryRecord {
  int trackingOn = 0;
  uint64_t stamp = 0;  // this cycle's stamp, already in the hidden word's top byte
  CriticalSection *lock = nullptr;
  // Tracking on; guarded by lock:
  int64_t liveCount = 0;
  int64_t liveBytes = 0;  // sum of totals
  int64_t peakCount = 0;
  int64_t peakBytes = 0;
  uintptr_t lowestBlock = 0;
  uintptr_t highestRecord = 0;
  MemRecord *head = nullptr;
  // Tracking off: the sums of the per-thread counters at Mem_Init.
  int64_t baseCount = 0;
  int64_t baseBytes = 0;
};

GlobalMemoryRecord gMemoryRecord;
std::atomic<GlobalMemoryRecord *> gMemory{nullptr};
uint64_t gCycle = 0;  // bumped by every Mem_Init

// Live count and bytes without tracking. Each thread adds into its own
// counters, on their own cache line, with a plain load and store: one shared
// pair of atomic adds costs more than malloc and free together, and threads
// fight over its line. Readers sum all threads' counters; a block freed on
// another thread is subtracted there, so only the sum means anything. The
// sums only grow across cycles: Mem_Init notes them as the new zero.
struct alignas(64) MemThreadCounts {
  std::atomic<int64_t> count{0};
  std::atomic<int64_t> bytes{0};
  MemThreadCounts *next = nullptr;  // guarded by gCountsLock
};

std::mutex gCountsLock;
MemThreadCounts *gCountsHead = nullptr;  // guarded by gCountsLock
// What ended threads counted, and what a thread counts while it ends (shared,
// so changed by atomic add).
MemThreadCounts gRetiredCounts;

thread_local MemThreadCounts *tCounts = nullptr;
thread_local bool tCountsRetired = false;

// A thread's counters: listed on first use, folded into gRetiredCounts when
// the thread ends.
struct MemThreadCountsOwner {
  MemThreadCounts counts;
  MemThreadCountsOwner() {
    std::lock_guard<std::mutex> guard(gCountsLock);
    counts.next = gCountsHead;
    gCountsHead = &counts;
  }
  ~MemThreadCountsOwner() {
    std::lock_guard<std::mutex> guard(gCountsLock);
    MemThreadCounts **link = &gCountsHead;
    while (*link != &counts) link = &(*link)->next;
    *link = counts.next;
    gRetiredCounts.count.fetch_add(counts.count.load(std::memory_order_relaxed));
    gRetiredCounts.bytes.fetch_add(counts.bytes.load(std::memory_order_relaxed));
    tCounts = nullptr;
    tCountsRetired = true;
  }
};

inline void memCountInto(MemThreadCounts *c, int64_t count, int64_t bytes) {
  c->count.store(c->count.load(std::memory_order_relaxed) + count, std::memory_order_relaxed);
  c->bytes.store(c->bytes.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
}

void memCountSlow(int64_t count, int64_t bytes) {
  if (tCountsRetired) {
    gRetiredCounts.count.fetch_add(count, std::memory_order_relaxed);
    gRetiredCounts.bytes.fetch_add(bytes, std::memory_order_relaxed);
    return;
  }
  thread_local MemThreadCountsOwner owner;
  tCounts = &owner.counts;
  memCountInto(tCounts, count, bytes);
}

inline void memCount(int64_t count, int64_t bytes) {
  if (MemThreadCounts *c = tCounts) memCountInto(c, count, bytes);
  else memCountSlow(count, bytes);
}

void memCountSums(int64_t *count, int64_t *bytes) {
  std::lock_guard<std::mutex> guard(gCountsLock);
  *count = gRetiredCounts.count.load(std::memory_order_relaxed);
  *bytes = gRetiredCounts.bytes.load(std::memory_order_relaxed);
  for (const MemThreadCounts *c = gCountsHead; c != nullptr; c = c->next) {
    *count += c->count.load(std::memory_order_relaxed);
    *bytes += c->bytes.load(std::memory_order_relaxed);
  }
}

// The live count and bytes of the cycle m.
void memUsage(GlobalMemoryRecord *m, int64_t *count, int64_t *bytes) {
  if (m->trackingOn) {
    CriticalSection_Enter(m->lock);
    *count = m->liveCount;
    *bytes = m->liveBytes;
    CriticalSection_Leave(m->lock);
    return;
  }
  memCountSums(count, bytes);
  *count -= m->baseCount;
  *bytes -= m->baseBytes;
}

// Total of guards, data and padding: size + 16 rounded up to 8. The caller has
// checked that size lies in 1..kMaxSize.
inline int64_t memTotal(int64_t size) { return (size + 2 * kGuardBytes + 7) & ~int64_t(7); }

inline bool memSizeValid(int64_t size) { return size >= 1 && size <= kMaxSize; }

// The eight guard bytes of a block as one word; byte i is ((address >> i)
// XOR 0xCC) AND 0xFF, so a block copied elsewhere fails its check. Byte i of
// (address << 7i) holds address bits i..i+7: eight constant shifts, no loop,
// because this runs twice per allocation pair.
inline uint64_t memGuardWord(const uint8_t *block) {
  uint64_t a = reinterpret_cast<uintptr_t>(block);
  uint64_t word = (a & 0xFF) | ((a << 7) & 0xFF00) | ((a << 14) & 0xFF0000) |
                  ((a << 21) & 0xFF000000) | ((a << 28) & 0xFF00000000) |
                  ((a << 35) & 0xFF0000000000) | ((a << 42) & 0xFF000000000000) |
                  ((a << 49) & 0xFF00000000000000);
  return word ^ 0xCCCCCCCCCCCCCCCCull;
}

inline uint64_t memLoad64(const uint8_t *p) {
  uint64_t value;
  memcpy(&value, p, 8);
  return value;
}

inline void memStore64(uint8_t *p, uint64_t value) { memcpy(p, &value, 8); }

inline uint64_t memHidden(const uint8_t *block) { return memLoad64(block - kHiddenBytes); }

// The block's record when the hidden word lists it in the current cycle.
inline MemRecord *memCurrentRecord(const GlobalMemoryRecord *m, uint64_t hidden) {
  if (m == nullptr || (hidden & kHiddenKindMask) != kHiddenTracked ||
      (hidden & kHiddenStampMask) != m->stamp)
    return nullptr;
  return reinterpret_cast<MemRecord *>(hidden & kHiddenValueMask);
}

inline bool memCountedNow(const GlobalMemoryRecord *m, uint64_t hidden) {
  return m != nullptr && (hidden & (kHiddenStampMask | kHiddenKindMask)) ==
                             (m->stamp | kHiddenCounted);
}

// The total the block was allocated with, as its hidden word tells it.
inline uint64_t memStoredTotal(const uint8_t *block, uint64_t hidden) {
  uint64_t value = hidden & kHiddenValueMask;
  if ((hidden & kHiddenKindMask) == kHiddenTracked)
    value -= reinterpret_cast<uintptr_t>(block);
  return value;
}

inline bool memReporting() { return (Debug_Flags() & kCoreFlagMemoryReport) != 0; }
inline bool memTesting() { return (Debug_Flags() & kCoreFlagMemoryTest) != 0; }

int memPlausible(const GlobalMemoryRecord *m, const void *address) {
  if (m == nullptr || !m->trackingOn) return 1;
  uintptr_t a = reinterpret_cast<uintptr_t>(address);
  return a >= m->lowestBlock && a <= m->highestRecord;
}

void memLogBytes(const char *label, const uint8_t *bytes, int count) {
  char line[128];
  int length = Str_Printf(line, sizeof line, "%s", label);
  for (int i = 0; i < count; i++)
    length += Str_Printf(line + length, int(sizeof line) - length, " %.2X", bytes[i]);
  Str_Printf(line + length, int(sizeof line) - length, "\n");
  Log_Print(LOG_DEBUG, KSRC, 0, "%s", line);
}

int memCountDamage(const uint8_t *guard, uint64_t expected) {
  int damaged = 0;
  for (int i = 0; i < 8; i++) damaged += guard[i] != uint8_t(expected >> (8 * i));
  return damaged;
}

// Logs the damage of a block whose guards do not match and stops (fatal) or
// returns 0. record is the block's tracking record, or NULL. storedTotal is
// the block's real total: where the caller's size puts the trailing guard
// outside the block, nothing there is read and all 8 bytes count as damaged.
int memReportCorrupt(int fatal, const uint8_t *block, int64_t size, uint64_t storedTotal,
                     const MemRecord *record, const char *sourcePath, int line) {
  int64_t total = memTotal(size);
  bool inside = uint64_t(total) <= storedTotal;
  uint64_t expected = memGuardWord(block);
  int before = memCountDamage(block, expected);
  int after = inside ? memCountDamage(block + total - kGuardBytes, expected) : 8;
  Log_Print(LOG_DEBUG, KSRC, 0, "Memory corrupt (%lld) <Addr:0x%p Before:%d After:%d Max:%d>\n",
            (long long)size, block + kGuardBytes, before, after, 8);
  uint8_t expectedBytes[8];
  memcpy(expectedBytes, &expected, 8);
  memLogBytes("Expected:", expectedBytes, 8);
  if (before) memLogBytes("Prior corruption:", block, 16);
  if (after) {
    uint8_t tail[16];
    int count = 0;
    if (inside) {
      memcpy(tail, block + total - kGuardBytes, 8);
      count = 8;
    }
    if (record && inside) {
      memcpy(tail + 8, record, 8);
      count = 16;
    }
    memLogBytes("After corruption:", tail, count);
  }
  if (fatal)
    Core_Abort(sourcePath, line, "Memory corrupt (%lld) <Addr:0x%p Before:%d After:%d Max:%d>\n",
               (long long)size, block + kGuardBytes, before, after, 8);
  return 0;
}

// Compares both guards; the trailing one lies where size puts it, which must
// be where the block's own total puts it.
inline int memCheckGuards(int fatal, const uint8_t *block, int64_t size, uint64_t storedTotal,
                          const MemRecord *record, const char *sourcePath, int line) {
  uint64_t expected = memGuardWord(block);
  int64_t total = memTotal(size);
  if (uint64_t(total) == storedTotal && memLoad64(block) == expected &&
      memLoad64(block + total - kGuardBytes) == expected)
    return 1;
  return memReportCorrupt(fatal, block, size, storedTotal, record, sourcePath, line);
}

// Also runs right before a fatal report about a damaged list, so it stops at
// a record outside the tracked range and walks no more records than are live.
void memDumpLocked(const GlobalMemoryRecord *m) {
  int64_t left = m->liveCount;
  for (const MemRecord *r = m->head; r != nullptr && left-- > 0 && memPlausible(m, r);
       r = r->next)
    Log_Print(LOG_DEBUG, KSRC, 0, "Memory Tracking: 0x%p alloc'd from [Line %d/%s] [%lld/0x%.8X]\n",
              r->block + kGuardBytes, r->line, r->sourcePath ? r->sourcePath : "",
              (long long)r->size, r->flags);
}

// A record lies right behind the block it describes; a record whose block or
// size says otherwise cannot be used to find the guards.
inline bool memRecordFits(const MemRecord *r) {
  return memSizeValid(r->size) &&
         reinterpret_cast<uintptr_t>(r->block) + uint64_t(memTotal(r->size)) ==
             reinterpret_cast<uintptr_t>(r);
}

// Validates a record and its links before anything is read through them. The
// first four failures are reported at the allocator's position, the others at
// the caller's; before each, the list of live blocks is dumped. Called with
// the memory lock held.
void memCheckRecord(GlobalMemoryRecord *m, const MemRecord *r, int64_t size, const uint8_t *block,
                    const char *sourcePath, int line) {
  auto stop = [m](const char *path, int at, const char *format, auto... args) {
    memDumpLocked(m);
    Core_Abort(path, at, format, args...);
  };
  if (!memPlausible(m, r)) stop(KSRC, "Tracker invalid address <0x%p>\n", r);
  if (r->next && !memPlausible(m, r->next))
    stop(KSRC, "Tracker next invalid address <0x%p->0x%p>\n", r, r->next);
  if (r->prev && !memPlausible(m, r->prev))
    stop(KSRC, "Tracker prev invalid address <0x%p->0x%p>\n", r, r->prev);
  if (!memPlausible(m, r->block) || !memRecordFits(r))
    stop(KSRC, "Tracker pointer invalid address <0x%p->0x%p>\n", r, r->block);
  if (r->next && r->next->prev != r)
    stop(sourcePath, line, "Tracker next invalid link <0x%p->0x%p->0x%p>\n", r, r->next,
         r->next->prev);
  if (r->prev && r->prev->next != r)
    stop(sourcePath, line, "Tracker prev invalid link <0x%p->0x%p->0x%p>\n", r, r->prev,
         r->prev->next);
  if (r->size != size || r->block != block)
    stop(sourcePath, line, "Memory tracking mismatch (%lld / %lld) [0x%p / 0x%p]\n",
         (long long)size, (long long)r->size, block, r->block);
}

void memLink(GlobalMemoryRecord *m, MemRecord *r) {
  r->prev = nullptr;
  r->next = m->head;
  if (m->head) m->head->prev = r;
  m->head = r;
}

void memUnlink(GlobalMemoryRecord *m, MemRecord *r) {
  if (r->prev) r->prev->next = r->next;
  else m->head = r->next;
  if (r->next) r->next->prev = r->prev;
}

// Lists a new block; its hidden word and guards are already written.
void memTrack(GlobalMemoryRecord *m, MemRecord *r, int64_t total) {
  CriticalSection_Enter(m->lock);
  if (memTesting()) Mem_CheckAll();
  memLink(m, r);
  uintptr_t low = reinterpret_cast<uintptr_t>(r->block);
  uintptr_t high = reinterpret_cast<uintptr_t>(r);
  if (m->lowestBlock == 0 || low < m->lowestBlock) m->lowestBlock = low;
  if (high > m->highestRecord) m->highestRecord = high;
  // Counted under the lock, so a check sees as many records as live blocks,
  // and the peaks include the block just made.
  m->liveCount += 1;
  m->liveBytes += total;
  if (m->liveCount > m->peakCount) m->peakCount = m->liveCount;
  if (m->liveBytes > m->peakBytes) m->peakBytes = m->liveBytes;
  CriticalSection_Leave(m->lock);
}

// Checks and unlists a block's record; the caller's size and block must be
// the recorded ones. The record is cleared afterwards.
void memUntrack(GlobalMemoryRecord *m, MemRecord *r, int64_t size, uint8_t *block,
                const char *sourcePath, int line) {
  CriticalSection_Enter(m->lock);
  if (memTesting()) Mem_CheckAll();
  memCheckRecord(m, r, size, block, sourcePath, line);
  memUnlink(m, r);
  r->size = -1;
  m->liveCount -= 1;
  m->liveBytes -= memTotal(size);
  CriticalSection_Leave(m->lock);
  memset(r, 0, sizeof *r);
}

}  // namespace

void *Mem_Alloc(int64_t size, uint32_t flags, const char *sourcePath, int line) {
  if (!memSizeValid(size))
    Core_Abort(sourcePath, line, "Invalid Memory Size (%lld)\n", (long long)size);

  GlobalMemoryRecord *m = gMemory.load(std::memory_order_acquire);
  bool tracking = m != nullptr && m->trackingOn;
  int64_t total = memTotal(size);
  int64_t bytes = kHiddenBytes + total + (tracking ? int64_t(sizeof(MemRecord)) : 0);
  void *raw = (flags & MEM_ZEROED) ? calloc(1, size_t(bytes)) : malloc(size_t(bytes));
  if (raw == nullptr)
    Core_Abort(sourcePath, line,
               (flags & MEM_ZEROED) ? "No Zeroed Memory available (%lld / %lld)\n"
                                    : "No Memory available (%lld / %lld)\n",
               (long long)size, (long long)total);

  uint8_t *block = static_cast<uint8_t *>(raw) + kHiddenBytes;
  uint64_t guard = memGuardWord(block);
  memStore64(block, guard);
  memStore64(block + total - kGuardBytes, guard);

  if (tracking) {
    auto *r = reinterpret_cast<MemRecord *>(block + total);
    *r = MemRecord{sourcePath, line, flags, size, block, nullptr, nullptr};
    memStore64(block - kHiddenBytes, m->stamp | reinterpret_cast<uint64_t>(r) | kHiddenTracked);
    memTrack(m, r, total);
  } else if (m) {
    memStore64(block - kHiddenBytes, m->stamp | uint64_t(total) | kHiddenCounted);
    memCount(1, total);
  } else {
    memStore64(block - kHiddenBytes, uint64_t(total) | kHiddenUncounted);
  }
  if (memReporting())
    Log_Print(LOG_DEBUG, KSRC, 0, "-- Alloc 0x%p: %10lld [%s / %d]\n", block + kGuardBytes,
              (long long)size, sourcePath ? sourcePath : "", line);
  return block + kGuardBytes;
}

int Mem_Free(void *pointer, int64_t size, const char *sourcePath, int line) {
  if (memReporting())
    Log_Print(LOG_DEBUG, KSRC, 0, "-- Free  0x%p: %10lld [%s / %d]\n", pointer, (long long)size,
              sourcePath ? sourcePath : "", line);
  if (!memSizeValid(size))
    Core_Abort(sourcePath, line, "Invalid Memory Size (%lld)\n", (long long)size);
  int64_t total = memTotal(size);
  if (pointer == nullptr)
    Core_Abort(sourcePath, line, "No Memory address to free (%lld / %lld)\n", (long long)size,
               (long long)total);

  uint8_t *block = static_cast<uint8_t *>(pointer) - kGuardBytes;
  GlobalMemoryRecord *m = gMemory.load(std::memory_order_acquire);
  uint64_t hidden = memHidden(block);
  uint64_t storedTotal = memStoredTotal(block, hidden);
  // The hidden word is trusted only behind an intact leading guard: a block
  // freed twice has heap bookkeeping (or the guard spoilt below) there.
  uint64_t guard = memGuardWord(block);
  if (memLoad64(block) != guard)
    memReportCorrupt(1, block, size, storedTotal, nullptr, sourcePath, line);

  if (MemRecord *r = memCurrentRecord(m, hidden)) {
    // The record is checked against the caller's size before the trailing
    // guard is looked for.
    memUntrack(m, r, size, block, sourcePath, line);
    memCheckGuards(1, block, size, storedTotal, r, sourcePath, line);
  } else {
    if (m && m->trackingOn && memTesting()) Mem_CheckAll();
    memCheckGuards(1, block, size, storedTotal, nullptr, sourcePath, line);
  }

  memStore64(block, ~guard);
  free(block - kHiddenBytes);
  if (memCountedNow(m, hidden)) memCount(-1, -total);
  return 0;
}

int Mem_CheckBlock(int fatal, const void *block, int64_t size, const char *sourcePath, int line) {
  if (!memSizeValid(size))
    Core_Abort(sourcePath, line, "Invalid Memory Size (%lld)\n", (long long)size);
  const auto *b = static_cast<const uint8_t *>(block);
  const void *end = reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(b) + uint64_t(size));
  if (!Mem_IsPlausible(b) || !Mem_IsPlausible(end))
    Core_Abort(sourcePath, line, "Invalid memory address (%lld) <From:0x%p To:0x%p>\n",
               (long long)size, b, end);
  uint64_t hidden = memHidden(b);
  const MemRecord *record = memCurrentRecord(gMemory.load(std::memory_order_acquire), hidden);
  return memCheckGuards(fatal, b, size, memStoredTotal(b, hidden), record, sourcePath, line);
}

int Mem_CheckAll(void) {
  GlobalMemoryRecord *m = gMemory.load(std::memory_order_acquire);
  if (m == nullptr || !m->trackingOn) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Memory tracking was not enabled\n");
    return 0;
  }
  CriticalSection_Enter(m->lock);
  int64_t records = 0;
  int failures = 0;
  int64_t live = m->liveCount;
  // A list that loops back on itself ends the walk as a count mismatch.
  for (const MemRecord *r = m->head; r != nullptr && records <= live; r = r->next) {
    memCheckRecord(m, r, r->size, r->block, KSRC);
    failures += !memCheckGuards(0, r->block, r->size, uint64_t(memTotal(r->size)), r, KSRC);
    records++;
  }
  if (failures) {
    memDumpLocked(m);
    Core_Abort(KSRC, "Failure in internal memory check (%d blocks failed)\n", failures);
  }
  if (records != live)
    Core_Abort(KSRC, "Check mismatch of allocation count (%lld != %lld)\n", (long long)live,
               (long long)records);
  CriticalSection_Leave(m->lock);
  return 1;
}

void Mem_DumpTracked(void) {
  GlobalMemoryRecord *m = gMemory.load(std::memory_order_acquire);
  if (m == nullptr || !m->trackingOn) return;
  CriticalSection_Enter(m->lock);
  memDumpLocked(m);
  CriticalSection_Leave(m->lock);
}

int Mem_IsPlausible(const void *address) {
  GlobalMemoryRecord *m = gMemory.load(std::memory_order_acquire);
  if (m == nullptr || !m->trackingOn) return 1;
  CriticalSection_Enter(m->lock);
  int plausible = memPlausible(m, address);
  CriticalSection_Leave(m->lock);
  return plausible;
}

void Mem_Init(int trackingOn) {
  if (gMemory.load() != nullptr)
    Core_Abort(KSRC, "Assertion failed (GlobalMemory == NULL)\nMemory already initialized");
  GlobalMemoryRecord *m = &gMemoryRecord;
  m->liveCount = m->liveBytes = 0;
  memCountSums(&m->baseCount, &m->baseBytes);
  m->trackingOn = trackingOn ? 1 : 0;
  m->stamp = (++gCycle & 0xFF) << kHiddenStampShift;
  m->peakCount = m->peakBytes = 0;
  m->lowestBlock = m->highestRecord = 0;
  m->head = nullptr;
  // Allocated while gMemory is still NULL, so the lock's own block is neither
  // counted nor tracked and can be freed after the list is gone.
  CriticalSection_Create(&m->lock);
  gMemory.store(m, std::memory_order_release);
}

void Mem_Shutdown(void) {
  GlobalMemoryRecord *m = gMemory.load();
  if (m == nullptr) return;
  // Detached first: the lock's own block is freed below, and that free must
  // find no memory record whose lock is already gone.
  gMemory.store(nullptr, std::memory_order_release);
  int64_t live, bytes;
  memUsage(m, &live, &bytes);
  if (m->trackingOn)
    Log_Print(LOG_DEBUG, KSRC, 0, "Maximum Memory in use (%lld / %lldk)\n",
              (long long)m->peakCount, (long long)(m->peakBytes / 1024));
  if (bytes != 0) {
    Log_Print(LOG_WARNING, KSRC, 0, "Not all memory was free'd (%lld / %lldb)\n",
              (long long)live, (long long)bytes);
    memDumpLocked(m);
  }
  CriticalSection_Delete(&m->lock);
}

int Mem_Lock(void) {
  GlobalMemoryRecord *m = gMemory.load(std::memory_order_acquire);
  if (m == nullptr || m->lock == nullptr) return 0;
  CriticalSection_Enter(m->lock);
  return 1;
}

int Mem_Unlock(void) {
  GlobalMemoryRecord *m = gMemory.load(std::memory_order_acquire);
  if (m == nullptr || m->lock == nullptr) return 0;
  CriticalSection_Leave(m->lock);
  return 1;
}

void Mem_GetUsage(int64_t *liveCount, int64_t *liveBytes) {
  GlobalMemoryRecord *m = gMemory.load(std::memory_order_acquire);
  int64_t count = 0, bytes = 0;
  if (m) memUsage(m, &count, &bytes);
  if (liveCount) *liveCount = count;
  if (liveBytes) *liveBytes = bytes;
}
