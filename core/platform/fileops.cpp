// Whole-file operations; see fileops.h.
#include "core/platform/fileops.h"

#include <cmath>
#include <cstring>

#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/runtime/str.h"

namespace {

constexpr uint32_t kRetryPauseMs = 1000;  // long enough for a scanner or an updater to let go
constexpr int kMaxLinkLevels = 25;        // more is a loop in practice
constexpr uint32_t kModeTypeMask = 0xF000;
constexpr uint32_t kModeDirectory = 0x4000;
constexpr uint32_t kModeLink = 0xA000;
constexpr uint32_t kModeOwnerWrite = 0x80;
constexpr uint32_t kMoveFlags =
    kPlatformMoveCopyAllowed | kPlatformMoveReplace | kPlatformMoveWriteThrough;

// The path every operation works on: "~" resolved, normalised without a
// trailing separator. false with the error set (206 when it does not fit).
bool fileopsResolve(const char *path, char *work, int *error) {
  if (Path_Resolve(path, work, kPathMax) && Path_Normalize(work, kPathMax, kPathRemoveTrailing))
    return true;
  *error = Platform_GetLastError();
  if (*error == 0) *error = kPlatformErrorNameTooLong;
  Platform_SetLastError(*error);
  return false;
}

// Records a failure decided here (no system call behind it).
int fileopsFail(int code, int *error) {
  Platform_SetLastError(code);
  if (error) *error = code;
  return 0;
}

bool fileopsIsDirectoryMode(uint32_t mode) { return (mode & kModeTypeMask) == kModeDirectory; }
bool fileopsIsLinkMode(uint32_t mode) { return (mode & kModeTypeMask) == kModeLink; }

// The parent of a normalised path and its last component: "a/b/c" gives
// "a/b" and "c", "c" gives "." and "c", "/c" gives "/" and "c". The parent
// has no trailing separator, so opening it without following a link cannot
// be talked into following one by a trailing '/'.
void fileopsSplit(const char *path, char *parent, const char **name) {
  const char *last = strrchr(path, '/');
  if (last == nullptr) {
    memcpy(parent, ".", 2);
    *name = path;
    return;
  }
  size_t length = last == path ? 1 : size_t(last - path);
  memcpy(parent, path, length);
  parent[length] = '\0';
  *name = last + 1;
}

// Removes path, lending its parent the owner write bit when that is what
// refused it. 1/0 with the thread's last error.
int fileopsRemove(const char *path, int isDirectory) {
  if (isDirectory ? Platform_RemoveDirectory(path) : Platform_DeleteFile(path)) return 1;
  if (Platform_GetLastError() != kPlatformErrorAccessDenied) return 0;
  char parent[kPathMax];
  const char *name;
  fileopsSplit(path, parent, &name);
  PlatformDirectory *directory = nullptr;
  if (!Platform_OpenDirectoryAt(nullptr, parent, &directory)) {
    Platform_SetLastError(kPlatformErrorAccessDenied);  // the erase's error, not the open's
    return 0;
  }
  int result = FileOps_RemoveAt(directory, name, isDirectory);
  Platform_CloseDirectory(&directory);
  return result;
}

}  // namespace

int FileOps_RemoveAt(PlatformDirectory *parent, const char *name, int isDirectory) {
  if (Platform_RemoveAt(parent, name, isDirectory)) return 1;
  if (Platform_GetLastError() != kPlatformErrorAccessDenied) return 0;
  uint32_t mode = 0;
  // Only the owner write bit is lent; a parent that has it was refused for
  // another reason (another owner, an immutable flag).
  if (!Platform_GetDirectoryMode(parent, &mode) || (mode & kModeOwnerWrite) ||
      !Platform_SetDirectoryMode(parent, mode | kModeOwnerWrite)) {
    Platform_SetLastError(kPlatformErrorAccessDenied);
    return 0;
  }
  int result = Platform_RemoveAt(parent, name, isDirectory);
  int error = result ? 0 : Platform_GetLastError();
  Platform_SetDirectoryMode(parent, mode);
  if (!result) Platform_SetLastError(error);
  return result;
}

int FileOps_Retry(const char *operation, const char *path, const char *other, int tries,
                  int *error, FileOpsAttempt attempt, void *context) {
  CHECK_POINTER(operation);
  CHECK_POINTER(path);
  CHECK_POINTER(error);
  *error = kPlatformErrorInvalidParameter;
  for (int attemptIndex = 0; attemptIndex < tries; attemptIndex++) {
    if (attempt(context)) {
      *error = 0;
      return 1;
    }
    *error = Platform_GetLastError();
    if (*error == 0) *error = kPlatformErrorGeneral;
    if (attemptIndex + 1 >= tries) break;
    Platform_SleepMs(kRetryPauseMs);
    if (other)
      Log_Print(LOG_DEBUG, KSRC, 0, "Retrying %s(%s, %s) [LE: %d Try: %d/%d]\n", operation, path,
                other, *error, attemptIndex + 1, tries);
    else
      Log_Print(LOG_DEBUG, KSRC, 0, "Retrying %s(%s) [LE: %d Try: %d/%d]\n", operation, path,
                *error, attemptIndex + 1, tries);
  }
  if (other)
    Log_Print(LOG_DEBUG, KSRC, 0, "%s(%s, %s) failed [LE: %d]\n", operation, path, other, *error);
  else
    Log_Print(LOG_DEBUG, KSRC, 0, "%s(%s) failed [LE: %d]\n", operation, path, *error);
  Platform_SetLastError(*error);
  return 0;
}

// ---- Erase ----------------------------------------------------------------------------

namespace {

struct FileOpsErase {
  const char *path;
  int isDirectory;
};

int fileopsEraseAttempt(void *context) {
  auto *erase = static_cast<FileOpsErase *>(context);
  if (fileopsRemove(erase->path, erase->isDirectory)) return 1;
  // Gone between two tries (another process erased it): what was asked for.
  return !erase->isDirectory && Platform_IsErrorMissing(Platform_GetLastError()) ? 1 : 0;
}

int fileopsRefuseNotFile(const char *path, int *error) {
  Log_Print(LOG_DEBUG, KSRC, 0, "Unable to erase path that is not a file (%s)\n", path);
  return fileopsFail(kPlatformErrorAccessDenied, error);
}

}  // namespace

int EraseFile(const char *path, int tries, int *error) {
  CHECK_POINTER(path);
  CHECK_POINTER(error);
  *error = 0;
  char work[kPathMax];
  if (!fileopsResolve(path, work, error)) return 0;
  FileIdentity identity;
  if (!Platform_GetFileIdentity(work, 0, &identity)) {
    if (Platform_IsErrorMissing(Platform_GetLastError())) return 1;
    *error = Platform_GetLastError();
    return 0;
  }
  if (fileopsIsDirectoryMode(identity.mode)) return fileopsRefuseNotFile(work, error);
  FileOpsErase erase = {work, 0};
  return FileOps_Retry("EraseFile", work, nullptr, tries, error, fileopsEraseAttempt, &erase);
}

int ErasePath(const char *path, int tries, int *error) {
  CHECK_POINTER(path);
  CHECK_POINTER(error);
  *error = 0;
  char work[kPathMax];
  if (!fileopsResolve(path, work, error)) return 0;
  if (Path_IsProtected(work)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Refusing to erase protected path (%s)\n", work);
    return fileopsFail(kPlatformErrorAccessDenied, error);
  }
  // A link to a directory goes as a link: its target is not ours to erase.
  FileIdentity identity;
  int isLink = Platform_GetFileIdentity(work, 0, &identity) && fileopsIsLinkMode(identity.mode);
  FileOpsErase erase = {work, isLink ? 0 : 1};
  return FileOps_Retry("ErasePath", work, nullptr, tries, error, fileopsEraseAttempt, &erase);
}

int Path_IsProtected(const char *path) {
  CHECK_POINTER(path);
  char work[kPathMax];
  int error;
  if (!fileopsResolve(path, work, &error)) return 0;
  size_t length = strlen(work);
  if (length == 0 || strcmp(work, "/") == 0) return 1;
  bool drive = ((work[0] | 0x20) >= 'a' && (work[0] | 0x20) <= 'z') && work[1] == ':';
  if (drive && (length == 2 || (length == 3 && work[2] == '/'))) return 1;
  char home[kPathMax];
  bool haveHome = Platform_GetPath(kPathUserHome, home, sizeof home) &&
                  Path_Normalize(home, sizeof home, kPathRemoveTrailing);
  if (haveHome && Path_Equal(work, home, 0)) return 1;
  // The same directories reached by other names (a link, "/tmp/..").
  FileIdentity target, other;
  if (!Platform_GetFileIdentity(work, 1, &target)) return 0;
  if (Platform_GetFileIdentity("/", 1, &other) && other.device == target.device &&
      other.inode == target.inode)
    return 1;
  return haveHome && Platform_GetFileIdentity(home, 1, &other) && other.device == target.device &&
                 other.inode == target.inode
             ? 1
             : 0;
}

// ---- Move and copy ---------------------------------------------------------------------

namespace {

struct FileOpsMove {
  const char *source;
  const char *destination;
  PlatformProgressFunction progress;
  void *context;
};

int fileopsMoveAttempt(void *context) {
  auto *move = static_cast<FileOpsMove *>(context);
  return Platform_MoveFileWithProgress(move->source, move->destination, kMoveFlags, move->context,
                                       move->progress);
}

bool fileopsSameFile(const FileIdentity &a, const FileIdentity &b) {
  return a.device == b.device && a.inode == b.inode;
}

}  // namespace

int MoveFile(const char *source, const char *destination, int tries, int *error,
             PlatformProgressFunction progress, void *context) {
  CHECK_POINTER(source);
  CHECK_POINTER(destination);
  CHECK_POINTER(error);
  *error = 0;
  char from[kPathMax], to[kPathMax];
  if (!fileopsResolve(source, from, error) || !fileopsResolve(destination, to, error)) return 0;
  FileIdentity sourceId, destinationId;
  if (!Platform_GetFileIdentity(from, 0, &sourceId)) {
    *error = Platform_GetLastError();
    Log_Print(LOG_DEBUG, KSRC, 0, "MoveFile(%s, %s) source does not exist\n", from, to);
    return 0;
  }
  // Moving a file onto itself, by its own name or another of its hard links,
  // leaves it where it is; erasing the destination first would lose it.
  if (Path_Equal(from, to, 0)) return 1;
  bool destinationExists = Platform_GetFileIdentity(to, 0, &destinationId);
  if (destinationExists && fileopsSameFile(sourceId, destinationId)) return 1;
  if (destinationExists && fileopsIsDirectoryMode(destinationId.mode))
    return fileopsRefuseNotFile(to, error);
  if (!Path_CreateDirectory(to, 1, error)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "MoveFile(%s, %s) unable to create destination directory [LE: %d]\n",
              from, to, *error);
    return 0;
  }
  // The rename replaces the destination in one step, so it is never erased
  // ahead of a move that may yet fail.
  FileOpsMove move = {from, to, progress, context};
  return FileOps_Retry("MoveFile", from, to, tries, error, fileopsMoveAttempt, &move);
}

namespace {

// Copies into the destination's directory, opened once as the caller named
// it: the temporary file and the rename that puts it in place act on that
// one directory, and nothing at the destination's name is ever written
// through.
int fileopsCopyInto(const char *from, const char *to, int failIfExists,
                    PlatformProgressFunction progress, void *context) {
  char parent[kPathMax];
  const char *name;
  fileopsSplit(to, parent, &name);
  size_t length = strlen(parent);
  if (parent[length - 1] != '/') {  // the trailing '/' follows a parent that is a link
    if (length + 1 >= sizeof parent) return fileopsFail(kPlatformErrorNameTooLong, nullptr);
    memcpy(parent + length, "/", 2);
  }
  PlatformDirectory *directory = nullptr;
  if (!Platform_OpenDirectoryAt(nullptr, parent, &directory)) return 0;
  PlatformCopyAt copy = {nullptr, from, directory, name, from, to, failIfExists, context, progress};
  int result = Platform_CopyFileAt(&copy);
  Platform_CloseDirectory(&directory);
  return result;
}

}  // namespace

int CopyFile(const char *source, const char *destination, int failIfExists, int *error,
             PlatformProgressFunction progress, void *context) {
  if (failIfExists != 0 && failIfExists != 1)
    Core_Abort(KSRC,
               "Assertion failed (((FailIfExists) == FALSE || (FailIfExists) == TRUE))\nVariable "
               "'%s' is not boolean\n",
               "FailIfExists");
  CHECK_POINTER(source);
  CHECK_POINTER(destination);
  CHECK_POINTER(error);
  *error = 0;
  char from[kPathMax], to[kPathMax];
  if (!fileopsResolve(source, from, error) || !fileopsResolve(destination, to, error)) return 0;
  if (!Path_CreateDirectory(to, 1, error)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "CopyFile(%s, %s) unable to create destination directory [LE: %d]\n",
              from, to, *error);
    return 0;
  }
  if (fileopsCopyInto(from, to, failIfExists, progress, context)) return 1;
  *error = Platform_GetLastError();
  Log_Print(LOG_DEBUG, KSRC, 0, "CopyFile(%s, %s) failed [LE: %d]\n", from, to, *error);
  return 0;
}

// ---- Links ---------------------------------------------------------------------------------

int Path_IsSymbolicLink(const char *path) {
  CHECK_POINTER(path);
  char work[kPathMax];
  int error;
  uint32_t attributes = 0;
  if (!fileopsResolve(path, work, &error) || !Platform_GetAttributes(-1, work, &attributes))
    return 0;
  return (attributes & kFileAttributeSymlink) ? 1 : 0;
}

int Path_ResolveLinks(const char *path, char *out, int size) {
  CHECK_POINTER(path);
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  char current[kPathMax], target[kPathMax];
  int error;
  if (!fileopsResolve(path, current, &error)) return 0;
  for (int level = 0;; level++) {
    FileIdentity identity;
    if (!Platform_GetFileIdentity(current, 0, &identity) || !fileopsIsLinkMode(identity.mode)) {
      if (Str_Set(out, current, size)) return 1;
      if (size > 0) out[0] = '\0';
      Platform_SetLastError(kPlatformErrorNameTooLong);
      return 0;
    }
    if (level == kMaxLinkLevels) {
      Platform_SetLastError(kPlatformErrorLinkLoop);
      return 0;
    }
    if (!Platform_GetSymlinkTarget(current, target, sizeof target)) return 0;
    if (target[0] != '/') {  // relative to the directory that holds the link
      char joined[kPathMax];
      char *last = strrchr(current, '/');
      size_t keep = last ? size_t(last - current) + 1 : 0;
      if (keep + strlen(target) >= sizeof joined) {
        Platform_SetLastError(kPlatformErrorNameTooLong);
        return 0;
      }
      memcpy(joined, current, keep);
      memcpy(joined + keep, target, strlen(target) + 1);
      memcpy(target, joined, strlen(joined) + 1);
    }
    if (!Path_Normalize(target, sizeof target, kPathRemoveTrailing)) return 0;
    memcpy(current, target, strlen(target) + 1);
  }
}

int Path_CreateSymbolicLink(const char *link, const char *target, int flags) {
  CHECK_POINTER(link);
  CHECK_POINTER(target);
  char work[kPathMax];
  int error;
  if (!fileopsResolve(link, work, &error)) return 0;
  return Platform_CreateSymlink(work, target, flags & 1);
}

// ---- Size, times, mode, attributes -------------------------------------------------------

namespace {

// The status of path (links followed) for a getter; logs "<name>(%s) failed
// [LE: %d]\n" on failure.
bool fileopsGetIdentity(const char *name, const char *path, FileIdentity *identity, int *error) {
  CHECK_POINTER(path);
  CHECK_POINTER(error);
  *error = 0;
  char work[kPathMax];
  if (fileopsResolve(path, work, error) && Platform_GetFileIdentity(work, 1, identity)) return true;
  *error = Platform_GetLastError();
  Log_Print(LOG_DEBUG, KSRC, 0, "%s(%s) failed [LE: %d]\n", name, path, *error);
  return false;
}

int fileopsSetterFailed(const char *name, const char *path, int *error) {
  *error = Platform_GetLastError();
  Log_Print(LOG_DEBUG, KSRC, 0, "%s(%s) failed [LE: %d]\n", name, path, *error);
  return 0;
}

}  // namespace

int Path_GetFileSize(const char *path, uint64_t *size) {
  CHECK_POINTER(path);
  CHECK_POINTER(size);
  *size = 0;
  PlatformFileStatus status;
  if (!Path_Stat(path, &status)) return 0;
  *size = uint64_t(status.size);
  return 1;
}

int GetCreationTime(const char *path, double *seconds, int *error) {
  CHECK_POINTER(path);
  CHECK_POINTER(seconds);
  CHECK_POINTER(error);
  *seconds = 0;
  *error = 0;
  PlatformFileStatus status;
  if (!Path_Stat(path, &status)) {
    *error = Platform_GetLastError();
    Log_Print(LOG_DEBUG, KSRC, 0, "GetCreationTime(%s) failed [LE: %d]\n", path, *error);
    return 0;
  }
  *seconds = double(status.creationTime);
  return 1;
}

int GetModifiedTime(const char *path, double *seconds, int *error) {
  CHECK_POINTER(seconds);
  *seconds = 0;
  FileIdentity identity;
  if (!fileopsGetIdentity("GetModifiedTime", path, &identity, error)) return 0;
  *seconds = double(identity.modifiedSeconds) + identity.modifiedNanoseconds / 1e9;
  return 1;
}

int SetModifiedTime(const char *path, double seconds, int *error) {
  CHECK_POINTER(path);
  CHECK_POINTER(error);
  *error = 0;
  char work[kPathMax];
  if (!std::isfinite(seconds)) {
    Platform_SetLastError(kPlatformErrorInvalidParameter);
    return fileopsSetterFailed("SetModifiedTime", path, error);
  }
  double whole = std::floor(seconds);
  auto nanoseconds = int32_t(std::lround((seconds - whole) * 1e9));
  if (nanoseconds > 999999999) nanoseconds = 999999999;
  if (!fileopsResolve(path, work, error) ||
      !Platform_SetModifiedTime(work, int64_t(whole), nanoseconds, 1))
    return fileopsSetterFailed("SetModifiedTime", path, error);
  return 1;
}

int GetMode(const char *path, uint32_t *mode, int *error) {
  CHECK_POINTER(mode);
  *mode = 0;
  FileIdentity identity;
  if (!fileopsGetIdentity("GetMode", path, &identity, error)) return 0;
  *mode = identity.mode;
  return 1;
}

int SetMode(const char *path, uint32_t mode, int *error) {
  CHECK_POINTER(path);
  CHECK_POINTER(error);
  *error = 0;
  char work[kPathMax];
  if (!fileopsResolve(path, work, error) || !Platform_SetMode(work, mode, 1))
    return fileopsSetterFailed("SetMode", path, error);
  return 1;
}

int GetAttributes(const char *path, uint32_t *attributes, int *error) {
  CHECK_POINTER(path);
  CHECK_POINTER(attributes);
  CHECK_POINTER(error);
  *attributes = 0;
  *error = 0;
  char work[kPathMax];
  if (!fileopsResolve(path, work, error) || !Platform_GetAttributes(-1, work, attributes))
    return fileopsSetterFailed("GetAttributes", path, error);
  return 1;
}

int SetAttributes(const char *path, uint32_t attributes, int *error) {
  CHECK_POINTER(path);
  CHECK_POINTER(error);
  *error = 0;
  char work[kPathMax];
  if (!fileopsResolve(path, work, error) || !Platform_SetAttributes(-1, work, attributes))
    return fileopsSetterFailed("SetAttributes", path, error);
  return 1;
}

int Path_MakeWritable(const char *path) {
  CHECK_POINTER(path);
  char work[kPathMax];
  int error;
  FileIdentity identity;
  if (!fileopsResolve(path, work, &error) || !Platform_GetFileIdentity(work, 0, &identity))
    return 0;
  if (fileopsIsLinkMode(identity.mode)) return 1;  // a link's own mode means nothing
  if (identity.mode & kModeOwnerWrite) return 1;
  if (!Platform_SetMode(work, identity.mode | kModeOwnerWrite, 0)) return 0;
  // Read back: some file systems take the call and keep their own idea.
  if (!Platform_GetFileIdentity(work, 0, &identity)) return 0;
  return (identity.mode & kModeOwnerWrite) ? 1 : 0;
}
