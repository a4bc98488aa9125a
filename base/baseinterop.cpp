// The interop reference handler and the repository's script class; see
// baseinterop.h.
#include "base/baseinterop.h"

#include <cstring>

#include "base/repository.h"
#include "core/bridge/apigen.h"
#include "core/formats/dictionary.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"

namespace {

constexpr const char *kRepositoryClassName = "QVN.Repository";

void setActive(void *object, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Repository_SetActive(static_cast<Repository *>(object), v[0].boolean);
}

constexpr ApiGenMethod kRepositoryMethods[] = {
    ApiGen_Method(0x527be9ce, "setActive", ApiGenName::Settled,
                  {{{"active", ApiGenParamType::Boolean}}}, ApiGenAnswerType::Boolean, setActive),
};
static_assert(ApiGen_TableIsSound(kRepositoryMethods));

constexpr ApiGenClass kRepositoryClass{"Repository", kRepositoryMethods};
const ApiGenRegistrar kRepositoryRegistrar{&kRepositoryClass};

// The tracked object behind id when it is a Repository, else NULL. The tag
// is read only from an object the instance table holds, so a stale or
// forged id never reaches memory that is not an object.
Repository *repositoryFromId(const char *id) {
  auto *header = static_cast<ObjectHeader *>(Class_ConvertFromInstanceId(id));
  if (header == nullptr || header->classTag != kRepositoryTag) return nullptr;
  return reinterpret_cast<Repository *>(header);
}

}  // namespace

int Interop_HandleAddRef(void *object, const char *, const char *, const char *instance,
                         Dictionary *info) {
  CHECK_POINTER(object);
  DictionaryType type = kDictionaryTypeUnknown;
  int32_t addRef = 0;
  if (info == nullptr || !Dictionary_GetTypeByKey(info, "addRef", &type) ||
      type != kDictionaryTypeBoolean || !Dictionary_GetBooleanByKey(info, "addRef", &addRef)) {
    // A malformed notification must not drop a reference its owner holds.
    Log_Print(LOG_DEBUG, KSRC, 0, "Interop reference change without addRef ignored (%s)\n",
              instance != nullptr ? instance : "");
    return 1;
  }
  if (addRef) {
    Class_Retain(object);
  } else {
    Class_Release(&object);
  }
  return 1;
}

int RepositoryInterop_GetInstance(const char *className, char *id, int32_t, void *,
                                  InteropDeliveryFunction, InteropInvokeFunction *invoke,
                                  InteropReleaseFunction *release,
                                  InteropProcessFunction *process, void **object) {
  Interop_ClearResolved(className, id, invoke, release, process, object);
  if (strcmp(className, kRepositoryClassName) != 0) return 0;
  Repository *repository = repositoryFromId(id);
  if (repository == nullptr) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Instance %s is not a type of %s\n", id, className);
    return 0;
  }
  *invoke = RepositoryInterop_Invoke;
  *release = Class_Release;
  *object = Class_Retain(repository);
  return 1;
}

int RepositoryInterop_Invoke(void *repository, Dictionary *request, Dictionary *result) {
  return ApiGen_Dispatch(kRepositoryClass, repository, request, result);
}
