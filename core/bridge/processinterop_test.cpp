// QVN.Process through the bridge with real programs: the page observes the
// instance's "Process" notifications.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/platform/launch.h"
#include "core/platform/process.h"
#include "core/runtime/class.h"
#include "core/runtime/memory.h"
#include "tests/core_class_page.h"
#include "tests/interop_test_util.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/peer_record.h"
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
  // The clock starts once the launch returns, and the child may already be
  // sleeping by then when this thread is put off under load: a lower bound
  // with room for that, not the child's 0.5 s.
  std::string first = Call("getRunningTime");
  EXPECT_GE(std::stod(first.substr(strlen(R"(1 {"returnValue":)"))), 0.25);
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

TEST_F(ProcessInteropTest, ElevatedLaunchGoesThroughTheHelper) {
  chmod(dir_.path().c_str(), 0777);
  std::string helper = dir_ / "pkexec-recorder";
  std::string out = dir_ / "pkexec.out";
  Peer_WriteFile(helper,
                 "#!/bin/sh\n{ id -u; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > '" +
                     out + ".part'\nmv '" + out + ".part' '" + out + "'\n",
                 0755);
  Launch_SetPkexecPathForTest(helper.c_str());
  // The page lives in a thread of the forked child, which becomes the main
  // thread (one that never ran in this process, so it caches no thread id).
  TearDown();
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    std::thread page([&] {
      SetUp();
      FSF_EXPECT_EQ(child, Call("setApplicationName", R"("applicationName":"/bin/echo")"),
                    std::string(R"(1 {"returnValue":true})"));
      Call("setArguments", R"("arguments":"one \"two three\"")");
      FSF_EXPECT_EQ(child, Call("setElevationRights", R"("elevationRights":1)"),
                    std::string(R"(1 {"returnValue":true})"));
      FSF_EXPECT_EQ(child, Call("launch"), std::string(R"(1 {"returnValue":true})"));
      std::vector<std::string> got = RunToEnd();
      FSF_EXPECT(child, !got.empty() && got.back().find(R"("successful":true,"exitCode":0)") !=
                                            std::string::npos);
      FSF_EXPECT(child, Peer_WaitUntil([&] { return Peer_FileExists(out); }));
      FSF_EXPECT_EQ(child, Peer_ReadFile(out),
                    std::string("65534\n--keep-cwd\n/bin/echo\none\ntwo three\n"));
      TearDown();
    });
    page.join();
  });
  Launch_SetPkexecPathForTest(nullptr);
  SetUp();
}

// Released by its page while its program runs: the next pump destroys the
// Process (memory tracking lists no block of it any more) and the program,
// once it ends, is reaped, not left a zombie.
TEST_F(ProcessInteropTest, ReleaseDestroysTheObjectAndTheRunningChildIsReaped) {
  Interop_Shutdown();
  NotificationCenter_Shutdown();
  Mem_Init(1);
  OpenPage();
  auto processBlocks = [] {
    TestLogCapture capture;
    Mem_DumpTracked();
    std::string dump = capture.Take();
    int blocks = 0;
    for (size_t at = 0; (at = dump.find("core/platform/process.cpp]", at)) != std::string::npos;
         at++)
      blocks++;
    return blocks;
  };
  char own[kInteropInstanceIdBytes] = {};
  ASSERT_EQ(Interop_CreateInstance("QVN.Process", own, sizeof own, &page_, &page_), 1);
  id_ = own;
  InteropInstance *instance = nullptr;
  ASSERT_EQ(Interop_FindInstance(own, &instance), 1);
  EXPECT_STREQ(static_cast<ObjectHeader *>(instance->object)->instanceId, own);
  Interop_ReleaseInstanceRef(&instance);
  Call("setElevationRights", R"("elevationRights":2)");
  Call("setApplicationName", R"("applicationName":"/bin/sleep")");
  Call("setArguments", R"("arguments":"30")");
  ASSERT_EQ(Call("launch"), R"(1 {"returnValue":true})");
  std::string pid;
  ASSERT_TRUE(Test_WaitUntil([&] {
    Pump();
    pid = Call("getId").substr(strlen(R"(1 {"returnValue":)"));
    pid.pop_back();
    return pid != "0";
  }, 20000, 5));
  EXPECT_GT(processBlocks(), 0);
  EXPECT_EQ(Interop_ReleaseInstance(own), 1);
  Pump();
  EXPECT_EQ(Interop_FindInstance(own, &instance), 0);
  EXPECT_EQ(processBlocks(), 0);
  std::string stat = "/proc/" + pid + "/stat";
  std::string state = Peer_ReadFile(stat);
  ASSERT_NE(state.rfind(')'), std::string::npos);
  EXPECT_NE(state.substr(state.rfind(')') + 2, 1), "Z") << state;
  kill(pid_t(std::stol(pid)), SIGTERM);
  EXPECT_TRUE(Test_WaitUntil([&] { return access(stat.c_str(), F_OK) != 0; }, 20000, 5));
  Interop_Shutdown();
  NotificationCenter_Shutdown();
  Mem_Shutdown();
}

}  // namespace
