// Socket: host look-ups and the machine name; see socket.h.
#include "core/net/socket.h"

#include <cstring>

#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/str.h"

namespace {

constexpr int kSocketErrorHostNotFound = 11001;
constexpr int kSocketDottedBytes = 48;

}  // namespace

int Socket_ResolveHost(SocketAddress *address, const char *host) {
  CHECK_POINTER(address);
  memset(address, 0, sizeof *address);
  if (host == nullptr || host[0] == '\0') {
    if (!Socket_GetMachineName(address->host, sizeof address->host)) return 0;
  } else {
    if (strlen(host) > size_t(kSocketHostNameMax)) {
      Platform_SetLastError(kPlatformErrorInvalidParameter);
      return 0;
    }
    Str_Set(address->host, host);
  }
  // A numeric address first; only "host not found" sends the name to the
  // resolver proper.
  char dotted[kSocketDottedBytes];
  const char *text = address->host;
  int error = Platform_ResolveIPv4(address->host, 1, dotted, sizeof dotted);
  if (error == kSocketErrorHostNotFound) {
    if (Platform_ResolveIPv4(address->host, 0, dotted, sizeof dotted) != 0) return 0;
    text = dotted;
  }
  return Str_ParseIPv4(text, &address->address, &address->port);
}

int Socket_GetMachineName(char *buffer, int size) {
  CHECK_POINTER(buffer);
  if (size < 1) return 0;
  return Platform_GetHostName(buffer, size);
}
