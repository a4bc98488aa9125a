// WebGetRequest: the record of one HTTP or HTTPS transfer, from the moment a
// caller fills it in until the body has been delivered: URL, method,
// settings, callbacks, the phase a connection has driven it to, the result
// codes, the response facts and the collected body. The connection and the
// pool drive it; the response parsing and the file sink fill it.
//
// Invariants: (1) the record is a class object (reference count from 1); it
// owns its output file, its inflate stream, its cookie pool, its write pool
// (once made) and its memory output until the output is taken. (2) every
// text field is terminated within its capacity. (3) the memory output never
// holds more than min(size limit when set, kWebGetMemoryOutputMaxBytes) bytes,
// and a length that would pass it fails with 959 before anything is
// allocated. (4) the phase and the result codes change only through atomic
// operations; the phase by compare-exchange. (5) after SetUrl the URL holds
// no byte up to 0x20 and no 0x7F: whatever macros and rules produced, such a
// byte is written as "%XX".
//
// Threads: a request belongs to the thread that runs its connection (the
// caller's until it is queued); callbacks run there. The pending-write
// counter, the result codes, the phase and the reference count may change on
// I/O worker threads (file-write completions) and be read anywhere.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/net/webget.h"
#include "core/platform/platform.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"

struct AsyncFile;
struct MemoryStream;
struct Pool;
struct WebGetConnection;
struct WebGetCacheStore;
struct z_stream_s;

constexpr uint32_t kWebGetRequestTag = 0x7e6b0f40;
constexpr uint32_t kWebGetCookieListTag = 0x7e6b0f41;

constexpr int kWebGetHostBytes = 512;
constexpr int kWebGetFilenameBytes = 260;
constexpr int kWebGetProxyBytes = 512;
constexpr int kWebGetStatusTextBytes = 256;
// Cookie records per chunk of the cookie pool.
constexpr int kWebGetCookiesPerChunk = 10;
constexpr int32_t kWebGetDefaultRedirectLimit = 4;
constexpr int32_t kWebGetDefaultTimeoutSeconds = 15;
// The memory output grows in whole MiB, half again as much as it needs.
constexpr int64_t kWebGetMemoryOutputStepBytes = 1048576;
// A body kept in memory is at most this large, whatever a server announces
// or sends: past it the transfer fails with 959 rather than take the memory.
constexpr int64_t kWebGetMemoryOutputMaxBytes = int64_t(1) << 30;
// Of an error answer's body (status outside 200-299) this much is kept in
// memory; the rest is read and dropped.
constexpr int64_t kWebGetErrorBodyKeepBytes = 1048576;
// Of a redirect's page this much is read at most: past it the connection,
// whose next bytes would still be the page's, is closed.
constexpr int64_t kWebGetRedirectPageBytes = 65536;
// Response headers end within this many bytes (the end included).
constexpr int kWebGetHeaderLimitBytes = 8191;
// A chunk size line ends within this many bytes.
constexpr int kWebGetChunkLineLimitBytes = 4096;
// File writes are cut into blocks of at most this size.
constexpr int32_t kWebGetWriteBlockBytes = 32768;
// The inflate output buffer.
constexpr int32_t kWebGetInflateBytes = 1048576;

struct WebGetRequest;

// Body begin and end, write-done, phase and start callbacks. Returns 1 to go
// on (body begin and end only: 0 fails the transfer).
typedef int (*WebGetRequestCallback)(WebGetRequest *request, void *context);
// A body sink: takes length bytes of data and adds what it took to
// *written. 0 ends the body.
typedef int (*WebGetRequestWriteCallback)(WebGetRequest *request, void *context,
                                          const void *data, int64_t length, int64_t *written);
// A redirect about to be followed: url (size bytes) may be changed; 0
// blocks it.
typedef int (*WebGetRequestRedirectCallback)(WebGetRequest *request, void *context, char *url,
                                             int size);

constexpr int kWebGetCookieNameBytes = 512;
constexpr int kWebGetCookieValueBytes = 1024;
constexpr int kWebGetCookiePathBytes = 512;
constexpr int kWebGetCookieDomainBytes = 512;

// One stored cookie: a member of the request's cookie pool.
struct WebGetCookie {
  char name[kWebGetCookieNameBytes];
  char value[kWebGetCookieValueBytes];
  char path[kWebGetCookiePathBytes];      // stored, not used when sending
  char domain[kWebGetCookieDomainBytes];  // the request's host when none was named
  int32_t secure;
  WebGetCookie *next;
  WebGetCookie *prev;
};

// The request's cookies, in the order they were set.
struct WebGetCookieList {
  uint32_t classTag;
  int32_t count;
  WebGetCookie *head;
  WebGetCookie *tail;
};

struct WebGetRequest {
  ObjectHeader header;
  ClassLog log;  // "WebGetRequest"; forced by the log flag; sink = the log hook

  // Callback cells; each may hold a class instance that scopes it.
  CallbackRef bodyBeginCallback;
  CallbackRef bodyEndCallback;
  CallbackRef writeCallback;  // the body sink; the memory sink at creation
  CallbackRef redirectCallback;
  CallbackRef writeDoneCallback;
  CallbackRef phaseCallback;
  CallbackRef startCallback;

  // Transfer state.
  std::atomic<double> phaseStartTime;  // Platform_GetTickSeconds at the last phase change
  std::atomic<int32_t> pendingWrites;
  std::atomic<int32_t> phase;  // WebGetRequestPhase
  std::atomic<int32_t> phaseChanged;
  std::atomic<int32_t> error;    // WebGetError
  std::atomic<int32_t> errorEx;  // system, zlib or TLS error, or a status
  WebGetCause cause;             // what the failure met beyond its codes; set with them
  int32_t redirectCount;
  int32_t redirectLimit;
  int32_t headerState;  // the connection's own value for its header phase
  char requestHeaders[kWebGetHeaderBlockBytes];
  char responseHeaders[kWebGetHeaderBlockBytes];
  int32_t method;  // WebGetMethod
  char url[kWebGetUrlBytes];
  char host[kWebGetHostBytes];  // with port
  char filename[kWebGetFilenameBytes];
  char requestTarget[kWebGetUrlBytes];
  const void *postData;  // borrowed (or postQuery): must outlive the transfer
  int32_t postDataLength;
  char postQuery[kWebGetUrlBytes];  // the URL's query when it became the post data
  uint64_t rangeStart;  // 0, 0: the whole resource; end 0: open ended
  uint64_t rangeEnd;
  uint8_t *memoryOutput;  // owned until taken; NULL while capacity is 0
  int64_t memoryCapacity;
  int64_t memoryLength;
  uint64_t bytesReceived;      // decoded body bytes that reached a sink
  uint64_t bodyBytesConsumed;  // raw body bytes taken from the connection
  uint64_t redirectBytes;      // raw page bytes of the redirects followed
  AsyncFile *outputFile;
  char filePath[kPathMax];
  uint64_t foundFileSize;
  uint64_t writeOffset;
  Pool *writePool;  // made on the first file output
  z_stream_s *inflater;  // a Mem_Alloc'd zlib stream, open while inflateOpen
  int32_t inflateOpen;
  int32_t inflateMidStream;  // input taken since the last stream end
  int32_t inflateEmptyEnd;   // the last stream ended without a byte of output
  int64_t codedSilence;      // coded input taken since the last output
  // The output file closes once its last write in flight has completed:
  // 0 open (or none), 1 close wanted, 2 closed. A failed write records the
  // lowest failed offset, to which the file is cut before it closes.
  std::atomic<int32_t> fileCloseState;
  std::atomic<uint64_t> fileCutOffset;
  MemoryStream *inflateStream;

  // Response facts.
  int32_t statusCode;
  double responseVersion;
  int64_t contentLength;
  int32_t hasContentLength;
  int32_t chunked;
  int64_t chunkRemaining;
  int64_t chunkSize;
  int32_t finalChunk;
  int32_t inTrailer;      // the last chunk was read; its trailer lines follow
  int64_t trailerBytes;
  int32_t gzip;
  int32_t keepAlive;
  int32_t acceptsRanges;
  int32_t rangeMismatch;
  uint64_t receivedRangeStart;
  uint64_t receivedRangeEnd;
  double lastModified;
  int64_t maxAge;
  int32_t cacheDirective;  // 0 none, 1 "no-cache", 2 "no-store"

  WebGetCookieList cookies;
  Pool *cookiePool;
  WebGetConnection *connection;  // borrowed: set and cleared by the connection

  // Settings.
  double httpVersion;
  int32_t timeoutSeconds;  // below 1: none
  int32_t allowProxy;
  int32_t allowResume;
  int32_t acceptCompression;
  int32_t inflateEnabled;
  int32_t forceInflate;
  int32_t identityOnly;  // the bytes are counted: Accept-Encoding: identity
  int32_t decodeAnswer;  // this answer's gzip is undone, inflate or not
  int64_t sizeLimit;  // 0: none
  int64_t rawLimit;   // raw body bytes of a success; 0: the size limit and the slack
  int32_t cookiesEnabled;
  int32_t ignoreCookieDomain;
  int32_t keepFileTime;
  int32_t checkHost;
  int32_t reportErrors;
  char proxy[kWebGetProxyBytes];
  WebGetCacheStore *cacheStore;  // borrowed
  int32_t logFlag;
};

// Every operation stops the program with "Pointer is NULL\n" on a NULL
// request or out-pointer and with "Class mismatch pointer (...)" on another
// object. Setters return 1 unless they say otherwise.

// ---- Lifetime -------------------------------------------------------------------

// A new request with the defaults: redirect limit 4, HTTP 1.1, time-out 15,
// compression, inflation, cookies, host check, error reports, proxies and
// keep-alive on, method Get, the memory sink, its output file (AsyncFile_Init
// must have run), inflate stream and cookie pool. Returns 1.
int WebGetRequest_Create(WebGetRequest **request);
// 1 when the caller holds the only reference.
int WebGetRequest_IsOnlyReference(WebGetRequest *request);

// ---- Settings ---------------------------------------------------------------------

// Sets the URL: fixed (Url_Fix); with rewrite, request macros are expanded
// and the rewrite rules run (WebGet_RewriteUrl with kWebGetRedirectExpand);
// request macros once more; every byte up to 0x20 and 0x7F escaped; then
// host and file name follow the final URL. 0 (URL, host and file name empty)
// when the URL does not fix, an expansion fails or the escaped URL does not
// fit. With rewrite the WebGet global must exist (see WebGet_RewriteUrl).
int WebGetRequest_SetUrl(WebGetRequest *request, const char *url, int rewrite);
int WebGetRequest_GetUrl(WebGetRequest *request, const char **url);
int WebGetRequest_CopyUrl(WebGetRequest *request, char *out, int size);
// The request macros ({Cookie:...}, {Header:...}): a StrExpandHandler whose
// userData is the request. Answers 0 for every name the request does not own.
int WebGetRequest_MacroHandler(void *userData, const char *name, const char *argument, char *out,
                               int outSize);
int WebGetRequest_SetMethod(WebGetRequest *request, int32_t method);
int32_t WebGetRequest_GetMethod(WebGetRequest *request);
int WebGetRequest_GetHttpVersion(WebGetRequest *request, double *version);
int WebGetRequest_SetPostData(WebGetRequest *request, const void *data, int32_t length);
int WebGetRequest_GetPostData(WebGetRequest *request, const void **data, int32_t *length);
int WebGetRequest_SetRange(WebGetRequest *request, uint64_t start, uint64_t end);
int WebGetRequest_GetRange(WebGetRequest *request, uint64_t *start, uint64_t *end);
// The output path (kPathMax bytes). 0, with the path empty, when it does not
// fit.
int WebGetRequest_SetFilePath(WebGetRequest *request, const char *path);
int WebGetRequest_GetFilePath(WebGetRequest *request, char *out, int size);
int WebGetRequest_GetFilename(WebGetRequest *request, char *out, int size);
// A limit below 0 counts as none (0).
int WebGetRequest_SetSizeLimit(WebGetRequest *request, int64_t limit);
// The raw bytes (before any decoding) a success's body may bring; 0 (the
// default): the size limit and kWebGetRawSlackBytes, none without a size
// limit. Any other page brings kWebGetRawSlackBytes at most, a redirect's
// being cut there. Past it the request fails with 959 kWebGetSizeLimitRaw.
int WebGetRequest_SetRawLimit(WebGetRequest *request, int64_t limit);
int64_t WebGetRequest_GetSizeLimit(WebGetRequest *request);
int WebGetRequest_SetAcceptCompression(WebGetRequest *request, int on);
int WebGetRequest_SetInflate(WebGetRequest *request, int on);
// For a transfer whose bytes are counted (by range or digest): it asks for
// Accept-Encoding: identity, and a success under a content coding fails
// with 968 and the coding (WebGetCoding) as its extra code. A whole answer
// under gzip, from a server that does not heed the request, is decoded.
int WebGetRequest_SetIdentityOnly(WebGetRequest *request, int on);
int WebGetRequest_SetAllowResume(WebGetRequest *request, int on);
int WebGetRequest_GetAllowResume(WebGetRequest *request);
int WebGetRequest_SetTimeout(WebGetRequest *request, int32_t seconds);
int32_t WebGetRequest_GetTimeout(WebGetRequest *request);
int WebGetRequest_SetAllowProxy(WebGetRequest *request, int on);
int WebGetRequest_GetAllowProxy(WebGetRequest *request);
int WebGetRequest_SetReportError(WebGetRequest *request, int on);
int WebGetRequest_GetReportError(WebGetRequest *request);
int WebGetRequest_SetCheckHost(WebGetRequest *request, int on);
int WebGetRequest_GetCheckHost(WebGetRequest *request);
int WebGetRequest_SetCacheStore(WebGetRequest *request, WebGetCacheStore *store);
WebGetCacheStore *WebGetRequest_GetCacheStore(WebGetRequest *request);
int WebGetRequest_SetKeepFileTime(WebGetRequest *request, int on);
int WebGetRequest_GetKeepFileTime(WebGetRequest *request);
// Below 0 counts as 0 (no redirect followed).
int WebGetRequest_SetRedirectLimit(WebGetRequest *request, int32_t limit);
int WebGetRequest_SetCookiesEnabled(WebGetRequest *request, int on);
int WebGetRequest_SetIgnoreCookieDomain(WebGetRequest *request, int on);
int WebGetRequest_SetLogFlag(WebGetRequest *request, int on);
// Where the request's log lines go (NULL: the log).
int WebGetRequest_SetLogHook(WebGetRequest *request, void *context, ClassLogSink hook);

// ---- Output and callbacks -----------------------------------------------------------

int WebGetRequest_SetDiscardOutput(WebGetRequest *request);
int WebGetRequest_SetMemoryOutput(WebGetRequest *request);
int WebGetRequest_SetWriteCallback(WebGetRequest *request, void *instance, void *context,
                                   WebGetRequestWriteCallback function);
int WebGetRequest_SetBodyBeginCallback(WebGetRequest *request, void *instance, void *context,
                                       WebGetRequestCallback function);
int WebGetRequest_SetBodyEndCallback(WebGetRequest *request, void *instance, void *context,
                                     WebGetRequestCallback function);
int WebGetRequest_SetPhaseCallback(WebGetRequest *request, void *instance, void *context,
                                   WebGetRequestCallback function);
int WebGetRequest_SetStartCallback(WebGetRequest *request, void *instance, void *context,
                                   WebGetRequestCallback function);
int WebGetRequest_ClearBodyBeginCallback(WebGetRequest *request);
int WebGetRequest_ClearBodyEndCallback(WebGetRequest *request);
int WebGetRequest_ClearPhaseCallback(WebGetRequest *request);
// Runs the start or phase callback when one is set; 1 otherwise.
int WebGetRequest_RunStartCallback(WebGetRequest *request);
int WebGetRequest_RunPhaseCallback(WebGetRequest *request);

// The sinks (WebGetRequestWriteCallback). Discard takes everything. Memory
// appends to the memory output, growing it to exactly the Content-Length
// when the answer announced one that the data fits in, else to 1.5 times the
// need rounded down to whole MiB (at least the need, rounded up); 0 with
// 959 when the length would pass the size limit or
// kWebGetMemoryOutputMaxBytes.
int WebGetRequest_DiscardSink(WebGetRequest *request, void *context, const void *data,
                              int64_t length, int64_t *written);
int WebGetRequest_MemorySink(WebGetRequest *request, void *context, const void *data,
                             int64_t length, int64_t *written);

// ---- Headers ------------------------------------------------------------------------

// The request header block (kWebGetHeaderBlockBytes) for WebGet_SetHeader.
int WebGetRequest_GetRequestHeaders(WebGetRequest *request, char **block, int *size);
int WebGetRequest_GetResponseHeaders(WebGetRequest *request, const char **block, int *size);
int WebGetRequest_ClearHeaders(WebGetRequest *request);

// ---- Results --------------------------------------------------------------------------

int WebGetRequest_GetError(WebGetRequest *request, int32_t *code, int32_t *codeEx);
// Records both codes; a nonzero code closes the output file. Always 0, so a
// failing step can end with it.
int WebGetRequest_SetError(WebGetRequest *request, int32_t code, int32_t codeEx);
// What the request's failure met on its last hop (a TLS failure, a proxy):
// read with the codes (WebGetCause_FindTls, WebGetCause_FindProxy).
int WebGetRequest_GetCause(WebGetRequest *request, WebGetCause *cause);
int32_t WebGetRequest_GetStatusCode(WebGetRequest *request);
// The reason text of the response's status line.
int WebGetRequest_GetStatusText(WebGetRequest *request, char *out, int size);
// 0 (and *length 0) without a Content-Length.
int WebGetRequest_GetContentLength(WebGetRequest *request, int64_t *length);
uint64_t WebGetRequest_GetBytesReceived(WebGetRequest *request);
uint64_t WebGetRequest_GetBodyBytesConsumed(WebGetRequest *request);
// The page bytes of the redirects this transfer followed (each read up to
// kWebGetRedirectPageBytes), since the last WebGetRequest_Reset.
uint64_t WebGetRequest_GetRedirectBytes(WebGetRequest *request);
uint64_t WebGetRequest_GetResumeOffset(WebGetRequest *request);
int64_t WebGetRequest_GetMaxAge(WebGetRequest *request);
int32_t WebGetRequest_GetCacheDirective(WebGetRequest *request);
int WebGetRequest_GetKeepAlive(WebGetRequest *request);
// The collected body; never a NULL pointer (an empty output allocates one
// zeroed byte).
int WebGetRequest_GetMemoryOutput(WebGetRequest *request, const uint8_t **data, int64_t *length);
// Hands the buffer over (the caller frees it with Mem_Free and *capacity;
// NULL with capacity 0 when there is none) and empties the request's.
int WebGetRequest_TakeMemoryOutput(WebGetRequest *request, uint8_t **data, int64_t *capacity,
                                   int64_t *length);
int WebGetRequest_FreeMemoryOutput(WebGetRequest *request);
int WebGetRequest_IsComplete(WebGetRequest *request);
// Done, code 0, status 200-299 and no range mismatch.
int WebGetRequest_IsSuccess(WebGetRequest *request);
int WebGetRequest_GetConnection(WebGetRequest *request, WebGetConnection **connection);

// ---- For connections and the pool -------------------------------------------------------

// 0 when the phase is already that one; else logs "Phase change - %s > %s
// (%.2f)", restarts the phase clock, stores the phase by compare-exchange,
// sets the phase-changed flag and returns 1.
int WebGetRequest_SetPhase(WebGetRequest *request, int32_t phase);
int32_t WebGetRequest_GetPhase(WebGetRequest *request);
int WebGetRequest_SetConnection(WebGetRequest *request, WebGetConnection *connection);
int WebGetRequest_SetPhaseChangedFlag(WebGetRequest *request, int value);
int WebGetRequest_GetPhaseChangedFlag(WebGetRequest *request);
int WebGetRequest_SetRequestTarget(WebGetRequest *request, const char *target);
int WebGetRequest_GetRequestTarget(WebGetRequest *request, char *out, int size);
int WebGetRequest_SetHeaderState(WebGetRequest *request, int32_t state);
int32_t WebGetRequest_GetHeaderState(WebGetRequest *request);
// 1 while file writes of the request are in flight.
int WebGetRequest_HasPendingWrites(WebGetRequest *request);
// Back to the initial transfer state for a new URL (settings and callbacks
// stay): output file closed, counters, response facts, codes, byte range and
// memory length cleared, response version 1.0, keep-alive 1, phase Idle.
int WebGetRequest_Reset(WebGetRequest *request);
// The response half of the reset, for a restart on another connection.
int WebGetRequest_ResetResponse(WebGetRequest *request);

// ---- Response and body (webgetrequest_response.cpp) ------------------------------------

// The built-in request lines: Accept, Accept-Language, Range, the post
// lines, Accept-Encoding and Cookie. A Post without post data sends the URL's
// query, copied into the request. Returns 1.
int WebGetRequest_AddStandardHeaders(WebGetRequest *request);
// Parses the response header at the start of data (length bytes): it ends at
// the earlier of "\r\n\r\n" and "\n\n"; *headerLength (may be NULL) gets its
// length. 0 after recording: 967 when no end arrived yet (fewer than 8,191
// bytes), 966 at 8,191 bytes or more, 986 for a bad status line or
// Content-Length, 968 for a Content-Encoding other than gzip or a
// Transfer-Encoding other than chunked, 978 / 954 for a 200 / 206 that does
// not fit the range asked (checkRange 1).
int WebGetRequest_ParseResponseHeader(WebGetRequest *request, int checkRange, const char *data,
                                      int length, int *headerLength);
// 1 when the answer (headers: the response header block) fits the range
// asked; the received range is stored.
int WebGetRequest_CheckContentRange(WebGetRequest *request, const char *headers);
// 1 for the statuses a connection follows: 301, 302, 303, 307 and 308.
int WebGetRequest_IsRedirectStatus(int32_t status);
// Follows the Location of the answer: 1 with the new URL set; 0 after
// recording 983, 984, 985, 963 (a target off the whitelist; extra code: the
// redirect's status) or 957 (a scheme other than http or https, a callback
// that blocks it, or, extra code kWebGetBlockedRedirectToHttp, from https to
// http). A 303 turns the request into a GET without a body, which it stays,
// as the URL stays the target's. '{' and '}' of the target are escaped.
int WebGetRequest_FollowRedirect(WebGetRequest *request);
// The cookie jar. Domains match as RFC 6265 says (equal, or the host ends
// with "." and the domain; a leading dot ignored); a secure cookie goes over
// https only.
int WebGetRequest_SetCookie(WebGetRequest *request, const char *name, const char *value,
                            const char *path, const char *domain, int secure);
// 1 when at least one stored cookie goes to the request's URL.
int WebGetRequest_HasCookies(WebGetRequest *request);
// "name=value; " per cookie sent, trailing blanks trimmed. 0 when none.
int WebGetRequest_FormatCookies(WebGetRequest *request, char *out, int size);
int WebGetRequest_ClearCookies(WebGetRequest *request);
// Body entry points of the connection. ProcessBody takes what it can of
// length bytes into *consumed (the rest belongs to the next answer or waits
// for more); 0 after recording the failure or when the sink ended the body.
int WebGetRequest_BeginBody(WebGetRequest *request, int silent);
int WebGetRequest_ProcessBody(WebGetRequest *request, const void *data, int64_t length,
                              int64_t *consumed);
int WebGetRequest_EndBody(WebGetRequest *request, int silent);
int WebGetRequest_IsChunkedComplete(WebGetRequest *request);
// Sends the body to a file at the output path (a path ending in '/' gets the
// request's file name). A 206 with resume allowed appends when its range
// starts at the file's size.
int WebGetRequest_SetFileOutput(WebGetRequest *request);
int WebGetRequest_FileSink(WebGetRequest *request, void *context, const void *data,
                           int64_t length, int64_t *written);
// Completion of one file write (an I/O worker thread).
void WebGetRequest_FileWriteDone(void *context, int64_t offset, void *buffer, uint32_t bytesDone,
                                 uint32_t error);
// Closes the output file once its last write in flight has completed (at
// once when none is); stamps Last-Modified unless the file time is kept.
int WebGetRequest_CloseOutputFile(WebGetRequest *request);
int WebGetRequest_SetWriteDoneCallback(WebGetRequest *request, void *instance, void *context,
                                       WebGetRequestCallback function);

// ---- Log ------------------------------------------------------------------------------

// Through the class log "WebGetRequest": Log at DEBUG; LogAtLevel only when
// the class log allows that level.
int WebGetRequest_Log(WebGetRequest *request, const char *format, ...);
int WebGetRequest_LogAtLevel(WebGetRequest *request, int level, const char *format, ...);
