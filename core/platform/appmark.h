// AppMark: the named mark that says a program is running for this user: a
// named lock (Mutex) that one process holds, and a Unix stream socket
// "<name>.sock" beside it through which another process hands the holder a
// block of data. The platform layer holds the program's exclusive mark
// ("%s-EXCLUSIVE", Platform_Exclusive); a second instance forwards its
// command line through AppMark_SendToRunning.
//
// Wire format: the sender writes {u32 size (host order), size bytes}, at most
// kAppMarkMaxDataBytes; the holder answers one byte, 1, once the data
// callback has run on the thread that acquired the mark.
//
// Who may talk (the kernel's record of the peer, SO_PEERCRED): as between
// privilege levels, a higher one may message a lower one, never the
// reverse. The holder hears only senders of its own effective uid or root
// (a root holder, root alone); a sender sends only to a holder of its own
// uid or, when it is root acting for the desktop user, to that user's. The
// lock itself stays shared between root and the desktop user, so either
// sees the other's mark as held; no other uid is ever sent to or heard.
//
// Invariants: (1) only the lock holder binds the socket, after it holds the
// lock (a stale socket file of a holder that died is unlinked first), and it
// unlinks it before it lets the lock go. (2) an acquire that fails leaves no
// lock and no mutex object behind, so a later acquire tries again. (3) the
// data callback runs on the acquiring thread, from its event queue (the main
// queue for a thread without a thread record), never on the listener thread.
// (4) a pending delivery holds a reference on the mark, so the mark outlives
// it; a delivery whose sender gave up does not run.
//
// Threads: a mark is used by one thread at a time (the acquiring thread, in
// practice the main thread); its listener thread only accepts, reads and
// posts. Acquire needs the thread module and an event queue for the
// acquiring thread (Thread_Init, EventQueue_InitMain); without them senders
// get 0. Close the mark before the thread module shuts down.
#pragma once

#include <cstdint>

#include "core/runtime/callback.h"
#include "core/runtime/class.h"

struct Mutex;
struct AppMarkListener;

constexpr uint32_t kAppMarkTag = 0xfe633915;
// The name field: 119 characters and a terminator.
constexpr int kAppMarkNameBytes = 120;
// "Local\\" and the longest name.
constexpr int kAppMarkSemaphoreNameBytes = kAppMarkNameBytes + 6;
constexpr uint32_t kAppMarkMaxDataBytes = 1u << 20;
// How long a sender waits for the holder's answer.
constexpr int32_t kAppMarkSendTimeoutMs = 20000;
// How long the holder waits for a connected sender's data.
constexpr int32_t kAppMarkReadTimeoutMs = 5000;

// function(context, data, size): runs on the acquiring thread; data is valid
// for the call.
typedef void (*AppMarkDataFunction)(void *context, const void *data, uint32_t size);

struct AppMark {
  ObjectHeader header;  // kAppMarkTag; reference counted
  char name[kAppMarkNameBytes];
  char semaphoreName[kAppMarkSemaphoreNameBytes];  // "Local\\<name>"
  Mutex *mutex;                // while acquired (or waiting to be)
  AppMarkListener *listener;   // the socket and its thread, while holding
  CallbackCell dataCallback;   // {context, AppMarkDataFunction}
};

// A new, unnamed mark. Returns 1. Stops on a NULL out-pointer.
int AppMark_Create(AppMark **mark);
// Drops the caller's reference (closing the mark when it was the last) and
// clears *mark. Returns 1.
int AppMark_Delete(AppMark **mark);
// Copies the name (119 characters at most). Stops with "Pointer is NULL\n"
// on a NULL name.
void AppMark_SetName(AppMark *mark, const char *name);
// Takes the mark within timeoutMs (negative: without limit), then binds the
// socket and starts the listener. 1 when held; 0 when another holds it, the
// lock cannot be made, or the socket cannot be bound (the lock is then given
// back and the mutex object deleted). A run directory of another user is
// refused with error 5 (logged), unlike a mark held elsewhere (1460 after
// the time-out).
int AppMark_Acquire(AppMark *mark, int32_t timeoutMs);
// Stops the listener, removes the socket and gives the lock back. 1; 0 when
// the mark holds no mutex.
int AppMark_Release(AppMark *mark);
// Releases a held mark and deletes its mutex object. Returns 1.
int AppMark_Close(AppMark *mark);
// Installs the data callback (NULL function: none; data is then answered 0).
void AppMark_SetDataCallback(AppMark *mark, void *context, AppMarkDataFunction function);
// Sends data to the process holding the program's exclusive mark (the mark
// of Platform_Exclusive in this process names it). Nothing listening, or a
// stale socket: 0 at once; a holder this process may not send to: 0 with
// error 5 (logged), nothing sent. Otherwise waits up to kAppMarkSendTimeoutMs for
// the answer. The answer (1 when the holder handled it), else 0.
int AppMark_SendToRunning(const void *data, uint32_t size);

// Test-only: the sender's and the holder's answer time-out (0: the default).
void AppMark_SetSendTimeoutForTest(int32_t timeoutMs);
