// libFuzzer target for the web server's request text: the request check
// (request line, Host, Origin, Content-Length, Transfer-Encoding), the path
// decoding, the header Dictionary and the Range reading, all without a
// socket. A crash, a sanitizer report, a leak, a fatal stop or a decoded
// path that breaks the path rules is a finding; tests/fuzz/run.sh runs it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/dictionary.h"
#include "core/net/webget.h"
#include "core/net/webserv.h"

namespace {

void fuzzBroken(const char *what, const char *path) {
  fprintf(stderr, "webserv_request_fuzz: %s [%s]\n", what, path);
  abort();
}

// Invariant 2 of webserv.h on an accepted path.
void fuzzCheckPath(const char *path) {
  if (path[0] != '/') fuzzBroken("path without '/'", path);
  for (const char *p = path; *p != '\0'; p++)
    if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f || *p == '\\')
      fuzzBroken("control byte or backslash", path);
  std::string text = std::string(path) + "/";
  if (text.find("/../") != std::string::npos) fuzzBroken("'..' segment", path);
  if (strstr(path, "//") != nullptr) fuzzBroken("'//' left", path);
  if (text.find("/./") != std::string::npos) fuzzBroken("'.' segment left", path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 16384) return 0;
  std::string block(reinterpret_cast<const char *>(data), size);
  WebServerRequestInfo info;
  int32_t status = WebServer_CheckRequest(block.data(), int32_t(block.size()), 8080,
                                          "default.htm", &info);
  if (status == 0 && !info.malformed) fuzzCheckPath(info.path);
  char path[kWebServerPathBytes];
  if (WebServer_DecodePath(block.c_str(), "default.htm", path, sizeof path)) fuzzCheckPath(path);
  Dictionary *headers = nullptr;
  Dictionary_Create(&headers);
  Dictionary_SetCaseSensitive(headers, 0);
  WebGet_HeadersToDictionary(block.c_str(), headers);
  char range[kWebServerRangeBytes];
  if (Dictionary_GetStringByKey(headers, "Range", range, sizeof range)) {
    for (int64_t total : {int64_t(0), int64_t(1), int64_t(1000), int64_t(1) << 62}) {
      int64_t start = 0, end = 0;
      if (WebServer_ParseRange(range, total, &start, &end) &&
          (start < 0 || end < start || end >= total))
        fuzzBroken("range outside the resource", range);
    }
  }
  Dictionary_Release(&headers);
  return 0;
}
