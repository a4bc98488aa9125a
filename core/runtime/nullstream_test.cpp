#include "core/runtime/nullstream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "core/runtime/bufstream.h"
#include "core/runtime/memstream.h"

namespace {

struct Null {
  NullStream *s = nullptr;
  Stream *stream = nullptr;
  Null() {
    NullStream_Create(&s);
    NullStream_GetStream(s, &stream);
  }
  ~Null() { NullStream_Release(&s); }
  int write(int32_t count) {
    static const char kBytes[64] = {};
    int32_t written = -1;
    int ok = Stream_Write(stream, kBytes, count, &written);
    EXPECT_EQ(written, ok ? count : 0);
    return ok;
  }
  int64_t position() {
    uint64_t at = 0;
    EXPECT_EQ(Stream_Tell(stream, &at), 1);
    return int64_t(at);
  }
};

}  // namespace

TEST(NullStreamDeathTest, InvalidOriginAndWrongObjectsStop) {
  Null null;
  EXPECT_DEATH(Stream_Seek(null.stream, static_cast<StreamOrigin>(7), 0),
               "ABORT - Invalid seek origin \\(7\\)");
  BufferedStream *buffered = nullptr;
  BufferedStream_Create(&buffered);
  EXPECT_DEATH(NullStream_GetSize(reinterpret_cast<NullStream *>(buffered)),
               "ABORT - Class mismatch pointer \\(0x[0-9A-F]+: expected 0x4e756c53 but was "
               "0x42756653\\)\n");
  EXPECT_DEATH(NullStream_GetSize(nullptr), "ABORT - Pointer is NULL\n");
  BufferedStream_Release(&buffered);
}

TEST(NullStream, CountsWritesAndSeeks) {
  Null null;
  EXPECT_EQ(null.write(3), 1);
  EXPECT_EQ(null.write(4), 1);
  EXPECT_EQ(NullStream_GetSize(null.s), 7);
  EXPECT_EQ(null.position(), 7);
  EXPECT_EQ(Stream_Seek(null.stream, StreamOrigin::Begin, 2), 1);
  EXPECT_EQ(null.write(10), 1);
  EXPECT_EQ(NullStream_GetSize(null.s), 12);
  EXPECT_EQ(null.write(0), 1);
  EXPECT_EQ(null.write(-1), 0);
  // The end counts the offset too; a target below 0 is refused.
  EXPECT_EQ(Stream_Seek(null.stream, StreamOrigin::End, -5), 1);
  EXPECT_EQ(null.position(), 7);
  EXPECT_EQ(Stream_Seek(null.stream, StreamOrigin::Current, -8), 0);
  EXPECT_EQ(null.position(), 7);
  EXPECT_EQ(Stream_Seek(null.stream, StreamOrigin::Begin, INT64_MAX), 1);
  EXPECT_EQ(null.write(1), 0);  // would pass 63 bits
  // A write behind the end makes the size reach it, as a file would.
  EXPECT_EQ(Stream_Seek(null.stream, StreamOrigin::End, 8), 1);
  EXPECT_EQ(null.write(2), 1);
  EXPECT_EQ(NullStream_GetSize(null.s), 22);
  EXPECT_EQ(null.stream->Flush(null.stream->context), 1);
  EXPECT_EQ(null.stream->IsOpen(null.stream->context), 1);
  EXPECT_EQ(null.stream->Close(null.stream->context), 1);
  EXPECT_EQ(NullStream_GetSize(null.s), 0);
  EXPECT_EQ(null.position(), 0);
}

TEST(NullStream, ReadCountsWithoutTouchingTheBuffer) {
  Null null;
  char buffer[64];
  memset(buffer, 'q', sizeof buffer);
  int32_t read = 0;
  EXPECT_EQ(Stream_Read(null.stream, buffer, 50, &read), 1);
  EXPECT_EQ(read, 50);
  EXPECT_EQ(null.position(), 50);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'q'));
  int64_t size = -1;
  EXPECT_EQ(Stream_GetSize(null.stream, &size), 1);
  EXPECT_EQ(size, 0);
}

// The writers measure a document with a null stream before they write it:
// the size must be the length that a memory stream ends with.
TEST(NullStream, SizeEqualsTheLengthOfAMemoryStream) {
  const uint32_t seed = 424242;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::string bytes(20000, 'b');
  for (int sequence = 0; sequence < 200; sequence++) {
    Null null;
    MemoryStream *memory = nullptr;
    MemoryStream_Create(&memory);
    MemoryStream_EnableGrowth(memory);
    Stream *record = nullptr;
    MemoryStream_GetStream(memory, &record);
    for (int step = 0; step < 200; step++) {
      int64_t length = MemoryStream_GetLength(memory);
      if (random() % 3 == 0) {
        int origin = int(random() % 3);
        int64_t target = int64_t(random() % uint64_t(length + 1));
        uint64_t at = 0;
        Stream_Tell(record, &at);
        int64_t offset = origin == 0   ? target
                         : origin == 1 ? target - int64_t(at)
                                       : target - length;
        ASSERT_EQ(Stream_Seek(record, static_cast<StreamOrigin>(origin), offset), 1);
        ASSERT_EQ(Stream_Seek(null.stream, static_cast<StreamOrigin>(origin), offset), 1);
      } else {
        int32_t count = int32_t(1 + random() % (random() % 4 == 0 ? 20000 : 40));
        int32_t written = 0;
        ASSERT_EQ(Stream_Write(record, bytes.data(), count, &written), 1);
        ASSERT_EQ(null.write(count), 1);
      }
      ASSERT_EQ(NullStream_GetSize(null.s), MemoryStream_GetLength(memory)) << "step " << step;
    }
    MemoryStream_Release(&memory);
  }
}
