#include "core/runtime/str.h"

#include <fnmatch.h>
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

constexpr char kSentinel = '\x5a';

// One line of a generator's vector file: tab-separated fields, byte strings
// in hex.
struct VectorRow {
  std::vector<std::string> fields;

  std::string bytes(size_t i) const {
    std::string out;
    const std::string &hex = fields.at(i);
    for (size_t k = 0; k + 1 < hex.size(); k += 2)
      out.push_back(char(std::stoi(hex.substr(k, 2), nullptr, 16)));
    return out;
  }
  int64_t num(size_t i) const { return std::stoll(fields.at(i)); }
};

std::vector<VectorRow> readRows(const std::string &file) {
  std::vector<VectorRow> rows;
  std::string text = Test_ReadVectors(file);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    VectorRow row;
    size_t p = 0;
    for (;;) {
      size_t tab = line.find('\t', p);
      row.fields.push_back(line.substr(p, tab == std::string::npos ? tab : tab - p));
      if (tab == std::string::npos) break;
      p = tab + 1;
    }
    rows.push_back(row);
  }
  return rows;
}

// A writable text with room behind it filled with a sentinel, so writes past
// the stated size show.
struct TextBuffer {
  std::vector<char> bytes;
  TextBuffer(const std::string &text, size_t room)
      : bytes(std::max(room, text.size() + 1) + 8, kSentinel) {
    memcpy(bytes.data(), text.c_str(), text.size() + 1);
  }
  char *data() { return bytes.data(); }
  std::string text() const { return std::string(bytes.data()); }
  // Nothing written behind the terminator of the expected text.
  bool untouchedAfter(size_t length) const {
    for (size_t i = length + 1; i < bytes.size(); i++)
      if (bytes[i] != kSentinel) return false;
    return true;
  }
};

int64_t offsetOf(const char *base, const char *pos) { return pos ? pos - base : -1; }

int sign(int64_t v) { return (v > 0) - (v < 0); }

using RowCheck = std::function<void(const VectorRow &)>;

// Copies into a fresh buffer: the result text and count, and that nothing
// behind the terminator (for size 0: nothing at all) was written.
void checkCopy(int size, const std::string &expect, int64_t expectResult,
               const std::function<int(char *)> &call) {
  std::vector<char> buf(size_t(std::max(size, 0)) + 8, kSentinel);
  EXPECT_EQ(call(buf.data()), expectResult);
  size_t firstUntouched = 0;
  if (size >= 1) {
    EXPECT_EQ(std::string(buf.data()), expect);
    firstUntouched = expect.size() + 1;
  }
  for (size_t i = firstUntouched; i < buf.size(); i++) EXPECT_EQ(buf[i], kSentinel) << "at " << i;
}

std::map<std::string, RowCheck> copyChecks() {
  return {
      {"copy",
       [](const VectorRow &r) {
         std::string src = r.bytes(1);
         int size = int(r.num(2));
         checkCopy(size, r.bytes(3), r.num(4),
                   [&](char *d) { return Str_Copy(d, src.c_str(), size); });
       }},
      {"set",
       [](const VectorRow &r) {
         std::string src = r.bytes(1);
         int size = int(r.num(2));
         checkCopy(size, r.bytes(3), r.num(4),
                   [&](char *d) { return Str_Set(d, src.c_str(), size); });
       }},
      {"copyn",
       [](const VectorRow &r) {
         std::string src = r.bytes(1);
         int size = int(r.num(2));
         int count = int(r.num(3));
         checkCopy(size, r.bytes(4), r.num(5),
                   [&](char *d) { return Str_CopyN(d, size, src.c_str(), count); });
       }},
      {"copyname",
       [](const VectorRow &r) {
         std::string src = r.bytes(1);
         int size = int(r.num(2));
         checkCopy(size, r.bytes(3), r.num(4),
                   [&](char *d) { return Str_CopyName(d, src.c_str(), size); });
       }},
      {"cat",
       [](const VectorRow &r) {
         std::string dst = r.bytes(1);
         std::string src = r.bytes(2);
         int size = int(r.num(3));
         TextBuffer buf(dst, size_t(std::max(size, 0)));
         EXPECT_EQ(Str_Cat(buf.data(), src.c_str(), size), r.num(5));
         EXPECT_EQ(buf.text(), r.bytes(4));
         EXPECT_TRUE(buf.untouchedAfter(r.bytes(4).size()));
       }},
      {"pathcomp",
       [](const VectorRow &r) {
         std::string path = r.bytes(1);
         char out[kStrPathComponentBytes + 8];
         memset(out, kSentinel, sizeof out);
         EXPECT_EQ(Str_GetPathComponent(path.c_str(), int(r.num(2)), out), r.num(3));
         EXPECT_EQ(std::string(out), r.bytes(4));
         for (size_t i = kStrPathComponentBytes; i < sizeof out; i++) EXPECT_EQ(out[i], kSentinel);
       }},
  };
}

std::map<std::string, RowCheck> searchChecks() {
  auto find2 = [](int (*fn)(const char *, const char *, const char **)) {
    return [fn](const VectorRow &r) {
      std::string s = r.bytes(1), sub = r.bytes(2);
      const char *pos = nullptr;
      EXPECT_EQ(fn(s.c_str(), sub.c_str(), &pos), r.num(3) >= 0);
      EXPECT_EQ(offsetOf(s.c_str(), pos), r.num(3));
    };
  };
  auto findChar = [](int (*fn)(const char *, char, const char **)) {
    return [fn](const VectorRow &r) {
      std::string s = r.bytes(1);
      const char *pos = nullptr;
      EXPECT_EQ(fn(s.c_str(), char(r.num(2)), &pos), r.num(3) >= 0);
      EXPECT_EQ(offsetOf(s.c_str(), pos), r.num(3));
    };
  };
  auto findBounded = [](int (*fn)(const char *, int, const char **)) {
    return [fn](const VectorRow &r) {
      std::string s = r.bytes(1);
      const char *pos = nullptr;
      EXPECT_EQ(fn(s.c_str(), int(r.num(2)), &pos), r.num(3) >= 0);
      EXPECT_EQ(offsetOf(s.c_str(), pos), r.num(3));
    };
  };
  return {
      {"find", find2(Str_Find)},
      {"findnocase", find2(Str_FindNoCase)},
      {"findlast", find2(Str_FindLast)},
      {"findanyof", find2(Str_FindAnyOf)},
      {"findchar", findChar(Str_FindChar)},
      {"findlastchar", findChar(Str_FindLastChar)},
      {"findspace", findBounded(Str_FindSpace)},
      {"findn",
       [](const VectorRow &r) {
         std::string s = r.bytes(1), sub = r.bytes(3);
         const char *pos = nullptr;
         EXPECT_EQ(Str_FindN(s.c_str(), int(r.num(2)), sub.c_str(), &pos), r.num(4) >= 0);
         EXPECT_EQ(offsetOf(s.c_str(), pos), r.num(4));
       }},
      {"findanyofn",
       [](const VectorRow &r) {
         std::string s = r.bytes(1), set = r.bytes(3);
         const char *pos = nullptr;
         EXPECT_EQ(Str_FindAnyOfN(s.c_str(), int(r.num(2)), set.c_str(), &pos), r.num(4) >= 0);
         EXPECT_EQ(offsetOf(s.c_str(), pos), r.num(4));
       }},
      {"keysep",
       [](const VectorRow &r) {
         std::string s = r.bytes(1);
         const char *pos = nullptr;
         EXPECT_EQ(Str_FindLastKeySeparator(s.c_str(), &pos), r.num(2) >= 0);
         EXPECT_EQ(offsetOf(s.c_str(), pos), r.num(2));
       }},
      {"memfind",
       [](const VectorRow &r) {
         std::string buf = r.bytes(1), pat = r.bytes(2);
         const char *pos = nullptr;
         EXPECT_EQ(Mem_Find(buf.data(), int64_t(buf.size()), pat.data(), int64_t(pat.size()), &pos),
                   r.num(3) >= 0);
         EXPECT_EQ(offsetOf(buf.data(), pos), r.num(3));
       }},
      {"memfinddot",
       [](const VectorRow &r) {
         std::string buf = r.bytes(1);
         const char *pos = nullptr;
         EXPECT_EQ(Mem_FindDot(buf.data(), int64_t(buf.size()), &pos), r.num(2) >= 0);
         EXPECT_EQ(offsetOf(buf.data(), pos), r.num(2));
       }},
  };
}

std::map<std::string, RowCheck> trimAndEditChecks() {
  auto inPlace = [](const std::function<void(char *, const VectorRow &)> &call,
                    size_t expectField) {
    return [call, expectField](const VectorRow &r) {
      TextBuffer buf(r.bytes(1), 0);
      call(buf.data(), r);
      EXPECT_EQ(buf.text(), r.bytes(expectField));
    };
  };
  auto withSet = [](void (*fn)(char *, const char *)) {
    return [fn](const VectorRow &r) {
      TextBuffer buf(r.bytes(1), 0);
      std::string set = r.bytes(2);
      fn(buf.data(), set.c_str());
      EXPECT_EQ(buf.text(), r.bytes(3));
    };
  };
  return {
      {"trimleft", inPlace([](char *s, const VectorRow &) { Str_TrimLeft(s); }, 2)},
      {"trimws", inPlace([](char *s, const VectorRow &) { Str_TrimWhitespace(s); }, 2)},
      {"upper", inPlace([](char *s, const VectorRow &) { Str_ToUpper(s); }, 2)},
      {"lower", inPlace([](char *s, const VectorRow &) { Str_ToLower(s); }, 2)},
      {"trimrightchar",
       inPlace([](char *s, const VectorRow &r) { Str_TrimRightChar(s, char(r.num(2))); }, 3)},
      {"trimleftchars", withSet(Str_TrimLeftChars)},
      {"trimrightchars", withSet(Str_TrimRightChars)},
      {"trimchars", withSet(Str_TrimChars)},
      {"replaceall",
       [](const VectorRow &r) {
         std::string find = r.bytes(1), repl = r.bytes(2), s = r.bytes(3);
         int size = int(r.num(4));
         TextBuffer buf(s, size_t(std::max(size, 0)));
         EXPECT_EQ(Str_ReplaceAll(find.c_str(), repl.c_str(), buf.data(), size), r.num(5));
         EXPECT_EQ(buf.text(), r.bytes(6));
         EXPECT_TRUE(buf.untouchedAfter(std::max(s.size(), r.bytes(6).size())));
       }},
      {"replacechar",
       [](const VectorRow &r) {
         TextBuffer buf(r.bytes(3), 0);
         EXPECT_EQ(Str_ReplaceChar(char(r.num(1)), char(r.num(2)), buf.data()), r.num(5));
         EXPECT_EQ(buf.text(), r.bytes(4));
       }},
      {"cutleft",
       [](const VectorRow &r) {
         TextBuffer buf(r.bytes(1), 0);
         EXPECT_EQ(Str_CutLeft(buf.data(), int(r.num(2))), r.num(3));
         EXPECT_EQ(buf.text(), r.bytes(4));
       }},
      {"insertblanks",
       [](const VectorRow &r) {
         std::string s = r.bytes(1);
         int size = int(r.num(2));
         TextBuffer buf(s, size_t(std::max(size, 0)));
         EXPECT_EQ(Str_InsertBlanks(buf.data(), size, int(r.num(3))), r.num(4));
         EXPECT_EQ(buf.text(), r.bytes(5));
         EXPECT_TRUE(buf.untouchedAfter(std::max(s.size(), r.bytes(5).size())));
       }},
  };
}

std::map<std::string, RowCheck> compareChecks() {
  auto pair = [](int (*fn)(const char *, const char *)) {
    return [fn](const VectorRow &r) {
      std::string a = r.bytes(1), b = r.bytes(2);
      EXPECT_EQ(sign(fn(a.c_str(), b.c_str())), r.num(3));
    };
  };
  auto counted = [](int (*fn)(const char *, const char *, int)) {
    return [fn](const VectorRow &r) {
      std::string a = r.bytes(1), b = r.bytes(2);
      EXPECT_EQ(fn(a.c_str(), b.c_str(), int(r.num(3))), r.num(4));
    };
  };
  return {
      {"cmp", pair(Str_Compare)},           {"cmpnocase", pair(Str_CompareNoCase)},
      {"startswith", pair(Str_StartsWith)}, {"startswithnocase", pair(Str_StartsWithNoCase)},
      {"endswith", pair(Str_EndsWith)},     {"endswithnocase", pair(Str_EndsWithNoCase)},
      {"equaln", counted(Str_EqualN)},      {"equalnocasen", counted(Str_EqualNoCaseN)},
  };
}

std::map<std::string, RowCheck> hexAndAddressChecks() {
  return {
      {"hexenc",
       [](const VectorRow &r) {
         std::string data = r.bytes(1);
         int64_t size = r.num(3);
         TextBuffer buf("", size_t(size));
         EXPECT_EQ(
             Str_HexEncode(data.data(), int64_t(data.size()), int(r.num(2)), buf.data(), size),
             r.num(4));
         EXPECT_EQ(buf.text(), r.bytes(5));
         EXPECT_TRUE(buf.untouchedAfter(r.bytes(5).size()));
       }},
      {"hexdec",
       [](const VectorRow &r) {
         std::string hex = r.bytes(1), expect = r.bytes(4);
         int64_t size = r.num(2);
         std::vector<char> out(size_t(size) + 8, kSentinel);
         int64_t length = -1;
         EXPECT_EQ(Str_HexDecode(hex.data(), int64_t(hex.size()), out.data(), size, &length),
                   r.num(3));
         ASSERT_EQ(length, int64_t(expect.size()));
         EXPECT_EQ(std::string(out.data(), size_t(length)), expect);
         // A terminator byte follows when there is room, nothing beyond size.
         if (length < size) {
           EXPECT_EQ(out[size_t(length)], 0);
         }
         for (size_t i = size_t(size); i < out.size(); i++) EXPECT_EQ(out[i], kSentinel);
       }},
      {"ipv4",
       [](const VectorRow &r) {
         std::string text = r.bytes(1);
         uint32_t address = 0xDEADBEEF;
         int port = -7;
         EXPECT_EQ(Str_ParseIPv4(text.c_str(), &address, &port), r.num(2));
         if (r.num(2)) {
           EXPECT_EQ(address, uint32_t(r.num(3)));
           EXPECT_EQ(port, r.num(4) >= 0 ? r.num(4) : -7);
         } else {
           EXPECT_EQ(address, 0xDEADBEEF);
           EXPECT_EQ(port, -7);
         }
       }},
  };
}

}  // namespace

// ---- Differential against Python ------------------------------------------

TEST(StrOracle, MatchesPythonBytesMethodsOverGeneratedCorpus) {
  std::map<std::string, RowCheck> checks;
  for (auto &table :
       {copyChecks(), searchChecks(), trimAndEditChecks(), compareChecks(), hexAndAddressChecks()})
    checks.insert(table.begin(), table.end());
  std::map<std::string, int> seen;
  auto rows = readRows("str_ops.txt");
  ASSERT_GT(rows.size(), 10000u);
  for (size_t i = 0; i < rows.size(); i++) {
    const VectorRow &row = rows[i];
    SCOPED_TRACE("str_ops.txt row " + std::to_string(i + 2) + ": " + row.fields[0]);
    auto it = checks.find(row.fields[0]);
    ASSERT_NE(it, checks.end()) << "unknown operation";
    it->second(row);
    seen[row.fields[0]]++;
    if (HasFailure()) break;  // the first differing row says enough
  }
  // Every operation of the oracle ran.
  EXPECT_EQ(seen.size(), checks.size());
}

// ---- Copies and edits by hand ---------------------------------------------

TEST(Str, ArrayOverloadsTakeTheArraySize) {
  char small[4];
  EXPECT_EQ(Str_Set(small, "abcdef"), 0);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(Str_Set(small, "abc"), 1);
  EXPECT_EQ(Str_CopyName(small, "ab=c"), 2);
  EXPECT_STREQ(small, "ab");
  EXPECT_EQ(Str_CopyName(small, "abcdef"), 3);

  char text[8] = "a.b.c";
  EXPECT_EQ(Str_ReplaceAll(".", "---", text), 0);  // "a---b---c" needs 10 bytes
  EXPECT_STREQ(text, "a.b.c");
  EXPECT_EQ(Str_ReplaceAll(".", "--", text), 1);  // "a--b--c" fits exactly
  EXPECT_STREQ(text, "a--b--c");
  EXPECT_EQ(Str_ReplaceAll("--", ".", text), 1);
  EXPECT_EQ(Str_ReplaceAll(".b", "", text), 1);
  EXPECT_STREQ(text, "a.c");
  EXPECT_EQ(Str_ReplaceAll("a", "xyz", text), 1);
  EXPECT_STREQ(text, "xyz.c");
}

TEST(Str, CopyNameStopsAtItsLimit) {
  std::string longName(5000, 'n');
  std::vector<char> out(6000, kSentinel);
  EXPECT_EQ(Str_CopyName(out.data(), longName.c_str(), int(out.size())), kStrNameMaxCharacters);
  EXPECT_EQ(strlen(out.data()), size_t(kStrNameMaxCharacters));
}

TEST(Str, UnescapeDropsEachEscapeAndKeepsTheNextCharacter) {
  struct {
    const char *text;
    char esc;
    const char *expect;
  } rows[] = {
      {"\"C:\\Program Files\"", '"', "C:\\Program Files"},
      {"say \"\"hi\"\"", '"', "say \"hi\""},
      {"a\\\\b\\", '\\', "a\\b"},
      {"plain", '\\', "plain"},
      {"x^", 0, "x^"},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(row.text);
    char buf[64];
    Str_Copy(buf, row.text, sizeof buf);
    Str_Unescape(buf, row.esc);
    EXPECT_STREQ(buf, row.expect);
  }
}

TEST(Str, TrimRightCharsNCountsEmbeddedNulAsText) {
  char buf[] = {'a', '\0', 'b', ' ', ' ', 'x'};
  int newLength = -1;
  Str_TrimRightCharsN(buf, " ", 5, &newLength);
  EXPECT_EQ(newLength, 3);
  EXPECT_EQ(buf[3], '\0');
  EXPECT_EQ(buf[5], 'x');  // untouched: beyond the stated length
  Str_TrimRightCharsN(buf, "b", 3, &newLength);
  EXPECT_EQ(newLength, 2);  // stops at the NUL, which is never in a set
}

TEST(Str, ComparisonExamples) {
  EXPECT_EQ(Str_EndsWith("report.json", ".json"), 1);
  EXPECT_EQ(Str_EndsWith("json", ".json"), 0);
  EXPECT_EQ(Str_EndsWithNoCase("A.JSON", ".json"), 1);
  // Signed bytes: 0x80 and above sort before ASCII, but a prefix is smaller.
  EXPECT_EQ(Str_CompareNoCase("\xC3\xA9", "a"), -1);
  EXPECT_EQ(Str_CompareNoCase("a", "a\xC3\xA9"), -1);
  EXPECT_EQ(Str_CompareNoCase("ABC", "abc"), 0);
  EXPECT_GT(Str_Compare("\xC3\xA9", "a"), 0);
  EXPECT_EQ(Str_EqualNoCaseN("abc", "xyz", 0), 1);
}

TEST(Str, ToBoolReadsKnownWordsOnly) {
  struct {
    const char *text;
    int result;
    int value;
  } rows[] = {
      {"1", 1, 1},     {"true", 1, 1},  {"Yes", 1, 1},       {"on", 1, 1}, {"0", 1, 0},
      {"FALSE", 1, 0}, {"no", 1, 0},    {"Off", 1, 0},       {"", 1, 7},   {" yes", 0, 7},
      {"yes ", 0, 7},  {"maybe", 0, 7}, {"truetrue1", 0, 7}, {"2", 0, 7},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(row.text);
    int value = -1;
    EXPECT_EQ(Str_ToBool(row.text, &value, 7), row.result);
    EXPECT_EQ(value, row.value);
  }
}

// ---- Random text and GUIDs ------------------------------------------------

TEST(Str, RandomUsesOnlyItsAlphabet) {
  const std::string alphabet = "acegikmoqsuwyBDFHJLNPRTVXZ123456789";
  ASSERT_EQ(alphabet.size(), 35u);
  std::vector<char> buf(20001, kSentinel);
  EXPECT_EQ(Str_Random(buf.data(), int(buf.size())), 1);
  std::string text(buf.data());
  ASSERT_EQ(text.size(), buf.size() - 1);
  std::set<char> used(text.begin(), text.end());
  for (char c : used) EXPECT_NE(alphabet.find(c), std::string::npos) << c;
  EXPECT_EQ(used.size(), 35u);  // 20000 draws reach every character

  char small[3] = {kSentinel, kSentinel, kSentinel};
  EXPECT_EQ(Str_Random(small, 0), 1);
  EXPECT_EQ(small[0], kSentinel);
  EXPECT_EQ(Str_Random(small, 1), 1);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(Str_Random(small, 2), 1);
  EXPECT_EQ(strlen(small), 1u);
}

TEST(Str, CreateGuidGivesDistinctLowerCaseHex) {
  std::set<std::string> seen;
  char guid[kStrGuidBytes];
  for (int i = 0; i < 100000; i++) {
    ASSERT_EQ(Str_CreateGuid(guid, sizeof guid), 1);
    ASSERT_EQ(strlen(guid), 32u);
    ASSERT_EQ(strspn(guid, "0123456789abcdef"), 32u) << guid;
    ASSERT_EQ(guid[14], '4') << guid;  // version nibble: high half of byte 7
    ASSERT_TRUE(seen.insert(guid).second) << "repeated " << guid;
  }
  char shortBuffer[32];
  EXPECT_EQ(Str_CreateGuid(shortBuffer, sizeof shortBuffer), 0);
  EXPECT_STREQ(shortBuffer, "");
}

// ---- Hex by hand ----------------------------------------------------------

TEST(Str, HexDecodeSkipsPrefixAndTerminatesWhenRoomAllows) {
  struct {
    const char *hex;
    int64_t size;
    int result;
    const char *expect;
  } rows[] = {
      {"0x4142", 8, 1, "AB"}, {"0X4a4B", 8, 1, "JK"}, {"0x", 8, 1, ""},  {"4142", 2, 1, "AB"},
      {"414243", 2, 0, "AB"}, {"41 42", 8, 0, "A"},   {"x41", 8, 0, ""},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(row.hex);
    char out[16];
    memset(out, kSentinel, sizeof out);
    int64_t length = -1;
    EXPECT_EQ(Str_HexDecode(row.hex, int64_t(strlen(row.hex)), out, row.size, &length), row.result);
    EXPECT_EQ(std::string(out, size_t(length)), row.expect);
    EXPECT_EQ(out[length], length < row.size ? '\0' : kSentinel);
  }
}

// ---- Numbers ----------------------------------------------------------------

namespace {

std::string randomDigits(std::mt19937_64 &rng, int count, const char *digits, int base) {
  std::string s;
  for (int i = 0; i < count; i++) s.push_back(digits[rng() % unsigned(base)]);
  return s;
}

}  // namespace

TEST(StrNumbers, IntegersMatchStrtollAndStrtoull) {
  const uint64_t seed = 0x1D7E64;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::vector<std::string> texts = {
      "9223372036854775807",
      "9223372036854775808",
      "-9223372036854775808",
      "-9223372036854775809",
      "18446744073709551615",
      "18446744073709551616",
      "-0",
      "+0",
      "",
      "-",
      "+",
      "0x",
      "-0x8000000000000000",
      "0xFFFFFFFFFFFFFFFF",
      "0x10000000000000000",
      "0x00000000000000000001",
      "-0x1",
      "+0xff",
      "0xg",
      "12abc",
      "007",
      "99999999999999999999999999999999",
  };
  const char *signs[] = {"", "", "-", "+"};
  for (int i = 0; i < 20000; i++) {
    std::string sign = signs[rng() % 4];
    std::string tail = (rng() % 8 == 0) ? "x1" : "";
    texts.push_back(sign + randomDigits(rng, int(rng() % 25), "0123456789", 10) + tail);
    texts.push_back(sign + "0x" + randomDigits(rng, int(rng() % 20), "0123456789abcdefABCDEF", 22) +
                    tail);
  }
  for (const std::string &text : texts) {
    SCOPED_TRACE("text \"" + text + "\"");
    const char *t = text.c_str();
    bool negative = t[0] == '-';
    size_t digitsAt = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    bool hex = text.compare(digitsAt, 2, "0x") == 0 || text.compare(digitsAt, 2, "0X") == 0;
    if (hex) {
      uint64_t bits = strtoull(t, nullptr, 16);
      ASSERT_EQ(Str_ToInt64(t), int64_t(bits));
      ASSERT_EQ(Str_ToUInt64(t), negative ? 0 : bits);
    } else {
      ASSERT_EQ(Str_ToInt64(t), strtoll(t, nullptr, 10));
      ASSERT_EQ(Str_ToUInt64(t), negative ? 0 : strtoull(t, nullptr, 10));
    }
  }
  EXPECT_EQ(Str_ToInt64(nullptr), 0);
  EXPECT_EQ(Str_ToUInt64(nullptr), 0u);
}

TEST(StrNumbers, ParseHexNeedsPrefixAndDigits) {
  int64_t value = 5;
  EXPECT_EQ(Str_ParseHexInt64("0xff", &value), 1);
  EXPECT_EQ(value, 255);
  EXPECT_EQ(Str_ParseHexInt64("0XFFFFFFFFFFFFFFFF", &value), 1);
  EXPECT_EQ(value, -1);
  EXPECT_EQ(Str_ParseHexInt64("ff", &value), 0);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(Str_ParseHexInt64("0x", &value), 0);
}

TEST(StrNumbers, Float64IsBitIdenticalToStrtod) {
  const uint64_t seed = 0xF10A7;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  auto digits = [&](int max) {
    return randomDigits(rng, int(rng() % unsigned(max + 1)), "0123456789", 10);
  };
  std::vector<std::string> texts = {"1e400",
                                    "-1e400",
                                    "1e-400",
                                    "2e-324",
                                    "3e-324",
                                    "4.9e-324",
                                    "1.7976931348623157e308",
                                    "1.7976931348623159e308",
                                    "0.0000000000000000000000000000001e-300",
                                    "5.",
                                    ".5",
                                    "-.5e1",
                                    "1e",
                                    "1e+",
                                    "1e-x",
                                    "00012.5000",
                                    "-0",
                                    "0x1A",
                                    "-0xff",
                                    "0x10000000000000001"};
  const char *signs[] = {"", "", "-", "+"};
  const char *exponentMarks[] = {"e", "E", "e+", "e-", "E-"};
  for (int i = 0; i < 100000; i++) {
    std::string text = signs[rng() % 4];
    if (i % 5 == 0) {
      // A random double written with 17 significant digits must read back.
      double d = std::bit_cast<double>(rng());
      if (!std::isfinite(d)) continue;
      char buf[64];
      auto end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific, 16).ptr;
      text = std::string(buf, end);
    } else {
      text += digits(i % 7 == 0 ? 40 : 12);
      if (rng() % 3) text += "." + digits(i % 11 == 0 ? 40 : 12);
      if (rng() % 2)
        text += exponentMarks[rng() % 5] + std::to_string(rng() % (i % 13 == 0 ? 400 : 30));
      if (rng() % 10 == 0) text += "e";
    }
    texts.push_back(text);
  }
  for (const std::string &text : texts) {
    SCOPED_TRACE("text \"" + text + "\"");
    double ours = Str_ToFloat64(text.c_str());
    double peer = strtod(text.c_str(), nullptr);
    ASSERT_EQ(std::bit_cast<uint64_t>(ours), std::bit_cast<uint64_t>(peer));
  }
  EXPECT_EQ(Str_ToFloat64(nullptr), 0.0);
  EXPECT_EQ(Str_ToFloat64("inf"), 0.0);  // only the digit grammar is read
  EXPECT_EQ(Str_ToFloat64("nan"), 0.0);
}

TEST(StrNumbers, IsNumberTakesSignDigitsAndDots) {
  struct {
    const char *text;
    int result;
  } rows[] = {{"12", 1}, {"-1.5", 1}, {"1.2.3", 1}, {"", 0},   {"-", 0},
              {".", 0},  {"+1", 0},   {"1e5", 0},   {" 1", 0}, {"--1", 0}};
  for (auto &row : rows) EXPECT_EQ(Str_IsNumber(row.text), row.result) << row.text;
}

TEST(StrNumbers, ParseIPv4RefusesOutOfRangePartsAndPorts) {
  struct {
    const char *text;
    int result;
    uint32_t address;
    int port;
  } rows[] = {
      {"10.0.0.1:8080", 1, 0x0100000A, 8080},
      {"::1", 1, 0x0100007F, -7},
      {"10.0.0.300", 0, 0xDEADBEEF, -7},
      {"1.2.3.4:70000", 0, 0xDEADBEEF, -7},
      {"10.0.0", 0, 0xDEADBEEF, -7},
      {"1.2.3.4:65535", 1, 0x04030201, 65535},
      {"::1:80", 0, 0xDEADBEEF, -7},
      {"1.2.3.4.", 0, 0xDEADBEEF, -7},
      {"010.0.0.1", 1, 0x0100000A, -7},
      {"1.2.3.4:", 0, 0xDEADBEEF, -7},
      {"99999999999999999999.1.1.1", 0, 0xDEADBEEF, -7},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(row.text);
    uint32_t address = 0xDEADBEEF;
    int port = -7;
    EXPECT_EQ(Str_ParseIPv4(row.text, &address, &port), row.result);
    EXPECT_EQ(address, row.address);
    EXPECT_EQ(port, row.port);
  }
}

TEST(StrNumbers, VersionsParseAndCompare) {
  struct {
    const char *a;
    const char *b;
    int result;  // 2: does not parse
  } rows[] = {
      {"v1.2", "1.2.0.0", 0},  {"1.10", "1.9", 1},    {"1.2a", "1.2", 2}, {"", "1", 2},
      {"V3,1", "3.1.0.1", -1}, {"1.2.3.4.5", "1", 2}, {"1..2", "1", 2},   {"2147483648", "1", 2},
      {"2147483647", "1", 1},  {"v", "1", 2},         {"1.", "1", 2},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(std::string(row.a) + " vs " + row.b);
    int result = 9;
    EXPECT_EQ(Str_CompareVersion(row.a, row.b, &result), row.result != 2);
    if (row.result != 2) {
      EXPECT_EQ(result, row.result);
    }
  }
  int32_t major = -1, minor = -1, build = -1, revision = -1;
  EXPECT_EQ(Str_ParseVersion("v4.3,2", &major, &minor, &build, &revision), 1);
  EXPECT_EQ(major * 1000 + minor * 100 + build * 10 + revision, 4320);
}

// ---- Fields and lines -------------------------------------------------------

TEST(StrFields, GetTokenSplitsAndReportsFullFields) {
  struct {
    const char *text;
    char separator;
    int mode;
    int index;
    int size;
    int result;
    const char *expect;
  } rows[] = {
      {"a, b ,c", ',', 1, 1, 16, 1, "b"},
      {"a, b ,c", ',', 0, 1, 16, 1, " b "},
      {"a, b ,c", ',', 1, 2, 16, 1, "c"},
      {"a, b ,c", ',', 1, 3, 16, 0, ""},
      {"", ',', 0, 0, 16, 0, ""},
      {"abc", ',', 0, 0, 4, 0, "abc"},
      {"abc", ',', 0, 0, 5, 1, "abc"},
      {"abcdef", ',', 0, 0, 4, 0, "abc"},
      {"x\t\r\n,y", ',', 1, 0, 16, 1, "x"},
      {"a,,b", ',', 0, 1, 16, 1, ""},
      {"a b", '\0', 0, 0, 16, 1, "a b"},
      {"a b", '\0', 0, 1, 16, 0, ""},
      {"HTTP/1.1  200 OK", ' ', 1, 1, 16, 1, "200"},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(std::string(row.text) + " #" + std::to_string(row.index));
    char out[32];
    EXPECT_EQ(Str_GetToken(row.text, row.separator, row.mode, row.index, out, row.size),
              row.result);
    EXPECT_STREQ(out, row.expect);
  }
  char untouched = kSentinel;
  EXPECT_EQ(Str_GetToken("abc", ',', 0, 0, &untouched, 0), 0);
  EXPECT_EQ(untouched, kSentinel);
}

TEST(StrFields, ReadLineEndsAtPairsOfLineBreaks) {
  std::string longLine = std::string(100, 'x') + "\r\n";
  std::string exact = std::string(78, 'y') + "\n\r";
  struct {
    std::string buffer;
    int result;
    std::string line;
    int consumed;
  } rows[] = {
      {"abc\r\ndef", 1, "abc", 5},
      {"a\rb\r\n", 1, "a\rb", 5},
      {"abc", 0, "abc", 3},
      {"\n\n", 1, "", 2},
      {"a\r\rb", 1, "a", 3},
      {"a\n", 0, "a\n", 2},
      {longLine, 0, std::string(78, 'x'), 78},
      {exact, 1, std::string(78, 'y'), 80},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(row.buffer);
    char line[kStrLineBytes + 8];
    memset(line, kSentinel, sizeof line);
    int consumed = -1;
    EXPECT_EQ(Str_ReadLine(row.buffer.data(), int(row.buffer.size()), line, &consumed), row.result);
    EXPECT_EQ(std::string(line), row.line);
    EXPECT_EQ(consumed, row.consumed);
    EXPECT_EQ(line[kStrLineBytes], kSentinel);
  }
}

// ---- Wildcards --------------------------------------------------------------

TEST(StrWildcard, MatchesFnmatchOnRandomPatterns) {
  const uint64_t seed = 0x3117CA4D;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  auto draw = [&](const char *alphabet, int maxLength) {
    std::string s;
    size_t n = strlen(alphabet);
    for (int i = int(rng() % unsigned(maxLength + 1)); i > 0; i--) s.push_back(alphabet[rng() % n]);
    return s;
  };
  for (int i = 0; i < 100000; i++) {
    bool noCase = i % 2 == 1;
    std::string pattern = draw(noCase ? "aAbB*" : "ab*", 8);
    std::string text = draw(noCase ? "aAbB" : "ab", 10);
    SCOPED_TRACE("pattern \"" + pattern + "\" text \"" + text + "\"");
    int flags = FNM_NOESCAPE | (noCase ? FNM_CASEFOLD : 0);
    int peer = fnmatch(pattern.c_str(), text.c_str(), flags) == 0;
    ASSERT_EQ(Str_MatchWildcard(text.c_str(), pattern.c_str(), '\0', noCase), peer);
  }
}

TEST(StrWildcard, EscapeStopCharacterAndLists) {
  struct {
    const char *text;
    const char *pattern;
    char stop;
    int noCase;
    int result;
  } rows[] = {
      {"a*b", "a\\*b", 0, 0, 1},
      {"axb", "a\\*b", 0, 0, 0},
      {"a\\b", "a\\b", 0, 0, 1},
      {"*", "\\*", 0, 0, 1},
      {"abc", "*\\*", 0, 0, 0},
      {"x.exe", "*.exe;*.msi", ';', 0, 1},
      {"x.msi", "*.exe;*.msi", ';', 0, 0},
      {"X.EXE", "*.exe", 0, 1, 1},
      {"X.EXE", "*.exe", 0, 0, 0},
      {"", "", 0, 0, 1},
      {"", "*", 0, 0, 1},
      {"", ";x", ';', 0, 1},
      {"\xC3\xA9", "\xC3\x89", 0, 1, 0},  // only ASCII folds
  };
  for (auto &row : rows) {
    SCOPED_TRACE(std::string(row.text) + " ~ " + row.pattern);
    EXPECT_EQ(Str_MatchWildcard(row.text, row.pattern, row.stop, row.noCase), row.result);
  }
  EXPECT_EQ(Str_MatchWildcardList("Tool.exe", "*.msi; *.exe"), 1);
  EXPECT_EQ(Str_MatchWildcardList("Tool.exe", "*.msi;  \t*.EXE"), 1);
  EXPECT_EQ(Str_MatchWildcardList("Tool.exe", "*.msi;*.dll"), 0);
  EXPECT_EQ(Str_MatchWildcardList("Tool.exe", "*.msi ;*.exe "), 0);  // blanks before ';' count
  EXPECT_EQ(Str_MatchWildcardList("anything", "*"), 1);
  EXPECT_EQ(Str_MatchWildcardList("", "*"), 1);
  EXPECT_EQ(Str_MatchWildcardList("anything", ""), 0);
}

// Regression: recursive matching took exponential time on many '*' pieces
// against a long run of one character. The ctest timeout guards this.
TEST(StrWildcard, PathologicalPatternFinishes) {
  std::string pattern;
  for (int i = 0; i < 30; i++) pattern += "*a";
  pattern += "b";
  std::string text(100000, 'a');
  EXPECT_EQ(Str_MatchWildcard(text.c_str(), pattern.c_str(), '\0', 0), 0);
  EXPECT_EQ(Str_MatchWildcard((text + "b").c_str(), pattern.c_str(), '\0', 1), 1);
}

// ---- Fatal paths --------------------------------------------------------------

TEST(StrDeathTest, NullArgumentsStopInEveryTable) {
  char buf[8] = "";
  int value = 0;
  uint32_t address = 0;
  EXPECT_DEATH(Str_Copy(nullptr, "a", 4), "Pointer is NULL\n");                   // copying
  EXPECT_DEATH(Str_TrimChars(buf, nullptr), "Pointer is NULL\n");                 // trimming
  EXPECT_DEATH(Str_CompareNoCase(nullptr, "a"), "Pointer is NULL\n");             // comparing
  EXPECT_DEATH(Str_Find("abc", "b", nullptr), "Pointer is NULL\n");               // searching
  EXPECT_DEATH(Str_ParseIPv4(nullptr, &address, &value), "Pointer is NULL\n");    // numbers
  EXPECT_DEATH(Str_GetToken("a,b", ',', 0, 0, nullptr, 4), "Pointer is NULL\n");  // fields
}

TEST(StrDeathTest, HexEncodeWithoutRoomForTheTerminatorStops) {
  char out[1];
  EXPECT_DEATH(Str_HexEncode("a", 1, 1, out, 0),
               "Assertion failed \\(MaxHex > 0\\)\nUnable to null terminate hex string");
}
