// WebServer: the local HTTP/1.1 server; see webserv.h.
#include "core/net/webserv.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/net/asyncsocket.h"
#include "core/net/url.h"
#include "core/net/webget.h"
#include "core/platform/eventqueue.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "core/runtime/critsection.h"
#include "core/runtime/dupstream.h"
#include "core/runtime/log.h"
#include "core/runtime/mime.h"
#include "core/runtime/refusallog.h"
#include "core/runtime/time.h"

namespace {

constexpr uint32_t kLoopbackAddress = 0x0100007f;  // 127.0.0.1, first octet lowest
// The "Server" value: the name, then the version in parentheses.
constexpr const char *kServerText = "Zado-Zur (0.84)";
constexpr int kStatusLineBytes = 320;
constexpr int kServerLogBytes = 12288;  // a whole header block when verbose
constexpr int kWebServerVerboseLevel = 8;

struct Cell {
  void *context = nullptr;
  void *function = nullptr;
};

struct StatusRow {
  int32_t code;
  const char *reason;
};
constexpr StatusRow kStatusTable[] = {
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {204, "No Content"},
    {206, "Partial Content"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {304, "Not Modified"},
    {400, "Bad Request"},
    {401, "Authorization Required"},
    {403, "Forbidden"},
    {404, "Object Not Found"},
    {405, "Method Not Allowed"},
    {416, "Requested Range Not Satisfiable"},
    {429, "Too Many Requests"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {509, "Bandwidth Limit Exceeded"},
};

// A response's header lines, "Name: value\r\n" each, in the order their
// names were first set; a name set again keeps its place. A set that does
// not fit marks the block too large, and its response then fails.
struct HeaderLines {
  char text[kWebGetHeaderBlockBytes];
  int32_t length;
  int tooLarge;
};

constexpr const char *kPhaseNames[] = {"Unknown",        "Open",         "RequestHeader",
                                       "RequestBody",    "ResponseHeader", "ResponseBody",
                                       "ResponseFinish", "Linger",       "Close",
                                       "Done"};

}  // namespace

struct WebServerConnection {
  ObjectHeader header;
  WebServer *server;
  WebServerConnection *prev;
  WebServerConnection *next;
  AsyncSocket *socket;  // one reference
  DupStream *stream;
  // The request's header block as received, through its empty line; its
  // fields are looked up in it.
  char requestBlock[kWebServerHeaderLimitBytes + 1];
  HeaderLines responseHeaders;
  char method[kWebServerMethodBytes];
  char version[kWebServerVersionBytes];
  char url[kWebServerUrlBytes];
  char path[kWebServerPathBytes];
  char referer[kWebServerRefererBytes];
  char userAgent[kWebServerUserAgentBytes];
  const char *query;  // into url
  int32_t status;
  int64_t contentLength;
  int64_t bodyLength;
  int64_t bodyRead;
  int64_t written;
  WebServerPhase phase;
  double activity;
  double lingerStart;
  int32_t answers;  // answers completed on a kept connection
  int roomWait;     // accepted past the cap: waits in Open for room
  int headerSent;
  std::atomic<int> closeRequested;
  int closed;
  int persistent;
  int head;  // HEAD: body bytes are counted and discarded
  int drop;  // a write broke the framing: drop at the next run
  int ownAnswer;  // the server answers this request itself
  int inService;  // a service runs: reads and writes need no wake
  int writeDue;   // bytes were queued in this service: sent at its end
  int wroteAwaited;  // that send took bytes the connection waited to see go
  std::atomic<int> awaitingWrite;  // the write hook wakes us as bytes go
  // The body's file, sent by the socket's write loop once the outbound
  // buffer is empty; all three guarded by the outbound lock. fileFd is owned.
  int fileFd;
  int64_t fileOffset;
  int64_t fileLeft;
  int fileGiven;  // the body file was given (sent from the file or copied)
  void *userData;
  uint32_t remoteAddress;
  int32_t remotePort;
};

struct WebServer {
  ObjectHeader header;
  ClassLog log;  // its verbosity (8) turns on the header dumps
  void *logContext;
  WebServerLogFunction logFunction;
  std::atomic<int> running;
  std::atomic<uint32_t> threadId;
  Thread *thread;
  std::atomic<int> threadBegun;
  int threaded;
  int keepAlive;
  char defaultDocument[kWebServerDefaultDocumentBytes];
  std::atomic<double> now;  // also read by the accept hook
  double startTime;
  double stopTime;
  double dateSecond;  // the UTC second of dateText (server thread)
  char dateText[40];
  // The last time an owner set as Expires or Last-Modified and its text: a
  // file asked for again has the same (server thread).
  double stampTime;
  char stampText[64];
  CriticalSection *listLock;
  WebServerConnection *first;
  WebServerConnection *last;
  int32_t count;
  std::atomic<uint32_t> listenAddress;  // read by other threads in threaded mode
  std::atomic<int32_t> listenPort;
  uint32_t bindAddress;
  int32_t portIndex;
  std::vector<int32_t> ports;
  int32_t attempts;
  double lastAttempt;
  int32_t retrySeconds;
  // The system's error of the last listen attempt, 0 once one succeeded
  // (read by other threads in threaded mode).
  std::atomic<int32_t> listenError;
  // Requests refused for naming another host than 127.0.0.1 since the owner
  // last took the count, and the last such Host (server thread; the owner
  // takes them under the server's own step when pumped).
  std::atomic<int32_t> foreignRefused;
  char foreignHost[kWebServerForeignHostBytes];
  AsyncSocket *listener;
  int32_t idleSeconds;
  double lingerSeconds;
  // Pumped: when the step next services every connection (their own work
  // items serve their events; the sweep finds the time-outs). Server thread.
  double sweepDue;
  Cell open, request, post, response, write, close, runningCell;
};

namespace {

// ---- Logging --------------------------------------------------------------------------

// Nothing is formatted while no line would be written.
bool webServerLogging(WebServer *server) {
  return server->logFunction != nullptr || Log_IsEnabled();
}

void webServerLogV(WebServer *server, const char *format, va_list args) {
  if (!webServerLogging(server)) return;
  char line[kServerLogBytes];
  vsnprintf(line, sizeof line, format, args);
  if (server->logFunction != nullptr) {
    server->logFunction(server->logContext, line);
    return;
  }
  Log_Print(LOG_DEBUG, KSRC, 0, "WebServer - %s\n", line);
}

void webServerLog(WebServer *server, const char *format, ...) __attribute__((format(printf, 2, 3)));
void webServerLog(WebServer *server, const char *format, ...) {
  va_list args;
  va_start(args, format);
  webServerLogV(server, format, args);
  va_end(args);
}

void connectionLog(WebServerConnection *c, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void connectionLog(WebServerConnection *c, const char *format, ...) {
  if (!webServerLogging(c->server)) return;
  char line[kServerLogBytes];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  webServerLog(c->server, "Connection [%u.%u.%u.%u:%d] - %s", c->remoteAddress & 0xff,
               (c->remoteAddress >> 8) & 0xff, (c->remoteAddress >> 16) & 0xff,
               c->remoteAddress >> 24, c->remotePort, line);
}

std::string ipv4Text(uint32_t address) {
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", address & 0xff, (address >> 8) & 0xff,
           (address >> 16) & 0xff, address >> 24);
  return text;
}

void copyText(char *out, int size, const char *text, size_t length) {
  if (length >= size_t(size)) length = size_t(size) - 1;
  memcpy(out, text, length);
  out[length] = '\0';
}

bool equalsNoCase(const char *a, size_t length, const char *b) {
  return strlen(b) == length && strncasecmp(a, b, length) == 0;
}

// Decimal digits only, at most kWebServerLengthDigits of them.
bool parseDecimal(const char *text, size_t length, int64_t *value) {
  if (length == 0 || length > size_t(kWebServerLengthDigits)) return false;
  int64_t v = 0;
  for (size_t i = 0; i < length; i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

// ---- Header lines ---------------------------------------------------------------------

// The line of name in h (any case): its start, and where its value starts
// and ends (before "\r\n"). false when absent.
bool headerLinesFind(const HeaderLines *h, const char *name, size_t nameLength,
                     int32_t *valueStart, int32_t *valueEnd) {
  for (int32_t at = 0; at < h->length;) {
    const char *line = h->text + at;
    const char *next = static_cast<const char *>(memchr(line, '\n', size_t(h->length - at)));
    int32_t lineEnd = next != nullptr ? int32_t(next - h->text) - 1 : h->length;
    if (int32_t(nameLength) + 2 <= lineEnd - at && line[nameLength] == ':' &&
        strncasecmp(line, name, nameLength) == 0) {
      *valueStart = at + int32_t(nameLength) + 2;
      *valueEnd = lineEnd;
      return true;
    }
    at = lineEnd + 2;
  }
  return false;
}

bool headerLinesHas(const HeaderLines *h, const char *name) {
  int32_t start = 0, end = 0;
  return headerLinesFind(h, name, strlen(name), &start, &end);
}

void headerLinesClear(HeaderLines *h) {
  h->length = 0;
  h->tooLarge = 0;
}

// Sets name's value (the caller has checked both), in place when the name
// is there already.
void headerLinesSet(HeaderLines *h, const char *name, const char *value) {
  const size_t nameLength = strlen(name);
  const int32_t valueLength = int32_t(strlen(value));
  const int32_t room = int32_t(sizeof h->text);
  int32_t start = 0, end = 0;
  if (headerLinesFind(h, name, nameLength, &start, &end)) {
    int32_t grow = valueLength - (end - start);
    if (h->length + grow > room) {
      h->tooLarge = 1;
      return;
    }
    memmove(h->text + end + grow, h->text + end, size_t(h->length - end));
    memcpy(h->text + start, value, size_t(valueLength));
    h->length += grow;
    return;
  }
  int32_t line = int32_t(nameLength) + 2 + valueLength + 2;
  if (h->length + line > room) {
    h->tooLarge = 1;
    return;
  }
  char *p = h->text + h->length;
  memcpy(p, name, nameLength);
  memcpy(p + nameLength, ": ", 2);
  memcpy(p + nameLength + 2, value, size_t(valueLength));
  memcpy(p + nameLength + 2 + valueLength, "\r\n", 2);
  h->length += line;
}

// ---- Wakes and work items -------------------------------------------------------------

void connectionWorkItem(void *context);

// The connection whose queued bytes this thread is sending at the end of its
// service (connectionService), else NULL.
thread_local WebServerConnection *tSending = nullptr;

void wakeConnection(WebServerConnection *c) {
  WebServer *server = c->server;
  uint32_t id = server->threadId.load();
  if (id == 0 || !server->running.load()) return;
  if (server->threaded)
    Thread_Wake(id, 0);
  else
    EventQueue_PostCallbackToThread(id, c, connectionWorkItem);
}

// Bytes the connection waited to see go have gone. Sent by the server
// thread at the end of the connection's own service, the service goes on at
// once instead of through a work item of its own.
void wakeAfterWrite(WebServerConnection *c) {
  if (tSending == c)
    c->wroteAwaited = 1;
  else
    wakeConnection(c);
}

// ---- Socket hooks (I/O worker threads) ------------------------------------------------

int32_t hookReadSize(AsyncSocket *, void *context) {
  auto *c = static_cast<WebServerConnection *>(context);
  int32_t space = 0;
  DupStream_GetInboundSpace(c->stream, &space);
  return space;
}

void hookRead(AsyncSocket *, void *context, const uint8_t *data, int32_t count) {
  auto *c = static_cast<WebServerConnection *>(context);
  DupStream_WriteInbound(c->stream, data, count);
  wakeConnection(c);
}

int32_t hookWriteSize(AsyncSocket *, void *context) {
  auto *c = static_cast<WebServerConnection *>(context);
  int32_t length = 0;
  DupStream_GetOutboundLength(c->stream, &length);
  return length;
}

int32_t hookWrite(AsyncSocket *, void *context, uint8_t *buffer, int32_t maximum) {
  auto *c = static_cast<WebServerConnection *>(context);
  int32_t read = 0;
  DupStream_ReadOutbound(c->stream, buffer, maximum, &read);
  if (read > 0 && c->awaitingWrite.exchange(0)) wakeAfterWrite(c);
  return read;
}

// The file goes after the bytes queued before it, so only once the outbound
// buffer is empty; nothing is queued behind it while it goes.
void hookWriteFile(AsyncSocket *, void *context, AsyncSocketSendFile send, void *sender) {
  auto *c = static_cast<WebServerConnection *>(context);
  int64_t sent = 0;
  DupStream_LockOutbound(c->stream);
  int32_t queued = 0;
  DupStream_GetOutboundLength(c->stream, &queued);
  if (c->fileLeft > 0 && queued == 0) {
    sent = send(sender, c->fileFd, c->fileOffset, c->fileLeft);
    if (sent > 0) {
      c->fileOffset += sent;
      c->fileLeft -= sent;
    }
  }
  DupStream_UnlockOutbound(c->stream);
  if (sent > 0 && c->awaitingWrite.exchange(0)) wakeAfterWrite(c);
}

void hookClose(AsyncSocket *, void *context) {
  auto *c = static_cast<WebServerConnection *>(context);
  int expected = 0;
  c->closeRequested.compare_exchange_strong(expected, 1);
  // The connection's own work item sees the flag; a whole server step would
  // service every other connection too.
  wakeConnection(c);
}

void unhookSocket(AsyncSocket *s) {
  AsyncSocket_SetReadSizeCallback(s, nullptr, nullptr);
  AsyncSocket_SetReadCallback(s, nullptr, nullptr);
  AsyncSocket_SetWriteSizeCallback(s, nullptr, nullptr);
  AsyncSocket_SetWriteCallback(s, nullptr, nullptr);
  AsyncSocket_SetWriteFileCallback(s, nullptr, nullptr);
  AsyncSocket_SetCloseCallback(s, nullptr, nullptr);
}

// ---- Connections ----------------------------------------------------------------------

void connectionSetPhase(WebServerConnection *c, WebServerPhase phase) {
  if (c->phase == phase || c->phase == WebServerPhase::Done) return;
  connectionLog(c, "Phase change - %s > %s", WebServer_GetPhaseName(c->phase),
                WebServer_GetPhaseName(phase));
  if (phase == WebServerPhase::Linger) {
    WebServer *server = c->server;
    c->lingerStart = server->now;
    if (c->lingerStart + server->lingerSeconds < server->sweepDue)
      server->sweepDue = c->lingerStart + server->lingerSeconds;
  }
  c->phase = phase;
  c->activity = c->server->now;
}

void connectionReset(WebServerConnection *c) {
  c->method[0] = c->version[0] = c->url[0] = c->path[0] = '\0';
  c->referer[0] = c->userAgent[0] = '\0';
  c->requestBlock[0] = '\0';
  headerLinesClear(&c->responseHeaders);
  c->query = "";
  c->bodyLength = -1;
  c->contentLength = -1;
  c->bodyRead = c->written = 0;
  c->status = 0;
  c->headerSent = c->persistent = c->head = c->ownAnswer = c->fileGiven = 0;
  c->activity = c->server->now;
}

// Bytes still to go: the outbound buffer's and the body file's.
int64_t outboundLength(WebServerConnection *c) {
  int32_t length = 0;
  DupStream_LockOutbound(c->stream);
  DupStream_GetOutboundLength(c->stream, &length);
  int64_t left = length + c->fileLeft;
  DupStream_UnlockOutbound(c->stream);
  return left;
}

// Closes the body file (sent, or the connection goes).
void connectionCloseFile(WebServerConnection *c) {
  DupStream_LockOutbound(c->stream);
  int fd = c->fileFd;
  c->fileFd = -1;
  c->fileLeft = 0;
  DupStream_UnlockOutbound(c->stream);
  if (fd >= 0) Platform_CloseFile(fd);
}

// Queued bytes go out on this thread, without a hop to the I/O worker: at
// once outside a service, else at its end, so that a header and its body
// leave in one send.
void connectionStartWrite(WebServerConnection *c) {
  if (c->inService)
    c->writeDue = 1;
  else
    AsyncSocket_WriteNow(c->socket);
}

// 1 while the outbound buffer or the body file still holds bytes; the write
// hooks then wake the connection once some are taken. The flag goes up
// before the second look, so bytes taken in between are never missed.
int awaitOutboundDrain(WebServerConnection *c) {
  if (outboundLength(c) == 0) return 0;
  c->awaitingWrite.store(1);
  if (outboundLength(c) > 0) return 1;
  c->awaitingWrite.store(0);
  return 0;
}

int32_t inboundLength(WebServerConnection *c) {
  int32_t length = 0;
  DupStream_GetInboundLength(c->stream, &length);
  return length;
}

void connectionClose(WebServerConnection *c, int force) {
  if (c->phase == WebServerPhase::Done) return;
  if (!force && AsyncSocket_IsConnected(c->socket)) {
    if (awaitOutboundDrain(c)) return;
    if (AsyncSocket_IsWriting(c->socket)) {
      wakeConnection(c);  // see handleResponseFinish
      return;
    }
  }
  connectionLog(c, "Close connection [Phase %s Elapsed %.1fs]", WebServer_GetPhaseName(c->phase),
                c->server->now - c->activity);
  connectionSetPhase(c, WebServerPhase::Done);
  WebServer *server = c->server;
  if (server->close.function != nullptr)
    reinterpret_cast<WebServerCloseFunction>(server->close.function)(server, server->close.context,
                                                                     c);
  c->closed = 1;
  unhookSocket(c->socket);
  AsyncSocket_Close(c->socket);
}

void connectionWakeWaiting(WebServer *server);

void connectionDelete(WebServerConnection *c) {
  WebServer *server = c->server;
  CriticalSection_Enter(server->listLock);
  if (c->prev != nullptr) c->prev->next = c->next;
  else server->first = c->next;
  if (c->next != nullptr) c->next->prev = c->prev;
  else server->last = c->prev;
  server->count--;
  connectionWakeWaiting(server);
  CriticalSection_Leave(server->listLock);
  // The hooks are cleared (a running one waited for), so nothing posts again.
  unhookSocket(c->socket);
  connectionCloseFile(c);
  uint32_t id = server->threadId.load();
  if (id != 0 && !server->threaded) EventQueue_CancelForThread(id, uintptr_t(c));
  Class_ReleaseObject(&c->socket);
  DupStream_Release(&c->stream);
  c->header.classTag = 0;
  delete c;
}

// ---- Response header ------------------------------------------------------------------

void setDateHeader(WebServerConnection *c, const char *name, double utc) {
  WebServer *server = c->server;
  if (utc != server->stampTime || server->stampText[0] == '\0') {
    server->stampTime = utc;
    if (!Time_FormatHttpDate(kTimeFormatHttp, server->stampText, sizeof server->stampText, utc))
      server->stampText[0] = '\0';
  }
  if (server->stampText[0] != '\0') headerLinesSet(&c->responseHeaders, name, server->stampText);
}

void setStandardHeaders(WebServerConnection *c) {
  WebServer *server = c->server;
  headerLinesClear(&c->responseHeaders);
  headerLinesSet(&c->responseHeaders, "Server", kServerText);
  // The date text changes once a second; it is formatted once for all the
  // answers of that second.
  double utc = Time_NowUtc();
  if (utc != server->dateSecond || server->dateText[0] == '\0') {
    server->dateSecond = utc;
    Time_FormatHttpDate(kTimeFormatHttp, server->dateText, sizeof server->dateText, utc);
  }
  if (server->dateText[0] != '\0') headerLinesSet(&c->responseHeaders, "Date", server->dateText);
}

int writeResponseHeader(WebServerConnection *c) {
  c->headerSent = 1;
  connectionLog(c, "Response code set [%s:%d:%lld]", c->path, c->status,
                static_cast<long long>(c->contentLength));
  int32_t status = c->status;
  const char *reason = WebServer_GetStatusReason(status);
  if (status == 0 || reason == nullptr) {
    connectionLog(c, "Bad status message (%d)", status);
    status = 500;
    reason = "Response code not set";
  }
  HeaderLines *h = &c->responseHeaders;
  if (c->contentLength >= 0) {
    char digits[24];
    snprintf(digits, sizeof digits, "%lld", static_cast<long long>(c->contentLength));
    headerLinesSet(h, "Content-Length", digits);
    // An owner that serves whole bodies only says so ("none") itself.
    if (!c->ownAnswer && !headerLinesHas(h, "Accept-Ranges"))
      headerLinesSet(h, "Accept-Ranges", "bytes");
  } else {
    c->persistent = 0;
  }
  headerLinesSet(h, "Connection", c->persistent ? "keep-alive" : "close");
  // The lines and the empty one within a header block's room, as the client
  // side of the program reads them.
  if (h->tooLarge || h->length + 2 >= kWebGetHeaderBlockBytes) {
    connectionLog(c, "Response header too large");
    return 0;
  }
  char block[kWebGetHeaderBlockBytes + kStatusLineBytes];
  int line = snprintf(block, kStatusLineBytes, "HTTP/1.1 %d %s\r\n", status, reason);
  memcpy(block + line, h->text, size_t(h->length));
  memcpy(block + line + h->length, "\r\n", 3);
  size_t length = size_t(line + h->length + 2);
  if (Class_LogEnabled(&c->server->log, kWebServerVerboseLevel)) {
    char shown[sizeof block];
    WebGet_MaskSecretHeaders(block, int(length) - 2, shown, int(sizeof shown));
    connectionLog(c, "---- Header Out Begin ----\n%s---- Header Out End ----", shown);
  }
  if (!DupStream_WriteOutbound(c->stream, block, int32_t(length))) return 0;
  connectionStartWrite(c);
  return 1;
}

// The server's own answer: status line, "Server", "Date", "Content-Length: 0",
// "Connection: close"; the request's body is never read.
void answerOwn(WebServerConnection *c, int32_t status) {
  c->ownAnswer = 1;
  c->persistent = 0;
  c->status = status;
  c->contentLength = 0;
  c->bodyLength = -1;
  setStandardHeaders(c);
  connectionSetPhase(c, WebServerPhase::ResponseFinish);
}

// ---- Phase handlers -------------------------------------------------------------------

int handleRequestHeader(WebServerConnection *c) {
  WebServer *server = c->server;
  int32_t available = inboundLength(c);
  if (available <= 0) return 1;
  int32_t peek = available < kWebServerHeaderLimitBytes ? available : kWebServerHeaderLimitBytes;
  char *block = c->requestBlock;
  MemoryStream *inbound = nullptr;
  DupStream_GetInboundStream(c->stream, &inbound);
  int32_t got = 0;
  DupStream_LockInbound(c->stream);
  MemoryStream_ReadAt(inbound, block, 0, peek, &got);
  DupStream_UnlockInbound(c->stream);
  const void *mark = memmem(block, size_t(got), "\r\n\r\n", 4);
  if (mark == nullptr) {
    if (got >= kWebServerHeaderLimitBytes) {
      connectionLog(c, "Header too large");
      return 0;
    }
    return 1;
  }
  int32_t headerLength = int32_t(static_cast<const char *>(mark) - block) + 4;
  if (headerLength >= kWebServerHeaderLimitBytes) {
    connectionLog(c, "Header too large");
    return 0;
  }
  int32_t read = 0;
  if (!DupStream_ReadInbound(c->stream, nullptr, headerLength, &read) || read != headerLength) {
    connectionLog(c, "Bad stream reading request headers");
    return 0;
  }
  // A NUL inside ends the block for the lookups, as it ends the text.
  block[headerLength] = '\0';
  WebServerRequestInfo info;
  int32_t refusal = WebServer_CheckRequest(block, headerLength, server->listenPort,
                                           server->defaultDocument, &info);
  if (info.malformed) {
    connectionLog(c, "Malformed request headers");
    return 0;
  }
  copyText(c->method, sizeof c->method, info.method, strlen(info.method));
  copyText(c->url, sizeof c->url, info.url, strlen(info.url));
  copyText(c->path, sizeof c->path, info.path, strlen(info.path));
  copyText(c->version, sizeof c->version, info.version, strlen(info.version));
  const char *query = strchr(c->url, '?');
  c->query = query != nullptr ? query + 1 : "";
  c->head = strcasecmp(c->method, "HEAD") == 0;
  c->bodyLength = info.bodyLength;
  WebServer_GetRequestHeader(server, c, "Referer", c->referer, sizeof c->referer);
  WebServer_GetRequestHeader(server, c, "User-Agent", c->userAgent, sizeof c->userAgent);
  char connection[64];
  if (server->keepAlive &&
      WebServer_GetRequestHeader(server, c, "Connection", connection, sizeof connection) &&
      strcasecmp(connection, "Keep-Alive") == 0)
    c->persistent = 1;
  if (Class_LogEnabled(&server->log, kWebServerVerboseLevel)) {
    connectionLog(c, "Method [%s]", c->method);
    connectionLog(c, "URL [%s] [%s]", c->url, c->path);
    connectionLog(c, "Query (%lld) [%s]", static_cast<long long>(c->bodyLength), c->query);
    connectionLog(c, "User Agent [%s]", c->userAgent);
    connectionLog(c, "Version [%s]", c->version);
    connectionLog(c, "Persistent [%s]", c->persistent ? "True" : "False");
    char shown[kWebGetHeaderBlockBytes];
    WebGet_MaskSecretHeaders(block, headerLength - 4, shown, int(sizeof shown));
    connectionLog(c, "---- Header In Begin ----\n%s", shown);
  }
  if (refusal == 0 && c->bodyLength > 0 &&
      (strcasecmp(c->method, "POST") != 0 || server->post.function == nullptr)) {
    connectionLog(c, "POST requests not supported by WebServer");
    refusal = 501;
  }
  if (refusal != 0 && info.foreignHost[0] != '\0') {
    copyText(server->foreignHost, sizeof server->foreignHost, info.foreignHost,
             strlen(info.foreignHost));
    server->foreignRefused.fetch_add(1);
  }
  if (refusal != 0) {
    connectionLog(c, "Refused request [%s] (%d)", c->url, refusal);
    answerOwn(c, refusal);
    return 1;
  }
  if (server->request.function != nullptr)
    reinterpret_cast<WebServerRequestFunction>(server->request.function)(
        server, server->request.context, c);
  connectionSetPhase(c, c->bodyLength > 0 ? WebServerPhase::RequestBody
                                          : WebServerPhase::ResponseHeader);
  return 1;
}

int handleRequestBody(WebServerConnection *c) {
  WebServer *server = c->server;
  int64_t available = inboundLength(c);
  if (available > c->bodyLength - c->bodyRead) available = c->bodyLength - c->bodyRead;
  if (available > 0 && server->post.function != nullptr)
    reinterpret_cast<WebServerPostFunction>(server->post.function)(server, server->post.context, c,
                                                                   int32_t(available));
  if (c->bodyRead >= c->bodyLength) connectionSetPhase(c, WebServerPhase::ResponseHeader);
  return 1;
}

int handleResponseHeader(WebServerConnection *c) {
  WebServer *server = c->server;
  setStandardHeaders(c);
  const char *type = nullptr;
  const char *subtype = nullptr;
  char contentType[128];
  if (Mime_GetType(c->path, &type, &subtype))
    snprintf(contentType, sizeof contentType, "%s/%s", type, subtype);
  else
    snprintf(contentType, sizeof contentType, "application/octet-stream");
  headerLinesSet(&c->responseHeaders, "Content-Type", contentType);
  int body = 1;
  if (server->response.function != nullptr)
    body = reinterpret_cast<WebServerResponseFunction>(server->response.function)(
               server, server->response.context, c) == 1;
  connectionSetPhase(c, body ? WebServerPhase::ResponseBody : WebServerPhase::ResponseFinish);
  return 1;
}

int32_t outboundSpace(WebServerConnection *c) {
  int32_t space = 0;
  DupStream_GetOutboundSpace(c->stream, &space);
  return space;
}

int handleResponseBody(WebServerConnection *c) {
  WebServer *server = c->server;
  if (!c->headerSent && !writeResponseHeader(c)) return 0;
  int32_t space = outboundSpace(c);
  if (space <= 0) {
    c->awaitingWrite.store(1);  // as in awaitOutboundDrain
    space = outboundSpace(c);
    if (space <= 0) return 1;
    c->awaitingWrite.store(0);
  }
  int more = 0;
  if (server->write.function != nullptr)
    more = reinterpret_cast<WebServerWriteFunction>(server->write.function)(
        server, server->write.context, c, space);
  if (c->drop) return 0;
  if (more == 0) {
    connectionSetPhase(c, WebServerPhase::ResponseFinish);
    return 1;
  }
  // More to come: at the next turn while there is room, else once the write
  // hook has made some.
  c->awaitingWrite.store(1);
  if (outboundSpace(c) > 0) {
    c->awaitingWrite.store(0);
    wakeConnection(c);
  }
  return 1;
}

// 1 while the body file still has bytes to go (the next request's answer
// must not pass it); the write-file hook then wakes the connection.
int awaitFileSent(WebServerConnection *c) {
  DupStream_LockOutbound(c->stream);
  int waiting = c->fileLeft > 0;
  if (waiting) c->awaitingWrite.store(1);
  DupStream_UnlockOutbound(c->stream);
  return waiting;
}

int handleResponseFinish(WebServerConnection *c) {
  if (!c->head && c->contentLength > 0 && c->contentLength != c->written) {
    connectionLog(c, "Content length mismatch [%lld:%lld]",
                  static_cast<long long>(c->contentLength), static_cast<long long>(c->written));
    return 0;
  }
  if (!c->headerSent && !writeResponseHeader(c)) return 0;
  if (awaitFileSent(c)) return 1;
  connectionCloseFile(c);
  if (c->persistent) {
    c->answers++;
    connectionReset(c);
    connectionSetPhase(c, WebServerPhase::RequestHeader);
    return 1;
  }
  if (awaitOutboundDrain(c)) return 1;
  if (AsyncSocket_IsWriting(c->socket)) {
    // The last bytes are taken and on their way; the loop ends without
    // another wake, so come back at the next turn of the queue.
    wakeConnection(c);
    return 1;
  }
  AsyncSocket_ShutdownSend(c->socket);
  if (!AsyncSocket_IsConnected(c->socket)) return 0;
  connectionSetPhase(c, WebServerPhase::Linger);
  return 1;
}

int handleLinger(WebServerConnection *c) {
  // Whatever the peer still sends is of no use any more.
  int32_t read = 0;
  int32_t length = inboundLength(c);
  if (length > 0) DupStream_ReadInbound(c->stream, nullptr, length, &read);
  if (c->server->now - c->lingerStart >= c->server->lingerSeconds) {
    connectionLog(c, "Forcing connection close");
    AsyncSocket_Close(c->socket);
  }
  return 1;
}

// How much a connection is worth keeping when room is needed: 0 for one
// lingering after its answer, 1 for a kept one waiting for its next request,
// 2 for one silent since it was accepted; -1 for one that must stay (bytes
// of a request arrived, the request is answered, or it may be arriving).
int connectionSpareRank(WebServerConnection *c) {
  if (c->closed || c->roomWait) return -1;
  if (c->phase == WebServerPhase::Linger) return 0;
  if (c->phase != WebServerPhase::RequestHeader || inboundLength(c) > 0) return -1;
  if (c->answers > 0) return 1;
  return c->server->now - c->activity >= kWebServerSilentSeconds ? 2 : -1;
}

// Room for the new connection c within kWebServerMaxConnections served ones:
// the spare connection of the lowest rank goes, the earliest to linger or
// the one with the oldest activity among its rank (the first in the list
// among equals). 0 when none is spare: c then waits in Open, reading but
// unanswered, and the next service after a connection goes looks again.
// Called under the list lock on the server thread, so the close callback
// runs where the owner expects it; the closed connection is deleted at its
// next service.
int connectionMakeRoom(WebServerConnection *c) {
  WebServer *server = c->server;
  int32_t served = 0;
  WebServerConnection *spare = nullptr;
  int spareRank = 3;  // above every rank: the first spare one is taken
  double spareAge = 0;
  for (WebServerConnection *other = server->first; other != nullptr; other = other->next) {
    if (other == c || other->closed || other->phase == WebServerPhase::Open) continue;
    served++;
    int rank = connectionSpareRank(other);
    if (rank < 0 || rank > spareRank) continue;
    double age = rank == 0 ? other->lingerStart : other->activity;
    if (rank < spareRank || age < spareAge) {
      spare = other;
      spareRank = rank;
      spareAge = age;
    }
  }
  if (served < kWebServerMaxConnections) {
    c->roomWait = 0;
    return 1;
  }
  if (spare == nullptr) {
    if (!c->roomWait) connectionLog(c, "Too many connections [%d]: waiting for room", served + 1);
    c->roomWait = 1;
    return 0;
  }
  connectionLog(spare, "Too many connections [%d]: closing a spare one", served + 1);
  connectionClose(spare, 1);
  server->sweepDue = 0;  // the next step deletes it
  c->roomWait = 0;
  return 1;
}

// A connection went: the first one waiting for room is served now.
void connectionWakeWaiting(WebServer *server) {
  for (WebServerConnection *c = server->first; c != nullptr; c = c->next)
    if (c->roomWait && !c->closed) {
      wakeConnection(c);
      return;
    }
}

// Bytes queued while no write loop ran (a meter held it back) go out at the
// end of the service; the read loop, stopped while the inbound buffer was
// full, starts again once there is room.
void connectionKeepMoving(WebServerConnection *c, bool writes) {
  if (c->phase >= WebServerPhase::Close) return;
  if (writes && outboundLength(c) > 0) connectionStartWrite(c);
  int32_t space = 0;
  DupStream_GetInboundSpace(c->stream, &space);
  if (space > 0) AsyncSocket_StartRead(c->socket);
}

// One service of a connection: 0 drops it.
int connectionRun(WebServerConnection *c) {
  WebServer *server = c->server;
  WebServerPhase before;
  // The phases' own writes ask for their send themselves, so the queue is
  // looked at once; the room for reads again after the phases took bytes.
  connectionKeepMoving(c, true);
  do {
    before = c->phase;
    if (c->drop) return 0;
    int result = 1;
    switch (c->phase) {
      case WebServerPhase::Open: {
        if (!c->roomWait)
          connectionLog(c, "Open connection [%s:%d]", ipv4Text(c->remoteAddress).c_str(),
                        c->remotePort);
        if (!connectionMakeRoom(c)) break;  // waits in Open for room
        int keep = 1;
        if (server->open.function != nullptr)
          keep = reinterpret_cast<WebServerOpenFunction>(server->open.function)(
              server, server->open.context, c);
        connectionSetPhase(c, keep ? WebServerPhase::RequestHeader : WebServerPhase::Close);
        break;
      }
      case WebServerPhase::RequestHeader: result = handleRequestHeader(c); break;
      case WebServerPhase::RequestBody: result = handleRequestBody(c); break;
      case WebServerPhase::ResponseHeader: result = handleResponseHeader(c); break;
      case WebServerPhase::ResponseBody: result = handleResponseBody(c); break;
      case WebServerPhase::ResponseFinish: result = handleResponseFinish(c); break;
      case WebServerPhase::Linger: result = handleLinger(c); break;
      case WebServerPhase::Close: connectionClose(c, 0); break;
      case WebServerPhase::Done: break;
      default:
        connectionLog(c, "Unknown state (%d)", int(c->phase));
        result = 0;
    }
    if (!result || c->drop) return 0;
  } while (c->phase != before);
  connectionKeepMoving(c, false);
  int expected = 1;
  if (c->closeRequested.compare_exchange_strong(expected, 0)) {
    connectionSetPhase(c, WebServerPhase::Close);
  } else if (server->idleSeconds >= 1 && c->phase != WebServerPhase::Done &&
             server->now - c->activity > server->idleSeconds) {
    connectionLog(c, "Timeout [%.1f]", server->now - c->activity);
    connectionSetPhase(c, WebServerPhase::Close);
  }
  if (c->phase == WebServerPhase::Close) connectionClose(c, 0);
  return 1;
}

void connectionService(WebServerConnection *c) {
  c->inService = 1;
  if (!c->closed && !connectionRun(c)) connectionClose(c, 1);
  c->inService = 0;
  // What the run queued goes out now; when that lets the connection go on
  // (the answer's last bytes left, the next request can be read), it runs
  // again here.
  while (c->writeDue && !c->closed) {
    c->writeDue = 0;
    c->wroteAwaited = 0;
    tSending = c;
    AsyncSocket_WriteNow(c->socket);
    tSending = nullptr;
    if (!c->wroteAwaited) break;
    c->inService = 1;
    if (!connectionRun(c)) connectionClose(c, 1);
    c->inService = 0;
  }
  c->writeDue = 0;
  if (c->closed) connectionDelete(c);
}

void connectionWorkItem(void *context) {
  auto *c = static_cast<WebServerConnection *>(context);
  WebServer *server = c->server;
  CriticalSection_Enter(server->listLock);
  server->now = Platform_GetTickSeconds();
  connectionService(c);
  CriticalSection_Leave(server->listLock);
}

// ---- Accept ---------------------------------------------------------------------------

RefusalLog gRefusals;  // every server's refused connections, by peer uid

// The client end of an accepted connection is a socket of our own effective
// user. Anyone on the machine can reach 127.0.0.1; another user (root's
// server included) is closed before a byte of theirs is read.
bool acceptFromOwnUser(AsyncSocket *accepted) {
  uint32_t remote = 0, local = 0;
  int32_t remotePort = 0, localPort = 0;
  uint32_t owner = kPlatformNoUser;
  if (AsyncSocket_GetAddress(accepted, &remote, &remotePort) &&
      AsyncSocket_GetLocalAddress(accepted, &local, &localPort) &&
      Platform_GetLoopbackPeerOwner(local, localPort, remote, remotePort, &owner) &&
      owner == Platform_GetEffectiveUserId())
    return true;
  // The accept hook runs on an I/O worker: the core log, not the owner's
  // sink. DEBUG, like every connection's lines; a uid's first refusal, then
  // its count now and then, so that another user's flood of connections
  // cannot flood the log as well.
  if (!RefusalLog_Note(&gRefusals, owner, LOG_DEBUG, "WebServer - ")) return false;
  if (owner == kPlatformNoUser)
    Log_Print(LOG_DEBUG, KSRC, 0, "WebServer - Refused connection [%s:%d]: no owner found\n",
              ipv4Text(remote).c_str(), remotePort);
  else
    Log_Print(LOG_DEBUG, KSRC, 0, "WebServer - Refused connection [%s:%d] of user %u\n",
              ipv4Text(remote).c_str(), remotePort, owner);
  return false;
}

int hookAccept(AsyncSocket *, void *context, AsyncSocket *accepted) {
  auto *server = static_cast<WebServer *>(context);
  if (!acceptFromOwnUser(accepted)) return 0;
  auto *c = new WebServerConnection{};
  c->fileFd = -1;
  c->header.classTag = kWebServerConnectionTag;
  c->header.refCount.store(1);
  c->server = server;
  c->socket = static_cast<AsyncSocket *>(Class_Retain(accepted));
  DupStream_Create(&c->stream);
  AsyncSocket_GetAddress(accepted, &c->remoteAddress, &c->remotePort);
  AsyncSocket_SetOption(accepted, IPPROTO_TCP, TCP_NODELAY, 1);
  AsyncSocket_SetLinger(accepted);
  CriticalSection_Enter(server->listLock);
  connectionReset(c);
  c->activity = Platform_GetTickSeconds();
  c->phase = WebServerPhase::Open;
  c->prev = server->last;
  if (server->last != nullptr) server->last->next = c;
  else server->first = c;
  server->last = c;
  server->count++;
  AsyncSocket_SetReadSizeCallback(accepted, c, hookReadSize);
  AsyncSocket_SetReadCallback(accepted, c, hookRead);
  AsyncSocket_SetWriteSizeCallback(accepted, c, hookWriteSize);
  AsyncSocket_SetWriteCallback(accepted, c, hookWrite);
  AsyncSocket_SetWriteFileCallback(accepted, c, hookWriteFile);
  AsyncSocket_SetCloseCallback(accepted, c, hookClose);
  AsyncSocket_StartRead(accepted);
  wakeConnection(c);  // under the lock: the connection cannot go before its post
  CriticalSection_Leave(server->listLock);
  return 1;
}

// ---- Server step ----------------------------------------------------------------------

int serverListen(WebServer *server, int32_t port) {
  AsyncSocket_Close(server->listener);
  server->listenAddress = 0;
  server->listenPort = 0;
  if (port < 0) port = 0;
  std::string at = ipv4Text(server->bindAddress);
  if (!AsyncSocket_Open(server->listener)) {
    webServerLog(server, "Unable to bind for listen (%s:%d) [%d]", at.c_str(), port,
                 AsyncSocket_GetError(server->listener));
    server->listenError.store(AsyncSocket_GetError(server->listener));
    return 0;
  }
  AsyncSocket_SetOption(server->listener, SOL_SOCKET, SO_REUSEADDR, 1);
  if (!AsyncSocket_Bind(server->listener, server->bindAddress, port)) {
    webServerLog(server, "Unable to bind for listen (%s:%d) [%d]", at.c_str(), port,
                 AsyncSocket_GetError(server->listener));
    server->listenError.store(AsyncSocket_GetError(server->listener));
    AsyncSocket_Close(server->listener);
    return 0;
  }
  if (!AsyncSocket_Listen(server->listener)) {
    webServerLog(server, "Unable to listen (%s:%d) [%d]", at.c_str(), port,
                 AsyncSocket_GetError(server->listener));
    server->listenError.store(AsyncSocket_GetError(server->listener));
    AsyncSocket_Close(server->listener);
    return 0;
  }
  uint32_t address = 0;
  int32_t bound = 0;
  AsyncSocket_GetLocalAddress(server->listener, &address, &bound);
  server->listenAddress.store(address);
  server->listenPort.store(bound);
  server->listenError.store(0);
  webServerLog(server, "Listening for incoming connections (%s:%d)", ipv4Text(address).c_str(),
               bound);
  return 1;
}

// When the connections' next timed work is due (an idle time-out, the end of
// a linger, a closed one to delete), at most kWebServerLongestWaitMs ahead.
// Under the list lock.
double serverNextSweep(WebServer *server) {
  // A time-out fires once its time has passed, not at it.
  constexpr double kPastSeconds = 0.001;
  double due = server->now + kWebServerLongestWaitMs / 1000.0;
  for (WebServerConnection *c = server->first; c != nullptr; c = c->next) {
    if (c->closed || c->phase == WebServerPhase::Done) return server->now;
    if (server->idleSeconds >= 1)
      due = std::min(due, c->activity + server->idleSeconds + kPastSeconds);
    if (c->phase == WebServerPhase::Linger)
      due = std::min(due, c->lingerStart + server->lingerSeconds);
  }
  return due;
}

void serverStep(WebServer *server) {
  if (!server->running.load()) return;
  server->now = Platform_GetTickSeconds();
  int need = 0;
  int32_t candidate = 0;
  if (!server->ports.empty()) {
    if (size_t(server->portIndex) >= server->ports.size()) server->portIndex = 0;
    need = 1;
    for (int32_t port : server->ports)
      if (port == server->listenPort || port == 0) {
        need = 0;
        break;
      }
    candidate = server->ports[size_t(server->portIndex)];
  } else {
    need = server->listenPort == 0;
  }
  if (server->listenAddress != server->bindAddress) need = 1;
  int listened = 0;
  if (need && (server->attempts == 0 || server->lastAttempt == 0 ||
               server->now - server->lastAttempt > server->retrySeconds)) {
    listened = serverListen(server, candidate);
    server->lastAttempt = server->now;
    server->portIndex++;
    server->attempts++;
  }
  if (AsyncSocket_IsOpen(server->listener)) AsyncSocket_StartAccept(server->listener);
  if (listened && server->runningCell.function != nullptr) {
    uint32_t address = server->listenAddress.load();
    reinterpret_cast<WebServerRunningFunction>(server->runningCell.function)(
        server, server->runningCell.context, &address, server->listenPort.load());
  }
  CriticalSection_Enter(server->listLock);
  if (server->threaded || server->now >= server->sweepDue) {
    for (WebServerConnection *c = server->first, *next = nullptr; c != nullptr; c = next) {
      next = c->next;
      connectionService(c);
    }
    server->sweepDue = serverNextSweep(server);
  }
  CriticalSection_Leave(server->listLock);
}

void serverBeginRunning(WebServer *server) {
  server->now = Platform_GetTickSeconds();
  server->threadId.store(Thread_GetCurrentId());
  server->startTime = server->now;
  server->stopTime = 0;
  server->running.store(1);
  webServerLog(server, "Running [%u]", server->threadId.load());
  AsyncSocket_SetAcceptCallback(server->listener, server, hookAccept);
}

void serverEndRunning(WebServer *server) {
  AsyncSocket_SetAcceptCallback(server->listener, nullptr, nullptr);
  AsyncSocket_Close(server->listener);
  server->listenAddress = 0;
  server->listenPort = 0;
  CriticalSection_Enter(server->listLock);
  server->now = Platform_GetTickSeconds();
  while (server->first != nullptr) {
    WebServerConnection *c = server->first;
    connectionClose(c, 1);
    connectionDelete(c);
  }
  CriticalSection_Leave(server->listLock);
  server->stopTime = server->now;
  server->running.store(0);
  char duration[128];
  Time_FormatDuration(duration, sizeof duration, server->stopTime - server->startTime);
  webServerLog(server, "Uptime - %s", duration);
  // What the last interval counted of other users' connections.
  RefusalLog_Flush(&gRefusals, LOG_DEBUG, "WebServer - ");
}

// Seconds from now until when, as whole milliseconds rounded up (a wake a
// little late finds the work due; one a little early would go round again).
int32_t serverMsUntil(WebServer *server, double when, int32_t longest) {
  double ms = (when - server->now) * 1000.0;
  if (ms <= 0) return 0;
  return ms >= double(longest) ? longest : int32_t(ms) + 1;
}

int32_t serverWaitMs(WebServer *server) {
  if (!server->running.load()) return kWebServerLongestWaitMs;
  server->now = Platform_GetTickSeconds();
  double due = server->sweepDue;
  if (server->listenPort.load() == 0)
    due = std::min(due, server->lastAttempt + server->retrySeconds);
  return serverMsUntil(server, due, kWebServerLongestWaitMs);
}

int serverThread(void *userData) {
  auto *server = static_cast<WebServer *>(userData);
  serverBeginRunning(server);
  server->threadBegun.store(1);
  while (!Thread_Sleep(0)) {
    Thread_FlushEvents();
    serverStep(server);
    // Until the next timed work; socket events, posts and a stop wake us.
    Thread_WaitForWake(serverWaitMs(server));
  }
  serverEndRunning(server);
  return 0;
}

WebServer *checkServer(WebServer *server) {
  CLASS_CHECK(server, kWebServerTag);
  return server;
}

WebServerConnection *checkConnection(WebServer *server, WebServerConnection *c) {
  CLASS_CHECK(server, kWebServerTag);
  CLASS_CHECK(c, kWebServerConnectionTag);
  return c;
}

void serverDestroy(void **object) {
  auto **server = reinterpret_cast<WebServer **>(object);
  WebServer_Release(server);
}

// ---- Request text ---------------------------------------------------------------------

// The one name the server is bound to and printed under: 127.0.0.1. Not
// "localhost", which a browser may resolve to ::1, where another user can
// listen on the same port. Host "127.0.0.1:port"; without ":port" only on 80.
constexpr const char kLoopbackName[] = "127.0.0.1";

bool hostAllowed(const char *value, size_t length, int32_t port) {
  char expected[64];
  snprintf(expected, sizeof expected, "%s:%d", kLoopbackName, port);
  return equalsNoCase(value, length, expected) ||
         (port == 80 && equalsNoCase(value, length, kLoopbackName));
}

bool originAllowed(const char *value, size_t length, int32_t port) {
  char expected[80];
  snprintf(expected, sizeof expected, "http://%s:%d", kLoopbackName, port);
  if (equalsNoCase(value, length, expected)) return true;
  if (port != 80) return false;
  snprintf(expected, sizeof expected, "http://%s", kLoopbackName);
  return equalsNoCase(value, length, expected);
}

}  // namespace

// ---- Names ----------------------------------------------------------------------------

const char *WebServer_GetPhaseName(WebServerPhase phase) {
  int index = int(phase);
  if (index < 0 || index >= int(sizeof kPhaseNames / sizeof kPhaseNames[0])) return "Unknown";
  return kPhaseNames[index];
}

const char *WebServer_GetStatusReason(int32_t status) {
  for (const StatusRow &row : kStatusTable)
    if (row.code == status) return row.reason;
  return nullptr;
}

// ---- Request text ---------------------------------------------------------------------

int WebServer_DecodePath(const char *target, const char *defaultDocument, char *out, int size) {
  out[0] = '\0';
  if (target[0] != '/') return 0;
  size_t rawLength = strcspn(target, "?#");
  // Not zeroed first: only the written bytes are read.
  char room[kWebServerPathBytes + 1];
  int written = 0;
  if (!Url_DecodeN(target, int(rawLength), room, int(sizeof room), &written)) return 0;
  std::string decoded(room, size_t(written));
  for (unsigned char ch : decoded)
    if (ch < 0x20 || ch == 0x7f || ch == '\\') return 0;
  // Collapse "//" and "/./"; any ".." segment refuses the path.
  std::string path;
  size_t at = 0;
  while (at < decoded.size()) {
    size_t slash = decoded.find('/', at + 1);
    if (slash == std::string::npos) slash = decoded.size();
    std::string segment = decoded.substr(at + 1, slash - at - 1);
    at = slash;
    if (segment == "..") return 0;
    if (segment.empty() || segment == ".") {
      if (at >= decoded.size() && !path.empty() && path.back() != '/') path += '/';
      continue;
    }
    path += '/';
    path += segment;
  }
  if (path.empty()) path.push_back('/');
  if (path == "/" && defaultDocument != nullptr) path += defaultDocument;
  if (path.size() >= size_t(size) || path.size() >= size_t(kWebServerPathBytes)) return 0;
  memcpy(out, path.c_str(), path.size() + 1);
  return 1;
}

int32_t WebServer_CheckRequest(const char *block, int32_t length, int32_t port,
                               const char *defaultDocument, WebServerRequestInfo *info) {
  // Field by field: the whole record is some 12 KiB of text room, more than
  // the rest of a request's parse costs.
  info->method[0] = info->foreignHost[0] = info->url[0] = info->path[0] = info->version[0] = '\0';
  info->malformed = info->chunked = 0;
  info->bodyLength = -1;
  std::string text(block, size_t(length));
  size_t lineEnd = text.find("\r\n");
  if (lineEnd == std::string::npos) {
    info->malformed = 1;
    return 400;
  }
  // The request line: method, target, "HTTP/version".
  std::vector<std::string> words;
  for (size_t at = 0; at < lineEnd;) {
    size_t blank = text.find_first_of(" \t", at);
    if (blank == std::string::npos || blank > lineEnd) blank = lineEnd;
    if (blank > at) words.push_back(text.substr(at, blank - at));
    at = blank + 1;
  }
  if (words.size() < 3 || words[2].find('/') == std::string::npos) {
    info->malformed = 1;
    return 400;
  }
  copyText(info->method, sizeof info->method, words[0].data(), words[0].size());
  copyText(info->url, sizeof info->url, words[1].data(), words[1].size());
  const std::string &version = words[2];
  size_t slash = version.find('/');
  copyText(info->version, sizeof info->version, version.data() + slash + 1,
           version.size() - slash - 1);
  int32_t refusal = 0;
  auto refuse = [&refusal](int32_t status) {
    if (refusal == 0) refusal = status;
  };
  int hosts = 0;
  bool hostOk = false;
  bool originOk = true;
  bool lengthSeen = false;
  for (size_t at = lineEnd + 2; at < text.size();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    if (end == at) break;
    const char *line = text.data() + at;
    size_t lineLength = end - at;
    at = end + 2;
    const char *colon = static_cast<const char *>(memchr(line, ':', lineLength));
    if (colon == nullptr) continue;
    size_t nameLength = size_t(colon - line);
    const char *value = colon + 1;
    const char *valueEnd = line + lineLength;
    while (value < valueEnd && (*value == ' ' || *value == '\t')) value++;
    while (valueEnd > value && (valueEnd[-1] == ' ' || valueEnd[-1] == '\t')) valueEnd--;
    size_t valueLength = size_t(valueEnd - value);
    if (equalsNoCase(line, nameLength, "Host")) {
      hosts++;
      hostOk = hostAllowed(value, valueLength, port);
      if (!hostOk)
        copyText(info->foreignHost, sizeof info->foreignHost, value, size_t(valueLength));
    } else if (equalsNoCase(line, nameLength, "Origin")) {
      if (!originAllowed(value, valueLength, port)) originOk = false;
    } else if (equalsNoCase(line, nameLength, "Content-Length")) {
      int64_t parsed = 0;
      if (!parseDecimal(value, valueLength, &parsed) ||
          (lengthSeen && parsed != info->bodyLength))
        refuse(400);
      lengthSeen = true;
      info->bodyLength = parsed;
    } else if (equalsNoCase(line, nameLength, "Transfer-Encoding")) {
      info->chunked = 1;
    }
  }
  if (hosts != 1) refuse(400);
  else if (!hostOk) refuse(403);
  if (!originOk) refuse(403);
  if (!WebServer_DecodePath(info->url, defaultDocument, info->path, sizeof info->path))
    refuse(400);
  if (refusal == 0 && info->chunked) refusal = 501;
  if (refusal != 0 && info->bodyLength < 0) info->bodyLength = -1;
  return refusal;
}

int WebServer_ParseRange(const char *value, int64_t total, int64_t *start, int64_t *end) {
  const char *equals = strchr(value, '=');
  if (equals == nullptr) return 0;
  size_t unit = size_t(equals - value);
  while (unit > 0 && (value[unit - 1] == ' ' || value[unit - 1] == '\t')) unit--;
  if (!equalsNoCase(value, unit, "bytes")) return 0;
  const char *range = equals + 1;
  while (*range == ' ' || *range == '\t') range++;
  const char *dash = strchr(range, '-');
  if (dash == nullptr) return 0;
  const char *after = dash + 1;
  size_t afterLength = strcspn(after, ", \t");
  int64_t first = 0;
  int64_t last = 0;
  if (dash == range) {  // "-N": the last N bytes
    if (!parseDecimal(after, afterLength, &last) || last == 0 || total <= 0) return 0;
    *start = last >= total ? 0 : total - last;
    *end = total - 1;
    return 1;
  }
  if (!parseDecimal(range, size_t(dash - range), &first)) return 0;
  if (first >= total) return 0;
  if (afterLength == 0) {
    last = total - 1;
  } else {
    if (!parseDecimal(after, afterLength, &last) || last < first) return 0;
    if (last > total - 1) last = total - 1;
  }
  *start = first;
  *end = last;
  return 1;
}

// ---- Set-up and life ------------------------------------------------------------------

int WebServer_Create(WebServer **server) {
  CHECK_POINTER(server);
  *server = nullptr;
  auto *s = new WebServer{};
  s->header.classTag = kWebServerTag;
  s->header.refCount.store(1);
  s->header.destroy = serverDestroy;
  s->log.object = s;
  s->log.className = "WebServer";
  snprintf(s->defaultDocument, sizeof s->defaultDocument, "default.htm");
  CriticalSection_Create(&s->listLock);
  s->bindAddress = kLoopbackAddress;
  s->ports.push_back(80);
  s->retrySeconds = kWebServerDefaultRetrySeconds;
  s->idleSeconds = kWebServerDefaultIdleSeconds;
  s->lingerSeconds = kWebServerLingerSeconds;
  AsyncSocket_Create(&s->listener);
  *server = s;
  return 1;
}

int WebServer_Release(WebServer **server) {
  CHECK_POINTER(server);
  WebServer *s = *server;
  if (s == nullptr) return 1;
  CLASS_CHECK(s, kWebServerTag);
  *server = nullptr;
  WebServer_Stop(s);
  uint32_t id = s->threadId.load();
  if (id != 0 && !s->threaded) EventQueue_CancelForThread(id, uintptr_t(s));
  Class_ReleaseObject(&s->listener);
  CriticalSection_Delete(&s->listLock);
  s->header.classTag = 0;
  delete s;
  return 1;
}

int WebServer_SetPort(WebServer *server, int32_t port) {
  checkServer(server)->ports.assign(1, port);
  return 1;
}

int WebServer_AddPort(WebServer *server, int32_t port) {
  checkServer(server)->ports.push_back(port);
  return 1;
}

int WebServer_ClearPorts(WebServer *server) {
  checkServer(server)->ports.clear();
  return 1;
}

int WebServer_BindLoopback(WebServer *server) {
  checkServer(server);
  return 1;
}

int WebServer_EnableKeepAlive(WebServer *server) {
  checkServer(server)->keepAlive = 1;
  return 1;
}

int WebServer_SetDefaultDocument(WebServer *server, const char *name) {
  WebServer *s = checkServer(server);
  CHECK_POINTER(name);
  size_t length = strlen(name);
  if (length == 0 || length >= sizeof s->defaultDocument || strpbrk(name, "/\\") != nullptr ||
      strcmp(name, "..") == 0 || strcmp(name, ".") == 0)
    return 0;
  memcpy(s->defaultDocument, name, length + 1);
  return 1;
}

int WebServer_SetThreaded(WebServer *server, int threaded) {
  checkServer(server)->threaded = threaded ? 1 : 0;
  return 1;
}

int WebServer_SetListenRetryInterval(WebServer *server, int32_t seconds) {
  checkServer(server)->retrySeconds = seconds;
  return 1;
}

int WebServer_SetIdleTimeout(WebServer *server, int32_t seconds) {
  checkServer(server)->idleSeconds = seconds;
  return 1;
}

int WebServer_SetLingerTimeForTest(WebServer *server, double seconds) {
  checkServer(server)->lingerSeconds = seconds;
  return 1;
}

int WebServer_SetLogCallback(WebServer *server, void *context, WebServerLogFunction function) {
  checkServer(server);
  server->logContext = function != nullptr ? context : nullptr;
  server->logFunction = function;
  return 1;
}

#define WEBSERVER_SET_CELL(Name, cell, Type)                                          \
  int WebServer_Set##Name##Callback(WebServer *server, void *context, Type function) { \
    checkServer(server);                                                              \
    server->cell.context = function != nullptr ? context : nullptr;                   \
    server->cell.function = reinterpret_cast<void *>(function);                       \
    return 1;                                                                         \
  }
WEBSERVER_SET_CELL(Open, open, WebServerOpenFunction)
WEBSERVER_SET_CELL(Request, request, WebServerRequestFunction)
WEBSERVER_SET_CELL(Post, post, WebServerPostFunction)
WEBSERVER_SET_CELL(Response, response, WebServerResponseFunction)
WEBSERVER_SET_CELL(Write, write, WebServerWriteFunction)
WEBSERVER_SET_CELL(Close, close, WebServerCloseFunction)
WEBSERVER_SET_CELL(Running, runningCell, WebServerRunningFunction)
#undef WEBSERVER_SET_CELL

int WebServer_Start(WebServer *server) {
  checkServer(server);
  if (server->running.load()) return 1;
  if (!server->threaded) {
    serverBeginRunning(server);
    return 1;
  }
  if (server->thread != nullptr) return server->threadBegun.load();
  server->threadBegun.store(0);
  if (!Thread_Start(&server->thread, server, serverThread)) return 0;
  return server->threadBegun.load();
}

int WebServer_Poll(WebServer *server) {
  checkServer(server);
  if (!server->threaded) serverStep(server);
  return 1;
}

int WebServer_Stop(WebServer *server) {
  checkServer(server);
  if (server->threaded && server->thread != nullptr) {
    Thread_RequestStop(server->thread->threadId);
    Thread_Join(-1, &server->thread);
    server->thread = nullptr;
    return 1;
  }
  if (!server->running.load()) return 1;
  serverEndRunning(server);
  return 1;
}

int32_t WebServer_GetWaitMs(WebServer *server) {
  checkServer(server);
  return serverWaitMs(server);
}

int WebServer_IsRunning(WebServer *server) { return checkServer(server)->running.load(); }

int WebServer_GetListenAddress(WebServer *server, uint32_t *address) {
  checkServer(server);
  CHECK_POINTER(address);
  *address = server->listenAddress;
  return server->running.load() && server->listenPort != 0;
}

int WebServer_GetListenPort(WebServer *server, int32_t *port) {
  checkServer(server);
  CHECK_POINTER(port);
  *port = server->running.load() ? server->listenPort.load() : 0;
  return *port != 0;
}

int32_t WebServer_TakeForeignRefusals(WebServer *server, char *host, int size) {
  WebServer *s = checkServer(server);
  CHECK_POINTER(host);
  int32_t count = s->foreignRefused.exchange(0);
  const char *last = count > 0 ? s->foreignHost : "";
  copyText(host, size, last, strlen(last));
  return count;
}

int32_t WebServer_GetListenError(WebServer *server) {
  return checkServer(server)->listenError.load();
}

// ---- Per connection -------------------------------------------------------------------

int WebServer_GetRequestHeader(WebServer *server, WebServerConnection *connection,
                               const char *name, char *buffer, int size) {
  WebServerConnection *c = checkConnection(server, connection);
  if (size > 0) buffer[0] = '\0';
  CHECK_POINTER(name);
  return WebGet_GetHeaderValue(c->requestBlock, name, buffer, size);
}

const char *WebServer_GetRequestMethod(WebServer *server, WebServerConnection *connection) {
  return checkConnection(server, connection)->method;
}

const char *WebServer_GetRequestUrl(WebServer *server, WebServerConnection *connection) {
  return checkConnection(server, connection)->url;
}

const char *WebServer_GetRequestPath(WebServer *server, WebServerConnection *connection) {
  return checkConnection(server, connection)->path;
}

const char *WebServer_GetRequestQuery(WebServer *server, WebServerConnection *connection) {
  return checkConnection(server, connection)->query;
}

int WebServer_HasRange(WebServer *server, WebServerConnection *connection) {
  WebServerConnection *c = checkConnection(server, connection);
  const char *line = nullptr;
  return WebGet_FindHeader(c->requestBlock, "Range", &line);
}

int WebServer_GetRange(WebServer *server, WebServerConnection *connection, int64_t total,
                       int64_t *start, int64_t *end) {
  char value[kWebServerRangeBytes];
  if (!WebServer_GetRequestHeader(server, connection, "Range", value, sizeof value)) return 0;
  return WebServer_ParseRange(value, total, start, end);
}

int WebServer_Read(WebServer *server, WebServerConnection *connection, void *buffer,
                   int32_t size, int32_t *read) {
  WebServerConnection *c = checkConnection(server, connection);
  *read = 0;
  c->activity = server->now;
  int64_t count = size;
  if (c->bodyLength >= 0 && count > c->bodyLength - c->bodyRead)
    count = c->bodyLength - c->bodyRead;
  if (count <= 0) return 1;
  if (!DupStream_ReadInbound(c->stream, buffer, int32_t(count), read)) {
    connectionLog(c, "Failed reading from stream");
    return 0;
  }
  c->bodyRead += *read;
  if (!c->inService) wakeConnection(c);
  return 1;
}

int WebServer_SetResponse(WebServer *server, WebServerConnection *connection, int32_t status,
                          int64_t contentLength) {
  WebServerConnection *c = checkConnection(server, connection);
  c->status = status;
  c->contentLength = contentLength < 0 ? -1 : contentLength;
  return 1;
}

int WebServer_SetResponseHeader(WebServer *server, WebServerConnection *connection,
                                const char *name, const char *format, ...) {
  WebServerConnection *c = checkConnection(server, connection);
  char value[kWebGetHeaderBlockBytes];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(value, sizeof value, format, args);
  va_end(args);
  if (length < 0 || size_t(length) != strlen(value)) return 0;  // cut, or a NUL inside
  char probe[kWebGetHeaderBlockBytes];
  probe[0] = '\0';
  if (!WebGet_SetHeader(probe, sizeof probe, name, value, 1)) return 0;
  headerLinesSet(&c->responseHeaders, name, value);
  return 1;
}

int WebServer_SetExpires(WebServer *server, WebServerConnection *connection, double time) {
  setDateHeader(checkConnection(server, connection), "Expires", time);
  return 1;
}

int WebServer_SetLastModified(WebServer *server, WebServerConnection *connection, double time) {
  setDateHeader(checkConnection(server, connection), "Last-Modified", time);
  return 1;
}

namespace {

// The checks of a body write of length bytes: the header goes first, the
// announced length holds, nothing follows a body file. 0 drops the
// connection.
int connectionBeginWrite(WebServerConnection *c, int64_t length) {
  if (c->drop) return 0;
  if (!c->headerSent && !writeResponseHeader(c)) {
    c->drop = 1;
    return 0;
  }
  c->activity = c->server->now;
  if (c->contentLength >= 0 && c->written + length > c->contentLength) {
    connectionLog(c, "Write past the content length [%lld:%lld]",
                  static_cast<long long>(c->contentLength),
                  static_cast<long long>(c->written + length));
    c->drop = 1;
    return 0;
  }
  if (c->fileGiven) {
    connectionLog(c, "Write after the body file");
    c->drop = 1;
    return 0;
  }
  return 1;
}

}  // namespace

int WebServer_Write(WebServer *server, WebServerConnection *connection, const void *data,
                    int32_t length, int32_t *written) {
  WebServerConnection *c = checkConnection(server, connection);
  *written = 0;
  if (!connectionBeginWrite(c, length)) return 0;
  if (c->head) {
    c->written += length;
    *written = length;
    return 1;
  }
  DupStream_LockOutbound(c->stream);
  int32_t space = outboundSpace(c);
  int32_t take = length < space ? length : space;
  int ok = take <= 0 || DupStream_WriteOutbound(c->stream, data, take);
  DupStream_UnlockOutbound(c->stream);
  if (!ok) {
    connectionLog(c, "Failed writing to stream");
    c->drop = 1;
    return 0;
  }
  c->written += take;
  *written = take;
  connectionStartWrite(c);
  if (!c->inService) wakeConnection(c);
  return 1;
}

namespace {

// A short body file copied into the outbound buffer behind what is queued
// there: false (nothing queued, fd still open) when it does not fit or
// cannot be read whole; the file is then sent from the file, whose end
// reports a file that shrank.
bool connectionCopyFile(WebServerConnection *c, int fd, int64_t offset, int64_t length) {
  if (length > kWebServerInlineFileBytes || outboundSpace(c) < length) return false;
  uint8_t bytes[kWebServerInlineFileBytes];
  size_t count = 0;
  if (!Platform_ReadFileAt(fd, offset, bytes, size_t(length), &count) ||
      count != size_t(length))
    return false;
  DupStream_LockOutbound(c->stream);
  int ok = DupStream_WriteOutbound(c->stream, bytes, int32_t(length));
  DupStream_UnlockOutbound(c->stream);
  if (!ok) return false;
  Platform_CloseFile(fd);
  return true;
}

}  // namespace

int WebServer_SendFile(WebServer *server, WebServerConnection *connection, int fd,
                       int64_t offset, int64_t length) {
  WebServerConnection *c = checkConnection(server, connection);
  if (length <= 0 || c->head || !connectionBeginWrite(c, length)) {
    Platform_CloseFile(fd);
    if (c->drop) return 0;
    if (length > 0) c->written += length;  // HEAD: counted, not sent
    return 1;
  }
  c->fileGiven = 1;
  if (connectionCopyFile(c, fd, offset, length)) {
    c->written += length;
    connectionStartWrite(c);
    if (!c->inService) wakeConnection(c);
    return 1;
  }
  DupStream_LockOutbound(c->stream);
  c->fileFd = fd;
  c->fileOffset = offset;
  c->fileLeft = length;
  DupStream_UnlockOutbound(c->stream);
  c->written += length;
  connectionStartWrite(c);
  if (!c->inService) wakeConnection(c);
  return 1;
}

int WebServer_GetConnectionData(WebServer *server, WebServerConnection *connection,
                                void **data) {
  *data = checkConnection(server, connection)->userData;
  return 1;
}

int WebServer_SetConnectionData(WebServer *server, WebServerConnection *connection, void *data) {
  checkConnection(server, connection)->userData = data;
  return 1;
}

AsyncSocket *WebServer_GetConnectionSocket(WebServer *server, WebServerConnection *connection) {
  return checkConnection(server, connection)->socket;
}
