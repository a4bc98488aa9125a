// Host look-ups against getent (the same resolver through glibc's own tool)
// and hostname(1).
#include "core/net/socket.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <cstdio>
#include <string>

#include "core/platform/platform.h"
#include "core/runtime/expand.h"
#include "core/runtime/str.h"
#include "tests/fsfault.h"

namespace {

std::string dotted(uint32_t a) {
  return std::to_string(a & 0xff) + "." + std::to_string((a >> 8) & 0xff) + "." +
         std::to_string((a >> 16) & 0xff) + "." + std::to_string(a >> 24);
}

// getent's first IPv4 answer, or "" when it has none.
std::string getent(const std::string &host) {
  return FsFault_Command("getent ahostsv4 '" + host + "' | awk 'NR==1 {print $1}'");
}

}  // namespace

TEST(SocketResolve, AnswersAsGetentDoes) {
  std::string machine = FsFault_Command("hostname");
  struct Case {
    std::string host;
    std::string expected;  // "" : the look-up fails
  } cases[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"10.1.2.3", "10.1.2.3"},
      {"::1", "127.0.0.1"},  // the address parser's one IPv6 form
      {"::2", ""},
      {"localhost", getent("localhost")},
      {machine, getent(machine)},
      {"", getent(machine)},
      {"no-such-host.invalid", ""},
      {std::string(256, 'a'), ""},
  };
  for (const Case &c : cases) {
    SocketAddress address;
    int result = Socket_ResolveHost(&address, c.host.c_str());
    EXPECT_EQ(result, c.expected.empty() ? 0 : 1) << c.host;
    EXPECT_EQ(c.expected.empty() ? std::string("0.0.0.0") : c.expected, dotted(address.address))
        << c.host;
  }
  SocketAddress address;
  EXPECT_EQ(Socket_ResolveHost(&address, "no-such-host.invalid"), 0);
  EXPECT_EQ(Platform_GetLastError(), 11001);
  EXPECT_STREQ(Platform_GetSocketErrorString(11001), "Host not found");
}

TEST(SocketResolve, MachineNameIsHostname) {
  char name[256];
  EXPECT_EQ(Socket_GetMachineName(name, sizeof name), 1);
  EXPECT_EQ(std::string(name), FsFault_Command("hostname"));
  char small[4];
  EXPECT_EQ(Socket_GetMachineName(small, sizeof small), 1);
  EXPECT_EQ(std::string(small), FsFault_Command("hostname").substr(0, 3));
  EXPECT_EQ(Socket_GetMachineName(small, 0), 0);
}

TEST(SocketResolve, UrlTakesHostAndPort) {
  struct Case {
    std::string url;
    int result;
    std::string address;
    int port;
  } cases[] = {
      {"http://127.0.0.1:8080/x", 1, "127.0.0.1", 8080},
      {"https://localhost/", 1, getent("localhost"), 443},
      {"http://" + std::string(300, 'a') + "/", 0, "0.0.0.0", 0},
      {"http://" + std::string(256, 'a') + "/", 0, "0.0.0.0", 0},
  };
  for (const Case &c : cases) {
    SocketAddress address;
    EXPECT_EQ(Socket_ResolveUrl(&address, c.url.c_str()), c.result) << c.url;
    EXPECT_EQ(dotted(address.address), c.address) << c.url;
    EXPECT_EQ(address.port, c.port) << c.url;
  }
}

// The macros through the expander's chain after the network start-up, on
// this machine against the adapter walk and hostname(1).
TEST(SocketMacros, ExpandAfterInit) {
  ASSERT_EQ(Socket_Init(), 1);
  auto expand = [](const char *text) {
    char buffer[kStrExpandOutputBytes];
    Str_Set(buffer, text);
    EXPECT_EQ(Str_Expand(buffer, sizeof buffer, nullptr, nullptr), 1) << text;
    return std::string(buffer);
  };
  NetworkAdapter adapter{}, primary{};
  bool hasPrimary = false;
  for (int i = 0; Platform_GetNetworkAdapter(i, &adapter); ++i) {
    if (adapter.primary && !hasPrimary) {
      primary = adapter;
      hasPrimary = true;
    }
  }
  EXPECT_EQ(expand("{MachineName}"), FsFault_Command("hostname"));
  EXPECT_EQ(expand("{intranetip}"), hasPrimary ? dotted(primary.address) : std::string());
  if (hasPrimary) {
    char mac[32];
    snprintf(mac, sizeof mac, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", primary.mac[0], primary.mac[1],
             primary.mac[2], primary.mac[3], primary.mac[4], primary.mac[5]);
    EXPECT_EQ(expand("{MACAddress}"), mac);
  }
  EXPECT_EQ(expand("{UrlParse:port,http://h:81/}"), "81");
}

// In a network namespace of its own the machine has only a loopback adapter,
// which is never primary: no intranet address, a zero MAC.
TEST(SocketMacros, EmptyNetworkNamespace) {
  FSFAULT_RUN([](FsFaultChild &child) {
    if (unshare(CLONE_NEWNET) != 0) {
      child.Skip("a new network namespace was refused");
      return;
    }
    Socket_Init();
    char buffer[kStrExpandOutputBytes];
    Str_Set(buffer, "[{MACAddress}][{IntranetIP}]");
    FSF_EXPECT(child, Str_Expand(buffer, sizeof buffer, nullptr, nullptr) == 1);
    FSF_EXPECT_EQ(child, std::string(buffer), std::string("[00:00:00:00:00:00][]"));
  });
}
