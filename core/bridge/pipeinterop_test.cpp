// QVN.Pipe through the bridge with a Python peer on the pipe's socket: reads
// reach the page as "Pipe"."Read" records, Python's base64 checks them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/core_class_page.h"
#include "tests/pipe_peer.h"
#include "tests/test_util.h"

namespace {

class PipeInteropTest : public CoreClassPageTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    Open("QVN.Pipe");
    Observe("Pipe", "Read");
    name_ = "keelson-pipeinterop-" + std::to_string(getpid());
  }
  // The system's Unix sockets, each listed with its file's path.
  static std::string Sockets() {
    std::ifstream in("/proc/net/unix");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string name_;
};

TEST_F(PipeInteropTest, PeerBytesArriveAsBase64ReadsAndWritesReachThePeer) {
  ASSERT_EQ(Call("setName", R"("name":")" + name_ + "\""), R"(1 {"returnValue":true})");
  ASSERT_EQ(Call("start"), R"(1 {"returnValue":true})");
  // The page's pipe polls only once the peer has sent everything, so the
  // reads are cut by the poll's size alone.
  std::string sent = testing::TempDir() + name_ + ".sent";
  unlink(sent.c_str());
  std::string script =
      PipePeer_Script(PipePeer_SocketFile(name_), "open('" + sent + "', 'w').close()\n",
                      "print('closed' if s.recv(16) == b'' else 'open')\n");
  std::string output;
  std::thread python([&] {
    int status = -1;
    output = Test_RunCommand("/usr/bin/python3 -c \"" + script + "\"", &status);
  });
  EXPECT_TRUE(Test_WaitUntil([&] { return access(sent.c_str(), F_OK) == 0; }, 20000, 5));
  unlink(sent.c_str());
  std::vector<std::string> buffers;
  EXPECT_TRUE(Test_WaitUntil([&] {
    Pump();
    for (const std::string &r : Records()) {
      size_t at = r.find(R"("buffer":")");
      if (at == std::string::npos) continue;
      at += strlen(R"("buffer":")");
      buffers.push_back(r.substr(at, r.find('"', at) - at));
    }
    return buffers.size() >= 2;
  }, 20000, 5));
  EXPECT_EQ(Call("write", R"("buffer":"Ynll")"), R"(1 {"returnValue":3})");
  EXPECT_EQ(Call("write", R"("buffer":3)"), R"(0 {"returnValue":0})");
  EXPECT_EQ(Call("write", R"("buffer":"not base64!")"), R"(0 {"returnValue":0})");
  // A second start closes the connection and serves the name again.
  EXPECT_EQ(Call("start"), R"(1 {"returnValue":true})");
  python.join();
  ASSERT_EQ(buffers.size(), 2u);
  EXPECT_EQ(buffers[1].size(), 1208u);  // 904 bytes
  EXPECT_TRUE(output == buffers[0] + "\n" + buffers[1] + "\nbye\nclosed\n")
      << output.size() << " " << buffers[0].size() << " " << buffers[1].size();
  EXPECT_NE(Sockets().find(" " + PipePeer_SocketFile(name_) + "\n"), std::string::npos);
}

TEST_F(PipeInteropTest, SettersAndNamesThatStartRefuses) {
  struct Setting {
    std::string set, params, setAnswer, get, getAnswer;
  } settings[] = {
      {"setBufferSize", R"("bufferSize":8192)", "true", "getBufferSize", "8192"},
      {"setBufferSize", R"("bufferSize":0)", "false", "getBufferSize", "8192"},
      {"setOpenExisting", R"("openExisting":true)", "true", "getOpenExisting", "true"},
      {"setOpenExisting", R"("openExisting":false)", "true", "getOpenExisting", "false"},
      {"setName", R"("name":")" + std::string(320, 'n') + "\"", "false", "getName", R"("")"},
  };
  for (const Setting &c : settings) {
    SCOPED_TRACE(c.set + " " + c.params.substr(0, 30));
    EXPECT_EQ(Call(c.set, c.params), R"(1 {"returnValue":)" + c.setAnswer + "}");
    EXPECT_EQ(Call(c.get), R"(1 {"returnValue":)" + c.getAnswer + "}");
  }
  setenv("KEELSON_PIPEINTEROP_EMPTY", "", 1);
  const std::string names[] = {"../" + name_, "a/" + name_, "." + name_,
                               "{Env:KEELSON_PIPEINTEROP_EMPTY}", "", std::string(200, 'p'),
                               name_ + "\\\\x"};
  for (const std::string &name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Call("setName", R"("name":")" + name + "\""), R"(1 {"returnValue":true})");
    EXPECT_EQ(Call("start"), R"(1 {"returnValue":false})");
  }
  unsetenv("KEELSON_PIPEINTEROP_EMPTY");
  std::string sockets = Sockets();
  EXPECT_EQ(sockets.find(name_), std::string::npos);
  EXPECT_EQ(sockets.find(std::string(200, 'p')), std::string::npos);
}

}  // namespace
