#include "core/runtime/hashtable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

std::string Lower(std::string text) {
  for (char &c : text)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return text;
}

const void *IntegerKey(uint64_t value) { return reinterpret_cast<const void *>(uintptr_t(value)); }

void *ValueOf(uint64_t n) { return reinterpret_cast<void *>(uintptr_t(n * 8 + 8)); }

int32_t CountOf(HashTable *table) {
  int32_t count = -1;
  HashTable_GetCount(table, &count);
  return count;
}

}  // namespace

TEST(HashTableDeathTest, BadArgumentsStop) {
  HashTable *table = nullptr;
  HashTable_Create(&table);
  HashTableEntry *entry = nullptr;
  EXPECT_DEATH(HashTable_Set(table, "k", nullptr, &entry), "Pointer is NULL\n");
  EXPECT_DEATH(HashTable_Set(table, "k", ValueOf(1), nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(HashTable_Find(table, nullptr, &entry), "Pointer is NULL\n");
  EXPECT_DEATH(HashTable_RemoveEntry(table, &entry), "Pointer is NULL\n");
  EXPECT_DEATH(HashTable_SetKeySize(table, 0), "Invalid hash table key size \\(0\\)\n");
  EXPECT_DEATH(HashTable_Release(nullptr), "Pointer is NULL\n");
  ObjectHeader other{};
  other.classTag = kPoolTag;
  void *value = nullptr;
  EXPECT_DEATH(HashTable_Get(reinterpret_cast<HashTable *>(&other), "k", &value),
               "Class mismatch pointer \\(0x.+: expected 0x3cf21d39 but was 0x90654776\\)");
  HashTable_Release(&table);
}

// A removed entry, or one kept across a clear, loses its tag: using the stale
// handle stops instead of unlinking a member the pool has handed out again.
TEST(HashTableDeathTest, StaleEntryHandlesStop) {
  HashTable *table = nullptr;
  HashTable_Create(&table);
  HashTableEntry *entry = nullptr;
  HashTable_Set(table, "one", ValueOf(1), &entry);
  HashTableEntry *stale = entry;
  HashTable_RemoveEntry(table, &entry);
  EXPECT_EQ(entry, nullptr);
  EXPECT_DEATH(HashTable_RemoveEntry(table, &stale),
               "Class mismatch pointer \\(0x.+: expected 0x1e7d9d7a but was 0x00000000\\)");
  HashTable_Set(table, "two", ValueOf(2), &entry);
  stale = entry;
  HashTable_Clear(table);
  EXPECT_DEATH(HashTable_GetEntry(table, stale, nullptr, nullptr),
               "expected 0x1e7d9d7a but was 0x00000000");
  HashTable_Release(&table);
}

TEST(HashTable, StringHashIsMixedFnv1a) {
  // Published FNV-1a values of the texts; the table mixes them once more.
  auto mix = [](uint32_t h) {
    h *= 8193;
    h ^= h >> 7;
    h *= 9;
    h ^= h >> 17;
    return h * 33;
  };
  struct Row {
    const char *text;
    uint32_t fnv;
  } rows[] = {{"", 0x811c9dc5}, {"a", 0xe40c292c}, {"foobar", 0xbf9cf968}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(HashTable_HashString(nullptr, nullptr, row.text), mix(row.fnv));
    EXPECT_EQ(HashTable_HashStringPtr(nullptr, nullptr, row.text), mix(row.fnv));
    EXPECT_EQ(HashTable_HashStringNoCase(nullptr, nullptr, row.text), mix(row.fnv));
  }
  EXPECT_EQ(HashTable_HashStringNoCase(nullptr, nullptr, "FooBAR"), mix(0xbf9cf968));
  EXPECT_NE(HashTable_HashInteger(nullptr, nullptr, IntegerKey(0)),
            HashTable_HashInteger(nullptr, nullptr, IntegerKey(1)));
}

// Vectors from tests/gen_hashtable.py (Python's own arithmetic).
TEST(HashTable, HashesMatchPythonOracle) {
  std::istringstream in(Test_ReadVectors("hashtable_hashes.txt"));
  std::string kind, first;
  int strings = 0, integers = 0;
  while (in >> kind >> first) {
    SCOPED_TRACE(kind + " " + first);
    if (kind == "s") {
      uint32_t plain, noCase;
      in >> plain >> noCase;
      std::string text;
      for (size_t i = 0; i + 1 < first.size(); i += 2)
        text.push_back(char(std::stoi(first.substr(i, 2), nullptr, 16)));
      if (first == "-") text.clear();
      ASSERT_EQ(HashTable_HashString(nullptr, nullptr, text.c_str()), plain);
      ASSERT_EQ(HashTable_HashStringNoCase(nullptr, nullptr, text.c_str()), noCase);
      ASSERT_EQ(HashTable_HashString(nullptr, nullptr, Lower(text).c_str()), noCase);
      strings++;
    } else {
      uint32_t hash;
      in >> hash;
      ASSERT_EQ(HashTable_HashInteger(nullptr, nullptr, IntegerKey(std::stoull(first))), hash);
      integers++;
    }
  }
  EXPECT_GT(strings, 1000);
  EXPECT_GT(integers, 1000);
}

// Equal hashes hide most compare mistakes from the table-level tests, so the
// compare callbacks are checked on their own, prefixes and case included.
TEST(HashTable, CompareCallbacksMatchWholeKeys) {
  struct Row {
    const char *stored, *looked;
    int exact, noCase;
  } rows[] = {{"", "", 1, 1},       {"abc", "abc", 1, 1}, {"abc", "ab", 0, 0},
              {"ab", "abc", 0, 0},  {"abc", "ABC", 0, 1}, {"aBc", "AbC", 0, 1},
              {"abc", "abd", 0, 0}, {"", "a", 0, 0},      {"a", "", 0, 0},
              {"[", "{", 0, 0},     {"@", "`", 0, 0},     {"\xc3\xa9", "\xc3\x89", 0, 0}};
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << '"' << row.stored << "\" vs \"" << row.looked << '"');
    const char *pointer = row.stored;
    EXPECT_EQ(HashTable_CompareString(nullptr, nullptr, row.stored, row.looked), row.exact);
    EXPECT_EQ(HashTable_CompareStringNoCase(nullptr, nullptr, row.stored, row.looked), row.noCase);
    EXPECT_EQ(HashTable_CompareStringPtr(nullptr, nullptr, &pointer, row.looked), row.exact);
    EXPECT_EQ(HashTable_CompareStringPtrNoCase(nullptr, nullptr, &pointer, row.looked), row.noCase);
  }
  uint32_t stored = 7;
  EXPECT_EQ(HashTable_CompareInteger(nullptr, nullptr, &stored, IntegerKey(7)), 1);
  EXPECT_EQ(HashTable_CompareInteger(nullptr, nullptr, &stored, IntegerKey(8)), 0);
  EXPECT_EQ(HashTable_CompareInteger(nullptr, nullptr, &stored, IntegerKey(0x100000007ull)), 1);
}

TEST(HashTable, EntrySizeIsKeySizePlusEntryHead) {
  HashTable *table = nullptr;
  HashTable_Create(&table);
  EXPECT_EQ(table->entrySize, kHashTableDefaultKeySize + int32_t(sizeof(HashTableEntry)));
  EXPECT_EQ(table->pool->memberSize, table->entrySize);
  EXPECT_EQ(table->pool->membersPerChunk, 10);
  HashTableEntry *entry = nullptr;
  HashTable_Set(table, "kept?", ValueOf(1), &entry);
  HashTable_SetKeySize(table, 8);
  EXPECT_EQ(CountOf(table), 0);  // a new key size empties the table
  EXPECT_EQ(table->pool->memberSize, 8 + int32_t(sizeof(HashTableEntry)));
  HashTable_Release(&table);
  EXPECT_EQ(table, nullptr);
}

TEST(HashTable, SettingAStoredKeyReplacesTheValue) {
  HashTable *table = nullptr;
  HashTable_Create(&table);
  HashTableEntry *first = nullptr, *second = nullptr;
  ASSERT_EQ(HashTable_Set(table, "name", ValueOf(1), &first), 1);
  ASSERT_EQ(HashTable_Set(table, std::string("name").c_str(), ValueOf(2), &second), 1);
  EXPECT_EQ(first, second);
  EXPECT_EQ(CountOf(table), 1);
  void *value = nullptr;
  EXPECT_EQ(HashTable_Get(table, "name", &value), 1);
  EXPECT_EQ(value, ValueOf(2));
  EXPECT_EQ(HashTable_Get(table, "Name", &value), 0);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(HashTable_Remove(table, "name"), 1);
  EXPECT_EQ(HashTable_Remove(table, "name"), 0);
  HashTable_Release(&table);
}

// A key of 319 characters fills the 320-byte key area. A longer one used to
// be stored cut and hashed whole, so it was never found and every Set added
// an entry; it is refused now, with one log line per attempt.
TEST(HashTable, StringKeysLongerThanTheKeyAreaAreRefused) {
  HashTable *table = nullptr;
  HashTable_Create(&table);
  std::string fits(319, 'k');
  HashTableEntry *entry = nullptr;
  ASSERT_EQ(HashTable_Set(table, fits.c_str(), ValueOf(1), &entry), 1);
  void *keyArea = nullptr;
  HashTable_GetEntry(table, entry, &keyArea, nullptr);
  EXPECT_EQ(std::string(static_cast<char *>(keyArea)), fits);

  for (size_t length : {320u, 321u, 1000u}) {
    SCOPED_TRACE(length);
    std::string tooLong(length, 'k');
    TestLogCapture log;
    entry = reinterpret_cast<HashTableEntry *>(1);
    EXPECT_EQ(HashTable_Set(table, tooLong.c_str(), ValueOf(2), &entry), 0);
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(HashTable_Set(table, tooLong.c_str(), ValueOf(2), &entry), 0);
    std::string text = log.Take();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_NE(text.find("ERROR - Hash table key refused"), std::string::npos) << text;
    EXPECT_EQ(CountOf(table), 1);
    EXPECT_EQ(table->pool->inUse, 1);  // the refused entries went back
    void *value = ValueOf(9);
    EXPECT_EQ(HashTable_Get(table, tooLong.c_str(), &value), 0);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(HashTable_Find(table, tooLong.c_str(), &entry), 0);
    EXPECT_EQ(HashTable_Remove(table, tooLong.c_str()), 0);
  }
  HashTable_Release(&table);
}

// The instance table: the key area holds the object's address, lookups pass
// id text, and the object's first bytes are its id.
TEST(HashTable, ObjectsAreFoundByTheirIdText) {
  HashTable *table = nullptr;
  HashTable_Create(&table);
  HashTable_SetKeySize(table, int32_t(sizeof(void *)));
  HashTable_SetKeyCopyCallback(table, HashTable_CopyKeyBytes);
  HashTable_SetHashCallback(table, HashTable_HashStringPtr);
  HashTable_SetCompareCallback(table, HashTable_CompareStringPtr);
  ObjectHeader objects[3] = {};
  const char *ids[3] = {"5f0c3b2a9d8e4f1a0b6c7d8e9f0a1b2c", "00000000000000000000000000000000",
                        "ffffffffffffffffffffffffffffffff"};
  for (int i = 0; i < 3; i++) {
    memcpy(objects[i].instanceId, ids[i], 33);
    HashTableEntry *entry = nullptr;
    ASSERT_EQ(HashTable_Set(table, &objects[i], &objects[i], &entry), 1);
    void *keyArea = nullptr;
    HashTable_GetEntry(table, entry, &keyArea, nullptr);
    void *stored = nullptr;
    memcpy(&stored, keyArea, sizeof stored);
    EXPECT_EQ(stored, &objects[i]);
  }
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(ids[i]);
    std::string id = ids[i];
    void *found = nullptr;
    EXPECT_EQ(HashTable_Get(table, id.c_str(), &found), 1);
    EXPECT_EQ(found, &objects[i]);
  }
  void *found = nullptr;
  EXPECT_EQ(HashTable_Get(table, "5F0C3B2A9D8E4F1A0B6C7D8E9F0A1B2C", &found), 0);
  EXPECT_EQ(HashTable_Remove(table, ids[1]), 1);
  EXPECT_EQ(HashTable_Get(table, ids[1], &found), 0);
  HashTable_Release(&table);
}

TEST(HashTable, IterationMayRemoveTheEntryItHasLeft) {
  HashTable *table = nullptr;
  HashTable_Create(&table);
  HashTableEntry *entry = nullptr;
  for (int i = 0; i < 3000; i++)
    HashTable_Set(table, std::to_string(i).c_str(), ValueOf(uint64_t(i)), &entry);
  int visited = 0;
  int32_t lastBucket = -1;
  HashTable_First(table, &entry);
  while (entry != nullptr) {
    EXPECT_GE(entry->bucket, lastBucket);
    lastBucket = entry->bucket;
    HashTableEntry *next = nullptr;
    HashTable_Next(table, entry, &next);
    HashTable_RemoveEntry(table, &entry);
    entry = next;
    visited++;
  }
  EXPECT_EQ(visited, 3000);
  EXPECT_EQ(CountOf(table), 0);
  EXPECT_EQ(HashTable_First(table, &entry), 0);
  EXPECT_EQ(table->pool->inUse, 0);
  HashTable_Release(&table);
}

namespace {

enum class KeyKind { kString, kNoCase, kStringPtr, kStringPtrNoCase, kInteger, kBytes };

struct CallbackSet {
  const char *name;
  KeyKind kind;
};

void PrintTo(const CallbackSet &set, std::ostream *out) { *out << set.name; }

// The bytes set hashes and compares all eight bytes of the stored value.
uint32_t TestHashBytes(void *context, HashTable *, const void *key) {
  EXPECT_EQ(context, nullptr);
  uint64_t k = reinterpret_cast<uintptr_t>(key);
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdull;
  k ^= k >> 33;
  return uint32_t(k);
}

int TestCompareBytes(void *, HashTable *, const void *keyArea, const void *key) {
  return memcmp(keyArea, &key, sizeof key) == 0;
}

// Key size (0: keep the default) and callbacks of each set.
struct KeySetup {
  int32_t keySize;
  HashTableKeyCopyFunction copy;
  HashTableHashFunction hash;
  HashTableCompareFunction compare;
};

KeySetup SetupOf(KeyKind kind) {
  switch (kind) {
    case KeyKind::kString:
      return {0, HashTable_CopyStringKey, HashTable_HashString, HashTable_CompareString};
    case KeyKind::kNoCase:
      return {0, HashTable_CopyStringKey, HashTable_HashStringNoCase,
              HashTable_CompareStringNoCase};
    case KeyKind::kStringPtr:
      return {int32_t(sizeof(void *)), HashTable_CopyKeyBytes, HashTable_HashStringPtr,
              HashTable_CompareStringPtr};
    case KeyKind::kStringPtrNoCase:
      return {int32_t(sizeof(void *)), HashTable_CopyKeyBytes, HashTable_HashStringNoCase,
              HashTable_CompareStringPtrNoCase};
    case KeyKind::kInteger:
      return {4, HashTable_CopyKeyBytes, HashTable_HashInteger, HashTable_CompareInteger};
    case KeyKind::kBytes:
      return {8, HashTable_CopyKeyBytes, TestHashBytes, TestCompareBytes};
  }
  return {};
}

void Configure(HashTable *table, KeyKind kind) {
  KeySetup setup = SetupOf(kind);
  if (setup.keySize) HashTable_SetKeySize(table, setup.keySize);
  HashTable_SetKeyCopyCallback(table, setup.copy);
  HashTable_SetHashCallback(table, setup.hash);
  HashTable_SetCompareCallback(table, setup.compare);
}

bool IsText(KeyKind kind) { return kind != KeyKind::kInteger && kind != KeyKind::kBytes; }
bool IgnoresCase(KeyKind kind) {
  return kind == KeyKind::kNoCase || kind == KeyKind::kStringPtrNoCase;
}
bool StoresPointer(KeyKind kind) {
  return kind == KeyKind::kStringPtr || kind == KeyKind::kStringPtrNoCase;
}

// Runs random operations on a table and on std::unordered_map side by side.
class Differential {
 public:
  Differential(KeyKind kind, uint32_t seed) : kind_(kind), rng_(seed) {
    HashTable_Create(&table_);
    Configure(table_, kind_);
    MakeKeys();
  }
  ~Differential() { HashTable_Release(&table_); }

  void Run(int operations) {
    for (int op = 0; op < operations; op++) {
      int choice = Pick(0, 99);
      size_t key = size_t(Pick(0, int(KeyCount()) - 1));
      if (choice < 30)
        DoSet(key);
      else if (choice < 50)
        DoGet(key);
      else if (choice < 65)
        DoFind(key);
      else if (choice < 80)
        DoRemove(key);
      else
        DoRemoveEntry(key);
      if (::testing::Test::HasFatalFailure()) {
        ADD_FAILURE() << "operation " << op;
        return;
      }
      if (op % 20000 == 19999) CheckIteration(op % 100000 == 99999);
      if (::testing::Test::HasFatalFailure()) return;
    }
    CheckIteration(false);
  }

 private:
  // Canonical form of a key: what the table treats as equal is equal here.
  std::string Canonical(size_t key) const {
    if (kind_ == KeyKind::kInteger)
      return std::string(reinterpret_cast<const char *>(&numbers_[key]), 4);
    if (kind_ == KeyKind::kBytes)
      return std::string(reinterpret_cast<const char *>(&numbers_[key]), 8);
    return IgnoresCase(kind_) ? Lower(texts_[key]) : texts_[key];
  }

  std::string CanonicalOfArea(const void *keyArea) const {
    switch (kind_) {
      case KeyKind::kInteger:
        return std::string(static_cast<const char *>(keyArea), 4);
      case KeyKind::kBytes:
        return std::string(static_cast<const char *>(keyArea), 8);
      case KeyKind::kStringPtr:
      case KeyKind::kStringPtrNoCase: {
        const char *text;
        memcpy(&text, keyArea, sizeof text);
        return IgnoresCase(kind_) ? Lower(text) : text;
      }
      default:
        return IgnoresCase(kind_) ? Lower(static_cast<const char *>(keyArea))
                                  : static_cast<const char *>(keyArea);
    }
  }

  size_t KeyCount() const { return IsText(kind_) ? texts_.size() : numbers_.size(); }

  bool Storable(size_t key) const {
    return !IsText(kind_) || StoresPointer(kind_) || texts_[key].size() <= 319;
  }

  // The key as passed to a lookup: a fresh copy of the text (in another
  // letter case when case does not count), or the number itself.
  const void *LookupKey(size_t key) {
    if (!IsText(kind_)) return IntegerKey(numbers_[key]);
    scratch_ = texts_[key];
    if (IgnoresCase(kind_)) Recase(&scratch_);
    return scratch_.c_str();
  }

  // The key as passed to Set. Pointer keys must outlive their entry, so they
  // point into texts that live as long as the test.
  const void *SetKey(size_t key) {
    if (StoresPointer(kind_)) {
      const std::vector<std::string> &variants = stable_[key];
      return variants[size_t(Pick(0, int(variants.size()) - 1))].c_str();
    }
    return LookupKey(key);
  }

  void Recase(std::string *text) {
    for (char &c : *text) {
      if (c >= 'a' && c <= 'z' && Pick(0, 1))
        c = char(c - 32);
      else if (c >= 'A' && c <= 'Z' && Pick(0, 1))
        c = char(c + 32);
    }
  }

  void MakeKeys() {
    constexpr int kKeys = 3000;
    if (!IsText(kind_)) {
      std::unordered_set<std::string> seen;
      uint64_t fixed[] = {0, 1, 2, 0xFFFFFFFFull, 0x100000000ull, 0xFFFFFFFFFFFFFFFFull};
      for (uint64_t n : fixed) AddNumber(n, &seen);
      while (numbers_.size() < size_t(kKeys)) {
        uint64_t n =
            Pick(0, 3) ? std::uniform_int_distribution<uint64_t>()(rng_) : uint64_t(Pick(0, 5000));
        AddNumber(n, &seen);
      }
      return;
    }
    std::unordered_set<std::string> seen;
    std::vector<std::string> fixed = {"",
                                      "a",
                                      "A",
                                      std::string(319, 'x'),
                                      std::string(319, 'X'),
                                      std::string(320, 'x'),
                                      std::string(321, 'y'),
                                      std::string(500, 'z'),
                                      std::string(318, 'x') + "Q"};
    for (std::string &text : fixed) AddText(text, &seen);
    const std::string alphabet =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./";
    while (texts_.size() < size_t(kKeys)) {
      int length = Pick(0, 9) ? Pick(1, 40) : Pick(41, 400);
      std::string text;
      for (int i = 0; i < length; i++)
        text.push_back(alphabet[size_t(Pick(0, int(alphabet.size()) - 1))]);
      AddText(text, &seen);
    }
  }

  void AddNumber(uint64_t n, std::unordered_set<std::string> *seen) {
    numbers_.push_back(n);
    if (!seen->insert(Canonical(numbers_.size() - 1)).second) numbers_.pop_back();
  }

  void AddText(const std::string &text, std::unordered_set<std::string> *seen) {
    texts_.push_back(text);
    if (!seen->insert(Canonical(texts_.size() - 1)).second) {
      texts_.pop_back();
      return;
    }
    std::vector<std::string> variants = {text};
    if (IgnoresCase(kind_))
      for (int i = 0; i < 2; i++) {
        variants.push_back(text);
        Recase(&variants.back());
      }
    stable_.push_back(variants);
  }

  void DoSet(size_t key) {
    void *value = ValueOf(nextValue_++);
    HashTableEntry *entry = reinterpret_cast<HashTableEntry *>(1);
    const void *passed = SetKey(key);
    int32_t before = CountOf(table_);
    int result = HashTable_Set(table_, passed, value, &entry);
    auto it = model_.find(Canonical(key));
    if (!Storable(key)) {
      ASSERT_EQ(result, 0);
      ASSERT_EQ(entry, nullptr);
      ASSERT_EQ(CountOf(table_), before);
      ASSERT_TRUE(it == model_.end());
      return;
    }
    ASSERT_EQ(result, 1);
    ASSERT_NE(entry, nullptr);
    void *keyArea = nullptr;
    void *stored = nullptr;
    HashTable_GetEntry(table_, entry, &keyArea, &stored);
    ASSERT_EQ(stored, value);
    ASSERT_EQ(CanonicalOfArea(keyArea), Canonical(key));
    if (it == model_.end()) {
      ASSERT_EQ(CountOf(table_), before + 1);
      if (StoresPointer(kind_)) {  // the pointer passed is what is kept
        const void *kept;
        memcpy(&kept, keyArea, sizeof kept);
        ASSERT_EQ(kept, passed);
      }
      model_.emplace(Canonical(key), value);
    } else {
      ASSERT_EQ(CountOf(table_), before);
      it->second = value;
    }
  }

  void DoGet(size_t key) {
    void *value = ValueOf(0);
    int result = HashTable_Get(table_, LookupKey(key), &value);
    auto it = model_.find(Canonical(key));
    ASSERT_EQ(result, it != model_.end() ? 1 : 0);
    ASSERT_EQ(value, it != model_.end() ? it->second : nullptr);
  }

  void DoFind(size_t key) {
    HashTableEntry *entry = reinterpret_cast<HashTableEntry *>(1);
    int result = HashTable_Find(table_, LookupKey(key), &entry);
    auto it = model_.find(Canonical(key));
    ASSERT_EQ(result, it != model_.end() ? 1 : 0);
    if (it == model_.end()) {
      ASSERT_EQ(entry, nullptr);
      return;
    }
    void *keyArea = nullptr;
    void *value = nullptr;
    HashTable_GetEntry(table_, entry, &keyArea, &value);
    ASSERT_EQ(value, it->second);
    ASSERT_EQ(CanonicalOfArea(keyArea), it->first);
  }

  void DoRemove(size_t key) {
    int result = HashTable_Remove(table_, LookupKey(key));
    ASSERT_EQ(result, int(model_.erase(Canonical(key))));
    ASSERT_EQ(CountOf(table_), int32_t(model_.size()));
  }

  void DoRemoveEntry(size_t key) {
    HashTableEntry *entry = nullptr;
    if (!HashTable_Find(table_, LookupKey(key), &entry)) {
      ASSERT_EQ(model_.count(Canonical(key)), 0u);
      return;
    }
    ASSERT_EQ(HashTable_RemoveEntry(table_, &entry), 1);
    ASSERT_EQ(entry, nullptr);
    ASSERT_EQ(model_.erase(Canonical(key)), 1u);
    ASSERT_EQ(CountOf(table_), int32_t(model_.size()));
  }

  // Walks the whole table: every entry once, in bucket order, each matching
  // the model; with thin, every other entry is removed on the way.
  void CheckIteration(bool thin) {
    std::unordered_set<HashTableEntry *> visited;
    std::unordered_set<std::string> keys;
    HashTableEntry *entry = nullptr;
    int32_t lastBucket = -1;
    bool drop = false;
    size_t expected = model_.size();
    HashTable_First(table_, &entry);
    while (entry != nullptr) {
      ASSERT_TRUE(visited.insert(entry).second) << "entry visited twice";
      ASSERT_GE(entry->bucket, lastBucket);
      ASSERT_EQ(uint32_t(entry->bucket), entry->hash % uint32_t(kHashTableBuckets));
      lastBucket = entry->bucket;
      void *keyArea = nullptr;
      void *value = nullptr;
      HashTable_GetEntry(table_, entry, &keyArea, &value);
      std::string canonical = CanonicalOfArea(keyArea);
      ASSERT_TRUE(keys.insert(canonical).second) << "key stored twice";
      auto it = model_.find(canonical);
      ASSERT_TRUE(it != model_.end()) << "entry not in the model";
      ASSERT_EQ(it->second, value);
      HashTableEntry *next = nullptr;
      HashTable_Next(table_, entry, &next);
      if (thin && (drop = !drop)) {
        HashTable_RemoveEntry(table_, &entry);
        model_.erase(it);
      }
      entry = next;
    }
    ASSERT_EQ(visited.size(), expected);
    ASSERT_EQ(CountOf(table_), int32_t(model_.size()));
    ASSERT_EQ(table_->pool->inUse, int32_t(model_.size()));
  }

  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

  KeyKind kind_;
  std::mt19937 rng_;
  HashTable *table_ = nullptr;
  std::vector<std::string> texts_;
  std::vector<std::vector<std::string>> stable_;  // texts pointer keys point into
  std::vector<uint64_t> numbers_;
  std::string scratch_;
  std::unordered_map<std::string, void *> model_;
  uint64_t nextValue_ = 1;
};

class HashTableDifferential : public testing::TestWithParam<CallbackSet> {};

}  // namespace

TEST_P(HashTableDifferential, MatchesUnorderedMap) {
  constexpr uint32_t kSeed = 0xD1FF0001;
  SCOPED_TRACE(testing::Message() << "seed 0x" << std::hex << kSeed);
  Differential run(GetParam().kind, kSeed);
  run.Run(1000000);
}

INSTANTIATE_TEST_SUITE_P(CallbackSets, HashTableDifferential,
                         testing::Values(CallbackSet{"String", KeyKind::kString},
                                         CallbackSet{"NoCase", KeyKind::kNoCase},
                                         CallbackSet{"StringPtr", KeyKind::kStringPtr},
                                         CallbackSet{"StringPtrNoCase", KeyKind::kStringPtrNoCase},
                                         CallbackSet{"Integer", KeyKind::kInteger},
                                         CallbackSet{"Bytes", KeyKind::kBytes}),
                         [](const testing::TestParamInfo<CallbackSet> &info) {
                           return std::string(info.param.name);
                         });
