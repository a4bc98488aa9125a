// The plain files of one directory over the local web server; see
// staticfiles.h.
#include "skin/staticfiles.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/net/webserv.h"
#include "core/platform/file.h"
#include "core/platform/fileops.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/mime.h"

struct StaticFiles {
  ObjectHeader header;  // the class tag for the checks
  char root[kPathMax];  // real path, no trailing '/' unless it is "/"
};

namespace {

// One read per write turn; the server calls again while there is room.
constexpr int32_t kStaticFilesChunkBytes = 16 * 1024;
// The file-type bits of FileIdentity's mode and the value of a regular file:
// devices, pipes and sockets under the directory are not served either.
constexpr uint32_t kModeTypeMask = 0170000;
constexpr uint32_t kModeRegularFile = 0100000;

StaticFiles *staticFilesOf(StaticFiles *files) {
  CHECK_POINTER(files);
  CLASS_CHECK(files, kStaticFilesTag);
  return files;
}

// True when real lies at or below root.
bool staticFilesUnder(const char *root, const char *real) {
  size_t length = strlen(root);
  if (length == 1 && root[0] == '/') return real[0] == '/';
  return strncmp(real, root, length) == 0 && (real[length] == '/' || real[length] == '\0');
}

void staticFilesNotFound(WebServer *server, WebServerConnection *connection, int32_t status) {
  WebServer_SetResponse(server, connection, status, 0);
}

// The real path of the request's file when it is a regular file under the
// root; false otherwise (missing, a directory, or a link leading out).
bool staticFilesResolve(StaticFiles *files, const char *path, char *real, int size) {
  std::string joined = std::string(files->root) + path;
  if (joined.size() >= size_t(kPathMax)) return false;
  if (!Platform_GetRealPath(joined.c_str(), real, size)) return false;
  if (!staticFilesUnder(files->root, real)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Static file outside its directory refused (%s)\n", path);
    return false;
  }
  FileIdentity identity{};
  if (!Platform_GetFileIdentity(real, 1, &identity)) return false;
  return (identity.mode & kModeTypeMask) == kModeRegularFile;
}

}  // namespace

int StaticFiles_Create(StaticFiles **files, const char *directory) {
  CHECK_POINTER(files);
  CHECK_POINTER(directory);
  *files = nullptr;
  char real[kPathMax];
  if (!Platform_GetRealPath(directory, real, int(sizeof real)) || !Path_IsDirectory(real)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Static file directory not found (%s)\n", directory);
    return 0;
  }
  auto *made = static_cast<StaticFiles *>(MEM_ALLOC(sizeof(StaticFiles), MEM_ZEROED));
  made->header.classTag = kStaticFilesTag;
  made->header.refCount.store(1);
  memcpy(made->root, real, strlen(real) + 1);
  *files = made;
  return 1;
}

int StaticFiles_Release(StaticFiles **files) {
  CHECK_POINTER(files);
  StaticFiles *f = *files;
  *files = nullptr;
  if (f == nullptr) return 1;
  staticFilesOf(f)->header.classTag = 0;
  MEM_FREE(f, sizeof(StaticFiles));
  return 1;
}

const char *StaticFiles_GetDirectory(StaticFiles *files) { return staticFilesOf(files)->root; }

int StaticFiles_Respond(StaticFiles *files, WebServer *server, WebServerConnection *connection,
                        File **file) {
  staticFilesOf(files);
  CHECK_POINTER(file);
  *file = nullptr;
  WebServer_SetResponseHeader(server, connection, "X-Content-Type-Options", "nosniff");
  WebServer_SetResponseHeader(server, connection, "Accept-Ranges", "none");
  const char *method = WebServer_GetRequestMethod(server, connection);
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
    WebServer_SetResponseHeader(server, connection, "Allow", "GET, HEAD");
    staticFilesNotFound(server, connection, 405);
    return 0;
  }
  const char *path = WebServer_GetRequestPath(server, connection);
  char real[kPathMax];
  if (!staticFilesResolve(files, path, real, int(sizeof real))) {
    staticFilesNotFound(server, connection, 404);
    return 0;
  }
  File *opened = nullptr;
  File_Create(&opened);
  File_DisableRetries(opened);
  uint64_t size = 0;
  if (!File_Open(opened, real, kFileModeRead | kFileModeShareRead | kFileModeShareWrite |
                                   kFileModeQuietMissing) ||
      !File_GetSize(opened, &size)) {
    StaticFiles_CloseFile(&opened);
    staticFilesNotFound(server, connection, 404);
    return 0;
  }
  const char *type = nullptr;
  const char *subtype = nullptr;
  if (Mime_GetType(path, &type, &subtype))
    WebServer_SetResponseHeader(server, connection, "Content-Type", "%s/%s", type, subtype);
  else
    WebServer_SetResponseHeader(server, connection, "Content-Type", "application/octet-stream");
  double modified = 0;
  if (File_GetModifiedTime(opened, &modified))
    WebServer_SetLastModified(server, connection, modified);
  WebServer_SetResponse(server, connection, 200, int64_t(size));
  if (size == 0) {
    StaticFiles_CloseFile(&opened);
    return 0;
  }
  *file = opened;
  return 1;
}

int StaticFiles_Write(WebServer *server, WebServerConnection *connection, File *file,
                      int32_t space) {
  CHECK_POINTER(file);
  char buffer[kStaticFilesChunkBytes];
  int32_t want = space < kStaticFilesChunkBytes ? space : kStaticFilesChunkBytes;
  int32_t got = 0;
  if (want <= 0) return 1;
  if (!File_Read(file, buffer, want, &got) || got <= 0) return 0;
  int32_t written = 0;
  if (!WebServer_Write(server, connection, buffer, got, &written)) return 0;
  // What did not fit is read again next turn.
  if (written < got) File_Seek(file, int64_t(written) - got, StreamOrigin::Current);
  uint64_t position = 0, size = 0;
  File_Tell(file, &position);
  File_GetSize(file, &size);
  return position < size ? 1 : 0;
}

void StaticFiles_CloseFile(File **file) {
  CHECK_POINTER(file);
  if (*file == nullptr) return;
  File_Close(*file);
  File_Release(file);
}
