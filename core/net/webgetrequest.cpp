// The HTTP client's request record; see core/net/webgetrequest.h.
#include "core/net/webgetrequest.h"

#include <zlib.h>

#include <cstdarg>
#include <cstring>
#include <new>

#include "core/net/url.h"
#include "core/platform/asyncfile.h"
#include "core/runtime/core.h"
#include "core/runtime/expand.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/pool.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

#define REQUEST_CHECK(r) CLASS_CHECK((r), kWebGetRequestTag)

void webGetRequestLogV(WebGetRequest *r, int level, const char *format, va_list args) {
  if (!Class_LogEnabled(&r->log, level)) return;
  Class_LogPrint(&r->log, 0, format, args);
}

void webGetRequestLog(WebGetRequest *r, const char *format, ...) {
  va_list args;
  va_start(args, format);
  webGetRequestLogV(r, LOG_DEBUG, format, args);
  va_end(args);
}

int webGetRequestSetCallback(CallbackRef *ref, void *instance, void *context,
                             CallbackFunction function) {
  // A cell holds one owner: the old registration goes first.
  CallbackRef_Clear(ref);
  return CallbackRef_Set(ref, instance, context, function);
}

int webGetRequestRunCallback(WebGetRequest *r, CallbackRef *ref) {
  void *context = nullptr;
  CallbackFunction function = nullptr;
  if (!Callback_Get(&ref->cell, &context, &function)) return 1;
  return reinterpret_cast<WebGetRequestCallback>(function)(r, context);
}

void webGetRequestFreeMemory(WebGetRequest *r) {
  if (r->memoryOutput != nullptr) MEM_FREE(r->memoryOutput, r->memoryCapacity);
  r->memoryOutput = nullptr;
  r->memoryCapacity = 0;
  r->memoryLength = 0;
}

void webGetRequestCloseInflater(WebGetRequest *r) {
  if (r->inflater == nullptr) return;
  if (r->inflateOpen) inflateEnd(r->inflater);
  MEM_FREE(r->inflater, sizeof(z_stream));
  r->inflater = nullptr;
  r->inflateOpen = 0;
}

void webGetRequestDestroy(void **object) {
  auto *r = static_cast<WebGetRequest *>(*object);
  *object = nullptr;
  Pool_Reset(r->cookiePool);
  Pool_Release(&r->cookiePool);
  webGetRequestCloseInflater(r);
  AsyncFile_Close(r->outputFile);
  AsyncFile_Release(&r->outputFile);
  MemoryStream_Release(&r->inflateStream);
  if (r->writePool != nullptr) {
    Pool_Reset(r->writePool);
    Pool_Release(&r->writePool);
  }
  webGetRequestFreeMemory(r);
  for (CallbackRef *ref : {&r->bodyBeginCallback, &r->bodyEndCallback, &r->writeCallback,
                           &r->redirectCallback, &r->writeDoneCallback, &r->phaseCallback,
                           &r->startCallback})
    CallbackRef_Clear(ref);
  r->header.classTag = 0;
  r->~WebGetRequest();
  MEM_FREE(r, sizeof(WebGetRequest));
}

// Writes every byte up to 0x20 and 0x7F of url as "%XX" into out. 0 when the
// result does not fit.
int webGetRequestEscapeControls(const char *url, char *out, int size) {
  static const char kHex[] = "0123456789ABCDEF";
  int n = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(url); *p; p++) {
    bool escape = *p <= 0x20 || *p == 0x7f;
    if (n + (escape ? 3 : 1) >= size) return 0;
    if (escape) {
      out[n++] = '%';
      out[n++] = kHex[*p >> 4];
      out[n++] = kHex[*p & 0xf];
    } else {
      out[n++] = char(*p);
    }
  }
  out[n] = '\0';
  return 1;
}

void webGetRequestClearUrl(WebGetRequest *r) {
  r->url[0] = '\0';
  r->host[0] = '\0';
  r->filename[0] = '\0';
}

// The largest memory output the request may hold.
int64_t webGetRequestMemoryCap(const WebGetRequest *r) {
  if (r->sizeLimit > 0 && r->sizeLimit < kWebGetMemoryOutputMaxBytes) return r->sizeLimit;
  return kWebGetMemoryOutputMaxBytes;
}

int webGetRequestMemoryRefused(WebGetRequest *r, int64_t wanted, int64_t cap) {
  webGetRequestLog(r, "Memory output limit exceeded [%lld > %lld]", (long long)wanted,
                   (long long)cap);
  return WebGetRequest_SetError(r, kWebGetErrorSizeLimit, 0);
}

// The capacity for need bytes: the announced length when the data fits in
// it, else 1.5 times the need rounded up to whole MiB, cut down to whole MiB
// (100 bytes give 1 MiB, 1.5 MiB give 3 MiB); never above cap.
int64_t webGetRequestGrowth(const WebGetRequest *r, int64_t need, int64_t cap) {
  if (r->hasContentLength && r->contentLength > 0 && need <= r->contentLength)
    return r->contentLength;
  int64_t steps = (need + kWebGetMemoryOutputStepBytes - 1) / kWebGetMemoryOutputStepBytes;
  int64_t capacity = (steps * 3 / 2) * kWebGetMemoryOutputStepBytes;
  return capacity < cap ? capacity : cap;
}

}  // namespace

// ---- Lifetime -------------------------------------------------------------------

int WebGetRequest_Create(WebGetRequest **request) {
  CHECK_POINTER(request);
  *request = nullptr;
  auto *r = new (MEM_ALLOC(sizeof(WebGetRequest), MEM_ZEROED)) WebGetRequest();
  r->header.classTag = kWebGetRequestTag;
  r->header.refCount.store(1, std::memory_order_relaxed);
  r->header.destroy = webGetRequestDestroy;
  Class_GenerateInstanceId(r);
  r->log.object = r;
  r->log.className = "WebGetRequest";
  r->redirectLimit = kWebGetDefaultRedirectLimit;
  r->httpVersion = 1.1;
  r->responseVersion = 1.0;
  r->acceptCompression = 1;
  r->inflateEnabled = 1;
  r->cookiesEnabled = 1;
  r->checkHost = 1;
  r->reportErrors = 1;
  r->keepAlive = 1;
  r->method = kWebGetMethodGet;
  r->phaseStartTime.store(Platform_GetTickSeconds());
  r->timeoutSeconds = kWebGetDefaultTimeoutSeconds;
  r->allowProxy = 1;
  CallbackRef_Set(&r->writeCallback, nullptr, nullptr,
                  reinterpret_cast<CallbackFunction>(WebGetRequest_MemorySink));
  AsyncFile_Create(&r->outputFile);
  MemoryStream_Create(&r->inflateStream);
  Pool_Create(&r->cookiePool, KSRC);
  Pool_SetMemberSize(r->cookiePool, int32_t(sizeof(WebGetCookie)));
  Pool_SetMemberChunkSize(r->cookiePool, kWebGetCookiesPerChunk);
  r->cookies.classTag = kWebGetCookieListTag;
  *request = r;
  return 1;
}

int WebGetRequest_IsOnlyReference(WebGetRequest *request) {
  REQUEST_CHECK(request);
  int32_t expected = 1;
  return request->header.refCount.compare_exchange_strong(expected, 1) ? 1 : 0;
}

// ---- Settings ---------------------------------------------------------------------

int WebGetRequest_SetUrl(WebGetRequest *request, const char *url, int rewrite) {
  REQUEST_CHECK(request);
  CHECK_POINTER(url);
  char work[kWebGetUrlBytes];
  int ok = Url_Fix(url, work, int(sizeof work));
  // Macro cookies belong to the host of the URL being set.
  if (ok) Url_GetHost(work, request->host, int(sizeof request->host));
  if (ok && rewrite) {
    ok = Str_Expand(work, int(sizeof work), request, WebGetRequest_MacroHandler);
    if (ok) WebGet_RewriteUrl(kWebGetRedirectExpand, work, int(sizeof work));
  }
  if (ok) ok = Str_Expand(work, int(sizeof work), request, WebGetRequest_MacroHandler);
  // Macros and rules run after the fix: a decoded %0D%0A or a replacement
  // must not reach the request line as a line end.
  if (ok) ok = webGetRequestEscapeControls(work, request->url, int(sizeof request->url));
  if (!ok) {
    webGetRequestLog(request, "Unable to set url [%s]", UrlLoggable(url).text);
    webGetRequestClearUrl(request);
    return 0;
  }
  Url_GetHost(request->url, request->host, int(sizeof request->host));
  Url_GetFilename(request->url, request->filename, int(sizeof request->filename));
  return 1;
}

int WebGetRequest_GetUrl(WebGetRequest *request, const char **url) {
  REQUEST_CHECK(request);
  CHECK_POINTER(url);
  *url = request->url;
  return 1;
}

int WebGetRequest_CopyUrl(WebGetRequest *request, char *out, int size) {
  REQUEST_CHECK(request);
  CHECK_POINTER(out);
  return Str_Copy(out, request->url, size) == int(strlen(request->url)) ? 1 : 0;
}


int WebGetRequest_SetMethod(WebGetRequest *request, int32_t method) {
  REQUEST_CHECK(request);
  request->method = method;
  return 1;
}

int32_t WebGetRequest_GetMethod(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->method;
}

int WebGetRequest_GetHttpVersion(WebGetRequest *request, double *version) {
  REQUEST_CHECK(request);
  CHECK_POINTER(version);
  *version = request->httpVersion;
  return 1;
}

int WebGetRequest_SetPostData(WebGetRequest *request, const void *data, int32_t length) {
  REQUEST_CHECK(request);
  request->postData = data;
  request->postDataLength = data ? length : 0;
  return 1;
}

int WebGetRequest_GetPostData(WebGetRequest *request, const void **data, int32_t *length) {
  REQUEST_CHECK(request);
  CHECK_POINTER(data);
  CHECK_POINTER(length);
  *data = request->postData;
  *length = request->postDataLength;
  return 1;
}

int WebGetRequest_SetRange(WebGetRequest *request, uint64_t start, uint64_t end) {
  REQUEST_CHECK(request);
  request->rangeStart = start;
  request->rangeEnd = end;
  return 1;
}

int WebGetRequest_GetRange(WebGetRequest *request, uint64_t *start, uint64_t *end) {
  REQUEST_CHECK(request);
  CHECK_POINTER(start);
  CHECK_POINTER(end);
  *start = request->rangeStart;
  *end = request->rangeEnd;
  return 1;
}

int WebGetRequest_SetFilePath(WebGetRequest *request, const char *path) {
  REQUEST_CHECK(request);
  CHECK_POINTER(path);
  if (strlen(path) >= sizeof request->filePath) {
    webGetRequestLog(request, "Output path too long [%.64s...]", path);
    request->filePath[0] = '\0';
    return 0;
  }
  Str_Copy(request->filePath, path, int(sizeof request->filePath));
  return 1;
}

int WebGetRequest_GetFilePath(WebGetRequest *request, char *out, int size) {
  REQUEST_CHECK(request);
  CHECK_POINTER(out);
  return Str_Copy(out, request->filePath, size) == int(strlen(request->filePath)) ? 1 : 0;
}

int WebGetRequest_GetFilename(WebGetRequest *request, char *out, int size) {
  REQUEST_CHECK(request);
  CHECK_POINTER(out);
  return Str_Copy(out, request->filename, size) == int(strlen(request->filename)) ? 1 : 0;
}

int WebGetRequest_SetSizeLimit(WebGetRequest *request, int64_t limit) {
  REQUEST_CHECK(request);
  request->sizeLimit = limit > 0 ? limit : 0;
  return 1;
}

int WebGetRequest_SetRawLimit(WebGetRequest *request, int64_t limit) {
  REQUEST_CHECK(request);
  request->rawLimit = limit > 0 ? limit : 0;
  return 1;
}

int64_t WebGetRequest_GetSizeLimit(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->sizeLimit;
}

#define WEBGET_REQUEST_FLAG(Name, field)                       \
  int WebGetRequest_Set##Name(WebGetRequest *request, int on) { \
    REQUEST_CHECK(request);                                     \
    request->field = on ? 1 : 0;                                \
    return 1;                                                   \
  }
#define WEBGET_REQUEST_FLAG_GET(Name, field)             \
  int WebGetRequest_Get##Name(WebGetRequest *request) { \
    REQUEST_CHECK(request);                              \
    return request->field;                               \
  }

WEBGET_REQUEST_FLAG(AcceptCompression, acceptCompression)
WEBGET_REQUEST_FLAG(Inflate, inflateEnabled)
WEBGET_REQUEST_FLAG(IdentityOnly, identityOnly)
WEBGET_REQUEST_FLAG(AllowResume, allowResume)
WEBGET_REQUEST_FLAG_GET(AllowResume, allowResume)
WEBGET_REQUEST_FLAG(AllowProxy, allowProxy)
WEBGET_REQUEST_FLAG_GET(AllowProxy, allowProxy)
WEBGET_REQUEST_FLAG(ReportError, reportErrors)
WEBGET_REQUEST_FLAG_GET(ReportError, reportErrors)
WEBGET_REQUEST_FLAG(CheckHost, checkHost)
WEBGET_REQUEST_FLAG_GET(CheckHost, checkHost)
WEBGET_REQUEST_FLAG(KeepFileTime, keepFileTime)
WEBGET_REQUEST_FLAG_GET(KeepFileTime, keepFileTime)
WEBGET_REQUEST_FLAG(CookiesEnabled, cookiesEnabled)
WEBGET_REQUEST_FLAG(IgnoreCookieDomain, ignoreCookieDomain)
WEBGET_REQUEST_FLAG_GET(KeepAlive, keepAlive)

int WebGetRequest_SetTimeout(WebGetRequest *request, int32_t seconds) {
  REQUEST_CHECK(request);
  request->timeoutSeconds = seconds;
  return 1;
}

int32_t WebGetRequest_GetTimeout(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->timeoutSeconds;
}

int WebGetRequest_SetCacheStore(WebGetRequest *request, WebGetCacheStore *store) {
  REQUEST_CHECK(request);
  request->cacheStore = store;
  return 1;
}

WebGetCacheStore *WebGetRequest_GetCacheStore(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->cacheStore;
}

int WebGetRequest_SetRedirectLimit(WebGetRequest *request, int32_t limit) {
  REQUEST_CHECK(request);
  request->redirectLimit = limit > 0 ? limit : 0;
  return 1;
}

int WebGetRequest_SetLogFlag(WebGetRequest *request, int on) {
  REQUEST_CHECK(request);
  request->logFlag = on ? 1 : 0;
  request->log.forced = request->logFlag;
  if (on && request->log.level.load() < LOG_DEBUG) request->log.level.store(LOG_DEBUG);
  return 1;
}

int WebGetRequest_SetLogHook(WebGetRequest *request, void *context, ClassLogSink hook) {
  REQUEST_CHECK(request);
  request->log.sinkContext = hook ? context : nullptr;
  request->log.sink = hook;
  return 1;
}

// ---- Output and callbacks -----------------------------------------------------------

int WebGetRequest_SetDiscardOutput(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return webGetRequestSetCallback(&request->writeCallback, nullptr, nullptr,
                                  reinterpret_cast<CallbackFunction>(WebGetRequest_DiscardSink));
}

int WebGetRequest_SetMemoryOutput(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return webGetRequestSetCallback(&request->writeCallback, nullptr, nullptr,
                                  reinterpret_cast<CallbackFunction>(WebGetRequest_MemorySink));
}

int WebGetRequest_SetWriteCallback(WebGetRequest *request, void *instance, void *context,
                                   WebGetRequestWriteCallback function) {
  REQUEST_CHECK(request);
  return webGetRequestSetCallback(&request->writeCallback, instance, context,
                                  reinterpret_cast<CallbackFunction>(function));
}

#define WEBGET_REQUEST_CALLBACK(Name, field)                                                   \
  int WebGetRequest_Set##Name##Callback(WebGetRequest *request, void *instance, void *context, \
                                        WebGetRequestCallback function) {                      \
    REQUEST_CHECK(request);                                                                    \
    return webGetRequestSetCallback(&request->field, instance, context,                        \
                                    reinterpret_cast<CallbackFunction>(function));             \
  }
WEBGET_REQUEST_CALLBACK(BodyBegin, bodyBeginCallback)
WEBGET_REQUEST_CALLBACK(BodyEnd, bodyEndCallback)
WEBGET_REQUEST_CALLBACK(Phase, phaseCallback)
WEBGET_REQUEST_CALLBACK(Start, startCallback)
WEBGET_REQUEST_CALLBACK(WriteDone, writeDoneCallback)

int WebGetRequest_ClearBodyBeginCallback(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return CallbackRef_Clear(&request->bodyBeginCallback);
}

int WebGetRequest_ClearBodyEndCallback(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return CallbackRef_Clear(&request->bodyEndCallback);
}

int WebGetRequest_ClearPhaseCallback(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return CallbackRef_Clear(&request->phaseCallback);
}

int WebGetRequest_RunStartCallback(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return webGetRequestRunCallback(request, &request->startCallback);
}

int WebGetRequest_RunPhaseCallback(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return webGetRequestRunCallback(request, &request->phaseCallback);
}

int WebGetRequest_DiscardSink(WebGetRequest *request, void *, const void *, int64_t length,
                              int64_t *written) {
  REQUEST_CHECK(request);
  CHECK_POINTER(written);
  *written += length;
  return 1;
}

int WebGetRequest_MemorySink(WebGetRequest *request, void *, const void *data, int64_t length,
                             int64_t *written) {
  REQUEST_CHECK(request);
  CHECK_POINTER(written);
  if (length <= 0) return 1;
  CHECK_POINTER(data);
  int64_t cap = webGetRequestMemoryCap(request);
  // An announced length past the cap fails now, before a byte is taken.
  if (request->hasContentLength && request->contentLength > cap)
    return webGetRequestMemoryRefused(request, request->contentLength, cap);
  if (length > cap - request->memoryLength)
    return webGetRequestMemoryRefused(
        request, length > INT64_MAX - request->memoryLength ? INT64_MAX : request->memoryLength + length,
        cap);
  int64_t need = request->memoryLength + length;
  if (need > request->memoryCapacity) {
    int64_t capacity = webGetRequestGrowth(request, need, cap);
    auto *grown = static_cast<uint8_t *>(MEM_ALLOC(capacity, 0));
    if (request->memoryLength > 0)
      memcpy(grown, request->memoryOutput, size_t(request->memoryLength));
    if (request->memoryOutput != nullptr) MEM_FREE(request->memoryOutput, request->memoryCapacity);
    request->memoryOutput = grown;
    request->memoryCapacity = capacity;
  }
  memcpy(request->memoryOutput + request->memoryLength, data, size_t(length));
  request->memoryLength = need;
  *written += length;
  return 1;
}

// ---- Headers ------------------------------------------------------------------------

int WebGetRequest_GetRequestHeaders(WebGetRequest *request, char **block, int *size) {
  REQUEST_CHECK(request);
  CHECK_POINTER(block);
  CHECK_POINTER(size);
  *block = request->requestHeaders;
  *size = int(sizeof request->requestHeaders);
  return 1;
}

int WebGetRequest_GetResponseHeaders(WebGetRequest *request, const char **block, int *size) {
  REQUEST_CHECK(request);
  CHECK_POINTER(block);
  CHECK_POINTER(size);
  *block = request->responseHeaders;
  *size = int(sizeof request->responseHeaders);
  return 1;
}

int WebGetRequest_ClearHeaders(WebGetRequest *request) {
  REQUEST_CHECK(request);
  request->requestHeaders[0] = '\0';
  request->responseHeaders[0] = '\0';
  return 1;
}

// ---- Results --------------------------------------------------------------------------

int WebGetRequest_GetCause(WebGetRequest *request, WebGetCause *cause) {
  REQUEST_CHECK(request);
  CHECK_POINTER(cause);
  *cause = request->cause;
  return 1;
}

int WebGetRequest_GetError(WebGetRequest *request, int32_t *code, int32_t *codeEx) {
  REQUEST_CHECK(request);
  CHECK_POINTER(code);
  CHECK_POINTER(codeEx);
  *code = request->error.load();
  *codeEx = request->errorEx.load();
  return 1;
}

int WebGetRequest_SetError(WebGetRequest *request, int32_t code, int32_t codeEx) {
  REQUEST_CHECK(request);
  request->errorEx.store(codeEx);
  request->error.store(code);
  if (code != 0 && request->redirectCount > 0 && request->cause.hop[0] == '\0')
    Str_Copy(request->cause.hop, request->url, int(sizeof request->cause.hop));
  if (code != 0) WebGetRequest_CloseOutputFile(request);
  return 0;
}

int32_t WebGetRequest_GetStatusCode(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->statusCode;
}

int WebGetRequest_GetStatusText(WebGetRequest *request, char *out, int size) {
  REQUEST_CHECK(request);
  return WebGet_GetStatusText(request->responseHeaders, out, size);
}

int WebGetRequest_GetContentLength(WebGetRequest *request, int64_t *length) {
  REQUEST_CHECK(request);
  CHECK_POINTER(length);
  *length = request->hasContentLength ? request->contentLength : 0;
  return request->hasContentLength ? 1 : 0;
}

uint64_t WebGetRequest_GetBytesReceived(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->bytesReceived;
}

uint64_t WebGetRequest_GetBodyBytesConsumed(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->bodyBytesConsumed;
}

uint64_t WebGetRequest_GetRedirectBytes(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->redirectBytes;
}

uint64_t WebGetRequest_GetResumeOffset(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->foundFileSize;
}

int64_t WebGetRequest_GetMaxAge(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->maxAge;
}

int32_t WebGetRequest_GetCacheDirective(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->cacheDirective;
}

int WebGetRequest_GetMemoryOutput(WebGetRequest *request, const uint8_t **data, int64_t *length) {
  REQUEST_CHECK(request);
  CHECK_POINTER(data);
  CHECK_POINTER(length);
  if (request->memoryOutput == nullptr) {
    request->memoryOutput = static_cast<uint8_t *>(MEM_ALLOC(1, MEM_ZEROED));
    request->memoryCapacity = 1;
    request->memoryLength = 0;
  }
  *data = request->memoryOutput;
  *length = request->memoryLength;
  return 1;
}

int WebGetRequest_TakeMemoryOutput(WebGetRequest *request, uint8_t **data, int64_t *capacity,
                                   int64_t *length) {
  REQUEST_CHECK(request);
  CHECK_POINTER(data);
  CHECK_POINTER(capacity);
  CHECK_POINTER(length);
  *data = request->memoryOutput;
  *capacity = request->memoryCapacity;
  *length = request->memoryLength;
  request->memoryOutput = nullptr;
  request->memoryCapacity = 0;
  request->memoryLength = 0;
  return 1;
}

int WebGetRequest_FreeMemoryOutput(WebGetRequest *request) {
  REQUEST_CHECK(request);
  webGetRequestFreeMemory(request);
  return 1;
}

int WebGetRequest_IsComplete(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->phase.load() == kWebGetPhaseDone ? 1 : 0;
}

int WebGetRequest_IsSuccess(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->phase.load() == kWebGetPhaseDone && request->error.load() == 0 &&
                 request->statusCode >= 200 && request->statusCode <= 299 &&
                 !request->rangeMismatch
             ? 1
             : 0;
}

int WebGetRequest_GetConnection(WebGetRequest *request, WebGetConnection **connection) {
  REQUEST_CHECK(request);
  CHECK_POINTER(connection);
  *connection = request->connection;
  return request->connection ? 1 : 0;
}

// ---- For connections and the pool -------------------------------------------------------

int WebGetRequest_SetPhase(WebGetRequest *request, int32_t phase) {
  REQUEST_CHECK(request);
  int32_t old = request->phase.load();
  do {
    if (old == phase) return 0;
  } while (!request->phase.compare_exchange_weak(old, phase));
  double now = Platform_GetTickSeconds();
  double started = request->phaseStartTime.exchange(now);
  webGetRequestLog(request, "Phase change - %s > %s (%.2f)", WebGet_GetPhaseName(old),
                   WebGet_GetPhaseName(phase), now - started);
  request->phaseChanged.store(1);
  return 1;
}

int32_t WebGetRequest_GetPhase(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->phase.load();
}

int WebGetRequest_SetConnection(WebGetRequest *request, WebGetConnection *connection) {
  REQUEST_CHECK(request);
  request->connection = connection;
  return 1;
}

int WebGetRequest_SetPhaseChangedFlag(WebGetRequest *request, int value) {
  REQUEST_CHECK(request);
  request->phaseChanged.store(value ? 1 : 0);
  return 1;
}

int WebGetRequest_GetPhaseChangedFlag(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->phaseChanged.load();
}

int WebGetRequest_SetRequestTarget(WebGetRequest *request, const char *target) {
  REQUEST_CHECK(request);
  CHECK_POINTER(target);
  Str_Copy(request->requestTarget, target, int(sizeof request->requestTarget));
  return 1;
}

int WebGetRequest_GetRequestTarget(WebGetRequest *request, char *out, int size) {
  REQUEST_CHECK(request);
  CHECK_POINTER(out);
  return Str_Copy(out, request->requestTarget, size) == int(strlen(request->requestTarget)) ? 1
                                                                                          : 0;
}

int WebGetRequest_SetHeaderState(WebGetRequest *request, int32_t state) {
  REQUEST_CHECK(request);
  request->headerState = state;
  return 1;
}

int32_t WebGetRequest_GetHeaderState(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->headerState;
}

int WebGetRequest_HasPendingWrites(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->pendingWrites.load() > 0 ? 1 : 0;
}

int WebGetRequest_ResetResponse(WebGetRequest *request) {
  REQUEST_CHECK(request);
  request->memoryLength = 0;
  request->bytesReceived = 0;
  request->bodyBytesConsumed = 0;
  request->chunked = 0;
  request->chunkRemaining = 0;
  request->chunkSize = 0;
  request->finalChunk = 0;
  request->inTrailer = 0;
  request->trailerBytes = 0;
  request->statusCode = 0;
  request->responseVersion = 1.0;
  request->contentLength = 0;
  request->hasContentLength = 0;
  request->gzip = 0;
  request->decodeAnswer = 0;
  request->keepAlive = 1;
  request->acceptsRanges = 0;
  request->rangeMismatch = 0;
  request->receivedRangeStart = 0;
  request->receivedRangeEnd = 0;
  request->lastModified = 0;
  request->maxAge = 0;
  request->cacheDirective = 0;
  request->errorEx.store(0);
  request->error.store(0);
  request->cause = WebGetCause{};
  MemoryStream_Empty(request->inflateStream);
  return 1;
}

int WebGetRequest_Reset(WebGetRequest *request) {
  REQUEST_CHECK(request);
  AsyncFile_Close(request->outputFile);
  WebGetRequest_ResetResponse(request);
  request->redirectCount = 0;
  request->redirectBytes = 0;
  request->foundFileSize = 0;
  request->writeOffset = 0;
  request->rangeStart = 0;
  request->rangeEnd = 0;
  if (request->writePool != nullptr) Pool_Reset(request->writePool);
  WebGetRequest_SetPhase(request, kWebGetPhaseIdle);
  return 1;
}

// ---- Log ------------------------------------------------------------------------------

int WebGetRequest_Log(WebGetRequest *request, const char *format, ...) {
  REQUEST_CHECK(request);
  va_list args;
  va_start(args, format);
  webGetRequestLogV(request, LOG_DEBUG, format, args);
  va_end(args);
  return 1;
}

int WebGetRequest_LogAtLevel(WebGetRequest *request, int level, const char *format, ...) {
  REQUEST_CHECK(request);
  va_list args;
  va_start(args, format);
  webGetRequestLogV(request, level, format, args);
  va_end(args);
  return 1;
}
