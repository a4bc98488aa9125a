// StorageHTTP: the storage driver of kind "http", whose data are the
// installed files themselves under a base URL, and the machinery it shares
// with the HTTP piece driver (storagehttppiece.h). Each member read is one
// WebGetRequest through the connection pool, served by a reusable request
// context whose hooks copy the body straight into the request's buffer; the
// result comes back as a done event on the storage's queue, which completes
// the read step.
//
// Invariants: (1) a context serves at most one step: busy goes 0 -> 1 when
// it is acquired and 1 -> 0 (compare-exchange) exactly once, by the done
// event of its current transfer (the generation it was posted with is the
// context's) or by Stop, and only that transition completes the step; a
// restarted member's length is counted once. (2) a body
// byte is copied only inside [0, capacity) of the request's buffer and
// within the transfer's limit; anything past either fails the transfer with
// 959. (3) every read step handed to the driver completes once: a read event
// withdrawn by Stop, or run after it, completes its step with 989/1. (4) a
// name becomes a URL only through StorageHTTP_JoinName, so no byte of a name
// can add a scheme, a query, a fragment, a parameter or a dot segment.
//
// Threads: the Read slot runs on I/O worker threads and only posts the read
// event. Configure, Status, SetActive, Stop and the read, done events run on
// the owner's thread (the thread that created the driver; any other stops
// the program with "Thread assertion failed (%d vs. %d)"); the add and cancel
// events and the request's hooks run on the main thread, where the pool and
// its connections live.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/storage.h"
#include "core/net/webget.h"
#include "core/runtime/core.h"

constexpr uint32_t kStorageHTTPTag = 0x57a6e0c4;
constexpr uint32_t kStorageHTTPContextTag = 0x57a6e0c5;
constexpr uint32_t kStorageHTTPPieceTag = 0x57a6e0c6;
constexpr uint32_t kStorageHTTPPieceContextTag = 0x57a6e0c7;
constexpr int32_t kStorageHTTPUrlBytes = 4096;
constexpr int32_t kStorageHTTPTextBytes = 320;
// A body of this many bytes or more never fits a request's buffer.
constexpr int64_t kStorageHTTPBodyMaxBytes = int64_t(1) << 31;

struct StorageHTTP;
struct StorageHTTPContext;
struct WebGetRequest;

// What a transfer asks for and where its body lands, worked out by the
// driver kind on the owner's thread when a context starts.
struct StorageHTTPPlan {
  char url[kStorageHTTPUrlBytes];
  uint64_t rangeStart;  // both 0: the whole resource
  uint64_t rangeEnd;
  int64_t destination;  // buffer offset of the first body byte
  int64_t limit;        // body bytes allowed
  int64_t expected;     // body bytes a success must bring; -1: any up to limit
  int64_t pad;          // added to the request's length after the body
  int32_t raw;          // ask for no compression, inflate nothing
  int32_t delta;        // the resource is a VCDIFF delta, not the piece
  int32_t noCache;      // ask past caches (Cache-Control: no-cache)
};

// A driver kind: the parts in which the two HTTP drivers differ.
struct StorageHTTPKind {
  const char *className;  // "StorageHTTP"
  uint32_t tag;
  uint32_t contextTag;
  // Reads the kind's keys; 1, or 0 after logging the missing key.
  int (*Configure)(StorageHTTP *driver, Dictionary *appConfig, Dictionary *config);
  // Plans the context's step. 1 to transfer; 0 with *result (and
  // *resultEx) to complete the step at once without a transfer.
  int (*Plan)(StorageHTTP *driver, StorageHTTPContext *context, StorageHTTPPlan *plan,
              int32_t *result, int32_t *resultEx);
  // From the I/O worker: 1 when the member needs a transfer; 0 with the
  // step already completed.
  int (*Admit)(StorageHTTP *driver, StorageStep *step);
};

struct StorageHTTPContext {
  uint32_t tag;  // the kind's contextTag
  StorageHTTP *driver;
  StorageStep *step;        // the read step served while busy
  WebGetRequest *request;   // owned; NULL once the driver stopped
  std::atomic<int32_t> busy;
  std::atomic<uint32_t> generation;  // grows at every start and withdrawal
  int32_t withdrawing;      // the request is being taken out of the pool
  int64_t received;         // body bytes taken for the current member
  int64_t counted;          // added to the request's length by the body's end
  StorageHTTPPlan plan;
  WebGetCause cause;  // of the transfer that ended, for its done event
  char name[kStorageHTTPTextBytes];  // the piece or delta file (piece kind)
  StorageHTTPContext *next;
  StorageHTTPContext *previous;
};

struct StorageHTTP {
  ObjectHeader header;  // the kind's tag
  const StorageHTTPKind *kind;
  uint32_t listTag;     // the context list's tag
  StorageHTTPContext *first;
  StorageHTTPContext *last;
  int32_t count;
  char url[kStorageHTTPUrlBytes];
  int32_t active;
  int32_t stopped;
  uint32_t ownerThread;
  MeterRW *meters;      // borrowed: the storage's pair
  Storage *storage;     // borrowed: the storage whose log and queue are used
  StorageLogFunction log;
  int32_t lastError;
  int32_t lastErrorEx;
  // The piece kind's names.
  char pieceFormat[kStorageHTTPTextBytes];
  char deltaFormat[kStorageHTTPTextBytes];
  char source[kStorageHTTPTextBytes];
};

extern const StorageDriver kStorageHTTPDriver;

// *index = offset / pieceSize (64-bit, truncating); 0 when pieceSize is
// below 1. Returns 1.
inline int StorageHTTP_PieceIndexOfOffset(int64_t pieceSize, int64_t *index, int64_t offset) {
  CHECK_POINTER(index);
  *index = pieceSize < 1 ? 0 : offset / pieceSize;
  return 1;
}

// The URL of a stored name under base: '\' is read as '/', each
// component's UTF-8 bytes are percent-encoded except letters, digits, '-',
// '_', '.' and '~', a '.' that ends a component is written "%2E", '/' stays
// between components; then Url_Join (a query of base is kept) and the
// fragment removed. 1, or 0 with out empty when it does not fit in size.
int StorageHTTP_JoinName(const char *base, const char *name, char *out, int32_t size);

// The shared machinery. A driver record fills its slots with these, its
// kind chosen at Create (every other routine reads it from the object).
int StorageHTTP_CreateKind(const StorageHTTPKind *kind, void **context);
int StorageHTTP_Create(void **context);
int StorageHTTP_Release(void **context);
int StorageHTTP_SetLogHook(void *context, Storage *storage, StorageLogFunction log);
// The kind's keys, then the storage's meters, location = url, active 1.
int StorageHTTP_Configure(void *context, Storage *storage, Dictionary *appConfig,
                          Dictionary *config);
int StorageHTTP_Stop(void *context, Storage *storage);
int StorageHTTP_SetActive(void *context, Storage *storage, int32_t active);
// "lastError", "lastErrorEx", "url".
int StorageHTTP_Status(void *context, Storage *storage, Dictionary *status);
int StorageHTTP_Read(void *context, StorageStep *step);
// One line of the driver's class log (through the storage's).
void StorageHTTP_Log(StorageHTTP *driver, const char *format, ...);
