#include "core/formats/yaml.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/runtime/memstream.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

// ---- Canonical form (the same as tests/gen_yaml.py writes) ---------------------

std::string lengthField(char tag, const char *text, int32_t length) {
  return std::string(1, tag) + std::to_string(length) + ":" + std::string(text, size_t(length));
}

std::string canonItems(Dictionary *d);

std::string canonValue(Dictionary *d, DictionaryItem *item) {
  DictionaryType type = 0;
  Dictionary_GetItemType(d, item, &type);
  const char *text = nullptr;
  int32_t length = 0;
  Dictionary *child = nullptr;
  switch (type) {
    case kDictionaryTypeNull: return "N";
    case kDictionaryTypeBoolean: {
      int32_t value = 0;
      Dictionary_GetItemBoolean(d, item, &value);
      return value ? "T" : "F";
    }
    case kDictionaryTypeFloat64:
      Dictionary_GetItemText(d, item, &text, &length);
      return lengthField('R', text, length);
    case kDictionaryTypeString:
      Dictionary_GetItemText(d, item, &text, &length);
      return lengthField('S', text, length);
    case kDictionaryTypeList:
      Dictionary_GetItemContainer(d, item, &child);
      return "L(" + canonItems(child) + ")";
    case kDictionaryTypeDictionary:
      Dictionary_GetItemContainer(d, item, &child);
      return "D(" + canonItems(child) + ")";
    default: return "?" + std::to_string(type);
  }
}

std::string canonItems(Dictionary *d) {
  std::string out;
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(d, &item); item != nullptr; Dictionary_GetNextItem(d, item, &item)) {
    const char *key = nullptr;
    Dictionary_GetItemKey(d, item, &key);
    out += key ? lengthField('K', key, int32_t(strlen(key))) : "-";
    out += canonValue(d, item);
  }
  return out;
}

// Builds the items of a canonical form into d; pos moves past them.
void buildItems(Dictionary *d, const std::string &c, size_t &pos) {
  auto readField = [&](size_t &p) {
    size_t colon = c.find(':', p);
    size_t n = std::stoul(c.substr(p + 1, colon - p - 1));
    std::string text = c.substr(colon + 1, n);
    p = colon + 1 + n;
    return text;
  };
  while (pos < c.size() && c[pos] != ')') {
    std::string key;
    bool keyed = c[pos] == 'K';
    if (keyed) key = readField(pos);
    else pos++;
    const char *k = keyed ? key.c_str() : nullptr;
    DictionaryItem *item = nullptr;
    char t = c[pos];
    if (t == 'N') {
      Dictionary_AddNull(d, k, &item);
      pos++;
    } else if (t == 'T' || t == 'F') {
      Dictionary_AddBoolean(d, k, t == 'T', &item);
      pos++;
    } else if (t == 'R' || t == 'S') {
      std::string text = readField(pos);
      Dictionary_AddKey(d, k, &item);
      Dictionary_SetItemType(d, item, t == 'R' ? kDictionaryTypeFloat64 : kDictionaryTypeString);
      Dictionary_SetItemText(d, item, text.data(), int32_t(text.size()));
    } else {
      Dictionary *child = nullptr;
      if (t == 'L') Dictionary_AddList(d, k, &child, &item);
      else Dictionary_AddDictionary(d, k, &child, &item);
      pos += 2;
      buildItems(child, c, pos);
      pos++;  // ')'
    }
  }
}

struct Record {
  std::string tag;
  std::string data;
};

std::vector<Record> readRecords(const std::string &file) {
  std::vector<Record> out;
  size_t pos = 0;
  while (pos < file.size()) {
    size_t nl = file.find('\n', pos);
    if (nl == std::string::npos) break;
    std::string head = file.substr(pos, nl - pos);
    size_t space = head.find(' ');
    size_t n = std::stoul(head.substr(space + 1));
    out.push_back({head.substr(0, space), file.substr(nl + 1, n)});
    pos = nl + 1 + n + 1;
  }
  return out;
}

struct Fixture {
  Yaml *yaml = nullptr;
  Dictionary *d = nullptr;
  Fixture() {
    Yaml_Create(&yaml);
    Dictionary_Create(&d);
    Dictionary_SetHashPrefix(d, 0);
    Yaml_SetDictionary(yaml, d);
  }
  ~Fixture() {
    Yaml_Release(&yaml);
    Dictionary_Release(&d);
  }
  int32_t Parse(const std::string &text) {
    return Yaml_ParseMemory(yaml, text.data(), int32_t(text.size()));
  }
  int32_t Error() {
    int32_t code = -1;
    Yaml_GetErrorCode(yaml, &code);
    return code;
  }
  std::string Write() {
    int64_t length = 0;
    EXPECT_EQ(Yaml_GetWriteLength(yaml, &length), 1);
    std::string out(size_t(length), '\0');
    int32_t written = 0;
    EXPECT_EQ(Yaml_WriteMemory(yaml, out.data(), int32_t(out.size()), &written), 1);
    EXPECT_EQ(written, length);
    return out;
  }
};

// ---- Against PyYAML ---------------------------------------------------------------

TEST(YamlOracle, ReaderMatchesPyYamlCompose) {
  std::vector<Record> records = readRecords(Test_ReadVectors("yaml_reader.txt"));
  ASSERT_GT(records.size(), 2000u);
  std::string seed = records[0].data;
  int cases = 0, failures = 0;
  for (size_t i = 1; i + 1 < records.size(); i += 2) {
    Fixture f;
    cases++;
    int32_t ok = f.Parse(records[i].data);
    std::string got = ok ? canonItems(f.d) : "error " + std::to_string(f.Error());
    if (got != records[i + 1].data && ++failures <= 5)
      ADD_FAILURE() << "seed " << seed << " case " << cases << "\ndocument:\n"
                    << records[i].data << "\nwant: " << records[i + 1].data << "\ngot:  " << got;
  }
  EXPECT_EQ(failures, 0) << "of " << cases << " documents (seed " << seed << ")";
  EXPECT_GE(cases, 1000);
}

TEST(YamlOracle, WriterRoundTripsAndPyYamlAgrees) {
  std::vector<Record> records = readRecords(Test_ReadVectors("yaml_writer_trees.txt"));
  ASSERT_GT(records.size(), 100u);
  std::string seed = records[0].data;
  std::string toCheck;
  int failures = 0;
  for (size_t i = 1; i < records.size(); i++) {
    const std::string &want = records[i].data;
    Fixture f;
    size_t pos = 0;
    buildItems(f.d, want, pos);
    ASSERT_EQ(canonItems(f.d), want);
    std::string text = f.Write();
    Fixture back;
    int32_t ok = back.Parse(text);
    std::string got = ok ? canonItems(back.d) : "error " + std::to_string(back.Error());
    if (got != want && ++failures <= 5)
      ADD_FAILURE() << "seed " << seed << " tree " << i << "\ntext:\n" << text << "\nwant: " << want
                    << "\ngot:  " << got;
    toCheck += "doc " + std::to_string(text.size()) + "\n" + text + "\n";
    toCheck += "exp " + std::to_string(want.size()) + "\n" + want + "\n";
  }
  EXPECT_EQ(failures, 0) << "seed " << seed;
  std::string path = Test_VectorPath("yaml_writer_written.txt");
  std::ofstream(path, std::ios::binary) << toCheck;
  std::string command = Test_ReadVectors("yaml_check_command.txt");
  ASSERT_FALSE(command.empty());
  EXPECT_EQ(std::system((command + " " + path).c_str()), 0) << "PyYAML disagrees (seed " << seed << ")";
}

// ---- Reading ----------------------------------------------------------------------

TEST(YamlRead, TypingAndStructure) {
  struct Row {
    const char *text;
    const char *want;
  } rows[] = {
      {"a: 1\n", "K1:aR1:1"},
      {"b: NULL\n", "K1:bN"},
      {"c: True\n", "K1:cT"},
      {"x: {c: True}\n", "K1:xD(K1:cS4:True)"},
      {"list: [1, two]\n", "K4:listL(-R1:1-S3:two)"},
      {"o: 0o17\nn: -0o10\nh: 0x1F\nf: [0o17]\n", "K1:oR2:15K1:nR2:-8K1:hR4:0x1FK1:fL(-S4:0o17)"},
      {"e: 1.5e-3\nd: .5\nnot: 1.2.3\n", "K1:eR6:1.5e-3K1:dR2:.5K3:notS5:1.2.3"},
      {"p: multi\n  line\n\n  para\nq: x # c\n", "K1:pS15:multi line\npara" "K1:qS1:x"},
      {"a:\n  b:\n    c: 1\nd: 2\n", "K1:aD(K1:bD(K1:cR1:1))K1:dR1:2"},
      {"k:\n- a\n- b\nj: c\n", "K1:kL(-S1:a-S1:b)K1:jS1:c"},
      {"- - a\n  - b\n-\n  k: v\n-\n", "-L(-S1:a-S1:b)-D(K1:kS1:v)-N"},
      {"empty:\nnext: 1\n", "K5:emptyNK4:nextR1:1"},
      {"s: 'it''s\n  folded'\n", "K1:sS11:it's folded"},
      {"d: \"a\\\n   b\"\n", "K1:dS2:ab"},
      {"---\na: b\n...\n", "K1:aS1:b"},
      {"\xEF\xBB\xBF" "a: b\r\n", "K1:aS1:b"},
      {"# only a comment\n", ""},
      {"{a: [1, {b: }], c}\n", "K1:aL(-R1:1-D(K1:bN))K1:cN"},
      // ':' with text after it begins a flow plain scalar, keys included; a
      // pair in a flow sequence is a mapping of its own.
      {"{:x: y}\n", "K2::xS1:y"},
      {"[a: [b: 1], c: ]\n", "-D(K1:aL(-D(K1:bR1:1)))-D(K1:cN)"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    Fixture f;
    ASSERT_EQ(f.Parse(row.text), 1) << f.Error();
    EXPECT_EQ(canonItems(f.d), row.want);
  }
}

TEST(YamlRead, FailuresSetTheirCode) {
  std::string deep33(33, '['), deep32(32, '[');
  deep33 += std::string(33, ']');
  deep32 += std::string(32, ']');
  std::string longKey = std::string(320, 'k') + ": v\n";
  struct Row {
    std::string text;
    int32_t code;
    const char *message;
  } rows[] = {
      {"", kYamlErrorEmpty, "Stream is empty"},
      {"a: b\n---\nc: d\n", kYamlErrorSecondDocument, "Second document"},
      {"---\n---\n", kYamlErrorSecondDocument, "Second document"},
      {"a: b\n...\nc: d\n", kYamlErrorSecondDocument, "Second document"},
      {"a: \"open\n", kYamlErrorEndOfStream, "Unexpected end of stream [1:"},
      {"a: 'open", kYamlErrorEndOfStream, "Unexpected end of stream"},
      {"a: [1, 2\n", kYamlErrorEndOfStream, "Unexpected end of stream"},
      {"{a: 1", kYamlErrorEndOfStream, "Unexpected end of stream"},
      {deep33, kYamlErrorSyntax, "Nesting deeper than 32 levels"},
      {longKey, kYamlErrorSyntax, "Map key exceeded length limit ["},
      {"a: @x\n", kYamlErrorSyntax, " Invalid use of Reserved Indicator [@ @ 1:4]"},
      {"- `x\n", kYamlErrorSyntax, " Invalid use of Reserved Indicator [` @ 1:3]"},
      {"a: 1\n- b\n", kYamlErrorSyntax, "Unexpected character parsing block sequence [- @ 2:1]"},
      {"---x\n", kYamlErrorSyntax, "Unexpected character in document directive [x @ 1:4]"},
      {"a: 1\nb\n", kYamlErrorSyntax, "Unknown collection [b @ 2:1]"},
      {"[a, b] x\n", kYamlErrorSyntax, "Unknown collection [x @ 1:8]"},
      // An empty key, a second ':' and a key whose ':' is on the next line.
      {"[: x]\n", kYamlErrorSyntax, "Unknown collection [: @ 1:2]"},
      {"{a: :}\n", kYamlErrorSyntax, "Unknown collection [: @ 1:5]"},
      {"[a: b: c]\n", kYamlErrorSyntax, "Unknown collection [: @ 1:6]"},
      {"[\"q\"\n: v]\n", kYamlErrorSyntax, "Unknown collection [: @ 2:1]"},
      {"a: \"\\q\"\n", kYamlErrorEscape, "Unexpected escape character in string [q @ 1:6]"},
      {"a: \"\\u12G4\"\n", kYamlErrorEscape, "Unexpected Unicode hex characters [12G4 @ 1:7]"},
      {"a: \"\\uD800\"\n", kYamlErrorEscape, "Unexpected Unicode character value [\\ud800"},
      {"a: \"\\U00110000\"\n", kYamlErrorEscape, "Unexpected Unicode character value [\\u110000"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    Fixture f;
    TestLogCapture capture;
    EXPECT_EQ(f.Parse(row.text), 0);
    std::string log = capture.Take();
    EXPECT_EQ(f.Error(), row.code);
    EXPECT_NE(log.find(row.message), std::string::npos) << log;
    // The first failure is kept with the place the reader stood.
    int32_t line = 0, column = 0;
    const char *text = nullptr;
    EXPECT_EQ(Yaml_GetErrorPosition(f.yaml, &line, &column, &text), 1);
    EXPECT_NE(log.find(text), std::string::npos) << text;
    std::string at = "@ " + std::to_string(line) + ":" + std::to_string(column) + "]";
    if (strstr(row.message, " @ ") != nullptr) {
      EXPECT_NE(std::string(text).find(at), std::string::npos) << text << " " << at;
    }
  }
  Fixture f;
  ASSERT_EQ(f.Parse(deep32), 1);
  Dictionary *inner = f.d;
  int depth = 0;
  for (DictionaryItem *item = nullptr; Dictionary_GetFirstItem(inner, &item);
       Dictionary_GetItemContainer(inner, item, &inner))
    depth++;
  EXPECT_EQ(depth, 31);  // the outermost list is the document itself
}

TEST(YamlRead, ErrorGoesToTheStreamErrorWord) {
  const char text[] = "a: [1\n";
  for (int32_t preset : {0, -7, 9}) {
    SCOPED_TRACE(preset);
    Fixture f;
    MemoryStream *m = nullptr;
    MemoryStream_Create(&m);
    MemoryStream_Attach(m, const_cast<char *>(text), int32_t(strlen(text)), int32_t(strlen(text)));
    Stream *s = nullptr;
    MemoryStream_GetStream(m, &s);
    s->error = preset;
    EXPECT_EQ(Yaml_ParseStream(f.yaml, s), 0);
    EXPECT_EQ(s->error, preset > 0 ? preset : kYamlErrorEndOfStream);
    MemoryStream_Release(&m);
  }
  Fixture f;  // a good text with an error already on the stream still fails
  MemoryStream *m = nullptr;
  MemoryStream_Create(&m);
  MemoryStream_Attach(m, const_cast<char *>("a: 1\n"), 5, 5);
  Stream *s = nullptr;
  MemoryStream_GetStream(m, &s);
  s->error = 3;
  EXPECT_EQ(Yaml_ParseStream(f.yaml, s), 0);
  EXPECT_EQ(f.Error(), 0);
  MemoryStream_Release(&m);
}

// A stream over a string that counts its Read calls.
struct CountingStream {
  Stream record{};
  std::string data;
  size_t pos = 0;
  int reads = 0;
  explicit CountingStream(std::string text) : data(std::move(text)) {
    record.context = this;
    record.Read = [](void *context, void *buffer, int32_t length, int32_t *read) -> int {
      auto *c = static_cast<CountingStream *>(context);
      c->reads++;
      size_t n = std::min(size_t(length), c->data.size() - c->pos);
      memcpy(buffer, c->data.data() + c->pos, n);
      c->pos += n;
      *read = int32_t(n);
      return n > 0;
    };
  }
};

TEST(YamlRead, InputComesInBlocksOfTheBufferSize) {
  std::string text;
  for (int i = 0; text.size() < 200000; i++)
    text += "key" + std::to_string(i) + ":\n  - [a, 'b', \"c\"]\n  - v: " + std::to_string(i) + "\n";
  CountingStream counting(text);
  Fixture f;
  ASSERT_EQ(Yaml_ParseStream(f.yaml, &counting.record), 1);
  int32_t count = 0;
  Dictionary_GetCount(f.d, &count);
  EXPECT_GT(count, 5000);
  size_t blocks = (text.size() + kYamlReadBufferBytes - 1) / kYamlReadBufferBytes;
  EXPECT_GE(size_t(counting.reads), blocks);
  EXPECT_LE(size_t(counting.reads), blocks + 2);
}

TEST(YamlRead, NoTargetChecksOnly) {
  Yaml *yaml = nullptr;
  Yaml_Create(&yaml);
  EXPECT_EQ(Yaml_ParseMemory(yaml, "a: [1, {b: c}]\n", 15), 1);
  EXPECT_EQ(Yaml_ParseMemory(yaml, "a: [1", 5), 0);
  Yaml_Release(&yaml);
  EXPECT_EQ(yaml, nullptr);
}

// ---- Writing ----------------------------------------------------------------------

TEST(YamlWrite, QuotesOnlyWhatWouldNotReadBack) {
  struct Row {
    const char *text;
    const char *written;
  } rows[] = {
      {"plain words", "plain words"},   {"x y ", "\"x y \""},       {"", "\"\""},
      {"true", "\"true\""},             {"Null", "\"Null\""},       {"123", "\"123\""},
      {"0x1F", "\"0x1F\""},             {"0o17", "\"0o17\""},       {"- x", "\"- x\""},
      {"# x", "\"# x\""},               {"a: b", "\"a: b\""},       {"x #y", "\"x #y\""},
      {"x#y", "x#y"},                   {"a:b", "a:b"},             {"end:", "\"end:\""},
      {"&a", "\"&a\""},                 {"`x", "\"`x\""},           {"\"q", "\"\\\"q\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""}, {"it's", "it's"},   {"-x", "-x"},
      {"line\nfeed", "\"line\\nfeed\""}, {"tab\t", "\"tab\\t\""},   {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"\xe2\x80\xa8", "\"\\L\""},     {"bell\x07", "\"bell\\x07\""}, {"---", "\"---\""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    Fixture f;
    Dictionary_AddString(f.d, "a", row.text, nullptr);
    EXPECT_EQ(f.Write(), std::string("a: ") + row.written + "\n");
    Fixture back;
    ASSERT_EQ(back.Parse(f.Write()), 1);
    EXPECT_EQ(canonItems(back.d), canonItems(f.d));
  }
}

TEST(YamlWrite, LayoutEmptyContainersAndUnknown) {
  Fixture f;
  Dictionary *list = nullptr, *map = nullptr, *inner = nullptr;
  Dictionary_AddList(f.d, "list", &list, nullptr);
  Dictionary_AddString(list, nullptr, "a", nullptr);
  Dictionary_AddDictionary(list, nullptr, &inner, nullptr);
  Dictionary_AddBoolean(inner, "k", 1, nullptr);
  Dictionary_AddList(f.d, "none", nullptr, nullptr);
  Dictionary_AddDictionary(f.d, "map", &map, nullptr);
  Dictionary_AddDictionary(map, "empty", nullptr, nullptr);
  Dictionary_AddKey(map, "unknown", nullptr);
  DictionaryItem *number = nullptr;
  Dictionary_AddKey(map, "number", &number);
  Dictionary_SetItemType(map, number, kDictionaryTypeFloat64);
  EXPECT_EQ(f.Write(),
            "list:\n  - a\n  -\n    k: true\nnone: []\nmap:\n  empty: {}\n  unknown: null\n"
            "  number: null\n");
  Fixture back;
  ASSERT_EQ(back.Parse(f.Write()), 1);
  EXPECT_EQ(canonItems(back.d), "K4:listL(-S1:a-D(K1:kT))K4:noneL()K3:mapD(K5:emptyD()K7:unknownNK6:numberN)");
}

TEST(YamlWrite, AnyWritableStreamWillDoAndShortBuffersFail) {
  Fixture f;
  Dictionary_AddString(f.d, "a", "x y ", nullptr);
  Dictionary_AddString(f.d, "b", "plain", nullptr);
  struct WriteOnly {
    Stream record{};
    std::string out;
  } sink;
  sink.record.context = &sink;
  sink.record.Write = [](void *context, const void *data, int32_t length, int32_t *written) -> int {
    static_cast<WriteOnly *>(context)->out.append(static_cast<const char *>(data), size_t(length));
    *written = length;
    return 1;
  };
  ASSERT_EQ(Yaml_WriteStream(f.yaml, &sink.record), 1);
  EXPECT_EQ(sink.out, "a: \"x y \"\nb: plain\n");
  char small[10];
  int32_t length = -1;
  EXPECT_EQ(Yaml_WriteMemory(f.yaml, small, int32_t(sizeof(small)), &length), 0);
  EXPECT_LE(length, 10);
  Yaml *none = nullptr;
  Yaml_Create(&none);
  EXPECT_EQ(Yaml_WriteStream(none, &sink.record), 0);
  Yaml_Release(&none);
}

TEST(YamlDeathTest, WrongObjectsStop) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  auto *notYaml = reinterpret_cast<Yaml *>(d);
  int32_t code = 0;
  EXPECT_DEATH(Yaml_GetErrorCode(nullptr, &code), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Yaml_Create(nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Yaml_ParseMemory(notYaml, "a", 1),
               "ABORT - Class mismatch pointer \\(0x[0-9A-F]+: expected 0x52ad693a but was "
               "0xc1d1faa9\\)\n");
  Yaml *yaml = nullptr;
  Yaml_Create(&yaml);
  EXPECT_DEATH(Yaml_ParseStream(yaml, nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Yaml_GetErrorCode(yaml, nullptr), "ABORT - Pointer is NULL\n");
  Yaml_Release(&yaml);
  Dictionary_Release(&d);
}

}  // namespace
