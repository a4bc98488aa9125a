#include "core/runtime/stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "core/runtime/bufstream.h"
#include "core/runtime/dupstream.h"
#include "core/runtime/memstream.h"
#include "core/runtime/nullstream.h"
#include "core/runtime/print.h"

namespace {

// A scripted peer: a source that hands out its bytes in chunks and records
// what it was asked, and a sink that takes at most a capacity.
struct Probe {
  Stream stream;
  std::string source;
  size_t at = 0;
  int32_t chunk = 0;          // > 0: a read delivers at most this many bytes
  bool stallAtEnd = false;    // the end answers 1 with 0 bytes
  bool lastWithZero = false;  // the last bytes come with the answer 0
  std::vector<int32_t> asked;
  std::string sink;
  size_t sinkCapacity = SIZE_MAX;
  bool writeFails = false;

  Probe() {
    stream = Stream{this,    nullptr, probeWrite, nullptr, probeRead, nullptr, nullptr,
                    nullptr, nullptr, nullptr,    nullptr, nullptr,   0};
  }

  static int probeRead(void *context, void *buffer, int32_t length, int32_t *read) {
    auto *p = static_cast<Probe *>(context);
    p->asked.push_back(length);
    size_t n = std::min(size_t(length), p->source.size() - p->at);
    if (p->chunk > 0) n = std::min(n, size_t(p->chunk));
    memcpy(buffer, p->source.data() + p->at, n);
    p->at += n;
    *read = int32_t(n);
    if (n == 0) return p->stallAtEnd ? 1 : 0;
    return p->lastWithZero && p->at == p->source.size() ? 0 : 1;
  }

  static int probeWrite(void *context, const void *data, int32_t length, int32_t *written) {
    auto *p = static_cast<Probe *>(context);
    if (p->writeFails) return 0;
    size_t n = std::min(size_t(length), p->sinkCapacity - p->sink.size());
    p->sink.append(static_cast<const char *>(data), n);
    *written = int32_t(n);
    return 1;
  }
};

std::string patternBytes(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(length, '\0');
  for (char &c : bytes) c = char(random());
  return bytes;
}

Stream kEmptyRecord = {};

}  // namespace

TEST(StreamDeathTest, NullPointersStop) {
  Stream *none = nullptr;
  char byte = 0;
  int32_t count = 0;
  EXPECT_DEATH(Stream_Write(none, &byte, 1, &count), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Stream_Write(&kEmptyRecord, nullptr, 1, &count), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Stream_Write(&kEmptyRecord, &byte, 1, nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Stream_WriteString(&kEmptyRecord, nullptr, &count), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Stream_Printf(&kEmptyRecord, nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Stream_Read(&kEmptyRecord, nullptr, 1, &count), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Stream_Read(&kEmptyRecord, &byte, 1, nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Stream_Tell(&kEmptyRecord, nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Stream_GetSize(&kEmptyRecord, nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Stream_Copy(none, &kEmptyRecord), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Stream_CopyLength(&kEmptyRecord, none, 1), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Stream_Seek(none, StreamOrigin::Begin, 0), "ABORT - Pointer is NULL\n");
}

TEST(Stream, EmptySlotsAnswerZeroAndClearOutValues) {
  char byte = 'x';
  int32_t count = 77;
  EXPECT_EQ(Stream_Write(&kEmptyRecord, &byte, 1, &count), 0);
  EXPECT_EQ(count, 0);
  count = 77;
  EXPECT_EQ(Stream_WriteString(&kEmptyRecord, "abc", &count), 0);
  EXPECT_EQ(count, 0);
  count = 77;
  EXPECT_EQ(Stream_Read(&kEmptyRecord, &byte, 1, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(byte, 'x');
  EXPECT_EQ(Stream_Seek(&kEmptyRecord, StreamOrigin::Begin, 0), 0);
  uint64_t position = 99;
  EXPECT_EQ(Stream_Tell(&kEmptyRecord, &position), 0);
  EXPECT_EQ(position, 0u);
  int64_t size = 99;
  EXPECT_EQ(Stream_GetSize(&kEmptyRecord, &size), 0);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(Stream_Printf(&kEmptyRecord, "text"), 0);
  EXPECT_EQ(Stream_Printf(&kEmptyRecord, "%s", ""), 1);  // nothing to write
  // A source without Read has nothing to give.
  Probe sink;
  EXPECT_EQ(Stream_Copy(&sink.stream, &kEmptyRecord), 1);
  EXPECT_EQ(Stream_CopyLength(&sink.stream, &kEmptyRecord, 1), 0);
}

TEST(Stream, CopyEndsOnTheSourcesEndAndFailsOnShortWrites) {
  struct Row {
    const char *name;
    size_t length;
    int32_t chunk;
    bool stallAtEnd, lastWithZero, writeFails;
    size_t sinkCapacity;
    int result;
    size_t copied;
  };
  const Row rows[] = {
      {"empty source", 0, 0, false, false, false, SIZE_MAX, 1, 0},
      {"whole chunks", 10000, 0, false, false, false, SIZE_MAX, 1, 10000},
      {"short reads", 10000, 333, false, false, false, SIZE_MAX, 1, 10000},
      {"end answers 1 with 0 bytes", 5000, 0, true, false, false, SIZE_MAX, 1, 5000},
      {"last bytes come with 0", 5000, 0, false, true, false, SIZE_MAX, 1, 5000},
      {"destination takes fewer", 10000, 0, false, false, false, 5000, 0, 5000},
      {"destination fails", 10, 0, false, false, true, SIZE_MAX, 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Probe source, sink;
    source.source = patternBytes(row.length, 7);
    source.chunk = row.chunk;
    source.stallAtEnd = row.stallAtEnd;
    source.lastWithZero = row.lastWithZero;
    sink.sinkCapacity = row.sinkCapacity;
    sink.writeFails = row.writeFails;
    EXPECT_EQ(Stream_Copy(&sink.stream, &source.stream), row.result);
    EXPECT_EQ(sink.sink, source.source.substr(0, row.copied));
    for (int32_t asked : source.asked) EXPECT_EQ(asked, 4096);
  }
}

TEST(Stream, CopyLengthAsksForWhatRemainsInStepsOf16384) {
  struct Row {
    const char *name;
    size_t length;
    int64_t count;
    int32_t chunk;
    bool stallAtEnd;
    size_t sinkCapacity;
    int result;
    std::vector<int32_t> asked;
    size_t copied;
  };
  const Row rows[] = {
      {"40000 in whole chunks", 50000, 40000, 0, false, SIZE_MAX, 1, {16384, 16384, 7232}, 40000},
      {"count 0 reads nothing", 100, 0, 0, false, SIZE_MAX, 1, {}, 0},
      {"negative count", 100, -1, 0, false, SIZE_MAX, 0, {}, 0},
      {"short reads are read again",
       20000,
       20000,
       9000,
       false,
       SIZE_MAX,
       1,
       {16384, 11000, 2000},
       20000},
      {"source ends early", 100, 200, 0, false, SIZE_MAX, 0, {200, 100}, 100},
      {"source stalls", 100, 200, 0, true, SIZE_MAX, 0, {200, 100}, 100},
      {"destination takes fewer", 20000, 20000, 0, false, 10000, 0, {16384}, 10000},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Probe source, sink;
    source.source = patternBytes(row.length, 11);
    source.chunk = row.chunk;
    source.stallAtEnd = row.stallAtEnd;
    sink.sinkCapacity = row.sinkCapacity;
    EXPECT_EQ(Stream_CopyLength(&sink.stream, &source.stream, row.count), row.result);
    EXPECT_EQ(source.asked, row.asked);
    EXPECT_EQ(sink.sink, source.source.substr(0, row.copied));
  }
}

// The utility takes (origin, offset), the slot (offset, origin): a call in
// the other order must not compile.
static_assert(std::is_invocable_v<decltype(&Stream_Seek), Stream *, StreamOrigin, int64_t>);
static_assert(!std::is_invocable_v<decltype(&Stream_Seek), Stream *, int64_t, StreamOrigin>);
static_assert(!std::is_invocable_v<decltype(&Stream_Seek), Stream *, int, int64_t>);
static_assert(std::is_invocable_v<decltype(Stream::Seek), void *, int64_t, StreamOrigin>);
static_assert(!std::is_invocable_v<decltype(Stream::Seek), void *, StreamOrigin, int64_t>);

TEST(Stream, EveryStreamClassIsDestroyedThroughItsHeader) {
  MemoryStream *memory = nullptr;
  BufferedStream *buffered = nullptr;
  NullStream *null = nullptr;
  DupStream *dup = nullptr;
  MemoryStream_Create(&memory);
  BufferedStream_Create(&buffered);
  NullStream_Create(&null);
  DupStream_Create(&dup);
  MemoryStream_EnableGrowth(memory);
  BufferedStream_SetReadBufferSize(buffered, 100);
  DupStream_WriteInbound(dup, "abc", 3);
  void *objects[] = {memory, buffered, null, dup};
  for (void *object : objects) {
    EXPECT_EQ(Class_Retain(object), object);
    void *handle = object;
    EXPECT_EQ(Class_Release(&handle), 1);  // still alive
    EXPECT_EQ(handle, nullptr);
    handle = object;
    EXPECT_EQ(Class_Release(&handle), 0);  // destroyed; ASan sees any leak
  }
}

TEST(Stream, SeekPassesOffsetAndOriginInTheSlotsOrder) {
  MemoryStream *memory = nullptr;
  MemoryStream_Create(&memory);
  MemoryStream_EnableGrowth(memory);
  Stream *stream = nullptr;
  MemoryStream_GetStream(memory, &stream);
  int32_t written = 0;
  ASSERT_EQ(Stream_WriteString(stream, "0123456789", &written), 1);
  EXPECT_EQ(written, 10);
  uint64_t position = 0;
  EXPECT_EQ(Stream_Seek(stream, StreamOrigin::Begin, 3), 1);
  EXPECT_EQ(Stream_Seek(stream, StreamOrigin::Current, 2), 1);
  EXPECT_EQ(Stream_Tell(stream, &position), 1);
  EXPECT_EQ(position, 5u);
  EXPECT_EQ(Stream_Seek(stream, StreamOrigin::End, -4), 1);
  char text[8] = {};
  int32_t read = 0;
  EXPECT_EQ(Stream_Read(stream, text, 7, &read), 1);
  EXPECT_EQ(std::string(text, size_t(read)), "6789");
  int64_t size = 0;
  EXPECT_EQ(Stream_GetSize(stream, &size), 1);
  EXPECT_EQ(size, 10);
  MemoryStream_Release(&memory);
}

namespace {

// Formats whose conversions all take the same argument type, so that a
// generated format can use any number of them with one fixed argument list.
struct ConversionSet {
  const char *name;
  std::vector<const char *> conversions;
};

const ConversionSet kStringConversions = {
    "strings", {"%s", "%8s", "%-6s", "%.2s", "%.0s", "%js", "%S", "%300s", "%.0js"}};
const ConversionSet kIntConversions = {
    "integers", {"%d", "%i", "%u", "%x", "%X", "%o", "%5d", "%-5d", "%05d", "%+d", "%r", "%c"}};
const ConversionSet kInt64Conversions = {"64-bit integers", {"%lld", "%llu", "%llx", "%20lld"}};
const ConversionSet kDoubleConversions = {"doubles", {"%f", "%.3f", "%e", "%g", "%10.2f"}};

std::string generateFormat(std::mt19937 &random, const ConversionSet &set, int conversions) {
  static const char *const kTexts[] = {
      "", "", "a", "key: ", "%%", "\n", " - ", "\xc3\xa9t\xc3\xa9"};
  std::string format;
  for (int i = 0; i < conversions; i++) {
    format += kTexts[random() % (sizeof kTexts / sizeof kTexts[0])];
    if (random() % 16 == 0) format += std::string(5000 + random() % 5000, 'L');  // many pieces
    format += set.conversions[random() % set.conversions.size()];
  }
  format += kTexts[random() % (sizeof kTexts / sizeof kTexts[0])];
  return format;
}

struct PrintfTarget {
  MemoryStream *memory = nullptr;
  Stream *stream = nullptr;
  PrintfTarget() {
    MemoryStream_Create(&memory);
    MemoryStream_EnableGrowth(memory);
    MemoryStream_GetStream(memory, &stream);
  }
  ~PrintfTarget() { MemoryStream_Release(&memory); }
  std::string text() {
    std::string out(size_t(MemoryStream_GetLength(memory)), '\0');
    int32_t read = 0;
    MemoryStream_ReadAt(memory, out.data(), 0, int32_t(out.size()), &read);
    return out;
  }
};

template <typename... A>
void expectPrintfMatches(const std::string &format, A... args) {
  PrintfTarget target;
  ASSERT_EQ(Stream_Printf(target.stream, format.c_str(), args...), 1) << format;
  std::vector<char> expected(1 << 17);
  int length = Str_Printf(expected.data(), int(expected.size()), format.c_str(), args...);
  ASSERT_EQ(target.text(), std::string(expected.data(), size_t(length))) << format;
}

}  // namespace

TEST(Stream, PrintfEqualsStrPrintfForGeneratedFormats) {
  const uint32_t seed = 20260412;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (int i = 0; i < 400; i++) {
    int conversions = int(random() % 5);
    std::string s = generateFormat(random, kStringConversions, conversions);
    expectPrintfMatches(s, "", "tab\tquote\"", "abc", "", "\xc3\xa9t\xc3\xa9");
    std::string d = generateFormat(random, kIntConversions, conversions);
    expectPrintfMatches(d, 0, -17, 42, 1000000, 'z');
    std::string l = generateFormat(random, kInt64Conversions, conversions);
    expectPrintfMatches(l, int64_t(0), int64_t(-1), INT64_MAX, int64_t(1) << 40, int64_t(9));
    std::string f = generateFormat(random, kDoubleConversions, conversions);
    expectPrintfMatches(f, 0.0, -1.5, 3.14159, 1e-7, 123456789.25);
  }
}

TEST(Stream, PrintfHandsOnlyNonEmptyPiecesToWrite) {
  // A memory stream answers 0 to a 0-byte write: a conversion that produces
  // nothing must not turn into a failure.
  PrintfTarget target;
  EXPECT_EQ(Stream_Printf(target.stream, ""), 1);
  EXPECT_EQ(Stream_Printf(target.stream, "%s", ""), 1);
  EXPECT_EQ(Stream_Printf(target.stream, "%s%.0s%js", "", "gone", ""), 1);
  EXPECT_EQ(MemoryStream_GetLength(target.memory), 0);
}

TEST(Stream, PrintfFailsWhenTheStreamTakesFewerBytes) {
  MemoryStream *memory = nullptr;
  MemoryStream_Create(&memory);
  MemoryStream_Resize(memory, 10, 0);  // no growth: writes are cut at 10 bytes
  Stream *stream = nullptr;
  MemoryStream_GetStream(memory, &stream);
  EXPECT_EQ(Stream_Printf(stream, "%s", "0123456789abc"), 0);
  EXPECT_EQ(MemoryStream_GetLength(memory), 10);
  MemoryStream_Release(&memory);

  NullStream *null = nullptr;
  NullStream_Create(&null);
  NullStream_GetStream(null, &stream);
  EXPECT_EQ(Stream_Printf(stream, "%05d|%-4s|%js", 42, "ab", "q\""), 1);
  EXPECT_EQ(NullStream_GetSize(null), int64_t(strlen("00042|ab  |q\\\"")));
  NullStream_Release(&null);
}
