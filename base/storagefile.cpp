// The file storage driver; see storagefile.h.
#include "base/storagefile.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/bitfield.h"
#include "base/filelist.h"
#include "base/metafile.h"
#include "base/piecelist.h"
#include "base/storagechain.h"
#include "base/storagedefaults.h"
#include "base/storagerequest.h"
#include "core/formats/json.h"
#include "core/platform/asyncfile.h"
#include "core/platform/fileops.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/platform/privatefile.h"
#include "core/platform/rootdir.h"
#include "core/platform/thread.h"
#include "core/platform/trustedpath.h"
#include "core/runtime/critsection.h"
#include "core/runtime/expand.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

constexpr int32_t kErrorNotFound = 2;
constexpr int32_t kErrorAccess = 5;
constexpr uint32_t kReadFlags = kAsyncFileRead | kAsyncFileShareRead;  // 0x21
constexpr uint32_t kWriteFlags = kAsyncFileRead | kAsyncFileWrite;     // 3: opens or creates
// A new file smaller than this is written by a transfer or two: reserving
// its blocks first costs a call and saves the file system nothing.
constexpr int64_t kReserveMinBytes = 1 << 20;

// One file in use: the users of one relative name share its AsyncFile.
struct OpenFile {
  std::string name;     // relative, '/' separated
  std::string current;  // the name the file is open under (partial or final); completed lock
  AsyncFile *file = nullptr;
  CriticalSection *lock = nullptr;  // its opening
  int32_t accessCount = 0;          // guarded by the table lock
  int32_t write = 0;
  int32_t complete = 0;
  int32_t installed = 0;  // a reader of the final file's own bytes, outside the table
  // The file was made by this open and is written buffered: it never holds
  // bytes past the entry's size, so its last write leaves the size right.
  int32_t exactSize = 0;
  // The file was made by this open: outside the ranges written through it,
  // it holds only its reserved blocks' zeros.
  int32_t fresh = 0;
  // Of a fresh file: the byte ranges written, sorted, disjoint and apart.
  // Guarded by lock.
  std::vector<std::pair<int64_t, int64_t>> written;
  int64_t size = 0;  // the entry's size: room reserved for a new file
  // The entry a writer writes (its version's); guarded by lock.
  const FileEntry *entry = nullptr;
};

// Adds [start, end) to a fresh file's written ranges. Takes the record's lock.
void fileNoteWritten(OpenFile *o, int64_t start, int64_t end) {
  CriticalSection_Enter(o->lock);
  auto &v = o->written;
  auto at = std::lower_bound(v.begin(), v.end(), std::make_pair(start, start));
  if (at != v.begin() && std::prev(at)->second >= start) {
    --at;
    start = at->first;
    end = std::max(end, at->second);
    at = v.erase(at);
  }
  while (at != v.end() && at->first <= end) {
    end = std::max(end, at->second);
    at = v.erase(at);
  }
  v.insert(at, {start, end});
  CriticalSection_Leave(o->lock);
}

// Whether [start, end) lies within one written range. Takes the lock.
bool fileWasWritten(OpenFile *o, int64_t start, int64_t end) {
  CriticalSection_Enter(o->lock);
  const auto &v = o->written;
  auto after = std::upper_bound(v.begin(), v.end(), std::make_pair(start, INT64_MAX));
  bool inside = after != v.begin() && std::prev(after)->first <= start &&
                std::prev(after)->second >= end;
  CriticalSection_Leave(o->lock);
  return inside;
}

}  // namespace

struct StorageFile {
  ObjectHeader header;  // kStorageFileTag
  StorageFileSettings settings;
  Storage *storage;  // borrowed: whose log the lines go to
  StorageLogFunction log;
  CriticalSection *tableLock;
  CriticalSection *completedLock;
  RootDirectory *root;  // opened on first use, under the table lock
  // root once it is open, read without the table lock; cleared under it
  // before root is closed.
  std::atomic<RootDirectory *> rootOpen;
  std::unordered_map<std::string, OpenFile *> openFiles;
  std::unordered_set<std::string> completed;
  std::unordered_set<std::string> ignored;
  // The file each name is being built in until it is completed (its
  // partial name, or a temporary one without a partial extension). Guarded
  // by the completed lock: taken under a record's lock, it comes after
  // every other.
  std::unordered_map<std::string, std::string> building;
  // The file this run made (or took, judged ours) for each name being
  // built: known by its device and inode, never again by its owner or mode
  // bits. Guarded by the completed lock.
  std::unordered_map<std::string, FileIdentity> made;
  // Names whose built file this run lost: something else is at its name
  // now, or nothing. Their pieces are gone with it; their completion fails
  // (a later run builds them again), and what is there is not removed for
  // it. Guarded by the completed lock.
  std::unordered_set<std::string> lost;
  std::atomic<int32_t> installedReaders;  // records outside the table, in use
  int32_t ignoreRead;
  // Held while a file is opened for writing in a tree built aside, and
  // while an aside tree is swapped in, so that no file is made in an aside
  // directory that is being renamed. Taken before the table lock and any
  // record's lock; readers never take it.
  std::recursive_mutex asideLock;
  // The aside trees found to be this user's own, or made by this run, and
  // not swapped in since. Guarded by asideTrustLock.
  std::mutex asideTrustLock;
  std::unordered_set<std::string> asideTrusted;
  // The aside trees this run made, by device and inode. Guarded by
  // asideTrustLock.
  std::unordered_map<std::string, FileIdentity> asideMade;
  // Parent paths found to be real directories, so that a file's look-ups
  // cost the same at any depth; emptied whenever this run removes or
  // replaces a directory. Guarded by asideTrustLock. A directory another
  // process swaps for a link meanwhile is still never followed: no walk
  // below the root follows a link.
  std::unordered_set<std::string> directories;
  // The permission bits a file built for a name starts from: the final
  // file's when it was copied, else the mode a new file gets. Guarded by the
  // completed lock.
  std::unordered_map<std::string, uint32_t> baseMode;
  // The record of names put in (settings.recordPath), open for appending
  // from the first put-in on; -1 when closed. Guarded by recordLock.
  std::mutex recordLock;
  int recordFd = -1;
  // Lines not written yet, by name, of files whose last bytes are in; and
  // the names whose line is written and whose file is not put in yet, with
  // that line. A put-in writes every line waiting at once, so that one
  // write serves the files closed since the last one. Guarded by
  // recordLock.
  std::unordered_map<std::string, std::string> recordWaiting;
  std::unordered_map<std::string, std::string> recordWritten;
  // The last refusal of an entry that is not this run's, as a line for the
  // user (StorageFile_GetRefusal). Guarded by refusalLock.
  std::mutex refusalLock;
  std::string refusal;
};

namespace {

StorageFile *fileOf(void *context) {
  CLASS_CHECK(context, kStorageFileTag);
  return static_cast<StorageFile *>(context);
}

template <typename... Args>
void fileLog(StorageFile *d, const char *format, Args... args) {
  if (d->storage != nullptr && d->log != nullptr) d->log(d->storage, format, args...);
}

// Keeps a refusal's line for the user, and logs it.
template <typename... Args>
void fileRefuse(StorageFile *d, const char *format, Args... args) {
  char line[2 * kStorageFilePathBytes + 256];
  Str_Printf(line, int(sizeof line), format, args...);
  Log_Print(LOG_ERROR, KSRC, 0, "%s\n", line);
  std::lock_guard<std::mutex> guard(d->refusalLock);
  d->refusal = line;
}

// Files stay open across pieces: the soft limit of descriptors goes up to
// the hard one, once per process.
void fileRaiseDescriptorLimit() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &limit);
    }
  });
}

bool fileRecordPutIn(StorageFile *d, const std::string &name, const FileIdentity &built,
                     int64_t size, int64_t seconds);
void fileRecordNote(StorageFile *d, const std::string &name, const FileIdentity &built,
                    int64_t size, int64_t seconds);

// A new record of name in the table, not yet open. Under the table lock.
OpenFile *fileAddRecord(StorageFile *d, const std::string &name, int64_t size) {
  auto *o = new OpenFile();
  o->name = name;
  o->size = size;
  CriticalSection_Create(&o->lock);
  d->openFiles.emplace(name, o);
  return o;
}

void fileCloseRecord(OpenFile *o) {
  if (o->file != nullptr) {
    AsyncFile_Close(o->file);
    AsyncFile_Release(&o->file);
  }
  CriticalSection_Delete(&o->lock);
  delete o;
}

void fileDestroy(void **object) {
  auto *d = static_cast<StorageFile *>(*object);
  for (;;) {  // records still in use: their transfers end by themselves
    CriticalSection_Enter(d->tableLock);
    bool busy = false;
    for (auto &entry : d->openFiles) busy = busy || entry.second->accessCount > 0;
    if (!busy) {
      for (auto &entry : d->openFiles) fileCloseRecord(entry.second);
      d->openFiles.clear();
    }
    busy = busy || d->installedReaders.load() > 0;
    CriticalSection_Leave(d->tableLock);
    if (!busy) break;
    Thread_Yield();
  }
  RootDirectory_Close(&d->root);
  PrivateFile_Close(&d->recordFd);
  CriticalSection_Delete(&d->tableLock);
  CriticalSection_Delete(&d->completedLock);
  d->header.classTag = 0;
  d->~StorageFile();
  MEM_FREE(d, sizeof(StorageFile));
}

int fileCreate(void **context) {
  CHECK_POINTER(context);
  fileRaiseDescriptorLimit();
  auto *d = new (MEM_ALLOC(sizeof(StorageFile), MEM_ZEROED)) StorageFile();
  d->header.classTag = kStorageFileTag;
  d->header.refCount.store(1);
  d->header.destroy = fileDestroy;
  CriticalSection_Create(&d->tableLock);
  CriticalSection_Create(&d->completedLock);
  d->settings.extraFileFlags = kAsyncFileUnbuffered;
  StorageDefaults_GetPartialExtension(nullptr, nullptr, d->settings.partialExtension,
                                     kStorageFileExtensionBytes);
  *context = d;
  return 1;
}

int fileRelease(void **context) {
  Class_Release(context);
  return 1;
}

int fileSetLogHook(void *context, Storage *storage, StorageLogFunction log) {
  StorageFile *d = fileOf(context);
  d->storage = storage;
  d->log = log;
  return 1;
}

bool fileSettingBoolean(Dictionary *appConfig, Dictionary *config, const char *key,
                        int32_t *value) {
  char path[64];
  Str_Printf(path, sizeof path, "storage.%s", key);
  return (config != nullptr && Dictionary_GetBooleanByKey(config, key, value)) ||
         (appConfig != nullptr && Dictionary_GetBooleanByPath(appConfig, path, value));
}

int fileConfigure(void *context, Storage *storage, Dictionary *appConfig, Dictionary *config) {
  StorageFile *d = fileOf(context);
  StorageFileSettings s = {};
  if (!StorageDefaults_GetPartialExtension(config, appConfig, s.partialExtension,
                                          kStorageFileExtensionBytes)) {
    fileLog(d, "Configuration dictionary missing %s\n", "partialExtension");
    return 0;
  }
  char lock[kStorageFilePathBytes] = {};
  if (appConfig == nullptr ||
      !Dictionary_GetStringByPath(appConfig, "storage.lockDirectory", lock, int32_t(sizeof lock))) {
    fileLog(d, "Configuration dictionary missing %s\n", "lockDirectory");
    return 0;
  }
  // Read and reported only: a file in use is never moved away on Linux.
  Str_Copy(s.lockDirectory, lock, kStorageFilePathBytes);
  if (lock[0] != '\0' && Str_Expand(s.lockDirectory, kStorageFilePathBytes, nullptr, nullptr))
    Path_Normalize(s.lockDirectory, kStorageFilePathBytes, 0);
  struct {
    const char *key;
    int32_t *value;
  } const booleans[] = {{"skipTimestamp", &s.skipTimestamp},
                        {"skipAttributes", &s.skipAttributes},
                        {"selfUpdate", &s.selfUpdate}};
  int32_t systemBuffer = 0;
  if (!fileSettingBoolean(appConfig, config, "systemBuffer", &systemBuffer)) {
    fileLog(d, "Configuration dictionary missing %s\n", "systemBuffer");
    return 0;
  }
  for (const auto &b : booleans) {
    if (!fileSettingBoolean(appConfig, config, b.key, b.value)) {
      fileLog(d, "Configuration dictionary missing %s\n", b.key);
      return 0;
    }
  }
  s.extraFileFlags = systemBuffer ? 0 : kAsyncFileUnbuffered;
  char path[kStorageFilePathBytes] = {};
  if (config == nullptr ||
      !Dictionary_GetStringByKey(config, "path", path, int32_t(sizeof path)) || path[0] == '\0') {
    fileLog(d, "Configuration dictionary missing %s\n", "path");
    return 0;
  }
  if (!Path_Resolve(path, s.path, kStorageFilePathBytes) ||
      !Path_Normalize(s.path, kStorageFilePathBytes, kPathRemoveTrailing)) {
    fileLog(d, "Configuration dictionary invalid %s\n", "path");
    return 0;
  }
  char ignore[kStorageFilePathBytes] = {};
  if (config != nullptr &&
      Dictionary_GetStringByKey(config, "ignore", ignore, int32_t(sizeof ignore)) &&
      ignore[0] != '\0' && !Path_Resolve(ignore, s.ignorePath, kStorageFilePathBytes))
    s.ignorePath[0] = '\0';
  {
    std::lock_guard<std::mutex> guard(d->recordLock);
    PrivateFile_Close(&d->recordFd);
  }
  CriticalSection_Enter(d->tableLock);
  if (strcmp(d->settings.path, s.path) != 0) {
    d->rootOpen.store(nullptr, std::memory_order_release);
    RootDirectory_Close(&d->root);
  }
  d->settings = s;
  d->ignoreRead = 0;
  d->ignored.clear();
  CriticalSection_Leave(d->tableLock);
  Storage_SetLocation(storage, s.path);
  return 1;
}

int fileStatus(void *context, Storage *, Dictionary *status) {
  StorageFile *d = fileOf(context);
  Dictionary_SetInt32ByKey(status, "extraFileFlags", int32_t(d->settings.extraFileFlags));
  Dictionary_SetStringByKey(status, "lockDirectory", d->settings.lockDirectory);
  Dictionary_SetStringByKey(status, "outputPath", d->settings.path);
  Dictionary_SetStringByKey(status, "partialExtension", d->settings.partialExtension);
  Dictionary_SetInt32ByKey(status, "openFiles", StorageFile_GetOpenFileCount(d));
  return 1;
}

// ---- Names -------------------------------------------------------------------------------

// The root, opened (and made) on first use; NULL with the last error.
RootDirectory *fileRoot(StorageFile *d) {
  if (RootDirectory *open = d->rootOpen.load(std::memory_order_acquire)) return open;
  CriticalSection_Enter(d->tableLock);
  if (d->root == nullptr) RootDirectory_Open(d->settings.path, 1, &d->root);
  RootDirectory *root = d->root;
  d->rootOpen.store(root, std::memory_order_release);
  int error = root ? 0 : Platform_GetLastError();
  CriticalSection_Leave(d->tableLock);
  if (root == nullptr) Platform_SetLastError(error ? error : kErrorNotFound);
  return root;
}

// The entry's relative name, '\' read as '/'.
std::string fileNameOf(FileEntry *entry) {
  std::string name = entry != nullptr && entry->name != nullptr ? entry->name : "";
  for (char &c : name)
    if (c == '\\') c = '/';
  return name;
}

std::string filePartialName(StorageFile *d, const std::string &name) {
  return name + d->settings.partialExtension;
}

// lstat of name below the root: 1 when something is there.
bool fileThere(RootDirectory *root, const std::string &name, FileIdentity *identity) {
  return RootDirectory_GetIdentity(root, name.c_str(), identity) != 0;
}

// 1 when a real directory is at name (a link to one is no directory here).
bool fileIsDirectory(RootDirectory *root, const std::string &name) {
  FileIdentity identity;
  return fileThere(root, name, &identity) && S_ISDIR(identity.mode);
}

// A tree built aside, for entries whose parent path meets something other
// than a directory (a file or a link the installed version has there):
// blocked is that component, the new entries are built below blocked plus
// the partial extension (a name no metafile entry may have), and place is
// where name is built and completed until the tree is swapped in.
struct FilePlace {
  std::string place;    // name, or its name inside the aside tree
  std::string blocked;  // "" when name is built where it belongs
};

// The extension of aside trees: the partial extension, or the default one
// when files are written under their final names.
std::string fileAsideName(StorageFile *d, const std::string &blocked) {
  return blocked + StorageDefaults_GetAsideSuffix(d->settings.partialExtension);
}

// Forgets the directories known to be real: one was removed or replaced.
void fileForgetDirectories(StorageFile *d) {
  std::lock_guard<std::mutex> guard(d->asideTrustLock);
  d->directories.clear();
}

// The umask, read once without changing it (umask(2) would, for every
// thread, while it is read).
uint32_t fileUmask() {
  static const uint32_t mask = [] {
    uint32_t value = 022;
    if (FILE *status = fopen("/proc/self/status", "re")) {
      char line[128];
      unsigned read = 0;
      while (fgets(line, int(sizeof line), status) != nullptr)
        if (sscanf(line, "Umask: %o", &read) == 1) {
          value = read & 0777;
          break;
        }
      fclose(status);
    }
    return value;
  }();
  return mask;
}

// The mode a file or directory made here would have had: the one a
// finished file or swapped tree gets when nothing else says.
uint32_t fileMadeMode(bool directory) { return (directory ? 0777u : 0666u) & ~fileUmask(); }

// Whether an entry at a name this run builds in may be taken as its own:
// this user's, with one link for a file, writable by no one else.
bool fileIsOurs(const FileIdentity &identity) {
  return identity.owner == uint32_t(geteuid()) && (identity.mode & 022) == 0 &&
         (S_ISDIR(identity.mode) || (S_ISREG(identity.mode) && identity.links <= 1));
}

// Removes the tree at name when every entry in it is this user's; one of
// another user's is left where it is, with everything in it, and the
// refusal said on the run's log. 1/0 with the last error.
int fileRemoveTree(StorageFile *d, RootDirectory *root, const std::string &name) {
  char foreign[kPathMax] = {};
  if (RootDirectory_RemoveTree(root, name.c_str(), foreign)) return 1;
  int error = Platform_GetLastError();
  if (foreign[0] != '\0') {
    if (name == foreign)
      fileRefuse(d,
                 "%s/%s belongs to another user and is in the way; it is not removed: move it "
                 "out of the installation (or remove it as its owner) and run again",
                 d->settings.path, name.c_str());
    else
      fileRefuse(d,
                 "%s/%s is in the way and is not removed: %s/%s in it belongs to another "
                 "user; move it out of the installation (or remove it as its owner) and run "
                 "again",
                 d->settings.path, name.c_str(), d->settings.path, foreign);
  }
  Platform_SetLastError(error);
  return 0;
}

// Whether a and b are one file: the same device and inode.
bool fileSameFile(const FileIdentity &a, const FileIdentity &b) {
  return a.inode != 0 && a.device == b.device && a.inode == b.inode;
}

// Whether identity is the aside tree this run made at aside.
bool fileAsideIsMade(StorageFile *d, const std::string &aside, const FileIdentity &identity) {
  std::lock_guard<std::mutex> guard(d->asideTrustLock);
  auto made = d->asideMade.find(aside);
  return made != d->asideMade.end() && fileSameFile(made->second, identity);
}

// The aside tree at aside, opened without following a link, when it is a
// directory of ours (the one this run made there, else fileIsOurs, on its
// descriptor): *tree is left open for the caller (NULL: only looked at),
// its identity in *treeId when given. 1 when it is; 0 when it is missing or
// anything else (the last error set). *other: whether what the open met is
// something else than our tree (a file, a link, a directory not ours);
// false when nothing is there or the look failed for another cause.
int fileAsideOpen(StorageFile *d, RootDirectory *root, const std::string &aside,
                  PlatformDirectory **tree, bool *other = nullptr,
                  FileIdentity *treeId = nullptr) {
  PlatformDirectory *parent = nullptr, *opened = nullptr;
  char leaf[kPathMax];
  FileIdentity identity = {};
  int openErrno = 0;
  bool found = RootDirectory_OpenParent(root, aside.c_str(), 0, &parent, leaf);
  if (found && !Platform_OpenDirectoryAt(parent, leaf, &opened)) {
    openErrno = Platform_GetLastErrno();
    found = false;
  }
  int ours = found && Platform_GetDirectoryIdentity(opened, &identity) &&
             S_ISDIR(identity.mode) &&
             (fileAsideIsMade(d, aside, identity) || fileIsOurs(identity));
  int error = ours ? 0 : Platform_GetLastError();
  if (treeId != nullptr) *treeId = identity;
  Platform_CloseDirectory(&parent);
  if (ours && tree != nullptr) *tree = opened;
  else Platform_CloseDirectory(&opened);
  if (!ours && identity.mode != 0) error = kErrorAccess;  // there, but not ours
  // O_NOFOLLOW|O_DIRECTORY meets a file with ENOTDIR, a link with ELOOP
  // (ENOTDIR when it leads to a directory).
  if (other != nullptr)
    *other = !ours && (identity.mode != 0 || openErrno == ENOTDIR || openErrno == ELOOP);
  if (!ours) Platform_SetLastError(error ? error : kErrorNotFound);
  return ours;
}

// Whether the aside tree at aside may be built in and swapped in: one this
// run made or found to be ours. Anything else there (another user's
// directory, a link, a file) is removed, never followed, and reads as
// missing. What goes is judged on what was opened, and only while this
// thread holds the aside lock, under which every tree of this run is made:
// a tree made by another thread between a look and the removal is never
// taken for a plant. A caller that cannot have the lock at once leaves the
// plant to one that holds it. 1 when a trusted tree is there.
bool fileAsideTrusted(StorageFile *d, RootDirectory *root, const std::string &aside) {
  {
    std::lock_guard<std::mutex> guard(d->asideTrustLock);
    if (d->asideTrusted.count(aside) != 0) return true;
  }
  bool other = false;
  std::unique_lock<std::recursive_mutex> making(d->asideLock, std::defer_lock);
  for (int look = 0; look < 2; look++) {
    if (fileAsideOpen(d, root, aside, nullptr, &other)) {
      std::lock_guard<std::mutex> guard(d->asideTrustLock);
      d->asideTrusted.insert(aside);
      return true;
    }
    if (!other) return false;
    if (look == 0 && !making.try_lock()) return false;
  }
  fileLog(d, "Removing planted entry (%s)\n", aside.c_str());
  fileRemoveTree(d, root, aside);
  return false;
}

// Makes the aside tree at aside for this run when no trusted one is there:
// a new directory (mkdir, exclusive), 0700 until it is swapped in. Under
// the aside lock. 1/0 with the last error.
int fileAsideMake(StorageFile *d, RootDirectory *root, const std::string &aside) {
  if (fileAsideTrusted(d, root, aside)) return 1;
  PlatformDirectory *parent = nullptr;
  char leaf[kPathMax];
  PlatformDirectory *tree = nullptr;
  FileIdentity identity = {};
  // Known from here on by what the made directory's own descriptor says.
  int made = RootDirectory_OpenParent(root, aside.c_str(), 1, &parent, leaf) &&
             Platform_CreateDirectoryAt(parent, leaf, 0700) &&
             Platform_OpenDirectoryAt(parent, leaf, &tree) &&
             Platform_GetDirectoryIdentity(tree, &identity);
  int error = made ? 0 : Platform_GetLastError();
  Platform_CloseDirectory(&tree);
  Platform_CloseDirectory(&parent);
  if (!made) {
    Platform_SetLastError(error);
    return 0;
  }
  std::lock_guard<std::mutex> guard(d->asideTrustLock);
  d->asideTrusted.insert(aside);
  d->asideMade[aside] = identity;
  return 1;
}

// Where name's new version is built: below the first component of its
// parent path that is there and not a real directory, the aside tree. A
// missing component whose aside tree is there is one a run left between
// removing the old entry and renaming the tree in: that tree is used when
// it is ours (fileAsideTrusted).
FilePlace fileLocate(StorageFile *d, RootDirectory *root, const std::string &name) {
  FilePlace at = {name, std::string()};
  for (size_t slash = name.find('/'); slash != std::string::npos && slash > 0;
       slash = name.find('/', slash + 1)) {
    std::string component = name.substr(0, slash);
    {
      std::lock_guard<std::mutex> guard(d->asideTrustLock);
      if (d->directories.count(component) != 0) continue;
    }
    FileIdentity identity;
    bool there = fileThere(root, component, &identity);
    if (there && S_ISDIR(identity.mode)) {
      std::lock_guard<std::mutex> guard(d->asideTrustLock);
      d->directories.insert(component);
      continue;
    }
    if (!there && (!Platform_IsErrorMissing(Platform_GetLastError()) ||
                   !fileAsideTrusted(d, root, fileAsideName(d, component))))
      return at;  // made when something is written there
    at.blocked = component;
    at.place = fileAsideName(d, component) + name.substr(slash);
    if (there) fileAsideTrusted(d, root, fileAsideName(d, component));  // a plant goes
    return at;
  }
  return at;
}

// A record's current name changes under the completed lock (the last of
// all, taken under a record's lock too): a tree swapped in renames the
// names of the records open in it.
void fileSetCurrent(StorageFile *d, OpenFile *o, const std::string &current) {
  CriticalSection_Enter(d->completedLock);
  o->current = current;
  CriticalSection_Leave(d->completedLock);
}

std::string fileGetCurrent(StorageFile *d, OpenFile *o) {
  CriticalSection_Enter(d->completedLock);
  std::string current = o->current;
  CriticalSection_Leave(d->completedLock);
  return current;
}

// The failure of a name that would leave the root is logged once here.
void fileNoteFailure(StorageFile *d, const std::string &name, int32_t error) {
  if (error == kErrorAccess) fileLog(d, "Access refused (%s) (%d)\n", name.c_str(), error);
}

// ---- Open and close -----------------------------------------------------------------------

// A fresh name beside name for the file that replaces it when there is no
// partial extension: ".<leaf>.<32 hex digits>" in the same directory.
std::string fileTemporaryName(const std::string &name) {
  char guid[40] = {};
  Str_CreateGuid(guid, int32_t(sizeof guid));
  size_t slash = name.find_last_of('/');
  return (slash == std::string::npos ? std::string() : name.substr(0, slash + 1)) + "." +
         name.substr(slash + 1) + "." + guid;
}

// The file built for name is gone from its name, or another is there: its
// pieces are gone with it. Its records go, so that nothing of this run
// takes whatever is there for it; its completion fails.
void fileMarkLost(StorageFile *d, const std::string &name, const std::string &at) {
  CriticalSection_Enter(d->completedLock);
  bool first = d->lost.insert(name).second;
  d->made.erase(name);
  d->building.erase(name);
  CriticalSection_Leave(d->completedLock);
  if (first) fileLog(d, "Built file gone or replaced (%s) at (%s)\n", name.c_str(), at.c_str());
}

// Whether name's built file was lost this run (fileMarkLost).
bool fileIsLost(StorageFile *d, const std::string &name) {
  CriticalSection_Enter(d->completedLock);
  bool lost = d->lost.count(name) != 0;
  CriticalSection_Leave(d->completedLock);
  return lost;
}

// The file name is being built in: the one this driver made for it, else
// one an earlier run left under the partial name; "" when there is none.
// *identity is the built file's (zeroed when there is none).
// place: where name is built (fileLocate). The file this run made for
// name is known by its identity alone; when it is not at its name any more,
// name is lost (fileMarkLost). Another file is taken only when it is ours
// (fileIsOurs: another hard link, another owner or a write bit for others
// is not): anything else but a directory is removed (a link itself, never
// followed), and the file is built afresh.
std::string fileBuildName(StorageFile *d, RootDirectory *root, const std::string &name,
                          const std::string &place, FileIdentity *identity,
                          bool *partialIsDirectory = nullptr) {
  if (partialIsDirectory != nullptr) *partialIsDirectory = false;
  CriticalSection_Enter(d->completedLock);
  auto known = d->building.find(name);
  std::string build = known != d->building.end() ? known->second : std::string();
  auto madeAt = d->made.find(name);
  FileIdentity made = madeAt != d->made.end() ? madeAt->second : FileIdentity{};
  CriticalSection_Leave(d->completedLock);
  if (!build.empty() && !fileThere(root, build, identity)) build.clear();
  // The name recorded may be one a tree swapped in has just taken away:
  // the partial name at the place is looked at as well.
  if (build.empty() && d->settings.partialExtension[0] != '\0') {
    build = filePartialName(d, place);
    if (!fileThere(root, build, identity)) build.clear();
    else if (partialIsDirectory != nullptr) *partialIsDirectory = S_ISDIR(identity->mode);
  }
  bool ours = !build.empty() && fileSameFile(made, *identity);
  if (made.inode != 0 && !ours) {
    // A new file without a partial extension is built at its final name.
    FileIdentity final;
    if (!(build.empty() && fileThere(root, place, &final) && fileSameFile(made, final)))
      fileMarkLost(d, name, build.empty() ? place : build);
  }
  // A directory there is passed over: it may be the tree built aside for
  // the name, which the writer of the file removes (fileOpenForWriting).
  if (!build.empty() && !ours && !S_ISDIR(identity->mode) &&
      !(S_ISREG(identity->mode) && fileIsOurs(*identity))) {
    fileLog(d, "Removing planted file (%s) (%u)\n", build.c_str(), identity->owner);
    RootDirectory_Remove(root, build.c_str(), 0);
    build.clear();
  }
  if (!build.empty() && !S_ISREG(identity->mode)) build.clear();
  if (build.empty()) memset(identity, 0, sizeof *identity);
  return build;
}

// Where a file's writes come from: the storage whose write plan says which
// pieces the owner will write, the metafile of the pieces, the file.
struct FilePlan {
  Storage *storage;
  MetaFile *metafile;
  FileRecord *file;
};

// The ranges of the file's data (offset in the file, length) that pieces of
// the write plan hold, as ascending, merged pairs; empty without a plan.
std::vector<int64_t> filePlannedRanges(const FilePlan *plan) {
  std::vector<int64_t> ranges;
  const BitField *pieces = nullptr;
  if (plan == nullptr || plan->file->size < 1 ||
      !Storage_GetWritePlan(plan->storage, plan->metafile, &pieces))
    return ranges;
  PieceList *list = MetaFile_GetPieceList(plan->metafile);
  int64_t pieceSize = list != nullptr ? PieceList_GetPieceSize(list) : 0;
  int32_t count = 0;
  BitField_GetSize(pieces, &count);
  if (pieceSize < 1) return ranges;
  // Pads may lie inside the file's stretch of the content: its pieces run
  // to the end of its data and pads.
  const FileRecord *f = plan->file;
  int64_t first = f->offset / pieceSize;
  int64_t last = std::min<int64_t>((f->offset + f->size + f->pad - 1) / pieceSize, count - 1);
  StorageRequest *request = nullptr;
  for (int64_t piece = first; piece <= last; piece++) {
    if (!BitField_IsSet(pieces, int32_t(piece))) continue;
    if (request == nullptr)
      StorageRequest_Create(&request);
    else
      StorageRequest_Reset(request);
    StorageRequest_SetMetaFile(request, plan->metafile);
    StorageRequest_AddPiece(request, int32_t(piece));
    for (StorageMember *m = request->first; m != nullptr; m = m->next) {
      if (m->file != f || m->length <= 0) continue;
      if (!ranges.empty() && ranges.end()[-2] + ranges.back() >= m->fileOffset)
        ranges.back() = std::max(ranges.back(), m->fileOffset + m->length - ranges.end()[-2]);
      else
        ranges.insert(ranges.end(), {m->fileOffset, m->length});
    }
  }
  if (request != nullptr) Class_ReleaseObject(&request);
  return ranges;
}

// Opens the record's file for writing: the file the new version is built
// in. That is the one made or left for it before (fileBuildName), else a
// copy of the final file made now (the unchanged ranges come from it: the
// ranges the plan's pieces will write are not copied, and nothing is when
// they write every byte), else a new file, made by this open. The final
// file is never opened for writing: it keeps the installed version, whole,
// until Storage_CompleteFile renames the built file over it. Only a new
// file without a partial extension is written under its final name. A name
// whose parent path meets a file or a link is built in the aside tree
// (fileLocate); a directory where the file goes stays until completion. A
// file found with another hard link is removed and built again. 0 with the
// last error.
int fileOpenForWriting(StorageFile *d, RootDirectory *root, OpenFile *o, const FilePlan *plan) {
  const std::string &name = o->name;
  // fileOpen took the aside lock for a name built aside; one that became so
  // since cannot wait for it here, under the record's lock: the open fails
  // and is tried again.
  std::unique_lock<std::recursive_mutex> aside(d->asideLock, std::try_to_lock);
  FilePlace at = fileLocate(d, root, name);
  if (!at.blocked.empty() && !aside.owns_lock()) {
    Platform_SetLastError(kPlatformErrorSharingViolation);
    return 0;
  }
  if (at.blocked.empty() && aside.owns_lock()) aside.unlock();
  if (!at.blocked.empty() && !fileAsideMake(d, root, fileAsideName(d, at.blocked))) return 0;
  const std::string &place = at.place;
  bool extension = d->settings.partialExtension[0] != '\0';
  for (int attempt = 0;; attempt++) {
    FileIdentity identity = {};
    bool partialIsDirectory = false;
    std::string build = fileBuildName(d, root, name, place, &identity, &partialIsDirectory);
    if (partialIsDirectory) {
      // An aside tree a killed run left where this file's partial goes.
      fileForgetDirectories(d);
      if (!fileRemoveTree(d, root, filePartialName(d, place))) return 0;
      build = fileBuildName(d, root, name, place, &identity);
    }
    bool found = !build.empty();  // identity is the file at build
    bool hasFinal = build.empty() && fileThere(root, place, &identity);
    bool fresh = false;
    uint32_t base = fileMadeMode(false);
    bool known = false;  // an earlier open of this run chose base
    if (!build.empty()) {
      if (!(identity.mode & S_IWUSR)) RootDirectory_MakeWritable(root, build.c_str());
      CriticalSection_Enter(d->completedLock);
      known = d->baseMode.count(name) != 0;
      CriticalSection_Leave(d->completedLock);
      FileIdentity installed;  // a file a killed run left: the installed one's bits
      if (!known && fileThere(root, place, &installed) && S_ISREG(installed.mode))
        base = installed.mode & 07777;
    } else if (hasFinal && S_ISREG(identity.mode)) {
      build = extension ? filePartialName(d, place) : fileTemporaryName(place);
      base = identity.mode & 07777;
      // The installed bytes that the run's pieces will replace are not
      // copied; a file they replace whole is built from nothing.
      std::vector<int64_t> planned = filePlannedRanges(plan);
      fresh = planned.size() == 2 && planned[0] == 0 && planned[1] >= o->size;
      if (!fresh && !RootDirectory_Copy(root, place.c_str(), build.c_str(), planned.data(),
                                        int32_t(planned.size() / 2)))
        return 0;
    } else {
      // Nothing, a link or a directory at the final name: what is there
      // goes at completion, when the built file is renamed in.
      build = extension ? filePartialName(d, place) : hasFinal ? fileTemporaryName(place) : place;
      fresh = true;
    }
    // A new file is made by this open, never one found at the name; either
    // is private (0600) until it is renamed in.
    uint32_t flags = kWriteFlags | d->settings.extraFileFlags | kAsyncFilePrivate |
                     (fresh ? kAsyncFileCreateNew : 0);
    // The file this run made is opened again as itself, whatever its mode
    // bits show (fileBuildName found it at build).
    CriticalSection_Enter(d->completedLock);
    auto madeAt = d->made.find(name);
    FileIdentity made = madeAt != d->made.end() ? madeAt->second : FileIdentity{};
    CriticalSection_Leave(d->completedLock);
    bool reopen = found && made.inode != 0 && fileSameFile(made, identity);
    FileIdentity opened = {};
    AsyncFile_Create(&o->file);
    if (RootDirectory_OpenFile(root, build.c_str(), flags, o->file, &opened,
                               reopen ? &made : nullptr)) {
      fileSetCurrent(d, o, build);
      CriticalSection_Enter(d->completedLock);
      if (build != name) d->building[name] = build;
      if (!known) d->baseMode[name] = base;
      d->made[name] = opened;
      CriticalSection_Leave(d->completedLock);
      // A new file without a partial extension is put in as it is made.
      if (fresh && build == place && !fileRecordPutIn(d, name, opened, o->size, -1)) {
        int error = Platform_GetLastError();
        AsyncFile_Close(o->file);
        AsyncFile_Release(&o->file);
        Platform_SetLastError(error);
        return 0;
      }
      // A new file gets its blocks at once: pieces arrive in any order, and
      // a file system allocating as they come is several times slower. A
      // refusal only costs speed.
      if (fresh && o->size >= kReserveMinBytes) AsyncFile_Reserve(o->file, uint64_t(o->size));
      // Unbuffered transfers may round a write past the end; the size is
      // set then.
      o->exactSize = fresh && !(d->settings.extraFileFlags & kAsyncFileUnbuffered);
      o->fresh = fresh ? 1 : 0;
      return 1;
    }
    int error = Platform_GetLastError();
    int errnoValue = Platform_GetLastErrno();
    AsyncFile_Release(&o->file);
    // Something made at the name since it was looked at, or a file that is
    // not ours (RootDirectory_OpenFile): that name goes, never followed, and
    // the file is made afresh, once.
    bool planted = (flags & kAsyncFileCreateNew) ? error == kPlatformErrorFileExists ||
                                                       error == kPlatformErrorAlreadyExists
                                                 : errnoValue == EMLINK || errnoValue == EPERM;
    if (errnoValue == ESTALE) fileMarkLost(d, name, build);
    if (attempt == 0 && planted && build != place) {
      fileLog(d, "Removing planted file (%s) (%d)\n", build.c_str(), error);
      if (fileRemoveTree(d, root, build)) continue;
      error = Platform_GetLastError();
    }
    Platform_SetLastError(error);
    return 0;
  }
}

// Opens the record's file for reading: the file the new version is being
// built in when there is one, so that what is read, judged present and
// written is one file; else (and always for the installed version's bytes)
// the final file.
int fileOpenForReading(StorageFile *d, RootDirectory *root, OpenFile *o, bool installed) {
  FileIdentity identity;
  std::string place = installed ? o->name : fileLocate(d, root, o->name).place;
  std::string build = installed ? std::string() : fileBuildName(d, root, o->name, place, &identity);
  std::string current = build.empty() ? place : build;
  fileSetCurrent(d, o, current);
  AsyncFile_Create(&o->file);
  if (!RootDirectory_OpenFile(root, current.c_str(),
                              kReadFlags | kAsyncFileQuietMissing | d->settings.extraFileFlags,
                              o->file)) {
    int error = Platform_GetLastError();
    // A directory or a link where the file goes holds none of its bytes:
    // the file is missing (it is built beside and takes their place).
    if (fileThere(root, current, &identity) &&
        (S_ISDIR(identity.mode) || S_ISLNK(identity.mode)))
      error = kErrorNotFound;
    AsyncFile_Release(&o->file);
    Platform_SetLastError(error);
    return 0;
  }
  return 1;
}

void fileClose(StorageFile *d, OpenFile **handle, int complete);

// A handle on the record of name, its file open. 1, or 0 with *error.
// plan: for a writer, where to learn which of the file's bytes the owner's
// pieces will write; NULL: none of them is known to be.
int fileOpen(StorageFile *d, const std::string &name, int64_t size, uint32_t mode,
             OpenFile **handle, int32_t *error, const FilePlan *plan = nullptr) {
  *handle = nullptr;
  *error = 0;
  RootDirectory *root = fileRoot(d);
  if (root == nullptr) {
    *error = Platform_GetLastError();
    return 0;
  }
  bool writing = (mode & kStorageFileModeWrite) != 0;
  if (mode & kStorageFileModeInstalled) {
    // The installed version's bytes: the final file, whatever is being
    // built for it, on a record of its own that no writer waits for.
    auto *o = new OpenFile();
    o->name = name;
    o->installed = 1;
    o->accessCount = 1;
    d->installedReaders++;
    CriticalSection_Create(&o->lock);
    if (!fileOpenForReading(d, root, o, true)) {
      *error = Platform_GetLastError();
      if (*error == 0) *error = kPlatformErrorGeneral;
      fileNoteFailure(d, name, *error);
      fileCloseRecord(o);
      d->installedReaders--;
      return 0;
    }
    *handle = o;
    return 1;
  }
  // A writer of a name built aside takes the aside lock first: it comes
  // before the table lock and a record's, as for the completion that swaps
  // the tree in.
  std::unique_lock<std::recursive_mutex> aside(d->asideLock, std::defer_lock);
  if (writing && !fileLocate(d, root, name).blocked.empty()) aside.lock();
  CriticalSection_Enter(d->tableLock);
  OpenFile *o = nullptr;
  for (;;) {
    auto found = d->openFiles.find(name);
    o = found != d->openFiles.end() ? found->second : nullptr;
    if (o == nullptr || !writing || o->write) break;
    // A writer waits until the readers of the file have closed it.
    CriticalSection_Leave(d->tableLock);
    Thread_Yield();
    CriticalSection_Enter(d->tableLock);
  }
  if (o == nullptr) o = fileAddRecord(d, name, size);
  if (writing) o->write = 1;
  o->accessCount++;
  CriticalSection_Enter(o->lock);
  CriticalSection_Leave(d->tableLock);
  int ok = 1;
  if (o->file == nullptr) {
    fileLog(d, "Open (%s) (%d)\n", name.c_str(),
            int(writing ? kWriteFlags : kReadFlags) | int(d->settings.extraFileFlags));
    ok = writing ? fileOpenForWriting(d, root, o, plan)
                 : fileOpenForReading(d, root, o, false);
    if (!ok) *error = Platform_GetLastError();
    if (ok && writing) {
      CriticalSection_Enter(d->completedLock);
      d->completed.erase(name);
      CriticalSection_Leave(d->completedLock);
    }
  }
  CriticalSection_Leave(o->lock);
  if (!ok) {
    if (*error == 0) *error = kPlatformErrorGeneral;
    fileNoteFailure(d, name, *error);
    fileClose(d, &o, 0);
    return 0;
  }
  *handle = o;
  return 1;
}

uint32_t fileFinalMode(StorageFile *d, const FileEntry *entry, const std::string &name,
                       bool wantAttr);

// A built file whose last bytes are written gets its final time and mode
// on the writer's descriptor as it is closed, so that its completion has
// only its rename left. A write after this (a piece written again) makes
// it private again (RootDirectory_OpenFile) and changes its time: the
// completion then sets both again. Failures are left to the completion.
void fileFinishOnClose(StorageFile *d, OpenFile *o) {
  CriticalSection_Enter(o->lock);
  const FileEntry *entry = o->entry;
  CriticalSection_Leave(o->lock);
  if (entry == nullptr || !o->write || !o->complete) return;
  bool wantTime = (entry->flags & kFileEntryMtime) && !d->settings.skipTimestamp;
  bool wantAttr =
      (entry->flags & (kFileEntryAttr | kFileEntryMode)) && !d->settings.skipAttributes;
  if (wantTime) AsyncFile_SetModifiedTime(o->file, entry->mtime);
  AsyncFile_SetMode(o->file, fileFinalMode(d, entry, o->name, wantAttr));
  CriticalSection_Enter(d->completedLock);
  auto made = d->made.find(o->name);
  FileIdentity identity = made != d->made.end() ? made->second : FileIdentity{};
  CriticalSection_Leave(d->completedLock);
  if (identity.inode != 0)
    fileRecordNote(d, o->name, identity, entry->size,
                   wantTime ? int64_t(std::floor(entry->mtime)) : -1);
}

void fileClose(StorageFile *d, OpenFile **handle, int complete) {
  OpenFile *o = *handle;
  *handle = nullptr;
  if (o == nullptr) return;
  if (o->installed) {
    fileCloseRecord(o);
    d->installedReaders--;
    return;
  }
  CriticalSection_Enter(d->tableLock);
  if (complete) o->complete = 1;
  bool last = --o->accessCount == 0 && (!o->write || o->complete || o->file == nullptr);
  if (last) {
    fileLog(d, "Close (%s)\n", o->name.c_str());
    if (o->file != nullptr) fileFinishOnClose(d, o);
    // Closed before the name leaves the table: a new record's open must not
    // meet this descriptor's share modes.
    if (o->file != nullptr) AsyncFile_Close(o->file);
    d->openFiles.erase(o->name);
  }
  CriticalSection_Leave(d->tableLock);
  if (last) fileCloseRecord(o);
}

// ---- Transfers ---------------------------------------------------------------------------

struct FileTransfer {
  StorageFile *driver;
  OpenFile *handle;
  StorageStep *step;
  StorageRequest *request;
  StorageMember *member;
  uint8_t *buffer;
  int32_t reading;
};

void fileTransferDone(void *context, int64_t, void *, uint32_t bytesDone, uint32_t error) {
  auto *t = static_cast<FileTransfer *>(context);
  StorageFile *d = t->driver;
  StorageMember *m = t->member;
  StorageRequest_ReleaseBuffer(t->request, &t->buffer);
  int32_t result = 0, resultEx = 0;
  int complete = 0;
  if (error != 0) {
    result = kStorageResultFile;
    resultEx = int32_t(error);
  } else if (int64_t(bytesDone) < m->length) {
    result = kStorageResultShort;
  } else if (t->reading) {
    bool pads = (Storage_GetFlags(t->step->storage) & kStorageFlagPad) != 0;
    StorageRequest_AddLength(t->request, m->length + (pads ? m->pad : 0));
  } else {
    if (t->handle->fresh) fileNoteWritten(t->handle, m->fileOffset, m->fileOffset + m->length);
    if (m->fileOffset + m->length >= m->file->size) {
      // The file's last bytes: it gets its size now, but its final name, time
      // and attributes only from Storage_CompleteFile, once every piece is in.
      if (!t->handle->exactSize && !AsyncFile_SetSize(t->handle->file, uint64_t(m->file->size))) {
        resultEx = AsyncFile_GetLastError(t->handle->file);
        fileLog(d, "Failed to truncate (%s) (%d)\n", t->handle->name.c_str(), resultEx);
        result = kStorageResultFile;
      } else {
        complete = 1;
      }
    }
  }
  if (result == 0) Storage_SetLastActivity(t->step->storage, Platform_GetTickSeconds());
  fileClose(d, &t->handle, complete);
  StorageStep *step = t->step;
  delete t;
  Storage_CompleteStep(step, result, resultEx);
}

int fileTransfer(StorageFile *d, StorageStep *step, int reading) {
  auto *r = static_cast<StorageRequest *>(step->argument);
  auto *m = static_cast<StorageMember *>(step->value);
  if (m->length <= 0) {
    // A member of pad alone (a piece inside a pad range, or a range where
    // the member starts) reads no bytes, but its pad still counts.
    if (reading && (Storage_GetFlags(step->storage) & kStorageFlagPad))
      StorageRequest_AddLength(r, m->pad);
    return Storage_CompleteStep(step, 0, 0);
  }
  std::string name = fileNameOf(m->file);
  uint32_t mode = reading ? kStorageFileModeRead : kStorageFileModeWrite;
  if (reading && StorageRequest_GetInstalled(r)) mode |= kStorageFileModeInstalled;
  FilePlan plan = {step->storage, StorageRequest_GetMetaFile(r), m->file};
  OpenFile *handle = nullptr;
  int32_t error = 0;
  if (!fileOpen(d, name, m->file->size, mode, &handle, &error, reading ? nullptr : &plan))
    return Storage_CompleteStep(step, kStorageResultFile, error);
  if (!reading) {
    CriticalSection_Enter(handle->lock);
    handle->entry = m->file;
    CriticalSection_Leave(handle->lock);
  }
  if (reading && handle->fresh &&
      !fileWasWritten(handle, m->fileOffset, m->fileOffset + m->length)) {
    // Reading it back would only find the reserved blocks' zeros.
    fileClose(d, &handle, 0);
    return Storage_CompleteStep(step, kStorageResultShort, 0);
  }
  auto *t = new FileTransfer{d, handle, step, r, m, nullptr, reading};
  StorageRequest_GetBuffer(r, m->paddedOffset, &t->buffer);
  // Exactly the member's bytes: AsyncFile aligns unbuffered transfers itself.
  if (reading)
    AsyncFile_Read(handle->file, m->fileOffset, t->buffer, uint32_t(m->length), fileTransferDone,
                   t);
  else
    AsyncFile_Write(handle->file, m->fileOffset, t->buffer, uint32_t(m->length),
                    fileTransferDone, t);
  return 1;
}

int fileRead(void *context, StorageStep *step) { return fileTransfer(fileOf(context), step, 1); }

int fileWrite(void *context, StorageStep *step) {
  return fileTransfer(fileOf(context), step, 0);
}

int fileExists(void *context, StorageStep *step) {
  StorageFile *d = fileOf(context);
  auto *m = static_cast<StorageMember *>(step->value);
  RootDirectory *root = fileRoot(d);
  FileIdentity identity;
  bool present = root != nullptr &&
                 fileThere(root, fileLocate(d, root, fileNameOf(m->file)).place, &identity) &&
                 !S_ISDIR(identity.mode) && !S_ISLNK(identity.mode);
  return Storage_CompleteStep(step, present ? 0 : kStorageResultMissing, 0);
}

// ---- Completion ---------------------------------------------------------------------------

// The mode bits wanted for entry over the file's mode: its "mode" replaces
// every bit; then its attributes: read-only takes every write bit away,
// anything else gives the owner's back.
uint32_t fileWantedMode(uint32_t mode, const FileEntry *entry) {
  mode = (entry->flags & kFileEntryMode) ? entry->mode : mode & 07777;
  if (!(entry->flags & kFileEntryAttr)) return mode;
  return (entry->attr & kStorageFileAttrReadOnly) ? mode & ~0222u : mode | S_IWUSR;
}

bool fileSameTime(const FileIdentity &identity, double wanted) {
  auto have = int64_t(identity.modifiedSeconds) * 1000000 + identity.modifiedNanoseconds / 1000;
  return have == int64_t(std::floor(wanted * 1e6 + 0.5));
}

// A real directory at place is the installed version's (its entries are
// not the new version's: a file or a link takes the directory's name): it
// goes, as the clean-up would remove it, right before what replaces it is
// put there. 1/0 with the last error.
int fileReplaceDirectory(StorageFile *d, RootDirectory *root, const std::string &place) {
  if (!fileIsDirectory(root, place)) return 1;
  fileLog(d, "Replace directory (%s)\n", place.c_str());
  fileForgetDirectories(d);
  return fileRemoveTree(d, root, place);
}

// The record's line of name: the entry's device and inode (built's), size,
// and modified time in seconds (-1: not known). "" when no line can hold it.
std::string fileRecordLine(const std::string &name, const FileIdentity &built, int64_t size,
                           int64_t seconds) {
  if (name.find('\n') != std::string::npos) return std::string();
  char head[96];
  Str_Printf(head, int(sizeof head), "%llu %llu %lld %lld ",
             static_cast<unsigned long long>(built.device),
             static_cast<unsigned long long>(built.inode), static_cast<long long>(size),
             static_cast<long long>(seconds));
  return head + name + "\n";
}

// Notes name's line, to be written with the next put-in (fileRecordPutIn).
void fileRecordNote(StorageFile *d, const std::string &name, const FileIdentity &built,
                    int64_t size, int64_t seconds) {
  if (d->settings.recordPath[0] == '\0') return;
  std::string line = fileRecordLine(name, built, size, seconds);
  std::lock_guard<std::mutex> guard(d->recordLock);
  if (!line.empty()) d->recordWaiting[name] = line;
}

// Makes sure name's line is in the record before it is put in: written
// already (as noted, fileRecordNote), or written now with every line
// waiting. The first write of a run is synced before anything is put in.
// true when there is no record, or when the line is there; false with the
// failure logged and the last error set.
bool fileRecordPutIn(StorageFile *d, const std::string &name, const FileIdentity &built,
                     int64_t size, int64_t seconds) {
  if (d->settings.recordPath[0] == '\0') return true;
  std::string line = fileRecordLine(name, built, size, seconds);
  if (line.empty()) return true;  // no line can hold it
  std::lock_guard<std::mutex> guard(d->recordLock);
  auto written = d->recordWritten.find(name);
  if (written != d->recordWritten.end() && written->second == line) {
    d->recordWritten.erase(written);
    return true;
  }
  d->recordWaiting[name] = line;
  std::string lines;
  for (auto &waiting : d->recordWaiting) lines += waiting.second;
  const char *path = d->settings.recordPath;
  bool first = d->recordFd < 0;
  if (first && !PrivateFile_OpenAppend(path, 1, &d->recordFd) &&
      Platform_IsErrorMissing(Platform_GetLastError())) {
    int error = 0;  // its directory is made as the metafile's save makes it
    Path_CreateDirectory(path, 1, &error);
    PrivateFile_OpenAppend(path, 1, &d->recordFd);
  }
  bool ok = d->recordFd >= 0 &&
            PrivateFile_Write(d->recordFd, path, lines.data(), int32_t(lines.size())) &&
            (!first || PrivateFile_Sync(d->recordFd, path));
  if (!ok) {
    int error = Platform_GetLastError();
    fileLog(d, "Unable to record (%s) in (%s) (%d)\n", name.c_str(), path, error);
    Platform_SetLastError(error ? error : kPlatformErrorGeneral);
    return false;
  }
  for (auto &waiting : d->recordWaiting)
    if (waiting.first != name) d->recordWritten[waiting.first] = waiting.second;
  d->recordWaiting.clear();
  d->recordWritten.erase(name);
  return true;
}

// Whether place holds built, the file (or tree) renamed there: another
// process that renames entries in its folder may have put something else
// at the name it was renamed from. What is there then stays, and the
// refusal is said. 1/0 with the last error.
int fileCheckRenamed(StorageFile *d, RootDirectory *root, const std::string &place,
                     const FileIdentity &built) {
  FileIdentity there;
  if (fileThere(root, place, &there) && fileSameFile(built, there)) return 1;
  fileRefuse(d,
             "%s/%s is not the entry this run built: another process renamed entries in its "
             "folder meanwhile; make the folder writable by its owner only and run again",
             d->settings.path, place.c_str());
  Platform_SetLastError(kErrorAccess);
  return 0;
}

// Renames the built file from (identity built) to place, the place of
// name, over a directory there (fileReplaceDirectory: the rename, refused
// by one, is tried again once it is gone), and makes sure place is that
// file then (fileCheckRenamed). 1/0 with the last error.
int fileRenameIn(StorageFile *d, RootDirectory *root, const std::string &from,
                 const std::string &place, const FileIdentity &built) {
  if (!RootDirectory_Rename(root, from.c_str(), place.c_str())) {
    int error = Platform_GetLastError();
    if (!fileIsDirectory(root, place)) {
      Platform_SetLastError(error);
      return 0;
    }
    if (!fileReplaceDirectory(d, root, place) ||
        !RootDirectory_Rename(root, from.c_str(), place.c_str()))
      return 0;
  }
  return fileCheckRenamed(d, root, place, built);
}

// Swaps the tree built aside for blocked in: the installed entry at
// blocked (a file or a link) goes, as the clean-up would remove it, and the
// aside tree, given a directory's usual mode on its descriptor, is renamed
// to blocked right after. A run stopped between the two leaves the aside
// tree, which fileLocate finds again. Files open in the tree keep their
// descriptors; the names recorded for them follow it. A tree that is gone
// or not ours (fileAsideOpen) fails: what was built in it is not there.
// Under the aside lock. 1/0 with the last error.
int fileSwapAside(StorageFile *d, RootDirectory *root, const std::string &blocked) {
  std::string aside = fileAsideName(d, blocked);
  PlatformDirectory *tree = nullptr;
  FileIdentity treeId = {};
  bool ours = fileAsideOpen(d, root, aside, &tree, nullptr, &treeId) &&
              Platform_SetDirectoryMode(tree, fileMadeMode(true));
  int treeError = ours ? 0 : Platform_GetLastError();
  Platform_CloseDirectory(&tree);
  if (!ours) {
    fileLog(d, "Aside tree missing or not ours (%s) (%d)\n", aside.c_str(), treeError);
    std::lock_guard<std::mutex> guard(d->asideTrustLock);
    d->asideTrusted.erase(aside);
    Platform_SetLastError(treeError);
    return 0;
  }
  FileIdentity identity;
  if (fileThere(root, blocked, &identity)) {
    if (S_ISDIR(identity.mode)) {  // made by someone else meanwhile: not ours to merge
      Platform_SetLastError(kErrorAccess);
      return 0;
    }
    fileLog(d, "Erase (%s)\n", blocked.c_str());
    if (!RootDirectory_Remove(root, blocked.c_str(), 0) &&
        !Platform_IsErrorMissing(Platform_GetLastError()))
      return 0;
  }
  // The rename and the names recorded change under both locks, so that no
  // look-up of a name being built meets the tree renamed and its old name.
  std::string from = aside + "/", to = blocked + "/";
  auto follow = [&](std::string &path) {
    if (path.compare(0, from.size(), from) == 0) path = to + path.substr(from.size());
  };
  CriticalSection_Enter(d->tableLock);
  CriticalSection_Enter(d->completedLock);
  int renamed = RootDirectory_Rename(root, aside.c_str(), blocked.c_str());
  int error = renamed ? 0 : Platform_GetLastError();
  if (renamed) {
    for (auto &entry : d->openFiles) follow(entry.second->current);
    for (auto &entry : d->building) follow(entry.second);
  }
  CriticalSection_Leave(d->completedLock);
  CriticalSection_Leave(d->tableLock);
  {
    std::lock_guard<std::mutex> guard(d->asideTrustLock);
    d->asideTrusted.erase(aside);
    d->asideMade.erase(aside);
    d->directories.clear();
  }
  if (!renamed) {
    Platform_SetLastError(error);
    return 0;
  }
  if (!fileCheckRenamed(d, root, blocked, treeId)) return 0;
  fileLog(d, "Swap in (%s)\n", blocked.c_str());
  return 1;
}

// The final permission bits of the file built for name: those it started
// from (the installed file's, else a new file's), with the entry's
// attributes over them when they are wanted.
uint32_t fileFinalMode(StorageFile *d, const FileEntry *entry, const std::string &name,
                       bool wantAttr) {
  CriticalSection_Enter(d->completedLock);
  auto known = d->baseMode.find(name);
  uint32_t base = known != d->baseMode.end() ? known->second : fileMadeMode(false);
  CriticalSection_Leave(d->completedLock);
  return wantAttr ? fileWantedMode(base, entry) : base;
}

// Gives the closed, whole file built for name (identity buildId) the time
// and final mode and renames it over place, name's place. true, or false
// with the failure logged and the result pair set.
bool fileFinishBuilt(StorageFile *d, RootDirectory *root, const FileEntry *entry,
                     const std::string &name, const std::string &place, const std::string &build,
                     const FileIdentity &buildId, bool wantTime, bool wantAttr, int32_t *code,
                     int32_t *codeEx) {
  const char *failure = nullptr;
  uint32_t mode = fileFinalMode(d, entry, name, wantAttr);
  bool setTime = wantTime && !fileSameTime(buildId, entry->mtime);
  bool setMode = (buildId.mode & 07777) != mode;
  if (setTime || setMode) {
    // Set on the file itself, opened as the one found at build: never on
    // whatever the name leads to by then.
    AsyncFile *file = nullptr;
    AsyncFile_Create(&file);
    FileIdentity opened = {};
    int error = 0;
    if (!RootDirectory_OpenFile(root, build.c_str(), kReadFlags, file, &opened, &buildId)) {
      error = Platform_GetLastError();
      if (Platform_GetLastErrno() == ESTALE) fileMarkLost(d, name, build);
      failure = "Failed to open file (%s) (%d)\n";
    } else if (setTime && !AsyncFile_SetModifiedTime(file, entry->mtime)) {
      failure = "Failed to set modified time (%s) (%d)\n";
    } else if (setMode && !AsyncFile_SetMode(file, mode)) {
      failure = "Failed to set attributes (%s) (%d)\n";
    }
    if (failure != nullptr && error == 0) error = AsyncFile_GetLastError(file);
    AsyncFile_Close(file);
    AsyncFile_Release(&file);
    if (error != 0) Platform_SetLastError(error);
  }
  int64_t seconds = wantTime ? int64_t(std::floor(entry->mtime)) : -1;
  if (failure == nullptr && !fileRecordPutIn(d, name, buildId, entry->size, seconds))
    failure = "Failed to record file (%s) (%d)\n";
  if (failure == nullptr && !fileRenameIn(d, root, build, place, buildId))
    failure = "Failed to rename file (%s) (%d)\n";
  if (failure != nullptr) {
    int32_t error = Platform_GetLastError();
    fileLog(d, failure, name.c_str(), error);
    fileNoteFailure(d, name, error);
    *code = kStorageResultFile;
    *codeEx = error;
    return false;
  }
  CriticalSection_Enter(d->completedLock);
  d->building.erase(name);
  d->baseMode.erase(name);
  d->made.erase(name);
  CriticalSection_Leave(d->completedLock);
  return true;
}

// Completes the file of entry; the result pair in *code and *codeEx.
void fileComplete(StorageFile *d, FileEntry *entry, int32_t *code, int32_t *codeEx) {
  *code = *codeEx = 0;
  std::string name = fileNameOf(entry);
  CriticalSection_Enter(d->completedLock);
  bool done = d->completed.count(name) != 0;
  CriticalSection_Leave(d->completedLock);
  if (done) return;
  RootDirectory *root = fileRoot(d);
  auto fail = [&](const char *format, int32_t error) {
    if (format != nullptr) fileLog(d, format, name.c_str(), error);
    fileNoteFailure(d, name, error);
    *code = kStorageResultFile;
    *codeEx = error;
  };
  if (root == nullptr) return fail(nullptr, Platform_GetLastError());
  // A name built aside: its completions, and the swap that ends them, one
  // at a time.
  FilePlace at = fileLocate(d, root, name);
  std::unique_lock<std::recursive_mutex> aside(d->asideLock, std::defer_lock);
  if (!at.blocked.empty()) {
    aside.lock();
    at = fileLocate(d, root, name);
    if (at.blocked.empty()) aside.unlock();
  }
  const std::string &place = at.place;
  auto markDone = [&] {
    if (!at.blocked.empty() && !fileSwapAside(d, root, at.blocked))
      return fail("Failed to rename file (%s) (%d)\n", Platform_GetLastError());
    CriticalSection_Enter(d->completedLock);
    d->completed.insert(name);
    CriticalSection_Leave(d->completedLock);
    fileLog(d, "File Complete (%s)\n", name.c_str());
  };
  if ((entry->flags & kFileEntryLink) || (entry->attr & kStorageFileAttrLink)) {
    const char *target = entry->link != nullptr ? entry->link : "";
    if ((!at.blocked.empty() && !fileAsideMake(d, root, fileAsideName(d, at.blocked))) ||
        !fileReplaceDirectory(d, root, place) ||
        !RootDirectory_CreateLink(root, place.c_str(), target))
      return fail("Failed to create link (%s) (%d)\n", Platform_GetLastError());
    return markDone();
  }
  int64_t size = entry->size;
  bool wantTime = (entry->flags & kFileEntryMtime) && !d->settings.skipTimestamp;
  bool wantAttr =
      (entry->flags & (kFileEntryAttr | kFileEntryMode)) && !d->settings.skipAttributes;
  FileIdentity buildId = {}, finalId = {};
  std::string build = fileBuildName(d, root, name, place, &buildId);
  if (fileIsLost(d, name)) {
    // Its pieces went with the file built: whatever is at its names now is
    // not what this run wrote.
    fileRefuse(d,
               "%s/%s: the file this run built for it is gone or replaced; another process "
               "changed its folder meanwhile; make the folder writable by its owner only and "
               "run again",
               d->settings.path, name.c_str());
    return fail("File lost (%s) (%d)\n", kErrorAccess);
  }
  // A directory at the place is the installed version's: it goes when the
  // built file is renamed in, and is no final file.
  bool finalThere = build.empty() && fileThere(root, place, &finalId);
  int32_t finalError = finalThere || !build.empty() ? 0 : Platform_GetLastError();
  bool hasFinal = finalThere && !S_ISDIR(finalId.mode);
  CriticalSection_Enter(d->tableLock);
  auto open = d->openFiles.find(name);
  bool writing = open != d->openFiles.end() && open->second->write;
  bool whole = !writing && !build.empty() && S_ISREG(buildId.mode) && buildId.size == size;
  if (whole && open != d->openFiles.end()) {
    // A reader has the name open: the table lock keeps a writer out.
    bool done = fileFinishBuilt(d, root, entry, name, place, build, buildId, wantTime, wantAttr,
                                code, codeEx);
    CriticalSection_Leave(d->tableLock);
    if (done) markDone();
    return;
  }
  if (whole) {
    // Every byte is in the built file and nobody here has it open: it takes
    // its time, attributes and final name by name, without being opened
    // again. A record of the name, its lock held, keeps the name's readers
    // and writers waiting meanwhile, and the table free for other names.
    OpenFile *o = fileAddRecord(d, name, size);
    o->accessCount = 1;
    CriticalSection_Enter(o->lock);
    CriticalSection_Leave(d->tableLock);
    bool done = fileFinishBuilt(d, root, entry, name, place, build, buildId, wantTime, wantAttr,
                                code, codeEx);
    CriticalSection_Leave(o->lock);
    fileClose(d, &o, 0);
    if (done) markDone();
    return;
  }
  CriticalSection_Leave(d->tableLock);
  if (!hasFinal && build.empty() && !writing) {
    if (finalError == kErrorAccess) return fail(nullptr, kErrorAccess);
    if (size > 0) {
      // Masked pieces rely on this success; it is not a normal outcome.
      fileLog(d, "Skipping File Complete (%s)\n", name.c_str());
      Log_Print(LOG_ERROR, KSRC, 0, "Skipping File Complete (%s)\n", name.c_str());
      return;
    }
  }
  // The wanted time and the permission bits mode (none: -1), given to file
  // on its descriptor.
  auto setTimeAndAttributes = [&](AsyncFile *file, int64_t mode) {
    if (wantTime && !AsyncFile_SetModifiedTime(file, entry->mtime)) {
      fail("Failed to set modified time (%s) (%d)\n", AsyncFile_GetLastError(file));
      return false;
    }
    if (mode >= 0 && !AsyncFile_SetMode(file, uint32_t(mode))) {
      fail("Failed to set attributes (%s) (%d)\n", AsyncFile_GetLastError(file));
      return false;
    }
    return true;
  };
  // A final file with another hard link is never changed where it is: its
  // time and mode would be set on whatever file the link's maker chose. It
  // is built again and renamed in like any other.
  if (hasFinal && !writing && S_ISREG(finalId.mode) && finalId.size == size && finalId.links <= 1) {
    bool same = (!wantTime || fileSameTime(finalId, entry->mtime)) &&
                (!wantAttr || fileWantedMode(finalId.mode, entry) == (finalId.mode & 07777));
    if (same) return markDone();
    // Every byte is in place (each piece was found in the final file): only
    // its time or attributes change, on the file itself.
    OpenFile *handle = nullptr;
    int32_t error = 0;
    if (!fileOpen(d, name, size, kStorageFileModeRead, &handle, &error))
      return fail(nullptr, error);
    bool set = setTimeAndAttributes(
        handle->file, wantAttr ? int64_t(fileWantedMode(finalId.mode, entry)) : int64_t(-1));
    fileClose(d, &handle, 0);
    if (set) markDone();
    return;
  }
  // The built file gets its size, time and attributes, and then, whole, the
  // final name: until that rename the final file keeps the installed bytes.
  OpenFile *handle = nullptr;
  int32_t error = 0;
  if (!fileOpen(d, name, size, kStorageFileModeWrite, &handle, &error))
    return fail(nullptr, error);
  AsyncFile *file = handle->file;
  if (!AsyncFile_SetSize(file, uint64_t(size))) {
    fail("Failed to truncate (%s) (%d)\n", AsyncFile_GetLastError(file));
    return fileClose(d, &handle, 0);
  }
  std::string current = fileGetCurrent(d, handle);
  // The built file was private: its final mode comes right before the rename.
  if (!setTimeAndAttributes(file, fileFinalMode(d, entry, name, wantAttr)))
    return fileClose(d, &handle, 0);
  if (current != place) {
    CriticalSection_Enter(d->completedLock);
    auto madeAt = d->made.find(name);
    FileIdentity made = madeAt != d->made.end() ? madeAt->second : FileIdentity{};
    CriticalSection_Leave(d->completedLock);
    if (!fileRecordPutIn(d, name, made, size, wantTime ? int64_t(std::floor(entry->mtime)) : -1)) {
      fail("Failed to record file (%s) (%d)\n", Platform_GetLastError());
      return fileClose(d, &handle, 0);
    }
    if (!fileRenameIn(d, root, current, place, made)) {
      fail("Failed to rename file (%s) (%d)\n", Platform_GetLastError());
      return fileClose(d, &handle, 0);
    }
    fileSetCurrent(d, handle, place);
  }
  CriticalSection_Enter(d->completedLock);
  d->building.erase(name);
  d->baseMode.erase(name);
  d->made.erase(name);
  CriticalSection_Leave(d->completedLock);
  CriticalSection_Enter(handle->lock);
  handle->entry = nullptr;  // its time and mode are set
  CriticalSection_Leave(handle->lock);
  fileClose(d, &handle, 1);
  markDone();
}

int fileCompleteFile(void *context, StorageStep *step) {
  StorageFile *d = fileOf(context);
  int32_t code = 0, codeEx = 0;
  fileComplete(d, static_cast<FileEntry *>(step->value), &code, &codeEx);
  if (code == 0) Storage_SetLastActivity(step->storage, Platform_GetTickSeconds());
  return Storage_CompleteStep(step, code, codeEx);
}

// ---- Erasing ------------------------------------------------------------------------------

// No ignore list anyone writes comes near this.
constexpr size_t kFileIgnoreMaxBytes = size_t(16) << 20;

int32_t fileIgnoreNode(Json *, void *context, const char *path, int32_t type, const char *value,
                       int32_t length, int64_t, int32_t, int32_t, int32_t *) {
  // Strings of the top-level list: paths "0", "1", ...
  if (type == kJsonNodeString && path[0] != '\0' && strchr(path, '\\') == nullptr)
    static_cast<StorageFile *>(context)->ignored.emplace(value, size_t(length));
  return 1;
}

// Reads the ignore file once (table lock held), walked and judged as every
// file the run trusts is (TrustedPath_Open: another user's list or a FIFO
// is refused, never read). 0, or the refusal's or the parser's error.
int32_t fileReadIgnoreFile(StorageFile *d) {
  if (d->ignoreRead || d->settings.ignorePath[0] == '\0') return 0;
  TrustedPathRefusal refusal;
  int fd = TrustedPath_Open(d->settings.ignorePath, 0, &refusal);
  if (fd < 0 && refusal.entry[0] == '\0' && Platform_IsErrorMissing(Platform_GetLastError())) {
    d->ignoreRead = 1;
    return 0;
  }
  if (fd < 0) {
    int32_t error = Platform_GetLastError() != 0 ? Platform_GetLastError()
                                                 : kPlatformErrorAccessDenied;
    fileLog(d, "Ignore file refused (%s): %s: %s (%d)\n", d->settings.ignorePath,
            refusal.entry, refusal.rule, error);
    return error;
  }
  std::string text;
  char chunk[16384];
  size_t count = 0;
  int readOk;
  while ((readOk = Platform_ReadFile(fd, chunk, sizeof chunk, &count)) != 0 && count > 0 &&
         text.size() < kFileIgnoreMaxBytes)
    text.append(chunk, count);
  int32_t error = readOk ? 0 : Platform_GetLastError();
  Platform_CloseFile(fd);
  if (error == 0 && text.size() >= kFileIgnoreMaxBytes) error = kPlatformErrorBadFormat;
  Json *json = nullptr;
  Json_Create(&json);
  Json_SetNodeCallback(json, d, fileIgnoreNode);
  if (error == 0 && !Json_ParseMemory(json, text.data(), int32_t(text.size()))) {
    Json_GetErrorCode(json, &error);
    if (error == 0) error = kPlatformErrorGeneral;
  }
  if (error != 0) {
    fileLog(d, "Unable to parse ignore file (%s) (%d)\n", d->settings.ignorePath, error);
    d->ignored.clear();
  } else {
    d->ignoreRead = 1;
  }
  Json_Release(&json);
  return error;
}

// An aside tree a killed run left for name (a file or link of the erased
// version that a later one made a directory) and no run has swapped in:
// nothing will use it any more.
void fileEraseAside(StorageFile *d, RootDirectory *root, const std::string &name) {
  std::lock_guard<std::recursive_mutex> aside(d->asideLock);
  std::string tree = fileAsideName(d, name);
  if (!fileIsDirectory(root, tree)) return;
  fileLog(d, "Erase (%s)\n", tree.c_str());
  fileRemoveTree(d, root, tree);  // only when every entry in it is ours
  std::lock_guard<std::mutex> guard(d->asideTrustLock);
  d->asideTrusted.erase(tree);
  d->asideMade.erase(tree);
  d->directories.clear();
}

int fileEraseFile(void *context, StorageStep *step) {
  StorageFile *d = fileOf(context);
  auto *entry = static_cast<FileEntry *>(step->value);
  std::string name = fileNameOf(entry);
  CriticalSection_Enter(d->tableLock);
  int32_t parseError = fileReadIgnoreFile(d);
  bool ignored = d->ignored.count(name) != 0;
  CriticalSection_Leave(d->tableLock);
  if (parseError != 0) return Storage_CompleteStep(step, kStorageResultFile, parseError);
  if (ignored) return Storage_CompleteStep(step, 0, 0);
  fileLog(d, "Erase (%s)\n", name.c_str());
  RootDirectory *root = fileRoot(d);
  if (root == nullptr) return Storage_CompleteStep(step, 0, 0);  // nothing to erase
  FileIdentity identity;
  // A parent that is a link or a file now (a name that changed type) holds
  // nothing of the erased version; what a link there leads to is the new
  // version's, never erased through it.
  bool reachable = true;
  for (size_t slash = name.find('/'); reachable && slash != std::string::npos && slash > 0;
       slash = name.find('/', slash + 1)) {
    FileIdentity parent;
    if (fileThere(root, name.substr(0, slash), &parent)) {
      reachable = S_ISDIR(parent.mode);
    } else if (Platform_GetLastError() != kErrorAccess) {
      reachable = false;
    } else {
      break;  // a name leaving the root: refused below
    }
  }
  if (!reachable) {
    fileEraseAside(d, root, name);
    return Storage_CompleteStep(step, 0, 0);
  }
  if (!fileThere(root, name, &identity)) {
    int32_t error = Platform_GetLastError();
    if (error == kErrorAccess) {
      fileNoteFailure(d, name, error);
      return Storage_CompleteStep(step, kStorageResultFile, error);
    }
    fileEraseAside(d, root, name);
    return Storage_CompleteStep(step, 0, 0);
  }
  // A link goes itself, never what it leads to. A real directory at the
  // name is the new version's (a name that became a directory): it stays.
  if (S_ISDIR(identity.mode)) {
    fileEraseAside(d, root, name);
    Storage_SetLastActivity(step->storage, Platform_GetTickSeconds());
    return Storage_CompleteStep(step, 0, 0);
  }
  if (!RootDirectory_Remove(root, name.c_str(), 0)) {
    int32_t error = Platform_GetLastError();
    if (!Platform_IsErrorMissing(error)) {
      fileNoteFailure(d, name, error);
      return Storage_CompleteStep(step, kStorageResultFile, error);
    }
  }
  CriticalSection_Enter(d->completedLock);
  d->completed.erase(name);
  CriticalSection_Leave(d->completedLock);
  fileEraseAside(d, root, name);
  // The directories that the erase emptied, up to (not including) the root.
  CriticalSection_Enter(d->tableLock);
  std::string directory = name;
  for (size_t slash = directory.find_last_of('/'); slash != std::string::npos && slash > 0;
       slash = directory.find_last_of('/')) {
    directory.resize(slash);
    if (!fileIsDirectory(root, directory)) break;
    RootDirectory_MakeWritable(root, directory.c_str());
    if (!RootDirectory_Remove(root, directory.c_str(), 1)) break;
    fileForgetDirectories(d);
    fileLog(d, "Collapse directory (%s)\n", directory.c_str());
  }
  CriticalSection_Leave(d->tableLock);
  Storage_SetLastActivity(step->storage, Platform_GetTickSeconds());
  return Storage_CompleteStep(step, 0, 0);
}

}  // namespace

int StorageFile_SetRoot(void *context, RootDirectory *root) {
  StorageFile *d = fileOf(context);
  RootDirectory *copy = nullptr;
  if (root != nullptr && !RootDirectory_Duplicate(root, &copy)) return 0;
  CriticalSection_Enter(d->tableLock);
  RootDirectory *was = d->root;
  d->root = copy;
  d->rootOpen.store(copy, std::memory_order_release);
  CriticalSection_Leave(d->tableLock);
  RootDirectory_Close(&was);
  return 1;
}

int StorageFile_GetSettings(void *context, StorageFileSettings *settings) {
  StorageFile *d = fileOf(context);
  CHECK_POINTER(settings);
  *settings = d->settings;
  return 1;
}

int32_t StorageFile_GetOpenFileCount(void *context) {
  StorageFile *d = fileOf(context);
  CriticalSection_Enter(d->tableLock);
  auto count = int32_t(d->openFiles.size());
  CriticalSection_Leave(d->tableLock);
  return count;
}

int StorageFile_HasPartialFile(void *context, FileList *list) {
  StorageFile *d = fileOf(context);
  if (list == nullptr) return 0;
  CriticalSection_Enter(d->completedLock);
  bool building = !d->building.empty();
  CriticalSection_Leave(d->completedLock);
  if (building) return 1;
  if (d->settings.partialExtension[0] == '\0' || !Path_IsDirectory(d->settings.path)) return 0;
  RootDirectory *root = fileRoot(d);
  if (root == nullptr) return 0;
  FileEntry *entry = nullptr;
  std::unordered_set<std::string> directories;  // looked at for a tree built aside
  for (int more = FileList_GetFirst(list, &entry); more; more = FileList_GetNext(entry, &entry)) {
    FileIdentity identity;
    std::string name = fileNameOf(entry);
    if (fileThere(root, filePartialName(d, name), &identity)) return 1;
    for (size_t slash = name.find('/'); slash != std::string::npos && slash > 0;
         slash = name.find('/', slash + 1)) {
      std::string directory = name.substr(0, slash);
      if (!directories.insert(directory).second) continue;
      if (fileIsDirectory(root, fileAsideName(d, directory))) return 1;
    }
  }
  return 0;
}

int32_t StorageFile_RemovePartialFiles(void *context, FileList *list) {
  StorageFile *d = fileOf(context);
  if (list == nullptr || d->settings.partialExtension[0] == '\0' ||
      !Path_IsDirectory(d->settings.path))
    return 0;
  RootDirectory *root = fileRoot(d);
  if (root == nullptr) return 0;
  int32_t removed = 0;
  FileEntry *entry = nullptr;
  for (int more = FileList_GetFirst(list, &entry); more; more = FileList_GetNext(entry, &entry)) {
    std::string partial = filePartialName(d, fileNameOf(entry));
    FileIdentity identity;
    if (!fileThere(root, partial, &identity) || !S_ISREG(identity.mode)) continue;
    if (RootDirectory_Remove(root, partial.c_str(), 0)) {
      fileLog(d, "Partial file removed (%s)\n", partial.c_str());
      removed++;
    }
  }
  return removed;
}

int StorageFile_GetRefusal(void *context, char *out, int32_t size) {
  StorageFile *d = fileOf(context);
  CHECK_POINTER(out);
  std::lock_guard<std::mutex> guard(d->refusalLock);
  Str_Copy(out, d->refusal.c_str(), size);
  return d->refusal.empty() ? 0 : 1;
}

int StorageFile_SetRecordPath(void *context, const char *path) {
  StorageFile *d = fileOf(context);
  CHECK_POINTER(path);
  std::lock_guard<std::mutex> guard(d->recordLock);
  PrivateFile_Close(&d->recordFd);
  d->recordWaiting.clear();
  d->recordWritten.clear();
  Str_Copy(d->settings.recordPath, path, kStorageFilePathBytes);
  return 1;
}

int32_t StorageFile_RemoveRecorded(void *context, FileIndex *keep) {
  StorageFile *d = fileOf(context);
  // The root first: the table lock comes before the record lock.
  RootDirectory *root = keep != nullptr ? fileRoot(d) : nullptr;
  std::lock_guard<std::mutex> guard(d->recordLock);
  PrivateFile_Close(&d->recordFd);
  d->recordWaiting.clear();
  d->recordWritten.clear();
  const char *path = d->settings.recordPath;
  if (keep == nullptr) {  // the installation erased: the record goes alone
    if (path[0] != '\0') PrivateFile_Remove(path);
    return 0;
  }
  char *text = nullptr;
  int32_t length = 0;
  constexpr int32_t kRecordMaxBytes = 256 << 20;
  if (path[0] == '\0' || !PrivateFile_Read(path, kRecordMaxBytes, &text, &length)) return 0;
  // The last line of each name: a later put-in of a name supersedes an
  // earlier one.
  std::unordered_map<std::string, std::string> lines;
  for (char *line = text; line < text + length;) {
    char *end = strchr(line, '\n');
    if (end == nullptr) break;  // a line cut by a stop: nothing was put in for it
    *end = '\0';
    unsigned long long device = 0, inode = 0;
    long long size = 0, seconds = 0;
    int at = 0;
    if (sscanf(line, "%llu %llu %lld %lld %n", &device, &inode, &size, &seconds, &at) == 4 &&
        line[at] != '\0')
      lines[line + at] = line;
    line = end + 1;
  }
  std::string kept;
  int32_t removed = 0;
  uid_t self = geteuid();
  for (auto &entry : lines) {
    std::string name = entry.first;
    FileRecord *record = nullptr;
    if (FileIndex_FindName(keep, &record, name.c_str())) {
      kept += entry.second + "\n";  // the version's: judged when a later one lacks it
      continue;
    }
    unsigned long long device = 0, inode = 0;
    long long size = 0, seconds = 0;
    sscanf(entry.second.c_str(), "%llu %llu %lld %lld", &device, &inode, &size, &seconds);
    FileIdentity there;
    bool same = root != nullptr && fileThere(root, name, &there) && S_ISREG(there.mode) &&
                there.owner == uint32_t(self) && there.device == device && there.inode == inode &&
                there.size == size && (seconds < 0 || there.modifiedSeconds == seconds);
    if (!same || !RootDirectory_Remove(root, name.c_str(), 0)) continue;
    Log_Print(LOG_INFO, KSRC, 0, "Left over by a stopped run: removed (%s)\n", name.c_str());
    removed++;
    // The directories that emptied, up to (not including) the root.
    for (size_t slash = name.find_last_of('/'); slash != std::string::npos && slash > 0;
         slash = name.find_last_of('/')) {
      name.resize(slash);
      if (!fileIsDirectory(root, name) || !RootDirectory_Remove(root, name.c_str(), 1)) break;
    }
  }
  MEM_FREE(text, length + 1);
  if (removed > 0) fileForgetDirectories(d);
  // The lines of names still the version's; the rest are done with.
  int fd = -1;
  PrivateFile_Remove(path);
  if (!kept.empty() && PrivateFile_OpenAppend(path, 1, &fd)) {
    PrivateFile_Write(fd, path, kept.data(), int32_t(kept.size()));
    PrivateFile_Close(&fd);
  }
  return removed;
}

const StorageDriver kStorageFileDriver = {
    "StorageFile",          fileCreate,        StorageDriver_AddRef,
    fileRelease,            fileSetLogHook,    fileConfigure,
    StorageDriver_NoOp,     StorageDriver_NoOpActive, fileStatus,
    StorageDriver_NoOp,     fileExists,        fileRead,
    fileWrite,              StorageDriver_NotSupported, fileEraseFile,
    fileCompleteFile,
};
