// FileOps: whole-file operations outside an open File: erase, move and copy
// with retries, symbolic links, file size, times, mode and attribute bits,
// and the guard that keeps tree deletion away from the roots a user cannot
// afford to lose.
//
// Paths are resolved ("~") and normalised before use (Path_Resolve,
// Path_Normalize with flag 0x1). Operations with an error out-parameter set it
// to 0 on success and to the platform error (core/platform/platform.h) on failure, and
// leave the same code as the thread's last error.
//
// Invariants: (1) no operation follows a symbolic link to change what the
// link points at, except SetMode, SetModifiedTime and SetAttributes, which
// act on the target as chmod does; erasing a link removes the link. (2) the
// mode of a file is never changed to erase it: what blocks deletion is the
// parent's write bit, lent for the erase and given back when the parent stays.
// (3) a failed MoveFile or CopyFile leaves an existing destination as it was,
// and a failed CopyFile leaves no destination it created. (4) retry loops
// sleep 1000 ms between tries and never after the last; each retry and each
// final failure writes one DEBUG line. (5) no path is ever cut: a path that
// does not fit 4096 bytes fails with 206.
//
// Threads: any thread; nothing here keeps state. A retry loop blocks its
// thread for up to (tries - 1) seconds.
#pragma once

#include <cstdint>

#include "core/platform/platform.h"

struct PlatformDirectory;

// ---- Erase, move, copy ---------------------------------------------------------------

// Deletes a file (or a symbolic link: never its target) with up to tries
// attempts. A missing path is a success without a line. A directory is
// refused (5) with "Unable to erase path that is not a file (%s)\n". An
// attempt refused (5) in a parent without the owner write bit lends that bit
// to the parent for one more attempt. Retries log "Retrying EraseFile(%s) [LE:
// %d Try: %d/%d]\n", the end "EraseFile(%s) failed [LE: %d]\n"; tries below 1
// fail at once with the failed line (87). 1/0. Stops on a NULL path or error.
int EraseFile(const char *path, int tries, int *error);

// Removes an empty directory (a link to one: the link) with retries as
// EraseFile does, with the lines "Retrying ErasePath(%s) ..." and
// "ErasePath(%s) failed [LE: %d]\n". A missing path fails (2). A protected
// path (Path_IsProtected) is refused with 5. 1/0. Stops on NULL.
int ErasePath(const char *path, int tries, int *error);

// Moves a file to destination, replacing an existing file atomically: the
// old destination stays as it was until the new one is whole in its place,
// and stays on any failure. Source and destination naming the same file
// (equal paths, or the same device and inode such as a hard link) is a
// success that does nothing. A source that does not exist: "MoveFile(%s, %s)
// source does not exist\n". A destination that is a directory: 5 with
// "Unable to erase path that is not a file (%s)\n". The destination's
// directory is created ("MoveFile(%s, %s) unable to create destination
// directory [LE: %d]\n"). Across file systems the data goes through a
// temporary file beside the destination, written through to disk, with
// progress(context, source, destination, done, total) after each chunk (0
// cancels: 1235); a source that cannot be removed afterwards is a failure.
// Retries log "Retrying MoveFile(%s, %s) [LE: %d Try: %d/%d]\n", the end
// "MoveFile(%s, %s) failed [LE: %d]\n". 1/0. Stops on NULL paths or error.
int MoveFile(const char *source, const char *destination, int tries, int *error,
             PlatformProgressFunction progress, void *context);

// Copies a file: creates the destination's directory ("CopyFile(%s, %s)
// unable to create destination directory [LE: %d]\n"), then copies data,
// permission bits and modified time into a new file beside the destination
// and renames it into place (Platform_CopyFileAt; "CopyFile(%s, %s) failed
// [LE: %d]\n"), so a link at the destination is replaced, never written
// through. With failIfExists 1 an existing destination fails (80); a file
// onto itself fails (32). A failed copy leaves the destination as it was. Stops with "Assertion failed
// (((FailIfExists) == FALSE || (FailIfExists) == TRUE))\nVariable '%s' is not
// boolean\n" when failIfExists is neither 0 nor 1, and on NULL paths or error.
int CopyFile(const char *source, const char *destination, int failIfExists, int *error,
             PlatformProgressFunction progress, void *context);

// 1 for paths no tree operation may erase: the root "/", a bare drive ("X:",
// "X:/"), and the user's home directory (by text or by device and inode).
// Stops on NULL.
int Path_IsProtected(const char *path);

// ---- Links ------------------------------------------------------------------------------

// 1 when the path itself is a symbolic link (attribute 0x20).
int Path_IsSymbolicLink(const char *path);
// Follows symbolic links from path, at most 25 of them; a relative target is
// joined to its link's directory. The first path that is not a link (it need
// not exist) goes to out. 1, or 0 with out empty: 1921 beyond 25 links, the
// platform's error when a link cannot be read, 206 when out is too small.
int Path_ResolveLinks(const char *path, char *out, int size);
// Creates the link's missing parent directories, then a link at link pointing
// to target (target is stored as given). flags bit 0x1: target is a
// directory (a hint only). 1/0.
int Path_CreateSymbolicLink(const char *link, const char *target, int flags);

// ---- Size, times, mode, attributes ----------------------------------------------------

// The size of the file path names (links followed). 1, or 0 with *size 0.
int Path_GetFileSize(const char *path, uint64_t *size);

// Seconds since 1970 (links followed). The creation time is the birth time
// where the file system keeps one, else the earliest known time. 1, or 0 with
// *seconds 0 and "GetCreationTime(%s) failed [LE: %d]\n" / "GetModifiedTime(%s)
// failed [LE: %d]\n".
int GetCreationTime(const char *path, double *seconds, int *error);
int GetModifiedTime(const char *path, double *seconds, int *error);
// Sets the modified time (fractions kept to the nanosecond; the access time
// stays). A creation time cannot be set here. "SetModifiedTime(%s) failed
// [LE: %d]\n". 1/0.
int SetModifiedTime(const char *path, double seconds, int *error);

// The mode bits (0xF000 type, 0x4000 directory; 0777 permissions) of the
// path (links followed). 1, or 0 with *mode 0 and "GetMode(%s) failed [LE:
// %d]\n".
int GetMode(const char *path, uint32_t *mode, int *error);
// Sets the permission bits (mode & 07777) of the path; on a link, of its
// target, as chmod does. "SetMode(%s) failed [LE: %d]\n". 1/0.
int SetMode(const char *path, uint32_t mode, int *error);

// The attribute bits (core/platform/platform.h: 0x1 read-only, 0x2 hidden, 0x10
// directory, 0x20 link) of the path itself. "GetAttributes(%s) failed [LE:
// %d]\n". 1, or 0 with *attributes 0.
int GetAttributes(const char *path, uint32_t *attributes, int *error);
// Sets the read-only bit (the others cannot be set here and are ignored).
// "SetAttributes(%s) failed [LE: %d]\n". 1/0.
int SetAttributes(const char *path, uint32_t attributes, int *error);

// Gives the path the owner write bit when it lacks it, and confirms by
// reading the mode again. Read with lstat: a symbolic link is left alone (1).
// 1 when the path is writable by its owner afterwards; 0 when it does not
// exist or the change was refused.
int Path_MakeWritable(const char *path);

// ---- Retry loop ---------------------------------------------------------------------

// One attempt of a retried operation: 1 done, 0 failed with the thread's
// last error set.
typedef int (*FileOpsAttempt)(void *context);

// Runs attempt up to tries times, 1000 ms apart. operation names the lines:
// "Retrying <operation>(<path>[, <other>]) [LE: %d Try: %d/%d]\n" after each
// failed try that has another after it, "<operation>(<path>[, <other>])
// failed [LE: %d]\n" after the last. other may be NULL. *error as above.
// 1/0.
int FileOps_Retry(const char *operation, const char *path, const char *other, int tries,
                  int *error, FileOpsAttempt attempt, void *context);

// Removes name inside the open directory parent (unlink, or rmdir with
// isDirectory 1). When that is refused (5) and parent lacks the owner write
// bit, the bit is lent to parent for one more attempt and taken back after
// it. 1/0 with the thread's last error.
int FileOps_RemoveAt(PlatformDirectory *parent, const char *name, int isDirectory);

// ---- Platform side (core/posix/fileops.cpp) --------------------------------------------
//
// The few system calls the operations above need beyond core/platform/platform.h. Each
// records the thread's last error on failure (core/platform/platform.h invariant 4).

// Who a path is: device, inode, the full mode and the modified time.
struct FileIdentity {
  uint64_t device;
  uint64_t inode;
  uint32_t mode;
  int64_t size;
  int64_t modifiedSeconds;
  int32_t modifiedNanoseconds;
  uint32_t links;  // hard links to the inode: more than 1 means other names reach it
  uint32_t owner;  // the owning user's id
};

// stat(2) (followLinks 1) or lstat(2) of the path. 1, or 0 with it zeroed.
int Platform_GetFileIdentity(const char *path, int followLinks, FileIdentity *identity);
// 1 when path itself (a link not followed) is a FIFO, a socket or a device:
// something that is no regular file, directory or link. 0 otherwise and when
// nothing is there.
int Platform_IsSpecialFile(const char *path);
// The absolute path with every link resolved and no "." or ".." left
// (realpath(3)); the path must exist. 1, or 0 with out empty.
int Platform_GetRealPath(const char *path, char *out, int size);
// Brings every written byte and name change of the file system that holds
// path (a file or directory; a link is followed) to the disk (syncfs), so
// that a record written after it never reaches the disk ahead of the files
// it describes. Waits for the disk. 1/0.
int Platform_SyncFileSystem(const char *path);
// chmod(2) of the path (followLinks 1); with followLinks 0, a link is
// refused (50) and anything else changed without following. 1/0.
int Platform_SetMode(const char *path, uint32_t mode, int followLinks);
// Sets the modified time (the access time stays) of the path, following a
// link (followLinks 1) or setting the link's own (0). 1/0.
int Platform_SetModifiedTime(const char *path, int64_t seconds, int32_t nanoseconds,
                             int followLinks);

// An open directory, reached without following a link at its last step, so a
// directory swapped for a link between a listing and the open is refused
// rather than entered.
struct PlatformDirectory;

// Opens name below parent (parent NULL: name is a path; its earlier
// components are followed, its last is not). A link fails with 3 (or 1921);
// something not a directory with 3. 1 with *directory set, 0 with it NULL.
int Platform_OpenDirectoryAt(PlatformDirectory *parent, const char *name,
                             PlatformDirectory **directory);
// The next entry but "." and "..": its name (name is at least 256 bytes) and
// whether it is a directory itself (a link to one is not), from the listing
// alone where the file system says (no status is read). 1; 0 at the end (18)
// or on a read error.
int Platform_ReadDirectoryAt(PlatformDirectory *directory, char *name, int *isDirectory);
// unlink(2) (isDirectory 0) or rmdir(2) (1) of name inside directory. 1/0.
int Platform_RemoveAt(PlatformDirectory *directory, const char *name, int isDirectory);
// The open directory's own mode, and a change of it (fstat/fchmod: the
// directory that was opened, whatever its name now leads to). 1/0.
int Platform_GetDirectoryMode(PlatformDirectory *directory, uint32_t *mode);
int Platform_SetDirectoryMode(PlatformDirectory *directory, uint32_t mode);
// Closes and clears *directory; NULL is ignored. Returns 1.
int Platform_CloseDirectory(PlatformDirectory **directory);
// Who the open directory itself is (fstat): compared with what a listing
// said, it tells whether the directory opened is the one listed. 1/0.
int Platform_GetDirectoryIdentity(PlatformDirectory *directory, FileIdentity *identity);
// Sets the open directory's own modified time (the access time stays). 1/0.
int Platform_SetDirectoryModifiedTime(PlatformDirectory *directory, int64_t seconds,
                                      int32_t nanoseconds);
// The next entry but "." and "..", as Platform_FindNext fills it (its own
// status: a link is looked through once for the directory bit, never
// entered), and its identity from the same status. An entry gone since the
// directory listed it is passed over. 1; 0 at the end (18) or on a read
// error.
int Platform_ReadDirectoryEntry(PlatformDirectory *directory, DirectoryEntry *entry,
                                FileIdentity *identity);

// The operations below act on name inside directory, never following a link
// at name; with directory NULL, name is a path whose earlier components are
// followed.
// lstat(2) of name. 1, or 0 with *identity zeroed.
int Platform_GetFileIdentityAt(PlatformDirectory *directory, const char *name,
                               FileIdentity *identity);
// Creates the directory name with permission bits mode (less the umask). 1/0
// (183 when something is there already).
int Platform_CreateDirectoryAt(PlatformDirectory *directory, const char *name, uint32_t mode);
// The text of the link name into out (size bytes; 206 when it does not fit).
// 1/0 (out empty).
int Platform_ReadLinkAt(PlatformDirectory *directory, const char *name, char *out, int size);
// Creates a link name whose text is target. 1/0 (183 when name exists).
int Platform_CreateLinkAt(PlatformDirectory *directory, const char *name, const char *target);

// Opens the directory path below root (NULL: the working directory),
// never leaving root and following no link on the way: with openat2 and
// RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS, or, where openat2 is refused
// (ENOSYS, or EPERM under seccomp), one component at a time with O_NOFOLLOW |
// O_DIRECTORY. An absolute path, a ".." above root or a link anywhere on the
// path fails with 5; a missing component with 2 or 3.
// With create 1, missing components are made (mode 0777 less the umask).
// An empty path opens root again. 1 with *directory set, 0 with it NULL.
int Platform_OpenDirectoryBeneath(PlatformDirectory *root, const char *path, int create,
                                  PlatformDirectory **directory);
// Opens the regular file path below root for reading, in one call where
// openat2 is offered (RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS: links that
// stay below root are followed), else by Platform_OpenDirectoryBeneath and
// an open of the last component that follows no link. An absolute path, a
// ".." above root or a link leading out fails with 5, something not a
// regular file (a directory, a pipe, a device) with 5 too, a missing file
// with 2 or 3. Never blocks on a pipe. The descriptor with *identity from
// it, or -1.
int Platform_OpenReadBeneath(PlatformDirectory *root, const char *path, FileIdentity *identity);
// Opens the file name inside directory with open(2) flags openFlags, never
// following a link at name (a link fails with 1921), and takes the share
// modes (shareFlags as for Platform_OpenFile) on it under its
// /proc/self/fd name, so a write-only descriptor's companion opens the same
// file. Only a regular file is opened (a directory only with O_DIRECTORY):
// anything else fails with 5 at once, a FIFO without waiting for a peer. A
// file the open creates gets createMode less the umask; identity, when
// given, is filled from the opened descriptor. The descriptor, or -1.
int Platform_OpenFileAt(PlatformDirectory *directory, const char *name, int openFlags,
                        int shareFlags, uint32_t createMode = 0666,
                        FileIdentity *identity = nullptr);
// renameat2(2) of fromName in from to toName in to, replacing an existing
// file; neither last component is followed. 1/0.
int Platform_RenameAt(PlatformDirectory *from, const char *fromName, PlatformDirectory *to,
                      const char *toName);
// Permission bits and modified time of name itself: a link is refused (50)
// by SetModeAt and given its own time by SetModifiedTimeAt. 1/0.
int Platform_SetModeAt(PlatformDirectory *directory, const char *name, uint32_t mode);
int Platform_SetModifiedTimeAt(PlatformDirectory *directory, const char *name, int64_t seconds,
                               int32_t nanoseconds);
// For tests: 1 makes Platform_OpenDirectoryBeneath walk component by
// component as where openat2 is refused; 0 restores openat2.
void Platform_ForceComponentWalkForTest(int on);
// For tests: 1 makes every identity read through this layer show mode bits
// 0777, as a volume without Unix permissions (ntfs-3g or vfat mounted with
// defaults) shows every file whatever chmod did; 0 restores the real bits.
void Platform_ShowAllPermissionsForTest(int on);

// A file copy between open directories (Platform_CopyFileAt).
struct PlatformCopyAt {
  PlatformDirectory *fromDirectory;  // NULL: fromName is a path, followed as named
  const char *fromName;              // a regular file; a link there is refused (1921)
  PlatformDirectory *toDirectory;    // NULL: toName is a path
  const char *toName;
  const char *source;       // the texts progress calls are given (NULL: the names)
  const char *destination;
  int failIfExists;         // 1: an existing toName fails (80), before any data moves
  void *userData;
  PlatformProgressFunction progress;  // as Platform_CopyFile; NULL: none
  // (offset, length) pairs, ascending and apart: ranges of the source that
  // are not copied. The copy keeps the source's size and reads as zeros
  // there until its owner writes them. NULL or 0 pairs: every byte.
  const int64_t *skip = nullptr;
  int32_t skipCount = 0;
  int keepPrivate = 0;  // 1: the copy stays 0600 instead of taking the source's bits
};
// Copies the data, permission bits and modified time of fromName into a new
// file beside toName (created exclusively, never through a link, readable by
// its owner only until the copy is whole) and renames it over toName, so
// toName is either as it was or the whole copy, and a link at toName is
// replaced, never written through. Copying a file onto itself fails (32); a
// directory at toName fails (5). 1, or 0 with the temporary file removed.
// Ranges to skip are not read (see PlatformCopyAt::skip).
int Platform_CopyFileAt(const PlatformCopyAt *copy);
