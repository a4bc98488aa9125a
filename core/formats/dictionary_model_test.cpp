// Model-based test of the Dictionary: random sequences of adds, inserts,
// typed sets by key, index and path, text, type and key changes, hiding,
// removals and clears run on a Dictionary and on a plain in-test model (an
// ordered vector of entries with children); after every step the two trees
// must walk the same.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/runtime/memory.h"

namespace {

struct ModelContainer;

struct ModelEntry {
  std::optional<std::string> key;
  int type = kDictionaryTypeUnknown;
  std::optional<std::string> value;  // stored text of a scalar
  bool hidden = false;
  bool boolean = false;
  std::unique_ptr<ModelContainer> child;
};

struct ModelContainer {
  std::vector<ModelEntry> entries;
};

struct ModelFlags {
  bool duplicates;
  bool caseSensitive;
  bool stringPool;
};

bool modelKeyEquals(const ModelFlags &flags, const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    char x = a[i], y = b[i];
    if (!flags.caseSensitive) {
      if (x >= 'A' && x <= 'Z') x = char(x + 32);
      if (y >= 'A' && y <= 'Z') y = char(y + 32);
    }
    if (x != y) return false;
  }
  return true;
}

// A key as the Dictionary stores it: '#' dropped (hidden), the rest whole.
std::string modelStoredKey(const std::string &key, bool *hidden) {
  std::string k = key;
  *hidden = !k.empty() && k[0] == '#';
  if (*hidden) k.erase(0, 1);
  return k;
}

class Model {
 public:
  explicit Model(ModelFlags flags) : flags_(flags) {}
  ModelContainer root;

  int Find(ModelContainer &c, const std::string &key, int from = 0) const {
    bool hidden = false;
    std::string k = modelStoredKey(key, &hidden);
    for (size_t i = size_t(from); i < c.entries.size(); i++)
      if (c.entries[i].key && modelKeyEquals(flags_, *c.entries[i].key, k)) return int(i);
    return -1;
  }

  void SetKey(ModelEntry &e, const char *key) {
    if (key == nullptr) {
      e.key.reset();
      return;
    }
    e.key = modelStoredKey(key, &e.hidden);
  }

  // Adds (or, without duplicates, finds) the key; answers its index.
  int Insert(ModelContainer &c, int position, const char *key) {
    if (key != nullptr && !flags_.duplicates) {
      int found = Find(c, key);
      if (found >= 0) return found;
    }
    ModelEntry e;
    SetKey(e, key);
    c.entries.insert(c.entries.begin() + position, std::move(e));
    return position;
  }

  void SetType(ModelEntry &e, int type) {
    if (e.type == type) return;
    e.value.reset();
    e.child.reset();
    e.type = type;
    if (type == kDictionaryTypeList || type == kDictionaryTypeDictionary)
      e.child = std::make_unique<ModelContainer>();
  }

  void SetText(ModelEntry &e, const std::string &text) {
    if (e.type == kDictionaryTypeList || e.type == kDictionaryTypeDictionary) return;
    if (!text.empty() && e.value && *e.value == text) return;
    e.value.reset();
    if (e.type == kDictionaryTypeBoolean) {
      e.boolean = !text.empty() && (text[0] == 't' || text[0] == 'T');
    } else if (e.type != kDictionaryTypeNull && !text.empty()) {
      e.value = text;
    }
  }

  // The item setters leave a Null item alone.
  void SetItemText(ModelEntry &e, const std::string &text) {
    if (e.type != kDictionaryTypeNull) SetText(e, text);
  }

 private:
  ModelFlags flags_;
};

const char *const kKeys[] = {"a", "b", "A", "B", "ab", "aB", "#a", "#b", "c", "item"};

std::string modelLongKey(char fill, size_t length) { return std::string(length, fill); }

// The walk of both trees must match; returns a description of the first
// difference, or "".
std::string compareTrees(Dictionary *d, const ModelContainer &m, const std::string &where) {
  int32_t count = -1;
  Dictionary_GetCount(d, &count);
  if (count != int32_t(m.entries.size()))
    return where + ": count " + std::to_string(count) + " != " + std::to_string(m.entries.size());
  DictionaryItem *item = nullptr;
  Dictionary_GetFirstItem(d, &item);
  for (size_t i = 0; i < m.entries.size(); i++) {
    const ModelEntry &e = m.entries[i];
    std::string here = where + "[" + std::to_string(i) + "]";
    if (item == nullptr) return here + ": missing item";
    const char *key = nullptr;
    int hasKey = Dictionary_GetItemKey(d, item, &key);
    if (bool(hasKey) != bool(e.key)) return here + ": key presence";
    if (e.key && *e.key != key) return here + ": key " + key + " != " + *e.key;
    DictionaryType type = -1;
    Dictionary_GetItemType(d, item, &type);
    if (type != e.type) return here + ": type " + std::to_string(type);
    if (Dictionary_IsItemHidden(d, item) != int(e.hidden)) return here + ": hidden";
    const char *text = nullptr;
    int32_t length = 0;
    int hasText = Dictionary_GetItemText(d, item, &text, &length);
    std::string expected;
    bool expectText = true;
    switch (e.type) {
      case kDictionaryTypeNull: expected = "null"; break;
      case kDictionaryTypeBoolean: expected = e.boolean ? "true" : "false"; break;
      case kDictionaryTypeInt64:
      case kDictionaryTypeFloat64:
      case kDictionaryTypeString: expected = e.value.value_or(""); break;
      default: expectText = false;
    }
    if (bool(hasText) != expectText) return here + ": text presence";
    if (expectText && std::string(text, size_t(length)) != expected)
      return here + ": text '" + std::string(text, size_t(length)) + "' != '" + expected + "'";
    Dictionary *child = nullptr;
    Dictionary_GetItemContainer(d, item, &child);
    if (bool(child) != bool(e.child)) return here + ": child presence";
    if (child != nullptr) {
      std::string inner = compareTrees(child, *e.child, here);
      if (!inner.empty()) return inner;
    }
    Dictionary_GetNextItem(d, item, &item);
  }
  if (item != nullptr) return where + ": extra item";
  return "";
}

// A random container of both trees, reached by the same walk.
struct Pick {
  Dictionary *d;
  ModelContainer *m;
};

class ModelRun {
 public:
  ModelRun(ModelFlags flags, uint32_t seed) : flags_(flags), model_(flags), random_(seed) {
    Dictionary_Create(&d_);
    Dictionary_SetAllowDuplicates(d_, flags.duplicates);
    Dictionary_SetCaseSensitive(d_, flags.caseSensitive);
    Dictionary_SetStringPool(d_, flags.stringPool);
    Dictionary_SetPoolGrowth(d_, 4);
  }
  ~ModelRun() { Dictionary_Release(&d_); }

  std::string Step(int step);

 private:
  int Roll(int n) { return int(random_() % uint32_t(n)); }

  const char *RandomKey() {
    int r = Roll(24);
    if (r < 20) return kKeys[r % 10];
    if (r == 20) return nullptr;
    static const std::string longA = modelLongKey('x', 130), longB = modelLongKey('x', 125);
    return r == 21 ? longA.c_str() : longB.c_str();
  }

  // Descends a few levels at random through container items.
  Pick RandomContainer() {
    Pick p{d_, &model_.root};
    while (!p.m->entries.empty() && Roll(3) == 0) {
      int i = Roll(int(p.m->entries.size()));
      if (!p.m->entries[size_t(i)].child) break;
      DictionaryItem *item = nullptr;
      Dictionary_GetItemByIndex(p.d, i, nullptr, &item);
      Dictionary_GetItemContainer(p.d, item, &p.d);
      p.m = p.m->entries[size_t(i)].child.get();
    }
    return p;
  }

  std::string RandomText() {
    static const char *const texts[] = {"", "x", "hello", "true", "T", "12", "-7.5", "null"};
    return texts[Roll(8)];
  }

  void TypedAdd(Pick p, const char *key);
  void TypedSetByKey(Pick p, const char *key);
  void ItemChange(Pick p, int index);

  ModelFlags flags_;
  Model model_;
  std::mt19937 random_;
  Dictionary *d_ = nullptr;
};

void ModelRun::TypedAdd(Pick p, const char *key) {
  int kind = Roll(7);
  DictionaryItem *item = nullptr;
  int at = model_.Insert(*p.m, int(p.m->entries.size()), key);
  ModelEntry &e = p.m->entries[size_t(at)];
  switch (kind) {
    case 0:
      Dictionary_AddString(p.d, key, "s1", &item);
      model_.SetType(e, kDictionaryTypeString);
      model_.SetItemText(e, "s1");
      break;
    case 1:
      Dictionary_AddInt64(p.d, key, -42, &item);
      model_.SetType(e, kDictionaryTypeInt64);
      model_.SetItemText(e, "-42");
      break;
    case 2:
      Dictionary_AddFloat64(p.d, key, 0.1, &item);
      model_.SetType(e, kDictionaryTypeFloat64);
      model_.SetItemText(e, "0.1");
      break;
    case 3: {
      int value = Roll(3);
      Dictionary_AddBoolean(p.d, key, value, &item);
      model_.SetType(e, kDictionaryTypeBoolean);
      e.boolean = value == 1;
      break;
    }
    case 4:
      Dictionary_AddNull(p.d, key, &item);
      model_.SetType(e, kDictionaryTypeNull);
      break;
    case 5:
      Dictionary_AddList(p.d, key, nullptr, &item);
      model_.SetType(e, kDictionaryTypeList);
      break;
    default:
      Dictionary_AddDictionary(p.d, key, nullptr, &item);
      model_.SetType(e, kDictionaryTypeDictionary);
      break;
  }
}

void ModelRun::TypedSetByKey(Pick p, const char *key) {
  if (key == nullptr) key = "a";
  int at = model_.Find(*p.m, key);
  if (at < 0) at = model_.Insert(*p.m, int(p.m->entries.size()), key);
  ModelEntry &e = p.m->entries[size_t(at)];
  switch (Roll(5)) {
    case 0: {
      std::string text = RandomText();
      Dictionary_SetStringByKey(p.d, key, text.c_str());
      model_.SetType(e, kDictionaryTypeString);
      model_.SetItemText(e, text);
      break;
    }
    case 1:
      Dictionary_SetInt32ByKey(p.d, key, 7);
      model_.SetType(e, kDictionaryTypeInt64);
      model_.SetItemText(e, "7");
      break;
    case 2:
      Dictionary_SetFloat64ByKey(p.d, key, 1e20);
      model_.SetType(e, kDictionaryTypeFloat64);
      model_.SetItemText(e, "1e+20");
      break;
    case 3:
      Dictionary_SetBooleanByKey(p.d, key, 1);
      model_.SetType(e, kDictionaryTypeBoolean);
      e.boolean = true;
      break;
    default:
      Dictionary_SetListByKey(p.d, key, nullptr, nullptr);
      model_.SetType(e, kDictionaryTypeList);
      break;
  }
}

void ModelRun::ItemChange(Pick p, int index) {
  DictionaryItem *item = nullptr;
  Dictionary_GetItemByIndex(p.d, index, nullptr, &item);
  ModelEntry &e = p.m->entries[size_t(index)];
  switch (Roll(8)) {
    case 0: {
      std::string text = RandomText();
      Dictionary_SetItemText(p.d, item, text.c_str(), int32_t(text.size()));
      model_.SetText(e, text);
      break;
    }
    case 1: {
      std::string text = RandomText();
      Dictionary_SetItemString(p.d, item, text.c_str());
      model_.SetItemText(e, text);
      break;
    }
    case 2:
      Dictionary_SetItemInt64(p.d, item, 99);
      model_.SetItemText(e, "99");
      break;
    case 3: {
      int type = Roll(8);
      Dictionary_SetItemType(p.d, item, type);
      model_.SetType(e, type);
      break;
    }
    case 4: {
      const char *key = RandomKey();
      Dictionary_SetItemKey(p.d, item, key);
      model_.SetKey(e, key);
      break;
    }
    case 5: {
      int hidden = Roll(2);
      Dictionary_SetItemHidden(p.d, item, hidden);
      e.hidden = hidden;
      break;
    }
    case 6: {
      int value = Roll(2);
      Dictionary_SetItemBoolean(p.d, item, value);
      e.boolean = value == 1;
      break;
    }
    default:
      Dictionary_RemoveItem(p.d, &item);
      p.m->entries.erase(p.m->entries.begin() + index);
      break;
  }
}

std::string ModelRun::Step(int step) {
  Pick p = RandomContainer();
  int size = int(p.m->entries.size());
  int op = Roll(20);
  std::string what = "step " + std::to_string(step) + " op " + std::to_string(op);
  if (op < 4) {
    TypedAdd(p, RandomKey());
  } else if (op < 6) {
    const char *key = RandomKey();
    int position = Roll(size + 1);
    DictionaryItem *after = nullptr;
    if (position > 0) Dictionary_GetItemByIndex(p.d, position - 1, nullptr, &after);
    DictionaryItem *item = nullptr;
    Dictionary_InsertItem(p.d, after, key, &item);
    model_.Insert(*p.m, position, key);
  } else if (op < 9) {
    TypedSetByKey(p, RandomKey());
  } else if (op < 10) {
    int index = Roll(size + 3);
    Dictionary_SetDictionaryByIndex(p.d, index, nullptr, nullptr);
    while (int(p.m->entries.size()) <= index) model_.Insert(*p.m, int(p.m->entries.size()), nullptr);
    model_.SetType(p.m->entries[size_t(index)], kDictionaryTypeDictionary);
  } else if (op < 11) {
    // A two-level path of plain keys: the parent is the first item with the
    // key and must hold a container, or is added as a Dictionary.
    const char *parentKey = kKeys[Roll(6)];
    const char *leaf = kKeys[Roll(6)];
    std::string path = std::string(parentKey) + "." + leaf;
    int ok = Dictionary_SetStringByPath(p.d, path.c_str(), "v");
    int at = model_.Find(*p.m, parentKey);
    bool expected = true;
    if (at >= 0 && !p.m->entries[size_t(at)].child) expected = false;
    if (expected) {
      if (at < 0) {
        at = model_.Insert(*p.m, int(p.m->entries.size()), parentKey);
        model_.SetType(p.m->entries[size_t(at)], kDictionaryTypeDictionary);
      }
      ModelContainer &parent = *p.m->entries[size_t(at)].child;
      int leafAt = model_.Find(parent, leaf);
      if (leafAt < 0) leafAt = model_.Insert(parent, int(parent.entries.size()), leaf);
      model_.SetType(parent.entries[size_t(leafAt)], kDictionaryTypeString);
      model_.SetItemText(parent.entries[size_t(leafAt)], "v");
    }
    if (ok != int(expected)) return what + ": SetStringByPath " + path;
  } else if (op < 17) {
    if (size > 0) ItemChange(p, Roll(size));
  } else if (op < 18) {
    const char *key = RandomKey();
    if (key == nullptr) key = "b";
    int at = model_.Find(*p.m, key);
    int removed = Dictionary_RemoveKey(p.d, key);
    if (removed != (at >= 0)) return what + ": RemoveKey";
    if (at >= 0) p.m->entries.erase(p.m->entries.begin() + at);
  } else if (op < 19) {
    // Texts may switch allocator while others live.
    Dictionary_SetStringPool(p.d, Roll(2));
  } else if (Roll(8) == 0) {
    Dictionary_Clear(p.d);
    p.m->entries.clear();
  }

  std::string difference = compareTrees(d_, model_.root, "root");
  if (!difference.empty()) return what + ": " + difference;
  // Lookups agree too, from the front and from a random start (the first
  // match at or after it), long keys included.
  std::vector<std::string> keys(std::begin(kKeys), std::end(kKeys));
  keys.push_back(modelLongKey('x', 130));
  keys.push_back(modelLongKey('x', 125));
  int32_t count = int32_t(p.m->entries.size());
  int32_t from = count > 0 ? Roll(count) : 0;
  DictionaryItem *start = nullptr;
  if (count > 0) Dictionary_GetItemByIndex(p.d, from, nullptr, &start);
  for (const std::string &key : keys) {
    for (DictionaryItem *begin : {static_cast<DictionaryItem *>(nullptr), start}) {
      DictionaryItem *item = nullptr;
      int found = Dictionary_FindKey(p.d, key.c_str(), begin, &item);
      int at = model_.Find(*p.m, key, begin != nullptr ? from : 0);
      int32_t index = -1;
      if (found) Dictionary_GetItemIndex(p.d, item, &index);
      if (found != (at >= 0) || (found && index != at))
        return what + ": FindKey " + key + (begin != nullptr ? " from " + std::to_string(from) : "");
    }
  }
  return "";
}

struct ModelCase {
  bool duplicates;
  bool caseSensitive;
  bool stringPool;
};

class DictionaryModel : public testing::TestWithParam<ModelCase> {};

TEST_P(DictionaryModel, RandomOperationsMatchTheModel) {
  const ModelCase &c = GetParam();
  Mem_Init(1);
  constexpr int kSteps = 100000;
  uint32_t seed = 0x5eed0000u + uint32_t(c.duplicates) * 4 + uint32_t(c.caseSensitive) * 2 +
                  uint32_t(c.stringPool);
  {
    ModelRun run({c.duplicates, c.caseSensitive, c.stringPool}, seed);
    for (int step = 0; step < kSteps; step++) {
      std::string failure = run.Step(step);
      ASSERT_EQ(failure, "") << "seed " << seed;
    }
  }
  int64_t count = -1, bytes = -1;
  Mem_GetUsage(&count, &bytes);
  EXPECT_EQ(count, 0) << "the released tree left memory behind";
  Mem_Shutdown();
}

INSTANTIATE_TEST_SUITE_P(Flags, DictionaryModel,
                         testing::Values(ModelCase{true, true, false}, ModelCase{true, true, true},
                                         ModelCase{true, false, false},
                                         ModelCase{true, false, true},
                                         ModelCase{false, true, false},
                                         ModelCase{false, true, true},
                                         ModelCase{false, false, false},
                                         ModelCase{false, false, true}),
                         [](const testing::TestParamInfo<ModelCase> &info) {
                           return std::string(info.param.duplicates ? "Dup" : "NoDup") +
                                  (info.param.caseSensitive ? "Case" : "NoCase") +
                                  (info.param.stringPool ? "Pool" : "Mem");
                         });

}  // namespace
