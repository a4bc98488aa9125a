// Security descriptors as file modes and POSIX default ACLs; see
// core/platform/securitydescriptor.h.
#include "core/platform/securitydescriptor.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/runtime/class.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/posix/errors.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

struct SecurityGroupName {
  const char *prefix;  // what a caller's name must begin with
  const char *name;    // the canonical name recorded on keys
  SecurityGroup group;
};

constexpr SecurityGroupName kSecurityGroups[] = {
    {"Every", "Everyone", SecurityGroup::Everyone},
    {"Users", "Users", SecurityGroup::Users},
    {"Administrators", "Administrators", SecurityGroup::Administrators},
    {"Authenticated", "Authenticated", SecurityGroup::Authenticated},
};

// The default ACL of a shared directory: everyone reads, writes and enters
// what is created in it (the creator's mode still narrows it).
constexpr const char *kSecurityDefaultAcl = "u::rwx,g::rwx,o::rwx";

constexpr char kSecurityProcFd[] = "/proc/self/fd/%d";

// Read and write for the group and others; execute where the owner has it
// (a directory always).
mode_t securityGrantMode(mode_t mode) {
  mode_t granted = mode | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;
  if (S_ISDIR(mode) || (mode & S_IXUSR)) granted |= S_IXGRP | S_IXOTH;
  return granted & 07777;
}

// Sets the default ACL through the descriptor's /proc name (the ACL calls
// take a path, and the path itself might be swapped for a link meanwhile).
// A file system without ACLs keeps the mode alone.
int securitySetDefaultAcl(int fd, const char *path) {
  char procName[64];
  Str_Printf(procName, sizeof procName, kSecurityProcFd, fd);
  acl_t acl = acl_from_text(kSecurityDefaultAcl);
  if (acl == nullptr) return POSIX_FAIL("acl_from_text", path);
  int rc = acl_set_file(procName, ACL_TYPE_DEFAULT, acl);
  int err = errno;
  acl_free(acl);
  if (rc == 0) return 1;
  if (err == ENOTSUP || err == EOPNOTSUPP) {
    Log_Print(LOG_DEBUG, KSRC, 0, "No ACLs on the file system of %s: the mode alone grants\n",
              path);
    return 1;
  }
  errno = err;
  return POSIX_FAIL("acl_set_file", path);
}

}  // namespace

struct SecurityDescriptor {
  ObjectHeader header;  // tag kSecurityDescriptorTag; one owner, not counted
  const SecurityGroupName *group;
};

int SecurityDescriptor_Create(const char *groupName, SecurityDescriptor **descriptor) {
  CHECK_POINTER(descriptor);
  *descriptor = nullptr;
  CHECK_POINTER(groupName);
  for (const SecurityGroupName &entry : kSecurityGroups) {
    if (!Str_StartsWithNoCase(groupName, entry.prefix)) continue;
    auto *record =
        static_cast<SecurityDescriptor *>(MEM_ALLOC(sizeof(SecurityDescriptor), MEM_ZEROED));
    record->header.classTag = kSecurityDescriptorTag;
    record->header.refCount.store(1);
    record->group = &entry;
    *descriptor = record;
    return 1;
  }
  Platform_SetLastError(kPlatformErrorInvalidParameter);
  return 0;
}

int SecurityDescriptor_Release(SecurityDescriptor **descriptor) {
  CHECK_POINTER(descriptor);
  SecurityDescriptor *record = *descriptor;
  if (record == nullptr) return 1;
  CLASS_CHECK(record, kSecurityDescriptorTag);
  *descriptor = nullptr;
  record->header.classTag = 0;
  MEM_FREE(record, sizeof(SecurityDescriptor));
  return 1;
}

SecurityGroup SecurityDescriptor_GetGroup(const SecurityDescriptor *descriptor) {
  CLASS_CHECK(descriptor, kSecurityDescriptorTag);
  return descriptor->group->group;
}

const char *SecurityDescriptor_GetGroupName(const SecurityDescriptor *descriptor) {
  CLASS_CHECK(descriptor, kSecurityDescriptorTag);
  return descriptor->group->name;
}

namespace {

// Opens the path to be granted, never through a link at its end. As root a
// link in any component is refused too (ELOOP): a user who can write a
// directory on the way could otherwise point the grant at any file of the
// machine. -1 with errno on failure.
int securityOpen(const char *path) {
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  int fd;
  if (geteuid() == 0) {
    struct open_how how = {};
    how.flags = kFlags;
    how.resolve = RESOLVE_NO_SYMLINKS;
    do fd = int(syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
    while (fd < 0 && (errno == EINTR || errno == EAGAIN));
    return fd;
  }
  do fd = open(path, kFlags);
  while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

int SecurityDescriptor_ApplyToPath(const SecurityDescriptor *descriptor, const char *path) {
  CLASS_CHECK(descriptor, kSecurityDescriptorTag);
  CHECK_POINTER(path);
  // Root has full access already.
  if (descriptor->group->group == SecurityGroup::Administrators) return 1;
  int fd = securityOpen(path);
  if (fd < 0) return POSIX_FAIL("open", path);
  struct stat st;
  int ok = fstat(fd, &st) == 0 ? 1 : POSIX_FAIL("fstat", path);
  if (ok && !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
    ok = POSIX_FAIL_CODE(kPlatformErrorAccessDenied, 0, "grant", path);
  }
  mode_t granted = ok ? securityGrantMode(st.st_mode) : 0;
  if (ok && granted != (st.st_mode & 07777) && fchmod(fd, granted) != 0)
    ok = POSIX_FAIL("fchmod", path);
  if (ok && S_ISDIR(st.st_mode)) ok = securitySetDefaultAcl(fd, path);
  close(fd);
  return ok;
}
