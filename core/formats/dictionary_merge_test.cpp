#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "tests/log_capture.h"

namespace {

// Parses text into a fresh root and answers the unwrapped members.
struct Tree {
  Dictionary *root = nullptr;
  Dictionary *members = nullptr;
  explicit Tree(const char *text) {
    Dictionary_Create(&root);
    Json *json = nullptr;
    Json_Create(&json);
    Json_SetDictionary(json, root);
    EXPECT_EQ(Json_ParseMemory(json, text, int32_t(strlen(text))), 1) << text;
    Json_Release(&json);
    Dictionary_Unwrap(root, &members);
  }
  ~Tree() { Dictionary_Release(&root); }
  std::string Text(Dictionary *d = nullptr) {
    Json *json = nullptr;
    Json_Create(&json);
    Json_SetDictionary(json, d != nullptr ? d : root);
    char buffer[4096];
    int32_t length = 0;
    Json_WriteMemory(json, buffer, sizeof buffer, &length);
    Json_Release(&json);
    return std::string(buffer, size_t(length));
  }
};

TEST(DictionaryMerge, Cases) {
  struct Row {
    const char *destination, *source;
    int32_t flags;
    const char *want;
  };
  const Row rows[] = {
      {"{\"a\":2}", "{\"a\":1}", 0, "{\"a\":2}"},
      {"{\"a\":2}", "{\"a\":1}", 1, "{\"a\":1}"},
      {"{\"l\":[1,2]}", "{\"l\":[3]}", 1, "{\"l\":[3]}"},
      {"{\"l\":[1,2]}", "{\"l\":[3]}", 1 | 4, "{\"l\":[1,2,3]}"},
      {"{\"d\":{\"y\":2}}", "{\"d\":{\"x\":1}}", 0, "{\"d\":{\"y\":2,\"x\":1}}"},
      {"{\"d\":{\"y\":2}}", "{\"d\":{\"x\":1}}", 1, "{\"d\":{\"y\":2,\"x\":1}}"},
      {"{\"d\":{\"y\":2}}", "{\"d\":{\"x\":1,\"z\":3}}", 2, "{\"d\":{\"z\":3,\"x\":1,\"y\":2}}"},
      {"{\"d\":{\"y\":2}}", "{\"d\":5}", 0, "{\"d\":{\"y\":2}}"},
      {"{\"d\":{\"y\":2}}", "{\"d\":5}", 1, "{\"d\":5}"},
      {"{}", "{\"b\":true,\"n\":null}", 0, "{\"b\":true,\"n\":null}"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << row.destination << " <- " << row.source << " " << row.flags);
    Tree d(row.destination), s(row.source);
    EXPECT_EQ(Dictionary_Merge(d.members, s.members, row.flags), 1);
    EXPECT_EQ(d.Text(), row.want);
  }
}

TEST(DictionaryMerge, HiddenItems) {
  for (int32_t flags : {0, 8}) {
    SCOPED_TRACE(flags);
    Dictionary *d = nullptr, *s = nullptr;
    Dictionary_Create(&d);
    Dictionary_Create(&s);
    Dictionary_SetStringByKey(s, "#mask", "x");
    Dictionary_SetStringByKey(s, "v", "y");
    Dictionary_Merge(d, s, flags);
    DictionaryItem *item = nullptr;
    EXPECT_EQ(Dictionary_FindKey(d, "mask", nullptr, &item), flags == 8 ? 0 : 1);
    if (item != nullptr) {
      EXPECT_TRUE(Dictionary_IsItemHidden(d, item));
    }
    EXPECT_TRUE(Dictionary_HasKey(d, "v"));
    Dictionary_Release(&d);
    Dictionary_Release(&s);
  }
}

// Self-merge and merge into a descendant end, as merging an equal copy does.
TEST(DictionaryMerge, IntoItselfAndIntoDescendants) {
  Tree t("{\"l\":[1,2],\"d\":{\"x\":1},\"k\":\"v\"}");
  Tree same("{\"l\":[1,2],\"d\":{\"x\":1},\"k\":\"v\"}");
  Tree copy("{\"l\":[1,2],\"d\":{\"x\":1},\"k\":\"v\"}");
  Dictionary_Merge(t.members, t.members, 1 | 4);
  Dictionary_Merge(same.members, copy.members, 1 | 4);
  EXPECT_EQ(t.Text(), same.Text());
  Dictionary *inner = nullptr;
  Dictionary_GetDictionaryByKey(t.members, "d", &inner);
  Dictionary_Merge(inner, t.members, 1);  // grows d by a copy of the whole tree, once
  Dictionary *nested = nullptr;
  EXPECT_TRUE(Dictionary_GetDictionaryByKey(inner, "d", &nested));
  DictionaryItem *item = nullptr;
  Dictionary_FindKey(t.members, "d", nullptr, &item);
  Dictionary_MergeItem(inner, t.members, item, 1);
  Tree list("[[1],[2]]");
  Dictionary *listRoot = nullptr;
  Dictionary_UnwrapContainer(list.root, &listRoot);
  Dictionary *first = nullptr;
  Dictionary_GetListByIndex(listRoot, 0, &first);
  Dictionary_Merge(first, listRoot, 4);
  EXPECT_EQ(list.Text(), "[[1,[1],[2]],[2]]");
  Dictionary_Sync(first, listRoot, nullptr, nullptr);
  EXPECT_EQ(list.Text(), "[[[1,[1],[2]],[2]],[2]]");
}

TEST(DictionaryUnwrap, ObjectsAndArrays) {
  Tree array("[1,2]");
  Dictionary *result = nullptr;
  Dictionary_Unwrap(array.root, &result);
  EXPECT_EQ(result, array.root);
  Dictionary_UnwrapContainer(array.root, &result);
  EXPECT_NE(result, array.root);
  int32_t count = 0;
  Dictionary_GetCount(result, &count);
  EXPECT_EQ(count, 2);
}

int gCalls = 0;
void CountChanged(Dictionary *, DictionaryItem *, void *, const char *, const char *, int32_t) {
  gCalls++;
}
void CountRemoved(Dictionary *, DictionaryItem *, void *, const char *) { gCalls++; }
void CountAdded(Dictionary *, DictionaryItem *, void *, const char *, const char *) { gCalls++; }

// A random tree without duplicate keys: Dictionaries of keyed items, Lists of
// keyless ones.
void RandomTree(std::mt19937 &rng, Dictionary *c, bool list, int depth) {
  int n = int(rng() % 5);
  for (int i = 0; i < n; i++) {
    std::string key = "k" + std::to_string(rng() % 8);
    if (!list && Dictionary_HasKey(c, key.c_str())) continue;
    const char *k = list ? nullptr : key.c_str();
    switch (rng() % (depth < 3 ? 6 : 4)) {
      case 0: Dictionary_AddString(c, k, rng() % 2 ? "a" : "b", nullptr); break;
      case 1: Dictionary_AddInt64(c, k, int64_t(rng() % 3), nullptr); break;
      case 2: Dictionary_AddBoolean(c, k, int32_t(rng() % 2), nullptr); break;
      case 3: Dictionary_AddNull(c, k, nullptr); break;
      case 4: {
        Dictionary *child = nullptr;
        Dictionary_AddList(c, k, &child, nullptr);
        RandomTree(rng, child, true, depth + 1);
        break;
      }
      default: {
        Dictionary *child = nullptr;
        Dictionary_AddDictionary(c, k, &child, nullptr);
        RandomTree(rng, child, false, depth + 1);
        break;
      }
    }
  }
}

// Equal with keyed members in any order and list elements in order.
bool Equal(Dictionary *a, Dictionary *b, bool list) {
  if (a->items.count != b->items.count) return false;
  DictionaryItem *y = b->items.first;
  for (DictionaryItem *x = a->items.first; x != nullptr; x = x->next) {
    DictionaryItem *other = y;
    if (!list) {
      std::string key(x->key, x->keyLength);
      if (!Dictionary_FindKey(b, key.c_str(), nullptr, &other)) return false;
    } else {
      y = y->next;
    }
    // The Boolean bit outlives type changes; the texts compare it for Booleans.
    if ((x->type & 0x47) != (other->type & 0x47)) return false;
    const char *t1 = nullptr, *t2 = nullptr;
    int32_t l1 = 0, l2 = 0;
    Dictionary_GetItemText(a, x, &t1, &l1);
    Dictionary_GetItemText(b, other, &t2, &l2);
    if (l1 != l2 || (l1 > 0 && memcmp(t1, t2, size_t(l1)) != 0)) return false;
    int32_t type = x->type & kDictionaryTypeMask;
    if ((type == kDictionaryTypeList || type == kDictionaryTypeDictionary) &&
        !Equal(x->child, other->child, type == kDictionaryTypeList))
      return false;
  }
  return true;
}

TEST(DictionarySync, DestinationBecomesSourceAndSecondSyncIsSilent) {
  const uint32_t seed = 0x5e1c;
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  for (int round = 0; round < 300; round++) {
    SCOPED_TRACE(round);
    Dictionary *d = nullptr, *s = nullptr;
    Dictionary_Create(&d);
    Dictionary_Create(&s);
    RandomTree(rng, d, false, 0);
    RandomTree(rng, s, false, 0);
    Dictionary_Sync(d, s, nullptr, nullptr);
    EXPECT_TRUE(Equal(d, s, false));
    gCalls = 0;
    Dictionary_SetValueChangedCallback(d, nullptr, CountChanged);
    Dictionary_SetItemRemovedCallback(d, nullptr, CountRemoved);
    Dictionary_SetItemAddedCallback(d, nullptr, CountAdded);
    Dictionary_Sync(d, s, nullptr, nullptr);
    EXPECT_EQ(gCalls, 0);
    if (s->items.first != nullptr) {
      Dictionary_RemoveItem(s, &s->items.first);
      Dictionary_Sync(d, s, nullptr, nullptr);
      EXPECT_GE(gCalls, 1);
      EXPECT_TRUE(Equal(d, s, false));
    }
    Dictionary_Release(&d);
    Dictionary_Release(&s);
  }
}

TEST(DictionaryDump, LinesAndRemoveKeysNotListed) {
  Tree t("{\"a\":\"hello\",\"d\":{\"n\":5,\"t\":true}}");
  TestLogCapture capture;
  Dictionary_Print(t.members);
  std::string log = capture.Take();
  EXPECT_NE(log.find("a=hello (String)"), std::string::npos) << log;
  EXPECT_NE(log.find("d (Dictionary)"), std::string::npos) << log;
  EXPECT_NE(log.find("    n=5 (Float64)"), std::string::npos) << log;
  Tree names("[\"a\"]");
  Dictionary *list = nullptr;
  Dictionary_UnwrapContainer(names.root, &list);
  Dictionary_RemoveKeysNotListed(t.members, list);
  EXPECT_EQ(t.Text(), "{\"a\":\"hello\"}");
}

}  // namespace
