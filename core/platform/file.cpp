// The synchronous File; see file.h.
#include "core/platform/file.h"

#include <cstdarg>
#include <cstring>

#include "core/runtime/bufstream.h"
#include "core/runtime/str.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/filereplace.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"

namespace {

constexpr const char kFileClassName[] = "File";
// Every File message is written whenever the class log is on.
constexpr int kFileLogLevel = 0;
constexpr int kFileNoHeldByte = -1;

}  // namespace

struct File {
  ObjectHeader header;
  ClassLog log;  // "File"
  Stream stream;  // context = this File; its error word is the last error
  PlatformFileStatus statAtOpen;
  int32_t openAttempts;
  int32_t createParents;
  char path[kPathMax];  // resolved and normalised
  uint32_t mode;        // of the last File_Open
  int fd;               // -1 while closed
  // Text mode: a byte taken from the file but not yet delivered (a CR
  // waiting for the byte after it, or the byte that followed such a CR), or
  // kFileNoHeldByte. The descriptor's offset is one past it.
  int held;
};

namespace {

#define FILE_CHECK(f) CLASS_CHECK((f), kFileTag)

void fileLogV(File *f, const char *format, va_list args) {
  if (!Class_LogEnabled(&f->log, kFileLogLevel) || !Log_IsEnabled()) return;
  Class_LogPrint(&f->log, 0, format, args);
}

void fileLog(File *f, const char *format, ...) {
  va_list args;
  va_start(args, format);
  fileLogV(f, format, args);
  va_end(args);
}

// Takes the platform's error for the operation that just failed.
int fileFail(File *f) {
  f->stream.error = Platform_GetLastError();
  if (f->stream.error == 0) f->stream.error = kPlatformErrorGeneral;
  return 0;
}

// A call on a closed File: "No file handle is open - cannot <operation>".
int fileNotOpen(File *f, const char *operation) {
  fileLog(f, "No file handle is open - cannot %s", operation);
  f->stream.error = kPlatformErrorInvalidHandle;
  return 0;
}

// Gives a held byte back to the file, so that the descriptor's offset is the
// logical position again before anything but a read.
int fileSettle(File *f) {
  if (f->held == kFileNoHeldByte) return 1;
  if (!Platform_SeekFile(f->fd, -1, 1, nullptr)) return fileFail(f);
  f->held = kFileNoHeldByte;
  return 1;
}

// ---- Stream slots ---------------------------------------------------------

int fileSlotWrite(void *context, const void *data, int32_t length, int32_t *written) {
  return File_Write(static_cast<File *>(context), data, length, written);
}
int fileSlotRead(void *context, void *buffer, int32_t length, int32_t *read) {
  return File_Read(static_cast<File *>(context), buffer, length, read);
}
int fileSlotSeek(void *context, int64_t offset, StreamOrigin origin) {
  return File_Seek(static_cast<File *>(context), offset, origin);
}
int fileSlotFlush(void *context) { return File_Flush(static_cast<File *>(context)); }
int fileSlotTell(void *context, uint64_t *position) {
  return File_Tell(static_cast<File *>(context), position);
}
int fileSlotGetSize(void *context, int64_t *size) {
  uint64_t value = 0;
  int result = File_GetSize(static_cast<File *>(context), &value);
  *size = int64_t(value);
  return result;
}
int fileSlotIsOpen(void *context) { return File_IsOpen(static_cast<File *>(context)); }
int fileSlotClose(void *context) { return File_Close(static_cast<File *>(context)); }

constexpr Stream kFileStreamRecord = {
    nullptr,          // context: set per object
    nullptr,          // Peek
    fileSlotWrite,    // Write
    nullptr,          // WriteAsync
    fileSlotRead,     // Read
    nullptr,          // ReadAsync
    fileSlotSeek,     // Seek
    fileSlotFlush,    // Flush
    fileSlotTell,     // Tell
    fileSlotGetSize,  // GetSize
    fileSlotIsOpen,   // IsOpen
    fileSlotClose,    // Close
    0,                // error
};

void fileDestroy(void **object) {
  auto *f = static_cast<File *>(*object);
  *object = nullptr;
  if (f->fd != -1) {
    fileLog(f, "File not properly closed on delete [%s]\n", f->path);
    File_Close(f);
  }
  f->header.classTag = 0;
  MEM_FREE(f, sizeof(File));
}

// ---- Opening ---------------------------------------------------------------

// The open(2) flags of a mode. Truncation is done after opening, once the
// share modes have let the open through: O_TRUNC would cut a file that
// another holder denies us.
int fileOpenFlags(uint32_t mode) {
  bool reads = mode & kFileModeRead, writes = mode & kFileModeWrite;
  if (reads && writes)
    return kPlatformOpenReadWrite | ((mode & kFileModeAppend) ? 0 : kPlatformOpenCreate);
  if (reads) return kPlatformOpenReadOnly;
  if (writes) return kPlatformOpenWriteOnly | kPlatformOpenCreate;
  Core_Abort(KSRC, "Unknown mode [%d]\n", int(mode));
}

// Whether a failure is logged: not a missing file under the quiet bit.
bool fileLogsFailure(const File *f, int error) {
  return !((f->mode & kFileModeQuietMissing) && Platform_IsErrorMissing(error));
}

// Positions a freshly opened file as the mode asks. 1, or 0 with the error.
int filePlace(File *f) {
  if ((f->mode & kFileModeAppend) && !Platform_SeekFile(f->fd, 0, 2, nullptr)) return 0;
  if ((f->mode & kFileModeTruncate) &&
      (!Platform_SeekFile(f->fd, 0, 0, nullptr) || !Platform_TruncateFile(f->fd, 0)))
    return 0;
  return 1;
}

// One attempt. 1 open; 0 with the error in *error.
int fileOpenOnce(File *f, int flags, int *error) {
  bool exists = Platform_Stat(f->path, &f->statAtOpen);
  if (!exists) {
    *error = Platform_GetLastError();
    // Only a missing file is created; a path that cannot be looked at fails.
    if (!Platform_IsErrorMissing(*error) || !(flags & kPlatformOpenCreate)) return 0;
    if (f->createParents && !Path_CreateDirectory(f->path, 1, error)) return 0;
  }
  int share = int(f->mode & (kFileModeShareRead | kFileModeShareWrite));
  static_assert(kFileModeShareRead == uint32_t(kPlatformShareRead) &&
                kFileModeShareWrite == uint32_t(kPlatformShareWrite));
  f->fd = Platform_OpenFile(f->path, flags, share);
  if (f->fd == -1) {
    *error = Platform_GetLastError();
    return 0;
  }
  if (!exists) Platform_Stat(f->path, &f->statAtOpen);
  if (filePlace(f)) return 1;
  *error = Platform_GetLastError();
  Platform_CloseFile(f->fd);
  f->fd = -1;
  return 0;
}

}  // namespace

int File_Create(File **file) {
  CHECK_POINTER(file);
  auto *f = static_cast<File *>(MEM_ALLOC(sizeof(File), MEM_ZEROED));
  f->header.classTag = kFileTag;
  f->header.refCount.store(1, std::memory_order_relaxed);
  f->header.destroy = fileDestroy;
  f->log.object = f;
  f->log.className = kFileClassName;
  f->stream = kFileStreamRecord;
  f->stream.context = f;
  f->openAttempts = kFileOpenAttempts;
  f->createParents = 1;
  f->fd = -1;
  f->held = kFileNoHeldByte;
  *file = f;
  return 1;
}

void File_Release(File **file) {
  CHECK_POINTER(file);
  FILE_CHECK(*file);
  Class_ReleaseObject(file);
}

void File_DisableRetries(File *file) {
  FILE_CHECK(file);
  file->openAttempts = 1;
}

int File_Open(File *file, const char *path, uint32_t mode) {
  FILE_CHECK(file);
  CHECK_POINTER(path);
  if (mode & FILE_NOBUFFER)
    Core_Abort(KSRC,
               "Assertion failed (ThisIsNot(Flags, FILE_NOBUFFER))\nUnbuffered I/O not supported "
               "in synchronous files");
  file->stream.error = 0;
  if (file->fd != -1)
    Core_Abort(KSRC,
               "Assertion failed (File->AccessPtr == 0)\nPrevious file [%s] must be closed before "
               "opening [%s]\n",
               file->path, path);
  int flags = fileOpenFlags(mode);
  file->mode = mode;
  file->held = kFileNoHeldByte;
  memset(&file->statAtOpen, 0, sizeof file->statAtOpen);

  int error = 0;
  // The text as the user gave it: folding ".." here would open another file
  // than the one open(2) reads for it ("../x" as "x").
  if (!Path_ResolveAsGiven(path, file->path, sizeof file->path)) {
    error = Platform_GetLastError();
    file->path[0] = '\0';
  } else {
    for (int attempt = 0; attempt < file->openAttempts; attempt++) {
      if (fileOpenOnce(file, flags, &error)) return 1;
      // Only a holder goes away by itself; anything else fails the same way
      // twenty times.
      if (!Platform_IsErrorLocked(error) || attempt + 1 >= file->openAttempts) break;
      Platform_SleepMs(kFileRetryPauseMs);
      if (fileLogsFailure(file, error))
        fileLog(file, "Retrying open file (%s) (%d) [Err: %d]", file->path, attempt, error);
    }
  }
  file->fd = -1;
  file->stream.error = error ? error : kPlatformErrorGeneral;
  if (fileLogsFailure(file, error))
    fileLog(file, "Unable to open file [%s][%.8X](%d : %.8X)\n", file->path[0] ? file->path : path,
            flags, error, error);
  return 0;
}

int File_Close(File *file) {
  FILE_CHECK(file);
  file->stream.error = 0;
  if (file->fd == -1) return 1;
  int result = Platform_CloseFile(file->fd);
  file->fd = -1;
  file->held = kFileNoHeldByte;
  if (result) return 1;
  fileFail(file);
  fileLog(file, "Unable to close [%s] [Err: %d]", file->path, file->stream.error);
  return 0;
}

int File_IsOpen(File *file) {
  FILE_CHECK(file);
  return file->fd != -1 ? 1 : 0;
}

// ---- Reading and writing ------------------------------------------------------

namespace {

// Raw bytes into buffer. 1 with *count (0 at the end), 0 on an error.
int fileReadRaw(File *f, char *buffer, int32_t size, int32_t *count) {
  size_t got = 0;
  int result = Platform_ReadFile(f->fd, buffer, size_t(size), &got);
  *count = int32_t(got);
  return result;
}

// Drops the CR of each CR LF in buffer[0, length); a CR in the last place
// is held unless the file has ended. Returns the bytes kept.
int32_t fileTranslate(File *f, char *buffer, int32_t length, bool ended) {
  int32_t kept = 0;
  for (int32_t i = 0; i < length; i++) {
    char c = buffer[i];
    if (c == '\r') {
      if (i + 1 < length && buffer[i + 1] == '\n') continue;
      if (i + 1 == length && !ended) {
        f->held = '\r';
        break;
      }
    }
    buffer[kept++] = c;
  }
  return kept;
}

// Text mode: as raw, with CR LF read as LF across read boundaries.
int fileReadText(File *f, char *buffer, int32_t size, int32_t *count) {
  int32_t length = 0;
  int held = f->held;
  if (held != kFileNoHeldByte) {
    buffer[length++] = char(held);
    f->held = kFileNoHeldByte;
  }
  bool ended = false;
  if (length < size) {
    int32_t got = 0;
    if (!fileReadRaw(f, buffer + length, size - length, &got)) {
      f->held = held;  // nothing is lost: the held byte waits for the next read
      return 0;
    }
    ended = got == 0;
    length += got;
  }
  *count = fileTranslate(f, buffer, length, ended);
  if (*count > 0 || f->held == kFileNoHeldByte) return 1;
  // A CR alone in a buffer of one byte: the next byte decides what it is.
  char next;
  int32_t got = 0;
  if (!fileReadRaw(f, &next, 1, &got)) return 0;  // the CR stays held
  f->held = kFileNoHeldByte;
  if (got == 1 && next == '\n') {
    buffer[0] = '\n';
  } else {
    buffer[0] = '\r';
    if (got == 1) f->held = (unsigned char)next;
  }
  *count = 1;
  return 1;
}

}  // namespace

int File_Read(File *file, void *buffer, int32_t size, int32_t *count) {
  FILE_CHECK(file);
  CHECK_POINTER(buffer);
  CHECK_POINTER(count);
  *count = 0;
  file->stream.error = 0;
  if (file->fd == -1) {
    fileLog(file, "No file handle is open - cannot %s [%s] (%d)", "read", file->path, size);
    file->stream.error = kPlatformErrorInvalidHandle;
    return 0;
  }
  if (size < 1) return 0;
  char *bytes = static_cast<char *>(buffer);
  int result = (file->mode & kFileModeText) ? fileReadText(file, bytes, size, count)
                                            : fileReadRaw(file, bytes, size, count);
  if (!result) {
    *count = 0;
    fileFail(file);
    fileLog(file, "Failed to read [%s] %d [Err: %d]", file->path, size, file->stream.error);
    return 0;
  }
  return *count > 0 ? 1 : 0;
}

int File_Write(File *file, const void *data, int32_t size, int32_t *count) {
  FILE_CHECK(file);
  CHECK_POINTER(data);
  CHECK_POINTER(count);
  *count = 0;
  file->stream.error = 0;
  if (file->fd == -1) {
    fileLog(file, "No file handle is open - cannot %s [%s] (%d)", "write", file->path, size);
    file->stream.error = kPlatformErrorInvalidHandle;
    return 0;
  }
  if (size < 0) {
    file->stream.error = kPlatformErrorInvalidParameter;
    return 0;
  }
  size_t written = 0;
  if (fileSettle(file) && Platform_WriteFile(file->fd, data, size_t(size), &written)) {
    *count = size;
    return 1;
  }
  *count = int32_t(written);
  fileFail(file);
  fileLog(file, "Failed to write [%s] %d (%d)", file->path, size, file->stream.error);
  return 0;
}

// ---- Position, size, flush ---------------------------------------------------------

int File_Seek(File *file, int64_t offset, StreamOrigin origin) {
  FILE_CHECK(file);
  file->stream.error = 0;
  if (file->fd == -1) return fileNotOpen(file, "seek");
  if (fileSettle(file) && Platform_SeekFile(file->fd, offset, int(origin), nullptr)) return 1;
  fileFail(file);
  fileLog(file, "Failed to seek [%s] (%d:%I64d) [Err: %d]", file->path, int(origin), offset,
          file->stream.error);
  return 0;
}

int File_Tell(File *file, uint64_t *position) {
  FILE_CHECK(file);
  CHECK_POINTER(position);
  *position = 0;
  file->stream.error = 0;
  if (file->fd == -1) return fileNotOpen(file, "tell");
  int64_t at = 0;
  if (!Platform_SeekFile(file->fd, 0, 1, &at)) return fileFail(file);
  if (file->held != kFileNoHeldByte) at--;
  *position = uint64_t(at);
  return 1;
}

int File_GetSize(File *file, uint64_t *size) {
  FILE_CHECK(file);
  CHECK_POINTER(size);
  *size = 0;
  file->stream.error = 0;
  if (file->fd == -1) return fileNotOpen(file, "get size");
  int64_t length = 0;
  if (!Platform_GetFileInfo(file->fd, &length, nullptr)) return fileFail(file);
  *size = uint64_t(length);
  return 1;
}

int File_GetSizeAtOpen(File *file, uint64_t *size) {
  FILE_CHECK(file);
  CHECK_POINTER(size);
  *size = uint64_t(file->statAtOpen.size);
  return 1;
}

int File_Truncate(File *file) {
  FILE_CHECK(file);
  file->stream.error = 0;
  if (file->fd == -1) return fileNotOpen(file, "truncate");
  int64_t at = 0;
  if (fileSettle(file) && Platform_SeekFile(file->fd, 0, 1, &at) &&
      Platform_TruncateFile(file->fd, at))
    return 1;
  fileFail(file);
  fileLog(file, "Unable to truncate file [%s] [%I64d] [LE: %d]", file->path, at,
          file->stream.error);
  return 0;
}

int File_Flush(File *file) {
  FILE_CHECK(file);
  file->stream.error = 0;
  if (file->fd == -1) return fileNotOpen(file, "flush");
  if (Platform_SyncFile(file->fd)) return 1;
  fileFail(file);
  fileLog(file, "Failed to flush [%s] [Err: %d]", file->path, file->stream.error);
  return 0;
}

int File_GetModifiedTime(File *file, double *seconds) {
  FILE_CHECK(file);
  CHECK_POINTER(seconds);
  *seconds = 0;
  file->stream.error = 0;
  if (file->fd == -1) return fileNotOpen(file, "get modified time");
  return Platform_GetFileInfo(file->fd, nullptr, seconds) ? 1 : fileFail(file);
}

int File_GetLastError(File *file) {
  FILE_CHECK(file);
  return file->stream.error;
}

int File_GetStream(File *file, Stream **stream) {
  FILE_CHECK(file);
  CHECK_POINTER(stream);
  *stream = &file->stream;
  return 1;
}

void File_Log(File *file, const char *format, ...) {
  FILE_CHECK(file);
  CHECK_POINTER(format);
  va_list args;
  va_start(args, format);
  fileLogV(file, format, args);
  va_end(args);
}

// ---- Documents ----------------------------------------------------------------------

namespace {

void fileDocumentLog(ClassLog *log, const char *format, ...) {
  va_list args;
  va_start(args, format);
  if (log != nullptr)
    Class_LogPrint(log, 0, format, args);
  else
    Log_PrintV(LOG_DEBUG, KSRC, 0, format, 1, args);
  va_end(args);
}

// The File of a document behind a buffered stream of one direction.
struct FileDocument {
  File *file = nullptr;
  BufferedStream *buffered = nullptr;
  Stream *stream = nullptr;

  bool Open(const char *path, ClassLog *log, uint32_t mode) {
    File_Create(&file);
    if (!File_Open(file, path, mode)) {
      fileDocumentLog(log, "Unable to open file (%s)", path);
      File_Release(&file);
      return false;
    }
    Buffer(mode);
    return true;
  }
  // Writes through the temporary file of a replacement; the File borrows its
  // descriptor.
  void Adopt(FileReplace *replace, const char *path) {
    File_Create(&file);
    file->fd = replace->fd;
    file->mode = kFileModeWrite;
    Str_Set(file->path, path, sizeof file->path);
    Buffer(kFileModeWrite);
  }
  void Buffer(uint32_t mode) {
    BufferedStream_Create(&buffered);
    if (mode & kFileModeWrite)
      BufferedStream_SetWriteBufferSize(buffered, kFileDocumentBufferBytes);
    else
      BufferedStream_SetReadBufferSize(buffered, kFileDocumentBufferBytes);
    BufferedStream_SetStream(buffered, &file->stream);
    BufferedStream_GetStream(buffered, &stream);
  }
  // Drops the buffer (unflushed bytes with it) and closes. 0 when the close
  // failed.
  int Close() {
    BufferedStream_Release(&buffered);
    int closed = File_Close(file);
    File_Release(&file);
    return closed;
  }
  // Drops the buffer and hands the borrowed descriptor back, open.
  void Return() {
    BufferedStream_Release(&buffered);
    file->fd = -1;
    File_Release(&file);
  }
};

}  // namespace

int File_ReadDocument(const char *path, ClassLog *log, void *context, FileDocumentStep step) {
  CHECK_POINTER(path);
  Core_CheckPointer(reinterpret_cast<const void *>(step), KSRC);
  FileDocument document;
  if (!document.Open(path, log, kFileModeRead | kFileModeShareRead)) return 0;
  int result = step(context, document.stream) ? 1 : 0;
  // The reader saw a failed read as the end of the text; the document may be
  // cut.
  if (document.file->stream.error != 0) result = 0;
  document.Close();
  return result;
}

int File_WriteDocument(const char *path, ClassLog *log, void *context, FileDocumentStep step) {
  CHECK_POINTER(path);
  Core_CheckPointer(reinterpret_cast<const void *>(step), KSRC);
  // The new text goes to a temporary file beside the old one and replaces it
  // by a rename only when all of it is on the disk: a document that fails,
  // a full disk or a crash leave the old file as it was.
  char resolved[kPathMax];
  int error = 0;
  FileReplace replace;
  if (!Path_ResolveAsGiven(path, resolved, sizeof resolved) ||
      !Path_Normalize(resolved, sizeof resolved, kPathKeepDots | kPathRemoveTrailing) ||
      !Path_CreateDirectory(resolved, 1, &error) || !FileReplace_Begin(&replace, resolved)) {
    fileDocumentLog(log, "Unable to open file (%s)", path);
    return 0;
  }
  FileDocument document;
  document.Adopt(&replace, resolved);
  int result = step(context, document.stream) && BufferedStream_Flush(document.buffered);
  document.Return();
  if (!result) {
    FileReplace_Abort(&replace);
    return 0;
  }
  if (FileReplace_Commit(&replace)) return 1;
  fileDocumentLog(log, "Unable to replace file (%s) [Err: %d]", path, Platform_GetLastError());
  return 0;
}
