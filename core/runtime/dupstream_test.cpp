#include "core/runtime/dupstream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int32_t kCap = 1048576;

struct Dup {
  DupStream *s = nullptr;
  Dup() { DupStream_Create(&s); }
  ~Dup() {
    if (s != nullptr) DupStream_Release(&s);
  }
};

int32_t inboundLength(DupStream *s) {
  int32_t bytes = -1;
  EXPECT_EQ(DupStream_GetInboundLength(s, &bytes), 1);
  return bytes;
}

}  // namespace

TEST(DupStreamDeathTest, MisuseStops) {
  Dup dup;
  ASSERT_EQ(DupStream_WriteInbound(dup.s, "abc", 3), 1);
  MemoryStream *inbound = nullptr;
  ASSERT_EQ(DupStream_GetInboundStream(dup.s, &inbound), 1);
  uint8_t *bytes = nullptr;
  ASSERT_EQ(MemoryStream_GetBuffer(inbound, 0, &bytes), 1);
  EXPECT_DEATH(DupStream_Release(&dup.s),
               "ABORT - Assertion failed \\(MemoryStream->RefCount == 0\\)\n"
               "Reference to buffer not released before being reset \\[1\\]\n");
  MemoryStream_ReleaseBuffer(inbound, &bytes);
  EXPECT_DEATH(DupStream_EndOutboundTransaction(dup.s, 0), "Buffer not in transaction");
  EXPECT_DEATH(DupStream_WriteInbound(nullptr, "a", 1), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(DupStream_TransferOutbound(dup.s, reinterpret_cast<DupStream *>(inbound)),
               "ABORT - Class mismatch pointer \\(0x[0-9A-F]+: expected 0x6d8a9d1f but was "
               "0xa2214518\\)\n");
}

TEST(DupStream, EdgeCases) {
  Dup dup;
  int32_t bytes = -1;
  for (auto get : {DupStream_GetInboundLength, DupStream_GetOutboundLength}) {
    EXPECT_EQ(get(dup.s, &bytes), 1);
    EXPECT_EQ(bytes, 0);
  }
  for (auto get : {DupStream_GetInboundSpace, DupStream_GetOutboundSpace}) {
    EXPECT_EQ(get(dup.s, &bytes), 1);
    EXPECT_EQ(bytes, kCap);
  }
  // Ten in, four out: six left, the fifth byte first.
  ASSERT_EQ(DupStream_WriteInbound(dup.s, "0123456789", 10), 1);
  char buffer[16] = {};
  int32_t read = 0;
  ASSERT_EQ(DupStream_ReadInbound(dup.s, buffer, 4, &read), 1);
  EXPECT_EQ(std::string(buffer, size_t(read)), "0123");
  EXPECT_EQ(inboundLength(dup.s), 6);
  // A NULL buffer drops.
  ASSERT_EQ(DupStream_ReadInbound(dup.s, nullptr, 3, &read), 1);
  EXPECT_EQ(read, 3);
  ASSERT_EQ(DupStream_ReadInbound(dup.s, buffer, 16, &read), 1);
  EXPECT_EQ(std::string(buffer, size_t(read)), "789");
  // A group whose second append fails leaves the queue as it was.
  ASSERT_EQ(DupStream_WriteOutbound(dup.s, "head", 4), 1);
  ASSERT_EQ(DupStream_BeginOutboundTransaction(dup.s), 1);
  EXPECT_EQ(DupStream_WriteOutbound(dup.s, "part", 4), 1);
  std::string tooBig(kCap, 'x');
  int failed = !DupStream_WriteOutbound(dup.s, tooBig.data(), int32_t(tooBig.size()));
  EXPECT_EQ(failed, 1);
  ASSERT_EQ(DupStream_EndOutboundTransaction(dup.s, failed), 1);
  ASSERT_EQ(DupStream_ReadOutbound(dup.s, buffer, 16, &read), 1);
  EXPECT_EQ(std::string(buffer, size_t(read)), "head");
  // Printf appends; Empty clears both sides.
  ASSERT_EQ(DupStream_PrintfInbound(dup.s, "GET %s HTTP/1.%d\r\n", "/a", 1), 1);
  ASSERT_EQ(DupStream_PrintfOutbound(dup.s, "%s", "x"), 1);
  EXPECT_EQ(inboundLength(dup.s), 17);
  EXPECT_EQ(DupStream_Empty(dup.s), 1);
  EXPECT_EQ(inboundLength(dup.s), 0);
  EXPECT_EQ(DupStream_GetOutboundLength(dup.s, &bytes), 1);
  EXPECT_EQ(bytes, 0);
}

TEST(DupStream, AWriteThatDoesNotFitQueuesNothing) {
  // A write cut at the cap would report success with bytes missing.
  Dup dup;
  std::string fill(kCap - 10, 'f');
  ASSERT_EQ(DupStream_WriteInbound(dup.s, fill.data(), int32_t(fill.size())), 1);
  EXPECT_EQ(DupStream_WriteInbound(dup.s, "01234567890", 11), 0);
  EXPECT_EQ(inboundLength(dup.s), kCap - 10);
  EXPECT_EQ(DupStream_WriteInbound(dup.s, "0123456789", 10), 1);
  EXPECT_EQ(inboundLength(dup.s), kCap);
  EXPECT_EQ(DupStream_PrintfInbound(dup.s, "%s", "x"), 0);
  EXPECT_EQ(DupStream_WriteInbound(dup.s, "x", 0), 0);
}

TEST(DupStream, TransferIsLimitedByTheDestinationsSpace) {
  Dup source, destination;
  std::string bytes(300, '\0');
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = char(i);
  ASSERT_EQ(DupStream_WriteInbound(source.s, bytes.data(), 300), 1);
  std::string fill(kCap - 100, 'd');
  ASSERT_EQ(DupStream_WriteInbound(destination.s, fill.data(), int32_t(fill.size())), 1);
  EXPECT_EQ(DupStream_TransferInbound(destination.s, source.s), 1);
  EXPECT_EQ(inboundLength(destination.s), kCap);
  EXPECT_EQ(inboundLength(source.s), 200);
  char rest[300];
  int32_t read = 0;
  DupStream_ReadInbound(source.s, rest, 300, &read);
  EXPECT_EQ(std::string(rest, size_t(read)), bytes.substr(100));
  // The outbound side stays out of it.
  EXPECT_EQ(DupStream_TransferOutbound(destination.s, source.s), 1);
  int32_t length = -1;
  DupStream_GetOutboundLength(destination.s, &length);
  EXPECT_EQ(length, 0);
}

TEST(DupStream, RandomOperationsMatchTwoDequeModels) {
  const uint32_t seed = 8080;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  Dup dup;
  std::deque<char> models[2];
  int transactionStart[2] = {-1, -1};
  std::vector<char> buffer(300000);
  for (int step = 0; step < 20000; step++) {
    int side = int(random() % 2);
    std::deque<char> &model = models[side];
    bool in = side == 0;
    uint32_t op = random() % 10;
    int32_t length = int32_t(random() % (random() % 8 == 0 ? 300000 : 2000));
    if (op < 4) {
      for (int32_t i = 0; i < length; i++) buffer[size_t(i)] = char(random());
      bool fits = length > 0 && model.size() + size_t(length) <= size_t(kCap);
      int ok = in ? DupStream_WriteInbound(dup.s, buffer.data(), length)
                  : DupStream_WriteOutbound(dup.s, buffer.data(), length);
      ASSERT_EQ(ok, fits ? 1 : 0) << "step " << step;
      if (fits) model.insert(model.end(), buffer.begin(), buffer.begin() + length);
    } else if (op < 7) {
      bool drop = op == 6;
      int32_t read = -1;
      size_t n = std::min(size_t(length), model.size());
      int ok = in ? DupStream_ReadInbound(dup.s, drop ? nullptr : buffer.data(), length, &read)
                  : DupStream_ReadOutbound(dup.s, drop ? nullptr : buffer.data(), length, &read);
      ASSERT_EQ(ok, drop || n > 0 ? 1 : 0) << "step " << step;
      ASSERT_EQ(size_t(read), n) << "step " << step;
      if (!drop) {
        ASSERT_TRUE(std::equal(model.begin(), model.begin() + long(n), buffer.begin()))
            << "step " << step;
      }
      model.erase(model.begin(), model.begin() + long(n));
    } else if (op < 8) {
      std::string text(size_t(random() % 100), 't');
      bool fits = text.empty() || model.size() + text.size() + 1 <= size_t(kCap);
      int ok = in ? DupStream_PrintfInbound(dup.s, "%s", text.c_str())
                  : DupStream_PrintfOutbound(dup.s, "%s", text.c_str());
      ASSERT_EQ(ok, fits ? 1 : 0) << "step " << step;
      if (fits) model.insert(model.end(), text.begin(), text.end());
    } else if (op < 9) {
      if (transactionStart[side] < 0) {
        ASSERT_EQ(in ? DupStream_BeginInboundTransaction(dup.s)
                     : DupStream_BeginOutboundTransaction(dup.s),
                  1);
        transactionStart[side] = int(model.size());
      } else {
        int rollback = int(random() % 2);
        ASSERT_EQ(in ? DupStream_EndInboundTransaction(dup.s, rollback)
                     : DupStream_EndOutboundTransaction(dup.s, rollback),
                  1);
        if (rollback && size_t(transactionStart[side]) <= model.size())
          model.resize(size_t(transactionStart[side]));
        transactionStart[side] = -1;
      }
    } else if (random() % 50 == 0) {
      DupStream_Empty(dup.s);
      models[0].clear();
      models[1].clear();
    }
    for (int q = 0; q < 2; q++) {
      int32_t length = -1, space = -1;
      if (q == 0) {
        DupStream_GetInboundLength(dup.s, &length);
        DupStream_GetInboundSpace(dup.s, &space);
      } else {
        DupStream_GetOutboundLength(dup.s, &length);
        DupStream_GetOutboundSpace(dup.s, &space);
      }
      ASSERT_EQ(size_t(length), models[q].size()) << "step " << step << " queue " << q;
      ASSERT_EQ(space, kCap - length);
    }
  }
  if (transactionStart[0] >= 0) DupStream_EndInboundTransaction(dup.s, 0);
  if (transactionStart[1] >= 0) DupStream_EndOutboundTransaction(dup.s, 0);
}

// ---------------------------------------------------------------------------
// Threads

namespace {

constexpr auto kThreadDeadline = std::chrono::seconds(120);

uint8_t patternByte(uint64_t index) { return uint8_t((index * 2654435761u) >> 13); }

}  // namespace

TEST(DupStreamThreaded, ProducerAndConsumerMoveTenMillionBytesInOrder) {
  constexpr uint64_t kTotal = 10000000;
  Dup dup;
  std::atomic<bool> timedOut{false};
  const auto deadline = std::chrono::steady_clock::now() + kThreadDeadline;
  std::thread producer([&] {
    std::mt19937 random(1);
    std::vector<uint8_t> chunk(65536);
    uint64_t sent = 0;
    while (sent < kTotal) {
      if (std::chrono::steady_clock::now() > deadline) {
        timedOut = true;
        return;
      }
      int32_t space = 0;
      DupStream_GetInboundSpace(dup.s, &space);
      uint64_t n = std::min<uint64_t>({kTotal - sent, uint64_t(space), 1 + random() % 65536});
      if (n == 0) {
        std::this_thread::yield();
        continue;
      }
      for (uint64_t i = 0; i < n; i++) chunk[i] = patternByte(sent + i);
      // The only producer: the space it saw can only have grown.
      ASSERT_EQ(DupStream_WriteInbound(dup.s, chunk.data(), int32_t(n)), 1);
      sent += n;
    }
  });
  std::vector<uint8_t> buffer(100000);
  uint64_t received = 0;
  std::mt19937 random(2);
  bool inOrder = true;
  while (received < kTotal && !timedOut) {
    if (std::chrono::steady_clock::now() > deadline) break;
    int32_t read = 0;
    if (!DupStream_ReadInbound(dup.s, buffer.data(), int32_t(1 + random() % buffer.size()),
                               &read)) {
      std::this_thread::yield();
      continue;
    }
    for (int32_t i = 0; i < read && inOrder; i++)
      inOrder = buffer[size_t(i)] == patternByte(received + uint64_t(i));
    received += uint64_t(read);
    if (!inOrder) break;
  }
  producer.join();
  EXPECT_TRUE(inOrder) << "near byte " << received;
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(received, kTotal);
}

TEST(DupStreamThreaded, OppositeTransfersFinish) {
  // Each transfer locks both queues; a fixed order keeps two opposite ones
  // from waiting on each other.
  constexpr int kRounds = 100000;
  Dup a, b;
  std::string bytes(1000, 'a');
  ASSERT_EQ(DupStream_WriteInbound(a.s, bytes.data(), 1000), 1);
  ASSERT_EQ(DupStream_WriteInbound(b.s, bytes.data(), 500), 1);
  std::thread forth([&] {
    for (int i = 0; i < kRounds; i++) DupStream_TransferInbound(b.s, a.s);
  });
  std::thread back([&] {
    for (int i = 0; i < kRounds; i++) DupStream_TransferInbound(a.s, b.s);
  });
  forth.join();
  back.join();
  EXPECT_EQ(inboundLength(a.s) + inboundLength(b.s), 1500);
}

TEST(DupStreamThreaded, TransactionsKeepGroupsWhole) {
  // Two producers append framed groups (a length byte, then that many
  // copies of it) piece by piece inside transactions; the consumer must
  // only ever see whole groups.
  constexpr int kGroups = 5000;
  Dup dup;
  std::atomic<bool> stop{false};
  auto produce = [&](uint32_t seed) {
    std::mt19937 random(seed);
    for (int g = 0; g < kGroups && !stop; g++) {
      uint8_t size = uint8_t(1 + random() % 200);
      DupStream_BeginOutboundTransaction(dup.s);
      bool ok = DupStream_WriteOutbound(dup.s, &size, 1);
      for (int i = 0; i < size && ok; i++) ok = DupStream_WriteOutbound(dup.s, &size, 1);
      DupStream_EndOutboundTransaction(dup.s, ok ? 0 : 1);
      if (!ok) g--;  // full: the group was rolled back, try it again
    }
  };
  std::thread first(produce, 1), second(produce, 2);
  const auto deadline = std::chrono::steady_clock::now() + kThreadDeadline;
  int groups = 0;
  bool whole = true;
  while (groups < 2 * kGroups && whole && std::chrono::steady_clock::now() < deadline) {
    DupStream_LockOutbound(dup.s);
    uint8_t size = 0, body[256];
    int32_t read = 0;
    if (DupStream_ReadOutbound(dup.s, &size, 1, &read)) {
      whole = DupStream_ReadOutbound(dup.s, body, size, &read) == 1 && read == size;
      for (int i = 0; i < read && whole; i++) whole = body[i] == size;
      groups++;
    }
    DupStream_UnlockOutbound(dup.s);
  }
  stop = true;
  first.join();
  second.join();
  EXPECT_TRUE(whole) << "after " << groups << " groups";
  EXPECT_EQ(groups, 2 * kGroups);
}
