// Property lists; see plist.h.
#include "core/formats/plist.h"

#include <charconv>
#include <cstdarg>
#include <cstring>

#include "core/platform/file.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/formats/xml.h"

namespace {

constexpr const char kPlistClassName[] = "Plist";
constexpr int32_t kPlistNumberBytes = 64;

}  // namespace

struct Plist {
  ObjectHeader header;
  ClassLog log;        // "Plist"
  Dictionary *target;  // borrowed
};

namespace {

void plistDestroy(void **object) { Plist_Release(reinterpret_cast<Plist **>(object)); }

#define PLIST_CHECK(p) Class_Check((p), kPlistTag, KSRC)

void plistClassLog(Plist *p, const char *format, ...) {
  if (!Class_LogEnabled(&p->log, 0) || !Log_IsEnabled()) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&p->log, 0, format, args);
  va_end(args);
}

bool plistIsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The text of an element item: a String's value, or the text item of an
// element that holds attributes too; "" for an empty element.
void plistElementText(Dictionary *d, DictionaryItem *item, const char **text, int32_t *length) {
  *text = "";
  *length = 0;
  uint8_t type = item->type & kDictionaryTypeMask;
  if (type == kDictionaryTypeString) {
    if (item->value != nullptr) *text = item->value;
    *length = item->valueLength;
    return;
  }
  if (type != kDictionaryTypeDictionary) return;
  (void)d;
  Dictionary *c = item->child;
  for (DictionaryItem *t = c->items.first; t != nullptr; t = t->next) {
    if (t->key == nullptr || (t->type & kDictionaryTypeMask) != kDictionaryTypeString) continue;
    bool isText = c->hashPrefix ? (t->type & kDictionaryHiddenBit) && strcmp(t->key, "text") == 0
                                : strcmp(t->key, "#text") == 0;
    if (isText) {
      if (t->value != nullptr) *text = t->value;
      *length = t->valueLength;
      return;
    }
  }
}

// Copies the text without surrounding blanks into buffer; false when it does
// not fit.
bool plistTrimmed(const char *text, int32_t length, char *buffer, int32_t size) {
  while (length > 0 && plistIsBlank(text[0])) text++, length--;
  while (length > 0 && plistIsBlank(text[length - 1])) length--;
  if (length >= size) return false;
  memcpy(buffer, text, length);
  buffer[length] = 0;
  return true;
}

// Decimal with an optional sign, or "0x" hexadecimal, within 64 bits.
bool plistParseInteger(const char *text, int64_t *value) {
  const char *p = text;
  const char *end = text + strlen(text);
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p == end) return false;
  uint64_t magnitude = 0;
  std::from_chars_result r;
  if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
    r = std::from_chars(p + 2, end, magnitude, 16);
  else
    r = std::from_chars(p, end, magnitude, 10);
  if (r.ec != std::errc() || r.ptr != end) return false;
  if (negative) {
    if (magnitude > uint64_t(INT64_MAX) + 1) return false;
    *value = int64_t(0 - magnitude);
  } else {
    if (magnitude > uint64_t(INT64_MAX)) return false;
    *value = int64_t(magnitude);
  }
  return true;
}

// A real as plist readers take it: a finite or infinite decimal number, or
// NaN; the whole text must be the number.
bool plistParseReal(const char *text, double *value) {
  const char *p = text;
  const char *end = text + strlen(text);
  if (p < end && *p == '+') p++;
  if (p == end) return false;
  auto r = std::from_chars(p, end, *value, std::chars_format::general);
  return r.ec == std::errc() && r.ptr == end;
}

bool plistUnsupported(Plist *p, const char *name) {
  Log_Print(LOG_ERROR, KSRC, 0, "Unsupported data type encountered [%s]", name);
  plistClassLog(p, "Error while trying to parse plist");
  return false;
}

bool plistInvalidNumber(Plist *p, const char *element, const char *text, int32_t length) {
  Log_Print(LOG_ERROR, KSRC, 0, "Invalid %s value [%.*s]", element, int(length), text);
  plistClassLog(p, "Error while trying to parse plist");
  return false;
}

bool plistParse(Plist *p, Dictionary *xml, Dictionary *target, int32_t depth);

// Converts one element under key (NULL: keyless).
bool plistParseElement(Plist *p, Dictionary *xml, DictionaryItem *element, const char *key,
                       Dictionary *target, int32_t depth) {
  const char *name = element->key;
  const char *text = nullptr;
  int32_t length = 0;
  plistElementText(xml, element, &text, &length);
  if (Str_CompareNoCase(name, "string") == 0) {
    DictionaryItem *item = nullptr;
    Dictionary_AddKey(target, key, &item);
    Dictionary_SetItemType(target, item, kDictionaryTypeString);
    Dictionary_SetItemText(target, item, text, length);
    return true;
  }
  if (Str_CompareNoCase(name, "integer") == 0) {
    char number[kPlistNumberBytes];
    int64_t value = 0;
    if (!plistTrimmed(text, length, number, kPlistNumberBytes) || !plistParseInteger(number, &value))
      return plistInvalidNumber(p, "integer", text, length);
    Dictionary_AddInt64(target, key, value, nullptr);
    return true;
  }
  if (Str_CompareNoCase(name, "real") == 0) {
    char number[kPlistNumberBytes];
    double value = 0;
    if (!plistTrimmed(text, length, number, kPlistNumberBytes) || !plistParseReal(number, &value))
      return plistInvalidNumber(p, "real", text, length);
    Dictionary_AddFloat64(target, key, value, nullptr);
    return true;
  }
  if (Str_CompareNoCase(name, "true") == 0 || Str_CompareNoCase(name, "false") == 0) {
    Dictionary_AddBoolean(target, key, Str_CompareNoCase(name, "true") == 0 ? 1 : 0, nullptr);
    return true;
  }
  bool array = Str_CompareNoCase(name, "array") == 0;
  if (array || Str_CompareNoCase(name, "dict") == 0) {
    Dictionary *child = nullptr;
    if (array) Dictionary_AddList(target, key, &child, nullptr);
    else Dictionary_AddDictionary(target, key, &child, nullptr);
    uint8_t type = element->type & kDictionaryTypeMask;
    if (type == kDictionaryTypeString && element->valueLength > 0)
      return plistUnsupported(p, "#text");  // stray text where elements belong
    if (type == kDictionaryTypeDictionary) return plistParse(p, element->child, child, depth + 1);
    return true;
  }
  return plistUnsupported(p, name);
}

bool plistParse(Plist *p, Dictionary *xml, Dictionary *target, int32_t depth) {
  char *pendingKey = nullptr;
  int32_t pendingBytes = 0;
  bool ok = true;
  for (DictionaryItem *item = xml->items.first; item != nullptr && ok; item = item->next) {
    const char *name = item->key;
    if (name == nullptr) continue;
    if (name[0] == '?' || name[0] == '!' || name[0] == '-') continue;
    if (Str_CompareNoCase(name, "key") == 0) {
      const char *text = nullptr;
      int32_t length = 0;
      plistElementText(xml, item, &text, &length);
      if (pendingKey != nullptr) Mem_Free(pendingKey, pendingBytes, KSRC);
      pendingBytes = length + 1;
      pendingKey = static_cast<char *>(Mem_Alloc(pendingBytes, 0, KSRC));
      memcpy(pendingKey, text, length);
      pendingKey[length] = 0;
      continue;
    }
    if ((item->type & kDictionaryHiddenBit) || strcmp(name, "#text") == 0) {
      ok = plistUnsupported(p, "#text");
      break;
    }
    ok = plistParseElement(p, xml, item, pendingKey, target, depth);
    if (pendingKey != nullptr) Mem_Free(pendingKey, pendingBytes, KSRC);
    pendingKey = nullptr;
  }
  if (pendingKey != nullptr) Mem_Free(pendingKey, pendingBytes, KSRC);
  return ok;
}

// The text a real is written with: the stored text when plist readers take it
// as it stands, else the shortest text that reads back as the same value.
void plistRealText(Dictionary *d, DictionaryItem *item, char *buffer, int32_t size) {
  double value = 0;
  if (item->value != nullptr && item->valueLength < size && plistParseReal(item->value, &value)) {
    memcpy(buffer, item->value, item->valueLength + 1);
    return;
  }
  Dictionary_GetItemFloat64(d, item, &value);
  auto r = std::to_chars(buffer, buffer + size - 1, value);
  *r.ptr = 0;
}

// Adds the XML elements of one source item to xml: its "key" element (in a
// dict) and its value element. Answers the new "array" or "dict" element of a
// List or Dictionary item, which the item's children go into, else NULL; false
// in *ok for a type a property list cannot hold.
Dictionary *plistWriteItem(Plist *p, Dictionary *source, DictionaryItem *item, Dictionary *xml,
                           bool list, bool *ok) {
  uint8_t type = item->type & kDictionaryTypeMask;
  if (type == kDictionaryTypeNull || type == kDictionaryTypeUnknown) {
    Log_Print(LOG_ERROR, KSRC, 0, "Unsupported data type encountered [%d]", int(type));
    plistClassLog(p, "Error while trying to write plist");
    *ok = false;
    return nullptr;
  }
  if (!list && item->key != nullptr) {
    // A hidden key was stored from "#name"; it is written as it was given.
    if ((item->type & kDictionaryHiddenBit) && source->hashPrefix) {
      DictionaryItem *keyItem = nullptr;
      Dictionary_AddKey(xml, "key", &keyItem);
      Dictionary_SetItemType(xml, keyItem, kDictionaryTypeString);
      Dictionary_SetItemStringFormat(xml, keyItem, "#%s", item->key);
    } else {
      Dictionary_AddString(xml, "key", item->key, nullptr);
    }
  }
  Dictionary *element = nullptr;
  switch (type) {
    case kDictionaryTypeBoolean:
      Dictionary_AddDictionary(xml, (item->type & kDictionaryBooleanBit) ? "true" : "false",
                               nullptr, nullptr);
      break;
    case kDictionaryTypeInt64: {
      int64_t value = 0;
      Dictionary_GetItemInt64(source, item, &value);
      char number[kPlistNumberBytes];
      Str_Printf(number, kPlistNumberBytes, "%lld", static_cast<long long>(value));
      Dictionary_AddString(xml, "integer", number, nullptr);
      break;
    }
    case kDictionaryTypeFloat64: {
      char number[kPlistNumberBytes];
      plistRealText(source, item, number, kPlistNumberBytes);
      Dictionary_AddString(xml, "real", number, nullptr);
      break;
    }
    case kDictionaryTypeString:
      Dictionary_AddString(xml, "string", item->value != nullptr ? item->value : "", nullptr);
      break;
    case kDictionaryTypeList:
    case kDictionaryTypeDictionary:
      Dictionary_AddDictionary(xml, type == kDictionaryTypeList ? "array" : "dict", &element,
                               nullptr);
      break;
  }
  return element;
}

// Converts the items of top into elements of xml, each container's items into
// its element: depth first without recursion, as a tree built through the
// API may be far deeper than the stack allows. list: top is a List.
bool plistWrite(Plist *p, Dictionary *top, Dictionary *xml, bool list) {
  Dictionary *source = top;
  DictionaryItem *item = top->items.first;
  while (item != nullptr) {
    bool inList = source == top ? list
                                : (source->parentItem->type & kDictionaryTypeMask) ==
                                      kDictionaryTypeList;
    bool ok = true;
    Dictionary *element = plistWriteItem(p, source, item, xml, inList, &ok);
    if (!ok) return false;
    if (element != nullptr && item->child->items.first != nullptr) {
      source = item->child;
      xml = element;
      item = source->items.first;
      continue;
    }
    // Up past every container this item ends; an element's parent is the
    // container it was added to.
    while (item->next == nullptr && source != top) {
      item = source->parentItem;
      source = source->parent;
      xml = xml->parent;
    }
    item = item->next;
  }
  return true;
}

}  // namespace

int32_t Plist_Create(Plist **plist) noexcept {
  CHECK_POINTER(plist);
  auto *p = static_cast<Plist *>(Mem_Alloc(sizeof(Plist), MEM_ZEROED, KSRC));
  p->header.classTag = kPlistTag;
  p->header.refCount.store(1, std::memory_order_relaxed);
  p->header.destroy = plistDestroy;
  p->log.object = p;
  p->log.className = kPlistClassName;
  *plist = p;
  return 1;
}

void Plist_Release(Plist **plist) noexcept {
  CHECK_POINTER(plist);
  Plist *p = *plist;
  PLIST_CHECK(p);
  *plist = nullptr;
  p->header.classTag = 0;
  Mem_Free(p, sizeof(Plist), KSRC);
}

int32_t Plist_SetDictionary(Plist *plist, Dictionary *dictionary) noexcept {
  PLIST_CHECK(plist);
  plist->target = dictionary;
  return 1;
}

int32_t Plist_ParseXmlDictionary(Plist *plist, Dictionary *xmlDictionary,
                                 Dictionary *target) noexcept {
  PLIST_CHECK(plist);
  CHECK_POINTER(xmlDictionary);
  CHECK_POINTER(target);
  return plistParse(plist, xmlDictionary, target, 0) ? 1 : 0;
}

int32_t Plist_WriteXmlDictionary(Plist *plist, Dictionary *source,
                                 Dictionary *xmlContainer) noexcept {
  PLIST_CHECK(plist);
  CHECK_POINTER(source);
  CHECK_POINTER(xmlContainer);
  bool list = source->parentItem != nullptr &&
              (source->parentItem->type & kDictionaryTypeMask) == kDictionaryTypeList;
  return plistWrite(plist, source, xmlContainer, list) ? 1 : 0;
}

int32_t Plist_ReadStream(Plist *plist, Stream *stream, const char *name) noexcept {
  PLIST_CHECK(plist);
  CHECK_POINTER(stream);
  if (plist->target == nullptr) return 0;
  Dictionary_Clear(plist->target);
  Dictionary *tree = nullptr;
  Dictionary_Create(&tree);
  XML *xml = nullptr;
  Xml_Create(&xml);
  Xml_SetDictionary(xml, tree);
  Xml_SetKeepText(xml, 1);
  int32_t result = Xml_ParseStream(xml, stream);
  if (result) {
    DictionaryItem *root = nullptr;
    if (!Dictionary_FindKey(tree, "plist", nullptr, &root) ||
        (root->type & kDictionaryTypeMask) != kDictionaryTypeDictionary) {
      Log_Print(LOG_ERROR, KSRC, 0, "Failed to find plist doctype [%s]",
                name != nullptr ? name : "");
      result = 0;
    } else {
      result = Plist_ParseXmlDictionary(plist, root->child, plist->target);
    }
  }
  if (result) plistClassLog(plist, "Read plist [%s]", name != nullptr ? name : "");
  Xml_Release(&xml);
  Dictionary_Release(&tree);
  return result;
}

int32_t Plist_WriteStream(Plist *plist, Stream *stream) noexcept {
  PLIST_CHECK(plist);
  CHECK_POINTER(stream);
  if (plist->target == nullptr) return 0;
  Dictionary *tree = nullptr;
  Dictionary_Create(&tree);
  Xml_EnsureDeclaration(tree, nullptr);
  Xml_EnsurePlistDoctype(tree, nullptr);
  Dictionary *root = nullptr;
  Dictionary *dict = nullptr;
  Dictionary_AddDictionary(tree, "plist", &root, nullptr);
  Dictionary_AddString(root, "-version", "1.0", nullptr);
  Dictionary_AddDictionary(root, "dict", &dict, nullptr);
  int32_t result = Plist_WriteXmlDictionary(plist, plist->target, dict);
  if (result) {
    XML *xml = nullptr;
    Xml_Create(&xml);
    Xml_SetDictionary(xml, tree);
    result = Xml_WriteStream(xml, stream);
    Xml_Release(&xml);
  }
  Dictionary_Release(&tree);
  return result;
}

namespace {

// Finds the item at path; when there is one, gives it the type (its old value
// released) and answers it.
DictionaryItem *plistRetype(Plist *p, const char *path, DictionaryType type, Dictionary **owner) {
  DictionaryItem *item = nullptr;
  if (!Dictionary_ResolvePath(p->target, path, owner, &item)) return nullptr;
  Dictionary_SetItemType(*owner, item, type);
  return item;
}

}  // namespace

int32_t Plist_SetStringByPath(Plist *plist, const char *path, const char *text) noexcept {
  PLIST_CHECK(plist);
  CHECK_POINTER(path);
  CHECK_POINTER(text);
  if (plist->target == nullptr) return 0;
  Dictionary *owner = nullptr;
  DictionaryItem *item = plistRetype(plist, path, kDictionaryTypeString, &owner);
  if (item == nullptr) return Dictionary_SetStringByPath(plist->target, path, text);
  Dictionary_SetItemText(owner, item, text, int32_t(strlen(text)));
  return 1;
}

int32_t Plist_SetBooleanByPath(Plist *plist, const char *path, int32_t value) noexcept {
  PLIST_CHECK(plist);
  CHECK_POINTER(path);
  if (plist->target == nullptr) return 0;
  Dictionary *owner = nullptr;
  DictionaryItem *item = plistRetype(plist, path, kDictionaryTypeBoolean, &owner);
  if (item == nullptr) return Dictionary_SetBooleanByPath(plist->target, path, value);
  return Dictionary_SetItemBoolean(owner, item, value);
}

int32_t Plist_SetInt32ByPath(Plist *plist, const char *path, int32_t value) noexcept {
  PLIST_CHECK(plist);
  CHECK_POINTER(path);
  if (plist->target == nullptr) return 0;
  Dictionary *owner = nullptr;
  DictionaryItem *item = plistRetype(plist, path, kDictionaryTypeInt64, &owner);
  if (item == nullptr) return Dictionary_SetInt32ByPath(plist->target, path, value);
  return Dictionary_SetItemInt64(owner, item, value);
}

int32_t Plist_SetFloat64ByPath(Plist *plist, const char *path, double value) noexcept {
  PLIST_CHECK(plist);
  CHECK_POINTER(path);
  if (plist->target == nullptr) return 0;
  Dictionary *owner = nullptr;
  DictionaryItem *item = plistRetype(plist, path, kDictionaryTypeFloat64, &owner);
  if (item == nullptr) return Dictionary_SetFloat64ByPath(plist->target, path, value);
  return Dictionary_SetItemFloat64(owner, item, value);
}

// ---- Files ------------------------------------------------------------------

namespace {

struct PlistDocument {
  Plist *plist;
  const char *path;
};

int plistReadDocument(void *context, Stream *stream) {
  auto *document = static_cast<PlistDocument *>(context);
  return Plist_ReadStream(document->plist, stream, document->path);
}

int plistWriteDocument(void *context, Stream *stream) {
  return Plist_WriteStream(static_cast<PlistDocument *>(context)->plist, stream);
}

}  // namespace

int32_t Plist_ReadFile(Plist *plist, const char *path) noexcept {
  PLIST_CHECK(plist);
  CHECK_POINTER(path);
  if (plist->target == nullptr) return 0;
  PlistDocument document = {plist, path};
  return File_ReadDocument(path, &plist->log, &document, plistReadDocument);
}

int32_t Plist_WriteFile(Plist *plist, const char *path) noexcept {
  PLIST_CHECK(plist);
  CHECK_POINTER(path);
  if (plist->target == nullptr) return 0;
  PlistDocument document = {plist, path};
  return File_WriteDocument(path, &plist->log, &document, plistWriteDocument);
}
