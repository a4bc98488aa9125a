// StorageFile: the storage driver of type "file", whose data are the
// installed files themselves under a root directory. It reads and writes
// byte ranges of files (the members of a StorageRequest), builds a file's
// new version under its partial name ("<name>.varnopartial"; a copy of the
// installed file at the first write, so that unchanged ranges stay) while
// the installed file keeps its final name untouched, and at completion
// gives the built file its size, modified time and read-only bit and then
// renames it over the final name; it erases files (sparing the names of an
// ignore file) and removes the directories that erasing empties.
//
// Every path goes through the root's RootDirectory (core/platform/rootdir.h):
// a name that would leave the root fails with 964/5 and is logged, links
// are created as listed but never resolved out of the root, and the last
// component of a name is never followed when written, replaced or erased.
//
// Invariants: (1) a file gets its final name only through
// Storage_CompleteFile, never by a write: a write that ends a file's last
// piece only sets its size and marks its handle complete. (2) the open-file
// table holds one record per relative name (case-sensitive); a record lives
// while it has users, and a record opened for writing until it is closed
// complete. (3) a final file is never opened for writing, truncated or
// renamed away: it holds the installed version until the whole new one
// replaces it by one rename, so a failed or killed update leaves every
// final name with the old bytes or the new ones (and a running program
// keeps its inode; selfUpdate changes nothing more). Without a partial
// extension the new version of an existing file is built under a fresh
// temporary name; only a file new to the root is written under its final
// name then. (4) reads, verifies and writes of a file's new version all go
// to the file it is being built in while there is one (one left under the
// partial name by an earlier run included); only reads of the installed
// version (StorageRequest_GetInstalled: a delta's source) go to the final
// file. (5) transfers move exactly their member's bytes; fewer is 962.
// (6) a name whose parent path meets a file or a link of the installed
// version (a name that becomes a directory) is built in a tree aside, below
// that component plus the partial extension, in the root (so the swap is a
// rename); its completion removes the old file or link and renames the
// tree in, right after each other; a run stopped between the two leaves
// the tree, which the next run finds and completes. A file where a
// directory is installed is built beside it and the directory goes right
// before the rename. (7) a file with more than one hard link is never
// written, cut or given a time or mode: a partial so found is removed and
// made afresh, made by its own open, never through a link.
//
// Threads: configuration and status on the owner's thread; the step slots
// on I/O worker threads, several at once; transfer completions on I/O
// worker threads. The table lock guards the open-file and ignore tables,
// the completed lock the completed-file table, the names files are built
// under and the records' current names; a record's lock (taken after the
// table lock) guards its opening. The aside lock (before the table lock
// and a record's) keeps files from being made in a tree being swapped in.
#pragma once

#include <cstdint>

#include "base/filelist.h"
#include "base/storage.h"

constexpr uint32_t kStorageFileTag = 0x57a6e0c4;
constexpr int32_t kStorageFilePathBytes = 320;
constexpr int32_t kStorageFileExtensionBytes = 32;

// Open modes of StorageFile_Open.
constexpr uint32_t kStorageFileModeRead = 1;
constexpr uint32_t kStorageFileModeWrite = 2;
constexpr uint32_t kStorageFileModeSelfUpdate = 4;
constexpr uint32_t kStorageFileModeInstalled = 8;  // read the final file's own bytes

// "attr" bits of a file entry.
constexpr uint32_t kStorageFileAttrReadOnly = 1;
constexpr uint32_t kStorageFileAttrLink = 8;

struct RootDirectory;
struct StorageFile;  // storagefile.cpp

// Reads "partialExtension", "lockDirectory", "systemBuffer",
// "skipTimestamp", "skipAttributes", "selfUpdate", "path" and "ignore" as
// the driver's configuration; for tests and the status.
struct StorageFileSettings {
  char path[kStorageFilePathBytes];
  char partialExtension[kStorageFileExtensionBytes];
  char lockDirectory[kStorageFilePathBytes];
  char ignorePath[kStorageFilePathBytes];
  int32_t skipTimestamp;
  int32_t skipAttributes;
  int32_t selfUpdate;
  uint32_t extraFileFlags;  // 0x100 unless "systemBuffer" is true
  // The file of names this storage puts in (StorageFile_SetRecordPath);
  // "" for none.
  char recordPath[kStorageFilePathBytes];
};

// The driver record. Step values: Exists, Read and Write take a
// StorageMember; EraseFile and CompleteFile take the file's FileEntry.
extern const StorageDriver kStorageFileDriver;

// Makes root (the installation directory as opened at the start; a copy is
// kept) the directory every later operation works in, whatever the
// configured path leads to by then; NULL: opened by the path on first use.
// After Configure, before the first operation. 1/0 with the last error.
int StorageFile_SetRoot(void *context, RootDirectory *root);
// The driver object's settings (after Configure). 1.
int StorageFile_GetSettings(void *context, StorageFileSettings *settings);
// Open records in the table.
int32_t StorageFile_GetOpenFileCount(void *context);
// 1 when a file of list is being built: by this driver, or under its
// partial name, left there by an earlier run. Such a file's pieces must be
// verified where they are, not taken as the installed version's by digest.
int StorageFile_HasPartialFile(void *context, FileList *list);
// Removes the regular files an earlier run left under the partial names of
// list's files (anything else there is left for the open to refuse). For a
// run that keeps the installed version: such a file holds another
// version's bytes, and the final file is the one to check. Returns the
// number removed.
int32_t StorageFile_RemovePartialFiles(void *context, FileList *list);

// The record of names put in: before a file or link is put at its final
// name, a line with its name and its device, inode, size and modified time
// is added to the "record" file (0600, made when missing; one of another
// user's or that others may write is replaced), so that a run stopped after
// it leaves nothing a later run cannot find. Once a version is whole in
// the root, StorageFile_RemoveRecorded removes each recorded entry whose
// name keep (that version's index) lacks while the entry at the name is
// still the one recorded (a file put there since, and any file no record
// names, stays), and keeps the record's last line of each name keep has
// (judged when a later version lacks it); keep NULL (the installation erased) removes the record
// alone. The number removed.
int32_t StorageFile_RemoveRecorded(void *context, FileIndex *keep);
// The line of this storage's last refusal of an entry not this run's
// (another user's in the way, one swapped in or for a built file) into out
// (size bytes): 1; 0 (out empty) when there was none.
int StorageFile_GetRefusal(void *context, char *out, int32_t size);
// Sets the record's path (after Configure, which clears it; "" for none).
// 1.
int StorageFile_SetRecordPath(void *context, const char *path);
