// The HTTP client's request record: lifetime, defaults, phases, the memory
// sink's bounds and the URL it ends up with.
#include "core/net/webgetrequest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/net/url.h"
#include "core/platform/asyncfile.h"
#include "core/platform/meter.h"
#include "core/runtime/expand.h"
#include "core/runtime/memory.h"
#include "core/security/auth.h"
#include "tests/test_util.h"

namespace {

constexpr int64_t kMiB = 1048576;

// What a request needs around it: the meters and asynchronous files of its
// output file, and the WebGet global for rewriting.
struct RequestSession {
  Test_LogRecord log;
  StrExpandChainHandler savedUrlHandler = Str_GetExpandHandler(StrExpandSlot::Url);
  RequestSession() {
    Meter_Init();
    AsyncFile_Init();
    Auth_Init();
    WebGet_Init();
    Str_SetExpandHandler(StrExpandSlot::Url, Url_MacroHandler);
  }
  ~RequestSession() {
    Str_SetExpandHandler(StrExpandSlot::Url, savedUrlHandler);
    WebGet_Shutdown();
    Auth_Shutdown();
    AsyncFile_Shutdown();
    Meter_Shutdown();
  }
};

int64_t liveBytes() {
  int64_t count = 0, bytes = 0;
  Mem_GetUsage(&count, &bytes);
  return bytes;
}

// Counts the lines that reach the request's log hook.
std::atomic<int> gLogLines{0};
void countLine(void *, const char *, ...) { gLogLines++; }

}  // namespace

TEST(WebGetRequest, CreatedAndReleasedWithoutQueueingFreesEverything) {
  Mem_Init(1);
  {
    RequestSession session;
    int64_t before = liveBytes();
    WebGetRequest *r = nullptr;
    ASSERT_EQ(WebGetRequest_Create(&r), 1);
    Dictionary *owner = nullptr;  // a class instance the callback cells hold
    Dictionary_Create(&owner);
    WebGetRequest_SetBodyEndCallback(r, owner, owner, [](WebGetRequest *, void *) { return 1; });
    WebGetRequest_SetStartCallback(r, owner, owner, [](WebGetRequest *, void *) { return 1; });
    EXPECT_EQ(owner->header.refCount.load(), 3);
    WebGetRequest_SetUrl(r, "http://cdn.example/a.bin", 1);
    int64_t written = 0;
    WebGetRequest_MemorySink(r, nullptr, "body", 4, &written);
    EXPECT_EQ(WebGetRequest_IsOnlyReference(r), 1);
    Class_ReleaseObject(&r);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(owner->header.refCount.load(), 1);
    Dictionary_Release(&owner);
    EXPECT_EQ(liveBytes(), before);
  }
  Mem_Shutdown();
}

TEST(WebGetRequest, DefaultsResetAndResults) {
  RequestSession session;
  WebGetRequest *r = nullptr;
  WebGetRequest_Create(&r);
  EXPECT_EQ(WebGetRequest_GetMethod(r), kWebGetMethodGet);
  EXPECT_EQ(WebGetRequest_GetTimeout(r), 15);
  EXPECT_EQ(r->redirectLimit, 4);
  EXPECT_EQ(WebGetRequest_GetCheckHost(r), 1);
  EXPECT_EQ(WebGetRequest_GetKeepAlive(r), 1);
  // An empty response still gives a valid buffer.
  const uint8_t *data = nullptr;
  int64_t length = -1;
  ASSERT_EQ(WebGetRequest_GetMemoryOutput(r, &data, &length), 1);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(length, 0);
  // The same phase twice: 0 and no line.
  WebGetRequest_SetLogFlag(r, 1);
  WebGetRequest_SetLogHook(r, nullptr, countLine);
  gLogLines = 0;
  EXPECT_EQ(WebGetRequest_SetPhase(r, kWebGetPhaseBody), 1);
  EXPECT_EQ(gLogLines.load(), 1);
  EXPECT_EQ(WebGetRequest_SetPhase(r, kWebGetPhaseBody), 0);
  EXPECT_EQ(gLogLines.load(), 1);
  // A 206 whose range did not match is no success.
  WebGetRequest_SetPhase(r, kWebGetPhaseDone);
  r->statusCode = 206;
  EXPECT_EQ(WebGetRequest_IsSuccess(r), 1);
  r->rangeMismatch = 1;
  EXPECT_EQ(WebGetRequest_IsSuccess(r), 0);
  EXPECT_EQ(WebGetRequest_SetError(r, kWebGetErrorTimeout, 5), 0);
  int32_t code = 0, codeEx = 0;
  WebGetRequest_GetError(r, &code, &codeEx);
  EXPECT_EQ(code, 961);
  EXPECT_EQ(codeEx, 5);
  // Reset: version 1.0, keep-alive 1, Idle, no range, no codes.
  WebGetRequest_SetRange(r, 100, 199);
  r->responseVersion = 1.1;
  r->keepAlive = 0;
  ASSERT_EQ(WebGetRequest_Reset(r), 1);
  uint64_t start = 1, end = 1;
  WebGetRequest_GetRange(r, &start, &end);
  EXPECT_EQ(start, 0u);
  EXPECT_EQ(end, 0u);
  EXPECT_DOUBLE_EQ(r->responseVersion, 1.0);
  EXPECT_EQ(WebGetRequest_GetKeepAlive(r), 1);
  EXPECT_EQ(WebGetRequest_GetPhase(r), kWebGetPhaseIdle);
  WebGetRequest_GetError(r, &code, &codeEx);
  EXPECT_EQ(code, 0);
  // An output path that does not fit is refused and leaves the field empty.
  EXPECT_EQ(WebGetRequest_SetFilePath(r, "/tmp/out.bin"), 1);
  EXPECT_EQ(WebGetRequest_SetFilePath(r, std::string(kPathMax, 'p').c_str()), 0);
  char path[16];
  WebGetRequest_GetFilePath(r, path, int(sizeof path));
  EXPECT_STREQ(path, "");
  Class_ReleaseObject(&r);
}

// Capacity after each write: whole MiB, 1.5 times the need, or exactly the
// announced length; nothing past min(size limit, 1 GiB), refused before any
// allocation.
TEST(WebGetRequest, MemorySinkGrowsAndStaysBounded) {
  struct Row {
    const char *name;
    int64_t contentLength;  // -1: none announced
    int64_t sizeLimit;
    std::vector<int64_t> writes;
    int64_t capacity, length;
    int32_t error;
  };
  const Row rows[] = {
      {"100 bytes", -1, 0, {100}, kMiB, 100, 0},
      {"1.5 MiB", -1, 0, {kMiB + kMiB / 2}, 3 * kMiB, kMiB + kMiB / 2, 0},
      {"grows again", -1, 0, {100, kMiB}, 3 * kMiB, kMiB + 100, 0},
      {"exact length", 5000, 0, {3000, 2000}, 5000, 5000, 0},
      {"more than announced", 100, 0, {150}, kMiB, 150, 0},
      {"2^40 announced", int64_t(1) << 40, 0, {10}, 0, 0, 959},
      {"2^62 announced", int64_t(1) << 62, 0, {10}, 0, 0, 959},
      {"size limit", -1, 1000, {600, 600}, 1000, 600, 959},
      {"limit above length", 2000, 1000, {10}, 0, 0, 959},
      {"past 1 GiB", -1, 0, {int64_t(1) << 31}, 0, 0, 959},
  };
  RequestSession session;
  std::vector<uint8_t> source(2 * kMiB, 'b');
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    WebGetRequest *r = nullptr;
    WebGetRequest_Create(&r);
    r->hasContentLength = row.contentLength >= 0;
    r->contentLength = row.contentLength >= 0 ? row.contentLength : 0;
    WebGetRequest_SetSizeLimit(r, row.sizeLimit);
    int64_t count0 = 0, bytes0 = 0;
    Mem_GetUsage(&count0, &bytes0);
    int ok = 1;
    int64_t written = 0;
    for (int64_t n : row.writes)
      // Lengths past the source are refused before a byte is read.
      ok = ok && WebGetRequest_MemorySink(r, nullptr, source.data(), n, &written);
    EXPECT_EQ(ok, row.error == 0);
    EXPECT_EQ(r->error.load(), row.error);
    EXPECT_EQ(written, row.length);
    if (row.capacity == 0) {
      int64_t count1 = 0, bytes1 = 0;
      Mem_GetUsage(&count1, &bytes1);
      EXPECT_EQ(bytes1, bytes0);
    }
    uint8_t *data = nullptr;
    int64_t capacity = -1, length = -1;
    ASSERT_EQ(WebGetRequest_TakeMemoryOutput(r, &data, &capacity, &length), 1);
    EXPECT_EQ(capacity, row.capacity);
    EXPECT_EQ(length, row.length);
    EXPECT_EQ(r->memoryOutput, nullptr);
    if (data) Mem_Free(data, capacity, KSRC);
    Class_ReleaseObject(&r);
  }
}

TEST(WebGetRequest, UrlEndsEscapedWithHostAndFileOfTheFinalUrl) {
  RequestSession session;
  ASSERT_EQ(WebGet_AddUrlRedirect("mirror", 0, 1, "^http://cdn\\.example/(.*)\\.bin$",
                                  "http://mirror.example:8080/$1\t\x01 x.part", 0, 0),
            1);
  struct Row {
    const char *url;
    int rewrite;
    const char *result, *host, *filename;
  };
  const Row rows[] = {
      {"http://h/dir/{UrlDecode:%0D%0A}x.bin", 0, "http://h/dir/%0D%0Ax.bin", "h", "%0D%0Ax.bin"},
      {"http://h/{UrlDecode:a%00b}", 0, "http://h/a", "h", "a"},  // NUL ends the text
      {"http://h/{UrlDecode:%7F%20}", 0, "http://h/%7F%20", "h", "%7F%20"},
      {"http://cdn.example/a.bin", 1, "http://mirror.example:8080/a%09%01%20x.part",
       "mirror.example:8080", "a%09%01%20x.part"},
      {"http://cdn.example/a.bin", 0, "http://cdn.example/a.bin", "cdn.example", "a.bin"},
      {"cdn.example/b.bin", 1, "http://mirror.example:8080/b%09%01%20x.part",
       "mirror.example:8080", "b%09%01%20x.part"},
  };
  WebGetRequest *r = nullptr;
  WebGetRequest_Create(&r);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.url);
    ASSERT_EQ(WebGetRequest_SetUrl(r, row.url, row.rewrite), 1);
    EXPECT_STREQ(r->url, row.result);
    EXPECT_STREQ(r->host, row.host);
    EXPECT_STREQ(r->filename, row.filename);
  }
  EXPECT_EQ(WebGetRequest_SetUrl(r, "javascript:alert(1)", 1), 0);
  EXPECT_STREQ(r->url, "");
  EXPECT_STREQ(r->host, "");
  Class_ReleaseObject(&r);
}

// Phase changes from several threads leave one of the values set; every
// change that answered 1 moved the phase.
TEST(WebGetRequestThreaded, PhaseChangesFromSeveralThreads) {
  RequestSession session;
  WebGetRequest *r = nullptr;
  WebGetRequest_Create(&r);
  std::atomic<int> changes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; t++) {
    threads.emplace_back([t, r, &changes] {
      for (int i = 0; i < 2000; i++) changes += WebGetRequest_SetPhase(r, (t + i) % 3 + 2);
      WebGetRequest_SetPhaseChangedFlag(r, 0);
    });
  }
  for (auto &thread : threads) thread.join();
  int32_t phase = WebGetRequest_GetPhase(r);
  EXPECT_GE(phase, 2);
  EXPECT_LE(phase, 4);
  EXPECT_GT(changes.load(), 0);
  Class_ReleaseObject(&r);
}

TEST(WebGetRequestDeathTest, CallersBugsStop) {
  EXPECT_DEATH(WebGetRequest_SetUrl(nullptr, "http://h/", 0), "Pointer is NULL");
  EXPECT_DEATH(
      {
        Dictionary *d = nullptr;
        Dictionary_Create(&d);
        WebGetRequest_GetPhase(reinterpret_cast<WebGetRequest *>(d));
      },
      "Class mismatch pointer");
}
