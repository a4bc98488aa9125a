// AsyncHttp: the one-shot document request. It fetches one document by URL
// through the connection pool, collects the body in memory, parses it on an
// I/O worker thread as JSON (a JWS-signed document first), XML or YAML, or as
// the response's Content-Type says, into its own result Dictionary, and
// finishes on an event queue its owner chooses. It keeps an error count and a
// retry time by which the owner repeats a failed fetch, and it can write its
// document back to a file. It retries by itself only in one case: a signed
// document from the network that arrives whole but whose token does not
// split or whose signature fails is fetched once more at once (a proxy or a
// dropped connection can cut a body under a matching Content-Length); the
// same failure again reaches the owner. A signed document from the network
// is checked as it arrives (JwsShape): a body that cannot be a token alone
// ends the transfer at once, unread, with 987 and kAsyncHttpCorruptDocument.
//
// Invariants: (1) the running signal is set from the start of a Get or Save
// until its finish step (or a Reset that finds the transfer on the network)
// resets it; while it is set a second Get or Save is refused. (2) every step
// posted for a Get or Save carries that operation's generation number (a
// fetch made once more keeps its Get's); a Reset starts a new generation,
// and a step of an older one changes nothing,
// except the finish of parse or Save work that was already on the I/O worker:
// that finish drops the outcome without callbacks and resets the running
// signal. (3) while a parse or Save write runs on the I/O worker, only that
// work touches the result, the parsers, the body and the save buffer. (4) a
// Save replaces the target only once the whole document is on the disk under
// a fresh temporary name beside it (core/platform/filereplace.h); a failure
// leaves the target as it was. (5) a parse or Save write holds one
// reference on the object, handed to its finish step (or to the start step
// of a fetch made once more) and dropped once that step has run: an owner
// that sees the object idle on the queue's thread holds the last reference.
//
// Threads: Get, Save, the setters and the queries on any thread (the
// object's lock guards the fields). The transfer (start step, body-begin,
// start and done hooks) runs on the main thread, where the pool lives;
// Reset and the last Release while a transfer is on the network also belong
// there. Parsing, the complete callback and the Save write run on I/O worker
// threads; the finish steps and the error callback on the thread of the
// object's event queue (the main thread by default).
#pragma once

#include <cstdint>

struct AsyncHttp;
struct CertStore;
struct Dictionary;
struct EventQueue;
struct MeterRW;
struct WebGetCacheStore;
struct WebGetCause;
struct WebGetRequest;

constexpr uint32_t kAsyncHttpTag = 0x4a7c3e15;

// Formats: the document's parser; any other value keeps the body raw.
constexpr int32_t kAsyncHttpFormatJson = 2;
constexpr int32_t kAsyncHttpFormatXml = 3;
constexpr int32_t kAsyncHttpFormatYaml = 4;
constexpr int32_t kAsyncHttpFormatByContentType = 5;

// The kind an error callback is called for.
constexpr int32_t kAsyncHttpKindGet = 1;
constexpr int32_t kAsyncHttpKindSave = 3;
// The error callback's answer that makes a failure final.
constexpr int32_t kAsyncHttpAnswerFinal = 5;

// The response's Content-Type is kept up to this many bytes (the end
// included).
constexpr int kAsyncHttpContentTypeBytes = 320;
// The extra code of a 987 for a signed document fetched over the network
// whose body broke the shape of a compact token as it arrived (not a JSON
// reader's code): the transfer ended there, the rest never read.
constexpr uint32_t kAsyncHttpCorruptDocument = 100;
// Members per chunk of the result's pool: documents are many small items.
constexpr int32_t kAsyncHttpResultPoolGrowth = 1000;

// Called on the event queue's thread for a failed Get (kind 1) or Save (kind
// 3). *resumeTime holds the current retry time on entry; the callback writes
// the tick time (Platform_GetTickSeconds) at which the owner should try
// again. Answering 5 makes the failure final and changes nothing; any other
// answer counts one more failure and takes the written time.
typedef int32_t (*AsyncHttpErrorCallback)(AsyncHttp *request, void *context, int32_t errorCount,
                                          int32_t kind, uint32_t errorCode, uint32_t errorCodeEx,
                                          double *resumeTime);
// Called on the I/O worker right after a successful parse (never for a raw
// body); may change both codes. Answering 0 empties the result and resets
// the parser.
typedef int32_t (*AsyncHttpCompleteCallback)(AsyncHttp *request, void *context,
                                             uint32_t *errorCode, uint32_t *errorCodeEx);
// Called on the main thread just before the transfer joins the pool, with
// URL, size limit, cache store and report flag set, so that the owner can
// add headers or settings. The answer is ignored.
typedef int32_t (*AsyncHttpPrepareCallback)(AsyncHttp *request, void *context,
                                            WebGetRequest *webGetRequest);

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign object and on a NULL
// out-pointer. Setters return 1 unless they say otherwise.

// ---- Lifetime ---------------------------------------------------------------------------

// A new object: no result yet (errorCode 990), format JSON, error reports on,
// resume time now, its meter pair, running signal and result Dictionary.
// Meter_Init must have run. Returns 1.
int AsyncHttp_Create(AsyncHttp **request);
// Drops the caller's reference and clears *request; the last one resets the
// object silently and frees it.
int AsyncHttp_Release(AsyncHttp **request);

// ---- Operations -------------------------------------------------------------------------

// Starts fetching url (UTF-8); with signed the document must be JSON that
// carries a valid JWS signature. 0 while a Get or Save runs (nothing
// changes); else empties the result, resets the parser and posts the start
// to the main queue. Returns 1.
int AsyncHttp_Get(AsyncHttp *request, const char *url, int32_t signedFlag);
// Writes the document (the kept body, else the result in the current
// format) to path on the I/O worker: into a new file beside it, created
// exclusively under a random name without following a link, synced, then
// renamed over path (a link at path is replaced, not followed) and the
// directory synced. Missing directories are made. An empty path finishes at
// once with success. 0 while a Get or Save runs; 1 otherwise (failures
// arrive as errorCode 964 with the system error through the finish).
int AsyncHttp_Save(AsyncHttp *request, const char *path);
// Before each later Save writes, the file system that holds path is brought
// to the disk (Platform_SyncFileSystem); a failure there fails the Save with
// 964. For a document that describes other files, so that it never reaches
// the disk ahead of them. NULL or "" removes the barrier. 0 while a Get or
// Save runs, or when path does not fit (the barrier is then removed); else 1.
int AsyncHttp_SetSaveBarrier(AsyncHttp *request, const char *path);
// Abandons the transfer (it runs on into the discarding sink) and returns
// the object to "no result": result and bodies emptied, complete and saved
// 0, errorCode 990. errorCount and the resume time stay. The running signal
// is reset at once unless parse or Save work runs on the I/O worker; its
// finish then resets it. silent is kept for callers: nothing more is posted
// either way. Returns 1.
int AsyncHttp_Reset(AsyncHttp *request, int32_t silent);

// ---- Settings ---------------------------------------------------------------------------

// 2 JSON, 3 XML, 4 YAML, 5 by Content-Type, other: raw. A new format releases
// the parsers; 2, 3 and 4 create theirs bound to the result (or reset it).
// 0 (nothing changes) while a Get or Save runs.
int AsyncHttp_SetFormat(AsyncHttp *request, int32_t format);
// The queue of the finish steps (retained; NULL: the main queue). 0 (nothing
// changes) while a Get or Save runs.
int AsyncHttp_SetEventQueue(AsyncHttp *request, EventQueue *queue);
// The store that verifies signed documents (retained; NULL: none, and a
// signed Get then fails with 987 and 10).
int AsyncHttp_SetCertStore(AsyncHttp *request, CertStore *store);
// The response store handed to each transfer (borrowed; NULL: no cache).
int AsyncHttp_SetCacheStore(AsyncHttp *request, WebGetCacheStore *store);
// The largest body and saved document in bytes; below 1: no limit.
int AsyncHttp_SetMaxSize(AsyncHttp *request, int32_t bytes);
// Keeps the raw body after parsing (for AsyncHttp_GetBody and Save); there
// is no way back.
int AsyncHttp_KeepBody(AsyncHttp *request);
int AsyncHttp_SetReportError(AsyncHttp *request, int32_t on);
// 1 (the default): a signed document whose own "exp" has passed or whose
// "nbf" has not come is refused (987 with 10); a missing claim passes. 0
// reads signed documents whatever their claims say (a copy kept on disk).
int AsyncHttp_SetCheckClaims(AsyncHttp *request, int32_t on);
int AsyncHttp_SetCompleteCallback(AsyncHttp *request, void *context,
                                  AsyncHttpCompleteCallback function);
int AsyncHttp_SetErrorCallback(AsyncHttp *request, void *context, AsyncHttpErrorCallback function);
int AsyncHttp_SetPrepareCallback(AsyncHttp *request, void *context,
                                 AsyncHttpPrepareCallback function);

// ---- Queries ----------------------------------------------------------------------------

// 1 while a Get or Save runs (tested without waiting).
int AsyncHttp_IsRunning(AsyncHttp *request);
// 1 once a Get has finished for good.
int AsyncHttp_IsComplete(AsyncHttp *request);
// 1 when not running and both codes are 0.
int AsyncHttp_Succeeded(AsyncHttp *request);
// 1 once a Save has finished with code 0.
int AsyncHttp_IsSaved(AsyncHttp *request);
int AsyncHttp_GetError(AsyncHttp *request, uint32_t *code, uint32_t *codeEx);
// What the last transfer's failure met beyond its codes (WebGetRequest_GetCause);
// the error callback may read it.
int AsyncHttp_GetCause(AsyncHttp *request, WebGetCause *cause);
// Sets "errorCount", "errorCode", "errorCodeEx" (int) and "resumeTime"
// (float) in info.
int AsyncHttp_GetErrorInfo(AsyncHttp *request, Dictionary *info);
int AsyncHttp_GetResumeTime(AsyncHttp *request, double *resumeTime);
// The result (borrowed). Always 1: the result exists from creation.
int AsyncHttp_GetDictionary(AsyncHttp *request, Dictionary **dictionary);
// The parser of the current format (Json, XML or Yaml; borrowed), NULL for
// 5 and raw. An owner may set its node callback or unbind its Dictionary to
// stream a document without building the result; not while a Get or Save
// runs, when the parse owns it.
void *AsyncHttp_GetParser(AsyncHttp *request);
// The kept body (NULL and 0 when none).
int AsyncHttp_GetBody(AsyncHttp *request, const uint8_t **data, int64_t *length);
// The body bytes received over the object's life, every transfer's and
// failed ones too (documents' share of the bytes a run fetched).
int AsyncHttp_GetBodyBytes(AsyncHttp *request, int64_t *bytes);
// The meter pair under which the transfer's socket and each Save count
// their bytes (owned by the object).
int AsyncHttp_GetMeter(AsyncHttp *request, MeterRW **pair);
