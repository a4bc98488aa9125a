// QVN.Repository through the bridge: the module registered as the host
// registers it, instances resolved by id, and "setActive" as a page sends it.
#include "base/baseinterop.h"

#include <string>

#include "base/enginelog.h"
#include "base/repository.h"
#include "core/bridge/apigen.h"
#include "core/bridge/interoplibrary.h"
#include "core/platform/asyncfile.h"
#include "core/platform/ioworker.h"
#include "core/runtime/class.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "tests/log_capture.h"
#include "tests/netfixture.h"
#include "tests/test_params.h"
#include "tests/test_util.h"

namespace {

int moduleLoad(void) { return 1; }
int moduleUnload(void) { return 1; }
int moduleSetOverride(const char *, void *) { return 1; }
int moduleSetOption(const char *, const char *) { return 1; }

constexpr uint32_t kOtherTag = 0x0b1ec7ed;

// A tracked object of another class, as a task would be.
struct Other {
  ObjectHeader header;
};
void otherDestroy(void **object) {
  Class_UntrackInstance(*object);
  MEM_FREE(*object, sizeof(Other));
  *object = nullptr;
}

class RepositoryInteropTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    AsyncFile_Init();
    ASSERT_NE(Interop_AddLibrary("repository", nullptr, moduleLoad, moduleUnload,
                                 RepositoryInterop_GetInstance, moduleSetOverride,
                                 moduleSetOption),
              nullptr);
    Repository_Create(&repository);
  }
  void TearDown() override {
    Interop_RemoveAllInstances();
    if (repository != nullptr) Repository_Destroy(&repository);
    NetTest_PumpUntil([] { return IOWorker_GetBusyCount() == 0; });
    EventQueue_Flush(EventQueue_GetMain());
    AsyncFile_Shutdown();
    NetTest::TearDown();
  }
  Repository *repository = nullptr;
};

// The hash the row binds is the one the bridge computes for the name a page
// sends: zlib's CRC-32, as Python's zlib answers it.
TEST_F(RepositoryInteropTest, SetActiveHashIsZlibCrc32OfItsName) {
  int status = -1;
  std::string crc = Test_RunCommand(
      "/usr/bin/python3 -c 'import zlib; print(zlib.crc32(b\"setActive\"))'", &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(std::stoul(crc), 0x527be9ceu);
  EXPECT_EQ(ApiGen_Crc32("setActive"), 0x527be9ceu);
}

// Only a live repository's id under the exact class name resolves, and each
// resolution takes one reference that the instance's release gives back.
TEST_F(RepositoryInteropTest, ResolvesOnlyRepositories) {
  auto *other = static_cast<Other *>(MEM_ALLOC(sizeof(Other), 2));
  other->header.classTag = kOtherTag;
  other->header.refCount.store(1);
  other->header.destroy = otherDestroy;
  Class_GenerateInstanceId(other);
  Class_TrackInstance(other, other);
  const std::string repositoryId = repository->header.instanceId;
  const std::string otherId = other->header.instanceId;
  struct Case {
    const char *className;
    std::string id;
    int result;
    int32_t repositoryRefs;  // right after the call
    bool refused;            // "Instance %s is not a type of %s"
  } cases[] = {
      {"QVN.Repository", repositoryId, 1, 2, false},
      {"QVN.Repository", otherId, 0, 1, true},
      {"QVN.Repository", "0123456789abcdef0123456789abcdef", 0, 1, true},
      {"QVN.repository", repositoryId, 0, 1, false},
      {"QVN.Repository ", repositoryId, 0, 1, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.className) + " " + c.id);
    TestLogCapture log;
    char id[kInteropInstanceIdBytes] = {};
    Str_Copy(id, c.id.c_str(), int32_t(sizeof id));
    InteropInvokeFunction invoke = nullptr;
    InteropReleaseFunction release = nullptr;
    InteropProcessFunction process = nullptr;
    void *object = nullptr;
    EXPECT_EQ(RepositoryInterop_GetInstance(c.className, id, int32_t(sizeof id), nullptr, nullptr,
                                            &invoke, &release, &process, &object),
              c.result);
    EXPECT_EQ(repository->header.refCount.load(), c.repositoryRefs);
    EXPECT_EQ(object, c.result ? static_cast<void *>(repository) : nullptr);
    EXPECT_EQ(invoke != nullptr, c.result == 1);
    EXPECT_EQ(process, nullptr);
    EXPECT_EQ(other->header.refCount.load(), 1);
    std::string line = "Instance " + c.id + " is not a type of " + c.className;
    EXPECT_EQ(log.Take().find(line) != std::string::npos, c.refused);
    if (release != nullptr) release(&object);
  }
  // Through the bridge: the instance holds one reference until released.
  char id[kInteropInstanceIdBytes] = {};
  Str_Copy(id, repositoryId.c_str(), int32_t(sizeof id));
  ASSERT_EQ(Interop_CreateInstance("QVN.Repository", id, int32_t(sizeof id), nullptr, nullptr), 1);
  EXPECT_EQ(repository->header.refCount.load(), 2);
  Str_Copy(id, otherId.c_str(), int32_t(sizeof id));
  EXPECT_EQ(Interop_CreateInstance("QVN.Repository", id, int32_t(sizeof id), nullptr, nullptr), 0);
  EXPECT_EQ(Interop_ReleaseInstance(repositoryId.c_str()), 1);
  Interop_ProcessInstances();
  EXPECT_EQ(repository->header.refCount.load(), 1);
  void *handle = other;
  Class_Release(&handle);
}

// "setActive" as a page sends it: false pauses a running phase, true
// resumes it, and a call without a Boolean "active" changes nothing.
TEST_F(RepositoryInteropTest, SetActivePausesAndResumes) {
  char id[kInteropInstanceIdBytes] = {};
  Str_Copy(id, repository->header.instanceId, int32_t(sizeof id));
  ASSERT_EQ(Interop_CreateInstance("QVN.Repository", id, int32_t(sizeof id), nullptr, nullptr), 1);
  Dictionary *config = nullptr;
  Dictionary_Create(&config);
  Dictionary_SetStringByKey(config, "repository", "game");
  Repository_SetConfiguration(repository, config);
  Dictionary_Release(&config);
  Repository_SetActive(repository, 1);
  Repository_SetRefresh(repository, 1);
  Repository_Process(repository);
  struct Case {
    const char *binding;
    int result;
    const char *output;
    bool paused;
  } cases[] = {
      {R"({"method":"setActive","active":false})", 1, R"({"returnValue":true})", true},
      {R"({"method":"setActive"})", 0, R"({"returnValue":false})", true},
      {R"({"method":"setActive","active":1})", 0, R"({"returnValue":false})", true},
      {R"({"method":"setActive","active":true})", 1, R"({"returnValue":true})", false},
      {R"({"method":"setActive","active":"false"})", 0, R"({"returnValue":false})", false},
      {R"({"method":"setactive","active":false})", 0, "", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.binding);
    auto [result, output] = TestParams_Call(id, c.binding);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(output, c.output);
    Repository_Process(repository);
    EXPECT_EQ((Repository_GetStateFlags(repository) & kRepositoryStatePaused) != 0, c.paused);
  }
  Repository_SetRefresh(repository, 0);
}

}  // namespace
