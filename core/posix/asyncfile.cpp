// Asynchronous files on Linux: pread and pwrite on I/O worker threads; see
// core/platform/asyncfile.h.
#include "core/platform/asyncfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include "core/runtime/class.h"
#include "core/runtime/critsection.h"
#include "core/platform/ioworker.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/runtime/pool.h"
#include "core/posix/asyncfileadopt.h"
#include "core/posix/errors.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

#ifndef STATX_DIOALIGN
#define STATX_DIOALIGN 0x00002000U
#endif

namespace {

constexpr uint32_t kAsyncFileDefaultAlign = 4096;
// The request kinds, kept in the header's wait-events word.
constexpr uint32_t kAsyncFileKindRead = 1;
constexpr uint32_t kAsyncFileKindWrite = 2;
// Desktop file times run from 1601 to 30827; outside them a time does not
// convert (error 13, invalid data).
constexpr double kAsyncFileFirstSeconds = -11644473600.0;
constexpr double kAsyncFileLastSeconds = 910692730085.0;
constexpr int kAsyncFileErrorInvalidData = 13;

// One open of the file. Issued requests hold a use on it, so its
// descriptors stay open while a pread or pwrite runs even after the file
// was closed; the last use of a closed handle closes them.
struct AsyncFileHandle {
  int fd;          // O_DIRECT when direct is 1
  int bufferedFd;  // -1 until an unaligned request needs it; write-through
  int direct;
  int accessMode;  // O_RDONLY, O_WRONLY or O_RDWR
  uint32_t memoryAlign;
  uint32_t offsetAlign;
  int32_t uses;  // guarded by the file's lock
  int closed;    // guarded by the file's lock
  int fallbackLogged;
};

struct AsyncFileGlobals {
  uint32_t tag;  // kAsyncFileGlobalsTag
  Pool *requests;  // locked
};

AsyncFileGlobals *gAsyncFile = nullptr;
// Files created and not yet destroyed. The last release of a file may come
// on a pool thread after AsyncFile_Shutdown (a storage's last step dropping
// the files it held while the host stops), so destroying one touches no
// globals.
std::atomic<int32_t> gAsyncFileLive{0};
// Transfers queued and not yet finished. A pool thread finishing one still
// reaches the globals after its callback has told the owner that the transfer
// is done, so AsyncFile_Shutdown waits for the count to reach 0 (kept apart
// from the globals, which it frees).
std::atomic<int32_t> gAsyncFileInFlight{0};
// How long AsyncFile_Shutdown waits for them.
constexpr int32_t kAsyncFileShutdownWaitMs = 10000;
std::atomic<int32_t> gAsyncFileOpenPauseMs{int32_t(kAsyncFileOpenPauseMs)};

// A queued read or write: the I/O worker's header (error, bytes done, the
// offset, the kind in the wait-events word, the size in the spare word),
// then the buffer and the callback cell.
struct AsyncFileRequest {
  IOWorkerRequest io;
  void *buffer;
  StreamAsyncCallback callback;
  void *context;
};
static_assert(sizeof(AsyncFileRequest) <= size_t(kAsyncFileRequestBytes));

AsyncFileGlobals *asyncFileGlobals(const char *sourcePath, int line) {
  if (gAsyncFile == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
  return gAsyncFile;
}

}  // namespace

struct AsyncFile {
  ObjectHeader header;
  Stream stream;  // context = this file
  std::atomic<int32_t> lastError;
  AsyncFileHandle *handle;  // NULL while closed; guarded by lock
  MeterRW *meter;
  std::atomic<int32_t> pendingReads;
  std::atomic<int32_t> pendingWrites;
  char path[kPathMax];  // resolved and normalised
  int32_t openAttempts;
  uint32_t openFlags;
  int32_t createParents;
  std::atomic<int32_t> logFlag;
  CriticalSection *lock;
  std::atomic<double> lastUse;  // tick seconds
};

namespace {

#define ASYNCFILE_CHECK(f) CLASS_CHECK((f), kAsyncFileTag)

void asyncFileStamp(AsyncFile *f) { f->lastUse.store(Platform_GetTickSeconds()); }

int asyncFileFail(AsyncFile *f, int error) {
  f->lastError.store(error ? error : kPlatformErrorGeneral);
  return 0;
}

int asyncFileFailErrno(AsyncFile *f, const char *call) {
  int err = errno;
  POSIX_FAIL(call, f->path);
  return asyncFileFail(f, PosixError_FromErrno(err));
}

// Closes a handle's descriptors and frees it; the file's lock held or the
// handle no longer reachable.
void asyncFileHandleDestroy(AsyncFileHandle *h) {
  if (h->bufferedFd >= 0) close(h->bufferedFd);
  Platform_CloseFile(h->fd);
  MEM_FREE(h, sizeof(AsyncFileHandle));
}

// The open handle with one use added, or NULL when the file is closed.
AsyncFileHandle *asyncFileAcquire(AsyncFile *f) {
  CriticalSection_Enter(f->lock);
  AsyncFileHandle *h = f->handle;
  if (h) h->uses++;
  CriticalSection_Leave(f->lock);
  return h;
}

void asyncFileUnuse(AsyncFile *f, AsyncFileHandle *h) {
  CriticalSection_Enter(f->lock);
  if (--h->uses == 0 && h->closed) asyncFileHandleDestroy(h);
  CriticalSection_Leave(f->lock);
}

// ---- Direct I/O alignment --------------------------------------------------

// The logical block size of the block device holding fd's file, or 0.
uint32_t asyncFileLogicalBlock(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return 0;
  char path[96];
  Str_Printf(path, sizeof path, "/sys/dev/block/%u:%u/queue/logical_block_size",
             major(st.st_dev), minor(st.st_dev));
  int sys = open(path, O_RDONLY | O_CLOEXEC);
  if (sys < 0) {
    // A partition keeps its queue on the whole disk, one level up.
    Str_Printf(path, sizeof path, "/sys/dev/block/%u:%u/../queue/logical_block_size",
               major(st.st_dev), minor(st.st_dev));
    sys = open(path, O_RDONLY | O_CLOEXEC);
    if (sys < 0) return 0;
  }
  char text[32] = {0};
  ssize_t n = read(sys, text, sizeof text - 1);
  close(sys);
  if (n <= 0) return 0;
  uint32_t value = 0;
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; i++)
    value = value * 10 + uint32_t(text[i] - '0');
  return value;
}

// statx's direct-I/O alignment, else the device's logical block size, else
// 4096. glibc's struct statx predates the two fields: they follow the mount
// id, at 0x98 and 0x9c.
void asyncFileAlignment(int fd, AsyncFileHandle *h) {
  h->memoryAlign = h->offsetAlign = 0;
  struct statx sx;
  memset(&sx, 0, sizeof sx);
  if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 && (sx.stx_mask & STATX_DIOALIGN)) {
    uint32_t fields[2];
    static_assert(sizeof(struct statx) >= 0xa0);
    memcpy(fields, reinterpret_cast<const char *>(&sx) + 0x98, sizeof fields);
    h->memoryAlign = fields[0];
    h->offsetAlign = fields[1];
  }
  if (h->memoryAlign == 0 || h->offsetAlign == 0) {
    uint32_t block = asyncFileLogicalBlock(fd);
    h->memoryAlign = h->offsetAlign = block ? block : kAsyncFileDefaultAlign;
  }
}

bool asyncFileAligned(const AsyncFileHandle *h, const void *buffer, uint64_t offset,
                      uint32_t size) {
  return uintptr_t(buffer) % h->memoryAlign == 0 && offset % h->offsetAlign == 0 &&
         size % h->offsetAlign == 0;
}

// The write-through companion of a direct handle, opened on first need; -1
// with *error when it cannot be opened. The file's lock guards its creation.
int asyncFileCompanion(AsyncFile *f, AsyncFileHandle *h, int *error) {
  CriticalSection_Enter(f->lock);
  if (h->bufferedFd < 0) {
    char self[64];
    Str_Printf(self, sizeof self, "/proc/self/fd/%d", h->fd);
    // The same file, whatever its name is now; its share locks stay with
    // the first descriptor.
    int fd;
    do fd = open(self, h->accessMode | O_DSYNC | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      *error = PosixError_FromErrno(errno);
      CriticalSection_Leave(f->lock);
      return -1;
    }
    h->bufferedFd = fd;
    if (!h->fallbackLogged) {
      h->fallbackLogged = 1;
      Log_Print(LOG_DEBUG, KSRC, 0,
                "AsyncFile: unbuffered requests on [%s] that miss the alignment (%u/%u) or "
                "the end go write-through buffered\n",
                f->path, h->memoryAlign, h->offsetAlign);
    }
  }
  int fd = h->bufferedFd;
  CriticalSection_Leave(f->lock);
  return fd;
}

// ---- Reads and writes ------------------------------------------------------

// Reads until size bytes, the end of the file or an error; *done counts on
// from its value. With stopOnShort the loop ends after a short transfer (a
// direct descriptor cannot go on at the unaligned offset that follows).
// The error code or 0.
int asyncFileReadAll(int fd, char *buffer, uint32_t size, uint64_t offset, bool stopOnShort,
                     uint32_t *done) {
  while (*done < size) {
    uint32_t want = size - *done;
    ssize_t n = pread(fd, buffer + *done, want, off_t(offset + *done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return PosixError_FromErrno(errno);
    if (n == 0) break;  // the end of the file
    *done += uint32_t(n);
    if (stopOnShort && uint32_t(n) < want) break;
  }
  return 0;
}

// Writes all size bytes or stops at an error; a call that makes no progress
// without naming an error gives 112. stopOnShort as for reads.
int asyncFileWriteAll(int fd, const char *buffer, uint32_t size, uint64_t offset,
                      bool stopOnShort, uint32_t *done) {
  while (*done < size) {
    uint32_t want = size - *done;
    ssize_t n = pwrite(fd, buffer + *done, want, off_t(offset + *done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return PosixError_FromErrno(errno);
    if (n == 0) return kPlatformErrorDiskFull;
    *done += uint32_t(n);
    if (stopOnShort && uint32_t(n) < want) break;
  }
  return 0;
}

int asyncFileTransfer(int fd, bool isRead, void *buffer, uint32_t size, uint64_t offset,
                      bool stopOnShort, uint32_t *done) {
  if (isRead)
    return asyncFileReadAll(fd, static_cast<char *>(buffer), size, offset, stopOnShort, done);
  return asyncFileWriteAll(fd, static_cast<const char *>(buffer), size, offset, stopOnShort, done);
}

// Calls back, counts the bytes, gives the request back and drops the
// queued request's one reference.
void asyncFileFinish(AsyncFile *f, AsyncFileRequest *request) {
  bool isRead = request->io.waitEvents == kAsyncFileKindRead;
  uint32_t done = request->io.bytesTransferred;
  request->callback(request->context, int64_t(request->io.offset), request->buffer, done,
                    request->io.error);
  if (isRead)
    MeterRW_AddReadBytes(f->meter, done);
  else
    MeterRW_AddWriteBytes(f->meter, done);
  void *member = request;
  POOL_FREE(gAsyncFile->requests, &member, kAsyncFileRequestBytes);
  (isRead ? f->pendingReads : f->pendingWrites).fetch_sub(1);
  Class_ReleaseObject(&f);
  gAsyncFileInFlight.fetch_sub(1, std::memory_order_release);
}

// The issue step, on a worker thread: the whole transfer, then finish.
int asyncFileIssue(void *key, IOWorkerRequest *io) {
  auto *f = static_cast<AsyncFile *>(key);
  auto *request = reinterpret_cast<AsyncFileRequest *>(io);
  bool isRead = io->waitEvents == kAsyncFileKindRead;
  uint32_t size = io->spare;
  io->bytesTransferred = 0;
  io->error = 0;
  AsyncFileHandle *h = asyncFileAcquire(f);
  if (h == nullptr) {
    // Closed after the request was queued: its descriptor number may belong
    // to another file by now.
    io->error = kPlatformErrorInvalidHandle;
    asyncFileFinish(f, request);
    return 1;
  }
  int error = 0;
  uint32_t done = 0;
  bool direct = h->direct && asyncFileAligned(h, request->buffer, io->offset, size);
  if (direct)
    error = asyncFileTransfer(h->fd, isRead, request->buffer, size, io->offset, true, &done);
  // Unaligned requests, and the rest after a short direct transfer (the end
  // of the file, a full disk), go through the write-through companion.
  if (error == 0 && done < size && (!direct || !(isRead && done == 0))) {
    int fd = h->direct ? asyncFileCompanion(f, h, &error) : h->fd;
    if (fd >= 0) error = asyncFileTransfer(fd, isRead, request->buffer, size, io->offset, false, &done);
  }
  asyncFileUnuse(f, h);
  io->bytesTransferred = done;
  io->error = uint32_t(error);
  if (error) {
    f->lastError.store(error);
    // The path changes only under the lock (AsyncFile_Rename).
    CriticalSection_Enter(f->lock);
    Log_Print(LOG_ERROR, KSRC, 0,
              isRead ? "Failed on async file read [%s] %d (%d)\n"
                     : "Failed on async file write [%s] %d (%d)\n",
              f->path, int(size), error);
    CriticalSection_Leave(f->lock);
  } else if (isRead && done == 0 && size > 0 && f->logFlag.load()) {
    Log_Print(LOG_DEBUG, KSRC, 0, "End of async file reached [0x%p]\n", static_cast<void *>(f));
  }
  asyncFileFinish(f, request);
  return 1;
}

int asyncFileQueue(AsyncFile *f, uint32_t kind, int64_t offset, void *buffer, uint32_t size,
                   StreamAsyncCallback callback, void *context) {
  ASYNCFILE_CHECK(f);
  CHECK_POINTER(buffer);
  CHECK_POINTER(reinterpret_cast<void *>(callback));
  AsyncFileGlobals *g = asyncFileGlobals(KSRC);
  CriticalSection_Enter(f->lock);
  bool open = f->handle != nullptr;
  CriticalSection_Leave(f->lock);
  if (!open)
    Core_Abort(KSRC,
               "Assertion failed (AsyncFile->Handle != INVALID_HANDLE_VALUE)\nAttempted to use an "
               "invalid handle");
  asyncFileStamp(f);
  (kind == kAsyncFileKindRead ? f->pendingReads : f->pendingWrites).fetch_add(1);
  auto *request = static_cast<AsyncFileRequest *>(POOL_ALLOC(g->requests, kAsyncFileRequestBytes));
  request->io.offset = uint64_t(offset);
  request->io.waitEvents = kind;
  request->io.spare = size;
  request->io.routine = asyncFileIssue;
  request->buffer = buffer;
  request->callback = callback;
  request->context = context;
  Class_Retain(f);  // the queued request's reference
  gAsyncFileInFlight.fetch_add(1, std::memory_order_relaxed);
  // Asked from a pool thread (a storage step reading its piece), the transfer
  // runs on that thread once the asking routine returns: posting it would
  // wake another thread, which costs more than a small transfer.
  IOWorker_Continue(f, &request->io);
  return 1;
}

// ---- Stream slots ----------------------------------------------------------

int asyncFileSlotWriteAsync(void *context, int64_t offset, const void *data, int32_t length,
                            StreamAsyncCallback callback, void *callbackContext) {
  return AsyncFile_Write(static_cast<AsyncFile *>(context), offset, data, uint32_t(length),
                         callback, callbackContext);
}
int asyncFileSlotReadAsync(void *context, int64_t offset, void *buffer, int32_t length,
                           StreamAsyncCallback callback, void *callbackContext) {
  return AsyncFile_Read(static_cast<AsyncFile *>(context), offset, buffer, uint32_t(length),
                        callback, callbackContext);
}
int asyncFileSlotSeek(void *context, int64_t offset, StreamOrigin origin) {
  return AsyncFile_Seek(static_cast<AsyncFile *>(context), offset, int(origin));
}
int asyncFileSlotTell(void *context, uint64_t *position) {
  return AsyncFile_Tell(static_cast<AsyncFile *>(context), position);
}
int asyncFileSlotIsOpen(void *context) { return AsyncFile_IsOpen(static_cast<AsyncFile *>(context)); }
int asyncFileSlotClose(void *context) { return AsyncFile_Close(static_cast<AsyncFile *>(context)); }

constexpr Stream kAsyncFileStreamRecord = {
    nullptr,                  // context: set per object
    nullptr,                  // Peek
    nullptr,                  // Write
    asyncFileSlotWriteAsync,  // WriteAsync
    nullptr,                  // Read
    asyncFileSlotReadAsync,   // ReadAsync
    asyncFileSlotSeek,        // Seek
    nullptr,                  // Flush
    asyncFileSlotTell,        // Tell
    nullptr,                  // GetSize
    asyncFileSlotIsOpen,      // IsOpen
    asyncFileSlotClose,       // Close
    0,                        // error
};

void asyncFileDestroy(void **object) {
  auto *f = static_cast<AsyncFile *>(*object);
  *object = nullptr;
  AsyncFile_Close(f);
  CriticalSection_Delete(&f->lock);
  MeterRW_Delete(&f->meter);
  f->header.classTag = 0;
  f->~AsyncFile();
  MEM_FREE(f, sizeof(AsyncFile));
  gAsyncFileLive.fetch_sub(1);
}

// ---- Opening ---------------------------------------------------------------

// The open(2) flags of the open flags; -1 for flags without read or write.
// Cutting is done after opening, once the share modes let the open through.
int asyncFileOpenFlags(uint32_t flags) {
  bool reads = flags & kAsyncFileRead, writes = flags & kAsyncFileWrite;
  int open = -1;
  if (reads && writes)
    open = O_RDWR | ((flags & kAsyncFileAppend) ? 0 : O_CREAT);
  else if (reads)
    open = O_RDONLY;
  else if (writes)
    open = O_WRONLY | O_CREAT;
  if (open >= 0 && (flags & kAsyncFileUnbuffered)) open |= O_DIRECT | O_DSYNC;
  if (open >= 0 && writes && (flags & kAsyncFileCreateNew)) open |= O_CREAT | O_EXCL;
  return open;
}

// Opens the descriptor; a file system that refuses O_DIRECT gets a
// write-through descriptor alone. Returns the descriptor or -1.
int asyncFileOpenDescriptor(AsyncFile *f, int openFlags, int *direct) {
  int share = int(f->openFlags & (kAsyncFileShareRead | kAsyncFileShareWrite));
  *direct = (openFlags & O_DIRECT) != 0;
  int fd = Platform_OpenFile(f->path, openFlags, share);
  if (fd < 0 && *direct && Platform_GetLastErrno() == EINVAL) {
    Log_Print(LOG_DEBUG, KSRC, 0,
              "AsyncFile: [%s] refuses unbuffered I/O; opened write-through buffered\n", f->path);
    *direct = 0;
    fd = Platform_OpenFile(f->path, openFlags & ~O_DIRECT, share);
  }
  return fd;
}

// Positions and cuts a fresh descriptor as the flags ask. 1, or 0 (errno).
int asyncFilePlace(AsyncFile *f, int fd) {
  bool cut = (f->openFlags & kAsyncFileTruncate) ||
             ((f->openFlags & kAsyncFileWrite) && !(f->openFlags & kAsyncFileRead));
  if (cut && ftruncate(fd, 0) != 0) return 0;
  if ((f->openFlags & kAsyncFileAppend) && lseek(fd, 0, SEEK_END) < 0) return 0;
  return 1;
}

// Places fd as the flags ask and makes it the file's handle. 1, or 0 with
// fd closed and *error.
int asyncFileInstall(AsyncFile *f, int fd, int direct, int openFlags, int *error) {
  // Not handed to the reactor: every transfer is a pread or pwrite on a
  // pool thread, and no file waits for readiness.
  if (!asyncFilePlace(f, fd)) {
    *error = PosixError_FromErrno(errno);
    Platform_CloseFile(fd);
    return 0;
  }
  auto *h = static_cast<AsyncFileHandle *>(MEM_ALLOC(sizeof(AsyncFileHandle), MEM_ZEROED));
  h->fd = fd;
  h->bufferedFd = -1;
  h->direct = direct;
  h->accessMode = openFlags & O_ACCMODE;
  if (direct) asyncFileAlignment(fd, h);
  CriticalSection_Enter(f->lock);
  f->handle = h;
  CriticalSection_Leave(f->lock);
  return 1;
}

// Stops the program when the file is open already.
void asyncFileCheckClosed(AsyncFile *file, const char *path) {
  if (AsyncFile_IsOpen(file))
    Core_Abort(KSRC,
               "Assertion failed (AsyncFile->Handle == INVALID_HANDLE_VALUE)\nPrevious file [%s] "
               "must be closed before opening [%s]\n",
               file->path, path);
}

// One attempt: 1 with the handle installed, or 0 with *error.
int asyncFileOpenOnce(AsyncFile *f, int openFlags, bool mayCreateParents, int *error) {
  PlatformFileStatus status;
  if (!Platform_Stat(f->path, &status)) {
    *error = Platform_GetLastError();
    // Only a missing file is created; a path that cannot be looked at fails.
    if (!Platform_IsErrorMissing(*error) || !(openFlags & O_CREAT)) return 0;
    if (mayCreateParents && f->createParents && !Path_CreateDirectory(f->path, 1, error))
      return 0;
  }
  int direct = 0;
  int fd = asyncFileOpenDescriptor(f, openFlags, &direct);
  if (fd < 0) {
    *error = Platform_GetLastError();
    return 0;
  }
  return asyncFileInstall(f, fd, direct, openFlags, error);
}

// Runs op(fd) on the open handle under a use; 0 with error 6 when closed.
template <typename Op>
int asyncFileWithHandle(AsyncFile *f, Op op) {
  f->lastError.store(0);
  AsyncFileHandle *h = asyncFileAcquire(f);
  if (h == nullptr) return asyncFileFail(f, kPlatformErrorInvalidHandle);
  int result = op(h->fd);
  asyncFileUnuse(f, h);
  return result;
}

}  // namespace

int AsyncFile_Init(void) {
  if (gAsyncFile != nullptr)
    Core_Abort(KSRC, "Assertion failed (AsyncFileGlobals == NULL)\nAsyncFile already initialized");
  auto *g = new (MEM_ALLOC(sizeof(AsyncFileGlobals), MEM_ZEROED)) AsyncFileGlobals();
  g->tag = kAsyncFileGlobalsTag;
  Pool_Create(&g->requests, KSRC);
  Pool_SetMemberSize(g->requests, kAsyncFileRequestBytes);
  Pool_SetMemberChunkSize(g->requests, kAsyncFileRequestGrowth);
  Pool_EnableLocking(g->requests);
  gAsyncFile = g;
  return 1;
}

int AsyncFile_Shutdown(void) {
  AsyncFileGlobals *g = gAsyncFile;
  if (g == nullptr) return 1;
  for (int32_t waited = 0; gAsyncFileInFlight.load(std::memory_order_acquire) > 0; waited++) {
    if (waited == kAsyncFileShutdownWaitMs) {
      Log_Print(LOG_ERROR, KSRC, 0, "AsyncFile: %d transfers still running at shutdown\n",
                int(gAsyncFileInFlight.load()));
      break;
    }
    Platform_SleepMs(1);
  }
  gAsyncFile = nullptr;
  Pool_Release(&g->requests);
  g->~AsyncFileGlobals();
  MEM_FREE(g, sizeof(AsyncFileGlobals));
  return 1;
}

int32_t AsyncFile_GetLiveCount(void) { return gAsyncFileLive.load(); }

int AsyncFile_Create(AsyncFile **file) {
  CHECK_POINTER(file);
  asyncFileGlobals(KSRC);  // stops the program when not initialised
  auto *f = new (MEM_ALLOC(sizeof(AsyncFile), MEM_ZEROED)) AsyncFile();
  f->header.classTag = kAsyncFileTag;
  f->header.refCount.store(1, std::memory_order_relaxed);
  f->header.destroy = asyncFileDestroy;
  f->stream = kAsyncFileStreamRecord;
  f->stream.context = f;
  f->openAttempts = kAsyncFileOpenAttempts;
  f->createParents = 1;
  MeterRW_Create(&f->meter);
  CriticalSection_Create(&f->lock);
  gAsyncFileLive.fetch_add(1);
  *file = f;
  return 1;
}

void AsyncFile_Release(AsyncFile **file) {
  CHECK_POINTER(file);
  ASYNCFILE_CHECK(*file);
  Class_ReleaseObject(file);
}

void AsyncFile_DisableOpenRetry(AsyncFile *file) {
  ASYNCFILE_CHECK(file);
  file->openAttempts = 1;
}

void AsyncFile_SetLogFlag(AsyncFile *file, int on) {
  ASYNCFILE_CHECK(file);
  file->logFlag.store(on ? 1 : 0);
}

int AsyncFile_Open(AsyncFile *file, const char *path, uint32_t flags) {
  ASYNCFILE_CHECK(file);
  CHECK_POINTER(path);
  file->lastError.store(0);
  asyncFileCheckClosed(file, path);
  int openFlags = asyncFileOpenFlags(flags);
  file->openFlags = flags;
  asyncFileStamp(file);
  int error = 0;
  if (openFlags < 0) {
    error = kPlatformErrorInvalidParameter;
  } else if (!Path_Resolve(path, file->path, sizeof file->path) ||
             !Path_Normalize(file->path, sizeof file->path, kPathRemoveTrailing)) {
    error = Platform_GetLastError();
    file->path[0] = '\0';
  } else {
    for (int32_t attempt = 0; attempt < file->openAttempts; attempt++) {
      if (asyncFileOpenOnce(file, openFlags, attempt == 0, &error)) return 1;
      // Only a holder goes away by itself: other failures are final.
      if (!Platform_IsErrorLocked(error) || attempt + 1 >= file->openAttempts) break;
      Platform_SleepMs(uint32_t(gAsyncFileOpenPauseMs.load()));
    }
  }
  if (error == 0) error = kPlatformErrorGeneral;
  file->lastError.store(error);
  if (!((flags & kAsyncFileQuietMissing) && Platform_IsErrorMissing(error)))
    Log_Print(LOG_ERROR, KSRC, 0, "Unable to open file [%s][%.8X](%d : %.8X)\n",
              file->path[0] ? file->path : path, openFlags < 0 ? 0 : openFlags, error, error);
  return 0;
}

int AsyncFile_Close(AsyncFile *file) {
  ASYNCFILE_CHECK(file);
  CriticalSection_Enter(file->lock);
  AsyncFileHandle *h = file->handle;
  file->handle = nullptr;
  if (h) {
    h->closed = 1;
    if (h->uses == 0) asyncFileHandleDestroy(h);
  }
  CriticalSection_Leave(file->lock);
  asyncFileStamp(file);
  return 1;
}

int AsyncFile_IsOpen(AsyncFile *file) {
  ASYNCFILE_CHECK(file);
  CriticalSection_Enter(file->lock);
  int open = file->handle != nullptr;
  CriticalSection_Leave(file->lock);
  return open;
}

int AsyncFile_Read(AsyncFile *file, int64_t offset, void *buffer, uint32_t size,
                   StreamAsyncCallback callback, void *context) {
  return asyncFileQueue(file, kAsyncFileKindRead, offset, buffer, size, callback, context);
}

int AsyncFile_Write(AsyncFile *file, int64_t offset, const void *buffer, uint32_t size,
                    StreamAsyncCallback callback, void *context) {
  return asyncFileQueue(file, kAsyncFileKindWrite, offset, const_cast<void *>(buffer), size,
                        callback, context);
}

int AsyncFile_HasPendingReads(AsyncFile *file) {
  ASYNCFILE_CHECK(file);
  return file->pendingReads.load() > 0;
}

int AsyncFile_Seek(AsyncFile *file, int64_t offset, int origin) {
  ASYNCFILE_CHECK(file);
  asyncFileStamp(file);
  return asyncFileWithHandle(file, [&](int fd) {
    if (Platform_SeekFile(fd, offset, origin, nullptr)) return 1;
    return asyncFileFail(file, Platform_GetLastError());
  });
}

int AsyncFile_Tell(AsyncFile *file, uint64_t *position) {
  ASYNCFILE_CHECK(file);
  CHECK_POINTER(position);
  *position = 0;
  return asyncFileWithHandle(file, [&](int fd) {
    int64_t at = 0;
    if (!Platform_SeekFile(fd, 0, 1, &at)) return asyncFileFail(file, Platform_GetLastError());
    *position = uint64_t(at);
    return 1;
  });
}

int AsyncFile_GetSize(AsyncFile *file, uint64_t *size) {
  ASYNCFILE_CHECK(file);
  CHECK_POINTER(size);
  *size = 0;
  return asyncFileWithHandle(file, [&](int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return asyncFileFailErrno(file, "fstat");
    *size = uint64_t(st.st_size);
    return 1;
  });
}

int AsyncFile_SetSize(AsyncFile *file, uint64_t size) {
  ASYNCFILE_CHECK(file);
  if (size > uint64_t(INT64_MAX)) {
    file->lastError.store(kPlatformErrorInvalidParameter);
    return 0;
  }
  return asyncFileWithHandle(file, [&](int fd) {
    if (Platform_TruncateFile(fd, int64_t(size))) return 1;
    return asyncFileFail(file, Platform_GetLastError());
  });
}

int AsyncFile_Reserve(AsyncFile *file, uint64_t size) {
  ASYNCFILE_CHECK(file);
  if (size == 0 || size > uint64_t(INT64_MAX)) return 1;
  return asyncFileWithHandle(file, [&](int fd) {
    int rc;
    do rc = fallocate(fd, 0, 0, off_t(size));
    while (rc != 0 && errno == EINTR);
    return rc == 0 ? 1 : asyncFileFailErrno(file, "fallocate");
  });
}

int AsyncFile_GetModifiedTime(AsyncFile *file, double *seconds) {
  ASYNCFILE_CHECK(file);
  CHECK_POINTER(seconds);
  *seconds = 0;
  return asyncFileWithHandle(file, [&](int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return asyncFileFailErrno(file, "fstat");
    *seconds = double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
    return 1;
  });
}

int AsyncFile_SetModifiedTime(AsyncFile *file, double seconds) {
  ASYNCFILE_CHECK(file);
  int64_t whole = 0;
  int32_t nanoseconds = 0;
  if (!AsyncFile_SplitTime(seconds, &whole, &nanoseconds)) {
    file->lastError.store(kAsyncFileErrorInvalidData);
    return 0;
  }
  return asyncFileWithHandle(file, [&](int fd) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;  // the access time stays
    times[1].tv_sec = time_t(whole);
    times[1].tv_nsec = long(nanoseconds);
    if (futimens(fd, times) != 0) return asyncFileFailErrno(file, "futimens");
    return 1;
  });
}

int AsyncFile_GetAttributes(AsyncFile *file, uint32_t *attributes) {
  ASYNCFILE_CHECK(file);
  CHECK_POINTER(attributes);
  *attributes = 0;
  return asyncFileWithHandle(file, [&](int fd) {
    if (Platform_GetAttributes(fd, file->path, attributes)) return 1;
    return asyncFileFail(file, Platform_GetLastError());
  });
}

int AsyncFile_SetAttributes(AsyncFile *file, uint32_t attributes) {
  ASYNCFILE_CHECK(file);
  return asyncFileWithHandle(file, [&](int fd) {
    if (Platform_SetAttributes(fd, file->path, attributes)) return 1;
    return asyncFileFail(file, Platform_GetLastError());
  });
}

int AsyncFile_SetMode(AsyncFile *file, uint32_t mode) {
  ASYNCFILE_CHECK(file);
  return asyncFileWithHandle(file, [&](int fd) {
    if (fchmod(fd, mode_t(mode & 07777)) == 0) return 1;
    return asyncFileFailErrno(file, "fchmod");
  });
}

int AsyncFile_Rename(AsyncFile *file, const char *newPath) {
  ASYNCFILE_CHECK(file);
  CHECK_POINTER(newPath);
  char target[kPathMax];
  if (!Path_Resolve(newPath, target, sizeof target) ||
      !Path_Normalize(target, sizeof target, kPathRemoveTrailing)) {
    file->lastError.store(Platform_GetLastError() ? Platform_GetLastError()
                                                  : kPlatformErrorNameTooLong);
    return 0;
  }
  return asyncFileWithHandle(file, [&](int fd) {
    if (!Platform_MoveFile(fd, file->path, target, kPlatformMoveReplace))
      return asyncFileFail(file, Platform_GetLastError());
    CriticalSection_Enter(file->lock);
    memcpy(file->path, target, strlen(target) + 1);
    CriticalSection_Leave(file->lock);
    return 1;
  });
}

int AsyncFile_GetLastError(AsyncFile *file) {
  ASYNCFILE_CHECK(file);
  return file->lastError.load();
}

int AsyncFile_GetMeter(AsyncFile *file, MeterRW **pair) {
  ASYNCFILE_CHECK(file);
  CHECK_POINTER(pair);
  *pair = file->meter;
  return 1;
}

uint32_t AsyncFile_GetOpenFlags(AsyncFile *file) {
  ASYNCFILE_CHECK(file);
  return file->openFlags;
}

int AsyncFile_GetPath(AsyncFile *file, char *out, int size) {
  ASYNCFILE_CHECK(file);
  CHECK_POINTER(out);
  size_t length = strlen(file->path);
  if (size <= 0) return 0;
  if (length >= size_t(size)) {
    out[0] = '\0';
    return 0;
  }
  memcpy(out, file->path, length + 1);
  return 1;
}

int AsyncFile_GetStream(AsyncFile *file, Stream **stream) {
  ASYNCFILE_CHECK(file);
  CHECK_POINTER(stream);
  *stream = &file->stream;
  return 1;
}

int AsyncFile_GetDescriptorForTest(AsyncFile *file) {
  ASYNCFILE_CHECK(file);
  CriticalSection_Enter(file->lock);
  int fd = file->handle ? file->handle->fd : -1;
  CriticalSection_Leave(file->lock);
  return fd;
}

void AsyncFile_SetOpenPauseMsForTest(int32_t milliseconds) {
  gAsyncFileOpenPauseMs.store(milliseconds > 0 ? milliseconds : int32_t(kAsyncFileOpenPauseMs));
}

int AsyncFile_OpenFlagsOf(uint32_t flags) { return asyncFileOpenFlags(flags); }

int AsyncFile_SplitTime(double seconds, int64_t *whole, int32_t *nanoseconds) {
  if (!std::isfinite(seconds) || seconds < kAsyncFileFirstSeconds ||
      seconds > kAsyncFileLastSeconds)
    return 0;
  double floor = std::floor(seconds);
  long fraction = long((seconds - floor) * 1e9);
  *whole = int64_t(floor);
  *nanoseconds = int32_t(fraction > 999999999L ? 999999999L : fraction);
  return 1;
}

int AsyncFile_Adopt(AsyncFile *file, int fd, int direct, const char *path, uint32_t flags) {
  ASYNCFILE_CHECK(file);
  CHECK_POINTER(path);
  file->lastError.store(0);
  asyncFileCheckClosed(file, path);
  Str_Copy(file->path, path, int(sizeof file->path));
  file->openFlags = flags;
  asyncFileStamp(file);
  int error = 0;
  int openFlags = asyncFileOpenFlags(flags);
  if (openFlags >= 0 && asyncFileInstall(file, fd, direct, openFlags, &error)) return 1;
  if (openFlags < 0) {
    error = kPlatformErrorInvalidParameter;
    Platform_CloseFile(fd);
  }
  return asyncFileFail(file, error);
}
