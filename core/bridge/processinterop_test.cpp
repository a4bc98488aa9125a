// QVN.Process through the bridge with real programs: the page observes the
// instance's "Process" notifications.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/platform/process.h"
#include "core/runtime/class.h"
#include "tests/core_class_page.h"
#include "tests/interop_test_util.h"
#include "tests/fsfault.h"
#include "tests/test_util.h"

namespace {

class ProcessInteropTest : public CoreClassPageTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    Open("QVN.Process");
    for (const char *name : {"Start", "Ready", "Complete"}) Observe("Process", name);
    // As root the default starts programs as the desktop user; the tests
    // keep their own identity.
    ASSERT_EQ(Call("setElevationRights", R"("elevationRights":2)"), R"(1 {"returnValue":true})");
  }
  // Pumps until a "Complete" record came; every record since the last call.
  std::vector<std::string> RunToEnd() {
    std::vector<std::string> got;
    Test_WaitUntil([&] {
      Pump();
      for (std::string &r : Records()) got.push_back(r);
      return !got.empty() && got.back().find("\"Complete\"") != std::string::npos;
    }, 20000, 5);
    return got;
  }
  static std::string Record(const char *notification, const std::string &info) {
    return R"({"type":"Process","notification":")" + std::string(notification) +
           R"(","sender":")" + "%s" + R"(","callbackId":"cb","info":)" + info + "}";
  }
  std::string Expect(const char *notification, const std::string &info) {
    std::string r = Record(notification, info);
    return r.replace(r.find("%s"), 2, id_);
  }
  FsFaultTempDir dir_;
};

TEST_F(ProcessInteropTest, LaunchTellsStartReadyAndCompleteWithTheExitCode) {
  EXPECT_EQ(Call("getRunningTime"), R"(1 {"returnValue":0})");
  EXPECT_EQ(Call("setApplicationName", R"("applicationName":"/bin/sh")"),
            R"(1 {"returnValue":true})");
  EXPECT_EQ(Call("setArguments", R"("arguments":"-c \"sleep 0.5; exit 3\"")"),
            R"(1 {"returnValue":true})");
  EXPECT_EQ(Call("launch"), R"(1 {"returnValue":true})");
  std::vector<std::string> got;
  std::string cmdline;
  Test_WaitUntil([&] {
    Pump();
    for (std::string &r : Records()) {
      got.push_back(r);
      if (r.find("\"Ready\"") == std::string::npos) continue;
      std::string pid = r.substr(r.find("\"id\":") + 5);
      pid = pid.substr(0, pid.find('}'));
      std::ifstream in("/proc/" + pid + "/cmdline");
      std::getline(in, cmdline, '\0');
    }
    return !got.empty() && got.back().find("\"Complete\"") != std::string::npos;
  }, 20000, 5);
  std::string pid = Call("getId").substr(strlen(R"(1 {"returnValue":)"));
  pid.pop_back();
  EXPECT_NE(pid, "0");
  EXPECT_EQ(got, (std::vector<std::string>{Expect("Start", "{}"),
                                           Expect("Ready", R"({"id":)" + pid + "}"),
                                           Expect("Complete",
                                                  R"({"successful":true,"exitCode":3})")}));
  // Read while the shell sleeps (it may rarely be gone under heavy load).
  if (!cmdline.empty()) {
    EXPECT_EQ(cmdline, "/bin/sh");
  }
  std::string first = Call("getRunningTime");
  EXPECT_GE(std::stod(first.substr(strlen(R"(1 {"returnValue":)"))), 0.5);
  EXPECT_EQ(Call("getRunningTime"), first);
}

TEST_F(ProcessInteropTest, WrongDigestNeverRunsTheProgram) {
  std::string marker = dir_ / "ran";
  Call("setApplicationName", R"("applicationName":"/bin/sh")");
  Call("setArguments", R"("arguments":"-c \"touch )" + marker + R"(\"")");
  EXPECT_EQ(Call("setSHA1", R"("sHA1":")" + std::string(40, '0') + "\""),
            R"(1 {"returnValue":true})");
  Call("launch");
  std::vector<std::string> got = RunToEnd();
  ASSERT_FALSE(got.empty());
  EXPECT_NE(got.back().find(R"("successful":false)"), std::string::npos) << got.back();
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

TEST_F(ProcessInteropTest, GettersAnswerWhatSettersStored) {
  const std::string tooLong(400, 'x');
  struct Case {
    std::string set, params, setAnswer, get, getAnswer;
  } cases[] = {
      {"setApplicationName", R"("applicationName":"C:\\Tools\\run.exe")", "true",
       "getApplicationName", R"("C:\\Tools\\run.exe")"},
      {"setApplicationName", R"("applicationName":")" + tooLong + "\"", "false",
       "getApplicationName", R"("C:\\Tools\\run.exe")"},
      {"setArguments", R"("arguments":"a b")", "true", "getArguments", R"("a b")"},
      {"setWorkingDirectory", R"("workingDirectory":"/tmp")", "true", "getWorkingDirectory",
       R"("/tmp")"},
      {"setWorkingDirectory", R"("workingDirectory":")" + tooLong + "\"", "false",
       "getWorkingDirectory", R"("/tmp")"},
      {"setShowWindow", R"("showWindow":false)", "true", "getShowWindow", "false"},
      {"setElevationRights", R"("elevationRights":1)", "true", "getElevationRights", "1"},
      {"setSHA1", R"("sHA1":"ab")", "true", "getSHA1", R"("ab")"},
      {"setSHA1", R"("sHA1":")" + tooLong + "\"", "false", "getSHA1", R"("ab")"},
      {"setSHA1Target", R"("sHA1Target":"/bin/true")", "true", "getSHA1Target",
       R"("/bin/true")"},
      {"setSHA1Target", R"("sHA1Target":")" + tooLong + "\"", "false", "getSHA1Target",
       R"("/bin/true")"},
      {"setAuthenticateTarget", R"("authenticateTarget":"/bin/ls")", "true",
       "getAuthenticateTarget", R"("/bin/ls")"},
      {"setAuthenticateTarget", R"("authenticateTarget":")" + tooLong + "\"", "false",
       "getAuthenticateTarget", R"("/bin/ls")"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.set + " " + c.params.substr(0, 40));
    EXPECT_EQ(Call(c.set, c.params), R"(1 {"returnValue":)" + c.setAnswer + "}");
    EXPECT_EQ(Call(c.get), R"(1 {"returnValue":)" + c.getAnswer + "}");
  }
  // The file name by its label and by the listed hash.
  EXPECT_EQ(Call("getApplicationFileName"), R"(1 {"returnValue":"run.exe"})");
  Process *process = nullptr;
  Process_Create(&process);
  Process_SetApplicationName(process, "/usr/bin/env");
  Dictionary *request = nullptr, *result = nullptr;
  Dictionary_Create(&request);
  Dictionary_Create(&result);
  Dictionary_SetStringByKey(request, "method", "listed");
  Dictionary_SetInt32ByKey(request, "#methodHash", int32_t(0xe0d8bd85));
  EXPECT_EQ(ProcessInterop_Invoke(process, request, result), 1);
  EXPECT_EQ(InteropTest_JsonText(result), R"({"returnValue":"env"})");
  Dictionary_Release(&request);
  Dictionary_Release(&result);
  Class_ReleaseObject(&process);
  EXPECT_EQ(Call("getId"), R"(1 {"returnValue":0})");
}

}  // namespace
