#include "core/bridge/interop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/bridge/interoplibrary.h"
#include "core/formats/dictionary.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/cmdline.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/str.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"

namespace {

// What the test modules saw. Counters are atomic: the threaded suite
// creates and releases from four threads.
struct Seen {
  std::atomic<int> creates{0}, processes{0}, releases{0}, secondAsked{0};
  std::string method;
  int32_t hash = -1;
  std::vector<std::string> order;  // releases and unloads, for shutdown
};
Seen *gSeen = nullptr;

// A "Test.Obj" object: only counts.
struct TestObj {
  int processed = 0;
};

int32_t releaseTestObj(void **object) {
  delete static_cast<TestObj *>(*object);
  *object = nullptr;
  gSeen->releases++;
  return 0;
}

int invokeTestObj(void *, Dictionary *request, Dictionary *result) {
  char method[kInteropMethodNameBytes];
  Dictionary_GetStringByKey(request, "method", method, int32_t(sizeof method));
  gSeen->method = method;
  Dictionary_GetInt32ByKey(request, "methodHash", &gSeen->hash);
  if (strcmp(method, "quiet") == 0) return 1;
  int fail = strcmp(method, "fail") == 0;
  Dictionary_SetBooleanByKey(result, "returnValue", fail ? 0 : 1);
  return fail ? 0 : 1;
}

int processTestObj(void *object) {
  gSeen->processes++;
  static_cast<TestObj *>(object)->processed++;
  return 1;
}

// The resolver's one shared object, retained on every resolution and always
// under the same id, as the repository resolver does.
Dictionary *gShared = nullptr;
constexpr char kSharedId[] = "5ba7ed0b1ec7000000000000000000aa";

// The first module: serves "Test.Obj" and "Test.Shared", and answers 1 for
// "Test.Liar" without serving it.
int createFirst(const char *className, char *id, int32_t idSize, void *, InteropDeliveryFunction,
                InteropInvokeFunction *invoke, InteropReleaseFunction *release,
                InteropProcessFunction *process, void **object) {
  if (strcmp(className, "Test.Liar") == 0) return 1;
  if (strcmp(className, "Test.Shared") == 0) {
    Str_Copy(id, kSharedId, idSize);
    *object = Class_Retain(gShared);
    *release = Class_Release;
    return 1;
  }
  if (strcmp(className, "Test.Obj") != 0) return 0;
  gSeen->creates++;
  *invoke = invokeTestObj;
  *release = releaseTestObj;
  *process = processTestObj;
  *object = new TestObj;
  return 1;
}

// The second module: serves "Test.Liar" and "Test.Other" (objects without
// functions) and counts how often it is asked.
int createSecond(const char *className, char *, int32_t, void *, InteropDeliveryFunction,
                 InteropInvokeFunction *, InteropReleaseFunction *, InteropProcessFunction *,
                 void **) {
  gSeen->secondAsked++;
  return strcmp(className, "Test.Liar") == 0 || strcmp(className, "Test.Other") == 0;
}

int unloadFirst(void) {
  gSeen->order.push_back("unload first");
  return 1;
}
int unloadSecond(void) {
  gSeen->order.push_back("unload second");
  return 1;
}
int32_t releaseRecorded(void **object) {
  gSeen->order.push_back("release");
  return Class_Release(object);
}
// A "Test.Obj" of the first module whose object is a tracked Dictionary.
int createTracked(const char *className, char *, int32_t, void *, InteropDeliveryFunction,
                  InteropInvokeFunction *, InteropReleaseFunction *release,
                  InteropProcessFunction *, void **object) {
  if (strcmp(className, "Test.Obj") != 0) return 0;
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  *object = d;
  *release = releaseRecorded;
  return 1;
}

auto *const kReturnTrue = reinterpret_cast<int (*)(void)>(Callback_ReturnTrue);
auto *const kSetOverride = reinterpret_cast<InteropSetOverrideFunction>(Callback_ReturnTrue);
auto *const kSetOption = reinterpret_cast<InteropSetOptionFunction>(Callback_ReturnTrue);

InteropLibrary *addModule(const char *name, InteropCreateInstanceFunction create,
                          InteropUnloadFunction unload = kReturnTrue) {
  return Interop_AddLibrary(name, nullptr, kReturnTrue, unload, create, kSetOverride, kSetOption);
}

class InteropBridgeTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    gSeen = &seen;
    Dictionary_Create(&gShared);
    Interop_Init();
    first = addModule("first", createFirst, unloadFirst);
    second = addModule("second", createSecond, unloadSecond);
  }
  void TearDown() override {
    Interop_Shutdown();
    Dictionary_Release(&gShared);
    gSeen = nullptr;
    ThreadTest::TearDown();
  }
  // Creates className under id (empty: a new one); the answer and the id.
  static int Create(const char *className, std::string *id, void *context = nullptr) {
    char buffer[kInteropInstanceIdBytes] = {};
    Str_Copy(buffer, id->c_str(), int32_t(sizeof buffer));
    int answer = Interop_CreateInstance(className, buffer, int32_t(sizeof buffer), context, context);
    *id = buffer;
    return answer;
  }
  static bool Found(const std::string &id) {
    InteropInstance *instance = nullptr;
    if (!Interop_FindInstance(id.c_str(), &instance)) return false;
    Interop_ReleaseInstanceRef(&instance);
    return true;
  }
  Seen seen;
  InteropLibrary *first = nullptr;
  InteropLibrary *second = nullptr;
};
class InteropBridgeThreaded : public InteropBridgeTest {};
class InteropBridgeDeathTest : public InteropBridgeTest {};

bool IsFreshId(const std::string &id) {
  return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A tick source that moves 1 ms on every read.
double gTick = 0;
double tickStep() { return gTick += 0.001; }
double tickStill() { return gTick; }

}  // namespace

TEST_F(InteropBridgeDeathTest, MisuseStops) {
  const char *kNotMain = "Function not on main thread";
  EXPECT_DEATH(std::thread([] { Interop_ProcessInstances(); }).join(), kNotMain);
  EXPECT_DEATH(std::thread([] { Interop_CountContextInstances(nullptr); }).join(), kNotMain);
  char small[8] = {};
  EXPECT_DEATH(Interop_CreateInstance("Test.Obj", small, 8, nullptr, nullptr),
               "Instance id buffer too small");
}

TEST_F(InteropBridgeTest, CreateFindAndRelease) {
  // Ids that mean "none" give a fresh, unguessable id.
  for (const char *none : {"", "undefined", "UNDEFINED"}) {
    SCOPED_TRACE(none);
    std::string id = none;
    ASSERT_EQ(Create("Test.Obj", &id), 1);
    EXPECT_TRUE(IsFreshId(id)) << id;
    EXPECT_EQ(Interop_ReleaseInstance(id.c_str()), 1);
  }
  Interop_ProcessInstances();
  EXPECT_EQ(seen.releases, 3);

  std::string id;
  ASSERT_EQ(Create("Test.Obj", &id), 1);
  std::string again = id, other = id, unknown = "0123";
  struct Step {
    const char *what;
    std::function<int()> run;
    int expected;
  };
  const std::vector<Step> steps = {
      {"a known id adds a reference", [&] { return Create("Test.Obj", &again); }, 1},
      {"a known id under another class", [&] { return Create("Test.Other", &other); }, 0},
      {"first release", [&] { return Interop_ReleaseInstance(id.c_str()); }, 1},
      {"still live after one of two", [&] { return Interop_ProcessInstances() && Found(id); }, 1},
      {"second release", [&] { return Interop_ReleaseInstance(id.c_str()); }, 1},
      {"found until the next pass", [&] { return int(Found(id)); }, 1},
      {"a release too many", [&] { return Interop_ReleaseInstance(id.c_str()); }, 0},
      {"the pass removes it", [&] { return Interop_ProcessInstances() && !Found(id); }, 1},
      {"released once", [&] { return int(seen.releases == 4); }, 1},
      {"an unknown id", [&] { return Interop_ReleaseInstance(unknown.c_str()); }, 0},
      {"no module serves it", [&] { return Create("Test.Nobody", &unknown); }, 0},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(s.what);
    EXPECT_EQ(s.run(), s.expected);
  }
  EXPECT_EQ(again, id);
  EXPECT_EQ(Interop_ProcessInstances(), 1);
  EXPECT_EQ(seen.releases, 4);
}

TEST_F(InteropBridgeTest, ModulesAreAskedInOrderAndResolversKeepTheirCount) {
  // The first module's 1 ends the walk, even for a class it does not serve.
  std::string liar;
  ASSERT_EQ(Create("Test.Liar", &liar), 1);
  EXPECT_EQ(seen.secondAsked, 0);
  std::string other;
  ASSERT_EQ(Create("Test.Other", &other), 1);
  EXPECT_EQ(seen.secondAsked, 1);
  MemoryStream *output = nullptr;
  MemoryStream_Create(&output);
  EXPECT_EQ(Interop_Invoke(liar.c_str(), "{\"method\":\"x\"}", output), 0);
  EXPECT_EQ(MemoryStream_GetLength(output), 0);
  MemoryStream_Release(&output);

  // A resolver that hands back a live id: the instance gains the page's
  // reference, and the reference the resolver took goes back.
  std::string shared;
  ASSERT_EQ(Create("Test.Shared", &shared), 1);
  EXPECT_EQ(shared, kSharedId);
  int32_t held = gShared->header.refCount.load();
  std::string again;
  ASSERT_EQ(Create("Test.Shared", &again), 1);
  EXPECT_EQ(again, kSharedId);
  EXPECT_EQ(gShared->header.refCount.load(), held);
  EXPECT_EQ(Interop_ReleaseInstance(kSharedId), 1);
  EXPECT_EQ(Interop_ReleaseInstance(kSharedId), 1);
  Interop_ProcessInstances();
  EXPECT_EQ(gShared->header.refCount.load(), 1);
  EXPECT_EQ(Interop_CountLibraryInstances(first), 1);  // the liar's
  EXPECT_EQ(Interop_CountLibraryInstances(second), 1);
}

TEST_F(InteropBridgeTest, MethodHashIsZlibCrc32OfTheFirst119Bytes) {
  std::string id;
  ASSERT_EQ(Create("Test.Obj", &id), 1);
  auto rows = Test_ReadRows("interop_hashes.txt");
  ASSERT_GE(rows.size(), 9u);
  Dictionary *request = nullptr, *result = nullptr;
  Dictionary_Create(&request);
  Dictionary_Create(&result);
  for (const auto &[line, fields] : rows) {
    SCOPED_TRACE(line);
    std::vector<uint8_t> bytes = Test_HexToBytes(fields[0] == "-" ? "" : fields[0]);
    std::string name(bytes.begin(), bytes.end());
    Dictionary_SetStringByKey(request, "method", name.c_str());
    EXPECT_EQ(Interop_InvokeMethod(id.c_str(), request, result), 1);
    EXPECT_EQ(gSeen->hash, std::stoi(fields[1]));
    EXPECT_EQ(gSeen->method, name.substr(0, kInteropMethodNameBytes - 1));
    if (name.size() >= kInteropMethodNameBytes) {
      EXPECT_NE(gSeen->hash, std::stoi(fields[2]));
    }
  }
  Dictionary_Release(&request);
  Dictionary_Release(&result);
}

TEST_F(InteropBridgeTest, InvokeAnswersOnJson) {
  std::string id;
  ASSERT_EQ(Create("Test.Obj", &id), 1);
  MemoryStream *output = nullptr;
  MemoryStream_Create(&output);
  MemoryStream_EnableGrowth(output);
  auto text = [&] {
    uint8_t *p = nullptr;
    MemoryStream_GetBuffer(output, 0, &p);
    std::string s(reinterpret_cast<char *>(p), size_t(MemoryStream_GetLength(output)));
    if (p != nullptr) MemoryStream_ReleaseBuffer(output, &p);
    return s;
  };
  struct Row {
    const char *id;
    const char *binding;
    int expected;
    const char *output;
    const char *method;
    int32_t hash;
  };
  const Row rows[] = {
      {id.c_str(), "not json", 0, "", "", -1},
      {id.c_str(), "[1,2]", 0, "", "", -1},
      {"00000000000000000000000000000000", "{\"method\":\"fire\"}", 0, "", "", -1},
      {id.c_str(), "{}", 1, "{\"returnValue\":true}", "", 0},
      {id.c_str(), "{\"method\":\"quiet\"}", 1, "{}", "quiet", -1},
      {id.c_str(), "{\"method\":\"fail\",\"arg\":[1]}", 0, "{\"returnValue\":false}", "fail",
       -1},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.binding);
    gSeen->method = "";
    gSeen->hash = -1;
    EXPECT_EQ(Interop_Invoke(r.id, r.binding, output), r.expected);
    EXPECT_EQ(text(), r.output);
    EXPECT_EQ(gSeen->method, r.method);
    if (r.hash != -1) {
      EXPECT_EQ(gSeen->hash, r.hash);
    }
  }
  // What the page receives from a failed call is a document Python reads.
  std::string path = Test_VectorPath("interop_invoke.json");
  std::ofstream(path, std::ios::binary) << text();
  std::string script = Test_ReadVectors("interop_script.txt");
  script.erase(script.find_last_not_of('\n') + 1);
  int status = -1;
  std::string read = Test_RunCommand("/usr/bin/python3 " + script + " --json " + path, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read, "{\"returnValue\":false}\n");
  MemoryStream_Release(&output);
}

TEST_F(InteropBridgeTest, PassIsBoundedResumesAndRemovesOnce) {
  constexpr int kInstances = 5000;
  Platform_SetTickSourceForTest(tickStep);
  std::vector<std::string> ids(kInstances);
  for (std::string &id : ids) {
    ASSERT_EQ(Create("Test.Obj", &id), 1);
  }
  // The pass reads the clock at its start and after each instance.
  int perPass = 0;
  for (double start = gTick + 0.001, t = start; t - start < kInteropPassSeconds; perPass++)
    t += 0.001;
  Interop_ProcessInstances();
  EXPECT_EQ(seen.processes, perPass);
  int passes = 1;
  while (seen.processes < kInstances && passes < kInstances) {
    Interop_ProcessInstances();
    passes++;
  }
  EXPECT_EQ(seen.processes, kInstances);
  EXPECT_EQ(passes, (kInstances + perPass - 1) / perPass);
  int onceEach = 0;
  for (const std::string &id : ids) {
    InteropInstance *instance = nullptr;
    ASSERT_TRUE(Interop_FindInstance(id.c_str(), &instance));
    onceEach += static_cast<TestObj *>(instance->object)->processed == 1;
    Interop_ReleaseInstanceRef(&instance);
  }
  EXPECT_EQ(onceEach, kInstances);
  // Each once per cycle: a new cycle starts at the first entry again.
  Interop_ProcessInstances();
  EXPECT_EQ(seen.processes, kInstances + perPass);

  // Forced removal mid-cycle leaves no position behind.
  EXPECT_EQ(Interop_CountContextInstances(nullptr), kInstances);
  Interop_RemoveAllInstances();
  EXPECT_EQ(seen.releases, kInstances);
  Interop_ProcessInstances();
  EXPECT_EQ(seen.processes, kInstances + perPass);
  EXPECT_EQ(Interop_CountContextInstances(nullptr), 0);
  Platform_SetTickSourceForTest(nullptr);
}

TEST_F(InteropBridgeTest, CountsPerLibraryAndContextWithTheActiveLine) {
  Interop_Shutdown();
  CmdLine_Init("keelson --debuginterop");
  Interop_Init();
  CmdLine_Free();
  first = addModule("first", createFirst);
  second = addModule("second", createSecond);
  Platform_SetTickSourceForTest(tickStill);
  int a = 0, b = 0;
  std::string id1, id2, id3;
  ASSERT_TRUE(Create("Test.Obj", &id1, &a) && Create("Test.Obj", &id2, &a) &&
              Create("Test.Other", &id3, &b));
  struct Row {
    double advance;
    int32_t library, context;
    int activeLines;
  };
  const Row rows[] = {{0, 2, 2, 0}, {14.5, 2, 2, 0}, {0.75, 2, 2, 2}, {1, 2, 2, 0}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.advance);
    gTick += r.advance;
    TestLogCapture capture;
    EXPECT_EQ(Interop_CountLibraryInstances(first), r.library);
    EXPECT_EQ(Interop_CountContextInstances(&a), r.context);
    std::string log = capture.Take();
    int lines = 0;
    for (size_t p = 0; (p = log.find(") active", p)) != std::string::npos; p++) lines++;
    EXPECT_EQ(lines, r.activeLines) << log;
  }
  EXPECT_EQ(Interop_CountLibraryInstances(second), 1);
  EXPECT_EQ(Interop_CountContextInstances(&b), 1);
  Platform_SetTickSourceForTest(nullptr);
}

TEST_F(InteropBridgeTest, ShutdownReleasesBeforeUnloadingAndLeaksNothing) {
  Interop_Shutdown();
  seen.order.clear();
  Mem_Init(1);
  int64_t countBefore = 0, bytesBefore = 0, countAfter = 0, bytesAfter = 0;
  Mem_GetUsage(&countBefore, &bytesBefore);
  Interop_Init();
  addModule("first", createTracked, unloadFirst);
  addModule("second", createFirst, unloadSecond);
  Dictionary *options = nullptr;
  Dictionary_Create(&options);
  Dictionary_SetStringByKey(options, "a", "b");
  Interop_SetOptions(options);
  Dictionary_Release(&options);
  for (int i = 0; i < 7; i++) {
    std::string id;
    ASSERT_EQ(Create("Test.Obj", &id), 1);
  }
  Interop_Shutdown();
  Mem_GetUsage(&countAfter, &bytesAfter);
  Mem_Shutdown();
  EXPECT_EQ(countAfter, countBefore);
  EXPECT_EQ(bytesAfter, bytesBefore);
  std::vector<std::string> expected(7, "release");
  expected.push_back("unload first");
  expected.push_back("unload second");
  EXPECT_EQ(seen.order, expected);
  Interop_Init();  // for TearDown
}

TEST_F(InteropBridgeThreaded, CreateFindReleaseBesidePasses) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kOperations = 20000;
#else
  constexpr int kOperations = 100000;
#endif
  constexpr int kThreads = 4;
  constexpr int kRounds = kOperations / 3 / kThreads;  // create, find, release
  std::atomic<int> running{kThreads}, refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; i++) {
        std::string id;
        if (Create("Test.Obj", &id) != 1 || !Found(id) ||
            Interop_ReleaseInstance(id.c_str()) != 1)
          refused++;
      }
      running--;
    });
  while (running > 0) {
    Interop_ProcessInstances();
    std::this_thread::yield();
  }
  for (std::thread &t : threads) t.join();
  for (int pass = 0; pass < kOperations && Interop_CountContextInstances(nullptr) > 0; pass++)
    Interop_ProcessInstances();
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(seen.creates, kThreads * kRounds);
  EXPECT_EQ(seen.releases, kThreads * kRounds);
  EXPECT_EQ(Interop_CountContextInstances(nullptr), 0);
}
