// WebGetConnection: carries WebGetRequests over one transport to one server.
// It keeps a queue of requests, takes them one at a time and drives each
// through the request phases (Lookup, Connect, Request, PostBuffer, Header,
// Body, Cleanup, Done), deciding when the socket is kept for the next request,
// when it is closed and with which result code a request fails. The request
// line and headers are written by webgetrequestwriter.cpp.
//
// Invariants: (1) a request is the current one, or queued, never both; each
// holds one reference taken by the connection. (2) a kept socket serves only
// the scheme it was opened for. (3) a failed step always ends its request
// with a nonzero code, and leaves the connection closed with empty buffers.
// (4) a reused connection that closes before the first byte of an answer gets
// one fresh try for GET, HEAD and OPTIONS without a body, never more.
//
// Threads: a connection belongs to its owner thread (its creator, or the
// thread in WebGetConnection_RunUntilComplete): polls, phases, the queue and
// the request fields are touched only there. The socket callbacks run on I/O
// worker threads and touch only the transport-side buffers (locked) before
// they schedule a poll; a host look-up runs on an I/O worker thread and
// touches only its record.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "core/net/webget.h"
#include "core/runtime/class.h"

struct AsyncSocket;
struct DupStream;
struct MeterRW;
struct TLS1;
struct WebGetAuth;
struct WebGetClientCert;
struct WebGetRequest;
struct WebGetLookup;

constexpr uint32_t kWebGetConnectionTag = 0x7e6b0f52;
constexpr uint32_t kWebGetLookupTag = 0x7e6b0f53;
constexpr int32_t kWebGetConnectionDefaultTimeout = 15;

struct WebGetCacheItem;
struct WebGetConnection;

// Poll: a poll is due. Completion: a request reached Done or ended for a
// redirect. Redirect: a 301, 302 or 307 was accepted by the request.
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
  int32_t postCursor;

  std::atomic<uint32_t> ownerThread;
  std::atomic<int32_t> running;  // RunUntilComplete pumps: polls only wake it
  int32_t allowProxy;
  int32_t proxyLoopback;
  int32_t allowAuthentication;
  int32_t keepAlive;
  int32_t viaProxy;
  int32_t tunnelNeeded;
  std::atomic<int32_t> tlsActive;
  int32_t tunnelEstablished;
  int32_t lastError;
  int32_t lastErrorEx;
  int32_t timeoutSeconds;
  int32_t reportErrors;
  char proxyOverride[512];
  char proxyInUse[512];  // the proxy (host:port) the remote address belongs to
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
int WebGetConnection_SetKeepAlive(WebGetConnection *connection, int flag);
int WebGetConnection_SetReportErrors(WebGetConnection *connection, int flag);
// Below 1: no time-out.
int WebGetConnection_SetTimeout(WebGetConnection *connection, int32_t seconds);
int WebGetConnection_GetTimeout(WebGetConnection *connection, int32_t *seconds);
int WebGetConnection_SetProxyOverride(WebGetConnection *connection, const char *proxy);
// The proxy for the next try ("host:port"): the override when one is set and
// proxies are allowed, else DIRECT (empty). Always 1.
int WebGetConnection_NextProxy(WebGetConnection *connection, char *out, int size);
// 1 when another proxy is left to try after a failure: never, while the
// only choice is the override.
int WebGetConnection_HasNextProxy(WebGetConnection *connection);
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
