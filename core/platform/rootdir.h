// RootDirectory: a directory handle for a root, through which the storage
// drivers open, create, rename, erase, link and change every file of an
// installation, by names relative to the root.
//
// Names: '\' is read as '/'; the root's path, a separator and the name must
// fit kPathMax bytes (else 206). A name is resolved below the root only
// (Platform_OpenDirectoryBeneath): an absolute name, a ".." above the root
// or a link on the way (even one that stays inside) fails with 5.
//
// Invariants: (1) nothing is ever opened, created, renamed, erased or
// changed outside the root's directory, even while its contents change
// under the walk (a directory swapped for a link is refused or stays
// inside). (2) the last component of a name is never followed when it is
// written, replaced, erased or changed (O_NOFOLLOW, AT_SYMLINK_NOFOLLOW,
// renameat); a link there fails an open with 1921. (3) the root's own path
// was resolved once, when the handle was made.
//
// Directories: the parent directories operations reach are kept open (a
// sixteenth of the descriptor limit, 16 to 1024 of them, the least recently
// used closed first) until the handle closes, so
// a file's steps do not open its directory again each time. A kept
// directory stands for the directory reached, as the root's descriptor
// does; one removed or renamed through this handle is forgotten, and one
// another process removed is reached again when something is to be made in
// it (until then, names in it read as missing).
//
// Threads: any thread; the kept directories are guarded by a lock inside,
// everything else is only read after the handle is made.
#pragma once

#include <cstdint>

#include "core/platform/fileops.h"
#include "core/platform/filetrust.h"
#include "core/platform/platform.h"

constexpr uint32_t kRootDirectoryTag = 0x2d7f0c31;

struct AsyncFile;
struct RootDirectoryCache;

struct RootDirectory {
  uint32_t tag;  // kRootDirectoryTag
  PlatformDirectory *directory;
  RootDirectoryCache *cache;  // owned: the kept directories below the root
  char path[kPathMax];  // links resolved, no trailing separator (but "/")
};

// The directory on the way to a root that another user may change.
struct RootDirectoryRefusal {
  char path[kPathMax];  // as walked
  FileTrustVerdict verdict;
};

// Opens the root at path, walked from "/" (a relative path from the working
// directory) one component at a time as the system reads it, ".." the
// parent of the directory reached; with create 1 missing directories are
// made on the way, 0755 (the root itself mode), whatever the umask. A link
// on the way is followed only when this process's user or root owns it:
// any other fails with 5. Every directory reached, made or found made by
// another process meanwhile, is judged on its descriptor by FileTrust's
// rule (core/platform/filetrust.h): the first that another user may change
// fails with 5 (errno EPERM), told in refusal when given. Each call walks
// the path anew: a run that must keep working in the directory it opened
// at the start carries that handle (RootDirectory_Duplicate). 1, or 0 with
// the last error.
int RootDirectory_Open(const char *path, int create, RootDirectory **root,
                       uint32_t mode = 0755, RootDirectoryRefusal *refusal = nullptr);
// 1 with the path (as walked) of the first link on the way to path that
// RootDirectory_Open refuses (owned by neither this process's user nor
// root) in link (size bytes); 0 when there is none.
int RootDirectory_FindForeignLink(const char *path, char *link, int size);
// 1 when RootDirectory_FindForeignLink finds such a link.
int RootDirectory_IsForeignLink(const char *path);
// A second handle of the directory root stands for (its own descriptor,
// kept directories not shared), for an owner that closes it on its own
// time: whatever the root's path leads to later, the copy reaches the
// directory opened at the start. 1, or 0 (*copy NULL) with the last error.
int RootDirectory_Duplicate(RootDirectory *root, RootDirectory **copy);
// A path that reaches name in the root through the root's own descriptor
// ("/proc/self/fd/7/name"; name "" for the directory itself), for an
// interface that takes paths (a file:// URL, a save): it stays valid while
// root is open, whatever the root's path leads to by then. 1, or 0 when
// it does not fit size bytes.
int RootDirectory_GetDescriptorPath(RootDirectory *root, const char *name, char *out, int size);
// The same for a file open at fd ("/proc/self/fd/N"): a path that reads
// that very file while fd stays open. 1, or 0 when it does not fit.
int RootDirectory_GetOpenFilePath(int fd, char *out, int size);
// Opens name (in the root's directory itself: no '/') for reading, never
// through a link at it and never waiting on a pipe, with *identity from the
// descriptor (fstat): what it says is what a read of the descriptor gives.
// The descriptor (the caller's to close), or -1 with the last error (a link
// at name: 1921, errno ELOOP; *identity zeroed).
int RootDirectory_OpenRead(RootDirectory *root, const char *name, FileIdentity *identity);
// The real path (links and dots resolved) of the directory path names as
// the system reads it, "." and ".." kept where they stand ("l/../x" is x
// beside the directory the link l leads to), walked as RootDirectory_Open
// walks: a link that neither root nor this process's user owns is not
// followed (5, its path as walked in link, kPathMax bytes, else link
// empty). Nothing is made. 1 with out (size bytes), or 0 with the last
// error.
int RootDirectory_GetRealPath(const char *path, char *out, int size, char *link);
// Removes the root's directory itself when it is empty and its name (the
// real path when it was opened) still leads to it. 1 when removed, else 0.
int RootDirectory_RemoveIfEmpty(RootDirectory *root);
// The root directory's own descriptor (borrowed: valid while root is open).
int RootDirectory_GetDescriptor(RootDirectory *root);
// Closes and clears *root; NULL is ignored. Returns 1.
int RootDirectory_Close(RootDirectory **root);

// Opens the directory that holds name (made with create 1) and copies
// name's last component into leaf (kPathMax bytes). An empty, "." or ".."
// last component fails with 5. 1/0 with the last error.
int RootDirectory_OpenParent(RootDirectory *root, const char *name, int create,
                             PlatformDirectory **parent, char *leaf);

// Opens name into file (closed) with AsyncFile's open flags: share modes,
// the unbuffered bit (refused by the file system: opened buffered), cutting
// and positioning as AsyncFile_Open does; parents are made when the flags
// may create. A file opened for writing that has another hard link is
// closed again unwritten and refused with 5 (errno EMLINK): whoever made
// that link would have us write into a file of theirs choosing. 1, or 0
// with the last error (also the file's). With kAsyncFilePrivate a file the
// open makes is 0600, and one it finds to write is refused with 5 (errno
// EPERM) unless this user owns it and neither group nor others may write
// it; such a file is set 0600 before it is returned. identity (optional)
// receives the opened file's. expected (optional): the device and inode of
// a file this process made; the file opened must be that one (else 5,
// errno ESTALE), and, being it, is not judged again by owner or mode bits.
int RootDirectory_OpenFile(RootDirectory *root, const char *name, uint32_t flags,
                           AsyncFile *file, FileIdentity *identity = nullptr,
                           const FileIdentity *expected = nullptr);
// lstat of name. 1, or 0 with it zeroed and the last error.
int RootDirectory_GetIdentity(RootDirectory *root, const char *name, FileIdentity *identity);
// unlink (isDirectory 0: a link is removed, never its target) or rmdir
// (1: a real, empty directory) of name. 1/0.
int RootDirectory_Remove(RootDirectory *root, const char *name, int isDirectory);
// Removes name whatever it is: a directory with everything below it (links
// removed, never followed). A directory is removed only when it and every
// entry below it are this user's: one of another user's fails the whole
// removal with 5 (errno EPERM, its path below the root in foreign, when
// given, kPathMax bytes) before anything is removed. A missing name
// succeeds. 1/0.
int RootDirectory_RemoveTree(RootDirectory *root, const char *name, char *foreign = nullptr);
// Renames from to to (parents of to made), replacing a file at to. 1/0.
int RootDirectory_Rename(RootDirectory *root, const char *from, const char *to);
// Copies the regular file from to to (data and modified time;
// copy_file_range; the copy is 0600, its final mode the caller's to give),
// replacing a file at to; skipCount (offset, length)
// pairs of skip, ascending and apart, are neither read nor written (zeros in
// the copy, which keeps the source's size). 1/0.
int RootDirectory_Copy(RootDirectory *root, const char *from, const char *to,
                       const int64_t *skip = nullptr, int32_t skipCount = 0);
// A link at name with the text target (parents made), replacing a file or
// link that is there by rename (the name is never missing meanwhile); a
// directory there fails with 5. 1/0.
int RootDirectory_CreateLink(RootDirectory *root, const char *name, const char *target);
// The link's text into out (size bytes). 1/0.
int RootDirectory_ReadLink(RootDirectory *root, const char *name, char *out, int size);
// Permission bits of name itself (a link is refused with 50). 1/0.
int RootDirectory_SetMode(RootDirectory *root, const char *name, uint32_t mode);
// The modified time of name itself, in seconds since 1970 as
// AsyncFile_SetModifiedTime takes it (out of its range: 13); the access
// time stays. 1/0.
int RootDirectory_SetModifiedTime(RootDirectory *root, const char *name, double seconds);
// Gives name the owner write bit when it lacks it; a link or a missing name
// is left alone. 1/0.
int RootDirectory_MakeWritable(RootDirectory *root, const char *name);
