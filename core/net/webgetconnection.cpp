#include "core/net/webgetconnection.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>

#include "core/formats/dictionary.h"
#include "core/net/asyncsocket.h"
#include "core/net/socket.h"
#include "core/net/challenge.h"
#include "core/net/url.h"
#include "core/net/webgetcache.h"
#include "core/net/webgetauth.h"
#include "core/net/webgetclientcert.h"
#include "core/net/webgetrequest.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/notification.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/dupstream.h"
#include "core/runtime/log.h"
#include "core/runtime/memstream.h"
#include "core/runtime/print.h"
#include "core/platform/meterrw.h"
#include "core/runtime/str.h"
#include "core/security/certstorei.h"
#include "core/security/tls1.h"

#define CONNECTION_CHECK(c) CLASS_CHECK((c), kWebGetConnectionTag)

// A host look-up in flight on the I/O worker. The connection and the running
// look-up hold one reference each; the owner pointer is cleared (under the
// lock) when the connection lets go, so a late completion schedules nothing.
struct WebGetLookup {
  IOWorkerRequest io;
  uint32_t classTag;
  std::atomic<int32_t> refs;
  std::mutex lock;
  WebGetConnection *owner;
  int32_t viaProxy;
  char url[kWebGetUrlBytes];
  SocketAddress address;
  int32_t error;
  std::atomic<int32_t> finished;
};

namespace {

constexpr const char *kSender = "WebGetConnection";

void lookupRelease(WebGetLookup **record) {
  WebGetLookup *l = *record;
  *record = nullptr;
  if (l == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(l->lock);
    l->owner = nullptr;
  }
  if (l->refs.fetch_sub(1) == 1) delete l;
}

int lookupDone(void *, IOWorkerRequest *io) {
  auto *l = reinterpret_cast<WebGetLookup *>(io);
  if (!Socket_ResolveUrl(&l->address, l->url)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Unable to get machine for %sURL '%s'\n",
              l->viaProxy ? "proxy " : "", UrlLoggable(l->url).text);
    l->error = kWebGetErrorDns;
  }
  l->finished.store(1);
  {
    std::lock_guard<std::mutex> hold(l->lock);
    if (l->owner != nullptr) WebGetConnection_SchedulePoll(l->owner);
  }
  if (l->refs.fetch_sub(1) == 1) delete l;
  return 1;
}

void pollEvent(void *context) { WebGetConnection_Poll(static_cast<WebGetConnection *>(context)); }

void timedPollEvent(uintptr_t eventId, void *) {
  WebGetConnection_Poll(reinterpret_cast<WebGetConnection *>(eventId));
}

// A waiting request is looked at again within a fraction of its time-out
// even when nothing arrives, so that silence ends it.
void postTimeoutCheck(WebGetConnection *c) {
  if (c->current == nullptr || c->timeoutSeconds < 1 || c->running.load() ||
      c->pollFunction != nullptr)
    return;
  EventQueue *queue = Thread_GetEventQueue(c->ownerThread.load());
  EventQueue_Post(queue, uintptr_t(c), nullptr, 0, timedPollEvent, nullptr, nullptr, KSRC,
                  Platform_GetTickSeconds() + 0.25);
  if (queue != nullptr) Class_ReleaseObject(&queue);
}

void cancelPolls(WebGetConnection *c) {
  uint32_t owner = c->ownerThread.load();
  if (owner != 0) EventQueue_CancelForThread(owner, uintptr_t(c));
}

int32_t inboundLength(DupStream *s) {
  int32_t n = 0;
  DupStream_GetInboundLength(s, &n);
  return n;
}

// Where received plain bytes wait: the session's decrypted data under TLS.
DupStream *receivedStream(WebGetConnection *c) {
  return c->tlsActive.load() ? Tls_GetTransportStream(c->tls) : c->transport;
}

// Moves received plain bytes to the HTTP-side inbound buffer. Under TLS the
// records that waited for room in the decrypted stream are deciphered
// first: once the peer has closed, no socket event comes to do it.
void moveReceived(WebGetConnection *c) {
  if (c->tlsActive.load()) Tls_ProcessWaitingInput(c->tls);
  DupStream_TransferInbound(c->http, receivedStream(c));
}

int32_t outboundLength(DupStream *s) {
  int32_t n = 0;
  DupStream_GetOutboundLength(s, &n);
  return n;
}

// What the socket may deliver now: the room of the first queue, within what
// kWebGetReceiveWindowBytes leaves beside the bytes already held. Under TLS
// the caller has deciphered the records that fit.
int32_t receiveSpace(WebGetConnection *c) {
  int32_t space = 0;
  if (c->tlsActive.load()) {
    Tls_GetReceiveSpace(c->tls, &space);
  } else {
    DupStream_GetInboundSpace(c->transport, &space);
  }
  int32_t held = inboundLength(c->http) + inboundLength(receivedStream(c));
  int32_t window = c->receiveWindow.load();
  int32_t room = held < window ? window - held : 0;
  return space < room ? space : room;
}

// ---- Socket callbacks (I/O worker threads) ----------------------------------------------

int32_t hookReadSize(AsyncSocket *, void *context) {
  auto *c = static_cast<WebGetConnection *>(context);
  // Every complete record is deciphered first, to make room for the next.
  if (c->tlsActive.load()) Tls_ProcessInput(c->tls);
  return receiveSpace(c);
}

void hookRead(AsyncSocket *, void *context, const uint8_t *data, int32_t count) {
  auto *c = static_cast<WebGetConnection *>(context);
  if (c->tlsActive.load()) {
    int32_t written = 0;
    Tls_WriteRecordInput(c->tls, data, count, &written);
    Tls_ProcessInput(c->tls);
  } else {
    DupStream_WriteInbound(c->transport, data, count);
  }
  WebGetConnection_SchedulePoll(c);
}

// Received bytes go straight into room at the end of the transport queue
// (under its lock from the reserve to the commit), or under TLS of the
// session's record buffer.
void hookReadInto(AsyncSocket *, void *context, int32_t size, AsyncSocketReceive receive,
                  void *receiver) {
  auto *c = static_cast<WebGetConnection *>(context);
  if (c->tlsActive.load()) {
    if (Tls_ReceiveRecordInput(c->tls, size, receive, receiver) > 0)
      WebGetConnection_SchedulePoll(c);
    return;
  }
  MemoryStream *queue = nullptr;
  uint8_t *room = nullptr;
  DupStream_GetInboundStream(c->transport, &queue);
  DupStream_LockInbound(c->transport);
  int32_t got = 0;
  if (MemoryStream_ReserveAppend(queue, size, &room)) {
    got = receive(receiver, room, size);
    MemoryStream_CommitAppend(queue, &room, got);
  }
  DupStream_UnlockInbound(c->transport);
  if (got > 0) WebGetConnection_SchedulePoll(c);
}

int32_t hookWriteSize(AsyncSocket *, void *context) {
  auto *c = static_cast<WebGetConnection *>(context);
  if (!c->tlsActive.load()) return outboundLength(c->transport);
  if (Tls_IsHandshakeDone(c->tls))
    while (Tls_EncryptFromStream(c->tls, c->transport)) {
    }
  int32_t length = 0;
  Tls_GetOutboundLength(c->tls, &length);
  return length;
}

int32_t hookWrite(AsyncSocket *, void *context, uint8_t *buffer, int32_t maximum) {
  auto *c = static_cast<WebGetConnection *>(context);
  int32_t read = 0;
  DupStream *from = c->tlsActive.load() ? Tls_GetTransportStream(c->tls) : c->transport;
  DupStream_ReadOutbound(from, buffer, maximum, &read);
  WebGetConnection_SchedulePoll(c);
  return read;
}

void hookClose(AsyncSocket *, void *context) {
  WebGetConnection_SchedulePoll(static_cast<WebGetConnection *>(context));
}

void hookConnect(AsyncSocket *, void *context, int) {
  WebGetConnection_SchedulePoll(static_cast<WebGetConnection *>(context));
}

void hookSocket(WebGetConnection *c, bool on) {
  AsyncSocket *s = c->socket;
  void *context = on ? c : nullptr;
  AsyncSocket_SetReadSizeCallback(s, context, on ? hookReadSize : nullptr);
  AsyncSocket_SetReadCallback(s, context, on ? hookRead : nullptr);
  AsyncSocket_SetReadIntoCallback(s, context, on ? hookReadInto : nullptr);
  AsyncSocket_SetWriteSizeCallback(s, context, on ? hookWriteSize : nullptr);
  AsyncSocket_SetWriteCallback(s, context, on ? hookWrite : nullptr);
  AsyncSocket_SetCloseCallback(s, context, on ? hookClose : nullptr);
  AsyncSocket_SetConnectCallback(s, context, on ? hookConnect : nullptr);
}

// ---- Queue ------------------------------------------------------------------------------------

int queueAdd(WebGetConnection *c, WebGetRequest *r, bool atFront, bool start,
             const std::string *headers) {
  if (start) {
    bool queued = false;
    for (const WebGetConnectionNode &n : c->queue) queued = queued || n.request == r;
    if (r == c->current || r == c->waiting || queued)
      Core_Abort(KSRC,
                 "Assertion failed (Request != Current && Request != Waiting && !Queued)\n"
                 "Cannot add in-use request in queue");
  }
  if (c->forcedLog) WebGetRequest_SetLogFlag(r, 1);
  WebGetRequest_SetPhase(r, kWebGetPhaseIdle);
  WebGetConnectionNode node{static_cast<WebGetRequest *>(Class_Retain(r)),
                            headers ? *headers : std::string(r->requestHeaders)};
  if (atFront) c->queue.push_front(std::move(node));
  else c->queue.push_back(std::move(node));
  return WebGetConnection_SchedulePoll(c);
}

void takeNext(WebGetConnection *c) {
  while (!c->queue.empty()) {
    WebGetConnectionNode node = std::move(c->queue.front());
    c->queue.pop_front();
    WebGetRequest *r = node.request;
    if (WebGetRequest_IsOnlyReference(r)) {
      Class_ReleaseObject(&r);
      continue;
    }
    c->current = r;
    c->currentHeaders = std::move(node.callerHeaders);
    WebGetRequest_SetConnection(r, c);
    if (WebGetRequest_RunStartCallback(r)) {
      WebGetRequest_SetPhase(r, kWebGetPhaseLookup);
      WebGetConnection_SchedulePoll(c);
    } else {
      WebGetRequest_SetPhase(r, kWebGetPhaseStarting);
    }
    return;
  }
}

// ---- Helpers of the phases ------------------------------------------------------------------

int fail(WebGetRequest *r, int32_t code, int32_t codeEx) {
  WebGetRequest_SetError(r, code, codeEx);
  return 0;
}

void touch(WebGetConnection *c) { c->lastActivity = Platform_GetTickSeconds(); }

// The server's address as a ClientCert answer names it: "ip:port".
void certAddress(WebGetConnection *c, char *out, int size) {
  if (c->remotePort != 0) Str_Printf(out, size, "%ipv4:%d", &c->remoteAddress, c->remotePort);
  else Str_Printf(out, size, "%ipv4", &c->remoteAddress);
}

// A session that answered the server's certificate request with none: r's
// cause names the server, should the server refuse it.
void noteDeclined(WebGetConnection *c, WebGetRequest *r) {
  if (c->tlsActive.load() && Tls_IsCertificateDeclined(c->tls))
    certAddress(c, r->cause.declinedCertificate, int(sizeof r->cause.declinedCertificate));
}

// Fails r with 971 and the session's alert, and keeps why in its cause.
int failTls(WebGetConnection *c, WebGetRequest *r, int32_t alert) {
  TlsFailure failure{};
  if (!Tls_GetFailure(c->tls, &failure) || failure.alert != alert)
    failure = TlsFailure{alert, TlsCause::Protocol, 0};
  r->cause.hasTls = 1;
  r->cause.tls = failure;
  noteDeclined(c, r);
  char words[256];
  Tls_DescribeFailure(&failure, words, int32_t(sizeof words));
  WebGetConnection_Log(c, "TLS failure (%d, %s): %s", alert,
                       failure.received ? "received" : "raised here", words);
  return fail(r, kWebGetErrorTls1, alert);
}

// Keeps in r's cause how it failed, naming the proxy when the failure was
// the proxy's: a transport failure toward it, or its refusal of a tunnel
// (status as code).
void noteProxyFailure(WebGetConnection *c, WebGetRequest *r, int32_t code, int32_t codeEx) {
  WebGetProxyFailure note{};
  note.code = code;
  note.codeEx = codeEx;
  bool transport = code == kWebGetErrorConnect || code == kWebGetErrorDns ||
                   code == kWebGetErrorSocket || code == kWebGetErrorTimeout ||
                   code == kWebGetErrorUnderflow || code == kWebGetErrorHeaderIncomplete ||
                   code == kWebGetErrorBind;
  note.refused = c->viaProxy && c->tunnelNeeded && !c->tunnelEstablished && code >= 100 &&
                 code < 600 && code == r->statusCode;
  if (c->viaProxy && (transport || note.refused) &&
      !Url_GetHostWithPort(c->proxyInUse, note.proxy, int(sizeof note.proxy)))
    note.proxy[0] = '\0';
  r->cause.proxy = note;
}

bool isHttps(const char *url) { return Url_HasScheme(url, "https") != 0; }

void closeTransport(WebGetConnection *c) {
  int expected = 1;
  c->tlsActive.compare_exchange_strong(expected, 0);
  AsyncSocket_Close(c->socket);
  Tls_Reset(c->tls);
  Tls_ClearError(c->tls);
  DupStream_Empty(Tls_GetTransportStream(c->tls));
  AsyncSocket_ClearError(c->socket);
  DupStream_Empty(c->transport);
  DupStream_Empty(c->http);
  WebGetConnection_CloseFile(c);
  c->socketScheme[0] = '\0';
  c->answersOnSocket = 0;
  c->tunnelEstablished = 0;
}

void dropCacheItem(WebGetConnection *c) {
  WebGetCacheItem_Drop(&c->cacheItem);
  c->cacheAnswering = 0;
  c->cacheOffset = 0;
}

bool logOn(WebGetConnection *c) { return c->forcedLog || Class_LogEnabled(&c->log, LOG_DEBUG); }

// A fresh connection for a request that a kept one lost before the first
// byte of its answer: once, and only for methods that may be sent twice.
bool retryOnFreshConnection(WebGetConnection *c, WebGetRequest *r) {
  int32_t method = r->method;
  if (c->answersOnSocket == 0 || c->retried == r || r->postData != nullptr ||
      (method != kWebGetMethodGet && method != kWebGetMethodHead &&
       method != kWebGetMethodOptions) ||
      inboundLength(c->http) != 0)
    return false;
  Log_Print(LOG_INFO, KSRC, 0, "Kept connection closed before the answer; sending '%s' again\n",
            UrlLoggable(r->url).text);
  c->retried = r;
  WebGetConnection_Reset(c, 0, 0, 1);
  return true;
}

// ---- Phases ---------------------------------------------------------------------------------------

// The proxy for this try of r into proxy (empty: direct; no list at all is
// direct too). 1 with the choice; -1 while the resolver is still working;
// 0 after failing r, once every entry of the URL's list has failed: the
// resolver is then asked to look for proxies again.
int nextProxy(WebGetConnection *c, WebGetRequest *r, char *proxy, int size) {
  int pending = 0;
  if (WebGetConnection_NextProxy(c, r->url, proxy, size, &pending)) return 1;
  proxy[0] = '\0';
  if (pending) return -1;
  if (!WebGetConnection_ClearProxyList(c)) return 1;
  WebGetProxyRestartHook restart = nullptr;
  WebGetConnection_GetProxyHooks(nullptr, &restart);
  if (restart != nullptr) restart();
  WebGetConnection_Log(c, "Proxy list exhausted for '%s'", UrlLoggable(r->url).text);
  if (c->lastError != 0) return fail(r, c->lastError, c->lastErrorEx);
  return fail(r, kWebGetErrorConnect, 0);
}

// A failure before anything reached the server (or a socket error before
// the answer) with another proxy entry left is not the request's end: it
// goes back to the queue and its next Lookup takes the next entry.
bool retryNextProxy(WebGetConnection *c, WebGetRequest *r, int32_t phase) {
  int32_t code = 0, codeEx = 0;
  WebGetRequest_GetError(r, &code, &codeEx);
  bool early = phase < kWebGetPhaseMethodConnect ||
               (phase < kWebGetPhaseAuthenticate && code == kWebGetErrorSocket);
  // A host refused before any entry was chosen is refused through all of
  // them: trying on would only go round.
  if (!early || code == kWebGetErrorValidation || c->proxyCancelled || !WebGetConnection_HasNextProxy(c)) return false;
  WebGetConnection_Log(c, "Trying the next proxy after (%d) (%d)", code, codeEx);
  WebGetRequest_SetError(r, 0, 0);
  touch(c);
  WebGetConnection_Reset(c, 0, 0, 1);
  return true;
}

int handleLookup(WebGetConnection *c, WebGetRequest *r, int entered) {
  if (!entered && c->lookup != nullptr) {
    WebGetLookup *l = c->lookup;
    if (!l->finished.load()) return 1;
    if (l->error != 0) {
      int32_t error = l->error;
      lookupRelease(&c->lookup);
      return fail(r, error, 0);
    }
    if (c->keepAlive && AsyncSocket_IsConnected(c->socket) &&
        (l->address.address != c->remoteAddress || l->address.port != c->remotePort)) {
      WebGetConnection_Log(c, "URL does not resolve to current machine '%s' (%ipv4:%d) (%ipv4:%d)",
                           UrlLoggable(r->url).text, &l->address.address, l->address.port,
                           &c->remoteAddress, c->remotePort);
      closeTransport(c);
    }
    c->remoteAddress = l->address.address;
    c->remotePort = l->address.port;
    lookupRelease(&c->lookup);
    WebGetConnection_SetPhase(c, r, kWebGetPhaseConnect);
    return 1;
  }
  lookupRelease(&c->lookup);
  c->tunnelNeeded = 0;
  c->headerScan = 0;
  const char *url = r->url;
  if (Url_HasScheme(url, "file")) {
    c->lastUrl[0] = '\0';
    WebGetAuth_Reset(c->serverAuth);
    WebGetAuth_Reset(c->proxyAuth);
    WebGetClientCert_Reset(c->clientCert);
    WebGetConnection_SetPhase(c, r, kWebGetPhaseConnect);
    return 1;
  }
  // An item abandoned under this request (a challenge page, an answer not
  // worth keeping) is let go; the resend looks the URL up again.
  if (c->cacheItem != nullptr && !WebGetCacheItem_IsUsable(c->cacheItem))
    WebGetCacheItem_Drop(&c->cacheItem);
  WebGetCacheStore *store = WebGetRequest_GetCacheStore(r);
  if (store != nullptr && c->cacheItem == nullptr) {
    int wait = 0;
    WebGetCacheStore_Lookup(store, url, r->method, &c->cacheItem, &wait);
    if (wait) return 1;  // another request is still filling it
    WebGetCacheItem *item = c->cacheItem;
    if (item != nullptr && WebGetCacheItem_IsComplete(item) && WebGetCacheItem_IsValid(item)) {
      if (!WebGetCacheItem_IsMarkedForRevalidation(item)) {
        c->cacheAnswering = 1;
        c->cacheOffset = 0;
        touch(c);
        WebGetConnection_SetPhase(c, r, kWebGetPhaseHeader);
        return 1;
      }
      WebGetCacheItem_SetState(item, 1);
    }
  }
  if (!c->anyHost && !WebGet_Authorize(url)) return fail(r, kWebGetErrorValidation, 0);
  char proxy[kWebGetProxyUrlBytes] = "";
  if (c->allowProxy) {
    int chosen = nextProxy(c, r, proxy, int(sizeof proxy));
    if (chosen <= 0) return chosen == 0 ? 0 : 1;
  }
  int32_t viaProxy = proxy[0] != '\0' ? 1 : 0;
  // Another proxy is another machine, even for the same URL.
  bool known = c->remotePort != 0 && viaProxy == c->viaProxy &&
               (!viaProxy || Str_CompareNoCase(proxy, c->proxyInUse) == 0);
  if (known && Str_CompareNoCase(url, c->lastUrl) == 0) {
    WebGetConnection_SetPhase(c, r, kWebGetPhaseConnect);
    return 1;
  }
  char previous[kWebGetUrlBytes];
  Str_Copy(previous, c->lastUrl, int(sizeof previous));
  Str_Copy(c->lastUrl, url, int(sizeof c->lastUrl));
  // Answers given for the previous target are not sent to this one.
  WebGetAuth_Reset(c->serverAuth);
  WebGetAuth_Reset(c->proxyAuth);
  WebGetClientCert_Reset(c->clientCert);
  char a[kWebGetUrlBytes], b[kWebGetUrlBytes], schemeA[16], schemeB[16];
  bool sameHost = known && !viaProxy && previous[0] != '\0' &&
                  Url_GetHostWithPort(url, a, int(sizeof a)) &&
                  Url_GetHostWithPort(previous, b, int(sizeof b)) && Str_CompareNoCase(a, b) == 0 &&
                  Url_GetScheme(url, schemeA, int(sizeof schemeA)) &&
                  Url_GetScheme(previous, schemeB, int(sizeof schemeB)) &&
                  Str_CompareNoCase(schemeA, schemeB) == 0;
  if (sameHost) {
    WebGetConnection_SetPhase(c, r, kWebGetPhaseConnect);
    return 1;
  }
  c->viaProxy = viaProxy;
  Str_Copy(c->proxyInUse, proxy, int(sizeof c->proxyInUse));
  auto *l = new WebGetLookup();
  l->classTag = kWebGetLookupTag;
  l->refs.store(2);
  l->owner = c;
  l->viaProxy = viaProxy;
  Str_Copy(l->url, viaProxy ? proxy : url, int(sizeof l->url));
  l->io.routine = lookupDone;
  c->lookup = l;
  IOWorker_Post(l, &l->io);
  return 1;
}

int handleConnect(WebGetConnection *c, WebGetRequest *r, int entered) {
  const char *url = r->url;
  if (Url_HasScheme(url, "file")) {
    // The pseudo server answers in the Header phase; no socket serves it.
    touch(c);
    closeTransport(c);
    WebGetRequest_ResetResponse(r);
    WebGetConnection_SetPhase(c, r, kWebGetPhaseHeader);
    return 1;
  }
  char scheme[16] = "";
  Url_GetScheme(url, scheme, int(sizeof scheme));
  if (entered) {
    // A kept socket serves the next request only when its answer allowed it
    // and the scheme is the one the socket was opened for.
    if (AsyncSocket_IsConnected(c->socket) && !c->tunnelEstablished &&
        (!r->keepAlive || Str_CompareNoCase(scheme, c->socketScheme) != 0))
      closeTransport(c);
    if (!AsyncSocket_IsConnected(c->socket)) {
      if (AsyncSocket_IsOpen(c->socket)) {
        WebGetRequest_SetPhaseChangedFlag(r, 1);
        return 1;
      }
      closeTransport(c);
      WebGetRequest_ResetResponse(r);
      WebGetRequest_SetPhase(r, kWebGetPhaseConnect);
      WebGetRequest_SetPhaseChangedFlag(r, 0);
      touch(c);
      WebGetConnection_Log(c, "Connecting to %ipv4:%d", &c->remoteAddress, c->remotePort);
      uint32_t any = 0;
      if (!AsyncSocket_Open(c->socket) || !AsyncSocket_Bind(c->socket, 0, 0)) {
        WebGetConnection_Log(c, "Failed on bind callback (%ipv4:0)", &any);
        AsyncSocket_Close(c->socket);
        return fail(r, kWebGetErrorBind, AsyncSocket_GetError(c->socket));
      }
      if (!AsyncSocket_Connect(c->socket, c->remoteAddress, c->remotePort)) {
        WebGetConnection_Log(c, "Failed on connect for (%ipv4:%d)", &c->remoteAddress,
                             c->remotePort);
        int32_t error = AsyncSocket_GetError(c->socket);
        AsyncSocket_Close(c->socket);
        return fail(r, kWebGetErrorConnect, error);
      }
      Str_Copy(c->socketScheme, scheme, int(sizeof c->socketScheme));
      c->tlsActive.store(isHttps(url) && !c->viaProxy ? 1 : 0);
      return 1;
    }
  }
  if (!AsyncSocket_IsConnected(c->socket)) return 1;
  touch(c);
  // Through a proxy, https goes through a tunnel, and TLS starts inside it.
  if (isHttps(url) && c->viaProxy) {
    c->tunnelNeeded = c->tunnelEstablished ? 0 : 1;
    if (c->tunnelEstablished && !c->tlsActive.load()) c->tlsActive.store(1);
  }
  if (c->tlsActive.load()) WebGetConnection_SetPhase(c, r, kWebGetPhaseHandshake);
  else if (c->tunnelNeeded && !c->tunnelEstablished)
    WebGetConnection_SetPhase(c, r, kWebGetPhaseMethodConnect);
  else WebGetConnection_SetPhase(c, r, kWebGetPhaseRequest);
  return 1;
}

// The end of the header: the earlier of "\r\n\r\n" and "\n\n", as the
// parser reads it. -1 when neither is there yet.
int findHeaderEnd(const char *data, int length) {
  for (int i = 0; i + 1 < length; i++) {
    if (data[i] != '\n') continue;
    if (data[i + 1] == '\n') return i + 2;
    if (i + 2 < length && data[i + 1] == '\r' && data[i + 2] == '\n') return i + 3;
  }
  return -1;
}

// The status code of a status line "HTTP/x.y NNN ...", 0 when there is none.
int32_t statusOf(const char *block, int length) {
  int i = 0;
  while (i < length && block[i] != ' ') i++;
  while (i < length && block[i] == ' ') i++;
  int32_t status = 0;
  int digits = 0;
  for (; i < length && digits < 3 && block[i] >= '0' && block[i] <= '9'; i++, digits++)
    status = status * 10 + (block[i] - '0');
  return digits == 3 ? status : 0;
}

// The stored answer of the cache item, when the request is answered from it.
MemoryStream *cacheStream(WebGetConnection *c) {
  MemoryStream *stored = nullptr;
  if (c->cacheItem != nullptr) WebGetCacheItem_GetBody(c->cacheItem, &stored);
  return stored;
}

int handleHeader(WebGetConnection *c, WebGetRequest *r, int entered) {
  if (entered && !c->cacheAnswering && Url_HasScheme(r->url, "file")) {
    int32_t code = 0, codeEx = 0;
    if (!WebGetConnection_FileServe(c, r, entered, &code, &codeEx)) return fail(r, code, codeEx);
    if (WebGetRequest_GetPhaseChangedFlag(r)) return 1;  // the header did not fit yet
  }
  // Closed is read before the last move of received bytes: whatever the
  // socket delivered before it closed is then in the buffer.
  bool closed = !AsyncSocket_IsConnected(c->socket);
  moveReceived(c);
  char block[kWebGetHeaderLimitBytes + 1];
  int32_t got = 0;
  if (c->cacheAnswering) {
    MemoryStream *stored = cacheStream(c);
    if (stored != nullptr) MemoryStream_ReadAt(stored, block, 0, kWebGetHeaderLimitBytes, &got);
    int end = findHeaderEnd(block, got);
    int headerLength = 0;
    if (end < 0) {
      // A complete item without a whole header was never stored by us.
      WebGetCacheItem_MarkInvalid(c->cacheItem);
      WebGetCacheItem_SetState(c->cacheItem, 2);
      return fail(r, kWebGetErrorHeaderCorrupt, 0);
    }
    if (!WebGetRequest_ParseResponseHeader(r, 1, block, end, &headerLength)) return 0;
    c->cacheOffset = headerLength;
    touch(c);
    WebGetConnection_SetPhase(c, r, kWebGetPhaseBody);
    return 1;
  }
  if (entered) c->interimAnswers = 0;
  MemoryStream *in = nullptr;
  DupStream_GetInboundStream(c->http, &in);
  int end = -1;
  for (;;) {
    DupStream_LockInbound(c->http);
    MemoryStream_ReadAt(in, block, 0, kWebGetHeaderLimitBytes, &got);
    DupStream_UnlockInbound(c->http);
    end = findHeaderEnd(block, got);
    int32_t status = end >= 0 ? statusOf(block, end) : 0;
    if (status < 100 || status > 199) break;
    // An interim answer (100 Continue, 102, 103) is read and dropped: the
    // final answer follows it on the same connection.
    if (++c->interimAnswers > kWebGetInterimAnswerLimit) {
      WebGetConnection_Log(c, "More than %d interim answers", kWebGetInterimAnswerLimit);
      return fail(r, kWebGetErrorHeaderCorrupt, 0);
    }
    int32_t read = 0;
    DupStream_ReadInbound(c->http, nullptr, end, &read);
    touch(c);
  }
  if (end >= 0 && c->cacheItem != nullptr && WebGetCacheItem_IsStateOne(c->cacheItem)) {
    int32_t read = 0;
    if (statusOf(block, end) == 304) {
      // Unchanged: the 304 is spent and the stored answer is read instead.
      DupStream_ReadInbound(c->http, nullptr, end, &read);
      WebGetCacheItem_SetState(c->cacheItem, 0);
      c->cacheAnswering = 1;
      c->cacheOffset = 0;
      return handleHeader(c, r, 0);
    }
    // Changed: the stored answer is stale for everyone, and this answer is
    // read as it stands.
    WebGetCacheItem_MarkInvalid(c->cacheItem);
    WebGetCacheItem_SetState(c->cacheItem, 2);
    WebGetCacheItem_Drop(&c->cacheItem);
  }
  if (end < 0) {
    if (got >= kWebGetHeaderLimitBytes) return fail(r, kWebGetErrorHeaderLimit, 0);
    if (!closed) return 1;
    if (retryOnFreshConnection(c, r)) return 1;
    WebGetConnection_Log(c, "Connection closed before the header ended [%d bytes]", got);
    return fail(r, kWebGetErrorHeaderIncomplete, 0);
  }
  int headerLength = 0;
  if (!WebGetRequest_ParseResponseHeader(r, 1, block, end, &headerLength)) {
    int32_t code = 0, codeEx = 0;
    WebGetRequest_GetError(r, &code, &codeEx);
    char shown[kWebGetHeaderBlockBytes];
    WebGet_MaskSecretHeaders(block, end, shown, int(sizeof shown));
    WebGetConnection_Log(c, "Response header refused (%d): %s", code, shown);
    return 0;
  }
  if (logOn(c)) {
    WebGetConnection_Log(c, "---- [0x%p] Header In Begin --", r);
    char shown[kWebGetHeaderBlockBytes];
    WebGet_MaskSecretHeaders(block, headerLength, shown, int(sizeof shown));
    WebGetConnection_Log(c, "%s", shown);
    WebGetConnection_Log(c, "---- [0x%p] Header In End ----", r);
  }
  // A server that asked for a certificate may refuse the request instead of
  // the handshake (nginx answers 400).
  if (r->statusCode >= 400 && r->statusCode <= 499) noteDeclined(c, r);
  if (c->cacheItem != nullptr) {
    if (r->statusCode == 407) {
      WebGetCacheItem_Drop(&c->cacheItem);
    } else {
      WebGetCacheItem *item = c->cacheItem;
      WebGetCacheItem_StoreResponse(item, r->statusCode, r->cacheDirective, r->lastModified > 0,
                                    WebGetRequest_GetMaxAge(r));
      WebGetCacheItem_SetLastModified(item, r->lastModified);
      int64_t written = 0;
      if (WebGetCacheItem_IsValid(item) && WebGetCacheItem_IsUsable(item))
        WebGetCacheItem_AppendBody(item, block, headerLength, &written);
    }
  }
  int32_t read = 0;
  DupStream_ReadInbound(c->http, nullptr, headerLength, &read);
  touch(c);
  WebGetConnection_SetPhase(c, r, kWebGetPhaseBody);
  return 1;
}

int32_t effectiveMethod(WebGetConnection *c, WebGetRequest *r) {
  return c->tunnelNeeded && !c->tunnelEstablished ? int32_t(kWebGetMethodConnect) : r->method;
}

// Hands the received body bytes to the request's decoders and sinks.
// The request's error after its decoders refused bytes.
int decoderFailed(WebGetRequest *r) {
  int32_t code = 0, codeEx = 0;
  WebGetRequest_GetError(r, &code, &codeEx);
  if (code == 0) return fail(r, kWebGetErrorUserAbort, 0);
  return 0;
}

// Hands the stored answer's body from the read position on to the request.
int transferCachedBody(WebGetConnection *c, WebGetRequest *r) {
  MemoryStream *stored = cacheStream(c);
  int32_t length = stored != nullptr ? MemoryStream_GetLength(stored) : 0;
  if (length <= c->cacheOffset) return 1;
  uint8_t *data = nullptr;
  int64_t consumed = 0;
  int ok = 1;
  if (MemoryStream_GetBuffer(stored, 0, &data)) {
    ok = WebGetRequest_ProcessBody(r, data + c->cacheOffset, length - c->cacheOffset, &consumed);
    MemoryStream_ReleaseBuffer(stored, &data);
  }
  if (consumed > 0) {
    c->cacheOffset += int32_t(consumed);
    touch(c);
  }
  return ok ? 1 : decoderFailed(r);
}

// The item being filled by this answer, when it is still worth filling.
WebGetCacheItem *fillingItem(WebGetConnection *c) {
  WebGetCacheItem *item = c->cacheItem;
  if (item == nullptr || c->cacheAnswering || !WebGetCacheItem_IsValid(item) ||
      !WebGetCacheItem_IsUsable(item))
    return nullptr;
  return item;
}

int transferBody(WebGetConnection *c, WebGetRequest *r) {
  if (c->cacheAnswering) return transferCachedBody(c, r);
  MemoryStream *in = nullptr;
  DupStream_GetInboundStream(c->http, &in);
  DupStream_LockInbound(c->http);
  int32_t length = MemoryStream_GetLength(in);
  int ok = 1;
  if (length > 0) {
    uint8_t *data = nullptr;
    int64_t consumed = 0;
    if (MemoryStream_GetBuffer(in, 0, &data)) {
      ok = WebGetRequest_ProcessBody(r, data, length, &consumed);
      int64_t written = 0;
      if (consumed > 0 && fillingItem(c) != nullptr)
        WebGetCacheItem_AppendBody(c->cacheItem, data, consumed, &written);
      MemoryStream_ReleaseBuffer(in, &data);
    }
    if (consumed > 0) {
      MemoryStream_Discard(in, int32_t(consumed));
      touch(c);
    }
  }
  DupStream_UnlockInbound(c->http);
  return ok ? 1 : decoderFailed(r);
}

int endBody(WebGetConnection *c, WebGetRequest *r, int32_t next) {
  bool silent = next == kWebGetPhaseAuthenticate || next == kWebGetPhaseRedirect;
  if (next == kWebGetPhaseRedirect && !c->cacheAnswering) r->redirectBytes += r->bodyBytesConsumed;
  if (!WebGetRequest_EndBody(r, silent ? 1 : 0)) return 0;
  // A redirect's or a challenge's page is an answer on the socket as well:
  // a request the kept socket loses next is sent again on a fresh one.
  if (silent) c->answersOnSocket++;
  if (fillingItem(c) != nullptr && next == kWebGetPhaseCleanup)
    WebGetCacheItem_Commit(c->cacheItem);
  WebGetConnection_SetPhase(c, r, next);
  return 1;
}

// A refusal: the client certificate leaves the session, and the broker
// forgets the certificate and credentials it gave for this server, so that
// the next request asks the user again.
void forgetAnswers(WebGetConnection *c) {
  Tls_SetClientCertificate(c->tls, nullptr, 0, nullptr);
  c->certLoaded = 0;
  if (!Challenge_IsRunning()) return;
  WebGetClientCert_ReportFailure(c->clientCert);
  WebGetAuth_ReportFailure(c->serverAuth);
  WebGetAuth_ReportFailure(c->proxyAuth);
}

// The caller's own request lines go with every hop of a redirect; those
// that speak for the first server (its credentials, its cookies) go to
// nothing but its scheme, host and port, and a server's answer to a
// challenge stays with the server that asked.
void keepCallerHeaders(WebGetConnection *c, WebGetRequest *r, const char *from) {
  char block[kWebGetHeaderBlockBytes];
  Str_Copy(block, c->currentHeaders.c_str(), int(sizeof block));
  char was[kWebGetUrlBytes], now[kWebGetUrlBytes];
  bool same = Url_HasScheme(from, "https") == Url_HasScheme(r->url, "https") &&
              Url_GetHostWithPort(from, was, int(sizeof was)) &&
              Url_GetHostWithPort(r->url, now, int(sizeof now)) &&
              Str_CompareNoCase(was, now) == 0;
  if (!same) {
    for (const char *name : {"Authorization", "Cookie"}) WebGet_RemoveHeader(block, name);
    WebGetAuth_Reset(c->serverAuth);
  }
  c->currentHeaders = block;
  Str_Copy(r->requestHeaders, block, int(sizeof r->requestHeaders));
}

int handleBody(WebGetConnection *c, WebGetRequest *r, int entered) {
  if (entered) {
    c->bodyWindowStart = Platform_GetTickSeconds();
    c->bodyWindowBytes = r->bodyBytesConsumed;
  }
  int32_t method = effectiveMethod(c, r);
  int32_t status = r->statusCode;
  int32_t next = kWebGetPhaseCleanup;
  // A challenge's own page is read and dropped, so that the answer to the
  // next send starts the kept connection's next bytes.
  bool challenge = status == 401 || status == 407;
  if (challenge) next = kWebGetPhaseAuthenticate;
  // A redirect's page, like a challenge's, is no answer to the request: its
  // owner's body hooks never see it.
  bool redirect = WebGetRequest_IsRedirectStatus(status) && method != kWebGetMethodConnect;
  if (redirect) {
    if (entered) {
      char from[kWebGetUrlBytes];
      Str_Copy(from, r->url, int(sizeof from));
      if (!WebGetRequest_FollowRedirect(r)) return 0;
      keepCallerHeaders(c, r, from);
      if (c->redirectFunction) c->redirectFunction(c, c->redirectContext, r);
      if (!c->keepAlive || !r->keepAlive) {
        WebGetConnection_Reset(c, 0, 1, c->redirectFunction ? 0 : 1);
        return 1;
      }
    }
    next = kWebGetPhaseRedirect;
  }
  if (method == kWebGetMethodConnect && status >= 200 && status <= 299) {
    c->tunnelEstablished = 1;
    WebGetConnection_SetPhase(c, r, kWebGetPhaseConnect);
    return 1;
  }
  bool closed = !AsyncSocket_IsConnected(c->socket) && !WebGetConnection_IsFileOpen(c);
  // A socket that failed is closed: its error is the answer's end only when
  // the buffered bytes do not complete it.
  int32_t socketError = closed && !c->cacheAnswering ? AsyncSocket_GetError(c->socket) : 0;
  if (entered && status == 403) forgetAnswers(c);
  // A tunnel refused ends the request with the proxy's status, which the
  // caller's hooks may only find fault with after the request is done.
  if (entered && method == kWebGetMethodConnect && !challenge)
    noteProxyFailure(c, r, status, 0);
  if (entered) {
    if (!WebGetRequest_BeginBody(r, challenge || redirect ? 1 : 0)) return 0;
    if (method == kWebGetMethodHead || status == 304 || status == 204 ||
        (r->hasContentLength && r->contentLength == 0) ||
        (method == kWebGetMethodConnect && !r->hasContentLength))
      return endBody(c, r, next);
  }
  // Once the peer has closed, no socket event brings the bytes still on
  // their way through the buffers: they are all handed over here, round by
  // round, before the length is judged.
  for (;;) {
    if (WebGetRequest_IsWritePending(c, r)) return 1;
    moveReceived(c);
    uint64_t before = r->bodyBytesConsumed;
    if (!transferBody(c, r)) return 0;
    if (!closed || c->cacheAnswering || r->bodyBytesConsumed == before) break;
  }
  if (WebGetConnection_IsFileOpen(c)) {
    int32_t code = 0, codeEx = 0;
    if (!WebGetConnection_FilePump(c, r, entered, &code, &codeEx)) return fail(r, code, codeEx);
  }
  if (WebGetRequest_IsWritePending(c, r)) return 1;
  int64_t received = int64_t(r->bodyBytesConsumed);
  // A redirect's page is read up to its bound, under the body's deadlines
  // like any page; past it the connection goes and the next hop is sent on
  // another, as after an answer that closes.
  bool whole = r->hasContentLength ? received >= r->contentLength
                                   : WebGetRequest_IsChunkedComplete(r) != 0;
  if (redirect && !whole && received >= kWebGetRedirectPageBytes) {
    WebGetConnection_Log(c, "Redirect page cut at %I64d bytes", received);
    if (!c->cacheAnswering) r->redirectBytes += r->bodyBytesConsumed;
    WebGetConnection_Reset(c, 0, 1, c->redirectFunction ? 0 : 1);
    return 1;
  }
  // Closed, the answer is judged only when no buffer holds a byte of it.
  bool pending =
      !closed || inboundLength(c->http) > 0 || inboundLength(receivedStream(c)) > 0;
  if (c->cacheAnswering) {
    MemoryStream *stored = cacheStream(c);
    pending = stored != nullptr && c->cacheOffset < MemoryStream_GetLength(stored);
  }
  if (r->hasContentLength) {
    if (received == r->contentLength) {
      // The answer is complete; bytes behind it belong to no request.
      if (!c->cacheAnswering && inboundLength(c->http) > 0) {
        WebGetConnection_Log(c, "Body exceeded content length [%I64d/%I64d]",
                             received + inboundLength(c->http), r->contentLength);
        WebGetRequest_EndBody(r, 0);
        return fail(r, kWebGetErrorContentLengthLimit, 0);
      }
      return endBody(c, r, next);
    }
    if (pending) return 1;
    WebGetConnection_Log(c, "Read was not completed [%I64d/%I64d]", received, r->contentLength);
    WebGetRequest_EndBody(r, 0);
    if (socketError != 0) return fail(r, kWebGetErrorSocket, socketError);
    return fail(r, kWebGetErrorUnderflow, 0);
  }
  if (WebGetRequest_IsChunkedComplete(r)) return endBody(c, r, next);
  if (pending) return 1;
  // A body read to the close ends with a close, not with a reset; a chunked
  // one ends with its last chunk.
  if (socketError != 0) {
    WebGetConnection_Log(c, "Connection failed after %I64d body bytes", received);
    WebGetRequest_EndBody(r, 0);
    return fail(r, kWebGetErrorSocket, socketError);
  }
  if (r->chunked && !c->cacheAnswering) {
    WebGetConnection_Log(c, "Connection closed before the last chunk [%I64d]", received);
    WebGetRequest_EndBody(r, 0);
    return fail(r, kWebGetErrorUnderflow, 0);
  }
  return endBody(c, r, next);
}

int handleHandshake(WebGetConnection *c, WebGetRequest *r, int entered) {
  if (!c->tlsActive.load()) return 1;
  if (entered && !Tls_IsHandshakeStarted(c->tls)) {
    // The name checked is the URL's host, inside a tunnel too: never the
    // proxy's.
    char host[512];
    Url_GetHostWithoutPort(r->url, host, int(sizeof host));
    CertStore *store = Tls_DefaultCertStore();
    Tls_SetCertStore(c->tls, store);
    if (store != nullptr) CertStore_Release(&store);
    // A server whose certificate request the credentials left unanswered
    // is sent none from then on.
    char address[sizeof c->certDeclinedFor];
    certAddress(c, address, int(sizeof address));
    Tls_SetDeclineCertificate(c->tls, c->certDeclinedFor[0] != '\0' &&
                                          strcmp(address, c->certDeclinedFor) == 0);
    int32_t alert = 0;
    if (!Tls_StartHandshake(c->tls, host, &alert)) return failTls(c, r, alert);
    return 1;
  }
  if (c->certRequested.exchange(0)) {
    WebGetConnection_SetPhase(c, r, kWebGetPhaseClientCertificateRequest);
    return 1;
  }
  if (Tls_IsHandshakeDone(c->tls)) {
    touch(c);
    WebGetConnection_SetPhase(c, r, kWebGetPhaseRequest);
  }
  return 1;
}

// The session's call (an I/O worker thread) when the server asks for a
// certificate it does not have: the handshake step takes it from here.
void onCertificateRequest(TLS1 *, void *context) {
  auto *c = static_cast<WebGetConnection *>(context);
  c->certRequested.store(1);
  WebGetConnection_SchedulePoll(c);
}

bool authenticationAllowed(WebGetConnection *c) {
  return WebGet_IsAuthenticationEnabled() && c->allowAuthentication;
}

int handleAuthenticate(WebGetConnection *c, WebGetRequest *r, int) {
  if (c->waiting != nullptr) return 1;
  if (!authenticationAllowed(c)) return fail(r, kWebGetErrorAuthRequestCancel, 0);
  int32_t status = 0;
  if (!WebGet_ParseStatusCode(r->responseHeaders, int(strcspn(r->responseHeaders, "\r\n")),
                              &status))
    return fail(r, kWebGetErrorHeaderCorrupt, 0);
  bool proxy = status == 407;
  if (proxy && !c->allowProxy) {
    WebGetConnection_Log(c, "HTTP content blocked due to proxy [%s]",
                         UrlLoggable(r->url).text);
    return fail(r, kWebGetErrorProxyDisabled, 0);
  }
  // A proxy's password answers the proxy's own hop alone: its answer to a
  // CONNECT or to a request sent through it. A 407 on a direct connection
  // or inside a tunnel comes from the server, which gets nothing.
  if (proxy && (!c->viaProxy || c->tunnelEstablished)) return fail(r, status, 0);
  WebGetAuth *auth = proxy ? c->proxyAuth : c->serverAuth;
  char url[kWebGetUrlBytes], host[kWebGetUrlBytes];
  Str_Copy(url, proxy ? c->proxyInUse : r->url, int(sizeof url));
  Url_GetHostWithPort(url, host, int(sizeof host));
  WebGetAuth_SetHost(auth, host);
  if (c->forcedLog) WebGetAuth_SetLogFlag(auth, 1);
  WebGetAuth_SetMethod(auth, effectiveMethod(c, r));
  char target[kWebGetUrlBytes];
  WebGetRequest_GetRequestTarget(r, target, int(sizeof target));
  WebGetAuth_SetUri(auth, target);
  WebGetAuth_SetBody(auth, r->postData, r->postData ? r->postDataLength : 0);
  int32_t answered = 0;
  WebGetAuth_GetCounter(auth, &answered);
  int32_t code = 0, codeEx = 0;
  WebGet_Lock();
  // A challenge to an answer already sent: those credentials were refused.
  if (answered >= 1) WebGetAuth_ReportFailure(auth);
  int ready = WebGetAuth_ParseChallenge(auth, r->responseHeaders, &code, &codeEx);
  // The answered request is an attempt of its own: a kept socket that loses
  // it gets its own fresh try, whatever the first attempt spent.
  if (c->retried == r) c->retried = nullptr;
  if (!ready && code == 0) {
    c->waiting = static_cast<WebGetRequest *>(Class_Retain(r));
    WebGetConnection_Reset(c, 0, 0, 1);
  }
  WebGet_Unlock();
  if (ready) {
    WebGetConnection_SetPhase(c, r, kWebGetPhaseLookup);
    return 1;
  }
  return code == 0 ? 1 : fail(r, code, codeEx);
}

int handleClientCertificate(WebGetConnection *c, WebGetRequest *r, int) {
  if (c->waiting != nullptr) return 1;
  if (!authenticationAllowed(c)) return fail(r, kWebGetErrorCertRequestCancel, 0);
  char address[320], types[80] = "";
  certAddress(c, address, int(sizeof address));
  Tls_GetRequestedCertificateTypes(c->tls, types);
  WebGetClientCert_SetAddress(c->clientCert, address);
  WebGet_Lock();
  WebGetClientCert_Request(c->clientCert, types);
  c->waiting = static_cast<WebGetRequest *>(Class_Retain(r));
  WebGetConnection_Reset(c, 0, 0, 1);
  WebGet_Unlock();
  return 1;
}

// The broker's answer to one of the credential records.
int onChallengeResponse(void *context, const char *, const char *, const char *instance,
                        Dictionary *info) {
  auto *c = static_cast<WebGetConnection *>(context);
  char filter[320] = "";
  if (info == nullptr || !Dictionary_GetStringByKey(info, "filter", filter, int(sizeof filter)))
    return 1;
  if (Str_CompareNoCase(filter, "ClientCert") == 0) {
    WebGet_Lock();
    int32_t cancel = 0;
    Dictionary_GetBooleanByKey(info, "cancel", &cancel);
    char path[320] = "", password[512] = "";
    Dictionary_GetStringByKey(info, "certificatePath", path, int(sizeof path));
    Dictionary_GetStringByKey(info, "password", password, int(sizeof password));
    // No certificate for this server: the next handshake answers its
    // request with none, and the server decides.
    if (cancel) certAddress(c, c->certDeclinedFor, int(sizeof c->certDeclinedFor));
    else c->certLoaded = WebGetClientCert_Load(c->clientCert, c->tls, path, password);
    memset(password, 0, sizeof password);
    if (c->waiting != nullptr) Class_ReleaseObject(&c->waiting);
    WebGet_Unlock();
    WebGetConnection_SchedulePoll(c);
    return 1;
  }
  if (Str_CompareNoCase(filter, "WebGetServer") != 0 && Str_CompareNoCase(filter, "WebGetProxy") != 0)
    return 1;
  bool proxy = Str_CompareNoCase(instance, Class_ConvertToInstanceId(c->proxyAuth)) == 0;
  WebGetAuth *auth = proxy ? c->proxyAuth : c->serverAuth;
  WebGet_Lock();
  int32_t cancel = 0;
  Dictionary_GetBooleanByKey(info, "cancel", &cancel);
  char user[512] = "", password[512] = "";
  bool complete = Dictionary_GetStringByKey(info, "username", user, int(sizeof user)) &&
                  Dictionary_GetStringByKey(info, "password", password, int(sizeof password));
  if (!cancel && complete) WebGetAuth_SetCredentials(auth, user, password);
  else (proxy ? c->proxyCancelled : c->serverCancelled) = 1;
  memset(password, 0, sizeof password);
  if (c->waiting != nullptr) Class_ReleaseObject(&c->waiting);
  WebGet_Unlock();
  WebGetConnection_SchedulePoll(c);
  return 1;
}

void observeCredentials(WebGetConnection *c, bool on) {
  for (void *record : {static_cast<void *>(c->serverAuth), static_cast<void *>(c->proxyAuth),
                       static_cast<void *>(c->clientCert)}) {
    const char *id = Class_ConvertToInstanceId(record);
    if (on) NotificationCenter_AddInstanceObserver("Challenge", "Response", id, c, onChallengeResponse);
    else NotificationCenter_RemoveInstanceObserver("Challenge", "Response", id, c, onChallengeResponse);
  }
}


int handleCleanup(WebGetConnection *c, WebGetRequest *r, int) {
  WebGetConnection_Cleanup(c, r, 0);
  return 1;
}

// The deadlines that a server trickling bytes cannot renew: the whole
// header within a multiple of the time-out, and the body at a minimum rate
// over each window. False when r is past one of them. Answers from the
// cache and from local files have neither.
bool withinDeadlines(WebGetConnection *c, WebGetRequest *r, int32_t phase, double now) {
  if (c->cacheAnswering || Url_HasScheme(r->url, "file")) return true;
  double timeout = double(c->timeoutSeconds);
  if (phase == kWebGetPhaseHeader)
    return now - r->phaseStartTime.load() < kWebGetHeaderDeadlineTimeouts * timeout;
  if (phase != kWebGetPhaseBody) return true;
  double span = now - c->bodyWindowStart;
  if (span < kWebGetBodyWindowTimeouts * timeout) return true;
  uint64_t got = r->bodyBytesConsumed - c->bodyWindowBytes;
  if (double(got) < kWebGetMinimumBodyBytesPerSecond * span) {
    WebGetConnection_Log(c, "Body too slow [%I64d bytes in %.1f s]", int64_t(got), span);
    return false;
  }
  c->bodyWindowStart = now;
  c->bodyWindowBytes = r->bodyBytesConsumed;
  return true;
}

int process(WebGetConnection *c, WebGetRequest *r) {
  int32_t phase = WebGetRequest_GetPhase(r);
  int entered = WebGetRequest_GetPhaseChangedFlag(r);
  WebGetRequest_SetPhaseChangedFlag(r, 0);
  if (c->certCancelled) return fail(r, kWebGetErrorCertRequestCancel, 0);
  if (c->serverCancelled || c->proxyCancelled) return fail(r, kWebGetErrorAuthRequestCancel, 0);
  int ok = 1;
  if (c->waiting == nullptr && phase >= kWebGetPhaseLookup && phase <= kWebGetPhaseCleanup) {
    switch (phase) {
      case kWebGetPhaseLookup: ok = handleLookup(c, r, entered); break;
      case kWebGetPhaseConnect: ok = handleConnect(c, r, entered); break;
      case kWebGetPhaseMethodConnect: ok = WebGetConnection_WriteMethodConnect(c, r, entered); break;
      case kWebGetPhaseRequest: ok = WebGetConnection_WriteRequest(c, r, entered); break;
      case kWebGetPhasePostBuffer: ok = WebGetConnection_WritePostBuffer(c, r, entered); break;
      case kWebGetPhaseHandshake: ok = handleHandshake(c, r, entered); break;
      case kWebGetPhaseClientCertificateRequest: ok = handleClientCertificate(c, r, entered); break;
      case kWebGetPhaseHeader: ok = handleHeader(c, r, entered); break;
      case kWebGetPhaseAuthenticate: ok = handleAuthenticate(c, r, entered); break;
      case kWebGetPhaseBody: ok = handleBody(c, r, entered); break;
      default: ok = handleCleanup(c, r, entered); break;
    }
  }
  if (r != c->current) return ok;  // ended, or put back by a reset
  if (ok) {
    // The Body phase judges a failed socket itself, once every byte it
    // delivered is handed over: a reset after the last byte of the answer
    // (the answer to our close_notify, say) does not undo the answer.
    bool judged = (phase == kWebGetPhaseBody || phase == kWebGetPhaseCleanup) &&
                  !AsyncSocket_IsConnected(c->socket);
    int32_t socketError = judged ? 0 : AsyncSocket_GetError(c->socket);
    if (socketError != 0) {
      if (phase >= kWebGetPhaseRequest && phase <= kWebGetPhaseHeader &&
          retryOnFreshConnection(c, r))
        return 1;
      ok = fail(r, kWebGetErrorSocket, socketError);
    } else if (c->tlsActive.load() &&
               WebGetRequest_GetPhase(r) != kWebGetPhaseClientCertificateRequest) {
      int32_t tlsError = 0;
      Tls_GetError(c->tls, &tlsError);
      if (tlsError != 0) {
        // A certificate the server refused is not offered again unasked.
        if (c->certLoaded && phase == kWebGetPhaseHandshake)
          WebGetClientCert_ReportFailure(c->clientCert);
        ok = failTls(c, r, tlsError);
      }
    }
  }
  if (ok && WebGetRequest_GetPhase(r) != phase) {
    WebGetConnection_SchedulePoll(c);
    return 1;
  }
  if (ok && c->timeoutSeconds >= 1) {
    bool always = (phase >= kWebGetPhaseConnect && phase <= kWebGetPhaseHandshake) ||
                  phase == kWebGetPhaseHeader || phase == kWebGetPhaseBody;
    double now = Platform_GetTickSeconds();
    if ((always || WebGetConnection_HasPendingTransport(c)) &&
        now - c->lastActivity >= double(c->timeoutSeconds))
      ok = fail(r, kWebGetErrorTimeout, phase);
    else if (!withinDeadlines(c, r, phase, now)) ok = fail(r, kWebGetErrorTimeout, phase);
  }
  if (!ok && r == c->current && retryNextProxy(c, r, phase)) return 1;
  return ok;
}

void reportLine(WebGetConnection *c, const char *format, va_list args) {
  char line[2048];
  Str_VPrintf(line, int(sizeof line), format, args);
  if (c->logFunction != nullptr) {
    c->logFunction(c->logContext, "%s", line);
    return;
  }
  Log_Print(LOG_DEBUG, KSRC, 0, "%s.%s - %s\n", kSender, c->header.instanceId, line);
}

void tlsLog(void *context, const char *format, ...) {
  va_list args;
  va_start(args, format);
  reportLine(static_cast<WebGetConnection *>(context), format, args);
  va_end(args);
}

void connectionDestroy(void **object) {
  auto *c = static_cast<WebGetConnection *>(*object);
  *object = nullptr;
  WebGetConnection_Uninit(c);
  c->header.classTag = 0;
  c->~WebGetConnection();
  ::operator delete(c);
}

}  // namespace

// ---- Lifetime -----------------------------------------------------------------------------------

int WebGetConnection_Create(WebGetConnection **connection) {
  CHECK_POINTER(connection);
  auto *c = new (::operator new(sizeof(WebGetConnection))) WebGetConnection();
  c->header.classTag = kWebGetConnectionTag;
  c->header.refCount.store(1);
  c->header.destroy = connectionDestroy;
  WebGetConnection_Init(c);
  *connection = c;
  return 1;
}

int WebGetConnection_Release(WebGetConnection **connection) {
  CHECK_POINTER(connection);
  if (*connection == nullptr) return 1;
  CONNECTION_CHECK(*connection);
  Class_ReleaseObject(connection);
  *connection = nullptr;
  return 1;
}

int WebGetConnection_Init(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  Class_GenerateInstanceId(c);
  c->log.object = c;
  c->log.className = kSender;
  c->allowProxy = 1;
  c->allowAuthentication = 1;
  c->keepAlive = 1;
  c->timeoutSeconds = kWebGetConnectionDefaultTimeout;
  c->reportErrors = 1;
  c->receiveWindow.store(kWebGetReceiveWindowBytes);
  c->ownerThread.store(Thread_GetCurrentId());
  DupStream_Create(&c->transport);
  DupStream_Create(&c->http);
  AsyncSocket_Create(&c->socket);
  Tls_Create(&c->tls);
  Tls_SetLogCallback(c->tls, c, tlsLog);
  WebGetAuth_Create(&c->proxyAuth);
  WebGetAuth_SetProxy(c->proxyAuth, 1);
  WebGetAuth_Create(&c->serverAuth);
  WebGetClientCert_Create(&c->clientCert);
  Tls_SetCertificateRequestCallback(c->tls, c, onCertificateRequest);
  observeCredentials(c, true);
  hookSocket(c, true);
  touch(c);
  return 1;
}

int WebGetConnection_Uninit(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  if (c->socket == nullptr) return 1;
  hookSocket(c, false);
  cancelPolls(c);
  AsyncSocket_Close(c->socket);
  WebGetConnection_Reset(c, 1, 1, 0);
  WebGetConnection_ReleaseFile(c);
  if (c->proxyList != nullptr) Dictionary_Release(&c->proxyList);
  lookupRelease(&c->lookup);
  Class_ReleaseObject(&c->socket);
  Tls_SetLogCallback(c->tls, nullptr, nullptr);
  Tls_SetCertificateRequestCallback(c->tls, nullptr, nullptr);
  Tls_Delete(&c->tls);
  observeCredentials(c, false);
  WebGetClientCert_Release(&c->clientCert);
  WebGetAuth_Release(&c->serverAuth);
  WebGetAuth_Release(&c->proxyAuth);
  DupStream_Release(&c->transport);
  DupStream_Release(&c->http);
  return 1;
}

// ---- Queue and pump -------------------------------------------------------------------------------

int WebGetConnection_QueueRequest(WebGetConnection *connection, WebGetRequest *request) {
  CONNECTION_CHECK(connection);
  CLASS_CHECK(request, kWebGetRequestTag);
  return queueAdd(connection, request, false, true, nullptr);
}

int WebGetConnection_IsBusy(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  return connection->current != nullptr || !connection->queue.empty() ? 1 : 0;
}

int WebGetConnection_Cancel(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  return WebGetConnection_Reset(connection, 1, 1, 1);
}

int WebGetConnection_Poll(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  if (!c->running.load()) cancelPolls(c);
  if (DupStream_TransferInbound(c->http, receivedStream(c)) && inboundLength(c->http) > 0)
    touch(c);
  if (c->current != nullptr && WebGetRequest_IsOnlyReference(c->current)) {
    WebGetRequest *dropped = c->current;
    c->current = nullptr;
    WebGetConnection_DetachRequest(c, dropped);
    Class_ReleaseObject(&dropped);
    WebGetConnection_Reset(c, 0, 1, 0);
  }
  if (c->current == nullptr && c->waiting == nullptr) takeNext(c);
  if (c->current != nullptr) {
    auto *r = static_cast<WebGetRequest *>(Class_Retain(c->current));
    if (!process(c, r)) {
      int32_t code = 0, codeEx = 0;
      WebGetRequest_GetError(r, &code, &codeEx);
      if (code == 0)
        Core_Abort(KSRC, "Error code not set during request process failure (%d)\n",
                   WebGetRequest_GetPhase(r));
      c->lastError = code;
      c->lastErrorEx = codeEx;
      noteProxyFailure(c, r, code, codeEx);
      WebGetConnection_ReportError(c, r, code, codeEx);
      if (c->current == r) WebGetConnection_Cleanup(c, r, 1);
      WebGetConnection_Reset(c, 0, 1, 0);
      Class_ReleaseObject(&r);
      return 0;
    }
    Class_ReleaseObject(&r);
  }
  DupStream_TransferOutbound(c->transport, c->http);
  if (AsyncSocket_IsConnected(c->socket)) {
    int32_t sealed = 0;
    if (c->tlsActive.load()) {
      // Records that waited in the record buffer for room in the decrypted
      // stream are deciphered now that the reader has taken some: while the
      // record buffer is full no socket event comes to do it, and a large
      // body would stall until the time-out.
      if (Tls_ProcessWaitingInput(c->tls) > 1) WebGetConnection_SchedulePoll(c);
      sealed = outboundLength(Tls_GetTransportStream(c->tls));
    }
    if (outboundLength(c->transport) > 0 || sealed > 0) AsyncSocket_StartWrite(c->socket);
    // A running read loop asks for the room itself before it ends; an idle
    // one starts when there is room. Neither waits here for the session lock
    // an I/O worker holds while it deciphers.
    if (AsyncSocket_IsReading(c->socket) || receiveSpace(c) > 0)
      AsyncSocket_StartRead(c->socket);
  }
  postTimeoutCheck(c);
  return 1;
}

int WebGetConnection_RunUntilComplete(WebGetConnection *connection, WebGetRequest *request) {
  CONNECTION_CHECK(connection);
  CLASS_CHECK(request, kWebGetRequestTag);
  WebGetConnection *c = connection;
  cancelPolls(c);
  c->ownerThread.store(Thread_GetCurrentId());
  if (WebGetRequest_GetPhase(request) == kWebGetPhaseDone) return 0;
  bool main = Thread_GetCurrentId() == Thread_GetMainId();
  c->running.store(1);
  int result = 0;
  for (;;) {
    if (WebGetConnection_Poll(c) <= 0) break;
    if (WebGetRequest_GetPhase(request) == kWebGetPhaseDone) {
      result = 1;
      break;
    }
    if (main) {
      EventQueue_Flush(EventQueue_GetMain());
      NotificationCenter_ProcessPendingFires();
    }
    Thread_Yield();
  }
  c->running.store(0);
  return result;
}

int WebGetConnection_SchedulePoll(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  if (c->pollFunction != nullptr) {
    c->pollFunction(c, c->pollContext);
    return 1;
  }
  uint32_t owner = c->ownerThread.load();
  if (c->running.load()) return Thread_Wake(owner, 0);
  return EventQueue_PostCallbackToThread(owner, c, pollEvent);
}

int WebGetConnection_SetPhase(WebGetConnection *connection, WebGetRequest *request,
                              int32_t phase) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  WebGetRequest *r = request;
  if (phase != kWebGetPhaseDone && phase != kWebGetPhaseRedirect) {
    WebGetRequest_SetPhase(r, phase);
    return 1;
  }
  bool wasCurrent = c->current == r;
  if (wasCurrent) c->current = nullptr;
  if (c->retried == r) c->retried = nullptr;
  if (WebGetRequest_SetPhase(r, phase)) {
    if (c->completionFunction) c->completionFunction(c, c->completionContext, r);
    if (phase == kWebGetPhaseDone) WebGetRequest_RunPhaseCallback(r);
  }
  WebGetConnection_DetachRequest(c, r);
  // Without an owner that takes redirected requests back, the connection
  // sends them again itself.
  if (phase == kWebGetPhaseRedirect && c->redirectFunction == nullptr)
    queueAdd(c, r, true, true, wasCurrent ? &c->currentHeaders : nullptr);
  if (wasCurrent) Class_ReleaseObject(&r);
  return 1;
}

int WebGetConnection_DetachRequest(WebGetConnection *connection, WebGetRequest *request) {
  CONNECTION_CHECK(connection);
  WebGetRequest_SetLogHook(request, nullptr, nullptr);
  WebGetRequest_SetConnection(request, nullptr);
  return 1;
}

int WebGetConnection_Reset(WebGetConnection *connection, int dropQueue, int resetAuth,
                           int requeue) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  if (c->current != nullptr) {
    WebGetRequest *r = c->current;
    c->current = nullptr;
    if (requeue) {
      queueAdd(c, r, true, false, &c->currentHeaders);
      WebGetRequest_SetConnection(r, nullptr);
    } else {
      WebGetRequest_SetPhase(r, kWebGetPhaseIdle);
      WebGetConnection_DetachRequest(c, r);
    }
    Class_ReleaseObject(&r);
  }
  if (dropQueue) {
    if (c->waiting != nullptr) Class_ReleaseObject(&c->waiting);
    WebGetConnection_DropQueue(c);
  }
  closeTransport(c);
  dropCacheItem(c);
  if (resetAuth) {
    c->lastUrl[0] = '\0';
    WebGetAuth_Reset(c->serverAuth);
    WebGetAuth_Reset(c->proxyAuth);
    c->serverCancelled = c->proxyCancelled = c->certCancelled = 0;
    c->certDeclinedFor[0] = '\0';
  }
  return 1;
}

int WebGetConnection_DropQueue(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  while (!c->queue.empty()) {
    WebGetRequest *r = c->queue.front().request;
    c->queue.pop_front();
    // The owner hears of the end like any other: a request that just goes
    // Done unseen leaves its owner waiting for good.
    if (WebGetRequest_SetPhase(r, kWebGetPhaseDone)) WebGetRequest_RunPhaseCallback(r);
    Class_ReleaseObject(&r);
  }
  return 1;
}

int WebGetConnection_Cleanup(WebGetConnection *connection, WebGetRequest *request, int failed) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  WebGetRequest *r = request;
  if (!failed && c->keepAlive && r->keepAlive && WebGetConnection_HasPendingTransport(c)) {
    bool fromCache = c->cacheAnswering != 0;
    dropCacheItem(c);
    c->answersOnSocket++;
    WebGetConnection_SetPhase(c, r, kWebGetPhaseDone);
    if (fromCache) WebGetConnection_Reset(c, 0, 1, 1);
    return 1;
  }
  if (!failed && AsyncSocket_IsConnected(c->socket) &&
      (outboundLength(c->http) > 0 || outboundLength(c->transport) > 0))
    return 0;
  WebGetConnection_SetPhase(c, r, kWebGetPhaseDone);
  WebGetConnection_Reset(c, 0, 1, 1);
  return 1;
}

int WebGetConnection_HasPendingTransport(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  DupStream *sealed = Tls_GetTransportStream(c->tls);
  return AsyncSocket_IsConnected(c->socket) || WebGetConnection_IsFileOpen(c) ||
                 inboundLength(c->http) > 0 ||
                 inboundLength(sealed) > 0 || inboundLength(c->transport) > 0 ||
                 outboundLength(c->http) > 0 || outboundLength(sealed) > 0 ||
                 outboundLength(c->transport) > 0
             ? 1
             : 0;
}

int WebGetConnection_ReportError(WebGetConnection *connection, WebGetRequest *request,
                                 int32_t code, int32_t codeEx) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  char address[32];
  Str_Printf(address, int(sizeof address), "%ipv4", &c->remoteAddress);
  Dictionary *info = nullptr;
  Dictionary_Create(&info);
  Dictionary_SetStringByKey(info, "url", request->url);
  Dictionary_SetStringByKey(info, "remoteIp", address);
  Dictionary_SetInt32ByKey(info, "remotePort", c->remotePort);
  Dictionary_SetInt32ByKey(info, "errorCode", code);
  Dictionary_SetInt32ByKey(info, "errorCodeEx", codeEx);
  Dictionary_SetBooleanByKey(info, "reportError", c->reportErrors);
  if (c->reportErrors) {
    const char *text = WebGet_GetReasonText(code);
    Log_Print(LOG_WARNING, KSRC, 0, "WebGet error '%s' (%ipv4:%d): (%d) (%d) (%s)\n",
              UrlLoggable(request->url).text, &c->remoteAddress, c->remotePort, code, codeEx,
              text ? text : "");
  }
  NotificationCenter_FireAfterDelay(kSender, "Error", Class_ConvertToInstanceId(c), 0, info);
  Dictionary_Release(&info);
  return 1;
}

// ---- Settings ---------------------------------------------------------------------------------

int WebGetConnection_SetAllowProxy(WebGetConnection *connection, int flag) {
  CONNECTION_CHECK(connection);
  connection->allowProxy = flag ? 1 : 0;
  return 1;
}
int WebGetConnection_DisableLoopbackProxy(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  connection->proxyLoopback = 0;
  return 1;
}
int WebGetConnection_SetAllowAuthentication(WebGetConnection *connection, int flag) {
  CONNECTION_CHECK(connection);
  connection->allowAuthentication = flag ? 1 : 0;
  return 1;
}
int WebGetConnection_SetAnyHost(WebGetConnection *connection, int flag) {
  CONNECTION_CHECK(connection);
  connection->anyHost = flag ? 1 : 0;
  return 1;
}
int WebGetConnection_SetKeepAlive(WebGetConnection *connection, int flag) {
  CONNECTION_CHECK(connection);
  connection->keepAlive = flag ? 1 : 0;
  return 1;
}
int WebGetConnection_SetReportErrors(WebGetConnection *connection, int flag) {
  CONNECTION_CHECK(connection);
  connection->reportErrors = flag ? 1 : 0;
  return 1;
}
int WebGetConnection_SetReceiveWindowForTest(WebGetConnection *connection, int32_t bytes) {
  CONNECTION_CHECK(connection);
  connection->receiveWindow.store(bytes);
  return 1;
}

int WebGetConnection_SetTimeout(WebGetConnection *connection, int32_t seconds) {
  CONNECTION_CHECK(connection);
  connection->timeoutSeconds = seconds;
  return 1;
}
int WebGetConnection_GetTimeout(WebGetConnection *connection, int32_t *seconds) {
  CONNECTION_CHECK(connection);
  CHECK_POINTER(seconds);
  *seconds = connection->timeoutSeconds;
  return 1;
}
int WebGetConnection_SetProxyOverride(WebGetConnection *connection, const char *proxy) {
  CONNECTION_CHECK(connection);
  Str_Copy(connection->proxyOverride, proxy ? proxy : "", int(sizeof connection->proxyOverride));
  return 1;
}
namespace {
std::atomic<WebGetProxyGetHook> proxyGetHook{nullptr};
std::atomic<WebGetProxyRestartHook> proxyRestartHook{nullptr};
}  // namespace

void WebGetConnection_SetProxyHooks(WebGetProxyGetHook getProxy, WebGetProxyRestartHook restart) {
  proxyGetHook.store(getProxy);
  proxyRestartHook.store(restart);
}
void WebGetConnection_GetProxyHooks(WebGetProxyGetHook *getProxy,
                                    WebGetProxyRestartHook *restart) {
  if (getProxy) *getProxy = proxyGetHook.load();
  if (restart) *restart = proxyRestartHook.load();
}
int WebGetConnection_SetLogCallback(WebGetConnection *connection, void *context,
                                    ClassLogSink function) {
  CONNECTION_CHECK(connection);
  connection->logContext = context;
  connection->logFunction = function;
  return 1;
}
int WebGetConnection_SetLogFlag(WebGetConnection *connection, int flag) {
  CONNECTION_CHECK(connection);
  connection->forcedLog = flag ? 1 : 0;
  return 1;
}
int WebGetConnection_GetLogFlag(WebGetConnection *connection, int *flag) {
  CONNECTION_CHECK(connection);
  CHECK_POINTER(flag);
  *flag = connection->forcedLog;
  return 1;
}
int WebGetConnection_SetPollCallback(WebGetConnection *connection, void *context,
                                     WebGetConnectionPollFunction function) {
  CONNECTION_CHECK(connection);
  connection->pollContext = context;
  connection->pollFunction = function;
  return 1;
}
int WebGetConnection_SetCompletionCallback(WebGetConnection *connection, void *context,
                                           WebGetConnectionRequestFunction function) {
  CONNECTION_CHECK(connection);
  connection->completionContext = context;
  connection->completionFunction = function;
  return 1;
}
int WebGetConnection_SetRedirectCallback(WebGetConnection *connection, void *context,
                                         WebGetConnectionRequestFunction function) {
  CONNECTION_CHECK(connection);
  connection->redirectContext = context;
  connection->redirectFunction = function;
  return 1;
}
int WebGetConnection_GetMeter(WebGetConnection *connection, MeterRW **meter) {
  CONNECTION_CHECK(connection);
  return AsyncSocket_GetMeter(connection->socket, meter);
}

int WebGetConnection_Log(WebGetConnection *connection, const char *format, ...) {
  CONNECTION_CHECK(connection);
  if (!logOn(connection) && connection->logFunction == nullptr) return 1;
  va_list args;
  va_start(args, format);
  reportLine(connection, format, args);
  va_end(args);
  return 1;
}

// ---- The request's side -------------------------------------------------------------------------

int WebGetRequest_ApplyToConnection(WebGetConnection *connection, WebGetRequest *request) {
  CONNECTION_CHECK(connection);
  CLASS_CHECK(request, kWebGetRequestTag);
  WebGetConnection *c = connection;
  MeterRW *meter = nullptr;
  if (AsyncSocket_GetMeter(c->socket, &meter) && meter != nullptr) MeterRW_Reset(meter);
  if (request->logFlag) c->forcedLog = 1;
  c->timeoutSeconds = request->timeoutSeconds;
  c->allowProxy = request->allowProxy;
  c->reportErrors = request->reportErrors;
  Str_Copy(c->proxyOverride, request->proxy, int(sizeof c->proxyOverride));
  return WebGetConnection_QueueRequest(c, request);
}

int WebGetRequest_IsWritePending(WebGetConnection *connection, WebGetRequest *request) {
  CONNECTION_CHECK(connection);
  return WebGetRequest_HasPendingWrites(request);
}
