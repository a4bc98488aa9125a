// Preflight: what `keelson sync` makes sure of before it writes anything:
// the installation directory can be written, no other sync holds the
// installation, and the free space covers what the run will still write.
// The hold is a kernel lock named by the installation directory's identity
// (Platform_LockInstallation: a file only the running user can open), the
// directory opened once here (walked from "/", see RootDirectory_Open) and
// handed to the run as the directory it works in (Preflight_GetDirectories),
// so any path or repository file that names it meets the same lock; and a lock
// file beside the local metafile ("<metafile>.lock", 0600, this process's
// id in it while held; a file there that is not ours alone is made anew).
// Both go with the process however it ends; the file itself stays.
//
// What a run still writes, once both metafiles are known: the full new size
// of every file that is missing, of another size, or whose pieces differ
// from the installed version's (a changed file is built beside the old one,
// which stays until the new one is whole), less what a partial file of it
// already holds; and those files' bytes once more where the pending storage
// keeps them, when the run writes through it (a remote with deltas, or
// "inplace" false; a plain remote's pieces go straight to the installation).
// Damage that only the piece check finds is not foreseen.
//
// Invariants: (1) the lock is held from Preflight_Begin to Preflight_Release.
// (2) a refusal is one line, "keelson: <repository>: <path>: <cause>".
//
// Threads: main thread only.
#pragma once

#include <cstdint>

struct Dictionary;
struct Preflight;
struct Repository;
struct RootDirectory;

constexpr int kPreflightLineBytes = 4096 + 512;
constexpr const char kPreflightLockSuffix[] = ".lock";

// Makes every relative path of the repository file (config: "metafile" when
// it is no URL, and the "path" and "ignore" of each file and filePiece
// storage under "local", "pending" and "remote", a mux's "storages"
// included) absolute against the working directory, so that the lock, the
// local metafile, the storages, the space check and the clean-up all read
// one place however each of them treats a relative name. A ".." after a
// name is read as the system reads it (the parent of where a link leads):
// the part up to it becomes the real path it reaches, and another user's
// link on the way is refused. Other paths starting with "/" or "~" are left
// as they are. 1; 0 with the line in line when the working directory
// cannot be read, a path does not fit or cannot be walked.
int Preflight_ResolvePaths(Dictionary *config, char *line, int size);
// Checks that no link of another user's lies on the way to the local
// storage's "path" or the metafile's directory, that the path (or the
// directory it would be made in) may be written, opens (makes) and locks
// the installation directory, then takes the lock beside config's
// "metafile" (none without one), making its directory when missing. 1 with
// *preflight; 0 with *preflight NULL and the refusal in line: "<link>: a
// link on the way to the ... is owned by another user, and is not
// followed", "<folder> (owner O, group G, mode M), on the way to the
// installation directory <path>, may be changed by another user: ..." (or
// "belongs to another user") for a folder on the way to the installation,
// the metafile's or a pending storage's directory that FileTrust's rule
// refuses (core/platform/filetrust.h), "... is not writable (...)",
// "<installation>: already running (pid N)" (", which is no longer
// running: ..." when that process has gone) or why a lock could not be
// taken.
int Preflight_Begin(Dictionary *config, Preflight **preflight, char *line, int size);
// The installation directory and the local metafile's directory as opened,
// judged and locked here (borrowed: valid until Preflight_Release; NULL
// where the configuration has none), for the run to work in. 1.
int Preflight_GetDirectories(Preflight *preflight, RootDirectory **installation,
                             RootDirectory **metafileDirectory);
// The bytes the run still writes under the local storage's root and through
// the pending storage (see the header comment), from r's loaded metafiles.
// Returns 1; 0 (both 0) when the remote metafile is not loaded.
int Preflight_GetNeed(Repository *r, int64_t *local, int64_t *pending);
// 1 when the free space of each file system covers what the run writes
// there; 0 with "needs 812.0 MiB, 95.0 MiB free on <path>" in line, or with
// "cannot tell the free space on <path>: <cause>" when the query fails.
int Preflight_CheckSpace(Preflight *preflight, Repository *r, char *line, int size);
// Gives the lock back and frees the record; clears *preflight. Returns 1.
int Preflight_Release(Preflight **preflight);
