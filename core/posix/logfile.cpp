// The log's own file and console output, on plain descriptors; see
// core/platform/platform.h. Nothing here allocates: the log calls these under its lock.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/platform/platform.h"
#include "core/posix/nolinks.h"

namespace {

// An OFD lock over the whole file (type F_RDLCK, F_WRLCK), waiting for it
// or not. 0 on success, else the errno.
int logFileLock(int fd, short type, bool wait) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  int rc;
  do rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

}  // namespace

int Platform_LogFileOpen(const char *path, int append, int *inUse) {
  *inUse = 0;
  // Never through a link, and never into a FIFO that would block the log.
  // Read and write: the shared lock held on it needs a readable descriptor.
  // Always appending, so lines of processes sharing the file never overlap.
  int flags = O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK;
  // The log may hold what a request carried: its owner's eyes only, wherever
  // it is made.
  // No link on the way is followed: a planted one would have the log cut
  // and write whatever file it names.
  int fd;
  do fd = FsPath_OpenNoLinks(path, flags, 0600);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == ELOOP ? kPlatformLogFileRefused : -1;
  // Only a plain file of the effective user's, with no second name, is
  // written (and cut): another user's file, or a hard link to one, is not
  // the log's to change.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      st.st_nlink != 1) {
    close(fd);
    return kPlatformLogFileRefused;
  }
  // Earlier builds made the log 0644, and a file made by hand may be anything:
  // an existing log is narrowed before a line is added to what others could
  // read.
  if ((st.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0) {
    close(fd);
    return kPlatformLogFileRefused;
  }
  // Every process with the file open holds a shared lock on it; a start
  // that wants to cut it takes the lock alone first, and one that cannot
  // (another process is logging there) appends instead.
  if (!append) {
    int err = logFileLock(fd, F_WRLCK, false);
    if (err == 0 && ftruncate(fd, 0) != 0) {
      close(fd);
      return -1;
    }
    *inUse = err == EAGAIN || err == EACCES ? 1 : 0;
  }
  // Waits only while another start holds it alone to cut it.
  logFileLock(fd, F_RDLCK, true);
  return fd;
}

void Platform_LogFileWrite(int fd, const char *data, size_t length) {
  // Errors are ignored by design: a log write must never fail the caller.
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    length -= size_t(n);
  }
}

void Platform_LogFileSync(int fd) { fdatasync(fd); }

void Platform_LogFileClose(int fd) {
  if (fd >= 0) close(fd);
}

int Platform_CreateDirectoryTree(const char *path) {
  int fd = FsDirectory_OpenNoLinks(path, INT_MAX, 0755);
  if (fd < 0) return 0;
  close(fd);
  return 1;
}

// Console: the console is the process's stderr. While it is attached and a
// hook is installed, the terminal's quit signals call the hook instead of
// ending the process.
namespace {

std::atomic<PlatformConsoleHook> gConsoleHook{nullptr};
std::atomic<int> gConsoleSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal context needs a lock-free store");
bool gHandlersInstalled = false;
constexpr int kConsoleSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

void consoleSignalHandler(int sig) {
  gConsoleSignal.store(sig);
  if (PlatformConsoleHook hook = gConsoleHook.load()) hook();
}

}  // namespace

void Platform_ConsoleWrite(const char *text, size_t length) {
  Platform_LogFileWrite(STDERR_FILENO, text, length);
}

int Platform_GetConsoleSignal(void) { return gConsoleSignal.load(); }

int Platform_IsTerminal(int fd) { return isatty(fd) ? 1 : 0; }

int Platform_GetTerminalWidth(int fd) {
  struct winsize size;
  memset(&size, 0, sizeof size);
  if (!isatty(fd) || ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void Platform_ConsoleSetHandlers(PlatformConsoleHook hook) {
  gConsoleHook.store(hook);
  bool wanted = hook != nullptr;
  if (wanted == gHandlersInstalled) return;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = wanted ? consoleSignalHandler : SIG_DFL;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : kConsoleSignals) sigaction(sig, &action, nullptr);
  gHandlersInstalled = wanted;
}
