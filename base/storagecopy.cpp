// The storage copy: piece stages, error path, file scheduler and progress;
// see storagecopy.h.
#include "base/storagecopy.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <new>

#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "base/enginelog.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/security/hash.h"

namespace {

#define COPY_CHECK(c) CLASS_CHECK((c), kStorageCopyTag)

#define copyLog(c, ...) EngineLog_Print(&(c)->log, __VA_ARGS__)

double copyNow() { return Platform_GetTickSeconds(); }

void copyWake(StorageCopy *c) { Thread_Wake(c->ownerThreadId, 0); }

Storage *copyTarget(StorageCopy *c) {
  return (c->flags & kStorageCopyToPending) ? c->pendingStorage : c->localStorage;
}

int32_t copyPieceLength(StorageCopy *c, int32_t index) {
  int32_t length = 0;
  if (index < MetaFile_GetPieceLengthCount(c->metafile))
    MetaFile_GetPieceLength(c->metafile, index, &length);
  return length;
}

// ---- Tickets ------------------------------------------------------------------------------

StorageCopyTicket *ticketCreate(StorageCopy *c, StorageRequest *r) {
  auto *t = static_cast<StorageCopyTicket *>(
      POOL_ALLOC(c->tickets, int32_t(sizeof(StorageCopyTicket))));
  t->tag = kStorageCopyTicketTag;
  t->copy = c;
  t->request = r;
  t->pieceIndex = StorageRequest_GetPieceIndex(r);
  t->generation = c->generation;
  t->previous = c->lastTicket;
  (c->lastTicket ? c->lastTicket->next : c->firstTicket) = t;
  c->lastTicket = t;
  return t;
}

void ticketFree(StorageCopy *c, StorageCopyTicket *t) {
  (t->previous ? t->previous->next : c->firstTicket) = t->next;
  (t->next ? t->next->previous : c->lastTicket) = t->previous;
  t->tag = 0;
  void *member = t;
  POOL_FREE(c->tickets, &member, int32_t(sizeof(StorageCopyTicket)));
}

StorageCopyTicket *ticketOf(void *context) {
  auto *t = static_cast<StorageCopyTicket *>(context);
  CHECK_POINTER(t);
  if (t->tag != kStorageCopyTicketTag) Core_Abort(KSRC, "Class mismatch pointer (%p)\n", t);
  return t;
}

// A request of a stopped run goes back: into the queue when the queue
// still holds its piece (so that a later start hands it out again), else
// straight to the owner. Nothing is counted.
void ticketGiveBack(StorageCopy *c, StorageCopyTicket *t) {
  StorageRequest *r = t->request;
  bool current = t->generation == c->generation;
  ticketFree(c, t);
  if (current)
    PieceQueue_Requeue(c->queue, r);
  else
    StorageCopy_OnReleaseRequest(c->queue, c, &r);
}

// ---- File completions ---------------------------------------------------------------------

void itemUnlink(StorageCopy *c, FileCompletion *item) {
  (item->previous ? item->previous->next : c->firstItem) = item->next;
  (item->next ? item->next->previous : c->lastItem) = item->previous;
  item->previous = item->next = nullptr;
  c->itemCount--;
  c->itemsReplacing -= item->replaces;
}

void itemFree(StorageCopy *c, FileCompletion *item) {
  item->tag = 0;
  void *member = item;
  POOL_FREE(c->items, &member, int32_t(sizeof(FileCompletion)));
}

// Waiting items are freed; those in flight are freed when their result
// arrives.
void copyDropItems(StorageCopy *c) {
  while (c->firstItem != nullptr) {
    FileCompletion *item = c->firstItem;
    itemUnlink(c, item);
    if (item->inFlight)
      item->abandoned = 1;
    else
      itemFree(c, item);
  }
  c->filesInFlight = 0;
}

// ---- Mask index ---------------------------------------------------------------------------

void maskIndexFree(StorageCopy *c) {
  if (c->maskOrder != nullptr)
    MEM_FREE(c->maskOrder, int64_t(c->maskOrderCount) * int64_t(sizeof(int32_t)));
  c->maskOrder = nullptr;
  c->maskOrderCount = 0;
  c->maskDigestSize = 0;
}

// Orders the mask list's pieces by digest, then by index, so that the
// candidates of one digest are a run found by bisection, tried in index
// order. Nothing is indexed when the lists differ in algorithm or a digest
// is not the algorithm's size: no piece is masked then.
void maskIndexBuild(StorageCopy *c) {
  maskIndexFree(c);
  if (c->metafile == nullptr || c->maskMetaFile == nullptr) return;
  PieceList *target = MetaFile_GetPieceList(c->metafile);
  PieceList *mask = MetaFile_GetPieceList(c->maskMetaFile);
  if (target == nullptr || mask == nullptr) return;
  int32_t count = PieceList_GetPieceTotal(mask);
  if (count < 1 || PieceList_GetPieceTotal(target) < 1) return;
  const HashInterface *a = nullptr, *b = nullptr;
  if (!Hash_GetInterfaceByName(PieceList_GetAlgorithm(mask), &a) ||
      !Hash_GetInterfaceByName(PieceList_GetAlgorithm(target), &b) || a != b)
    return;
  int32_t size = a->DigestSize;
  if (PieceList_GetDigestLength(mask) != size || PieceList_GetDigestLength(target) != size)
    return;
  c->maskOrder =
      static_cast<int32_t *>(MEM_ALLOC(int64_t(count) * int64_t(sizeof(int32_t)), 0));
  c->maskOrderCount = count;
  c->maskDigestSize = size;
  for (int32_t i = 0; i < count; i++) c->maskOrder[i] = i;
  const uint8_t *digests = mask->digests;
  std::sort(c->maskOrder, c->maskOrder + count, [&](int32_t x, int32_t y) {
    int order = memcmp(digests + int64_t(x) * size, digests + int64_t(y) * size, size_t(size));
    return order != 0 ? order < 0 : x < y;
  });
}

// ---- Counters -----------------------------------------------------------------------------

void copyResetCounters(StorageCopy *c) {
  double now = copyNow();
  c->lastPieceTime = c->lastFileTime = now;
  c->filesComplete = c->piecesSkipped = c->piecesWritten = 0;
  c->bytesSkipped = c->bytesWritten = c->maskedSum = 0;
  c->maskScan = 0;
  DurationRing_Reset(&c->durations);
}

void copyCountSkipped(StorageCopy *c, StorageCopyTicket *t) {
  c->piecesSkipped++;
  c->bytesSkipped += copyPieceLength(c, t->pieceIndex);
  t->done = 1;
}

// ---- Stages -------------------------------------------------------------------------------

void copyRunState(StorageCopy *c, StorageCopyTicket *t, int32_t stage, int32_t entering,
                  int32_t code, int32_t codeEx);
void copyNextStage(StorageCopy *c, StorageCopyTicket *t);

void copyPieceComplete(StorageCopy *c, StorageCopyTicket *t) {
  double now = copyNow();
  c->lastPieceTime = now;
  StorageRequest *r = t->request;
  if (!t->done && c->piecesWritten >= 1)
    DurationRing_Add(&c->durations, now - StorageRequest_GetStartTime(r));
  copyLog(c, "Piece Complete (%d)\n", t->pieceIndex);
  ticketFree(c, t);
  PieceQueue_Complete(c->queue, r);
  copyWake(c);
}

// Starts a storage operation for the ticket; its result comes back through
// StorageCopy_OnStorageDone, holding a copy reference until then.
void copyBeginOperation(StorageCopy *c, StorageCopyTicket *t) {
  t->busy = 1;
  Class_Retain(c);
}

int32_t copyStageMask(StorageCopy *c, StorageCopyTicket *t) {
  StorageRequest *r = t->request;
  StorageRequest_AddPiece(r, t->pieceIndex);
  if ((c->flags & kStorageCopyMask) && StorageCopy_IsMasked(c, r, t->pieceIndex)) {
    copyLog(c, "Piece Skipped (Mask) (%d)\n", t->pieceIndex);
    copyCountSkipped(c, t);
  } else {
    StorageRequest_AllocBuffer(r);
  }
  copyNextStage(c, t);
  return 0;
}

// A piece now in the pending storage, for a copy into it.
void copyNoteStaged(StorageCopy *c, int32_t index) {
  if (c->staged == nullptr || !(c->flags & kStorageCopyToPending)) return;
  int32_t size = 0;
  BitField_GetSize(c->staged, &size);
  if (index >= 0 && index < size) BitField_Set(c->staged, index);
}

// Stages 1 and 2: verify the piece in a storage into the request.
int32_t copyStageVerify(StorageCopy *c, StorageCopyTicket *t, Storage *storage, int32_t entering) {
  if (entering) {
    copyBeginOperation(c, t);
    Storage_Read(storage, t->request, nullptr, t, StorageCopy_OnStorageDone);
    return 0;
  }
  if (t->stage == kStorageCopyStagePending && !(c->flags & kStorageCopyToPending)) {
    // The verified data goes to the local storage: past exists and transfer.
    copyLog(c, "Piece Pending (%d)\n", t->pieceIndex);
    t->stage = kStorageCopyStageTransfer;
  } else {
    if (t->stage == kStorageCopyStagePending) copyNoteStaged(c, t->pieceIndex);
    copyLog(c, t->stage == kStorageCopyStagePending ? "Piece Skipped (Pending) (%d)\n"
                                                    : "Piece Skipped (Exists) (%d)\n",
            t->pieceIndex);
    copyCountSkipped(c, t);
  }
  copyNextStage(c, t);
  return 0;
}

int32_t copyStageTransfer(StorageCopy *c, StorageCopyTicket *t, int32_t entering) {
  if (entering) {
    Storage *source = nullptr;
    if (c->source != nullptr) c->source(c, c->sourceContext, t->request, &source);
    if (c->stopped) {
      ticketGiveBack(c, t);
      return 0;
    }
    if (source == nullptr)
      Core_Abort(KSRC, "Assertion failed (SourceStorage != NULL)\nNo source storage for piece\n");
    copyBeginOperation(c, t);
    Storage_Read(source, t->request, nullptr, t, StorageCopy_OnStorageDone);
    return 0;
  }
  copyNextStage(c, t);
  return 0;
}

int32_t copyStageWrite(StorageCopy *c, StorageCopyTicket *t, int32_t entering) {
  if (entering) {
    copyBeginOperation(c, t);
    Storage_Write(copyTarget(c), t->request, t, StorageCopy_OnStorageDone);
    return 0;
  }
  c->piecesWritten++;
  c->bytesWritten += copyPieceLength(c, t->pieceIndex);
  copyNoteStaged(c, t->pieceIndex);
  copyNextStage(c, t);
  return 0;
}

void copyNextStage(StorageCopy *c, StorageCopyTicket *t) {
  if (!t->done) {
    static constexpr uint32_t kStageFlag[] = {0, kStorageCopyPending, kStorageCopyExists,
                                             kStorageCopyTransfer, kStorageCopyWrite};
    for (int32_t s = t->stage + 1; s <= kStorageCopyStageWrite; s++)
      if (c->flags & kStageFlag[s]) return copyRunState(c, t, s, 1, 0, 0);
  }
  copyPieceComplete(c, t);
}

void copyApplyResponse(StorageCopy *c, StorageCopyTicket *t, int32_t response) {
  switch (response) {
    case kStorageResponseRequeue: {
      StorageRequest *r = t->request;
      ticketFree(c, t);
      PieceQueue_Requeue(c->queue, r);
      return;
    }
    case kStorageResponseRetry:
      return copyRunState(c, t, t->stage, 1, 0, 0);
    case kStorageResponseContinue:
      return copyNextStage(c, t);
    default:
      Core_Abort(KSRC, "Unhandled StorageCopy error response (%d)\n", response);
  }
}

struct CopyResponseEvent {
  StorageCopyTicket *ticket;
  int32_t response;
};

void copyResponseDue(uintptr_t eventId, void *payload) {
  auto *c = reinterpret_cast<StorageCopy *>(eventId);
  auto *e = static_cast<CopyResponseEvent *>(payload);
  StorageCopyTicket *t = ticketOf(e->ticket);
  t->waiting = 0;
  copyApplyResponse(c, t, e->response);
}

struct CopyHeldEvent {
  int32_t index;
  uint32_t generation;
};

// A held piece's retry is due: it goes back into the queue, to go out on
// the next free request.
void copyHeldDue(uintptr_t eventId, void *payload) {
  auto *c = reinterpret_cast<StorageCopy *>(eventId);
  auto *e = static_cast<CopyHeldEvent *>(payload);
  if (e->generation != c->generation) return;
  auto at = std::find(c->heldPieces.begin(), c->heldPieces.end(), e->index);
  if (at == c->heldPieces.end()) return;
  c->heldPieces.erase(at);
  PieceQueue_Return(c->queue, e->index);
  copyWake(c);
}

void copyHandleError(StorageCopy *c, StorageCopyTicket *t, int32_t source, int32_t type,
                     int32_t code, int32_t codeEx) {
  int32_t index = t->pieceIndex;
  bool digest = source == 0 && code == kStorageDigestMismatch;
  int32_t count = digest ? PieceQueue_GetDigestErrorCount(c->queue, index)  // checks the index
                         : PieceQueue_GetErrorCount(c->queue, index);
  int32_t response = kStorageResponseRetry;
  double retryTime = 0;
  if (c->error != nullptr)
    response = c->error(c, c->errorContext, t->request, source, index, count, type, code, codeEx,
                        &retryTime);
  if (c->stopped) return ticketGiveBack(c, t);  // the owner stopped the copy meanwhile
  if (response < kStorageResponseRequeue || response > kStorageResponseContinue)
    Core_Abort(KSRC, "Unhandled StorageCopy error response (%d)\n", response);
  if (response != kStorageResponseContinue) {
    PieceQueue_AddError(c->queue, index);
    if (digest) PieceQueue_AddDigestError(c->queue, index);
  }
  t->retryTime = retryTime;
  if (copyNow() >= retryTime) return copyApplyResponse(c, t, response);
  // A transfer waiting for its retry gives its request back meanwhile, so
  // that the other pieces go out on it; the piece is fetched anew when due.
  if (response == kStorageResponseRetry && t->stage == kStorageCopyStageTransfer &&
      t->generation == c->generation) {
    StorageRequest *r = t->request;
    CopyHeldEvent e = {index, c->generation};
    ticketFree(c, t);
    c->heldPieces.push_back(index);
    PieceQueue_Hold(c->queue, r);
    EventQueue_Post(c->eventQueue, reinterpret_cast<uintptr_t>(c), &e, sizeof e, copyHeldDue,
                    nullptr, nullptr, KSRC, retryTime);
    return;
  }
  CopyResponseEvent e = {t, response};
  t->waiting = 1;
  EventQueue_Post(c->eventQueue, reinterpret_cast<uintptr_t>(c), &e, sizeof e, copyResponseDue,
                  nullptr, nullptr, KSRC, retryTime);
}

void copyReportError(StorageCopy *c, StorageCopyTicket *t, int32_t stage, int32_t code,
                     int32_t codeEx) {
  bool toPending = (c->flags & kStorageCopyToPending) != 0;
  switch (stage) {
    case kStorageCopyStagePending:
      return copyHandleError(c, t, 2, 1, code, codeEx);
    case kStorageCopyStageExists:
      return copyHandleError(c, t, 1, 1, code, codeEx);
    case kStorageCopyStageTransfer:
      // Bytes that failed their digest may be a cache's: the next transfer
      // of the piece asks past caches.
      if (code == kStorageDigestMismatch) {
        t->request->bypassCaches = 1;
        t->request->digestFailedAt = t->request->storage;
      }
      return copyHandleError(c, t, code > 0 ? 0 : 3, 1, code < 0 ? -code : code, codeEx);
    case kStorageCopyStageWrite:
      return copyHandleError(c, t, toPending ? 2 : 1, 3, code, codeEx);
    default:
      Core_Abort(KSRC, "Unhandled storage copy state (%d)\n", stage);
  }
}

// The ticket is in hand (in no storage operation, no response queued for
// it): on a stopped copy its request goes back.
void copyRunState(StorageCopy *c, StorageCopyTicket *t, int32_t stage, int32_t entering,
                  int32_t code, int32_t codeEx) {
  if (c->stopped) return ticketGiveBack(c, t);
  if (entering) {
    t->stage = stage;
    StorageRequest_SetStorage(t->request, nullptr);
  }
  copyLog(c, "Run State - %p %d %d %d %d\n", static_cast<void *>(t->request), stage, entering,
          code, codeEx);
  if (!entering && code != 0) return copyReportError(c, t, stage, code, codeEx);
  switch (stage) {
    case kStorageCopyStageMask:
      copyStageMask(c, t);
      return;
    case kStorageCopyStagePending:
      copyStageVerify(c, t, c->pendingStorage, entering);
      return;
    case kStorageCopyStageExists:
      copyStageVerify(c, t, c->localStorage, entering);
      return;
    case kStorageCopyStageTransfer:
      copyStageTransfer(c, t, entering);
      return;
    case kStorageCopyStageWrite:
      copyStageWrite(c, t, entering);
      return;
    default:
      Core_Abort(KSRC, "Unhandled state (StorageCopy: %d)\n", stage);
  }
}

// ---- File scheduler -----------------------------------------------------------------------

// The pieces [first, last] that hold the file's bytes and pad.
void copyFilePieces(StorageCopy *c, FileEntry *entry, int32_t *first, int32_t *last) {
  PieceList *list = MetaFile_GetPieceList(c->metafile);
  int64_t size = list != nullptr ? PieceList_GetPieceSize(list) : 1;
  int32_t pieces = list != nullptr ? PieceList_GetPieceTotal(list) : 0;
  int64_t offset = (entry->flags & kFileEntryOffset) ? entry->offset : 0;
  int64_t end = std::max<int64_t>(offset + entry->size + entry->pad - 1, 0);
  int64_t a = offset / size, b = end / size;
  if (entry->size == 0) {
    int64_t lastPiece = std::max(pieces - 1, 0);
    a = std::min(a, lastPiece);
    b = std::min(b, lastPiece);
  }
  *first = int32_t(std::min<int64_t>(a, INT32_MAX));
  *last = int32_t(std::min<int64_t>(b, INT32_MAX));
}

// 1 when entry's name is a file of the installed version (the mask
// metafile's): its completion replaces that file.
int32_t copyReplacesInstalled(StorageCopy *c, FileEntry *entry) {
  FileIndex *installed = c->maskMetaFile != nullptr ? MetaFile_GetFileIndex(c->maskMetaFile) : nullptr;
  FileRecord *record = nullptr;
  return installed != nullptr && entry->name != nullptr &&
         FileIndex_FindName(installed, &record, entry->name);
}

void copyQueueFiles(StorageCopy *c) {
  const BitField *done = PieceQueue_GetDone(c->queue);
  while (c->currentFile != nullptr) {
    int32_t first = 0, last = 0;
    copyFilePieces(c, c->currentFile, &first, &last);
    if (!BitField_IsRangeSet(done, first, last - first + 1)) return;
    auto *item =
        static_cast<FileCompletion *>(POOL_ALLOC(c->items, int32_t(sizeof(FileCompletion))));
    item->tag = kFileCompletionTag;
    item->copy = c;
    item->entry = c->currentFile;
    item->replaces = copyReplacesInstalled(c, c->currentFile);
    c->itemsReplacing += item->replaces;
    item->notBefore = copyNow();
    item->previous = c->lastItem;
    (c->lastItem ? c->lastItem->next : c->firstItem) = item;
    c->lastItem = item;
    c->itemCount++;
    c->currentFile = c->currentFile->next;
  }
}

void copyPumpFiles(StorageCopy *c) {
  if (c->filesFinished || c->metafile == nullptr) return;
  copyQueueFiles(c);
  double now = -1;  // read once, and only when an item waits: pumps come often
  Storage *target = copyTarget(c);
  for (FileCompletion *item = c->firstItem; item != nullptr; item = item->next) {
    if (c->fileCompleteLimit >= 1 && c->filesInFlight >= c->fileCompleteLimit) break;
    // The installed version stays whole until every piece of the new one
    // is in: no file of it is replaced before.
    if (item->inFlight || (item->replaces && !c->piecesFinished)) continue;
    if (now < 0) now = copyNow();
    if (item->notBefore > now) continue;
    item->inFlight = 1;
    c->filesInFlight++;
    Class_Retain(c);
    Storage_CompleteFile(target, MetaFile_GetFileList(c->metafile), item->entry, item,
                         StorageCopy_OnFileComplete);
  }
  if (c->currentFile == nullptr && c->firstItem == nullptr) c->filesFinished = 1;
}

void copyScanMasked(StorageCopy *c) {
  if (c->maskScan < 0) return;
  if (c->mask == nullptr || c->metafile == nullptr) {
    c->maskedSum = 0;
    c->maskScan = -1;
    return;
  }
  int32_t size = 0;
  BitField_GetSize(c->mask, &size);
  int32_t end = int32_t(std::min<int64_t>(int64_t(c->maskScan) + kStorageCopyMaskScanStep, size));
  for (int32_t i = c->maskScan; i < end; i++)
    if (BitField_IsSet(c->mask, i)) c->maskedSum += copyPieceLength(c, i);
  c->maskScan = end >= size ? -1 : end;
}

void copyDestroy(void **object) {
  auto *c = static_cast<StorageCopy *>(*object);
  // Only requests waiting for a delayed response can be left: every other
  // one held a reference.
  EventQueue_Cancel(c->eventQueue, reinterpret_cast<uintptr_t>(c));
  while (c->firstTicket != nullptr) {
    StorageCopyTicket *t = c->firstTicket;
    StorageRequest *r = t->request;
    ticketFree(c, t);
    StorageCopy_OnReleaseRequest(c->queue, c, &r);
  }
  copyDropItems(c);
  PieceQueue_Release(&c->queue);
  maskIndexFree(c);
  if (c->maskRequest != nullptr) Class_ReleaseObject(&c->maskRequest);
  Pool_Release(&c->items);
  Pool_Release(&c->tickets);
  Class_ReleaseObject(&c->eventQueue);
  c->header.classTag = 0;
  c->~StorageCopy();
  MEM_FREE(c, sizeof(StorageCopy));
}

void copyQueueLog(void *context, const char *format, ...) {
  auto *c = static_cast<StorageCopy *>(context);
  va_list args;
  va_start(args, format);
  if (c->log.sink != nullptr) {
    char line[2048];
    Str_VPrintf(line, sizeof line, format, args);
    c->log.sink(c->log.sinkContext, "%s", line);
  }
  va_end(args);
}

}  // namespace

int StorageCopy_Create(StorageCopy **copy) {
  CHECK_POINTER(copy);
  auto *c = new (MEM_ALLOC(sizeof(StorageCopy), MEM_ZEROED)) StorageCopy();
  c->header.classTag = kStorageCopyTag;
  c->header.refCount.store(1);
  c->header.destroy = copyDestroy;
  c->log.object = c;
  c->log.className = "StorageCopy";
  c->flags = kStorageCopyDefaultFlags;
  c->fileCompleteLimit = kStorageCopyFileCompletes;
  c->fileWeight = kStorageCopyFileWeight;
  c->pieceWeight = kStorageCopyPieceWeight;
  c->maskScan = -1;
  c->lastPieceTime = c->lastFileTime = copyNow();
  c->ownerThreadId = Thread_GetCurrentId();
  c->eventQueue = Thread_GetEventQueue(c->ownerThreadId);
  if (c->eventQueue == nullptr)
    c->eventQueue = static_cast<EventQueue *>(Class_Retain(EventQueue_GetMain()));
  CHECK_POINTER(c->eventQueue);
  Pool_Create(&c->items, KSRC);
  Pool_SetMemberSize(c->items, int32_t(sizeof(FileCompletion)));
  Pool_SetMemberChunkSize(c->items, kStorageCopyItemGrowth);
  Pool_Create(&c->tickets, KSRC);
  Pool_SetMemberSize(c->tickets, int32_t(sizeof(StorageCopyTicket)));
  Pool_SetMemberChunkSize(c->tickets, kStorageCopyItemGrowth);
  PieceQueue_Create(&c->queue);
  PieceQueue_SetAcquireRequestCallback(c->queue, c, StorageCopy_OnAcquireRequest);
  PieceQueue_SetReleaseRequestCallback(c->queue, c, StorageCopy_OnReleaseRequest);
  PieceQueue_SetRequestReadyCallback(c->queue, c, StorageCopy_OnRequestReady);
  PieceQueue_SetFinishedCallback(c->queue, c, StorageCopy_OnPiecesFinished);
  DurationRing_Reset(&c->durations);
  *copy = c;
  return 1;
}

int StorageCopy_Destroy(StorageCopy **copy) {
  CHECK_POINTER(copy);
  COPY_CHECK(*copy);
  Class_ReleaseObject(copy);
  return 1;
}

int StorageCopy_SetFlags(StorageCopy *c, uint32_t flags) {
  COPY_CHECK(c);
  c->flags = flags;
  return 1;
}

int StorageCopy_GetFlags(StorageCopy *c, uint32_t *flags) {
  COPY_CHECK(c);
  CHECK_POINTER(flags);
  *flags = c->flags;
  return 1;
}

int StorageCopy_SetRequestCount(StorageCopy *c, int32_t count) {
  COPY_CHECK(c);
  c->requestCount = count;
  return 1;
}

int StorageCopy_SetFileCompleteLimit(StorageCopy *c, int32_t limit) {
  COPY_CHECK(c);
  c->fileCompleteLimit = limit;
  return 1;
}

int StorageCopy_SetFileWeight(StorageCopy *c, double weight) {
  COPY_CHECK(c);
  c->fileWeight = weight;
  return 1;
}

int StorageCopy_SetPieceWeight(StorageCopy *c, double weight) {
  COPY_CHECK(c);
  c->pieceWeight = weight;
  return 1;
}

int StorageCopy_SetMask(StorageCopy *c, BitField *mask) {
  COPY_CHECK(c);
  if (mask != nullptr) CLASS_CHECK(mask, kBitFieldTag);
  c->mask = mask;
  return 1;
}

int StorageCopy_SetStaged(StorageCopy *c, BitField *staged) {
  COPY_CHECK(c);
  if (staged != nullptr) CLASS_CHECK(staged, kBitFieldTag);
  c->staged = staged;
  return 1;
}

int StorageCopy_SetLocalStorage(StorageCopy *c, Storage *storage) {
  COPY_CHECK(c);
  if (storage != nullptr) CLASS_CHECK(storage, kStorageTag);
  c->localStorage = storage;
  return 1;
}

int StorageCopy_SetPendingStorage(StorageCopy *c, Storage *storage) {
  COPY_CHECK(c);
  if (storage != nullptr) CLASS_CHECK(storage, kStorageTag);
  c->pendingStorage = storage;
  return 1;
}

int StorageCopy_SetMetaFile(StorageCopy *c, MetaFile *metafile) {
  COPY_CHECK(c);
  if (metafile != nullptr) CLASS_CHECK(metafile, kMetaFileTag);
  c->metafile = metafile;
  return 1;
}

int StorageCopy_SetMaskMetaFile(StorageCopy *c, MetaFile *metafile) {
  COPY_CHECK(c);
  if (metafile != nullptr) CLASS_CHECK(metafile, kMetaFileTag);
  c->maskMetaFile = metafile;
  return 1;
}

int StorageCopy_SetLogParent(StorageCopy *c, void *context, ClassLogSink sink) {
  COPY_CHECK(c);
  EngineLog_SetSink(&c->log, context, sink);
  PieceQueue_SetLogSink(c->queue, sink != nullptr ? c : nullptr,
                        sink != nullptr ? copyQueueLog : nullptr);
  return 1;
}

FileEntry *StorageCopy_GetFailedFile(StorageCopy *c) {
  COPY_CHECK(c);
  return c->failedFile;
}

int StorageCopy_SetErrorCallback(StorageCopy *c, void *context, StorageCopyErrorFunction f) {
  COPY_CHECK(c);
  c->errorContext = context;
  c->error = f;
  return 1;
}

int StorageCopy_SetSourceCallback(StorageCopy *c, void *context, StorageCopySourceFunction f) {
  COPY_CHECK(c);
  c->sourceContext = context;
  c->source = f;
  return 1;
}

int StorageCopy_SetAcquireRequestCallback(StorageCopy *c, void *context,
                                          StorageCopyAcquireFunction f) {
  COPY_CHECK(c);
  c->acquireContext = context;
  c->acquire = f;
  return 1;
}

int StorageCopy_SetReleaseRequestCallback(StorageCopy *c, void *context,
                                          StorageCopyReleaseFunction f) {
  COPY_CHECK(c);
  c->releaseContext = context;
  c->release = f;
  return 1;
}

int StorageCopy_Reset(StorageCopy *c) {
  COPY_CHECK(c);
  if (c->alive)
    Core_Abort(KSRC,
               "Assertion failed (StorageCopy->Alive == FALSE)\nUnable to reset active storage "
               "copy\n");
  EventQueue_Cancel(c->eventQueue, reinterpret_cast<uintptr_t>(c));
  c->metafile = c->maskMetaFile = nullptr;
  c->generation++;  // requests still out go straight back to the owner
  c->heldPieces.clear();
  PieceQueue_SetMetaFile(c->queue, nullptr);
  PieceQueue_Reset(c->queue, nullptr, 0);  // frees the error counts too
  c->currentFile = nullptr;
  c->alive = c->piecesFinished = c->filesFinished = 0;
  DurationRing_Reset(&c->durations);
  copyDropItems(c);
  maskIndexFree(c);
  c->contentBytes = 0;
  return 1;
}

int StorageCopy_Configure(StorageCopy *c) {
  COPY_CHECK(c);
  if (c->alive)
    Core_Abort(KSRC,
               "Assertion failed (StorageCopy->Alive == FALSE)\nUnable to configure active "
               "storage copy\n");
  copyResetCounters(c);
  c->stopped = c->piecesFinished = c->filesFinished = 0;
  c->generation++;
  c->heldPieces.clear();
  copyDropItems(c);
  PieceQueue_SetMetaFile(c->queue, c->metafile);
  c->currentFile = nullptr;
  c->contentBytes = 0;
  if (c->metafile != nullptr) {
    FileList_GetFirst(MetaFile_GetFileList(c->metafile), &c->currentFile);
    int32_t n = MetaFile_GetPieceLengthCount(c->metafile);
    for (int32_t i = 0; i < n; i++) c->contentBytes += copyPieceLength(c, i);
  }
  PieceQueue_Reset(c->queue, c->mask, (c->flags & kStorageCopyDelta) ? 1 : 0);
  maskIndexBuild(c);
  return 1;
}

int StorageCopy_Start(StorageCopy *c) {
  COPY_CHECK(c);
  if (c->alive)
    Core_Abort(KSRC,
               "Assertion failed (StorageCopy->Alive == FALSE)\nUnable to start active storage "
               "copy\n");
  copyResetCounters(c);
  c->stopped = 0;
  c->alive = 1;
  return 1;
}

int StorageCopy_Stop(StorageCopy *c) {
  COPY_CHECK(c);
  c->stopped = 1;
  c->alive = 0;
  // Pending responses are cancelled before their requests go back, so none
  // of them runs on a ticket that is gone.
  EventQueue_Cancel(c->eventQueue, reinterpret_cast<uintptr_t>(c));
  // A ticket in neither a storage operation nor a queued response is in the
  // hands of the code that called the owner (an error or source callback
  // that stops the copy); that code gives it back when the callback returns.
  for (int32_t index : c->heldPieces) PieceQueue_Return(c->queue, index);
  c->heldPieces.clear();
  for (StorageCopyTicket *t = c->firstTicket, *next = nullptr; t != nullptr; t = next) {
    next = t->next;
    if (t->waiting) {
      t->waiting = 0;
      ticketGiveBack(c, t);
    } else {
      t->abandoned = 1;
      if (t->busy) StorageRequest_SetCancelled(t->request);  // drivers may end it early
    }
  }
  copyDropItems(c);
  return 1;
}

int StorageCopy_Pump(StorageCopy *c) {
  COPY_CHECK(c);
  if (!c->alive) return 1;
  if (StorageCopy_IsRunning(c)) {
    if (!c->piecesFinished) PieceQueue_Pump(c->queue);
    if (!c->stopped && !c->filesFinished) copyPumpFiles(c);
  }
  // The scan goes on after the last piece, so that a finished copy reports
  // its masked bytes too.
  if (c->alive) copyScanMasked(c);
  return 1;
}

int StorageCopy_IsRunning(StorageCopy *c) {
  COPY_CHECK(c);
  return c->alive && !StorageCopy_IsFinished(c) ? 1 : 0;
}

int StorageCopy_IsFinished(StorageCopy *c) {
  COPY_CHECK(c);
  return c->piecesFinished && c->filesFinished ? 1 : 0;
}

int32_t StorageCopy_GetRequestsOut(StorageCopy *c) {
  COPY_CHECK(c);
  return c->requestsOut;
}

int StorageCopy_OnAcquireRequest(PieceQueue *, void *context, StorageRequest **request) {
  auto *c = static_cast<StorageCopy *>(context);
  COPY_CHECK(c);
  CHECK_POINTER(request);
  *request = nullptr;
  if (c->acquire == nullptr || !c->acquire(c, c->acquireContext, request) || *request == nullptr)
    return 0;
  c->requestsOut++;
  return 1;
}

void StorageCopy_OnReleaseRequest(PieceQueue *, void *context, StorageRequest **request) {
  auto *c = static_cast<StorageCopy *>(context);
  COPY_CHECK(c);
  CHECK_POINTER(request);
  c->requestsOut--;
  if (c->release != nullptr) c->release(c, c->releaseContext, request);
}

void StorageCopy_OnRequestReady(PieceQueue *, void *context, StorageRequest *request) {
  auto *c = static_cast<StorageCopy *>(context);
  COPY_CHECK(c);
  StorageCopyTicket *t = ticketCreate(c, request);
  copyRunState(c, t, kStorageCopyStageMask, 1, 0, 0);
}

void StorageCopy_OnPiecesFinished(PieceQueue *, void *context) {
  auto *c = static_cast<StorageCopy *>(context);
  COPY_CHECK(c);
  c->piecesFinished = 1;
}

void StorageCopy_OnStorageDone(Storage *, void *context, void *, int32_t result,
                               int32_t resultEx) {
  StorageCopyTicket *t = ticketOf(context);
  StorageCopy *c = t->copy;
  t->busy = 0;
  if (t->abandoned)
    ticketGiveBack(c, t);
  else
    copyRunState(c, t, t->stage, 0, result, resultEx);
  Class_ReleaseObject(&c);  // the operation's reference
}

void StorageCopy_OnFileComplete(Storage *, void *context, void *, int32_t result,
                                int32_t resultEx) {
  auto *item = static_cast<FileCompletion *>(context);
  CHECK_POINTER(item);
  if (item->tag != kFileCompletionTag) Core_Abort(KSRC, "Class mismatch pointer (%p)\n", item);
  StorageCopy *c = item->copy;
  if (item->abandoned) {
    itemFree(c, item);
    Class_ReleaseObject(&c);
    return;
  }
  c->filesInFlight--;
  int32_t response = kStorageResponseContinue;
  if (result != 0) {
    double retryTime = 0;
    bool toPending = (c->flags & kStorageCopyToPending) != 0;
    response = kStorageResponseRetry;
    if (c->error != nullptr) {
      c->failedFile = item->entry;
      response = c->error(c, c->errorContext, nullptr, toPending ? 2 : 1, -1, item->errorCount,
                          3, result, resultEx, &retryTime);
      c->failedFile = nullptr;
    }
    if (item->abandoned) {  // the owner stopped the copy meanwhile
      itemFree(c, item);
      Class_ReleaseObject(&c);
      return;
    }
    if (response < kStorageResponseRequeue || response > kStorageResponseContinue)
      Core_Abort(KSRC, "Unhandled StorageCopy error response (%d)\n", response);
    if (response != kStorageResponseContinue) {
      item->inFlight = 0;
      item->notBefore = retryTime;
      item->errorCount++;
      item->lastCode = result;
      item->lastCodeEx = resultEx;
    }
  }
  if (response == kStorageResponseContinue) {
    c->filesComplete++;
    c->lastFileTime = copyNow();
    itemUnlink(c, item);
    itemFree(c, item);
    copyWake(c);
  }
  Class_ReleaseObject(&c);
}

int StorageCopy_IsMasked(StorageCopy *c, StorageRequest *request, int32_t index) {
  COPY_CHECK(c);
  if (c->maskOrder == nullptr) return 0;
  PieceList *target = MetaFile_GetPieceList(c->metafile);
  PieceList *mask = MetaFile_GetPieceList(c->maskMetaFile);
  if (index < 0 || index >= PieceList_GetPieceTotal(target)) return 0;
  int32_t size = c->maskDigestSize;
  const uint8_t *digest = target->digests + int64_t(index) * size;
  const uint8_t *digests = mask->digests;
  int32_t *first = std::lower_bound(c->maskOrder, c->maskOrder + c->maskOrderCount, digest,
                                    [&](int32_t piece, const uint8_t *d) {
                                      return memcmp(digests + int64_t(piece) * size, d,
                                                    size_t(size)) < 0;
                                    });
  for (int32_t *at = first; at < c->maskOrder + c->maskOrderCount; at++) {
    if (memcmp(digests + int64_t(*at) * size, digest, size_t(size)) != 0) break;
    if (c->maskRequest == nullptr) StorageRequest_Create(&c->maskRequest);
    StorageRequest_Reset(c->maskRequest);
    StorageRequest_SetMetaFile(c->maskRequest, c->maskMetaFile);
    StorageRequest_AddPiece(c->maskRequest, *at);
    if (StorageRequest_SameMembers(c->maskRequest, request)) return 1;
  }
  return 0;
}

// ---- Progress -----------------------------------------------------------------------------

namespace {

int32_t copyFilesTotal(StorageCopy *c) {
  return c->metafile != nullptr ? FileList_GetCount(MetaFile_GetFileList(c->metafile)) : 0;
}

int32_t copyPiecesMasked(StorageCopy *c) {
  int32_t count = 0;
  if (c->mask != nullptr) BitField_GetSetCount(c->mask, &count);
  return count;
}

int32_t copyPiecesComplete(StorageCopy *c) {
  int32_t count = 0, size = -1;
  if (c->mask != nullptr) BitField_GetSize(c->mask, &size);
  bool masked = c->mask != nullptr && size == PieceQueue_GetPieceCount(c->queue);
  PieceQueue_GetCompleteCount(c->queue, masked ? c->mask : nullptr, &count);
  return count;
}

int64_t copyBytesMasked(StorageCopy *c) { return c->maskScan < 0 ? c->maskedSum : 0; }

}  // namespace

double StorageCopy_GetProgress(StorageCopy *c) {
  COPY_CHECK(c);
  int32_t filesTotal = copyFilesTotal(c), piecesTotal = PieceQueue_GetPieceCount(c->queue);
  // A file held back until every piece is in counts: its bytes are.
  double files =
      filesTotal >= 1 ? double(c->filesComplete + c->itemsReplacing) / filesTotal : 0;
  double pieces = piecesTotal >= 1 ? double(copyPiecesComplete(c)) /
                                         double(piecesTotal - copyPiecesMasked(c))
                                   : 0;
  if (files >= 1 && pieces >= 1) return 1;
  double w = c->fileWeight + c->pieceWeight;
  double progress = (c->fileWeight / w) * files + (c->pieceWeight / w) * pieces;
  if (std::isnan(progress) || progress >= 1) return 1;
  return progress < 0 ? 0 : progress;
}

int StorageCopy_GetStatus(StorageCopy *c, Dictionary *status) {
  COPY_CHECK(c);
  CHECK_POINTER(status);
  double average = 0, remaining = -1;
  StorageCopy_GetPieceAverageTime(c, &average);
  StorageCopy_GetRemainingTime(c, &remaining);
  int32_t pieceLength = 0;
  StorageCopy_GetPieceLength(c, &pieceLength);
  int64_t complete = c->bytesWritten + c->bytesSkipped, remainingBytes = 0;
  StorageCopy_GetBytesRemaining(c, &remainingBytes);
  Dictionary_SetInt32ByKey(status, "flags", int32_t(c->flags));
  Dictionary_SetInt32ByKey(status, "filesTotal", copyFilesTotal(c));
  Dictionary_SetInt32ByKey(status, "filesComplete", c->filesComplete);
  Dictionary_SetInt32ByKey(status, "filesPending", c->itemCount);
  Dictionary_SetInt32ByKey(status, "filesPendingInFlight", c->filesInFlight);
  Dictionary_SetFloat64ByKey(status, "progress", StorageCopy_GetProgress(c));
  Dictionary_SetInt32ByKey(status, "piecesTotal", PieceQueue_GetPieceCount(c->queue));
  Dictionary_SetInt32ByKey(status, "piecesSkipped", c->piecesSkipped);
  Dictionary_SetInt32ByKey(status, "piecesWritten", c->piecesWritten);
  Dictionary_SetInt32ByKey(status, "piecesMasked", copyPiecesMasked(c));
  Dictionary_SetInt32ByKey(status, "piecesComplete", copyPiecesComplete(c));
  Dictionary_SetInt32ByKey(status, "pieceLength", pieceLength);
  Dictionary_SetFloat64ByKey(status, "pieceCompleteLastTime", c->lastPieceTime);
  Dictionary_SetFloat64ByKey(status, "pieceAverageTime", average);
  Dictionary_SetFloat64ByKey(status, "remainingTime", remaining);
  Dictionary_SetFloat64ByKey(status, "fileCompleteLastTime", c->lastFileTime);
  if (c->metafile != nullptr)
    Dictionary_SetInt64ByKey(status, "bytesTotal", c->contentBytes - copyBytesMasked(c));
  Dictionary_SetInt64ByKey(status, "bytesMasked", copyBytesMasked(c));
  Dictionary_SetInt64ByKey(status, "bytesSkipped", c->bytesSkipped);
  Dictionary_SetInt64ByKey(status, "bytesWritten", c->bytesWritten);
  Dictionary_SetInt64ByKey(status, "bytesComplete", complete);
  Dictionary_SetInt64ByKey(status, "bytesRemaining", remainingBytes);
  return 1;
}

int StorageCopy_GetPiecesTotal(StorageCopy *c, int32_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = PieceQueue_GetPieceCount(c->queue);
  return 1;
}

int StorageCopy_GetPiecesComplete(StorageCopy *c, int32_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = copyPiecesComplete(c);
  return 1;
}

int StorageCopy_GetPiecesSkipped(StorageCopy *c, int32_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = c->piecesSkipped;
  return 1;
}

int StorageCopy_GetPiecesWritten(StorageCopy *c, int32_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = c->piecesWritten;
  return 1;
}

int StorageCopy_GetPiecesMasked(StorageCopy *c, int32_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = copyPiecesMasked(c);
  return 1;
}

int StorageCopy_GetPieceLength(StorageCopy *c, int32_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = c->metafile != nullptr ? PieceList_GetPieceSize(MetaFile_GetPieceList(c->metafile)) : 0;
  return 1;
}

int StorageCopy_GetPieceAverageTime(StorageCopy *c, double *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = DurationRing_GetAverage(&c->durations);
  return c->durations.count >= kDurationRingKnown ? 1 : 0;
}

int StorageCopy_GetRemainingTime(StorageCopy *c, double *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  int64_t left = int64_t(PieceQueue_GetPieceCount(c->queue)) - copyPiecesComplete(c) -
                 copyPiecesMasked(c);
  *value = DurationRing_GetRemaining(&c->durations, left, c->requestCount);
  return c->durations.count >= kDurationRingKnown ? 1 : 0;
}

int StorageCopy_GetPieceCompleteLastTime(StorageCopy *c, double *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = c->lastPieceTime;
  return 1;
}

int StorageCopy_GetFileCompleteLastTime(StorageCopy *c, double *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = c->lastFileTime;
  return 1;
}

int StorageCopy_GetBytesTotal(StorageCopy *c, int64_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = 0;
  if (c->metafile == nullptr) return 0;
  *value = c->contentBytes - copyBytesMasked(c);
  return 1;
}

int StorageCopy_GetBytesMasked(StorageCopy *c, int64_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = copyBytesMasked(c);
  return 1;
}

int StorageCopy_GetBytesSkipped(StorageCopy *c, int64_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = c->bytesSkipped;
  return 1;
}

int StorageCopy_GetBytesWritten(StorageCopy *c, int64_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = c->bytesWritten;
  return 1;
}

int StorageCopy_GetBytesComplete(StorageCopy *c, int64_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = c->bytesWritten + c->bytesSkipped;
  return 1;
}

int StorageCopy_GetBytesRemaining(StorageCopy *c, int64_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = 0;
  if (c->metafile == nullptr) return 1;
  *value = std::max<int64_t>(0, c->contentBytes - copyBytesMasked(c) - c->bytesWritten -
                                    c->bytesSkipped);
  return 1;
}

int StorageCopy_GetFilesComplete(StorageCopy *c, int32_t *value) {
  COPY_CHECK(c);
  CHECK_POINTER(value);
  *value = c->filesComplete;
  return 1;
}
