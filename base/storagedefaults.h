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

// The extension a file storage builds a file under until it is whole: the
// storage's own "partialExtension" (storage, may be NULL), else appConfig's
// "storage.partialExtension" (may be NULL), else ".varnopartial". ""
// means files are written under their final names. Returns 1 when one of
// the two dictionaries gave it, 0 when out holds the default.
int StorageDefaults_GetPartialExtension(Dictionary *storage, Dictionary *appConfig, char *out,
                                        int32_t size);
// The suffix of the trees a file storage builds aside (for a name that
// changes type): the partial extension, or the default one when files are
// written under their final names. No metafile name may end in it.
const char *StorageDefaults_GetAsideSuffix(const char *partialExtension);
