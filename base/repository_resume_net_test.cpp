// A synchronisation killed with SIGKILL and run again: repo_driver runs as
// a child against nginx (throttled per connection, so a kill lands
// mid-copy) serving a tree of tests/synctree.py. The second run must reuse
// what the first left on disk: it fetches at most the bytes the first did
// not receive whole, plus one piece per request slot (pieces received but
// not yet written when the kill came). The local metafile is never cut: it
// is absent (the old state of an empty directory) or the new one, whole.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/dirops_test_util.h"
#include "tests/fsfault.h"
#include "tests/nginx_peer.h"
#include "tests/test_util.h"

namespace {

constexpr long long kPieceBytes = 64 << 10;
constexpr long long kTotalBytes = 6 << 20;
constexpr long long kRequestSlots = 8;  // the storage defaults' "storage.requests"

// repo_driver --log as a child whose standard output the test reads line
// by line, every wait bounded.
class DriverChild {
 public:
  explicit DriverChild(const std::string &run) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      close(fds[0]);
      execl(KEELSON_REPO_DRIVER, KEELSON_REPO_DRIVER, "--log", run.c_str(), (char *)nullptr);
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
  }
  ~DriverChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  DriverChild(const DriverChild &) = delete;
  DriverChild &operator=(const DriverChild &) = delete;

  // Reads until a line holds part; false at the end of output or after
  // boundMs.
  bool WaitFor(const std::string &part, int boundMs = 30000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    for (;;) {
      size_t end;
      while ((end = buffer_.find('\n')) != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        output_ += line + "\n";
        if (line.find(part) != std::string::npos) return true;
      }
      int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                         deadline - std::chrono::steady_clock::now())
                         .count());
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) return false;
      char chunk[4096];
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer_.append(chunk, size_t(n));
    }
  }
  void Kill() { kill(pid_, SIGKILL); }
  // The exit code (-1 for a signal, -2 when it did not end within boundMs).
  int Wait(int boundMs = 60000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      WaitFor("\n", 20);  // keeps the pipe drained
    }
    return -2;
  }
  const std::string &Output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buffer_;
  std::string output_;
};

class RepositoryResumeNetTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!NginxPortsPeer::Available()) return;
    // 256 KiB/s per connection: a 6 MiB run takes about 4 s.
    nginx_ = new NginxPortsPeer(1, "limit_rate 256k;", true);
    if (!nginx_->Started()) return;
    std::string command = "/usr/bin/python3 " KEELSON_TESTS_DIR "/synctree.py " + Root() +
                          " --url-base " + Base() + " --files 24 --total " +
                          std::to_string(kTotalBytes) + " --piece-size " +
                          std::to_string(kPieceBytes) + " --max " + std::to_string(1 << 20) +
                          " >/dev/null";
    ready_ = system(command.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "nginx or the sync tree is not available";
  }
  static std::string Root() { return nginx_->Root() + "/tree"; }
  static std::string Base() { return nginx_->Url(0, "/tree"); }

  std::string RunFile(const std::string &remote) const {
    std::string path = dir_ / "run.json";
    std::ofstream(path) << "{\"repository\":{\"repository\":\"game\",\"remoteId\":\"v1\","
                        << "\"catalog\":\"" << Base() << "/catalog.json\",\"metafile\":\""
                        << LocalMeta() << "\",\"local\":{\"type\":\"file\",\"path\":\""
                        << Install() << "\"},\"remote\":" << remote
                        << "},\"timeoutSeconds\":60}";
    return path;
  }
  std::string Install() const { return dir_ / "install"; }
  std::string LocalMeta() const { return dir_ / "state/meta.json"; }
  // nginx's lines once no new one has come for 300 ms (bounded): a cut
  // answer is logged when nginx notices the closed connection.
  static std::vector<NginxPortsPeer::LogLine> SettledLog() {
    auto lines = nginx_->AccessLog();
    for (int i = 0; i < 50; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      auto again = nginx_->AccessLog();
      if (again.size() == lines.size()) break;
      lines = again;
    }
    return lines;
  }

  static inline NginxPortsPeer *nginx_ = nullptr;
  static inline bool ready_ = false;
  FsFaultTempDir dir_;
};

// Killed once a third of the bytes have been served, or as the metafile
// save begins; the next run completes from what is on disk.
TEST_F(RepositoryResumeNetTest, KilledRunResumes) {
  struct Case {
    const char *name;
    std::string remote;
    const char *killAt;  // a log line of the driver; NULL: a third of the bytes served
    bool oldMeta;        // start from an older local metafile
  };
  const Case cases[] = {
      {"whole files", "{\"type\":\"http\",\"url\":\"" + Base() + "/files/\"}", nullptr,
       false},
      {"plain pieces", "{\"type\":\"httpPiece\",\"url\":\"" + Base() + "/pieces/\",\"flags\":0}",
       nullptr, false},
      {"during the metafile save",
       "{\"type\":\"httpPiece\",\"url\":\"" + Base() + "/pieces/\",\"flags\":0}",
       "Saving metafile", true},
  };
  std::string served = Dirops_ReadFile(Root() + "/meta.json");
  ASSERT_EQ(served.rfind("{\"id\":\"v1\",", 0), 0u);
  std::string older = "{\"id\":\"v0\"" + served.substr(11);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_ / "install");
    std::filesystem::remove_all(dir_ / "state");
    if (c.oldMeta) {
      std::filesystem::create_directories(dir_ / "state");
      Dirops_WriteFile(LocalMeta(), older);
    }
    std::string run = RunFile(c.remote);
    size_t mark = SettledLog().size();
    long long firstWhole = 0;
    {
      DriverChild first(run);
      if (c.killAt != nullptr) {
        ASSERT_TRUE(first.WaitFor(c.killAt)) << first.Output();
      } else {
        ASSERT_TRUE(Test_WaitUntil(
            [&] {
              long long sent = 0;
              auto log = nginx_->AccessLog();
              for (size_t i = mark; i < log.size(); i++) sent += log[i].bytes;
              return sent >= kTotalBytes / 3;
            },
            30000, 10));
      }
      first.Kill();
      EXPECT_EQ(first.Wait(), -1);
    }
    // The local metafile: the old one (none, or the older version's) or
    // the served one, whole.
    if (c.oldMeta || std::filesystem::exists(LocalMeta())) {
      std::string now = Dirops_ReadFile(LocalMeta());
      EXPECT_TRUE(now == served || (c.oldMeta && now == older)) << now.substr(0, 40);
    }
    auto log = SettledLog();
    for (size_t i = mark; i < log.size(); i++)
      if (log[i].complete && log[i].uri.find("/tree/catalog") == std::string::npos &&
          log[i].uri.find("/tree/meta") == std::string::npos)
        firstWhole += log[i].bytes;
    mark = log.size();
    {
      DriverChild second(run);
      ASSERT_TRUE(second.WaitFor("done")) << second.Output();
      EXPECT_EQ(second.Wait(), 0);
    }
    long long secondBytes = 0;
    log = SettledLog();
    for (size_t i = mark; i < log.size(); i++)
      if (log[i].uri.find("/tree/catalog") == std::string::npos &&
          log[i].uri.find("/tree/meta") == std::string::npos)
        secondBytes += log[i].bytes;
    EXPECT_LE(secondBytes, kTotalBytes - firstWhole + kRequestSlots * kPieceBytes)
        << "first run received " << firstWhole << " bytes whole";
    int status = 0;
    std::string check = Test_RunCommand("/usr/bin/python3 " KEELSON_TESTS_DIR "/check_tree.py " +
                                            Root() + "/expected.json " + Install() + " 2>&1",
                                        &status);
    EXPECT_EQ(check, "ok\n");
    EXPECT_EQ(Dirops_ReadFile(LocalMeta()), served);
  }
}

// A run whose phase ends on the configuration error (no "local") exits 1
// and names the error: source 9, index -1, type 5, code 986.
TEST_F(RepositoryResumeNetTest, DriverReportsTheLastError) {
  std::string run = dir_ / "bad.json";
  std::ofstream(run) << "{\"repository\":{\"repository\":\"game\",\"remoteId\":\"v1\","
                     << "\"catalog\":\"" << Base() << "/catalog.json\",\"remote\":{}}}";
  DriverChild child(run);
  EXPECT_TRUE(child.WaitFor("error 9 -1 5 986 0")) << child.Output();
  EXPECT_EQ(child.Wait(), 1);
}

}  // namespace
