// Dictionary: the program's one value tree. A container is an ordered list of
// items; an item has an optional key, a type and a value; a List or Dictionary
// item owns a child container. Scalars are stored as text and converted when
// read. Plug-in libraries use the same trees through DictionaryInterface
// (core/formats/dictionary_interface.h), the constant table that every container
// carries after its object header.
//
// Invariants: (1) items, child containers and (with the string-pool flag)
// texts come from the three pools of the tree, which the root creates on
// demand and every child container shares; a text remembers which allocator
// it came from, so switching the flag never frees into the wrong one. (2) a
// child container lives exactly as long as the item that holds it; callers
// release only the root. (3) a key is stored whole, whatever its length, so
// distinct keys stay distinct. (4) a container's count, first and last match
// its doubly linked item order. (5) an operation that answers 0 changed
// nothing and left its out-values cleared (NULL, 0, empty buffer). (6) a
// container's key index, when it has one, holds every distinct key of its
// items (by its case flag) with the first item of that key and the number of
// items that carry it; keyed lookups then cost the same in a container of
// twenty items as in one of a million.
//
// Results: 1 for success, 0 for a missing key or path, an index out of range,
// a wrong type on read, a path or text that does not fit. A NULL container,
// item, out-pointer or format, or a record with the wrong class tag, stops the
// program with "Pointer is NULL\n" or the class-mismatch message. Out-pointers
// for an item or child that an add or set hands back as a by-product may be
// NULL; the out-values of readers may not.
//
// Threads: one thread at a time per tree; the caller serialises (trees travel
// between threads by hand-over). The callback and log-hook cells are swapped
// atomically, so an observer may be set or cleared from another thread.
// Callbacks run on the thread that changes the tree and must not change it.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/callback.h"
#include "core/formats/dictionary_interface.h"

constexpr uint32_t kDictionaryTag = 0xc1d1faa9;
constexpr uint32_t kDictionaryItemTag = 0x4139ca17;
// A container of more items than this builds a key index on its first keyed
// lookup; below it a walk of the items is as quick.
constexpr int32_t kDictionaryIndexMinItems = 16;
// By-path setters and the path splitters work on paths of at most this many
// bytes, terminator included; a longer path fails.
constexpr int32_t kDictionaryPathBytes = 320;
// The path handed to change callbacks.
constexpr int32_t kDictionaryCallbackPathBytes = 4096;
constexpr int32_t kDictionaryDefaultPoolGrowth = 8;

// Type byte: bits 0-2 the type code, bit 6 hidden, bit 7 the Boolean value.
constexpr uint8_t kDictionaryTypeMask = 0x07;
constexpr uint8_t kDictionaryHiddenBit = 0x40;
constexpr uint8_t kDictionaryBooleanBit = 0x80;

// One pool member per item (48 bytes).
struct DictionaryItem {
  uint32_t classTag;    // kDictionaryItemTag
  uint8_t type;         // see the type-byte constants
  uint8_t textOrigin;   // which allocator key and value came from (dictionary.cpp)
  uint16_t reserved;
  int32_t keyLength;    // bytes of key, terminator not counted
  int32_t valueLength;  // bytes of value, terminator not counted
  char *key;            // NULL for a keyless item
  union {
    char *value;        // scalars: NULL when nothing is stored
    Dictionary *child;  // List and Dictionary items: the owned child container
  };
  DictionaryItem *next;
  DictionaryItem *prev;
};

// The order of a container's items. Carries the item tag, as items do.
struct DictionaryItemList {
  uint32_t classTag;
  int32_t count;
  DictionaryItem *first;
  DictionaryItem *last;
};

// Callback and log-hook cells and the log name, made on first use so that the
// containers of a parsed document carry none.
struct DictionaryKeyIndex;  // dictionary_index.cpp

struct DictionarySide {
  CallbackCell itemRemoved;
  CallbackCell itemAdded;
  CallbackCell valueChanged;
  CallbackCell logHook;
  const char *logName;  // owned by the root (interned); NULL: none
  // Owned; made on the first keyed lookup in a container of more than
  // kDictionaryIndexMinItems items, kept by every change of a key, dropped
  // when the container shrinks below that count. Owner thread only.
  DictionaryKeyIndex *keyIndex;
};

// A root comes from tracked memory, a child container from the tree's
// container pool (128 bytes). The first two fields are the object header
// prefix that plug-ins see (DictionaryObjectHeader).
struct Dictionary {
  ObjectHeader header;  // a child copies its root's instance id; no count, no destroy
  const DictionaryInterface *table;
  uint8_t caseSensitive;    // 1: keys compare byte for byte
  uint8_t hashPrefix;       // 1: a leading '#' hides on store, is skipped on lookup
  uint8_t allowDuplicates;  // 1: adding a key always appends
  uint8_t stringPool;       // 1: texts from the tree's string pool
  int32_t poolGrowth;       // members per pool chunk, read when the root makes its pools
  Dictionary *root;         // the tree's root (itself for a root); it holds the pools
  Dictionary *parent;       // NULL for a root
  DictionaryItem *parentItem;
  DictionaryItemList items;
  std::atomic<DictionarySide *> side;  // NULL until a callback, hook or log name is set
};

// The single operation table, the same in every container.
extern const DictionaryInterface kDictionaryInterface;

// ---- Life ------------------------------------------------------------------

// A new empty root: reference count 1, case-sensitive, hash-prefix and
// duplicates on, string pool off, pool growth 8. Returns 1.
int32_t Dictionary_Create(Dictionary **dictionary) noexcept;
// Adds a reference atomically. Returns 1.
int32_t Dictionary_AddRef(Dictionary *dictionary) noexcept;
// The class release: drops a reference, destroys the root at 0 (every item
// removed, last first, then the pools and the record go), clears *dictionary.
// Returns the count after the drop.
int32_t Dictionary_Release(Dictionary **dictionary) noexcept;

// ---- Adding ----------------------------------------------------------------
// Appends an item of type Unknown with the key (NULL: a list element). With
// allow-duplicates 0 and a key that exists, that item is answered and nothing
// is added. The typed adds then set the type and store the value.
int32_t Dictionary_AddKey(Dictionary *d, const char *key, DictionaryItem **item) noexcept;
int32_t Dictionary_AddItem(Dictionary *d, const char *key, DictionaryItem **item) noexcept;
// Links the new item after `after`, or at the front when it is NULL.
int32_t Dictionary_InsertItem(Dictionary *d, DictionaryItem *after, const char *key,
                              DictionaryItem **item) noexcept;
int32_t Dictionary_AddNull(Dictionary *d, const char *key, DictionaryItem **item) noexcept;
// text must not be NULL.
int32_t Dictionary_AddString(Dictionary *d, const char *key, const char *text,
                             DictionaryItem **item) noexcept;
int32_t Dictionary_AddInt32(Dictionary *d, const char *key, int32_t value,
                            DictionaryItem **item) noexcept;
int32_t Dictionary_AddInt64(Dictionary *d, const char *key, int64_t value,
                            DictionaryItem **item) noexcept;
int32_t Dictionary_AddFloat64(Dictionary *d, const char *key, double value,
                              DictionaryItem **item) noexcept;
// Value 1 is true, any other value false.
int32_t Dictionary_AddBoolean(Dictionary *d, const char *key, int32_t value,
                              DictionaryItem **item) noexcept;
int32_t Dictionary_AddList(Dictionary *d, const char *key, Dictionary **child,
                           DictionaryItem **item) noexcept;
int32_t Dictionary_AddDictionary(Dictionary *d, const char *key, Dictionary **child,
                                 DictionaryItem **item) noexcept;
// Inserts the key before the first item for which before(d, item, key,
// context) answers nonzero, else appends.
typedef int32_t (*DictionaryOrderTest)(Dictionary *d, DictionaryItem *item, const char *key,
                                       void *context);
int32_t Dictionary_AddKeyOrdered(Dictionary *d, const char *key, DictionaryItem **item,
                                 void *context, DictionaryOrderTest before) noexcept;
// Appends each key of d as a keyless String element of target. Returns 1.
int32_t Dictionary_AddKeysAsStrings(Dictionary *d, Dictionary *target) noexcept;

// ---- Finding and testing ---------------------------------------------------
// From start (or the first item) forward: the first item whose key equals key
// (a leading '#' skipped with the hash-prefix flag; compared by the case
// flag). A key "[n]" also selects the item n places from the
// start (n >= 0, decimal digits); a literal match that comes earlier wins.
int32_t Dictionary_FindKey(Dictionary *d, const char *key, DictionaryItem *start,
                           DictionaryItem **item) noexcept;
// The first item from start whose value text (as Dictionary_GetItemText gives
// it) is exactly those length bytes.
int32_t Dictionary_FindValue(Dictionary *d, const char *text, int32_t length,
                             DictionaryItem *start, DictionaryItem **item) noexcept;
int32_t Dictionary_HasKey(Dictionary *d, const char *key) noexcept;
int32_t Dictionary_HasValue(Dictionary *d, const char *text) noexcept;
int32_t Dictionary_FindOrAddKey(Dictionary *d, const char *key, DictionaryItem **item) noexcept;
// The item a path names below d, and the container that holds it. Components
// are separated by '.' or '\'; "[n]" (n < 0 counts from the end), "[key=value]",
// "[next]" and "[last-child]" are bracket forms; a key that more path follows
// is tried on every item with that key, in order, until the rest resolves.
int32_t Dictionary_ResolvePath(Dictionary *d, const char *path, Dictionary **owner,
                               DictionaryItem **item) noexcept;
int32_t Dictionary_HasPath(Dictionary *d, const char *path) noexcept;

// ---- By index --------------------------------------------------------------
// From start (or the first item) index steps forward; a negative index counts
// back from the item before start (or from the last): -1 is that item.
int32_t Dictionary_GetItemByIndex(Dictionary *d, int32_t index, DictionaryItem *start,
                                  DictionaryItem **item) noexcept;
// Appends keyless Unknown items until d has more than index items, then
// answers the item at index (a negative index adds nothing, counts from the
// end).
int32_t Dictionary_GetOrAddIndex(Dictionary *d, int32_t index, DictionaryItem **item) noexcept;
int32_t Dictionary_SetListByIndex(Dictionary *d, int32_t index, DictionaryItem **item,
                                  Dictionary **child) noexcept;
int32_t Dictionary_SetDictionaryByIndex(Dictionary *d, int32_t index, DictionaryItem **item,
                                        Dictionary **child) noexcept;
int32_t Dictionary_GetListByIndex(Dictionary *d, int32_t index, Dictionary **child) noexcept;
int32_t Dictionary_GetDictionaryByIndex(Dictionary *d, int32_t index,
                                        Dictionary **child) noexcept;

// ---- Set by key: find or append the key, set the type, store the value -----
int32_t Dictionary_SetStringByKey(Dictionary *d, const char *key, const char *text) noexcept;
int32_t Dictionary_SetStringFormatByKey(Dictionary *d, const char *key, const char *format,
                                        ...) noexcept;
int32_t Dictionary_SetStringFormatVByKey(Dictionary *d, const char *key, const char *format,
                                         va_list args) noexcept;
// Both integer setters store an Int64 item.
int32_t Dictionary_SetInt32ByKey(Dictionary *d, const char *key, int32_t value) noexcept;
int32_t Dictionary_SetInt64ByKey(Dictionary *d, const char *key, int64_t value) noexcept;
int32_t Dictionary_SetFloat64ByKey(Dictionary *d, const char *key, double value) noexcept;
int32_t Dictionary_SetBooleanByKey(Dictionary *d, const char *key, int32_t value) noexcept;
int32_t Dictionary_SetListByKey(Dictionary *d, const char *key, DictionaryItem **item,
                                Dictionary **child) noexcept;
int32_t Dictionary_SetDictionaryByKey(Dictionary *d, const char *key, DictionaryItem **item,
                                      Dictionary **child) noexcept;

// ---- Get by key (conversions as the item readers below) --------------------
int32_t Dictionary_GetTypeByKey(Dictionary *d, const char *key, DictionaryType *type) noexcept;
int32_t Dictionary_GetStringByKey(Dictionary *d, const char *key, char *buffer,
                                  int32_t size) noexcept;
int32_t Dictionary_GetStringPointerByKey(Dictionary *d, const char *key,
                                         const char **text) noexcept;
int32_t Dictionary_GetTextByKey(Dictionary *d, const char *key, const char **text,
                                int32_t *length) noexcept;
int32_t Dictionary_GetInt32ByKey(Dictionary *d, const char *key, int32_t *value) noexcept;
int32_t Dictionary_GetInt64ByKey(Dictionary *d, const char *key, int64_t *value) noexcept;
int32_t Dictionary_GetFloat64ByKey(Dictionary *d, const char *key, double *value) noexcept;
int32_t Dictionary_GetBooleanByKey(Dictionary *d, const char *key, int32_t *value) noexcept;
int32_t Dictionary_GetListByKey(Dictionary *d, const char *key, Dictionary **child) noexcept;
int32_t Dictionary_GetDictionaryByKey(Dictionary *d, const char *key,
                                      Dictionary **child) noexcept;
// A String value is copied; a List value has its String elements appended one
// after another. 0 (empty buffer) when the key holds neither.
int32_t Dictionary_GetStringJoinedByKey(Dictionary *d, const char *key, char *buffer,
                                        int32_t size) noexcept;

// ---- By path ---------------------------------------------------------------
// The setters split the path at its last '.', make the parent with
// Dictionary_CreatePath and set the last component by key there. A path of
// kDictionaryPathBytes or more, or a parent that runs through a scalar, fails
// and changes nothing.
int32_t Dictionary_SetStringByPath(Dictionary *d, const char *path, const char *text) noexcept;
int32_t Dictionary_SetInt32ByPath(Dictionary *d, const char *path, int32_t value) noexcept;
int32_t Dictionary_SetInt64ByPath(Dictionary *d, const char *path, int64_t value) noexcept;
int32_t Dictionary_SetFloat64ByPath(Dictionary *d, const char *path, double value) noexcept;
int32_t Dictionary_SetBooleanByPath(Dictionary *d, const char *path, int32_t value) noexcept;
int32_t Dictionary_GetStringByPath(Dictionary *d, const char *path, char *buffer,
                                   int32_t size) noexcept;
int32_t Dictionary_GetStringPointerByPath(Dictionary *d, const char *path,
                                          const char **text) noexcept;
int32_t Dictionary_GetTextByPath(Dictionary *d, const char *path, const char **text,
                                 int32_t *length) noexcept;
int32_t Dictionary_GetInt32ByPath(Dictionary *d, const char *path, int32_t *value) noexcept;
int32_t Dictionary_GetInt64ByPath(Dictionary *d, const char *path, int64_t *value) noexcept;
int32_t Dictionary_GetFloat64ByPath(Dictionary *d, const char *path, double *value) noexcept;
int32_t Dictionary_GetBooleanByPath(Dictionary *d, const char *path, int32_t *value) noexcept;
// The child container of the item found, of either container type.
int32_t Dictionary_GetContainerByPath(Dictionary *d, const char *path,
                                      Dictionary **child) noexcept;
// Walks a path split at '.' only (blanks after a '.' and at a component's end
// dropped; components of at most 319 bytes): each component is resolved in
// the current container, whose found item must hold a container; a missing
// one, or one ending in '~' (the '~' dropped), is added as a Dictionary item.
// An empty path answers d. Fails, changing nothing, on a scalar or a
// component that is too long.
int32_t Dictionary_CreatePath(Dictionary *d, const char *path, Dictionary **child) noexcept;
// Writes the item's path as seen from root (NULL: the tree's root): keys, or
// "[n]" for keyless items, joined by '.', with no '.' before a '['. Answers 0
// with an empty buffer when root is not an ancestor or the path does not fit.
int32_t Dictionary_GetItemPath(Dictionary *d, DictionaryItem *item, Dictionary *root,
                               char *buffer, int32_t size) noexcept;
// Split a path at its last '.', '[' or '\': the leaf is the text after it (a
// '[' stays with the leaf), the parent the text before it. Each answers 1 when
// its part is not empty and fits size (at most kDictionaryPathBytes), else 0
// with an empty buffer.
int32_t Dictionary_GetPathLeaf(const char *path, char *buffer, int32_t size) noexcept;
int32_t Dictionary_GetPathParent(const char *path, char *buffer, int32_t size) noexcept;

// ---- Removing --------------------------------------------------------------
// Removes the item (its descendants first, last to first) and clears *item.
int32_t Dictionary_RemoveItem(Dictionary *d, DictionaryItem **item) noexcept;
int32_t Dictionary_RemoveKey(Dictionary *d, const char *key) noexcept;
int32_t Dictionary_RemoveValue(Dictionary *d, const char *text) noexcept;
// Removes every item, last to first; a root then gives its pools' chunks back.
int32_t Dictionary_Clear(Dictionary *d) noexcept;

// ---- Item access -----------------------------------------------------------
// item must be an item of d.
int32_t Dictionary_GetItemType(Dictionary *d, DictionaryItem *item,
                               DictionaryType *type) noexcept;
int32_t Dictionary_IsItemType(Dictionary *d, DictionaryItem *item, DictionaryType type) noexcept;
int32_t Dictionary_IsItemNull(Dictionary *d, DictionaryItem *item) noexcept;
int32_t Dictionary_IsItemContainer(Dictionary *d, DictionaryItem *item) noexcept;
// The same type changes nothing. Otherwise the stored text and any child
// container (its items removed) go, the hidden and Boolean bits stay, and a
// List or Dictionary gets a new empty child. 0 for a code outside 0-7.
int32_t Dictionary_SetItemType(Dictionary *d, DictionaryItem *item, DictionaryType type) noexcept;
int32_t Dictionary_GetItemKey(Dictionary *d, DictionaryItem *item, const char **key) noexcept;
int32_t Dictionary_CopyItemKey(Dictionary *d, DictionaryItem *item, char *buffer,
                               int32_t size) noexcept;
// Stores the key (see FindKey for the '#'; kept whole at any length; NULL makes the
// item keyless and fires nothing); fires item-added with the old key.
int32_t Dictionary_SetItemKey(Dictionary *d, DictionaryItem *item, const char *key) noexcept;
int32_t Dictionary_SetItemKeyN(Dictionary *d, DictionaryItem *item, const char *key,
                               int32_t length) noexcept;
// The number of items before it.
int32_t Dictionary_GetItemIndex(Dictionary *d, DictionaryItem *item, int32_t *index) noexcept;
int32_t Dictionary_GetItemContainer(Dictionary *d, DictionaryItem *item,
                                    Dictionary **child) noexcept;
int32_t Dictionary_SetItemHidden(Dictionary *d, DictionaryItem *item, int32_t hidden) noexcept;
int32_t Dictionary_IsItemHidden(Dictionary *d, DictionaryItem *item) noexcept;

// ---- Item values -----------------------------------------------------------
// Same positive length and bytes as stored: nothing happens. Otherwise a Null
// item stores nothing, a Boolean item takes true when the text starts with 't'
// or 'T', List and Dictionary items store nothing, any other type stores a
// copy (length bytes, zeros for a NULL text; nothing for length <= 0). An
// Int64, Float64 or String item that stores text fires value-changed.
int32_t Dictionary_SetItemText(Dictionary *d, DictionaryItem *item, const char *text,
                               int32_t length) noexcept;
// "null", "true"/"false" or the stored text ("" when none) for Null, Boolean,
// Int64, Float64 and String; 0 for Unknown, List and Dictionary.
int32_t Dictionary_GetItemText(Dictionary *d, DictionaryItem *item, const char **text,
                               int32_t *length) noexcept;
// The item setters keep the type and do nothing on a Null item.
int32_t Dictionary_SetItemString(Dictionary *d, DictionaryItem *item, const char *text) noexcept;
int32_t Dictionary_SetItemStringFormat(Dictionary *d, DictionaryItem *item, const char *format,
                                       ...) noexcept;
int32_t Dictionary_SetItemStringFormatV(Dictionary *d, DictionaryItem *item, const char *format,
                                        va_list args) noexcept;
int32_t Dictionary_SetItemInt32(Dictionary *d, DictionaryItem *item, int32_t value) noexcept;
int32_t Dictionary_SetItemInt64(Dictionary *d, DictionaryItem *item, int64_t value) noexcept;
// Stores the shortest text that reads back as the same double; "NaN", "Inf"
// and "-Inf" for the values that are not finite.
int32_t Dictionary_SetItemFloat64(Dictionary *d, DictionaryItem *item, double value) noexcept;
// Sets the Boolean bit (1: true, else false) on any type; fires value-changed
// when it changes.
int32_t Dictionary_SetItemBoolean(Dictionary *d, DictionaryItem *item, int32_t value) noexcept;
// String only; a bounded, terminated copy.
int32_t Dictionary_GetItemString(Dictionary *d, DictionaryItem *item, char *buffer,
                                 int32_t size) noexcept;
int32_t Dictionary_GetItemStringPointer(Dictionary *d, DictionaryItem *item,
                                        const char **text) noexcept;
// Int64 and Float64 items. Text without '.', 'e' or 'E', or in "0x" form,
// reads as an integer (exact over the whole 64-bit range); other text reads as
// a double cut toward zero and saturated ("NaN" gives 0). Int32 takes the low
// 32 bits.
int32_t Dictionary_GetItemInt32(Dictionary *d, DictionaryItem *item, int32_t *value) noexcept;
int32_t Dictionary_GetItemInt64(Dictionary *d, DictionaryItem *item, int64_t *value) noexcept;
// Float64 and Int64 items; "NaN", "Inf" and "-Inf" read back.
int32_t Dictionary_GetItemFloat64(Dictionary *d, DictionaryItem *item, double *value) noexcept;
// Boolean items only.
int32_t Dictionary_GetItemBoolean(Dictionary *d, DictionaryItem *item, int32_t *value) noexcept;

// ---- Walking ---------------------------------------------------------------
int32_t Dictionary_GetFirstItem(Dictionary *d, DictionaryItem **item) noexcept;
int32_t Dictionary_GetLastItem(Dictionary *d, DictionaryItem **item) noexcept;
int32_t Dictionary_GetNextItem(Dictionary *d, DictionaryItem *item,
                               DictionaryItem **next) noexcept;
int32_t Dictionary_GetPrevItem(Dictionary *d, DictionaryItem *item,
                               DictionaryItem **prev) noexcept;
int32_t Dictionary_GetCount(Dictionary *d, int32_t *count) noexcept;
// 1 only when d has both a parent container and a parent item.
int32_t Dictionary_GetParent(Dictionary *d, Dictionary **parent,
                             DictionaryItem **parentItem) noexcept;

// ---- Visiting --------------------------------------------------------------
typedef int32_t (*DictionaryStringVisitor)(void *context, const char *text);
typedef int32_t (*DictionaryKeyStringVisitor)(void *context, const char *key, const char *text);
typedef int32_t (*DictionaryNumberVisitor)(void *context, int32_t value);
// Each visitor answers 0 to stop; each function answers 1 when it visited at
// least one value.
// Every String item of d, in order.
int32_t Dictionary_ForEachString(Dictionary *d, void *context,
                                 DictionaryStringVisitor visit) noexcept;
// The String value of key, or each String element of its List value.
int32_t Dictionary_ForEachStringByKey(Dictionary *d, const char *key, void *context,
                                      DictionaryStringVisitor visit) noexcept;
// Every keyed String item of d: (key, text).
int32_t Dictionary_ForEachKeyString(Dictionary *d, void *context,
                                    DictionaryKeyStringVisitor visit) noexcept;
// The Int64 or Float64 value of key, or each such element of its List value,
// read as by Dictionary_GetInt32ByKey.
int32_t Dictionary_ForEachNumberByKey(Dictionary *d, const char *key, void *context,
                                      DictionaryNumberVisitor visit) noexcept;

// ---- Key/value text --------------------------------------------------------
// Cuts length bytes of text at itemSeparator (runs count as one) and appends
// each part as a String item: keyless without a key separator (0); else the
// text before the first keySeparator is the key (blanks before it skipped,
// key separators after it skipped) and a part without one is a key with an
// empty value. Returns 1.
int32_t Dictionary_ParseKeyValueText(Dictionary *d, const char *text, int32_t length,
                                     char keySeparator, char itemSeparator) noexcept;
// Writes each item followed by itemSeparator: a String as key, keySeparator,
// value (or the value alone without key or key separator), a keyed Boolean as
// its bare key, other types as nothing; a keyless Boolean adds not even the
// separator. Returns 0 when the text was cut to fit size.
int32_t Dictionary_FormatKeyValueText(Dictionary *d, char *buffer, int32_t size,
                                      char keySeparator, char itemSeparator) noexcept;

// ---- Settings (each writes this container only; children copy at birth) ----
int32_t Dictionary_SetCaseSensitive(Dictionary *d, int32_t value) noexcept;
int32_t Dictionary_GetCaseSensitive(Dictionary *d) noexcept;
int32_t Dictionary_SetHashPrefix(Dictionary *d, int32_t value) noexcept;
int32_t Dictionary_GetHashPrefix(Dictionary *d) noexcept;
int32_t Dictionary_SetAllowDuplicates(Dictionary *d, int32_t value) noexcept;
int32_t Dictionary_GetAllowDuplicates(Dictionary *d) noexcept;
int32_t Dictionary_SetStringPool(Dictionary *d, int32_t value) noexcept;
int32_t Dictionary_GetStringPool(Dictionary *d) noexcept;
// Members per chunk of the item and container pools; set before the first item.
int32_t Dictionary_SetPoolGrowth(Dictionary *d, int32_t membersPerChunk) noexcept;

// ---- Whole trees (dictionary_merge.cpp) ------------------------------------
// Merges every item of source from start (NULL: the first) into destination
// with Dictionary_MergeItem under the kDictionaryMerge* flags. Returns 1.
int32_t Dictionary_Merge(Dictionary *destination, Dictionary *source, int32_t flags) noexcept;
int32_t Dictionary_MergeFrom(Dictionary *destination, Dictionary *source, DictionaryItem *start,
                             int32_t flags) noexcept;
// A keyed item meets the first item of that key (FindKey), a keyless one is
// always added (at the front with the insert-front flag, each before the
// previous). A new item, or any item with the overwrite flag, takes the
// source's type, hidden flag and value text; then a source child merges into
// the destination child, a destination List emptied first unless the
// keep-list flag is set. A destination that is the source or lies inside it
// is merged from a copy taken first. Returns 1.
int32_t Dictionary_MergeItem(Dictionary *destination, Dictionary *source,
                             DictionaryItem *sourceItem, int32_t flags) noexcept;
// Makes destination equal to source in place (SyncItems, then SyncRemove),
// so that observers see only the real changes. A filter answering other than
// 1 skips that source item. Returns 1.
int32_t Dictionary_Sync(Dictionary *destination, Dictionary *source, void *context,
                        DictionarySyncFilter filter) noexcept;
// From start on: keyed items meet their key, keyless ones the item after the
// previous destination item (the first: the item at the start's index); a
// missing one is appended; each takes type, hidden flag and value text, and
// children synchronise.
int32_t Dictionary_SyncItems(Dictionary *destination, Dictionary *source, DictionaryItem *start,
                             void *context, DictionarySyncFilter filter) noexcept;
// Removes, last to first, keyed items whose key source lacks and keyless ones
// without an item at the matching position of source.
int32_t Dictionary_SyncRemove(Dictionary *destination, Dictionary *source) noexcept;
// A root whose only item is a keyless Dictionary gives that child, anything
// else itself; UnwrapContainer also takes a keyless List. Return 1.
int32_t Dictionary_Unwrap(Dictionary *d, Dictionary **result) noexcept;
int32_t Dictionary_UnwrapContainer(Dictionary *d, Dictionary **result) noexcept;
// Logs the tree, one line an item, four spaces per level: "key (Type)" for
// containers, "key=value (Type)" for the rest; hidden items are left out when
// the '#' prefix is on. Print dumps at indent 0. Return 1.
int32_t Dictionary_Dump(Dictionary *d, int32_t indent) noexcept;
int32_t Dictionary_Print(Dictionary *d) noexcept;
// Removes, last to first, every keyed item whose key is not the value text of
// an item of names. Returns 1.
int32_t Dictionary_RemoveKeysNotListed(Dictionary *d, Dictionary *names) noexcept;

// ---- Callbacks and log -----------------------------------------------------
// A NULL function clears the cell (dropping a counted context's reference).
int32_t Dictionary_SetItemAddedCallback(Dictionary *d, void *context,
                                        DictionaryItemAddedCallback function) noexcept;
int32_t Dictionary_GetItemAddedCallback(Dictionary *d, void **context,
                                        DictionaryItemAddedCallback *function) noexcept;
int32_t Dictionary_SetItemRemovedCallback(Dictionary *d, void *context,
                                          DictionaryItemRemovedCallback function) noexcept;
int32_t Dictionary_GetItemRemovedCallback(Dictionary *d, void **context,
                                          DictionaryItemRemovedCallback *function) noexcept;
int32_t Dictionary_SetValueChangedCallback(Dictionary *d, void *context,
                                           DictionaryValueChangedCallback function) noexcept;
int32_t Dictionary_GetValueChangedCallback(Dictionary *d, void **context,
                                           DictionaryValueChangedCallback *function) noexcept;
// Lines of d go through its class log ("Dictionary", the log name) to the
// hook; without one (and after a NULL hook) to the core log at DEBUG.
int32_t Dictionary_Log(Dictionary *d, const char *format, ...) noexcept;
int32_t Dictionary_LogIndent(Dictionary *d, int32_t indent, const char *format, ...) noexcept;
int32_t Dictionary_SetLogHook(Dictionary *d, void *context, DictionaryLogHook hook) noexcept;
// The hook in force: the default one when none was set. Returns 1.
int32_t Dictionary_GetLogHook(Dictionary *d, void **context, DictionaryLogHook *hook) noexcept;
// The name that log lines carry after the instance id; child containers made
// later inherit it. NULL removes it.
int32_t Dictionary_SetLogName(Dictionary *d, const char *name) noexcept;
