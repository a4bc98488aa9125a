// The synchronous Socket against a Python UDP echo peer on 127.0.0.1, and the
// sliced wait counted through the poll hook, and a DNS query to dnsmasq.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/net/dns.h"
#include "core/net/socket.h"
#include "core/platform/meter.h"
#include "tests/fsfault.h"
#include "tests/loopback_port.h"
#include "tests/test_util.h"

namespace {

std::vector<int> gSlices;
void recordSlice(int timeoutMs) { gSlices.push_back(timeoutMs); }

// A Python UDP peer on a free port that answers every datagram with the
// same bytes; it ends itself after 60 s at the latest.
class EchoPeer {
 public:
  EchoPeer() : dir_() {
    std::string portFile = dir_ / "port";
    pid_ = fork();
    if (pid_ == 0) {
      const char *script =
          "import socket,sys,signal\n"
          "signal.alarm(60)\n"
          "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
          "s.bind(('127.0.0.1',0))\n"
          "open(sys.argv[1]+'.tmp','w').write(str(s.getsockname()[1]))\n"
          "import os; os.rename(sys.argv[1]+'.tmp',sys.argv[1])\n"
          "while True:\n"
          "  d,a=s.recvfrom(65536)\n"
          "  s.sendto(d,a)\n";
      execl("/usr/bin/python3", "python3", "-c", script, portFile.c_str(), (char *)nullptr);
      _exit(127);
    }
    Test_WaitUntil([&] { return access(portFile.c_str(), F_OK) == 0; }, 20000);
    std::ifstream(portFile) >> port_;
  }
  ~EchoPeer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  FsFaultTempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

struct SocketScope {
  Socket *s = nullptr;
  SocketScope() {
    Meter_Init();
    Socket_Create(&s);
  }
  ~SocketScope() {
    Socket_SetDnsPortForTest(0);
    Socket_Release(&s);
    Meter_Shutdown();
  }
};

SocketAddress loopback() {
  SocketAddress address;
  Socket_ResolveHost(&address, "127.0.0.1");
  return address;
}

}  // namespace

TEST(SocketWait, PollsInSecondSlices) {
  SocketScope scope;
  ASSERT_EQ(Socket_Open(scope.s), 1);
  struct Case {
    int timeoutMs;
    std::vector<int> slices;
  } cases[] = {{2500, {1000, 1000, 500}}, {0, {0}}, {-5, {0}}, {1000, {1000}}};
  for (const Case &c : cases) {
    SocketWaitSet set;
    SocketWaitSet_Clear(&set);
    ASSERT_EQ(SocketWaitSet_Add(&set, scope.s), 1);
    gSlices.clear();
    Socket_SetPollHookForTest(recordSlice);
    int count = -1;
    EXPECT_EQ(Socket_Wait("Read", &set, nullptr, nullptr, nullptr, c.timeoutMs, &count), 1);
    Socket_SetPollHookForTest(nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(gSlices, c.slices) << c.timeoutMs;
  }
  // A wait with no used set returns at once.
  int count = -1;
  EXPECT_EQ(Socket_Wait("Read", nullptr, nullptr, nullptr, nullptr, 1000, &count), 1);
  EXPECT_EQ(count, 0);
}

// A TCP connect to a listener whose accept queue is full gets no answer: the
// wait runs its slices and times out with 1460, or ends on a cancel.
TEST(SocketWait, ConnectTimesOutInSlicesOrEndsOnCancel) {
  SocketScope scope;
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof at;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  getsockname(listener, reinterpret_cast<sockaddr *>(&at), &length);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    connect(fillers.back(), reinterpret_cast<sockaddr *>(&at), sizeof at);
  }
  Socket_SetDnsPortForTest(ntohs(at.sin_port));
  SocketAddress address = loopback();
  Socket *s = scope.s;
  s->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // the owner's handle
  s->connectTimeoutMs = 1500;
  gSlices.clear();
  Socket_SetPollHookForTest(recordSlice);
  EXPECT_EQ(Socket_Connect(s, &address), 0);
  Socket_SetPollHookForTest(nullptr);
  EXPECT_EQ(gSlices, (std::vector<int>{1000, 500}));
  EXPECT_EQ(s->lastError, kSocketErrorTimeout);

  Socket_Close(s);
  s->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  s->connectTimeoutMs = 300000;
  std::thread canceller([s] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    s->cancel.store(1);
  });
  EXPECT_EQ(Socket_Connect(s, &address), 0);
  canceller.join();
  EXPECT_EQ(s->cancel.load(), 0);
  EXPECT_EQ(s->lastError, 0);
  for (int fd : fillers) close(fd);
  close(listener);
}

TEST(SocketUdp, ExchangesWithEchoPeer) {
  EchoPeer peer;
  ASSERT_GT(peer.port(), 0);
  SocketScope scope;
  Socket *s = scope.s;
  EXPECT_EQ(Socket_IsOpen(s), 0);
  ASSERT_EQ(Socket_Open(s), 1);
  int fd = s->fd;
  EXPECT_EQ(Socket_Open(s), 1);  // already open: unchanged
  EXPECT_EQ(s->fd, fd);
  EXPECT_EQ(s->type, 2);
  Socket_SetDnsPortForTest(peer.port());
  SocketAddress address = loopback();
  ASSERT_EQ(Socket_Connect(s, &address), 1);
  EXPECT_EQ(s->remotePort, peer.port());
  s->readTimeoutMs = 20000;

  int written = 0;
  ASSERT_EQ(Stream_Write(&s->stream, "0123456789abcdef", 16, &written), 1);
  EXPECT_EQ(written, 16);
  // A peek leaves the bytes for the read, which takes them without a receive.
  char peeked[10], read[10];
  int got = 0;
  ASSERT_EQ(Socket_Peek(s, peeked, 10, &got), 1);
  ASSERT_EQ(got, 10);
  EXPECT_EQ(std::string(peeked, 10), "0123456789");
  // A read set whose member holds read-ahead bytes answers at once.
  SocketWaitSet set;
  SocketWaitSet_Clear(&set);
  SocketWaitSet_Add(&set, s);
  gSlices.clear();
  Socket_SetPollHookForTest(recordSlice);
  int count = 0;
  EXPECT_EQ(Socket_Wait("Read", &set, nullptr, nullptr, nullptr, 300000, &count), 1);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(SocketWaitSet_IsSet(&set, s), 1);
  ASSERT_EQ(Socket_Read(s, read, 10, &got), 1);
  Socket_SetPollHookForTest(nullptr);
  EXPECT_TRUE(gSlices.empty());
  EXPECT_EQ(got, 10);
  EXPECT_EQ(std::string(read, 10), "0123456789");

  // A cancel from another thread ends a long read within a second or so.
  s->readTimeoutMs = 300000;
  std::thread canceller([s] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    s->cancel.store(1);
  });
  char none[4];
  EXPECT_EQ(Socket_Read(s, none, sizeof none, &got), 0);
  canceller.join();
  EXPECT_EQ(s->cancel.load(), 0);
  // Non-blocking: nothing waiting reads as 1 with no bytes.
  ASSERT_EQ(Socket_SetBlocking(s, 0), 1);
  EXPECT_EQ(Socket_Read(s, none, sizeof none, &got), 1);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(s->lastError, 10035);

  EXPECT_EQ(Socket_Close(s), 1);
  EXPECT_EQ(Socket_IsOpen(s), 0);
  EXPECT_EQ(Socket_Close(s), 1);
}

// A port of 127.0.0.1 free for UDP and TCP (dnsmasq binds both), drawn
// below the kernel's range for the local ports of outgoing connections: a
// port from that range could be taken by another test's connection before
// dnsmasq binds it. 0 when none was found.
static int freeDnsPort() {
  for (int attempt = 0; attempt < 50; attempt++) {
    int port = Test_FreeLoopbackPort();
    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at = Test_LoopbackAddress(port);
    bool free = port > 0 && bind(probe, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0;
    close(probe);
    if (free) return port;
  }
  return 0;
}

// A DNS query for the WPAD host through a UDP Socket to dnsmasq on a free
// port; the answer's A record equals dig's.
TEST(SocketUdp, DnsQueryToDnsmasq) {
  if (access("/usr/sbin/dnsmasq", X_OK) != 0 || access("/usr/bin/dig", X_OK) != 0)
    GTEST_SKIP() << "needs dnsmasq-base and bind9-dnsutils";
  SocketScope scope;
  Socket *s = scope.s;
  ASSERT_EQ(Socket_Open(s), 1);
  // dnsmasq listens on UDP and TCP of its port, and a port free for UDP may
  // be held over TCP by a test running beside this one: a start that fails
  // (dnsmasq exits) is tried again on another port.
  FsFaultTempDir dir;
  std::string pidFile = dir / "dnsmasq.pid";
  std::string expected;
  int port = 0;
  pid_t pid = -1;
  for (int attempt = 0; attempt < 5 && expected.empty(); attempt++) {
    port = freeDnsPort();
    ASSERT_GT(port, 0) << "no port free for UDP and TCP";
    std::string portText = std::to_string(port);
    pid = fork();
    if (pid == 0) {
      std::string portArg = "--port=" + portText, pidArg = "--pid-file=" + pidFile;
      execl("/usr/sbin/dnsmasq", "dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null",
            "--no-resolv", "--no-hosts", "--listen-address=127.0.0.1", "--bind-interfaces",
            portArg.c_str(), pidArg.c_str(), "--address=/wpad.test.lan/127.0.0.1",
            (char *)nullptr);
      _exit(127);
    }
    std::string dig = "dig @127.0.0.1 -p " + portText + " wpad.test.lan +short +time=1 +tries=1";
    bool exited = false;
    Test_WaitUntil([&] {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return exited = true;
      std::string answer = FsFault_Command(dig);
      if (answer.empty() || answer.find(';') != std::string::npos) return false;
      expected = answer;
      return true;
    }, 10000);
    if (exited) pid = -1;
  }
  ASSERT_GT(pid, 0) << "dnsmasq never started";
  EXPECT_EQ(expected, "127.0.0.1");

  Socket_SetDnsPortForTest(port);
  SocketAddress server = loopback();
  ASSERT_EQ(Socket_Connect(s, &server), 1);
  DnsMessage *query = nullptr;
  DnsMessage_Create(&query);
  query->head.rd = 1;
  DnsMessage_AddQuestion(query, "wpad.test.lan", kDnsTypeA, 1);
  uint8_t wire[kDnsMessageBytes];
  int wireLength = 0;
  ASSERT_EQ(DnsMessage_Encode(query, wire, sizeof wire, &wireLength), 1);
  int written = 0;
  ASSERT_EQ(Socket_Write(s, wire, wireLength, &written), 1);
  EXPECT_EQ(written, wireLength);
  s->readTimeoutMs = 10000;
  int got = 0;
  ASSERT_EQ(Socket_Read(s, wire, sizeof wire, &got), 1);
  DnsMessage *answer = nullptr;
  DnsMessage_Create(&answer);
  ASSERT_EQ(DnsMessage_Decode(answer, wire, got), 1);
  ASSERT_EQ(answer->answers.count, 1);
  char text[64];
  Dns_FormatRecord(text, sizeof text, answer->answers.head->type, answer->answers.head->data,
                   answer->answers.head->dataLength);
  EXPECT_EQ(std::string(text), expected);
  DnsMessage_Release(&answer);
  DnsMessage_Release(&query);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}
