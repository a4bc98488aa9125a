// The credential store: round trips under the exact target texts, sizes at
// the buffer's edge, modes, planted links, concurrent and killed writers,
// with Python's json as the independent reader of the document.
#include "core/platform/credential.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/platform/platform.h"
#include "tests/fsfault.h"

namespace {

// Python's view of the document: its targets sorted, one a line, with the
// user name and the password's length.
constexpr const char *kListScript = R"PY(
import json, sys
with open(sys.argv[1], encoding='utf-8') as f:
    doc = json.load(f)
for target in sorted(doc):
    print('%s|%s|%d' % (target, doc[target]['user'], len(doc[target]['password'].encode())))
)PY";

class CredentialTest : public testing::Test {
 protected:
  void SetUp() override {
    store_ = dir_ / "store";
    std::ofstream(dir_ / "list.py") << kListScript;
    Credential_SetDirectoryForTest(store_.c_str());
  }
  void TearDown() override { Credential_SetDirectoryForTest(nullptr); }
  std::string List() const {
    return FsFault_Command("/usr/bin/python3 " + dir_ / "list.py" + " " + store_ +
                           "/credentials 2>&1");
  }
  struct Read {
    int ok;
    std::string user;
    std::string password;
  };
  static Read ReadBack(const char *target) {
    static char user[kCredentialUserNameBytes];
    static char password[kCredentialPasswordBytes];
    Read r;
    r.ok = Platform_CredentialRead(target, user, sizeof user, password);
    r.user = user;
    r.password = password;
    return r;
  }

  FsFaultTempDir dir_;
  std::string store_;
};

TEST_F(CredentialTest, TargetTexts) {
  struct Row {
    int kind;
    const char *server;
    const char *realm;
    const char *expected;
  } rows[] = {
      {2, "proxy.example", nullptr, "pelk.webget:proxy.example:0002"},
      {3, "proxy.example", "", "pelk.webget:proxy.example:0003"},
      {4, "host:8080", "Realm One", "pelk.webget:host:8080:Realm One:0004"},
      {0x1abcd, "h", "r", "pelk.webget:h:r:1abcd"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.expected);
    char out[kCredentialTargetBytes];
    EXPECT_EQ(Platform_CredentialTarget(row.kind, row.server, row.realm, out), 1);
    EXPECT_STREQ(out, row.expected);
  }
  // A target that would be cut names nothing.
  std::string fits(kCredentialTargetBytes - 1 - strlen("pelk.webget::0002"), 's');
  char out[kCredentialTargetBytes];
  EXPECT_EQ(Platform_CredentialTarget(2, fits.c_str(), nullptr, out), 1);
  EXPECT_EQ(strlen(out), size_t(kCredentialTargetBytes - 1));
  EXPECT_EQ(Platform_CredentialTarget(2, (fits + "s").c_str(), nullptr, out), 0);
  EXPECT_STREQ(out, "");
}

TEST_F(CredentialTest, GroupsAndKindsRoundTrip) {
  ASSERT_TRUE(Platform_CredentialStore(0, "proxy", nullptr, "alice", "pw0"));
  ASSERT_TRUE(Platform_CredentialStore(1, "proxy", "realm", "bob", "pw1"));
  ASSERT_TRUE(Platform_CredentialStore(7, "server", nullptr, "carol", "p\"w\\7\xc3\xa9"));
  EXPECT_EQ(List(),
            "pelk.webget:proxy:0002|alice|3\n"
            "pelk.webget:proxy:0003|alice|3\n"
            "pelk.webget:proxy:realm:0004|bob|3\n"
            "pelk.webget:proxy:realm:0005|bob|3\n"
            "pelk.webget:server:0007|carol|7");
  struct Row {
    int kind;
    const char *server;
    const char *realm;
    int ok;
    const char *user;
    const char *password;
  } rows[] = {
      {0, "proxy", nullptr, 1, "alice", "pw0"},
      {3, "proxy", nullptr, 1, "alice", "pw0"},
      {1, "proxy", "realm", 1, "bob", "pw1"},
      {1, "proxy", nullptr, 0, "", ""},
      {7, "server", nullptr, 1, "carol", "p\"w\\7\xc3\xa9"},
      {7, "SERVER", nullptr, 0, "", ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.kind) + " " + row.server);
    char user[64];
    char password[kCredentialPasswordBytes];
    EXPECT_EQ(Platform_CredentialLoad(row.kind, row.server, row.realm, user, sizeof user, password),
              row.ok);
    EXPECT_STREQ(user, row.user);
    EXPECT_STREQ(password, row.password);
  }
  // Kind 3 alone goes; group 0 still finds kind 2.
  ASSERT_TRUE(Platform_CredentialStore(3, "proxy", nullptr, nullptr, "ignored"));
  char user[64];
  char password[kCredentialPasswordBytes];
  EXPECT_TRUE(Platform_CredentialLoad(0, "proxy", nullptr, user, sizeof user, password));
  // A NULL password deletes the group's entries; deleting again finds none.
  ASSERT_TRUE(Platform_CredentialStore(0, "proxy", nullptr, "alice", nullptr));
  EXPECT_FALSE(Platform_CredentialLoad(0, "proxy", nullptr, user, sizeof user, password));
  EXPECT_FALSE(Platform_CredentialWrite("pelk.webget:proxy:0002", "alice", nullptr));
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorFileNotFound);
  EXPECT_EQ(List(),
            "pelk.webget:proxy:realm:0004|bob|3\n"
            "pelk.webget:proxy:realm:0005|bob|3\n"
            "pelk.webget:server:0007|carol|7");
}

TEST_F(CredentialTest, NothingIsCutAtTheBufferEnd) {
  struct Row {
    size_t passwordBytes;
    int ok;
  } rows[] = {{kCredentialPasswordBytes - 1, 1}, {kCredentialPasswordBytes, 0}, {9000, 0}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.passwordBytes);
    std::string secret(row.passwordBytes, 'p');
    ASSERT_TRUE(Platform_CredentialWrite("t", "user", secret.c_str()));
    Read r = ReadBack("t");
    EXPECT_EQ(r.ok, row.ok);
    EXPECT_EQ(r.password, row.ok ? secret : "");
    EXPECT_EQ(r.user, row.ok ? "user" : "");
  }
  // The user name's buffer is the caller's size.
  ASSERT_TRUE(Platform_CredentialWrite("u", "12345", "pw"));
  char user[6];
  char password[kCredentialPasswordBytes];
  EXPECT_TRUE(Platform_CredentialRead("u", user, 6, password));
  EXPECT_FALSE(Platform_CredentialRead("u", user, 5, password));
  EXPECT_STREQ(user, "");
  EXPECT_STREQ(password, "");
}

TEST_F(CredentialTest, ModesAndPlantedLinks) {
  ASSERT_TRUE(Platform_CredentialWrite("t", "user", "secret"));
  EXPECT_EQ(FsFault_Command("stat -c %a " + store_), geteuid() == 0 ? "755" : "700");
  EXPECT_EQ(FsFault_Command("stat -c %a " + store_ + "/credentials"), "600");
  // A link where the document belongs: refused, its target untouched.
  std::string victim = dir_ / "victim";
  std::ofstream(victim) << "{\"keep\":{\"user\":\"u\",\"password\":\"p\"}}";
  std::string document = store_ + "/credentials";
  ASSERT_EQ(unlink(document.c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), document.c_str()), 0);
  EXPECT_FALSE(Platform_CredentialWrite("t", "user", "other"));
  EXPECT_FALSE(ReadBack("keep").ok);
  EXPECT_EQ(FsFault_Command("cat " + victim), "{\"keep\":{\"user\":\"u\",\"password\":\"p\"}}");
  struct stat st;
  ASSERT_EQ(lstat(document.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  // A document that is not JSON is refused, not overwritten.
  ASSERT_EQ(unlink(document.c_str()), 0);
  std::ofstream(document) << "not json";
  EXPECT_FALSE(Platform_CredentialWrite("t", "user", "other"));
  EXPECT_EQ(FsFault_Command("cat " + document), "not json");
}

// The application's data directory may be made before the store by the
// log (0755) or by another user: the store tightens a user's own to 0700
// (root's, the machine's data directory that everyone reads the machine
// hive through, only loses group and other write) and keeps nothing in one
// it does not own.
TEST_F(CredentialTest, DirectoryMadeByOthers) {
  ASSERT_EQ(mkdir(store_.c_str(), 0775), 0);
  ASSERT_EQ(chmod(store_.c_str(), 0775), 0);  // whatever the umask
  ASSERT_TRUE(Platform_CredentialWrite("t", "user", "secret"));
  EXPECT_EQ(FsFault_Command("stat -c %a " + store_), geteuid() == 0 ? "755" : "700");
  EXPECT_EQ(FsFault_Command("stat -c %a " + store_ + "/credentials"), "600");
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the directory away";
  ASSERT_EQ(unlink((store_ + "/credentials").c_str()), 0);
  ASSERT_EQ(unlink((store_ + "/credentials.lock").c_str()), 0);
  ASSERT_EQ(chown(store_.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(store_.c_str(), 0777), 0);
  EXPECT_FALSE(Platform_CredentialWrite("t", "user", "secret"));
  EXPECT_EQ(Platform_GetErrorKind(Platform_GetLastError()), PlatformErrorKind::AccessDenied);
  EXPECT_EQ(FsFault_Command("ls -A " + store_), "");
  EXPECT_EQ(FsFault_Command("stat -c %a " + store_), "777");
}

TEST_F(CredentialTest, AnotherUsersDocumentIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the document away";
  ASSERT_TRUE(Platform_CredentialWrite("t", "user", "secret"));
  ASSERT_EQ(chown((store_ + "/credentials").c_str(), 65534, 65534), 0);
  EXPECT_FALSE(ReadBack("t").ok);
  EXPECT_EQ(Platform_GetErrorKind(Platform_GetLastError()), PlatformErrorKind::AccessDenied);
  EXPECT_FALSE(Platform_CredentialWrite("t", "user", "again"));
}

TEST_F(CredentialTest, ConcurrentWritersLoseNothing) {
  std::string shm = dir_ / "shm";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(shm, "size=16M")) return;
    Credential_SetDirectoryForTest((shm + "/store").c_str());
    constexpr int kWrites = 200;
    std::vector<pid_t> pids;
    for (int worker = 0; worker < 2; worker++) {
      pid_t pid = fork();
      if (pid == 0) {
        for (int i = 0; i < kWrites; i++) {
          std::string target = "t" + std::to_string(worker) + "_" + std::to_string(i);
          if (!Platform_CredentialWrite(target.c_str(), "user", target.c_str())) _exit(1);
        }
        _exit(0);
      }
      pids.push_back(pid);
    }
    for (pid_t pid : pids) {
      int status = 0;
      waitpid(pid, &status, 0);
      FSF_EXPECT(child, WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int worker = 0; worker < 2; worker++)
      for (int i = 0; i < kWrites; i++) {
        std::string target = "t" + std::to_string(worker) + "_" + std::to_string(i);
        Read r = ReadBack(target.c_str());
        if (!r.ok || r.password != target) child.Fail(__FILE__, __LINE__, target + " lost");
      }
  });
}

TEST_F(CredentialTest, KilledWriterLeavesAWholeDocument) {
  std::string shm = dir_ / "shm";
  const unsigned seed = 7122026;
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(shm, "size=16M")) return;
    std::string store = shm + "/store";
    Credential_SetDirectoryForTest(store.c_str());
    FSF_EXPECT(child, Platform_CredentialWrite("base", "user", "old"));
    std::mt19937 random(seed);
    for (int round = 0; round < 20; round++) {
      pid_t pid = fork();
      if (pid == 0) {
        std::string big(4000, 'x');
        for (int i = 0;; i++)
          Platform_CredentialWrite(("k" + std::to_string(i % 50)).c_str(), "user", big.c_str());
      }
      usleep(std::uniform_int_distribution<int>(0, 5000)(random));
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      std::string parsed = FsFault_Command("/usr/bin/python3 " + dir_ / "list.py" + " " + store +
                                           "/credentials 2>&1 | grep -c '^base|user|3$'");
      if (parsed != "1")
        child.Fail(__FILE__, __LINE__,
                   "round " + std::to_string(round) + " (seed " + std::to_string(seed) +
                       "): " + parsed);
    }
    // A new writer takes the lock the killed one held.
    FSF_EXPECT(child, Platform_CredentialWrite("after", "user", "x"));
    // and clears away the temporary files of killed writers.
    FSF_EXPECT_EQ(child, FsFault_Command("ls " + store + " | tr '\\n' ' '"),
                  std::string("credentials credentials.lock "));
  });
}

TEST(CredentialDeathTest, NullPointersStop) {
  char buffer[16];
  char password[kCredentialPasswordBytes];
  struct Row {
    const char *name;
    std::function<void()> call;
  } rows[] = {
      {"write target", [] { Platform_CredentialWrite(nullptr, "u", "p"); }},
      {"read user", [&] { Platform_CredentialRead("t", nullptr, 16, password); }},
      {"read password", [&] { Platform_CredentialRead("t", buffer, 16, nullptr); }},
      {"target server", [&] { Platform_CredentialTarget(2, nullptr, nullptr, buffer); }},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_DEATH(row.call(), "Pointer is NULL\n");
  }
}

}  // namespace
