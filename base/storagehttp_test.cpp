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
