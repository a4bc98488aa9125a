// Class system: shared retain and release; see class.h.
#include "core/class.h"

#include <cstring>

#include "core/platform.h"

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

namespace {

// Ids are drawn from a per-thread buffer of random bytes: one system call per
// 32 ids instead of one per id, which otherwise dominates small one-shot work
// such as hashing 64 bytes on a stack context. Ids need uniqueness, not
// secrecy; child processes are started by exec, so no buffer is shared
// across a fork.
constexpr size_t kClassIdPoolBytes = 512;

void classTakeIdBytes(uint8_t guid[16]) {
  thread_local uint8_t pool[kClassIdPoolBytes];
  thread_local size_t used = kClassIdPoolBytes;
  if (used == kClassIdPoolBytes) {
    Platform_RandomBytes(pool, sizeof pool);
    used = 0;
  }
  memcpy(guid, pool + used, 16);
  memset(pool + used, 0, 16);  // an id is handed out once
  used += 16;
}

}  // namespace

extern "C" int Class_GenerateInstanceId(void *object) {
  CHECK_POINTER(object);
  static constexpr char kHexDigits[] = "0123456789abcdef";
  uint8_t guid[16];
  classTakeIdBytes(guid);
  char *id = static_cast<ObjectHeader *>(object)->instanceId;
  for (int i = 0; i < 16; i++) {
    id[2 * i] = kHexDigits[guid[i] >> 4];
    id[2 * i + 1] = kHexDigits[guid[i] & 0xF];
  }
  id[32] = '\0';
  return 1;
}
