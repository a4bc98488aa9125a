// FsDirectory: what core/posix/fileops.cpp and core/posix/filesystem.cpp
// share about open directories and files: the record behind
// PlatformDirectory, the filler of a listing's DirectoryEntry, and the open
// of a file that never waits on a FIFO or device.
//
// Invariants: (1) a PlatformDirectory owns its DIR and the descriptor in it;
// every *At operation acts through that descriptor. (2) clusterBytes is 0
// until a listing first needs it, then the cluster size of the directory's
// file system.
//
// Threads: a PlatformDirectory belongs to one thread at a time.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>

#include "core/platform/fileops.h"
#include "core/platform/platform.h"

struct PlatformDirectory {
  uint32_t tag;
  uint32_t clusterBytes;
  DIR *dir;
};

// directory itself; stops the program on NULL or a record of another kind.
PlatformDirectory *FsDirectory_Check(PlatformDirectory *directory);
// A name inside an open directory, copied whole to out (kPathMax bytes): no
// separator is rewritten, as it may be part of the name. false (206) when it
// does not fit.
bool FsDirectory_Name(const char *name, char *out, const char *call);
// The next entry of directory but "." and ".."; NULL at the end (18) or on
// a read error, recorded.
struct dirent *FsDirectory_Next(PlatformDirectory *directory);
// The descriptor to act through: directory's, or AT_FDCWD for NULL.
int FsDirectory_Fd(PlatformDirectory *directory);

// statx(2) with the mask every listing needs, retried on EINTR. 0 or -1.
int FsDirectory_Statx(int dirfd, const char *path, int flags, struct statx *sx);
// The listing record of name inside dirfd from its own status sx.
void FsDirectory_FillEntry(int dirfd, const char *name, const struct statx &sx,
                           uint32_t clusterBytes, DirectoryEntry *entry);
// The device, inode, mode, size and modified time in sx.
void FsDirectory_Identity(const struct statx &sx, FileIdentity *identity);
// The cluster size of the file system that holds fd (at least 1).
uint32_t FsDirectory_ClusterBytes(int fd);

// Opens path (relative to dirfd) with openFlags, O_NONBLOCK, O_NOCTTY and
// O_CLOEXEC, so that a FIFO, socket or device at path cannot hold the open
// (a FIFO opened to read waits for a writer; to write, for a reader), then
// refuses anything but a regular file, or a directory when openFlags has
// O_DIRECTORY, before a byte is read or written: 5, also for the ENXIO of a
// FIFO without a reader or a socket. O_NONBLOCK is cleared again unless
// openFlags has it. An exclusive create that finds a file fails with 80.
// The descriptor with its status in *st, or -1 with the failure recorded
// under call and shown (the caller's spelling of the path).
int FsDirectory_OpenFile(int dirfd, const char *path, int openFlags, mode_t mode,
                         const char *call, const char *shown, struct stat *st);
