// Host look-ups against getent (the same resolver through glibc's own tool)
// and hostname(1).
#include "core/net/socket.h"

#include <gtest/gtest.h>

#include <string>

#include "core/platform/platform.h"
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
