// Directory: the DirectoryList walker (a tree walk driven by an entry
// callback, and one-level listings) and the whole-tree operations built on
// directories: emptiness test, deletion, copy and move.
//
// Invariants: (1) no walk enters a symbolic link: a link to a directory is
// reported with the directories (its path ends with '/') and never entered,
// so nothing outside the tree is ever reached through one. (2) with the
// platform's listing, a walk descends by descriptor: each directory is
// opened below its parent without following a link and must be the one the
// parent's listing named (device and inode from the same status), so one
// swapped for a link or another directory while the walk runs ends the walk
// (3) instead of being entered; the tree operations act on entries through
// those descriptors. (3) paths live in kPathMax (4096) bytes; an entry path
// that does not fit ends the walk with 206 and no cut path is ever used.
// Directory_Delete descends the same way, and a directory swapped for a link
// during the deletion is removed as a link, its target untouched. (4) the
// tree operations refuse "/", a bare drive and the home directory (5), and a
// copy into its own source (87).
//
// Threads: a DirectoryList belongs to one thread at a time; the caller
// serialises. A walk keeps no global state, so any thread (a worker
// included) may run one. The tree operations are reentrant.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/platform/platform.h"

constexpr uint32_t kDirectoryListTag = 0x146f58ae;

// Report mask bits and orders.
constexpr uint32_t kDirectoryListFiles = 0x1;
constexpr uint32_t kDirectoryListDirectories = 0x2;
constexpr uint32_t kDirectoryListDefaultMask = 15;
constexpr int kDirectoryListParentFirst = 1;  // a directory before its contents
constexpr int kDirectoryListParentLast = 2;   // a directory after its contents

// What an entry callback answers: go on; leave this directory out (order 1:
// it is not entered; order 2 and files: the same as go on); stop the whole
// walk (DirectoryList_Walk then answers 0 with error 1235).
constexpr int kDirectoryListContinue = 1;
constexpr int kDirectoryListPrune = 0;
constexpr int kDirectoryListStop = -1;

struct DirectoryList;
struct PlatformDirectory;

// Called for each reported entry with the list (whose current entry is the
// one reported: DirectoryList_GetName, _GetSize, _IsDirectory), the depth
// (0: directly in the root) and the entry's path (a directory's ends with
// '/').
typedef int (*DirectoryListCallback)(void *userData, DirectoryList *list, int depth,
                                     const char *path);

// The listing primitives a walk runs on; the defaults are Platform_FindFirst,
// Platform_FindNext and Platform_FindClose. A replacement has their contract.
typedef int (*DirectoryListFindFirst)(const char *pattern, DirectoryEntry *entry,
                                      PlatformFind **find);
typedef int (*DirectoryListFindNext)(PlatformFind *find, DirectoryEntry *entry);
typedef int (*DirectoryListFindClose)(PlatformFind **find);

struct DirectoryList {
  ObjectHeader header;
  ClassLog log;  // "DirectoryList"
  // The one-level listing's state; entry is also the walk's scratch record.
  PlatformFind *find;
  DirectoryEntry entry;
  const DirectoryEntry *current;  // the entry last found or reported; borrowed
  char pattern[kPathMax];         // file-name pattern of the walk (empty: all)
  char root[kPathMax];            // resolved, with a trailing '/'
  uint32_t mask;
  int32_t order;
  int32_t maxDepth;  // -1: unlimited
  int32_t logFlag;
  int32_t error;  // of the last walk: 0, or why it ended
  DirectoryListFindFirst findFirst;
  DirectoryListFindNext findNext;
  DirectoryListFindClose findClose;
  DirectoryListCallback callback;
  void *userData;
  // The open directory that holds the entry being reported, while the
  // callback runs in a walk by descriptor (NULL with replaced listing
  // primitives); borrowed.
  PlatformDirectory *level;
  int32_t created;  // 1 when DirectoryList_Create made it (released through the class)
};

// ---- Life ---------------------------------------------------------------------------

// Creates a list with the defaults (mask 15, order 1, no depth limit, the
// platform's listing, no callback). Returns 1. Stops on NULL.
int DirectoryList_Create(DirectoryList **list);
// Drops the caller's reference and clears *list; closes an open listing.
void DirectoryList_Release(DirectoryList **list);
// Sets up a caller-owned list (on the stack, say) with the defaults, the tag
// and an instance id. Close an open listing with DirectoryList_FindClose
// before the list goes. Returns 1.
int DirectoryList_Init(DirectoryList *list);

// ---- Settings (each stops on a NULL or foreign list) ---------------------------------

void DirectoryList_SetCallback(DirectoryList *list, DirectoryListCallback callback,
                               void *userData);
// Reports files only (mask 1).
void DirectoryList_SetFilesOnly(DirectoryList *list);
void DirectoryList_SetMask(DirectoryList *list, uint32_t mask);
// 1 or 2; anything else stops the program with "Invalid order (%d)\n".
void DirectoryList_SetOrder(DirectoryList *list, int order);
// The deepest level reported (0: the root's own entries only); -1 unlimited.
void DirectoryList_SetMaxDepth(DirectoryList *list, int maxDepth);
// Writes "Root - %s", "Directory - %s" and "File - %s" lines while on.
void DirectoryList_SetLogFlag(DirectoryList *list, int on);
// Replaces the listing primitives; NULL restores a default.
void DirectoryList_SetFindCallbacks(DirectoryList *list, DirectoryListFindFirst findFirst,
                                    DirectoryListFindNext findNext,
                                    DirectoryListFindClose findClose);

// ---- Walk -----------------------------------------------------------------------------

// Walks the tree below root ("~" resolved, normalised): level by level, first
// the directories (with order 2 each subtree before its directory, with
// order 1 after it unless the callback pruned it; reported when the mask has
// 0x2), then, when the mask has 0x1, the files whose names match pattern
// (NULL or empty: all; matched as Platform_FindFirst matches). Links are
// reported, never entered. 1 when the whole walk ran; 0 when a level could
// not be listed (the platform's error), a path did not fit (206) or the
// callback stopped it (1235); the error is also the thread's last error and
// the list's. A root that cannot be listed at all fails. Stops on a NULL
// list or root.
int DirectoryList_Walk(DirectoryList *list, const char *root, const char *pattern);

// ---- One level ------------------------------------------------------------------------

// Opens a listing of path: with hasPattern 1, path ends in a name pattern
// ("dir/*.txt"); with 0, path is a directory and every entry is listed. The
// first entry is current. 1, or 0 (2 when nothing matches; the platform's
// error) with nothing open.
int DirectoryList_FindFirst(DirectoryList *list, int hasPattern, const char *path);
// The next entry; 0 at the end (18).
int DirectoryList_FindNext(DirectoryList *list);
// Closes the listing (nothing to do when none is open). Returns 1.
int DirectoryList_FindClose(DirectoryList *list);
// The current entry's name, size, and whether it is a directory (a link to
// one counts: attribute 0x10) or "." / "..".
const char *DirectoryList_GetName(DirectoryList *list);
int64_t DirectoryList_GetSize(DirectoryList *list);
int DirectoryList_IsDirectory(DirectoryList *list);
int DirectoryList_IsDotEntry(DirectoryList *list);

// ---- Tree operations ------------------------------------------------------------------

// 1 when a one-level listing of path finds nothing but "." and "..". 0 when
// it finds more or cannot list it.
int Directory_IsEmpty(const char *path);

// Deletes the tree at path: the contents of each directory before the
// directory, each entry with the retries and lines of EraseFile (files and
// links) or ErasePath (directories), then the root with ErasePath. A missing
// path is a success; a link at path is removed as a link. A protected path
// (Path_IsProtected) is refused with 5 and "Refusing to delete protected path
// (%s)\n". An entry path longer than 4096 bytes ends it with 206 before
// anything below that level is erased. *error 0, or why it stopped. 1/0.
// Stops on NULL.
int Directory_Delete(const char *path, int tries, int *error);

// Directory_Copy options.
constexpr uint32_t kDirectoryCopyOverwrite = 0x1;  // make existing destinations writable first

// Copies the tree at source into destination (created as needed): each
// directory, each file (data, mode, modified time, written beside its name
// and renamed into place as CopyFile does), each link recreated. A link whose
// target lies inside the source tree keeps pointing inside the copy: its own
// relative text when that never climbs out of the tree, else its target moved
// to the destination root; any other link points at its resolved target.
// Every directory gets its source's mode and modified time after its
// contents are in (new ones are 0700 until then). The destination root is
// opened as named; below it every step goes through descriptors reached from
// the root without following a link, and a link where a directory goes is
// refused (5), never entered. A destination that is the source or lies
// inside it is refused (87), decided by the device and inode of the
// destination's existing ancestors. 1, or 0 at the first step that fails
// (the thread's last error). Stops on NULL.
int Directory_Copy(const char *source, const char *destination, uint32_t options);

// Renames the directory source to destination (both normalised with a
// trailing '/'); an existing destination fails (183). Across file systems it
// fails with 17 and changes nothing. "MoveDirectory(%s, %s) failed [LE:
// %d]\n". 1/0 (the thread's last error). Stops on NULL.
int MoveDirectory(const char *source, const char *destination);
