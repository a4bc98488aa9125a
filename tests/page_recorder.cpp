// A recording page for the bridge's tests: see page_recorder.h.
#include "tests/page_recorder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "tests/interop_test_util.h"
#include "tests/test_util.h"

void PageRecorder_Deliver(void *requestContext, void *object, const char *text, int32_t flags) {
  auto *page = static_cast<PageRecorder *>(requestContext);
  EXPECT_EQ(flags, 0);
  page->texts.emplace_back(text);
  page->objects.push_back(object);
  if (page->then) page->then(page, object);
}

std::vector<std::string> PageRecorder_Records(const PageRecorder &page) {
  std::vector<std::string> records;
  for (const std::string &text : page.texts) {
    Dictionary *root = nullptr, *list = nullptr;
    Dictionary_Create(&root);
    Json *json = nullptr;
    Json_Create(&json);
    Json_SetDictionary(json, root);
    int32_t items = 0;
    if (!Json_ParseMemory(json, text.c_str(), int32_t(text.size())) ||
        !Dictionary_GetCount(root, &items) || items != 1 ||
        !Dictionary_GetListByIndex(root, 0, &list)) {
      records.push_back("(not a batch)");
    } else {
      int32_t count = 0;
      Dictionary_GetCount(list, &count);
      for (int32_t i = 0; i < count; i++) {
        Dictionary *record = nullptr;
        Dictionary_GetDictionaryByIndex(list, i, &record);
        records.push_back(InteropTest_JsonText(record));
      }
    }
    Json_Release(&json);
    Dictionary_Release(&root);
  }
  return records;
}

std::vector<std::string> PageRecorder_PythonRead(const std::vector<std::string> &texts,
                                                 const std::string &prefix) {
  std::string script = Test_ReadVectors("interop_script.txt");
  script.erase(script.find_last_not_of('\n') + 1);
  std::string command = "/usr/bin/python3 " + script + " --json";
  for (size_t i = 0; i < texts.size(); i++) {
    std::string path = Test_VectorPath(prefix + "_" + std::to_string(i) + ".json");
    std::ofstream(path, std::ios::binary) << texts[i];
    command += " " + path;
  }
  int status = -1;
  std::string output = Test_RunCommand(command, &status);
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines.size(), texts.size()) << "python3 exited with " << status << ": " << output;
  return lines;
}
