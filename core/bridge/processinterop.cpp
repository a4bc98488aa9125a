// QVN.Process: a page's own program to start. The object is a Process made
// for the instance (its id is the instance id, so the process's "Process"
// notifications name the instance); the operations are its setters, getters
// and start. A text that does not fit its field answers false and keeps the
// old text, so a long name never launches or checks a different file. The
// show-window flag is stored and answered; programs here have no window.
//
// Threads: main thread (the process fires its notifications there).
#include <cstdint>

#include "core/bridge/apigen.h"
#include "core/bridge/coreinterop.h"
#include "core/platform/process.h"

namespace {

using P = ApiGenParamType;
constexpr ApiGenParam kApplicationName{"applicationName", P::String};
constexpr ApiGenParam kArguments{"arguments", P::String};
constexpr ApiGenParam kWorkingDirectory{"workingDirectory", P::String};
constexpr ApiGenParam kShowWindow{"showWindow", P::Boolean};
constexpr ApiGenParam kElevationRights{"elevationRights", P::Int32};
constexpr ApiGenParam kSha1{"sHA1", P::String};
constexpr ApiGenParam kSha1Target{"sHA1Target", P::String};
constexpr ApiGenParam kAuthenticateTarget{"authenticateTarget", P::String};
// getApplicationFileName's answer: a file name and its terminator.
constexpr int kProcessInteropFileNameBytes = 8192;

Process *process(void *object) { return static_cast<Process *>(object); }

template <int (*Set)(Process *, const char *)>
void setText(void *object, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Set(process(object), v[0].text);
}

template <const char *(*Get)(Process *)>
void getText(void *object, const ApiGenValue *, ApiGenAnswer *answer) {
  answer->text = Get(process(object));
}

void getApplicationFileName(void *object, const ApiGenValue *, ApiGenAnswer *answer) {
  answer->storage.resize(kProcessInteropFileNameBytes);
  Process_GetFileName(process(object), answer->storage.data(), kProcessInteropFileNameBytes);
  answer->storage.resize(answer->storage.find('\0'));
  answer->text = answer->storage.c_str();
}

void setShowWindow(void *object, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Process_SetShowWindow(process(object), v[0].boolean);
}

void getShowWindow(void *object, const ApiGenValue *, ApiGenAnswer *answer) {
  answer->boolean = Process_GetShowWindow(process(object)) != 0;
}

void setElevationRights(void *object, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Process_SetElevation(process(object), int32_t(v[0].integer));
}

void getElevationRights(void *object, const ApiGenValue *, ApiGenAnswer *answer) {
  answer->integer = Process_GetElevation(process(object));
}

void launch(void *object, const ApiGenValue *, ApiGenAnswer *answer) {
  answer->boolean = Process_Start(process(object));
}

void getId(void *object, const ApiGenValue *, ApiGenAnswer *answer) {
  uint32_t id = 0;
  Process_GetProcessId(process(object), &id);
  answer->integer = id;
}

void getRunningTime(void *object, const ApiGenValue *, ApiGenAnswer *answer) {
  answer->number = Process_GetElapsed(process(object));
}

using N = ApiGenName;
constexpr auto kBoolean = ApiGenAnswerType::Boolean;
constexpr auto kInt64 = ApiGenAnswerType::Int64;
constexpr auto kString = ApiGenAnswerType::String;
constexpr ApiGenMethod kProcessMethods[] = {
    ApiGen_Method(0xaabae254, "setApplicationName", N::Settled, {kApplicationName}, kBoolean,
                  setText<Process_SetApplicationName>),
    ApiGen_Method(0x8fb1694a, "getApplicationName", N::Settled, {}, kString,
                  getText<Process_GetApplicationName>),
    ApiGen_Method(0xe0d8bd85, "getApplicationFileName", N::Open, {}, kString,
                  getApplicationFileName),
    ApiGen_Method(0x690e2bd0, "setArguments", N::Settled, {kArguments}, kBoolean,
                  setText<Process_SetArguments>),
    ApiGen_Method(0x6610fd53, "getArguments", N::Settled, {}, kString,
                  getText<Process_GetArguments>),
    ApiGen_Method(0x72d22cf8, "setWorkingDirectory", N::Settled, {kWorkingDirectory}, kBoolean,
                  setText<Process_SetWorkingDirectory>),
    ApiGen_Method(0x88f81a10, "getWorkingDirectory", N::Settled, {}, kString,
                  getText<Process_GetWorkingDirectory>),
    ApiGen_Method(0x5e5673ac, "setShowWindow", N::Settled, {kShowWindow}, kBoolean,
                  setShowWindow),
    ApiGen_Method(0x2ae8bfe0, "getShowWindow", N::Settled, {}, kBoolean, getShowWindow),
    ApiGen_Method(0xb462ff0c, "setElevationRights", N::Settled, {kElevationRights}, kBoolean,
                  setElevationRights),
    ApiGen_Method(0x91697412, "getElevationRights", N::Settled, {}, kInt64, getElevationRights),
    ApiGen_Method(0x0b0acf64, "setSHA1", N::Settled, {kSha1}, kBoolean,
                  setText<Process_SetSha1>),
    ApiGen_Method(0x989b77b9, "getSHA1", N::Settled, {}, kString, getText<Process_GetSha1>),
    ApiGen_Method(0xda0b1709, "setSHA1Target", N::Settled, {kSha1Target}, kBoolean,
                  setText<Process_SetSha1Target>),
    ApiGen_Method(0xaeb5db45, "getSHA1Target", N::Settled, {}, kString,
                  getText<Process_GetSha1Target>),
    ApiGen_Method(0x44395bb6, "setAuthenticateTarget", N::Settled, {kAuthenticateTarget},
                  kBoolean, setText<Process_SetAuthenticateTarget>),
    ApiGen_Method(0x1d244de1, "getAuthenticateTarget", N::Settled, {}, kString,
                  getText<Process_GetAuthenticateTarget>),
    ApiGen_Method(0x79b757f5, "launch", N::Settled, {}, kBoolean, launch),
    ApiGen_Method(0xd954caf0, "getId", N::Settled, {}, kInt64, getId),
    ApiGen_Method(0x84696948, "getRunningTime", N::Settled, {}, ApiGenAnswerType::Float64,
                  getRunningTime),
};
static_assert(ApiGen_TableIsSound(kProcessMethods));

constexpr ApiGenClass kProcessClass{"Process", kProcessMethods};
const ApiGenRegistrar kProcessRegistrar{&kProcessClass};

}  // namespace

int ProcessInterop_Invoke(void *object, Dictionary *request, Dictionary *result) {
  return ApiGen_Dispatch(kProcessClass, object, request, result);
}
