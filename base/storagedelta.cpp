// The delta source; see storagedelta.h.
#include "base/storagedelta.h"

#include <cstdarg>
#include <new>

#include "base/enginelog.h"
#include "base/metafile.h"
#include "base/piecelist.h"
#include "base/storagechain.h"
#include "base/storagerequest.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

#define DELTA_CHECK(d) CLASS_CHECK((d), kStorageDeltaTag)

}  // namespace

struct StorageDeltaContext {
  uint32_t tag;  // kStorageDeltaContextTag
  StorageDelta *delta;
  StorageRequest *target;
  StorageRequest *source;
  StorageStep *step;
  int32_t index, count;  // the source run
  StorageDeltaContext *next;  // in the reading or the waiting list
};

namespace {

using DeltaContext = StorageDeltaContext;

void deltaLog(StorageDelta *d, const char *format, ...) {
  if (!Class_LogEnabled(&d->log, LOG_DEBUG)) return;
  if (d->log.sink == nullptr && !Log_IsEnabled()) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&d->log, 0, format, args);
  va_end(args);
}

void deltaFinish(StorageDelta *d, StorageStep *step, int32_t result, int32_t resultEx) {
  if (d->completion != nullptr)
    d->completion(d, d->completionContext, step, result, resultEx);
  else
    Storage_CompleteStep(step, result, resultEx);
}

void deltaForgetHeld(StorageDelta *d) {
  for (int32_t i = 0; i < d->heldCount; i++) Class_ReleaseObject(&d->held[i]);
  d->heldCount = 0;
}

void deltaDestroy(void **object) {
  auto *d = static_cast<StorageDelta *>(*object);
  deltaForgetHeld(d);
  if (d->local != nullptr) Class_ReleaseObject(&d->local);
  Class_ReleaseObject(&d->cache);
  Pool_Release(&d->contexts);
  d->header.classTag = 0;
  d->~StorageDelta();
  MEM_FREE(d, sizeof(StorageDelta));
}

bool deltaOverlaps(const DeltaContext *a, const DeltaContext *b) {
  return a->index < b->index + b->count && b->index < a->index + a->count;
}

// The bytes other source requests still hold; those that hold none leave
// the list.
int64_t deltaHeldBytes(StorageDelta *d, const StorageRequest *except) {
  int64_t held = 0;
  int32_t kept = 0;
  for (int32_t i = 0; i < d->heldCount; i++) {
    StorageRequest *source = d->held[i];
    int64_t bytes = StorageRequest_GetHeldBytes(source);
    if (bytes == 0) {
      Class_ReleaseObject(&source);
      continue;
    }
    if (source != except) held += bytes;
    d->held[kept++] = source;
  }
  d->heldCount = kept;
  return held;
}

void deltaHold(StorageDelta *d, StorageRequest *source) {
  for (int32_t i = 0; i < d->heldCount; i++)
    if (d->held[i] == source) return;
  if (d->heldCount == kStorageDeltaHeldSources) return;
  Class_Retain(source);
  d->held[d->heldCount++] = source;
}

// 1 when c's run overlaps a read in flight or a request waiting before
// stop (all of them when stop is NULL), or when it would take the source
// runs held past their bound.
bool deltaMustWait(StorageDelta *d, const DeltaContext *c, const DeltaContext *stop) {
  int64_t held = deltaHeldBytes(d, c->source);
  const PieceList *pieces = MetaFile_GetPieceList(StorageRequest_GetMetaFile(c->source));
  int64_t pieceSize = pieces != nullptr ? pieces->pieceSize : 0;
  if (held > 0 && held + int64_t(c->count) * pieceSize > kStorageDeltaSourceBytes) return true;
  for (const DeltaContext *r = d->reading; r != nullptr; r = r->next)
    if (deltaOverlaps(r, c)) return true;
  for (const DeltaContext *w = d->firstWaiting; w != stop; w = w->next)
    if (deltaOverlaps(w, c)) return true;
  return false;
}

void deltaFreeContext(StorageDelta *d, DeltaContext *c) {
  c->tag = 0;
  void *member = c;
  Pool_Free(d->contexts, &member, int32_t(sizeof(DeltaContext)), KSRC);
}

void deltaReadDone(Storage *, void *context, void *, int32_t result, int32_t resultEx);

void deltaStartRead(StorageDelta *d, DeltaContext *c) {
  c->next = d->reading;
  d->reading = c;
  for (int32_t i = c->index; i < c->index + c->count; i++) StorageRequest_AddPiece(c->source, i);
  StorageRequest_AllocBuffer(c->source);
  deltaHold(d, c->source);
  StorageRequest_SetInstalled(c->source, 1);  // the old bytes, not a file being rebuilt
  Class_Retain(d);  // until the read is delivered
  Storage_Read(d->local, c->source, d->cache, c, deltaReadDone);
}

// Starts, in arrival order, the waiting requests that no longer overlap a
// read in flight or a request waiting before them.
void deltaStartWaiting(StorageDelta *d) {
  DeltaContext *previous = nullptr;
  for (DeltaContext *w = d->firstWaiting; w != nullptr;) {
    DeltaContext *next = w->next;
    if (deltaMustWait(d, w, w)) {
      previous = w;
    } else {
      (previous ? previous->next : d->firstWaiting) = next;
      if (d->lastWaiting == w) d->lastWaiting = previous;
      deltaStartRead(d, w);
    }
    w = next;
  }
}

// Takes c out of the reads in flight: false when a reset has forgotten it.
bool deltaUnlinkReading(StorageDelta *d, DeltaContext *c) {
  for (DeltaContext **at = &d->reading; *at != nullptr; at = &(*at)->next) {
    if (*at == c) {
      *at = c->next;
      c->next = nullptr;
      return true;
    }
  }
  return false;
}

// The source read has been delivered (owner's thread).
void deltaReadDone(Storage *, void *context, void *, int32_t result, int32_t resultEx) {
  auto *c = static_cast<DeltaContext *>(context);
  if (c->tag != kStorageDeltaContextTag) Core_Abort(KSRC, "StorageDelta: context damaged\n");
  StorageDelta *d = c->delta;
  StorageStep *step = c->step;
  if (result == 0) {
    int64_t read = 0;
    for (StorageMember *m = StorageRequest_GetFirstMember(c->source); m != nullptr; m = m->next)
      if (!m->fromCache) read += m->length;
    d->readBytes.fetch_add(read);
  } else {
    deltaLog(d, "Source read failed (%d/%d)\n", result, resultEx);
  }
  bool tracked = deltaUnlinkReading(d, c);
  deltaFreeContext(d, c);
  // The pieces just read are in the cache now: the requests that waited for
  // them go before this one's delta is applied.
  if (tracked) deltaStartWaiting(d);
  deltaFinish(d, step, result, resultEx);
  Class_ReleaseObject(&d);
}

}  // namespace

int StorageDelta_Create(StorageDelta **delta) {
  CHECK_POINTER(delta);
  auto *d = new (MEM_ALLOC(sizeof(StorageDelta), MEM_ZEROED)) StorageDelta();
  d->header.classTag = kStorageDeltaTag;
  d->header.refCount.store(1);
  d->header.destroy = deltaDestroy;
  d->log.object = d;
  d->log.className = "StorageDelta";
  OffsetCache_Create(&d->cache);
  Pool_Create(&d->contexts, KSRC);
  Pool_SetMemberSize(d->contexts, int32_t(sizeof(DeltaContext)));
  Pool_SetMemberChunkSize(d->contexts, kStorageDeltaContextGrowth);
  *delta = d;
  return 1;
}

int StorageDelta_SetStorage(StorageDelta *d, Storage *local) {
  DELTA_CHECK(d);
  if (local != nullptr) Class_Retain(local);
  if (d->local != nullptr) Class_ReleaseObject(&d->local);
  d->local = local;
  return 1;
}

int StorageDelta_SetCompletion(StorageDelta *d, void *context, StorageDeltaCompletion completion) {
  DELTA_CHECK(d);
  d->completionContext = context;
  d->completion = completion;
  return 1;
}

int StorageDelta_SetLogHook(StorageDelta *d, void *context, ClassLogSink sink) {
  DELTA_CHECK(d);
  EngineLog_SetSink(&d->log, context, sink);
  return 1;
}

int StorageDelta_Configure(StorageDelta *d, Dictionary *appConfig, Dictionary *config) {
  DELTA_CHECK(d);
  int64_t size = 0;
  if (!(config != nullptr && Dictionary_GetInt64ByKey(config, "deltaCacheSize", &size)) &&
      !(appConfig != nullptr &&
        Dictionary_GetInt64ByPath(appConfig, "storage.deltaCacheSize", &size))) {
    deltaLog(d, "Configuration dictionary missing %s\n", "deltaCacheSize");
    return 0;
  }
  if (size < 0 || size > INT32_MAX) size = 0;
  OffsetCache_SetSize(d->cache, int32_t(size));
  return 1;
}

int StorageDelta_Read(StorageDelta *d, StorageRequest *request, StorageStep *step) {
  DELTA_CHECK(d);
  CHECK_POINTER(step);
  StorageRequest *source = StorageRequest_GetSourceRequest(request);
  if (source != nullptr) StorageRequest_Reset(source);
  MetaFile *local = source != nullptr ? StorageRequest_GetMetaFile(source) : nullptr;
  int32_t index = 0, count = 0;
  if (!StorageRequest_ReadDeltaWindow(request, &index, &count)) {
    deltaLog(d, "Delta window unreadable\n");
    deltaFinish(d, step, -kStorageResultDelta, 0);
    return 1;
  }
  if (count == 0) {
    deltaFinish(d, step, 0, 0);
    return 1;
  }
  int64_t total = local != nullptr ? PieceList_GetPieceTotal(MetaFile_GetPieceList(local)) : 0;
  // The whole run must be local: a run past the list would reach the
  // request builder's fatal index check.
  if (d->local == nullptr || local == nullptr || index < 0 || int64_t(index) + count > total) {
    deltaLog(d, "Delta source outside the local pieces (%d + %d of %I64d)\n", index, count, total);
    deltaFinish(d, step, -kStorageResultDelta, 0);
    return 1;
  }
  auto *c = static_cast<DeltaContext *>(Pool_Alloc(d->contexts, int32_t(sizeof(DeltaContext)), KSRC));
  *c = DeltaContext{kStorageDeltaContextTag, d, request, source, step, index, count, nullptr};
  if (!deltaMustWait(d, c, nullptr)) {
    deltaStartRead(d, c);
    return 1;
  }
  deltaLog(d, "Source waits for an overlapping read (%d + %d)\n", index, count);
  (d->lastWaiting ? d->lastWaiting->next : d->firstWaiting) = c;
  d->lastWaiting = c;
  return 1;
}

int StorageDelta_Pump(StorageDelta *d) {
  DELTA_CHECK(d);
  if (d->firstWaiting != nullptr) deltaStartWaiting(d);
  return 1;
}

int StorageDelta_Reset(StorageDelta *d) {
  DELTA_CHECK(d);
  deltaForgetHeld(d);
  // Reads in flight are cut with their storage's reset or still come back;
  // either way nothing waits for them any more.
  d->reading = nullptr;
  DeltaContext *waiting = d->firstWaiting;
  d->firstWaiting = d->lastWaiting = nullptr;
  while (waiting != nullptr) {
    DeltaContext *c = waiting;
    waiting = c->next;
    StorageStep *step = c->step;
    deltaFreeContext(d, c);
    deltaFinish(d, step, kStorageResultCancelled, kStorageCancelStopped);
  }
  d->readBytes.store(0);
  OffsetCache_Reset(d->cache);
  return 1;
}

int StorageDelta_GetStatus(StorageDelta *d, Dictionary *status) {
  DELTA_CHECK(d);
  Dictionary_SetInt64ByKey(status, "readBytes", d->readBytes.load());
  Dictionary *cache = nullptr;
  Dictionary_SetDictionaryByKey(status, "cache", nullptr, &cache);
  if (cache != nullptr) OffsetCache_GetStatus(d->cache, cache);
  return 1;
}
