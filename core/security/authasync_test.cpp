// AuthenticateAsync: signed and unsigned PE files from
// tests/gen_authenticode.py (osslsigncode's verdicts) checked on the worker
// and delivered through the poll; the switch off; a release while a slow
// check (the SHA-256 pin of a large sparse ELF file) still runs.
#include "core/security/authasync.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "core/platform/thread.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "tests/exec_test_util.h"
#include "tests/log_capture.h"
#include "tests/pin_store_util.h"
#include "tests/wake_hook.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
  int calls = 0;
  int result = -1;
};

void onComplete(AuthenticateAsync *, void *context, int result) {
  auto *o = static_cast<Outcome *>(context);
  o->calls++;
  o->result = result;
}

class AuthenticateAsyncThreaded : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    root_ = Test_PinStore({Test_ReadFileBytes(Test_VectorPath("authenticode/root.der"))});
    AuthenticateAsync_Create(&auth_);
    AuthenticateAsync_SetCompleteCallback(auth_, &outcome_, onComplete);
    AuthenticateAsync_SetCertStore(auth_, root_);
  }
  void TearDown() override {
    if (auth_ != nullptr) AuthenticateAsync_Release(&auth_);
    if (root_ != nullptr) CertStore_Release(&root_);
    AuthenticateAsync_SetReleaseWaitForTest(kAuthenticateAsyncReleaseWaitMs);
    ThreadTest::TearDown();
  }
  // Polls until the completion arrived (bounded).
  bool PollToEnd() {
    return Test_WaitUntil([&] {
      AuthenticateAsync_Poll(auth_);
      return outcome_.calls > 0;
    });
  }

  CertStore *root_ = nullptr;
  AuthenticateAsync *auth_ = nullptr;
  Outcome outcome_;
};

TEST_F(AuthenticateAsyncThreaded, ResultsArriveThroughThePoll) {
  struct Row {
    const char *file;
    int result;
  } rows[] = {{"authenticode/pe64-sha256.exe", 1}, {"authenticode/pe64.exe", 0},
              {"authenticode/forged.exe", 0}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.file);
    outcome_ = {};
    AuthenticateAsync_SetPath(auth_, Test_VectorPath(r.file).c_str());
    ASSERT_EQ(AuthenticateAsync_Start(auth_), 1);
    EXPECT_EQ(AuthenticateAsync_Start(auth_), 0);  // already running until polled
    ASSERT_TRUE(PollToEnd());
    EXPECT_EQ(outcome_.result, r.result);
    AuthenticateAsync_Poll(auth_);
    EXPECT_EQ(outcome_.calls, 1);
  }
}

TEST_F(AuthenticateAsyncThreaded, SwitchOffCompletesWithoutAThread) {
  AuthSwitchGuardForTest off(0);
  AuthenticateAsync_SetPath(auth_, Test_VectorPath("authenticode/pe64.exe").c_str());
  int threads = Test_CountThreads();
  ASSERT_EQ(AuthenticateAsync_Start(auth_), 1);
  EXPECT_EQ(Test_CountThreads(), threads);
  EXPECT_EQ(outcome_.calls, 0);
  AuthenticateAsync_Poll(auth_);
  EXPECT_EQ(outcome_.calls, 1);
  EXPECT_EQ(outcome_.result, 1);
}

TEST_F(AuthenticateAsyncThreaded, ReleaseDuringASlowCheckLeavesTheWorkerItsJob) {
  std::string slow = testing::TempDir() + "authasync_slow.elf";
  fs::copy_file("/bin/true", slow, fs::copy_options::overwrite_existing);
  fs::resize_file(slow, uintmax_t(64) << 20);
  // A first thread start may bring threads of its own (the sanitizer's
  // background thread): one is started and joined before counting.
  std::thread([] {}).join();
  int threads = Test_CountThreads();
  AuthenticateAsync_SetReleaseWaitForTest(1);
  AuthenticateAsync_SetPath(auth_, slow.c_str());
  ASSERT_EQ(AuthenticateAsync_Start(auth_), 1);
  {
    TestLogCapture log;
    AuthenticateAsync_Release(&auth_);
    EXPECT_NE(log.Take().find("Timeout waiting on authenticate thread shutdown"),
              std::string::npos);
  }
  EXPECT_EQ(auth_, nullptr);
  CertStore_Release(&root_);  // the worker still holds its own reference
  EXPECT_TRUE(Test_WaitUntil([&] { return Test_CountThreads() == threads; }, 60000));
  // The worker's last step frees its record under the thread module's lock;
  // taking that lock orders it before the module's shutdown.
  Thread *nobody = nullptr;
  EXPECT_EQ(Thread_Find(0xFFFFFFFEu, &nobody), 0);
  EXPECT_EQ(outcome_.calls, 0);
  fs::remove(slow);
}

}  // namespace
