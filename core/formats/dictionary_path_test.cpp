// Dictionary paths: resolving with the bracket forms and backtracking,
// creating, writing an item's path and reading it back, splitting, and the
// length limits of the by-path setters.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "core/formats/dictionary.h"
#include "tests/dictionary_test_util.h"

namespace {

class DictionaryPath : public DictionaryFixture {
 protected:
  void SetUp() override {
    DictionaryFixture::SetUp();
    Dictionary_SetStringByPath(d, "a.b", "ab");
    Dictionary *list = nullptr, *element = nullptr;
    Dictionary_AddList(d, "list", &list, nullptr);
    for (const char *name : {"first", "second", "third"}) {
      Dictionary_AddDictionary(list, nullptr, &element, nullptr);
      Dictionary_SetStringByKey(element, "name", name);
    }
    Dictionary_GetDictionaryByIndex(list, 1, &element);
    Dictionary_SetInt32ByKey(element, "x", 1);
    Dictionary *servers = nullptr;
    Dictionary_AddList(d, "servers", &servers, nullptr);
    Dictionary_AddDictionary(servers, nullptr, &element, nullptr);
    Dictionary_SetStringByKey(element, "name", "backup");
    Dictionary_SetInt32ByKey(element, "port", 1);
    Dictionary_AddDictionary(servers, nullptr, &element, nullptr);
    Dictionary_SetStringByKey(element, "name", "main");
    Dictionary_SetInt32ByKey(element, "port", 2);
    // Two items keyed dup: only the second holds b.
    Dictionary_AddDictionary(d, "dup", &element, nullptr);
    Dictionary_SetStringByKey(element, "other", "o");
    Dictionary_AddDictionary(d, "dup", &element, nullptr);
    Dictionary_SetStringByKey(element, "b", "second b");
    Dictionary_SetStringByKey(d, "s", "scalar");
    Dictionary_AddDictionary(d, "x", &element, nullptr);
    Dictionary_SetStringByKey(element, "first", "1");
    Dictionary_SetStringByKey(element, "last", "L");
    Dictionary_AddList(d, "e", nullptr, nullptr);
  }
};

TEST_F(DictionaryPath, ResolvesTheExamples) {
  struct Row {
    const char *path;
    const char *text;  // nullptr: resolves to nothing
  };
  const Row rows[] = {
      {"a.b", "ab"},
      {"a\\b", "ab"},
      {"#a.b", "ab"},
      {"a..b", "ab"},
      {"list[2].name", "third"},
      {"list[-1].name", "third"},
      {"list[-3].name", "first"},
      {"list[3].name", nullptr},
      {"list[1].x", "1"},
      {"list[1]x", "1"},
      {"servers[1][name=main].port", "2"},
      {"servers[0][name=main].port", nullptr},
      {"servers[0][name=backup].port", "1"},
      {"servers[0][name=MAIN].port", nullptr},
      {"dup.b", "second b"},
      {"dup.other", "o"},
      {"s.b", nullptr},
      {"x[last-child]", "L"},
      {"x[LAST-CHILD]", "L"},
      {"x[foo]", nullptr},
      {"x[foo].y", nullptr},
      {"e[-1]", nullptr},
      {"list[0][next].name", "second"},
      {"list[2][next]", nullptr},
      {"list[0][next].zzz", nullptr},
      {"", nullptr},
      {"#", nullptr},
      {"missing", nullptr},
      {"a.b.c", nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    const char *text = nullptr;
    int32_t length = 0;
    EXPECT_EQ(Dictionary_GetTextByPath(d, row.path, &text, &length), row.text != nullptr);
    if (row.text != nullptr) {
      EXPECT_STREQ(text, row.text);
    }
  }
}

TEST_F(DictionaryPath, BracketResultsNameTheirItems) {
  Dictionary *owner = nullptr, *list = nullptr, *servers = nullptr;
  DictionaryItem *item = nullptr, *expected = nullptr;
  Dictionary_GetListByKey(d, "list", &list);
  Dictionary_GetItemByIndex(list, -1, nullptr, &expected);
  ASSERT_EQ(Dictionary_ResolvePath(d, "list[-1]", &owner, &item), 1);
  EXPECT_EQ(item, expected);
  EXPECT_EQ(owner, list);
  // A match answers the item that holds the matching container, also when
  // the rest after it does not resolve.
  Dictionary_GetListByKey(d, "servers", &servers);
  Dictionary_GetItemByIndex(servers, 0, nullptr, &expected);
  ASSERT_EQ(Dictionary_ResolvePath(d, "servers[0][name=backup]", &owner, &item), 1);
  EXPECT_EQ(item, expected);
  EXPECT_EQ(owner, servers);
  ASSERT_EQ(Dictionary_ResolvePath(d, "servers[0][name=backup].nothing", &owner, &item), 1);
  EXPECT_EQ(item, expected);
  // A match needs a holding item: the root has none.
  EXPECT_EQ(Dictionary_ResolvePath(d, "[s=scalar]", &owner, &item), 0);
  EXPECT_EQ(item, nullptr);
  EXPECT_EQ(owner, nullptr);
  // Case-insensitive containers match values without regard to case.
  Dictionary_SetCaseSensitive(servers, 0);
  Dictionary *element = nullptr;
  Dictionary_GetDictionaryByIndex(servers, 1, &element);
  Dictionary_SetCaseSensitive(element, 0);
  EXPECT_EQ(Dictionary_HasPath(d, "servers[1][NAME=MAIN].port"), 1);
}

TEST_F(DictionaryPath, BacktracksOverDuplicateKeysInOrder) {
  // Three levels of duplicates; only the last branch holds the leaf.
  Dictionary_Clear(d);
  Dictionary *top = nullptr, *mid = nullptr;
  for (int i = 0; i < 3; i++) {
    Dictionary_AddDictionary(d, "k", &top, nullptr);
    for (int j = 0; j < 3; j++) {
      Dictionary_AddDictionary(top, "k", &mid, nullptr);
      Dictionary_AddString(mid, "k", "scalar", nullptr);  // a scalar k is skipped
      if (i == 2 && j == 1) Dictionary_SetStringByKey(mid, "leaf", "found");
    }
  }
  const char *text = nullptr;
  ASSERT_EQ(Dictionary_GetStringPointerByPath(d, "k.k.leaf", &text), 1);
  EXPECT_STREQ(text, "found");
  EXPECT_EQ(Dictionary_HasPath(d, "k.k.k.leaf"), 0);
  EXPECT_EQ(Dictionary_HasPath(d, "k.k.nothing"), 0);
  // An index selects one item: no backtracking to other indexes.
  EXPECT_EQ(Dictionary_HasPath(d, "[0].k.leaf"), 0);
  EXPECT_EQ(Dictionary_HasPath(d, "[2].k.leaf"), 1);
}

TEST_F(DictionaryPath, ItemPathOfNestedElements) {
  Dictionary *l = nullptr, *element = nullptr, *inner = nullptr;
  Dictionary_SetListByKey(d, "l", nullptr, &l);
  Dictionary_AddDictionary(l, nullptr, nullptr, nullptr);
  Dictionary_AddDictionary(l, nullptr, &element, nullptr);
  DictionaryItem *x = nullptr, *deep = nullptr;
  Dictionary_AddString(element, "x", "v", &x);
  Dictionary_AddList(element, "[odd", &inner, nullptr);
  Dictionary_AddInt32(inner, nullptr, 0, nullptr);
  Dictionary_AddInt32(inner, nullptr, 1, &deep);
  char path[64];
  ASSERT_EQ(Dictionary_GetItemPath(element, x, d, path, sizeof path), 1);
  EXPECT_STREQ(path, "l[1].x");
  ASSERT_EQ(Dictionary_GetItemPath(element, x, nullptr, path, sizeof path), 1);
  EXPECT_STREQ(path, "l[1].x");
  ASSERT_EQ(Dictionary_GetItemPath(element, x, l, path, sizeof path), 1);
  EXPECT_STREQ(path, "[1].x");
  ASSERT_EQ(Dictionary_GetItemPath(inner, deep, d, path, sizeof path), 1);
  EXPECT_STREQ(path, "l[1][odd[1]");
  // A path that does not fit is refused, never cut.
  EXPECT_EQ(Dictionary_GetItemPath(element, x, d, path, 6), 0);
  EXPECT_STREQ(path, "");
  EXPECT_EQ(Dictionary_GetItemPath(element, x, d, path, 7), 1);
  // An unrelated container is no ancestor.
  Dictionary *a = nullptr;
  Dictionary_GetDictionaryByKey(d, "a", &a);
  EXPECT_EQ(Dictionary_GetItemPath(element, x, a, path, sizeof path), 0);
  EXPECT_STREQ(path, "");
}

TEST_F(DictionaryPath, SettersRefusePathsThatDoNotFit) {
  Dictionary_Clear(d);
  std::string path = "p";
  while (path.size() < 400) path += ".q";
  EXPECT_EQ(Dictionary_SetStringByPath(d, path.c_str(), "v"), 0);
  EXPECT_EQ(Dictionary_SetInt64ByPath(d, path.c_str(), 1), 0);
  EXPECT_EQ(Dictionary_SetFloat64ByPath(d, path.c_str(), 1), 0);
  EXPECT_EQ(Dictionary_SetBooleanByPath(d, path.c_str(), 1), 0);
  int32_t count = -1;
  Dictionary_GetCount(d, &count);
  EXPECT_EQ(count, 0) << "a refused path changes nothing";
  // 319 bytes fit, 320 do not.
  std::string fits = std::string(200, 'a') + "." + std::string(118, 'b');
  ASSERT_EQ(fits.size(), 319u);
  EXPECT_EQ(Dictionary_SetStringByPath(d, fits.c_str(), "v"), 1);
  EXPECT_EQ(Dictionary_HasPath(d, fits.c_str()), 1);
  EXPECT_EQ(Dictionary_SetStringByPath(d, (fits + "c").c_str(), "v"), 0);
  // A parent that runs through a scalar fails and the scalar stays.
  Dictionary_SetStringByKey(d, "s", "scalar");
  EXPECT_EQ(Dictionary_SetStringByPath(d, "s.b", "v"), 0);
  DictionaryType type = 0;
  Dictionary_GetTypeByKey(d, "s", &type);
  EXPECT_EQ(type, kDictionaryTypeString);
  // A path without '.' is a plain key, brackets and all.
  EXPECT_EQ(Dictionary_SetStringByPath(d, "x[2]", "v"), 1);
  EXPECT_EQ(Dictionary_HasKey(d, "x[2]"), 1);
}

TEST_F(DictionaryPath, CreatePath) {
  Dictionary_Clear(d);
  Dictionary *child = nullptr, *again = nullptr;
  ASSERT_EQ(Dictionary_CreatePath(d, "a. b .c", &child), 1);
  ASSERT_EQ(Dictionary_CreatePath(d, "a.b.c", &again), 1);
  EXPECT_EQ(child, again) << "blanks after '.' and at a component's end are dropped";
  ASSERT_EQ(Dictionary_CreatePath(d, "", &again), 1);
  EXPECT_EQ(again, d);
  // '~' always adds a new Dictionary.
  ASSERT_EQ(Dictionary_CreatePath(d, "a.b~", &child), 1);
  Dictionary *a = nullptr;
  Dictionary_GetDictionaryByKey(d, "a", &a);
  EXPECT_EQ(DictionaryKeys(a), "b,b");
  // Components may use the path forms; a missing one is added as a key.
  ASSERT_EQ(Dictionary_CreatePath(d, "a\\b.x", &child), 1);
  EXPECT_EQ(Dictionary_HasPath(d, "a.b.c"), 1);
  EXPECT_EQ(Dictionary_HasPath(d, "a.b.x"), 1);
  // A scalar on the way, or a component of 320 bytes, fails and adds nothing.
  Dictionary_SetStringByKey(d, "s", "v");
  EXPECT_EQ(Dictionary_CreatePath(d, "s.t", &child), 0);
  EXPECT_EQ(child, nullptr);
  std::string longPath = "new." + std::string(320, 'c');
  EXPECT_EQ(Dictionary_CreatePath(d, longPath.c_str(), &child), 0);
  EXPECT_EQ(Dictionary_HasKey(d, "new"), 0);
  // Without duplicates a '~' component finds the existing one, and never
  // turns a scalar into a container.
  Dictionary_SetAllowDuplicates(d, 0);
  EXPECT_EQ(Dictionary_CreatePath(d, "s~.t", &child), 0);
  DictionaryType type = 0;
  Dictionary_GetTypeByKey(d, "s", &type);
  EXPECT_EQ(type, kDictionaryTypeString);
}

TEST(DictionaryPathSplit, LeafAndParent) {
  struct Row {
    const char *path;
    const char *leaf;
    int leafFound;
    const char *parent;
    int parentFound;
  };
  const Row rows[] = {
      {"a.b.c", "c", 1, "a.b", 1},
      {"a\\b", "b", 1, "a", 1},
      {"list[2]", "[2]", 1, "list", 1},
      {"plain", "plain", 1, "", 0},
      {".x", "x", 1, "", 0},
      {"a.", "", 0, "a", 1},
      {"", "", 0, "", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    char leaf[kDictionaryPathBytes], parent[kDictionaryPathBytes];
    EXPECT_EQ(Dictionary_GetPathLeaf(row.path, leaf, sizeof leaf), row.leafFound);
    EXPECT_STREQ(leaf, row.leaf);
    EXPECT_EQ(Dictionary_GetPathParent(row.path, parent, sizeof parent), row.parentFound);
    EXPECT_STREQ(parent, row.parent);
  }
  // Parts that do not fit are refused: the caller's size, and at most 320.
  char small[4];
  EXPECT_EQ(Dictionary_GetPathLeaf("a.bcde", small, sizeof small), 0);
  EXPECT_STREQ(small, "");
  std::string longParent = std::string(320, 'p') + ".x";
  char big[1000];
  EXPECT_EQ(Dictionary_GetPathParent(longParent.c_str(), big, sizeof big), 0);
  EXPECT_EQ(Dictionary_GetPathLeaf(longParent.c_str(), big, sizeof big), 1);
}

// Every item of random trees whose keys avoid ".\[]#" is found again through
// the path Dictionary_GetItemPath writes for it, from the root and from every
// ancestor.
TEST_F(DictionaryFixture, ItemPathsResolveBackOnRandomTrees) {
  uint32_t seed = 77031;
  std::mt19937 random(seed);
  const char *const keys[] = {"a", "b", "name", "x-y", "k_1", "Z", "with space", "~t"};
  int checked = 0;
  for (int tree = 0; tree < 20; tree++) {
    Dictionary_Clear(d);
    Dictionary_SetAllowDuplicates(d, 0);  // a path names the first of equal keys
    std::function<void(Dictionary *, int, bool)> grow = [&](Dictionary *c, int depth,
                                                            bool keyed) {
      int n = int(random() % 6) + (depth == 0 ? 3 : 0);
      for (int i = 0; i < n; i++) {
        const char *key = keyed ? keys[random() % 8] : nullptr;
        Dictionary *child = nullptr;
        switch (random() % 4) {
          case 0:
            if (depth < 4) {
              Dictionary_AddList(c, key, &child, nullptr);
              if (child) grow(child, depth + 1, false);
              break;
            }
            [[fallthrough]];
          case 1:
            if (depth < 4) {
              Dictionary_AddDictionary(c, key, &child, nullptr);
              if (child) grow(child, depth + 1, true);
              break;
            }
            [[fallthrough]];
          default:
            Dictionary_AddInt32(c, key, i, nullptr);
        }
      }
    };
    grow(d, 0, true);
    std::function<void(Dictionary *)> check = [&](Dictionary *c) {
      DictionaryItem *item = nullptr;
      for (int more = Dictionary_GetFirstItem(c, &item); more;
           more = Dictionary_GetNextItem(c, item, &item)) {
        for (Dictionary *from = c; from != nullptr;) {
          char path[512];
          ASSERT_EQ(Dictionary_GetItemPath(c, item, from, path, sizeof path), 1);
          Dictionary *owner = nullptr;
          DictionaryItem *found = nullptr;
          ASSERT_EQ(Dictionary_ResolvePath(from, path, &owner, &found), 1)
              << path << " seed " << seed;
          ASSERT_EQ(found, item) << path << " seed " << seed;
          ASSERT_EQ(owner, c) << path;
          checked++;
          DictionaryItem *parentItem = nullptr;
          if (!Dictionary_GetParent(from, &from, &parentItem)) break;
        }
        Dictionary *child = nullptr;
        if (Dictionary_GetItemContainer(c, item, &child)) check(child);
      }
    };
    check(d);
  }
  EXPECT_GT(checked, 200);
}

}  // namespace
