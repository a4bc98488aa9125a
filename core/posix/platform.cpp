// The platform layer's process-wide part: start and stop, protected library
// loading and module names, raw threads and atomics; see core/platform/platform.h.
#include "core/platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/ioprio.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "core/platform/appmark.h"
#include "core/runtime/class.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/posix/errors.h"
#include "core/posix/hive.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

constexpr uint32_t kPlatformGlobalTag = 0x1d3df0f6;
constexpr uint32_t kSocketGlobalTag = 0x60d47b6d;
// One draw at start proves the random source works before anything needs it.
constexpr size_t kInitRandomBytes = 16;
// The system keeps thread names of 15 bytes and a terminator.
constexpr size_t kThreadNameBytes = 16;
// Background mode lowers the CPU priority by this much where the I/O class
// cannot be changed.
constexpr int kBackgroundNiceStep = 5;

// The platform record. Read-only after Platform_Init apart from singleton,
// which the single-instance mark fills.
struct PlatformGlobal {
  uint32_t tag;
  void *singleton;
};

struct SocketGlobal {
  uint32_t tag;
};

PlatformGlobal *gPlatform = nullptr;
SocketGlobal *gSocket = nullptr;

// ---- Libraries --------------------------------------------------------------------

// Copies text into out when it fits, else records 206.
int platformSetText(char *out, int size, const char *text, const char *what) {
  size_t length = strlen(text);
  if (length + 1 > size_t(size > 0 ? size : 0)) {
    if (size > 0) out[0] = '\0';
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, what, text);
  }
  memcpy(out, text, length + 1);
  return 1;
}

// The program file, from /proc/self/exe. A link that fills the buffer may
// have been cut, so it counts as too long.
int platformProgramPath(char *out, int size) {
  char path[kPathMax];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n < 0) return POSIX_FAIL("readlink", "/proc/self/exe");
  if (n >= ssize_t(sizeof path))
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "readlink", "/proc/self/exe");
  path[n] = '\0';
  return platformSetText(out, size, path, "GetModuleFileName");
}

// The dynamic loader's handle of the program; it is never unloaded, so the
// extra count is dropped at once.
PlatformModule *platformProgramHandle() {
  void *handle = dlopen(nullptr, RTLD_LAZY);
  if (handle) dlclose(handle);
  return static_cast<PlatformModule *>(handle);
}

// A handle of an already loaded library by name, without keeping a count.
PlatformModule *platformLoadedHandle(const char *name) {
  void *handle = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return static_cast<PlatformModule *>(handle);
}

// The error of a failed dlopen: the file's own error when it cannot be
// reached (a missing one is a missing module), else a file that is not a
// library the loader can use.
int platformLoadError(const char *path, int *err) {
  *err = 0;
  if (strchr(path, '/') == nullptr) return kPlatformErrorModuleNotFound;  // searched, not found
  if (access(path, F_OK) != 0) {
    *err = errno;
    return errno == ENOENT || errno == ENOTDIR ? kPlatformErrorModuleNotFound
                                               : PosixError_FromErrno(errno);
  }
  return kPlatformErrorBadFormat;
}

// ---- Threads ------------------------------------------------------------------------

struct PlatformThreadStart {
  PlatformThreadFunction function;
  void *argument;
  pthread_mutex_t lock;
  pthread_cond_t published;
  uint32_t threadId;  // guarded by lock; 0 until the new thread has set it
};

void *platformThreadEntry(void *context) {
  auto *start = static_cast<PlatformThreadStart *>(context);
  PlatformThreadFunction function = start->function;
  void *argument = start->argument;
  pthread_mutex_lock(&start->lock);
  start->threadId = Platform_GetThreadId();
  pthread_cond_signal(&start->published);
  pthread_mutex_unlock(&start->lock);
  // The starter may free start from here on.
  function(argument);
  return nullptr;
}

long platformIoprio(int op, int value) {
  return op == 0 ? syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, 0)
                 : syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, 0, value);
}

void platformCheckAligned(const int32_t *value, const char *sourcePath, int line) {
  Core_CheckPointer(value, sourcePath, line);
  if ((reinterpret_cast<uintptr_t>(value) & 3) != 0)
    Core_Abort(sourcePath, line, "Assertion failed (((intptr)Value & 3) == 0)\nUnaligned value");
}

}  // namespace

struct PlatformThread {
  ObjectHeader header;  // tag kPlatformThreadTag; not reference counted
  int32_t background;   // 1 while the thread runs in background mode
  int32_t savedIoprio;  // the I/O priority before background mode
  pthread_t handle;
  int32_t joined;  // 1 once Thread_WaitForExit has joined it
};

// ---- Start and stop ------------------------------------------------------------------

int Platform_Init(void) {
  if (gPlatform != nullptr)
    Core_Abort(KSRC, "Assertion failed (gPlatform == NULL)\nPlatform already initialized");
  unsigned char draw[kInitRandomBytes];
  ssize_t got;
  do got = getrandom(draw, sizeof draw, 0);
  while (got < 0 && errno == EINTR);
  if (got != ssize_t(sizeof draw))
    Core_Abort(KSRC, "Crypt not initialized (%d)\n", got < 0 ? errno : 0);
  auto *global = static_cast<PlatformGlobal *>(MEM_ALLOC(sizeof(PlatformGlobal), MEM_ZEROED));
  global->tag = kPlatformGlobalTag;
  gPlatform = global;
  // An elevated process keeps the desktop user's settings in that user's
  // hive ("desktopuser"); without one the class stays the own hive.
  int elevated = 0;
  Platform_IsElevated(&elevated);
  if (elevated) Hive_OpenDesktopUser();
  return 1;
}

int Platform_Shutdown(void) {
  PlatformGlobal *global = gPlatform;
  if (global == nullptr) return 1;
  gPlatform = nullptr;
  if (global->singleton) {
    auto *mark = static_cast<AppMark *>(global->singleton);
    AppMark_Delete(&mark);
  }
  Hive_CloseDesktopUser();
  global->tag = 0;
  MEM_FREE(global, sizeof(PlatformGlobal));
  return 1;
}

int Platform_Exclusive(const char *name, int32_t timeoutMs) {
  CHECK_POINTER(name);
  PlatformGlobal *global = gPlatform;
  CHECK_POINTER(global);
  if (global->singleton != nullptr)
    Core_Abort(KSRC,
               "Assertion failed (GlobalPlatformWin32->SingletonHandle == NULL)\nExclusive "
               "singleton already initialized");
  AppMark *mark = nullptr;
  AppMark_Create(&mark);
  char markName[kAppMarkNameBytes];
  Str_Printf(markName, sizeof markName, "%s-EXCLUSIVE", name);
  AppMark_SetName(mark, markName);
  global->singleton = mark;
  return AppMark_Acquire(mark, timeoutMs) ? 0 : 1;
}

AppMark *Platform_GetExclusiveMark(void) {
  PlatformGlobal *global = gPlatform;
  return global ? static_cast<AppMark *>(global->singleton) : nullptr;
}

int Platform_StartWinsock(void) {
  struct sigaction ignore;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  Platform_Init();
  auto *socket = static_cast<SocketGlobal *>(MEM_ALLOC(sizeof(SocketGlobal), MEM_ZEROED));
  socket->tag = kSocketGlobalTag;
  gSocket = socket;
  char version[64];
  Platform_GetSystemVersionString(version, sizeof version);
  int elevated = 0;
  Platform_IsElevated(&elevated);
  Log_Print(LOG_INFO, KSRC, 0, "System: %s %s %dbit\n", "Linux", version,
            Platform_GetSystemBitness());
  Log_Print(LOG_INFO, KSRC, 0, "Elevated: %s\n", elevated ? "true" : "false");
  Log_Print(LOG_INFO, KSRC, 0, "Process Id: %d\n", int(Platform_GetProcessId()));
  return 1;
}

int Platform_StopWinsock(void) {
  Platform_Shutdown();
  SocketGlobal *socket = gSocket;
  gSocket = nullptr;
  if (socket) MEM_FREE(socket, sizeof(SocketGlobal));
  return 1;
}

int Platform_SetDllDirectory(const char *) { return 1; }

int Platform_SetDefaultDllDirectories(uint32_t) { return 1; }

// ---- Libraries --------------------------------------------------------------------

PlatformModule *Platform_LoadSystemLibrary(const char *name, int logFailure) {
  CHECK_POINTER(name);
  if (name[0] == '\0' || strchr(name, '/') || strchr(name, '\\')) {
    POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, 0, "LoadSystemLibrary", name);
    return nullptr;
  }
  char path[kPathMax];
  if (!Platform_GetSystemDirectory(path, sizeof path) ||
      Str_Cat(path, name, sizeof path) != int(strlen(name))) {
    POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "LoadSystemLibrary", name);
    return nullptr;
  }
  // A copy of that name that is loaded already, from anywhere but the
  // system's own directories, would be the one every later lookup finds.
  if (PlatformModule *loaded = platformLoadedHandle(name)) {
    char protectedDirectory[kPathMax];
    char moduleDirectory[kPathMax];
    moduleDirectory[0] = '\0';
    if (!Platform_GetWindowsDirectory(protectedDirectory, sizeof protectedDirectory) ||
        !Platform_GetModuleDirectory(loaded, moduleDirectory, sizeof moduleDirectory) ||
        strncmp(moduleDirectory, protectedDirectory, strlen(protectedDirectory)) != 0)
      Core_Abort(KSRC, "Library loaded outside of protected directory (%s) (%s)", moduleDirectory,
                 name);
  }
  return Platform_LoadLibrary(path, logFailure);
}

PlatformModule *Platform_LoadLibrary(const char *path, int logFailure) {
  CHECK_POINTER(path);
  void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char *reason = dlerror();
    int err = 0;
    int code = platformLoadError(path, &err);
    POSIX_FAIL_CODE(code, err, "dlopen", reason ? reason : path);
    if (logFailure) Log_Print(LOG_DEBUG, KSRC, 0, "Unable to load library (%s) (%d)\n", path, code);
  }
  return static_cast<PlatformModule *>(handle);
}

void Platform_FreeLibrary(PlatformModule **module) {
  CHECK_POINTER(module);
  void *handle = *module;
  *module = nullptr;
  if (handle) dlclose(handle);
}

void *Platform_GetLibraryFunction(PlatformModule *module, const char *name) {
  CHECK_POINTER(module);
  CHECK_POINTER(name);
  dlerror();
  void *address = dlsym(module, name);
  if (address == nullptr) POSIX_FAIL_CODE(kPlatformErrorProcNotFound, 0, "dlsym", name);
  return address;
}

PlatformModule *Platform_GetModuleHandle(const char *name) {
  if (name == nullptr) return platformProgramHandle();
  PlatformModule *handle = platformLoadedHandle(name);
  if (handle == nullptr) POSIX_FAIL_CODE(kPlatformErrorModuleNotFound, 0, "GetModuleHandle", name);
  return handle;
}

PlatformModule *Platform_GetCurrentModule(void) {
  Dl_info info;
  struct link_map *map = nullptr;
  if (dladdr1(reinterpret_cast<void *>(&Platform_GetCurrentModule), &info,
              reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) == 0 ||
      map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0')
    return platformProgramHandle();
  PlatformModule *handle = platformLoadedHandle(map->l_name);
  return handle ? handle : platformProgramHandle();
}

int Platform_GetModuleFileName(PlatformModule *module, char *out, int size) {
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  struct link_map *map = nullptr;
  if (module != nullptr && dlinfo(module, RTLD_DI_LINKMAP, &map) != 0) {
    POSIX_FAIL_CODE(kPlatformErrorInvalidHandle, 0, "dlinfo", dlerror());
    return 0;
  }
  // The program's own entry has an empty name.
  if (map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0')
    return platformProgramPath(out, size);
  char resolved[PATH_MAX];
  if (realpath(map->l_name, resolved) == nullptr) return POSIX_FAIL("realpath", map->l_name);
  return platformSetText(out, size, resolved, "GetModuleFileName");
}

int Platform_GetModuleDirectory(PlatformModule *module, char *out, int size) {
  CHECK_POINTER(out);
  char path[kPathMax];
  if (!Platform_GetModuleFileName(module, path, sizeof path)) {
    if (size > 0) out[0] = '\0';
    return 0;
  }
  char *slash = strrchr(path, '/');
  if (slash) slash[1] = '\0';
  return platformSetText(out, size, path, "GetModuleDirectory");
}

// ---- Threads ------------------------------------------------------------------------

int Thread_Create(PlatformThreadFunction function, void *argument, uint32_t *threadId,
                  PlatformThread **thread) {
  CHECK_POINTER(threadId);
  CHECK_POINTER(thread);
  *threadId = 0;
  *thread = nullptr;
  CHECK_POINTER(reinterpret_cast<void *>(function));
  auto *record = static_cast<PlatformThread *>(MEM_ALLOC(sizeof(PlatformThread), MEM_ZEROED));
  record->header.classTag = kPlatformThreadTag;
  record->header.refCount.store(1);

  PlatformThreadStart start;
  start.function = function;
  start.argument = argument;
  start.threadId = 0;
  pthread_mutex_init(&start.lock, nullptr);
  pthread_cond_init(&start.published, nullptr);
  int rc = pthread_create(&record->handle, nullptr, platformThreadEntry, &start);
  if (rc == 0) {
    pthread_mutex_lock(&start.lock);
    while (start.threadId == 0) pthread_cond_wait(&start.published, &start.lock);
    pthread_mutex_unlock(&start.lock);
  }
  pthread_cond_destroy(&start.published);
  pthread_mutex_destroy(&start.lock);
  if (rc != 0) {
    MEM_FREE(record, sizeof(PlatformThread));
    return POSIX_FAIL_CODE(PosixError_FromErrno(rc), rc, "pthread_create", nullptr);
  }
  *threadId = start.threadId;
  *thread = record;
  return 1;
}

void Thread_Destroy(PlatformThread **thread) {
  CHECK_POINTER(thread);
  PlatformThread *record = *thread;
  CLASS_CHECK(record, kPlatformThreadTag);
  *thread = nullptr;
  if (!record->joined) pthread_detach(record->handle);
  record->header.classTag = 0;
  MEM_FREE(record, sizeof(PlatformThread));
}

int Thread_WaitForExit(PlatformThread *thread) {
  CLASS_CHECK(thread, kPlatformThreadTag);
  if (!thread->joined) {
    pthread_join(thread->handle, nullptr);
    thread->joined = 1;
  }
  return 1;
}

int Thread_BeginBackground(PlatformThread *thread, int on) {
  CLASS_CHECK(thread, kPlatformThreadTag);
  if (on != 1) return 1;
  long previous = platformIoprio(0, 0);
  if (previous >= 0 && platformIoprio(1, IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0)) == 0) {
    thread->savedIoprio = int32_t(previous);
    thread->background = 1;
    return 1;
  }
  // No background I/O class: at least yield the CPU to foreground work. A
  // thread's nice value is its own on Linux.
  id_t self = id_t(Platform_GetThreadId());
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, self);
  if (errno == 0 && setpriority(PRIO_PROCESS, self, nice + kBackgroundNiceStep) == 0) return 1;
  Log_Print(LOG_DEBUG, KSRC, 0, "Unable to set thread priority\n");
  return 1;
}

int Thread_EndBackground(PlatformThread *thread) {
  CLASS_CHECK(thread, kPlatformThreadTag);
  if (!thread->background) return 1;
  int saved = thread->savedIoprio;
  // A class-less priority reads back with a level that cannot be written
  // back as such; class-less level 0 restores the same behaviour.
  if (platformIoprio(1, saved) != 0 && IOPRIO_PRIO_CLASS(saved) == IOPRIO_CLASS_NONE)
    platformIoprio(1, IOPRIO_PRIO_VALUE(IOPRIO_CLASS_NONE, 0));
  thread->background = 0;
  return 1;
}

int Platform_SetThreadName(PlatformThread *thread, uint32_t threadId, const char *name) {
  CHECK_POINTER(name);
  char shortName[kThreadNameBytes];
  size_t length = strlen(name);
  if (length > kThreadNameBytes - 1) {
    length = kThreadNameBytes - 1;
    // Never end inside a UTF-8 sequence.
    while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) length--;
  }
  memcpy(shortName, name, length);
  shortName[length] = '\0';
  if (thread != nullptr) {
    CLASS_CHECK(thread, kPlatformThreadTag);
    int rc = pthread_setname_np(thread->handle, shortName);
    return rc == 0 ? 1 : POSIX_FAIL_CODE(PosixError_FromErrno(rc), rc, "pthread_setname_np", name);
  }
  if (threadId == Platform_GetThreadId())
    return prctl(PR_SET_NAME, shortName, 0, 0, 0) == 0 ? 1 : POSIX_FAIL("prctl", name);
  char comm[64];
  Str_Printf(comm, sizeof comm, "/proc/self/task/%u/comm", threadId);
  int fd;
  do fd = open(comm, O_WRONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return POSIX_FAIL("open", comm);
  ssize_t n;
  do n = write(fd, shortName, length);
  while (n < 0 && errno == EINTR);
  int err = errno;
  close(fd);
  if (n != ssize_t(length)) return POSIX_FAIL_CODE(PosixError_FromErrno(err), err, "write", comm);
  return 1;
}

// ---- Atomics -------------------------------------------------------------------------

int32_t Platform_AtomicIncrement(int32_t *value) {
  platformCheckAligned(value, KSRC);
  return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

int32_t Platform_AtomicDecrement(int32_t *value) {
  platformCheckAligned(value, KSRC);
  return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

int32_t Platform_CAS(int32_t *value, int32_t exchange, int32_t comparand) {
  platformCheckAligned(value, KSRC);
  int32_t previous = comparand;
  __atomic_compare_exchange_n(value, &previous, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return previous;
}
