// Header-block text helpers and the name tables of the HTTP client; see
// core/net/webget.h.
#include <cstring>
#include <iterator>

#include "core/formats/dictionary.h"
#include "core/net/webget.h"
#include "core/runtime/core.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

bool webGetIsBlank(char c) { return c == ' ' || c == '\t'; }
bool webGetIsLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

// Copies length bytes of text into out (size bytes), cut to fit. Returns 1
// when the whole text fit.
int webGetCopyCut(const char *text, size_t length, char *out, int size) {
  if (size < 1) return 0;
  size_t n = length < size_t(size - 1) ? length : size_t(size - 1);
  memcpy(out, text, n);
  out[n] = '\0';
  return n == length ? 1 : 0;
}

// The end of the line that starts at line: its CR, LF or terminator.
const char *webGetLineEnd(const char *line) {
  while (!webGetIsLineEnd(*line)) line++;
  return line;
}

// Bounded appends into a header block being written.
struct WebGetWriter {
  char *out;
  int size;
  int length;
  bool full;

  void Append(const char *text, size_t n) {
    if (full || size_t(size - length) <= n) {
      full = true;
      return;
    }
    memcpy(out + length, text, n);
    length += int(n);
    out[length] = '\0';
  }
  void Append(const char *text) { Append(text, strlen(text)); }
};

// A List or Dictionary value: "k=v" pairs joined by ';' (a keyless item as
// its text alone).
void webGetWritePairs(Dictionary *child, WebGetWriter *w) {
  DictionaryItem *item = nullptr;
  bool first = true;
  for (int more = Dictionary_GetFirstItem(child, &item); more;
       more = Dictionary_GetNextItem(child, item, &item)) {
    if (!first) w->Append(";");
    first = false;
    const char *key = nullptr;
    if (Dictionary_GetItemKey(child, item, &key) && key) {
      w->Append(key);
      w->Append("=");
    }
    const char *text = nullptr;
    int32_t length = 0;
    if (!Dictionary_IsItemContainer(child, item) &&
        Dictionary_GetItemText(child, item, &text, &length) && text)
      w->Append(text, size_t(length));
  }
}

// Null "null", Boolean "true" or "false", other scalars their text.
void webGetWriteValue(Dictionary *d, DictionaryItem *item, WebGetWriter *w) {
  if (Dictionary_IsItemContainer(d, item)) {
    webGetWritePairs(item->child, w);
    return;
  }
  const char *text = nullptr;
  int32_t length = 0;
  if (Dictionary_GetItemText(d, item, &text, &length) && text) w->Append(text, size_t(length));
}

struct WebGetName {
  int32_t number;
  const char *text;
};

template <size_t N>
const char *webGetLookUp(const WebGetName (&table)[N], int32_t number) {
  for (const WebGetName &row : table)
    if (row.number == number) return row.text;
  return table[0].text;
}

constexpr WebGetName kWebGetErrorNames[] = {
    {0, "Unknown"}, {900, "Custom"}, {950, "Connect"}, {951, "DNS"},
    {952, "BadTransport"}, {953, "Socket"}, {954, "BadByteRange"}, {955, "ChunkedSize"},
    {956, "UserAbort"}, {957, "BlockedRedirect"}, {959, "SizeLimit"}, {960, "Compression"},
    {961, "Timeout"}, {962, "Underflow"}, {963, "Validation"}, {964, "OS"},
    {965, "ProxyDisabled"}, {966, "HeaderLimit"}, {967, "HeaderIncomplete"},
    {968, "ContentEncoding"}, {969, "Chunked"}, {970, "Bind"}, {971, "TLS1"},
    {972, "AuthRequestCancel"}, {973, "CertRequestCancel"}, {974, "Reconfigure"},
    {975, "InvalidOffset"}, {976, "InvalidContent"}, {977, "UnexpectedLength"},
    {978, "RangeNotSupported"}, {979, "HashFailure"}, {980, "ContentLengthLimit"},
    {981, "AuthHeaderNotFound"}, {982, "AuthNotSupported"}, {983, "RedirectHeaderNotFound"},
    {984, "RedirectLoopDetected"}, {985, "RedirectLimit"}, {986, "HeaderCorrupt"},
    {987, "JSON"}, {988, "VCDiff"}, {989, "Storage"},
};
static_assert(std::size(kWebGetErrorNames) == 41);

constexpr WebGetName kWebGetReasons[] = {
    {0, "Unknown"},
    {100, "Continue"}, {101, "Switching protocols"},
    {200, "OK"}, {201, "Created"}, {202, "Accepted"}, {203, "Non-authoritative information"},
    {204, "No content"}, {205, "Reset content"}, {206, "Partial content"},
    {300, "Multiple choices"}, {301, "Moved permanently"}, {302, "Moved temporarily"},
    {303, "See other"}, {304, "Not modified"}, {305, "Use proxy"}, {306, "Unused"},
    {307, "Temporary redirect"},
    {400, "Bad request"}, {401, "Authorization required"}, {402, "Payment required"},
    {403, "Forbidden"}, {404, "Object not found"}, {405, "Method not allowed"},
    {406, "Not acceptable"}, {407, "Proxy authorization required"}, {408, "Request timeout"},
    {409, "Conflict"}, {410, "Gone"}, {411, "Length required"},
    {412, "Precondition failed"}, {413, "Request entity too large"},
    {414, "Request-URI too long"}, {415, "Unsupported media type"},
    {416, "Requested range not satisfiable"}, {417, "Expectation failed"},
    {500, "Internal server error"}, {501, "Not implemented"}, {502, "Bad gateway"},
    {503, "Service unavailable"}, {504, "Gateway timeout"}, {505, "HTTP version not supported"},
    {950, "Unable to connect"}, {951, "No DNS entry found for host"},
    {952, "Unable to establish transport"}, {953, "Socket error"}, {954, "Byte range failure"},
    {955, "Invalid chunk size"}, {956, "User abort"}, {957, "Blocked redirection"},
    {959, "Exceeded size limit"}, {960, "Error decompressing content"}, {961, "Timeout on I/O"},
    {962, "Underflow"}, {963, "Failed validation"}, {964, "OS error"}, {965, "Proxy disabled"},
    {966, "Exceeded header size limit"}, {967, "Incomplete header"},
    {968, "Unsupported content encoding"}, {969, "Error unchunking content"},
    {970, "Binding error"}, {971, "TLS1 error"}, {972, "Authentication request cancelled"},
    {973, "Client certificate request cancelled"}, {974, "Reconfigure request"},
    {975, "Invalid offset/length"}, {976, "Invalid content"}, {977, "Unexpected content length"},
    {978, "Range requests not supported"}, {979, "Hash failure"},
    {980, "Exceeded content length limit"}, {981, "Authentication header not found"},
    {982, "Unsupported authentication scheme"}, {983, "Redirection header not found"},
    {984, "Redirection loop detected"}, {985, "Exceeded redirection limit"},
    {986, "Header corrupt"}, {987, "JSON error"}, {988, "Error deflating vcdiff content"},
    {989, "Storage"}, {990, "Request incomplete"}, {991, "Retry"}, {992, "XML error"},
    {993, "YAML error"},
};
static_assert(std::size(kWebGetReasons) == 85);

constexpr WebGetName kWebGetMethodNames[] = {
    {0, "Unknown"}, {1, "Get"}, {2, "Post"}, {3, "Put"}, {4, "Delete"},
    {5, "Head"}, {6, "Options"}, {7, "Trace"}, {8, "Connect"},
};

// In this row order; phases 1 and 14 have no row.
constexpr WebGetName kWebGetPhaseNames[] = {
    {0, "Idle"}, {2, "Lookup"}, {3, "Connect"}, {4, "MethodConnect"}, {5, "Request"},
    {6, "PostBuffer"}, {9, "Header"}, {10, "Authenticate"}, {7, "Handshake"},
    {8, "ClientCertificateRequest"}, {11, "Body"}, {12, "Cleanup"}, {13, "Done"},
};

// Headers whose values are secrets: credentials, cookies and the page's
// token. A log shows their names only.
constexpr const char *kWebGetSecretHeaders[] = {"Authorization", "Proxy-Authorization", "Cookie",
                                                "Set-Cookie", "X-Keelson-Token"};

bool webGetIsSecretHeader(const char *name, size_t length) {
  for (const char *secret : kWebGetSecretHeaders)
    if (strlen(secret) == length && Str_EqualNoCaseN(name, secret, int(length))) return true;
  return false;
}

}  // namespace

int WebGet_NextHeaderLine(const char *text, const char **position) {
  CHECK_POINTER(text);
  CHECK_POINTER(position);
  const char *end = strstr(text, "\r\n");
  if (end == nullptr) return 0;
  end += 2;
  while (*end == '\r' || *end == '\n') end++;
  *position = end;
  return 1;
}

int WebGet_FindHeader(const char *block, const char *name, const char **line) {
  CHECK_POINTER(block);
  CHECK_POINTER(name);
  CHECK_POINTER(line);
  *line = nullptr;
  size_t length = strlen(name);
  if (length == 0) return 0;
  for (const char *p = block; *p != '\0';) {
    if (Str_EqualNoCaseN(p, name, int(length)) && p[length] == ':') {
      *line = p;
      return 1;
    }
    p = webGetLineEnd(p);
    while (*p == '\r' || *p == '\n') p++;
  }
  return 0;
}

int WebGet_GetHeaderValue(const char *block, const char *name, char *value, int size) {
  CHECK_POINTER(value);
  if (size > 0) value[0] = '\0';
  const char *line = nullptr;
  if (!WebGet_FindHeader(block, name, &line)) return 0;
  const char *p = line + strlen(name) + 1;
  while (webGetIsBlank(*p)) p++;
  webGetCopyCut(p, size_t(webGetLineEnd(p) - p), value, size);
  return 1;
}

void WebGet_RemoveHeader(char *block, const char *name) {
  const char *line = nullptr;
  while (WebGet_FindHeader(block, name, &line)) {
    char *start = block + (line - block);
    const char *end = strstr(start, "\r\n");
    end = end != nullptr ? end + 2 : start + strlen(start);
    memmove(start, end, strlen(end) + 1);
  }
}

int WebGet_SetHeader(char *block, int size, const char *name, const char *value, int replace) {
  CHECK_POINTER(block);
  CHECK_POINTER(name);
  CHECK_POINTER(value);
  // A name with a blank, a control byte or ':' and a value with a line end
  // would let a caller's text start a line of its own in the request.
  if (name[0] == '\0') return 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
    if (*p <= 0x20 || *p == 0x7f || *p == ':') return 0;
  if (strpbrk(value, "\r\n") != nullptr) return 0;
  if (size < 1 || memchr(block, '\0', size_t(size)) == nullptr) return 0;
  size_t blockLength = strlen(block);
  const char *line = nullptr;
  size_t removeLength = 0;
  if (WebGet_FindHeader(block, name, &line)) {
    if (!replace) return 0;
    const char *end = webGetLineEnd(line);
    if (*end == '\r') end++;
    if (*end == '\n') end++;
    removeLength = size_t(end - line);
  }
  size_t nameLength = strlen(name), valueLength = strlen(value);
  size_t added = nameLength + 2 + valueLength + 2;
  // A line is appended whole or not at all: a cut line would run into the
  // next one that is appended.
  if (blockLength - removeLength + added >= size_t(size)) return 0;
  if (removeLength > 0) {
    char *start = block + (line - block);
    memmove(start, start + removeLength, blockLength - size_t(line - block) - removeLength + 1);
    blockLength -= removeLength;
  }
  char *p = block + blockLength;
  memcpy(p, name, nameLength);
  p += nameLength;
  memcpy(p, ": ", 2);
  p += 2;
  memcpy(p, value, valueLength);
  p += valueLength;
  memcpy(p, "\r\n", 3);
  return 1;
}

int WebGet_ParseHeaderLine(const char *line, char *name, int nameSize, char *value,
                           int valueSize) {
  CHECK_POINTER(line);
  CHECK_POINTER(name);
  CHECK_POINTER(value);
  if (nameSize > 0) name[0] = '\0';
  if (valueSize > 0) value[0] = '\0';
  const char *end = webGetLineEnd(line);
  const char *colon = static_cast<const char *>(memchr(line, ':', size_t(end - line)));
  if (colon == nullptr) return 0;
  webGetCopyCut(line, size_t(colon - line), name, nameSize);
  const char *p = colon + 1;
  while (webGetIsBlank(*p)) p++;
  webGetCopyCut(p, size_t(end - p), value, valueSize);
  return 1;
}

int WebGet_ParseStatusCode(const char *line, int size, int32_t *code) {
  CHECK_POINTER(line);
  CHECK_POINTER(code);
  *code = 0;
  int i = 0;
  while (i < size && line[i] != ' ' && !webGetIsLineEnd(line[i])) i++;
  if (i >= size || line[i] != ' ') return 0;
  while (i < size && line[i] == ' ') i++;
  // Exactly three digits: "4294967496" must not pass for 200 once cut to
  // 32 bits, nor "2000" for anything.
  int32_t value = 0;
  int digits = 0;
  for (; i < size && digits < 4 && line[i] >= '0' && line[i] <= '9'; i++, digits++)
    value = value * 10 + (line[i] - '0');
  if (digits != 3 || value < 100) return 0;
  if (i < size && !webGetIsLineEnd(line[i]) && !webGetIsBlank(line[i])) return 0;
  *code = value;
  return 1;
}

int WebGet_ParseHttpVersion(const char *block, double *version) {
  CHECK_POINTER(block);
  CHECK_POINTER(version);
  *version = 0.0;
  const char *p = strstr(block, "HTTP/");
  if (p == nullptr) return 0;
  *version = Str_ToFloat64(p + 5);
  return *version >= 1.0 ? 1 : 0;
}

int WebGet_GetStatusText(const char *block, char *out, int size) {
  CHECK_POINTER(block);
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  const char *end = webGetLineEnd(block);
  const char *p = static_cast<const char *>(memchr(block, ' ', size_t(end - block)));
  if (p == nullptr) return 0;
  while (p < end && *p == ' ') p++;
  while (p < end && *p >= '0' && *p <= '9') p++;
  while (p < end && webGetIsBlank(*p)) p++;
  const char *last = end;
  while (last > p && webGetIsBlank(last[-1])) last--;
  webGetCopyCut(p, size_t(last - p), out, size);
  return 1;
}

int WebGet_GetParameter(const char *text, const char *name, char *out, int size) {
  CHECK_POINTER(text);
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  size_t nameLength = strlen(name);
  if (nameLength == 0) return 0;
  const char *found = nullptr;
  for (const char *from = text; Str_FindNoCase(from, name, &found); from = found + 1) {
    const char *p = found + nameLength;
    while (webGetIsBlank(*p)) p++;
    if (*p != '=' && *p != ':') continue;
    p++;
    while (webGetIsBlank(*p)) p++;
    if (*p == '"' || *p == '\'') {
      const char *close = strchr(p + 1, *p);
      const char *stop = close ? close : p + 1 + strlen(p + 1);
      webGetCopyCut(p + 1, size_t(stop - (p + 1)), out, size);
      return 1;
    }
    const char *stop = p;
    while (*stop && !strchr(" ,;\r\n", *stop)) stop++;
    webGetCopyCut(p, size_t(stop - p), out, size);
    return 1;
  }
  return 0;
}

int WebGet_NextAttribute(const char **cursor, char *name, int nameSize, char *value,
                         int valueSize) {
  CHECK_POINTER(cursor);
  CHECK_POINTER(*cursor);
  CHECK_POINTER(name);
  CHECK_POINTER(value);
  if (nameSize > 0) name[0] = '\0';
  if (valueSize > 0) value[0] = '\0';
  const char *p = *cursor;
  while (*p == ' ' || *p == ';') p++;
  // A control byte (the line end of a header) ends the list.
  if (static_cast<unsigned char>(*p) < 0x20) {
    *cursor = p;
    return 0;
  }
  const char *stop = p;
  while (*stop && *stop != ';' && *stop != '=') stop++;
  webGetCopyCut(p, size_t(stop - p), name, nameSize);
  p = stop;
  if (*p == '=') {
    p++;
    stop = p;
    while (*stop && *stop != ';' && static_cast<unsigned char>(*stop) >= 0x20) stop++;
    webGetCopyCut(p, size_t(stop - p), value, valueSize);
    p = stop;
  }
  *cursor = p;
  return 1;
}

int WebGet_FindAttribute(const char *list, const char *name, char *value, int size) {
  CHECK_POINTER(list);
  CHECK_POINTER(name);
  CHECK_POINTER(value);
  if (size > 0) value[0] = '\0';
  char itemName[kWebGetAttributeBytes];
  const char *cursor = list;
  while (WebGet_NextAttribute(&cursor, itemName, int(sizeof itemName), value, size))
    if (Str_CompareNoCase(itemName, name) == 0) return 1;
  if (size > 0) value[0] = '\0';
  return 0;
}

int WebGet_HeadersToDictionary(const char *block, Dictionary *dictionary) {
  CHECK_POINTER(block);
  CHECK_POINTER(dictionary);
  const char *p = block;
  bool first = true;
  while (*p != '\0' && *p != '\r' && *p != '\n') {
    const char *end = webGetLineEnd(p);
    size_t length = size_t(end - p);
    if (first) {
      Dictionary *words = nullptr;
      Dictionary_AddList(dictionary, nullptr, &words, nullptr);
      const char *w = p;
      while (w < end) {
        while (w < end && webGetIsBlank(*w)) w++;
        const char *stop = w;
        while (stop < end && !webGetIsBlank(*stop)) stop++;
        if (stop > w) {
          DictionaryItem *item = nullptr;
          Dictionary_AddKey(words, nullptr, &item);
          Dictionary_SetItemType(words, item, kDictionaryTypeString);
          Dictionary_SetItemText(words, item, w, int32_t(stop - w));
        }
        w = stop;
      }
      first = false;
    } else {
      const char *colon = static_cast<const char *>(memchr(p, ':', length));
      const char *nameEnd = colon ? colon : end;
      while (nameEnd > p && webGetIsBlank(nameEnd[-1])) nameEnd--;
      DictionaryItem *item = nullptr;
      Dictionary_AddKey(dictionary, nullptr, &item);
      Dictionary_SetItemKeyN(dictionary, item, p, int32_t(nameEnd - p));
      if (colon != nullptr) {
        const char *v = colon + 1;
        while (v < end && webGetIsBlank(*v)) v++;
        if (size_t(nameEnd - p) == 6 && Str_EqualNoCaseN(p, "Cookie", 6)) {
          Dictionary_SetItemType(dictionary, item, kDictionaryTypeDictionary);
          Dictionary_ParseKeyValueText(item->child, v, int32_t(end - v), '=', ';');
        } else {
          Dictionary_SetItemType(dictionary, item, kDictionaryTypeString);
          Dictionary_SetItemText(dictionary, item, v, int32_t(end - v));
        }
      }
    }
    p = end;
    if (*p == '\r') p++;
    if (*p == '\n') p++;
  }
  return 1;
}

int WebGet_DictionaryToHeaders(Dictionary *dictionary, char *out, int size) {
  CHECK_POINTER(dictionary);
  CHECK_POINTER(out);
  if (size < 1) return 0;
  out[0] = '\0';
  WebGetWriter w{out, size, 0, false};
  DictionaryItem *item = nullptr;
  bool first = true;
  for (int more = Dictionary_GetFirstItem(dictionary, &item); more;
       more = Dictionary_GetNextItem(dictionary, item, &item)) {
    if (first && Dictionary_IsItemType(dictionary, item, kDictionaryTypeList)) {
      DictionaryItem *word = nullptr;
      Dictionary *words = item->child;
      bool firstWord = true;
      for (int more2 = Dictionary_GetFirstItem(words, &word); more2;
           more2 = Dictionary_GetNextItem(words, word, &word)) {
        if (!firstWord) w.Append(" ");
        firstWord = false;
        webGetWriteValue(words, word, &w);
      }
    } else {
      const char *key = nullptr;
      Dictionary_GetItemKey(dictionary, item, &key);
      w.Append(key ? key : "");
      w.Append(": ");
      webGetWriteValue(dictionary, item, &w);
    }
    w.Append("\r\n");
    first = false;
  }
  w.Append("\r\n");
  // A block without its end would run into whatever the connection writes
  // next: all of it or nothing.
  if (w.full) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}

const char *WebGet_GetErrorName(int32_t code) { return webGetLookUp(kWebGetErrorNames, code); }
const char *WebGet_GetReasonText(int32_t code) { return webGetLookUp(kWebGetReasons, code); }

const char *WebGet_GetCodingName(int32_t coding) {
  static const char *const kNames[] = {"gzip", "deflate", "br", "compress", "zstd"};
  return coding >= kWebGetCodingGzip && coding <= kWebGetCodingZstd
             ? kNames[coding - kWebGetCodingGzip]
             : "another coding";
}
const char *WebGet_GetMethodName(int32_t method) {
  return webGetLookUp(kWebGetMethodNames, method);
}
const char *WebGet_GetPhaseName(int32_t phase) { return webGetLookUp(kWebGetPhaseNames, phase); }

int WebGet_MaskSecretHeaders(const char *block, int length, char *out, int size) {
  CHECK_POINTER(block);
  CHECK_POINTER(out);
  StrBuf sb;
  StrBuf_Init(&sb, out, size);
  const char *end = block + (length > 0 ? length : 0);
  for (const char *line = block; line < end;) {
    const char *valueEnd = line;
    while (valueEnd < end && *valueEnd != '\r' && *valueEnd != '\n') valueEnd++;
    const char *next = valueEnd;
    while (next < end && (*next == '\r' || *next == '\n')) next++;
    const auto *colon = static_cast<const char *>(memchr(line, ':', size_t(valueEnd - line)));
    if (colon != nullptr && webGetIsSecretHeader(line, size_t(colon - line))) {
      StrBuf_Write(&sb, line, colon + 1 - line, nullptr);
      StrBuf_Write(&sb, " (hidden)", -1, nullptr);
    } else {
      StrBuf_Write(&sb, line, valueEnd - line, nullptr);
    }
    StrBuf_Write(&sb, valueEnd, next - valueEnd, nullptr);
    line = next;
  }
  StrBuf_Finish(&sb);
  return int(sb.length);
}
