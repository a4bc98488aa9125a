// The request's response side: raw answers made by tests/gen_http_responses.py
// (checked there against http.client, gzip and zlib) go through the header
// parse and the body pipeline in random block sizes; cookies, ranges,
// redirects and the file sink.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "core/net/url.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/thread.h"
#include "core/runtime/expand.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"
#include "tests/fsfault.h"
#include "tests/test_util.h"

namespace {

struct ResponseSession {
  Test_LogRecord log;
  StrExpandChainHandler savedUrlHandler = Str_GetExpandHandler(StrExpandSlot::Url);
  ResponseSession() {
    Thread_Init();
    Meter_Init();
    IOWorker_Init();
    AsyncFile_Init();
    Auth_Init();
    WebGet_Init();
    Str_SetExpandHandler(StrExpandSlot::Url, Url_MacroHandler);
  }
  ~ResponseSession() {
    Str_SetExpandHandler(StrExpandSlot::Url, savedUrlHandler);
    WebGet_Shutdown();
    Auth_Shutdown();
    AsyncFile_Shutdown();
    IOWorker_Shutdown();
    Meter_Shutdown();
    Thread_Shutdown();
  }
};

struct Request {
  WebGetRequest *r = nullptr;
  explicit Request(const char *url = "http://example.com/dir/file.bin") {
    WebGetRequest_Create(&r);
    WebGetRequest_SetUrl(r, url, 0);
  }
  ~Request() {
    void *object = r;
    Class_Release(&object);
  }
};

std::string unhex(const std::string &hex) {
  std::string out(hex.size() / 2, '\0');
  for (size_t i = 0; i < out.size(); i++) out[i] = char(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  return out;
}

void waitForWrites(WebGetRequest *r) {
  for (int i = 0; i < 10000 && WebGetRequest_HasPendingWrites(r); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_FALSE(WebGetRequest_HasPendingWrites(r));
}

// Runs one answer as a connection would: header, then the body in random
// blocks of 1 byte to 64 KiB, unconsumed bytes kept for the next call. The
// result code (0 on success).
int32_t runAnswer(WebGetRequest *r, const std::string &raw, std::mt19937 &rng) {
  int headerLength = 0;
  int32_t code = 0, codeEx = 0;
  if (!WebGetRequest_ParseResponseHeader(r, 1, raw.data(), int(raw.size()), &headerLength)) {
    WebGetRequest_GetError(r, &code, &codeEx);
    return code;
  }
  EXPECT_EQ(WebGetRequest_BeginBody(r, 0), 1);
  std::uniform_int_distribution<int> size(1, 65536);
  std::string pending;
  size_t pos = size_t(headerLength);
  bool ok = true;
  while (ok) {
    if (pos < raw.size()) {
      size_t n = std::min(raw.size() - pos, size_t(size(rng)));
      pending.append(raw, pos, n);
      pos += n;
    }
    int64_t consumed = 0;
    ok = WebGetRequest_ProcessBody(r, pending.data(), int64_t(pending.size()), &consumed) == 1;
    pending.erase(0, size_t(consumed));
    waitForWrites(r);
    int64_t length = 0;
    bool haveLength = WebGetRequest_GetContentLength(r, &length) == 1;
    if (haveLength && int64_t(WebGetRequest_GetBodyBytesConsumed(r)) == length) break;
    if (WebGetRequest_IsChunkedComplete(r)) break;
    if (pos >= raw.size() && (consumed == 0 || pending.empty())) break;
  }
  if (ok) ok = WebGetRequest_EndBody(r, 0) == 1;
  waitForWrites(r);
  WebGetRequest_GetError(r, &code, &codeEx);
  EXPECT_EQ(ok, code == 0);
  return code;
}

std::string memoryOf(WebGetRequest *r);

std::string fileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One answer into the file sink at directory/out.bin; with resume the range
// asked starts at the file's size.
int32_t runToFile(const std::string &directory, const std::string &answer, int resume,
                  std::mt19937 &rng, std::string *memory = nullptr, int64_t rangeStart = -1) {
  Request q("http://example.com/out.bin");
  WebGetRequest_SetFilePath(q.r, (directory + "/").c_str());
  WebGetRequest_SetFileOutput(q.r);
  WebGetRequest_SetAllowResume(q.r, resume);
  std::string path = directory + "/out.bin";
  uint64_t size = std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0;
  if (resume) WebGetRequest_SetRange(q.r, rangeStart >= 0 ? uint64_t(rangeStart) : size, 0);
  int32_t code = runAnswer(q.r, answer, rng);
  if (memory) *memory = memoryOf(q.r);
  return code;
}

std::string memoryOf(WebGetRequest *r) {
  const uint8_t *data = nullptr;
  int64_t length = 0;
  WebGetRequest_GetMemoryOutput(r, &data, &length);
  return std::string(reinterpret_cast<const char *>(data), size_t(length));
}

}  // namespace

// Every generated answer ends with its code, its status and its body, under
// three different block patterns.
TEST(WebGetResponse, GeneratedAnswersDecodeOrFailAsExpected) {
  ResponseSession session;
  std::istringstream lines(Test_ReadVectors("http_responses.txt"));
  std::string line;
  int cases = 0;
  std::mt19937 rng(38);
  while (std::getline(lines, line)) {
    auto f = Test_SplitTabs(line);
    ASSERT_EQ(f.size(), 6u);
    std::string raw = unhex(f[1]);
    for (int round = 0; round < 3; round++) {
      Request q;
      if (f[0] == "gzip_bomb") WebGetRequest_SetSizeLimit(q.r, 1 << 20);
      int64_t before = 0, bytes = 0;
      Mem_GetUsage(&before, &bytes);
      EXPECT_EQ(runAnswer(q.r, raw, rng), std::stoi(f[2])) << f[0];
      EXPECT_EQ(WebGetRequest_GetStatusCode(q.r), std::stoi(f[3])) << f[0];
      if (f[4] != "-") {
        EXPECT_TRUE(memoryOf(q.r) == unhex(f[4])) << f[0];
      }
      if (f[0] == "gzip_bomb") {
        EXPECT_EQ(WebGetRequest_GetBytesReceived(q.r), uint64_t(1) << 20);
        EXPECT_LE(memoryOf(q.r).size(), size_t(1) << 20);
      }
      if (f[0] == "cl_with_te") {
        EXPECT_EQ(WebGetRequest_GetKeepAlive(q.r), 0);
      }
    }
    cases++;
  }
  EXPECT_GE(cases, 30);
}

// The size limit: exactly the limit reaches the sink, then 959, whether the
// excess comes in the same block or the next.
TEST(WebGetResponse, SizeLimitDeliversExactlyTheLimit) {
  ResponseSession session;
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  const std::string body = "0123456789abcdefghijklmno";
  for (int split : {10, 25}) {
    Request q;
    WebGetRequest_SetSizeLimit(q.r, 10);
    ASSERT_EQ(WebGetRequest_ParseResponseHeader(q.r, 0, head.data(), int(head.size()), nullptr), 1);
    ASSERT_EQ(WebGetRequest_BeginBody(q.r, 1), 1);
    int64_t consumed = 0;
    int first = WebGetRequest_ProcessBody(q.r, body.data(), split, &consumed);
    int second = split < 25 ? WebGetRequest_ProcessBody(q.r, body.data() + split, 25 - split, &consumed) : 0;
    EXPECT_EQ(first == 1 && second == 1, false) << split;
    EXPECT_EQ(memoryOf(q.r), body.substr(0, 10)) << split;
    int32_t code, codeEx;
    WebGetRequest_GetError(q.r, &code, &codeEx);
    EXPECT_EQ(code, 959) << split;
  }
  // A redirect's page is not the document: no limit of the document's cuts it.
  Request redirected;
  WebGetRequest_SetSizeLimit(redirected.r, 10);
  const std::string moved = "HTTP/1.1 301 Moved\r\nLocation: /y\r\n\r\n";
  ASSERT_EQ(WebGetRequest_ParseResponseHeader(redirected.r, 0, moved.data(), int(moved.size()),
                                              nullptr), 1);
  ASSERT_EQ(WebGetRequest_BeginBody(redirected.r, 1), 1);
  int64_t consumed = 0;
  EXPECT_EQ(WebGetRequest_ProcessBody(redirected.r, body.data(), 25, &consumed), 1);
  EXPECT_EQ(consumed, 25);
}

// Header facts: keep-alive, ranges, Content-Disposition names, cache
// directives.
TEST(WebGetResponse, HeaderFactsTable) {
  ResponseSession session;
  struct Row {
    const char *header;
    uint64_t rangeStart, rangeEnd;
    int32_t code;
    int keepAlive;
    const char *filename;  // of a 968: the coding named
    int32_t directive;
  } rows[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n", 0, 0, 0, 1, "file.bin", 0},
      {"HTTP/1.1 200 OK\r\n\r\n", 0, 0, 0, 0, "file.bin", 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nConnection: CLOSE\r\n\r\n", 0, 0, 0, 0, "file.bin", 0},
      {"HTTP/1.1 206 P\r\nContent-Length: 100\r\nContent-Range: bytes 100-199/1000\r\n\r\n", 100, 199, 0, 1, "file.bin", 0},
      {"HTTP/1.1 206 P\r\nContent-Length: 51\r\nContent-Range: bytes 100-150/1000\r\n\r\n", 100, 199, 954, 1, "file.bin", 0},
      {"HTTP/1.1 206 P\r\nContent-Length: 100\r\nContent-Range: bytes 0-99/1000\r\n\r\n", 100, 199, 954, 1, "file.bin", 0},
      // A range past the end, answered up to the last byte: whole; cut short elsewhere: not.
      {"HTTP/1.1 206 P\r\nContent-Length: 50\r\nContent-Range: bytes 100-149/150\r\n\r\n", 100, 199, 0, 1, "file.bin", 0},
      {"HTTP/1.1 206 P\r\nContent-Length: 50\r\nContent-Range: bytes 100-149/151\r\n\r\n", 100, 199, 954, 1, "file.bin", 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", 100, 199, 978, 1, "file.bin", 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", 100, 199, 0, 1, "file.bin", 0},
      {"HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"../../.bashrc\"\r\n\r\n", 0, 0, 0, 0, ".bashrc", 0},
      {"HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"..\"\r\n\r\n", 0, 0, 0, 0, "file.bin", 0},
      {"HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"a:b\"\r\n\r\n", 0, 0, 0, 0, "file.bin", 0},
      {"HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"dir/\"\r\n\r\n", 0, 0, 0, 0, "file.bin", 0},
      {"HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=report.pdf\r\n\r\n", 0, 0, 0, 0, "report.pdf", 0},
      {"HTTP/1.1 200 OK\r\nCache-Control: max-age=5, no-store\r\n\r\n", 0, 0, 0, 0, "file.bin", 2},
      {"HTTP/1.1 200 OK\r\nPragma: no-cache\r\n\r\n", 0, 0, 0, 0, "file.bin", 1},
      // Identity asked for: a whole answer's gzip is undone, a range's is not.
      {"HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\n\r\n", 0, 0, 0, 0, "file.bin", 0},
      {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n", 0, 0, 0, 0, "file.bin", 0},
      {"HTTP/1.1 200 OK\r\nContent-Encoding: br\r\n\r\n", 0, 0, 968, 0, "br", 0},
      {"HTTP/1.1 206 P\r\nContent-Length: 100\r\nContent-Range: bytes 100-199/1000\r\n"
       "Content-Encoding: gzip\r\n\r\n", 100, 199, 968, 1, "gzip", 0},
  };
  for (const Row &row : rows) {
    Request q;
    WebGetRequest_SetRange(q.r, row.rangeStart, row.rangeEnd);
    WebGetRequest_SetIdentityOnly(q.r, 1);
    int ok = WebGetRequest_ParseResponseHeader(q.r, 1, row.header, int(strlen(row.header)), nullptr);
    int32_t code, codeEx;
    WebGetRequest_GetError(q.r, &code, &codeEx);
    EXPECT_EQ(code, row.code) << row.header;
    EXPECT_EQ(ok, row.code == 0 ? 1 : 0) << row.header;
    if (code == kWebGetErrorContentEncoding) {
      EXPECT_STREQ(WebGet_GetCodingName(codeEx), row.filename) << row.header;
    }
    if (!ok) continue;
    EXPECT_EQ(WebGetRequest_GetKeepAlive(q.r), row.keepAlive) << row.header;
    char name[260];
    WebGetRequest_GetFilename(q.r, name, int(sizeof name));
    EXPECT_STREQ(name, row.filename) << row.header;
    EXPECT_EQ(WebGetRequest_GetCacheDirective(q.r), row.directive) << row.header;
  }
}

// Cookies: domain matching, secure cookies over https only, header names in
// any case, replacement in place, macro cookies bound to the URL's host.
TEST(WebGetResponse, CookieJarTable) {
  ResponseSession session;
  Request q("https://www.example.com/a");
  const char *head =
      "HTTP/1.1 200 OK\r\n"
      "set-cookie: a=1; Path=/x; Secure\r\n"
      "Set-Cookie: b=2; Domain=.example.com\r\n"
      "Set-Cookie: c=3; Domain=ample.com\r\n"
      "Set-Cookie: d=4; Domain=other.org\r\n"
      "Set-Cookie: a=5; Secure\r\n\r\n";
  ASSERT_EQ(WebGetRequest_ParseResponseHeader(q.r, 0, head, int(strlen(head)), nullptr), 1);
  char out[512];
  EXPECT_EQ(WebGetRequest_FormatCookies(q.r, out, int(sizeof out)), 1);
  EXPECT_STREQ(out, "a=5; b=2;");
  struct Row {
    const char *url;
    const char *cookies;
  } rows[] = {
      {"http://www.example.com/", "b=2;"},
      {"https://example.com/", "b=2;"},
      {"https://ample.com/", ""},
      {"https://notexample.com/", ""},
      {"https://deep.www.example.com/", "a=5; b=2;"},
  };
  for (const Row &row : rows) {
    WebGetRequest_SetUrl(q.r, row.url, 0);
    WebGetRequest_FormatCookies(q.r, out, int(sizeof out));
    EXPECT_STREQ(out, row.cookies) << row.url;
  }
  Request m("http://one.test/{Cookie:k,v}");
  WebGetRequest_FormatCookies(m.r, out, int(sizeof out));
  EXPECT_STREQ(out, "k=v;");
  WebGetRequest_SetUrl(m.r, "http://two.test/", 0);
  EXPECT_EQ(WebGetRequest_HasCookies(m.r), 0);
}

// Redirects: limits, loops, schemes, the whitelist, dot segments, escaped
// macros.
TEST(WebGetResponse, RedirectTable) {
  ResponseSession session;
  WebGet_AddWhitelistHost("*.test");
  struct Row {
    const char *from;
    const char *location;
    int32_t code, codeEx;
    const char *to;
  } rows[] = {
      {"http://a.test/x", "/y", 0, 0, "http://a.test/y"},
      {"http://a.test/x", "http://a.test/x", 984, 0, nullptr},
      {"http://a.test/x", "file:///etc/passwd", 957, 0, nullptr},
      {"https://a.test/x", "http://b.test/z", 957, kWebGetBlockedRedirectToHttp, nullptr},
      {"https://a.test/x", "https://b.test/z", 0, 0, "https://b.test/z"},
      {"http://a.test/x", "http://b.example/z", 963, 302, nullptr},
      {"http://a.test/p/q/x", "../../alias.json", 0, 0, "http://a.test/alias.json"},
      {"http://a.test/x", "/{MACAddress}", 0, 0, "http://a.test/%7BMACAddress%7D"},
      {"http://a.test/x", nullptr, 983, 0, nullptr},
  };
  for (const Row &row : rows) {
    Request q(row.from);
    std::string head = "HTTP/1.1 302 Found\r\n";
    if (row.location) head += std::string("Location: ") + row.location + "\r\n";
    head += "\r\n";
    ASSERT_EQ(WebGetRequest_ParseResponseHeader(q.r, 0, head.data(), int(head.size()), nullptr), 1);
    int ok = WebGetRequest_FollowRedirect(q.r);
    int32_t code, codeEx;
    WebGetRequest_GetError(q.r, &code, &codeEx);
    EXPECT_EQ(code, row.code) << row.location;
    EXPECT_EQ(codeEx, row.codeEx) << row.location;
    EXPECT_EQ(ok, row.code == 0 ? 1 : 0);
    if (row.to) {
      const char *url = nullptr;
      WebGetRequest_GetUrl(q.r, &url);
      EXPECT_STREQ(url, row.to);
    }
  }
  // Four redirects are followed; the fifth fails.
  Request q("http://a.test/0");
  for (int i = 1; i <= 5; i++) {
    std::string head = "HTTP/1.1 302 Found\r\nLocation: /" + std::to_string(i) + "\r\n\r\n";
    WebGetRequest_ParseResponseHeader(q.r, 0, head.data(), int(head.size()), nullptr);
    EXPECT_EQ(WebGetRequest_FollowRedirect(q.r), i < 5 ? 1 : 0) << i;
  }
  // A 303 is fetched with a GET and no body; a 307 and a 308 resend the POST.
  static const char kPost[] = "a=1";
  for (int status : {303, 307, 308}) {
    Request post("http://a.test/form");
    WebGetRequest_SetMethod(post.r, kWebGetMethodPost);
    WebGetRequest_SetPostData(post.r, kPost, 3);
    std::string head = "HTTP/1.1 " + std::to_string(status) + " X\r\nLocation: /done\r\n\r\n";
    WebGetRequest_ParseResponseHeader(post.r, 0, head.data(), int(head.size()), nullptr);
    ASSERT_EQ(WebGetRequest_FollowRedirect(post.r), 1) << status;
    const void *data = nullptr;
    int32_t length = -1;
    WebGetRequest_GetPostData(post.r, &data, &length);
    EXPECT_EQ(post.r->method, status == 303 ? kWebGetMethodGet : kWebGetMethodPost) << status;
    EXPECT_EQ(length, status == 303 ? 0 : 3) << status;
  }
}

// The file sink: a fresh file with the server's Last-Modified, resume onto a
// partial file, a 206 for another range leaves the file untouched, a 404
// body lands in memory.
TEST(WebGetResponse, FileSinkResumeAndStamps) {
  ResponseSession session;
  auto dir = std::filesystem::temp_directory_path() / ("k38_sink_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string path = (dir / "out.bin").string();
  std::string body(100000, '\0');
  std::mt19937 rng(7);
  for (char &c : body) c = char(rng());
  std::string dirText = dir.string();
  auto run = [&](const std::string &head, const std::string &payload, int resume) {
    std::string memory;
    int32_t code = runToFile(dirText, head + payload, resume, rng, &memory);
    return std::make_pair(code, memory);
  };
  std::string h200 = "HTTP/1.1 200 OK\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                     "Content-Length: 40000\r\n\r\n";
  EXPECT_EQ(run(h200, body.substr(0, 40000), 0).first, 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 784111777);
  std::string h206 = "HTTP/1.1 206 Partial\r\nContent-Range: bytes 40000-99999/100000\r\n"
                     "Content-Length: 60000\r\n\r\n";
  EXPECT_EQ(run(h206, body.substr(40000), 1).first, 0);
  EXPECT_TRUE(fileText(path) == body);
  std::string wrong = "HTTP/1.1 206 Partial\r\nContent-Range: bytes 10-99999/100000\r\n"
                      "Content-Length: 99990\r\n\r\n";
  EXPECT_EQ(run(wrong, body.substr(10), 1).first, 954);
  EXPECT_TRUE(fileText(path) == body);
  // A 206 for the range asked, but not starting at the file's end.
  std::string early = "HTTP/1.1 206 Partial\r\nContent-Range: bytes 10-99999/100000\r\n"
                      "Content-Length: 99990\r\n\r\n";
  EXPECT_EQ(runToFile(dirText, early + body.substr(10), 1, rng, nullptr, 10), 954);
  EXPECT_TRUE(fileText(path) == body);
  auto missing = run("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\n", "gone", 0);
  EXPECT_EQ(missing.first, 0);
  EXPECT_EQ(missing.second, "gone");
  std::filesystem::remove_all(dir);
}

// A full disk halfway: the write fails with 964, the file is cut back to the
// failed write (no hole behind it), and a resume from the cut file on a disk
// with room reproduces the whole body.
TEST(WebGetResponseDiskFull, CutFileResumesToTheWholeBody) {
  FsFaultTempDir dir;
  FSFAULT_RUN([&](FsFaultChild &child) {
    std::string small = dir / "small", big = dir / "big";
    if (!child.MountTmpfs(small, "size=1M")) return;
    std::filesystem::create_directories(big);
    ResponseSession session;
    std::mt19937 rng(9);
    std::string body(1536 * 1024, '\0');
    for (char &c : body) c = char(rng());
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\n\r\n";
    FSF_EXPECT_EQ(child, runToFile(small, head + body, 0, rng), 964);
    std::string cut = fileText(small + "/out.bin");
    FSF_EXPECT(child, cut.size() < body.size());
    FSF_EXPECT(child, cut == body.substr(0, cut.size()));
    std::filesystem::copy_file(small + "/out.bin", big + "/out.bin");
    std::string rest = "HTTP/1.1 206 Partial\r\nContent-Range: bytes " + std::to_string(cut.size()) +
                       "-" + std::to_string(body.size() - 1) + "/" + std::to_string(body.size()) +
                       "\r\nContent-Length: " + std::to_string(body.size() - cut.size()) + "\r\n\r\n";
    FSF_EXPECT_EQ(child, runToFile(big, rest + body.substr(cut.size()), 1, rng), 0);
    FSF_EXPECT(child, fileText(big + "/out.bin") == body);
  });
}

// Answers of a real nginx (gzip, chunked, ranges, Last-Modified, added
// headers), recorded by tests/gen_nginx_answers.py: every body equals the
// served bytes, into memory and into a file stamped with the file's time.
TEST(WebGetResponse, NginxAnswersDecodeByteForByte) {
  std::string text = Test_ReadVectors("nginx_answers.txt");
  if (text.rfind("# skip", 0) == 0) GTEST_SKIP() << "nginx is not installed";
  ResponseSession session;
  auto dir = std::filesystem::temp_directory_path() / ("k38_nginx_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::istringstream lines(text);
  std::string line;
  std::mt19937 rng(5);
  int cases = 0;
  while (std::getline(lines, line)) {
    auto f = Test_SplitTabs(line);
    ASSERT_EQ(f.size(), 6u);
    std::string raw = unhex(f[1]), body = unhex(f[2]);
    uint64_t start = std::stoull(f[3]), end = std::stoull(f[4]);
    Request q("http://127.0.0.1/file");
    WebGetRequest_SetRange(q.r, start, end);
    EXPECT_EQ(runAnswer(q.r, raw, rng), 0) << f[0];
    EXPECT_TRUE(memoryOf(q.r) == body) << f[0];
    char name[260];
    WebGetRequest_GetFilename(q.r, name, int(sizeof name));
    EXPECT_STREQ(name, "served.dat") << f[0];
    if (start == 0) {
      std::filesystem::remove(dir / "served.dat");
      EXPECT_EQ(runToFile(dir.string(), raw, 0, rng), 0) << f[0];
      EXPECT_TRUE(fileText((dir / "served.dat").string()) == body) << f[0];
      struct stat st;
      ASSERT_EQ(stat((dir / "served.dat").c_str(), &st), 0);
      EXPECT_EQ(int64_t(st.st_mtime), std::stoll(f[5])) << f[0];
    }
    cases++;
  }
  EXPECT_EQ(cases, 9);
  std::filesystem::remove_all(dir);
}

// A Post sends the URL's query from the request's own copy, which a new URL
// does not change; {Header:} sets a request line.
TEST(WebGetResponse, PostQueryIsTheRequestsOwnCopy) {
  ResponseSession session;
  Request q("http://a.test/form?x=1&y=2{Header:X-Test,yes}");
  WebGetRequest_SetMethod(q.r, kWebGetMethodPost);
  EXPECT_EQ(WebGetRequest_AddStandardHeaders(q.r), 1);
  WebGetRequest_SetUrl(q.r, "http://b.test/other?z=9", 0);
  const void *data = nullptr;
  int32_t length = 0;
  WebGetRequest_GetPostData(q.r, &data, &length);
  EXPECT_EQ(std::string(static_cast<const char *>(data), size_t(length)), "x=1&y=2");
  char *block = nullptr;
  int size = 0;
  WebGetRequest_GetRequestHeaders(q.r, &block, &size);
  char value[64];
  EXPECT_EQ(WebGet_GetHeaderValue(block, "X-Test", value, int(sizeof value)), 1);
  EXPECT_STREQ(value, "yes");
  EXPECT_EQ(WebGet_GetHeaderValue(block, "Content-Length", value, int(sizeof value)), 1);
  EXPECT_STREQ(value, "7");
}
