// Dictionary: keys, values and conversions, key/value text, the operation
// table and the fatal paths. Paths are tested in dictionary_path_test.cpp,
// change callbacks in dictionary_callback_test.cpp, random operation
// sequences against a model in dictionary_model_test.cpp.
#include "core/formats/dictionary.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "tests/dictionary_test_util.h"

namespace {

// ---- Keys ----------------------------------------------------------------

// Two keys that share their first 119 bytes once met the same item, so a
// lookup of one answered the other's value.
TEST_F(DictionaryFixture, LongKeysStayWholeAndDistinct) {
  for (int pool : {0, 1}) {
    SCOPED_TRACE(pool);
    Dictionary_Clear(d);
    Dictionary_SetStringPool(d, pool);
    LogLines lines(d);
    std::string a = std::string(119, 'k') + "-alpha", b = std::string(119, 'k') + "-beta";
    std::string huge(5000, 'h');  // longer than a string-pool member
    ASSERT_EQ(Dictionary_SetStringByKey(d, a.c_str(), "one"), 1);
    ASSERT_EQ(Dictionary_SetStringByKey(d, b.c_str(), "two"), 1);
    ASSERT_EQ(Dictionary_SetStringByKey(d, huge.c_str(), "three"), 1);
    ASSERT_EQ(Dictionary_SetStringByKey(d, a.c_str(), "uno"), 1);
    int32_t count = 0;
    Dictionary_GetCount(d, &count);
    EXPECT_EQ(count, 3);
    const char *text = nullptr;
    ASSERT_EQ(Dictionary_GetStringPointerByKey(d, a.c_str(), &text), 1);
    EXPECT_STREQ(text, "uno");
    ASSERT_EQ(Dictionary_GetStringPointerByKey(d, b.c_str(), &text), 1);
    EXPECT_STREQ(text, "two");
    ASSERT_EQ(Dictionary_GetStringPointerByKey(d, ("#" + huge).c_str(), &text), 1);
    EXPECT_STREQ(text, "three");
    DictionaryItem *item = nullptr;
    Dictionary_GetLastItem(d, &item);
    const char *stored = nullptr;
    Dictionary_GetItemKey(d, item, &stored);
    EXPECT_EQ(std::string(stored), huge);
    EXPECT_EQ(Dictionary_HasKey(d, std::string(119, 'k').c_str()), 0);
    EXPECT_EQ(Dictionary_GetStringPointerByPath(d, (b + "").c_str(), &text), 1);
    EXPECT_STREQ(text, "two");
    EXPECT_TRUE(lines.lines.empty()) << lines.lines[0];
  }
}

TEST_F(DictionaryFixture, HashPrefixHidesAndIsSkippedOnLookup) {
  struct Row {
    int hashPrefix;
    const char *lookup;
    int found;
    int hidden;
    const char *storedKey;
  };
  const Row rows[] = {
      {1, "secret", 1, 1, "secret"},
      {1, "#secret", 1, 1, "secret"},
      {0, "#secret", 1, 0, "#secret"},
      {0, "secret", 0, 0, "#secret"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.lookup) + " hashPrefix " + std::to_string(row.hashPrefix));
    Dictionary_Clear(d);
    Dictionary_SetHashPrefix(d, row.hashPrefix);
    DictionaryItem *item = nullptr;
    Dictionary_AddString(d, "#secret", "v", &item);
    EXPECT_EQ(Dictionary_IsItemHidden(d, item), row.hidden);
    const char *key = nullptr;
    Dictionary_GetItemKey(d, item, &key);
    EXPECT_STREQ(key, row.storedKey);
    EXPECT_EQ(Dictionary_HasKey(d, row.lookup), row.found);
  }
  // Renaming to a key without '#' clears the hidden flag.
  Dictionary_SetHashPrefix(d, 1);
  DictionaryItem *item = nullptr;
  Dictionary_AddNull(d, "#h", &item);
  Dictionary_SetItemKey(d, item, "plain");
  EXPECT_EQ(Dictionary_IsItemHidden(d, item), 0);
}

TEST_F(DictionaryFixture, DuplicatesAndCase) {
  DictionaryItem *first = nullptr, *second = nullptr, *found = nullptr;
  Dictionary_AddInt64(d, "a", 1, &first);
  Dictionary_AddInt64(d, "a", 2, &second);
  EXPECT_NE(first, second);
  Dictionary_FindKey(d, "a", nullptr, &found);
  EXPECT_EQ(found, first);
  Dictionary_FindKey(d, "a", second, &found);
  EXPECT_EQ(found, second) << "a start item searches from there";

  Dictionary_SetAllowDuplicates(d, 0);
  DictionaryItem *third = nullptr;
  Dictionary_AddInt64(d, "a", 3, &third);
  EXPECT_EQ(third, first) << "without duplicates the add answers the existing item";
  int64_t value = 0;
  Dictionary_GetItemInt64(d, first, &value);
  EXPECT_EQ(value, 3);
  int32_t count = 0;
  Dictionary_GetCount(d, &count);
  EXPECT_EQ(count, 2);

  EXPECT_EQ(Dictionary_HasKey(d, "A"), 0);
  Dictionary_SetCaseSensitive(d, 0);
  EXPECT_EQ(Dictionary_HasKey(d, "A"), 1);
  Dictionary_AddInt64(d, "A", 4, &third);
  EXPECT_EQ(third, first) << "case-insensitive and without duplicates";
}

TEST_F(DictionaryFixture, FindKeyBracketSelectsByPosition) {
  Dictionary_AddString(d, "x", "0", nullptr);
  Dictionary_AddString(d, "[2]", "literal", nullptr);
  Dictionary_AddString(d, "y", "2", nullptr);
  Dictionary_AddString(d, "z", "3", nullptr);
  struct Row {
    const char *key;
    const char *value;  // nullptr: not found
  };
  const Row rows[] = {
      {"[0]", "0"}, {"[2]", "literal"}, {"[3]", "3"}, {"[4]", nullptr},
      {"[-1]", nullptr}, {"[x]", nullptr}, {"[]", nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.key);
    char buffer[16];
    int found = Dictionary_GetStringByKey(d, row.key, buffer, sizeof buffer);
    EXPECT_EQ(found, row.value != nullptr);
    if (row.value) {
      EXPECT_STREQ(buffer, row.value);
    }
  }
}

// ---- Values and conversions ----------------------------------------------

TEST_F(DictionaryFixture, ConversionEdgeCases) {
  Dictionary_SetFloat64ByKey(d, "f", 0.1);
  const char *text = nullptr;
  int32_t length = 0;
  Dictionary_GetTextByKey(d, "f", &text, &length);
  EXPECT_STREQ(text, "0.1");
  Dictionary_SetFloat64ByKey(d, "f", 123456789.0);
  Dictionary_GetTextByKey(d, "f", &text, &length);
  EXPECT_STREQ(text, "123456789");
  EXPECT_EQ(length, 9);
  int64_t i64 = 0;
  EXPECT_EQ(Dictionary_GetInt64ByKey(d, "f", &i64), 1);
  EXPECT_EQ(i64, 123456789);
  Dictionary_SetFloat64ByKey(d, "f", 1e20);
  Dictionary_GetTextByKey(d, "f", &text, &length);
  EXPECT_STREQ(text, "1e+20");
  Dictionary_SetFloat64ByKey(d, "f", 3.14159265);
  double f = 0;
  Dictionary_GetFloat64ByKey(d, "f", &f);
  EXPECT_EQ(f, 3.14159265);

  Dictionary_SetInt64ByKey(d, "n", -5);
  EXPECT_EQ(Dictionary_GetFloat64ByKey(d, "n", &f), 1);
  EXPECT_EQ(f, -5.0);
  int32_t boolean = 1;
  EXPECT_EQ(Dictionary_GetBooleanByKey(d, "n", &boolean), 0);
  EXPECT_EQ(boolean, 0);

  // A String never reads as a number, nor a number as a String.
  Dictionary_SetStringByKey(d, "s", "12");
  i64 = 9;
  EXPECT_EQ(Dictionary_GetInt64ByKey(d, "s", &i64), 0);
  EXPECT_EQ(i64, 0);
  char buffer[8] = "junk";
  EXPECT_EQ(Dictionary_GetStringByKey(d, "n", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(Dictionary_GetStringByKey(d, "missing", buffer, sizeof buffer), 0);

  // A Boolean is never text to the String readers, but has a text.
  Dictionary_SetBooleanByKey(d, "b", 1);
  EXPECT_EQ(Dictionary_GetStringPointerByKey(d, "b", &text), 0);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(Dictionary_GetTextByKey(d, "b", &text, &length), 1);
  EXPECT_STREQ(text, "true");

  // SetStringByKey on a key that holds a Dictionary drops the child tree.
  Dictionary *child = nullptr;
  Dictionary_SetDictionaryByKey(d, "tree", nullptr, &child);
  Dictionary_SetStringByPath(child, "deep.er", "x");
  Dictionary_SetStringByKey(d, "tree", "leaf");
  DictionaryType type = 0;
  Dictionary_GetTypeByKey(d, "tree", &type);
  EXPECT_EQ(type, kDictionaryTypeString);
  EXPECT_EQ(Dictionary_HasPath(d, "tree.deep"), 0);

  // Item setters keep the type; a Null item ignores them.
  DictionaryItem *item = nullptr;
  Dictionary_AddString(d, "str", "old", &item);
  Dictionary_SetItemInt64(d, item, 77);
  Dictionary_GetItemType(d, item, &type);
  EXPECT_EQ(type, kDictionaryTypeString);
  EXPECT_EQ(Dictionary_GetItemString(d, item, buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "77");
  Dictionary_AddNull(d, "nil", &item);
  Dictionary_SetItemInt64(d, item, 77);
  Dictionary_SetItemString(d, item, "x");
  EXPECT_EQ(Dictionary_GetItemText(d, item, &text, &length), 1);
  EXPECT_STREQ(text, "null");
  EXPECT_EQ(length, 4);
}

TEST_F(DictionaryFixture, ItemTextByType) {
  struct Row {
    const char *name;
    int type;
    int found;
    const char *text;
  };
  const Row rows[] = {
      {"Unknown", kDictionaryTypeUnknown, 0, nullptr},
      {"Null", kDictionaryTypeNull, 1, "null"},
      {"BooleanFalse", kDictionaryTypeBoolean, 1, "false"},
      {"Int64Empty", kDictionaryTypeInt64, 1, ""},
      {"StringEmpty", kDictionaryTypeString, 1, ""},
      {"List", kDictionaryTypeList, 0, nullptr},
      {"Dictionary", kDictionaryTypeDictionary, 0, nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    DictionaryItem *item = nullptr;
    Dictionary_AddKey(d, row.name, &item);
    Dictionary_SetItemType(d, item, row.type);
    const char *text = "junk";
    int32_t length = -1;
    EXPECT_EQ(Dictionary_GetItemText(d, item, &text, &length), row.found);
    if (row.text) {
      EXPECT_STREQ(text, row.text);
      EXPECT_EQ(length, int32_t(strlen(row.text)));
    } else {
      EXPECT_EQ(text, nullptr);
      EXPECT_EQ(length, 0);
    }
  }
  DictionaryItem *item = nullptr;
  Dictionary_AddKey(d, "bad", &item);
  EXPECT_EQ(Dictionary_SetItemType(d, item, 8), 0);
  EXPECT_EQ(Dictionary_SetItemType(d, item, -1), 0);
}

TEST_F(DictionaryFixture, BooleanTextAndBit) {
  DictionaryItem *item = nullptr;
  Dictionary_AddBoolean(d, "b", 2, &item);
  int32_t value = -1;
  Dictionary_GetItemBoolean(d, item, &value);
  EXPECT_EQ(value, 0) << "only 1 is true";
  const char *const texts[] = {"true", "T", "tRUE", "false", "1", "", "yes"};
  const int expected[] = {1, 1, 1, 0, 0, 0, 0};
  for (size_t i = 0; i < std::size(texts); i++) {
    SCOPED_TRACE(texts[i]);
    Dictionary_SetItemText(d, item, texts[i], int32_t(strlen(texts[i])));
    Dictionary_GetItemBoolean(d, item, &value);
    EXPECT_EQ(value, expected[i]);
  }
  // The bit survives a type change and back.
  Dictionary_SetItemBoolean(d, item, 1);
  Dictionary_SetItemType(d, item, kDictionaryTypeString);
  Dictionary_SetItemType(d, item, kDictionaryTypeBoolean);
  Dictionary_GetItemBoolean(d, item, &value);
  EXPECT_EQ(value, 1);
}

TEST_F(DictionaryFixture, IntegerReadersOfFloatText) {
  struct Row {
    const char *text;
    int64_t int64;
    int32_t int32;
  };
  const Row rows[] = {
      {"1e3", 1000, 1000},
      {"1.23457e+08", 123457000, 123457000},
      {"-2.75", -2, -2},
      {"2.75", 2, 2},
      {"9007199254740993", 9007199254740993LL, int32_t(uint32_t(9007199254740993ULL))},
      {"1e300", INT64_MAX, -1},
      {"-1e300", INT64_MIN, 0},
      {"0x10", 16, 16},
      {"0x1e", 30, 30},
      {"-0x10", -16, -16},
      {"1E2", 100, 100},
      {"NaN", 0, 0},
      {"Inf", INT64_MAX, -1},
      {"-Inf", INT64_MIN, 0},
      {"4294967297", 4294967297LL, 1},
      {"12abc", 12, 12},
  };
  for (const Row &row : rows) {
    for (int type : {kDictionaryTypeInt64, kDictionaryTypeFloat64}) {
      SCOPED_TRACE(std::string(row.text) + " type " + std::to_string(type));
      DictionaryItem *item = nullptr;
      Dictionary_AddKey(d, "n", &item);
      Dictionary_SetItemType(d, item, type);
      Dictionary_SetItemText(d, item, row.text, int32_t(strlen(row.text)));
      int64_t wide = 0;
      int32_t narrow = 0;
      EXPECT_EQ(Dictionary_GetItemInt64(d, item, &wide), 1);
      EXPECT_EQ(wide, row.int64);
      EXPECT_EQ(Dictionary_GetItemInt32(d, item, &narrow), 1);
      EXPECT_EQ(narrow, row.int32);
      Dictionary_RemoveItem(d, &item);
    }
  }
}

TEST_F(DictionaryFixture, Float64RoundTripsBitForBit) {
  uint32_t seed = 20240607;
  std::mt19937_64 random(seed);
  std::vector<double> values = {0.0,
                                -0.0,
                                std::numeric_limits<double>::denorm_min(),
                                -std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::max(),
                                -std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::epsilon(),
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::quiet_NaN(),
                                0.1,
                                1e20,
                                123456789.0};
  while (values.size() < 100000) {
    uint64_t bits = random();
    switch (values.size() % 4) {
      case 0: break;                                           // any pattern
      case 1: bits &= 0x800fffffffffffffULL; break;            // subnormal or zero
      case 2: bits = (bits & 0x800fffffffffffffULL) | (uint64_t(random() % 2046 + 1) << 52); break;
      default: bits = std::bit_cast<uint64_t>(double(int64_t(bits) >> int(random() % 64))); break;
    }
    values.push_back(std::bit_cast<double>(bits));
  }
  DictionaryItem *item = nullptr;
  Dictionary_AddKey(d, "f", &item);
  Dictionary_SetItemType(d, item, kDictionaryTypeFloat64);
  for (double value : values) {
    Dictionary_SetFloat64ByKey(d, "f", value);
    double back = 0;
    ASSERT_EQ(Dictionary_GetFloat64ByKey(d, "f", &back), 1);
    const char *text = nullptr;
    int32_t length = 0;
    Dictionary_GetTextByKey(d, "f", &text, &length);
    if (std::isnan(value)) {
      ASSERT_TRUE(std::isnan(back)) << text << " seed " << seed;
      ASSERT_STREQ(text, "NaN");
      continue;
    }
    ASSERT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(value))
        << text << " seed " << seed;
    if (std::isinf(value)) {
      ASSERT_STREQ(text, value > 0 ? "Inf" : "-Inf");
      continue;
    }
    // glibc reads the stored text to the same bits.
    double glibc = strtod(text, nullptr);
    ASSERT_EQ(std::bit_cast<uint64_t>(glibc), std::bit_cast<uint64_t>(value))
        << text << " seed " << seed;
    ASSERT_LE(length, 24) << text;
  }
}

TEST_F(DictionaryFixture, StringCopiesAreBoundedAndTerminated) {
  Dictionary_SetStringByKey(d, "s", "abcdef");
  char buffer[4] = "xyz";
  EXPECT_EQ(Dictionary_GetStringByKey(d, "s", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(Dictionary_GetStringByKey(d, "s", buffer, 0), 0);
  DictionaryItem *item = nullptr;
  Dictionary_FindKey(d, "s", nullptr, &item);
  char key[2];
  EXPECT_EQ(Dictionary_CopyItemKey(d, item, key, sizeof key), 1);
  EXPECT_STREQ(key, "s");
  Dictionary_AddString(d, nullptr, "keyless", &item);
  EXPECT_EQ(Dictionary_CopyItemKey(d, item, key, sizeof key), 0);
  EXPECT_STREQ(key, "");
  // Formatted text of any length.
  std::string big(5000, 'q');
  Dictionary_SetStringFormatByKey(d, "fmt", "%s-%d", big.c_str(), 42);
  const char *text = nullptr;
  Dictionary_GetStringPointerByKey(d, "fmt", &text);
  EXPECT_EQ(std::string(text), big + "-42");
  Dictionary_SetItemStringFormat(d, item, "%03d", 7);
  Dictionary_GetItemStringPointer(d, item, &text);
  EXPECT_STREQ(text, "007");
}

// ---- Index and order ------------------------------------------------------

TEST_F(DictionaryFixture, IndexesCountFromStartOrEnd) {
  DictionaryItem *items[3];
  for (int i = 0; i < 3; i++) Dictionary_AddInt32(d, nullptr, i, &items[i]);
  struct Row {
    int32_t index;
    int start;  // -1: none
    int expected;  // -1: none
  };
  const Row rows[] = {{0, -1, 0},  {2, -1, 2}, {3, -1, -1}, {5, -1, -1}, {-1, -1, 2},
                      {-3, -1, 0}, {-4, -1, -1}, {1, 1, 2},  {-1, 1, 0},  {-1, 0, -1},
                      {2, 1, -1}};
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.index) + " from " + std::to_string(row.start));
    DictionaryItem *item = items[0];
    int found = Dictionary_GetItemByIndex(d, row.index, row.start < 0 ? nullptr : items[row.start],
                                          &item);
    EXPECT_EQ(found, row.expected >= 0);
    EXPECT_EQ(item, row.expected >= 0 ? items[row.expected] : nullptr);
  }
  Dictionary *list = nullptr;
  Dictionary_AddList(d, "l", &list, nullptr);
  DictionaryItem *fourth = nullptr;
  EXPECT_EQ(Dictionary_GetOrAddIndex(list, 3, &fourth), 1);
  int32_t count = 0, index = 0;
  Dictionary_GetCount(list, &count);
  EXPECT_EQ(count, 4);
  Dictionary_GetItemIndex(list, fourth, &index);
  EXPECT_EQ(index, 3);
  EXPECT_EQ(Dictionary_GetOrAddIndex(list, -5, &fourth), 0);
  Dictionary *child = nullptr;
  EXPECT_EQ(Dictionary_SetDictionaryByIndex(list, 1, nullptr, &child), 1);
  EXPECT_EQ(Dictionary_GetDictionaryByIndex(list, 1, &child), 1);
  EXPECT_EQ(Dictionary_GetListByIndex(list, 1, &child), 0);
  EXPECT_EQ(child, nullptr);
}

TEST_F(DictionaryFixture, InsertAndOrderedAdd) {
  DictionaryItem *b = nullptr, *front = nullptr, *mid = nullptr;
  Dictionary_AddKey(d, "b", &b);
  Dictionary_InsertItem(d, nullptr, "a", &front);
  Dictionary_InsertItem(d, b, "c", &mid);
  auto before = [](Dictionary *c, DictionaryItem *item, const char *key, void *) -> int32_t {
    const char *existing = nullptr;
    Dictionary_GetItemKey(c, item, &existing);
    return strcmp(existing, key) > 0;
  };
  Dictionary_AddKeyOrdered(d, "bb", nullptr, nullptr, before);
  Dictionary_AddKeyOrdered(d, "0", nullptr, nullptr, before);
  Dictionary_AddKeyOrdered(d, "z", nullptr, nullptr, before);
  EXPECT_EQ(DictionaryKeys(d), "0,a,b,bb,c,z");
}

// ---- Key/value text -------------------------------------------------------

TEST_F(DictionaryFixture, ParseKeyValueText) {
  struct Row {
    const char *text;
    char keySeparator;
    char itemSeparator;
    const char *expected;  // key=value items, keyless as =value
  };
  const Row rows[] = {
      {"a=1;;b=2;c", '=', ';', "a=1|b=2|c="},
      {";a=1;", '=', ';', "a=1"},
      {"  k==v=w;x", '=', ';', "k=v=w|x="},
      {"HTTP/1.1 200 OK", '\0', ' ', "=HTTP/1.1|=200|=OK"},
      {"a b  c", '\0', ' ', "=a|=b|=c"},
      {"=v", '=', ';', "=v"},
      {"whole", '=', '\0', "whole="},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    Dictionary_Clear(d);
    Dictionary_ParseKeyValueText(d, row.text, int32_t(strlen(row.text)), row.keySeparator,
                                 row.itemSeparator);
    EXPECT_EQ(DictionaryItemsText(d), row.expected);
  }
  // Only the given length is read.
  Dictionary_Clear(d);
  Dictionary_ParseKeyValueText(d, "a=1;b=2", 3, '=', ';');
  EXPECT_EQ(DictionaryItemsText(d), "a=1");
}

TEST_F(DictionaryFixture, FormatKeyValueText) {
  Dictionary_AddString(d, "a", "1", nullptr);
  Dictionary_AddBoolean(d, "flag", 1, nullptr);
  Dictionary_AddInt64(d, "n", 5, nullptr);
  char buffer[64];
  EXPECT_EQ(Dictionary_FormatKeyValueText(d, buffer, sizeof buffer, '=', ';'), 1);
  EXPECT_STREQ(buffer, "a=1;flag;;");
  Dictionary_AddBoolean(d, nullptr, 1, nullptr);
  Dictionary_AddString(d, nullptr, "tail", nullptr);
  Dictionary_FormatKeyValueText(d, buffer, sizeof buffer, '\0', ' ');
  EXPECT_STREQ(buffer, "a1 flag  tail ");
  EXPECT_EQ(Dictionary_FormatKeyValueText(d, buffer, 5, '=', ';'), 0) << "cut output says so";
  EXPECT_STREQ(buffer, "a=1;");
}

// ---- Visitors and joins ---------------------------------------------------

TEST_F(DictionaryFixture, VisitorsAndJoins) {
  Dictionary *list = nullptr;
  Dictionary_AddList(d, "l", &list, nullptr);
  Dictionary_AddString(list, nullptr, "ab", nullptr);
  Dictionary_AddInt64(list, nullptr, 3, nullptr);
  Dictionary_AddString(list, nullptr, "cd", nullptr);
  Dictionary_AddFloat64(list, nullptr, 2.75, nullptr);
  Dictionary_AddString(d, "s", "x", nullptr);
  Dictionary_AddInt64(d, "port", 8080, nullptr);
  char buffer[16];
  EXPECT_EQ(Dictionary_GetStringJoinedByKey(d, "l", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(Dictionary_GetStringJoinedByKey(d, "s", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "x");
  EXPECT_EQ(Dictionary_GetStringJoinedByKey(d, "port", buffer, sizeof buffer), 0);

  std::vector<std::string> seen;
  auto collect = [](void *context, const char *text) -> int32_t {
    static_cast<std::vector<std::string> *>(context)->push_back(text);
    return 1;
  };
  EXPECT_EQ(Dictionary_ForEachStringByKey(d, "l", &seen, collect), 1);
  EXPECT_EQ(Dictionary_ForEachStringByKey(d, "s", &seen, collect), 1);
  EXPECT_EQ(Dictionary_ForEachStringByKey(d, "port", &seen, collect), 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"ab", "cd", "x"}));
  auto stopAtOnce = [](void *context, const char *) -> int32_t {
    ++*static_cast<int *>(context);
    return 0;
  };
  int calls = 0;
  EXPECT_EQ(Dictionary_ForEachString(list, &calls, stopAtOnce), 1);
  EXPECT_EQ(calls, 1);

  std::vector<int32_t> numbers;
  auto collectNumber = [](void *context, int32_t value) -> int32_t {
    static_cast<std::vector<int32_t> *>(context)->push_back(value);
    return 1;
  };
  EXPECT_EQ(Dictionary_ForEachNumberByKey(d, "l", &numbers, collectNumber), 1);
  EXPECT_EQ(Dictionary_ForEachNumberByKey(d, "port", &numbers, collectNumber), 1);
  EXPECT_EQ(numbers, (std::vector<int32_t>{3, 2, 8080}));

  std::string pairs;
  auto collectPair = [](void *context, const char *key, const char *text) -> int32_t {
    *static_cast<std::string *>(context) += std::string(key) + "=" + text + ";";
    return 1;
  };
  EXPECT_EQ(Dictionary_ForEachKeyString(d, &pairs, collectPair), 1);
  EXPECT_EQ(pairs, "s=x;");

  Dictionary *keys = nullptr;
  Dictionary_AddList(d, "keys", &keys, nullptr);
  Dictionary_AddKeysAsStrings(d, keys);
  EXPECT_EQ(DictionaryItemsText(keys), "=l|=s|=port|=keys");
}

// ---- Pools, release and memory --------------------------------------------

TEST_F(DictionaryFixture, StringPoolSwitchesWhileTextsLive) {
  // Texts made before and after the flag changes each go back where they
  // came from; the fixture checks that nothing is left behind.
  Dictionary_AddString(d, "before", "tracked", nullptr);
  Dictionary_SetStringPool(d, 1);
  Dictionary_AddString(d, "during", "pooled", nullptr);
  Dictionary *child = nullptr;
  Dictionary_AddDictionary(d, "child", &child, nullptr);
  EXPECT_EQ(Dictionary_GetStringPool(child), 1);
  Dictionary_SetStringByKey(child, "k", std::string(3000, 'p').c_str());
  Dictionary_SetStringPool(d, 0);
  Dictionary_SetStringByKey(d, "during", "tracked again");
  Dictionary_SetStringByKey(d, "before", "still tracked");
  Dictionary_RemoveKey(d, "child");
  char buffer[32];
  Dictionary_GetStringByKey(d, "during", buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "tracked again");
  Dictionary_Clear(d);
  Dictionary_AddString(d, "after", "clear", nullptr);
}

TEST_F(DictionaryFixture, ChildContainersInheritSettings) {
  Dictionary_SetCaseSensitive(d, 0);
  Dictionary_SetAllowDuplicates(d, 0);
  Dictionary_SetHashPrefix(d, 0);
  Dictionary_SetLogName(d, "config");
  Dictionary *child = nullptr;
  DictionaryItem *item = nullptr;
  Dictionary_AddDictionary(d, "c", &child, &item);
  EXPECT_EQ(Dictionary_GetCaseSensitive(child), 0);
  EXPECT_EQ(Dictionary_GetAllowDuplicates(child), 0);
  EXPECT_EQ(Dictionary_GetHashPrefix(child), 0);
  Dictionary *parent = nullptr;
  DictionaryItem *parentItem = nullptr;
  EXPECT_EQ(Dictionary_GetParent(child, &parent, &parentItem), 1);
  EXPECT_EQ(parent, d);
  EXPECT_EQ(parentItem, item);
  EXPECT_EQ(Dictionary_GetParent(d, &parent, &parentItem), 0);
  // Every container reports the root's instance id and carries the table.
  EXPECT_EQ(memcmp(child->header.instanceId, d->header.instanceId, 36), 0);
  EXPECT_EQ(child->table, d->table);
  // Log lines of the child carry the inherited name.
  LogLines lines(child);
  Dictionary_LogIndent(child, 1, "hello %d", 5);
  ASSERT_EQ(lines.lines.size(), 1u);
  EXPECT_NE(lines.lines[0].find(".config -     hello 5"), std::string::npos) << lines.lines[0];
}

TEST(Dictionary, ReleaseCountsReferences) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  Dictionary_AddRef(d);
  Dictionary *second = d;
  EXPECT_EQ(Dictionary_Release(&second), 1);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(Dictionary_GetHashPrefix(d), 1);
  EXPECT_EQ(Dictionary_Release(&d), 0);
  EXPECT_EQ(d, nullptr);
}

TEST(Dictionary, DeepTreesReleaseWithoutRecursion) {
  Mem_Init(0);
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  Dictionary *c = d;
  for (int i = 0; i < 200000; i++) Dictionary_AddDictionary(c, "n", &c, nullptr);
  Dictionary_SetStringByKey(c, "leaf", "x");
  Dictionary_Release(&d);
  int64_t count = -1, bytes = -1;
  Mem_GetUsage(&count, &bytes);
  EXPECT_EQ(count, 0);
  Mem_Shutdown();
}

// ---- The operation table --------------------------------------------------

TEST(DictionaryInterface, TableHas129SlotsInOrder) {
  static_assert(sizeof(DictionaryInterface) == 129 * sizeof(void *));
  const DictionaryInterface &t = kDictionaryInterface;
  void *const *slots = reinterpret_cast<void *const *>(&t);
  for (int i = 0; i < 129; i++) {
    SCOPED_TRACE(i);
    EXPECT_NE(slots[i], nullptr);
  }
  EXPECT_EQ(t.ReturnTrue(), 1);
  // Spot checks of the order.
  EXPECT_EQ(reinterpret_cast<void *>(t.GetParent), reinterpret_cast<void *>(Dictionary_GetParent));
  EXPECT_EQ(reinterpret_cast<void *>(t.SetStringFormatVByKey),
            reinterpret_cast<void *>(Dictionary_SetStringFormatVByKey));
  EXPECT_EQ(reinterpret_cast<void *>(t.GetItemContainer),
            reinterpret_cast<void *>(Dictionary_GetItemContainer));
  EXPECT_EQ(reinterpret_cast<void *>(t.Clear), reinterpret_cast<void *>(Dictionary_Clear));
  EXPECT_EQ(reinterpret_cast<void *>(t.SetStringFormatByKey),
            reinterpret_cast<void *>(Dictionary_SetStringFormatByKey));
  EXPECT_EQ(reinterpret_cast<void *>(t.GetContainerByPath),
            reinterpret_cast<void *>(Dictionary_GetContainerByPath));
  EXPECT_EQ(slots[128], reinterpret_cast<void *>(Dictionary_GetContainerByPath));
  EXPECT_EQ(reinterpret_cast<void *>(t.Sync), reinterpret_cast<void *>(Dictionary_Sync));
  EXPECT_EQ(reinterpret_cast<void *>(t.MergeItem), reinterpret_cast<void *>(Dictionary_MergeItem));
  EXPECT_EQ(reinterpret_cast<void *>(t.UnwrapContainer),
            reinterpret_cast<void *>(Dictionary_UnwrapContainer));
  EXPECT_EQ(reinterpret_cast<void *>(t.Print), reinterpret_cast<void *>(Dictionary_Print));
}

// ---- Fatal paths -----------------------------------------------------------

TEST(DictionaryDeathTest, NullAndWrongRecordsStop) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  DictionaryItem *item = nullptr;
  Dictionary_AddString(d, "k", "v", &item);
  const char *text = nullptr;
  int32_t length = 0;
  EXPECT_DEATH(Dictionary_AddKey(nullptr, "k", nullptr), "Pointer is NULL");
  EXPECT_DEATH(Dictionary_Create(nullptr), "Pointer is NULL");
  EXPECT_DEATH(Dictionary_AddString(d, "k", nullptr, nullptr), "Pointer is NULL");
  EXPECT_DEATH(Dictionary_GetTextByKey(d, "k", nullptr, &length), "Pointer is NULL");
  EXPECT_DEATH(Dictionary_GetItemText(d, nullptr, &text, &length), "Pointer is NULL");
  EXPECT_DEATH(Dictionary_ResolvePath(d, nullptr, nullptr, &item), "Pointer is NULL");
  EXPECT_DEATH(Dictionary_RemoveItem(d, nullptr), "Pointer is NULL");
  EXPECT_DEATH(Dictionary_Release(nullptr), "Pointer is NULL");
  EXPECT_DEATH(Dictionary_ForEachString(d, nullptr, nullptr), "Pointer is NULL");
  // An item where a container belongs, and a container where an item does.
  ObjectHeader other{};
  other.classTag = 0x1234;
  EXPECT_DEATH(Dictionary_AddKey(reinterpret_cast<Dictionary *>(&other), "k", nullptr),
               "Class mismatch pointer \\(0x[0-9A-F]+: expected 0xc1d1faa9 but was "
               "0x00001234\\)");
  EXPECT_DEATH(Dictionary_GetItemText(d, reinterpret_cast<DictionaryItem *>(d), &text, &length),
               "Class mismatch pointer \\(0x[0-9A-F]+: expected 0x4139ca17 but was "
               "0x00000000\\)");
  Dictionary_Release(&d);
}

}  // namespace

namespace {

// What a parsed metafile costs in tracked bytes: a list of file entries
// (path, size, SHA-256), built as a document reader would, against the
// length of the same entries as compact JSON text.
TEST(DictionaryFootprint, MetafileShapedTree) {
  for (int stringPool : {0, 1}) {
    SCOPED_TRACE(stringPool ? "string pool" : "tracked texts");
    Mem_Init(0);
    int64_t count0 = 0, bytes0 = 0;
    Mem_GetUsage(&count0, &bytes0);
    Dictionary *d = nullptr;
    Dictionary_Create(&d);
    Dictionary_SetStringPool(d, stringPool);
    Dictionary_SetPoolGrowth(d, 1000);
    Dictionary *files = nullptr;
    Dictionary_AddList(d, "files", &files, nullptr);
    int64_t jsonBytes = int64_t(strlen("{\"files\":[]}"));
    for (int i = 0; i < 5000; i++) {
      char path[64], hash[65];
      Str_Printf(path, sizeof path, "data/textures/file%05d.pak", i);
      for (int j = 0; j < 64; j++) hash[j] = "0123456789abcdef"[(i * 7 + j * 13) % 16];
      hash[64] = '\0';
      Dictionary *entry = nullptr;
      Dictionary_AddDictionary(files, nullptr, &entry, nullptr);
      Dictionary_AddString(entry, "path", path, nullptr);
      Dictionary_AddInt64(entry, "size", 1000000 + i, nullptr);
      Dictionary_AddString(entry, "sha256", hash, nullptr);
      // {"path":"...","size":1000123,"sha256":"..."},
      jsonBytes += int64_t(strlen(path)) + 64 + 7 + 40;
    }
    int64_t count1 = 0, bytes1 = 0;
    Mem_GetUsage(&count1, &bytes1);
    double ratio = double(bytes1 - bytes0) / double(jsonBytes);
    printf("[ info ] %s: %lld tracked bytes for %lld bytes of JSON: %.2fx, %lld blocks\n",
           stringPool ? "string pool" : "tracked texts", (long long)(bytes1 - bytes0),
           (long long)jsonBytes, ratio, (long long)(count1 - count0));
    EXPECT_LT(ratio, stringPool ? 4.1 : 5.0) << "records or texts grew";
    Dictionary_Release(&d);
    Mem_Shutdown();
  }
}

}  // namespace
