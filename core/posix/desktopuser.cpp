// The desktop user and the per-thread file-system identity; see
// core/posix/desktopuser.h.
#include "core/posix/desktopuser.h"

#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/platform/platform.h"
#include "core/posix/errors.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

constexpr const char *kSystemdRunDir = "/run/systemd";
// Password entries hold a handful of short texts; 16 KiB fits any sane one.
constexpr size_t kPasswdBytes = 16384;
// Supplementary groups a thread takes over; more are cut (logged).
constexpr int kMaxGroups = 256;

const char *gSystemdRunDir = nullptr;

// A uid text counts only as a whole decimal number below 2^32 - 1 (which
// means "no uid" to the system calls).
int desktopUserParseUid(const char *text, uint32_t *uid) {
  if (text == nullptr || *text == '\0') return 0;
  uint64_t value = 0;
  for (const char *p = text; *p; p++) {
    if (*p < '0' || *p > '9') return 0;
    value = value * 10 + uint64_t(*p - '0');
    if (value >= 0xFFFFFFFFu) return 0;
  }
  *uid = uint32_t(value);
  return 1;
}

// 1 when uid has a password entry.
int desktopUserExists(uint32_t uid) {
  DesktopUserAccount account;
  return DesktopUser_ReadAccount(uid, &account);
}

// The value of "key=" in a small key=value file, copied to out.
int desktopUserReadKey(const char *path, const char *key, char *out, size_t size) {
  FILE *file = fopen(path, "re");
  if (file == nullptr) return 0;
  size_t keyLength = strlen(key);
  char line[512];
  int found = 0;
  while (!found && fgets(line, sizeof line, file) != nullptr) {
    if (strncmp(line, key, keyLength) != 0 || line[keyLength] != '=') continue;
    const char *value = line + keyLength + 1;
    size_t length = strcspn(value, "\r\n");
    if (length + 1 > size) break;
    memcpy(out, value, length);
    out[length] = '\0';
    found = 1;
  }
  fclose(file);
  return found;
}

// The uid of seat0's active session, as the login manager records it.
int desktopUserFromSeat(uint32_t *uid) {
  const char *root = gSystemdRunDir != nullptr ? gSystemdRunDir : kSystemdRunDir;
  char path[kPathMax];
  char session[128];
  char text[32];
  if (Str_Printf(path, int(sizeof path), "%s/seats/seat0", root) <= 0) return 0;
  if (!desktopUserReadKey(path, "ACTIVE", session, sizeof session)) return 0;
  // A session id is a plain name; anything that could leave the directory
  // is not one.
  if (session[0] == '\0' || strchr(session, '/') != nullptr || strcmp(session, "..") == 0) return 0;
  if (Str_Printf(path, int(sizeof path), "%s/sessions/%s", root, session) <= 0) return 0;
  if (!desktopUserReadKey(path, "UID", text, sizeof text)) return 0;
  return desktopUserParseUid(text, uid);
}

// A uid from the environment, when it names an account.
int desktopUserFromEnv(const char *name, uint32_t *uid) {
  const char *text = getenv(name);
  if (text == nullptr) return 0;
  uint32_t value = 0;
  if (!desktopUserParseUid(text, &value) || !desktopUserExists(value)) {
    Log_Print(LOG_WARNING, KSRC, 0, "Ignoring %s [%s]: not a known user id\n", name, text);
    return 0;
  }
  *uid = value;
  return 1;
}

}  // namespace

int DesktopUser_ReadAccount(uint32_t uid, DesktopUserAccount *account) {
  CHECK_POINTER(account);
  char scratch[kPasswdBytes];
  struct passwd entry;
  struct passwd *found = nullptr;
  int rc = getpwuid_r(uid_t(uid), &entry, scratch, sizeof scratch, &found);
  if (rc != 0 || found == nullptr || entry.pw_name == nullptr ||
      !Str_Set(account->name, entry.pw_name, int(sizeof account->name)) ||
      !Str_Set(account->home, entry.pw_dir != nullptr ? entry.pw_dir : "",
               int(sizeof account->home)) ||
      !Str_Set(account->shell, entry.pw_shell != nullptr ? entry.pw_shell : "",
               int(sizeof account->shell)))
    return POSIX_FAIL_CODE(kPlatformErrorFileNotFound, rc, "getpwuid_r", nullptr);
  account->uid = uint32_t(entry.pw_uid);
  account->gid = uint32_t(entry.pw_gid);
  return 1;
}

int DesktopUser_GetUid(uint32_t *uid) {
  CHECK_POINTER(uid);
  if (geteuid() != 0) {
    *uid = uint32_t(geteuid());
    return 1;
  }
  if (desktopUserFromEnv("PKEXEC_UID", uid) || desktopUserFromEnv("SUDO_UID", uid)) return 1;
  uint32_t value = 0;
  if (desktopUserFromSeat(&value) && desktopUserExists(value)) {
    *uid = value;
    return 1;
  }
  Log_Print(LOG_WARNING, KSRC, 0, "No desktop user found\n");
  return 0;
}

void DesktopUser_SetSystemdRunDirForTest(const char *dir) { gSystemdRunDir = dir; }

int Platform_GetDesktopUserSid(char *sid, size_t maxSid) {
  CHECK_POINTER(sid);
  if (maxSid > 0) sid[0] = '\0';
  uint32_t uid = 0;
  if (!DesktopUser_GetUid(&uid)) return 0;
  char text[16];
  Str_Printf(text, int(sizeof text), "%u", uid);
  size_t length = strlen(text);
  if (length + 1 > maxSid) return 0;
  memcpy(sid, text, length + 1);
  return 1;
}

// The raw system calls change the calling thread's credentials only; the C
// library's wrappers would apply setgroups to every thread of the process.
FsIdentityScope::FsIdentityScope(uint32_t uid) {
  if (geteuid() != 0 || uid_t(uid) == geteuid()) {
    ok_ = 1;
    return;
  }
  DesktopUserAccount account;
  if (!DesktopUser_ReadAccount(uid, &account)) {
    Log_Print(LOG_WARNING, KSRC, 0, "No password entry for uid %u\n", uid);
    return;
  }
  const gid_t gid = gid_t(account.gid);
  gid_t groups[kMaxGroups];
  int count = kMaxGroups;
  if (getgrouplist(account.name, gid, groups, &count) < 0) {
    count = 1;
    groups[0] = gid;
  }
  oldCount_ = int(syscall(SYS_getgroups, kMaxOldGroups, oldGroups_));
  if (oldCount_ < 0 || syscall(SYS_setgroups, size_t(count), groups) != 0) {
    Log_Print(LOG_WARNING, KSRC, 0, "Unable to take the groups of uid %u (errno %d)\n", uid, errno);
    return;
  }
  oldGid_ = gid_t(setfsgid(gid));
  oldUid_ = uid_t(setfsuid(uid_t(uid)));
  switched_ = true;
  // setfsuid answers the previous value even when it fails; asking again
  // with the same value tells whether the change took.
  ok_ = uid_t(setfsuid(uid_t(uid))) == uid_t(uid) && gid_t(setfsgid(gid)) == gid ? 1 : 0;
}

FsIdentityScope::~FsIdentityScope() {
  if (!switched_) return;
  setfsuid(oldUid_);
  setfsgid(oldGid_);
  syscall(SYS_setgroups, size_t(oldCount_), oldGroups_);
}
