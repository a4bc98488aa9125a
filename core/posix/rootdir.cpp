// The root-confined file layer on Linux; see core/platform/rootdir.h.
#include "core/platform/rootdir.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/platform/asyncfile.h"
#include "core/platform/filetrust.h"
#include "core/platform/path.h"
#include "core/posix/asyncfileadopt.h"
#include "core/posix/errors.h"
#include "core/posix/fsdirectory.h"
#include "core/runtime/core.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

// The directories below the root that operations reached, kept open for
// the handle's life so that a file's every step does not open its parent
// again. A directory is entered with RESOLVE_BENEATH once; its descriptor
// then stands for that directory whatever its name leads to later, as the
// root's own descriptor does.
struct RootDirectoryCache {
  struct Entry {
    PlatformDirectory *directory;
    int32_t users;     // operations running in it; an entry in use is never closed
    uint64_t lastUse;  // for evicting the least recently used
  };
  std::mutex lock;
  std::unordered_map<std::string, Entry> entries;  // guarded by lock
  // Forgotten while in use: closed by their last user. Guarded by lock.
  std::unordered_map<PlatformDirectory *, int32_t> retired;
  uint64_t uses = 0;  // guarded by lock
  size_t capacity;    // rootCacheCapacity() when the handle was made
};

namespace {

constexpr int kRootInvalidTime = 13;  // as AsyncFile_SetModifiedTime: invalid data

// Directories kept open per root: a sixteenth of the descriptor limit,
// within these bounds. A tree's files mostly come directory by directory,
// so even the lower bound covers the directories a piece's files lie in.
constexpr size_t kRootCachedDirectoriesMin = 16;
constexpr size_t kRootCachedDirectoriesMax = 1024;

size_t rootCacheCapacity() {
  struct rlimit limit;
  size_t capacity = kRootCachedDirectoriesMin;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
    capacity = limit.rlim_cur == RLIM_INFINITY ? kRootCachedDirectoriesMax
                                               : size_t(limit.rlim_cur / 16);
  if (capacity < kRootCachedDirectoriesMin) capacity = kRootCachedDirectoriesMin;
  return capacity > kRootCachedDirectoriesMax ? kRootCachedDirectoriesMax : capacity;
}

RootDirectory *rootOf(RootDirectory *root) {
  CHECK_POINTER(root);
  if (root->tag != kRootDirectoryTag)
    Core_Abort(KSRC, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", root,
               kRootDirectoryTag, root->tag);
  return root;
}

// The parent's path below the root and the last component of name, '\'
// read as '/' and trailing separators dropped. false with the failure
// recorded.
bool rootSplit(RootDirectory *root, const char *name, std::string *parent, std::string *leaf) {
  CHECK_POINTER(name);
  size_t length = strlen(name);
  if (strlen(root->path) + 1 + length >= size_t(kPathMax)) {
    POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "root", name);
    return false;
  }
  std::string text(name, length);
  for (char &c : text)
    if (c == '\\') c = '/';
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  size_t slash = text.find_last_of('/');
  *leaf = slash == std::string::npos ? text : text.substr(slash + 1);
  *parent = slash == std::string::npos ? std::string() : text.substr(0, slash);
  if (slash == 0) {  // "/x": an absolute name
    POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EXDEV, "root", name);
    return false;
  }
  if (leaf->empty() || *leaf == "." || *leaf == "..") {
    POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EXDEV, "root", name);
    return false;
  }
  return true;
}

// Whether dir may be kept under its text: no empty, "." or ".." component,
// so one directory has one key and forgetting a name and what lies below it
// finds every entry.
bool rootCacheable(const std::string &dir) {
  size_t start = 0;
  for (;;) {
    size_t end = dir.find('/', start);
    size_t length = (end == std::string::npos ? dir.size() : end) - start;
    if (length == 0 || (length == 1 && dir[start] == '.') ||
        (length == 2 && dir[start] == '.' && dir[start + 1] == '.'))
      return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// The kept directory dir, its user count raised; NULL when it is not kept.
PlatformDirectory *rootCacheFind(RootDirectoryCache *cache, const std::string &dir) {
  std::lock_guard<std::mutex> guard(cache->lock);
  auto found = cache->entries.find(dir);
  if (found == cache->entries.end()) return nullptr;
  found->second.users++;
  found->second.lastUse = ++cache->uses;
  return found->second.directory;
}

// Keeps *opened under dir (taking it over and clearing *opened) when there
// is room, evicting the least recently used directory not in use; another
// thread's copy kept meanwhile is used instead. The directory to run in.
PlatformDirectory *rootCacheKeep(RootDirectoryCache *cache, const std::string &dir,
                                 PlatformDirectory **opened, bool *kept) {
  PlatformDirectory *evicted = nullptr, *use = *opened;
  *kept = false;
  {
    std::lock_guard<std::mutex> guard(cache->lock);
    auto found = cache->entries.find(dir);
    if (found != cache->entries.end()) {
      found->second.users++;
      found->second.lastUse = ++cache->uses;
      use = found->second.directory;
      *kept = true;
    } else {
      if (cache->entries.size() >= cache->capacity) {
        auto oldest = cache->entries.end();
        for (auto it = cache->entries.begin(); it != cache->entries.end(); ++it)
          if (it->second.users == 0 &&
              (oldest == cache->entries.end() || it->second.lastUse < oldest->second.lastUse))
            oldest = it;
        if (oldest != cache->entries.end()) {
          evicted = oldest->second.directory;
          cache->entries.erase(oldest);
        }
      }
      if (cache->entries.size() < cache->capacity) {
        cache->entries.emplace(dir, RootDirectoryCache::Entry{*opened, 1, ++cache->uses});
        *opened = nullptr;
        *kept = true;
      }
    }
  }
  Platform_CloseDirectory(&evicted);
  return use;
}

void rootCacheUnuse(RootDirectoryCache *cache, const std::string &dir,
                    PlatformDirectory *directory) {
  PlatformDirectory *last = nullptr;
  {
    std::lock_guard<std::mutex> guard(cache->lock);
    auto found = cache->entries.find(dir);
    if (found != cache->entries.end() && found->second.directory == directory) {
      found->second.users--;
    } else {
      auto retired = cache->retired.find(directory);
      if (retired != cache->retired.end() && --retired->second == 0) {
        last = directory;
        cache->retired.erase(retired);
      }
    }
  }
  Platform_CloseDirectory(&last);
}

// Drops the kept directory name and every one below it: they were removed or
// renamed, and a directory made again under the name is another one. An
// entry in use goes out of the table now and is closed by its last user.
void rootCacheForget(RootDirectory *root, const char *name) {
  std::string prefix(name);
  for (char &c : prefix)
    if (c == '\\') c = '/';
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  RootDirectoryCache *cache = root->cache;
  std::lock_guard<std::mutex> guard(cache->lock);
  for (auto it = cache->entries.begin(); it != cache->entries.end();) {
    const std::string &key = it->first;
    bool below = key.compare(0, prefix.size(), prefix) == 0 &&
                 (key.size() == prefix.size() || key[prefix.size()] == '/');
    if (below) {
      if (it->second.users > 0) cache->retired.emplace(it->second.directory, it->second.users);
      else Platform_CloseDirectory(&it->second.directory);
      it = cache->entries.erase(it);
    } else {
      ++it;
    }
  }
}

// Opens dir below the root (made with create), as long as the directory
// reached is this user's or root's: in a folder others may add entries to
// (a sticky root), another user's directory at one of the tree's names is
// not built into. 0 with the failure (5, errno EPERM) otherwise.
int rootOpenBelow(RootDirectory *root, const std::string &dir, int create,
                  PlatformDirectory **opened) {
  if (!Platform_OpenDirectoryBeneath(root->directory, dir.c_str(), create, opened)) return 0;
  FileTrustVerdict verdict;
  if (FileTrust_JudgeOwner(FsDirectory_Fd(*opened), &verdict) ||
      verdict.fault != FileTrustFault::Owner)
    return 1;
  Platform_CloseDirectory(opened);
  return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "another user's directory",
                         dir.c_str());
}

// Runs op(parent, leaf) in name's parent directory: the root itself, a kept
// directory, or one opened now (and kept when there is room). A kept
// directory that another process removed meanwhile is reached again once
// when something was to be made in it. 0 when it cannot be opened.
template <typename Op>
int rootAt(RootDirectory *root, const char *name, int create, Op op) {
  std::string dir, leaf;
  if (!rootSplit(root, name, &dir, &leaf)) return 0;
  if (dir.empty()) return op(root->directory, leaf.c_str());
  bool cacheable = rootCacheable(dir);
  for (int attempt = 0;; attempt++) {
    bool kept = false;
    PlatformDirectory *opened = nullptr;
    PlatformDirectory *parent = cacheable ? rootCacheFind(root->cache, dir) : nullptr;
    if (parent != nullptr) {
      kept = true;
    } else {
      if (!rootOpenBelow(root, dir, create, &opened)) return 0;
      parent = cacheable ? rootCacheKeep(root->cache, dir, &opened, &kept) : opened;
    }
    int result = op(parent, leaf.c_str());
    int error = result ? 0 : Platform_GetLastError();
    if (kept) rootCacheUnuse(root->cache, dir, parent);
    Platform_CloseDirectory(&opened);
    if (!result && kept && create && attempt == 0 && Platform_IsErrorMissing(error)) {
      rootCacheForget(root, dir.c_str());
      continue;
    }
    if (!result) Platform_SetLastError(error);
    return result;
  }
}

// At most this many links are followed on the way to a root, as the system
// does for one path.
constexpr int kRootLinksMax = 40;

// The directory name beneath at (a descriptor; O_PATH: only search
// permission is needed on the way, as for any path), never through a link.
// -1 with errno.
int rootStep(int at, const char *name) {
  int fd;
  do fd = openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// Splits text at '/' into components pushed onto pending (the first on top).
void rootPushComponents(const std::string &text, std::vector<std::string> *pending) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) parts.emplace_back(text, start, end - start);
    start = end + 1;
  }
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) pending->push_back(*it);
}

// What a walk judges on the way: every directory it reaches must pass
// FileTrust's rule; the first that does not is told in refusal. The last
// component, when the walk makes it, gets mode.
struct RootWalkJudge {
  uint32_t mode;
  RootDirectoryRefusal *refusal;
};

// false with the refusal (path as walked) when the directory at is one
// another user may change.
bool rootJudge(int at, const char *shown, const RootWalkJudge *judge) {
  FileTrustVerdict verdict;
  if (FileTrust_Judge(at, &verdict)) return true;
  int error = Platform_GetLastError();
  if (verdict.fault == FileTrustFault::None) {
    Platform_SetLastError(error);
    return false;
  }
  if (judge->refusal != nullptr) {
    Str_Copy(judge->refusal->path, shown[0] != '\0' ? shown : "/",
             int(sizeof judge->refusal->path));
    judge->refusal->verdict = verdict;
  }
  POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "changeable by others", shown);
  return false;
}

// Walks path from "/" (or from the working directory when relative) one
// component at a time, as the system would read it ("..": the parent of the
// directory reached), but following a link only when root or this process's
// user owns it, checked on the link itself (opened O_PATH | O_NOFOLLOW, read
// through that descriptor). With create 1 a missing component is made. The
// directory reached, or NULL with the failure recorded and, for a link of
// another user's, its path (as walked) in foreign.
PlatformDirectory *rootWalk(const char *path, int create, std::string *foreign,
                            const RootWalkJudge *judge = nullptr) {
  std::vector<std::string> pending;
  rootPushComponents(path, &pending);
  std::string shown = path[0] == '/' ? "" : ".";
  int at = rootStep(AT_FDCWD, path[0] == '/' ? "/" : ".");
  if (at >= 0 && judge != nullptr && !rootJudge(at, path[0] == '/' ? "/" : ".", judge)) {
    close(at);
    return nullptr;
  }
  int links = 0;
  const char *failed = "openat";
  while (at >= 0 && !pending.empty()) {
    std::string name = pending.back();
    pending.pop_back();
    if (name == ".") continue;
    std::string here = shown + "/" + name;
    int next = rootStep(at, name.c_str());
    if (next < 0 && errno == ENOENT && create && name != "..") {
      // Made private, then given its mode on its own descriptor whatever
      // the umask. One another process made first (EEXIST) is judged below
      // as any directory found.
      bool last = true;
      for (const std::string &rest : pending)
        if (rest != ".") last = false;
      uint32_t mode = judge != nullptr && last ? judge->mode : 0755;
      failed = "mkdirat";
      if (mkdirat(at, name.c_str(), 0700) == 0) {
        failed = "openat";
        do next = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        while (next < 0 && errno == EINTR);
        if (next >= 0 && fchmod(next, mode_t(mode)) != 0) {
          int err = errno;
          close(next);
          next = -1;
          errno = err;
          failed = "fchmod";
        }
      } else if (errno == EEXIST) {
        next = rootStep(at, name.c_str());
      }
      if (next < 0 && !(errno == ENOTDIR || errno == ELOOP)) {
        int err = errno;
        close(at);
        at = -1;
        errno = err;
        shown = here;
        break;
      }
      failed = "openat";
    }
    if (next < 0 && (errno == ENOTDIR || errno == ELOOP)) {
      int fd = openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
      struct stat st;
      bool link = fd >= 0 && fstat(fd, &st) == 0 && S_ISLNK(st.st_mode);
      char text[kPathMax];
      ssize_t length = -1;
      if (link && st.st_uid != geteuid() && st.st_uid != 0) {
        close(fd);
        close(at);
        *foreign = here;
        POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "root link", here.c_str());
        return nullptr;
      }
      if (link) length = readlinkat(fd, "", text, sizeof text - 1);
      if (fd >= 0) close(fd);
      if (!link || length < 0 || ++links > kRootLinksMax) {
        close(at);
        if (!link) POSIX_FAIL_CODE(kPlatformErrorPathNotFound, ENOTDIR, "root", here.c_str());
        else POSIX_FAIL_CODE(kPlatformErrorLinkLoop, ELOOP, "root link", here.c_str());
        return nullptr;
      }
      text[length] = '\0';
      rootPushComponents(text, &pending);
      if (text[0] == '/') {
        close(at);
        at = rootStep(AT_FDCWD, "/");
        shown = "";
      }
      continue;
    }
    int err = errno;
    shown = here;
    close(at);
    at = next;
    errno = err;
    if (at >= 0 && judge != nullptr && !rootJudge(at, shown.c_str(), judge)) {
      close(at);
      return nullptr;
    }
  }
  if (at < 0) {
    POSIX_FAIL(failed, shown.c_str());
    return nullptr;
  }
  // The directory reached, opened for reading through its own descriptor.
  char self[64];
  Str_Printf(self, int32_t(sizeof self), "/proc/self/fd/%d/.", at);
  PlatformDirectory *directory = nullptr;
  Platform_OpenDirectoryAt(nullptr, self, &directory);
  int error = directory == nullptr ? Platform_GetLastError() : 0;
  close(at);
  if (directory == nullptr) Platform_SetLastError(error);
  return directory;
}

// The key of a root's path: resolved and normalised, as every caller's
// configured text is before it reaches here.
bool rootKey(const char *path, char *out) {
  return Path_Resolve(path, out, kPathMax) && Path_Normalize(out, kPathMax, kPathRemoveTrailing);
}

// The real path of an open directory, for the files' names in lines.
bool rootRealPath(PlatformDirectory *directory, char *out) {
  char link[64];
  Str_Printf(link, int32_t(sizeof link), "/proc/self/fd/%d", FsDirectory_Fd(directory));
  ssize_t length = readlink(link, out, kPathMax - 1);
  if (length <= 0) return false;
  out[length] = '\0';
  return true;
}

RootDirectory *rootMake(PlatformDirectory *directory, const char *real) {
  auto *r = static_cast<RootDirectory *>(MEM_ALLOC(sizeof(RootDirectory), MEM_ZEROED));
  r->tag = kRootDirectoryTag;
  r->directory = directory;
  r->cache = new RootDirectoryCache();
  r->cache->capacity = rootCacheCapacity();
  Str_Copy(r->path, real, int(sizeof r->path));
  return r;
}

}  // namespace

int RootDirectory_FindForeignLink(const char *path, char *link, int size) {
  CHECK_POINTER(path);
  CHECK_POINTER(link);
  if (size > 0) link[0] = '\0';
  char resolved[kPathMax];
  if (!rootKey(path, resolved)) return 0;
  std::string foreign;
  PlatformDirectory *directory = rootWalk(resolved, 0, &foreign);
  Platform_CloseDirectory(&directory);
  if (foreign.empty()) return 0;
  Str_Copy(link, foreign.c_str(), size);
  return 1;
}

int RootDirectory_IsForeignLink(const char *path) {
  char link[kPathMax];
  return RootDirectory_FindForeignLink(path, link, int(sizeof link));
}

int RootDirectory_Open(const char *path, int create, RootDirectory **root, uint32_t mode,
                       RootDirectoryRefusal *refusal) {
  CHECK_POINTER(path);
  CHECK_POINTER(root);
  *root = nullptr;
  if (refusal != nullptr) *refusal = RootDirectoryRefusal{};
  char resolved[kPathMax], real[kPathMax];
  if (!rootKey(path, resolved)) return 0;
  std::string foreign;
  RootWalkJudge judge = {mode, refusal};
  PlatformDirectory *directory = rootWalk(resolved, create, &foreign, &judge);
  if (directory == nullptr) return 0;
  if (!rootRealPath(directory, real)) Str_Copy(real, resolved, int(sizeof real));
  *root = rootMake(directory, real);
  return 1;
}

int RootDirectory_Duplicate(RootDirectory *root, RootDirectory **copy) {
  rootOf(root);
  CHECK_POINTER(copy);
  *copy = nullptr;
  PlatformDirectory *directory = nullptr;
  if (!Platform_OpenDirectoryAt(root->directory, ".", &directory)) return 0;
  *copy = rootMake(directory, root->path);
  return 1;
}

int RootDirectory_GetDescriptorPath(RootDirectory *root, const char *name, char *out, int size) {
  rootOf(root);
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  int length = Str_Printf(out, size, "/proc/self/fd/%d%s%s", FsDirectory_Fd(root->directory),
                          name[0] != '\0' ? "/" : "", name);
  if (length >= 0 && length < size) return 1;
  if (size > 0) out[0] = '\0';
  return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "descriptor path", name);
}

int RootDirectory_GetOpenFilePath(int fd, char *out, int size) {
  CHECK_POINTER(out);
  int length = Str_Printf(out, size, "/proc/self/fd/%d", fd);
  if (fd >= 0 && length >= 0 && length < size) return 1;
  if (size > 0) out[0] = '\0';
  return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, EINVAL, "descriptor path", "");
}

int RootDirectory_OpenRead(RootDirectory *root, const char *name, FileIdentity *identity) {
  rootOf(root);
  CHECK_POINTER(name);
  CHECK_POINTER(identity);
  memset(identity, 0, sizeof *identity);
  if (name[0] == '\0' || strchr(name, '/') != nullptr || strcmp(name, ".") == 0 ||
      strcmp(name, "..") == 0)
    return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, EINVAL, "open", name) - 1;
  int fd;
  do fd = openat(FsDirectory_Fd(root->directory), name,
                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == ELOOP)
    return POSIX_FAIL_CODE(kPlatformErrorLinkLoop, ELOOP, "openat", name) - 1;
  if (fd < 0) return POSIX_FAIL("openat", name) - 1;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int result = POSIX_FAIL("fstat", name);
    close(fd);
    return result - 1;
  }
  identity->device = uint64_t(st.st_dev);
  identity->inode = uint64_t(st.st_ino);
  identity->mode = uint32_t(st.st_mode);
  identity->size = int64_t(st.st_size);
  identity->modifiedSeconds = int64_t(st.st_mtim.tv_sec);
  identity->modifiedNanoseconds = int32_t(st.st_mtim.tv_nsec);
  identity->links = uint32_t(st.st_nlink);
  identity->owner = uint32_t(st.st_uid);
  return fd;
}

int RootDirectory_GetRealPath(const char *path, char *out, int size, char *link) {
  CHECK_POINTER(out);
  CHECK_POINTER(link);
  if (size > 0) out[0] = '\0';
  link[0] = '\0';
  char given[kPathMax], real[kPathMax];
  if (!Path_ResolveAsGiven(path, given, int(sizeof given))) return 0;
  std::string foreign;
  PlatformDirectory *directory = rootWalk(given, 0, &foreign);
  if (directory == nullptr) {
    Str_Copy(link, foreign.c_str(), kPathMax);
    return 0;
  }
  bool named = rootRealPath(directory, real);
  Platform_CloseDirectory(&directory);
  if (!named) return POSIX_FAIL("readlink", path);
  if (strlen(real) >= size_t(size > 0 ? size : 0))
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "realpath", path);
  Str_Copy(out, real, size);
  return 1;
}

int RootDirectory_RemoveIfEmpty(RootDirectory *root) {
  rootOf(root);
  const char *leaf = strrchr(root->path, '/');
  if (leaf == nullptr || leaf[1] == '\0') return 0;
  leaf++;
  int fd = FsDirectory_Fd(root->directory);
  int parent = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return 0;
  // Only when the name in the parent is still this very directory.
  struct stat self, named;
  int removed = fstat(fd, &self) == 0 &&
                fstatat(parent, leaf, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                self.st_dev == named.st_dev && self.st_ino == named.st_ino &&
                unlinkat(parent, leaf, AT_REMOVEDIR) == 0;
  close(parent);
  return removed ? 1 : 0;
}

int RootDirectory_GetDescriptor(RootDirectory *root) {
  rootOf(root);
  return FsDirectory_Fd(root->directory);
}

int RootDirectory_Close(RootDirectory **root) {
  CHECK_POINTER(root);
  RootDirectory *r = *root;
  *root = nullptr;
  if (r == nullptr) return 1;
  rootOf(r);
  for (auto &entry : r->cache->entries) Platform_CloseDirectory(&entry.second.directory);
  for (auto &entry : r->cache->retired) {
    PlatformDirectory *directory = entry.first;
    Platform_CloseDirectory(&directory);
  }
  delete r->cache;
  r->cache = nullptr;
  Platform_CloseDirectory(&r->directory);
  r->tag = 0;
  MEM_FREE(r, sizeof(RootDirectory));
  return 1;
}

int RootDirectory_OpenParent(RootDirectory *root, const char *name, int create,
                             PlatformDirectory **parent, char *leaf) {
  rootOf(root);
  CHECK_POINTER(parent);
  CHECK_POINTER(leaf);
  *parent = nullptr;
  leaf[0] = '\0';
  std::string dir, last;
  if (!rootSplit(root, name, &dir, &last)) return 0;
  if (!dir.empty() && !rootOpenBelow(root, dir, create, parent)) return 0;
  if (dir.empty() && !Platform_OpenDirectoryBeneath(root->directory, "", create, parent))
    return 0;
  memcpy(leaf, last.c_str(), last.size() + 1);
  return 1;
}

int RootDirectory_OpenFile(RootDirectory *root, const char *name, uint32_t flags,
                           AsyncFile *file, FileIdentity *identity,
                           const FileIdentity *expected) {
  int openFlags = AsyncFile_OpenFlagsOf(flags);
  if (openFlags < 0) return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, EINVAL, "open", name);
  int share = int(flags & (kAsyncFileShareRead | kAsyncFileShareWrite));
  bool isPrivate = (flags & kAsyncFilePrivate) != 0;
  uint32_t createMode = isPrivate ? 0600 : 0666;
  FileIdentity st = {};
  int fd = -1, direct = 0;
  int opened = rootAt(root, name, (openFlags & O_CREAT) != 0, [&](PlatformDirectory *p,
                                                                   const char *leaf) {
    direct = (openFlags & O_DIRECT) != 0;
    fd = Platform_OpenFileAt(p, leaf, openFlags, share, createMode, &st);
    if (fd < 0 && direct && Platform_GetLastErrno() == EINVAL) {
      direct = 0;  // a file system without O_DIRECT: write-through buffered
      fd = Platform_OpenFileAt(p, leaf, openFlags & ~O_DIRECT, share, createMode, &st);
    }
    return fd >= 0 ? 1 : 0;
  });
  if (!opened) return 0;
  if (expected != nullptr && (st.device != expected->device || st.inode != expected->inode)) {
    close(fd);
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, ESTALE, "not the file made", name);
  }
  if ((openFlags & (O_WRONLY | O_RDWR)) && S_ISREG(st.mode) && st.links > 1) {
    close(fd);
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EMLINK, "hard link", name);
  }
  // A private file found at the name (not made by this open) is written
  // only when it is this user's and no one else may write it; it is made
  // private before the first byte goes in.
  if (isPrivate && !(openFlags & O_EXCL) && expected == nullptr &&
      (openFlags & (O_WRONLY | O_RDWR))) {
    if (st.owner != geteuid() || (st.mode & 022) != 0) {
      close(fd);
      return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "not our own file", name);
    }
    if ((st.mode & 07777) != 0600 && fchmod(fd, 0600) != 0) {
      int result = POSIX_FAIL("fchmod", name);
      close(fd);
      return result;
    }
  }
  std::string path = std::string(root->path) + "/" + name;
  if (!AsyncFile_Adopt(file, fd, direct, path.c_str(), flags)) {
    Platform_SetLastError(AsyncFile_GetLastError(file));
    return 0;
  }
  if (identity != nullptr) *identity = st;
  return 1;
}

int RootDirectory_GetIdentity(RootDirectory *root, const char *name, FileIdentity *identity) {
  CHECK_POINTER(identity);
  memset(identity, 0, sizeof *identity);
  return rootAt(root, name, 0, [&](PlatformDirectory *p, const char *leaf) {
    return Platform_GetFileIdentityAt(p, leaf, identity);
  });
}

int RootDirectory_Remove(RootDirectory *root, const char *name, int isDirectory) {
  return rootAt(root, name, 0, [&](PlatformDirectory *p, const char *leaf) {
    if (isDirectory) {
      // rmdir never removes a link; make sure of the entry's kind first.
      FileIdentity identity;
      if (!Platform_GetFileIdentityAt(p, leaf, &identity)) return 0;
      if (!S_ISDIR(identity.mode))
        return POSIX_FAIL_CODE(kPlatformErrorPathNotFound, ENOTDIR, "rmdir", leaf);
    }
    if (!FileOps_RemoveAt(p, leaf, isDirectory)) return 0;
    if (isDirectory) rootCacheForget(root, name);
    return 1;
  });
}

namespace {

// Directories below one removed tree at most: deeper is refused (1921).
constexpr int kRootTreeDepthMax = 128;

// Opens leaf of parent and lists its entries whole (removing while reading
// may pass entries over). 1/0.
int rootOpenListed(PlatformDirectory *parent, const char *leaf, PlatformDirectory **directory,
                   std::vector<std::string> *names) {
  if (!Platform_OpenDirectoryAt(parent, leaf, directory)) return 0;
  char name[kPathMax];
  int isDirectory = 0;
  while (Platform_ReadDirectoryAt(*directory, name, &isDirectory)) names->emplace_back(name);
  return 1;
}

// Whether the tree at leaf of parent is this user's throughout: every
// directory and every entry in one. 1; 0 with the last error, the first
// other user's entry's path (below where the walk began) in *foreign.
int rootTreeIsOurs(PlatformDirectory *parent, const char *leaf, const std::string &shown,
                   int depth, std::string *foreign) {
  FileIdentity identity;
  if (!Platform_GetFileIdentityAt(parent, leaf, &identity))
    return Platform_IsErrorMissing(Platform_GetLastError()) ? 1 : 0;
  if (identity.owner != uint32_t(geteuid())) {
    *foreign = shown;
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "another user's entry",
                           shown.c_str());
  }
  if (!S_ISDIR(identity.mode)) return 1;
  if (depth >= kRootTreeDepthMax)
    return POSIX_FAIL_CODE(kPlatformErrorLinkLoop, ELOOP, "remove tree", leaf);
  PlatformDirectory *directory = nullptr;
  std::vector<std::string> names;
  if (!rootOpenListed(parent, leaf, &directory, &names)) return 0;
  int ok = 1;
  for (const std::string &child : names)
    if (ok && !rootTreeIsOurs(directory, child.c_str(), shown + "/" + child, depth + 1, foreign))
      ok = 0;
  int error = ok ? 0 : Platform_GetLastError();
  Platform_CloseDirectory(&directory);
  if (!ok) Platform_SetLastError(error);
  return ok;
}

// Removes leaf of parent and, when it is a directory, everything in it
// first. 1/0.
int rootRemoveTreeAt(PlatformDirectory *parent, const char *leaf, int depth) {
  FileIdentity identity;
  if (!Platform_GetFileIdentityAt(parent, leaf, &identity))
    return Platform_IsErrorMissing(Platform_GetLastError()) ? 1 : 0;
  if (!S_ISDIR(identity.mode)) return FileOps_RemoveAt(parent, leaf, 0);
  if (depth >= kRootTreeDepthMax)
    return POSIX_FAIL_CODE(kPlatformErrorLinkLoop, ELOOP, "remove tree", leaf);
  PlatformDirectory *directory = nullptr;
  std::vector<std::string> names;
  if (!rootOpenListed(parent, leaf, &directory, &names)) return 0;
  int ok = 1;
  if (!(identity.mode & S_IWUSR)) Platform_SetDirectoryMode(directory, (identity.mode | S_IWUSR) & 07777);
  for (const std::string &child : names)
    if (ok && !rootRemoveTreeAt(directory, child.c_str(), depth + 1)) ok = 0;
  int error = ok ? 0 : Platform_GetLastError();
  Platform_CloseDirectory(&directory);
  if (!ok) {
    Platform_SetLastError(error);
    return 0;
  }
  return FileOps_RemoveAt(parent, leaf, 1);
}

}  // namespace

int RootDirectory_RemoveTree(RootDirectory *root, const char *name, char *foreign) {
  if (foreign != nullptr) foreign[0] = '\0';
  std::string other;
  int ok = rootAt(root, name, 0, [&](PlatformDirectory *p, const char *leaf) {
    // A single entry that is no directory goes whoever made it, as
    // RootDirectory_Remove; a directory only with everything in it ours.
    FileIdentity identity;
    if (Platform_GetFileIdentityAt(p, leaf, &identity) && S_ISDIR(identity.mode) &&
        !rootTreeIsOurs(p, leaf, name, 0, &other))
      return 0;
    return rootRemoveTreeAt(p, leaf, 0);
  });
  if (!other.empty()) {
    if (foreign != nullptr) Str_Copy(foreign, other.c_str(), kPathMax);
    rootCacheForget(root, name);
    return 0;
  }
  if (!ok && Platform_IsErrorMissing(Platform_GetLastError())) ok = 1;
  rootCacheForget(root, name);
  return ok;
}

int RootDirectory_Rename(RootDirectory *root, const char *from, const char *to) {
  return rootAt(root, from, 0, [&](PlatformDirectory *a, const char *fromLeaf) {
    return rootAt(root, to, 1, [&](PlatformDirectory *b, const char *toLeaf) {
      if (!Platform_RenameAt(a, fromLeaf, b, toLeaf)) return 0;
      rootCacheForget(root, from);  // a directory renamed: its old and new names
      rootCacheForget(root, to);
      return 1;
    });
  });
}

int RootDirectory_Copy(RootDirectory *root, const char *from, const char *to,
                       const int64_t *skip, int32_t skipCount) {
  return rootAt(root, from, 0, [&](PlatformDirectory *a, const char *fromLeaf) {
    return rootAt(root, to, 1, [&](PlatformDirectory *b, const char *toLeaf) {
      PlatformCopyAt copy = {a, fromLeaf, b, toLeaf, from, to, 0, nullptr, nullptr, skip,
                             skipCount, 1};
      return Platform_CopyFileAt(&copy);
    });
  });
}

int RootDirectory_CreateLink(RootDirectory *root, const char *name, const char *target) {
  CHECK_POINTER(target);
  return rootAt(root, name, 1, [&](PlatformDirectory *p, const char *leaf) {
    FileIdentity identity;
    if (Platform_GetFileIdentityAt(p, leaf, &identity)) {
      if (S_ISDIR(identity.mode))
        return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EISDIR, "symlinkat", leaf);
      if (S_ISLNK(identity.mode)) {
        char text[kPathMax];
        if (Platform_ReadLinkAt(p, leaf, text, int(sizeof text)) && strcmp(text, target) == 0)
          return 1;
      }
      // Made under a fresh name and renamed over what is there: the name is
      // never missing, whenever the process stops.
      char guid[40] = {};
      Str_CreateGuid(guid, int32_t(sizeof guid));
      std::string fresh = std::string(".") + leaf + "." + guid;
      if (!Platform_CreateLinkAt(p, fresh.c_str(), target)) return 0;
      if (Platform_RenameAt(p, fresh.c_str(), p, leaf)) return 1;
      int error = Platform_GetLastError();
      Platform_RemoveAt(p, fresh.c_str(), 0);
      Platform_SetLastError(error);
      return 0;
    }
    return Platform_CreateLinkAt(p, leaf, target);
  });
}

int RootDirectory_ReadLink(RootDirectory *root, const char *name, char *out, int size) {
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  return rootAt(root, name, 0, [&](PlatformDirectory *p, const char *leaf) {
    return Platform_ReadLinkAt(p, leaf, out, size);
  });
}

int RootDirectory_SetMode(RootDirectory *root, const char *name, uint32_t mode) {
  return rootAt(root, name, 0, [&](PlatformDirectory *p, const char *leaf) {
    return Platform_SetModeAt(p, leaf, mode);
  });
}

int RootDirectory_SetModifiedTime(RootDirectory *root, const char *name, double seconds) {
  int64_t whole = 0;
  int32_t nanoseconds = 0;
  if (!AsyncFile_SplitTime(seconds, &whole, &nanoseconds))
    return POSIX_FAIL_CODE(kRootInvalidTime, EINVAL, "utimensat", name);
  return rootAt(root, name, 0, [&](PlatformDirectory *p, const char *leaf) {
    return Platform_SetModifiedTimeAt(p, leaf, whole, nanoseconds);
  });
}

int RootDirectory_MakeWritable(RootDirectory *root, const char *name) {
  return rootAt(root, name, 0, [&](PlatformDirectory *p, const char *leaf) {
    FileIdentity identity;
    if (!Platform_GetFileIdentityAt(p, leaf, &identity)) return 1;
    if (S_ISLNK(identity.mode) || (identity.mode & S_IWUSR)) return 1;
    return Platform_SetModeAt(p, leaf, (identity.mode | S_IWUSR) & 07777);
  });
}
