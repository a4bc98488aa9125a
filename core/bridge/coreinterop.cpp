// CoreInterop: see coreinterop.h.
#include "core/bridge/coreinterop.h"

#include <cstring>

#include "core/bridge/analyticsinterop.h"
#include "core/bridge/interoplibrary.h"
#include "core/bridge/platforminterop.h"
#include "core/bridge/webgetinterop.h"
#include "core/platform/interopcallback.h"
#include "core/platform/pipe.h"
#include "core/platform/platform.h"
#include "core/platform/process.h"
#include "core/runtime/class.h"
#include "core/runtime/core.h"
#include "core/runtime/str.h"

namespace {

// Fills the out-words for one class: 1 when it did.
typedef int (*CoreInteropMake)(void *userContext, InteropDeliveryFunction delivery,
                               InteropInvokeFunction *invoke, InteropReleaseFunction *release,
                               InteropProcessFunction *process, void **object);

// The bridge's release type over InteropNotificationCenter_Release.
int32_t coreInteropReleaseNotificationCenter(void **object) {
  auto *center = static_cast<InteropNotificationCenter *>(*object);
  *object = nullptr;
  return InteropNotificationCenter_Release(&center);
}

int coreInteropMakeNotificationCenter(void *userContext, InteropDeliveryFunction delivery,
                                      InteropInvokeFunction *invoke,
                                      InteropReleaseFunction *release, InteropProcessFunction *,
                                      void **object) {
  InteropNotificationCenter *center = nullptr;
  if (!InteropNotificationCenter_Get(&center, userContext, delivery)) return 0;
  *invoke = NotificationCenterInterop_Invoke;
  *release = coreInteropReleaseNotificationCenter;
  *object = center;
  return 1;
}

int coreInteropProcessProcess(void *object) {
  return Process_Process(static_cast<Process *>(object));
}

int coreInteropProcessPipe(void *object) { return Pipe_Poll(static_cast<Pipe *>(object)); }

// A class whose instance owns a new object of type T, made by create,
// dispatched by invoke and advanced by process.
template <typename T, int (*create)(T **), InteropInvokeFunction dispatch,
          InteropProcessFunction advance>
int coreInteropMakeOwned(void *, InteropDeliveryFunction, InteropInvokeFunction *invoke,
                         InteropReleaseFunction *release, InteropProcessFunction *process,
                         void **object) {
  T *created = nullptr;
  if (!create(&created)) return 0;
  *invoke = dispatch;
  *release = Class_Release;
  *process = advance;
  *object = created;
  return 1;
}
constexpr CoreInteropMake coreInteropMakeProcess =
    coreInteropMakeOwned<Process, Process_Create, ProcessInterop_Invoke,
                         coreInteropProcessProcess>;
constexpr CoreInteropMake coreInteropMakePipe =
    coreInteropMakeOwned<Pipe, Pipe_Create, PipeInterop_Invoke, coreInteropProcessPipe>;

struct CoreInteropClass {
  const char *name;
  CoreInteropMake make;  // a class with objects
  // 1: the object starts with an ObjectHeader whose id becomes the
  // instance's id, so what the object fires names the instance.
  int ownId = 0;
  // A class without an object: its dispatcher acts on a service of the
  // program. Neither this nor make: not served.
  InteropInvokeFunction dispatcher = nullptr;
};

// Copies an object's own id into the bridge's id buffer: at most idSize
// bytes with the terminator, and never past the id field.
void coreInteropCopyId(const void *object, char *id, int32_t idSize) {
  const char *own = static_cast<const ObjectHeader *>(object)->instanceId;
  int32_t field = int32_t(sizeof(ObjectHeader::instanceId));
  Str_Copy(id, own, idSize < field ? idSize : field);
}

constexpr CoreInteropClass kCoreInteropClasses[] = {
    {"QVN.Process", coreInteropMakeProcess, 1},
    {"QVN.Pipe", coreInteropMakePipe, 1},
    {"QVN.Registry", nullptr, 0, RegistryInterop_Invoke},
    {"QVN.FileSystem", nullptr, 0, FileSystemInterop_Invoke},
    {"QVN.Platform", nullptr, 0, PlatformInterop_Invoke},
    {"QVN.NotificationCenter", coreInteropMakeNotificationCenter},
    {"QVN.Analytics", nullptr, 0, AnalyticsInterop_Invoke},
    {"QVN.WebGet", nullptr, 0, WebGetInterop_Invoke},
};

int coreInteropLoad(void) { return 1; }
int coreInteropUnload(void) { return 1; }
int coreInteropSetOverride(const char *, void *) { return 1; }
int coreInteropSetOption(const char *, const char *) { return 1; }

}  // namespace

int CoreInterop_GetInstance(const char *className, char *id, int32_t idSize, void *userContext,
                            InteropDeliveryFunction delivery, InteropInvokeFunction *invoke,
                            InteropReleaseFunction *release, InteropProcessFunction *process,
                            void **object) {
  Interop_ClearResolved(className, id, invoke, release, process, object);
  for (const CoreInteropClass &row : kCoreInteropClasses) {
    if (strcmp(row.name, className) != 0) continue;
    if (row.dispatcher != nullptr) {
      *invoke = row.dispatcher;
      return 1;
    }
    if (row.make != nullptr && row.make(userContext, delivery, invoke, release, process, object)) {
      if (row.ownId && idSize > 0) coreInteropCopyId(*object, id, idSize);
      return 1;
    }
    *invoke = nullptr;
    *release = nullptr;
    *process = nullptr;
    *object = nullptr;
    return 0;
  }
  return 0;
}

InteropLibrary *CoreInterop_AddLibrary(void) {
  char path[kInteropLibraryNameBytes] = {};
  Platform_GetModuleFileName(nullptr, path, int(sizeof path));
  return Interop_AddLibrary(path, nullptr, coreInteropLoad, coreInteropUnload,
                            CoreInterop_GetInstance, coreInteropSetOverride,
                            coreInteropSetOption);
}
