// RunPath: where the run files of named locks and marks live (posix-internal).
// The run directory is $XDG_RUNTIME_DIR/keelson, else
// /run/user/<uid>/keelson, else, under the user's home where no other user
// can make it first, $XDG_CACHE_HOME/keelson/run (without it,
// <home>/.cache/keelson/run, the home the password database names): created
// 0700 (the cache directories too, when missing), its owner checked, opened
// without following a link. A root process with a desktop user uses that
// user's directory (the user's defaults: /run/user/<uid>, else the home),
// created and touched under the user's file-system identity, so an elevated
// and a normal instance meet there.
//
// Invariants: (1) a directory owned by another user is refused (5, and an
// ERROR line names the owner); one of the user's open to others is narrowed
// to 0700 (a WARNING line says so). (2) distinct names give distinct file
// names: '%' and every byte but letters, digits, '.', '_' and '-' become %XX,
// a leading '.' too; a name whose socket path would not fit 108 bytes is
// replaced by "%h" and a 64-bit hash of it (never the result of escaping).
//
// Threads: any thread; no shared state.
#pragma once

#include <cstdint>

// The largest socket path, terminator included.
constexpr int kRunPathSocketBytes = 108;

// out = the run directory, '/', the escaped name, suffix (".lock", ".sock",
// both five bytes, so the two files of one name agree). *uid: whose
// file-system identity touches the files (FsIdentityScope). 1, or 0 with the
// error recorded (87 for an empty name).
int RunPath_Get(const char *name, const char *suffix, char *out, int size, uint32_t *uid);
