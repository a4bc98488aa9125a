// Dictionary key/value text, joined strings and the visitors; see
// dictionary.h.
#include <cstring>

#include "core/formats/dictionary.h"
#include "core/formats/dictionary_internal.h"
#include "core/runtime/print.h"

namespace {

bool textIsBlank(char c) { return c == ' ' || c == '\t'; }

// One part of a key/value text becomes a String item.
void textAddPart(Dictionary *d, const char *part, const char *end, char keySeparator) {
  if (keySeparator == '\0') {
    DictionaryItem *item = dictionaryAddKey(d, nullptr);
    dictionarySetItemTextN(d, item, kDictionaryTypeString, part, int32_t(end - part));
    return;
  }
  while (part < end && textIsBlank(*part)) part++;
  const char *separator =
      static_cast<const char *>(memchr(part, keySeparator, size_t(end - part)));
  const char *keyEnd = separator != nullptr ? separator : end;
  const char *value = end;
  if (separator != nullptr) {
    value = separator + 1;
    while (value < end && *value == keySeparator) value++;
  }
  DictionaryItem *item = dictionaryAddKeyN(d, part, int32_t(keyEnd - part));
  dictionarySetItemTextN(d, item, kDictionaryTypeString, value, int32_t(end - value));
}

const char *textStoredValue(const DictionaryItem *item) {
  return item->value != nullptr ? item->value : "";
}

void textWrite(StrBuf *out, const char *text, int64_t length) {
  if (length > 0) StrBuf_Write(out, text, length, nullptr);
}

bool textIsString(const DictionaryItem *item) {
  return dictionaryType(item) == kDictionaryTypeString;
}

bool textIsNumber(const DictionaryItem *item) {
  int32_t type = dictionaryType(item);
  return type == kDictionaryTypeInt64 || type == kDictionaryTypeFloat64;
}

}  // namespace

int32_t Dictionary_ParseKeyValueText(Dictionary *d, const char *text, int32_t length,
                                     char keySeparator, char itemSeparator) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(text);
  const char *end = text + (length > 0 ? length : 0);
  for (const char *part = text; part < end;) {
    const char *partEnd = nullptr;
    if (itemSeparator != '\0')
      partEnd = static_cast<const char *>(memchr(part, itemSeparator, size_t(end - part)));
    if (partEnd == nullptr) partEnd = end;
    // A run of item separators makes empty parts, which count as none.
    if (partEnd > part) textAddPart(d, part, partEnd, keySeparator);
    part = partEnd < end ? partEnd + 1 : end;
  }
  return 1;
}

int32_t Dictionary_FormatKeyValueText(Dictionary *d, char *buffer, int32_t size,
                                      char keySeparator, char itemSeparator) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(buffer);
  if (size < 1) return 0;
  StrBuf out;
  StrBuf_Init(&out, buffer, size);
  for (DictionaryItem *item = d->items.first; item != nullptr; item = item->next) {
    int32_t type = dictionaryType(item);
    if (type == kDictionaryTypeString) {
      if (item->key != nullptr) textWrite(&out, item->key, item->keyLength);
      if (item->key != nullptr && keySeparator != '\0') textWrite(&out, &keySeparator, 1);
      textWrite(&out, textStoredValue(item), item->valueLength);
    } else if (type == kDictionaryTypeBoolean) {
      if (item->key == nullptr) continue;  // not even the separator
      textWrite(&out, item->key, item->keyLength);
    }
    if (itemSeparator != '\0') textWrite(&out, &itemSeparator, 1);
  }
  return StrBuf_Finish(&out);
}

int32_t Dictionary_GetStringJoinedByKey(Dictionary *d, const char *key, char *buffer,
                                        int32_t size) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(key);
  CHECK_POINTER(buffer);
  if (size < 1) return 0;
  buffer[0] = '\0';
  DictionaryItem *item = dictionaryFindKey(d, key, nullptr);
  if (item == nullptr) return 0;
  if (textIsString(item)) return dictionaryReadString(item, buffer, size);
  if (dictionaryType(item) != kDictionaryTypeList) return 0;
  StrBuf out;
  StrBuf_Init(&out, buffer, size);
  for (DictionaryItem *element = item->child->items.first; element != nullptr;
       element = element->next)
    if (textIsString(element)) textWrite(&out, textStoredValue(element), element->valueLength);
  StrBuf_Finish(&out);
  return 1;
}

int32_t Dictionary_ForEachString(Dictionary *d, void *context,
                                 DictionaryStringVisitor visit) noexcept {
  DICTIONARY_CHECK(d);
  DICTIONARY_CHECK_FUNCTION(visit);
  int32_t visited = 0;
  for (DictionaryItem *item = d->items.first; item != nullptr; item = item->next) {
    if (!textIsString(item)) continue;
    visited = 1;
    if (!visit(context, textStoredValue(item))) break;
  }
  return visited;
}

int32_t Dictionary_ForEachStringByKey(Dictionary *d, const char *key, void *context,
                                      DictionaryStringVisitor visit) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(key);
  DICTIONARY_CHECK_FUNCTION(visit);
  DictionaryItem *item = dictionaryFindKey(d, key, nullptr);
  if (item == nullptr) return 0;
  if (textIsString(item)) {
    visit(context, textStoredValue(item));
    return 1;
  }
  if (dictionaryType(item) != kDictionaryTypeList) return 0;
  return Dictionary_ForEachString(item->child, context, visit);
}

int32_t Dictionary_ForEachKeyString(Dictionary *d, void *context,
                                    DictionaryKeyStringVisitor visit) noexcept {
  DICTIONARY_CHECK(d);
  DICTIONARY_CHECK_FUNCTION(visit);
  int32_t visited = 0;
  for (DictionaryItem *item = d->items.first; item != nullptr; item = item->next) {
    if (item->key == nullptr || !textIsString(item)) continue;
    visited = 1;
    if (!visit(context, item->key, textStoredValue(item))) break;
  }
  return visited;
}

int32_t Dictionary_ForEachNumberByKey(Dictionary *d, const char *key, void *context,
                                      DictionaryNumberVisitor visit) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(key);
  DICTIONARY_CHECK_FUNCTION(visit);
  DictionaryItem *item = dictionaryFindKey(d, key, nullptr);
  if (item == nullptr) return 0;
  int32_t number = 0;
  if (textIsNumber(item)) {
    dictionaryReadInt32(item, &number);
    visit(context, number);
    return 1;
  }
  if (dictionaryType(item) != kDictionaryTypeList) return 0;
  int32_t visited = 0;
  for (DictionaryItem *element = item->child->items.first; element != nullptr;
       element = element->next) {
    if (!textIsNumber(element)) continue;
    visited = 1;
    dictionaryReadInt32(element, &number);
    if (!visit(context, number)) break;
  }
  return visited;
}
