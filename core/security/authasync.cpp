// AuthenticateAsync: see authasync.h.
#include "core/security/authasync.h"

#include <atomic>
#include <cstdarg>
#include <new>

#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "core/security/certstorenull.h"

namespace {

// What the worker holds: one reference is the owner's, one the worker's; the
// last one out frees it.
struct AuthenticateJob {
  std::atomic<int32_t> references;
  CertStore *store;  // one reference
  int32_t kind;
  char path[kAuthenticateAsyncPathBytes];
  std::atomic<int32_t> result;
};

std::atomic<int32_t> gReleaseWaitMs{kAuthenticateAsyncReleaseWaitMs};

void authJobRelease(AuthenticateJob **job) {
  AuthenticateJob *j = *job;
  *job = nullptr;
  if (j == nullptr || j->references.fetch_sub(1) != 1) return;
  CertStore_Release(&j->store);
  j->~AuthenticateJob();
  MEM_FREE(j, sizeof(AuthenticateJob));
}

int authWorker(void *userData) {
  auto *job = static_cast<AuthenticateJob *>(userData);
  Platform_SetThreadName(nullptr, Thread_GetCurrentId(), "AuthenticateAsync");
  int result = 1;
  if (Authenticate_Enabled())
    result = Auth_AuthenticateFile(job->store, job->path);
  else
    Log_Print(LOG_INFO, KSRC, 0, "Skipping authentication (%d) (%s)\n", job->kind, job->path);
  job->result.store(result);
  authJobRelease(&job);
  return 0;
}

}  // namespace

struct AuthenticateAsync {
  ObjectHeader header;
  ClassLog log;
  Thread *thread;
  CertStore *store;  // one reference, or NULL
  int32_t state;     // 0 idle, 1 running
  int32_t kind;
  char path[kAuthenticateAsyncPathBytes];
  int32_t result;
  AuthenticateJob *job;  // the owner's reference while a worker runs
  CallbackCell completed;
};

#define AUTHASYNC_CHECK(a) CLASS_CHECK((a), kAuthenticateAsyncTag)

namespace {

void authAsyncLog(AuthenticateAsync *a, const char *format, ...) {
  if (!Class_LogEnabled(&a->log, LOG_DEBUG)) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&a->log, 0, format, args);
  va_end(args);
}

void authAsyncComplete(AuthenticateAsync *a, int result) {
  void *context = nullptr;
  CallbackFunction function = nullptr;
  if (Callback_Get(&a->completed, &context, &function))
    reinterpret_cast<AuthenticateAsyncCompleteFunction>(function)(a, context, result);
}

void authAsyncDestroy(void **object) {
  auto *a = static_cast<AuthenticateAsync *>(*object);
  *object = nullptr;
  if (a->thread != nullptr && !Thread_Join(gReleaseWaitMs.load(), &a->thread)) {
    // The worker keeps its own job; letting it run on is safe, freeing it
    // is not.
    Log_Print(LOG_ERROR, KSRC, 0, "Timeout waiting on authenticate thread shutdown\n");
    Thread_Release(&a->thread);
  }
  authJobRelease(&a->job);
  if (a->store != nullptr) CertStore_Release(&a->store);
  Callback_Clear(&a->completed);
  a->~AuthenticateAsync();
  MEM_FREE(a, sizeof(AuthenticateAsync));
}

}  // namespace

int AuthenticateAsync_Create(AuthenticateAsync **auth) {
  CHECK_POINTER(auth);
  *auth = nullptr;
  auto *a = new (MEM_ALLOC(sizeof(AuthenticateAsync), MEM_ZEROED)) AuthenticateAsync();
  a->header.classTag = kAuthenticateAsyncTag;
  a->header.refCount.store(1, std::memory_order_relaxed);
  a->header.destroy = authAsyncDestroy;
  a->log.object = a;
  a->log.className = "AuthenticateAsync";
  a->kind = kAuthenticateAsyncKindFile;
  *auth = a;
  return 1;
}

void AuthenticateAsync_Release(AuthenticateAsync **auth) {
  CHECK_POINTER(auth);
  AUTHASYNC_CHECK(*auth);
  Class_ReleaseObject(auth);
}

int AuthenticateAsync_SetCertStore(AuthenticateAsync *auth, CertStore *store) {
  AUTHASYNC_CHECK(auth);
  if (auth->store != nullptr) CertStore_Release(&auth->store);
  auth->store = store != nullptr ? CertStore_Retain(store) : nullptr;
  return 1;
}

int AuthenticateAsync_SetPath(AuthenticateAsync *auth, const char *path) {
  AUTHASYNC_CHECK(auth);
  CHECK_POINTER(path);
  Str_Copy(auth->path, path, kAuthenticateAsyncPathBytes);
  return 1;
}

int AuthenticateAsync_GetPath(AuthenticateAsync *auth, char *out) {
  AUTHASYNC_CHECK(auth);
  CHECK_POINTER(out);
  Str_Copy(out, auth->path, kAuthenticateAsyncPathBytes);
  return 1;
}

int AuthenticateAsync_SetCompleteCallback(AuthenticateAsync *auth, void *context,
                                          AuthenticateAsyncCompleteFunction function) {
  AUTHASYNC_CHECK(auth);
  return Callback_Set(&auth->completed, context, reinterpret_cast<CallbackFunction>(function));
}

int AuthenticateAsync_Start(AuthenticateAsync *a) {
  AUTHASYNC_CHECK(a);
  if (a->thread != nullptr) {
    authAsyncLog(a, "Already running");
    return 0;
  }
  if (!Authenticate_Enabled()) {
    Log_Print(LOG_INFO, KSRC, 0, "Skipping authentication (%d) (%s)\n", a->kind, a->path);
    a->result = 1;
    a->state = 1;
    return 1;
  }
  a->result = 0;
  auto *job = new (MEM_ALLOC(sizeof(AuthenticateJob), MEM_ZEROED)) AuthenticateJob();
  job->references.store(2);
  if (a->store != nullptr) job->store = CertStore_Retain(a->store);
  else CertStoreNull_Create(&job->store);
  job->kind = a->kind;
  Str_Copy(job->path, a->path, kAuthenticateAsyncPathBytes);
  if (!Thread_Start(&a->thread, job, authWorker)) {
    job->references.store(1);
    authJobRelease(&job);
    Log_Print(LOG_ERROR, KSRC, 0, "Unable to create authentication process thread\n");
    authAsyncComplete(a, 0);
    return 0;
  }
  a->job = job;
  a->state = 1;
  return 1;
}

int AuthenticateAsync_Poll(AuthenticateAsync *a) {
  AUTHASYNC_CHECK(a);
  if (a->state == 0) return 1;
  if (a->state != 1) {
    authAsyncLog(a, "Unknown state (%d)", a->state);
    return 1;
  }
  if (a->thread != nullptr) {
    if (!Thread_Join(0, &a->thread)) return 1;  // still running
    a->result = a->job->result.load();
    authJobRelease(&a->job);
  }
  a->state = 0;
  authAsyncComplete(a, a->result);
  return 1;
}

void AuthenticateAsync_SetReleaseWaitForTest(int32_t milliseconds) {
  gReleaseWaitMs.store(milliseconds);
}
