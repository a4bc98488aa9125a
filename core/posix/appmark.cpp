// The single-instance mark: a named lock and a Unix socket beside it; see
// core/platform/appmark.h.
#include "core/platform/appmark.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/runtime/core.h"
#include "core/platform/eventqueue.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/mutex.h"
#include "core/platform/platform.h"
#include "core/posix/desktopuser.h"
#include "core/posix/peercred.h"
#include "core/posix/errors.h"
#include "core/posix/runpath.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/platform/thread.h"

namespace {

constexpr const char *kSocketSuffix = ".sock";
constexpr int kListenBacklog = 16;
constexpr uint32_t kAcceptRetryMs = 10;
// The delivery's report through its eventfd.
constexpr uint64_t kDeliveredHandled = 1;
constexpr uint64_t kDeliveredUnhandled = 2;

std::atomic<int32_t> gSendTimeoutMs{0};

int32_t appMarkSendTimeoutMs() {
  int32_t timeout = gSendTimeoutMs.load();
  return timeout > 0 ? timeout : kAppMarkSendTimeoutMs;
}

}  // namespace

// The listening socket and its thread, while the mark is held.
struct AppMarkListener {
  int listenFd;
  int stopRead;   // readable once the listener is to end
  int stopWrite;
  PlatformThread *thread;
  uint32_t ownerThreadId;  // the acquiring thread: deliveries go to its queue
  int deliverable;         // 1 when the thread module was up at acquire
  AppMark *mark;           // borrowed: the listener is joined before the mark goes
  uint32_t uid;            // whose file-system identity touches the socket file
  char socketPath[kRunPathSocketBytes];
};

namespace {

// One block of data on its way to the acquiring thread. The listener holds
// one reference and the posted event another.
struct AppMarkRequest {
  std::atomic<int32_t> refs;
  std::atomic<int32_t> state;  // 0 pending, 1 taken by the handler, 2 given up by the listener
  AppMark *mark;               // one reference
  int doneFd;                  // eventfd: kDeliveredHandled or kDeliveredUnhandled
  uint8_t *data;
  uint32_t size;
};

constexpr int32_t kRequestPending = 0;
constexpr int32_t kRequestTaken = 1;
constexpr int32_t kRequestAbandoned = 2;

void appMarkRequestRelease(AppMarkRequest *request) {
  if (request->refs.fetch_sub(1) != 1) return;
  Class_ReleaseObject(&request->mark);
  close(request->doneFd);
  MEM_FREE(request->data, int64_t(request->size) + 1);
  MEM_FREE(request, sizeof(AppMarkRequest));
}

// On the acquiring thread, from its queue.
void appMarkDeliver(uintptr_t eventId, void *) {
  auto *request = reinterpret_cast<AppMarkRequest *>(eventId);
  int32_t expected = kRequestPending;
  if (!request->state.compare_exchange_strong(expected, kRequestTaken)) return;
  void *context = nullptr;
  CallbackFunction function = nullptr;
  uint64_t report = kDeliveredUnhandled;
  if (Callback_Get(&request->mark->dataCallback, &context, &function)) {
    reinterpret_cast<AppMarkDataFunction>(function)(context, request->data, request->size);
    report = kDeliveredHandled;
  }
  ssize_t ignored = write(request->doneFd, &report, sizeof report);
  (void)ignored;
}

void appMarkDeliverDone(uintptr_t eventId, void *) {
  appMarkRequestRelease(reinterpret_cast<AppMarkRequest *>(eventId));
}

int appMarkMsLeft(double deadline) {
  double left = deadline - Platform_GetTickSeconds();
  return left <= 0 ? 0 : int(left * 1000.0) + 1;
}

// Reads or writes all of the bytes on a non-blocking socket before the
// deadline; a readable stopFd (-1: none) ends the wait. 1/0.
int appMarkTransfer(int fd, void *buffer, size_t length, bool writing, double deadline,
                    int stopFd) {
  auto *bytes = static_cast<uint8_t *>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t n = writing ? send(fd, bytes + done, length - done, MSG_NOSIGNAL)
                        : recv(fd, bytes + done, length - done, 0);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) return 0;
    struct pollfd fds[2] = {{fd, short(writing ? POLLOUT : POLLIN), 0}, {stopFd, POLLIN, 0}};
    int wait = appMarkMsLeft(deadline);
    if (wait == 0) return 0;
    int rc = poll(fds, 2, wait);
    if (rc < 0 && errno != EINTR) return 0;
    if (rc > 0 && fds[1].revents) return 0;
  }
  return 1;
}

// Hands the request to the acquiring thread's queue (the main queue for a
// thread without record). 0 when there is no queue to take it.
int appMarkPost(AppMarkListener *listener, AppMarkRequest *request) {
  if (!listener->deliverable) return 0;
  EventQueue *queue = Thread_GetEventQueue(listener->ownerThreadId);
  if (queue == nullptr && EventQueue_GetMain() == nullptr) return 0;
  request->refs.fetch_add(1);
  EventQueue_Post(queue, reinterpret_cast<uintptr_t>(request), nullptr, 0, appMarkDeliver,
                  appMarkDeliverDone, nullptr, KSRC, Platform_GetTickSeconds());
  if (queue != nullptr) Class_ReleaseObject(&queue);
  return 1;
}

// Waits for the delivery, the sender's hang-up or the stop. The byte to
// answer, or -1 when there is nobody to answer.
int appMarkAwait(AppMarkListener *listener, AppMarkRequest *request, int conn) {
  double deadline = Platform_GetTickSeconds() + appMarkSendTimeoutMs() / 1000.0;
  bool watchSender = true;
  for (;;) {
    struct pollfd fds[3] = {{request->doneFd, POLLIN, 0},
                            {listener->stopRead, POLLIN, 0},
                            {watchSender ? conn : -1, POLLRDHUP, 0}};
    int wait = appMarkMsLeft(deadline);
    int rc = wait > 0 ? poll(fds, 3, wait) : 0;
    if (rc < 0 && errno == EINTR) continue;
    if (rc > 0 && (fds[0].revents & POLLIN)) {
      uint64_t report = 0;
      ssize_t n = read(request->doneFd, &report, sizeof report);
      return n == ssize_t(sizeof report) && report == kDeliveredHandled ? 1 : 0;
    }
    if (!watchSender) return -1;
    // Given up (time-out, hang-up, stop): a delivery that has not started
    // must not run for a sender who is told it failed.
    int32_t expected = kRequestPending;
    if (request->state.compare_exchange_strong(expected, kRequestAbandoned)) return -1;
    // The handler runs now; its answer is worth one more wait.
    watchSender = false;
    deadline = Platform_GetTickSeconds() + appMarkSendTimeoutMs() / 1000.0;
  }
}

// One sender: {size, data}, the delivery, one byte back.
void appMarkServe(AppMarkListener *listener, int conn) {
  double deadline = Platform_GetTickSeconds() + kAppMarkReadTimeoutMs / 1000.0;
  uint32_t size = 0;
  if (!appMarkTransfer(conn, &size, sizeof size, false, deadline, listener->stopRead)) return;
  if (size > kAppMarkMaxDataBytes) {
    Log_Print(LOG_WARNING, KSRC, 0, "AppMark %s: refused %u bytes from a sender\n",
              listener->mark->name, size);
    return;
  }
  auto *request = static_cast<AppMarkRequest *>(MEM_ALLOC(sizeof(AppMarkRequest), MEM_ZEROED));
  request->refs.store(1);
  request->state.store(kRequestPending);
  request->mark = static_cast<AppMark *>(Class_Retain(listener->mark));
  request->doneFd = eventfd(0, EFD_CLOEXEC);
  request->size = size;
  request->data = static_cast<uint8_t *>(MEM_ALLOC(int64_t(size) + 1, MEM_ZEROED));
  uint8_t answer = 0;
  int reply = -1;
  if (request->doneFd >= 0 &&
      appMarkTransfer(conn, request->data, size, false, deadline, listener->stopRead)) {
    reply = appMarkPost(listener, request) ? appMarkAwait(listener, request, conn) : 0;
  }
  if (reply >= 0) {
    answer = uint8_t(reply);
    appMarkTransfer(conn, &answer, 1, true, Platform_GetTickSeconds() + 1.0, listener->stopRead);
  }
  appMarkRequestRelease(request);
}

int appMarkListenerMain(void *argument) {
  auto *listener = static_cast<AppMarkListener *>(argument);
  for (;;) {
    struct pollfd fds[2] = {{listener->listenFd, POLLIN, 0}, {listener->stopRead, POLLIN, 0}};
    int rc = poll(fds, 2, -1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 || fds[1].revents) return 0;
    int conn = accept4(listener->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (conn < 0) {
      // Out of descriptors, say: the connection stays pending, so pause
      // rather than spin on it.
      if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
        Platform_SleepMs(kAcceptRetryMs);
      continue;
    }
    uint32_t peer = 0;
    if (!PeerCred_Uid(conn, &peer) || !PeerCred_Heard(peer))
      Log_Print(LOG_WARNING, KSRC, 0, "AppMark %s: refused a sender of uid %u\n",
                listener->mark->name, peer);
    else
      appMarkServe(listener, conn);
    close(conn);
  }
}

void appMarkFreeListener(AppMarkListener *listener) {
  if (listener->listenFd >= 0) close(listener->listenFd);
  if (listener->stopRead >= 0) close(listener->stopRead);
  if (listener->stopWrite >= 0) close(listener->stopWrite);
  MEM_FREE(listener, sizeof(AppMarkListener));
}

// Binds the mark's socket (the lock is held, so a file there is a dead
// holder's) and starts the listener. 1/0.
int appMarkListen(AppMark *mark) {
  auto *listener = static_cast<AppMarkListener *>(MEM_ALLOC(sizeof(AppMarkListener), MEM_ZEROED));
  listener->listenFd = listener->stopRead = listener->stopWrite = -1;
  listener->mark = mark;
  listener->ownerThreadId = Platform_GetThreadId();
  listener->deliverable = Thread_GetMainId() != 0;
  if (!RunPath_Get(mark->name, kSocketSuffix, listener->socketPath, sizeof listener->socketPath,
                   &listener->uid)) {
    appMarkFreeListener(listener);
    return 0;
  }
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  Str_Set(address.sun_path, listener->socketPath, sizeof address.sun_path);
  int ok = 1;
  {
    FsIdentityScope identity(listener->uid);
    if (unlink(listener->socketPath) != 0 && errno != ENOENT)
      ok = POSIX_FAIL("unlink", listener->socketPath);
    if (ok) listener->listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ok && listener->listenFd < 0) ok = POSIX_FAIL("socket", listener->socketPath);
    if (ok && bind(listener->listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
      ok = POSIX_FAIL("bind", listener->socketPath);
  }
  if (ok && listen(listener->listenFd, kListenBacklog) != 0)
    ok = POSIX_FAIL("listen", listener->socketPath);
  int stop[2];
  if (ok && pipe2(stop, O_CLOEXEC) != 0) ok = POSIX_FAIL("pipe2", nullptr);
  if (ok) {
    listener->stopRead = stop[0];
    listener->stopWrite = stop[1];
    uint32_t threadId = 0;
    ok = Thread_Create(appMarkListenerMain, listener, &threadId, &listener->thread);
  }
  if (!ok) {
    if (listener->listenFd >= 0) {
      FsIdentityScope identity(listener->uid);
      unlink(listener->socketPath);
    }
    Log_Print(LOG_ERROR, KSRC, 0, "AppMark %s: unable to listen (%s) [LE: %d]\n", mark->name,
              listener->socketPath, Platform_GetLastError());
    appMarkFreeListener(listener);
    return 0;
  }
  mark->listener = listener;
  return 1;
}

// Ends the listener and removes the socket; the lock is still held, so the
// file is ours.
void appMarkStopListener(AppMark *mark) {
  AppMarkListener *listener = mark->listener;
  if (listener == nullptr) return;
  mark->listener = nullptr;
  char stop = 1;
  ssize_t ignored = write(listener->stopWrite, &stop, 1);
  (void)ignored;
  Thread_WaitForExit(listener->thread);
  Thread_Destroy(&listener->thread);
  {
    FsIdentityScope identity(listener->uid);
    unlink(listener->socketPath);
  }
  appMarkFreeListener(listener);
}

void appMarkDestroy(void **object) {
  auto *mark = static_cast<AppMark *>(*object);
  *object = nullptr;
  AppMark_Close(mark);
  Callback_Clear(&mark->dataCallback);
  mark->header.classTag = 0;
  MEM_FREE(mark, sizeof(AppMark));
}

}  // namespace

int AppMark_Create(AppMark **mark) {
  CHECK_POINTER(mark);
  auto *record = static_cast<AppMark *>(MEM_ALLOC(sizeof(AppMark), MEM_ZEROED));
  record->header.classTag = kAppMarkTag;
  record->header.refCount.store(1);
  record->header.destroy = appMarkDestroy;
  *mark = record;
  return 1;
}

int AppMark_Delete(AppMark **mark) {
  CHECK_POINTER(mark);
  CLASS_CHECK(*mark, kAppMarkTag);
  // The lock goes now; a delivery still queued keeps only the memory.
  AppMark_Close(*mark);
  Class_ReleaseObject(mark);
  return 1;
}

void AppMark_SetName(AppMark *mark, const char *name) {
  CLASS_CHECK(mark, kAppMarkTag);
  CHECK_POINTER(name);
  Str_Set(mark->name, name, sizeof mark->name);
  Str_Printf(mark->semaphoreName, sizeof mark->semaphoreName, "Local\\%s", mark->name);
}

int AppMark_Acquire(AppMark *mark, int32_t timeoutMs) {
  CLASS_CHECK(mark, kAppMarkTag);
  if (mark->mutex == nullptr && !Mutex_Create(&mark->mutex, mark->semaphoreName)) return 0;
  if (!Mutex_Wait(mark->mutex, timeoutMs)) {
    Mutex_Delete(&mark->mutex);
    return 0;
  }
  if (mark->listener == nullptr && !appMarkListen(mark)) {
    // Nobody could reach a holder without a socket: give the lock back.
    Mutex_Release(mark->mutex);
    Mutex_Delete(&mark->mutex);
    return 0;
  }
  return 1;
}

int AppMark_Release(AppMark *mark) {
  CLASS_CHECK(mark, kAppMarkTag);
  if (mark->mutex == nullptr) return 0;
  appMarkStopListener(mark);
  return Mutex_Release(mark->mutex);
}

int AppMark_Close(AppMark *mark) {
  CLASS_CHECK(mark, kAppMarkTag);
  if (mark->mutex != nullptr) {
    AppMark_Release(mark);
    Mutex_Delete(&mark->mutex);
  }
  return 1;
}

void AppMark_SetDataCallback(AppMark *mark, void *context, AppMarkDataFunction function) {
  CLASS_CHECK(mark, kAppMarkTag);
  if (function == nullptr) {
    Callback_Clear(&mark->dataCallback);
    return;
  }
  Callback_Set(&mark->dataCallback, context, reinterpret_cast<CallbackFunction>(function));
}

int AppMark_SendToRunning(const void *data, uint32_t size) {
  if (size > 0) CHECK_POINTER(data);
  if (size > kAppMarkMaxDataBytes) {
    Log_Print(LOG_ERROR, KSRC, 0, "AppMark: %u bytes exceed the %u a mark takes\n", size,
              kAppMarkMaxDataBytes);
    return 0;
  }
  AppMark *mark = Platform_GetExclusiveMark();
  if (mark == nullptr) {
    Log_Print(LOG_ERROR, KSRC, 0, "AppMark: no exclusive mark names the running instance\n");
    return 0;
  }
  char path[kRunPathSocketBytes];
  uint32_t uid = 0;
  if (!RunPath_Get(mark->name, kSocketSuffix, path, sizeof path, &uid)) return 0;
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  Str_Set(address.sun_path, path, sizeof address.sun_path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return POSIX_FAIL("socket", path);
  int rc;
  {
    FsIdentityScope identity(uid);
    do rc = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    while (rc != 0 && errno == EINTR);
  }
  // Nothing there, or a socket nobody listens on any more: no instance.
  if (rc != 0) {
    POSIX_FAIL("connect", path);
    close(fd);
    return 0;
  }
  uint32_t holder = 0;
  if (!PeerCred_Uid(fd, &holder) || !PeerCred_MayTalkTo(holder, uid)) {
    Log_Print(LOG_ERROR, KSRC, 0, "AppMark %s: the running instance is of uid %u: not sent\n",
              mark->name, holder);
    close(fd);
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "AppMark peer", path);
  }
  double deadline = Platform_GetTickSeconds() + appMarkSendTimeoutMs() / 1000.0;
  uint8_t answer = 0;
  int ok = appMarkTransfer(fd, &size, sizeof size, true, deadline, -1) &&
           appMarkTransfer(fd, const_cast<void *>(data), size, true, deadline, -1) &&
           appMarkTransfer(fd, &answer, 1, false, deadline, -1);
  close(fd);
  if (!ok) {
    Log_Print(LOG_WARNING, KSRC, 0, "AppMark %s: the running instance did not answer\n", mark->name);
    return 0;
  }
  return answer;
}

void AppMark_SetSendTimeoutForTest(int32_t timeoutMs) { gSendTimeoutMs.store(timeoutMs); }
