// The cipher stream: pieces against one write and against RC4 itself, reading
// back through a second stream, the forwarding slots, short and refused inner
// writes on a real file, and the fatal paths.
#include "core/security/cryptstream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/security/cipher_test_util.h"
#include "core/runtime/memstream.h"
#include "core/runtime/nullstream.h"
#include "core/security/rc4.h"
#include "tests/fd_stream.h"

namespace {

const CipherBytes kStreamKey = CipherTest_Bytes("0102030405060708090a0b0c0d0e0f10");

// A keyed RC4 cipher stream over an inner record.
struct CipherStreamOver {
  CryptStream *crypt = nullptr;
  Stream *record = nullptr;
  explicit CipherStreamOver(Stream *inner, const CipherBytes &key = kStreamKey) {
    CryptStream_Create(&crypt);
    CryptStream_UseRc4(crypt);
    EXPECT_EQ(CryptStream_SetKey(crypt, key.data(), int32_t(key.size())), 1);
    CryptStream_SetInnerStream(crypt, inner);
    CryptStream_GetStream(crypt, &record);
  }
  ~CipherStreamOver() { CryptStream_Release(&crypt); }
  int write(const std::string &text, int32_t *written) {
    return Stream_Write(record, text.data(), int32_t(text.size()), written);
  }
};

// A growing memory stream as the inner side.
struct MemoryInner {
  MemoryStream *memory = nullptr;
  Stream *record = nullptr;
  MemoryInner() {
    MemoryStream_Create(&memory);
    MemoryStream_EnableGrowth(memory);
    MemoryStream_GetStream(memory, &record);
  }
  ~MemoryInner() { MemoryStream_Release(&memory); }
  std::string bytes() {
    std::string out(size_t(MemoryStream_GetLength(memory)), '\0');
    int32_t read = 0;
    MemoryStream_ReadAt(memory, out.data(), 0, int32_t(out.size()), &read);
    return out;
  }
};

std::string rc4Of(const std::string &text) {
  Rc4Context *rc4 = nullptr;
  Rc4_Create(&rc4);
  Rc4_SetKey(rc4, kStreamKey.data(), int32_t(kStreamKey.size()));
  std::string out(text.size(), '\0');
  Rc4_Crypt(rc4, text.data(), out.data(), int64_t(text.size()));
  Rc4_Release(&rc4);
  return out;
}

TEST(CryptStream, PiecesGiveTheBytesOfOneWrite) {
  MemoryInner pieces, whole;
  CipherStreamOver a(pieces.record), b(whole.record);
  const std::string abc = "abc", def = "def";
  int32_t written = -1;
  ASSERT_EQ(a.write(abc, &written), 1);
  EXPECT_EQ(written, 3);
  ASSERT_EQ(a.write(def, &written), 1);
  ASSERT_EQ(b.write("abcdef", &written), 1);
  EXPECT_EQ(written, 6);
  EXPECT_EQ(pieces.bytes(), whole.bytes());
  EXPECT_EQ(whole.bytes(), rc4Of("abcdef"));
  EXPECT_EQ(abc + def, "abcdef");  // the caller's bytes are not touched
}

// Text written through one stream reads back through another with the same
// key, in reads of any size; the last read delivers only what is left.
TEST(CryptStream, ReadingBackThroughASecondStreamGivesTheText) {
  std::mt19937 rng(1123);
  SCOPED_TRACE("seed 1123");
  std::string text(100000, '\0');
  for (char &c : text) c = char(rng());
  MemoryInner inner;
  {
    CipherStreamOver writer(inner.record);
    for (size_t done = 0; done < text.size();) {
      size_t n = std::min(text.size() - done, size_t(rng() % 5000));
      int32_t written = 0;
      ASSERT_EQ(Stream_Write(writer.record, text.data() + done, int32_t(n), &written), 1);
      ASSERT_EQ(size_t(written), n);
      done += n;
    }
  }
  EXPECT_EQ(inner.bytes(), rc4Of(text));
  ASSERT_EQ(Stream_Seek(inner.record, StreamOrigin::Begin, 0), 1);
  CipherStreamOver reader(inner.record);
  std::string back;
  for (;;) {
    std::string buffer(rng() % 7000 + 1, '\0');
    int32_t read = 0;
    int result = Stream_Read(reader.record, buffer.data(), int32_t(buffer.size()), &read);
    back.append(buffer, 0, size_t(read));
    if (!result || read == 0) break;
  }
  EXPECT_TRUE(back == text);
}

// The forwarding slots answer what the inner stream answers, and 0 for
// what it does not offer.
TEST(CryptStream, ForwardingSlots) {
  MemoryInner memory;
  NullStream *null = nullptr;
  NullStream_Create(&null);
  Stream *nullRecord = nullptr;
  NullStream_GetStream(null, &nullRecord);
  Stream bare{};  // offers nothing at all

  {
    CipherStreamOver s(memory.record);
    int32_t written = 0;
    s.write("0123456789", &written);
    EXPECT_EQ(s.record->Flush(s.record->context), 0);  // a memory stream has no Flush slot
    uint64_t position = 99;
    int64_t size = 99;
    EXPECT_EQ(Stream_Tell(s.record, &position), 1);
    EXPECT_EQ(position, 10u);
    EXPECT_EQ(Stream_GetSize(s.record, &size), 1);
    EXPECT_EQ(size, 10);
    EXPECT_EQ(Stream_Seek(s.record, StreamOrigin::Begin, 4), 1);
    EXPECT_EQ(Stream_Seek(s.record, StreamOrigin::Begin, 11), 0);  // past the data
    Stream_Tell(memory.record, &position);
    EXPECT_EQ(position, 4u);
    EXPECT_EQ(s.record->IsOpen(s.record->context), MemoryStream_IsOpen(memory.memory));
    EXPECT_EQ(s.record->Close(s.record->context), 1);
    EXPECT_EQ(MemoryStream_GetLength(memory.memory), 0);
  }
  {
    CipherStreamOver s(nullRecord);
    EXPECT_EQ(s.record->Flush(s.record->context), 1);
  }
  for (Stream *inner : {&bare, static_cast<Stream *>(nullptr)}) {
    SCOPED_TRACE(inner ? "inner without slots" : "no inner stream");
    CipherStreamOver s(inner);
    int32_t written = 9, read = 9;
    uint64_t position = 9;
    int64_t size = 9;
    char buffer[4] = {};
    EXPECT_EQ(s.write("abc", &written), 0);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(Stream_Read(s.record, buffer, 4, &read), 0);
    EXPECT_EQ(read, 0);
    EXPECT_EQ(s.record->Flush(s.record->context), 0);
    EXPECT_EQ(Stream_Seek(s.record, StreamOrigin::Begin, 0), 0);
    EXPECT_EQ(Stream_Tell(s.record, &position), 0);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(Stream_GetSize(s.record, &size), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(s.record->IsOpen(s.record->context), 0);
    EXPECT_EQ(s.record->Close(s.record->context), 0);
  }
  NullStream_Release(&null);
}

// A write of nothing writes nothing and leaves the key stream where it was;
// a negative length is refused.
TEST(CryptStream, EmptyAndNegativeWrites) {
  MemoryInner inner;
  CipherStreamOver s(inner.record);
  int32_t written = 7;
  EXPECT_EQ(Stream_Write(s.record, "", 0, &written), 1);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(Stream_Write(s.record, "abc", -1, &written), 0);
  EXPECT_EQ(MemoryStream_GetLength(inner.memory), 0);
  ASSERT_EQ(s.write("abc", &written), 1);
  EXPECT_EQ(inner.bytes(), rc4Of("abc"));
}

// When the inner stream takes fewer bytes than offered (a full disk) or
// refuses them, the key stream has run ahead of what the other side saw: the
// write answers 0 with what went through, and the stream writes nothing more
// until it is keyed again.
class CryptStreamFile : public testing::Test {
 protected:
  void SetUp() override {
    directory_ = Test_MakeTempDirectory();
    path_ = directory_ + "/cipher.bin";
    file_ = FdStream_OpenWrite(path_);
    ASSERT_NE(file_, nullptr);
  }
  void TearDown() override {
    if (file_ != nullptr) FdStream_Destroy(file_);
    Test_RemoveDirectory(directory_);
  }
  std::string directory_, path_;
  FdStream *file_ = nullptr;
};

TEST_F(CryptStreamFile, ShortInnerWriteFailsTheStreamUntilKeyedAgain) {
  struct Row {
    const char *name;
    int32_t maxWriteChunk;
    int64_t writeBudget;
    int32_t wentThrough;
  };
  const Row rows[] = {{"short write", 4, -1, 4}, {"full disk", 0, 10, 10}, {"refused", 0, 0, 0}};
  const std::string text = "The quick brown fox jumps over the lazy dog";
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    FdStream_Destroy(file_);
    file_ = FdStream_OpenWrite(path_);
    file_->maxWriteChunk = row.maxWriteChunk;
    file_->writeBudget = row.writeBudget;
    CipherStreamOver s(&file_->stream);
    int32_t written = -1;
    EXPECT_EQ(s.write(text, &written), 0);
    EXPECT_EQ(written, row.wentThrough);
    EXPECT_EQ(s.crypt->Failed, 1);
    int64_t calls = file_->writeCalls;
    EXPECT_EQ(s.write("more", &written), 0);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(file_->writeCalls, calls);  // the inner stream is not asked again
    EXPECT_EQ(Test_ReadFile(path_), rc4Of(text).substr(0, size_t(row.wentThrough)));
    // A fresh key stream for the next message.
    file_->maxWriteChunk = 0;
    file_->writeBudget = -1;
    ASSERT_EQ(CryptStream_SetKey(s.crypt, kStreamKey.data(), int32_t(kStreamKey.size())), 1);
    EXPECT_EQ(s.write(text, &written), 1);
    EXPECT_EQ(Test_ReadFile(path_), rc4Of(text).substr(0, size_t(row.wentThrough)) + rc4Of(text));
  }
}

TEST(CryptStreamDeathTest, BadObjectsAndMissingCipherStop) {
  CryptStream *crypt = nullptr;
  CryptStream_Create(&crypt);
  MemoryInner inner;
  CryptStream_SetInnerStream(crypt, inner.record);
  Stream *record = nullptr;
  CryptStream_GetStream(crypt, &record);
  int32_t written = 0;
  // No cipher bound yet: the front end has no record to call.
  EXPECT_DEATH(CryptStream_SetKey(crypt, kStreamKey.data(), 16), "Pointer is NULL\n");
  EXPECT_DEATH(Stream_Write(record, "abc", 3, &written), "Pointer is NULL\n");
  EXPECT_DEATH(CryptStream_Create(nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(CryptStream_GetStream(crypt, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(CryptStream_UseRc4(nullptr), "Pointer is NULL\n");
  uint32_t notAStream[32] = {};
  notAStream[9] = 0x12345678;  // where the class tag sits
  const char *mismatch = "Class mismatch pointer \\(.*: expected 0x6473f75b but was 0x12345678\\)";
  EXPECT_DEATH(CryptStream_SetInnerStream(reinterpret_cast<CryptStream *>(notAStream), nullptr),
               mismatch);
  EXPECT_DEATH(CryptStream_Write(notAStream, "abc", 3, &written), mismatch);
  EXPECT_DEATH(record->Flush(notAStream), mismatch);
  CryptStream_Release(&crypt);
  EXPECT_EQ(crypt, nullptr);
}

}  // namespace
