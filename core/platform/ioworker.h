// IOWorker: the process-wide pool of threads that completes asynchronous I/O.
// Requests travel through one completion queue (a FIFO of {key, request});
// a pool thread takes each one and calls the request's completion routine as
// routine(key, request), so the I/O code never blocks the main thread. The
// pool starts with 4 threads, grows by 4 when every thread is busy (at most
// one growth per 0.1 s, at most 64 threads) and lets surplus threads go after
// 15 s without work. Beside the pool runs one reactor thread (epoll and an
// eventfd for its commands) that turns the readiness of a pollable
// descriptor into a queued request: the contract on which asynchronous
// sockets are built.
//
// Readiness contract: a descriptor is associated with a key; a non-blocking
// call that answered EAGAIN or EINPROGRESS hands its request to
// IOWorker_PostWhenReady for one direction; when the descriptor is ready (or
// reports an error or hang-up) the request is queued with the key and its
// routine retries the call on a pool thread. IOWorker_Dissociate, called
// before the descriptor is closed, completes every request still waiting
// with error 995 and 0 bytes.
//
// Invariants: (1) a packet whose key is 0 or whose request is NULL is taken
// off the queue and never delivered. (2) the thread count counts live pool
// threads: it is raised before a start and lowered again when the start
// fails, and an idle thread leaves only by a compare-and-swap that succeeds
// while the count is above 4, so idleness never takes the pool below 4.
// (3) at most one request waits per direction and descriptor. (4) a request
// handed to the reactor is queued exactly once: with the key when ready, or
// with error 995 by IOWorker_Dissociate (also when its readiness was queued
// but not yet taken by a pool thread). (5) the reactor holds nothing of a
// descriptor once IOWorker_Dissociate has returned, so the number may be
// reused at once; readiness reported for its earlier association is
// dropped.
//
// Threads: IOWorker_Init, IOWorker_Shutdown, IOWorker_Grow and
// IOWorker_StartThreads on the main thread (they alone touch the thread
// slots); the others on any thread. Lock order: the reactor lock before the
// queue lock; no routine is called under either. A routine that a pool
// thread has already taken when IOWorker_Dissociate runs still runs with its
// result: owners serialise their close against their own routines.
#pragma once

#include <cstdint>

constexpr uint32_t kIOWorkerTag = 0x0a5ceaf2;
constexpr int32_t kIOWorkerMaxThreads = 64;
// Threads started by IOWorker_Init and by each growth; idleness never takes
// the pool below this many.
constexpr int32_t kIOWorkerPermanentThreads = 4;
constexpr int32_t kIOWorkerWaitMs = 5000;
constexpr double kIOWorkerIdleSeconds = 15.0;
constexpr double kIOWorkerGrowthIntervalSeconds = 0.1;

// Readiness directions of IOWorker_PostWhenReady.
constexpr uint32_t kIOWorkerReadable = 1;
constexpr uint32_t kIOWorkerWritable = 2;

// The error of a request completed by IOWorker_Dissociate: operation aborted.
constexpr uint32_t kIOWorkerErrorAborted = 995;

struct IOWorkerRequest;

// A request's completion routine; its result is ignored.
typedef int (*IOWorkerRoutine)(void *key, IOWorkerRequest *request);

// The header of every request; the submitter's data follows it. Owned by the
// submitter, which must keep it alive until its routine has been called.
struct IOWorkerRequest {
  uint32_t error;             // the program's error code (995: aborted)
  uint32_t bytesTransferred;  // 0 for readiness and aborts
  uint64_t offset;            // the submitter's
  uint32_t waitEvents;        // the direction of a readiness wait
  uint32_t spare;
  IOWorkerRoutine routine;
};

// Creates the queue, the reactor and the first 4 threads; stamps the growth
// time. Returns 1. Stops the program when called twice ("Assertion failed
// (GlobalIOWorker == NULL)\nIOWorker already initialized") and when the queue
// or the reactor cannot be created ("Assertion failed
// (GlobalIOWorker->IOCPHandle != NULL)\nUnable to create IOWorker").
int IOWorker_Init(void);
// Posts 64 quit requests, joins every pool thread, then stops and joins the
// reactor and frees everything. Nothing happens when not initialised.
// Returns 1.
int IOWorker_Shutdown(void);

// Registers a pollable descriptor (socket, pipe, eventfd) with the reactor
// under key, disarmed until a wait. A descriptor epoll refuses (a regular
// file) is accepted with nothing recorded: file I/O runs on pool threads.
// 1, or 0 with the error (an invalid descriptor, one associated already:
// 183). Stops the program with "Pointer is NULL\n" when the pool does not
// exist.
int IOWorker_Associate(int fd, void *key);
// Waits for the descriptor to become readable (1) or writable (2), then
// queues request with the association's key (error 0). Readiness that came
// before the call completes at once. 1, or 0 with error 6 when the
// descriptor is not associated. Stops the program on a NULL request or
// routine, on events other than 1 or 2, on a second wait in one direction
// ("IOWorker: a request waits already on descriptor %d (%u)\n") and with
// "Pointer is NULL\n" when the pool does not exist.
int IOWorker_PostWhenReady(int fd, IOWorkerRequest *request, uint32_t events);
// Removes the descriptor from the reactor: every request still waiting on it
// (or whose readiness is queued and not yet taken) completes on a pool
// thread with error 995 and 0 bytes. Call before closing the descriptor.
// Returns 1 (also for a descriptor that is not associated).
int IOWorker_Dissociate(int fd);

// Queues request with key; its routine runs on a pool thread (never when key
// is 0). Returns 1. Stops the program with "Pointer is NULL\n" when the pool
// does not exist.
int IOWorker_Post(void *key, IOWorkerRequest *request);
// The same for a request that continues the work of the routine running on
// this pool thread: it runs on this thread as soon as that routine has
// returned, ahead of the queue and without waking another thread. Only one
// continuation is kept per routine; a second, and a call from any other
// thread, is IOWorker_Post. Returns 1.
int IOWorker_Continue(void *key, IOWorkerRequest *request);

// Called regularly by the application's pump: when every thread is busy and
// at least 0.1 s have passed since the last check, starts up to 4 threads.
// Stamps the check time unless it returned early for the 0.1 s. Returns 1.
int IOWorker_Grow(void);
// Fills up to 4 usable slots (empty, or holding a thread that has finished)
// with new threads. A start that fails leaves its slot empty and the count
// as it was. Returns 1.
int IOWorker_StartThreads(void);

// For tests: the live and the busy thread counts (0 when not initialised).
int32_t IOWorker_GetThreadCount(void);
int32_t IOWorker_GetBusyCount(void);
// For tests: the idle period after which a surplus thread leaves (seconds;
// 0 or less restores 15 s). Takes effect at a thread's next deadline.
void IOWorker_SetIdleSecondsForTest(double seconds);
