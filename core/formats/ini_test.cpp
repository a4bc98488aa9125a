#include "core/formats/ini.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/runtime/memstream.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

std::string lengthField(char tag, const char *text, int32_t length) {
  return std::string(1, tag) + std::to_string(length) + ":" + std::string(text, size_t(length));
}

// The canonical form of tests/gen_ini.py: keyed Strings and Dictionaries.
std::string canon(Dictionary *d) {
  std::string out;
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(d, &item); item != nullptr; Dictionary_GetNextItem(d, item, &item)) {
    const char *key = nullptr;
    Dictionary_GetItemKey(d, item, &key);
    out += key ? lengthField('K', key, int32_t(strlen(key))) : "-";
    Dictionary *child = nullptr;
    if (Dictionary_GetItemContainer(d, item, &child)) {
      out += "D(" + canon(child) + ")";
      continue;
    }
    const char *text = nullptr;
    int32_t length = 0;
    Dictionary_GetItemText(d, item, &text, &length);
    out += lengthField('S', text, length);
  }
  return out;
}

struct Memory {
  MemoryStream *m = nullptr;
  Stream *s = nullptr;
  explicit Memory(const std::string *text = nullptr) {
    MemoryStream_Create(&m);
    if (text != nullptr) {
      MemoryStream_Attach(m, const_cast<char *>(text->data()), int32_t(text->size()),
                          int32_t(text->size()));
    } else {
      MemoryStream_EnableGrowth(m);
    }
    MemoryStream_GetStream(m, &s);
  }
  ~Memory() { MemoryStream_Release(&m); }
  std::string Text() {
    uint8_t *bytes = nullptr;
    if (!MemoryStream_GetBuffer(m, 0, &bytes)) return "";
    std::string out(reinterpret_cast<char *>(bytes), size_t(MemoryStream_GetLength(m)));
    MemoryStream_ReleaseBuffer(m, &bytes);
    return out;
  }
};

struct Fixture {
  Ini *ini = nullptr;
  Dictionary *d = nullptr;
  Fixture() {
    Ini_Create(&ini);
    Dictionary_Create(&d);
    Dictionary_SetHashPrefix(d, 0);
    Ini_SetDictionary(ini, d);
  }
  ~Fixture() {
    if (ini != nullptr) Ini_Release(&ini);
    Dictionary_Release(&d);
  }
  int32_t Parse(const std::string &text) {
    Memory in(&text);
    return Ini_Parse(ini, in.s);
  }
  std::string Write(int32_t *result = nullptr) {
    Memory out;
    int32_t r = Ini_Write(ini, out.s);
    if (result != nullptr) *result = r;
    return out.Text();
  }
};

TEST(IniOracle, ReaderMatchesConfigparser) {
  std::string file = Test_ReadVectors("ini_files.txt");
  std::vector<std::string> records;
  size_t pos = 0;
  while (pos < file.size()) {
    size_t nl = file.find('\n', pos);
    size_t n = std::stoul(file.substr(file.find(' ', pos) + 1, nl));
    records.push_back(file.substr(nl + 1, n));
    pos = nl + 1 + n + 1;
  }
  ASSERT_GT(records.size(), 100u);
  int cases = 0, failures = 0;
  for (size_t i = 1; i + 1 < records.size(); i += 2) {
    Fixture f;
    cases++;
    int32_t ok = f.Parse(records[i]);
    std::string got = ok ? canon(f.d) : "failed";
    if (got != records[i + 1] && ++failures <= 5)
      ADD_FAILURE() << "seed " << records[0] << " file " << cases << "\n"
                    << records[i] << "\nwant: " << records[i + 1] << "\ngot:  " << got;
  }
  EXPECT_EQ(failures, 0) << "seed " << records[0];
}

TEST(IniRead, Lines) {
  struct Row {
    const char *text;
    int32_t result;
    const char *want;
    const char *log;
  } rows[] = {
      {"a=1\n", 1, "K1:aS1:1", "Found parameter [a=1 @ Line 1]"},
      {"[s]\r\nk=v\r\n", 1, "K1:sD(K1:kS1:v)", "Found section [s @ Line 1]"},
      {" k = v \n", 1, "K3: k S3: v ", nullptr},
      {"dir=a\\\\b\n", 1, "K3:dirS3:a\\b", nullptr},
      {"e=\\t\\n\\r\\:\\;\\x\n", 1, "K1:eS7:\t\n\r:;\\x", nullptr},
      {"k=\n=v\n", 1, "", nullptr},
      {"c=;not a comment\n;comment\n", 1, "K1:cS14:;not a comment",
       "Found comment [;comment @ Line 2]"},
      {"[s]\n[t]\n[s]\nk=1\n", 1, "K1:sD(K1:kS1:1)K1:tD()", nullptr},
      {"a=1\n\n\n\rnovalue\n", 0, "K1:aS1:1", "Malformed key/value pair format [novalue @ Line 2]"},
      {"[s\n", 0, "", "Malformed section header [[s @ Line 1]"},
      {"k=a\\", 1, "K1:kS2:a\\", nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    Fixture f;
    TestLogCapture capture;
    EXPECT_EQ(f.Parse(row.text), row.result);
    std::string log = capture.Take();
    EXPECT_EQ(canon(f.d), row.want);
    if (row.log != nullptr) {
      EXPECT_NE(log.find(row.log), std::string::npos) << log;
    }
  }
  Fixture f;
  TestLogCapture capture;
  std::string longLine = "k=" + std::string(kIniMaxLineBytes, 'v') + "\nz=1\n";
  EXPECT_EQ(f.Parse("a=1\n" + longLine), 0);
  EXPECT_NE(capture.Take().find("Line too long [4097 @ Line 2]"), std::string::npos);
  EXPECT_EQ(canon(f.d), "K1:aS1:1");
}

TEST(IniWrite, LayoutAndRoundTrip) {
  Fixture f;
  Dictionary_AddString(f.d, "top", "1", nullptr);
  Dictionary *s = nullptr, *nested = nullptr;
  Dictionary_AddDictionary(f.d, "sec\tname\\x", &s, nullptr);
  Dictionary_AddString(s, "k\ney", "v\r\n\t\\n", nullptr);
  Dictionary_AddBoolean(s, "b", 1, nullptr);
  Dictionary_AddNull(s, "n", nullptr);
  Dictionary_AddFloat64(s, "f", 1.5, nullptr);
  Dictionary_AddString(s, "empty", "", nullptr);
  Dictionary_AddList(s, "skipped", &nested, nullptr);
  Dictionary_AddString(nested, nullptr, "x", nullptr);
  Dictionary_AddString(s, " sp ", " v ", nullptr);
  int32_t result = 0;
  std::string text = f.Write(&result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(text,
            "top=1\r\n\r\n[sec\\tname\\\\x]\r\nk\\ney=v\\r\\n\\t\\\\n\r\nb=true\r\nn=null\r\n"
            "f=1.5\r\nempty=\r\n sp = v \r\n\r\n");
  Fixture back;
  ASSERT_EQ(back.Parse(text), 1);
  EXPECT_EQ(canon(back.d),
            "K3:topS1:1K10:sec\tname\\xD(K4:k\neyS6:v\r\n\t\\nK1:bS4:trueK1:nS4:nullK1:fS3:1.5"
            "K4: sp S3: v )");
  f.ini->lineEnd[0] = '\n';
  f.ini->lineEnd[1] = 0;
  Dictionary_Clear(f.d);
  Dictionary_AddDictionary(f.d, "s", &s, nullptr);
  Dictionary_AddString(s, "k", "v", nullptr);
  EXPECT_EQ(f.Write(), "[s]\nk=v\n\n");
}

TEST(IniWrite, NamesThatCannotReadBackFailBeforeWriting) {
  struct Row {
    const char *section;  // NULL: the key sits at the top
    const char *key;
  } rows[] = {{nullptr, "a=b"}, {nullptr, "[x"}, {nullptr, ";x"}, {nullptr, ""},
              {"s", "k=v"},     {"s]", "k"},      {"s", ";c"}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.key);
    Fixture f;
    Dictionary_AddString(f.d, "good", "1", nullptr);
    Dictionary *target = f.d;
    if (row.section != nullptr) Dictionary_AddDictionary(f.d, row.section, &target, nullptr);
    Dictionary_AddString(target, row.key, "v", nullptr);
    TestLogCapture capture;
    int32_t result = 1;
    EXPECT_EQ(f.Write(&result), "");
    EXPECT_EQ(result, 0);
    EXPECT_NE(capture.Take().find("cannot be written"), std::string::npos);
  }
}

TEST(IniWrite, ASectionNameThatAnotherItemHoldsFails) {
  for (bool scalarFirst : {true, false}) {
    SCOPED_TRACE(scalarFirst);
    Fixture f;
    if (scalarFirst) Dictionary_AddString(f.d, "s", "v", nullptr);
    Dictionary_AddDictionary(f.d, "s", nullptr, nullptr);
    if (!scalarFirst) Dictionary_AddDictionary(f.d, "s", nullptr, nullptr);
    TestLogCapture capture;
    int32_t result = 1;
    EXPECT_EQ(f.Write(&result), "");
    EXPECT_EQ(result, 0);
    EXPECT_NE(capture.Take().find("Section name cannot be written [s]"), std::string::npos);
  }
}

TEST(IniLife, ReleaseLeavesTheTargetWhole) {
  Fixture f;
  ASSERT_EQ(f.Parse("a=1\n[s]\nk=v\n"), 1);
  Ini_Release(&f.ini);
  EXPECT_EQ(f.ini, nullptr);
  EXPECT_EQ(canon(f.d), "K1:aS1:1K1:sD(K1:kS1:v)");
  Ini *ini = nullptr;
  Ini_Create(&ini);
  EXPECT_STREQ(ini->lineEnd, "\r\n");
  std::string text = "a=1\n";
  Memory in(&text);
  EXPECT_EQ(Ini_Parse(ini, in.s), 0);  // no target
  Ini_Release(&ini);
}

TEST(IniDeathTest, WrongObjectsStop) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  auto *notIni = reinterpret_cast<Ini *>(d);
  EXPECT_DEATH(Ini_SetDictionary(nullptr, d), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Ini_Create(nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Ini_SetDictionary(notIni, d),
               "ABORT - Class mismatch pointer \\(0x[0-9A-F]+: expected 0x438b69f6 but was "
               "0xc1d1faa9\\)\n");
  Ini *ini = nullptr;
  Ini_Create(&ini);
  EXPECT_DEATH(Ini_Parse(ini, nullptr), "ABORT - Pointer is NULL\n");
  Ini_Release(&ini);
  Dictionary_Release(&d);
}

}  // namespace
