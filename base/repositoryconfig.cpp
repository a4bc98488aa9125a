// The repository's set-up of a copy and of an erase: the working
// configuration, the mask, the storages, the request slots and the flags of
// both copy engines; see repository.h.
#include <cstdarg>
#include <cstring>

#include "base/enginelog.h"
#include "base/repository.h"
#include "base/storagefile.h"
#include "core/net/url.h"
#include "core/runtime/log.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

#define REPOSITORY_CHECK(r) CLASS_CHECK((r), kRepositoryTag)

// The apply engine moves staged pieces from the pending storage into the
// local one: it looks in both and writes.
constexpr uint32_t kApplyFlags = kStorageCopyExists | kStorageCopyPending | kStorageCopyTransfer |
                                 kStorageCopyWrite;

bool getBoolean(Dictionary *d, const char *key, bool fallback) {
  int32_t value = 0;
  if (!Dictionary_GetBooleanByKey(d, key, &value)) return fallback;
  return value != 0;
}

// A count from the working configuration, else from the settings path.
bool getCount(Repository *r, Dictionary *working, const char *key, const char *path,
              int32_t *value) {
  if (Dictionary_GetInt32ByKey(working, key, value)) return true;
  if (r->settings != nullptr && Dictionary_GetInt32ByPath(r->settings, path, value)) return true;
  EngineLog_Print(&r->log, "Configuration dictionary missing %s\n", key);
  return false;
}

// Nothing of an earlier run may be in flight when storages, slots and
// engines are set up again: a chain still running would find its driver
// gone or its slot handed out twice.
bool repositoryIdle(Repository *r) {
  int32_t pending = 0;
  Repository_GetPendingRequests(r, &pending);
  return pending == 0 && StorageCopy_GetRequestsOut(r->copy) == 0 &&
         StorageCopy_GetRequestsOut(r->apply) == 0 && !r->copy->alive && !r->apply->alive;
}

void parentMeters(Storage *storage, MeterRW *pair) {
  MeterRW *meters = nullptr;
  if (Storage_GetMeters(storage, &meters) && meters != nullptr) MeterRW_SetParent(meters, pair);
}

// The catalog's "config" fills the keys the repository's own configuration
// lacks; a key it has keeps its value, nested or not.
bool mergeCatalogConfig(Repository *r, Dictionary *working) {
  Dictionary *entry = nullptr;
  Dictionary *config = nullptr;
  if (!Catalog_GetEntry(r->catalog, &entry) || entry == nullptr ||
      !Dictionary_GetDictionaryByKey(entry, "config", &config)) {
    EngineLog_Print(&r->log, "Catalog missing config\n");
    return false;
  }
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(config, &item); item != nullptr;
       Dictionary_GetNextItem(config, item, &item)) {
    const char *key = nullptr;
    if (!Dictionary_GetItemKey(config, item, &key) || key == nullptr) continue;
    if (Dictionary_HasKey(working, key)) continue;
    Dictionary_MergeItem(working, config, item, kDictionaryMergeOverwrite);
  }
  return true;
}

void hideKey(Dictionary *d, const char *key) {
  DictionaryItem *item = nullptr;
  if (Dictionary_FindKey(d, key, nullptr, &item) && item != nullptr)
    Dictionary_SetItemHidden(d, item, 1);
}

// The "mask" text selects the pieces to copy; the engines take the pieces
// to leave out, so the field is inverted. 0 on an undecodable text.
bool configureMask(Repository *r, Dictionary *working, int32_t pieces, bool hasLocalId,
                   uint32_t *flags) {
  BitField_Resize(r->mask, pieces);
  BitField_ClearAll(r->mask);
  bool maskSet = false;
  if (r->maskAllowed) {
    const char *text = nullptr;
    if (Dictionary_GetStringPointerByKey(working, "mask", &text) && text != nullptr) {
      BitField *decoded = nullptr;
      BitField_Create(&decoded);
      BitField_Resize(decoded, pieces);
      bool ok = BitField_Decode(decoded, text, int32_t(strlen(text))) != 0;
      if (ok) BitField_Combine(r->mask, decoded);
      BitField_Release(&decoded);
      if (!ok) {
        EngineLog_Print(&r->log, "Invalid mask field (%s)\n", r->name);
        return false;
      }
      maskSet = true;
    } else if (hasLocalId && getBoolean(working, "autoMask", true)) {
      *flags = kStorageCopyDefaultFlags | kStorageCopyMask;
    }
  }
  BitField_Resize(r->staged, pieces);
  BitField_ClearAll(r->staged);
  StorageCopy_SetStaged(r->copy, r->staged);
  if (maskSet) {
    BitField_Invert(r->mask);
    StorageCopy_SetMask(r->copy, r->mask);
    StorageCopy_SetMask(r->apply, r->mask);
  } else {
    BitField_Resize(r->mask, 0);
    StorageCopy_SetMask(r->copy, nullptr);
    StorageCopy_SetMask(r->apply, nullptr);
  }
  return true;
}

// Every remote of "remote" (one Dictionary or a List of them, stopping at
// the first that fails); 0 when none is left to read from.
bool configureRemotes(Repository *r, Dictionary *working, int32_t *usesDelta) {
  Repository_ClearRemotes(r);
  Dictionary *remote = nullptr;
  DictionaryType type = kDictionaryTypeUnknown;
  Dictionary_GetTypeByKey(working, "remote", &type);
  if (type == kDictionaryTypeDictionary && Dictionary_GetDictionaryByKey(working, "remote", &remote)) {
    if (!Repository_AddRemote(r, r->settings, remote, usesDelta)) return false;
  } else if (type == kDictionaryTypeList && Dictionary_GetListByKey(working, "remote", &remote)) {
    int32_t count = 0;
    Dictionary_GetCount(remote, &count);
    for (int32_t i = 0; i < count; i++) {
      Dictionary *entry = nullptr;
      if (!Dictionary_GetDictionaryByIndex(remote, i, &entry)) continue;
      if (!Repository_AddRemote(r, r->settings, entry, usesDelta)) return false;
    }
  }
  // A "mux" without members adds nothing: with no connection the first
  // transfer would have no storage to read from.
  if (r->firstRemote == nullptr) {
    EngineLog_Print(&r->log, "No remote sources defined\n");
    return false;
  }
  for (RepositoryRemote *e = r->firstRemote; e != nullptr; e = e->next)
    parentMeters(e->storage, r->remoteMeters);
  return true;
}

// "local" (required) and "pending" (optional) storages with their meters.
bool configureLocalStorages(Repository *r, Dictionary *working, Dictionary **pending) {
  Dictionary *local = nullptr;
  if (!Dictionary_GetDictionaryByKey(working, "local", &local)) {
    EngineLog_Print(&r->log, "Configuration dictionary missing %s\n", "local");
    return false;
  }
  Storage_Reset(r->local);
  Storage_Reset(r->pending);
  if (!Storage_Configure(r->local, r->settings, local)) return false;
  // The installation the start opened, whatever the path leads to now.
  void *context = nullptr;
  if (r->local->driver != &kStorageFileDriver || !Storage_GetDriverContext(r->local, &context))
    context = nullptr;
  if (context != nullptr && r->installation != nullptr &&
      !StorageFile_SetRoot(context, r->installation))
    return false;
  // The names the file storage puts in are recorded beside the local
  // metafile, so that a run stopped on its way leaves none unknown.
  const char *metafile = nullptr;
  if (context != nullptr &&
      Dictionary_GetStringPointerByKey(r->config, "metafile", &metafile) && metafile[0] != '\0') {
    char record[kStorageFilePathBytes];
    Str_Printf(record, int32_t(sizeof record), "%s.names", metafile);
    StorageFile_SetRecordPath(context, record);
  }
  *pending = nullptr;
  if (Dictionary_GetDictionaryByKey(working, "pending", pending) &&
      !Storage_Configure(r->pending, r->settings, *pending))
    return false;
  parentMeters(r->local, r->localMeters);
  parentMeters(r->pending, r->localMeters);
  return true;
}

// 1 when the local file storage builds a file of the new version already
// (an earlier run was cut short).
bool localBuildsFiles(Repository *r) {
  void *context = nullptr;
  if (r->local->driver != &kStorageFileDriver || !Storage_GetDriverContext(r->local, &context))
    return false;
  return StorageFile_HasPartialFile(context, MetaFile_GetFileList(r->remoteMetaFile)) != 0;
}

// 1 when the version wanted is the one installed (a repair, or going back
// after an update was cut short).
bool keepsInstalledVersion(Repository *r, const char *localId) {
  char remoteId[kRepositoryIdBytes];
  return localId[0] != '\0' && Repository_GetRemoteId(r, remoteId) &&
         Str_CompareNoCase(localId, remoteId) == 0;
}

// Partial files of the local file storage hold another version's bytes
// when the installed one is kept: reading them would fetch again pieces
// the final files hold whole. They go; the final files are checked.
void dropPartialFiles(Repository *r) {
  void *context = nullptr;
  if (r->local->driver != &kStorageFileDriver || !Storage_GetDriverContext(r->local, &context))
    return;
  FileList *files = MetaFile_GetFileList(r->remoteMetaFile);
  int32_t removed = StorageFile_RemovePartialFiles(context, files);
  if (removed > 0)
    EngineLog_Print(&r->log, "Partial files of another version removed (%d)\n", removed);
}

// One line of the configuration's dump, every URL in it written as a log may
// show it: the repository file's URLs may carry a user, a password or a
// signed query.
void dumpLine(void *context, const char *format, ...) {
  char line[kUrlWorkBytes], shown[kUrlWorkBytes];
  va_list args;
  va_start(args, format);
  Str_VPrintf(line, int(sizeof line), format, args);
  va_end(args);
  int at = 0;
  for (const char *p = line; *p != '\0' && at + 1 < int(sizeof shown);) {
    const char *scheme = strstr(p, "://");
    if (scheme == nullptr) scheme = p + strlen(p);
    const char *start = scheme;
    while (start > p && start[-1] != ' ' && start[-1] != '=' && start[-1] != '"') start--;
    at += Str_Printf(shown + at, int(sizeof shown) - at, "%.*s", int(start - p), p);
    if (*scheme == '\0') break;
    size_t length = strcspn(start, " \"");
    char url[kUrlWorkBytes];
    Str_Printf(url, int(sizeof url), "%.*s", int(length), start);
    at += Str_Printf(shown + at, int(sizeof shown) - at, "%s", UrlLoggable(url).text);
    p = start + length;
  }
  auto *r = static_cast<Repository *>(context);
  if (r->log.sink != nullptr) r->log.sink(r->log.sinkContext, "%s", shown);
  else Log_Print(LOG_DEBUG, KSRC, 0, "%s", shown);
}

void dumpWorking(Repository *r, Dictionary *working) {
  Dictionary_SetLogHook(working, r, dumpLine);
  Dictionary_Dump(working, 0);
}

// Steps 2 to 12 on the working configuration; 0 with a line on failure.
bool configureCopy(Repository *r, Dictionary *working, const char *localId) {
  bool hasLocalId = localId[0] != '\0';
  for (StorageCopy *copy : {r->copy, r->apply}) {
    StorageCopy_SetMetaFile(copy, r->remoteMetaFile);
    StorageCopy_SetMaskMetaFile(copy, r->localMetaFile);
  }
  PieceList *pieces = MetaFile_GetPieceList(r->remoteMetaFile);
  if (pieces == nullptr || !MetaFile_HasPieces(r->remoteMetaFile)) {
    EngineLog_Print(&r->log, "MetaFile missing pieces dictionary (%s)\n", r->name);
    return false;
  }
  bool inplace = getBoolean(working, "inplace", true);
  r->metafileSave = getBoolean(working, "metafileSave", true) && r->localMetaFileConfigured;
  r->cleanup = getBoolean(working, "cleanup", true);
  uint32_t flags = kStorageCopyDefaultFlags;
  if (!configureMask(r, working, PieceList_GetPieceTotal(pieces), hasLocalId, &flags)) return false;
  int32_t usesDelta = 0;
  if (!configureRemotes(r, working, &usesDelta)) return false;
  Dictionary *pending = nullptr;
  if (!configureLocalStorages(r, working, &pending)) return false;
  if (keepsInstalledVersion(r, localId)) dropPartialFiles(r);
  if ((flags & kStorageCopyMask) && localBuildsFiles(r)) {
    // A partial file may hold another version's bytes where the mask would
    // take the installed ones: every piece is verified where it lies.
    EngineLog_Print(&r->log, "Partial files found: no piece is masked\n");
    flags &= ~kStorageCopyMask;
  }
  if (pending != nullptr) {
    flags |= kStorageCopyPending;
    if (!inplace) {
      flags |= kStorageCopyToPending;
      // A staging run only fills the pending storage: cleaning now would
      // erase files the installed version still uses (and the pieces just
      // staged), and saving would record a version that is not installed.
      // A later run with "inplace" true applies and then cleans and saves.
      r->cleanup = 0;
      r->metafileSave = 0;
    }
  }
  int32_t fileCompletes = 0, requests = 0;
  if (!getCount(r, working, "fileCompletes", "storage.fileCompletes", &fileCompletes) ||
      !getCount(r, working, "requests", "storage.requests", &requests))
    return false;
  Repository_SetRequestCount(r, requests);
  if (r->deltaAllowed && usesDelta && hasLocalId) {
    if (!StorageDelta_Configure(r->delta, r->settings, working)) return false;
    if (pending == nullptr) {
      EngineLog_Print(&r->log, "Configuration dictionary missing %s\n", "pending");
      return false;
    }
    if (inplace) {
      r->applyEnabled = 1;
      flags |= kStorageCopyToPending;
    }
    flags |= kStorageCopyDelta;
  }
  if (!hasLocalId && pending == nullptr) r->cleanup = 0;
  dumpWorking(r, working);
  StorageCopy_SetFileCompleteLimit(r->apply, fileCompletes);
  StorageCopy_SetFlags(r->apply, kApplyFlags);
  StorageCopy_Configure(r->apply);
  StorageCopy_SetFileCompleteLimit(r->copy, fileCompletes);
  StorageCopy_SetFlags(r->copy, flags);
  StorageCopy_Configure(r->copy);
  StorageCopy_Start(r->copy);
  return true;
}

}  // namespace

int Repository_Configure(Repository *r) {
  REPOSITORY_CHECK(r);
  if (!repositoryIdle(r)) return 1;
  r->configured = 0;
  r->applyEnabled = 0;
  r->cleanupStarted = 0;
  StorageCopy_Reset(r->copy);
  StorageCopy_Reset(r->apply);
  StorageDelta_Reset(r->delta);
  Storage_SetWritePlan(r->local, nullptr, nullptr);
  Dictionary *working = nullptr;
  Dictionary_Create(&working);
  Dictionary_Merge(working, r->config, kDictionaryMergeOverwrite);
  char localId[kRepositoryIdBytes];
  Repository_GetLocalId(r, localId, int32_t(sizeof localId));
  bool ok = (Catalog_IsNotNeeded(r->catalog) || mergeCatalogConfig(r, working));
  if (ok) {
    hideKey(working, "mask");
    hideKey(working, "stageMask");
    ok = configureCopy(r, working, localId);
  }
  Dictionary_Release(&working);
  if (!ok) return 0;
  r->configured = 1;
  return 1;
}

int Repository_ConfigureLocal(Repository *r) {
  REPOSITORY_CHECK(r);
  if (!repositoryIdle(r)) return 1;
  r->configured = 0;
  r->cleanupStarted = 0;
  // An earlier staging run may have switched these off for itself.
  r->cleanup = 1;
  r->metafileSave = r->localMetaFileConfigured;
  Dictionary *pending = nullptr;
  if (!configureLocalStorages(r, r->config, &pending)) return 0;
  int32_t requests = 0;
  if (!getCount(r, r->config, "requests", "storage.requests", &requests)) return 0;
  Repository_SetRequestCount(r, requests);
  r->configured = 1;
  return 1;
}

int Repository_IsCleanupComplete(Repository *r) {
  REPOSITORY_CHECK(r);
  if (!r->configured) return 0;
  bool local = ((r->cleanupStarted & kRepositoryCleanupLocal) &&
                StorageCleanup_IsFinished(r->cleanupLocal)) ||
               (r->stateFlags & kRepositoryStateNotInstalled);
  if (!local) return 0;
  if (!Storage_HasDriver(r->pending)) return 1;
  return (r->cleanupStarted & kRepositoryCleanupPending) &&
         StorageCleanup_IsFinished(r->cleanupPending);
}
