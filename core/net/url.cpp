// URLs; see url.h.
#include "core/net/url.h"

#include <cstring>
#include <new>

#include "core/runtime/core.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

constexpr int kUrlQueryItemsPerChunk = 16;

struct UrlPortRow {
  const char *scheme;
  int port;
};
// Looked up in this order: a port found twice names the first scheme.
constexpr UrlPortRow kUrlPorts[] = {
    {"", 0}, {"https", 443}, {"http", 80}, {"ftp", 21}, {"telnet", 23}, {"shout", 8000}, {"gopher", 70},
};

const char kUrlRootPath[] = "/";
const char kUrlEmpty[] = "";

inline bool urlIsSeparator(char c) { return c == '/' || c == '\\'; }
inline bool urlIsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool urlIsDigit(char c) { return c >= '0' && c <= '9'; }

// The first character of text that is in set, or text's end.
const char *urlFirstOf(const char *text, const char *set) { return text + strcspn(text, set); }

// Copies count bytes of text into out (size bytes), cut to fit. Returns 1
// when the whole text fit.
int urlCopy(char *out, int size, const char *text, size_t count) {
  if (size < 1) return 0;
  size_t copied = count < size_t(size) ? count : size_t(size) - 1;
  memmove(out, text, copied);
  out[copied] = '\0';
  return copied == count ? 1 : 0;
}

// Appends text behind the text in out; 0 with out unchanged when it does not
// fit.
int urlAppend(char *out, int size, const char *text, size_t count) {
  size_t at = strlen(out);
  if (at + count >= size_t(size)) return 0;
  memmove(out + at, text, count);
  out[at + count] = '\0';
  return 1;
}

int urlEmpty(char *out, int size) {
  if (size > 0) out[0] = '\0';
  return 0;
}

// Behind the scheme's "://", or NULL when the URL has no scheme.
const char *urlAfterScheme(const char *url) {
  const char *p = urlFirstOf(url, ":/\\?#");
  return p[0] == ':' && p[1] == '/' && p[2] == '/' ? p + 3 : nullptr;
}

// The start of the authority: behind "://", or the URL's start.
const char *urlAuthority(const char *url) {
  const char *after = urlAfterScheme(url);
  return after ? after : url;
}

// The end of a host that starts at host: its first '/', '\\', '?' or '#'.
const char *urlHostEnd(const char *host) { return urlFirstOf(host, "/\\?#"); }

// The user information behind the scheme: [start, '@'), or 0 without one.
int urlUserInfo(const char *url, const char **start, const char **at) {
  const char *authority = urlAuthority(url);
  const char *p = urlFirstOf(authority, "@/\\?#");
  if (*p != '@') return 0;
  *start = authority;
  *at = p;
  return 1;
}

enum class UrlPortText { None, Valid, Invalid };

// The port text of the host: 1 to 5 decimal digits giving 1 to 65535. An
// empty text is none; a sign, hex, a larger number or anything else is not a
// port, so a caller never connects to a port other than the one written.
UrlPortText urlPortText(const char *url, int *port) {
  *port = 0;
  const char *host = nullptr;
  Url_FindHost(url, &host);
  const char *end = urlHostEnd(host);
  const char *colon = urlFirstOf(host, ":/\\?#");
  if (colon >= end || *colon != ':') return UrlPortText::None;
  const char *digits = colon + 1;
  size_t count = size_t(end - digits);
  if (count == 0) return UrlPortText::None;
  if (count > 5) return UrlPortText::Invalid;
  int value = 0;
  for (size_t k = 0; k < count; k++) {
    if (!urlIsDigit(digits[k])) return UrlPortText::Invalid;
    value = value * 10 + (digits[k] - '0');
  }
  if (value < 1 || value > 65535) return UrlPortText::Invalid;
  *port = value;
  return UrlPortText::Valid;
}

// The default port of the URL's scheme (0 without scheme or row).
int urlSchemePort(const char *url) {
  char scheme[kUrlSchemeBytes];
  const char *after = urlAfterScheme(url);
  if (after == nullptr) return 0;
  size_t length = size_t(after - 3 - url);
  if (length >= sizeof scheme) return 0;
  memcpy(scheme, url, length);
  scheme[length] = '\0';
  return Url_DefaultPort(scheme);
}

// The host (with or without port) in a field of kUrlHostBytes; 0 when it
// does not fit.
int urlHostField(const char *url, char *field, int withPort) {
  const char *host = nullptr;
  Url_FindHost(url, &host);
  const char *end = withPort ? urlHostEnd(host) : urlFirstOf(host, ":/\\?#");
  return urlCopy(field, kUrlHostBytes, host, size_t(end - host));
}

int urlSameHost(const char *a, const char *b, int withPort) {
  CHECK_POINTER(a);
  CHECK_POINTER(b);
  char hostA[kUrlHostBytes];
  char hostB[kUrlHostBytes];
  if (!urlHostField(a, hostA, withPort) || !urlHostField(b, hostB, withPort)) return 0;
  return Str_CompareNoCase(hostA, hostB) == 0 ? 1 : 0;
}

// The path's first character behind a drive, so that ".." never climbs
// above "C:".
char *urlPathRoot(char *path) {
  return urlIsSeparator(path[0]) || path[0] == '\0' ? path : path + 2;
}

int urlHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr char kUrlHexDigits[] = "0123456789ABCDEF";

// Writes "%XX" at out + at when 4 bytes are free. Returns 0 when not.
int urlWriteEscape(char *out, int size, int *at, unsigned char c) {
  if (*at + 4 > size) return 0;
  out[(*at)++] = '%';
  out[(*at)++] = kUrlHexDigits[c >> 4];
  out[(*at)++] = kUrlHexDigits[c & 15];
  return 1;
}

// Appends text behind the text in out with spaces, control bytes and 0x7F
// written as "%XX", as Url_Normalize writes them. 0 with out unchanged when
// it does not fit.
int urlAppendEscaped(char *out, int size, const char *text) {
  int start = int(strlen(out));
  int at = start;
  for (const char *p = text; *p; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    bool fits = c <= ' ' || c == 0x7F ? urlWriteEscape(out, size, &at, c) : at + 2 <= size;
    if (!fits) {
      out[start] = '\0';
      return 0;
    }
    if (c > ' ' && c != 0x7F) out[at++] = char(c);
  }
  out[at] = '\0';
  return 1;
}

inline bool urlIsBlankOrLineEnd(char c) { return c == ' ' || c == '\r' || c == '\n'; }

// Narrows [begin, end) by the spaces, CR and LF at either end.
void urlTrim(const char **begin, const char **end) {
  while (*begin < *end && urlIsBlankOrLineEnd(**begin)) (*begin)++;
  while (*end > *begin && urlIsBlankOrLineEnd((*end)[-1])) (*end)--;
}

}  // namespace

// ---- Predicates -------------------------------------------------------------

int Url_HasScheme(const char *url, const char *scheme) {
  CHECK_POINTER(url);
  CHECK_POINTER(scheme);
  size_t length = strlen(scheme);
  return Str_EqualNoCaseN(url, scheme, int(length)) && strncmp(url + length, "://", 3) == 0 ? 1 : 0;
}

int Url_IsLocalhost(const char *url) {
  CHECK_POINTER(url);
  char host[kUrlHostBytes];
  if (!urlHostField(url, host, 0)) return 0;
  return Str_CompareNoCase(host, "127.0.0.1") == 0 || Str_CompareNoCase(host, "localhost") == 0 ? 1 : 0;
}

int Url_IsSameHost(const char *a, const char *b) { return urlSameHost(a, b, 1); }

int Url_IsSameHostWithoutPort(const char *a, const char *b) { return urlSameHost(a, b, 0); }

int Url_IsDefaultPort(const char *url) {
  CHECK_POINTER(url);
  int port = 0;
  switch (urlPortText(url, &port)) {
    case UrlPortText::None: return 1;
    case UrlPortText::Invalid: return 0;
    case UrlPortText::Valid: break;
  }
  int standard = urlSchemePort(url);
  return standard > 0 && standard == port ? 1 : 0;
}

// ---- Finders ---------------------------------------------------------------------

int Url_FindHost(const char *url, const char **found) {
  CHECK_POINTER(url);
  CHECK_POINTER(found);
  const char *start = nullptr;
  const char *at = nullptr;
  *found = urlUserInfo(url, &start, &at) ? at + 1 : urlAuthority(url);
  return urlAfterScheme(url) ? 1 : 0;
}

int Url_FindPath(const char *url, const char **found) {
  CHECK_POINTER(url);
  CHECK_POINTER(found);
  const char *host = nullptr;
  Url_FindHost(url, &host);
  const char *p = urlHostEnd(host);
  if (!urlIsSeparator(*p)) {
    *found = kUrlRootPath;
    return 0;
  }
  // A drive path ("file:///C:/dir") starts at its letter; only file URLs
  // have drives: "http://h/c:/x" is the path "/c:/x".
  if (urlIsLetter(p[1]) && p[2] == ':' && Url_HasScheme(url, "file")) p++;
  *found = p;
  return 1;
}

int Url_FindQuery(const char *url, const char **found) {
  CHECK_POINTER(url);
  CHECK_POINTER(found);
  const char *path = nullptr;
  const char *q = nullptr;
  if (Url_FindPath(url, &path)) q = strchr(path, '?');
  if (q == nullptr) q = strchr(url, '?');
  *found = q ? q : kUrlEmpty;
  return q ? 1 : 0;
}

int Url_FindFragment(const char *url, const char **found) {
  CHECK_POINTER(url);
  CHECK_POINTER(found);
  const char *f = strrchr(url, '#');
  *found = f ? f : kUrlEmpty;
  return f ? 1 : 0;
}

int Url_FindFilename(const char *url, const char **found) {
  CHECK_POINTER(url);
  CHECK_POINTER(found);
  *found = kUrlEmpty;
  const char *path = nullptr;
  if (!Url_FindPath(url, &path)) return 0;
  const char *end = urlFirstOf(path, "?#");
  const char *segment = end;
  while (segment > path && !urlIsSeparator(segment[-1])) segment--;
  if (segment == end) return 0;
  *found = segment;
  return 1;
}

int Url_FindDomain(const char *url, const char **found) {
  CHECK_POINTER(url);
  CHECK_POINTER(found);
  const char *host = nullptr;
  Url_FindHost(url, &host);
  const char *end = urlFirstOf(host, ":/\\?#");
  int dots = 0;
  const char *p = end;
  while (p > host) {
    if (p[-1] == '.' && ++dots == 2) break;
    p--;
  }
  *found = p;
  return 1;
}

// ---- Getters ---------------------------------------------------------------------

int Url_GetScheme(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  const char *after = urlAfterScheme(url);
  if (after == nullptr) return urlEmpty(out, size);
  urlCopy(out, size, url, size_t(after - 3 - url));
  return 1;
}

int Url_GetUsername(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  const char *start = nullptr;
  const char *at = nullptr;
  if (!urlUserInfo(url, &start, &at)) return urlEmpty(out, size);
  urlCopy(out, size, start, size_t(urlFirstOf(start, ":@/") - start));
  return 1;
}

int Url_GetPassword(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  const char *start = nullptr;
  const char *at = nullptr;
  if (!urlUserInfo(url, &start, &at)) return urlEmpty(out, size);
  const char *colon = urlFirstOf(start, ":@/");
  if (*colon != ':') return urlEmpty(out, size);
  urlCopy(out, size, colon + 1, size_t(at - colon - 1));
  return 1;
}

int Url_GetHost(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  const char *host = nullptr;
  Url_FindHost(url, &host);
  size_t length = size_t(urlHostEnd(host) - host);
  urlCopy(out, size, host, length);
  return length > 0 ? 1 : 0;
}

int Url_GetHostWithoutPort(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  const char *host = nullptr;
  Url_FindHost(url, &host);
  size_t length = size_t(urlFirstOf(host, ":/\\?#") - host);
  urlCopy(out, size, host, length);
  return length > 0 ? 1 : 0;
}

int Url_GetHostWithPort(const char *url, char *out, int size) {
  if (!Url_GetHostWithoutPort(url, out, size)) return 0;
  int port = 0;
  if (Url_GetPort(url, &port)) Str_AppendPrintf(out, size, ":%d", port);
  return 1;
}

int Url_GetExplicitPort(const char *url, int *port) {
  CHECK_POINTER(url);
  CHECK_POINTER(port);
  return urlPortText(url, port) == UrlPortText::Valid ? 1 : 0;
}

int Url_GetPort(const char *url, int *port) {
  CHECK_POINTER(url);
  CHECK_POINTER(port);
  UrlPortText text = urlPortText(url, port);
  if (text == UrlPortText::Invalid) return 0;
  if (text == UrlPortText::None) *port = urlSchemePort(url);
  return *port > 0 ? 1 : 0;
}

int Url_GetDomain(const char *url, char *out, int size) {
  CHECK_POINTER(out);
  const char *domain = nullptr;
  Url_FindDomain(url, &domain);
  size_t length = size_t(urlFirstOf(domain, ":/\\?#") - domain);
  urlCopy(out, size, domain, length);
  return length > 0 ? 1 : 0;
}

int Url_GetPath(const char *url, char *out, int size) {
  CHECK_POINTER(out);
  const char *path = nullptr;
  int found = Url_FindPath(url, &path);
  urlCopy(out, size, path, size_t(urlFirstOf(path, "?#") - path));
  return found;
}

int Url_GetPathWithoutFilename(const char *url, char *out, int size) {
  int found = Url_GetPath(url, out, size);
  char *last = nullptr;
  for (char *p = out; *p; p++)
    if (urlIsSeparator(*p)) last = p;
  if (last) last[1] = '\0';
  return found;
}

int Url_GetFilename(const char *url, char *out, int size) {
  CHECK_POINTER(out);
  const char *name = nullptr;
  if (!Url_FindFilename(url, &name)) return urlEmpty(out, size);
  urlCopy(out, size, name, size_t(urlFirstOf(name, "?#") - name));
  return 1;
}

int Url_GetQuery(const char *url, char *out, int size) {
  CHECK_POINTER(out);
  const char *q = nullptr;
  if (!Url_FindQuery(url, &q)) return urlEmpty(out, size);
  const char *f = strrchr(q, '#');
  urlCopy(out, size, q, f ? size_t(f - q) : strlen(q));
  return 1;
}

int Url_GetLoggable(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  const char *authority = urlAuthority(url);
  const char *host = authority;
  const char *hostEnd = urlHostEnd(authority);
  for (const char *p = authority; p < hostEnd; p++)
    if (*p == '@') host = p + 1;
  const char *end = urlFirstOf(host, "?#");
  if (size <= 0) return 1;
  Str_Printf(out, size, "%.*s%.*s", int(authority - url), url, int(end - host), host);
  return 1;
}

int Url_DefaultPort(const char *scheme) {
  CHECK_POINTER(scheme);
  for (const UrlPortRow &row : kUrlPorts)
    if (Str_CompareNoCase(row.scheme, scheme) == 0) return row.port;
  return 0;
}

const char *Url_DefaultScheme(int port) {
  for (const UrlPortRow &row : kUrlPorts)
    if (row.port == port) return row.scheme;
  return kUrlPorts[0].scheme;
}

// ---- Editors ---------------------------------------------------------------------

int Url_RemoveFragment(char *url) {
  CHECK_POINTER(url);
  char *f = strrchr(url, '#');
  if (f == nullptr) return 0;
  *f = '\0';
  return 1;
}

int Url_RemoveQuery(char *url) {
  const char *found = nullptr;
  if (!Url_FindQuery(url, &found)) return 0;
  char *q = url + (found - url);
  char *f = strrchr(q, '#');
  if (f)
    memmove(q, f, strlen(f) + 1);
  else
    *q = '\0';
  return 1;
}

int Url_RemoveFilename(char *url) {
  const char *found = nullptr;
  if (!Url_FindFilename(url, &found)) return 0;
  char *segment = url + (found - url);
  const char *end = urlFirstOf(segment, "?#");
  memmove(segment, end, strlen(end) + 1);
  return 1;
}

int Url_RemoveDotSegments(char *url, int size) {
  CHECK_POINTER(url);
  (void)size;  // the path only shrinks
  const char *found = nullptr;
  if (!Url_FindPath(url, &found)) return 0;
  char *start = urlPathRoot(url + (found - url));
  char *end = start + strcspn(start, "?#");
  char *w = start;
  const char *r = start;
  while (r < end) {
    // One segment: its separator (none only at a root without one), its text
    // up to a ';' (a path parameter, dropped) and the segment's end.
    const char *separator = urlIsSeparator(*r) ? r : nullptr;
    const char *text = separator ? r + 1 : r;
    const char *segmentEnd = text;
    while (segmentEnd < end && !urlIsSeparator(*segmentEnd)) segmentEnd++;
    const char *textEnd = static_cast<const char *>(memchr(text, ';', size_t(segmentEnd - text)));
    if (textEnd == nullptr) textEnd = segmentEnd;
    size_t length = size_t(textEnd - text);
    bool followed = segmentEnd < end;  // by a separator; a trailing "." or ".." stays
    bool dot = length == 1 && text[0] == '.';
    bool dotDot = length == 2 && text[0] == '.' && text[1] == '.';
    if (followed && dot) {
      r = segmentEnd;
      continue;
    }
    if (followed && dotDot) {
      // Back to the separator that begins the last segment written; the
      // separator behind ".." is written again by the next step.
      while (w > start && !urlIsSeparator(w[-1])) w--;
      if (w > start) w--;
      r = segmentEnd;
      continue;
    }
    if (separator) *w++ = *separator;
    memmove(w, text, length);
    w += length;
    r = segmentEnd;
  }
  memmove(w, end, strlen(end) + 1);
  return 1;
}

// ---- Whole URLs ------------------------------------------------------------------

namespace {

// Url_Normalize but for its dot segments: a relative reference keeps them
// until it has been put behind its base.
int urlNormalizeText(const char *url, char *out, int size) {
  if (size < 1) return 0;
  const char *begin = url;
  const char *finish = url + strlen(url);
  while (begin < finish && (*begin == '\r' || *begin == '\n')) begin++;
  while (finish > begin && (finish[-1] == '\r' || finish[-1] == '\n')) finish--;
  const bool isFile = Url_HasScheme(begin, "file");
  bool convert = !isFile;
  bool seenColon = false;
  bool seenQuestion = false;
  char last = '\0';
  int at = 0;
  for (const char *p = begin; p < finish; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (isFile && seenColon && !seenQuestion && !urlIsSeparator(char(c))) convert = true;
    if (c <= ' ' || c == 0x7F) {
      // A space or a control byte would end or split the request line.
      if (!urlWriteEscape(out, size, &at, c)) {
        out[at] = '\0';
        return 0;
      }
      last = out[at - 1];
      continue;
    }
    if (convert && c == '\\') {
      if (last == '/') continue;
      c = '/';
    } else if (convert && c == '/' && last != ':' && p + 1 < finish && urlIsSeparator(p[1])) {
      p++;
    }
    if (at + 2 > size) {
      out[at] = '\0';
      return 0;
    }
    out[at++] = char(c);
    last = char(c);
    if (c == ':') seenColon = true;
    if (c == '?') {
      seenQuestion = true;
      convert = false;
    }
  }
  out[at] = '\0';
  return 1;
}

}  // namespace

int Url_Normalize(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  if (!urlNormalizeText(url, out, size)) return 0;
  Url_RemoveDotSegments(out, size);
  return 1;
}

int Url_Fix(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  const char *begin = url;
  const char *end = url + strlen(url);
  urlTrim(&begin, &end);
  size_t length = size_t(end - begin);
  if (length == 0 || Str_StartsWithNoCase(begin, "javascript:") || Str_StartsWithNoCase(begin, "mailto:"))
    return urlEmpty(out, size);
  char work[kUrlWorkBytes];
  if (!urlCopy(work, sizeof work, begin, length)) return urlEmpty(out, size);
  if (urlAfterScheme(work) == nullptr) {
    int port = 0;
    if (!Url_GetPort(work, &port)) port = 80;
    const char *scheme = Url_DefaultScheme(port);
    if (scheme[0] == '\0') scheme = "http";  // a port the table lacks
    char prefix[kUrlSchemeBytes];
    int prefixLength = Str_Printf(prefix, sizeof prefix, "%s://", scheme);
    if (length + size_t(prefixLength) >= sizeof work) return urlEmpty(out, size);
    memmove(work + prefixLength, work, length + 1);
    memcpy(work, prefix, size_t(prefixLength));
  }
  int limit = size < kUrlWorkBytes ? size : kUrlWorkBytes;
  if (!Url_Normalize(work, out, limit) || out[0] == '\0') return urlEmpty(out, size);
  return 1;
}

namespace {

// The work texts of a join: base, reference, merged query, fragment.
struct UrlJoinWork {
  char base[kUrlWorkBytes];
  char reference[kUrlWorkBytes];
  char query[kUrlWorkBytes];
  char fragment[kUrlWorkBytes];
};

struct UrlJoinBlock {
  UrlJoinWork *work = static_cast<UrlJoinWork *>(MEM_ALLOC(sizeof(UrlJoinWork), MEM_ZEROED));
  ~UrlJoinBlock() { MEM_FREE(work, sizeof(UrlJoinWork)); }
};

// "//host/path": the base's scheme and the reference's own authority,
// path, query and fragment.
int urlJoinNetworkPath(const char *base, const char *reference, char *out, int size) {
  char text[kUrlWorkBytes];
  char scheme[kUrlSchemeBytes];
  if (!Url_GetScheme(base, scheme, sizeof scheme)) return urlEmpty(out, size);
  while (urlIsSeparator(*reference)) reference++;
  if (strlen(scheme) + 3 + strlen(reference) >= sizeof text) return urlEmpty(out, size);
  Str_Printf(text, sizeof text, "%s://%s", scheme, reference);
  if (!Url_Normalize(text, out, size)) return urlEmpty(out, size);
  return 1;
}

// Moves the query of text (without its leading '?'s and fragment) behind the
// query already collected, joined by '&'. The text keeps neither.
int urlJoinTakeQuery(char *text, char *query, int requireText) {
  const char *q = nullptr;
  int ok = 1;
  if (Url_FindQuery(text, &q)) {
    while (*q == '?') q++;
    if (!requireText || (*q != '\0' && *q != '#')) {
      const char *f = strrchr(q, '#');
      size_t length = f ? size_t(f - q) : strlen(q);
      if (query[0] != '\0' && length > 0) ok = urlAppend(query, kUrlWorkBytes, "&", 1);
      ok = ok && urlAppend(query, kUrlWorkBytes, q, length);
    }
  }
  Url_RemoveQuery(text);
  Url_RemoveFragment(text);
  return ok;
}

// A path ending in "." or ".." names a directory: the '/' behind it lets the
// dot-segment removal take it as it takes "./" and "../".
int urlJoinCloseDotSegment(char *text) {
  const char *path = nullptr;
  if (!Url_FindPath(text, &path)) return 1;
  size_t length = strlen(path);
  const char *last = path + length;
  while (last > path && !urlIsSeparator(last[-1])) last--;
  size_t segment = size_t(path + length - last);
  bool dots = (segment == 1 && last[0] == '.') || (segment == 2 && last[0] == '.' && last[1] == '.');
  return dots ? urlAppend(text, kUrlWorkBytes, "/", 1) : 1;
}

}  // namespace

int Url_Join(const char *base, const char *reference, char *out, int size) {
  CHECK_POINTER(base);
  CHECK_POINTER(reference);
  CHECK_POINTER(out);
  UrlJoinBlock block;
  UrlJoinWork &w = *block.work;
  if (!Url_Fix(base, w.base, kUrlWorkBytes)) return urlEmpty(out, size);
  if (!Url_Normalize(reference, w.reference, kUrlWorkBytes)) return urlEmpty(out, size);
  if (urlAfterScheme(w.reference)) return urlCopy(out, size, w.reference, strlen(w.reference)) ? 1 : urlEmpty(out, size);
  // A relative reference's ".." climbs the base's path, never its own first
  // segment taken for a host.
  if (!urlNormalizeText(reference, w.reference, kUrlWorkBytes)) return urlEmpty(out, size);
  const char *raw = reference + strspn(reference, "\r\n");
  if (urlIsSeparator(raw[0]) && urlIsSeparator(raw[1])) return urlJoinNetworkPath(w.base, raw, out, size);

  const char *fragment = nullptr;
  if (!Url_FindFragment(w.reference, &fragment)) Url_FindFragment(w.base, &fragment);
  Str_Copy(w.fragment, fragment, kUrlWorkBytes);
  if (!urlJoinTakeQuery(w.base, w.query, 0) || !urlJoinTakeQuery(w.reference, w.query, 1))
    return urlEmpty(out, size);

  const char *path = nullptr;
  int hasPath = Url_FindPath(w.base, &path);
  if (urlIsSeparator(w.reference[0])) {
    if (hasPath) {
      // A drive path begins at its letter; cut before its separator.
      size_t at = size_t(path - w.base);
      if (!urlIsSeparator(*path)) at--;
      w.base[at] = '\0';
    }
  } else if (w.reference[0] != '\0') {
    if (hasPath)
      Url_RemoveFilename(w.base);
    else if (!urlAppend(w.base, kUrlWorkBytes, "/", 1))
      return urlEmpty(out, size);
  }
  if (!urlAppend(w.base, kUrlWorkBytes, w.reference, strlen(w.reference))) return urlEmpty(out, size);
  if (!urlJoinCloseDotSegment(w.base)) return urlEmpty(out, size);
  if (w.query[0] != '\0' && !Url_MergeQueryInto(w.base, kUrlWorkBytes, w.query)) return urlEmpty(out, size);
  if (!urlAppend(w.base, kUrlWorkBytes, w.fragment, strlen(w.fragment))) return urlEmpty(out, size);
  return Url_Fix(w.base, out, size);
}

int Url_Encode(const char *text, int length, char *out, int size, const char *safe) {
  CHECK_POINTER(text);
  CHECK_POINTER(out);
  if (size < 1) return 0;
  if (safe == nullptr) safe = kUrlEncodeSafe;
  int at = 0;
  int whole = 1;
  for (int k = 0; k < length; k++) {
    unsigned char c = static_cast<unsigned char>(text[k]);
    bool keep = (c < 0x80 && (urlIsLetter(char(c)) || urlIsDigit(char(c)))) || (c != 0 && strchr(safe, c));
    if (keep && at + 2 <= size) {
      out[at++] = char(c);
    } else if (keep || !urlWriteEscape(out, size, &at, c)) {
      whole = 0;
      break;
    }
  }
  out[at] = '\0';
  return whole;
}

int Url_DecodeN(const char *text, int length, char *out, int size, int *written) {
  CHECK_POINTER(text);
  CHECK_POINTER(out);
  int at = 0;
  int whole = size > 0 ? 1 : 0;
  for (int k = 0; k < length && whole; k++) {
    if (at + 2 > size) {
      whole = 0;
      break;
    }
    int high = -1;
    int low = -1;
    if (text[k] == '%' && k + 2 < length) {
      high = urlHexValue(text[k + 1]);
      low = urlHexValue(text[k + 2]);
    }
    if (high >= 0 && low >= 0) {
      out[at++] = char(high * 16 + low);
      k += 2;
    } else {
      out[at++] = text[k];
    }
  }
  if (size > 0) out[at] = '\0';
  if (written) *written = at;
  return whole;
}

int Url_Decode(const char *text, char *out, int size) {
  CHECK_POINTER(text);
  return Url_DecodeN(text, int(strlen(text)), out, size, nullptr);
}

// ---- Queries ----------------------------------------------------------------------

int Url_ParseQuery(const char *query, void *context, UrlQueryCallback callback) {
  CHECK_POINTER(query);
  if (callback == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  char name[kUrlWorkBytes];
  char value[kUrlWorkBytes];
  const char *p = query;
  for (;;) {
    while (*p == '?' || *p == '&' || *p == ' ') p++;
    if (*p == '\0') return 1;
    const char *nameStart = p;
    p = urlFirstOf(p, "=&");
    urlCopy(name, sizeof name, nameStart, size_t(p - nameStart));
    const char *valueText = nullptr;
    if (*p == '=') {
      p += strspn(p, " =");
      const char *valueStart = p;
      p = urlFirstOf(p, "&");
      const char *valueEnd = p;
      for (const char *s = valueStart; s < p; s++)
        if (*s == '#') valueEnd = s;
      urlCopy(value, sizeof value, valueStart, size_t(valueEnd - valueStart));
      valueText = value;
    }
    if (!callback(context, name, valueText)) return 0;
  }
}

namespace {

// An own copy of text with its allocated size.
char *urlQueryCopy(const char *text, int32_t *size) {
  size_t length = strlen(text);
  *size = int32_t(length + 1);
  auto *copy = static_cast<char *>(MEM_ALLOC(*size, 0));
  memcpy(copy, text, length + 1);
  return copy;
}

void urlQueryFreeValue(UrlQueryItem *item) {
  if (item->value) MEM_FREE(item->value, item->valueSize);
  item->value = nullptr;
  item->valueSize = 0;
}

void urlQueryListDestroy(void **object) {
  auto *list = static_cast<UrlQueryList *>(*object);
  for (UrlQueryItem *item = list->head; item;) {
    UrlQueryItem *next = item->next;
    MEM_FREE(item->name, item->nameSize);
    urlQueryFreeValue(item);
    void *member = item;
    POOL_FREE(list->pool, &member, int32_t(sizeof(UrlQueryItem)));
    item = next;
  }
  Pool_Release(&list->pool);
  list->header.classTag = 0;
  list->~UrlQueryList();
  MEM_FREE(list, sizeof(UrlQueryList));
}

// Writes "?" and the list's items into out. 0 when they do not fit.
int urlQueryListWrite(const UrlQueryList *list, char *out, int size) {
  if (size < 1) return 0;
  out[0] = '\0';
  for (const UrlQueryItem *item = list->head; item; item = item->next) {
    const char *separator = item == list->head ? "?" : "&";
    if (!urlAppend(out, size, separator, 1) || !urlAppend(out, size, item->name, strlen(item->name)))
      return urlEmpty(out, size);
    if (item->value && (!urlAppend(out, size, "=", 1) || !urlAppend(out, size, item->value, strlen(item->value))))
      return urlEmpty(out, size);
  }
  return 1;
}

}  // namespace

int UrlQueryList_Create(UrlQueryList **list) {
  CHECK_POINTER(list);
  auto *created = new (MEM_ALLOC(sizeof(UrlQueryList), MEM_ZEROED)) UrlQueryList();
  created->header.classTag = kUrlQueryListTag;
  created->header.refCount.store(1, std::memory_order_relaxed);
  created->header.destroy = urlQueryListDestroy;
  Pool_Create(&created->pool, KSRC);
  Pool_SetMemberSize(created->pool, int32_t(sizeof(UrlQueryItem)));
  Pool_SetMemberChunkSize(created->pool, kUrlQueryItemsPerChunk);
  *list = created;
  return 1;
}

int UrlQueryList_Release(UrlQueryList **list) {
  CHECK_POINTER(list);
  CLASS_CHECK(*list, kUrlQueryListTag);
  Class_ReleaseObject(list);
  return 1;
}

int UrlQueryList_Set(void *context, const char *name, const char *value) {
  CLASS_CHECK(context, kUrlQueryListTag);
  CHECK_POINTER(name);
  auto *list = static_cast<UrlQueryList *>(context);
  UrlQueryItem *item = list->head;
  while (item && Str_CompareNoCase(item->name, name) != 0) item = item->next;
  if (item == nullptr) {
    item = static_cast<UrlQueryItem *>(POOL_ALLOC(list->pool, int32_t(sizeof(UrlQueryItem))));
    item->name = urlQueryCopy(name, &item->nameSize);
    item->prev = list->tail;
    if (list->tail)
      list->tail->next = item;
    else
      list->head = item;
    list->tail = item;
    list->count++;
  }
  urlQueryFreeValue(item);
  if (value) item->value = urlQueryCopy(value, &item->valueSize);
  return 1;
}

int Url_MergeQueries(const char *first, const char *second, char *out, int size) {
  CHECK_POINTER(first);
  CHECK_POINTER(second);
  CHECK_POINTER(out);
  UrlQueryList *list = nullptr;
  UrlQueryList_Create(&list);
  Url_ParseQuery(first, list, UrlQueryList_Set);
  Url_ParseQuery(second, list, UrlQueryList_Set);
  int result = urlQueryListWrite(list, out, size);
  UrlQueryList_Release(&list);
  return result;
}

int Url_MergeQueryInto(char *url, int size, const char *query) {
  CHECK_POINTER(url);
  CHECK_POINTER(query);
  UrlJoinBlock block;
  UrlJoinWork &w = *block.work;
  if (!Url_Fix(url, w.base, kUrlWorkBytes)) return 0;
  Url_GetQuery(w.base, w.reference, kUrlWorkBytes);
  Url_RemoveQuery(w.base);
  const char *fragment = nullptr;
  Url_FindFragment(w.base, &fragment);
  Str_Copy(w.fragment, fragment, kUrlWorkBytes);
  Url_RemoveFragment(w.base);
  if (!Url_MergeQueries(w.reference, query, w.query, kUrlWorkBytes)) return 0;
  // The merged query goes before the fragment, where a query belongs.
  // The parameters come from the caller: they reach the request line only
  // as fixed text does.
  if (!urlAppendEscaped(w.base, kUrlWorkBytes, w.query) ||
      !urlAppend(w.base, kUrlWorkBytes, w.fragment, strlen(w.fragment)))
    return 0;
  size_t length = strlen(w.base);
  if (length >= size_t(size)) return 0;
  memcpy(url, w.base, length + 1);
  return 1;
}

// ---- Macros -----------------------------------------------------------------------

namespace {

struct UrlQueryLookup {
  const char *name;
  char *out;
  int size;
  int found;
};

int urlQueryLookupStep(void *context, const char *name, const char *value) {
  auto *lookup = static_cast<UrlQueryLookup *>(context);
  if (Str_CompareNoCase(name, lookup->name) != 0) return 1;
  urlCopy(lookup->out, lookup->size, value ? value : "", value ? strlen(value) : 0);
  lookup->found = 1;
  return 0;
}

// Copies the rest of url from a part that a finder found; nothing when absent.
void urlCopyRest(int found, const char *rest, char *out, int size) {
  if (found) urlCopy(out, size, rest, strlen(rest));
}

// Copies url into out and edits it there.
void urlCopyEdited(const char *url, char *out, int size, int (*edit)(char *)) {
  urlCopy(out, size, url, strlen(url));
  edit(out);
}

typedef int (*UrlGetter)(const char *url, char *out, int size);

struct UrlParseItem {
  const char *name;
  UrlGetter get;
};

int urlParsePathWithQuery(const char *url, char *out, int size) {
  const char *p = kUrlEmpty;
  int found = Url_FindPath(url, &p);
  urlCopyRest(found, p, out, size);
  return 1;
}
int urlParseQueryWithFragment(const char *url, char *out, int size) {
  const char *p = kUrlEmpty;
  int found = Url_FindQuery(url, &p);
  urlCopyRest(found, p, out, size);
  return 1;
}
int urlParseFragment(const char *url, char *out, int size) {
  const char *p = kUrlEmpty;
  int found = Url_FindFragment(url, &p);
  urlCopyRest(found, p, out, size);
  return 1;
}
int urlParsePort(const char *url, char *out, int size) {
  int port = 0;
  if (Url_GetPort(url, &port)) Str_Printf(out, size, "%d", port);
  return 1;
}
int urlParseWithoutQuery(const char *url, char *out, int size) {
  urlCopyEdited(url, out, size, Url_RemoveQuery);
  return 1;
}
int urlParseWithoutFragment(const char *url, char *out, int size) {
  urlCopyEdited(url, out, size, Url_RemoveFragment);
  return 1;
}
int urlParseWithoutFilename(const char *url, char *out, int size) {
  urlCopyEdited(url, out, size, Url_RemoveFilename);
  return 1;
}

constexpr UrlParseItem kUrlParseItems[] = {
    {"protocol", Url_GetScheme},
    {"username", Url_GetUsername},
    {"password", Url_GetPassword},
    {"domain", Url_GetDomain},
    {"host", Url_GetHost},
    {"hostWithoutPort", Url_GetHostWithoutPort},
    {"path", Url_GetPath},
    {"pathWithQuery", urlParsePathWithQuery},
    {"pathWithoutFilename", Url_GetPathWithoutFilename},
    {"filename", Url_GetFilename},
    {"queryWithFragment", urlParseQueryWithFragment},
    {"query", Url_GetQuery},
    {"fragment", urlParseFragment},
    {"port", urlParsePort},
    {"urlWithoutQuery", urlParseWithoutQuery},
    {"urlWithoutFragment", urlParseWithoutFragment},
    {"urlWithoutFilename", urlParseWithoutFilename},
};

void urlMacroParse(char *argument, char *out, int size) {
  char *comma = strchr(argument, ',');
  if (comma == nullptr) return;
  *comma = '\0';
  const char *item = argument;
  const char *url = comma + 1;
  if (Str_StartsWithNoCase(item, "query=")) {
    const char *q = nullptr;
    Url_FindQuery(url, &q);
    UrlQueryLookup lookup{item + 6, out, size, 0};
    Url_ParseQuery(q, &lookup, urlQueryLookupStep);
    return;
  }
  for (const UrlParseItem &row : kUrlParseItems) {
    if (Str_CompareNoCase(item, row.name) != 0) continue;
    // An absent part writes nothing, whatever the getter left in out.
    if (!row.get(url, out, size)) out[0] = '\0';
    return;
  }
}

}  // namespace

int Url_MacroHandler(const char *name, char *argument, char *out, int outSize) {
  CHECK_POINTER(name);
  CHECK_POINTER(argument);
  CHECK_POINTER(out);
  if (outSize < 1) return 0;
  auto is = [name](const char *known) { return Str_CompareNoCase(name, known) == 0; };
  out[0] = '\0';
  if (is("UrlParse")) {
    urlMacroParse(argument, out, outSize);
  } else if (is("UrlDecode")) {
    Url_Decode(argument, out, outSize);
  } else if (is("UrlEncode")) {
    Url_Encode(argument, int(strlen(argument)), out, outSize, kUrlEncodeSafe);
  } else if (is("UrlQueryEncode")) {
    Url_Encode(argument, int(strlen(argument)), out, outSize, kUrlQueryEncodeSafe);
  } else if (is("UrlFix")) {
    Url_Fix(argument, out, outSize);
  } else if (is("UrlJoin")) {
    char *comma = strchr(argument, ',');
    if (comma) {
      *comma = '\0';
      Url_Join(argument, comma + 1, out, outSize);
    }
  } else {
    return 0;
  }
  return 1;
}
