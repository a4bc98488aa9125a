// libFuzzer target for Dictionary paths. The input is
//   <flags byte> <key/value text> NUL <path lines>
// The flags set case, duplicates, hash prefix, string pool and an observer;
// the key/value text ('=' and ';') builds a small tree; each path line
// (first byte: the operation) is resolved, created, set, read, split or
// removed. After every line the tree's counts must match its walk.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/formats/dictionary.h"

namespace {

void fuzzObserver(Dictionary *, DictionaryItem *, void *context, const char *path,
                  const char *) {
  *static_cast<size_t *>(context) += strlen(path);
}

void fuzzRemoved(Dictionary *, DictionaryItem *, void *context, const char *path) {
  *static_cast<size_t *>(context) += strlen(path);
}

// Counts the items below d by walking them; traps when a count is off.
int64_t fuzzWalk(Dictionary *d) {
  int64_t total = 0;
  int32_t count = 0;
  Dictionary_GetCount(d, &count);
  DictionaryItem *item = nullptr;
  int32_t seen = 0;
  for (int more = Dictionary_GetFirstItem(d, &item); more;
       more = Dictionary_GetNextItem(d, item, &item)) {
    seen++;
    Dictionary *child = nullptr;
    if (Dictionary_GetItemContainer(d, item, &child)) total += fuzzWalk(child);
  }
  if (seen != count) __builtin_trap();
  return total + seen;
}

void fuzzLine(Dictionary *d, const std::string &line) {
  if (line.empty()) return;
  const char *path = line.c_str() + 1;
  Dictionary *owner = nullptr, *child = nullptr;
  DictionaryItem *item = nullptr;
  char buffer[512];
  switch (uint8_t(line[0]) % 8) {
    case 0:
      if (Dictionary_ResolvePath(d, path, &owner, &item)) {
        // The written path must fit or be refused, and be terminated.
        if (Dictionary_GetItemPath(owner, item, d, buffer, sizeof buffer) &&
            strlen(buffer) >= sizeof buffer)
          __builtin_trap();
        Dictionary_ResolvePath(d, buffer, &owner, &item);
      }
      break;
    case 1:
      if (Dictionary_CreatePath(d, path, &child)) Dictionary_AddString(child, nullptr, path, nullptr);
      break;
    case 2: Dictionary_SetStringByPath(d, path, path); break;
    case 3: {
      int64_t value = 0;
      Dictionary_SetFloat64ByPath(d, path, 2.5e-3);
      Dictionary_GetInt64ByPath(d, path, &value);
      break;
    }
    case 4:
      if (Dictionary_ResolvePath(d, path, &owner, &item)) Dictionary_RemoveItem(owner, &item);
      break;
    case 5:
      Dictionary_GetPathLeaf(path, buffer, sizeof buffer);
      Dictionary_GetPathParent(path, buffer, sizeof buffer);
      Dictionary_GetContainerByPath(d, path, &child);
      break;
    case 6:
      if (Dictionary_ResolvePath(d, path, &owner, &item)) {
        Dictionary_SetItemType(owner, item, uint8_t(line[0]) / 8 % 8);
        Dictionary_InsertItem(owner, item, path, nullptr);
      }
      break;
    default:
      Dictionary_SetListByKey(d, path, nullptr, &child);
      Dictionary_ParseKeyValueText(child, path, int32_t(strlen(path)), '\0', '.');
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  uint8_t flags = data[0];
  const char *text = reinterpret_cast<const char *>(data + 1);
  size_t rest = size - 1;
  const char *nul = static_cast<const char *>(memchr(text, '\0', rest));
  size_t textLength = nul != nullptr ? size_t(nul - text) : rest;

  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  Dictionary_SetCaseSensitive(d, flags & 1);
  Dictionary_SetAllowDuplicates(d, (flags >> 1) & 1);
  Dictionary_SetHashPrefix(d, (flags >> 2) & 1);
  Dictionary_SetStringPool(d, (flags >> 3) & 1);
  Dictionary_SetPoolGrowth(d, 1 + (flags >> 5));
  size_t observed = 0;
  if (flags & 0x10) {
    Dictionary_SetItemAddedCallback(d, &observed, fuzzObserver);
    Dictionary_SetItemRemovedCallback(d, &observed, fuzzRemoved);
  }
  Dictionary_ParseKeyValueText(d, text, int32_t(textLength), '=', ';');

  if (nul != nullptr) {
    const char *p = nul + 1;
    const char *end = text + rest;
    while (p < end) {
      const char *newline = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
      const char *lineEnd = newline != nullptr ? newline : end;
      // A NUL inside a line ends its text, as it would for any caller.
      std::string line(p, size_t(lineEnd - p));
      line.resize(strlen(line.c_str()));
      fuzzLine(d, line);
      fuzzWalk(d);
      p = lineEnd + 1;
    }
  }
  Dictionary_Release(&d);
  return 0;
}
