// libFuzzer target for the YAML reader and writer.
//
// Input: a YAML text. It is parsed; when that succeeds the tree is written,
// and the written text must parse again. For a valid UTF-8 input the second
// tree must equal the first (types and texts); with invalid bytes the writer
// still round-trips them, but quoting rules may see replaced characters.
//
// Checked: no crash, leak or hang; the writer's text always reads back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/dictionary.h"
#include "core/runtime/strw.h"
#include "core/formats/yaml.h"

namespace {

std::string fuzzCanon(Dictionary *d) {
  std::string out;
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(d, &item); item != nullptr; Dictionary_GetNextItem(d, item, &item)) {
    const char *key = nullptr;
    Dictionary_GetItemKey(d, item, &key);
    out += key ? "K" + std::string(key) + "\x01" : "-";
    DictionaryType type = 0;
    Dictionary_GetItemType(d, item, &type);
    out += char('0' + type);
    Dictionary *child = nullptr;
    if (Dictionary_GetItemContainer(d, item, &child)) {
      out += "(" + fuzzCanon(child) + ")";
      continue;
    }
    const char *text = nullptr;
    int32_t length = 0;
    if (Dictionary_GetItemText(d, item, &text, &length)) out += std::string(text, size_t(length));
    out += "\x02";
  }
  return out;
}

bool fuzzValidUtf8(const uint8_t *data, size_t size) {
  for (size_t i = 0; i < size;) {
    if (data[i] < 0x80) {
      i++;
      continue;
    }
    uint32_t codePoint = 0;
    int used = 0;
    int n = StrW_Utf8SequenceLength(data[i]);
    if (n < 2 || size_t(n) > size - i ||
        !StrW_DecodeUtf8Sequence(reinterpret_cast<const char *>(data + i), &codePoint, &used) ||
        used != n)
      return false;
    i += size_t(used);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  Yaml *yaml = nullptr;
  Dictionary *first = nullptr, *second = nullptr;
  Yaml_Create(&yaml);
  Dictionary_Create(&first);
  Dictionary_Create(&second);
  Dictionary_SetHashPrefix(first, 0);
  Dictionary_SetHashPrefix(second, 0);
  Yaml_SetDictionary(yaml, first);
  if (Yaml_ParseMemory(yaml, reinterpret_cast<const char *>(data), int32_t(size))) {
    int64_t length = 0;
    Yaml_GetWriteLength(yaml, &length);
    std::string text(size_t(length), '\0');
    int32_t written = 0;
    if (!Yaml_WriteMemory(yaml, text.data(), int32_t(text.size()), &written)) abort();
    Yaml_SetDictionary(yaml, second);
    if (!Yaml_ParseMemory(yaml, text.data(), written)) abort();
    if (fuzzValidUtf8(data, size) && fuzzCanon(first) != fuzzCanon(second)) abort();
  }
  Yaml_Release(&yaml);
  Dictionary_Release(&first);
  Dictionary_Release(&second);
  return 0;
}
