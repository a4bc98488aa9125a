// TrustedPath: opening what decides what a run trusts (its repository,
// application, credentials and ignore files, the directory it serves),
// walked from "/" one entry at a time and judged at every step.
//
// The rule for an entry: its owner is the effective user or root, and
// neither group nor others may write it; a directory passes too when it is
// sticky, or when only its group may write it and that group is the
// owner's private group (the owner's primary group, named as the owner, with
// no other member listed). A link on the way is followed only when the
// effective user or root owns it. What is opened at the end is the entry
// judged (a regular file, or a directory when asked for): another user
// cannot swap it, as nobody else may change a directory on the way.
//
// Invariants: (1) a refusal names the entry (the path as walked) and the
// rule it fails, 5 recorded with errno EPERM, or ENOTDIR, EISDIR or EINVAL
// for an entry of the wrong type; a plain failure (missing, unreadable) leaves the
// entry empty with the error recorded. (2) a FIFO or device at the end never
// holds the open.
//
// Threads: any thread; no shared state.
#pragma once

#include <cstdint>

#include "core/platform/fileops.h"
#include "core/platform/platform.h"

struct TrustedPathRefusal {
  char entry[kPathMax];  // the entry refused, empty for a plain failure
  char rule[320];        // why, and what to change
};

// The passes TrustedPath_Judge may grant beyond the plain rule.
constexpr int kTrustedPathSticky = 1;        // a sticky entry (a directory) passes
constexpr int kTrustedPathPrivateGroup = 2;  // so does one only the owner's private group may write
constexpr int kTrustedPathDirectory = kTrustedPathSticky | kTrustedPathPrivateGroup;

// 1 when an entry owned by uid, with group gid and mode (the st_mode bits),
// passes the rule with the passes in flags; else 0 with the words in rule
// ("it is owned by uid 65534, not by you or root ...", "group or others may
// write it (mode 0666; chmod go-w)").
int TrustedPath_Judge(uint32_t uid, uint32_t gid, uint32_t mode, int flags, char *rule,
                      int size);
// What TrustedPath_Open opens.
constexpr int kTrustedPathOpenDirectory = 1;  // a directory, not a regular file
constexpr int kTrustedPathOpenNoLastLink = 2;  // a link at the last name is refused, even ours

// Opens path (absolute, or relative to the working directory) for reading,
// walked from "/": a regular file, or a directory with
// kTrustedPathOpenDirectory in what. The descriptor (close-on-exec,
// blocking), or -1 with refusal filled (see invariant 1; 5 recorded for a
// refusal).
int TrustedPath_Open(const char *path, int what, TrustedPathRefusal *refusal);
// Opens the regular file path below root for reading as
// Platform_OpenReadBeneath does, then judges every entry from root to the
// file (root itself was judged when it was opened), the private-group pass
// granted to files too. The descriptor with
// *identity, or -1: a refused entry fills refusal (5 recorded), anything else
// leaves refusal->entry empty.
int TrustedPath_OpenBeneath(PlatformDirectory *root, const char *path, FileIdentity *identity,
                            TrustedPathRefusal *refusal);
