#include "base/metafile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/keypath.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/net/webget.h"
#include "core/platform/platform.h"
#include "base/storagerequest.h"
#include "tests/layout_model.h"
#include "tests/layout_seeds.h"
#include "tests/metafile_util.h"
#include "tests/test_util.h"

namespace {

using Result = MetaFileResult;

Result Load(MetaFile *m, const std::string &text) {
  return MetaFile_TestLoad(m, text.data(), int32_t(text.size()));
}

struct MetaFileGuard {
  MetaFile *m = nullptr;
  MetaFileGuard() { MetaFile_Create(&m); }
  ~MetaFileGuard() { MetaFile_Destroy(&m); }
};

using Node = TestJsonNode;

std::vector<Node> ReadNodes(const std::string &text) {
  std::vector<Node> nodes = Test_JsonNodes(text);
  EXPECT_FALSE(nodes.empty());
  return nodes;
}

struct ExpectedFile {
  std::string name;
  int64_t offset = 0, pad = 0, size = 0;
};

struct Expected {
  std::vector<ExpectedFile> files;
  std::vector<std::pair<std::string, int64_t>> spellings;
  std::vector<int32_t> lengths;
  std::vector<std::string> digests;
  int64_t totalLength = 0, totalPadding = 0;
  int32_t pieceSize = 0;
  int hashPadding = 0, writeAlign = 0;
  std::string algorithm, padMode;
};

Expected ReadExpected(const std::string &text) {
  Expected e;
  for (const Node &n : ReadNodes(text)) {
    KeyPath key;
    KeyPath_Split(n.path.c_str(), &key);
    std::string_view top = key.part[0];
    int64_t number = Str_ToInt64(n.value.c_str());
    if (key.count == 1) {
      if (top == "totalLength") e.totalLength = number;
      if (top == "totalPadding") e.totalPadding = number;
      if (top == "pieceSize") e.pieceSize = int32_t(number);
      if (top == "hashPadding") e.hashPadding = n.value == "true";
      if (top == "writeAlign") e.writeAlign = n.value == "true";
      if (top == "algorithm") e.algorithm = n.value;
      if (top == "padMode") e.padMode = n.value;
      continue;
    }
    if (key.count != 3) continue;
    auto row = size_t(KeyPath_Index(key.part[1]));
    int64_t column = KeyPath_Index(key.part[2]);
    if (top == "files") {
      if (e.files.size() <= row) e.files.resize(row + 1);
      ExpectedFile &f = e.files[row];
      if (column == 0) f.name = n.value;
      if (column == 1) f.offset = number;
      if (column == 2) f.pad = number;
      if (column == 3) f.size = number;
    } else if (top == "spellings") {
      if (e.spellings.size() <= row) e.spellings.resize(row + 1);
      if (column == 0) e.spellings[row].first = n.value;
      if (column == 1) e.spellings[row].second = number;
    } else if (top == "pieces") {
      if (column == 0) e.lengths.push_back(int32_t(number));
      if (column == 1) e.digests.push_back(n.value);
    }
  }
  return e;
}

std::string Name(FileEntry *entry) {
  char name[kPathMax];
  return FileList_GetName(entry, name, sizeof name) ? name : "";
}

// The index of the expected file whose extent holds offset, or -1.
int64_t ExpectedAt(const Expected &e, int64_t offset) {
  auto it = std::upper_bound(e.files.begin(), e.files.end(), offset,
                             [](int64_t x, const ExpectedFile &f) { return x < f.offset; });
  while (it != e.files.begin()) {
    --it;
    if (offset < it->offset + it->size + it->pad) return it - e.files.begin();
    if (it->size + it->pad > 0) break;
  }
  return -1;
}

void CheckVersion(MetaFile *m, const Expected &e, std::mt19937_64 &rng) {
  FileIndex *index = MetaFile_GetFileIndex(m);
  ASSERT_EQ(FileIndex_GetCount(index), int32_t(e.files.size()));
  std::vector<FileRecord *> records;
  FileRecord *r = nullptr;
  for (FileIndex_GetFirst(index, &r); r != nullptr; r = r->next) records.push_back(r);
  ASSERT_EQ(records.size(), e.files.size());
  for (size_t i = 0; i < records.size(); i++) {
    SCOPED_TRACE("file " + std::to_string(i));
    const ExpectedFile &f = e.files[i];
    ASSERT_EQ(Name(records[i]), f.name);
    ASSERT_EQ(records[i]->offset, f.offset);
    ASSERT_EQ(records[i]->pad, f.pad);
    ASSERT_EQ(records[i]->size, f.size);
    int64_t extent = f.size + f.pad;
    if (extent == 0) continue;
    for (int64_t at : {f.offset, f.offset + extent - 1}) {
      FileRecord *found = nullptr;
      ASSERT_TRUE(FileIndex_Find(index, &found, at)) << at;
      ASSERT_EQ(found, records[i]) << at;
    }
  }
  for (const auto &[spelling, winner] : e.spellings) {
    FileRecord *found = nullptr;
    ASSERT_TRUE(FileIndex_FindName(index, &found, spelling.c_str())) << spelling;
    ASSERT_EQ(found, records[size_t(winner)]) << spelling;
  }
  int64_t stream = e.totalLength + e.totalPadding;
  for (int k = 0; k < 50; k++) {
    int64_t at = int64_t(rng() % uint64_t(stream + 2)) - 1;
    FileRecord *found = nullptr;
    int64_t want = ExpectedAt(e, at);
    ASSERT_EQ(FileIndex_Find(index, &found, at), want >= 0 ? 1 : 0) << at;
    if (want >= 0) {
      ASSERT_EQ(found, records[size_t(want)]) << at;
    }
  }
  PieceList *pieces = MetaFile_GetPieceList(m);
  ASSERT_EQ(PieceList_GetPieceTotal(pieces), int32_t(e.digests.size()));
  ASSERT_EQ(PieceList_GetPieceSize(pieces), e.pieceSize);
  ASSERT_EQ(PieceList_GetHashPadding(pieces), e.hashPadding);
  ASSERT_EQ(MetaFile_GetWriteAlign(m), e.writeAlign);
  ASSERT_EQ(MetaFile_GetPieceLengthCount(m), int32_t(e.lengths.size()));
  for (size_t i = 0; i < e.lengths.size(); i++) {
    int32_t length = 0;
    MetaFile_GetPieceLength(m, int32_t(i), &length);
    ASSERT_EQ(length, e.lengths[i]) << "piece " << i;
    char hex[2 * kPieceListDigestMax + 1];
    ASSERT_TRUE(PieceList_GetDigestHex(pieces, int32_t(i), hex, sizeof hex));
    ASSERT_EQ(hex, e.digests[i]) << "piece " << i;
  }
  Dictionary *stats = nullptr;
  Dictionary_Create(&stats);
  MetaFile_GetStats(m, stats);
  int64_t total = -1, padding = -1;
  Dictionary_GetInt64ByKey(stats, "totalLength", &total);
  Dictionary_GetInt64ByKey(stats, "totalPadding", &padding);
  Dictionary_Release(&stats);
  EXPECT_EQ(total, e.totalLength);
  EXPECT_EQ(padding, e.totalPadding);
}

std::string Tree(const std::string &name) { return "contenttree/" + name; }

}  // namespace

// Every generated version, read by the metafile reader, against what the
// generator worked out from its byte map of the stream.
TEST(MetaFile, GeneratedVersionsMatchTheByteMap) {
  namespace fs = std::filesystem;
  std::mt19937_64 rng(0x44);
  MetaFileGuard g;
  std::map<std::string, int> modes;
  int versions = 0;
  for (int v = 1;; v++) {
    std::string id = std::to_string(v);
    if (!fs::exists(Test_VectorPath(Tree("meta/" + id + ".json")))) break;
    SCOPED_TRACE("version " + id);
    Expected e = ReadExpected(Test_ReadVectors(Tree("expected/" + id + ".json")));
    Result r = Load(g.m, Test_ReadVectors(Tree("meta/" + id + ".json")));
    ASSERT_EQ(r.code, 0u);
    char loadedId[kCatalogIdBytes];
    ASSERT_TRUE(MetaFile_GetId(g.m, loadedId, sizeof loadedId));
    ASSERT_EQ(std::string(loadedId), id);
    ASSERT_EQ(std::string(PieceList_GetAlgorithm(MetaFile_GetPieceList(g.m))), e.algorithm);
    ASSERT_EQ(MetaFile_GetPadding(g.m) != nullptr, e.padMode == "list");
    CheckVersion(g.m, e, rng);
    modes[e.padMode + "/" + e.algorithm + (e.hashPadding ? "/hp" : "/nohp")]++;
    versions++;
  }
  EXPECT_GE(versions, 300);
  for (const char *mode : {"none", "align", "list"})
    for (const char *algorithm : {"SHA1", "SHA256", "MD5", "CRC"})
      for (const char *hp : {"/hp", "/nohp"})
        EXPECT_GT(modes[std::string(mode) + "/" + algorithm + hp], 0)
            << mode << " " << algorithm << hp;
}

// Each faulted document of the generator fails the load with its code and
// nothing half-built stays behind.
TEST(MetaFile, FaultVariantsFailCleanly) {
  std::vector<Node> index = ReadNodes(Test_ReadVectors(Tree("faults/index.json")));
  ASSERT_EQ(index.size() % 4, 0u);
  MetaFileGuard g;
  int metafiles = 0;
  for (size_t i = 0; i < index.size(); i += 4) {
    const std::string &name = index[i].value;
    if (index[i + 1].value != "metafile") continue;
    SCOPED_TRACE(name);
    Result r = Load(g.m, Test_ReadVectors(Tree("faults/" + name + ".json")));
    EXPECT_EQ(r.code, uint32_t(Str_ToInt64(index[i + 2].value.c_str())));
    EXPECT_EQ(r.codeEx, uint32_t(Str_ToInt64(index[i + 3].value.c_str())));
    if (r.code == kWebGetErrorInvalidContent) {
      EXPECT_EQ(FileIndex_GetCount(MetaFile_GetFileIndex(g.m)), 0);
      EXPECT_EQ(MetaFile_GetPieceLengthCount(g.m), 0);
    }
    metafiles++;
  }
  EXPECT_GT(metafiles, 40);
}

// A document cut anywhere inside stops the reader with "UnknownLength".
TEST(MetaFile, TruncatedDocumentsStopTheParse) {
  std::string text = Test_ReadVectors(Tree("meta/2.json"));
  ASSERT_GT(text.size(), 100u);
  std::mt19937 rng(7);
  MetaFileGuard g;
  for (int k = 0; k < 50; k++) {
    size_t cut = 1 + rng() % (text.size() - 2);
    Result r = Load(g.m, text.substr(0, cut));
    EXPECT_EQ(r.code, uint32_t(kWebGetErrorJson)) << cut;
    EXPECT_EQ(r.codeEx, uint32_t(kJsonErrorUnknownLength)) << cut;
  }
}

namespace {

std::string Digests(int count, int bytes = 20) {
  std::string out = "[";
  std::string one(size_t((bytes + 2) / 3 * 4), 'A');
  if (bytes % 3)
    one.replace(one.size() - size_t(3 - bytes % 3), size_t(3 - bytes % 3), 3 - bytes % 3, '=');
  for (int i = 0; i < count; i++) out += (i ? ",\"" : "\"") + one + "\"";
  return out + "]";
}

struct EdgeCase {
  const char *name;
  std::string text;
  uint32_t code;
  std::vector<int64_t> offsets;  // per file, then its pad: offset, pad, offset, pad ...
  std::vector<int32_t> lengths;  // piece lengths
};

}  // namespace

TEST(MetaFile, EdgeCases) {
  std::string pad100 = R"({"name":"a","size":8388508})";
  std::string pad101;
  for (int i = 0; i < 101; i++)
    pad101 +=
        std::string(i ? "," : "") + "{\"offset\":" + std::to_string(2 * i + 1) + ",\"size\":1}";
  const std::vector<EdgeCase> cases = {
      {"sizes 10, 0, 5",
       R"({"files":[{"name":"a","size":10},{"name":"b","size":0},{"name":"c","size":5}]})",
       0,
       {0, 0, 10, 0, 10, 0},
       {}},
      {"own pad 7 moves the next file",
       R"({"files":[{"name":"a","size":3,"pad":7},{"name":"b","size":1}]})",
       0,
       {0, 7, 10, 0},
       {}},
      {"range after a file",
       R"({"files":[{"name":"a","size":10},{"name":"b","size":3}],"pad":[{"offset":10,"size":6},{"offset":19,"size":1}]})",
       0,
       {0, 6, 16, 1},
       {}},
      {"range inside a file",
       R"({"files":[{"name":"a","size":10},{"name":"b","size":3}],"pad":[{"offset":4,"size":2},{"offset":15,"size":1}]})",
       0,
       {0, 2, 12, 1},
       {}},
      {"pad of 100 bytes across pieces",
       R"({"files":[)" + pad100 +
           R"(],"pad":[{"offset":4194300,"size":100}],"pieces":{"digests":)" + Digests(2) + "}}",
       0,
       {0, 100},
       {4194300, 4194208}},
      {"no pad list: full lengths",
       R"({"files":[{"name":"a","size":20}],"pieces":{"size":8,"digests":)" + Digests(3) + "}}",
       0,
       {0, 0},
       {8, 8, 8}},
      {"101 ranges: two groups",
       R"({"files":[{"name":"a","size":101}],"pad":[)" + pad101 +
           R"(],"pieces":{"size":4,"algorithm":"crc","digests":)" + Digests(51, 4) + "}}",
       0,
       {0, 101},
       {}},
      {"file after the last range has no pad",
       R"({"files":[{"name":"a","size":10},{"name":"b","size":3}],"pad":[{"offset":10,"size":6}]})",
       0,
       {0, 6, 16, 0},
       {}},
      {"empty pad list: no pad",
       R"({"files":[{"name":"a","size":10}],"pad":[],"pieces":{"size":8,"digests":)" + Digests(2) +
           "}}",
       0,
       {0, 0},
       {8, 8}},
      {"no pieces loads", R"({"id":"","files":[{"name":"a","size":3}]})", 0, {0, 0}, {}},
      {"empty pieces count as present",
       R"({"files":[{"name":"a","size":3}],"pieces":{}})",
       976,
       {},
       {}},
      {"empty pieces, empty stream",
       R"({"files":[{"name":"a","size":0}],"pieces":{}})",
       0,
       {0, 0},
       {}},
      {"one-element array",
       R"([{"files":[{"name":"a","size":3}],"pieces":{"size":2,"digests":)" + Digests(2) + "}}]",
       0,
       {0, 0},
       {2, 2}},
      {"hex and signed integers",
       R"({"files":[{"name":"a","size":"0x10","pad":"+0x0"}],"pieces":{"size":"0x10","digests":)" +
           Digests(1) + "}}",
       0,
       {0, 0},
       {16}},
      {"top-level algorithm is informational", R"({"algorithm":"NOPE","files":[]})", 0, {}, {}},
  };
  MetaFileGuard g;
  for (const EdgeCase &c : cases) {
    SCOPED_TRACE(c.name);
    Result r = Load(g.m, c.text);
    ASSERT_EQ(r.code, c.code);
    if (c.code != 0) continue;
    std::vector<int64_t> offsets;
    FileRecord *rec = nullptr;
    for (FileIndex_GetFirst(MetaFile_GetFileIndex(g.m), &rec); rec; rec = rec->next) {
      offsets.push_back(rec->offset);
      offsets.push_back(rec->pad);
    }
    EXPECT_EQ(offsets, c.offsets);
    std::vector<int32_t> lengths;
    for (int32_t i = 0; i < MetaFile_GetPieceLengthCount(g.m); i++) {
      int32_t n = 0;
      MetaFile_GetPieceLength(g.m, i, &n);
      lengths.push_back(n);
    }
    if (!c.lengths.empty()) {
      EXPECT_EQ(lengths, c.lengths);
    }
    if (std::string(c.name) == "101 ranges: two groups") {
      PadIndex *pads = MetaFile_GetPadIndex(g.m);
      ASSERT_EQ(pads->groupCount, 2);
      EXPECT_EQ(pads->groups[1]->offset, 201);  // the 101st range heads the second group
    }
  }
  // Either spelling of one name finds its record.
  ASSERT_EQ(Load(g.m, R"({"files":[{"name":"d\\x","size":1},{"name":"e/y","size":2}]})").code,
            0u);
  FileRecord *found = nullptr;
  ASSERT_TRUE(FileIndex_FindName(MetaFile_GetFileIndex(g.m), &found, "d/x"));
  EXPECT_EQ(found->size, 1);
  ASSERT_TRUE(FileIndex_FindName(MetaFile_GetFileIndex(g.m), &found, "e\\y"));
  EXPECT_EQ(found->size, 2);
  // writeAlign is true only for the text "true" in any case.
  for (auto [text, want] : {std::pair{R"({"writeAlign":"TRUE"})", 1},
                            {R"({"writeAlign":true})", 1},
                            {R"({"writeAlign":"yes"})", 0},
                            {R"({"writeAlign":1})", 0}}) {
    ASSERT_EQ(Load(g.m, text).code, 0u) << text;
    EXPECT_EQ(MetaFile_GetWriteAlign(g.m), want) << text;
  }
}

// Link targets are read from the link's own directory: one that is
// absolute or climbs above the root fails the load, naming the entry, and
// so does an empty one (no link can be made of it).
TEST(MetaFile, LinksStayInsideTheRoot) {
  constexpr int kEmpty = 2;
  struct Row {
    const char *name, *target;
    int safe;
  } rows[] = {{"a", "b", 1},          {"d/a", "../b", 1},       {"d/e/a", "../../b", 1},
              {"d/a", "x/../../b", 1}, {"d/a", "././/b", 1},     {"d/a", "", kEmpty},
              {"a", "../b", 0},        {"d/a", "../../b", 0},    {"d\\a", "..\\..\\b", 0},
              {"d/a", "x/../../../b", 0}, {"a", "/etc/passwd", 0}, {"a", "\\b", 0},
              {"a", "C:/b", 0},        {"d/a", "..", 1},         {"d/a", "../..", 0}};
  MetaFileGuard g;
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.name) + " -> " + row.target);
    std::string name = row.name, target = row.target;
    for (std::string *text : {&name, &target})
      for (size_t at = 0; (at = text->find('\\', at)) != std::string::npos; at += 2)
        text->insert(at, "\\");
    std::string doc = R"({"files":[{"name":")" + name + R"(","size":0,"attr":8,"link":")" +
                      target + R"("}]})";
    EXPECT_EQ(Load(g.m, doc).code, row.safe == 1 ? 0u : 976u);
    std::string stored = row.name;  // as kept: '\' read as '/'
    for (char &c : stored)
      if (c == '\\') c = '/';
    const char *why = row.safe == kEmpty ? " has an empty target" : " leaves the root";
    EXPECT_EQ(std::string(g.m->refusal), row.safe == 1 ? "" : "link " + stored + why);
  }
}

namespace {

// {name, link target}; an empty target: a file of size 0.
using Entries = std::vector<std::pair<std::string, std::string>>;

// A metafile of the given entries.
std::string EntriesDocument(const Entries &entries) {
  std::string doc = R"({"id":"v1","files":[)";
  for (size_t i = 0; i < entries.size(); i++) {
    doc += std::string(i ? "," : "") + R"({"name":")" + entries[i].first + R"(","size":0)";
    if (!entries[i].second.empty())
      doc += R"(,"attr":8,"link":")" + entries[i].second + "\"";
    doc += "}";
  }
  return doc + "]}";
}

// A chain of count links c0 -> c1 -> ... ending at a file.
Entries LinkChain(int count) {
  Entries entries;
  for (int i = 0; i < count; i++)
    entries.push_back({"c" + std::to_string(i), "c" + std::to_string(i + 1)});
  entries.push_back({"c" + std::to_string(count), ""});
  return entries;
}

struct EntriesRow {
  const char *what;
  Entries entries;
  const char *refusal;  // "": loads
};

// Each row's document loads, or is refused with its refusal.
void ExpectEntriesLoad(std::initializer_list<EntriesRow> rows) {
  MetaFileGuard g;
  for (const EntriesRow &row : rows) {
    std::string doc = EntriesDocument(row.entries);
    SCOPED_TRACE(row.what + (": " + doc));
    EXPECT_EQ(Load(g.m, doc).code, row.refusal[0] ? 976u : 0u);
    EXPECT_EQ(std::string(g.m->refusal), row.refusal);
  }
}

}  // namespace

// Link targets resolve through the document's own links, as the installed
// tree will: a chain whose links each stay inside when read alone may
// leave the root, or loop. Parts that are no entry are plain directories; a
// file part ends the walk.
TEST(MetaFile, LinkChainsResolveThroughTheDocumentsLinks) {
  ExpectEntriesLoad({
      {"a chain out of the root",
       {{"a1/a2/a3/a4/a5/l1", "../../../../.."},
        {"a1/a2/a3/a4/a5/l2", "l1/../../../../outside/victim"}},
       "link a1/a2/a3/a4/a5/l2 leaves the root"},
      {"the same, the later link listed first",
       {{"a1/a2/a3/a4/a5/l2", "l1/../../../../outside/victim"},
        {"a1/a2/a3/a4/a5/l1", "../../../../.."}},
       "link a1/a2/a3/a4/a5/l2 leaves the root"},
      {"the first link alone", {{"a1/a2/a3/a4/a5/l1", "../../../../.."}}, ""},
      {"the second link alone: l1 a plain directory",
       {{"a1/a2/a3/a4/a5/l2", "l1/../../../../outside/victim"}},
       ""},
      {"l1 a file: the walk ends there",
       {{"a1/a2/a3/a4/a5/l1", ""},
        {"a1/a2/a3/a4/a5/l2", "l1/../../../../outside/victim"}},
       ""},
      {"up one from a link to the root", {{"d/up", ".."}, {"d/l", "up/../x"}},
       "link d/l leaves the root"},
      {"its own directory through a link",
       {{"a/b/c/s", "../.."}, {"a/b/c/s/l", "../../x"}},
       "link a/b/c/s/l leaves the root"},
      {"a target cut at a NUL, as the kernel reads it",
       {{"d/up", ".."}, {"d/l2", "up\\u0000z"}, {"d/l3", "l2/../x"}},
       "link d/l3 leaves the root"},
      {"a link to a link inside", {{"d/l1", "../e"}, {"l2", "d/l1/f"}, {"e/f", ""}}, ""},
      {"a dangling link", {{"d/l", "no/such/../entry"}}, ""},
      {"a link to itself", {{"d/a", "a"}}, "link d/a loops (more than 40 links)"},
      {"two links to each other", {{"a", "d/b"}, {"d/b", "../a"}},
       "link a loops (more than 40 links)"},
      {"a chain of 40 links", LinkChain(40), ""},
      {"a chain of 41 links", LinkChain(41), "link c0 loops (more than 40 links)"},
      {"a file below one of its links", {{"lib", "lib64"}, {"lib/x", ""}},
       "file lib/x lies below link lib"},
      {"a link below one of its links", {{"d/l", "."}, {"d/l/m", "x"}},
       "file d/l/m lies below link d/l"},
  });
}

// Two entries of one name, as the file system will compare them ('\' is
// '/', case counts), are refused, naming it; names that only look alike
// load.
TEST(MetaFile, DoubledNamesAreRefused) {
  ExpectEntriesLoad({
      {"twice", {{"a", ""}, {"a", ""}}, "file a listed twice"},
      {"spelt with '\\'", {{"d/x", ""}, {"e", ""}, {"d\\\\x", ""}}, "file d/x listed twice"},
      {"a link and a file", {{"l", "a"}, {"a", ""}, {"l", ""}}, "file l listed twice"},
      {"case counts", {{"a", ""}, {"A", ""}}, ""},
      {"alike only", {{"a", ""}, {"a ", ""}, {"d/a", ""}}, ""},
  });
}

// "mode" is octal digits, as a string or a number, at most 07777, of which
// the bits of 0755 are kept; anything else refuses the document, naming
// the file and the value (cut).
TEST(MetaFile, ModeValues) {
  struct Row {
    const char *value;  // JSON text
    int mode;           // -1: refused
  } rows[] = {
      {R"("0755")", 0755}, {R"("755")", 0755},  {"755", 0755},          {R"("6777")", 0755},
      {R"("07777")", 0755}, {R"("0")", 0},     {R"("0600")", 0600},     {R"("0x1ed")", -1},
      {R"("99")", -1},     {R"("17777")", -1}, {R"("")", -1},           {R"("-1")", -1},
      {R"("0o755")", -1},  {R"(" 755")", -1},  {R"("rwxr-xr-x")", -1},  {"true", -1},
      {"null", -1},        {"{}", -1},         {"[7]", -1},             {"7.5", -1},
  };
  MetaFileGuard g;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.value);
    std::string doc = std::string(R"({"files":[{"name":"ok","size":0,"mode":"0700"},)") +
                      R"({"name":"bin/tool","size":0,"mode":)" + row.value + "}]}";
    ASSERT_EQ(Load(g.m, doc).code, row.mode < 0 ? 976u : 0u);
    if (row.mode < 0) {
      std::string text = row.value;
      if (text.size() >= 2 && text[0] == '"') text = text.substr(1, text.size() - 2);
      if (text == "{}" || text == "[7]") text = "";
      EXPECT_EQ(std::string(g.m->refusal), "file bin/tool: mode \"" + text + "\" is not octal digits");
      continue;
    }
    FileRecord *r = nullptr;
    ASSERT_TRUE(FileIndex_FindName(MetaFile_GetFileIndex(g.m), &r, "bin/tool"));
    EXPECT_TRUE(r->flags & kFileEntryMode);
    EXPECT_EQ(int(r->mode), row.mode);
  }
  // The first value that does not parse is named, cut to 40 bytes.
  std::string doc = R"({"files":[{"name":"a","size":0,"mode":")" + std::string(60, '9') +
                    R"("},{"name":"b","size":0,"mode":"x"}]})";
  ASSERT_EQ(Load(g.m, doc).code, 976u);
  EXPECT_EQ(std::string(g.m->refusal),
            "file a: mode \"" + std::string(size_t(kFileModeTextMax), '9') + "\" is not octal digits");
}

// A refused document leaves nothing behind: no id, entries or pieces, and
// no piece size that the request budget's arithmetic would read (a size of
// 2^63 - 1 used to overflow there). The largest piece loadable is the
// budget; the budget's arithmetic is bounded for any size.
TEST(MetaFile, RefusedDocumentLeavesNothingBehind) {
  MetaFileGuard g;
  const std::string files = R"({"id":"v7","files":[{"name":"a","size":3}],"pieces":{"size":)";
  struct Row {
    std::string size;
    uint32_t code;
  } rows[] = {{"268435456", 0u},
              {"268435457", 976u},
              {"9223372036854775807", 976u},
              {"-9223372036854775808", 976u}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.size);
    ASSERT_EQ(Load(g.m, files + row.size + R"(,"digests":)" + Digests(1) + "}}").code, row.code);
    const int loaded = row.code == 0;
    char id[kCatalogIdBytes];
    EXPECT_EQ(MetaFile_GetId(g.m, id, int32_t(sizeof id)), loaded);
    EXPECT_EQ(FileList_GetCount(MetaFile_GetFileList(g.m)), loaded);
    PieceList *pieces = MetaFile_GetPieceList(g.m);
    EXPECT_EQ(PieceList_GetPieceTotal(pieces), loaded);
    EXPECT_EQ(MetaFile_HasPieces(g.m), loaded);
    if (!loaded) {
      EXPECT_EQ(PieceList_GetPieceSize(pieces), 4194304);
      EXPECT_EQ(std::string(g.m->refusal), "piece size " + row.size + " outside 1 to 268435456");
    }
  }
  const int64_t most = StorageRequest_GetPieceBytes(kMetaFilePieceSizeMax);
  EXPECT_GT(most, 2 * kMetaFilePieceSizeMax);
  for (int64_t size : {INT64_MAX, kMetaFilePieceSizeMax + 1, int64_t(1) << 62})
    EXPECT_EQ(StorageRequest_GetPieceBytes(size), most) << size;
  EXPECT_EQ(StorageRequest_GetPieceBytes(INT64_MIN), StorageRequest_GetPieceBytes(0));
}

// Names and links are carved back to back from 4,096-byte chunks; one too
// large for a chunk gets a block of its own while the chunk goes on serving.
// Every text reads back whole, whatever lengths come in what order.
TEST(MetaFile, NamesAndLinksOfEveryLengthReadBack) {
  const int lengths[] = {1, 4095, 3000, 1200, 4090, 7, 4095, 2000};
  const int linkLengths[] = {0, 5000, 0, 20000, 1, 4096, 0, 3};
  std::vector<std::string> names, links;
  std::string doc = R"({"files":[)";
  for (size_t i = 0; i < std::size(lengths); i++) {
    std::string name(size_t(lengths[i]), char('a' + i));
    std::string link(size_t(linkLengths[i]), char('k' + i));
    names.push_back(name);
    links.push_back(link);
    // A link goes before its name: a large one falls between two names.
    doc += std::string(i ? "," : "") + "{" + (link.empty() ? "" : R"("link":")" + link + "\",") +
           R"("name":")" + name + R"(","size":)" + std::to_string(i) + "}";
  }
  doc += "]}";
  MetaFileGuard g;
  ASSERT_EQ(Load(g.m, doc).code, 0u);
  FileIndex *index = MetaFile_GetFileIndex(g.m);
  ASSERT_EQ(FileIndex_GetCount(index), int32_t(names.size()));
  for (size_t i = 0; i < names.size(); i++) {
    SCOPED_TRACE(i);
    FileRecord *r = nullptr;
    ASSERT_EQ(FileIndex_FindName(index, &r, names[i].c_str()), 1);
    EXPECT_EQ(std::string(r->name), names[i]);
    EXPECT_EQ(r->size, int64_t(i));
    EXPECT_EQ(r->link ? std::string(r->link) : "", links[i]);
  }
}

// Every stream offset finds the file whose extent holds it, across group
// boundaries (100 files a group) and among files of no extent that share a
// start with their neighbours.
TEST(MetaFile, EveryOffsetFindsItsFileAcrossGroups) {
  const int64_t kSizes[] = {0, 3, 0, 0, 5, 1, 0, 2};
  const int64_t kPads[] = {0, 0, 2, 0, 1, 0, 0, 0, 3};
  std::vector<int64_t> starts, ends;
  std::string doc = R"({"files":[)";
  int64_t at = 0;
  for (int k = 0; k < 250; k++) {
    int64_t size = kSizes[k % 8], pad = kPads[k % 9];
    doc += std::string(k ? "," : "") + R"({"name":"f)" + std::to_string(k) + R"(","size":)" +
           std::to_string(size) + R"(,"pad":)" + std::to_string(pad) + "}";
    starts.push_back(at);
    at += size + pad;
    ends.push_back(at);
  }
  doc += "]}";
  MetaFileGuard g;
  ASSERT_EQ(Load(g.m, doc).code, 0u);
  FileIndex *index = MetaFile_GetFileIndex(g.m);
  std::vector<FileRecord *> records;
  for (FileRecord *r = index->first; r != nullptr; r = r->next) records.push_back(r);
  ASSERT_EQ(records.size(), starts.size());
  for (int64_t offset = -1; offset <= at; offset++) {
    SCOPED_TRACE(offset);
    FileRecord *want = nullptr;
    for (size_t k = 0; k < starts.size(); k++)
      if (starts[k] <= offset && offset < ends[k]) want = records[k];
    FileRecord *found = nullptr;
    EXPECT_EQ(FileIndex_Find(index, &found, offset), want != nullptr ? 1 : 0);
    EXPECT_EQ(found, want);
  }
}

// A name with a component ending in the refused suffix (the file storage's
// partial extension) fails the load, whichever entry holds it; the suffix
// outlasts resets and compares with case.
TEST(MetaFile, RefusesNamesEndingInThePartialExtension) {
  const struct {
    const char *suffix;
    const char *first;
    const char *second;
    uint32_t code;
  } cases[] = {
      {".varnopartial", "a.bin", "a.bin.varnopartial", 976},
      {".varnopartial", "x/b.varnopartial", "a.bin", 976},
      {".varnopartial", "d.varnopartial/a", "a.bin", 976},
      {".varnopartial", "d\\\\e.varnopartial\\\\a", "a.bin", 976},
      {".varnopartial", "d.varnopartialx/a", "a.bin", 0},
      {".varnopartial", "a.bin", "a.bin.VARNOPARTIAL", 0},
      {"", "a.bin", "a.bin.varnopartial", 0},
      {".part", "a.bin", "a.bin.part", 976},
  };
  MetaFile *m = nullptr;
  MetaFile_Create(&m);
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.suffix) + " " + c.first + " " + c.second);
    MetaFile_SetRefusedSuffix(m, c.suffix);
    std::string text = std::string(R"({"files":[{"name":")") + c.first +
                       R"(","size":3},{"name":")" + c.second + R"(","size":2}]})";
    EXPECT_EQ(MetaFile_TestLoad(m, text.data(), int32_t(text.size())).code, c.code);
  }
  MetaFile_Destroy(&m);
}

// Names the file storage cannot make are refused at load with the entry,
// the rule, and for length the root and suffix they were counted with.
TEST(MetaFile, NameRulesNameTheEntryAndTheRule) {
  auto deep = [](size_t length) {  // components of 200 bytes
    std::string name;
    while (name.size() < length) name += std::string(200, 'd') + "/";
    name.resize(length);
    return name;
  };
  const std::string a242(242, 'a'), a243(243, 'a'), shown = std::string(96, 'a') + "...";
  const struct {
    const char *root;
    std::string name;  // as the JSON text writes it
    std::string refusal;  // "": loads
  } rows[] = {
      {"", "a\\u0001b", "file a\\x01b: the name holds a control character"},
      {"", "a//b", "file a//b: the name has an empty component"},
      {"", "dirname/", "file dirname/: the name has an empty component"},
      {"", "./a", "file ./a: the name has a . or .. component"},
      {"", std::string(4096, 'a'), "file " + shown + " (4096 bytes): the name passes 4095 bytes"},
      {"", "x.varnopartial/inner",
       "file x.varnopartial/inner: a component of the name ends in \".varnopartial\", the file "
       "storage's own suffix"},
      {"/r", "d/" + a242, ""},
      {"", "d/" + a243, ""},
      {"/r", "d/" + a243 + "/e",
       "file d/" + std::string(94, 'a') + "... (247 bytes): a component of 243 bytes, with "
       "\".varnopartial\" appended, passes the 255 bytes a file name may have"},
      {"/r", deep(4079), ""},
      {"", deep(4080), ""},
      {"/r", deep(4080),
       "file " + deep(96) + "... (4080 bytes): its path under /r, with \".varnopartial\" "
       "appended, is 4096 bytes, past the 4095 a path may have"},
  };
  MetaFileGuard g;
  MetaFile_SetRefusedSuffix(g.m, ".varnopartial");
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name.substr(0, 40) + " under " + row.root);
    MetaFile_SetRoot(g.m, row.root);
    EXPECT_EQ(Load(g.m, R"({"files":[{"name":")" + row.name + R"(","size":0}]})").code,
              row.refusal.empty() ? 0u : 976u);
    EXPECT_EQ(std::string(g.m->refusal), row.refusal);
  }
}

TEST(MetaFileDeathTest, IndexOutsideThePiecesStops) {
  MetaFileGuard g;
  ASSERT_EQ(Load(g.m, R"({"files":[{"name":"a","size":3}],"pieces":{"size":2,"digests":)" +
                          Digests(2) + "}}")
                .code,
            0u);
  int32_t length = 0;
  uint8_t digest[kPieceListDigestMax];
  EXPECT_DEATH(MetaFile_GetPieceLength(g.m, 2, &length), "Index out of bounds");
  EXPECT_DEATH(PieceList_GetDigest(MetaFile_GetPieceList(g.m), -1, digest, sizeof digest),
               "Index out of bounds");
}

namespace {

// A layout drawn to reach the corners: empty files and links, files that end
// on a piece boundary, pad runs before, inside and after data or missing
// (the last file included), zero-length pads, one piece or many.
Layout DrawLayout(std::mt19937 &rng) {
  auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
  Layout l;
  static const int64_t kSizes[] = {1, 2, 3, 5, 8, 16, 64, 4096};
  l.pieceSize = kSizes[pick(8)];
  l.padList = pick(10) < 7;
  int64_t s = l.pieceSize, at = 0;
  auto toBoundary = [&]() { return at % s == 0 ? s : s - at % s; };
  auto padSize = [&]() -> int64_t {
    switch (pick(4)) {
      case 0: return 0;
      case 1: return 1 + pick(int(std::min<int64_t>(s, 40)));
      case 2: return toBoundary();
      default: return 1;
    }
  };
  int files = 1 + pick(8);
  bool anyData = false;
  for (int k = 0; k < files; k++) {
    LayoutFile f;
    f.name = "d" + std::to_string(k % 3) + "/f" + std::to_string(k);
    switch (pick(5)) {
      case 0: f.size = 0; break;
      case 1: f.size = toBoundary() + (pick(2) ? 0 : s); break;  // ends on a boundary
      default: f.size = 1 + pick(int(std::min<int64_t>(3 * s, 200)));
    }
    // Never d0/f0 itself: a link to itself loops and is refused.
    if (f.size == 0 && pick(3) == 0 && k > 0) f.link = "../d0/f0";
    at += f.size;
    if (l.padList) {
      if (f.size > 1 && pick(4) == 0) {  // inside the data (or right before it)
        int64_t n = padSize();
        f.runs.push_back({pick(int(f.size)), n});
        at += n;
      }
      for (int n = pick(3); n > 0; n--) {  // after the data: none, one or two runs
        int64_t size = padSize();
        f.runs.push_back({f.size, size});
        at += size;
      }
      std::sort(f.runs.begin(), f.runs.end(),
                [](const auto &a, const auto &b) { return a.first < b.first; });
    } else if (pick(3) != 0) {
      f.ownPad = std::min(padSize(), toBoundary());  // an own pad stays in its piece
      at += f.ownPad;
    }
    anyData |= f.size > 0;
    l.files.push_back(f);
  }
  // Pad with no data anywhere belongs to no file: such a stream holds
  // nothing to install.
  if (l.padList && !anyData)
    for (LayoutFile &f : l.files) f.runs.clear();
  return l;
}

void CheckLayout(MetaFile *m, const Layout &l, const LayoutExpect &e) {
  FileIndex *index = MetaFile_GetFileIndex(m);
  std::map<FileRecord *, int32_t> number;
  FileRecord *r = nullptr;
  int32_t k = 0;
  for (FileIndex_GetFirst(index, &r); r != nullptr; r = r->next, k++) {
    SCOPED_TRACE("file " + std::to_string(k));
    ASSERT_LT(size_t(k), l.files.size());
    number[r] = k;
    EXPECT_EQ(Name(r), l.files[size_t(k)].name);
    EXPECT_EQ(r->link ? std::string(r->link) : "", l.files[size_t(k)].link);
    ASSERT_EQ(r->size, l.files[size_t(k)].size);
    ASSERT_EQ(r->offset, e.offset[size_t(k)]);
    ASSERT_EQ(r->pad, e.pad[size_t(k)]);
  }
  ASSERT_EQ(size_t(k), l.files.size());
  int64_t data = 0, padding = 0;
  FileIndex_GetTotalLength(index, &data);
  FileIndex_GetTotalPadding(index, &padding);
  ASSERT_EQ(data + padding, e.stream);
  ASSERT_EQ(MetaFile_GetPieceLengthCount(m), int32_t(e.pieceLength.size()));
  StorageRequest *request = nullptr;
  StorageRequest_Create(&request);
  for (int32_t i = 0; i < int32_t(e.pieceLength.size()); i++) {
    SCOPED_TRACE("piece " + std::to_string(i));
    int32_t length = 0;
    MetaFile_GetPieceLength(m, i, &length);
    ASSERT_EQ(length, e.pieceLength[size_t(i)]);
    StorageRequest_Reset(request);
    StorageRequest_SetMetaFile(request, m);
    StorageRequest_AddPiece(request, i);
    std::vector<LayoutRun> runs;
    for (StorageMember *x = StorageRequest_GetFirstMember(request); x != nullptr; x = x->next)
      Layout_AddRun(runs, {number[x->file], x->fileOffset, x->length});
    ASSERT_EQ(runs, e.pieceRuns[size_t(i)]);
  }
  Class_ReleaseObject(&request);
}

}  // namespace

// Drawn layouts against the byte-map model of tests/layout_model.h. Set
// KEELSON_LAYOUT_SEED to replay one layout's seed.
TEST(MetaFile, DrawnLayoutsMatchTheModel) {
  const LayoutSeeds seeds = LayoutSeeds_Get(0x1a7047, 2500, 400);
  MetaFileGuard g;
  int padList = 0, lastWithoutPad = 0;
  for (int n = 0; n < seeds.count; n++) {
    SCOPED_TRACE(seeds.Trace(n));
    std::mt19937 rng(seeds.Seed(n));
    Layout l = DrawLayout(rng);
    LayoutExpect e = Layout_Expect(l);
    std::string doc = Layout_Document(l, e);
    Result result = Load(g.m, doc);
    ASSERT_EQ(result.code, 0u) << doc;
    ASSERT_NO_FATAL_FAILURE(CheckLayout(g.m, l, e)) << doc;
    padList += l.padList;
    lastWithoutPad += l.padList && l.files.back().runs.empty() && l.files.back().size > 0;
  }
  // The draw reaches both modes and the layout that used to be refused.
  if (!seeds.replay) {
    EXPECT_GT(padList, seeds.count / 2);
    EXPECT_GT(lastWithoutPad, seeds.count / 20);
  }
}
