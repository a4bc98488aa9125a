#include "core/runtime/strw.h"

#include <fnmatch.h>
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

// ---- glibc iconv as the reference converter

struct IconvResult {
  std::string bytes;
  size_t consumed = 0;
  int error = 0;  // 0, EILSEQ, EINVAL (incomplete) or E2BIG
};

// Converts in; outRoom limits the output (to ask for one character).
IconvResult iconvConvert(const char *to, const char *from, const std::string &in,
                         size_t outRoom = 4096) {
  iconv_t cd = iconv_open(to, from);
  EXPECT_NE(cd, iconv_t(-1)) << from << " -> " << to;
  std::string out(outRoom, '\0');
  char *inp = const_cast<char *>(in.data());
  char *outp = out.data();
  size_t inLeft = in.size(), outLeft = out.size();
  IconvResult r;
  if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == size_t(-1)) r.error = errno;
  iconv_close(cd);
  r.consumed = in.size() - inLeft;
  r.bytes.assign(out.data(), size_t(outp - out.data()));
  return r;
}

std::u16string unitsFromLE(const std::string &b) {
  std::u16string s;
  for (size_t i = 0; i + 1 < b.size(); i += 2)
    s += char16_t(uint8_t(b[i]) | uint8_t(b[i + 1]) << 8);
  return s;
}

// The UTF-16 form of valid UTF-8 text, by iconv.
std::u16string utf16Of(const std::string &utf8) {
  IconvResult r = iconvConvert("UTF-16LE", "UTF-8", utf8);
  EXPECT_EQ(r.error, 0) << utf8;
  return unitsFromLE(r.bytes);
}

std::string utf8Of(const std::u16string &s) {
  std::string le;
  for (char16_t u : s) le += {char(u & 0xFF), char(u >> 8)};
  return iconvConvert("UTF-8", "UTF-16LE", le).bytes;
}

std::string utf32LE(const std::u32string &s) {
  std::string b;
  for (char32_t c : s)
    for (int i = 0; i < 4; i++) b += char(uint32_t(c) >> (8 * i));
  return b;
}

// ---- our conversions into exact-size buffers, so ASan sees any overrun

std::u16string fromUtf8(const std::string &src, int capacity, int *truncated = nullptr) {
  std::vector<char16_t> dst(size_t(capacity > 0 ? capacity : 1), char16_t(0x5A5A));
  int n = StrW_FromUtf8(dst.data(), src.c_str(), capacity, truncated);
  if (capacity < 1) {
    EXPECT_EQ(dst[0], 0x5A5A) << "capacity 0 must write nothing";
    return {};
  }
  EXPECT_EQ(dst[size_t(n)], 0) << "not terminated after the units it returned";
  return std::u16string(dst.data(), size_t(n));
}

std::string toUtf8N(const std::u16string &src, int size, int count) {
  std::vector<char> dst(size_t(size > 0 ? size : 1), 'Z');
  int n = StrW_ToUtf8N(dst.data(), size, src.c_str(), count);
  if (size < 1) return {};
  EXPECT_EQ(dst[size_t(n)], '\0');
  return std::string(dst.data(), size_t(n));
}

std::string fromHex(const std::string &h) {
  std::string b;
  if (h == "-") return b;
  for (size_t i = 0; i + 1 < h.size(); i += 2) b += char(std::stoi(h.substr(i, 2), nullptr, 16));
  return b;
}

// Vector lines after the seed line; the seed goes into every failure.
std::vector<std::string> vectorLines(const std::string &file, std::string *seedLine) {
  std::istringstream in(Test_ReadVectors(file));
  std::vector<std::string> lines;
  std::string line;
  std::getline(in, *seedLine);
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(line);
  EXPECT_FALSE(lines.empty()) << file;
  return lines;
}

std::u16string decodeHtml16(const std::u16string &src, int size, int *complete) {
  std::vector<char16_t> dst(size_t(size > 0 ? size : 1));
  *complete = StrW_DecodeHtmlEntities(src.c_str(), dst.data(), size);
  return size > 0 ? std::u16string(dst.data()) : std::u16string();
}

std::string decodeHtml8(const std::string &src, int size, int *complete) {
  std::vector<char> dst(size_t(size > 0 ? size : 1));
  *complete = StrW_DecodeHtmlEntitiesUtf8(src.c_str(), dst.data(), size);
  return size > 0 ? std::string(dst.data()) : std::string();
}

}  // namespace

TEST(StrWDeathTest, NullArgumentsStop) {
  char b[8];
  char16_t w[8] = u"x";
  const char16_t *pos;
  EXPECT_DEATH(StrW_FromUtf8(w, nullptr, 8), "Pointer is NULL\n");
  EXPECT_DEATH(StrW_ToUtf8(nullptr, w, 8), "Pointer is NULL\n");
  EXPECT_DEATH(StrW_AllocFromUtf8("x", nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(StrW_EndsWithNoCase(w, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(StrW_FindLastChar(nullptr, u'x', &pos), "Pointer is NULL\n");
  EXPECT_DEATH(StrW_MatchWildcardNoCase(w, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(StrW_BigEndianToUtf8(b, nullptr, 1), "Pointer is NULL\n");
  EXPECT_DEATH(StrW_DecodeHtmlEntitiesUtf8(nullptr, b, 8), "Pointer is NULL\n");
  EXPECT_DEATH(StrW_DecodeHtmlEntities(w, nullptr, 8), "Pointer is NULL\n");
  EXPECT_DEATH(StrW_Alloc(4, nullptr), "Pointer is NULL\n");
}

// Whole strings of random code points (every plane, surrogates, values past
// U+10FFFF and past 31 bits) through iconv's UTF-32LE, UTF-8 and UTF-16LE.
TEST(StrWIconv, CodePointStringsAgreeWithIconv) {
  const uint32_t seed = 20260106;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const uint32_t ranges[][2] = {{1, 0x7F},           {0x80, 0x7FF},        {0x800, 0xFFFF},
                                {0x10000, 0x10FFFF}, {0xD800, 0xDFFF},     {0x110000, 0x7FFFFFFF},
                                {0x80000000, 0xFFFFFFFF}};
  int invalidSeen = 0;
  for (int iter = 0; iter < 20000; iter++) {
    std::u32string cps;
    std::u32string scalars;  // what our encoders must produce
    int n = 1 + int(rng() % 6);
    for (int i = 0; i < n; i++) {
      auto &r = ranges[rng() % (iter % 4 == 0 ? 7 : 4)];
      char32_t c = char32_t(r[0] + rng() % (r[1] - r[0] + 1));
      cps += c;
      bool scalar = c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
      scalars += scalar ? c : char32_t(0xFFFD);
    }
    SCOPED_TRACE("iteration " + std::to_string(iter));
    IconvResult direct = iconvConvert("UTF-8", "UTF-32LE", utf32LE(cps));
    IconvResult expected = iconvConvert("UTF-8", "UTF-32LE", utf32LE(scalars));
    ASSERT_EQ(expected.error, 0);
    if (cps == scalars) {
      ASSERT_EQ(direct.bytes, expected.bytes);
    } else {
      ASSERT_EQ(direct.error, EILSEQ);
      invalidSeen++;
    }

    char out[64];
    int len = StrW_FromUtf32ToUtf8(out, cps.c_str(), sizeof out);
    bool refused = false;
    for (char32_t c : cps) refused |= uint32_t(c) >= 0x80000000;
    ASSERT_EQ(std::string(out, size_t(len)), refused ? std::string() : expected.bytes);

    std::u16string units = unitsFromLE(iconvConvert("UTF-16LE", "UTF-8", expected.bytes).bytes);
    ASSERT_EQ(fromUtf8(expected.bytes, 64), units);
    ASSERT_EQ(toUtf8N(units, 64, int(units.size())), expected.bytes);
    ASSERT_EQ(StrW_Utf8Length(units.c_str()), int(expected.bytes.size()));

    // The raw encoder writes what it is given; our decoder reads it back, and
    // accepts exactly what iconv accepts up to U+10FFFF.
    for (char32_t c : cps) {
      char seq[8] = {};
      int bytes = 0;
      ASSERT_EQ(StrW_EncodeUtf8(seq, 6, c, &bytes), c < 0x80000000 ? 1 : 0);
      if (bytes == 0) continue;
      uint32_t decoded = 0;
      int used = 0;
      int ok = StrW_DecodeUtf8Sequence(seq, &decoded, &used);
      bool surrogate = c >= 0xD800 && c <= 0xDFFF;
      ASSERT_EQ(ok, surrogate ? 0 : 1) << std::hex << uint32_t(c);
      if (ok) {
        ASSERT_EQ(decoded, uint32_t(c));
        ASSERT_EQ(used, bytes);
      }
      if (c <= 0x10FFFF && !surrogate) {
        std::string reference = iconvConvert("UTF-8", "UTF-32LE", utf32LE({c})).bytes;
        ASSERT_EQ(std::string(seq, size_t(bytes)), reference);
      }
    }
  }
  EXPECT_GT(invalidSeen, 1000);
}

// One sequence of random bytes: wherever iconv accepts a character, we decode
// the same one; an overlong form or an encoded surrogate is never accepted.
// Our only extra acceptances are the lenient forms: a stray continuation byte
// or 0xFE/0xFF as a one-byte character, and values above U+10FFFF.
TEST(StrWIconv, RandomSequencesDecodeAsIconvDoes) {
  const uint32_t seed = 77;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  int rejected = 0, lenient = 0;
  for (int iter = 0; iter < 200000; iter++) {
    char buf[8] = {};
    buf[0] = char(1 + rng() % 255);
    int extra = int(rng() % 6);
    for (int i = 1; i <= extra; i++) buf[i] = char(rng() % 5 ? 0x80 + rng() % 64 : 1 + rng() % 255);
    std::string in(buf);
    IconvResult ref = iconvConvert("UTF-32LE", "UTF-8", in, 4);
    uint32_t c = 0;
    int used = 0;
    int ok = StrW_DecodeUtf8Sequence(buf, &c, &used);
    auto lead = uint8_t(buf[0]);
    if (ref.consumed > 0) {
      ASSERT_EQ(ok, 1) << "iteration " << iter;
      ASSERT_EQ(int(ref.consumed), used);
      ASSERT_EQ(std::string(reinterpret_cast<char *>(&c), 4), ref.bytes.substr(0, 4));
    } else if (ok) {
      bool oneByte = (lead >= 0x80 && lead < 0xC0) || lead >= 0xFE;
      ASSERT_TRUE((oneByte && used == 1 && c == lead) || c > 0x10FFFF) << "iteration " << iter;
      lenient++;
    } else {
      rejected++;
    }
  }
  EXPECT_GT(rejected, 10000);
  EXPECT_GT(lenient, 1000);
}

TEST(StrW, OverlongAndSurrogateFormsAreRejected) {
  const char *cases[] = {"\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",
                         "\xED\xA0\x80", "\xED\xBF\xBF", "\xC3", "\xE2\x82"};
  for (const char *s : cases) {
    SCOPED_TRACE(testing::PrintToString(s));
    uint32_t c = 0;
    EXPECT_EQ(StrW_DecodeUtf8Sequence(s, &c, nullptr), 0);
    EXPECT_EQ(fromUtf8(std::string("a") + s + "b", 8), u"a");
  }
}

// Random text with astral code points, converted both ways by Python's
// codecs, whole and cut to a random capacity.
TEST(StrWVectors, ConversionsAgreeWithPython) {
  std::string seed;
  for (const std::string &line : vectorLines("strw_conv.txt", &seed)) {
    SCOPED_TRACE(seed + "\n" + line);
    std::istringstream f(line);
    std::string h8, h16, hc16, hc8;
    int cap, cut16, size, cut8;
    f >> h8 >> h16 >> cap >> hc16 >> cut16 >> size >> hc8 >> cut8;
    std::string u8 = fromHex(h8);
    std::u16string u16 = unitsFromLE(fromHex(h16));
    int truncated = -1;
    ASSERT_EQ(fromUtf8(u8, int(u16.size()) + 1, &truncated), u16);
    ASSERT_EQ(truncated, 0);
    ASSERT_EQ(fromUtf8(u8, cap, &truncated), unitsFromLE(fromHex(hc16)));
    ASSERT_EQ(truncated, cut16);
    ASSERT_EQ(toUtf8N(u16, int(u8.size()) + 1, int(u16.size()) + 1), u8);
    ASSERT_EQ(toUtf8N(u16, size, int(u16.size())), fromHex(hc8));
    ASSERT_EQ(StrW_Utf8Length(u16.c_str()), int(u8.size()));

    char16_t *heap = nullptr;
    ASSERT_EQ(StrW_AllocFromUtf8(u8.c_str(), &heap), 1);
    ASSERT_EQ(std::u16string(heap), u16);
    free(heap);

    std::string be;
    for (char16_t u : u16) be += {char(u >> 8), char(u & 0xFF)};
    std::vector<char> dst(kStrWBigEndianDstBytes);
    int n = StrW_BigEndianToUtf8(dst.data(), be.data(), int(u16.size()));
    ASSERT_EQ(std::string(dst.data(), size_t(n)), u8);
  }
}

TEST(StrWVectors, LoneSurrogatesBecomeReplacement) {
  std::string seed;
  for (const std::string &line : vectorLines("strw_lone.txt", &seed)) {
    SCOPED_TRACE(seed + "\n" + line);
    std::istringstream f(line);
    std::string kind, from, to;
    f >> kind >> from >> to;
    if (kind == "U16") {
      std::u16string units = unitsFromLE(fromHex(from));
      ASSERT_EQ(toUtf8N(units, 256, int(units.size())), fromHex(to));
      ASSERT_EQ(StrW_Utf8Length(units.c_str()), int(fromHex(to).size()));
    } else {
      ASSERT_EQ(fromUtf8(fromHex(from), 256), unitsFromLE(fromHex(to)));
    }
  }
}

TEST(StrW, CapacityLimitsKeepWholeCharacters) {
  int truncated = 0;
  EXPECT_EQ(fromUtf8("a\xF0\x9F\x98\x80", 3, &truncated), u"a");  // no half pair
  EXPECT_EQ(truncated, 1);
  EXPECT_EQ(fromUtf8("ab", 1, &truncated), u"");
  EXPECT_EQ(truncated, 1);
  EXPECT_EQ(fromUtf8("ab", 0, &truncated), u"");
  EXPECT_EQ(fromUtf8("", 0, &truncated), u"");
  EXPECT_EQ(truncated, 0);
  // Values the decoder accepts but UTF-16 cannot hold.
  EXPECT_EQ(fromUtf8("\xF4\x90\x80\x80x", 8), u"\uFFFDx");
  EXPECT_EQ(fromUtf8("\xF8\x88\x80\x80\x80x", 8), u"\uFFFDx");
  EXPECT_EQ(toUtf8N(u"\U0001F600", 4, 2), "");  // four bytes and a terminator need 5
  EXPECT_EQ(toUtf8N(u"\U0001F600", 5, 2), "\xF0\x9F\x98\x80");
  EXPECT_EQ(toUtf8N(u"\U0001F600", 5, 1), "\xEF\xBF\xBD");  // the pair is cut by count

  char16_t *heap = nullptr;
  StrW_AllocFromUtf8N("ab\xF0\x9F\x98\x80", 5, &heap);  // cut inside the sequence
  EXPECT_EQ(std::u16string(heap), u"ab");
  free(heap);
  StrW_AllocFromUtf8N("ab", 100, &heap);  // the terminator comes first
  EXPECT_EQ(std::u16string(heap), u"ab");
  free(heap);
  EXPECT_EQ(StrW_Alloc(0, &heap), 0);
  EXPECT_EQ(heap, nullptr);
  ASSERT_EQ(StrW_Alloc(3, &heap), 1);
  EXPECT_EQ(heap[0], 0);
  free(heap);
}

// A BMPString of 400 units into the fixed 320-byte destination: output stops
// at the last whole character that fits with the terminator. The source sits
// at an odd address, as content inside a DER buffer may.
TEST(StrW, BigEndianLongTextStaysInDestination) {
  struct Row {
    uint16_t first, second;  // the units repeated to 400
    int bytes;               // expected output length
  } rows[] = {{0x0041, 0x0041, 319}, {0x00E9, 0x00E9, 318}, {0x20AC, 0x20AC, 318},
              {0xD83D, 0xDE00, 316}, {0xDE00, 0xDE00, 318}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.first);
    std::vector<uint8_t> src(1 + 800);
    for (int i = 0; i < 400; i++) {
      uint16_t u = i % 2 ? row.second : row.first;
      src[1 + 2 * size_t(i)] = uint8_t(u >> 8);
      src[2 + 2 * size_t(i)] = uint8_t(u);
    }
    auto *dst = static_cast<char *>(malloc(kStrWBigEndianDstBytes));
    EXPECT_EQ(StrW_BigEndianToUtf8(dst, src.data() + 1, 400), row.bytes);
    EXPECT_EQ(strlen(dst), size_t(row.bytes));
    free(dst);
  }
}

TEST(StrW, MultiByteFollowsTheLocale) {
  std::string saved = setlocale(LC_CTYPE, nullptr);
  if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
  const std::string text = "h\xC3\xA9llo \xF0\x9F\x98\x80";
  std::u16string expected = utf16Of(text);
  std::vector<char16_t> dst(expected.size() + 1, 0x5A5A);
  EXPECT_EQ(StrW_FromMultiByte(dst.data(), text.c_str(), int(dst.size())), int(expected.size()));
  EXPECT_EQ(std::u16string(dst.data()), expected);
  EXPECT_EQ(StrW_FromMultiByte(dst.data(), text.c_str(), int(dst.size()) - 1), 0);
  EXPECT_EQ(dst[0], 0);
  setlocale(LC_CTYPE, "C");  // ASCII: the first byte above 0x7F ends the text
  EXPECT_EQ(StrW_FromMultiByte(dst.data(), "ab\xC3\xA9", int(dst.size())), 2);
  EXPECT_EQ(std::u16string(dst.data()), u"ab");
  setlocale(LC_CTYPE, saved.c_str());
}

TEST(StrW, ComparisonsAndSearches) {
  struct Row {
    const char16_t *a, *b;
    int equals, equalsNoCase, startsNoCase, endsNoCase;
  } rows[] = {
      {u"D:\\App\\CEF.PAK", u"\\cef.pak", 0, 0, 0, 1},
      {u"pak", u"\\cef.pak", 0, 0, 0, 0},
      {u"Hello", u"hello", 0, 1, 1, 1},
      {u"Hello", u"Hello", 1, 1, 1, 1},
      {u"Hello", u"", 0, 0, 1, 1},
      {u"", u"", 1, 1, 1, 1},
      {u"\u00C0b", u"\u00E0B", 0, 0, 0, 0},  // only A-Z fold
      {u"Hello", u"HELLO!", 0, 0, 0, 0},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(utf8Of(r.a) + " / " + utf8Of(r.b));
    EXPECT_EQ(StrW_Equals(r.a, r.b), r.equals);
    EXPECT_EQ(StrW_EqualsNoCase(r.a, r.b), r.equalsNoCase);
    EXPECT_EQ(StrW_StartsWithNoCase(r.a, r.b), r.startsNoCase);
    EXPECT_EQ(StrW_EndsWithNoCase(r.a, r.b), r.endsNoCase);
  }
  const char16_t *text = u"a;b;c", *pos = nullptr;
  EXPECT_EQ(StrW_FindLastChar(text, u';', &pos), 1);
  EXPECT_EQ(pos, text + 3);
  EXPECT_EQ(StrW_FindSemicolon(text, &pos), 1);
  EXPECT_EQ(pos, text + 1);
  EXPECT_EQ(StrW_FindLastChar(text, u'x', &pos), 0);
  EXPECT_EQ(pos, nullptr);
  EXPECT_EQ(StrW_FindSemicolon(u"abc", &pos), 0);

  char16_t small[3];
  EXPECT_EQ(StrW_Copy(small, u"abcd", 3), 2);
  EXPECT_EQ(std::u16string(small), u"ab");
  EXPECT_EQ(StrW_Copy(small, u"abcd", 1), 0);
  EXPECT_EQ(small[0], 0);
}

TEST(StrW, WildcardAgreesWithFnmatch) {
  const uint32_t seed = 4242;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const char patternSet[] = "abAB**", textSet[] = "abAB";
  for (int iter = 0; iter < 100000; iter++) {
    std::string pattern, text;
    for (int n = int(rng() % 9); n > 0; n--) pattern += patternSet[rng() % 6];
    for (int n = int(rng() % 11); n > 0; n--) text += textSet[rng() % 4];
    std::u16string p16(pattern.begin(), pattern.end()), t16(text.begin(), text.end());
    int expected = fnmatch(pattern.c_str(), text.c_str(), FNM_NOESCAPE | FNM_CASEFOLD) == 0;
    ASSERT_EQ(StrW_MatchWildcardNoCase(t16.c_str(), p16.c_str()), expected)
        << "pattern '" << pattern << "' text '" << text << "'";
  }
}

// Thirty '*a' pieces against a long run of 'a': exponential for a recursive
// matcher, one pass per '*' here. The ctest timeout is the guard.
TEST(StrW, WildcardPathologicalPatternFinishes) {
  std::u16string pattern;
  for (int i = 0; i < 30; i++) pattern += u"*a";
  std::u16string text(100000, u'a');
  EXPECT_EQ(StrW_MatchWildcardNoCase(text.c_str(), (pattern + u"b").c_str()), 0);
  EXPECT_EQ(StrW_MatchWildcardNoCase(text.c_str(), (pattern + u"*").c_str()), 1);
}

// Every HTML 4 name (and apos) decodes to its code point in both encodings,
// exactly as Python's html.entities lists it.
TEST(StrWVectors, EveryEntityNameDecodes) {
  std::string seed;
  for (const std::string &line : vectorLines("strw_entities.txt", &seed)) {
    SCOPED_TRACE(line);
    std::istringstream f(line);
    std::string name;
    uint32_t code;
    f >> name >> code;
    std::string expected8 = iconvConvert("UTF-8", "UTF-32LE", utf32LE({char32_t(code)})).bytes;
    int complete = 0;
    EXPECT_EQ(decodeHtml8("&" + name + ";", 16, &complete), expected8);
    EXPECT_EQ(complete, 1);
    std::u16string ref16 = u"&" + std::u16string(name.begin(), name.end()) + u";";
    EXPECT_EQ(decodeHtml16(ref16, 4, &complete), std::u16string(1, char16_t(code)));
    char out[4];
    EXPECT_EQ(StrW_LookupEntityUtf8(name.c_str(), out, 4), int(expected8.size()));
    char16_t unit = 0;
    EXPECT_EQ(StrW_LookupEntity(ref16.c_str(), &unit, 1), 1);
    EXPECT_EQ(unit, code);
  }
}

// Each row runs through both decoders: the UTF-16 one gets the row's text
// converted by iconv and must give the converted expectation.
TEST(StrW, HtmlEntityDecoding) {
  struct Row {
    const char *in, *out;
  } rows[] = {
      {"&amp;lt;", "&lt;"},                      // one pass only
      {"&AMP;", "&"},                            // folded when no exact name
      {"&AGRAVE; &agrave; &Agrave;", "\xC3\x80 \xC3\xA0 \xC3\x80"},  // exact case first
      {"&alpha;&Alpha;", "\xCE\xB1\xCE\x91"},
      {"&#65;", "A"},
      {"&&66;", "B"},
      {"x&nbsp;y", "x\xC2\xA0y"},
      {"&#128512;", "\xF0\x9F\x98\x80"},
      {"&#0;|&#55357;|&#1114112;|&#-65;|&#99999999999999999999999;",
       "\xEF\xBF\xBD|\xEF\xBF\xBD|\xEF\xBF\xBD|\xEF\xBF\xBD|\xEF\xBF\xBD"},
      {"a & b", "a & b"},                        // no ';' after the '&'
      {"AT&T; Tom && Jerry;", "AT&T; Tom && Jerry;"},  // unknown, no digits
      {"&#x41;", "&#x41;"},                      // decimal only
      {"&#65x;y", "Ay"},                         // runs to the ';'
      {"&#65 and more", "A and more"},           // no ';': ends after the digits
      {"a\r\nb", "ab"},
      {"1&<br>;2&<BR />;3&;4", "1\n2\n3\r4"},
      {"&abcdefghijklmnopqrstuvwxyzabcdef;", "&abcdefghijklmnopqrstuvwxyzabcdef;"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.in);
    int complete = 0;
    EXPECT_EQ(decodeHtml8(r.in, 128, &complete), r.out);
    EXPECT_EQ(complete, 1);
    EXPECT_EQ(decodeHtml16(utf16Of(r.in), 128, &complete), utf16Of(r.out));
    EXPECT_EQ(complete, 1);
  }
}

TEST(StrW, NumericEntityDecoding) {
  struct Row {
    const char *in, *out;
  } rows[] = {{"&#65;##66;", "AB"},    {"&amp; &lt;", "&amp; &lt;"},
              {"&#128512;x", "\xF0\x9F\x98\x80x"}, {"&#0;", "\xEF\xBF\xBD"},
              {"a#b&#", "a#b&#"},      {"&#65 b", "A b"},
              {"\r\n", "\r\n"}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.in);
    char out[32];
    EXPECT_EQ(StrW_DecodeNumericEntitiesUtf8(r.in, out, sizeof out), 1);
    EXPECT_STREQ(out, r.out);
  }
}

// Each '&' looks ahead for a ';' and past a run of '&'; done naively that is
// quadratic in texts like these. The ctest timeout is the guard.
TEST(StrW, EntityDecodersStayLinearOnAmpersandRuns) {
  for (const char *unit : {"&", "&#1", "&&"}) {
    std::string run;
    for (int i = 0; i < 200000; i++) run += unit;
    for (const std::string &text : {run, run + "x;"}) {
      SCOPED_TRACE(std::string(unit) + (text.size() > run.size() ? " with ';'" : ""));
      int complete = -1;
      decodeHtml8(text, int(text.size()) + 1, &complete);
      EXPECT_EQ(complete, 1);
      std::vector<char> out(text.size() + 1);
      EXPECT_EQ(StrW_DecodeNumericEntitiesUtf8(text.c_str(), out.data(), int(out.size())), 1);
    }
  }
}

TEST(StrW, EntityDecodersStopBeforeACharacterThatDoesNotFit) {
  struct Row {
    const char *in;
    int size;
    const char *out;
    int complete;
  } rows[] = {{"&#128512;", 4, "", 0}, {"&#128512;", 5, "\xF0\x9F\x98\x80", 1},
              {"ab", 2, "a", 0},       {"\xC3\xA9", 2, "", 0},
              {"ab", 3, "ab", 1},      {"ab", 0, "", 0}};
  for (const Row &r : rows) {
    SCOPED_TRACE(std::string(r.in) + " size " + std::to_string(r.size));
    int complete = -1;
    EXPECT_EQ(decodeHtml8(r.in, r.size, &complete), r.out);
    EXPECT_EQ(complete, r.complete);
    std::vector<char> out(size_t(std::max(r.size, 1)));
    EXPECT_EQ(StrW_DecodeNumericEntitiesUtf8(r.in, out.data(), r.size), r.complete);
  }
  int complete = -1;
  EXPECT_EQ(decodeHtml16(u"x\U0001F600", 2, &complete), u"x");  // a pair is never split
  EXPECT_EQ(complete, 0);
  EXPECT_EQ(decodeHtml16(u"&#128512;", 3, &complete), u"\U0001F600");
  EXPECT_EQ(complete, 1);
}
