#include "core/runtime/bufstream.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core/runtime/memstream.h"
#include "core/runtime/nullstream.h"
#include "tests/fd_stream.h"

namespace {

constexpr int32_t kBufferBytes = 4096;

std::string randomBytes(std::mt19937 &random, size_t n) {
  std::string bytes(n, '\0');
  for (char &c : bytes) c = char(random());
  return bytes;
}

// A temporary directory, a descriptor stream on one file in it and a
// buffered stream in front of that.
class BufferedStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = Test_MakeTempDirectory();
    ASSERT_FALSE(directory_.empty());
    path_ = directory_ + "/data";
  }
  void TearDown() override {
    if (buffered_ != nullptr) BufferedStream_Release(&buffered_);
    FdStream_Destroy(file_);
    Test_RemoveDirectory(directory_);
  }
  // Opens the file (reading: with the given content) behind a buffered
  // stream whose buffer for that side has kBufferBytes.
  void openForReading(const std::string &content) {
    Test_WriteFile(path_, content);
    file_ = FdStream_OpenRead(path_);
    ASSERT_NE(file_, nullptr);
    attach(true);
  }
  void openForWriting() {
    file_ = FdStream_OpenWrite(path_);
    ASSERT_NE(file_, nullptr);
    attach(false);
  }
  void attach(bool reading) {
    BufferedStream_Create(&buffered_);
    BufferedStream_SetStream(buffered_, &file_->stream);
    if (reading)
      BufferedStream_SetReadBufferSize(buffered_, kBufferBytes);
    else
      BufferedStream_SetWriteBufferSize(buffered_, kBufferBytes);
    BufferedStream_GetStream(buffered_, &stream_);
  }
  std::string read(int32_t count, int expected) {
    std::string out(size_t(count), '\0');
    int32_t got = -1;
    EXPECT_EQ(Stream_Read(stream_, out.data(), count, &got), expected);
    out.resize(size_t(std::max(got, 0)));
    return out;
  }
  int write(const std::string &bytes) {
    int32_t written = -1;
    int ok = Stream_Write(stream_, bytes.data(), int32_t(bytes.size()), &written);
    if (ok) {
      EXPECT_EQ(written, int32_t(bytes.size()));
    }
    return ok;
  }
  int64_t tell() {
    uint64_t position = 0;
    EXPECT_EQ(Stream_Tell(stream_, &position), 1);
    return int64_t(position);
  }

  std::string directory_, path_;
  FdStream *file_ = nullptr;
  BufferedStream *buffered_ = nullptr;
  Stream *stream_ = nullptr;
};

}  // namespace

TEST(BufferedStreamDeathTest, WrongObjectsStop) {
  NullStream *null = nullptr;
  NullStream_Create(&null);
  MemoryStream *memory = nullptr;
  MemoryStream_Create(&memory);
  int32_t count = 0;
  char byte = 0;
  EXPECT_DEATH(BufferedStream_Flush(nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(BufferedStream_Create(nullptr), "ABORT - Pointer is NULL\n");
  // The null stream carries the same tag: the kind word catches it.
  EXPECT_DEATH(BufferedStream_Read(reinterpret_cast<BufferedStream *>(null), &byte, 1, &count),
               "ABORT - Class mismatch pointer \\(0x[0-9A-F]+: expected 0x42756653 but was "
               "0x4e756c53\\)\n");
  EXPECT_DEATH(BufferedStream_Flush(reinterpret_cast<BufferedStream *>(memory)),
               "ABORT - Class mismatch pointer \\(0x[0-9A-F]+: expected 0xfe7794fa but was "
               "0xa2214518\\)\n");
  BufferedStream *buffered = nullptr;
  BufferedStream_Create(&buffered);
  EXPECT_DEATH(BufferedStream_Write(buffered, nullptr, 1, &count), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(BufferedStream_Tell(buffered, nullptr), "ABORT - Pointer is NULL\n");
  BufferedStream_Release(&buffered);
  MemoryStream_Release(&memory);
  NullStream_Release(&null);
}

TEST_F(BufferedStreamTest, ReadingTenThousandBytesTakesThreeFills) {
  std::mt19937 random(1);
  std::string content = randomBytes(random, 10000);
  openForReading(content);
  EXPECT_EQ(read(10000, 1), content);
  EXPECT_EQ(file_->readCalls, 3);  // 4096, 4096 and 1808
  EXPECT_EQ(read(10, 0), "");
  EXPECT_EQ(tell(), 10000);
}

TEST_F(BufferedStreamTest, ReadingPastTheEndDeliversTheTailWithOne) {
  // Copying a file whose length is no multiple of the buffer depends on it.
  std::mt19937 random(2);
  std::string content = randomBytes(random, 10000);
  openForReading(content);
  EXPECT_EQ(read(4000, 1), content.substr(0, 4000));
  EXPECT_EQ(read(8000, 1), content.substr(4000));
  EXPECT_EQ(read(8000, 0), "");
}

TEST_F(BufferedStreamTest, WritingTenThousandBytesFlushesTwice) {
  std::mt19937 random(3);
  std::string content = randomBytes(random, 10000);
  openForWriting();
  ASSERT_EQ(write(content), 1);
  EXPECT_EQ(file_->writeCalls, 2);
  EXPECT_EQ(Test_ReadFile(path_), content.substr(0, 8192));  // 1808 bytes still buffered
  EXPECT_EQ(BufferedStream_Flush(buffered_), 1);
  EXPECT_EQ(Test_ReadFile(path_), content);
  EXPECT_EQ(BufferedStream_Flush(buffered_), 1);  // nothing pending is no failure
  EXPECT_EQ(file_->writeCalls, 3);
}

TEST_F(BufferedStreamTest, AWholeNumberOfBuffersFlushesWithOne) {
  openForWriting();
  ASSERT_EQ(write(std::string(2 * kBufferBytes, 'x')), 1);
  EXPECT_EQ(stream_->Flush(stream_->context), 1);
  EXPECT_EQ(Test_ReadFile(path_).size(), size_t(2 * kBufferBytes));
}

TEST_F(BufferedStreamTest, TellAddsTheBufferedBytesToTheInnerPosition) {
  file_ = FdStream_OpenWrite(path_);
  ASSERT_EQ(Stream_Seek(&file_->stream, StreamOrigin::Begin, 100), 1);
  attach(false);
  ASSERT_EQ(write("12345"), 1);
  EXPECT_EQ(tell(), 105);
}

TEST_F(BufferedStreamTest, SeekBackIntoTheWriteBufferOverwritesAndFlushesOnce) {
  openForWriting();
  ASSERT_EQ(write("0123456789"), 1);
  ASSERT_EQ(Stream_Seek(stream_, StreamOrigin::Begin, 2), 1);
  ASSERT_EQ(write("ab"), 1);
  EXPECT_EQ(tell(), 4);
  EXPECT_EQ(file_->seekCalls, 0);  // moved within the buffer
  ASSERT_EQ(BufferedStream_Flush(buffered_), 1);
  EXPECT_EQ(file_->writeCalls, 1);
  EXPECT_EQ(Test_ReadFile(path_), "01ab456789");
  // The flush keeps the logical position: the next write lands behind "ab".
  EXPECT_EQ(tell(), 4);
  ASSERT_EQ(write("Z"), 1);
  ASSERT_EQ(BufferedStream_Flush(buffered_), 1);
  EXPECT_EQ(Test_ReadFile(path_), "01abZ56789");
}

TEST_F(BufferedStreamTest, SeeksInsideAndOutsideTheReadBuffer) {
  std::mt19937 random(6);
  const std::string content = randomBytes(random, 20000);
  openForReading(content);
  EXPECT_EQ(read(2, 1), content.substr(0, 2));
  struct Row {
    StreamOrigin origin;
    int64_t offset;
  };
  const Row rows[] = {
      {StreamOrigin::End, -4},     {StreamOrigin::Current, -10000},   {StreamOrigin::Current, 100},
      {StreamOrigin::Begin, 1},    {StreamOrigin::Begin, 4000},       {StreamOrigin::End, 0},
      {StreamOrigin::Begin, -1},   {static_cast<StreamOrigin>(9), 0}, {StreamOrigin::End, -20000},
      {StreamOrigin::Current, -1}, {StreamOrigin::Current, -7},       {StreamOrigin::Begin, 4093},
  };
  const int64_t size = int64_t(content.size());
  int64_t position = 2;
  for (const Row &row : rows) {
    SCOPED_TRACE("origin " + std::to_string(int(row.origin)) + " offset " +
                 std::to_string(row.offset));
    int origin = int(row.origin);
    int64_t target = (origin == 0 ? 0 : origin == 1 ? position : size) + row.offset;
    bool valid = origin <= 2 && target >= 0;
    EXPECT_EQ(Stream_Seek(stream_, row.origin, row.offset), valid ? 1 : 0);
    if (valid) position = target;
    EXPECT_EQ(tell(), position);
    std::string expected = content.substr(size_t(std::min(position, size)), 5);
    EXPECT_EQ(read(5, expected.empty() ? 0 : 1), expected);
    position += int64_t(expected.size());
  }
}

TEST_F(BufferedStreamTest, ASeekOutsideTheWriteBufferFlushesFirst) {
  openForWriting();
  ASSERT_EQ(write("abc"), 1);
  ASSERT_EQ(Stream_Seek(stream_, StreamOrigin::Begin, 10), 1);
  EXPECT_EQ(Test_ReadFile(path_), "abc");
  ASSERT_EQ(write("x"), 1);
  EXPECT_EQ(tell(), 11);
  ASSERT_EQ(Stream_Seek(stream_, StreamOrigin::End, -11), 1);
  ASSERT_EQ(write("A"), 1);
  ASSERT_EQ(BufferedStream_Flush(buffered_), 1);
  EXPECT_EQ(Test_ReadFile(path_), std::string("Abc\0\0\0\0\0\0\0x", 11));
}

TEST_F(BufferedStreamTest, ReadingWhileWritesArePendingIsRefused) {
  openForWriting();
  ASSERT_EQ(write("0123456789"), 1);
  ASSERT_EQ(Stream_Seek(stream_, StreamOrigin::Begin, 4), 1);
  EXPECT_EQ(read(3, 0), "");
  ASSERT_EQ(BufferedStream_SetReadBufferSize(buffered_, kBufferBytes), 1);
  EXPECT_EQ(read(3, 0), "");  // still pending: nothing moved the inner stream
  ASSERT_EQ(BufferedStream_Flush(buffered_), 1);
  EXPECT_EQ(read(3, 1), "456");
  ASSERT_EQ(write("X"), 1);  // back to writing at the logical position
  ASSERT_EQ(BufferedStream_Flush(buffered_), 1);
  EXPECT_EQ(Test_ReadFile(path_), "0123456X89");
}

TEST_F(BufferedStreamTest, CopyOfFilesIsByteExact) {
  std::mt19937 random(4);
  for (size_t length : {size_t(0), size_t(1), size_t(4095), size_t(4096), size_t(4097),
                        size_t(5000), size_t(1000000)}) {
    SCOPED_TRACE(length);
    std::string content = randomBytes(random, length);
    if (buffered_ != nullptr) BufferedStream_Release(&buffered_);
    FdStream_Destroy(file_);
    openForReading(content);
    MemoryStream *memory = nullptr;
    MemoryStream_Create(&memory);
    MemoryStream_EnableGrowth(memory);
    Stream *destination = nullptr;
    MemoryStream_GetStream(memory, &destination);
    EXPECT_EQ(Stream_Copy(destination, stream_), 1);
    ASSERT_EQ(size_t(MemoryStream_GetLength(memory)), length);
    uint8_t *bytes = nullptr;
    if (length > 0) {
      MemoryStream_GetBuffer(memory, 0, &bytes);
      EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), length), content);
      MemoryStream_ReleaseBuffer(memory, &bytes);
    }
    MemoryStream_Release(&memory);
  }
}

// Random chunks of 1 to 10000 bytes and random seeks against the file as
// read(2) reads it; Tell after every step against the model position.
TEST_F(BufferedStreamTest, RandomReadsAndSeeksMatchTheFile) {
  for (int32_t innerChunk : {0, 777}) {
    SCOPED_TRACE("inner reads cut at " + std::to_string(innerChunk));
    const uint32_t seed = 99 + uint32_t(innerChunk);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    if (buffered_ != nullptr) BufferedStream_Release(&buffered_);
    FdStream_Destroy(file_);
    openForReading(randomBytes(random, 1 << 20));
    file_->maxReadChunk = innerChunk;
    const std::string oracle = Test_ReadFile(path_);
    const int64_t size = int64_t(oracle.size());
    int64_t position = 0;
    for (int step = 0; step < 3000; step++) {
      if (random() % 8 == 0) {
        int origin = int(random() % 3);
        int64_t target = int64_t(random() % uint64_t(size + 1));
        if (random() % 2 == 0)
          target = std::clamp<int64_t>(position - 5000 + random() % 10000, 0, size);
        int64_t offset = origin == 0 ? target : origin == 1 ? target - position : target - size;
        ASSERT_EQ(Stream_Seek(stream_, static_cast<StreamOrigin>(origin), offset), 1);
        position = target;
      } else {
        int32_t count = int32_t(1 + random() % 10000);
        size_t expected = size_t(std::min<int64_t>(count, size - position));
        ASSERT_EQ(read(count, expected > 0 ? 1 : 0), oracle.substr(size_t(position), expected))
            << "step " << step;
        position += int64_t(expected);
      }
      ASSERT_EQ(tell(), position) << "step " << step;
    }
  }
}

// Writes, seeks (most of them within the write buffer), flushes and reads
// after a flush, against a model of the file; Tell after every step.
TEST_F(BufferedStreamTest, RandomWritesAndSeeksMatchAModelFile) {
  for (int32_t innerChunk : {0, 1000}) {
    SCOPED_TRACE("inner writes cut at " + std::to_string(innerChunk));
    const uint32_t seed = 7 + uint32_t(innerChunk);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    if (buffered_ != nullptr) BufferedStream_Release(&buffered_);
    FdStream_Destroy(file_);
    openForWriting();
    file_->maxWriteChunk = innerChunk;
    BufferedStream_SetReadBufferSize(buffered_, kBufferBytes);
    std::string model;
    int64_t position = 0;
    for (int step = 0; step < 3000; step++) {
      uint32_t op = random() % 100;
      int64_t size = int64_t(model.size());
      if (op < 50) {
        std::string bytes = randomBytes(random, 1 + random() % (op < 25 ? 100 : 10000));
        ASSERT_EQ(write(bytes), 1) << "step " << step;
        if (model.size() < position + bytes.size()) model.resize(position + bytes.size());
        model.replace(size_t(position), bytes.size(), bytes);
        position += int64_t(bytes.size());
      } else if (op < 85) {
        int origin = int(random() % 3);
        int64_t target = op < 75 ? std::max<int64_t>(0, position - int64_t(random() % 200))
                                 : int64_t(random() % uint64_t(size + 1));
        int64_t offset = origin == 0 ? target : origin == 1 ? target - position : target - size;
        ASSERT_EQ(Stream_Seek(stream_, static_cast<StreamOrigin>(origin), offset), 1)
            << "step " << step;
        position = target;
      } else if (op < 93) {
        ASSERT_EQ(BufferedStream_Flush(buffered_), 1) << "step " << step;
      } else {
        ASSERT_EQ(BufferedStream_Flush(buffered_), 1) << "step " << step;
        int32_t count = int32_t(1 + random() % 5000);
        size_t expected = size_t(std::min<int64_t>(count, size - position));
        ASSERT_EQ(read(count, expected > 0 ? 1 : 0), model.substr(size_t(position), expected))
            << "step " << step;
        position += int64_t(expected);
      }
      ASSERT_EQ(tell(), position) << "step " << step;
    }
    ASSERT_EQ(BufferedStream_Flush(buffered_), 1);
    EXPECT_EQ(Test_ReadFile(path_), model);
  }
}

TEST_F(BufferedStreamTest, AFullDiskLosesNoBufferedByte) {
  std::mt19937 random(5);
  std::string content = randomBytes(random, 10000);
  openForWriting();
  file_->writeBudget = 5000;
  int32_t written = 0;
  EXPECT_EQ(Stream_Write(stream_, content.data(), 10000, &written), 0);
  EXPECT_EQ(written, 8192);  // the second buffer was taken, its flush stopped
  EXPECT_EQ(BufferedStream_Flush(buffered_), 0);
  EXPECT_EQ(Test_ReadFile(path_), content.substr(0, 5000));
  EXPECT_EQ(tell(), 8192);
  file_->writeBudget = -1;  // room again
  ASSERT_EQ(write(content.substr(8192)), 1);
  ASSERT_EQ(BufferedStream_Flush(buffered_), 1);
  EXPECT_EQ(Test_ReadFile(path_), content);
}

TEST_F(BufferedStreamTest, AFailedInnerSeekChangesNothing) {
  file_ = FdStream_OpenWrite(path_);  // readable and writable
  int32_t written = 0;
  ASSERT_EQ(Stream_WriteString(&file_->stream, "0123456789abcdef", &written), 1);
  ASSERT_EQ(Stream_Seek(&file_->stream, StreamOrigin::Begin, 0), 1);
  attach(true);
  EXPECT_EQ(read(4, 1), "0123");
  file_->failSeeks = 1;
  EXPECT_EQ(Stream_Seek(stream_, StreamOrigin::Begin, 200), 0);  // outside: needs the inner seek
  EXPECT_EQ(read(2, 1), "45");
  EXPECT_EQ(Stream_Seek(stream_, StreamOrigin::Begin, 12), 1);  // within the buffer
  EXPECT_EQ(read(2, 1), "cd");
  EXPECT_EQ(Stream_Seek(stream_, StreamOrigin::End, 100), 0);
  EXPECT_EQ(tell(), 14);
  // Switching to writing must put the inner stream back behind "9" first.
  EXPECT_EQ(Stream_Seek(stream_, StreamOrigin::Begin, 10), 1);
  EXPECT_EQ(write("X"), 0);
  EXPECT_EQ(read(2, 1), "ab");
  file_->failSeeks = 0;
  BufferedStream_SetWriteBufferSize(buffered_, kBufferBytes);
  EXPECT_EQ(write("X"), 1);
  ASSERT_EQ(BufferedStream_Flush(buffered_), 1);
  EXPECT_EQ(Test_ReadFile(path_), "0123456789abXdef");
}

TEST_F(BufferedStreamTest, CloseFlushesAndClosesTheInnerStream) {
  openForWriting();
  ASSERT_EQ(write("abc"), 1);
  EXPECT_EQ(stream_->IsOpen(stream_->context), 1);
  EXPECT_EQ(stream_->Close(stream_->context), 1);
  EXPECT_EQ(stream_->IsOpen(stream_->context), 0);
  EXPECT_EQ(Test_ReadFile(path_), "abc");
  EXPECT_EQ(stream_->Close(stream_->context), 0);  // the inner stream is closed already

  BufferedStream_Release(&buffered_);
  FdStream_Destroy(file_);
  openForWriting();
  file_->writeBudget = 1;
  ASSERT_EQ(write("abc"), 1);
  EXPECT_EQ(stream_->Close(stream_->context), 0);  // the flush failed
  EXPECT_EQ(stream_->IsOpen(stream_->context), 0);
}

TEST_F(BufferedStreamTest, WithoutBuffersOrInnerStreamNothingMoves) {
  BufferedStream *bare = nullptr;
  BufferedStream_Create(&bare);
  Stream *record = nullptr;
  BufferedStream_GetStream(bare, &record);
  int32_t count = 7;
  char byte = 0;
  uint64_t position = 1;
  EXPECT_EQ(Stream_Read(record, &byte, 1, &count), 0);
  EXPECT_EQ(Stream_Write(record, &byte, 1, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(BufferedStream_Flush(bare), 0);
  EXPECT_EQ(BufferedStream_IsOpen(bare), 0);
  EXPECT_EQ(Stream_Tell(record, &position), 0);
  EXPECT_EQ(Stream_Seek(record, StreamOrigin::Begin, 0), 0);
  // With an inner stream but no buffer for the side.
  openForReading("abc");
  BufferedStream_SetStream(bare, &file_->stream);
  EXPECT_EQ(Stream_Read(record, &byte, 1, &count), 0);
  EXPECT_EQ(Stream_Write(record, &byte, 1, &count), 0);
  EXPECT_EQ(read(3, 1), "abc");  // the inner stream was not touched
  BufferedStream_Release(&bare);
}

TEST_F(BufferedStreamTest, CloseWritesTheEfficiencyLinesOnlyWhenTheClassLogIsOn) {
  Test_LogRecord logRecord;
  uint32_t saved = Debug_Flags();
  // Verbose for every class (level 8): the close lines (level 0) show, the
  // per-byte lines (level 11) do not.
  Core_SetFlags(kCoreFlagWindow | kCoreFlagCtrlVerbose);
  testing::internal::CaptureStderr();
  openForReading("0123456789");
  EXPECT_EQ(read(4, 1), "0123");
  EXPECT_EQ(read(4, 1), "4567");
  stream_->Close(stream_->context);
  std::string log = testing::internal::GetCapturedStderr();
  Core_SetFlags(saved);
  EXPECT_NE(log.find("BufferedStream."), std::string::npos) << log;
  EXPECT_NE(log.find(" - Close\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Read efficiency 66.67%"), std::string::npos) << log;
  EXPECT_EQ(log.find("Read ["), std::string::npos) << log;
}
