// Dictionary internals shared by dictionary.cpp, dictionary_index.cpp,
// dictionary_merge.cpp, dictionary_path.cpp and dictionary_text.cpp, and the
// one builder the JSON reader uses (dictionaryAppendValue); not for other
// modules (see dictionary.h).
#pragma once

#include <cstdint>

#include "core/formats/dictionary.h"

#define DICTIONARY_CHECK(d) CLASS_CHECK((d), kDictionaryTag)
#define DICTIONARY_CHECK_ITEM(item) dictionaryCheckItem((item), KSRC)
#define DICTIONARY_CHECK_FUNCTION(f) CHECK_POINTER(reinterpret_cast<const void *>(f))

// Items carry their tag in their first word, not behind an instance id, so
// they get their own check with the class messages.
inline void dictionaryCheckItem(const DictionaryItem *item, const char *sourcePath, int line) {
  if (item == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
  if (item->classTag != kDictionaryItemTag)
    Core_Abort(sourcePath, line,
               "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", item,
               kDictionaryItemTag, item->classTag);
}

inline int32_t dictionaryType(const DictionaryItem *item) {
  return item->type & kDictionaryTypeMask;
}
inline bool dictionaryIsContainerType(int32_t type) {
  return type == kDictionaryTypeList || type == kDictionaryTypeDictionary;
}
// The child container of a List or Dictionary item, else NULL.
inline Dictionary *dictionaryChild(const DictionaryItem *item) {
  return dictionaryIsContainerType(dictionaryType(item)) ? item->child : nullptr;
}

// Bytes compared by d's case flag (ASCII letters only fold).
bool dictionaryTextEquals(const Dictionary *d, const char *a, const char *b, int32_t length);
// The item's key equals length bytes of text (already '#'-skipped).
bool dictionaryKeyEquals(const Dictionary *d, const DictionaryItem *item, const char *text,
                         int32_t length);
// Calls of dictionaryKeyEquals made on this thread so far: the test hook that
// shows how keyed lookups grow with a container's size.
int64_t dictionaryKeyComparisons();
// d's side record, made on first use.
DictionarySide *dictionarySide(Dictionary *d);
// The item's value as text: "null", "true"/"false", or the stored text ("" when
// none). False for Unknown, List and Dictionary.
bool dictionaryItemText(const DictionaryItem *item, const char **text, int32_t *length);
// Dictionary_FindKey without the checks; the N form takes a key of length
// bytes.
DictionaryItem *dictionaryFindKey(Dictionary *d, const char *key, DictionaryItem *start);
DictionaryItem *dictionaryFindKeyN(Dictionary *d, const char *key, int32_t length,
                                   DictionaryItem *start);
// The first item whose key is the key as it would be stored (no "[n]" form).
DictionaryItem *dictionaryFindStoredKey(Dictionary *d, const char *key);
DictionaryItem *dictionaryFindStoredKeyN(Dictionary *d, const char *key, int32_t length);
// Dictionary_AddKey without the checks; never NULL. The N form takes a key of
// length bytes.
DictionaryItem *dictionaryAddKey(Dictionary *d, const char *key);
DictionaryItem *dictionaryAddKeyN(Dictionary *d, const char *key, int32_t length);
// Appends an item keyed by keyLength bytes of key (NULL: keyless), of the
// type, holding length bytes of text (a Boolean is true when the text begins
// with 't' or 'T'): what Dictionary_AddKey, Dictionary_SetItemType and then
// Dictionary_SetItemText do, callbacks included. A document reader builds its tree this way; a new last item in a
// tree nobody observes is made in one step.
DictionaryItem *dictionaryAppendValue(Dictionary *d, const char *key, int32_t keyLength,
                                      int32_t type, const char *text, int32_t length);
// Gives the item the type, then stores length bytes of text as its value.
void dictionarySetItemTextN(Dictionary *d, DictionaryItem *item, int32_t type, const char *text,
                            int32_t length);
// The item at index (negative: from the end), or NULL.
DictionaryItem *dictionaryItemAt(Dictionary *d, int64_t index);

// ---- Key index (dictionary_index.cpp) ----
// Keyed lookups on exact key bytes (compared by d's case flag; no '#' skip, no
// "[n]" form). Above kDictionaryIndexMinItems items they go through the key
// index, which they build on first use.
// The first item of the key, or NULL.
DictionaryItem *dictionaryFirstWithKey(Dictionary *d, const char *key, int32_t length);
// The first item of the key at or after start (NULL: the first item).
DictionaryItem *dictionaryFindKeyFrom(Dictionary *d, DictionaryItem *start, const char *key,
                                      int32_t length);
// The next item of the key after previous, which carries it.
DictionaryItem *dictionaryNextWithKey(Dictionary *d, DictionaryItem *previous, const char *key,
                                      int32_t length);
// Keeping the index: item, linked into d, has just taken its key; item, still
// linked and keyed, is about to lose its key (removal, rename, made keyless).
void dictionaryIndexKeySet(Dictionary *d, DictionaryItem *item);
void dictionaryIndexKeyDropping(Dictionary *d, DictionaryItem *item);
// Frees an index and clears the pointer.
void dictionaryIndexRelease(DictionaryKeyIndex **index);

// The item readers behind the by-key, by-path and item getters: each clears
// its out-value, then answers 1 when the item (which may be NULL) gives one.
int32_t dictionaryReadString(const DictionaryItem *item, char *buffer, int32_t size);
int32_t dictionaryReadStringPointer(const DictionaryItem *item, const char **text);
int32_t dictionaryReadText(const DictionaryItem *item, const char **text, int32_t *length);
int32_t dictionaryReadInt32(const DictionaryItem *item, int32_t *value);
int32_t dictionaryReadInt64(const DictionaryItem *item, int64_t *value);
int32_t dictionaryReadFloat64(const DictionaryItem *item, double *value);
int32_t dictionaryReadBoolean(const DictionaryItem *item, int32_t *value);
