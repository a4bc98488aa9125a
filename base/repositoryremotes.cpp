// The repository's remote connections, request slots, source selection and
// delta-source hook; see repository.h.
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "base/enginelog.h"
#include "base/repository.h"
#include "base/storagechain.h"
#include "core/platform/thread.h"
#include "core/runtime/log.h"

namespace {

#define REPOSITORY_CHECK(r) CLASS_CHECK((r), kRepositoryTag)

Repository *repositoryOf(void *context) {
  auto *r = static_cast<Repository *>(context);
  REPOSITORY_CHECK(r);
  return r;
}

void remoteFree(Repository *r, RepositoryRemote *entry) {
  (entry->previous ? entry->previous->next : r->firstRemote) = entry->next;
  (entry->next ? entry->next->previous : r->lastRemote) = entry->previous;
  r->remoteCount--;
  Class_ReleaseObject(&entry->storage);
  void *member = entry;
  POOL_FREE(r->remotes, &member, int32_t(sizeof(RepositoryRemote)));
}

void slotFree(Repository *r, RepositorySlot *slot) {
  (slot->previous ? slot->previous->next : r->firstSlot) = slot->next;
  (slot->next ? slot->next->previous : r->lastSlot) = slot->previous;
  r->slotCount--;
  Class_ReleaseObject(&slot->request);
  void *member = slot;
  POOL_FREE(r->slots, &member, int32_t(sizeof(RepositorySlot)));
}

// A piece larger than the budget would never fit beside another; the
// metafile load refuses those.
static_assert(kMetaFilePieceSizeMax <= kRepositoryRequestBudgetBytes);

// The most one request holds for a piece of the remote metafile, which
// both copy engines carry.
int64_t repositoryPieceBytes(Repository *r) {
  PieceList *pieces = MetaFile_GetPieceList(r->remoteMetaFile);
  return StorageRequest_GetPieceBytes(pieces != nullptr ? pieces->pieceSize : 0);
}

void slotAdd(Repository *r) {
  auto *slot = static_cast<RepositorySlot *>(
      POOL_ALLOC(r->slots, int32_t(sizeof(RepositorySlot))));
  *slot = RepositorySlot{};
  StorageRequest_Create(&slot->request);
  StorageRequest *source = nullptr;
  StorageRequest_Create(&source);
  StorageRequest_SetSourceRequest(slot->request, source);  // the request owns it
  slot->enabled = 1;
  slot->previous = r->lastSlot;
  (r->lastSlot ? r->lastSlot->next : r->firstSlot) = slot;
  r->lastSlot = slot;
  r->slotCount++;
}

}  // namespace

// ---- Remote connections ---------------------------------------------------------------------

int32_t Repository_CountRemotes(Repository *r, const char *location) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(location);
  int32_t count = 0;
  char text[kStorageLocationBytes];
  for (RepositoryRemote *e = r->firstRemote; e != nullptr; e = e->next) {
    Storage_GetLocation(e->storage, text);
    if (strcasecmp(text, location) == 0) count++;
  }
  return count;
}

int Repository_AddRemoteStorage(Repository *r, Dictionary *settings, Dictionary *entry,
                                int32_t *usesDelta) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(entry);
  char localId[kRepositoryIdBytes] = {};
  Repository_GetLocalId(r, localId, int32_t(sizeof localId));
  Dictionary_SetStringByKey(entry, "source", localId);
  Storage *storage = nullptr;
  Storage_Create(&storage);
  if (r->log.sink != nullptr) Storage_SetLogHook(storage, r->log.sinkContext, r->log.sink);
  Storage_SetQueue(storage, r->queue);
  Storage_SetDeltaSource(storage, r, Repository_OnDeltaSource);
  if (!Storage_Configure(storage, settings, entry)) {
    Class_ReleaseObject(&storage);
    return 0;
  }
  if (!r->deltaAllowed || localId[0] == '\0') storage->flags &= ~kStorageFlagVCDiff;
  if ((storage->flags & kStorageFlagVCDiff) && usesDelta != nullptr) *usesDelta = 1;
  char location[kStorageLocationBytes];
  Storage_GetLocation(storage, location);
  if (Repository_CountRemotes(r, location) > 0) {
    EngineLog_Print(&r->log, "Connection (%s) ignored: storage connection already exists\n",
                    location);
    Class_ReleaseObject(&storage);
    return 1;
  }
  auto *e = static_cast<RepositoryRemote *>(
      POOL_ALLOC(r->remotes, int32_t(sizeof(RepositoryRemote))));
  *e = RepositoryRemote{storage, 1, r->lastRemote, nullptr};
  (r->lastRemote ? r->lastRemote->next : r->firstRemote) = e;
  r->lastRemote = e;
  r->remoteCount++;
  return 1;
}

int Repository_AddRemote(Repository *r, Dictionary *settings, Dictionary *entry,
                         int32_t *usesDelta) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(entry);
  const char *type = nullptr;
  if (!Dictionary_GetStringPointerByKey(entry, "type", &type) || type == nullptr ||
      strcasecmp(type, "mux") != 0)
    return Repository_AddRemoteStorage(r, settings, entry, usesDelta);
  Dictionary *list = nullptr;
  if (!Dictionary_GetListByKey(entry, "storages", &list)) return 1;
  int32_t count = 0;
  Dictionary_GetCount(list, &count);
  for (int32_t i = 0; i < count; i++) {
    Dictionary *child = nullptr;
    if (!Dictionary_GetDictionaryByIndex(list, i, &child)) continue;
    if (!Repository_AddRemote(r, settings, child, usesDelta)) return 0;
  }
  return 1;
}

int Repository_ClearRemotes(Repository *r) {
  REPOSITORY_CHECK(r);
  while (r->firstRemote != nullptr) remoteFree(r, r->firstRemote);
  return 1;
}

int Repository_SelectRemote(StorageCopy *, void *context, StorageRequest *request,
                            Storage **storage) {
  Repository *r = repositoryOf(context);
  CHECK_POINTER(storage);
  // Bytes that failed their digest are asked for from another remote, if
  // any: the same server may well send the same bytes again.
  const Storage *avoid = request != nullptr ? request->digestFailedAt : nullptr;
  bool other = false;
  for (RepositoryRemote *e = r->firstRemote; e != nullptr; e = e->next)
    if (e->enabled && e->storage != avoid) other = true;
  RepositoryRemote *best = nullptr;
  int32_t bestPending = 0, bestErrors = 0;
  for (RepositoryRemote *e = r->firstRemote; e != nullptr; e = e->next) {
    if (!e->enabled || (other && e->storage == avoid)) continue;
    int32_t pending = Storage_GetPendingRequests(e->storage);
    int32_t errors = Storage_GetErrorCount(e->storage);
    if (best == nullptr || pending < bestPending ||
        (pending == bestPending && errors < bestErrors)) {
      best = e;
      bestPending = pending;
      bestErrors = errors;
    }
  }
  if (best == nullptr) Core_Abort(KSRC, "Unable to find storage member\n");
  *storage = best->storage;
  return 1;
}

// ---- Request slots --------------------------------------------------------------------------

int Repository_SetRequestCount(Repository *r, int32_t count) {
  REPOSITORY_CHECK(r);
  // A held request belongs to a chain still running: freeing it would pull
  // the buffer from under that chain.
  for (RepositorySlot *s = r->firstSlot; s != nullptr; s = s->next)
    if (s->inUse) Core_Abort(KSRC, "Unable to resize storage requests in use\n");
  if (count < 0) count = 0;
  while (r->slotCount > count) slotFree(r, r->firstSlot);
  while (r->slotCount < count) slotAdd(r);
  for (RepositorySlot *s = r->firstSlot; s != nullptr; s = s->next) {
    s->inUse = 0;
    s->enabled = 1;
  }
  // The copy engines reckon their remaining time by the requests that run
  // at once, which the budget may hold below the slots.
  int64_t fit = std::max<int64_t>(kRepositoryRequestBudgetBytes / repositoryPieceBytes(r), 1);
  int32_t atOnce = int32_t(std::min<int64_t>(fit, count));
  if (r->copy != nullptr) StorageCopy_SetRequestCount(r->copy, atOnce);
  if (r->apply != nullptr) StorageCopy_SetRequestCount(r->apply, atOnce);
  return 1;
}

int Repository_AcquireRequest(StorageCopy *, void *context, StorageRequest **request) {
  Repository *r = repositoryOf(context);
  CHECK_POINTER(request);
  int64_t need = repositoryPieceBytes(r);
  RepositorySlot *chosen = nullptr;
  int64_t busy = 0;
  int32_t inUse = 0;
  for (RepositorySlot *s = r->firstSlot; s != nullptr; s = s->next) {
    if (s->inUse) {
      // A request in use may still grow to a whole piece.
      busy += std::max(StorageRequest_GetHeldBytes(s->request), need);
      inUse++;
    } else if (s->enabled && chosen == nullptr) {
      chosen = s;
    }
  }
  if (chosen == nullptr) return 0;
  // Alone, a piece of any size goes through; beside others it must fit.
  if (inUse > 0 && busy + need > kRepositoryRequestBudgetBytes) return 0;
  int64_t total = busy + std::max(StorageRequest_GetHeldBytes(chosen->request), need);
  for (RepositorySlot *s = r->firstSlot; s != nullptr; s = s->next)
    if (!s->inUse && s != chosen) total += StorageRequest_GetHeldBytes(s->request);
  // Idle slots give their buffers back, from the tail (the head is handed
  // out first and keeps its buffer warm), until the total fits again.
  for (RepositorySlot *s = r->lastSlot; s != nullptr && total > kRepositoryRequestBudgetBytes;
       s = s->previous) {
    if (s->inUse || s == chosen) continue;
    total -= StorageRequest_GetHeldBytes(s->request);
    StorageRequest_FreeBuffers(s->request);
  }
  chosen->inUse = 1;
  *request = chosen->request;
  return 1;
}

void Repository_ReleaseRequest(StorageCopy *, void *context, StorageRequest **request) {
  Repository *r = repositoryOf(context);
  CHECK_POINTER(request);
  RepositorySlot *slot = nullptr;
  if (*request == nullptr || !Repository_FindRequestSlot(r, *request, &slot))
    Core_Abort(KSRC, "Unable to release storage request\n");
  // A chain that ended before its delta was applied leaves the source run
  // in the buffer, where the delta source counts it as held.
  if (StorageRequest *source = StorageRequest_GetSourceRequest(*request))
    StorageRequest_FreeBuffers(source);
  slot->inUse = 0;
  *request = nullptr;
  Thread_Wake(r->ownerThreadId, 0);
}

int Repository_CountEnabledRequests(Repository *r, int32_t *count) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(count);
  *count = 0;
  for (RepositorySlot *s = r->firstSlot; s != nullptr; s = s->next)
    if (s->enabled) (*count)++;
  return 1;
}

int Repository_FindRequestSlot(Repository *r, StorageRequest *request, RepositorySlot **slot) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(slot);
  *slot = nullptr;
  for (RepositorySlot *s = r->firstSlot; s != nullptr; s = s->next) {
    if (s->request == request) {
      *slot = s;
      return 1;
    }
  }
  return 0;
}

int Repository_ResetRequests(Repository *r) {
  REPOSITORY_CHECK(r);
  for (RepositorySlot *s = r->firstSlot; s != nullptr; s = s->next)
    StorageRequest_Reset(s->request);
  return 1;
}

// ---- Delta source ---------------------------------------------------------------------------

void Repository_OnDeltaSource(Storage *, void *context, StorageStep *step) {
  Repository *r = repositoryOf(context);
  CHECK_POINTER(step);
  auto *request = static_cast<StorageRequest *>(step->argument);
  StorageRequest *source = StorageRequest_GetSourceRequest(request);
  if (source != nullptr) StorageRequest_SetMetaFile(source, r->localMetaFile);
  StorageDelta_Read(r->delta, request, step);
}

void Repository_CompleteDeltaStep(StorageDelta *, void *, StorageStep *step, int32_t result,
                                  int32_t resultEx) {
  // The copy engine reads a negative code as a failure of the local source
  // data; the delta's own refusals arrive negative already.
  Storage_CompleteStep(step, result > 0 ? -result : result, resultEx);
}
