// Run directory and run file names; see core/posix/runpath.h.
#include "core/posix/runpath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/platform/platform.h"
#include "core/posix/desktopuser.h"
#include "core/posix/errors.h"
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

// The directory holding the run directory for uid, and whether it is the
// user's own run directory (keelson/ goes inside) or the shared /tmp.
void runPathBase(uint32_t uid, bool own, char *out, int size, bool *shared) {
  *shared = false;
  const char *runtime = own ? getenv("XDG_RUNTIME_DIR") : nullptr;
  if (runtime && runtime[0] == '/' && Str_Set(out, runtime, size)) return;
  Str_Printf(out, size, "/run/user/%u", uid);
  struct stat status;
  if (stat(out, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == uid) return;
  Str_Set(out, "/tmp", size);
  *shared = true;
}

// Creates the directory when missing and checks that it is uid's and closed
// to others. Runs under uid's file-system identity.
int runPathCheckDirectory(const char *directory, uint32_t uid) {
  if (mkdir(directory, kRunMode) != 0 && errno != EEXIST) return POSIX_FAIL("mkdir", directory);
  int fd = open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return POSIX_FAIL("open", directory);
  struct stat status;
  int ok = fstat(fd, &status) == 0 ? 1 : POSIX_FAIL("fstat", directory);
  if (ok && status.st_uid != uid)
    ok = POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "RunPath owner", directory);
  if (ok && (status.st_mode & 0077) != 0 && fchmod(fd, kRunMode) != 0)
    ok = POSIX_FAIL("fchmod", directory);
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
  char base[kPathMax];
  bool shared = false;
  runPathBase(owner, owner == self, base, sizeof base, &shared);
  char directory[kPathMax];
  int length = shared ? Str_Printf(directory, sizeof directory, "%s/%s-%u", base, kProgramName, owner)
                      : Str_Printf(directory, sizeof directory, "%s/%s", base, kProgramName);
  if (length >= int(sizeof directory) - 1)
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "RunPath", base);

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
  if (!runPathCheckDirectory(directory, owner)) {
    out[0] = '\0';
    return 0;
  }
  *uid = owner;
  return 1;
}
