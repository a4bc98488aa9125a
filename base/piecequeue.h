// PieceQueue: the piece scheduler of a storage copy. Four bit fields over
// the pieces of the copy's metafile (done, in flight, delta permission and a
// working field) and one error count per piece. It hands out the smallest
// piece that is neither done nor in flight, takes pieces back after
// failures, marks them done, and reports once when every piece is done.
//
// Invariants: (1) after PieceQueue_Reset all four fields have one bit per
// piece; scratch = done OR in flight at every moment. (2) cursor is the
// smallest piece whose scratch bit is clear, or the piece count when there
// is none: a hand-out moves it forward, a requeue moves it back, so the
// next piece is found without scanning the done pieces below it. (3) a
// masked piece starts done and never goes out. (4) completion is reported
// once per reset.
//
// Threads: the owning copy's thread only; nothing is locked.
#pragma once

#include <cstdint>

#include "base/bitfield.h"
#include "base/metafile.h"
#include "base/storagerequest.h"
#include "core/runtime/class.h"

constexpr uint32_t kPieceQueueTag = 0x9e0e0e51;

struct PieceQueue;

// The owner's callbacks. Acquire answers 1 with a free request when one
// more may go out, else 0; release takes a request back; request ready
// starts the piece now carried by the request; piece done follows a
// completion or a requeue (before the request goes back); finished is the
// one report that every piece is done.
typedef int (*PieceQueueAcquireFunction)(PieceQueue *queue, void *context,
                                         StorageRequest **request);
typedef void (*PieceQueueReleaseFunction)(PieceQueue *queue, void *context,
                                          StorageRequest **request);
typedef void (*PieceQueueRequestFunction)(PieceQueue *queue, void *context,
                                          StorageRequest *request);
typedef void (*PieceQueueFinishedFunction)(PieceQueue *queue, void *context);

struct PieceQueue {
  ObjectHeader header;  // kPieceQueueTag
  ClassLog log;         // "PieceQueue"
  MetaFile *metafile;   // borrowed
  BitField *scratch;    // done OR in flight
  BitField *done;
  BitField *inFlight;   // a done piece keeps its bit
  BitField *delta;
  int32_t cursor;
  int32_t completionReported;
  int32_t *errorCounts;
  int32_t *digestCounts;  // of those, the failed digests; errorCountSize too
  int32_t errorCountSize;
  void *acquireContext;
  PieceQueueAcquireFunction acquire;
  void *releaseContext;
  PieceQueueReleaseFunction release;
  void *readyContext;
  PieceQueueRequestFunction ready;
  void *pieceDoneContext;
  PieceQueueRequestFunction pieceDone;
  void *finishedContext;
  PieceQueueFinishedFunction finished;
};

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign queue or request.

// An empty queue without metafile or callbacks. Returns 1.
int PieceQueue_Create(PieceQueue **queue);
// Drops the caller's reference (the fields and counts go with the last) and
// clears *queue. Returns 1.
int PieceQueue_Release(PieceQueue **queue);

int PieceQueue_SetMetaFile(PieceQueue *queue, MetaFile *metafile);
int PieceQueue_SetAcquireRequestCallback(PieceQueue *queue, void *context,
                                         PieceQueueAcquireFunction function);
int PieceQueue_SetReleaseRequestCallback(PieceQueue *queue, void *context,
                                         PieceQueueReleaseFunction function);
int PieceQueue_SetRequestReadyCallback(PieceQueue *queue, void *context,
                                       PieceQueueRequestFunction function);
int PieceQueue_SetPieceDoneCallback(PieceQueue *queue, void *context,
                                    PieceQueueRequestFunction function);
int PieceQueue_SetFinishedCallback(PieceQueue *queue, void *context,
                                   PieceQueueFinishedFunction function);
// The queue's lines go to sink(context, ...) (the copy's log).
int PieceQueue_SetLogSink(PieceQueue *queue, void *context, ClassLogSink sink);

// Frees the error counts and clears completion reported. Every field takes
// one bit per piece of the metafile (none without one), all clear; done := mask (when given: the same size, else the
// program stops); delta all set when delta is 1; one zeroed error count per
// piece. Returns 1.
int PieceQueue_Reset(PieceQueue *queue, const BitField *mask, int32_t delta);
// Frees the error counts. Returns 1.
int PieceQueue_FreeErrorCounts(PieceQueue *queue);
// Unless PieceQueue_CheckComplete answers 1 or every piece left is in
// flight, asks the acquire callback for a request and hands the next piece
// out on it. Returns 1.
int PieceQueue_Pump(PieceQueue *queue);
// Hands the smallest piece neither done nor in flight out on request (reset,
// metafile, piece index, delta permission, then request ready), or gives
// the request back when none is left. Returns 1 when a piece went out.
int PieceQueue_Request(PieceQueue *queue, StorageRequest *request);
// The request's piece is done; the request goes back. Returns 1.
int PieceQueue_Complete(PieceQueue *queue, StorageRequest *request);
// The request's piece goes back into the queue (without delta permission
// when the request no longer allows deltas); the request goes back.
// Returns 1.
int PieceQueue_Requeue(PieceQueue *queue, StorageRequest *request);
// The request goes back while its piece stays out, handed to no request,
// until PieceQueue_Return (a piece waiting for its retry holds no request);
// the piece loses its delta permission when the request no longer allows
// deltas. Returns 1.
int PieceQueue_Hold(PieceQueue *queue, StorageRequest *request);
// A held piece goes back into the queue, unless it is done or index is out
// of range (a queue reset meanwhile). Returns 1.
int PieceQueue_Return(PieceQueue *queue, int32_t index);
// 1 once every piece is done; the first time it reports completion.
int PieceQueue_CheckComplete(PieceQueue *queue);
// Done pieces (without the masked ones when a mask is given). 0 without a
// metafile.
int PieceQueue_GetCompleteCount(PieceQueue *queue, const BitField *mask, int32_t *count);
// The piece count (the done field's size).
int32_t PieceQueue_GetPieceCount(PieceQueue *queue);
const BitField *PieceQueue_GetDone(PieceQueue *queue);
// The error count of a piece, and one more error. An index outside the
// counts stops the program ("Assertion failed (Index >= 0 && Index <
// PieceQueue->ErrorCountSize)\nIndex out of range").
int32_t PieceQueue_GetErrorCount(PieceQueue *queue, int32_t index);
int PieceQueue_AddError(PieceQueue *queue, int32_t index);
// Of a piece's errors, those whose bytes failed their digest; the same
// index check.
int32_t PieceQueue_GetDigestErrorCount(PieceQueue *queue, int32_t index);
int PieceQueue_AddDigestError(PieceQueue *queue, int32_t index);
