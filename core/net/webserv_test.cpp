// WebServer against real peers on 127.0.0.1: curl, wget and Python's
// http.client and raw sockets (tests/webserv_client.py) talk to the static
// owner (tests/static_owner.h), and nginx serving the same directory is the
// oracle for ranges. The request-text checks run without a socket.
#include "core/net/webserv.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/net/asyncsocket.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/thread.h"
#include "core/runtime/mime.h"
#include "tests/fd_stream.h"
#include "tests/log_capture.h"
#include "tests/loopback_port.h"
#include "tests/pumped_peer.h"
#include "tests/static_owner.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"
#include "tests/webserver_fixture.h"

namespace {

constexpr int kBoundMs = 30000;

// The raw client: sends argv[2] (Python escapes) to 127.0.0.1:argv[1],
// optionally one byte every --drip seconds, then prints "closed" or
// "timeout" on the first line and what came back until the server closed.
constexpr const char *kRawClient = R"(import socket
import sys
import time


def main():
    port = int(sys.argv[1])
    request = sys.argv[2].encode('latin-1').decode('unicode_escape').encode('latin-1')
    drip = 0.0
    timeout = 10.0
    args = sys.argv[3:]
    while args:
        if args[0] == '--drip':
            drip = float(args[1])
        elif args[0] == '--timeout':
            timeout = float(args[1])
        args = args[2:]
    sock = socket.create_connection(('127.0.0.1', port), timeout=timeout)
    deadline = time.monotonic() + timeout
    state = 'closed'
    try:
        if drip > 0:
            for i in range(len(request)):
                sock.sendall(request[i:i + 1])
                time.sleep(drip)
                if time.monotonic() > deadline:
                    break
        else:
            sock.sendall(request)
    except OSError:
        pass  # the server may drop us while we are still sending
    received = b''
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            state = 'timeout'
            break
        sock.settimeout(left)
        try:
            data = sock.recv(65536)
        except socket.timeout:
            state = 'timeout'
            break
        except OSError:
            break
        if not data:
            break
        received += data
    sys.stdout.buffer.write(state.encode() + b'\n' + received)


main()
)";

std::string fileBytes(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; i++) data[i] = char('a' + (i * 7 + i / 26) % 26);
  return data;
}

void writeFile(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

int plainListener(int *port) { return Test_LoopbackListener(port); }
int freePort() { return Test_FreeLoopbackPort(); }

// nginx serving root on a free port of 127.0.0.1, one worker.
struct Nginx {
  std::string dir;
  int port = 0;
  bool up = false;
  Nginx(const std::string &root, const std::string &scratch) : dir(scratch) {
    if (access("/usr/sbin/nginx", X_OK) != 0) return;
    port = freePort();
    std::string conf = dir + "/nginx.conf";
    std::string text = std::string(geteuid() == 0 ? "user root;\n" : "") +
                       "worker_processes 1;\npid " + dir + "/nginx.pid;\nerror_log " + dir +
                       "/error.log;\nevents { worker_connections 256; }\nhttp {\n"
                       " access_log off;\n client_body_temp_path " + dir + ";\n"
                       " proxy_temp_path " + dir + ";\n fastcgi_temp_path " + dir + ";\n"
                       " uwsgi_temp_path " + dir + ";\n scgi_temp_path " + dir + ";\n"
                       " server { listen 127.0.0.1:" + std::to_string(port) + ";\n"
                       "  root " + root + "; }\n}\n";
    writeFile(conf, text);
    int status = 0;
    Test_RunCommand("/usr/sbin/nginx -c " + conf + " -p " + dir + " 2>&1", &status);
    up = status == 0 && Test_WaitUntil([&] {
      int s = 0;
      Test_RunCommand("curl -s -o /dev/null --max-time 2 http://127.0.0.1:" +
                          std::to_string(port) + "/",
                      &s);
      return s == 0;
    }, kBoundMs);
  }
  ~Nginx() {
    std::string pid = Test_ReadFile(dir + "/nginx.pid");
    pid_t master = atoi(pid.c_str());
    if (master <= 0) return;
    kill(master, SIGTERM);
    Test_WaitUntil([&] { return kill(master, 0) != 0; }, kBoundMs);  // it removes its files
  }
};

class WebServerTest : public WebServerFixture {
 protected:
  StaticOwner owner;

  void SetUp() override {
    WebServerFixture::SetUp();
    mkdir((www + "/a").c_str(), 0755);
    writeFile(www + "/k.bin", fileBytes(1000));
    writeFile(www + "/default.htm", "<p>home</p>");
    writeFile(scratch + "/secret", "do not serve");
    writeFile(scratch + "/client.py", kRawClient);
    owner.root = www;
    WebServer_SetIdleTimeout(server, 10);
  }

  // Starts pumped (or threaded) and pumps until the server listens.
  void Start(bool threaded = false) {
    StaticOwner_Attach(&owner, server);
    WebServer_SetThreaded(server, threaded ? 1 : 0);
    Listen();
  }

  std::string Url(const std::string &path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }

  // webserv_client.py: "closed\n<bytes>" or "timeout\n<bytes>".
  std::string Raw(const std::string &request, const std::string &options = "") {
    return Peer("/usr/bin/python3 " + scratch + "/client.py " +
                std::to_string(port) + " '" + request + "' " + options);
  }
};

class WebServerPeer : public WebServerTest {
 protected:
  // Starts the server with no idle time-out, counting the connections it
  // opens in *opened.
  void StartCountingOpens(int *opened) {
    WebServer_SetOpenCallback(server, opened, [](WebServer *, void *context, WebServerConnection *) {
      ++*static_cast<int *>(context);
      return 1;
    });
    WebServer_SetIdleTimeout(server, 0);
    Start();
  }
};
class WebServerThreaded : public WebServerTest {};

std::string statusOf(const std::string &raw) {
  size_t at = raw.find("HTTP/1.1 ");
  return at == std::string::npos ? "" : raw.substr(at + 9, 3);
}

}  // namespace

// ---- Request text without a socket ----------------------------------------------------

TEST(WebServerText, RangesOnAThousandByteResource) {
  struct Case {
    const char *value;
    int result;
    int64_t start, end;
  } cases[] = {
      {"bytes=100-", 1, 100, 999},      {"bytes=100-199", 1, 100, 199},
      {"bytes=100-50", 0, 0, 0},        {"bytes=1001-", 0, 0, 0},
      {"bytes=1000-", 0, 0, 0},         {"bytes=999-999", 1, 999, 999},
      {"bytes=0-0", 1, 0, 0},           {"bytes=-500", 1, 500, 999},
      {"bytes=-5000", 1, 0, 999},       {"bytes=-0", 0, 0, 0},
      {"bytes=500-5000", 1, 500, 999},  {"items=0-10", 0, 0, 0},
      {"bytes=+5-10", 0, 0, 0},         {"bytes=0x10-20", 0, 0, 0},
      {"bytes 0-10", 0, 0, 0},          {"BYTES=0-9,20-29", 1, 0, 9},
      {"bytes=5", 0, 0, 0},             {"bytes=99999999999999999999-", 0, 0, 0},
  };
  for (const Case &c : cases) {
    int64_t start = -7, end = -7;
    int result = WebServer_ParseRange(c.value, 1000, &start, &end);
    EXPECT_EQ(result, c.result) << c.value;
    if (result == 1 && c.result == 1) {
      EXPECT_EQ(start, c.start) << c.value;
      EXPECT_EQ(end, c.end) << c.value;
    }
  }
}

TEST(WebServerText, PathsAreDecodedCollapsedOrRefused) {
  struct Case {
    const char *target;
    const char *path;  // NULL: refused
  } cases[] = {
      {"/", "/default.htm"},
      {"/a//b/./c.txt?x=/../", "/a/b/c.txt"},
      {"/a%20b.txt", "/a b.txt"},
      {"/a/", "/a/"},
      {"/../secret", nullptr},
      {"/%2e%2e/secret", nullptr},
      {"/a/%2E%2E/%2e%2e/etc/passwd", nullptr},
      {"/..%5csecret", nullptr},
      {"/a%5cb", nullptr},
      {"/a%00.txt", nullptr},
      {"/a%0d%0aX: y", nullptr},
      {"/a/..", nullptr},
      {"a.txt", nullptr},
      {"http://127.0.0.1/a", nullptr},
  };
  for (const Case &c : cases) {
    char out[kWebServerPathBytes];
    int result = WebServer_DecodePath(c.target, "default.htm", out, sizeof out);
    EXPECT_EQ(result, c.path != nullptr ? 1 : 0) << c.target;
    if (c.path != nullptr) {
      EXPECT_STREQ(out, c.path) << c.target;
    }
  }
  std::string tooLong = "/" + std::string(kWebServerPathBytes, 'x');
  char out[kWebServerPathBytes];
  EXPECT_EQ(WebServer_DecodePath(tooLong.c_str(), nullptr, out, sizeof out), 0);
}

TEST(WebServerText, HostOriginAndFramingChecks) {
  struct Case {
    const char *headers;  // after "GET /x HTTP/1.1\r\n"
    int32_t status;
  } cases[] = {
      {"Host: 127.0.0.1:8080\r\n", 0},
      {"Host: 127.0.0.1:8080\r\nOrigin: http://127.0.0.1:8080\r\n", 0},
      // Bound to 127.0.0.1 only: "localhost" may be another user's ::1.
      {"Host: localhost:8080\r\n", 403},
      {"Host: LOCALHOST:8080\r\n", 403},
      {"Host: [::1]:8080\r\n", 403},
      {"Host: 127.0.0.1:8080\r\nOrigin: http://localhost:8080\r\n", 403},
      {"Host: 127.0.0.1:8080\r\nOrigin: http://[::1]:8080\r\n", 403},
      {"", 400},
      {"Host: 127.0.0.1:8080\r\nHost: 127.0.0.1:8080\r\n", 400},
      {"Host: evil.test\r\n", 403},
      {"Host: 127.0.0.1\r\n", 403},
      {"Host: 127.0.0.1:8081\r\n", 403},
      {"Host: 127.0.0.1:8080\r\nOrigin: http://evil.test\r\n", 403},
      {"Host: 127.0.0.1:8080\r\nOrigin: null\r\n", 403},
      {"Host: 127.0.0.1:8080\r\nContent-Length: -5\r\n", 400},
      {"Host: 127.0.0.1:8080\r\nContent-Length: 0x10\r\n", 400},
      {"Host: 127.0.0.1:8080\r\nContent-Length: +3\r\n", 400},
      {"Host: 127.0.0.1:8080\r\nContent-Length: 3\r\nContent-Length: 4\r\n", 400},
      {"Host: 127.0.0.1:8080\r\nContent-Length: 3\r\nContent-Length: 3\r\n", 0},
      {"Host: 127.0.0.1:8080\r\nContent-Length: 1234567890123456789\r\n", 400},
      {"Host: 127.0.0.1:8080\r\nTransfer-Encoding: chunked\r\n", 501},
  };
  for (const Case &c : cases) {
    std::string block = std::string("GET /x HTTP/1.1\r\n") + c.headers + "\r\n";
    WebServerRequestInfo info;
    EXPECT_EQ(WebServer_CheckRequest(block.data(), int32_t(block.size()), 8080, "default.htm",
                                     &info),
              c.status)
        << c.headers;
  }
  std::string bare = "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  WebServerRequestInfo info;
  EXPECT_EQ(WebServer_CheckRequest(bare.data(), int32_t(bare.size()), 80, nullptr, &info), 0);
  std::string malformed = "GET /x\r\nHost: localhost\r\n\r\n";
  WebServer_CheckRequest(malformed.data(), int32_t(malformed.size()), 80, nullptr, &info);
  EXPECT_EQ(info.malformed, 1);
}

// ---- curl, wget, http.client and nginx ------------------------------------------------

TEST_F(WebServerPeer, CurlRangesMatchNginx) {
  Nginx nginx(www, scratch);
  if (!nginx.up) GTEST_SKIP() << "nginx is not available";
  Start();
  // Status and Content-Range of every answer (416 too); the body of every
  // 206 (nginx's 416 body is its own error page).
  auto contentRange = [](const std::string &headers) {
    size_t at = headers.find("Content-Range: ");
    return at == std::string::npos ? std::string()
                                   : headers.substr(at, headers.find("\r\n", at) - at);
  };
  for (const char *range : {"100-", "100-199", "-500", "0-0", "999-999", "1000-", "5000-"}) {
    std::string ours = scratch + "/ours", theirs = scratch + "/theirs";
    std::string opts = std::string(" -s --max-time 10 -r ") + range + " -w '%{http_code}' -D ";
    std::string ourStatus =
        Peer("curl" + opts + ours + ".h -o " + ours + " " + Url("/k.bin"));
    int status = 0;
    std::string theirStatus =
        Test_RunCommand("curl" + opts + theirs + ".h -o " + theirs + " http://127.0.0.1:" +
                            std::to_string(nginx.port) + "/k.bin",
                        &status);
    EXPECT_EQ(ourStatus, theirStatus) << range;
    EXPECT_EQ(contentRange(Test_ReadFile(ours + ".h")), contentRange(Test_ReadFile(theirs + ".h")))
        << range;
    if (theirStatus == "206") {
      EXPECT_EQ(Test_ReadFile(ours), Test_ReadFile(theirs)) << range;
    }
  }
}

TEST_F(WebServerPeer, CurlAnswersFilesPostsAndRefusals) {
  owner.echoPost = true;
  Start();
  // http.client, wget and curl --http1.0 get the file whole.
  std::string body = fileBytes(1000);
  std::string py = Peer("/usr/bin/python3 -c 'import http.client,sys; "
                        "c=http.client.HTTPConnection(\"127.0.0.1\"," +
                        std::to_string(port) +
                        ",timeout=10); c.request(\"GET\",\"/k.bin\"); r=c.getresponse(); "
                        "sys.stdout.write(str(r.status)+r.getheader(\"Content-Type\")+"
                        "r.read().decode())'");
  EXPECT_EQ(py, "200application/octet-stream" + body);
  EXPECT_EQ(Peer("wget -q -T 10 -O - " + Url("/")), "<p>home</p>");
  EXPECT_EQ(Peer("curl -s --max-time 10 --http1.0 " + Url("/k.bin")), body);
  // Three times the outbound buffer: the body waits for room twice or more.
  std::string big = fileBytes(size_t(3) << 20);
  writeFile(www + "/big.bin", big);
  EXPECT_TRUE(Peer("curl -s --max-time 10 " + Url("/big.bin")) == big);
  EXPECT_EQ(Peer("curl -s --max-time 10 -o /dev/null -w '%{http_code}' " + Url("/none")), "404");
  EXPECT_EQ(Peer("curl -s --max-time 10 --data 'hello=world' " + Url("/echo")), "hello=world");
  std::string chunked = Peer("curl -s --max-time 10 -i -H 'Transfer-Encoding: chunked' "
                             "--data 'x' " + Url("/echo"));
  EXPECT_EQ(statusOf(chunked), "501");
  EXPECT_NE(chunked.find("Content-Length: 0\r\n"), std::string::npos);
  EXPECT_NE(chunked.find("Connection: close\r\n"), std::string::npos);
  // Host, Origin and the path checks.
  auto code = [&](const std::string &args) {
    return Peer("curl -s --max-time 10 -o /dev/null -w '%{http_code}' " + args);
  };
  EXPECT_EQ(code("-H 'Host: evil.test' " + Url("/k.bin")), "403");
  EXPECT_EQ(code("-H 'Origin: http://evil.test' " + Url("/k.bin")), "403");
  EXPECT_EQ(code("-H 'Origin: http://127.0.0.1:" + std::to_string(port) + "' " + Url("/k.bin")),
            "200");
  EXPECT_EQ(code("-H 'Origin: http://localhost:" + std::to_string(port) + "' " + Url("/k.bin")),
            "403");
  EXPECT_EQ(code("-H 'Host: localhost:" + std::to_string(port) + "' " + Url("/k.bin")), "403");
  for (const char *path : {"/../secret", "/%2e%2e/secret", "/..%5csecret", "/a%00.txt",
                           "/a/%2e%2e/%2e%2e/etc/passwd"})
    EXPECT_EQ(code("--path-as-is " + Url(path)), "400") << path;
  std::string two = Raw("GET /k.bin HTTP/1.1\\r\\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\\r\\nHost: 127.0.0.1:" + std::to_string(port) + "\\r\\n\\r\\n");
  EXPECT_EQ(statusOf(two), "400");
  int status = 0;
  std::string listening = Test_RunCommand("ss -ltnH 'sport = :" + std::to_string(port) + "'",
                                          &status);
  EXPECT_NE(listening.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << listening;
  EXPECT_EQ(Test_CountOf(listening, "LISTEN"), 1u) << listening;
}

TEST_F(WebServerPeer, WithoutKeepAliveEveryAnswerCloses) {
  Start();
  std::string headers = Peer("curl -s --max-time 10 -D - -o /dev/null -H 'Connection: Keep-Alive' " +
                             Url("/k.bin") + " " + Url("/default.htm") + " " + Url("/none"));
  EXPECT_EQ(Test_CountOf(headers, "Connection: close\r\n"), 3u) << headers;
  EXPECT_EQ(Test_CountOf(headers, "Date: "), 3u);
  EXPECT_NE(headers.find(" GMT\r\n"), std::string::npos);
}

TEST_F(WebServerPeer, DateIsUtcInAnyLocalZone) {
  const char *saved = getenv("TZ");
  std::string zone = saved != nullptr ? saved : "";
  setenv("TZ", "XST-5:30", 1);
  tzset();
  Start();
  std::string headers = Peer("curl -s --max-time 10 -D - -o /dev/null " + Url("/k.bin"));
  time_t now = time(nullptr);
  if (saved != nullptr)
    setenv("TZ", zone.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  size_t at = headers.find("Date: ");
  ASSERT_NE(at, std::string::npos) << headers;
  tm fields{};
  ASSERT_NE(strptime(headers.c_str() + at + 6, "%a, %d %b %Y %H:%M:%S GMT", &fields), nullptr)
      << headers;
  EXPECT_LE(std::llabs(static_cast<long long>(timegm(&fields) - now)), 60) << headers;
}

// ---- Raw sockets ----------------------------------------------------------------------

// A client that sends a request the server refuses (no Host) and then holds
// its end open, so the server lingers on it; *localPort names it in the log.
static int lingeringClient(int port, int *localPort) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  at.sin_port = htons(uint16_t(port));
  if (connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) return fd;
  const char request[] = "GET / HTTP/1.1\r\n\r\n";
  send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
  socklen_t length = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr *>(&at), &length);
  *localPort = ntohs(at.sin_port);
  return fd;
}

TEST_F(WebServerPeer, EachLingererClosesOnItsOwnTime) {
  std::vector<std::string> lines;
  WebServer_SetLogCallback(server, &lines, [](void *context, const char *line) {
    static_cast<std::vector<std::string> *>(context)->push_back(line);
  });
  // A linger a second long: a pump held up by a busy machine still sees
  // several lingerers arrive within the first one's, and the last one's
  // not yet over when the first one's is.
  WebServer_SetLingerTimeForTest(server, 1.0);
  Start();
  auto forced = [&](int localPort) {
    std::string mark = ":" + std::to_string(localPort) + "] - Forcing connection close";
    for (const std::string &line : lines)
      if (line.find(mark) != std::string::npos) return true;
    return false;
  };
  std::vector<std::pair<int, int>> clients;  // descriptor, local port
  auto arrive = [&] {
    int local = 0;
    clients.emplace_back(lingeringClient(port, &local), local);
  };
  arrive();
  // A new lingerer every 50 ms: the first still closes on its own time.
  auto last = std::chrono::steady_clock::now();
  EXPECT_TRUE(Pump([&] {
    if (forced(clients.front().second)) return true;
    auto now = std::chrono::steady_clock::now();
    if (now - last >= std::chrono::milliseconds(50) && clients.size() < 300) {
      arrive();
      last = now;
    }
    return false;
  }, 10000));
  EXPECT_GE(clients.size(), 4u);
  EXPECT_FALSE(forced(clients.back().second));
  for (const auto &client : clients) close(client.first);
  WebServer_SetLogCallback(server, nullptr, nullptr);  // lines ends before the server
}

// A client that connects and sends nothing.
static int idleClient(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = Test_LoopbackAddress(port);
  connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at);
  return fd;
}

// The server has closed the client's connection (end of stream or reset).
static bool closedByServer(int fd) {
  char byte;
  ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// A flood of idle connections cannot starve a real request: each connection
// past the cap closes the idle one that waited longest.
TEST_F(WebServerPeer, ConnectionsPastTheCapCloseTheOldestIdle) {
  int opened = 0;
  StartCountingOpens(&opened);
  constexpr int kExtra = 4;
  std::vector<int> idle;
  for (int i = 0; i < kWebServerMaxConnections + kExtra; i++) {
    idle.push_back(idleClient(port));
    ASSERT_TRUE(Pump([&] { return opened == i + 1; }));  // one at a time: a known age order
  }
  auto closedCount = [&] {
    int n = 0;
    for (int fd : idle) n += closedByServer(fd);
    return n;
  };
  EXPECT_TRUE(Pump([&] { return closedCount() >= kExtra; }));
  for (int i = 0; i < int(idle.size()); i++)
    EXPECT_EQ(closedByServer(idle[size_t(i)]), i < kExtra) << i;
  std::string answer = Raw("GET /k.bin HTTP/1.1\\r\\nHost: 127.0.0.1:" + std::to_string(port) +
                           "\\r\\n\\r\\n");
  EXPECT_EQ(statusOf(answer), "200") << answer;
  EXPECT_TRUE(Pump([&] { return closedByServer(idle[kExtra]); }));
  for (int fd : idle) close(fd);
}

// Every connection holds half a request when one more arrives: none of them
// is closed for room, the new one waits.
TEST_F(WebServerPeer, HalfRequestsAreNotClosedForRoom) {
  std::vector<std::string> lines;
  WebServer_SetLogCallback(server, &lines, [](void *context, const char *line) {
    static_cast<std::vector<std::string> *>(context)->push_back(line);
  });
  int opened = 0;
  StartCountingOpens(&opened);
  const std::string request = "GET /k.bin HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\n\r\n";
  std::vector<int> halves;
  for (int i = 0; i < kWebServerMaxConnections; i++) {
    halves.push_back(idleClient(port));
    send(halves.back(), request.data(), request.size() / 2, MSG_NOSIGNAL);
    ASSERT_TRUE(Pump([&] { return opened == i + 1; }));
  }
  int extra = idleClient(port);
  auto waits = [&] {
    for (const std::string &line : lines)
      if (line.find("waiting for room") != std::string::npos) return true;
    return false;
  };
  auto anyClosed = [&] {
    for (int fd : halves)
      if (closedByServer(fd)) return true;
    return false;
  };
  EXPECT_TRUE(Pump([&] { return waits() || anyClosed(); }));
  EXPECT_FALSE(anyClosed());
  close(extra);
  for (int fd : halves) close(fd);
  WebServer_SetLogCallback(server, nullptr, nullptr);  // lines ends before the server
}

// 100 clients at once, 10,000 requests in all, each with "Connection:
// close" and each reading its answer to the server's close: past the
// connection cap, connections whose request is arriving or being answered
// are never closed for room; none is lost.
TEST_F(WebServerPeer, HundredClientsClosingEveryAnswerLoseNone) {
  Start();
  constexpr int kClients = 100, kEach = 100;
  const std::string request = "GET /k.bin HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nConnection: close\r\n\r\n";
  const std::string body = fileBytes(1000);
  std::atomic<int> done{0}, lost{0};
  std::string firstLoss;
  std::mutex lossLock;
  auto client = [&] {
    for (int i = 0; i < kEach; i++) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      timeval bound{10, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
      sockaddr_in at = Test_LoopbackAddress(port);
      std::string answer;
      std::string failure;
      if (connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        failure = "connect: " + std::string(strerror(errno));
      } else if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                 ssize_t(request.size())) {
        failure = "send: " + std::string(strerror(errno));
      } else {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, size_t(got));
        if (got < 0) failure = "recv: " + std::string(strerror(errno));
      }
      close(fd);
      size_t end = answer.find("\r\n\r\n");
      if (failure.empty() && (answer.compare(0, 12, "HTTP/1.1 200") != 0 ||
                              end == std::string::npos || answer.substr(end + 4) != body))
        failure = "answer of " + std::to_string(answer.size()) + " bytes";
      if (!failure.empty()) {
        std::lock_guard<std::mutex> guard(lossLock);
        if (lost++ == 0) firstLoss = failure;
      }
    }
    done++;
  };
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; i++) clients.emplace_back(client);
  EXPECT_TRUE(Pump([&] { return done.load() == kClients; }, 120000));
  for (std::thread &t : clients) t.join();
  EXPECT_EQ(lost.load(), 0) << firstLoss;
}

TEST_F(WebServerPeer, OversizedAndDrippedHeadersAreDropped) {
  WebServer_SetIdleTimeout(server, 1);
  Start();
  TestLogCapture capture;
  std::string big = Raw("GET / HTTP/1.1\\r\\nX: " + std::string(8200, 'a'));
  EXPECT_EQ(big, "closed\n");
  std::string drip = Raw("GET / HTTP/1.1\\r\\nHost: x\\r\\n", "--drip 0.6 --timeout 15");
  EXPECT_EQ(drip, "closed\n");
  std::string log = capture.Take();
  EXPECT_NE(log.find("Header too large"), std::string::npos);
  EXPECT_NE(log.find("Timeout ["), std::string::npos);
}

TEST_F(WebServerPeer, BadLengthsGet400) {
  Start();
  std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\\r\\n";
  for (const char *length : {"-5", "0x10", "+3"}) {
    std::string answer = Raw("POST /k.bin HTTP/1.1\\r\\n" + host + "Content-Length: " + length +
                             "\\r\\n\\r\\nabc");
    EXPECT_EQ(statusOf(answer), "400") << length;
    EXPECT_EQ(answer.rfind("closed\n", 0), 0u) << length;
  }
  std::string two = Raw("POST /k.bin HTTP/1.1\\r\\n" + host +
                        "Content-Length: 3\\r\\nContent-Length: 4\\r\\n\\r\\nabcd");
  EXPECT_EQ(statusOf(two), "400");
  // A body on a server without a post callback, or with a GET, is refused.
  std::string get = Raw("GET /k.bin HTTP/1.1\\r\\n" + host + "Content-Length: 3\\r\\n\\r\\nabc");
  EXPECT_EQ(statusOf(get), "501");
}

// ---- Threads: pumped on the test thread with socket completions on I/O workers, and
// the threaded mode ---------------------------------------------------------------------

TEST_F(WebServerThreaded, KeepAliveUsesOneConnectionAndPipelinesInOrder) {
  WebServer_EnableKeepAlive(server);
  Start();
  std::string counts =
      Peer("curl -s --max-time 10 -o /dev/null -o /dev/null -o /dev/null -w '%{num_connects} ' "
           "-H 'Connection: Keep-Alive' " + Url("/k.bin") + " " + Url("/default.htm") + " " +
           Url("/k.bin"));
  EXPECT_EQ(counts, "1 0 0 ");
  std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\\r\\n";
  std::string keep = "Connection: Keep-Alive\\r\\n";
  std::string answer = Raw("GET /default.htm HTTP/1.1\\r\\n" + host + keep + "\\r\\n" +
                           "HEAD /k.bin HTTP/1.1\\r\\n" + host + keep + "\\r\\n" +
                           "GET /none HTTP/1.1\\r\\n" + host + keep + "\\r\\n" +
                           "GET /k.bin HTTP/1.1\\r\\n" + host + "Range: bytes=0-4\\r\\n\\r\\n");
  size_t home = answer.find("<p>home</p>");
  size_t head = answer.find("Content-Length: 1000\r\n");
  size_t missing = answer.find("HTTP/1.1 404");
  size_t range = answer.find("HTTP/1.1 206");
  ASSERT_NE(range, std::string::npos) << answer;
  EXPECT_LT(home, head);
  EXPECT_LT(head, missing);
  EXPECT_LT(missing, range);
  EXPECT_EQ(answer.substr(answer.size() - 5), fileBytes(5));
  EXPECT_EQ(Test_CountOf(answer, "HTTP/1.1 "), 4u);  // HEAD sent no body to misparse
}

TEST_F(WebServerThreaded, ThreadedModeStartsServesAndStops) {
  WebServer_SetThreaded(server, 1);
  StaticOwner_Attach(&owner, server);
  ASSERT_TRUE(Test_WaitUntil([&] { return WebServer_Start(server) == 1; }, kBoundMs));
  ASSERT_TRUE(Test_WaitUntil([&] { return WebServer_GetListenPort(server, &port) == 1; },
                             kBoundMs));
  int status = 0;
  std::string body = Test_RunCommand("curl -s --max-time 10 " + Url("/k.bin"), &status);
  EXPECT_EQ(body, fileBytes(1000));
  WebServer_Stop(server);
  EXPECT_EQ(WebServer_IsRunning(server), 0);
}

// Another user connecting as fast as it can is closed each time, and the log
// gains a line or two for it, not a line a connection.
TEST_F(WebServerPeer, AnotherUsersFloodCostsAFewLogLines) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to be a second user";
  Start();
  TestLogCapture capture;
  int status = -1;
  Peer("setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c '"
       "import socket\n"
       "for i in range(10000):\n"
       "    socket.create_connection((\"127.0.0.1\", " + std::to_string(port) + "), 10).close()\n'",
       &status);
  EXPECT_EQ(status, 0);
  WebServer_Stop(server);
  // A client gone before its owner is looked up counts as an unknown user:
  // two keys at most, each a first line and a count or two.
  std::string log = capture.Take();
  size_t firsts = Test_CountOf(log, "Refused connection [");
  size_t counts = Test_CountOf(log, "WebServer - refused ");
  EXPECT_GE(firsts, 1u) << log;
  EXPECT_GE(counts, 1u) << log;
  EXPECT_LE(firsts + counts, 6u) << log.substr(0, 2000);
}

TEST_F(WebServerPeer, PortListFallsBackPastATakenPort) {
  // A kernel listener holds the first port of the list.
  int taken = 0;
  int holder = plainListener(&taken);
  int next = freePort();
  WebServer_SetPort(server, taken);
  WebServer_AddPort(server, next);
  WebServer_SetListenRetryInterval(server, 0);
  TestLogCapture capture;
  Start();
  EXPECT_EQ(port, next);
  EXPECT_NE(capture.Take().find("Unable to bind for listen (127.0.0.1:" + std::to_string(taken)),
            std::string::npos);
  close(holder);
}

// An owner that breaks its own framing: "Content-Length: 0" and then body
// bytes, and header values that would split the header.
struct RogueOwner {
  std::vector<int> headerResults;
  static int response(WebServer *server, void *context, WebServerConnection *c) {
    auto *self = static_cast<RogueOwner *>(context);
    self->headerResults.push_back(
        WebServer_SetResponseHeader(server, c, "X-Note", "a\r\nSet-Cookie: %s", "b"));
    self->headerResults.push_back(WebServer_SetResponseHeader(server, c, "Bad Name", "x"));
    self->headerResults.push_back(WebServer_SetResponseHeader(server, c, "X-Note", "%d", 7));
    WebServer_SetResponse(server, c, 200, 0);
    return 1;
  }
  static int write(WebServer *server, void *, WebServerConnection *c, int32_t) {
    int32_t written = 0;
    WebServer_Write(server, c, "junk", 4, &written);
    return 0;
  }
};

TEST_F(WebServerPeer, WritesPastTheLengthDropTheConnection) {
  RogueOwner rogue;
  WebServer_EnableKeepAlive(server);
  Start();
  WebServer_SetResponseCallback(server, &rogue, RogueOwner::response);
  WebServer_SetWriteCallback(server, &rogue, RogueOwner::write);
  std::string request = "GET /k.bin HTTP/1.1\\r\\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\\r\\nConnection: Keep-Alive\\r\\n\\r\\n";
  std::string answer = Raw(request + request);
  EXPECT_EQ(answer.rfind("closed\n", 0), 0u);
  EXPECT_EQ(answer.find("junk"), std::string::npos) << answer;
  EXPECT_LE(Test_CountOf(answer, "HTTP/1.1 "), 1u) << answer;
  EXPECT_EQ(answer.find("Set-Cookie"), std::string::npos);
  ASSERT_GE(rogue.headerResults.size(), 3u);
  EXPECT_EQ(rogue.headerResults[0], 0);
  EXPECT_EQ(rogue.headerResults[1], 0);
  EXPECT_EQ(rogue.headerResults[2], 1);
}

// An owner that answers "/slice?OFFSET,LENGTH[,w]" with that slice of
// slice.bin through WebServer_SendFile, announcing LENGTH; ",w" writes a byte
// after the file, which breaks the framing.
struct SliceOwner {
  std::string path;
  static void parse(WebServer *server, WebServerConnection *c, long long *offset,
                    long long *length, bool *writeAfter) {
    const char *query = WebServer_GetRequestQuery(server, c);
    char tail = '\0';
    *writeAfter = sscanf(query, "%lld,%lld,%c", offset, length, &tail) == 3 && tail == 'w';
  }
  static int response(WebServer *server, void *, WebServerConnection *c) {
    long long offset = 0, length = 0;
    bool writeAfter = false;
    parse(server, c, &offset, &length, &writeAfter);
    WebServer_SetResponse(server, c, 200, length + (writeAfter ? 1 : 0));
    return 1;
  }
  static int write(WebServer *server, void *context, WebServerConnection *c, int32_t) {
    long long offset = 0, length = 0;
    bool writeAfter = false;
    parse(server, c, &offset, &length, &writeAfter);
    int fd = open(static_cast<SliceOwner *>(context)->path.c_str(), O_RDONLY | O_CLOEXEC);
    WebServer_SendFile(server, c, fd, offset, length);
    int32_t written = 0;
    if (writeAfter) WebServer_Write(server, c, "!", 1, &written);
    return 0;
  }
};

TEST_F(WebServerPeer, BodyFilesGoOutFromTheirOffsetWhateverTheirSize) {
  SliceOwner slices{www + "/slice.bin"};
  const std::string data = fileBytes(200000);
  writeFile(slices.path, data);
  WebServer_EnableKeepAlive(server);
  Start();
  WebServer_SetResponseCallback(server, &slices, SliceOwner::response);
  WebServer_SetWriteCallback(server, &slices, SliceOwner::write);
  const int64_t inline_ = kWebServerInlineFileBytes;
  struct Row {
    int64_t offset, length;
    const char *extra;
    bool whole;  // both answers arrive whole, in order
  } rows[] = {
      {0, 1024, "", true},          {100, 50, "", true},
      {0, inline_, "", true},       {3, inline_ + 1, "", true},
      {7, 100000, "", true},        {199990, 20, "", false},  // the file ends first
      {0, 10, ",w", false},                                  // a write after the file
  };
  std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\\r\\n";
  for (const Row &row : rows) {
    std::string target = "/slice?" + std::to_string(row.offset) + "," +
                         std::to_string(row.length) + row.extra;
    std::string get = "GET " + target + " HTTP/1.1\\r\\n" + host;
    std::string answer = Raw(get + "Connection: Keep-Alive\\r\\n\\r\\n" + get + "\\r\\n");
    SCOPED_TRACE(target);
    EXPECT_EQ(answer.rfind("closed\n", 0), 0u);
    size_t first = answer.find("\r\n\r\n");
    if (!row.whole) {  // at most a cut first answer, then the close
      EXPECT_LE(Test_CountOf(answer, "HTTP/1.1 "), 1u);
      if (first != std::string::npos) {
        EXPECT_LT(answer.size() - first - 4, size_t(row.length));
      }
      continue;
    }
    std::string slice = data.substr(size_t(row.offset), size_t(row.length));
    ASSERT_NE(first, std::string::npos) << answer.substr(0, 200);
    EXPECT_EQ(answer.substr(first + 4, slice.size()), slice);
    size_t second = answer.find("\r\n\r\n", first + 4 + slice.size());
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(answer.substr(second + 4), slice);
    EXPECT_EQ(Test_CountOf(answer, "HTTP/1.1 200"), 2u);
  }
}
