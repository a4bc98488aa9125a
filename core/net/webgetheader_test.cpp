// Header-block helpers and name tables of the HTTP client.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/formats/dictionary.h"
#include "core/net/webget.h"

namespace {

// A response header as nginx 1.22 sends it for its default page.
constexpr const char *kNginxResponse =
    "HTTP/1.1 200 OK\r\n"
    "Server: nginx/1.22.1\r\n"
    "Date: Mon, 07 Dec 2026 17:40:12 GMT\r\n"
    "Content-Type: text/html\r\n"
    "Content-Length: 615\r\n"
    "Last-Modified: Tue, 13 Jun 2023 15:08:10 GMT\r\n"
    "Connection: keep-alive\r\n"
    "ETag: \"6488865a-267\"\r\n"
    "Accept-Ranges: bytes\r\n"
    "\r\n";
// A request as curl 7.88 wrote it (-b and -H given), captured on a socket.
constexpr const char *kCurlRequest =
    "GET /files/a.bin?x=1 HTTP/1.1\r\n"
    "Host: 127.0.0.1:53751\r\n"
    "User-Agent: curl/7.88.1\r\n"
    "Accept: */*\r\n"
    "Cookie: session=abc123; theme=dark\r\n"
    "X-Trace: 7\r\n"
    "\r\n";

std::string headerValue(const char *block, const char *name) {
  char value[256];
  return WebGet_GetHeaderValue(block, name, value, int(sizeof value)) ? value : "<none>";
}

}  // namespace

TEST(WebGetHeader, SetHeaderRefusesAndNeverCuts) {
  struct Row {
    const char *name, *value;
    int replace, result;
    const char *block;  // after the call, starting from "Accept: a\r\n"
  };
  const Row rows[] = {
      {"Accept", "b", 0, 0, "Accept: a\r\n"},  // exists, keep
      {"accept", "b", 1, 1, "accept: b\r\n"},  // replaced
      {"Range", "bytes=0-", 0, 1, "Accept: a\r\nRange: bytes=0-\r\n"},
      {"", "x", 0, 0, "Accept: a\r\n"},
      {"X Bad", "x", 0, 0, "Accept: a\r\n"},
      {"X:Bad", "x", 0, 0, "Accept: a\r\n"},
      {"X\tBad", "x", 0, 0, "Accept: a\r\n"},
      {"X\x7f", "x", 0, 0, "Accept: a\r\n"},
      {"X-Good", "a\r\nInjected: 1", 0, 0, "Accept: a\r\n"},
      {"X-Good", "a\nb", 0, 0, "Accept: a\r\n"},
      {"X-Good", "", 0, 1, "Accept: a\r\nX-Good: \r\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.name) + ": " + row.value);
    char block[64] = "Accept: a\r\n";
    EXPECT_EQ(WebGet_SetHeader(block, int(sizeof block), row.name, row.value, row.replace),
              row.result);
    EXPECT_STREQ(block, row.block);
  }
  // A line that does not fit whole is not appended: the block stays.
  char small[24] = "Accept: a\r\n";  // 11 bytes, 13 left
  EXPECT_EQ(WebGet_SetHeader(small, int(sizeof small), "X-Long", "12345", 0), 0);
  EXPECT_STREQ(small, "Accept: a\r\n");
  EXPECT_EQ(WebGet_SetHeader(small, int(sizeof small), "X-L", "1234", 0), 1);  // 12 + NUL
  EXPECT_STREQ(small, "Accept: a\r\nX-L: 1234\r\n");
  // Replacing with a longer line that does not fit leaves the old one.
  EXPECT_EQ(WebGet_SetHeader(small, int(sizeof small), "Accept", "abcdefghijk", 1), 0);
  EXPECT_STREQ(small, "Accept: a\r\nX-L: 1234\r\n");
}

TEST(WebGetHeader, FindAndParseLines) {
  EXPECT_EQ(headerValue(kNginxResponse, "content-length"), "615");
  EXPECT_EQ(headerValue(kNginxResponse, "ETag"), "\"6488865a-267\"");
  EXPECT_EQ(headerValue(kNginxResponse, "Content"), "<none>");  // needs ':' right behind
  EXPECT_EQ(headerValue("A: 1\r\n\r\n\r\nB:   2", "B"), "2");    // empty lines skipped
  const char *next = nullptr;
  ASSERT_EQ(WebGet_NextHeaderLine("HTTP/1.1 200 OK\r\n\r\nServer: x", &next), 1);
  EXPECT_STREQ(next, "Server: x");
  EXPECT_EQ(WebGet_NextHeaderLine("no line end", &next), 0);
  char name[16], value[16];
  ASSERT_EQ(WebGet_ParseHeaderLine("Content-Type:  text/html\r\nX: y", name, 16, value, 16), 1);
  EXPECT_STREQ(name, "Content-Type");
  EXPECT_STREQ(value, "text/html");
  EXPECT_EQ(WebGet_ParseHeaderLine("no colon here\r\nX: y", name, 16, value, 16), 0);
  double version = 0;
  EXPECT_EQ(WebGet_ParseHttpVersion(kNginxResponse, &version), 1);
  EXPECT_DOUBLE_EQ(version, 1.1);
  EXPECT_EQ(WebGet_ParseHttpVersion("HTTP/0.9 200 OK\r\n", &version), 0);
  char text[32];
  ASSERT_EQ(WebGet_GetStatusText("HTTP/1.1 404  Not Found  \r\nA: b", text, 32), 1);
  EXPECT_STREQ(text, "Not Found");
}

TEST(WebGetHeader, StatusCodeIsThreeDigits) {
  struct Row {
    const char *line;
    int result, code;
  };
  const Row rows[] = {
      {"HTTP/1.1 200 OK", 1, 200},
      {"HTTP/1.1 999", 1, 999},
      {"HTTP/1.0 100\r\n", 1, 100},
      {"HTTP/1.1 099 Low", 0, 0},
      {"HTTP/1.1 4294967496 OK", 0, 0},  // 200 once cut to 32 bits
      {"HTTP/1.1 2000 OK", 0, 0},
      {"HTTP/1.1 20 OK", 0, 0},
      {"HTTP/1.1 20x OK", 0, 0},
      {"HTTP/1.1 -200 OK", 0, 0},
      {"HTTP/1.1", 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.line);
    int32_t code = -1;
    EXPECT_EQ(WebGet_ParseStatusCode(row.line, int(strlen(row.line)), &code), row.result);
    EXPECT_EQ(code, row.code);
  }
  int32_t code = 0;
  EXPECT_EQ(WebGet_ParseStatusCode("HTTP/1.1 2001", 12, &code), 1);  // size bounds the read
  EXPECT_EQ(code, 200);
}

TEST(WebGetHeader, ParametersAndAttributes) {
  struct Row {
    const char *text, *name;
    int result;
    const char *value;
  };
  const Row rows[] = {
      {"max-age=60, no-cache", "max-age", 1, "60"},
      {"public, MAX-AGE : \"120\"", "max-age", 1, "120"},
      {"attachment; filename=\"my file.bin\"", "filename", 1, "my file.bin"},
      {"attachment; filename='a b'; size=3", "filename", 1, "a b"},
      {"attachment; filename*=UTF-8''x; filename=y.bin;", "filename", 1, "y.bin"},
      {"no-cache", "max-age", 0, ""},
      {"max-age 60", "max-age", 0, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    char value[64];
    EXPECT_EQ(WebGet_GetParameter(row.text, row.name, value, int(sizeof value)), row.result);
    EXPECT_STREQ(value, row.value);
  }
  const char *cookie = "id=42; Path=/; Secure; Domain=.example\r\nNext: x";
  char value[kWebGetAttributeBytes];
  EXPECT_EQ(WebGet_FindAttribute(cookie, "domain", value, int(sizeof value)), 1);
  EXPECT_STREQ(value, ".example");
  EXPECT_EQ(WebGet_FindAttribute(cookie, "secure", value, int(sizeof value)), 1);
  EXPECT_STREQ(value, "");
  EXPECT_EQ(WebGet_FindAttribute(cookie, "Next", value, int(sizeof value)), 0);  // line end ends it
  const char *cursor = cookie;
  char name[8];
  ASSERT_EQ(WebGet_NextAttribute(&cursor, name, int(sizeof name), value, 3), 1);
  EXPECT_STREQ(name, "id");
  EXPECT_STREQ(value, "42");
}

TEST(WebGetHeader, BlocksToDictionaryAndBack) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  ASSERT_EQ(WebGet_HeadersToDictionary(kCurlRequest, d), 1);
  char out[kWebGetHeaderBlockBytes];
  ASSERT_EQ(WebGet_DictionaryToHeaders(d, out, int(sizeof out)), 1);
  // The cookie pair list comes back joined without the blank after ';'.
  std::string expected = kCurlRequest;
  expected.replace(expected.find("abc123; "), 8, "abc123;");
  EXPECT_EQ(std::string(out), expected);
  Dictionary *cookie = nullptr;
  ASSERT_EQ(Dictionary_GetDictionaryByKey(d, "Cookie", &cookie), 1);
  char text[32];
  EXPECT_EQ(Dictionary_GetStringByKey(cookie, "theme", text, int(sizeof text)), 1);
  EXPECT_STREQ(text, "dark");
  Dictionary_Clear(d);

  ASSERT_EQ(WebGet_HeadersToDictionary(kNginxResponse, d), 1);
  ASSERT_EQ(WebGet_DictionaryToHeaders(d, out, int(sizeof out)), 1);
  EXPECT_STREQ(out, kNginxResponse);
  // The whole block or nothing.
  EXPECT_EQ(WebGet_DictionaryToHeaders(d, out, int(strlen(kNginxResponse))), 0);
  EXPECT_STREQ(out, "");
  Dictionary_Clear(d);

  Dictionary_AddNull(d, "N", nullptr);
  Dictionary_AddBoolean(d, "B", 1, nullptr);
  Dictionary_AddInt64(d, "I", 7, nullptr);
  Dictionary *list = nullptr;
  Dictionary_AddList(d, "L", &list, nullptr);
  Dictionary_AddString(list, nullptr, "a", nullptr);
  Dictionary_AddString(list, nullptr, "b", nullptr);
  ASSERT_EQ(WebGet_DictionaryToHeaders(d, out, int(sizeof out)), 1);
  EXPECT_STREQ(out, "N: null\r\nB: true\r\nI: 7\r\nL: a;b\r\n\r\n");
  std::string big(kWebGetHeaderBlockBytes, 'v');
  Dictionary_AddString(d, "Big", big.c_str(), nullptr);
  EXPECT_EQ(WebGet_DictionaryToHeaders(d, out, int(sizeof out)), 0);
  Dictionary_Clear(d);
  ASSERT_EQ(WebGet_DictionaryToHeaders(d, out, int(sizeof out)), 1);
  EXPECT_STREQ(out, "\r\n");
  Dictionary_Release(&d);
}

TEST(WebGetNames, Tables) {
  struct Row {
    const char *(*table)(int32_t);
    int32_t number;
    const char *text;
  };
  const Row rows[] = {
      {WebGet_GetErrorName, 0, "Unknown"},      {WebGet_GetErrorName, 958, "Unknown"},
      {WebGet_GetErrorName, 990, "Unknown"},    {WebGet_GetErrorName, 971, "TLS1"},
      {WebGet_GetErrorName, 989, "Storage"},    {WebGet_GetErrorName, 900, "Custom"},
      {WebGet_GetReasonText, 404, "Object not found"},
      {WebGet_GetReasonText, 993, "YAML error"}, {WebGet_GetReasonText, 900, "Unknown"},
      {WebGet_GetReasonText, 418, "Unknown"},   {WebGet_GetMethodName, 8, "Connect"},
      {WebGet_GetMethodName, 9, "Unknown"},     {WebGet_GetPhaseName, 1, "Idle"},
      {WebGet_GetPhaseName, 14, "Idle"},        {WebGet_GetPhaseName, 8, "ClientCertificateRequest"},
      {WebGet_GetPhaseName, 13, "Done"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.number);
    EXPECT_STREQ(row.table(row.number), row.text);
  }
}
