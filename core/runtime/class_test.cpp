#include "core/runtime/class.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/runtime/memory.h"
#include "tests/test_util.h"

namespace {

constexpr uint32_t kTestTag = 0x7e57c1a5;

struct TestObject {
  ObjectHeader header;
  int payload;
};

std::atomic<int> gDestroyed{0};

void testObjectDestroy(void **handle) {
  gDestroyed.fetch_add(1);
  Mem_Free(*handle, sizeof(TestObject), KSRC);
}

TestObject *newObject() {
  auto *o = static_cast<TestObject *>(Mem_Alloc(sizeof(TestObject), MEM_ZEROED, KSRC));
  o->header.classTag = kTestTag;
  o->header.refCount.store(1);
  o->header.destroy = testObjectDestroy;
  return o;
}

// The class system for one test.
struct ClassSession {
  ClassSession() { Class_Init(); }
  ~ClassSession() { Class_Shutdown(); }
};

struct SinkCall {
  std::string className, id, dot, logName, indent, piece;
};

// A sink that records the arguments of each line.
void recordingSink(void *context, const char *format, ...) {
  EXPECT_STREQ(format, "%s.%8s%s%s - %s%s\n");
  va_list args;
  va_start(args, format);
  SinkCall call;
  call.className = va_arg(args, const char *);
  call.id = va_arg(args, const char *);
  call.dot = va_arg(args, const char *);
  call.logName = va_arg(args, const char *);
  call.indent = va_arg(args, const char *);
  call.piece = va_arg(args, const char *);
  va_end(args);
  static_cast<std::vector<SinkCall> *>(context)->push_back(call);
}

int logPrint(ClassLog *log, int indent, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = Class_LogPrint(log, indent, format, args);
  va_end(args);
  return result;
}

}  // namespace

TEST(ClassDeathTest, FatalPathsStop) {
  EXPECT_DEATH(Class_Release(nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(
      {
        TestObject *o = newObject();
        o->header.destroy = nullptr;
        Class_GenerateInstanceId(o);
        void *p = o;
        Class_Release(&p);
      },
      "Assertion failed \\(FALSE\\)\nClass delete function pointer is null \\[[0-9a-f]{32}\\]");
  EXPECT_DEATH(
      {
        ClassSession session;
        TestObject *o = newObject();
        Class_GenerateInstanceId(o);
        Class_UntrackInstance(o);
      },
      "Unable to remove instance from class instance hash table");
  EXPECT_DEATH(
      {
        Class_Init();
        Class_Init();
      },
      "Assertion failed \\(GlobalClass == NULL\\)\nClass already initialized");
}

TEST(Class, ReleaseClearsThePointerAndDestroysAtZero) {
  gDestroyed = 0;
  TestObject *o = newObject();
  void *first = Class_Retain(o);
  void *second = o;
  EXPECT_EQ(Class_Release(&first), 1);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(gDestroyed.load(), 0);
  EXPECT_EQ(Class_ReleaseObject(&o), 0);
  EXPECT_EQ(o, nullptr);
  EXPECT_EQ(gDestroyed.load(), 1);
  (void)second;
  EXPECT_EQ(Class_Retain(nullptr), nullptr);
}

TEST(Class, FreshIdsAreUniqueLowerCaseHex) {
  TestObject o{};
  std::unordered_set<std::string> seen;
  for (int i = 0; i < 1000000; i++) {
    Class_GenerateInstanceId(&o);
    std::string id(o.header.instanceId);
    ASSERT_EQ(id.size(), 32u);
    ASSERT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    ASSERT_TRUE(seen.insert(id).second) << "repeated id " << id;
  }
}

TEST(Class, InstanceTableMapsIdsBackToObjects) {
  ClassSession session;
  std::vector<TestObject *> objects;
  for (int i = 0; i < 100; i++) {
    TestObject *o = newObject();
    Class_GenerateInstanceId(o);
    EXPECT_EQ(Class_TrackInstance(o, o), 1);
    objects.push_back(o);
  }
  for (TestObject *o : objects) {
    const char *id = Class_ConvertToInstanceId(o);
    EXPECT_EQ(static_cast<const void *>(id), static_cast<void *>(o));
    EXPECT_EQ(Class_ConvertFromInstanceId(id), o);
    // A copy of the text finds the object too: the table compares the text.
    std::string copy(id);
    EXPECT_EQ(Class_ConvertFromInstanceId(copy.c_str()), o);
    // Ids are case-sensitive.
    std::string upper = copy;
    for (char &c : upper) c = char(toupper(c));
    if (upper != copy) {
      EXPECT_EQ(Class_ConvertFromInstanceId(upper.c_str()), nullptr);
    }
  }
  EXPECT_EQ(Class_ConvertFromInstanceId(nullptr), nullptr);
  EXPECT_EQ(Class_ConvertFromInstanceId("0123456789abcdef0123456789abcdef"), nullptr);
  for (TestObject *o : objects) {
    std::string id(o->header.instanceId);
    EXPECT_EQ(Class_UntrackInstance(o), 1);
    EXPECT_EQ(Class_ConvertFromInstanceId(id.c_str()), nullptr);
    Class_ReleaseObject(&o);
  }
}

TEST(ClassThreaded, LastOfManyReleasesDestroysOnce) {
  for (int round = 0; round < 200; round++) {
    gDestroyed = 0;
    TestObject *o = newObject();
    for (int i = 1; i < 8; i++) Class_Retain(o);
    std::vector<std::thread> threads;
    std::atomic<int> zeros{0};
    for (int i = 0; i < 8; i++)
      threads.emplace_back([o, &zeros] {
        void *p = o;
        if (Class_Release(&p) == 0) zeros.fetch_add(1);
      });
    for (auto &t : threads) t.join();
    ASSERT_EQ(gDestroyed.load(), 1);
    ASSERT_EQ(zeros.load(), 1);
  }
}

TEST(ClassThreaded, TrackAndLookUpFromManyThreads) {
  ClassSession session;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([] {
      for (int i = 0; i < 500; i++) {
        TestObject *o = newObject();
        Class_GenerateInstanceId(o);
        Class_TrackInstance(o, o);
        EXPECT_EQ(Class_ConvertFromInstanceId(o->header.instanceId), o);
        Class_UntrackInstance(o);
        Class_ReleaseObject(&o);
      }
    });
  for (auto &t : threads) t.join();
}

TEST(Class, LogPrintSplitsLinesAndNamesTheObject) {
  TestObject o{};
  std::vector<SinkCall> calls;
  ClassLog log{};
  log.object = &o;
  log.className = "JSON";
  log.sinkContext = &calls;
  log.sink = recordingSink;

  // Without an id, the object is named by its 16-digit address.
  logPrint(&log, 0, "a\r\n\r\nb");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].piece, "a");
  EXPECT_EQ(calls[1].piece, "b");
  char address[32];
  snprintf(address, sizeof address, "%016llx", (unsigned long long)reinterpret_cast<uintptr_t>(&o));
  EXPECT_EQ(calls[0].id, address);
  EXPECT_EQ(calls[0].dot, "");

  calls.clear();
  Class_GenerateInstanceId(&o);
  log.logName = "parse";
  logPrint(&log, 2, "Unexpected character\n");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].className, "JSON");
  EXPECT_EQ(calls[0].id, o.header.instanceId);
  EXPECT_EQ(calls[0].dot, ".");
  EXPECT_EQ(calls[0].logName, "parse");
  EXPECT_EQ(calls[0].indent, "        ");
  EXPECT_EQ(calls[0].piece, "Unexpected character");

  calls.clear();
  logPrint(&log, 40, "%s", "");  // an empty message is passed once; indent is capped
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].piece, "");
  EXPECT_EQ(calls[0].indent.size(), 79u);
}

TEST(Class, LogEnabledFollowsVerboseOptionAndForcedFlag) {
  // Lines are formatted but written nowhere; the verbose list configures JSON
  // at level 3 and silences Pool.
  uint32_t saved = Debug_Flags();
  Core_SetFlags(kCoreFlagExternalPrint);
  Log_Init("app --verbose=\"3JSON,!Pool\"", nullptr, LOG_DEBUG);

  ClassLog json{};
  json.className = "JSON";
  EXPECT_EQ(Class_LogEnabled(&json, 3), 1);
  EXPECT_EQ(Class_LogEnabled(&json, 4), 0);
  ClassLog pool{};
  pool.className = "Pool";
  EXPECT_EQ(Class_LogEnabled(&pool, 0), 0);
  ClassLog forced{};
  forced.className = "Other";
  forced.forced = 1;
  forced.level = 2;
  EXPECT_EQ(Class_LogEnabled(&forced, 2), 1);
  EXPECT_EQ(Class_LogEnabled(&forced, 3), 0);

  Log_Shutdown();
  Log_Close();
  Core_SetFlags(saved);
}
