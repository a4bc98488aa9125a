// SecurityDescriptor: a grant of access to a well-known group of users,
// applied to a file or directory (installed files that every user of the
// machine must write) and recorded on registry keys.
//
// Groups, chosen by prefix of the name (ASCII case folded): "Every",
// "Users" and "Authenticated" stand for every local user: applied to a path
// they add read and write for group and others, plus execute on a directory
// and on a file whose owner may execute it; on a directory a default ACL
// carries the same grant to new entries where the file system has ACLs
// (otherwise the mode alone, logged). "Administrators" is root, which has
// full access already: applying it changes nothing and succeeds.
//
// Invariants: (1) a descriptor exists only for a known group; Create leaves
// *descriptor NULL otherwise. (2) applying never follows a link at the path
// and never takes rights away.
//
// Threads: any thread; a descriptor is read-only after Create.
#pragma once

#include <cstdint>

constexpr uint32_t kSecurityDescriptorTag = 0x3934b7a7;

enum class SecurityGroup : int {
  Everyone,        // the world
  Users,           // the machine's users
  Administrators,  // root
  Authenticated,   // users that logged on
};

struct SecurityDescriptor;

// Makes the descriptor of groupName. 1 with *descriptor set; 0 with it NULL
// for a name of no known group. Stops on a NULL name or out-pointer.
int SecurityDescriptor_Create(const char *groupName, SecurityDescriptor **descriptor);
// Frees the descriptor and clears *descriptor. Returns 1; NULL is ignored.
int SecurityDescriptor_Release(SecurityDescriptor **descriptor);
// The group, and its canonical name ("Everyone", "Users", "Administrators",
// "Authenticated"). Stop on a NULL or foreign descriptor.
SecurityGroup SecurityDescriptor_GetGroup(const SecurityDescriptor *descriptor);
const char *SecurityDescriptor_GetGroupName(const SecurityDescriptor *descriptor);
// Grants the group access to the file or directory at path (a link there is
// refused). 1; 0 with the thread's last error when the path cannot be opened
// or its mode or ACL cannot be changed (a file system without ACLs is not a
// failure).
int SecurityDescriptor_ApplyToPath(const SecurityDescriptor *descriptor, const char *path);
