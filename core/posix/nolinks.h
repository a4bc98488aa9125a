// NoLinks: opening the program's own directories and files without
// following a link anywhere on their paths. A second local user who can
// write a directory on the way (root run with a user's HOME, a shared
// debug directory) could otherwise point the program at any directory of
// the machine, where it would create, write or chmod as itself.
//
// Invariants: (1) no component of the path is followed when it is a link;
// a link fails with 5, and the directory or file it names is not touched.
// (2) directories made here get exactly the mode asked for, set on the
// descriptor of the directory made, whatever the umask.
//
// Threads: any thread. FsPath_OpenNoLinks neither allocates nor logs (the
// log opens its file with it under its lock).
#pragma once

#include <cstdint>

// Opens the directory path (absolute, or relative to the working directory)
// one component at a time, never following a link; the last `make`
// components are made with mode when missing (0: none may be made). The
// descriptor (O_RDONLY | O_DIRECTORY, close-on-exec), or -1 with the
// failure recorded: 2 or 3 for a missing component, 5 for a link on the way
// (with a WARNING line naming the path).
int FsDirectory_OpenNoLinks(const char *path, int make, uint32_t mode);

// open(2) of path with flags (O_NOFOLLOW and O_CLOEXEC added) and, with
// O_CREAT, mode, refusing a link in any component (openat2 with
// RESOLVE_NO_SYMLINKS; where the kernel refuses openat2, only the last
// component is guarded). The descriptor, or -1 with errno (ELOOP for a
// link); nothing is recorded.
int FsPath_OpenNoLinks(const char *path, int flags, uint32_t mode);
