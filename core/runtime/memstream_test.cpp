#include "core/runtime/memstream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/runtime/nullstream.h"

namespace {

constexpr int32_t kMax = kMemoryStreamMaximumBytes;

// A stream that frees itself at the end of the test.
struct Memory {
  MemoryStream *s = nullptr;
  explicit Memory(bool growth = false, bool maximum = false) {
    MemoryStream_Create(&s);
    if (growth) MemoryStream_EnableGrowth(s);
    if (maximum) MemoryStream_SetMaximumSize(s);
  }
  ~Memory() {
    if (s != nullptr) MemoryStream_Release(&s);
  }
  int64_t position() {
    uint64_t at = 0;
    MemoryStream_Tell(s, &at);
    return int64_t(at);
  }
  std::string data() {
    std::string out(size_t(MemoryStream_GetLength(s)), '\0');
    int32_t read = 0;
    if (!out.empty()) MemoryStream_ReadAt(s, out.data(), 0, int32_t(out.size()), &read);
    return out;
  }
  int write(const std::string &bytes, int32_t *written) {
    return MemoryStream_Write(s, bytes.data(), int32_t(bytes.size()), written);
  }
  int append(const std::string &bytes) {
    int32_t written = 0;
    return MemoryStream_WriteAppend(s, bytes.data(), int32_t(bytes.size()), &written);
  }
};

int printfAppend(MemoryStream *s, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int ok = MemoryStream_PrintfAppend(s, format, args);
  va_end(args);
  return ok;
}

std::string quoted(const char *text) {
  std::string out;
  for (const char *p = text; *p != '\0'; p++) {
    if (strchr("\\^$.|?*+()[]{}", *p) != nullptr) out += '\\';
    out += *p;
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Fatal paths

TEST(MemoryStreamDeathTest, TransactionMisuseStops) {
  Memory m(true);
  MemoryStream_BeginTransaction(m.s);
  EXPECT_DEATH(MemoryStream_BeginTransaction(m.s),
               quoted("ABORT - Assertion failed (MemoryStream->TransactionStart == -1)\n"
                      "Buffer already in transaction"));
  MemoryStream_EndTransaction(m.s, 0);
  EXPECT_DEATH(MemoryStream_EndTransaction(m.s, 0),
               quoted("ABORT - Assertion failed (MemoryStream->TransactionStart != -1)\n"
                      "Buffer not in transaction"));
}

TEST(MemoryStreamDeathTest, ResetWithABufferReferenceOutStops) {
  Memory m(true);
  m.append("abc");
  uint8_t *first = nullptr, *second = nullptr;
  ASSERT_EQ(MemoryStream_GetBuffer(m.s, 0, &first), 1);
  ASSERT_EQ(MemoryStream_GetBuffer(m.s, 1, &second), 1);
  const char *message =
      "ABORT - Assertion failed (MemoryStream->RefCount == 0)\n"
      "Reference to buffer not released before being reset [2]\n";
  EXPECT_DEATH(MemoryStream_Reset(m.s), quoted(message));
  EXPECT_DEATH(MemoryStream_Release(&m.s), quoted(message));
  EXPECT_DEATH(MemoryStream_Resize(m.s, 100000, 1), quoted(message));  // needs a new buffer
  EXPECT_DEATH(MemoryStream_Attach(m.s, first, 0, 1), quoted(message));
  MemoryStream_ReleaseBuffer(m.s, &first);
  MemoryStream_ReleaseBuffer(m.s, &second);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(MemoryStream_Reset(m.s), 1);
}

TEST(MemoryStreamDeathTest, WrongObjectsStop) {
  NullStream *null = nullptr;
  NullStream_Create(&null);
  auto *notMemory = reinterpret_cast<MemoryStream *>(null);
  Memory m;
  EXPECT_DEATH(MemoryStream_GetLength(nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(MemoryStream_Create(nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(MemoryStream_GetLength(notMemory),
               "ABORT - Class mismatch pointer \\(0x[0-9A-F]+: expected 0xa2214518 but was "
               "0xfe7794fa\\)\n");
  EXPECT_DEATH(MemoryStream_Transfer(m.s, notMemory), "ABORT - Class mismatch pointer");
  int32_t count = 0;
  EXPECT_DEATH(MemoryStream_Write(m.s, nullptr, 1, &count), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(MemoryStream_Read(m.s, nullptr, 1, &count), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(MemoryStream_ReadFront(m.s, nullptr, 1, nullptr), "ABORT - Pointer is NULL\n");
  NullStream_Release(&null);
}

// ---------------------------------------------------------------------------
// Edge cases

TEST(MemoryStream, FirstWritesWithAndWithoutGrowth) {
  Memory fixed;
  int32_t written = 99;
  EXPECT_EQ(fixed.write("0123456789", &written), 0);  // no buffer, no growth
  EXPECT_EQ(written, 0);
  EXPECT_EQ(MemoryStream_IsOpen(fixed.s), 0);

  Memory growing(true);
  EXPECT_EQ(MemoryStream_Write(growing.s, "x", 0, &written), 0);  // 0 bytes: 0, even here
  EXPECT_EQ(MemoryStream_GetCapacity(growing.s), 0);
  EXPECT_EQ(growing.write("0123456789", &written), 1);
  EXPECT_EQ(written, 10);
  EXPECT_EQ(MemoryStream_GetSize(growing.s), 4096);
  EXPECT_EQ(MemoryStream_GetCapacity(growing.s), 4096);
  EXPECT_EQ(MemoryStream_GetLength(growing.s), 10);
  EXPECT_EQ(growing.position(), 10);
  EXPECT_EQ(MemoryStream_IsOpen(growing.s), 1);
}

TEST(MemoryStream, ResizeAllocatesHalfAgainAndStopsAtTheMaximum) {
  struct Row {
    bool maximum;
    int32_t first, second;
    int32_t capacity, size;
  };
  const Row rows[] = {
      {false, 4096, 5000, 7500, 5000},
      {false, 4096, 100, 4096, 100},  // the buffer stays
      {true, 4096, 1000000, kMax, 1000000},
      {true, 4096, 2000000, kMax, kMax},   // Size never passes the capacity
      {true, kMax, kMax + 1, kMax, kMax},  // at the maximum: the buffer stays
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.first) + " -> " + std::to_string(row.second));
    Memory m(false, row.maximum);
    ASSERT_EQ(MemoryStream_Resize(m.s, row.first, 1), 1);
    EXPECT_EQ(MemoryStream_GetCapacity(m.s), row.first);
    ASSERT_EQ(MemoryStream_Resize(m.s, row.second, 1), 1);
    EXPECT_EQ(MemoryStream_GetCapacity(m.s), row.capacity);
    EXPECT_EQ(MemoryStream_GetSize(m.s), row.size);
  }
}

TEST(MemoryStream, WritesIntoACappedQueueAreCutAtTheMaximum) {
  // The room is checked again after growing: a cut, never a write past the
  // buffer.
  Memory m(true, true);
  std::string big(kMax - 10, 'a');
  ASSERT_EQ(m.append(big), 1);
  int32_t written = 0;
  EXPECT_EQ(MemoryStream_WriteAppend(m.s, std::string(100, 'b').data(), 100, &written), 1);
  EXPECT_EQ(written, 10);
  EXPECT_EQ(MemoryStream_GetLength(m.s), kMax);
  EXPECT_EQ(MemoryStream_WriteAppend(m.s, "c", 1, &written), 0);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(printfAppend(m.s, "%s", "d"), 0);
  EXPECT_EQ(MemoryStream_GetSpace(m.s), 0);
  EXPECT_LE(MemoryStream_GetCapacity(m.s), kMax);
}

TEST(MemoryStream, GrowthPastThirtyTwoBitsAnswersZero) {
  Memory m(true);
  m.append("0123456789");
  ASSERT_EQ(MemoryStream_Seek(m.s, 5, StreamOrigin::Begin), 1);
  // The request would pass INT32_MAX; nothing is read from the data.
  const char tiny[1] = {'x'};
  int32_t written = 7;
  EXPECT_EQ(MemoryStream_Write(m.s, tiny, INT32_MAX, &written), 0);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(m.data(), "0123456789");
  EXPECT_EQ(m.position(), 5);
}

TEST(MemoryStream, SeekChecksEveryOrigin) {
  struct Row {
    StreamOrigin origin;
    int64_t offset;
    int result;
    int64_t position;  // from position 4 of 10 bytes
  };
  const Row rows[] = {
      {StreamOrigin::Begin, 10, 1, 10},        {StreamOrigin::Begin, 11, 0, 4},
      {StreamOrigin::Begin, -1, 0, 4},         {StreamOrigin::Current, 3, 1, 7},
      {StreamOrigin::Current, -5, 0, 4},       {StreamOrigin::Current, INT64_MAX, 0, 4},
      {StreamOrigin::End, 0, 1, 10},           {StreamOrigin::End, -4, 1, 6},
      {StreamOrigin::End, 100, 0, 4},          {StreamOrigin::End, -11, 0, 4},
      {static_cast<StreamOrigin>(3), 0, 0, 4},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE("origin " + std::to_string(int(row.origin)) + " offset " +
                 std::to_string(row.offset));
    Memory m(true);
    m.append("0123456789");
    ASSERT_EQ(MemoryStream_Seek(m.s, 4, StreamOrigin::Begin), 1);
    EXPECT_EQ(MemoryStream_Seek(m.s, row.offset, row.origin), row.result);
    EXPECT_EQ(m.position(), row.position);
  }
}

TEST(MemoryStream, RemovalClampsToTheData) {
  struct Row {
    const char *operation;
    int32_t count;
    int result;
    const char *left;
    int64_t position;  // from position 5 of "abcdef"
    int32_t read;
  };
  const Row rows[] = {
      {"discard", 3, 1, "def", 3, 0},       {"discard", 6, 0, "", 0, 0},
      {"discard", 100, 0, "", 0, 0},        {"truncate", 2, 1, "abcd", 4, 0},
      {"truncate", 100, 1, "", 0, 0},       {"readfront", 4, 1, "ef", 2, 4},
      {"readfront", 100, 1, "", 0, 6},      {"readfront null", 3, 1, "def", 3, 3},
      {"readfront null", 100, 1, "", 0, 6},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.operation) + " " + std::to_string(row.count));
    Memory m(true);
    m.append("abcdef");
    MemoryStream_Seek(m.s, 5, StreamOrigin::Begin);
    std::string operation = row.operation;
    int32_t read = 0;
    char buffer[128] = {};
    int result = operation == "discard"    ? MemoryStream_Discard(m.s, row.count)
                 : operation == "truncate" ? MemoryStream_Truncate(m.s, row.count)
                 : operation == "readfront"
                     ? MemoryStream_ReadFront(m.s, buffer, row.count, &read)
                     : MemoryStream_ReadFront(m.s, nullptr, row.count, &read);
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(m.data(), row.left);
    EXPECT_EQ(m.position(), row.position);
    EXPECT_EQ(read, row.read);
    if (operation == "readfront") {
      EXPECT_EQ(std::string(buffer), std::string("abcdef", size_t(read)));
    }
  }
}

TEST(MemoryStream, ReadsOutsideTheDataCopyNothing) {
  Memory m(true);
  m.append("abc");
  char buffer[8] = {'-', '-', '-', '-', '-', '-', '-', '-'};
  int32_t read = 9;
  for (int64_t offset : {int64_t(3), int64_t(4), int64_t(1) << 40, int64_t(-1)}) {
    SCOPED_TRACE(offset);
    EXPECT_EQ(MemoryStream_ReadAt(m.s, buffer, offset, 8, &read), 0);
    EXPECT_EQ(read, 0);
  }
  EXPECT_EQ(buffer[0], '-');
  MemoryStream_Empty(m.s);
  EXPECT_EQ(MemoryStream_ReadFront(m.s, buffer, 8, &read), 0);
  EXPECT_EQ(read, 0);
}

TEST(MemoryStream, ResetAndCloseForgetTheData) {
  // Reset is also the Close slot: a read after it finds no data instead of a
  // freed buffer.
  Memory m(true);
  m.append("abcdef");
  Stream *record = nullptr;
  MemoryStream_GetStream(m.s, &record);
  ASSERT_EQ(record->Close(record->context), 1);
  EXPECT_EQ(MemoryStream_GetLength(m.s), 0);
  EXPECT_EQ(MemoryStream_GetCapacity(m.s), 0);
  EXPECT_EQ(MemoryStream_IsOpen(m.s), 0);
  char buffer[8];
  int32_t read = 0;
  EXPECT_EQ(Stream_Read(record, buffer, 8, &read), 0);
  EXPECT_EQ(read, 0);
  uint8_t *pointer = nullptr;
  EXPECT_EQ(MemoryStream_GetBuffer(m.s, 0, &pointer), 0);
  EXPECT_EQ(MemoryStream_GetBuffer(m.s, 16, &pointer), 0);
  EXPECT_EQ(pointer, nullptr);
  // Growth brings it back.
  EXPECT_EQ(m.append("xy"), 1);
  EXPECT_EQ(m.data(), "xy");
}

TEST(MemoryStream, PrintfAppendLeavesAZeroByteBehindTheData) {
  Memory m(true);
  m.append("ab");
  MemoryStream_Seek(m.s, 1, StreamOrigin::Begin);
  ASSERT_EQ(printfAppend(m.s, "%s-%d", "abc", 7), 1);
  EXPECT_EQ(m.data(), "ababc-7");
  EXPECT_EQ(m.position(), 1);
  uint8_t *pointer = nullptr;
  ASSERT_EQ(MemoryStream_GetBuffer(m.s, 0, &pointer), 1);
  EXPECT_EQ(pointer[7], 0);
  MemoryStream_ReleaseBuffer(m.s, &pointer);
  EXPECT_EQ(printfAppend(m.s, "%s", ""), 1);  // nothing to add
  EXPECT_EQ(MemoryStream_GetLength(m.s), 7);

  Memory fixed;
  MemoryStream_Resize(fixed.s, 4, 0);
  EXPECT_EQ(printfAppend(fixed.s, "abcd"), 0);  // no room for the zero byte
  EXPECT_EQ(printfAppend(fixed.s, "abc"), 1);
  EXPECT_EQ(fixed.data(), "abc");
}

TEST(MemoryStream, ReservedRoomBecomesDataOnlyWhenCommitted) {
  struct Case {
    const char *name;
    int32_t reserve;
    int32_t commit;
    bool moveFront;  // the data moves between reserve and commit
    int commitResult;
    const char *data;
  };
  const Case cases[] = {
      {"all", 5, 5, false, 1, "abcdefgh"},
      {"part", 5, 2, false, 1, "abcde"},
      {"none", 5, 0, false, 1, "abc"},
      {"past the room", 5, 1 << 20, false, 0, "abc"},
      {"stale", 5, 5, true, 0, "bc"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Memory m(true, true);
    m.append("abc");
    uint8_t *room = nullptr;
    ASSERT_EQ(MemoryStream_ReserveAppend(m.s, c.reserve, &room), 1);
    ASSERT_NE(room, nullptr);
    EXPECT_EQ(MemoryStream_GetLength(m.s), 3);
    memcpy(room, "defgh", 5);
    if (c.moveFront) MemoryStream_Discard(m.s, 1);
    EXPECT_EQ(MemoryStream_CommitAppend(m.s, &room, c.commit), c.commitResult);
    EXPECT_EQ(room, nullptr);
    EXPECT_EQ(m.data(), c.data);
    MemoryStream_Reset(m.s);  // stops if the reference was kept
  }
  Memory fixed;
  uint8_t *room = nullptr;
  EXPECT_EQ(MemoryStream_ReserveAppend(fixed.s, 1, &room), 0);  // no buffer, no growth
  Memory capped(true, true);
  std::string full(size_t(kMax - 10), 'x');
  capped.append(full);
  EXPECT_EQ(MemoryStream_ReserveAppend(capped.s, 11, &room), 0);
  EXPECT_EQ(room, nullptr);
  EXPECT_EQ(MemoryStream_ReserveAppend(capped.s, 10, &room), 1);
  EXPECT_EQ(MemoryStream_CommitAppend(capped.s, &room, 10), 1);
  EXPECT_EQ(MemoryStream_GetLength(capped.s), kMax);
}

TEST(MemoryStream, TransactionsRollBackToTheMark) {
  for (int rollback : {0, 1}) {
    SCOPED_TRACE(rollback);
    Memory m(true);
    m.append(std::string(10, 'a'));
    MemoryStream_Seek(m.s, 0, StreamOrigin::End);
    ASSERT_EQ(MemoryStream_BeginTransaction(m.s), 1);
    m.append("bbbbb");
    int32_t written = 0;
    m.write("ccccc", &written);  // at the position, which stays at 10
    ASSERT_EQ(MemoryStream_Seek(m.s, 0, StreamOrigin::End), 1);
    ASSERT_EQ(MemoryStream_EndTransaction(m.s, rollback), 1);
    EXPECT_EQ(MemoryStream_GetLength(m.s), rollback ? 10 : 15);
    EXPECT_EQ(m.position(), rollback ? 10 : 15);  // clamped into the data
  }
}

TEST(MemoryStream, AttachServesTheCallersBufferWithoutGrowing) {
  char text[16] = "hello";
  Memory m(true);
  ASSERT_EQ(MemoryStream_Attach(m.s, text, 5, 8), 1);
  EXPECT_EQ(m.data(), "hello");
  EXPECT_EQ(MemoryStream_Resize(m.s, 100, 1), 0);
  EXPECT_EQ(m.append("!!!!"), 1);  // cut at the buffer's 8 bytes
  EXPECT_EQ(m.data(), "hello!!!");
  EXPECT_EQ(m.append("?"), 0);
  EXPECT_EQ(MemoryStream_Attach(m.s, text, 9, 8), 0);  // more data than buffer
  EXPECT_EQ(MemoryStream_Attach(m.s, nullptr, 0, 0), 1);
  EXPECT_EQ(MemoryStream_GetLength(m.s), 0);
  EXPECT_EQ(std::string(text), "hello!!!");  // not freed, not changed
}

TEST(MemoryStream, TransferMovesWhatTheDestinationHasSpaceFor) {
  struct Row {
    const char *name;
    int32_t source, destination;
    bool destinationMaximum;
    int result;
    int32_t moved;
  };
  const Row rows[] = {
      {"100 of space", 300, kMax - 100, true, 1, 100},
      {"all of it", 300, 0, true, 1, 300},
      {"no space left", 300, kMax, true, 0, 0},
      {"empty source", 0, 10, true, 1, 0},
      {"empty source, full destination", 0, kMax, true, 0, 0},
      {"no maximum", 300, 5000, false, 1, 300},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Memory source(true), destination(true, row.destinationMaximum);
    std::string bytes(size_t(row.source), '\0');
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = char(i * 7);
    if (row.source > 0) source.append(bytes);
    if (row.destination > 0) destination.append(std::string(size_t(row.destination), 'd'));
    EXPECT_EQ(MemoryStream_Transfer(destination.s, source.s), row.result);
    EXPECT_EQ(MemoryStream_GetLength(destination.s), row.destination + row.moved);
    EXPECT_EQ(source.data(), bytes.substr(size_t(row.moved)));
    EXPECT_EQ(destination.data().substr(size_t(row.destination)),
              bytes.substr(0, size_t(row.moved)));
  }
  Memory self(true);
  self.append("abc");
  EXPECT_EQ(MemoryStream_Transfer(self.s, self.s), 0);
  EXPECT_EQ(self.data(), "abc");
}

TEST(MemoryStream, LockAnswersOnlyForThreadSafeStreams) {
  Memory m;
  EXPECT_EQ(MemoryStream_Lock(m.s), 0);
  EXPECT_EQ(MemoryStream_Unlock(m.s), 0);
  MemoryStream_MakeThreadSafe(m.s);
  MemoryStream_MakeThreadSafe(m.s);  // one lock, made once
  EXPECT_EQ(MemoryStream_Lock(m.s), 1);
  EXPECT_EQ(MemoryStream_Lock(m.s), 1);  // re-entrant
  EXPECT_EQ(MemoryStream_Unlock(m.s), 1);
  EXPECT_EQ(MemoryStream_Unlock(m.s), 1);
}

// ---------------------------------------------------------------------------
// Against a std::string model

namespace {

struct ModelConfig {
  const char *name;
  bool growth;
  bool maximum;
};

// One stream and its model: the data, the position and the open transaction.
struct Modelled {
  ModelConfig config;
  Memory memory;
  std::string data;
  int64_t position = 0;
  int32_t transactionStart = -1;

  explicit Modelled(const ModelConfig &c) : config(c), memory(c.growth, c.maximum) {}

  // Bytes that a write of count at offset may take: growth makes room up to
  // the maximum; without growth the write is cut at Size.
  int32_t expectedWrite(int64_t offset, int32_t count) {
    int64_t limit =
        config.growth ? (config.maximum ? kMax : INT64_MAX) : MemoryStream_GetSize(memory.s);
    return int32_t(std::max<int64_t>(0, std::min<int64_t>(count, limit - offset)));
  }
  bool printfFits(int64_t n) {
    int64_t limit =
        config.growth ? (config.maximum ? kMax : INT64_MAX) : MemoryStream_GetSize(memory.s);
    return data.size() + n + 1 <= uint64_t(limit);
  }
  void put(int64_t offset, const std::string &bytes) {
    if (data.size() < offset + bytes.size()) data.resize(offset + bytes.size());
    data.replace(size_t(offset), bytes.size(), bytes);
  }
  void clampPosition() { position = std::min<int64_t>(position, int64_t(data.size())); }
  void dropFront(size_t n) {
    data.erase(0, n);
    clampPosition();
  }
};

void PrintTo(const ModelConfig &config, std::ostream *out) { *out << config.name; }

class MemoryStreamModelTest : public ::testing::TestWithParam<ModelConfig> {};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kModelSteps = 250000;  // the sanitizers make each step ten times dearer
#else
constexpr int kModelSteps = 1000000;
#endif
constexpr size_t kSoftLength = 160 * 1024;  // past it, removals are favoured
constexpr int kPhaseSteps = 20000;
constexpr int kFillSteps = 400;              // the last steps of each phase
constexpr size_t kFillLength = 1300 * 1024;  // what the fill phase aims at

int32_t randomCount(std::mt19937 &random) {
  uint32_t r = random() % 100;
  if (r < 60) return int32_t(1 + random() % 64);
  if (r < 90) return int32_t(1 + random() % 4096);
  if (r < 99) return int32_t(1 + random() % 65536);
  return int32_t(1 + random() % 400000);
}

// Random bytes cut from one random pool: cheap enough for writes of 400 KB.
std::string randomBytes(std::mt19937 &random, size_t n) {
  static const std::string pool = [] {
    std::mt19937 fill(5);
    std::string bytes(1 << 20, '\0');
    for (char &c : bytes) c = char(fill());
    return bytes;
  }();
  return pool.substr(random() % (pool.size() - n + 1), n);
}

// The checks after every step.
void checkAgainstModel(Modelled &m) {
  MemoryStream *s = m.memory.s;
  int32_t length = MemoryStream_GetLength(s);
  ASSERT_EQ(size_t(length), m.data.size());
  ASSERT_EQ(m.memory.position(), m.position);
  int32_t size = MemoryStream_GetSize(s), capacity = MemoryStream_GetCapacity(s);
  ASSERT_TRUE(0 <= m.position && m.position <= length && length <= size && size <= capacity)
      << m.position << " " << length << " " << size << " " << capacity;
  if (m.config.maximum) {
    ASSERT_LE(capacity, kMax);
  }
  if (length > 0) {
    uint8_t *bytes = nullptr;
    ASSERT_EQ(MemoryStream_GetBuffer(s, 0, &bytes), 1);
    bool same = memcmp(bytes, m.data.data(), m.data.size()) == 0;
    MemoryStream_ReleaseBuffer(s, &bytes);
    ASSERT_TRUE(same);
  }
}

void stepWrite(std::mt19937 &random, Modelled &m, bool append) {
  std::string bytes = randomBytes(random, size_t(randomCount(random)));
  int64_t offset = append ? int64_t(m.data.size()) : m.position;
  int32_t expected = m.expectedWrite(offset, int32_t(bytes.size()));
  int32_t written = -1;
  int result =
      append ? MemoryStream_WriteAppend(m.memory.s, bytes.data(), int32_t(bytes.size()), &written)
             : MemoryStream_Write(m.memory.s, bytes.data(), int32_t(bytes.size()), &written);
  ASSERT_EQ(written, expected);
  ASSERT_EQ(result, expected > 0 ? 1 : 0);
  m.put(offset, bytes.substr(0, size_t(expected)));
  if (!append) m.position += expected;
}

void stepPrintf(std::mt19937 &random, Modelled &m) {
  std::string text = randomBytes(random, random() % 6000);
  for (char &c : text) c = char('a' + uint8_t(c) % 26);
  bool fits = text.empty() || m.printfFits(int64_t(text.size()));
  ASSERT_EQ(printfAppend(m.memory.s, "%s", text.c_str()), fits ? 1 : 0);
  if (!fits || text.empty()) return;
  m.data += text;
  uint8_t *bytes = nullptr;
  ASSERT_EQ(MemoryStream_GetBuffer(m.memory.s, int32_t(m.data.size()), &bytes), 1);
  EXPECT_EQ(*bytes, 0);
  MemoryStream_ReleaseBuffer(m.memory.s, &bytes);
}

void stepRead(std::mt19937 &random, Modelled &m, int how) {
  int32_t count = randomCount(random);
  std::vector<char> buffer(static_cast<size_t>(count));
  int32_t read = -1;
  int64_t length = int64_t(m.data.size());
  if (how == 0) {  // Read at the position
    int32_t n = int32_t(std::max<int64_t>(0, std::min<int64_t>(count, length - m.position)));
    ASSERT_EQ(MemoryStream_Read(m.memory.s, buffer.data(), count, &read), n > 0 ? 1 : 0);
    ASSERT_EQ(read, n);
    ASSERT_EQ(std::string(buffer.data(), size_t(n)), m.data.substr(size_t(m.position), size_t(n)));
    m.position += n;
  } else if (how == 1) {  // ReadAt anywhere, also outside the data
    int64_t offset = int64_t(random() % uint32_t(length + 100)) - 10;
    int32_t n =
        offset < 0 ? 0 : int32_t(std::max<int64_t>(0, std::min<int64_t>(count, length - offset)));
    ASSERT_EQ(MemoryStream_ReadAt(m.memory.s, buffer.data(), offset, count, &read), n > 0 ? 1 : 0);
    ASSERT_EQ(read, n);
    if (n > 0) {
      ASSERT_EQ(std::string(buffer.data(), size_t(n)), m.data.substr(size_t(offset), size_t(n)));
    }
  } else if (how == 2) {  // ReadFront into a buffer
    int32_t n = int32_t(std::min<int64_t>(count, length));
    ASSERT_EQ(MemoryStream_ReadFront(m.memory.s, buffer.data(), count, &read), n > 0 ? 1 : 0);
    ASSERT_EQ(read, n);
    ASSERT_EQ(std::string(buffer.data(), size_t(n)), m.data.substr(0, size_t(n)));
    m.dropFront(size_t(n));
  } else {  // ReadFront that only drops
    int32_t n = int32_t(std::min<int64_t>(count, length));
    ASSERT_EQ(MemoryStream_ReadFront(m.memory.s, nullptr, count, &read), 1);
    ASSERT_EQ(read, n);
    m.dropFront(size_t(n));
  }
}

void stepRemove(std::mt19937 &random, Modelled &m, bool fromFront) {
  int32_t count = randomCount(random);
  if (random() % 4 == 0) count = int32_t(m.data.size() + random() % 10);
  size_t n = std::min(size_t(count), m.data.size());
  if (fromFront) {
    m.dropFront(n);
    ASSERT_EQ(MemoryStream_Discard(m.memory.s, count), m.data.empty() ? 0 : 1);
  } else {
    m.data.resize(m.data.size() - n);
    m.clampPosition();
    ASSERT_EQ(MemoryStream_Truncate(m.memory.s, count), 1);
  }
}

void stepSeek(std::mt19937 &random, Modelled &m) {
  int64_t length = int64_t(m.data.size());
  int origin = int(random() % 7);
  if (origin > 3) origin = int(random() % 3);
  int64_t offset = int64_t(random() % uint64_t(2 * length + 21)) - length - 10;
  if (random() % 8 == 0) offset = 0;
  int64_t base = origin == 0 ? 0 : origin == 1 ? m.position : length;
  bool valid = origin < 3 && base + offset >= 0 && base + offset <= length;
  ASSERT_EQ(MemoryStream_Seek(m.memory.s, offset, static_cast<StreamOrigin>(origin)),
            valid ? 1 : 0);
  if (valid) m.position = base + offset;
}

void stepResize(std::mt19937 &random, Modelled &m, int32_t size) {
  int keep = random() % 4 != 0;
  int32_t capacityBefore = MemoryStream_GetCapacity(m.memory.s);
  ASSERT_EQ(MemoryStream_Resize(m.memory.s, size, keep), 1);
  int32_t expectedSize = m.config.maximum ? std::min(size, std::max(capacityBefore, kMax)) : size;
  ASSERT_EQ(MemoryStream_GetSize(m.memory.s), expectedSize);
  ASSERT_EQ(MemoryStream_IsOpen(m.memory.s), size > 0 ? 1 : 0);
  if (!keep || size == 0) {
    m.data.clear();
    m.position = 0;
  } else {
    m.data.resize(std::min(m.data.size(), size_t(expectedSize)));
    m.clampPosition();
  }
}

int32_t randomResize(std::mt19937 &random) {
  if (random() % 16 == 0) return 0;
  if (random() % 64 == 0) return 2000000;
  return int32_t(random() % 300000);
}

void stepTransaction(std::mt19937 &random, Modelled &m) {
  if (m.transactionStart < 0) {
    ASSERT_EQ(MemoryStream_BeginTransaction(m.memory.s), 1);
    m.transactionStart = int32_t(m.data.size());
    return;
  }
  int rollback = int(random() % 2);
  ASSERT_EQ(MemoryStream_EndTransaction(m.memory.s, rollback), 1);
  if (rollback && size_t(m.transactionStart) <= m.data.size()) {
    m.data.resize(size_t(m.transactionStart));
    m.clampPosition();
  }
  m.transactionStart = -1;
}

void stepTransfer(std::mt19937 &random, Modelled &into, Modelled &from, bool feedSource) {
  if (feedSource && random() % 2 == 0) {  // the peer has growth and no maximum
    std::string bytes = randomBytes(random, size_t(randomCount(random)));
    ASSERT_EQ(from.memory.append(bytes), 1);
    from.data += bytes;
  }
  int64_t space =
      into.config.maximum ? std::max<int64_t>(0, kMax - int64_t(into.data.size())) : INT64_MAX;
  int expectedResult;
  int32_t moved = 0;
  if (from.data.empty()) {
    expectedResult = space > 0 ? 1 : 0;
  } else {
    int32_t count = int32_t(std::min<int64_t>(int64_t(from.data.size()), space));
    moved = count > 0 ? into.expectedWrite(int64_t(into.data.size()), count) : 0;
    expectedResult = moved > 0 ? 1 : 0;
  }
  ASSERT_EQ(MemoryStream_Transfer(into.memory.s, from.memory.s), expectedResult);
  into.data += from.data.substr(0, size_t(moved));
  from.dropFront(size_t(moved));
}

void runModel(const ModelConfig &config, uint32_t seed) {
  SCOPED_TRACE(std::string(config.name) + " seed " + std::to_string(seed));
  std::mt19937 random(seed);
  Modelled m(config);
  Modelled peer({"peer", true, false});
  for (int step = 0; step < kModelSteps; step++) {
    uint32_t op = random() % 100;
    // Keep the data moderate so that comparing it every step stays cheap,
    // except in one phase of every kPhaseSteps that fills it past the
    // maximum.
    bool fillPhase = step % kPhaseSteps >= kPhaseSteps - kFillSteps;
    if (fillPhase && m.data.size() < kFillLength && random() % 3 == 0) {
      if (!config.growth && random() % 4 == 0) {
        stepResize(random, m, kMax + int32_t(random() % 100000));
      } else {
        std::string bytes = randomBytes(random, 65536 + random() % 400000);
        int32_t expected = m.expectedWrite(int64_t(m.data.size()), int32_t(bytes.size()));
        int32_t written = -1;
        ASSERT_EQ(
            MemoryStream_WriteAppend(m.memory.s, bytes.data(), int32_t(bytes.size()), &written),
            expected > 0 ? 1 : 0);
        ASSERT_EQ(written, expected);
        m.data += bytes.substr(0, size_t(expected));
      }
    }
    if (!fillPhase && m.data.size() > kSoftLength && random() % 2 == 0) op = 40 + random() % 16;
    if (!config.growth && MemoryStream_GetSize(m.memory.s) == 0 && random() % 4 == 0) op = 80;
    if (op < 16)
      stepWrite(random, m, false);
    else if (op < 28)
      stepWrite(random, m, true);
    else if (op < 32)
      stepPrintf(random, m);
    else if (op < 40)
      stepRead(random, m, 0);
    else if (op < 44)
      stepRead(random, m, 1);
    else if (op < 48)
      stepRead(random, m, 2);
    else if (op < 51)
      stepRead(random, m, 3);
    else if (op < 54)
      stepRemove(random, m, true);
    else if (op < 56)
      stepRemove(random, m, false);
    else if (op < 70)
      stepSeek(random, m);
    else if (op < 74)
      stepTransaction(random, m);
    else if (op < 77)
      stepTransfer(random, m, peer, true);
    else if (op < 79)
      stepTransfer(random, peer, m, false);
    else if (op < 83)
      stepResize(random, m, randomResize(random));
    else if (op < 84) {
      MemoryStream_Empty(m.memory.s);
      m.data.clear();
      m.position = 0;
    } else if (op < 85 && m.transactionStart < 0) {
      ASSERT_EQ(MemoryStream_Reset(m.memory.s), 1);
      m.data.clear();
      m.position = 0;
      ASSERT_EQ(MemoryStream_GetCapacity(m.memory.s), 0);
    } else {
      stepWrite(random, m, random() % 2 == 0);
    }
    if (::testing::Test::HasFatalFailure()) FAIL() << "at step " << step << " op " << op;
    checkAgainstModel(m);
    if (::testing::Test::HasFatalFailure()) FAIL() << "after step " << step << " op " << op;
    if (peer.data.size() > kSoftLength) {
      MemoryStream_Empty(peer.memory.s);
      peer.data.clear();
      peer.position = 0;
    }
  }
  if (m.transactionStart >= 0) MemoryStream_EndTransaction(m.memory.s, 0);
}

}  // namespace

TEST_P(MemoryStreamModelTest, RandomOperationsMatchAStringModel) {
  runModel(GetParam(), 20260611u + uint32_t(GetParam().growth) * 2 + uint32_t(GetParam().maximum));
}

INSTANTIATE_TEST_SUITE_P(
    Configs, MemoryStreamModelTest,
    ::testing::Values(ModelConfig{"fixed", false, false}, ModelConfig{"fixedMaximum", false, true},
                      ModelConfig{"growth", true, false}, ModelConfig{"growthMaximum", true, true}),
    [](const ::testing::TestParamInfo<ModelConfig> &info) { return std::string(info.param.name); });
