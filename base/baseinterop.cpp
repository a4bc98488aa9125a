// The interop reference handler; see baseinterop.h.
#include "base/baseinterop.h"

#include "core/formats/dictionary.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"

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
