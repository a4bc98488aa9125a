// Dictionary change callbacks: a recorded sequence for scripted changes,
// propagated to every ancestor with the path as seen from it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "tests/dictionary_test_util.h"

namespace {

struct Recorder {
  std::map<Dictionary *, std::string> names;  // container -> label
  std::vector<std::string> events;

  std::string Label(Dictionary *c) { return names.count(c) ? names[c] : "?"; }
  static std::string KeyOf(Dictionary *c, DictionaryItem *item) {
    const char *key = nullptr;
    return Dictionary_GetItemKey(c, item, &key) ? key : "-";
  }

  void Observe(Dictionary *c, const std::string &label) {
    names[c] = label;
    Dictionary_SetItemAddedCallback(c, this, Added);
    Dictionary_SetItemRemovedCallback(c, this, Removed);
    Dictionary_SetValueChangedCallback(c, this, Changed);
  }

  static void Added(Dictionary *c, DictionaryItem *item, void *context, const char *path,
                    const char *oldKey) {
    auto *r = static_cast<Recorder *>(context);
    r->events.push_back("added " + r->Label(c) + " " + path + " via " + KeyOf(c, item) +
                        (oldKey ? std::string(" was ") + oldKey : ""));
  }
  static void Removed(Dictionary *c, DictionaryItem *, void *context, const char *path) {
    auto *r = static_cast<Recorder *>(context);
    r->events.push_back("removed " + r->Label(c) + " " + path);
  }
  static void Changed(Dictionary *c, DictionaryItem *, void *context, const char *path,
                      const char *oldText, int32_t oldLength) {
    auto *r = static_cast<Recorder *>(context);
    r->events.push_back("changed " + r->Label(c) + " " + path + " was " +
                        (oldText ? std::string(oldText, size_t(oldLength)) : "(none)"));
  }

  std::vector<std::string> Take() {
    std::vector<std::string> taken;
    taken.swap(events);
    return taken;
  }
};

using Events = std::vector<std::string>;

TEST_F(DictionaryFixture, CallbacksRecordScriptedChanges) {
  Recorder r;
  r.Observe(d, "R");
  Dictionary *cfg = nullptr;
  Dictionary_AddDictionary(d, "cfg", &cfg, nullptr);
  EXPECT_EQ(r.Take(), (Events{"added R cfg via cfg"}));
  r.Observe(cfg, "C");

  Dictionary_AddString(cfg, "name", "x", nullptr);
  EXPECT_EQ(r.Take(), (Events{"added C name via name", "added R cfg.name via cfg",
                              "changed C name was (none)", "changed R cfg.name was (none)"}));

  // The same text twice fires once; a different one fires with the old.
  Dictionary_SetStringByKey(cfg, "name", "x");
  EXPECT_EQ(r.Take(), Events{});
  Dictionary_SetStringByKey(cfg, "name", "y");
  EXPECT_EQ(r.Take(), (Events{"changed C name was x", "changed R cfg.name was x"}));

  // A type change and clearing a value fire nothing.
  DictionaryItem *name = nullptr;
  Dictionary_FindKey(cfg, "name", nullptr, &name);
  Dictionary_SetItemType(cfg, name, kDictionaryTypeInt64);
  Dictionary_SetItemText(cfg, name, "", 0);
  EXPECT_EQ(r.Take(), Events{});

  // A rename is an addition with the old key.
  Dictionary_SetItemKey(cfg, name, "title");
  EXPECT_EQ(r.Take(), (Events{"added C title via title was name",
                              "added R cfg.title via cfg was name"}));

  // A keyless insert fires nothing itself; the list elements after it are
  // announced, as they are after a removal.
  Dictionary *l = nullptr;
  Dictionary_AddList(cfg, "l", &l, nullptr);
  Dictionary_AddNull(l, nullptr, nullptr);
  Dictionary_AddNull(l, nullptr, nullptr);
  EXPECT_EQ(r.Take(), (Events{"added C l via l", "added R cfg.l via cfg"}));
  DictionaryItem *inserted = nullptr;
  Dictionary_InsertItem(l, nullptr, nullptr, &inserted);
  EXPECT_EQ(r.Take(), (Events{"added C l[1] via l", "added R cfg.l[1] via cfg",
                              "added C l[2] via l", "added R cfg.l[2] via cfg"}));
  DictionaryItem *middle = nullptr;
  Dictionary_GetItemByIndex(l, 1, nullptr, &middle);
  Dictionary_RemoveItem(l, &middle);
  EXPECT_EQ(r.Take(), (Events{"removed C l[1]", "removed R cfg.l[1]", "added C l[1] via l",
                              "added R cfg.l[1] via cfg"}));

  // A Boolean's bit.
  Dictionary_SetBooleanByKey(cfg, "flag", 1);
  EXPECT_EQ(r.Take(), (Events{"added C flag via flag", "added R cfg.flag via cfg",
                              "changed C flag was false", "changed R cfg.flag was false"}));
  Dictionary_SetBooleanByKey(cfg, "flag", 1);
  EXPECT_EQ(r.Take(), Events{});

  // Removing a container fires for its items (last first) before itself.
  Dictionary_RemoveKey(cfg, "l");
  EXPECT_EQ(r.Take(), (Events{"removed C l[1]", "removed R cfg.l[1]", "removed C l[0]",
                              "removed R cfg.l[0]", "removed C l", "removed R cfg.l"}));

  // Only the containers that have a callback are called.
  Dictionary_SetItemAddedCallback(cfg, nullptr, nullptr);
  Dictionary_AddNull(cfg, "quiet", nullptr);
  EXPECT_EQ(r.Take(), (Events{"added R cfg.quiet via cfg"}));
  void *context = &r;
  DictionaryItemAddedCallback function = Recorder::Added;
  EXPECT_EQ(Dictionary_GetItemAddedCallback(cfg, &context, &function), 0);
  EXPECT_EQ(function, nullptr);
  EXPECT_EQ(Dictionary_GetItemAddedCallback(d, &context, &function), 1);
  EXPECT_EQ(context, &r);

  // Clearing everything (also as the root is released) fires removals.
  Dictionary_Clear(d);
  Events cleared = r.Take();
  ASSERT_FALSE(cleared.empty());
  EXPECT_EQ(cleared.back(), "removed R cfg");
}

TEST_F(DictionaryFixture, ListRenumberingNeedsTheRootToObserve) {
  Dictionary *l = nullptr;
  Dictionary_AddList(d, "l", &l, nullptr);
  Dictionary_AddNull(l, nullptr, nullptr);
  Recorder r;
  r.names[l] = "L";
  Dictionary_SetItemAddedCallback(l, &r, Recorder::Added);
  Dictionary_InsertItem(l, nullptr, nullptr, nullptr);
  EXPECT_EQ(r.Take(), Events{}) << "no item-added callback at the root";
  r.names[d] = "R";
  Dictionary_SetItemAddedCallback(d, &r, Recorder::Added);
  Dictionary_InsertItem(l, nullptr, nullptr, nullptr);
  EXPECT_EQ(r.Take(), (Events{"added L [1] via -", "added R l[1] via l", "added L [2] via -",
                              "added R l[2] via l"}));
}

}  // namespace

namespace {

// An observer may be installed and removed from another thread while the
// owner keeps changing the tree: each callback runs with a whole pair.
TEST(DictionaryCallbackThreaded, ObserverSetFromAnotherThread) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  Dictionary *child = nullptr;
  Dictionary_AddDictionary(d, "c", &child, nullptr);
  static std::atomic<int> calls{0};
  struct Context {
    int tag;
  };
  static Context contexts[2] = {{1}, {2}};
  auto changed = [](Dictionary *, DictionaryItem *, void *context, const char *, const char *,
                    int32_t) {
    int tag = static_cast<Context *>(context)->tag;
    if (tag != 1 && tag != 2) abort();
    calls.fetch_add(1, std::memory_order_relaxed);
  };
  std::atomic<bool> done{false};
  std::thread observer([&] {
    for (int i = 0; !done.load(std::memory_order_acquire) && i < 200000; i++) {
      Dictionary_SetValueChangedCallback(child, &contexts[i % 2], changed);
      if (i % 3 == 0) Dictionary_SetValueChangedCallback(child, nullptr, nullptr);
    }
  });
  for (int i = 0; i < 200000; i++) Dictionary_SetInt32ByKey(child, "n", i);
  done.store(true, std::memory_order_release);
  observer.join();
  Dictionary_Release(&d);
  EXPECT_GE(calls.load(), 0);
}

}  // namespace
