// Process with real programs (true, sh, sleep), sha1sum as the oracle of the
// SHA-1 check, and ELF files pinned in a store joined to "app"; every
// notification observed on the main thread, in order.
#include "core/platform/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/platform/notification.h"
#include "core/platform/thread.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "tests/exec_test_util.h"
#include "tests/interop_test_util.h"
#include "tests/pin_store_util.h"
#include "tests/wake_hook.h"

namespace fs = std::filesystem;

namespace {

constexpr int kBoundMs = 20000;
constexpr const char *kNotifications[] = {"Start", "Ready", "Complete"};
constexpr const char *kUnsuccessful = "{\"successful\":false,\"exitCode\":0}";

struct Events {
  std::vector<std::string> seen;  // "<notification> <info JSON>"
  int offMainThread = 0;
};

int onProcess(void *context, const char *, const char *notification, const char *,
              Dictionary *info) {
  auto *events = static_cast<Events *>(context);
  if (Thread_GetCurrentId() != Thread_GetMainId()) events->offMainThread++;
  events->seen.push_back(std::string(notification) + " " + InteropTest_JsonText(info));
  return 1;
}

class ProcessTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    NotificationCenter_Init();
    Auth_Init();
    Process_Create(&process_);
    for (const char *name : kNotifications)
      NotificationCenter_AddInstanceObserver("Process", name, id(), &events_, onProcess);
    // As root the default starts programs as the desktop user; the tests
    // keep their own identity.
    Process_SetElevation(process_, int32_t(ProcessElevation::AsInvoker));
    dir_ = testing::TempDir() + "keelson-process-" + std::to_string(getpid()) + "/";
    fs::create_directories(dir_);
  }
  void TearDown() override {
    for (const char *name : kNotifications)
      NotificationCenter_RemoveInstanceObserver("Process", name, id(), &events_, onProcess);
    Class_ReleaseObject(&process_);
    Auth_Shutdown();
    NotificationCenter_Shutdown();
    ThreadTest::TearDown();
    fs::remove_all(dir_);
    EXPECT_EQ(events_.offMainThread, 0);
  }
  const char *id() { return reinterpret_cast<const char *>(process_); }

  // Polls until the start has completed; the events it fired.
  std::vector<std::string> RunToEnd() {
    Test_WaitUntil([&] {
      Process_Process(process_);
      return Process_GetState(process_) == ProcessState::Idle;
    }, kBoundMs, 5);
    return events_.seen;
  }
  // The events of a start that launched and ended with that info.
  std::vector<std::string> Launched(const std::string &complete) {
    uint32_t pid = 0;
    Process_GetProcessId(process_, &pid);
    return {"Start null", "Ready {\"id\":" + std::to_string(pid) + "}", "Complete " + complete};
  }

  Process *process_ = nullptr;
  Events events_;
  std::string dir_;
};
class ProcessDeathTest : public ProcessTest {};

}  // namespace

TEST_F(ProcessDeathTest, ProgrammingErrorsStop) {
  EXPECT_DEATH(Process_Create(nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Process_SetArguments(process_, nullptr), "Pointer is NULL\n");
  uint32_t foreign[32] = {};
  EXPECT_DEATH(Process_Start(reinterpret_cast<Process *>(foreign)),
               "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0xd2245880");
}

TEST_F(ProcessTest, ProgramsCompleteWithTheirExitCodes) {
  struct Row {
    const char *application;
    const char *arguments;
    int started;
    const char *complete;  // NULL: refused before launching
  };
  const Row rows[] = {
      {"true", "", 1, "{\"successful\":true,\"exitCode\":0}"},
      {"/bin/sh", "-c \"exit 3\"", 1, "{\"successful\":true,\"exitCode\":3}"},
      {"\"/bin/sh\"", "-c \"kill -9 $$\"", 1, "{\"successful\":true,\"exitCode\":137}"},
      {"", "", 0, nullptr},
      {"/nonexistent/keelson", "", 0, nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.application);
    events_.seen.clear();
    Process_SetApplicationName(process_, row.application);
    Process_SetArguments(process_, row.arguments);
    EXPECT_EQ(Process_Start(process_), row.started);
    std::vector<std::string> seen = RunToEnd();
    if (row.complete != nullptr)
      EXPECT_EQ(seen, Launched(row.complete));
    else
      EXPECT_EQ(seen, (std::vector<std::string>{"Start null", std::string("Complete ") +
                                                                  kUnsuccessful}));
  }
}

// "Ready" comes once the program has run a quarter of a second; a start
// while it runs is refused and changes nothing; "Complete" comes once.
TEST_F(ProcessTest, StartWhileRunningIsRefused) {
  Process_SetApplicationName(process_, "sleep");
  Process_SetArguments(process_, "1");
  ASSERT_EQ(Process_Start(process_), 1);
  ASSERT_TRUE(Test_WaitUntil([&] {
    Process_Process(process_);
    return events_.seen.size() == 2;
  }, kBoundMs, 5));
  EXPECT_EQ(Process_GetState(process_), ProcessState::Running);
  EXPECT_GE(Process_GetElapsed(process_), kProcessReadySeconds);
  std::string lines = Test_VerboseLines([&] { EXPECT_EQ(Process_Start(process_), 0); });
  EXPECT_NE(lines.find("Application already launched, waiting for exit"), std::string::npos);
  EXPECT_EQ(Process_GetState(process_), ProcessState::Running);
  EXPECT_EQ(RunToEnd(), Launched("{\"successful\":true,\"exitCode\":0}"));
  double elapsed = Process_GetElapsed(process_);
  EXPECT_GE(elapsed, 0.25);
  EXPECT_EQ(Process_GetElapsed(process_), elapsed);  // stopped at the end
}

// The SHA-1 check against sha1sum's digest: either case launches; a wrong
// digest, a missing file and a file cut while it is hashed do not.
TEST_F(ProcessTest, Sha1CheckedBeforeLaunching) {
  int status = -1;
  std::string digest = Test_RunCommand("sha1sum /bin/sh", &status).substr(0, 40);
  ASSERT_EQ(status, 0);
  std::string upper = digest;
  for (char &c : upper) c = char(toupper(c));
  std::string cut = dir_ + "cut.bin";
  std::string whole(1 << 20, 'c');
  std::ofstream(cut, std::ios::binary) << whole;
  std::string cutDigest = Test_RunCommand("sha1sum " + cut, &status).substr(0, 40);
  std::string marker = dir_ + "marker";
  struct Row {
    std::string sha1, target;
    int launches;
  };
  const Row rows[] = {
      {digest, "", 1},
      {upper, "", 1},
      {std::string(40, '0'), "", 0},
      {digest, dir_ + "missing", 0},
      {cutDigest, cut, 0},  // right for the whole file, which is cut while hashed
  };
  Process_SetApplicationName(process_, "/bin/sh");
  Process_SetArguments(process_, ("-c \"echo ran > " + marker + "\"").c_str());
  for (const Row &row : rows) {
    SCOPED_TRACE(row.sha1 + " " + row.target);
    events_.seen.clear();
    fs::remove(marker);
    Process_SetSha1(process_, row.sha1.c_str());
    Process_SetSha1Target(process_, row.target.c_str());
    std::ofstream(cut, std::ios::binary) << whole;
    std::string lines = Test_VerboseLines([&] {
      Process_Start(process_);
      fs::resize_file(cut, 10);  // after the open: the hash ends early
      RunToEnd();
    });
    EXPECT_EQ(fs::exists(marker), row.launches == 1);
    ASSERT_FALSE(events_.seen.empty());
    EXPECT_EQ(events_.seen.back(), row.launches ? "Complete {\"successful\":true,\"exitCode\":0}"
                                                : std::string("Complete ") + kUnsuccessful);
    bool wrong = row.sha1[0] == '0';
    EXPECT_EQ(lines.find("SHA1 failed (/bin/sh) Expected (" + row.sha1 + ") Actual (" + digest +
                         ")") != std::string::npos,
              wrong);
  }
}

// The signature check of an ELF target: pinned in a store joined to "app",
// it launches; unpinned it fails, unless security is off.
TEST_F(ProcessTest, AuthenticationBeforeLaunching) {
  std::string pinned = dir_ + "pinned";
  std::string unpinned = dir_ + "unpinned";
  fs::copy_file("/bin/true", pinned);
  fs::copy_file("/bin/true", unpinned);
  std::ofstream(unpinned, std::ios::app | std::ios::binary) << "x";
  CertStore *store = Test_PinStore({Test_ReadFileBytes(pinned)});
  Auth_AddAppStore(store);
  CertStore_Release(&store);
  Process_SetApplicationName(process_, "true");
  struct Row {
    std::string target;
    int security;
    int launches;
  };
  const Row rows[] = {{pinned, 1, 1}, {unpinned, 1, 0}, {unpinned, 0, 1}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.target + " security " + std::to_string(row.security));
    AuthSwitchGuardForTest security(row.security);
    events_.seen.clear();
    Process_SetAuthenticateTarget(process_, row.target.c_str());
    std::string lines = Test_VerboseLines([&] {
      EXPECT_EQ(Process_Start(process_), 1);
      RunToEnd();
    });
    ASSERT_FALSE(events_.seen.empty());
    EXPECT_EQ(events_.seen.back(), row.launches ? "Complete {\"successful\":true,\"exitCode\":0}"
                                                : std::string("Complete ") + kUnsuccessful);
    EXPECT_EQ(lines.find("Authentication failed (" + row.target + ")") != std::string::npos,
              row.launches == 0);
  }
}

TEST_F(ProcessTest, TextsThatDoNotFitAreRefused) {
  Process_SetApplicationName(process_, "/usr/bin/true");
  Process_SetElevation(process_, 7);
  std::string lines = Test_VerboseLines([&] { Process_LogSettings(process_); });
  EXPECT_NE(lines.find("Elevation rights - User"), std::string::npos);
  char name[16];
  Process_GetFileName(process_, name, sizeof name);
  EXPECT_STREQ(name, "true");
  std::string longPath(5000, 'p');
  struct Row {
    int (*set)(Process *, const char *);
    const char *(*get)(Process *);
    int size;
  };
  const Row rows[] = {
      {Process_SetApplicationName, Process_GetApplicationName, kProcessPathBytes},
      {Process_SetArguments, Process_GetArguments, kProcessArgumentsBytes},
      {Process_SetWorkingDirectory, Process_GetWorkingDirectory, kProcessPathBytes},
      {Process_SetSha1, Process_GetSha1, kProcessPathBytes},
      {Process_SetSha1Target, Process_GetSha1Target, kProcessPathBytes},
      {Process_SetAuthenticateTarget, Process_GetAuthenticateTarget, kProcessPathBytes},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.size);
    std::string fits(size_t(row.size - 1), 'f');
    EXPECT_EQ(row.set(process_, fits.c_str()), 1);
    EXPECT_EQ(row.set(process_, std::string(size_t(row.size), 'x').c_str()), 0);
    EXPECT_EQ(row.set(process_, longPath.c_str()), 0);
    EXPECT_EQ(row.get(process_), fits);
  }
  EXPECT_EQ(Process_GetElapsed(process_), 0);  // never started
}
