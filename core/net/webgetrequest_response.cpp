// The request's two ends of a transfer: the built-in request lines and the
// cookie jar, response header parsing, range checks, redirects, and the body
// pipeline (clamp, chunked decoding, gzip inflation, size limit, sinks);
// see core/net/webgetrequest.h.
#include <zlib.h>

#include <cstdarg>
#include <cstring>
#include <string_view>

#include "core/net/url.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/pool.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/runtime/time.h"

namespace {

#define REQUEST_CHECK(r) CLASS_CHECK((r), kWebGetRequestTag)

constexpr uint64_t kNoCut = UINT64_MAX;
constexpr int64_t kMaxContentLength = int64_t(1) << 62;
constexpr int64_t kMaxChunkSize = int64_t(1) << 60;

void responseLogAt(WebGetRequest *r, int level, const char *format, ...) {
  if (!Class_LogEnabled(&r->log, level)) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&r->log, 0, format, args);
  va_end(args);
}
#define RLOG(r, ...) responseLogAt((r), LOG_DEBUG, __VA_ARGS__)

int runCallback(WebGetRequest *r, CallbackRef *ref) {
  void *context = nullptr;
  CallbackFunction function = nullptr;
  if (!Callback_Get(&ref->cell, &context, &function)) return 1;
  return reinterpret_cast<WebGetRequestCallback>(function)(r, context);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }
char lowerChar(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One header line at a time: LF or CRLF line ends, the status line skipped.
struct HeaderLines {
  std::string_view rest;
  bool next(std::string_view *name, std::string_view *value) {
    while (!rest.empty()) {
      size_t end = rest.find('\n');
      std::string_view line = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      size_t colon = line.find(':');
      if (colon == std::string_view::npos || colon == 0) continue;
      *name = line.substr(0, colon);
      std::string_view v = line.substr(colon + 1);
      while (!v.empty() && isBlank(v.front())) v.remove_prefix(1);
      while (!v.empty() && isBlank(v.back())) v.remove_suffix(1);
      *value = v;
      return true;
    }
    return false;
  }
};

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (lowerChar(a[i]) != lowerChar(b[i])) return false;
  return true;
}

bool containsNoCase(std::string_view text, std::string_view what) {
  if (what.size() > text.size()) return false;
  for (size_t i = 0; i + what.size() <= text.size(); i++)
    if (equalNoCase(text.substr(i, what.size()), what)) return true;
  return false;
}

// The one content coding a Content-Encoding value names (several, one after
// another, count as another coding).
int32_t codingOf(std::string_view value) {
  static const struct {
    const char *name;
    int32_t coding;
  } kCodings[] = {{"gzip", kWebGetCodingGzip},         {"x-gzip", kWebGetCodingGzip},
                  {"deflate", kWebGetCodingDeflate},   {"br", kWebGetCodingBr},
                  {"compress", kWebGetCodingCompress}, {"x-compress", kWebGetCodingCompress},
                  {"zstd", kWebGetCodingZstd}};
  for (const auto &c : kCodings)
    if (equalNoCase(value, c.name)) return c.coding;
  return kWebGetCodingOther;
}

void copyView(std::string_view v, char *out, int size) {
  size_t n = v.size() < size_t(size - 1) ? v.size() : size_t(size - 1);
  memcpy(out, v.data(), n);
  out[n] = '\0';
}

// The host of the request's URL without its port, lower case.
void hostWithoutPort(const WebGetRequest *r, char *out, int size) {
  Str_Copy(out, r->host, size);
  if (out[0] != '[') {
    char *colon = strchr(out, ':');
    if (colon) *colon = '\0';
  }
  Str_ToLower(out);
}

// RFC 6265 domain match: equal, or host ends with "." and the domain; a
// leading dot of the domain is ignored.
bool domainMatches(const char *host, const char *domain) {
  if (*domain == '.') domain++;
  size_t h = strlen(host), d = strlen(domain);
  if (d == 0 || d > h) return false;
  if (Str_CompareNoCase(host + (h - d), domain) != 0) return false;
  return h == d || host[h - d - 1] == '.';
}

bool cookieGoesTo(const WebGetRequest *r, const WebGetCookie *c, const char *host, bool https) {
  if (c->secure && !https) return false;
  return c->domain[0] == '\0' || r->ignoreCookieDomain || domainMatches(host, c->domain);
}

// Decimal digits only, below 2^62. -1 otherwise.
int64_t parseContentLength(std::string_view v) {
  if (v.empty()) return -1;
  int64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return -1;
    if (n > (kMaxContentLength - 1 - (c - '0')) / 10) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// A Content-Disposition file name reduced to its last component; 0 when
// that is empty, "." or "..", or holds ':' or a control byte.
int safeFilename(const char *name, char *out, int size) {
  const char *last = name;
  for (const char *p = name; *p; p++)
    if (*p == '/' || *p == '\\') last = p + 1;
  if (*last == '\0' || strcmp(last, ".") == 0 || strcmp(last, "..") == 0) return 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(last); *p; p++)
    if (*p < 0x20 || *p == 0x7f || *p == ':') return 0;
  return Str_Copy(out, last, size) == int(strlen(last)) ? 1 : 0;
}

void parseSetCookie(WebGetRequest *r, std::string_view value) {
  char line[kWebGetHeaderBlockBytes];
  copyView(value, line, int(sizeof line));
  const char *cursor = line;
  char name[kWebGetCookieNameBytes], val[kWebGetCookieValueBytes];
  if (!WebGet_NextAttribute(&cursor, name, int(sizeof name), val, int(sizeof val)) || !name[0])
    return;
  char path[kWebGetCookiePathBytes] = "", domain[kWebGetCookieDomainBytes] = "", unused[8];
  int secure = WebGet_FindAttribute(cursor, "secure", unused, int(sizeof unused));
  WebGet_FindAttribute(cursor, "path", path, int(sizeof path));
  WebGet_FindAttribute(cursor, "domain", domain, int(sizeof domain));
  char host[kWebGetHostBytes];
  hostWithoutPort(r, host, int(sizeof host));
  if (domain[0] != '\0' && !domainMatches(host, domain)) {
    RLOG(r, "Cookie refused: domain [%s] does not match host [%s]", domain, host);
    return;
  }
  const char *stored = domain[0] == '.' ? domain + 1 : domain;
  WebGetRequest_SetCookie(r, name, val, path, stored[0] ? stored : host, secure);
}

// X-Cache items against the same position of X-ServedBy.
void reportCacheResults(WebGetRequest *r, std::string_view xcache, std::string_view servedBy) {
  int index = 0;
  while (!xcache.empty()) {
    size_t comma = xcache.find(',');
    std::string_view item = xcache.substr(0, comma);
    xcache = comma == std::string_view::npos ? std::string_view() : xcache.substr(comma + 1);
    char words[3][128] = {"", "", ""};
    int w = 0;
    while (w < 3 && !item.empty()) {
      while (!item.empty() && isBlank(item.front())) item.remove_prefix(1);
      size_t end = 0;
      while (end < item.size() && !isBlank(item[end])) end++;
      if (end == 0) break;
      copyView(item.substr(0, end), words[w++], 128);
      item.remove_prefix(end);
    }
    char server[128] = "undefined";
    if (Str_CompareNoCase(words[1], "from") == 0 && words[2][0]) {
      Str_Copy(server, words[2], int(sizeof server));
    } else {
      std::string_view s = servedBy;
      for (int i = 0; i < index && !s.empty(); i++) {
        size_t c = s.find(',');
        s = c == std::string_view::npos ? std::string_view() : s.substr(c + 1);
      }
      s = s.substr(0, s.find(','));
      while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
      while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
      if (!s.empty()) copyView(s, server, int(sizeof server));
    }
    if (r->host[0] && server[0] && words[0][0]) WebGet_CountCacheResult(r->host, server, words[0]);
    index++;
  }
}

// ---- Output file ---------------------------------------------------------------------

struct WriteBlock {
  WebGetRequest *request;
  int32_t length;
  uint8_t data[kWebGetWriteBlockBytes];
};

void finishFile(WebGetRequest *r) {
  int32_t expected = 1;
  if (!r->fileCloseState.compare_exchange_strong(expected, 2)) return;
  if (!AsyncFile_IsOpen(r->outputFile)) return;
  uint64_t cut = r->fileCutOffset.exchange(kNoCut);
  if (cut != kNoCut) {
    AsyncFile_SetSize(r->outputFile, cut);
  } else if (!r->keepFileTime && r->lastModified > 0) {
    // Stamped after the last write: a later write would move it again.
    if (!AsyncFile_SetModifiedTime(r->outputFile, r->lastModified) && r->error.load() == 0) {
      r->errorEx.store(AsyncFile_GetLastError(r->outputFile));
      r->error.store(kWebGetErrorOs);
    }
  }
  AsyncFile_Close(r->outputFile);
}

int fileFail(WebGetRequest *r, int32_t codeEx) {
  return WebGetRequest_SetError(r, kWebGetErrorOs, codeEx);
}

// Opens the output file on the first block of a transfer.
int openOutputFile(WebGetRequest *r) {
  char path[kPathMax];
  Str_Copy(path, r->filePath, int(sizeof path));
  size_t n = strlen(path);
  if (n == 0 || path[n - 1] == '/' || path[n - 1] == '\\') {
    if (Str_Cat(path, r->filename, int(sizeof path)) != int(strlen(r->filename))) {
      RLOG(r, "Output path too long [%.64s...]", path);
      return fileFail(r, 206);
    }
  }
  bool resume = r->allowResume && r->acceptsRanges && r->statusCode == 206;
  r->fileCutOffset.store(kNoCut);
  r->fileCloseState.store(0);
  if (resume) {
    if (!AsyncFile_Open(r->outputFile, path, kAsyncFileRead | kAsyncFileWrite)) {
      RLOG(r, "Unable to open file [%s]", path);
      return fileFail(r, AsyncFile_GetLastError(r->outputFile));
    }
    uint64_t size = 0;
    AsyncFile_GetSize(r->outputFile, &size);
    if (r->receivedRangeStart != size) {
      RLOG(r, "Resume range does not start at the file's end [%s][%llu != %llu]", path,
           (unsigned long long)r->receivedRangeStart, (unsigned long long)size);
      r->fileCloseState.store(2);
      AsyncFile_Close(r->outputFile);
      return WebGetRequest_SetError(r, kWebGetErrorBadByteRange, 0);
    }
    r->foundFileSize = size;
    r->writeOffset = size;
    if (size > 0) RLOG(r, "Existing file being resumed [%s][%llu]", path, (unsigned long long)size);
  } else {
    r->foundFileSize = 0;
    r->writeOffset = 0;
    RLOG(r, "New file being created [%s][%lld]", path, 0LL);
    if (!AsyncFile_Open(r->outputFile, path, kAsyncFileWrite)) {
      RLOG(r, "Unable to open file [%s]", path);
      return fileFail(r, AsyncFile_GetLastError(r->outputFile));
    }
  }
  long long k = (long long)(r->writeOffset / 1024);
  RLOG(r, "Start file [%s] [S:%lldk] [E:%lldk] [P:%lldk]", path, k, k, k);
  return 1;
}

// ---- Body stages ------------------------------------------------------------------------

// Step 5 and 6: size limit and delivery. 1, or 0 when the body ends.
int deliver(WebGetRequest *r, const uint8_t *data, int64_t length) {
  if (length <= 0) return 1;
  bool over = false;
  // A redirect's page is read and dropped: it is not the document, and no
  // limit of the document's applies to it.
  bool redirect = WebGetRequest_IsRedirectStatus(r->statusCode) != 0;
  if (r->sizeLimit > 0 && !redirect) {
    int64_t room = r->sizeLimit - int64_t(r->bytesReceived);
    if (length > room) {
      length = room;
      over = true;
    }
  }
  if (length > 0) {
    r->bytesReceived += uint64_t(length);
    int64_t written = 0;
    if (r->statusCode >= 200 && r->statusCode <= 299) {
      void *context = nullptr;
      CallbackFunction function = nullptr;
      if (Callback_Get(&r->writeCallback.cell, &context, &function) &&
          !reinterpret_cast<WebGetRequestWriteCallback>(function)(r, context, data, length,
                                                                  &written))
        return 0;
    } else if (!redirect) {
      // An error page is kept in memory whatever the sink, its first MiB only.
      int64_t keep = kWebGetErrorBodyKeepBytes - r->memoryLength;
      if (keep > length) keep = length;
      if (keep > 0 && !WebGetRequest_MemorySink(r, nullptr, data, keep, &written)) return 0;
    }
  }
  if (over) {
    RLOG(r, "Size limit reached [%lld]", (long long)r->sizeLimit);
    return WebGetRequest_SetError(r, kWebGetErrorSizeLimit, 0);
  }
  return 1;
}

int inflateFail(WebGetRequest *r, int code) {
  RLOG(r, "Inflate failed (%d)", code);
  return WebGetRequest_SetError(r, kWebGetErrorCompression, code);
}

// Fails r for a body past a bound, the bound and the coding kept in its cause.
int bodyBoundFail(WebGetRequest *r, int32_t code, int32_t codeEx, int64_t bound) {
  RLOG(r, "Body over its bound (%d/%d) [%lld raw bytes, %s]", int(code), int(codeEx),
       (long long)bound, r->inflateOpen ? "gzip" : "identity");
  r->cause.body.bound = bound;
  r->cause.body.coding = r->inflateOpen ? int32_t(kWebGetCodingGzip) : 0;
  r->cause.body.status = r->statusCode;
  return WebGetRequest_SetError(r, code, codeEx);
}

int noOutputFail(WebGetRequest *r) {
  return bodyBoundFail(r, kWebGetErrorCompression, kWebGetCompressionNoOutput,
                       kWebGetCodedSilenceBytes);
}

// The raw body bytes this answer may bring; 0: no bound. A redirect's page
// is cut by the connection at the same size instead (the next hop follows).
int64_t rawBound(const WebGetRequest *r) {
  if (r->statusCode < 200 || r->statusCode > 299)
    return WebGetRequest_IsRedirectStatus(r->statusCode) ? 0 : kWebGetRawSlackBytes;
  if (r->rawLimit > 0) return r->rawLimit;
  return r->sizeLimit > 0 ? r->sizeLimit + kWebGetRawSlackBytes : 0;
}

// Step 4: inflation. The input taken (up to a stream end), or -1.
int64_t inflateStage(WebGetRequest *r, const uint8_t *data, int64_t length) {
  z_stream *z = r->inflater;
  if (MemoryStream_GetSize(r->inflateStream) < kWebGetInflateBytes &&
      !MemoryStream_Resize(r->inflateStream, kWebGetInflateBytes, 0))
    return inflateFail(r, Z_MEM_ERROR) - 1;
  uint8_t *out = nullptr;
  MemoryStream_GetBuffer(r->inflateStream, 0, &out);
  int64_t taken = 0;
  int result = Z_OK;
  // A stream that ended empty is a body's last: coded bytes behind it are
  // a server's way to send without end what decodes to nothing.
  if (r->inflateEmptyEnd && length > 0) {
    MemoryStream_ReleaseBuffer(r->inflateStream, &out);
    return noOutputFail(r) - 1;
  }
  while (true) {
    // Fed no further than where silence would end the body: the bytes
    // without output are counted exactly, whatever the blocks they came in.
    int64_t most = kWebGetCodedSilenceBytes - r->codedSilence;
    uInt feed = uInt(length - taken < most ? length - taken : most);
    z->next_in = const_cast<Bytef *>(data + taken);
    z->avail_in = feed;
    z->next_out = out;
    z->avail_out = uInt(kWebGetInflateBytes);
    result = inflate(z, Z_SYNC_FLUSH);
    taken += feed - z->avail_in;
    if (feed - z->avail_in > 0) r->inflateMidStream = 1;
    int64_t produced = int64_t(kWebGetInflateBytes) - z->avail_out;
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
      MemoryStream_ReleaseBuffer(r->inflateStream, &out);
      return inflateFail(r, result) - 1;
    }
    // Empty stored blocks, or a header's fields, bring nothing for ever.
    r->codedSilence = produced > 0 ? 0 : r->codedSilence + (feed - z->avail_in);
    if (r->codedSilence >= kWebGetCodedSilenceBytes) {
      MemoryStream_ReleaseBuffer(r->inflateStream, &out);
      return noOutputFail(r) - 1;
    }
    if (!deliver(r, out, produced)) {
      MemoryStream_ReleaseBuffer(r->inflateStream, &out);
      return -1;
    }
    if (result == Z_STREAM_END) {
      r->inflateMidStream = 0;
      r->inflateEmptyEnd = z->total_out == 0 ? 1 : 0;
      int reset = inflateReset(z);
      MemoryStream_ReleaseBuffer(r->inflateStream, &out);
      if (reset != Z_OK) return inflateFail(r, reset) - 1;
      return taken;
    }
    // More output may wait only when the buffer came back full.
    if (z->avail_out != 0 && (taken == length || result == Z_BUF_ERROR)) break;
  }
  MemoryStream_ReleaseBuffer(r->inflateStream, &out);
  return taken;
}

int64_t decodeStage(WebGetRequest *r, const uint8_t *data, int64_t length) {
  if (r->inflateOpen) return inflateStage(r, data, length);
  return deliver(r, data, length) ? length : -1;
}

int chunkSizeFail(WebGetRequest *r, const uint8_t *line, int64_t length) {
  RLOG(r, "Invalid chunk size %d = (%.*s)", int(length), int(length < 78 ? length : 78),
       reinterpret_cast<const char *>(line));
  return WebGetRequest_SetError(r, kWebGetErrorChunkedSize, 0);
}

// Reads a size line at data: hex digits (below 2^60), blanks, then the line
// end or ';' and an extension up to it. 1 with *used and the size; 0 when
// more data is needed; -1 after recording 955.
int readChunkSize(WebGetRequest *r, const uint8_t *data, int64_t length, int64_t *used,
                  int64_t *size) {
  const void *lf = memchr(data, '\n', size_t(length));
  if (lf == nullptr) {
    if (length >= kWebGetChunkLineLimitBytes) return chunkSizeFail(r, data, length) - 1;
    return 0;
  }
  int64_t lineLength = static_cast<const uint8_t *>(lf) - data;
  if (lineLength + 1 > kWebGetChunkLineLimitBytes) return chunkSizeFail(r, data, lineLength) - 1;
  int64_t end = lineLength;
  if (end > 0 && data[end - 1] == '\r') end--;
  int64_t i = 0, value = 0;
  for (; i < end; i++) {
    int digit = hexValue(char(data[i]));
    if (digit < 0) break;
    if (value > (kMaxChunkSize - 1 - digit) / 16) return chunkSizeFail(r, data, end) - 1;
    value = value * 16 + digit;
  }
  if (i == 0) return chunkSizeFail(r, data, end) - 1;
  while (i < end && isBlank(char(data[i]))) i++;
  if (i < end && data[i] != ';') return chunkSizeFail(r, data, end) - 1;
  *used = lineLength + 1;
  *size = value;
  return 1;
}

// Step 3: chunked decoding. The input taken, or -1.
int64_t chunkedStage(WebGetRequest *r, const uint8_t *data, int64_t length) {
  int64_t pos = 0;
  while (pos < length && !r->finalChunk) {
    if (r->inTrailer) {
      // The trailer's fields are read and dropped, a line at a time, up to
      // the empty line; together they are bounded as a header is.
      int64_t room = int64_t(kWebGetHeaderLimitBytes) - r->trailerBytes;
      const void *lf = memchr(data + pos, '\n', size_t(length - pos));
      int64_t line = lf ? static_cast<const uint8_t *>(lf) - (data + pos) + 1 : length - pos;
      if (line > room || (lf == nullptr && line == room)) {
        RLOG(r, "Chunked trailer over %d bytes", kWebGetHeaderLimitBytes);
        WebGetRequest_SetError(r, kWebGetErrorChunked, kWebGetChunkedTrailerLimit);
        return -1;
      }
      if (lf == nullptr) break;
      bool empty = line == 1 || (line == 2 && data[pos] == '\r');
      r->trailerBytes += line;
      pos += line;
      if (empty) r->finalChunk = 1;
    } else if (r->chunkRemaining > 2) {
      int64_t n = r->chunkRemaining - 2;
      if (n > length - pos) n = length - pos;
      int64_t took = decodeStage(r, data + pos, n);
      if (took < 0) return -1;
      if (took == 0) break;
      pos += took;
      r->chunkRemaining -= took;
    } else if (r->chunkRemaining == 2) {
      if (length - pos < 2) break;
      for (int k = 0; k < 2; k++) {
        if (data[pos + k] != '\r' && data[pos + k] != '\n') {
          RLOG(r, "Invalid chunk terminator %d = (%02x)", k, data[pos + k]);
          WebGetRequest_SetError(r, kWebGetErrorChunked, 0);
          return -1;
        }
      }
      pos += 2;
      r->chunkRemaining = 0;
    } else {
      int64_t used = 0, size = 0;
      int got = readChunkSize(r, data + pos, length - pos, &used, &size);
      if (got < 0) return -1;
      if (got == 0) break;
      pos += used;
      r->chunkSize = size;
      r->chunkRemaining = size + 2;
      if (size == 0) {
        r->chunkRemaining = 0;
        r->inTrailer = 1;
      }
    }
  }
  return pos;
}

void closeInflater(WebGetRequest *r) {
  if (r->inflater == nullptr) return;
  if (r->inflateOpen) inflateEnd(r->inflater);
  MEM_FREE(r->inflater, sizeof(z_stream));
  r->inflater = nullptr;
  r->inflateOpen = 0;
  r->inflateMidStream = 0;
}

}  // namespace

// ---- Request lines and cookies ------------------------------------------------------------

int WebGetRequest_AddStandardHeaders(WebGetRequest *request) {
  REQUEST_CHECK(request);
  WebGetRequest *r = request;
  char *block = r->requestHeaders;
  const int size = int(sizeof r->requestHeaders);
  char text[kWebGetUrlBytes];
  WebGet_SetHeader(block, size, "Accept", "*/*", 0);
  WebGet_SetHeader(block, size, "Accept-Language", "en-us", 0);
  bool ranged = r->rangeStart != 0 || r->rangeEnd != 0;
  if (ranged) {
    if (r->rangeEnd != 0)
      Str_Printf(text, int(sizeof text), "bytes=%llu-%llu", (unsigned long long)r->rangeStart,
                   (unsigned long long)r->rangeEnd);
    else
      Str_Printf(text, int(sizeof text), "bytes=%llu-", (unsigned long long)r->rangeStart);
    WebGet_SetHeader(block, size, "Range", text, 1);
  }
  if (r->method == kWebGetMethodPost) {
    if (r->postData == nullptr) {
      const char *query = nullptr;
      if (Url_FindQuery(r->url, &query) && query && *query) {
        if (*query == '?') query++;
        // The request's own copy: a redirect rewrites the URL field.
        Str_Copy(r->postQuery, query, int(sizeof r->postQuery));
        r->postData = r->postQuery;
        r->postDataLength = int32_t(strlen(r->postQuery));
        WebGet_SetHeader(block, size, "Content-Type", "application/x-www-form-urlencoded", 0);
      }
    }
    Str_Printf(text, int(sizeof text), "%d", r->postData ? int(r->postDataLength) : 0);
    WebGet_SetHeader(block, size, "Content-Length", text, 0);
  } else if (r->method == kWebGetMethodGet) {
    if (r->postData != nullptr) {
      Str_Printf(text, int(sizeof text), "%d", int(r->postDataLength));
      WebGet_SetHeader(block, size, "Content-Length", text, 0);
    }
    if (r->identityOnly) WebGet_SetHeader(block, size, "Accept-Encoding", "identity", 1);
    else if (r->acceptCompression && !ranged)
      WebGet_SetHeader(block, size, "Accept-Encoding", "gzip", 0);
  }
  if (r->cookiesEnabled && WebGetRequest_HasCookies(r)) {
    char cookies[512];
    WebGetRequest_FormatCookies(r, cookies, int(sizeof cookies));
    WebGet_SetHeader(block, size, "Cookie", cookies, 0);
  }
  return 1;
}

int WebGetRequest_SetCookie(WebGetRequest *request, const char *name, const char *value,
                            const char *path, const char *domain, int secure) {
  REQUEST_CHECK(request);
  CHECK_POINTER(name);
  CHECK_POINTER(value);
  CHECK_POINTER(path);
  CHECK_POINTER(domain);
  WebGetCookie *found = nullptr;
  for (WebGetCookie *c = request->cookies.head; c; c = c->next)
    if (Str_CompareNoCase(c->name, name) == 0 && Str_CompareNoCase(c->domain, domain) == 0) {
      found = c;
      break;
    }
  WebGetCookie *c = found;
  if (c == nullptr) {
    c = static_cast<WebGetCookie *>(Pool_Alloc(request->cookiePool, int32_t(sizeof *c), KSRC));
    memset(c, 0, sizeof *c);
  }
  Str_Copy(c->name, name, int(sizeof c->name));
  Str_Copy(c->value, value, int(sizeof c->value));
  Str_Copy(c->path, path, int(sizeof c->path));
  Str_Copy(c->domain, domain, int(sizeof c->domain));
  c->secure = secure ? 1 : 0;
  // A cookie's value is a credential: the log names the cookie only.
  RLOG(request, found ? "Cookie reset [%s](%s)(%s)[%d]" : "Cookie set [%s](%s)(%s)[%d]", c->name,
       c->path, c->domain, c->secure);
  if (found) return 1;
  WebGetCookieList *list = &request->cookies;
  c->prev = list->tail;
  if (list->tail) list->tail->next = c;
  else list->head = c;
  list->tail = c;
  list->count++;
  return 1;
}

int WebGetRequest_HasCookies(WebGetRequest *request) {
  REQUEST_CHECK(request);
  char host[kWebGetHostBytes];
  hostWithoutPort(request, host, int(sizeof host));
  bool https = Url_HasScheme(request->url, "https") == 1;
  for (WebGetCookie *c = request->cookies.head; c; c = c->next)
    if (cookieGoesTo(request, c, host, https)) return 1;
  return 0;
}

int WebGetRequest_FormatCookies(WebGetRequest *request, char *out, int size) {
  REQUEST_CHECK(request);
  CHECK_POINTER(out);
  out[0] = '\0';
  char host[kWebGetHostBytes];
  hostWithoutPort(request, host, int(sizeof host));
  bool https = Url_HasScheme(request->url, "https") == 1;
  int any = 0;
  for (WebGetCookie *c = request->cookies.head; c; c = c->next) {
    if (!cookieGoesTo(request, c, host, https)) continue;
    char item[kWebGetCookieNameBytes + kWebGetCookieValueBytes + 4];
    Str_Printf(item, int(sizeof item), "%s=%s; ", c->name, c->value);
    Str_Cat(out, item, size);
    any = 1;
  }
  Str_TrimRightChars(out, " ");
  return any;
}

int WebGetRequest_ClearCookies(WebGetRequest *request) {
  REQUEST_CHECK(request);
  Pool_Reset(request->cookiePool);
  request->cookies.head = request->cookies.tail = nullptr;
  request->cookies.count = 0;
  RLOG(request, "Cookies cleared");
  return 1;
}

int WebGetRequest_MacroHandler(void *userData, const char *name, const char *argument, char *out,
                               int outSize) {
  auto *r = static_cast<WebGetRequest *>(userData);
  REQUEST_CHECK(r);
  bool cookie = Str_CompareNoCase(name, "Cookie") == 0;
  if (!cookie && Str_CompareNoCase(name, "Header") != 0) return 0;
  if (outSize > 0) out[0] = '\0';
  if (argument == nullptr) return 1;
  const char *comma = strchr(argument, ',');
  if (comma == nullptr) return 1;
  char key[kWebGetCookieNameBytes];
  Str_CopyN(key, int(sizeof key), argument, int(comma - argument));
  if (cookie) {
    // A macro cookie belongs to the host of the URL that named it.
    char host[kWebGetHostBytes];
    hostWithoutPort(r, host, int(sizeof host));
    WebGetRequest_SetCookie(r, key, comma + 1, "", host, 0);
  } else {
    WebGet_SetHeader(r->requestHeaders, int(sizeof r->requestHeaders), key, comma + 1, 1);
  }
  return 1;
}

// ---- Response header ------------------------------------------------------------------------

int WebGetRequest_ParseResponseHeader(WebGetRequest *request, int checkRange, const char *data,
                                      int length, int *headerLength) {
  REQUEST_CHECK(request);
  CHECK_POINTER(data);
  WebGetRequest *r = request;
  if (headerLength) *headerLength = 0;
  std::string_view all(data, size_t(length > 0 ? length : 0));
  size_t crlf = all.find("\r\n\r\n"), lf = all.find("\n\n");
  size_t end = std::string_view::npos;
  if (crlf != std::string_view::npos) end = crlf + 4;
  if (lf != std::string_view::npos && (end == std::string_view::npos || lf + 2 < end)) end = lf + 2;
  if (end == std::string_view::npos) {
    if (all.size() >= size_t(kWebGetHeaderLimitBytes))
      return WebGetRequest_SetError(r, kWebGetErrorHeaderLimit, 0);
    return WebGetRequest_SetError(r, kWebGetErrorHeaderIncomplete, 0);
  }
  if (end >= size_t(kWebGetHeaderLimitBytes))
    return WebGetRequest_SetError(r, kWebGetErrorHeaderLimit, 0);
  memcpy(r->responseHeaders, data, end);
  r->responseHeaders[end] = '\0';
  if (headerLength) *headerLength = int(end);
  std::string_view head(r->responseHeaders, end);

  // Status line.
  std::string_view status = head.substr(0, head.find('\n'));
  double version = 0;
  int32_t code = 0;
  if (status.size() < 6 || status.substr(0, 5) != "HTTP/" ||
      (version = Str_ToFloat64(r->responseHeaders + 5)) < 1.0 ||
      !WebGet_ParseStatusCode(r->responseHeaders, int(status.size()), &code) || code < 100)
    return WebGetRequest_SetError(r, kWebGetErrorHeaderCorrupt, 0);
  r->statusCode = code;
  r->responseVersion = version;
  RLOG(r, "HTTP Return value [%d][v%.1f]", code, version);

  r->contentLength = 0;
  r->hasContentLength = 0;
  r->gzip = 0;
  r->decodeAnswer = 0;
  r->chunked = 0;
  r->chunkRemaining = 0;
  r->chunkSize = 0;
  r->finalChunk = 0;
  r->inTrailer = 0;
  r->trailerBytes = 0;
  r->acceptsRanges = 0;
  r->rangeMismatch = 0;
  r->cacheDirective = 0;
  r->maxAge = 0;
  r->lastModified = 0;

  bool sawTransferEncoding = false, sawConnection = false, closeAsked = false, keepAsked = false;
  bool sawAcceptRanges = false, rangesInBytes = false;
  std::string_view xcache[8], servedBy;
  int xcacheCount = 0;
  HeaderLines lines{head.substr(status.size() < head.size() ? status.size() + 1 : head.size())};
  std::string_view name, value;
  char text[kWebGetHeaderBlockBytes];
  while (lines.next(&name, &value)) {
    if (equalNoCase(name, "Set-Cookie")) {
      if (r->cookiesEnabled) parseSetCookie(r, value);
    } else if (equalNoCase(name, "Content-Length")) {
      int64_t n = parseContentLength(value);
      if (n < 0 || (r->hasContentLength && n != r->contentLength)) {
        RLOG(r, "Invalid Content-Length [%.*s]", int(value.size()), value.data());
        return WebGetRequest_SetError(r, kWebGetErrorHeaderCorrupt, 0);
      }
      r->contentLength = n;
      r->hasContentLength = 1;
    } else if (equalNoCase(name, "Transfer-Encoding")) {
      if (!equalNoCase(value, "chunked")) {
        RLOG(r, "Unsupported Transfer-Encoding [%.*s]", int(value.size()), value.data());
        return WebGetRequest_SetError(r, kWebGetErrorContentEncoding, 0);
      }
      sawTransferEncoding = true;
    } else if (equalNoCase(name, "Content-Encoding")) {
      if (value.empty()) continue;
      if (r->identityOnly && r->statusCode >= 200 && r->statusCode <= 299) {
        if (equalNoCase(value, "identity")) continue;
        // A whole answer under gzip decodes to the bytes asked for; a range
        // of a coded whole, or another coding, is no part of them.
        bool ranged = r->rangeStart != 0 || r->rangeEnd != 0;
        int32_t coding = codingOf(value);
        if (!ranged && coding == kWebGetCodingGzip) {
          r->gzip = 1;
          r->decodeAnswer = 1;
          continue;
        }
        RLOG(r, "Content-Encoding not asked for [%.*s]", int(value.size()), value.data());
        return WebGetRequest_SetError(r, kWebGetErrorContentEncoding, coding);
      }
      int32_t coding = codingOf(value);
      if (coding != kWebGetCodingGzip) {
        RLOG(r, "Unsupported Content-Encoding [%.*s]", int(value.size()), value.data());
        return WebGetRequest_SetError(r, kWebGetErrorContentEncoding,
                                      coding | kWebGetCodingUnread);
      }
      r->gzip = 1;
    } else if (equalNoCase(name, "Last-Modified")) {
      copyView(value, text, int(sizeof text));
      Time_ParseHttpDate(text, &r->lastModified);
    } else if (equalNoCase(name, "Cache-Control")) {
      copyView(value, text, int(sizeof text));
      char age[32];
      if (WebGet_GetParameter(text, "max-age", age, int(sizeof age))) r->maxAge = Str_ToInt64(age);
      if (containsNoCase(value, "no-cache")) r->cacheDirective = 1;
      else if (containsNoCase(value, "no-store")) r->cacheDirective = 2;
    } else if (equalNoCase(name, "Pragma")) {
      if (containsNoCase(value, "no-cache")) r->cacheDirective = 1;
    } else if (equalNoCase(name, "Content-Disposition")) {
      copyView(value, text, int(sizeof text));
      char file[kWebGetFilenameBytes * 2];
      if (WebGet_GetParameter(text, "filename", file, int(sizeof file))) {
        if (!safeFilename(file, r->filename, int(sizeof r->filename)))
          RLOG(r, "Content-Disposition file name refused [%s]", file);
      }
    } else if (equalNoCase(name, "Connection")) {
      if (!sawConnection) {
        closeAsked = equalNoCase(value, "close");
        keepAsked = equalNoCase(value, "keep-alive");
      }
      sawConnection = true;
    } else if (equalNoCase(name, "Accept-Ranges")) {
      sawAcceptRanges = true;
      rangesInBytes = containsNoCase(value, "bytes");
    } else if (equalNoCase(name, "X-Cache")) {
      if (xcacheCount < 8) xcache[xcacheCount++] = value;
    } else if (equalNoCase(name, "X-ServedBy")) {
      servedBy = value;
    }
  }
  if (sawTransferEncoding) {
    // Transfer-Encoding wins over a Content-Length; such an answer never
    // keeps the connection.
    r->chunked = 1;
    r->hasContentLength = 0;
    r->contentLength = 0;
  }

  if (checkRange && !WebGetRequest_CheckContentRange(r, r->responseHeaders)) {
    RLOG(r, "Byterange mismatch %d:[%llu-%llu]", code, (unsigned long long)r->receivedRangeStart,
         (unsigned long long)r->receivedRangeEnd);
    r->receivedRangeStart = 0;
    r->receivedRangeEnd = 0;
    r->rangeMismatch = 1;
    if (code == 200) return WebGetRequest_SetError(r, kWebGetErrorRangeNotSupported, 0);
    if (code == 206) return WebGetRequest_SetError(r, kWebGetErrorBadByteRange, 0);
  } else if (code == 206) {
    r->acceptsRanges = sawAcceptRanges ? (rangesInBytes ? 1 : 0) : 1;
  }

  // An HTTP/1.0 server keeps the connection only when it says so.
  bool persistent = version > 1.05 ? !(sawConnection && closeAsked) : keepAsked;
  r->keepAlive = r->hasContentLength && persistent ? 1 : 0;
  for (int i = 0; i < xcacheCount; i++) reportCacheResults(r, xcache[i], servedBy);
  return 1;
}

int WebGetRequest_CheckContentRange(WebGetRequest *request, const char *headers) {
  REQUEST_CHECK(request);
  CHECK_POINTER(headers);
  WebGetRequest *r = request;
  if (r->statusCode == 416) return 0;
  if (r->statusCode != 200 && r->statusCode != 206) return 1;
  if (r->rangeStart == 0 && r->rangeEnd == 0) return 1;
  if (r->statusCode == 206) {
    char value[256];
    const char *bytes = nullptr;
    if (!WebGet_GetHeaderValue(headers, "Content-Range", value, int(sizeof value)) ||
        !Str_FindNoCase(value, "bytes", &bytes))
      return 0;
    const char *p = bytes + 5;
    while (isBlank(*p)) p++;
    char *next = nullptr;
    unsigned long long first = strtoull(p, &next, 10);
    if (next == p || *next != '-') return 0;
    p = next + 1;
    unsigned long long second = strtoull(p, &next, 10);
    if (next == p) return 0;
    r->receivedRangeStart = first;
    r->receivedRangeEnd = second;
    // A range that runs past the end of the resource ends at its last byte.
    bool clamped = false;
    if (second < r->rangeEnd && *next == '/') {
      p = next + 1;
      unsigned long long total = strtoull(p, &next, 10);
      clamped = next != p && total > 0 && second == total - 1;
    }
    return first <= second && first == r->rangeStart &&
                   (r->rangeEnd == 0 || second == r->rangeEnd || clamped)
               ? 1
               : 0;
  }
  if (r->rangeEnd >= r->rangeStart && r->hasContentLength &&
      uint64_t(r->contentLength) == r->rangeEnd - r->rangeStart + 1) {
    r->receivedRangeStart = 0;
    r->receivedRangeEnd = 0;
    return 1;
  }
  return 0;
}

// ---- Redirects ---------------------------------------------------------------------------------

int WebGetRequest_IsRedirectStatus(int32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308 ? 1
                                                                                             : 0;
}

int WebGetRequest_FollowRedirect(WebGetRequest *request) {
  REQUEST_CHECK(request);
  WebGetRequest *r = request;
  r->redirectCount++;
  // One byte more than the longest Location kept tells a longer one.
  char location[kWebGetRedirectLocationMax + 2];
  if (!WebGet_GetHeaderValue(r->responseHeaders, "Location", location, int(sizeof location)) ||
      location[0] == '\0')
    return WebGetRequest_SetError(r, kWebGetErrorRedirectHeaderNotFound,
                                  kWebGetRedirectNoLocation);
  if (strlen(location) > size_t(kWebGetRedirectLocationMax))
    return WebGetRequest_SetError(r, kWebGetErrorRedirectHeaderNotFound,
                                  kWebGetRedirectLocationTooLong);
  char joined[kWebGetUrlBytes], url[kWebGetUrlBytes];
  if (!Url_Join(r->url, location, joined, int(sizeof joined)))
    return WebGetRequest_SetError(r, kWebGetErrorRedirectHeaderNotFound,
                                  kWebGetRedirectLocationUnusable);
  // No macro of the server's choosing reaches the next request.
  int n = 0;
  for (const char *p = joined; *p; p++) {
    bool brace = *p == '{' || *p == '}';
    if (n + (brace ? 3 : 1) >= int(sizeof url))
      return WebGetRequest_SetError(r, kWebGetErrorRedirectHeaderNotFound,
                                    kWebGetRedirectLocationTooLong);
    if (brace) {
      memcpy(url + n, *p == '{' ? "%7B" : "%7D", 3);
      n += 3;
    } else {
      url[n++] = *p;
    }
  }
  url[n] = '\0';
  RLOG(r, "Redirect detected %d:[%s]", r->redirectCount, UrlLoggable(url).text);
  if (r->redirectCount > r->redirectLimit) {
    RLOG(r, "Redirect limit reached [%d > %d]", r->redirectCount, r->redirectLimit);
    return WebGetRequest_SetError(r, kWebGetErrorRedirectLimit, 0);
  }
  if (strcmp(url, r->url) == 0) {
    RLOG(r, "Redirect loop detected [%s]", UrlLoggable(url).text);
    return WebGetRequest_SetError(r, kWebGetErrorRedirectLoopDetected, 0);
  }
  bool fromWeb = Url_HasScheme(r->url, "http") == 1 || Url_HasScheme(r->url, "https") == 1;
  bool toHttps = Url_HasScheme(url, "https") == 1;
  bool toWeb = toHttps || Url_HasScheme(url, "http") == 1;
  if (fromWeb && !toWeb) {
    RLOG(r, "Redirect blocked: scheme not followed [%s]", UrlLoggable(url).text);
    return WebGetRequest_SetError(r, kWebGetErrorBlockedRedirect, 0);
  }
  // What came over TLS never sends the request on in the clear.
  if (Url_HasScheme(r->url, "https") == 1 && !toHttps) {
    responseLogAt(r, LOG_WARNING, "Redirect from https to http refused [%s]",
                  UrlLoggable(url).text);
    return WebGetRequest_SetError(r, kWebGetErrorBlockedRedirect, kWebGetBlockedRedirectToHttp);
  }
  // The whitelist holds for a target as for any URL asked for.
  if (!WebGet_Authorize(url)) {
    RLOG(r, "Redirect to a host off the whitelist [%s]", UrlLoggable(url).text);
    return WebGetRequest_SetError(r, kWebGetErrorValidation, r->statusCode);
  }
  // A 303 names where the answer is, to be fetched with a GET.
  if (r->statusCode == 303 && r->method != kWebGetMethodHead) {
    r->method = kWebGetMethodGet;
    WebGetRequest_SetPostData(r, nullptr, 0);
  }
  char rewriteValue[64];
  int rewrite = 1;
  if (WebGet_GetHeaderValue(r->responseHeaders, "X-QVN-UrlRewrite", rewriteValue,
                            int(sizeof rewriteValue)) &&
      Str_CompareNoCase(rewriteValue, "Disable") == 0)
    rewrite = 0;
  WebGetRequest_ClearHeaders(r);
  if (!WebGetRequest_SetUrl(r, url, rewrite))
    return WebGetRequest_SetError(r, kWebGetErrorBlockedRedirect, 0);
  void *context = nullptr;
  CallbackFunction function = nullptr;
  if (Callback_Get(&r->redirectCallback.cell, &context, &function)) {
    char buffer[kWebGetUrlBytes];
    Str_Copy(buffer, r->url, int(sizeof buffer));
    if (!reinterpret_cast<WebGetRequestRedirectCallback>(function)(r, context, buffer,
                                                                   int(sizeof buffer))) {
      RLOG(r, "Redirect blocked due to callback response [%s]", UrlLoggable(buffer).text);
      return WebGetRequest_SetError(r, kWebGetErrorBlockedRedirect, 0);
    }
    if (!WebGetRequest_SetUrl(r, buffer, rewrite))
      return WebGetRequest_SetError(r, kWebGetErrorBlockedRedirect, 0);
  }
  return 1;
}

// ---- Body -----------------------------------------------------------------------------------------

int WebGetRequest_BeginBody(WebGetRequest *request, int silent) {
  REQUEST_CHECK(request);
  WebGetRequest *r = request;
  r->bytesReceived = 0;
  r->bodyBytesConsumed = 0;
  r->memoryLength = 0;
  r->codedSilence = 0;
  r->inflateEmptyEnd = 0;
  if (!silent && !runCallback(r, &r->bodyBeginCallback)) return 0;
  closeInflater(r);
  if ((r->gzip && (r->inflateEnabled || r->decodeAnswer)) || r->forceInflate) {
    r->inflater = static_cast<z_stream *>(MEM_ALLOC(sizeof(z_stream), MEM_ZEROED));
    int result = inflateInit2(r->inflater, 47);
    if (result != Z_OK) {
      MEM_FREE(r->inflater, sizeof(z_stream));
      r->inflater = nullptr;
      return inflateFail(r, result);
    }
    r->inflateOpen = 1;
  }
  return 1;
}

int WebGetRequest_ProcessBody(WebGetRequest *request, const void *data, int64_t length,
                              int64_t *consumed) {
  REQUEST_CHECK(request);
  CHECK_POINTER(consumed);
  WebGetRequest *r = request;
  *consumed = 0;
  if (length <= 0) return 1;
  CHECK_POINTER(data);
  if (r->hasContentLength && r->contentLength > 0) {
    int64_t left = r->contentLength - int64_t(r->bodyBytesConsumed);
    if (length > left) length = left;
  }
  // Counted before any decoding: what decodes to little or nothing still
  // ends within the bound. The bytes up to it are decoded first, so that a
  // failure of theirs is the one named.
  int64_t bound = rawBound(r);
  bool over = bound > 0 && int64_t(r->bodyBytesConsumed) + length > bound;
  if (over) length = bound - int64_t(r->bodyBytesConsumed);
  if (r->pendingWrites.load() != 0)
    Core_Abort(KSRC, "Assertion failed (WebGetRequest->PendingWrites == 0)\nData still in write pool");
  if (r->writePool != nullptr) Pool_Reset(r->writePool);
  const auto *bytes = static_cast<const uint8_t *>(data);
  int64_t taken = 0;
  if (r->chunked) {
    taken = chunkedStage(r, bytes, length);
  } else {
    while (taken < length) {
      int64_t took = decodeStage(r, bytes + taken, length - taken);
      if (took < 0) {
        taken = -1;
        break;
      }
      if (took == 0) break;
      taken += took;
    }
  }
  if (taken < 0) return 0;
  *consumed = taken;
  r->bodyBytesConsumed += uint64_t(taken);
  if (over) return bodyBoundFail(r, kWebGetErrorSizeLimit, kWebGetSizeLimitRaw, bound);
  return 1;
}

int WebGetRequest_EndBody(WebGetRequest *request, int silent) {
  REQUEST_CHECK(request);
  WebGetRequest *r = request;
  WebGetRequest_CloseOutputFile(r);
  // nginx's page for a request in the clear on its TLS port.
  if (r->statusCode == 400 && r->memoryOutput != nullptr &&
      containsNoCase(std::string_view(reinterpret_cast<const char *>(r->memoryOutput),
                                      size_t(r->memoryLength)),
                     "plain HTTP request was sent to HTTPS port"))
    r->cause.httpsPort = 1;
  bool truncated = r->inflateOpen && r->inflateMidStream;
  closeInflater(r);
  if (truncated) {
    RLOG(r, "Compressed body ended before its stream end");
    return WebGetRequest_SetError(r, kWebGetErrorCompression, Z_BUF_ERROR);
  }
  if (!silent && !runCallback(r, &r->bodyEndCallback)) return 0;
  return 1;
}

int WebGetRequest_IsChunkedComplete(WebGetRequest *request) {
  REQUEST_CHECK(request);
  return request->chunked && request->finalChunk ? 1 : 0;
}

// ---- File output ------------------------------------------------------------------------------------

int WebGetRequest_SetFileOutput(WebGetRequest *request) {
  REQUEST_CHECK(request);
  CallbackRef_Clear(&request->writeCallback);
  return CallbackRef_Set(&request->writeCallback, nullptr, nullptr,
                         reinterpret_cast<CallbackFunction>(WebGetRequest_FileSink));
}

int WebGetRequest_FileSink(WebGetRequest *request, void *, const void *data, int64_t length,
                           int64_t *written) {
  REQUEST_CHECK(request);
  CHECK_POINTER(written);
  WebGetRequest *r = request;
  if (length <= 0) return 1;
  CHECK_POINTER(data);
  if (r->error.load() != 0) return 0;
  if (!AsyncFile_IsOpen(r->outputFile) && !openOutputFile(r)) return 0;
  if (r->writePool == nullptr) {
    Pool_Create(&r->writePool, KSRC);
    Pool_SetMemberSize(r->writePool, int32_t(sizeof(WriteBlock)));
    Pool_SetMemberChunkSize(r->writePool, 4);
  }
  const auto *bytes = static_cast<const uint8_t *>(data);
  for (int64_t pos = 0; pos < length;) {
    // Counted before the check: a failing write then cannot close the file
    // between the check and the queueing.
    r->pendingWrites.fetch_add(1);
    if (r->fileCloseState.load() != 0 || r->error.load() != 0) {
      if (r->pendingWrites.fetch_sub(1) == 1) finishFile(r);
      return 0;
    }
    int32_t n = length - pos > kWebGetWriteBlockBytes ? kWebGetWriteBlockBytes
                                                      : int32_t(length - pos);
    auto *block = static_cast<WriteBlock *>(Pool_Alloc(r->writePool, int32_t(sizeof(WriteBlock)), KSRC));
    block->request = static_cast<WebGetRequest *>(Class_Retain(r));
    block->length = n;
    memcpy(block->data, bytes + pos, size_t(n));
    AsyncFile_Write(r->outputFile, int64_t(r->writeOffset), block->data, uint32_t(n),
                    WebGetRequest_FileWriteDone, block);
    r->writeOffset += uint64_t(n);
    *written += n;
    pos += n;
  }
  return 1;
}

void WebGetRequest_FileWriteDone(void *context, int64_t offset, void *, uint32_t bytesDone,
                                 uint32_t error) {
  auto *block = static_cast<WriteBlock *>(context);
  WebGetRequest *r = block->request;
  if (error != 0 || bytesDone != uint32_t(block->length)) {
    uint64_t cut = r->fileCutOffset.load();
    while (uint64_t(offset) < cut && !r->fileCutOffset.compare_exchange_weak(cut, uint64_t(offset))) {
    }
    WebGetRequest_SetError(r, kWebGetErrorOs, int32_t(error ? error : 112));
  }
  if (r->pendingWrites.fetch_sub(1) == 1 && r->fileCloseState.load() == 1) finishFile(r);
  runCallback(r, &r->writeDoneCallback);
  void *object = r;
  Class_Release(&object);
}

int WebGetRequest_CloseOutputFile(WebGetRequest *request) {
  REQUEST_CHECK(request);
  int32_t expected = 0;
  request->fileCloseState.compare_exchange_strong(expected, 1);
  if (request->pendingWrites.load() == 0) finishFile(request);
  return 1;
}
