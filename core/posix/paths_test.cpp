// Well-known directories: every path id in a child whose HOME, XDG variables
// and user-dirs.dirs the test writes, again with HOME unset (the passwd entry
// decides, read through getent), the program's data directory for user and
// system account, and the environment calls.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/platform/credential.h"
#include "core/platform/platform.h"
#include "core/platform/privatefile.h"
#include "core/posix/desktopsettings.h"
#include "core/posix/runpath.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "tests/fsfault.h"

namespace {

std::string pathOf(int id) {
  char out[kPathMax] = "unset";
  if (!Platform_GetPath(id, out, sizeof out)) return "<0:" + std::string(out) + ">";
  return out;
}

struct PathRow {
  int id;
  std::string expected;  // "<0:>" for an id that names nothing
};

void expectPaths(FsFaultChild &child, const std::vector<PathRow> &rows) {
  for (const PathRow &row : rows) {
    std::string got = pathOf(row.id);
    if (got != row.expected)
      child.Fail(__FILE__, __LINE__,
                 "id " + std::to_string(row.id) + ": got " + got + ", expected " + row.expected);
  }
}

// Starts the program's core as "app --debug" does: logging to a file.
void startDebugRun() {
  uint32_t flags = 0;
  const char *cmdline = "app --debug";
  Core_ParseDebugOptions(&flags, cmdline);
  Core_Init(flags, cmdline);
}

void clearXdg() {
  for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "TMPDIR", "SUDO_UID", "PKEXEC_UID"})
    unsetenv(name);
}

TEST(PlatformPaths, EveryIdFromTheEnvironmentAndUserDirs) {
  FsFaultTempDir dir;
  std::string exe = std::filesystem::canonical("/proc/self/exe").string();
  std::string exeDir = exe.substr(0, exe.rfind('/') + 1);
  FSFAULT_RUN([&](FsFaultChild &child) {
    clearXdg();
    std::string home = dir / "home";
    std::filesystem::create_directories(dir / "config");
    std::ofstream(dir / "config/user-dirs.dirs")
        << "# written by the test\n"
        << "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
        << "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n"
        << "  XDG_DOWNLOAD_DIR=\"$HOME/Down \\\"loads\\\"\"\n"
        << "XDG_MUSIC_DIR=\"$HOME/\"\n";
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "config/").c_str(), 1);
    setenv("TMPDIR", (dir / "tmp").c_str(), 1);  // missing: created on demand
    if (chdir(dir.path().c_str()) != 0) return child.Fail(__FILE__, __LINE__, "chdir");
    expectPaths(child, {
                           {1, dir / "data/applications/"},
                           {2, "/usr/local/share/applications/"},
                           {3, "/opt/"},
                           {4, "/opt/"},
                           {5, home + "/"},
                           {6, "/srv/docs/"},
                           {7, home + "/Schreibtisch/"},
                           {8, "<0:>"},
                           {9, dir / "data/"},
                           {10, dir / "config/"},
                           {11, "/var/lib/"},
                           {12, dir / "tmp/"},
                           {13, "/var/tmp/"},
                           {14, "/usr/lib/x86_64-linux-gnu/"},
                           {15, "/"},
                           {16, exe},
                           {17, exeDir},
                           {18, exe},
                           {19, exeDir},
                           {20, exe},
                           {21, exeDir},
                           {22, "\\\\.\\pipe\\"},
                           {23, dir.path() + "/"},
                           {24, home + "/Down \"loads\"/"},
                           {0, "<0:>"},
                           {25, "<0:>"},
                       });
    FSF_EXPECT(child, std::filesystem::is_directory(dir / "tmp"));
    char out[kPathMax];
    FSF_EXPECT_EQ(child, Platform_GetAppDataDirectory(out, sizeof out), 1);
    FSF_EXPECT_EQ(child, std::string(out),
                  geteuid() == 0 ? "/var/lib/keelson/" : dir / "data/keelson/");
    // Root keeps its files out of the user's tree, however it was reached.
    for (const char *via : {"SUDO_UID", "PKEXEC_UID"}) {
      setenv(via, "1000", 1);
      FSF_EXPECT_EQ(child, Platform_GetAppDataDirectory(out, sizeof out), 1);
      FSF_EXPECT_EQ(child, std::string(out),
                    geteuid() == 0 ? "/var/lib/keelson/" : dir / "data/keelson/");
      unsetenv(via);
    }
    // A relative base directory is ignored, as is a TMPDIR that cannot be made.
    setenv("XDG_DATA_HOME", "relative/data", 1);
    setenv("TMPDIR", "/proc/keelson-no-such-dir", 1);
    expectPaths(child, {{9, home + "/.local/share/"}, {12, "/tmp/"}});
  });
}

// Root run with a user's HOME and sudo's variables (a private /var/lib in
// the child stands for the machine's): the log, the credential store and
// the desktop proxy look-up leave nothing in the user's tree, and nothing
// is said on stderr about directories there.
TEST(PlatformPaths, RootCreatesNothingInAUsersHome) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root and a second user";
  FsFaultTempDir dir;
  std::string home = dir / "home";
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs("/var/lib", "mode=0755")) return;
    clearXdg();
    unsetenv("XDG_CACHE_HOME");
    unsetenv("XDG_RUNTIME_DIR");
    setenv("HOME", home.c_str(), 1);
    setenv("SUDO_UID", "65534", 1);
    testing::internal::CaptureStderr();
    startDebugRun();
    Log_Print(LOG_INFO, KSRC, 0, "root's line\n");
    FSF_EXPECT_EQ(child, Platform_CredentialWrite("target", "user", "secret"), 1);
    DesktopSettingValue mode(DesktopSettingValue::Kind::String, "mode");
    DesktopSettings_Read("org.gnome.system.proxy", &mode, 1);
    Core_Shutdown();
    std::string said = testing::internal::GetCapturedStderr();
    FSF_EXPECT_EQ(child, said.find("dconf"), std::string::npos);
    FSF_EXPECT_EQ(child, FsFault_Command("find " + home + " -mindepth 1"), "");
    FSF_EXPECT_EQ(child, FsFault_Command("cd /var/lib/keelson && ls"),
                  "credentials\ncredentials.lock\nkeelson.developer.log");
  });
}

// Links planted where the program keeps its files (the data directory, so
// the log and the credential store, the run directory and the key log's
// directory) are not followed: nothing changes in the directory they name,
// not even its mode, and the run says why.
TEST(PlatformPaths, PlantedLinksInTheProgramsDirectoriesChangeNothing) {
  FsFaultTempDir dir;
  std::string victim = dir / "victim";
  ASSERT_EQ(mkdir(victim.c_str(), 0750), 0);
  ASSERT_EQ(chmod(victim.c_str(), 0750), 0);
  const bool root = geteuid() == 0;
  FSFAULT_RUN([&](FsFaultChild &child) {
    // Root's data directory is the machine's: a private one here.
    if (root && !child.MountTmpfs("/var/lib", "mode=0755")) return;
    clearXdg();
    std::string data = root ? "/var/lib" : dir / "data";
    if (!root) FSF_EXPECT_EQ(child, mkdir(data.c_str(), 0700), 0);
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
    for (const std::string &link : {data + "/keelson", dir / "run", dir / "keys"})
      FSF_EXPECT_EQ(child, symlink(victim.c_str(), link.c_str()), 0);
    testing::internal::CaptureStderr();
    startDebugRun();
    Log_Print(LOG_INFO, KSRC, 0, "a line\n");
    FSF_EXPECT_EQ(child, Platform_CredentialWrite("target", "user", "secret"), 0);
    FSF_EXPECT_EQ(child, Platform_GetLastError(), kPlatformErrorAccessDenied);
    char path[kRunPathSocketBytes];
    uint32_t uid = 0;
    FSF_EXPECT_EQ(child, RunPath_Get("mark", ".lock", path, sizeof path, &uid), 0);
    FSF_EXPECT_EQ(child, Platform_GetLastError(), kPlatformErrorAccessDenied);
    std::string line = "CLIENT_RANDOM 00 00\n";
    FSF_EXPECT_EQ(child, PrivateFile_AppendLine((dir / "keys/keylog").c_str(), line.c_str(),
                                                int32_t(line.size())),
                  0);
    Core_Shutdown();
    std::string said = testing::internal::GetCapturedStderr();
    FSF_EXPECT(child, said.find("a link stands on its path") != std::string::npos);
    FSF_EXPECT_EQ(child, FsFault_Command("ls -A " + victim), "");
    FSF_EXPECT_EQ(child, FsFault_Command("stat -c %a " + victim), "750");
  });
}

// Root takes no run directory below a runtime directory another user owns
// (a caller's variable): that user could replace it.
TEST(PlatformPaths, RootsRunDirectoryIsOnlyRoots) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root and a second user";
  FsFaultTempDir dir;
  std::string theirs = dir / "theirs", cache = dir / "cache";
  ASSERT_EQ(mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  ASSERT_EQ(mkdir(cache.c_str(), 0700), 0);
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs("/run", "mode=0755")) return;
    unsetenv("PKEXEC_UID");
    unsetenv("SUDO_UID");
    setenv("XDG_RUNTIME_DIR", theirs.c_str(), 1);
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    char path[kRunPathSocketBytes];
    uint32_t uid = 1;
    FSF_EXPECT_EQ(child, RunPath_Get("mark", ".lock", path, sizeof path, &uid), 1);
    FSF_EXPECT_EQ(child, std::string(path).rfind(cache + "/keelson/run/", 0), size_t(0));
    FSF_EXPECT_EQ(child, FsFault_Command("ls -A " + theirs), "");
  });
}

TEST(PlatformPaths, HomeUnsetFallsBackToThePasswdEntry) {
  FsFaultTempDir dir;
  std::string passwdHome = FsFault_Command("getent passwd $(id -u) | cut -d: -f6");
  ASSERT_FALSE(passwdHome.empty());
  if (passwdHome.back() != '/') passwdHome += '/';
  FSFAULT_RUN([&](FsFaultChild &child) {
    clearXdg();
    unsetenv("HOME");
    // No user-dirs.dirs here: the fixed names below the home apply.
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    expectPaths(child, {
                           {5, passwdHome},
                           {6, passwdHome + "Documents/"},
                           {7, passwdHome + "Desktop/"},
                           {24, passwdHome + "Documents/"},
                           {9, passwdHome + ".local/share/"},
                           {1, passwdHome + ".local/share/applications/"},
                           {10, dir.path() + "/"},
                       });
  });
}

TEST(PlatformPaths, TooSmallBuffersFailWithoutCutting) {
  char out[kPathMax];
  for (int id : {5, 11, 14, 16, 22, 23}) {
    SCOPED_TRACE(id);
    ASSERT_EQ(Platform_GetPath(id, out, sizeof out), 1);
    int exact = int(strlen(out)) + 1;
    std::string whole = out;
    EXPECT_EQ(Platform_GetPath(id, out, exact), 1);
    EXPECT_EQ(out, whole);
    out[0] = 'x';
    EXPECT_EQ(Platform_GetPath(id, out, exact - 1), 0);
    EXPECT_EQ(Platform_GetLastError(), kPlatformErrorNameTooLong);
    EXPECT_STREQ(out, "");
  }
  EXPECT_EQ(Platform_GetAppDataDirectory(out, 10), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(Platform_GetWindowsDirectory(out, sizeof out), 1);
  EXPECT_EQ(std::string(out), std::filesystem::canonical("/usr/lib").string() + "/");
}

TEST(PlatformPaths, EnvironmentVariables) {
  char out[16];
  ASSERT_EQ(Platform_SetEnvironmentVariable("KEELSON_TEST_VALUE", "short"), 1);
  EXPECT_EQ(Platform_GetEnvironmentVariable("KEELSON_TEST_VALUE", out, sizeof out), 1);
  EXPECT_STREQ(out, "short");
  ASSERT_EQ(Platform_SetEnvironmentVariable("KEELSON_TEST_VALUE", "a value of 21 bytes.."), 1);
  EXPECT_EQ(Platform_GetEnvironmentVariable("KEELSON_TEST_VALUE", out, sizeof out), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorNameTooLong);
  EXPECT_STREQ(out, "");
  ASSERT_EQ(Platform_SetEnvironmentVariable("KEELSON_TEST_VALUE", nullptr), 1);
  EXPECT_EQ(Platform_GetEnvironmentVariable("KEELSON_TEST_VALUE", out, sizeof out), 0);
  EXPECT_EQ(Platform_SetEnvironmentVariable("BAD=NAME", "x"), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorInvalidParameter);
}

TEST(PlatformPathsDeathTest, NullArgumentsStop) {
  char out[16];
  EXPECT_DEATH(Platform_GetEnvironmentVariable(nullptr, out, sizeof out), "Pointer is NULL\n");
  EXPECT_DEATH(Platform_SetEnvironmentVariable(nullptr, "x"), "Pointer is NULL\n");
  EXPECT_DEATH(Platform_GetPath(5, nullptr, 16), "Pointer is NULL\n");
}

}  // namespace
