// Socket: host look-ups and the machine name; see socket.h.
#include "core/net/socket.h"

#include <cstring>

#include "core/net/url.h"
#include "core/platform/platform.h"
#include "core/runtime/expand.h"
#include "core/runtime/log.h"
#include "core/runtime/print.h"
#include "core/runtime/core.h"
#include "core/runtime/str.h"

namespace {

constexpr int kSocketErrorHostNotFound = 11001;
constexpr int kSocketDottedBytes = 48;
constexpr int kSocketMachineNameMacroBytes = 120;

// The walk both adapter look-ups share: the primary adapter (1), else the
// last one (0; out cleared when there is none).
int FindIntranetAdapter(NetworkAdapter *out) {
  memset(out, 0, sizeof *out);
  NetworkAdapter adapter;
  for (int index = 0; Platform_GetNetworkAdapter(index, &adapter); ++index) {
    *out = adapter;
    if (adapter.primary) return 1;
  }
  return 0;
}

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

int Socket_ResolveUrl(SocketAddress *address, const char *url) {
  CHECK_POINTER(address);
  CHECK_POINTER(url);
  // One byte more than a host may take, so a host cut to fit shows.
  char host[kSocketHostNameMax + 2];
  // A host that does not fit is refused, never looked up cut short.
  if (!Url_GetHostWithoutPort(url, host, sizeof host) ||
      strlen(host) > size_t(kSocketHostNameMax)) {
    memset(address, 0, sizeof *address);
    Platform_SetLastError(kPlatformErrorInvalidParameter);
    return 0;
  }
  int result = Socket_ResolveHost(address, host);
  int port = 0;
  Url_GetPort(url, &port);
  address->port = port;
  return result;
}

int Socket_GetIntranetIP(uint32_t *address) {
  CHECK_POINTER(address);
  NetworkAdapter adapter;
  int primary = FindIntranetAdapter(&adapter);
  *address = adapter.address;
  return primary;
}

int Socket_GetMACAddress(uint8_t mac[6]) {
  CHECK_POINTER(mac);
  NetworkAdapter adapter;
  int primary = FindIntranetAdapter(&adapter);
  memcpy(mac, adapter.mac, 6);
  return primary;
}

int Socket_MacroHandler(const char *name, char *argument, char *out, int outSize) {
  (void)argument;
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (outSize < 1) return 0;
  if (Str_CompareNoCase(name, "IntranetIP") == 0) {
    uint32_t address = 0;
    out[0] = '\0';
    if (Socket_GetIntranetIP(&address)) Str_Printf(out, outSize, "%ipv4", &address);
    return 1;
  }
  if (Str_CompareNoCase(name, "MACAddress") == 0) {
    uint8_t mac[6];
    Socket_GetMACAddress(mac);
    Str_Printf(out, outSize, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", mac[0], mac[1], mac[2], mac[3],
               mac[4], mac[5]);
    return 1;
  }
  if (Str_CompareNoCase(name, "MachineName") == 0) {
    char machine[kSocketMachineNameMacroBytes];
    out[0] = '\0';
    if (Socket_GetMachineName(machine, sizeof machine)) Str_Printf(out, outSize, "%s", machine);
    return 1;
  }
  return 0;
}

int Socket_Init(void) {
  Str_SetExpandHandler(StrExpandSlot::Url, Url_MacroHandler);
  Str_SetExpandHandler(StrExpandSlot::Network, Socket_MacroHandler);
  uint32_t address = 0;
  Socket_GetIntranetIP(&address);
  Log_Print(LOG_DEBUG, KSRC, 0, "Intranet IP: %ipv4\n", &address);
  char machine[kSocketHostNameMax + 1];
  if (!Socket_GetMachineName(machine, sizeof machine)) machine[0] = '\0';
  Log_Print(LOG_DEBUG, KSRC, 0, "Machine Name: %s\n", machine);
  return 1;
}
