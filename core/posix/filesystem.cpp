// The file-system primitives on Linux system calls; see core/platform/platform.h.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/posix/errors.h"
#include "core/posix/fsdirectory.h"
#include "core/posix/sharemode.h"
#include "core/runtime/str.h"

namespace {

// One copy_file_range call moves at most this much; progress is reported in
// between, so a cancel takes effect within one chunk.
constexpr size_t kCopyChunkBytes = 8u << 20;
// The read/write path (across file systems that cannot copy in the kernel)
// moves this much per call.
constexpr size_t kCopyBufferBytes = 1u << 20;
// Disk geometry is reported in sectors of this size; the cluster is the file
// system's fragment size.
constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kPlatformFindTag = 0x5f1d0c3a;
constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

struct FsPath {
  char text[kPathMax];
};

// Reads a caller's path into work: '\\' is a separator, a "\\\\" (network
// share) path does not exist here (3), and a path that does not fit fails
// (206) rather than name another file.
bool fsPath(const char *path, FsPath *work, const char *call) {
  CHECK_POINTER(path);
  if (path[0] == '\\' && path[1] == '\\') {
    POSIX_FAIL_CODE(kPlatformErrorPathNotFound, 0, call, path);
    return false;
  }
  size_t length = strlen(path);
  if (length >= sizeof work->text) {
    POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, call, path);
    return false;
  }
  for (size_t i = 0; i <= length; i++) work->text[i] = path[i] == '\\' ? '/' : path[i];
  return true;
}

int fsOpen(const char *path, int flags, mode_t mode) {
  int fd;
  do fd = open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

int fsStatx(int dirfd, const char *path, int flags, struct statx *sx) {
  return FsDirectory_Statx(dirfd, path, flags, sx);
}

// The birth time where the file system records one, else the earlier of the
// modification and change times (the oldest moment the file is known to have
// existed).
int64_t fsCreationSeconds(const struct statx &sx) {
  if ((sx.stx_mask & STATX_BTIME) && sx.stx_btime.tv_sec != 0) return sx.stx_btime.tv_sec;
  return std::min<int64_t>(sx.stx_mtime.tv_sec, sx.stx_ctime.tv_sec);
}

void fsToTime(int64_t seconds, PlatformTime *out) {
  time_t whole = time_t(seconds);
  struct tm fields;
  if (gmtime_r(&whole, &fields) == nullptr) {
    memset(out, 0, sizeof *out);
    return;
  }
  *out = {fields.tm_sec, fields.tm_min,  fields.tm_hour, fields.tm_mday,
          fields.tm_mon, fields.tm_year, fields.tm_wday};
}

// A broken-down time as a timespec; false when a field is out of range, so
// a bad record is refused instead of normalised into another moment.
bool fsFromTime(const PlatformTime *in, struct timespec *out) {
  if (in->second < 0 || in->second > 60 || in->minute < 0 || in->minute > 59 || in->hour < 0 ||
      in->hour > 23 || in->day < 1 || in->day > 31 || in->month < 0 || in->month > 11)
    return false;
  struct tm fields;
  memset(&fields, 0, sizeof fields);
  fields.tm_sec = in->second;
  fields.tm_min = in->minute;
  fields.tm_hour = in->hour;
  fields.tm_mday = in->day;
  fields.tm_mon = in->month;
  fields.tm_year = in->year;
  out->tv_sec = timegm(&fields);
  out->tv_nsec = 0;
  return true;
}

// The last component of a path (trailing separators ignored), for the
// hidden bit.
bool fsIsHiddenName(const char *path) {
  size_t end = strlen(path);
  while (end > 1 && path[end - 1] == '/') end--;
  size_t start = end;
  while (start > 0 && path[start - 1] != '/') start--;
  size_t length = end - start;
  if (length == 0 || path[start] != '.') return false;
  return !(length == 1 || (length == 2 && path[start + 1] == '.'));  // "." and ".."
}

// Attribute bits of an entry from its own status; a link is followed once to
// learn whether it leads to a directory and whether that is read-only.
uint32_t fsAttributes(int dirfd, const char *path, const struct statx &own) {
  uint32_t attributes = 0;
  uint32_t mode = own.stx_mode;
  if (S_ISLNK(own.stx_mode)) {
    attributes |= kFileAttributeSymlink;
    struct statx target;
    if (fsStatx(dirfd, path, 0, &target) == 0) {
      mode = target.stx_mode;
      if (S_ISDIR(target.stx_mode)) attributes |= kFileAttributeDirectory;
    }
  } else if (S_ISDIR(own.stx_mode)) {
    attributes |= kFileAttributeDirectory;
  }
  if (!(mode & S_IWUSR)) attributes |= kFileAttributeReadOnly;
  if (fsIsHiddenName(path)) attributes |= kFileAttributeHidden;
  return attributes;
}

// Cuts path after its last separator ("a/b/c" -> "a/b/"); false when it has
// none.
bool fsCutAfterLastSeparator(char *path) {
  char *slash = strrchr(path, '/');
  if (slash == nullptr) return false;
  slash[1] = '\0';
  return true;
}

int fsSyncDirectoryOf(const char *path) {
  FsPath directory;
  memcpy(directory.text, path, strlen(path) + 1);
  if (!fsCutAfterLastSeparator(directory.text)) memcpy(directory.text, ".", 2);
  int fd = fsOpen(directory.text, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return POSIX_FAIL("open", directory.text);
  int rc;
  do rc = fsync(fd);
  while (rc != 0 && errno == EINTR);
  int err = errno;
  close(fd);
  return rc == 0 ? 1 : POSIX_FAIL_CODE(PosixError_FromErrno(err), err, "fsync", directory.text);
}

// ---- Copy ------------------------------------------------------------------------

struct FsCopy {
  const char *source;  // the paths as the caller named them, for progress
  const char *destination;
  void *userData;
  PlatformProgressFunction progress;
  bool exclusive;  // O_EXCL: an existing destination fails with 80
  bool sync;       // fsync before closing
  const int64_t *skip = nullptr;  // (offset, length) pairs left out (PlatformCopyAt)
  int32_t skipCount = 0;
  bool keepPrivate = false;  // the copy stays 0600 (PlatformCopyAt)
};

// Writes all of buffer, at offset when it is not negative, else at the
// file's position; false with errno set.
bool fsWriteAll(int fd, const char *buffer, size_t length, int64_t offset) {
  while (length > 0) {
    ssize_t n = offset < 0 ? write(fd, buffer, length) : pwrite(fd, buffer, length, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    buffer += n;
    length -= size_t(n);
    if (offset >= 0) offset += n;
  }
  return true;
}

// Moves up to want bytes from in to out, at offset in both when it is not
// negative, else from the files' positions: in the kernel where it can,
// else through buffer (allocated on first need). Bytes moved, 0 at the
// source's end, -1 (errno).
ssize_t fsCopyChunk(int in, int out, int64_t offset, size_t want, bool *inKernel, char **buffer) {
  for (;;) {
    if (*inKernel) {
      loff_t from = offset, to = offset;
      ssize_t n = offset < 0 ? copy_file_range(in, nullptr, out, nullptr, want, 0)
                             : copy_file_range(in, &from, out, &to, want, 0);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      // Not between these two files (another file system type, a kernel
      // without it): the file offsets stand where they are, so the
      // read/write path carries on from there.
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
      *inKernel = false;
    }
    if (*buffer == nullptr) *buffer = static_cast<char *>(MEM_ALLOC(kCopyBufferBytes, 0));
    const size_t size = std::min(want, kCopyBufferBytes);
    ssize_t n = offset < 0 ? read(in, *buffer, size) : pread(in, *buffer, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n;
    if (!fsWriteAll(out, *buffer, size_t(n), offset)) return -1;
    return n;
  }
}

// Copies the data of in (status st) to out but the ranges copy.skip names:
// out takes st's size first, so those read as zeros. 1, or 0 with the error
// recorded.
int fsCopyRanges(int in, const struct stat &st, int out, const FsCopy &copy) {
  int64_t size = st.st_size;
  if (ftruncate(out, size) != 0) return POSIX_FAIL("ftruncate", copy.destination);
  bool inKernel = true;
  char *buffer = nullptr;
  int64_t at = 0, done = 0;
  int result = 1;
  for (int32_t i = 0; result && i <= copy.skipCount && at < size; i++) {
    int64_t end = i < copy.skipCount ? std::min(copy.skip[2 * i], size) : size;
    while (at < end) {
      ssize_t n = fsCopyChunk(in, out, at, size_t(std::min<int64_t>(end - at, kCopyChunkBytes)),
                              &inKernel, &buffer);
      if (n < 0) {
        result = POSIX_FAIL("copy", copy.destination);
        break;
      }
      if (n == 0) break;  // the source got shorter: the rest stays zeros
      at += n;
      done += n;
      if (copy.progress &&
          !copy.progress(copy.userData, copy.source, copy.destination, done, size)) {
        result = POSIX_FAIL_CODE(kPlatformErrorCancelled, 0, "copy cancelled", copy.destination);
        break;
      }
    }
    if (i < copy.skipCount) at = std::max(at, copy.skip[2 * i] + copy.skip[2 * i + 1]);
  }
  if (buffer) MEM_FREE(buffer, kCopyBufferBytes);
  return result;
}

// Copies the data of in (status st) to out, calling progress after each
// chunk. 1, or 0 with the error recorded.
int fsCopyData(int in, const struct stat &st, int out, const FsCopy &copy) {
  if (copy.skipCount > 0 && st.st_size > 0) return fsCopyRanges(in, st, out, copy);
  // Files whose size says 0 may still have content (/proc); only reading
  // finds it.
  bool inKernel = st.st_size > 0;
  char *buffer = nullptr;
  int64_t total = st.st_size;
  int64_t done = 0;
  int result = 1;
  for (;;) {
    ssize_t n = fsCopyChunk(in, out, -1, kCopyChunkBytes, &inKernel, &buffer);
    if (n < 0) {
      result = POSIX_FAIL("copy", copy.destination);
      break;
    }
    if (n == 0) break;
    done += n;
    total = std::max(total, done);
    if (copy.progress &&
        !copy.progress(copy.userData, copy.source, copy.destination, done, total)) {
      result = POSIX_FAIL_CODE(kPlatformErrorCancelled, 0, "copy cancelled", copy.destination);
      break;
    }
  }
  if (buffer) MEM_FREE(buffer, kCopyBufferBytes);
  return result;
}

// The source's permission bits and modified time, then (when asked) the
// data on disk.
int fsCopyFinish(int out, const struct stat &st, const FsCopy &copy) {
  if (!copy.keepPrivate && fchmod(out, st.st_mode & 0777) != 0)
    return POSIX_FAIL("fchmod", copy.destination);
  struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
  if (futimens(out, times) != 0) return POSIX_FAIL("futimens", copy.destination);
  if (copy.sync) {
    int rc;
    do rc = fsync(out);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) return POSIX_FAIL("fsync", copy.destination);
  }
  return 1;
}

// Opens the regular file name inside dirfd for reading, refusing a link at
// name when noFollow; its status goes to st. O_NONBLOCK: a FIFO planted
// where a file was is refused below instead of blocking the open. The
// descriptor, or -1 with the error recorded.
int fsOpenSource(int dirfd, const char *name, bool noFollow, const FsCopy &copy,
                 struct stat *st) {
  int in;
  do in = openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | (noFollow ? O_NOFOLLOW : 0));
  while (in < 0 && errno == EINTR);
  if (in < 0) {
    POSIX_FAIL("open", copy.source);
    return -1;
  }
  if (fstat(in, st) != 0) {
    POSIX_FAIL("fstat", copy.source);
    close(in);
    return -1;
  }
  if (!S_ISREG(st->st_mode)) {
    close(in);
    const bool directory = S_ISDIR(st->st_mode);
    POSIX_FAIL_CODE(directory ? kPlatformErrorAccessDenied : kPlatformErrorInvalidParameter,
                    directory ? EISDIR : EINVAL, "copy", copy.source);
    return -1;
  }
  return in;
}

int fsCopy(const char *source, const char *destination, const FsCopy &copy) {
  struct stat st;
  int in = fsOpenSource(AT_FDCWD, source, false, copy, &st);
  if (in < 0) return 0;
  // No O_TRUNC: the destination may be the source itself (the same path, a
  // hard link); that must be found before a byte of it is lost. A new file is
  // its owner's alone until the copy gives it the source's bits, so a private
  // source is never readable half-copied.
  struct stat target;
  int out = FsDirectory_OpenFile(AT_FDCWD, destination,
                                 O_WRONLY | O_CREAT | (copy.exclusive ? O_EXCL | O_NOFOLLOW : 0),
                                 0600, "open", copy.destination, &target);
  if (out < 0) {
    close(in);
    return 0;
  }
  if (target.st_dev == st.st_dev && target.st_ino == st.st_ino) {
    close(out);
    close(in);
    return POSIX_FAIL_CODE(kPlatformErrorSharingViolation, 0, "copy onto itself", copy.destination);
  }
  // Only a destination with content is cut: ext4 takes a truncation to 0
  // followed by writes as a replace-by-truncate and starts writeback when
  // the file is closed, which a new file must not pay for.
  int result =
      target.st_size == 0 || ftruncate(out, 0) == 0 ? 1 : POSIX_FAIL("ftruncate", copy.destination);
  if (result) result = fsCopyData(in, st, out, copy);
  if (result) result = fsCopyFinish(out, st, copy);
  if (close(out) != 0 && result) result = POSIX_FAIL("close", copy.destination);
  close(in);
  // Half a file under the destination's name would pass for the whole one.
  if (!result) unlink(destination);
  return result;
}

// ---- Move ------------------------------------------------------------------------

// The temporary name beside name (a path's last component): its own name
// with ".<8 hex digits>.tmp", or only ".<8 hex digits>.tmp" where that would
// pass the longest name a directory holds. false when even that does not
// fit (206).
bool fsTemporaryNameAt(const char *name, FsPath *out) {
  constexpr size_t kNameMax = 255;
  unsigned char random[4];
  Platform_RandomBytes(random, sizeof random);
  char suffix[14] = ".";
  Str_HexEncode(random, sizeof random, 1, suffix + 1, 9);
  memcpy(suffix + 9, ".tmp", 5);
  const char *slash = strrchr(name, '/');
  size_t keep = slash ? size_t(slash - name) + 1 : 0;
  size_t last = strlen(name) - keep;
  if (last + 13 > kNameMax || keep + last + 14 > sizeof out->text) last = 0;
  if (keep + 14 > sizeof out->text) return false;
  memcpy(out->text, name, keep + last);
  memcpy(out->text + keep + last, suffix, 14);
  return true;
}

int fsRenameAt(int fromFd, const char *source, int toFd, const char *destination, bool replace) {
  if (renameat2(fromFd, source, toFd, destination, replace ? 0 : RENAME_NOREPLACE) == 0) return 1;
  if (errno != EINVAL || replace) return 0;
  // A file system without the no-replace rename: ask first, then rename.
  struct stat st;
  if (fstatat(toFd, destination, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return 0;
  }
  return renameat(fromFd, source, toFd, destination) == 0;
}

int fsRename(const char *source, const char *destination, bool replace) {
  return fsRenameAt(AT_FDCWD, source, AT_FDCWD, destination, replace);
}

// The source's directory must let us remove the source, or the copy across
// file systems would end with the file in both places.
bool fsCanRemove(const char *path) {
  FsPath directory;
  memcpy(directory.text, path, strlen(path) + 1);
  if (!fsCutAfterLastSeparator(directory.text)) memcpy(directory.text, ".", 2);
  return faccessat(AT_FDCWD, directory.text, W_OK | X_OK, AT_EACCESS) == 0;
}

// A move across file systems: the copy lands under a temporary name beside
// the destination and is renamed over it only when complete and synced, so
// the destination is either untouched or whole.
int fsMoveByCopy(const char *source, const char *destination, uint32_t flags, FsCopy copy) {
  struct stat st;
  if (lstat(source, &st) != 0) return POSIX_FAIL("lstat", copy.source);
  if (!S_ISREG(st.st_mode))  // directories and links are never copied
    return POSIX_FAIL_CODE(kPlatformErrorNotSameDevice, EXDEV, "move", copy.source);
  const bool replace = flags & kPlatformMoveReplace;
  struct stat existing;
  if (!replace && lstat(destination, &existing) == 0)
    return POSIX_FAIL_CODE(kPlatformErrorAlreadyExists, EEXIST, "move", copy.destination);
  if (!fsCanRemove(source)) return POSIX_FAIL("move", copy.source);
  FsPath temporary;
  if (!fsTemporaryNameAt(destination, &temporary))
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "move", copy.destination);
  copy.exclusive = true;
  copy.sync = true;
  if (!fsCopy(source, temporary.text, copy)) return 0;
  if (!fsRename(temporary.text, destination, replace)) {
    int result = POSIX_FAIL("rename", copy.destination);
    unlink(temporary.text);
    return result;
  }
  if ((flags & kPlatformMoveWriteThrough) && !fsSyncDirectoryOf(destination)) return 0;
  if (unlink(source) != 0) return POSIX_FAIL("unlink", copy.source);
  return 1;
}

int fsMove(const char *source, const char *destination, uint32_t flags, void *userData,
           PlatformProgressFunction progress) {
  FsPath from, to;
  if (!fsPath(source, &from, "move") || !fsPath(destination, &to, "move")) return 0;
  if (fsRename(from.text, to.text, flags & kPlatformMoveReplace)) {
    if (flags & kPlatformMoveWriteThrough) return fsSyncDirectoryOf(to.text);
    return 1;
  }
  if (errno != EXDEV || !(flags & kPlatformMoveCopyAllowed)) return POSIX_FAIL("rename", source);
  FsCopy copy = {source, destination, userData, progress, true, true};
  return fsMoveByCopy(from.text, to.text, flags, copy);
}

// ---- Copy into a directory ------------------------------------------------------------

// A name inside a directory, or (without one) a path as fsPath reads it.
bool fsNameAt(PlatformDirectory *directory, const char *name, FsPath *work, const char *call) {
  if (directory == nullptr) return fsPath(name, work, call);
  return FsDirectory_Name(name, work->text, call);
}

// What is at the destination decides before any data moves: with
// failIfExists anything (80); the source itself (32); a directory (5).
int fsCopyCheckTarget(int toFd, const char *to, const struct stat &source, bool failIfExists,
                      const FsCopy &copy) {
  struct stat existing;
  if (fstatat(toFd, to, &existing, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? 1 : POSIX_FAIL("fstatat", copy.destination);
  if (failIfExists)
    return POSIX_FAIL_CODE(kPlatformErrorFileExists, EEXIST, "copy", copy.destination);
  if (existing.st_dev == source.st_dev && existing.st_ino == source.st_ino)
    return POSIX_FAIL_CODE(kPlatformErrorSharingViolation, 0, "copy onto itself", copy.destination);
  if (S_ISDIR(existing.st_mode))
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EISDIR, "copy", copy.destination);
  return 1;
}

// Copies in (status st) into a new temporary file beside to and renames it
// over to. 1, or 0 with the temporary file gone.
int fsCopyIntoPlace(int in, const struct stat &st, int toFd, const char *to, bool failIfExists,
                    const FsCopy &copy) {
  FsPath temporary;
  if (!fsTemporaryNameAt(to, &temporary))
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "copy", copy.destination);
  int out;
  do out = openat(toFd, temporary.text, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  while (out < 0 && errno == EINTR);
  if (out < 0) return POSIX_FAIL("open", copy.destination);
  int result = fsCopyData(in, st, out, copy);
  if (result) result = fsCopyFinish(out, st, copy);
  if (close(out) != 0 && result) result = POSIX_FAIL("close", copy.destination);
  if (result && !fsRenameAt(toFd, temporary.text, toFd, to, !failIfExists)) {
    if (errno == EEXIST && failIfExists)  // taken since it was looked at
      result = POSIX_FAIL_CODE(kPlatformErrorFileExists, EEXIST, "rename", copy.destination);
    else
      result = POSIX_FAIL("rename", copy.destination);
  }
  if (!result) unlinkat(toFd, temporary.text, 0);
  return result;
}

// ---- Listings ----------------------------------------------------------------------

}  // namespace

struct PlatformFind {
  uint32_t tag;
  uint32_t clusterBytes;
  DIR *dir;
  char pattern[kPathMax];  // the last component of the caller's pattern
};

void FsDirectory_FillEntry(int dirfd, const char *name, const struct statx &sx,
                           uint32_t clusterBytes, DirectoryEntry *entry) {
  memset(entry, 0, sizeof *entry);
  entry->attributes = fsAttributes(dirfd, name, sx);
  fsToTime(fsCreationSeconds(sx), &entry->creationTime);
  fsToTime(sx.stx_atime.tv_sec, &entry->lastAccessTime);
  fsToTime(sx.stx_mtime.tv_sec, &entry->lastWriteTime);
  entry->size = int64_t(sx.stx_size);
  int64_t rounded = entry->size + clusterBytes - 1;
  entry->sizeOnDisk = rounded - rounded % clusterBytes;
  memcpy(entry->name, name, strlen(name) + 1);  // NAME_MAX is far below kPathMax
  entry->clusterBytes = clusterBytes;
}

int FsDirectory_OpenFile(int dirfd, const char *path, int openFlags, mode_t mode,
                         const char *call, const char *shown, struct stat *st) {
  int fd;
  do fd = openat(dirfd, path, openFlags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    if (err == EEXIST && (openFlags & O_CREAT) && (openFlags & O_EXCL))
      return POSIX_FAIL_CODE(kPlatformErrorFileExists, err, call, shown) - 1;
    if (err == ENXIO)  // a FIFO nobody reads, opened to write, or a socket
      return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, err, call, shown) - 1;
    return POSIX_FAIL(call, shown) - 1;
  }
  if (fstat(fd, st) != 0) {
    POSIX_FAIL("fstat", shown);
    close(fd);
    return -1;
  }
  const bool directory = S_ISDIR(st->st_mode);
  if (!S_ISREG(st->st_mode) && !(directory && (openFlags & O_DIRECTORY))) {
    close(fd);
    // EISDIR for a directory; a FIFO or device is logged with the ENXIO its
    // open to write would have met.
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, directory ? EISDIR : ENXIO,
                           directory ? call : "open (not a regular file)", shown) -
           1;
  }
  if (!(openFlags & O_NONBLOCK)) {
    // F_SETFL changes only these status flags, and the open set them from
    // openFlags: no F_GETFL is needed to learn what to keep.
    const int keep = openFlags & (O_APPEND | O_DIRECT | O_NOATIME);
    if (fcntl(fd, F_SETFL, keep) != 0) {
      POSIX_FAIL("fcntl", shown);
      close(fd);
      return -1;
    }
  }
  return fd;
}

int FsDirectory_Statx(int dirfd, const char *path, int flags, struct statx *sx) {
  int rc;
  do rc = statx(dirfd, path, flags, kStatxMask, sx);
  while (rc != 0 && errno == EINTR);
  return rc;
}

void FsDirectory_Identity(const struct statx &sx, FileIdentity *identity) {
  identity->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  identity->inode = sx.stx_ino;
  identity->mode = sx.stx_mode;
  identity->size = int64_t(sx.stx_size);
  identity->modifiedSeconds = sx.stx_mtime.tv_sec;
  identity->modifiedNanoseconds = int32_t(sx.stx_mtime.tv_nsec);
  identity->links = sx.stx_nlink;
  identity->owner = sx.stx_uid;
}

uint32_t FsDirectory_ClusterBytes(int fd) {
  struct statvfs vfs;
  if (fstatvfs(fd, &vfs) != 0) return 1;
  uint64_t fragment = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  // Whole sectors, as Platform_GetDiskSpace reports the geometry.
  return uint32_t(std::max<uint64_t>(1, fragment / kSectorBytes)) * kSectorBytes;
}

namespace {

// The next entry whose name matches; 0 at the end (18) or on a read error.
int fsFindMatch(PlatformFind *find, DirectoryEntry *entry) {
  for (;;) {
    errno = 0;
    struct dirent *item = readdir(find->dir);
    if (item == nullptr) {
      if (errno != 0) return POSIX_FAIL("readdir", find->pattern);
      return POSIX_FAIL_CODE(kPlatformErrorNoMoreFiles, 0, "readdir", find->pattern);
    }
    if (!Str_MatchWildcard(item->d_name, find->pattern, '\0', 0)) continue;
    struct statx sx;
    // An entry removed since readdir listed it is passed over.
    if (fsStatx(dirfd(find->dir), item->d_name, AT_SYMLINK_NOFOLLOW, &sx) != 0) continue;
    FsDirectory_FillEntry(dirfd(find->dir), item->d_name, sx, find->clusterBytes, entry);
    return 1;
  }
}

}  // namespace

// ---- Open, status, delete -----------------------------------------------------------

int Platform_OpenFile(const char *path, int openFlags, int shareFlags) {
  FsPath work;
  if (!fsPath(path, &work, "open")) return -1;
  struct stat st;
  int fd = FsDirectory_OpenFile(AT_FDCWD, work.text, openFlags, 0666, "open", path, &st);
  if (fd < 0) return -1;
  if (!ShareMode_Acquire(fd, work.text, openFlags, shareFlags, st.st_dev, st.st_ino)) {
    close(fd);
    return -1;
  }
  return fd;
}

int Platform_Stat(const char *path, PlatformFileStatus *status) {
  CHECK_POINTER(status);
  memset(status, 0, sizeof *status);
  FsPath work;
  if (!fsPath(path, &work, "stat")) return 0;
  struct statx sx;
  if (fsStatx(AT_FDCWD, work.text, 0, &sx) != 0) return POSIX_FAIL("stat", path);
  status->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  status->specialDevice = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
  status->mode = sx.stx_mode;
  status->linkCount = sx.stx_nlink;
  status->size = int64_t(sx.stx_size);
  status->lastAccessTime = sx.stx_atime.tv_sec;
  status->lastWriteTime = sx.stx_mtime.tv_sec;
  status->creationTime = fsCreationSeconds(sx);
  return 1;
}

int Platform_DeleteFile(const char *path) {
  FsPath work;
  if (!fsPath(path, &work, "unlink")) return 0;
  return unlink(work.text) == 0 ? 1 : POSIX_FAIL("unlink", path);
}

int Platform_CreateDirectory(const char *path) {
  FsPath work;
  if (!fsPath(path, &work, "mkdir")) return 0;
  return mkdir(work.text, 0777) == 0 ? 1 : POSIX_FAIL("mkdir", path);
}

int Platform_RemoveDirectory(const char *path) {
  FsPath work;
  if (!fsPath(path, &work, "rmdir")) return 0;
  if (rmdir(work.text) == 0) return 1;
  // Some file systems say EEXIST for a directory that is not empty.
  if (errno == EEXIST) return POSIX_FAIL_CODE(kPlatformErrorDirNotEmpty, EEXIST, "rmdir", path);
  return POSIX_FAIL("rmdir", path);
}

// ---- Copy and move --------------------------------------------------------------------

int Platform_CopyFile(const char *source, const char *destination, int failIfExists, void *userData,
                      PlatformProgressFunction progress) {
  FsPath from, to;
  if (!fsPath(source, &from, "copy") || !fsPath(destination, &to, "copy")) return 0;
  FsCopy copy = {source, destination, userData, progress, failIfExists != 0, false};
  return fsCopy(from.text, to.text, copy);
}

int Platform_CopyFileAt(const PlatformCopyAt *request) {
  CHECK_POINTER(request);
  FsPath from, to;
  if (!fsNameAt(request->fromDirectory, request->fromName, &from, "copy") ||
      !fsNameAt(request->toDirectory, request->toName, &to, "copy"))
    return 0;
  FsCopy copy = {request->source ? request->source : request->fromName,
                 request->destination ? request->destination : request->toName,
                 request->userData,
                 request->progress,
                 true,
                 false,
                 request->skip,
                 request->skipCount,
                 request->keepPrivate != 0};
  const int toFd = FsDirectory_Fd(request->toDirectory);
  struct stat st;
  int in = fsOpenSource(FsDirectory_Fd(request->fromDirectory), from.text,
                        request->fromDirectory != nullptr, copy, &st);
  if (in < 0) return 0;
  int result = fsCopyCheckTarget(toFd, to.text, st, request->failIfExists != 0, copy) &&
               fsCopyIntoPlace(in, st, toFd, to.text, request->failIfExists != 0, copy);
  close(in);
  return result;
}

int Platform_MoveFile(int fd, const char *source, const char *destination, uint32_t flags) {
  (void)fd;  // a rename leaves open descriptors of the file valid
  return fsMove(source, destination, flags, nullptr, nullptr);
}

int Platform_MoveFileWithProgress(const char *source, const char *destination, uint32_t flags,
                                  void *userData, PlatformProgressFunction progress) {
  return fsMove(source, destination, flags, userData, progress);
}

// ---- Attributes and times -----------------------------------------------------------------

int Platform_GetAttributes(int fd, const char *path, uint32_t *attributes) {
  CHECK_POINTER(attributes);
  *attributes = 0;
  struct statx sx;
  if (fd >= 0) {
    if (fsStatx(fd, "", AT_EMPTY_PATH, &sx) != 0) return POSIX_FAIL("fstat", path);
    *attributes = fsAttributes(fd, "", sx) & ~kFileAttributeHidden;
    if (path && fsIsHiddenName(path)) *attributes |= kFileAttributeHidden;
    return 1;
  }
  FsPath work;
  if (!fsPath(path, &work, "stat")) return 0;
  if (fsStatx(AT_FDCWD, work.text, AT_SYMLINK_NOFOLLOW, &sx) != 0) return POSIX_FAIL("stat", path);
  *attributes = fsAttributes(AT_FDCWD, work.text, sx);
  return 1;
}

int Platform_SetAttributes(int fd, const char *path, uint32_t attributes) {
  FsPath work;
  struct stat st;
  if (fd >= 0) {
    if (fstat(fd, &st) != 0) return POSIX_FAIL("fstat", path);
  } else {
    if (!fsPath(path, &work, "chmod")) return 0;
    if (stat(work.text, &st) != 0) return POSIX_FAIL("stat", path);
  }
  mode_t mode = st.st_mode & 07777;
  mode_t wanted =
      (attributes & kFileAttributeReadOnly) ? mode_t(mode & ~0222) : mode_t(mode | S_IWUSR);
  if (wanted == mode) return 1;
  int rc = fd >= 0 ? fchmod(fd, wanted) : chmod(work.text, wanted);
  return rc == 0 ? 1 : POSIX_FAIL("chmod", path);
}

int Platform_GetFileTimes(const char *path, int fd, int kind, PlatformTime *creation,
                          PlatformTime *lastWrite) {
  (void)kind;  // every handle is a descriptor here
  struct statx sx;
  if (fd >= 0) {
    if (fsStatx(fd, "", AT_EMPTY_PATH, &sx) != 0) return POSIX_FAIL("fstat", path);
  } else {
    FsPath work;
    if (!fsPath(path, &work, "stat")) return 0;
    if (fsStatx(AT_FDCWD, work.text, 0, &sx) != 0) {
      int result = POSIX_FAIL("stat", path);
      Log_Print(LOG_ERROR, KSRC, 0, "Unable to open file to get file time [%s (%d)]\n", path,
                Platform_GetLastError());
      return result;
    }
  }
  if (creation) fsToTime(fsCreationSeconds(sx), creation);
  if (lastWrite) fsToTime(sx.stx_mtime.tv_sec, lastWrite);
  return 1;
}

int Platform_SetFileTimes(const char *path, int fd, int kind, const PlatformTime *creation,
                          const PlatformTime *lastAccess, const PlatformTime *lastWrite) {
  (void)kind;
  (void)creation;  // Linux keeps the birth time to itself
  struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
  if ((lastAccess && !fsFromTime(lastAccess, &times[0])) ||
      (lastWrite && !fsFromTime(lastWrite, &times[1])))
    return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, EINVAL, "utimensat", path);
  if (fd >= 0) return futimens(fd, times) == 0 ? 1 : POSIX_FAIL("futimens", path);
  FsPath work;
  if (!fsPath(path, &work, "utimensat")) return 0;
  return utimensat(AT_FDCWD, work.text, times, 0) == 0 ? 1 : POSIX_FAIL("utimensat", path);
}

// ---- Disk space -------------------------------------------------------------------------

namespace {

// statvfs of the directory part of path; while it does not exist yet, of the
// nearest level that does: where it would be created. 1/0 (recorded).
int fsStatVolume(const char *path, struct statvfs *vfs) {
  FsPath work;
  if (!fsPath(path, &work, "statvfs")) return 0;
  struct stat st;
  if (!(stat(work.text, &st) == 0 && S_ISDIR(st.st_mode)) && !fsCutAfterLastSeparator(work.text))
    work.text[0] = '\0';
  for (;;) {
    if (work.text[0] != '\0' && statvfs(work.text, vfs) == 0) return 1;
    int err = work.text[0] != '\0' ? errno : ENOENT;
    size_t length = strlen(work.text);
    if ((err != ENOENT && err != ENOTDIR) || length == 0) break;
    work.text[length - 1] = '\0';
    if (!fsCutAfterLastSeparator(work.text)) break;
  }
  return POSIX_FAIL("statvfs", path);
}

}  // namespace

int Platform_GetDiskSpace(const char *path, int64_t *freeBytes, uint32_t *sectorsPerCluster,
                          uint32_t *bytesPerSector) {
  CHECK_POINTER(sectorsPerCluster);
  CHECK_POINTER(bytesPerSector);
  *sectorsPerCluster = 1;
  *bytesPerSector = 1;
  if (freeBytes) *freeBytes = 0;
  struct statvfs vfs;
  if (!fsStatVolume(path, &vfs)) return 0;
  uint64_t fragment = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  *bytesPerSector = kSectorBytes;
  *sectorsPerCluster = uint32_t(std::max<uint64_t>(1, fragment / kSectorBytes));
  if (freeBytes) *freeBytes = int64_t(uint64_t(vfs.f_bavail) * fragment);
  return 1;
}

int Platform_GetFreeInodes(const char *path, int64_t *freeInodes) {
  CHECK_POINTER(freeInodes);
  *freeInodes = 0;
  struct statvfs vfs;
  if (!fsStatVolume(path, &vfs)) return 0;
  // A file system that counts no inodes (f_files 0) has no such limit.
  *freeInodes = vfs.f_files == 0 || vfs.f_favail > uint64_t(INT64_MAX) ? INT64_MAX
                                                                        : int64_t(vfs.f_favail);
  return 1;
}

int Platform_GetDiskFreeSpace(const char *path, int64_t *freeBytes) {
  uint32_t sectorsPerCluster, bytesPerSector;
  return Platform_GetDiskSpace(path, freeBytes, &sectorsPerCluster, &bytesPerSector);
}

// ---- Listings ----------------------------------------------------------------------------

int Platform_FindFirst(const char *pattern, DirectoryEntry *entry, PlatformFind **find) {
  CHECK_POINTER(entry);
  CHECK_POINTER(find);
  *find = nullptr;
  memset(entry, 0, sizeof *entry);
  FsPath directory;
  if (!fsPath(pattern, &directory, "opendir")) return 0;
  char *slash = strrchr(directory.text, '/');
  const char *namePattern = slash ? slash + 1 : directory.text;
  uint32_t sectorsPerCluster, bytesPerSector;
  Platform_GetDiskSpace(pattern, nullptr, &sectorsPerCluster, &bytesPerSector);

  auto *record = static_cast<PlatformFind *>(MEM_ALLOC(sizeof(PlatformFind), MEM_ZEROED));
  record->tag = kPlatformFindTag;
  record->clusterBytes = sectorsPerCluster * bytesPerSector;
  // "*.*" names every entry, dotted or not, as it always has.
  const char *matchAll = "*";
  if (strcmp(namePattern, "*.*") == 0) namePattern = matchAll;
  memcpy(record->pattern, namePattern, strlen(namePattern) + 1);
  if (slash == nullptr)
    memcpy(directory.text, ".", 2);
  else
    slash[slash == directory.text ? 1 : 0] = '\0';  // "/x" lists "/"
  do record->dir = opendir(directory.text);
  while (record->dir == nullptr && errno == EINTR);
  int result = record->dir ? fsFindMatch(record, entry) : POSIX_FAIL("opendir", pattern);
  if (result) {
    *find = record;
    return 1;
  }
  // Nothing matched: the pattern names no file.
  if (record->dir && Platform_GetLastError() == kPlatformErrorNoMoreFiles)
    POSIX_FAIL_CODE(kPlatformErrorFileNotFound, 0, "find", pattern);
  PlatformFind *unused = record;
  Platform_FindClose(&unused);
  return 0;
}

int Platform_FindNext(PlatformFind *find, DirectoryEntry *entry) {
  CHECK_POINTER(find);
  CHECK_POINTER(entry);
  if (find->tag != kPlatformFindTag)
    Core_Abort(KSRC, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", find,
               kPlatformFindTag, find->tag);
  return fsFindMatch(find, entry);
}

int Platform_FindClose(PlatformFind **find) {
  CHECK_POINTER(find);
  PlatformFind *record = *find;
  *find = nullptr;
  if (record == nullptr) return 1;
  if (record->dir) closedir(record->dir);
  record->tag = 0;
  MEM_FREE(record, sizeof(PlatformFind));
  return 1;
}

int Platform_ReadDirectoryEntry(PlatformDirectory *directory, DirectoryEntry *entry,
                                FileIdentity *identity) {
  CHECK_POINTER(entry);
  CHECK_POINTER(identity);
  FsDirectory_Check(directory);
  const int fd = dirfd(directory->dir);
  if (directory->clusterBytes == 0) directory->clusterBytes = FsDirectory_ClusterBytes(fd);
  for (;;) {
    struct dirent *item = FsDirectory_Next(directory);
    if (item == nullptr) return 0;
    const char *name = item->d_name;
    struct statx sx;
    // An entry removed since readdir listed it is passed over.
    if (FsDirectory_Statx(fd, name, AT_SYMLINK_NOFOLLOW, &sx) != 0) continue;
    FsDirectory_FillEntry(fd, name, sx, directory->clusterBytes, entry);
    FsDirectory_Identity(sx, identity);
    return 1;
  }
}

// ---- Links and access ------------------------------------------------------------------

int Platform_CreateSymlink(const char *linkPath, const char *target, int isDirectory) {
  (void)isDirectory;  // a link to a directory is an ordinary link here
  FsPath link, to;
  int ok = fsPath(linkPath, &link, "symlink") && fsPath(target, &to, "symlink");
  int error = 0;
  // The link's directory first; its failure is the link's.
  if (ok && !Path_CreateDirectory(link.text, 1, &error)) {
    ok = 0;
    Platform_SetLastError(error);
  }
  if (ok && symlink(to.text, link.text) == 0) return 1;
  if (ok) POSIX_FAIL("symlink", linkPath);
  Log_Print(LOG_DEBUG, KSRC, 0, "Unable to create symlink [%s (%d)]\n", linkPath,
            Platform_GetLastError());
  return 0;
}

int Platform_GetSymlinkTarget(const char *linkPath, char *out, int size) {
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  FsPath link;
  char target[kPathMax];
  ssize_t n = -1;
  if (fsPath(linkPath, &link, "readlink")) {
    n = readlink(link.text, target, sizeof target);
    if (n < 0) {
      POSIX_FAIL("readlink", linkPath);
    } else if (n >= ssize_t(sizeof target) || n >= ssize_t(size)) {  // a full buffer may be cut
      POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "readlink", linkPath);
      n = -1;
    }
  }
  if (n < 0) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Unable to open file to get symlink target [%s (%d)]\n", linkPath,
              Platform_GetLastError());
    return 0;
  }
  memcpy(out, target, size_t(n));
  out[n] = '\0';
  return 1;
}

int Platform_CheckFileAccess(const char *path, int permissions, int walkUp) {
  FsPath work;
  if (!fsPath(path, &work, "access")) return 0;
  int mode = ((permissions & 1) ? R_OK : 0) | ((permissions & 2) ? W_OK : 0);
  if (mode == 0) mode = F_OK;
  for (;;) {
    if (faccessat(AT_FDCWD, work.text, mode, AT_EACCESS) == 0) return 1;
    if (!walkUp || (errno != ENOENT && errno != ENOTDIR)) break;
    // The nearest existing parent decides whether the path could be made.
    size_t length = strlen(work.text);
    while (length > 1 && work.text[length - 1] == '/') work.text[--length] = '\0';
    if (strcmp(work.text, "/") == 0 || strcmp(work.text, ".") == 0) break;
    char *slash = strrchr(work.text, '/');
    if (slash == nullptr)
      memcpy(work.text, ".", 2);
    else
      slash[slash == work.text ? 1 : 0] = '\0';
  }
  return POSIX_FAIL("access", path);
}
