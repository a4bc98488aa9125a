#include "core/formats/plist.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "core/runtime/memstream.h"
#include "core/formats/xml.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"
#include "tests/xml_test_util.h"

namespace {

struct PlistFixture {
  Plist *plist = nullptr;
  Dictionary *d = nullptr;
  PlistFixture() {
    Plist_Create(&plist);
    Dictionary_Create(&d);
    Plist_SetDictionary(plist, d);
  }
  ~PlistFixture() {
    Plist_Release(&plist);
    Dictionary_Release(&d);
  }
  int32_t Read(const std::string &text) {
    MemoryStream *m = nullptr;
    MemoryStream_Create(&m);
    MemoryStream_Attach(m, const_cast<char *>(text.data()), int32_t(text.size()),
                        int32_t(text.size()));
    Stream *s = nullptr;
    MemoryStream_GetStream(m, &s);
    int32_t result = Plist_ReadStream(plist, s, "test.plist");
    MemoryStream_Release(&m);
    return result;
  }
  // Writes source (default: the target) and answers the text; *result the
  // write's result.
  std::string Write(int32_t *result) {
    MemoryStream *m = nullptr;
    MemoryStream_Create(&m);
    MemoryStream_EnableGrowth(m);
    Stream *s = nullptr;
    MemoryStream_GetStream(m, &s);
    *result = Plist_WriteStream(plist, s);
    uint8_t *bytes = nullptr;
    MemoryStream_GetBuffer(m, 0, &bytes);
    std::string out(reinterpret_cast<char *>(bytes), size_t(MemoryStream_GetLength(m)));
    MemoryStream_ReleaseBuffer(m, &bytes);
    MemoryStream_Release(&m);
    return out;
  }
};

const char kHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
    "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist version=\"1.0\">";

TEST(Plist, ReadEdgeCases) {
  struct Row {
    const char *body;
    int32_t result;
    const char *dump;  // of the keyless root's members; "" when the read fails
    const char *logged;
  } rows[] = {
      {"<dict><key>a</key><integer>5</integer></dict>", 1, "a:3:5", ""},
      {"<dict><key>flag</key><true/><key>off</key><false></false></dict>", 1,
       "flag:2:true,off:2:false", ""},
      {"<dict><key>s</key><string>  two\n lines  </string><key>e</key><string></string>"
       "<key>b</key><string>  </string></dict>",
       1, "s:5:  two\n lines  ,e:5:,b:5:  ", ""},
      {"<dict><key>x</key><integer>0x1F</integer><key>y</key><integer> -7 </integer>"
       "<key>r</key><real>1e3</real></dict>",
       1, "x:3:31,y:3:-7,r:4:1000", ""},
      {"<dict><key>d</key><date>2024-01-01T00:00:00Z</date></dict>", 0, "",
       "Unsupported data type encountered [date]"},
      {"<dict><key>d</key><data>AAEC</data></dict>", 0, "",
       "Unsupported data type encountered [data]"},
      {"<dict><key>i</key><integer>12x</integer></dict>", 0, "", "Invalid integer value [12x]"},
      {"<dict><key>i</key><integer>9223372036854775808</integer></dict>", 0, "",
       "Invalid integer value"},
      {"<dict><key>r</key><real>one</real></dict>", 0, "", "Invalid real value [one]"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.body);
    PlistFixture f;
    TestLogCapture capture;
    EXPECT_EQ(f.Read(std::string(kHead) + row.body + "</plist>"), row.result);
    std::string log = capture.Take();
    EXPECT_NE(log.find(row.logged), std::string::npos) << log;
    if (!row.result) continue;
    Dictionary *root = nullptr;
    ASSERT_TRUE(Dictionary_GetDictionaryByIndex(f.d, 0, &root));
    std::string dump;
    for (DictionaryItem *item = root->items.first; item != nullptr; item = item->next) {
      const char *text = "";
      int32_t length = 0;
      Dictionary_GetItemText(root, item, &text, &length);
      if (!dump.empty()) dump += ",";
      dump += std::string(item->key) + ":" + std::to_string(item->type & kDictionaryTypeMask) +
              ":" + std::string(text, size_t(length));
    }
    EXPECT_EQ(dump, row.dump);
  }
}

TEST(Plist, ReadWithoutPlistElementFails) {
  PlistFixture f;
  TestLogCapture capture;
  EXPECT_EQ(f.Read("<?xml version=\"1.0\"?><dict/>"), 0);
  EXPECT_NE(capture.Take().find("Failed to find plist doctype [test.plist]"), std::string::npos);
  EXPECT_EQ(f.Read(""), 0);  // the XML reader's ZeroLength
}

TEST(Plist, WriteEdgeCases) {
  PlistFixture f;
  Dictionary *list = nullptr;
  Dictionary_AddList(f.d, "l", &list, nullptr);
  Dictionary_AddString(list, nullptr, "a", nullptr);
  Dictionary_AddString(list, nullptr, "b<&>", nullptr);
  Dictionary_AddFloat64(f.d, "r", 0.1, nullptr);
  DictionaryItem *stored = nullptr;
  Dictionary_AddKey(f.d, "s", &stored);
  Dictionary_SetItemType(f.d, stored, kDictionaryTypeFloat64);
  Dictionary_SetItemText(f.d, stored, "1.50", 4);  // a valid real: written as stored
  Dictionary_AddKey(f.d, "h", &stored);
  Dictionary_SetItemType(f.d, stored, kDictionaryTypeFloat64);
  Dictionary_SetItemText(f.d, stored, "0x10", 4);  // not a plist real: its value is written
  Dictionary_AddBoolean(f.d, "t", 1, nullptr);
  Dictionary_AddInt64(f.d, "#n", -3, nullptr);  // hidden under the hash-prefix option
  int32_t result = 0;
  std::string text = f.Write(&result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(text, std::string(kHead) +
                      "<dict><key>l</key><array><string>a</string><string>b&lt;&amp;&gt;"
                      "</string></array><key>r</key><real>0.1</real><key>s</key><real>1.50"
                      "</real><key>h</key><real>16</real><key>t</key><true></true>"
                      "<key>#n</key><integer>-3</integer></dict></plist>");
  // Reading back gives the same keys, types and values.
  PlistFixture g;
  ASSERT_EQ(g.Read(text), 1);
  Dictionary *root = nullptr;
  ASSERT_TRUE(Dictionary_GetDictionaryByIndex(g.d, 0, &root));
  EXPECT_EQ(XmlTest_DumpText(root), XmlTest_DumpText(f.d));

  Dictionary_AddNull(f.d, "null", nullptr);
  TestLogCapture capture;
  f.Write(&result);
  EXPECT_EQ(result, 0);
  EXPECT_NE(capture.Take().find("Unsupported data type encountered [1]"), std::string::npos);
}

TEST(Plist, NoTargetGivesZero) {
  Plist *p = nullptr;
  Plist_Create(&p);
  MemoryStream *m = nullptr;
  MemoryStream_Create(&m);
  Stream *s = nullptr;
  MemoryStream_GetStream(m, &s);
  EXPECT_EQ(Plist_WriteStream(p, s), 0);
  EXPECT_EQ(Plist_ReadStream(p, s, nullptr), 0);
  EXPECT_EQ(Plist_SetStringByPath(p, "a", "b"), 0);
  MemoryStream_Release(&m);
  Plist_Release(&p);
}

TEST(Plist, SetByPathRetypesOrCreates) {
  PlistFixture f;
  Dictionary_AddString(f.d, "a", "old", nullptr);
  Dictionary *child = nullptr;
  Dictionary_AddDictionary(f.d, "c", &child, nullptr);
  Dictionary_AddInt64(child, "n", 1, nullptr);
  EXPECT_EQ(Plist_SetBooleanByPath(f.plist, "a", 1), 1);
  EXPECT_EQ(Plist_SetFloat64ByPath(f.plist, "c.n", 2.5), 1);
  EXPECT_EQ(Plist_SetInt32ByPath(f.plist, "c.m", 7), 1);
  EXPECT_EQ(Plist_SetStringByPath(f.plist, "new.deep", "x"), 1);
  EXPECT_EQ(Plist_SetStringByPath(f.plist, "c", "flat"), 1);  // a container becomes a String
  DictionaryType type = 0;
  Dictionary_GetTypeByKey(f.d, "a", &type);
  EXPECT_EQ(type, kDictionaryTypeBoolean);
  int32_t flag = 0;
  Dictionary_GetBooleanByKey(f.d, "a", &flag);
  EXPECT_EQ(flag, 1);
  const char *text = nullptr;
  Dictionary_GetStringPointerByPath(f.d, "new.deep", &text);
  EXPECT_STREQ(text, "x");
  Dictionary_GetStringPointerByKey(f.d, "c", &text);
  EXPECT_STREQ(text, "flat");
}

TEST(PlistOracle, ReadsPlistlibText) {
  auto blocks = XmlTest_ReadBlocks("plist.txt");
  ASSERT_GE(blocks.size(), 100u);
  for (size_t i = 0; i < blocks.size(); i++) {
    SCOPED_TRACE("plist.txt block " + std::to_string(i) + ": " + blocks[i].payload);
    PlistFixture f;
    ASSERT_EQ(f.Read(blocks[i].payload), 1);
    EXPECT_EQ(XmlTest_DumpText(f.d), blocks[i].Expected());
  }
}

TEST(PlistOracle, WrittenTextReadsBackInPlistlibAndPlistutil) {
  auto blocks = XmlTest_ReadBlocks("plist.txt");
  std::string checker = "/usr/bin/python3 " + Test_VectorPath("xml_check.py");
  for (size_t i = 0; i < blocks.size(); i += 2) {
    SCOPED_TRACE("plist.txt block " + std::to_string(i));
    PlistFixture f;
    Dictionary *tree = nullptr;
    Dictionary_Create(&tree);
    XmlTest_Build(tree, blocks[i].lines);
    Dictionary *root = nullptr;
    ASSERT_TRUE(Dictionary_GetDictionaryByIndex(tree, 0, &root));
    Plist_SetDictionary(f.plist, root);
    int32_t result = 0;
    std::string text = f.Write(&result);
    ASSERT_EQ(result, 1);
    std::string path = XmlTest_TempFile("plist_write.plist", text);
    EXPECT_EQ(XmlTest_Run(checker + " plist " + Test_VectorPath("plist.txt") + " " +
                          std::to_string(i) + " " + path),
              0)
        << text;
    // Our own reader gives the same tree back.
    PlistFixture g;
    ASSERT_EQ(g.Read(text), 1);
    EXPECT_EQ(XmlTest_DumpText(g.d), blocks[i].Expected());
    std::remove(path.c_str());
    Dictionary_Release(&tree);
  }
}

TEST(PlistDeathTest, NullAndForeignObjectsStop) {
  EXPECT_DEATH(Plist_SetDictionary(nullptr, nullptr), "Pointer is NULL");
  XML *xml = nullptr;
  Xml_Create(&xml);
  EXPECT_DEATH(Plist_SetDictionary(reinterpret_cast<Plist *>(xml), nullptr),
               "Class mismatch pointer \\(0x.*: expected 0x1e26ae39 but was 0xc9b82f72\\)");
  Xml_Release(&xml);
}

}  // namespace
