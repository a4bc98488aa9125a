// Threads; see thread.h.
#include "core/platform/thread.h"

#include <new>

#include "core/runtime/core.h"
#include "core/platform/eventqueue.h"
#include "core/runtime/memory.h"

namespace {

struct ThreadList {
  uint32_t tag;  // kThreadTag
  Thread *head;
  Thread *tail;
  int32_t count;
};

struct ThreadGlobals {
  uint32_t tag;  // kThreadGlobalsTag
  uint32_t mainThreadId;
  Pool *pool;        // of Thread records; guarded by lock
  Signal *mainWake;  // auto-reset
  Signal *mainStop;  // manual reset
  Signal *mainExit;  // manual reset
  CriticalSection *lock;
  std::atomic<ThreadWakeHook> wakeHook;
  ThreadList list;  // guarded by lock
};

// Written only by Thread_Init and Thread_Shutdown, while no other thread of
// this module runs.
ThreadGlobals *gThread;

// The calling thread's record; NULL on the main thread and on threads that
// were not started here.
thread_local Thread *tThreadCurrent;

ThreadGlobals *threadGlobals(const char *sourcePath, int line) {
  ThreadGlobals *globals = gThread;
  Core_CheckPointer(globals, sourcePath, line);
  return globals;
}

// The record's tag sits in its first word, not behind an instance id.
void threadCheck(const Thread *thread, const char *sourcePath, int line) {
  if (thread == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
  if (thread->tag != kThreadTag)
    Core_Abort(sourcePath, line, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
               thread, kThreadTag, thread->tag);
}

void threadListCheck(const ThreadList *list) {
  if (list->tag != kThreadTag)
    Core_Abort(KSRC, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", list,
               kThreadTag, list->tag);
}

// Both under the module lock.
void threadListAppend(ThreadList *list, Thread *thread) {
  threadListCheck(list);
  thread->next = nullptr;
  thread->prev = list->tail;
  if (list->tail != nullptr)
    list->tail->next = thread;
  else
    list->head = thread;
  list->tail = thread;
  list->count++;
}

void threadListRemove(ThreadList *list, Thread *thread) {
  threadListCheck(list);
  if (thread->prev != nullptr)
    thread->prev->next = thread->next;
  else
    list->head = thread->next;
  if (thread->next != nullptr)
    thread->next->prev = thread->prev;
  else
    list->tail = thread->prev;
  thread->next = thread->prev = nullptr;
  list->count--;
}

void threadReleaseSignal(Signal **signal) {
  if (*signal != nullptr) Signal_Release(signal);
}

// The last reference is gone: everything the record holds goes, then the
// record itself returns to the pool.
void threadFree(Thread *record) {
  if (record->queue != nullptr) Class_ReleaseObject(&record->queue);
  threadReleaseSignal(&record->wake);
  threadReleaseSignal(&record->stop);
  threadReleaseSignal(&record->exit);
  // A thread nobody joined is detached here, so its resources go when it
  // ends; this may be the thread itself, dropping its own last reference.
  if (record->platformThread != nullptr) Thread_Destroy(&record->platformThread);
  record->tag = 0;
  ThreadGlobals *globals = threadGlobals(KSRC);
  CriticalSection_Enter(globals->lock);
  void *member = record;
  Pool_Free(globals->pool, &member, sizeof(Thread), KSRC);
  CriticalSection_Leave(globals->lock);
}

// Creates the three signals; 0 when the system refuses one (the others are
// released with the record).
int threadCreateSignals(Thread *record) {
  if (!Signal_Create(&record->wake) || !Signal_Create(&record->stop) ||
      !Signal_Create(&record->exit))
    return 0;
  Signal_SetAutoReset(record->wake);
  Signal_Set(record->wake, 0, KSRC);
  return 1;
}

// The entry point of every thread started here.
int threadProcedure(void *argument) {
  auto *record = static_cast<Thread *>(argument);
  ThreadGlobals *globals = threadGlobals(KSRC);
  // Thread_Start holds the lock until the record is listed, its id included.
  CriticalSection_Enter(globals->lock);
  CriticalSection_Leave(globals->lock);
  tThreadCurrent = record;
  EventQueue_SetOwner(record->queue, Platform_GetThreadId());

  int result = record->function(record->userData);

  // From here on Thread_Find no longer finds the record, so callbacks posted
  // to this id go to the main queue.
  CriticalSection_Enter(globals->lock);
  threadListRemove(&globals->list, record);
  CriticalSection_Leave(globals->lock);
  // Everything due runs before the exit is signalled; events with a later
  // fire time get their done handler when the queue goes.
  while (!EventQueue_Flush(record->queue)) {
  }
  Signal_Set(record->exit, 1, KSRC);
  tThreadCurrent = nullptr;
  Thread_Release(&record);
  return result;
}

}  // namespace

int Thread_Init(void) {
  if (gThread != nullptr)
    Core_Abort(KSRC, "Assertion failed (gThread == NULL)\nThread already initialized");
  auto *globals = new (MEM_ALLOC(sizeof(ThreadGlobals), MEM_ZEROED)) ThreadGlobals();
  globals->tag = kThreadGlobalsTag;
  globals->mainThreadId = Platform_GetThreadId();
  Pool_Create(&globals->pool, KSRC);
  Pool_SetMemberSize(globals->pool, sizeof(Thread));
  Pool_SetMemberChunkSize(globals->pool, kThreadPoolGrowth);
  if (Signal_Create(&globals->mainWake)) Signal_SetAutoReset(globals->mainWake);
  Signal_Create(&globals->mainStop);
  Signal_Create(&globals->mainExit);
  CriticalSection_Create(&globals->lock);
  globals->list.tag = kThreadTag;
  gThread = globals;
  return 1;
}

int Thread_Shutdown(void) {
  ThreadGlobals *globals = gThread;
  if (globals == nullptr) return 1;
  gThread = nullptr;
  threadReleaseSignal(&globals->mainWake);
  threadReleaseSignal(&globals->mainStop);
  threadReleaseSignal(&globals->mainExit);
  CriticalSection_Delete(&globals->lock);
  Pool_Release(&globals->pool);
  globals->tag = 0;
  globals->~ThreadGlobals();
  MEM_FREE(globals, sizeof(ThreadGlobals));
  return 1;
}

int Thread_SetWakeHook(ThreadWakeHook hook) {
  threadGlobals(KSRC)->wakeHook.store(hook);
  return 1;
}

uint32_t Thread_GetMainId(void) {
  ThreadGlobals *globals = gThread;
  return globals != nullptr ? globals->mainThreadId : 0;
}

void Thread_AssertMain(const char *sourcePath, int line) {
  if (Thread_GetMainId() != Thread_GetCurrentId())
    Core_Abort(sourcePath, line,
               "Assertion failed (Thread_GetMainId() == Thread_GetCurrentId())\nFunction not on "
               "main thread");
}

uint32_t Thread_GetCurrentId(void) {
  // A thread started here knows its id; the others ask the system.
  Thread *record = tThreadCurrent;
  return record != nullptr ? record->threadId : Platform_GetThreadId();
}

int Thread_Start(Thread **thread, void *userData, ThreadFunction function) {
  CHECK_POINTER(thread);
  *thread = nullptr;
  CHECK_POINTER(reinterpret_cast<void *>(function));
  ThreadGlobals *globals = threadGlobals(KSRC);
  CriticalSection_Enter(globals->lock);
  auto *record = new (POOL_ALLOC(globals->pool, sizeof(Thread))) Thread();
  record->tag = kThreadTag;
  record->function = function;
  record->userData = userData;
  record->lastFlushTime.store(Platform_GetTickSeconds(), std::memory_order_relaxed);
  record->refCount = 2;
  int started = threadCreateSignals(record);
  if (started) {
    EventQueue_Create(&record->queue);
    *thread = record;
    started = Thread_Create(threadProcedure, record, &record->threadId, &record->platformThread);
  }
  if (!started) {
    record->refCount = 1;
    *thread = nullptr;
    Thread_Release(&record);
    CriticalSection_Leave(globals->lock);
    return 0;
  }
  // The queue belongs to the new thread before anyone can find it, so a post
  // that races the thread's start still wakes the right thread.
  EventQueue_SetOwner(record->queue, record->threadId);
  threadListAppend(&globals->list, record);
  CriticalSection_Leave(globals->lock);
  return 1;
}

int Thread_Join(int32_t timeoutMs, Thread **thread) {
  CHECK_POINTER(thread);
  Thread *record = *thread;
  threadCheck(record, KSRC);
  int signalled = 0;
  Signal_Wait(record->exit, &signalled, timeoutMs, KSRC);
  if (!signalled) return 0;
  if (!Thread_WaitForExit(record->platformThread)) return 0;
  return Thread_Release(thread);
}

int Thread_Release(Thread **thread) {
  CHECK_POINTER(thread);
  Thread *record = *thread;
  threadCheck(record, KSRC);
  *thread = nullptr;
  if (Platform_AtomicDecrement(&record->refCount) == 0) threadFree(record);
  return 1;
}

int Thread_Find(uint32_t threadId, Thread **thread) {
  CHECK_POINTER(thread);
  *thread = nullptr;
  Thread *found = tThreadCurrent;
  if (found != nullptr && found->threadId == threadId) {
    Platform_AtomicIncrement(&found->refCount);
  } else {
    // The caller's own id is never listed unless it is its own record, so a
    // thread without record finds nothing for its id here, without asking
    // the system who it is.
    found = nullptr;
    ThreadGlobals *globals = threadGlobals(KSRC);
    CriticalSection_Enter(globals->lock);
    threadListCheck(&globals->list);
    for (Thread *t = globals->list.head; t != nullptr; t = t->next) {
      if (t->threadId == threadId) {
        // A listed record holds its thread's reference, so it is alive here.
        Platform_AtomicIncrement(&t->refCount);
        found = t;
        break;
      }
    }
    CriticalSection_Leave(globals->lock);
  }
  *thread = found;
  return found != nullptr ? 1 : 0;
}

EventQueue *Thread_GetEventQueue(uint32_t threadId) {
  Thread *record = nullptr;
  if (!Thread_Find(threadId, &record)) return nullptr;
  auto *queue = static_cast<EventQueue *>(Class_Retain(record->queue));
  Thread_Release(&record);
  return queue;
}

int Thread_Wake(uint32_t threadId, uintptr_t argument) {
  ThreadGlobals *globals = threadGlobals(KSRC);
  // The main thread is never listed: its wake-ups, one for every batch of
  // results a pool thread posts to the main queue, skip the search of the
  // list under the module lock, which every waker would otherwise contend.
  Thread *record = nullptr;
  if (threadId != globals->mainThreadId && Thread_Find(threadId, &record)) {
    Signal_Set(record->wake, 1, KSRC);
    Thread_Release(&record);
    return 1;
  }
  Signal_Set(globals->mainWake, 1, KSRC);
  ThreadWakeHook hook = globals->wakeHook.load();
  if (hook != nullptr) hook(threadId, argument);
  return 1;
}

int Thread_RequestStop(uint32_t threadId) {
  Thread *record = nullptr;
  if (!Thread_Find(threadId, &record)) return 0;
  Signal_Set(record->stop, 1, KSRC);
  Thread_Wake(threadId, 0);
  Thread_Release(&record);
  return 1;
}

int Thread_Yield(void) { return Thread_WaitForWake(kThreadYieldMs); }

int Thread_WaitForWake(int32_t milliseconds) {
  Thread *record = tThreadCurrent;
  Signal *wake = record != nullptr ? record->wake : threadGlobals(KSRC)->mainWake;
  int signalled = 0;
  Signal_Wait(wake, &signalled, milliseconds, KSRC);
  return signalled;
}

int Thread_WakeMainFromSignal(void) {
  ThreadGlobals *globals = gThread;
  if (globals != nullptr && globals->mainWake != nullptr) Signal_Set(globals->mainWake, 1, KSRC);
  return 1;
}

int Thread_Sleep(int32_t milliseconds) {
  Thread *record = tThreadCurrent;
  Signal *stop = record != nullptr ? record->stop : threadGlobals(KSRC)->mainStop;
  int signalled = 0;
  Signal_Wait(stop, &signalled, milliseconds, KSRC);
  return signalled;
}

int Thread_FlushEvents(void) {
  Thread *record = tThreadCurrent;
  CHECK_POINTER(record);
  record->lastFlushTime.store(Platform_GetTickSeconds(), std::memory_order_relaxed);
  EventQueue_Flush(record->queue);
  return 1;
}
