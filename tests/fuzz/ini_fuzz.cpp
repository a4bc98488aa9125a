// libFuzzer target for the INI reader and writer.
//
// Input: an INI text. It is parsed (a malformed line stops parsing but keeps
// what came before); the tree is written, unless a name in it cannot be
// written, and the written text must parse again into the same tree.
//
// Checked: no crash, leak or hang; what the writer accepts reads back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/formats/dictionary.h"
#include "core/formats/ini.h"
#include "core/runtime/memstream.h"

namespace {

// Top-level scalars are written above the sections, so the two are compared
// apart: scalars first, then sections, each in tree order.
std::string fuzzSections(Dictionary *d);

std::string fuzzCanon(Dictionary *d, bool top = true) {
  if (top) return fuzzCanon(d, false) + "|" + fuzzSections(d);
  std::string out;
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(d, &item); item != nullptr; Dictionary_GetNextItem(d, item, &item)) {
    if (Dictionary_IsItemContainer(d, item)) continue;
    const char *key = nullptr;
    Dictionary_GetItemKey(d, item, &key);
    out += "K" + std::string(key ? key : "") + "\x01";
    const char *text = nullptr;
    int32_t length = 0;
    if (Dictionary_GetItemText(d, item, &text, &length)) out += std::string(text, size_t(length));
    out += "\x02";
  }
  return out;
}

std::string fuzzSections(Dictionary *d) {
  std::string out;
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(d, &item); item != nullptr; Dictionary_GetNextItem(d, item, &item)) {
    const char *key = nullptr;
    Dictionary *child = nullptr;
    Dictionary_GetItemKey(d, item, &key);
    if (key == nullptr || !Dictionary_GetItemContainer(d, item, &child)) continue;
    out += "[" + std::string(key) + "]" + fuzzCanon(child, false);
  }
  return out;
}

int fuzzParse(Ini *ini, Dictionary *d, const char *text, int32_t length) {
  MemoryStream *m = nullptr;
  MemoryStream_Create(&m);
  MemoryStream_Attach(m, const_cast<char *>(text), length, length);
  Stream *s = nullptr;
  MemoryStream_GetStream(m, &s);
  Ini_SetDictionary(ini, d);
  int result = Ini_Parse(ini, s);
  MemoryStream_Release(&m);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  Ini *ini = nullptr;
  Dictionary *first = nullptr, *second = nullptr;
  Ini_Create(&ini);
  Dictionary_Create(&first);
  Dictionary_Create(&second);
  Dictionary_SetHashPrefix(first, 0);
  Dictionary_SetHashPrefix(second, 0);
  fuzzParse(ini, first, reinterpret_cast<const char *>(data), int32_t(size));
  MemoryStream *out = nullptr;
  MemoryStream_Create(&out);
  MemoryStream_EnableGrowth(out);
  Stream *s = nullptr;
  MemoryStream_GetStream(out, &s);
  Ini_SetDictionary(ini, first);
  if (Ini_Write(ini, s)) {
    uint8_t *bytes = nullptr;
    int32_t length = MemoryStream_GetLength(out);
    std::string text;
    if (MemoryStream_GetBuffer(out, 0, &bytes)) {
      text.assign(reinterpret_cast<char *>(bytes), size_t(length));
      MemoryStream_ReleaseBuffer(out, &bytes);
    }
    if (!fuzzParse(ini, second, text.data(), int32_t(text.size()))) abort();
    if (fuzzCanon(first) != fuzzCanon(second)) abort();
  }
  MemoryStream_Release(&out);
  Ini_Release(&ini);
  Dictionary_Release(&first);
  Dictionary_Release(&second);
  return 0;
}
