// FsDirectory: what core/posix/fileops.cpp and core/posix/filesystem.cpp
// share about open directories: the record behind PlatformDirectory, and the
// filler of a listing's DirectoryEntry.
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
