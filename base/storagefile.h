// StorageFile: the storage driver of type "file", whose data are the
// installed files themselves under a root directory. It reads and writes
// byte ranges of files (the members of a StorageRequest), keeps a file being
// written under a partial name ("<name>.varnopartial") until the file is
// completed, then gives it its final name, size, modified time and
// read-only bit; it erases files (sparing the names of an ignore file) and
// removes the directories that erasing empties.
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
// complete. (3) with selfUpdate the bytes of the final file are copied to
// the partial name before the first write, so the final file's inode is
// never written (a running program keeps it) and verified pieces stay.
// (4) transfers move exactly their member's bytes; fewer is 962.
//
// Threads: configuration and status on the owner's thread; the step slots
// on I/O worker threads, several at once; transfer completions on I/O
// worker threads. The table lock guards the open-file and ignore tables,
// the completed lock the completed-file table; a record's lock (taken after
// the table lock) guards its opening.
#pragma once

#include <cstdint>

#include "base/storage.h"

constexpr uint32_t kStorageFileTag = 0x57a6e0c4;
constexpr int32_t kStorageFilePathBytes = 320;
constexpr int32_t kStorageFileExtensionBytes = 32;

// Open modes of StorageFile_Open.
constexpr uint32_t kStorageFileModeRead = 1;
constexpr uint32_t kStorageFileModeWrite = 2;
constexpr uint32_t kStorageFileModeSelfUpdate = 4;

// "attr" bits of a file entry.
constexpr uint32_t kStorageFileAttrReadOnly = 1;
constexpr uint32_t kStorageFileAttrLink = 8;

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
};

// The driver record. Step values: Exists, Read and Write take a
// StorageMember; EraseFile and CompleteFile take the file's FileEntry.
extern const StorageDriver kStorageFileDriver;

// The driver object's settings (after Configure). 1.
int StorageFile_GetSettings(void *context, StorageFileSettings *settings);
// Open records in the table.
int32_t StorageFile_GetOpenFileCount(void *context);
