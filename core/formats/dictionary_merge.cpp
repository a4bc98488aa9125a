// Whole-tree operations of the Dictionary: merging, synchronising,
// unwrapping, the dump and RemoveKeysNotListed; see dictionary.h.
//
// Merging or synchronising a tree into itself, or into a container that lies
// inside the source, would walk a container while it grows (or recurse into
// what it just added). Those cases first take a copy of the source and work
// from the copy, which gives what an equal, separate tree would give.
#include <cstring>

#include "core/formats/dictionary.h"
#include "core/formats/dictionary_internal.h"
#include "core/runtime/print.h"

namespace {

constexpr const char *kDictionaryTypeNames[8] = {"Unknown", "Null",   "Boolean", "Int64",
                                                  "Float64", "String", "List",    "Dictionary"};

// d is container or lies below it.
bool dictionaryWithin(const Dictionary *d, const Dictionary *container) {
  for (; d != nullptr; d = d->parent)
    if (d == container) return true;
  return false;
}

// The key exactly as stored, never re-read through a '#' prefix.
void dictionaryCopyKey(Dictionary *to, DictionaryItem *copy, const DictionaryItem *item) {
  if (item->key != nullptr) Dictionary_SetItemKeyN(to, copy, item->key, item->keyLength);
}

// Appends copies of every item of from (type, hidden flag, key, value, child
// tree) to the empty container to.
void dictionaryCopyItems(Dictionary *to, Dictionary *from) {
  for (DictionaryItem *item = from->items.first; item != nullptr; item = item->next) {
    DictionaryItem *copy = dictionaryAddKey(to, nullptr);
    dictionaryCopyKey(to, copy, item);
    Dictionary_SetItemType(to, copy, dictionaryType(item));
    Dictionary_SetItemHidden(to, copy, (item->type & kDictionaryHiddenBit) != 0);
    const char *text = nullptr;
    int32_t length = 0;
    if (dictionaryItemText(item, &text, &length)) Dictionary_SetItemText(to, copy, text, length);
    if (Dictionary *child = dictionaryChild(item)) dictionaryCopyItems(copy->child, child);
  }
}

// A separate root holding a copy of source's items, with source's settings
// except the '#' prefix (keys are copied as stored).
Dictionary *dictionaryCopyOf(Dictionary *source) {
  Dictionary *copy = nullptr;
  Dictionary_Create(&copy);
  copy->caseSensitive = source->caseSensitive;
  copy->hashPrefix = 0;
  copy->allowDuplicates = 1;
  dictionaryCopyItems(copy, source);
  return copy;
}

int32_t dictionaryMergeItem(Dictionary *destination, DictionaryItem *sourceItem, int32_t flags);

int32_t dictionaryMergeFrom(Dictionary *destination, Dictionary *source, DictionaryItem *start,
                            int32_t flags) {
  for (DictionaryItem *item = start != nullptr ? start : source->items.first; item != nullptr;
       item = item->next)
    dictionaryMergeItem(destination, item, flags);
  return 1;
}

int32_t dictionaryMergeItem(Dictionary *destination, DictionaryItem *sourceItem, int32_t flags) {
  bool hidden = (sourceItem->type & kDictionaryHiddenBit) != 0;
  if (hidden && (flags & kDictionaryMergeSkipHidden)) return 1;
  int32_t type = dictionaryType(sourceItem);
  const char *text = nullptr;
  int32_t length = 0;
  bool hasText = dictionaryItemText(sourceItem, &text, &length);
  DictionaryItem *target = nullptr;
  if (sourceItem->key != nullptr) {
    char key[kDictionaryMaxKeyBytes + 1];
    memcpy(key, sourceItem->key, sourceItem->keyLength);
    key[sourceItem->keyLength] = '\0';
    target = dictionaryFindKey(destination, key, nullptr);
  }
  bool made = target == nullptr;
  if (made) {
    DictionaryItem *after = (flags & kDictionaryMergeInsertFront) ? nullptr : destination->items.last;
    Dictionary_InsertItem(destination, after, nullptr, &target);
    dictionaryCopyKey(destination, target, sourceItem);
  }
  if (made || (flags & kDictionaryMergeOverwrite)) {
    Dictionary_SetItemType(destination, target, type);
    Dictionary_SetItemHidden(destination, target, hidden);
    if (hasText) Dictionary_SetItemText(destination, target, text, length);
  }
  Dictionary *sourceChild = dictionaryChild(sourceItem);
  Dictionary *targetChild = dictionaryChild(target);
  if (sourceChild != nullptr && targetChild != nullptr) {
    if (!(flags & kDictionaryMergeKeepList) && dictionaryType(target) == kDictionaryTypeList)
      Dictionary_Clear(targetChild);
    dictionaryMergeFrom(targetChild, sourceChild, nullptr, flags);
  }
  return 1;
}

void dictionarySyncTree(Dictionary *destination, Dictionary *source, void *context,
                        DictionarySyncFilter filter);

int32_t dictionarySyncItems(Dictionary *destination, Dictionary *source, DictionaryItem *start,
                            void *context, DictionarySyncFilter filter) {
  int32_t index = 0;
  DictionaryItem *first = start != nullptr ? start : source->items.first;
  for (DictionaryItem *at = source->items.first; at != nullptr && at != first; at = at->next)
    index++;
  DictionaryItem *previous = nullptr;  // the destination item of the last synchronised one
  for (DictionaryItem *item = first; item != nullptr; item = item->next, index++) {
    if (filter != nullptr && filter(destination, context, source, item) != 1) continue;
    DictionaryItem *target = nullptr;
    if (item->key != nullptr) {
      target = dictionaryFindStoredKeyN(destination, item->key, item->keyLength);
    } else {
      target = previous != nullptr ? previous->next : dictionaryItemAt(destination, index);
    }
    if (target == nullptr) {
      target = dictionaryAddKey(destination, nullptr);
      dictionaryCopyKey(destination, target, item);
    }
    Dictionary_SetItemType(destination, target, dictionaryType(item));
    Dictionary_SetItemHidden(destination, target, (item->type & kDictionaryHiddenBit) != 0);
    const char *text = nullptr;
    int32_t length = 0;
    if (dictionaryItemText(item, &text, &length))
      Dictionary_SetItemText(destination, target, text, length);
    if (Dictionary *child = dictionaryChild(item))
      dictionarySyncTree(dictionaryChild(target), child, context, filter);
    previous = target;
  }
  return 1;
}

int32_t dictionarySyncRemove(Dictionary *destination, Dictionary *source) {
  int32_t index = destination->items.count - 1;
  DictionaryItem *previousMatch = nullptr;  // the match of the item visited last
  for (DictionaryItem *item = destination->items.last; item != nullptr; index--) {
    DictionaryItem *before = item->prev;
    DictionaryItem *match = nullptr;
    if (item->key != nullptr) {
      match = dictionaryFindStoredKeyN(source, item->key, item->keyLength);
    } else {
      match = previousMatch != nullptr ? previousMatch->prev : dictionaryItemAt(source, index);
    }
    if (match == nullptr) Dictionary_RemoveItem(destination, &item);
    previousMatch = match;
    item = before;
  }
  return 1;
}

void dictionarySyncTree(Dictionary *destination, Dictionary *source, void *context,
                        DictionarySyncFilter filter) {
  dictionarySyncItems(destination, source, nullptr, context, filter);
  dictionarySyncRemove(destination, source);
}

void dictionaryDump(Dictionary *d, int32_t indent) {
  for (DictionaryItem *item = d->items.first; item != nullptr; item = item->next) {
    if (d->hashPrefix && (item->type & kDictionaryHiddenBit)) continue;
    int32_t type = dictionaryType(item);
    if (Dictionary *child = dictionaryChild(item)) {
      void *context = nullptr;
      DictionaryLogHook hook = nullptr;
      Dictionary_GetLogHook(d, &context, &hook);
      Dictionary_SetLogHook(child, context, hook);
      Dictionary_LogIndent(d, indent, "%s (%s)", item->key, kDictionaryTypeNames[type]);
      dictionaryDump(child, indent + 1);
      continue;
    }
    const char *text = nullptr;
    int32_t length = 0;
    if (!dictionaryItemText(item, &text, &length)) {
      text = "";
      length = 0;
    }
    char format[48];
    Str_Printf(format, int(sizeof format), "%%s=%%.%ds (%%s)", length);
    Dictionary_LogIndent(d, indent, format, item->key, text, kDictionaryTypeNames[type]);
  }
}

}  // namespace

int32_t Dictionary_Merge(Dictionary *destination, Dictionary *source, int32_t flags) noexcept {
  return Dictionary_MergeFrom(destination, source, nullptr, flags);
}

int32_t Dictionary_MergeFrom(Dictionary *destination, Dictionary *source, DictionaryItem *start,
                             int32_t flags) noexcept {
  DICTIONARY_CHECK(destination);
  DICTIONARY_CHECK(source);
  if (start != nullptr) DICTIONARY_CHECK_ITEM(start);
  if (!dictionaryWithin(destination, source))
    return dictionaryMergeFrom(destination, source, start, flags);
  int32_t index = 0;
  if (start != nullptr)
    for (DictionaryItem *at = source->items.first; at != nullptr && at != start; at = at->next)
      index++;
  Dictionary *copy = dictionaryCopyOf(source);
  DictionaryItem *copyStart = start != nullptr ? dictionaryItemAt(copy, index) : nullptr;
  if (start == nullptr || copyStart != nullptr)
    dictionaryMergeFrom(destination, copy, copyStart, flags);
  Dictionary_Release(&copy);
  return 1;
}

int32_t Dictionary_MergeItem(Dictionary *destination, Dictionary *source,
                             DictionaryItem *sourceItem, int32_t flags) noexcept {
  DICTIONARY_CHECK(destination);
  DICTIONARY_CHECK(source);
  DICTIONARY_CHECK_ITEM(sourceItem);
  Dictionary *child = dictionaryChild(sourceItem);
  if (child == nullptr || !dictionaryWithin(destination, child))
    return dictionaryMergeItem(destination, sourceItem, flags);
  // The destination lies inside the item's own tree: merge a copy of it.
  Dictionary *copy = nullptr;
  Dictionary_Create(&copy);
  copy->hashPrefix = 0;
  DictionaryItem *item = dictionaryAddKey(copy, nullptr);
  dictionaryCopyKey(copy, item, sourceItem);
  Dictionary_SetItemType(copy, item, dictionaryType(sourceItem));
  Dictionary_SetItemHidden(copy, item, (sourceItem->type & kDictionaryHiddenBit) != 0);
  dictionaryCopyItems(item->child, child);
  dictionaryMergeItem(destination, item, flags);
  Dictionary_Release(&copy);
  return 1;
}

int32_t Dictionary_Sync(Dictionary *destination, Dictionary *source, void *context,
                        DictionarySyncFilter filter) noexcept {
  DICTIONARY_CHECK(destination);
  DICTIONARY_CHECK(source);
  if (!dictionaryWithin(destination, source)) {
    dictionarySyncTree(destination, source, context, filter);
    return 1;
  }
  Dictionary *copy = dictionaryCopyOf(source);
  dictionarySyncTree(destination, copy, context, filter);
  Dictionary_Release(&copy);
  return 1;
}

int32_t Dictionary_SyncItems(Dictionary *destination, Dictionary *source, DictionaryItem *start,
                             void *context, DictionarySyncFilter filter) noexcept {
  DICTIONARY_CHECK(destination);
  DICTIONARY_CHECK(source);
  if (start != nullptr) DICTIONARY_CHECK_ITEM(start);
  if (!dictionaryWithin(destination, source))
    return dictionarySyncItems(destination, source, start, context, filter);
  int32_t index = 0;
  if (start != nullptr)
    for (DictionaryItem *at = source->items.first; at != nullptr && at != start; at = at->next)
      index++;
  Dictionary *copy = dictionaryCopyOf(source);
  DictionaryItem *copyStart = start != nullptr ? dictionaryItemAt(copy, index) : nullptr;
  if (start == nullptr || copyStart != nullptr)
    dictionarySyncItems(destination, copy, copyStart, context, filter);
  Dictionary_Release(&copy);
  return 1;
}

int32_t Dictionary_SyncRemove(Dictionary *destination, Dictionary *source) noexcept {
  DICTIONARY_CHECK(destination);
  DICTIONARY_CHECK(source);
  return dictionarySyncRemove(destination, source);
}

int32_t Dictionary_Unwrap(Dictionary *d, Dictionary **result) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(result);
  *result = d;
  DictionaryItem *first = d->items.first;
  if (d->parent == nullptr && d->items.count == 1 && first->key == nullptr &&
      dictionaryType(first) == kDictionaryTypeDictionary)
    *result = first->child;
  return 1;
}

int32_t Dictionary_UnwrapContainer(Dictionary *d, Dictionary **result) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(result);
  *result = d;
  DictionaryItem *first = d->items.first;
  if (d->parent == nullptr && d->items.count == 1 && first->key == nullptr &&
      dictionaryIsContainerType(dictionaryType(first)))
    *result = first->child;
  return 1;
}

int32_t Dictionary_Dump(Dictionary *d, int32_t indent) noexcept {
  DICTIONARY_CHECK(d);
  dictionaryDump(d, indent);
  return 1;
}

int32_t Dictionary_Print(Dictionary *d) noexcept { return Dictionary_Dump(d, 0); }

int32_t Dictionary_RemoveKeysNotListed(Dictionary *d, Dictionary *names) noexcept {
  DICTIONARY_CHECK(d);
  DICTIONARY_CHECK(names);
  for (DictionaryItem *item = d->items.last; item != nullptr;) {
    DictionaryItem *before = item->prev;
    DictionaryItem *found = nullptr;
    if (item->key != nullptr &&
        !Dictionary_FindValue(names, item->key, item->keyLength, nullptr, &found))
      Dictionary_RemoveItem(d, &item);
    item = before;
  }
  return 1;
}
