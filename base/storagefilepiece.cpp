// The file-piece storage driver; see storagefilepiece.h.
#include "base/storagefilepiece.h"

#include <cstring>
#include <new>
#include <string>

#include "base/metafile.h"
#include "base/piecelist.h"
#include "base/storagechain.h"
#include "base/storagerequest.h"
#include "core/platform/asyncfile.h"
#include "core/platform/fileops.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"

namespace {

constexpr uint32_t kFilePieceReadFlags = kAsyncFileRead | kAsyncFileShareRead;  // 33
// Read and write, keeping an existing file; cut to 0 so that a shorter piece
// never keeps the tail of a longer one written before.
constexpr uint32_t kFilePieceWriteFlags = kAsyncFileRead | kAsyncFileWrite | kAsyncFileTruncate;
constexpr int32_t kErrorNotFound = 2;
constexpr int32_t kErrorPathNotFound = 3;
constexpr int32_t kErrorAccess = 5;
constexpr int32_t kErrorNameTooLong = 206;

StorageFilePiece *filePieceOf(void *context) {
  CLASS_CHECK(context, kStorageFilePieceTag);
  return static_cast<StorageFilePiece *>(context);
}

template <typename... Args>
void filePieceLog(StorageFilePiece *d, const char *format, Args... args) {
  if (d->storage != nullptr && d->log != nullptr) d->log(d->storage, format, args...);
}

void filePieceDestroy(void **object) {
  auto *d = static_cast<StorageFilePiece *>(*object);
  CriticalSection_Delete(&d->lock);
  d->header.classTag = 0;
  d->~StorageFilePiece();
  MEM_FREE(d, sizeof(StorageFilePiece));
}

int filePieceCreate(void **context) {
  CHECK_POINTER(context);
  auto *d = new (MEM_ALLOC(sizeof(StorageFilePiece), MEM_ZEROED)) StorageFilePiece();
  d->header.classTag = kStorageFilePieceTag;
  d->header.refCount.store(1);
  d->header.destroy = filePieceDestroy;
  CriticalSection_Create(&d->lock);
  d->extraFileFlags = kAsyncFileUnbuffered;
  *context = d;
  return 1;
}

int filePieceRelease(void **context) {
  Class_Release(context);
  return 1;
}

int filePieceSetLogHook(void *context, Storage *storage, StorageLogFunction log) {
  StorageFilePiece *d = filePieceOf(context);
  d->storage = storage;
  d->log = log;
  return 1;
}

int filePieceConfigure(void *context, Storage *storage, Dictionary *appConfig,
                       Dictionary *config) {
  StorageFilePiece *d = filePieceOf(context);
  char format[kStorageFilePieceTextBytes] = {};
  if (!Dictionary_GetStringByKey(config, "pieceFormat", format, int32_t(sizeof format)) &&
      (appConfig == nullptr || !Dictionary_GetStringByPath(appConfig, "storage.pieceFormat",
                                                           format, int32_t(sizeof format)))) {
    filePieceLog(d, "Configuration dictionary missing %s\n", "pieceFormat");
    return 0;
  }
  int32_t systemBuffer = 0;
  if (!Dictionary_GetBooleanByKey(config, "systemBuffer", &systemBuffer) &&
      (appConfig == nullptr ||
       !Dictionary_GetBooleanByPath(appConfig, "storage.systemBuffer", &systemBuffer))) {
    filePieceLog(d, "Configuration dictionary missing %s\n", "systemBuffer");
    return 0;
  }
  char path[kStorageFilePieceTextBytes] = {};
  char resolved[kStorageFilePieceTextBytes] = {};
  if (!Dictionary_GetStringByKey(config, "path", path, int32_t(sizeof path)) || path[0] == '\0') {
    filePieceLog(d, "Configuration dictionary missing %s\n", "path");
    return 0;
  }
  if (!Path_Resolve(path, resolved, int(sizeof resolved)) ||
      !Path_Normalize(resolved, int(sizeof resolved), kPathEnsureTrailing)) {
    filePieceLog(d, "Configuration dictionary invalid %s\n", "path");
    return 0;
  }
  Str_Copy(d->pieceFormat, format, int(sizeof d->pieceFormat));
  Str_Copy(d->outputPath, resolved, int(sizeof d->outputPath));
  d->extraFileFlags = systemBuffer ? 0 : kAsyncFileUnbuffered;
  Storage_SetLocation(storage, d->outputPath);
  return 1;
}

int filePieceStatus(void *context, Storage *, Dictionary *status) {
  StorageFilePiece *d = filePieceOf(context);
  Dictionary_SetInt64ByKey(status, "extraFileFlags", d->extraFileFlags);
  Dictionary_SetStringByKey(status, "outputPath", d->outputPath);
  Dictionary_SetStringByKey(status, "pieceFormat", d->pieceFormat);
  return 1;
}

// The file of a piece: 0 with path set, or the error pair's extended code
// (206 when the name does not fit, 5 when it leads outside outputPath).
int32_t filePiecePath(StorageFilePiece *d, MetaFile *meta, int32_t index, std::string *path) {
  char name[kStorageNameBytes];
  if (!Storage_ExpandFormat(d->pieceFormat, meta, index, nullptr, name, int32_t(sizeof name)))
    return kErrorNameTooLong;
  std::string joined = std::string(d->outputPath) + name;
  if (joined.size() >= size_t(kStorageNameBytes)) return kErrorNameTooLong;
  char normal[kStorageNameBytes];
  memcpy(normal, joined.c_str(), joined.size() + 1);
  if (!Path_Normalize(normal, int(sizeof normal), kPathRemoveTrailing)) return kErrorNameTooLong;
  size_t base = strlen(d->outputPath);
  if (strlen(normal) <= base || strncmp(normal, d->outputPath, base) != 0) {
    filePieceLog(d, "Piece path outside the output directory (%s)\n", joined.c_str());
    return kErrorAccess;
  }
  *path = normal;
  return 0;
}

bool filePieceIsFirstMember(StorageMember *m) {
  return m->previous == nullptr || m->previous->pieceIndex != m->pieceIndex;
}

// One read or write in flight.
struct FilePieceTransfer {
  AsyncFile *file;
  StorageStep *step;
  StorageRequest *request;
  uint8_t *buffer;
  int32_t reading;
};

void filePieceTransferDone(void *context, int64_t, void *, uint32_t bytesDone, uint32_t error) {
  auto *t = static_cast<FilePieceTransfer *>(context);
  if (error == 0 && t->reading) StorageRequest_AddLength(t->request, bytesDone);
  StorageRequest_ReleaseBuffer(t->request, &t->buffer);
  AsyncFile_Close(t->file);
  AsyncFile_Release(&t->file);
  StorageStep *step = t->step;
  delete t;
  Storage_CompleteStep(step, error == 0 ? 0 : kStorageResultFile, int32_t(error));
}

// Opens the piece file of the step's member; 1, or 0 with the step
// completed.
int filePieceOpen(StorageFilePiece *d, StorageStep *step, uint32_t flags, AsyncFile **file) {
  auto *r = static_cast<StorageRequest *>(step->argument);
  auto *m = static_cast<StorageMember *>(step->value);
  std::string path;
  int32_t refused = filePiecePath(d, StorageRequest_GetMetaFile(r), m->pieceIndex, &path);
  if (refused != 0) {
    Storage_CompleteStep(step, kStorageResultFile, refused);
    return 0;
  }
  if (flags & kAsyncFileWrite) {
    FileIdentity identity;
    if (Platform_GetFileIdentity(path.c_str(), 0, &identity)) Path_MakeWritable(path.c_str());
  }
  AsyncFile *f = nullptr;
  AsyncFile_Create(&f);
  AsyncFile_DisableOpenRetry(f);
  MeterRW *meters = nullptr, *fileMeters = nullptr;
  Storage_GetMeters(step->storage, &meters);
  AsyncFile_GetMeter(f, &fileMeters);
  MeterRW_SetParent(fileMeters, meters);
  if (!AsyncFile_Open(f, path.c_str(), flags)) {
    int32_t error = AsyncFile_GetLastError(f);
    AsyncFile_Release(&f);
    Storage_CompleteStep(step, kStorageResultFile, error);
    return 0;
  }
  *file = f;
  return 1;
}

int filePieceRead(void *context, StorageStep *step) {
  StorageFilePiece *d = filePieceOf(context);
  auto *r = static_cast<StorageRequest *>(step->argument);
  auto *m = static_cast<StorageMember *>(step->value);
  if (!filePieceIsFirstMember(m)) return Storage_CompleteStep(step, 0, 0);
  AsyncFile *file = nullptr;
  if (!filePieceOpen(d, step, d->extraFileFlags | kFilePieceReadFlags | kAsyncFileQuietMissing,
                     &file))
    return 1;
  int64_t pieceSize = PieceList_GetPieceSize(MetaFile_GetPieceList(StorageRequest_GetMetaFile(r)));
  int64_t size = std::min(pieceSize + kStorageRequestSlack,
                          StorageRequest_GetCapacity(r) - m->paddedOffset);
  auto *t = new FilePieceTransfer{file, step, r, nullptr, 1};
  StorageRequest_GetBuffer(r, m->paddedOffset, &t->buffer);
  AsyncFile_Read(file, 0, t->buffer, uint32_t(size), filePieceTransferDone, t);
  return 1;
}

int filePieceWrite(void *context, StorageStep *step) {
  StorageFilePiece *d = filePieceOf(context);
  auto *r = static_cast<StorageRequest *>(step->argument);
  auto *m = static_cast<StorageMember *>(step->value);
  if (!filePieceIsFirstMember(m)) return Storage_CompleteStep(step, 0, 0);
  bool pads = StorageRequest_TestEncoding(r, kStorageFlagPad);
  int64_t size = 0;
  for (StorageMember *n = m; n != nullptr && n->pieceIndex == m->pieceIndex; n = n->next)
    size += n->length + (pads ? n->pad : 0);
  size = std::min(size, StorageRequest_GetCapacity(r) - m->paddedOffset);
  AsyncFile *file = nullptr;
  if (!filePieceOpen(d, step, d->extraFileFlags | kFilePieceWriteFlags, &file)) return 1;
  auto *t = new FilePieceTransfer{file, step, r, nullptr, 0};
  StorageRequest_GetBuffer(r, m->paddedOffset, &t->buffer);
  AsyncFile_Write(file, 0, t->buffer, uint32_t(size), filePieceTransferDone, t);
  return 1;
}

int filePieceExists(void *context, StorageStep *step) {
  StorageFilePiece *d = filePieceOf(context);
  auto *r = static_cast<StorageRequest *>(step->argument);
  auto *m = static_cast<StorageMember *>(step->value);
  std::string path;
  FileIdentity identity;
  bool present = filePiecePath(d, StorageRequest_GetMetaFile(r), m->pieceIndex, &path) == 0 &&
                 Platform_GetFileIdentity(path.c_str(), 1, &identity);
  return Storage_CompleteStep(step, present ? 0 : kStorageResultMissing, 0);
}

// Opens the directory of path (everything before its last separator).
PlatformDirectory *filePieceOpenParent(const std::string &path, std::string *leaf) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return nullptr;
  *leaf = path.substr(slash + 1);
  PlatformDirectory *directory = nullptr;
  std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
  return Platform_OpenDirectoryAt(nullptr, parent.c_str(), &directory) ? directory : nullptr;
}

// Removes empty directories from the piece's own up to outputPath itself.
void filePieceCollapse(StorageFilePiece *d, std::string directory) {
  CriticalSection_Enter(d->lock);
  size_t base = strlen(d->outputPath);
  while (directory.size() + 1 >= base) {
    std::string leaf;
    PlatformDirectory *parent = filePieceOpenParent(directory, &leaf);
    if (parent == nullptr) break;
    PlatformDirectory *self = nullptr;
    bool removed = false;
    if (Platform_OpenDirectoryAt(parent, leaf.c_str(), &self)) {
      Platform_CloseDirectory(&self);
      removed = FileOps_RemoveAt(parent, leaf.c_str(), 1) != 0;
    }
    Platform_CloseDirectory(&parent);
    if (!removed) break;
    filePieceLog(d, "Collapse Directory (%s)\n", directory.c_str());
    size_t slash = directory.find_last_of('/');
    if (slash == std::string::npos || slash == 0) break;
    directory.resize(slash);
  }
  CriticalSection_Leave(d->lock);
}

int filePieceErasePiece(void *context, StorageStep *step) {
  StorageFilePiece *d = filePieceOf(context);
  auto *meta = static_cast<MetaFile *>(step->argument);
  auto index = int32_t(reinterpret_cast<intptr_t>(step->value));
  PieceList *list = meta != nullptr ? MetaFile_GetPieceList(meta) : nullptr;
  char digest[160] = {};
  if (list == nullptr || index < 0 || index >= PieceList_GetPieceTotal(list) ||
      !PieceList_GetDigestHex(list, index, digest, int32_t(sizeof digest)))
    return Storage_CompleteStep(step, 0, 0);
  filePieceLog(d, "Erase (%s)\n", digest);
  std::string path;
  int32_t refused = filePiecePath(d, meta, index, &path);
  if (refused != 0) return Storage_CompleteStep(step, kStorageResultFile, refused);
  std::string leaf;
  PlatformDirectory *parent = filePieceOpenParent(path, &leaf);
  if (parent == nullptr) return Storage_CompleteStep(step, 0, 0);
  int removed = FileOps_RemoveAt(parent, leaf.c_str(), 0);
  int32_t error = removed ? 0 : Platform_GetLastError();
  Platform_CloseDirectory(&parent);
  if (!removed) {
    if (error == kErrorNotFound || error == kErrorPathNotFound)
      return Storage_CompleteStep(step, 0, 0);
    return Storage_CompleteStep(step, kStorageResultFile, error);
  }
  filePieceCollapse(d, path.substr(0, path.find_last_of('/')));
  Storage_SetLastActivity(step->storage, Platform_GetTickSeconds());
  return Storage_CompleteStep(step, 0, 0);
}

int filePieceCompleteFile(void *, StorageStep *step) { return Storage_CompleteStep(step, 0, 0); }

}  // namespace

const StorageDriver kStorageFilePieceDriver = {
    "StorageFilePiece",       filePieceCreate,     StorageDriver_AddRef,
    filePieceRelease,         filePieceSetLogHook, filePieceConfigure,
    StorageDriver_NoOp,       StorageDriver_NoOpActive, filePieceStatus,
    StorageDriver_NoOp,       filePieceExists,     filePieceRead,
    filePieceWrite,           filePieceErasePiece, StorageDriver_NotSupported,
    filePieceCompleteFile,
};
