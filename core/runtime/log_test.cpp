#include "core/runtime/log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/runtime/core.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/runtime/time.h"
#include "tests/fsfault.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A fresh directory under /tmp, removed with everything in it.
struct TempDir {
  fs::path path;
  TempDir() {
    char pattern[] = "/tmp/keelson-log-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path); }
};

// Runs the whole core start-up for one test and takes it down again.
struct CoreSession {
  explicit CoreSession(const std::string &cmdline, uint32_t extraFlags = 0) {
    uint32_t flags = 0;
    Core_ParseDebugOptions(&flags, cmdline.c_str());
    Core_Init(flags | extraFlags, cmdline.c_str());
  }
  ~CoreSession() {
    Core_Shutdown();
    Core_SetFlags(0);
  }
};

uint32_t parse(const char *cmdline) {
  uint32_t flags = 0xFFFFFFFF;
  EXPECT_EQ(Core_ParseDebugOptions(&flags, cmdline), 1);
  return flags;
}

std::string todayDotted() {
  char buffer[32];
  Time_FormatHttpDate(11, buffer, sizeof buffer, Time_NowLocal());
  for (char *c = buffer; *c; c++)
    if (*c == '/') *c = '.';
  return buffer;
}

}  // namespace

TEST(LogDeathTest, SecondInitsStop) {
  EXPECT_DEATH(
      {
        Core_Init(0, "app");
        Core_Init(0, "app");
      },
      "Assertion failed \\(GlobalCore == NULL\\)\nCore already initialized");
  EXPECT_DEATH(
      {
        Log_Init("app", nullptr, LOG_DEBUG);
        Log_Init("app", nullptr, LOG_DEBUG);
      },
      "Assertion failed \\(GlobalLog == NULL\\)\nLog already initialized");
  EXPECT_DEATH(
      {
        Core_Init(0, "app");
        Time_Init();
      },
      "Assertion failed \\(GlobalTime == NULL\\)\nTime already initialized");
}

TEST(LogDeathTest, VerboseLevelNeedsNameAndOutput) {
  int level = 0;
  EXPECT_DEATH(Log_GetVerboseLevel(nullptr, &level), "Pointer is NULL\n");
  EXPECT_DEATH(Log_GetVerboseLevel("x", nullptr), "Pointer is NULL\n");
}

TEST(Log, DebugOptionsGiveTheirBits) {
  const struct {
    const char *cmdline;
    uint32_t flags;
  } kRows[] = {
      {"app", 0x0},
      {"app --debug", 0x2},
      {"app --debug=warning", 0x2},
      {"app --debugfile", 0x40002},
      {"app --perday", 0x8A},
      {"app --perthread", 0x10A},
      {"app --perprocess", 0x20A},
      {"app --cmdline", 0x10},
      {"app --window", 0x1},
      {"app --commit", 0x10000},
      {"app --append", 0x8},
      {"app --externalprint", 0x800},
      {"app --memorytracking", 0x20000},
      {"app --memorytest", 0x4000},
      {"app --memoryreport", 0x400},
      {"app --perday --perthread --perprocess --window", 0x38B},
      // A switch inside another option's value is not a switch.
      {"app --verbose=\"x --debug\"", 0x0},
      {"app --debugger", 0x0},
  };
  for (const auto &row : kRows) {
    SCOPED_TRACE(row.cmdline);
    EXPECT_EQ(parse(row.cmdline), row.flags);
  }
}

TEST(Log, DebugLevelOptionIsOnlyShownNotUsed) {
  TempDir dir;
  std::string cmdline = "app --debug=warning --debugdir=" + dir.path.string();
  {
    CoreSession session(cmdline);
    EXPECT_EQ(Log_GetGlobalLevel(), LOG_DEBUG);
  }
  std::string text = readFile(dir.path / "keelson.developer.log");
  EXPECT_NE(text.find("Log Level: DEBUG\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Command Line: " + cmdline + "\n"), std::string::npos);
  EXPECT_NE(text.find("Version: "), std::string::npos);
}

TEST(Log, LinesCarryStampLevelAndIndent) {
  TempDir dir;
  {
    CoreSession session("app --debug --debugdir=" + dir.path.string());
    Log_Print(LOG_WARNING, KSRC, 0, "Degraded %d\n", 3);
    Log_Print(7, KSRC, 3, "No name\n");
    Log_PrintF("plain %s\n", "text");
  }
  std::string text = readFile(dir.path / "keelson.developer.log");
  // "MM/DD/YYYY hh:mm:ss WARNING - Degraded 3"
  size_t at = text.find("WARNING - Degraded 3\n");
  ASSERT_NE(at, std::string::npos) << text;
  ASSERT_GE(at, 20u);
  std::string stamp = text.substr(at - 20, 20);
  struct tm fields{};
  EXPECT_NE(strptime(stamp.c_str(), "%m/%d/%Y %H:%M:%S ", &fields), nullptr) << stamp;
  EXPECT_NE(text.find(" " + std::string(12, ' ') + "No name\n"), std::string::npos);
  EXPECT_EQ(text.find("ERROR - " + std::string(12, ' ') + "No name"), std::string::npos);
  // Log_PrintF has no stamp: the text follows the previous line directly.
  EXPECT_NE(text.find("No name\nplain text\n"), std::string::npos);
}

TEST(Log, StampMatchesLocalTimeAndIsReusedWithinASecond) {
  TempDir dir;
  setenv("TZ", "America/New_York", 1);
  tzset();
  {
    CoreSession session("app --debug --debugdir=" + dir.path.string());
    Log_Print(LOG_INFO, KSRC, 0, "a\n");
    Log_Print(LOG_INFO, KSRC, 0, "b\n");
  }
  unsetenv("TZ");
  tzset();
  std::string text = readFile(dir.path / "keelson.developer.log");
  size_t a = text.find("INFO - a\n"), b = text.find("INFO - b\n");
  ASSERT_NE(a, std::string::npos);
  ASSERT_NE(b, std::string::npos);
  std::string stampA = text.substr(a - 20, 20), stampB = text.substr(b - 20, 20);
  // Both stamps name a local second close to now, formatted as strftime does.
  // CLOCK_REALTIME, as the log reads it: time(2) reads the coarse clock,
  // which can be a tick behind across a second boundary.
  timespec clock;
  clock_gettime(CLOCK_REALTIME, &clock);
  time_t now = clock.tv_sec;
  bool matched = false;
  setenv("TZ", "America/New_York", 1);
  tzset();
  for (time_t t = now - 5; t <= now && !matched; t++) {
    struct tm local;
    localtime_r(&t, &local);
    char expected[32];
    strftime(expected, sizeof expected, "%m/%d/%Y %H:%M:%S ", &local);
    matched = stampA == expected;
  }
  unsetenv("TZ");
  tzset();
  EXPECT_TRUE(matched) << stampA;
  EXPECT_EQ(stampB.size(), stampA.size());
}

TEST(Log, PerDayProcessAndThreadPartsNameTheFiles) {
  TempDir dir;
  std::string worker;
  {
    CoreSession session("app --perday --perthread --perprocess --debugdir=" + dir.path.string());
    EXPECT_EQ(Debug_Flags(), 0x38Au);
    Log_Print(LOG_INFO, KSRC, 0, "main line\n");
    uint32_t tid = 0;
    std::thread t([&] {
      tid = Platform_GetThreadId();
      Log_Print(LOG_INFO, KSRC, 0, "worker line\n");
    });
    t.join();
    worker = ".T" + std::to_string(tid);
  }
  std::string stem = "keelson.developer." + todayDotted() + ".P" + std::to_string(getpid());
  std::string mainText = readFile(dir.path / (stem + ".log"));
  std::string workerText = readFile(dir.path / (stem + worker + ".log"));
  EXPECT_NE(mainText.find("main line"), std::string::npos);
  EXPECT_EQ(mainText.find("worker line"), std::string::npos);
  EXPECT_NE(workerText.find("worker line"), std::string::npos);
}

TEST(Log, FileIdJoinsTheName) {
  TempDir dir;
  {
    CoreSession session("app --debug --debugfileid=run7 --debugdir=" + dir.path.string());
    Log_Print(LOG_INFO, KSRC, 0, "tagged\n");
  }
  EXPECT_NE(readFile(dir.path / "keelson.developer.run7.log").find("tagged"), std::string::npos);
}

TEST(Log, AppendKeepsAndTruncateDropsEarlierText) {
  TempDir dir;
  std::string base = "app --debugdir=" + dir.path.string();
  fs::path file = dir.path / "keelson.developer.log";
  {
    CoreSession session(base + " --debug");
    Log_Print(LOG_INFO, KSRC, 0, "first\n");
  }
  {
    CoreSession session(base + " --debug --append");
    Log_Print(LOG_INFO, KSRC, 0, "second\n");
  }
  std::string text = readFile(file);
  EXPECT_NE(text.find("first"), std::string::npos);
  EXPECT_NE(text.find("second"), std::string::npos);
  {
    CoreSession session(base + " --debug");
    Log_Print(LOG_INFO, KSRC, 0, "third\n");
  }
  text = readFile(file);
  EXPECT_EQ(text.find("first"), std::string::npos);
  EXPECT_NE(text.find("third"), std::string::npos);
}

// Processes that share one log file (root runs all log to the system data
// directory) never cut each other's lines: a start that finds the file in
// use appends and says so first; the file is cut again once nobody holds it.
TEST(Log, FileInUseElsewhereIsAppendedTo) {
  TempDir dir;
  std::string cmdline = "app --debug --debugdir=" + dir.path.string();
  fs::path file = dir.path / "keelson.developer.log";
  {
    CoreSession session(cmdline);
    Log_Print(LOG_INFO, KSRC, 0, "holder before\n");
    FSFAULT_RUN([&](FsFaultChild &child) {
      // A process of its own: the holder's log is the parent's, not its.
      Core_Shutdown();
      Core_SetFlags(0);
      {
        CoreSession second(cmdline);
        Log_Print(LOG_INFO, KSRC, 0, "second start\n");
      }
      FSF_EXPECT(child, readFile(file).find("holder before") != std::string::npos);
    });
    Log_Print(LOG_INFO, KSRC, 0, "holder after\n");
  }
  std::string text = readFile(file);
  for (const char *line : {"holder before", "second start", "holder after"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  size_t note = text.find("in use by another process: appending");
  EXPECT_NE(note, std::string::npos) << text;
  EXPECT_LT(note, text.find("second start"));
  EXPECT_GT(note, text.find("holder before"));
  { CoreSession alone(cmdline); }
  text = readFile(file);
  EXPECT_EQ(text.find("holder"), std::string::npos) << text;
  EXPECT_EQ(text.find("in use by another process"), std::string::npos) << text;
}

TEST(Log, OverlongMessageIsCutAndNoticed) {
  TempDir dir;
  std::string big(5000, 'x');
  {
    CoreSession session("app --debug --debugdir=" + dir.path.string());
    Log_Print(LOG_INFO, KSRC, 0, "%s", big.c_str());
  }
  std::string text = readFile(dir.path / "keelson.developer.log");
  size_t start = text.find("INFO - xxx");
  ASSERT_NE(start, std::string::npos);
  size_t end = text.find_first_not_of('x', start + 7);
  EXPECT_EQ(end - start, 4095u);  // the line is cut at 4095 characters
  EXPECT_NE(text.find("***** Last string too large for debug buffer"), std::string::npos);
}

TEST(Log, VerboseEntriesDecideInOrder) {
  TempDir dir;
  CoreSession session("app --debug --verbose=\"!Dictionary*,3Json\" --debugdir=" +
                      dir.path.string());
  int level = -1;
  EXPECT_EQ(Log_GetVerboseLevel("DictionaryItem", &level), 0);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(Log_GetVerboseLevel("json", &level), 1);  // patterns ignore case
  EXPECT_EQ(level, 3);
  level = -1;
  EXPECT_EQ(Log_GetVerboseLevel("Stream", &level), 0);
  EXPECT_EQ(level, -1);
}

TEST(Log, UnopenableFileRestsAfterOneRound) {
  TempDir dir;
  // A directory path below a regular file cannot be created, even as root.
  fs::path blocker = dir.path / "blocker";
  std::ofstream(blocker) << "x";
  CoreSession session("app --debug --debugdir=" + (blocker / "logs").string());
  // The header's first line made one round of attempts; the lines within the
  // next five seconds make none.
  EXPECT_EQ(Log_GetFileOpenAttempts(), 10);
  for (int i = 0; i < 20; i++) Log_Print(LOG_INFO, KSRC, 0, "lost\n");
  EXPECT_EQ(Log_GetFileOpenAttempts(), 10);
}

// The log writes only into a plain file of the user's own. Another user
// who controls the log's directory (HOME pointed into their home) plants a
// link to a root-only file, or a file of their own: neither is cut or
// written, one line on stderr says so, and logging goes on without a file.
TEST(Log, PlantedFilesAreLeftAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root and a second user";
  FsFaultTempDir dir;
  std::string home = dir / "home", victim = dir / "victim";
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
  std::ofstream(victim) << "root only\n";
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  std::string file = home + "/keelson.developer.log";
  struct Row {
    const char *name;
    const char *options;
    bool link;
  } rows[] = {
      {"link", "--debug", true},
      {"own file", "--debug", false},
      {"own file, append", "--debug --append", false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    unlink(file.c_str());
    FSFAULT_RUN([&](FsFaultChild &child) {
      if (!child.DropPrivileges()) return;
      if (row.link) FSF_EXPECT_EQ(child, symlink(victim.c_str(), file.c_str()), 0);
      else std::ofstream(file) << "the user's\n";
    });
    testing::internal::CaptureStderr();
    {
      CoreSession session("app " + std::string(row.options) + " --debugdir=" + home);
      for (int i = 0; i < 3; i++) Log_Print(LOG_INFO, KSRC, 0, "line %d\n", i);
    }
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(readFile(victim), "root only\n");
    EXPECT_EQ(readFile(file), row.link ? "root only\n" : "the user's\n");
    EXPECT_EQ(fs::is_symlink(file), row.link);
    std::string line = "Log file (" + file + ") is a link or not the user's own file";
    size_t first = said.find(line);
    EXPECT_NE(first, std::string::npos) << said;
    EXPECT_EQ(said.find(line, first + 1), std::string::npos) << said;
  }
}

// A log file is for its owner's eyes only, in a shared place or not, new or
// left by an earlier build that made it 0644 (cut or appended to).
TEST(Log, FileIsTheUsersOnlyWherever) {
  FsFaultTempDir dir;
  std::string shared = dir / "shared";
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  struct Row {
    const char *name;
    mode_t earlier;  // 0: no file before
    const char *options;
  } rows[] = {
      {"new", 0, "--debug"},
      {"earlier 0644", 0644, "--debug"},
      {"earlier 0666, appended to", 0666, "--debug --append"},
      {"earlier 0640 with set-group-id", 02640, "--debug"},
  };
  for (const std::string &place : {shared, dir.path()}) {
    for (const Row &row : rows) {
      SCOPED_TRACE(place + ": " + row.name);
      std::string file = place + "/keelson.developer.log";
      unlink(file.c_str());
      if (row.earlier != 0) {
        std::ofstream(file) << "earlier\n";
        ASSERT_EQ(chmod(file.c_str(), row.earlier), 0);
      }
      { CoreSession session("app " + std::string(row.options) + " --debugdir=" + place); }
      struct stat st;
      ASSERT_EQ(stat(file.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
  }
}

TEST(Log, HexDumpMatchesPythonFormatter) {
  std::istringstream vectors(Test_ReadVectors("log_hexdump.txt"));
  std::string line;
  int cases = 0;
  // Each case: "data <hex>", then its lines, then "end".
  while (std::getline(vectors, line)) {
    ASSERT_EQ(line.rfind("data ", 0), 0u);
    std::string hex = line.substr(5);
    std::string data;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      data.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
    std::string expected;
    while (std::getline(vectors, line) && line != "end") expected += line + "\n";
    std::string got;
    Log_HexDump(
        &got, [](void *context, const char *text) { *static_cast<std::string *>(context) += text; },
        data.data(), int64_t(data.size()));
    SCOPED_TRACE(hex);
    EXPECT_EQ(got, expected);
    cases++;
  }
  EXPECT_GT(cases, 50);
}

namespace {

std::atomic<int> gHookCalls{0};
int countingHook() {
  gHookCalls.fetch_add(1);
  return 1;
}

}  // namespace

TEST(LogConsoleDeathTest, WindowLinesReachStderr) {
  EXPECT_EXIT(
      {
        CoreSession session("app --window");
        Log_Print(LOG_INFO, KSRC, 0, "to the console\n");
        fflush(stderr);
        _exit(0);
      },
      testing::ExitedWithCode(0), "INFO - to the console");
}

TEST(LogConsoleDeathTest, PerThreadConsoleShowsOnlyMainThread) {
  EXPECT_EXIT(
      {
        TempDir dir;
        CoreSession session("app --window --perthread --debugdir=" + dir.path.string());
        std::thread t([] { Log_Print(LOG_INFO, KSRC, 0, "from worker\n"); });
        t.join();
        Log_Print(LOG_INFO, KSRC, 0, "from main\n");
        fputs("\nend\n", stderr);
        _exit(0);
      },
      testing::ExitedWithCode(0), "INFO - from main\n\nend");
}

TEST(LogConsoleDeathTest, QuitSignalCallsHookOnce) {
  EXPECT_EXIT(
      {
        Log_SetConsoleHook(countingHook);
        CoreSession session("app --window");
        raise(SIGINT);
        fprintf(stderr, "hook calls %d\n", gHookCalls.load());
        _exit(gHookCalls.load() == 1 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "hook calls 1");
}

TEST(LogConsoleDeathTest, QuitSignalWithoutHookEndsProcess) {
  EXPECT_EXIT(
      {
        Log_SetConsoleHook(nullptr);
        CoreSession session("app --window");
        raise(SIGINT);
        _exit(0);
      },
      testing::KilledBySignal(SIGINT), "");
}

TEST(Log, DefaultFileLivesInTheDataDirectory) {
  TempDir dir;
  std::string data = (dir.path / "data").string();
  // Root logs below the machine's data directory (a private one here),
  // whatever its environment names; a user into its own.
  bool root = geteuid() == 0;
  std::string file = root ? "/var/lib/keelson/keelson.developer.log"
                          : data + "/keelson/keelson.developer.log";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (root && !child.MountTmpfs("/var/lib", "mode=0755")) return;
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    {
      CoreSession session("app --debug");
      Log_Print(LOG_INFO, KSRC, 0, "in the data directory\n");
    }
    FSF_EXPECT(child, readFile(file).find("in the data directory") != std::string::npos);
  });
}

TEST(LogDeathTest, AbortTextReachesTheFileFlushed) {
  // A death test's child runs the test body again from the start, so the
  // directory must have a name both processes know.
  struct FixedDir {
    fs::path path = "/tmp/keelson-log-abort-test";
    FixedDir() {
      fs::remove_all(path);
      fs::create_directories(path);
    }
  } dir;
  std::string cmdline = "app --debug --debugdir=" + dir.path.string();
  EXPECT_DEATH(
      {
        CoreSession session(cmdline);
        Core_Abort("core/x.cpp", 7, "Broken %s\n", "state");
      },
      "ABORT - Broken state");
  std::string text = readFile(dir.path / "keelson.developer.log");
  EXPECT_NE(text.find("ABORT - Broken state\n (core/x.cpp/7)\n"), std::string::npos) << text;
  fs::remove_all(dir.path);
}
