// StorageCleanup: erases from one storage what a walked metafile describes
// and a keep metafile does not: in a file storage the files whose names the
// keep metafile's file list lacks, in a piece storage (a piece driver) the
// pieces whose digests the keep metafile's piece list lacks. Pumped by its
// owner, with several erases in flight; every failed erase goes to the
// owner's error callback, which answers 3 or 4 (erase again) or 5 (count it
// as erased) with an absolute retry time.
//
// Invariants: (1) items complete counts kept and erased items of the
// current run, so progress stays within 0..1; every counter, the durations
// and the error counts start again with StorageCleanup_Start. (2) an item
// is in the in-flight list from its erase until it is erased, given up
// after a stop, or dropped after a stop; a stopped clean-up erases nothing
// more. (3) every erase in a storage holds one reference on the clean-up,
// so a late result never meets a freed one. (4) the keep set (piece mode)
// holds the keep list's pieces ordered by digest, built at Start.
//
// Threads: one thread, the one that created the clean-up; erase results and
// delayed responses reach it through its event queue. Nothing is locked.
#pragma once

#include <cstdint>

#include "base/durationring.h"
#include "base/metafile.h"
#include "base/storage.h"
#include "core/formats/dictionary.h"
#include "core/platform/eventqueue.h"
#include "core/runtime/class.h"
#include "core/runtime/pool.h"

constexpr uint32_t kStorageCleanupTag = 0x5c1ea001;
constexpr uint32_t kCleanupItemTag = 0x5c1ea002;
constexpr int32_t kStorageCleanupLimit = 10;         // erases in flight (one more may run)
constexpr double kStorageCleanupBudgetSeconds = 0.1;  // per pump step
constexpr int32_t kStorageCleanupItemGrowth = 10;

struct RootDirectory;
struct StorageCleanup;

// error(cleanup, context, errorCount, index, code, codeEx, &retryTime) ->
// 3, 4 or 5; retryTime is absolute on the tick clock, 0 unless set.
typedef int32_t (*StorageCleanupErrorFunction)(StorageCleanup *cleanup, void *context,
                                               int32_t errorCount, int32_t index, int32_t code,
                                               int32_t codeEx, double *retryTime);

struct CleanupItem {
  uint32_t tag;  // kCleanupItemTag
  StorageCleanup *cleanup;
  double startTime;
  int32_t index;     // the file's place in the walked file list, or the piece index
  MetaFile *walked;  // borrowed
  FileEntry *entry;  // file mode
  uint32_t generation;  // the run it belongs to
  int32_t waiting;      // a delayed response is queued for it
  CleanupItem *previous;
  CleanupItem *next;
};

struct StorageCleanup {
  ObjectHeader header;  // kStorageCleanupTag
  ClassLog log;         // "StorageCleanup"
  Storage *storage;     // borrowed
  MetaFile *walked;     // borrowed
  MetaFile *keep;       // borrowed, or own
  MetaFile *own;        // empty: what StorageCleanup_KeepNothing keeps
  EventQueue *eventQueue;  // one reference
  uint32_t ownerThreadId;
  int32_t limit;
  double budget;
  int32_t itemsTotal;
  int32_t itemsComplete;
  int32_t filesErased;
  int32_t currentIndex;
  FileEntry *currentEntry;
  int32_t *errorCounts;
  int32_t errorCountSize;
  int32_t alive;
  int32_t finished;
  int32_t stopped;
  int32_t pieceMode;
  uint32_t generation;  // grows with every start
  DurationRing durations;
  CleanupItem *first;
  CleanupItem *last;
  int32_t inFlight;  // items in the list
  Pool *items;
  void *errorContext;
  StorageCleanupErrorFunction error;
  int32_t *keepOrder;  // the keep list's pieces by digest
  int32_t keepCount;
  int32_t keepDigestLength;
};

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign clean-up.

// Not alive, limit 10, budget 0.1 s; the calling thread is the owner and
// its queue takes delayed responses. Returns 1.
int StorageCleanup_Create(StorageCleanup **cleanup);
// Drops the caller's reference and clears *cleanup; the last one (after
// every erase still in a storage) cancels delayed responses and frees the
// items, counts, keep set and own metafile. Returns 1.
int StorageCleanup_Destroy(StorageCleanup **cleanup);

int StorageCleanup_SetLogParent(StorageCleanup *cleanup, void *context, ClassLogSink sink);
int StorageCleanup_SetStorage(StorageCleanup *cleanup, Storage *storage);
// The walked metafile.
int StorageCleanup_SetMetaFile(StorageCleanup *cleanup, MetaFile *metafile);
int StorageCleanup_SetKeepMetaFile(StorageCleanup *cleanup, MetaFile *metafile);
// Keeps nothing: every item the walked metafile lists is erased.
int StorageCleanup_KeepNothing(StorageCleanup *cleanup);
// The queue of delayed responses (its owner's thread must be the
// clean-up's). Returns 1.
int StorageCleanup_SetEventQueue(StorageCleanup *cleanup, EventQueue *queue);
int StorageCleanup_SetErrorCallback(StorageCleanup *cleanup, void *context,
                                    StorageCleanupErrorFunction function);
// Erases in flight beyond which a pump step stops (one more may run);
// below 1: no limit. Time budget of a pump step; 0 or less: none.
int StorageCleanup_SetLimit(StorageCleanup *cleanup, int32_t limit);
int StorageCleanup_SetBudget(StorageCleanup *cleanup, double seconds);

// Not alive only ("Assertion failed (StorageCleanup->Alive == FALSE)\n
// Cleanup already running"); storage and walked metafile must be set.
// Piece mode when the storage's driver is a piece driver. Resets the
// counters, durations and error counts. Returns 1.
int StorageCleanup_Start(StorageCleanup *cleanup);
// Not alive, stopped: delayed responses are cancelled and their items
// dropped; erases in flight complete (successes count, failures are
// dropped). Returns 1.
int StorageCleanup_Stop(StorageCleanup *cleanup);
// One step of the walk while running. Returns 1.
int StorageCleanup_Pump(StorageCleanup *cleanup);
// 0 when finished; else 1 while erases are in flight, else alive.
int StorageCleanup_IsRunning(StorageCleanup *cleanup);
int StorageCleanup_IsFinished(StorageCleanup *cleanup);
// The erase's result (context: the item).
void StorageCleanup_OnEraseDone(Storage *storage, void *context, void *argument, int32_t result,
                                int32_t resultEx);

// "progress", "itemsTotal", "itemsComplete", "filesErased",
// "itemAverageTime", "remainingTime", in that order. Returns 1.
int StorageCleanup_GetStatus(StorageCleanup *cleanup, Dictionary *status);
int32_t StorageCleanup_GetItemsTotal(StorageCleanup *cleanup);
int32_t StorageCleanup_GetItemsComplete(StorageCleanup *cleanup);
int32_t StorageCleanup_GetFilesErased(StorageCleanup *cleanup);
// 0 below 20 timed items.
double StorageCleanup_GetItemAverageTime(StorageCleanup *cleanup);
// -1 while the average is not known.
double StorageCleanup_GetRemainingTime(StorageCleanup *cleanup);

// Removes in root (the installation directory as the run holds it, listed
// and removed through its descriptor) what a file storage builds under
// suffix (a partial file "<name><suffix>", a tree built aside) when keep
// does not list the name: what a run stopped on its way to a version that
// was then not installed left. For a run that ends with keep's version
// whole. The walk enters no link; a link so named is removed as a link.
// Returns the number of entries removed.
int32_t StorageCleanup_RemoveLeftovers(RootDirectory *root, const char *suffix, FileIndex *keep);
