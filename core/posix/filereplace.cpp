// Whole-file replacement through a temporary file and a rename; see
// core/platform/filereplace.h.
#include "core/platform/filereplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/posix/errors.h"
#include "core/runtime/core.h"
#include "core/runtime/str.h"

namespace {

// Leaves room for ".tmp.XXXXXX" within a file name's 255 bytes.
constexpr size_t kFileReplaceNameKeptBytes = 200;
constexpr char kFileReplaceTempInfix[] = ".tmp.";
constexpr int kFileReplaceSuffixChars = 6;
constexpr int kFileReplaceNameAttempts = 100;

// Removes the temporary file and closes both descriptors, keeping the
// thread's last error. Always 0.
int fileReplaceUndo(FileReplace *r) {
  int code = Platform_GetLastError();
  if (r->fd >= 0) close(r->fd);
  r->fd = -1;
  if (r->temp[0] != '\0' && r->directoryFd >= 0) unlinkat(r->directoryFd, r->temp, 0);
  r->temp[0] = '\0';
  if (r->directoryFd >= 0) close(r->directoryFd);
  r->directoryFd = -1;
  Platform_SetLastError(code);
  return 0;
}

// Opens the directory of path and keeps the last component in r->name.
int fileReplaceOpenDirectory(FileReplace *r, const char *path) {
  const char *slash = strrchr(path, '/');
  const char *name = slash ? slash + 1 : path;
  if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
    return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, EINVAL, "replace", path);
  if (!Str_Set(r->name, name, int(sizeof r->name)))
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "replace", path);
  char directory[kPathMax];
  if (slash == nullptr) {
    Str_Set(directory, ".", sizeof directory);
  } else if (slash == path) {
    Str_Set(directory, "/", sizeof directory);
  } else {
    auto length = size_t(slash - path);
    if (length >= sizeof directory)
      return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "replace", path);
    memcpy(directory, path, length);
    directory[length] = '\0';
  }
  do r->directoryFd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (r->directoryFd < 0 && errno == EINTR);
  return r->directoryFd >= 0 ? 1 : POSIX_FAIL("open", directory);
}

// Creates the temporary file under a fresh random name.
int fileReplaceCreateTemp(FileReplace *r, mode_t mode, const char *path) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  size_t kept = strlen(r->name);
  if (kept > kFileReplaceNameKeptBytes) kept = kFileReplaceNameKeptBytes;
  memcpy(r->temp, r->name, kept);
  memcpy(r->temp + kept, kFileReplaceTempInfix, sizeof kFileReplaceTempInfix - 1);
  char *suffix = r->temp + kept + sizeof kFileReplaceTempInfix - 1;
  suffix[kFileReplaceSuffixChars] = '\0';
  for (int attempt = 0; attempt < kFileReplaceNameAttempts; attempt++) {
    unsigned char random[kFileReplaceSuffixChars];
    Platform_RandomBytes(random, sizeof random);
    for (int i = 0; i < kFileReplaceSuffixChars; i++)
      suffix[i] = kLetters[random[i] % (sizeof kLetters - 1)];
    int fd;
    do fd = openat(r->directoryFd, r->temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   mode);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      r->fd = fd;
      return 1;
    }
    if (errno != EEXIST) break;
  }
  r->temp[0] = '\0';  // nothing of ours to remove
  return errno == EEXIST ? POSIX_FAIL_CODE(kPlatformErrorFileExists, EEXIST, "open", path)
                         : POSIX_FAIL("open", path);
}

}  // namespace

int FileReplace_Begin(FileReplace *replace, const char *path) {
  CHECK_POINTER(replace);
  CHECK_POINTER(path);
  FileReplace *r = replace;
  r->fd = r->directoryFd = -1;
  r->name[0] = r->temp[0] = '\0';
  if (!fileReplaceOpenDirectory(r, path)) return fileReplaceUndo(r);
  struct stat old;
  bool hasOld = fstatat(r->directoryFd, r->name, &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (!hasOld && errno != ENOENT) return POSIX_FAIL("stat", path), fileReplaceUndo(r);
  if (hasOld && S_ISLNK(old.st_mode)) hasOld = false;  // the link goes, its target stays
  if (hasOld && !S_ISREG(old.st_mode))
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EISDIR, "replace", path),
           fileReplaceUndo(r);
  // A file we could not write in place is not replaced either.
  if (hasOld && faccessat(r->directoryFd, r->name, W_OK, AT_EACCESS) != 0)
    return POSIX_FAIL("access", path), fileReplaceUndo(r);
  // 0600 until the old file's mode is set, so no one opens it meanwhile.
  if (!fileReplaceCreateTemp(r, hasOld ? 0600 : 0666, path)) return fileReplaceUndo(r);
  if (!hasOld) return 1;
  struct stat now, directory;
  if (fstat(r->fd, &now) != 0 || fstat(r->directoryFd, &directory) != 0)
    return POSIX_FAIL("fstat", r->temp), fileReplaceUndo(r);
  // Where another user may make names, the old file may be one they
  // planted: the new file is ours, writable by no one else.
  bool shared = (directory.st_uid != geteuid() && directory.st_uid != 0) ||
                (directory.st_mode & 022) != 0;
  if (shared) {
    if (fchmod(r->fd, old.st_mode & 0644) != 0)
      return POSIX_FAIL("fchmod", path), fileReplaceUndo(r);
    return 1;
  }
  if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
      fchown(r->fd, old.st_uid, old.st_gid) != 0)
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, errno, "fchown", path),
           fileReplaceUndo(r);
  // After the owner: a change of owner clears the set-id bits.
  if (fchmod(r->fd, old.st_mode & 07777) != 0)
    return POSIX_FAIL("fchmod", path), fileReplaceUndo(r);
  return 1;
}

int FileReplace_Write(FileReplace *replace, const void *data, size_t size) {
  CHECK_POINTER(replace);
  auto *bytes = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = write(replace->fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return POSIX_FAIL("write", replace->temp);
    if (n == 0) return POSIX_FAIL_CODE(kPlatformErrorDiskFull, ENOSPC, "write", replace->temp);
    bytes += n;
    size -= size_t(n);
  }
  return 1;
}

int FileReplace_Commit(FileReplace *replace) {
  CHECK_POINTER(replace);
  FileReplace *r = replace;
  if (fsync(r->fd) != 0) return POSIX_FAIL("fsync", r->temp), fileReplaceUndo(r);
  int fd = r->fd;
  r->fd = -1;
  // Linux frees the descriptor even when close reports an error, which on
  // some file systems is the write error itself.
  if (close(fd) != 0 && errno != EINTR) return POSIX_FAIL("close", r->temp), fileReplaceUndo(r);
  if (renameat(r->directoryFd, r->temp, r->directoryFd, r->name) != 0)
    return POSIX_FAIL("rename", r->name), fileReplaceUndo(r);
  r->temp[0] = '\0';  // the name is the new file's now
  int ok = fsync(r->directoryFd) == 0 ? 1 : POSIX_FAIL("fsync", r->name);
  close(r->directoryFd);
  r->directoryFd = -1;
  return ok;
}

void FileReplace_Abort(FileReplace *replace) {
  CHECK_POINTER(replace);
  fileReplaceUndo(replace);
}
