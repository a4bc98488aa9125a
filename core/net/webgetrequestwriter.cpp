// Request writing on a connection: the CONNECT request of a proxy tunnel, the
// request line with its header block, and the request body. Every send
// composes its headers from the caller's lines as they were when the request
// was queued, so a re-send after a challenge carries the new answer instead
// of the old one. A header line that does not fit the block fails the
// request with 966 before anything is written.
#include <cstring>

#include "core/net/url.h"
#include "core/net/webgetauth.h"
#include "core/net/webgetcache.h"
#include "core/net/webgetconnection.h"
#include "core/net/webgetrequest.h"
#include "core/runtime/time.h"
#include "core/platform/platform.h"
#include "core/runtime/dupstream.h"
#include "core/runtime/log.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

int fail(WebGetRequest *r, int32_t code, int32_t codeEx) {
  WebGetRequest_SetError(r, code, codeEx);
  return 0;
}

// Appends "name: value" unless the block has such a line already. False when
// the line does not fit.
bool addHeader(char *block, const char *name, const char *value) {
  const char *line = nullptr;
  if (WebGet_FindHeader(block, name, &line)) return true;
  return WebGet_SetHeader(block, kWebGetHeaderBlockBytes, name, value, 0) != 0;
}


bool keepWish(WebGetConnection *c, WebGetRequest *r) {
  return c->keepAlive && r->httpVersion > 1.0;
}

bool logOn(WebGetConnection *c) { return c->forcedLog || Class_LogEnabled(&c->log, LOG_DEBUG); }

// Writes the request line, the block and the blank line in one outbound
// transaction; nothing stays behind when it does not fit.
bool writeHead(WebGetConnection *c, WebGetRequest *r, int32_t method, const char *target,
               double version, const char *block) {
  DupStream_BeginOutboundTransaction(c->http);
  bool ok = DupStream_PrintfOutbound(c->http, "%S %s HTTP/%.1f\r\n",
                                     WebGet_GetMethodName(method), target, version) &&
            DupStream_WriteOutbound(c->http, block, int32_t(strlen(block))) &&
            DupStream_WriteOutbound(c->http, "\r\n", 2);
  DupStream_EndOutboundTransaction(c->http, ok ? 0 : 1);
  if (ok && logOn(c)) {
    WebGetConnection_Log(c, "---- [0x%p] Header Out Begin --", r);
    WebGetConnection_Log(c, "%S %s HTTP/%.1f", WebGet_GetMethodName(method),
                         UrlLoggable(target).text, version);
    char shown[kWebGetHeaderBlockBytes];
    WebGet_MaskSecretHeaders(block, int(strlen(block)), shown, int(sizeof shown));
    WebGetConnection_Log(c, "%s", shown);
    WebGetConnection_Log(c, "---- [0x%p] Header Out End ----", r);
  }
  c->lastActivity = Platform_GetTickSeconds();
  return ok;
}

// The credential's answer for this send, when it has one. False when the
// line does not fit.
bool addAnswer(WebGetAuth *auth, const char *name, char *block, int32_t method,
               const char *target, WebGetRequest *r) {
  WebGetAuth_SetMethod(auth, method);
  WebGetAuth_SetUri(auth, target);
  WebGetAuth_SetBody(auth, r->postData, r->postData ? r->postDataLength : 0);
  char value[kWebGetAuthValueBytes];
  if (!WebGetAuth_GetValue(auth, value, int(sizeof value))) return true;
  return addHeader(block, name, value);
}

// The authority of url: its host with the scheme's port when none is named.
bool authority(const char *url, char *out, int size) {
  return Url_GetHostWithPort(url, out, size) != 0;
}

}  // namespace

int WebGetConnection_FormatTarget(const char *url, int absolute, int cutQuery, char *out,
                                  int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  const char *from = url;
  if (!absolute) Url_FindPath(url, &from);
  size_t length = strlen(from);
  if (!absolute && *from != '/' && *from != '\\') length = 0;
  if (cutQuery) {
    const char *query = strchr(from, '?');
    if (query != nullptr && size_t(query - from) < length) length = size_t(query - from);
  }
  int at = 0;
  static const char kHex[] = "0123456789ABCDEF";
  auto put = [&](char ch) {
    if (at + 1 >= size) return false;
    out[at++] = ch;
    return true;
  };
  if (length == 0 && !put('/')) return 0;
  for (size_t i = 0; i < length; i++) {
    auto byte = uint8_t(from[i]);
    bool ok = byte < 0x21 || byte == 0x7f
                  ? put('%') && put(kHex[byte >> 4]) && put(kHex[byte & 15])
                  : put(char(byte));
    if (!ok) {
      out[0] = '\0';
      return 0;
    }
  }
  out[at] = '\0';
  return 1;
}

int WebGetConnection_WriteMethodConnect(WebGetConnection *connection, WebGetRequest *request,
                                        int) {
  WebGetConnection *c = connection;
  WebGetRequest *r = request;
  c->lastError = 0;
  char target[kWebGetUrlBytes];
  if (!authority(r->url, target, int(sizeof target))) return fail(r, kWebGetErrorHeaderCorrupt, 0);
  WebGetRequest_SetRequestTarget(r, target);
  char block[kWebGetHeaderBlockBytes] = "";
  if (!addHeader(block, "Host", target) ||
      !addAnswer(c->proxyAuth, "Proxy-Authorization", block, kWebGetMethodConnect, target, r) ||
      !addHeader(block, "Proxy-Connection", keepWish(c, r) ? "keep-alive" : "close"))
    return fail(r, kWebGetErrorHeaderLimit, 0);
  if (!writeHead(c, r, kWebGetMethodConnect, target, r->httpVersion, block)) return 1;
  WebGetConnection_SetPhase(c, r, kWebGetPhaseHeader);
  return 1;
}

int WebGetConnection_WriteRequest(WebGetConnection *connection, WebGetRequest *request, int) {
  WebGetConnection *c = connection;
  WebGetRequest *r = request;
  c->lastError = 0;
  const char *url = r->url;
  int32_t method = c->tunnelNeeded && !c->tunnelEstablished ? int32_t(kWebGetMethodConnect)
                                                             : r->method;
  if (c->currentHeaders.size() >= size_t(kWebGetHeaderBlockBytes))
    return fail(r, kWebGetErrorHeaderLimit, 0);
  char block[kWebGetHeaderBlockBytes];
  Str_Copy(block, c->currentHeaders.c_str(), int(sizeof block));

  char text[kWebGetHeaderBlockBytes];
  char host[kWebGetUrlBytes];
  Url_GetHostWithoutPort(url, host, int(sizeof host));
  int port = 0;
  if (!Url_IsDefaultPort(url) && Url_GetExplicitPort(url, &port))
    Str_Printf(text, int(sizeof text), "%s:%d", host, port);
  else Str_Copy(text, host, int(sizeof text));
  bool fits = addHeader(block, "Host", text);
  char agent[kWebGetHeaderBlockBytes];
  WebGet_GetUserAgent(agent, int(sizeof agent));
  WebGet_ExpandUrl(agent, agent, int(sizeof agent));
  fits = fits && addHeader(block, "User-Agent", agent);
  if (!Url_IsLocalhost(url))
    fits = fits && addHeader(block, "Pragma", "akamai-x-cache-on") &&
           addHeader(block, "X-LDebug", "1");
  // A stored answer being revalidated asks for the body only when it changed.
  WebGetCacheItem *item = c->cacheItem;
  if (item != nullptr && WebGetCacheItem_IsStateOne(item) &&
      (method == kWebGetMethodGet || method == kWebGetMethodHead) &&
      WebGetCacheItem_GetLastModified(item) > 0) {
    char date[64];
    Time_FormatHttpDate(kTimeFormatHttp, date, int(sizeof date),
                        WebGetCacheItem_GetLastModified(item));
    fits = fits && addHeader(block, "If-Modified-Since", date);
  }
  if (!fits) return fail(r, kWebGetErrorHeaderLimit, 0);

  // The request's standard lines go into its own block, which then holds
  // exactly what this send writes.
  memcpy(r->requestHeaders, block, sizeof block);
  WebGetRequest_AddStandardHeaders(r);
  memcpy(block, r->requestHeaders, sizeof block);

  bool viaProxyPlain = c->viaProxy && !c->tunnelEstablished && !c->tlsActive.load();
  // A POST whose body is its URL's query sends that query once, as the body.
  bool queryIsBody = method == kWebGetMethodPost && r->postData == r->postQuery;
  char target[kWebGetUrlBytes];
  if (!WebGetConnection_FormatTarget(url, viaProxyPlain ? 1 : 0, queryIsBody ? 1 : 0, target,
                                     int(sizeof target)))
    return fail(r, kWebGetErrorHeaderLimit, 0);
  WebGetRequest_SetRequestTarget(r, target);
  if (!addAnswer(c->serverAuth, "Authorization", block, method, target, r)) fits = false;
  if (c->viaProxy && !c->tunnelEstablished) {
    if (!addAnswer(c->proxyAuth, "Proxy-Authorization", block, method, target, r)) fits = false;
    fits = fits && addHeader(block, "Proxy-Connection", keepWish(c, r) ? "keep-alive" : "close");
  }
  WebGet_RemoveHeader(block, "Connection");
  fits = fits && addHeader(block, "Connection", keepWish(c, r) ? "keep-alive" : "close");
  if (!fits) return fail(r, kWebGetErrorHeaderLimit, 0);
  memcpy(r->requestHeaders, block, sizeof block);
  if (!writeHead(c, r, method, target, r->httpVersion, block)) return 1;
  WebGetConnection_SetPhase(c, r, kWebGetPhasePostBuffer);
  return 1;
}

int WebGetConnection_WritePostBuffer(WebGetConnection *connection, WebGetRequest *request,
                                     int entered) {
  WebGetConnection *c = connection;
  WebGetRequest *r = request;
  const auto *data = static_cast<const uint8_t *>(r->postData);
  int32_t size = data ? r->postDataLength : 0;
  if (entered) {
    c->postCursor = 0;
    if (size > 0 && logOn(c))
      WebGetConnection_Log(c, "---- [0x%p] POST information size (%d) ----", r, size);
  }
  if (c->postCursor < size) {
    DupStream_LockOutbound(c->http);
    int32_t space = 0;
    DupStream_GetOutboundSpace(c->http, &space);
    int32_t count = size - c->postCursor < space ? size - c->postCursor : space;
    if (count > 0 && DupStream_WriteOutbound(c->http, data + c->postCursor, count))
      c->postCursor += count;
    DupStream_UnlockOutbound(c->http);
    c->lastActivity = Platform_GetTickSeconds();
    if (c->postCursor < size) return 1;
  }
  WebGetConnection_SetPhase(c, r, kWebGetPhaseHeader);
  return 1;
}
