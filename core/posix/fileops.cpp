// The system calls of the whole-file and tree operations; see core/platform/fileops.h.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/runtime/core.h"
#include "core/platform/fileops.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/posix/errors.h"
#include "core/posix/fsdirectory.h"
#include "core/posix/nolinks.h"
#include "core/posix/sharemode.h"

namespace {

constexpr uint32_t kPlatformDirectoryTag = 0x6d1c4a07;

struct FileOpsPath {
  char text[kPathMax];
};

// A caller's path as the system takes it: '\\' read as '/', too long fails
// (206) rather than name another file.
bool fileopsPath(const char *path, FileOpsPath *work, const char *call) {
  CHECK_POINTER(path);
  size_t length = strlen(path);
  if (length >= sizeof work->text) {
    POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, call, path);
    return false;
  }
  for (size_t i = 0; i <= length; i++) work->text[i] = path[i] == '\\' ? '/' : path[i];
  return true;
}

// A name inside directory (or, without one, a path) as the system takes it.
bool fileopsName(PlatformDirectory *directory, const char *name, FileOpsPath *work,
                 const char *call) {
  if (directory == nullptr) return fileopsPath(name, work, call);
  return FsDirectory_Name(name, work->text, call);
}

std::atomic<int> gFileopsShowAll{0};

void fileopsIdentity(const struct stat &st, FileIdentity *identity) {
  identity->device = st.st_dev;
  identity->inode = st.st_ino;
  identity->mode = st.st_mode | (gFileopsShowAll.load(std::memory_order_relaxed) ? 0777u : 0u);
  identity->size = st.st_size;
  identity->modifiedSeconds = st.st_mtim.tv_sec;
  identity->modifiedNanoseconds = int32_t(st.st_mtim.tv_nsec);
  identity->links = uint32_t(st.st_nlink);
  identity->owner = uint32_t(st.st_uid);
}

}  // namespace

PlatformDirectory *FsDirectory_Check(PlatformDirectory *directory) {
  CHECK_POINTER(directory);
  if (directory->tag != kPlatformDirectoryTag)
    Core_Abort(KSRC, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", directory,
               kPlatformDirectoryTag, directory->tag);
  return directory;
}

bool FsDirectory_Name(const char *name, char *out, const char *call) {
  CHECK_POINTER(name);
  size_t length = strlen(name);
  if (length >= size_t(kPathMax)) {
    POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, call, name);
    return false;
  }
  memcpy(out, name, length + 1);
  return true;
}

int FsDirectory_Fd(PlatformDirectory *directory) {
  return directory ? dirfd(FsDirectory_Check(directory)->dir) : AT_FDCWD;
}

int Platform_GetFileIdentity(const char *path, int followLinks, FileIdentity *identity) {
  CHECK_POINTER(identity);
  memset(identity, 0, sizeof *identity);
  FileOpsPath work;
  if (!fileopsPath(path, &work, "stat")) return 0;
  struct stat st;
  int rc = followLinks ? stat(work.text, &st) : lstat(work.text, &st);
  if (rc != 0) return POSIX_FAIL(followLinks ? "stat" : "lstat", path);
  fileopsIdentity(st, identity);
  return 1;
}

int Platform_IsSpecialFile(const char *path) {
  FileIdentity identity;
  if (!Platform_GetFileIdentity(path, 0, &identity)) return 0;
  mode_t type = mode_t(identity.mode) & S_IFMT;
  return type == S_IFIFO || type == S_IFSOCK || type == S_IFCHR || type == S_IFBLK;
}

int Platform_GetRealPath(const char *path, char *out, int size) {
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  FileOpsPath work;
  if (!fileopsPath(path, &work, "realpath")) return 0;
  char resolved[PATH_MAX];
  if (realpath(work.text, resolved) == nullptr) return POSIX_FAIL("realpath", path);
  size_t length = strlen(resolved);
  if (length >= size_t(size > 0 ? size : 0))
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "realpath", path);
  memcpy(out, resolved, length + 1);
  return 1;
}

int Platform_SyncFileSystem(const char *path) {
  FileOpsPath work;
  if (!fileopsPath(path, &work, "syncfs")) return 0;
  int fd;
  do fd = open(work.text, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return POSIX_FAIL("open", path);
  // syncfs answers for the write-back errors that arrive while it waits (and
  // since the descriptor was opened), not for those of pages written back
  // earlier.
  int ok = syncfs(fd) == 0 ? 1 : POSIX_FAIL("syncfs", path);
  close(fd);
  return ok;
}

int Platform_SetMode(const char *path, uint32_t mode, int followLinks) {
  FileOpsPath work;
  if (!fileopsPath(path, &work, "chmod")) return 0;
  mode_t bits = mode_t(mode & 07777);
  if (followLinks) return chmod(work.text, bits) == 0 ? 1 : POSIX_FAIL("chmod", path);
  // The C library refuses a link here (EOPNOTSUPP) and changes anything else
  // through a descriptor of the entry itself, so a name swapped for a link
  // after the caller looked is not followed.
  return fchmodat(AT_FDCWD, work.text, bits, AT_SYMLINK_NOFOLLOW) == 0
             ? 1
             : POSIX_FAIL("fchmodat", path);
}

int Platform_SetModifiedTime(const char *path, int64_t seconds, int32_t nanoseconds,
                             int followLinks) {
  FileOpsPath work;
  if (!fileopsPath(path, &work, "utimensat")) return 0;
  if (nanoseconds < 0 || nanoseconds > 999999999)
    return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, EINVAL, "utimensat", path);
  struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(seconds), long(nanoseconds)}};
  return utimensat(AT_FDCWD, work.text, times, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0
             ? 1
             : POSIX_FAIL("utimensat", path);
}

namespace {

// The record of an open directory descriptor (taken over: closed on
// failure). 1/0.
int fileopsWrapDirectory(int fd, const char *name, PlatformDirectory **directory) {
  DIR *dir = fdopendir(fd);
  if (dir == nullptr) {
    int result = POSIX_FAIL("fdopendir", name);
    close(fd);
    return result;
  }
  auto *record = static_cast<PlatformDirectory *>(MEM_ALLOC(sizeof(PlatformDirectory), 0));
  record->tag = kPlatformDirectoryTag;
  record->clusterBytes = 0;
  record->dir = dir;
  *directory = record;
  return 1;
}

}  // namespace

int Platform_OpenDirectoryAt(PlatformDirectory *parent, const char *name,
                             PlatformDirectory **directory) {
  CHECK_POINTER(directory);
  *directory = nullptr;
  FileOpsPath work;
  if (!fileopsPath(name, &work, "openat")) return 0;
  int base = FsDirectory_Fd(parent);
  int fd;
  do fd = openat(base, work.text, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // O_NOFOLLOW on a link to a directory answers ENOTDIR, on any other link
    // ELOOP: either way the entry is not a directory to enter.
    return POSIX_FAIL("openat", name);
  }
  return fileopsWrapDirectory(fd, name, directory);
}

struct dirent *FsDirectory_Next(PlatformDirectory *directory) {
  FsDirectory_Check(directory);
  for (;;) {
    errno = 0;
    struct dirent *item = readdir(directory->dir);
    if (item == nullptr) {
      if (errno != 0) POSIX_FAIL("readdir", nullptr);
      else POSIX_FAIL_CODE(kPlatformErrorNoMoreFiles, 0, "readdir", nullptr);
      return nullptr;
    }
    const char *n = item->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    return item;
  }
}

int Platform_ReadDirectoryAt(PlatformDirectory *directory, char *name, int *isDirectory) {
  CHECK_POINTER(name);
  CHECK_POINTER(isDirectory);
  name[0] = '\0';
  *isDirectory = 0;
  for (;;) {
    struct dirent *item = FsDirectory_Next(directory);
    if (item == nullptr) return 0;
    const char *n = item->d_name;
    unsigned char type = item->d_type;
    if (type == DT_UNKNOWN) {  // file systems that do not fill d_type
      struct stat st;
      if (fstatat(dirfd(directory->dir), n, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // removed since it was listed
        return POSIX_FAIL("fstatat", n);
      }
      type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    }
    *isDirectory = type == DT_DIR ? 1 : 0;
    memcpy(name, n, strlen(n) + 1);  // NAME_MAX + 1 bytes at most
    return 1;
  }
}

int Platform_RemoveAt(PlatformDirectory *directory, const char *name, int isDirectory) {
  CHECK_POINTER(name);
  FsDirectory_Check(directory);
  if (unlinkat(dirfd(directory->dir), name, isDirectory ? AT_REMOVEDIR : 0) == 0) return 1;
  if (isDirectory && errno == EEXIST)  // some file systems say so for "not empty"
    return POSIX_FAIL_CODE(kPlatformErrorDirNotEmpty, EEXIST, "unlinkat", name);
  return POSIX_FAIL("unlinkat", name);
}

int Platform_GetDirectoryMode(PlatformDirectory *directory, uint32_t *mode) {
  CHECK_POINTER(mode);
  FsDirectory_Check(directory);
  *mode = 0;
  struct stat st;
  if (fstat(dirfd(directory->dir), &st) != 0) return POSIX_FAIL("fstat", nullptr);
  *mode = st.st_mode;
  return 1;
}

int Platform_SetDirectoryMode(PlatformDirectory *directory, uint32_t mode) {
  FsDirectory_Check(directory);
  return fchmod(dirfd(directory->dir), mode_t(mode & 07777)) == 0 ? 1
                                                                  : POSIX_FAIL("fchmod", nullptr);
}

int Platform_CloseDirectory(PlatformDirectory **directory) {
  CHECK_POINTER(directory);
  PlatformDirectory *record = *directory;
  *directory = nullptr;
  if (record == nullptr) return 1;
  FsDirectory_Check(record);
  closedir(record->dir);
  record->tag = 0;
  MEM_FREE(record, sizeof(PlatformDirectory));
  return 1;
}

int Platform_GetDirectoryIdentity(PlatformDirectory *directory, FileIdentity *identity) {
  CHECK_POINTER(identity);
  FsDirectory_Check(directory);
  memset(identity, 0, sizeof *identity);
  struct stat st;
  if (fstat(dirfd(directory->dir), &st) != 0) return POSIX_FAIL("fstat", nullptr);
  fileopsIdentity(st, identity);
  return 1;
}

int Platform_SetDirectoryModifiedTime(PlatformDirectory *directory, int64_t seconds,
                                      int32_t nanoseconds) {
  FsDirectory_Check(directory);
  if (nanoseconds < 0 || nanoseconds > 999999999)
    return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, EINVAL, "futimens", nullptr);
  struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(seconds), long(nanoseconds)}};
  return futimens(dirfd(directory->dir), times) == 0 ? 1 : POSIX_FAIL("futimens", nullptr);
}

int Platform_GetFileIdentityAt(PlatformDirectory *directory, const char *name,
                               FileIdentity *identity) {
  CHECK_POINTER(identity);
  memset(identity, 0, sizeof *identity);
  FileOpsPath work;
  if (!fileopsName(directory, name, &work, "fstatat")) return 0;
  struct stat st;
  if (fstatat(FsDirectory_Fd(directory), work.text, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return POSIX_FAIL("fstatat", name);
  fileopsIdentity(st, identity);
  return 1;
}

int Platform_CreateDirectoryAt(PlatformDirectory *directory, const char *name, uint32_t mode) {
  FileOpsPath work;
  if (!fileopsName(directory, name, &work, "mkdirat")) return 0;
  return mkdirat(FsDirectory_Fd(directory), work.text, mode_t(mode & 07777)) == 0
             ? 1
             : POSIX_FAIL("mkdirat", name);
}

int Platform_ReadLinkAt(PlatformDirectory *directory, const char *name, char *out, int size) {
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  FileOpsPath work;
  if (!fileopsName(directory, name, &work, "readlinkat")) return 0;
  ssize_t n = readlinkat(FsDirectory_Fd(directory), work.text, out, size_t(size > 0 ? size : 0));
  if (n < 0) return POSIX_FAIL("readlinkat", name);
  if (n >= size) {  // a full buffer may hold a cut text
    if (size > 0) out[0] = '\0';
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "readlinkat", name);
  }
  out[n] = '\0';
  return 1;
}

int Platform_CreateLinkAt(PlatformDirectory *directory, const char *name, const char *target) {
  CHECK_POINTER(target);
  FileOpsPath work;
  if (!fileopsName(directory, name, &work, "symlinkat")) return 0;
  return symlinkat(target, FsDirectory_Fd(directory), work.text) == 0
             ? 1
             : POSIX_FAIL("symlinkat", name);
}

// ---- Confined to a root ----------------------------------------------------------------

namespace {

std::atomic<int> gFileopsForceWalk{0};
constexpr int kBeneathAgainTries = 100;

// openat2 of a directory below base, following no link on the way (a name
// the run writes is never reached through one, even one that stays below);
// -1 with errno (ELOOP for a link). EAGAIN (a rename raced the walk) is
// tried again a bounded number of times.
int fileopsBeneath(int base, const char *path) {
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  int fd = -1;
  for (int tries = 0; tries < kBeneathAgainTries; tries++) {
    fd = int(syscall(SYS_openat2, base, path, &how, sizeof how));
    if (fd >= 0 || (errno != EINTR && errno != EAGAIN)) break;
  }
  return fd;
}

bool fileopsWalkRefused(int err) { return err == ENOSYS || err == EPERM; }

// The next component of path from *at (empty and "." skipped); false at the
// end.
bool fileopsComponent(const char *path, size_t *at, std::string *component) {
  size_t i = *at;
  for (;;) {
    while (path[i] == '/') i++;
    if (path[i] == '\0') {
      *at = i;
      return false;
    }
    size_t start = i;
    while (path[i] != '\0' && path[i] != '/') i++;
    component->assign(path + start, i - start);
    if (*component != ".") break;
  }
  *at = i;
  return true;
}

// Opens (and with create makes) component inside fd, never following a
// link: -1 with the failure recorded (5 for "..", a link, or anything that
// would leave). A directory made here gets mode exactly; mode 0 leaves it
// 0777 less the umask.
int fileopsStep(int fd, const std::string &component, int create, mode_t mode, const char *path) {
  if (component == "..")
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EXDEV, "openat", path) - 1;
  bool made = false;
  for (int attempt = 0; attempt < 2; attempt++) {
    int next;
    do next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    while (next < 0 && errno == EINTR);
    if (next >= 0) {
      if (made && mode != 0 && fchmod(next, mode) != 0) {
        POSIX_FAIL("fchmod", path);
        close(next);
        return -1;
      }
      return next;
    }
    int err = errno;
    if (err == ENOENT && create && attempt == 0) {
      made = mkdirat(fd, component.c_str(), mode != 0 ? mode : 0777) == 0;
      if (made || errno == EEXIST) continue;
      POSIX_FAIL("mkdirat", path);
      return -1;
    }
    struct stat st;
    if ((err == ELOOP || err == ENOTDIR) &&
        fstatat(fd, component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, err, "openat", path) - 1;
    errno = err;
    POSIX_FAIL("openat", path);
    return -1;
  }
  return -1;
}

// Directories the walks below a root make: 0755 whatever the umask.
constexpr mode_t kFileopsMadeDirectoryMode = 0755;

// One component at a time from base; the descriptor or -1.
int fileopsWalk(int base, const char *path, int create, size_t from) {
  int fd = fcntl(base, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return POSIX_FAIL("fcntl", path) - 1;
  std::string component;
  size_t at = from;
  while (fileopsComponent(path, &at, &component)) {
    int next = fileopsStep(fd, component, create, kFileopsMadeDirectoryMode, path);
    close(fd);
    if (next < 0) return -1;
    fd = next;
  }
  return fd;
}

// The failure of openat2 for path, with an escape as 5.
int fileopsBeneathFail(int err, const char *path) {
  if (err == EXDEV || err == ELOOP)
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, err, "openat2", path);
  errno = err;
  return POSIX_FAIL("openat2", path);
}

}  // namespace

int FsDirectory_OpenNoLinks(const char *path, int make, uint32_t mode) {
  CHECK_POINTER(path);
  FileOpsPath work;
  if (!fileopsPath(path, &work, "openat")) return -1;
  std::string component;
  int count = 0;
  for (size_t at = 0; fileopsComponent(work.text, &at, &component);) count++;
  int fd = open(work.text[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return POSIX_FAIL("open", path) - 1;
  int index = 0;
  for (size_t at = 0; fd >= 0 && fileopsComponent(work.text, &at, &component); index++) {
    int next = fileopsStep(fd, component, index >= count - make, mode_t(mode), path);
    close(fd);
    fd = next;
  }
  if (fd < 0 && Platform_GetLastError() == kPlatformErrorAccessDenied &&
      (Platform_GetLastErrno() == ELOOP || Platform_GetLastErrno() == ENOTDIR))
    Log_Print(LOG_WARNING, KSRC, 0, "%s: a link stands on its path: not followed\n", path);
  return fd;
}

int FsPath_OpenNoLinks(const char *path, int flags, uint32_t mode) {
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = uint64_t(flags | O_NOFOLLOW | O_CLOEXEC);
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;
  how.resolve = RESOLVE_NO_SYMLINKS;
  int fd;
  do fd = int(syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
  while (fd < 0 && (errno == EINTR || errno == EAGAIN));
  if (fd >= 0 || !fileopsWalkRefused(errno)) return fd;
  do fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode_t(mode));
  while (fd < 0 && errno == EINTR);
  return fd;
}

void Platform_ForceComponentWalkForTest(int on) { gFileopsForceWalk.store(on ? 1 : 0); }

void Platform_ShowAllPermissionsForTest(int on) { gFileopsShowAll.store(on ? 1 : 0); }

int Platform_OpenDirectoryBeneath(PlatformDirectory *root, const char *path, int create,
                                  PlatformDirectory **directory) {
  CHECK_POINTER(directory);
  *directory = nullptr;
  FileOpsPath work;
  if (!fileopsPath(path, &work, "openat2")) return 0;
  int base = root != nullptr ? FsDirectory_Fd(root) : AT_FDCWD;
  const char *rel = work.text[0] != '\0' ? work.text : ".";
  if (work.text[0] == '/')  // absolute: outside whatever root is
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EXDEV, "openat2", path);
  int fd = -1;
  if (!gFileopsForceWalk.load()) {
    fd = fileopsBeneath(base, rel);
    if (fd >= 0) return fileopsWrapDirectory(fd, path, directory);
    int err = errno;
    if (!fileopsWalkRefused(err)) {
      if (err != ENOENT || !create) return fileopsBeneathFail(err, path);
      // The longest prefix that exists, then the rest made one by one.
      std::string prefix(work.text);
      for (;;) {
        size_t slash = prefix.find_last_of('/');
        prefix.resize(slash == std::string::npos ? 0 : slash);
        fd = fileopsBeneath(base, prefix.empty() ? "." : prefix.c_str());
        if (fd >= 0) break;
        if (errno != ENOENT || prefix.empty()) return fileopsBeneathFail(errno, path);
      }
      int made = fileopsWalk(fd, work.text, 1, prefix.size());
      close(fd);
      return made >= 0 ? fileopsWrapDirectory(made, path, directory) : 0;
    }
  }
  fd = fileopsWalk(base, work.text, create, 0);
  return fd >= 0 ? fileopsWrapDirectory(fd, path, directory) : 0;
}

namespace {

constexpr int kFileopsReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// The last component of path opened below root without openat2: its
// directory by the walk, then the name without following a link.
int fileopsOpenReadWalk(PlatformDirectory *root, const char *path) {
  std::string text(path);
  size_t slash = text.find_last_of('/');
  std::string leaf = slash == std::string::npos ? text : text.substr(slash + 1);
  if (leaf.empty() || leaf == "." || leaf == "..")
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EISDIR, "openat", path) - 1;
  PlatformDirectory *parent = nullptr;
  if (!Platform_OpenDirectoryBeneath(
          root, slash == std::string::npos ? "" : text.substr(0, slash).c_str(), 0, &parent))
    return -1;
  int fd;
  do fd = openat(FsDirectory_Fd(parent), leaf.c_str(), kFileopsReadFlags | O_NOFOLLOW);
  while (fd < 0 && errno == EINTR);
  int err = errno;
  Platform_CloseDirectory(&parent);
  if (fd >= 0) return fd;
  if (err == ELOOP) return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, err, "openat", path) - 1;
  errno = err;
  return POSIX_FAIL("openat", path) - 1;
}

}  // namespace

int Platform_OpenReadBeneath(PlatformDirectory *root, const char *path, FileIdentity *identity) {
  CHECK_POINTER(identity);
  memset(identity, 0, sizeof *identity);
  FileOpsPath work;
  if (!fileopsPath(path, &work, "openat2")) return -1;
  if (work.text[0] == '/' || work.text[0] == '\0')
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EXDEV, "openat2", path) - 1;
  int fd = -1;
  if (!gFileopsForceWalk.load()) {
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = kFileopsReadFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int tries = 0; tries < kBeneathAgainTries; tries++) {
      fd = int(syscall(SYS_openat2, FsDirectory_Fd(root), work.text, &how, sizeof how));
      if (fd >= 0 || (errno != EINTR && errno != EAGAIN)) break;
    }
    if (fd < 0 && !fileopsWalkRefused(errno)) return fileopsBeneathFail(errno, path) - 1;
  }
  if (fd < 0) fd = fileopsOpenReadWalk(root, work.text);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int err = errno;
    close(fd);
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, err, "fstat", path) - 1;
  }
  fileopsIdentity(st, identity);
  return fd;
}

int Platform_OpenFileAt(PlatformDirectory *directory, const char *name, int openFlags,
                        int shareFlags, uint32_t createMode, FileIdentity *identity) {
  FileOpsPath work;
  if (!fileopsName(directory, name, &work, "openat")) return -1;
  struct stat st;
  int fd = FsDirectory_OpenFile(FsDirectory_Fd(directory), work.text, openFlags | O_NOFOLLOW,
                                mode_t(createMode & 0777), "openat", name, &st);
  if (fd < 0) return -1;
  if (identity != nullptr) fileopsIdentity(st, identity);
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  if (!ShareMode_Acquire(fd, self, openFlags, shareFlags, st.st_dev, st.st_ino)) {
    close(fd);
    return -1;
  }
  return fd;
}

int Platform_RenameAt(PlatformDirectory *from, const char *fromName, PlatformDirectory *to,
                      const char *toName) {
  FileOpsPath a, b;
  if (!fileopsName(from, fromName, &a, "renameat") || !fileopsName(to, toName, &b, "renameat"))
    return 0;
  return renameat(FsDirectory_Fd(from), a.text, FsDirectory_Fd(to), b.text) == 0
             ? 1
             : POSIX_FAIL("renameat", fromName);
}

int Platform_SetModeAt(PlatformDirectory *directory, const char *name, uint32_t mode) {
  FileOpsPath work;
  if (!fileopsName(directory, name, &work, "fchmodat")) return 0;
  return fchmodat(FsDirectory_Fd(directory), work.text, mode_t(mode & 07777),
                  AT_SYMLINK_NOFOLLOW) == 0
             ? 1
             : POSIX_FAIL("fchmodat", name);
}

int Platform_SetModifiedTimeAt(PlatformDirectory *directory, const char *name, int64_t seconds,
                               int32_t nanoseconds) {
  FileOpsPath work;
  if (!fileopsName(directory, name, &work, "utimensat")) return 0;
  if (nanoseconds < 0 || nanoseconds > 999999999)
    return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, EINVAL, "utimensat", name);
  struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(seconds), long(nanoseconds)}};
  return utimensat(FsDirectory_Fd(directory), work.text, times, AT_SYMLINK_NOFOLLOW) == 0
             ? 1
             : POSIX_FAIL("utimensat", name);
}
