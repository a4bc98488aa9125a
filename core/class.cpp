// Class system: shared retain and release; see class.h.
#include "core/class.h"

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

extern "C" int Class_GenerateInstanceId(void *object) {
  CHECK_POINTER(object);
  static constexpr char kHexDigits[] = "0123456789abcdef";
  uint8_t guid[16];
  Platform_RandomBytes(guid, sizeof guid);
  char *id = static_cast<ObjectHeader *>(object)->instanceId;
  for (int i = 0; i < 16; i++) {
    id[2 * i] = kHexDigits[guid[i] >> 4];
    id[2 * i + 1] = kHexDigits[guid[i] & 0xF];
  }
  id[32] = '\0';
  return 1;
}
