// Thread: the program's worker threads. Each one started here has a Thread
// record with three signals (wake, stop, exit), its own EventQueue and a place
// in a global list, so that any thread can post work to it by its system id,
// wake it, ask it to stop and join it. The main thread has no record: it is
// the thread that called Thread_Init, uses the module's main signals and the
// process-wide main queue, and is woken through a hook that the host installs.
//
// Invariants: (1) a record is in the global list from the end of Thread_Start
// until its function has returned; Thread_Find finds exactly the listed
// records. (2) a record holds one reference for its starter and one for the
// running thread; it goes back to the pool, with its queue, signals and
// platform thread, when the last is dropped. (3) a record's queue is owned by
// the record's thread from the moment the record is listed. (4) every record
// found by id comes back with one added reference that the finder releases.
//
// Threads: any thread, locks inside. The module lock guards the list, the
// record pool and the count; it is held across the creation of the platform
// thread, so a new thread cannot run its function before it is listed. Lock
// order: an event queue's lock before the module lock (a queue wakes its
// owner while it may hold its lock); nothing takes a queue lock under the
// module lock. Thread_Init and Thread_Shutdown run on the main thread, before
// any other thread of this module starts and after all of them have ended.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/runtime/critsection.h"
#include "core/platform/platform.h"
#include "core/runtime/pool.h"
#include "core/runtime/signal.h"

struct EventQueue;

constexpr uint32_t kThreadTag = 0x25b3fa47;
constexpr uint32_t kThreadGlobalsTag = 0x8b68c676;
// Records are taken from the module's pool this many at a time.
constexpr int32_t kThreadPoolGrowth = 10;
// Thread_Yield's longest wait for a wake-up: short, so that a worker loop that
// yields also notices work that needs no wake-up (timed events, stop flags).
constexpr int32_t kThreadYieldMs = 1;

// The function a thread runs; its result is the thread's exit code.
typedef int (*ThreadFunction)(void *userData);

// Called by Thread_Wake when the main thread is to be woken: the id that was
// asked for and the wake argument. The host's hook makes its main loop flush
// the main queue soon; it runs on the waking thread and must not block.
typedef void (*ThreadWakeHook)(uint32_t threadId, uintptr_t argument);

struct Thread {
  uint32_t tag;                       // kThreadTag while the record is in use
  Signal *wake;                       // auto-reset
  Signal *stop;                       // manual reset
  Signal *exit;                       // manual reset; set once the thread has drained its queue
  int32_t refCount;                   // changed only by the platform atomics
  uint32_t threadId;                  // the system id; written before the record is listed
  std::atomic<double> lastFlushTime;  // tick seconds; stamped by the record's own thread
  PlatformThread *platformThread;
  EventQueue *queue;  // one reference
  void *userData;
  ThreadFunction function;
  Thread *next;  // in the global list; guarded by the module lock
  Thread *prev;
};

// Creates the module's globals and records the calling thread as the main
// thread. Returns 1. Stops the program when the module is initialised already
// ("Assertion failed (gThread == NULL)\nThread already initialized").
int Thread_Init(void);
// Releases the main signals, the lock, the record pool and the globals. It
// does not wait for threads: join them first. Returns 1 (also when the module
// was not initialised).
int Thread_Shutdown(void);

// Installs the main thread's wake hook (NULL removes it). The host installs it
// once the main queue exists and removes it at shutdown. Returns 1.
int Thread_SetWakeHook(ThreadWakeHook hook);

// The thread that called Thread_Init (0 while the module is not initialised)
// and the calling thread's system id. Functions that must run on the main
// thread compare the two.
uint32_t Thread_GetMainId(void);
uint32_t Thread_GetCurrentId(void);
// Stops the program with "Assertion failed (Thread_GetMainId() ==
// Thread_GetCurrentId())\nFunction not on main thread", at the caller's
// position, unless the calling thread is the main one.
void Thread_AssertMain(const char *sourcePath, int line);

// Starts a thread running function(userData). Returns 1 with *thread set (the
// caller's reference); returns 0 with *thread NULL when the system refuses a
// thread or its signals. Stops the program with "Pointer is NULL\n" on a NULL
// thread or function, and when the module is not initialised.
int Thread_Start(Thread **thread, void *userData, ThreadFunction function);

// Waits up to timeoutMs (negative: without limit) for the thread to finish.
// On a time-out returns 0 and *thread stays valid. Otherwise waits for the
// system thread to end, releases the caller's reference, clears *thread and
// returns 1. Stops the program on a NULL or foreign record.
int Thread_Join(int32_t timeoutMs, Thread **thread);

// Drops one reference and clears *thread. The last reference releases the
// record's queue, signals and platform thread (a thread nobody joined is
// detached, so it leaves nothing behind when it ends) and returns the record
// to the pool. Returns 1. Stops the program on a NULL or foreign record.
int Thread_Release(Thread **thread);

// The record of a system thread id, with one added reference. For the
// calling thread's own id, its record (0 on a thread without one); otherwise
// the global list is searched. 1 when found, else 0 with *thread NULL.
int Thread_Find(uint32_t threadId, Thread **thread);

// That thread's event queue with one added reference (the caller releases it
// with Class_Release), or NULL when no record has that id; callers then use
// the main queue.
EventQueue *Thread_GetEventQueue(uint32_t threadId);

// Sets the wake signal of that thread's record; when no record has the id,
// sets the main wake signal and calls the wake hook, if any, with (threadId,
// argument). Returns 1.
int Thread_Wake(uint32_t threadId, uintptr_t argument);

// Sets that record's stop signal, then wakes it. Returns 0 when no record has
// the id (the main thread cannot be asked to stop this way), else 1.
int Thread_RequestStop(uint32_t threadId);

// Waits up to kThreadYieldMs for the calling thread's wake signal (the main
// wake signal on a thread without record). 1 when it was set.
int Thread_Yield(void);

// Waits up to milliseconds (negative: without limit) for the calling
// thread's wake signal, as Thread_Yield does for kThreadYieldMs: a loop that
// knows when its next timed work is due sleeps until then or a wake. 1 when
// it was set.
int Thread_WaitForWake(int32_t milliseconds);

// Sets the main thread's wake signal and nothing else (no hook, no lock, no
// allocation), so that a signal handler may call it. Nothing before
// Thread_Init or after Thread_Shutdown. Returns 1.
int Thread_WakeMainFromSignal(void);

// Waits up to milliseconds for the calling thread's stop signal (the main
// stop signal on a thread without record). 1 when a stop was requested.
int Thread_Sleep(int32_t milliseconds);

// On a thread started here: stamps the record's last-flush time and flushes
// the thread's own queue. Returns 1. Stops the program with "Pointer is
// NULL\n" on a thread without record.
int Thread_FlushEvents(void);
