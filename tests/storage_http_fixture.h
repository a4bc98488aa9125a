// The fixture of the HTTP storage tests: nginx serving the generated content
// tree (contenttree/nginx.conf of tests/gen_contenttree.py, its port filled
// in, its access log read back), the network services of NetTest with the
// connection pool and asynchronous files, and storages whose results come
// back on the main queue.
//
// Threads: the test's (main) thread.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iomanip>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/storage.h"
#include "base/storagedefaults.h"
#include "base/storagerequest.h"
#include "core/net/webget.h"
#include "core/net/webgetpool.h"
#include "core/platform/asyncfile.h"
#include "core/platform/ioworker.h"
#include "core/runtime/print.h"
#include "tests/metafile_vectors.h"
#include "tests/netfixture.h"
#include "tests/storage_test_util.h"
#include "tests/web_peers.h"

// nginx with the tree's own configuration, prefix in a directory of its own.
class TreeNginx : public WebPeer {
 public:
  TreeNginx() {
    std::string conf = Test_ReadVectors("contenttree/nginx.conf");
    size_t at = conf.find("127.0.0.1:0;");
    if (at == std::string::npos) return;
    Launch([this, conf, at](int port) {
      std::ofstream(dir / "nginx.conf")
          << std::string(conf).replace(at, 12, "127.0.0.1:" + std::to_string(port) + ";");
      return std::vector<std::string>{"/usr/sbin/nginx", "-c", dir / "nginx.conf", "-p",
                                      dir.path() + "/"};
    });
  }
  struct Line {
    int status = 0;
    long connection = 0, body = 0, bytes = 0;
    std::string range, uri;
  };
  // The access log so far: "port connection status body bytes "range" uri".
  std::vector<Line> Log() const {
    std::vector<Line> lines;
    std::ifstream in(dir / "access.log");
    for (std::string text; std::getline(in, text);) {
      std::istringstream fields(text);
      Line l;
      int port = 0;
      fields >> port >> l.connection >> l.status >> l.body >> l.bytes >> std::quoted(l.range) >>
          l.uri;
      lines.push_back(l);
    }
    return lines;
  }
};

class StorageHttpFixture : public NetTest, public StorageLogLines {
 protected:
  static void SetUpTestSuite() {
    if (!NginxPeer::Available()) return;
    nginx_ = new TreeNginx();
    ready_ = nginx_->Ready();
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "nginx or the content tree is not available";
    NetTest::SetUp();
    NetTest_StartLoopbackServices();
    storage = NewStorage();
    Dictionary_Create(&app);
    StorageDefaults_Merge(app);
    logStart = nginx_->Log().size();
  }
  void TearDown() override {
    if (!ready_) return;
    for (Storage *&s : storages) {
      NetTest_PumpUntil([&] { return s->header.refCount.load() == 1; });
      Class_ReleaseObject(&s);
    }
    Dictionary_Release(&app);
    NetTest_StopLoopbackServices();
    NetTest::TearDown();
  }
  Storage *NewStorage() {
    Storage *s = nullptr;
    Storage_Create(&s);
    Storage_SetQueue(s, EventQueue_GetMain());
    Storage_SetLogHook(s, static_cast<StorageLogLines *>(this), Hook);
    storages.push_back(s);
    return s;
  }
  int Configure(Storage *s, const std::string &json) {
    Dictionary *config = NetTest_Dictionary(json);
    int ok = Storage_Configure(s, app, config);
    Dictionary_Release(&config);
    return ok;
  }
  // A request for piece index of meta, buffer sized.
  static void Prepare(StorageRequest *r, MetaFile *meta, int32_t index) {
    StorageRequest_Reset(r);
    StorageRequest_SetMetaFile(r, meta);
    StorageRequest_AddPiece(r, index);
    StorageRequest_AllocBuffer(r);
  }
  StorageOutcome Read(Storage *s, StorageRequest *r, OffsetCache *cache = nullptr) {
    StorageOutcome o;
    Storage_Read(s, r, cache, &o, StorageOutcome::Complete);
    EXPECT_TRUE(NetTest_PumpUntil([&] { return o.calls == 1; }));
    return o;
  }
  static std::string Bytes(StorageRequest *r) {
    uint8_t *p = nullptr;
    StorageRequest_GetBuffer(r, 0, &p);
    std::string bytes(reinterpret_cast<char *>(p), size_t(StorageRequest_GetLength(r)));
    StorageRequest_ReleaseBuffer(r, &p);
    return bytes;
  }
  static std::string Url(const std::string &path) { return nginx_->Url(path); }
  static std::string Tree(const std::string &path) {
    return Test_ReadVectors("contenttree/http/" + path);
  }
  // The access log's lines of this test, once at least count are there.
  std::vector<TreeNginx::Line> LogLines(size_t count = 0) {
    std::vector<TreeNginx::Line> lines;
    Test_WaitUntil([&] {
      lines = nginx_->Log();
      return lines.size() >= logStart + count;
    }, 20000);
    lines.erase(lines.begin(), lines.begin() + long(std::min(logStart, lines.size())));
    return lines;
  }
  static TreeNginx *nginx_;
  static bool ready_;
  Storage *storage = nullptr;
  std::vector<Storage *> storages;
  Dictionary *app = nullptr;
  size_t logStart = 0;
};

inline TreeNginx *StorageHttpFixture::nginx_ = nullptr;
inline bool StorageHttpFixture::ready_ = false;
