#include "core/formats/xml.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"
#include "tests/xml_test_util.h"

namespace {

std::string quoted(const char *text) {
  std::string out;
  for (const char *p = text; *p != '\0'; p++) {
    if (strchr("\\^$.|?*+()[]{}", *p) != nullptr) out += '\\';
    out += *p;
  }
  return out;
}

struct XmlFixture {
  XML *xml = nullptr;
  Dictionary *d = nullptr;
  XmlFixture() {
    Xml_Create(&xml);
    Dictionary_Create(&d);
    Xml_SetDictionary(xml, d);
  }
  ~XmlFixture() {
    Xml_Release(&xml);
    Dictionary_Release(&d);
  }
  int32_t Parse(const std::string &text) {
    return Xml_ParseMemory(xml, text.data(), int32_t(text.size()));
  }
  std::string Write() {
    int64_t length = 0;
    EXPECT_TRUE(Xml_GetWriteLength(xml, &length));
    std::string out(size_t(length), '\0');
    int32_t written = 0;
    EXPECT_TRUE(Xml_WriteMemory(xml, out.data(), int32_t(out.size()), &written));
    EXPECT_EQ(written, length);
    return out;
  }
};

// A compact notation of a tree: key=value for Strings, key{...} for
// Dictionaries, key[...] for Lists, key! for Null; hidden keys with '#'.
std::string shape(Dictionary *d) {
  std::string out;
  for (DictionaryItem *item = d->items.first; item != nullptr; item = item->next) {
    if (!out.empty()) out += ",";
    std::string key = item->key != nullptr ? item->key : "";
    if ((item->type & kDictionaryHiddenBit) && d->hashPrefix) key = "#" + key;
    out += key;
    switch (item->type & kDictionaryTypeMask) {
      case kDictionaryTypeString: out += "=" + std::string(item->value ? item->value : ""); break;
      case kDictionaryTypeNull: out += "!"; break;
      case kDictionaryTypeDictionary: out += "{" + shape(item->child) + "}"; break;
      case kDictionaryTypeList: out += "[" + shape(item->child) + "]"; break;
      default: out += "?"; break;
    }
  }
  return out;
}

TEST(Xml, ReaderEdgeCasesAndMapping) {
  struct Row {
    const char *text;
    const char *shape;
  } rows[] = {
      {"  <a>  hello world  </a>", "a=hello world"},
      {"<a x=\"b>c\"></a>", "a{-x=b>c}"},
      {"<a x=1>t</a>", "a{-x=1}"},
      {"<a x=\"1\" y>text</a>", "a{-x=1,-y!,#text=text}"},
      {"<a>text</a>", "a=text"},
      {"<a><b>1</b><b>2</b></a>", "a{b=1,b=2}"},
      {"<a/>", "a{}"},
      {"<a></a>", "a{}"},
      {"<a x=\"1\"/><b/>", "a{-x=1},b{}"},
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><r/>",
       "?xml{-version=1.0,-encoding=UTF-8,-?!},r{}"},
      // A child element named "text" stays an element.
      {"<a><text>x</text><b/></a>", "a{text=x,b{}}"},
      {"<a><text>x</text></a>", "a{text=x}"},
      // Stray closing tags are ignored; a closing tag of an outer element
      // closes the inner ones.
      {"</x><a>1</a></b></a>", "a=1"},
      {"<a><b><c>1</c></a><d/>", "a{b{c=1}},d{}"},
      // Single quotes in a real element, CDATA as text, comments as words.
      {"<a x='1 > 2' y='say \"hi\"'/>", "a{-x=1 > 2,-y=say \"hi\"}"},
      {"<a><![CDATA[<b>&amp; ]]></a>", "a=<b>&amp; "},
      {"<a>  <![CDATA[ x ]]>  </a>", "a= x "},
      {"<a><!-- don't --><b/></a>", "a{!--{-don't!,---!},b{}}"},
      // References: predefined and numeric decode, anything else stays.
      {"<a>&lt;&gt;&amp;&quot;&apos;&#65;&#x42;&#xe9;</a>", "a=<>&\"'AB\xc3\xa9"},
      {"<a>&bogus; &#0; &#xD800; &#1114112; & x</a>", "a=&bogus; &#0; &#xD800; &#1114112; & x"},
      {"<a x=\"&lt;&#9;&#10;\"/>", "a{-x=<\t\n}"},
      {"<a>&#32;x&#32;</a>", "a= x "},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    XmlFixture f;
    EXPECT_EQ(f.Parse(row.text), 1);
    EXPECT_EQ(shape(f.d), row.shape);
  }
}

TEST(Xml, EmptyStreamIsZeroLength) {
  XmlFixture f;
  MemoryStream *m = nullptr;
  MemoryStream_Create(&m);
  Stream *s = nullptr;
  MemoryStream_GetStream(m, &s);
  EXPECT_EQ(Xml_ParseStream(f.xml, s), 0);
  int32_t code = -1;
  Xml_GetErrorCode(f.xml, &code);
  EXPECT_EQ(code, kXmlErrorZeroLength);
  EXPECT_STREQ(Xml_GetErrorName(code), "ZeroLength");
  EXPECT_EQ(s->error, kXmlErrorZeroLength);
  MemoryStream_Release(&m);
}

TEST(Xml, NestingDeeperThanTheStackFails) {
  for (int depth : {kXmlMaxLevels, kXmlMaxLevels + 1}) {
    SCOPED_TRACE(depth);
    std::string text;
    for (int i = 0; i < depth; i++) text += "<e>";
    text += "x";
    for (int i = 0; i < depth; i++) text += "</e>";
    XmlFixture f;
    int32_t result = f.Parse(text);
    int32_t code = 0;
    Xml_GetErrorCode(f.xml, &code);
    EXPECT_EQ(result, depth <= kXmlMaxLevels ? 1 : 0);
    EXPECT_EQ(code, depth <= kXmlMaxLevels ? kXmlErrorNone : kXmlErrorDepth);
  }
  EXPECT_STREQ(Xml_GetErrorName(kXmlErrorDepth), "Depth");
  EXPECT_STREQ(Xml_GetErrorName(77), "Unknown");
}

TEST(Xml, KeepTextKeepsLeavesAndDropsWhitespaceBetweenElements) {
  struct Row {
    const char *text;
    const char *shape;
  } rows[] = {
      {"<a>\n  <b>  x  </b>\n  <c>  </c>\n</a>", "a{b=  x  ,c=  }"},
      {"<s> line\n</s>", "s= line\n"},
      {"<s></s>", "s{}"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    XmlFixture f;
    Xml_SetKeepText(f.xml, 1);
    EXPECT_EQ(f.Parse(row.text), 1);
    EXPECT_EQ(shape(f.d), row.shape);
  }
}

TEST(Xml, WriterEdgeCases) {
  XmlFixture f;
  Xml_EnsureDeclaration(f.d, nullptr);
  Dictionary *root = nullptr;
  Dictionary_AddDictionary(f.d, "root", &root, nullptr);
  Dictionary_AddString(root, "-id", "7", nullptr);
  Dictionary_AddString(root, "#text", "x", nullptr);
  EXPECT_EQ(f.Write(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?><root id=\"7\">x</root>");

  Dictionary_Clear(f.d);
  Dictionary_AddDictionary(f.d, "root", &root, nullptr);
  Dictionary *list = nullptr;
  Dictionary_AddList(root, "item", &list, nullptr);
  Dictionary_AddString(list, nullptr, "1", nullptr);
  Dictionary_AddString(list, nullptr, "2", nullptr);
  Dictionary_AddBoolean(root, "flag", 1, nullptr);
  Dictionary_AddInt64(root, "n", 5, nullptr);
  EXPECT_EQ(f.Write(), "<root><item>1</item><item>2</item></root>");

  Xml_SetCompact(f.xml, 0);
  Dictionary_AddDictionary(root, "empty", nullptr, nullptr);
  EXPECT_EQ(f.Write(),
            "<root>\n    <item>1</item>\n    <item>2</item>\n    <empty>\n    </empty>\n</root>\n");
}

TEST(Xml, WriterEscapesWhatWouldBreakTheDocument) {
  XmlFixture f;
  Dictionary *root = nullptr;
  Dictionary_AddDictionary(f.d, "r", &root, nullptr);
  Dictionary_AddString(root, "-v", "a\"b<c>&d\te\nf\rg'", nullptr);
  Dictionary_AddString(root, "s", "</string><evil/>&amp;\r\n\t'\"", nullptr);
  std::string text = f.Write();
  EXPECT_EQ(text,
            "<r v=\"a&quot;b&lt;c&gt;&amp;d&#9;e&#10;f&#13;g'\">"
            "<s>&lt;/string&gt;&lt;evil/&gt;&amp;amp;&#13;\n\t'\"</s></r>");
  // Read-modify-write gives back the same texts.
  XmlFixture g;
  EXPECT_EQ(g.Parse(text), 1);
  EXPECT_EQ(shape(g.d), shape(f.d));
}

TEST(Xml, TextChildAndHashPrefixRoundTrip) {
  for (int hashPrefix : {1, 0}) {
    SCOPED_TRACE(hashPrefix);
    XmlFixture f;
    Dictionary_SetHashPrefix(f.d, hashPrefix);
    const std::string text = "<a><text>x</text><b></b></a>";
    EXPECT_EQ(f.Parse(text), 1);
    EXPECT_EQ(f.Write(), text);
    EXPECT_EQ(f.Parse("<a k=\"1\">t</a>"), 1);
    EXPECT_EQ(f.Write(), "<a k=\"1\">t</a>");
  }
}

TEST(Xml, UnwritableKeysAndValuesFailWithALogLine) {
  struct Row {
    const char *key;  // of an element in <r>, or "-" + an attribute name
    const char *value;
    const char *logged;
  } rows[] = {
      {"", "v", "key [] cannot be written"},
      {"a b", "v", "key [a b] cannot be written"},
      {"a<b", "v", "key [a<b]"},
      {"a=b", "v", "key [a=b]"},
      {"a/b", "v", "key [a/b]"},
      {"1a", "v", "key [1a]"},
      {"-x\"y", "v", "key [-x\"y]"},
      {"-", "v", "key [-]"},
      {"ok", "bell\x07", "[ok] holds the control byte 0x07"},
      {"-ok", "nul\x01", "[-ok] holds the control byte 0x01"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.key);
    XmlFixture f;
    Dictionary *root = nullptr;
    Dictionary_AddDictionary(f.d, "r", &root, nullptr);
    Dictionary_SetHashPrefix(root, 0);
    Dictionary_AddString(root, row.key, row.value, nullptr);
    TestLogCapture capture;
    int64_t length = 99;
    EXPECT_EQ(Xml_GetWriteLength(f.xml, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_NE(capture.Take().find(row.logged), std::string::npos);
  }
  // Declarations are written as they stand.
  XmlFixture f;
  Xml_EnsureDeclaration(f.d, nullptr);
  Xml_EnsurePlistDoctype(f.d, nullptr);
  EXPECT_EQ(f.Write(),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE plist PUBLIC "
            "\"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">");
}

TEST(Xml, WriteMemoryFailsWhenTheTextDoesNotFit) {
  XmlFixture f;
  Dictionary_AddString(f.d, "a", "hello", nullptr);  // <a>hello</a>: 12 bytes
  char buffer[16];
  for (int32_t size : {0, 11, 12, 16}) {
    SCOPED_TRACE(size);
    int32_t length = -1;
    EXPECT_EQ(Xml_WriteMemory(f.xml, buffer, size, &length), size >= 12 ? 1 : 0);
    EXPECT_EQ(length, size >= 12 ? 12 : size);
  }
  Xml_SetDictionary(f.xml, nullptr);
  int32_t length = -1;
  EXPECT_EQ(Xml_WriteMemory(f.xml, buffer, 16, &length), 0);
  Dictionary *got = f.d;
  EXPECT_EQ(Xml_GetDictionary(f.xml, &got), 0);
  EXPECT_EQ(got, nullptr);
}

TEST(Xml, EnsureDeclarationIsIdempotentAndKeepsOneMark) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  Dictionary_AddString(d, "first", "1", nullptr);
  DictionaryItem *declaration = nullptr;
  Dictionary *c = nullptr;
  Dictionary_AddDictionary(d, "?xml", &c, nullptr);
  Dictionary_AddNull(c, "-?", nullptr);  // a mark that is not last once the rest is added
  Xml_EnsureDeclaration(d, &declaration);
  Xml_EnsureDeclaration(d, &declaration);
  Xml_EnsurePlistDoctype(d, nullptr);
  Xml_EnsurePlistDoctype(d, nullptr);
  EXPECT_EQ(shape(d),
            "first=1,?xml{-version=1.0,-encoding=UTF-8,-?!},!DOCTYPE{-plist!,-PUBLIC!,"
            "-\"-//Apple//DTD PLIST 1.0//EN\"!,"
            "-\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"!}");
  EXPECT_EQ(declaration->child, c);
  Dictionary_Release(&d);
}

struct NodeLog {
  std::vector<std::string> lines;
};

void recordNode(XML *, void *context, const char *path, int32_t type, const char *token,
                int32_t length, int64_t, int32_t, int32_t) {
  static_cast<NodeLog *>(context)->lines.push_back(std::string(path) + " " +
                                                   std::to_string(type) + " " +
                                                   std::string(token, size_t(length)));
}

TEST(Xml, NodeCallbackSeesEveryNodeWithAndWithoutTarget) {
  for (bool target : {true, false}) {
    SCOPED_TRACE(target);
    XmlFixture f;
    if (!target) Xml_SetDictionary(f.xml, nullptr);
    NodeLog log;
    Xml_SetNodeCallback(f.xml, &log, recordNode);
    EXPECT_EQ(f.Parse("<a><b x=\"1\" y>t &amp; u</b></a>"), 1);
    std::vector<std::string> expected = {"a 3 a", "a\\b 3 b", "a\\b\\-x 1 1", "a\\b\\-y 6 ",
                                         "a\\b\\#text 1 t & u", "a\\/b 3 /b", "/a 3 /a"};
    EXPECT_EQ(log.lines, expected);
    Xml_SetNodeCallback(f.xml, nullptr, nullptr);
  }
}

// A memory stream that counts its Read calls.
struct CountingStream {
  Stream record;
  MemoryStream *inner;
  int reads;
};

int countingRead(void *context, void *buffer, int32_t length, int32_t *read) {
  auto *c = static_cast<CountingStream *>(context);
  c->reads++;
  return MemoryStream_Read(c->inner, buffer, length, read);
}

TEST(Xml, ParsesStreamsInChunks) {
  std::string text = "<doc>";
  while (text.size() < 1048576) text += "<item k=\"v\">some text &amp; more</item>\n";
  text += "</doc>";
  CountingStream c{};
  MemoryStream_Create(&c.inner);
  MemoryStream_Attach(c.inner, text.data(), int32_t(text.size()), int32_t(text.size()));
  c.record.context = &c;
  c.record.Read = countingRead;
  XmlFixture f;
  EXPECT_EQ(Xml_ParseStream(f.xml, &c.record), 1);
  int expected = int(text.size() / kXmlReadChunkBytes) + 1;
  EXPECT_GE(c.reads, expected);
  EXPECT_LE(c.reads, expected + 1);
  int32_t count = 0;
  Dictionary *doc = nullptr;
  Dictionary_GetDictionaryByKey(f.d, "doc", &doc);
  Dictionary_GetCount(doc, &count);
  EXPECT_GT(count, 20000);
  MemoryStream_Release(&c.inner);
}

// ---- Oracles -----------------------------------------------------------------

TEST(XmlOracle, ReaderMatchesEtree) {
  auto blocks = XmlTest_ReadBlocks("xml_read.txt");
  ASSERT_GE(blocks.size(), 100u);
  for (size_t i = 0; i < blocks.size(); i++) {
    SCOPED_TRACE("xml_read.txt block " + std::to_string(i) + ": " + blocks[i].payload);
    XmlFixture f;
    ASSERT_EQ(f.Parse(blocks[i].payload), 1);
    EXPECT_EQ(XmlTest_DumpText(f.d), blocks[i].Expected());
  }
}

TEST(XmlOracle, WriterOutputIsWellFormedAndReadsBackInEtree) {
  auto blocks = XmlTest_ReadBlocks("xml_write.txt");
  ASSERT_GE(blocks.size(), 100u);
  std::string checker = "/usr/bin/python3 " + Test_VectorPath("xml_check.py");
  for (size_t i = 0; i < blocks.size(); i += 2) {
    for (int pretty : {0, 1}) {
      SCOPED_TRACE("xml_write.txt block " + std::to_string(i) + " pretty " +
                   std::to_string(pretty));
      XmlFixture f;
      XmlTest_Build(f.d, blocks[i].lines);
      Xml_SetCompact(f.xml, pretty ? 0 : 1);
      std::string text = f.Write();
      std::string path = XmlTest_TempFile("xml_write.xml", text);
      ASSERT_EQ(XmlTest_Run("xmllint --noout " + path), 0) << text;
      ASSERT_EQ(XmlTest_Run(checker + " xml " + Test_VectorPath("xml_write.txt") + " " +
                            std::to_string(i) + " " + path + " " + std::to_string(pretty)),
                0)
          << text;
      std::remove(path.c_str());
    }
  }
}

// ---- Programming errors ------------------------------------------------------

TEST(XmlDeathTest, NullAndForeignObjectsStop) {
  EXPECT_DEATH(Xml_SetCompact(nullptr, 1), quoted("Pointer is NULL\n"));
  // An object with the shared tag but another destroy function (a JSON
  // object) is not an XML object.
  struct {
    ObjectHeader header;
    char rest[64];
  } other{};
  other.header.classTag = kXmlTag;
  other.header.destroy = nullptr;
  XML *foreign = reinterpret_cast<XML *>(&other);
  EXPECT_DEATH(Xml_Reset(foreign), "Class mismatch pointer \\(0x.*: expected 0xc9b82f72");
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  EXPECT_DEATH(Xml_SetDictionary(reinterpret_cast<XML *>(d), nullptr),
               "Class mismatch pointer \\(0x.*: expected 0xc9b82f72 but was 0xc1d1faa9\\)");
  Dictionary_Release(&d);
  XmlFixture f;
  EXPECT_DEATH(Xml_ParseStream(f.xml, nullptr), quoted("Pointer is NULL\n"));
  EXPECT_DEATH(Xml_GetErrorCode(f.xml, nullptr), quoted("Pointer is NULL\n"));
  EXPECT_DEATH(Xml_EnsureDeclaration(nullptr, nullptr), quoted("Pointer is NULL\n"));
}

}  // namespace

// Python writes its declaration with single quotes; read and written back it
// must stay a declaration that XML readers accept. A comment's apostrophe
// stays text.
TEST(Xml, SingleQuotedDeclarationRoundTrips) {
  XmlFixture f;
  Xml_SetCompact(f.xml, 1);
  ASSERT_EQ(f.Parse("<?xml version='1.0' encoding='utf-8'?><!-- don't --><a b='1'>x</a>"), 1);
  std::string out = f.Write();
  EXPECT_NE(out.find("<?xml version=\"1.0\" encoding=\"utf-8\"?>"), std::string::npos) << out;
  EXPECT_NE(out.find("don't"), std::string::npos) << out;
  EXPECT_NE(out.find("<a b=\"1\">x</a>"), std::string::npos) << out;
}
