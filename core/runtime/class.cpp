// Class system: retain and release, instance ids and the instance table,
// class-scoped log lines; see class.h.
#include "core/runtime/class.h"

#include <cstring>

#include "core/runtime/critsection.h"
#include "core/runtime/hashtable.h"
#include "core/runtime/log.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

struct GlobalClassRecord {
  HashTable *instances = nullptr;  // guarded by lock
  CriticalSection *lock = nullptr;
};

GlobalClassRecord gClassRecord;
GlobalClassRecord *gClass = nullptr;

constexpr int kClassMessageBytes = 2048;
constexpr int kClassIndentChars = 79;

GlobalClassRecord *classGet(const char *sourcePath, int line) {
  if (gClass == nullptr) Core_Abort(sourcePath, line, "Class system not initialized\n");
  return gClass;
}

struct ClassLockGuard {
  CriticalSection *lock;
  explicit ClassLockGuard(GlobalClassRecord *c) : lock(c->lock) { CriticalSection_Enter(lock); }
  ~ClassLockGuard() { CriticalSection_Leave(lock); }
};

// The default sink: the log at DEBUG, a time stamp, indent 0.
void classDefaultSink(void *context, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Log_PrintV(LOG_DEBUG, context ? static_cast<const char *>(context) : KSRC, 0, format, 1, args);
  va_end(args);
}

}  // namespace

void *Class_Retain(void *object) {
  if (object == nullptr) return nullptr;
  static_cast<ObjectHeader *>(object)->refCount.fetch_add(1, std::memory_order_relaxed);
  return object;
}

extern "C" int32_t Class_Release(void **object) {
  if (object == nullptr || *object == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  auto *header = static_cast<ObjectHeader *>(*object);
  // acq_rel: the thread that destroys must see every write made before the
  // other references were dropped.
  int32_t count = header->refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count == 0) {
    if (header->destroy == nullptr)
      Core_Abort(KSRC, "Assertion failed (FALSE)\nClass delete function pointer is null [%s]",
                 header->instanceId);
    header->destroy(object);
  }
  *object = nullptr;
  return count;
}

void Class_GenericRelease(void **object) { Class_Release(object); }

int Callback_ReturnTrue(...) { return 1; }

extern "C" int Class_GenerateInstanceId(void *object) {
  CHECK_POINTER(object);
  char *id = static_cast<ObjectHeader *>(object)->instanceId;
  Str_CreateGuid(id, sizeof static_cast<ObjectHeader *>(object)->instanceId);
  return 1;
}

void Class_Init(void) {
  if (gClass != nullptr)
    Core_Abort(KSRC, "Assertion failed (GlobalClass == NULL)\nClass already initialized");
  GlobalClassRecord *c = &gClassRecord;
  HashTable_Create(&c->instances);
  // The key area holds the object pointer; lookups pass id text, and the
  // object pointer is a pointer to its own id text.
  HashTable_SetKeySize(c->instances, sizeof(void *));
  HashTable_SetKeyCopyCallback(c->instances, HashTable_CopyKeyBytes);
  HashTable_SetHashCallback(c->instances, HashTable_HashStringPtr);
  HashTable_SetCompareCallback(c->instances, HashTable_CompareStringPtr);
  CriticalSection_Create(&c->lock);
  gClass = c;
}

void Class_Shutdown(void) {
  GlobalClassRecord *c = gClass;
  if (c == nullptr) return;
  gClass = nullptr;
  CriticalSection_Delete(&c->lock);
  HashTable_Release(&c->instances);
}

extern "C" int Class_TrackInstance(void *object, void *value) {
  CHECK_POINTER(object);
  GlobalClassRecord *c = classGet(KSRC);
  ClassLockGuard guard(c);
  HashTableEntry *entry = nullptr;
  HashTable_Set(c->instances, object, value, &entry);
  return 1;
}

extern "C" int Class_UntrackInstance(void *object) {
  CHECK_POINTER(object);
  GlobalClassRecord *c = classGet(KSRC);
  ClassLockGuard guard(c);
  if (!HashTable_Remove(c->instances, object))
    Core_Abort(KSRC, "Unable to remove instance from class instance hash table");
  return 1;
}

extern "C" void *Class_ConvertFromInstanceId(const char *idText) {
  if (idText == nullptr) return nullptr;
  GlobalClassRecord *c = classGet(KSRC);
  ClassLockGuard guard(c);
  void *value = nullptr;
  if (!HashTable_Get(c->instances, idText, &value)) return nullptr;
  return value;
}

extern "C" const char *Class_ConvertToInstanceId(void *object) {
  return static_cast<const char *>(object);
}

void Class_LogLookUp(ClassLog *log) {
  CHECK_POINTER(log);
  int configured = 0;
  if (log->className && Log_GetVerboseLevel(log->className, &configured)) {
    log->level.store(configured, std::memory_order_relaxed);
    log->configured.store(1, std::memory_order_relaxed);
  }
  log->lookedUp.store(1, std::memory_order_release);
}

int Class_LogPrint(ClassLog *log, int indent, const char *format, va_list args) {
  CHECK_POINTER(log);
  CHECK_POINTER(format);
  char message[kClassMessageBytes];
  Str_VPrintf(message, sizeof message, format, args);
  char blanks[kClassIndentChars + 1];
  int blankCount = indent > 0 ? (indent * 4 > kClassIndentChars ? kClassIndentChars : indent * 4) : 0;
  memset(blanks, ' ', size_t(blankCount));
  blanks[blankCount] = '\0';

  ClassLogSink sink = log->sink ? log->sink : classDefaultSink;
  const char *className = log->className ? log->className : "";
  const char *id = static_cast<const char *>(log->object);
  const char *dot = log->logName ? "." : "";
  const char *logName = log->logName ? log->logName : "";
  // An object without an id is named by its address.
  char address[24];
  if (id == nullptr || id[0] == '\0') {
    Str_Printf(address, sizeof address, "%016llx",
               (unsigned long long)reinterpret_cast<uintptr_t>(log->object));
    id = address;
  }
  auto emit = [&](const char *piece) {
    sink(log->sinkContext, "%s.%8s%s%s - %s%s\n", className, id, dot, logName, blanks, piece);
  };
  if (message[0] == '\0') {
    emit("");
    return 1;
  }
  // Runs of CR and LF count as one break; empty pieces are dropped.
  for (char *p = message; *p;) {
    size_t length = strcspn(p, "\r\n");
    char *next = p + length;
    while (*next == '\r' || *next == '\n') *next++ = '\0';
    if (length > 0) emit(p);
    p = next;
  }
  return 1;
}
