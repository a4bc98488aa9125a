// The piece queue; see piecequeue.h.
#include "base/piecequeue.h"

#include <bit>
#include <cstdarg>
#include <cstring>
#include <new>

#include "base/enginelog.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

#define PIECEQUEUE_CHECK(q) CLASS_CHECK((q), kPieceQueueTag)

#define pieceQueueLog(q, ...) EngineLog_Print(&(q)->log, __VA_ARGS__)

// Bit i of a field sits in byte i / 8 under 0x80 >> (i % 8): a big-endian
// load of a word keeps that order, bit 0 in the top bit.
uint64_t pieceQueueWord(const BitField *f, int32_t word) {
  uint64_t w;
  memcpy(&w, f->bytes + size_t(word) * 8, 8);
  return std::endian::native == std::endian::little ? __builtin_bswap64(w) : w;
}

// The smallest clear bit of scratch at or after from, or its size.
int32_t pieceQueueNextFree(const PieceQueue *q, int32_t from) {
  const BitField *f = q->scratch;
  if (from >= f->size) return f->size;
  int32_t word = from / 64, bit = from % 64;
  uint64_t taken = pieceQueueWord(f, word);
  if (bit != 0) taken |= ~uint64_t(0) << (64 - bit);  // the bits before from
  while (taken == ~uint64_t(0)) {
    if (++word >= f->wordCount) return f->size;
    taken = pieceQueueWord(f, word);
  }
  int32_t index = word * 64 + std::countl_one(taken);
  return index < f->size ? index : f->size;
}

void pieceQueueFreeCounts(PieceQueue *q) {
  for (int32_t **counts : {&q->errorCounts, &q->digestCounts}) {
    if (*counts != nullptr)
      MEM_FREE(*counts, int64_t(q->errorCountSize) * int64_t(sizeof(int32_t)));
    *counts = nullptr;
  }
  q->errorCountSize = 0;
}

void pieceQueueDestroy(void **object) {
  auto *q = static_cast<PieceQueue *>(*object);
  pieceQueueFreeCounts(q);
  BitField_Release(&q->scratch);
  BitField_Release(&q->done);
  BitField_Release(&q->inFlight);
  BitField_Release(&q->delta);
  q->header.classTag = 0;
  q->~PieceQueue();
  MEM_FREE(q, sizeof(PieceQueue));
}

void pieceQueueGiveBack(PieceQueue *q, StorageRequest *r) {
  if (q->release != nullptr) q->release(q, q->releaseContext, &r);
}

int32_t pieceQueueIndexOf(PieceQueue *q, StorageRequest *r) {
  int32_t index = StorageRequest_GetPieceIndex(r);
  if (index < 0 || index >= q->done->size)
    Core_Abort(KSRC, "Bit outside boundary %d >= %d\n", index, q->done->size);
  return index;
}

}  // namespace

int PieceQueue_Create(PieceQueue **queue) {
  CHECK_POINTER(queue);
  auto *q = new (MEM_ALLOC(sizeof(PieceQueue), MEM_ZEROED)) PieceQueue();
  q->header.classTag = kPieceQueueTag;
  q->header.refCount.store(1);
  q->header.destroy = pieceQueueDestroy;
  q->log.object = q;
  q->log.className = "PieceQueue";
  BitField_Create(&q->scratch);
  BitField_Create(&q->done);
  BitField_Create(&q->inFlight);
  BitField_Create(&q->delta);
  *queue = q;
  return 1;
}

int PieceQueue_Release(PieceQueue **queue) {
  CHECK_POINTER(queue);
  PIECEQUEUE_CHECK(*queue);
  Class_ReleaseObject(queue);
  return 1;
}

int PieceQueue_SetMetaFile(PieceQueue *q, MetaFile *metafile) {
  PIECEQUEUE_CHECK(q);
  q->metafile = metafile;
  return 1;
}

int PieceQueue_SetAcquireRequestCallback(PieceQueue *q, void *context,
                                         PieceQueueAcquireFunction function) {
  PIECEQUEUE_CHECK(q);
  q->acquireContext = context;
  q->acquire = function;
  return 1;
}

int PieceQueue_SetReleaseRequestCallback(PieceQueue *q, void *context,
                                         PieceQueueReleaseFunction function) {
  PIECEQUEUE_CHECK(q);
  q->releaseContext = context;
  q->release = function;
  return 1;
}

int PieceQueue_SetRequestReadyCallback(PieceQueue *q, void *context,
                                       PieceQueueRequestFunction function) {
  PIECEQUEUE_CHECK(q);
  q->readyContext = context;
  q->ready = function;
  return 1;
}

int PieceQueue_SetPieceDoneCallback(PieceQueue *q, void *context,
                                    PieceQueueRequestFunction function) {
  PIECEQUEUE_CHECK(q);
  q->pieceDoneContext = context;
  q->pieceDone = function;
  return 1;
}

int PieceQueue_SetFinishedCallback(PieceQueue *q, void *context,
                                   PieceQueueFinishedFunction function) {
  PIECEQUEUE_CHECK(q);
  q->finishedContext = context;
  q->finished = function;
  return 1;
}

int PieceQueue_SetLogSink(PieceQueue *q, void *context, ClassLogSink sink) {
  PIECEQUEUE_CHECK(q);
  EngineLog_SetSink(&q->log, context, sink);
  return 1;
}

int PieceQueue_Reset(PieceQueue *q, const BitField *mask, int32_t delta) {
  PIECEQUEUE_CHECK(q);
  pieceQueueFreeCounts(q);
  q->completionReported = 0;
  PieceList *list = q->metafile != nullptr ? MetaFile_GetPieceList(q->metafile) : nullptr;
  int32_t count = list != nullptr ? PieceList_GetPieceTotal(list) : 0;
  for (BitField *f : {q->scratch, q->done, q->inFlight, q->delta}) {
    BitField_Resize(f, count);
    BitField_ClearAll(f);
  }
  if (mask != nullptr) BitField_Combine(q->done, mask);
  BitField_Copy(q->scratch, q->done);
  if (delta) BitField_SetAll(q->delta);
  q->cursor = pieceQueueNextFree(q, 0);
  q->errorCountSize = count;
  if (count > 0)
    for (int32_t **counts : {&q->errorCounts, &q->digestCounts})
      *counts = static_cast<int32_t *>(
          MEM_ALLOC(int64_t(count) * int64_t(sizeof(int32_t)), MEM_ZEROED));
  return 1;
}

int PieceQueue_FreeErrorCounts(PieceQueue *q) {
  PIECEQUEUE_CHECK(q);
  pieceQueueFreeCounts(q);
  return 1;
}

int PieceQueue_Pump(PieceQueue *q) {
  PIECEQUEUE_CHECK(q);
  if (PieceQueue_CheckComplete(q)) return 1;
  // With every piece left in flight or waiting for its retry, a request
  // borrowed here would go straight back, and its release wakes the owner:
  // a pump on every pass of its loop.
  if (q->metafile == nullptr || q->cursor >= q->scratch->size) return 1;
  StorageRequest *r = nullptr;
  if (q->acquire != nullptr && q->acquire(q, q->acquireContext, &r) && r != nullptr)
    PieceQueue_Request(q, r);
  return 1;
}

int PieceQueue_Request(PieceQueue *q, StorageRequest *r) {
  PIECEQUEUE_CHECK(q);
  CLASS_CHECK(r, kStorageRequestTag);
  int32_t index = q->cursor;
  if (q->metafile == nullptr || index >= q->scratch->size) {
    pieceQueueGiveBack(q, r);
    return 0;
  }
  pieceQueueLog(q, "Piece Request (%d)\n", index);
  BitField_Set(q->inFlight, index);
  BitField_Set(q->scratch, index);
  q->cursor = pieceQueueNextFree(q, index + 1);
  StorageRequest_Reset(r);
  StorageRequest_SetMetaFile(r, q->metafile);
  StorageRequest_SetPieceIndex(r, index);
  StorageRequest_SetAllowDelta(r, BitField_IsSet(q->delta, index));
  if (q->ready != nullptr) q->ready(q, q->readyContext, r);
  return 1;
}

int PieceQueue_Complete(PieceQueue *q, StorageRequest *r) {
  PIECEQUEUE_CHECK(q);
  CLASS_CHECK(r, kStorageRequestTag);
  int32_t index = pieceQueueIndexOf(q, r);
  BitField_Set(q->done, index);
  pieceQueueLog(q, "Piece Complete (%d)\n", index);
  if (q->pieceDone != nullptr) q->pieceDone(q, q->pieceDoneContext, r);
  pieceQueueGiveBack(q, r);
  return 1;
}

int PieceQueue_Requeue(PieceQueue *q, StorageRequest *r) {
  PIECEQUEUE_CHECK(q);
  CLASS_CHECK(r, kStorageRequestTag);
  int32_t index = pieceQueueIndexOf(q, r);
  BitField_Clear(q->inFlight, index);
  if (!BitField_IsSet(q->done, index)) {
    BitField_Clear(q->scratch, index);
    if (index < q->cursor) q->cursor = index;
  }
  if (!StorageRequest_GetAllowDelta(r)) BitField_Clear(q->delta, index);
  pieceQueueLog(q, "Piece Queue (%d)\n", index);
  if (q->pieceDone != nullptr) q->pieceDone(q, q->pieceDoneContext, r);
  pieceQueueGiveBack(q, r);
  return 1;
}

int PieceQueue_Hold(PieceQueue *q, StorageRequest *r) {
  PIECEQUEUE_CHECK(q);
  CLASS_CHECK(r, kStorageRequestTag);
  int32_t index = pieceQueueIndexOf(q, r);
  if (!StorageRequest_GetAllowDelta(r)) BitField_Clear(q->delta, index);
  pieceQueueLog(q, "Piece Hold (%d)\n", index);
  pieceQueueGiveBack(q, r);
  return 1;
}

int PieceQueue_Return(PieceQueue *q, int32_t index) {
  PIECEQUEUE_CHECK(q);
  if (index < 0 || index >= q->done->size || !BitField_IsSet(q->inFlight, index)) return 1;
  BitField_Clear(q->inFlight, index);
  if (!BitField_IsSet(q->done, index)) {
    BitField_Clear(q->scratch, index);
    if (index < q->cursor) q->cursor = index;
  }
  pieceQueueLog(q, "Piece Return (%d)\n", index);
  return 1;
}

int PieceQueue_CheckComplete(PieceQueue *q) {
  PIECEQUEUE_CHECK(q);
  if (q->completionReported) return 1;
  if (q->metafile == nullptr || q->done->setCount != q->done->size) return 0;
  q->completionReported = 1;
  pieceQueueLog(q, "Complete\n");
  if (q->finished != nullptr) q->finished(q, q->finishedContext);
  return 1;
}

int PieceQueue_GetCompleteCount(PieceQueue *q, const BitField *mask, int32_t *count) {
  PIECEQUEUE_CHECK(q);
  CHECK_POINTER(count);
  *count = 0;
  if (q->metafile == nullptr) return 0;
  if (mask == nullptr) {
    *count = q->done->setCount;
    return 1;
  }
  CLASS_CHECK(mask, kBitFieldTag);
  if (mask->size != q->done->size)
    Core_Abort(KSRC, "Bit mismatch on except (%d != %d)\n", q->done->size, mask->size);
  int32_t n = 0;
  for (int32_t w = 0; w < q->done->wordCount; w++)
    n += std::popcount(pieceQueueWord(q->done, w) & ~pieceQueueWord(mask, w));
  *count = n;
  return 1;
}

int32_t PieceQueue_GetPieceCount(PieceQueue *q) {
  PIECEQUEUE_CHECK(q);
  return q->done->size;
}

const BitField *PieceQueue_GetDone(PieceQueue *q) {
  PIECEQUEUE_CHECK(q);
  return q->done;
}

int32_t PieceQueue_GetErrorCount(PieceQueue *q, int32_t index) {
  PIECEQUEUE_CHECK(q);
  if (index < 0 || index >= q->errorCountSize)
    Core_Abort(KSRC,
               "Assertion failed (Index >= 0 && Index < PieceQueue->ErrorCountSize)\nIndex out "
               "of range\n");
  return q->errorCounts[index];
}

int PieceQueue_AddError(PieceQueue *q, int32_t index) {
  PieceQueue_GetErrorCount(q, index);
  q->errorCounts[index]++;
  return 1;
}

int32_t PieceQueue_GetDigestErrorCount(PieceQueue *q, int32_t index) {
  PieceQueue_GetErrorCount(q, index);
  return q->digestCounts[index];
}

int PieceQueue_AddDigestError(PieceQueue *q, int32_t index) {
  PieceQueue_GetErrorCount(q, index);
  q->digestCounts[index]++;
  return 1;
}
