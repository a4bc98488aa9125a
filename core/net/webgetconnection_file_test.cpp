// The file:// pseudo server: whole files and ranges as an HTTP server
// answers them (the bytes compared with the file itself), names that need
// percent-encoding, the URLs and files it refuses, and that no server's
// redirect reaches a local file (nginx sends the Location).
#include "core/net/webgetconnection.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <fstream>
#include <string>

#include "core/net/url.h"
#include "core/net/webget.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "tests/netfixture.h"
#include "tests/web_peers.h"
#include "tests/webget_outcome.h"

namespace {

constexpr int kBoundMs = 20000;
// More than two reads of the pump, so a body takes several.
constexpr size_t kFileBytes = 40000;

// A connection log sink that appends each line to a std::string.
void collectLine(void *context, const char *format, ...) {
  char line[8192];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  *static_cast<std::string *>(context) += std::string(line) + "\n";
}

using Answer = WebGetOutcome;

class WebGetFileTest : public WebGetConnectionFixture {
 protected:
  void SetUp() override {
    WebGetConnectionFixture::SetUp();
    content_.resize(kFileBytes);
    uint32_t x = 12345;
    for (char &ch : content_) {
      x = x * 1103515245u + 12345u;
      ch = char(x >> 16);
    }
  }

  // "file://" and path with every byte but letters, digits and "/-._"
  // percent-encoded.
  static std::string FileUrl(const std::string &path) {
    char out[4096 * 3];
    Url_Encode(path.data(), int(path.size()), out, int(sizeof out), "/-._");
    return std::string("file://") + out;
  }

  Answer Run(WebGetRequest *r) { return Test_RunWebGet(connection_, r, false, kBoundMs); }

  Answer Fetch(const std::string &url, uint64_t start = 0, uint64_t end = 0) {
    WebGetRequest *r = nullptr;
    WebGetRequest_Create(&r);
    EXPECT_EQ(WebGetRequest_SetUrl(r, url.c_str(), 0), 1) << url;
    WebGetRequest_SetRange(r, start, end);
    Answer out = Run(r);
    Class_ReleaseObject(&r);
    return out;
  }

  std::string content_;
};

// Whole file and ranges, with the status and the bytes an HTTP server
// gives: a range ending past the end is cut at the last byte, one starting
// there is unsatisfiable and has no body.
TEST_F(WebGetFileTest, RangesAnswerAsAServerWould) {
  FsFaultTempDir dir;
  std::string path = dir / "a b \xc3\xa9t\xc3\xa9.bin";
  std::ofstream(path, std::ios::binary) << content_;
  std::string url = FileUrl(path);
  struct Row {
    uint64_t start, end;
    int32_t status;
    size_t from, to;  // the expected body: content_[from, to)
  } rows[] = {
      {0, 0, 200, 0, kFileBytes},
      {0, 99, 206, 0, 100},
      {1000, 30000, 206, 1000, 30001},
      {5, 0, 206, 5, kFileBytes},
      {kFileBytes - 10, kFileBytes + 5000, 206, kFileBytes - 10, kFileBytes},
      {kFileBytes, 0, 416, 0, 0},
      {kFileBytes + 1, kFileBytes + 100, 416, 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.start) + "-" + std::to_string(row.end));
    Answer a = Fetch(url, row.start, row.end);
    EXPECT_EQ(a.code, 0);
    EXPECT_EQ(a.status, row.status);
    EXPECT_TRUE(a.body == content_.substr(row.from, row.to - row.from)) << a.body.size();
  }
  // The name's UTF-8 bytes may also stand unencoded in the URL.
  Answer raw = Fetch("file://" + dir.path() + "/a%20b%20\xc3\xa9t\xc3\xa9.bin");
  EXPECT_EQ(raw.code, 0);
  EXPECT_TRUE(raw.body == content_);
}

// URLs that do not name exactly one local path, and files that are not
// regular files, fail before anything is read; a FIFO fails without
// waiting for a writer.
TEST_F(WebGetFileTest, RefusedUrlsAndFiles) {
  FsFaultTempDir dir;
  std::string file = dir / "f.txt";
  std::ofstream(file) << "hello";
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  struct Row {
    std::string url;
    int32_t code, codeEx;
  } rows[] = {
      {FileUrl(file) + "%00.png", 400, 0},
      {"file://localhost" + file, 400, 0},
      {"file://" + dir.path() + "/" + std::string(400, 'a'), 400, 0},
      {FileUrl(dir / "fifo"), kWebGetErrorOs, 5},
      {FileUrl(dir.path()), kWebGetErrorOs, 5},
      {FileUrl(dir / "missing"), kWebGetErrorOs, 2},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.url.substr(0, 120));
    Answer a = Fetch(row.url);
    EXPECT_EQ(a.code, row.code);
    EXPECT_EQ(a.codeEx, row.codeEx);
    EXPECT_EQ(a.body, "");
  }
  // The connection serves the next request as before.
  EXPECT_EQ(Fetch(FileUrl(file)).body, "hello");
}

// A file that shrinks under a read ends the request with 962 instead of
// waiting for bytes that will not come.
TEST_F(WebGetFileTest, FileShrinkingMidBodyIsUnderflow) {
  FsFaultTempDir dir;
  std::string path = dir / "shrinks.bin";
  std::ofstream(path, std::ios::binary) << content_;
  WebGetRequest *r = nullptr;
  WebGetRequest_Create(&r);
  WebGetRequest_SetUrl(r, FileUrl(path).c_str(), 0);
  // The sink cuts the file once the first read has arrived.
  WebGetRequest_SetWriteCallback(
      r, nullptr, &path,
      [](WebGetRequest *request, void *context, const void *data, int64_t length,
         int64_t *written) {
        truncate(static_cast<std::string *>(context)->c_str(), 100);
        return WebGetRequest_MemorySink(request, nullptr, data, length, written);
      });
  Answer a = Run(r);
  Class_ReleaseObject(&r);
  EXPECT_EQ(a.code, kWebGetErrorUnderflow);
}

// A server's Location never leads to a local file: a file:// Location is
// not followed (957), and a rule that turns the redirected URL into a
// file:// one is refused by the pseudo server (957). The file is not
// opened (inotify sees no access).
TEST_F(WebGetFileTest, RedirectNeverReachesALocalFile) {
  if (!NginxPeer::Available()) GTEST_SKIP() << "nginx is not installed";
  FsFaultTempDir secretDir;
  std::string secret = secretDir / "secret";
  std::ofstream(secret) << "secret";
  NginxPeer nginx("location = /passwd { return 302 \"file:///etc/passwd\"; } "
                  "location = /secret { return 302 \"" + FileUrl(secret) + "\"; } "
                  "location = /hop { return 302 /rewritten; }");
  ASSERT_TRUE(nginx.Ready());
  int watch = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, secret.c_str(), IN_OPEN | IN_ACCESS), 0);
  ASSERT_EQ(WebGet_AddUrlRedirect("k41file", 0, 1, "^http://.*/rewritten$",
                                  FileUrl(secret).c_str(), 0, 0),
            1);
  std::string lines;
  WebGetConnection_SetLogCallback(connection_, &lines, collectLine);
  for (const char *path : {"/passwd", "/secret", "/hop"}) {
    SCOPED_TRACE(path);
    Answer a = Fetch(nginx.Url(path));
    EXPECT_EQ(a.code, kWebGetErrorBlockedRedirect);
    EXPECT_EQ(a.body.find("root:"), std::string::npos);
    EXPECT_EQ(a.body.find("secret"), std::string::npos);
  }
  // Only the rewritten one got as far as the pseudo server.
  EXPECT_EQ(WebPeer_CountText(lines, "File URL reached through a redirect"), 1) << lines;
  WebGet_RemoveUrlRedirect("k41file");
  char events[4096];
  EXPECT_LT(read(watch, events, sizeof events), 0);
  close(watch);
}

// The local path of a URL: the empty host, then the decoded rest.
TEST(WebGetFileUrl, ParseTable) {
  struct Row {
    const char *url;
    int ok;
    const char *path;
  } rows[] = {
      {"file:///home/u/a%20b", 1, "/home/u/a b"},
      {"FILE:///x", 1, "/x"},
      {"file:///C:/x", 1, "/C:/x"},
      {"file://host/x", 0, ""},
      {"file://", 0, ""},
      {"file:/x", 0, ""},
      {"http:///x", 0, ""},
      {"file:///a%00b", 0, ""},
      {"file:///%2", 1, "/%2"},
  };
  for (const Row &row : rows) {
    char path[kWebGetFilePathBytes];
    EXPECT_EQ(WebGetConnection_ParseFileUrl(row.url, path, int(sizeof path)), row.ok) << row.url;
    EXPECT_STREQ(path, row.path) << row.url;
  }
  // The path fills its buffer exactly, or the URL is refused.
  char small[8];
  EXPECT_EQ(WebGetConnection_ParseFileUrl("file:///abcdef", small, int(sizeof small)), 1);
  EXPECT_EQ(WebGetConnection_ParseFileUrl("file:///abcdefg", small, int(sizeof small)), 0);
}

}  // namespace
