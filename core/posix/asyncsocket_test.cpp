// AsyncSocket against real peers on 127.0.0.1: socat relaying through cat,
// Python peers that read slowly, reset or half-close, plain kernel sockets,
// and our own listener; the descriptor-reuse rounds run under TSan.
#include "core/net/asyncsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/meterrw.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "core/security/hash.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/loopback_port.h"
#include "tests/peer_process.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"

namespace {

constexpr int kBoundMs = 20000;

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

int plainListener(int *port) { return Test_LoopbackListener(port); }
int freePort() { return Test_FreeLoopbackPort(); }

std::string pattern(size_t size, uint32_t seed) {
  std::string data(size, '\0');
  std::mt19937 random(seed);
  for (size_t i = 0; i + 4 <= size; i += 4) {
    uint32_t word = random();
    memcpy(&data[i], &word, 4);
  }
  return data;
}

std::string sha256(const void *data, size_t size) {
  char hex[65];
  Hash_ComputeDigestHex(&kHashSha256, data, int64_t(size), hex, sizeof hex);
  return hex;
}

// Starts the I/O worker and the asynchronous sockets the way the host does,
// and takes them down again.
void asyncSocketStart() {
  Meter_Init();
  IOWorker_Init();
  AsyncSocket_Init();
}
void asyncSocketStop() {
  AsyncSocket_Shutdown();
  IOWorker_Shutdown();
  Meter_Shutdown();
}

// Clears every cell of a socket: a call running now is waited for, and none
// follows, so the cells' contexts may go.
void unwire(AsyncSocket *s) {
  AsyncSocket_SetAcceptCallback(s, nullptr, nullptr);
  AsyncSocket_SetReadSizeCallback(s, nullptr, nullptr);
  AsyncSocket_SetReadCallback(s, nullptr, nullptr);
  AsyncSocket_SetReadIntoCallback(s, nullptr, nullptr);
  AsyncSocket_SetWriteSizeCallback(s, nullptr, nullptr);
  AsyncSocket_SetWriteCallback(s, nullptr, nullptr);
  AsyncSocket_SetCloseCallback(s, nullptr, nullptr);
  AsyncSocket_SetConnectCallback(s, nullptr, nullptr);
}

// The owner of one socket: sends `out` in rounds of random size, takes what
// arrives into `in` (or only counts it), and counts its callbacks.
struct Owner {
  AsyncSocket *s = nullptr;
  std::string out;
  size_t sent = 0;
  bool endless = false;  // send rounds of the pattern until closed
  std::string in;
  bool keep = true;   // keep the received bytes
  int64_t received = 0;
  std::mt19937 readRandom{1}, writeRandom{2};
  bool randomRounds = false;
  // In place: rounds go into `in` directly, every third through the Read
  // callback.
  int inPlaceRounds = 0, bufferRounds = 0;
  int32_t largestRound = 0;
  std::mutex lock;
  std::atomic<int> closes{0}, connects{0}, connected{-1};
  AsyncSocket *wired = nullptr;  // borrowed: an accepted socket this owner serves

  Owner() {
    AsyncSocket_Create(&s);
    Wire(s);
  }
  ~Owner() {
    if (wired) unwire(wired);
    unwire(s);
    AsyncSocket_Close(s);  // ends the loops still waiting, which hold references
    Class_ReleaseObject(&s);
  }
  void Wire(AsyncSocket *socket) {
    if (socket != s) wired = socket;
    AsyncSocket_SetReadSizeCallback(socket, this, readSize);
    AsyncSocket_SetReadCallback(socket, this, read);
    AsyncSocket_SetWriteSizeCallback(socket, this, writeSize);
    AsyncSocket_SetWriteCallback(socket, this, write);
    AsyncSocket_SetCloseCallback(socket, this, closed);
    AsyncSocket_SetConnectCallback(socket, this, connect);
  }
  bool Connect(int port) {
    if (!AsyncSocket_IsOpen(s) && !AsyncSocket_Open(s)) return false;
    if (!AsyncSocket_Connect(s, loopback(), port)) return false;
    return Test_WaitUntil([&] { return connects.load() > 0; }, kBoundMs) && connected.load() == 1;
  }
  int64_t Received() {
    std::lock_guard<std::mutex> guard(lock);
    return received;
  }
  uint64_t MeterWritten() {
    MeterRW *meter = nullptr;
    uint64_t written = 0;
    AsyncSocket_GetMeter(s, &meter);
    MeterRW_GetBytes(meter, nullptr, &written);
    return written;
  }

  void ReceiveInPlace() { AsyncSocket_SetReadIntoCallback(s, this, readInto); }
  static void readInto(AsyncSocket *, void *context, int32_t size, AsyncSocketReceive receive,
                       void *receiver) {
    auto *o = static_cast<Owner *>(context);
    std::lock_guard<std::mutex> guard(o->lock);
    if ((o->inPlaceRounds + o->bufferRounds) % 3 == 2) {
      o->bufferRounds++;
      return;
    }
    o->inPlaceRounds++;
    size_t at = o->in.size();
    o->in.resize(at + size_t(size));
    int32_t got = receive(receiver, reinterpret_cast<uint8_t *>(&o->in[at]), size);
    o->in.resize(at + size_t(got));
    o->received += got;
    o->largestRound = std::max(o->largestRound, got);
  }
  static int32_t readSize(AsyncSocket *, void *context) {
    auto *o = static_cast<Owner *>(context);
    std::lock_guard<std::mutex> guard(o->lock);
    if (o->inPlaceRounds > 0) return kAsyncSocketReadIntoBytes;
    return o->randomRounds ? int32_t(o->readRandom() % kAsyncSocketRoundBytes) + 1
                           : kAsyncSocketRoundBytes;
  }
  static void read(AsyncSocket *, void *context, const uint8_t *data, int32_t count) {
    auto *o = static_cast<Owner *>(context);
    std::lock_guard<std::mutex> guard(o->lock);
    if (o->keep) o->in.append(reinterpret_cast<const char *>(data), size_t(count));
    o->received += count;
  }
  static int32_t writeSize(AsyncSocket *, void *context) {
    auto *o = static_cast<Owner *>(context);
    std::lock_guard<std::mutex> guard(o->lock);
    if (o->endless) return kAsyncSocketRoundBytes;
    size_t left = o->out.size() - o->sent;
    size_t round = o->randomRounds ? o->writeRandom() % kAsyncSocketRoundBytes + 1
                                   : size_t(kAsyncSocketRoundBytes);
    return int32_t(std::min(left, round));
  }
  static int32_t write(AsyncSocket *, void *context, uint8_t *buffer, int32_t maximum) {
    auto *o = static_cast<Owner *>(context);
    std::lock_guard<std::mutex> guard(o->lock);
    if (o->endless) {
      memset(buffer, 'x', size_t(maximum));
      return maximum;
    }
    size_t n = std::min(size_t(maximum), o->out.size() - o->sent);
    memcpy(buffer, o->out.data() + o->sent, n);
    o->sent += n;
    return int32_t(n);
  }
  static void closed(AsyncSocket *, void *context) { static_cast<Owner *>(context)->closes++; }
  static void connect(AsyncSocket *, void *context, int success) {
    auto *o = static_cast<Owner *>(context);
    o->connected.store(success);
    o->connects++;
  }
};

// A listener of ours on a free port of 127.0.0.1; what its Accept callback
// does is the test's.
struct Listener {
  AsyncSocket *s = nullptr;
  int port = 0;
  Listener(void *context, AsyncSocketAcceptFunction accept, bool start = true) {
    AsyncSocket_Create(&s);
    EXPECT_EQ(AsyncSocket_Open(s), 1);
    EXPECT_EQ(AsyncSocket_Bind(s, loopback(), 0), 1);
    EXPECT_EQ(AsyncSocket_Listen(s), 1);
    uint32_t address = 0;
    int32_t bound = 0;
    EXPECT_EQ(AsyncSocket_GetLocalAddress(s, &address, &bound), 1);
    port = bound;
    AsyncSocket_SetAcceptCallback(s, context, accept);
    if (start) {
      EXPECT_EQ(AsyncSocket_StartAccept(s), 1);
    }
  }
  ~Listener() {
    unwire(s);
    AsyncSocket_Close(s);
    Class_ReleaseObject(&s);
  }
};

// The Python peers: they listen on a free port (written to <dir>/port), take
// one connection and write "<bytes> <sha256>" of what they read to
// <dir>/result. slow: a 4 KiB receive buffer, reads with pauses; reset: reads
// 64 KiB, then resets (SO_LINGER 0); half: sends "hello", shuts its sending
// side and reads to the end.
constexpr const char *kPythonPeer = R"(
import hashlib, os, signal, socket, struct, sys, time
signal.alarm(60)
mode, directory = sys.argv[1], sys.argv[2]
def publish(name, text):
    open(directory + '/' + name + '.tmp', 'w').write(text)
    os.rename(directory + '/' + name + '.tmp', directory + '/' + name)
listener = socket.socket()
if mode == 'slow':
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
listener.bind(('127.0.0.1', 0))
listener.listen(1)
publish('port', str(listener.getsockname()[1]))
c, _ = listener.accept()
digest, count = hashlib.sha256(), 0
if mode == 'half':
    c.sendall(b'hello')
    c.shutdown(socket.SHUT_WR)
while True:
    data = c.recv(4096 if mode == 'slow' else 65536)
    if not data:
        break
    digest.update(data)
    count += len(data)
    if mode == 'slow' and count % 65536 < 4096:
        time.sleep(0.002)
    if mode == 'reset' and count >= 65536:
        c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
        break
c.close()
publish('result', '%d %s' % (count, digest.hexdigest()))
)";

struct PythonPeer {
  FsFaultTempDir dir;
  std::unique_ptr<PeerProcess> process;
  int port = 0;
  explicit PythonPeer(const std::string &mode) {
    process = std::make_unique<PeerProcess>(
        std::vector<std::string>{"/usr/bin/python3", "-c", kPythonPeer, mode, dir.path()});
    std::string portFile = dir / "port";
    if (Test_WaitUntil([&] { return access(portFile.c_str(), F_OK) == 0; }, kBoundMs))
      std::ifstream(portFile) >> port;
  }
  // "<bytes> <sha256>" once the peer is done, "" when it never was.
  std::string Result() {
    std::string file = dir / "result";
    if (!Test_WaitUntil([&] { return access(file.c_str(), F_OK) == 0; }, kBoundMs)) return "";
    std::string text;
    std::getline(std::ifstream(file), text);
    return text;
  }
};

// Connects owner to the peer, with bytes of the pattern to send.
bool connectToPeer(const PythonPeer &peer, Owner &owner, size_t bytes, uint32_t seed) {
  owner.out = pattern(bytes, seed);
  return peer.port > 0 && owner.Connect(peer.port);
}

// socat relaying every connection through cat, on a free port; ready once a
// probe connects.
struct SocatEcho {
  int port = freePort();
  std::unique_ptr<PeerProcess> process;
  SocatEcho() {
    process = std::make_unique<PeerProcess>(std::vector<std::string>{
        "/usr/bin/socat",
        "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,fork,reuseaddr", "EXEC:cat"});
    Test_WaitUntil([&] {
      int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(uint16_t(port));
      to.sin_addr.s_addr = loopback();
      bool up = connect(probe, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
      close(probe);
      return up;
    }, kBoundMs);
  }
};

class AsyncSocketTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    asyncSocketStart();
  }
  void TearDown() override {
    EXPECT_TRUE(Test_WaitUntil([] { return AsyncSocket_GetInFlightCount() == 0; }, kBoundMs));
    asyncSocketStop();
    ThreadTest::TearDown();
  }
};

class AsyncSocketEdge : public AsyncSocketTest {};
class AsyncSocketPeer : public AsyncSocketTest {};
class AsyncSocketThreaded : public AsyncSocketTest {};

// The accepted sockets of a listener, each kept by a reference of its own.
struct Accepted {
  std::mutex lock;
  std::vector<AsyncSocket *> sockets;
  std::vector<std::unique_ptr<Owner>> owners;
  ~Accepted() {
    owners.clear();  // they unwire the sockets, still held here
    for (AsyncSocket *s : sockets) {
      unwire(s);
      AsyncSocket_Close(s);
      Class_ReleaseObject(&s);
    }
  }
  static int keep(AsyncSocket *, void *context, AsyncSocket *accepted) {
    auto *a = static_cast<Accepted *>(context);
    std::lock_guard<std::mutex> guard(a->lock);
    a->sockets.push_back(static_cast<AsyncSocket *>(Class_Retain(accepted)));
    return 1;
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock);
    return sockets.size();
  }
};

}  // namespace

TEST_F(AsyncSocketEdge, ProtocolCodesAndOptions) {
  struct Case {
    int32_t protocol;
    int result;
    int error;
  } cases[] = {{1, 1, 0}, {2, 1, 0}, {5, 1, 0}, {3, 0, 10043}, {7, 0, 10043}};
  for (const Case &c : cases) {
    TestLogCapture capture;
    int fd = -1;
    EXPECT_EQ(AsyncSocket_CreateHandle(c.protocol, &fd), c.result) << c.protocol;
    if (fd >= 0) close(fd);
    if (!c.result) {
      EXPECT_EQ(Platform_GetLastError(), c.error) << c.protocol;
    }
    bool logged = capture.Take().find("Unknown socket protocol '7'") != std::string::npos;
    EXPECT_EQ(logged, c.protocol == 7);
  }
  // SO_REUSEADDR takes no port a live listener holds.
  Accepted accepted;
  Listener listener(&accepted, Accepted::keep);
  AsyncSocket *second = nullptr;
  AsyncSocket_Create(&second);
  ASSERT_EQ(AsyncSocket_Open(second), 1);
  EXPECT_EQ(AsyncSocket_SetOption(second, SOL_SOCKET, SO_REUSEADDR, 1), 1);
  EXPECT_EQ(AsyncSocket_Bind(second, loopback(), listener.port), 0);
  EXPECT_EQ(AsyncSocket_GetError(second), 10048);
  EXPECT_EQ(AsyncSocket_SetLinger(second), 1);
  EXPECT_EQ(AsyncSocket_Close(second), 1);
  EXPECT_EQ(AsyncSocket_Close(second), 1);
  EXPECT_EQ(AsyncSocket_Bind(second, loopback(), 0), 0);  // not open
  Class_ReleaseObject(&second);
}

TEST_F(AsyncSocketEdge, RefusedConnectCallsBackWithZeroAndKeepsTheError) {
  Owner owner;
  ASSERT_EQ(AsyncSocket_Open(owner.s), 1);
  ASSERT_EQ(AsyncSocket_Connect(owner.s, loopback(), freePort()), 1);
  ASSERT_TRUE(Test_WaitUntil([&] { return owner.connects.load() == 1; }, kBoundMs));
  EXPECT_EQ(owner.connected.load(), 0);
  EXPECT_EQ(owner.closes.load(), 1);
  EXPECT_EQ(AsyncSocket_IsOpen(owner.s), 0);
  EXPECT_EQ(AsyncSocket_GetError(owner.s), 10061);
}

// Two starts make one read loop; a ReadSize of 0 ends it at once.
TEST_F(AsyncSocketEdge, ReadLoopRunsOnceAndEndsWhenTheOwnerTakesNothing) {
  Accepted accepted;
  Listener listener(&accepted, Accepted::keep);
  Owner owner;
  ASSERT_TRUE(owner.Connect(listener.port));
  EXPECT_EQ(AsyncSocket_StartRead(owner.s), 1);
  EXPECT_EQ(AsyncSocket_StartRead(owner.s), 1);
  EXPECT_EQ(AsyncSocket_IsReading(owner.s), 1);
  ASSERT_TRUE(Test_WaitUntil([&] { return accepted.Count() == 1; }, kBoundMs));
  {
    Owner *server = new Owner();
    std::lock_guard<std::mutex> guard(accepted.lock);
    accepted.owners.emplace_back(server);
    server->Wire(accepted.sockets[0]);
    server->out = "0123456789";
    EXPECT_EQ(AsyncSocket_StartWrite(accepted.sockets[0]), 1);
  }
  ASSERT_TRUE(Test_WaitUntil([&] { return owner.Received() == 10; }, kBoundMs));
  EXPECT_EQ(owner.in, "0123456789");
  AsyncSocket_SetReadSizeCallback(owner.s, nullptr, nullptr);
  AsyncSocket_Close(owner.s);
  ASSERT_TRUE(Test_WaitUntil([&] { return !AsyncSocket_IsReading(owner.s); }, kBoundMs));
  ASSERT_EQ(AsyncSocket_Open(owner.s), 1);
  owner.connects = 0;
  ASSERT_TRUE(owner.Connect(listener.port));
  EXPECT_EQ(AsyncSocket_StartRead(owner.s), 1);
  EXPECT_TRUE(Test_WaitUntil([&] { return !AsyncSocket_IsReading(owner.s); }, kBoundMs));
  EXPECT_EQ(owner.closes.load(), 1);  // the first close only
}

// A connection's read loop held between its check and its receive while
// the owner closes the socket and opens it again for the next connection:
// the old peer's end or reset that the loop then meets belongs to the old
// descriptor. The new connection stays open, with no error and no second
// Close callback.
TEST_F(AsyncSocketEdge, LateEndOfTheOldConnectionLeavesTheReopenedOneAlone) {
  struct Hold {
    std::atomic<int> entered{0}, release{0};
    static void readInto(AsyncSocket *, void *context, int32_t size, AsyncSocketReceive receive,
                         void *receiver) {
      auto *h = static_cast<Hold *>(context);
      if (h->entered.fetch_add(1) == 0)
        Test_WaitUntil([&] { return h->release.load() != 0; }, kBoundMs);
      uint8_t room[64];
      receive(receiver, room, std::min(size, int32_t(sizeof room)));
    }
  };
  for (bool reset : {true, false}) {
    SCOPED_TRACE(reset ? "reset" : "end");
    int port = 0;
    int listener = plainListener(&port);
    ASSERT_GE(listener, 0);
    Hold hold;
    {
      Owner owner;
      ASSERT_TRUE(owner.Connect(port));
      int first = accept(listener, nullptr, nullptr);
      ASSERT_GE(first, 0);
      AsyncSocket_SetReadIntoCallback(owner.s, &hold, Hold::readInto);
      ASSERT_EQ(AsyncSocket_StartRead(owner.s), 1);
      ASSERT_TRUE(Test_WaitUntil([&] { return hold.entered.load() == 1; }, kBoundMs));
      if (reset) {
        linger now{1, 0};
        setsockopt(first, SOL_SOCKET, SO_LINGER, &now, sizeof now);
      }
      close(first);
      AsyncSocket_Close(owner.s);
      owner.connects = 0;
      ASSERT_TRUE(owner.Connect(port));
      int second = accept(listener, nullptr, nullptr);
      ASSERT_GE(second, 0);
      hold.release = 1;
      ASSERT_TRUE(Test_WaitUntil([&] { return !AsyncSocket_IsReading(owner.s); }, kBoundMs));
      EXPECT_EQ(AsyncSocket_IsConnected(owner.s), 1);
      EXPECT_EQ(AsyncSocket_GetError(owner.s), 0);
      EXPECT_EQ(owner.closes.load(), 1);
      AsyncSocket_SetReadIntoCallback(owner.s, nullptr, nullptr);
      close(second);
    }
    close(listener);
  }
}

// 1,000 connect, exchange and close cycles through socat and cat.
TEST_F(AsyncSocketPeer, SocatThousandCycles) {
  SocatEcho socat;
  for (int cycle = 0; cycle < 1000; cycle++) {
    Owner owner;
    owner.out = "cycle " + std::to_string(cycle);
    ASSERT_TRUE(owner.Connect(socat.port)) << cycle;
    AsyncSocket_StartRead(owner.s);
    AsyncSocket_StartWrite(owner.s);
    ASSERT_TRUE(Test_WaitUntil([&] { return owner.Received() == int64_t(owner.out.size()); },
                               kBoundMs))
        << cycle;
    EXPECT_EQ(owner.in, owner.out);
    AsyncSocket_Close(owner.s);
    EXPECT_EQ(owner.closes.load(), 1);
  }
}

// 64 MiB each way in rounds of random size, echoed by cat: what comes back is
// what went.
TEST_F(AsyncSocketPeer, SocatBulkBothWays) {
  SocatEcho socat;
  Owner owner;
  owner.out = pattern(size_t(64) << 20, 7);
  owner.randomRounds = true;
  ASSERT_TRUE(owner.Connect(socat.port));
  AsyncSocket_StartRead(owner.s);
  AsyncSocket_StartWrite(owner.s);
  ASSERT_TRUE(Test_WaitUntil([&] { return owner.Received() == int64_t(owner.out.size()); }, 60000));
  std::lock_guard<std::mutex> guard(owner.lock);
  EXPECT_EQ(sha256(owner.in.data(), owner.in.size()), sha256(owner.out.data(), owner.out.size()));
  EXPECT_EQ(owner.MeterWritten(), owner.out.size());
}

// An owner receiving in place: rounds may pass the socket's 32 KiB buffer
// (48 KiB waiting arrive in one), every third goes through the Read
// callback instead, and 4 MiB echoed by cat come back whole and in order.
TEST_F(AsyncSocketPeer, InPlaceRoundsPassTheBufferAndMixWithBufferedOnes) {
  int port = 0;
  int listener = plainListener(&port);
  ASSERT_GE(listener, 0);
  Owner owner;
  owner.ReceiveInPlace();
  owner.inPlaceRounds = 1;  // ask for the in-place size from the first round
  ASSERT_TRUE(owner.Connect(port));
  int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  std::string waiting = pattern(48 << 10, 5);
  ASSERT_EQ(send(peer, waiting.data(), waiting.size(), MSG_NOSIGNAL), ssize_t(waiting.size()));
  ASSERT_TRUE(Test_WaitUntil([&] {
    int queued = -1;
    return ioctl(peer, SIOCOUTQ, &queued) == 0 && queued == 0;
  }, kBoundMs));
  AsyncSocket_StartRead(owner.s);
  ASSERT_TRUE(Test_WaitUntil([&] { return owner.Received() == int64_t(waiting.size()); }, kBoundMs));
  close(peer);
  close(listener);
  {
    std::lock_guard<std::mutex> guard(owner.lock);
    EXPECT_EQ(owner.in, waiting);
    EXPECT_EQ(owner.largestRound, int32_t(waiting.size()));
  }

  SocatEcho socat;
  Owner echoed;
  echoed.ReceiveInPlace();
  echoed.out = pattern(size_t(4) << 20, 9);
  ASSERT_TRUE(echoed.Connect(socat.port));
  AsyncSocket_StartRead(echoed.s);
  AsyncSocket_StartWrite(echoed.s);
  ASSERT_TRUE(
      Test_WaitUntil([&] { return echoed.Received() == int64_t(echoed.out.size()); }, 60000));
  std::lock_guard<std::mutex> guard(echoed.lock);
  EXPECT_EQ(sha256(echoed.in.data(), echoed.in.size()),
            sha256(echoed.out.data(), echoed.out.size()));
  EXPECT_GT(echoed.inPlaceRounds, 0);
  EXPECT_GT(echoed.bufferRounds, 0);
}

// A reader with a 4 KiB receive buffer that pauses: sends go out in parts,
// and 8 MiB arrive whole and in order.
TEST_F(AsyncSocketPeer, SlowReaderGetsEverythingInOrder) {
  PythonPeer peer("slow");
  Owner owner;
  ASSERT_TRUE(connectToPeer(peer, owner, size_t(8) << 20, 3));
  AsyncSocket_StartWrite(owner.s);
  ASSERT_TRUE(Test_WaitUntil([&] { return !AsyncSocket_IsWriting(owner.s); }, 60000));
  EXPECT_EQ(owner.MeterWritten(), owner.out.size());
  AsyncSocket_Close(owner.s);
  EXPECT_EQ(peer.Result(),
            std::to_string(owner.out.size()) + " " + sha256(owner.out.data(), owner.out.size()));
}

TEST_F(AsyncSocketPeer, ResetPeerClosesOnceAndKeepsTheReset) {
  PythonPeer peer("reset");
  Owner owner;
  ASSERT_TRUE(connectToPeer(peer, owner, size_t(8) << 20, 5));
  AsyncSocket_StartWrite(owner.s);
  ASSERT_TRUE(Test_WaitUntil([&] { return owner.closes.load() > 0; }, kBoundMs));
  ASSERT_TRUE(Test_WaitUntil([&] { return !AsyncSocket_IsWriting(owner.s); }, kBoundMs));
  EXPECT_EQ(AsyncSocket_GetError(owner.s), 10054);
  EXPECT_EQ(AsyncSocket_IsOpen(owner.s), 0);
  AsyncSocket_Close(owner.s);
  EXPECT_EQ(owner.closes.load(), 1);
}

// The peer shuts its side after "hello": the read sees the end and closes;
// every byte the write loop counted reaches the peer.
TEST_F(AsyncSocketPeer, HalfClosingPeerEndsTheReadAndWritesComplete) {
  PythonPeer peer("half");
  Owner owner;
  ASSERT_TRUE(connectToPeer(peer, owner, size_t(1) << 20, 9));
  AsyncSocket_StartWrite(owner.s);
  AsyncSocket_StartRead(owner.s);
  ASSERT_TRUE(Test_WaitUntil([&] { return owner.closes.load() > 0; }, kBoundMs));
  ASSERT_TRUE(Test_WaitUntil([&] { return AsyncSocket_GetInFlightCount() == 0; }, kBoundMs));
  EXPECT_EQ(owner.in, "hello");
  EXPECT_EQ(AsyncSocket_GetError(owner.s), 0);
  EXPECT_EQ(AsyncSocket_IsWriting(owner.s), 0);
  uint64_t written = owner.MeterWritten();
  EXPECT_EQ(peer.Result(), std::to_string(written) + " " + sha256(owner.out.data(), written));
  EXPECT_EQ(owner.closes.load(), 1);
}

namespace {

struct Counted {
  std::mutex lock;
  std::set<int> ports;
  static int note(AsyncSocket *, void *context, AsyncSocket *accepted) {
    auto *c = static_cast<Counted *>(context);
    uint32_t address = 0;
    int32_t port = 0;
    AsyncSocket_GetAddress(accepted, &address, &port);
    std::lock_guard<std::mutex> guard(c->lock);
    c->ports.insert(port);
    return 1;  // no reference taken: the socket goes when this returns
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock);
    return ports.size();
  }
};

int plainClient(int port, bool blocking) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
  return fd;
}

int localPort(int fd) {
  sockaddr_in at{};
  socklen_t length = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr *>(&at), &length);
  return ntohs(at.sin_port);
}

}  // namespace

// 1,000 connects at once: each is accepted with its remote port, and the
// accepted sockets nobody kept are gone.
TEST_F(AsyncSocketPeer, ListenerTakesAThousandConcurrentConnects) {
  // A thousand clients and their accepted ends need more than the usual 1,024.
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  rlimit wide = saved;
  wide.rlim_cur = std::max<rlim_t>(saved.rlim_cur, std::min<rlim_t>(saved.rlim_max, 4096));
  setrlimit(RLIMIT_NOFILE, &wide);
  if (wide.rlim_cur < 2100) GTEST_SKIP() << "RLIMIT_NOFILE allows fewer than 2,100 descriptors";
  Counted counted;
  Listener listener(&counted, Counted::note);
  std::vector<int> clients;
  std::set<int> ports;
  for (int i = 0; i < 1000; i++) {
    clients.push_back(plainClient(listener.port, false));
  }
  // Connects complete asynchronously; the local port is known at once.
  for (int fd : clients) ports.insert(localPort(fd));
  EXPECT_TRUE(Test_WaitUntil([&] { return counted.Count() == 1000; }, 60000));
  {
    std::lock_guard<std::mutex> guard(counted.lock);
    EXPECT_EQ(counted.ports, ports);
  }
  EXPECT_TRUE(Test_WaitUntil([] { return AsyncSocket_GetLiveCount() == 1; }, kBoundMs));
  for (int fd : clients) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
}

// With the descriptors used up the accept loop ends and the listener stays
// open; started again with descriptors free, it takes the waiting
// connections.
TEST(AsyncSocketDescriptors, AcceptResumesOnceDescriptorsAreFree) {
  FSFAULT_RUN([](FsFaultChild &child) {
    Thread_Init();
    asyncSocketStart();
    {
      Counted counted;
      Listener listener(&counted, Counted::note, false);
      int first = plainClient(listener.port, true);  // queued before the limit
      int second = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      rlimit saved{};
      getrlimit(RLIMIT_NOFILE, &saved);
      int next = dup(0);
      close(next);
      rlimit tight = saved;
      tight.rlim_cur = rlim_t(next);  // no descriptor above the ones in use
      setrlimit(RLIMIT_NOFILE, &tight);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(uint16_t(listener.port));
      to.sin_addr.s_addr = loopback();
      FSF_EXPECT(child, connect(second, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0);
      FSF_EXPECT(child, AsyncSocket_StartAccept(listener.s) == 1);
      FSF_EXPECT(child, Test_WaitUntil([&] { return !AsyncSocket_IsAccepting(listener.s); },
                                       kBoundMs));
      FSF_EXPECT_EQ(child, counted.Count(), size_t(0));
      FSF_EXPECT_EQ(child, AsyncSocket_IsOpen(listener.s), 1);
      setrlimit(RLIMIT_NOFILE, &saved);
      FSF_EXPECT(child, AsyncSocket_StartAccept(listener.s) == 1);
      FSF_EXPECT(child, Test_WaitUntil([&] { return counted.Count() == 2; }, kBoundMs));
      close(first);
      close(second);
    }
    Test_WaitUntil([] { return AsyncSocket_GetInFlightCount() == 0; }, kBoundMs);
    asyncSocketStop();
    Thread_Shutdown();
  });
}

// A plug-in host may leave SIGPIPE at its default: a write to a reset peer,
// and one after our own shutdown of the sending side, end with an error, not
// the signal.
TEST(AsyncSocketDescriptors, WritesNeverRaiseSigpipe) {
  FSFAULT_RUN([](FsFaultChild &child) {
    signal(SIGPIPE, SIG_DFL);
    Thread_Init();
    asyncSocketStart();
    {
      int port = 0;
      int listener = plainListener(&port);

      Owner reset;
      reset.out = pattern(size_t(4) << 20, 1);
      FSF_EXPECT(child, reset.Connect(port));
      int peer = accept(listener, nullptr, nullptr);
      linger abortive{1, 0};
      setsockopt(peer, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
      close(peer);
      AsyncSocket_StartWrite(reset.s);
      FSF_EXPECT(child, Test_WaitUntil([&] { return reset.closes.load() == 1; }, kBoundMs));
      FSF_EXPECT_EQ(child, AsyncSocket_GetError(reset.s), 10054);

      Owner shut;
      shut.out = "after shutdown";
      FSF_EXPECT(child, shut.Connect(port));
      int quiet = accept(listener, nullptr, nullptr);
      FSF_EXPECT_EQ(child, AsyncSocket_ShutdownSend(shut.s), 1);
      AsyncSocket_StartWrite(shut.s);
      FSF_EXPECT(child, Test_WaitUntil([&] { return !AsyncSocket_IsWriting(shut.s); }, kBoundMs));
      FSF_EXPECT_EQ(child, shut.MeterWritten(), uint64_t(0));
      close(quiet);
      close(listener);
    }
    Test_WaitUntil([] { return AsyncSocket_GetInFlightCount() == 0; }, kBoundMs);
    asyncSocketStop();
    Thread_Shutdown();
  });
}

// 50 connections closed mid-transfer: AsyncSocket_Shutdown returns only when
// every loop of both ends has finished.
TEST_F(AsyncSocketPeer, ShutdownWaitsForEveryOperation) {
  Accepted accepted;
  auto listener = std::make_unique<Listener>(&accepted, [](AsyncSocket *l, void *context,
                                                           AsyncSocket *a) {
    auto *self = static_cast<Accepted *>(context);
    Accepted::keep(l, context, a);
    auto *server = new Owner();
    server->endless = true;
    server->keep = false;
    server->Wire(a);
    {
      std::lock_guard<std::mutex> guard(self->lock);
      self->owners.emplace_back(server);
    }
    AsyncSocket_StartRead(a);
    AsyncSocket_StartWrite(a);
    return 1;
  });
  std::vector<std::unique_ptr<Owner>> clients;
  for (int i = 0; i < 50; i++) {
    clients.push_back(std::make_unique<Owner>());
    Owner &c = *clients.back();
    c.endless = true;
    c.keep = false;
    ASSERT_TRUE(c.Connect(listener->port));
    AsyncSocket_StartRead(c.s);
    AsyncSocket_StartWrite(c.s);
  }
  for (auto &c : clients)
    ASSERT_TRUE(Test_WaitUntil([&] { return c->Received() >= 65536; }, kBoundMs));
  AsyncSocket_Close(listener->s);
  for (auto &c : clients) AsyncSocket_Close(c->s);
  std::atomic<bool> done{false};
  std::thread shutdown([&] {
    AsyncSocket_Shutdown();
    done = true;
  });
  bool finished = Test_WaitUntil([&] { return done.load(); }, 30000);
  if (!finished) shutdown.detach();
  ASSERT_TRUE(finished);
  shutdown.join();
  std::vector<AsyncSocket *> all;
  for (auto &c : clients) all.push_back(c->s);
  for (AsyncSocket *a : accepted.sockets) all.push_back(a);
  EXPECT_EQ(all.size(), size_t(100));
  for (AsyncSocket *s : all) {
    EXPECT_EQ(AsyncSocket_IsReading(s), 0);
    EXPECT_EQ(AsyncSocket_IsWriting(s), 0);
  }
  for (auto &c : clients) EXPECT_EQ(c->closes.load(), 1);
  listener.reset();
  clients.clear();
  AsyncSocket_Init();  // for the fixture's shutdown
}

namespace {

// The descriptor-reuse rounds: every byte on a connection carries the low
// byte of the client's port, on both sides.
struct ReuseServer {
  struct Conn {
    ReuseServer *server;
    uint8_t tag;
    int32_t left = 16384;
  };
  std::mutex lock;
  std::vector<std::unique_ptr<Conn>> conns;  // outlive the accepted sockets
  Accepted accepted;
  std::atomic<int> mismatches{0};

  static int accept(AsyncSocket *l, void *context, AsyncSocket *a) {
    auto *self = static_cast<ReuseServer *>(context);
    Accepted::keep(l, &self->accepted, a);
    uint32_t address = 0;
    int32_t port = 0;
    AsyncSocket_GetAddress(a, &address, &port);
    Conn *conn = new Conn{self, uint8_t(port)};
    {
      std::lock_guard<std::mutex> guard(self->lock);
      self->conns.emplace_back(conn);
    }
    AsyncSocket_SetReadSizeCallback(a, conn, [](AsyncSocket *, void *) { return int32_t(4096); });
    AsyncSocket_SetReadCallback(a, conn, [](AsyncSocket *, void *c, const uint8_t *d, int32_t n) {
      auto *conn = static_cast<Conn *>(c);
      for (int32_t i = 0; i < n; i++)
        if (d[i] != conn->tag) conn->server->mismatches++;
    });
    AsyncSocket_SetWriteSizeCallback(a, conn, [](AsyncSocket *, void *c) {
      return static_cast<Conn *>(c)->left;
    });
    AsyncSocket_SetWriteCallback(a, conn, [](AsyncSocket *, void *c, uint8_t *b, int32_t n) {
      auto *conn = static_cast<Conn *>(c);
      memset(b, conn->tag, size_t(n));
      conn->left -= n;
      return n;
    });
    AsyncSocket_StartRead(a);
    AsyncSocket_StartWrite(a);
    return 1;
  }
};

struct ReuseClient {
  AsyncSocket *s = nullptr;
  uint8_t tag = 0;
  int32_t left = 65536;
  std::atomic<int> closes{0}, connects{0}, mismatches{0};
};

}  // namespace

// Close with a read and a write in flight while other threads' new sockets
// take the freed numbers: no byte reaches another connection, and no Close
// or Connect callback runs twice.
TEST_F(AsyncSocketThreaded, CloseWithIoInFlightNeverTouchesTheNextSocket) {
  ReuseServer server;
  Listener listener(&server, ReuseServer::accept);
  constexpr int kThreads = 2, kRounds = 500;
  std::vector<std::unique_ptr<ReuseClient>> clients[kThreads];
  std::atomic<int> failures{0};
  auto run = [&](int thread) {
    for (int round = 0; round < kRounds; round++) {
      auto *c = new ReuseClient();
      clients[thread].emplace_back(c);
      AsyncSocket_Create(&c->s);
      AsyncSocket_SetReadSizeCallback(c->s, c, [](AsyncSocket *, void *) { return int32_t(4096); });
      AsyncSocket_SetReadCallback(c->s, c, [](AsyncSocket *, void *x, const uint8_t *d, int32_t n) {
        auto *c = static_cast<ReuseClient *>(x);
        for (int32_t i = 0; i < n; i++)
          if (d[i] != c->tag) c->mismatches++;
      });
      AsyncSocket_SetWriteSizeCallback(c->s, c, [](AsyncSocket *, void *x) {
        return static_cast<ReuseClient *>(x)->left;
      });
      AsyncSocket_SetWriteCallback(c->s, c, [](AsyncSocket *, void *x, uint8_t *b, int32_t n) {
        auto *c = static_cast<ReuseClient *>(x);
        memset(b, c->tag, size_t(n));
        c->left -= n;
        return n;
      });
      AsyncSocket_SetCloseCallback(c->s, c, [](AsyncSocket *, void *x) {
        static_cast<ReuseClient *>(x)->closes++;
      });
      AsyncSocket_SetConnectCallback(c->s, c, [](AsyncSocket *, void *x, int) {
        static_cast<ReuseClient *>(x)->connects++;
      });
      if (!AsyncSocket_Open(c->s) || !AsyncSocket_Connect(c->s, loopback(), listener.port) ||
          !Test_WaitUntil([&] { return c->connects.load() > 0; }, kBoundMs)) {
        failures++;
        return;
      }
      uint32_t address = 0;
      int32_t port = 0;
      AsyncSocket_GetLocalAddress(c->s, &address, &port);
      c->tag = uint8_t(port);
      AsyncSocket_StartRead(c->s);
      AsyncSocket_StartWrite(c->s);
      AsyncSocket_Close(c->s);
      Class_ReleaseObject(&c->s);
    }
  };
  std::thread threads[kThreads] = {std::thread(run, 0), std::thread(run, 1)};
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_TRUE(Test_WaitUntil([&] { return server.accepted.Count() == kThreads * kRounds; },
                             kBoundMs));
  // Let the server ends see their clients go before counting.
  {
    std::lock_guard<std::mutex> guard(server.accepted.lock);
    for (AsyncSocket *a : server.accepted.sockets)
      EXPECT_TRUE(Test_WaitUntil([&] { return !AsyncSocket_IsReading(a); }, kBoundMs));
  }
  EXPECT_EQ(server.mismatches.load(), 0);
  for (auto &list : clients)
    for (auto &c : list) {
      EXPECT_EQ(c->mismatches.load(), 0);
      EXPECT_EQ(c->closes.load(), 1);
      EXPECT_EQ(c->connects.load(), 1);
    }
  AsyncSocket_Close(listener.s);
  ASSERT_TRUE(Test_WaitUntil([] { return AsyncSocket_GetInFlightCount() == 0; }, kBoundMs));
}
