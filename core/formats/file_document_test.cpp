// The file entry points of the text formats: documents written by Python's
// own writers parse, what we write Python reads back as the same document,
// an existing longer file keeps no tail, and the failures (a missing file, a
// failed read, a document that cannot be written, a full disk) leave what
// they should; a replaced file keeps its mode and owner.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "core/runtime/core.h"
#include "core/formats/dictionary.h"
#include "core/platform/file.h"
#include "core/platform/platform.h"
#include "core/formats/ini.h"
#include "core/formats/json.h"
#include "core/formats/plist.h"
#include "core/formats/xml.h"
#include "core/formats/yaml.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Python's verdict on two files of one kind ("json", "xml", "plist").
std::string pythonSame(const std::string &kind, const std::string &a, const std::string &b) {
  return FsFault_Command("/usr/bin/python3 '" + Test_VectorPath("file_document/oracle.py") +
                         "' same " + kind + " '" + a + "' '" + b + "' 2>&1");
}

// A Dictionary and a format object bound to it, for one test.
template <typename T>
struct Document {
  Dictionary *tree = nullptr;
  T *object = nullptr;
  template <typename Release>
  Document(int32_t (*create)(T **), int32_t (*bind)(T *, Dictionary *), Release release)
      : release_([release](T **object) { release(object); }) {
    Dictionary_Create(&tree);
    create(&object);
    bind(object, tree);
  }
  ~Document() {
    release_(&object);
    Dictionary_Release(&tree);
  }
  std::function<void(T **)> release_;
};

struct JsonDocument : Document<Json> {
  JsonDocument() : Document(Json_Create, Json_SetDictionary, Json_Release) {}
};
struct XmlDocument : Document<XML> {
  XmlDocument() : Document(Xml_Create, Xml_SetDictionary, Xml_Release) {}
};
struct PlistDocument : Document<Plist> {
  PlistDocument() : Document(Plist_Create, Plist_SetDictionary, Plist_Release) {}
};
struct YamlDocument : Document<Yaml> {
  YamlDocument() : Document(Yaml_Create, Yaml_SetDictionary, Yaml_Release) {}
};
struct IniDocument : Document<Ini> {
  IniDocument() : Document(Ini_Create, Ini_SetDictionary, Ini_Release) {}
};

// Writes the members of a tree as one JSON object (a JSON document's root
// is a keyless item), for Python to compare with what it read.
void writeJson(Dictionary *tree, const std::string &path) {
  Dictionary *document = nullptr, *root = nullptr;
  Dictionary_Create(&document);
  Dictionary_AddDictionary(document, nullptr, &root, nullptr);
  Dictionary_Merge(root, tree, kDictionaryMergeOverwrite);
  Json *json = nullptr;
  Json_Create(&json);
  Json_SetDictionary(json, document);
  EXPECT_EQ(Json_WriteFile(json, path.c_str()), 1);
  Json_Release(&json);
  Dictionary_Release(&document);
}

// ---- Python's files, read and written back ----------------------------------------

TEST(FileDocument, PythonFilesReadAndWriteBack) {
  FsFaultTempDir dir;
  std::string json = Test_VectorPath("file_document/sample.json");
  std::string xml = Test_VectorPath("file_document/sample.xml");
  std::string plist = Test_VectorPath("file_document/sample.plist");
  {
    JsonDocument d;
    ASSERT_EQ(Json_ParseFile(d.object, json.c_str()), 1);
    ASSERT_EQ(Json_WriteFile(d.object, (dir / "out.json").c_str()), 1);
    EXPECT_EQ(pythonSame("json", json, dir / "out.json"), "same");
  }
  {
    XmlDocument d;
    ASSERT_EQ(Xml_ParseFile(d.object, xml.c_str()), 1);
    ASSERT_EQ(Xml_WriteFile(d.object, (dir / "out.xml").c_str()), 1);
    EXPECT_EQ(pythonSame("xml", xml, dir / "out.xml"), "same");
    // ElementTree's own declaration (single quotes) parses, and writes back
    // as a declaration Python reads.
    std::string declared = Test_VectorPath("file_document/declared.xml");
    ASSERT_EQ(Xml_ParseFile(d.object, declared.c_str()), 1);
    DictionaryItem *item = nullptr;
    EXPECT_EQ(Dictionary_FindKey(d.tree, "catalog", nullptr, &item), 1);
    ASSERT_EQ(Xml_WriteFile(d.object, (dir / "declared.xml").c_str()), 1);
    EXPECT_EQ(pythonSame("xml", declared, dir / "declared.xml"), "same");
  }
  {
    PlistDocument d;
    ASSERT_EQ(Plist_ReadFile(d.object, plist.c_str()), 1);
    // Reading gives the top-level dict as one keyless item; writing takes
    // the members of the top-level dict.
    Dictionary *members = nullptr;
    Dictionary_Unwrap(d.tree, &members);
    Plist_SetDictionary(d.object, members);
    ASSERT_EQ(Plist_WriteFile(d.object, (dir / "out.plist").c_str()), 1);
    EXPECT_EQ(pythonSame("plist", plist, dir / "out.plist"), "same");
  }
  {
    std::string yaml = Test_VectorPath("file_document/sample.yaml");
    YamlDocument d;
    ASSERT_EQ(Yaml_ParseFile(d.object, yaml.c_str()), 1);
    writeJson(d.tree, dir / "yaml.json");
    EXPECT_EQ(pythonSame("yaml", yaml, dir / "yaml.json"), "same");
  }
  {
    std::string ini = Test_VectorPath("file_document/sample.ini");
    IniDocument d;
    ASSERT_EQ(Ini_ParseFile(d.object, ini.c_str()), 1);
    writeJson(d.tree, dir / "ini.json");
    EXPECT_EQ(pythonSame("ini", ini, dir / "ini.json"), "same");
    // Written back and read again by configparser.
    ASSERT_EQ(Ini_WriteFile(d.object, (dir / "out.ini").c_str()), 1);
    EXPECT_EQ(pythonSame("ini", dir / "out.ini", dir / "ini.json"), "same");
  }
}

// Writing over a longer file cuts it behind the new text; a missing
// directory is made.
TEST(FileDocument, WritingOverALongerFileLeavesNoTail) {
  FsFaultTempDir dir;
  std::string target = dir / "new/dir/out.json";
  std::filesystem::create_directories(dir / "new/dir");
  writeFile(target, "[" + std::string(100000, ' ') + "\"old tail\"]");
  JsonDocument d;
  ASSERT_EQ(Json_ParseMemory(d.object, "{\"a\":[1,2,{\"b\":\"c\"}]}", 21), 1);
  ASSERT_EQ(Json_WriteFile(d.object, target.c_str()), 1);
  EXPECT_EQ(readFile(target), "{\"a\":[1,2,{\"b\":\"c\"}]}");
  writeFile(dir / "expected.json", "{\"a\": [1, 2, {\"b\": \"c\"}]}");
  EXPECT_EQ(pythonSame("json", dir / "expected.json", target), "same");

  std::string fresh = dir / "x/y/z.json";
  ASSERT_EQ(Json_WriteFile(d.object, fresh.c_str()), 1);
  EXPECT_EQ(readFile(fresh), readFile(target));
}

// ---- Failures -------------------------------------------------------------------------

TEST(FileDocument, MissingFileIsLoggedAndLeavesTheTarget) {
  FsFaultTempDir dir;
  std::string missing = dir / "missing";
  TestLogCapture capture;
  Core_SetFlags(kCoreFlagWindow | kCoreFlagCtrlVerbose);
  JsonDocument json;
  XmlDocument xml;
  PlistDocument plist;
  YamlDocument yaml;
  IniDocument ini;
  Dictionary_AddString(json.tree, "kept", "yes", nullptr);
  Json_SetErrorCode(json.object, 42);
  struct Row {
    const char *name;
    std::function<int()> call;
  } rows[] = {
      {"Json_ParseFile", [&] { return int(Json_ParseFile(json.object, missing.c_str())); }},
      {"Xml_ParseFile", [&] { return int(Xml_ParseFile(xml.object, missing.c_str())); }},
      {"Plist_ReadFile", [&] { return int(Plist_ReadFile(plist.object, missing.c_str())); }},
      {"Yaml_ParseFile", [&] { return int(Yaml_ParseFile(yaml.object, missing.c_str())); }},
      {"Ini_ParseFile", [&] { return int(Ini_ParseFile(ini.object, missing.c_str())); }},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.call(), 0);
  }
  std::string lines = capture.Take();
  size_t count = 0;
  for (size_t at = lines.find("Unable to open file (" + missing + ")"); at != std::string::npos;
       at = lines.find("Unable to open file (" + missing + ")", at + 1))
    count++;
  EXPECT_EQ(count, 5u) << lines;
  int32_t code = 0;
  Json_GetErrorCode(json.object, &code);
  EXPECT_EQ(code, 42);
  DictionaryItem *item = nullptr;
  EXPECT_EQ(Dictionary_FindKey(json.tree, "kept", nullptr, &item), 1);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(FileDocument, WritersThatCannotOpenFail) {
  FsFaultTempDir dir;
  std::string blocked = dir / "file/below";  // a file stands where a directory must
  writeFile(dir / "file", "x");
  JsonDocument json;
  XmlDocument xml;
  PlistDocument plist;
  IniDocument ini;
  for (Dictionary *tree : {json.tree, xml.tree, plist.tree, ini.tree})
    Dictionary_AddString(tree, "a", "b", nullptr);
  EXPECT_EQ(Json_WriteFile(json.object, blocked.c_str()), 0);
  EXPECT_EQ(Xml_WriteFile(xml.object, blocked.c_str()), 0);
  EXPECT_EQ(Plist_WriteFile(plist.object, blocked.c_str()), 0);
  EXPECT_EQ(Ini_WriteFile(ini.object, blocked.c_str()), 0);
  EXPECT_EQ(readFile(dir / "file"), "x");
}

// A read error is not the end of the document: the text may be cut.
TEST(FileDocument, FailedReadFails) {
  JsonDocument d;
  // Reading /proc/self/mem at offset 0 fails with EIO.
  EXPECT_EQ(File_ReadDocument("/proc/self/mem", nullptr, d.object,
                              [](void *, Stream *stream) {
                                char byte;
                                int32_t count = 0;
                                Stream_Read(stream, &byte, 1, &count);
                                return 1;  // a reader content with no text
                              }),
            0);
  EXPECT_EQ(Json_ParseFile(d.object, "/proc/self/mem"), 0);
}

// A document that fails to write leaves the file it would have replaced.
TEST(FileDocument, FailedWritesLeaveTheOldFile) {
  FsFaultTempDir dir;
  std::string path = dir / "keep";
  writeFile(path, "old content");
  PlistDocument plist;  // a Null item has no property-list form
  Dictionary_AddNull(plist.tree, "nothing", nullptr);
  EXPECT_EQ(Plist_WriteFile(plist.object, path.c_str()), 0);
  EXPECT_EQ(readFile(path), "old content");
  XmlDocument xml;  // nor has a key with a blank an XML name
  Dictionary_AddString(xml.tree, "not a name", "x", nullptr);
  EXPECT_EQ(Xml_WriteFile(xml.object, path.c_str()), 0);
  EXPECT_EQ(readFile(path), "old content");
  IniDocument ini;  // nor has an empty key an INI form
  Dictionary_AddString(ini.tree, "", "x", nullptr);
  EXPECT_EQ(Ini_WriteFile(ini.object, path.c_str()), 0);
  EXPECT_EQ(readFile(path), "old content");
  JsonDocument json;  // without a target nothing is written
  Json_SetDictionary(json.object, nullptr);
  EXPECT_EQ(Json_WriteFile(json.object, path.c_str()), 0);
  EXPECT_EQ(readFile(path), "old content");
  EXPECT_EQ(File_WriteDocument(path.c_str(), nullptr, nullptr,
                               [](void *, Stream *stream) {
                                 int32_t written = 0;
                                 Stream_Write(stream, "partial", 7, &written);
                                 return 0;
                               }),
            0);
  EXPECT_EQ(readFile(path), "old content");
  EXPECT_EQ(FsFault_Command("ls -A " + dir.path()), "keep");  // no temporary file left
}

// ---- Replacement ----------------------------------------------------------------------

// A document that does not fit on the disk leaves the old file whole and no
// temporary file beside it; one that fits replaces it.
TEST(FileDocument, FullDiskLeavesTheOldFile) {
  FsFaultTempDir dir;
  std::string mount = dir / "small";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(mount, "size=256k")) return;
    std::string path = mount + "/config.json";
    std::string old = "{\"old\":\"" + std::string(100000, 'o') + "\"}";
    writeFile(path, old);
    for (size_t size : {size_t(300000), size_t(1000)}) {
      std::string text = "{\"new\":\"" + std::string(size, 'n') + "\"}";
      JsonDocument d;
      FSF_EXPECT(child, Json_ParseMemory(d.object, text.c_str(), int32_t(text.size())) == 1);
      bool fits = size < 100000;
      FSF_EXPECT_EQ(child, Json_WriteFile(d.object, path.c_str()), fits ? 1 : 0);
      FSF_EXPECT(child, readFile(path) == (fits ? text : old));
      FSF_EXPECT_EQ(child, FsFault_Command("ls -A " + mount), std::string("config.json"));
    }
  });
}

// The replacement keeps the old file's mode and owner; a link at the name
// is replaced, its target left alone.
TEST(FileDocument, ReplacementKeepsModeAndOwnerAndNoLinkIsFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  FsFaultTempDir dir;
  std::string owned = dir / "owned.json", victim = dir / "victim", link = dir / "link.json";
  writeFile(owned, "{\"old\": 1}");
  ASSERT_EQ(chown(owned.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(owned.c_str(), 0640), 0);
  writeFile(victim, "root only");
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  JsonDocument d;
  ASSERT_EQ(Json_ParseMemory(d.object, "{\"new\":2}", 9), 1);
  ASSERT_EQ(Json_WriteFile(d.object, owned.c_str()), 1);
  EXPECT_EQ(readFile(owned), "{\"new\":2}");
  EXPECT_EQ(FsFault_Command("stat -c '%u %g %a' " + owned), "65534 65534 640");
  ASSERT_EQ(Json_WriteFile(d.object, link.c_str()), 1);
  EXPECT_EQ(readFile(victim), "root only");
  EXPECT_EQ(readFile(link), "{\"new\":2}");
  EXPECT_EQ(FsFault_Command("stat -c %F " + link), "regular file");
  EXPECT_EQ(FsFault_Command("ls -A " + dir.path() + " | tr '\\n' ' '"),
            "link.json owned.json victim ");
}

// What cannot be replaced as it was is refused whole (error 5), the old file
// untouched and no temporary file left: a directory at the name, and for
// user 65534 a file it may not write. In a directory others may write, a
// file it may write becomes its own (root's owner is not kept there), no
// longer writable by others.
TEST(FileDocument, WhatCannotBeKeptIsNotReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root and a second user";
  FsFaultTempDir dir;
  std::string shared = dir / "shared";
  std::filesystem::create_directories(shared + "/directory");
  writeFile(shared + "/read-only", "old");
  writeFile(shared + "/root's", "old");
  ASSERT_EQ(chmod((shared + "/root's").c_str(), 0666), 0);
  ASSERT_EQ(chown((shared + "/read-only").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod((shared + "/read-only").c_str(), 0444), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    for (const char *name : {"directory", "read-only", "root's"}) {
      JsonDocument d;
      bool replaced = strcmp(name, "root's") == 0;
      FSF_EXPECT(child, Json_ParseMemory(d.object, "{\"new\":2}", 9) == 1);
      FSF_EXPECT_EQ(child, Json_WriteFile(d.object, (shared + "/" + name).c_str()),
                    replaced ? 1 : 0);
      if (!replaced) FSF_EXPECT_EQ(child, Platform_GetLastError(), kPlatformErrorAccessDenied);
    }
    FSF_EXPECT_EQ(child, readFile(shared + "/read-only") + readFile(shared + "/root's"),
                  std::string("old{\"new\":2}"));
    FSF_EXPECT_EQ(child, FsFault_Command("stat -c '%u %a' '" + shared + "/root'\\''s'"),
                  std::string("65534 644"));
    FSF_EXPECT_EQ(child, FsFault_Command("ls -A " + shared + " | tr '\\n' ' '"),
                  std::string("directory read-only root's "));
  });
}

TEST(FileDocumentDeathTest, NullArgumentsStop) {
  EXPECT_DEATH(File_ReadDocument(nullptr, nullptr, nullptr, [](void *, Stream *) { return 1; }),
               "Pointer is NULL\n");
  EXPECT_DEATH(File_WriteDocument("/tmp/x", nullptr, nullptr, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(
      {
        JsonDocument d;
        Json_ParseFile(d.object, nullptr);
      },
      "Pointer is NULL\n");
}

}  // namespace
