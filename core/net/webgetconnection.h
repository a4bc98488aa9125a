// WebGetConnection: carries WebGetRequests over one transport to one server.
// It keeps a queue of requests, takes them one at a time and drives each
// through the request phases (Lookup, Connect, Request, PostBuffer, Header,
// Body, Cleanup, Done), deciding when the socket is kept for the next request,
// when it is closed and with which result code a request fails. The request
// line and headers are written by webgetrequestwriter.cpp, the proxy list
// that the Lookup phase walks is kept by webgetconnection_proxy.cpp, and
// file:// URLs are answered by the pseudo server of webgetconnection_file.cpp.
//
// Invariants: (1) a request is the current one, or queued, never both; each
// holds one reference taken by the connection. (2) a kept socket serves only
// the scheme it was opened for. (3) a failed step always ends its request
// with a nonzero code, and leaves the connection closed with empty buffers.
// (4) a reused connection that closes before the first byte of an answer gets
// one fresh try for GET, HEAD and OPTIONS without a body, never more, per
// attempt (the first send, and each resend that answers a challenge).
// (5) a failure before the request reached anyone (or a socket error before
// the answer) tries the next entry of the URL's proxy list while one is
// left. (6) only a file:// URL the caller set is read from the local disk,
// never one reached through a redirect.
//
// Threads: a connection belongs to its owner thread (its creator, or the
// thread in WebGetConnection_RunUntilComplete): polls, phases, the queue and
// the request fields are touched only there. The socket callbacks run on I/O
// worker threads and touch only the transport-side buffers (locked) before
// they schedule a poll; a host look-up runs on an I/O worker thread and
// touches only its record; a file:// read completes on an I/O worker thread
// and, under its record's lock, touches only the transport-side inbound
// buffer and the atomic file offset and error.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "core/net/webget.h"
#include "core/runtime/class.h"

struct AsyncFile;
struct AsyncSocket;
struct Dictionary;
struct DictionaryItem;
struct DupStream;
struct MeterRW;
struct TLS1;
struct WebGetAuth;
struct WebGetClientCert;
struct WebGetRequest;
struct WebGetLookup;
struct WebGetFileRead;

constexpr uint32_t kWebGetConnectionTag = 0x7e6b0f52;
constexpr uint32_t kWebGetLookupTag = 0x7e6b0f53;
constexpr int32_t kWebGetConnectionDefaultTimeout = 15;
// With a time-out of T seconds (at least 1): the whole response header,
// interim answers included, must arrive within this many times T, and the
// body must bring at least kWebGetMinimumBodyBytesPerSecond over every window
// of kWebGetBodyWindowTimeouts times T; either failure is 961 with the phase.
constexpr int32_t kWebGetHeaderDeadlineTimeouts = 4;
constexpr int32_t kWebGetBodyWindowTimeouts = 2;
constexpr int32_t kWebGetMinimumBodyBytesPerSecond = 1000;
// Interim (1xx) answers a request may get before its final one; one more
// fails it with 986.
constexpr int32_t kWebGetInterimAnswerLimit = 5;
// Received bytes a connection holds before the request takes them (records,
// deciphered bytes and the HTTP side together): the socket is read only while
// they are fewer, so that a reader slower than the network leaves the rest in
// the system's socket buffer instead of growing three queues to their maximum.
// Above the header limit plus a whole TLS record, so a header or a record
// always fits.
constexpr int32_t kWebGetReceiveWindowBytes = 192 * 1024;
// One read of a file:// body takes at most this many bytes.
constexpr int32_t kWebGetFileBufferBytes = 16387;
// A file:// URL's decoded path, terminator included.
constexpr int kWebGetFilePathBytes = 320;
// A proxy answer: "http://host:port/", terminator included.
constexpr int kWebGetProxyUrlBytes = 512;

struct WebGetCacheItem;
struct WebGetConnection;

// Poll: a poll is due. Completion: a request reached Done or ended for a
// redirect. Redirect: a 301, 302, 303, 307 or 308 was accepted by the request
// (WebGetRequest_IsRedirectStatus); its page passes no body hook.
typedef void (*WebGetConnectionPollFunction)(WebGetConnection *connection, void *context);
typedef void (*WebGetConnectionRequestFunction)(WebGetConnection *connection, void *context,
                                                WebGetRequest *request);

// One queued request with the caller's own header lines as they were when it
// was queued: every send composes its headers from that copy.
struct WebGetConnectionNode {
  WebGetRequest *request;
  std::string callerHeaders;
};

struct WebGetConnection {
  ObjectHeader header;
  ClassLog log;  // "WebGetConnection"
  int32_t forcedLog;
  void *logContext;
  ClassLogSink logFunction;

  void *pollContext;
  WebGetConnectionPollFunction pollFunction;
  void *completionContext;
  WebGetConnectionRequestFunction completionFunction;
  void *redirectContext;
  WebGetConnectionRequestFunction redirectFunction;

  DupStream *transport;  // plain bytes toward and from the socket
  DupStream *http;       // what the phases read and write
  AsyncSocket *socket;
  TLS1 *tls;
  WebGetAuth *serverAuth;
  WebGetAuth *proxyAuth;
  int32_t serverCancelled;  // the user cancelled the prompt: the next step fails
  int32_t proxyCancelled;
  WebGetClientCert *clientCert;
  int32_t certCancelled;
  int32_t certLoaded;                  // a client certificate went into the session
  char certDeclinedFor[48];            // the address answered with no certificate
  std::atomic<int32_t> certRequested;  // the server asked and the session had none

  std::deque<WebGetConnectionNode> queue;
  WebGetRequest *current;
  std::string currentHeaders;  // the current request's caller lines
  WebGetRequest *waiting;      // the credential-waiting request
  WebGetRequest *retried;      // the request given its one fresh try
  WebGetCacheItem *cacheItem;  // the current request's cache item (one reference)
  int32_t cacheAnswering;      // the answer is read from cacheItem, not the network
  int32_t cacheOffset;         // read position in cacheItem's stored answer

  uint32_t remoteAddress;  // first octet in the lowest byte
  int32_t remotePort;
  double lastActivity;
  WebGetLookup *lookup;
  char lastUrl[kWebGetUrlBytes];
  char socketScheme[16];   // the scheme the open socket was opened for
  int32_t answersOnSocket;  // answers completed on the open socket
  int32_t headerScan;
  int32_t interimAnswers;  // 1xx answers the current request got
  int32_t postCursor;
  double bodyWindowStart;      // the start of the body's current rate window
  uint64_t bodyWindowBytes;    // the body bytes taken before it

  std::atomic<uint32_t> ownerThread;
  std::atomic<int32_t> running;  // RunUntilComplete pumps: polls only wake it
  int32_t allowProxy;
  int32_t proxyLoopback;
  int32_t allowAuthentication;
  int32_t anyHost;  // the user's own URL (a proxy script): the content whitelist does not apply
  int32_t keepAlive;
  int32_t viaProxy;
  int32_t tunnelNeeded;
  std::atomic<int32_t> tlsActive;
  int32_t tunnelEstablished;
  int32_t lastError;
  int32_t lastErrorEx;
  int32_t timeoutSeconds;
  int32_t reportErrors;
  std::atomic<int32_t> receiveWindow;  // kWebGetReceiveWindowBytes; tests may set another
  char proxyOverride[512];  // "host:port" forced by the request's settings
  char proxyInUse[kWebGetProxyUrlBytes];  // "http://host:port/" the remote address belongs to

  // The resolver's list for proxyListUrl (webgetconnection_proxy.cpp): one
  // String item per entry, keyed by its type word. The cursor is the entry
  // last answered (NULL before the first); proxyListDone once it ran past
  // the last. proxyAnswer is the cursor's answer while proxyAnswered is 1,
  // given again to the next request for the same URL.
  Dictionary *proxyList;  // created on first use
  DictionaryItem *proxyCursor;
  int32_t proxyListDone;
  int32_t proxyAnswered;
  char proxyListUrl[kWebGetUrlBytes];
  char proxyAnswer[kWebGetProxyUrlBytes];

  // The file:// pseudo server (webgetconnection_file.cpp). The file and the
  // read record are made on the first file:// request. A read in flight
  // writes only its record and, while the record still names this
  // connection (under the record's lock), fileOffset, fileError and the
  // transport-side inbound buffer.
  AsyncFile *file;
  WebGetFileRead *fileRead;
  std::atomic<int64_t> fileOffset;  // the next byte to read; -1: nothing to read
  int64_t fileEnd;                  // one past the last byte the answer carries
  std::atomic<int32_t> fileError;   // a failed read: its code and extra code
  std::atomic<int32_t> fileErrorEx;
};

// Every operation stops the program on a NULL connection or another object.
// Results are 1 or 0.

int WebGetConnection_Create(WebGetConnection **connection);
// Drops one reference; the last one runs Uninit and frees. Clears *connection.
int WebGetConnection_Release(WebGetConnection **connection);
int WebGetConnection_Init(WebGetConnection *connection);
int WebGetConnection_Uninit(WebGetConnection *connection);

// Queues request at the tail and schedules a poll. Stops the program with
// "Cannot add in-use request in queue" when it is current or queued already.
int WebGetConnection_QueueRequest(WebGetConnection *connection, WebGetRequest *request);
int WebGetConnection_IsBusy(WebGetConnection *connection);
// Ends the current and every queued request (Done) and closes the transport.
int WebGetConnection_Cancel(WebGetConnection *connection);
// One pump: at most one phase step. 0 when a request failed in it.
int WebGetConnection_Poll(WebGetConnection *connection);
// Pumps on the calling thread until request is Done: 1, or 0 when it already
// was or a poll failed it.
int WebGetConnection_RunUntilComplete(WebGetConnection *connection, WebGetRequest *request);
int WebGetConnection_SchedulePoll(WebGetConnection *connection);
int WebGetConnection_SetPhase(WebGetConnection *connection, WebGetRequest *request, int32_t phase);
int WebGetConnection_DetachRequest(WebGetConnection *connection, WebGetRequest *request);
int WebGetConnection_Reset(WebGetConnection *connection, int dropQueue, int resetAuth,
                           int requeue);
int WebGetConnection_DropQueue(WebGetConnection *connection);
// The end of a request: keeps the connection for the next one, or (unless
// failed) waits for the buffers to drain, then closes it. 0 while it waits.
int WebGetConnection_Cleanup(WebGetConnection *connection, WebGetRequest *request, int failed);
// Logs the failure (when reportErrors) and queues "WebGetConnection"/"Error"
// with {"url", "remoteIp", "remotePort", "errorCode", "errorCodeEx",
// "reportError"}.
int WebGetConnection_ReportError(WebGetConnection *connection, WebGetRequest *request,
                                 int32_t code, int32_t codeEx);
// 1 when the socket is connected or any buffer holds bytes.
int WebGetConnection_HasPendingTransport(WebGetConnection *connection);

// The process-wide proxy resolver's two slots, empty while no resolver runs.
// GetProxy writes the URL's proxy list text ("PROXY h:p; DIRECT", "" for a
// direct connection) into out; pending 1 means "still working, ask again".
// Restart asks for a new detection run. Either may be called from any thread.
typedef int (*WebGetProxyGetHook)(const char *url, char *out, int outSize, int allowLoopback,
                                  int *pending);
typedef int (*WebGetProxyRestartHook)(void);
// Installs both slots (null pointers empty them).
void WebGetConnection_SetProxyHooks(WebGetProxyGetHook getProxy, WebGetProxyRestartHook restart);
void WebGetConnection_GetProxyHooks(WebGetProxyGetHook *getProxy, WebGetProxyRestartHook *restart);

int WebGetConnection_SetAllowProxy(WebGetConnection *connection, int flag);
int WebGetConnection_DisableLoopbackProxy(WebGetConnection *connection);
int WebGetConnection_SetAllowAuthentication(WebGetConnection *connection, int flag);
// flag 1: any host may be asked, not only the whitelist's (for URLs the user
// or the administrator gave, never for what a publisher's documents name).
int WebGetConnection_SetAnyHost(WebGetConnection *connection, int flag);
int WebGetConnection_SetKeepAlive(WebGetConnection *connection, int flag);
int WebGetConnection_SetReportErrors(WebGetConnection *connection, int flag);
// Below 1: no time-out.
int WebGetConnection_SetTimeout(WebGetConnection *connection, int32_t seconds);
int WebGetConnection_GetTimeout(WebGetConnection *connection, int32_t *seconds);
int WebGetConnection_SetProxyOverride(WebGetConnection *connection, const char *proxy);
// Tests only: the received bytes the connection holds before it stops reading
// (kWebGetReceiveWindowBytes unless set).
int WebGetConnection_SetReceiveWindowForTest(WebGetConnection *connection, int32_t bytes);

// ---- Proxy list (webgetconnection_proxy.cpp) -----------------------------------------------

// The proxy for the next try of url, as "http://host:port/" in out (size
// bytes), or empty for a direct connection. The override, when set, is the
// answer. Otherwise the list is url's (a list of another URL is dropped):
// the answer already given for it, or the next entry after the cursor,
// asking the resolver's GetProxy hook first when the list is empty. Entries
// ("PROXY h:p", "DIRECT", a lone "h:p", compared without regard to case):
// "SOCKS", "SOCKS4" and "SOCKS5" log "Unsupported proxy type (%s)" and go
// direct; any other typed entry is logged so and passed over. Returns 1 with
// an answer; 0 when the list is exhausted or none was built (no hook, or the
// hook failed), with *pending 1 while the hook is still working. With out
// NULL it only tells whether an entry follows, moving nothing.
int WebGetConnection_NextProxy(WebGetConnection *connection, const char *url, char *out,
                               int size, int *pending);
// Forgets the answer given for the list's URL (the next NextProxy moves on)
// and returns 1 when an entry follows the cursor; 0 without a list, at its
// end, while an override is set and while proxies are not allowed.
int WebGetConnection_HasNextProxy(WebGetConnection *connection);
// Empties the list and its cursor. 1 when it held entries.
int WebGetConnection_ClearProxyList(WebGetConnection *connection);

// ---- file:// pseudo server (webgetconnection_file.cpp) --------------------------------------

// The local path of a file:// URL: the host part must be empty, and the rest
// (from the slash after it) is percent-decoded into path (size bytes). 0 for
// another scheme, a host part, an encoded NUL byte or a path that does not
// fit. Any thread.
int WebGetConnection_ParseFileUrl(const char *url, char *path, int size);
// The first step of the Header phase of a file:// request: opens the file
// (regular files only) and writes an HTTP answer's header (200, 206 or 416
// with Content-Length) into the HTTP-side inbound buffer. 0 with *code and
// *codeEx: 400 for a URL that names a host or no usable path, 957 for a
// request that got here through a redirect, 964 and the platform error for
// a file that cannot be opened or read (5 for anything but a regular file).
int WebGetConnection_FileServe(WebGetConnection *connection, WebGetRequest *request, int first,
                               int32_t *code, int32_t *codeEx);
// One Body step: issues the next read of the range while none is in flight
// and the transport-side inbound buffer has room. 0 with *code and *codeEx
// for an answer without body bytes (416), a failed read (964) and a file
// that ended before the range (962).
int WebGetConnection_FilePump(WebGetConnection *connection, WebGetRequest *request, int first,
                              int32_t *code, int32_t *codeEx);
// The completion of a read (an I/O worker thread); context is the read record.
void WebGetConnection_OnFileRead(void *context, int64_t offset, void *buffer, uint32_t bytes,
                                 uint32_t error);
int WebGetConnection_IsFileOpen(WebGetConnection *connection);
// Closes the file; a read still in flight is let go (its bytes are dropped).
int WebGetConnection_CloseFile(WebGetConnection *connection);
// CloseFile, then frees the file and the read record (Uninit).
int WebGetConnection_ReleaseFile(WebGetConnection *connection);
int WebGetConnection_SetLogCallback(WebGetConnection *connection, void *context,
                                    ClassLogSink function);
int WebGetConnection_SetLogFlag(WebGetConnection *connection, int flag);
int WebGetConnection_GetLogFlag(WebGetConnection *connection, int *flag);
int WebGetConnection_SetPollCallback(WebGetConnection *connection, void *context,
                                     WebGetConnectionPollFunction function);
int WebGetConnection_SetCompletionCallback(WebGetConnection *connection, void *context,
                                           WebGetConnectionRequestFunction function);
int WebGetConnection_SetRedirectCallback(WebGetConnection *connection, void *context,
                                         WebGetConnectionRequestFunction function);
int WebGetConnection_GetMeter(WebGetConnection *connection, MeterRW **meter);
int WebGetConnection_Log(WebGetConnection *connection, const char *format, ...);

// ---- Request writing (webgetrequestwriter.cpp) ---------------------------------------------

// The phase handlers of MethodConnect, Request and PostBuffer. 0 after
// recording the failure in the request.
int WebGetConnection_WriteMethodConnect(WebGetConnection *connection, WebGetRequest *request,
                                        int entered);
int WebGetConnection_WriteRequest(WebGetConnection *connection, WebGetRequest *request,
                                  int entered);
int WebGetConnection_WritePostBuffer(WebGetConnection *connection, WebGetRequest *request,
                                     int entered);
// Copies the request's target (the path and query, "/" when empty, the whole
// URL for a proxy) into out with every byte up to 0x20 and 0x7F as "%XX".
// 0 when it does not fit.
int WebGetConnection_FormatTarget(const char *url, int absolute, int cutQuery, char *out,
                                  int size);

// ---- The request's side -----------------------------------------------------------------------

// Resets the connection's meters, copies the request's log flag, time-out,
// allow-proxy and report-errors settings and proxy onto the connection, then
// queues the request there.
int WebGetRequest_ApplyToConnection(WebGetConnection *connection, WebGetRequest *request);
// 1 while the request has file writes in flight.
int WebGetRequest_IsWritePending(WebGetConnection *connection, WebGetRequest *request);
