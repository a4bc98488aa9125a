// Helpers shared by the Dictionary tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"

// A root Dictionary per test, in a tracked-memory cycle: the test fails when
// anything of the tree outlives its release.
class DictionaryFixture : public testing::Test {
 protected:
  void SetUp() override {
    Mem_Init(1);
    Dictionary_Create(&d);
  }
  void TearDown() override {
    if (d != nullptr) Dictionary_Release(&d);
    int64_t count = -1, bytes = -1;
    Mem_GetUsage(&count, &bytes);
    EXPECT_EQ(count, 0) << "tracked blocks left after the release";
    if (count != 0) Mem_DumpTracked();
    Mem_Shutdown();
  }
  Dictionary *d = nullptr;
};

// Collects the log lines of one container through its log hook.
struct LogLines {
  explicit LogLines(Dictionary *d) { Dictionary_SetLogHook(d, this, Hook); }
  static void Hook(void *context, const char *format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    Str_VPrintf(line, sizeof line, format, args);
    va_end(args);
    static_cast<LogLines *>(context)->lines.push_back(line);
  }
  std::vector<std::string> lines;
};

// "k1,k2,..." (keyless items as "-").
inline std::string DictionaryKeys(Dictionary *d) {
  std::string keys;
  DictionaryItem *item = nullptr;
  for (int more = Dictionary_GetFirstItem(d, &item); more;
       more = Dictionary_GetNextItem(d, item, &item)) {
    const char *key = nullptr;
    if (!keys.empty()) keys += ",";
    keys += Dictionary_GetItemKey(d, item, &key) ? key : "-";
  }
  return keys;
}

// "key=text|..." with keyless items as "=text" and items without text as
// "key=".
inline std::string DictionaryItemsText(Dictionary *d) {
  std::string out;
  DictionaryItem *item = nullptr;
  for (int more = Dictionary_GetFirstItem(d, &item); more;
       more = Dictionary_GetNextItem(d, item, &item)) {
    const char *key = nullptr;
    const char *text = nullptr;
    int32_t length = 0;
    if (!out.empty()) out += "|";
    if (Dictionary_GetItemKey(d, item, &key)) out += key;
    out += "=";
    if (Dictionary_GetItemText(d, item, &text, &length)) out.append(text, size_t(length));
  }
  return out;
}
