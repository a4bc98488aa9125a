// The one rule for what another local user may change; see
// core/platform/filetrust.h.
#include "core/platform/filetrust.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/posix/errors.h"
#include "core/runtime/core.h"
#include "core/runtime/print.h"

namespace {

// Room for one passwd or group entry's strings; grown on ERANGE.
constexpr size_t kTrustEntryBytes = 4096;
constexpr size_t kTrustEntryBytesMax = 1 << 20;

bool trustUser(uint32_t uid, std::string *name, uint32_t *group) {
  std::vector<char> buffer(kTrustEntryBytes);
  for (;;) {
    struct passwd entry, *found = nullptr;
    int error = getpwuid_r(uid_t(uid), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < kTrustEntryBytesMax) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return false;
    *name = entry.pw_name;
    *group = uint32_t(entry.pw_gid);
    return true;
  }
}

// The group's name; with members, whether any listed member is not owner.
bool trustGroup(uint32_t gid, std::string *name, const char *owner, bool *others) {
  std::vector<char> buffer(kTrustEntryBytes);
  for (;;) {
    struct group entry, *found = nullptr;
    int error = getgrgid_r(gid_t(gid), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < kTrustEntryBytesMax) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return false;
    *name = entry.gr_name;
    if (others != nullptr) {
      *others = false;
      for (char **member = entry.gr_mem; member != nullptr && *member != nullptr; member++)
        if (owner == nullptr || strcmp(*member, owner) != 0) *others = true;
    }
    return true;
  }
}

// The owner's private group: its primary group, named as the owner, with no
// other listed member.
bool trustPrivateGroup(uint32_t owner, uint32_t group) {
  std::string user, name;
  uint32_t primary = 0;
  bool others = true;
  return trustUser(owner, &user, &primary) && primary == group &&
         trustGroup(group, &name, user.c_str(), &others) && name == user && !others;
}

std::string trustUserName(uint32_t uid) {
  std::string name;
  uint32_t primary = 0;
  return trustUser(uid, &name, &primary) ? name : std::to_string(uid);
}

std::string trustGroupName(uint32_t gid) {
  std::string name;
  return trustGroup(gid, &name, nullptr, nullptr) ? name : std::to_string(gid);
}

}  // namespace

int FileTrust_JudgeStatus(uint32_t owner, uint32_t group, uint32_t mode,
                          FileTrustVerdict *verdict) {
  CHECK_POINTER(verdict);
  *verdict = FileTrustVerdict{FileTrustFault::None, owner, group, mode};
  bool sticky = S_ISDIR(mode) && (mode & S_ISVTX) != 0;
  if (owner != uint32_t(geteuid()) && owner != 0) verdict->fault = FileTrustFault::Owner;
  else if ((mode & S_IWOTH) != 0 && !sticky) verdict->fault = FileTrustFault::OtherWritable;
  else if ((mode & S_IWGRP) != 0 && !sticky && !trustPrivateGroup(owner, group))
    verdict->fault = FileTrustFault::GroupWritable;
  return verdict->fault == FileTrustFault::None ? 1 : 0;
}

int FileTrust_Judge(int fd, FileTrustVerdict *verdict) {
  CHECK_POINTER(verdict);
  *verdict = FileTrustVerdict{};
  struct stat st;
  if (fstat(fd, &st) != 0) return POSIX_FAIL("fstat", "trust");
  return FileTrust_JudgeStatus(uint32_t(st.st_uid), uint32_t(st.st_gid), uint32_t(st.st_mode),
                               verdict);
}

int FileTrust_JudgeOwner(int fd, FileTrustVerdict *verdict) {
  CHECK_POINTER(verdict);
  *verdict = FileTrustVerdict{};
  struct stat st;
  if (fstat(fd, &st) != 0) return POSIX_FAIL("fstat", "trust");
  *verdict = FileTrustVerdict{FileTrustFault::None, uint32_t(st.st_uid), uint32_t(st.st_gid),
                              uint32_t(st.st_mode)};
  if (st.st_uid == geteuid() || st.st_uid == 0) return 1;
  verdict->fault = FileTrustFault::Owner;
  return 0;
}

int FileTrust_FormatRefusal(const char *what, const char *path, const FileTrustVerdict *verdict,
                            char *line, int size) {
  CHECK_POINTER(what);
  CHECK_POINTER(path);
  CHECK_POINTER(verdict);
  CHECK_POINTER(line);
  std::string owner = trustUserName(verdict->owner), group = trustGroupName(verdict->group);
  std::string self = trustUserName(uint32_t(geteuid()));
  bool directory = S_ISDIR(verdict->mode);
  std::string head = std::string(path) + " (owner " + owner + ", group " + group + ", mode ";
  char mode[16];
  Str_Printf(mode, int32_t(sizeof mode), "%04o)", unsigned(verdict->mode & 07777));
  head += mode;
  if (what[0] != '\0') head = head + ", " + what + ",";
  const char *kind = directory ? "folder" : "file";
  switch (verdict->fault) {
    case FileTrustFault::Owner:
      Str_Printf(line, size, "%s belongs to another user: a %s the run works in must be %s's%s; "
                 "run chown %s %s, run as %s instead of %s, or name another place",
                 head.c_str(), kind, self.c_str(), geteuid() == 0 ? "" : " or root's",
                 self.c_str(), path, owner.c_str(), self.c_str());
      break;
    case FileTrustFault::GroupWritable:
    case FileTrustFault::OtherWritable: {
      bool other = verdict->fault == FileTrustFault::OtherWritable;
      std::string who = other ? std::string("every user may write it")
                              : "its group " + group + " may write it";
      std::string sticky = directory ? std::string(", or chmod +t ") + path + " to keep it shared"
                                     : std::string();
      // A volume without Unix permissions shows every entry 0777.
      const char *volume = other && (verdict->mode & 0777) == 0777
                               ? ", or mount a volume without Unix permissions with its owner "
                                 "and umask=022"
                               : "";
      Str_Printf(line, size, "%s may be changed by another user: %s, and a %s the run works in "
                 "may be written only by its owner; run chmod g-w,o-w %s%s%s, or name another "
                 "place", head.c_str(), who.c_str(), kind, path, sticky.c_str(), volume);
      break;
    }
    case FileTrustFault::None:
      Str_Printf(line, size, "%s is trusted", head.c_str());
      break;
  }
  return 1;
}
