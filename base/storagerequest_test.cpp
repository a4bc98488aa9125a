#include "base/storagerequest.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/storagehttp.h"
#include "core/runtime/log.h"
#include "core/security/hash.h"
#include "tests/metafile_vectors.h"
#include "tests/test_util.h"

namespace {

std::string Pieces(const std::string &name) { return "contenttree/pieces/" + name; }

using MetaPtr = TestMetaPtr;

MetaPtr LoadMeta(const std::string &file) { return MetaFile_TestLoadVectors(file); }

// A request with its source request, as the repository pairs them.
struct RequestPair {
  StorageRequest *r = nullptr;
  RequestPair() {
    StorageRequest *source = nullptr;
    StorageRequest_Create(&r);
    StorageRequest_Create(&source);
    StorageRequest_SetSourceRequest(r, source);
  }
  ~RequestPair() { Class_ReleaseObject(&r); }
};

std::string Sha1Hex(const uint8_t *data, int64_t length) {
  static const uint8_t kEmpty = 0;
  char hex[41];
  Hash_ComputeDigestHex(&kHashSha1, length > 0 ? data : &kEmpty, length, hex, sizeof hex);
  return hex;
}

void Fill(StorageRequest *r, const std::string &bytes) {
  uint8_t *p = nullptr;
  StorageRequest_GetBuffer(r, 0, &p);
  memcpy(p, bytes.data(), bytes.size());
  StorageRequest_ReleaseBuffer(r, &p);
  StorageRequest_SetLength(r, int64_t(bytes.size()));
}

std::string Contents(StorageRequest *r) {
  return std::string(reinterpret_cast<const char *>(r->buffer), size_t(r->length));
}

// The members of a request against the generator's byte map: file k's byte
// j is pattern[(k * 977 + j) % size].
struct MemberCheck {
  const std::string &pattern;
  std::map<const FileRecord *, int> fileIndex;
  std::vector<std::string> padded, plain;  // sha1 per piece

  uint8_t Byte(const FileRecord *f, int64_t j) const {
    size_t k = size_t(fileIndex.at(f));
    return uint8_t(pattern[(k * 977 + size_t(j)) % pattern.size()]);
  }

  // Writes the request's pieces in the padded layout (pads zero) and checks
  // every piece's bytes in both layouts, then removing and adding the pads.
  void Check(StorageRequest *r) {
    StorageRequest_AllocBuffer(r);
    int64_t data = r->last != nullptr ? r->last->dataOffset + r->last->length : 0;
    std::vector<uint8_t> a(size_t(r->span), 0), b(size_t(data), 0);
    for (StorageMember *m = r->first; m != nullptr; m = m->next)
      for (int64_t j = 0; j < m->length; j++)
        a[size_t(m->paddedOffset + j)] = b[size_t(m->dataOffset + j)] =
            Byte(m->file, m->fileOffset + j);
    for (StorageMember *m = r->first; m != nullptr;) {
      int32_t index = m->pieceIndex;
      int64_t pStart = m->paddedOffset, dStart = m->dataOffset, pLen = 0, dLen = 0;
      for (; m != nullptr && m->pieceIndex == index; m = m->next) {
        pLen += m->length + m->pad;
        dLen += m->length;
      }
      ASSERT_EQ(Sha1Hex(a.data() + pStart, pLen), padded[size_t(index)]) << "piece " << index;
      ASSERT_EQ(Sha1Hex(b.data() + dStart, dLen), plain[size_t(index)]) << "piece " << index;
    }
    ASSERT_EQ(StorageRequest_GetCapacity(r), r->span + kStorageRequestSlack);
    Fill(r, std::string(b.begin(), b.end()));
    StorageRequest_SetEncoding(r, 0);
    StorageRequest_AddPadding(r);
    ASSERT_EQ(r->length, r->span);
    ASSERT_EQ(memcmp(r->buffer, a.data(), a.size()), 0);
    StorageRequest_RemovePadding(r);
    ASSERT_EQ(r->length, int64_t(b.size()));
    ASSERT_TRUE(b.empty() || memcmp(r->buffer, b.data(), b.size()) == 0);
    for (int64_t i = data; i < r->span; i++) ASSERT_EQ(r->buffer[i], 0) << i;
  }
};

}  // namespace

TEST(StorageHTTP, PieceIndexOfOffset) {
  struct Case {
    int64_t size, offset, index;
  } cases[] = {{4096, 0, 0}, {4096, 4095, 0}, {4096, 4096, 1}, {7, 1LL << 40, (1LL << 40) / 7},
               {0, 99, 0},   {-5, 99, 0},     {1, 12345, 12345}};
  for (const Case &c : cases) {
    int64_t index = -1;
    EXPECT_EQ(StorageHTTP_PieceIndexOfOffset(c.size, &index, c.offset), 1);
    EXPECT_EQ(index, c.index) << c.size << " " << c.offset;
  }
}

// Every piece of the generated versions (three pad modes), alone and in
// requests of up to 255 pieces, against the generator's byte map; without a
// pad list the member fields equal the generator's list.
TEST(StorageRequest, MembersMatchTheByteMap) {
  namespace fs = std::filesystem;
  std::string pattern = Test_ReadVectors(Pieces("pattern.bin"));
  ASSERT_FALSE(pattern.empty());
  std::mt19937 rng(45);
  RequestPair p;
  StorageRequest *r = p.r;
  int versions = 0;
  std::map<std::string, int> modes;
  for (int v = 1; fs::exists(Test_VectorPath(Pieces("members/" + std::to_string(v) + ".txt")));
       v++) {
    SCOPED_TRACE("version " + std::to_string(v));
    MetaPtr meta = LoadMeta(Pieces("members/" + std::to_string(v) + ".meta.json"));
    MemberCheck check{pattern, {}, {}, {}};
    int k = 0;
    FileRecord *f = nullptr;
    for (FileIndex_GetFirst(MetaFile_GetFileIndex(meta.get()), &f); f != nullptr; f = f->next)
      check.fileIndex[f] = k++;
    std::map<int, std::vector<std::vector<int64_t>>> members;
    std::istringstream lines(Test_ReadVectors(Pieces("members/" + std::to_string(v) + ".txt")));
    std::string kind;
    while (lines >> kind) {
      if (kind == "piece") {
        int64_t pl, dl;
        std::string a, b;
        lines >> pl >> dl >> a >> b;
        check.padded.push_back(a);
        check.plain.push_back(b);
      } else {
        std::vector<int64_t> row(6);
        for (int64_t &x : row) lines >> x;
        members[int(row[0])].push_back(row);
      }
    }
    int32_t count = int32_t(check.padded.size());
    ASSERT_EQ(count, MetaFile_GetPieceLengthCount(meta.get()));
    modes[MetaFile_GetPadding(meta.get()) ? "list" : members.empty() ? "?" : "own"]++;
    for (int32_t i = 0; i < count; i++) {
      StorageRequest_Reset(r);
      StorageRequest_SetMetaFile(r, meta.get());
      StorageRequest_AddPiece(r, i);
      StorageRequest_AddPiece(r, i);  // a second add changes nothing
      ASSERT_EQ(StorageRequest_GetPieceIndex(r), i);
      int32_t length = 0;
      MetaFile_GetPieceLength(meta.get(), i, &length);
      ASSERT_EQ(StorageRequest_GetTotal(r), length);
      if (!members.empty()) {
        const auto &want = members[i];
        ASSERT_EQ(size_t(r->memberCount), want.size()) << "piece " << i;
        size_t n = 0;
        for (StorageMember *m = r->first; m != nullptr; m = m->next, n++) {
          const auto &w = want[n];
          ASSERT_EQ(check.fileIndex[m->file], w[1]);
          ASSERT_EQ(m->offset, w[2]);
          ASSERT_EQ(m->fileOffset, w[3]);
          ASSERT_EQ(m->length, w[4]);
          ASSERT_EQ(m->pad, w[5]) << "piece " << i << " member " << n;
        }
      }
      ASSERT_NO_FATAL_FAILURE(check.Check(r));
    }
    // Requests of several pieces, as a delta's source range asks for them.
    for (int t = 0; t < 2 && count > 1; t++) {
      int32_t first = int32_t(rng() % uint32_t(count));
      int32_t n = 1 + int32_t(rng() % uint32_t(std::min(255, count - first)));
      StorageRequest_Reset(r);
      StorageRequest_SetMetaFile(r, meta.get());
      for (int32_t i = first + n - 1; i >= first; i--) StorageRequest_AddPiece(r, i);
      ASSERT_EQ(StorageRequest_GetPieceIndex(r), first);
      // Added last to first: put them in order for the check.
      RequestPair ordered;
      StorageRequest_SetMetaFile(ordered.r, meta.get());
      for (int32_t i = first; i < first + n; i++) StorageRequest_AddPiece(ordered.r, i);
      EXPECT_EQ(StorageRequest_GetTotal(ordered.r), StorageRequest_GetTotal(r));
      ASSERT_NO_FATAL_FAILURE(check.Check(ordered.r));
      ASSERT_NO_FATAL_FAILURE(check.Check(r));
    }
    versions++;
  }
  EXPECT_GE(versions, 300);
  EXPECT_GT(modes["list"], 0);
  EXPECT_GT(modes["own"], 0);
}

// A piece across three files carries the middle file's pad after its
// member; a file of size 0 at the end gives its pad to the last piece.
TEST(StorageRequest, MembersAtFileAndPieceEdges) {
  const char *text =
      "{\"id\":\"e\",\"files\":[{\"name\":\"a\",\"size\":3},{\"name\":\"b\",\"size\":2,"
      "\"pad\":3},{\"name\":\"c\",\"size\":10},{\"name\":\"d\",\"size\":0,\"pad\":2}],"
      "\"pieces\":{\"algorithm\":\"SHA1\",\"size\":16,\"digests\":["
      "\"AAAAAAAAAAAAAAAAAAAAAAAAAAA=\","
      "\"AAAAAAAAAAAAAAAAAAAAAAAAAAA=\"]}}";
  MetaFile *m = nullptr;
  MetaFile_Create(&m);
  MetaPtr meta(m);
  ASSERT_EQ(MetaFile_TestLoad(m, text, int32_t(strlen(text))).code, 0u);
  struct Want {
    const char *name;
    int64_t offset, fileOffset, length, pad, dataOffset, paddedOffset;
  };
  const std::vector<std::vector<Want>> pieces = {
      {{"a", 0, 0, 3, 0, 0, 0}, {"b", 3, 0, 2, 3, 3, 3}, {"c", 8, 0, 8, 0, 5, 8}},
      {{"c", 16, 8, 2, 0, 0, 0}, {"d", 18, 0, 0, 2, 2, 2}}};
  RequestPair p;
  for (size_t i = 0; i < pieces.size(); i++) {
    StorageRequest_Reset(p.r);
    StorageRequest_SetMetaFile(p.r, m);
    StorageRequest_AddPiece(p.r, int32_t(i));
    ASSERT_EQ(size_t(StorageRequest_GetMemberCount(p.r)), pieces[i].size());
    StorageMember *e = StorageRequest_GetFirstMember(p.r);
    for (const Want &w : pieces[i]) {
      SCOPED_TRACE(std::string("piece ") + std::to_string(i) + " file " + w.name);
      EXPECT_STREQ(e->file->name, w.name);
      EXPECT_EQ(e->offset, w.offset);
      EXPECT_EQ(e->fileOffset, w.fileOffset);
      EXPECT_EQ(e->length, w.length);
      EXPECT_EQ(e->pad, w.pad);
      EXPECT_EQ(e->dataOffset, w.dataOffset);
      EXPECT_EQ(e->paddedOffset, w.paddedOffset);
      e = e->next;
    }
  }
  RequestPair q;
  StorageRequest_SetMetaFile(q.r, m);
  StorageRequest_AddPiece(q.r, 1);
  EXPECT_TRUE(StorageRequest_SameMembers(p.r, q.r));
  StorageRequest_AddPiece(q.r, 0);
  EXPECT_FALSE(StorageRequest_SameMembers(p.r, q.r));
}

namespace {

struct Outcome {
  std::string stage;
  int code;
};

struct Case {
  std::string path, target, old;
  int32_t index;
  uint32_t flags;
  int header;
  std::string password;
  Outcome expected;
};

std::vector<Case> ReadCases(const std::string &file) {
  std::vector<Case> out;
  std::istringstream in(Test_ReadVectors(file));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::istringstream f(line);
    Case c;
    std::string pw;
    f >> c.path >> c.target >> c.old >> c.index >> c.flags >> c.header >> pw >> c.expected.stage >>
        c.expected.code;
    if (pw != "-") {
      std::vector<uint8_t> bytes = Test_HexToBytes(pw);
      c.password.assign(bytes.begin(), bytes.end());
    }
    out.push_back(c);
  }
  return out;
}

std::string Flat(const std::string &version, int32_t index, bool padded) {
  char name[64];
  snprintf(name, sizeof name, "flat/%s/%08x.%s", version.c_str(), unsigned(index),
           padded ? "varnopiece" : "varnodata");
  return Test_ReadVectors(Pieces(name));
}

// The read chain's transformations on one piece, as a piece storage with
// these flags runs them; the first step that fails gives the outcome.
Outcome Decode(StorageRequest *r, MetaFile *meta, MetaFile *old, const Case &c,
               const std::string &data) {
  StorageRequest_Reset(r);
  StorageRequest_SetMetaFile(r, meta);
  StorageRequest_AddPiece(r, c.index);
  StorageRequest_AllocBuffer(r);
  if (int64_t(data.size()) > StorageRequest_GetCapacity(r)) return {"read", 959};
  Fill(r, data);
  if (!StorageRequest_ReadPieceHeader(r)) {
    EXPECT_EQ(r->length, int64_t(data.size()));
    StorageRequest_SetEncoding(r, c.flags);
  }
  int rc = StorageRequest_Decrypt(r, c.password.data(), int32_t(c.password.size()));
  if (rc != 0) return {"decrypt", rc};
  rc = StorageRequest_Inflate(r);
  if (rc != 0) return {"inflate", rc};
  if (StorageRequest_TestEncoding(r, kStorageFlagVCDiff)) {
    int32_t first = -1, count = -1;
    if (!StorageRequest_ReadDeltaWindow(r, &first, &count)) return {"window", 0};
    StorageRequest *source = StorageRequest_GetSourceRequest(r);
    if (old != nullptr && count > 0) {
      if (first < 0 || int64_t(first) + count > MetaFile_GetPieceLengthCount(old))
        return {"window", 0};
      StorageRequest_SetMetaFile(source, old);
      std::string bytes;
      for (int32_t i = first; i < first + count; i++) {
        StorageRequest_AddPiece(source, i);
        bytes += Flat(c.old, i, false);
      }
      StorageRequest_AllocBuffer(source);
      Fill(source, bytes);
      StorageRequest_SetEncoding(source, 0);
    }
    if (!StorageRequest_ApplyDelta(r)) return {"apply", 0};
  }
  if (PieceList_GetHashPadding(MetaFile_GetPieceList(meta)))
    StorageRequest_AddPadding(r);
  else
    StorageRequest_RemovePadding(r);
  int32_t failed = -1;
  rc = StorageRequest_CheckDigests(r, &failed);
  if (rc != 0) return {"digest", rc};
  return {"ok", 0};
}

void RunCases(const std::vector<Case> &cases, std::map<std::string, int> *seen) {
  std::map<std::string, MetaPtr> metas;
  auto meta = [&](const std::string &id) -> MetaFile * {
    if (id == "-") return nullptr;
    auto &m = metas[id];
    if (!m) m = LoadMeta(Pieces("meta/" + id + ".json"));
    return m.get();
  };
  RequestPair p;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    std::string data = Test_ReadVectors(Pieces(c.path));
    Outcome o = Decode(p.r, meta(c.target), meta(c.old), c, data);
    ASSERT_EQ(o.stage, c.expected.stage);
    ASSERT_EQ(o.code, c.expected.code);
    (*seen)[o.stage + "/" + std::to_string(c.flags)]++;
    if (o.stage != "ok") continue;
    bool padded = PieceList_GetHashPadding(MetaFile_GetPieceList(meta(c.target))) != 0;
    std::string want = Flat(c.target, c.index, padded);
    ASSERT_EQ(p.r->length, int64_t(want.size()));
    ASSERT_TRUE(Contents(p.r) == want);
    if (p.r->length == 0) continue;
    // One byte short of the piece: the digest check fails.
    StorageRequest_AddLength(p.r, -1);
    int32_t failed = -1;
    ASSERT_EQ(StorageRequest_CheckDigests(p.r, &failed), kStorageDigestMismatch);
    ASSERT_EQ(failed, c.index);
  }
}

}  // namespace

// Every flag set, with and without the piece header, both deflate wrappers,
// deltas against the old version's pieces, in each pad mode with
// hashPadding on and off: the decoded piece is the generator's.
TEST(StorageRequest, DecodesGeneratedPieces) {
  std::map<std::string, int> seen;
  RunCases(ReadCases(Pieces("cases.txt")), &seen);
  for (uint32_t flags = 0; flags < 16; flags++) EXPECT_GT(seen["ok/" + std::to_string(flags)], 0);
}

// Damaged and hostile pieces give their results and touch nothing outside
// the buffer (ASan); a piece with 20,000 pad bytes decodes.
TEST(StorageRequest, FaultedPiecesGiveTheirResults) {
  std::map<std::string, int> seen;
  RunCases(ReadCases(Pieces("faults.txt")), &seen);
  EXPECT_GT(seen["decrypt/8"], 10);
  EXPECT_GT(seen["inflate/2"], 5);
  EXPECT_GT(seen["ok/5"], 0);
}

TEST(StorageRequest, BufferIsPageAlignedKeptAndZeroedAtReset) {
  MetaPtr meta = LoadMeta(Pieces("meta/p20k.json"));
  RequestPair p;
  StorageRequest *r = p.r;
  StorageRequest_SetMetaFile(r, meta.get());
  StorageRequest_AddPiece(r, 0);
  StorageRequest_AllocBuffer(r);
  EXPECT_EQ(StorageRequest_GetCapacity(r), 28100 + kStorageRequestSlack);
  EXPECT_EQ(StorageRequest_GetTotal(r), 32768 - 20100);  // the counters' piece length
  uint32_t page = 0;
  Platform_GetPageSize(&page);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(r->buffer) % page, 0u);
  uint8_t *before = r->buffer;
  uint8_t *q = nullptr;
  StorageRequest_GetBuffer(r, 0, &q);
  memset(q, 0xAB, size_t(StorageRequest_GetCapacity(r)));
  StorageRequest_ReleaseBuffer(r, &q);
  EXPECT_EQ(q, nullptr);
  StorageRequest_Reset(r);
  EXPECT_EQ(StorageRequest_GetPieceIndex(r), -1);
  EXPECT_EQ(StorageRequest_GetEncoding(r), kStorageFlagPad);
  EXPECT_EQ(StorageRequest_GetAllowDelta(r), 1);
  StorageRequest_SetMetaFile(r, meta.get());
  StorageRequest_AddPiece(r, 0);
  StorageRequest_AllocBuffer(r);
  EXPECT_EQ(r->buffer, before);
  for (int64_t i = 0; i < StorageRequest_GetCapacity(r); i++) ASSERT_EQ(r->buffer[i], 0) << i;
}

// The derived key is kept for the same salt, count and password only: a
// wrong password after a right one is still refused, and the right one
// works again after it.
TEST(StorageRequest, KeyCacheFollowsThePassword) {
  std::vector<Case> all = ReadCases(Pieces("faults.txt"));
  Case good;
  for (const Case &c : all)
    if (c.path == "faults/aes_good.varnopiece") good = c;
  ASSERT_FALSE(good.path.empty());
  MetaPtr meta = LoadMeta(Pieces("meta/f1.json"));
  std::string data = Test_ReadVectors(Pieces(good.path));
  RequestPair p;
  for (const char *password : {"secret", "wrong", "secret", "secret"}) {
    Case c = good;
    c.password = password;
    Outcome o = Decode(p.r, meta.get(), nullptr, c, data);
    EXPECT_EQ(o.code, c.password == "secret" ? 0 : kStorageDecryptPassword) << password;
    EXPECT_EQ(p.r->keyValid, 1);
  }
}

namespace {

void CollectLines(void *context, const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  *static_cast<std::string *>(context) += text;
}

}  // namespace

// A piece that starts with the magic but is shorter than its header is no
// header: the storage's flags (0) apply and the digest step reports the
// short piece, with its log line.
TEST(StorageRequest, ShortPieceIsReportedAtTheDigest) {
  MetaPtr meta = LoadMeta(Pieces("meta/f1.json"));
  RequestPair p;
  std::string lines;
  p.r->log.forced = 1;
  p.r->log.level = LOG_DEBUG;
  StorageRequest_SetLogSink(p.r, &lines, CollectLines);
  Case c{"", "f1", "-", 0, 0, 0, "", {}};
  Outcome o = Decode(p.r, meta.get(), nullptr, c, std::string("\x6e\x2b\x3b\x61\x00", 5));
  EXPECT_EQ(o.stage, "digest");
  EXPECT_EQ(o.code, kStorageDigestMismatch);
  EXPECT_NE(lines.find("Not enough bytes to calculate digest (0)"), std::string::npos) << lines;
}

TEST(StorageRequestDeathTest, HeldBufferStopsTheReset) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        RequestPair p;
        StorageRequest_SetMetaFile(p.r, nullptr);
        uint8_t *q = nullptr;
        StorageRequest_AllocBuffer(p.r);
        StorageRequest_GetBuffer(p.r, 0, &q);
        StorageRequest_Reset(p.r);
      },
      "Reference to buffer not released before being reset");
}
