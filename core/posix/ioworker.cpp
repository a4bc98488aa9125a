// The I/O worker on Linux: a mutex-guarded completion queue, the pool
// threads and the epoll reactor; see core/platform/ioworker.h.
//
// A pool thread that finds the queue empty sleeps on a futex word of its
// own, on a stack of sleepers. A post that needs a sleeper pops the one that
// went to sleep last (its caches are the warmest), hands it the oldest packet
// and wakes it after leaving the lock. With a condition variable the woken
// thread would take the lock straight back from the poster, and both would
// sleep on it again whenever another poster came between them: per small file
// that lock traffic was as many system calls as the wake-ups themselves.
// The woken thread still claims its packet under the lock, so that
// IOWorker_Dissociate finds a handed packet as it finds a queued one.
// A thread that has run a packet does not spin on the queue before it
// sleeps: measured on sync and serve, such a watch cost more processor time
// than the wake-ups it saved, and gained no wall time.
#include "core/platform/ioworker.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/posix/futex.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/posix/errors.h"
#include "core/runtime/print.h"
#include "core/platform/thread.h"

namespace {

constexpr int32_t kIOWorkerFirstQueueSlots = 64;
constexpr int kIOWorkerReactorBatch = 64;
// The reactor's own descriptor in epoll data: no fd reaches this value.
constexpr uint64_t kIOWorkerCommandTag = ~uint64_t(0);

// One queued packet. tag names the association whose readiness queued it
// ((generation << 32) | fd), 0 for every other packet.
struct IOWorkerPacket {
  void *key;
  IOWorkerRequest *request;
  uint64_t tag;
};

// A pool thread asleep in ioWorkerTake, on its stack. handed is the futex
// word: 1 once a poster has put a packet in packet. packet and next are
// guarded by queueLock; the sleeper is on the idle stack while it waits and
// on the handed list from the hand-off until it claims the packet.
struct IOWorkerSleeper {
  std::atomic<uint32_t> handed;
  IOWorkerPacket packet;
  IOWorkerSleeper *next;
};

// One descriptor's place in the reactor. generation grows with every
// associate and dissociate of the number and is never reset, so readiness
// reported for an earlier association of a reused number is recognised.
struct IOWorkerAssociation {
  int32_t used;
  uint32_t generation;
  void *key;
  IOWorkerRequest *reader;  // the waiting read (or accept, connect) request
  IOWorkerRequest *writer;
};

struct GlobalIOWorker {
  uint32_t tag;  // kIOWorkerTag
  std::atomic<int32_t> threadCount;
  std::atomic<int32_t> busyCount;
  double lastGrowthCheck;  // main thread only
  Thread *slots[kIOWorkerMaxThreads];  // main thread only

  // The completion queue: a ring of packets, guarded by queueLock, with the
  // sleeping threads and those handed a packet they have not claimed yet.
  pthread_mutex_t queueLock;
  IOWorkerSleeper *idle;    // a stack: the last to sleep is woken first
  IOWorkerSleeper *handed;  // woken with a packet, not yet claimed
  IOWorkerPacket *ring;
  int32_t ringSlots;
  int32_t ringHead;
  int32_t ringCount;

  // The reactor; the table is guarded by reactorLock.
  pthread_mutex_t reactorLock;
  int epollFd;
  int commandFd;  // eventfd; a write stops the reactor
  Thread *reactor;
  IOWorkerAssociation *table;  // indexed by descriptor
  int32_t tableSlots;
};

GlobalIOWorker *gIOWorker = nullptr;
std::atomic<double> gIOWorkerIdleSeconds{kIOWorkerIdleSeconds};

// The quit request's routine: the empty routine, recognised by address.
int ioWorkerQuitRoutine(void *, IOWorkerRequest *) { return 1; }
IOWorkerRequest gIOWorkerQuit = {0, 0, 0, 0, 0, ioWorkerQuitRoutine};

GlobalIOWorker *ioWorkerGlobals(const char *sourcePath, int line) {
  if (gIOWorker == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
  return gIOWorker;
}

[[noreturn]] void ioWorkerCannotCreate(void) {
  Core_Abort(KSRC,
             "Assertion failed (GlobalIOWorker->IOCPHandle != NULL)\nUnable to create IOWorker");
}

// ---- Completion queue ------------------------------------------------------

// Takes the oldest packet of the ring; queueLock held, the ring not empty.
IOWorkerPacket ioWorkerPopLocked(GlobalIOWorker *w) {
  IOWorkerPacket packet = w->ring[w->ringHead];
  w->ringHead = (w->ringHead + 1) % w->ringSlots;
  w->ringCount--;
  return packet;
}

// Removes the sleeper from a list it is on; queueLock held.
void ioWorkerUnlinkSleeper(IOWorkerSleeper **list, IOWorkerSleeper *sleeper) {
  for (IOWorkerSleeper **at = list; *at != nullptr; at = &(*at)->next) {
    if (*at != sleeper) continue;
    *at = sleeper->next;
    sleeper->next = nullptr;
    return;
  }
}

void ioWorkerFutexWake(IOWorkerSleeper *sleeper) {
  // The sleeper may have claimed its packet and left already.
  Futex_Wake(&sleeper->handed, 1);
}

void ioWorkerAppendLocked(GlobalIOWorker *w, const IOWorkerPacket &packet) {
  if (w->ringCount == w->ringSlots) {
    int32_t slots = w->ringSlots ? w->ringSlots * 2 : kIOWorkerFirstQueueSlots;
    auto *ring = static_cast<IOWorkerPacket *>(MEM_ALLOC(sizeof(IOWorkerPacket) * slots, 0));
    for (int32_t i = 0; i < w->ringCount; i++)
      ring[i] = w->ring[(w->ringHead + i) % w->ringSlots];
    if (w->ring) MEM_FREE(w->ring, sizeof(IOWorkerPacket) * w->ringSlots);
    w->ring = ring;
    w->ringSlots = slots;
    w->ringHead = 0;
  }
  w->ring[(w->ringHead + w->ringCount) % w->ringSlots] = packet;
  w->ringCount++;
}

// Queues a packet; queueLock held. When a thread sleeps, the last to sleep is
// handed the packet and returned, to be woken once the caller has left the
// lock; else NULL. A thread goes to sleep only when the ring is empty, and
// while one sleeps every packet goes straight to a sleeper, so the packet
// handed is the oldest: packets still start in the order they were queued.
IOWorkerSleeper *ioWorkerPushLocked(GlobalIOWorker *w, const IOWorkerPacket &packet) {
  IOWorkerSleeper *sleeper = w->idle;
  if (sleeper == nullptr) {
    ioWorkerAppendLocked(w, packet);
    return nullptr;
  }
  w->idle = sleeper->next;
  sleeper->packet = packet;
  sleeper->next = w->handed;
  w->handed = sleeper;
  sleeper->handed.store(1, std::memory_order_release);
  return sleeper;
}

void ioWorkerPush(GlobalIOWorker *w, const IOWorkerPacket &packet) {
  pthread_mutex_lock(&w->queueLock);
  IOWorkerSleeper *woken = ioWorkerPushLocked(w, packet);
  pthread_mutex_unlock(&w->queueLock);
  if (woken != nullptr) ioWorkerFutexWake(woken);
}

// Sleeps until a poster hands the sleeper a packet or the deadline passes.
void ioWorkerSleep(IOWorkerSleeper *sleeper, const struct timespec *until) {
  while (sleeper->handed.load(std::memory_order_acquire) == 0)
    if (Futex_Wait(&sleeper->handed, 0, until) == ETIMEDOUT) return;
}

// Takes the oldest packet, waiting up to waitMs. 1 with *packet, 0 on a
// time-out.
int ioWorkerTake(GlobalIOWorker *w, int32_t waitMs, IOWorkerPacket *packet) {
  pthread_mutex_lock(&w->queueLock);
  if (w->ringCount > 0) {
    *packet = ioWorkerPopLocked(w);
    pthread_mutex_unlock(&w->queueLock);
    return 1;
  }
  IOWorkerSleeper sleeper;
  sleeper.handed.store(0, std::memory_order_relaxed);
  sleeper.next = w->idle;
  w->idle = &sleeper;
  pthread_mutex_unlock(&w->queueLock);
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += waitMs / 1000;
  until.tv_nsec += long(waitMs % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec++;
    until.tv_nsec -= 1000000000L;
  }
  ioWorkerSleep(&sleeper, &until);
  // The claim: a hand-off made before the lock is taken here is this
  // thread's packet, whether or not its wake-up came first.
  pthread_mutex_lock(&w->queueLock);
  int taken = 1;
  if (sleeper.handed.load(std::memory_order_relaxed) != 0) {
    ioWorkerUnlinkSleeper(&w->handed, &sleeper);
    *packet = sleeper.packet;
  } else {
    ioWorkerUnlinkSleeper(&w->idle, &sleeper);
    taken = 0;
  }
  pthread_mutex_unlock(&w->queueLock);
  return taken;
}

// ---- Pool threads ----------------------------------------------------------

double ioWorkerIdleSeconds(void) { return gIOWorkerIdleSeconds.load(std::memory_order_relaxed); }

// The wait of one round: 5000 ms, shorter when the idle deadline is nearer.
int32_t ioWorkerWaitMs(double deadline) {
  double left = deadline - Platform_GetTickSeconds();
  if (left <= 0) return kIOWorkerWaitMs;
  double ms = left * 1000.0 + 1.0;
  return ms < kIOWorkerWaitMs ? int32_t(ms) : kIOWorkerWaitMs;
}

// The continuation of the routine running on this pool thread
// (IOWorker_Continue); running is 1 while the loop runs a routine.
struct IOWorkerContinuation {
  int32_t running;
  void *key;
  IOWorkerRequest *request;
};
thread_local IOWorkerContinuation tIOWorkerNext;

// Runs a routine, then the continuations it left, on this thread.
void ioWorkerRun(void *key, IOWorkerRequest *request) {
  IOWorkerContinuation &next = tIOWorkerNext;
  next.running = 1;
  while (request != nullptr) {
    request->routine(key, request);
    key = next.key;
    request = next.request;
    next.key = nullptr;
    next.request = nullptr;
  }
  next.running = 0;
}

int ioWorkerLoop(void *userData) {
  auto *w = static_cast<GlobalIOWorker *>(userData);
  double deadline = Platform_GetTickSeconds() + ioWorkerIdleSeconds();
  for (;;) {
    Thread_FlushEvents();
    IOWorkerPacket packet;
    if (ioWorkerTake(w, ioWorkerWaitMs(deadline), &packet) && packet.key != nullptr &&
        packet.request != nullptr) {
      deadline = Platform_GetTickSeconds() + ioWorkerIdleSeconds();
      if (packet.request->routine == ioWorkerQuitRoutine) {
        w->threadCount.fetch_sub(1);
        return 0;
      }
      w->busyCount.fetch_add(1);
      ioWorkerRun(packet.key, packet.request);
      w->busyCount.fetch_sub(1);
      continue;
    }
    if (Platform_GetTickSeconds() < deadline) continue;
    // The first four stay: a thread leaves only by lowering a count that is
    // still above 4 at that instant, so two idle threads cannot both pass a
    // check made on the same value.
    int32_t count = w->threadCount.load();
    while (count > kIOWorkerPermanentThreads) {
      if (w->threadCount.compare_exchange_weak(count, count - 1)) return 0;
    }
  }
}

// Whether a debugger (any tracer) is attached to the process.
bool ioWorkerTraced(void) {
  int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[4096];
  ssize_t n;
  do n = read(fd, text, sizeof text - 1);
  while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  const char *line = strstr(text, "TracerPid:");
  if (line == nullptr) return false;
  line += strlen("TracerPid:");
  while (*line == ' ' || *line == '\t') line++;
  return *line != '\0' && *line != '0';
}

// ---- Reactor ---------------------------------------------------------------

uint64_t ioWorkerTagOf(int fd, uint32_t generation) {
  return (uint64_t(generation) << 32) | uint32_t(fd);
}

// The association of fd, growing the table to hold it; reactorLock held.
IOWorkerAssociation *ioWorkerSlot(GlobalIOWorker *w, int fd) {
  if (fd >= w->tableSlots) {
    int32_t slots = w->tableSlots ? w->tableSlots : 64;
    while (slots <= fd) slots *= 2;
    auto *table =
        static_cast<IOWorkerAssociation *>(MEM_ALLOC(sizeof(IOWorkerAssociation) * slots, MEM_ZEROED));
    if (w->table) {
      memcpy(table, w->table, sizeof(IOWorkerAssociation) * w->tableSlots);
      MEM_FREE(w->table, sizeof(IOWorkerAssociation) * w->tableSlots);
    }
    w->table = table;
    w->tableSlots = slots;
  }
  return &w->table[fd];
}

// Arms fd for the directions that have a waiting request; reactorLock held.
// Level-triggered: a descriptor that is ready already reports at once.
void ioWorkerArm(GlobalIOWorker *w, int fd, IOWorkerAssociation *a) {
  uint32_t events = 0;
  if (a->reader) events |= EPOLLIN | EPOLLRDHUP;
  if (a->writer) events |= EPOLLOUT;
  if (events == 0) return;
  struct epoll_event ev;
  ev.events = events | EPOLLONESHOT;
  ev.data.u64 = ioWorkerTagOf(fd, a->generation);
  if (epoll_ctl(w->epollFd, EPOLL_CTL_MOD, fd, &ev) != 0)
    Log_Print(LOG_ERROR, KSRC, 0, "IOWorker: cannot arm descriptor %d (errno %d)\n", fd, errno);
}

// Queues a request the reactor hands back; reactorLock held, so that
// IOWorker_Dissociate finds it either waiting or in the queue.
void ioWorkerDeliver(GlobalIOWorker *w, void *key, IOWorkerRequest *request, uint64_t tag,
                     uint32_t error) {
  request->error = error;
  request->bytesTransferred = 0;
  ioWorkerPush(w, IOWorkerPacket{key, request, tag});
}

void ioWorkerReady(GlobalIOWorker *w, uint64_t tag, uint32_t events) {
  int fd = int(uint32_t(tag));
  uint32_t generation = uint32_t(tag >> 32);
  pthread_mutex_lock(&w->reactorLock);
  if (fd < w->tableSlots) {
    IOWorkerAssociation *a = &w->table[fd];
    // Readiness of an earlier association of this number is dropped.
    if (a->used && a->generation == generation) {
      bool hangUp = events & (EPOLLERR | EPOLLHUP);
      if (a->reader && (hangUp || (events & (EPOLLIN | EPOLLRDHUP)))) {
        IOWorkerRequest *request = a->reader;
        a->reader = nullptr;
        ioWorkerDeliver(w, a->key, request, tag, 0);
      }
      if (a->writer && (hangUp || (events & EPOLLOUT))) {
        IOWorkerRequest *request = a->writer;
        a->writer = nullptr;
        ioWorkerDeliver(w, a->key, request, tag, 0);
      }
      // One-shot disarmed the descriptor; a direction still waiting is armed
      // again.
      ioWorkerArm(w, fd, a);
    }
  }
  pthread_mutex_unlock(&w->reactorLock);
}

// Turns a packet of the association's readiness into an abort; queueLock
// held.
void ioWorkerAbortReadiness(IOWorkerPacket *packet, uint64_t tag) {
  if (packet->tag != tag) return;
  packet->request->error = kIOWorkerErrorAborted;
  packet->request->bytesTransferred = 0;
  packet->tag = 0;
}

int ioWorkerReactorLoop(void *userData) {
  auto *w = static_cast<GlobalIOWorker *>(userData);
  struct epoll_event events[kIOWorkerReactorBatch];
  for (;;) {
    int n = epoll_wait(w->epollFd, events, kIOWorkerReactorBatch, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      Log_Print(LOG_ERROR, KSRC, 0, "IOWorker: epoll_wait failed (errno %d)\n", errno);
      return 1;
    }
    for (int i = 0; i < n; i++) {
      if (events[i].data.u64 == kIOWorkerCommandTag) return 0;  // the only command: stop
      ioWorkerReady(w, events[i].data.u64, events[i].events);
    }
  }
}

void ioWorkerStopReactor(GlobalIOWorker *w) {
  uint64_t one = 1;
  ssize_t n;
  do n = write(w->commandFd, &one, sizeof one);
  while (n < 0 && errno == EINTR);
  if (w->reactor) Thread_Join(-1, &w->reactor);
  close(w->commandFd);
  close(w->epollFd);
}

}  // namespace

int IOWorker_Init(void) {
  if (gIOWorker != nullptr)
    Core_Abort(KSRC, "Assertion failed (GlobalIOWorker == NULL)\nIOWorker already initialized");
  auto *w = new (MEM_ALLOC(sizeof(GlobalIOWorker), MEM_ZEROED)) GlobalIOWorker();
  w->tag = kIOWorkerTag;
  // Adaptive: a poster that finds the queue lock held spins for a moment
  // first, as the sections it guards are a few dozen instructions long.
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(&w->queueLock, &attributes);
  pthread_mutexattr_destroy(&attributes);
  pthread_mutex_init(&w->reactorLock, nullptr);

  w->epollFd = epoll_create1(EPOLL_CLOEXEC);
  w->commandFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (w->epollFd < 0 || w->commandFd < 0) ioWorkerCannotCreate();
  struct epoll_event ev;
  ev.events = EPOLLIN;
  ev.data.u64 = kIOWorkerCommandTag;
  if (epoll_ctl(w->epollFd, EPOLL_CTL_ADD, w->commandFd, &ev) != 0) ioWorkerCannotCreate();
  if (!Thread_Start(&w->reactor, w, ioWorkerReactorLoop)) ioWorkerCannotCreate();

  gIOWorker = w;
  IOWorker_StartThreads();
  w->lastGrowthCheck = Platform_GetTickSeconds();
  return 1;
}

int IOWorker_Shutdown(void) {
  GlobalIOWorker *w = gIOWorker;
  if (w == nullptr) return 1;
  for (int i = 0; i < kIOWorkerMaxThreads; i++) ioWorkerPush(w, IOWorkerPacket{w, &gIOWorkerQuit, 0});
  for (int i = 0; i < kIOWorkerMaxThreads; i++)
    if (w->slots[i]) Thread_Join(-1, &w->slots[i]);
  ioWorkerStopReactor(w);
  gIOWorker = nullptr;
  if (w->ring) MEM_FREE(w->ring, sizeof(IOWorkerPacket) * w->ringSlots);
  if (w->table) MEM_FREE(w->table, sizeof(IOWorkerAssociation) * w->tableSlots);
  pthread_mutex_destroy(&w->queueLock);
  pthread_mutex_destroy(&w->reactorLock);
  w->tag = 0;
  w->~GlobalIOWorker();
  MEM_FREE(w, sizeof(GlobalIOWorker));
  return 1;
}

int IOWorker_Associate(int fd, void *key) {
  GlobalIOWorker *w = ioWorkerGlobals(KSRC);
  if (fd < 0) return POSIX_FAIL_CODE(kPlatformErrorInvalidHandle, EBADF, "epoll_ctl", nullptr);
  pthread_mutex_lock(&w->reactorLock);
  IOWorkerAssociation *a = ioWorkerSlot(w, fd);
  if (a->used) {
    pthread_mutex_unlock(&w->reactorLock);
    return POSIX_FAIL_CODE(kPlatformErrorAlreadyExists, EEXIST, "epoll_ctl", nullptr);
  }
  uint32_t generation = a->generation + 1;
  if (generation == 0) generation = 1;
  // Registered with no direction: only one-shot error and hang-up reports
  // until a wait arms it.
  struct epoll_event ev;
  ev.events = EPOLLONESHOT;
  ev.data.u64 = ioWorkerTagOf(fd, generation);
  int result = 1;
  if (epoll_ctl(w->epollFd, EPOLL_CTL_ADD, fd, &ev) == 0) {
    a->used = 1;
    a->generation = generation;
    a->key = key;
    a->reader = a->writer = nullptr;
  } else if (errno != EPERM) {
    // EPERM: a regular file or directory, whose I/O never waits for
    // readiness; accepted with nothing recorded.
    result = POSIX_FAIL("epoll_ctl", nullptr);
  }
  pthread_mutex_unlock(&w->reactorLock);
  return result;
}

int IOWorker_PostWhenReady(int fd, IOWorkerRequest *request, uint32_t events) {
  GlobalIOWorker *w = ioWorkerGlobals(KSRC);
  CHECK_POINTER(request);
  CHECK_POINTER(reinterpret_cast<void *>(request->routine));
  if (events != kIOWorkerReadable && events != kIOWorkerWritable)
    Core_Abort(KSRC, "IOWorker: unknown readiness %u on descriptor %d\n", events, fd);
  pthread_mutex_lock(&w->reactorLock);
  IOWorkerAssociation *a = fd >= 0 && fd < w->tableSlots ? &w->table[fd] : nullptr;
  if (a == nullptr || !a->used) {
    pthread_mutex_unlock(&w->reactorLock);
    return POSIX_FAIL_CODE(kPlatformErrorInvalidHandle, EBADF, "epoll_ctl", nullptr);
  }
  IOWorkerRequest **waiter = events == kIOWorkerReadable ? &a->reader : &a->writer;
  if (*waiter != nullptr) {
    pthread_mutex_unlock(&w->reactorLock);
    Core_Abort(KSRC, "IOWorker: a request waits already on descriptor %d (%u)\n", fd, events);
  }
  request->waitEvents = events;
  *waiter = request;
  ioWorkerArm(w, fd, a);
  pthread_mutex_unlock(&w->reactorLock);
  return 1;
}

int IOWorker_Dissociate(int fd) {
  GlobalIOWorker *w = ioWorkerGlobals(KSRC);
  pthread_mutex_lock(&w->reactorLock);
  IOWorkerAssociation *a = fd >= 0 && fd < w->tableSlots ? &w->table[fd] : nullptr;
  if (a == nullptr || !a->used) {
    pthread_mutex_unlock(&w->reactorLock);
    return 1;
  }
  epoll_ctl(w->epollFd, EPOLL_CTL_DEL, fd, nullptr);
  uint64_t tag = ioWorkerTagOf(fd, a->generation);
  pthread_mutex_lock(&w->queueLock);
  // Readiness queued, or handed to a thread that has not claimed it, but not
  // yet taken would retry the call on a number the owner is about to close:
  // it becomes an abort like the waits.
  for (int32_t i = 0; i < w->ringCount; i++)
    ioWorkerAbortReadiness(&w->ring[(w->ringHead + i) % w->ringSlots], tag);
  for (IOWorkerSleeper *s = w->handed; s != nullptr; s = s->next)
    ioWorkerAbortReadiness(&s->packet, tag);
  IOWorkerSleeper *woken[2] = {nullptr, nullptr};
  int wakes = 0;
  for (IOWorkerRequest *request : {a->reader, a->writer}) {
    if (request == nullptr) continue;
    request->error = kIOWorkerErrorAborted;
    request->bytesTransferred = 0;
    woken[wakes] = ioWorkerPushLocked(w, IOWorkerPacket{a->key, request, 0});
    if (woken[wakes] != nullptr) wakes++;
  }
  pthread_mutex_unlock(&w->queueLock);
  for (int i = 0; i < wakes; i++) ioWorkerFutexWake(woken[i]);
  a->used = 0;
  a->generation++;
  a->key = nullptr;
  a->reader = a->writer = nullptr;
  pthread_mutex_unlock(&w->reactorLock);
  return 1;
}

int IOWorker_Post(void *key, IOWorkerRequest *request) {
  GlobalIOWorker *w = ioWorkerGlobals(KSRC);
  ioWorkerPush(w, IOWorkerPacket{key, request, 0});
  return 1;
}

int IOWorker_Continue(void *key, IOWorkerRequest *request) {
  IOWorkerContinuation &next = tIOWorkerNext;
  if (!next.running || next.request != nullptr || key == nullptr || request == nullptr)
    return IOWorker_Post(key, request);
  CHECK_POINTER(reinterpret_cast<void *>(request->routine));
  next.key = key;
  next.request = request;
  return 1;
}

int IOWorker_Grow(void) {
  GlobalIOWorker *w = ioWorkerGlobals(KSRC);
  double now = Platform_GetTickSeconds();
  if (now - w->lastGrowthCheck < kIOWorkerGrowthIntervalSeconds) return 1;
  if (w->threadCount.load() <= w->busyCount.load()) IOWorker_StartThreads();
  w->lastGrowthCheck = now;
  return 1;
}

int IOWorker_StartThreads(void) {
  GlobalIOWorker *w = ioWorkerGlobals(KSRC);
  bool traced = ioWorkerTraced();
  int attempts = 0;
  for (int i = 0; i < kIOWorkerMaxThreads && attempts < kIOWorkerPermanentThreads; i++) {
    if (w->slots[i] != nullptr && !Thread_Join(0, &w->slots[i])) continue;
    attempts++;
    // Counted before the start, so a thread that finds no work at once
    // never sees a count without itself; undone when the start fails.
    w->threadCount.fetch_add(1);
    if (!Thread_Start(&w->slots[i], w, ioWorkerLoop)) {
      w->threadCount.fetch_sub(1);
      Log_Print(LOG_WARNING, KSRC, 0, "IOWorker: unable to start thread %d (%d)\n", i,
                Platform_GetLastError());
      continue;
    }
    if (traced) {
      char name[32];
      Str_Printf(name, sizeof name, "IOWorker/%d", i);
      Platform_SetThreadName(w->slots[i]->platformThread, w->slots[i]->threadId, name);
    }
  }
  return 1;
}

int32_t IOWorker_GetThreadCount(void) { return gIOWorker ? gIOWorker->threadCount.load() : 0; }
int32_t IOWorker_GetBusyCount(void) { return gIOWorker ? gIOWorker->busyCount.load() : 0; }

void IOWorker_SetIdleSecondsForTest(double seconds) {
  gIOWorkerIdleSeconds.store(seconds > 0 ? seconds : kIOWorkerIdleSeconds);
}
