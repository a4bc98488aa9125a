#include "core/formats/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/runtime/memstream.h"
#include "core/runtime/str.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

std::string Hex(const char *data, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < length; i++) {
    out += kDigits[uint8_t(data[i]) >> 4];
    out += kDigits[uint8_t(data[i]) & 15];
  }
  return out;
}

std::string FromHex(const std::string &hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// The token form of tests/gen_json.py. byValue: numbers as V<double> (the
// writer may give a canonical text), non-finite and textless ones as Z.
void Tokens(Dictionary *c, DictionaryItem *item, std::vector<std::string> *out, bool byValue) {
  DictionaryType type = 0;
  Dictionary_GetItemType(c, item, &type);
  const char *text = nullptr;
  int32_t length = 0;
  switch (type) {
    case kDictionaryTypeDictionary:
    case kDictionaryTypeList: {
      Dictionary *child = nullptr;
      Dictionary_GetItemContainer(c, item, &child);
      int32_t count = 0;
      Dictionary_GetCount(child, &count);
      out->push_back((type == kDictionaryTypeList ? "A" : "O") + std::to_string(count));
      DictionaryItem *at = nullptr;
      for (Dictionary_GetFirstItem(child, &at); at != nullptr;
           Dictionary_GetNextItem(child, at, &at)) {
        if (type == kDictionaryTypeDictionary)
          out->push_back("K" + Hex(at->key ? at->key : "", at->key ? at->keyLength : 0));
        Tokens(child, at, out, byValue);
      }
      return;
    }
    case kDictionaryTypeBoolean:
      Dictionary_GetItemText(c, item, &text, &length);
      out->push_back(text[0] == 't' ? "T" : "F");
      return;
    case kDictionaryTypeString:
      Dictionary_GetItemText(c, item, &text, &length);
      out->push_back("S" + Hex(text, size_t(length)));
      return;
    case kDictionaryTypeInt64:
    case kDictionaryTypeFloat64: {
      Dictionary_GetItemText(c, item, &text, &length);
      if (!byValue) {
        out->push_back("N" + std::string(text, size_t(length)));
        return;
      }
      double value = 0;
      Dictionary_GetItemFloat64(c, item, &value);
      std::string number(text, size_t(length));
      if (!number.empty() && number[0] == '+') number.erase(0, 1);
      bool hex = number.rfind("0x", 0) == 0;
      char *end = nullptr;
      if (!hex && !number.empty()) strtod(number.c_str(), &end);
      bool readable = hex || (end != nullptr && *end == '\0' &&
                              number.find_first_of("0123456789") != std::string::npos &&
                              number.find_first_of("nN") == std::string::npos);
      if (length == 0 || !readable || !std::isfinite(value)) {
        out->push_back("Z");
        return;
      }
      char buffer[64];
      snprintf(buffer, sizeof buffer, "V%.17g", value);
      out->push_back(buffer);
      return;
    }
    default:
      out->push_back("Z");
      return;
  }
}

std::string RootTokens(Dictionary *d, bool byValue = false) {
  std::vector<std::string> out;
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(d, &item); item != nullptr; Dictionary_GetNextItem(d, item, &item))
    Tokens(d, item, &out, byValue);
  std::string joined;
  for (const std::string &t : out) joined += (joined.empty() ? "" : " ") + t;
  return joined;
}

struct Doc {
  std::string text;
  bool hashKey;
  std::string tree;
};

std::vector<Doc> LoadDocs() {
  std::vector<Doc> docs;
  std::istringstream in(Test_ReadVectors("json_docs.txt"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t a = line.find('\t'), b = line.find('\t', a + 1);
    docs.push_back({FromHex(line.substr(0, a)), line[a + 1] == 'h', line.substr(b + 1)});
  }
  return docs;
}

struct JsonFixture {
  Json *json = nullptr;
  Dictionary *d = nullptr;
  JsonFixture() {
    Json_Create(&json);
    Dictionary_Create(&d);
    Json_SetDictionary(json, d);
  }
  ~JsonFixture() {
    Json_Release(&json);
    Dictionary_Release(&d);
  }
  int32_t Parse(const std::string &text) {
    return Json_ParseMemory(json, text.data(), int32_t(text.size()));
  }
  int32_t Code() {
    int32_t code = -1;
    Json_GetErrorCode(json, &code);
    return code;
  }
  std::string Write(int32_t compact) {
    Json_SetCompact(json, compact);
    int32_t length = 0;
    EXPECT_TRUE(Json_GetWriteLength(json, &length));
    std::string out(size_t(length) + 1, '\0');
    int32_t written = -1;
    EXPECT_TRUE(Json_WriteMemory(json, out.data(), int32_t(out.size()), &written));
    EXPECT_EQ(written, length);
    out.resize(size_t(written));
    return out;
  }
};

// Runs the oracle's checker over writer output lines; answers its verdict.
bool PythonAccepts(const std::string &lines, const std::string &name) {
  std::string script = Test_ReadVectors("json_script.txt");
  while (!script.empty() && script.back() == '\n') script.pop_back();
  std::string path = Test_VectorPath(name);
  std::ofstream(path, std::ios::binary) << lines;
  std::string command = "/usr/bin/python3 " + script + " --check " + path;
  return std::system(command.c_str()) == 0;
}

// ---- Against Python's json ---------------------------------------------------

TEST(JsonOracle, ParsesLikePythonAndWritesWhatPythonReads) {
  std::vector<Doc> docs = LoadDocs();
  ASSERT_GE(docs.size(), 2000u) << "seed line in json_docs.txt";
  JsonFixture f;
  std::string written;
  int index = 0;
  for (const Doc &doc : docs) {
    SCOPED_TRACE(index++);
    Dictionary_SetHashPrefix(f.d, doc.hashKey ? 0 : 1);
    ASSERT_EQ(f.Parse(doc.text), 1) << doc.text;
    ASSERT_EQ(RootTokens(f.d), doc.tree) << doc.text;
    // The same through a stream, 4096 bytes at a time.
    MemoryStream *memory = nullptr;
    MemoryStream_Create(&memory);
    std::string copy = doc.text;
    MemoryStream_Attach(memory, copy.data(), int32_t(copy.size()), int32_t(copy.size()));
    Stream *stream = nullptr;
    MemoryStream_GetStream(memory, &stream);
    ASSERT_EQ(Json_ParseStream(f.json, stream), 1) << f.Code() << " " << doc.text;
    MemoryStream_Release(&memory);
    ASSERT_EQ(RootTokens(f.d), doc.tree);
    std::string compact = f.Write(1), pretty = f.Write(0);
    EXPECT_EQ(compact.find_first_of("\n\t\r"), std::string::npos) << compact;
    written += Hex(compact.data(), compact.size()) + "\t" + Hex(pretty.data(), pretty.size()) +
               "\t" + RootTokens(f.d) + "\n";
  }
  EXPECT_TRUE(PythonAccepts(written, "json_written.txt"));
}

TEST(JsonOracle, EveryProperPrefixFails) {
  std::vector<Doc> docs = LoadDocs();
  JsonFixture f;
  Json *bare = nullptr;
  Json_Create(&bare);
  Test_LogRecord quiet;
  size_t swept = 0;
  for (size_t i = 0; i < docs.size(); i++) {
    const std::string &text = docs[i].text;
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || (text[first] != '{' && text[first] != '['))
      continue;
    if (text.find_last_not_of(" \t\r\n") != text.size() - 1) continue;
    swept++;
    for (size_t n = 0; n < text.size(); n++) {
      SCOPED_TRACE(testing::Message() << "doc " << i << " prefix " << n);
      ASSERT_EQ(f.Parse(text.substr(0, n)), 0);
      ASSERT_NE(f.Code(), 0);
      ASSERT_EQ(Json_ParseMemory(bare, text.data(), int32_t(n)), 0);
      int32_t code = 0;
      Json_GetErrorCode(bare, &code);
      ASSERT_NE(code, 0);
    }
  }
  EXPECT_GT(swept, 1000u);
  Json_Release(&bare);
}

// Random trees built through the API, with what JSON cannot hold as such.
TEST(JsonWriter, RandomApiTreesAreValidJson) {
  std::mt19937 rng(0x15017);
  SCOPED_TRACE("seed 0x15017");
  const char *numberTexts[] = {"+1", ".5", "00", "-", "NaN", "Inf", "-Inf", "1.", "0x1F",
                               "12", "-0", "1e5", "abc", "+.5e-3", "007"};
  const char *strings[] = {"plain", "tab\there", "\x01\x1f ctl", "quote\" back\\",
                           "\xf0\x9f\x98\x80 smile", "\xe2\x82\xac", ""};
  std::string lines;
  JsonFixture f;
  for (int tree = 0; tree < 200; tree++) {
    Dictionary_Clear(f.d);
    Dictionary *root = nullptr;
    Dictionary_AddDictionary(f.d, nullptr, &root, nullptr);
    std::vector<Dictionary *> open{root};
    for (int n = 0; n < 40; n++) {
      Dictionary *c = open[rng() % open.size()];
      bool list = c->parentItem != nullptr &&
                  (c->parentItem->type & kDictionaryTypeMask) == kDictionaryTypeList;
      std::string key = "k" + std::to_string(n);
      const char *k = list ? nullptr : key.c_str();
      DictionaryItem *item = nullptr;
      switch (rng() % 8) {
        case 0:
          Dictionary_AddFloat64(c, k, std::vector<double>{NAN, INFINITY, -INFINITY, 0.1,
                                                          -3e300}[rng() % 5],
                                nullptr);
          break;
        case 1:
          Dictionary_AddKey(c, k, &item);
          Dictionary_SetItemType(c, item, rng() % 2 ? kDictionaryTypeFloat64 : kDictionaryTypeInt64);
          {
            const char *number = numberTexts[rng() % 15];
            Dictionary_SetItemText(c, item, number, int32_t(strlen(number)));
          }
          break;
        case 2:
          Dictionary_AddKey(c, k, nullptr);  // Unknown
          break;
        case 3:
          Dictionary_AddString(c, k, strings[rng() % 7], nullptr);
          break;
        case 4: {
          Dictionary *child = nullptr;
          if (rng() % 2)
            Dictionary_AddList(c, k, &child, nullptr);
          else
            Dictionary_AddDictionary(c, k, &child, nullptr);
          open.push_back(child);
          break;
        }
        case 5:
          Dictionary_AddBoolean(c, k, int32_t(rng() % 2), nullptr);
          break;
        case 6:
          Dictionary_AddInt64(c, k, int64_t(rng()) - 2000000000, nullptr);
          break;
        default:
          Dictionary_AddNull(c, k, nullptr);
          break;
      }
    }
    std::string compact = f.Write(1), pretty = f.Write(0);
    lines += Hex(compact.data(), compact.size()) + "\t" + Hex(pretty.data(), pretty.size()) +
             "\t" + RootTokens(f.d, true) + "\n";
  }
  EXPECT_TRUE(PythonAccepts(lines, "json_written_api.txt"));
}

// ---- Edge cases --------------------------------------------------------------

TEST(JsonReader, EdgeCases) {
  struct Row {
    const char *text;
    int32_t result;
    int32_t code;
    const char *tree;  // tokens of the root items, NULL: not checked
  };
  const Row rows[] = {
      {"{\"a\":1,\"a\":2}", 1, 0, "O2 K61 N1 K61 N2"},
      {"[1,2,]", 1, 0, "A2 N1 N2"},
      {"{\"a\":tx,\"b\":1}", 0, 7, nullptr},
      {"{\"a\":tru", 0, 2, nullptr},
      {"\"\\u00e9\"", 1, 0, "Sc3a9"},
      {"\"\\ud83d\\ude00\"", 1, 0, "Sf09f9880"},
      {"\"\\ud83dx\"", 1, 0, "Sefbfbd78"},
      {"\"\\ude00\\ud83d\"", 1, 0, "Sefbfbdefbfbd"},
      {"[01]", 0, 6, nullptr},
      {"[00,+1,.5,1e0,-]", 1, 0, "A5 N00 N+1 N.5 N1e0 N-"},
      {"{\"a\":1} trailing {{", 1, 0, "O1 K61 N1"},
      {"5", 1, 0, "N5"},
      {"-", 1, 0, "N-"},
      {"1e", 0, 2, nullptr},
      {"1e+", 0, 2, nullptr},
      {"[1", 0, 2, nullptr},
      {"  ", 0, 2, nullptr},
      {"\"abc", 0, 2, nullptr},
      {"nul", 0, 2, nullptr},
      {"nulx", 0, 8, nullptr},
      {"[1 2]", 1, 0, "A2 N1 N2"},
      {"@", 0, 4, nullptr},
      {"\"\\q\"", 0, 5, nullptr},
      {"\"\\u12g4\"", 0, 5, nullptr},
      {"{\"a\"}", 1, 0, "O0"},
      {"[true,false,null]", 1, 0, "A3 T F Z"},
      {"\"a\\u0000b\"", 1, 0, "S610062"},
  };
  JsonFixture f;
  Test_LogRecord quiet;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(f.Parse(row.text), row.result);
    EXPECT_EQ(f.Code(), row.code);
    if (row.tree != nullptr) {
      EXPECT_EQ(RootTokens(f.d), row.tree);
    }
  }
  EXPECT_EQ(f.Parse(""), 0);
  EXPECT_EQ(f.Code(), 1);
  EXPECT_STREQ(Json_ErrorName(7), "Boolean");
  EXPECT_STREQ(Json_ErrorName(2), "UnknownLength");
  EXPECT_STREQ(Json_ErrorName(13), "Unknown");
  // Duplicates: the first wins on lookup.
  f.Parse("{\"a\":1,\"a\":2}");
  Dictionary *members = nullptr;
  Dictionary_Unwrap(f.d, &members);
  int32_t a = 0;
  EXPECT_TRUE(Dictionary_GetInt32ByPath(members, "a", &a));
  EXPECT_EQ(a, 1);
}

// The reader builds plain trees in one step per item; a tree without
// duplicates or with observers must come out as the item calls make it, with
// every callback.
TEST(JsonReader, TargetSettingsAndObserversHold) {
  const char *text = "{\"a\":1,\"b\":[true,null,\"x\"],\"a\":\"two\",\"#h\":{}}";
  struct Row {
    int32_t duplicates;
    bool observed;
    const char *written;
    int32_t added, changed;  // callbacks at the root
  };
  const Row rows[] = {
      {1, false, "{\"a\":1,\"b\":[true,null,\"x\"],\"a\":\"two\",\"h\":{}}", 0, 0},
      {0, false, "{\"a\":\"two\",\"b\":[true,null,\"x\"],\"h\":{}}", 0, 0},
      {1, true, "{\"a\":1,\"b\":[true,null,\"x\"],\"a\":\"two\",\"h\":{}}", 4, 4},
  };
  struct Counts {
    int32_t added = 0, changed = 0;
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << row.duplicates << row.observed);
    Dictionary *d = nullptr;
    Dictionary_Create(&d);
    Dictionary_SetAllowDuplicates(d, row.duplicates);
    Counts counts;
    if (row.observed) {
      Dictionary_SetItemAddedCallback(
          d, &counts, [](Dictionary *, DictionaryItem *, void *c, const char *, const char *) {
            static_cast<Counts *>(c)->added++;
          });
      Dictionary_SetValueChangedCallback(
          d, &counts,
          [](Dictionary *, DictionaryItem *, void *c, const char *, const char *, int32_t) {
            static_cast<Counts *>(c)->changed++;
          });
    }
    Json *json = nullptr;
    Json_Create(&json);
    Json_SetDictionary(json, d);
    ASSERT_EQ(Json_ParseMemory(json, text, int32_t(strlen(text))), 1);
    char out[256];
    int32_t length = 0;
    ASSERT_EQ(Json_WriteMemory(json, out, sizeof out, &length), 1);
    EXPECT_EQ(std::string(out, size_t(length)), row.written);
    Dictionary *top = nullptr;
    Dictionary_Unwrap(d, &top);
    DictionaryItem *hidden = nullptr;
    ASSERT_EQ(Dictionary_FindKey(top, "h", nullptr, &hidden), 1);
    EXPECT_EQ(Dictionary_IsItemHidden(top, hidden), 1);
    EXPECT_EQ(counts.added, row.added);
    EXPECT_EQ(counts.changed, row.changed);
    Json_Release(&json);
    Dictionary_Release(&d);
  }
}

TEST(JsonReader, NestingLimitAndLongNames) {
  JsonFixture f;
  Test_LogRecord quiet;
  EXPECT_EQ(f.Parse(std::string(31, '[') + std::string(31, ']')), 1);
  EXPECT_EQ(f.Parse(std::string(32, '[') + std::string(32, ']')), 0);
  EXPECT_EQ(f.Code(), 4);
  std::string name(400, 'n');
  EXPECT_EQ(f.Parse("{\"" + name + "\":1,\"b\":2}"), 1);
  Dictionary *members = nullptr;
  Dictionary_Unwrap(f.d, &members);
  int32_t count = 0;
  Dictionary_GetCount(members, &count);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(members->items.first->keyLength, 319);  // the reader's name slot
}

TEST(JsonReader, MessagesCarryLineAndColumn) {
  JsonFixture f;
  TestLogCapture capture;
  f.Parse("[1,2,]");
  f.Parse("{\"a\":1,\n\"b\":@}");
  f.Parse("{\"a\":1");
  std::string log = capture.Take();
  EXPECT_NE(log.find("Comma not expected [, @ 0:6]"), std::string::npos) << log;
  EXPECT_NE(log.find("Unknown field type [@ @ 1:5]"), std::string::npos) << log;
  EXPECT_NE(log.find("Unexpected end of input [0:6]"), std::string::npos) << log;
}

TEST(JsonWriter, CompactPrettyAndLimits) {
  JsonFixture f;
  ASSERT_EQ(f.Parse("{\"l\":[1,true,null],\"s\":\"x\"}"), 1);
  EXPECT_EQ(f.Write(1), "{\"l\":[1,true,null],\"s\":\"x\"}");
  EXPECT_EQ(f.Write(0),
            "{\n    \"l\": [\n        1,\n        true,\n        null\n    ],\n    \"s\": \"x\"\n}\n");
  Json_SetCompact(f.json, 1);
  char small[10];
  int32_t length = -1;
  EXPECT_EQ(Json_WriteMemory(f.json, small, sizeof small, &length), 0);
  Dictionary_Clear(f.d);
  Dictionary_AddFloat64(f.d, "pi", 3.14159265, nullptr);
  Dictionary_AddKey(f.d, "u", nullptr);
  EXPECT_EQ(f.Write(1), "\"pi\":3.14159265,\"u\":null");
  Json *none = nullptr;
  Json_Create(&none);
  Stream *stream = nullptr;
  MemoryStream *memory = nullptr;
  MemoryStream_Create(&memory);
  MemoryStream_GetStream(memory, &stream);
  EXPECT_EQ(Json_WriteStream(none, stream), 0);
  MemoryStream_Release(&memory);
  Json_Release(&none);
}

// ---- Node callback -------------------------------------------------------------

struct Seen {
  std::vector<std::string> nodes;
  int vetoAt = -1;
};

int32_t Record(Json *, void *context, const char *path, int32_t type, const char *value,
               int32_t length, int64_t position, int32_t nodePosition, int32_t nodeSize,
               int32_t *errorCode) {
  auto *seen = static_cast<Seen *>(context);
  EXPECT_EQ(nodePosition, length);
  EXPECT_EQ(nodeSize, length);
  seen->nodes.push_back(std::string(path) + "|" + std::to_string(type) + "|" +
                        std::string(value, size_t(length)) + "|" + std::to_string(position));
  if (int(seen->nodes.size()) == seen->vetoAt) {
    *errorCode = 11;
    return 0;
  }
  return 1;
}

TEST(JsonCallback, PathsPositionsAndVeto) {
  const std::string text = "{\"a\": {\"b\": [10, true, \"s\", null]}, \"c\": -2.5}";
  for (bool withTarget : {true, false}) {
    SCOPED_TRACE(withTarget);
    Json *json = nullptr;
    Json_Create(&json);
    Dictionary *d = nullptr;
    Dictionary_Create(&d);
    if (withTarget) Json_SetDictionary(json, d);
    Seen seen;
    Json_SetNodeCallback(json, &seen, Record);
    ASSERT_EQ(Json_ParseMemory(json, text.data(), int32_t(text.size())), 1);
    std::vector<std::string> want = {
        "|3||0",          "a|3||6",   "a\\b|4||12",   "a\\b\\0|2|10|13",
        "a\\b\\1|5|true|17", "a\\b\\2|1|s|24", "a\\b\\3|6|null|28", "c|2|-2.5|41"};
    EXPECT_EQ(seen.nodes, want);
    int32_t count = 0;
    Dictionary_GetCount(d, &count);
    EXPECT_EQ(count, withTarget ? 1 : 0);
    seen.nodes.clear();
    seen.vetoAt = 5;
    EXPECT_EQ(Json_ParseMemory(json, text.data(), int32_t(text.size())), 0);
    int32_t code = 0;
    Json_GetErrorCode(json, &code);
    EXPECT_EQ(code, 11);
    EXPECT_EQ(seen.nodes.size(), 5u);
    Json_Release(&json);
    Dictionary_Release(&d);
  }
}

int32_t VetoWithoutCode(Json *, void *, const char *, int32_t, const char *, int32_t, int64_t,
                        int32_t, int32_t, int32_t *) {
  return 0;
}

TEST(JsonDeathTest, FatalPaths) {
  Json *json = nullptr;
  Json_Create(&json);
  Json_SetNodeCallback(json, nullptr, VetoWithoutCode);
  EXPECT_DEATH(Json_ParseMemory(json, "1 ", 2),
               "Assertion failed \\(ErrorCode != 0\\)\nError code not set during json parsing");
  EXPECT_DEATH(Json_ParseMemory(nullptr, "1", 1), "Pointer is NULL");
  EXPECT_DEATH(Json_ParseMemory(json, nullptr, 1), "Pointer is NULL");
  EXPECT_DEATH(Json_ParseMemory(json, nullptr, 0), "Pointer is NULL");
  // Same tag, another class (the XML parser's object).
  struct {
    ObjectHeader header;
  } other{};
  other.header.classTag = kJsonTag;
  EXPECT_DEATH(Json_Reset(reinterpret_cast<Json *>(&other)),
               "Class mismatch pointer \\(0x[0-9A-F]+: expected 0xc9b82f72 but was 0xc9b82f72\\)");
  other.header.classTag = 0x1234;
  EXPECT_DEATH(Json_Reset(reinterpret_cast<Json *>(&other)), "Class mismatch pointer");
  Json_Release(&json);
  EXPECT_EQ(json, nullptr);
}

}  // namespace
