// Reading what the script-callback seam queued, for the notification and
// directory-size tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/platform/interopcallback.h"
#include "core/formats/json.h"

// A tree as compact JSON text ("null" for none). A tree that is not a
// wrapped document is written as its members, so they get their braces here.
inline std::string InteropTest_JsonText(Dictionary *d) {
  if (d == nullptr) return "null";
  Json *json = nullptr;
  Json_Create(&json);
  Json_SetDictionary(json, d);
  // Sized to the record, so a long one (a 4,096-byte read in Base64) is
  // never cut.
  int32_t length = 0;
  Json_GetWriteLength(json, &length);
  std::string text(size_t(length) + 1, '\0');
  Json_WriteMemory(json, text.data(), length + 1, &length);
  Json_Release(&json);
  text.resize(size_t(length));
  return text.empty() || (text[0] != '{' && text[0] != '[') ? "{" + text + "}" : text;
}

// Drains the seam's queue into texts appended to *texts, releasing each
// queued reference.
inline void InteropTest_TakeQueued(std::vector<std::string> *texts) {
  void *object = nullptr;
  while (Interop_TakeCallbackArgument(&object)) {
    auto *d = static_cast<Dictionary *>(object);
    texts->push_back(InteropTest_JsonText(d));
    Dictionary_Release(&d);
  }
}
