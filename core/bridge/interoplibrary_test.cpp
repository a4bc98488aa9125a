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
