// The file:// pseudo server of a connection: a local file answered as if an
// HTTP server had sent it, so that ranges, sinks and decoders treat local
// and remote content alike. The header goes into the HTTP-side inbound
// buffer; the body is read on the I/O worker into the transport-side
// inbound buffer, from where the poll moves it on as it moves socket bytes.
// See webgetconnection.h.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "core/net/url.h"
#include "core/net/webgetconnection.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "core/platform/fileops.h"
#include "core/platform/platform.h"
#include "core/runtime/dupstream.h"
#include "core/runtime/log.h"
#include "core/runtime/mime.h"
#include "core/runtime/str.h"
#include "core/runtime/time.h"

#define CONNECTION_CHECK(c) CLASS_CHECK((c), kWebGetConnectionTag)

// The buffer of file reads. The connection holds one reference and the read
// in flight another; a connection that lets go of a busy record (a reset
// or its end) clears the owner under the lock, so the late completion
// touches nothing of it, and takes a fresh record for its next read.
struct WebGetFileRead {
  std::mutex lock;
  WebGetConnection *owner;  // guarded by lock
  std::atomic<int32_t> refs;
  std::atomic<int32_t> busy;  // a read is in flight
  uint8_t buffer[kWebGetFileBufferBytes];
};

namespace {

constexpr uint32_t kFileModeTypeMask = 0xF000;
constexpr uint32_t kFileModeRegular = 0x8000;
constexpr int32_t kFileInvalidUrl = 400;

void fileReadRelease(WebGetFileRead **record) {
  WebGetFileRead *f = *record;
  *record = nullptr;
  if (f == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(f->lock);
    f->owner = nullptr;
  }
  if (f->refs.fetch_sub(1) == 1) delete f;
}

WebGetFileRead *fileReadRecord(WebGetConnection *c) {
  if (c->fileRead == nullptr) {
    auto *f = new WebGetFileRead();
    f->owner = c;
    f->refs.store(1);
    f->busy.store(0);
    c->fileRead = f;
  }
  return c->fileRead;
}

int fileFail(int32_t *code, int32_t *codeEx, int32_t value, int32_t valueEx) {
  *code = value;
  *codeEx = valueEx;
  return 0;
}

// Opens path for the answer: a regular file only, looked at before the
// open, since opening a FIFO for reading waits for a writer and would stall
// the owner thread. A file the caller opened and judged already is named
// through its descriptor ("/proc/self/fd/N", see
// RootDirectory_GetDescriptorPath), so that this reads the file judged.
// 0 with the platform error in *error.
int fileOpen(WebGetConnection *c, WebGetRequest *r, const char *path, int *error) {
  FileIdentity identity;
  if (!Platform_GetFileIdentity(path, 1, &identity)) {
    *error = Platform_GetLastError();
    return 0;
  }
  if ((identity.mode & kFileModeTypeMask) != kFileModeRegular) {
    WebGetConnection_Log(c, "Not a regular file (%s)", path);
    *error = kPlatformErrorAccessDenied;
    return 0;
  }
  if (c->file == nullptr) {
    AsyncFile_Create(&c->file);
    // A locked file is not waited for on the owner thread.
    AsyncFile_DisableOpenRetry(c->file);
  }
  uint32_t flags = kAsyncFileRead | kAsyncFileShareRead | kAsyncFileShareWrite;
  if (!r->reportErrors) flags |= kAsyncFileQuietMissing;
  if (!AsyncFile_Open(c->file, path, flags)) {
    *error = AsyncFile_GetLastError(c->file);
    return 0;
  }
  return 1;
}

}  // namespace

int WebGetConnection_ParseFileUrl(const char *url, char *path, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(path);
  if (size < 1) Core_Abort(KSRC, "Pointer is NULL\n");
  path[0] = '\0';
  if (!Url_HasScheme(url, "file")) return 0;
  const char *rest = url + 7;  // after "file://"
  if (*rest != '/') return 0;  // a host part, or no path at all
  int written = 0;
  int length = int(strlen(rest));
  // A decoded NUL would end the path early and name another file, and so
  // would a path cut to fit.
  if (!Url_DecodeN(rest, length, path, size, &written) || int(strlen(path)) != written) {
    path[0] = '\0';
    return 0;
  }
  return 1;
}

int WebGetConnection_FileServe(WebGetConnection *connection, WebGetRequest *request, int first,
                               int32_t *code, int32_t *codeEx) {
  CONNECTION_CHECK(connection);
  CHECK_POINTER(code);
  CHECK_POINTER(codeEx);
  WebGetConnection *c = connection;
  WebGetRequest *r = request;
  *code = *codeEx = 0;
  // Only a URL the caller set is answered from the local disk: never one
  // that a server's Location (or a rule acting on it) led to.
  if (r->redirectCount > 0) {
    WebGetConnection_Log(c, "File URL reached through a redirect (%s)", UrlLoggable(r->url).text);
    return fileFail(code, codeEx, kWebGetErrorBlockedRedirect, 0);
  }
  char path[kWebGetFilePathBytes];
  if (!WebGetConnection_ParseFileUrl(r->url, path, int(sizeof path))) {
    Log_Print(LOG_WARNING, KSRC, 0, "Invalid file URL (%s)\n", UrlLoggable(r->url).text);
    return fileFail(code, codeEx, kFileInvalidUrl, 0);
  }
  WebGetConnection_CloseFile(c);
  int error = 0;
  if (!fileOpen(c, r, path, &error)) return fileFail(code, codeEx, kWebGetErrorOs, error);
  uint64_t size = 0;
  double modified = 0;
  if (!AsyncFile_GetSize(c->file, &size) || !AsyncFile_GetModifiedTime(c->file, &modified)) {
    error = AsyncFile_GetLastError(c->file);
    WebGetConnection_CloseFile(c);
    return fileFail(code, codeEx, kWebGetErrorOs, error);
  }
  // A range is answered as HTTP servers answer it: its end clamped to the
  // file's last byte, and a start at or past the end unsatisfiable.
  uint64_t start = r->rangeStart, end = r->rangeEnd;
  int32_t status = 200;
  uint64_t last = size - 1;
  if (start > 0 || end > 0) {
    status = start < size && (end == 0 || end >= start) ? 206 : 416;
    if (status == 206 && end != 0) last = std::min(end, size - 1);
  }
  int64_t length = status == 206 ? int64_t(last - start + 1) : status == 200 ? int64_t(size) : 0;
  c->fileEnd = status == 206 ? int64_t(last + 1) : status == 200 ? int64_t(size) : 0;
  // Set here rather than by the first Body step, which may wait on the
  // request's sink before it reaches the pump.
  c->fileOffset.store(status == 206 ? int64_t(start) : status == 200 ? 0 : -1);
  char date[64] = "";
  Time_FormatHttpDate(kTimeFormatHttp, date, int(sizeof date), modified);
  const char *type = nullptr, *subtype = nullptr;
  Mime_GetType(path, &type, &subtype);
  DupStream_BeginInboundTransaction(c->http);
  bool ok = DupStream_PrintfInbound(c->http, "HTTP/1.1 %d %s\r\n", status,
                                    WebGet_GetReasonText(status)) &&
            DupStream_PrintfInbound(c->http, "Server: FileSystem\r\n") &&
            DupStream_PrintfInbound(c->http, "Connection: Close\r\n") &&
            DupStream_PrintfInbound(c->http, "Last-Modified: %s\r\n", date) &&
            DupStream_PrintfInbound(c->http, "Accepts-Ranges: bytes\r\n") &&
            DupStream_PrintfInbound(c->http, "Content-Type: %s/%s\r\n", type, subtype) &&
            (status != 206 ||
             DupStream_PrintfInbound(c->http, "Content-Range: bytes %I64d-%I64d/%I64d\r\n",
                                     int64_t(start), int64_t(last), int64_t(size))) &&
            DupStream_PrintfInbound(c->http, "Content-Length: %I64d\r\n", length) &&
            DupStream_PrintfInbound(c->http, "\r\n");
  DupStream_EndInboundTransaction(c->http, ok ? 0 : 1);
  // Written whole or not at all: a full buffer is tried again next step.
  if (!ok && first) WebGetRequest_SetPhaseChangedFlag(r, 1);
  return 1;
}

int WebGetConnection_FilePump(WebGetConnection *connection, WebGetRequest *, int,
                              int32_t *code, int32_t *codeEx) {
  CONNECTION_CHECK(connection);
  CHECK_POINTER(code);
  CHECK_POINTER(codeEx);
  WebGetConnection *c = connection;
  *code = *codeEx = 0;
  if (c->fileOffset.load() < 0) return fileFail(code, codeEx, 416, 0);
  if (c->fileError.load() != 0) return fileFail(code, codeEx, c->fileError.load(), c->fileErrorEx.load());
  WebGetFileRead *f = fileReadRecord(c);
  if (f->busy.load(std::memory_order_acquire)) return 1;
  int64_t offset = c->fileOffset.load();
  int32_t room = 0;
  DupStream_GetInboundSpace(c->transport, &room);
  int64_t want = std::min<int64_t>({c->fileEnd - offset, room, kWebGetFileBufferBytes});
  if (want <= 0) return 1;
  f->refs.fetch_add(1);
  f->busy.store(1);
  AsyncFile_Read(c->file, offset, f->buffer, uint32_t(want), WebGetConnection_OnFileRead, f);
  return 1;
}

void WebGetConnection_OnFileRead(void *context, int64_t, void *buffer, uint32_t bytes,
                                 uint32_t error) {
  auto *f = static_cast<WebGetFileRead *>(context);
  {
    std::lock_guard<std::mutex> hold(f->lock);
    WebGetConnection *c = f->owner;
    if (c != nullptr) {
      if (error != 0) {
        c->fileErrorEx.store(int32_t(error));
        c->fileError.store(kWebGetErrorOs);
      } else if (bytes == 0) {
        // The file ended before the range did: it shrank while being read.
        c->fileError.store(kWebGetErrorUnderflow);
      } else {
        DupStream_WriteInbound(c->transport, buffer, int32_t(bytes));
        c->fileOffset.fetch_add(int64_t(bytes));
      }
      f->busy.store(0, std::memory_order_release);
      WebGetConnection_SchedulePoll(c);
    }
  }
  if (f->refs.fetch_sub(1) == 1) delete f;
}

int WebGetConnection_IsFileOpen(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  return connection->file != nullptr && AsyncFile_IsOpen(connection->file) ? 1 : 0;
}

int WebGetConnection_CloseFile(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  if (c->file != nullptr) AsyncFile_Close(c->file);
  if (c->fileRead != nullptr && c->fileRead->busy.load()) fileReadRelease(&c->fileRead);
  c->fileOffset.store(-1);
  c->fileEnd = 0;
  c->fileError.store(0);
  c->fileErrorEx.store(0);
  return 1;
}

int WebGetConnection_ReleaseFile(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  WebGetConnection_CloseFile(c);
  fileReadRelease(&c->fileRead);
  if (c->file != nullptr) AsyncFile_Release(&c->file);
  return 1;
}
