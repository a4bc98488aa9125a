// Pipe with a Python peer in another process, whose base64 module checks the
// "Pipe"."Read" notifications, and with a NamedPipe server end as the peer
// of an open-existing pipe.
#include "core/platform/pipe.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/platform/interopcallback.h"
#include "core/platform/namedpipe.h"
#include "core/platform/notification.h"
#include "tests/pipe_peer.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"

namespace {

constexpr int kBoundMs = 20000;

struct Reads {
  std::vector<std::string> buffers;  // each notification's "buffer"
  std::string instance;
};

int onRead(void *context, const char *, const char *, const char *instance, Dictionary *info) {
  auto *reads = static_cast<Reads *>(context);
  const char *text = nullptr;
  reads->buffers.push_back(
      info != nullptr && Dictionary_GetStringPointerByKey(info, "buffer", &text) ? text : "?");
  reads->instance = instance;
  return 1;
}

class PipeTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    NotificationCenter_Init();
    NotificationCenter_AddInstanceObserver("Pipe", "Read", nullptr, &reads_, onRead);
    Pipe_Create(&pipe_);
    name_ = "keelson-pipe-" + std::to_string(getpid());
    Pipe_SetName(pipe_, name_.c_str());
  }
  void TearDown() override {
    Class_ReleaseObject(&pipe_);
    NotificationCenter_RemoveInstanceObserver("Pipe", "Read", nullptr, &reads_, onRead);
    NotificationCenter_Shutdown();
    ThreadTest::TearDown();
  }
  Pipe *pipe_ = nullptr;
  std::string name_;
  Reads reads_;
};
class PipeDeathTest : public PipeTest {};

}  // namespace

TEST_F(PipeDeathTest, ProgrammingErrorsStop) {
  EXPECT_DEATH(Pipe_Create(nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Pipe_Read(pipe_, nullptr, 0, nullptr), "Pointer is NULL\n");
  uint32_t foreign[32] = {};
  EXPECT_DEATH(Pipe_Poll(reinterpret_cast<Pipe *>(foreign)),
               "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0xd37c58a8");
  EXPECT_DEATH(PipeInterop_FireRead(nullptr, "x", 1), "Pointer is NULL\n");
}

TEST_F(PipeTest, SettersRefuseWhatDoesNotFit) {
  const char *name = nullptr;
  EXPECT_EQ(Pipe_SetName(pipe_, std::string(320, 'n').c_str()), 0);
  Pipe_GetName(pipe_, &name);
  EXPECT_EQ(name, name_);
  EXPECT_EQ(Pipe_SetName(pipe_, std::string(319, 'n').c_str()), 1);
  int32_t size = 0;
  EXPECT_EQ(Pipe_SetBufferSize(pipe_, 8192), 1);
  EXPECT_EQ(Pipe_SetBufferSize(pipe_, 0), 0);
  Pipe_GetBufferSize(pipe_, &size);
  EXPECT_EQ(size, 8192);
}

// 5,000 bytes from the peer arrive as 4,096 and 904 over two polls; the peer
// gets our answer; its end closes the pipe, and then every call answers 0.
TEST_F(PipeTest, PollsFireReadsOfAtMost4096Bytes) {
  ASSERT_EQ(Pipe_Open(pipe_), 1);
  EXPECT_EQ(Pipe_Poll(pipe_), 1);  // no client yet: nothing fired
  std::string script = PipePeer_Script(PipePeer_SocketFile(name_), "", "s.close()\n");
  std::string output;
  std::thread python([&] {
    int status = -1;
    output = Test_RunCommand("/usr/bin/python3 -c \"" + script + "\"", &status);
  });
  int32_t count = 0;
  EXPECT_TRUE(Test_WaitUntil([&] { return Pipe_Peek(pipe_, nullptr, 0, &count) && count == 5000; },
                             kBoundMs));
  EXPECT_EQ(Pipe_Poll(pipe_), 1);
  EXPECT_EQ(Pipe_Poll(pipe_), 1);
  EXPECT_EQ(Pipe_Poll(pipe_), 1);  // nothing left: nothing fired
  EXPECT_EQ(Pipe_Write(pipe_, "bye", 3, &count), 1);
  uint64_t read = 0;
  uint64_t written = 0;
  Pipe_GetByteCounts(pipe_, &read, &written);
  EXPECT_EQ(read, 5000u);
  EXPECT_EQ(written, 3u);
  EXPECT_TRUE(Test_WaitUntil([&] {
    Pipe_Poll(pipe_);
    return !Pipe_IsOpen(pipe_);
  }, kBoundMs));
  python.join();
  ASSERT_EQ(reads_.buffers.size(), 2u);
  EXPECT_EQ(output, reads_.buffers[0] + "\n" + reads_.buffers[1] + "\nbye\n");
  EXPECT_EQ(reads_.buffers[1].size(), 1208u);  // 904 bytes
  EXPECT_EQ(reads_.instance, std::string(reinterpret_cast<const char *>(pipe_)));
  EXPECT_EQ(Pipe_Write(pipe_, "x", 1, &count), 0);
  EXPECT_EQ(Pipe_Read(pipe_, &count, 1, &count), 0);
  EXPECT_EQ(Pipe_Flush(pipe_), 0);
  Pipe_GetByteCounts(pipe_, &read, &written);
  EXPECT_EQ(read, 5000u);
  Pipe_Close(pipe_);
  Pipe_GetByteCounts(pipe_, &read, &written);
  EXPECT_EQ(read + written, 0u);
}

// An open-existing pipe is a client end of "{PipePath}" and the name; opening
// again ends the first connection; the stream record reaches the pipe.
TEST_F(PipeTest, OpenExistingConnectsToTheServedName) {
  Pipe_SetOpenExisting(pipe_, 1);
  EXPECT_EQ(Pipe_Open(pipe_), 0);  // nobody serves it yet
  NamedPipe *server = nullptr;
  ASSERT_EQ(NamedPipe_Create(&server, ("\\\\.\\pipe\\" + name_).c_str(), 0, 0), 1);
  NamedPipe *second = nullptr;
  ASSERT_EQ(NamedPipe_Create(&second, ("\\\\.\\pipe\\" + name_).c_str(), 0, 0), 1);
  ASSERT_EQ(Pipe_Open(pipe_), 1);
  Stream *stream = Pipe_GetStream(pipe_);
  int32_t count = 0;
  EXPECT_EQ(Stream_Write(stream, "one", 3, &count), 1);
  char buffer[8];
  EXPECT_TRUE(Test_WaitUntil([&] { return NamedPipe_Read(server, buffer, 8, &count) && count == 3; },
                             kBoundMs));
  EXPECT_EQ(stream->Flush(stream->context), 1);  // the server took it all
  ASSERT_EQ(Pipe_Open(pipe_), 1);  // again: the first connection ends
  EXPECT_TRUE(Test_WaitUntil([&] { return NamedPipe_Read(server, buffer, 8, &count) == 0; },
                             kBoundMs));
  EXPECT_EQ(Stream_Write(stream, "two", 3, &count), 1);
  EXPECT_TRUE(Test_WaitUntil([&] { return NamedPipe_Read(second, buffer, 8, &count) && count == 3; },
                             kBoundMs));
  EXPECT_EQ(std::string(buffer, 3), "two");
  EXPECT_EQ(stream->Close(stream->context), 1);
  EXPECT_EQ(stream->IsOpen(stream->context), 0);
  NamedPipe_Release(&second);
  NamedPipe_Release(&server);
}

TEST_F(PipeTest, FireReadOfEdgeSizes) {
  EXPECT_EQ(PipeInterop_FireRead("id0", nullptr, 0), 1);
  EXPECT_EQ(PipeInterop_FireRead("id1", "\xff\x00\x01", 3), 1);
  EXPECT_EQ(PipeInterop_FireRead("id2", "x", -1), 0);
  EXPECT_EQ(reads_.buffers, (std::vector<std::string>{"", "/wAB"}));
}
