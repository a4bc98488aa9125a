// Walking to what the run trusts and judging each entry; see
// core/platform/trustedpath.h.
#include "core/platform/trustedpath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>

#include "core/platform/filetrust.h"
#include "core/posix/errors.h"
#include "core/posix/fsdirectory.h"
#include "core/runtime/core.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

// More links than this on one walk is a loop, as the kernel counts them.
constexpr int kTrustedPathMaxLinks = 40;

// -1 with the refusal: 5 recorded, err (EPERM for the rule, ENOTDIR,
// EISDIR or EINVAL for an entry of the wrong type) kept with it.
int trustedPathRefuse(TrustedPathRefusal *refusal, const std::string &entry, const char *rule,
                      int err = EPERM) {
  Str_Copy(refusal->entry, entry.empty() ? "/" : entry.c_str(), int(sizeof refusal->entry));
  Str_Copy(refusal->rule, rule, int(sizeof refusal->rule));
  return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, err, "trusted path", refusal->entry) - 1;
}

// The judged entry's descriptor, or -1 with the refusal: st is what the walk
// saw at the name, fd what was opened.
int trustedPathCheck(int fd, const struct stat &st, bool directory, const std::string &shown,
                     TrustedPathRefusal *refusal) {
  struct stat opened;
  if (fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    close(fd);
    return trustedPathRefuse(refusal, shown, "it changed while it was opened; try again");
  }
  char rule[sizeof refusal->rule];
  if (!TrustedPath_Judge(opened.st_uid, opened.st_gid, opened.st_mode,
                         directory ? kTrustedPathDirectory : 0, rule, int(sizeof rule))) {
    close(fd);
    return trustedPathRefuse(refusal, shown, rule);
  }
  return fd;
}

}  // namespace

int TrustedPath_Judge(uint32_t uid, uint32_t gid, uint32_t mode, int flags, char *rule,
                      int size) {
  uint32_t self = uint32_t(geteuid());
  if (uid != self && uid != 0) {
    Str_Printf(rule, size, "it is owned by uid %u, not by you or root: use a copy of your own (cp), "
               "or have root give it to you (chown)", uid);
    return 0;
  }
  if ((mode & (S_IWGRP | S_IWOTH)) == 0) return 1;
  if ((flags & kTrustedPathSticky) != 0 && (mode & S_ISVTX) != 0) return 1;
  // The private-group pass is FileTrust's (its sticky pass left out here:
  // the flags grant that one).
  FileTrustVerdict verdict;
  if ((flags & kTrustedPathPrivateGroup) != 0 &&
      FileTrust_JudgeStatus(uid, gid, mode & ~uint32_t(S_ISVTX), &verdict))
    return 1;
  Str_Printf(rule, size, "group or others may write it (mode %04o; chmod go-w)", mode & 07777);
  return 0;
}

int TrustedPath_Open(const char *path, int what, TrustedPathRefusal *refusal) {
  CHECK_POINTER(path);
  bool directory = (what & kTrustedPathOpenDirectory) != 0;
  CHECK_POINTER(refusal);
  refusal->entry[0] = refusal->rule[0] = '\0';
  std::string full = path;
  if (full.empty()) return POSIX_FAIL_CODE(kPlatformErrorFileNotFound, ENOENT, "open", path) - 1;
  if (full[0] != '/') {
    char cwd[kPathMax];
    if (getcwd(cwd, sizeof cwd) == nullptr) return POSIX_FAIL("getcwd", path) - 1;
    full = std::string(cwd) + "/" + full;
  }
  std::deque<std::string> rest;
  auto split = [&rest](const std::string &text) {
    std::deque<std::string> parts;
    size_t at = 0;
    while (at <= text.size()) {
      size_t slash = text.find('/', at);
      if (slash == std::string::npos) slash = text.size();
      std::string part = text.substr(at, slash - at);
      if (!part.empty() && part != ".") parts.push_back(part);
      at = slash + 1;
    }
    rest.insert(rest.begin(), parts.begin(), parts.end());
  };
  split(full);
  int current = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (current < 0) return POSIX_FAIL("open", "/") - 1;
  std::string shown;  // the path as walked, for the refusal
  int links = 0;
  struct stat st;
  if (fstat(current, &st) != 0 ||
      trustedPathCheck(current, st, true, shown, refusal) < 0)  // "/" itself
    return -1;
  // A path that ends at "/" names a directory.
  if (rest.empty() && directory) {
    close(current);
    return open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  while (!rest.empty()) {
    std::string name = rest.front();
    rest.pop_front();
    bool last = rest.empty();
    std::string here = name == ".." ? shown.substr(0, shown.rfind('/')) : shown + "/" + name;
    if (fstatat(current, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      int ok = POSIX_FAIL("fstatat", here.c_str());
      close(current);
      return ok - 1;
    }
    if (S_ISLNK(st.st_mode) && last && (what & kTrustedPathOpenNoLastLink) != 0) {
      close(current);
      return trustedPathRefuse(refusal, here, directory ? "it is a link; name the directory itself"
                                                        : "it is a link; name the file itself");
    }
    if (S_ISLNK(st.st_mode)) {
      if (st.st_uid != geteuid() && st.st_uid != 0) {
        close(current);
        char rule[128];
        Str_Printf(rule, int(sizeof rule), "a link owned by uid %u, which is not followed (name "
                   "the path it leads to)", uint32_t(st.st_uid));
        return trustedPathRefuse(refusal, here, rule);
      }
      char target[kPathMax];
      ssize_t n = readlinkat(current, name.c_str(), target, sizeof target - 1);
      if (n < 0 || ++links > kTrustedPathMaxLinks) {
        int ok = n < 0 ? POSIX_FAIL("readlinkat", here.c_str())
                       : POSIX_FAIL_CODE(kPlatformErrorLinkLoop, ELOOP, "readlinkat",
                                         here.c_str());
        close(current);
        return ok - 1;
      }
      target[n] = '\0';
      if (target[0] == '/') {
        close(current);
        current = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (current < 0) return POSIX_FAIL("open", "/") - 1;
        shown.clear();
      }
      split(target);
      if (rest.empty() && directory) rest.push_back(".");
      if (rest.empty()) {
        close(current);
        return trustedPathRefuse(refusal, here, "it leads to \"/\", not a file");
      }
      continue;
    }
    bool wantDirectory = !last || directory;
    // Judged by what the name holds before anything is opened: a device's
    // open may act.
    if (wantDirectory != S_ISDIR(st.st_mode) || (!wantDirectory && !S_ISREG(st.st_mode))) {
      close(current);
      return trustedPathRefuse(refusal, here,
                               wantDirectory ? "not a directory"
                               : S_ISDIR(st.st_mode) ? "a directory, not a file"
                                                     : "not a regular file (a FIFO, socket or "
                                                       "device)",
                               wantDirectory ? ENOTDIR : S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    int flags = last ? O_RDONLY | O_NONBLOCK | O_NOCTTY : O_PATH;
    int next;
    do next = openat(current, name.c_str(),
                     flags | O_NOFOLLOW | O_CLOEXEC | (wantDirectory ? O_DIRECTORY : 0));
    while (next < 0 && errno == EINTR);
    int err = errno;
    close(current);
    if (next < 0 && (err == ENOTDIR || err == ENXIO || err == ELOOP))
      return trustedPathRefuse(refusal, here, "it changed while it was opened; try again");
    if (next < 0) {
      errno = err;
      return POSIX_FAIL("openat", here.c_str()) - 1;
    }
    current = trustedPathCheck(next, st, wantDirectory, here, refusal);
    if (current < 0) return -1;
    shown = here;
  }
  if (!directory) fcntl(current, F_SETFL, fcntl(current, F_GETFL) & ~O_NONBLOCK);
  return current;
}

int TrustedPath_OpenBeneath(PlatformDirectory *root, const char *path, FileIdentity *identity,
                            TrustedPathRefusal *refusal) {
  CHECK_POINTER(path);
  CHECK_POINTER(refusal);
  refusal->entry[0] = refusal->rule[0] = '\0';
  int fd = Platform_OpenReadBeneath(root, path, identity);
  if (fd < 0) return -1;
  // Every prefix as the kernel resolves it below root; nobody else may
  // change a directory that passes, so the file opened is the one reached.
  std::string prefix;
  for (const char *at = path;; at++) {
    if (*at != '/' && *at != '\0') continue;
    prefix.assign(path, size_t(at - path));
    if (!prefix.empty() && prefix.back() != '/') {
      struct open_how how;
      memset(&how, 0, sizeof how);
      how.flags = O_PATH | O_CLOEXEC;
      how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
      int step;
      do step = int(syscall(SYS_openat2, FsDirectory_Fd(root), prefix.c_str(), &how, sizeof how));
      while (step < 0 && (errno == EINTR || errno == EAGAIN));
      struct stat st;
      bool seen = step >= 0 && fstat(step, &st) == 0;
      if (step >= 0) close(step);
      if (!seen) {
        // Without openat2 only the file itself is judged.
        if (errno == ENOSYS && *at != '\0') continue;
        close(fd);
        return POSIX_FAIL("openat2", path) - 1;
      }
      char rule[sizeof refusal->rule];
      bool end = *at == '\0';
      if (end && (st.st_dev != identity->device || st.st_ino != identity->inode)) {
        close(fd);
        return trustedPathRefuse(refusal, prefix, "it changed while it was opened");
      }
      int flags = end ? kTrustedPathPrivateGroup : kTrustedPathDirectory;
      if (!TrustedPath_Judge(st.st_uid, st.st_gid, st.st_mode, flags, rule, int(sizeof rule))) {
        close(fd);
        return trustedPathRefuse(refusal, prefix, rule);
      }
    }
    if (*at == '\0') break;
  }
  return fd;
}
