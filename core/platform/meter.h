// Meter: counts transferred bytes, measures current and peak rates, and
// enforces bandwidth limits along a tree. Bytes counted on a meter count on
// every ancestor too, and a quota request is held to the tightest limit on the
// way up. The root meter is the whole program's traffic; sockets, files,
// connections and downloads hang their meters below it. Limits are token
// buckets refilled about once a second by Meter_Update.
//
// Invariants: (1) a child is in exactly its parent's children list, and a
// meter with no parent is in none; the parent chain never loops. (2) every
// live meter is in the global list, whether or not it has a parent, so
// Meter_Update measures and refills parentless trees (new meters, orphans of
// Meter_Delete) as well as the root's. (3) a reservation is what the last
// granted request took from the allowances of the meter and its ancestors;
// the next Meter_AddBytes settles it, giving back only the unused part, and
// clears it. (4) a limit is -1 (none) or at least 1024 bytes per second.
// (5) counts, reservations, allowances and limits are 64-bit, so any amount
// between two updates keeps its sign.
//
// Threads: any thread, locks inside. One global lock guards every meter of
// the program, held across the walks up (counting, clamping) and down; lines
// of the log flag are written under it (lock order: meter lock before log
// lock). Meter_Init and Meter_Shutdown run on the main thread while no other
// thread uses a meter.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

constexpr uint32_t kMeterTag = 0x03daa48f;
constexpr uint32_t kMeterGlobalsTag = 0x8b1ea9de;
constexpr int64_t kMeterUnlimited = -1;
// Lower limits are raised to this: a smaller bucket would refill in steps too
// small to carry a single network read.
constexpr int64_t kMeterMinimumLimit = 1024;

struct Meter;

struct MeterList {
  uint32_t tag;  // kMeterTag
  Meter *head;
  Meter *tail;
  int32_t count;
};

// Every field after the header is guarded by the global meter lock.
struct Meter {
  ObjectHeader header;  // kMeterTag
  Meter *parent;
  uint64_t totalBytes;
  int64_t bytesSinceUpdate;
  int64_t reserved;   // granted by the last request and not yet settled
  int64_t allowance;  // bytes that may still pass in the current second
  int64_t limit;      // bytes per second, or kMeterUnlimited
  double rate;        // bytes per second over the last update period
  double peakRate;
  MeterList children;
  int32_t logFlag;  // 1: every counted amount is logged
  Meter *next;      // siblings
  Meter *prev;
  Meter *liveNext;  // the global list of live meters
  Meter *livePrev;
  int32_t listed;  // 1 while in the global list
};

// Creates the globals, the lock and the root meter; both update times start
// one second in the past, so the first Meter_Update measures and refills.
// Returns 1. Stops the program when the meters are initialised already
// ("Assertion failed (gMeter == NULL)\nMeter already initialized").
int Meter_Init(void);
// Deletes the root meter, the lock and the globals. Meters still alive lose
// their place in the global list and must not be used any more. Returns 1.
int Meter_Shutdown(void);

// The root meter (owned by the module). Stops the program with "Pointer is
// NULL\n" while the meters are not initialised, as every function here does.
Meter *Meter_GetRoot(void);

// A new meter without parent: no limit, zero counts. Returns 1.
int Meter_Create(Meter **meter);
// Detaches every child (each becomes the root of its own tree), detaches the
// meter from its parent, drops the caller's reference and clears *meter.
// Returns 1.
int Meter_Delete(Meter **meter);

// Moves the meter to the end of parent's children (NULL: no parent). Returns
// 1; 0, changing nothing, when parent is the meter or one of its descendants.
int Meter_SetParent(Meter *meter, Meter *parent);

// Settles the outstanding reservation (the part not used by bytes goes back
// to the allowances it came from), then counts bytes above 0 on the meter and
// every ancestor. Returns 1.
int Meter_AddBytes(Meter *meter, int64_t bytes);

// Asks to move *bytes now. Without a limit on the way up, grants it whole and
// reserves nothing. Otherwise lowers *bytes to the smallest allowance and
// limit of the limited meters up the chain, reserves it on the meter and takes
// it from the allowance of the meter and each ancestor. Returns 1 when bytes
// may move (*bytes above 0), 0 when nothing may or the request is below 1.
int Meter_RequestQuota(Meter *meter, int64_t *bytes);

// Sets the limit in bytes per second: below 0 means none, 0 to 1023 become
// 1024. A changed limit restarts the allowance: 0, or one second's worth at
// once for a limit. Returns 1.
int Meter_SetLimit(Meter *meter, int64_t bytesPerSecond);
// The effective limit: the smallest limit of the meter and its ancestors, or
// kMeterUnlimited. Returns 1.
int Meter_GetLimit(Meter *meter, int64_t *limit);

int Meter_GetBytes(Meter *meter, uint64_t *bytes);
int Meter_GetRate(Meter *meter, double *bytesPerSecond);
int Meter_GetPeakRate(Meter *meter, double *bytesPerSecond);

// Clears the counts and rates and removes the limit of the meter and all its
// descendants; Meter_ResetCounters keeps the limits. Returns 1.
int Meter_Reset(Meter *meter);
int Meter_ResetCounters(Meter *meter);

// Called on every pump of the application. Once a second has passed since the
// last measurement, every live meter's rate becomes the bytes counted since
// divided by the time, and its peak the larger of the two. Once a second has
// passed since the last refill, every limited meter's allowance grows by the
// limit times the time passed, capped at 1.05 seconds' worth. Returns 1.
int Meter_Update(void);
