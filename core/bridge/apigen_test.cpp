#include "core/bridge/apigen.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/bridge/coreinterop.h"
#include "core/bridge/interop.h"
#include "core/bridge/interoplibrary.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/str.h"
#include "tests/log_capture.h"
#include "tests/page_recorder.h"
#include "tests/test_params.h"
#include "tests/wake_hook.h"

namespace {

uint32_t zlibCrc(const std::string &text) {
  return uint32_t(crc32(0, reinterpret_cast<const Bytef *>(text.data()), uInt(text.size())));
}

// Tables the compile-time check must refuse.
void noop(void *, const ApiGenValue *, ApiGenAnswer *) {}
constexpr auto kB = ApiGenAnswerType::Boolean;
constexpr ApiGenMethod kWrongHash[] = {
    ApiGen_Method(0x12345678, "fire", ApiGenName::Settled, {}, kB, noop)};
constexpr ApiGenMethod kSameHash[] = {
    ApiGen_Method(0x9bef5c22, "a", ApiGenName::Open, {}, kB, noop),
    ApiGen_Method(0x9bef5c22, "b", ApiGenName::Open, {}, kB, noop)};
constexpr ApiGenMethod kAliasOnHash[] = {
    ApiGen_Method(ApiGen_Crc32("fire"), "fire", ApiGenName::Settled, {}, kB, noop),
    ApiGen_Method(0x9bef5c22, "fire", ApiGenName::Open, {}, kB, noop)};
static_assert(!ApiGen_TableIsSound(kWrongHash));
static_assert(!ApiGen_TableIsSound(kSameHash));
static_assert(!ApiGen_TableIsSound(kAliasOnHash));
static_assert(ApiGen_Crc32("fire") == 0x58de09cf);

}  // namespace

TEST(ApiGenTable, CrcMatchesZlibForEveryRowAndGeneratedNames) {
  std::vector<std::string> names;
  ASSERT_GE(ApiGen_GetClasses().size(), 2u);  // QVN.NotificationCenter and Test.Params
  for (const ApiGenClass *table : ApiGen_GetClasses()) {
    std::set<uint32_t> seen;
    for (const ApiGenMethod &row : table->methods) {
      SCOPED_TRACE(std::string(table->messageName) + "." + row.label);
      names.push_back(row.label);
      EXPECT_EQ(row.alias, zlibCrc(row.label) == row.hash ? row.hash : zlibCrc(row.label));
      if (row.name == ApiGenName::Settled) {
        EXPECT_EQ(row.hash, zlibCrc(row.label));
      }
      // No hash or alias is claimed by two rows.
      EXPECT_TRUE(seen.insert(row.hash).second);
      if (row.alias != row.hash) {
        EXPECT_TRUE(seen.insert(row.alias).second);
      }
    }
  }
  std::mt19937 rng(0x54);
  for (int i = 0; i < 1000; i++) {
    std::string name(size_t(rng() % 130), '\0');
    for (char &c : name) c = char(rng() % 256);
    names.push_back(name);
  }
  for (const std::string &name : names) EXPECT_EQ(ApiGen_Crc32(name), zlibCrc(name));
}

TEST(ApiGenReaders, IntegerTextRule) {
  struct Case {
    const char *text;
    int read;
    int64_t value;
  } cases[] = {
      {"7", 1, 7},
      {"7.9", 1, 7},
      {"-7.9", 1, -7},
      {"1e3", 1, 1000},
      {"1E3", 1, 1000},
      {"1e-7", 1, 0},
      {"-0.5", 1, 0},
      {"0x10", 1, 16},
      {"9223372036854775807", 1, INT64_MAX},
      {"-9223372036854775808", 1, INT64_MIN},
      {"-9.223372036854775808e18", 1, INT64_MIN},
      {"9223372036854775808", 0, 0},
      {"-9223372036854775809", 0, 0},
      {"9.3e18", 0, 0},
      {"1e400", 0, 0},
      {"NaN", 0, 0},
      {"-Inf", 0, 0},
  };
  for (const Case &c : cases) {
    int64_t value = -1;
    EXPECT_EQ(ApiGen_TextToInt64(c.text, &value), c.read) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(ApiGenBase64, EveryLengthRoundTripsWithItsSizes) {
  std::vector<uint8_t> data(4096);
  for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 131 + 7);
  for (int64_t length = 0; length <= 4096; length++) {
    char *text = nullptr;
    int64_t textSize = 0;
    int encoded = ApiGen_Base64Encode(data.data(), length, &text, &textSize);
    if (length == 0) {
      EXPECT_EQ(encoded, 0);
      EXPECT_EQ(text, nullptr);
      text = const_cast<char *>("");
    } else {
      ASSERT_EQ(encoded, 1);
      ASSERT_EQ(textSize, (length * 4 / 3 + 3) / 4 * 4 + 1 + 10);
      ASSERT_EQ(int64_t(strlen(text)), (length + 2) / 3 * 4);
    }
    uint8_t *bytes = nullptr;
    int64_t decodedLength = -1, size = 0;
    ASSERT_EQ(ApiGen_Base64Decode(text, &bytes, &decodedLength, &size), 1) << length;
    ASSERT_EQ(size, int64_t(strlen(text)) / 4 * 3 + 10 + 1);
    ASSERT_EQ(decodedLength, length);
    ASSERT_EQ(memcmp(bytes, data.data(), size_t(length)), 0);
    ASSERT_EQ(bytes[length], 0);
    MEM_FREE(bytes, size);
    if (textSize > 0) MEM_FREE(text, textSize);
  }
  for (const char *bad : {"QQ=A", "Q===", "QUJD!A==", "QUJ", "QUJDRA", "QU JD", "QUJD\n"}) {
    uint8_t *bytes = reinterpret_cast<uint8_t *>(1);
    int64_t length = 1, size = 1;
    EXPECT_EQ(ApiGen_Base64Decode(bad, &bytes, &length, &size), 0) << bad;
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(length + size, 0);
  }
}

// Test.Params and the core module behind the bridge, as the host registers
// modules.
class ApiGenFrameTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    Interop_Init();
    ASSERT_NE(CoreInterop_AddLibrary(), nullptr);
    auto *ok = reinterpret_cast<int (*)(void)>(Callback_ReturnTrue);
    ASSERT_NE(Interop_AddLibrary("params", nullptr, ok, ok, TestParams_GetInstance,
                                 reinterpret_cast<InteropSetOverrideFunction>(Callback_ReturnTrue),
                                 reinterpret_cast<InteropSetOptionFunction>(Callback_ReturnTrue)),
              nullptr);
    char buffer[kInteropInstanceIdBytes] = {};
    ASSERT_EQ(Interop_CreateInstance("Test.Params", buffer, sizeof buffer, nullptr, nullptr), 1);
    id_ = buffer;
  }
  void TearDown() override {
    Interop_Shutdown();
    ThreadTest::TearDown();
  }
  // The call's result and its output text.
  std::pair<int, std::string> Call(const std::string &binding) {
    return TestParams_Call(id_, binding);
  }
  std::string id_;
};

TEST_F(ApiGenFrameTest, ParamsTable) {
  std::string longPath(8191, 'p');
  struct Case {
    std::string binding;
    int result;
    std::string output;
    const char *log;  // a line the call must log, or NULL
  } cases[] = {
      {R"({"method":"int32","value":7.9})", 1, R"({"returnValue":7})", nullptr},
      {R"({"method":"int32","value":-7.9})", 1, R"({"returnValue":-7})", nullptr},
      {R"({"method":"int64","value":1e3})", 1, R"({"returnValue":1000})", nullptr},
      {R"({"method":"int32","value":4294967301})", 1, R"({"returnValue":5})", nullptr},
      {R"({"method":"int64","value":-9223372036854775808})", 1,
       R"({"returnValue":-9223372036854775808})", nullptr},
      {R"({"method":"int64","value":1e19})", 0, R"({"returnValue":0})",
       "Incorrect parameter type (Params.int64::value)"},
      {R"({"method":"int32","value":"5"})", 0, R"({"returnValue":0})",
       "Incorrect parameter type (Params.int32::value)"},
      {R"({"method":"double","value":2.5})", 1, R"({"returnValue":2.5})", nullptr},
      {R"({"method":"double"})", 0, R"({"returnValue":0})",
       "Parameter missing (Params.double::value)"},
      {R"({"method":"bool","value":true})", 1, R"({"returnValue":true})", nullptr},
      {R"({"method":"bool","value":1})", 0, R"({"returnValue":false})",
       "Incorrect parameter type (Params.bool::value)"},
      {R"({"method":"echo","value":"h\u00e9"})", 1, R"({"returnValue":"h\u00E9"})", nullptr},
      {R"({"method":"echo","value":null})", 0, R"({"returnValue":""})",
       "Incorrect parameter type (Params.echo::value)"},
      {R"({"method":"null"})", 1, R"({"returnValue":null})", nullptr},
      {R"({"method":"base64","value":"AAEC/w=="})", 1, R"({"returnValue":"AAEC/w=="})", nullptr},
      {R"({"method":"base64","value":"AA=C"})", 0, R"({"returnValue":""})",
       "Incorrect parameter type (Params.base64::value)"},
      {R"({"method":"path","path":")" + longPath + "\"}", 1,
       R"({"returnValue":")" + longPath + "\"}", nullptr},
      {R"({"method":"path","path":")" + longPath + "p\"}", 0, R"({"returnValue":""})",
       "Parameter too long (Path.path::path)"},
      {R"({"method":5})", 0, "", "Method type is not a string (Params)"},
      {R"({"value":5})", 0, "", "Class invoker unable to find method (Params)"},
      {R"({"method":"Echo","value":"x"})", 0, "", nullptr},  // unknown hash
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.binding.substr(0, 80));
    int64_t calls = gTestParamsCalls;
    TestLogCapture log;
    auto [result, output] = Call(c.binding);
    std::string lines = log.Take();
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(output, c.output);
    EXPECT_EQ(gTestParamsCalls - calls, c.result);  // a refused call reaches no handler
    if (c.log != nullptr) {
      EXPECT_NE(lines.find(c.log), std::string::npos) << lines;
    }
  }
}

TEST_F(ApiGenFrameTest, AnswersReadAsPythonJsonTypes) {
  std::vector<std::string> outputs;
  for (const char *binding :
       {R"({"method":"bool","value":false})", R"({"method":"int64","value":-12})",
        R"({"method":"double","value":-0.125})", R"({"method":"echo","value":"a\"\\\n\u0001"})",
        R"({"method":"null"})"})
    outputs.push_back(Call(binding).second);
  EXPECT_EQ(PageRecorder_PythonRead(outputs, "apigen_answer"),
            (std::vector<std::string>{R"({"returnValue":false})", R"({"returnValue":-12})",
                                      R"({"returnValue":-0.125})",
                                      R"({"returnValue":"a\"\\\n\u0001"})",
                                      R"({"returnValue":null})"}));
}

TEST_F(ApiGenFrameTest, CoreClassTableIsExactAndZeroesItsWords) {
  // object: the row makes one; ownId: the object is a class object whose own
  // id becomes the instance id and which has a process function.
  struct Case {
    const char *name;
    int served, object, ownId;
  } cases[] = {{"QVN.NotificationCenter", 1, 1, 0}, {"QVN.Process", 1, 1, 1},
               {"QVN.Pipe", 1, 1, 1},               {"QVN.Registry", 1, 0, 0},
               {"QVN.FileSystem", 1, 0, 0},         {"QVN.Platform", 1, 0, 0},
               {"QVN.Analytics", 1, 0, 0},          {"QVN.WebGet", 1, 0, 0},
               {"QVN.process", 0, 0, 0},            {"QVN.NotificationCenter ", 0, 0, 0},
               {"", 0, 0, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    char id[kInteropInstanceIdBytes] = "keep";
    auto *bad = reinterpret_cast<void *>(1);
    InteropInvokeFunction invoke = reinterpret_cast<InteropInvokeFunction>(bad);
    InteropReleaseFunction release = reinterpret_cast<InteropReleaseFunction>(bad);
    InteropProcessFunction process = reinterpret_cast<InteropProcessFunction>(bad);
    void *object = bad;
    PageRecorder page;
    EXPECT_EQ(CoreInterop_GetInstance(c.name, id, sizeof id, &page, PageRecorder_Deliver, &invoke,
                                      &release, &process, &object),
              c.served);
    if (c.ownId) {
      EXPECT_STREQ(id, static_cast<ObjectHeader *>(object)->instanceId);
      EXPECT_EQ(strlen(id), 32u);
    } else {
      EXPECT_STREQ(id, "keep");
    }
    EXPECT_EQ(process != nullptr, c.ownId == 1);
    EXPECT_EQ(invoke != nullptr, c.served == 1);
    EXPECT_EQ(object != nullptr, c.object == 1);
    if (c.object) {
      EXPECT_EQ(release(&object), c.ownId ? 0 : 1);
    }
    EXPECT_EQ(object, nullptr);
    // Through the bridge: nothing is created for a name the table does not serve.
    char fresh[kInteropInstanceIdBytes] = {};
    EXPECT_EQ(Interop_CreateInstance(c.name, fresh, sizeof fresh, &page, &page), c.served != 0);
    if (c.served) {
      EXPECT_EQ(Interop_ReleaseInstance(fresh), 1);
    }
  }
}
