// The HTTP storage drivers' shared machinery and the "http" driver; see
// storagehttp.h.
#include "base/storagehttp.h"

#include <cstdarg>
#include <cstring>
#include <new>

#include "base/filelist.h"
#include "base/storagechain.h"
#include "base/storagerequest.h"
#include "core/net/url.h"
#include "core/net/webgetpool.h"
#include "core/net/webgetrequest.h"
#include "core/platform/eventqueue.h"
#include "core/platform/thread.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

constexpr uint32_t kStorageHTTPListTag = 0x57a6e0c8;
constexpr uint32_t kReadEventTag = 0x5e7d0001;
constexpr uint32_t kDoneEventTag = 0x5e7d0002;
constexpr uint32_t kAddEventTag = 0x5e7d0003;
constexpr uint32_t kCancelEventTag = 0x5e7d0004;

struct ReadEvent {
  uint32_t tag;
  int32_t ran;  // the handler ran: the done handler leaves the step alone
  StorageHTTP *driver;
  StorageStep *step;
};
struct DoneEvent {
  uint32_t tag;
  int32_t code;
  int32_t codeEx;
  uint32_t generation;  // of the transfer that ended
  StorageHTTPContext *context;
};
struct ContextEvent {  // add and cancel
  uint32_t tag;
  StorageHTTPContext *context;
};

StorageHTTP *httpOf(void *context) {
  CHECK_POINTER(context);
  auto *d = static_cast<StorageHTTP *>(context);
  if (d->header.classTag != kStorageHTTPTag && d->header.classTag != kStorageHTTPPieceTag)
    CLASS_CHECK(d, kStorageHTTPTag);
  return d;
}

void httpCheckOwner(StorageHTTP *d) {
  uint32_t current = Thread_GetCurrentId();
  if (current != d->ownerThread)
    Core_Abort(KSRC, "Thread assertion failed (%d vs. %d)\n", int(current), int(d->ownerThread));
}

void httpCheckEvent(uint32_t tag, uint32_t expected) {
  if (tag != expected) Core_Abort(KSRC, "StorageHTTP: event payload mismatch\n");
}

EventQueue *httpQueue(StorageHTTP *d) {
  EventQueue *queue = nullptr;
  if (d->storage != nullptr) Storage_GetQueue(d->storage, &queue);
  return queue;
}

bool isSuccessStatus(int32_t status) { return status >= 200 && status <= 299; }

// ---- Request hooks (main thread) ----------------------------------------------------

int httpOnBodyData(WebGetRequest *r, void *context, const void *data, int64_t length,
                   int64_t *taken) {
  auto *c = static_cast<StorageHTTPContext *>(context);
  *taken += length;
  // The storage counts the body bytes it was sent, every attempt's: not the
  // socket's, whose headers and TLS records are no part of any member.
  MeterRW_AddReadBytes(c->driver->meters, length);
  if (!isSuccessStatus(WebGetRequest_GetStatusCode(r)) || c->step == nullptr) return 1;
  auto *request = static_cast<StorageRequest *>(c->step->argument);
  int64_t at = c->plan.destination + c->received;
  if (c->received + length > c->plan.limit ||
      at + length > StorageRequest_GetCapacity(request)) {
    StorageHTTP_Log(c->driver, "Body past the member (%s) (%I64d + %I64d > %I64d)\n",
                    c->plan.url, c->received, length, c->plan.limit);
    return WebGetRequest_SetError(r, kWebGetErrorSizeLimit, 0);
  }
  uint8_t *buffer = nullptr;
  StorageRequest_GetBuffer(request, at, &buffer);
  memcpy(buffer, data, size_t(length));
  StorageRequest_ReleaseBuffer(request, &buffer);
  c->received += length;
  return 1;
}

// An error page is not the member: the member's limit is not its limit
// (its status becomes the result; the request keeps a bounded part of it).
int httpOnBodyBegin(WebGetRequest *r, void *) {
  if (!isSuccessStatus(WebGetRequest_GetStatusCode(r))) WebGetRequest_SetSizeLimit(r, 0);
  return 1;
}

int httpOnBodyEnd(WebGetRequest *r, void *context) {
  auto *c = static_cast<StorageHTTPContext *>(context);
  int32_t status = WebGetRequest_GetStatusCode(r);
  if (!isSuccessStatus(status)) return WebGetRequest_SetError(r, status, 0);
  if (c->step == nullptr) return 1;
  if (WebGetRequest_GetBytesReceived(r) >= uint64_t(kStorageHTTPBodyMaxBytes))
    return WebGetRequest_SetError(r, kWebGetErrorSizeLimit, 0);
  if (c->plan.expected >= 0 && c->received != c->plan.expected) {
    StorageHTTP_Log(c->driver, "Short body (%s) (%I64d of %I64d)\n",
                    UrlLoggable(c->plan.url).text, c->received,
                    c->plan.expected);
    return WebGetRequest_SetError(r, kStorageResultShort, 0);
  }
  c->counted = c->received + c->plan.pad;
  StorageRequest_AddLength(static_cast<StorageRequest *>(c->step->argument), c->counted);
  return 1;
}


void httpDoneEvent(uintptr_t, void *payload);

int httpOnRequestDone(WebGetRequest *r, void *context) {
  auto *c = static_cast<StorageHTTPContext *>(context);
  if (c->request != r || c->withdrawing) return 1;
  DoneEvent e{kDoneEventTag, 0, 0, c->generation.load(), c};
  WebGetRequest_GetError(r, &e.code, &e.codeEx);
  WebGetRequest_GetCause(r, &c->cause);
  int32_t status = WebGetRequest_GetStatusCode(r);
  // An error page's body bytes were sent too; the write hook sees only the
  // bodies of successes.
  if (status != 0 && !isSuccessStatus(status) && c->driver->meters != nullptr)
    MeterRW_AddReadBytes(c->driver->meters, int64_t(WebGetRequest_GetBodyBytesConsumed(r)));
  // So were the pages of the redirects it followed.
  if (c->driver->meters != nullptr)
    MeterRW_AddReadBytes(c->driver->meters, int64_t(WebGetRequest_GetRedirectBytes(r)));
  // A transfer dropped with its connection ends without code or status.
  if (e.code == 0 && !isSuccessStatus(status)) {
    e.code = status != 0 ? status : kWebGetErrorRequestIncomplete;
    e.codeEx = 0;
  }
  EventQueue_Post(httpQueue(c->driver), reinterpret_cast<uintptr_t>(c), &e, sizeof e,
                  httpDoneEvent, nullptr, nullptr, KSRC, 0.0);
  return 1;
}

// ---- Contexts -------------------------------------------------------------------------

void httpAppendContext(StorageHTTP *d, StorageHTTPContext *c) {
  c->previous = d->last;
  if (d->last != nullptr)
    d->last->next = c;
  else
    d->first = c;
  d->last = c;
  d->count++;
}

StorageHTTPContext *httpNewContext(StorageHTTP *d) {
  auto *c = new (MEM_ALLOC(sizeof(StorageHTTPContext), MEM_ZEROED)) StorageHTTPContext();
  c->tag = d->kind->contextTag;
  c->driver = d;
  c->busy.store(1);
  WebGetRequest_Create(&c->request);
  WebGetRequest_SetWriteCallback(c->request, nullptr, c, httpOnBodyData);
  WebGetRequest_SetBodyBeginCallback(c->request, nullptr, c, httpOnBodyBegin);
  WebGetRequest_SetBodyEndCallback(c->request, nullptr, c, httpOnBodyEnd);
  WebGetRequest_SetPhaseCallback(c->request, nullptr, c, httpOnRequestDone);
  httpAppendContext(d, c);
  return c;
}

StorageHTTPContext *httpAcquireContext(StorageHTTP *d) {
  if (d->listTag != kStorageHTTPListTag) Core_Abort(KSRC, "StorageHTTP: context list damaged\n");
  for (StorageHTTPContext *c = d->first; c != nullptr; c = c->next) {
    if (c->tag != d->kind->contextTag) Core_Abort(KSRC, "StorageHTTP: context damaged\n");
    int32_t idle = 0;
    if (c->request == nullptr || !c->busy.compare_exchange_strong(idle, 1)) continue;
    WebGetRequest_ClearHeaders(c->request);
    WebGetRequest_Reset(c->request);
    c->step = nullptr;
    c->received = 0;
    c->counted = 0;
    return c;
  }
  return httpNewContext(d);
}

// Completes the context's step once; 0 when another path did already.
int httpFinishContext(StorageHTTPContext *c, int32_t result, int32_t resultEx) {
  int32_t busy = 1;
  StorageStep *step = c->step;
  if (!c->busy.compare_exchange_strong(busy, 0)) return 0;
  c->step = nullptr;
  Storage_CompleteStep(step, result, resultEx);
  return 1;
}

// Takes the request away from its hooks and drops it (the pool may still
// run it to its end into the discarding sink).
void httpDropRequest(StorageHTTPContext *c) {
  WebGetRequest *r = c->request;
  if (r == nullptr) return;
  c->request = nullptr;
  WebGetRequest_SetDiscardOutput(r);
  WebGetRequest_ClearBodyBeginCallback(r);
  WebGetRequest_ClearBodyEndCallback(r);
  WebGetRequest_ClearPhaseCallback(r);
  WebGetRequest_SetWriteCallback(r, nullptr, nullptr, WebGetRequest_DiscardSink);
  WebGetRequest_SetStartCallback(r, nullptr, nullptr, nullptr);
  Class_ReleaseObject(&r);
}

void httpCancelContextEvents(StorageHTTP *d, StorageHTTPContext *c) {
  auto id = reinterpret_cast<uintptr_t>(c);
  EventQueue *queue = httpQueue(d);
  if (queue != nullptr) EventQueue_Cancel(queue, id);
  if (EventQueue_GetMain() != nullptr && EventQueue_GetMain() != queue)
    EventQueue_Cancel(EventQueue_GetMain(), id);
}

// ---- Events -----------------------------------------------------------------------------

void httpAddEvent(uintptr_t, void *payload) {
  auto *e = static_cast<ContextEvent *>(payload);
  httpCheckEvent(e->tag, kAddEventTag);
  if (Thread_GetCurrentId() != Thread_GetMainId()) Core_Abort(KSRC, "Invalid call context\n");
  StorageHTTPContext *c = e->context;
  WebGetRequest *r = c->request;
  if (r == nullptr) return;
  // Set up here, where the pool lives, once the request is out of it (a
  // restart may meet it still there).
  c->withdrawing = 1;
  WebGetPool_RemoveRequest(r);
  c->withdrawing = 0;
  WebGetRequest_ClearHeaders(r);
  WebGetRequest_Reset(r);
  c->received = 0;
  // A transfer withdrawn after its body ended has counted its bytes already.
  if (c->counted != 0 && c->step != nullptr)
    StorageRequest_AddLength(static_cast<StorageRequest *>(c->step->argument), -c->counted);
  c->counted = 0;
  const StorageHTTPPlan &p = c->plan;
  WebGetRequest_SetUrl(r, p.url, 1);
  WebGetRequest_SetSizeLimit(r, p.limit);
  // A member under gzip in small blocks runs a third over its size; twice
  // it bounds what a server may send for it, however little it decodes to.
  WebGetRequest_SetRawLimit(r, p.limit > 0 ? 2 * p.limit + kWebGetRawSlackBytes : 0);
  if (p.rangeStart != 0 || p.rangeEnd != 0) WebGetRequest_SetRange(r, p.rangeStart, p.rangeEnd);
  if (p.raw) {
    WebGetRequest_SetAcceptCompression(r, 0);
    WebGetRequest_SetInflate(r, 0);
  }
  // Ranges and raw bodies are bytes of the stored file: no coding of the
  // server's may stand in for them.
  WebGetRequest_SetIdentityOnly(r, p.raw || p.rangeStart != 0 || p.rangeEnd != 0);
  if (p.noCache) {
    char *block = nullptr;
    int size = 0;
    WebGetRequest_GetRequestHeaders(r, &block, &size);
    WebGet_SetHeader(block, size, "Cache-Control", "no-cache", 0);
  }
  if (!WebGetPool_AddRequest(r)) {
    WebGetRequest_SetError(r, kWebGetErrorRequestIncomplete, 0);
    httpOnRequestDone(r, c);
  }
}

void httpCancelEvent(uintptr_t, void *payload) {
  auto *e = static_cast<ContextEvent *>(payload);
  httpCheckEvent(e->tag, kCancelEventTag);
  if (Thread_GetCurrentId() != Thread_GetMainId()) Core_Abort(KSRC, "Invalid call context\n");
  StorageHTTPContext *c = e->context;
  if (c->request == nullptr) return;
  // Removing a request that waits in a connection's queue ends it as done;
  // that end is not the step's.
  c->withdrawing = 1;
  WebGetPool_RemoveRequest(c->request);
  c->withdrawing = 0;
  c->received = 0;
}

// Plans and starts the context's transfer (owner thread).
void httpStart(StorageHTTP *d, StorageHTTPContext *c) {
  int32_t result = 0, resultEx = 0;
  c->generation.fetch_add(1);
  if (!d->kind->Plan(d, c, &c->plan, &result, &resultEx)) {
    httpFinishContext(c, result, resultEx);
    return;
  }
  auto *request = static_cast<StorageRequest *>(c->step->argument);
  StorageRequest_SetUrl(request, c->plan.url, c->plan.delta);
  c->plan.noCache = request->bypassCaches;
  if (!d->active) return;  // SetActive(1) starts it
  ContextEvent e{kAddEventTag, c};
  EventQueue_Post(EventQueue_GetMain(), reinterpret_cast<uintptr_t>(c), &e, sizeof e, httpAddEvent,
                  nullptr, nullptr, KSRC, 0.0);
}

void httpReadEvent(uintptr_t, void *payload) {
  auto *e = static_cast<ReadEvent *>(payload);
  httpCheckEvent(e->tag, kReadEventTag);
  e->ran = 1;
  StorageHTTP *d = e->driver;
  httpCheckOwner(d);
  if (d->stopped) {
    Storage_CompleteStep(e->step, kStorageResultCancelled, kStorageCancelStopped);
    return;
  }
  StorageHTTPContext *c = httpAcquireContext(d);
  c->step = e->step;
  httpStart(d, c);
}

// Withdrawn by Stop before it ran: the step must still complete.
void httpReadEventDone(uintptr_t, void *payload) {
  auto *e = static_cast<ReadEvent *>(payload);
  if (!e->ran) Storage_CompleteStep(e->step, kStorageResultCancelled, kStorageCancelStopped);
}

void httpDoneEvent(uintptr_t, void *payload) {
  auto *e = static_cast<DoneEvent *>(payload);
  httpCheckEvent(e->tag, kDoneEventTag);
  StorageHTTPContext *c = e->context;
  StorageHTTP *d = c->driver;
  httpCheckOwner(d);
  // A transfer withdrawn or started again since: its end is not the step's.
  if (e->generation != c->generation.load()) return;
  d->lastError = e->code;
  d->lastErrorEx = e->codeEx;
  if (e->code != 0) StorageHTTP_Log(d, "Transfer failed (%s) (%d/%d)\n",
                                    UrlLoggable(c->plan.url).text, e->code, e->codeEx);
  if (e->code != 0 && c->step != nullptr)
    StorageRequest_SetCause(static_cast<StorageRequest *>(c->step->argument), &c->cause);
  httpFinishContext(c, e->code, e->codeEx);
}

// Cancels the driver's events, drops every request and completes every open
// step with 989/1. Withdrawn read events complete their steps in their done
// handlers.
void httpStopAll(StorageHTTP *d) {
  d->stopped = 1;
  EventQueue *queue = httpQueue(d);
  auto id = reinterpret_cast<uintptr_t>(d);
  if (queue != nullptr) EventQueue_Cancel(queue, id);
  for (StorageHTTPContext *c = d->first; c != nullptr; c = c->next) {
    httpCancelContextEvents(d, c);
    httpDropRequest(c);
    httpFinishContext(c, kStorageResultCancelled, kStorageCancelStopped);
  }
}

void httpDestroy(void **object) {
  auto *d = static_cast<StorageHTTP *>(*object);
  // Every step holds a storage reference, so none is open here; the last
  // reference may go on an I/O worker, where no queue is waited for.
  if (Thread_GetCurrentId() == d->ownerThread) httpStopAll(d);
  for (StorageHTTPContext *c = d->first; c != nullptr; c = c->next) httpDropRequest(c);
  while (d->first != nullptr) {
    StorageHTTPContext *c = d->first;
    d->first = c->next;
    c->tag = 0;
    c->~StorageHTTPContext();
    MEM_FREE(c, sizeof(StorageHTTPContext));
  }
  d->header.classTag = 0;
  d->~StorageHTTP();
  MEM_FREE(d, sizeof(StorageHTTP));
}

// ---- The "http" kind ------------------------------------------------------------------

int httpConfigure(StorageHTTP *d, Dictionary *, Dictionary *config) {
  if (!Dictionary_GetStringByKey(config, "url", d->url, kStorageHTTPUrlBytes)) {
    StorageHTTP_Log(d, "Configuration dictionary missing %s\n", "url");
    return 0;
  }
  return 1;
}

int httpPlan(StorageHTTP *d, StorageHTTPContext *c, StorageHTTPPlan *p, int32_t *result,
             int32_t *resultEx) {
  auto *m = static_cast<StorageMember *>(c->step->value);
  FileEntry *entry = m->file;
  int64_t size = 0;
  char name[kPathMax];
  *result = *resultEx = 0;
  if (entry == nullptr || !FileList_GetSize(entry, &size) || size <= 0) {
    // Nothing to fetch, but the member's pad still fills its place.
    StorageRequest_AddLength(static_cast<StorageRequest *>(c->step->argument), m->pad);
    return 0;
  }
  if (!FileList_GetName(entry, name, int32_t(sizeof name)) ||
      !StorageHTTP_JoinName(d->url, name, p->url, kStorageHTTPUrlBytes)) {
    StorageHTTP_Log(d, "Unusable file URL (%s)\n", name);
    *result = kWebGetErrorInvalidContent;
    return 0;
  }
  p->rangeStart = p->rangeEnd = 0;
  if (m->fileOffset > 0 || m->length < size) {
    p->rangeStart = uint64_t(m->fileOffset);
    p->rangeEnd = uint64_t(m->fileOffset + m->length - 1);
  }
  p->destination = m->paddedOffset;
  p->limit = m->length;
  p->expected = m->length;
  p->pad = m->pad;
  p->raw = 0;
  return 1;
}

int httpAdmit(StorageHTTP *, StorageStep *step) {
  auto *m = static_cast<StorageMember *>(step->value);
  if (m->length != 0) return 1;
  // A pad range may follow a file's last member; its zeros still count.
  StorageRequest_AddLength(static_cast<StorageRequest *>(step->argument), m->pad);
  Storage_CompleteStep(step, 0, 0);
  return 0;
}

constexpr StorageHTTPKind kHttpKind = {"StorageHTTP", kStorageHTTPTag, kStorageHTTPContextTag,
                                       httpConfigure, httpPlan, httpAdmit};

bool isUnreserved(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

}  // namespace

int StorageHTTP_JoinName(const char *base, const char *name, char *out, int32_t size) {
  CHECK_POINTER(base);
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char *p = name; *p != '\0'; p++) {
    auto c = uint8_t(*p);
    bool endOfComponent = p[1] == '\0' || p[1] == '/' || p[1] == '\\';
    if (c == '/' || c == '\\') {
      encoded += '/';
    } else if (isUnreserved(c) && !(c == '.' && endOfComponent)) {
      encoded += char(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  if (!Url_Join(base, encoded.c_str(), out, size)) {
    out[0] = '\0';
    return 0;
  }
  Url_RemoveFragment(out);
  return 1;
}

void StorageHTTP_Log(StorageHTTP *d, const char *format, ...) {
  if (d->storage == nullptr || d->log == nullptr) return;
  char line[kStorageHTTPUrlBytes + 256];
  va_list args;
  va_start(args, format);
  Str_VPrintf(line, int(sizeof line), format, args);
  va_end(args);
  d->log(d->storage, "%s: %s", d->kind->className, line);
}

int StorageHTTP_CreateKind(const StorageHTTPKind *kind, void **context) {
  CHECK_POINTER(kind);
  CHECK_POINTER(context);
  auto *d = new (MEM_ALLOC(sizeof(StorageHTTP), MEM_ZEROED)) StorageHTTP();
  d->header.classTag = kind->tag;
  d->header.refCount.store(1);
  d->header.destroy = httpDestroy;
  d->kind = kind;
  d->listTag = kStorageHTTPListTag;
  d->ownerThread = Thread_GetCurrentId();
  *context = d;
  return 1;
}

int StorageHTTP_Create(void **context) { return StorageHTTP_CreateKind(&kHttpKind, context); }

int StorageHTTP_Release(void **context) {
  Class_Release(context);
  return 1;
}

int StorageHTTP_SetLogHook(void *context, Storage *storage, StorageLogFunction log) {
  StorageHTTP *d = httpOf(context);
  d->storage = storage;
  d->log = log;
  return 1;
}

int StorageHTTP_Configure(void *context, Storage *storage, Dictionary *appConfig,
                          Dictionary *config) {
  StorageHTTP *d = httpOf(context);
  httpCheckOwner(d);
  CHECK_POINTER(config);
  if (!d->kind->Configure(d, appConfig, config)) return 0;
  Storage_GetMeters(storage, &d->meters);
  Storage_SetLocation(storage, d->url);
  d->active = 1;
  return 1;
}

int StorageHTTP_Stop(void *context, Storage *) {
  StorageHTTP *d = httpOf(context);
  httpCheckOwner(d);
  httpStopAll(d);
  return 1;
}

int StorageHTTP_SetActive(void *context, Storage *, int32_t active) {
  StorageHTTP *d = httpOf(context);
  httpCheckOwner(d);
  active = active ? 1 : 0;
  if (active == d->active || d->stopped) return 1;
  d->active = active;
  for (StorageHTTPContext *c = d->first; c != nullptr; c = c->next) {
    if (c->busy.load() == 0 || c->step == nullptr) continue;
    if (active) {
      c->received = 0;
      httpStart(d, c);
      continue;
    }
    c->generation.fetch_add(1);
    httpCancelContextEvents(d, c);
    c->received = 0;
    if (c->request == nullptr) continue;
    ContextEvent e{kCancelEventTag, c};
    EventQueue_Post(EventQueue_GetMain(), reinterpret_cast<uintptr_t>(c), &e, sizeof e,
                    httpCancelEvent, nullptr, nullptr, KSRC, 0.0);
  }
  return 1;
}

int StorageHTTP_Status(void *context, Storage *, Dictionary *status) {
  StorageHTTP *d = httpOf(context);
  Dictionary_SetInt64ByKey(status, "lastError", d->lastError);
  Dictionary_SetInt64ByKey(status, "lastErrorEx", d->lastErrorEx);
  Dictionary_SetStringByKey(status, "url", d->url);
  return 1;
}

int StorageHTTP_Read(void *context, StorageStep *step) {
  StorageHTTP *d = httpOf(context);
  CHECK_POINTER(step);
  if (!d->kind->Admit(d, step)) return 1;
  EventQueue *queue = nullptr;
  Storage_GetQueue(step->storage, &queue);
  ReadEvent e{kReadEventTag, 0, d, step};
  EventQueue_Post(queue, reinterpret_cast<uintptr_t>(d), &e, sizeof e, httpReadEvent,
                  httpReadEventDone, nullptr, KSRC, 0.0);
  return 1;
}

const StorageDriver kStorageHTTPDriver = {
    "StorageHTTP",         StorageHTTP_Create,         StorageDriver_AddRef,
    StorageHTTP_Release,   StorageHTTP_SetLogHook,     StorageHTTP_Configure,
    StorageHTTP_Stop,      StorageHTTP_SetActive,      StorageHTTP_Status,
    StorageDriver_NoOp,    StorageDriver_NotSupported, StorageHTTP_Read,
    StorageDriver_NotSupported, StorageDriver_NotSupported, StorageDriver_NotSupported,
    StorageDriver_NotSupported,
};
