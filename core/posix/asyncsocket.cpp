// Asynchronous sockets on Linux: non-blocking calls retried on the I/O
// worker's readiness; see core/net/asyncsocket.h.
#include "core/net/asyncsocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/platform/ioworker.h"
#include "core/platform/meterrw.h"
#include "core/platform/platform.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/critsection.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

// Rounds a loop runs on one pool thread before it queues itself again, so
// that a fast peer cannot keep a thread to itself.
constexpr int kAsyncSocketRoundsInPlace = 16;
constexpr int32_t kAsyncSocketErrorBadProtocol = 10043;

// The errors the error handling lets pass: none, aborted, pending,
// interrupted, would block, shut down.
constexpr int32_t kAsyncSocketQuietErrors[] = {0, 995, 997, 10004, 10035, 10058};

enum AsyncSocketCell {
  kCellAccept,
  kCellReadSize,
  kCellRead,
  kCellWriteSize,
  kCellWrite,
  kCellClose,
  kCellConnect,
  kCellReadInto,
  kCellWriteFile,
  kCellCount
};

struct AsyncSocketGlobal {
  uint32_t tag;  // kAsyncSocketGlobalTag
  std::atomic<int32_t> inFlight;
  std::atomic<int32_t> live;
};

AsyncSocketGlobal *gAsyncSocket = nullptr;

// One open of the socket. uses counts the socket's own use (while open) and
// one per running loop, under the socket's lock; the last use closes fd.
struct AsyncSocketHandle {
  int fd;
  int32_t uses;
  std::atomic<int32_t> associated;
  std::atomic<int32_t> linger;
};

// A loop's operation record: the I/O worker's header first.
struct AsyncSocketOp {
  IOWorkerRequest io;
  AsyncSocketHandle *handle;  // the handle whose use the running loop holds
  uint32_t length;            // read: bytes asked; write: bytes filled
  uint32_t done;              // write: bytes sent of length
  uint8_t *buffer;            // read and write: kAsyncSocketRoundBytes
  // A start met the loop running: the loop asks the owner once more before
  // it ends (read), so room the owner made meanwhile is not missed.
  std::atomic<int32_t> again;
};

// The final close of a lingering descriptor, run on a pool thread.
struct AsyncSocketCloseRequest {
  IOWorkerRequest io;
  int fd;
};

}  // namespace

struct AsyncSocket {
  ObjectHeader header;  // kAsyncSocketTag
  MeterRW *meter;
  CriticalSection *lock;      // guards handle, the open flag's changes and handle uses
  AsyncSocketHandle *handle;  // NULL while closed
  std::atomic<int> acceptFd;  // the accepted descriptor while its Accept callback runs
  int32_t protocol;
  std::atomic<int32_t> lastError;
  uint32_t address;
  int32_t port;
  std::atomic<int32_t> accepting, reading, writing, connected, open;
  CallbackCellLocked cells[kCellCount];
  AsyncSocketOp readOp, writeOp, connectOp, acceptOp;
};

namespace {

#define ASYNCSOCKET_CHECK(s) CLASS_CHECK((s), kAsyncSocketTag)

AsyncSocketGlobal *asyncSocketGlobal(const char *sourcePath, int line) {
  if (gAsyncSocket == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
  return gAsyncSocket;
}

int32_t asyncSocketErrno(int err) { return Platform_GetSocketErrorFromErrno(err); }

// Records a failure of an owner's call: the socket's first error and the
// thread's last error. Returns 0.
int asyncSocketRecord(AsyncSocket *s, int32_t error) {
  int32_t none = 0;
  s->lastError.compare_exchange_strong(none, error);
  Platform_SetLastError(error);
  return 0;
}

// ---- Callback cells --------------------------------------------------------

// Calls the cell's function under its lock; false when none is set.
template <typename F, typename Call>
bool asyncSocketCall(AsyncSocket *s, AsyncSocketCell index, Call call) {
  CallbackCellLocked *cell = &s->cells[index];
  CriticalSection *lock = cell->lock.load(std::memory_order_acquire);
  if (lock) CriticalSection_Enter(lock);
  void *context = nullptr;
  CallbackFunction function = nullptr;
  bool set = Callback_Get(&cell->cell, &context, &function);
  if (set) call(reinterpret_cast<F>(function), context);
  if (lock) CriticalSection_Leave(lock);
  return set;
}

int32_t asyncSocketSize(AsyncSocket *s, AsyncSocketCell index, int32_t maximum) {
  int32_t size = 0;
  asyncSocketCall<AsyncSocketSizeFunction>(
      s, index, [&](AsyncSocketSizeFunction f, void *context) { size = f(s, context); });
  return std::clamp(size, int32_t(0), maximum);
}

bool asyncSocketHasCell(AsyncSocket *s, AsyncSocketCell index) {
  return asyncSocketCall<CallbackFunction>(s, index, [](CallbackFunction, void *) {});
}

// A NULL function clears the cell under its lock but keeps the lock, which
// a completion on another thread may be about to enter; the destroy deletes
// it.
int asyncSocketSetCell(AsyncSocket *s, AsyncSocketCell index, void *context,
                       CallbackFunction function) {
  ASYNCSOCKET_CHECK(s);
  CallbackCellLocked *cell = &s->cells[index];
  if (function) return Callback_SetLocked(cell, context, function);
  CriticalSection *lock = cell->lock.load(std::memory_order_acquire);
  if (lock) CriticalSection_Enter(lock);
  Callback_Clear(&cell->cell);
  if (lock) CriticalSection_Leave(lock);
  return 1;
}

// ---- Descriptor uses -------------------------------------------------------

int asyncSocketCloseRoutine(void *, IOWorkerRequest *io) {
  auto *request = reinterpret_cast<AsyncSocketCloseRequest *>(io);
  close(request->fd);
  MEM_FREE(request, sizeof *request);
  if (gAsyncSocket) gAsyncSocket->inFlight.fetch_sub(1);
  return 1;
}

// Closes a handle nobody uses any more. A lingering close may block for
// seconds, so it goes to a pool thread.
void asyncSocketHandleFinish(AsyncSocketHandle *h) {
  if (h->linger.load() && gAsyncSocket) {
    auto *request = static_cast<AsyncSocketCloseRequest *>(MEM_ALLOC(sizeof(AsyncSocketCloseRequest), MEM_ZEROED));
    request->fd = h->fd;
    request->io.routine = asyncSocketCloseRoutine;
    gAsyncSocket->inFlight.fetch_add(1);
    IOWorker_Post(request, &request->io);
  } else {
    close(h->fd);
  }
  h->~AsyncSocketHandle();
  MEM_FREE(h, sizeof *h);
}

// The open handle with one use added, or NULL while closed.
AsyncSocketHandle *asyncSocketAcquire(AsyncSocket *s) {
  CriticalSection_Enter(s->lock);
  AsyncSocketHandle *h = s->open.load() ? s->handle : nullptr;
  if (h) h->uses++;
  CriticalSection_Leave(s->lock);
  return h;
}

void asyncSocketUnuse(AsyncSocket *s, AsyncSocketHandle *h) {
  CriticalSection_Enter(s->lock);
  bool last = --h->uses == 0;
  CriticalSection_Leave(s->lock);
  if (last) asyncSocketHandleFinish(h);
}

// Whether h is still the socket's open handle; the caller holds a use of h,
// so it cannot have been freed and reused meanwhile.
bool asyncSocketCurrent(AsyncSocket *s, AsyncSocketHandle *h) {
  CriticalSection_Enter(s->lock);
  bool current = s->open.load() && s->handle == h;
  CriticalSection_Leave(s->lock);
  return current;
}

// Runs call(fd) under a use of the open handle; 0 while closed.
template <typename Call>
int asyncSocketWithFd(AsyncSocket *s, Call call) {
  AsyncSocketHandle *h = asyncSocketAcquire(s);
  if (h == nullptr) return 0;
  int result = call(h);
  asyncSocketUnuse(s, h);
  return result;
}

int asyncSocketAssociate(AsyncSocket *s, AsyncSocketHandle *h) {
  int32_t none = 0;
  if (!h->associated.compare_exchange_strong(none, 1)) return 1;
  if (IOWorker_Associate(h->fd, s)) return 1;
  h->associated.store(0);
  return asyncSocketRecord(s, Platform_GetLastError());
}

// ---- Loops -----------------------------------------------------------------

// A loop's start: a reference on the socket and one count in flight.
void asyncSocketBegin(AsyncSocket *s) {
  Class_Retain(s);
  gAsyncSocket->inFlight.fetch_add(1);
}

// A loop's end, after its flag is cleared: the use, the reference, the count.
void asyncSocketEnd(AsyncSocket *s, AsyncSocketHandle *h) {
  AsyncSocketGlobal *g = gAsyncSocket;
  asyncSocketUnuse(s, h);
  Class_ReleaseObject(&s);
  g->inFlight.fetch_sub(1);
}

// Closes the socket while only is its open handle (any open handle when
// NULL), keeping error (when not 0) as its first error under the same
// check: a loop of a connection the owner has closed meets that
// connection's end or failure, never the next one's.
int asyncSocketCloseOpen(AsyncSocket *s, AsyncSocketHandle *only, int32_t error) {
  CriticalSection_Enter(s->lock);
  if (!s->open.load() || (only != nullptr && s->handle != only)) {
    CriticalSection_Leave(s->lock);
    return 1;
  }
  if (error != 0) {
    int32_t none = 0;
    s->lastError.compare_exchange_strong(none, error);
  }
  s->open.store(0);
  s->connected.store(0);
  AsyncSocketHandle *h = s->handle;
  s->handle = nullptr;
  CriticalSection_Leave(s->lock);
  // Waiting loops complete with 995 and end; a step already running finds
  // the handle no longer current at its next check. The descriptor stays
  // open until the last of them has let go of it.
  if (h->associated.load()) IOWorker_Dissociate(h->fd);
  asyncSocketUnuse(s, h);
  asyncSocketCall<AsyncSocketCloseFunction>(
      s, kCellClose, [&](AsyncSocketCloseFunction f, void *context) { f(s, context); });
  return 1;
}

// The error handling of every failed call on the descriptor of h.
void asyncSocketFail(AsyncSocket *s, AsyncSocketHandle *h, int32_t error) {
  for (int32_t quiet : kAsyncSocketQuietErrors)
    if (error == quiet) return;
  asyncSocketCloseOpen(s, h, error);
}

// Starts a loop whose flag the caller has set: 0 (flag cleared) while closed.
// here: the loop's first rounds run on the calling thread instead of a pool
// thread.
int asyncSocketStart(AsyncSocket *s, AsyncSocketOp *op, std::atomic<int32_t> *flag,
                     IOWorkerRoutine routine, bool here = false) {
  AsyncSocketHandle *h = asyncSocketAcquire(s);
  if (h == nullptr) {
    flag->store(0);
    return 0;
  }
  asyncSocketBegin(s);
  op->handle = h;
  op->io.routine = routine;
  if (here)
    routine(s, &op->io);
  else
    IOWorker_Post(s, &op->io);
  return 1;
}

// Waits for readiness with the step that retries; false when the descriptor
// is no longer associated (closed meanwhile).
bool asyncSocketWait(AsyncSocketOp *op, IOWorkerRoutine routine, uint32_t events) {
  op->io.routine = routine;
  return IOWorker_PostWhenReady(op->handle->fd, &op->io, events) != 0;
}

// -- Connect

int asyncSocketConnectDone(void *key, IOWorkerRequest *io) {
  auto *s = static_cast<AsyncSocket *>(key);
  AsyncSocketHandle *h = s->connectOp.handle;
  int32_t error = int32_t(io->error);
  if (error == 0) {
    int result = 0;
    socklen_t length = sizeof result;
    if (getsockopt(h->fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0) result = errno;
    if (result) error = asyncSocketErrno(result);
  }
  bool connected = error == 0 && asyncSocketCurrent(s, h);
  if (connected)
    s->connected.store(1);
  else
    asyncSocketFail(s, h, error);
  asyncSocketCall<AsyncSocketConnectFunction>(
      s, kCellConnect,
      [&](AsyncSocketConnectFunction f, void *context) { f(s, context, connected ? 1 : 0); });
  asyncSocketEnd(s, h);
  return 1;
}

// -- Accept

// A socket for an accepted descriptor: open and connected, one use.
AsyncSocket *asyncSocketAdopt(int fd) {
  AsyncSocket *s = nullptr;
  AsyncSocket_Create(&s);
  auto *h = new (MEM_ALLOC(sizeof(AsyncSocketHandle), MEM_ZEROED)) AsyncSocketHandle();
  h->fd = fd;
  h->uses = 1;
  s->handle = h;
  s->protocol = kAsyncSocketProtocolTcp;
  s->open.store(1);
  s->connected.store(1);
  return s;
}

int asyncSocketAcceptStep(void *key, IOWorkerRequest *io) {
  auto *s = static_cast<AsyncSocket *>(key);
  AsyncSocketOp *op = &s->acceptOp;
  AsyncSocketHandle *h = op->handle;
  for (int round = 0; io->error == 0 && asyncSocketCurrent(s, h); round++) {
    if (round == kAsyncSocketRoundsInPlace) {
      op->io.routine = asyncSocketAcceptStep;
      IOWorker_Post(s, &op->io);
      return 1;
    }
    sockaddr_in from{};
    socklen_t length = sizeof from;
    int fd = accept4(h->fd, reinterpret_cast<sockaddr *>(&from), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      // A connection that went before it was taken: the next one.
      if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
      if ((err == EAGAIN || err == EWOULDBLOCK) &&
          asyncSocketWait(op, asyncSocketAcceptStep, kIOWorkerReadable))
        return 1;
      if (err != EAGAIN && err != EWOULDBLOCK)
        Log_Print(LOG_DEBUG, KSRC, 0, "AsyncSocket: accept failed (%d)\n", asyncSocketErrno(err));
      break;  // descriptors exhausted or another failure: the owner restarts the loop
    }
    int expected = -1;
    if (!s->acceptFd.compare_exchange_strong(expected, fd))
      Core_Abort(KSRC, "Already accepting socket");
    AsyncSocket *accepted = asyncSocketAdopt(fd);
    bool failed = false;
    if (length < sizeof(sockaddr_in) || from.sin_family != AF_INET) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Failed to acquire remote address (%d)\n",
                Platform_GetLastError());
      failed = true;
    }
    accepted->address = from.sin_addr.s_addr;
    accepted->port = ntohs(from.sin_port);
    bool more = accepted->port != 0;
    if (more && !failed) {
      failed = !asyncSocketAssociate(accepted, accepted->handle);
      MeterRW_Reset(accepted->meter);
      int result = 0;
      if (!failed)
        asyncSocketCall<AsyncSocketAcceptFunction>(
            s, kCellAccept,
            [&](AsyncSocketAcceptFunction f, void *context) { result = f(s, context, accepted); });
      if (result == 0) failed = true;
    }
    s->acceptFd.store(-1);
    if (failed) AsyncSocket_Close(accepted);
    // The owner keeps an accepted socket only through its own reference.
    Class_ReleaseObject(&accepted);
    if (!more) break;
  }
  s->accepting.store(0);
  asyncSocketEnd(s, h);
  return 1;
}

// -- Read

int asyncSocketReadStep(void *key, IOWorkerRequest *io);

// Ends reading: the flag cleared and the meter's reservation returned.
int asyncSocketReadEnd(AsyncSocket *s) {
  AsyncSocketHandle *h = s->readOp.handle;
  MeterRW_AddReadBytes(s->meter, 0);
  s->reading.store(0);
  // A start that met the loop while it was ending: the owner may have made
  // room after the loop asked. Whichever of the two takes the flag starts it
  // (here while the loop's reference still holds the socket).
  if (s->readOp.again.exchange(0)) AsyncSocket_StartRead(s);
  asyncSocketEnd(s, h);
  return 1;
}

// One receive on h's descriptor while h is the socket's open handle, under
// the socket's lock, so that a Close waits for it: bytes of a connection the
// owner has closed never reach the next one. -1 with ECANCELED once h is no
// longer current.
ssize_t asyncSocketRecv(AsyncSocket *s, AsyncSocketHandle *h, void *room, size_t size,
                        int *error) {
  ssize_t got = -1;
  int err = ECANCELED;
  CriticalSection_Enter(s->lock);
  if (s->open.load() && s->handle == h) {
    do got = recv(h->fd, room, size, MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    err = got < 0 ? errno : 0;
  }
  CriticalSection_Leave(s->lock);
  *error = err;
  return got;
}

// A receive into the owner's room (AsyncSocketReceive).
struct AsyncSocketReceiving {
  AsyncSocket *s;
  AsyncSocketHandle *h;
  MeterRW *meter;
  int32_t length;  // the round's
  int called;
  ssize_t got;
  int error;
};

int32_t asyncSocketReceiveInto(void *receiver, uint8_t *room, int32_t size) {
  auto *r = static_cast<AsyncSocketReceiving *>(receiver);
  if (r->called) return 0;
  r->called = 1;
  size = std::min(size, r->length);
  if (size > 0 && room != nullptr) {
    r->got = asyncSocketRecv(r->s, r->h, room, size_t(size), &r->error);
  } else {
    r->got = -1;
    r->error = EINVAL;
  }
  // Counted before the owner sees the bytes: what it finishes with them is
  // already in the meter.
  if (r->got > 0) MeterRW_AddReadBytes(r->meter, r->got);
  return r->got > 0 ? int32_t(r->got) : 0;
}

// One receive of the length asked, into the owner's room when it takes the
// round, else through the socket's buffer to the Read callback; then the
// next round, a wait or the end.
int asyncSocketReceive(void *key, IOWorkerRequest *io) {
  auto *s = static_cast<AsyncSocket *>(key);
  AsyncSocketOp *op = &s->readOp;
  if (io->error != 0 || !s->connected.load() || !asyncSocketCurrent(s, op->handle))
    return asyncSocketReadEnd(s);
  for (;;) {
    AsyncSocketReceiving into{s, op->handle, s->meter, int32_t(op->length), 0, -1, 0};
    asyncSocketCall<AsyncSocketReadIntoFunction>(
        s, kCellReadInto, [&](AsyncSocketReadIntoFunction f, void *context) {
          f(s, context, into.length, asyncSocketReceiveInto, &into);
        });
    ssize_t got = into.got;
    int err = into.error;
    if (!into.called) {
      got = asyncSocketRecv(s, op->handle, op->buffer,
                            std::min(op->length, uint32_t(kAsyncSocketRoundBytes)), &err);
      if (got > 0) {
        MeterRW_AddReadBytes(s->meter, got);
        asyncSocketCall<AsyncSocketReadFunction>(
            s, kCellRead, [&](AsyncSocketReadFunction f, void *context) {
              f(s, context, op->buffer, int32_t(got));
            });
      }
    }
    if (got > 0) return asyncSocketReadStep(key, io);
    if (got == 0) {
      asyncSocketCloseOpen(s, op->handle, 0);
      return asyncSocketReadEnd(s);
    }
    if (err == EINTR) continue;
    if ((err == EAGAIN || err == EWOULDBLOCK) &&
        asyncSocketWait(op, asyncSocketReceive, kIOWorkerReadable))
      return 1;
    if (err != EAGAIN && err != EWOULDBLOCK) asyncSocketFail(s, op->handle, asyncSocketErrno(err));
    return asyncSocketReadEnd(s);
  }
}

// Step 1: how much the owner takes now and the meter allows.
int asyncSocketReadStep(void *key, IOWorkerRequest *io) {
  auto *s = static_cast<AsyncSocket *>(key);
  AsyncSocketOp *op = &s->readOp;
  // Rounds run in place up to a limit, then the loop queues itself again.
  if (io->routine != asyncSocketReadStep && ++io->spare >= uint32_t(kAsyncSocketRoundsInPlace)) {
    io->spare = 0;
    io->routine = asyncSocketReadStep;
    IOWorker_Post(s, io);
    return 1;
  }
  io->routine = asyncSocketReceive;
  if (io->error != 0 || !s->connected.load() || !asyncSocketCurrent(s, op->handle))
    return asyncSocketReadEnd(s);
  int32_t maximum =
      asyncSocketHasCell(s, kCellReadInto) ? kAsyncSocketReadIntoBytes : kAsyncSocketRoundBytes;
  int64_t n = asyncSocketSize(s, kCellReadSize, maximum);
  if (n > 0 && !MeterRW_RequestRead(s->meter, &n)) n = 0;
  if (n <= 0) return asyncSocketReadEnd(s);
  op->length = uint32_t(n);
  return asyncSocketReceive(key, io);
}

// -- Write

int asyncSocketWriteStep(void *key, IOWorkerRequest *io);

int asyncSocketWriteEnd(AsyncSocket *s) {
  AsyncSocketHandle *h = s->writeOp.handle;
  // What went of a round cut short counts; the rest of the reservation
  // returns.
  MeterRW_AddWriteBytes(s->meter, s->writeOp.done);
  s->writeOp.done = 0;
  s->writing.store(0);
  asyncSocketEnd(s, h);
  return 1;
}

// Sends the rest of the round; a partial send waits for room and goes on.
int asyncSocketSend(void *key, IOWorkerRequest *io) {
  auto *s = static_cast<AsyncSocket *>(key);
  AsyncSocketOp *op = &s->writeOp;
  if (io->error != 0 || !s->connected.load() || !asyncSocketCurrent(s, op->handle))
    return asyncSocketWriteEnd(s);
  while (op->done < op->length) {
    ssize_t sent = send(op->handle->fd, op->buffer + op->done, op->length - op->done,
                        MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      op->done += uint32_t(sent);
      continue;
    }
    int err = sent == 0 ? EPIPE : errno;
    if (err == EINTR) continue;
    if ((err == EAGAIN || err == EWOULDBLOCK) &&
        asyncSocketWait(op, asyncSocketSend, kIOWorkerWritable))
      return 1;
    if (err != EAGAIN && err != EWOULDBLOCK) asyncSocketFail(s, op->handle, asyncSocketErrno(err));
    return asyncSocketWriteEnd(s);
  }
  MeterRW_AddWriteBytes(s->meter, op->length);
  op->done = 0;
  return asyncSocketWriteStep(key, io);
}

// A send from the owner's file (AsyncSocketSendFile).
struct AsyncSocketSending {
  int fd;
  MeterRW *meter;
  int called;
  int64_t sent;
  int error;
};

int64_t asyncSocketSendFileFrom(void *sender, int fd, int64_t offset, int64_t count) {
  auto *r = static_cast<AsyncSocketSending *>(sender);
  if (r->called) return 0;
  r->called = 1;
  int64_t n = std::min(count, kAsyncSocketFileRoundBytes);
  if (n > 0 && !MeterRW_RequestWrite(r->meter, &n)) n = 0;
  if (n <= 0) return r->sent = 0;
  off_t at = off_t(offset);
  ssize_t sent;
  do sent = sendfile(r->fd, fd, &at, size_t(n));
  while (sent < 0 && errno == EINTR);
  // A file that ends before the count the owner announced cannot be made good.
  r->error = sent < 0 ? errno : sent == 0 ? EIO : 0;
  MeterRW_AddWriteBytes(r->meter, sent > 0 ? sent : 0);
  if (r->error == EAGAIN || r->error == EWOULDBLOCK) return r->sent = 0;
  return r->sent = sent > 0 ? sent : -1;
}

// The owner's file round, when it takes one: true with the loop's next step
// taken (the next round, a wait for room or the end).
bool asyncSocketWriteFile(AsyncSocket *s, IOWorkerRequest *io, int *result) {
  AsyncSocketOp *op = &s->writeOp;
  AsyncSocketSending sending{op->handle->fd, s->meter, 0, 0, 0};
  asyncSocketCall<AsyncSocketWriteFileFunction>(
      s, kCellWriteFile, [&](AsyncSocketWriteFileFunction f, void *context) {
        f(s, context, asyncSocketSendFileFrom, &sending);
      });
  if (!sending.called) return false;
  if (sending.sent > 0) {
    *result = asyncSocketWriteStep(s, io);
  } else if ((sending.error == EAGAIN || sending.error == EWOULDBLOCK) &&
             asyncSocketWait(op, asyncSocketWriteStep, kIOWorkerWritable)) {
    *result = 1;
  } else {
    if (sending.error != 0 && sending.error != EAGAIN && sending.error != EWOULDBLOCK)
      asyncSocketFail(s, op->handle, asyncSocketErrno(sending.error));
    *result = asyncSocketWriteEnd(s);
  }
  return true;
}

int asyncSocketWriteStep(void *key, IOWorkerRequest *io) {
  auto *s = static_cast<AsyncSocket *>(key);
  AsyncSocketOp *op = &s->writeOp;
  if (io->routine != asyncSocketWriteStep && ++io->spare >= uint32_t(kAsyncSocketRoundsInPlace)) {
    io->spare = 0;
    io->routine = asyncSocketWriteStep;
    IOWorker_Post(s, io);
    return 1;
  }
  io->routine = asyncSocketSend;
  if (io->error != 0 || !s->connected.load() || !asyncSocketCurrent(s, op->handle))
    return asyncSocketWriteEnd(s);
  int result = 0;
  if (asyncSocketHasCell(s, kCellWriteFile) && asyncSocketWriteFile(s, io, &result))
    return result;
  int64_t n = asyncSocketSize(s, kCellWriteSize, kAsyncSocketRoundBytes);
  if (n > 0 && !MeterRW_RequestWrite(s->meter, &n)) n = 0;
  int32_t count = 0;
  if (n > 0)
    asyncSocketCall<AsyncSocketWriteFunction>(
        s, kCellWrite, [&](AsyncSocketWriteFunction f, void *context) {
          count = f(s, context, op->buffer, int32_t(n));
        });
  if (count <= 0) return asyncSocketWriteEnd(s);
  op->length = uint32_t(std::min<int64_t>(count, n));
  op->done = 0;
  return asyncSocketSend(key, io);
}

// ---- Object ----------------------------------------------------------------

void asyncSocketDestroy(void **object) {
  auto *s = static_cast<AsyncSocket *>(*object);
  *object = nullptr;
  // No loop runs (each holds a reference): the cells and their locks go,
  // then the descriptor closes quietly.
  for (CallbackCellLocked &cell : s->cells) Callback_SetLocked(&cell, nullptr, nullptr);
  CriticalSection_Enter(s->lock);
  AsyncSocketHandle *h = s->handle;
  s->handle = nullptr;
  s->open.store(0);
  CriticalSection_Leave(s->lock);
  if (h) {
    if (h->associated.load()) IOWorker_Dissociate(h->fd);
    asyncSocketUnuse(s, h);
  }
  MeterRW_Delete(&s->meter);
  CriticalSection_Delete(&s->lock);
  for (AsyncSocketOp *op : {&s->readOp, &s->writeOp})
    MEM_FREE(op->buffer, size_t(kAsyncSocketRoundBytes));
  s->header.classTag = 0;
  s->~AsyncSocket();
  MEM_FREE(s, sizeof(AsyncSocket));
  if (gAsyncSocket) gAsyncSocket->live.fetch_sub(1);
}

int asyncSocketStartLoop(AsyncSocket *s, std::atomic<int32_t> *flag, AsyncSocketOp *op,
                         IOWorkerRoutine routine, bool needsConnected, bool here = false) {
  ASYNCSOCKET_CHECK(s);
  if (!AsyncSocket_IsOpen(s)) return 0;
  if (needsConnected && !s->connected.load()) return 1;
  int32_t idle = 0;
  if (!flag->compare_exchange_strong(idle, 1)) {
    op->again.store(1);
    // The loop may have ended between the two: then start it here.
    idle = 0;
    if (!flag->compare_exchange_strong(idle, 1)) return 1;
  }
  op->again.store(0);
  op->io.error = 0;
  op->io.spare = 0;
  return asyncSocketStart(s, op, flag, routine, here);
}

struct ProtocolRow {
  int32_t code;
  int type;
  int protocol;
};
constexpr ProtocolRow kAsyncSocketProtocols[] = {
    {1, SOCK_STREAM, IPPROTO_TCP}, {2, SOCK_DGRAM, IPPROTO_UDP}, {3, SOCK_DGRAM, 3},
    {4, SOCK_DGRAM, IPPROTO_ICMP}, {5, SOCK_DGRAM, 0},           {6, SOCK_DGRAM, 0},
    {10, SOCK_RAW, 0},
};

}  // namespace

int AsyncSocket_Init(void) {
  if (gAsyncSocket != nullptr)
    Core_Abort(KSRC,
               "Assertion failed (GlobalAsyncSocket == NULL)\nAsyncSocket already initialized");
  auto *g = new (MEM_ALLOC(sizeof(AsyncSocketGlobal), MEM_ZEROED)) AsyncSocketGlobal();
  g->tag = kAsyncSocketGlobalTag;
  gAsyncSocket = g;
  return 1;
}

int AsyncSocket_Shutdown(void) {
  AsyncSocketGlobal *g = gAsyncSocket;
  if (g == nullptr) return 1;
  while (g->inFlight.load() > 0) Platform_SleepMs(1);
  gAsyncSocket = nullptr;
  g->tag = 0;
  g->~AsyncSocketGlobal();
  MEM_FREE(g, sizeof(AsyncSocketGlobal));
  return 1;
}

int32_t AsyncSocket_GetInFlightCount(void) {
  return gAsyncSocket ? gAsyncSocket->inFlight.load() : 0;
}

int32_t AsyncSocket_GetLiveCount(void) { return gAsyncSocket ? gAsyncSocket->live.load() : 0; }

int AsyncSocket_CreateHandle(int32_t protocol, int *fd) {
  CHECK_POINTER(fd);
  *fd = -1;
  for (const ProtocolRow &row : kAsyncSocketProtocols) {
    if (row.code != protocol) continue;
    int created = socket(AF_INET, row.type | SOCK_NONBLOCK | SOCK_CLOEXEC, row.protocol);
    if (created < 0) {
      Platform_SetLastError(asyncSocketErrno(errno));
      return 0;
    }
    *fd = created;
    return 1;
  }
  Log_Print(LOG_DEBUG, KSRC, 0, "Unknown socket protocol '%d'\n", protocol);
  Platform_SetLastError(kAsyncSocketErrorBadProtocol);
  return 0;
}

int AsyncSocket_Create(AsyncSocket **socket) {
  CHECK_POINTER(socket);
  AsyncSocketGlobal *g = asyncSocketGlobal(KSRC);
  auto *s = new (MEM_ALLOC(sizeof(AsyncSocket), MEM_ZEROED)) AsyncSocket();
  s->header.classTag = kAsyncSocketTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = asyncSocketDestroy;
  s->acceptFd.store(-1);
  MeterRW_Create(&s->meter);
  CriticalSection_Create(&s->lock);
  for (AsyncSocketOp *op : {&s->readOp, &s->writeOp})
    op->buffer = static_cast<uint8_t *>(MEM_ALLOC(size_t(kAsyncSocketRoundBytes), 0));
  g->live.fetch_add(1);
  *socket = s;
  return 1;
}

int AsyncSocket_Open(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  if (s->open.load())
    Core_Abort(KSRC,
               "Assertion failed (AsyncSocket->Handle == INVALID_SOCKET)\nAttempted to open an "
               "in-use socket");
  int fd = -1;
  if (!AsyncSocket_CreateHandle(kAsyncSocketProtocolTcp, &fd))
    return asyncSocketRecord(s, Platform_GetLastError());
  auto *h = new (MEM_ALLOC(sizeof(AsyncSocketHandle), MEM_ZEROED)) AsyncSocketHandle();
  h->fd = fd;
  h->uses = 1;
  s->protocol = kAsyncSocketProtocolTcp;
  MeterRW_Reset(s->meter);
  CriticalSection_Enter(s->lock);
  s->handle = h;
  s->connected.store(0);
  s->open.store(1);
  CriticalSection_Leave(s->lock);
  return 1;
}

int AsyncSocket_Bind(AsyncSocket *s, uint32_t address, int32_t port) {
  ASYNCSOCKET_CHECK(s);
  s->lastError.store(0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(uint16_t(port));
  at.sin_addr.s_addr = address;
  int error = 0;
  int bound = asyncSocketWithFd(s, [&](AsyncSocketHandle *h) {
    if (bind(h->fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0) return 1;
    error = asyncSocketErrno(errno);
    return 0;
  });
  if (!bound) return error ? asyncSocketRecord(s, error) : 0;
  s->address = address;
  s->port = port;
  return 1;
}

int AsyncSocket_Listen(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  int error = 0;
  int listening = asyncSocketWithFd(s, [&](AsyncSocketHandle *h) {
    if (listen(h->fd, kAsyncSocketBacklog) != 0) {
      error = asyncSocketErrno(errno);
      return 0;
    }
    return asyncSocketAssociate(s, h);
  });
  if (!listening && error) asyncSocketRecord(s, error);
  return listening;
}

int AsyncSocket_Connect(AsyncSocket *s, uint32_t address, int32_t port) {
  ASYNCSOCKET_CHECK(s);
  AsyncSocketHandle *h = asyncSocketAcquire(s);
  if (h == nullptr) return 0;
  s->lastError.store(0);
  MeterRW_Reset(s->meter);
  s->address = address;
  s->port = port;
  if (!asyncSocketAssociate(s, h)) {
    asyncSocketUnuse(s, h);
    return 0;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(port));
  to.sin_addr.s_addr = address;
  AsyncSocketOp *op = &s->connectOp;
  op->handle = h;
  op->io.error = 0;
  op->io.routine = asyncSocketConnectDone;
  asyncSocketBegin(s);
  int result;
  do result = connect(h->fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
  while (result != 0 && errno == EINTR);
  if (result == 0) {
    IOWorker_Post(s, &op->io);
    return 1;
  }
  int err = errno;
  if (err == EINPROGRESS && IOWorker_PostWhenReady(h->fd, &op->io, kIOWorkerWritable)) return 1;
  int32_t error = err == EINPROGRESS ? Platform_GetLastError() : asyncSocketErrno(err);
  asyncSocketFail(s, h, error);
  Platform_SetLastError(error);
  asyncSocketEnd(s, h);
  return 0;
}

int AsyncSocket_StartAccept(AsyncSocket *s) {
  return asyncSocketStartLoop(s, &s->accepting, &s->acceptOp, asyncSocketAcceptStep, false);
}

int AsyncSocket_StartRead(AsyncSocket *s) {
  return asyncSocketStartLoop(s, &s->reading, &s->readOp, asyncSocketReadStep, true);
}

int AsyncSocket_StartWrite(AsyncSocket *s) {
  return asyncSocketStartLoop(s, &s->writing, &s->writeOp, asyncSocketWriteStep, true);
}

int AsyncSocket_WriteNow(AsyncSocket *s) {
  return asyncSocketStartLoop(s, &s->writing, &s->writeOp, asyncSocketWriteStep, true, true);
}

int AsyncSocket_ShutdownSend(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  int error = 0;
  int done = asyncSocketWithFd(s, [&](AsyncSocketHandle *h) {
    if (shutdown(h->fd, SHUT_WR) == 0) return 1;
    error = asyncSocketErrno(errno);
    return 0;
  });
  if (!done && error) asyncSocketRecord(s, error);
  return done;
}

int AsyncSocket_Close(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  return asyncSocketCloseOpen(s, nullptr, 0);
}

int AsyncSocket_IsOpen(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  CriticalSection_Enter(s->lock);
  int open = s->open.load() && s->handle != nullptr;
  CriticalSection_Leave(s->lock);
  return open;
}

int AsyncSocket_IsConnected(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  return s->connected.load() && s->open.load();
}

int AsyncSocket_IsAccepting(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  return s->accepting.load();
}

int AsyncSocket_IsReading(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  return s->reading.load();
}

int AsyncSocket_IsWriting(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  return s->writing.load();
}

int AsyncSocket_SetOption(AsyncSocket *s, int level, int option, int flag) {
  ASYNCSOCKET_CHECK(s);
  s->lastError.store(0);
  int error = 0;
  int set = asyncSocketWithFd(s, [&](AsyncSocketHandle *h) {
    int value = flag;
    if (setsockopt(h->fd, level, option, &value, sizeof value) == 0) return 1;
    error = asyncSocketErrno(errno);
    return 0;
  });
  if (!set && error) asyncSocketRecord(s, error);
  return set;
}

int AsyncSocket_SetLinger(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  int error = 0;
  int set = asyncSocketWithFd(s, [&](AsyncSocketHandle *h) {
    linger value{1, kAsyncSocketLingerSeconds};
    if (setsockopt(h->fd, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) {
      error = asyncSocketErrno(errno);
      return 0;
    }
    h->linger.store(1);
    return 1;
  });
  if (!set && error) asyncSocketRecord(s, error);
  return set;
}

int AsyncSocket_GetAddress(AsyncSocket *s, uint32_t *address, int32_t *port) {
  ASYNCSOCKET_CHECK(s);
  CHECK_POINTER(address);
  CHECK_POINTER(port);
  if (!AsyncSocket_IsOpen(s)) return 0;
  *address = s->address;
  *port = s->port;
  return 1;
}

int AsyncSocket_GetLocalAddress(AsyncSocket *s, uint32_t *address, int32_t *port) {
  ASYNCSOCKET_CHECK(s);
  CHECK_POINTER(address);
  CHECK_POINTER(port);
  sockaddr_in at{};
  return asyncSocketWithFd(s, [&](AsyncSocketHandle *h) {
    socklen_t length = sizeof at;
    if (getsockname(h->fd, reinterpret_cast<sockaddr *>(&at), &length) != 0) {
      Platform_SetLastError(asyncSocketErrno(errno));
      return 0;
    }
    *address = at.sin_addr.s_addr;
    *port = ntohs(at.sin_port);
    return 1;
  });
}

int32_t AsyncSocket_GetError(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  return s->lastError.load();
}

void AsyncSocket_ClearError(AsyncSocket *s) {
  ASYNCSOCKET_CHECK(s);
  s->lastError.store(0);
}

int AsyncSocket_GetMeter(AsyncSocket *s, MeterRW **meter) {
  ASYNCSOCKET_CHECK(s);
  CHECK_POINTER(meter);
  *meter = s->meter;
  return 1;
}

int AsyncSocket_SetAcceptCallback(AsyncSocket *s, void *context,
                                  AsyncSocketAcceptFunction function) {
  return asyncSocketSetCell(s, kCellAccept, context, reinterpret_cast<CallbackFunction>(function));
}

int AsyncSocket_SetReadSizeCallback(AsyncSocket *s, void *context,
                                    AsyncSocketSizeFunction function) {
  return asyncSocketSetCell(s, kCellReadSize, context,
                            reinterpret_cast<CallbackFunction>(function));
}

int AsyncSocket_SetReadCallback(AsyncSocket *s, void *context, AsyncSocketReadFunction function) {
  return asyncSocketSetCell(s, kCellRead, context, reinterpret_cast<CallbackFunction>(function));
}

int AsyncSocket_SetReadIntoCallback(AsyncSocket *s, void *context,
                                    AsyncSocketReadIntoFunction function) {
  return asyncSocketSetCell(s, kCellReadInto, context,
                            reinterpret_cast<CallbackFunction>(function));
}

int AsyncSocket_SetWriteSizeCallback(AsyncSocket *s, void *context,
                                     AsyncSocketSizeFunction function) {
  return asyncSocketSetCell(s, kCellWriteSize, context,
                            reinterpret_cast<CallbackFunction>(function));
}

int AsyncSocket_SetWriteCallback(AsyncSocket *s, void *context,
                                 AsyncSocketWriteFunction function) {
  return asyncSocketSetCell(s, kCellWrite, context, reinterpret_cast<CallbackFunction>(function));
}

int AsyncSocket_SetWriteFileCallback(AsyncSocket *s, void *context,
                                     AsyncSocketWriteFileFunction function) {
  return asyncSocketSetCell(s, kCellWriteFile, context,
                            reinterpret_cast<CallbackFunction>(function));
}

int AsyncSocket_SetCloseCallback(AsyncSocket *s, void *context,
                                 AsyncSocketCloseFunction function) {
  return asyncSocketSetCell(s, kCellClose, context, reinterpret_cast<CallbackFunction>(function));
}

int AsyncSocket_SetConnectCallback(AsyncSocket *s, void *context,
                                   AsyncSocketConnectFunction function) {
  return asyncSocketSetCell(s, kCellConnect, context,
                            reinterpret_cast<CallbackFunction>(function));
}
