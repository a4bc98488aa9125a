// JSON reader and writer; see json.h.
//
// The reader is a state machine that can stop at any byte and go on with the
// next chunk, so the same code serves the caller's memory (one chunk) and a
// stream (4096-byte chunks). Within a chunk it scans runs of plain string
// bytes, digits and whitespace in tight loops; a scalar that lies whole in the
// chunk and needs no unescaping is handed on in place, anything else is
// collected in the value buffer.
#include "core/formats/json.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "core/formats/dictionary_internal.h"
#include "core/runtime/callback.h"
#include "core/platform/file.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/nullstream.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

constexpr const char kJsonClassName[] = "JSON";
constexpr int kJsonNodeLogLevel = 9;
constexpr int32_t kJsonNameMaxBytes = kJsonNameSlotBytes - 1;
constexpr int32_t kJsonPathBytes = kJsonMaxLevels * (kJsonNameSlotBytes + 1) + 1;
constexpr int32_t kJsonValueInitialBytes = 256;
constexpr int32_t kJsonWriteBufferBytes = 4096;

enum class JsonScalar : uint8_t { None, String, Number, Literal };
enum class JsonStringState : uint8_t { Plain, Escape, Unicode };
enum class JsonNumberState : uint8_t { Start, Zero, Digits, Exponent, Sign, Minus };

// Byte classes of the string scanner: 0 plain, else a byte that stops a run.
constexpr uint8_t kJsonStringStop[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0,  // '\n' counts lines
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // '"'
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0,  // '\\'
};

}  // namespace

struct Json {
  ObjectHeader header;
  ClassLog log;               // "JSON"
  CallbackCell nodeCallback;  // {context, JsonNodeCallback}
  int32_t levelType[kJsonMaxLevels];   // kJsonNodeObject or kJsonNodeArray; 0 at level 0
  int32_t arrayIndex[kJsonMaxLevels];  // index of the current element, -1 before the first
  uint32_t namePending;                // one bit per level
  int32_t nameLength[kJsonMaxLevels];
  char names[kJsonMaxLevels][kJsonNameSlotBytes];
  Dictionary *containers[kJsonMaxLevels];  // NULL throughout without a target
  int32_t depth;
  // The current scalar.
  JsonScalar scalar;
  uint8_t literalKind;  // kJsonNodeBoolean or kJsonNodeNull
  JsonStringState stringState;
  JsonNumberState numberState;
  bool pointSeen, exponentSeen;
  bool inPlace;  // the scalar began in this chunk and needed no unescaping so far
  int32_t hexCount;
  char hexDigits[4];
  uint32_t pendingHigh;  // a high surrogate waiting for its low half
  char literal[5];
  int32_t literalLength;
  int64_t scalarStart;  // input offset of the scalar's first byte
  // Value buffer (tracked memory, grown on demand, kept between parses).
  char *value;
  int32_t valueLength;
  int32_t valueCapacity;
  // Positions.
  int32_t line;
  int64_t lineStart;  // input offset just after the last line feed
  int64_t total;      // bytes handed to the reader so far
  bool valueSeen, commaSeen;
  bool done;     // the root value is complete
  bool stopped;  // an error or veto ended the parse
  bool wantPath;
  int32_t errorCode;
  int64_t nodePosition;
  Dictionary *target;  // borrowed
  int32_t compact;
  int32_t secret;  // every value a secret: node logs show neither text nor length
  int32_t pathLength[kJsonMaxLevels];
  char path[kJsonPathBytes];
};

namespace {

void jsonDestroy(void **object);

void jsonCheck(const Json *j, const char *sourcePath, int line) {
  Class_Check(j, kJsonTag, sourcePath, line);
  if (j->header.destroy != jsonDestroy)
    Core_Abort(sourcePath, line, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
               j, kJsonTag, j->header.classTag);
}
#define JSON_CHECK(j) jsonCheck((j), KSRC)

void jsonDestroy(void **object) {
  auto *j = static_cast<Json *>(*object);
  Callback_Clear(&j->nodeCallback);
  if (j->value != nullptr) MEM_FREE(j->value, j->valueCapacity);
  j->header.classTag = 0;
  MEM_FREE(j, sizeof(Json));
}

void jsonLog(Json *j, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Class_LogPrint(&j->log, 0, format, args);
  va_end(args);
}

// ---- Reading ---------------------------------------------------------------

struct JsonChunk {
  const char *begin;
  const char *end;
  int64_t base;  // input offset of begin
  int64_t Offset(const char *p) const { return base + (p - begin); }
};

int32_t jsonColumn(const Json *j, int64_t offset) { return int32_t(offset - j->lineStart + 1); }

void jsonFail(Json *j, int32_t code, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Class_LogPrint(&j->log, 0, format, args);
  va_end(args);
  j->errorCode = code;
  j->stopped = true;
}

void jsonValueReserve(Json *j, int64_t more) {
  int64_t need = int64_t(j->valueLength) + more + 1;
  if (need <= j->valueCapacity) return;
  int64_t capacity = j->valueCapacity > 0 ? j->valueCapacity : kJsonValueInitialBytes;
  while (capacity < need) capacity *= 2;
  if (capacity > INT32_MAX) Core_Abort(KSRC, "Assertion failed (Size <= INT32_MAX)\nJSON value too long");
  auto *grown = static_cast<char *>(MEM_ALLOC(capacity, 0));
  if (j->valueLength > 0) memcpy(grown, j->value, size_t(j->valueLength));
  if (j->value != nullptr) MEM_FREE(j->value, j->valueCapacity);
  j->value = grown;
  j->valueCapacity = int32_t(capacity);
}

void jsonValueAppend(Json *j, const char *text, int64_t length) {
  if (length <= 0) return;
  jsonValueReserve(j, length);
  memcpy(j->value + j->valueLength, text, size_t(length));
  j->valueLength += int32_t(length);
}

void jsonValueAppendCodePoint(Json *j, uint32_t codePoint) {
  char bytes[4];
  int n;
  if (codePoint < 0x80) {
    bytes[0] = char(codePoint);
    n = 1;
  } else if (codePoint < 0x800) {
    bytes[0] = char(0xC0 | (codePoint >> 6));
    bytes[1] = char(0x80 | (codePoint & 0x3F));
    n = 2;
  } else if (codePoint < 0x10000) {
    bytes[0] = char(0xE0 | (codePoint >> 12));
    bytes[1] = char(0x80 | ((codePoint >> 6) & 0x3F));
    bytes[2] = char(0x80 | (codePoint & 0x3F));
    n = 3;
  } else {
    bytes[0] = char(0xF0 | (codePoint >> 18));
    bytes[1] = char(0x80 | ((codePoint >> 12) & 0x3F));
    bytes[2] = char(0x80 | ((codePoint >> 6) & 0x3F));
    bytes[3] = char(0x80 | (codePoint & 0x3F));
    n = 4;
  }
  jsonValueAppend(j, bytes, n);
}

// A high surrogate that no low one followed stands for itself: U+FFFD.
void jsonFlushHigh(Json *j) {
  if (j->pendingHigh == 0) return;
  j->pendingHigh = 0;
  jsonValueAppendCodePoint(j, 0xFFFD);
}

// The path of the node about to be reported: the enclosing levels' names and
// its own, joined by '\'. Kept in j->path, valid until the next node.
const char *jsonNodePath(Json *j, const char *name, int32_t length) {
  int32_t at = j->pathLength[j->depth];
  if (j->depth >= 2) j->path[at++] = '\\';  // the root value and its members have no prefix
  memcpy(j->path + at, name, size_t(length));
  j->path[at + length] = '\0';
  return j->path;
}

// The node's own name at the current level: the pending member name, the
// element index, or none.
const char *jsonOwnName(Json *j, char *indexText, int32_t *length) {
  int32_t d = j->depth;
  if (j->levelType[d] == kJsonNodeArray) {
    *length = Str_Printf(indexText, 16, "%d", j->arrayIndex[d]);
    return indexText;
  }
  if (j->namePending & (1u << d)) {
    *length = j->nameLength[d];
    return j->names[d];
  }
  *length = 0;
  return "";
}

// Reports a node to the callback and the level-9 log. False when it was
// vetoed (the parse then stops with the callback's code).
bool jsonReportTo(Json *j, int32_t type, const char *text, int32_t length, int64_t position) {
  void *context = nullptr;
  CallbackFunction function = nullptr;
  bool logNode = Class_LogEnabled(&j->log, kJsonNodeLogLevel) && Log_IsEnabled();
  bool haveCallback = Callback_Get(&j->nodeCallback, &context, &function) != 0;
  if (!logNode && !haveCallback) return true;
  char indexText[16];
  int32_t nameLength = 0;
  const char *name = jsonOwnName(j, indexText, &nameLength);
  const char *path = jsonNodePath(j, name, nameLength);
  if (logNode) {
    // The strings of a credentials file or of URLs may be secrets.
    char shown[1024];
    std::string key(name, size_t(nameLength));
    bool secret = j->secret != 0;
    const char *found = nullptr;
    for (const char *word : {"password", "secret", "token"})
      secret = secret || Str_FindNoCase(key.c_str(), word, &found) != 0;
    if (secret)
      Str_Copy(shown, "***", int(sizeof shown));
    else
      Log_MaskSecrets(text, length, shown, int(sizeof shown));
    // A secret's length says much of it too.
    int32_t size = secret ? 0 : length;
    jsonLog(j, "Path %s Type %d Buf %s BufSize %d StreamPos %lld NodePos %d NodeSize %d", path,
            type, shown, size, static_cast<long long>(position), size, size);
  }
  if (!haveCallback) return true;
  int32_t code = 0;
  auto callback = reinterpret_cast<JsonNodeCallback>(function);
  if (callback(j, context, path, type, text, length, position, length, length, &code)) return true;
  if (code == 0)
    Core_Abort(KSRC, "Assertion failed (ErrorCode != 0)\nError code not set during json parsing");
  j->errorCode = code;
  j->stopped = true;
  return false;
}

// Without a callback or node logging at the start nothing keeps the paths a
// report names (one thread uses a parser at a time, so no callback comes
// later), and a level raised meanwhile waits for the next parse.
inline bool jsonReport(Json *j, int32_t type, const char *text, int32_t length,
                       int64_t position) {
  j->nodePosition = position;
  return !j->wantPath || jsonReportTo(j, type, text, length, position);
}

// Adds an item of the type for the node at the current level (keyed by the
// pending member name) holding length bytes of text, and answers it; NULL
// without a target.
inline DictionaryItem *jsonAddItem(Json *j, int32_t dictionaryType, const char *text = nullptr,
                                   int32_t length = 0) {
  Dictionary *c = j->containers[j->depth];
  if (c == nullptr) return nullptr;
  int32_t d = j->depth;
  if (j->levelType[d] == kJsonNodeObject && (j->namePending & (1u << d))) {
    const char *name = j->names[d];
    int32_t nameLength = j->nameLength[d];
    if (memchr(name, 0, size_t(nameLength)) != nullptr) {
      // A name with a NUL byte keeps all its bytes; it is set after the add.
      DictionaryItem *item = nullptr;
      Dictionary_AddKey(c, nullptr, &item);
      Dictionary_SetItemKeyN(c, item, name, nameLength);
      Dictionary_SetItemType(c, item, dictionaryType);
      Dictionary_SetItemText(c, item, text, length);
      return item;
    }
    return dictionaryAppendValue(c, name, nameLength, dictionaryType, text, length);
  }
  return dictionaryAppendValue(c, nullptr, 0, dictionaryType, text, length);
}

// Common start of every node that is not a member name: advances the array
// index and reports it. False when the parse stops.
bool jsonBeginNode(Json *j, int32_t type, const char *text, int32_t length, int64_t position) {
  int32_t d = j->depth;
  if (j->levelType[d] == kJsonNodeArray) j->arrayIndex[d]++;
  return jsonReport(j, type, text, length, position);
}

// The end of a node at the current level.
void jsonEndNode(Json *j) {
  j->namePending &= ~(1u << j->depth);
  j->valueSeen = true;
  if (j->depth == 0) j->done = true;
}

// A scalar is complete.
void jsonScalar(Json *j, int32_t type, const char *text, int32_t length, int64_t position) {
  j->scalar = JsonScalar::None;
  int32_t d = j->depth;
  if (j->levelType[d] == kJsonNodeObject && !(j->namePending & (1u << d))) {
    // The first scalar of a member is its name.
    int32_t keep = length;
    if (keep > kJsonNameMaxBytes) {
      jsonLog(j, "Member name too long, kept %d of %d bytes [@ %d:%d]", kJsonNameMaxBytes, length,
              j->line, jsonColumn(j, position));
      keep = kJsonNameMaxBytes;
    }
    memcpy(j->names[d], text, size_t(keep));
    j->names[d][keep] = '\0';
    j->nameLength[d] = keep;
    j->namePending |= 1u << d;
    return;
  }
  if (!jsonBeginNode(j, type, text, length, position)) return;
  if (j->containers[d] != nullptr) {
    // Numbers are stored as Float64 items and read as whatever is asked; a
    // Null item keeps no text.
    const int32_t itemType = type == kJsonNodeString    ? kDictionaryTypeString
                             : type == kJsonNodeNumber  ? kDictionaryTypeFloat64
                             : type == kJsonNodeBoolean ? kDictionaryTypeBoolean
                                                        : kDictionaryTypeNull;
    jsonAddItem(j, itemType, text, length);
  }
  jsonEndNode(j);
}

// The scalar's text: in place from run, or the value buffer plus the run.
void jsonScalarFrom(Json *j, int32_t type, const char *run, const char *p, int64_t position) {
  if (j->inPlace) {
    jsonScalar(j, type, run, int32_t(p - run), position);
  } else {
    jsonValueAppend(j, run, p - run);
    jsonScalar(j, type, j->value, j->valueLength, position);
  }
}

void jsonOpen(Json *j, int32_t type, const JsonChunk &chunk, const char *p) {
  int64_t position = chunk.Offset(p);
  if (!jsonBeginNode(j, type, "", 0, position)) return;
  int32_t d = j->depth;
  Dictionary *child = nullptr;
  if (j->containers[d] != nullptr) {
    DictionaryItem *item = jsonAddItem(
        j, type == kJsonNodeObject ? kDictionaryTypeDictionary : kDictionaryTypeList);
    Dictionary_GetItemContainer(j->containers[d], item, &child);
  }
  if (d + 1 >= kJsonMaxLevels) {
    jsonFail(j, kJsonErrorFieldType, "Unknown field type [%c @ %d:%d]", *p, j->line,
             jsonColumn(j, position));
    return;
  }
  if (j->wantPath) {
    char indexText[16];
    int32_t nameLength = 0;
    const char *name = jsonOwnName(j, indexText, &nameLength);
    jsonNodePath(j, name, nameLength);
    j->pathLength[d + 1] = int32_t(strlen(j->path));
  }
  j->namePending &= ~(1u << d);
  j->depth = d + 1;
  j->levelType[d + 1] = type;
  j->arrayIndex[d + 1] = -1;
  j->containers[d + 1] = child;
  j->namePending &= ~(1u << (d + 1));
  j->valueSeen = false;
  j->commaSeen = false;
}

void jsonClose(Json *j, const JsonChunk &chunk, const char *p) {
  int64_t position = chunk.Offset(p);
  if (j->depth == 0) {
    jsonFail(j, kJsonErrorFieldType, "Unknown field type [%c @ %d:%d]", *p, j->line,
             jsonColumn(j, position));
    return;
  }
  if (j->commaSeen)
    jsonLog(j, "Comma not expected [, @ %d:%d]", j->line, jsonColumn(j, position));
  j->namePending &= ~(1u << j->depth);  // a name without a value is dropped
  j->depth--;
  j->commaSeen = false;
  jsonEndNode(j);
}

// Begins a scalar at p (not consumed yet).
void jsonBeginScalar(Json *j, JsonScalar scalar, const JsonChunk &chunk, const char *p) {
  j->scalar = scalar;
  j->inPlace = true;
  j->valueLength = 0;
  j->scalarStart = chunk.Offset(p);
}

// The number machine for one byte. Returns 1 to consume it, 0 when the
// number ends before it, -1 on an error.
int jsonNumberStep(Json *j, char c) {
  switch (c) {
    case '0':
      if (j->numberState == JsonNumberState::Start || j->numberState == JsonNumberState::Minus)
        j->numberState = JsonNumberState::Zero;
      else if (j->numberState == JsonNumberState::Sign ||
               j->numberState == JsonNumberState::Exponent)
        j->numberState = JsonNumberState::Digits;
      return 1;
    case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
      if (j->numberState == JsonNumberState::Zero) return -1;
      j->numberState = JsonNumberState::Digits;
      return 1;
    case 'e':
    case 'E':
      if (j->exponentSeen || j->numberState == JsonNumberState::Start ||
          j->numberState == JsonNumberState::Minus || j->numberState == JsonNumberState::Sign)
        return -1;
      j->numberState = JsonNumberState::Exponent;
      j->exponentSeen = true;
      return 1;
    case '+':
      if (j->numberState != JsonNumberState::Start && j->numberState != JsonNumberState::Exponent)
        return -1;
      j->numberState = JsonNumberState::Sign;
      return 1;
    case '-':
      if (j->numberState == JsonNumberState::Start)
        j->numberState = JsonNumberState::Minus;
      else if (j->numberState == JsonNumberState::Exponent)
        j->numberState = JsonNumberState::Sign;
      else
        return -1;
      return 1;
    case '.':
      if (j->pointSeen || j->numberState == JsonNumberState::Sign) return -1;
      j->numberState = JsonNumberState::Sign;
      j->pointSeen = true;
      return 1;
    default:
      if (j->numberState == JsonNumberState::Exponent || j->numberState == JsonNumberState::Sign)
        return -1;
      return 0;
  }
}

// Applies a complete \u value (after a possible high surrogate).
void jsonUnicode(Json *j, uint32_t unit) {
  if (j->pendingHigh != 0) {
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      uint32_t codePoint = 0x10000 + ((j->pendingHigh - 0xD800) << 10) + (unit - 0xDC00);
      j->pendingHigh = 0;
      jsonValueAppendCodePoint(j, codePoint);
      return;
    }
    jsonFlushHigh(j);
  }
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    j->pendingHigh = unit;
  } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
    jsonValueAppendCodePoint(j, 0xFFFD);
  } else {
    jsonValueAppendCodePoint(j, unit);
  }
}

int jsonHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The first byte from p on that stops a run of plain string bytes ('"', '\\'
// or a line feed), or end; eight bytes at a time. In each word a byte equal
// to the one looked for becomes zero; the lowest set bit of the zero test
// names the first such byte exactly (its borrows reach only later bytes).
inline const char *jsonSkipPlain(const char *p, const char *end) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  auto zeroBytes = [](uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  while (end - p >= 8) {
    uint64_t bytes;
    memcpy(&bytes, p, 8);
    const uint64_t stop = zeroBytes(bytes ^ (kOnes * '"')) | zeroBytes(bytes ^ (kOnes * '\\')) |
                          zeroBytes(bytes ^ (kOnes * '\n'));
    if (stop != 0) return p + (__builtin_ctzll(stop) >> 3);
    p += 8;
  }
#endif
  while (p < end && !kJsonStringStop[uint8_t(*p)]) p++;
  return p;
}

// Continues the string at p; returns where reading goes on.
const char *jsonString(Json *j, const JsonChunk &chunk, const char *p) {
  const char *end = chunk.end;
  const char *run = p;
  for (;;) {
    if (j->stringState == JsonStringState::Plain) {
      if (j->pendingHigh != 0 && p < end && *p != '\\') jsonFlushHigh(j);
      p = jsonSkipPlain(p, end);
      if (p == end) {
        if (!j->inPlace || p > run) jsonValueAppend(j, run, p - run);
        j->inPlace = false;
        return p;
      }
      char c = *p;
      if (c == '"') {
        int64_t quote = chunk.Offset(p);
        int32_t length = j->inPlace ? int32_t(p - run) : j->valueLength + int32_t(p - run);
        jsonScalarFrom(j, kJsonNodeString, run, p, quote - length);
        return p + 1;
      }
      if (c == '\n') {
        p++;
        j->line++;
        j->lineStart = chunk.Offset(p);
        continue;
      }
      // A backslash: what came before goes to the value buffer.
      jsonValueAppend(j, run, p - run);
      j->inPlace = false;
      p++;
      j->stringState = JsonStringState::Escape;
    }
    if (j->stringState == JsonStringState::Escape) {
      if (p == end) return p;
      char c = *p;
      if (c == 'u') {
        p++;
        j->stringState = JsonStringState::Unicode;
        j->hexCount = 0;
      } else {
        char decoded;
        switch (c) {
          case '"': decoded = '"'; break;
          case '\\': decoded = '\\'; break;
          case '/': decoded = '/'; break;
          case 'b': decoded = '\b'; break;
          case 'f': decoded = '\f'; break;
          case 'n': decoded = '\n'; break;
          case 'r': decoded = '\r'; break;
          case 't': decoded = '\t'; break;
          default:
            jsonFail(j, kJsonErrorString, "Unexpected escape character in string [%c @ %d:%d]", c,
                     j->line, jsonColumn(j, chunk.Offset(p)));
            return p;
        }
        jsonFlushHigh(j);
        jsonValueAppend(j, &decoded, 1);
        p++;
        j->stringState = JsonStringState::Plain;
        run = p;
        continue;
      }
    }
    // Inside \u: four hex digits.
    while (j->hexCount < 4 && p < end) {
      j->hexDigits[j->hexCount++] = *p;
      if (jsonHexValue(*p) < 0) {
        jsonFail(j, kJsonErrorString, "Unexpected unicode hex characters [%.4s @ %d:%d]",
                 j->hexDigits, j->hexCount, j->line, jsonColumn(j, chunk.Offset(p)));
        return p;
      }
      p++;
    }
    if (j->hexCount < 4) return p;
    uint32_t unit = 0;
    for (char h : j->hexDigits) unit = (unit << 4) | uint32_t(jsonHexValue(h));
    jsonUnicode(j, unit);
    j->stringState = JsonStringState::Plain;
    run = p;
  }
}

inline bool jsonIsDigit(char c) { return uint8_t(c - '0') < 10; }

// The first byte from p on that is not a decimal digit (or end), eight bytes
// at a time: a byte above '9' sets its top bit when 0x46 is added, one below
// '0' when 0x30 is taken away; carries and borrows reach only bytes after the
// first such byte, which the lowest set bit names.
inline const char *jsonSkipDigits(const char *p, const char *end) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  while (end - p >= 8) {
    uint64_t bytes;
    memcpy(&bytes, p, 8);
    const uint64_t stop = ((bytes + 0x4646464646464646ull) | (bytes - 0x3030303030303030ull)) &
                          0x8080808080808080ull;
    if (stop != 0) return p + (__builtin_ctzll(stop) >> 3);
    p += 8;
  }
#endif
  while (p < end && jsonIsDigit(*p)) p++;
  return p;
}

// A number that lies whole in the chunk and follows the JSON grammar, read in
// one pass: answers the byte after it, or NULL when it reaches the chunk's end,
// breaks the grammar or is followed by a byte that could still belong to a
// number. The byte machine (jsonNumber) takes those, so what it accepts
// beyond the grammar and the errors it reports stay as they are; on the
// numbers taken here both end at the same byte.
const char *jsonScanNumber(const char *p, const char *end) {
  if (p < end && *p == '-') p++;
  if (p == end) return nullptr;
  if (*p == '0') {
    p++;
  } else if (jsonIsDigit(*p)) {
    p = jsonSkipDigits(p + 1, end);
  } else {
    return nullptr;
  }
  if (p < end && *p == '.') {
    if (++p == end || !jsonIsDigit(*p)) return nullptr;
    p = jsonSkipDigits(p + 1, end);
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    if (++p < end && (*p == '+' || *p == '-')) p++;
    if (p == end || !jsonIsDigit(*p)) return nullptr;
    p = jsonSkipDigits(p + 1, end);
  }
  if (p == end) return nullptr;
  switch (*p) {
    case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8':
    case '9': case 'e': case 'E': case '+': case '-': case '.':
      return nullptr;
    default:
      return p;
  }
}

// Continues the number at p.
const char *jsonNumber(Json *j, const JsonChunk &chunk, const char *p) {
  const char *end = chunk.end;
  const char *run = p;
  while (p < end) {
    if (j->numberState == JsonNumberState::Digits) {
      while (p < end && uint8_t(*p - '0') < 10) p++;
      if (p == end) break;
    }
    int step = jsonNumberStep(j, *p);
    if (step == 1) {
      p++;
      continue;
    }
    if (step < 0) {
      jsonFail(j, kJsonErrorInteger, "Unexpected character parsing integer [%c @ %d:%d]", *p,
               j->line, jsonColumn(j, chunk.Offset(p)));
      return p;
    }
    jsonScalarFrom(j, kJsonNodeNumber, run, p, j->scalarStart);
    return p;  // the byte goes back to the level
  }
  jsonValueAppend(j, run, p - run);
  j->inPlace = false;
  return p;
}

// Continues a literal at p.
const char *jsonLiteral(Json *j, const JsonChunk &chunk, const char *p) {
  while (p < chunk.end) {
    char c = *p++;
    j->literal[j->literalLength++] = c;
    if (c == '\n') {
      j->line++;
      j->lineStart = chunk.Offset(p);
    }
    if (j->literalLength == 4) {
      if (j->literalKind == kJsonNodeBoolean && memcmp(j->literal, "true", 4) == 0) {
        jsonScalar(j, kJsonNodeBoolean, "true", 4, j->scalarStart);
        return p;
      }
      if (j->literalKind == kJsonNodeNull) {
        if (memcmp(j->literal, "null", 4) == 0) {
          jsonScalar(j, kJsonNodeNull, "null", 4, j->scalarStart);
        } else {
          jsonFail(j, kJsonErrorNull, "Unexpected characters parsing null [%.3s @ %d:%d]",
                   j->literal, j->line, jsonColumn(j, chunk.Offset(p) - 1));
        }
        return p;
      }
    } else if (j->literalLength == 5) {
      if (memcmp(j->literal, "false", 5) == 0) {
        jsonScalar(j, kJsonNodeBoolean, "false", 5, j->scalarStart);
      } else {
        jsonFail(j, kJsonErrorBoolean, "Unexpected characters parsing boolean [%.5s @ %d:%d]",
                 j->literal, j->line, jsonColumn(j, chunk.Offset(p) - 1));
      }
      return p;
    }
  }
  return p;
}

// Between values: whitespace, punctuation and the first byte of a value.
const char *jsonBetween(Json *j, const JsonChunk &chunk, const char *p) {
  const char *end = chunk.end;
  while (p < end) {
    char c = *p;
    switch (c) {
      case ' ':
      case '\t':
      case '\r':
      case ':':
      case '\0':
        p++;
        continue;
      case '\n':
        p++;
        j->line++;
        j->lineStart = chunk.Offset(p);
        continue;
      case ',':
        p++;
        j->valueSeen = false;
        j->commaSeen = true;
        if (j->levelType[j->depth] == kJsonNodeObject) j->namePending &= ~(1u << j->depth);
        continue;
      case '}':
      case ']':
        jsonClose(j, chunk, p);
        return p + 1;
      default:
        break;
    }
    int32_t kind = 0;
    if (c == '"') {
      kind = kJsonNodeString;
    } else if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.') {
      kind = kJsonNodeNumber;
    } else if (c == 't' || c == 'f') {
      kind = kJsonNodeBoolean;
    } else if (c == 'n') {
      kind = kJsonNodeNull;
    } else if (c == '{') {
      kind = kJsonNodeObject;
    } else if (c == '[') {
      kind = kJsonNodeArray;
    } else {
      jsonFail(j, kJsonErrorFieldType, "Unknown field type [%c @ %d:%d]", c, j->line,
               jsonColumn(j, chunk.Offset(p)));
      return p;
    }
    if (j->valueSeen && !j->commaSeen)
      jsonLog(j, "Comma expected [%c @ %d:%d]", c, j->line, jsonColumn(j, chunk.Offset(p)));
    j->valueSeen = false;
    j->commaSeen = false;
    switch (kind) {
      case kJsonNodeString: {
        // A string whole in the chunk, without escapes or line feeds, is
        // handed on in place; reading goes on with what follows it.
        const char *quote = jsonSkipPlain(p + 1, end);
        if (quote < end && *quote == '"') {
          jsonScalar(j, kJsonNodeString, p + 1, int32_t(quote - (p + 1)), chunk.Offset(p + 1));
          p = quote + 1;
          if (j->stopped || j->done) return p;
          continue;
        }
        jsonBeginScalar(j, JsonScalar::String, chunk, p + 1);
        j->stringState = JsonStringState::Plain;
        j->pendingHigh = 0;
        return p + 1;
      }
      case kJsonNodeNumber:
        if (const char *after = jsonScanNumber(p, end)) {
          jsonScalar(j, kJsonNodeNumber, p, int32_t(after - p), chunk.Offset(p));
          p = after;
          if (j->stopped || j->done) return p;
          continue;
        }
        jsonBeginScalar(j, JsonScalar::Number, chunk, p);
        j->numberState = JsonNumberState::Start;
        j->pointSeen = j->exponentSeen = false;
        return p;
      case kJsonNodeBoolean:
      case kJsonNodeNull:
        jsonBeginScalar(j, JsonScalar::Literal, chunk, p);
        j->literalKind = uint8_t(kind);
        j->literalLength = 0;
        return p;
      default:
        jsonOpen(j, kind, chunk, p);
        return p + 1;
    }
  }
  return p;
}

// Reads one chunk; stops early at an error or once the root value is done.
void jsonParseChunk(Json *j, const char *data, int32_t length) {
  JsonChunk chunk{data, data + length, j->total};
  const char *p = data;
  // A scalar carried over from the last chunk continues in the value buffer.
  while (p < chunk.end && !j->stopped && !j->done) {
    switch (j->scalar) {
      case JsonScalar::None:
        p = jsonBetween(j, chunk, p);
        break;
      case JsonScalar::String:
        p = jsonString(j, chunk, p);
        break;
      case JsonScalar::Number:
        p = jsonNumber(j, chunk, p);
        break;
      case JsonScalar::Literal:
        p = jsonLiteral(j, chunk, p);
        break;
    }
  }
  j->total += length;
}

// The end of the input: a number may end here; anything else still open is
// an error.
void jsonParseEnd(Json *j) {
  if (j->stopped || j->done) return;
  if (j->scalar == JsonScalar::Number && j->numberState != JsonNumberState::Exponent &&
      j->numberState != JsonNumberState::Sign) {
    jsonScalar(j, kJsonNodeNumber, j->value, j->valueLength, j->scalarStart);
    if (j->stopped || j->done) return;
  }
  jsonFail(j, kJsonErrorUnknownLength, "Unexpected end of input [%d:%d]", j->line,
           int32_t(j->total - j->lineStart));
}

void jsonBeginParse(Json *j) {
  Json_Reset(j);
  j->containers[0] = j->target;
  void *context = nullptr;
  CallbackFunction function = nullptr;
  j->wantPath = Callback_Get(&j->nodeCallback, &context, &function) != 0 ||
                (Class_LogEnabled(&j->log, kJsonNodeLogLevel) && Log_IsEnabled());
}

int32_t jsonParseResult(Json *j, Stream *stream) {
  int32_t streamError = stream != nullptr ? stream->error : 0;
  if (stream != nullptr && j->errorCode != 0 && stream->error == 0) stream->error = j->errorCode;
  return j->errorCode == 0 && streamError == 0 ? 1 : 0;
}

// ---- Writing ---------------------------------------------------------------

// Output through a 4096-byte buffer to a stream, or straight into a caller's
// buffer.
struct JsonOut {
  Stream *stream;
  char *memory;  // the caller's buffer in memory mode
  int64_t memorySize;
  int64_t length;  // bytes produced so far
  bool failed;     // a write failed or the text did not fit
  int32_t used;
  char buffer[kJsonWriteBufferBytes];
};

void jsonOutFlush(JsonOut *out) {
  if (out->stream == nullptr || out->used == 0) return;
  int32_t written = 0;
  if (!out->failed &&
      (!Stream_Write(out->stream, out->buffer, out->used, &written) || written != out->used))
    out->failed = true;
  out->used = 0;
}

void jsonPut(JsonOut *out, const char *text, int64_t length) {
  if (out->memory != nullptr) {
    int64_t room = out->memorySize - out->length;
    int64_t take = length < room ? length : (room > 0 ? room : 0);
    if (take > 0) memcpy(out->memory + out->length, text, size_t(take));
    if (take < length) out->failed = true;
    out->length += length;
    return;
  }
  out->length += length;
  while (length > 0) {
    int64_t room = kJsonWriteBufferBytes - out->used;
    int64_t take = length < room ? length : room;
    memcpy(out->buffer + out->used, text, size_t(take));
    out->used += int32_t(take);
    text += take;
    length -= take;
    if (out->used == kJsonWriteBufferBytes) jsonOutFlush(out);
  }
}

void jsonPutChar(JsonOut *out, char c) {
  if (out->memory == nullptr && out->used < kJsonWriteBufferBytes) {
    out->buffer[out->used++] = c;
    out->length++;
    if (out->used == kJsonWriteBufferBytes) jsonOutFlush(out);
    return;
  }
  jsonPut(out, &c, 1);
}

int jsonOutSink(void *context, uint32_t, const char *text, int64_t length, int64_t *written) {
  jsonPut(static_cast<JsonOut *>(context), text, length);
  *written = length;
  return 1;
}

void jsonPrint(JsonOut *out, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Str_FormatToSink(format, jsonOutSink, out, args);
  va_end(args);
}

// Bytes that the print engine's "%js" changes.
constexpr bool jsonNeedsEscape(uint8_t b) { return b < 0x20 || b == '"' || b == '\\' || b >= 0x80; }

// Text as a quoted JSON string. Runs that need no escaping are copied; the
// rest goes through "%js", piece by piece between NUL bytes (a precision
// stops at a NUL).
void jsonPutString(JsonOut *out, const char *text, int32_t length) {
  jsonPutChar(out, '"');
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    while (i < length && !jsonNeedsEscape(uint8_t(text[i]))) i++;
    if (i > start) jsonPut(out, text + start, i - start);
    if (i == length) break;
    start = i;
    while (i < length && text[i] != '\0' && jsonNeedsEscape(uint8_t(text[i]))) i++;
    if (i > start) jsonPrint(out, "%.*js", i - start, text + start);
    if (i < length && text[i] == '\0') {
      jsonPut(out, "\\u0000", 6);
      i++;
    }
  }
  jsonPutChar(out, '"');
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool jsonIsNumberText(const char *t, int32_t n) {
  int32_t i = 0;
  if (i < n && t[i] == '-') i++;
  if (i >= n) return false;
  if (t[i] == '0') {
    i++;
  } else if (t[i] >= '1' && t[i] <= '9') {
    while (i < n && t[i] >= '0' && t[i] <= '9') i++;
  } else {
    return false;
  }
  if (i < n && t[i] == '.') {
    i++;
    int32_t digits = i;
    while (i < n && t[i] >= '0' && t[i] <= '9') i++;
    if (i == digits) return false;
  }
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    i++;
    if (i < n && (t[i] == '+' || t[i] == '-')) i++;
    int32_t digits = i;
    while (i < n && t[i] >= '0' && t[i] <= '9') i++;
    if (i == digits) return false;
  }
  return i == n;
}

// A number text that is not valid JSON, as the number readers read it:
// integers keep their digits, other forms become the shortest text of their
// double. Returns 0 (write null) when the text is no number or not finite.
int32_t jsonCanonicalNumber(Dictionary *c, DictionaryItem *item, const char *t, int32_t n,
                            char *buffer, int32_t size) {
  int32_t i = 0;
  bool negative = false;
  if (i < n && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (i + 1 < n && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    int64_t value = 0;
    if (!Dictionary_GetItemInt64(c, item, &value)) return 0;
    auto r = std::to_chars(buffer, buffer + size, value);
    return int32_t(r.ptr - buffer);
  }
  int32_t digitsBefore = 0, digitsAfter = 0, digitsExponent = 0;
  int32_t firstDigit = i;
  while (i < n && t[i] >= '0' && t[i] <= '9') i++, digitsBefore++;
  bool integer = true;
  if (i < n && t[i] == '.') {
    integer = false;
    i++;
    while (i < n && t[i] >= '0' && t[i] <= '9') i++, digitsAfter++;
  }
  if (digitsBefore + digitsAfter == 0) return 0;
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    integer = false;
    i++;
    if (i < n && (t[i] == '+' || t[i] == '-')) i++;
    while (i < n && t[i] >= '0' && t[i] <= '9') i++, digitsExponent++;
    if (digitsExponent == 0) return 0;
  }
  if (i != n) return 0;
  if (integer) {
    while (firstDigit < n - 1 && t[firstDigit] == '0') firstDigit++;
    int32_t digits = n - firstDigit;
    if (digits + 2 > size) return 0;
    int32_t at = 0;
    if (negative) buffer[at++] = '-';
    memcpy(buffer + at, t + firstDigit, size_t(digits));
    return at + digits;
  }
  char text[512];
  if (n >= int32_t(sizeof text)) return 0;
  memcpy(text, t, size_t(n));
  text[n] = '\0';
  double value = Str_ToFloat64(text);
  if (!std::isfinite(value)) return 0;
  auto r = std::to_chars(buffer, buffer + size, value);
  return int32_t(r.ptr - buffer);
}

void jsonPutIndent(JsonOut *out, int32_t level) {
  for (int32_t i = 0; i < level; i++) jsonPut(out, "    ", 4);
}

void jsonPutScalar(JsonOut *out, Dictionary *c, DictionaryItem *item) {
  switch (item->type & kDictionaryTypeMask) {
    case kDictionaryTypeBoolean:
      if (item->type & kDictionaryBooleanBit)
        jsonPut(out, "true", 4);
      else
        jsonPut(out, "false", 5);
      return;
    case kDictionaryTypeInt64:
    case kDictionaryTypeFloat64: {
      const char *text = item->value;
      int32_t length = item->valueLength;
      if (text == nullptr || length <= 0) break;
      if (jsonIsNumberText(text, length)) {
        jsonPut(out, text, length);
        return;
      }
      char canonical[400];
      int32_t n = jsonCanonicalNumber(c, item, text, length, canonical, int32_t(sizeof canonical));
      if (n <= 0) break;
      jsonPut(out, canonical, n);
      return;
    }
    case kDictionaryTypeString:
      jsonPutString(out, item->value != nullptr ? item->value : "", item->valueLength);
      return;
    default:
      break;
  }
  jsonPut(out, "null", 4);  // Null, Unknown, and numbers without a readable text
}

// Depth first without recursion: a tree built through the API may be far
// deeper than the stack allows.
void jsonWriteTree(JsonOut *out, Dictionary *root, bool compact) {
  Dictionary *c = root;
  DictionaryItem *item = root->items.first;
  int32_t level = 0;
  for (;;) {
    if (item == nullptr) {
      if (c == root) return;
      level--;
      if (!compact) jsonPutIndent(out, level);
      DictionaryItem *owner = c->parentItem;
      jsonPutChar(out, (owner->type & kDictionaryTypeMask) == kDictionaryTypeList ? ']' : '}');
      c = c->parent;
      item = owner;
    } else {
      if (!compact && level >= 1) jsonPutIndent(out, level);
      if (item->key != nullptr) {
        jsonPutString(out, item->key, item->keyLength);
        jsonPutChar(out, ':');
        if (!compact) jsonPutChar(out, ' ');
      }
      int32_t type = item->type & kDictionaryTypeMask;
      if (type == kDictionaryTypeList || type == kDictionaryTypeDictionary) {
        jsonPutChar(out, type == kDictionaryTypeList ? '[' : '{');
        if (!compact) jsonPutChar(out, '\n');
        c = item->child;
        item = c->items.first;
        level++;
        continue;
      }
      jsonPutScalar(out, c, item);
    }
    if (item->next != nullptr) jsonPutChar(out, ',');
    if (!compact) jsonPutChar(out, '\n');
    item = item->next;
  }
}

}  // namespace

// ---- Public ------------------------------------------------------------------

int32_t Json_Create(Json **json) noexcept {
  CHECK_POINTER(json);
  auto *j = static_cast<Json *>(MEM_ALLOC(sizeof(Json), MEM_ZEROED));
  j->header.classTag = kJsonTag;
  j->header.refCount.store(1, std::memory_order_relaxed);
  j->header.destroy = jsonDestroy;
  j->log.object = j;
  j->log.className = kJsonClassName;
  j->compact = 1;
  *json = j;
  return 1;
}

void Json_Release(Json **json) noexcept {
  CHECK_POINTER(json);
  JSON_CHECK(*json);
  Class_ReleaseObject(json);
}

int32_t Json_SetDictionary(Json *json, Dictionary *dictionary) noexcept {
  JSON_CHECK(json);
  json->target = dictionary;
  return 1;
}

int32_t Json_GetDictionary(Json *json, Dictionary **dictionary) noexcept {
  JSON_CHECK(json);
  CHECK_POINTER(dictionary);
  *dictionary = json->target;
  return json->target != nullptr;
}

int32_t Json_SetCompact(Json *json, int32_t compact) noexcept {
  JSON_CHECK(json);
  json->compact = compact != 0;
  return 1;
}

int32_t Json_SetSecret(Json *json, int32_t secret) noexcept {
  JSON_CHECK(json);
  json->secret = secret != 0;
  return 1;
}

int32_t Json_GetCompact(Json *json) noexcept {
  JSON_CHECK(json);
  return json->compact;
}

int32_t Json_SetNodeCallback(Json *json, void *context, JsonNodeCallback function) noexcept {
  JSON_CHECK(json);
  Callback_Clear(&json->nodeCallback);
  if (function != nullptr)
    Callback_Set(&json->nodeCallback, context, reinterpret_cast<CallbackFunction>(function));
  return 1;
}

int32_t Json_GetNodeCallback(Json *json, void **context, JsonNodeCallback *function) noexcept {
  JSON_CHECK(json);
  CHECK_POINTER(context);
  CHECK_POINTER(function);
  CallbackFunction raw = nullptr;
  *context = nullptr;
  int32_t set = Callback_Get(&json->nodeCallback, context, &raw) != 0;
  *function = set ? reinterpret_cast<JsonNodeCallback>(raw) : nullptr;
  if (!set) *context = nullptr;
  return set;
}

int32_t Json_Reset(Json *json) noexcept {
  JSON_CHECK(json);
  Json *j = json;
  memset(j->levelType, 0, sizeof j->levelType);
  for (int32_t &index : j->arrayIndex) index = -1;
  memset(j->containers, 0, sizeof j->containers);
  memset(j->nameLength, 0, sizeof j->nameLength);
  memset(j->pathLength, 0, sizeof j->pathLength);
  j->path[0] = '\0';
  j->namePending = 0;
  j->depth = 0;
  j->scalar = JsonScalar::None;
  j->pendingHigh = 0;
  j->valueLength = 0;
  j->line = 0;
  j->lineStart = 0;
  j->total = 0;
  j->valueSeen = j->commaSeen = j->done = j->stopped = false;
  j->errorCode = 0;
  j->nodePosition = 0;
  if (j->target != nullptr) Dictionary_Clear(j->target);
  return 1;
}

int32_t Json_ParseMemory(Json *json, const char *text, int32_t length) noexcept {
  JSON_CHECK(json);
  CHECK_POINTER(text);
  jsonBeginParse(json);
  if (length <= 0) {
    json->errorCode = kJsonErrorZeroLength;
    return 0;
  }
  jsonParseChunk(json, text, length);
  jsonParseEnd(json);
  return jsonParseResult(json, nullptr);
}

int32_t Json_ParseStream(Json *json, Stream *stream) noexcept {
  JSON_CHECK(json);
  CHECK_POINTER(stream);
  jsonBeginParse(json);
  int64_t size = -1;
  if (Stream_GetSize(stream, &size) && size == 0) {
    json->errorCode = kJsonErrorZeroLength;
    return jsonParseResult(json, stream);
  }
  char buffer[kJsonReadBufferBytes];
  while (!json->stopped && !json->done) {
    int32_t got = 0;
    int more = Stream_Read(stream, buffer, kJsonReadBufferBytes, &got);
    if (got > 0) jsonParseChunk(json, buffer, got);
    if (!more || got == 0) break;
  }
  if (json->total == 0 && !json->stopped) {
    json->errorCode = kJsonErrorZeroLength;
    return jsonParseResult(json, stream);
  }
  jsonParseEnd(json);
  return jsonParseResult(json, stream);
}

int32_t Json_ParseFormattedV(Json *json, const char *format, va_list args) noexcept {
  JSON_CHECK(json);
  CHECK_POINTER(format);
  va_list measure;
  va_copy(measure, args);
  int64_t length = Str_FormattedLength(format, measure);
  va_end(measure);
  if (length > INT32_MAX - 1) length = INT32_MAX - 1;
  auto *text = static_cast<char *>(MEM_ALLOC(length + 1, 0));
  StrBuf buffer;
  StrBuf_Init(&buffer, text, length + 1);
  Str_FormatToSink(format, StrBuf_Sink, &buffer, args);
  StrBuf_Finish(&buffer);
  int32_t result = Json_ParseMemory(json, text, int32_t(buffer.length));
  MEM_FREE(text, length + 1);
  return result || json->errorCode == 0 ? 1 : 0;
}

int32_t Json_ParseFormatted(Json *json, const char *format, ...) noexcept {
  va_list args;
  va_start(args, format);
  int32_t result = Json_ParseFormattedV(json, format, args);
  va_end(args);
  return result;
}

int32_t Json_GetErrorCode(Json *json, int32_t *code) noexcept {
  JSON_CHECK(json);
  CHECK_POINTER(code);
  *code = json->errorCode;
  return 1;
}

int32_t Json_SetErrorCode(Json *json, int32_t code) noexcept {
  JSON_CHECK(json);
  json->errorCode = code;
  return 1;
}

const char *Json_ErrorName(int32_t code) noexcept {
  static const char *const kNames[] = {
      "Unknown", "ZeroLength", "UnknownLength", "Type",   "FieldType",       "String",
      "Integer", "Boolean",    "Null",          "DecodeSignature", "Authenticate", "Build",
      "PartLimit"};
  if (code < 0 || code >= int32_t(sizeof kNames / sizeof kNames[0])) return "Unknown";
  return kNames[code];
}

int32_t Json_WriteStream(Json *json, Stream *stream) noexcept {
  JSON_CHECK(json);
  CHECK_POINTER(stream);
  if (json->target == nullptr) return 0;
  auto *out = static_cast<JsonOut *>(MEM_ALLOC(sizeof(JsonOut), MEM_ZEROED));
  out->stream = stream;
  jsonWriteTree(out, json->target, json->compact != 0);
  jsonOutFlush(out);
  bool ok = !out->failed;
  MEM_FREE(out, sizeof(JsonOut));
  return ok ? 1 : 0;
}

int32_t Json_WriteMemory(Json *json, char *buffer, int32_t size, int32_t *length) noexcept {
  JSON_CHECK(json);
  CHECK_POINTER(buffer);
  CHECK_POINTER(length);
  *length = 0;
  if (json->target == nullptr) return 0;
  JsonOut out{};
  out.memory = buffer;
  out.memorySize = size > 0 ? size : 0;
  jsonWriteTree(&out, json->target, json->compact != 0);
  int64_t written = out.length < out.memorySize ? out.length : out.memorySize;
  *length = int32_t(written);
  if (written < out.memorySize) buffer[written] = '\0';
  return out.failed ? 0 : 1;
}

int32_t Json_GetWriteLength(Json *json, int32_t *length) noexcept {
  JSON_CHECK(json);
  CHECK_POINTER(length);
  *length = 0;
  NullStream *null = nullptr;
  NullStream_Create(&null);
  Stream *stream = nullptr;
  NullStream_GetStream(null, &stream);
  int32_t result = Json_WriteStream(json, stream);
  int64_t size = NullStream_GetSize(null);
  NullStream_Release(&null);
  *length = size > INT32_MAX ? INT32_MAX : int32_t(size);
  return result;
}

// ---- Files ------------------------------------------------------------------

namespace {

int jsonParseDocument(void *context, Stream *stream) {
  return Json_ParseStream(static_cast<Json *>(context), stream);
}

int jsonWriteDocument(void *context, Stream *stream) {
  return Json_WriteStream(static_cast<Json *>(context), stream);
}

}  // namespace

int32_t Json_ParseFile(Json *json, const char *path) noexcept {
  JSON_CHECK(json);
  CHECK_POINTER(path);
  return File_ReadDocument(path, &json->log, json, jsonParseDocument);
}

int32_t Json_WriteFile(Json *json, const char *path) noexcept {
  JSON_CHECK(json);
  CHECK_POINTER(path);
  if (json->target == nullptr) return 0;
  return File_WriteDocument(path, &json->log, json, jsonWriteDocument);
}
