// Launching programs and documents, process handles, the reaper and the
// process list; see core/platform/launch.h.
#include "core/platform/launch.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/cmdline.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/posix/desktopuser.h"
#include "core/posix/envoverlay.h"
#include "core/posix/errors.h"
#include "core/posix/launchargv.h"
#include "core/runtime/print.h"
#include "core/platform/registry.h"
#include "core/runtime/str.h"

extern char **environ;

namespace {

// The C library's declarations of these lack C linkage in C++; the system
// calls are called directly.
int launchPidfdOpen(pid_t pid) { return int(syscall(SYS_pidfd_open, pid, 0)); }

int launchPidfdKill(int pidfd, int sig) {
  return int(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

// Where the user asks for a program to be run as administrator: a string
// value named by the program's path whose data holds "RUNASADMIN".
constexpr const char *kCompatLayersKey =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";
constexpr const char *kRunAsAdmin = "RUNASADMIN";
// The most of a compatibility value's name and data that is read.
constexpr int kCompatNameBytes = 321;
constexpr uint32_t kCompatDataBytes = 640;

constexpr const char *kPkexecPath = "/usr/bin/pkexec";
constexpr const char *kOpenerPath = "/usr/bin/xdg-open";
// The PATH of a program started as the desktop user: the parent's PATH is
// root's and says nothing about the user.
constexpr const char *kUserPath = "/usr/local/bin:/usr/bin:/bin";
// No token of the desktop user: the desktop system's "no token" error.
constexpr int kLaunchErrorNoToken = 1008;
// A first guess at the desktop user's group count; getgrouplist says how
// many there are when it is too small.
constexpr int kGroupGuess = 64;
// The child's report over the exec pipe when it stopped itself before exec
// (flag 0x20) instead of failing.
constexpr int kChildStopped = -1;
// The process list reads /proc/<pid>/comm: 15 bytes and a line end.
constexpr int kCommBytes = 64;
constexpr int kReaperEvents = 8;
constexpr int kProcessListTag = 0x7c3d51a2;
// waitid's id type for a pidfd, where the C library does not name it yet.
constexpr idtype_t kIdTypePidfd = idtype_t(3);

std::atomic<const char *> gPkexecPath{nullptr};
std::atomic<const char *> gOpenerPath{nullptr};

// ---- Programs -----------------------------------------------------------------------------

// path = directory + "/" + name, when it fits.
int launchJoin(char *out, int size, const char *directory, size_t directoryLength,
               const char *name) {
  size_t nameLength = strlen(name);
  bool slash = directoryLength > 0 && directory[directoryLength - 1] != '/';
  if (directoryLength + (slash ? 1 : 0) + nameLength + 1 > size_t(size))
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "Execute", name);
  memcpy(out, directory, directoryLength);
  size_t at = directoryLength;
  if (slash) out[at++] = '/';
  memcpy(out + at, name, nameLength + 1);
  return 1;
}

// The absolute form of a path: as it is when it starts with '/', else behind
// the current directory.
int launchAbsolute(const char *path, char *out, int size) {
  if (path[0] == '/') {
    if (Str_Set(out, path, size)) return 1;
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "Execute", path);
  }
  char cwd[kPathMax];
  if (getcwd(cwd, sizeof cwd) == nullptr) return POSIX_FAIL("getcwd", path);
  return launchJoin(out, size, cwd, strlen(cwd), path);
}

// The program as exec is to see it: a path with '/' made absolute, a bare
// name looked up in searchPath (':'-separated) as an executable file. 1, or
// 0 with 2 when the name is found nowhere.
int launchResolveProgram(const char *program, const char *searchPath, char *out, int size) {
  if (program[0] == '\0')
    return POSIX_FAIL_CODE(kPlatformErrorFileNotFound, ENOENT, "Execute", "(no program)");
  if (strchr(program, '/')) return launchAbsolute(program, out, size);
  for (const char *p = searchPath ? searchPath : ""; *p;) {
    const char *colon = strchr(p, ':');
    size_t length = colon ? size_t(colon - p) : strlen(p);
    // An empty entry is the current directory.
    const char *directory = length ? p : ".";
    size_t directoryLength = length ? length : 1;
    char candidate[kPathMax];
    struct stat status;
    if (launchJoin(candidate, sizeof candidate, directory, directoryLength, program) &&
        stat(candidate, &status) == 0 && S_ISREG(status.st_mode) && access(candidate, X_OK) == 0)
      return launchAbsolute(candidate, out, size);
    p += length;
    if (*p == ':') p++;
  }
  return POSIX_FAIL_CODE(kPlatformErrorFileNotFound, ENOENT, "Execute", program);
}

const char *launchPkexecPath() {
  const char *path = gPkexecPath.load();
  return path ? path : kPkexecPath;
}

const char *launchOpenerPath() {
  const char *path = gOpenerPath.load();
  return path ? path : kOpenerPath;
}

// A child whose status nobody can read would make every exit code unknown.
void launchCheckChildSignal() {
  struct sigaction current;
  if (sigaction(SIGCHLD, nullptr, &current) != 0) return;
  if (current.sa_handler != SIG_IGN && !(current.sa_flags & SA_NOCLDWAIT)) return;
  Log_Print(LOG_WARNING, KSRC, 0, "SIGCHLD was ignored; restoring its default action\n");
  struct sigaction standard;
  memset(&standard, 0, sizeof standard);
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(SIGCHLD, &standard, nullptr);
}

// ---- Handles ------------------------------------------------------------------------------

ProcessHandle *launchNewHandle(pid_t pid, int pidfd, int isChild) {
  auto *process = static_cast<ProcessHandle *>(MEM_ALLOC(sizeof(ProcessHandle), MEM_ZEROED));
  process->header.classTag = kProcessHandleTag;
  process->header.refCount.store(1);
  process->pid = int32_t(pid);
  process->pidfd = pidfd;
  process->isChild = isChild;
  return process;
}

// The code of a child's end: its exit status, or 128+n for signal n.
int32_t launchStatusCode(const siginfo_t &info) {
  if (info.si_code == CLD_EXITED) return info.si_status;
  return 128 + info.si_status;
}

// Reaps the child behind pidfd when it has ended. 1 with *code, 0 while it
// runs; a child reaped by someone else gives 1 with 0.
int launchReap(int pidfd, int32_t *code) {
  siginfo_t info;
  memset(&info, 0, sizeof info);
  int rc;
  do rc = waitid(kIdTypePidfd, id_t(pidfd), &info, WEXITED | WNOHANG);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    *code = 0;
    return errno == ECHILD ? 1 : 0;
  }
  if (info.si_pid == 0) return 0;
  *code = launchStatusCode(info);
  return 1;
}

// Whether the process behind pidfd has ended: the pidfd becomes readable.
bool launchEnded(int pidfd, int timeoutMs) {
  struct pollfd entry = {pidfd, POLLIN, 0};
  int rc;
  do rc = poll(&entry, 1, timeoutMs);
  while (rc < 0 && errno == EINTR);
  return rc > 0;
}

// Opens a pidfd on a new child; without one the child cannot be followed, so
// it is ended and reaped at once.
int launchAdopt(pid_t pid, ProcessHandle **process) {
  int pidfd = launchPidfdOpen(pid);
  if (pidfd < 0) {
    int err = errno;
    kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return POSIX_FAIL_CODE(PosixError_FromErrno(err), err, "pidfd_open", nullptr);
  }
  fcntl(pidfd, F_SETFD, FD_CLOEXEC);
  *process = launchNewHandle(pid, pidfd, 1);
  return 1;
}

// ---- Reaper -----------------------------------------------------------------------------------

// Pidfds of children whose handles were closed while they ran. One thread
// waits on them with epoll and ends when none is left; the next hand-off
// starts it again.
struct LaunchReaper {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  int epollFd = -1;      // created once, under lock; never closed
  int count = 0;         // guarded by lock: pidfds in the epoll set
  bool running = false;  // guarded by lock
};

LaunchReaper gReaper;

int launchReaperMain(void *) {
  for (;;) {
    struct epoll_event events[kReaperEvents];
    int n = epoll_wait(gReaper.epollFd, events, kReaperEvents, -1);
    if (n < 0 && errno != EINTR) {
      // Nothing can be waited for any more; the children stay zombies.
      POSIX_FAIL("epoll_wait", nullptr);
      pthread_mutex_lock(&gReaper.lock);
      gReaper.running = false;
      pthread_mutex_unlock(&gReaper.lock);
      return 0;
    }
    pthread_mutex_lock(&gReaper.lock);
    for (int i = 0; i < n; i++) {
      int pidfd = events[i].data.fd;
      int32_t code;
      if (!launchReap(pidfd, &code)) continue;
      epoll_ctl(gReaper.epollFd, EPOLL_CTL_DEL, pidfd, nullptr);
      close(pidfd);
      gReaper.count--;
    }
    if (gReaper.count == 0) {
      gReaper.running = false;
      pthread_mutex_unlock(&gReaper.lock);
      return 0;
    }
    pthread_mutex_unlock(&gReaper.lock);
  }
}

// Takes over pidfd (a running child's) and reaps the child when it ends.
void launchReaperAdd(int pidfd) {
  pthread_mutex_lock(&gReaper.lock);
  if (gReaper.epollFd < 0) gReaper.epollFd = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  event.events = EPOLLIN;
  event.data.fd = pidfd;
  if (gReaper.epollFd < 0 || epoll_ctl(gReaper.epollFd, EPOLL_CTL_ADD, pidfd, &event) != 0) {
    POSIX_FAIL("epoll_ctl", nullptr);
    pthread_mutex_unlock(&gReaper.lock);
    close(pidfd);
    return;
  }
  gReaper.count++;
  if (!gReaper.running) {
    uint32_t threadId = 0;
    PlatformThread *thread = nullptr;
    if (Thread_Create(launchReaperMain, nullptr, &threadId, &thread)) {
      gReaper.running = true;
      Thread_Destroy(&thread);  // detached: it ends on its own
    }
  }
  pthread_mutex_unlock(&gReaper.lock);
}

// ---- Starting -----------------------------------------------------------------------------

void launchLogFailure(const char *who, const char *program) {
  Log_Print(LOG_ERROR, KSRC, 0, "%s failed to execute (%s) [LE: %d]\n", who, program,
            Platform_GetLastError());
}

// posix_spawn of the program at path (absolute) with argv and the given
// environment, in cwd when it is not empty, with default signals and an
// empty mask in the child. 1 with *process, or 0.
int launchSpawn(const char *path, char *const *argv, char *const *envp, const char *cwd,
                ProcessHandle **process) {
  launchCheckChildSignal();
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int rc = 0;
  if (cwd[0] != '\0') rc = posix_spawn_file_actions_addchdir_np(&actions, cwd);
  pid_t pid = 0;
  if (rc == 0) rc = posix_spawn(&pid, path, &actions, &attributes, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) return POSIX_FAIL_CODE(PosixError_FromErrno(rc), rc, "posix_spawn", path);
  return launchAdopt(pid, process);
}

// ---- The desktop user ------------------------------------------------------------------

// Everything the child needs to become the desktop user, read before fork:
// after fork only async-signal-safe calls may run.
struct LaunchUser {
  uid_t uid = 0;
  gid_t gid = 0;
  gid_t *groups = nullptr;
  int groupCount = 0;
  int groupCapacity = 0;
  char home[kPathMax] = "";
  char *envp[12] = {};
  // HOME, USER, LOGNAME, SHELL, PATH, XDG_RUNTIME_DIR and the bus; LANG,
  // DISPLAY and WAYLAND_DISPLAY point at the parent's own strings.
  char envText[7][kPathMax + 32] = {};
};

void launchFreeUser(LaunchUser *user) {
  if (user->groups) MEM_FREE(user->groups, int64_t(user->groupCapacity) * int64_t(sizeof(gid_t)));
  user->groups = nullptr;
}

// Reads the passwd entry and group list of uid and builds the environment.
int launchReadUser(uint32_t uid, LaunchUser *user) {
  DesktopUserAccount entry;
  if (!DesktopUser_ReadAccount(uid, &entry)) return 0;
  user->uid = uid_t(entry.uid);
  user->gid = gid_t(entry.gid);
  Str_Set(user->home, entry.home[0] ? entry.home : "/", kPathMax);
  int count = kGroupGuess;
  for (;;) {
    user->groupCapacity = count;
    user->groups =
        static_cast<gid_t *>(MEM_ALLOC(int64_t(count) * int64_t(sizeof(gid_t)), MEM_ZEROED));
    int asked = count;
    if (getgrouplist(entry.name, gid_t(entry.gid), user->groups, &count) >= 0) {
      user->groupCount = count;
      break;
    }
    launchFreeUser(user);
    if (count <= asked) count = asked * 2;
  }

  int n = 0;
  int t = 0;
  auto add = [&](const char *format, const char *value) {
    Str_Printf(user->envText[t], sizeof user->envText[t], format, value);
    user->envp[n++] = user->envText[t++];
  };
  add("HOME=%s", user->home);
  add("USER=%s", entry.name);
  add("LOGNAME=%s", entry.name);
  add("SHELL=%s", entry.shell[0] ? entry.shell : "/bin/sh");
  add("PATH=%s", kUserPath);
  char runDirectory[64];
  Str_Printf(runDirectory, sizeof runDirectory, "/run/user/%u", uid);
  struct stat status;
  if (stat(runDirectory, &status) == 0 && S_ISDIR(status.st_mode)) {
    add("XDG_RUNTIME_DIR=%s", runDirectory);
    add("DBUS_SESSION_BUS_ADDRESS=unix:path=%s/bus", runDirectory);
  }
  // The desktop session's own display and language travel with us.
  static const char *const kKept[] = {"LANG=", "DISPLAY=", "WAYLAND_DISPLAY="};
  for (const char *prefix : kKept)
    for (char **e = environ; e && *e; e++)
      if (Str_StartsWith(*e, prefix)) {
        user->envp[n++] = *e;
        break;
      }
  user->envp[n] = nullptr;
  return 1;
}

// The child's report to the parent: an errno, or kChildStopped.
[[noreturn]] void launchChildFail(int reportFd, int err) {
  ssize_t ignored = write(reportFd, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

// In the forked child: only async-signal-safe calls from here to exec.
[[noreturn]] void launchChildRun(const LaunchUser *user, const char *path, char *const *argv,
                                 const char *cwd, uint32_t flags, int reportFd) {
  struct sigaction standard;
  memset(&standard, 0, sizeof standard);
  standard.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; sig++) sigaction(sig, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (setgroups(size_t(user->groupCount), user->groups) != 0) launchChildFail(reportFd, errno);
  if (setresgid(user->gid, user->gid, user->gid) != 0) launchChildFail(reportFd, errno);
  if (setresuid(user->uid, user->uid, user->uid) != 0) launchChildFail(reportFd, errno);
  // A process that can take root back has not given it up.
  if (user->uid != 0 && setuid(0) == 0) launchChildFail(reportFd, EPERM);
  if (cwd[0] != '\0') {
    if (chdir(cwd) != 0) launchChildFail(reportFd, errno);
  } else if (chdir(user->home) != 0 && chdir("/") != 0) {
    launchChildFail(reportFd, errno);
  }
  // Every descriptor above 2 closes at exec; the report pipe is one of them.
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) launchChildFail(reportFd, errno);
  if (flags & kExecuteSuspended) {
    int stopped = kChildStopped;
    ssize_t ignored = write(reportFd, &stopped, sizeof stopped);
    (void)ignored;
    raise(SIGSTOP);
  }
  execve(path, argv, user->envp);
  launchChildFail(reportFd, errno);
}

// Starts the program at path (absolute) with argv as the desktop user. 1 with
// *process, or 0 with the error recorded (no desktop user: 1008).
int launchAsDesktopUser(const char *path, char *const *argv, const char *cwd, uint32_t flags,
                        ProcessHandle **process) {
  uint32_t uid = 0;
  if (!DesktopUser_GetUid(&uid))
    return POSIX_FAIL_CODE(kLaunchErrorNoToken, 0, "DesktopUser_GetUid", nullptr);
  LaunchUser user;
  if (!launchReadUser(uid, &user)) return 0;
  launchCheckChildSignal();
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    launchFreeUser(&user);
    return POSIX_FAIL("pipe2", nullptr);
  }
  pid_t pid = fork();
  if (pid == 0) launchChildRun(&user, path, argv, cwd, flags, report[1]);
  int forkErr = errno;
  close(report[1]);
  launchFreeUser(&user);
  if (pid < 0) {
    close(report[0]);
    return POSIX_FAIL_CODE(PosixError_FromErrno(forkErr), forkErr, "fork", path);
  }
  int childErr = 0;
  ssize_t got;
  do got = read(report[0], &childErr, sizeof childErr);
  while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got == ssize_t(sizeof childErr) && childErr != kChildStopped) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return POSIX_FAIL_CODE(PosixError_FromErrno(childErr), childErr, "execve", path);
  }
  return launchAdopt(pid, process);
}

int launchExecute(const char *who, const char *program, const char *arguments,
                  const char *workingDirectory, uint32_t flags, ProcessHandle **process,
                  int elevate, int downgrade) {
  CHECK_POINTER(program);
  CHECK_POINTER(arguments);
  CHECK_POINTER(workingDirectory);
  CHECK_POINTER(process);
  *process = nullptr;
  char resolved[kPathMax];
  LaunchArgv argv;
  int ok = launchResolveProgram(program, downgrade ? kUserPath : getenv("PATH"), resolved,
                                sizeof resolved);
  // The program sees its name as it was given; pkexec needs it absolute.
  if (ok) {
    const char *prefix[] = {launchPkexecPath(), "--keep-cwd"};
    ok = LaunchArgv_Build(prefix, elevate ? 2 : 0, elevate ? resolved : program, arguments,
                          &argv);
  }
  const char *path = elevate ? launchPkexecPath() : resolved;
  // The environment a page or the program set reaches the child; the
  // downgrade keeps its scrubbed set.
  std::vector<std::string> environment = EnvOverlay_BuildEnvironment();
  std::vector<char *> envp = EnvOverlay_Pointers(environment);
  if (ok)
    ok = downgrade ? launchAsDesktopUser(path, argv.argv, workingDirectory, flags, process)
                   : launchSpawn(path, argv.argv, envp.data(), workingDirectory, process);
  LaunchArgv_Free(&argv);
  if (!ok) launchLogFailure(who, program);
  return ok;
}

}  // namespace

// ---- Identity and privileges ------------------------------------------------

int Platform_EnablePrivilege(int kind) {
  int held = 0;
  if (kind == 1) {
    held = geteuid() == 0;
  } else if (kind == 2) {
    // CAP_SYS_BOOT is capability 22 of the effective set.
    constexpr uint64_t kCapSysBoot = uint64_t(1) << 22;
    char text[4096];
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0) close(fd);
    const char *line = nullptr;
    if (n > 0) {
      text[n] = '\0';
      Str_Find(text, "CapEff:", &line);
    }
    if (line) {
      uint64_t mask = 0;
      for (const char *p = line + 7; *p && *p != '\n'; p++) {
        if (*p == ' ' || *p == '\t') continue;
        char c = *p;
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) break;
        mask = mask << 4 | uint64_t(digit);
      }
      held = (mask & kCapSysBoot) != 0;
    }
  } else {
    return 0;
  }
  if (held) return 1;
  Platform_SetLastError(kPlatformErrorAccessDenied);
  Log_Print(LOG_DEBUG, KSRC, 0, "Failed to adjust token privileges for debug (%d)\n",
            kPlatformErrorAccessDenied);
  return 0;
}

int Platform_GetDesktopUserToken(uint32_t *uid) {
  CHECK_POINTER(uid);
  *uid = 0;
  return DesktopUser_GetUid(uid);
}

int Platform_SetShutdownBlockReason(void *, const char *, int) { return 0; }

// ---- Starting programs and documents -------------------------------------------

namespace {

// 1 when the user's compatibility layers ask for program to run as
// administrator: the string value named by the program's path (ASCII case
// folded) holds "RUNASADMIN". The key is read directly: it is the user's own
// setting, not a path a page may reach, so no whitelist judges it.
int launchWantsAdmin(const char *program) {
  RegistryKey *key = nullptr;
  if (!Registry_OpenKey(&key, 0, kRegistryClassUser, kCompatLayersKey, kRegistryAccessRead))
    return 0;
  int wants = 0;
  char name[kCompatNameBytes];
  char data[kCompatDataBytes + 1];
  for (uint32_t index = 0;; index++) {
    uint32_t type = 0;
    uint32_t length = 0;
    if (!Registry_EnumValue(key, index, name, int(sizeof name), &type, data, kCompatDataBytes,
                            &length)) {
      if (Platform_GetLastError() == kRegistryErrorMoreData) continue;
      break;
    }
    if (type != kRegistryTypeString || Str_CompareNoCase(name, program) != 0) continue;
    data[length < kCompatDataBytes ? length : kCompatDataBytes] = '\0';
    const char *found = nullptr;
    if (Str_FindNoCase(data, kRunAsAdmin, &found)) {
      Log_Print(LOG_DEBUG, KSRC, 0, "App compatibility flags found - %s - %s\n", program, data);
      wants = 1;
    }
    break;
  }
  Registry_CloseKey(&key);
  return wants;
}

}  // namespace

int Platform_Execute(const char *program, const char *arguments, const char *workingDirectory,
                     uint32_t flags, ProcessHandle **process) {
  CHECK_POINTER(program);
  CHECK_POINTER(arguments);
  CHECK_POINTER(workingDirectory);
  CHECK_POINTER(process);
  *process = nullptr;
  // The user's own wish to run this program elevated outranks the caller's
  // wish to keep the identity.
  if (launchWantsAdmin(program)) flags = (flags & ~kExecuteKeepIdentity) | kExecuteElevated;
  if (flags & kExecuteKeepIdentity)
    return Platform_ExecuteNormal(program, arguments, workingDirectory, flags, process, 0);
  int elevated = 0;
  Platform_IsElevated(&elevated);
  if ((flags & kExecuteElevated) && !elevated)
    return Platform_ExecuteNormal(program, arguments, workingDirectory, flags, process, 1);
  // Root starts programs as the desktop user, and only as that user: without
  // one, nothing starts (never root by default).
  if (!(flags & kExecuteElevated) && elevated)
    return Platform_ExecuteDowngrade(program, arguments, workingDirectory, flags, process);
  return Platform_ExecuteNormal(program, arguments, workingDirectory, flags, process, 0);
}

int Platform_ExecuteNormal(const char *program, const char *arguments,
                           const char *workingDirectory, uint32_t flags, ProcessHandle **process,
                           int elevate) {
  return launchExecute("Platform_ExecuteNormal", program, arguments, workingDirectory, flags,
                       process, elevate, 0);
}

int Platform_ExecuteDowngrade(const char *program, const char *arguments,
                              const char *workingDirectory, uint32_t flags,
                              ProcessHandle **process) {
  return launchExecute("Platform_ExecuteDowngrade", program, arguments, workingDirectory, flags,
                       process, 0, 1);
}

int Platform_ShellOpen(const char *path) {
  CHECK_POINTER(path);
  char target[kPathMax];
  // An option-like name would be read by the opener as an option.
  int ok = path[0] == '-' ? launchAbsolute(path, target, sizeof target)
                          : Str_Set(target, path, sizeof target);
  if (!ok) {
    Platform_SetLastError(kPlatformErrorNameTooLong);
    launchLogFailure("Platform_ShellOpen", path);
    return 0;
  }
  char opener[kPathMax];
  Str_Set(opener, launchOpenerPath(), sizeof opener);
  char *argv[] = {opener, target, nullptr};
  int elevated = 0;
  Platform_IsElevated(&elevated);
  ProcessHandle *process = nullptr;
  std::vector<std::string> environment = EnvOverlay_BuildEnvironment();
  std::vector<char *> envp = EnvOverlay_Pointers(environment);
  ok = elevated ? launchAsDesktopUser(opener, argv, "", 0, &process)
                : launchSpawn(opener, argv, envp.data(), "", &process);
  if (!ok) {
    launchLogFailure("Platform_ShellOpen", path);
    return 0;
  }
  // The opener hands the document to a program and ends; one that is still
  // running after the wait has started something and is left to the reaper.
  if (launchEnded(process->pidfd, kShellOpenWaitMs)) {
    int32_t code = 0;
    Platform_GetProcessExitCode(process, &code);
    if (code != 0) {
      Platform_SetLastError(code);
      launchLogFailure("Platform_ShellOpen", path);
      ok = 0;
    }
  }
  Platform_CloseProcess(&process);
  return ok;
}

// ---- Process handles ---------------------------------------------------------------

int Platform_OpenProcess(uint32_t pid, ProcessHandle **process) {
  CHECK_POINTER(process);
  *process = nullptr;
  int pidfd = launchPidfdOpen(pid_t(pid));
  if (pidfd < 0) return POSIX_FAIL("pidfd_open", nullptr);
  fcntl(pidfd, F_SETFD, FD_CLOEXEC);
  int isChild = Platform_GetParentProcessId(pid) == Platform_GetProcessId();
  *process = launchNewHandle(pid_t(pid), pidfd, isChild);
  return 1;
}

uint32_t Platform_GetProcessId(ProcessHandle *process) {
  CLASS_CHECK(process, kProcessHandleTag);
  return uint32_t(process->pid);
}

int Platform_IsProcessRunning(ProcessHandle *process) {
  CLASS_CHECK(process, kProcessHandleTag);
  if (process->exited) return 0;
  return launchEnded(process->pidfd, 0) ? 0 : 1;
}

int Platform_GetProcessExitCode(ProcessHandle *process, int32_t *code) {
  CLASS_CHECK(process, kProcessHandleTag);
  CHECK_POINTER(code);
  if (!process->exited) {
    *code = kProcessStillActive;
    if (!launchEnded(process->pidfd, 0)) return 0;
    int32_t status = 0;
    // Another's process: its status goes to its parent, not to us.
    if (process->isChild && !launchReap(process->pidfd, &status)) return 0;
    process->exitCode = status;
    process->exited = 1;
  }
  *code = process->exitCode;
  return 1;
}

void Platform_CloseProcess(ProcessHandle **process) {
  CHECK_POINTER(process);
  ProcessHandle *record = *process;
  if (record == nullptr) return;
  CLASS_CHECK(record, kProcessHandleTag);
  *process = nullptr;
  int32_t code;
  if (record->isChild && !record->exited && !launchReap(record->pidfd, &code))
    launchReaperAdd(record->pidfd);
  else
    close(record->pidfd);
  record->header.classTag = 0;
  MEM_FREE(record, sizeof(ProcessHandle));
}

int Platform_TerminateProcess(uint32_t pid, int32_t) {
  int pidfd = launchPidfdOpen(pid_t(pid));
  if (pidfd < 0) return POSIX_FAIL("pidfd_open", nullptr);
  int rc = launchPidfdKill(pidfd, SIGKILL);
  int err = errno;
  close(pidfd);
  if (rc != 0) return POSIX_FAIL_CODE(PosixError_FromErrno(err), err, "pidfd_send_signal", nullptr);
  return 1;
}

// ---- Process list ---------------------------------------------------------------------

struct ProcessList {
  int32_t tag;  // kProcessListTag
  DIR *directory;
};

namespace {

// The whole small file (comm) into out, without its line end. 1/0.
int launchReadSmall(const char *path, char *out, int size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t n;
  do n = read(fd, out, size_t(size - 1));
  while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return 0;
  out[n] = '\0';
  if (out[n - 1] == '\n') out[n - 1] = '\0';
  return 1;
}

// Fills entry for the process pid. 0 when it ended meanwhile.
int launchReadEntry(uint32_t pid, ProcessEntry *entry) {
  memset(entry, 0, sizeof *entry);
  char path[64];
  char comm[kCommBytes];
  Str_Printf(path, sizeof path, "/proc/%u/comm", pid);
  if (!launchReadSmall(path, comm, sizeof comm)) return 0;
  entry->processId = pid;
  entry->parentProcessId = Platform_GetParentProcessId(pid);
  Str_Set(entry->exeName, comm, sizeof entry->exeName);
  Platform_GetProcessImagePath(pid, entry->imagePath, sizeof entry->imagePath);
  return 1;
}

// The next numeric entry of /proc that still names a process.
int launchNextEntry(ProcessList *list, ProcessEntry *entry) {
  for (;;) {
    errno = 0;
    struct dirent *d = readdir(list->directory);
    if (d == nullptr) {
      if (errno != 0) POSIX_FAIL("readdir", "/proc");
      else Platform_SetLastError(kPlatformErrorNoMoreFiles);
      return 0;
    }
    const char *name = d->d_name;
    if (name[0] < '1' || name[0] > '9') continue;
    bool numeric = true;
    for (const char *p = name; *p; p++) numeric = numeric && *p >= '0' && *p <= '9';
    if (numeric && launchReadEntry(uint32_t(Str_ToUInt64(name)), entry)) return 1;
  }
}

const char *launchFileName(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

}  // namespace

int Platform_ProcessListFirst(ProcessEntry *entry, ProcessList **list) {
  CHECK_POINTER(entry);
  CHECK_POINTER(list);
  *list = nullptr;
  memset(entry, 0, sizeof *entry);
  DIR *directory = opendir("/proc");
  if (directory == nullptr) return POSIX_FAIL("opendir", "/proc");
  auto *walk = static_cast<ProcessList *>(MEM_ALLOC(sizeof(ProcessList), MEM_ZEROED));
  walk->tag = kProcessListTag;
  walk->directory = directory;
  *list = walk;
  return launchNextEntry(walk, entry);
}

int Platform_ProcessListNext(ProcessList *list, ProcessEntry *entry) {
  CHECK_POINTER(list);
  CHECK_POINTER(entry);
  return launchNextEntry(list, entry);
}

void Platform_ProcessListClose(ProcessList **list) {
  CHECK_POINTER(list);
  ProcessList *walk = *list;
  *list = nullptr;
  if (walk == nullptr) return;
  closedir(walk->directory);
  MEM_FREE(walk, sizeof(ProcessList));
}

int Platform_FindProcessByName(const char *pattern, int32_t *pid) {
  CHECK_POINTER(pattern);
  CHECK_POINTER(pid);
  *pid = -1;
  // The entry is large (a whole path): keep it off small thread stacks.
  auto *entry = static_cast<ProcessEntry *>(MEM_ALLOC(sizeof(ProcessEntry), 0));
  ProcessList *list = nullptr;
  for (int more = Platform_ProcessListFirst(entry, &list); more;
       more = Platform_ProcessListNext(list, entry)) {
    const char *name = entry->imagePath[0] ? launchFileName(entry->imagePath) : entry->exeName;
    if ((entry->imagePath[0] && Str_MatchWildcard(entry->imagePath, pattern, 0, 1)) ||
        Str_MatchWildcard(name, pattern, 0, 1)) {
      *pid = int32_t(entry->processId);
      break;
    }
  }
  Platform_ProcessListClose(&list);
  MEM_FREE(entry, sizeof(ProcessEntry));
  return *pid != -1;
}

int Platform_GetProcessImagePath(uint32_t pid, char *out, int size) {
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  char link[64];
  Str_Printf(link, sizeof link, "/proc/%u/exe", pid);
  char path[kPathMax];
  ssize_t n = readlink(link, path, sizeof path);
  if (n < 0) return POSIX_FAIL("readlink", link);
  if (n >= ssize_t(sizeof path))
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "readlink", link);
  path[n] = '\0';
  // A running program whose file was replaced or removed keeps its name.
  constexpr const char *kDeleted = " (deleted)";
  if (Str_EndsWith(path, kDeleted)) path[n - ssize_t(strlen(kDeleted))] = '\0';
  if (!Str_Set(out, path, size)) {
    if (size > 0) out[0] = '\0';
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "GetProcessImagePath", link);
  }
  return 1;
}

int Platform_DevicePathToDrivePath(const char *devicePath, char *out, int size) {
  CHECK_POINTER(devicePath);
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  return 0;
}

// ---- Window callbacks -----------------------------------------------------------------

int Platform_CloseProcessWindows(void *, ProcessWindowRecord *record) {
  CHECK_POINTER(record);
  if (kill(pid_t(record->processId), SIGTERM) == 0) record->found = 1;
  return 1;
}

int Platform_FindWindowCallback(void *, WindowSearchRecord *record) {
  CHECK_POINTER(record);
  return 1;
}

// ---- Test hooks ---------------------------------------------------------------------------

void Launch_SetPkexecPathForTest(const char *path) { gPkexecPath.store(path); }

void Launch_SetOpenerPathForTest(const char *path) { gOpenerPath.store(path); }
