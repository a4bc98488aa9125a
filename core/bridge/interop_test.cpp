#include "core/bridge/interop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/bridge/interoplibrary.h"
#include "core/formats/dictionary.h"
#include "core/platform/directorysize.h"
#include "core/platform/eventqueue.h"
#include "core/platform/notification.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/cmdline.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/str.h"
#include "tests/interop_test_util.h"
#include "tests/log_capture.h"
#include "tests/page_recorder.h"
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
  EXPECT_DEATH(std::thread([] { Interop_Pump(); }).join(), kNotMain);
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

// A thread reuses its last find only while no instance has gone since, in
// any state: after a restart the same id names another instance, and the
// old one's place holds a third.
TEST_F(InteropBridgeTest, AnIdFoundBeforeARestartFindsTheNewInstance) {
  std::string id = kSharedId;
  ASSERT_EQ(Create("Test.Obj", &id), 1);
  InteropInstance *instance = nullptr;
  ASSERT_EQ(Interop_FindInstance(kSharedId, &instance), 1);
  EXPECT_NE(instance->object, static_cast<void *>(gShared));
  Interop_ReleaseInstanceRef(&instance);
  Interop_Shutdown();
  Interop_Init();
  first = addModule("first", createFirst, unloadFirst);
  std::string filler;  // takes the old instance's place
  ASSERT_EQ(Create("Test.Obj", &filler), 1);
  id.clear();
  ASSERT_EQ(Create("Test.Shared", &id), 1);
  ASSERT_EQ(id, kSharedId);
  ASSERT_EQ(Interop_FindInstance(kSharedId, &instance), 1);
  EXPECT_EQ(instance->object, static_cast<void *>(gShared));
  Interop_ReleaseInstanceRef(&instance);
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

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kManyRecords = 4000;
constexpr int kWorkerFires = 1000;
#else
constexpr int kManyRecords = 20000;
constexpr int kWorkerFires = 5000;
#endif
constexpr auto kBound = std::chrono::seconds(30);

// The bridge and the notification center as the host starts them, with the
// recorder as the host's delivery function; the host's stop order after.
class InteropDeliveryTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    Start();
  }
  void TearDown() override {
    Platform_SetTickSourceForTest(nullptr);
    Stop();
    ThreadTest::TearDown();
  }
  static void Start() {
    Interop_Init();
    NotificationCenter_Init();
    Interop_SetDeliveryFunction(PageRecorder_Deliver);
  }
  static void Stop() {
    Path_StopDirectorySize();
    Interop_Shutdown();
    NotificationCenter_Shutdown();
  }
  // The page's QVN.NotificationCenter object, made without an instance.
  static InteropNotificationCenter *Attach(PageRecorder *page) {
    InteropNotificationCenter *object = nullptr;
    InteropNotificationCenter_Get(&object, page, PageRecorder_Deliver);
    return object;
  }
  // A directory holding one file of five bytes.
  static std::string SmallTree() {
    std::string dir = std::filesystem::temp_directory_path() /
                      ("keelson_interop_" + std::to_string(Platform_GetProcessId()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/five") << "12345";
    return dir;
  }
};
class InteropDeliveryThreaded : public InteropDeliveryTest {};

void flushMain() { EventQueue_Flush(EventQueue_GetMain()); }
// Listed events and callbacks from other threads waiting to be listed.
int32_t pendingOnMain() {
  EventQueue *queue = EventQueue_GetMain();
  CriticalSection_Enter(queue->lock);
  const int32_t pending = queue->list.count + int32_t(queue->intakeTail.load() - queue->intakeHead);
  CriticalSection_Leave(queue->lock);
  return pending;
}

// Runs the host's main loop until done() holds or the bound passes.
bool loopUntil(const std::function<bool()> &done) {
  auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    Thread_Yield();
    flushMain();
  }
  return done();
}

// Queues the record {"seq":seq}, as a script observer does.
void queueRecord(int seq) {
  Dictionary *record = nullptr;
  Dictionary_Create(&record);
  Dictionary_SetInt32ByKey(record, "seq", seq);
  Interop_QueueCallbackArgument(nullptr, record);
  Dictionary_Release(&record);
}
std::string batchOf(std::initializer_list<int> seqs) {
  std::string text = "[";
  for (int seq : seqs)
    text += (text.size() > 1 ? ",{\"seq\":" : "{\"seq\":") + std::to_string(seq) + "}";
  return text + "]";
}

// QVN.NotificationCenter instances as the core module makes them: the user
// context is the page.
int32_t releasePageObject(void **object) {
  auto *o = static_cast<InteropNotificationCenter *>(*object);
  *object = nullptr;
  return InteropNotificationCenter_Release(&o);
}
int createPageObject(const char *className, char *, int32_t, void *page,
                     InteropDeliveryFunction delivery, InteropInvokeFunction *,
                     InteropReleaseFunction *release, InteropProcessFunction *, void **object) {
  if (strcmp(className, "QVN.NotificationCenter") != 0) return 0;
  InteropNotificationCenter *o = nullptr;
  InteropNotificationCenter_Get(&o, page, delivery);
  *object = o;
  *release = releasePageObject;
  return 1;
}
std::string openPage(PageRecorder *page) {
  char id[kInteropInstanceIdBytes] = {};
  EXPECT_EQ(Interop_CreateInstance("QVN.NotificationCenter", id, sizeof id, page, page), 1);
  return id;
}

int recordInfo(void *context, const char *, const char *, const char *, Dictionary *info) {
  static_cast<std::vector<std::string> *>(context)->push_back(InteropTest_JsonText(info));
  return 1;
}

}  // namespace

TEST_F(InteropDeliveryTest, EveryPageReceivesTheBatchAsPythonReadsIt) {
  PageRecorder a, b;
  InteropNotificationCenter *objectA = Attach(&a), *objectB = Attach(&b);
  std::vector<std::string> addRefs;
  NotificationCenter_RegisterInteropInstance("r1", &addRefs, recordInfo);
  NotificationCenter_AddInteropObserver("Task", "Status", nullptr, "cb");
  NotificationCenter_FireWithJSON("Task", "Status", "r1", "{\"n\":1}");
  NotificationCenter_FireWithJSON("Task", "Status", "plain", "{\"n\":2,\"s\":\"\xc3\xa9\\\"\"}");
  ASSERT_TRUE(loopUntil([&] { return !a.texts.empty(); }));
  flushMain();
  ASSERT_EQ(a.texts.size(), 1u);
  EXPECT_EQ(b.texts, a.texts);
  EXPECT_EQ(a.objects[0], objectA);
  EXPECT_EQ(b.objects[0], objectB);
  EXPECT_EQ(PageRecorder_PythonRead(a.texts, "interop_batch"),
            std::vector<std::string>{
                "[{\"callbackId\":\"cb\",\"info\":{\"n\":1},\"notification\":\"Status\","
                "\"retained\":true,\"sender\":\"r1\",\"type\":\"Task\"},{\"callbackId\":\"cb\","
                "\"info\":{\"n\":2,\"s\":\"\\u00e9\\\"\"},\"notification\":\"Status\",\"sender\":"
                "\"plain\",\"type\":\"Task\"}]"});
  // One page reference per page: the second release lets the sender go.
  std::vector<std::string> expected = {"{\"addRef\":true}"};
  EXPECT_EQ(addRefs, expected);
  NotificationCenter_ReleaseInteropInstance("r1");
  EXPECT_EQ(addRefs, expected);
  NotificationCenter_ReleaseInteropInstance("r1");
  expected.push_back("{\"addRef\":false}");
  EXPECT_EQ(addRefs, expected);
  NotificationCenter_UnregisterInteropInstance("r1", &addRefs, recordInfo);
}

TEST_F(InteropDeliveryTest, EdgeCasesOfTheCallbackPass) {
  PageRecorder page;
  InteropNotificationCenter *first = nullptr, *second = nullptr;
  InteropCallback *entry = nullptr, *found = nullptr;
  Dictionary *record = nullptr;
  Dictionary_Create(&record);
  Dictionary_SetStringByKey(record, "k", "v");
  void *left = nullptr;
  struct Step {
    const char *what;
    std::function<bool()> holds;
  };
  const Step steps[] = {
      {"without a page object the records are dropped",
       [&] {
         Interop_QueueCallbackArgument(nullptr, record);
         Interop_Pump();
         return page.texts.empty() && !Interop_TakeCallbackArgument(&left) &&
                record->header.refCount == 1;
       }},
      {"one object and one delivery for the same page and function",
       [&] {
         InteropNotificationCenter_Get(&first, &page, PageRecorder_Deliver);
         InteropNotificationCenter_Get(&second, &page, PageRecorder_Deliver);
         Interop_QueueCallbackArgument(nullptr, record);
         Interop_Pump();
         return first == second && page.texts.size() == 1 && record->header.refCount == 1;
       }},
      {"one record is an array of one object", [&] { return page.texts[0] == "[{\"k\":\"v\"}]"; }},
      {"a released entry is found until the next pass",
       [&] {
         Interop_AddCallback("gone", nullptr, nullptr, &entry);
         Interop_ReleaseCallback(&entry);
         return Interop_FindCallback("gone", &found) == 1;
       }},
      {"and gone after it", [&] { return Interop_Pump() && !Interop_FindCallback("gone", &found); }},
      {"an empty queue delivers nothing", [&] { return page.texts.size() == 1; }},
  };
  for (const Step &step : steps) EXPECT_TRUE(step.holds()) << step.what;
  InteropNotificationCenter_Release(&first);
  InteropNotificationCenter_Release(&second);
  Dictionary_Release(&record);
}

TEST_F(InteropDeliveryTest, PageObjectsLiveWhileAnInstanceOrADeliveryHoldsThem) {
  addModule("pages", createPageObject);
  PageRecorder a, b, d, e;
  InteropNotificationCenter *objectD = Attach(&d);
  std::string a1 = openPage(&a), a2 = openPage(&a), b1 = openPage(&b);
  EXPECT_EQ(InteropNotificationCenter_GetCount(), 3);
  // b lets its instance go and pumps from inside its delivery, after
  // queuing another record; d lets its object go and opens page e.
  b.then = [&](PageRecorder *, void *) {
    if (b.texts.size() > 1) return;
    EXPECT_EQ(Interop_ReleaseInstance(b1.c_str()), 1);
    queueRecord(100);
    Interop_Pump();
  };
  d.then = [&](PageRecorder *, void *) {
    if (d.texts.size() > 1) return;
    InteropNotificationCenter_Release(&objectD);
    openPage(&e);
  };
  queueRecord(1);
  Interop_Pump();
  EXPECT_EQ(InteropNotificationCenter_GetCount(), 3);  // a, b and e
  // One of a's two instances goes: a still receives. b's instance goes.
  EXPECT_EQ(Interop_ReleaseInstance(a1.c_str()), 1);
  ASSERT_EQ(pendingOnMain(), 1);
  flushMain();
  EXPECT_EQ(InteropNotificationCenter_GetCount(), 2);
  EXPECT_EQ(Interop_ReleaseInstance(a2.c_str()), 1);
  queueRecord(2);
  Interop_Pump();
  EXPECT_EQ(InteropNotificationCenter_GetCount(), 1);
  flushMain();  // the wake of record 2 finds nothing left
  EXPECT_EQ(a.texts, (std::vector<std::string>{batchOf({1}), batchOf({100})}));
  EXPECT_EQ(b.texts, std::vector<std::string>{batchOf({1})});
  EXPECT_EQ(d.texts, std::vector<std::string>{batchOf({1})});
  EXPECT_EQ(e.texts, (std::vector<std::string>{batchOf({100}), batchOf({2})}));
}

TEST_F(InteropDeliveryTest, BudgetCutsThePassAndOneWakeCarriesTheRest) {
  PageRecorder page;
  Attach(&page);
  constexpr int kEntries = 2000;
  struct Row {
    const char *what;
    int records;
    int releasedEntries;
  };
  const Row rows[] = {{"many records", kManyRecords, 0}, {"many released entries", 1, kEntries}};
  Platform_SetTickSourceForTest(tickStep);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    page.texts.clear();
    for (int i = 0; i < row.releasedEntries; i++) {
      InteropCallback *entry = nullptr;
      Interop_AddCallback(("e" + std::to_string(i)).c_str(), nullptr, nullptr, &entry);
      Interop_ReleaseCallback(&entry);
    }
    for (int i = 0; i < row.records; i++) queueRecord(i);
    Interop_Pump();
    InteropCallback *found = nullptr;
    std::string lastEntry = "e" + std::to_string(row.releasedEntries - 1);
    if (row.releasedEntries > 0) {
      EXPECT_EQ(Interop_FindCallback(lastEntry.c_str(), &found), 1);
    } else {
      ASSERT_EQ(page.texts.size(), 1u);
      EXPECT_LT(PageRecorder_Records(page).size(), size_t(row.records));
    }
    int flushes = 0;
    for (; pendingOnMain() > 0 && flushes < kManyRecords; flushes++) {
      EXPECT_EQ(pendingOnMain(), 1);
      flushMain();
    }
    EXPECT_GT(flushes, 1);
    EXPECT_EQ(Interop_FindCallback(lastEntry.c_str(), &found), 0);
    std::vector<std::string> records = PageRecorder_Records(page);
    ASSERT_EQ(records.size(), size_t(row.records));
    int inOrder = 0;
    for (int i = 0; i < row.records; i++)
      inOrder += records[i] == "{\"seq\":" + std::to_string(i) + "}";
    EXPECT_EQ(inOrder, row.records);
  }
}

TEST_F(InteropDeliveryTest, RecordsQueuedTogetherWakeOnceAndArriveAsOneBatch) {
  PageRecorder page;
  Attach(&page);
  Platform_SetTickSourceForTest(tickStill);
  uint64_t wakes = TestWake_Count();
  for (int i = 0; i < 1000; i++) queueRecord(i);
  EXPECT_EQ(pendingOnMain(), 1);
  EXPECT_EQ(TestWake_Count() - wakes, 1u);
  flushMain();
  ASSERT_EQ(page.texts.size(), 1u);
  EXPECT_EQ(PageRecorder_Records(page).size(), 1000u);
  EXPECT_EQ(pendingOnMain(), 0);
}

TEST_F(InteropDeliveryTest, DirectorySizeAnswerArrivesInABatch) {
  PageRecorder page;
  Attach(&page);
  std::string dir = SmallTree();
  ASSERT_EQ(Path_GetDirectorySizeAsync(dir.c_str(), "size1"), 1);
  ASSERT_TRUE(loopUntil([&] { return !page.texts.empty(); }));
  EXPECT_EQ(PageRecorder_Records(page),
            std::vector<std::string>{"{\"callbackId\":\"size1\",\"type\":\"FileSystem\",\"sender\":"
                                     "\"Global\",\"info\":{\"successful\":true,\"result\":5}}"});
  // The pass that delivered the answer freed its entry.
  InteropCallback *found = nullptr;
  EXPECT_EQ(Interop_FindCallback("size1", &found), 0);
  std::filesystem::remove_all(dir);
}

TEST_F(InteropDeliveryTest, ShutdownReleasesQueuedRecordsAndLaterCallsAreHarmless) {
  std::string dir = SmallTree();
  Stop();
  // Room in the main queue's and the thread module's pools, and the main
  // queue's intake for other threads' callbacks, so that the posts and the
  // worker below take no memory of their own.
  for (int i = 0; i < kInteropPoolGrowth; i++)
    EventQueue_PostCallback(nullptr, reinterpret_cast<void *>(uintptr_t(i + 1)), [](void *) {});
  Thread *thread = nullptr;
  ASSERT_EQ(Thread_Start(&thread, nullptr,
                         [](void *) {
                           EventQueue_PostCallback(nullptr, nullptr, [](void *) {});
                           return 0;
                         }),
            1);
  Thread_Join(-1, &thread);
  flushMain();
  TestLogCapture log;
  Mem_Init(1);
  int64_t countBefore = 0, bytesBefore = 0, countAfter = 0, bytesAfter = 0;
  Mem_GetUsage(&countBefore, &bytesBefore);
  Start();
  PageRecorder page;
  Attach(&page);
  NotificationCenter_AddInteropObserver("Task", "Status", nullptr, "cb");
  for (int i = 0; i < 3; i++) NotificationCenter_FireWithJSON("Task", "Status", nullptr, "{}");
  // A computation whose answer the main thread has not taken yet.
  ASSERT_EQ(Path_GetDirectorySizeAsync(dir.c_str(), "size"), 1);
  Interop_Shutdown();
  EXPECT_NE(log.Take().find("Interop - Callback not removed - Id cb\n"), std::string::npos);
  // The center's observers still hold the freed entries.
  NotificationCenter_FireWithJSON("Task", "Status", nullptr, "{}");
  Path_StopDirectorySize();
  NotificationCenter_Shutdown();
  EXPECT_TRUE(page.texts.empty());
  Mem_GetUsage(&countAfter, &bytesAfter);
  Mem_Shutdown();
  EXPECT_EQ(countAfter, countBefore);
  EXPECT_EQ(bytesAfter, bytesBefore);
  std::filesystem::remove_all(dir);
  Start();
}

TEST_F(InteropDeliveryThreaded, WorkerFiresReachThePageOnce) {
  constexpr int kWorkers = 4;
  PageRecorder page;
  Attach(&page);
  NotificationCenter_AddInteropObserver("Worker", "Tick", nullptr, "tick");
  std::atomic<int> done{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kWorkers; t++)
    workers.emplace_back([&, t] {
      std::string instance = "w" + std::to_string(t);
      Dictionary *info = nullptr;
      Dictionary_Create(&info);
      for (int n = 0; n < kWorkerFires; n++) {
        Dictionary_SetInt32ByKey(info, "seq", n);
        NotificationCenter_Fire("Worker", "Tick", instance.c_str(), info);
      }
      Dictionary_Release(&info);
      done++;
    });
  bool finished = loopUntil([&] { return done.load() == kWorkers && pendingOnMain() == 0; });
  if (!finished) NotificationCenter_Shutdown();  // lets blocked workers go
  for (std::thread &w : workers) w.join();
  ASSERT_TRUE(finished);
  std::vector<std::string> records = PageRecorder_Records(page), expected;
  for (int t = 0; t < kWorkers; t++)
    for (int n = 0; n < kWorkerFires; n++)
      expected.push_back("{\"type\":\"Worker\",\"notification\":\"Tick\",\"sender\":\"w" +
                         std::to_string(t) + "\",\"callbackId\":\"tick\",\"info\":{\"seq\":" +
                         std::to_string(n) + "}}");
  std::sort(records.begin(), records.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_TRUE(records == expected) << records.size() << " records";
}
