// Reads a metafile from memory the way the document request does (node
// callbacks on a JSON reader without a target, then the completion step),
// for the tests, the fuzz target and the benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/metafile.h"
#include "core/formats/json.h"
#include "core/net/webget.h"

struct MetaFileResult {
  uint32_t code;    // 0, 987 (the reader stopped) or 976 (refused)
  uint32_t codeEx;  // the reader's error code with 987
};

inline MetaFileResult MetaFile_TestLoad(MetaFile *m, const char *text, int32_t length) {
  MetaFile_Reset(m);
  Json *json = nullptr;
  Json_Create(&json);
  Json_SetNodeCallback(json, m, MetaFile_OnKey);
  int parsed = Json_ParseMemory(json, text, length);
  int32_t error = 0;
  Json_GetErrorCode(json, &error);
  Json_Release(&json);
  if (!parsed) return {kWebGetErrorJson, uint32_t(error)};
  return MetaFile_Finish(m) ? MetaFileResult{0, 0} : MetaFileResult{kWebGetErrorInvalidContent, 0};
}

// Every scalar node of a JSON text as (path, value) in document order, for
// reading vector files without building a tree. Empty when the text does not
// parse.
struct TestJsonNode {
  std::string path;
  std::string value;
};

inline int32_t testJsonCollect(Json *, void *context, const char *path, int32_t type,
                               const char *value, int32_t length, int64_t, int32_t, int32_t,
                               int32_t *) {
  if (type == kJsonNodeObject || type == kJsonNodeArray) return 1;
  static_cast<std::vector<TestJsonNode> *>(context)->push_back(
      {path, std::string(value, size_t(length))});
  return 1;
}

inline std::vector<TestJsonNode> Test_JsonNodes(const std::string &text) {
  std::vector<TestJsonNode> nodes;
  Json *json = nullptr;
  Json_Create(&json);
  Json_SetNodeCallback(json, &nodes, testJsonCollect);
  if (!Json_ParseMemory(json, text.data(), int32_t(text.size()))) nodes.clear();
  Json_Release(&json);
  return nodes;
}
