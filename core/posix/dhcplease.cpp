// DhcpLease: the DHCP clients' lease files; see dhcplease.h.
#include "core/posix/dhcplease.h"

#include <cstring>
#include <vector>

#include "core/posix/sysroot.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

int leaseHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hex pairs, optionally separated by ':' ("68:74" or "6874"); false when the
// text is anything else.
bool leaseDecodeHex(const std::string &text, std::string *out) {
  out->clear();
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ':') {
      i++;
      continue;
    }
    if (i + 1 >= text.size()) return false;
    int high = leaseHexDigit(text[i]), low = leaseHexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(char(high * 16 + low));
    i += 2;
  }
  return true;
}

// A dhclient option value: a quoted text (with \" \\ and \ooo escapes) or
// colon-separated hex bytes.
std::string leaseOptionText(const std::string &value) {
  std::string out;
  if (!value.empty() && value[0] == '"') {
    for (size_t i = 1; i < value.size() && value[i] != '"'; i++) {
      char c = value[i];
      if (c == '\\' && i + 1 < value.size()) {
        char next = value[i + 1];
        if (next >= '0' && next <= '7' && i + 3 < value.size()) {
          out.push_back(char((next - '0') * 64 + (value[i + 2] - '0') * 8 + (value[i + 3] - '0')));
          i += 3;
          continue;
        }
        out.push_back(next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next);
        i++;
        continue;
      }
      out.push_back(c);
    }
    return out;
  }
  if (!leaseDecodeHex(value, &out)) out.clear();
  return out;
}

uint32_t leaseAddress(const std::string &text) {
  uint32_t address = 0;
  int port = 0;
  return Str_ParseIPv4(text.c_str(), &address, &port) ? address : 0;
}

// KEY=VALUE lines (systemd-networkd, NetworkManager's internal client).
bool leaseReadKeyValue(const std::string &path, DhcpLease *lease) {
  std::string text;
  if (!SysRoot_ReadFile(path, &text)) return false;
  for (const std::string &line : SysRoot_Lines(text)) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "SERVER_ADDRESS") lease->server = leaseAddress(value);
    if (key == "OPTION_252" && !leaseDecodeHex(value, &lease->wpad)) lease->wpad.clear();
  }
  return true;
}

// dhclient's "lease { ... }" blocks; the last one for the interface wins. A
// file written for one interface (NetworkManager's) may omit the name.
bool leaseReadDhclient(const std::string &path, const char *interfaceName, bool anyInterface,
                       DhcpLease *lease) {
  std::string text;
  if (!SysRoot_ReadFile(path, &text)) return false;
  bool found = false;
  size_t at = 0;
  while ((at = text.find("lease {", at)) != std::string::npos) {
    size_t end = text.find("\n}", at);
    if (end == std::string::npos) end = text.size();
    std::string block = text.substr(at, end - at);
    at = end;
    DhcpLease candidate;
    bool matches = anyInterface;
    for (std::string line : SysRoot_Lines(block)) {
      size_t first = line.find_first_not_of(" \t");
      if (first == std::string::npos) continue;
      line = line.substr(first);
      if (!line.empty() && line.back() == ';') line.pop_back();
      auto valueAfter = [&line](const char *prefix) -> const char * {
        size_t length = strlen(prefix);
        return line.compare(0, length, prefix) == 0 ? line.c_str() + length : nullptr;
      };
      if (const char *v = valueAfter("interface ")) {
        matches = std::string(v) == std::string("\"") + interfaceName + "\"";
      } else if (const char *v = valueAfter("option dhcp-server-identifier ")) {
        candidate.server = leaseAddress(v);
      } else if (const char *v = valueAfter("option wpad ")) {
        candidate.wpad = leaseOptionText(v);
      } else if (const char *v = valueAfter("option unknown-252 ")) {
        candidate.wpad = leaseOptionText(v);
      }
    }
    if (matches) {
      *lease = candidate;
      found = true;
    }
  }
  return found;
}

bool leaseEndsWith(const std::string &name, const std::string &suffix) {
  return name.size() >= suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool DhcpLease_Find(const char *interfaceName, uint32_t interfaceIndex, DhcpLease *lease) {
  *lease = DhcpLease();
  char index[16];
  Str_Printf(index, sizeof index, "%u", interfaceIndex);
  if (leaseReadKeyValue(SysRoot_Path("/run/systemd/netif/leases/") + index, lease)) return true;

  std::string manager = SysRoot_Path("/var/lib/NetworkManager/");
  std::string suffix = std::string("-") + interfaceName + ".lease";
  for (const std::string &name : SysRoot_ListDirectory(manager)) {
    if (!leaseEndsWith(name, suffix)) continue;
    if (name.compare(0, 9, "internal-") == 0 && leaseReadKeyValue(manager + name, lease))
      return true;
    if (name.compare(0, 9, "dhclient-") == 0 &&
        leaseReadDhclient(manager + name, interfaceName, true, lease))
      return true;
  }

  std::string dhclient = SysRoot_Path("/var/lib/dhcp/");
  for (const std::string &name : SysRoot_ListDirectory(dhclient)) {
    if (name.compare(0, 8, "dhclient") != 0 || !leaseEndsWith(name, ".leases")) continue;
    if (leaseReadDhclient(dhclient + name, interfaceName, false, lease)) return true;
  }
  return false;
}
