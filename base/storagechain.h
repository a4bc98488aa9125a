// StorageChain: the steps into which a Storage turns every operation. A
// chain is a singly linked list of step records from the storage's pool;
// its steps run one after another on the I/O worker, each completing once
// with a result pair, and the last (final) step delivers the chain's result
// as an event on the storage's queue, whose id is the storage.
//
// Invariants: (1) each step completes exactly once (Storage_CompleteStep),
// which posts the next step. (2) the first non-zero result of a chain is
// copied into every later step; such a step does no work, and the final
// step always runs and delivers it. (3) a chain's records stay allocated
// until the chain ends and are then freed together: by the owner's thread
// with the delivered result (so that records are taken and given back on
// one thread, with no contention on the pool), or, for a chain without a
// final step, by its last step. The records hold one storage reference
// between them from the head's Storage_AppendStep until they are freed; the
// posted step holds one more, handed on to the next step by its completion
// and to the result event by the final step.
//
// Threads: a chain is built on the owner's thread and then belongs to the
// thread running its current step; steps of one chain never run at once,
// though not always on the same thread. Results reach the owner's thread
// only through the storage's queue.
#pragma once

#include <cstdint>

#include "base/storage.h"
#include "core/platform/ioworker.h"

// A step's own routine, called as function(storage, step); it completes
// the step, at once or later.
typedef int (*StorageStepFunction)(Storage *storage, StorageStep *step);

struct StorageStep {
  IOWorkerRequest io;  // first: the worker hands this back
  Storage *storage;    // one reference held by the record
  int32_t final;       // the chain's last step: always runs
  StorageStepFunction function;  // NULL: completes with 0
  void *argument;  // as a rule the StorageRequest
  void *value;     // the member (read and write), the caller's context (final)
  StorageCompletion completion;  // final step only
  int32_t result;
  int32_t resultEx;
  int32_t start;  // the chain's empty first step
  uint32_t resets;  // the storage's reset count when the chain began
  // The driver attached when the chain began; the chain holds one reference
  // on its object, dropped on the owner's thread with the chain's result.
  const StorageDriver *driver;
  void *driverContext;
  StorageStep *next;
  StorageStep *head;  // the chain's first record
  int32_t active;     // a step before this one completed with 0 (not the start)
};

// A decrypt step waiting for its password (from the storage's pool).
struct StorageChallenge {
  ObjectHeader header;  // a fresh instance id, tracked while waiting
  Storage *storage;
  StorageStep *step;
  StorageChallenge *next;
  StorageChallenge *previous;
};

struct StorageRequest;
struct OffsetCache;
struct MetaFile;

// Room of an expanded cache name.
constexpr int32_t kStorageNameBytes = 4096;

// Takes a record, fills it and appends it at the tail of chain; returns the
// head. A NULL chain makes the step the head, adds the records' storage
// reference, counts one more pending request and takes a reference on the
// attached driver object for the chain (steps call step->driver).
StorageStep *Storage_AppendStep(Storage *storage, int32_t final, StorageStep *chain,
                                void *argument, void *value, StorageCompletion completion,
                                StorageStepFunction function);
// Appends the chain's empty start step (a new chain; see above).
StorageStep *Storage_AppendStartStep(Storage *storage);
// Appends the final step that delivers (context, argument, result pair) to
// completion on the owner's thread.
StorageStep *Storage_AppendFinalStep(Storage *storage, StorageStep *chain, void *argument,
                                     void *context, StorageCompletion completion);
// Posts the chain's head step to the I/O worker (one storage reference for
// the posting). The queue must be set. Returns 1.
int Storage_RunChain(Storage *storage, StorageStep *head);
// Ends the step: records a non-zero result, hands the result pair on to
// the next step and posts it (a chain without a final step is freed by its
// last). The step's record must not be touched afterwards. Any thread.
// Returns 1.
int Storage_CompleteStep(StorageStep *step, int32_t result, int32_t resultEx);

// Appends the decoding (or encoding) steps that bring request from the
// storage's flags to targetFlags: decrypt, inflate, the VCDIFF delta with
// its source request's own chain, pads, compress, encrypt. Compress and
// encrypt complete with 501 unless the request carries that encoding
// already. Returns the head.
StorageStep *Storage_BuildFilterChain(Storage *storage, StorageStep *chain, uint32_t targetFlags,
                                      StorageRequest *request);
// For a decrypt step whose password (tried) was missing or wrong: runs the
// step again when the storage's password has changed since; otherwise asks
// for a password, and the step waits until the answer (then runs again), a
// cancel (989/9) or Storage_Stop (989/1). Returns 1.
int Storage_RequestPassword(Storage *storage, StorageStep *step, const char *tried);
// Completes every waiting decrypt step with 989/1 and frees its challenge
// (Storage_Stop). Returns 1.
int Storage_WithdrawChallenges(Storage *storage);
// Expands a cache name: the general macros first, then "SourceInfoHash"
// (left as written when sourceInfoHash is NULL), "TargetInfoHash" (the
// metafile's id), "TargetDigest" (lower-case hex of the piece's digest) and
// "TargetIndex" (decimal), names compared without regard to case. Their
// values are inserted as they are and never expanded again. 1 with the name
// in out; 0 with out empty when the expansion fails or the name does not fit
// in outSize bytes (it is never cut).
int Storage_ExpandFormat(const char *format, MetaFile *metafile, int32_t pieceIndex,
                         const char *sourceInfoHash, char *out, int32_t outSize);
