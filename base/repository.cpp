// The repository object: set-up, destroy and the queries its members
// share; see repository.h.
#include "base/repository.h"

#include <cstring>
#include <new>

#include "base/baseinterop.h"
#include "base/enginelog.h"
#include "core/platform/notification.h"
#include "core/platform/meter.h"
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
  MetaFile_Destroy(&r->localMetaFile);
  MetaFile_Destroy(&r->remoteMetaFile);
  BitField_Release(&r->mask);
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
  MetaFile_Create(&r->localMetaFile);
  MetaFile_Create(&r->remoteMetaFile);
  MetaFile_SetErrorCallback(r->localMetaFile, r, Repository_OnLocalMetaFileError);
  MetaFile_SetErrorCallback(r->remoteMetaFile, r, Repository_OnRemoteMetaFileError);
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
