// ApiHook: real libraries built by CMake (lazy binding, -z now, -fno-plt)
// open files through libc; after the swap their opens reach the test's hook,
// after swapping back they reach libc again. Also the program's own import.
#include "core/platform/apihook.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <fstream>
#include <string>

namespace {

std::atomic<int> gHookCalls{0};
void *gSystemOpen = nullptr;

// Counts, then opens through the function the slot held before.
int apiHookTestOpen(const char *path, int flags, ...) {
  gHookCalls++;
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list args;
    va_start(args, flags);
    mode = mode_t(va_arg(args, int));
    va_end(args);
  }
  return reinterpret_cast<int (*)(const char *, int, ...)>(gSystemOpen)(path, flags, mode);
}

void *hookAddress() { return reinterpret_cast<void *>(&apiHookTestOpen); }

// The protections of the library's mappings, in address order.
std::string mappingProtections(const std::string &path) {
  std::ifstream maps("/proc/self/maps");
  std::string line, out;
  while (std::getline(maps, line))
    if (line.size() > path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0)
      out += line.substr(line.find(' ') + 1, 4) + " ";
  return out;
}

struct Peer {
  std::string path;
  PlatformModule *module = nullptr;
  int (*open)(const char *) = nullptr;
  explicit Peer(const std::string &variant) {
    path = std::string(KEELSON_APIHOOK_PEER_DIR) + "/libapihook_peer_" + variant + ".so";
    module = Platform_LoadLibrary(path.c_str(), 1);
    if (module)
      open = reinterpret_cast<int (*)(const char *)>(
          Platform_GetLibraryFunction(module, "ApiHookPeer_Open"));
  }
  ~Peer() { Platform_FreeLibrary(&module); }
};

}  // namespace

TEST(ApiHook, SwapsAndRestoresTheOpenImportOfEachBinding) {
  void *system = dlsym(RTLD_DEFAULT, "open");
  for (const char *variant : {"lazy", "now", "noplt"}) {
    SCOPED_TRACE(variant);
    Peer peer(variant);
    ASSERT_NE(peer.open, nullptr);
    // The lazy variant is swapped before its first open (its slot still
    // points at its own PLT code), the others after one.
    if (std::string(variant) != "lazy") {
      EXPECT_EQ(peer.open("/dev/null"), 1);
    }
    int before = gHookCalls;
    std::string protections = mappingProtections(peer.path);
    if (std::string(variant) == "now") {
      EXPECT_NE(protections.find("r--p"), std::string::npos) << protections;  // RELRO
    }

    void *previous = nullptr;
    ASSERT_EQ(ApiHook_SwapCreateFileW(peer.module, nullptr, hookAddress(), &previous), 1);
    EXPECT_EQ(previous, system);  // the function itself, never a PLT stub
    gSystemOpen = previous;
    EXPECT_EQ(peer.open("/dev/null"), 1);
    EXPECT_EQ(peer.open("/dev/null"), 1);
    EXPECT_EQ(gHookCalls - before, 2);
    EXPECT_EQ(mappingProtections(peer.path), protections);  // put back as they were

    // Twice in a row with previous reset: installs the hook again and hands
    // back the hook itself.
    void *again = nullptr;
    ASSERT_EQ(ApiHook_SwapCreateFileW(peer.module, nullptr, hookAddress(), &again), 1);
    EXPECT_EQ(again, hookAddress());

    void *restore = system;
    ASSERT_EQ(ApiHook_SwapCreateFileW(peer.module, nullptr, hookAddress(), &restore), 1);
    EXPECT_EQ(restore, hookAddress());
    before = gHookCalls;
    EXPECT_EQ(peer.open("/dev/null"), 1);
    EXPECT_EQ(peer.open("/nonexistent/keelson"), 0);
    EXPECT_EQ(gHookCalls, before);
  }
}

// A library that opens files only through fopen imports no open: 0, and the
// slot-less library goes on working.
TEST(ApiHook, ModuleWithoutOpenImportIsLeftAlone) {
  Peer peer("none");
  ASSERT_NE(peer.open, nullptr);
  void *previous = nullptr;
  EXPECT_EQ(ApiHook_SwapCreateFileW(peer.module, nullptr, hookAddress(), &previous), 0);
  EXPECT_EQ(previous, nullptr);
  int before = gHookCalls;
  EXPECT_EQ(peer.open("/dev/null"), 1);
  EXPECT_EQ(gHookCalls, before);
}

// Module NULL is the test program, whose own calls to open go through its
// import like any library's.
TEST(ApiHook, ProgramItselfIsModuleNull) {
  void *previous = nullptr;
  ASSERT_EQ(ApiHook_SwapCreateFileW(nullptr, nullptr, hookAddress(), &previous), 1);
  gSystemOpen = previous;
  int before = gHookCalls;
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int after = gHookCalls;
  void *restore = previous;
  ASSERT_EQ(ApiHook_SwapCreateFileW(nullptr, nullptr, hookAddress(), &restore), 1);
  EXPECT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(after - before, 1);
  EXPECT_EQ(restore, hookAddress());
  fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  close(fd);
  EXPECT_EQ(gHookCalls, after);
}

TEST(ApiHookDeathTest, HookAndPreviousAreRequired) {
  void *previous = nullptr;
  EXPECT_DEATH(ApiHook_SwapCreateFileW(nullptr, nullptr, nullptr, &previous), "Pointer is NULL\n");
  EXPECT_DEATH(ApiHook_SwapCreateFileW(nullptr, nullptr, hookAddress(), nullptr),
               "Pointer is NULL\n");
}
