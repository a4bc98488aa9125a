// YAML reader and writer. The reader works a line at a time: bytes come from
// a local buffer that one Read of the (buffered) input fills, a line is cut
// out of it, and the block structure is decided by the column where each
// line's content begins. Flow collections and quoted scalars may run over
// several lines; they pull further lines themselves.
#include "core/formats/yaml.h"

#include <cstring>

#include "core/runtime/bufstream.h"
#include "core/platform/file.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/nullstream.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/runtime/strw.h"

namespace {

constexpr const char *kYamlClassName = "YAML";
constexpr int32_t kYamlTraceLevel = 2;

enum YamlLevelKind : int32_t {
  kYamlLevelRoot = 0,
  kYamlLevelBlockMap = 1,
  kYamlLevelBlockSeq = 2,
  kYamlLevelFlowSeq = 3,
  kYamlLevelFlowMap = 4,
};

struct YamlLevel {
  int32_t kind;
  int32_t indent;   // column (from 0) of a block level; -1 for the root
  int32_t pending;  // root: no value yet; block map: a key awaits its value;
                    // block sequence: an entry awaits its value
  int32_t keyLength;
  Dictionary *container;  // NULL when nothing is built
  char key[kYamlMaxKeyBytes];
};

// A growable byte buffer from tracked memory; always terminated.
struct YamlBuffer {
  char *data;
  int32_t size;
  int32_t length;
};

}  // namespace

struct Yaml {
  ObjectHeader header;
  ClassLog log;
  int32_t errorCode;
  int32_t errorLine;    // where the first failure was met, from 1
  int32_t errorColumn;
  char errorText[kYamlErrorTextBytes];  // its message
  int64_t consumed;  // bytes taken from the input
  int32_t line;      // line of the current line buffer, from 1
  int32_t column;    // column of the byte being looked at, from 1
  YamlLevel levels[kYamlMaxLevels + 1];  // [0] is the root
  int32_t top;
  Dictionary *target;
  int32_t secret;   // every value a secret: the trace shows neither text nor length
  int32_t markers;  // "---" seen
  int32_t ended;    // "..." seen
  // Input.
  Stream *input;
  int32_t inputPos;
  int32_t inputLength;
  int32_t inputEnd;
  char inputBuffer[kYamlReadBufferBytes];
  YamlBuffer lineBuffer;  // the current line, without its line break
  int32_t p;              // cursor in the current line
  int32_t haveLine;
  // Scalars.
  YamlBuffer value;
  YamlBuffer keyText;
  // A block plain scalar that later lines may continue.
  int32_t plainPending;
  int32_t plainLevel;
  int32_t plainOwnerIndent;
  int32_t plainEmptyLines;
};

namespace {

// ---- Buffers -----------------------------------------------------------------

void yamlBufferFree(YamlBuffer *b) {
  if (b->data != nullptr) Mem_Free(b->data, b->size, KSRC);
  b->data = nullptr;
  b->size = 0;
  b->length = 0;
}

int yamlBufferReserve(YamlBuffer *b, int64_t extra) {
  int64_t need = int64_t(b->length) + extra + 1;
  if (need <= b->size) return 1;
  if (need > (int64_t(1) << 30)) return 0;
  int64_t size = b->size < 256 ? 256 : b->size;
  while (size < need) size *= 2;
  auto *data = static_cast<char *>(Mem_Alloc(size, 0, KSRC));
  if (b->length > 0) memcpy(data, b->data, size_t(b->length));
  if (b->data != nullptr) Mem_Free(b->data, b->size, KSRC);
  b->data = data;
  b->size = int32_t(size);
  return 1;
}

int yamlBufferAppend(YamlBuffer *b, const char *bytes, int32_t count) {
  if (!yamlBufferReserve(b, count)) return 0;
  memcpy(b->data + b->length, bytes, size_t(count));
  b->length += count;
  b->data[b->length] = 0;
  return 1;
}

int yamlBufferPut(YamlBuffer *b, char c) { return yamlBufferAppend(b, &c, 1); }

void yamlBufferClear(YamlBuffer *b) {
  b->length = 0;
  if (b->data != nullptr) b->data[0] = 0;
}

// ---- Errors and log -----------------------------------------------------------

void yamlLog(Yaml *y, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Class_LogPrint(&y->log, 0, format, args);
  va_end(args);
}

// Sets the code (the first one stays) and logs the line. Returns 0.
int yamlFail(Yaml *y, int32_t code, const char *format, ...) {
  va_list args;
  va_start(args, format);
  if (y->errorCode == 0) {
    y->errorCode = code;
    y->errorLine = y->line;
    y->errorColumn = y->p + 1;
    va_list copy;
    va_copy(copy, args);
    Str_VPrintf(y->errorText, kYamlErrorTextBytes, format, copy);
    va_end(copy);
  }
  Class_LogPrint(&y->log, 0, format, args);
  va_end(args);
  return 0;
}

int yamlFailAt(Yaml *y, int32_t code, const char *message) {
  char c = y->p < y->lineBuffer.length ? y->lineBuffer.data[y->p] : ' ';
  return yamlFail(y, code, "%s [%c @ %d:%d]", message, c, y->line, y->p + 1);
}

int yamlFailEnd(Yaml *y) {
  return yamlFail(y, kYamlErrorEndOfStream, "Unexpected end of stream [%d:%d]", y->line,
                  y->p + 1);
}

// ---- Input --------------------------------------------------------------------

// Cuts the next line out of the input. 0 at the end of the input.
int yamlReadLine(Yaml *y) {
  yamlBufferClear(&y->lineBuffer);
  y->p = 0;
  int32_t got = 0;
  for (;;) {
    if (y->inputPos == y->inputLength) {
      if (y->inputEnd) break;
      int32_t read = 0;
      if (!Stream_Read(y->input, y->inputBuffer, kYamlReadBufferBytes, &read) || read <= 0) {
        y->inputEnd = 1;
        break;
      }
      y->inputPos = 0;
      y->inputLength = read;
    }
    const char *start = y->inputBuffer + y->inputPos;
    int32_t avail = y->inputLength - y->inputPos;
    const void *lf = memchr(start, '\n', size_t(avail));
    int32_t take = lf ? int32_t(static_cast<const char *>(lf) - start) : avail;
    if (!yamlBufferAppend(&y->lineBuffer, start, take)) return 0;
    got += take;
    y->inputPos += take;
    y->consumed += take;
    if (lf) {
      y->inputPos++;
      y->consumed++;
      got++;
      break;
    }
  }
  if (got == 0) {
    y->haveLine = 0;
    return 0;
  }
  if (y->haveLine) y->line++;
  y->haveLine = 1;
  if (y->lineBuffer.length > 0 && y->lineBuffer.data[y->lineBuffer.length - 1] == '\r')
    y->lineBuffer.data[--y->lineBuffer.length] = 0;
  if (y->lineBuffer.data == nullptr) yamlBufferReserve(&y->lineBuffer, 0);
  y->lineBuffer.data[y->lineBuffer.length] = 0;
  return 1;
}

inline bool yamlBlank(char c) { return c == ' ' || c == '\t'; }

inline char yamlAt(Yaml *y, int32_t i) {
  return i < y->lineBuffer.length ? y->lineBuffer.data[i] : 0;
}

inline bool yamlAtEnd(Yaml *y) { return y->p >= y->lineBuffer.length; }

void yamlSkipBlanks(Yaml *y) {
  while (!yamlAtEnd(y) && yamlBlank(y->lineBuffer.data[y->p])) y->p++;
}

// At the end of the line or at a comment ('#' at the line start or after a
// blank).
bool yamlAtLineEnd(Yaml *y) {
  if (yamlAtEnd(y)) return true;
  return y->lineBuffer.data[y->p] == '#' && (y->p == 0 || yamlBlank(y->lineBuffer.data[y->p - 1]));
}

inline bool yamlFlowIndicator(char c) {
  return c == ',' || c == '[' || c == ']' || c == '{' || c == '}';
}

// Inside a flow collection, ':' followed by a blank, a flow indicator or the
// line's end is a value indicator; followed by anything else it is text.
bool yamlFlowColonIsText(Yaml *y, int32_t at) {
  char next = yamlAt(y, at + 1);
  return at + 1 < y->lineBuffer.length && !yamlBlank(next) && !yamlFlowIndicator(next);
}

// 1 when the byte at y->p may begin a plain scalar inside a flow collection
// (a ':' only when text follows it, as in ":x").
bool yamlFlowPlainStarts(Yaml *y) {
  char c = yamlAt(y, y->p);
  return !yamlFlowIndicator(c) && (c != ':' || yamlFlowColonIsText(y, y->p));
}

// ---- Typing -------------------------------------------------------------------

bool yamlWordIs(const char *text, int32_t length, const char *word, bool anyCase) {
  int32_t n = int32_t(strlen(word));
  if (length != n) return false;
  for (int32_t i = 0; i < n; i++) {
    char c = text[i];
    if (anyCase && c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

bool yamlIsDigit(char c) { return c >= '0' && c <= '9'; }

bool yamlIsHexDigit(char c) {
  return yamlIsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Decimal form: sign, digits with at most one '.', optional exponent.
bool yamlIsDecimal(const char *t, int32_t n) {
  int32_t i = 0;
  if (i < n && (t[i] == '+' || t[i] == '-')) i++;
  int32_t digits = 0, dots = 0;
  for (; i < n && (yamlIsDigit(t[i]) || t[i] == '.'); i++) {
    if (t[i] == '.') dots++;
    else digits++;
  }
  if (digits == 0 || dots > 1) return false;
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    i++;
    if (i < n && (t[i] == '+' || t[i] == '-')) i++;
    int32_t exponent = 0;
    for (; i < n && yamlIsDigit(t[i]); i++) exponent++;
    if (exponent == 0) return false;
  }
  return i == n;
}

// "0x" or "0o" form after an optional sign (block context). For "0o" the
// decimal text goes to out (room 24); 0 when it does not fit 64 bits.
int32_t yamlRadixNumber(const char *t, int32_t n, char *out, int32_t *outLength) {
  int32_t i = 0;
  bool negative = false;
  if (i < n && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (n - i < 3 || t[i] != '0' || (t[i + 1] != 'x' && t[i + 1] != 'o')) return 0;
  bool hex = t[i + 1] == 'x';
  i += 2;
  uint64_t value = 0;
  for (int32_t j = i; j < n; j++) {
    if (hex ? !yamlIsHexDigit(t[j]) : !(t[j] >= '0' && t[j] <= '7')) return 0;
    if (!hex) {
      if (value > (UINT64_MAX >> 3)) return 0;
      value = value * 8 + uint64_t(t[j] - '0');
    }
  }
  *outLength = -1;  // hex: the text stays as written
  if (hex) return 1;
  char digits[24];
  int32_t count = 0;
  do {
    digits[count++] = char('0' + value % 10);
    value /= 10;
  } while (value != 0);
  int32_t length = 0;
  bool zero = count == 1 && digits[0] == '0';
  if (negative && !zero) out[length++] = '-';
  while (count > 0) out[length++] = digits[--count];
  out[length] = 0;
  *outLength = length;
  return 1;
}

// ---- Building -----------------------------------------------------------------

// The key of the slot that level fills, or NULL for a keyless item.
const char *yamlSlotKey(YamlLevel *l) {
  return (l->kind == kYamlLevelBlockMap || l->kind == kYamlLevelFlowMap) ? l->key : nullptr;
}

void yamlSlotFilled(YamlLevel *l) {
  if (l->kind != kYamlLevelFlowSeq && l->kind != kYamlLevelFlowMap) l->pending = 0;
}

// Adds a scalar to the slot of the level. plain: typed, else a String.
int yamlEmitScalar(Yaml *y, int32_t level, const char *text, int32_t length, bool plain,
                   bool flow) {
  YamlLevel *l = &y->levels[level];
  yamlSlotFilled(l);
  if (l->container == nullptr) return 1;
  DictionaryType type = kDictionaryTypeString;
  char decimal[24];
  if (plain) {
    int32_t radixLength = -1;
    if (length == 0 || yamlWordIs(text, length, "null", !flow)) {
      type = kDictionaryTypeNull;
    } else if (yamlWordIs(text, length, "true", !flow) || yamlWordIs(text, length, "false", !flow)) {
      type = kDictionaryTypeBoolean;
    } else if (yamlIsDecimal(text, length)) {
      type = kDictionaryTypeFloat64;
    } else if (!flow && yamlRadixNumber(text, length, decimal, &radixLength)) {
      type = kDictionaryTypeFloat64;
      if (radixLength >= 0) {
        text = decimal;
        length = radixLength;
      }
    }
  }
  DictionaryItem *item = nullptr;
  if (!Dictionary_AddKey(l->container, yamlSlotKey(l), &item)) return 1;
  if (type == kDictionaryTypeBoolean) {
    Dictionary_SetItemType(l->container, item, type);
    Dictionary_SetItemBoolean(l->container, item, (text[0] == 't' || text[0] == 'T') ? 1 : 0);
  } else {
    Dictionary_SetItemType(l->container, item, type);
    if (type != kDictionaryTypeNull) Dictionary_SetItemText(l->container, item, text, length);
  }
  if (Class_LogEnabled(&y->log, kYamlTraceLevel) && Log_IsEnabled()) {
    char path[1024];
    int32_t used = 0;
    path[0] = 0;
    for (int32_t i = 1; i <= level; i++) {
      const char *key = yamlSlotKey(&y->levels[i]);
      if (key == nullptr) continue;
      used += Str_Printf(path + used, int(sizeof(path)) - used, "%s%s", used > 0 ? "\\" : "", key);
    }
    // As the JSON reader: values under a key naming a password, secret or
    // token, or all of a secret document's, show neither text nor length.
    const char *own = yamlSlotKey(l);
    bool secret = y->secret != 0;
    const char *found = nullptr;
    for (const char *word : {"password", "secret", "token"})
      secret = secret || (own != nullptr && Str_FindNoCase(own, word, &found) != 0);
    char shown[1024];
    if (secret || type == kDictionaryTypeNull)
      Str_Copy(shown, secret ? "***" : "", int(sizeof shown));
    else
      Log_MaskSecrets(text, length, shown, int(sizeof shown));
    int32_t size = secret ? 0 : length;
    yamlLog(y, "Path %s Type %d Buf %s BufSize %d StreamPos %lld NodePos %d NodeSize %d", path,
            type, shown, size, y->consumed, y->p, size);
  }
  return 1;
}

// Makes a new collection fill the slot of the level below and pushes its
// level. 0 when nesting would pass kYamlMaxLevels.
int yamlPush(Yaml *y, int32_t kind, int32_t indent) {
  if (y->top >= kYamlMaxLevels) {
    yamlFail(y, kYamlErrorSyntax, "Nesting deeper than %d levels [%d:%d]", kYamlMaxLevels, y->line,
             y->p + 1);
    return 0;
  }
  YamlLevel *owner = &y->levels[y->top];
  Dictionary *child = nullptr;
  bool list = kind == kYamlLevelBlockSeq || kind == kYamlLevelFlowSeq;
  if (owner->container != nullptr) {
    if (owner->kind == kYamlLevelRoot) {
      child = owner->container;
    } else if (list) {
      Dictionary_AddList(owner->container, yamlSlotKey(owner), &child, nullptr);
    } else {
      Dictionary_AddDictionary(owner->container, yamlSlotKey(owner), &child, nullptr);
    }
  }
  yamlSlotFilled(owner);
  YamlLevel *l = &y->levels[++y->top];
  l->kind = kind;
  l->indent = indent;
  l->pending = 0;
  l->keyLength = 0;
  l->key[0] = 0;
  l->container = child;
  return 1;
}

// Closes the top level; a key or entry still waiting gets Null.
void yamlPop(Yaml *y) {
  YamlLevel *l = &y->levels[y->top];
  if (l->pending && (l->kind == kYamlLevelBlockMap || l->kind == kYamlLevelBlockSeq))
    yamlEmitScalar(y, y->top, "", 0, true, false);
  y->top--;
}

int yamlSetKey(Yaml *y, YamlLevel *l, const char *key, int32_t length) {
  if (length >= kYamlMaxKeyBytes) {
    char shown[kYamlMaxKeyBytes];
    memcpy(shown, key, kYamlMaxKeyBytes - 1);
    shown[kYamlMaxKeyBytes - 1] = 0;
    return yamlFail(y, kYamlErrorSyntax, "Map key exceeded length limit [%s @ %d:%d]", shown,
                    y->line, y->p + 1);
  }
  memcpy(l->key, key, size_t(length));
  l->key[length] = 0;
  l->keyLength = length;
  return 1;
}

// ---- Scalars ------------------------------------------------------------------

int yamlReadHex(Yaml *y, int32_t digits, uint32_t *value) {
  uint32_t v = 0;
  for (int32_t i = 0; i < digits; i++) {
    char c = yamlAt(y, y->p + i);
    if (y->p + i >= y->lineBuffer.length || !yamlIsHexDigit(c))
      return yamlFail(y, kYamlErrorEscape, "Unexpected Unicode hex characters [%.4s @ %d:%d]",
                      y->lineBuffer.data + y->p, y->line, y->p + 1);
    v = v * 16 + uint32_t(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  y->p += digits;
  *value = v;
  return 1;
}

int yamlPutCodePoint(Yaml *y, YamlBuffer *out, uint32_t codePoint) {
  if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
    return yamlFail(y, kYamlErrorEscape, "Unexpected Unicode character value [\\u%0x @ %d:%d]",
                    codePoint, y->line, y->p + 1);
  char bytes[4];
  int length = 0;
  StrW_EncodeUtf8(bytes, 4, codePoint, &length);
  return yamlBufferAppend(out, bytes, length);
}

// One escape after a backslash (y->p at the escape character).
int yamlEscape(Yaml *y, YamlBuffer *out) {
  char c = yamlAt(y, y->p);
  const char *simple = nullptr;
  switch (c) {
    case '0': simple = "\0"; break;
    case 'a': simple = "\a"; break;
    case 'b': simple = "\b"; break;
    case 't': simple = "\t"; break;
    case '\t': simple = "\t"; break;
    case 'n': simple = "\n"; break;
    case 'v': simple = "\v"; break;
    case 'f': simple = "\f"; break;
    case 'r': simple = "\r"; break;
    case 'e': simple = "\x1b"; break;
    case ' ': simple = " "; break;
    case '"': simple = "\""; break;
    case '/': simple = "/"; break;
    case '\\': simple = "\\"; break;
    case 'N': simple = "\xc2\x85"; break;
    case '_': simple = "\xc2\xa0"; break;
    case 'L': simple = "\xe2\x80\xa8"; break;
    case 'P': simple = "\xe2\x80\xa9"; break;
    default: break;
  }
  if (simple != nullptr) {
    y->p++;
    return yamlBufferAppend(out, simple, c == '0' ? 1 : int32_t(strlen(simple)));
  }
  int32_t digits = c == 'x' ? 2 : c == 'u' ? 4 : c == 'U' ? 8 : 0;
  if (digits == 0)
    return yamlFail(y, kYamlErrorEscape, "Unexpected escape character in string [%c @ %d:%d]",
                    c == 0 ? ' ' : c, y->line, y->p + 1);
  y->p++;
  uint32_t codePoint = 0;
  if (!yamlReadHex(y, digits, &codePoint)) return 0;
  return yamlPutCodePoint(y, out, codePoint);
}

// Reads a quoted scalar starting at the quote into out; line breaks fold (a
// single break gives a space, each empty line a line feed). *lines tells
// whether it ran over more than one line.
int yamlReadQuoted(Yaml *y, YamlBuffer *out, bool *multiLine) {
  char quote = y->lineBuffer.data[y->p++];
  yamlBufferClear(out);
  *multiLine = false;
  int32_t keep = 0;  // bytes of out that trailing-blank trimming must keep
  for (;;) {
    if (yamlAtEnd(y)) {
      while (out->length > keep && yamlBlank(out->data[out->length - 1])) out->length--;
      out->data[out->length] = 0;
      int32_t emptyLines = 0;
      for (;;) {
        if (!yamlReadLine(y)) return yamlFailEnd(y);
        *multiLine = true;
        yamlSkipBlanks(y);
        if (!yamlAtEnd(y)) break;
        emptyLines++;
      }
      if (emptyLines == 0) {
        if (!yamlBufferPut(out, ' ')) return 0;
      } else {
        for (int32_t i = 0; i < emptyLines; i++)
          if (!yamlBufferPut(out, '\n')) return 0;
      }
      keep = out->length;
      continue;
    }
    char c = y->lineBuffer.data[y->p];
    if (c == quote) {
      if (quote == '\'' && yamlAt(y, y->p + 1) == '\'') {
        y->p += 2;
        if (!yamlBufferPut(out, '\'')) return 0;
        keep = out->length;
        continue;
      }
      y->p++;
      return 1;
    }
    if (quote == '"' && c == '\\') {
      y->p++;
      if (yamlAtEnd(y)) {  // an escaped line break joins the lines without a space
        for (;;) {
          if (!yamlReadLine(y)) return yamlFailEnd(y);
          *multiLine = true;
          yamlSkipBlanks(y);
          if (!yamlAtEnd(y)) break;
          if (!yamlBufferPut(out, '\n')) return 0;
        }
        keep = out->length;
        continue;
      }
      if (!yamlEscape(y, out)) return 0;
      keep = out->length;
      continue;
    }
    if (!yamlBufferPut(out, c)) return 0;
    y->p++;
    if (!yamlBlank(c)) keep = out->length;
  }
}

// Ends the plain scalar of a block line: at a comment, at the end of the
// line, or (when asKey) at ':' followed by a blank or the end. *isKey tells
// which. Trailing blanks are dropped.
void yamlReadBlockPlain(Yaml *y, YamlBuffer *out, bool asKey, bool *isKey) {
  yamlBufferClear(out);
  *isKey = false;
  int32_t start = y->p;
  while (!yamlAtEnd(y)) {
    char c = y->lineBuffer.data[y->p];
    if (c == '#' && y->p > start && yamlBlank(y->lineBuffer.data[y->p - 1])) break;
    if (asKey && c == ':' && (y->p + 1 >= y->lineBuffer.length || yamlBlank(yamlAt(y, y->p + 1)))) {
      *isKey = true;
      break;
    }
    y->p++;
  }
  int32_t end = y->p;
  while (end > start && yamlBlank(y->lineBuffer.data[end - 1])) end--;
  yamlBufferAppend(out, y->lineBuffer.data + start, end - start);
}

// ---- Flow collections ----------------------------------------------------------

// Skips blanks, comments and line breaks inside a flow collection. 0 (error
// 3) when the input ends.
int yamlFlowSkip(Yaml *y) {
  for (;;) {
    yamlSkipBlanks(y);
    if (!yamlAtEnd(y) && y->lineBuffer.data[y->p] != '#') return 1;
    if (!yamlReadLine(y)) return yamlFailEnd(y);
  }
}

// A plain scalar inside a flow collection; runs over lines (folded).
int yamlReadFlowPlain(Yaml *y, YamlBuffer *out) {
  yamlBufferClear(out);
  for (;;) {
    int32_t start = y->p;
    while (!yamlAtEnd(y)) {
      char c = y->lineBuffer.data[y->p];
      if (yamlFlowIndicator(c)) break;
      if (c == '#' && y->p > 0 && yamlBlank(y->lineBuffer.data[y->p - 1])) break;
      if (c == ':' && !yamlFlowColonIsText(y, y->p)) break;
      y->p++;
    }
    int32_t end = y->p;
    while (end > start && yamlBlank(y->lineBuffer.data[end - 1])) end--;
    if (!yamlBufferAppend(out, y->lineBuffer.data + start, end - start)) return 0;
    if (!yamlAtEnd(y)) return 1;
    // The line ended inside the scalar: it goes on unless the next content
    // ends it.
    int32_t emptyLines = 0;
    for (;;) {
      if (!yamlReadLine(y)) return yamlFailEnd(y);
      yamlSkipBlanks(y);
      if (!yamlAtEnd(y)) break;
      emptyLines++;
    }
    char c = y->lineBuffer.data[y->p];
    if (yamlFlowIndicator(c) || c == '#' || (c == ':' && !yamlFlowColonIsText(y, y->p))) return 1;
    if (emptyLines == 0) {
      if (!yamlBufferPut(out, ' ')) return 0;
    } else {
      for (int32_t i = 0; i < emptyLines; i++)
        if (!yamlBufferPut(out, '\n')) return 0;
    }
  }
}

int yamlReservedCheck(Yaml *y) {
  char c = yamlAt(y, y->p);
  if (c == '@' || c == '`')
    return yamlFail(y, kYamlErrorSyntax, " Invalid use of Reserved Indicator [%c @ %d:%d]", c,
                    y->line, y->p + 1);
  return 1;
}

int yamlParseFlow(Yaml *y);

// One node inside a flow collection, filling the top level's slot.
int yamlFlowNode(Yaml *y) {
  char c = y->lineBuffer.data[y->p];
  if (c == '[' || c == '{') return yamlParseFlow(y);
  if (c == '"' || c == '\'') {
    bool multiLine = false;
    if (!yamlReadQuoted(y, &y->value, &multiLine)) return 0;
    return yamlEmitScalar(y, y->top, y->value.data, y->value.length, false, true);
  }
  if (!yamlReservedCheck(y)) return 0;
  if (!yamlFlowPlainStarts(y)) return yamlFailAt(y, kYamlErrorSyntax, "Unknown collection");
  if (!yamlReadFlowPlain(y, &y->value)) return 0;
  return yamlEmitScalar(y, y->top, y->value.data, y->value.length, true, true);
}

// The value of a "key: value" entry of a flow collection, y->p after the ':'.
// close ends the collection; it or a ',' first means an empty value.
int yamlFlowPairValue(Yaml *y, char close) {
  if (!yamlFlowSkip(y)) return 0;
  char c = y->lineBuffer.data[y->p];
  if (c == ',' || c == close) return yamlEmitScalar(y, y->top, "", 0, true, true);
  return yamlFlowNode(y);
}

// One entry of a flow sequence: a node, or a single "key: value" pair, which
// is a mapping of its own ("[a: b]" holds {a: b}). The key and its ':' stand
// on one line.
int yamlFlowSeqEntry(Yaml *y) {
  char c = y->lineBuffer.data[y->p];
  if (c == '[' || c == '{') return yamlParseFlow(y);
  bool quoted = c == '"' || c == '\'';
  bool oneLine = true;
  if (quoted) {
    bool multiLine = false;
    if (!yamlReadQuoted(y, &y->keyText, &multiLine)) return 0;
    oneLine = !multiLine;
  } else {
    if (!yamlReservedCheck(y)) return 0;
    if (!yamlFlowPlainStarts(y)) return yamlFailAt(y, kYamlErrorSyntax, "Unknown collection");
    int32_t line = y->line;
    if (!yamlReadFlowPlain(y, &y->keyText)) return 0;
    oneLine = y->line == line;
  }
  yamlSkipBlanks(y);
  if (!oneLine || yamlAt(y, y->p) != ':')
    return yamlEmitScalar(y, y->top, y->keyText.data, y->keyText.length, !quoted, true);
  if (!yamlPush(y, kYamlLevelFlowMap, -1)) return 0;
  if (!yamlSetKey(y, &y->levels[y->top], y->keyText.data, y->keyText.length)) return 0;
  y->p++;  // the ':'
  if (!yamlFlowPairValue(y, ']')) return 0;
  y->top--;
  return 1;
}

// A flow collection at y->p ('[' or '{'), filling the top level's slot.
int yamlParseFlow(Yaml *y) {
  bool map = y->lineBuffer.data[y->p] == '{';
  char close = map ? '}' : ']';
  if (!yamlPush(y, map ? kYamlLevelFlowMap : kYamlLevelFlowSeq, -1)) return 0;
  y->p++;
  YamlLevel *l = &y->levels[y->top];
  for (;;) {
    if (!yamlFlowSkip(y)) return 0;
    char c = y->lineBuffer.data[y->p];
    if (c == close) break;
    if (map) {
      if (c == '"' || c == '\'') {
        bool multiLine = false;
        if (!yamlReadQuoted(y, &y->keyText, &multiLine)) return 0;
      } else {
        if (!yamlReservedCheck(y)) return 0;
        if (!yamlFlowPlainStarts(y)) return yamlFailAt(y, kYamlErrorSyntax, "Unknown collection");
        if (!yamlReadFlowPlain(y, &y->keyText)) return 0;
      }
      if (!yamlSetKey(y, l, y->keyText.data, y->keyText.length)) return 0;
      if (!yamlFlowSkip(y)) return 0;
      if (y->lineBuffer.data[y->p] == ':') y->p++;
      if (!yamlFlowPairValue(y, close)) return 0;
    } else if (!yamlFlowSeqEntry(y)) {
      return 0;
    }
    if (!yamlFlowSkip(y)) return 0;
    c = y->lineBuffer.data[y->p];
    if (c == ',') {
      y->p++;
      continue;
    }
    if (c != close) return yamlFailAt(y, kYamlErrorSyntax, "Unknown collection");
  }
  y->p++;
  y->top--;
  return 1;
}

// ---- Block structure ------------------------------------------------------------

bool yamlIsEntry(Yaml *y) {
  return yamlAt(y, y->p) == '-' && (y->p + 1 >= y->lineBuffer.length || yamlBlank(yamlAt(y, y->p + 1)));
}

// After a node on a block line only a comment may follow.
int yamlExpectLineEnd(Yaml *y) {
  yamlSkipBlanks(y);
  if (!yamlAtLineEnd(y)) return yamlFailAt(y, kYamlErrorSyntax, "Unknown collection");
  return 1;
}

void yamlFinishPlain(Yaml *y) {
  if (!y->plainPending) return;
  y->plainPending = 0;
  yamlEmitScalar(y, y->plainLevel, y->value.data, y->value.length, true, false);
}

int yamlBlockValue(Yaml *y);

// The value after "key:" on the same line: nothing (it follows on later
// lines), a flow collection or a scalar.
int yamlInlineValue(Yaml *y) {
  yamlSkipBlanks(y);
  if (yamlAtLineEnd(y)) return 1;
  char c = y->lineBuffer.data[y->p];
  if (c == '[' || c == '{') {
    if (!yamlParseFlow(y)) return 0;
    return yamlExpectLineEnd(y);
  }
  if (c == '"' || c == '\'') {
    bool multiLine = false;
    if (!yamlReadQuoted(y, &y->value, &multiLine)) return 0;
    if (!yamlEmitScalar(y, y->top, y->value.data, y->value.length, false, false)) return 0;
    return yamlExpectLineEnd(y);
  }
  if (!yamlReservedCheck(y)) return 0;
  bool isKey = false;
  yamlReadBlockPlain(y, &y->value, false, &isKey);
  y->plainPending = 1;
  y->plainLevel = y->top;
  y->plainOwnerIndent = y->levels[y->top].indent;
  y->plainEmptyLines = 0;
  if (!yamlAtEnd(y)) yamlFinishPlain(y);  // a comment ends it
  return 1;
}

// A "key:" line of the block mapping on top, y->p at the key.
int yamlMapEntry(Yaml *y) {
  YamlLevel *l = &y->levels[y->top];
  char c = y->lineBuffer.data[y->p];
  bool isKey = false;
  if (c == '"' || c == '\'') {
    bool multiLine = false;
    if (!yamlReadQuoted(y, &y->keyText, &multiLine)) return 0;
    yamlSkipBlanks(y);
    isKey = !multiLine && yamlAt(y, y->p) == ':' &&
            (y->p + 1 >= y->lineBuffer.length || yamlBlank(yamlAt(y, y->p + 1)));
  } else {
    if (!yamlReservedCheck(y)) return 0;
    int32_t start = y->p;
    yamlReadBlockPlain(y, &y->keyText, true, &isKey);
    if (!isKey) y->p = start;
  }
  if (!isKey) return yamlFailAt(y, kYamlErrorSyntax, "Unknown collection");
  if (!yamlSetKey(y, l, y->keyText.data, y->keyText.length)) return 0;
  y->p++;  // the ':'
  l->pending = 1;
  return yamlInlineValue(y);
}

// A "- " entry of the block sequence on top, y->p at the '-'.
int yamlSeqEntry(Yaml *y) {
  YamlLevel *l = &y->levels[y->top];
  y->p++;
  l->pending = 1;
  yamlSkipBlanks(y);
  if (yamlAtLineEnd(y)) return 1;
  return yamlBlockValue(y);
}

// The node that fills the top level's slot, starting at y->p on a block line:
// a sequence, a mapping, a flow collection or a scalar.
int yamlBlockValue(Yaml *y) {
  int32_t column = y->p;
  if (yamlIsEntry(y)) {
    if (!yamlPush(y, kYamlLevelBlockSeq, column)) return 0;
    return yamlSeqEntry(y);
  }
  char c = y->lineBuffer.data[y->p];
  if (c == '[' || c == '{') {
    if (!yamlParseFlow(y)) return 0;
    return yamlExpectLineEnd(y);
  }
  bool isKey = false;
  if (c == '"' || c == '\'') {
    bool multiLine = false;
    if (!yamlReadQuoted(y, &y->keyText, &multiLine)) return 0;
    int32_t after = y->p;
    yamlSkipBlanks(y);
    isKey = !multiLine && yamlAt(y, y->p) == ':' &&
            (y->p + 1 >= y->lineBuffer.length || yamlBlank(yamlAt(y, y->p + 1)));
    if (!isKey) {
      y->p = after;
      if (!yamlEmitScalar(y, y->top, y->keyText.data, y->keyText.length, false, false)) return 0;
      return yamlExpectLineEnd(y);
    }
  } else {
    if (!yamlReservedCheck(y)) return 0;
    yamlReadBlockPlain(y, &y->keyText, true, &isKey);
    if (!isKey) {
      // A plain scalar; later lines may continue it.
      YamlBuffer swap = y->value;
      y->value = y->keyText;
      y->keyText = swap;
      y->plainPending = 1;
      y->plainLevel = y->top;
      y->plainOwnerIndent = y->levels[y->top].indent;
      y->plainEmptyLines = 0;
      if (!yamlAtEnd(y)) yamlFinishPlain(y);
      return 1;
    }
  }
  // A key: a new block mapping at this column.
  if (!yamlPush(y, kYamlLevelBlockMap, column)) return 0;
  YamlLevel *l = &y->levels[y->top];
  if (!yamlSetKey(y, l, y->keyText.data, y->keyText.length)) return 0;
  y->p++;  // the ':'
  l->pending = 1;
  return yamlInlineValue(y);
}

// One line whose content begins at column n (y->p).
int yamlBlockLine(Yaml *y, int32_t n) {
  bool entry = yamlIsEntry(y);
  for (;;) {
    YamlLevel *t = &y->levels[y->top];
    if (t->kind != kYamlLevelBlockMap && t->kind != kYamlLevelBlockSeq) break;
    if (t->indent > n || (t->kind == kYamlLevelBlockSeq && t->indent == n && !entry)) {
      yamlPop(y);
      continue;
    }
    break;
  }
  YamlLevel *t = &y->levels[y->top];
  if (t->pending && (n > t->indent || (t->kind == kYamlLevelBlockMap && entry && n == t->indent)))
    return yamlBlockValue(y);
  if (t->kind == kYamlLevelBlockMap && n == t->indent) {
    if (entry) return yamlFailAt(y, kYamlErrorSyntax, "Unexpected character parsing block sequence");
    if (t->pending) yamlEmitScalar(y, y->top, "", 0, true, false);  // the key before had no value
    return yamlMapEntry(y);
  }
  if (t->kind == kYamlLevelBlockSeq && n == t->indent && entry) {
    if (t->pending) yamlEmitScalar(y, y->top, "", 0, true, false);
    return yamlSeqEntry(y);
  }
  if (entry) return yamlFailAt(y, kYamlErrorSyntax, "Unexpected character parsing block sequence");
  return yamlFailAt(y, kYamlErrorSyntax, "Unknown collection");
}

bool yamlIsMarker(Yaml *y, char c) {
  const char *d = y->lineBuffer.data;
  return y->lineBuffer.length >= 3 && d[0] == c && d[1] == c && d[2] == c;
}

int yamlParse(Yaml *y) {
  if (!yamlReadLine(y)) return yamlFail(y, kYamlErrorEmpty, "Stream is empty");
  if (y->lineBuffer.length >= 3 && memcmp(y->lineBuffer.data, "\xEF\xBB\xBF", 3) == 0) {
    memmove(y->lineBuffer.data, y->lineBuffer.data + 3, size_t(y->lineBuffer.length - 3 + 1));
    y->lineBuffer.length -= 3;
  }
  int32_t contentSeen = 0;
  for (bool first = true;; first = false) {
    if (!first && !yamlReadLine(y)) break;
    yamlSkipBlanks(y);
    int32_t n = y->p;
    if (yamlAtLineEnd(y)) {  // a blank or comment line
      if (y->plainPending) {
        if (yamlAtEnd(y)) y->plainEmptyLines++;
        else yamlFinishPlain(y);
      }
      continue;
    }
    if (n == 0 && (yamlIsMarker(y, '-') || yamlIsMarker(y, '.'))) {
      char c = yamlAt(y, 3);
      if (y->lineBuffer.length == 3 || yamlBlank(c)) {
        yamlFinishPlain(y);
        if (y->lineBuffer.data[0] == '.') {
          while (y->top > 0) yamlPop(y);
          y->ended = 1;
          y->p = 3;
          if (!yamlExpectLineEnd(y)) return 0;
          continue;
        }
        if (y->markers > 0 || contentSeen || y->ended)
          return yamlFail(y, kYamlErrorSecondDocument, "Second document found [%d:%d]", y->line, 1);
        y->markers++;
        y->p = 3;
        yamlSkipBlanks(y);
        if (yamlAtLineEnd(y)) continue;
        n = y->p;
      } else if (y->lineBuffer.data[0] == '-') {
        y->p = 3;
        return yamlFailAt(y, kYamlErrorSyntax, "Unexpected character in document directive");
      }
    }
    if (y->ended) return yamlFail(y, kYamlErrorSecondDocument, "Second document found [%d:%d]", y->line, n + 1);
    if (y->plainPending) {
      if (n > y->plainOwnerIndent) {  // a continuation line folds into the scalar
        if (y->plainEmptyLines == 0) {
          if (!yamlBufferPut(&y->value, ' ')) return 0;
        } else {
          for (int32_t i = 0; i < y->plainEmptyLines; i++)
            if (!yamlBufferPut(&y->value, '\n')) return 0;
        }
        y->plainEmptyLines = 0;
        int32_t start = y->p;
        while (!yamlAtEnd(y) &&
               !(y->lineBuffer.data[y->p] == '#' && yamlBlank(y->lineBuffer.data[y->p - 1])))
          y->p++;
        int32_t end = y->p;
        while (end > start && yamlBlank(y->lineBuffer.data[end - 1])) end--;
        if (!yamlBufferAppend(&y->value, y->lineBuffer.data + start, end - start)) return 0;
        if (!yamlAtEnd(y)) yamlFinishPlain(y);
        continue;
      }
      yamlFinishPlain(y);
    }
    contentSeen = 1;
    if (!yamlBlockLine(y, n)) return 0;
  }
  yamlFinishPlain(y);
  while (y->top > 0) yamlPop(y);
  return 1;
}

// ---- Writer ------------------------------------------------------------------------

struct YamlOut {
  Stream *stream;
  int ok;
};

void yamlWrite(YamlOut *o, const char *bytes, int32_t length) {
  if (!o->ok || length <= 0) return;
  int32_t written = 0;
  if (!Stream_Write(o->stream, bytes, length, &written) || written != length) o->ok = 0;
}

void yamlWriteText(YamlOut *o, const char *text) { yamlWrite(o, text, int32_t(strlen(text))); }

// Two spaces a level, written in runs: a deep tree must not cost a write
// call per level per line.
void yamlWriteIndent(YamlOut *o, int32_t depth) {
  static constexpr char kSpaces[] =
      "                                                                "
      "                                                                "
      "                                                                "
      "                                                                ";
  constexpr int64_t kRun = int64_t(sizeof kSpaces - 1);
  for (int64_t left = int64_t(depth) * 2; left > 0 && o->ok; left -= kRun)
    yamlWrite(o, kSpaces, int32_t(left < kRun ? left : kRun));
}

// 1 when the plain form of the text would not read back as the same String.
bool yamlNeedsQuotes(const char *t, int32_t n) {
  if (n == 0) return true;
  if (yamlWordIs(t, n, "null", true) || yamlWordIs(t, n, "true", true) ||
      yamlWordIs(t, n, "false", true))
    return true;
  char decimal[24];
  int32_t radixLength = 0;
  if (yamlIsDecimal(t, n) || yamlRadixNumber(t, n, decimal, &radixLength)) return true;
  char c = t[0];
  if (strchr("&*!|>%@,?:`\"'#[]{}", c) != nullptr || yamlBlank(c)) return true;
  if (c == '-' && (n == 1 || yamlBlank(t[1]))) return true;
  if (n >= 3 && (memcmp(t, "---", 3) == 0 || memcmp(t, "...", 3) == 0)) return true;
  if (yamlBlank(t[n - 1]) || t[n - 1] == ':') return true;
  for (int32_t i = 0; i < n; i++) {
    auto b = uint8_t(t[i]);
    if (b < 0x20 || b >= 0x7F || b == '"' || b == '\\') return true;
    if (b == ':' && i + 1 < n && yamlBlank(t[i + 1])) return true;
    if (b == '#' && i > 0 && yamlBlank(t[i - 1])) return true;
  }
  return false;
}

// Writes the text plain or between double quotes, escaping what a quoted
// scalar must not hold raw: the quote, the backslash, control bytes, DEL and
// the characters YAML readers take as line breaks (U+0085, U+2028, U+2029).
void yamlWriteString(YamlOut *o, const char *t, int32_t n) {
  if (!yamlNeedsQuotes(t, n)) {
    yamlWrite(o, t, n);
    return;
  }
  yamlWrite(o, "\"", 1);
  int32_t run = 0;
  for (int32_t i = 0; i < n;) {
    auto b = uint8_t(t[i]);
    char escape[8];
    int32_t escapeLength = 0;
    int32_t used = 1;
    if (b == '"' || b == '\\') {
      escape[0] = '\\';
      escape[1] = char(b);
      escapeLength = 2;
    } else if (b == '\t' || b == '\n' || b == '\r') {
      escape[0] = '\\';
      escape[1] = b == '\t' ? 't' : b == '\n' ? 'n' : 'r';
      escapeLength = 2;
    } else if (b < 0x20 || b == 0x7F) {
      escapeLength = Str_Printf(escape, int(sizeof(escape)), "\\x%02x", b);
    } else if (b >= 0x80) {
      uint32_t codePoint = 0;
      int length = 0;
      int expected = StrW_Utf8SequenceLength(b);
      if (expected > 1 && expected <= n - i && StrW_DecodeUtf8Sequence(t + i, &codePoint, &length) &&
          length > 0) {
        used = length;
        if (codePoint == 0x85) escapeLength = 2, memcpy(escape, "\\N", 2);
        else if (codePoint == 0x2028) escapeLength = 2, memcpy(escape, "\\L", 2);
        else if (codePoint == 0x2029) escapeLength = 2, memcpy(escape, "\\P", 2);
        else if (codePoint == 0xFFFE || codePoint == 0xFFFF || codePoint == 0xFEFF)
          escapeLength = Str_Printf(escape, int(sizeof(escape)), "\\u%04X", codePoint);
      }
    }
    if (escapeLength == 0) {
      run += used;
      i += used;
      continue;
    }
    yamlWrite(o, t + i - run, run);
    run = 0;
    yamlWrite(o, escape, escapeLength);
    i += used;
  }
  yamlWrite(o, t + n - run, run);
  yamlWrite(o, "\"", 1);
}

// A scalar, or an empty List or Dictionary (a filled one is written by the
// walk in yamlWriteItems).
void yamlWriteValue(YamlOut *o, const DictionaryItem *item) {
  int32_t type = item->type & kDictionaryTypeMask;
  switch (type) {
    case kDictionaryTypeNull:
      yamlWriteText(o, "null");
      break;
    case kDictionaryTypeBoolean:
      yamlWriteText(o, (item->type & kDictionaryBooleanBit) ? "true" : "false");
      break;
    case kDictionaryTypeInt64:
    case kDictionaryTypeFloat64:
      if (item->value != nullptr && item->valueLength > 0)
        yamlWrite(o, item->value, item->valueLength);
      else
        yamlWriteText(o, "null");
      break;
    case kDictionaryTypeString:
      yamlWriteString(o, item->value != nullptr ? item->value : "", item->valueLength);
      break;
    case kDictionaryTypeList:
      yamlWriteText(o, "[]");
      break;
    case kDictionaryTypeDictionary:
      yamlWriteText(o, "{}");
      break;
    default:
      yamlWriteText(o, "null");
      break;
  }
}

// A List or Dictionary item with at least one item below it.
bool yamlIsFilledContainer(const DictionaryItem *item) {
  int32_t type = item->type & kDictionaryTypeMask;
  return (type == kDictionaryTypeList || type == kDictionaryTypeDictionary) &&
         item->child->items.count > 0;
}

// Writes the items of top, each filled container's items below it at one more
// level: depth first without recursion, as a tree built through the API may
// be far deeper than the stack allows. topType is how top's own items are
// written (List: "- " entries; else "key: ").
void yamlWriteItems(YamlOut *o, Dictionary *top, DictionaryType topType, int32_t depth) {
  Dictionary *c = top;
  DictionaryItem *item = top->items.first;
  while (item != nullptr && o->ok) {
    int32_t parentType = c == top ? topType : c->parentItem->type & kDictionaryTypeMask;
    yamlWriteIndent(o, depth);
    bool filled = yamlIsFilledContainer(item);
    if (parentType == kDictionaryTypeList) {
      yamlWrite(o, filled ? "-" : "- ", filled ? 1 : 2);
    } else {
      if (item->key != nullptr)
        yamlWriteString(o, item->key, item->keyLength);
      else
        yamlWriteString(o, "", 0);
      yamlWrite(o, filled ? ":" : ": ", filled ? 1 : 2);
    }
    if (filled) {
      yamlWrite(o, "\n", 1);
      c = item->child;
      item = c->items.first;
      depth++;
      continue;
    }
    yamlWriteValue(o, item);
    // Up past every container this item ends.
    while (item->next == nullptr && c != top) {
      item = c->parentItem;
      c = c->parent;
      depth--;
    }
    if (item->next != nullptr) yamlWrite(o, "\n", 1);
    item = item->next;
  }
}

void yamlDestroy(void **object) { Yaml_Release(reinterpret_cast<Yaml **>(object)); }

}  // namespace

// ---- Public --------------------------------------------------------------------

int32_t Yaml_Create(Yaml **yaml) noexcept {
  CHECK_POINTER(yaml);
  auto *y = static_cast<Yaml *>(Mem_Alloc(sizeof(Yaml), MEM_ZEROED, KSRC));
  y->header.classTag = kYamlTag;
  y->header.refCount.store(1, std::memory_order_relaxed);
  y->header.destroy = yamlDestroy;
  y->log.object = y;
  y->log.className = kYamlClassName;
  y->line = 1;
  y->column = 1;
  yamlBufferReserve(&y->value, kDictionaryPathBytes);
  yamlBufferReserve(&y->keyText, kDictionaryPathBytes);
  *yaml = y;
  return 1;
}

int32_t Yaml_Release(Yaml **yaml) noexcept {
  CHECK_POINTER(yaml);
  Yaml *y = *yaml;
  CLASS_CHECK(y, kYamlTag);
  *yaml = nullptr;
  yamlBufferFree(&y->value);
  yamlBufferFree(&y->keyText);
  yamlBufferFree(&y->lineBuffer);
  y->header.classTag = 0;
  Mem_Free(y, sizeof(Yaml), KSRC);
  return 0;
}

int32_t Yaml_SetDictionary(Yaml *yaml, Dictionary *dictionary) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  yaml->target = dictionary;
  return 1;
}

int32_t Yaml_SetSecret(Yaml *yaml, int32_t secret) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  yaml->secret = secret != 0;
  return 1;
}

int32_t Yaml_GetErrorCode(Yaml *yaml, int32_t *code) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  CHECK_POINTER(code);
  *code = yaml->errorCode;
  return 1;
}

int32_t Yaml_GetErrorPosition(Yaml *yaml, int32_t *line, int32_t *column,
                              const char **text) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  CHECK_POINTER(line);
  CHECK_POINTER(column);
  CHECK_POINTER(text);
  *line = yaml->errorLine;
  *column = yaml->errorColumn;
  *text = yaml->errorText;
  return yaml->errorCode != 0;
}

int32_t Yaml_Reset(Yaml *yaml) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  Yaml *y = yaml;
  memset(y->levels, 0, sizeof(y->levels));
  y->top = 0;
  y->errorCode = 0;
  y->errorLine = y->errorColumn = 0;
  y->errorText[0] = '\0';
  y->line = 1;
  y->column = 1;
  y->consumed = 0;
  y->markers = 0;
  y->ended = 0;
  y->inputPos = y->inputLength = y->inputEnd = 0;
  y->haveLine = 0;
  y->p = 0;
  y->plainPending = 0;
  yamlBufferClear(&y->value);
  yamlBufferClear(&y->keyText);
  yamlBufferClear(&y->lineBuffer);
  if (y->target != nullptr) Dictionary_Clear(y->target);
  return 1;
}

int32_t Yaml_ParseStream(Yaml *yaml, Stream *stream) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  CHECK_POINTER(stream);
  Yaml_Reset(yaml);
  BufferedStream *buffered = nullptr;
  BufferedStream_Create(&buffered);
  BufferedStream_SetReadBufferSize(buffered, kYamlReadBufferBytes);
  BufferedStream_SetStream(buffered, stream);
  Stream *record = nullptr;
  BufferedStream_GetStream(buffered, &record);
  yaml->input = record;
  yaml->levels[0].kind = kYamlLevelRoot;
  yaml->levels[0].indent = -1;
  yaml->levels[0].pending = 1;
  yaml->levels[0].container = yaml->target;
  int result = yamlParse(yaml);
  yaml->input = nullptr;
  BufferedStream_Release(&buffered);
  yamlBufferFree(&yaml->lineBuffer);
  if (!result && yaml->errorCode == 0)
    Core_Abort(KSRC, "Assertion failed (ErrorCode != 0)\nError code not set during YAML parsing");
  if (!result) {
    if (stream->error <= 0) stream->error = yaml->errorCode;
    return 0;
  }
  return stream->error > 0 ? 0 : 1;
}

int32_t Yaml_ParseMemory(Yaml *yaml, const char *text, int32_t length) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  CHECK_POINTER(text);
  MemoryStream *memory = nullptr;
  MemoryStream_Create(&memory);
  MemoryStream_Attach(memory, const_cast<char *>(text), length < 0 ? 0 : length,
                      length < 0 ? 0 : length);
  Stream *record = nullptr;
  MemoryStream_GetStream(memory, &record);
  int32_t result = Yaml_ParseStream(yaml, record);
  MemoryStream_Release(&memory);
  return result;
}

int32_t Yaml_WriteDictionary(Yaml *yaml, Stream *stream, Dictionary *dictionary,
                             DictionaryType parentType, int32_t depth) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  CHECK_POINTER(stream);
  CLASS_CHECK(dictionary, kDictionaryTag);
  YamlOut o{stream, 1};
  yamlWriteItems(&o, dictionary, parentType, depth);
  return o.ok;
}

int32_t Yaml_WriteStream(Yaml *yaml, Stream *stream) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  CHECK_POINTER(stream);
  if (yaml->target == nullptr) return 0;
  DictionaryItem *first = nullptr;
  DictionaryType parentType = kDictionaryTypeDictionary;
  if (Dictionary_GetFirstItem(yaml->target, &first) && first->key == nullptr)
    parentType = kDictionaryTypeList;
  YamlOut o{stream, 1};
  yamlWriteItems(&o, yaml->target, parentType, 0);
  yamlWrite(&o, "\n", 1);
  return o.ok;
}

int32_t Yaml_WriteMemory(Yaml *yaml, char *buffer, int32_t size, int32_t *length) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  CHECK_POINTER(buffer);
  CHECK_POINTER(length);
  *length = 0;
  MemoryStream *memory = nullptr;
  MemoryStream_Create(&memory);
  MemoryStream_Attach(memory, buffer, 0, size < 0 ? 0 : size);
  Stream *record = nullptr;
  MemoryStream_GetStream(memory, &record);
  int32_t result = Yaml_WriteStream(yaml, record);
  *length = MemoryStream_GetLength(memory);
  MemoryStream_Release(&memory);
  return result;
}

int32_t Yaml_GetWriteLength(Yaml *yaml, int64_t *length) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  CHECK_POINTER(length);
  *length = 0;
  NullStream *null = nullptr;
  NullStream_Create(&null);
  Stream *record = nullptr;
  NullStream_GetStream(null, &record);
  int32_t result = Yaml_WriteStream(yaml, record);
  *length = NullStream_GetSize(null);
  NullStream_Release(&null);
  return result;
}

// ---- Files ------------------------------------------------------------------

namespace {

int yamlParseDocument(void *context, Stream *stream) {
  return Yaml_ParseStream(static_cast<Yaml *>(context), stream);
}

}  // namespace

int32_t Yaml_ParseFile(Yaml *yaml, const char *path) noexcept {
  CLASS_CHECK(yaml, kYamlTag);
  CHECK_POINTER(path);
  Yaml_Reset(yaml);
  return File_ReadDocument(path, &yaml->log, yaml, yamlParseDocument);
}
