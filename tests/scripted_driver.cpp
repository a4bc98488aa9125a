// The tests' scripted storage driver; see scripted_driver.h.
#include "tests/scripted_driver.h"

#include <chrono>
#include <new>
#include <thread>

#include "core/runtime/memory.h"

namespace {

constexpr uint32_t kScriptedDriverTag = 0x5c419d0e;

struct ScriptedDriver {
  ObjectHeader header;
  void *scriptContext;
  ScriptedDriverScript script;
  std::atomic<int32_t> calls[16];
};

struct ScriptedLater {
  IOWorkerRequest io;
  StorageStep *step;
  int32_t result;
  int32_t resultEx;
  int32_t delayMicroseconds;
};

ScriptedDriver *scriptedOf(void *context) {
  CLASS_CHECK(context, kScriptedDriverTag);
  return static_cast<ScriptedDriver *>(context);
}

void scriptedDestroy(void **object) {
  auto *d = static_cast<ScriptedDriver *>(*object);
  d->header.classTag = 0;
  d->~ScriptedDriver();
  MEM_FREE(d, sizeof(ScriptedDriver));
}

int scriptedCreate(void **context) {
  auto *d = new (MEM_ALLOC(sizeof(ScriptedDriver), MEM_ZEROED)) ScriptedDriver();
  d->header.classTag = kScriptedDriverTag;
  d->header.refCount.store(1);
  d->header.destroy = scriptedDestroy;
  *context = d;
  return 1;
}

int scriptedRelease(void **context) {
  Class_Release(context);
  return 1;
}

int scriptedSetLogHook(void *, Storage *, StorageLogFunction) { return 1; }

int scriptedConfigure(void *context, Storage *, Dictionary *, Dictionary *) {
  scriptedOf(context)->calls[5].fetch_add(1);
  return 1;
}

int scriptedStop(void *context, Storage *) {
  scriptedOf(context)->calls[6].fetch_add(1);
  return 1;
}

int scriptedSetActive(void *context, Storage *, int32_t) {
  scriptedOf(context)->calls[7].fetch_add(1);
  return 1;
}

int scriptedStatus(void *context, Storage *, Dictionary *status) {
  Dictionary_SetInt32ByKey(status, "readCalls", scriptedOf(context)->calls[11].load());
  return 1;
}

int scriptedPump(void *context, Storage *) {
  scriptedOf(context)->calls[9].fetch_add(1);
  return 1;
}

int scriptedLaterRun(void *, IOWorkerRequest *request) {
  auto *later = reinterpret_cast<ScriptedLater *>(request);
  if (later->delayMicroseconds > 0)
    std::this_thread::sleep_for(std::chrono::microseconds(later->delayMicroseconds));
  Storage_CompleteStep(later->step, later->result, later->resultEx);
  delete later;
  return 1;
}

int scriptedStep(void *context, int32_t slot, StorageStep *step) {
  ScriptedDriver *d = scriptedOf(context);
  d->calls[slot].fetch_add(1);
  ScriptedAction action = {};
  if (d->script != nullptr) action = d->script(d->scriptContext, slot, step);
  if (action.later)
    ScriptedDriver_CompleteLater(step, action.result, action.resultEx, action.delayMicroseconds);
  else
    Storage_CompleteStep(step, action.result, action.resultEx);
  return 1;
}

int scriptedExists(void *c, StorageStep *s) { return scriptedStep(c, kScriptedExists, s); }
int scriptedRead(void *c, StorageStep *s) { return scriptedStep(c, kScriptedRead, s); }
int scriptedWrite(void *c, StorageStep *s) { return scriptedStep(c, kScriptedWrite, s); }
int scriptedErasePiece(void *c, StorageStep *s) { return scriptedStep(c, kScriptedErasePiece, s); }
int scriptedEraseFile(void *c, StorageStep *s) { return scriptedStep(c, kScriptedEraseFile, s); }
int scriptedCompleteFile(void *c, StorageStep *s) {
  return scriptedStep(c, kScriptedCompleteFile, s);
}

ScriptedDriver *scriptedOfStorage(Storage *storage) {
  void *context = nullptr;
  Storage_GetDriverContext(storage, &context);
  return scriptedOf(context);
}

}  // namespace

const StorageDriver kScriptedDriver = {
    "ScriptedDriver", scriptedCreate,     StorageDriver_AddRef, scriptedRelease,
    scriptedSetLogHook, scriptedConfigure, scriptedStop,       scriptedSetActive,
    scriptedStatus,   scriptedPump,       scriptedExists,       scriptedRead,
    scriptedWrite,    scriptedErasePiece, scriptedEraseFile,    scriptedCompleteFile,
};

const StorageDriver kScriptedPieceDriver = {
    "ScriptedPiece",  scriptedCreate,     StorageDriver_AddRef, scriptedRelease,
    scriptedSetLogHook, scriptedConfigure, scriptedStop,       scriptedSetActive,
    scriptedStatus,   scriptedPump,       scriptedExists,       scriptedRead,
    scriptedWrite,    scriptedErasePiece, scriptedEraseFile,    scriptedCompleteFile,
};

int ScriptedDriver_SetScript(Storage *storage, void *context, ScriptedDriverScript script) {
  ScriptedDriver *d = scriptedOfStorage(storage);
  d->scriptContext = context;
  d->script = script;
  return 1;
}

int32_t ScriptedDriver_GetCalls(Storage *storage, int32_t slot) {
  return scriptedOfStorage(storage)->calls[slot].load();
}

void ScriptedDriver_CompleteLater(StorageStep *step, int32_t result, int32_t resultEx,
                                  int32_t delayMicroseconds) {
  auto *later = new ScriptedLater{};
  later->io.routine = scriptedLaterRun;
  later->step = step;
  later->result = result;
  later->resultEx = resultEx;
  later->delayMicroseconds = delayMicroseconds;
  IOWorker_Post(step->storage, &later->io);
}
