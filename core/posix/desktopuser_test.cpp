#include "core/posix/desktopuser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "core/platform/platform.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"

namespace {

// Saves and restores the variables that name a desktop user, and points the
// seat lookup at a scratch directory the test fills.
class DesktopUserTest : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    for (const char *name : {"PKEXEC_UID", "SUDO_UID"}) {
      const char *value = getenv(name);
      saved_.push_back({name, value != nullptr, value != nullptr ? value : ""});
      unsetenv(name);
    }
    DesktopUser_SetSystemdRunDirForTest(run_.path().c_str());
  }
  void TearDown() override {
    DesktopUser_SetSystemdRunDirForTest(nullptr);
    for (const Saved &s : saved_) {
      if (s.set) setenv(s.name, s.value.c_str(), 1);
      else unsetenv(s.name);
    }
  }

  void WriteSeat(const std::string &active, const std::string &uid) {
    mkdir((run_ / "seats").c_str(), 0755);
    mkdir((run_ / "sessions").c_str(), 0755);
    std::ofstream(run_ / "seats/seat0") << "IS_SEAT0=1\nACTIVE=" << active << "\nSESSIONS=" << active
                                        << "\n";
    std::ofstream(run_ / ("sessions/" + active)) << "STATE=active\nUID=" << uid << "\nUSER=x\n";
  }

  struct Saved {
    const char *name;
    bool set;
    std::string value;
  };
  std::vector<Saved> saved_;
  FsFaultTempDir run_;
};

TEST_F(DesktopUserTest, SourcesInOrder) {
  struct Row {
    const char *pkexec;
    const char *sudo;
    const char *seatUid;  // nullptr: no seat file
    int result;
    uint32_t uid;
  };
  const Row rows[] = {
      {"2", "65534", "1", 1, 2},        // pkexec first
      {nullptr, "65534", "1", 1, 65534},  // then sudo
      {nullptr, nullptr, "1", 1, 1},      // then the active session
      {"12x", "54321", "1", 1, 1},      // not a number, not an account: ignored
      {"", "-1", nullptr, 0, 0},        // nothing usable anywhere
      {nullptr, nullptr, "99999", 0, 0},  // a session uid without an account
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << (row.pkexec ? row.pkexec : "-") << " "
                                    << (row.sudo ? row.sudo : "-") << " "
                                    << (row.seatUid ? row.seatUid : "-"));
    row.pkexec ? setenv("PKEXEC_UID", row.pkexec, 1) : unsetenv("PKEXEC_UID");
    row.sudo ? setenv("SUDO_UID", row.sudo, 1) : unsetenv("SUDO_UID");
    std::string dir = row.seatUid ? run_.path() : run_ / "missing";
    if (row.seatUid) WriteSeat("c7", row.seatUid);
    DesktopUser_SetSystemdRunDirForTest(dir.c_str());
    uint32_t uid = 12345;
    EXPECT_EQ(DesktopUser_GetUid(&uid), row.result);
    if (row.result) {
      EXPECT_EQ(uid, row.uid);
    }
    char sid[16];
    EXPECT_EQ(Platform_GetDesktopUserSid(sid, sizeof sid), row.result);
    if (row.result) {
      EXPECT_EQ(std::string(sid), std::to_string(row.uid));
    }
  }
}

TEST_F(DesktopUserTest, NoneIsLoggedAndSmallBufferFails) {
  {
    TestLogCapture capture;
    uint32_t uid = 0;
    EXPECT_EQ(DesktopUser_GetUid(&uid), 0);
    std::string text = capture.Take();
    EXPECT_NE(text.find("No desktop user found"), std::string::npos) << text;
  }
  setenv("SUDO_UID", "65534", 1);
  char sid[5];
  EXPECT_EQ(Platform_GetDesktopUserSid(sid, sizeof sid), 0);
  char fits[6];
  EXPECT_EQ(Platform_GetDesktopUserSid(fits, sizeof fits), 1);
  EXPECT_STREQ(fits, "65534");
}

TEST_F(DesktopUserTest, SessionNameCannotLeaveTheDirectory) {
  WriteSeat("../sessions/c7", "1");
  uint32_t uid = 0;
  EXPECT_EQ(DesktopUser_GetUid(&uid), 0);
}

TEST(DesktopUserUnprivilegedTest, OwnUidWithoutLookingFurther) {
  FSFAULT_RUN([](FsFaultChild &child) {
    setenv("SUDO_UID", "1", 1);
    if (!child.DropPrivileges()) return;
    uint32_t uid = 0;
    FSF_EXPECT_EQ(child, DesktopUser_GetUid(&uid), 1);
    FSF_EXPECT_EQ(child, uid, 65534u);
    FsIdentityScope scope(1);  // not root: nothing to switch
    FSF_EXPECT_EQ(child, scope.ok(), 1);
  });
}

// Files made inside the scope belong to the user, and the user's rights
// bound what the thread may touch; another thread keeps root's identity.
TEST(FsIdentityScopeThreadedTest, SwitchesTheCallingThreadOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  FsFaultTempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  std::string closed = dir / "closed";
  ASSERT_EQ(mkdir(closed.c_str(), 0700), 0);
  struct stat st;
  // The other thread exists before the switch: a thread started inside the
  // scope would inherit the identity.
  std::promise<void> go;
  std::thread other([&, ready = go.get_future()]() mutable {
    ready.wait();
    EXPECT_EQ(mkdir((dir / "theirs").c_str(), 0755), 0);
  });
  {
    FsIdentityScope scope(65534);
    ASSERT_EQ(scope.ok(), 1);
    ASSERT_EQ(mkdir((dir / "mine").c_str(), 0755), 0);
    errno = 0;
    EXPECT_NE(mkdir((closed + "/x").c_str(), 0755), 0);
    EXPECT_EQ(errno, EACCES);
    go.set_value();
    other.join();
  }
  ASSERT_EQ(stat((dir / "mine").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  ASSERT_EQ(stat((dir / "theirs").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  ASSERT_EQ(mkdir((dir / "after").c_str(), 0755), 0);
  ASSERT_EQ(stat((dir / "after").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(mkdir((closed + "/y").c_str(), 0755), 0);
}

}  // namespace
