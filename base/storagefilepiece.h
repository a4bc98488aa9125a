// StorageFilePiece: the storage driver of type "filePiece", which keeps
// every piece of a metafile as one file of its own under an output
// directory, named by expanding a piece-name format such as
// "{targetInfoHash}/{targetDigest}.varnopiece". The repository uses it as a
// local piece cache. All file I/O runs asynchronously on the I/O worker.
//
// Invariants: (1) outputPath ends with a separator; every piece path is
// outputPath followed by the expanded format, normalised, and is refused
// (964/5) when it leads outside outputPath. (2) a read never writes past
// the request's capacity. (3) the directory collapse never follows a link
// and never goes above outputPath.
//
// Threads: configuration and status on the owner's thread; the step slots
// on I/O worker threads, several at once; the directory collapse holds the
// driver's lock.
#pragma once

#include <cstdint>

#include "base/storage.h"
#include "core/runtime/critsection.h"

constexpr uint32_t kStorageFilePieceTag = 0x57a6e0c3;
constexpr int32_t kStorageFilePieceTextBytes = 320;

struct StorageFilePiece {
  ObjectHeader header;  // kStorageFilePieceTag
  CriticalSection *lock;
  uint32_t extraFileFlags;  // 0x100 unless "systemBuffer" is true
  char pieceFormat[kStorageFilePieceTextBytes];
  char outputPath[kStorageFilePieceTextBytes];
  Storage *storage;  // borrowed: whose log the lines go to
  StorageLogFunction log;
};

extern const StorageDriver kStorageFilePieceDriver;
