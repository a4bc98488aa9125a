// Paths; see path.h.
#include "core/platform/path.h"

#include <cstring>

#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/str.h"

namespace {

constexpr char kPathUrlScheme[] = "file://";
constexpr int kPathUrlSchemeChars = 7;
constexpr char kPathLocalHost[] = "localhost";
constexpr int kPathLocalHostChars = 9;

inline bool pathIsSeparator(char c) { return c == '/' || c == '\\'; }

inline bool pathIsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A drive: a letter and ':' at the start of the text.
inline bool pathHasDrive(const char *path) { return pathIsLetter(path[0]) && path[1] == ':'; }

// Fails an operation over a result that does not fit: the output is left
// empty rather than holding part of a path, which would name another file.
int pathTooLong(char *out, int size) {
  if (size > 0) out[0] = '\0';
  Platform_SetLastError(kPlatformErrorNameTooLong);
  return 0;
}

// Copies length bytes of text and a terminator into out. 1, or 0 (206).
int pathCopy(char *out, int size, const char *text, size_t length) {
  if (size < 1 || length >= size_t(size)) return pathTooLong(out, size);
  memmove(out, text, length);
  out[length] = '\0';
  return 1;
}

// The length of the root that Path_Normalize keeps: the "\\\\.\\" or "\\\\"
// prefix, a separator, or a drive with its separator. 0 for a relative
// path; *isPrefix tells the prefixes, which are kept as written. A bare
// drive ("D:x") is an ordinary name here: read as a root, "D:./" would
// become the root "D:/" on a second pass.
size_t pathRootLength(const char *path, bool *isPrefix) {
  *isPrefix = false;
  if (path[0] == '\\' && path[1] == '\\') {
    *isPrefix = true;
    return path[2] == '.' && path[3] == '\\' ? 4 : 2;
  }
  if (pathIsSeparator(path[0])) return 1;
  if (pathHasDrive(path) && pathIsSeparator(path[2])) return 3;
  return 0;
}

// The start of the last component of [path, path + length).
size_t pathFileNameStart(const char *path, size_t length) {
  size_t start = length;
  while (start > 0 && !pathIsSeparator(path[start - 1])) start--;
  if (start == 0 && length >= 2 && pathHasDrive(path)) start = 2;
  return start;
}

// The extension's dot within the last component, or length when there is
// none.
size_t pathExtensionDot(const char *path, size_t length) {
  size_t start = pathFileNameStart(path, length);
  for (size_t i = length; i > start; i--)
    if (path[i - 1] == '.') return i - 1;
  return length;
}

// ---- Normalising ----------------------------------------------------------

struct PathNormalizer {
  char *text;
  size_t length;   // of the input
  size_t read;     // next input byte
  size_t write;    // next output byte; never passes read (see below)
  size_t root;     // output bytes of the root
  size_t floor;    // output before this are kept ".." components
  bool rooted;
  bool trailing;   // the input ended in a separator, "." or ".."
  int flags;
};

// Appends one component. The output is the root followed by components
// joined by '/'. A '/' is written only after an earlier component, and at
// least one separator was read between the two, so write stays at or
// behind the component being read and memmove is safe.
void pathAppend(PathNormalizer *n, size_t start, size_t count) {
  if (n->write > n->root) n->text[n->write++] = '/';
  memmove(n->text + n->write, n->text + start, count);
  n->write += count;
}

// Removes the last component written (back to the '/' before it, or to the
// floor). 0 when there is none to remove.
bool pathPop(PathNormalizer *n) {
  if (n->write <= n->floor) return false;
  size_t at = n->write;
  while (at > n->floor && n->text[at - 1] != '/') at--;
  // at is the floor (the first component after it goes) or just behind the
  // '/' before the last component, which goes too; the root lies below the
  // floor and is never reached.
  n->write = at > n->floor ? at - 1 : n->floor;
  return true;
}

// Returns true when the ".." was kept as a component of the result.
bool pathDotDot(PathNormalizer *n) {
  if (pathPop(n)) return false;
  // Nothing left to remove: a root is never climbed over; a relative path
  // keeps the ".." only when asked, so a name joined to a directory cannot
  // leave it.
  if (n->rooted || !(n->flags & kPathKeepLeadingDots)) return false;
  pathAppend(n, n->read - 2, 2);
  n->floor = n->write;
  return true;
}

void pathComponents(PathNormalizer *n) {
  char *t = n->text;
  while (n->read < n->length) {
    bool sawSeparator = false;
    while (n->read < n->length && pathIsSeparator(t[n->read])) {
      n->read++;
      sawSeparator = true;
    }
    if (n->read >= n->length) {
      if (sawSeparator) n->trailing = true;
      return;
    }
    size_t start = n->read;
    while (n->read < n->length && !pathIsSeparator(t[n->read])) n->read++;
    size_t count = n->read - start;
    bool last = n->read >= n->length;
    bool separatorBefore = start > 0 && pathIsSeparator(t[start - 1]);
    if (n->flags & kPathKeepDots) {
      pathAppend(n, start, count);
      continue;
    }
    if (count == 1 && t[start] == '.' && (separatorBefore || !last)) {
      if (last) n->trailing = true;
      continue;
    }
    if (count == 2 && t[start] == '.' && t[start + 1] == '.') {
      // A removed ".." leaves the separator before it (a kept one is a
      // component like any other, and no separator was read after it).
      if (!pathDotDot(n) && last) n->trailing = true;
      continue;
    }
    pathAppend(n, start, count);
  }
}

}  // namespace

int Path_Normalize(char *path, int size, int flags) {
  CHECK_POINTER(path);
  if (size < 1) return 0;
  size_t length = strnlen(path, size_t(size));
  if (length == size_t(size)) return pathTooLong(path, size);
  if (length == 0) return 1;

  PathNormalizer n = {path, length, 0, 0, 0, 0, false, false, flags};
  bool isPrefix;
  n.root = pathRootLength(path, &isPrefix);
  n.rooted = n.root > 0;
  if (!isPrefix)
    for (size_t i = 0; i < n.root; i++)
      if (pathIsSeparator(path[i])) path[i] = '/';
  n.read = n.write = n.floor = n.root;
  pathComponents(&n);
  if (n.trailing && n.write > n.root) path[n.write++] = '/';
  path[n.write] = '\0';

  if (flags & kPathEnsureTrailing) {
    if (n.write == 0) {
      if (size < 3) return pathTooLong(path, size);
      memcpy(path, "./", 3);
    } else if (!pathIsSeparator(path[n.write - 1])) {
      if (n.write + 2 > size_t(size)) return pathTooLong(path, size);
      path[n.write++] = '/';
      path[n.write] = '\0';
    }
  } else if ((flags & kPathRemoveTrailing) && n.write > n.root && path[n.write - 1] == '/') {
    path[n.write - 1] = '\0';
  }
  return 1;
}

int Path_Fix(char *path, int size, int keepTrailing) {
  return Path_Normalize(path, size, keepTrailing == 1 ? kPathEnsureTrailing : kPathRemoveTrailing);
}

namespace {

// "~" replaced, then normalised with flags; trailing decides whether a
// trailing separator is kept (flag 0x2) or dropped (0x1).
int pathResolve(const char *path, char *out, int size, int flags, bool trailingFlags) {
  CHECK_POINTER(path);
  CHECK_POINTER(out);
  if (size < 1) return pathTooLong(out, size);
  const char *rest = path;   // copied behind the home directory
  const char *after = path;  // its end decides the trailing separator
  char home[kPathMax] = "";
  if (path[0] == '~' && (path[1] == '\0' || pathIsSeparator(path[1]))) {
    if (!Platform_GetPath(kPathUserHome, home, sizeof home)) {
      out[0] = '\0';
      return 0;
    }
    after = path + 1;
    rest = path[1] ? path + 2 : path + 1;
  }
  size_t afterLength = strlen(after);
  int keepTrailing = afterLength > 0 && pathIsSeparator(after[afterLength - 1]) ? 1 : 0;
  size_t homeLength = strlen(home), restLength = strlen(rest);
  if (homeLength + restLength >= size_t(size)) return pathTooLong(out, size);
  memmove(out + homeLength, rest, restLength + 1);  // out may be path itself
  memcpy(out, home, homeLength);
  if (trailingFlags) flags |= keepTrailing == 1 ? kPathEnsureTrailing : kPathRemoveTrailing;
  if (!Path_Normalize(out, size, flags)) return pathTooLong(out, size);
  return 1;
}

}  // namespace

int Path_Resolve(const char *path, char *out, int size) {
  return pathResolve(path, out, size, 0, true);
}

int Path_ResolveAsGiven(const char *path, char *out, int size) {
  return pathResolve(path, out, size, kPathKeepDots, false);
}

int Path_Equal(const char *a, const char *b, int ignoreCase) {
  CHECK_POINTER(a);
  CHECK_POINTER(b);
  for (;; a++, b++) {
    char x = *a, y = *b;
    if (pathIsSeparator(x) && pathIsSeparator(y)) continue;
    if (ignoreCase == 1) {
      if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
      if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    }
    if (x != y) return 0;
    if (x == '\0') return 1;
  }
}

// ---- Pieces -------------------------------------------------------------------------

int Path_GetDirectory(const char *path, char *out, int size) {
  CHECK_POINTER(path);
  CHECK_POINTER(out);
  return pathCopy(out, size, path, pathFileNameStart(path, strlen(path)));
}

int Path_GetFileName(const char *path, char *out, int size) {
  CHECK_POINTER(path);
  CHECK_POINTER(out);
  size_t length = strlen(path);
  size_t start = pathFileNameStart(path, length);
  return pathCopy(out, size, path + start, length - start);
}

int Path_GetFileTitle(const char *path, char *out, int size) {
  CHECK_POINTER(path);
  CHECK_POINTER(out);
  size_t length = strlen(path);
  size_t start = pathFileNameStart(path, length);
  return pathCopy(out, size, path + start, pathExtensionDot(path, length) - start);
}

int Path_GetExtension(const char *path, char *out, int size, int withDot) {
  CHECK_POINTER(path);
  CHECK_POINTER(out);
  size_t length = strlen(path);
  size_t dot = pathExtensionDot(path, length);
  if (dot < length && withDot != 1) dot++;
  return pathCopy(out, size, path + dot, length - dot);
}

const char *Path_FindFileName(const char *path) {
  CHECK_POINTER(path);
  return path + pathFileNameStart(path, strlen(path));
}
char *Path_FindFileName(char *path) {
  return const_cast<char *>(Path_FindFileName(static_cast<const char *>(path)));
}

const char *Path_FindExtension(const char *path) {
  CHECK_POINTER(path);
  size_t length = strlen(path);
  size_t dot = pathExtensionDot(path, length);
  return dot < length ? path + dot : nullptr;
}
char *Path_FindExtension(char *path) {
  return const_cast<char *>(Path_FindExtension(static_cast<const char *>(path)));
}

void Path_RemoveExtension(char *path) {
  if (char *dot = Path_FindExtension(path)) *dot = '\0';
}

void Path_RemoveFileName(char *path) { *Path_FindFileName(path) = '\0'; }

// ---- URLs -----------------------------------------------------------------------------

namespace {

bool pathUrlSafe(unsigned char c) {
  return pathIsLetter(char(c)) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
         c == '~' || c == '/' || c == ':';
}

int pathHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int pathBadUrl(char *out, int size) {
  if (size > 0) out[0] = '\0';
  Platform_SetLastError(kPlatformErrorInvalidParameter);
  return 0;
}

}  // namespace

int Path_ToUrl(const char *path, char *out, int size) {
  CHECK_POINTER(path);
  CHECK_POINTER(out);
  static const char kHex[] = "0123456789ABCDEF";
  const char *prefix = pathIsSeparator(path[0]) ? kPathUrlScheme : "file:///";
  size_t at = strlen(prefix);
  if (size < 1 || at >= size_t(size)) return pathTooLong(out, size);
  memcpy(out, prefix, at);
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(path); *p; p++) {
    unsigned char c = *p == '\\' ? '/' : *p;
    size_t need = pathUrlSafe(c) ? 1 : 3;
    if (at + need >= size_t(size)) return pathTooLong(out, size);
    if (need == 1) {
      out[at++] = char(c);
    } else {
      out[at++] = '%';
      out[at++] = kHex[c >> 4];
      out[at++] = kHex[c & 15];
    }
  }
  out[at] = '\0';
  return 1;
}

int Path_FromUrl(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  if (size < 1) return pathTooLong(out, size);
  if (!Str_EqualNoCaseN(url, kPathUrlScheme, kPathUrlSchemeChars)) return pathBadUrl(out, size);
  const char *p = url + kPathUrlSchemeChars;
  // Only this machine's files: no host, or "localhost".
  if (Str_EqualNoCaseN(p, kPathLocalHost, kPathLocalHostChars) &&
      (p[kPathLocalHostChars] == '/' || p[kPathLocalHostChars] == '\0'))
    p += kPathLocalHostChars;
  if (*p != '/') return pathBadUrl(out, size);
  size_t at = 0;
  for (; *p; p++) {
    char c = *p;
    if (c == '%') {
      int high = pathHexValue(p[1]);
      int low = high < 0 ? -1 : pathHexValue(p[2]);
      // "%00" would end the path early and name another file.
      if (low < 0 || (high == 0 && low == 0)) return pathBadUrl(out, size);
      c = char(high * 16 + low);
      p += 2;
    }
    if (at + 1 >= size_t(size)) return pathTooLong(out, size);
    out[at++] = c;
  }
  out[at] = '\0';
  // "/D:/x" is the drive path "D:/x".
  if (pathIsLetter(out[1]) && out[2] == ':' && (pathIsSeparator(out[3]) || out[3] == '\0'))
    memmove(out, out + 1, at);
  return 1;
}

// ---- Disk -------------------------------------------------------------------------------

namespace {

// The resolved, normalised form of a caller's path for a disk question.
bool pathForDisk(const char *path, char *work) {
  return Path_ResolveAsGiven(path, work, kPathMax) &&
         Path_Normalize(work, kPathMax, kPathKeepDots | kPathRemoveTrailing);
}

}  // namespace

int Path_Stat(const char *path, PlatformFileStatus *status) {
  CHECK_POINTER(path);
  CHECK_POINTER(status);
  memset(status, 0, sizeof *status);
  char work[kPathMax];
  if (!pathForDisk(path, work)) return 0;
  return Platform_Stat(work, status);
}

int Path_Exists(const char *path) {
  PlatformFileStatus status;
  return Path_Stat(path, &status);
}

int Path_IsDirectory(const char *path) {
  PlatformFileStatus status;
  if (!Path_Stat(path, &status)) return 0;
  return (status.mode & 0xF000) == 0x4000 ? 1 : 0;
}

namespace {

// One level: mkdir, where "exists already" is success when what exists is a
// directory (another creator won the race).
int pathCreateLevel(const char *level, int *error) {
  if (Platform_CreateDirectory(level)) {
    *error = 0;
    return 1;
  }
  *error = Platform_GetLastError();
  if (*error == kPlatformErrorAlreadyExists) {
    if (Path_IsDirectory(level)) {
      *error = 0;
      return 1;
    }
    Platform_SetLastError(kPlatformErrorAlreadyExists);
    return 0;
  }
  Log_Print(LOG_DEBUG, KSRC, 0, "Unable to create directory (%s) [LE: %d:%.8X]\n", level, *error,
            *error);
  return 0;
}

}  // namespace

int Path_CreateDirectory(const char *path, int isFilePath, int *error) {
  CHECK_POINTER(path);
  CHECK_POINTER(error);
  *error = 0;
  char pipe[kPathMax];
  if (Platform_GetPath(kPathPipePath, pipe, sizeof pipe) && Str_StartsWith(path, pipe)) return 1;
  char work[kPathMax];
  if (!Path_ResolveAsGiven(path, work, sizeof work)) {
    *error = Platform_GetLastError();
    return 0;
  }
  if (isFilePath == 1) Path_RemoveFileName(work);
  Path_Normalize(work, sizeof work, kPathKeepDots | kPathRemoveTrailing);
  size_t length = strlen(work);
  if (length == 0 || (length == 2 && pathHasDrive(work))) return 1;
  if (Path_IsDirectory(work)) return 1;

  // Walk up to the deepest level that exists, then create downwards. Not
  // recursive: a path of 4096 bytes may have 2048 levels.
  bool isPrefix;
  size_t root = pathRootLength(work, &isPrefix);
  size_t end = length;
  for (;;) {
    size_t cut = end;
    while (cut > root && work[cut - 1] != '/') cut--;
    if (cut <= root) break;  // the first level below the root (or relative)
    work[cut - 1] = '\0';
    bool exists = Path_IsDirectory(work);
    if (exists) {
      work[cut - 1] = '/';
      break;
    }
    end = cut - 1;
  }
  // work holds the first missing level; each later level follows a '\0'
  // that stands for a '/'.
  for (;;) {
    if (!pathCreateLevel(work, error)) return 0;
    size_t at = strlen(work);
    if (at >= length) return 1;
    work[at] = '/';
  }
}

// ---- Macros -------------------------------------------------------------------------------

namespace {

int pathMacroParse(char *argument, char *out, int outSize) {
  char *comma = strchr(argument, ',');
  if (comma == nullptr) return 0;
  *comma = '\0';
  const char *path = argument, *part = comma + 1;
  auto is = [part](const char *name) { return Str_CompareNoCase(part, name) == 0; };
  if (is("dir") || is("directory")) return Path_GetDirectory(path, out, outSize);
  if (is("name") || is("filename")) return Path_GetFileName(path, out, outSize);
  if (is("nameWithoutExtension") || is("filenameWithoutExtension") || is("title"))
    return Path_GetFileTitle(path, out, outSize);
  if (is("extension")) return Path_GetExtension(path, out, outSize, 0);
  if (is("extensionWithDot")) return Path_GetExtension(path, out, outSize, 1);
  *comma = ',';
  return 0;
}

int pathMacroFix(char *argument, char *out, int outSize) {
  int keepTrailing = 1;
  if (char *comma = strrchr(argument, ',')) {
    int value = 1;
    if (Str_ToBool(comma + 1, &value, 1)) {
      keepTrailing = value ? 1 : 0;
      *comma = '\0';
    }
  }
  int result = pathCopy(out, outSize, argument, strlen(argument)) && Path_Fix(out, outSize, keepTrailing);
  if (!result) out[0] = '\0';
  return result;
}

int pathMacroJoin(const char *argument, char *out, int outSize) {
  size_t at = 0;
  for (const char *piece = argument;;) {
    const char *comma = strchr(piece, ',');
    size_t count = comma ? size_t(comma - piece) : strlen(piece);
    if (at > 0 && !pathIsSeparator(out[at - 1])) {
      if (at + 1 >= size_t(outSize)) return pathTooLong(out, outSize);
      out[at++] = '/';
    }
    if (at + count >= size_t(outSize)) return pathTooLong(out, outSize);
    memcpy(out + at, piece, count);
    at += count;
    if (comma == nullptr) break;
    piece = comma + 1;
  }
  out[at] = '\0';
  int keepTrailing = at > 0 && pathIsSeparator(out[at - 1]) ? 1 : 0;
  return Path_Fix(out, outSize, keepTrailing);
}

}  // namespace

int Path_MacroHandler(const char *name, char *argument, char *out, int outSize) {
  CHECK_POINTER(name);
  CHECK_POINTER(argument);
  CHECK_POINTER(out);
  if (outSize < 1) return 0;
  auto is = [name](const char *known) { return Str_CompareNoCase(name, known) == 0; };
  if (is("PathSlash")) return pathCopy(out, outSize, kPathSeparatorText, 1);
  if (is("PathParse")) return pathMacroParse(argument, out, outSize);
  if (is("PathFix")) return pathMacroFix(argument, out, outSize);
  if (is("PathJoin")) return pathMacroJoin(argument, out, outSize);
  if (is("PathToUrl")) return Path_ToUrl(argument, out, outSize);
  if (is("PathFromUrl")) return Path_FromUrl(argument, out, outSize);
  return 0;
}
