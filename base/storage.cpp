// Storages and the routines their driver records share; see storage.h.
#include "base/storage.h"

#include <cctype>
#include <cstring>
#include <new>

#include "base/bitfield.h"
#include "base/enginelog.h"
#include "base/metafile.h"
#include "base/storagechain.h"
#include "base/storagefile.h"
#include "base/storagefilepiece.h"
#include "base/storagehttp.h"
#include "base/storagehttppiece.h"
#include "base/storagerequest.h"
#include "core/platform/platform.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"

namespace {

#define STORAGE_CHECK(s) CLASS_CHECK((s), kStorageTag)

// The type names and the records behind them. A record not built into this
// program is NULL: configuring its type fails.
struct StorageDriverEntry {
  const char *type;
  const char *className;
  const StorageDriver *record;
};

constexpr StorageDriverEntry kStorageDrivers[] = {
    {"file", "StorageFile", &kStorageFileDriver},
    {"filePiece", "StorageFilePiece", &kStorageFilePieceDriver},
    {"http", "StorageHTTP", &kStorageHTTPDriver},
    {"httpPiece", "StorageHTTPPiece", &kStorageHTTPPieceDriver},
};
constexpr size_t kStorageDriverHttpPiece = 3;  // every other type name

struct StorageFlagName {
  const char *name;
  uint32_t flag;
};
constexpr StorageFlagName kStorageFlagNames[] = {
    {"pad", 1}, {"gzip", 2}, {"vcdiff", 4}, {"aes256", 8}};

class StorageLock {
 public:
  explicit StorageLock(CriticalSection *lock) : lock_(lock) { CriticalSection_Enter(lock_); }
  ~StorageLock() { CriticalSection_Leave(lock_); }
  StorageLock(const StorageLock &) = delete;
  StorageLock &operator=(const StorageLock &) = delete;

 private:
  CriticalSection *lock_;
};

void storageLogV(Storage *s, const char *format, va_list args) {
  if (!Class_LogEnabled(&s->log, LOG_DEBUG)) return;
  if (s->log.sink == nullptr && !Log_IsEnabled()) return;
  Class_LogPrint(&s->log, 0, format, args);
}

void storageDetachDriver(Storage *s) {
  if (s->driver == nullptr) return;
  void *context = s->driverContext;
  const StorageDriver *driver = s->driver;
  s->driver = nullptr;
  s->driverContext = nullptr;
  driver->Release(&context);
}

void storageDestroy(void **object) {
  auto *s = static_cast<Storage *>(*object);
  // Every queued result holds a reference, so none is left to cancel here.
  storageDetachDriver(s);
  MeterRW_Delete(&s->meters);
  Pool_Release(&s->steps);
  Pool_Release(&s->challenges);
  CriticalSection_Delete(&s->lock);
  CriticalSection_Delete(&s->challengeLock);
  s->header.classTag = 0;
  s->~Storage();
  MEM_FREE(s, sizeof(Storage));
}

// Splits a flags text at commas; blanks after a comma and at the end of a
// field are skipped, a field naming no flag adds nothing.
uint32_t storageParseFlags(const char *text) {
  uint32_t flags = 0;
  const char *p = text;
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t') p++;
    const char *start = p;
    while (*p != '\0' && *p != ',') p++;
    const char *end = p;
    while (end > start && (end[-1] == ' ' || end[-1] == '\t')) end--;
    size_t length = size_t(end - start);
    for (const StorageFlagName &f : kStorageFlagNames)
      if (strlen(f.name) == length && strncasecmp(f.name, start, length) == 0) flags |= f.flag;
    if (*p == ',') p++;
  }
  return flags;
}

int storageCheckRecord(const StorageDriver *d) {
  return d->name && d->Create && d->AddRef && d->Release && d->SetLogHook && d->Configure &&
         d->Stop && d->SetActive && d->Status && d->Pump && d->Exists && d->Read && d->Write &&
         d->ErasePiece && d->EraseFile && d->CompleteFile;
}

}  // namespace

int Storage_Create(Storage **storage) {
  CHECK_POINTER(storage);
  auto *s = new (MEM_ALLOC(sizeof(Storage), MEM_ZEROED)) Storage();
  s->header.classTag = kStorageTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = storageDestroy;
  s->log.object = s;
  s->log.className = "Storage";
  CriticalSection_Create(&s->lock);
  CriticalSection_Create(&s->challengeLock);
  Pool_Create(&s->steps, KSRC);
  Pool_SetMemberSize(s->steps, sizeof(StorageStep));
  Pool_SetMemberChunkSize(s->steps, kStorageStepGrowth);
  Pool_EnableLocking(s->steps);
  Pool_Create(&s->challenges, KSRC);
  Pool_SetMemberSize(s->challenges, sizeof(StorageChallenge));
  Pool_SetMemberChunkSize(s->challenges, kStorageChallengeGrowth);
  Pool_EnableLocking(s->challenges);
  MeterRW_Create(&s->meters);
  s->lastActivity.store(Platform_GetTickSeconds(), std::memory_order_relaxed);
  *storage = s;
  return 1;
}

int Storage_SetQueue(Storage *s, EventQueue *queue) {
  STORAGE_CHECK(s);
  s->queue = queue;
  return 1;
}

int Storage_GetQueue(Storage *s, EventQueue **queue) {
  STORAGE_CHECK(s);
  CHECK_POINTER(queue);
  *queue = s->queue;
  return s->queue != nullptr;
}

int Storage_SetLogHook(Storage *s, void *context, ClassLogSink sink) {
  STORAGE_CHECK(s);
  EngineLog_SetSink(&s->log, context, sink);
  return 1;
}

int Storage_SetDeltaSource(Storage *s, void *context, StorageDeltaSourceFunction function) {
  STORAGE_CHECK(s);
  s->deltaSourceContext = context;
  s->deltaSource = function;
  return 1;
}

int Storage_SetWritePlan(Storage *s, MetaFile *metafile, const BitField *pieces) {
  STORAGE_CHECK(s);
  bool known = metafile != nullptr && pieces != nullptr;
  // Cleared plan first and set plan last: a step that reads both between
  // the two stores sees no plan or a different metafile.
  s->writePlan.store(nullptr);
  s->writePlanMeta.store(known ? metafile : nullptr);
  s->writePlan.store(known ? pieces : nullptr);
  return 1;
}

int Storage_GetWritePlan(Storage *s, MetaFile *metafile, const BitField **pieces) {
  STORAGE_CHECK(s);
  CHECK_POINTER(pieces);
  const BitField *plan = s->writePlan.load();
  bool known = plan != nullptr && metafile != nullptr && metafile == s->writePlanMeta.load();
  *pieces = known ? plan : nullptr;
  return known ? 1 : 0;
}

void Storage_Log(Storage *s, const char *format, ...) {
  STORAGE_CHECK(s);
  va_list args;
  va_start(args, format);
  storageLogV(s, format, args);
  va_end(args);
}

int Storage_Configure(Storage *s, Dictionary *appConfig, Dictionary *config) {
  STORAGE_CHECK(s);
  CHECK_POINTER(config);
  char type[kStorageTypeBytes] = {};
  if (!Dictionary_GetStringByKey(config, "type", type, sizeof type) || type[0] == '\0') {
    Storage_Log(s, "Configuration dictionary missing %s\n", "type");
    return 0;
  }
  uint32_t flags = 0;
  if (!Storage_GetConfigFlags(config, &flags)) {
    DictionaryType kind = kDictionaryTypeUnknown;
    Dictionary_GetTypeByKey(config, "flags", &kind);
    Storage_Log(s, "Configuration dictionary invalid flag type (%d)\n", int(kind));
    return 0;
  }

  const StorageDriverEntry *entry = &kStorageDrivers[kStorageDriverHttpPiece];
  for (const StorageDriverEntry &e : kStorageDrivers)
    if (strcasecmp(e.type, type) == 0) entry = &e;
  s->flags = flags;
  Storage_SetDriver(s, entry->record);
  return s->driver->Configure(s->driverContext, s, appConfig, config);
}

int Storage_GetConfigFlags(Dictionary *config, uint32_t *flags) {
  CHECK_POINTER(config);
  CHECK_POINTER(flags);
  *flags = 0;
  DictionaryType kind = kDictionaryTypeUnknown;
  if (Dictionary_GetTypeByKey(config, "flags", &kind)) {
    if (kind == kDictionaryTypeInt64 || kind == kDictionaryTypeFloat64) {
      int64_t number = 0;
      Dictionary_GetInt64ByKey(config, "flags", &number);
      *flags = uint32_t(number);
    } else if (kind == kDictionaryTypeString) {
      const char *text = nullptr;
      Dictionary_GetStringPointerByKey(config, "flags", &text);
      *flags = text ? storageParseFlags(text) : 0;
    } else {
      return 0;
    }
  }
  const char *type = nullptr;
  if (Dictionary_GetStringPointerByKey(config, "type", &type) && type != nullptr &&
      (strcasecmp(type, "file") == 0 || strcasecmp(type, "http") == 0))
    *flags = kStorageFlagPad;
  return 1;
}

int Storage_SetDriver(Storage *s, const StorageDriver *driver) {
  STORAGE_CHECK(s);
  CHECK_POINTER(driver);
  if (s->driver == driver) return 1;
  storageDetachDriver(s);
  if (!storageCheckRecord(driver))
    Core_Abort(KSRC, "Assertion failed (StorageDriver complete)\nStorage driver %s lacks a slot\n",
               driver->name ? driver->name : "?");
  void *context = nullptr;
  driver->Create(&context);
  CHECK_POINTER(context);
  driver->SetLogHook(context, s, Storage_Log);
  s->driverContext = context;
  s->driver = driver;
  return 1;
}

int Storage_HasDriver(Storage *s) {
  STORAGE_CHECK(s);
  return s->driver != nullptr;
}

int Storage_GetDriverContext(Storage *s, void **context) {
  STORAGE_CHECK(s);
  CHECK_POINTER(context);
  *context = s->driverContext;
  return s->driverContext != nullptr;
}

int Storage_GetMeters(Storage *s, MeterRW **meters) {
  STORAGE_CHECK(s);
  CHECK_POINTER(meters);
  *meters = s->meters;
  return s->meters != nullptr;
}

uint32_t Storage_GetFlags(Storage *s) {
  STORAGE_CHECK(s);
  return s->flags;
}

int Storage_SetLocation(Storage *s, const char *text) {
  STORAGE_CHECK(s);
  StorageLock hold(s->lock);
  Str_Copy(s->location, text ? text : "", kStorageLocationBytes);
  return 1;
}

int Storage_GetLocation(Storage *s, char *buffer) {
  STORAGE_CHECK(s);
  CHECK_POINTER(buffer);
  StorageLock hold(s->lock);
  Str_Copy(buffer, s->location, kStorageLocationBytes);
  return 1;
}

int Storage_SetPassword(Storage *s, const char *text) {
  STORAGE_CHECK(s);
  StorageLock hold(s->lock);
  Str_Copy(s->password, text ? text : "", kStoragePasswordBytes);
  return 1;
}

int Storage_GetPassword(Storage *s, char *buffer) {
  STORAGE_CHECK(s);
  CHECK_POINTER(buffer);
  StorageLock hold(s->lock);
  Str_Copy(buffer, s->password, kStoragePasswordBytes);
  return 1;
}

int32_t Storage_GetErrorCount(Storage *s) {
  STORAGE_CHECK(s);
  return s->errorCount.load();
}

int32_t Storage_GetPendingRequests(Storage *s) {
  STORAGE_CHECK(s);
  return s->pendingRequests.load();
}

int Storage_DecrementErrorCount(Storage *s) {
  STORAGE_CHECK(s);
  s->errorCount.fetch_sub(1);
  return 1;
}

double Storage_GetLastActivity(Storage *s) {
  STORAGE_CHECK(s);
  return s->lastActivity.load(std::memory_order_relaxed);
}

int Storage_SetLastActivity(Storage *s, double seconds) {
  STORAGE_CHECK(s);
  s->lastActivity.store(seconds, std::memory_order_relaxed);
  return 1;
}

int32_t Storage_IsStopping(Storage *s) {
  STORAGE_CHECK(s);
  return s->stopping.load(std::memory_order_acquire);
}

int Storage_Stop(Storage *s) {
  STORAGE_CHECK(s);
  int32_t expected = 0;
  if (!s->stopping.compare_exchange_strong(expected, 1)) return 1;
  if (s->driver != nullptr) s->driver->Stop(s->driverContext, s);
  Storage_WithdrawChallenges(s);
  return 1;
}

int Storage_Reset(Storage *s) {
  STORAGE_CHECK(s);
  // Chains in flight are cut first: from here on their steps find a newer
  // reset count, their prompts go, and their driver object (which they keep
  // alive) is told to end its work.
  s->resets.fetch_add(1);
  Storage_WithdrawChallenges(s);
  if (s->driver != nullptr && s->pendingRequests.load() > 0)
    s->driver->Stop(s->driverContext, s);
  storageDetachDriver(s);
  Storage_SetPassword(s, "");
  {
    StorageLock hold(s->lock);
    memset(s->rejected, 0, sizeof s->rejected);
  }
  if (s->queue != nullptr) EventQueue_Cancel(s->queue, reinterpret_cast<uintptr_t>(s));
  return 1;
}

int Storage_SetActive(Storage *s, int32_t active) {
  STORAGE_CHECK(s);
  if (s->driver == nullptr || s->stopping.load()) return 1;
  return s->driver->SetActive(s->driverContext, s, active);
}

int Storage_Pump(Storage *s) {
  STORAGE_CHECK(s);
  if (s->driver == nullptr) return 1;
  return s->driver->Pump(s->driverContext, s);
}

int Storage_GetStatus(Storage *s, Dictionary *status) {
  STORAGE_CHECK(s);
  CHECK_POINTER(status);
  Dictionary_SetStringByKey(status, "type", StorageDriver_GetTypeName(s->driver));
  Dictionary_SetStringByKey(status, "id", s->header.instanceId);
  Dictionary_SetInt32ByKey(status, "errorCount", s->errorCount.load());
  Dictionary_SetInt32ByKey(status, "pendingRequests", s->pendingRequests.load());
  uint64_t readBytes = 0, writeBytes = 0;
  double maxRead = 0, maxWrite = 0, read = 0, write = 0;
  MeterRW_GetBytes(s->meters, &readBytes, &writeBytes);
  MeterRW_GetPeakRates(s->meters, &maxRead, &maxWrite);
  MeterRW_GetRates(s->meters, &read, &write);
  Dictionary_SetInt64ByKey(status, "readBytes", int64_t(readBytes));
  Dictionary_SetInt64ByKey(status, "writeBytes", int64_t(writeBytes));
  Dictionary_SetFloat64ByKey(status, "maxReadSpeed", maxRead);
  Dictionary_SetFloat64ByKey(status, "maxWriteSpeed", maxWrite);
  Dictionary_SetFloat64ByKey(status, "readSpeed", read);
  Dictionary_SetFloat64ByKey(status, "writeSpeed", write);
  if (s->driver != nullptr) s->driver->Status(s->driverContext, s, status);
  return 1;
}

void *StorageDriver_AddRef(void *context) { return Class_Retain(context); }

int StorageDriver_NotSupported(void *, StorageStep *step) {
  return Storage_CompleteStep(step, kStorageResultNotOffered, 0);
}

int StorageDriver_NoOp(void *, Storage *) { return 1; }

int StorageDriver_NoOpActive(void *, Storage *, int32_t) { return 1; }

const char *StorageDriver_GetTypeName(const StorageDriver *driver) {
  if (driver == nullptr) return "none";
  for (const StorageDriverEntry &e : kStorageDrivers)
    if (e.record == driver || (driver->name && strcmp(e.className, driver->name) == 0))
      return e.type;
  return driver->name;
}

int StorageDriver_KeepsPieceHeader(const StorageDriver *driver) {
  if (driver == nullptr || driver->name == nullptr) return 0;
  size_t length = strlen(driver->name);
  return length >= 5 && strcmp(driver->name + length - 5, "Piece") == 0;
}
