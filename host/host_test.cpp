// The host's start and stop order, and its quit flag under real signals.
#include "host/host.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "base/repository.h"
#include "core/bridge/interop.h"
#include "core/formats/dictionary.h"
#include "core/net/analytics.h"
#include "core/net/proxyresolver.h"
#include "core/net/webget.h"
#include "core/net/webgetconnection.h"
#include "core/platform/directorysize.h"
#include "core/platform/fileops.h"
#include "core/platform/platform.h"
#include "core/platform/registry.h"
#include "core/platform/thread.h"
#include "core/posix/hive.h"
#include "core/runtime/core.h"
#include "core/security/auth.h"
#include "host/quithook.h"
#include "host/serve.h"
#include "host/usercheck.h"
#include "tests/fsfault.h"
#include "tests/loopback_port.h"
#include "tests/netfixture.h"
#include "tests/peer_process.h"
#include "tests/test_util.h"
#include "tests/web_peers.h"
#include "workflow/workflowapp.h"

namespace {

// The threads of this process but GLib's own, which the desktop settings
// library starts once and keeps for the process's life; with their names.
int OurThreads(std::string *names) {
  int count = 0;
  for (auto &entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name == "gmain" || name == "gdbus" || name == "dconf worker") continue;
    count++;
    if (names != nullptr) *names += name + " ";
  }
  return count;
}

const char *const kArgv[] = {"keelson", "--memorytracking", "--window"};
constexpr int kArgc = 3;

// Each round writes to the registry by name what the next one reads back.
TEST(HostTest, StartsAndStopsTwiceInOneProcess) {
  FsFaultTempDir hives;
  mkdir((hives / "homes").c_str(), 0755);
  Hive_SetDirectoriesForTest((hives / "homes").c_str(), (hives / "machine").c_str());
  int before = OurThreads(nullptr);
  testing::internal::CaptureStderr();
  for (int round = 0; round < 2; round++) {
    ASSERT_EQ(Host_Start(kArgc, kArgv, nullptr), 1);
    ASSERT_NE(Host_GetApp(), nullptr);
    EXPECT_EQ(Registry_AddWhitelistPath(1, "user\\Software\\Keelson"), 1);
    char last[16] = "";
    Registry_QueryString("64", "user", "Software\\Keelson\\Host", "Round", "none", last,
                         sizeof last);
    EXPECT_STREQ(last, round == 0 ? "none" : "0");
    EXPECT_EQ(Registry_SetInt32("64", "default", "user", "Software\\Keelson\\Host", "Round", round),
              1);
    // The repository module is registered: a live repository is reached by
    // its id.
    Repository *repository = nullptr;
    Repository_Create(&repository);
    char id[kInteropInstanceIdBytes] = {};
    snprintf(id, sizeof id, "%s", repository->header.instanceId);
    EXPECT_EQ(Interop_CreateInstance("QVN.Repository", id, int32_t(sizeof id), nullptr, nullptr), 1);
    EXPECT_EQ(Interop_ReleaseInstance(id), 1);
    Repository_Destroy(&repository);
    // A directory-size computation still running at the stop ends with it.
    EXPECT_EQ(Path_GetDirectorySizeAsync("/usr", "size"), 1);
    WorkflowApp_Pump(Host_GetApp());
    WorkflowApp_RequestQuit(Host_GetApp(), 3 + round);
    EXPECT_EQ(Host_Stop(), 3 + round);
    EXPECT_EQ(Host_GetApp(), nullptr);
  }
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.find("Not all memory was free'd"), std::string::npos) << log;
  std::string names;
  EXPECT_TRUE(Test_WaitUntil([&] { return OurThreads(nullptr) <= before; }))
      << OurThreads(&names) << " threads (" << names << "), " << before << " before";
  Hive_SetDirectoriesForTest(nullptr, nullptr);
}

// The whitelist is fixed once the host runs.
TEST(HostTest, WhitelistIsImmutableAfterStart) {
  EXPECT_DEATH(
      {
        const char *const argv[] = {"keelson"};
        Host_Start(1, argv, nullptr);
        WebGet_AddWhitelistHost("late.keelson.test");
      },
      "HostnameWhitelist is immutable");
}

// --www is served from the directory checked at start, whatever its path
// leads to by the time the page server opens it.
TEST(HostTest, WwwIsTheDirectoryChecked) {
  FsFaultTempDir dir;
  std::string www = dir / "www";
  ASSERT_EQ(mkdir(www.c_str(), 0755), 0);
  std::ofstream(www + "/index.html") << "checked";
  int code = 0;
  PlatformDirectory *served = nullptr;
  ASSERT_EQ(UserCheck_CheckDirectory(www.c_str(), "--www directory", &code, &served), 1);
  ASSERT_EQ(rename(www.c_str(), (dir / "moved").c_str()), 0);
  ASSERT_EQ(mkdir(www.c_str(), 0755), 0);
  FileIdentity identity;
  EXPECT_EQ(Platform_GetFileIdentityAt(served, "index.html", &identity), 1);
  Platform_CloseDirectory(&served);
}

// The repository file's text read at start is what the run parses: the
// file replaced at its name afterwards changes nothing.
TEST(HostTest, RepositoryTextIsTheOneChecked) {
  FsFaultTempDir dir;
  std::string path = dir / "repo.json";
  std::ofstream(path) << "{\"repository\":\"checked\"}";
  int code = 0;
  std::string text;
  ASSERT_EQ(UserCheck_ReadFile(path.c_str(), "repository", &code, &text), 1);
  std::ofstream(path, std::ios::trunc) << "{\"repository\":\"swapped\"}";
  Dictionary *config = nullptr;
  ASSERT_EQ(UserCheck_ParseConfig(path.c_str(), text, &config), 1);
  const char *name = nullptr;
  EXPECT_TRUE(Dictionary_GetStringPointerByKey(config, "repository", &name) && name != nullptr &&
              std::string(name) == "checked");
  Dictionary_Release(&config);
}

// `keelson serve --www`: the directory renamed between its check and the
// page server's start, another put at its name; the one checked is served.
TEST(HostTest, ServeServesTheWwwChecked) {
  FsFaultTempDir dir;
  std::string www = dir / "www", repo = dir / "repo.json", game = dir / "game";
  ASSERT_EQ(mkdir(www.c_str(), 0755), 0);
  std::ofstream(www + "/index.html") << "checked";
  std::ofstream(repo) << R"({"repository":"game","alias":"http://127.0.0.1:9/alias.json",)"
                      << R"("catalog":"http://127.0.0.1:9/catalog/","local":{"type":"file",)"
                      << R"("path":")" << game << R"("},"metafile":")" << game << R"(.json"})";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    int code = 0;
    PlatformDirectory *checked = nullptr;
    std::string text;
    if (!UserCheck_CheckDirectory(www.c_str(), "--www directory", &code, &checked) ||
        !UserCheck_ReadFile(repo.c_str(), "repository", &code, &text))
      _exit(3);
    if (rename(www.c_str(), (dir / "checked").c_str()) != 0 || mkdir(www.c_str(), 0755) != 0)
      _exit(4);
    std::ofstream(www + "/index.html") << "planted";
    const char *const argv[] = {"keelson"};
    if (Host_Start(1, argv, nullptr) != 1) _exit(2);
    dup2(out[1], 1);  // the address line
    Dictionary *config = nullptr;
    if (!UserCheck_ParseConfig(repo.c_str(), text, &config)) _exit(5);
    ServeOptions options{repo.c_str(), nullptr, www.c_str(), 0, nullptr, config, checked};
    _exit(Serve_Run(&options));
  }
  close(out[1]);
  std::string line;
  pollfd readable{out[0], POLLIN, 0};
  char buffer[512];
  while (line.find('\n') == std::string::npos && poll(&readable, 1, 20000) == 1) {
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, size_t(n));
  }
  close(out[0]);
  int port = 0, status = 0;
  std::string body;
  if (sscanf(line.c_str(), "{\"url\":\"http://127.0.0.1:%d/", &port) == 1)
    body = Test_RunCommand("curl -s --noproxy '*' --max-time 10 http://127.0.0.1:" +
                               std::to_string(port) + "/index.html",
                           &status);
  kill(pid, SIGTERM);
  if (!Test_WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_EQ(body, "checked") << line;
}

// The proxy list for url once detection has ended, asked through the hook
// the resolver installs; "(no resolver)" while none runs.
std::string DetectedList(const char *url) {
  WebGetProxyGetHook get = nullptr;
  WebGetConnection_GetProxyHooks(&get, nullptr);
  if (get == nullptr) return "(no resolver)";
  char out[kProxyResolverListBytes] = "";
  int pending = 1;
  Test_WaitUntil([&] { return get(url, out, int(sizeof out), 1, &pending) && !pending; }, 20000);
  return pending ? "(pending)" : out;
}

// Proxy detection starts once the application's configuration is in place:
// a script on an https server whose certificate only the application file
// pins is fetched and answers. Another program holds the file open without
// sharing it, and the start retries it a second apart; the test lets go once
// the start has met it held and a detection already under way has ended.
TEST(HostTest, ProxyDetectionSeesTheApplicationsCertificates) {
  AuthSwitchGuardForTest on(1);
  FsFaultTempDir dir;
  std::string pin = WebPeer_MakePinnedCertificate(dir.path());
  ASSERT_NE(pin, "");
  std::ofstream(dir / "proxy.pac")
      << "function FindProxyForURL(url, host) { return \"PROXY pinned.example:1\"; }\n";
  int port = Test_FreeLoopbackPort();
  PeerProcess server({"/bin/sh", "-c",
                      "cd " + dir.path() + " && exec openssl s_server -quiet -WWW -accept " +
                          std::to_string(port) + " -cert cert.pem -key key.pem"});
  ASSERT_TRUE(Test_WaitUntil([&] { return WebPeer_Listening(port); }, 20000));
  std::string app = dir / "app.json";
  std::ofstream(app) << R"({"thumbprintStores":{"app":[")" << pin << R"("]}})";
  int held = Platform_OpenFile(app.c_str(), kPlatformOpenReadWrite, 0);
  ASSERT_GE(held, 0);
  std::string appOption = "--app=" + app, debugDir = "--debugdir=" + dir.path();
  std::string script = "--proxy-wpad=https://127.0.0.1:" + std::to_string(port) + "/proxy.pac";
  const char *const argv[] = {"keelson", appOption.c_str(), script.c_str(), "--debug",
                              debugDir.c_str()};
  std::string log = dir / "keelson.developer.log", met = "share mode [" + app + "] failed";
  std::thread holder([&] {
    Test_WaitUntil([&] { return WebPeer_Count(log, met) > 0; }, 20000);
    DetectedList("http://a.example/");
    Platform_CloseFile(held);
  });
  int started = Host_Start(5, argv, nullptr);
  holder.join();
  EXPECT_EQ(started, 1);
  EXPECT_EQ(DetectedList("http://a.example/"), "PROXY pinned.example:1");
  Host_Stop();
}

// Runs child(ready, report) in a forked process and gives its exit status
// (-1 when it did not exit within the bound). The child writes one byte to
// ready once it waits for a signal, and may write an int to report.
int RunChild(void (*child)(int ready, int report), const std::function<void(pid_t, int)> &drive,
             int *reported) {
  int ready[2], report[2];
  if (pipe(ready) != 0 || pipe(report) != 0) return -1;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(report[0]);
    child(ready[1], report[1]);
    _exit(0);
  }
  close(ready[1]);
  close(report[1]);
  char byte = 0;
  EXPECT_EQ(read(ready[0], &byte, 1), 1);
  drive(pid, ready[0]);
  int status = 0;
  bool done = Test_WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000);
  if (!done) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  if (read(report[0], reported, sizeof *reported) != ssize_t(sizeof *reported)) *reported = 0;
  close(ready[0]);
  close(report[0]);
  return done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A headless main loop: pump and yield until a quit signal, bounded.
void PumpUntilQuit() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!Host_IsQuitRequested() && std::chrono::steady_clock::now() < deadline) {
    WorkflowApp_Pump(Host_GetApp());
    Thread_Yield();
  }
}

void QuitLoopChild(int ready, int report) {
  const char *const argv[] = {"keelson"};
  if (Host_Start(1, argv, nullptr) != 1) _exit(2);
  (void)!write(ready, "r", 1);
  PumpUntilQuit();
  int sig = Host_GetQuitSignal();
  (void)!write(report, &sig, sizeof sig);
  _exit(Host_Stop());
}

TEST(HostTest, QuitSignalsEndTheMainLoop) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    int reported = 0;
    EXPECT_EQ(RunChild(QuitLoopChild, [sig](pid_t pid, int) { kill(pid, sig); }, &reported), 0);
    EXPECT_EQ(reported, sig);
  }
}

// A second quit signal while the host stops ends the process at once. The
// stop is held for real: analytics sends its last event to a listener of
// the test that accepts the request and never answers.
int gSilentPort = 0;

void HeldStopChild(int ready, int) {
  const char *const argv[] = {"keelson"};
  std::string url = "http://127.0.0.1:" + std::to_string(gSilentPort) + "/events";
  Dictionary *app = NetTest_Dictionary(R"({"webGet":{"whitelist":["127.0.0.1"]},)"
                                       R"("analytics":{"key":"k-1","sendInterval":3600,)"
                                       R"("endPoint":")" + url + R"("}})");
  if (Host_Start(1, argv, app) != 1) _exit(2);
  Dictionary_Release(&app);
  (void)!write(ready, "r", 1);
  PumpUntilQuit();
  Analytics_TrackEvent("Stopping", nullptr);
  _exit(Host_Stop() == 0 ? 1 : 3);  // the second signal should end it inside
}

TEST(HostTest, SecondSignalDuringStopExits) {
  int silent = Test_LoopbackListener(&gSilentPort);
  int connection = -1;  // open until the child is gone
  int reported = 0;
  int status = RunChild(
      HeldStopChild,
      [&](pid_t pid, int) {
        kill(pid, SIGINT);
        // The stop holds once the last event's request has arrived.
        pollfd waiting{silent, POLLIN, 0};
        ASSERT_EQ(poll(&waiting, 1, 20000), 1);
        connection = accept(silent, nullptr, nullptr);
        pollfd request{connection, POLLIN, 0};
        EXPECT_EQ(poll(&request, 1, 20000), 1);
        kill(pid, SIGINT);
      },
      &reported);
  if (connection >= 0) close(connection);
  close(silent);
  EXPECT_EQ(status, 130);
}

}  // namespace
