// Class: the header every object starts with, and the pointer-and-tag check
// that every public operation makes on its object before anything else.
//
// Invariants: (1) the instance id comes first, so a pointer to an object is
// also a pointer to its id text. (2) the reference count starts at 1 in the
// class's Create and the object is destroyed when it reaches 0.
//
// Threads: the count changes atomically; everything else belongs to the class.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/core.h"

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
