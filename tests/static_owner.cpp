// StaticOwner: a directory served through the WebServer callbacks; see
// static_owner.h.
#include "tests/static_owner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "core/net/webserv.h"

namespace {

constexpr int32_t kChunkBytes = 65536;

struct Transfer {
  int fd = -1;
  int64_t next = 0;  // file offset of the next body byte
  int64_t end = 0;   // one past the last
  std::string echo;  // the POST body, answered back
  size_t echoed = 0;
};

Transfer *transferOf(WebServer *server, WebServerConnection *c) {
  void *data = nullptr;
  WebServer_GetConnectionData(server, c, &data);
  if (data == nullptr) {
    data = new Transfer;
    WebServer_SetConnectionData(server, c, data);
  }
  return static_cast<Transfer *>(data);
}

int onPost(WebServer *server, void *, WebServerConnection *c, int32_t available) {
  Transfer *t = transferOf(server, c);
  size_t at = t->echo.size();
  t->echo.resize(at + size_t(available));
  int32_t read = 0;
  WebServer_Read(server, c, &t->echo[at], available, &read);
  t->echo.resize(at + size_t(read));
  return 1;
}

int onResponse(WebServer *server, void *context, WebServerConnection *c) {
  auto *owner = static_cast<StaticOwner *>(context);
  Transfer *t = transferOf(server, c);
  if (t->fd >= 0) close(t->fd);
  t->fd = -1;
  t->echoed = 0;
  if (strcmp(WebServer_GetRequestMethod(server, c), "POST") == 0 && owner->echoPost) {
    WebServer_SetResponse(server, c, 200, int64_t(t->echo.size()));
    WebServer_SetResponseHeader(server, c, "Content-Type", "application/octet-stream");
    return 1;
  }
  std::string path = owner->root + WebServer_GetRequestPath(server, c);
  struct stat st{};
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    WebServer_SetResponse(server, c, 404, 0);
    return 0;
  }
  int64_t total = st.st_size;
  t->fd = fd;
  t->next = 0;
  t->end = total;
  WebServer_SetLastModified(server, c, double(st.st_mtime));
  if (WebServer_HasRange(server, c)) {
    int64_t start = 0, end = 0;
    if (!WebServer_GetRange(server, c, total, &start, &end)) {
      WebServer_SetResponseHeader(server, c, "Content-Range", "bytes */%lld",
                                  static_cast<long long>(total));
      WebServer_SetResponse(server, c, 416, 0);
      return 0;
    }
    t->next = start;
    t->end = end + 1;
    WebServer_SetResponseHeader(server, c, "Content-Range", "bytes %lld-%lld/%lld",
                                static_cast<long long>(start), static_cast<long long>(end),
                                static_cast<long long>(total));
    WebServer_SetResponse(server, c, 206, t->end - t->next);
    return 1;
  }
  WebServer_SetResponse(server, c, 200, total);
  return 1;
}

int onWrite(WebServer *server, void *, WebServerConnection *c, int32_t space) {
  Transfer *t = transferOf(server, c);
  int32_t written = 0;
  if (t->fd < 0) {  // the echo
    size_t left = t->echo.size() - t->echoed;
    size_t take = left < size_t(space) ? left : size_t(space);
    if (take > 0 &&
        !WebServer_Write(server, c, t->echo.data() + t->echoed, int32_t(take), &written))
      return 0;
    t->echoed += size_t(written);
    if (t->echoed < t->echo.size()) return 1;
    t->echo.clear();
    t->echoed = 0;
    return 0;
  }
  static thread_local char buffer[kChunkBytes];
  int64_t left = t->end - t->next;
  int32_t want = int32_t(left < space ? left : space);
  if (want > kChunkBytes) want = kChunkBytes;
  ssize_t got = want > 0 ? pread(t->fd, buffer, size_t(want), t->next) : 0;
  if (got > 0 && WebServer_Write(server, c, buffer, int32_t(got), &written)) t->next += written;
  return t->next < t->end && got > 0 ? 1 : 0;
}

int onClose(WebServer *server, void *, WebServerConnection *c) {
  void *data = nullptr;
  WebServer_GetConnectionData(server, c, &data);
  auto *t = static_cast<Transfer *>(data);
  if (t != nullptr) {
    if (t->fd >= 0) close(t->fd);
    delete t;
    WebServer_SetConnectionData(server, c, nullptr);
  }
  return 1;
}

}  // namespace

void StaticOwner_Attach(StaticOwner *owner, WebServer *server) {
  WebServer_SetPostCallback(server, owner, owner->echoPost ? onPost : nullptr);
  WebServer_SetResponseCallback(server, owner, onResponse);
  WebServer_SetWriteCallback(server, owner, onWrite);
  WebServer_SetCloseCallback(server, owner, onClose);
}
