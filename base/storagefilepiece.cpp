// The file-piece storage driver; see storagefilepiece.h.
#include "base/storagefilepiece.h"

#include <sys/stat.h>

#include <cerrno>
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
#include "core/platform/rootdir.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"

namespace {

constexpr uint32_t kFilePieceReadFlags = kAsyncFileRead | kAsyncFileShareRead;  // 33
// Read and write, keeping an existing file; cut to 0 so that a shorter piece
// never keeps the tail of a longer one written before. Private: a staged
// piece holds bytes of files that may be 0600 once installed, so it is
// 0600 itself, and a file found at its name is written only when it is
// this user's and nobody else may write it (RootDirectory_OpenFile).
constexpr uint32_t kFilePieceWriteFlags =
    kAsyncFileRead | kAsyncFileWrite | kAsyncFileTruncate | kAsyncFilePrivate;
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
  RootDirectory_Close(&d->root);
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
  CriticalSection_Enter(d->lock);
  if (strcmp(d->outputPath, resolved) != 0) RootDirectory_Close(&d->root);
  Str_Copy(d->outputPath, resolved, int(sizeof d->outputPath));
  CriticalSection_Leave(d->lock);
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

// The name of a piece's file below outputPath: 0 with name set, or the
// error pair's extended code (206 when it does not fit).
int32_t filePieceName(StorageFilePiece *d, MetaFile *meta, int32_t index, std::string *name) {
  char expanded[kStorageNameBytes];
  if (!Storage_ExpandFormat(d->pieceFormat, meta, index, nullptr, expanded,
                            int32_t(sizeof expanded)))
    return kErrorNameTooLong;
  *name = expanded;
  // Refused before the file system is asked: an absolute name, or one whose
  // ".." climbs above outputPath.
  int32_t depth = 0;
  bool escapes = name->empty() || (*name)[0] == '/' || (*name)[0] == '\\';
  for (size_t at = 0; at < name->size() && !escapes;) {
    size_t end = name->find_first_of("/\\", at);
    if (end == std::string::npos) end = name->size();
    std::string part = name->substr(at, end - at);
    if (part == "..")
      escapes = --depth < 0;
    else if (!part.empty() && part != ".")
      depth++;
    at = end + 1;
  }
  if (escapes) {
    filePieceLog(d, "Piece path outside the output directory (%s)\n", name->c_str());
    return kErrorAccess;
  }
  return 0;
}

// The root for one step, opened on first use (made first with create 1)
// and again after the collapse removed it; root NULL with the last error
// when it is missing.
struct FilePieceRoot {
  StorageFilePiece *d;
  RootDirectory *root = nullptr;
  FilePieceRoot(StorageFilePiece *driver, int create) : d(driver) {
    CriticalSection_Enter(d->lock);
    if (d->root != nullptr && d->rootStale && d->rootUsers == 0) RootDirectory_Close(&d->root);
    if (d->root == nullptr && RootDirectory_Open(d->outputPath, create, &d->root))
      d->rootStale = 0;
    root = d->root;
    int error = root ? 0 : Platform_GetLastError();
    if (root != nullptr) d->rootUsers++;
    CriticalSection_Leave(d->lock);
    if (root == nullptr) Platform_SetLastError(error ? error : kErrorPathNotFound);
  }
  ~FilePieceRoot() {
    if (root == nullptr) return;
    CriticalSection_Enter(d->lock);
    d->rootUsers--;
    CriticalSection_Leave(d->lock);
  }
  FilePieceRoot(const FilePieceRoot &) = delete;
  FilePieceRoot &operator=(const FilePieceRoot &) = delete;
};

// A failure of the layer, with an escape logged.
int32_t filePieceFailure(StorageFilePiece *d, const std::string &name) {
  int32_t error = Platform_GetLastError();
  if (error == kErrorAccess)
    filePieceLog(d, "Piece path outside the output directory (%s)\n", name.c_str());
  return error ? error : kPlatformErrorGeneral;
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
  std::string name;
  int32_t refused = filePieceName(d, StorageRequest_GetMetaFile(r), m->pieceIndex, &name);
  if (refused != 0) {
    Storage_CompleteStep(step, kStorageResultFile, refused);
    return 0;
  }
  bool writing = (flags & kAsyncFileWrite) != 0;
  AsyncFile *f = nullptr;
  int32_t error = 0;
  {  // the root is let go before the step completes
    FilePieceRoot use(d, writing ? 1 : 0);
    if (use.root == nullptr) {
      error = filePieceFailure(d, name);
    } else {
      if (writing) RootDirectory_MakeWritable(use.root, name.c_str());
      AsyncFile_Create(&f);
      MeterRW *meters = nullptr, *fileMeters = nullptr;
      Storage_GetMeters(step->storage, &meters);
      AsyncFile_GetMeter(f, &fileMeters);
      MeterRW_SetParent(fileMeters, meters);
      bool opened = RootDirectory_OpenFile(use.root, name.c_str(), flags, f) != 0;
      // A piece file with another hard link, or one that is not ours alone,
      // is not written: the name is removed (the linked file stays as it
      // is) and the piece made afresh.
      int refused = opened ? 0 : Platform_GetLastErrno();
      if (writing && (refused == EMLINK || refused == EPERM) &&
          RootDirectory_Remove(use.root, name.c_str(), 0))
        opened = RootDirectory_OpenFile(use.root, name.c_str(), flags | kAsyncFileCreateNew, f) != 0;
      if (!opened) {
        error = filePieceFailure(d, name);
        AsyncFile_Release(&f);
      }
    }
  }
  if (f == nullptr) {
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
  std::string name;
  FileIdentity identity;
  bool present = false;
  if (filePieceName(d, StorageRequest_GetMetaFile(r), m->pieceIndex, &name) == 0) {
    FilePieceRoot use(d, 0);
    present = use.root != nullptr &&
              RootDirectory_GetIdentity(use.root, name.c_str(), &identity) &&
              S_ISREG(identity.mode);
  }
  return Storage_CompleteStep(step, present ? 0 : kStorageResultMissing, 0);
}

// Removes the emptied directories of name, then outputPath itself when it
// has become empty (the root is opened again, and made, on the next write).
void filePieceCollapse(StorageFilePiece *d, RootDirectory *root, std::string name) {
  CriticalSection_Enter(d->lock);
  bool emptied = true;
  for (size_t slash = name.find_last_of('/'); slash != std::string::npos;
       slash = name.find_last_of('/')) {
    name.resize(slash);
    if (name.empty()) break;
    FileIdentity identity;
    if (!RootDirectory_GetIdentity(root, name.c_str(), &identity) || !S_ISDIR(identity.mode) ||
        !RootDirectory_Remove(root, name.c_str(), 1)) {
      emptied = false;
      break;
    }
    filePieceLog(d, "Collapse Directory (%s%s)\n", d->outputPath, name.c_str());
  }
  std::string path = d->outputPath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.find_last_of('/');
  PlatformDirectory *parent = nullptr;
  if (emptied && slash != std::string::npos &&
      Platform_OpenDirectoryAt(nullptr, slash == 0 ? "/" : path.substr(0, slash).c_str(),
                               &parent)) {
    if (FileOps_RemoveAt(parent, path.c_str() + slash + 1, 1)) {
      filePieceLog(d, "Collapse Directory (%s)\n", d->outputPath);
      if (d->root == root) d->rootStale = 1;
    }
    Platform_CloseDirectory(&parent);
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
  std::string name;
  int32_t refused = filePieceName(d, meta, index, &name);
  if (refused != 0) return Storage_CompleteStep(step, kStorageResultFile, refused);
  int32_t result = 0, error = 0;
  {  // the root is let go before the step completes
    FilePieceRoot use(d, 0);
    if (use.root == nullptr) {
      // nothing stored at all
    } else if (!RootDirectory_Remove(use.root, name.c_str(), 0)) {
      error = filePieceFailure(d, name);
      if (error != kErrorNotFound && error != kErrorPathNotFound) result = kStorageResultFile;
    } else {
      filePieceCollapse(d, use.root, name);
      Storage_SetLastActivity(step->storage, Platform_GetTickSeconds());
    }
  }
  return Storage_CompleteStep(step, result, result != 0 ? error : 0);
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
