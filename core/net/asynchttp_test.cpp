// The one-shot document request against nginx through the connection pool:
// the formats (JWS tokens minted by PyJWT), answers without a document, the
// owner's callbacks and retry times, Reset on the network and during the
// parse, and Save, also onto a read-only and a full file system.
#include "core/net/asynchttp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/net/webget.h"
#include "core/net/webgetpool.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/security/certstorekey.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/netfixture.h"
#include "tests/nginx_peer.h"
#include "tests/test_util.h"

namespace {

constexpr int kBoundMs = 20000;

// Each directory answers with its own Content-Type; /slow/ trickles.
const char *const kLocations =
    "location /json/ { types {} default_type application/json; } "
    "location /jsoncs/ { types {} default_type \"application/json; charset=utf-8\"; } "
    "location /xmlcs/ { types {} default_type \"Application/XML ; charset=UTF-8\"; } "
    "location /yamlcs/ { types {} default_type \"text/x-yaml;charset=utf-8\"; } "
    "location /text/ { types {} default_type text/plain; } "
    "location = /empty { return 204; } "
    "location = /partial { return 206 \"part\"; } "
    "location /slow/ { limit_rate 4k; }";

const char kJsonDoc[] = "{\"name\":\"json-doc\",\"list\":[1,2]}";
const char kXmlDoc[] = "<doc><name>xml-doc</name></doc>";
const char kYamlDoc[] = "name: yaml-doc\ncount: 3\n";

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The path of the one entry of directory; "" when it holds none or more.
std::string onlyEntryOf(const std::string &directory) {
  std::vector<std::string> entries;
  for (const auto &e : std::filesystem::directory_iterator(directory))
    entries.push_back(e.path().string());
  return entries.size() == 1 ? entries[0] : "";
}

std::string resultJson(AsyncHttp *a) {
  Dictionary *d = nullptr;
  AsyncHttp_GetDictionary(a, &d);
  return NetTest_Json(d);
}

int32_t resultCount(AsyncHttp *a) {
  Dictionary *d = nullptr;
  AsyncHttp_GetDictionary(a, &d);
  int32_t count = -1;
  Dictionary_GetCount(d, &count);
  return count;
}

struct Outcome {
  uint32_t code = 0, codeEx = 0;
};

Outcome errorOf(AsyncHttp *a) {
  Outcome o;
  AsyncHttp_GetError(a, &o.code, &o.codeEx);
  return o;
}

// The HS256 token of the PyJWT table, its secret, and a copy whose signature
// has one character changed.
struct Token {
  std::vector<uint8_t> secret;
  std::string good, flipped;
};

Token hs256Token() {
  Token t;
  for (const auto &[line, f] : Test_ReadRows("jws_tokens.txt")) {
    if (f[0] != "HS256") continue;
    t.secret = Test_HexToBytes(f[2]);
    t.good = f[3];
  }
  t.flipped = t.good;
  char &c = t.flipped[t.flipped.size() - 6];
  c = c == 'A' ? 'B' : 'A';
  return t;
}

class AsyncHttpThreaded : public NetTest {
 protected:
  static void SetUpTestSuite() {
    if (!NginxPortsPeer::Available()) return;
    token_ = new Token(hs256Token());
    nginx_ = new NginxPortsPeer(1, kLocations, false);
    for (const char *dir : {"json", "jsoncs"}) nginx_->WriteFile(std::string(dir) + "/doc.json", kJsonDoc);
    nginx_->WriteFile("json/bad.json", "{\"name\":");
    nginx_->WriteFile("json/signed.jws", token_->good);
    nginx_->WriteFile("json/flipped.jws", token_->flipped);
    nginx_->WriteFile("json/crlf.jws", token_->good + "\r\n");
    nginx_->WriteFile("json/padded.jws", token_->good + std::string(2048, ' '));
    nginx_->WriteFile("json/blank.jws", std::string(64, ' '));
    nginx_->WriteFile("xmlcs/signed.jws", token_->good);
    nginx_->WriteFile("xmlcs/doc.xml", kXmlDoc);
    nginx_->WriteFile("yamlcs/doc.yaml", kYamlDoc);
    nginx_->WriteFile("text/doc.json", kJsonDoc);
    nginx_->WriteFile("slow/big.bin", std::string(256 * 1024, 'b'));
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
    delete token_;
    token_ = nullptr;
  }
  void SetUp() override {
    if (nginx_ == nullptr || !nginx_->Started()) GTEST_SKIP() << "nginx is not available";
    NetTest::SetUp();
    NetTest_StartLoopbackServices();
    AsyncHttp_Create(&a_);
    CertStore *store = nullptr;
    CertStoreKey_Create(&store);
    CertStoreKey_SetKey(store, CertStoreKeyKind::Secret, token_->secret.data(),
                        int32_t(token_->secret.size()));
    AsyncHttp_SetCertStore(a_, store);
    CertStore_Release(&store);
  }
  void TearDown() override {
    if (a_ == nullptr) return;
    AsyncHttp_Release(&a_);
    WebGetPool *pool = WebGetPool_Get();
    if (pool != nullptr) WebGetPool_Release(&pool);
    EventQueue_Flush(EventQueue_GetMain());  // the posted releases of finished transfers
    AsyncFile_Shutdown();
    NetTest::TearDown();
  }

  std::string Url(const std::string &path) const { return nginx_->Url(0, path); }

  // Gets the document and pumps until the Get has finished.
  Outcome Fetch(const std::string &path, int32_t signedFlag = 0) {
    EXPECT_EQ(AsyncHttp_Get(a_, Url(path).c_str(), signedFlag), 1);
    EXPECT_TRUE(NetTest_PumpUntil([&] { return !AsyncHttp_IsRunning(a_); }, kBoundMs)) << path;
    return errorOf(a_);
  }

  static NginxPortsPeer *nginx_;
  static Token *token_;
  AsyncHttp *a_ = nullptr;
};

NginxPortsPeer *AsyncHttpThreaded::nginx_ = nullptr;
Token *AsyncHttpThreaded::token_ = nullptr;

TEST_F(AsyncHttpThreaded, DocumentsByFormat) {
  struct Row {
    const char *path;
    int32_t format, signedFlag;
    uint32_t code, codeEx;
    const char *contains;  // in the result's JSON text; NULL: the result is empty
  } rows[] = {
      {"/json/doc.json", 2, 0, 0, 0, "\"json-doc\""},
      {"/json/signed.jws", 2, 1, 0, 0, "\"keelson\""},
      {"/json/signed.jws", 2, 0, 0, 0, "\"keelson\""},
      {"/json/flipped.jws", 2, 1, 987, 10, nullptr},
      {"/json/flipped.jws", 2, 0, 987, 10, nullptr},
      {"/json/doc.json", 2, 1, 987, 9, nullptr},  // not a JWS at all
      // A signed document is a token and at most 1 KiB of white space; a
      // document not asked to be signed is not held to that.
      {"/json/crlf.jws", 2, 1, 0, 0, "\"keelson\""},
      {"/json/padded.jws", 2, 1, 987, kAsyncHttpCorruptDocument, nullptr},
      {"/json/padded.jws", 2, 0, 0, 0, "\"keelson\""},
      {"/json/blank.jws", 2, 1, 987, kAsyncHttpCorruptDocument, nullptr},
      {"/json/bad.json", 2, 0, 987, 2, nullptr},
      {"/xmlcs/signed.jws", 5, 1, 987, 10, nullptr},  // a signature is JSON's alone
      {"/xmlcs/doc.xml", 3, 1, 987, 10, nullptr},
      {"/xmlcs/doc.xml", 3, 0, 0, 0, "\"xml-doc\""},
      {"/yamlcs/doc.yaml", 4, 0, 0, 0, "\"yaml-doc\""},
      {"/jsoncs/doc.json", 5, 0, 0, 0, "\"json-doc\""},
      {"/xmlcs/doc.xml", 5, 0, 0, 0, "\"xml-doc\""},
      {"/yamlcs/doc.yaml", 5, 0, 0, 0, "\"yaml-doc\""},
      {"/text/doc.json", 5, 0, 0, 0, nullptr},  // raw
      {"/empty", 2, 0, 204, 0, nullptr},
      {"/partial", 2, 0, 206, 0, nullptr},
      {"/missing.json", 2, 0, 404, 0, nullptr},
  };
  EXPECT_EQ(errorOf(a_).code, 990u);
  EXPECT_EQ(AsyncHttp_Succeeded(a_), 0);
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.path) + " format " + std::to_string(row.format) + " signed " +
                 std::to_string(row.signedFlag));
    ASSERT_EQ(AsyncHttp_SetFormat(a_, row.format), 1);
    Outcome o = Fetch(row.path, row.signedFlag);
    EXPECT_EQ(o.code, row.code);
    EXPECT_EQ(o.codeEx, row.codeEx);
    EXPECT_EQ(AsyncHttp_Succeeded(a_), row.code == 0 ? 1 : 0);
    EXPECT_EQ(AsyncHttp_IsComplete(a_), 1);  // no error callback: every Get is final
    if (row.contains != nullptr)
      EXPECT_NE(resultJson(a_).find(row.contains), std::string::npos) << resultJson(a_);
    else
      EXPECT_EQ(resultCount(a_), 0) << resultJson(a_);
  }
  Dictionary *info = nullptr;
  Dictionary_Create(&info);
  AsyncHttp_GetErrorInfo(a_, info);
  EXPECT_NE(NetTest_Json(info).find("\"errorCount\":0"), std::string::npos) << NetTest_Json(info);
  Dictionary_Release(&info);
  // The lines of a body that is no token and of a signature that fails name
  // the document without its user information and query.
  for (const char *path : {"/json/blank.jws", "/json/flipped.jws"}) {
    SCOPED_TRACE(path);
    std::string url = Url(path);
    url.insert(url.find("//") + 2, "u:pw-secret@");
    TestLogCapture capture;
    EXPECT_EQ(AsyncHttp_Get(a_, (url + "?sig=q-secret").c_str(), 1), 1);
    EXPECT_TRUE(NetTest_PumpUntil([&] { return !AsyncHttp_IsRunning(a_); }, kBoundMs));
    std::string log = capture.Take();
    EXPECT_NE(log.find("AsyncHttp: '" + Url(path) + "'"), std::string::npos) << log;
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;
  }
}

struct Owner {
  int32_t errorAnswer = 5;
  double writeResume = 0;
  std::vector<uint32_t> errors;
  int32_t completeAnswer = 1;
  int completes = 0, prepares = 0;
  // While hold is set, the complete callback waits (bounded) on the worker.
  std::atomic<bool> hold{false}, entered{false};

  static int32_t OnError(AsyncHttp *, void *context, int32_t, int32_t kind, uint32_t code,
                         uint32_t, double *resume) {
    auto *o = static_cast<Owner *>(context);
    EXPECT_EQ(kind, kAsyncHttpKindGet);
    o->errors.push_back(code);
    if (o->errorAnswer != 5) *resume = o->writeResume;
    return o->errorAnswer;
  }
  static int32_t OnComplete(AsyncHttp *, void *context, uint32_t *, uint32_t *) {
    auto *o = static_cast<Owner *>(context);
    o->entered = true;
    Test_WaitUntil([&] { return !o->hold.load(); }, kBoundMs);
    o->completes++;
    return o->completeAnswer;
  }
  static int32_t OnPrepare(AsyncHttp *, void *context, WebGetRequest *request) {
    EXPECT_NE(request, nullptr);
    static_cast<Owner *>(context)->prepares++;
    return 1;
  }
  void Install(AsyncHttp *a) {
    AsyncHttp_SetErrorCallback(a, this, OnError);
    AsyncHttp_SetCompleteCallback(a, this, OnComplete);
    AsyncHttp_SetPrepareCallback(a, this, OnPrepare);
  }
};

// The owner's answers: 5 is final and changes nothing, any other answer
// counts a failure and takes the written time; a success clears the count
// and stamps its own time; a complete callback answering 0 empties the
// result of a successful Get.
TEST_F(AsyncHttpThreaded, OwnerCallbacksAndResumeTimes) {
  Owner owner;
  owner.Install(a_);
  double created = 0;
  AsyncHttp_GetResumeTime(a_, &created);

  EXPECT_EQ(Fetch("/missing.json").code, 404u);
  double resume = -1;
  AsyncHttp_GetResumeTime(a_, &resume);
  EXPECT_EQ(resume, created);
  EXPECT_EQ(AsyncHttp_IsComplete(a_), 1);

  owner.errorAnswer = 4;
  owner.writeResume = created + 1000;
  EXPECT_EQ(Fetch("/missing.json").code, 404u);
  EXPECT_EQ(Fetch("/json/bad.json").code, 987u);
  AsyncHttp_GetResumeTime(a_, &resume);
  EXPECT_EQ(resume, created + 1000);
  EXPECT_EQ(AsyncHttp_IsComplete(a_), 0);
  Dictionary *info = nullptr;
  Dictionary_Create(&info);
  AsyncHttp_GetErrorInfo(a_, info);
  EXPECT_NE(NetTest_Json(info).find("\"errorCount\":2"), std::string::npos) << NetTest_Json(info);

  double before = Platform_GetTickSeconds();
  EXPECT_EQ(Fetch("/json/doc.json").code, 0u);
  AsyncHttp_GetResumeTime(a_, &resume);
  EXPECT_GE(resume, before);
  EXPECT_LT(resume, created + 1000);
  AsyncHttp_GetErrorInfo(a_, info);
  EXPECT_NE(NetTest_Json(info).find("\"errorCount\":0"), std::string::npos);
  Dictionary_Release(&info);
  EXPECT_EQ(AsyncHttp_IsComplete(a_), 1);
  EXPECT_GT(resultCount(a_), 0);

  owner.completeAnswer = 0;
  EXPECT_EQ(Fetch("/json/doc.json").code, 0u);
  EXPECT_EQ(resultCount(a_), 0);
  EXPECT_EQ(owner.errors, (std::vector<uint32_t>{404, 404, 987}));
  EXPECT_EQ(owner.completes, 2);
  EXPECT_EQ(owner.prepares, 5);
}

// A running Get refuses another Get and a Save; a Reset while the transfer
// is on the network frees the object at once for the next Get.
TEST_F(AsyncHttpThreaded, ResetOnTheNetwork) {
  Owner owner;
  owner.Install(a_);
  ASSERT_EQ(AsyncHttp_Get(a_, Url("/slow/big.bin").c_str(), 0), 1);
  EXPECT_EQ(AsyncHttp_Get(a_, Url("/json/doc.json").c_str(), 0), 0);
  EXPECT_EQ(AsyncHttp_Save(a_, "/nonexistent/x"), 0);
  MeterRW *meter = nullptr;
  AsyncHttp_GetMeter(a_, &meter);
  uint64_t read = 0;
  ASSERT_TRUE(NetTest_PumpUntil([&] {
    MeterRW_GetBytes(meter, &read, nullptr);
    return read > 0;
  }, kBoundMs));
  AsyncHttp_Reset(a_, 0);
  EXPECT_EQ(AsyncHttp_IsRunning(a_), 0);
  EXPECT_EQ(errorOf(a_).code, 990u);
  EXPECT_EQ(Fetch("/json/doc.json").code, 0u);
  EXPECT_NE(resultJson(a_).find("json-doc"), std::string::npos);
  for (int i = 0; i < 20; i++) NetTest_Pump();  // the abandoned transfer calls nobody
  EXPECT_TRUE(owner.errors.empty());
  EXPECT_EQ(owner.completes, 1);
}

// A Reset while the parse runs on the I/O worker: the parse ends, its
// outcome is dropped without callbacks, and only then may the next Get run.
TEST_F(AsyncHttpThreaded, ResetDuringTheParse) {
  Owner owner;
  owner.Install(a_);
  owner.hold = true;
  ASSERT_EQ(AsyncHttp_Get(a_, Url("/json/doc.json").c_str(), 0), 1);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return owner.entered.load(); }, kBoundMs));
  AsyncHttp_Reset(a_, 0);
  EXPECT_EQ(AsyncHttp_IsRunning(a_), 1);
  EXPECT_EQ(AsyncHttp_Get(a_, Url("/json/doc.json").c_str(), 0), 0);
  owner.hold = false;
  ASSERT_TRUE(NetTest_PumpUntil([&] { return !AsyncHttp_IsRunning(a_); }, kBoundMs));
  EXPECT_EQ(errorOf(a_).code, 990u);
  EXPECT_EQ(resultCount(a_), 0);
  EXPECT_EQ(AsyncHttp_IsComplete(a_), 0);
  EXPECT_EQ(Fetch("/json/doc.json").code, 0u);
  EXPECT_NE(resultJson(a_).find("json-doc"), std::string::npos);
  EXPECT_TRUE(owner.errors.empty());
}

// Save writes the document in its format, or the kept body as it came; an
// empty path succeeds at once, an empty document fails with 962, a document
// above the maximum size with 959.
TEST_F(AsyncHttpThreaded, Save) {
  FsFaultTempDir dir;
  std::string path = dir / "sub/doc.json";
  EXPECT_EQ(Fetch("/json/doc.json").code, 0u);
  ASSERT_EQ(AsyncHttp_Save(a_, path.c_str()), 1);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return !AsyncHttp_IsRunning(a_); }, kBoundMs));
  EXPECT_EQ(AsyncHttp_IsSaved(a_), 1);
  EXPECT_EQ(readFile(path), kJsonDoc);
  EXPECT_EQ(onlyEntryOf(dir / "sub"), path);  // no temporary file is left

  AsyncHttp_Reset(a_, 0);
  EXPECT_EQ(AsyncHttp_IsSaved(a_), 0);
  EXPECT_EQ(AsyncHttp_Save(a_, ""), 1);
  EXPECT_EQ(AsyncHttp_IsSaved(a_), 1);
  EXPECT_EQ(AsyncHttp_Save(a_, path.c_str()), 1);
  EXPECT_EQ(errorOf(a_).code, 962u);

  AsyncHttp_KeepBody(a_);
  AsyncHttp_SetFormat(a_, kAsyncHttpFormatYaml);
  EXPECT_EQ(Fetch("/yamlcs/doc.yaml").code, 0u);
  const uint8_t *body = nullptr;
  int64_t length = 0;
  AsyncHttp_GetBody(a_, &body, &length);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(body), size_t(length)), kYamlDoc);
  ASSERT_EQ(AsyncHttp_Save(a_, path.c_str()), 1);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return !AsyncHttp_IsRunning(a_); }, kBoundMs));
  EXPECT_EQ(errorOf(a_).code, 0u);
  EXPECT_EQ(readFile(path), kYamlDoc);

  // The maximum size holds for the body and for the document saved.
  AsyncHttp_SetMaxSize(a_, 8);
  EXPECT_EQ(AsyncHttp_Save(a_, path.c_str()), 1);
  EXPECT_EQ(errorOf(a_).code, 959u);
  EXPECT_EQ(Fetch("/yamlcs/doc.yaml").code, 959u);
  EXPECT_EQ(readFile(path), kYamlDoc);
}

// The services a Save needs, in a forked child that starts without threads.
struct SaveServices {
  SaveServices() {
    Thread_Init();
    EventQueue_InitMain();
    Meter_Init();
    IOWorker_Init();
    AsyncFile_Init();
  }
  ~SaveServices() {
    AsyncFile_Shutdown();
    IOWorker_Shutdown();
    Meter_Shutdown();
    Thread_Shutdown();
    EventQueue *main = EventQueue_GetMain();
    Class_ReleaseObject(&main);
  }
};

// A Save that cannot complete leaves the old file whole: on a read-only file
// system the temporary file cannot be made; on a full one its write fails;
// a barrier that cannot be synced stops it before it writes.
TEST(AsyncHttpSave, FailedSaveKeepsTheOldFile) {
  FsFaultTempDir dir;
  std::string mount = dir / "fs";
  struct Row {
    const char *name;
    bool readOnly;
    size_t documentBytes;
    const char *barrier;  // below the mount
    uint32_t codeEx;
  } rows[] = {{"read-only", true, 100, "", 19},
              {"full", false, 2 << 20, "", 112},
              {"barrier gone", false, 100, "/gone", kPlatformErrorFileNotFound}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    FSFAULT_RUN([&](FsFaultChild &child) {
      if (!child.MountTmpfs(mount, "size=1M")) return;
      std::string path = mount + "/doc.json";
      std::ofstream(path) << "old";
      if (row.readOnly && !child.RemountReadOnly(mount)) return;
      SaveServices services;
      AsyncHttp *a = nullptr;
      AsyncHttp_Create(&a);
      Dictionary *d = nullptr;
      AsyncHttp_GetDictionary(a, &d);
      Dictionary_SetStringByKey(d, "text", std::string(row.documentBytes, 'x').c_str());
      if (row.barrier[0] != '\0')
        FSF_EXPECT_EQ(child, AsyncHttp_SetSaveBarrier(a, (mount + row.barrier).c_str()), 1);
      FSF_EXPECT_EQ(child, AsyncHttp_Save(a, path.c_str()), 1);
      FSF_EXPECT(child, Test_WaitUntil([&] {
        EventQueue_Flush(EventQueue_GetMain());
        return !AsyncHttp_IsRunning(a);
      }, kBoundMs));
      uint32_t code = 0, codeEx = 0;
      AsyncHttp_GetError(a, &code, &codeEx);
      FSF_EXPECT_EQ(child, code, 964u);
      FSF_EXPECT_EQ(child, codeEx, row.codeEx);
      FSF_EXPECT_EQ(child, AsyncHttp_IsSaved(a), 0);
      FSF_EXPECT_EQ(child, readFile(path), std::string("old"));
      FSF_EXPECT_EQ(child, onlyEntryOf(mount), path);  // no temporary file is left
      AsyncHttp_Release(&a);
    });
  }
}

}  // namespace
