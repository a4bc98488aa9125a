// File: the program's synchronous file. A class object that opens one path
// with a few mode bits, retries opening a file that another holder keeps
// locked, creates missing parent directories when a new file is opened for
// writing, and offers read, write, seek, tell, size, flush, truncate and
// close both as functions and through its Stream record, so the readers and
// writers of the core work on a file as on any stream. Unbuffered I/O is the
// asynchronous file's; File refuses it.
//
// Mode bits: 0x1 read, 0x2 write (read only: never created; write, or read
// and write: created when missing, except read+write+append), 0x4 text
// (reading turns CR LF into LF; a CR at the end of one read waits for the
// next byte; a lone CR stays; writing is unchanged; seek and tell are raw
// byte offsets), 0x8 truncate after opening, 0x10 append (position at the
// end after opening), 0x20 others may read, 0x40 others may write (neither:
// others may not open the file), 0x80 no log lines for "not found" errors.
// The share bits are enforced against this program's other opens
// (Platform_OpenFile).
//
// Invariants: (1) the descriptor is -1 exactly while the File is closed;
// descriptor 0 is an open file. (2) every operation clears the last error
// (the Stream record's error word) first and sets it on failure. (3) a
// failed write reports the bytes that reached the file. (4) every message
// goes through the File's class log ("File"), so it is written only while
// the class log is on.
//
// Threads: one thread at a time per File; no lock. The open retries sleep
// the calling thread.
#pragma once

#include <cstdint>

#include "core/runtime/stream.h"

constexpr uint32_t kFileTag = 0xd2d88d63;

constexpr uint32_t kFileModeRead = 0x1;
constexpr uint32_t kFileModeWrite = 0x2;
constexpr uint32_t kFileModeText = 0x4;
constexpr uint32_t kFileModeTruncate = 0x8;
constexpr uint32_t kFileModeAppend = 0x10;
constexpr uint32_t kFileModeShareRead = 0x20;
constexpr uint32_t kFileModeShareWrite = 0x40;
constexpr uint32_t kFileModeQuietMissing = 0x80;
constexpr uint32_t FILE_NOBUFFER = 0x100;  // refused: unbuffered I/O is AsyncFile's

// Open attempts and the pause between them, for a file that exists but is
// locked (error kinds Locked: 32, 33, 108). Other failures are final at once.
constexpr int kFileOpenAttempts = 20;
constexpr uint32_t kFileRetryPauseMs = 1000;

struct File;

// Every operation stops the program with "Pointer is NULL\n" on a NULL File
// or out-pointer and with "Class mismatch pointer (...)" on another object.

// A closed File: reference 1, 20 open attempts, parent creation on. Returns 1.
int File_Create(File **file);
// Drops the caller's reference and clears *file. The last reference closes a
// File that is still open, after logging "File not properly closed on delete
// [%s]\n".
void File_Release(File **file);

// One open attempt instead of 20; call before File_Open.
void File_DisableRetries(File *file);

// Resolves and normalises path, then opens it with mode (see above). Returns
// 1 when open; 0 with the last error set and "Unable to open file
// [%s][%.8X](%d : %.8X)\n" logged (not for a missing file under 0x80). A
// locked existing file is tried again after 1000 ms, logging "Retrying open
// file (%s) (%d) [Err: %d]", up to the open attempts. Stops the program on a
// NULL path, on FILE_NOBUFFER ("Assertion failed (ThisIsNot(Flags,
// FILE_NOBUFFER))\nUnbuffered I/O not supported in synchronous files"), on a
// File that is open ("Assertion failed (File->AccessPtr == 0)\nPrevious file
// [%s] must be closed before opening [%s]\n") and on a mode with neither read
// nor write ("Unknown mode [%d]\n").
int File_Open(File *file, const char *path, uint32_t mode);
// 1 when closed or closed already; 0 ("Unable to close [%s] [Err: %d]") when
// the system reported an error, the File is closed then all the same.
int File_Close(File *file);
// 1 when open.
int File_IsOpen(File *file);

// Reads up to size bytes: 1 when at least one byte was read; 0 at the end of
// the file or on an error ("Failed to read [%s] %d [Err: %d]"), with *count
// the bytes delivered (0 then). A closed File logs "No file handle is open -
// cannot %s [%s] (%d)" ("read").
int File_Read(File *file, void *buffer, int32_t size, int32_t *count);
// Writes all size bytes: 1 with *count = size; otherwise 0 with *count the
// bytes that reached the file, the error (112 when the system named none) and
// "Failed to write [%s] %d (%d)". A closed File logs as File_Read ("write").
int File_Write(File *file, const void *data, int32_t size, int32_t *count);
// Moves to offset from origin. 1/0 ("Failed to seek [%s] (%d:%I64d) [Err:
// %d]").
int File_Seek(File *file, int64_t offset, StreamOrigin origin);
// The position. 1, or 0 with *position 0.
int File_Tell(File *file, uint64_t *position);
// The current length of the file. 1, or 0 with *size 0.
int File_GetSize(File *file, uint64_t *size);
// The length the file had when it was opened (0 for a file the open
// created). Returns 1.
int File_GetSizeAtOpen(File *file, uint64_t *size);
// Cuts the file at the current position. 1/0 ("Unable to truncate file [%s]
// [%I64d] [LE: %d]").
int File_Truncate(File *file);
// Commits written data to the disk (fsync). 1/0 ("Failed to flush [%s] [Err:
// %d]").
int File_Flush(File *file);
// The last write time of the open file in seconds since 1970, with
// fractions. 1, or 0 with *seconds 0 and the error kept.
int File_GetModifiedTime(File *file, double *seconds);
// The error of the last failed operation; 0 after a success.
int File_GetLastError(File *file);
// The File's Stream record (context: the File). Returns 1.
int File_GetStream(File *file, Stream **stream);
// Formats a line into the File's class log, when that log is on.
void File_Log(File *file, const char *format, ...);

// ---- Documents ------------------------------------------------------------------
// The file entry points of the text readers and writers (JSON, XML, property
// lists, YAML, INI) share these, each handing its stream form as step.

// One read or write of a whole document on a stream; 1 when it succeeded.
typedef int (*FileDocumentStep)(void *context, Stream *stream);
constexpr int32_t kFileDocumentBufferBytes = 4096;

// Opens path with mode 0x21 (read, others may read), runs step on it behind
// a 4096-byte BufferedStream and closes. Returns step's answer; 0 also when
// reading the file failed underneath (a read error is no end of the
// document), and when the file cannot be opened: then "Unable to open file
// (%s)" goes to log (NULL: the log at DEBUG). Stops on a NULL path or step.
int File_ReadDocument(const char *path, ClassLog *log, void *context, FileDocumentStep step);
// Writes the document that step produces (through a 4096-byte
// BufferedStream) to a new temporary file beside path and puts it in path's
// place by a rename once it is synced (core/platform/filereplace.h): the
// replaced file's mode and owner are kept, a link at path is replaced rather
// than followed, and missing directories are made. 1 when every step
// succeeded; 0 when one failed, the disk filled or the file cannot be
// replaced ("Unable to open file (%s)" as File_ReadDocument logs it, or
// "Unable to replace file (%s) [Err: %d]"). On every failure the old file is
// as it was and no temporary file is left. Stops on a NULL path or step.
int File_WriteDocument(const char *path, ClassLog *log, void *context, FileDocumentStep step);
