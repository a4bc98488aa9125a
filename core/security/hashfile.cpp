// HashFile: see hashfile.h.
#include "core/security/hashfile.h"

#include <cstdarg>
#include <new>

#include "core/platform/file.h"
#include "core/platform/platform.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"

constexpr int32_t kHashFilePathBytes = 320;

struct HashFile {
  ObjectHeader header;
  ClassLog log;
  char path[kHashFilePathBytes];
  uint64_t remaining;
  uint64_t done;
  File *file;
  HashHandle *hash;
  int32_t lastError;
  CallbackCell completed;
  uint8_t buffer[kHashFileStepBytes];
};

#define HASHFILE_CHECK(h) CLASS_CHECK((h), kHashFileTag)

namespace {

void hashFileLogV(HashFile *h, const char *format, va_list args) {
  if (!Class_LogEnabled(&h->log, LOG_DEBUG)) return;
  Class_LogPrint(&h->log, 0, format, args);
}

void hashFileLog(HashFile *h, const char *format, ...) {
  va_list args;
  va_start(args, format);
  hashFileLogV(h, format, args);
  va_end(args);
}

void hashFileComplete(HashFile *h, int success) {
  void *context = nullptr;
  CallbackFunction function = nullptr;
  if (Callback_Get(&h->completed, &context, &function))
    reinterpret_cast<HashFileCompleteFunction>(function)(h, context, success);
}

// Ends a run that cannot finish: the File closed, the error kept.
void hashFileFail(HashFile *h, int32_t error) {
  h->lastError = error;
  File_Close(h->file);
  hashFileComplete(h, 0);
}

void hashFileDestroy(void **object) {
  auto *h = static_cast<HashFile *>(*object);
  *object = nullptr;
  Hash_Delete(&h->hash);
  File_Close(h->file);
  File_Release(&h->file);
  Callback_Clear(&h->completed);
  h->~HashFile();
  MEM_FREE(h, sizeof(HashFile));
}

}  // namespace

int HashFile_Create(HashFile **hashfile) {
  CHECK_POINTER(hashfile);
  *hashfile = nullptr;
  auto *h = new (MEM_ALLOC(sizeof(HashFile), MEM_ZEROED)) HashFile();
  h->header.classTag = kHashFileTag;
  h->header.refCount.store(1, std::memory_order_relaxed);
  h->header.destroy = hashFileDestroy;
  h->log.object = h;
  h->log.className = "HashFile";
  File_Create(&h->file);
  Hash_Create(&h->hash);
  *hashfile = h;
  return 1;
}

void HashFile_Release(HashFile **hashfile) {
  CHECK_POINTER(hashfile);
  HASHFILE_CHECK(*hashfile);
  Class_ReleaseObject(hashfile);
}

int HashFile_SetPath(HashFile *hashfile, const char *path) {
  HASHFILE_CHECK(hashfile);
  CHECK_POINTER(path);
  Str_Copy(hashfile->path, path, kHashFilePathBytes);
  return 1;
}

int HashFile_GetPath(HashFile *hashfile, char *out) {
  HASHFILE_CHECK(hashfile);
  CHECK_POINTER(out);
  Str_Copy(out, hashfile->path, kHashFilePathBytes);
  return 1;
}

int HashFile_SetHashInterface(HashFile *hashfile, const HashInterface *hashInterface) {
  HASHFILE_CHECK(hashfile);
  return Hash_SetInterface(hashfile->hash, hashInterface);
}

int HashFile_SetCompleteCallback(HashFile *hashfile, HashFileCompleteFunction function,
                                 void *context) {
  HASHFILE_CHECK(hashfile);
  return Callback_Set(&hashfile->completed, context, reinterpret_cast<CallbackFunction>(function));
}

int HashFile_IsRunning(HashFile *hashfile) {
  HASHFILE_CHECK(hashfile);
  return File_IsOpen(hashfile->file);
}

int HashFile_Start(HashFile *h) {
  HASHFILE_CHECK(h);
  h->lastError = 0;
  if (File_IsOpen(h->file)) {
    hashFileLog(h, "Already running.");
    return 1;
  }
  if (h->path[0] == '\0') {
    hashFileLog(h, "Path is empty.");
    hashFileComplete(h, 0);
    return 1;
  }
  if (!File_Open(h->file, h->path, kFileModeRead | kFileModeShareRead)) {
    h->lastError = File_GetLastError(h->file);
    hashFileLog(h, "Unable to open file (%s).", h->path);
    hashFileComplete(h, 0);
    return 0;
  }
  File_GetSizeAtOpen(h->file, &h->remaining);
  h->done = 0;
  return 1;
}

int HashFile_Poll(HashFile *h) {
  HASHFILE_CHECK(h);
  if (!File_IsOpen(h->file)) return 0;
  if (h->remaining > 0) {
    int32_t want = h->remaining < uint64_t(kHashFileStepBytes) ? int32_t(h->remaining)
                                                                : kHashFileStepBytes;
    int32_t count = 0;
    if (!File_Read(h->file, h->buffer, want, &count) || count <= 0) {
      // A failed read keeps its error; no bytes before the recorded size
      // means the file was cut after it was opened.
      int32_t error = File_GetLastError(h->file);
      hashFileFail(h, error != 0 ? error : kPlatformErrorHandleEof);
      return 1;
    }
    int64_t written = 0;
    Hash_Update(h->hash, h->buffer, count, &written);
    h->remaining -= uint64_t(count);
    h->done += uint64_t(count);
    if (h->remaining > 0) return 1;
  }
  Hash_Generate(h->hash);
  File_Close(h->file);
  hashFileComplete(h, 1);
  return 1;
}

int HashFile_GetDigestText(HashFile *hashfile, char *out, int32_t size) {
  HASHFILE_CHECK(hashfile);
  return Hash_GetDigestHex(hashfile->hash, out, size);
}

int HashFile_GetError(HashFile *hashfile, int *error) {
  HASHFILE_CHECK(hashfile);
  CHECK_POINTER(error);
  *error = hashfile->lastError;
  return 1;
}

int HashFile_Log(HashFile *hashfile, const char *format, ...) {
  HASHFILE_CHECK(hashfile);
  va_list args;
  va_start(args, format);
  hashFileLogV(hashfile, format, args);
  va_end(args);
  return 1;
}
