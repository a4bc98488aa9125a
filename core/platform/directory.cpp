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

struct DirectoryWalk {
  DirectoryList *list;
  char path[kPathMax];  // the level being listed, with a trailing '/', then the entry
};

int directoryWalkLevel(DirectoryWalk *walk, size_t length, int depth);

// Reports the current entry; false when the walk is to stop (error set).
bool directoryReport(DirectoryWalk *walk, const DirectoryEntry *entry, int depth, int *answer) {
  DirectoryList *list = walk->list;
  *answer = kDirectoryListContinue;
  if (list->callback == nullptr) return true;
  list->current = entry;
  *answer = list->callback(list->userData, list, depth, walk->path);
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

// One directory entry of the level: its subtree and its report in the order
// the list asks for. A link is reported and never entered.
int directoryVisitDirectory(DirectoryWalk *walk, size_t length, int depth,
                            const DirectoryEntry *entry) {
  DirectoryList *list = walk->list;
  size_t at = length;
  if (!directoryAppend(walk->path, &at, entry->name, strlen(entry->name)) ||
      !directoryAppend(walk->path, &at, "/", 1)) {
    list->error = kPlatformErrorNameTooLong;
    return 0;
  }
  const bool enter = !(entry->attributes & kFileAttributeSymlink);
  const bool parentLast = list->order == kDirectoryListParentLast;
  if (parentLast && enter && !directoryWalkLevel(walk, at, depth + 1)) return 0;
  int answer = kDirectoryListContinue;
  if (list->mask & kDirectoryListDirectories) {
    directoryLog(list, "Directory - %s\n", walk->path);
    if (!directoryReport(walk, entry, depth, &answer)) return 0;
  }
  if (!parentLast && enter && answer != kDirectoryListPrune &&
      !directoryWalkLevel(walk, at, depth + 1))
    return 0;
  walk->path[length] = '\0';
  return 1;
}

// The first pass: one listing of the level; each directory is visited at
// once, the matching files are kept for the second pass.
int directoryWalkDirectories(DirectoryWalk *walk, size_t length, int depth, DirectoryEntry *entry,
                             DirectoryFiles *files) {
  DirectoryList *list = walk->list;
  size_t at = length;
  if (!directoryAppend(walk->path, &at, "*", 1)) {
    list->error = kPlatformErrorNameTooLong;
    return 0;
  }
  PlatformFind *find = nullptr;
  int found = list->findFirst(walk->path, entry, &find);
  walk->path[length] = '\0';
  if (!found) {
    int error = Platform_GetLastError();
    list->error = error ? error : kPlatformErrorGeneral;
    return 0;
  }
  const bool keepFiles = list->mask & kDirectoryListFiles;
  int result = 1;
  for (bool more = true; more; more = list->findNext(find, entry)) {
    if (directoryIsDot(entry->name)) continue;
    if (entry->attributes & kFileAttributeDirectory) {
      result = directoryVisitDirectory(walk, length, depth, entry);
      if (!result) break;
    } else if (keepFiles && directoryMatches(entry->name, list->pattern)) {
      directoryFilesAdd(files, entry);
    }
  }
  if (result) result = directoryListingEnded(walk);
  walk->path[length] = '\0';
  list->findClose(&find);
  return result;
}

// The second pass: the level's files, reported after its directories.
int directoryWalkFiles(DirectoryWalk *walk, size_t length, int depth, DirectoryEntry *entry,
                       const DirectoryFiles *files) {
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
    bool going = directoryReport(walk, entry, depth, &answer);
    walk->path[length] = '\0';
    if (!going) return 0;
  }
  return 1;
}

// The level whose directory is walk->path[0, length) (ending with '/'). Each
// level has its own entry record, so the one being reported stays valid while
// its subtree is walked.
int directoryWalkLevel(DirectoryWalk *walk, size_t length, int depth) {
  DirectoryList *list = walk->list;
  if (list->maxDepth >= 0 && depth > list->maxDepth) return 1;
  auto *entry = static_cast<DirectoryEntry *>(MEM_ALLOC(sizeof(DirectoryEntry), 0));
  DirectoryFiles files = {nullptr, 0, 0};
  int result = directoryWalkDirectories(walk, length, depth, entry, &files);
  if (result) result = directoryWalkFiles(walk, length, depth, entry, &files);
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
  size_t length = strlen(list->root);
  memcpy(walk->path, list->root, length + 1);
  int result = directoryWalkLevel(walk, length, 0);
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
// is path[0, length). Each subdirectory is opened below its parent without
// following a link: one that turned into a link since it was listed is
// erased as a link.
int directoryDeleteContents(PlatformDirectory *directory, char *path, size_t length, int tries,
                            int *error) {
  char name[kNameBytes];
  int isDirectory;
  while (Platform_ReadDirectoryAt(directory, name, &isDirectory)) {
    size_t at = length;
    if (!directoryAppend(path, &at, name, strlen(name))) return directoryTooLong(path, error);
    PlatformDirectory *child = nullptr;
    if (isDirectory && !Platform_OpenDirectoryAt(directory, name, &child)) {
      int openError = Platform_GetLastError();
      if (openError != kPlatformErrorPathNotFound && openError != kPlatformErrorLinkLoop) {
        path[length] = '\0';
        return directoryFail(openError, error);
      }
      isDirectory = 0;  // a link (or a file) now: it goes as one
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

struct DirectoryCopy {
  size_t sourceLength;  // of the source root, with its '/'
  char destination[kPathMax];
  size_t destinationLength;  // of the destination root, with its '/'
  uint32_t options;
  int error;
};

// A directory gets its source's mode and modified time, after its contents:
// a read-only mode would refuse them, and each new entry moves the time.
int directoryCopyDirectoryFinish(const char *from, const char *to) {
  FileIdentity identity;
  return Platform_GetFileIdentity(from, 1, &identity) &&
         Platform_SetMode(to, identity.mode, 0) &&
         Platform_SetModifiedTime(to, identity.modifiedSeconds, identity.modifiedNanoseconds, 1);
}

int directoryCopyLink(const char *from, const char *to, int isDirectory) {
  char target[kPathMax];
  if (!Path_ResolveLinks(from, target, sizeof target)) return 0;
  FileIdentity existing;
  int error;
  if (Platform_GetFileIdentity(to, 0, &existing) &&
      (existing.mode & kModeTypeMask) == kModeLink && !EraseFile(to, 1, &error))
    return 0;
  return Path_CreateSymbolicLink(to, target, isDirectory);
}

int directoryCopyFile(DirectoryCopy *copy, const char *from, const char *to) {
  int error;
  if (CopyFile(from, to, 0, &error, nullptr, nullptr)) return 1;
  if (error != kPlatformErrorAccessDenied || !(copy->options & kDirectoryCopyOverwrite)) return 0;
  // An existing destination directory that is read-only: overwriting was
  // asked for, so it is opened up (and gets its source's mode back later).
  char parent[kPathMax];
  if (!Path_GetDirectory(to, parent, sizeof parent) || !Path_MakeWritable(parent)) {
    Platform_SetLastError(error);
    return 0;
  }
  return CopyFile(from, to, 0, &error, nullptr, nullptr);
}

int directoryCopyStep(void *userData, DirectoryList *list, int depth, const char *path) {
  (void)depth;
  auto *copy = static_cast<DirectoryCopy *>(userData);
  const char *relative = path + copy->sourceLength;
  size_t at = copy->destinationLength;
  if (!directoryAppend(copy->destination, &at, relative, strlen(relative))) {
    copy->error = kPlatformErrorNameTooLong;
    return kDirectoryListStop;
  }
  const char *to = copy->destination;
  uint32_t attributes = list->current->attributes;
  int done;
  if (attributes & kFileAttributeSymlink) {
    done = directoryCopyLink(path, to, (attributes & kFileAttributeDirectory) ? 1 : 0);
  } else if (attributes & kFileAttributeDirectory) {
    int error;
    done = Path_CreateDirectory(to, 0, &error) && directoryCopyDirectoryFinish(path, to);
  } else {
    done = directoryCopyFile(copy, path, to);
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
  char from[kPathMax];
  int result = 0;
  FileIdentity sourceId;
  int error = 0;
  if (!Path_Resolve(source, from, sizeof from) ||
      !Path_Normalize(from, sizeof from, kPathEnsureTrailing) ||
      !Path_Resolve(destination, copy->destination, sizeof copy->destination) ||
      !Path_Normalize(copy->destination, sizeof copy->destination, kPathEnsureTrailing)) {
    directoryFail(kPlatformErrorNameTooLong, nullptr);
  } else if (!Platform_GetFileIdentity(from, 1, &sourceId)) {
    // the platform's error stands
  } else if ((sourceId.mode & kModeTypeMask) != kModeDirectory) {
    directoryFail(kPlatformErrorPathNotFound, nullptr);
  } else if (directoryCopyCheckTarget(copy->destination, sourceId) &&
             Path_CreateDirectory(copy->destination, 0, &error)) {
    copy->sourceLength = strlen(from);
    copy->destinationLength = strlen(copy->destination);
    copy->options = options;
    DirectoryList list;
    DirectoryList_Init(&list);
    // Contents before their directory: files and links create the
    // directories they need, and the directory's mode and time come last.
    DirectoryList_SetOrder(&list, kDirectoryListParentLast);
    DirectoryList_SetMask(&list, kDirectoryListFiles | kDirectoryListDirectories);
    DirectoryList_SetCallback(&list, directoryCopyStep, copy);
    result = DirectoryList_Walk(&list, from, nullptr);
    if (!result && copy->error) Platform_SetLastError(copy->error);
    if (result) result = directoryCopyDirectoryFinish(from, copy->destination);
  }
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
