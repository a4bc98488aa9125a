// QVN.Analytics: see analyticsinterop.h.
#include "core/bridge/analyticsinterop.h"

#include <cstring>

#include "core/bridge/apigen.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/net/analytics.h"

namespace {

// The info text's top-level object as a Dictionary tree. 0 (nothing left
// allocated) for text that is not JSON or whose top level is not one object:
// handing such a root on would queue a keyless field or merge a keyless item
// into the properties every later event carries.
int analyticsInteropParse(const char *text, Dictionary **root, Dictionary **object) {
  *root = nullptr;
  *object = nullptr;
  Dictionary *parsed = nullptr;
  Json *json = nullptr;
  if (!Dictionary_Create(&parsed)) return 0;
  Json_Create(&json);
  Json_SetDictionary(json, parsed);
  int ok = Json_ParseMemory(json, text, int32_t(strnlen(text, INT32_MAX)));
  Json_Release(&json);
  int32_t count = 0;
  DictionaryItem *item = nullptr;
  int32_t type = kDictionaryTypeUnknown;
  const char *key = nullptr;
  if (ok) ok = Dictionary_GetCount(parsed, &count) && count == 1 &&
               Dictionary_GetFirstItem(parsed, &item) &&
               Dictionary_GetItemType(parsed, item, &type) && type == kDictionaryTypeDictionary &&
               !(Dictionary_GetItemKey(parsed, item, &key) && key != nullptr);
  if (!ok) {
    Dictionary_Release(&parsed);
    return 0;
  }
  Dictionary_Unwrap(parsed, object);
  *root = parsed;
  return 1;
}

using P = ApiGenParamType;
constexpr ApiGenParam kEnabled{"enabled", P::Boolean};
constexpr ApiGenParam kEventName{"eventName", P::String};
constexpr ApiGenParam kInfo{"info", P::String};

// Turning analytics off also drops the events still queued.
void setEnabled(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  Analytics_SetEnabled(v[0].boolean);
  answer->boolean = 1;
}

// v = eventName, info.
void sendEvent(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  Dictionary *root = nullptr, *info = nullptr;
  if (!analyticsInteropParse(v[1].text, &root, &info)) return;
  answer->boolean = Analytics_TrackEvent(v[0].text, info);
  Dictionary_Release(&root);
}

// The info's members join the shared properties, replacing equal keys.
void extend(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  Dictionary *root = nullptr, *info = nullptr, *properties = nullptr;
  if (!analyticsInteropParse(v[0].text, &root, &info)) return;
  answer->boolean = Analytics_GetProperties(&properties) && properties != nullptr &&
                    Dictionary_Merge(properties, info, kDictionaryMergeOverwrite);
  Dictionary_Release(&root);
}

using N = ApiGenName;
constexpr auto kBoolean = ApiGenAnswerType::Boolean;
constexpr ApiGenMethod kAnalyticsMethods[] = {
    ApiGen_Method(0xc232500a, "setEnabled", N::Settled, {kEnabled}, kBoolean, setEnabled),
    ApiGen_Method(0xc38ded2b, "sendEvent", N::Settled, {kEventName, kInfo}, kBoolean, sendEvent),
    ApiGen_Method(0x3bb9492c, "extend", N::Settled, {kInfo}, kBoolean, extend),
};
static_assert(ApiGen_TableIsSound(kAnalyticsMethods));

constexpr ApiGenClass kAnalyticsClass{"Analytics", kAnalyticsMethods};
const ApiGenRegistrar kAnalyticsRegistrar{&kAnalyticsClass};

}  // namespace

int AnalyticsInterop_Invoke(void *object, Dictionary *request, Dictionary *result) {
  return ApiGen_Dispatch(kAnalyticsClass, object, request, result);
}
