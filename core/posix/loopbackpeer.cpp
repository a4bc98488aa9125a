// The owner of a loopback connection's client end, asked of the kernel's
// socket table through sock_diag; see core/platform/platform.h.
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/platform/platform.h"
#include "core/posix/errors.h"
#include "core/runtime/core.h"

namespace {

// One answer: a header, inet_diag_msg and the few attributes the kernel adds
// on its own; an exact query never answers more than one socket.
constexpr size_t kAnswerBytes = 8192;

struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 query;
};

// An address of an answer is the IPv4 address: itself, or mapped into IPv6.
bool diagSameAddress(uint8_t family, const __be32 words[4], uint32_t address) {
  if (family == AF_INET) return words[0] == address;
  return family == AF_INET6 && words[0] == 0 && words[1] == 0 && words[2] == htonl(0xffff) &&
         words[3] == address;
}

// The answer names the client's socket itself: its ends are the
// connection's, swapped, and it is no listener that merely shares a port.
// It must still be open in its owner's hands (an inode): once the client has
// closed it, the kernel keeps a bare remnant that answers as user 0, and an
// orphaned socket sends no more requests worth serving.
bool diagIsClient(const inet_diag_msg *m, uint32_t localAddress, int32_t localPort,
                  uint32_t remoteAddress, int32_t remotePort) {
  return m->idiag_state != TCP_LISTEN && m->idiag_inode != 0 &&
         ntohs(m->id.idiag_sport) == remotePort &&
         ntohs(m->id.idiag_dport) == localPort &&
         diagSameAddress(m->idiag_family, m->id.idiag_src, remoteAddress) &&
         diagSameAddress(m->idiag_family, m->id.idiag_dst, localAddress);
}

}  // namespace

int Platform_GetLoopbackPeerOwner(uint32_t localAddress, int32_t localPort,
                                  uint32_t remoteAddress, int32_t remotePort, uint32_t *owner) {
  CHECK_POINTER(owner);
  *owner = kPlatformNoUser;
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return POSIX_FAIL("socket(NETLINK_SOCK_DIAG)", nullptr);
  // An exact query: the kernel looks the client's socket up by its four
  // values (its local end is our remote one) instead of listing them all.
  DiagRequest request;
  memset(&request, 0, sizeof request);
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.query.sdiag_family = AF_INET;
  request.query.sdiag_protocol = IPPROTO_TCP;
  request.query.idiag_states = ~0u;
  request.query.id.idiag_sport = htons(uint16_t(remotePort));
  request.query.id.idiag_dport = htons(uint16_t(localPort));
  request.query.id.idiag_src[0] = remoteAddress;
  request.query.id.idiag_dst[0] = localAddress;
  request.query.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.query.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel;
  memset(&kernel, 0, sizeof kernel);
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel),
                  sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent != ssize_t(sizeof request)) {
    int err = sent < 0 ? errno : EIO;
    close(fd);
    return POSIX_FAIL_CODE(PosixError_FromErrno(err), err, "sendto(NETLINK_SOCK_DIAG)", nullptr);
  }
  // The kernel answers while it handles the request, so the answer is
  // waiting by now; never block on it.
  alignas(nlmsghdr) char answer[kAnswerBytes];
  ssize_t got;
  do {
    got = recv(fd, answer, sizeof answer, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  int err = got < 0 ? errno : 0;
  close(fd);
  if (got < 0)
    return POSIX_FAIL_CODE(PosixError_FromErrno(err), err, "recv(NETLINK_SOCK_DIAG)", nullptr);
  // The messages one after another, each whole within what came (what
  // NLMSG_OK and NLMSG_NEXT check, with the length kept unsigned like the
  // header's field and never stepped past the end).
  const size_t length = size_t(got);
  for (size_t at = 0; length - at >= sizeof(nlmsghdr);) {
    auto *message = reinterpret_cast<nlmsghdr *>(answer + at);
    if (message->nlmsg_len < sizeof(nlmsghdr) || message->nlmsg_len > length - at) break;
    at += std::min<size_t>(length - at, NLMSG_ALIGN(message->nlmsg_len));
    if (message->nlmsg_type == NLMSG_ERROR) {
      // ENOENT: no such socket. Anything else: the query itself failed.
      auto *failure = static_cast<nlmsgerr *>(NLMSG_DATA(message));
      if (message->nlmsg_len >= NLMSG_LENGTH(sizeof *failure) && failure->error != 0 &&
          failure->error != -ENOENT)
        return POSIX_FAIL_CODE(PosixError_FromErrno(-failure->error), -failure->error,
                               "SOCK_DIAG_BY_FAMILY", nullptr);
      return 0;
    }
    if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
      continue;
    auto *m = static_cast<const inet_diag_msg *>(NLMSG_DATA(message));
    if (!diagIsClient(m, localAddress, localPort, remoteAddress, remotePort)) continue;
    *owner = m->idiag_uid;
    return 1;
  }
  return 0;
}
