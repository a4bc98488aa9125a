// LibraryFile: a plug-in library's file, held open by descriptor from its
// check to its unloading, so that the file that was checked is the file that
// is loaded. The path is made canonical once and opened; the check and the
// loader then both read it through loadPath ("/proc/self/fd/N"), so a file
// put in its place meanwhile is never mapped.
//
// Invariants: (1) fd is -1 or an open descriptor that this record owns; (2)
// loadPath names fd while it is open; (3) device and inode identify the
// opened file and stay after the close.
//
// Threads: a record belongs to one thread at a time; the functions keep no
// state of their own.
#pragma once

#include <cstdint>

struct PlatformModule;

// "/proc/self/fd/" and a descriptor number.
constexpr int32_t kLibraryFileLoadPathBytes = 32;

struct LibraryFile {
  int fd;  // -1 when closed
  uint64_t device;
  uint64_t inode;
  char loadPath[kLibraryFileLoadPathBytes];
};

// A record that holds nothing (fd -1, no identity).
constexpr LibraryFile kLibraryFileNone = {-1, 0, 0, {}};

// Opens the library file at path for reading (close-on-exec) after making the
// path canonical. Only an absolute path is opened: a bare name would be
// searched for along the loader's directories, and a relative one depends on
// the current directory; both fail with kPlatformErrorInvalidParameter. 0
// with *file closed when the path cannot be resolved or opened (the error is
// recorded). Stops the program on a NULL path or file.
int LibraryFile_Open(const char *path, LibraryFile *file);
// Closes the descriptor (the identity stays). A closed record is left alone.
void LibraryFile_Close(LibraryFile *file);
// 1 when both records identify the same file (device and inode); a record
// that never opened one matches nothing.
int LibraryFile_IsSame(const LibraryFile *a, const LibraryFile *b);
// 1 when module, as the loader returned it for file's loadPath, was mapped
// from that file. The loader also knows an object by every name it was
// opened under, so a descriptor number that another load used before may
// name a library that is still loaded; such a module fails here. Stops the
// program on a NULL file or module.
int LibraryFile_IsLoadedFrom(const LibraryFile *file, PlatformModule *module);
