// The HTTP storage drivers against nginx serving the generated tree: ranges
// and whole files, names, gzip, errors, the piece driver's stores, and
// activity switching and stop with many members in flight.
#include "base/storagehttp.h"

#include <algorithm>
#include <map>

#include "base/piecelist.h"
#include "base/storagechain.h"
#include "base/storagehttppiece.h"
#include "tests/storage_http_fixture.h"

namespace {

class StorageHttpTest : public StorageHttpFixture {};

std::string Hex8(int32_t i) {
  char name[16];
  snprintf(name, sizeof name, "%08x", unsigned(i));
  return name;
}

// Every piece of h2 through the "http" driver: the buffer equals the
// generator's padded piece (pads zero), a member covering a whole file goes
// without a Range header and every other asks for exactly its bytes.
TEST_F(StorageHttpTest, MembersArriveAsRangesOrWholeFiles) {
  ASSERT_EQ(Configure(storage, "{\"type\":\"http\",\"url\":\"" + Url("/http/files/h2/") + "\"}"), 1);
  TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/http/meta/h2.json");
  int32_t pieces = PieceList_GetPieceTotal(MetaFile_GetPieceList(meta.get()));
  StorageRequest *r = nullptr;
  StorageRequest_Create(&r);
  std::vector<std::string> wanted;
  for (int32_t i = 0; i < pieces; i++) {
    SCOPED_TRACE(i);
    Prepare(r, meta.get(), i);
    for (StorageMember *m = StorageRequest_GetFirstMember(r); m != nullptr; m = m->next) {
      int64_t size = m->file->size;
      if (m->length == 0 || size == 0) continue;
      wanted.push_back(m->fileOffset == 0 && m->length == size
                           ? "-"
                           : "bytes=" + std::to_string(m->fileOffset) + "-" +
                                 std::to_string(m->fileOffset + m->length - 1));
    }
    StorageOutcome o = Read(storage, r);
    ASSERT_EQ(o.result, 0) << o.resultEx;
    EXPECT_EQ(Bytes(r), Tree("flat/h2/" + Hex8(i) + ".varnopiece"));
  }
  Class_ReleaseObject(&r);
  std::vector<std::string> logged;
  for (const TreeNginx::Line &l : LogLines(wanted.size())) {
    EXPECT_EQ(l.status, l.range == "-" ? 200 : 206) << l.uri;
    logged.push_back(l.range);
  }
  std::sort(wanted.begin(), wanted.end());
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(logged, wanted);
}

// Names with a blank, '#', '?', '%', ';', "a./b", "x../y", non-ASCII text
// and '\' arrive byte-exact (the digests hash every byte), each from the
// path Python's quote gives; the whole text file comes gzip and inflated.
TEST_F(StorageHttpTest, NamesAreEncodedComponentByComponent) {
  ASSERT_EQ(Configure(storage, "{\"type\":\"http\",\"url\":\"" + Url("/http/names/files/?k=1") + "\"}"),
            1);
  TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/http/names/meta.json");
  int32_t pieces = PieceList_GetPieceTotal(MetaFile_GetPieceList(meta.get()));
  StorageRequest *r = nullptr;
  StorageRequest_Create(&r);
  for (int32_t i = 0; i < pieces; i++) {
    Prepare(r, meta.get(), i);
    StorageOutcome o = Read(storage, r);
    EXPECT_EQ(o.result, 0) << i << " " << o.resultEx;
  }
  Class_ReleaseObject(&r);
  std::set<std::string> wanted, logged;
  std::istringstream paths(Tree("names/paths.txt"));
  for (std::string path; std::getline(paths, path);) wanted.insert("/http/names/files/" + path + "?k=1");
  bool gzipped = false;
  for (const TreeNginx::Line &l : LogLines(wanted.size())) {
    logged.insert(l.uri);
    if (l.uri.find("/plain.txt") != std::string::npos && l.range == "-") gzipped = l.body < 500;
  }
  EXPECT_EQ(logged, wanted);
  EXPECT_TRUE(gzipped);
}

TEST_F(StorageHttpTest, RefusalsAndLastError) {
  ASSERT_EQ(Configure(storage, "{\"type\":\"http\"}"), 0);
  EXPECT_TRUE(Logged("Configuration dictionary missing url"));
  TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/http/meta/h2.json");
  StorageRequest *r = nullptr;
  StorageRequest_Create(&r);
  struct Row {
    const char *url;
    int32_t result;
    int64_t lastError;
  } rows[] = {{"/http/files/none/", 404, 404}, {"/http/files/h2/", 0, 0}};
  Dictionary *status = nullptr;
  Dictionary_Create(&status);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.url);
    ASSERT_EQ(Configure(storage, std::string("{\"type\":\"http\",\"url\":\"") + Url(row.url) + "\"}"),
              1);
    Prepare(r, meta.get(), 1);
    EXPECT_EQ(Read(storage, r).result, row.result);
    Storage_GetStatus(storage, status);
    int64_t lastError = -1;
    Dictionary_GetInt64ByKey(status, "lastError", &lastError);
    EXPECT_EQ(lastError, row.lastError);
  }
  EXPECT_EQ(DictionaryKeys(status),
            "type,id,errorCount,pendingRequests,readBytes,writeBytes,maxReadSpeed,"
            "maxWriteSpeed,readSpeed,writeSpeed,lastError,lastErrorEx,url");
  Dictionary_Release(&status);
  StorageOutcome o;
  Storage_Exists(storage, r, StorageRequest_GetFirstMember(r), &o, StorageOutcome::Complete);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return o.calls == 1; }));
  EXPECT_EQ(o.result, kStorageResultNotOffered);
  Class_ReleaseObject(&r);
}

}  // namespace

namespace {

class StorageHttpPieceTest : public StorageHttpFixture {
 protected:
  // Reads every piece of h2; the buffer must equal the padded piece.
  void ReadAll(Storage *s, int32_t allowDelta = 1) {
    TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/http/meta/h2.json");
    int32_t pieces = PieceList_GetPieceTotal(MetaFile_GetPieceList(meta.get()));
    StorageRequest *r = nullptr;
    StorageRequest_Create(&r);
    for (int32_t i = 0; i < pieces; i++) {
      SCOPED_TRACE(i);
      Prepare(r, meta.get(), i);
      StorageRequest_SetAllowDelta(r, allowDelta);
      StorageOutcome o = Read(s, r);
      ASSERT_EQ(o.result, 0) << o.resultEx;
      EXPECT_EQ(Bytes(r), Tree("flat/h2/" + Hex8(i) + ".varnopiece"));
    }
    Class_ReleaseObject(&r);
  }
};

TEST_F(StorageHttpPieceTest, ConfigurationNeedsBaseUrlAndSource) {
  struct Row {
    const char *json;
    int ok;
    const char *logged;  // or the piece format kept
  } rows[] = {
      {"{\"type\":\"httpPiece\",\"source\":\"\"}", 0, "Configuration dictionary missing baseUrl"},
      {"{\"type\":\"httpPiece\",\"baseUrl\":\"http://h/\"}", 0,
       "Configuration dictionary missing source"},
      {"{\"type\":\"x\",\"url\":\"http://h/\",\"pieceFormat\":\"{targetIndex}\",\"source\":\"\"}", 1,
       "{TargetDigest}.varnopiece"},
      {"{\"type\":\"httpPiece\",\"baseUrl\":\"http://h/\",\"source\":\"s\"}", 1,
       "{targetInfoHash}/{targetDigest}.varnopiece"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.json);
    lines.clear();
    EXPECT_EQ(Configure(storage, row.json), row.ok);
    void *context = nullptr;
    Storage_GetDriverContext(storage, &context);
    if (row.ok) {
      EXPECT_STREQ(static_cast<StorageHTTP *>(context)->pieceFormat, row.logged);
    } else {
      EXPECT_TRUE(Logged(row.logged));
    }
  }
}

// Full-size pieces with the header, gzip and AES-256 (the password from the
// user interface) from the flat store and from the default layout, without
// deltas while "source" is empty or deltas are not allowed; the names are
// the lower-case hex digests.
TEST_F(StorageHttpPieceTest, FlatAndDefaultLayoutsWithEveryEncoding) {
  TestPrompter prompter;
  prompter.Script("{\"password\":\"open-sesame\"}");
  ASSERT_EQ(Configure(storage, "{\"type\":\"httpPiece\",\"url\":\"" + Url("/http/flatstore/") +
                                   "\",\"source\":\"\"}"),
            1);
  ReadAll(storage);
  EXPECT_EQ(prompter.Prompts().size(), 1u);
  Storage *second = NewStorage();
  Storage_SetPassword(second, "open-sesame");
  ASSERT_EQ(Configure(second, "{\"type\":\"httpPiece\",\"baseUrl\":\"" + Url("/http/remote/") +
                                  "\",\"source\":\"h1\"}"),
            1);
  ReadAll(second, 0);
  TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/http/meta/h2.json");
  int32_t pieces = PieceList_GetPieceTotal(MetaFile_GetPieceList(meta.get()));
  std::vector<TreeNginx::Line> log = LogLines(size_t(2 * pieces));
  ASSERT_EQ(log.size(), size_t(2 * pieces));
  for (int32_t i = 0; i < pieces; i++) {
    char digest[160] = {};
    PieceList_GetDigestHex(MetaFile_GetPieceList(meta.get()), i, digest, sizeof digest);
    EXPECT_EQ(log[size_t(i)].uri, "/http/flatstore/" + std::string(digest) + ".varnopiece");
    EXPECT_EQ(log[size_t(pieces + i)].uri, "/http/remote/h2/" + std::string(digest) + ".varnopiece");
  }
}

TEST_F(StorageHttpPieceTest, OversizedAndTwoPieceRequestsFail) {
  ASSERT_EQ(Configure(storage, "{\"type\":\"httpPiece\",\"url\":\"" + Url("/http/over/") +
                                   "\",\"source\":\"\"}"),
            1);
  TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/http/meta/h2.json");
  StorageRequest *r = nullptr;
  StorageRequest_Create(&r);
  Prepare(r, meta.get(), 0);
  EXPECT_EQ(Read(storage, r).result, kWebGetErrorSizeLimit);
  StorageRequest_AddPiece(r, 1);
  StorageRequest_AllocBuffer(r);
  EXPECT_EQ(Read(storage, r).result, kStorageResultNotOffered);
  EXPECT_TRUE(Logged("Request holds more than one piece (0-1)"));
  Class_ReleaseObject(&r);
}

}  // namespace

#include "tests/fault_server.h"

namespace {

class StorageHttpFaults : public StorageHttpFixture {
 protected:
  // Piece index of contenttree/http/fault through the fault server's
  // modes; the result pair.
  StorageOutcome ReadFault(FaultServer &server, const std::string &modes, int32_t index) {
    EXPECT_EQ(Configure(storage, "{\"type\":\"http\",\"url\":\"" + server.Url("/m/" + modes + "/") +
                                     "\"}"),
              1);
    Prepare(request, meta.get(), index);
    return Read(storage, request);
  }
  void SetUp() override {
    StorageHttpFixture::SetUp();
    if (IsSkipped()) return;
    meta = MetaFile_TestLoadVectors("contenttree/http/fault/meta.json");
    StorageRequest_Create(&request);
  }
  void TearDown() override {
    if (request != nullptr) Class_ReleaseObject(&request);
    StorageHttpFixture::TearDown();
  }
  TestMetaPtr meta;
  StorageRequest *request = nullptr;
};

// Piece 0 holds a whole file and the start of another, piece 1 a range.
TEST_F(StorageHttpFaults, ServersThatMisbehave) {
  FaultServer server;
  ASSERT_NE(server.port, 0);
  struct Row {
    const char *modes;
    int32_t index;
    int32_t result;
  } rows[] = {
      {"honest", 0, 0},
      {"honest", 1, 0},
      {"honest,chunked", 0, 0},
      {"honest,delay=200", 1, 0},
      {"honest,drop", 0, 0},
      {"honest,drop", 1, 0},
      {"norange", 1, kWebGetErrorRangeNotSupported},
      {"honest,long", 1, kWebGetErrorSizeLimit},
      {"honest,short", 1, kWebGetErrorContentLengthLimit},
      {"honest,chunked,less", 1, kStorageResultShort},
      {"status=500", 1, 500},
      {"status=503", 0, 503},
      {"status=300", 1, 300},
      {"status=404", 1, 404},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.modes);
    StorageOutcome o = ReadFault(server, row.modes, row.index);
    EXPECT_EQ(o.result, row.result) << o.resultEx;
  }
  // A close in mid-body ends with the transport's own failure.
  EXPECT_EQ(ReadFault(server, "honest,cut=100", 1).result, kWebGetErrorUnderflow);
}

}  // namespace
