// Tracked allocator; see memory.h.
#include "core/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/critsection.h"
#include "core/log.h"
#include "core/print.h"

namespace {

constexpr int64_t kGuardBytes = 8;
constexpr int64_t kHiddenBytes = 8;  // the word before the leading guard
constexpr uint64_t kHiddenUncounted = 0;
constexpr uint64_t kHiddenCounted = 1;  // | generation << 2

struct MemRecord {
  const char *sourcePath;  // the caller's constant text
  int32_t line;
  uint32_t flags;
  int64_t size;            // -1 once freed
  uint8_t *block;          // address of the leading guard
  MemRecord *next;         // older record
  MemRecord *prev;         // newer record
  uint64_t generation;
};

struct GlobalMemoryRecord {
  // Hot counters first, on their own cache line.
  alignas(64) std::atomic<int64_t> liveCount{0};
  std::atomic<int64_t> liveBytes{0};
  alignas(64) int trackingOn = 0;
  uint64_t generation = 0;
  CriticalSection *lock = nullptr;
  // Guarded by lock:
  int64_t peakCount = 0;
  int64_t peakBytes = 0;
  uintptr_t lowestBlock = 0;
  uintptr_t highestRecord = 0;
  MemRecord *head = nullptr;
};

GlobalMemoryRecord gMemoryRecord;
std::atomic<GlobalMemoryRecord *> gMemory{nullptr};
uint64_t gGeneration = 0;  // bumped by every Mem_Init

// Total of guards, data and padding: size + 16 rounded up to 8. The caller has
// checked that size is at least 1 and cannot overflow.
inline int64_t memTotal(int64_t size) { return (size + 2 * kGuardBytes + 7) & ~int64_t(7); }

// The eight guard bytes of a block as one word; byte i depends on the block
// address shifted by i, so a block copied elsewhere fails its check.
inline uint64_t memGuardWord(const uint8_t *block) {
  uintptr_t address = reinterpret_cast<uintptr_t>(block);
  uint64_t word = 0;
  for (int i = 0; i < 8; i++) word |= uint64_t(((address >> i) ^ 0xCC) & 0xFF) << (8 * i);
  return word;
}

inline uint64_t *memHiddenWord(uint8_t *block) {
  return reinterpret_cast<uint64_t *>(block - kHiddenBytes);
}

inline MemRecord *memRecordOf(uint8_t *block, int64_t total) {
  return reinterpret_cast<MemRecord *>(block + total);
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

// Compares both guards. On damage logs the facts and stops (fatal) or returns
// 0. record is the block's tracking record, or NULL.
int memCheckGuards(int fatal, const uint8_t *block, int64_t size, const MemRecord *record,
                   const char *sourcePath, int line) {
  int64_t total = memTotal(size);
  uint64_t expected = memGuardWord(block);
  uint64_t lead, trail;
  memcpy(&lead, block, 8);
  memcpy(&trail, block + total - kGuardBytes, 8);
  if (lead == expected && trail == expected) return 1;

  int before = memCountDamage(block, expected);
  int after = memCountDamage(block + total - kGuardBytes, expected);
  Log_Print(LOG_DEBUG, KSRC, 0, "Memory corrupt (%lld) <Addr:0x%p Before:%d After:%d Max:%d>\n",
            (long long)size, block + kGuardBytes, before, after, 8);
  uint8_t expectedBytes[8];
  memcpy(expectedBytes, &expected, 8);
  memLogBytes("Expected:", expectedBytes, 8);
  if (before) memLogBytes("Prior corruption:", block, 16);
  if (after) {
    uint8_t tail[16];
    memcpy(tail, block + total - kGuardBytes, 8);
    int count = 8;
    if (record) {
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

void memDumpLocked(const GlobalMemoryRecord *m) {
  for (const MemRecord *r = m->head; r != nullptr; r = r->next)
    Log_Print(LOG_DEBUG, KSRC, 0, "Memory Tracking: 0x%p alloc'd from [Line %d/%s] [%lld/0x%.8X]\n",
              r->block + kGuardBytes, r->line, r->sourcePath ? r->sourcePath : "",
              (long long)r->size, r->flags);
}

// Validates a record and its links. The first four failures are reported at
// the allocator's position, the mismatches at the caller's; before each, the
// list of live blocks is dumped. Called with the memory lock held.
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
  if (!memPlausible(m, r->block))
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

// Does the record belong to the live tracking list of the current cycle? A
// record left by an earlier Init/Shutdown cycle belongs to a list that is gone.
inline bool memIsCurrentRecord(const GlobalMemoryRecord *m, const MemRecord *r) {
  return m != nullptr && m->trackingOn && r->generation == m->generation;
}

}  // namespace

void *Mem_Alloc(int64_t size, uint32_t flags, const char *sourcePath, int line) {
  // The largest size whose block, hidden word and record still fit in int64.
  constexpr int64_t kMaxSize = INT64_MAX - 64 - int64_t(sizeof(MemRecord));
  if (size < 1 || size > kMaxSize)
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
  memcpy(block, &guard, 8);
  memcpy(block + total - kGuardBytes, &guard, 8);

  if (tracking) {
    MemRecord *r = memRecordOf(block, total);
    *r = MemRecord{sourcePath, line, flags, size, block, nullptr, nullptr, m->generation};
    *memHiddenWord(block) = reinterpret_cast<uint64_t>(r);
    CriticalSection_Enter(m->lock);
    if (memTesting()) Mem_CheckAll();
    memLink(m, r);
    uintptr_t low = reinterpret_cast<uintptr_t>(block);
    uintptr_t high = reinterpret_cast<uintptr_t>(r);
    if (m->lowestBlock == 0 || low < m->lowestBlock) m->lowestBlock = low;
    if (high > m->highestRecord) m->highestRecord = high;
    int64_t count = m->liveCount.load(std::memory_order_relaxed);
    int64_t inUse = m->liveBytes.load(std::memory_order_relaxed);
    if (count > m->peakCount) m->peakCount = count;
    if (inUse > m->peakBytes) m->peakBytes = inUse;
    // Counted under the lock, so a check sees as many records as live blocks.
    m->liveCount.fetch_add(1, std::memory_order_relaxed);
    m->liveBytes.fetch_add(total, std::memory_order_relaxed);
    CriticalSection_Leave(m->lock);
  } else if (m) {
    *memHiddenWord(block) = kHiddenCounted | (m->generation << 2);
    m->liveCount.fetch_add(1, std::memory_order_relaxed);
    m->liveBytes.fetch_add(total, std::memory_order_relaxed);
  } else {
    *memHiddenWord(block) = kHiddenUncounted;
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
  if (size < 1 || size > INT64_MAX / 2)
    Core_Abort(sourcePath, line, "Invalid Memory Size (%lld)\n", (long long)size);
  int64_t total = memTotal(size);
  if (pointer == nullptr)
    Core_Abort(sourcePath, line, "No Memory address to free (%lld / %lld)\n", (long long)size,
               (long long)total);

  uint8_t *block = static_cast<uint8_t *>(pointer) - kGuardBytes;
  GlobalMemoryRecord *m = gMemory.load(std::memory_order_acquire);
  uint64_t hidden = *memHiddenWord(block);
  bool counted = false;
  const MemRecord *checkedRecord = nullptr;

  if (hidden != kHiddenUncounted && (hidden & 3) == 0) {
    auto *r = reinterpret_cast<MemRecord *>(hidden);
    if (memIsCurrentRecord(m, r)) {
      CriticalSection_Enter(m->lock);
      if (memTesting()) Mem_CheckAll();
      memCheckRecord(m, r, size, block, sourcePath, line);
      memUnlink(m, r);
      r->size = -1;
      m->liveCount.fetch_sub(1, std::memory_order_relaxed);
      m->liveBytes.fetch_sub(total, std::memory_order_relaxed);
      CriticalSection_Leave(m->lock);
      memset(r, 0, sizeof *r);
      checkedRecord = r;
    }
  } else if ((hidden & 3) == kHiddenCounted) {
    counted = m != nullptr && (hidden >> 2) == m->generation;
  }

  if (checkedRecord) Mem_CheckBlock(1, block, size, sourcePath, line);
  else memCheckGuards(1, block, size, nullptr, sourcePath, line);

  free(block - kHiddenBytes);
  if (counted) {
    m->liveCount.fetch_sub(1, std::memory_order_relaxed);
    m->liveBytes.fetch_sub(total, std::memory_order_relaxed);
  }
  return 0;
}

int Mem_CheckBlock(int fatal, const void *block, int64_t size, const char *sourcePath, int line) {
  const auto *b = static_cast<const uint8_t *>(block);
  GlobalMemoryRecord *m = gMemory.load(std::memory_order_acquire);
  if (!memPlausible(m, b) || !memPlausible(m, b + size))
    Core_Abort(sourcePath, line, "Invalid memory address (%lld) <From:0x%p To:0x%p>\n",
               (long long)size, b, b + size);
  const MemRecord *record = nullptr;
  if (m && m->trackingOn) record = memRecordOf(const_cast<uint8_t *>(b), memTotal(size));
  return memCheckGuards(fatal, b, size, record, sourcePath, line);
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
  for (const MemRecord *r = m->head; r != nullptr; r = r->next) {
    memCheckRecord(m, r, r->size, r->block, KSRC);
    failures += !memCheckGuards(0, r->block, r->size, r, KSRC);
    records++;
  }
  if (failures) {
    memDumpLocked(m);
    Core_Abort(KSRC, "Failure in internal memory check (%d blocks failed)\n", failures);
  }
  int64_t live = m->liveCount.load(std::memory_order_relaxed);
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
  m->liveCount.store(0);
  m->liveBytes.store(0);
  m->trackingOn = trackingOn ? 1 : 0;
  m->generation = ++gGeneration;
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
  CriticalSection_Delete(&m->lock);
  int64_t live = m->liveCount.load();
  int64_t bytes = m->liveBytes.load();
  if (m->trackingOn)
    Log_Print(LOG_DEBUG, KSRC, 0, "Maximum Memory in use (%lld / %lldk)\n",
              (long long)m->peakCount, (long long)(m->peakBytes / 1024));
  if (bytes != 0) {
    Log_Print(LOG_WARNING, KSRC, 0, "Not all memory was free'd (%lld / %lldb)\n",
              (long long)live, (long long)bytes);
    memDumpLocked(m);
  }
  gMemory.store(nullptr, std::memory_order_release);
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
  if (liveCount) *liveCount = m ? m->liveCount.load() : 0;
  if (liveBytes) *liveBytes = m ? m->liveBytes.load() : 0;
}
