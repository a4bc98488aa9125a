// libFuzzer target for the JSON reader and writer.
//
// Input: any bytes, parsed with the '#' prefix off, once into a Dictionary
// and once with no target. When the parse succeeds the tree is written
// (compact or pretty, by the first byte) and the text parsed again.
//
// Checked: no crash, leak or hang; both parses agree on the result; the
// written text always parses; when every key and string of the tree is valid
// UTF-8 the second tree equals the first (numbers by value, an unreadable or
// non-finite number as null).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/dictionary.h"
#include "core/formats/json.h"

namespace {

bool validUtf8(const char *s, int32_t n) {
  for (int32_t i = 0; i < n;) {
    uint8_t b = uint8_t(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > n) return false;
    uint32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (int k = 1; k < len; k++) {
      if ((uint8_t(s[i + k]) & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (uint8_t(s[i + k]) & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

bool allValid(Dictionary *c) {
  for (DictionaryItem *x = c->items.first; x != nullptr; x = x->next) {
    if (x->key != nullptr && !validUtf8(x->key, x->keyLength)) return false;
    int32_t type = x->type & kDictionaryTypeMask;
    if (type == kDictionaryTypeString && x->value && !validUtf8(x->value, x->valueLength))
      return false;
    if ((type == kDictionaryTypeList || type == kDictionaryTypeDictionary) && !allValid(x->child))
      return false;
  }
  return true;
}

// A number as the writer gives it: NaN stands for null.
double numberOf(const DictionaryItem *x) {
  std::string text(x->value ? x->value : "", size_t(x->valueLength));
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  if (text.empty() || text.find_first_of("0123456789") == std::string::npos ||
      text.find_first_of("xXnN") != std::string::npos)
    return NAN;
  char *end = nullptr;
  double value = strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(value)) return NAN;
  return value;
}

bool same(Dictionary *a, Dictionary *b) {
  if (a->items.count != b->items.count) return false;
  DictionaryItem *y = b->items.first;
  for (DictionaryItem *x = a->items.first; x != nullptr; x = x->next, y = y->next) {
    if ((x->key == nullptr) != (y->key == nullptr)) return false;
    if (x->key && (x->keyLength != y->keyLength || memcmp(x->key, y->key, x->keyLength) != 0))
      return false;
    int32_t tx = x->type & kDictionaryTypeMask, ty = y->type & kDictionaryTypeMask;
    if (tx == kDictionaryTypeFloat64 && ty == kDictionaryTypeFloat64 &&
        x->valueLength == y->valueLength &&
        memcmp(x->value, y->value, size_t(x->valueLength)) == 0)
      continue;  // a valid JSON text comes back byte for byte, overflowing or not
    if (tx == kDictionaryTypeFloat64) {
      double v = numberOf(x);
      if (std::isnan(v)) {
        if (ty != kDictionaryTypeNull) return false;
        continue;
      }
      if (ty != kDictionaryTypeFloat64 || numberOf(y) != v) return false;
      continue;
    }
    if (tx != ty) return false;
    if (tx == kDictionaryTypeBoolean && ((x->type ^ y->type) & kDictionaryBooleanBit)) return false;
    if (tx == kDictionaryTypeString &&
        (x->valueLength != y->valueLength ||
         (x->valueLength > 0 && memcmp(x->value, y->value, size_t(x->valueLength)) != 0)))
      return false;
    if ((tx == kDictionaryTypeList || tx == kDictionaryTypeDictionary) && !same(x->child, y->child))
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  const char *text = reinterpret_cast<const char *>(data);
  Json *json = nullptr;
  Json_Create(&json);
  Dictionary *first = nullptr, *second = nullptr;
  Dictionary_Create(&first);
  Dictionary_Create(&second);
  Dictionary_SetHashPrefix(first, 0);
  Dictionary_SetHashPrefix(second, 0);
  int32_t bare = Json_ParseMemory(json, text, int32_t(size));
  Json_SetDictionary(json, first);
  int32_t parsed = Json_ParseMemory(json, text, int32_t(size));
  if (parsed != bare) abort();
  if (parsed) {
    Json_SetCompact(json, size > 0 && (data[0] & 1) ? 0 : 1);
    int32_t length = 0;
    Json_GetWriteLength(json, &length);
    std::string out(size_t(length) + 1, '\0');
    int32_t written = 0;
    if (!Json_WriteMemory(json, out.data(), int32_t(out.size()), &written) || written != length)
      abort();
    Json_SetDictionary(json, second);
    if (!Json_ParseMemory(json, out.data(), written)) abort();
    if (allValid(first) && !same(first, second)) abort();
  }
  Json_Release(&json);
  Dictionary_Release(&first);
  Dictionary_Release(&second);
  return 0;
}
