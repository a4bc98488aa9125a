// DesktopUser: who the signed-in desktop user is, and a per-thread switch of
// the file-system identity to that user.
//
// A root process (an elevated worker) acts on behalf of the person at the
// desktop: it writes that user's registry hive, runs programs as that user
// and shares that user's single-instance mark. The user is found, in order,
// from PKEXEC_UID (started through pkexec), SUDO_UID (through sudo), then the
// active session of seat0 as the login manager records it under
// /run/systemd. A process that is not root is its own desktop user.
//
// Invariants: (1) a uid text from the environment counts only when it is a
// whole decimal number naming an account in the password database; (2)
// FsIdentityScope changes only the calling thread's file-system uid, gid and
// supplementary groups (through the raw system calls, which act on the
// calling thread alone) and restores them when it ends (a thread started
// inside the scope inherits the identity); (3) nothing changes
// for a process that is not root or when the uid is the effective uid.
//
// Threads: any thread; the test-only directory setter before threads start.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "core/platform/platform.h"

// An account of the password database: what starting a program as a user,
// or finding a user's files, needs of it.
struct DesktopUserAccount {
  uint32_t uid;
  uint32_t gid;  // the primary group
  char name[256];
  char home[kPathMax];
  char shell[kPathMax];  // empty when the entry names none
};

// Reads the password-database entry of uid. 1, or 0 with error 2 recorded
// when there is none (or it does not fit).
int DesktopUser_ReadAccount(uint32_t uid, DesktopUserAccount *account);

// 1 with *uid set when there is a desktop user; 0 when there is none (a
// WARNING line says so).
int DesktopUser_GetUid(uint32_t *uid);

// The calling thread's file-system accesses run as uid, with that user's
// primary group, for the scope's life.
class FsIdentityScope {
 public:
  explicit FsIdentityScope(uint32_t uid);
  ~FsIdentityScope();
  FsIdentityScope(const FsIdentityScope &) = delete;
  FsIdentityScope &operator=(const FsIdentityScope &) = delete;

  // 1 when the identity is the requested one (switched, or nothing to do).
  int ok() const { return ok_; }

 private:
  static constexpr int kMaxOldGroups = 256;
  uid_t oldUid_ = 0;
  gid_t oldGid_ = 0;
  gid_t oldGroups_[kMaxOldGroups] = {};
  int oldCount_ = 0;
  bool switched_ = false;
  int ok_ = 0;
};

// Test-only: the directory standing for /run/systemd (holding seats/ and
// sessions/); NULL restores the default.
void DesktopUser_SetSystemdRunDirForTest(const char *dir);
