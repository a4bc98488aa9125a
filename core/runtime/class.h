// Class: the header every object starts with, the pointer-and-tag check that
// every public operation makes on its object before anything else, shared
// retain and release, instance ids with the process-wide table that maps an
// id back to its object (ids are what scripts and plug-ins hold), and the
// class-scoped log lines.
//
// Invariants: (1) the instance id comes first, so a pointer to an object is
// also a pointer to its id text. (2) the reference count starts at 1 in the
// class's Create and the object is destroyed when it reaches 0. (3) a tracked
// object stays in the instance table until its release path untracks it.
//
// Threads: the count changes atomically on any thread; the destroy function
// runs on the thread that dropped the last reference. The instance table is
// guarded by the class lock. A ClassLog is not locked: its first-use lookup
// may run twice with the same result.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "core/runtime/core.h"

// Called with the caller's handle (pointer to the object pointer) when the
// last reference is dropped.
typedef void (*ClassDestroyFunction)(void **object);

struct ObjectHeader {
  char instanceId[36];              // NUL-terminated; empty until an id is given
  uint32_t classTag;                // constant per class
  std::atomic<int32_t> refCount;    // starts at 1
  ClassDestroyFunction destroy;
};

// Stops with "Pointer is NULL\n" or "Class mismatch pointer (...)" at the
// caller's position unless object is non-NULL and carries tag.
inline void Class_Check(const void *object, uint32_t tag, const char *sourcePath, int line) {
  if (object == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
  uint32_t found = static_cast<const ObjectHeader *>(object)->classTag;
  if (found != tag)
    Core_Abort(sourcePath, line,
               "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", object, tag,
               found);
}
#define CLASS_CHECK(object, tag) Class_Check((object), (tag), KSRC)

// Adds one reference atomically. NULL gives NULL.
void *Class_Retain(void *object);

// Drops one reference; at 0 calls the destroy function with the handle. Sets
// *object to NULL whether or not it was destroyed and returns the new count.
// Stops the program on a NULL handle or a missing destroy function.
extern "C" int32_t Class_Release(void **object);

// The shared "release" entry of operation tables; forwards to Class_Release.
void Class_GenericRelease(void **object);

// The shared do-nothing entry of operation tables: ignores its arguments and
// returns 1.
int Callback_ReturnTrue(...);

// Releases a typed object pointer: Class_ReleaseObject(&dictionary).
template <typename T>
inline int32_t Class_ReleaseObject(T **object) {
  return Class_Release(reinterpret_cast<void **>(object));
}

// Writes a fresh instance id (32 lower-case hex digits from 16 random bytes)
// into the object's id field. Returns 1.
extern "C" int Class_GenerateInstanceId(void *object);

// Enters the object into the instance table under its id (both arguments
// are the object). Returns 1.
extern "C" int Class_TrackInstance(void *object, void *value);
// Removes it; an object that is not in the table stops the program.
extern "C" int Class_UntrackInstance(void *object);
// The tracked object with that id (case-sensitive), or NULL (also for NULL).
extern "C" void *Class_ConvertFromInstanceId(const char *idText);
// The id text of an object: the object pointer itself.
extern "C" const char *Class_ConvertToInstanceId(void *object);

// Sets up the instance table and the class lock; a second call stops the
// program. Class_Shutdown releases both.
void Class_Init(void);
void Class_Shutdown(void);

// A printf-like sink for class-scoped lines.
typedef void (*ClassLogSink)(void *context, const char *format, ...);

// The per-object log context that classes embed. The class fills object and
// className (and may set logName, forced, level, sink); the rest is cached on
// first use. Without a sink, lines go to the log at DEBUG, with sinkContext
// (when set) as the source path.
struct ClassLog {
  const void *object;       // its id text is read through it
  const char *className;
  const char *logName;      // NULL: none
  int32_t forced;           // log at the stored level whatever is configured
  std::atomic<int32_t> level;
  std::atomic<int32_t> configured;
  std::atomic<int32_t> lookedUp;
  void *sinkContext;
  ClassLogSink sink;
};

// The first-use step of Class_LogEnabled: looks the class's verbosity up
// (Log_GetVerboseLevel) into level and configured, once per context.
void Class_LogLookUp(ClassLog *log);

// 1 when a line of that level is to be written: the class is configured for
// verbose logging (or forced) and level is at most the stored level. Inline:
// it sits on per-byte paths, where a disabled log must cost a few loads.
inline int Class_LogEnabled(ClassLog *log, int level) {
  if (log == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  if (!log->lookedUp.load(std::memory_order_acquire)) Class_LogLookUp(log);
  if (!log->forced && !log->configured.load(std::memory_order_relaxed)) return 0;
  return level <= log->level.load(std::memory_order_relaxed) ? 1 : 0;
}
// Formats the message (up to 2048 bytes) and hands each line of it, prefixed
// "<class>.<id or address>[.<logName>] - <indent>", to the sink. Returns 1.
int Class_LogPrint(ClassLog *log, int indent, const char *format, va_list args);
