// AuthenticateAsync: the signature check of one file (Auth_AuthenticateFile)
// on a worker thread, its answer delivered on the owner's pump through
// AuthenticateAsync_Poll and the completion callback.
//
// Invariants: (1) the worker touches only a job it shares with the owner by
// reference count: its own reference on the store, its own copy of the path
// and the result cell; the object itself is never seen by the worker. (2)
// every successful start completes exactly once, on a poll (a failed thread
// start completes at once with 0). (3) Release never frees what a worker
// still holds: after the wait times out, the worker is detached and keeps the
// job until it ends.
//
// Threads: create, setters, start, poll and release run on the owner's
// thread; the worker writes only the shared result cell.
#pragma once

#include <cstdint>

struct CertStore;

constexpr uint32_t kAuthenticateAsyncTag = 0x316d72f1;
constexpr int32_t kAuthenticateAsyncPathBytes = 320;
constexpr int32_t kAuthenticateAsyncReleaseWaitMs = 120000;
constexpr int32_t kAuthenticateAsyncKindFile = 1;

struct AuthenticateAsync;

typedef void (*AuthenticateAsyncCompleteFunction)(AuthenticateAsync *auth, void *context,
                                                  int result);

// Creates an idle object (kind 1, no store). Returns 1.
int AuthenticateAsync_Create(AuthenticateAsync **auth);
// Waits for a running worker (see invariant 3: on a time-out logs "Timeout
// waiting on authenticate thread shutdown" and detaches it), releases the
// store and frees the object. Clears *auth.
void AuthenticateAsync_Release(AuthenticateAsync **auth);

// Retains store and releases the old one (NULL clears).
int AuthenticateAsync_SetCertStore(AuthenticateAsync *auth, CertStore *store);
// Copies at most 319 characters in; out holds 320 bytes.
int AuthenticateAsync_SetPath(AuthenticateAsync *auth, const char *path);
int AuthenticateAsync_GetPath(AuthenticateAsync *auth, char *out);
int AuthenticateAsync_SetCompleteCallback(AuthenticateAsync *auth, void *context,
                                          AuthenticateAsyncCompleteFunction function);

// With security on, starts a worker ("AuthenticateAsync") that runs
// Auth_AuthenticateFile on the path against the store (the null store when
// none is set); with it off, logs "Skipping authentication (%d) (%s)" and
// completes with 1 on the next poll. 0 when a check is running ("Already
// running") or the thread could not start ("Unable to create authentication
// process thread", completed with 0).
int AuthenticateAsync_Start(AuthenticateAsync *auth);
// From the owner's pump: once the worker has ended, calls the completion
// callback with the result and goes idle. Returns 1.
int AuthenticateAsync_Poll(AuthenticateAsync *auth);

// Test-only: the release wait (kAuthenticateAsyncReleaseWaitMs by default).
void AuthenticateAsync_SetReleaseWaitForTest(int32_t milliseconds);
