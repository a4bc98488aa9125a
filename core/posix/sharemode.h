// ShareMode: the desktop system's share modes for Platform_OpenFile, built on
// open-file-description locks (F_OFD_SETLK, F_OFD_GETLK) on four sentinel
// bytes far past any real data: kShareModeLockBase + 0 (read access held),
// + 1 (write access held), + 2 (reading denied), + 3 (writing denied).
//
// An opener first takes read locks on the bytes of the access it holds and
// of each access it denies, and only then tests the opposite bytes for
// another holder's lock (its access against their denial, its denial against
// their access). Of two racing openers at least one sees the other, so both
// may fail but never both succeed.
//
// Invariants: (1) a descriptor that passed ShareMode_Acquire holds its locks
// until the last descriptor of its open file description closes; a forked
// child that keeps it shares them. (2) a read lock needs a readable
// description: a write-only descriptor keeps its locks on a companion
// O_RDONLY descriptor of the same file (same device and inode), which
// ShareMode_Release closes. (3) where the locks cannot be taken (no
// companion, no lock support, a descriptor beyond the table) the file opens
// without share modes and a WARNING line says so. (4) the locks are advisory:
// they bind this program's processes only.
//
// Threads: any thread; the companion table is guarded by one lock.
#pragma once

#include <cstdint>

// The first sentinel byte; the four bytes end below the largest offset.
constexpr int64_t kShareModeLockBase = 0x7FFFFFFFFFFFFFF0;

// Takes the share locks for fd, just opened on path (the path as opened)
// with openFlags; device and inode are fd's (from its fstat). Returns 1 when
// fd may stay open, also when the modes could not be enforced (logged); 0
// with error 32 recorded when another holder conflicts: the locks are
// dropped and the caller closes fd.
int ShareMode_Acquire(int fd, const char *path, int openFlags, int shareFlags, uint64_t device,
                      uint64_t inode);

// Closes fd's companion descriptor, if it has one that is still its
// companion. Called before fd itself is closed.
void ShareMode_Release(int fd);
