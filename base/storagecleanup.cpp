// The storage clean-up; see storagecleanup.h.
#include "base/storagecleanup.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/storagecopy.h"
#include "core/platform/directory.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/platform/rootdir.h"
#include "core/platform/thread.h"
#include "base/enginelog.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

#define CLEANUP_CHECK(c) CLASS_CHECK((c), kStorageCleanupTag)

#define cleanupLog(c, ...) EngineLog_Print(&(c)->log, __VA_ARGS__)

void cleanupFreeCounts(StorageCleanup *c) {
  if (c->errorCounts != nullptr)
    MEM_FREE(c->errorCounts, int64_t(c->errorCountSize) * int64_t(sizeof(int32_t)));
  c->errorCounts = nullptr;
  c->errorCountSize = 0;
}

void cleanupFreeKeepSet(StorageCleanup *c) {
  if (c->keepOrder != nullptr)
    MEM_FREE(c->keepOrder, int64_t(c->keepCount) * int64_t(sizeof(int32_t)));
  c->keepOrder = nullptr;
  c->keepCount = c->keepDigestLength = 0;
}

// The keep list's pieces ordered by digest, so that a walked digest is
// looked up by bisection instead of a scan of the whole list.
void cleanupBuildKeepSet(StorageCleanup *c) {
  cleanupFreeKeepSet(c);
  PieceList *list = c->keep != nullptr ? MetaFile_GetPieceList(c->keep) : nullptr;
  int32_t count = list != nullptr ? PieceList_GetPieceTotal(list) : 0;
  if (count < 1) return;
  int32_t size = PieceList_GetDigestLength(list);
  c->keepOrder = static_cast<int32_t *>(MEM_ALLOC(int64_t(count) * int64_t(sizeof(int32_t)), 0));
  c->keepCount = count;
  c->keepDigestLength = size;
  for (int32_t i = 0; i < count; i++) c->keepOrder[i] = i;
  const uint8_t *digests = list->digests;
  std::sort(c->keepOrder, c->keepOrder + count, [&](int32_t x, int32_t y) {
    return memcmp(digests + int64_t(x) * size, digests + int64_t(y) * size, size_t(size)) < 0;
  });
}

bool cleanupKeepsPiece(StorageCleanup *c, int32_t index) {
  PieceList *walked = MetaFile_GetPieceList(c->walked);
  int32_t size = c->keepDigestLength;
  if (c->keepCount < 1 || PieceList_GetDigestLength(walked) != size) return false;
  if (index < 0 || index >= PieceList_GetPieceTotal(walked))
    Core_Abort(KSRC, "Index out of bounds\n");
  const uint8_t *digest = walked->digests + int64_t(index) * size;
  const uint8_t *digests = MetaFile_GetPieceList(c->keep)->digests;
  const int32_t *at = std::lower_bound(
      c->keepOrder, c->keepOrder + c->keepCount, digest, [&](int32_t piece, const uint8_t *d) {
        return memcmp(digests + int64_t(piece) * size, d, size_t(size)) < 0;
      });
  return at < c->keepOrder + c->keepCount &&
         memcmp(digests + int64_t(*at) * size, digest, size_t(size)) == 0;
}

void cleanupUnlink(StorageCleanup *c, CleanupItem *item) {
  (item->previous ? item->previous->next : c->first) = item->next;
  (item->next ? item->next->previous : c->last) = item->previous;
  item->previous = item->next = nullptr;
  c->inFlight--;
}

void cleanupFreeItem(StorageCleanup *c, CleanupItem *item) {
  cleanupUnlink(c, item);
  item->tag = 0;
  void *member = item;
  POOL_FREE(c->items, &member, int32_t(sizeof(CleanupItem)));
}

// Asks the storage to erase the item; the result comes back to
// StorageCleanup_OnEraseDone, holding a reference until then.
void cleanupErase(StorageCleanup *c, CleanupItem *item) {
  item->startTime = Platform_GetTickSeconds();
  Class_Retain(c);
  if (c->pieceMode)
    Storage_ErasePiece(c->storage, item->walked, reinterpret_cast<void *>(intptr_t(item->index)),
                       item, StorageCleanup_OnEraseDone);
  else
    Storage_EraseFile(c->storage, MetaFile_GetFileList(item->walked), item->entry, item,
                      StorageCleanup_OnEraseDone);
}

void cleanupAddItem(StorageCleanup *c, int32_t index, FileEntry *entry) {
  auto *item = static_cast<CleanupItem *>(POOL_ALLOC(c->items, int32_t(sizeof(CleanupItem))));
  item->tag = kCleanupItemTag;
  item->cleanup = c;
  item->index = index;
  item->walked = c->walked;
  item->entry = entry;
  item->generation = c->generation;
  item->previous = c->last;
  (c->last ? c->last->next : c->first) = item;
  c->last = item;
  c->inFlight++;
  cleanupErase(c, item);
}

void cleanupItemDone(StorageCleanup *c, CleanupItem *item) {
  DurationRing_Add(&c->durations, Platform_GetTickSeconds() - item->startTime);
  cleanupFreeItem(c, item);
  c->filesErased++;
  c->itemsComplete++;
  Thread_Wake(c->ownerThreadId, 0);
}

void cleanupApplyResponse(StorageCleanup *c, CleanupItem *item, int32_t response) {
  switch (response) {
    case kStorageResponseRequeue:
    case kStorageResponseRetry:
      return cleanupErase(c, item);
    case kStorageResponseContinue:
      return cleanupItemDone(c, item);
    default:
      Core_Abort(KSRC, "Unhandled StorageCleanup error response (%d)\n", response);
  }
}

struct CleanupResponseEvent {
  CleanupItem *item;
  int32_t response;
};

void cleanupResponseDue(uintptr_t eventId, void *payload) {
  auto *c = reinterpret_cast<StorageCleanup *>(eventId);
  auto *e = static_cast<CleanupResponseEvent *>(payload);
  e->item->waiting = 0;
  cleanupApplyResponse(c, e->item, e->response);
}

void cleanupHandleError(StorageCleanup *c, CleanupItem *item, int32_t code, int32_t codeEx) {
  if (c->stopped || item->generation != c->generation) return cleanupFreeItem(c, item);
  int32_t index = item->index;
  if (index < 0 || index >= c->errorCountSize) Core_Abort(KSRC, "Index out of bounds\n");
  int32_t response = kStorageResponseRetry;
  double retryTime = 0;
  if (c->error != nullptr)
    response = c->error(c, c->errorContext, c->errorCounts[index], index, code, codeEx,
                        &retryTime);
  if (c->stopped) return cleanupFreeItem(c, item);  // the owner stopped the clean-up meanwhile
  if (response < kStorageResponseRequeue || response > kStorageResponseContinue)
    Core_Abort(KSRC, "Unhandled StorageCleanup error response (%d)\n", response);
  if (response != kStorageResponseContinue) c->errorCounts[index]++;
  if (response != kStorageResponseContinue && retryTime > Platform_GetTickSeconds()) {
    CleanupResponseEvent e = {item, response};
    item->waiting = 1;
    EventQueue_Post(c->eventQueue, reinterpret_cast<uintptr_t>(c), &e, sizeof e,
                    cleanupResponseDue, nullptr, nullptr, KSRC, retryTime);
    return;
  }
  cleanupApplyResponse(c, item, response);
}

bool cleanupOutOfTime(StorageCleanup *c, double start) {
  return c->budget > 0 && Platform_GetTickSeconds() - start >= c->budget;
}

bool cleanupRoom(StorageCleanup *c) { return c->limit < 1 || c->inFlight <= c->limit; }

void cleanupFinishWhenIdle(StorageCleanup *c) {
  if (c->inFlight > 0) return;
  c->finished = 1;
  c->alive = 0;
}

void cleanupPumpFiles(StorageCleanup *c) {
  if (c->currentEntry == nullptr) return cleanupFinishWhenIdle(c);
  double start = Platform_GetTickSeconds();
  FileIndex *keep = MetaFile_GetFileIndex(c->keep);
  while (cleanupRoom(c)) {
    if (cleanupOutOfTime(c, start)) return;
    FileEntry *entry = c->currentEntry;
    FileRecord *record = nullptr;
    if (entry->name != nullptr && FileIndex_FindName(keep, &record, entry->name))
      c->itemsComplete++;
    else
      cleanupAddItem(c, c->currentIndex, entry);
    c->currentEntry = entry->next;
    if (c->currentEntry == nullptr) return;
    c->currentIndex++;
  }
}

void cleanupPumpPieces(StorageCleanup *c) {
  if (c->currentIndex >= c->itemsTotal) return cleanupFinishWhenIdle(c);
  double start = Platform_GetTickSeconds();
  while (cleanupRoom(c)) {
    if (cleanupOutOfTime(c, start)) return;
    int32_t index = c->currentIndex;
    if (cleanupKeepsPiece(c, index))
      c->itemsComplete++;
    else
      cleanupAddItem(c, index, nullptr);
    if (++c->currentIndex >= c->itemsTotal) return;
  }
}

// Items waiting for a delayed response leave with their events.
void cleanupDropWaiting(StorageCleanup *c) {
  EventQueue_Cancel(c->eventQueue, reinterpret_cast<uintptr_t>(c));
  for (CleanupItem *item = c->first, *next = nullptr; item != nullptr; item = next) {
    next = item->next;
    if (item->waiting) cleanupFreeItem(c, item);
  }
}

void cleanupDestroy(void **object) {
  auto *c = static_cast<StorageCleanup *>(*object);
  cleanupDropWaiting(c);
  cleanupFreeCounts(c);
  cleanupFreeKeepSet(c);
  MetaFile_Destroy(&c->own);
  Pool_Release(&c->items);
  Class_ReleaseObject(&c->eventQueue);
  c->header.classTag = 0;
  c->~StorageCleanup();
  MEM_FREE(c, sizeof(StorageCleanup));
}

}  // namespace

int StorageCleanup_Create(StorageCleanup **cleanup) {
  CHECK_POINTER(cleanup);
  auto *c = new (MEM_ALLOC(sizeof(StorageCleanup), MEM_ZEROED)) StorageCleanup();
  c->header.classTag = kStorageCleanupTag;
  c->header.refCount.store(1);
  c->header.destroy = cleanupDestroy;
  c->log.object = c;
  c->log.className = "StorageCleanup";
  c->limit = kStorageCleanupLimit;
  c->budget = kStorageCleanupBudgetSeconds;
  c->ownerThreadId = Thread_GetCurrentId();
  c->eventQueue = Thread_GetEventQueue(c->ownerThreadId);
  if (c->eventQueue == nullptr)
    c->eventQueue = static_cast<EventQueue *>(Class_Retain(EventQueue_GetMain()));
  CHECK_POINTER(c->eventQueue);
  MetaFile_Create(&c->own);
  Pool_Create(&c->items, KSRC);
  Pool_SetMemberSize(c->items, int32_t(sizeof(CleanupItem)));
  Pool_SetMemberChunkSize(c->items, kStorageCleanupItemGrowth);
  DurationRing_Reset(&c->durations);
  *cleanup = c;
  return 1;
}

int StorageCleanup_Destroy(StorageCleanup **cleanup) {
  CHECK_POINTER(cleanup);
  CLEANUP_CHECK(*cleanup);
  Class_ReleaseObject(cleanup);
  return 1;
}

int StorageCleanup_SetLogParent(StorageCleanup *c, void *context, ClassLogSink sink) {
  CLEANUP_CHECK(c);
  EngineLog_SetSink(&c->log, context, sink);
  return 1;
}

int StorageCleanup_SetStorage(StorageCleanup *c, Storage *storage) {
  CLEANUP_CHECK(c);
  if (storage != nullptr) CLASS_CHECK(storage, kStorageTag);
  c->storage = storage;
  return 1;
}

int StorageCleanup_SetMetaFile(StorageCleanup *c, MetaFile *metafile) {
  CLEANUP_CHECK(c);
  if (metafile != nullptr) CLASS_CHECK(metafile, kMetaFileTag);
  c->walked = metafile;
  return 1;
}

int StorageCleanup_SetKeepMetaFile(StorageCleanup *c, MetaFile *metafile) {
  CLEANUP_CHECK(c);
  if (metafile != nullptr) CLASS_CHECK(metafile, kMetaFileTag);
  c->keep = metafile;
  return 1;
}

int StorageCleanup_KeepNothing(StorageCleanup *c) {
  CLEANUP_CHECK(c);
  c->keep = c->own;
  return 1;
}

int StorageCleanup_SetEventQueue(StorageCleanup *c, EventQueue *queue) {
  CLEANUP_CHECK(c);
  CLASS_CHECK(queue, kEventQueueTag);
  Class_Retain(queue);
  Class_ReleaseObject(&c->eventQueue);
  c->eventQueue = queue;
  return 1;
}

int StorageCleanup_SetErrorCallback(StorageCleanup *c, void *context,
                                    StorageCleanupErrorFunction function) {
  CLEANUP_CHECK(c);
  c->errorContext = context;
  c->error = function;
  return 1;
}

int StorageCleanup_SetLimit(StorageCleanup *c, int32_t limit) {
  CLEANUP_CHECK(c);
  c->limit = limit;
  return 1;
}

int StorageCleanup_SetBudget(StorageCleanup *c, double seconds) {
  CLEANUP_CHECK(c);
  c->budget = seconds;
  return 1;
}

int StorageCleanup_Start(StorageCleanup *c) {
  CLEANUP_CHECK(c);
  if (c->alive)
    Core_Abort(KSRC, "Assertion failed (StorageCleanup->Alive == FALSE)\nCleanup already running\n");
  CLASS_CHECK(c->storage, kStorageTag);
  CLASS_CHECK(c->walked, kMetaFileTag);
  if (c->keep == nullptr) c->keep = c->own;
  cleanupFreeCounts(c);
  c->generation++;
  c->pieceMode = StorageDriver_KeepsPieceHeader(c->storage->driver);
  c->currentEntry = nullptr;
  if (c->pieceMode) {
    c->itemsTotal = PieceList_GetPieceTotal(MetaFile_GetPieceList(c->walked));
    cleanupBuildKeepSet(c);
  } else {
    FileList *files = MetaFile_GetFileList(c->walked);
    c->itemsTotal = FileList_GetCount(files);
    FileList_GetFirst(files, &c->currentEntry);
  }
  c->errorCountSize = c->itemsTotal;
  if (c->itemsTotal > 0)
    c->errorCounts = static_cast<int32_t *>(
        MEM_ALLOC(int64_t(c->itemsTotal) * int64_t(sizeof(int32_t)), MEM_ZEROED));
  c->itemsComplete = c->filesErased = 0;
  DurationRing_Reset(&c->durations);
  c->alive = 1;
  c->finished = c->stopped = 0;
  c->currentIndex = 0;
  cleanupLog(c, "Start (%d items, %s)\n", c->itemsTotal, c->pieceMode ? "pieces" : "files");
  return 1;
}

int StorageCleanup_Stop(StorageCleanup *c) {
  CLEANUP_CHECK(c);
  c->alive = 0;
  c->stopped = 1;
  cleanupDropWaiting(c);
  return 1;
}

int StorageCleanup_Pump(StorageCleanup *c) {
  CLEANUP_CHECK(c);
  if (!StorageCleanup_IsRunning(c) || c->stopped) return 1;
  if (c->pieceMode)
    cleanupPumpPieces(c);
  else
    cleanupPumpFiles(c);
  return 1;
}

int StorageCleanup_IsRunning(StorageCleanup *c) {
  CLEANUP_CHECK(c);
  if (c->finished) return 0;
  return c->inFlight > 0 ? 1 : c->alive;
}

int StorageCleanup_IsFinished(StorageCleanup *c) {
  CLEANUP_CHECK(c);
  return c->finished;
}

void StorageCleanup_OnEraseDone(Storage *, void *context, void *, int32_t result,
                                int32_t resultEx) {
  auto *item = static_cast<CleanupItem *>(context);
  CHECK_POINTER(item);
  if (item->tag != kCleanupItemTag) Core_Abort(KSRC, "Class mismatch pointer (%p)\n", item);
  StorageCleanup *c = item->cleanup;
  if (result != 0)
    cleanupHandleError(c, item, result, resultEx);
  else if (item->generation != c->generation)
    cleanupFreeItem(c, item);  // an earlier run's erase
  else
    cleanupItemDone(c, item);
  Class_ReleaseObject(&c);  // the erase's reference
}

int StorageCleanup_GetStatus(StorageCleanup *c, Dictionary *status) {
  CLEANUP_CHECK(c);
  CHECK_POINTER(status);
  double progress = c->itemsTotal >= 1 ? double(c->itemsComplete) / c->itemsTotal : 0;
  Dictionary_SetFloat64ByKey(status, "progress", std::clamp(progress, 0.0, 1.0));
  Dictionary_SetInt32ByKey(status, "itemsTotal", c->itemsTotal);
  Dictionary_SetInt32ByKey(status, "itemsComplete", c->itemsComplete);
  Dictionary_SetInt32ByKey(status, "filesErased", c->filesErased);
  Dictionary_SetFloat64ByKey(status, "itemAverageTime", StorageCleanup_GetItemAverageTime(c));
  Dictionary_SetFloat64ByKey(status, "remainingTime", StorageCleanup_GetRemainingTime(c));
  return 1;
}

int32_t StorageCleanup_GetItemsTotal(StorageCleanup *c) {
  CLEANUP_CHECK(c);
  return c->itemsTotal;
}

int32_t StorageCleanup_GetItemsComplete(StorageCleanup *c) {
  CLEANUP_CHECK(c);
  return c->itemsComplete;
}

int32_t StorageCleanup_GetFilesErased(StorageCleanup *c) {
  CLEANUP_CHECK(c);
  return c->filesErased;
}

double StorageCleanup_GetItemAverageTime(StorageCleanup *c) {
  CLEANUP_CHECK(c);
  return DurationRing_GetAverage(&c->durations);
}

double StorageCleanup_GetRemainingTime(StorageCleanup *c) {
  CLEANUP_CHECK(c);
  return DurationRing_GetRemaining(&c->durations, int64_t(c->itemsTotal) - c->itemsComplete,
                                   c->limit);
}

namespace {

struct LeftoverWalk {
  const char *suffix;
  std::vector<std::string> names;  // relative, without a trailing '/'
};

// Paths come below the list's resolved root (with its '/').
int leftoverEntry(void *context, DirectoryList *list, int, const char *path) {
  auto *walk = static_cast<LeftoverWalk *>(context);
  std::string name = path + std::min(strlen(list->root), strlen(path));
  bool directory = !name.empty() && name.back() == '/';
  if (directory) name.pop_back();
  size_t suffix = strlen(walk->suffix);
  // A copy into a partial file goes through "<partial>.<8 hex>.tmp": one a
  // stop left goes with the partial names.
  constexpr size_t kCopyTail = 13;  // ".<8 hex>.tmp"
  std::string stem = name;
  if (!directory && name.size() > kCopyTail && name.compare(name.size() - 4, 4, ".tmp") == 0 &&
      name[name.size() - kCopyTail] == '.' &&
      std::all_of(name.end() - 12, name.end() - 4, [](char c) { return isxdigit(c) != 0; }))
    stem.resize(name.size() - kCopyTail);
  if (stem.size() <= suffix || stem.compare(stem.size() - suffix, suffix, walk->suffix) != 0)
    return kDirectoryListContinue;
  walk->names.push_back(name);
  return kDirectoryListPrune;  // a tree built aside goes whole
}

}  // namespace

int32_t StorageCleanup_RemoveLeftovers(RootDirectory *root, const char *suffix, FileIndex *keep) {
  CHECK_POINTER(root);
  CHECK_POINTER(suffix);
  // Listed through the root's own descriptor, as it is removed in.
  char listed[kPathMax];
  if (suffix[0] == '\0' || !RootDirectory_GetDescriptorPath(root, "", listed, int(sizeof listed)))
    return 0;
  DirectoryList *list = nullptr;
  DirectoryList_Create(&list);
  LeftoverWalk walk{suffix, {}};
  DirectoryList_SetCallback(list, leftoverEntry, &walk);
  DirectoryList_SetOrder(list, kDirectoryListParentFirst);
  DirectoryList_Walk(list, listed, nullptr);
  DirectoryList_Release(&list);
  int32_t removed = 0;
  for (const std::string &name : walk.names) {
    FileRecord *record = nullptr;
    if (keep != nullptr && FileIndex_FindName(keep, &record, name.c_str())) continue;
    if (RootDirectory_RemoveTree(root, name.c_str())) {
      Log_Print(LOG_INFO, KSRC, 0, "Left over by a stopped run: removed (%s)\n", name.c_str());
      removed++;
    }
  }
  return removed;
}
