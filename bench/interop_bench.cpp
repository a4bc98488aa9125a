// Method calls through the script bridge: Interop_Invoke of a Test.Params
// echo of a 100-byte string (parse the binding, find the instance, hash the
// name, dispatch through the frame, write the answer), in calls per second,
// against the JSON work that no call can avoid, measured in the same run:
// the same binding parsed into a Dictionary, its value read back, the answer
// object emptied and given that value, and the answer written, by the JSON
// and Dictionary modules alone. A baseline that wrote a ready-made answer
// would leave out building it, which every call must do. Goal: the bridge
// costs at most 1.5 x that work.
#include <benchmark/benchmark.h>
#include <fmt/core.h>

#include <string>

#include "bench/bench_ratio.h"
#include "core/bridge/coreinterop.h"
#include "core/bridge/interop.h"
#include "core/bridge/interoplibrary.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/platform/eventqueue.h"
#include "core/platform/thread.h"
#include "core/runtime/memstream.h"
#include "tests/test_params.h"

namespace {

constexpr double kGoalRatio = 1.5;

std::string gId;
const std::string kValue(100, 'v');
const std::string kBinding = R"({"method":"echo","value":")" + kValue + "\"}";

int benchOk(void) { return 1; }
int benchSetOverride(const char *, void *) { return 1; }
int benchSetOption(const char *, const char *) { return 1; }

void BM_Invoke_Ours(benchmark::State &state) {
  MemoryStream *out = nullptr;
  MemoryStream_Create(&out);
  MemoryStream_EnableGrowth(out);
  for (auto _ : state) {
    if (!Interop_Invoke(gId.c_str(), kBinding.c_str(), out)) state.SkipWithError("call failed");
    benchmark::DoNotOptimize(MemoryStream_GetLength(out));
  }
  state.SetItemsProcessed(state.iterations());
  MemoryStream_Release(&out);
}

void BM_Invoke_JsonOnly(benchmark::State &state) {
  MemoryStream *out = nullptr;
  MemoryStream_Create(&out);
  MemoryStream_EnableGrowth(out);
  Stream *stream = nullptr;
  MemoryStream_GetStream(out, &stream);
  Dictionary *request = nullptr, *answer = nullptr, *answerObject = nullptr;
  Dictionary_Create(&request);
  Dictionary_Create(&answer);
  Dictionary_SetStringPool(request, 1);  // as the bridge's own trees
  Dictionary_AddDictionary(answer, nullptr, &answerObject, nullptr);
  Json *reader = nullptr, *writer = nullptr;
  Json_Create(&reader);
  Json_Create(&writer);
  Json_SetDictionary(reader, request);
  Json_SetDictionary(writer, answer);
  for (auto _ : state) {
    MemoryStream_Empty(out);
    Dictionary *parsed = nullptr;
    const char *value = nullptr;
    if (!Json_ParseMemory(reader, kBinding.c_str(), int32_t(kBinding.size())) ||
        !Dictionary_GetDictionaryByIndex(request, 0, &parsed) ||
        !Dictionary_GetStringPointerByKey(parsed, "value", &value))
      state.SkipWithError("JSON failed");
    Dictionary_Clear(answerObject);
    Dictionary_SetStringByKey(answerObject, "returnValue", value);
    if (!Json_WriteStream(writer, stream)) state.SkipWithError("JSON failed");
    benchmark::DoNotOptimize(MemoryStream_GetLength(out));
  }
  state.SetItemsProcessed(state.iterations());
  Json_Release(&reader);
  Json_Release(&writer);
  Dictionary_Release(&request);
  Dictionary_Release(&answer);
  MemoryStream_Release(&out);
}

BENCHMARK(BM_Invoke_Ours);
BENCHMARK(BM_Invoke_JsonOnly);

}  // namespace

int main(int argc, char **argv) {
  Thread_Init();
  EventQueue_InitMain();
  Interop_Init();
  Interop_AddLibrary("params", nullptr, benchOk, benchOk, TestParams_GetInstance,
                     benchSetOverride, benchSetOption);
  char id[kInteropInstanceIdBytes] = {};
  if (!Interop_CreateInstance("Test.Params", id, sizeof id, nullptr, nullptr)) return 1;
  gId = id;
  int result = Bench_Main(argc, argv, [](const BenchRatioReporter &reporter) {
    const auto *ours = reporter.Find("BM_Invoke_Ours");
    const auto *json = reporter.Find("BM_Invoke_JsonOnly");
    if (ours == nullptr || json == nullptr) return;
    fmt::print("Interop_Invoke echo of 100 bytes: {:.0f} calls/s ({:.0f} ns); JSON work alone "
               "{:.0f} ns; bridge/JSON {:.2f} (goal: at most {:.1f})\n",
               1e9 / ours->realTime, ours->realTime, json->realTime,
               ours->realTime / json->realTime, kGoalRatio);
  });
  Interop_Shutdown();
  Thread_Shutdown();
  EventQueue *main = EventQueue_GetMain();
  Class_ReleaseObject(&main);
  return result;
}
