// QVN.NotificationCenter: the page's way into the notification center. A page
// fires notifications, observes them under callback ids of its own (records
// reach it in the batches of the callback pass) and holds references on
// script-visible instances. The object is the page's
// InteropNotificationCenter; the operations act on the one center.
//
// A page may not fire "NotificationCenter"."Interop" (in any case, as the
// center's keys compare): that notification tells an instance's owner that
// pages took or dropped their references, and a forged {"addRef":false}
// would let the owner free an object still in use. Pages hold references
// only through addInstanceReference and removeInstanceReference.
//
// Threads: main thread (the center's script observers and retain functions
// are main-thread only).
#include <cstdint>

#include "core/bridge/apigen.h"
#include "core/bridge/coreinterop.h"
#include "core/platform/notification.h"
#include "core/runtime/log.h"
#include "core/runtime/str.h"

namespace {

using P = ApiGenParamType;
constexpr ApiGenParam kType{"type", P::String};
constexpr ApiGenParam kNotification{"notification", P::String};
constexpr ApiGenParam kSender{"sender", P::String};
constexpr ApiGenParam kInfo{"info", P::String};
constexpr ApiGenParam kDelay{"delay", P::Int32};
constexpr ApiGenParam kCallbackId{"callbackId", P::String};
constexpr ApiGenParam kInstanceId{"instanceId", P::String};

// 1 when a page may fire this triple.
int notificationCenterInteropMayFire(const char *type, const char *notification,
                                     const char *sender) {
  if (Str_CompareNoCase(type, "NotificationCenter") != 0 ||
      Str_CompareNoCase(notification, "Interop") != 0)
    return 1;
  Log_Print(LOG_WARNING, KSRC, 0, "NotificationCenter - Page may not fire - %s.%s - %s\n", type,
            notification, sender);
  return 0;
}

void fire(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = notificationCenterInteropMayFire(v[0].text, v[1].text, v[2].text) &&
                    NotificationCenter_FireWithJSONText(v[0].text, v[1].text, v[2].text, v[3].text);
}

void fireAfterDelay(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  // A negative delay is due at once.
  uint32_t delay = v[3].integer < 0 ? 0 : uint32_t(v[3].integer);
  answer->boolean =
      notificationCenterInteropMayFire(v[0].text, v[1].text, v[2].text) &&
      NotificationCenter_FireAfterDelayWithJSONText(v[0].text, v[1].text, v[2].text, delay,
                                                    v[4].text);
}

void addObserver(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = NotificationCenter_AddInteropObserver(v[0].text, v[1].text, "Global", v[2].text);
}

void addInstanceObserver(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = NotificationCenter_AddInteropObserver(v[0].text, v[1].text, v[2].text, v[3].text);
}

void removeObserver(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean =
      NotificationCenter_RemoveInteropObserver(v[0].text, v[1].text, "Global", v[2].text);
}

void removeInstanceObserver(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean =
      NotificationCenter_RemoveInteropObserver(v[0].text, v[1].text, v[2].text, v[3].text);
}

void addInstanceReference(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = NotificationCenter_RetainInteropInstance(v[0].text);
}

void removeInstanceReference(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = NotificationCenter_ReleaseInteropInstance(v[0].text);
}

using N = ApiGenName;
constexpr auto kBoolean = ApiGenAnswerType::Boolean;
constexpr ApiGenMethod kNotificationCenterMethods[] = {
    ApiGen_Method(0x58de09cf, "fire", N::Settled, {kType, kNotification, kSender, kInfo},
                  kBoolean, fire),
    ApiGen_Method(0x9936d42f, "fireAfterDelay", N::Settled,
                  {kType, kNotification, kSender, kDelay, kInfo}, kBoolean, fireAfterDelay),
    ApiGen_Method(0x2465756e, "addObserver", N::Settled, {kType, kNotification, kCallbackId},
                  kBoolean, addObserver),
    ApiGen_Method(0xa0a986bb, "addInstanceObserver", N::Settled,
                  {kType, kNotification, kSender, kCallbackId}, kBoolean, addInstanceObserver),
    ApiGen_Method(0x562fa096, "removeObserver", N::Settled, {kType, kNotification, kCallbackId},
                  kBoolean, removeObserver),
    ApiGen_Method(0x580d3f03, "removeInstanceObserver", N::Settled,
                  {kType, kNotification, kSender, kCallbackId}, kBoolean,
                  removeInstanceObserver),
    ApiGen_Method(0x9bef5c22, "addInstanceReference", N::Open, {kInstanceId}, kBoolean,
                  addInstanceReference),
    ApiGen_Method(0x534c5815, "removeInstanceReference", N::Open, {kInstanceId}, kBoolean,
                  removeInstanceReference),
};
static_assert(ApiGen_TableIsSound(kNotificationCenterMethods));

constexpr ApiGenClass kNotificationCenterClass{"NotificationCenter", kNotificationCenterMethods};
const ApiGenRegistrar kNotificationCenterRegistrar{&kNotificationCenterClass};

}  // namespace

int NotificationCenterInterop_Invoke(void *object, Dictionary *request, Dictionary *result) {
  return ApiGen_Dispatch(kNotificationCenterClass, object, request, result);
}
