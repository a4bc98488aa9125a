// The checks before a sync writes; see preflight.h.
#include "host/preflight.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/catalog.h"
#include "base/repository.h"
#include "base/storage.h"
#include "base/storagedefaults.h"
#include "core/formats/dictionary.h"
#include "core/platform/filetrust.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/platform/rootdir.h"
#include "core/platform/trustedpath.h"
#include "core/runtime/core.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "host/progress.h"

struct Preflight {
  int lockFd;  // -1 without a metafile to guard
  int installationLockFd;  // -1 without an installation directory
  RootDirectory *root;  // owned: the installation directory, held and locked; NULL without one
  bool madeRoot;        // root was made here: removed again when left empty
  RootDirectory *metafileDirectory;  // owned: the local metafile's directory, held; NULL without one
  char name[kRepositoryNameBytes];
};

namespace {

// Mux storages nest; deeper than this is no configuration anyone writes.
constexpr int kPreflightStorageDepth = 8;

const char *preflightName(Dictionary *config) {
  const char *name = nullptr;
  if (!Dictionary_GetStringPointerByKey(config, "repository", &name) || name == nullptr)
    return "";
  return name;
}

// The few causes a refusal here can have, in the system's words.
const char *preflightCause(int error) {
  switch (error) {
    case kPlatformErrorWriteProtect: return "read-only file system";
    case kPlatformErrorAccessDenied: return "permission denied";
    case kPlatformErrorFileNotFound:
    case kPlatformErrorPathNotFound: return "no such file or directory";
    case kPlatformErrorDiskFull: return "no space left on device";
    case kPlatformErrorNameTooLong: return "file name too long";
    default: return "cannot be used";
  }
}

// A path of the configuration, resolved ("~") and normalised; 0 when absent.
int preflightPath(Dictionary *config, const char *key, char *out, int size) {
  char text[kPathMax] = {};
  if (!Dictionary_GetStringByPath(config, key, text, int32_t(sizeof text)) || text[0] == '\0')
    return 0;
  return Path_Resolve(text, out, size) && Path_Normalize(out, size, kPathRemoveTrailing) && out[0] != '\0';
}

// 0 with the line when refusal names a directory another user may change
// on the way to path (role: what path is to the run); 1 when it is empty.
int preflightChangeable(Preflight *p, const RootDirectoryRefusal *refusal, const char *role,
                        const char *path, char *line, int size) {
  if (refusal->path[0] == '\0') return 1;
  std::string what = strcmp(refusal->path, path) == 0 ? std::string(role)
                                                       : std::string("on the way to ") + role +
                                                             " " + path;
  char text[kPreflightLineBytes];
  FileTrust_FormatRefusal(what.c_str(), refusal->path, &refusal->verdict, text,
                          int(sizeof text));
  Str_Printf(line, size, "keelson: %s: %s", p->name, text);
  return 0;
}

int preflightLock(Preflight *p, const char *metafile, char *line, int size) {
  char lockPath[kPathMax];
  Str_Printf(lockPath, int(sizeof lockPath), "%s%s", metafile, kPreflightLockSuffix);
  // The metafile's directory is opened once, as the installation's is: the
  // run reads, saves and erases the metafile there whatever its path leads
  // to later (Preflight_GetDirectories).
  char directory[kPathMax], leaf[kPathMax];
  if (Path_GetDirectory(lockPath, directory, int(sizeof directory)) && directory[0] != '\0' &&
      Path_GetFileName(lockPath, leaf, int(sizeof leaf))) {
    RootDirectoryRefusal refusal;
    if (!RootDirectory_Open(directory, 1, &p->metafileDirectory, 0755, &refusal)) {
      if (!preflightChangeable(p, &refusal, "the metafile's directory", directory, line, size))
        return 0;
      Str_Printf(line, size, "keelson: %s: %s: the metafile's directory cannot be opened (%s)",
                 p->name, directory, preflightCause(Platform_GetLastError()));
      return 0;
    }
  }
  int32_t holder = 0;
  if (Platform_LockFile(lockPath, &p->lockFd, &holder)) {
    // The lock taken by its name must lie in the directory held.
    struct stat taken, there;
    if (p->metafileDirectory == nullptr ||
        (fstat(p->lockFd, &taken) == 0 &&
         fstatat(RootDirectory_GetDescriptor(p->metafileDirectory), leaf, &there,
                 AT_SYMLINK_NOFOLLOW) == 0 &&
         taken.st_dev == there.st_dev && taken.st_ino == there.st_ino))
      return 1;
    Str_Printf(line, size, "keelson: %s: %s: cannot take the lock: the metafile's directory "
               "was replaced while the lock was taken", p->name, lockPath);
    return 0;
  }
  int code = Platform_GetLastError();
  if (code == kPlatformErrorLockViolation && holder > 0)
    Str_Printf(line, size, "keelson: %s: %s: already running (pid %d)", p->name, lockPath, holder);
  else if (code == kPlatformErrorLockViolation)
    Str_Printf(line, size, "keelson: %s: %s: already running", p->name, lockPath);
  else if (code == kPlatformErrorAccessDenied && Platform_GetLastErrno() == EMLINK)
    Str_Printf(line, size, "keelson: %s: %s: cannot take the lock: it has other hard links",
               p->name, lockPath);
  else if (code == kPlatformErrorAccessDenied && Platform_GetLastErrno() == EPERM)
    Str_Printf(line, size, "keelson: %s: %s: cannot take the lock: the file there is not "
               "trusted (a link, not a regular file, another user's, or writable by others) "
               "and cannot be replaced", p->name, lockPath);
  else
    Str_Printf(line, size, "keelson: %s: %s: cannot take the lock: %s", p->name, lockPath,
               preflightCause(code));
  return 0;
}

// 0 with the line when a link on the way to path (directory is the words
// for what path is) is owned by another user: it is not followed.
int preflightForeignLink(Preflight *p, const char *path, const char *directory, char *line,
                         int size) {
  char link[kPathMax];
  if (!RootDirectory_FindForeignLink(path, link, int(sizeof link))) return 1;
  if (strcmp(link, path) == 0)
    Str_Printf(line, size, "keelson: %s: %s: the %s is a link another user owns, which is not "
               "followed (name the directory itself)", p->name, path, directory);
  else
    Str_Printf(line, size, "keelson: %s: %s: a link on the way to the %s %s is owned by another "
               "user, and is not followed", p->name, link, directory, path);
  return 0;
}

// Opens the installation directory (made when missing) once, the handle
// the run then works in whatever its path leads to meanwhile
// (Preflight_GetDirectories), and locks the installation (by the
// directory's identity, in a place only the running user can write): one
// holder per installation, whichever path or repository file names it. 0
// with the line.
int preflightHoldRoot(Preflight *p, const char *root, char *line, int size) {
  PlatformFileStatus status = {};
  p->madeRoot = !Platform_Stat(root, &status) && Platform_IsErrorMissing(Platform_GetLastError());
  RootDirectoryRefusal refusal;
  if (!RootDirectory_Open(root, 1, &p->root, 0755, &refusal)) {
    if (!preflightChangeable(p, &refusal, "the installation directory", root, line, size))
      return 0;
    const char *cause = Platform_GetLastErrno() == ENOTDIR
                            ? "not a directory: a file stands where the path needs a directory"
                            : preflightCause(Platform_GetLastError());
    Str_Printf(line, size, "keelson: %s: %s: the installation directory cannot be opened (%s)",
               p->name, root, cause);
    return 0;
  }
  int32_t holder = 0;
  int gone = 0;
  if (Platform_LockInstallation(RootDirectory_GetDescriptor(p->root), &p->installationLockFd,
                                &holder, &gone))
    return 1;
  int code = Platform_GetLastError();
  if (code != kPlatformErrorLockViolation && code != kPlatformErrorAccessDenied &&
      !Platform_IsErrorMissing(code))
    Str_Printf(line, size, "keelson: %s: %s: cannot take the lock: %s", p->name, root,
               preflightCause(code));
  else if (code != kPlatformErrorLockViolation)
    Str_Printf(line, size, "keelson: %s: %s: cannot take the lock: the running user's lock "
               "directory (~/.local/state/keelson/locks, under the home the password database "
               "names) %s", p->name, root,
               code == kPlatformErrorAccessDenied
                   ? "is not the user's alone or lies under a home others may write: chown "
                     "it to the user, chmod 0700, or remove what stands there"
                   : "cannot be made: give the user a home it owns, or run as another user");
  else if (holder > 0 && gone)
    Str_Printf(line, size, "keelson: %s: %s: already running (pid %d, which is no longer "
               "running: a process it started still holds the installation)", p->name, root,
               holder);
  else if (holder > 0)
    Str_Printf(line, size, "keelson: %s: %s: already running (pid %d)", p->name, root, holder);
  else
    Str_Printf(line, size, "keelson: %s: %s: already running", p->name, root);
  return 0;
}

// The working directory, read once per resolution and only when a path
// needs it.
struct PreflightBase {
  const char *name;  // the repository's, for the lines
  char directory[kPathMax];
  bool read;
};

bool preflightIsRelative(const char *text) {
  if (text[0] == '\0' || text[0] == '/' || text[0] == '\\') return false;
  // "~" and "~/..." are the home directory's (Path_Resolve); "~name" is a name.
  if (text[0] == '~' && (text[1] == '\0' || text[1] == '/' || text[1] == '\\')) return false;
  return strstr(text, "://") == nullptr;
}

// Where the path in path (kPathMax bytes) leads as the system reads it: a
// ".." is the parent of the directory reached, not of the name written
// before it, which may be a link. The part up to the last ".." is walked
// (another user's link is not followed) and stands as the real path it
// reached; the rest, which no ".." follows, stays as written. A part that
// does not exist yet stays as written too (nothing there is a link). 1, or
// 0 with the line naming text.
int preflightReadDots(PreflightBase *base, const char *text, char *path, char *line, int size) {
  std::vector<size_t> cuts;  // the end of each ".."
  for (size_t i = 0; path[i] != '\0'; i++)
    if (path[i] == '.' && path[i + 1] == '.' && (i == 0 || path[i - 1] == '/') &&
        (path[i + 2] == '/' || path[i + 2] == '\0'))
      cuts.push_back(i + 2);
  // The last ".." whose part exists; one below a name still to be made is
  // what making the path will read too.
  for (auto cut = cuts.rbegin(); cut != cuts.rend(); ++cut) {
    std::string walked(path, *cut);
    char real[kPathMax], link[kPathMax];
    if (!RootDirectory_GetRealPath(walked.c_str(), real, int(sizeof real), link)) {
      if (Platform_IsErrorMissing(Platform_GetLastError())) continue;
      if (link[0] != '\0')
        Str_Printf(line, size, "keelson: %s: %s: a link on the way to %s is owned by another "
                   "user, and is not followed", base->name, link, text);
      else
        Str_Printf(line, size, "keelson: %s: %s: cannot be read as a path: %s", base->name, text,
                   preflightCause(Platform_GetLastError()));
      return 0;
    }
    const char *rest = path + *cut;
    if (strlen(real) + strlen(rest) >= size_t(kPathMax)) {
      Str_Printf(line, size, "keelson: %s: %s: too long once made absolute", base->name, text);
      return 0;
    }
    std::string read = std::string(strcmp(real, "/") == 0 ? "" : real) + rest;
    Str_Copy(path, read.empty() ? "/" : read.c_str(), kPathMax);
    return 1;
  }
  return 1;
}

// The string at key of d made absolute when it is relative, and read as
// the system reads it when a ".." follows a name; 0 with the line.
int preflightResolveKey(PreflightBase *base, Dictionary *d, const char *key, char *line,
                        int size) {
  const char *text = nullptr;
  // A text too long for any path is left to fail where it is used.
  if (!Dictionary_GetStringPointerByKey(d, key, &text) || text == nullptr || text[0] == '\0' ||
      strstr(text, "://") != nullptr || strlen(text) >= size_t(kPathMax))
    return 1;
  char joined[kPathMax], path[kPathMax];
  Str_Copy(joined, text, int(sizeof joined));
  if (preflightIsRelative(text)) {
    if (!base->read &&
        !Platform_GetCurrentDirectory(base->directory, int(sizeof base->directory))) {
      Str_Printf(line, size, "keelson: %s: %s: the working directory it is relative to cannot "
                 "be read: %s", base->name, text, preflightCause(Platform_GetLastError()));
      return 0;
    }
    base->read = true;
    size_t length = strlen(base->directory);
    bool slash = length > 0 && base->directory[length - 1] == '/';
    if (length + 1 + strlen(text) >= sizeof joined) {
      Str_Printf(line, size, "keelson: %s: %s: too long once made absolute", base->name, text);
      return 0;
    }
    Str_Printf(joined, int(sizeof joined), "%s%s%s", base->directory, slash ? "" : "/", text);
  }
  if (!Path_ResolveAsGiven(joined, path, int(sizeof path))) {
    Str_Printf(line, size, "keelson: %s: %s: too long once made absolute", base->name, text);
    return 0;
  }
  char before[kPathMax];
  Str_Copy(before, path, int(sizeof before));
  if (!preflightReadDots(base, text, path, line, size)) return 0;
  const char *value = strcmp(before, path) != 0 ? path : joined;
  if (strcmp(value, text) != 0) Dictionary_SetStringByKey(d, key, value);
  return 1;
}

// Calls visit on the storage at key of owner, or on each of a List of
// them, until one returns false: false then. depth counts the muxes above.
template <typename Visit>
bool preflightEachStorage(Dictionary *owner, const char *key, int depth, const Visit &visit) {
  DictionaryType type = kDictionaryTypeUnknown;
  Dictionary *child = nullptr;
  if (depth > kPreflightStorageDepth || !Dictionary_GetTypeByKey(owner, key, &type)) return true;
  if (type == kDictionaryTypeDictionary && Dictionary_GetDictionaryByKey(owner, key, &child))
    return visit(child);
  if (type != kDictionaryTypeList || !Dictionary_GetListByKey(owner, key, &child)) return true;
  int32_t count = 0;
  Dictionary_GetCount(child, &count);
  for (int32_t i = 0; i < count; i++) {
    Dictionary *entry = nullptr;
    if (Dictionary_GetDictionaryByIndex(child, i, &entry) && !visit(entry)) return false;
  }
  return true;
}

// The paths of each file or filePiece storage at key of owner, a mux's
// members included.
bool preflightResolveStorages(PreflightBase *base, Dictionary *owner, const char *key, char *line,
                              int size, int depth) {
  return preflightEachStorage(owner, key, depth, [&](Dictionary *storage) {
    const char *kind = nullptr;
    Dictionary_GetStringPointerByKey(storage, "type", &kind);
    if (kind != nullptr &&
        (Str_CompareNoCase(kind, "file") == 0 || Str_CompareNoCase(kind, "filePiece") == 0))
      return preflightResolveKey(base, storage, "path", line, size) &&
             preflightResolveKey(base, storage, "ignore", line, size);
    return preflightResolveStorages(base, storage, "storages", line, size, depth + 1);
  });
}

// Judges the "ignore" file of each file or filePiece storage at key of
// owner as every file the run trusts is judged (TrustedPath_Open): the list
// decides which files of the installation are left as they are. A missing
// file is no list; false with the line for one refused.
bool preflightJudgeIgnores(Preflight *p, Dictionary *owner, const char *key, char *line,
                           int size, int depth) {
  return preflightEachStorage(owner, key, depth, [&](Dictionary *storage) {
    char ignore[kPathMax];
    if (!preflightPath(storage, "ignore", ignore, int(sizeof ignore)))
      return preflightJudgeIgnores(p, storage, "storages", line, size, depth + 1);
    TrustedPathRefusal refusal;
    int fd = TrustedPath_Open(ignore, 0, &refusal);
    if (fd >= 0) {
      Platform_CloseFile(fd);
      return true;
    }
    if (refusal.entry[0] == '\0' && Platform_IsErrorMissing(Platform_GetLastError())) return true;
    if (refusal.entry[0] == '\0')
      Str_Printf(line, size, "keelson: %s: %s: the ignore file cannot be read (%s)", p->name,
                 ignore, preflightCause(Platform_GetLastError()));
    else if (strcmp(refusal.entry, ignore) == 0)
      Str_Printf(line, size, "keelson: %s: %s: the ignore file is refused: %s", p->name, ignore,
                 refusal.rule);
    else
      Str_Printf(line, size, "keelson: %s: %s: the ignore file is refused: %s on the way to it: "
                 "%s", p->name, ignore, refusal.entry, refusal.rule);
    return false;
  });
}

// 0 with the line when a directory on the way to a pending storage's
// "path" (as far as it exists: the run makes the rest) is one another user
// may change.
int preflightJudgePending(Preflight *p, Dictionary *config, char *line, int size) {
  return preflightEachStorage(config, "pending", 0, [&](Dictionary *storage) {
    char path[kPathMax];
    if (!preflightPath(storage, "path", path, int(sizeof path))) return true;
    RootDirectory *root = nullptr;
    RootDirectoryRefusal refusal;
    RootDirectory_Open(path, 0, &root, 0700, &refusal);
    RootDirectory_Close(&root);
    return preflightChangeable(p, &refusal, "the pending directory", path, line, size) != 0;
  }) ? 1 : 0;
}

// 1 when the pieces over both records' data have the same digests: the
// file's bytes are the installed version's.
bool preflightSamePieces(MetaFile *now, FileRecord *a, MetaFile *was, FileRecord *b) {
  PieceList *pa = MetaFile_GetPieceList(now), *pb = MetaFile_GetPieceList(was);
  if (pa == nullptr || pb == nullptr || a->size != b->size) return false;
  int64_t size = PieceList_GetPieceSize(pa);
  if (size <= 0 || size != PieceList_GetPieceSize(pb) || a->offset % size != b->offset % size ||
      strcmp(PieceList_GetAlgorithm(pa), PieceList_GetAlgorithm(pb)) != 0)
    return false;
  if (a->size == 0) return true;
  int32_t first = int32_t(a->offset / size), last = int32_t((a->offset + a->size - 1) / size);
  int32_t shift = int32_t(b->offset / size) - first;
  uint8_t da[kPieceListDigestMax], db[kPieceListDigestMax];
  for (int32_t i = first; i <= last; i++) {
    if (!PieceList_GetDigest(pa, i, da, int32_t(sizeof da)) ||
        !PieceList_GetDigest(pb, i + shift, db, int32_t(sizeof db)) ||
        memcmp(da, db, size_t(PieceList_GetDigestLength(pa))) != 0)
      return false;
  }
  return true;
}

// Where the run reads key: the repository file, else the catalog's
// "config" (which fills only what the file lacks); NULL when neither has it.
Dictionary *preflightOwner(Repository *r, const char *key) {
  if (Dictionary_HasKey(r->config, key)) return r->config;
  Dictionary *entry = nullptr, *config = nullptr;
  if (Catalog_IsNotNeeded(r->catalog) || !Catalog_GetEntry(r->catalog, &entry) ||
      entry == nullptr || !Dictionary_GetDictionaryByKey(entry, "config", &config) ||
      !Dictionary_HasKey(config, key))
    return nullptr;
  return config;
}

// 1 when a remote at key of owner (one, a List, a mux's "storages") offers
// VCDIFF deltas.
bool preflightDeltaRemote(Dictionary *owner, const char *key, int depth) {
  // The walk stops at the first remote with deltas.
  return !preflightEachStorage(owner, key, depth, [&](Dictionary *remote) {
    uint32_t flags = 0;
    return !(Storage_GetConfigFlags(remote, &flags) && (flags & kStorageFlagVCDiff)) &&
           !preflightDeltaRemote(remote, "storages", depth + 1);
  });
}

// The pending storage's directory when the run writes pieces through it:
// the pieces of a remote with deltas (staged there, then applied), or all
// of them when "inplace" is false (the run only stages). A plain remote's
// pieces go straight to the installation, whatever storage is configured.
int preflightPendingRoot(Repository *r, bool installed, char *out, int size) {
  Dictionary *owner = preflightOwner(r, "pending");
  Dictionary *pending = nullptr;
  if (owner == nullptr || !Dictionary_GetDictionaryByKey(owner, "pending", &pending) ||
      !preflightPath(pending, "path", out, size))
    return 0;
  int32_t inplace = 1;
  if (Dictionary *where = preflightOwner(r, "inplace"))
    Dictionary_GetBooleanByKey(where, "inplace", &inplace);
  Dictionary *remotes = preflightOwner(r, "remote");
  bool delta = r->deltaAllowed && installed && remotes != nullptr &&
               preflightDeltaRemote(remotes, "remote", 0);
  return !inplace || delta;
}

struct PreflightTree {
  char root[kPathMax];
  char partial[64];
  MetaFile *installed;  // NULL when no version is installed
  RootDirectory *held;  // the installation directory opened at start; NULL: none
  // Nothing is under a root that did not exist before the run (a first
  // install): its files need no look each, two of them (file and partial
  // file) per file.
  bool rootMissing;
};

// The status of name under the root: through the directory held when
// there is one, else by its path. 1 when it is there.
bool preflightLook(const PreflightTree &t, const char *name, int64_t *size) {
  if (t.held != nullptr) {
    FileIdentity identity = {};
    if (!RootDirectory_GetIdentity(t.held, name, &identity)) return false;
    *size = identity.size;
    return true;
  }
  char path[kPathMax];
  Str_Printf(path, int(sizeof path), "%s/%s", t.root, name);
  PlatformFileStatus status = {};
  if (!Platform_Stat(path, &status)) return false;
  *size = status.size;
  return true;
}

// The bytes one file of the new version still needs under the root.
int64_t preflightFileNeed(const PreflightTree &t, MetaFile *remote, FileRecord *record) {
  FileEntry *entry = record;
  if ((entry->flags & kFileEntryLink) || record->size <= 0) return 0;
  if (t.rootMissing) return record->size;
  int64_t size = 0;
  bool present = preflightLook(t, entry->name, &size) && size == record->size;
  // With no version installed, a file of the right size is taken as whole:
  // the copy checks its pieces, and a first install stopped part-way (or
  // whose metafile was never saved) needs only what is missing.
  if (present && t.installed == nullptr) return 0;
  FileRecord *old = nullptr;
  if (present && t.installed != nullptr &&
      FileIndex_FindName(MetaFile_GetFileIndex(t.installed), &old, entry->name) &&
      preflightSamePieces(remote, record, t.installed, old))
    return 0;
  // A partial file of it already holds part of the bytes.
  std::string partial = std::string(entry->name) + t.partial;
  int64_t held = 0;
  if (t.partial[0] != '\0' && preflightLook(t, partial.c_str(), &size) && size > 0)
    held = size < record->size ? size : record->size;
  return record->size - held;
}

// The nearest existing directory of path decides its file system.
uint64_t preflightDevice(const char *path) {
  char work[kPathMax];
  Str_Copy(work, path, int(sizeof work));
  for (int depth = 0; depth < 256 && work[0] != '\0'; depth++) {
    PlatformFileStatus status = {};
    if (Platform_Stat(work, &status)) return status.device;
    char parent[kPathMax];
    size_t length = strlen(work);
    while (length > 1 && work[length - 1] == '/') work[--length] = '\0';
    if (!Path_GetDirectory(work, parent, int(sizeof parent)) || parent[0] == '\0' ||
        strcmp(parent, work) == 0)
      break;
    Str_Copy(work, parent, int(sizeof work));
  }
  return 0;
}

// What the run still makes under one root: bytes, each file's rounded up
// to the file system's block, and inodes (files and directories).
struct PreflightNeed {
  int64_t bytes;
  int64_t inodes;
};

// 0 with the line when need does not fit on path's file system: its bytes,
// each file rounded up to the volume's block size (blocks holds the whole
// blocks' bytes, files their count), and its inodes.
int preflightFits(const char *name, const char *path, const PreflightNeed &need, char *line,
                  int size) {
  if (need.bytes <= 0 && need.inodes <= 0) return 1;
  // A query that fails says nothing about room: the run would meet a full
  // disk at some piece, its partial files left behind.
  int64_t free = 0, inodes = 0;
  if (!Platform_GetDiskFreeSpace(path, &free) || !Platform_GetFreeInodes(path, &inodes)) {
    Str_Printf(line, size, "keelson: %s: cannot tell the free space on %s: %s", name, path,
               preflightCause(Platform_GetLastError()));
    return 0;
  }
  if (need.bytes > free) {
    char needText[32], freeText[32];
    Progress_FormatBytes(double(need.bytes), needText, int(sizeof needText));
    Progress_FormatBytes(double(free), freeText, int(sizeof freeText));
    Str_Printf(line, size, "keelson: %s: needs %s, %s free on %s", name, needText, freeText,
               path);
    return 0;
  }
  if (need.inodes > inodes) {
    Str_Printf(line, size, "keelson: %s: needs %lld inodes (files and directories to make), "
               "%lld free on %s", name, static_cast<long long>(need.inodes),
               static_cast<long long>(inodes), path);
    return 0;
  }
  return 1;
}

// The volume's block size at path (at least 1).
int64_t preflightBlockBytes(const char *path) {
  uint32_t sectors = 1, sectorBytes = 1;
  Platform_GetDiskSpace(path, nullptr, &sectors, &sectorBytes);
  int64_t block = int64_t(sectors) * int64_t(sectorBytes);
  return block > 0 ? block : 1;
}

// The need of the new version under root: held is the directory opened at
// start (NULL: looked up by path), rootMissing true when nothing was there
// before the run.
int preflightNeed(Repository *r, RootDirectory *held, bool rootMissing, PreflightNeed *local,
                  PreflightNeed *pending) {
  *local = *pending = PreflightNeed{};
  MetaFile *remote = r->remoteMetaFile;
  if (remote == nullptr || !MetaFile_IsLoaded(remote) || !MetaFile_Succeeded(remote)) return 0;
  PreflightTree tree = {};
  if (!preflightPath(r->config, "local.path", tree.root, int(sizeof tree.root))) return 0;
  Dictionary *storage = nullptr;
  Dictionary_GetDictionaryByKey(r->config, "local", &storage);
  StorageDefaults_GetPartialExtension(storage, r->settings, tree.partial,
                                      int32_t(sizeof tree.partial));
  tree.held = held;
  tree.rootMissing = rootMissing;
  MetaFile *installed = r->localMetaFile;
  char id[kRepositoryIdBytes] = {};
  if (installed != nullptr && MetaFile_IsLoaded(installed) && MetaFile_Succeeded(installed) &&
      MetaFile_GetId(installed, id, int32_t(sizeof id)))
    tree.installed = installed;
  int64_t block = preflightBlockBytes(tree.root);
  std::set<std::string> directories;
  FileRecord *record = nullptr;
  FileIndex_GetFirst(MetaFile_GetFileIndex(remote), &record);
  for (; record != nullptr; record = record->next) {
    int64_t bytes = preflightFileNeed(tree, remote, record);
    local->bytes += (bytes + block - 1) / block * block;
    // A file built anew is a new inode; on a first install so is each
    // directory of the tree.
    if (bytes > 0 || (tree.rootMissing && record->size <= 0)) local->inodes++;
    if (!tree.rootMissing) continue;
    std::string name = record->name;
    for (size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1))
      directories.insert(name.substr(0, slash));
  }
  local->inodes += int64_t(directories.size());
  char pendingRoot[kPathMax];
  // The pending storage keeps the same bytes again (its piece files' count
  // is not foreseen).
  if (preflightPendingRoot(r, tree.installed != nullptr, pendingRoot, int(sizeof pendingRoot)))
    pending->bytes = local->bytes;
  return 1;
}

}  // namespace

int Preflight_ResolvePaths(Dictionary *config, char *line, int size) {
  CHECK_POINTER(config);
  CHECK_POINTER(line);
  line[0] = '\0';
  PreflightBase base = {};
  base.name = preflightName(config);
  if (!preflightResolveKey(&base, config, "metafile", line, size)) return 0;
  for (const char *key : {"local", "pending", "remote"})
    if (!preflightResolveStorages(&base, config, key, line, size, 0)) return 0;
  return 1;
}

int Preflight_Begin(Dictionary *config, Preflight **preflight, char *line, int size) {
  CHECK_POINTER(config);
  CHECK_POINTER(preflight);
  CHECK_POINTER(line);
  *preflight = nullptr;
  line[0] = '\0';
  auto *p = static_cast<Preflight *>(Mem_Alloc(sizeof(Preflight), 0, KSRC));
  *p = Preflight{};
  p->lockFd = -1;
  p->installationLockFd = -1;
  Str_Copy(p->name, preflightName(config), int(sizeof p->name));
  for (const char *key : {"local", "pending"})
    if (!preflightJudgeIgnores(p, config, key, line, size, 0)) {
      Preflight_Release(&p);
      return 0;
    }
  char root[kPathMax];
  bool hasRoot = preflightPath(config, "local.path", root, int(sizeof root));
  if (hasRoot && !preflightForeignLink(p, root, "installation directory", line, size)) {
    Preflight_Release(&p);
    return 0;
  }
  PlatformFileStatus status = {};
  if (hasRoot && Platform_Stat(root, &status) && !Path_IsDirectory(root)) {
    // Every write below it would fail and be retried to the end.
    Str_Printf(line, size, "keelson: %s: %s: the installation directory is not a directory",
               p->name, root);
    Preflight_Release(&p);
    return 0;
  }
  if (hasRoot && !Platform_CheckFileAccess(root, 2, 1)) {
    Str_Printf(line, size, "keelson: %s: %s: the installation directory is not writable (%s)",
               p->name, root, preflightCause(Platform_GetLastError()));
    Preflight_Release(&p);
    return 0;
  }
  if (hasRoot && !preflightHoldRoot(p, root, line, size)) {
    Preflight_Release(&p);
    return 0;
  }
  char metafile[kPathMax], metafileDirectory[kPathMax];
  bool hasMetafile = preflightPath(config, "metafile", metafile, int(sizeof metafile));
  if (hasMetafile &&
      Path_GetDirectory(metafile, metafileDirectory, int(sizeof metafileDirectory)) &&
      metafileDirectory[0] != '\0' &&
      !preflightForeignLink(p, metafileDirectory, "metafile's directory", line, size)) {
    Preflight_Release(&p);
    return 0;
  }
  if (hasMetafile && !preflightLock(p, metafile, line, size)) {
    Preflight_Release(&p);
    return 0;
  }
  if (!preflightJudgePending(p, config, line, size)) {
    Preflight_Release(&p);
    return 0;
  }
  *preflight = p;
  return 1;
}

int Preflight_GetDirectories(Preflight *preflight, RootDirectory **installation,
                             RootDirectory **metafileDirectory) {
  CHECK_POINTER(preflight);
  CHECK_POINTER(installation);
  CHECK_POINTER(metafileDirectory);
  *installation = preflight->root;
  *metafileDirectory = preflight->metafileDirectory;
  return 1;
}

int Preflight_GetNeed(Repository *r, int64_t *local, int64_t *pending) {
  CHECK_POINTER(r);
  CHECK_POINTER(local);
  CHECK_POINTER(pending);
  *local = *pending = 0;
  char root[kPathMax];
  PlatformFileStatus status = {};
  bool missing = !preflightPath(r->config, "local.path", root, int(sizeof root)) ||
                 !Platform_Stat(root, &status);
  PreflightNeed localNeed, pendingNeed;
  if (!preflightNeed(r, nullptr, missing, &localNeed, &pendingNeed)) return 0;
  *local = localNeed.bytes;
  *pending = pendingNeed.bytes;
  return 1;
}

int Preflight_CheckSpace(Preflight *preflight, Repository *r, char *line, int size) {
  CHECK_POINTER(preflight);
  CHECK_POINTER(r);
  CHECK_POINTER(line);
  char root[kPathMax], pendingRoot[kPathMax];
  PreflightNeed local, pending;
  if (!preflightPath(r->config, "local.path", root, int(sizeof root))) return 1;
  PlatformFileStatus status = {};
  bool missing = preflight->madeRoot ||
                 (preflight->root == nullptr && !Platform_Stat(root, &status));
  if (!preflightNeed(r, preflight->root, missing, &local, &pending)) return 1;
  if ((pending.bytes > 0 || pending.inodes > 0) &&
      preflightPendingRoot(r, true, pendingRoot, int(sizeof pendingRoot))) {
    if (preflightDevice(pendingRoot) == preflightDevice(root)) {
      local.bytes += pending.bytes;
      local.inodes += pending.inodes;
    } else if (!preflightFits(preflight->name, pendingRoot, pending, line, size)) {
      return 0;
    }
  }
  return preflightFits(preflight->name, root, local, line, size);
}

int Preflight_Release(Preflight **preflight) {
  CHECK_POINTER(preflight);
  Preflight *gone = *preflight;
  if (gone == nullptr) return 1;
  *preflight = nullptr;
  if (gone->lockFd >= 0) Platform_UnlockFile(gone->lockFd);
  // A run that wrote nothing leaves no installation directory it made; the
  // installation's lock is given back once that is done.
  if (gone->root != nullptr && gone->madeRoot) RootDirectory_RemoveIfEmpty(gone->root);
  RootDirectory_Close(&gone->root);
  if (gone->installationLockFd >= 0) Platform_UnlockFile(gone->installationLockFd);
  RootDirectory_Close(&gone->metafileDirectory);
  Mem_Free(gone, sizeof(Preflight), KSRC);
  return 1;
}
