// Proxy and network settings on Linux: the environment, GNOME's proxy schema
// through GIO, resolv.conf, DHCP leases and /proc/net/tcp; see
// core/platform/platform.h.
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/net/url.h"
#include "core/platform/platform.h"
#include "core/posix/desktopsettings.h"
#include "core/posix/dhcplease.h"
#include "core/posix/proxylist.h"
#include "core/posix/sysroot.h"
#include "core/runtime/core.h"
#include "core/runtime/str.h"

namespace {

constexpr uint32_t kResolvedStub = 0x3500007f;  // 127.0.0.53
constexpr int kWpadCopyMax = kProxyUrlBytes - 1;

struct ProxySettings {
  uint32_t flags = 0;
  std::string list;
  std::string bypass;
  std::string autoConfigUrl;
};

// The host and port of a proxy URL from the environment: scheme, user
// information and path removed. With keepScheme the scheme stays.
std::string proxyHostPort(const std::string &value, bool keepScheme) {
  const char *host = nullptr;
  int hasScheme = Url_FindHost(value.c_str(), &host);
  std::string scheme = hasScheme ? value.substr(0, value.find("://") + 3) : "";
  std::string rest = host;
  rest = rest.substr(0, rest.find_first_of("/?#"));
  size_t at = rest.rfind('@');
  if (at != std::string::npos) rest = rest.substr(at + 1);
  if (rest.empty()) return "";
  return keepScheme ? scheme + rest : rest;
}

const char *proxyEnvironment(const char *lower, const char *upper) {
  const char *value = getenv(lower);
  if (value == nullptr || value[0] == '\0') value = getenv(upper);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

void proxyAddEntry(std::string *list, const std::string &entry) {
  if (entry.empty()) return;
  if (!list->empty()) *list += ';';
  *list += entry;
}

// One entry of no_proxy or GNOME's ignore-hosts, read as curl and GLib read
// them, into the bypass list's patterns: a name ("x.org", ".x.org" or
// "*.x.org") matches itself and its subdomains, ":port" after it limits it
// to that port, an IPv4 address matches itself, "a.b.c.d/bits" a network,
// "*" every host; "<local>" and "<-loopback>" stay as they are. Blanks
// trimmed.
void proxyAddBypass(std::string *bypass, std::string entry) {
  size_t first = entry.find_first_not_of(" \t");
  size_t last = entry.find_last_not_of(" \t");
  if (first == std::string::npos) return;
  entry = entry.substr(first, last - first + 1);
  if (entry == "*" || entry[0] == '<' || entry.find('/') != std::string::npos) {
    proxyAddEntry(bypass, entry);
    return;
  }
  if (entry.compare(0, 2, "*.") == 0) entry.erase(0, 2);
  else if (entry[0] == '.') entry.erase(0, 1);
  if (entry.empty()) return;
  uint32_t address = 0;
  int port = 0;
  proxyAddEntry(bypass, entry);
  if (!Str_ParseIPv4(entry.c_str(), &address, &port)) proxyAddEntry(bypass, "*." + entry);
}

bool proxyFromEnvironment(ProxySettings *settings) {
  static constexpr struct {
    const char *lower, *upper, *protocol;
  } kVariables[] = {{"http_proxy", "HTTP_PROXY", "http"},
                    {"https_proxy", "HTTPS_PROXY", "https"},
                    {"ftp_proxy", "FTP_PROXY", "ftp"}};
  bool any = false;
  for (const auto &variable : kVariables) {
    const char *value = proxyEnvironment(variable.lower, variable.upper);
    if (value == nullptr) continue;
    any = true;
    std::string hostPort = proxyHostPort(value, false);
    if (!hostPort.empty())
      proxyAddEntry(&settings->list, std::string(variable.protocol) + "=" + hostPort);
  }
  if (const char *all = proxyEnvironment("all_proxy", "ALL_PROXY")) {
    any = true;
    proxyAddEntry(&settings->list, proxyHostPort(all, true));
  }
  if (!any) return false;
  settings->flags = kProxyFlagManual;
  if (const char *noProxy = proxyEnvironment("no_proxy", "NO_PROXY")) {
    std::string text = noProxy;
    size_t start = 0;
    while (start <= text.size()) {
      size_t comma = text.find(',', start);
      if (comma == std::string::npos) comma = text.size();
      proxyAddBypass(&settings->bypass, text.substr(start, comma - start));
      start = comma + 1;
    }
  }
  return true;
}

void proxyFromDesktop(ProxySettings *settings) {
  using Kind = DesktopSettingValue::Kind;
  DesktopSettingValue main[] = {
      {Kind::String, "mode"}, {Kind::String, "autoconfig-url"}, {Kind::Strv, "ignore-hosts"}};
  if (!DesktopSettings_Read("org.gnome.system.proxy", main, 3)) return;
  const std::string &mode = main[0].text;
  if (mode == "auto") {
    if (!main[1].text.empty()) {
      settings->flags = kProxyFlagAutoConfigUrl;
      settings->autoConfigUrl = main[1].text;
    } else {
      settings->flags = kProxyFlagAutoDetect;
    }
    return;
  }
  if (mode != "manual") return;
  settings->flags = kProxyFlagManual;
  static constexpr const char *kProtocols[] = {"http", "https", "ftp", "socks"};
  for (const char *protocol : kProtocols) {
    DesktopSettingValue values[] = {{Kind::String, "host"}, {Kind::Int, "port"}};
    std::string schema = std::string("org.gnome.system.proxy.") + protocol;
    if (!DesktopSettings_Read(schema.c_str(), values, 2) || values[0].text.empty()) continue;
    proxyAddEntry(&settings->list, std::string(protocol) + "=" + values[0].text + ":" +
                                       std::to_string(values[1].number));
  }
  for (const std::string &host : main[2].list) proxyAddBypass(&settings->bypass, host);
}

ProxySettings proxyReadSettings() {
  ProxySettings settings;
  if (!proxyFromEnvironment(&settings)) proxyFromDesktop(&settings);
  return settings;
}

int proxyPut(char *out, int size, const std::string &text) {
  if (size < 1) return 0;
  out[0] = '\0';
  if (text.empty() || text.size() >= size_t(size)) return 0;
  memcpy(out, text.c_str(), text.size() + 1);
  return 1;
}

// The IPv4 name servers of a resolv.conf.
std::vector<uint32_t> proxyNameServers(const std::string &path) {
  std::vector<uint32_t> servers;
  std::string text;
  if (!SysRoot_ReadFile(path, &text)) return servers;
  for (const std::string &line : SysRoot_Lines(text)) {
    char keyword[16], value[64];
    uint32_t address = 0;
    int port = 0;
    if (sscanf(line.c_str(), " %15s %63s", keyword, value) == 2 &&
        strcmp(keyword, "nameserver") == 0 && strchr(value, '.') != nullptr &&
        Str_ParseIPv4(value, &address, &port))
      servers.push_back(address);
  }
  return servers;
}

// The socket inode of the row of /proc/net/tcp with that local address and
// port, or 0.
unsigned long proxyTcpInode(uint32_t address, uint16_t port) {
  std::string text;
  if (!SysRoot_ReadFile(SysRoot_Path("/proc/net/tcp"), &text, 1 << 26)) return 0;
  // The heading line does not scan.
  for (const std::string &line : SysRoot_Lines(text)) {
    unsigned localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0, state = 0, uid = 0;
    unsigned long inode = 0;
    if (sscanf(line.c_str(), " %*d: %x:%x %x:%x %x %*x:%*x %*x:%*x %*x %u %*d %lu", &localAddress,
               &localPort, &remoteAddress, &remotePort, &state, &uid, &inode) == 7 &&
        localAddress == address && localPort == port && inode != 0)
      return inode;
  }
  return 0;
}

}  // namespace

int Platform_GetDnsServers(uint32_t *first, uint32_t *second) {
  CHECK_POINTER(first);
  CHECK_POINTER(second);
  *first = *second = 0;
  std::vector<uint32_t> servers = proxyNameServers(SysRoot_Path("/etc/resolv.conf"));
  if (servers.size() == 1 && servers[0] == kResolvedStub)
    servers = proxyNameServers(SysRoot_Path("/run/systemd/resolve/resolv.conf"));
  if (servers.empty()) return 0;
  *first = servers[0];
  if (servers.size() > 1) *second = servers[1];
  return 1;
}

int Platform_GetTcpConnectionOwner(const uint32_t *address, uint16_t port, uint32_t *pid) {
  CHECK_POINTER(address);
  CHECK_POINTER(pid);
  *pid = 0;
  unsigned long inode = proxyTcpInode(*address, port);
  if (inode == 0) return 0;
  std::string wanted = "socket:[" + std::to_string(inode) + "]";
  std::string proc = SysRoot_Path("/proc/");
  for (const std::string &name : SysRoot_ListDirectory(proc)) {
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string fdDirectory = proc + name + "/fd/";
    for (const std::string &fd : SysRoot_ListDirectory(fdDirectory)) {
      char target[64];
      ssize_t length = readlink((fdDirectory + fd).c_str(), target, sizeof target - 1);
      if (length <= 0) continue;
      target[length] = '\0';
      if (wanted == target) {
        *pid = uint32_t(strtoul(name.c_str(), nullptr, 10));
        return *pid != 0;
      }
    }
  }
  return 0;
}

int Platform_IsProxyAutoDetect(int *on) {
  CHECK_POINTER(on);
  *on = (proxyReadSettings().flags & kProxyFlagAutoDetect) != 0;
  return 1;
}

int Platform_GetProxyAutoConfigUrl(char *out, int size) {
  CHECK_POINTER(out);
  ProxySettings settings = proxyReadSettings();
  if (!(settings.flags & kProxyFlagAutoConfigUrl)) return proxyPut(out, size, "");
  return proxyPut(out, size < kProxyUrlBytes ? size : kProxyUrlBytes, settings.autoConfigUrl);
}

int Platform_GetProxyUserInfo(const char *hostPort, char *user, int userSize, char *password,
                              int passwordSize) {
  CHECK_POINTER(hostPort);
  CHECK_POINTER(user);
  CHECK_POINTER(password);
  if (userSize < 1 || passwordSize < 1) return 0;
  user[0] = password[0] = '\0';
  static constexpr const char *kVariables[][2] = {
      {"http_proxy", "HTTP_PROXY"}, {"https_proxy", "HTTPS_PROXY"}, {"all_proxy", "ALL_PROXY"}};
  for (const auto &names : kVariables) {
    const char *value = proxyEnvironment(names[0], names[1]);
    if (value == nullptr) continue;
    std::string proxy = value;
    // Url_GetUsername reads a URL with a scheme; "user:password@host:port"
    // alone is a proxy URL too.
    if (proxy.find("://") == std::string::npos) proxy = "http://" + proxy;
    // The proxy at that host and port alone: a URL without a port names
    // its scheme's default one, never every port of the host.
    std::string scheme = proxy.substr(0, proxy.find("://") + 3);
    char at[kProxyUrlBytes];
    bool fits = Url_GetHostWithPort((scheme + proxyHostPort(proxy, false)).c_str(), at,
                                    int(sizeof at)) &&
                strchr(at, ':') != nullptr && Str_CompareNoCase(at, hostPort) == 0;
    char raw[kProxyUrlBytes];
    if (!fits || !Url_GetUsername(proxy.c_str(), raw, int(sizeof raw)) || raw[0] == '\0')
      continue;
    Url_Decode(raw, user, userSize);
    if (Url_GetPassword(proxy.c_str(), raw, int(sizeof raw))) Url_Decode(raw, password, passwordSize);
    explicit_bzero(raw, sizeof raw);
    return 1;
  }
  return 0;
}

int Platform_GetDhcpWpadUrl(const char *adapterName, char *out, int size) {
  CHECK_POINTER(adapterName);
  CHECK_POINTER(out);
  if (size < 1) return 0;
  out[0] = '\0';
  DhcpLease lease;
  if (!DhcpLease_Find(adapterName, if_nametoindex(adapterName), &lease)) return 0;
  std::string url = lease.wpad;
  // At most 4095 bytes and the terminator, then cut at the last line feed.
  size_t limit = size_t(size - 1 < kWpadCopyMax ? size - 1 : kWpadCopyMax);
  url = url.substr(0, std::min(limit, strnlen(url.c_str(), url.size())));
  size_t lineFeed = url.rfind('\n');
  if (lineFeed != std::string::npos) url.resize(lineFeed);
  memcpy(out, url.c_str(), url.size() + 1);
  return out[0] != '\0';
}

int Platform_GetProxyBypass(char *out, int size) {
  CHECK_POINTER(out);
  ProxySettings settings = proxyReadSettings();
  if (!(settings.flags & kProxyFlagManual)) return proxyPut(out, size, "");
  if (size > 0) Str_Copy(out, settings.bypass.c_str(), size);
  return size > 0 && out[0] != '\0';
}

int ProxyList_GetByProtocol(const char *proxyList, const char *protocol, char *out, int maxURL) {
  CHECK_POINTER(proxyList);
  CHECK_POINTER(protocol);
  CHECK_POINTER(out);
  if (maxURL <= 0)
    Core_Abort(KSRC, "Assertion failed (MaxURL > 0)\n%s: MaxURL must be greater than zero\n",
               "Platform_ProxyGetByProtocol");
  out[0] = '\0';
  std::string list = std::string(proxyList).substr(0, kProxyListBytes - 1);
  if (list.empty()) return 0;
  size_t room = size_t(maxURL - 1);

  // "protocol=" anywhere in the list, case folded.
  std::string key = std::string(protocol) + "=";
  const char *found = nullptr;
  if (Str_FindNoCase(list.c_str(), key.c_str(), &found)) {
    std::string value = found + key.size();
    value = value.substr(0, value.find(';'));
    return value.size() <= room ? proxyPut(out, maxURL, value) : 0;
  }

  // The entries without a protocol, those with a scheme only for http:// or
  // protocol://, each without its scheme.
  std::string prefix = std::string(protocol) + "://", joined;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(start, end - start);
    start = end + 1;
    const char *host = nullptr;
    int hasScheme = Url_FindHost(entry.c_str(), &host);
    if (host[0] == '\0' || entry[0] == '/') continue;
    // An entry for another protocol ("ftp=h:p") names no host of this one.
    if (entry.find('=') != std::string::npos) continue;
    if (hasScheme && !Str_EqualNoCaseN(entry.c_str(), "http://", 7) &&
        !Str_EqualNoCaseN(entry.c_str(), prefix.c_str(), int(prefix.size())))
      continue;
    size_t grown = joined.size() + (joined.empty() ? 0 : 1) + strlen(host);
    if (grown > room) continue;
    proxyAddEntry(&joined, host);
  }
  return proxyPut(out, maxURL, joined);
}

int Platform_GetProxySettingsProblem(char *out, int size) {
  CHECK_POINTER(out);
  ProxySettings ignored;
  std::string place;
  if (proxyFromEnvironment(&ignored) ||
      !DesktopSettings_IsUnreadable("org.gnome.system.proxy", &place))
    return proxyPut(out, size, "");
  return proxyPut(out, size,
                  "the desktop's proxy settings (org.gnome.system.proxy) cannot be read: " + place +
                      " is not this user's own to write");
}

int Platform_ProxyGetByProtocol(const char *protocol, char *out, int maxURL) {
  CHECK_POINTER(protocol);
  CHECK_POINTER(out);
  ProxySettings settings = proxyReadSettings();
  if (!(settings.flags & kProxyFlagManual)) settings.list.clear();
  return ProxyList_GetByProtocol(settings.list.c_str(), protocol, out, maxURL);
}
