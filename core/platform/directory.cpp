// The directory walker and the tree operations; see directory.h.
#include "core/platform/directory.h"

#include <cstdarg>
#include <cstring>

#include "core/platform/fileops.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/runtime/str.h"

namespace {

constexpr const char kDirectoryListClassName[] = "DirectoryList";
constexpr uint32_t kModeTypeMask = 0xF000;
constexpr uint32_t kModeDirectory = 0x4000;
constexpr uint32_t kModeLink = 0xA000;
// Room for a name from a listing: the system's NAME_MAX and its terminator.
constexpr int kNameBytes = 256;

#define DIRECTORY_LIST_CHECK(list) CLASS_CHECK((list), kDirectoryListTag)

void directoryLog(DirectoryList *list, const char *format, ...) {
  if (!list->logFlag || !Log_IsEnabled()) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&list->log, 0, format, args);
  va_end(args);
}

// Ends an operation with a code decided here; the code is also the thread's
// last error.
int directoryFail(int code, int *error) {
  Platform_SetLastError(code);
  if (error) *error = code;
  return 0;
}

// Appends text to the path at length; false (the path unchanged) when the
// result would not fit, so no cut path is ever used.
bool directoryAppend(char *path, size_t *length, const char *text, size_t count) {
  if (*length + count >= size_t(kPathMax)) return false;
  memcpy(path + *length, text, count);
  *length += count;
  path[*length] = '\0';
  return true;
}

bool directoryIsDot(const char *name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

void directoryDestroy(void **object) {
  auto *list = static_cast<DirectoryList *>(*object);
  *object = nullptr;
  DirectoryList_FindClose(list);
  list->header.classTag = 0;
  MEM_FREE(list, sizeof(DirectoryList));
}

}  // namespace

// ---- Life and settings --------------------------------------------------------------

int DirectoryList_Init(DirectoryList *list) {
  CHECK_POINTER(list);
  memset(static_cast<void *>(list), 0, sizeof *list);
  list->header.classTag = kDirectoryListTag;
  list->header.refCount.store(1, std::memory_order_relaxed);
  list->header.destroy = directoryDestroy;
  Class_GenerateInstanceId(list);
  list->log.object = list;
  list->log.className = kDirectoryListClassName;
  list->current = &list->entry;
  list->mask = kDirectoryListDefaultMask;
  list->order = kDirectoryListParentFirst;
  list->maxDepth = -1;
  list->findFirst = Platform_FindFirst;
  list->findNext = Platform_FindNext;
  list->findClose = Platform_FindClose;
  return 1;
}

int DirectoryList_Create(DirectoryList **list) {
  CHECK_POINTER(list);
  auto *created = static_cast<DirectoryList *>(MEM_ALLOC(sizeof(DirectoryList), MEM_ZEROED));
  DirectoryList_Init(created);
  created->created = 1;
  *list = created;
  return 1;
}

void DirectoryList_Release(DirectoryList **list) {
  CHECK_POINTER(list);
  if (*list == nullptr) return;
  DIRECTORY_LIST_CHECK(*list);
  if (!(*list)->created) {  // caller-owned: nothing to free, only the listing
    DirectoryList_FindClose(*list);
    *list = nullptr;
    return;
  }
  Class_ReleaseObject(list);
}

void DirectoryList_SetCallback(DirectoryList *list, DirectoryListCallback callback,
                               void *userData) {
  DIRECTORY_LIST_CHECK(list);
  list->callback = callback;
  list->userData = userData;
}

void DirectoryList_SetFilesOnly(DirectoryList *list) {
  DIRECTORY_LIST_CHECK(list);
  list->mask = kDirectoryListFiles;
}

void DirectoryList_SetMask(DirectoryList *list, uint32_t mask) {
  DIRECTORY_LIST_CHECK(list);
  list->mask = mask;
}

void DirectoryList_SetOrder(DirectoryList *list, int order) {
  DIRECTORY_LIST_CHECK(list);
  if (order != kDirectoryListParentFirst && order != kDirectoryListParentLast)
    Core_Abort(KSRC, "Invalid order (%d)\n", order);
  list->order = order;
}

void DirectoryList_SetMaxDepth(DirectoryList *list, int maxDepth) {
  DIRECTORY_LIST_CHECK(list);
  list->maxDepth = maxDepth < 0 ? -1 : maxDepth;
}

void DirectoryList_SetLogFlag(DirectoryList *list, int on) {
  DIRECTORY_LIST_CHECK(list);
  list->logFlag = on ? 1 : 0;
}

void DirectoryList_SetFindCallbacks(DirectoryList *list, DirectoryListFindFirst findFirst,
                                    DirectoryListFindNext findNext,
                                    DirectoryListFindClose findClose) {
  DIRECTORY_LIST_CHECK(list);
  list->findFirst = findFirst ? findFirst : Platform_FindFirst;
  list->findNext = findNext ? findNext : Platform_FindNext;
  list->findClose = findClose ? findClose : Platform_FindClose;
}

// ---- Walk ---------------------------------------------------------------------------------

namespace {

// The one way down for every walk and tree operation: opens the directory
// name inside parent without following a link, and holds it to what the
// listing said of it (listed: device and inode from the listing's status).
// A link there now fails (3 or 1921), so does another directory swapped in
// (3). 1 with *child open; 0 with it NULL and the thread's last error.
int directoryDescend(PlatformDirectory *parent, const char *name, const FileIdentity *listed,
                     PlatformDirectory **child) {
  if (!Platform_OpenDirectoryAt(parent, name, child)) return 0;
  FileIdentity opened;
  if (Platform_GetDirectoryIdentity(*child, &opened) && opened.device == listed->device &&
      opened.inode == listed->inode)
    return 1;
  Platform_CloseDirectory(child);
  return directoryFail(kPlatformErrorPathNotFound, nullptr);
}

struct DirectoryWalk {
  DirectoryList *list;
  // The platform's listing: each level is an open directory reached from
  // its parent's descriptor. Otherwise the list's find callbacks list each
  // level by its path.
  bool byDescriptor;
  char path[kPathMax];  // the level being listed, with a trailing '/', then the entry
};

int directoryWalkLevel(DirectoryWalk *walk, size_t length, int depth,
                       PlatformDirectory *directory);

// Reports the current entry (level: the open directory that holds it, or
// NULL); false when the walk is to stop (error set).
bool directoryReport(DirectoryWalk *walk, PlatformDirectory *level, const DirectoryEntry *entry,
                     int depth, int *answer) {
  DirectoryList *list = walk->list;
  *answer = kDirectoryListContinue;
  if (list->callback == nullptr) return true;
  list->current = entry;
  list->level = level;
  *answer = list->callback(list->userData, list, depth, walk->path);
  list->level = nullptr;
  if (*answer != kDirectoryListStop) return true;
  list->error = kPlatformErrorCancelled;
  return false;
}

// The files of a level, kept while its subdirectories are walked, so the
// level is listed once: the entries without their 4096-byte name fields, each
// record followed by its name and padded to 8 bytes.
struct DirectoryFileRecord {
  uint32_t attributes;
  uint32_t clusterBytes;
  PlatformTime creationTime;
  PlatformTime lastAccessTime;
  PlatformTime lastWriteTime;
  int64_t size;
  int64_t sizeOnDisk;
  uint32_t nameLength;
};

struct DirectoryFiles {
  unsigned char *data;
  size_t used;
  size_t capacity;
};

constexpr size_t kFilesInitialBytes = 16 * 1024;

size_t directoryRecordBytes(size_t nameLength) {
  return (sizeof(DirectoryFileRecord) + nameLength + 1 + 7) & ~size_t(7);
}

void directoryFilesAdd(DirectoryFiles *files, const DirectoryEntry *entry) {
  size_t nameLength = strlen(entry->name);
  size_t need = directoryRecordBytes(nameLength);
  if (files->used + need > files->capacity) {
    size_t capacity = files->capacity ? files->capacity : kFilesInitialBytes;
    while (files->used + need > capacity) capacity *= 2;
    auto *data = static_cast<unsigned char *>(MEM_ALLOC(capacity, 0));
    if (files->data) {
      memcpy(data, files->data, files->used);
      MEM_FREE(files->data, files->capacity);
    }
    files->data = data;
    files->capacity = capacity;
  }
  DirectoryFileRecord record = {entry->attributes,     entry->clusterBytes, entry->creationTime,
                                entry->lastAccessTime, entry->lastWriteTime, entry->size,
                                entry->sizeOnDisk,     uint32_t(nameLength)};
  memcpy(files->data + files->used, &record, sizeof record);
  memcpy(files->data + files->used + sizeof record, entry->name, nameLength + 1);
  files->used += need;
}

// Fills entry from the record at offset; returns the next offset.
size_t directoryFilesGet(const DirectoryFiles *files, size_t offset, DirectoryEntry *entry) {
  DirectoryFileRecord record;
  memcpy(&record, files->data + offset, sizeof record);
  entry->attributes = record.attributes;
  entry->clusterBytes = record.clusterBytes;
  entry->creationTime = record.creationTime;
  entry->lastAccessTime = record.lastAccessTime;
  entry->lastWriteTime = record.lastWriteTime;
  entry->size = record.size;
  entry->sizeOnDisk = record.sizeOnDisk;
  entry->shortName[0] = '\0';
  memcpy(entry->name, files->data + offset + sizeof record, record.nameLength + 1);
  return offset + directoryRecordBytes(record.nameLength);
}

// The file-name pattern as the platform's listing matches it.
bool directoryMatches(const char *name, const char *pattern) {
  if (pattern[0] == '\0' || strcmp(pattern, "*.*") == 0) return true;
  return Str_MatchWildcard(name, pattern, '\0', 0) != 0;
}

// The end of a listing: 1 at its normal end, 0 (error set) when it broke off.
int directoryListingEnded(DirectoryWalk *walk) {
  int error = Platform_GetLastError();
  if (error == kPlatformErrorNoMoreFiles) return 1;
  walk->list->error = error ? error : kPlatformErrorGeneral;
  return 0;
}

// The level error of a step that failed with the thread's last error.
int directoryWalkFailed(DirectoryWalk *walk) {
  int error = Platform_GetLastError();
  walk->list->error = error ? error : kPlatformErrorGeneral;
  return 0;
}

// Walks the subdirectory entry of parent (listed with identity) whose path is
// walk->path[0, length): by descriptor, opened as it was listed.
int directoryEnter(DirectoryWalk *walk, size_t length, int depth, PlatformDirectory *parent,
                   const DirectoryEntry *entry, const FileIdentity *identity) {
  PlatformDirectory *child = nullptr;
  if (walk->byDescriptor && !directoryDescend(parent, entry->name, identity, &child))
    return directoryWalkFailed(walk);
  int result = directoryWalkLevel(walk, length, depth, child);
  Platform_CloseDirectory(&child);
  return result;
}

// One directory entry of the level: its subtree and its report in the order
// the list asks for. A link is reported and never entered, nor a level below
// the deepest asked for.
int directoryVisitDirectory(DirectoryWalk *walk, size_t length, int depth,
                            PlatformDirectory *parent, const DirectoryEntry *entry,
                            const FileIdentity *identity) {
  DirectoryList *list = walk->list;
  size_t at = length;
  if (!directoryAppend(walk->path, &at, entry->name, strlen(entry->name)) ||
      !directoryAppend(walk->path, &at, "/", 1)) {
    list->error = kPlatformErrorNameTooLong;
    return 0;
  }
  const bool enter = !(entry->attributes & kFileAttributeSymlink) &&
                     (list->maxDepth < 0 || depth + 1 <= list->maxDepth);
  const bool parentLast = list->order == kDirectoryListParentLast;
  if (parentLast && enter && !directoryEnter(walk, at, depth + 1, parent, entry, identity))
    return 0;
  int answer = kDirectoryListContinue;
  if (list->mask & kDirectoryListDirectories) {
    directoryLog(list, "Directory - %s\n", walk->path);
    if (!directoryReport(walk, parent, entry, depth, &answer)) return 0;
  }
  if (!parentLast && enter && answer != kDirectoryListPrune &&
      !directoryEnter(walk, at, depth + 1, parent, entry, identity))
    return 0;
  walk->path[length] = '\0';
  return 1;
}

// The next entry of a level: read from its open directory, or from the
// list's find callbacks (*find NULL: the first, which opens the listing).
int directoryNextEntry(DirectoryWalk *walk, size_t length, PlatformDirectory *directory,
                       PlatformFind **find, DirectoryEntry *entry, FileIdentity *identity) {
  DirectoryList *list = walk->list;
  if (directory) return Platform_ReadDirectoryEntry(directory, entry, identity);
  if (*find) return list->findNext(*find, entry);
  size_t at = length;
  if (!directoryAppend(walk->path, &at, "*", 1)) {
    Platform_SetLastError(kPlatformErrorNameTooLong);
    return 0;
  }
  int found = list->findFirst(walk->path, entry, find);
  walk->path[length] = '\0';
  return found;
}

// The first pass: one listing of the level; each directory is visited at
// once, the matching files are kept for the second pass.
int directoryWalkDirectories(DirectoryWalk *walk, size_t length, int depth,
                             PlatformDirectory *directory, DirectoryEntry *entry,
                             DirectoryFiles *files) {
  DirectoryList *list = walk->list;
  PlatformFind *find = nullptr;
  FileIdentity identity;
  int more = directoryNextEntry(walk, length, directory, &find, entry, &identity);
  // A listing through the find callbacks that cannot start fails; one by
  // descriptor may simply be empty.
  if (!more && directory == nullptr) return directoryWalkFailed(walk);
  const bool keepFiles = list->mask & kDirectoryListFiles;
  int result = 1;
  for (; more; more = directoryNextEntry(walk, length, directory, &find, entry, &identity)) {
    if (directoryIsDot(entry->name)) continue;
    if (entry->attributes & kFileAttributeDirectory) {
      result = directoryVisitDirectory(walk, length, depth, directory, entry, &identity);
      if (!result) break;
    } else if (keepFiles && directoryMatches(entry->name, list->pattern)) {
      directoryFilesAdd(files, entry);
    }
  }
  if (result) result = directoryListingEnded(walk);
  walk->path[length] = '\0';
  if (find) list->findClose(&find);
  return result;
}

// The second pass: the level's files, reported after its directories.
int directoryWalkFiles(DirectoryWalk *walk, size_t length, int depth, PlatformDirectory *directory,
                       DirectoryEntry *entry, const DirectoryFiles *files) {
  DirectoryList *list = walk->list;
  for (size_t offset = 0; offset < files->used;) {
    offset = directoryFilesGet(files, offset, entry);
    size_t at = length;
    if (!directoryAppend(walk->path, &at, entry->name, strlen(entry->name))) {
      list->error = kPlatformErrorNameTooLong;
      return 0;
    }
    directoryLog(list, "File - %s\n", walk->path);
    int answer;
    bool going = directoryReport(walk, directory, entry, depth, &answer);
    walk->path[length] = '\0';
    if (!going) return 0;
  }
  return 1;
}

// The level whose directory is walk->path[0, length) (ending with '/'),
// open as directory when the walk goes by descriptor. Each level has its own
// entry record, so the one being reported stays valid while its subtree is
// walked.
int directoryWalkLevel(DirectoryWalk *walk, size_t length, int depth,
                       PlatformDirectory *directory) {
  DirectoryList *list = walk->list;
  auto *entry = static_cast<DirectoryEntry *>(MEM_ALLOC(sizeof(DirectoryEntry), 0));
  DirectoryFiles files = {nullptr, 0, 0};
  int result = directoryWalkDirectories(walk, length, depth, directory, entry, &files);
  if (result) result = directoryWalkFiles(walk, length, depth, directory, entry, &files);
  if (files.data) MEM_FREE(files.data, files.capacity);
  list->current = &list->entry;
  MEM_FREE(entry, sizeof(DirectoryEntry));
  return result;
}

}  // namespace

int DirectoryList_Walk(DirectoryList *list, const char *root, const char *pattern) {
  DIRECTORY_LIST_CHECK(list);
  CHECK_POINTER(root);
  list->error = 0;
  if (pattern == nullptr) pattern = "";
  size_t patternLength = strlen(pattern);
  if (patternLength >= sizeof list->pattern ||
      !Path_Resolve(root, list->root, sizeof list->root) ||
      !Path_Normalize(list->root, sizeof list->root, kPathEnsureTrailing)) {
    list->root[0] = '\0';
    return directoryFail(kPlatformErrorNameTooLong, &list->error);
  }
  memcpy(list->pattern, pattern, patternLength + 1);
  directoryLog(list, "Root - %s\n", list->root);
  auto *walk = static_cast<DirectoryWalk *>(MEM_ALLOC(sizeof(DirectoryWalk), 0));
  walk->list = list;
  walk->byDescriptor = list->findFirst == Platform_FindFirst &&
                       list->findNext == Platform_FindNext && list->findClose == Platform_FindClose;
  size_t length = strlen(list->root);
  memcpy(walk->path, list->root, length + 1);
  // The root as the caller named it: its trailing '/' follows a root that is
  // a link. Below it, nothing is followed.
  PlatformDirectory *directory = nullptr;
  int result = walk->byDescriptor && !Platform_OpenDirectoryAt(nullptr, list->root, &directory)
                   ? directoryWalkFailed(walk)
                   : directoryWalkLevel(walk, length, 0, directory);
  Platform_CloseDirectory(&directory);
  MEM_FREE(walk, sizeof(DirectoryWalk));
  if (!result) Platform_SetLastError(list->error);
  return result;
}

// ---- One level --------------------------------------------------------------------------

int DirectoryList_FindFirst(DirectoryList *list, int hasPattern, const char *path) {
  DIRECTORY_LIST_CHECK(list);
  CHECK_POINTER(path);
  DirectoryList_FindClose(list);
  char pattern[kPathMax];
  bool fits = Path_Resolve(path, pattern, sizeof pattern);
  if (fits && !hasPattern) {
    size_t length;
    fits = Path_Normalize(pattern, sizeof pattern, kPathEnsureTrailing) &&
           directoryAppend(pattern, &(length = strlen(pattern)), "*", 1);
  }
  if (!fits) return directoryFail(kPlatformErrorNameTooLong, nullptr);
  list->current = &list->entry;
  return list->findFirst(pattern, &list->entry, &list->find);
}

int DirectoryList_FindNext(DirectoryList *list) {
  DIRECTORY_LIST_CHECK(list);
  if (list->find == nullptr) return directoryFail(kPlatformErrorNoMoreFiles, nullptr);
  return list->findNext(list->find, &list->entry);
}

int DirectoryList_FindClose(DirectoryList *list) {
  DIRECTORY_LIST_CHECK(list);
  if (list->find) list->findClose(&list->find);
  list->find = nullptr;
  return 1;
}

const char *DirectoryList_GetName(DirectoryList *list) {
  DIRECTORY_LIST_CHECK(list);
  return list->current->name;
}

int64_t DirectoryList_GetSize(DirectoryList *list) {
  DIRECTORY_LIST_CHECK(list);
  return list->current->size;
}

int DirectoryList_IsDirectory(DirectoryList *list) {
  DIRECTORY_LIST_CHECK(list);
  return (list->current->attributes & kFileAttributeDirectory) ? 1 : 0;
}

int DirectoryList_IsDotEntry(DirectoryList *list) {
  DIRECTORY_LIST_CHECK(list);
  return directoryIsDot(list->current->name) ? 1 : 0;
}

int Directory_IsEmpty(const char *path) {
  CHECK_POINTER(path);
  DirectoryList *list = nullptr;
  DirectoryList_Create(&list);
  int empty = 0;
  if (DirectoryList_FindFirst(list, 0, path)) {
    empty = 1;
    do {
      if (!DirectoryList_IsDotEntry(list)) empty = 0;
    } while (empty && DirectoryList_FindNext(list));
  }
  DirectoryList_Release(&list);
  return empty;
}

// ---- Delete -----------------------------------------------------------------------------------

namespace {

struct DirectoryErase {
  PlatformDirectory *parent;
  const char *name;
  int isDirectory;
};

int directoryEraseAttempt(void *context) {
  auto *erase = static_cast<DirectoryErase *>(context);
  if (FileOps_RemoveAt(erase->parent, erase->name, erase->isDirectory)) return 1;
  // Gone between two tries: what was asked for.
  return !erase->isDirectory && Platform_IsErrorMissing(Platform_GetLastError()) ? 1 : 0;
}

// Erases name inside parent (path names it in the lines) with the retries
// and lines of EraseFile or ErasePath.
int directoryEraseAt(PlatformDirectory *parent, const char *name, int isDirectory,
                     const char *path, int tries, int *error) {
  DirectoryErase erase = {parent, name, isDirectory};
  return FileOps_Retry(isDirectory ? "ErasePath" : "EraseFile", path, nullptr, tries, error,
                       directoryEraseAttempt, &erase);
}

int directoryTooLong(const char *path, int *error) {
  Log_Print(LOG_DEBUG, KSRC, 0, "Directory_Delete(%s) path below it too long [LE: %d]\n", path,
            kPlatformErrorNameTooLong);
  return directoryFail(kPlatformErrorNameTooLong, error);
}

// Deletes everything inside the open directory whose path (ending with '/')
// is path[0, length). The listing's own types say what is a directory, so no
// file's status is read; each directory is reached by the walk's descent,
// held to the status taken just before: one that turned into a link is
// erased as a link.
int directoryDeleteContents(PlatformDirectory *directory, char *path, size_t length, int tries,
                            int *error) {
  char name[kNameBytes];
  int isDirectory;
  while (Platform_ReadDirectoryAt(directory, name, &isDirectory)) {
    size_t at = length;
    if (!directoryAppend(path, &at, name, strlen(name))) return directoryTooLong(path, error);
    PlatformDirectory *child = nullptr;
    FileIdentity listed;
    if (isDirectory && !(Platform_GetFileIdentityAt(directory, name, &listed) &&
                         directoryDescend(directory, name, &listed, &child))) {
      int openError = Platform_GetLastError();
      if (openError != kPlatformErrorPathNotFound && openError != kPlatformErrorLinkLoop &&
          openError != kPlatformErrorFileNotFound) {
        path[length] = '\0';
        return directoryFail(openError, error);
      }
      isDirectory = 0;  // a link (or a file) now, or gone: it goes as one
    }
    if (child != nullptr) {
      size_t inner = at;
      int result = directoryAppend(path, &inner, "/", 1)
                       ? directoryDeleteContents(child, path, inner, tries, error)
                       : directoryTooLong(path, error);
      Platform_CloseDirectory(&child);
      path[at] = '\0';
      if (!result) return 0;
    }
    int result = directoryEraseAt(directory, name, isDirectory, path, tries, error);
    path[length] = '\0';
    if (!result) return 0;
  }
  int readError = Platform_GetLastError();
  if (readError == kPlatformErrorNoMoreFiles) return 1;
  return directoryFail(readError ? readError : kPlatformErrorGeneral, error);
}

}  // namespace

int Directory_Delete(const char *path, int tries, int *error) {
  CHECK_POINTER(path);
  CHECK_POINTER(error);
  *error = 0;
  char work[kPathMax];
  if (!Path_Resolve(path, work, sizeof work) ||
      !Path_Normalize(work, sizeof work, kPathRemoveTrailing))
    return directoryFail(kPlatformErrorNameTooLong, error);
  if (Path_IsProtected(work)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Refusing to delete protected path (%s)\n", work);
    return directoryFail(kPlatformErrorAccessDenied, error);
  }
  FileIdentity identity;
  if (!Platform_GetFileIdentity(work, 0, &identity)) {
    if (Platform_IsErrorMissing(Platform_GetLastError())) return 1;
    return directoryFail(Platform_GetLastError(), error);
  }
  if ((identity.mode & kModeTypeMask) == kModeLink) return EraseFile(work, tries, error);
  if ((identity.mode & kModeTypeMask) != kModeDirectory)
    return directoryFail(kPlatformErrorPathNotFound, error);
  PlatformDirectory *directory = nullptr;
  if (!Platform_OpenDirectoryAt(nullptr, work, &directory))
    return directoryFail(Platform_GetLastError(), error);
  auto *inner = static_cast<char *>(MEM_ALLOC(kPathMax, 0));
  size_t length = strlen(work);
  memcpy(inner, work, length + 1);
  int result = directoryAppend(inner, &length, "/", 1)
                   ? directoryDeleteContents(directory, inner, length, tries, error)
                   : directoryTooLong(work, error);
  MEM_FREE(inner, kPathMax);
  Platform_CloseDirectory(&directory);
  if (!result) return 0;
  return ErasePath(work, tries, error);
}

// ---- Copy -------------------------------------------------------------------------------------

namespace {

constexpr uint32_t kModeOwnerWrite = 0x80;
// New destination directories stay their owner's alone until their source's
// mode comes, after their contents.
constexpr uint32_t kCopyDirectoryModeWhileFilling = 0700;

struct DirectoryCopy {
  char source[kPathMax];  // the source root, with its '/'
  size_t sourceLength;
  char destination[kPathMax];  // the destination root with its '/', then an entry's path
  size_t destinationLength;
  uint32_t options;
  int error;
  PlatformDirectory *root;     // the destination root, opened as the caller named it
  PlatformDirectory *reached;  // the destination directory last reached below it; owned
  char reachedPath[kPathMax];  // its path below the root, with its '/'
  size_t reachedLength;
};

// Opens the destination directory name inside parent, creating it when
// missing; a link (or anything not a directory) there is never entered: a
// link is refused (5), anything else fails as the open did.
int directoryCopyOpenOrCreate(PlatformDirectory *parent, const char *name,
                              PlatformDirectory **child) {
  if (Platform_OpenDirectoryAt(parent, name, child)) return 1;
  int openError = Platform_GetLastError();
  FileIdentity existing;
  if (Platform_GetFileIdentityAt(parent, name, &existing)) {
    if ((existing.mode & kModeTypeMask) != kModeLink) return directoryFail(openError, nullptr);
    Log_Print(LOG_DEBUG, KSRC, 0, "Directory_Copy refuses the link '%s' where a directory goes\n",
              name);
    return directoryFail(kPlatformErrorAccessDenied, nullptr);
  }
  if (!Platform_IsErrorMissing(Platform_GetLastError())) return 0;
  // Made by someone else in between is as good, as long as it is a directory.
  if (!Platform_CreateDirectoryAt(parent, name, kCopyDirectoryModeWhileFilling) &&
      Platform_GetLastError() != kPlatformErrorAlreadyExists)
    return 0;
  return Platform_OpenDirectoryAt(parent, name, child);
}

// The destination directory at relative[0, length) (below the destination
// root, ending with '/'; empty: the root), reached one component at a time
// from the root's descriptor. The last one reached is kept, as the entries of
// one directory come one after another. NULL with the thread's last error.
PlatformDirectory *directoryCopyReach(DirectoryCopy *copy, const char *relative, size_t length) {
  if (length == 0) return copy->root;
  if (copy->reached && copy->reachedLength == length &&
      memcmp(copy->reachedPath, relative, length) == 0)
    return copy->reached;
  Platform_CloseDirectory(&copy->reached);
  PlatformDirectory *current = copy->root;
  char name[kPathMax];
  for (size_t start = 0; start < length;) {
    size_t end = start;
    while (relative[end] != '/') end++;
    memcpy(name, relative + start, end - start);
    name[end - start] = '\0';
    PlatformDirectory *next = nullptr;
    int opened = directoryCopyOpenOrCreate(current, name, &next);
    if (current != copy->root) Platform_CloseDirectory(&current);
    if (!opened) return nullptr;
    current = next;
    start = end + 1;
  }
  copy->reached = current;
  memcpy(copy->reachedPath, relative, length);
  copy->reachedLength = length;
  return current;
}

// Whether a relative link text, read from a directory depth levels below the
// source root, stays inside the tree at every step.
bool directoryCopyStaysInside(const char *text, int depth) {
  for (const char *p = text; *p != '\0';) {
    size_t n = strcspn(p, "/");
    if (n == 2 && p[0] == '.' && p[1] == '.') {
      if (--depth < 0) return false;
    } else if (n > 0 && !(n == 1 && p[0] == '.')) {
      depth++;
    }
    p += n;
    if (*p == '/') p++;
  }
  return true;
}

// The part of path below the source root, or NULL when path is not in the
// tree ("" for the root itself).
const char *directoryCopyBelowSource(const DirectoryCopy *copy, const char *path) {
  size_t rootLength = copy->sourceLength - 1;  // without its '/'
  if (strncmp(path, copy->source, rootLength) != 0) return nullptr;
  if (path[rootLength] == '\0') return path + rootLength;
  return path[rootLength] == '/' ? path + rootLength + 1 : nullptr;
}

// What the copy of a link (text as read, resolved: its final target, depth:
// its directory's levels below the source root) points at: into the tree, its
// own relative text, or its absolute target moved to the destination root;
// outside the tree, the resolved target. false (206) when it does not fit.
bool directoryCopyLinkTarget(const DirectoryCopy *copy, const char *text, const char *resolved,
                             int depth, char *out) {
  const char *below = directoryCopyBelowSource(copy, resolved);
  if (below == nullptr) return Str_Set(out, resolved, kPathMax);
  if (text[0] != '/' && directoryCopyStaysInside(text, depth)) return Str_Set(out, text, kPathMax);
  char normal[kPathMax];
  if (text[0] == '/' && Str_Set(normal, text, sizeof normal) &&
      Path_Normalize(normal, sizeof normal, kPathRemoveTrailing) &&
      directoryCopyBelowSource(copy, normal) != nullptr)
    below = directoryCopyBelowSource(copy, normal);
  size_t length = copy->destinationLength - (below[0] == '\0' ? 1 : 0);
  size_t rest = strlen(below);
  if (length + rest >= size_t(kPathMax)) return false;
  memcpy(out, copy->destination, length);
  memcpy(out + length, below, rest + 1);
  return true;
}

// Recreates the link name of the source directory level (path: its source
// path) as name inside parent, replacing a link already there.
int directoryCopyLink(DirectoryCopy *copy, PlatformDirectory *level, const char *name,
                      const char *path, int depth, PlatformDirectory *parent) {
  char text[kPathMax], resolved[kPathMax], target[kPathMax];
  if (!Platform_ReadLinkAt(level, name, text, sizeof text) ||
      !Path_ResolveLinks(path, resolved, sizeof resolved))
    return 0;
  if (!directoryCopyLinkTarget(copy, text, resolved, depth, target))
    return directoryFail(kPlatformErrorNameTooLong, nullptr);
  FileIdentity existing;
  if (Platform_GetFileIdentityAt(parent, name, &existing) &&
      (existing.mode & kModeTypeMask) == kModeLink && !Platform_RemoveAt(parent, name, 0))
    return 0;
  return Platform_CreateLinkAt(parent, name, target);
}

// Copies the file name of the source directory level into parent. A
// read-only destination directory refuses it (5); with overwriting asked for,
// it lends itself the owner write bit (it gets its source's mode later).
int directoryCopyFile(DirectoryCopy *copy, PlatformDirectory *level, const char *name,
                      const char *path, PlatformDirectory *parent) {
  PlatformCopyAt request = {level, name, parent, name, path, copy->destination,
                            0,     nullptr, nullptr};
  if (Platform_CopyFileAt(&request)) return 1;
  int error = Platform_GetLastError();
  uint32_t mode = 0;
  if (error != kPlatformErrorAccessDenied || !(copy->options & kDirectoryCopyOverwrite) ||
      !Platform_GetDirectoryMode(parent, &mode) || (mode & kModeOwnerWrite) ||
      !Platform_SetDirectoryMode(parent, mode | kModeOwnerWrite))
    return directoryFail(error, nullptr);
  return Platform_CopyFileAt(&request);
}

// A directory gets its source's mode and modified time, after its contents:
// a read-only mode would refuse them, and each new entry moves the time.
int directoryCopyDirectoryFinish(const FileIdentity &source, PlatformDirectory *directory) {
  return Platform_SetDirectoryMode(directory, source.mode) &&
         Platform_SetDirectoryModifiedTime(directory, source.modifiedSeconds,
                                           source.modifiedNanoseconds);
}

// The directory name of the source level, copied (its contents are in).
int directoryCopyDirectory(DirectoryCopy *copy, PlatformDirectory *level, const char *name,
                           const char *relative, size_t length) {
  FileIdentity source;
  if (!Platform_GetFileIdentityAt(level, name, &source)) return 0;
  if ((source.mode & kModeTypeMask) != kModeDirectory)  // swapped since it was listed
    return directoryFail(kPlatformErrorPathNotFound, nullptr);
  PlatformDirectory *directory = directoryCopyReach(copy, relative, length);
  return directory != nullptr && directoryCopyDirectoryFinish(source, directory);
}

// One entry of the source walk (contents before their directory). Every
// source entry is read through the walk's open directory, every destination
// entry through descriptors reached from the destination root.
int directoryCopyStep(void *userData, DirectoryList *list, int depth, const char *path) {
  auto *copy = static_cast<DirectoryCopy *>(userData);
  const char *relative = path + copy->sourceLength;
  size_t length = strlen(relative);
  size_t at = copy->destinationLength;
  if (!directoryAppend(copy->destination, &at, relative, length)) {
    copy->error = kPlatformErrorNameTooLong;
    return kDirectoryListStop;
  }
  uint32_t attributes = list->current->attributes;
  const char *name = list->current->name;
  // The entry's directory below the root: the relative path up to its name.
  size_t parentLength = length - strlen(name) - (relative[length - 1] == '/' ? 1 : 0);
  int done;
  if ((attributes & kFileAttributeDirectory) && !(attributes & kFileAttributeSymlink)) {
    done = directoryCopyDirectory(copy, list->level, name, relative, length);
  } else {
    PlatformDirectory *parent = directoryCopyReach(copy, relative, parentLength);
    if (parent == nullptr)
      done = 0;
    else if (attributes & kFileAttributeSymlink)
      done = directoryCopyLink(copy, list->level, name, path, depth, parent);
    else
      done = directoryCopyFile(copy, list->level, name, path, parent);
  }
  copy->destination[copy->destinationLength] = '\0';
  if (done) return kDirectoryListContinue;
  copy->error = Platform_GetLastError() ? Platform_GetLastError() : kPlatformErrorGeneral;
  return kDirectoryListStop;
}

// 0 (87) when destination is source or lies inside it: one of the
// destination's existing ancestors (itself included, up to "/" or, for a
// relative path, the working directory) is the source.
int directoryCopyCheckTarget(const char *destination, const FileIdentity &source) {
  char ancestor[kPathMax];
  memcpy(ancestor, destination, strlen(destination) + 1);
  Path_Normalize(ancestor, sizeof ancestor, kPathRemoveTrailing);
  for (bool last = false;;) {
    FileIdentity identity;
    if (Platform_GetFileIdentity(ancestor, 1, &identity) && identity.device == source.device &&
        identity.inode == source.inode)
      return directoryFail(kPlatformErrorInvalidParameter, nullptr);
    if (last) return 1;
    char *slash = strrchr(ancestor, '/');
    if (slash == nullptr) {
      memcpy(ancestor, ".", 2);
      last = true;
    } else if (slash == ancestor) {
      ancestor[1] = '\0';
      last = true;
    } else {
      *slash = '\0';
    }
  }
}

}  // namespace

int Directory_Copy(const char *source, const char *destination, uint32_t options) {
  CHECK_POINTER(source);
  CHECK_POINTER(destination);
  auto *copy = static_cast<DirectoryCopy *>(MEM_ALLOC(sizeof(DirectoryCopy), MEM_ZEROED));
  int result = 0;
  FileIdentity sourceId;
  int error = 0;
  if (!Path_Resolve(source, copy->source, sizeof copy->source) ||
      !Path_Normalize(copy->source, sizeof copy->source, kPathEnsureTrailing) ||
      !Path_Resolve(destination, copy->destination, sizeof copy->destination) ||
      !Path_Normalize(copy->destination, sizeof copy->destination, kPathEnsureTrailing)) {
    directoryFail(kPlatformErrorNameTooLong, nullptr);
  } else if (!Platform_GetFileIdentity(copy->source, 1, &sourceId)) {
    // the platform's error stands
  } else if ((sourceId.mode & kModeTypeMask) != kModeDirectory) {
    directoryFail(kPlatformErrorPathNotFound, nullptr);
  } else if (directoryCopyCheckTarget(copy->destination, sourceId) &&
             Path_CreateDirectory(copy->destination, 0, &error) &&
             Platform_OpenDirectoryAt(nullptr, copy->destination, &copy->root)) {
    // The root is the caller's to name (its trailing '/' follows a link);
    // everything below it is reached from its descriptor.
    copy->sourceLength = strlen(copy->source);
    copy->destinationLength = strlen(copy->destination);
    copy->options = options;
    DirectoryList list;
    DirectoryList_Init(&list);
    // Contents before their directory: the directory's mode and time come
    // after its last entry.
    DirectoryList_SetOrder(&list, kDirectoryListParentLast);
    DirectoryList_SetMask(&list, kDirectoryListFiles | kDirectoryListDirectories);
    DirectoryList_SetCallback(&list, directoryCopyStep, copy);
    result = DirectoryList_Walk(&list, copy->source, nullptr);
    if (!result && copy->error) Platform_SetLastError(copy->error);
    if (result) result = directoryCopyDirectoryFinish(sourceId, copy->root);
  }
  Platform_CloseDirectory(&copy->reached);
  Platform_CloseDirectory(&copy->root);
  if (!result)
    Log_Print(LOG_DEBUG, KSRC, 0, "Directory_Copy(%s, %s) failed [LE: %d]\n", source, destination,
              Platform_GetLastError());
  MEM_FREE(copy, sizeof(DirectoryCopy));
  return result;
}

// ---- Move ---------------------------------------------------------------------------------------

int MoveDirectory(const char *source, const char *destination) {
  CHECK_POINTER(source);
  CHECK_POINTER(destination);
  char from[kPathMax], to[kPathMax];
  int result = Path_Resolve(source, from, sizeof from) &&
               Path_Normalize(from, sizeof from, kPathEnsureTrailing) &&
               Path_Resolve(destination, to, sizeof to) &&
               Path_Normalize(to, sizeof to, kPathEnsureTrailing);
  if (!result) directoryFail(kPlatformErrorNameTooLong, nullptr);
  // Copying is allowed, but the platform copies files only: a directory
  // across file systems fails with 17 and both trees stay as they were.
  if (result) result = Platform_MoveFile(-1, from, to, kPlatformMoveCopyAllowed);
  if (!result)
    Log_Print(LOG_DEBUG, KSRC, 0, "MoveDirectory(%s, %s) failed [LE: %d]\n", source, destination,
              Platform_GetLastError());
  return result;
}
