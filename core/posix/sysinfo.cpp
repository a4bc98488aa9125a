// System information on Linux: kernel release, passwd, locale variables,
// procfs, sysfs, pci.ids, EGL and the interface list; see
// core/platform/platform.h.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/platform/platform.h"
#include "core/posix/desktopsettings.h"
#include "core/posix/dhcplease.h"
#include "core/posix/sysroot.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

int sysinfoPut(char *out, int size, const std::string &text) {
  if (size < 1) return 0;
  out[0] = '\0';
  if (text.empty() || int(text.size()) >= size) return 0;
  memcpy(out, text.c_str(), text.size() + 1);
  return 1;
}

int sysinfoClear(char *out, int size) {
  if (size > 0) out[0] = '\0';
  return 0;
}

std::string sysinfoTrim(const std::string &text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// The value of the first "key : value" line of a procfs text.
bool sysinfoField(const std::string &text, const char *key, std::string *value) {
  size_t keyLength = strlen(key);
  for (const std::string &line : SysRoot_Lines(text)) {
    size_t colon = line.find(':');
    if (line.compare(0, keyLength, key) != 0 || colon == std::string::npos ||
        !sysinfoTrim(line.substr(keyLength, colon - keyLength)).empty())
      continue;
    *value = sysinfoTrim(line.substr(colon + 1));
    return true;
  }
  return false;
}

std::string sysinfoCpuField(const char *key) {
  std::string text, value;
  if (!SysRoot_ReadFile(SysRoot_Path("/proc/cpuinfo"), &text, 1 << 22)) return "";
  return sysinfoField(text, key, &value) ? value : "";
}

// The locale text that decides language and country: LC_ALL, LC_MESSAGES,
// LANG, the first that is set and not empty.
std::string sysinfoLocale() {
  for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char *value = getenv(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return "";
}

// Splits "ll_CC.codeset@modifier" into language and country; the C locale
// (and none) reads "en", "US".
void sysinfoLocaleParts(std::string *language, std::string *country) {
  std::string locale = sysinfoLocale();
  size_t cut = locale.find_first_of(".@");
  std::string base = locale.substr(0, cut);
  if (base.empty() || base == "C" || base == "POSIX") {
    *language = "en";
    *country = "US";
    return;
  }
  size_t underscore = base.find('_');
  *language = base.substr(0, underscore);
  *country = underscore == std::string::npos ? "" : base.substr(underscore + 1);
}

// ---- Video cards --------------------------------------------------------------

struct SysinfoVideoCard {
  std::string directory;  // under the root
  unsigned vendor = 0, device = 0;
};

unsigned sysinfoHexFile(const std::string &path) {
  std::string line;
  if (!SysRoot_ReadLine(path, &line)) return 0;
  return unsigned(strtoul(line.c_str(), nullptr, 16));
}

// The display controllers (class 0x03xxxx) marked as the boot device.
std::vector<SysinfoVideoCard> sysinfoVideoCards() {
  std::vector<SysinfoVideoCard> cards;
  std::string base = SysRoot_Path("/sys/bus/pci/devices/");
  for (const std::string &name : SysRoot_ListDirectory(base)) {
    std::string directory = base + name + "/";
    if ((sysinfoHexFile(directory + "class") >> 16) != 0x03) continue;
    std::string bootVga;
    if (!SysRoot_ReadLine(directory + "boot_vga", &bootVga) || bootVga != "1") continue;
    SysinfoVideoCard card;
    card.directory = directory;
    card.vendor = sysinfoHexFile(directory + "vendor");
    card.device = sysinfoHexFile(directory + "device");
    cards.push_back(card);
  }
  return cards;
}

// "<vendor> <device>" from pci.ids, else "vvvv:dddd".
std::string sysinfoPciName(unsigned vendor, unsigned device) {
  char fallback[16];
  Str_Printf(fallback, sizeof fallback, "%04x:%04x", vendor, device);
  std::string ids;
  if (!SysRoot_ReadFile(SysRoot_Path("/usr/share/misc/pci.ids"), &ids, 1 << 24)) return fallback;
  char vendorKey[8], deviceKey[8];
  Str_Printf(vendorKey, sizeof vendorKey, "%04x  ", vendor);
  Str_Printf(deviceKey, sizeof deviceKey, "%04x  ", device);
  std::string vendorName;
  bool inVendor = false;
  for (const std::string &line : SysRoot_Lines(ids)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] != '\t') {
      if (inVendor) break;
      if (line.compare(0, 6, vendorKey) == 0) {
        inVendor = true;
        vendorName = line.substr(6);
      }
      continue;
    }
    // Device lines have one tab; subsystem lines two.
    if (inVendor && line.size() > 7 && line[1] != '\t' && line.compare(1, 6, deviceKey) == 0)
      return vendorName + " " + line.substr(7);
  }
  return fallback;
}

// ---- Disks ----------------------------------------------------------------------

// Keeps only 0-9, a-z and A-Z.
std::string sysinfoAlnum(const std::string &text) {
  std::string out;
  for (char c : text)
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) out += c;
  return out;
}

// ---- Network adapters -----------------------------------------------------------

struct SysinfoRoute {
  std::string interfaceName;
  uint32_t destination, gateway;
};

std::vector<SysinfoRoute> sysinfoRoutes() {
  std::vector<SysinfoRoute> routes;
  std::string text;
  if (!SysRoot_ReadFile(SysRoot_Path("/proc/net/route"), &text)) return routes;
  // The heading line does not scan.
  for (const std::string &line : SysRoot_Lines(text)) {
    char name[IFNAMSIZ + 1];
    unsigned destination = 0, gateway = 0;
    if (sscanf(line.c_str(), "%16s %x %x", name, &destination, &gateway) == 3)
      routes.push_back({name, destination, gateway});
  }
  return routes;
}

void sysinfoAddressText(uint32_t address, char *out, int size) {
  Str_Printf(out, size, "%u.%u.%u.%u", address & 0xff, (address >> 8) & 0xff,
             (address >> 16) & 0xff, address >> 24);
}

bool sysinfoMacIsZero(const NetworkAdapter &adapter) {
  for (uint32_t i = 0; i < adapter.macLength; i++)
    if (adapter.mac[i] != 0) return false;
  return true;
}

// Every interface, ifindex order, filled but for the primary mark.
std::vector<NetworkAdapter> sysinfoAdapters() {
  std::vector<NetworkAdapter> adapters;
  struct if_nameindex *names = if_nameindex();
  if (names == nullptr) {
    Log_Print(LOG_ERROR, KSRC, 0, "Unable to get adapter info (%d / %d:%d)\n", errno, 0, 0);
    return adapters;
  }
  struct ifaddrs *addresses = nullptr;
  if (getifaddrs(&addresses) != 0) addresses = nullptr;
  std::vector<SysinfoRoute> routes = sysinfoRoutes();
  for (struct if_nameindex *entry = names; entry->if_index != 0; entry++) {
    NetworkAdapter adapter;
    memset(&adapter, 0, sizeof adapter);
    Str_Copy(adapter.name, entry->if_name, sizeof adapter.name);
    Str_Copy(adapter.description, entry->if_name, sizeof adapter.description);
    adapter.interfaceIndex = entry->if_index;
    uint32_t netmask = 0;
    for (struct ifaddrs *a = addresses; a != nullptr; a = a->ifa_next) {
      if (a->ifa_addr == nullptr || strcmp(a->ifa_name, entry->if_name) != 0) continue;
      if (a->ifa_addr->sa_family == AF_INET && adapter.address == 0) {
        adapter.address = reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr;
        if (a->ifa_netmask)
          netmask = reinterpret_cast<sockaddr_in *>(a->ifa_netmask)->sin_addr.s_addr;
      }
    }
    std::string directory = SysRoot_Path("/sys/class/net/") + entry->if_name + "/";
    std::string line;
    if (SysRoot_ReadLine(directory + "address", &line)) {
      unsigned bytes[6];
      if (sscanf(line.c_str(), "%x:%x:%x:%x:%x:%x", &bytes[0], &bytes[1], &bytes[2], &bytes[3],
                 &bytes[4], &bytes[5]) == 6) {
        for (int i = 0; i < 6; i++) adapter.mac[i] = uint8_t(bytes[i]);
        adapter.macLength = 6;
      }
    }
    std::string type;
    struct stat info;
    SysRoot_ReadLine(directory + "type", &type);
    if (type == "772") {
      adapter.type = 24;
      adapter.loopback = 1;
    } else if (stat((directory + "wireless").c_str(), &info) == 0 ||
               stat((directory + "phy80211").c_str(), &info) == 0) {
      adapter.type = 71;
    } else {
      adapter.type = 6;
    }
    adapter.wiredOrWireless = adapter.type == 6 || adapter.type == 71;
    for (const SysinfoRoute &route : routes) {
      if (route.interfaceName != entry->if_name || route.gateway == 0) continue;
      if (adapter.gateway == 0 || route.destination == 0) adapter.gateway = route.gateway;
    }
    adapter.gatewayMask = netmask;
    sysinfoAddressText(adapter.address, adapter.addressText, sizeof adapter.addressText);
    sysinfoAddressText(adapter.gateway, adapter.gatewayText, sizeof adapter.gatewayText);
    sysinfoAddressText(netmask, adapter.gatewayMaskText, sizeof adapter.gatewayMaskText);
    size_t maskLength = strlen(adapter.gatewayMaskText);
    if (maskLength > 4 && strcmp(adapter.gatewayMaskText + maskLength - 4, ".255") == 0)
      strcpy(adapter.gatewayMaskText + maskLength - 4, ".0");
    std::string operstate, carrier;
    SysRoot_ReadLine(directory + "operstate", &operstate);
    SysRoot_ReadLine(directory + "carrier", &carrier);
    if (operstate == "up" || carrier == "1")
      adapter.connected = 1;
    else if (operstate.empty() && carrier.empty())
      adapter.connected = adapter.gateway != 0;
    DhcpLease lease;
    adapter.dhcp = DhcpLease_Find(entry->if_name, entry->if_index, &lease) && lease.server != 0;
    adapters.push_back(adapter);
  }
  if (addresses) freeifaddrs(addresses);
  if_freenameindex(names);
  return adapters;
}

// ---- OpenGL through EGL -----------------------------------------------------------

constexpr int kEglPlatformSurfacelessMesa = 0x31DD;
constexpr int kEglNone = 0x3038;
constexpr int kEglOpenGlApi = 0x30A2;
constexpr unsigned kGlVersion = 0x1F02;

struct SysinfoEgl {
  void *(*getPlatformDisplay)(int platform, void *nativeDisplay, const intptr_t *attributes);
  unsigned (*initialize)(void *display, int *major, int *minor);
  unsigned (*bindApi)(unsigned api);
  void *(*createContext)(void *display, void *config, void *share, const int *attributes);
  unsigned (*makeCurrent)(void *display, void *draw, void *read, void *context);
  unsigned (*destroyContext)(void *display, void *context);
  unsigned (*terminate)(void *display);
  unsigned (*releaseThread)();
  void *(*getProcAddress)(const char *name);
};

template <typename F>
bool sysinfoFind(PlatformModule *module, const char *name, F *out) {
  *out = reinterpret_cast<F>(Platform_GetLibraryFunction(module, name));
  return *out != nullptr;
}

}  // namespace

// ---- Public ---------------------------------------------------------------------

int Platform_GetSystemVersion(OsVersion *out) {
  CHECK_POINTER(out);
  memset(out, 0, sizeof *out);
  struct utsname name;
  if (uname(&name) != 0) return 0;
  uint32_t *parts[4] = {&out->major, &out->minor, &out->build, &out->fourth};
  const char *p = name.release;
  for (int i = 0; i < 4 && *p; i++) {
    while (*p && (*p < '0' || *p > '9')) p++;
    if (!*p) break;
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) value = value * 10 + uint32_t(*p - '0');
    *parts[i] = value;
  }
  return 1;
}

int Platform_GetSystemVersionString(char *out, int size) {
  CHECK_POINTER(out);
  OsVersion version;
  if (!Platform_GetSystemVersion(&version)) return sysinfoClear(out, size);
  char text[48];
  Str_Printf(text, sizeof text, "%u.%u.%u.%u", version.major, version.minor, version.build,
             version.fourth);
  return sysinfoPut(out, size, text);
}

int Platform_GetUserName(char *out, int size) {
  CHECK_POINTER(out);
  struct passwd entry, *found = nullptr;
  char buffer[4096];
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_name[0] != '\0')
    return sysinfoPut(out, size, found->pw_name);
  const char *user = getenv("USER");
  if (user != nullptr && user[0] != '\0') return sysinfoPut(out, size, user);
  return sysinfoPut(out, size, std::to_string(geteuid()));
}

int Platform_GetUserISO639LangName(char *out, int size) {
  CHECK_POINTER(out);
  std::string language, country;
  sysinfoLocaleParts(&language, &country);
  return sysinfoPut(out, size, language);
}

int Platform_GetUserISO3166CountryName(char *out, int size) {
  CHECK_POINTER(out);
  std::string language, country;
  sysinfoLocaleParts(&language, &country);
  return sysinfoPut(out, size, country);
}

int Platform_GetPageSize(uint32_t *out) {
  CHECK_POINTER(out);
  long size = sysconf(_SC_PAGESIZE);
  *out = size > 0 ? uint32_t(size) : 0;
  return size > 0;
}

int Platform_GetSystemBitness(void) {
  struct utsname name;
  if (uname(&name) != 0) return int(sizeof(void *) * 8);
  return strstr(name.machine, "64") != nullptr ? 64 : 32;
}

int Platform_GetSystemMemory(uint64_t *out) {
  CHECK_POINTER(out);
  *out = 0;
  std::string text, value;
  if (!SysRoot_ReadFile(SysRoot_Path("/proc/meminfo"), &text) ||
      !sysinfoField(text, "MemTotal", &value))
    return 0;
  *out = strtoull(value.c_str(), nullptr, 10) * 1024;
  return *out != 0;
}

int Platform_GetCPUSpeed(uint32_t *out) {
  CHECK_POINTER(out);
  *out = 0;
  std::string line;
  if (SysRoot_ReadLine(SysRoot_Path("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"),
                       &line)) {
    unsigned long kHz = strtoul(line.c_str(), nullptr, 10);
    *out = uint32_t((kHz + 500) / 1000);
    if (*out != 0) return 1;
  }
  std::string mhz = sysinfoCpuField("cpu MHz");
  if (mhz.empty()) return 0;
  *out = uint32_t(std::lround(strtod(mhz.c_str(), nullptr)));
  return *out != 0;
}

int Platform_GetCPUVendor(char *out, int size) {
  CHECK_POINTER(out);
  return sysinfoPut(out, size, sysinfoCpuField("vendor_id"));
}

int Platform_GetCPUDescription(char *out, int size) {
  CHECK_POINTER(out);
  return sysinfoPut(out, size, sysinfoCpuField("model name"));
}

int Platform_GetVideoCardName(int index, char *out, int size) {
  CHECK_POINTER(out);
  std::vector<SysinfoVideoCard> cards = sysinfoVideoCards();
  if (index < 0 || size_t(index) >= cards.size()) return sysinfoClear(out, size);
  return sysinfoPut(out, size, sysinfoPciName(cards[index].vendor, cards[index].device));
}

int Platform_GetVideoCardMemory(int index, uint64_t *out) {
  CHECK_POINTER(out);
  *out = 0;
  std::vector<SysinfoVideoCard> cards = sysinfoVideoCards();
  if (index < 0 || size_t(index) >= cards.size()) return 0;
  std::string line;
  if (SysRoot_ReadLine(cards[index].directory + "mem_info_vram_total", &line))
    *out = strtoull(line.c_str(), nullptr, 10);
  return 1;
}

int Platform_GetDirectXVersion(char *out, int size) {
  CHECK_POINTER(out);
  return sysinfoClear(out, size);
}

int Platform_GetOpenGLVersion(char *out, int size) {
  CHECK_POINTER(out);
  sysinfoClear(out, size);
  PlatformModule *module = Platform_LoadLibrary("libEGL.so.1", 1);
  if (module == nullptr) return 0;
  SysinfoEgl egl;
  int result = 0;
  if (sysinfoFind(module, "eglGetPlatformDisplay", &egl.getPlatformDisplay) &&
      sysinfoFind(module, "eglInitialize", &egl.initialize) &&
      sysinfoFind(module, "eglBindAPI", &egl.bindApi) &&
      sysinfoFind(module, "eglCreateContext", &egl.createContext) &&
      sysinfoFind(module, "eglMakeCurrent", &egl.makeCurrent) &&
      sysinfoFind(module, "eglDestroyContext", &egl.destroyContext) &&
      sysinfoFind(module, "eglTerminate", &egl.terminate) &&
      sysinfoFind(module, "eglReleaseThread", &egl.releaseThread) &&
      sysinfoFind(module, "eglGetProcAddress", &egl.getProcAddress)) {
    const intptr_t displayAttributes[] = {kEglNone};
    void *display = egl.getPlatformDisplay(kEglPlatformSurfacelessMesa, nullptr, displayAttributes);
    int major = 0, minor = 0;
    if (display != nullptr && egl.initialize(display, &major, &minor)) {
      const int contextAttributes[] = {kEglNone};
      void *context = nullptr;
      if (egl.bindApi(kEglOpenGlApi))
        context = egl.createContext(display, nullptr, nullptr, contextAttributes);
      if (context != nullptr && egl.makeCurrent(display, nullptr, nullptr, context)) {
        auto getString =
            reinterpret_cast<const char *(*)(unsigned)>(egl.getProcAddress("glGetString"));
        const char *version = getString ? getString(kGlVersion) : nullptr;
        if (version != nullptr) result = sysinfoPut(out, size, version);
        egl.makeCurrent(display, nullptr, nullptr, nullptr);
      }
      if (context != nullptr) egl.destroyContext(display, context);
      egl.terminate(display);
    }
    egl.releaseThread();
  }
  // The library stays loaded: the GL dispatch layer keeps per-thread state
  // whose destructors run when threads end, after any unload.
  return result;
}

int Platform_GetAntiVirus(int, char *out, int size) {
  CHECK_POINTER(out);
  return sysinfoClear(out, size);
}

int Platform_GetTheme(char *out, int size) {
  CHECK_POINTER(out);
  const char *theme = getenv("GTK_THEME");
  bool dark =
      theme != nullptr && strlen(theme) >= 5 && strcmp(theme + strlen(theme) - 5, ":dark") == 0;
  if (!dark) {
    DesktopSettingValue scheme{DesktopSettingValue::Kind::String, "color-scheme"};
    dark = DesktopSettings_Read("org.gnome.desktop.interface", &scheme, 1) &&
           scheme.text == "prefer-dark";
  }
  return sysinfoPut(out, size, dark ? "dark" : "light");
}

int Platform_GetDiskSerial(const char *drivePath, char *out, int size) {
  CHECK_POINTER(drivePath);
  CHECK_POINTER(out);
  sysinfoClear(out, size);
  struct stat info;
  if (stat(drivePath, &info) != 0) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Failed to open drive (%s) (%d)\n", drivePath, errno);
    return 0;
  }
  char link[64];
  Str_Printf(link, sizeof link, "/sys/dev/block/%u:%u", major(info.st_dev), minor(info.st_dev));
  char resolved[PATH_MAX];
  if (realpath(SysRoot_Path(link).c_str(), resolved) == nullptr) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Unable to query disk property (%s)(%d)\n", drivePath, errno);
    return 0;
  }
  std::string disk = resolved;
  struct stat partition;
  if (stat((disk + "/partition").c_str(), &partition) == 0) disk.resize(disk.rfind('/'));
  std::string serial;
  if (!SysRoot_ReadLine(disk + "/device/serial", &serial) &&
      !SysRoot_ReadLine(disk + "/serial", &serial)) {
    std::string device, udev;
    if (SysRoot_ReadLine(disk + "/dev", &device) &&
        SysRoot_ReadFile(SysRoot_Path("/run/udev/data/b") + device, &udev)) {
      size_t at = udev.find("E:ID_SERIAL_SHORT=");
      if (at != std::string::npos) {
        size_t end = udev.find('\n', at);
        serial = udev.substr(at + 18, end == std::string::npos ? end : end - at - 18);
      }
    }
  }
  std::string clean = sysinfoAlnum(serial);
  if (int(clean.size()) >= size) clean.resize(size_t(size > 0 ? size - 1 : 0));
  if (size > 0) memcpy(out, clean.c_str(), clean.size() + 1);
  return 1;
}

int Platform_GetNetworkAdapter(int index, NetworkAdapter *out) {
  CHECK_POINTER(out);
  memset(out, 0, sizeof *out);
  std::vector<NetworkAdapter> adapters = sysinfoAdapters();
  if (index < 0 || size_t(index) >= adapters.size()) return 0;
  // Primary: the lowest interface index with an address and a MAC that is
  // not all zero (the list is in ifindex order).
  for (NetworkAdapter &adapter : adapters) {
    if (adapter.address != 0 && adapter.macLength != 0 && !sysinfoMacIsZero(adapter)) {
      adapter.primary = 1;
      break;
    }
  }
  *out = adapters[size_t(index)];
  return 1;
}
