// The key index of large containers: keyed work grows with the number of
// keys, not with its square (counted in key comparisons, never timed), and
// every lookup answers what a walk of the items from the front answers,
// through random adds, inserts, renames, removals and case switches.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/formats/dictionary_internal.h"
#include "core/formats/ini.h"
#include "core/runtime/memstream.h"
#include "core/runtime/nullstream.h"
#include "tests/dictionary_test_util.h"

namespace {

std::string keyOf(int i) { return "key" + std::to_string(i); }

void addKeys(Dictionary *d, int from, int to) {
  for (int i = from; i < to; i++) Dictionary_SetInt32ByKey(d, keyOf(i).c_str(), i);
}

// Parses stream into d, or writes d to it.
int32_t iniRun(Dictionary *d, Stream *stream, bool write) {
  Ini *ini = nullptr;
  Ini_Create(&ini);
  Ini_SetDictionary(ini, d);
  int32_t result = write ? Ini_Write(ini, stream) : Ini_Parse(ini, stream);
  Ini_SetDictionary(ini, nullptr);  // the release would clear it
  Ini_Release(&ini);
  return result;
}

void iniRead(Dictionary *d, int n) {
  std::string text;
  for (int i = 0; i < n; i++) text += "[" + keyOf(i) + "]\r\nname=" + keyOf(i) + "\r\n";
  MemoryStream *memory = nullptr;
  MemoryStream_Create(&memory);
  MemoryStream_Attach(memory, text.data(), int32_t(text.size()), int32_t(text.size()));
  Stream *stream = nullptr;
  MemoryStream_GetStream(memory, &stream);
  EXPECT_EQ(iniRun(d, stream, false), 1);
  MemoryStream_Release(&memory);
}

void iniWrite(Dictionary *d) {
  NullStream *null = nullptr;
  NullStream_Create(&null);
  Stream *stream = nullptr;
  NullStream_GetStream(null, &stream);
  EXPECT_EQ(iniRun(d, stream, true), 1);
  NullStream_Release(&null);
}

// Key comparisons per key of each keyed operation stay flat from a thousand
// keys to eight thousand; a walk per lookup made them grow with n.
TEST_F(DictionaryFixture, KeyedWorkGrowsLinearly) {
  struct Row {
    const char *what;
    std::function<void(Dictionary *, int)> prepare, run;
  };
  const Row rows[] = {
      {"ini read of n sections", nullptr, [](Dictionary *t, int n) { iniRead(t, n); }},
      {"ini write of n sections", [](Dictionary *t, int n) { iniRead(t, n); },
       [](Dictionary *t, int) { iniWrite(t); }},
      {"set and get by key", nullptr,
       [](Dictionary *t, int n) {
         addKeys(t, 0, n);
         for (int i = 0; i < n; i++) {
           int32_t value = -1;
           EXPECT_EQ(Dictionary_GetInt32ByKey(t, keyOf(i).c_str(), &value), 1);
         }
       }},
      {"get by path", [](Dictionary *t, int n) { addKeys(t, 0, n); },
       [](Dictionary *t, int n) {
         for (int i = 0; i < n; i++)
           EXPECT_EQ(Dictionary_HasPath(t, keyOf(i).c_str()), 1);
       }},
      {"merge of n keys, half new", [](Dictionary *t, int n) { addKeys(t, 0, n); },
       [](Dictionary *t, int n) {
         Dictionary *source = nullptr;
         Dictionary_Create(&source);
         addKeys(source, n / 2, n + n / 2);
         Dictionary_Merge(t, source, kDictionaryMergeOverwrite);
         Dictionary_Release(&source);
       }},
      {"sync to n keys, half new", [](Dictionary *t, int n) { addKeys(t, 0, n); },
       [](Dictionary *t, int n) {
         Dictionary *source = nullptr;
         Dictionary_Create(&source);
         addKeys(source, n / 2, n + n / 2);
         Dictionary_Sync(t, source, nullptr, nullptr);
         Dictionary_Release(&source);
       }},
      {"adds without duplicates", nullptr,
       [](Dictionary *t, int n) {
         Dictionary_SetAllowDuplicates(t, 0);
         for (int i = 0; i < 2 * n; i++) Dictionary_AddKey(t, keyOf(i % n).c_str(), nullptr);
       }},
  };
  for (const Row &row : rows) {
    for (int n : {1000, 8000}) {
      SCOPED_TRACE(std::string(row.what) + ", n " + std::to_string(n));
      Dictionary *t = nullptr;
      Dictionary_Create(&t);
      if (row.prepare) row.prepare(t, n);
      int64_t before = dictionaryKeyComparisons();
      row.run(t, n);
      int64_t perKey = (dictionaryKeyComparisons() - before) / n;
      EXPECT_LE(perKey, 4);
      Dictionary_Release(&t);
    }
  }
}

// What a walk from start finds: the first item whose key equals key by the
// container's case rule.
DictionaryItem *walkFind(Dictionary *d, const std::string &key, DictionaryItem *start) {
  bool caseSensitive = Dictionary_GetCaseSensitive(d) != 0;
  DictionaryItem *item = start;
  if (item == nullptr) Dictionary_GetFirstItem(d, &item);
  for (; item != nullptr; Dictionary_GetNextItem(d, item, &item)) {
    const char *stored = nullptr;
    if (!Dictionary_GetItemKey(d, item, &stored) || key.size() != strlen(stored)) continue;
    bool same = true;
    for (size_t i = 0; i < key.size() && same; i++) {
      char a = key[i], b = stored[i];
      if (!caseSensitive && a >= 'A' && a <= 'Z') a = char(a + 32);
      if (!caseSensitive && b >= 'A' && b <= 'Z') b = char(b + 32);
      same = a == b;
    }
    if (same) return item;
  }
  return nullptr;
}

// Duplicates inserted before their first, renames, removals of the first of
// several and case switches: every lookup meets the item a walk meets.
TEST_F(DictionaryFixture, IndexedLookupsAnswerAsAWalk) {
  const uint32_t seed = 0x1ede5u;
  std::mt19937 random(seed);
  auto roll = [&](int n) { return int(random() % uint32_t(n)); };
  const char *const words[] = {"alpha", "Alpha", "ALPHA", "beta", "Beta", "gamma", "delta"};
  auto randomKey = [&]() -> std::string {
    int r = roll(10);
    if (r < 7) return words[r];
    return "k" + std::to_string(roll(60));
  };
  auto itemAt = [&](int index) {
    DictionaryItem *item = nullptr;
    Dictionary_GetItemByIndex(d, index, nullptr, &item);
    return item;
  };
  int indexedSteps = 0;
  for (int step = 0; step < 20000; step++) {
    int32_t count = 0;
    Dictionary_GetCount(d, &count);
    int op = roll(count < 20 ? 3 : 10);
    std::string key = randomKey();
    if (op < 3) {
      Dictionary_InsertItem(d, count > 0 ? itemAt(roll(count)) : nullptr, key.c_str(), nullptr);
    } else if (op < 5) {
      Dictionary_AddKey(d, roll(8) == 0 ? nullptr : key.c_str(), nullptr);
    } else if (op < 7) {
      DictionaryItem *item = itemAt(roll(count));
      Dictionary_RemoveItem(d, &item);
    } else if (op < 9) {
      Dictionary_SetItemKey(d, itemAt(roll(count)), roll(8) == 0 ? nullptr : key.c_str());
    } else if (roll(20) == 0) {
      Dictionary_SetCaseSensitive(d, !Dictionary_GetCaseSensitive(d));
    } else if (roll(30) == 0) {
      Dictionary_Clear(d);
    }
    Dictionary_GetCount(d, &count);
    DictionarySide *side = d->side.load();
    if (side != nullptr && side->keyIndex != nullptr) indexedSteps++;
    DictionaryItem *start = count > 0 ? itemAt(roll(count)) : nullptr;
    for (const std::string &probe : {randomKey(), randomKey(), std::string("alpha")}) {
      for (DictionaryItem *from : {static_cast<DictionaryItem *>(nullptr), start}) {
        DictionaryItem *found = nullptr;
        Dictionary_FindKey(d, probe.c_str(), from, &found);
        ASSERT_EQ(found, walkFind(d, probe, from))
            << "seed " << seed << " step " << step << " key " << probe;
      }
    }
  }
  EXPECT_GT(indexedSteps, 10000) << "the walk must mostly run on an indexed container";
}

}  // namespace
