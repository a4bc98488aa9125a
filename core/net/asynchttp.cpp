// The one-shot document request; see asynchttp.h.
#include "core/net/asynchttp.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/formats/xml.h"
#include "core/formats/yaml.h"
#include "core/net/url.h"
#include "core/net/webget.h"
#include "core/net/webgetconnection.h"
#include "core/net/webgetpool.h"
#include "core/net/webgetrequest.h"
#include "core/platform/eventqueue.h"
#include "core/platform/file.h"
#include "core/platform/fileops.h"
#include "core/platform/ioworker.h"
#include "core/platform/meterrw.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/signal.h"
#include "core/runtime/str.h"
#include "core/security/certstorei.h"
#include "core/security/jws.h"
#include "core/security/jwsclaims.h"

namespace {

constexpr uint32_t kAsyncHttpStartTag = 0x4a7c3e16;
constexpr uint32_t kAsyncHttpFinishTag = 0x4a7c3e17;

// Where the current Get or Save is: the stage decides what a Reset may touch.
enum class Stage : int32_t {
  Idle,
  Network,    // the start step or the transfer is pending on the main thread
  Worker,     // a parse or Save write runs on the I/O worker
  Finishing,  // the finish step is posted
};

struct StartPayload {
  uint32_t tag;  // kAsyncHttpStartTag
  uint32_t generation;
  char *url;  // tracked, size bytes; freed by the done handler
  int32_t size;
  // 1 when the step holds a reference (a fetch made again from the I/O
  // worker); its done handler drops it on the main thread.
  uint32_t reference;
};

struct FinishPayload {
  uint32_t tag;  // kAsyncHttpFinishTag
  uint32_t generation;
  uint32_t code;
  uint32_t codeEx;
  // 1 while the step holds the reference of the I/O worker's work: dropped
  // once the step has run, so that the owner who sees the object idle can
  // release it for good on its own thread.
  uint32_t reference;
};

// The parse packet of the I/O worker; one per object, as one Get runs at a
// time.
struct ParseWork {
  IOWorkerRequest io;  // first: the worker hands this address back
  uint32_t generation;
  uint8_t *data;  // owned, capacity bytes; the kept body when it is kept
  int64_t capacity;
  int64_t length;
  CertStore *store;  // retained for the parse, or NULL
  JwsClaims *claims;  // the object's list, or NULL: no claim is checked
  int32_t payloadRead;  // 1 once a token's payload reached the reader
};

}  // namespace

struct AsyncHttp {
  ObjectHeader header;
  // Guards every field below except those marked. Recursive: the error
  // callback runs under it and may ask the object for its state.
  std::recursive_mutex lock;
  EventQueue *queue;  // retained; NULL: the main queue
  Dictionary *result;
  // Parsers bound to the result. While a parse or a Save write runs on the
  // I/O worker, it alone touches them, the result and the bodies.
  Json *json;
  XML *xml;
  Yaml *yaml;
  WebGetRequest *request;  // the transfer on the network, or NULL
  MeterRW *meter;
  Signal *running;  // any thread tests it
  CertStore *certStore;          // retained
  WebGetCacheStore *cacheStore;  // borrowed
  int32_t maxSize;
  uint32_t errorCode;
  uint32_t errorCodeEx;
  WebGetCause cause;  // of the last transfer's failure
  int32_t errorCount;
  int32_t complete;
  int32_t saved;
  double resumeTime;
  int32_t signedFlag;
  int32_t format;
  int32_t keepBody;
  int32_t reportErrors;
  int32_t checkClaims;
  // "exp" and "nbf" of a signed document, a missing one accepted; built at
  // creation and only read afterwards (any thread).
  JwsClaims *claims;
  uint8_t *keptBody;
  int64_t keptCapacity;
  int64_t keptLength;
  uint8_t *saveBuffer;  // the serialised document of a Save
  int64_t saveCapacity;
  const uint8_t *saveData;  // what the Save writes: the save buffer or the kept body
  int64_t saveLength;
  char savePath[kPathMax];
  // The file system a Save brings to the disk before its own file; empty:
  // none. Changed only while no Get or Save runs.
  char barrierPath[kPathMax];
  // Written by the body-begin hook, read by the parse that the done hook
  // posts afterwards.
  char contentType[kAsyncHttpContentTypeBytes];
  uint32_t generation;
  Stage stage;
  // The body sink's state (main thread: the start step sets it, the sink
  // reads it). A signed document from the network is checked as it
  // arrives: checkShape 1, shape its progress.
  int32_t checkShape;
  JwsShape shape;
  int32_t network;  // 1 when the URL is http or https (not a file)
  // The URL of the current Get (tracked, urlSize bytes), for fetching it
  // once more; refetched is 1 once that was done in this Get.
  char *url;
  int32_t urlSize;
  int32_t refetched;
  // Body bytes the sink has taken over the object's life (any thread reads).
  std::atomic<int64_t> bodyBytes;
  ParseWork parse;  // the I/O worker packet of a parse, and of a Save write
  CallbackCell errorCallback;
  CallbackCell completeCallback;
  CallbackCell prepareCallback;
};

#define ASYNCHTTP_CHECK(a) CLASS_CHECK((a), kAsyncHttpTag)

namespace {

typedef std::lock_guard<std::recursive_mutex> Hold;

void asyncHttpSetRunning(AsyncHttp *a, int on) { Signal_Set(a->running, on, KSRC); }

bool asyncHttpIsRunning(AsyncHttp *a) {
  int signalled = 0;
  Signal_Wait(a->running, &signalled, 0, KSRC);
  return signalled != 0;
}

EventQueue *asyncHttpQueue(AsyncHttp *a) {
  return a->queue != nullptr ? a->queue : EventQueue_GetMain();
}

// ---- Parsers ----------------------------------------------------------------------------

void asyncHttpReleaseParsers(AsyncHttp *a) {
  if (a->json != nullptr) Json_Release(&a->json);
  if (a->xml != nullptr) Xml_Release(&a->xml);
  if (a->yaml != nullptr) Yaml_Release(&a->yaml);
}

// The parser of that format, made and bound to the result on first use.
void *asyncHttpParserFor(AsyncHttp *a, int32_t format) {
  switch (format) {
    case kAsyncHttpFormatJson:
      if (a->json == nullptr) {
        Json_Create(&a->json);
        Json_SetDictionary(a->json, a->result);
      }
      return a->json;
    case kAsyncHttpFormatXml:
      if (a->xml == nullptr) {
        Xml_Create(&a->xml);
        Xml_SetDictionary(a->xml, a->result);
      }
      return a->xml;
    case kAsyncHttpFormatYaml:
      if (a->yaml == nullptr) {
        Yaml_Create(&a->yaml);
        Yaml_SetDictionary(a->yaml, a->result);
      }
      return a->yaml;
    default:
      return nullptr;
  }
}

void asyncHttpApplyFormat(AsyncHttp *a, int32_t format) {
  if (format != a->format) asyncHttpReleaseParsers(a);
  a->format = format;
  void *parser = asyncHttpParserFor(a, format);
  if (parser == a->json && a->json != nullptr) Json_Reset(a->json);
  else if (parser == a->xml && a->xml != nullptr) Xml_Reset(a->xml);
  else if (parser == a->yaml && a->yaml != nullptr) Yaml_Reset(a->yaml);
}

// Empties the result and resets the first parser that exists.
void asyncHttpClearResult(AsyncHttp *a) {
  Dictionary_Clear(a->result);
  if (a->json != nullptr) Json_Reset(a->json);
  else if (a->xml != nullptr) Xml_Reset(a->xml);
  else if (a->yaml != nullptr) Yaml_Reset(a->yaml);
}

void asyncHttpFreeKeptBody(AsyncHttp *a) {
  if (a->keptBody != nullptr) MEM_FREE(a->keptBody, a->keptCapacity);
  a->keptBody = nullptr;
  a->keptCapacity = 0;
  a->keptLength = 0;
}

void asyncHttpFreeUrl(AsyncHttp *a) {
  if (a->url != nullptr) MEM_FREE(a->url, a->urlSize);
  a->url = nullptr;
  a->urlSize = 0;
}

void asyncHttpFreeSaveBuffer(AsyncHttp *a) {
  if (a->saveBuffer != nullptr) MEM_FREE(a->saveBuffer, a->saveCapacity);
  a->saveBuffer = nullptr;
  a->saveCapacity = 0;
  a->saveData = nullptr;
  a->saveLength = 0;
}

// Format 5: the media type of the Content-Type (before any parameter, blanks
// trimmed, any case) chooses the parser; anything unknown stays raw.
int32_t asyncHttpResolveFormat(const char *contentType) {
  char type[kAsyncHttpContentTypeBytes];
  Str_Copy(type, contentType, int(sizeof type));
  for (char *p = type; *p != '\0'; p++) {
    if (*p == ';') {
      *p = '\0';
      break;
    }
  }
  Str_TrimChars(type, " \t");
  static constexpr struct {
    const char *type;
    int32_t format;
  } kTypes[] = {{"text/x-yaml", kAsyncHttpFormatYaml},
                {"text/vnd.yaml", kAsyncHttpFormatYaml},
                {"application/json", kAsyncHttpFormatJson},
                {"application/xml", kAsyncHttpFormatXml}};
  for (const auto &t : kTypes)
    if (Str_CompareNoCase(type, t.type) == 0) return t.format;
  return 0;
}

// JSON, a JWS first. A JWS is always verified, asked for or not: one whose
// signature fails is refused either way. Without a store a signed document
// cannot be checked.
void asyncHttpParseJson(AsyncHttp *a, CertStore *store, JwsClaims *claims, Json *json,
                        const char *text, int32_t length, uint32_t *code, uint32_t *codeEx) {
  int32_t error = 0;
  if (store != nullptr) {
    if (Jws_DecodeWithStage(json, claims, store, text, length, 1, &a->parse.payloadRead) == 1)
      return;
    Json_GetErrorCode(json, &error);
  } else if (a->signedFlag) {
    error = kJsonErrorAuthenticate;
  }
  if (a->signedFlag || error == kJsonErrorAuthenticate) {
    *code = kWebGetErrorJson;
    // A store that answered something other than a verdict leaves no code.
    *codeEx = uint32_t(error != 0 ? error : kJsonErrorAuthenticate);
    return;
  }
  if (Json_ParseMemory(json, text, length)) return;
  Json_GetErrorCode(json, &error);
  *code = kWebGetErrorJson;
  *codeEx = uint32_t(error);
}

// Parses the body; *code and *codeEx stay 0 on success. 1 when a parser ran
// and succeeded.
int asyncHttpParseBody(AsyncHttp *a, CertStore *store, JwsClaims *claims, const char *text,
                       int32_t length, uint32_t *code, uint32_t *codeEx) {
  int32_t format = a->format;
  if (format == kAsyncHttpFormatByContentType) format = asyncHttpResolveFormat(a->contentType);
  // A signature protects only a JSON document: another type would let the
  // server or the network pick an unsigned one through its header.
  if (a->signedFlag && format != kAsyncHttpFormatJson) {
    *code = kWebGetErrorJson;
    *codeEx = kJsonErrorAuthenticate;
    return 0;
  }
  void *parser = asyncHttpParserFor(a, format);
  int32_t error = 0;
  switch (format) {
    case kAsyncHttpFormatJson:
      asyncHttpParseJson(a, store, claims, static_cast<Json *>(parser), text, length, code,
                         codeEx);
      return *code == 0;
    case kAsyncHttpFormatXml:
      if (Xml_ParseMemory(static_cast<XML *>(parser), text, length)) return 1;
      Xml_GetErrorCode(static_cast<XML *>(parser), &error);
      *code = kWebGetErrorXml;
      *codeEx = uint32_t(error);
      return 0;
    case kAsyncHttpFormatYaml:
      if (Yaml_ParseMemory(static_cast<Yaml *>(parser), text, length)) return 1;
      Yaml_GetErrorCode(static_cast<Yaml *>(parser), &error);
      *code = kWebGetErrorYaml;
      *codeEx = uint32_t(error);
      return 0;
    default:
      return 0;  // raw: nothing to parse, nothing to call back
  }
}

int64_t asyncHttpTrimmedLength(const uint8_t *data, int64_t length) {
  while (length > 0 && (data[length - 1] == ' ' || data[length - 1] == '\t' ||
                        data[length - 1] == '\r' || data[length - 1] == '\n'))
    length--;
  return length;
}

// ---- Finish steps (the event queue's thread) ----------------------------------------------

// Drops the reference a finish step carries (its done handler: after the
// step ran, or instead of it when the queue goes).
void asyncHttpFinishDone(uintptr_t id, void *payload) {
  auto *f = static_cast<FinishPayload *>(payload);
  if (!f->reference) return;
  f->reference = 0;
  auto *a = reinterpret_cast<AsyncHttp *>(id);
  Class_ReleaseObject(&a);
}

// Posts the finish step; with reference, it takes over the caller's
// reference (the caller must not touch the object afterwards).
void asyncHttpPostFinish(AsyncHttp *a, EventQueueHandler handler, uint32_t generation,
                         uint32_t code, uint32_t codeEx, uint32_t reference) {
  FinishPayload payload{kAsyncHttpFinishTag, generation, code, codeEx, reference};
  EventQueue_Post(a->queue, uintptr_t(a), &payload, uint32_t(sizeof payload), handler,
                  asyncHttpFinishDone, nullptr, KSRC, Platform_GetTickSeconds());
}

// Runs the error callback for a finished Get or Save; 5 means final.
int32_t asyncHttpDispatch(AsyncHttp *a, int32_t kind, uint32_t code, uint32_t codeEx) {
  double now = Platform_GetTickSeconds();
  void *context = nullptr;
  CallbackFunction function = nullptr;
  if (code != 0 && Callback_Get(&a->errorCallback, &context, &function)) {
    double resume = a->resumeTime;
    int32_t answer = reinterpret_cast<AsyncHttpErrorCallback>(function)(
        a, context, a->errorCount, kind, code, codeEx, &resume);
    if (answer == kAsyncHttpAnswerFinal) return answer;
    a->errorCount++;
    a->resumeTime = resume;
    return answer;
  }
  if (a->errorCount > 0) {
    a->errorCount = 0;
    a->resumeTime = now;
  }
  return kAsyncHttpAnswerFinal;
}

// The clean-up of a Reset that found work on the I/O worker, done once that
// work has finished.
void asyncHttpDropOutcome(AsyncHttp *a) {
  asyncHttpClearResult(a);
  asyncHttpFreeSaveBuffer(a);
  asyncHttpFreeKeptBody(a);
  a->stage = Stage::Idle;
  asyncHttpSetRunning(a, 0);
}

void asyncHttpFinishGet(AsyncHttp *a, uint32_t code, uint32_t codeEx) {
  if (code != 0) asyncHttpClearResult(a);
  int32_t answer = asyncHttpDispatch(a, kAsyncHttpKindGet, code, codeEx);
  a->errorCode = code;
  a->errorCodeEx = codeEx;
  // A failure the owner will retry leaves the Get incomplete, whatever an
  // earlier Get reached.
  a->complete = answer == kAsyncHttpAnswerFinal ? 1 : 0;
  a->stage = Stage::Idle;
  asyncHttpSetRunning(a, 0);
}

void asyncHttpFinishSave(AsyncHttp *a, uint32_t code, uint32_t codeEx) {
  asyncHttpFreeSaveBuffer(a);
  asyncHttpDispatch(a, kAsyncHttpKindSave, code, codeEx);
  a->errorCode = code;
  a->errorCodeEx = codeEx;
  if (code == 0) a->saved = 1;
  a->stage = Stage::Idle;
  asyncHttpSetRunning(a, 0);
}

// A finish of another generation: a Reset came meanwhile. When the finish
// ends the work that the Reset found on the I/O worker, the Reset's clean-up
// happens here; other stale steps change nothing (a newer Get or Save may be
// running by then).
bool asyncHttpStale(AsyncHttp *a, const FinishPayload *f) {
  if (f->tag != kAsyncHttpFinishTag) Core_Abort(KSRC, "AsyncHttp: not a finish payload\n");
  if (f->generation == a->generation) return false;
  if (a->stage == Stage::Worker && f->generation == a->parse.generation)
    asyncHttpDropOutcome(a);
  return true;
}

void asyncHttpGetFinished(uintptr_t id, void *payload) {
  auto *a = reinterpret_cast<AsyncHttp *>(id);
  auto *f = static_cast<FinishPayload *>(payload);
  Hold hold(a->lock);
  if (!asyncHttpStale(a, f)) asyncHttpFinishGet(a, f->code, f->codeEx);
}

void asyncHttpSaveFinished(uintptr_t id, void *payload) {
  auto *a = reinterpret_cast<AsyncHttp *>(id);
  auto *f = static_cast<FinishPayload *>(payload);
  Hold hold(a->lock);
  if (!asyncHttpStale(a, f)) asyncHttpFinishSave(a, f->code, f->codeEx);
}

// ---- Parse (an I/O worker thread) ----------------------------------------------------------

bool asyncHttpIsNetwork(const char *url) {
  return Url_HasScheme(url, "http") || Url_HasScheme(url, "https");
}

// A document whose signature is checked and that comes over the network.
bool asyncHttpChecksShape(const AsyncHttp *a, const char *url) {
  return a->signedFlag && a->format == kAsyncHttpFormatJson && asyncHttpIsNetwork(url);
}

void asyncHttpStartStep(uintptr_t id, void *payload);
void asyncHttpStartDone(uintptr_t id, void *payload);

// A signed document that came whole from the network but whose token does
// not split or whose signature fails is fetched once more at once: a proxy
// or a broken connection can cut or change a body under a matching
// Content-Length. Not when its payload was read (the owner's node hooks
// have seen it; the claims said no), nor past one refetch per Get: the
// same failure again reaches the owner. The parse's reference goes to the
// start step. true when the fetch was posted.
bool asyncHttpRefetch(AsyncHttp *a, ParseWork *w, uint32_t code, uint32_t codeEx) {
  if (code != kWebGetErrorJson ||
      (codeEx != kJsonErrorDecodeSignature && codeEx != kJsonErrorAuthenticate) ||
      w->payloadRead)
    return false;
  StartPayload payload{kAsyncHttpStartTag, 0, nullptr, 0, 1};
  {
    Hold hold(a->lock);
    if (a->refetched || a->url == nullptr || w->generation != a->generation ||
        a->stage != Stage::Worker || !asyncHttpChecksShape(a, a->url))
      return false;
    Log_Print(LOG_WARNING, KSRC, 0,
              "AsyncHttp: '%s' failed its signature check (%u); fetching it again\n",
              UrlLoggable(a->url).text, codeEx);
    a->refetched = 1;
    asyncHttpClearResult(a);
    asyncHttpFreeKeptBody(a);
    a->stage = Stage::Network;
    payload.generation = a->generation;
    payload.size = a->urlSize;
    payload.url = static_cast<char *>(MEM_ALLOC(payload.size, 0));
    Str_Copy(payload.url, a->url, payload.size);
  }
  EventQueue_Post(nullptr, uintptr_t(a), &payload, uint32_t(sizeof payload), asyncHttpStartStep,
                  asyncHttpStartDone, nullptr, KSRC, Platform_GetTickSeconds());
  return true;
}

int asyncHttpParse(void *key, IOWorkerRequest *io) {
  auto *a = static_cast<AsyncHttp *>(key);
  ParseWork *w = reinterpret_cast<ParseWork *>(io);
  uint32_t code = 0, codeEx = 0;
  w->payloadRead = 0;
  if (asyncHttpParseBody(a, w->store, w->claims, reinterpret_cast<const char *>(w->data),
                         int32_t(w->length), &code, &codeEx)) {
    void *context = nullptr;
    CallbackFunction function = nullptr;
    if (Callback_Get(&a->completeCallback, &context, &function) &&
        reinterpret_cast<AsyncHttpCompleteCallback>(function)(a, context, &code, &codeEx) == 0)
      asyncHttpClearResult(a);
  }
  if (w->data != a->keptBody) MEM_FREE(w->data, w->capacity);
  w->data = nullptr;
  if (w->store != nullptr) CertStore_Release(&w->store);
  if (asyncHttpRefetch(a, w, code, codeEx)) return 1;
  asyncHttpPostFinish(a, asyncHttpGetFinished, w->generation, code, codeEx, 1);
  return 1;
}

// ---- The transfer (main thread) -------------------------------------------------------------

// The release of a finished transfer, posted to the main queue. The step
// releases it (outside the queue's lock) and clears the payload's pointer;
// the done handler releases what the step did not reach: the queue went
// before it ran (a run that ends on this very failure), or it was
// cancelled. So no way out leaks the transfer.
void asyncHttpReleaseStep(uintptr_t, void *payload) {
  auto **slot = static_cast<WebGetRequest **>(payload);
  WebGetRequest_Reset(*slot);
  WebGetRequest_FreeMemoryOutput(*slot);
  Class_ReleaseObject(slot);
}

void asyncHttpReleaseDone(uintptr_t, void *payload) {
  auto **slot = static_cast<WebGetRequest **>(payload);
  if (*slot != nullptr) Class_ReleaseObject(slot);
}

void asyncHttpPostRelease(WebGetRequest *r) {
  EventQueue_Post(EventQueue_GetMain(), uintptr_t(r), &r, uint32_t(sizeof r), asyncHttpReleaseStep,
                  asyncHttpReleaseDone, nullptr, KSRC, Platform_GetTickSeconds());
}

// Takes the transfer away from the object: no hook reaches it any more.
WebGetRequest *asyncHttpDetachRequest(AsyncHttp *a) {
  WebGetRequest *r = a->request;
  a->request = nullptr;
  if (r == nullptr) return nullptr;
  WebGetRequest_ClearBodyBeginCallback(r);
  WebGetRequest_ClearPhaseCallback(r);
  WebGetRequest_SetStartCallback(r, nullptr, nullptr, nullptr);
  return r;
}

int asyncHttpBodyBegin(WebGetRequest *r, void *context) {
  auto *a = static_cast<AsyncHttp *>(context);
  const char *headers = nullptr;
  int size = 0;
  WebGetRequest_GetResponseHeaders(r, &headers, &size);
  char value[kAsyncHttpContentTypeBytes];
  if (WebGet_GetHeaderValue(headers, "Content-Type", value, int(sizeof value)))
    Str_Copy(a->contentType, value, int(sizeof a->contentType));
  int32_t status = WebGetRequest_GetStatusCode(r);
  if (status >= 200 && status <= 299) return 1;
  return WebGetRequest_SetError(r, status, 0);
}

// The body sink: counts the bytes, checks a signed document's shape as it
// arrives and keeps the body in memory. A body that cannot be a signed
// token (white space or another byte before it, a byte outside it before
// its second dot, more than a little white space after it) ends here, the
// rest of it never read.
int asyncHttpSink(WebGetRequest *r, void *context, const void *data, int64_t length,
                  int64_t *written) {
  auto *a = static_cast<AsyncHttp *>(context);
  // A file read, or a stored answer read instead of the network's, is not
  // fetched.
  WebGetConnection *c = nullptr;
  if (length > 0 && a->network && WebGetRequest_GetConnection(r, &c) && c != nullptr &&
      !c->cacheAnswering)
    a->bodyBytes.fetch_add(length, std::memory_order_relaxed);
  int64_t at = 0;
  if (a->checkShape && !JwsShape_Feed(&a->shape, data, length, &at)) {
    const char *url = nullptr;
    if (!WebGetRequest_GetUrl(r, &url) || url == nullptr) url = "";
    Log_Print(LOG_WARNING, KSRC, 0,
              "AsyncHttp: '%s' is no signed document (byte %lld breaks the token's shape)\n",
              UrlLoggable(url).text, (long long)at);
    // A plain JSON document is one that is not signed, and says so.
    const auto *first = static_cast<const uint8_t *>(data);
    bool json = at == 0 && length > 0 && (first[0] == '{' || first[0] == '[');
    WebGetRequest_SetError(r, kWebGetErrorJson,
                           json ? kJsonErrorDecodeSignature : int32_t(kAsyncHttpCorruptDocument));
    return 0;
  }
  return WebGetRequest_MemorySink(r, nullptr, data, length, written);
}

int asyncHttpStartHook(WebGetRequest *r, void *context) {
  auto *a = static_cast<AsyncHttp *>(context);
  WebGetConnection *c = nullptr;
  MeterRW *socketMeter = nullptr;
  if (WebGetRequest_GetConnection(r, &c) && c != nullptr &&
      WebGetConnection_GetMeter(c, &socketMeter) && socketMeter != nullptr)
    MeterRW_SetParent(socketMeter, a->meter);
  return 1;
}

int asyncHttpDoneHook(WebGetRequest *r, void *context) {
  Thread_AssertMain(KSRC);
  auto *a = static_cast<AsyncHttp *>(context);
  Hold hold(a->lock);
  if (a->request != r) return 1;
  int32_t code = 0, codeEx = 0;
  WebGetRequest_GetError(r, &code, &codeEx);
  WebGetRequest_GetCause(r, &a->cause);
  int32_t status = code == 0 ? WebGetRequest_GetStatusCode(r) : 0;
  // The pages of the redirects followed were fetched too.
  if (a->network)
    a->bodyBytes.fetch_add(int64_t(WebGetRequest_GetRedirectBytes(r)), std::memory_order_relaxed);
  asyncHttpDetachRequest(a);
  asyncHttpPostRelease(r);
  if (code == 0 && status == 200) {
    ParseWork *w = &a->parse;
    WebGetRequest_TakeMemoryOutput(r, &w->data, &w->capacity, &w->length);
    if (w->data == nullptr) {  // an empty body still parses (and fails) as text
      w->capacity = 1;
      w->data = static_cast<uint8_t *>(MEM_ALLOC(1, MEM_ZEROED));
    }
    // White space after a JSON document or a token means nothing; a kept
    // body is saved without it.
    if (a->format == kAsyncHttpFormatJson) w->length = asyncHttpTrimmedLength(w->data, w->length);
    if (a->keepBody) {
      asyncHttpFreeKeptBody(a);
      a->keptBody = w->data;
      a->keptCapacity = w->capacity;
      a->keptLength = w->length;
    }
    w->generation = a->generation;
    w->store = a->certStore != nullptr ? CertStore_Retain(a->certStore) : nullptr;
    w->claims = a->checkClaims ? a->claims : nullptr;
    w->io.routine = asyncHttpParse;
    a->stage = Stage::Worker;
    Class_Retain(a);
    IOWorker_Post(a, &w->io);
    return 1;
  }
  // A transfer dropped with its connection ends without code or status;
  // it must still finish, or the object stays running for good.
  uint32_t finishCode = code != 0     ? uint32_t(code)
                        : status != 0 ? uint32_t(status)
                                      : uint32_t(kWebGetErrorRequestIncomplete);
  a->stage = Stage::Finishing;
  asyncHttpPostFinish(a, asyncHttpGetFinished, a->generation, finishCode, uint32_t(codeEx), 0);
  return 1;
}

void asyncHttpStartStep(uintptr_t id, void *payload) {
  if (Thread_GetCurrentId() != Thread_GetMainId()) Core_Abort(KSRC, "Invalid call context\n");
  auto *a = reinterpret_cast<AsyncHttp *>(id);
  auto *s = static_cast<StartPayload *>(payload);
  if (s->tag != kAsyncHttpStartTag) Core_Abort(KSRC, "AsyncHttp: not a start payload\n");
  WebGetRequest *r = nullptr;
  {
    Hold hold(a->lock);
    if (s->generation != a->generation || a->stage != Stage::Network) return;
    WebGetRequest_Create(&r);
    WebGetRequest_SetBodyBeginCallback(r, nullptr, a, asyncHttpBodyBegin);
    WebGetRequest_SetPhaseCallback(r, nullptr, a, asyncHttpDoneHook);
    WebGetRequest_SetStartCallback(r, nullptr, a, asyncHttpStartHook);
    WebGetRequest_Reset(r);
    WebGetRequest_ClearHeaders(r);
    WebGetRequest_SetSizeLimit(r, a->maxSize < 1 ? 0 : a->maxSize);
    if (!WebGetRequest_SetUrl(r, s->url, 1)) {
      Log_Print(LOG_WARNING, KSRC, 0, "AsyncHttp: unusable URL '%s'\n",
                UrlLoggable(s->url).text);
      WebGetRequest_SetError(r, kWebGetErrorDns, 0);
    }
    // A fetch made again must reach the server, not a stored answer.
    WebGetRequest_SetCacheStore(r, a->refetched ? nullptr : a->cacheStore);
    WebGetRequest_SetReportError(r, a->reportErrors);
    WebGetRequest_SetWriteCallback(r, nullptr, a, asyncHttpSink);
    a->checkShape = asyncHttpChecksShape(a, s->url) ? 1 : 0;
    a->network = asyncHttpIsNetwork(s->url) ? 1 : 0;
    JwsShape_Init(&a->shape);
    a->cause = WebGetCause{};
    a->request = r;
  }
  void *context = nullptr;
  CallbackFunction function = nullptr;
  if (Callback_Get(&a->prepareCallback, &context, &function))
    reinterpret_cast<AsyncHttpPrepareCallback>(function)(a, context, r);
  Hold hold(a->lock);
  if (a->request != r) return;  // the prepare callback reset the object
  int32_t code = 0, codeEx = 0;
  WebGetRequest_GetError(r, &code, &codeEx);
  if (code == 0 && WebGetPool_AddRequest(r)) return;
  asyncHttpDetachRequest(a);
  Class_ReleaseObject(&r);
  a->stage = Stage::Finishing;
  asyncHttpPostFinish(a, asyncHttpGetFinished, a->generation,
                      uint32_t(code != 0 ? code : kWebGetErrorRequestIncomplete), uint32_t(codeEx),
                      0);
}

void asyncHttpStartDone(uintptr_t id, void *payload) {
  auto *s = static_cast<StartPayload *>(payload);
  if (s->url != nullptr) MEM_FREE(s->url, s->size);
  s->url = nullptr;
  if (!s->reference) return;
  s->reference = 0;
  auto *a = reinterpret_cast<AsyncHttp *>(id);
  Class_ReleaseObject(&a);
}

// ---- Save ------------------------------------------------------------------------------------

// The document, whole, onto the stream of the replacement file.
int asyncHttpSaveStep(void *context, Stream *stream) {
  auto *a = static_cast<AsyncHttp *>(context);
  for (int64_t done = 0; done < a->saveLength;) {
    int64_t left = a->saveLength - done;
    int32_t chunk = left > INT32_MAX ? INT32_MAX : int32_t(left), written = 0;
    if (!Stream_Write(stream, a->saveData + done, chunk, &written) || written <= 0) return 0;
    done += written;
  }
  return 1;
}

// Writes the document (an I/O worker thread). With a barrier, its file system
// reaches the disk first, so that a document describing other files never
// lands ahead of them. The file itself is replaced whole: a new temporary
// file beside it, made exclusively under a random name (a link planted in
// the directory is never written through), synced and renamed over it, the
// directory synced. 0, or the system error.
uint32_t asyncHttpWriteFile(AsyncHttp *a) {
  Platform_SetLastError(0);
  if (a->barrierPath[0] != '\0' && !Platform_SyncFileSystem(a->barrierPath)) {
    uint32_t error = uint32_t(Platform_GetLastError());
    Log_Print(LOG_WARNING, KSRC, 0, "AsyncHttp: unable to sync '%s' (error %u)\n",
              a->barrierPath, error);
    return error != 0 ? error : kPlatformErrorInvalidParameter;
  }
  if (File_WriteDocument(a->savePath, nullptr, a, asyncHttpSaveStep)) {
    MeterRW_AddWriteBytes(a->meter, a->saveLength);
    return 0;
  }
  uint32_t error = uint32_t(Platform_GetLastError());
  if (error == 0) error = kPlatformErrorDiskFull;  // a write that made no progress
  Log_Print(LOG_WARNING, KSRC, 0, "AsyncHttp: unable to save '%s' (error %u)\n", a->savePath,
            error);
  return error;
}

int asyncHttpSaveWork(void *key, IOWorkerRequest *io) {
  auto *a = static_cast<AsyncHttp *>(key);
  uint32_t error = asyncHttpWriteFile(a);
  uint32_t generation = reinterpret_cast<ParseWork *>(io)->generation;
  asyncHttpPostFinish(a, asyncHttpSaveFinished, generation, error != 0 ? kWebGetErrorOs : 0,
                      error, 1);
  return 1;
}

// Fills saveData and saveLength with the document to write; the error code
// when there is none.
uint32_t asyncHttpPrepareSave(AsyncHttp *a, uint32_t *codeEx) {
  int64_t limit = a->maxSize;
  if (a->keptBody != nullptr) {
    if (limit >= 1 && a->keptLength > limit) return kWebGetErrorSizeLimit;
    if (a->keptLength < 1) return kWebGetErrorUnderflow;
    a->saveData = a->keptBody;
    a->saveLength = a->keptLength;
    return 0;
  }
  asyncHttpFreeSaveBuffer(a);
  int64_t length = 0;
  int32_t length32 = 0;
  if (a->format == kAsyncHttpFormatJson && a->json != nullptr) {
    Json_GetWriteLength(a->json, &length32);
    length = length32;
  } else if (a->format == kAsyncHttpFormatXml && a->xml != nullptr) {
    Xml_GetWriteLength(a->xml, &length);
  } else if (a->format == kAsyncHttpFormatYaml && a->yaml != nullptr) {
    Yaml_GetWriteLength(a->yaml, &length);
  }
  if (limit >= 1 && length > limit) return kWebGetErrorSizeLimit;
  if (length < 1) return kWebGetErrorUnderflow;
  if (length > INT32_MAX) return kWebGetErrorSizeLimit;
  a->saveCapacity = length;
  a->saveBuffer = static_cast<uint8_t *>(MEM_ALLOC(length, 0));
  int32_t written = 0, error = 0;
  uint32_t code = 0;
  char *buffer = reinterpret_cast<char *>(a->saveBuffer);
  switch (a->format) {
    case kAsyncHttpFormatJson:
      if (!Json_WriteMemory(a->json, buffer, int32_t(length), &written)) {
        Json_GetErrorCode(a->json, &error);
        code = kWebGetErrorJson;
      }
      break;
    case kAsyncHttpFormatXml:
      if (!Xml_WriteMemory(a->xml, buffer, int32_t(length), &written)) {
        Xml_GetErrorCode(a->xml, &error);
        code = kWebGetErrorXml;
      }
      break;
    default:
      if (!Yaml_WriteMemory(a->yaml, buffer, int32_t(length), &written)) {
        Yaml_GetErrorCode(a->yaml, &error);
        code = kWebGetErrorYaml;
      }
      break;
  }
  if (code != 0) {
    asyncHttpFreeSaveBuffer(a);
    *codeEx = uint32_t(error);
    return code;
  }
  a->saveData = a->saveBuffer;
  a->saveLength = written;
  return 0;
}

// Starts the write; the error code when the Save ends before it.
uint32_t asyncHttpStartSave(AsyncHttp *a, const char *path, uint32_t *codeEx) {
  uint32_t code = asyncHttpPrepareSave(a, codeEx);
  if (code != 0) return code;
  if (!Str_Set(a->savePath, path, int(sizeof a->savePath))) {
    *codeEx = kPlatformErrorNameTooLong;
    return kWebGetErrorOs;
  }
  a->errorCode = 0;
  a->errorCodeEx = 0;
  ParseWork *w = &a->parse;
  w->generation = a->generation;
  w->io.routine = asyncHttpSaveWork;
  a->stage = Stage::Worker;
  Class_Retain(a);
  IOWorker_Post(a, &w->io);
  return 0;
}

// ---- Lifetime ---------------------------------------------------------------------------------

// The common part of Reset and of the destroy: with force, no work is left
// on the I/O worker (its reference is gone), so everything is cleared now.
void asyncHttpResetLocked(AsyncHttp *a, bool force) {
  a->generation++;
  WebGetRequest *r = asyncHttpDetachRequest(a);
  if (r != nullptr) {
    WebGetRequest_SetDiscardOutput(r);
    Class_ReleaseObject(&r);
  }
  a->complete = 0;
  a->saved = 0;
  a->errorCode = kWebGetErrorRequestIncomplete;
  a->errorCodeEx = 0;
  a->cause = WebGetCause{};
  // Steps still posted belong to the old generation and change nothing;
  // work on the I/O worker clears up in its finish step.
  if (a->stage == Stage::Worker && !force) return;
  asyncHttpDropOutcome(a);
}

void asyncHttpDestroy(void **object) {
  auto *a = static_cast<AsyncHttp *>(*object);
  *object = nullptr;
  // No step may reach the object any more. Cancelling from another thread
  // waits for a running handler, which may need the lock: not under it.
  EventQueue *queue = asyncHttpQueue(a);
  if (queue != nullptr) EventQueue_Cancel(queue, uintptr_t(a));
  EventQueue *main = EventQueue_GetMain();
  if (main != nullptr && main != queue) EventQueue_Cancel(main, uintptr_t(a));
  {
    Hold hold(a->lock);
    asyncHttpResetLocked(a, true);
  }
  Signal_Release(&a->running);
  asyncHttpFreeUrl(a);
  asyncHttpReleaseParsers(a);
  Dictionary_Release(&a->result);
  MeterRW_Delete(&a->meter);
  if (a->certStore != nullptr) CertStore_Release(&a->certStore);
  JwsClaims_Release(&a->claims);
  if (a->queue != nullptr) Class_ReleaseObject(&a->queue);
  Callback_Clear(&a->errorCallback);
  Callback_Clear(&a->completeCallback);
  Callback_Clear(&a->prepareCallback);
  a->header.classTag = 0;
  a->~AsyncHttp();
  MEM_FREE(a, sizeof(AsyncHttp));
}

}  // namespace

int AsyncHttp_Create(AsyncHttp **request) {
  CHECK_POINTER(request);
  *request = nullptr;
  auto *a = new (MEM_ALLOC(sizeof(AsyncHttp), MEM_ZEROED)) AsyncHttp();
  a->header.classTag = kAsyncHttpTag;
  a->header.refCount.store(1);
  a->header.destroy = asyncHttpDestroy;
  Class_GenerateInstanceId(a);
  a->resumeTime = Platform_GetTickSeconds();
  a->format = kAsyncHttpFormatJson;
  a->reportErrors = 1;
  a->checkClaims = 1;
  JwsClaims_Create(&a->claims);
  JwsClaims_Add(a->claims, JwsClaims_CheckExpiry, 1);
  JwsClaims_Add(a->claims, JwsClaims_CheckNotBefore, 1);
  a->errorCode = kWebGetErrorRequestIncomplete;
  a->stage = Stage::Idle;
  MeterRW_Create(&a->meter);
  Signal_Create(&a->running);
  Dictionary_Create(&a->result);
  Dictionary_SetPoolGrowth(a->result, kAsyncHttpResultPoolGrowth);
  asyncHttpApplyFormat(a, kAsyncHttpFormatJson);
  *request = a;
  return 1;
}

int AsyncHttp_Release(AsyncHttp **request) {
  CHECK_POINTER(request);
  ASYNCHTTP_CHECK(*request);
  Class_ReleaseObject(request);
  return 1;
}

int AsyncHttp_Get(AsyncHttp *request, const char *url, int32_t signedFlag) {
  ASYNCHTTP_CHECK(request);
  CHECK_POINTER(url);
  AsyncHttp *a = request;
  StartPayload payload{kAsyncHttpStartTag, 0, nullptr, 0, 0};
  payload.size = int32_t(std::strlen(url)) + 1;
  {
    Hold hold(a->lock);
    if (asyncHttpIsRunning(a)) return 0;
    asyncHttpSetRunning(a, 1);
    Dictionary_Clear(a->result);
    asyncHttpApplyFormat(a, a->format);
    a->signedFlag = signedFlag ? 1 : 0;
    a->stage = Stage::Network;
    payload.generation = ++a->generation;
    asyncHttpFreeUrl(a);
    a->urlSize = payload.size;
    a->url = static_cast<char *>(MEM_ALLOC(a->urlSize, 0));
    Str_Copy(a->url, url, a->urlSize);
    a->refetched = 0;
  }
  payload.url = static_cast<char *>(MEM_ALLOC(payload.size, 0));
  Str_Copy(payload.url, url, payload.size);
  EventQueue_Post(nullptr, uintptr_t(a), &payload, uint32_t(sizeof payload), asyncHttpStartStep,
                  asyncHttpStartDone, nullptr, KSRC, Platform_GetTickSeconds());
  return 1;
}

int AsyncHttp_Save(AsyncHttp *request, const char *path) {
  ASYNCHTTP_CHECK(request);
  CHECK_POINTER(path);
  AsyncHttp *a = request;
  Hold hold(a->lock);
  if (asyncHttpIsRunning(a)) return 0;
  asyncHttpSetRunning(a, 1);
  a->generation++;
  uint32_t code = 0, codeEx = 0;
  if (path[0] != '\0') code = asyncHttpStartSave(a, path, &codeEx);
  if (path[0] == '\0' || code != 0) asyncHttpFinishSave(a, code, codeEx);
  return 1;
}

int AsyncHttp_Reset(AsyncHttp *request, int32_t /*silent*/) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  asyncHttpResetLocked(request, false);
  return 1;
}

int AsyncHttp_SetFormat(AsyncHttp *request, int32_t format) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  if (asyncHttpIsRunning(request)) return 0;
  asyncHttpApplyFormat(request, format);
  return 1;
}

int AsyncHttp_SetEventQueue(AsyncHttp *request, EventQueue *queue) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  if (asyncHttpIsRunning(request)) return 0;
  if (queue != nullptr) Class_Retain(queue);
  if (request->queue != nullptr) Class_ReleaseObject(&request->queue);
  request->queue = queue;
  return 1;
}

int AsyncHttp_SetCertStore(AsyncHttp *request, CertStore *store) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  if (store != nullptr) CertStore_Retain(store);
  if (request->certStore != nullptr) CertStore_Release(&request->certStore);
  request->certStore = store;
  return 1;
}

int AsyncHttp_SetCacheStore(AsyncHttp *request, WebGetCacheStore *store) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  request->cacheStore = store;
  return 1;
}

int AsyncHttp_SetMaxSize(AsyncHttp *request, int32_t bytes) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  request->maxSize = bytes;
  return 1;
}

int AsyncHttp_SetSaveBarrier(AsyncHttp *request, const char *path) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  if (asyncHttpIsRunning(request)) return 0;
  if (!Str_Set(request->barrierPath, path != nullptr ? path : "",
               int(sizeof request->barrierPath))) {
    request->barrierPath[0] = '\0';
    return 0;
  }
  return 1;
}

int AsyncHttp_KeepBody(AsyncHttp *request) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  request->keepBody = 1;
  return 1;
}

int AsyncHttp_SetReportError(AsyncHttp *request, int32_t on) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  request->reportErrors = on ? 1 : 0;
  return 1;
}

int AsyncHttp_SetCheckClaims(AsyncHttp *request, int32_t on) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  request->checkClaims = on ? 1 : 0;
  return 1;
}

int AsyncHttp_SetCompleteCallback(AsyncHttp *request, void *context,
                                  AsyncHttpCompleteCallback function) {
  ASYNCHTTP_CHECK(request);
  return Callback_Set(&request->completeCallback, context,
                      reinterpret_cast<CallbackFunction>(function));
}

int AsyncHttp_SetErrorCallback(AsyncHttp *request, void *context, AsyncHttpErrorCallback function) {
  ASYNCHTTP_CHECK(request);
  return Callback_Set(&request->errorCallback, context,
                      reinterpret_cast<CallbackFunction>(function));
}

int AsyncHttp_SetPrepareCallback(AsyncHttp *request, void *context,
                                 AsyncHttpPrepareCallback function) {
  ASYNCHTTP_CHECK(request);
  return Callback_Set(&request->prepareCallback, context,
                      reinterpret_cast<CallbackFunction>(function));
}

int AsyncHttp_IsRunning(AsyncHttp *request) {
  ASYNCHTTP_CHECK(request);
  return asyncHttpIsRunning(request) ? 1 : 0;
}

int AsyncHttp_IsComplete(AsyncHttp *request) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  return request->complete;
}

int AsyncHttp_Succeeded(AsyncHttp *request) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  return !asyncHttpIsRunning(request) && request->errorCode == 0 && request->errorCodeEx == 0;
}

int AsyncHttp_IsSaved(AsyncHttp *request) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  return request->saved;
}

int AsyncHttp_GetError(AsyncHttp *request, uint32_t *code, uint32_t *codeEx) {
  ASYNCHTTP_CHECK(request);
  CHECK_POINTER(code);
  CHECK_POINTER(codeEx);
  Hold hold(request->lock);
  *code = request->errorCode;
  *codeEx = request->errorCodeEx;
  return 1;
}

int AsyncHttp_GetCause(AsyncHttp *request, WebGetCause *cause) {
  ASYNCHTTP_CHECK(request);
  CHECK_POINTER(cause);
  Hold hold(request->lock);
  *cause = request->cause;
  return 1;
}

int AsyncHttp_GetErrorInfo(AsyncHttp *request, Dictionary *info) {
  ASYNCHTTP_CHECK(request);
  CHECK_POINTER(info);
  Hold hold(request->lock);
  Dictionary_SetInt32ByKey(info, "errorCount", request->errorCount);
  Dictionary_SetInt64ByKey(info, "errorCode", request->errorCode);
  Dictionary_SetInt64ByKey(info, "errorCodeEx", request->errorCodeEx);
  Dictionary_SetFloat64ByKey(info, "resumeTime", request->resumeTime);
  return 1;
}

int AsyncHttp_GetResumeTime(AsyncHttp *request, double *resumeTime) {
  ASYNCHTTP_CHECK(request);
  CHECK_POINTER(resumeTime);
  Hold hold(request->lock);
  *resumeTime = request->resumeTime;
  return 1;
}

int AsyncHttp_GetDictionary(AsyncHttp *request, Dictionary **dictionary) {
  ASYNCHTTP_CHECK(request);
  CHECK_POINTER(dictionary);
  *dictionary = request->result;
  return 1;
}

void *AsyncHttp_GetParser(AsyncHttp *request) {
  ASYNCHTTP_CHECK(request);
  Hold hold(request->lock);
  return asyncHttpParserFor(request, request->format);
}

int AsyncHttp_GetBody(AsyncHttp *request, const uint8_t **data, int64_t *length) {
  ASYNCHTTP_CHECK(request);
  CHECK_POINTER(data);
  CHECK_POINTER(length);
  Hold hold(request->lock);
  *data = request->keptBody;
  *length = request->keptLength;
  return 1;
}

int AsyncHttp_GetBodyBytes(AsyncHttp *request, int64_t *bytes) {
  ASYNCHTTP_CHECK(request);
  CHECK_POINTER(bytes);
  *bytes = request->bodyBytes.load(std::memory_order_relaxed);
  return 1;
}

int AsyncHttp_GetMeter(AsyncHttp *request, MeterRW **pair) {
  ASYNCHTTP_CHECK(request);
  CHECK_POINTER(pair);
  *pair = request->meter;
  return 1;
}
