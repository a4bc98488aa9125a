// FileTrust: whether another local user may change a directory or a file.
// Work by name inside a directory is safe only when nobody but this
// process's user (and root) can rename, replace or add entries there, so
// every directory on the way to an installation, a metafile or a staging
// directory is judged by this one rule, on the descriptor that was opened.
//
// The rule: (a) the owner is this process's effective user or root; and
// (b) neither group nor others may write it, or it is a sticky directory
// (a 1777 temporary or games folder: others may add entries there but not
// rename ours), or only its group may write it and that group is the
// owner's private group (the owner's primary group, named as the owner,
// with no listed member but the owner: the umask-002 home of a
// user-private-group system). A POSIX ACL's named entry shows in the group
// bits and is judged with them. The sticky pass is for directories only.
//
// Threads: any thread (reentrant user and group look-ups).
#pragma once

#include <cstdint>

enum class FileTrustFault : int32_t {
  None = 0,
  Owner,          // neither this process's user nor root owns it
  GroupWritable,  // its group may write it and is no private group
  OtherWritable,  // anyone may write it
};

struct FileTrustVerdict {
  FileTrustFault fault;
  uint32_t owner;
  uint32_t group;
  uint32_t mode;  // st_mode: type and permission bits
};

// Judges what fd is open on (an O_PATH descriptor will do) by the rule
// above. 1 with verdict->fault None when it passes; 0 with the fault, or
// with the last error when fstat fails (verdict->fault None then).
int FileTrust_Judge(int fd, FileTrustVerdict *verdict);
// The owner half of the rule alone, for an entry inside a folder that
// passed: 1 when this process's user or root owns what fd is open on; 0
// with verdict->fault Owner (or None and the last error when fstat fails).
int FileTrust_JudgeOwner(int fd, FileTrustVerdict *verdict);
// The same rule over the owner, group and st_mode of an entry already
// stat'ed. 1 when it passes.
int FileTrust_JudgeStatus(uint32_t owner, uint32_t group, uint32_t mode,
                          FileTrustVerdict *verdict);
// One line (size bytes) saying why path is refused and what to do:
// "/srv/games (owner root, group games, mode 2775), <what>, may be changed
// by another user: its group games may write it, and a folder the run works
// in may be written only by its owner; run chmod g-w,o-w /srv/games, or
// chmod +t /srv/games to keep it shared, or name another place" (for
// another owner: chown, or run as the owner). what names the path's role
// ("on the way to the installation directory /x"); "" leaves it out.
// Returns 1.
int FileTrust_FormatRefusal(const char *what, const char *path, const FileTrustVerdict *verdict,
                            char *line, int size);
