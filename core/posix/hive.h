// Hive: where the registry's key objects keep their keys and values: one
// SQLite file per hive (the user's, the machine's), tables of keys and
// values, and the desktop user whose hive a root process uses for the
// "desktopuser" class. The key object itself is declared in core/platform/registry.h.
//
// Invariants: (1) a hive file is opened with SQLITE_OPEN_NOFOLLOW, a rollback
// journal (read-only readers keep working), synchronous=FULL and a busy
// time-out (5 s); each write is one BEGIN IMMEDIATE transaction. (2) a root
// process reaches the desktop user's hive only under that user's file-system
// identity, so what it creates belongs to the user and a planted link gives
// it no more than the user's own rights. (3) a hive that does not exist is
// created only by a write; reads of a missing hive find no key.
//
// Threads: any thread. The desktop user is set by Platform_Init and cleared
// by Platform_Shutdown on the main thread while no other thread runs; the
// test setters run before the hives are used.
#pragma once

#include <cstdint>

// The busy time-out of every hive connection.
constexpr int kHiveBusyTimeoutMs = 5000;

// As root: finds the desktop user and, when it has a home, makes it the owner
// of the "desktopuser" hive; when there is none logs "Unable to open desktop
// user key, defaulting to current user\n" and "desktopuser" stays "user". Not
// root: nothing (the class is the user's own hive). Returns 1.
int Hive_OpenDesktopUser(void);
// Forgets the desktop user. Returns 1.
int Hive_CloseDesktopUser(void);
// The uid whose hive "desktopuser" uses; 1 with *uid set, 0 when the class
// falls back to the process's own hive.
int Hive_GetDesktopUser(uint32_t *uid);

// Test-only. With homes set, the home directory of uid n is homes/n instead
// of the passwd entry's; with machine set, the machine hive lives in that
// directory. NULL restores the real place.
void Hive_SetDirectoriesForTest(const char *homes, const char *machine);
// Test-only: the busy time-out in milliseconds; 0 restores kHiveBusyTimeoutMs.
void Hive_SetBusyTimeoutForTest(int milliseconds);
