// Storage step chains and the operations built from them; see
// storagechain.h and storage.h.
#include "base/storagechain.h"

#include "core/platform/platform.h"
#include "core/runtime/core.h"

namespace {

#define STORAGE_CHECK(s) CLASS_CHECK((s), kStorageTag)

// The result of a chain on its way to the owner's thread; the event holds
// one storage reference, dropped by its done handler.
struct StorageResultEvent {
  void *value;
  void *argument;
  StorageCompletion completion;
  int32_t result;
  int32_t resultEx;
};
static_assert(sizeof(StorageResultEvent) <= kEventQueueMaxPayloadBytes, "fits an event");

void storageDeliver(uintptr_t eventId, void *payload) {
  auto *s = reinterpret_cast<Storage *>(eventId);
  auto *e = static_cast<StorageResultEvent *>(payload);
  if (e->completion != nullptr) e->completion(s, e->value, e->argument, e->result, e->resultEx);
}

// Runs after the handler, or alone when Storage_Reset cancelled the event.
void storageDelivered(uintptr_t eventId, void *) {
  auto *s = reinterpret_cast<Storage *>(eventId);
  s->pendingRequests.fetch_sub(1);
  Class_ReleaseObject(&s);
}

int storageFinalStep(Storage *s, StorageStep *step) {
  if (step->result != 0) s->errorCount.fetch_add(1);
  StorageResultEvent e = {step->value, step->argument, step->completion, step->result,
                          step->resultEx};
  Class_Retain(s);
  EventQueue_Post(s->queue, reinterpret_cast<uintptr_t>(s), &e, sizeof e, storageDeliver,
                  storageDelivered, nullptr, KSRC, 0.0);
  return Storage_CompleteStep(step, 0, 0);
}

// The worker's routine for every step. A carried error passes through
// before the stop check, so a chain keeps its first failure.
int storageStepRun(void *, IOWorkerRequest *request) {
  auto *step = reinterpret_cast<StorageStep *>(request);
  Storage *s = step->storage;
  if (!step->final) {
    if (step->result != 0) return Storage_CompleteStep(step, step->result, step->resultEx);
    if (s->stopping.load(std::memory_order_acquire))
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

void storageFreeStep(StorageStep *step) {
  Storage *s = step->storage;
  void *member = step;
  Pool_Free(s->steps, &member, sizeof(StorageStep), KSRC);
  Class_ReleaseObject(&s);
}

}  // namespace

StorageStep *Storage_AppendStep(Storage *s, int32_t final, StorageStep *chain, void *argument,
                                void *value, StorageCompletion completion,
                                StorageStepFunction function) {
  STORAGE_CHECK(s);
  auto *step = static_cast<StorageStep *>(Pool_Alloc(s->steps, sizeof(StorageStep), KSRC));
  *step = StorageStep{};
  step->storage = static_cast<Storage *>(Class_Retain(s));
  step->final = final;
  step->function = function;
  step->argument = argument;
  step->value = value;
  step->completion = completion;
  if (chain == nullptr) {
    s->pendingRequests.fetch_add(1);
    return step;
  }
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
    step->result = result;
    step->resultEx = resultEx;
  } else if (step->result == 0 && !step->start) {
    Storage_SetLastActivity(s, Platform_GetTickSeconds());
  }
  StorageStep *next = step->next;
  if (next != nullptr) {
    next->result = step->result;
    next->resultEx = step->resultEx;
  }
  // The posting's reference keeps the storage while the record goes.
  storageFreeStep(step);
  if (next != nullptr) storagePost(s, next);
  Class_ReleaseObject(&s);
  return 1;
}

namespace {

int storageExistsStep(Storage *s, StorageStep *step) {
  return s->driver->Exists(s->driverContext, step);
}
int storageErasePieceStep(Storage *s, StorageStep *step) {
  return s->driver->ErasePiece(s->driverContext, step);
}
int storageEraseFileStep(Storage *s, StorageStep *step) {
  return s->driver->EraseFile(s->driverContext, step);
}
int storageCompleteFileStep(Storage *s, StorageStep *step) {
  return s->driver->CompleteFile(s->driverContext, step);
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
