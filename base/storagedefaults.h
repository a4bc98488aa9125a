// StorageDefaults: the keys under "storage" that the application
// configuration holds for every storage and driver, with their defaults,
// in one table that the application's defaults merge.
//
// Threads: the table is constant; StorageDefaults_Merge changes only the
// caller's dictionary.
#pragma once

#include <cstdint>

#include "core/formats/dictionary.h"

enum class StorageDefaultKind { kString, kBoolean, kInt64 };

struct StorageDefault {
  const char *path;  // "storage.pieceFormat"
  StorageDefaultKind kind;
  const char *text;  // kString
  int64_t number;    // kBoolean (0 or 1) and kInt64
};

extern const StorageDefault kStorageDefaults[];
extern const int32_t kStorageDefaultCount;

// Sets every key of the table that config does not hold yet. Returns 1.
int StorageDefaults_Merge(Dictionary *config);
