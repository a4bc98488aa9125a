// PeerCred: who is at the other end of a local socket, and whether we talk to
// them. Data follows the desktop system's rule between privilege levels: a
// higher one may message a lower one, never the reverse. A listener hears
// connections of its own uid and root's (a root listener: root's alone); a
// connecting process talks only to a listener of its own uid or, as root
// acting for the desktop user, to that user's.
//
// Invariants: (1) the uid is the kernel's record (SO_PEERCRED), taken when
// the connecting end connected and the listening end listened, never what a
// peer says of itself. (2) no other uid is ever heard or spoken to.
//
// Threads: any thread.
#pragma once

#include <cstdint>

// The effective uid of the process at the other end of the connected Unix
// socket fd. 1, or 0 with the error recorded.
int PeerCred_Uid(int fd, uint32_t *uid);
// Whether a listener of ours hears a connection from a process of uid peer.
bool PeerCred_Heard(uint32_t peer);
// Whether we may talk to a listener of uid peer; desktopUid is the user a
// root process acts for (ignored when we are not root).
bool PeerCred_MayTalkTo(uint32_t peer, uint32_t desktopUid);
