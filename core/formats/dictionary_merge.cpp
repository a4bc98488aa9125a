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

// The next item of a depth-first walk below top that has just finished item
// (its children, if it was entered, included): the item's next sibling, or
// the next sibling of the nearest ancestor that has one. *at (the container
// of item) and *mirror (the container the walk writes to, which has the same
// shape) move up with it. NULL when the walk is back at the end of top.
// Trees built through the API may be far deeper than the stack allows, so the
// whole-tree operations walk this way instead of recursing.
DictionaryItem *dictionaryWalkNext(Dictionary *top, Dictionary **at, Dictionary **mirror,
                                   DictionaryItem *item) {
  while (item->next == nullptr) {
    if (*at == top) return nullptr;
    item = (*at)->parentItem;
    *at = (*at)->parent;
    *mirror = (*mirror)->parent;
  }
  return item->next;
}

// Appends copies of every item of from (type, hidden flag, key, value, child
// tree) to the empty container to.
void dictionaryCopyItems(Dictionary *to, Dictionary *from) {
  Dictionary *at = from;
  DictionaryItem *item = from->items.first;
  while (item != nullptr) {
    DictionaryItem *copy = dictionaryAddKey(to, nullptr);
    dictionaryCopyKey(to, copy, item);
    Dictionary_SetItemType(to, copy, dictionaryType(item));
    Dictionary_SetItemHidden(to, copy, (item->type & kDictionaryHiddenBit) != 0);
    const char *text = nullptr;
    int32_t length = 0;
    if (dictionaryItemText(item, &text, &length)) Dictionary_SetItemText(to, copy, text, length);
    Dictionary *child = dictionaryChild(item);
    if (child != nullptr && child->items.first != nullptr) {
      at = child;
      to = copy->child;
      item = child->items.first;
      continue;
    }
    item = dictionaryWalkNext(from, &at, &to, item);
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

// Merges one source item into destination, without its children. Answers
// the destination child that the source item's child merges into, or NULL
// when there is nothing to merge below it (a destination List is emptied
// first unless the flags keep it).
Dictionary *dictionaryMergeOne(Dictionary *destination, DictionaryItem *sourceItem,
                               int32_t flags) {
  bool hidden = (sourceItem->type & kDictionaryHiddenBit) != 0;
  if (hidden && (flags & kDictionaryMergeSkipHidden)) return nullptr;
  int32_t type = dictionaryType(sourceItem);
  const char *text = nullptr;
  int32_t length = 0;
  bool hasText = dictionaryItemText(sourceItem, &text, &length);
  DictionaryItem *target = nullptr;
  if (sourceItem->key != nullptr)
    target = dictionaryFindKeyN(destination, sourceItem->key, sourceItem->keyLength, nullptr);
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
  if (sourceChild == nullptr || targetChild == nullptr) return nullptr;
  if (!(flags & kDictionaryMergeKeepList) && dictionaryType(target) == kDictionaryTypeList)
    Dictionary_Clear(targetChild);
  return targetChild;
}

// Merges the items of source from start to its last, and each one's subtree
// below it, into destination: depth first, without recursion.
int32_t dictionaryMergeFrom(Dictionary *destination, Dictionary *source, DictionaryItem *start,
                            int32_t flags) {
  Dictionary *at = source;
  Dictionary *into = destination;
  DictionaryItem *item = start != nullptr ? start : source->items.first;
  while (item != nullptr) {
    Dictionary *targetChild = dictionaryMergeOne(into, item, flags);
    Dictionary *sourceChild = dictionaryChild(item);
    if (targetChild != nullptr && sourceChild->items.first != nullptr) {
      at = sourceChild;
      into = targetChild;
      item = sourceChild->items.first;
      continue;
    }
    item = dictionaryWalkNext(source, &at, &into, item);
  }
  return 1;
}

int32_t dictionaryMergeItem(Dictionary *destination, DictionaryItem *sourceItem, int32_t flags) {
  Dictionary *targetChild = dictionaryMergeOne(destination, sourceItem, flags);
  if (targetChild != nullptr) dictionaryMergeFrom(targetChild, sourceItem->child, nullptr, flags);
  return 1;
}

// The destination item that a source item synchronises into: by key, or for
// a keyless one the item after the previous destination item (the first: the
// item at the source item's index); a missing one is appended. It then takes
// the source item's type, hidden flag and value text.
DictionaryItem *dictionarySyncOne(Dictionary *destination, DictionaryItem *item,
                                  DictionaryItem *previous, int32_t index) {
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
  return target;
}

int32_t dictionarySyncRemove(Dictionary *destination, Dictionary *source);

// Synchronises the items of source from start on into destination, and below
// each item its whole child tree (items, then removals), depth first without
// recursion; removeTop also runs the removals of the top level.
int32_t dictionarySyncWalk(Dictionary *destination, Dictionary *source, DictionaryItem *start,
                           void *context, DictionarySyncFilter filter, bool removeTop) {
  int32_t index = 0;  // of item in its container, for the first keyless one
  DictionaryItem *item = start != nullptr ? start : source->items.first;
  for (DictionaryItem *at = source->items.first; at != nullptr && at != item; at = at->next)
    index++;
  DictionaryItem *previous = nullptr;  // the destination item of the last synchronised one
  Dictionary *at = source;
  Dictionary *into = destination;
  for (;;) {
    if (item == nullptr) {
      if (at != source || removeTop) dictionarySyncRemove(into, at);
      if (at == source) return 1;
      // Back up: the holding items are the last synchronised pair there.
      previous = into->parentItem;
      item = at->parentItem->next;
      at = at->parent;
      into = into->parent;
      continue;
    }
    if (filter == nullptr || filter(into, context, at, item) == 1) {
      previous = dictionarySyncOne(into, item, previous, index);
      if (Dictionary *child = dictionaryChild(item)) {
        at = child;
        into = dictionaryChild(previous);
        item = child->items.first;
        previous = nullptr;
        index = 0;
        continue;
      }
    }
    item = item->next;
    index++;
  }
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

// Depth first by the parent links, like the merge: a dump of a deep tree
// must not exhaust the stack.
void dictionaryDump(Dictionary *top, int32_t indent) {
  Dictionary *d = top;
  DictionaryItem *item = top->items.first;
  while (item != nullptr) {
    if (!(d->hashPrefix && (item->type & kDictionaryHiddenBit))) {
      int32_t type = dictionaryType(item);
      if (Dictionary *child = dictionaryChild(item)) {
        void *context = nullptr;
        DictionaryLogHook hook = nullptr;
        Dictionary_GetLogHook(d, &context, &hook);
        Dictionary_SetLogHook(child, context, hook);
        Dictionary_LogIndent(d, indent, "%s (%s)", item->key, kDictionaryTypeNames[type]);
        if (child->items.first != nullptr) {
          d = child;
          item = child->items.first;
          indent++;
          continue;
        }
      } else {
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
    while (item->next == nullptr && d != top) {
      item = d->parentItem;
      d = d->parent;
      indent--;
    }
    item = item->next;
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
  if (!dictionaryWithin(destination, source))
    return dictionarySyncWalk(destination, source, nullptr, context, filter, true);
  Dictionary *copy = dictionaryCopyOf(source);
  dictionarySyncWalk(destination, copy, nullptr, context, filter, true);
  Dictionary_Release(&copy);
  return 1;
}

int32_t Dictionary_SyncItems(Dictionary *destination, Dictionary *source, DictionaryItem *start,
                             void *context, DictionarySyncFilter filter) noexcept {
  DICTIONARY_CHECK(destination);
  DICTIONARY_CHECK(source);
  if (start != nullptr) DICTIONARY_CHECK_ITEM(start);
  if (!dictionaryWithin(destination, source))
    return dictionarySyncWalk(destination, source, start, context, filter, false);
  int32_t index = 0;
  if (start != nullptr)
    for (DictionaryItem *at = source->items.first; at != nullptr && at != start; at = at->next)
      index++;
  Dictionary *copy = dictionaryCopyOf(source);
  DictionaryItem *copyStart = start != nullptr ? dictionaryItemAt(copy, index) : nullptr;
  if (start == nullptr || copyStart != nullptr)
    dictionarySyncWalk(destination, copy, copyStart, context, filter, false);
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
