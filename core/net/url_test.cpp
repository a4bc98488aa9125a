#include "core/net/url.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/expand.h"
#include "core/runtime/str.h"
#include "tests/test_util.h"

namespace {

std::string Fix(const std::string &url, int *result = nullptr, int size = kUrlWorkBytes) {
  std::vector<char> out(size_t(size), 'x');
  int r = Url_Fix(url.c_str(), out.data(), size);
  if (result) *result = r;
  return out.data();
}

std::string Join(const char *base, const char *reference) {
  char out[kUrlWorkBytes];
  EXPECT_EQ(Url_Join(base, reference, out, sizeof out), 1) << base << " + " << reference;
  return out;
}

// Expands text with the URL link in its slot, as the socket layer's start-up
// puts it there.
std::string Expand(const std::string &text) {
  StrExpandChainHandler saved = Str_GetExpandHandler(StrExpandSlot::Url);
  Str_SetExpandHandler(StrExpandSlot::Url, Url_MacroHandler);
  char buffer[kStrExpandWorkBytes];
  Str_Set(buffer, text.c_str());
  EXPECT_EQ(Str_Expand(buffer, sizeof buffer, nullptr, nullptr), 1) << text;
  Str_SetExpandHandler(StrExpandSlot::Url, saved);
  return buffer;
}

}  // namespace

TEST(Url, FixTable) {
  struct Row {
    const char *url;
    int result;
    const char *expected;
  } rows[] = {
      {"host/a b", 1, "http://host/a%20b"},
      {"host:443/x", 1, "https://host:443/x"},
      {"http://h//a\\b/./c/../d", 1, "http://h/a/b/d"},
      {"file:///C:\\dir\\f.txt", 1, "file:///C:/dir/f.txt"},
      {"javascript:void(0)", 0, ""},
      {"MailTo:a@b", 0, ""},
      {"", 0, ""},
      {" \r\n", 0, ""},
      {"  http://h/x \r\n", 1, "http://h/x"},
      {"h:21/f", 1, "ftp://h:21/f"},
      // A port the table lacks gets "http://", never a bare "://".
      {"localhost:8080/x", 1, "http://localhost:8080/x"},
      {"http://h/a?b=c//d\\e", 1, "http://h/a?b=c//d\\e"},  // the query keeps its text
      // Control bytes would split the request line.
      {"http://h/a\tb\x01\x7f", 1, "http://h/a%09b%01%7F"},
      {"\r\nhttp://h/a\r\n", 1, "http://h/a"},
      // Only whole "." and ".." segments go.
      {"http://h/v1./x", 1, "http://h/v1./x"},
      {"http://h/a/b../c", 1, "http://h/a/b../c"},
      {"http://h/a/.b/..c/./d", 1, "http://h/a/.b/..c/d"},
      {"http://h/a/b/..", 1, "http://h/a/b/.."},  // a trailing ".." stays
      {"http://h/../a", 1, "http://h/a"},
      {"http://h/a/./../b?x=/../#/./", 1, "http://h/b?x=/../#/./"},
      // A path parameter ends at its segment.
      {"http://h/d;v=1/f.txt", 1, "http://h/d/f.txt"},
      {"http://h/d;v=1?q=1", 1, "http://h/d?q=1"},
      {"http://h/a/..;x/b", 1, "http://h/b"},
      // Drives only in file URLs; a Linux path keeps its root.
      {"http://h/c:/x", 1, "http://h/c:/x"},
      {"file:///C:/a/../../b", 1, "file:///C:/b"},
      {"file:///home/u/f", 1, "file:///home/u/f"},
      // A scheme is only where the first of ":/?#" opens "://".
      {"h/x?next=http://y", 1, "http://h/x?next=http://y"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.url);
    int result = -1;
    EXPECT_EQ(Fix(row.url, &result), row.expected);
    EXPECT_EQ(result, row.result);
  }
}

TEST(Url, FixNeverHandsBackACutUrl) {
  std::string url = "http://h/" + std::string(100, 'a');
  int result = -1;
  EXPECT_EQ(Fix(url, &result, 50), "");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Fix(url, &result, int(url.size()) + 1), url);
  EXPECT_EQ(result, 1);
  // Longer than the work buffer.
  EXPECT_EQ(Fix("http://h/" + std::string(kUrlWorkBytes, 'a'), &result, 3 * kUrlWorkBytes), "");
  EXPECT_EQ(result, 0);
  // A space's "%20" needs 3 bytes; Url_Normalize says when it did not fit.
  char out[8];
  EXPECT_EQ(Url_Normalize("h/a    ", out, sizeof out), 0);
  EXPECT_STREQ(out, "h/a%20");
  EXPECT_EQ(Url_Normalize("x", out, 0), 0);
}

TEST(Url, JoinTable) {
  struct Row {
    const char *base, *reference, *expected;
  } rows[] = {
      {"http://h/a/b?x=1&y=2#f", "c?y=3&z", "http://h/a/c?x=1&y=3&z#f"},
      {"http://h/a/b", "/c", "http://h/c"},
      {"http://h/a/b?x=1", "?q=1", "http://h/a/b?x=1&q=1"},
      {"http://h/a/b", "HTTPS://o/./p", "HTTPS://o/p"},
      {"http://h", "x", "http://h/x"},
      {"http://h/a/b#f", "#g", "http://h/a/b#g"},
      {"http://h/a/b?x=1", "?", "http://h/a/b?x=1"},
      {"http://h/a/b/", "../c", "http://h/a/c"},
      {"http://h/a/b", "", "http://h/a/b"},
      {"http://h/a\\b", "c\\d", "http://h/a/c/d"},
      // A network-path reference takes its own host.
      {"https://h/a/b?x=1", "//cdn.h/x?y=2", "https://cdn.h/x?y=2"},
      {"http://h/a", "\\\\cdn.h\\x", "http://cdn.h/x"},
      // A query naming a URL does not make the reference absolute.
      {"http://h/a/b", "login?next=http://o/", "http://h/a/login?next=http://o/"},
      {"file:///C:/a/b", "/x", "file:///x"},
      // Dot segments resolve against the base path, whole-segment and at the end too.
      {"http://h/old/alias.json", "../alias.json", "http://h/alias.json"},
      {"http://h:8080/a/b/c.json", "../../alias.json", "http://h:8080/alias.json"},
      {"http://h/alias.json", "../alias.json", "http://h/alias.json"},
      {"http://h/a/b/c", "./d", "http://h/a/b/d"},
      {"http://h/a/b/c", "../../../../g", "http://h/g"},
      {"http://h/a/b/c", "..", "http://h/a/"},
      {"http://h/a/b/c", ".", "http://h/a/b/"},
      {"http://h/a/b/c", "g/..", "http://h/a/b/"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.base) + " + " + row.reference);
    EXPECT_EQ(Join(row.base, row.reference), row.expected);
  }
  char out[16];
  EXPECT_EQ(Url_Join("", "x", out, sizeof out), 0);
  EXPECT_EQ(Url_Join("http://h/a", "bcdefghijklmnop", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
}

TEST(Url, PartsTable) {
  struct Row {
    const char *url, *item, *expected;
  } rows[] = {
      {"http://a.b.c.d:8080/x", "domain", "c.d"},
      {"http://b.c.d", "domain", "c.d"},
      {"c.d", "domain", "c.d"},
      {"https://h/", "port", "443"},
      {"h/x", "port", ""},
      {"http://h/?y=5", "query=Y", "5"},
      {"http://h/?flag&y=5", "query=flag", ""},
      {"http://h/?y=5", "query=z", ""},
      {"http://h/p?a=1#f", "query", "?a=1"},
      {"http://u:p@w@h:81/d/f.txt?q#r", "username", "u"},
      {"http://u:p@h:81/d/f.txt?q#r", "password", "p"},
      {"http://u:p@h:81/d/f.txt?q#r", "host", "h:81"},
      {"http://u:p@h:81/d/f.txt?q#r", "hostWithoutPort", "h"},
      {"http://u:p@h:81/d/f.txt?q#r", "protocol", "http"},
      {"http://u:p@h:81/d/f.txt?q#r", "path", "/d/f.txt"},
      {"http://u:p@h:81/d/f.txt?q#r", "pathWithQuery", "/d/f.txt?q#r"},
      {"http://u:p@h:81/d/f.txt?q#r", "pathWithoutFilename", "/d/"},
      {"http://u:p@h:81/d/f.txt?q#r", "filename", "f.txt"},
      {"http://u:p@h:81/d/f.txt?q#r", "queryWithFragment", "?q#r"},
      {"http://u:p@h:81/d/f.txt?q#r", "fragment", "#r"},
      {"http://u:p@h:81/d/f.txt?q#r", "urlWithoutQuery", "http://u:p@h:81/d/f.txt#r"},
      {"http://u:p@h:81/d/f.txt?q#r", "urlWithoutFragment", "http://u:p@h:81/d/f.txt?q"},
      {"http://u:p@h:81/d/f.txt?q#r", "urlWithoutFilename", "http://u:p@h:81/d/?q#r"},
      {"http://u@h/", "password", ""},
      {"http://h\\d\\f.txt", "host", "h"},
      {"http://h\\d\\f.txt", "filename", "f.txt"},
      {"http://h", "path", ""},
      {"http://h", "filename", ""},
      {"http://h?x=a@evil/", "host", "h"},  // a query is no user information
      {"http://h#a@evil/", "hostWithoutPort", "h"},
      {"http://h/", "nonsense", ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.item) + "," + row.url);
    EXPECT_EQ(Expand(std::string("{UrlParse:") + row.item + "," + row.url + "}"), row.expected);
  }
}

TEST(Url, MacrosThroughTheExpander) {
  struct Row {
    const char *text, *expected;
  } rows[] = {
      {"{UrlEncode:a b/\xC3\xA9}", "a%20b/%C3%A9"},
      {"{UrlQueryEncode:a/b}", "a%2Fb"},
      {"{UrlDecode:a%2fb+c%zz}", "a/b+c%zz"},
      {"{urlfix:host/a b}", "http://host/a%20b"},
      {"{UrlFix:javascript:x}", ""},
      {"{UrlJoin:http://h/a/b,c,d}", "http://h/a/c,d"},
      {"{UrlJoin:nocomma}", ""},
      {"{UrlParse:nocomma}", ""},
      {"{UrlParse:host,{UrlJoin:http://h/a,//o:8/b}}", "o:8"},
      {"{UrlOther:x}", "{UrlOther:x}"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(Expand(row.text), row.expected);
  }
}

TEST(Url, PortsTable) {
  struct Row {
    const char *url;
    int explicitResult, explicitPort, portResult, port, isDefault;
  } rows[] = {
      {"https://h:443/", 1, 443, 1, 443, 1},
      {"https://h/", 0, 0, 1, 443, 1},
      {"https://h:8443/", 1, 8443, 1, 8443, 0},
      {"rtsp://h:554/", 1, 554, 1, 554, 0},
      {"http://h:/x", 0, 0, 1, 80, 1},  // an empty port is none
      {"http://h:65535", 1, 65535, 1, 65535, 0},
      {"http://h:00080/", 1, 80, 1, 80, 1},
      // Anything else is no port: never the default, never a wrapped number.
      {"http://h:65536/", 0, 0, 0, 0, 0},
      {"http://h:0/", 0, 0, 0, 0, 0},
      {"http://h:+80/", 0, 0, 0, 0, 0},
      {"http://h:0x50/", 0, 0, 0, 0, 0},
      {"http://h:80x/", 0, 0, 0, 0, 0},
      {"http://h:123456/", 0, 0, 0, 0, 0},
      {"http://h:-1/", 0, 0, 0, 0, 0},
      {"h:8000", 1, 8000, 1, 8000, 0},  // no scheme, no default
      {"gopher://h", 0, 0, 1, 70, 1},
      {"abcdefghijklmnopqrstuvwxyz01234567://h", 0, 0, 0, 0, 1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.url);
    int port = -1;
    EXPECT_EQ(Url_GetExplicitPort(row.url, &port), row.explicitResult);
    EXPECT_EQ(port, row.explicitPort);
    port = -1;
    EXPECT_EQ(Url_GetPort(row.url, &port), row.portResult);
    EXPECT_EQ(port, row.port);
    EXPECT_EQ(Url_IsDefaultPort(row.url), row.isDefault);
  }
  EXPECT_STREQ(Url_DefaultScheme(443), "https");
  EXPECT_STREQ(Url_DefaultScheme(9), "");
  EXPECT_EQ(Url_DefaultPort("HTTP"), 80);
  char out[64];
  Url_GetHostWithPort("https://u@h/x", out, sizeof out);
  EXPECT_STREQ(out, "h:443");
}

TEST(Url, HostComparisons) {
  EXPECT_EQ(Url_IsSameHost("http://H:81/a", "https://user@h:81"), 1);
  EXPECT_EQ(Url_IsSameHost("http://h:81/a", "http://h/a"), 0);
  EXPECT_EQ(Url_IsSameHostWithoutPort("http://h:81/a", "http://H/a"), 1);
  EXPECT_EQ(Url_IsLocalhost("http://LocalHost:8080/"), 1);
  EXPECT_EQ(Url_IsLocalhost("http://127.0.0.1/"), 1);
  EXPECT_EQ(Url_IsLocalhost("http://127.0.0.10/"), 0);
  EXPECT_EQ(Url_HasScheme("HTTPS://h", "https"), 1);
  EXPECT_EQ(Url_HasScheme("https:/h", "https"), 0);
  // Two long names that share their first hundreds of characters are two
  // hosts; a host too long for the field is equal to none, itself included.
  std::string prefix(300, 'a');
  std::string one = "http://" + prefix + ".one/", two = "http://" + prefix + ".two/";
  EXPECT_EQ(Url_IsSameHost(one.c_str(), two.c_str()), 0);
  EXPECT_EQ(Url_IsSameHost(one.c_str(), one.c_str()), 1);
  std::string huge = "http://" + std::string(kUrlHostBytes, 'a') + "/";
  EXPECT_EQ(Url_IsSameHost(huge.c_str(), huge.c_str()), 0);
  EXPECT_EQ(Url_IsSameHostWithoutPort(huge.c_str(), huge.c_str()), 0);
}

TEST(Url, QueriesTable) {
  struct Row {
    const char *first, *second, *expected;
  } rows[] = {
      {"?flag&x=1", "", "?flag&x=1"},
      {"x=1&Y=2", "y=3&z", "?x=1&Y=3&z"},
      {"??&& a=1", "A", "?a"},
      {"x= =1#frag&y=2#g#h", "", "?x=1&y=2#g"},
      {"", "", ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.first) + " | " + row.second);
    char out[128];
    EXPECT_EQ(Url_MergeQueries(row.first, row.second, out, sizeof out), 1);
    EXPECT_STREQ(out, row.expected);
  }
  char small[5];
  EXPECT_EQ(Url_MergeQueries("abcd=1", "", small, sizeof small), 0);
  EXPECT_STREQ(small, "");

  // The merged query stays before the fragment.
  char url[kUrlWorkBytes] = "http://h/p?a=1#frag";
  EXPECT_EQ(Url_MergeQueryInto(url, sizeof url, "b=2&a=3"), 1);
  EXPECT_STREQ(url, "http://h/p?a=3&b=2#frag");
  Str_Set(url, "http://h/p");
  EXPECT_EQ(Url_MergeQueryInto(url, sizeof url, "a=b c\r\nX: y"), 1);
  EXPECT_STREQ(url, "http://h/p?a=b%20c%0D%0AX:%20y");
  char tight[24] = "http://h/p?a=1";
  EXPECT_EQ(Url_MergeQueryInto(tight, sizeof tight, "bb=222222"), 0);
  EXPECT_STREQ(tight, "http://h/p?a=1");

  // Parsing stops when the callback says so.
  std::vector<std::string> seen;
  auto collect = [](void *context, const char *name, const char *value) {
    auto *list = static_cast<std::vector<std::string> *>(context);
    list->push_back(std::string(name) + (value ? "=" + std::string(value) : ""));
    return list->size() < 2 ? 1 : 0;
  };
  EXPECT_EQ(Url_ParseQuery("a=1&b&c=3", &seen, collect), 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"a=1", "b"}));
}

TEST(Url, EncodeNeverWritesPastItsBuffer) {
  // Each size from 1 up: an escape is written whole or not at all.
  const char text[] = "a b\xC3\xA9";
  const char *full = "a%20b%C3%A9";
  for (int size = 1; size <= 13; size++) {
    SCOPED_TRACE(size);
    std::vector<char> out(size_t(size) + 4, '#');
    int whole = Url_Encode(text, int(strlen(text)), out.data(), size, nullptr);
    std::string got = out.data();
    EXPECT_LT(int(got.size()), size);
    EXPECT_EQ(std::string(full).compare(0, got.size(), got), 0) << got;
    EXPECT_TRUE(got.empty() || got.back() != '%');
    EXPECT_EQ(whole, size >= 12 ? 1 : 0);
    for (size_t k = size_t(size); k < out.size(); k++) EXPECT_EQ(out[k], '#');
  }
  char out[8];
  int written = -1;
  EXPECT_EQ(Url_DecodeN("%41%00b", 7, out, sizeof out, &written), 1);
  EXPECT_EQ(written, 3);
  EXPECT_EQ(std::string(out, 3), std::string("A\0b", 3));
  EXPECT_EQ(Url_DecodeN("abcdef", 6, out, 4, &written), 0);
  EXPECT_STREQ(out, "abc");
}

TEST(Url, EditorsTable) {
  struct Row {
    const char *url;
    int (*edit)(char *);
    int result;
    const char *expected;
  } rows[] = {
      {"http://h/a/f.txt?q#r", Url_RemoveFilename, 1, "http://h/a/?q#r"},
      {"http://h/a/", Url_RemoveFilename, 0, "http://h/a/"},
      {"http://h/a?q=1#r#s", Url_RemoveQuery, 1, "http://h/a#s"},
      {"http://h/a", Url_RemoveQuery, 0, "http://h/a"},
      {"http://h/a#r#s", Url_RemoveFragment, 1, "http://h/a#r"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.url);
    char url[128];
    Str_Set(url, row.url);
    EXPECT_EQ(row.edit(url), row.result);
    EXPECT_STREQ(url, row.expected);
  }
}

// What a log line may show of a URL: never a user, a password or a query,
// whatever the form (a request target, a proxy's URL, a password with '@').
TEST(Url, LoggableTable) {
  struct Row {
    const char *url;
    int size;
    const char *expected;
  } rows[] = {
      {"https://u:pw@h:8443/a/f.json?sig=s3cr3t#frag", 128, "https://h:8443/a/f.json"},
      {"https://u:p@ss@h/a?x", 128, "https://h/a"},
      {"http://user@proxy:3128", 128, "http://proxy:3128"},
      {"http://h?q=1", 128, "http://h"},
      {"http://h#f@x", 128, "http://h"},
      {"/a/b?sig=1", 128, "/a/b"},
      {"u:pw@h/a?q", 128, "h/a"},
      {"file:///C:/a?b", 128, "file:///C:/a"},
      {"https://u:pw@h/abcdef", 11, "https://h/"},
      {"", 128, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.url);
    char out[128];
    EXPECT_EQ(Url_GetLoggable(row.url, out, row.size), 1);
    EXPECT_STREQ(out, row.expected);
  }
}

// Against Python's urllib.parse (tests/gen_url.py).
TEST(UrlOracle, EncodeDecodeAndDotSegmentsAsUrllib) {
  auto rows = Test_ReadRows("url.txt");
  ASSERT_GT(rows.size(), 15000u);
  int dots = 0;
  std::vector<char> out(3 * kStrExpandOutputBytes);
  for (const auto &[line, f] : rows) {
    SCOPED_TRACE("url.txt line " + std::to_string(line));
    ASSERT_EQ(f.size(), 3u);
    if (f[0] == "enc") {
      std::vector<uint8_t> in = Test_HexToBytes(f[1]);
      in.push_back(0);  // data() of an empty vector may be NULL
      ASSERT_EQ(Url_Encode(reinterpret_cast<const char *>(in.data()), int(in.size()) - 1, out.data(),
                           int(out.size()), kUrlQueryEncodeSafe),
                1);
      EXPECT_EQ(Test_BytesToHex(out.data(), strlen(out.data())), f[2]);
    } else if (f[0] == "dec") {
      std::vector<uint8_t> in = Test_HexToBytes(f[1]);
      int written = -1;
      in.push_back(0);
      ASSERT_EQ(Url_DecodeN(reinterpret_cast<const char *>(in.data()), int(in.size()) - 1, out.data(),
                            int(out.size()), &written),
                1);
      EXPECT_EQ(Test_BytesToHex(out.data(), size_t(written)), f[2]);
    } else {
      dots++;
      EXPECT_EQ(Fix("http://h/" + f[1]), f[2]) << f[1];
    }
  }
  EXPECT_EQ(dots, 10000);
}

TEST(UrlDeathTest, NullAndWrongObjectsStop) {
  char buffer[16];
  int port = 0;
  const char *found = nullptr;
  std::vector<std::function<void()>> calls = {
      [&] { Url_Fix(nullptr, buffer, sizeof buffer); },
      [&] { Url_Join("http://h", nullptr, buffer, sizeof buffer); },
      [&] { Url_GetHost("http://h", nullptr, 4); },
      [&] { Url_GetPort(nullptr, &port); },
      [&] { Url_FindPath("http://h", nullptr); },
      [&] { Url_IsSameHost(nullptr, "http://h"); },
      [&] { Url_MacroHandler("UrlFix", nullptr, buffer, sizeof buffer); },
      [&] { Url_ParseQuery("a", nullptr, nullptr); },
      [&] { Url_Encode(nullptr, 1, buffer, sizeof buffer, nullptr); },
      [&] { (void)found; Url_RemoveQuery(nullptr); },
  };
  for (size_t i = 0; i < calls.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_DEATH(calls[i](), "Pointer is NULL\n");
  }
  int notAList[32] = {};
  EXPECT_DEATH(UrlQueryList_Set(notAList, "a", "b"), "Class mismatch pointer");
}
