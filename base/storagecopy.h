// StorageCopy: brings one target storage to the content a metafile
// describes. Every piece of the metafile's piece list walks a fixed
// sequence of stages (0 mask test, 1 pending storage, 2 local storage,
// 3 transfer from a source storage, 4 write), each switched on or off by
// the copy's flags; then the files of the file list are completed in
// file-list order. Error policy is the owner's: every failure goes to the
// error callback, which answers 3 (give the piece back), 4 (retry the
// stage) or 5 (go on as if it had finished) with an absolute retry time.
// The owner supplies the requests, chooses the source of every transfer and
// pumps the copy.
//
// Invariants: (1) every request the acquire callback gave goes back through
// the release callback exactly once: after its piece completed, was given
// back, or found no piece; after a stop, at once when it waited for a
// delayed response, else when its storage result arrives. (2) a piece
// completes at most once per run; a stopped copy runs no stage and counts
// nothing. (3) files are queued for completion strictly in file-list order,
// each only once every piece it touches is done; at most the file-complete
// limit are in flight (none below 1); a file the mask metafile (the
// installed version) also lists is completed only once every piece of the
// run is done, so a failed run replaces no installed file. (4) IsFinished is 1 only when a run
// ended with every piece and file done. (5) every request in a storage
// operation and every file completion in flight holds one reference on the
// copy, so a late result never meets a freed copy.
//
// Threads: one thread, the one that created the copy: every call, stage,
// completion and pump. Storage results and delayed responses reach it
// through its event queue. Nothing is locked.
#pragma once

#include <cstdint>
#include <vector>

#include "base/bitfield.h"
#include "base/durationring.h"
#include "base/metafile.h"
#include "base/piecequeue.h"
#include "base/storage.h"
#include "base/storagerequest.h"
#include "core/formats/dictionary.h"
#include "core/platform/eventqueue.h"
#include "core/runtime/class.h"
#include "core/runtime/pool.h"

constexpr uint32_t kStorageCopyTag = 0x5c0b7e01;
constexpr uint32_t kFileCompletionTag = 0x5c0b7e02;
constexpr uint32_t kStorageCopyTicketTag = 0x5c0b7e03;

// StorageCopyFlags.
constexpr uint32_t kStorageCopyExists = 1;     // stage 2 runs
constexpr uint32_t kStorageCopyPending = 2;    // stage 1 runs
constexpr uint32_t kStorageCopyTransfer = 4;   // stage 3 runs
constexpr uint32_t kStorageCopyWrite = 8;      // stage 4 runs
constexpr uint32_t kStorageCopyToPending = 16; // write and complete into the pending storage
constexpr uint32_t kStorageCopyMask = 32;      // stage 0 tests the mask metafile
constexpr uint32_t kStorageCopyDelta = 64;     // pieces start with delta decoding allowed
constexpr uint32_t kStorageCopyDefaultFlags = 13;

// Stages of a piece.
constexpr int32_t kStorageCopyStageMask = 0;
constexpr int32_t kStorageCopyStagePending = 1;
constexpr int32_t kStorageCopyStageExists = 2;
constexpr int32_t kStorageCopyStageTransfer = 3;
constexpr int32_t kStorageCopyStageWrite = 4;

// The owner's answers to a failure (the clean-up takes the same).
constexpr int32_t kStorageResponseRequeue = 3;
constexpr int32_t kStorageResponseRetry = 4;
constexpr int32_t kStorageResponseContinue = 5;

constexpr int32_t kStorageCopyFileCompletes = 10;     // completions in flight by default
constexpr int32_t kStorageCopyItemGrowth = 10;        // pool members per chunk
constexpr int32_t kStorageCopyMaskScanStep = 1000;    // pieces per pump of the masked-bytes scan
constexpr double kStorageCopyFileWeight = 0.8;
constexpr double kStorageCopyPieceWeight = 0.2;

struct StorageCopy;

// error(copy, context, request or NULL, source, index, count, type, code,
// codeEx, &retryTime) -> 3, 4 or 5. count is the piece's earlier errors,
// of a failed digest its earlier failed digests (the policy's re-ask past
// caches is owed to those alone). retryTime is absolute on the tick clock;
// 0 unless the callback sets it.
typedef int32_t (*StorageCopyErrorFunction)(StorageCopy *copy, void *context,
                                            StorageRequest *request, int32_t source,
                                            int32_t index, int32_t count, int32_t type,
                                            int32_t code, int32_t codeEx, double *retryTime);
// Puts the storage the transfer of request's piece reads from into
// *storage; it must supply one.
typedef int (*StorageCopySourceFunction)(StorageCopy *copy, void *context,
                                         StorageRequest *request, Storage **storage);
// 1 with a free request when one more may go out, else 0.
typedef int (*StorageCopyAcquireFunction)(StorageCopy *copy, void *context,
                                          StorageRequest **request);
typedef void (*StorageCopyReleaseFunction)(StorageCopy *copy, void *context,
                                           StorageRequest **request);

// A file waiting for its completion, or in it.
struct FileCompletion {
  uint32_t tag;  // kFileCompletionTag
  StorageCopy *copy;
  FileEntry *entry;
  int32_t inFlight;
  int32_t abandoned;  // the copy stopped while the completion was in the storage
  int32_t replaces;   // the file replaces an installed one: it waits for every piece
  int32_t errorCount;
  int32_t lastCode;
  int32_t lastCodeEx;
  double notBefore;
  FileCompletion *previous;
  FileCompletion *next;
};

// A request the copy works on: its piece, stage and marks.
struct StorageCopyTicket {
  uint32_t tag;  // kStorageCopyTicketTag
  StorageCopy *copy;
  StorageRequest *request;
  int32_t pieceIndex;
  int32_t stage;
  int32_t done;       // skipped: every later stage is passed over
  int32_t busy;       // in a storage operation
  int32_t waiting;    // a delayed response is queued for it
  int32_t abandoned;  // the copy stopped while it was busy
  uint32_t generation;  // the configuration it was handed out under
  double retryTime;
  StorageCopyTicket *previous;
  StorageCopyTicket *next;
};

struct StorageCopy {
  ObjectHeader header;  // kStorageCopyTag
  ClassLog log;         // "StorageCopy"
  Storage *localStorage;    // borrowed
  Storage *pendingStorage;  // borrowed
  MetaFile *metafile;       // borrowed
  MetaFile *maskMetaFile;   // borrowed; may be NULL
  BitField *mask;           // borrowed; may be NULL
  BitField *staged;         // borrowed; may be NULL
  PieceQueue *queue;        // owned
  uint32_t flags;
  int32_t stopped;
  int32_t alive;
  int32_t piecesFinished;
  int32_t filesFinished;
  uint32_t generation;  // grows with every StorageCopy_Configure
  int32_t requestCount;
  int32_t fileCompleteLimit;
  int32_t filesInFlight;
  int32_t filesComplete;
  int32_t piecesSkipped;
  int32_t piecesWritten;
  int32_t requestsOut;  // acquired and not yet given back
  int64_t bytesSkipped;
  int64_t bytesWritten;
  int64_t maskedSum;    // bytes of masked pieces seen by the scan so far
  int64_t contentBytes; // the sum of every piece's length
  int32_t maskScan;     // the scan's next piece; -1 when it is over
  double lastPieceTime;
  double lastFileTime;
  DurationRing durations;
  FileEntry *currentFile;  // next entry to queue for completion; NULL when all are
  FileCompletion *firstItem;
  FileCompletion *lastItem;
  int32_t itemCount;
  int32_t itemsReplacing;  // items with replaces set
  Pool *items;    // FileCompletion
  Pool *tickets;  // StorageCopyTicket
  StorageCopyTicket *firstTicket;
  StorageCopyTicket *lastTicket;
  std::vector<int32_t> heldPieces;  // waiting for their retry, without a request
  double fileWeight;
  double pieceWeight;
  void *errorContext;
  StorageCopyErrorFunction error;
  FileEntry *failedFile;  // borrowed; the file whose completion the error call is about
  void *sourceContext;
  StorageCopySourceFunction source;
  void *acquireContext;
  StorageCopyAcquireFunction acquire;
  void *releaseContext;
  StorageCopyReleaseFunction release;
  uint32_t ownerThreadId;
  EventQueue *eventQueue;  // one reference: the owner's queue, delayed responses
  // The mask test: the mask list's pieces ordered by digest, then index.
  int32_t *maskOrder;
  int32_t maskOrderCount;
  int32_t maskDigestSize;
  StorageRequest *maskRequest;  // the comparison request, made once
};

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign copy (or request, storage or
// metafile where one is required).

// Flags 13, file-complete limit 10, weights 0.8 and 0.2, not alive; the
// calling thread becomes the owner. Returns 1.
int StorageCopy_Create(StorageCopy **copy);
// Drops the caller's reference and clears *copy. The last reference (after
// every result still in a storage) hands back requests waiting for a
// delayed response, cancels the copy's events and frees the queue, pools
// and mask index. Returns 1.
int StorageCopy_Destroy(StorageCopy **copy);

int StorageCopy_SetFlags(StorageCopy *copy, uint32_t flags);
int StorageCopy_GetFlags(StorageCopy *copy, uint32_t *flags);
int StorageCopy_SetRequestCount(StorageCopy *copy, int32_t count);
// Below 1: no limit.
int StorageCopy_SetFileCompleteLimit(StorageCopy *copy, int32_t limit);
int StorageCopy_SetFileWeight(StorageCopy *copy, double weight);
int StorageCopy_SetPieceWeight(StorageCopy *copy, double weight);
// A set bit excludes the piece from the run (it counts as done). NULL: none.
int StorageCopy_SetMask(StorageCopy *copy, BitField *mask);
// A copy into the pending storage sets the bit of each piece it finds there
// or writes there (pieces past the field's size are not noted). NULL: none.
int StorageCopy_SetStaged(StorageCopy *copy, BitField *staged);
int StorageCopy_SetLocalStorage(StorageCopy *copy, Storage *storage);
int StorageCopy_SetPendingStorage(StorageCopy *copy, Storage *storage);
int StorageCopy_SetMetaFile(StorageCopy *copy, MetaFile *metafile);
int StorageCopy_SetMaskMetaFile(StorageCopy *copy, MetaFile *metafile);
// The copy's lines (and its queue's) go to sink(context, ...), the owner's
// log, whatever the class's own verbosity.
int StorageCopy_SetLogParent(StorageCopy *copy, void *context, ClassLogSink sink);

int StorageCopy_SetErrorCallback(StorageCopy *copy, void *context,
                                 StorageCopyErrorFunction function);
// Inside the error callback of a file's completion (request NULL, index
// -1): that file's entry; NULL in any other call.
FileEntry *StorageCopy_GetFailedFile(StorageCopy *copy);
int StorageCopy_SetSourceCallback(StorageCopy *copy, void *context,
                                  StorageCopySourceFunction function);
int StorageCopy_SetAcquireRequestCallback(StorageCopy *copy, void *context,
                                          StorageCopyAcquireFunction function);
int StorageCopy_SetReleaseRequestCallback(StorageCopy *copy, void *context,
                                          StorageCopyReleaseFunction function);

// Not alive only, else the program stops ("...Unable to reset active
// storage copy"): frees the error counts, cancels delayed responses, forgets
// both metafiles and the current file, clears the state words and the
// durations and frees the waiting file completions. Returns 1.
int StorageCopy_Reset(StorageCopy *copy);
// Not alive only ("...Unable to configure active storage copy"): resets
// times, counters, the masked-bytes scan and the state words, fills the
// piece queue from the metafile (with the mask and the flag delta), points
// the file scheduler at the first file and indexes the mask metafile's
// digests. Returns 1.
int StorageCopy_Configure(StorageCopy *copy);
// Not alive only ("...Unable to start active storage copy"): the same reset
// of times and counters, then alive. Returns 1.
int StorageCopy_Start(StorageCopy *copy);
// Stopped, not alive: no stage runs and nothing is counted any more.
// Requests waiting for a delayed response go back at once (their pieces
// back into the queue), requests in a storage operation when their result
// arrives, a request whose error or source callback called the stop when
// that callback returns; waiting file completions are freed, those in
// flight when their result arrives. A run that had finished stays
// finished. Returns 1.
int StorageCopy_Stop(StorageCopy *copy);
// One step while running: at most one new piece and the file scheduler;
// while alive (finished or not) at most kStorageCopyMaskScanStep pieces of
// the masked-bytes scan. Returns 1.
int StorageCopy_Pump(StorageCopy *copy);
// 1 while alive and not finished.
int StorageCopy_IsRunning(StorageCopy *copy);
// 1 when the run ended with every piece and file done.
int StorageCopy_IsFinished(StorageCopy *copy);
// Requests acquired and not yet given back.
int32_t StorageCopy_GetRequestsOut(StorageCopy *copy);

// The piece queue's callbacks, bound by StorageCopy_Create (context: the
// copy).
int StorageCopy_OnAcquireRequest(PieceQueue *queue, void *context, StorageRequest **request);
void StorageCopy_OnReleaseRequest(PieceQueue *queue, void *context, StorageRequest **request);
void StorageCopy_OnRequestReady(PieceQueue *queue, void *context, StorageRequest *request);
void StorageCopy_OnPiecesFinished(PieceQueue *queue, void *context);
// Storage results (context: the ticket or the file completion).
void StorageCopy_OnStorageDone(Storage *storage, void *context, void *argument, int32_t result,
                               int32_t resultEx);
void StorageCopy_OnFileComplete(Storage *storage, void *context, void *argument, int32_t result,
                                int32_t resultEx);
// 1 when piece index of the target metafile may be skipped: a mask piece of
// the same algorithm and digest, tried in index order, covers exactly the
// same file ranges as request (which carries the target piece's members).
int StorageCopy_IsMasked(StorageCopy *copy, StorageRequest *request, int32_t index);

// Progress: "flags", "filesTotal", "filesComplete", "filesPending",
// "filesPendingInFlight", "progress", "piecesTotal", "piecesSkipped",
// "piecesWritten", "piecesMasked", "piecesComplete", "pieceLength",
// "pieceCompleteLastTime", "pieceAverageTime", "remainingTime",
// "fileCompleteLastTime", "bytesTotal" (only with a metafile),
// "bytesMasked", "bytesSkipped", "bytesWritten", "bytesComplete",
// "bytesRemaining", in that order. Returns 1.
int StorageCopy_GetStatus(StorageCopy *copy, Dictionary *status);
double StorageCopy_GetProgress(StorageCopy *copy);
// Each returns 1 with the value, except where it says otherwise.
int StorageCopy_GetPiecesTotal(StorageCopy *copy, int32_t *value);
int StorageCopy_GetPiecesComplete(StorageCopy *copy, int32_t *value);
int StorageCopy_GetPiecesSkipped(StorageCopy *copy, int32_t *value);
int StorageCopy_GetPiecesWritten(StorageCopy *copy, int32_t *value);
int StorageCopy_GetPiecesMasked(StorageCopy *copy, int32_t *value);
int StorageCopy_GetPieceLength(StorageCopy *copy, int32_t *value);
// 0 (value 0) while fewer than 20 pieces were timed.
int StorageCopy_GetPieceAverageTime(StorageCopy *copy, double *value);
// 0 (value -1) while the average is not known.
int StorageCopy_GetRemainingTime(StorageCopy *copy, double *value);
int StorageCopy_GetPieceCompleteLastTime(StorageCopy *copy, double *value);
int StorageCopy_GetFileCompleteLastTime(StorageCopy *copy, double *value);
// 0 (value 0) without a metafile.
int StorageCopy_GetBytesTotal(StorageCopy *copy, int64_t *value);
int StorageCopy_GetBytesMasked(StorageCopy *copy, int64_t *value);
int StorageCopy_GetBytesSkipped(StorageCopy *copy, int64_t *value);
int StorageCopy_GetBytesWritten(StorageCopy *copy, int64_t *value);
int StorageCopy_GetBytesComplete(StorageCopy *copy, int64_t *value);
int StorageCopy_GetBytesRemaining(StorageCopy *copy, int64_t *value);
int StorageCopy_GetFilesComplete(StorageCopy *copy, int32_t *value);
