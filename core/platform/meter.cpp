// Meters; see meter.h.
#include "core/platform/meter.h"

#include <cmath>
#include <new>

#include "core/runtime/core.h"
#include "core/runtime/critsection.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"

namespace {

// Rates are measured and buckets refilled at most this often.
constexpr double kMeterPeriodSeconds = 1.0;
// A bucket holds up to this many seconds' worth, so a meter may burst 5 %
// above its limit after a quiet second. Taken in single precision, as the
// limits were first tuned with it: 4000 B/s caps at exactly 4200.
constexpr float kMeterBurstFactor = 1.05f;

struct MeterGlobals {
  uint32_t tag;  // kMeterGlobalsTag
  Meter *root;
  CriticalSection *lock;  // guards every meter
  double lastUpdate;      // tick seconds
  double lastRefill;
  Meter *liveHead;  // every live meter; guarded by lock
  Meter *liveTail;
};

// Written only by Meter_Init and Meter_Shutdown.
MeterGlobals *gMeter;

MeterGlobals *meterGlobals(const char *sourcePath, int line) {
  MeterGlobals *globals = gMeter;
  Core_CheckPointer(globals, sourcePath, line);
  return globals;
}

// Enters the global lock for one operation, on a checked meter.
class MeterLock {
 public:
  MeterLock(Meter *meter, const char *sourcePath, int line)
      : globals_(meterGlobals(sourcePath, line)) {
    Class_Check(meter, kMeterTag, sourcePath, line);
    CriticalSection_Enter(globals_->lock);
  }
  // For the walks over every meter.
  MeterLock(const char *sourcePath, int line) : globals_(meterGlobals(sourcePath, line)) {
    CriticalSection_Enter(globals_->lock);
  }
  ~MeterLock() { CriticalSection_Leave(globals_->lock); }
  MeterLock(const MeterLock &) = delete;
  MeterLock &operator=(const MeterLock &) = delete;
  MeterGlobals *globals() const { return globals_; }

 private:
  MeterGlobals *globals_;
};

void meterListCheck(MeterList *list) {
  if (list->tag != kMeterTag)
    Core_Abort(KSRC, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", list,
               kMeterTag, list->tag);
}

// ---- Tree and global list (under the lock) ---------------------------------------

void meterAttach(Meter *meter, Meter *parent) {
  MeterList *list = &parent->children;
  meterListCheck(list);
  meter->parent = parent;
  meter->next = nullptr;
  meter->prev = list->tail;
  if (list->tail != nullptr)
    list->tail->next = meter;
  else
    list->head = meter;
  list->tail = meter;
  list->count++;
}

void meterDetach(Meter *meter) {
  Meter *parent = meter->parent;
  if (parent == nullptr) return;
  MeterList *list = &parent->children;
  meterListCheck(list);
  if (meter->prev != nullptr)
    meter->prev->next = meter->next;
  else
    list->head = meter->next;
  if (meter->next != nullptr)
    meter->next->prev = meter->prev;
  else
    list->tail = meter->prev;
  list->count--;
  meter->parent = meter->next = meter->prev = nullptr;
}

void meterDetachChildren(Meter *meter) {
  while (Meter *child = meter->children.head) meterDetach(child);
}

void meterListLive(MeterGlobals *globals, Meter *meter) {
  meter->liveNext = nullptr;
  meter->livePrev = globals->liveTail;
  if (globals->liveTail != nullptr)
    globals->liveTail->liveNext = meter;
  else
    globals->liveHead = meter;
  globals->liveTail = meter;
  meter->listed = 1;
}

void meterUnlistLive(MeterGlobals *globals, Meter *meter) {
  if (!meter->listed) return;
  if (meter->livePrev != nullptr)
    meter->livePrev->liveNext = meter->liveNext;
  else
    globals->liveHead = meter->liveNext;
  if (meter->liveNext != nullptr)
    meter->liveNext->livePrev = meter->livePrev;
  else
    globals->liveTail = meter->livePrev;
  meter->liveNext = meter->livePrev = nullptr;
  meter->listed = 0;
}

// ---- Buckets and counts (under the lock) ------------------------------------------

int64_t meterEffectiveLimit(Meter *meter) {
  int64_t limit = kMeterUnlimited;
  for (Meter *m = meter; m != nullptr; m = m->parent)
    if (m->limit > 0 && (limit < 1 || m->limit < limit)) limit = m->limit;
  return limit;
}

// The whole bytes of a non-negative amount, saturated to what an int64 holds.
int64_t meterWholeBytes(double amount) {
  constexpr double kMax = 9.2e18;
  if (!(amount > 0)) return 0;
  return amount >= kMax ? int64_t(kMax) : int64_t(std::floor(amount));
}

void meterRefill(Meter *meter, double elapsed) {
  if (meter->limit <= 0) return;
  int64_t cap = meterWholeBytes(double(float(meter->limit) * kMeterBurstFactor));
  int64_t grown = meter->allowance + meterWholeBytes(double(meter->limit) * elapsed);
  // Guard the sum against the largest limits: saturate rather than wrap.
  if (grown < meter->allowance) grown = INT64_MAX;
  meter->allowance = grown < cap ? grown : cap;
}

void meterMeasure(Meter *meter, double elapsed) {
  meter->rate = double(meter->bytesSinceUpdate) / elapsed;
  meter->bytesSinceUpdate = 0;
  if (meter->rate > meter->peakRate) meter->peakRate = meter->rate;
}

void meterAddAllowance(Meter *meter, int64_t bytes) {
  for (Meter *m = meter; m != nullptr; m = m->parent) m->allowance += bytes;
}

void meterResetTree(Meter *meter, int keepLimit) {
  meter->totalBytes = 0;
  meter->bytesSinceUpdate = 0;
  meter->rate = 0;
  meter->peakRate = 0;
  if (!keepLimit) {
    meter->limit = kMeterUnlimited;
    meter->allowance = 0;
  }
  for (Meter *child = meter->children.head; child != nullptr; child = child->next)
    meterResetTree(child, keepLimit);
}

void meterDestroy(void **object) {
  auto *meter = static_cast<Meter *>(*object);
  if (MeterGlobals *globals = gMeter) {
    CriticalSection_Enter(globals->lock);
    // Someone holding another reference may have moved it since its delete.
    meterDetachChildren(meter);
    meterDetach(meter);
    meterUnlistLive(globals, meter);
    CriticalSection_Leave(globals->lock);
  }
  meter->header.classTag = 0;
  meter->~Meter();
  MEM_FREE(meter, sizeof(Meter));
}

}  // namespace

int Meter_Init(void) {
  if (gMeter != nullptr)
    Core_Abort(KSRC, "Assertion failed (gMeter == NULL)\nMeter already initialized");
  auto *globals = static_cast<MeterGlobals *>(MEM_ALLOC(sizeof(MeterGlobals), MEM_ZEROED));
  globals->tag = kMeterGlobalsTag;
  CriticalSection_Create(&globals->lock);
  double now = Platform_GetTickSeconds();
  globals->lastUpdate = now - kMeterPeriodSeconds;
  globals->lastRefill = now - kMeterPeriodSeconds;
  gMeter = globals;
  Meter_Create(&globals->root);
  return 1;
}

int Meter_Shutdown(void) {
  MeterGlobals *globals = gMeter;
  if (globals == nullptr) return 1;
  Meter_Delete(&globals->root);
  CriticalSection_Enter(globals->lock);
  while (Meter *meter = globals->liveHead) meterUnlistLive(globals, meter);
  CriticalSection_Leave(globals->lock);
  gMeter = nullptr;
  CriticalSection_Delete(&globals->lock);
  globals->tag = 0;
  MEM_FREE(globals, sizeof(MeterGlobals));
  return 1;
}

Meter *Meter_GetRoot(void) { return meterGlobals(KSRC)->root; }

int Meter_Create(Meter **meter) {
  CHECK_POINTER(meter);
  *meter = nullptr;
  MeterGlobals *globals = meterGlobals(KSRC);
  auto *created = new (MEM_ALLOC(sizeof(Meter), MEM_ZEROED)) Meter();
  created->header.classTag = kMeterTag;
  created->header.refCount.store(1, std::memory_order_relaxed);
  created->header.destroy = meterDestroy;
  created->limit = kMeterUnlimited;
  created->children.tag = kMeterTag;
  CriticalSection_Enter(globals->lock);
  meterListLive(globals, created);
  CriticalSection_Leave(globals->lock);
  *meter = created;
  return 1;
}

int Meter_Delete(Meter **meter) {
  CHECK_POINTER(meter);
  {
    MeterLock lock(*meter, KSRC);
    meterDetachChildren(*meter);
    meterDetach(*meter);
  }
  Class_ReleaseObject(meter);
  return 1;
}

int Meter_SetParent(Meter *meter, Meter *parent) {
  MeterLock lock(meter, KSRC);
  if (parent != nullptr) {
    CLASS_CHECK(parent, kMeterTag);
    for (Meter *m = parent; m != nullptr; m = m->parent) {
      if (m == meter) {
        Log_Print(LOG_ERROR, KSRC, 0, "Meter 0x%p cannot be placed below itself (0x%p)\n", meter,
                  parent);
        return 0;
      }
    }
  }
  meterDetach(meter);
  if (parent != nullptr) meterAttach(meter, parent);
  return 1;
}

int Meter_AddBytes(Meter *meter, int64_t bytes) {
  MeterLock lock(meter, KSRC);
  int64_t used = bytes > 0 ? bytes : 0;
  if (meter->reserved > 0) {
    if (used < meter->reserved) meterAddAllowance(meter, meter->reserved - used);
    meter->reserved = 0;
  }
  if (used == 0) return 1;
  for (Meter *m = meter; m != nullptr; m = m->parent) {
    m->totalBytes += uint64_t(used);
    m->bytesSinceUpdate += used;
    if (meter->logFlag)
      Log_Print(LOG_DEBUG, KSRC, 0, "Meter 0x%p reported %lld bytes, counted overall %llu bytes\n",
                m, static_cast<long long>(used), static_cast<unsigned long long>(m->totalBytes));
  }
  return 1;
}

int Meter_RequestQuota(Meter *meter, int64_t *bytes) {
  CHECK_POINTER(bytes);
  MeterLock lock(meter, KSRC);
  if (*bytes < 1) return 0;
  if (meterEffectiveLimit(meter) < 1) {
    meter->reserved = 0;
    return 1;
  }
  int64_t granted = *bytes;
  for (Meter *m = meter; m != nullptr; m = m->parent) {
    if (m->limit <= 0) continue;
    if (m->allowance < granted) granted = m->allowance;
    if (m->limit < granted) granted = m->limit;
  }
  if (granted < 0) granted = 0;
  meter->reserved = granted;
  meterAddAllowance(meter, -granted);
  *bytes = granted;
  return granted > 0 ? 1 : 0;
}

int Meter_SetLimit(Meter *meter, int64_t bytesPerSecond) {
  int64_t limit = bytesPerSecond;
  if (limit < 0)
    limit = kMeterUnlimited;
  else if (limit < kMeterMinimumLimit)
    limit = kMeterMinimumLimit;
  MeterLock lock(meter, KSRC);
  if (limit == meter->limit) return 1;
  meter->limit = limit;
  meter->allowance = 0;
  meterRefill(meter, kMeterPeriodSeconds);
  return 1;
}

int Meter_GetLimit(Meter *meter, int64_t *limit) {
  CHECK_POINTER(limit);
  MeterLock lock(meter, KSRC);
  *limit = meterEffectiveLimit(meter);
  return 1;
}

int Meter_GetBytes(Meter *meter, uint64_t *bytes) {
  CHECK_POINTER(bytes);
  MeterLock lock(meter, KSRC);
  *bytes = meter->totalBytes;
  return 1;
}

int Meter_GetRate(Meter *meter, double *bytesPerSecond) {
  CHECK_POINTER(bytesPerSecond);
  MeterLock lock(meter, KSRC);
  *bytesPerSecond = meter->rate;
  return 1;
}

int Meter_GetPeakRate(Meter *meter, double *bytesPerSecond) {
  CHECK_POINTER(bytesPerSecond);
  MeterLock lock(meter, KSRC);
  *bytesPerSecond = meter->peakRate;
  return 1;
}

int Meter_Reset(Meter *meter) {
  MeterLock lock(meter, KSRC);
  meterResetTree(meter, 0);
  return 1;
}

int Meter_ResetCounters(Meter *meter) {
  MeterLock lock(meter, KSRC);
  meterResetTree(meter, 1);
  return 1;
}

int Meter_Update(void) {
  MeterLock lock(KSRC);
  MeterGlobals *globals = lock.globals();
  double now = Platform_GetTickSeconds();
  // Every live meter, not only the root's tree: a limited meter without a
  // parent would otherwise never be refilled and stall after its first second.
  double elapsed = now - globals->lastUpdate;
  if (elapsed >= kMeterPeriodSeconds) {
    for (Meter *m = globals->liveHead; m != nullptr; m = m->liveNext) meterMeasure(m, elapsed);
    globals->lastUpdate = now;
  }
  elapsed = now - globals->lastRefill;
  if (elapsed >= kMeterPeriodSeconds) {
    for (Meter *m = globals->liveHead; m != nullptr; m = m->liveNext) meterRefill(m, elapsed);
    globals->lastRefill = now;
  }
  return 1;
}
