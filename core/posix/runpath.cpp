// Run directory and run file names; see core/posix/runpath.h.
#include "core/posix/runpath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/platform/platform.h"
#include "core/posix/desktopuser.h"
#include "core/posix/errors.h"
#include "core/posix/nolinks.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

constexpr const char *kProgramName = "keelson";
constexpr mode_t kRunMode = 0700;
constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;

bool runPathPlain(char c, bool first) {
  if (c == '.') return !first;
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// The escaped name, or 0 when it does not fit.
int runPathEscape(const char *name, char *out, int size) {
  static const char kHex[] = "0123456789ABCDEF";
  int at = 0;
  for (const char *p = name; *p; p++) {
    auto byte = static_cast<unsigned char>(*p);
    if (runPathPlain(*p, p == name)) {
      if (at + 1 >= size) return 0;
      out[at++] = *p;
      continue;
    }
    if (at + 3 >= size) return 0;
    out[at++] = '%';
    out[at++] = kHex[byte >> 4];
    out[at++] = kHex[byte & 15];
  }
  out[at] = '\0';
  return 1;
}

// The run directory of uid in out, and in *create how many of its trailing
// components are made when missing (the user's runtime directory is never
// made here; a cache directory may be). own: uid is the effective user,
// whose environment counts. The length of the text, or 0 with the error
// recorded.
// A directory the environment names, as uid may take it: root's must be
// root's and closed to others' writes (a caller's variable could name a
// directory whose owner would then replace root's run directory); another
// user's environment is that user's own choice.
const char *runPathFromEnvironment(const char *variable, uint32_t uid) {
  const char *directory = getenv(variable);
  if (directory == nullptr || directory[0] != '/') return nullptr;
  if (uid != 0) return directory;
  // A directory still to be made is judged by the nearest one that exists,
  // in which it would be made.
  char existing[kPathMax];
  if (!Str_Set(existing, directory, int(sizeof existing))) return nullptr;
  struct stat status;
  int found;
  while ((found = stat(existing, &status)) != 0 && errno == ENOENT) {
    char *slash = strrchr(existing, '/');
    if (slash == nullptr || slash == existing) break;
    *slash = '\0';
  }
  if (found == 0 && S_ISDIR(status.st_mode) && status.st_uid == 0 && (status.st_mode & 0022) == 0)
    return directory;
  Log_Print(LOG_WARNING, KSRC, 0, "%s=%s is not a directory only root can write: not used\n",
            variable, directory);
  return nullptr;
}

int runPathDirectory(uint32_t uid, bool own, char *out, int size, int *create) {
  *create = 1;
  const char *runtime = own ? runPathFromEnvironment("XDG_RUNTIME_DIR", uid) : nullptr;
  if (runtime) return Str_Printf(out, size, "%s/%s", runtime, kProgramName);
  Str_Printf(out, size, "/run/user/%u", uid);
  struct stat status;
  if (stat(out, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == uid)
    return Str_Printf(out, size, "/run/user/%u/%s", uid, kProgramName);
  // No run directory of the user's own: a place under the user's home, which
  // no other user can make first (a name in /tmp anyone could).
  *create = 3;
  const char *cache = own ? runPathFromEnvironment("XDG_CACHE_HOME", uid) : nullptr;
  if (cache) return Str_Printf(out, size, "%s/%s/run", cache, kProgramName);
  DesktopUserAccount account;
  if (!DesktopUser_ReadAccount(uid, &account) || account.home[0] != '/') {
    Log_Print(LOG_ERROR, KSRC, 0, "No run directory for uid %u: no runtime directory and no home\n",
              uid);
    return POSIX_FAIL_CODE(kPlatformErrorFileNotFound, ENOENT, "RunPath home", nullptr);
  }
  return Str_Printf(out, size, "%s/.cache/%s/run", account.home, kProgramName);
}

// Creates the last `create` components of directory when missing and checks
// that it is uid's and closed to others. No link on the way is followed: a
// planted one would have us make and chmod whatever directory it names.
// Runs under uid's file-system identity.
int runPathCheckDirectory(const char *directory, int create, uint32_t uid) {
  int fd = FsDirectory_OpenNoLinks(directory, create, kRunMode);
  if (fd < 0) return 0;
  struct stat status;
  int ok = fstat(fd, &status) == 0 ? 1 : POSIX_FAIL("fstat", directory);
  if (ok && status.st_uid != uid) {
    Log_Print(LOG_ERROR, KSRC, 0, "Run directory %s belongs to uid %u, not %u: refused\n",
              directory, uint32_t(status.st_uid), uid);
    ok = POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "RunPath owner", directory);
  }
  if (ok && (status.st_mode & 0077) != 0) {
    Log_Print(LOG_WARNING, KSRC, 0, "Run directory %s was open to others (mode %03o): narrowed\n",
              directory, unsigned(status.st_mode & 0777));
    if (fchmod(fd, kRunMode) != 0) ok = POSIX_FAIL("fchmod", directory);
  }
  close(fd);
  return ok;
}

}  // namespace

int RunPath_Get(const char *name, const char *suffix, char *out, int size, uint32_t *uid) {
  if (size > 0) out[0] = '\0';
  if (name[0] == '\0') return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, 0, "RunPath", name);
  uint32_t self = uint32_t(geteuid());
  uint32_t owner = self;
  if (self == 0 && !DesktopUser_GetUid(&owner)) owner = self;
  char directory[kPathMax];
  int create = 1;
  int length = runPathDirectory(owner, owner == self, directory, sizeof directory, &create);
  if (length <= 0) return 0;
  if (length >= int(sizeof directory) - 1)
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "RunPath", directory);

  char escaped[kPathMax];
  int fits = runPathEscape(name, escaped, sizeof escaped);
  // directory + '/' + name + suffix + terminator must fit a socket address.
  if (!fits || length + 1 + int(strlen(escaped)) + int(strlen(suffix)) + 1 > kRunPathSocketBytes) {
    uint64_t hash = kFnvOffset;
    for (const char *p = name; *p; p++) hash = (hash ^ static_cast<unsigned char>(*p)) * kFnvPrime;
    Str_Printf(escaped, sizeof escaped, "%%h%016llx", static_cast<unsigned long long>(hash));
  }
  if (Str_Printf(out, size, "%s/%s%s", directory, escaped, suffix) + 1 > kRunPathSocketBytes) {
    out[0] = '\0';
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "RunPath", directory);
  }
  FsIdentityScope identity(owner);
  if (!identity.ok())
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "FsIdentityScope", directory);
  if (!runPathCheckDirectory(directory, create, owner)) {
    out[0] = '\0';
    return 0;
  }
  *uid = owner;
  return 1;
}
