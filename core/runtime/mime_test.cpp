#include "core/runtime/mime.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cctype>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/memory.h"

namespace {

class MimeTest : public testing::Test {
 protected:
  void SetUp() override { Mime_Init(); }
  void TearDown() override { Mime_Shutdown(); }
};

std::vector<const MimeEntry *> Entries() {
  std::vector<const MimeEntry *> entries;
  for (const MimeEntry *e = Mime_GetFirstEntry(); e != nullptr; e = e->next) entries.push_back(e);
  return entries;
}

std::string Type(const std::string &fileName, int *result = nullptr) {
  const char *type = nullptr, *subtype = nullptr;
  int r = Mime_GetType(fileName.c_str(), &type, &subtype);
  if (result) *result = r;
  return std::string(type) + "/" + subtype;
}

// Alternates the case of the letters: "html" -> "HtMl".
std::string Mixed(const std::string &text) {
  std::string out = text;
  for (size_t i = 0; i < out.size(); i++) out[i] = char(i % 2 ? tolower(out[i]) : toupper(out[i]));
  return out;
}

}  // namespace

TEST(MimeDeathTest, MisuseStops) {
  const char *type, *subtype;
  EXPECT_DEATH(Mime_GetType("a.txt", &type, &subtype), "Pointer is NULL\n");
  Mime_Init();
  EXPECT_DEATH(Mime_Init(), "Assertion failed \\(GlobalMIME == NULL\\)\nMIME already initialized");
  EXPECT_DEATH(Mime_GetType(nullptr, &type, &subtype), "Pointer is NULL\n");
  EXPECT_DEATH(Mime_GetType("a.txt", nullptr, &subtype), "Pointer is NULL\n");
  Mime_Shutdown();
}

TEST_F(MimeTest, EveryRowIsFoundByItsExtensionInAnyCase) {
  std::vector<const MimeEntry *> entries = Entries();
  ASSERT_EQ(entries.size(), size_t(kMimeRows));
  std::set<std::string> extensions;
  for (const MimeEntry *entry : entries) {
    std::string extension = entry->extension;
    SCOPED_TRACE(extension);
    extensions.insert(extension);
    std::string upper = extension;
    for (char &c : upper) c = char(toupper(c));
    for (const std::string &name : {"x." + extension, "dir/x." + upper, "x." + Mixed(extension)}) {
      const char *type = nullptr, *subtype = nullptr;
      EXPECT_EQ(Mime_GetType(name.c_str(), &type, &subtype), 1) << name;
      EXPECT_EQ(type, entry->type);  // pointers into the table
      EXPECT_EQ(subtype, entry->subtype);
    }
  }
  EXPECT_EQ(extensions.size(), size_t(kMimeRows));
}

TEST_F(MimeTest, ListIsSortedByTheCrcOfTheUpperCasedExtension) {
  std::vector<const MimeEntry *> entries = Entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.front()->previous, nullptr);
  for (size_t i = 0; i < entries.size(); i++) {
    const MimeEntry *entry = entries[i];
    std::string upper = entry->extension;
    for (char &c : upper) c = char(toupper(c));
    EXPECT_EQ(entry->key,
              uint32_t(crc32(0, reinterpret_cast<const Bytef *>(upper.data()), uInt(upper.size()))))
        << entry->extension;
    EXPECT_EQ(entry->classTag, kMimeTag);
    if (i > 0) {
      EXPECT_LT(entries[i - 1]->key, entry->key);
      EXPECT_EQ(entry->previous, entries[i - 1]);
    }
  }
}

TEST_F(MimeTest, EdgeCases) {
  struct Case {
    const char *name;
    int result;
    const char *type;
  } cases[] = {
      {"index.HTML", 1, "text/html"},
      {"x.HtMl", 1, "text/html"},
      {"archive.tar.gz", 1, "application/x-gzip"},
      {"C:\\dir.d\\file", 0, "application/octet-stream"},
      {"dir.d/file", 0, "application/octet-stream"},
      {"C:file", 0, "application/octet-stream"},
      {"file.", 0, "application/octet-stream"},
      {"README", 0, "application/octet-stream"},
      {"", 0, "application/octet-stream"},
      {".json", 1, "application/json"},
      {"data.json", 1, "application/json"},
      {"font.woff", 1, "application/x-font-woff"},
      {"font.ttf", 1, "font/ttf"},
      {"model.wrl", 1, "model/vrml"},
      {"mail.mime", 1, "message/rfc822"},
      {"clip.wmv", 1, "video/x-ms-wmv"},
      {"song.mp3", 1, "audio/mpeg"},
      {"image.svg", 1, "image/svg+xml"},
      {"x.unknownext", 0, "application/octet-stream"},
      {"x.jsonx", 0, "application/octet-stream"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int result = -1;
    EXPECT_EQ(Type(c.name, &result), c.type);
    EXPECT_EQ(result, c.result);
  }
}

TEST(Mime, ShutdownGivesEverythingBackAndInitWorksAgain) {
  Mime_Shutdown();  // no table: nothing happens
  int64_t countBefore = 0, bytesBefore = 0;
  Mem_Init(0);
  Mem_GetUsage(&countBefore, &bytesBefore);
  Mime_Init();
  Mime_Shutdown();
  EXPECT_EQ(Mime_GetFirstEntry(), nullptr);
  int64_t countAfter = 0, bytesAfter = 0;
  Mem_GetUsage(&countAfter, &bytesAfter);
  EXPECT_EQ(countAfter, countBefore);
  EXPECT_EQ(bytesAfter, bytesBefore);
  Mem_Shutdown();
  Mime_Init();
  EXPECT_EQ(Type("a.txt"), "text/plain");
  Mime_Shutdown();
}

TEST(MimeThreaded, EightThreadsLookUpAtOnce) {
  Mime_Init();
  std::vector<std::string> names;
  for (const MimeEntry *e = Mime_GetFirstEntry(); e != nullptr; e = e->next)
    names.push_back(std::string("file.") + e->extension + "\t" + e->type + "/" + e->subtype);
  std::vector<int> wrong(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([t, &names, &wrong] {
      for (int round = 0; round < 20; round++) {
        for (const std::string &row : names) {
          size_t tab = row.find('\t');
          std::string name = row.substr(0, tab);
          if (t % 2) name = Mixed(name);
          if (Type(name) != row.substr(tab + 1)) wrong[size_t(t)]++;
        }
        if (Type("unknown.zzz") != "application/octet-stream") wrong[size_t(t)]++;
      }
    });
  }
  for (auto &thread : threads) thread.join();
  for (int t = 0; t < 8; t++) EXPECT_EQ(wrong[size_t(t)], 0) << t;
  Mime_Shutdown();
}
