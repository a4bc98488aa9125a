// Every document writer over the same hostile trees built through the API:
// 100,000 levels deep (the writers and the whole-tree operations walk without
// recursion) and keys far past a hundred bytes (written whole, read back
// distinct).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "core/formats/dictionary.h"
#include "core/formats/ini.h"
#include "core/formats/json.h"
#include "core/formats/plist.h"
#include "core/formats/xml.h"
#include "core/formats/yaml.h"
#include "core/runtime/memstream.h"
#include "core/runtime/nullstream.h"

namespace {

constexpr int kDeepLevels = 100000;

// Runs one operation of a format's object on d and stream: create, set the
// Dictionary, the operation, unset (an Ini release would clear it), release.
template <typename Object, auto Create, auto Set, auto Release, auto Operation>
int32_t runFormat(Dictionary *d, Stream *stream) {
  Object *object = nullptr;
  Create(&object);
  Set(object, d);
  int32_t result = Operation(object, stream);
  Set(object, nullptr);
  Release(&object);
  return result;
}

int32_t plistRead(Plist *plist, Stream *stream) {
  return Plist_ReadStream(plist, stream, "memory");
}

struct Format {
  const char *name;
  int32_t (*write)(Dictionary *d, Stream *stream);
  int32_t (*read)(Dictionary *d, Stream *stream);
};

const Format kFormats[] = {
    {"json", runFormat<Json, Json_Create, Json_SetDictionary, Json_Release, Json_WriteStream>,
     runFormat<Json, Json_Create, Json_SetDictionary, Json_Release, Json_ParseStream>},
    {"yaml", runFormat<Yaml, Yaml_Create, Yaml_SetDictionary, Yaml_Release, Yaml_WriteStream>,
     runFormat<Yaml, Yaml_Create, Yaml_SetDictionary, Yaml_Release, Yaml_ParseStream>},
    {"xml", runFormat<XML, Xml_Create, Xml_SetDictionary, Xml_Release, Xml_WriteStream>,
     runFormat<XML, Xml_Create, Xml_SetDictionary, Xml_Release, Xml_ParseStream>},
    {"plist",
     runFormat<Plist, Plist_Create, Plist_SetDictionary, Plist_Release, Plist_WriteStream>,
     runFormat<Plist, Plist_Create, Plist_SetDictionary, Plist_Release, plistRead>},
    {"ini", runFormat<Ini, Ini_Create, Ini_SetDictionary, Ini_Release, Ini_Write>,
     runFormat<Ini, Ini_Create, Ini_SetDictionary, Ini_Release, Ini_Parse>},
};

// A chain of Dictionaries "a" levels deep whose last one holds a = "x".
Dictionary *deepTree(int levels) {
  Dictionary *root = nullptr;
  Dictionary_Create(&root);
  Dictionary *c = root;
  for (int i = 0; i < levels; i++) Dictionary_AddDictionary(c, "a", &c, nullptr);
  Dictionary_AddString(c, "a", "x", nullptr);
  return root;
}

// Levels of Dictionary below d along the first items, and the text at the end.
int depthOf(Dictionary *d, std::string *leaf) {
  int levels = 0;
  for (;;) {
    DictionaryItem *item = nullptr;
    if (!Dictionary_GetFirstItem(d, &item)) return levels;
    Dictionary *child = nullptr;
    if (!Dictionary_GetItemContainer(d, item, &child)) {
      const char *text = nullptr;
      int32_t length = 0;
      Dictionary_GetItemText(d, item, &text, &length);
      *leaf = std::string(text != nullptr ? text : "", size_t(length));
      return levels;
    }
    d = child;
    levels++;
  }
}

int64_t writtenLength(const Format &format, Dictionary *d, int32_t *result) {
  NullStream *null = nullptr;
  NullStream_Create(&null);
  Stream *stream = nullptr;
  NullStream_GetStream(null, &stream);
  *result = format.write(d, stream);
  int64_t length = NullStream_GetSize(null);
  NullStream_Release(&null);
  return length;
}

// 100,000 levels crashed every writer but JSON's: each recursed per level.
// The length is what the writer's own output at one, two and three levels
// grows to (fitted as a quadratic: YAML indents every level).
TEST(DocumentWriters, DeepTreesWriteWithoutRecursion) {
  Dictionary *deep = deepTree(kDeepLevels);
  for (const Format &format : kFormats) {
    if (strcmp(format.name, "ini") == 0) continue;  // one level of sections only
    SCOPED_TRACE(format.name);
    int64_t small[3];
    for (int levels = 1; levels <= 3; levels++) {
      Dictionary *tree = deepTree(levels);
      int32_t result = 0;
      small[levels - 1] = writtenLength(format, tree, &result);
      EXPECT_EQ(result, 1);
      Dictionary_Release(&tree);
    }
    int64_t second = small[2] - 2 * small[1] + small[0];  // 2a
    int64_t first = small[1] - small[0] - second / 2 * 3;  // b
    int64_t constant = small[0] - second / 2 - first;      // c
    int64_t n = kDeepLevels;
    int32_t result = 0;
    EXPECT_EQ(writtenLength(format, deep, &result), second / 2 * n * n + first * n + constant);
    EXPECT_EQ(result, 1);
  }
  Dictionary_Release(&deep);
}

TEST(DocumentWriters, DeepTreesMergeAndSynchronise) {
  Dictionary *deep = deepTree(kDeepLevels);
  struct Row {
    const char *what;
    std::function<Dictionary *(Dictionary *)> run;  // answers the tree to measure
  };
  const Row rows[] = {
      {"merge into an empty tree",
       [](Dictionary *source) {
         Dictionary *d = nullptr;
         Dictionary_Create(&d);
         Dictionary_Merge(d, source, kDictionaryMergeOverwrite);
         return d;
       }},
      {"merge over an equal tree",
       [](Dictionary *source) {
         Dictionary *d = deepTree(kDeepLevels);
         Dictionary_Merge(d, source, kDictionaryMergeOverwrite);
         return d;
       }},
      {"synchronise an empty tree",
       [](Dictionary *source) {
         Dictionary *d = nullptr;
         Dictionary_Create(&d);
         Dictionary_Sync(d, source, nullptr, nullptr);
         return d;
       }},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Dictionary *d = row.run(deep);
    std::string leaf;
    EXPECT_EQ(depthOf(d, &leaf), kDeepLevels);
    EXPECT_EQ(leaf, "x");
    Dictionary_Release(&d);
  }
  // Merging a tree into its own first level goes through a copy of it.
  Dictionary *first = nullptr;
  Dictionary_GetDictionaryByKey(deep, "a", &first);
  Dictionary_Merge(first, deep, kDictionaryMergeOverwrite);
  std::string leaf;
  // The last level takes the level above it: {a: "x"} in place of "x".
  EXPECT_EQ(depthOf(deep, &leaf), kDeepLevels + 1);
  EXPECT_EQ(leaf, "x");
  Dictionary_Release(&deep);
}

// Keys once cut at 119 bytes: two keys that share their start came back as
// one, or both cut.
TEST(DocumentWriters, LongKeysWriteWholeAndReadBackDistinct) {
  const std::string a = std::string(150, 'k') + "-alpha", b = std::string(150, 'k') + "-beta";
  for (const Format &format : kFormats) {
    SCOPED_TRACE(format.name);
    Dictionary *d = nullptr;
    Dictionary_Create(&d);
    Dictionary *top = d;
    // A JSON document's root value is the root's one keyless item.
    if (strcmp(format.name, "json") == 0) Dictionary_AddDictionary(d, nullptr, &top, nullptr);
    Dictionary_AddString(top, a.c_str(), "one", nullptr);
    Dictionary_AddString(top, b.c_str(), "two", nullptr);
    MemoryStream *memory = nullptr;
    MemoryStream_Create(&memory);
    MemoryStream_EnableGrowth(memory);
    Stream *stream = nullptr;
    MemoryStream_GetStream(memory, &stream);
    EXPECT_EQ(format.write(d, stream), 1);
    std::string text(size_t(MemoryStream_GetLength(memory)), '\0');
    int32_t read = 0;
    MemoryStream_ReadAt(memory, text.data(), 0, int32_t(text.size()), &read);
    MemoryStream_Release(&memory);
    Dictionary_Release(&d);

    Dictionary_Create(&d);
    MemoryStream_Create(&memory);
    MemoryStream_Attach(memory, text.data(), int32_t(text.size()), int32_t(text.size()));
    MemoryStream_GetStream(memory, &stream);
    EXPECT_EQ(format.read(d, stream), 1) << text;
    MemoryStream_Release(&memory);
    Dictionary *members = nullptr;
    Dictionary_Unwrap(d, &members);
    int32_t count = 0;
    Dictionary_GetCount(members, &count);
    EXPECT_EQ(count, 2) << text;
    const char *value = nullptr;
    EXPECT_EQ(Dictionary_GetStringPointerByKey(members, a.c_str(), &value), 1) << text;
    EXPECT_STREQ(value, "one");
    EXPECT_EQ(Dictionary_GetStringPointerByKey(members, b.c_str(), &value), 1) << text;
    EXPECT_STREQ(value, "two");
    Dictionary_Release(&d);
  }
}

}  // namespace
