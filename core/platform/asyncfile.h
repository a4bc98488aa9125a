// AsyncFile: the asynchronous counterpart of File. Reads and writes at
// explicit 64-bit offsets are queued on the I/O worker and run on its
// threads; each finished operation calls the submitter's callback with the
// bytes done and the error. The storage engine reads and writes pieces of
// large files this way, many at once, optionally unbuffered (0x100). Every
// AsyncFile owns a MeterRW that counts its read and written bytes.
//
// Open flags (File's bits, their own effects): 0x1 read (never creates), 0x2
// write (creates always: an existing file is cut to 0), 0x3 read and write
// (opens or creates, keeps the contents; with 0x10 never creates), 0x8 cut
// to 0 after opening, 0x10 position at the end after opening, 0x20 / 0x40
// others may read / write (enforced against this program's File and
// AsyncFile opens alike), 0x80 no log line for a missing file, 0x100
// unbuffered and write-through (O_DIRECT | O_DSYNC). An unbuffered request
// whose buffer address, offset or size misses the file's direct-I/O
// alignment goes through a second, write-through descriptor of the file.
//
// Invariants: (1) no I/O is ever issued on a descriptor the file no longer
// owns: AsyncFile_Close marks the handle closed under the file's lock, a
// request not yet issued then completes with error 6 and 0 bytes, and a read
// or write already running keeps its descriptors open until it ends (the
// last one closes them). (2) each queued request holds one reference on the
// file, dropped once after its callback and the meter update; its callback
// runs exactly once. (3) a write reports error 0 only when all size bytes
// were written; a write that makes no progress without an error reports
// 112. (4) a read at or past the end gives 0 bytes and error 0.
//
// Threads: any thread; the handle is guarded by the file's lock, the pending
// counters are atomic and the request pool is locked. Callbacks run on I/O
// worker threads, possibly several at once for one file. Open retries sleep
// the calling thread. AsyncFile_Init and AsyncFile_Shutdown on the main
// thread, after IOWorker_Init and before IOWorker_Shutdown. A file's last
// release may still come after AsyncFile_Shutdown, on any thread (a pool
// thread dropping what a storage held while the host stops).
#pragma once

#include <cstdint>

#include "core/platform/meterrw.h"
#include "core/runtime/stream.h"

constexpr uint32_t kAsyncFileTag = 0x36bbe9ba;
constexpr uint32_t kAsyncFileGlobalsTag = 0xdef01425;

constexpr uint32_t kAsyncFileRead = 0x1;
constexpr uint32_t kAsyncFileWrite = 0x2;
constexpr uint32_t kAsyncFileTruncate = 0x8;
constexpr uint32_t kAsyncFileAppend = 0x10;
constexpr uint32_t kAsyncFileShareRead = 0x20;
constexpr uint32_t kAsyncFileShareWrite = 0x40;
constexpr uint32_t kAsyncFileQuietMissing = 0x80;
constexpr uint32_t kAsyncFileUnbuffered = 0x100;
// With write: the file is made by this open, never one already there (O_EXCL).
constexpr uint32_t kAsyncFileCreateNew = 0x200;
// RootDirectory_OpenFile only: a file made by the open is readable by its
// owner alone (0600); one found must be this user's own (see there).
constexpr uint32_t kAsyncFilePrivate = 0x400;

// Open attempts and the pause after each failed one, for a file that exists
// but is locked (error kinds Locked: 32, 33, 108). Other failures are final.
constexpr int32_t kAsyncFileOpenAttempts = 20;
constexpr uint32_t kAsyncFileOpenPauseMs = 100;
// Requests are pool members of this size, the pool grows this many at a time.
constexpr int32_t kAsyncFileRequestBytes = 64;
constexpr int32_t kAsyncFileRequestGrowth = 30;

struct AsyncFile;

// Every operation stops the program with "Pointer is NULL\n" on a NULL file
// or out-pointer, with "Class mismatch pointer (...)" on another object, and
// with "Pointer is NULL\n" before AsyncFile_Init.

// Creates and destroys the globals: the count of live files and the request
// pool. Init twice stops the program ("Assertion failed (AsyncFileGlobals ==
// NULL)\nAsyncFile already initialized"). Shutdown first waits (up to 10 s,
// then logs) until no transfer is still finishing on a pool thread; without
// Init it does nothing. Both return 1.
int AsyncFile_Init(void);
int AsyncFile_Shutdown(void);
// Live AsyncFile objects (0 when none was ever created).
int32_t AsyncFile_GetLiveCount(void);

// A closed file: reference 1, 20 open attempts, parent creation on, its own
// MeterRW. Returns 1.
int AsyncFile_Create(AsyncFile **file);
// Drops the caller's reference and clears *file. The last one (maybe a
// queued request's, on a worker thread) closes an open handle and frees.
void AsyncFile_Release(AsyncFile **file);

// One open attempt instead of 20; call before AsyncFile_Open.
void AsyncFile_DisableOpenRetry(AsyncFile *file);
// With on, a read that starts at or past the end logs "End of async file
// reached [0x%p]\n".
void AsyncFile_SetLogFlag(AsyncFile *file, int on);

// Resolves and normalises path and opens it with flags (see above); a file
// that is created gets its missing parent directories. A locked file is
// tried again after 100 ms, up to the open attempts. Returns 1 when open; 0
// with the last error set and "Unable to open file [%s][%.8X](%d : %.8X)\n"
// logged (not for a missing file under 0x80); flags with neither read nor
// write fail with 87. Stops the program when the file is open ("Assertion
// failed (AsyncFile->Handle == INVALID_HANDLE_VALUE)\nPrevious file [%s]
// must be closed before opening [%s]\n") and on a NULL path.
int AsyncFile_Open(AsyncFile *file, const char *path, uint32_t flags);
// Closes the handle (see invariant (1)); nothing when closed. Returns 1.
int AsyncFile_Close(AsyncFile *file);
int AsyncFile_IsOpen(AsyncFile *file);

// Queue a read or write of size bytes at offset; the callback runs on a
// worker thread as callback(context, offset, buffer, bytes done, error).
// Returns 1. Stops the program on a closed file ("Assertion failed
// (AsyncFile->Handle != INVALID_HANDLE_VALUE)\nAttempted to use an invalid
// handle"), on a NULL buffer or callback.
int AsyncFile_Read(AsyncFile *file, int64_t offset, void *buffer, uint32_t size,
                   StreamAsyncCallback callback, void *context);
int AsyncFile_Write(AsyncFile *file, int64_t offset, const void *buffer, uint32_t size,
                    StreamAsyncCallback callback, void *context);
// 1 while queued reads have not called back yet.
int AsyncFile_HasPendingReads(AsyncFile *file);

// The descriptor's file position (origin 0 start, 1 current, 2 end). 1/0
// with the error kept (6 on a closed file).
int AsyncFile_Seek(AsyncFile *file, int64_t offset, int origin);
int AsyncFile_Tell(AsyncFile *file, uint64_t *position);
// The end of the file; setting it cuts or extends. 1/0 with the error kept.
int AsyncFile_GetSize(AsyncFile *file, uint64_t *size);
int AsyncFile_SetSize(AsyncFile *file, uint64_t size);
// Reserves the blocks of size bytes from offset 0 (fallocate), so that the
// writes that follow, in any order, find their blocks in place and need not
// extend the file; a shorter file grows to size (zeros). 1/0 with the error
// kept (50 where the file system cannot).
int AsyncFile_Reserve(AsyncFile *file, uint64_t size);
// The last-write time in seconds since 1970, fractions kept. Setting leaves
// the access time alone; a time outside the years 1601 to 30827 (or not a
// number) fails with 13. 1/0 with the error kept.
int AsyncFile_GetModifiedTime(AsyncFile *file, double *seconds);
int AsyncFile_SetModifiedTime(AsyncFile *file, double seconds);
// The portable attribute bits of the open file; setting acts on read-only.
int AsyncFile_GetAttributes(AsyncFile *file, uint32_t *attributes);
int AsyncFile_SetAttributes(AsyncFile *file, uint32_t attributes);
// Sets the open file's permission bits (fchmod). 1/0 with the error kept.
int AsyncFile_SetMode(AsyncFile *file, uint32_t mode);
// Renames the open file, replacing an existing target; the stored path
// becomes the new one. 1/0 with the error kept.
int AsyncFile_Rename(AsyncFile *file, const char *newPath);

int AsyncFile_GetLastError(AsyncFile *file);
// The file's meter pair (owned by the file). Returns 1.
int AsyncFile_GetMeter(AsyncFile *file, MeterRW **pair);
uint32_t AsyncFile_GetOpenFlags(AsyncFile *file);
// Copies the resolved path into out. 1, or 0 (out empty) when it does not fit.
int AsyncFile_GetPath(AsyncFile *file, char *out, int size);
// The file's Stream record (context: the file). Returns 1.
int AsyncFile_GetStream(AsyncFile *file, Stream **stream);

// For tests: the open descriptor (-1 when closed) and the pause between open
// attempts (0 or less restores 100 ms).
int AsyncFile_GetDescriptorForTest(AsyncFile *file);
void AsyncFile_SetOpenPauseMsForTest(int32_t milliseconds);
