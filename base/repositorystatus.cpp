// The repository's error policy, retries and status; see repository.h.
#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "base/enginelog.h"
#include "base/offsetcache.h"
#include "base/repository.h"
#include "core/platform/meter.h"
#include "core/platform/platform.h"
#include "core/net/asynchttp.h"
#include "core/net/webget.h"
#include "core/runtime/log.h"
#include "core/runtime/str.h"
#include "core/runtime/print.h"

namespace {

#define REPOSITORY_CHECK(r) CLASS_CHECK((r), kRepositoryTag)

constexpr int32_t kCodeCatalogMissing = 404;
constexpr int32_t kCodeFile = 964;
constexpr int32_t kCodeInflate = 960;
constexpr int32_t kCodeShort = 962;
constexpr int32_t kCodeDigest = 979;
constexpr int32_t kCodeCancelled = 989;
constexpr int32_t kCodeRequestCount = 961;
constexpr int32_t kCodeNoDelta = 967;
constexpr int32_t kCodeConfig = 986;

Repository *repositoryOf(void *context) {
  auto *r = static_cast<Repository *>(context);
  REPOSITORY_CHECK(r);
  return r;
}

// A line that is written whatever the class's verbosity (to the owner's
// sink, else to the global log).
void repositoryLogAlways(Repository *r, const char *format, ...) {
  if (r->log.sink == nullptr && !Log_IsEnabled()) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&r->log, 0, format, args);
  va_end(args);
}

bool lockOrFull(int32_t code, int32_t codeEx) {
  return code == kCodeFile &&
         (Platform_IsErrorLocked(codeEx) || codeEx == 39 || codeEx == 112);
}

int32_t decide(int32_t source, int32_t count, int32_t type, int32_t code, int32_t codeEx,
               double now, double *retryAt) {
  auto after = [&](double seconds, int32_t decision) {
    *retryAt = now + seconds;
    return decision;
  };
  if (code == 973 || code == 972 || (code == kCodeCancelled && codeEx == 9))
    return after(30.0, kStorageResponseRequeue);
  if (lockOrFull(code, codeEx)) return after(5.0, kStorageResponseRetry);
  double backoff = Repository_RetryDelay(count + 1);
  switch (source) {
    case kRepositorySourceMetaFileLocal:
      if (type == kRepositoryTypeErase && code == kCodeFile)
        return after(5.0, kStorageResponseRetry);
      return after(0.0, kStorageResponseContinue);
    case kRepositorySourceMetaFileRemote:
      return after(backoff, kStorageResponseRequeue);
    case kRepositorySourceStorageLocal:
      if (code == kCodeInflate) return after(backoff, kStorageResponseRequeue);
      if (type == kRepositoryTypeRead &&
          ((code == kCodeFile && Platform_IsErrorMissing(codeEx)) || code == kCodeDigest ||
           code == kCodeShort))
        return after(0.0, kStorageResponseContinue);
      return after(5.0, kStorageResponseRetry);
    case kRepositorySourceStoragePending:
      if (type == kRepositoryTypeRead) return after(0.0, kStorageResponseContinue);
      return after(5.0, kStorageResponseRetry);
    case kRepositorySourceStorageRemote:
      // A piece whose bytes failed their digest is asked for once more at
      // once: a transfer spoiled on the way comes whole the next time.
      if (code == kCodeDigest && count == 0) return after(0.0, kStorageResponseRetry);
      return after(backoff, kStorageResponseRetry);
    case kRepositorySourceStorageDelta:
      if (type == kRepositoryTypeErase) return after(5.0, kStorageResponseRetry);
      return after(backoff, kStorageResponseRequeue);
    default:
      return after(backoff, kStorageResponseRequeue);
  }
}

void meterStatus(Dictionary *status, const char *prefix, MeterRW *pair) {
  uint64_t readBytes = 0, writeBytes = 0;
  double readRate = 0, writeRate = 0, readPeak = 0, writePeak = 0;
  if (pair != nullptr) {
    Meter_GetBytes(pair->read, &readBytes);
    Meter_GetBytes(pair->write, &writeBytes);
    Meter_GetRate(pair->read, &readRate);
    Meter_GetRate(pair->write, &writeRate);
    Meter_GetPeakRate(pair->read, &readPeak);
    Meter_GetPeakRate(pair->write, &writePeak);
  }
  char key[64];
  auto name = [&](const char *suffix) {
    snprintf(key, sizeof key, "%s%s", prefix, suffix);
    return key;
  };
  Dictionary_AddInt64(status, name("ReadBytes"), int64_t(readBytes), nullptr);
  Dictionary_AddInt64(status, name("WriteBytes"), int64_t(writeBytes), nullptr);
  Dictionary_AddFloat64(status, name("ReadSpeed"), readRate, nullptr);
  Dictionary_AddFloat64(status, name("WriteSpeed"), writeRate, nullptr);
  Dictionary_AddFloat64(status, name("MaxReadSpeed"), readPeak, nullptr);
  Dictionary_AddFloat64(status, name("MaxWriteSpeed"), writePeak, nullptr);
}

Dictionary *childDictionary(Dictionary *parent, const char *key) {
  Dictionary *child = nullptr;
  Dictionary_AddDictionary(parent, key, &child, nullptr);
  return child;
}

// A recorded 976 of a document refused for what it holds (a version
// missing or another one named) keeps the document's reason (read once its
// fetch has finished) for the error line.
void repositoryNoteRefusal(Repository *r, int32_t decision, uint32_t code, const char *refusal) {
  if (decision != kStorageResponseContinue && code == uint32_t(kWebGetErrorInvalidContent))
    Str_Copy(r->lastErrorDetail, refusal, kCatalogRefusalBytes);
}

// Decides, records and logs one failure (Repository_HandleError without
// telling the owner).
int32_t repositoryDecide(Repository *r, int32_t source, int32_t index, int32_t count,
                         int32_t type, int32_t code, int32_t codeEx, double *retryAt) {
  double now = Platform_GetTickSeconds();
  int32_t decision = decide(source, count, type, code, codeEx, now, retryAt);
  const char *format =
      "%s: Source(%d) Index(%d) Count(%d) Type (%d) Code(%d) CodeEx(%d) Response(%d) "
      "Retry(%.2f)\n";
  if (decision == kStorageResponseContinue) {
    EngineLog_Print(&r->log, format, "Ignore Error", source, index, count + 1, type, code, codeEx,
                    decision, *retryAt - now);
    return decision;
  }
  r->errorCount++;
  r->lastErrorDetail[0] = '\0';
  r->lastErrorPath[0] = '\0';
  r->lastErrorSource = source;
  r->lastErrorIndex = index;
  r->lastErrorType = type;
  r->lastErrorCode = code;
  r->lastErrorCodeEx = codeEx;
  repositoryLogAlways(r, format, "Error", source, index, count + 1, type, code, codeEx, decision,
                      *retryAt - now);
  return decision;
}

// What a document error was about: the URL its loader last asked for.
const char *repositoryDocumentUrl(Repository *r, int32_t source, char *buffer) {
  buffer[0] = '\0';
  if (source == kRepositorySourceAlias) return r->aliasUrl;
  if (source == kRepositorySourceCatalog) return r->catalogUrl;
  if (source == kRepositorySourceMetaFileRemote) Repository_GetMetaFileUrl(r, buffer);
  if (source == kRepositorySourceMetaFileLocal)
    Dictionary_GetStringByKey(r->config, "metafile", buffer, kCatalogUrlBytes);
  return buffer;
}

void repositoryTellOwner(Repository *r, const RepositoryError &error) {
  void *context = nullptr;
  CallbackFunction function = nullptr;
  if (Callback_Get(&r->errorCallback, &context, &function))
    reinterpret_cast<RepositoryErrorCallback>(function)(r, context, &error);
}

// The installed file of the request's failed member, or the file whose
// completion failed (no request), when the local storage keeps installed
// files.
void repositoryNoteFailedFile(Repository *r, StorageCopy *copy, StorageRequest *request) {
  StorageMember *m = request != nullptr ? StorageRequest_GetFailedMember(request) : nullptr;
  FileEntry *file = m != nullptr      ? m->file
                    : copy != nullptr ? StorageCopy_GetFailedFile(copy)
                                      : nullptr;
  if (file == nullptr || file->name == nullptr || r->local == nullptr ||
      strcmp(StorageDriver_GetTypeName(r->local->driver), "file") != 0)
    return;
  char location[kStorageLocationBytes];
  Storage_GetLocation(r->local, location);
  Str_Printf(r->lastErrorPath, kStorageLocationBytes, "%s/%s", location, file->name);
  for (char *c = r->lastErrorPath; *c != '\0'; c++)
    if (*c == '\\') *c = '/';  // the file driver reads '\' as a separator too
}

}  // namespace

const char *Repository_ErrorSourceName(int32_t source) {
  static const char *const kNames[] = {"Alias",         "Alias",          "Catalog",
                                       "MetaFileLocal", "MetaFileRemote", "StorageLocal",
                                       "StorageRemote", "StorageDelta",   "StoragePending",
                                       "Config"};
  return source >= 1 && source <= 9 ? kNames[source] : "Alias";
}

double Repository_RetryDelay(int32_t count) {
  if (count <= 0) return 0.0;
  return 15.0 * double(1 << std::min(count - 1, 8));
}


namespace {

// Repository_HandleError for a document loader's failure: its request's
// cause goes with the error.
int32_t repositoryHandleDocumentError(Repository *r, AsyncHttp *request, int32_t source,
                                      int32_t count, int32_t type, int32_t code, int32_t codeEx,
                                      double *retryAt) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(retryAt);
  int32_t decision = repositoryDecide(r, source, -1, count, type, code, codeEx, retryAt);
  char buffer[kCatalogUrlBytes];
  RepositoryError error{source, -1, count, type, code, codeEx, decision, *retryAt, 0,
                        repositoryDocumentUrl(r, source, buffer)};
  if (request != nullptr) AsyncHttp_GetCause(request, &error.cause);
  repositoryTellOwner(r, error);
  return decision;
}

}  // namespace

int32_t Repository_HandleError(Repository *r, int32_t source, int32_t index, int32_t count,
                               int32_t type, int32_t code, int32_t codeEx, double *retryAt) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(retryAt);
  int32_t decision = repositoryDecide(r, source, index, count, type, code, codeEx, retryAt);
  char buffer[kCatalogUrlBytes];
  RepositoryError error{source, index, count, type, code, codeEx, decision, *retryAt, 0,
                        repositoryDocumentUrl(r, source, buffer)};
  repositoryTellOwner(r, error);
  return decision;
}

int Repository_RecordConfigError(Repository *r) {
  REPOSITORY_CHECK(r);
  r->errorCount++;
  r->lastErrorDetail[0] = '\0';
  r->lastErrorPath[0] = '\0';
  r->lastErrorSource = kRepositorySourceConfig;
  r->lastErrorIndex = -1;
  r->lastErrorType = kRepositoryTypeConfig;
  r->lastErrorCode = kCodeConfig;
  r->lastErrorCodeEx = 0;
  return 1;
}

// ---- Adapters -------------------------------------------------------------------------------

int32_t Repository_OnAliasError(AsyncHttp *request, void *context, int32_t errorCount,
                                int32_t kind, uint32_t code, uint32_t codeEx, double *resumeTime) {
  Repository *r = repositoryOf(context);
  int32_t decision = repositoryHandleDocumentError(r, request, kRepositorySourceAlias, errorCount,
                                                   kind, int32_t(code), int32_t(codeEx),
                                                   resumeTime);
  repositoryNoteRefusal(r, decision, code, r->alias->refusal);
  return decision;
}

int32_t Repository_OnCatalogError(AsyncHttp *request, void *context, int32_t errorCount,
                                  int32_t kind, uint32_t code, uint32_t codeEx,
                                  double *resumeTime) {
  Repository *r = repositoryOf(context);
  bool missing = code == uint32_t(kCodeCatalogMissing) ||
                 (code == uint32_t(kCodeFile) && Platform_IsErrorMissing(int(codeEx)));
  if (missing && Catalog_GetSpecificFirst(r->catalog)) {
    // No catalog for updating from this version: the next pass loads the
    // generic one.
    Catalog_SetSpecificFirst(r->catalog, 0);
    *resumeTime = Platform_GetTickSeconds();
    return kStorageResponseContinue;
  }
  // A catalog of another version may be a cache's old copy: it is asked
  // for once more past caches before the run is told.
  if (code == uint32_t(kWebGetErrorInvalidContent) && codeEx == uint32_t(kCatalogOtherVersion) &&
      !r->catalogAskedAgain) {
    EngineLog_Print(&r->log, "Catalog refused (%s): asking again past caches\n",
                    r->catalog->refusal);
    r->catalogAskedAgain = 1;
    *resumeTime = Platform_GetTickSeconds();
    return kStorageResponseContinue;
  }
  int32_t decision = repositoryHandleDocumentError(r, request, kRepositorySourceCatalog, errorCount,
                                                   kind, int32_t(code), int32_t(codeEx),
                                                   resumeTime);
  repositoryNoteRefusal(r, decision, code, r->catalog->refusal);
  return decision;
}

int32_t Repository_OnLocalMetaFileError(AsyncHttp *, void *context, int32_t errorCount,
                                        int32_t kind, uint32_t code, uint32_t codeEx,
                                        double *resumeTime) {
  return Repository_HandleError(repositoryOf(context), kRepositorySourceMetaFileLocal, -1,
                                errorCount, kind, int32_t(code), int32_t(codeEx), resumeTime);
}

int32_t Repository_OnRemoteMetaFileError(AsyncHttp *request, void *context, int32_t errorCount,
                                         int32_t kind, uint32_t code, uint32_t codeEx,
                                         double *resumeTime) {
  Repository *r = repositoryOf(context);
  if (kind == kAsyncHttpKindSave) {
    // Saving the remote document as the local metafile failed: the remote
    // document's policy decides, and the owner hears of the local path.
    int32_t decision = repositoryDecide(r, kRepositorySourceMetaFileRemote, -1, errorCount, kind,
                                        int32_t(code), int32_t(codeEx), resumeTime);
    char buffer[kCatalogUrlBytes];
    RepositoryError error{kRepositorySourceMetaFileLocal, -1, errorCount, kind, int32_t(code),
                          int32_t(codeEx), decision, *resumeTime, 0,
                          repositoryDocumentUrl(r, kRepositorySourceMetaFileLocal, buffer)};
    repositoryTellOwner(r, error);
    return decision;
  }
  int32_t decision =
      repositoryHandleDocumentError(r, request, kRepositorySourceMetaFileRemote, errorCount, kind,
                                    int32_t(code), int32_t(codeEx), resumeTime);
  repositoryNoteRefusal(r, decision, code, r->remoteMetaFile->refusal);
  return decision;
}

int32_t Repository_OnLocalCleanupError(StorageCleanup *, void *context, int32_t errorCount,
                                       int32_t index, int32_t code, int32_t codeEx,
                                       double *retryTime) {
  return Repository_HandleError(repositoryOf(context), kRepositorySourceStorageLocal, index,
                                errorCount, kRepositoryTypeErase, code, codeEx, retryTime);
}

int32_t Repository_OnPendingCleanupError(StorageCleanup *, void *context, int32_t errorCount,
                                         int32_t index, int32_t code, int32_t codeEx,
                                         double *retryTime) {
  return Repository_HandleError(repositoryOf(context), kRepositorySourceStoragePending, index,
                                errorCount, kRepositoryTypeErase, code, codeEx, retryTime);
}

int32_t Repository_ApplyErrorPolicy(StorageCopy *copy, void *context, StorageRequest *request,
                                    int32_t role, int32_t index, int32_t count, int32_t type,
                                    int32_t code, int32_t codeEx, double *retryAt) {
  Repository *r = repositoryOf(context);
  static const int32_t kSources[] = {kRepositorySourceStorageRemote, kRepositorySourceStorageLocal,
                                     kRepositorySourceStoragePending,
                                     kRepositorySourceStorageDelta};
  if (role < 0 || role > 3) Core_Abort(KSRC, "Invalid error source (%d)\n", role);
  int32_t source = kSources[role];
  CHECK_POINTER(retryAt);
  int32_t decision = repositoryDecide(r, source, index, count, type, code, codeEx, retryAt);
  bool delta = false;
  if (decision != kStorageResponseContinue) {
    if (source == kRepositorySourceStorageLocal) repositoryNoteFailedFile(r, copy, request);
    if (r->delta != nullptr) OffsetCache_Clear(r->delta->cache);
    if (request != nullptr) {
      bool reduced = false;
      int32_t enabled = 0;
      Repository_CountEnabledRequests(r, &enabled);
      RepositorySlot *slot = nullptr;
      if (code == kCodeRequestCount && enabled > 1 &&
          Repository_FindRequestSlot(r, request, &slot)) {
        EngineLog_Print(&r->log, "Reducing request count (%d)\n", enabled - 1);
        slot->enabled = 0;
        decision = kStorageResponseRequeue;
        reduced = true;
      }
      if (StorageRequest_GetAllowDelta(request) && !lockOrFull(code, codeEx) &&
          code != kCodeNoDelta && !reduced) {
        EngineLog_Print(&r->log, "Disabling vcdiff (%d)\n", index);
        *retryAt = Platform_GetTickSeconds();
        r->deltaFailures++;
        StorageRequest_SetAllowDelta(request, 0);
        decision = kStorageResponseRequeue;
        // Only a transfer that was a delta is replaced by the piece; a
        // whole piece is tried again at once.
        delta = StorageRequest_IsDeltaUrl(request) != 0;
      }
    }
  } else if (source == kRepositorySourceStorageLocal) {
    Storage_DecrementErrorCount(r->local);
  } else if (source == kRepositorySourceStorageDelta || source == kRepositorySourceStoragePending) {
    Storage_DecrementErrorCount(r->pending);
  }
  // A failure of an installed file is about that file, not the piece's URL.
  const char *url = source == kRepositorySourceStorageLocal && r->lastErrorPath[0] != '\0'
                        ? r->lastErrorPath
                    : request != nullptr ? StorageRequest_GetUrl(request)
                                         : "";
  RepositoryError error{source, index, count, type, code, codeEx, decision, *retryAt, delta, url};
  if (request != nullptr) StorageRequest_GetCause(request, &error.cause);
  repositoryTellOwner(r, error);
  return decision;
}

// ---- Queries ----------------------------------------------------------------------------------

const char *Repository_GetLastErrorDetail(Repository *r) {
  REPOSITORY_CHECK(r);
  return r->lastErrorDetail;
}

int Repository_GetLastError(Repository *r, int32_t *source, int32_t *index, int32_t *type,
                            int32_t *code, int32_t *codeEx) {
  REPOSITORY_CHECK(r);
  if (source != nullptr) *source = r->lastErrorSource;
  if (index != nullptr) *index = r->lastErrorIndex;
  if (type != nullptr) *type = r->lastErrorType;
  if (code != nullptr) *code = r->lastErrorCode;
  if (codeEx != nullptr) *codeEx = r->lastErrorCodeEx;
  return 1;
}

const char *Repository_GetLastErrorPath(Repository *r) {
  REPOSITORY_CHECK(r);
  return r->lastErrorPath;
}

const char *Repository_GetLocalMetaFileNote(Repository *r) {
  REPOSITORY_CHECK(r);
  return r->localMetaFileNote;
}

int Repository_GetStateTime(Repository *r, uint32_t bit, double *seconds) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(seconds);
  if (bit == 0 || (bit & (bit - 1)) != 0) Core_Abort(KSRC, "Index exceeds state range\n");
  int32_t slot = 1;
  while ((1u << (slot - 1)) != bit) slot++;
  *seconds = r->stateTime[slot];
  if ((r->timedState & bit) && (r->actionFlags & kRepositoryActionActive))
    *seconds += Platform_GetTickSeconds() - r->stateStart[slot];
  return 1;
}

int Repository_AddCleanupStatus(Repository *r, Dictionary *status) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(status);
  int64_t total = StorageCleanup_GetItemsTotal(r->cleanupLocal);
  int64_t complete = StorageCleanup_GetItemsComplete(r->cleanupLocal);
  double remaining = StorageCleanup_GetRemainingTime(r->cleanupLocal);
  if (Storage_HasDriver(r->pending)) {
    total += StorageCleanup_GetItemsTotal(r->cleanupPending);
    complete += StorageCleanup_GetItemsComplete(r->cleanupPending);
    remaining = std::max(remaining, StorageCleanup_GetRemainingTime(r->cleanupPending));
  }
  double progress = total > 0 ? double(complete) / double(total) : 0.0;
  Dictionary_AddFloat64(status, "progress", progress, nullptr);
  Dictionary_AddFloat64(status, "remainingTime", remaining, nullptr);
  return 1;
}

int Repository_GetStatus(Repository *r, Dictionary *status) {
  REPOSITORY_CHECK(r);
  CHECK_POINTER(status);
  char text[kRepositoryNameBytes];
  Dictionary_AddString(status, "name", r->name, nullptr);
  Dictionary_AddInt32(status, "actionFlags", int32_t(r->actionFlags), nullptr);
  Dictionary_AddInt32(status, "stateFlags", int32_t(r->stateFlags), nullptr);
  Repository_GetLocalId(r, text, int32_t(sizeof text));
  Dictionary_AddString(status, "localId", text, nullptr);
  Repository_GetRemoteId(r, text);
  Dictionary_AddString(status, "remoteId", text, nullptr);
  Dictionary_AddInt32(status, "deltaFailures", r->deltaFailures, nullptr);
  int32_t pending = 0;
  Repository_GetPendingRequests(r, &pending);
  Dictionary_AddInt32(status, "pendingRequests", pending, nullptr);
  static const struct {
    const char *key;
    uint32_t bit;
  } kTimes[] = {
      {"localMetaFileLoadTime", kRepositoryStateLocalMetaFileLoading},
      {"remoteMetaFileLoadTime", kRepositoryStateRemoteMetaFileLoading},
      {"aliasLoadTime", kRepositoryStateAliasLoading},
      {"catalogLoadTime", kRepositoryStateCatalogLoading},
      {"localCleanTime", kRepositoryStateLocalCleaning},
      {"pendingCleanTime", kRepositoryStatePendingCleaning},
      {"refreshTime", kRepositoryStateRefresh},
      {"syncTime", kRepositoryStateSynchronize},
      {"eraseTime", kRepositoryStateErase},
      {"stallTime", kRepositoryStateStalled},
      {"aliveTime", kRepositoryStateAlive},
      {"pauseTime", kRepositoryStatePaused},
  };
  for (const auto &t : kTimes) {
    double seconds = 0;
    Repository_GetStateTime(r, t.bit, &seconds);
    Dictionary_AddFloat64(status, t.key, seconds, nullptr);
  }
  Dictionary *phases = nullptr;
  Dictionary_AddList(status, "phases", &phases, nullptr);
  Dictionary_AddString(phases, nullptr, "copy", nullptr);
  if (r->applyEnabled) Dictionary_AddString(phases, nullptr, "apply", nullptr);
  if (r->cleanup) Dictionary_AddString(phases, nullptr, "clean", nullptr);
  const int32_t record[] = {r->errorCount,    r->lastErrorSource, r->lastErrorIndex,
                            r->lastErrorType, r->lastErrorCode,   r->lastErrorCodeEx};
  const char *const recordKeys[] = {"errorCount",    "lastErrorSource", "lastErrorIndex",
                                    "lastErrorType", "lastErrorCode",   "lastErrorCodeEx"};
  for (int i = 0; i < 6; i++) Dictionary_AddInt32(status, recordKeys[i], record[i], nullptr);
  meterStatus(status, "local", r->localMeters);
  meterStatus(status, "remote", r->remoteMeters);
  // The documents' body bytes from the network (the local metafile is read
  // from the disk, not fetched).
  int64_t documentBytes = 0;
  for (AsyncHttp *request : {r->alias->request, r->catalog->request, r->remoteMetaFile->request}) {
    int64_t bytes = 0;
    if (request != nullptr && AsyncHttp_GetBodyBytes(request, &bytes)) documentBytes += bytes;
  }
  Dictionary_AddInt64(status, "documentReadBytes", documentBytes, nullptr);
  typedef int (*CountGetter)(StorageCopy *, int32_t *);
  static const struct {
    const char *key;
    CountGetter get;
  } kCounts[] = {
      {"piecesTotal", StorageCopy_GetPiecesTotal},
      {"piecesSkipped", StorageCopy_GetPiecesSkipped},
      {"piecesWritten", StorageCopy_GetPiecesWritten},
      {"piecesMasked", StorageCopy_GetPiecesMasked},
      {"piecesComplete", StorageCopy_GetPiecesComplete},
  };
  for (const auto &c : kCounts) {
    int32_t sum = 0, value = 0;
    if (c.get(r->copy, &value)) sum += value;
    value = 0;
    if (r->applyEnabled && c.get(r->apply, &value)) sum += value;
    Dictionary_AddInt32(status, c.key, sum, nullptr);
  }
  double averageSum = 0, average = 0;
  int32_t averages = 0;
  if (StorageCopy_GetPieceAverageTime(r->copy, &average)) {
    averageSum += average;
    averages++;
  }
  if (r->applyEnabled && StorageCopy_GetPieceAverageTime(r->apply, &average)) {
    averageSum += average;
    averages++;
  }
  Dictionary_AddFloat64(status, "pieceAverageTime", averages > 0 ? averageSum / averages : 0.0,
                        nullptr);
  MetaFile_GetStats(r->localMetaFile, childDictionary(status, "localMetaFile"));
  MetaFile_GetStats(r->remoteMetaFile, childDictionary(status, "remoteMetaFile"));
  Alias_GetErrorInfo(r->alias, childDictionary(status, "alias"));
  Catalog_GetErrorInfo(r->catalog, childDictionary(status, "catalog"));
  StorageDelta_GetStatus(r->delta, childDictionary(status, "delta"));
  StorageCopy_GetStatus(r->copy, childDictionary(status, "copy"));
  StorageCopy_GetStatus(r->apply, childDictionary(status, "apply"));
  Repository_AddCleanupStatus(r, childDictionary(status, "cleanup"));
  StorageCleanup_GetStatus(r->cleanupLocal, childDictionary(status, "cleanupLocal"));
  StorageCleanup_GetStatus(r->cleanupPending, childDictionary(status, "cleanupPending"));
  Storage_GetStatus(r->local, childDictionary(status, "local"));
  Dictionary *remotes = nullptr;
  Dictionary_AddList(status, "remote", &remotes, nullptr);
  for (RepositoryRemote *e = r->firstRemote; e != nullptr; e = e->next)
    Storage_GetStatus(e->storage, childDictionary(remotes, nullptr));
  Storage_GetStatus(r->pending, childDictionary(status, "pending"));
  Dictionary *requests = nullptr;
  Dictionary_AddList(status, "requests", &requests, nullptr);
  for (RepositorySlot *s = r->firstSlot; s != nullptr; s = s->next) {
    Dictionary *slot = childDictionary(requests, nullptr);
    Dictionary_AddBoolean(slot, "active", s->inUse, nullptr);
    Dictionary_AddBoolean(slot, "enabled", s->enabled, nullptr);
    Dictionary_AddInt32(slot, "index", StorageRequest_GetPieceIndex(s->request), nullptr);
    Dictionary_AddInt32(slot, "state", s->inUse, nullptr);
    Dictionary_AddBoolean(slot, "allowVCDiff", StorageRequest_GetAllowDelta(s->request), nullptr);
    Dictionary_AddFloat64(slot, "resumeTime", 0.0, nullptr);
  }
  return 1;
}
