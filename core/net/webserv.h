// WebServer: the small HTTP/1.1 server on asynchronous sockets behind the
// local services on 127.0.0.1. It accepts connections, reads one request
// header at a time, hands each request to its owner through seven callback
// cells and writes the owner's answer behind a generated status line and
// standard headers. It knows nothing of files: the owner decides status,
// length, headers and body bytes. Requests it refuses itself (bad Host or
// Origin, a path that leaves the root, a body it cannot frame) get a short
// answer of its own: status line, "Server", "Date", "Content-Length: 0",
// "Connection: close"; then the connection lingers and closes.
//
// Invariants: (1) the server binds 127.0.0.1 only. (2) a path handed to an
// owner is percent-decoded, begins with '/', holds no ".." segment, no
// backslash and no control byte, and fits kWebServerPathBytes. (3) a
// response never carries more body bytes than the length it announced: a
// write past it drops the connection. (4) a connection is deleted only after
// its socket hooks are cleared and its pending work items cancelled, so no
// socket event or work item reaches a deleted connection. (5) a connection
// lingers at most kWebServerLingerSeconds from its own entry into Linger
// (each connection its own time, so new lingerers never keep an old one).
// (6) a connection is kept only when the client's end is a socket of the
// server's own effective user (found in the kernel's socket table at
// accept); any other is closed before a byte of it is read. (7) at most
// kWebServerMaxConnections connections are served: a new one beyond that
// closes one that no request needs any more (lingering, the earliest first;
// then a kept one waiting for its next request, then one silent for
// kWebServerSilentSeconds since it was accepted, the oldest first), or
// waits, unanswered, until one goes. A connection with bytes of a request,
// or whose request is being answered, is never closed for room.
//
// Threads: set-up (ports, options, callback cells) before WebServer_Start,
// on the thread that starts the server. Pumped (the default), everything runs
// on that thread through WebServer_Poll and the work items that socket
// events post to its event queue; threaded, on the server's own thread.
// Socket events on I/O worker threads only move bytes through the
// connection's DupStream, set the close-requested flag and wake the server
// thread. The callbacks run on the server thread under the list lock;
// WebServer_Read and WebServer_Write are meant to be called from them.
#pragma once

#include <cstdarg>
#include <cstdint>

struct AsyncSocket;
struct WebServer;
struct WebServerConnection;

constexpr uint32_t kWebServerTag = 0x3eb5a001;
constexpr uint32_t kWebServerConnectionTag = 0x3eb5a002;

constexpr int kWebServerMethodBytes = 80;
constexpr int kWebServerForeignHostBytes = 128;
constexpr int kWebServerVersionBytes = 80;
constexpr int kWebServerUrlBytes = 4096;
constexpr int kWebServerPathBytes = 4096;
constexpr int kWebServerRefererBytes = 4096;
constexpr int kWebServerUserAgentBytes = 512;
constexpr int kWebServerDefaultDocumentBytes = 320;
// A request header of this many bytes (with or without its end mark) drops
// the connection.
constexpr int32_t kWebServerHeaderLimitBytes = 8191;
constexpr int kWebServerRangeBytes = 120;
constexpr double kWebServerLingerSeconds = 5.0;
constexpr int32_t kWebServerDefaultIdleSeconds = 60;
constexpr int32_t kWebServerDefaultRetrySeconds = 30;
// A page keeps a handful of connections; beyond this many, idle ones are
// closed so that a flood of them cannot starve the page of descriptors.
constexpr int32_t kWebServerMaxConnections = 64;
// A connection accepted this long ago without a byte is idle, not one whose
// request is still on its way.
constexpr double kWebServerSilentSeconds = 2.0;
// The longest sleep between two server steps with nothing timed: an accept
// loop ended by descriptor exhaustion is started again at the next step.
constexpr int32_t kWebServerLongestWaitMs = 1000;
// A body file up to this size is copied behind the header instead of sent
// from the file: one send instead of two, for less than a copy costs.
constexpr int32_t kWebServerInlineFileBytes = 16384;
// Content-Length values longer than this are refused (they would overflow).
constexpr int kWebServerLengthDigits = 18;

enum class WebServerPhase : int32_t {
  Unknown = 0,
  Open = 1,
  RequestHeader = 2,
  RequestBody = 3,
  ResponseHeader = 4,
  ResponseBody = 5,
  ResponseFinish = 6,
  Linger = 7,
  Close = 8,
  Done = 9,
};

// Callbacks: the server and the cell's context first.
typedef int (*WebServerOpenFunction)(WebServer *server, void *context,
                                     WebServerConnection *connection);
typedef int (*WebServerRequestFunction)(WebServer *server, void *context,
                                        WebServerConnection *connection);
typedef int (*WebServerPostFunction)(WebServer *server, void *context,
                                     WebServerConnection *connection, int32_t available);
typedef int (*WebServerResponseFunction)(WebServer *server, void *context,
                                         WebServerConnection *connection);
typedef int (*WebServerWriteFunction)(WebServer *server, void *context,
                                      WebServerConnection *connection, int32_t space);
typedef int (*WebServerCloseFunction)(WebServer *server, void *context,
                                      WebServerConnection *connection);
typedef int (*WebServerRunningFunction)(WebServer *server, void *context,
                                        const uint32_t *address, int32_t port);
// One log line without its line end.
typedef void (*WebServerLogFunction)(void *context, const char *line);

// The name of a phase ("Unknown" ... "Done"); "Unknown" out of range.
const char *WebServer_GetPhaseName(WebServerPhase phase);
// The reason of a status of the table, or NULL.
const char *WebServer_GetStatusReason(int32_t status);

// Every operation stops the program on a NULL or foreign server or
// connection ("Pointer is NULL\n", "Class mismatch pointer (...)"); results
// are 1 unless said otherwise.

// A stopped server with the defaults: port list {80}, keep-alive off,
// pumped, idle time-out 60 s, retry interval 30 s, bound to 127.0.0.1.
int WebServer_Create(WebServer **server);
// Stops, cancels the server's pending work items, frees, clears *server.
int WebServer_Release(WebServer **server);

int WebServer_SetPort(WebServer *server, int32_t port);
int WebServer_AddPort(WebServer *server, int32_t port);
int WebServer_ClearPorts(WebServer *server);
// The server is bound to 127.0.0.1 from creation; this changes nothing.
int WebServer_BindLoopback(WebServer *server);
int WebServer_EnableKeepAlive(WebServer *server);
// The document a request for "/" stands for ("default.htm" from creation):
// one file name, without '/' or '\\', shorter than
// kWebServerDefaultDocumentBytes. 1; 0 (nothing changed) for anything else.
int WebServer_SetDefaultDocument(WebServer *server, const char *name);
int WebServer_SetThreaded(WebServer *server, int threaded);
int WebServer_SetListenRetryInterval(WebServer *server, int32_t seconds);
// Below 1: no time-out.
int WebServer_SetIdleTimeout(WebServer *server, int32_t seconds);
// Tests only: lingering connections close this long after their entry into
// Linger instead of kWebServerLingerSeconds.
int WebServer_SetLingerTimeForTest(WebServer *server, double seconds);
int WebServer_SetLogCallback(WebServer *server, void *context, WebServerLogFunction function);
// A NULL function clears a cell.
int WebServer_SetOpenCallback(WebServer *server, void *context, WebServerOpenFunction function);
int WebServer_SetRequestCallback(WebServer *server, void *context,
                                 WebServerRequestFunction function);
int WebServer_SetPostCallback(WebServer *server, void *context, WebServerPostFunction function);
int WebServer_SetResponseCallback(WebServer *server, void *context,
                                  WebServerResponseFunction function);
int WebServer_SetWriteCallback(WebServer *server, void *context, WebServerWriteFunction function);
int WebServer_SetCloseCallback(WebServer *server, void *context, WebServerCloseFunction function);
int WebServer_SetRunningCallback(WebServer *server, void *context,
                                 WebServerRunningFunction function);

// 1 when already running. Threaded: starts the own thread (0 while a started
// thread has not begun running). Pumped: begins running on this thread; the
// socket events post work items to this thread's event queue.
int WebServer_Start(WebServer *server);
// One server step when pumped; nothing when threaded.
int WebServer_Poll(WebServer *server);
// Threaded: asks the own thread to stop and waits for it; pumped: ends
// running at once (every connection closed with force).
int WebServer_Stop(WebServer *server);
// Milliseconds until the server's next timed work (an idle time-out, the end
// of a linger, a listen retry), at most kWebServerLongestWaitMs: how long a
// pumped owner may sleep on its wake signal before the next WebServer_Poll.
// Socket events wake the server's thread themselves. 0 when work is due now.
int32_t WebServer_GetWaitMs(WebServer *server);
int WebServer_IsRunning(WebServer *server);
// 0 unless running and listening.
int WebServer_GetListenAddress(WebServer *server, uint32_t *address);
// The bound port (also when 0 was asked); port 0 and 0 unless listening.
int WebServer_GetListenPort(WebServer *server, int32_t *port);
// The platform error of the last listen attempt that failed (the port in
// use, 10048), for the owner's own line; 0 before any attempt and once one
// succeeded. Another attempt follows after the retry time.
int32_t WebServer_GetListenError(WebServer *server);
// The requests refused since the last call for a Host that names another
// host than 127.0.0.1 at the listen port ("localhost:8080"), the last one's
// Host in host; 0 (host "") when none was.
int32_t WebServer_TakeForeignRefusals(WebServer *server, char *host, int size);

// ---- Per connection, from the callbacks -----------------------------------------

// A request header's value (name in any case), cut to size; 0 when absent.
int WebServer_GetRequestHeader(WebServer *server, WebServerConnection *connection,
                               const char *name, char *buffer, int size);
const char *WebServer_GetRequestMethod(WebServer *server, WebServerConnection *connection);
// The raw request target.
const char *WebServer_GetRequestUrl(WebServer *server, WebServerConnection *connection);
// The decoded, collapsed path (see invariant 2); "/" + the default document
// for "/".
const char *WebServer_GetRequestPath(WebServer *server, WebServerConnection *connection);
// The raw query behind '?' (empty when none).
const char *WebServer_GetRequestQuery(WebServer *server, WebServerConnection *connection);
int WebServer_HasRange(WebServer *server, WebServerConnection *connection);
// The first range of the "Range" header against a resource of total bytes:
// 1 with *start and *end (inclusive, end clamped to total - 1); 0 when there
// is none, it is not a bytes range, its numbers are not decimal, or it lies
// wholly beyond the resource (the owner answers 416).
int WebServer_GetRange(WebServer *server, WebServerConnection *connection, int64_t total,
                       int64_t *start, int64_t *end);
// The same on a header value, for callers without a connection.
int WebServer_ParseRange(const char *value, int64_t total, int64_t *start, int64_t *end);
// Request-body bytes, at most what the body still holds; 0 on a stream failure.
int WebServer_Read(WebServer *server, WebServerConnection *connection, void *buffer,
                   int32_t size, int32_t *read);
// Status and content length (-1: unknown; the connection then closes after
// the body).
int WebServer_SetResponse(WebServer *server, WebServerConnection *connection, int32_t status,
                          int64_t contentLength);
// printf-style value; replaces an existing value in place. 0 (nothing set)
// for a bad name or a value with CR, LF or NUL.
int WebServer_SetResponseHeader(WebServer *server, WebServerConnection *connection,
                                const char *name, const char *format, ...);
// UTC seconds, written as HTTP dates.
int WebServer_SetExpires(WebServer *server, WebServerConnection *connection, double time);
int WebServer_SetLastModified(WebServer *server, WebServerConnection *connection, double time);
// Queues body bytes; *written is at most the free outbound space. 0 on a
// stream failure or a write past the announced length (the connection is
// then dropped). A HEAD response counts and discards them.
int WebServer_Write(WebServer *server, WebServerConnection *connection, const void *data,
                    int32_t length, int32_t *written);
// Queues length bytes of the readable file descriptor fd from offset as
// the rest of the body: the socket's write loop sends them straight from the
// file (sendfile) once the bytes written before have gone. A body of at most
// kWebServerInlineFileBytes that fits the outbound buffer is read from the
// file at once instead and leaves with the bytes before it, header
// included, in one send. The server takes
// fd and closes it once the file is sent or the connection goes (also on a
// 0 result). Nothing may be written after it in the same response. 0 on a
// write past the announced length or after another file (the connection is
// then dropped). A HEAD response counts the bytes and sends none.
int WebServer_SendFile(WebServer *server, WebServerConnection *connection, int fd,
                       int64_t offset, int64_t length);
int WebServer_GetConnectionData(WebServer *server, WebServerConnection *connection,
                                void **data);
int WebServer_SetConnectionData(WebServer *server, WebServerConnection *connection, void *data);
// Borrowed.
AsyncSocket *WebServer_GetConnectionSocket(WebServer *server, WebServerConnection *connection);

// ---- Request text, without a socket (also for the fuzz target) ---------------------

// What the server makes of one request header block (up to and including
// its empty line): the status of its own short answer (400, 403, 501) or 0
// when the request goes to the owner, and the fields it read.
struct WebServerRequestInfo {
  char method[kWebServerMethodBytes];
  char url[kWebServerUrlBytes];
  char path[kWebServerPathBytes];
  char version[kWebServerVersionBytes];
  int64_t bodyLength;  // -1: none
  int malformed;       // the request line is not "method target HTTP/x"
  int chunked;         // a Transfer-Encoding header was present
  char foreignHost[kWebServerForeignHostBytes];  // a Host refused for its name, else ""
};
// port: the listen port the Host and Origin must name, with 127.0.0.1, the
// address the server is bound to (never "localhost", which may be ::1).
int32_t WebServer_CheckRequest(const char *block, int32_t length, int32_t port,
                               const char *defaultDocument, WebServerRequestInfo *info);
// The decoded, collapsed path of a raw target; 0 when it is refused.
int WebServer_DecodePath(const char *target, const char *defaultDocument, char *out, int size);
