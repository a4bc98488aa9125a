// StorageDelta: the source of VCDIFF deltas. A delta names a run of pieces
// that the installation already holds; the delta source reads them from the
// local storage into the request's source request, through an OffsetCache
// of recently read ranges (neighbouring deltas usually name the same local
// pieces), and then completes the waiting delta-source step.
//
// Invariants: (1) the source run is read only when it lies wholly inside
// the source request's metafile (the local one): index >= 0 and index +
// count <= its piece count; otherwise the step completes with -988 and no
// request is built. (2) every read context goes back to the pool when its
// read is delivered. (3) readBytes counts only bytes the local storage read,
// never cache hits. (4) no two source reads of overlapping runs are in
// flight at once: a request whose run overlaps one being read (or one
// waiting before it) waits, in arrival order, until that read is delivered,
// so that it finds those pieces in the cache instead of reading them again.
// (5) the source runs it has read and whose buffers are still held (until
// the delta is applied or the request released) stay within
// kStorageDeltaSourceBytes: a run that would go past it waits, unless
// nothing else is held, until StorageDelta_Pump or a delivered read finds
// room. The bytes are in the cache too; more runs at once read nothing less.
//
// Threads: StorageDelta_Read, Configure, Reset, Status and the completions
// on the owner's thread (the local storage's queue); the cache is used from
// I/O workers under its own lock; readBytes is atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/offsetcache.h"
#include "base/storage.h"
#include "core/runtime/class.h"
#include "core/runtime/pool.h"

constexpr uint32_t kStorageDeltaTag = 0x57a6e0c9;
constexpr uint32_t kStorageDeltaContextTag = 0x57a6e0ca;
constexpr int32_t kStorageDeltaContextGrowth = 10;
constexpr int64_t kStorageDeltaDefaultCacheBytes = 33554432;  // storage.deltaCacheSize
constexpr int64_t kStorageDeltaSourceBytes = int64_t(16) << 20;  // held source runs
constexpr int32_t kStorageDeltaHeldSources = 64;  // source requests tracked past that

struct StorageDelta;
struct StorageDeltaContext;

// Called when the source is read (or refused): completes step. Without one
// the delta completes the step itself with the outcome.
typedef void (*StorageDeltaCompletion)(StorageDelta *delta, void *context, StorageStep *step,
                                       int32_t result, int32_t resultEx);

struct StorageDelta {
  ObjectHeader header;  // kStorageDeltaTag
  ClassLog log;         // "StorageDelta"
  Storage *local;       // one reference held
  OffsetCache *cache;
  Pool *contexts;       // read contexts
  std::atomic<int64_t> readBytes;
  StorageDeltaContext *reading;  // source reads in flight
  StorageDeltaContext *firstWaiting, *lastWaiting;  // in arrival order
  void *completionContext;
  StorageDeltaCompletion completion;
  // Source requests read into whose buffers may still be held (a reference
  // each); a buffer freed drops its request from the list.
  StorageRequest *held[kStorageDeltaHeldSources];
  int32_t heldCount;
};

// Every operation stops the program on a NULL or foreign delta.

// A delta without a local storage, its cache off. Released with
// Class_Release. Returns 1.
int StorageDelta_Create(StorageDelta **delta);
// The storage source pieces are read from (a reference is held; NULL
// drops it). Returns 1.
int StorageDelta_SetStorage(StorageDelta *delta, Storage *local);
int StorageDelta_SetCompletion(StorageDelta *delta, void *context,
                               StorageDeltaCompletion completion);
// Lines go to sink(context, ...) whatever the global log does.
int StorageDelta_SetLogHook(StorageDelta *delta, void *context, ClassLogSink sink);
// The cache's size from "deltaCacheSize", else "storage.deltaCacheSize" of
// appConfig; 0 after logging "Configuration dictionary missing
// deltaCacheSize" when neither holds it.
int StorageDelta_Configure(StorageDelta *delta, Dictionary *appConfig, Dictionary *config);
// Fills request's source request from the local storage and completes step
// (through the completion): 0 at once for a window needing no source;
// -988/0 for an unreadable window, a run outside the local pieces, no
// source request, no local storage or no local metafile; else the local
// read's result. Returns 1.
int StorageDelta_Read(StorageDelta *delta, StorageRequest *request, StorageStep *step);
// Starts the waiting reads that now find room (owner's thread; call it
// when a request's chain ends). Returns 1.
int StorageDelta_Pump(StorageDelta *delta);
// readBytes 0 and the cache reset; requests waiting for an overlapping read
// complete with 989 (cancelled), and reads still in flight are forgotten.
// Returns 1.
int StorageDelta_Reset(StorageDelta *delta);
// "readBytes" and "cache" (the cache's status). Returns 1.
int StorageDelta_GetStatus(StorageDelta *delta, Dictionary *status);
