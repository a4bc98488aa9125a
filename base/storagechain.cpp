// Storage step chains and the operations built from them; see
// storagechain.h and storage.h.
#include "base/storagechain.h"

#include <cstring>
#include <new>
#include <string>

#include "base/offsetcache.h"
#include "base/piecelist.h"
#include "base/storagerequest.h"
#include "core/net/challenge.h"
#include "core/platform/notification.h"

#include "core/platform/platform.h"
#include "core/runtime/expand.h"
#include "core/runtime/str.h"
#include "core/runtime/core.h"

namespace {

#define STORAGE_CHECK(s) CLASS_CHECK((s), kStorageTag)

// The result of a chain on its way to the owner's thread; the event holds
// one storage reference, dropped by its done handler.
// It also carries the chain's driver reference and its records, freed
// with it.
struct StorageResultEvent {
  void *value;
  void *argument;
  StorageCompletion completion;
  const StorageDriver *driver;
  void *driverContext;
  StorageStep *records;
  int32_t result;
  int32_t resultEx;
  uint32_t resets;
};
static_assert(sizeof(StorageResultEvent) <= kEventQueueMaxPayloadBytes, "fits an event");

void storageDeliver(uintptr_t eventId, void *payload) {
  auto *s = reinterpret_cast<Storage *>(eventId);
  auto *e = static_cast<StorageResultEvent *>(payload);
  // The result of a chain cut by Storage_Reset is dropped like a queued one.
  if (e->completion != nullptr && e->resets == s->resets.load())
    e->completion(s, e->value, e->argument, e->result, e->resultEx);
}

// Gives a chain's records back to the pool and drops their storage
// reference.
void storageFreeChain(StorageStep *head) {
  Storage *s = head->storage;
  for (StorageStep *step = head, *next = nullptr; step != nullptr; step = next) {
    next = step->next;
    void *member = step;
    Pool_Free(s->steps, &member, sizeof(StorageStep), KSRC);
  }
  Class_ReleaseObject(&s);
}

// Runs after the handler, or alone when Storage_Reset cancelled the event.
void storageDelivered(uintptr_t eventId, void *payload) {
  auto *s = reinterpret_cast<Storage *>(eventId);
  auto *e = static_cast<StorageResultEvent *>(payload);
  storageFreeChain(e->records);
  if (e->driver != nullptr) e->driver->Release(&e->driverContext);
  s->pendingRequests.fetch_sub(1);
  Class_ReleaseObject(&s);
}

// The chain ends here: its records and the step's posting reference go
// with the result event, and no record is touched once it is posted.
int storageFinalStep(Storage *s, StorageStep *step) {
  if (step->result != 0 && step->resets == s->resets.load()) s->errorCount.fetch_add(1);
  if (step->active || step->result == 0) Storage_SetLastActivity(s, Platform_GetTickSeconds());
  StorageResultEvent e = {step->value,  step->argument, step->completion, step->driver,
                          step->driverContext, step->head, step->result, step->resultEx,
                          step->resets};
  EventQueue_Post(s->queue, reinterpret_cast<uintptr_t>(s), &e, sizeof e, storageDeliver,
                  storageDelivered, nullptr, KSRC, 0.0);
  return 1;
}

// A chain ends early (989/1) once the storage stops or is reset.
bool storageIsCut(Storage *s, StorageStep *step) {
  return s->stopping.load() || step->resets != s->resets.load();
}

// The worker's routine for every step. A carried error passes through
// before the stop check, so a chain keeps its first failure.
int storageStepRun(void *, IOWorkerRequest *request) {
  auto *step = reinterpret_cast<StorageStep *>(request);
  Storage *s = step->storage;
  if (!step->final) {
    if (step->result != 0) return Storage_CompleteStep(step, step->result, step->resultEx);
    if (storageIsCut(s, step))
      return Storage_CompleteStep(step, kStorageResultCancelled, kStorageCancelStopped);
  }
  if (step->function == nullptr) return Storage_CompleteStep(step, 0, 0);
  return step->function(s, step);
}

void storagePost(Storage *s, StorageStep *step) {
  Class_Retain(s);
  step->io.routine = storageStepRun;
  IOWorker_Post(s, &step->io);
}

// The next step of a chain whose step just completed, with that step's
// posting reference: on a pool thread it runs there once the completing
// routine has returned (no locks of the driver are held then, and no other
// thread is woken).
void storageContinue(Storage *s, StorageStep *step) {
  step->io.routine = storageStepRun;
  IOWorker_Continue(s, &step->io);
}

int storageReadStep(Storage *, StorageStep *step);
int storageWriteStep(Storage *, StorageStep *step);

// A chain's first failure, when a driver's read or write of a member
// failed, names that member in the request, so that the owner can say which
// file failed.
void storageNoteFailedMember(StorageStep *step) {
  if (step->result == 0 && step->argument != nullptr && step->value != nullptr &&
      (step->function == storageReadStep || step->function == storageWriteStep))
    StorageRequest_SetFailedMember(static_cast<StorageRequest *>(step->argument),
                                   static_cast<StorageMember *>(step->value));
}

}  // namespace

StorageStep *Storage_AppendStep(Storage *s, int32_t final, StorageStep *chain, void *argument,
                                void *value, StorageCompletion completion,
                                StorageStepFunction function) {
  STORAGE_CHECK(s);
  auto *step = static_cast<StorageStep *>(Pool_Alloc(s->steps, sizeof(StorageStep), KSRC));
  *step = StorageStep{};
  step->storage = s;
  step->final = final;
  step->function = function;
  step->argument = argument;
  step->value = value;
  step->completion = completion;
  if (chain == nullptr) {
    Class_Retain(s);  // the records'
    step->head = step;
    s->pendingRequests.fetch_add(1);
    step->resets = s->resets.load();
    step->driver = s->driver;
    if (s->driver != nullptr) step->driverContext = s->driver->AddRef(s->driverContext);
    return step;
  }
  step->head = chain;
  step->resets = chain->resets;
  step->driver = chain->driver;
  step->driverContext = chain->driverContext;
  StorageStep *tail = chain;
  while (tail->next != nullptr) tail = tail->next;
  tail->next = step;
  return chain;
}

StorageStep *Storage_AppendStartStep(Storage *s) {
  StorageStep *head = Storage_AppendStep(s, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
  head->start = 1;
  return head;
}

StorageStep *Storage_AppendFinalStep(Storage *s, StorageStep *chain, void *argument,
                                     void *context, StorageCompletion completion) {
  return Storage_AppendStep(s, 1, chain, argument, context, completion, storageFinalStep);
}

int Storage_RunChain(Storage *s, StorageStep *head) {
  STORAGE_CHECK(s);
  CHECK_POINTER(head);
  CHECK_POINTER(s->queue);
  storagePost(s, head);
  return 1;
}

int Storage_CompleteStep(StorageStep *step, int32_t result, int32_t resultEx) {
  CHECK_POINTER(step);
  Storage *s = step->storage;
  STORAGE_CHECK(s);
  if (result != 0) {
    storageNoteFailedMember(step);
    step->result = result;
    step->resultEx = resultEx;
  } else if (step->result == 0 && !step->start) {
    step->active = 1;  // the activity is stamped once, when the chain ends
  }
  StorageStep *next = step->next;
  if (next == nullptr) {  // a chain without a final step
    if (step->active) Storage_SetLastActivity(s, Platform_GetTickSeconds());
    storageFreeChain(step->head);
    Class_ReleaseObject(&s);  // the posting's
    return 1;
  }
  next->result = step->result;
  next->resultEx = step->resultEx;
  next->active = step->active;
  storageContinue(s, next);
  return 1;
}

namespace {

int storageExistsStep(Storage *, StorageStep *step) {
  return step->driver->Exists(step->driverContext, step);
}
int storageErasePieceStep(Storage *, StorageStep *step) {
  return step->driver->ErasePiece(step->driverContext, step);
}
int storageEraseFileStep(Storage *, StorageStep *step) {
  return step->driver->EraseFile(step->driverContext, step);
}
int storageCompleteFileStep(Storage *, StorageStep *step) {
  return step->driver->CompleteFile(step->driverContext, step);
}

// start, one driver step, final.
int storageRunDriverStep(Storage *s, StorageStepFunction function, void *argument, void *value,
                         void *context, StorageCompletion completion) {
  STORAGE_CHECK(s);
  if (s->driver == nullptr) Core_Abort(KSRC, "Assertion failed (Storage->Driver != NULL)\n");
  StorageStep *chain = Storage_AppendStartStep(s);
  chain = Storage_AppendStep(s, 0, chain, argument, value, nullptr, function);
  chain = Storage_AppendFinalStep(s, chain, argument, context, completion);
  return Storage_RunChain(s, chain);
}

}  // namespace

int Storage_Exists(Storage *s, void *argument, void *value, void *context,
                   StorageCompletion completion) {
  return storageRunDriverStep(s, storageExistsStep, argument, value, context, completion);
}

int Storage_ErasePiece(Storage *s, void *argument, void *value, void *context,
                       StorageCompletion completion) {
  return storageRunDriverStep(s, storageErasePieceStep, argument, value, context, completion);
}

int Storage_EraseFile(Storage *s, void *argument, void *value, void *context,
                      StorageCompletion completion) {
  return storageRunDriverStep(s, storageEraseFileStep, argument, value, context, completion);
}

int Storage_CompleteFile(Storage *s, void *argument, void *value, void *context,
                         StorageCompletion completion) {
  return storageRunDriverStep(s, storageCompleteFileStep, argument, value, context, completion);
}

namespace {

StorageRequest *storageRequestOf(StorageStep *step) {
  return static_cast<StorageRequest *>(step->argument);
}

int storageReadStep(Storage *, StorageStep *step) {
  return step->driver->Read(step->driverContext, step);
}

int storageWriteStep(Storage *, StorageStep *step) {
  return step->driver->Write(step->driverContext, step);
}

// The step's value is the cache; members read from the driver go into it.
int storageCacheStoreStep(Storage *, StorageStep *step) {
  StorageRequest *r = storageRequestOf(step);
  auto *cache = static_cast<OffsetCache *>(step->value);
  for (StorageMember *m = StorageRequest_GetFirstMember(r); m != nullptr; m = m->next) {
    if (m->fromCache || m->length < 1) continue;
    uint8_t *bytes = nullptr;
    StorageRequest_GetBuffer(r, m->paddedOffset, &bytes);
    if (m->paddedOffset + m->length <= StorageRequest_GetCapacity(r))
      OffsetCache_Put(cache, bytes, m->offset, int32_t(m->length));
    StorageRequest_ReleaseBuffer(r, &bytes);
  }
  return Storage_CompleteStep(step, 0, 0);
}

int storagePrepareStep(Storage *s, StorageStep *step) {
  StorageRequest *r = storageRequestOf(step);
  uint32_t flags = s->flags;
  if (!(StorageRequest_GetAllowDelta(r) && (flags & kStorageFlagVCDiff)))
    flags &= ~kStorageFlagVCDiff;
  if (!(StorageDriver_KeepsPieceHeader(step->driver) && StorageRequest_ReadPieceHeader(r)))
    StorageRequest_SetEncoding(r, flags);
  return Storage_CompleteStep(step, 0, 0);
}

constexpr uint32_t kStorageChallengeTag = 0x57a6e0c2;

void storageChallengeUnlink(Storage *s, StorageChallenge *c) {
  (c->previous ? c->previous->next : s->firstChallenge) = c->next;
  (c->next ? c->next->previous : s->lastChallenge) = c->previous;
  c->next = c->previous = nullptr;
  s->challengeCount--;
}

int storageOnChallengeResponse(void *context, const char *, const char *, const char *,
                               Dictionary *info);

// Stops observing, untracks and frees a record that has left the list.
StorageStep *storageChallengeFree(Storage *s, StorageChallenge *c) {
  NotificationCenter_RemoveInstanceObserver("Challenge", "Response", c->header.instanceId, c,
                                            storageOnChallengeResponse);
  Class_UntrackInstance(c);
  StorageStep *step = c->step;
  c->header.classTag = 0;
  void *member = c;
  Pool_Free(s->challenges, &member, sizeof(StorageChallenge), KSRC);
  return step;
}

int storageOnChallengeResponse(void *context, const char *, const char *, const char *,
                               Dictionary *info) {
  auto *c = static_cast<StorageChallenge *>(context);
  CLASS_CHECK(c, kStorageChallengeTag);
  Storage *s = c->storage;
  {
    CriticalSection_Enter(s->challengeLock);
    bool listed = c->previous != nullptr || s->firstChallenge == c;
    if (listed) storageChallengeUnlink(s, c);
    CriticalSection_Leave(s->challengeLock);
    if (!listed) return 1;  // withdrawn by Storage_Stop
  }
  StorageStep *step = storageChallengeFree(s, c);
  int32_t cancel = 0;
  char password[kStoragePasswordBytes] = {};
  if (info != nullptr) {
    Dictionary_GetBooleanByKey(info, "cancel", &cancel);
    Dictionary_GetStringByKey(info, "password", password, int32_t(sizeof password));
  }
  if (cancel) return Storage_CompleteStep(step, kStorageResultCancelled, kStorageCancelPrompt);
  Storage_SetPassword(s, password);
  memset(password, 0, sizeof password);
  // The step keeps its posting reference while it waits and runs again.
  IOWorker_Post(s, &step->io);
  return 1;
}

int storageDecryptStep(Storage *s, StorageStep *step) {
  StorageRequest *r = storageRequestOf(step);
  if (!StorageRequest_TestEncoding(r, kStorageFlagAes256)) return Storage_CompleteStep(step, 0, 0);
  char password[kStoragePasswordBytes];
  Storage_GetPassword(s, password);
  int rc = StorageRequest_Decrypt(r, password, int32_t(strlen(password)));
  if (rc == 0 || rc != kStorageDecryptPassword) memset(password, 0, sizeof password);
  if (rc == 0) return Storage_CompleteStep(step, 0, 0);
  if (rc != kStorageDecryptPassword) return Storage_CompleteStep(step, kStorageResultCancelled, rc);
  if (storageIsCut(s, step)) {
    memset(password, 0, sizeof password);
    return Storage_CompleteStep(step, kStorageResultCancelled, kStorageCancelStopped);
  }
  Storage_RequestPassword(s, step, password);
  memset(password, 0, sizeof password);
  return 1;
}

int storageInflateStep(Storage *, StorageStep *step) {
  StorageRequest *r = storageRequestOf(step);
  if (!StorageRequest_TestEncoding(r, kStorageFlagGzip)) return Storage_CompleteStep(step, 0, 0);
  int rc = StorageRequest_Inflate(r);
  return Storage_CompleteStep(step, rc == 0 ? 0 : kStorageResultInflate, rc);
}

void storageDeltaSourceEvent(uintptr_t, void *payload) {
  StorageStep *step = *static_cast<StorageStep **>(payload);
  Storage *s = step->storage;
  if (storageIsCut(s, step)) {
    Storage_CompleteStep(step, kStorageResultCancelled, kStorageCancelStopped);
    return;
  }
  if (s->deltaSource == nullptr) {
    Storage_CompleteStep(step, kStorageResultNotOffered, 0);
    return;
  }
  s->deltaSource(s, s->deltaSourceContext, step);
}

int storageDeltaSourceStep(Storage *s, StorageStep *step) {
  StorageRequest *r = storageRequestOf(step);
  if (!StorageRequest_TestEncoding(r, kStorageFlagVCDiff)) return Storage_CompleteStep(step, 0, 0);
  if (s->deltaSource == nullptr) return Storage_CompleteStep(step, kStorageResultNotOffered, 0);
  // Not cancelled by Storage_Reset (a different id): the step must complete.
  EventQueue_Post(s->queue, reinterpret_cast<uintptr_t>(step), &step, sizeof step,
                  storageDeltaSourceEvent, nullptr, nullptr, KSRC, 0.0);
  return 1;
}

int storageDeltaApplyStep(Storage *, StorageStep *step) {
  StorageRequest *r = storageRequestOf(step);
  if (!StorageRequest_TestEncoding(r, kStorageFlagVCDiff)) return Storage_CompleteStep(step, 0, 0);
  int applied = StorageRequest_ApplyDelta(r);
  // The source run (a whole file's pieces, often) is not kept for the
  // request's next piece: requests that wait hold no memory for it.
  StorageRequest *source = StorageRequest_GetSourceRequest(r);
  if (source != nullptr) StorageRequest_FreeBuffers(source);
  return Storage_CompleteStep(step, applied ? 0 : kStorageResultDelta, 0);
}

int storageAddPadsStep(Storage *, StorageStep *step) {
  StorageRequest_AddPadding(storageRequestOf(step));
  return Storage_CompleteStep(step, 0, 0);
}

int storageRemovePadsStep(Storage *, StorageStep *step) {
  StorageRequest_RemovePadding(storageRequestOf(step));
  return Storage_CompleteStep(step, 0, 0);
}

// Producing gzip or AES-256 data is not offered: a request that does not
// carry the encoding already is refused before anything is written.
int storageCompressStep(Storage *, StorageStep *step) {
  int has = StorageRequest_TestEncoding(storageRequestOf(step), kStorageFlagGzip);
  return Storage_CompleteStep(step, has ? 0 : kStorageResultNotOffered, 0);
}

int storageEncryptStep(Storage *, StorageStep *step) {
  int has = StorageRequest_TestEncoding(storageRequestOf(step), kStorageFlagAes256);
  return Storage_CompleteStep(step, has ? 0 : kStorageResultNotOffered, 0);
}

int storageDigestStep(Storage *, StorageStep *step) {
  int32_t failed = -1;
  int rc = StorageRequest_CheckDigests(storageRequestOf(step), &failed);
  return Storage_CompleteStep(step, rc == 0 ? 0 : kStorageResultDigest, rc == 0 ? 0 : failed);
}

StorageStep *storageAppend(Storage *s, StorageStep *chain, StorageRequest *r,
                           StorageStepFunction function) {
  return Storage_AppendStep(s, 0, chain, r, nullptr, nullptr, function);
}

}  // namespace

int Storage_RequestPassword(Storage *s, StorageStep *step, const char *tried) {
  STORAGE_CHECK(s);
  CHECK_POINTER(step);
  CHECK_POINTER(tried);
  Dictionary *info = nullptr;
  Dictionary_Create(&info);
  char text[kStorageLocationBytes];
  Dictionary_SetStringByKey(info, "filter", "storagedecrypt");
  Storage_GetLocation(s, text);
  Dictionary_SetStringByKey(info, "host", text);
  Dictionary_SetStringByKey(info, "password", tried);
  // A password answered since the attempt is tried first; one the data
  // refused is marked invalid at the broker once, so that the next request
  // prompts instead of getting it again. It is marked before any other chain
  // can ask with it: a request that found it still valid would open a prompt
  // of its own, and the mark would let this one open another.
  CriticalSection_Enter(s->lock);
  bool changed = strcmp(s->password, tried) != 0;
  if (!changed && tried[0] != '\0' && strcmp(tried, s->rejected) != 0) {
    Str_Copy(s->rejected, tried, kStoragePasswordBytes);
    Challenge_MarkInvalid(info);
  }
  CriticalSection_Leave(s->lock);
  if (changed) {
    Challenge_ReleaseInfo(&info);
    IOWorker_Post(s, &step->io);  // the step keeps its posting reference
    return 1;
  }
  void *member = Pool_Alloc(s->challenges, sizeof(StorageChallenge), KSRC);
  auto *c = new (member) StorageChallenge();
  c->header.classTag = kStorageChallengeTag;
  c->header.refCount.store(1);
  c->storage = s;
  c->step = step;
  Class_GenerateInstanceId(c);
  Class_TrackInstance(c, c);
  NotificationCenter_AddInstanceObserver("Challenge", "Response", c->header.instanceId, c,
                                         storageOnChallengeResponse);
  // Once the challenge is listed, a stop may withdraw it and complete the
  // step, and the storage may then go with the step's reference: what the
  // prompt needs of either is taken before.
  char id[sizeof c->header.instanceId];
  Str_Copy(id, c->header.instanceId, int(sizeof id));
  Storage_Log(s, "Password requested (%s)\n", id);

  CriticalSection_Enter(s->challengeLock);
  c->previous = s->lastChallenge;
  (s->lastChallenge ? s->lastChallenge->next : s->firstChallenge) = c;
  s->lastChallenge = c;
  s->challengeCount++;
  // A stop or reset that withdrew the prompts before this one joined the
  // list: withdraw it here, unasked.
  bool cut = storageIsCut(s, step);
  if (cut) storageChallengeUnlink(s, c);
  CriticalSection_Leave(s->challengeLock);
  if (cut) {
    Challenge_ReleaseInfo(&info);
    storageChallengeFree(s, c);
    return Storage_CompleteStep(step, kStorageResultCancelled, kStorageCancelStopped);
  }
  // An answer to a challenge withdrawn meanwhile finds no observer.
  Challenge_PostRequest(info, id);
  Challenge_ReleaseInfo(&info);
  return 1;
}

int Storage_WithdrawChallenges(Storage *s) {
  STORAGE_CHECK(s);
  CriticalSection_Enter(s->challengeLock);
  StorageChallenge *list = s->firstChallenge;
  s->firstChallenge = s->lastChallenge = nullptr;
  s->challengeCount = 0;
  CriticalSection_Leave(s->challengeLock);
  while (list != nullptr) {
    StorageChallenge *c = list;
    list = c->next;
    c->next = c->previous = nullptr;
    Challenge_Withdraw(c->header.instanceId);
    StorageStep *step = storageChallengeFree(s, c);
    Storage_CompleteStep(step, kStorageResultCancelled, kStorageCancelStopped);
  }
  return 1;
}

StorageStep *Storage_BuildFilterChain(Storage *s, StorageStep *chain, uint32_t targetFlags,
                                      StorageRequest *r) {
  STORAGE_CHECK(s);
  if (!(targetFlags & kStorageFlagAes256)) chain = storageAppend(s, chain, r, storageDecryptStep);
  if (!(targetFlags & kStorageFlagGzip)) chain = storageAppend(s, chain, r, storageInflateStep);
  StorageRequest *source = StorageRequest_GetSourceRequest(r);
  if (!(targetFlags & kStorageFlagVCDiff) && (s->flags & kStorageFlagVCDiff) && source != nullptr) {
    chain = storageAppend(s, chain, r, storageDeltaSourceStep);
    chain = Storage_BuildFilterChain(s, chain, 0, source);
    chain = storageAppend(s, chain, r, storageDeltaApplyStep);
  }
  chain = storageAppend(s, chain, r,
                        (targetFlags & kStorageFlagPad) ? storageAddPadsStep : storageRemovePadsStep);
  if (targetFlags & kStorageFlagGzip) chain = storageAppend(s, chain, r, storageCompressStep);
  if (targetFlags & kStorageFlagAes256) chain = storageAppend(s, chain, r, storageEncryptStep);
  return chain;
}

namespace {

// Copies the member's cached range into its place; 1 on a hit.
bool storageCopyFromCache(StorageRequest *r, OffsetCache *cache, StorageMember *m) {
  uint8_t *bytes = nullptr;
  int32_t cached = 0;
  StorageRequest_GetBuffer(r, m->paddedOffset, &bytes);
  int64_t room = StorageRequest_GetCapacity(r) - m->paddedOffset;
  int hit = OffsetCache_Copy(cache, m->offset, bytes, int32_t(room), &cached);
  StorageRequest_ReleaseBuffer(r, &bytes);
  if (hit && cached != m->length)
    Core_Abort(KSRC, "Assertion failed (CacheLength == MemberLength)\nCache corrupted\n");
  return hit != 0;
}

}  // namespace

int Storage_Read(Storage *s, StorageRequest *r, OffsetCache *cache, void *context,
                 StorageCompletion completion) {
  STORAGE_CHECK(s);
  if (s->driver == nullptr) Core_Abort(KSRC, "Assertion failed (Storage->Driver != NULL)\n");
  StorageRequest_SetStorage(r, s);
  StorageRequest_SetFailedMember(r, nullptr);
  StorageRequest_SetLength(r, 0);
  StorageStep *chain = Storage_AppendStartStep(s);
  // A piece comes from the cache whole or not at all: a piece driver reads
  // every member of a piece with its first, and a member without data still
  // owns its pad.
  for (StorageMember *m = StorageRequest_GetFirstMember(r); m != nullptr;) {
    StorageMember *end = m;
    while (end != nullptr && end->pieceIndex == m->pieceIndex) end = end->next;
    bool whole = cache != nullptr;
    for (StorageMember *n = m; n != end && whole; n = n->next)
      whole = n->length < 1 || storageCopyFromCache(r, cache, n);
    for (; m != end; m = m->next) {
      m->fromCache = whole ? 1 : 0;
      if (whole)
        StorageRequest_AddLength(r, m->length + ((s->flags & kStorageFlagPad) ? m->pad : 0));
      else
        chain = Storage_AppendStep(s, 0, chain, r, m, nullptr, storageReadStep);
    }
  }
  if (cache != nullptr)
    chain = Storage_AppendStep(s, 0, chain, r, cache, nullptr, storageCacheStoreStep);
  chain = storageAppend(s, chain, r, storagePrepareStep);
  MetaFile *meta = StorageRequest_GetMetaFile(r);
  uint32_t target = PieceList_GetHashPadding(MetaFile_GetPieceList(meta)) ? kStorageFlagPad : 0;
  chain = Storage_BuildFilterChain(s, chain, target, r);
  chain = storageAppend(s, chain, r, storageDigestStep);
  chain = Storage_AppendFinalStep(s, chain, r, context, completion);
  return Storage_RunChain(s, chain);
}

int Storage_Write(Storage *s, StorageRequest *r, void *context, StorageCompletion completion) {
  STORAGE_CHECK(s);
  if (s->driver == nullptr) Core_Abort(KSRC, "Assertion failed (Storage->Driver != NULL)\n");
  StorageRequest_SetStorage(r, s);
  StorageRequest_SetFailedMember(r, nullptr);
  StorageStep *chain = Storage_AppendStartStep(s);
  chain = Storage_BuildFilterChain(s, chain, s->flags, r);
  for (StorageMember *m = StorageRequest_GetFirstMember(r); m != nullptr; m = m->next)
    chain = Storage_AppendStep(s, 0, chain, r, m, nullptr, storageWriteStep);
  chain = Storage_AppendFinalStep(s, chain, r, context, completion);
  return Storage_RunChain(s, chain);
}

namespace {

struct StorageFormatName {
  const char *name;
  int32_t which;
};
constexpr StorageFormatName kStorageFormatNames[] = {
    {"SourceInfoHash", 0}, {"TargetInfoHash", 1}, {"TargetDigest", 2}, {"TargetIndex", 3}};

}  // namespace

int Storage_ExpandFormat(const char *format, MetaFile *metafile, int32_t pieceIndex,
                         const char *sourceInfoHash, char *out, int32_t outSize) {
  CHECK_POINTER(format);
  CHECK_POINTER(out);
  if (outSize < 1) return 0;
  out[0] = '\0';
  // The general macros first; the four names are unknown to them and stay.
  std::string general(format);
  general.resize(kStrExpandWorkBytes);
  if (strlen(format) >= size_t(kStrExpandWorkBytes) ||
      !Str_Expand(general.data(), kStrExpandWorkBytes, nullptr, nullptr))
    return 0;
  general.resize(strlen(general.c_str()));
  // Then the four names, whose values go in as they are and are never
  // scanned again: an id holding "{...}" stays literal.
  std::string result;
  size_t at = 0;
  while (at < general.size()) {
    size_t close = general[at] == '{' ? general.find('}', at) : std::string::npos;
    int32_t which = -1;
    if (close != std::string::npos) {
      std::string name = general.substr(at + 1, close - at - 1);
      for (const StorageFormatName &n : kStorageFormatNames)
        if (strcasecmp(n.name, name.c_str()) == 0) which = n.which;
    }
    std::string value;
    char text[kStorageLocationBytes] = {};
    bool known = true;
    switch (which) {
      case 0:
        known = sourceInfoHash != nullptr;
        if (known) value = sourceInfoHash;
        break;
      case 1:
        known = metafile != nullptr && MetaFile_GetId(metafile, text, int32_t(sizeof text));
        value = text;
        break;
      case 2:
        known = metafile != nullptr &&
                PieceList_GetDigestHex(MetaFile_GetPieceList(metafile), pieceIndex, text,
                                       int32_t(sizeof text));
        value = text;
        break;
      case 3:
        value = std::to_string(pieceIndex);
        break;
      default:
        known = false;
    }
    if (known) {
      result += value;
      at = close + 1;
    } else {
      result += general[at++];
    }
  }
  if (result.size() >= size_t(outSize)) return 0;
  memcpy(out, result.c_str(), result.size() + 1);
  return 1;
}
