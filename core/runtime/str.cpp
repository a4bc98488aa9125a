// Text operations; see str.h.
#include "core/runtime/str.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <limits>

#include "core/runtime/core.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"

namespace {

inline bool strIsBlank(char c) { return c == ' ' || c == '\t'; }
inline bool strIsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool strIsLineBreak(char c) { return c == '\r' || c == '\n'; }

inline char strFold(char c) { return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c; }
inline char strUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - ('a' - 'A')) : c; }

// The terminator is never a member of a set, even though strchr would find it.
inline bool strInSet(char c, const char *set) { return c != 0 && strchr(set, c) != nullptr; }

inline int strHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline bool strHasHexPrefix(const char *p) { return p[0] == '0' && (p[1] == 'x' || p[1] == 'X'); }

// Shifts the tail of a text starting at from to the start of str.
inline void strMoveToFront(char *str, const char *from) {
  if (from != str) memmove(str, from, strlen(from) + 1);
}

inline int strSetFound(const char *found, const char **pos) {
  *pos = found;
  return found != nullptr;
}

}  // namespace

// ---- Copying and building -------------------------------------------------

int Str_Copy(char *dst, const char *src, int size) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  return Str_CopyN(dst, size, src, INT_MAX);
}

int Str_Set(char *dst, const char *src, int size) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  if (size < 1) return 0;
  int copied = Str_CopyN(dst, size, src, INT_MAX);
  return src[copied] == '\0';
}

int Str_Cat(char *dst, const char *src, int size) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  if (size < 1) return 0;
  size_t used = strnlen(dst, size_t(size));
  if (used >= size_t(size)) return 0;  // no terminator within size: nothing is safe to append
  return Str_CopyN(dst + used, size - int(used), src, INT_MAX);
}

int Str_CopyN(char *dst, int size, const char *src, int count) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  if (size < 1) return 0;
  int limit = count < size - 1 ? count : size - 1;
  int n = 0;
  while (n < limit && src[n] != '\0') {
    dst[n] = src[n];
    n++;
  }
  dst[n] = '\0';
  return n;
}

int Str_CopyName(char *dst, const char *src, int size) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  if (size < 1) return 0;
  int limit = size - 1 < kStrNameMaxCharacters ? size - 1 : kStrNameMaxCharacters;
  int n = 0;
  while (n < limit && src[n] != '\0' && src[n] != '=' && !strIsBlank(src[n])) {
    dst[n] = src[n];
    n++;
  }
  dst[n] = '\0';
  return n;
}

int Str_GetPathComponent(const char *path, int index, char *out) {
  CHECK_POINTER(path);
  CHECK_POINTER(out);
  out[0] = '\0';
  if (index < 0) return 0;
  const char *start = path;
  for (int i = 0; i < index; i++) {
    start = strchr(start, '\\');
    if (start == nullptr) return 0;
    start++;
  }
  const char *end = strchr(start, '\\');
  size_t length = end ? size_t(end - start) : strlen(start);
  if (length > size_t(kStrPathComponentBytes - 1)) return 0;
  memcpy(out, start, length);
  out[length] = '\0';
  return 1;
}

int Str_InsertBlanks(char *str, int size, int count) {
  CHECK_POINTER(str);
  size_t length = strlen(str);
  if (count < 0 || int64_t(count) + 1 + int64_t(length) > int64_t(size)) return 0;
  memmove(str + count, str, length + 1);
  memset(str, ' ', size_t(count));
  return 1;
}

int Str_CutLeft(char *str, int count) {
  CHECK_POINTER(str);
  size_t length = strlen(str);
  if (count < 0 || size_t(count) > length) return 0;
  strMoveToFront(str, str + count);
  return 1;
}

int Str_ReplaceChar(char from, char to, char *str) {
  CHECK_POINTER(str);
  int replaced = 0;
  if (from == '\0') return 0;
  for (char *p = str; *p != '\0'; p++) {
    if (*p == from) {
      *p = to;
      replaced++;
      if (to == '\0') break;  // the text ends here now
    }
  }
  return replaced;
}

int Str_ReplaceAll(const char *find, const char *replacement, char *str, int size) {
  CHECK_POINTER(find);
  CHECK_POINTER(replacement);
  CHECK_POINTER(str);
  size_t findLength = strlen(find);
  size_t textLength = strlen(str);
  if (findLength == 0 || textLength == 0) return 0;
  size_t replacementLength = strlen(replacement);

  // Count first, so that a result that does not fit changes nothing.
  int64_t count = 0;
  for (const char *p = strstr(str, find); p; p = strstr(p + findLength, find)) count++;
  int64_t newLength =
      int64_t(textLength) + count * (int64_t(replacementLength) - int64_t(findLength));
  if (newLength > int64_t(size) - 1) return 0;
  if (count == 0) return 1;

  // Built aside and copied back: a longer replacement would otherwise
  // overwrite text not yet scanned.
  char *result = static_cast<char *>(MEM_ALLOC(newLength + 1, 0));
  char *w = result;
  const char *r = str;
  for (const char *p = strstr(r, find); p; p = strstr(r, find)) {
    memcpy(w, r, size_t(p - r));
    w += p - r;
    memcpy(w, replacement, replacementLength);
    w += replacementLength;
    r = p + findLength;
  }
  size_t rest = strlen(r);
  memcpy(w, r, rest + 1);
  memcpy(str, result, size_t(newLength) + 1);
  MEM_FREE(result, newLength + 1);
  return 1;
}

void Str_ToUpper(char *str) {
  CHECK_POINTER(str);
  for (char *p = str; *p != '\0'; p++) *p = strUpper(*p);
}

void Str_ToLower(char *str) {
  CHECK_POINTER(str);
  for (char *p = str; *p != '\0'; p++) *p = strFold(*p);
}

void Str_Unescape(char *str, char esc) {
  CHECK_POINTER(str);
  if (esc == '\0') return;
  char *w = str;
  for (const char *r = str; *r != '\0'; r++) {
    if (*r == esc) {
      r++;
      if (*r == '\0') break;
    }
    *w++ = *r;
  }
  *w = '\0';
}

int Str_Random(char *buffer, int size) {
  CHECK_POINTER(buffer);
  if (size < 1) return 1;
  constexpr int kChunkBytes = 64;
  uint8_t bytes[kChunkBytes];
  int n = 0;
  while (n < size - 1) {
    int chunk = size - 1 - n < kChunkBytes ? size - 1 - n : kChunkBytes;
    Platform_RandomBytes(bytes, size_t(chunk));
    for (int i = 0; i < chunk; i++) {
      int value = bytes[i] % 35;
      if (value < 26)
        buffer[n++] = char(((value & 1) ? 'A' : 'a') + value);
      else
        buffer[n++] = char('1' + value - 26);
    }
  }
  buffer[n] = '\0';
  return 1;
}

namespace {

// GUIDs come from a per-thread buffer of random bytes: one system call per
// 32 GUIDs instead of one each, which would otherwise dominate small work
// that makes an object with an instance id (a 64-byte one-shot hash). GUIDs
// need uniqueness, not secrecy; child processes are started by exec, so no
// buffer is shared across a fork.
constexpr size_t kStrGuidPoolBytes = 512;

void strTakeGuidBytes(uint8_t guid[16]) {
  thread_local uint8_t pool[kStrGuidPoolBytes];
  thread_local size_t used = kStrGuidPoolBytes;
  if (used == kStrGuidPoolBytes) {
    Platform_RandomBytes(pool, sizeof pool);
    used = 0;
  }
  memcpy(guid, pool + used, 16);
  memset(pool + used, 0, 16);  // each GUID is handed out once
  used += 16;
}

}  // namespace

int Str_CreateGuid(char *buffer, int size) {
  CHECK_POINTER(buffer);
  if (size < kStrGuidBytes) {
    if (size >= 1) buffer[0] = '\0';
    return 0;
  }
  uint8_t guid[16];
  strTakeGuidBytes(guid);
  // Version 4 and the standard variant, placed as the GUID's fields lie in
  // memory (the third field little-endian, so its high nibble is in byte 7).
  guid[7] = uint8_t((guid[7] & 0x0F) | 0x40);
  guid[8] = uint8_t((guid[8] & 0x3F) | 0x80);
  return Str_HexEncode(guid, sizeof guid, 1, buffer, size);
}

int Str_HexEncode(const void *data, int64_t length, int lowerCase, char *out, int64_t size) {
  CHECK_POINTER(data);
  CHECK_POINTER(out);
  if (size < 1)
    Core_Abort(KSRC, "Assertion failed (MaxHex > 0)\nUnable to null terminate hex string");
  const char *digits = lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
  auto *bytes = static_cast<const uint8_t *>(data);
  int64_t i = 0;
  int64_t w = 0;
  while (i < length && size - w >= 3) {
    out[w++] = digits[bytes[i] >> 4];
    out[w++] = digits[bytes[i] & 0x0F];
    i++;
  }
  out[w] = '\0';
  return i >= length;
}

int Str_HexDecode(const char *hex, int64_t hexLength, void *out, int64_t size, int64_t *outLength) {
  CHECK_POINTER(hex);
  CHECK_POINTER(out);
  CHECK_POINTER(outLength);
  auto *bytes = static_cast<uint8_t *>(out);
  if (hexLength < 0) hexLength = 0;
  int64_t i = (hexLength >= 2 && strHasHexPrefix(hex)) ? 2 : 0;
  int64_t w = 0;
  while (i + 1 < hexLength && w < size) {
    int high = strHexValue(hex[i]);
    int low = strHexValue(hex[i + 1]);
    if (high < 0 || low < 0) break;
    bytes[w++] = uint8_t(high << 4 | low);
    i += 2;
  }
  if (w < size) bytes[w] = 0;
  *outLength = w;
  return i >= hexLength;
}

// ---- Trimming -------------------------------------------------------------

void Str_TrimLeft(char *str) {
  CHECK_POINTER(str);
  const char *p = str;
  while (strIsBlank(*p)) p++;
  strMoveToFront(str, p);
}

void Str_TrimRightChar(char *str, char ch) {
  CHECK_POINTER(str);
  if (ch == '\0') return;
  size_t n = strlen(str);
  while (n > 0 && str[n - 1] == ch) n--;
  str[n] = '\0';
}

void Str_TrimLeftChars(char *str, const char *set) {
  CHECK_POINTER(str);
  CHECK_POINTER(set);
  const char *p = str;
  while (strInSet(*p, set)) p++;
  strMoveToFront(str, p);
}

void Str_TrimRightChars(char *str, const char *set) {
  CHECK_POINTER(str);
  CHECK_POINTER(set);
  int newLength = 0;
  Str_TrimRightCharsN(str, set, int(strlen(str)), &newLength);
}

void Str_TrimRightCharsN(char *str, const char *set, int length, int *newLength) {
  CHECK_POINTER(str);
  CHECK_POINTER(set);
  CHECK_POINTER(newLength);
  int n = length > 0 ? length : 0;
  while (n > 0 && strInSet(str[n - 1], set)) n--;
  if (n < length) str[n] = '\0';
  *newLength = n;
}

void Str_TrimChars(char *str, const char *set) {
  Str_TrimLeftChars(str, set);
  Str_TrimRightChars(str, set);
}

void Str_TrimWhitespace(char *str) { Str_TrimChars(str, "\t\r\n "); }

// ---- Comparing ------------------------------------------------------------

int Str_Compare(const char *a, const char *b) {
  CHECK_POINTER(a);
  CHECK_POINTER(b);
  while (*a != '\0' && *a == *b) {
    a++;
    b++;
  }
  return int(uint8_t(*a)) - int(uint8_t(*b));
}

int Str_CompareNoCase(const char *a, const char *b) {
  CHECK_POINTER(a);
  CHECK_POINTER(b);
  for (;; a++, b++) {
    char ca = strFold(*a);
    char cb = strFold(*b);
    if (ca == cb) {
      if (ca == '\0') return 0;
      continue;
    }
    // Decided before the signed compare: a terminator (0) would otherwise
    // sort after bytes of 0x80 and above.
    if (ca == '\0') return -1;
    if (cb == '\0') return 1;
    return int8_t(ca) < int8_t(cb) ? -1 : 1;
  }
}

namespace {

int strEqualN(const char *a, const char *b, int n, bool noCase) {
  CHECK_POINTER(a);
  CHECK_POINTER(b);
  for (int i = 0; i < n; i++) {
    char ca = noCase ? strFold(a[i]) : a[i];
    char cb = noCase ? strFold(b[i]) : b[i];
    if (ca != cb) return 0;
    if (ca == '\0') return 1;
  }
  return 1;
}

int strStartsWith(const char *str, const char *prefix, bool noCase) {
  CHECK_POINTER(str);
  CHECK_POINTER(prefix);
  for (; *prefix != '\0'; str++, prefix++) {
    if (noCase ? strFold(*str) != strFold(*prefix) : *str != *prefix) return 0;
  }
  return 1;
}

int strEndsWith(const char *str, const char *suffix, bool noCase) {
  CHECK_POINTER(str);
  CHECK_POINTER(suffix);
  size_t length = strlen(str);
  size_t suffixLength = strlen(suffix);
  if (suffixLength > length) return 0;
  return strStartsWith(str + length - suffixLength, suffix, noCase);
}

}  // namespace

int Str_EqualN(const char *a, const char *b, int n) { return strEqualN(a, b, n, false); }
int Str_EqualNoCaseN(const char *a, const char *b, int n) { return strEqualN(a, b, n, true); }
int Str_StartsWith(const char *s, const char *p) { return strStartsWith(s, p, false); }
int Str_StartsWithNoCase(const char *s, const char *p) { return strStartsWith(s, p, true); }
int Str_EndsWith(const char *s, const char *x) { return strEndsWith(s, x, false); }
int Str_EndsWithNoCase(const char *s, const char *x) { return strEndsWith(s, x, true); }

int Str_ToBool(const char *text, int *value, int defaultValue) {
  CHECK_POINTER(text);
  CHECK_POINTER(value);
  constexpr struct {
    const char *text;
    int value;
  } kWords[] = {{"1", 1}, {"TRUE", 1},  {"YES", 1}, {"ON", 1},
                {"0", 0}, {"FALSE", 0}, {"NO", 0},  {"OFF", 0}};
  char head[10];
  int n = 0;
  for (; n < 9 && text[n] != '\0'; n++) head[n] = strUpper(text[n]);
  head[n] = '\0';
  *value = defaultValue;
  if (n == 0) return 1;
  for (const auto &word : kWords) {
    if (strcmp(head, word.text) == 0) {
      *value = word.value;
      return 1;
    }
  }
  return 0;
}

// ---- Searching ------------------------------------------------------------

int Str_FindChar(const char *str, char ch, const char **pos) {
  CHECK_POINTER(str);
  CHECK_POINTER(pos);
  return strSetFound(strchr(str, ch), pos);
}

int Str_FindSpace(const char *str, int maxLength, const char **pos) {
  CHECK_POINTER(str);
  CHECK_POINTER(pos);
  for (int i = 0; i < maxLength && str[i] != '\0'; i++)
    if (strIsBlank(str[i])) return strSetFound(str + i, pos);
  return strSetFound(nullptr, pos);
}

int Str_FindAnyOf(const char *str, const char *set, const char **pos) {
  return Str_FindAnyOfN(str, INT_MAX, set, pos);
}

int Str_FindAnyOfN(const char *str, int maxLength, const char *set, const char **pos) {
  CHECK_POINTER(str);
  CHECK_POINTER(set);
  CHECK_POINTER(pos);
  for (int i = 0; i < maxLength && str[i] != '\0'; i++)
    if (strInSet(str[i], set)) return strSetFound(str + i, pos);
  return strSetFound(nullptr, pos);
}

int Str_FindLastChar(const char *str, char ch, const char **pos) {
  CHECK_POINTER(str);
  CHECK_POINTER(pos);
  return strSetFound(strrchr(str, ch), pos);
}

int Str_FindLastKeySeparator(const char *str, const char **pos) {
  CHECK_POINTER(str);
  CHECK_POINTER(pos);
  const char *last = nullptr;
  for (const char *p = str; *p != '\0'; p++)
    if (*p == '.' || *p == '[' || *p == '\\') last = p;
  return strSetFound(last, pos);
}

int Str_Find(const char *str, const char *sub, const char **pos) {
  CHECK_POINTER(str);
  CHECK_POINTER(sub);
  CHECK_POINTER(pos);
  return strSetFound(strstr(str, sub), pos);
}

int Str_FindNoCase(const char *str, const char *sub, const char **pos) {
  CHECK_POINTER(str);
  CHECK_POINTER(sub);
  CHECK_POINTER(pos);
  for (const char *p = str;; p++) {
    if (strStartsWith(p, sub, true)) return strSetFound(p, pos);
    if (*p == '\0') return strSetFound(nullptr, pos);
  }
}

int Str_FindN(const char *str, int length, const char *sub, const char **pos) {
  CHECK_POINTER(str);
  CHECK_POINTER(sub);
  CHECK_POINTER(pos);
  size_t searched = strnlen(str, length > 0 ? size_t(length) : 0);
  return Mem_Find(str, int64_t(searched), sub, int64_t(strlen(sub)), pos);
}

int Str_FindLast(const char *str, const char *sub, const char **pos) {
  CHECK_POINTER(str);
  CHECK_POINTER(sub);
  CHECK_POINTER(pos);
  size_t length = strlen(str);
  size_t subLength = strlen(sub);
  if (subLength > length) return strSetFound(nullptr, pos);
  for (size_t i = length - subLength + 1; i-- > 0;)
    if (memcmp(str + i, sub, subLength) == 0) return strSetFound(str + i, pos);
  return strSetFound(nullptr, pos);
}

int Mem_Find(const char *buffer, int64_t length, const char *pattern, int64_t patternLength,
             const char **pos) {
  CHECK_POINTER(buffer);
  CHECK_POINTER(pattern);
  CHECK_POINTER(pos);
  if (patternLength < 0 || length < 0 || patternLength > length) return strSetFound(nullptr, pos);
  if (patternLength == 0) return strSetFound(buffer, pos);
  // Only positions where the whole pattern still fits are candidates.
  const char *p = buffer;
  const char *last = buffer + (length - patternLength);
  while (p <= last) {
    p = static_cast<const char *>(memchr(p, pattern[0], size_t(last - p) + 1));
    if (p == nullptr) break;
    if (memcmp(p, pattern, size_t(patternLength)) == 0) return strSetFound(p, pos);
    p++;
  }
  return strSetFound(nullptr, pos);
}

int Mem_FindDot(const char *buffer, int64_t length, const char **pos) {
  CHECK_POINTER(buffer);
  CHECK_POINTER(pos);
  if (length <= 0) return strSetFound(nullptr, pos);
  return strSetFound(static_cast<const char *>(memchr(buffer, '.', size_t(length))), pos);
}

// ---- Numbers --------------------------------------------------------------

namespace {

// Reads the digits of base 10 or 16 at p. Sets *overflow when the value
// passed UINT64_MAX (it then stays UINT64_MAX, as strtoull answers) and
// *digitCount (when given) to the digits read. Returns the value.
uint64_t strAccumulate(const char *p, int base, bool *overflow, int *digitCount) {
  uint64_t value = 0;
  *overflow = false;
  int count = 0;
  for (;; p++, count++) {
    int digit = base == 16 ? strHexValue(*p) : (strIsDigit(*p) ? *p - '0' : -1);
    if (digit < 0) break;
    if (*overflow) continue;
    if (value > (UINT64_MAX - uint64_t(digit)) / uint64_t(base)) {
      *overflow = true;
      value = UINT64_MAX;
      continue;
    }
    value = value * uint64_t(base) + uint64_t(digit);
  }
  if (digitCount) *digitCount = count;
  return value;
}

// A hex number after "0x": its bit pattern, negated when negative, all bits
// set when it does not fit 64 bits (strtoull's rule).
uint64_t strHexBits(const char *digits, bool negative, int *digitCount) {
  bool overflow = false;
  uint64_t value = strAccumulate(digits, 16, &overflow, digitCount);
  if (overflow) return UINT64_MAX;
  return negative ? 0 - value : value;
}

// The sign at p: -1, 1 for '+' or nothing; advances past it.
int strReadSign(const char **p) {
  if (**p == '-' || **p == '+') return *(*p)++ == '-' ? -1 : 1;
  return 1;
}

}  // namespace

int64_t Str_ToInt64(const char *text) {
  if (text == nullptr) return 0;
  const char *p = text;
  bool negative = strReadSign(&p) < 0;
  if (strHasHexPrefix(p)) return int64_t(strHexBits(p + 2, negative, nullptr));
  bool overflow = false;
  uint64_t magnitude = strAccumulate(p, 10, &overflow, nullptr);
  constexpr uint64_t kMinMagnitude = uint64_t(INT64_MAX) + 1;
  if (negative) {
    if (overflow || magnitude >= kMinMagnitude) return INT64_MIN;
    return -int64_t(magnitude);
  }
  if (overflow || magnitude > uint64_t(INT64_MAX)) return INT64_MAX;
  return int64_t(magnitude);
}

uint64_t Str_ToUInt64(const char *text) {
  if (text == nullptr) return 0;
  const char *p = text;
  if (strReadSign(&p) < 0) return 0;
  if (strHasHexPrefix(p)) return strHexBits(p + 2, false, nullptr);
  bool overflow = false;
  return strAccumulate(p, 10, &overflow, nullptr);
}

int Str_ParseHexInt64(const char *text, int64_t *value) {
  CHECK_POINTER(text);
  CHECK_POINTER(value);
  *value = 0;
  if (!strHasHexPrefix(text)) return 0;
  int digits = 0;
  uint64_t bits = strHexBits(text + 2, false, &digits);
  if (digits == 0) return 0;
  *value = int64_t(bits);
  return 1;
}

namespace {

// Where a decimal number of the grammar ends, and roughly how large it is: the
// power of ten of its leading digit. The estimate only decides between
// infinity and zero when the exact conversion is out of range, where it is
// hundreds of powers away from 0.
struct StrDecimalScan {
  const char *end;
  bool hasDigits;
  int64_t magnitude;
};

StrDecimalScan strScanDecimal(const char *p) {
  StrDecimalScan scan{p, false, 0};
  int64_t leading = 0;  // integer digits after leading zeros, or -zeros in the fraction
  bool seenNonZero = false;
  for (; strIsDigit(*p); p++) {
    scan.hasDigits = true;
    if (*p != '0') seenNonZero = true;
    if (seenNonZero && leading < INT32_MAX) leading++;
  }
  if (*p == '.') {
    p++;
    for (; strIsDigit(*p); p++) {
      scan.hasDigits = true;
      if (!seenNonZero) {
        if (*p != '0')
          seenNonZero = true;
        else if (leading > INT32_MIN)
          leading--;
      }
    }
  }
  if (!scan.hasDigits) return scan;
  scan.end = p;
  if (*p == 'e' || *p == 'E') {
    const char *q = p + 1;
    int sign = strReadSign(&q);
    if (strIsDigit(*q)) {
      int64_t exponent = 0;
      for (; strIsDigit(*q); q++)
        if (exponent < INT32_MAX) exponent = exponent * 10 + (*q - '0');
      scan.end = q;
      leading += sign * exponent;
    }
  }
  scan.magnitude = leading;
  return scan;
}

}  // namespace

double Str_ToFloat64(const char *text) {
  if (text == nullptr) return 0.0;
  const char *p = text;
  bool negative = strReadSign(&p) < 0;
  double value = 0.0;
  if (strHasHexPrefix(p)) {
    const char *end = p + 2;
    while (strHexValue(*end) >= 0) end++;
    // "0x" without digits is the number 0, as strtod reads it.
    if (end > p + 2) {
      auto result = std::from_chars(p + 2, end, value, std::chars_format::hex);
      if (result.ec == std::errc::result_out_of_range)
        value = std::numeric_limits<double>::infinity();
    }
  } else {
    StrDecimalScan scan = strScanDecimal(p);
    if (!scan.hasDigits) return 0.0;
    // from_chars rounds correctly but leaves the value alone when the result
    // is out of range; strtod then answers infinity or zero.
    auto result = std::from_chars(p, scan.end, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range)
      value = scan.magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -value : value;
}

int Str_IsNumber(const char *text) {
  CHECK_POINTER(text);
  const char *p = text;
  if (*p == '-') p++;
  int digits = 0;
  for (; *p != '\0'; p++) {
    if (strIsDigit(*p))
      digits++;
    else if (*p != '.')
      return 0;
  }
  return digits > 0;
}

namespace {

// Reads a decimal number of at most max; digits beyond it fail at once, so
// the value cannot overflow however long the text is.
bool strReadBounded(const char **p, int64_t max, int64_t *value) {
  if (!strIsDigit(**p)) return false;
  int64_t v = 0;
  for (; strIsDigit(**p); (*p)++) {
    v = v * 10 + (**p - '0');
    if (v > max) return false;
  }
  *value = v;
  return true;
}

}  // namespace

int Str_ParseIPv4(const char *text, uint32_t *address, int *port) {
  CHECK_POINTER(text);
  CHECK_POINTER(address);
  CHECK_POINTER(port);
  if (strcmp(text, "::1") == 0) {
    *address = 0x0100007F;
    return 1;
  }
  const char *p = text;
  uint32_t parsed = 0;
  for (int part = 0; part < 4; part++) {
    int64_t octet = 0;
    if (!strReadBounded(&p, 255, &octet)) return 0;
    parsed |= uint32_t(octet) << (8 * part);
    if (part < 3 && *p++ != '.') return 0;
  }
  int64_t portValue = -1;
  if (*p == ':') {
    p++;
    if (!strReadBounded(&p, 65535, &portValue)) return 0;
  }
  if (*p != '\0') return 0;
  *address = parsed;
  if (portValue >= 0) *port = int(portValue);
  return 1;
}

namespace {

bool strParseVersionParts(const char *text, int32_t parts[4]) {
  const char *p = text;
  if (*p == 'v' || *p == 'V') p++;
  for (int i = 0; i < 4; i++) parts[i] = 0;
  for (int n = 0;; n++) {
    int64_t value = 0;
    if (n == 4 || !strReadBounded(&p, INT32_MAX, &value)) return false;
    parts[n] = int32_t(value);
    if (*p == '\0') return true;
    if (*p != '.' && *p != ',') return false;
    p++;
  }
}

}  // namespace

int Str_ParseVersion(const char *text, int32_t *major, int32_t *minor, int32_t *build,
                     int32_t *revision) {
  CHECK_POINTER(text);
  CHECK_POINTER(major);
  CHECK_POINTER(minor);
  CHECK_POINTER(build);
  CHECK_POINTER(revision);
  int32_t parts[4];
  if (!strParseVersionParts(text, parts)) return 0;
  *major = parts[0];
  *minor = parts[1];
  *build = parts[2];
  *revision = parts[3];
  return 1;
}

int Str_CompareVersion(const char *a, const char *b, int *result) {
  CHECK_POINTER(a);
  CHECK_POINTER(b);
  CHECK_POINTER(result);
  int32_t partsA[4];
  int32_t partsB[4];
  if (!strParseVersionParts(a, partsA) || !strParseVersionParts(b, partsB)) return 0;
  *result = 0;
  for (int i = 0; i < 4 && *result == 0; i++) {
    if (partsA[i] != partsB[i]) *result = partsA[i] > partsB[i] ? 1 : -1;
  }
  return 1;
}

// ---- Fields, lines and patterns -------------------------------------------

namespace {

inline bool strIsControlOrBlank(char c) { return uint8_t(c) < 33 && c != '\0'; }

}  // namespace

int Str_GetToken(const char *text, char separator, int mode, int index, char *out, int size) {
  CHECK_POINTER(text);
  CHECK_POINTER(out);
  if (size < 1) return 0;
  out[0] = '\0';
  if (text[0] == '\0' || index < 0) return 0;
  const char *start = text;
  for (int i = 0; i < index; i++) {
    start = separator != '\0' ? strchr(start, separator) : nullptr;
    if (start == nullptr) return 0;
    start++;
    if (mode == 1)
      while (strIsControlOrBlank(*start)) start++;
  }
  const char *end = separator != '\0' ? strchr(start, separator) : nullptr;
  if (end == nullptr) end = start + strlen(start);
  if (mode == 1)
    while (end > start && strIsControlOrBlank(end[-1])) end--;
  int64_t length = end - start;
  int copied = Str_CopyN(out, size, start, length < INT_MAX ? int(length) : INT_MAX);
  return copied < size - 1;
}

int Str_ReadLine(const char *buffer, int length, char *line, int *consumed) {
  CHECK_POINTER(buffer);
  CHECK_POINTER(line);
  CHECK_POINTER(consumed);
  int i = 0;
  int n = 0;
  while (i < length) {
    if (i + 1 < length && strIsLineBreak(buffer[i]) && strIsLineBreak(buffer[i + 1])) {
      line[n] = '\0';
      *consumed = i + 2;
      return 1;
    }
    if (n == kStrLineBytes - 1) break;
    line[n++] = buffer[i++];
  }
  line[n] = '\0';
  *consumed = i;
  return 0;
}

int Str_MatchWildcard(const char *text, const char *pattern, char stopChar, int noCase) {
  CHECK_POINTER(text);
  CHECK_POINTER(pattern);
  auto atEnd = [stopChar](const char *p) { return *p == '\0' || *p == stopChar; };
  auto same = [noCase](char a, char b) { return noCase ? strFold(a) == strFold(b) : a == b; };
  // Greedy with one backtrack point: on a mismatch, only the most recent '*'
  // needs to take one more character. An earlier '*' never has to, because
  // whatever it could absorb the later one can absorb too; so the work stays
  // O(text x pattern) where trying every position of every '*' is
  // exponential.
  const char *t = text;
  const char *p = pattern;
  const char *starPattern = nullptr;
  const char *starText = nullptr;
  while (*t != '\0') {
    if (!atEnd(p)) {
      if (*p == '*') {
        starPattern = ++p;
        starText = t;
        continue;
      }
      bool escaped = p[0] == '\\' && p[1] == '*';
      if (same(escaped ? '*' : *p, *t)) {
        p += escaped ? 2 : 1;
        t++;
        continue;
      }
    }
    if (starPattern == nullptr) return 0;
    p = starPattern;
    t = ++starText;
  }
  while (*p == '*' && !atEnd(p)) p++;
  return atEnd(p);
}

int Str_MatchWildcardList(const char *text, const char *list) {
  CHECK_POINTER(text);
  CHECK_POINTER(list);
  if (strcmp(list, "*") == 0) return 1;
  if (list[0] == '\0') return 0;
  for (const char *pattern = list;;) {
    if (Str_MatchWildcard(text, pattern, ';', 1)) return 1;
    pattern = strchr(pattern, ';');
    if (pattern == nullptr) return 0;
    pattern++;
    while (strIsBlank(*pattern)) pattern++;
  }
}
