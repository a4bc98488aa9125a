// Peer credentials of local sockets; see core/posix/peercred.h.
#include "core/posix/peercred.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/posix/errors.h"

int PeerCred_Uid(int fd, uint32_t *uid) {
  struct ucred credentials;
  socklen_t length = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials)
    return POSIX_FAIL("getsockopt", nullptr);
  *uid = uint32_t(credentials.uid);
  return 1;
}

bool PeerCred_Heard(uint32_t peer) { return peer == uint32_t(geteuid()) || peer == 0; }

bool PeerCred_MayTalkTo(uint32_t peer, uint32_t desktopUid) {
  uint32_t self = uint32_t(geteuid());
  return peer == self || (self == 0 && peer == desktopUid);
}
