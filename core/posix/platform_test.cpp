// Platform layer on Linux: start-up lines, the random source failing under a
// seccomp filter, protected library loading against a foreign copy, module
// names against /proc, process identity against ps, raw threads (ids, join,
// detach, background I/O class, names) and the atomics under contention.
#include "core/platform/platform.h"

#include <dlfcn.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/ioprio.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

// Polls for up to 10 s; every wait in a test is bounded.
bool waitFor(const std::atomic<bool> &flag) {
  for (int i = 0; i < 10000 && !flag.load(); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return flag.load();
}

std::string readText(const std::string &path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string regexEscape(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (strchr(".[]()*+?{}|^$\\", c)) out += '\\';
    out += c;
  }
  return out;
}

// ---- Start and stop -------------------------------------------------------------

TEST(PlatformStart, StartLogsSystemElevationAndProcessAndIgnoresSigpipe) {
  TestLogCapture capture;
  ASSERT_EQ(Platform_StartWinsock(), 1);
  std::string lines = capture.Take();
  // The release's first four numbers: "6.1.0-18-amd64" is 6.1.0.18.
  std::string release = FsFault_Command("uname -r");
  std::vector<std::string> numbers;
  std::string current;
  for (char c : release + ".") {
    if (c >= '0' && c <= '9') {
      current += c;
    } else if (!current.empty()) {
      numbers.push_back(current);
      current.clear();
    }
  }
  while (numbers.size() < 4) numbers.push_back("0");
  std::string version = numbers[0] + "." + numbers[1] + "." + numbers[2] + "." + numbers[3];
  EXPECT_NE(lines.find("System: Linux " + version + " 64bit\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find(std::string("Elevated: ") + (geteuid() == 0 ? "true" : "false") + "\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("Process Id: " + std::to_string(getpid()) + "\n"), std::string::npos)
      << lines;
  struct sigaction current_action;
  sigaction(SIGPIPE, nullptr, &current_action);
  EXPECT_EQ(current_action.sa_handler, SIG_IGN);
  EXPECT_EQ(Platform_StopWinsock(), 1);
  // Stopped: a new start is allowed again.
  EXPECT_EQ(Platform_Init(), 1);
  EXPECT_EQ(Platform_Shutdown(), 1);
  EXPECT_EQ(Platform_Shutdown(), 1);  // nothing left to release
  EXPECT_EQ(Platform_SetDllDirectory(""), 1);
  EXPECT_EQ(Platform_SetDefaultDllDirectories(0x800), 1);
}

TEST(PlatformStartDeathTest, SecondInitStops) {
  EXPECT_DEATH(
      {
        Platform_Init();
        Platform_Init();
      },
      "Platform already initialized");
}

#if defined(__x86_64__)
// Makes getrandom fail with ENOSYS for this process, through a raw BPF
// program: load the architecture, allow other ones, load the call number,
// refuse getrandom, allow the rest.
void refuseGetrandom() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    fprintf(stderr, "seccomp refused: %s\n", strerror(errno));
    _exit(3);
  }
}

// Keys and ids are never built from unfilled bytes: the draw at start-up and
// every later request stop the program instead of answering.
TEST(PlatformStartDeathTest, RandomSourceFailingUnderSeccompStops) {
  EXPECT_DEATH(
      {
        refuseGetrandom();
        int result = Platform_Init();
        fprintf(stderr, "Platform_Init returned %d\n", result);
      },
      "Crypt not initialized \\(38\\)");
  EXPECT_DEATH(
      {
        refuseGetrandom();
        unsigned char bytes[16];
        int result = Platform_RandomBytes(bytes, sizeof bytes);
        fprintf(stderr, "Platform_RandomBytes returned %d\n", result);
      },
      "Unable to read random bytes");
}
#endif

// ---- Libraries --------------------------------------------------------------------

// A library of the C library's family that nothing here links, so the test
// decides where it is loaded from.
std::string unloadedSystemLibrary() {
  for (const char *name : {"libanl.so.1", "libutil.so.1", "libnss_dns.so.2", "libz.so.1"}) {
    if (dlopen(name, RTLD_LAZY | RTLD_NOLOAD) != nullptr) continue;
    if (access((std::string("/usr/lib/x86_64-linux-gnu/") + name).c_str(), R_OK) == 0) return name;
  }
  return "";
}

TEST(PlatformLibrary, LoadsFromTheSystemDirectoryAndNamesIt) {
  std::string name = unloadedSystemLibrary();
  if (name.empty()) GTEST_SKIP() << "no unloaded system library to load";
  PlatformModule *module = Platform_LoadSystemLibrary(name.c_str(), 1);
  ASSERT_NE(module, nullptr);
  char resolved[PATH_MAX];
  ASSERT_NE(realpath(("/usr/lib/x86_64-linux-gnu/" + name).c_str(), resolved), nullptr);
  char path[kPathMax];
  ASSERT_EQ(Platform_GetModuleFileName(module, path, sizeof path), 1);
  EXPECT_STREQ(path, resolved);
  ASSERT_EQ(Platform_GetModuleDirectory(module, path, sizeof path), 1);
  EXPECT_STREQ(path, "/usr/lib/x86_64-linux-gnu/");
  EXPECT_EQ(Platform_GetModuleHandle(name.c_str()), module);
  // Loaded already, from the protected directory: allowed again.
  PlatformModule *again = Platform_LoadSystemLibrary(name.c_str(), 1);
  EXPECT_EQ(again, module);
  Platform_FreeLibrary(&again);
  EXPECT_EQ(again, nullptr);
  Platform_FreeLibrary(&module);
  EXPECT_EQ(Platform_GetModuleHandle(name.c_str()), nullptr);

  // The buffer that cannot hold the name fails, and holds nothing.
  module = Platform_LoadSystemLibrary(name.c_str(), 1);
  char small[8] = "x";
  EXPECT_EQ(Platform_GetModuleFileName(module, small, sizeof small), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorNameTooLong);
  EXPECT_STREQ(small, "");
  Platform_FreeLibrary(&module);
}

TEST(PlatformLibrary, FailuresGiveTheirCodes) {
  TestLogCapture capture;
  EXPECT_EQ(Platform_LoadSystemLibrary("libkeelson-none.so.9", 1), nullptr);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorModuleNotFound);
  EXPECT_STREQ(Platform_ErrorName(Platform_GetLastError()), "Missing");
  // A name that climbs out of the system directory is not a system library.
  EXPECT_EQ(Platform_LoadSystemLibrary("../../../tmp/libx.so", 1), nullptr);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorInvalidParameter);
  EXPECT_EQ(Platform_LoadLibrary("/etc/hostname", 0), nullptr);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorBadFormat);
  std::string lines = capture.Take();
  EXPECT_NE(lines.find("Unable to load library (/usr/lib/x86_64-linux-gnu/libkeelson-none.so.9) "
                       "(126)\n"),
            std::string::npos)
      << lines;
  EXPECT_EQ(lines.find("Unable to load library (/etc/hostname)"), std::string::npos);
}

TEST(PlatformLibrary, ProgramModuleIsTheRunningExecutable) {
  std::string exe = std::filesystem::canonical("/proc/self/exe").string();
  char path[kPathMax];
  ASSERT_EQ(Platform_GetModuleFileName(nullptr, path, sizeof path), 1);
  EXPECT_EQ(path, exe);
  ASSERT_EQ(Platform_GetModuleFileName(Platform_GetModuleHandle(nullptr), path, sizeof path), 1);
  EXPECT_EQ(path, exe);
  // The platform code is linked into the program.
  ASSERT_EQ(Platform_GetModuleFileName(Platform_GetCurrentModule(), path, sizeof path), 1);
  EXPECT_EQ(path, exe);
  ASSERT_EQ(Platform_GetModuleDirectory(nullptr, path, sizeof path), 1);
  EXPECT_EQ(path, exe.substr(0, exe.rfind('/') + 1));
}

TEST(PlatformLibraryDeathTest, CopyLoadedFromOutsideTheProtectedDirectoryStops) {
  std::string name = unloadedSystemLibrary();
  if (name.empty()) GTEST_SKIP() << "no unloaded system library to copy";
  // The death test's child runs this body again: it takes the parent's copy
  // through the environment, so the only directory is the parent's, which it
  // removes.
  constexpr const char *kCopyDirVariable = "KEELSON_TEST_LIBRARY_COPY";
  std::unique_ptr<FsFaultTempDir> owned;
  std::string directory;
  if (const char *inherited = getenv(kCopyDirVariable)) {
    directory = inherited;
  } else {
    owned = std::make_unique<FsFaultTempDir>();
    directory = owned->path();
    std::filesystem::copy_file("/usr/lib/x86_64-linux-gnu/" + name, directory + "/" + name);
    setenv(kCopyDirVariable, directory.c_str(), 1);
  }
  std::string copy = directory + "/" + name;
  std::string expected = "Library loaded outside of protected directory \\(" +
                         regexEscape(directory + "/") + "\\) \\(" + regexEscape(name) + "\\)";
  EXPECT_DEATH(
      {
        if (Platform_LoadLibrary(copy.c_str(), 1) == nullptr) _exit(4);
        Platform_LoadSystemLibrary(name.c_str(), 1);
      },
      expected);
  unsetenv(kCopyDirVariable);
}

// ---- Process identity ----------------------------------------------------------------

TEST(PlatformProcess, ParentIdAgreesWithPs) {
  pid_t self = getpid();
  EXPECT_EQ(std::to_string(Platform_GetParentProcessId(uint32_t(self))),
            FsFault_Command("ps -o ppid= -p " + std::to_string(self) + " | tr -d ' '"));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sleep(10);
    _exit(0);
  }
  EXPECT_EQ(Platform_GetParentProcessId(uint32_t(child)), uint32_t(self));
  EXPECT_EQ(FsFault_Command("ps -o ppid= -p " + std::to_string(child) + " | tr -d ' '"),
            std::to_string(self));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  // Gone: no parent, and the reason is that it is missing.
  EXPECT_EQ(Platform_GetParentProcessId(uint32_t(child)), 0u);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorFileNotFound);
}

TEST(PlatformProcess, ElevationAndSystemAccount) {
  int elevated = -1;
  ASSERT_EQ(Platform_IsElevated(&elevated), 1);
  EXPECT_EQ(elevated, geteuid() == 0 ? 1 : 0);
  FSFAULT_RUN([](FsFaultChild &child) {
    if (geteuid() != 0) return child.Skip("the system account is root");
    int isSystem = -1;
    unsetenv("SUDO_UID");
    unsetenv("PKEXEC_UID");
    Platform_IsSystemAccount(&isSystem);
    FSF_EXPECT_EQ(child, isSystem, 1);
    setenv("SUDO_UID", "1000", 1);  // root through sudo is a user
    Platform_IsSystemAccount(&isSystem);
    FSF_EXPECT_EQ(child, isSystem, 0);
    unsetenv("SUDO_UID");
    setenv("PKEXEC_UID", "1000", 1);
    Platform_IsSystemAccount(&isSystem);
    FSF_EXPECT_EQ(child, isSystem, 0);
    if (!child.DropPrivileges()) return;
    Platform_IsElevated(&isSystem);
    FSF_EXPECT_EQ(child, isSystem, 0);
  });
}

// ---- Threads --------------------------------------------------------------------------

struct ThreadProbe {
  std::atomic<uint32_t> seenId{0};
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
};

int probeThread(void *argument) {
  auto *probe = static_cast<ThreadProbe *>(argument);
  probe->seenId = Platform_GetThreadId();
  waitFor(probe->go);
  probe->done = true;
  return 0;
}

TEST(PlatformThreaded, CreateReturnsTheRunningThreadsId) {
  ThreadProbe probe;
  uint32_t id = 0;
  PlatformThread *thread = nullptr;
  ASSERT_EQ(Thread_Create(probeThread, &probe, &id, &thread), 1);
  ASSERT_NE(thread, nullptr);
  ASSERT_NE(id, 0u);
  // The id names a live task of this process before the thread has done
  // anything the test waits for.
  EXPECT_TRUE(std::filesystem::exists("/proc/self/task/" + std::to_string(id)));
  EXPECT_NE(id, Platform_GetThreadId());
  probe.go = true;
  EXPECT_EQ(Thread_WaitForExit(thread), 1);
  EXPECT_TRUE(probe.done.load());
  EXPECT_EQ(probe.seenId.load(), id);
  EXPECT_EQ(Thread_WaitForExit(thread), 1);  // ended already: at once
  Thread_Destroy(&thread);
  EXPECT_EQ(thread, nullptr);
}

// A record dropped without a join detaches its thread; ThreadSanitizer
// reports a leaked thread otherwise.
TEST(PlatformThreaded, DestroyWithoutWaitDetaches) {
  ThreadProbe probe;
  uint32_t id = 0;
  PlatformThread *thread = nullptr;
  ASSERT_EQ(Thread_Create(probeThread, &probe, &id, &thread), 1);
  Thread_Destroy(&thread);
  EXPECT_EQ(thread, nullptr);
  probe.go = true;
  EXPECT_TRUE(waitFor(probe.done));
  // The task goes away by itself.
  std::string task = "/proc/self/task/" + std::to_string(id);
  for (int i = 0; i < 10000 && std::filesystem::exists(task); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(std::filesystem::exists(task));
}

int ioprioOfCaller() { return int(syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, 0)); }

TEST(PlatformThreaded, BackgroundModeUsesTheIdleIoClassAndEnds) {
  ThreadProbe probe;
  uint32_t id = 0;
  PlatformThread *thread = nullptr;
  ASSERT_EQ(Thread_Create(probeThread, &probe, &id, &thread), 1);
  int before = ioprioOfCaller();
  EXPECT_EQ(Thread_BeginBackground(thread, 0), 1);  // off: nothing changes
  EXPECT_EQ(ioprioOfCaller(), before);
  EXPECT_EQ(Thread_EndBackground(thread), 1);  // not begun: nothing to end
  EXPECT_EQ(ioprioOfCaller(), before);
  EXPECT_EQ(Thread_BeginBackground(thread, 1), 1);
  EXPECT_EQ(IOPRIO_PRIO_CLASS(ioprioOfCaller()), IOPRIO_CLASS_IDLE);
  EXPECT_EQ(Thread_EndBackground(thread), 1);
  EXPECT_NE(IOPRIO_PRIO_CLASS(ioprioOfCaller()), IOPRIO_CLASS_IDLE);
  probe.go = true;
  Thread_WaitForExit(thread);
  Thread_Destroy(&thread);
}

TEST(PlatformThreaded, NamesThreadsByRecordAndById) {
  ThreadProbe probe;
  uint32_t id = 0;
  PlatformThread *thread = nullptr;
  ASSERT_EQ(Thread_Create(probeThread, &probe, &id, &thread), 1);
  std::string comm = "/proc/self/task/" + std::to_string(id) + "/comm";
  EXPECT_EQ(Platform_SetThreadName(thread, 0, "worker"), 1);
  EXPECT_EQ(readText(comm), "worker");
  EXPECT_EQ(Platform_SetThreadName(nullptr, id, "by-id"), 1);
  EXPECT_EQ(readText(comm), "by-id");
  // 15 bytes are kept; "ö" would straddle the limit, so it goes whole.
  EXPECT_EQ(Platform_SetThreadName(nullptr, id, "abcdefghijklmn\xc3\xb6xyz"), 1);
  EXPECT_EQ(readText(comm), "abcdefghijklmn");
  uint32_t self = Platform_GetThreadId();
  std::string own = "/proc/self/task/" + std::to_string(self) + "/comm";
  std::string saved = readText(own);
  EXPECT_EQ(Platform_SetThreadName(nullptr, self, "tester"), 1);
  EXPECT_EQ(readText(own), "tester");
  Platform_SetThreadName(nullptr, self, saved.c_str());
  probe.go = true;
  Thread_WaitForExit(thread);
  Thread_Destroy(&thread);
  // The kernel takes the thread's entry away a moment after it ends.
  Test_WaitUntil([&] { return access(comm.c_str(), F_OK) != 0; });
  EXPECT_EQ(Platform_SetThreadName(nullptr, id, "gone"), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorFileNotFound);
}

TEST(PlatformThreadDeathTest, MisuseStops) {
  uint32_t id;
  PlatformThread *thread;
  EXPECT_DEATH(Thread_Create(probeThread, nullptr, nullptr, &thread), "Pointer is NULL\n");
  EXPECT_DEATH(Thread_Create(probeThread, nullptr, &id, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Thread_Create(nullptr, nullptr, &id, &thread), "Pointer is NULL\n");
  alignas(8) char foreign[128] = {};
  PlatformThread *fake = reinterpret_cast<PlatformThread *>(foreign);
  EXPECT_DEATH(Thread_Destroy(&fake), "Class mismatch pointer");
  EXPECT_DEATH(Thread_WaitForExit(nullptr), "Pointer is NULL\n");
}

// ---- Atomics ----------------------------------------------------------------------------

TEST(PlatformAtomics, ResultsAndCompareAndSwap) {
  int32_t value = 5;
  EXPECT_EQ(Platform_AtomicIncrement(&value), 6);
  EXPECT_EQ(Platform_AtomicDecrement(&value), 5);
  struct Row {
    int32_t start, exchange, comparand, previous, after;
  } rows[] = {
      {5, 9, 5, 5, 9},     // equal: stored
      {5, 9, 4, 5, 5},     // different: left alone
      {-1, 0, -1, -1, 0},  // negative values compare as they are
      {INT32_MAX, INT32_MIN, INT32_MAX, INT32_MAX, INT32_MIN},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.start);
    value = row.start;
    EXPECT_EQ(Platform_CAS(&value, row.exchange, row.comparand), row.previous);
    EXPECT_EQ(value, row.after);
  }
  value = INT32_MAX;
  EXPECT_EQ(Platform_AtomicIncrement(&value), INT32_MIN);  // wraps like the hardware
}

TEST(PlatformAtomicsDeathTest, UnalignedOrNullWordStops) {
  alignas(8) char words[16] = {};
  for (int offset : {1, 2, 3}) {
    SCOPED_TRACE(offset);
    auto *unaligned = reinterpret_cast<int32_t *>(words + offset);
    EXPECT_DEATH(Platform_AtomicIncrement(unaligned),
                 "Assertion failed \\(\\(\\(intptr\\)Value & 3\\) == 0\\)\nUnaligned value");
    EXPECT_DEATH(Platform_CAS(unaligned, 1, 0), "Unaligned value");
  }
  EXPECT_DEATH(Platform_AtomicDecrement(nullptr), "Pointer is NULL\n");
}

TEST(PlatformThreaded, AtomicsCountEveryIncrementOfEightThreads) {
  constexpr int kThreads = 8;
  constexpr int kIncrements = 1000000;
  alignas(4) int32_t counter = 0;
  alignas(4) int32_t casCounter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < kIncrements; i++) Platform_AtomicIncrement(&counter);
      // A compare-and-swap loop loses no update either.
      for (int i = 0; i < kIncrements / 10; i++) {
        int32_t seen;
        do seen = Platform_CAS(&casCounter, 0, 0);
        while (Platform_CAS(&casCounter, seen + 1, seen) != seen);
      }
    });
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(counter, kThreads * kIncrements);
  EXPECT_EQ(casCounter, kThreads * kIncrements / 10);
  threads.clear();
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < kIncrements; i++) Platform_AtomicDecrement(&counter);
    });
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(counter, 0);
}

}  // namespace
