// Socket on Linux: UDP sockets, the read-ahead buffer and the sliced poll
// wait; see core/net/socket.h.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/net/socket.h"
#include "core/platform/meterrw.h"
#include "core/platform/platform.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

constexpr int kSocketSliceMs = 1000;
constexpr int kSocketTypeUdp = 2;
constexpr int kSocketErrorWouldBlock = 10035;
constexpr int kSocketErrorNoBuffers = 10055;
constexpr int kSocketDnsPort = 53;

std::atomic<int> gDnsPort{0};
std::atomic<void (*)(int)> gPollHook{nullptr};

int socketError(Socket *s) {
  s->lastError = Platform_GetSocketErrorFromErrno(errno);
  return 0;
}

int wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS; }

int setNonBlockingFd(int fd, int nonBlocking) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return 0;
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

// A wait set is a plain record, so its tag leads it.
void checkWaitSet(const SocketWaitSet *set, const char *sourcePath, int line) {
  if (set == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
  if (set->classTag != kSocketWaitSetTag)
    Core_Abort(sourcePath, line, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
               static_cast<const void *>(set), kSocketWaitSetTag, set->classTag);
}

void destroySocket(void **object) {
  auto *s = static_cast<Socket *>(*object);
  *object = nullptr;
  if (s->fd >= 0) close(s->fd);
  if (s->buffer) MEM_FREE(s->buffer, size_t(s->capacity));
  MeterRW_Delete(&s->meter);
  s->header.classTag = 0;
  s->~Socket();
  MEM_FREE(s, sizeof(Socket));
}

// Waits alone for readability with the read time-out; 1 when readable. On a
// time-out or cancel the error and log lines are those of the read.
int waitReadable(Socket *s) {
  SocketWaitSet set;
  SocketWaitSet_Clear(&set);
  SocketWaitSet_Add(&set, s);
  int count = 0;
  if (!Socket_Wait("Read", &set, nullptr, nullptr, &s->cancel, s->readTimeoutMs, &count)) return 0;
  if (count == 0) {
    if (s->cancel.load() == 1) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Socket Read cancelled\n");
    } else {
      s->lastError = kSocketErrorTimeout;
      Log_Print(LOG_DEBUG, KSRC, 0, "Socket Read timeout (%d)\n", s->readTimeoutMs);
    }
    s->cancel.store(0);
    return 0;
  }
  return SocketWaitSet_IsSet(&set, s);
}

int socketSlotPeek(void *c, void *b, int32_t n, int32_t *got) {
  return Socket_Peek(static_cast<Socket *>(c), b, n, got);
}
int socketSlotWrite(void *c, const void *d, int32_t n, int32_t *written) {
  return Socket_Write(static_cast<Socket *>(c), d, n, written);
}
int socketSlotRead(void *c, void *b, int32_t n, int32_t *got) {
  return Socket_Read(static_cast<Socket *>(c), b, n, got);
}
int socketSlotIsOpen(void *c) { return Socket_IsOpen(static_cast<Socket *>(c)); }
int socketSlotClose(void *c) { return Socket_Close(static_cast<Socket *>(c)); }

constexpr Stream kSocketStreamRecord = {
    nullptr,           // context: set per object
    socketSlotPeek,    // Peek
    socketSlotWrite,   // Write
    nullptr,           // WriteAsync
    socketSlotRead,    // Read
    nullptr,           // ReadAsync
    nullptr,           // Seek
    nullptr,           // Flush
    nullptr,           // Tell
    nullptr,           // GetSize
    socketSlotIsOpen,  // IsOpen
    socketSlotClose,   // Close
    0,                 // error
};

}  // namespace

void Socket_SetDnsPortForTest(int port) { gDnsPort.store(port); }
void Socket_SetPollHookForTest(void (*hook)(int)) { gPollHook.store(hook); }

int Socket_Create(Socket **socket) {
  CHECK_POINTER(socket);
  auto *s = new (MEM_ALLOC(sizeof(Socket), MEM_ZEROED)) Socket();
  s->header.classTag = kSocketTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = destroySocket;
  s->stream = kSocketStreamRecord;
  s->stream.context = s;
  s->fd = -1;
  s->blocking = 1;
  s->readTimeoutMs = kSocketDefaultTimeoutMs;
  s->connectTimeoutMs = kSocketDefaultTimeoutMs;
  MeterRW_Create(&s->meter);
  *socket = s;
  return 1;
}

void Socket_Release(Socket **socket) {
  CHECK_POINTER(socket);
  CLASS_CHECK(*socket, kSocketTag);
  Class_ReleaseObject(socket);
}

int Socket_Open(Socket *s) {
  CLASS_CHECK(s, kSocketTag);
  if (s->fd >= 0) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Socket must be closed first!\n");
    return 1;
  }
  MeterRW_Reset(s->meter);
  s->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (s->fd < 0) {
    s->type = 0;
    return socketError(s);
  }
  s->blocking = 1;
  s->type = kSocketTypeUdp;
  s->lastError = 0;
  return 1;
}

int Socket_Close(Socket *s) {
  CLASS_CHECK(s, kSocketTag);
  if (s->fd < 0) return 1;
  if (close(s->fd) != 0 && errno != EINTR) return socketError(s);
  s->fd = -1;
  s->buffered = 0;
  return 1;
}

int Socket_IsOpen(Socket *s) {
  CLASS_CHECK(s, kSocketTag);
  return s->fd >= 0;
}

int Socket_SetBlocking(Socket *s, int blocking) {
  CLASS_CHECK(s, kSocketTag);
  if ((s->blocking == 1) == (blocking == 1)) return 1;
  if (s->fd >= 0 && !setNonBlockingFd(s->fd, blocking != 1)) return socketError(s);
  s->blocking = blocking;
  return 1;
}

int Socket_Connect(Socket *s, const SocketAddress *address) {
  CLASS_CHECK(s, kSocketTag);
  CHECK_POINTER(address);
  if (s->fd < 0) return 0;
  s->lastError = 0;
  MeterRW_Reset(s->meter);
  int blocking = s->blocking;
  setNonBlockingFd(s->fd, 1);
  int port = gDnsPort.load() ? gDnsPort.load() : kSocketDnsPort;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(port));
  to.sin_addr.s_addr = address->address;  // first octet lowest: network order in memory
  if (connect(s->fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 && !wouldBlock(errno)) {
    socketError(s);
    setNonBlockingFd(s->fd, blocking != 1);
    return 0;
  }
  if (blocking == 1) {
    SocketWaitSet writeSet, exceptSet;
    SocketWaitSet_Clear(&writeSet);
    SocketWaitSet_Clear(&exceptSet);
    SocketWaitSet_Add(&writeSet, s);
    SocketWaitSet_Add(&exceptSet, s);
    int count = 0;
    int ok = Socket_Wait("Connect", nullptr, &writeSet, &exceptSet, &s->cancel,
                         s->connectTimeoutMs, &count);
    setNonBlockingFd(s->fd, 0);
    if (!ok) return 0;
    if (count == 0) {
      if (s->cancel.load() == 1) {
        Log_Print(LOG_DEBUG, KSRC, 0, "Socket connect cancelled\n");
      } else {
        s->lastError = kSocketErrorTimeout;
        Log_Print(LOG_DEBUG, KSRC, 0, "Socket connect timeout (%d)\n", s->connectTimeoutMs);
      }
      s->cancel.store(0);
      return 0;
    }
    if (SocketWaitSet_IsSet(&exceptSet, s) || !SocketWaitSet_IsSet(&writeSet, s)) return 0;
  }
  s->remoteAddress = address->address;
  s->remotePort = port;
  return 1;
}

int Socket_Write(Socket *s, const void *data, int length, int *written) {
  CLASS_CHECK(s, kSocketTag);
  CHECK_POINTER(written);
  *written = 0;
  if (s->fd < 0) return 0;
  int64_t allowed = length;
  if (length < 1 || !MeterRW_RequestWrite(s->meter, &allowed)) return 1;
  ssize_t sent = send(s->fd, data, size_t(allowed), MSG_NOSIGNAL);
  if (sent < 0) {
    if (wouldBlock(errno) || errno == ENOBUFS) {
      s->lastError = errno == ENOBUFS ? kSocketErrorNoBuffers : kSocketErrorWouldBlock;
      return 1;
    }
    return socketError(s);
  }
  s->lastError = 0;
  *written = int(sent);
  MeterRW_AddWriteBytes(s->meter, sent);
  return 1;
}

int Socket_TakeBuffered(Socket *s, void *buffer, int length, int *got) {
  CLASS_CHECK(s, kSocketTag);
  CHECK_POINTER(got);
  *got = 0;
  if (s->buffered < 1 || length < 1) return 0;
  int n = std::min(length, s->buffered);
  memcpy(buffer, s->buffer, size_t(n));
  memmove(s->buffer, s->buffer + n, size_t(s->buffered - n));
  s->buffered -= n;
  *got = n;
  return 1;
}

int Socket_Read(Socket *s, void *buffer, int length, int *got) {
  CLASS_CHECK(s, kSocketTag);
  CHECK_POINTER(got);
  *got = 0;
  if (s->fd < 0) return 0;
  s->lastError = 0;
  int64_t allowed = length;
  if (length < 1 || !MeterRW_RequestRead(s->meter, &allowed)) return 1;
  int taken = 0;
  Socket_TakeBuffered(s, buffer, int(allowed), &taken);
  if (taken == int(allowed)) {
    *got = taken;
    return 1;
  }
  if (s->blocking == 1 && !waitReadable(s)) return 0;
  ssize_t received =
      recv(s->fd, static_cast<uint8_t *>(buffer) + taken, size_t(allowed - taken), 0);
  if (received <= 0) {
    int err = errno;
    if (taken > 0) {
      *got = taken;
      return 1;
    }
    if (received == 0) return 0;
    if (wouldBlock(err)) {
      s->lastError = kSocketErrorWouldBlock;
      return 1;
    }
    return socketError(s);
  }
  MeterRW_AddReadBytes(s->meter, received);
  *got = taken + int(received);
  return 1;
}

int Socket_Peek(Socket *s, void *buffer, int length, int *got) {
  CLASS_CHECK(s, kSocketTag);
  CHECK_POINTER(got);
  *got = 0;
  if (s->fd < 0) return 0;
  if (length < 0) length = 0;
  if (s->buffered < length) {
    if (s->capacity < length) {
      int capacity = (length + 1023) / 1024 * 1024;
      auto *grown = static_cast<uint8_t *>(MEM_ALLOC(size_t(capacity), 0));
      if (s->buffered) memcpy(grown, s->buffer, size_t(s->buffered));
      if (s->buffer) MEM_FREE(s->buffer, size_t(s->capacity));
      s->buffer = grown;
      s->capacity = capacity;
    }
    if (s->blocking != 1 || waitReadable(s)) {
      ssize_t received =
          recv(s->fd, s->buffer + s->buffered, size_t(length - s->buffered), MSG_DONTWAIT);
      if (received == 0 || (received < 0 && !wouldBlock(errno))) {
        if (received < 0) socketError(s);
        *got = std::min(s->buffered, length);
        memcpy(buffer, s->buffer, size_t(*got));
        return 0;
      }
      if (received > 0) s->buffered += int(received);
    }
  }
  *got = std::min(s->buffered, length);
  if (*got) memcpy(buffer, s->buffer, size_t(*got));
  return 1;
}

void SocketWaitSet_Clear(SocketWaitSet *set) {
  CHECK_POINTER(set);
  memset(set, 0, sizeof *set);
  set->classTag = kSocketWaitSetTag;
}

int SocketWaitSet_IsSet(SocketWaitSet *set, Socket *s) {
  checkWaitSet(set, KSRC);
  for (int i = 0; i < set->count; ++i)
    if (set->members[i] == s) return 1;
  return 0;
}

int SocketWaitSet_Add(SocketWaitSet *set, Socket *s) {
  checkWaitSet(set, KSRC);
  CLASS_CHECK(s, kSocketTag);
  if (s->fd < 0) return 0;
  set->used = 1;
  if (s->buffered > 0) {
    if (set->bufferedCount == 0) set->count = 0;
    ++set->bufferedCount;
  } else if (set->bufferedCount > 0) {
    return 1;
  }
  if (!SocketWaitSet_IsSet(set, s) && set->count < kSocketWaitSetMax) set->members[set->count++] = s;
  return 1;
}

int Socket_Wait(const char *name, SocketWaitSet *readSet, SocketWaitSet *writeSet,
                SocketWaitSet *exceptSet, std::atomic<int32_t> *cancel, int timeoutMs,
                int *count) {
  CHECK_POINTER(name);
  CHECK_POINTER(count);
  *count = 0;
  SocketWaitSet *sets[3] = {readSet, writeSet, exceptSet};
  constexpr short kEvents[3] = {POLLIN, POLLOUT, POLLPRI};
  bool anyUsed = false;
  for (SocketWaitSet *set : sets)
    if (set && set->used) anyUsed = true;
  auto clearAll = [&] {
    for (SocketWaitSet *set : sets)
      if (set) SocketWaitSet_Clear(set);
  };
  if (!anyUsed) {
    clearAll();
    return 1;
  }
  // Members that hold read-ahead bytes are ready already.
  if (readSet && readSet->used && readSet->bufferedCount > 0) {
    if (writeSet) SocketWaitSet_Clear(writeSet);
    if (exceptSet) SocketWaitSet_Clear(exceptSet);
    *count = readSet->count;
    return 1;
  }
  pollfd fds[3 * kSocketWaitSetMax];
  int owner[3 * kSocketWaitSetMax];
  int slots = 0;
  for (int k = 0; k < 3; ++k) {
    if (!sets[k] || !sets[k]->used) continue;
    for (int i = 0; i < sets[k]->count; ++i) {
      fds[slots] = {sets[k]->members[i]->fd, kEvents[k], 0};
      owner[slots++] = k;
    }
  }
  int remaining = timeoutMs;
  int ready = 0;
  for (;;) {
    if (cancel && cancel->load() == 1) {
      clearAll();
      return 1;
    }
    int slice = std::clamp(remaining, 0, kSocketSliceMs);
    if (auto hook = gPollHook.load()) hook(slice);
    ready = poll(fds, nfds_t(slots), slice);
    if (ready < 0 && errno == EINTR) ready = 0;
    if (ready < 0) {
      int error = Platform_GetSocketErrorFromErrno(errno);
      Log_Print(LOG_DEBUG, KSRC, 0, "Select failed [%s: %s]\n", name,
                Platform_GetSocketErrorString(error));
      return 0;
    }
    remaining -= kSocketSliceMs;
    if (ready > 0 || remaining < 1) break;
  }
  // Each set keeps its ready members, as select leaves its sets.
  int total = 0;
  for (int k = 0; k < 3; ++k) {
    if (!sets[k] || !sets[k]->used) continue;
    int kept = 0;
    for (int j = 0; j < slots; ++j) {
      if (owner[j] != k) continue;
      short hit = fds[j].revents & (kEvents[k] | (k == 0 ? POLLHUP | POLLERR : k == 2 ? POLLERR : POLLHUP | POLLERR));
      if (k == 2) hit = fds[j].revents & (POLLPRI | POLLERR);
      if (hit) {
        for (int i = 0; i < sets[k]->count; ++i)
          if (sets[k]->members[i]->fd == fds[j].fd) sets[k]->members[kept++] = sets[k]->members[i];
      }
    }
    sets[k]->count = kept;
    total += kept;
  }
  *count = total;
  return 1;
}
