// The plain files of one directory over the local web server; see
// staticfiles.h.
#include "skin/staticfiles.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "core/net/webserv.h"
#include "core/platform/fileops.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/platform/trustedpath.h"
#include "core/runtime/class.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/mime.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

struct StaticFiles {
  ObjectHeader header;             // the class tag for the checks
  char root[kPathMax];             // its name in lines (the real path when opened by name)
  PlatformDirectory *directory;    // the root, opened once
  // Entries refused for their owner or mode: each said once, the lines
  // waiting for StaticFiles_TakeRefusal.
  std::mutex refusedLock;
  std::set<std::string> refused;
  std::deque<std::string> refusalLines;
};

namespace {

// The platform's "access denied": what a path that leads out of the
// directory (or to something not a regular file) fails with.
constexpr int kStaticFilesRefused = 5;

StaticFiles *staticFilesOf(StaticFiles *files) {
  CHECK_POINTER(files);
  CLASS_CHECK(files, kStaticFilesTag);
  return files;
}

void staticFilesNotFound(WebServer *server, WebServerConnection *connection, int32_t status) {
  WebServer_SetResponse(server, connection, status, 0);
}

// Keeps the line for an entry refused for its owner or mode, once per entry.
void staticFilesRefuse(StaticFiles *files, const TrustedPathRefusal &refusal) {
  std::lock_guard<std::mutex> hold(files->refusedLock);
  if (!files->refused.insert(refusal.entry).second) return;
  char line[kPathMax * 2 + sizeof refusal.rule];
  Str_Printf(line, int(sizeof line), "%s/%s: not served: %s", files->root, refusal.entry,
             refusal.rule);
  files->refusalLines.emplace_back(line);
}

}  // namespace

int StaticFiles_Create(StaticFiles **files, const char *directory) {
  CHECK_POINTER(files);
  CHECK_POINTER(directory);
  *files = nullptr;
  char real[kPathMax];
  PlatformDirectory *opened = nullptr;
  if (!Platform_GetRealPath(directory, real, int(sizeof real)) || !Path_IsDirectory(real) ||
      !Platform_OpenDirectoryAt(nullptr, real, &opened)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Static file directory not found (%s)\n", directory);
    return 0;
  }
  return StaticFiles_CreateAt(files, opened, real);
}

int StaticFiles_CreateAt(StaticFiles **files, PlatformDirectory *directory, const char *name) {
  CHECK_POINTER(files);
  CHECK_POINTER(directory);
  CHECK_POINTER(name);
  *files = nullptr;
  auto *made = new (MEM_ALLOC(sizeof(StaticFiles), MEM_ZEROED)) StaticFiles();
  made->header.classTag = kStaticFilesTag;
  made->header.refCount.store(1);
  Str_Copy(made->root, name, int(sizeof made->root));
  made->directory = directory;
  *files = made;
  return 1;
}

int StaticFiles_Release(StaticFiles **files) {
  CHECK_POINTER(files);
  StaticFiles *f = *files;
  *files = nullptr;
  if (f == nullptr) return 1;
  staticFilesOf(f)->header.classTag = 0;
  Platform_CloseDirectory(&f->directory);
  f->~StaticFiles();
  MEM_FREE(f, sizeof(StaticFiles));
  return 1;
}

const char *StaticFiles_GetDirectory(StaticFiles *files) { return staticFilesOf(files)->root; }

int StaticFiles_Respond(StaticFiles *files, WebServer *server, WebServerConnection *connection,
                        StaticFile *file) {
  staticFilesOf(files);
  CHECK_POINTER(file);
  StaticFiles_CloseFile(file);
  WebServer_SetResponseHeader(server, connection, "X-Content-Type-Options", "nosniff");
  WebServer_SetResponseHeader(server, connection, "Accept-Ranges", "none");
  const char *method = WebServer_GetRequestMethod(server, connection);
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
    WebServer_SetResponseHeader(server, connection, "Allow", "GET, HEAD");
    staticFilesNotFound(server, connection, 405);
    return 0;
  }
  // The server's path begins with '/' and holds no ".." segment.
  const char *path = WebServer_GetRequestPath(server, connection);
  FileIdentity identity{};
  TrustedPathRefusal refusal;
  int fd = TrustedPath_OpenBeneath(files->directory, path + 1, &identity, &refusal);
  if (fd < 0) {
    if (refusal.entry[0] != '\0') staticFilesRefuse(files, refusal);
    if (Platform_GetLastError() == kStaticFilesRefused)
      Log_Print(LOG_DEBUG, KSRC, 0, "Static file refused (%s)\n", path);
    staticFilesNotFound(server, connection, 404);
    return 0;
  }
  const char *type = nullptr;
  const char *subtype = nullptr;
  if (Mime_GetType(path, &type, &subtype))
    WebServer_SetResponseHeader(server, connection, "Content-Type", "%s/%s", type, subtype);
  else
    WebServer_SetResponseHeader(server, connection, "Content-Type", "application/octet-stream");
  WebServer_SetLastModified(server, connection,
                            double(identity.modifiedSeconds) +
                                double(identity.modifiedNanoseconds) / 1e9);
  WebServer_SetResponse(server, connection, 200, identity.size);
  file->fd = fd;
  file->size = identity.size;
  if (identity.size == 0) {
    StaticFiles_CloseFile(file);
    return 0;
  }
  return 1;
}

int StaticFiles_Write(WebServer *server, WebServerConnection *connection, StaticFile *file,
                      int32_t) {
  CHECK_POINTER(file);
  if (file->fd < 0) return 0;
  int fd = file->fd;
  file->fd = -1;  // the server's now, closed by it
  WebServer_SendFile(server, connection, fd, 0, file->size);
  return 0;
}

void StaticFiles_CloseFile(StaticFile *file) {
  CHECK_POINTER(file);
  if (file->fd >= 0) Platform_CloseFile(file->fd);
  file->fd = -1;
  file->size = 0;
}

int StaticFiles_TakeRefusal(StaticFiles *files, char *out, int size) {
  staticFilesOf(files);
  CHECK_POINTER(out);
  std::lock_guard<std::mutex> hold(files->refusedLock);
  if (files->refusalLines.empty()) return 0;
  Str_Copy(out, files->refusalLines.front().c_str(), size);
  files->refusalLines.pop_front();
  return 1;
}
