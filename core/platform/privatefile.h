// PrivateFile: files only their owner may read, for data that must not leak
// to other users or be planted by them: appending whole lines (the TLS key
// log) and reading a secret whole (the credentials file).
//
// Invariants: (1) a file the append creates gets mode 0600. (2) a line goes
// out in one append write, so lines of concurrent writers (threads or
// processes) never interleave. (3) the file is open only for the length of
// one call, opened once without following a link, and every check is made
// on the open file, never again by its name.
//
// Threads: any thread.
#pragma once

#include <cstdint>

// Appends length bytes of text (one line, its line feed included) to the file
// at path, creating it when missing; a link anywhere on path is refused (5).
// An existing file is written only when it
// is a regular file of the effective user's that group and others may
// neither read nor write. 1 when every byte was written; 0 when the file
// cannot be opened, is refused (5, one WARNING line) or the write falls
// short.
int PrivateFile_AppendLine(const char *path, const char *text, int32_t length);

// Opens the file at path for appending as PrivateFile_AppendLine does (but
// only a link at its last component is refused: its directory is the
// caller's to judge) and keeps it open in *fd, for lines written one
// write(2) each; with replace 1
// a file found there that is refused (another user's, open to group or
// others, not a regular file) is removed (a link itself, never followed)
// and made afresh, once. 1, or 0 with *fd -1.
int PrivateFile_OpenAppend(const char *path, int replace, int *fd);
// One line (its line feed included) appended to fd in one write. 1/0.
int PrivateFile_Write(int fd, const char *path, const char *text, int32_t length);
// fdatasync(2) of fd. 1/0.
int PrivateFile_Sync(int fd, const char *path);
// Closes *fd (-1: nothing) and sets it to -1.
void PrivateFile_Close(int *fd);
// Removes the file at path (a link itself, never followed); a missing file
// is a success. 1/0.
int PrivateFile_Remove(const char *path);

// Reads the whole file at path (walked from "/" as TrustedPath_Open walks:
// another user's link or directory on the way is refused) into a new
// zero-terminated block of *length +
// 1 bytes (MEM_FREE(*text, *length + 1)). The file must be a regular file
// owned by the effective user or root, with no permission bits for group or
// others, and at most maxBytes long. 1, or 0 with *text NULL and the error:
// 5 for a link or a file that fails a check (one WARNING line says which),
// 193 for one too long, else what the open or read failed with.
int PrivateFile_Read(const char *path, int32_t maxBytes, char **text, int32_t *length);

// Reads the open file fd, whose status gave size bytes, into a new
// zero-terminated block of *length + 1 bytes (MEM_FREE(*text, *length +
// 1)); a file that shrank meanwhile gives what is there, one that grew is
// refused (193). 1, or 0 with *text NULL and the error recorded (path names
// the file in it).
int PrivateFile_ReadOpen(int fd, const char *path, int64_t size, char **text, int32_t *length);
