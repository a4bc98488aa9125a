// Defaults of the storage keys; see storagedefaults.h.
#include "base/storagedefaults.h"

#include "core/runtime/core.h"
#include "core/runtime/str.h"

namespace {
constexpr const char kPartialExtensionDefault[] = ".varnopartial";
}  // namespace

const StorageDefault kStorageDefaults[] = {
    {"storage.pieceFormat", StorageDefaultKind::kString,
     "{targetInfoHash}/{targetDigest}.varnopiece", 0},
    {"storage.deltaFormat", StorageDefaultKind::kString,
     "{sourceInfoHash}/{targetDigest}.varnodelta", 0},
    {"storage.systemBuffer", StorageDefaultKind::kBoolean, nullptr, 1},
    {"storage.partialExtension", StorageDefaultKind::kString, kPartialExtensionDefault, 0},
    {"storage.lockDirectory", StorageDefaultKind::kString, "{moduleDirectory}_lock{pathSlash}",
     0},
    {"storage.skipTimestamp", StorageDefaultKind::kBoolean, nullptr, 0},
    {"storage.skipAttributes", StorageDefaultKind::kBoolean, nullptr, 0},
    {"storage.selfUpdate", StorageDefaultKind::kBoolean, nullptr, 0},
    {"storage.deltaCacheSize", StorageDefaultKind::kInt64, nullptr, 33554432},
    {"storage.requests", StorageDefaultKind::kInt64, nullptr, 8},
    {"storage.fileCompletes", StorageDefaultKind::kInt64, nullptr, 10},
};
const int32_t kStorageDefaultCount = int32_t(sizeof kStorageDefaults / sizeof kStorageDefaults[0]);

int StorageDefaults_Merge(Dictionary *config) {
  CHECK_POINTER(config);
  for (const StorageDefault &d : kStorageDefaults) {
    if (Dictionary_HasPath(config, d.path)) continue;
    switch (d.kind) {
      case StorageDefaultKind::kString:
        Dictionary_SetStringByPath(config, d.path, d.text);
        break;
      case StorageDefaultKind::kBoolean:
        Dictionary_SetBooleanByPath(config, d.path, int32_t(d.number));
        break;
      case StorageDefaultKind::kInt64:
        Dictionary_SetInt64ByPath(config, d.path, d.number);
        break;
    }
  }
  return 1;
}

int StorageDefaults_GetPartialExtension(Dictionary *storage, Dictionary *appConfig, char *out,
                                        int32_t size) {
  CHECK_POINTER(out);
  if ((storage != nullptr && Dictionary_GetStringByKey(storage, "partialExtension", out, size)) ||
      (appConfig != nullptr &&
       Dictionary_GetStringByPath(appConfig, "storage.partialExtension", out, size)))
    return 1;
  Str_Copy(out, kPartialExtensionDefault, size);
  return 0;
}

const char *StorageDefaults_GetAsideSuffix(const char *partialExtension) {
  return partialExtension != nullptr && partialExtension[0] != '\0' ? partialExtension
                                                                     : kPartialExtensionDefault;
}
