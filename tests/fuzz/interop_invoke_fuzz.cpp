// libFuzzer target for method calls through the script bridge: the input is
// a method binding handed to Interop_Invoke on a QVN.NotificationCenter
// instance and on a Test.Params instance, and (first byte odd) a request
// Dictionary built from the bytes handed to Interop_InvokeMethod, so that
// items of every type reach the frame under every parameter name. A crash,
// a sanitizer report, a leak or a fatal stop is a finding; a result of 1
// without "returnValue" is one too. tests/fuzz/run.sh runs it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/bridge/apigen.h"
#include "core/bridge/coreinterop.h"
#include "core/bridge/interop.h"
#include "core/bridge/interoplibrary.h"
#include "core/formats/dictionary.h"
#include "core/platform/eventqueue.h"
#include "core/platform/notification.h"
#include "core/platform/thread.h"
#include "core/runtime/memstream.h"
#include "tests/test_params.h"

namespace {

// The state is rebuilt after this many inputs, so that observers and
// delayed fires that inputs leave behind stay bounded.
constexpr int kFuzzInputsPerState = 2048;

const char *const kFuzzKeys[] = {"method", "type", "notification", "sender", "info",
                                 "delay", "callbackId", "instanceId", "value", "path",
                                 "#methodHash", "methodHash"};
const char *const kFuzzMethods[] = {
    "fire", "fireAfterDelay", "addObserver", "addInstanceObserver", "removeObserver",
    "removeInstanceObserver", "addInstanceReference", "removeInstanceReference", "bool",
    "int32", "int64", "double", "echo", "path", "base64", "null"};

std::string gCenterId, gParamsId;
int gInputs = 0;

void fuzzDeliver(void *, void *, const char *, int32_t) {}

int fuzzOk(void) { return 1; }
int fuzzSetOverride(const char *, void *) { return 1; }
int fuzzSetOption(const char *, const char *) { return 1; }

void fuzzStart() {
  Interop_Init();
  NotificationCenter_Init();
  Interop_SetDeliveryFunction(fuzzDeliver);
  CoreInterop_AddLibrary();
  Interop_AddLibrary("params", nullptr, fuzzOk, fuzzOk, TestParams_GetInstance, fuzzSetOverride,
                     fuzzSetOption);
  char id[kInteropInstanceIdBytes] = {};
  static int page;
  if (!Interop_CreateInstance("QVN.NotificationCenter", id, sizeof id, &page, &page)) abort();
  gCenterId = id;
  id[0] = '\0';
  if (!Interop_CreateInstance("Test.Params", id, sizeof id, nullptr, nullptr)) abort();
  gParamsId = id;
}

void fuzzStop() {
  Interop_Shutdown();
  NotificationCenter_Shutdown();
}

// Items from the bytes: each takes a key byte, a type byte and a length
// byte, then that many bytes as its text.
void fuzzBuildRequest(const uint8_t *data, size_t size, Dictionary *request) {
  size_t at = 0;
  while (at + 3 <= size) {
    const char *key = kFuzzKeys[data[at] % (sizeof kFuzzKeys / sizeof kFuzzKeys[0])];
    uint8_t type = data[at + 1];
    size_t length = data[at + 2] % 64;
    at += 3;
    if (length > size - at) length = size - at;
    std::string text(reinterpret_cast<const char *>(data + at), length);
    at += length;
    DictionaryItem *item = nullptr;
    if ((type & 0x80) && key[0] == 'm') text = kFuzzMethods[(length + type) % 16];
    switch (type % 6) {
      case 0:
        Dictionary_AddString(request, key, text.c_str(), &item);
        break;
      case 1:
        Dictionary_AddBoolean(request, key, length & 1, &item);
        break;
      case 2:
        Dictionary_AddNull(request, key, &item);
        break;
      case 3:  // a number item holding any text
        Dictionary_AddFloat64(request, key, 0.0, &item);
        Dictionary_SetItemText(request, item, text.c_str(), int32_t(text.size()));
        break;
      case 4:
        Dictionary_AddInt64(request, key, int64_t(length) - 32, &item);
        break;
      default:
        Dictionary_AddDictionary(request, key, nullptr, &item);
        break;
    }
  }
}

void fuzzCheck(int answer, Dictionary *result) {
  if (answer && !Dictionary_HasKey(result, "returnValue")) {
    fprintf(stderr, "interop_invoke_fuzz: success without returnValue\n");
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  Thread_Init();
  EventQueue_InitMain();
  fuzzStart();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  if (++gInputs % kFuzzInputsPerState == 0) {
    fuzzStop();
    fuzzStart();
  }
  std::string binding(reinterpret_cast<const char *>(data), size);
  MemoryStream *out = nullptr;
  MemoryStream_Create(&out);
  MemoryStream_EnableGrowth(out);
  Interop_Invoke(gCenterId.c_str(), binding.c_str(), out);
  Interop_Invoke(gParamsId.c_str(), binding.c_str(), out);
  MemoryStream_Release(&out);
  if (size > 0 && (data[0] & 1)) {
    for (const std::string &id : {gCenterId, gParamsId}) {
      Dictionary *request = nullptr, *result = nullptr;
      Dictionary_Create(&request);
      Dictionary_Create(&result);
      fuzzBuildRequest(data + 1, size - 1, request);
      fuzzCheck(Interop_InvokeMethod(id.c_str(), request, result), result);
      Dictionary_Release(&request);
      Dictionary_Release(&result);
    }
  }
  NotificationCenter_ProcessPendingFires();
  EventQueue_Flush(EventQueue_GetMain());
  Interop_DeliverCallbacks();
  return 0;
}
