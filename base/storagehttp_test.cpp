// The HTTP storage drivers against nginx serving the generated tree: ranges
// and whole files, names, gzip, errors, the piece driver's stores, and
// activity switching and stop with many members in flight.
#include "base/storagehttp.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "core/net/webgetrequest.h"
#include "core/platform/thread.h"

#include "base/piecelist.h"
#include "base/storagechain.h"
#include "base/storagehttppiece.h"
#include "tests/storage_http_fixture.h"

namespace {

class StorageHttpTest : public StorageHttpFixture {};

TEST(StorageHttpDeathTest, ForeignThreadStops) {
  void *driver = nullptr;
  StorageHTTP_Create(&driver);
  EXPECT_DEATH(std::thread([&] { StorageHTTP_SetActive(driver, nullptr, 0); }).join(),
               "Thread assertion failed");
  StorageHTTP_Release(&driver);
}

std::string Hex8(int32_t i) {
  char name[16];
  snprintf(name, sizeof name, "%08x", unsigned(i));
  return name;
}

// Every piece of h2 through the "http" driver: the buffer equals the
// generator's padded piece (pads zero), a member covering a whole file goes
// without a Range header and every other asks for exactly its bytes, and
// the storage's read meter equals what nginx logged as sent.
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
  long body = 0, bytes = 0;
  for (const TreeNginx::Line &l : LogLines(wanted.size())) {
    EXPECT_EQ(l.status, l.range == "-" ? 200 : 206) << l.uri;
    logged.push_back(l.range);
    body += l.body;
    bytes += l.bytes;
  }
  Dictionary *status = nullptr;
  Dictionary_Create(&status);
  Storage_GetStatus(storage, status);
  int64_t readBytes = 0;
  Dictionary_GetInt64ByKey(status, "readBytes", &readBytes);
  Dictionary_Release(&status);
  // The storage's meter counts the body bytes of every transfer, as nginx
  // sent them: not the headers around them.
  EXPECT_EQ(readBytes, body);
  EXPECT_LT(body, bytes);
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
  // A file that spans pieces comes in several ranges: wait for every name,
  // not for as many lines as names.
  std::vector<TreeNginx::Line> lines;
  Test_WaitUntil([&] {
    lines = LogLines();
    logged.clear();
    for (const TreeNginx::Line &l : lines) logged.insert(l.uri);
    return logged.size() >= wanted.size();
  }, 20000);
  bool gzipped = false;
  for (const TreeNginx::Line &l : lines)
    if (l.uri.find("/plain.txt") != std::string::npos && l.range == "-") gzipped = l.body < 500;
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

namespace {

// Many members in flight at once on the slow location (512 bytes a second
// a request), each on its own connection.
class StorageHttpThreaded : public StorageHttpFixture {
 protected:
  static constexpr int32_t kInFlight = 64;
  void SetUp() override {
    StorageHttpFixture::SetUp();
    if (IsSkipped()) return;
    Dictionary *limits = NetTest_Dictionary("{\"maxHostConnections\":64}");
    WebGetPool_Configure(WebGetPool_Get(), limits);
    Dictionary_Release(&limits);
    meta = MetaFile_TestLoadVectors("contenttree/http/meta/h2.json");
    ASSERT_EQ(Configure(storage, "{\"type\":\"http\",\"url\":\"" + Url("/slow/http/files/h2/") + "\"}"),
              1);
    for (int32_t i = 0; i < kInFlight; i++) {
      StorageRequest_Create(&requests[i]);
      Prepare(requests[i], meta.get(), i);
    }
  }
  void TearDown() override {
    for (StorageRequest *&r : requests)
      if (r != nullptr) Class_ReleaseObject(&r);
    StorageHttpFixture::TearDown();
  }
  void StartAll() {
    for (int32_t i = 0; i < kInFlight; i++)
      Storage_Read(storage, requests[i], nullptr, &outcomes[i], StorageOutcome::Complete);
  }
  int64_t ReadBytes() {
    MeterRW *meters = nullptr;
    Storage_GetMeters(storage, &meters);
    Dictionary *status = nullptr;
    Dictionary_Create(&status);
    Storage_GetStatus(storage, status);
    int64_t bytes = 0;
    Dictionary_GetInt64ByKey(status, "readBytes", &bytes);
    Dictionary_Release(&status);
    return bytes;
  }
  bool AllDone() {
    for (const StorageOutcome &o : outcomes)
      if (o.calls == 0) return false;
    return true;
  }

  TestMetaPtr meta;
  StorageRequest *requests[kInFlight] = {};
  StorageOutcome outcomes[kInFlight];
};

// Switched off while bodies arrive and on again, every member starts again
// from its first byte; each step completes once, with the right bytes.
TEST_F(StorageHttpThreaded, InactiveThenActiveRestartsEveryMember) {
  std::vector<std::string> pieces;
  for (int32_t i = 0; i < kInFlight; i++)
    pieces.push_back(Tree("flat/h2/" + Hex8(i) + ".varnopiece"));
  // Members partly in: the head of their bytes is in the buffer, the tail
  // not yet (the buffer starts zeroed, the bytes are random).
  auto partlyIn = [&] {
    size_t count = 0;
    for (int32_t i = 0; i < kInFlight; i++) {
      uint8_t *p = nullptr;
      StorageRequest_GetBuffer(requests[i], 0, &p);
      const char *want = pieces[size_t(i)].data();
      for (StorageMember *m = StorageRequest_GetFirstMember(requests[i]); m != nullptr;
           m = m->next) {
        if (m->length == 0 || m->file->size == 0) continue;
        size_t head = size_t(m->paddedOffset), n = size_t(std::min<int64_t>(m->length, 8));
        size_t tail = head + size_t(m->length) - n;
        count += memcmp(p + head, want + head, n) == 0 && memcmp(p + tail, want + tail, n) != 0;
      }
      StorageRequest_ReleaseBuffer(requests[i], &p);
    }
    return count;
  };
  StartAll();
  // A machine that stalls until every byte is in has no member partly in:
  // the switch then comes at the end of the wait.
  NetTest_PumpUntil([&] { return partlyIn() > 0; });
  const size_t partly = partlyIn();
  Storage_SetActive(storage, 0);
  NetTest_PumpUntil([] { return false; }, 200);
  Storage_SetActive(storage, 1);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return AllDone(); }, 60000));
  size_t members = 0;
  for (int32_t i = 0; i < kInFlight; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(outcomes[i].calls, 1);
    EXPECT_EQ(outcomes[i].result, 0);
    EXPECT_EQ(Bytes(requests[i]), pieces[size_t(i)]);
    for (StorageMember *m = StorageRequest_GetFirstMember(requests[i]); m != nullptr; m = m->next)
      members += m->length > 0 && m->file->size > 0;
  }
  NetTest_PumpUntil([] { return false; }, 50);
  EXPECT_EQ(outcomes[0].calls, 1);
  // One transfer per member, and each member partly in at the switch was
  // asked for again: nginx logged it twice (the first answer once it found
  // the connection gone, or whole if it had sent it all).
  std::vector<TreeNginx::Line> log;
  std::set<std::string> transfers;
  Test_WaitUntil([&] {
    log = LogLines();
    transfers.clear();
    for (const TreeNginx::Line &l : log) transfers.insert(l.uri + l.range);
    return transfers.size() >= members && log.size() >= members + partly;
  }, 20000);
  EXPECT_EQ(transfers.size(), members);
  EXPECT_GE(log.size(), members + partly);
}

// Stop with members in flight and read events still queued: every step
// completes once with 989/1 and no chain is left pending.
TEST_F(StorageHttpThreaded, StopCompletesEveryStepOnce) {
  StartAll();
  ASSERT_TRUE(NetTest_PumpUntil([&] { return ReadBytes() > 0; }));
  StorageOutcome late[8];
  StorageRequest *more[8] = {};
  for (int32_t i = 0; i < 8; i++) {
    StorageRequest_Create(&more[i]);
    Prepare(more[i], meta.get(), kInFlight + i);
    Storage_Read(storage, more[i], nullptr, &late[i], StorageOutcome::Complete);
  }
  // Let the workers queue their read events without running them.
  Test_WaitUntil([] { return IOWorker_GetBusyCount() == 0; }, 20000);
  Storage_Stop(storage);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Storage_GetPendingRequests(storage) == 0; }));
  // Small members (and pieces of pads only) may have ended before the
  // stop; the rest end stopped, in flight and queued alike.
  int stopped[2] = {};
  for (const StorageOutcome *set : {outcomes, late}) {
    for (int32_t i = 0; i < (set == late ? 8 : kInFlight); i++) {
      SCOPED_TRACE(i);
      EXPECT_EQ(set[i].calls, 1);
      if (set[i].result == 0) continue;
      EXPECT_EQ(set[i].result, kStorageResultCancelled);
      EXPECT_EQ(set[i].resultEx, kStorageCancelStopped);
      stopped[set == late]++;
    }
  }
  EXPECT_GT(stopped[0], 0);
  EXPECT_GT(stopped[1], 0);
  for (StorageRequest *&r : more) Class_ReleaseObject(&r);
}

}  // namespace

namespace {

// Regression: a member whose body had ended (its bytes counted in the
// request's length) but whose done event had not yet run was counted twice
// when switched off and on again; the piece came out too long.
TEST_F(StorageHttpThreaded, RestartAfterTheBodyEndedCountsOnce) {
  EventQueue *queue = nullptr;
  EventQueue_Create(&queue);
  EventQueue_SetOwner(queue, Thread_GetCurrentId());
  Storage *s = NewStorage();
  Storage_SetQueue(s, queue);
  ASSERT_EQ(Configure(s, "{\"type\":\"http\",\"url\":\"" + Url("/http/files/h2/") + "\"}"), 1);
  StorageRequest *r = requests[1];
  // Read events and chain steps go on; done events wait on the storage's
  // own queue until it is flushed.
  StorageOutcome o;
  Storage_Read(s, r, nullptr, &o, StorageOutcome::Complete);
  void *context = nullptr;
  Storage_GetDriverContext(s, &context);
  auto *driver = static_cast<StorageHTTP *>(context);
  ASSERT_TRUE(NetTest_PumpUntil([&] {
    EventQueue_Flush(queue);
    return driver->count > 0;
  }));
  // The first transfer ends: its body's end counted it, its done event
  // waits on the storage's queue.
  ASSERT_TRUE(NetTest_PumpUntil(
      [&] { return WebGetRequest_GetPhase(driver->first->request) == kWebGetPhaseDone; }));
  Storage_SetActive(s, 0);
  NetTest_Pump();
  Storage_SetActive(s, 1);
  ASSERT_TRUE(NetTest_PumpUntil([&] {
    EventQueue_Flush(queue);
    return o.calls == 1;
  }));
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(Bytes(r), Tree("flat/h2/00000001.varnopiece"));
  NetTest_PumpUntil([&] {
    EventQueue_Flush(queue);
    return s->header.refCount.load() == 1;
  });
  storages.pop_back();  // before its queue goes
  Class_ReleaseObject(&s);
  Class_ReleaseObject(&queue);
}

}  // namespace
