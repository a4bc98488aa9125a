// UTF-8, UTF-16 and UTF-32 conversion, UTF-16 helpers and HTML character
// references; see strw.h.
#include "core/runtime/strw.h"

#include <cstdlib>
#include <cstring>

#include "core/runtime/core.h"

namespace {

// The smallest code point that needs a sequence of n bytes; anything below is
// an overlong form.
constexpr uint32_t kMinForLength[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};

inline bool strwIsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
inline bool strwIsHigh(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool strwIsLow(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// What may be written out as a character: Unicode scalar values only.
inline uint32_t strwScalar(uint32_t c) {
  return (strwIsSurrogate(c) || c > kStrWMaxCodePoint) ? kStrWReplacement : c;
}

inline uint32_t strwFold(uint32_t u) { return (u >= 'A' && u <= 'Z') ? u + 32 : u; }

// One character in the output's encoding; returns the units (1 to 4).
inline int strwEncode(uint32_t c, char *out) {
  int n = 0;
  StrW_EncodeUtf8(out, 4, strwScalar(c), &n);
  return n;
}
inline int strwEncode(uint32_t c, char16_t *out) {
  c = strwScalar(c);
  if (c < 0x10000) {
    out[0] = char16_t(c);
    return 1;
  }
  c -= 0x10000;
  out[0] = char16_t(0xD800 + (c >> 10));
  out[1] = char16_t(0xDC00 + (c & 0x3FF));
  return 2;
}

// A bounded output of size units that takes whole characters only and keeps
// room for the terminator.
template <typename Ch>
struct StrwOut {
  Ch *dst;
  int size;
  int length = 0;
  bool cut = false;

  StrwOut(Ch *d, int s) : dst(d), size(s) {}
  bool put(const Ch *units, int n) {
    if (cut || n > size - 1 - length) {
      cut = true;
      return false;
    }
    memcpy(dst + length, units, size_t(n) * sizeof(Ch));
    length += n;
    return true;
  }
  bool putCodePoint(uint32_t c) {
    Ch units[4];
    return put(units, strwEncode(c, units));
  }
  // Terminates; returns 1 when nothing was cut.
  int finish() {
    if (size >= 1) dst[length] = 0;
    return (cut || size < 1) ? 0 : 1;
  }
};

// Reads UTF-16 units to code points: pairs joined, lone surrogates U+FFFD.
// get(i) gives unit i; a 0 unit or count ends the text. Calls emit(c) per code
// point until it answers false.
template <typename Get, typename Emit>
void strwWalkUtf16(Get get, int count, Emit emit) {
  for (int i = 0; i < count;) {
    uint32_t c = get(i++);
    if (c == 0) break;
    if (strwIsHigh(c) && i < count && strwIsLow(get(i)))
      c = 0x10000 + ((c - 0xD800) << 10) + (get(i++) - 0xDC00);
    else if (strwIsSurrogate(c))
      c = kStrWReplacement;
    if (!emit(c)) break;
  }
}

// UTF-16 units into UTF-8: the common body of the ToUtf8 family.
template <typename Get>
int strwUtf16ToUtf8(char *dst, int size, Get get, int count) {
  if (size < 1) return 0;
  int written = 0;
  strwWalkUtf16(get, count, [&](uint32_t c) {
    int n = 0;
    StrW_EncodeUtf8(dst + written, size - 1 - written, c, &n);
    written += n;
    return n > 0;  // 0: no room for this sequence and the terminator
  });
  dst[written] = '\0';
  return written;
}

// UTF-8 into UTF-16. srcLength -1 reads to the terminator; otherwise at most
// srcLength bytes, and a sequence cut by that limit ends the text.
int strwFromUtf8(char16_t *dst, const char *src, int64_t srcLength, int capacity,
                 int *truncated) {
  StrwOut<char16_t> out(dst, capacity);
  int64_t i = 0;
  while (srcLength < 0 || i < srcLength) {
    uint32_t c = 0;
    int n = 0;
    const char *at = src + i;
    char bounded[7] = {};
    if (srcLength >= 0 && srcLength - i < 6) {
      // Near the limit, decode from a copy ended by a terminator.
      for (int64_t j = 0; j < srcLength - i && at[j] != 0; j++) bounded[j] = at[j];
      at = bounded;
    }
    if (*at == 0 || !StrW_DecodeUtf8Sequence(at, &c, &n)) break;
    if (!out.putCodePoint(c)) break;
    i += n;
  }
  if (truncated) *truncated = out.cut ? 1 : 0;
  out.finish();
  return out.length;
}

// Blocks of the runtime heap for the StrW_Alloc family; running out stops the
// program as Mem_Alloc does.
char16_t *strwHeapUnits(size_t count) {
  void *block = calloc(count, sizeof(char16_t));
  if (block == nullptr)
    Core_Abort(KSRC, "No Zeroed Memory available (%lld / %lld)\n", (long long)count,
               (long long)(count * sizeof(char16_t)));
  return static_cast<char16_t *>(block);
}

// Converts the first bytes of src into a fresh block; one unit per byte and
// the terminator always suffice.
char16_t *strwAllocFromUtf8(const char *src, size_t bytes) {
  if (bytes >= size_t(INT32_MAX))
    Core_Abort(KSRC, "Invalid Memory Size (%lld)\n", (long long)bytes);
  char16_t *units = strwHeapUnits(bytes + 1);
  strwFromUtf8(units, src, int64_t(bytes), int(bytes + 1), nullptr);
  return units;
}

// 1 when the first n units of a and b agree with A-Z folded; a shorter a
// fails at its terminator.
int strwEqualFoldedN(const char16_t *a, const char16_t *b, int n) {
  for (int i = 0; i < n; i++)
    if (a[i] == 0 || strwFold(a[i]) != strwFold(b[i])) return 0;
  return 1;
}

// The first ';' at or after s, or the terminator.
template <typename Ch>
const Ch *strwFindSemicolon(const Ch *s) {
  while (*s != 0 && *s != ';') s++;
  return s;
}

// Units of the next character to copy unchanged: a UTF-8 lead byte with its
// continuation bytes, or a UTF-16 surrogate pair, so a cut output never holds
// half a character. Malformed input is copied byte by byte.
inline int strwPieceLength(const char *s) {
  int n = StrW_Utf8SequenceLength(uint8_t(s[0]));
  int k = 1;
  while (k < n && (uint8_t(s[k]) & 0xC0) == 0x80) k++;
  return k;
}
inline int strwPieceLength(const char16_t *s) {
  return (strwIsHigh(s[0]) && strwIsLow(s[1])) ? 2 : 1;
}

inline bool strwIsDigit(uint32_t u) { return u >= '0' && u <= '9'; }

// A numeric reference whose two-character prefix starts at s: an optional
// sign and at least one decimal digit. The number saturates just above
// U+10FFFF, so long digit runs cannot overflow; anything that is no scalar
// value (0, negative, a surrogate, too large) gives U+FFFD. semi is the first
// ';' after s (or the terminator); *next is behind it or, without one, behind
// the digits: a missing ';' must not swallow the rest of the text.
template <typename Ch>
bool strwNumericReference(const Ch *s, const Ch *semi, uint32_t *code, const Ch **next) {
  const Ch *p = s + 2;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!strwIsDigit(uint32_t(*p))) return false;
  constexpr uint32_t kSaturated = kStrWMaxCodePoint + 1;
  uint32_t value = 0;
  for (; strwIsDigit(uint32_t(*p)); p++) {
    value = value * 10 + uint32_t(*p - '0');
    if (value > kSaturated) value = kSaturated;
  }
  *code = (negative || value == 0) ? kStrWReplacement : strwScalar(value);
  *next = *semi == ';' ? semi + 1 : p;
  return true;
}

// A reference's name follows its leading '&' and '#' characters.
template <typename Ch>
const Ch *strwSkipReferencePrefix(const Ch *s) {
  while (*s == '&' || *s == '#') s++;
  return s;
}

// What the decoders look ahead for at an '&': the next ';' and the end of the
// run of '&' and '#' before a name. Both stay valid while the decoder is
// still before them, so a text full of '&' and without ';' is scanned once,
// not once per '&'.
template <typename Ch>
struct StrwLookahead {
  const Ch *semi = nullptr;
  const Ch *name = nullptr;

  const Ch *semicolonAfter(const Ch *s) {
    if (semi == nullptr || semi <= s) semi = strwFindSemicolon(s + 1);
    return semi;
  }
  const Ch *nameAfter(const Ch *s) {
    if (name == nullptr || name <= s) name = strwSkipReferencePrefix(s);
    return name;
  }
};

struct StrwEntity {
  uint16_t code;
  const char *name;
};

// Named character references. The HTML 4 names come in their three groups
// (the markup-significant ones with "apos" first, then Latin-1, the other
// special characters and the symbols, each by code); upper-case names come
// before their lower-case twins, which only matters to the folded match. Then
// the line-break tags and the empty name.
constexpr StrwEntity kStrwEntities[] = {
    {34, "quot"}, {39, "apos"}, {38, "amp"}, {60, "lt"}, {62, "gt"}, {160, "nbsp"},
    {161, "iexcl"}, {162, "cent"}, {163, "pound"}, {164, "curren"}, {165, "yen"}, {166, "brvbar"},
    {167, "sect"}, {168, "uml"}, {169, "copy"}, {170, "ordf"}, {171, "laquo"}, {172, "not"},
    {173, "shy"}, {174, "reg"}, {175, "macr"}, {176, "deg"}, {177, "plusmn"}, {178, "sup2"},
    {179, "sup3"}, {180, "acute"}, {181, "micro"}, {182, "para"}, {183, "middot"}, {184, "cedil"},
    {185, "sup1"}, {186, "ordm"}, {187, "raquo"}, {188, "frac14"}, {189, "frac12"},
    {190, "frac34"}, {191, "iquest"}, {192, "Agrave"}, {193, "Aacute"}, {194, "Acirc"},
    {195, "Atilde"}, {196, "Auml"}, {197, "Aring"}, {198, "AElig"}, {199, "Ccedil"},
    {200, "Egrave"}, {201, "Eacute"}, {202, "Ecirc"}, {203, "Euml"}, {204, "Igrave"},
    {205, "Iacute"}, {206, "Icirc"}, {207, "Iuml"}, {208, "ETH"}, {209, "Ntilde"},
    {210, "Ograve"}, {211, "Oacute"}, {212, "Ocirc"}, {213, "Otilde"}, {214, "Ouml"},
    {215, "times"}, {216, "Oslash"}, {217, "Ugrave"}, {218, "Uacute"}, {219, "Ucirc"},
    {220, "Uuml"}, {221, "Yacute"}, {222, "THORN"}, {223, "szlig"}, {224, "agrave"},
    {225, "aacute"}, {226, "acirc"}, {227, "atilde"}, {228, "auml"}, {229, "aring"},
    {230, "aelig"}, {231, "ccedil"}, {232, "egrave"}, {233, "eacute"}, {234, "ecirc"},
    {235, "euml"}, {236, "igrave"}, {237, "iacute"}, {238, "icirc"}, {239, "iuml"}, {240, "eth"},
    {241, "ntilde"}, {242, "ograve"}, {243, "oacute"}, {244, "ocirc"}, {245, "otilde"},
    {246, "ouml"}, {247, "divide"}, {248, "oslash"}, {249, "ugrave"}, {250, "uacute"},
    {251, "ucirc"}, {252, "uuml"}, {253, "yacute"}, {254, "thorn"}, {255, "yuml"}, {338, "OElig"},
    {339, "oelig"}, {352, "Scaron"}, {353, "scaron"}, {376, "Yuml"}, {710, "circ"},
    {732, "tilde"}, {8194, "ensp"}, {8195, "emsp"}, {8201, "thinsp"}, {8204, "zwnj"},
    {8205, "zwj"}, {8206, "lrm"}, {8207, "rlm"}, {8211, "ndash"}, {8212, "mdash"},
    {8216, "lsquo"}, {8217, "rsquo"}, {8218, "sbquo"}, {8220, "ldquo"}, {8221, "rdquo"},
    {8222, "bdquo"}, {8224, "dagger"}, {8225, "Dagger"}, {8240, "permil"}, {8249, "lsaquo"},
    {8250, "rsaquo"}, {8364, "euro"}, {402, "fnof"}, {913, "Alpha"}, {914, "Beta"},
    {915, "Gamma"}, {916, "Delta"}, {917, "Epsilon"}, {918, "Zeta"}, {919, "Eta"}, {920, "Theta"},
    {921, "Iota"}, {922, "Kappa"}, {923, "Lambda"}, {924, "Mu"}, {925, "Nu"}, {926, "Xi"},
    {927, "Omicron"}, {928, "Pi"}, {929, "Rho"}, {931, "Sigma"}, {932, "Tau"}, {933, "Upsilon"},
    {934, "Phi"}, {935, "Chi"}, {936, "Psi"}, {937, "Omega"}, {945, "alpha"}, {946, "beta"},
    {947, "gamma"}, {948, "delta"}, {949, "epsilon"}, {950, "zeta"}, {951, "eta"}, {952, "theta"},
    {953, "iota"}, {954, "kappa"}, {955, "lambda"}, {956, "mu"}, {957, "nu"}, {958, "xi"},
    {959, "omicron"}, {960, "pi"}, {961, "rho"}, {962, "sigmaf"}, {963, "sigma"}, {964, "tau"},
    {965, "upsilon"}, {966, "phi"}, {967, "chi"}, {968, "psi"}, {969, "omega"}, {977, "thetasym"},
    {978, "upsih"}, {982, "piv"}, {8226, "bull"}, {8230, "hellip"}, {8242, "prime"},
    {8243, "Prime"}, {8254, "oline"}, {8260, "frasl"}, {8465, "image"}, {8472, "weierp"},
    {8476, "real"}, {8482, "trade"}, {8501, "alefsym"}, {8592, "larr"}, {8593, "uarr"},
    {8594, "rarr"}, {8595, "darr"}, {8596, "harr"}, {8629, "crarr"}, {8656, "lArr"},
    {8657, "uArr"}, {8658, "rArr"}, {8659, "dArr"}, {8660, "hArr"}, {8704, "forall"},
    {8706, "part"}, {8707, "exist"}, {8709, "empty"}, {8711, "nabla"}, {8712, "isin"},
    {8713, "notin"}, {8715, "ni"}, {8719, "prod"}, {8721, "sum"}, {8722, "minus"},
    {8727, "lowast"}, {8730, "radic"}, {8733, "prop"}, {8734, "infin"}, {8736, "ang"},
    {8743, "and"}, {8744, "or"}, {8745, "cap"}, {8746, "cup"}, {8747, "int"}, {8756, "there4"},
    {8764, "sim"}, {8773, "cong"}, {8776, "asymp"}, {8800, "ne"}, {8801, "equiv"}, {8804, "le"},
    {8805, "ge"}, {8834, "sub"}, {8835, "sup"}, {8836, "nsub"}, {8838, "sube"}, {8839, "supe"},
    {8853, "oplus"}, {8855, "otimes"}, {8869, "perp"}, {8901, "sdot"}, {8968, "lceil"},
    {8969, "rceil"}, {8970, "lfloor"}, {8971, "rfloor"}, {9001, "lang"}, {9002, "rang"},
    {9674, "loz"}, {9824, "spades"}, {9827, "clubs"}, {9829, "hearts"}, {9830, "diams"},
    {10, "<br>"}, {10, "<BR>"}, {10, "<Br>"}, {10, "<bR>"},
    {10, "<br/>"}, {10, "<BR/>"}, {10, "<Br/>"}, {10, "<bR/>"},
    {10, "<br />"}, {10, "<BR />"}, {10, "<Br />"}, {10, "<bR />"},
    {13, ""},
};
static_assert(sizeof(kStrwEntities) / sizeof(kStrwEntities[0]) == 253 + 12 + 1);

// The code of the name of length units, or -1. An exact match wins over a
// folded one wherever it sits in the table.
template <typename Ch>
int strwFindEntity(const Ch *name, int length) {
  int folded = -1;
  for (const StrwEntity &row : kStrwEntities) {
    bool exact = true;
    int i = 0;
    for (; i < length; i++) {
      uint32_t a = uint32_t(name[i]), b = uint8_t(row.name[i]);
      if (b == 0 || strwFold(a) != strwFold(b)) break;
      if (a != b) exact = false;
    }
    if (i < length || row.name[length] != 0) continue;
    if (exact) return row.code;
    if (folded < 0) folded = row.code;
  }
  return folded;
}

// The code of the name that runs from name to ';' or the terminator, or -1.
// Looks no further than one unit past the longest name.
template <typename Ch>
int strwNameCode(const Ch *name) {
  int length = 0;
  while (name[length] != 0 && name[length] != ';')
    if (++length > kStrWEntityNameMax) return -1;
  return strwFindEntity(name, length);
}

// The HTML decoder for either encoding; see StrW_DecodeHtmlEntitiesUtf8.
template <typename Ch>
int strwDecodeHtml(const Ch *src, Ch *dst, int size) {
  StrwOut<Ch> out(dst, size);
  StrwLookahead<Ch> ahead;
  for (const Ch *s = src; *s != 0;) {
    if (*s == '\r' || *s == '\n') {
      s++;
      continue;
    }
    if (*s == '&') {
      const Ch *semi = ahead.semicolonAfter(s);
      int code = *semi == ';' ? strwNameCode(ahead.nameAfter(s)) : -1;
      if (code >= 0) {
        if (!out.putCodePoint(uint32_t(code))) break;
        s = semi + 1;
        continue;
      }
      uint32_t c = 0;
      const Ch *next = nullptr;
      if ((s[1] == '#' || s[1] == '&') && strwNumericReference(s, semi, &c, &next)) {
        if (!out.putCodePoint(c)) break;
        s = next;
        continue;
      }
    }
    int n = strwPieceLength(s);
    if (!out.put(s, n)) break;
    s += n;
  }
  return out.finish();
}

}  // namespace

// ---- UTF-8 primitives

int StrW_DecodeUtf8Sequence(const char *src, uint32_t *codePoint, int *length) {
  CHECK_POINTER(src);
  auto lead = uint8_t(src[0]);
  int n = StrW_Utf8SequenceLength(lead);
  uint32_t c = lead;
  if (n > 1) {
    c = lead & (0x7F >> n);
    for (int i = 1; i < n; i++) {
      auto b = uint8_t(src[i]);  // a terminator fails here, so we never read past it
      if ((b & 0xC0) != 0x80) return 0;
      c = (c << 6) | (b & 0x3F);
    }
    if (c < kMinForLength[n] || strwIsSurrogate(c)) return 0;
  }
  if (codePoint) *codePoint = c;
  if (length) *length = n;
  return 1;
}

int StrW_Utf8SequenceLength(uint8_t lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF8) return 4;
  if (lead < 0xFC) return 5;
  if (lead < 0xFE) return 6;
  return 1;
}

int StrW_Utf8CodePointLength(uint32_t c) {
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c < 0x10000) return 3;
  if (c < 0x200000) return 4;
  if (c < 0x4000000) return 5;
  if (c < 0x80000000) return 6;
  return 0;
}

int StrW_EncodeUtf8(char *dst, int room, uint32_t c, int *length) {
  CHECK_POINTER(dst);
  int n = StrW_Utf8CodePointLength(c);
  if (n == 0 || n > room) {
    if (length) *length = 0;
    return n == 0 ? 0 : 1;
  }
  if (n == 1) {
    dst[0] = char(c);
  } else {
    for (int i = n - 1; i > 0; i--) {
      dst[i] = char(0x80 | (c & 0x3F));
      c >>= 6;
    }
    dst[0] = char((0xFF00 >> n) | c);  // n leading one bits, then the payload
  }
  if (length) *length = n;
  return 1;
}

// ---- UTF-8 to UTF-16

int StrW_FromUtf8(char16_t *dst, const char *src, int capacity, int *truncated) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  return strwFromUtf8(dst, src, -1, capacity, truncated);
}

int StrW_AllocFromUtf8(const char *src, char16_t **out) {
  CHECK_POINTER(src);
  CHECK_POINTER(out);
  *out = strwAllocFromUtf8(src, strlen(src));
  return 1;
}

int StrW_AllocFromUtf8N(const char *src, int count, char16_t **out) {
  CHECK_POINTER(src);
  CHECK_POINTER(out);
  *out = strwAllocFromUtf8(src, count < 1 ? 0 : strnlen(src, size_t(count)));
  return 1;
}

// ---- UTF-16 helpers

int StrW_Length(const char16_t *str) {
  CHECK_POINTER(str);
  int n = 0;
  while (str[n] != 0) n++;
  return n;
}

int StrW_Utf8Length(const char16_t *str) {
  CHECK_POINTER(str);
  int bytes = 0;
  strwWalkUtf16([str](int i) -> uint32_t { return str[i]; }, INT32_MAX, [&](uint32_t c) {
    bytes += StrW_Utf8CodePointLength(c);
    return true;
  });
  return bytes;
}

int StrW_Copy(char16_t *dst, const char16_t *src, int capacity) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  if (capacity < 1) return 0;
  int n = 0;
  while (n < capacity - 1 && src[n] != 0) {
    dst[n] = src[n];
    n++;
  }
  dst[n] = 0;
  return n;
}

int StrW_Equals(const char16_t *a, const char16_t *b) {
  CHECK_POINTER(a);
  CHECK_POINTER(b);
  while (*a != 0 && *a == *b) a++, b++;
  return *a == *b ? 1 : 0;
}

int StrW_EqualsNoCase(const char16_t *a, const char16_t *b) {
  CHECK_POINTER(a);
  CHECK_POINTER(b);
  while (*a != 0 && strwFold(*a) == strwFold(*b)) a++, b++;
  return strwFold(*a) == strwFold(*b) ? 1 : 0;
}

int StrW_StartsWithNoCase(const char16_t *str, const char16_t *prefix) {
  CHECK_POINTER(str);
  CHECK_POINTER(prefix);
  return strwEqualFoldedN(str, prefix, StrW_Length(prefix));
}

int StrW_EndsWithNoCase(const char16_t *str, const char16_t *suffix) {
  CHECK_POINTER(str);
  CHECK_POINTER(suffix);
  int length = StrW_Length(str);
  int suffixLength = StrW_Length(suffix);
  if (suffixLength > length) return 0;
  return strwEqualFoldedN(str + length - suffixLength, suffix, suffixLength);
}

int StrW_FindLastChar(const char16_t *str, char16_t ch, const char16_t **pos) {
  CHECK_POINTER(str);
  CHECK_POINTER(pos);
  *pos = nullptr;
  for (; *str != 0; str++)
    if (*str == ch) *pos = str;
  return *pos != nullptr ? 1 : 0;
}

int StrW_FindSemicolon(const char16_t *str, const char16_t **pos) {
  CHECK_POINTER(str);
  CHECK_POINTER(pos);
  *pos = strwFindSemicolon(str);
  if (**pos == 0) *pos = nullptr;
  return *pos != nullptr ? 1 : 0;
}

int StrW_MatchWildcardNoCase(const char16_t *text, const char16_t *pattern) {
  CHECK_POINTER(text);
  CHECK_POINTER(pattern);
  // Greedy with one backtrack point: only the last '*' seen ever needs to
  // take more text, because anything an earlier '*' could absorb the later one
  // can absorb as well. So each '*' costs at most one pass over the text.
  const char16_t *t = text, *p = pattern;
  const char16_t *afterStar = nullptr, *starText = nullptr;
  while (*t != 0) {
    if (*p == '*') {
      afterStar = ++p;
      starText = t;
    } else if (*p != 0 && strwFold(*p) == strwFold(*t)) {
      p++;
      t++;
    } else if (afterStar != nullptr) {
      p = afterStar;  // the last '*' takes one more unit
      t = ++starText;
    } else {
      return 0;
    }
  }
  while (*p == '*') p++;
  return *p == 0 ? 1 : 0;
}

int StrW_Alloc(int count, char16_t **out) {
  CHECK_POINTER(out);
  *out = nullptr;
  if (count < 1) return 0;
  *out = strwHeapUnits(size_t(count));
  return 1;
}

// ---- UTF-16 to UTF-8

int StrW_ToUtf8N(char *dst, int size, const char16_t *src, int count) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  return strwUtf16ToUtf8(dst, size, [src](int i) -> uint32_t { return src[i]; }, count);
}

int StrW_ToUtf8(char *dst, const char16_t *src, int size) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  return StrW_ToUtf8N(dst, size, src, StrW_Length(src) + 1);
}

int StrW_BigEndianToUtf8(char *dst, const void *src, int count) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  const auto *bytes = static_cast<const uint8_t *>(src);
  return strwUtf16ToUtf8(
      dst, kStrWBigEndianDstBytes,
      [bytes](int i) -> uint32_t { return uint32_t(bytes[2 * i] << 8 | bytes[2 * i + 1]); },
      count);
}

int StrW_FromUtf32ToUtf8(char *dst, const char32_t *src, int size) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  StrwOut<char> out(dst, size);
  // A value of 31 bits or more is no character in any encoding: the whole
  // text is refused rather than shown with a gap (the '#' print form).
  for (int i = 0; src[i] != 0; i++)
    if (uint32_t(src[i]) >= 0x80000000) {
      out.finish();
      return 0;
    }
  for (int i = 0; src[i] != 0 && out.putCodePoint(src[i]); i++) {
  }
  out.finish();
  return out.length;
}

// ---- HTML character references

int StrW_DecodeNumericEntitiesUtf8(const char *src, char *dst, int size) {
  CHECK_POINTER(src);
  CHECK_POINTER(dst);
  StrwOut<char> out(dst, size);
  StrwLookahead<char> ahead;
  for (const char *s = src; *s != 0;) {
    uint32_t c = 0;
    const char *next = nullptr;
    if ((s[0] == '&' || s[0] == '#') && s[1] == '#' &&
        strwNumericReference(s, ahead.semicolonAfter(s), &c, &next)) {
      if (!out.putCodePoint(c)) break;
      s = next;
      continue;
    }
    int n = strwPieceLength(s);
    if (!out.put(s, n)) break;
    s += n;
  }
  return out.finish();
}

int StrW_LookupEntityUtf8(const char *reference, char *dst, int room) {
  CHECK_POINTER(reference);
  CHECK_POINTER(dst);
  int code = strwNameCode(strwSkipReferencePrefix(reference));
  if (code < 0) return 0;
  int n = 0;
  StrW_EncodeUtf8(dst, room, uint32_t(code), &n);
  return n;
}

int StrW_DecodeHtmlEntitiesUtf8(const char *src, char *dst, int size) {
  CHECK_POINTER(src);
  CHECK_POINTER(dst);
  return strwDecodeHtml(src, dst, size);
}

int StrW_LookupEntity(const char16_t *reference, char16_t *dst, int room) {
  CHECK_POINTER(reference);
  CHECK_POINTER(dst);
  int code = strwNameCode(strwSkipReferencePrefix(reference));
  if (code < 0 || room < 1) return 0;
  dst[0] = char16_t(code);
  return 1;
}

int StrW_DecodeHtmlEntities(const char16_t *src, char16_t *dst, int size) {
  CHECK_POINTER(src);
  CHECK_POINTER(dst);
  return strwDecodeHtml(src, dst, size);
}
