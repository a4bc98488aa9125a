// Named pipes as Unix stream sockets in the user's run directory; see
// core/platform/namedpipe.h.
#include "core/platform/namedpipe.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/sockios.h>
#include <linux/unix_diag.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/platform/platform.h"
#include "core/posix/desktopuser.h"
#include "core/posix/errors.h"
#include "core/posix/peercred.h"
#include "core/posix/runpath.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/refusallog.h"
#include "core/runtime/str.h"

namespace {

// A socket name: what follows the pipe prefix, shorter than sun_path.
constexpr int kNamedPipeSocketNameBytes = int(sizeof(sockaddr_un::sun_path));
// The socket file's suffix in the run directory, as long as the marks'
// ".lock" and ".sock", so that no pipe name meets a mark's file.
constexpr const char kNamedPipeSuffix[] = ".pipe";
// The flush checks the peer's progress this often.
constexpr int kNamedPipeFlushPollMs = 1;
// The socket state the kernel's diagnostics give a listening socket
// (TCP_LISTEN, which unix sockets share).
constexpr int kNamedPipeListenState = 10;

// One listening socket per served name, shared by this process's server ends.
struct NamedPipeListener {
  char name[kNamedPipeSocketNameBytes];  // the socket name
  char path[kRunPathSocketBytes];        // the socket file, removed with the listener
  uint32_t uid;                          // whose file-system identity touches the file
  int fd;                                // non-blocking
  int32_t references;                    // server ends holding it; guarded by gListenerLock
  NamedPipeListener *next;               // guarded by gListenerLock
};

std::mutex gListenerLock;
NamedPipeListener *gListeners = nullptr;  // guarded by gListenerLock
std::atomic<int32_t> gBusyWaitMs{kNamedPipeBusyWaitMs};
RefusalLog gPipeRefusals;  // every server end's refused clients, by peer uid

enum class PipeOp { Peek, Read, Write };
enum class PipeAction { Close, Succeed, Fail };

struct PipeErrorRow {
  int code;
  PipeAction peek, read, write;
};

// What each operation makes of a pipe error. A full socket buffer on a
// non-blocking write (232) is not a closing pipe here: the peer is only slow,
// so the write takes nothing and the pipe stays open.
constexpr PipeErrorRow kPipeErrors[] = {
    {kPlatformErrorBrokenPipe, PipeAction::Close, PipeAction::Close, PipeAction::Close},
    {kNamedPipeErrorNoData, PipeAction::Succeed, PipeAction::Succeed, PipeAction::Succeed},
    {kNamedPipeErrorNotConnected, PipeAction::Fail, PipeAction::Fail, PipeAction::Close},
    {kNamedPipeErrorListening, PipeAction::Succeed, PipeAction::Succeed, PipeAction::Succeed},
};

}  // namespace

struct NamedPipe {
  ObjectHeader header;          // kNamedPipeTag; one owner, not counted
  int fd;                       // the connected socket; -1 before a client and when closed
  NamedPipeListener *listener;  // a server end's listener (one reference); NULL otherwise
  int32_t open;                 // 1 until closed
  int32_t bufferSize;
  uint32_t flags;
  char name[kNamedPipeNameBytes];
};

namespace {

void namedPipeCheck(NamedPipe *pipe, const char *sourcePath, int line) {
  Class_Check(pipe, kNamedPipeTag, sourcePath, line);
}

int namedPipeCode(int err) {
  switch (err) {
    case EAGAIN: return kNamedPipeErrorNoData;
    case EPIPE:
    case ECONNRESET: return kPlatformErrorBrokenPipe;
    case ENOTCONN: return kNamedPipeErrorNotConnected;
    default: return PosixError_FromErrno(err);
  }
}

// The socket name of a pipe name, into out; its length, or 0 with the error.
int namedPipeSocketName(const char *name, char *out, int size) {
  out[0] = '\0';
  auto isSeparator = [](char c) { return c == '\\' || c == '/'; };
  const char *rest = name;
  if (isSeparator(name[0]) && isSeparator(name[1]) && name[2] == '.' && isSeparator(name[3]) &&
      Str_EqualNoCaseN(name + 4, "pipe", 4) && isSeparator(name[8]))
    rest = name + 9;
  int length = int(strlen(rest));
  if (length == 0) {
    Platform_SetLastError(kPlatformErrorInvalidParameter);
    return 0;
  }
  if (length >= size || length >= kNamedPipeSocketNameBytes) {
    Platform_SetLastError(kPlatformErrorNameTooLong);
    return 0;
  }
  memcpy(out, rest, size_t(length) + 1);
  return length;
}

// The socket file of a socket name: in the user's run directory (the desktop
// user's, for root acting for one), which only that user can write, so no
// other user can serve a name first. 1, or 0 with the error recorded.
int namedPipePath(const char *socketName, char *path, int size, uint32_t *uid) {
  return RunPath_Get(socketName, kNamedPipeSuffix, path, size, uid);
}

socklen_t namedPipeAddress(const char *path, sockaddr_un *address) {
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  Str_Copy(address->sun_path, path, int(sizeof address->sun_path));
  return socklen_t(offsetof(sockaddr_un, sun_path) + strlen(address->sun_path) + 1);
}

// Whether a socket listens on the socket file at path by the text the kernel
// lists with it (flag __SO_ACCEPTCON): what is left where the kernel's
// socket diagnostics are not offered. The path column (the rest of the line
// after seven fields) must be path itself: an abstract name ("@...")
// another user picked may end in the same text.
bool namedPipeListedByPath(const char *path) {
  FILE *table = fopen("/proc/net/unix", "re");
  if (table == nullptr) return true;
  char line[kRunPathSocketBytes + 128];
  bool served = false;
  while (!served && fgets(line, int(sizeof line), table) != nullptr) {
    line[strcspn(line, "\n")] = '\0';
    unsigned long flags = 0;
    int column = -1;
    served = sscanf(line, "%*s %*s %*s %lx %*s %*s %*s %n", &flags, &column) == 1 &&
             column > 0 && strcmp(line + column, path) == 0 && (flags & 0x10000) != 0;
  }
  fclose(table);
  return served;
}

// Whether a listening socket is bound to the file (device, inode), as the
// kernel's unix socket diagnostics give each bound file (UDIAG_SHOW_VFS;
// the device in the kernel's own encoding, the inode's low 32 bits). 1 or
// 0; -1 when the diagnostics cannot be asked.
int namedPipeListedByFile(dev_t device, ino_t inode) {
  int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (diag < 0) return -1;
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } ask = {};
  ask.header.nlmsg_len = sizeof ask;
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  ask.request.sdiag_family = AF_UNIX;
  ask.request.udiag_states = 1u << kNamedPipeListenState;
  ask.request.udiag_show = UDIAG_SHOW_VFS;
  sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  if (sendto(diag, &ask, sizeof ask, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) !=
      ssize_t(sizeof ask)) {
    close(diag);
    return -1;
  }
  alignas(nlmsghdr) char buffer[16384];
  int served = 0;
  for (bool done = false; !done;) {
    ssize_t got = recv(diag, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      served = -1;
      break;
    }
    int left = int(got);
    // NLMSG_OK compares the header's unsigned length with the signed count.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
    for (auto *h = reinterpret_cast<nlmsghdr *>(buffer); !done && NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
#pragma GCC diagnostic pop
      if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
        if (h->nlmsg_type == NLMSG_ERROR) served = -1;
        done = true;
        continue;
      }
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
      auto *socketInfo = static_cast<unix_diag_msg *>(NLMSG_DATA(h));
      int attributes = int(h->nlmsg_len) - int(NLMSG_LENGTH(sizeof *socketInfo));
      for (auto *a = reinterpret_cast<rtattr *>(socketInfo + 1); RTA_OK(a, attributes);
           a = RTA_NEXT(a, attributes)) {
        unix_diag_vfs vfs;
        if (a->rta_type != UNIX_DIAG_VFS || RTA_PAYLOAD(a) < sizeof vfs) continue;
        memcpy(&vfs, RTA_DATA(a), sizeof vfs);
        if (vfs.udiag_vfs_ino == uint32_t(inode) && (vfs.udiag_vfs_dev >> 20) == major(device) &&
            (vfs.udiag_vfs_dev & 0xfffff) == minor(device))
          served = served < 0 ? served : 1;
      }
    }
  }
  close(diag);
  return served;
}

// Whether a socket listens on the socket file at path. Asked without
// connecting: a connection would be taken by the server as one of its
// clients. Decided on the file itself (its device and inode), so a socket
// bound at the same path text over another file system (another mount
// namespace's) does not hold the name.
bool namedPipeServed(const char *path) {
  struct stat file;
  if (lstat(path, &file) != 0 || !S_ISSOCK(file.st_mode)) return false;
  int listed = namedPipeListedByFile(file.st_dev, file.st_ino);
  return listed >= 0 ? listed == 1 : namedPipeListedByPath(path);
}

// Binds fd to the socket file, under the owner's file-system identity. A
// file nobody listens on is what a server that ended without removing it
// left: it goes. One a process listens on is served elsewhere (231).
int namedPipeBind(int fd, const char *path, uint32_t uid) {
  sockaddr_un address;
  socklen_t length = namedPipeAddress(path, &address);
  FsIdentityScope identity(uid);
  if (!identity.ok())
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "FsIdentityScope", path);
  for (int attempt = 0;; attempt++) {
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0) return 1;
    int err = errno;
    if (err != EADDRINUSE || attempt > 0 || namedPipeServed(path))
      return POSIX_FAIL_CODE(err == EADDRINUSE ? kNamedPipeErrorBusy : PosixError_FromErrno(err),
                             err, "bind", path);
    if (unlink(path) != 0 && errno != ENOENT) return POSIX_FAIL("unlink", path);
  }
}

void namedPipeSetBuffers(int fd, int32_t bufferSize) {
  if (bufferSize <= 0) return;
  int value = bufferSize;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &value, sizeof value) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &value, sizeof value) != 0)
    Log_Print(LOG_DEBUG, KSRC, 0, "NamedPipe - buffer size %d not set (errno %d)\n", bufferSize,
              errno);
}

void namedPipeCloseFd(int *fd) {
  if (*fd < 0) return;
  close(*fd);
  *fd = -1;
}

// Removes the socket file of a listener of ours.
void namedPipeUnlink(const char *path, uint32_t uid) {
  FsIdentityScope identity(uid);
  if (unlink(path) != 0 && errno != ENOENT)
    Log_Print(LOG_DEBUG, KSRC, 0, "NamedPipe - %s not removed (errno %d)\n", path, errno);
}

// The listener of socketName with one more reference: this process's own, or
// a new one. 0 with the error when another process serves the name.
int namedPipeTakeListener(const char *socketName, NamedPipeListener **listener) {
  std::lock_guard<std::mutex> guard(gListenerLock);
  for (NamedPipeListener *l = gListeners; l != nullptr; l = l->next) {
    if (strcmp(l->name, socketName) != 0) continue;
    l->references++;
    *listener = l;
    return 1;
  }
  char path[kRunPathSocketBytes];
  uint32_t uid = 0;
  if (!namedPipePath(socketName, path, int(sizeof path), &uid)) return 0;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return POSIX_FAIL("socket", socketName);
  if (!namedPipeBind(fd, path, uid)) {
    close(fd);
    return 0;
  }
  if (listen(fd, kNamedPipeListenBacklog) != 0) {
    int err = errno;
    namedPipeUnlink(path, uid);
    close(fd);
    return POSIX_FAIL_CODE(PosixError_FromErrno(err), err, "listen", socketName);
  }
  auto *added = static_cast<NamedPipeListener *>(MEM_ALLOC(sizeof(NamedPipeListener), 2));
  Str_Copy(added->name, socketName, sizeof added->name);
  Str_Copy(added->path, path, sizeof added->path);
  added->uid = uid;
  added->fd = fd;
  added->references = 1;
  added->next = gListeners;
  gListeners = added;
  *listener = added;
  return 1;
}

void namedPipeDropListener(NamedPipeListener **listener) {
  NamedPipeListener *dropped = *listener;
  *listener = nullptr;
  if (dropped == nullptr) return;
  std::lock_guard<std::mutex> guard(gListenerLock);
  if (--dropped->references > 0) return;
  for (NamedPipeListener **at = &gListeners; *at != nullptr; at = &(*at)->next) {
    if (*at != dropped) continue;
    *at = dropped->next;
    break;
  }
  // The file goes before the socket closes: a new server of the name then
  // binds afresh rather than finding a file nobody listens on.
  namedPipeUnlink(dropped->path, dropped->uid);
  close(dropped->fd);
  MEM_FREE(dropped, sizeof(NamedPipeListener));
  // With the last name served, what was counted of refused clients is said.
  if (gListeners == nullptr) RefusalLog_Flush(&gPipeRefusals, LOG_WARNING, "NamedPipe - ");
}

void namedPipeShut(NamedPipe *pipe) {
  namedPipeCloseFd(&pipe->fd);
  namedPipeDropListener(&pipe->listener);
  pipe->open = 0;
}

// Applies the error table: 1 (count stays 0) or 0, closing the pipe where
// the table says so.
int namedPipeFail(NamedPipe *pipe, PipeOp op, int code, int err, const char *call) {
  PipeAction action = PipeAction::Fail;
  for (const PipeErrorRow &row : kPipeErrors) {
    if (row.code != code) continue;
    action = op == PipeOp::Peek ? row.peek : op == PipeOp::Read ? row.read : row.write;
    break;
  }
  if (action == PipeAction::Succeed) {
    Platform_SetLastError(code);
    return 1;
  }
  PosixError_Record(code, err, call, pipe->name, KSRC);
  if (action == PipeAction::Close) namedPipeShut(pipe);
  return 0;
}

// Whether a server end hears the client on fd: its own user's and root's
// connections only. Another user's is closed unread; its first refusal is
// logged, then only counted now and then, however fast it connects.
bool namedPipeHears(int fd, const char *name) {
  uint32_t peer = 0;
  if (PeerCred_Uid(fd, &peer) && PeerCred_Heard(peer)) return true;
  if (RefusalLog_Note(&gPipeRefusals, peer, LOG_WARNING, "NamedPipe - "))
    Log_Print(LOG_WARNING, KSRC, 0, "NamedPipe %s: refused a client of uid %u\n", name, peer);
  return false;
}

// Whether a client end may talk to the server on fd: one of its own user's,
// or, for root, the desktop user's it acts for. 0 with error 5 otherwise.
int namedPipeMayTalkTo(int fd, const char *name) {
  uint32_t peer = 0;
  if (!PeerCred_Uid(fd, &peer)) return 0;
  uint32_t desktopUid = uint32_t(geteuid());
  if (peer != desktopUid && desktopUid == 0 && !DesktopUser_GetUid(&desktopUid)) desktopUid = 0;
  if (PeerCred_MayTalkTo(peer, desktopUid)) return 1;
  Log_Print(LOG_ERROR, KSRC, 0, "NamedPipe %s: served by uid %u: not connected\n", name, peer);
  return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "NamedPipe peer", name);
}

// Waits (blocking pipes) for a connection on the listener.
int namedPipeWaitForClient(int fd) {
  pollfd waiting{fd, POLLIN, 0};
  while (poll(&waiting, 1, -1) < 0)
    if (errno != EINTR) return 0;
  return 1;
}

// A server end without its client takes the next waiting connection, waiting
// for one when wait is 1. 1 when connected; 0 with *code and *err set
// otherwise (536 while nobody waits).
int namedPipeConnected(NamedPipe *pipe, int wait, int *code, int *err) {
  if (pipe->fd >= 0) return 1;
  int blocking = (pipe->flags & kNamedPipeBlocking) != 0;
  for (;;) {
    int fd = accept4(pipe->listener->fd, nullptr, nullptr,
                     SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK));
    if (fd >= 0 && !namedPipeHears(fd, pipe->name)) {
      close(fd);
      continue;
    }
    if (fd >= 0) {
      namedPipeSetBuffers(fd, pipe->bufferSize);
      pipe->fd = fd;
      return 1;
    }
    int failure = errno;
    if (failure == EINTR || failure == ECONNABORTED) continue;
    // Another server end of the name may take the connection that woke us.
    if (failure == EAGAIN && wait && namedPipeWaitForClient(pipe->listener->fd)) continue;
    *err = failure;
    *code = failure == EAGAIN ? kNamedPipeErrorListening : PosixError_FromErrno(failure);
    return 0;
  }
}

// The common entry of Peek, Read and Write: 1 when the pipe has its peer; 0
// with *result the operation's answer otherwise.
int namedPipeEnter(NamedPipe *pipe, PipeOp op, int *result) {
  if (!pipe->open) {
    Platform_SetLastError(kPlatformErrorInvalidHandle);
    *result = 0;
    return 0;
  }
  int code = 0;
  int err = 0;
  // A peek never waits, also on a blocking pipe.
  int wait = (pipe->flags & kNamedPipeBlocking) != 0 && op != PipeOp::Peek;
  if (namedPipeConnected(pipe, wait, &code, &err)) return 1;
  *result = namedPipeFail(pipe, op, code, err, "accept4");
  return 0;
}

int namedPipeConnect(NamedPipe *pipe, const char *socketName) {
  char path[kRunPathSocketBytes];
  uint32_t uid = 0;
  if (!namedPipePath(socketName, path, int(sizeof path), &uid)) return 0;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return POSIX_FAIL("socket", pipe->name);
  namedPipeSetBuffers(fd, pipe->bufferSize);
  sockaddr_un address;
  socklen_t length = namedPipeAddress(path, &address);
  for (int attempt = 1;; attempt++) {
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), length) == 0) break;
    int err = errno;
    if (err == EINTR) continue;
    // A full listen queue is the desktop system's "all instances busy".
    if (err == EAGAIN && attempt < kNamedPipeConnectAttempts) {
      Log_Print(LOG_DEBUG, KSRC, 0, "NamedPipe - %s busy, waiting (attempt %d)\n", pipe->name,
                attempt);
      Platform_SleepMs(uint32_t(gBusyWaitMs.load()));
      continue;
    }
    close(fd);
    int code = err == EAGAIN                           ? kNamedPipeErrorBusy
               : err == ECONNREFUSED || err == ENOENT ? kPlatformErrorFileNotFound
                                                       : PosixError_FromErrno(err);
    return POSIX_FAIL_CODE(code, err, "connect", pipe->name);
  }
  if (!namedPipeMayTalkTo(fd, pipe->name)) {
    close(fd);
    return 0;
  }
  if ((pipe->flags & kNamedPipeBlocking) != 0 && fcntl(fd, F_SETFL, 0) != 0) {
    int err = errno;
    close(fd);
    return POSIX_FAIL_CODE(PosixError_FromErrno(err), err, "fcntl", pipe->name);
  }
  pipe->fd = fd;
  return 1;
}

// A peek without a buffer: the bytes waiting. With none, a one-byte peek
// tells an ended peer from one that has not written yet.
int namedPipeWaiting(NamedPipe *pipe, int32_t *count) {
  for (;;) {
    int waiting = 0;
    if (ioctl(pipe->fd, FIONREAD, &waiting) != 0)
      return namedPipeFail(pipe, PipeOp::Peek, namedPipeCode(errno), errno, "ioctl");
    if (waiting > 0) {
      *count = waiting;
      return 1;
    }
    char probe;
    ssize_t n = recv(pipe->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return namedPipeFail(pipe, PipeOp::Peek, kPlatformErrorBrokenPipe, 0, "recv");
    if (n < 0 && errno != EINTR)
      return namedPipeFail(pipe, PipeOp::Peek, namedPipeCode(errno), errno, "recv");
    // Bytes arrived between the two calls (or a signal came): count again.
  }
}

}  // namespace

int NamedPipe_Create(NamedPipe **pipe, const char *name, int32_t bufferSize, uint32_t flags) {
  CHECK_POINTER(pipe);
  CHECK_POINTER(name);
  *pipe = nullptr;
  char socketName[kNamedPipeSocketNameBytes];
  if (!namedPipeSocketName(name, socketName, sizeof socketName)) return 0;
  auto *created = static_cast<NamedPipe *>(MEM_ALLOC(sizeof(NamedPipe), 2));
  created->header.classTag = kNamedPipeTag;
  created->fd = -1;
  created->bufferSize = bufferSize;
  created->flags = flags;
  Str_Copy(created->name, name, sizeof created->name);
  int opened = (flags & kNamedPipeConnect) != 0
                   ? namedPipeConnect(created, socketName)
                   : namedPipeTakeListener(socketName, &created->listener);
  if (!opened) {
    MEM_FREE(created, sizeof(NamedPipe));
    return 0;
  }
  created->open = 1;
  *pipe = created;
  return 1;
}

int NamedPipe_Close(NamedPipe *pipe) {
  namedPipeCheck(pipe, KSRC);
  namedPipeShut(pipe);
  return 1;
}

int NamedPipe_Release(NamedPipe **pipe) {
  CHECK_POINTER(pipe);
  NamedPipe *released = *pipe;
  if (released == nullptr) return 1;
  namedPipeCheck(released, KSRC);
  *pipe = nullptr;
  namedPipeShut(released);
  released->header.classTag = 0;
  MEM_FREE(released, sizeof(NamedPipe));
  return 1;
}

int NamedPipe_IsOpen(NamedPipe *pipe) {
  namedPipeCheck(pipe, KSRC);
  return pipe->open;
}

int NamedPipe_Peek(NamedPipe *pipe, void *buffer, int32_t size, int32_t *count) {
  namedPipeCheck(pipe, KSRC);
  CHECK_POINTER(count);
  *count = 0;
  int result = 0;
  if (!namedPipeEnter(pipe, PipeOp::Peek, &result)) return result;
  if (buffer == nullptr || size <= 0) return namedPipeWaiting(pipe, count);
  ssize_t n;
  do n = recv(pipe->fd, buffer, size_t(size), MSG_PEEK | MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  if (n == 0) return namedPipeFail(pipe, PipeOp::Peek, kPlatformErrorBrokenPipe, 0, "recv");
  if (n < 0) return namedPipeFail(pipe, PipeOp::Peek, namedPipeCode(errno), errno, "recv");
  *count = int32_t(n);
  return 1;
}

int NamedPipe_Read(NamedPipe *pipe, void *buffer, int32_t size, int32_t *count) {
  namedPipeCheck(pipe, KSRC);
  CHECK_POINTER(count);
  *count = 0;
  int result = 0;
  if (!namedPipeEnter(pipe, PipeOp::Read, &result)) return result;
  if (size <= 0) return 1;
  CHECK_POINTER(buffer);
  ssize_t n;
  do n = recv(pipe->fd, buffer, size_t(size), 0);
  while (n < 0 && errno == EINTR);
  if (n == 0) return namedPipeFail(pipe, PipeOp::Read, kPlatformErrorBrokenPipe, 0, "recv");
  if (n < 0) return namedPipeFail(pipe, PipeOp::Read, namedPipeCode(errno), errno, "recv");
  *count = int32_t(n);
  return 1;
}

int NamedPipe_Write(NamedPipe *pipe, const void *data, int32_t size, int32_t *count) {
  namedPipeCheck(pipe, KSRC);
  CHECK_POINTER(count);
  *count = 0;
  int result = 0;
  if (!namedPipeEnter(pipe, PipeOp::Write, &result)) return result;
  if (size <= 0) return 1;
  CHECK_POINTER(data);
  ssize_t n;
  do n = send(pipe->fd, data, size_t(size), MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n < 0) return namedPipeFail(pipe, PipeOp::Write, namedPipeCode(errno), errno, "send");
  *count = int32_t(n);
  return 1;
}

int NamedPipe_Flush(NamedPipe *pipe) {
  namedPipeCheck(pipe, KSRC);
  if (!pipe->open) {
    Platform_SetLastError(kPlatformErrorInvalidHandle);
    return 0;
  }
  if (pipe->fd < 0) return 1;
  double deadline = Platform_GetTickSeconds() + kNamedPipeFlushWaitMs / 1000.0;
  for (;;) {
    // The bytes written and not yet taken by the peer; a peer that closes
    // drops what it had not read, so this reaches 0 then too.
    int queued = 0;
    if (ioctl(pipe->fd, SIOCOUTQ, &queued) != 0) return POSIX_FAIL("ioctl", pipe->name);
    if (queued == 0) return 1;
    if (Platform_GetTickSeconds() >= deadline) {
      Log_Print(LOG_WARNING, KSRC, 0, "NamedPipe - %s: peer did not take %d bytes in %d ms\n",
                pipe->name, queued, kNamedPipeFlushWaitMs);
      Platform_SetLastError(kPlatformErrorTimeout);
      return 0;
    }
    poll(nullptr, 0, kNamedPipeFlushPollMs);
  }
}

int NamedPipe_GetSocketPath(const char *name, char *out, int size) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  char socketName[kNamedPipeSocketNameBytes];
  uint32_t uid = 0;
  if (size <= 0 || !namedPipeSocketName(name, socketName, sizeof socketName)) return 0;
  return namedPipePath(socketName, out, size, &uid);
}

int NamedPipe_GetSocketName(const char *name, char *out, int size) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (size <= 0) return 0;
  return namedPipeSocketName(name, out, size) > 0 ? 1 : 0;
}

void NamedPipe_SetBusyWaitForTest(int32_t milliseconds) {
  gBusyWaitMs.store(milliseconds < 0 ? kNamedPipeBusyWaitMs : milliseconds);
}
