#include "core/bridge/interoplibrary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/runtime/class.h"
#include "tests/log_capture.h"
#include "tests/wake_hook.h"

namespace {

// Everything the recording module receives, in order.
std::vector<std::string> gCalls;
void *gDictionaryDelete = nullptr;
void *gDictionaryRelease = nullptr;

int recordOverride(const char *name, void *function) {
  gCalls.push_back(name);
  if (std::string(name) == "Dictionary_Delete") gDictionaryDelete = function;
  if (std::string(name) == "Dictionary_Release") gDictionaryRelease = function;
  return 1;
}
int recordOption(const char *name, const char *value) {
  gCalls.push_back(std::string(name) + "=" + value);
  return 1;
}
int recordLoad(void) {
  gCalls.push_back("Load");
  return 1;
}
int recordUnload(void) {
  gCalls.push_back("Unload");
  return 1;
}
int createNothing(const char *, char *, int32_t, void *, InteropDeliveryFunction,
                  InteropInvokeFunction *, InteropReleaseFunction *, InteropProcessFunction *,
                  void **) {
  return 0;
}

class InteropLibraryTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    gCalls.clear();
    Interop_Init();
  }
  void TearDown() override {
    Interop_Shutdown();
    ThreadTest::TearDown();
  }
  static InteropLibrary *AddRecording(const char *name) {
    return Interop_AddLibrary(name, nullptr, recordLoad, recordUnload, createNothing,
                              recordOverride, recordOption);
  }
};

const char *const kHostNames[kInteropHostFunctionCount] = {
    "Debug_Print", "Debug_Flags", "Class_ConvertFromInstanceId", "Class_ConvertToInstanceId",
    "Class_TrackInstance", "Class_UntrackInstance", "Authenticate_Enabled",
    "Registry_Authorize", "WebGet_Authorize", "Dictionary_Create", "Dictionary_Delete",
    "Dictionary_Release", "NotificationCenter_AddInstanceObserver",
    "NotificationCenter_RemoveInstanceObserver", "NotificationCenter_AssertInstance",
    "NotificationCenter_Fire", "NotificationCenter_FireAfterDelay",
    "NotificationCenter_FireWithJSON", "NotificationCenter_FireWithJSONV",
    "NotificationCenter_FireAfterDelayWithJSON", "NotificationCenter_FireAfterDelayWithJSONV",
    "Interop_GenerateInstanceId"};

}  // namespace

TEST_F(InteropLibraryTest, RegistrationHandsOverFunctionsLoadThenOptions) {
  Dictionary *options = nullptr;
  Dictionary_Create(&options);
  Json *json = nullptr;
  Json_Create(&json);
  Json_SetDictionary(json, options);
  const char kConfig[] =
      "{\"a\":true,\"b\":false,\"c\":null,\"d\":\"\",\"e\":12,\"f\":1.5e3,"
      "\"g\":{\"h\":\"x\",\"i\":[1,\"two\",{\"j\":null}],\"k\":[],\"l\":{}},\"m\":\"last\"}";
  ASSERT_EQ(Json_ParseMemory(json, kConfig, int32_t(sizeof kConfig - 1)), 1);
  Json_Release(&json);
  Interop_SetOptions(options);
  Dictionary_Release(&options);

  std::string longName(400, 'p');
  InteropLibrary *library = AddRecording(longName.c_str());
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(std::string(library->name), longName.substr(0, kInteropLibraryNameBytes - 1));
  std::vector<std::string> expected(kHostNames, kHostNames + kInteropHostFunctionCount);
  expected.insert(expected.end(),
                  {"Load", "a=true", "b=false", "c=null", "d=", "e=12", "f=1.5e3", "g.h=x",
                   "g.i[0]=1", "g.i[1]=two", "g.i[2].j=null", "m=last"});
  EXPECT_EQ(gCalls, expected);
  EXPECT_EQ(gDictionaryDelete, reinterpret_cast<void *>(&Class_Release));
  EXPECT_EQ(gDictionaryRelease, reinterpret_cast<void *>(&Class_Release));

  // A broadcast reaches every module in registration order.
  AddRecording("second");
  gCalls.clear();
  EXPECT_EQ(Interop_BroadcastOption("n", "v"), 1);
  EXPECT_EQ(gCalls, (std::vector<std::string>{"n=v", "n=v"}));
  gCalls.clear();
  Interop_Shutdown();
  EXPECT_EQ(gCalls, (std::vector<std::string>{"Unload", "Unload"}));
  Interop_Init();
}

TEST_F(InteropLibraryTest, EachMissingEntryPointIsRefusedWithItsLine) {
  const char *const names[] = {"Interop_CreateInstance", "Interop_SetOverride",
                               "Interop_SetOption", "Interop_Load", "Interop_Unload"};
  for (int missing = 0; missing < 5; missing++) {
    SCOPED_TRACE(names[missing]);
    TestLogCapture capture;
    InteropLibrary *library = Interop_AddLibrary(
        "plugin", nullptr, missing == 3 ? nullptr : recordLoad,
        missing == 4 ? nullptr : recordUnload, missing == 0 ? nullptr : createNothing,
        missing == 1 ? nullptr : recordOverride, missing == 2 ? nullptr : recordOption);
    std::string log = capture.Take();
    EXPECT_EQ(library, nullptr);
    std::string line = std::string("ERROR - Failed to load interop: ") + names[missing] +
                       " not found.\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find("Failed to load interop"), log.rfind("Failed to load interop")) << log;
  }
  EXPECT_TRUE(gCalls.empty());
}

// ---- Plug-in libraries -------------------------------------------------------

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <type_traits>

#define INTEROP_PLUGIN_TYPES_ONLY
#include "core/bridge/interop_internal.h"
#include "core/bridge/interop_plugin.h"
#include "core/net/webget.h"
#include "core/platform/notification.h"
#include "core/platform/registry.h"
#include "core/runtime/memstream.h"
#include "core/security/auth.h"
#include "tests/pin_store_util.h"
#include "tests/test_util.h"

namespace {

// The host's functions have exactly the types that a plug-in calls them by
// (a noexcept host function converts as well).
constexpr InteropHostDebugPrint kDebugPrint = &Debug_Print;
constexpr InteropHostDebugFlags kDebugFlags = &Debug_Flags;
constexpr InteropHostClassConvertFromInstanceId kFromId = &Class_ConvertFromInstanceId;
constexpr InteropHostClassConvertToInstanceId kToId = &Class_ConvertToInstanceId;
constexpr InteropHostClassTrackInstance kTrack = &Class_TrackInstance;
constexpr InteropHostClassUntrackInstance kUntrack = &Class_UntrackInstance;
constexpr InteropHostAuthenticateEnabled kAuthenticate = &Authenticate_Enabled;
constexpr InteropHostRegistryAuthorize kRegistry = &Registry_Authorize;
constexpr InteropHostWebGetAuthorize kWebGet = &WebGet_Authorize;
constexpr InteropHostDictionaryCreate kCreate = &Dictionary_Create;
constexpr InteropHostDictionaryDelete kDelete = &Class_Release;
constexpr InteropHostDictionaryRelease kRelease = &Class_Release;
constexpr InteropHostNotificationCenterAddInstanceObserver kAdd =
    &NotificationCenter_AddInstanceObserver;
constexpr InteropHostNotificationCenterRemoveInstanceObserver kRemove =
    &NotificationCenter_RemoveInstanceObserver;
constexpr InteropHostNotificationCenterAssertInstance kAssert = &NotificationCenter_AssertInstance;
constexpr InteropHostNotificationCenterFire kFire = &NotificationCenter_Fire;
constexpr InteropHostNotificationCenterFireAfterDelay kFireLater = &NotificationCenter_FireAfterDelay;
constexpr InteropHostNotificationCenterFireWithJSON kFireJson = &NotificationCenter_FireWithJSON;
constexpr InteropHostNotificationCenterFireWithJSONV kFireJsonV = &NotificationCenter_FireWithJSONV;
constexpr InteropHostNotificationCenterFireAfterDelayWithJSON kFireJsonLater =
    &NotificationCenter_FireAfterDelayWithJSON;
constexpr InteropHostNotificationCenterFireAfterDelayWithJSONV kFireJsonVLater =
    &NotificationCenter_FireAfterDelayWithJSONV;
constexpr InteropHostInteropGenerateInstanceId kGenerate = &Interop_GenerateInstanceId;
static_assert(std::is_same_v<InteropPluginCreateInstanceFunction, InteropCreateInstanceFunction>);
static_assert(std::is_same_v<InteropPluginDeliveryFunction, InteropDeliveryFunction>);
static_assert(std::is_same_v<InteropPluginSetOverrideFunction, InteropSetOverrideFunction>);
static_assert(std::is_same_v<InteropPluginSetOptionFunction, InteropSetOptionFunction>);
static_assert(std::is_same_v<InteropPluginLoadFunction, InteropLoadFunction>);
static_assert(std::is_same_v<InteropPluginUnloadFunction, InteropUnloadFunction>);

TEST(InteropPluginHeader, ObjectHeaderPrefixIsTheHostsOwn) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  auto *host = reinterpret_cast<char *>(d);
  auto *plugin = reinterpret_cast<const DictionaryObjectHeader *>(d);
  EXPECT_EQ(reinterpret_cast<const char *>(plugin->instanceId), d->header.instanceId);
  EXPECT_EQ(reinterpret_cast<const char *>(&plugin->classTag),
            reinterpret_cast<char *>(&d->header.classTag));
  EXPECT_EQ(reinterpret_cast<const char *>(&plugin->referenceCount),
            reinterpret_cast<char *>(&d->header.refCount));
  EXPECT_EQ(reinterpret_cast<const char *>(&plugin->destroy),
            reinterpret_cast<char *>(&d->header.destroy));
  EXPECT_EQ(reinterpret_cast<const char *>(&plugin->table), reinterpret_cast<char *>(&d->table));
  EXPECT_EQ(reinterpret_cast<const char *>(&plugin->table) - host, 56);
  EXPECT_EQ(plugin->table, d->table);
  Dictionary_Release(&d);
  // The typed host functions are the ones that SetOverride hands over.
  EXPECT_EQ(kInteropHostFunctions[9].address(), reinterpret_cast<void *>(kCreate));
  EXPECT_EQ(kInteropHostFunctions[11].address(), reinterpret_cast<void *>(kRelease));
  EXPECT_EQ(kInteropHostFunctions[17].address(), reinterpret_cast<void *>(kFireJson));
  EXPECT_EQ(kInteropHostFunctions[21].address(), reinterpret_cast<void *>(kGenerate));
  (void)kDebugPrint, (void)kDebugFlags, (void)kFromId, (void)kToId, (void)kTrack, (void)kUntrack;
  (void)kAuthenticate, (void)kRegistry, (void)kWebGet, (void)kDelete, (void)kAdd, (void)kRemove;
  (void)kAssert, (void)kFire, (void)kFireLater, (void)kFireJsonV, (void)kFireJsonLater;
  (void)kFireJsonVLater;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Whether the file at path is mapped into this process.
bool mapped(const char *path) {
  char canonical[PATH_MAX];
  if (realpath(path, canonical) == nullptr) return false;
  return readFile("/proc/self/maps").find(canonical) != std::string::npos;
}

size_t countOf(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) count++;
  return count;
}

int echoObserver(void *context, const char *, const char *, const char *, Dictionary *info) {
  char text[64] = "";
  Dictionary_GetStringByKey(info, "text", text, int32_t(sizeof text));
  static_cast<std::string *>(context)->assign(text);
  return 1;
}

constexpr const char *kFull = KEELSON_INTEROP_PLUGIN_FULL;
constexpr const char *kNoUnload = KEELSON_INTEROP_PLUGIN_NO_UNLOAD;
constexpr const char *kSlowUnload = KEELSON_INTEROP_PLUGIN_SLOW_UNLOAD;
constexpr const char *kNeedsHost = KEELSON_INTEROP_PLUGIN_NEEDS_HOST;

// The bridge with the notification center and the store registry, the test
// plug-ins' options (their journal file and the file that lets a slow
// Unload return, present unless a test removes it), security off.
class InteropPluginTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    dir = testing::TempDir() + "interop_plugin_" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    logFile = dir + "/journal";
    releaseFile = dir + "/release";
    std::ofstream(releaseFile).put('\n');
    Auth_Init();
    NotificationCenter_Init();
    Interop_Init();
    Dictionary *options = nullptr;
    Dictionary_Create(&options);
    Dictionary_SetStringByKey(options, "logFile", logFile.c_str());
    Dictionary_SetStringByKey(options, "releaseFile", releaseFile.c_str());
    Interop_SetOptions(options);
    Dictionary_Release(&options);
  }
  void TearDown() override {
    std::ofstream(releaseFile).put('\n');
    Interop_Shutdown();
    Interop_SetUnloadJoinMsForTest(kInteropUnloadJoinMs);
    NotificationCenter_Shutdown();
    Auth_Shutdown();
    ThreadTest::TearDown();
    std::filesystem::remove_all(dir);
  }
  // The listed records named path.
  static std::vector<InteropLibrary *> Listed(const char *path) {
    std::vector<InteropLibrary *> found;
    InteropState *state = Interop_GetState(KSRC);
    InteropLock lock(state);
    for (InteropLibrary *l = state->libraryHead; l != nullptr; l = l->next)
      if (std::string(l->name) == path) found.push_back(l);
    return found;
  }
  // Pumps until done() holds (10 s at most).
  static bool PumpUntil(const std::function<bool()> &done) {
    return Test_WaitUntil([&] {
      Interop_Pump();
      return done();
    }, 10000, 1);
  }
  static std::string Create(const char *className) {
    char id[kInteropInstanceIdBytes] = {};
    if (!Interop_CreateInstance(className, id, int32_t(sizeof id), nullptr, nullptr)) return "";
    return id;
  }
  static std::string Echo(const std::string &id, const char *text) {
    MemoryStream *output = nullptr;
    MemoryStream_Create(&output);
    MemoryStream_EnableGrowth(output);
    std::string binding = std::string("{\"method\":\"echo\",\"text\":\"") + text + "\"}";
    std::string answer;
    uint8_t *p = nullptr;
    if (Interop_Invoke(id.c_str(), binding.c_str(), output) &&
        MemoryStream_GetBuffer(output, 0, &p)) {
      answer.assign(reinterpret_cast<char *>(p), size_t(MemoryStream_GetLength(output)));
      MemoryStream_ReleaseBuffer(output, &p);
    }
    MemoryStream_Release(&output);
    return answer;
  }
  std::string dir, logFile, releaseFile;
  AuthSwitchGuardForTest securityOff{0};
};
class InteropPluginThreaded : public InteropPluginTest {};

}  // namespace

TEST_F(InteropPluginTest, FullPluginRegistersThenServesEcho) {
  InteropLibrary *library = Interop_LoadLibrary(kFull);
  ASSERT_NE(library, nullptr);
  EXPECT_STREQ(library->name, kFull);
  EXPECT_EQ(library->refCount.load(), 1);
  std::vector<std::string> expected(kHostNames, kHostNames + kInteropHostFunctionCount);
  expected.insert(expected.end(),
                  {"Load", "logFile=" + logFile, "releaseFile=" + releaseFile});
  EXPECT_EQ(lines(readFile(logFile)), expected);

  std::string fired;
  NotificationCenter_AddInstanceObserver("Test", "Echo", "Global", &fired, echoObserver);
  std::string id = Create("Test.Echo");
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(Echo(id, "ahoy"), "{\"returnValue\":\"ahoy\"}");
  EXPECT_EQ(fired, "ahoy");
  NotificationCenter_RemoveInstanceObserver("Test", "Echo", "Global", &fired, echoObserver);
  EXPECT_EQ(Create("Test.Other"), "");
}

TEST_F(InteropPluginTest, RefusedLibrariesLeaveNothingMapped) {
  struct Case {
    const char *path;
    const char *line;  // the one further ERROR line, or NULL
  } cases[] = {
      {kNoUnload, "ERROR - Failed to load interop: Interop_Unload not found.\n"},
      {kNeedsHost, nullptr},          // the executable exports no Dictionary_Create
      {"libutil.so.1", nullptr},      // a bare name is never searched for
      {"tests/plugin/none.so", nullptr},
      {"/nonexistent/interop.so", nullptr},
  };
  bool utilBefore = readFile("/proc/self/maps").find("/libutil.so.1") != std::string::npos;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    TestLogCapture capture;
    EXPECT_EQ(Interop_LoadLibrary(c.path), nullptr);
    std::string log = capture.Take();
    EXPECT_EQ(countOf(log, std::string("ERROR - Failed to load interop (") + c.path + ")\n"), 1u)
        << log;
    EXPECT_EQ(countOf(log, "ERROR - "), c.line != nullptr ? 2u : 1u) << log;
    if (c.line != nullptr) {
      EXPECT_EQ(countOf(log, c.line), 1u) << log;
    }
    EXPECT_FALSE(mapped(c.path));
    EXPECT_TRUE(Listed(c.path).empty());
  }
  if (!utilBefore) {
    EXPECT_EQ(readFile("/proc/self/maps").find("/libutil.so.1"), std::string::npos);
  }
}

TEST_F(InteropPluginTest, SecurityDecidesBeforeTheFileIsMapped) {
  std::string marker = dir + "/constructed";
  setenv("KEELSON_INTEROP_PLUGIN_MARKER", marker.c_str(), 1);
  std::ifstream in(kFull, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  CertStore *pins = Test_PinStore({bytes});
  Auth_AddAppStore(pins);
  CertStore_Release(&pins);
  {
    AuthSwitchGuardForTest on(1);
    TestLogCapture capture;
    EXPECT_NE(Interop_LoadLibrary(kFull), nullptr);
    EXPECT_EQ(Interop_LoadLibrary(kSlowUnload), nullptr);
    std::string log = capture.Take();
    EXPECT_EQ(countOf(log, "Library validation failed ("), 1u) << log;
    EXPECT_EQ(countOf(log, std::string("Failed to load interop (") + kSlowUnload + ")"), 1u);
    EXPECT_EQ(countOf(log, "Skipping library authentication"), 0u) << log;
    EXPECT_FALSE(mapped(kSlowUnload));
  }
  EXPECT_EQ(readFile(marker), "full\n") << "the refused library never ran";
  TestLogCapture capture;
  EXPECT_NE(Interop_LoadLibrary(kSlowUnload), nullptr);
  EXPECT_EQ(countOf(capture.Take(), "Skipping library authentication ("), 1u);
  EXPECT_EQ(readFile(marker), "full\nslow_unload\n");
  unsetenv("KEELSON_INTEROP_PLUGIN_MARKER");
}

TEST_F(InteropPluginThreaded, LoadedTwiceUnloadsOnceAfterTwoRequestsOffTheMainThread) {
  InteropLibrary *library = Interop_LoadLibrary(kFull);
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(Interop_LoadLibrary(kFull), library);
  EXPECT_EQ(Listed(kFull).size(), 1u);
  EXPECT_EQ(library->refCount.load(), 2);
  EXPECT_EQ(Interop_UnloadLibrary("/no/such/library.so"), 0);

  // One request: still registered and serving.
  EXPECT_EQ(Interop_UnloadLibrary(kFull), 1);
  Interop_Pump();
  ASSERT_EQ(Listed(kFull).size(), 1u);
  EXPECT_EQ(library->refCount.load(), 1);
  std::string id = Create("Test.Echo");
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(Echo(id, "still"), "{\"returnValue\":\"still\"}");

  // The second waits for the live instance.
  EXPECT_EQ(Interop_UnloadLibrary(kFull), 1);
  for (int i = 0; i < 3; i++) Interop_Pump();
  EXPECT_EQ(Listed(kFull).size(), 1u);
  EXPECT_EQ(library->unloadRequests.load(), 1);
  EXPECT_EQ(library->unloadThread, nullptr);

  EXPECT_EQ(Interop_ReleaseInstance(id.c_str()), 1);
  ASSERT_TRUE(PumpUntil([] { return Listed(kFull).empty(); }));
  std::vector<std::string> journal = lines(readFile(logFile));
  ASSERT_FALSE(journal.empty());
  ASSERT_EQ(journal.back().rfind("Unload ", 0), 0u) << journal.back();
  EXPECT_NE(std::stoi(journal.back().substr(7)), int(gettid()));
  EXPECT_FALSE(mapped(kFull)) << "the second load's loader reference was kept";
}

TEST_F(InteropPluginThreaded, SlowUnloadRefusesCreationAndReloadUntilRemoved) {
  std::filesystem::remove(releaseFile);
  ASSERT_NE(Interop_LoadLibrary(kSlowUnload), nullptr);
  EXPECT_EQ(Interop_UnloadLibrary(kSlowUnload), 1);
  Interop_Pump();
  ASSERT_EQ(Listed(kSlowUnload).size(), 1u);
  ASSERT_NE(Listed(kSlowUnload)[0]->unloadThread, nullptr);
  {
    TestLogCapture capture;
    EXPECT_EQ(Create("Test.Echo"), "");
    EXPECT_EQ(Interop_LoadLibrary(kSlowUnload), nullptr);
    std::string log = capture.Take();
    EXPECT_NE(log.find("Trying to create an instance while shutting down (Test.Echo:)"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(std::string("ERROR - Failed to load interop (") + kSlowUnload + ")"),
              std::string::npos)
        << log;
  }
  EXPECT_EQ(Interop_UnloadLibrary(kSlowUnload), 0) << "its unload has begun";
  EXPECT_EQ(Listed(kSlowUnload).size(), 1u);
  std::ofstream(releaseFile).put('\n');
  // Meanwhile another library is loaded again and again: each further load
  // opens a descriptor that the reload below may be given the number of,
  // and the loader must never hear that number as a name of that library.
  // The records are compared while the unload thread clears its handle.
  ASSERT_TRUE(PumpUntil([] {
    Interop_LoadLibrary(kFull);
    return Listed(kSlowUnload).empty();
  }));
  EXPECT_FALSE(mapped(kSlowUnload));
  std::filesystem::remove(logFile);
  InteropLibrary *again = Interop_LoadLibrary(kSlowUnload);
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(again->name, kSlowUnload);
  EXPECT_EQ(again->refCount.load(), 1);
  EXPECT_EQ(countOf(readFile(logFile), "Load\n"), 1u) << "registered afresh";
}

TEST_F(InteropPluginThreaded, ShutdownAbandonsAnUnloadThatOverstays) {
  std::filesystem::remove(releaseFile);
  ASSERT_NE(Interop_LoadLibrary(kSlowUnload), nullptr);
  Interop_UnloadLibrary(kSlowUnload);
  Interop_Pump();
  ASSERT_NE(Listed(kSlowUnload)[0]->unloadThread, nullptr);
  Interop_SetUnloadJoinMsForTest(200);
  {
    TestLogCapture capture;
    Interop_Shutdown();
    EXPECT_EQ(countOf(capture.Take(), "Timeout waiting on interop shutdown thread\n"), 1u);
  }
  Interop_Init();
  EXPECT_TRUE(mapped(kSlowUnload));
  // The thread wakes with the bridge's state gone: it frees nothing and
  // ends cleanly (the sanitizers watch it).
  std::ofstream(releaseFile).put('\n');
  std::string unloaded;
  ASSERT_TRUE(Test_WaitUntil([&] {
    for (const std::string &line : lines(readFile(logFile)))
      if (line.rfind("Unload ", 0) == 0) unloaded = line.substr(7);
    return !unloaded.empty();
  }));
  std::string task = "/proc/self/task/" + unloaded;
  ASSERT_TRUE(Test_WaitUntil([&] { return access(task.c_str(), F_OK) != 0; }));
  EXPECT_TRUE(mapped(kSlowUnload)) << "an abandoned library stays mapped";
}

namespace {

std::atomic<int> gInsideCreate{0};
std::atomic<int> gLetCreateReturn{0};
std::atomic<int> gUnloads{0};

int blockingCreate(const char *, char *, int32_t, void *, InteropDeliveryFunction,
                   InteropInvokeFunction *, InteropReleaseFunction *, InteropProcessFunction *,
                   void **object) {
  gInsideCreate.store(1);
  Test_WaitUntil([] { return gLetCreateReturn.load() == 1; });
  *object = nullptr;
  return 1;
}
int countUnload(void) {
  gUnloads.fetch_add(1);
  return 1;
}

}  // namespace

TEST_F(InteropPluginThreaded, CreationInsideAModuleHoldsItsUnload) {
  gInsideCreate.store(0);
  gLetCreateReturn.store(0);
  gUnloads.store(0);
  ASSERT_NE(Interop_AddLibrary("blocking", nullptr, recordLoad, countUnload, blockingCreate,
                               recordOverride, recordOption),
            nullptr);
  std::string id;
  std::thread creator([&] { id = Create("Test.Blocking"); });
  ASSERT_TRUE(Test_WaitUntil([] { return gInsideCreate.load() == 1; }));
  EXPECT_EQ(Interop_UnloadLibrary("blocking"), 1);
  for (int i = 0; i < 3; i++) Interop_Pump();
  EXPECT_EQ(Listed("blocking").size(), 1u);
  EXPECT_EQ(Listed("blocking")[0]->unloadThread, nullptr) << "unloaded under a creation";
  gLetCreateReturn.store(1);
  creator.join();
  ASSERT_FALSE(id.empty());
  for (int i = 0; i < 3; i++) Interop_Pump();
  EXPECT_EQ(Listed("blocking").size(), 1u) << "its instance holds it";
  EXPECT_EQ(Interop_ReleaseInstance(id.c_str()), 1);
  ASSERT_TRUE(PumpUntil([] { return Listed("blocking").empty(); }));
  EXPECT_EQ(gUnloads.load(), 1);
}
