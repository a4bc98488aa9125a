// Credential: user names and passwords kept for servers (proxy and server
// authentication), under a target text built from the server, the realm and
// the credential kind. The store is the user's own JSON document
// "credentials" in the program's data directory ($XDG_DATA_HOME/keelson/,
// root's /var/lib/keelson/): {target: {"user": ..., "password": ...}}.
//
// Invariants: (1) the document's directory is 0700 (a writer tightens it when
// another part of the program made it first, and refuses one the effective
// user does not own; root's, the machine's data directory everyone reads
// the machine hive through, is 0755) and reached without following a link
// anywhere on its path; the document is 0600, opened without following a
// link and refused unless the effective user owns it. (2) a write replaces the whole document atomically (temporary
// file, fsync, rename, fsync of the directory) under an exclusive lock on
// credentials.lock beside it, so concurrent writers lose nothing and a
// writer killed at any point leaves the old or the new document. (3) a read
// never returns a cut user name or password: what does not fit its buffer
// with the terminator is a failure. (4) passwords never reach the log.
//
// Threads: any thread; writers of all processes serialise on the lock file,
// readers take no lock.
#pragma once

#include <cstdint>

// A target text, terminator included.
constexpr int kCredentialTargetBytes = 320;
// The password buffer of Platform_CredentialRead and _Load, terminator
// included; the user-name buffers that callers usually pass are as large.
constexpr int kCredentialPasswordBytes = 8192;
constexpr int kCredentialUserNameBytes = 8192;
// Kinds 0 and 1 are groups: 0 stands for kinds 2 and 3, 1 for kinds 4 and 5.
constexpr int kCredentialGroupBasic = 0;
constexpr int kCredentialGroupNegotiate = 1;

// Writes the credential of target; with userName or password NULL deletes it
// instead (0 with 2 when there was none). 1/0 (the thread's last error says
// why). Stops on a NULL target.
int Platform_CredentialWrite(const char *target, const char *userName, const char *password);
// Reads the credential of target into userName (size bytes) and password
// (kCredentialPasswordBytes). 1; 0 with both empty when there is none, the
// document is refused or either text does not fit with its terminator. Stops
// on any NULL pointer.
int Platform_CredentialRead(const char *target, char *userName, int size, char *password);
// Builds "pelk.webget:<server>", then ":<realm>" when realm is not empty,
// then ":%04lx" of kind into out (kCredentialTargetBytes). 1; 0 with out
// empty when it does not fit. Stops on a NULL server or out.
int Platform_CredentialTarget(int kind, const char *server, const char *realm, char *out);
// Writes (or, with a NULL name or password, deletes) the credential of each
// kind of the group (or the single kind). 1 when either write worked.
int Platform_CredentialStore(int kind, const char *server, const char *realm, const char *userName,
                             const char *password);
// Reads the credential of the group's kinds in order (or the single kind);
// the first that reads wins. 1/0 as Platform_CredentialRead.
int Platform_CredentialLoad(int kind, const char *server, const char *realm, char *userName,
                            int size, char *password);

// Test-only: the directory that holds the document (NULL: the real one).
void Credential_SetDirectoryForTest(const char *directory);
