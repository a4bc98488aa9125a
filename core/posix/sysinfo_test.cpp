// System information against the system's own tools (uname, getconf, lscpu,
// id, lsblk, ip), a fake sysfs tree under the test root, a network namespace
// and Mesa's software renderer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/platform/platform.h"
#include "core/posix/sysroot.h"
#include "core/runtime/expand.h"
#include "tests/fsfault.h"

namespace {

std::string text(int (*query)(char *, int)) {
  char out[kPlatformInfoBytes];
  EXPECT_EQ(query(out, sizeof out), 1);
  return out;
}

void writeFile(const std::string &path, const std::string &content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << content;
}

// The test root, cleared again when the case ends.
struct SysRootScope {
  explicit SysRootScope(const std::string &root) { SysRoot_SetForTest(root.c_str()); }
  ~SysRootScope() { SysRoot_SetForTest(nullptr); }
};

}  // namespace

TEST(SysInfo, AnswersAsTheSystemToolsDo) {
  std::string release = FsFault_Command("uname -r"), version;
  int numbers = 0;
  std::string current;
  for (char c : release + ".") {
    if (c >= '0' && c <= '9') {
      current += c;
    } else if (!current.empty() && numbers < 4) {
      version += (numbers++ ? "." : "") + current;
      current.clear();
    }
  }
  for (; numbers < 4; numbers++) version += ".0";
  EXPECT_EQ(text(Platform_GetSystemVersionString), version);
  EXPECT_EQ(text(Platform_GetUserName), FsFault_Command("id -un"));

  uint32_t pageSize = 0;
  EXPECT_EQ(Platform_GetPageSize(&pageSize), 1);
  EXPECT_EQ(std::to_string(pageSize), FsFault_Command("getconf PAGESIZE"));
  uint64_t memory = 0;
  EXPECT_EQ(Platform_GetSystemMemory(&memory), 1);
  EXPECT_EQ(std::to_string(memory / 1024),
            FsFault_Command("awk '/^MemTotal:/ {print $2}' /proc/meminfo"));

  std::string vendor = FsFault_Command("lscpu | sed -n 's/^Vendor ID: *//p'");
  std::string model = FsFault_Command("lscpu | sed -n 's/^Model name: *//p'");
  if (!vendor.empty()) {
    EXPECT_EQ(text(Platform_GetCPUVendor), vendor);
  }
  if (!model.empty()) {
    EXPECT_EQ(text(Platform_GetCPUDescription), model);
  }
  uint32_t mhz = 0;
  if (Platform_GetCPUSpeed(&mhz)) {
    EXPECT_GT(mhz, 0u);
  }

  std::string bitness = FsFault_Command("getconf LONG_BIT");
  EXPECT_EQ(std::to_string(Platform_GetSystemBitness()), bitness);

  // The expander's rows give the same answers.
  char buffer[kStrExpandWorkBytes] = "{SystemVersion}|{UserName}|{SystemMemory}|{SystemBitness}";
  ASSERT_EQ(Str_Expand(buffer, sizeof buffer, nullptr, nullptr), 1);
  EXPECT_EQ(std::string(buffer), version + "|" + FsFault_Command("id -un") + "|" +
                                     std::to_string(memory) + "|" + bitness);
}

TEST(SysInfo, LocaleFromTheEnvironmentInTurn) {
  struct Case {
    const char *lcAll, *lcMessages, *lang, *language, *country;
  } cases[] = {
      {nullptr, nullptr, "de_DE.UTF-8", "de", "DE"},
      {"C", nullptr, "de_DE.UTF-8", "en", "US"},
      {nullptr, nullptr, nullptr, "en", "US"},
      {nullptr, "fr_CA@euro", "de_DE.UTF-8", "fr", "CA"},
      {"", "", "POSIX", "en", "US"},
      {"C.UTF-8", nullptr, nullptr, "en", "US"},
  };
  for (const Case &c : cases) {
    FSFAULT_RUN([&](FsFaultChild &child) {
      const char *names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
      const char *values[] = {c.lcAll, c.lcMessages, c.lang};
      for (int i = 0; i < 3; i++) {
        if (values[i])
          setenv(names[i], values[i], 1);
        else
          unsetenv(names[i]);
      }
      char language[16], country[16];
      FSF_EXPECT_EQ(child, Platform_GetUserISO639LangName(language, sizeof language), 1);
      FSF_EXPECT_EQ(child, Platform_GetUserISO3166CountryName(country, sizeof country), 1);
      FSF_EXPECT_EQ(child, std::string(language), std::string(c.language));
      FSF_EXPECT_EQ(child, std::string(country), std::string(c.country));
    });
  }
}

TEST(SysInfo, VideoCardsAndDiskSerialFromAFakeTree) {
  FsFaultTempDir root;
  const std::string pci = root / "sys/bus/pci/devices/";
  auto card = [&](const char *slot, const char *cls, const char *vendor, const char *device,
                  const char *bootVga) {
    writeFile(pci + slot + "/class", cls);
    writeFile(pci + slot + "/vendor", vendor);
    writeFile(pci + slot + "/device", device);
    if (bootVga) writeFile(pci + slot + "/boot_vga", bootVga);
  };
  card("0000:00:02.0", "0x030000\n", "0x8086\n", "0x3e92\n", "0\n");    // not the boot card
  card("0000:01:00.0", "0x030000\n", "0x1002\n", "0x73bf\n", "1\n");    // the primary
  card("0000:00:1f.3", "0x040300\n", "0x8086\n", "0xa348\n", nullptr);  // audio
  writeFile(pci + "0000:01:00.0/mem_info_vram_total", "17163091968\n");
  writeFile(root / "usr/share/misc/pci.ids",
            "# comment\n8086  Intel Corporation\n\t3e92  UHD Graphics 630\n"
            "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n\t73bf  Navi 21 [Radeon RX 6800]\n"
            "\t\t1002 0e3a  Radeon RX 6900 XT\n");
  // The disk holding this test's directory: its partition links to a whole
  // disk with a serial full of blanks and dashes.
  struct stat info;
  ASSERT_EQ(stat(root.path().c_str(), &info), 0);
  std::string link = root / ("sys/dev/block/" + std::to_string(major(info.st_dev)) + ":" +
                             std::to_string(minor(info.st_dev)));
  writeFile(root / "sys/devices/fake/sdz/sdz1/partition", "1\n");
  writeFile(root / "sys/devices/fake/sdz/device/serial", "WD-12 34\n");
  std::filesystem::create_directories(std::filesystem::path(link).parent_path());
  std::filesystem::create_symlink("../../devices/fake/sdz/sdz1", link);

  SysRootScope scope(root.path());
  char name[kPlatformInfoBytes];
  EXPECT_EQ(Platform_GetVideoCardName(0, name, sizeof name), 1);
  EXPECT_STREQ(name, "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800]");
  EXPECT_EQ(Platform_GetVideoCardName(1, name, sizeof name), 0);  // one primary only
  EXPECT_STREQ(name, "");
  uint64_t vram = 0;
  EXPECT_EQ(Platform_GetVideoCardMemory(0, &vram), 1);
  EXPECT_EQ(vram, 17163091968u);
  char buffer[kStrExpandWorkBytes] = "{VideoCardTypeList}|{VideoCardMemory}|{VideoCardType:1}";
  ASSERT_EQ(Str_Expand(buffer, sizeof buffer, nullptr, nullptr), 1);
  EXPECT_STREQ(buffer,
               "Advanced Micro Devices. Inc. [AMD/ATI] Navi 21 [Radeon RX 6800]|17163091968|"
               "{VideoCardType:1}");
  // Without pci.ids the ids stand for the name.
  std::filesystem::remove(root / "usr/share/misc/pci.ids");
  EXPECT_EQ(Platform_GetVideoCardName(0, name, sizeof name), 1);
  EXPECT_STREQ(name, "1002:73bf");

  EXPECT_EQ(Platform_GetDiskSerial(root.path().c_str(), name, sizeof name), 1);
  EXPECT_STREQ(name, "WD1234");
  // No serial in sysfs: the udev database's short serial.
  std::filesystem::remove(root / "sys/devices/fake/sdz/device/serial");
  writeFile(root / "sys/devices/fake/sdz/dev", "8:0\n");
  writeFile(root / "run/udev/data/b8:0", "S:disk/by-id/x\nE:ID_SERIAL_SHORT=S4-EV_NX0\nE:X=1\n");
  EXPECT_EQ(Platform_GetDiskSerial(root.path().c_str(), name, sizeof name), 1);
  EXPECT_STREQ(name, "S4EVNX0");
}

TEST(SysInfo, RealDiskSerialEqualsLsblk) {
  std::string device = FsFault_Command("findmnt -no SOURCE -T / 2>/dev/null");
  std::string serial = device.rfind("/dev/", 0) == 0
                           ? FsFault_Command("lsblk -dno SERIAL $(lsblk -no PKNAME " + device +
                                             " | head -1 | sed 's|^|/dev/|') "
                                             "2>/dev/null || lsblk -dno SERIAL " +
                                             device)
                           : "";
  char out[kPlatformInfoBytes];
  int found = Platform_GetDiskSerial("/", out, sizeof out);
  if (serial.empty()) GTEST_SKIP() << "the root file system has no disk with a serial here";
  EXPECT_EQ(found, 1);
  std::string clean;
  for (char c : serial)
    if (isalnum(static_cast<unsigned char>(c))) clean += c;
  EXPECT_EQ(std::string(out), clean);
}

TEST(SysInfo, AdaptersInANetworkNamespaceEqualIp) {
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.EnterNetworkNamespace()) return;
    NetworkAdapter adapter;
    // Only loopback, no IPv4 address yet: nothing is primary.
    FSF_EXPECT_EQ(child, Platform_GetNetworkAdapter(0, &adapter), 1);
    FSF_EXPECT_EQ(child, adapter.primary, 0);
    FSF_EXPECT_EQ(child, Platform_GetNetworkAdapter(1, &adapter), 0);
    // A veth pair (the kernel here may lack the dummy type): kv0 carries
    // the address and the default route, its peer kv1 nothing.
    if (system("ip link set lo up && "
               "ip link add kv0 address 02:11:22:33:44:55 type veth peer name kv1 && "
               "ip link set kv1 up && ip addr add 10.1.2.3/24 dev kv0 && ip link set kv0 up && "
               "ip route add default via 10.1.2.1 dev kv0") != 0) {
      child.Skip("ip could not set up the veth pair");
      return;
    }
    FSF_EXPECT_EQ(child, Platform_GetNetworkAdapter(0, &adapter), 1);
    FSF_EXPECT_EQ(child, std::string(adapter.name), std::string("lo"));
    FSF_EXPECT_EQ(child, adapter.loopback, 1);
    FSF_EXPECT_EQ(child, adapter.type, 24u);
    FSF_EXPECT_EQ(child, std::string(adapter.addressText), std::string("127.0.0.1"));
    FSF_EXPECT_EQ(child, adapter.primary, 0);  // its MAC is all zero
    int primaries = 0;
    std::string ours, peer;
    for (int i = 0; Platform_GetNetworkAdapter(i, &adapter); i++) {
      primaries += adapter.primary;
      if (std::string(adapter.name) != "kv0") continue;
      char mac[32];
      snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", adapter.mac[0], adapter.mac[1],
               adapter.mac[2], adapter.mac[3], adapter.mac[4], adapter.mac[5]);
      ours = std::string(adapter.name) + " " + mac + " " + adapter.addressText + " " +
             adapter.gatewayText + " " + std::to_string(adapter.interfaceIndex);
      FSF_EXPECT_EQ(child, std::string(adapter.gatewayMaskText), std::string("255.255.255.0"));
      FSF_EXPECT_EQ(child, adapter.type, 6u);
      FSF_EXPECT_EQ(child, adapter.connected, 1);
      FSF_EXPECT_EQ(child, adapter.primary, 1);
      FSF_EXPECT_EQ(child, adapter.dhcp, 0);
    }
    FSF_EXPECT_EQ(child, primaries, 1);
    peer = FsFault_Command(
        "/usr/bin/python3 -c 'import json,subprocess as s;"
        "a=json.loads(s.check_output([\"ip\",\"-j\",\"addr\",\"show\",\"kv0\"]))[0];"
        "r=json.loads(s.check_output([\"ip\",\"-j\",\"route\",\"show\",\"default\"]))[0];"
        "i=[x for x in a[\"addr_info\"] if x[\"family\"]==\"inet\"][0];"
        "print(a[\"ifname\"],a[\"address\"],i[\"local\"],r[\"gateway\"],a[\"ifindex\"])'");
    FSF_EXPECT_EQ(child, ours, peer);
    // Without its address nothing is primary any more.
    system("ip addr flush dev kv0");
    primaries = 0;
    for (int i = 0; Platform_GetNetworkAdapter(i, &adapter); i++) primaries += adapter.primary;
    FSF_EXPECT_EQ(child, primaries, 0);
  });
}

TEST(SysInfo, OpenGLVersionFromMesaSoftwareRenderer) {
  FSFAULT_RUN([&](FsFaultChild &child) {
    setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
    char version[kPlatformInfoBytes];
    if (!Platform_GetOpenGLVersion(version, sizeof version)) {
      child.Skip("no surfaceless EGL here (libegl-mesa0)");
      return;
    }
    FSF_EXPECT(child, version[0] != '\0');
    setenv("MESA_GL_VERSION_OVERRIDE", "3.3", 1);
    FSF_EXPECT_EQ(child, Platform_GetOpenGLVersion(version, sizeof version), 1);
    FSF_EXPECT_EQ(child, std::string(version).rfind("3.3", 0), 0u);
  });
}

TEST(SysInfo, ThemeFromGtkTheme) {
  FSFAULT_RUN([&](FsFaultChild &child) {
    setenv("GTK_THEME", "Adwaita:dark", 1);
    char theme[16];
    FSF_EXPECT_EQ(child, Platform_GetTheme(theme, sizeof theme), 1);
    FSF_EXPECT_EQ(child, std::string(theme), std::string("dark"));
  });
}
