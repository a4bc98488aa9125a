// Mutex: a named lock shared by the processes of one user, the object under
// the single-instance mark. "Local\\<name>" (or a bare name) is the file
// <name>.lock in the user's run directory, held with an exclusive flock: the
// kernel drops it when its holder ends, however it ends, so a mark is never
// left taken by a process that is gone.
//
// Invariants: (1) the run directory is $XDG_RUNTIME_DIR/keelson (else
// /run/user/<uid>/keelson, else $XDG_CACHE_HOME/keelson/run under the
// user's home), mode 0700 and owned by the user; a directory or lock file
// owned by anyone else is refused (5). (2) a root process
// with a desktop user uses that user's run directory under the user's
// file-system identity, so an elevated and a normal instance share one lock.
// (3) names are escaped into file names ('%' and every byte but letters,
// digits, '.', '_' and '-' as %XX; a leading '.' too), so distinct names give
// distinct files; a path that would not fit a socket address (108 bytes) uses
// a hash of the name instead. (4) the lock is held per object: two objects of
// one name exclude each other even in one process.
//
// Threads: one thread at a time per object; different objects on any thread.
#pragma once

#include <cstdint>

constexpr uint32_t kMutexTag = 0x80047a29;
// How often a timed wait tries the lock again.
constexpr int32_t kMutexPollMs = 10;

struct Mutex;

// Opens (creating when missing) the lock file of name; does not take the
// lock. 1 with *mutex, or 0 with *mutex NULL and the failure logged. Stops
// the program with "Pointer is NULL\n" on a NULL argument.
int Mutex_Create(Mutex **mutex, const char *name);
// Releases the lock when held, closes the file, frees the object and clears
// *mutex. 1; 0 when there is nothing to delete.
int Mutex_Delete(Mutex **mutex);
// Takes the lock, trying every kMutexPollMs until timeoutMs have passed (0:
// one try; negative: waits without limit). 1 when taken, 0 when not (1460
// after a time-out).
int Mutex_Wait(Mutex *mutex, int32_t timeoutMs);
// Gives the lock back. 1; 0 when it was not held.
int Mutex_Release(Mutex *mutex);
