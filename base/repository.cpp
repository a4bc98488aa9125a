// The repository object: set-up, destroy and the queries its members
// share; see repository.h.
#include "base/repository.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "base/baseinterop.h"
#include "base/enginelog.h"
#include "base/storagedefaults.h"
#include "base/storagefile.h"
#include "base/storagefilepiece.h"
#include "core/platform/directory.h"
#include "core/platform/fileops.h"
#include "core/platform/notification.h"
#include "core/platform/meter.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/platform/rootdir.h"
#include "core/security/auth.h"
#include "core/net/url.h"
#include "core/platform/thread.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

#define REPOSITORY_CHECK(r) CLASS_CHECK((r), kRepositoryTag)

void repositoryDestroy(void **object) {
  auto *r = static_cast<Repository *>(*object);
  *object = nullptr;
  NotificationCenter_UnregisterInteropInstance(r->header.instanceId, r, Interop_HandleAddRef);
  if (r->copy != nullptr) StorageCopy_Stop(r->copy);
  if (r->apply != nullptr) StorageCopy_Stop(r->apply);
  if (r->queue != nullptr) EventQueue_Cancel(r->queue, reinterpret_cast<uintptr_t>(r));
  Repository_SetRequestCount(r, 0);
  if (r->local != nullptr) Storage_SetWritePlan(r->local, nullptr, nullptr);
  MetaFile_Destroy(&r->localMetaFile);
  MetaFile_Destroy(&r->remoteMetaFile);
  if (r->localMetaFileFd >= 0) Platform_CloseFile(r->localMetaFileFd);
  RootDirectory_Close(&r->installation);
  RootDirectory_Close(&r->metafileDirectory);
  BitField_Release(&r->mask);
  BitField_Release(&r->staged);
  BitField_Release(&r->applyMask);
  Class_ReleaseObject(&r->delta);
  Dictionary_Release(&r->config);
  for (StorageCopy **copy : {&r->copy, &r->apply}) {
    StorageCopy_SetErrorCallback(*copy, nullptr, nullptr);
    StorageCopy_SetSourceCallback(*copy, nullptr, nullptr);
    StorageCopy_SetAcquireRequestCallback(*copy, nullptr, nullptr);
    StorageCopy_SetReleaseRequestCallback(*copy, nullptr, nullptr);
    StorageCopy_Destroy(copy);
  }
  for (StorageCleanup **cleanup : {&r->cleanupLocal, &r->cleanupPending}) {
    StorageCleanup_SetErrorCallback(*cleanup, nullptr, nullptr);
    StorageCleanup_Destroy(cleanup);
  }
  Class_ReleaseObject(&r->local);
  Class_ReleaseObject(&r->pending);
  Repository_ClearRemotes(r);
  Pool_Release(&r->remotes);
  Pool_Release(&r->slots);
  Catalog_Destroy(&r->catalog);
  Alias_Destroy(&r->alias);
  MeterRW_Delete(&r->localMeters);
  MeterRW_Delete(&r->remoteMeters);
  if (r->settings != nullptr) Dictionary_Release(&r->settings);
  Class_ReleaseObject(&r->queue);
  Class_UntrackInstance(r);
  r->header.classTag = 0;
  r->~Repository();
  MEM_FREE(r, sizeof(Repository));
}

Pool *memberPool(int32_t size) {
  Pool *pool = nullptr;
  Pool_Create(&pool, KSRC);
  Pool_SetMemberSize(pool, size);
  Pool_SetMemberChunkSize(pool, kRepositoryMemberGrowth);
  return pool;
}

void copySetup(Repository *r, StorageCopy **copy, float pieceWeight, float fileWeight) {
  StorageCopy_Create(copy);
  StorageCopy_SetSourceCallback(*copy, r, Repository_SelectRemote);
  StorageCopy_SetErrorCallback(*copy, r, Repository_ApplyErrorPolicy);
  StorageCopy_SetAcquireRequestCallback(*copy, r, Repository_AcquireRequest);
  StorageCopy_SetReleaseRequestCallback(*copy, r, Repository_ReleaseRequest);
  StorageCopy_SetLocalStorage(*copy, r->local);
  StorageCopy_SetPendingStorage(*copy, r->pending);
  // The weights are single-precision values, widened.
  StorageCopy_SetPieceWeight(*copy, double(pieceWeight));
  StorageCopy_SetFileWeight(*copy, double(fileWeight));
}

}  // namespace

int Repository_Create(Repository **repository) {
  CHECK_POINTER(repository);
  auto *r = new (MEM_ALLOC(sizeof(Repository), MEM_ZEROED)) Repository();
  r->header.classTag = kRepositoryTag;
  r->header.refCount.store(1);
  r->header.destroy = repositoryDestroy;
  r->localMetaFileFd = -1;
  r->log.object = r;
  r->log.className = "Repository";
  Class_GenerateInstanceId(r);
  Class_TrackInstance(r, r);
  r->cleanup = r->metafileSave = r->deltaAllowed = r->catalogRequired = 1;
  r->ownerThreadId = Thread_GetCurrentId();
  r->queue = Thread_GetEventQueue(r->ownerThreadId);
  if (r->queue == nullptr) r->queue = static_cast<EventQueue *>(Class_Retain(EventQueue_GetMain()));
  r->stallSeconds = kRepositoryStallSeconds;
  r->lastErrorIndex = -1;
  Catalog_Create(&r->catalog);
  Catalog_SetNotNeeded(r->catalog, 1);
  Catalog_SetErrorCallback(r->catalog, r, Repository_OnCatalogError);
  Alias_Create(&r->alias);
  Alias_SetErrorCallback(r->alias, r, Repository_OnAliasError);
  Storage_Create(&r->local);
  Storage_Create(&r->pending);
  Storage_SetQueue(r->local, r->queue);
  Storage_SetQueue(r->pending, r->queue);
  r->remotes = memberPool(int32_t(sizeof(RepositoryRemote)));
  r->slots = memberPool(int32_t(sizeof(RepositorySlot)));
  copySetup(r, &r->copy, 0.8f, 0.2f);
  copySetup(r, &r->apply, 0.6f, 0.4f);
  StorageCleanup_Create(&r->cleanupLocal);
  StorageCleanup_Create(&r->cleanupPending);
  StorageCleanup_SetStorage(r->cleanupLocal, r->local);
  StorageCleanup_SetStorage(r->cleanupPending, r->pending);
  StorageCleanup_SetErrorCallback(r->cleanupLocal, r, Repository_OnLocalCleanupError);
  StorageCleanup_SetErrorCallback(r->cleanupPending, r, Repository_OnPendingCleanupError);
  Dictionary_Create(&r->config);
  StorageDelta_Create(&r->delta);
  StorageDelta_SetStorage(r->delta, r->local);
  StorageDelta_SetCompletion(r->delta, r, Repository_CompleteDeltaStep);
  BitField_Create(&r->mask);
  BitField_Create(&r->staged);
  BitField_Create(&r->applyMask);
  MetaFile_Create(&r->localMetaFile);
  MetaFile_Create(&r->remoteMetaFile);
  MetaFile_SetErrorCallback(r->localMetaFile, r, Repository_OnLocalMetaFileError);
  MetaFile_SetErrorCallback(r->remoteMetaFile, r, Repository_OnRemoteMetaFileError);
  MetaFile_KeepBody(r->remoteMetaFile);  // saved as it came as the new local metafile
  // The installed version's copy says what is installed, however old its
  // signature's validity window.
  MetaFile_SetCheckClaims(r->localMetaFile, 0);
  MeterRW_Create(&r->localMeters);
  MeterRW_Create(&r->remoteMeters);
  for (MeterRW *pair : {r->localMeters, r->remoteMeters}) {
    MeterRW_SetReadParent(pair, Meter_GetRoot());
    MeterRW_SetWriteParent(pair, Meter_GetRoot());
  }
  NotificationCenter_RegisterInteropInstance(r->header.instanceId, r, Interop_HandleAddRef);
  *repository = r;
  return 1;
}

int Repository_Destroy(Repository **repository) {
  CHECK_POINTER(repository);
  REPOSITORY_CHECK(*repository);
  Class_ReleaseObject(repository);
  return 1;
}

int Repository_GetLocalId(Repository *r, char *buffer, int32_t size) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(buffer);
  if (size > 0) buffer[0] = '\0';
  if (r->localMetaFile != nullptr && MetaFile_IsLoaded(r->localMetaFile))
    MetaFile_GetId(r->localMetaFile, buffer, size);
  return 1;
}

int Repository_GetRemoteId(Repository *r, char *buffer) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(buffer);
  buffer[0] = '\0';
  if (MetaFile_IsLoaded(r->remoteMetaFile) &&
      MetaFile_GetId(r->remoteMetaFile, buffer, kRepositoryIdBytes) && buffer[0] != '\0')
    return 1;
  buffer[0] = '\0';
  if (!Catalog_IsNotNeeded(r->catalog) && Catalog_IsComplete(r->catalog) &&
      Catalog_Succeeded(r->catalog) && Catalog_GetId(r->catalog, buffer) && buffer[0] != '\0')
    return 1;
  buffer[0] = '\0';
  if (!Alias_IsNotNeeded(r->alias) && Alias_IsComplete(r->alias) && Alias_Succeeded(r->alias) &&
      Alias_GetRemoteId(r->alias, buffer) && buffer[0] != '\0')
    return 1;
  Str_Copy(buffer, r->remoteId, kRepositoryIdBytes);
  return buffer[0] != '\0' ? 1 : 0;
}

int Repository_GetPendingRequests(Repository *r, int32_t *count) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(count);
  int32_t sum = Storage_GetPendingRequests(r->local) + Storage_GetPendingRequests(r->pending);
  for (RepositoryRemote *e = r->firstRemote; e != nullptr; e = e->next)
    sum += Storage_GetPendingRequests(e->storage);
  *count = sum;
  return 1;
}

// ---- Configuration and setters --------------------------------------------------------------

namespace {

constexpr uint32_t kPhaseBits =
    kRepositoryStateRefresh | kRepositoryStateSynchronize | kRepositoryStateErase;

// The phases in the order the step runs them: action flag and state bit.
constexpr struct {
  uint32_t action;
  uint32_t bit;
  const char *name;
} kPhases[] = {
    {kRepositoryActionRefresh, kRepositoryStateRefresh, "Refresh"},
    {kRepositoryActionSynchronize, kRepositoryStateSynchronize, "Synchronize"},
    {kRepositoryActionErase, kRepositoryStateErase, "Erase"},
};

double repositoryNow() { return Platform_GetTickSeconds(); }

template <typename F>
void forEachStorage(Repository *r, F f) {
  f(r->local);
  f(r->pending);
  for (RepositoryRemote *e = r->firstRemote; e != nullptr; e = e->next) f(e->storage);
}

double requestResumeTime(AsyncHttp *request) {
  double at = 0;
  if (request != nullptr) AsyncHttp_GetResumeTime(request, &at);
  return at;
}

int32_t signedFor(Repository *r, const char *url) {
  if (!Authenticate_Enabled()) return 0;
  return (strncasecmp(url, "https:", 6) != 0 || r->verifyHttps) ? 1 : 0;
}

bool engineAlive(StorageCopy *copy) { return copy->alive != 0; }

}  // namespace

int Repository_SetLogSink(Repository *r, void *context, ClassLogSink sink) {
  REPOSITORY_CHECK(r);
  EngineLog_SetSink(&r->log, context, sink);
  forEachStorage(r, [&](Storage *s) { Storage_SetLogHook(s, context, sink); });
  MetaFile_SetLogSink(r->localMetaFile, context, sink);
  MetaFile_SetLogSink(r->remoteMetaFile, context, sink);
  StorageDelta_SetLogHook(r->delta, context, sink);
  StorageCopy_SetLogParent(r->copy, context, sink);
  StorageCopy_SetLogParent(r->apply, context, sink);
  StorageCleanup_SetLogParent(r->cleanupLocal, context, sink);
  StorageCleanup_SetLogParent(r->cleanupPending, context, sink);
  EngineLog_SetSink(&r->alias->log, context, sink);
  EngineLog_SetSink(&r->catalog->log, context, sink);
  return 1;
}

int Repository_SetConfiguration(Repository *r, Dictionary *config) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(config);
  Dictionary_Release(&r->config);
  Dictionary_Create(&r->config);
  Dictionary_Merge(r->config, config, kDictionaryMergeOverwrite);
  if (!Dictionary_GetStringByKey(r->config, "repository", r->name, int32_t(sizeof r->name))) {
    r->name[0] = '\0';
    Repository_RecordConfigError(r);
    EngineLog_Print(&r->log, "Configuration dictionary missing %s\n", "repository");
    return 0;
  }
  r->named = 1;
  const char *metafile = nullptr;
  r->localMetaFileConfigured = Dictionary_GetStringPointerByKey(r->config, "metafile", &metafile) &&
                               metafile != nullptr && metafile[0] != '\0';
  if (!r->localMetaFileConfigured) r->metafileSave = 0;
  return 1;
}

int Repository_SetLimits(Repository *r, Dictionary *settings) {
  REPOSITORY_CHECK(r);
  if (settings != nullptr) Dictionary_AddRef(settings);
  if (r->settings != nullptr) Dictionary_Release(&r->settings);
  r->settings = settings;
  auto limit = [&](const char *path) {
    int32_t bytes = 0;
    if (settings == nullptr || !Dictionary_GetInt32ByPath(settings, path, &bytes)) bytes = 0;
    return bytes;
  };
  MetaFile_SetMaxSize(r->localMetaFile, limit("metafile.limitSize"));
  MetaFile_SetMaxSize(r->remoteMetaFile, limit("metafile.limitSize"));
  Catalog_SetMaxSize(r->catalog, limit("catalog.limitSize"));
  Alias_SetMaxSize(r->alias, limit("alias.limitSize"));
  return 1;
}

int Repository_SetDirectories(Repository *r, RootDirectory *installation,
                              RootDirectory *metafileDirectory) {
  REPOSITORY_CHECK(r);
  RootDirectory *copies[2] = {nullptr, nullptr};
  if ((installation != nullptr && !RootDirectory_Duplicate(installation, &copies[0])) ||
      (metafileDirectory != nullptr && !RootDirectory_Duplicate(metafileDirectory, &copies[1]))) {
    int error = Platform_GetLastError();
    RootDirectory_Close(&copies[0]);
    Platform_SetLastError(error);
    return 0;
  }
  RootDirectory_Close(&r->installation);
  RootDirectory_Close(&r->metafileDirectory);
  r->installation = copies[0];
  r->metafileDirectory = copies[1];
  return 1;
}

int Repository_SetEventQueue(Repository *r, EventQueue *queue) {
  REPOSITORY_CHECK(r);
  if (queue != nullptr) Class_Retain(queue);
  Class_ReleaseObject(&r->queue);
  r->queue = queue;
  Alias_SetEventQueue(r->alias, queue);
  Catalog_SetEventQueue(r->catalog, queue);
  MetaFile_SetEventQueue(r->localMetaFile, queue);
  MetaFile_SetEventQueue(r->remoteMetaFile, queue);
  forEachStorage(r, [&](Storage *s) { Storage_SetQueue(s, queue); });
  StorageCleanup_SetEventQueue(r->cleanupLocal, queue);
  StorageCleanup_SetEventQueue(r->cleanupPending, queue);
  return 1;
}

int Repository_SetCertStore(Repository *r, CertStore *store) {
  REPOSITORY_CHECK(r);
  Alias_SetCertStore(r->alias, store);
  Catalog_SetCertStore(r->catalog, store);
  MetaFile_SetCertStore(r->localMetaFile, store);
  MetaFile_SetCertStore(r->remoteMetaFile, store);
  r->verifyHttps = store != nullptr;
  return 1;
}

int Repository_SetActionFlags(Repository *r, uint32_t flags) {
  REPOSITORY_CHECK(r);
  uint32_t old = r->actionFlags;
  if (old == flags) return 1;
  r->actionFlags = flags;
  if ((old & kRepositoryActionSynchronize) && !(flags & kRepositoryActionSynchronize)) {
    // Both engines: an apply engine left alive would refuse the next
    // configuration and keep retrying its failed pieces.
    StorageCopy_Stop(r->copy);
    StorageCopy_Stop(r->apply);
    StorageCleanup_Stop(r->cleanupLocal);
    StorageCleanup_Stop(r->cleanupPending);
  }
  if ((old & kRepositoryActionErase) && !(flags & kRepositoryActionErase)) {
    StorageCleanup_Stop(r->cleanupLocal);
    StorageCleanup_Stop(r->cleanupPending);
  }
  return 1;
}

namespace {
int setAction(Repository *r, uint32_t flag, int32_t on) {
  REPOSITORY_CHECK(r);
  return Repository_SetActionFlags(r, on ? (r->actionFlags | flag) : (r->actionFlags & ~flag));
}
}  // namespace

int Repository_SetActive(Repository *r, int32_t on) { return setAction(r, kRepositoryActionActive, on); }
int Repository_SetSynchronize(Repository *r, int32_t on) {
  return setAction(r, kRepositoryActionSynchronize, on);
}
int Repository_SetRefresh(Repository *r, int32_t on) { return setAction(r, kRepositoryActionRefresh, on); }
int Repository_SetErase(Repository *r, int32_t on) { return setAction(r, kRepositoryActionErase, on); }

int Repository_SetStateCallback(Repository *r, void *context, RepositoryStateCallback function) {
  REPOSITORY_CHECK(r);
  return Callback_Set(&r->stateCallback, context, reinterpret_cast<CallbackFunction>(function));
}

int Repository_SetErrorCallback(Repository *r, void *context, RepositoryErrorCallback function) {
  REPOSITORY_CHECK(r);
  return Callback_Set(&r->errorCallback, context, reinterpret_cast<CallbackFunction>(function));
}

int Repository_Cancel(Repository *r) {
  REPOSITORY_CHECK(r);
  if (r->actionFlags & kRepositoryActionCancel) return 1;
  Repository_SetActionFlags(r, r->actionFlags | kRepositoryActionCancel);
  Repository_SetActive(r, 0);
  Repository_SetSynchronize(r, 0);
  Repository_SetRefresh(r, 0);
  Repository_SetErase(r, 0);
  forEachStorage(r, [](Storage *s) { Storage_Stop(s); });
  return 1;
}

int Repository_ResetErrors(Repository *r) {
  REPOSITORY_CHECK(r);
  MeterRW_Reset(r->localMeters);
  MeterRW_Reset(r->remoteMeters);
  r->errorCount = 0;
  r->lastErrorSource = r->lastErrorType = r->lastErrorCode = r->lastErrorCodeEx = 0;
  r->lastErrorPath[0] = '\0';
  r->lastErrorIndex = -1;
  r->deltaFailures = 0;
  double now = repositoryNow();
  r->eraseRetryTime = now;
  for (int32_t i = 0; i <= kRepositoryStateFlagMaxBits; i++) {
    r->stateTime[i] = 0;
    r->stateStart[i] = now;
  }
  return 1;
}

uint32_t Repository_GetActionFlags(Repository *r) {
  REPOSITORY_CHECK(r);
  return r->actionFlags;
}

uint32_t Repository_GetStateFlags(Repository *r) {
  REPOSITORY_CHECK(r);
  return r->stateFlags;
}

int32_t Repository_GetCleanup(Repository *r) {
  REPOSITORY_CHECK(r);
  return r->cleanup;
}

int32_t Repository_GetApplyEnabled(Repository *r) {
  REPOSITORY_CHECK(r);
  return r->applyEnabled;
}

// ---- State ------------------------------------------------------------------------------------

int Repository_IsBusy(Repository *r) {
  REPOSITORY_CHECK(r);
  uint32_t actions = r->actionFlags;
  if (actions & (kRepositoryActionSynchronize | kRepositoryActionRefresh | kRepositoryActionErase))
    return 1;
  if (!(actions & kRepositoryActionCancel) && !(r->stateFlags & kRepositoryStateLocalMetaFile))
    return 1;
  int32_t pending = 0;
  Repository_GetPendingRequests(r, &pending);
  return MetaFile_IsLoading(r->localMetaFile) || MetaFile_IsLoading(r->remoteMetaFile) ||
         Alias_IsRunning(r->alias) || Catalog_IsRunning(r->catalog) ||
         StorageCopy_IsRunning(r->copy) || StorageCopy_IsRunning(r->apply) ||
         StorageCleanup_IsRunning(r->cleanupLocal) ||
         StorageCleanup_IsRunning(r->cleanupPending) || pending > 0;
}

namespace {

void updateTimers(Repository *r, uint32_t word) {
  uint32_t timed = (r->actionFlags & kRepositoryActionActive) ? word : (word & kRepositoryStatePaused);
  uint32_t changed = timed ^ r->timedState;
  double now = repositoryNow();
  for (int32_t slot = 1; slot <= kRepositoryStateFlagMaxBits; slot++) {
    uint32_t bit = 1u << (slot - 1);
    if (!(changed & bit)) continue;
    if (timed & bit)
      r->stateStart[slot] = now;
    else
      r->stateTime[slot] += now - r->stateStart[slot];
  }
  r->timedState = timed;
}

void resetForPhase(Repository *r) {
  StorageCopy_Reset(r->copy);
  StorageCopy_Reset(r->apply);
  forEachStorage(r, [](Storage *s) { Storage_Reset(s); });
  StorageDelta_Reset(r->delta);
  Storage_SetWritePlan(r->local, nullptr, nullptr);
  r->configured = 0;
  r->cleanupStarted = 0;
}

// The apply writes the pieces the copy staged and leaves out every other:
// the copy found those in place (or masked them) a moment ago. The local
// storage learns which pieces will be written, so that a file whose every
// piece is among them is built from nothing rather than from a copy of the
// installed one. With a mask of the caller's the apply looks at every
// piece it selects, as before.
void repositoryPlanApply(Repository *r) {
  int32_t masked = 0, staged = 0;
  BitField_GetSize(r->mask, &masked);
  BitField_GetSize(r->staged, &staged);
  int32_t pieces = PieceList_GetPieceTotal(MetaFile_GetPieceList(r->remoteMetaFile));
  if (masked != 0 || staged != pieces || pieces < 1) return;
  BitField_Copy(r->applyMask, r->staged);
  BitField_Invert(r->applyMask);
  StorageCopy_SetMask(r->apply, r->applyMask);
  StorageCopy_Configure(r->apply);
  Storage_SetWritePlan(r->local, r->remoteMetaFile, r->staged);
}

double stallReference(Repository *r, uint32_t word, double now, bool *test) {
  *test = true;
  if (r->lastErrorSource == kRepositorySourceConfig) return now - r->stallSeconds;
  for (StorageCopy *copy : {r->copy, r->apply}) {
    if (!StorageCopy_IsRunning(copy)) continue;
    double piece = -1, file = 0;
    StorageCopy_GetPieceCompleteLastTime(copy, &piece);
    StorageCopy_GetFileCompleteLastTime(copy, &file);
    return piece >= 0 ? std::max(piece, file) : file;
  }
  if (word & kPhaseBits) {
    double latest = 0;
    forEachStorage(r, [&](Storage *s) { latest = std::max(latest, Storage_GetLastActivity(s)); });
    return latest;
  }
  if (!(word & kRepositoryStateLocalDone)) return now - r->stallSeconds;
  *test = false;
  return 0;
}

}  // namespace

int Repository_LogPhase(Repository *r, uint32_t word) {
  REPOSITORY_CHECK(r);
  uint32_t old = r->stateFlags;
  if (word == old) {
    updateTimers(r, word);
    return 1;
  }
  uint32_t started = word & ~old;
  if (started & kRepositoryStateRefresh) {
    EngineLog_Print(&r->log, "Refresh started (%s)\n", r->name);
    Alias_Reset(r->alias);
    r->alias->notNeeded = 0;
    Catalog_Reset(r->catalog);
    Catalog_SetNotNeeded(r->catalog, 0);
    MetaFile_Reset(r->localMetaFile);
    MetaFile_Reset(r->remoteMetaFile);
    word &= ~(kRepositoryStateLocalMetaFile | kRepositoryStateRemoteId);
    resetForPhase(r);
  }
  if (started & kRepositoryStateSynchronize) {
    EngineLog_Print(&r->log, "Synchronize started (%s)\n", r->name);
    resetForPhase(r);
  }
  if (started & kRepositoryStateErase) {
    EngineLog_Print(&r->log, "Erase started (%s)\n", r->name);
    resetForPhase(r);
  }
  uint32_t paused = (word ^ old) & kRepositoryStatePaused;
  if (paused) {
    int32_t active = (word & kRepositoryStatePaused) ? 0 : 1;
    forEachStorage(r, [&](Storage *s) { Storage_SetActive(s, active); });
  }
  updateTimers(r, word);
  r->stateFlags = word;
  uint32_t stopped = old & ~word;
  for (const auto &phase : kPhases) {
    if (!(stopped & phase.bit)) continue;
    if (phase.bit == kRepositoryStateSynchronize) {
      Dictionary *status = nullptr;
      Dictionary_Create(&status);
      if (r->log.sink != nullptr) Dictionary_SetLogHook(status, r->log.sinkContext, r->log.sink);
      Repository_GetStatus(r, status);
      Dictionary_Dump(status, 0);
      Dictionary_Release(&status);
      Repository_ResetRequests(r);
    }
    double seconds = 0;
    Repository_GetStateTime(r, phase.bit, &seconds);
    EngineLog_Print(&r->log, "%s stopped (%s) (%.2fs)\n", phase.name, r->name, seconds);
  }
  void *context = nullptr;
  CallbackFunction function = nullptr;
  if (Callback_Get(&r->stateCallback, &context, &function))
    reinterpret_cast<RepositoryStateCallback>(function)(r, context, old, word);
  return 1;
}

int Repository_UpdateState(Repository *r) {
  REPOSITORY_CHECK(r);
  uint32_t actions = r->actionFlags;
  uint32_t state = r->stateFlags;
  uint32_t word = 0;
  if (Repository_IsBusy(r)) {
    // A phase begins (and resets the storages and engines) only once
    // nothing of another phase is in flight; until then it waits.
    int32_t pending = 0;
    Repository_GetPendingRequests(r, &pending);
    bool idle = pending == 0 && !engineAlive(r->copy) && !engineAlive(r->apply);
    for (const auto &phase : kPhases) {
      if ((state & phase.bit) || ((actions & phase.action) && idle)) word |= phase.bit;
    }
    word |= kRepositoryStateAlive;
    if ((word & kPhaseBits) && !(actions & kRepositoryActionActive))
      word |= kRepositoryStatePaused;
  }
  if (Alias_IsComplete(r->alias)) word |= kRepositoryStateAlias;
  if (Catalog_IsComplete(r->catalog)) word |= kRepositoryStateCatalog;
  if (!r->localMetaFileConfigured || MetaFile_IsLoaded(r->localMetaFile))
    word |= kRepositoryStateLocalMetaFile | kRepositoryStateLocalDone;
  char remoteId[kRepositoryIdBytes];
  if (Repository_GetRemoteId(r, remoteId)) {
    word |= kRepositoryStateRemoteId;
    if (MetaFile_IsLoaded(r->remoteMetaFile)) word |= kRepositoryStateRemoteMetaFile;
  }
  if (StorageCopy_IsRunning(r->copy)) word |= kRepositoryStateCopying;
  if (StorageCopy_IsRunning(r->apply)) word |= kRepositoryStateApplying;
  if ((actions & kRepositoryActionActive) && r->lastErrorCode != 0 &&
      !(r->lastErrorCode == 989 && r->lastErrorCodeEx == 8)) {
    double now = repositoryNow();
    bool test = false;
    double reference = stallReference(r, word, now, &test);
    if (test && now >= reference + r->stallSeconds) word |= kRepositoryStateStalled;
  }
  uint32_t copyFlags = 0;
  StorageCopy_GetFlags(r->copy, &copyFlags);
  if (copyFlags & (kStorageCopyPending | kStorageCopyToPending)) word |= kRepositoryStatePendingStage;
  if (StorageCleanup_IsRunning(r->cleanupLocal)) word |= kRepositoryStateLocalCleaning;
  if (StorageCleanup_IsRunning(r->cleanupPending)) word |= kRepositoryStatePendingCleaning;
  if (Alias_IsRunning(r->alias)) word |= kRepositoryStateAliasLoading;
  if (Catalog_IsRunning(r->catalog)) word |= kRepositoryStateCatalogLoading;
  if (MetaFile_IsLoading(r->localMetaFile)) word |= kRepositoryStateLocalMetaFileLoading;
  if (MetaFile_IsLoading(r->remoteMetaFile)) word |= kRepositoryStateRemoteMetaFileLoading;
  if ((word & kRepositoryStateLocalMetaFile) && (word & kRepositoryStateRemoteId)) {
    char localId[kRepositoryIdBytes];
    Repository_GetLocalId(r, localId, int32_t(sizeof localId));
    if (localId[0] == '\0')
      word |= kRepositoryStateNotInstalled;
    else if (strcasecmp(localId, remoteId) != 0)
      word |= kRepositoryStateOutOfDate;
  }
  return Repository_LogPhase(r, word);
}

// ---- Documents --------------------------------------------------------------------------------

int Repository_GetMetaFileUrl(Repository *r, char *buffer) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(buffer);
  buffer[0] = '\0';
  Dictionary *entry = nullptr;
  if (!Catalog_GetEntry(r->catalog, &entry) || entry == nullptr) return 0;
  return Dictionary_GetStringByKey(entry, "metafile", buffer, kCatalogUrlBytes) && buffer[0] != '\0';
}

int Repository_LoadAlias(Repository *r) {
  REPOSITORY_CHECK(r);
  if (!Dictionary_GetStringByPath(r->config, "remote.id", r->remoteId, kRepositoryIdBytes) ||
      r->remoteId[0] == '\0') {
    if (!Dictionary_GetStringByKey(r->config, "remoteId", r->remoteId, kRepositoryIdBytes))
      r->remoteId[0] = '\0';
  }
  if (r->remoteId[0] != '\0') {
    Alias_SetNotNeeded(r->alias);
    return 1;
  }
  char url[kCatalogUrlBytes] = {};
  if (!Dictionary_GetStringByKey(r->config, "alias", url, int32_t(sizeof url)) &&
      (r->settings == nullptr ||
       !Dictionary_GetStringByPath(r->settings, "alias.url", url, int32_t(sizeof url)))) {
    EngineLog_Print(&r->log, "Alias not configured\n");
    Alias_SetNotNeeded(r->alias);
    return 1;
  }
  Alias_SetKey(r->alias, r->name);
  r->catalogAskedAgain = 0;
  Str_Copy(r->aliasUrl, url, kCatalogUrlBytes);
  Alias_Load(r->alias, url, signedFor(r, url));
  return 1;
}

int Repository_LoadCatalog(Repository *r) {
  REPOSITORY_CHECK(r);
  char remoteId[kRepositoryIdBytes];
  bool known = Repository_GetRemoteId(r, remoteId) != 0;
  char base[kCatalogUrlBytes] = {};
  bool configured =
      Dictionary_GetStringByKey(r->config, "catalog", base, int32_t(sizeof base)) ||
      (r->settings != nullptr &&
       Dictionary_GetStringByPath(r->settings, "catalog.url", base, int32_t(sizeof base)));
  if ((known && !r->catalogRequired) || !configured || base[0] == '\0') {
    if (r->catalogRequired) EngineLog_Print(&r->log, "Catalog not configured\n");
    Catalog_SetSpecificFirst(r->catalog, 0);
    Catalog_SetNotNeeded(r->catalog, 1);
    return 1;
  }
  size_t length = strlen(base);
  bool whole = length >= 5 && strcasecmp(base + length - 5, ".json") == 0;
  if (!whole && !known) {
    EngineLog_Print(&r->log, "Remote id required\n");
    return 0;
  }
  char localId[kRepositoryIdBytes];
  Repository_GetLocalId(r, localId, int32_t(sizeof localId));
  int32_t specificFirst = Catalog_GetSpecificFirst(r->catalog);
  char url[kCatalogUrlBytes];
  if (!Catalog_BuildUrl(base, remoteId, localId, &specificFirst, url, int32_t(sizeof url)))
    return 0;
  Catalog_SetSpecificFirst(r->catalog, specificFirst);
  // The catalog must name the version the alias (or the configuration)
  // names, whether its URL was built from that id or configured whole; a
  // whole one is asked for past caches, as is one asked for again.
  Catalog_SetExpectedId(r->catalog, known ? remoteId : "");
  Catalog_SetBypassCache(r->catalog, whole || r->catalogAskedAgain);
  Str_Copy(r->catalogUrl, url, kCatalogUrlBytes);
  Catalog_Load(r->catalog, url, signedFor(r, url));
  return 1;
}

// ---- Pump -------------------------------------------------------------------------------------

namespace {

void refreshStep(Repository *r) {
  double now = repositoryNow();
  if (Alias_IsComplete(r->alias) && Alias_Succeeded(r->alias)) {
    if (Catalog_IsComplete(r->catalog) && Catalog_Succeeded(r->catalog)) {
      uint32_t need = kRepositoryStateLocalMetaFile | kRepositoryStateRemoteId;
      if ((r->stateFlags & need) != need) {
        if (!(r->stateFlags & kRepositoryStateLocalMetaFile))
          EngineLog_Print(&r->log, "Local metafile not loaded\n");
        if (!(r->stateFlags & kRepositoryStateRemoteId))
          EngineLog_Print(&r->log, "Remote metafile not loaded\n");
        Repository_RecordConfigError(r);
      }
      Repository_SetRefresh(r, 0);
    } else if (!Catalog_IsRunning(r->catalog) && now >= requestResumeTime(r->catalog->request)) {
      if (!Repository_LoadCatalog(r)) {
        Repository_RecordConfigError(r);
        Repository_SetRefresh(r, 0);
      }
    }
  } else if (!Alias_IsRunning(r->alias) && now >= requestResumeTime(r->alias->request)) {
    Repository_LoadAlias(r);
  }
}

// The local metafile's name in the directory the start opened for it; ""
// when no directory was given (its path is then used as it reads now).
void localMetaFileLeaf(Repository *r, const char *path, char *leaf) {
  leaf[0] = '\0';
  if (r->metafileDirectory == nullptr || !Path_GetFileName(path, leaf, kPathMax)) leaf[0] = '\0';
}

bool localMetaFileErase(Repository *r, const char *path, int *error) {
  char leaf[kPathMax];
  localMetaFileLeaf(r, path, leaf);
  if (leaf[0] == '\0') return EraseFile(path, 1, error) != 0;
  *error = 0;
  bool erased = RootDirectory_Remove(r->metafileDirectory, leaf, 0) != 0 ||
                Platform_IsErrorMissing(Platform_GetLastError());
  if (!erased) *error = Platform_GetLastError();
  return erased;
}

// Opens the local metafile at path for its load, and whether it may say
// what is installed: a file another user owns, or one group or others may
// write (a link at the name too), is not ours to believe. It is removed, so
// the version counts as not installed, with a line saying why; one that
// cannot be removed stops the run. The file is judged on the descriptor
// the load then reads (r->localMetaFileFd). true when the load may go on.
bool localMetaFileOpen(Repository *r, const char *path) {
  FileIdentity identity;
  char leaf[kPathMax];
  localMetaFileLeaf(r, path, leaf);
  bool found = false, link = false;
  if (leaf[0] != '\0') {
    r->localMetaFileFd = RootDirectory_OpenRead(r->metafileDirectory, leaf, &identity);
    found = r->localMetaFileFd >= 0;
    if (!found && Platform_GetLastErrno() == ELOOP)
      found = link = RootDirectory_GetIdentity(r->metafileDirectory, leaf, &identity) != 0;
  } else {
    found = Platform_GetFileIdentity(path, 0, &identity) != 0;
    link = found && S_ISLNK(identity.mode);
  }
  if (!found) return true;  // missing: not installed
  if (!link && identity.owner == uint32_t(geteuid()) && (identity.mode & 022) == 0) return true;
  if (r->localMetaFileFd >= 0) Platform_CloseFile(r->localMetaFileFd);
  r->localMetaFileFd = -1;
  const char *what = link                                    ? "a link"
                     : identity.owner != uint32_t(geteuid()) ? "another user's"
                                                             : "writable by others";
  int error = 0;
  bool erased = localMetaFileErase(r, path, &error);
  if (erased)
    Str_Printf(r->localMetaFileNote, int(sizeof r->localMetaFileNote),
               "%s: the local metafile is %s (user %u, mode %o): not trusted, the version "
               "counts as not installed", path, what, identity.owner, identity.mode & 07777);
  else
    Str_Printf(r->localMetaFileNote, int(sizeof r->localMetaFileNote),
               "%s: the local metafile is %s (user %u, mode %o): not trusted, and it cannot be "
               "removed (%d)", path, what, identity.owner, identity.mode & 07777, error);
  Log_Print(erased ? LOG_WARNING : LOG_ERROR, KSRC, 0, "%s\n", r->localMetaFileNote);
  if (erased) return true;
  Repository_RecordConfigError(r);
  Repository_SetRefresh(r, 0);
  Repository_SetSynchronize(r, 0);
  return false;
}

// The local metafile comes first in every phase. 1 when this pass is its.
bool localMetaFileStep(Repository *r) {
  if (!(r->stateFlags & kPhaseBits) || (r->stateFlags & kRepositoryStateLocalDone) ||
      !r->localMetaFileConfigured)
    return false;
  double resume = 0;
  MetaFile_GetResumeTime(r->localMetaFile, &resume);
  if (MetaFile_IsLoaded(r->localMetaFile) && r->localMetaFileFd >= 0) {
    Platform_CloseFile(r->localMetaFileFd);
    r->localMetaFileFd = -1;
  }
  if (MetaFile_IsLoaded(r->localMetaFile) || MetaFile_IsLoading(r->localMetaFile) ||
      repositoryNow() < resume)
    return true;
  char path[kCatalogUrlBytes] = {};
  char url[kCatalogUrlBytes] = {};
  Dictionary_GetStringByKey(r->config, "metafile", path, int32_t(sizeof path));
  if (r->localMetaFileFd >= 0) Platform_CloseFile(r->localMetaFileFd);  // a load retried
  r->localMetaFileFd = -1;
  if (!localMetaFileOpen(r, path)) return true;
  EngineLog_Print(&r->log, "Loading local metafile (%s)\n", path);
  // Read through the descriptor judged; a missing file through the
  // directory opened at the start.
  char leaf[kPathMax], through[kPathMax];
  localMetaFileLeaf(r, path, leaf);
  bool named = true;
  if (r->localMetaFileFd >= 0)
    named = RootDirectory_GetOpenFilePath(r->localMetaFileFd, through, int(sizeof through)) != 0;
  else if (leaf[0] != '\0')
    named = RootDirectory_GetDescriptorPath(r->metafileDirectory, leaf, through,
                                            int(sizeof through)) != 0;
  else
    Str_Copy(through, path, int(sizeof through));
  if (named && Path_ToUrl(through, url, int(sizeof url))) MetaFile_Load(r->localMetaFile, url, 0);
  return true;
}

void pumpEngines(Repository *r) {
  StorageCopy_Pump(r->copy);
  StorageCopy_Pump(r->apply);
  StorageDelta_Pump(r->delta);
}

// Starts each clean-up of this run that is neither done nor running. The
// local one walks the installed version and keeps keep (NULL: nothing);
// the pending one walks the new version and keeps nothing.
// Partial files and aside trees of names keep's version (whole now) lacks:
// a run stopped on its way to another version left them.
void removeLeftovers(Repository *r, MetaFile *keep) {
  char root[kStorageLocationBytes] = {}, extension[kStorageFileExtensionBytes] = {};
  Dictionary *local = nullptr;
  if (r->local->driver != &kStorageFileDriver || !Storage_GetLocation(r->local, root) ||
      root[0] == '\0')
    return;
  Dictionary_GetDictionaryByKey(r->config, "local", &local);
  StorageDefaults_GetPartialExtension(local, r->settings, extension, int32_t(sizeof extension));
  RootDirectory *opened = nullptr;
  RootDirectory *in = r->installation;
  if (in == nullptr && Path_IsDirectory(root) && RootDirectory_Open(root, 0, &opened)) in = opened;
  int32_t removed = in == nullptr ? 0 : StorageCleanup_RemoveLeftovers(
      in, StorageDefaults_GetAsideSuffix(extension), MetaFile_GetFileIndex(keep));
  void *context = nullptr;
  if (Storage_GetDriverContext(r->local, &context))
    removed += StorageFile_RemoveRecorded(context, MetaFile_GetFileIndex(keep));
  RootDirectory_Close(&opened);
  if (removed > 0) EngineLog_Print(&r->log, "Left over by a stopped run: %d removed\n", removed);
}

void startCleanups(Repository *r, MetaFile *keep) {
  StorageCleanup *local = r->cleanupLocal;
  bool localDone = (r->cleanupStarted & kRepositoryCleanupLocal) && StorageCleanup_IsFinished(local);
  if (!(r->stateFlags & kRepositoryStateNotInstalled) && !localDone &&
      !StorageCleanup_IsRunning(local)) {
    EngineLog_Print(&r->log, "Cleaning\n");
    if (keep != nullptr) removeLeftovers(r, keep);
    StorageCleanup_SetStorage(local, r->local);
    StorageCleanup_SetMetaFile(local, r->localMetaFile);
    if (keep != nullptr)
      StorageCleanup_SetKeepMetaFile(local, keep);
    else
      StorageCleanup_KeepNothing(local);
    StorageCleanup_Start(local);
    r->cleanupStarted |= kRepositoryCleanupLocal;
  }
  StorageCleanup *pending = r->cleanupPending;
  bool pendingDone =
      (r->cleanupStarted & kRepositoryCleanupPending) && StorageCleanup_IsFinished(pending);
  if (Storage_HasDriver(r->pending) && !pendingDone && !StorageCleanup_IsRunning(pending)) {
    EngineLog_Print(&r->log, "Cleaning Pending\n");
    StorageCleanup_SetStorage(pending, r->pending);
    StorageCleanup_SetMetaFile(pending, r->remoteMetaFile);
    StorageCleanup_KeepNothing(pending);
    StorageCleanup_Start(pending);
    r->cleanupStarted |= kRepositoryCleanupPending;
  }
}

// The directory of the installed files when the local storage keeps them on
// this machine and it exists; else out is empty.
void localRootOf(Repository *r, char (&out)[kStorageLocationBytes]) {
  out[0] = '\0';
  const StorageDriver *driver = r->local->driver;
  if (driver != &kStorageFileDriver && driver != &kStorageFilePieceDriver) return;
  FileIdentity identity;
  Storage_GetLocation(r->local, out);
  if (out[0] == '\0' || !Platform_GetFileIdentity(out, 1, &identity)) out[0] = '\0';
}

// The remote metafile's document, kept as it came, written over the local
// metafile through a temporary file: the local metafile is never cut. The
// installed files reach the disk before it does, so that after a power loss
// the metafile never claims a version whose files are not there.
void saveMetaFile(Repository *r) {
  AsyncHttp *request = r->remoteMetaFile->request;
  if (request == nullptr || AsyncHttp_IsRunning(request) ||
      repositoryNow() < requestResumeTime(request))
    return;
  char path[kCatalogUrlBytes] = {};
  Dictionary_GetStringByKey(r->config, "metafile", path, int32_t(sizeof path));
  char root[kStorageLocationBytes];
  localRootOf(r, root);
  EngineLog_Print(&r->log, "Saving metafile (%s)\n", path);
  AsyncHttp_SetSaveBarrier(request, root);
  // Into the directory the start opened for it, whatever its path leads to.
  char leaf[kPathMax], through[kPathMax];
  localMetaFileLeaf(r, path, leaf);
  if (leaf[0] != '\0' && RootDirectory_GetDescriptorPath(r->metafileDirectory, leaf, through,
                                                          int(sizeof through)))
    AsyncHttp_Save(request, through);
  else
    AsyncHttp_Save(request, path);
}

void loadRemoteMetaFile(Repository *r) {
  if (MetaFile_IsLoading(r->remoteMetaFile)) return;
  double resume = 0;
  MetaFile_GetResumeTime(r->remoteMetaFile, &resume);
  if (repositoryNow() < resume) return;
  char url[kCatalogUrlBytes];
  if (!Repository_GetMetaFileUrl(r, url)) {
    // Without a catalog entry there is nothing to fetch the version from.
    EngineLog_Print(&r->log, "Remote metafile not configured (%s)\n", r->name);
    Repository_RecordConfigError(r);
    Repository_SetSynchronize(r, 0);
    return;
  }
  // The metafile must be the version the catalog, else the alias or the
  // configuration, named.
  char remoteId[kRepositoryIdBytes];
  Repository_GetRemoteId(r, remoteId);
  MetaFile_SetExpectedId(r->remoteMetaFile, remoteId);
  // A file named like another's partial file would be built into it, a
  // directory so named into another's aside tree.
  char extension[kStorageFileExtensionBytes] = {};
  Dictionary *local = nullptr;
  Dictionary_GetDictionaryByKey(r->config, "local", &local);
  StorageDefaults_GetPartialExtension(local, r->settings, extension, int32_t(sizeof extension));
  MetaFile_SetRefusedSuffix(r->remoteMetaFile, StorageDefaults_GetAsideSuffix(extension));
  // Names are counted under the installation root, before any is made.
  char text[kFileNameMaxBytes + 1] = {}, root[kFileNameMaxBytes + 1] = {};
  if (local == nullptr || !Dictionary_GetStringByKey(local, "path", text, int32_t(sizeof text)) ||
      !Path_Resolve(text, root, int32_t(sizeof root)) ||
      !Path_Normalize(root, int32_t(sizeof root), kPathRemoveTrailing))
    root[0] = '\0';
  MetaFile_SetRoot(r->remoteMetaFile, root);
  EngineLog_Print(&r->log, "Loading remote metafile (%s)\n", UrlLoggable(url).text);
  MetaFile_Load(r->remoteMetaFile, url, signedFor(r, url));
}

void synchronizeStep(Repository *r) {
  if (!(r->stateFlags & kRepositoryStateCatalog))
    Core_Abort(KSRC, "Repository refresh must be called before sync\n");
  if (!MetaFile_IsLoaded(r->remoteMetaFile)) {
    loadRemoteMetaFile(r);
  } else if (StorageCopy_IsFinished(r->copy)) {
    if (r->applyEnabled && !StorageCopy_IsFinished(r->apply)) {
      if (!StorageCopy_IsRunning(r->apply)) {
        repositoryPlanApply(r);
        StorageCopy_Start(r->apply);
        r->configured = 1;
      }
    } else if (r->cleanup && !Repository_IsCleanupComplete(r)) {
      startCleanups(r, r->remoteMetaFile);
    } else if (r->metafileSave && !MetaFile_IsBodySaved(r->remoteMetaFile)) {
      saveMetaFile(r);
    } else {
      Repository_SetSynchronize(r, 0);
      return;
    }
  } else if (!StorageCopy_IsRunning(r->copy)) {
    if (!Repository_Configure(r)) {
      Repository_RecordConfigError(r);
      Repository_SetSynchronize(r, 0);
      return;
    }
  }
  pumpEngines(r);
}

// Erases the local metafile and, when that leaves its directory empty,
// the directory. A failure retries at the time the error policy gives.
void eraseLocalMetaFile(Repository *r, const char *path) {
  EngineLog_Print(&r->log, "Erasing MetaFile (%s)\n", path);
  int error = 0;
  if (!localMetaFileErase(r, path, &error)) {
    Repository_HandleError(r, kRepositorySourceMetaFileLocal, -1, r->errorCount,
                           kRepositoryTypeErase, 964, error, &r->eraseRetryTime);
    return;
  }
  // The record of names put in goes with it.
  void *context = nullptr;
  if (r->local->driver == &kStorageFileDriver && Storage_GetDriverContext(r->local, &context))
    StorageFile_RemoveRecorded(context, nullptr);
  if (r->metafileDirectory != nullptr) {
    if (RootDirectory_RemoveIfEmpty(r->metafileDirectory))
      EngineLog_Print(&r->log, "Collapse directory (%s)\n", r->metafileDirectory->path);
    return;
  }
  char directory[kCatalogUrlBytes];
  if (!Path_GetDirectory(path, directory, int(sizeof directory)) || directory[0] == '\0') return;
  size_t length = strlen(directory);
  if (length > 1 && (directory[length - 1] == '/' || directory[length - 1] == '\\'))
    directory[length - 1] = '\0';
  if (!Path_IsDirectory(directory)) return;
  Path_MakeWritable(directory);
  if (Directory_IsEmpty(directory)) {
    EngineLog_Print(&r->log, "Collapse directory (%s)\n", directory);
    ErasePath(directory, 1, &error);
  }
}

void eraseStep(Repository *r) {
  if (!Storage_HasDriver(r->local) || !r->configured) {
    char localId[kRepositoryIdBytes];
    Repository_GetLocalId(r, localId, int32_t(sizeof localId));
    if (localId[0] == '\0') {
      Repository_SetErase(r, 0);
    } else if (!Repository_ConfigureLocal(r)) {
      Repository_RecordConfigError(r);
      Repository_SetErase(r, 0);
    }
    return;
  }
  char path[kCatalogUrlBytes] = {};
  Dictionary_GetStringByKey(r->config, "metafile", path, int32_t(sizeof path));
  if (r->cleanup && !Repository_IsCleanupComplete(r)) {
    startCleanups(r, nullptr);
  } else if (r->metafileSave && path[0] != '\0' && Path_Exists(path)) {
    if (repositoryNow() >= r->eraseRetryTime) eraseLocalMetaFile(r, path);
  } else {
    Repository_SetErase(r, 0);
  }
}

}  // namespace

int Repository_Step(Repository *r) {
  REPOSITORY_CHECK(r);
  if (localMetaFileStep(r)) return 1;
  // The first phase that is both running and still requested; a bit that
  // outlives its flag only waits for its work to drain.
  for (const auto &phase : kPhases) {
    if ((r->stateFlags & phase.bit) && (r->actionFlags & phase.action)) {
      if (phase.bit == kRepositoryStateRefresh)
        refreshStep(r);
      else if (phase.bit == kRepositoryStateSynchronize)
        synchronizeStep(r);
      else
        eraseStep(r);
      break;
    }
  }
  return 1;
}

int Repository_Process(Repository *r) {
  REPOSITORY_CHECK(r);
  Repository_UpdateState(r);
  if ((r->actionFlags & kRepositoryActionActive) && (r->stateFlags & kRepositoryStateAlive))
    Repository_Step(r);
  StorageCleanup_Pump(r->cleanupLocal);
  StorageCleanup_Pump(r->cleanupPending);
  forEachStorage(r, [](Storage *s) { Storage_Pump(s); });
  return 1;
}
