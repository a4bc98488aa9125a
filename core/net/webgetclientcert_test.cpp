#include "core/net/webgetclientcert.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/net/challenge.h"
#include "core/platform/notification.h"
#include "core/security/tls1.h"
#include "core/security/tls1_internal.h"
#include "tests/fd_stream.h"
#include "tests/netfixture.h"
#include "tests/test_util.h"

namespace {

// Every "Challenge"/"Request" a record posted, as JSON text.
struct Requests {
  explicit Requests(const char *id) : id_(id) {
    NotificationCenter_AddInstanceObserver("Challenge", "Request", id_, this, Record);
  }
  ~Requests() {
    NotificationCenter_RemoveInstanceObserver("Challenge", "Request", id_, this, Record);
  }
  static int Record(void *context, const char *, const char *, const char *, Dictionary *info) {
    static_cast<Requests *>(context)->texts.push_back(NetTest_Json(info));
    return 1;
  }
  const char *id_;
  std::vector<std::string> texts;
};

class WebGetClientCertTest : public NetTest {
 protected:
  // PKCS#12 bundles in the old form many users still hold (RC4 and SHA-1
  // MAC), made once for the suite by OpenSSL.
  static void SetUpTestSuite() {
    dir = new std::string(Test_MakeTempDirectory());
    const std::string d = *dir;
    std::string script =
        "set -e; cd '" + d + "'; "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout rsa.key -out rsa.pem -subj /CN=c1 "
        "-days 2 2>/dev/null; "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ec.key "
        "-out ec.pem -subj /CN=c2 -days 2 2>/dev/null; "
        "for k in rsa ec; do openssl pkcs12 -export -legacy -keypbe PBE-SHA1-RC4-128 "
        "-certpbe PBE-SHA1-RC4-128 -macalg sha1 -in \\$k.pem -inkey \\$k.key -out \\$k.p12 "
        "-passout pass:secret; done; "
        "head -c 2097152 /dev/zero > big.p12; mkdir sub.p12";
    int status = 0;
    std::string out = Test_RunCommand("bash -c \"" + script + "\" 2>&1", &status);
    ASSERT_EQ(status, 0) << out;
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    std::filesystem::remove_all(*dir, ignored);
    delete dir;
    dir = nullptr;
  }
  void SetUp() override {
    NetTest::SetUp();
    WebGetClientCert_Create(&cert);
    Tls_Create(&tls);
  }
  void TearDown() override {
    Tls_Delete(&tls);
    WebGetClientCert_Release(&cert);
    NetTest::TearDown();
  }
  static std::string *dir;
  WebGetClientCert *cert = nullptr;
  TLS1 *tls = nullptr;
};
std::string *WebGetClientCertTest::dir = nullptr;

TEST_F(WebGetClientCertTest, LoadsOnlyAWholeBundle) {
  struct Row {
    const char *file;
    const char *password;
    int result;
  } rows[] = {
      {"rsa.p12", "secret", 1},   {"ec.p12", "secret", 1},   {"rsa.p12", "Secret", 0},
      {"ec.p12", "secret", 1},    {"missing.p12", "secret", 0}, {"ec.p12", "secret", 1},
      {"big.p12", "secret", 0},   {"ec.p12", "secret", 1},   {"sub.p12", "secret", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.file);
    std::string path = *dir + "/" + row.file;
    EXPECT_EQ(WebGetClientCert_Load(cert, tls, path.c_str(), row.password), row.result);
    // A failure also drops the certificate an earlier load set.
    EXPECT_EQ(tls->Handshake->Pkcs12 != nullptr, row.result == 1);
  }
}

TEST_F(WebGetClientCertTest, RequestCarriesWhatTheRecordHolds) {
  Requests requests(reinterpret_cast<const char *>(cert));
  WebGetClientCert_SetAddress(cert, "h:443");
  std::string path = *dir + "/missing.p12";
  WebGetClientCert_Load(cert, tls, path.c_str(), "pw");
  WebGetClientCert_SetAddress(cert, "h:443");
  WebGetClientCert_Request(cert, "rsa,ecdsa,dss");
  WebGetClientCert_SetAddress(cert, "h:8443");
  WebGetClientCert_Request(cert, "");
  ASSERT_TRUE(NetTest_PumpUntil([&] { return requests.texts.size() == 2; }));
  EXPECT_EQ(requests.texts[0],
            "{\"filter\":\"clientcert\",\"certificateTypes\":[\"rsa\",\"ecdsa\",\"dss\"],"
            "\"address\":\"h:443\",\"certificatePath\":\"" + path + "\",\"password\":\"pw\"}");
  EXPECT_EQ(requests.texts[1],
            "{\"filter\":\"clientcert\",\"certificateTypes\":[],\"address\":\"h:8443\","
            "\"certificatePath\":\"\",\"password\":\"\"}");
}

TEST_F(WebGetClientCertTest, RefusedCertificateIsAskedForAgain) {
  TestPrompter ui;
  ui.Script(R"({"certificatePath":"/a.p12","password":"x"})");
  WebGetClientCert_SetAddress(cert, "h:443");
  WebGetClientCert_Request(cert, "rsa");
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Challenge_GetPendingCount() == 0 && ui.Prompts().size() == 1; }));
  WebGetClientCert_ReportFailure(cert);
  WebGetClientCert_Request(cert, "rsa");
  ASSERT_TRUE(NetTest_PumpUntil([&] { return ui.Prompts().size() == 2; }));
  EXPECT_NE(ui.Prompts()[1].request.find("\"attempt\":1"), std::string::npos);
  // Destroyed while waiting: nothing is left pending.
  WebGetClientCert_Release(&cert);
  EXPECT_EQ(Challenge_GetPendingCount(), 0);
  WebGetClientCert_Create(&cert);
}

}  // namespace
