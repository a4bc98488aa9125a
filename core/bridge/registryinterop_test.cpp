// QVN.Registry through the bridge over hive files in a scratch directory;
// Python's sqlite3 and base64 check what was stored and answered.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/bridge/coreinterop.h"
#include "core/platform/registry.h"
#include "core/posix/hive.h"
#include "tests/fsfault.h"
#include "tests/test_params.h"
#include "tests/wake_hook.h"

namespace {

class RegistryInteropTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    mkdir((dir_ / "homes").c_str(), 0755);
    Hive_SetDirectoriesForTest((dir_ / "homes").c_str(), (dir_ / "machine").c_str());
    Whitelist(1);
    Interop_Init();
    ASSERT_NE(CoreInterop_AddLibrary(), nullptr);
    char buffer[kInteropInstanceIdBytes] = {};
    ASSERT_EQ(Interop_CreateInstance("QVN.Registry", buffer, sizeof buffer, nullptr, nullptr), 1);
    id_ = buffer;
  }
  void TearDown() override {
    Interop_Shutdown();
    Registry_Shutdown();
    Hive_SetDirectoriesForTest(nullptr, nullptr);
    ThreadTest::TearDown();
  }
  // Starts over with SOFTWARE\RW writable and SOFTWARE\RO writable or not.
  void Whitelist(int roWritable) {
    Registry_Shutdown();
    Registry_Init();
    Registry_AddWhitelistPath(1, "machine\\SOFTWARE\\RW");
    Registry_AddWhitelistPath(roWritable, "machine\\SOFTWARE\\RO");
  }
  std::string Call(const std::string &method, const std::string &params) {
    auto [result, text] =
        TestParams_Call(id_, R"({"method":")" + method + R"(","view":"64",)" + params + "}");
    return std::to_string(result) + " " + text;
  }
  static std::string At(const char *key, const char *name) {
    return std::string(R"("type":"machine","key":"SOFTWARE\\)") + key + R"(","name":")" + name +
           "\"";
  }
  FsFaultTempDir dir_;
  std::string id_;
};

TEST_F(RegistryInteropTest, ValuesRoundTripAndAreStoredExactly) {
  const std::string set = R"("security":"default",)";
  struct Case {
    std::string method, params, answer;
  } cases[] = {
      {"setString", set + At("RW", "s") + R"(,"value":"text")", R"(1 {"returnValue":true})"},
      {"getString", At("RW", "s") + R"(,"defaultValue":"d")", R"(1 {"returnValue":"text"})"},
      {"setInt32", set + At("RW", "i") + R"(,"value":-7)", R"(1 {"returnValue":true})"},
      {"getInt32", At("RW", "i") + R"(,"defaultValue":1)", R"(1 {"returnValue":-7})"},
      {"getString", At("RW", "i") + R"(,"defaultValue":"d")", R"(1 {"returnValue":"-7"})"},
      {"getInt32", At("RW", "none") + R"(,"defaultValue":9)", R"(1 {"returnValue":9})"},
      {"setInt64", set + At("RW", "big") + R"(,"value":1099511627776)", R"(1 {"returnValue":true})"},
      {"setInt64", set + At("RW", "neg") + R"(,"value":-1099511627776)", R"(1 {"returnValue":true})"},
      {"setInt64", set + At("RW", "3g") + R"(,"value":3000000000)", R"(1 {"returnValue":true})"},
      {"getInt64", At("RW", "3g") + R"(,"defaultValue":0)", R"(1 {"returnValue":3000000000})"},
      {"getInt64", At("RW", "neg") + R"(,"defaultValue":0)", R"(1 {"returnValue":-1099511627776})"},
      {"getData", At("RW", "none") + R"(,"defaultValue":"")", R"(1 {"returnValue":null})"},
      {"getData", At("RW", "none") + R"(,"defaultValue":"AAEC")", R"(1 {"returnValue":"AAEC"})"},
      {"setData", set + At("RW", "d") + R"(,"value":"not base64!")", R"(0 {"returnValue":false})"},
      {"keyExists", R"("type":"machine","key":"SOFTWARE\\RW\\a\\b")", R"(1 {"returnValue":false})"},
      {"setString", set + At("RW\\\\a\\\\b", "s") + R"(,"value":"")", R"(1 {"returnValue":true})"},
      {"keyExists", R"("type":"machine","key":"SOFTWARE\\RW\\a\\b")", R"(1 {"returnValue":true})"},
      {"deleteKey", R"("type":"machine","key":"SOFTWARE\\RW\\a")", R"(1 {"returnValue":true})"},
      {"keyExists", R"("type":"machine","key":"SOFTWARE\\RW\\a\\b")", R"(1 {"returnValue":false})"},
      {"deleteValue", At("RW", "s"), R"(1 {"returnValue":true})"},
      {"getString", At("RW", "s") + R"(,"defaultValue":"gone")", R"(1 {"returnValue":"gone"})"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.method + " " + c.params);
    EXPECT_EQ(Call(c.method, c.params), c.answer);
  }
  std::ofstream(dir_ / "read.py") << R"PY(
import sqlite3, sys
db = sqlite3.connect('file:' + sys.argv[1] + '?mode=ro', uri=True)
for n in ('big', 'neg', '3g'):
    print(n, bytes(db.execute('SELECT data FROM vals WHERE name = ?', (n,)).fetchone()[0]).hex())
)PY";
  EXPECT_EQ(FsFault_Command("python3 " + (dir_ / "read.py") + " " + (dir_ / "machine") +
                            "/machine.db"),
            "big 0000000000010000\nneg 0000000000ffffff\n3g 005ed0b200000000");
}

TEST_F(RegistryInteropTest, DataRoundTripsAgainstPythonBase64) {
  std::mt19937 random(56);
  const size_t sizes[] = {1, 2, 3, 100, 4096};
  for (size_t size : sizes) {
    std::string bytes(size, '\0');
    for (char &c : bytes) c = char(random());
    std::ofstream(dir_ / "bytes", std::ios::binary) << bytes;
    std::string text = FsFault_Command(
        "python3 -c 'import base64,sys;print(base64.b64encode(open(sys.argv[1],\"rb\").read())"
        ".decode())' " + (dir_ / "bytes"));
    SCOPED_TRACE(size);
    EXPECT_EQ(Call("setData", R"("security":"default",)" + At("RW", "d") + R"(,"value":")" +
                                  text + "\""),
              R"(1 {"returnValue":true})");
    EXPECT_EQ(Call("getData", At("RW", "d") + R"(,"defaultValue":"")"),
              R"(1 {"returnValue":")" + text + "\"}");
  }
}

TEST_F(RegistryInteropTest, ReadOnlyEntryReadsButRefusesChanges) {
  const std::string set = R"("security":"default",)";
  ASSERT_EQ(Call("setString", set + At("RO\\\\k", "s") + R"(,"value":"kept")"),
            R"(1 {"returnValue":true})");
  Whitelist(0);
  struct Case {
    std::string method, params, answer;
  } cases[] = {
      {"getString", At("RO\\\\k", "s") + R"(,"defaultValue":"")", R"(1 {"returnValue":"kept"})"},
      {"keyExists", R"("type":"machine","key":"SOFTWARE\\RO\\k")", R"(1 {"returnValue":true})"},
      {"setString", set + At("RO\\\\k", "s") + R"(,"value":"x")", R"(1 {"returnValue":false})"},
      {"setInt32", set + At("RO\\\\k", "i") + R"(,"value":1)", R"(1 {"returnValue":false})"},
      {"setInt64", set + At("RO\\\\k", "i") + R"(,"value":1)", R"(1 {"returnValue":false})"},
      {"setData", set + At("RO\\\\k", "i") + R"(,"value":"AA==")", R"(1 {"returnValue":false})"},
      {"deleteValue", At("RO\\\\k", "s"), R"(1 {"returnValue":false})"},
      {"deleteKey", R"("type":"machine","key":"SOFTWARE\\RO\\k")", R"(1 {"returnValue":false})"},
      {"getString", At("RO\\\\k", "s") + R"(,"defaultValue":"")", R"(1 {"returnValue":"kept"})"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.method + " " + c.params);
    EXPECT_EQ(Call(c.method, c.params), c.answer);
  }
}

}  // namespace
