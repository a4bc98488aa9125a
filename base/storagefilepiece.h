// StorageFilePiece: the storage driver of type "filePiece", which keeps
// every piece of a metafile as one file of its own under an output
// directory, named by expanding a piece-name format such as
// "{targetInfoHash}/{targetDigest}.varnopiece". The repository uses it as a
// local piece cache. All file I/O runs asynchronously on the I/O worker.
//
// Invariants: (1) outputPath ends with a separator; every piece file is
// the expanded format, a name below outputPath, opened, erased and made
// writable through the root's RootDirectory (core/platform/rootdir.h): a
// name that would leave it is refused (964/5). (2) a read never writes past
// the request's capacity. (3) the directory collapse never follows a link
// and never goes above outputPath.
//
// Threads: configuration and status on the owner's thread; the step slots
// on I/O worker threads, several at once; the root's opening and the
// directory collapse hold the driver's lock.
#pragma once

#include <cstdint>

#include "base/storage.h"
#include "core/platform/rootdir.h"
#include "core/runtime/critsection.h"

constexpr uint32_t kStorageFilePieceTag = 0x57a6e0c3;
constexpr int32_t kStorageFilePieceTextBytes = 320;

struct StorageFilePiece {
  ObjectHeader header;  // kStorageFilePieceTag
  CriticalSection *lock;
  uint32_t extraFileFlags;  // 0x100 unless "systemBuffer" is true
  char pieceFormat[kStorageFilePieceTextBytes];
  char outputPath[kStorageFilePieceTextBytes];
  RootDirectory *root;  // outputPath, opened on first use; NULL while it is missing
  int32_t rootUsers;    // steps working through root (under lock)
  int32_t rootStale;    // outputPath was removed: opened again once unused
  Storage *storage;  // borrowed: whose log the lines go to
  StorageLogFunction log;
};

extern const StorageDriver kStorageFilePieceDriver;
