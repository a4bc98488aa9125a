#include "base/catalog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/alias.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "tests/metafile_util.h"
#include "tests/test_util.h"

namespace {

// faults/index.json as its scalars in order: name, kind, code, codeEx per case.
std::vector<TestJsonNode> ReadFaultIndex() {
  return Test_JsonNodes(Test_ReadVectors("contenttree/faults/index.json"));
}

struct UrlCase {
  const char *base;
  const char *remote;
  const char *local;
  int32_t specificIn;
  int result;
  const char *url;
  int32_t specificOut;
};

}  // namespace

TEST(Catalog, BuildUrl) {
  const std::string longId(134, 'i');
  const std::vector<UrlCase> cases = {
      // Updating from 6 to 7: the specific catalog first, then the generic one.
      {"http://h/c", "7", "6", 1, 1, "http://h/c/7/6/catalog.json", 1},
      {"http://h/c", "7", "6", 0, 1, "http://h/c/7/catalog.json", 0},
      {"http://h/c/", "7", "6", 1, 1, "http://h/c/7/6/catalog.json", 1},
      // The same version in another case, or no local version: generic.
      {"http://h/c", "Beta7", "bETA7", 1, 1, "http://h/c/Beta7/catalog.json", 0},
      {"http://h/c", "7", "", 1, 1, "http://h/c/7/catalog.json", 0},
      {"http://h/c", "7", nullptr, 1, 1, "http://h/c/7/catalog.json", 0},
      // A base naming a document is used as it is, in any case.
      {"http://h/c/LATEST.JSON", "", "6", 1, 1, "http://h/c/LATEST.JSON", 0},
      {"http://h/c/x.json", "7", "6", 1, 1, "http://h/c/x.json", 0},
      // Ids are single path segments.
      {"http://h/c", "7#a?b%c d", "6", 1, 1, "http://h/c/7%23a%3Fb%25c%20d/6/catalog.json", 1},
      {"http://h/c", "1.0~rc_2-x", "", 1, 1, "http://h/c/1.0~rc_2-x/catalog.json", 0},
      // Refused: no remote id, ids that leave their segment.
      {"http://h/c", "", "6", 1, 0, "", 1},
      {"http://h/c", "..", "6", 1, 0, "", 1},
      {"http://h/c", "7", "../6", 1, 0, "", 1},
      {"http://h/c", "a/b", "", 1, 0, "", 1},
      {"http://h/c", longId.c_str(), "", 1, 0, "", 1},
  };
  for (const UrlCase &c : cases) {
    SCOPED_TRACE(std::string(c.base) + " " + c.remote + " " + (c.local ? c.local : "(null)"));
    char url[4096] = "junk";
    int32_t specific = c.specificIn;
    EXPECT_EQ(Catalog_BuildUrl(c.base, c.remote, c.local, &specific, url, sizeof url), c.result);
    EXPECT_STREQ(url, c.url);
    EXPECT_EQ(specific, c.specificOut);
  }
  // A URL that does not fit is refused whole.
  char small[20];
  int32_t specific = 1;
  EXPECT_EQ(Catalog_BuildUrl("http://h/c", "7", "6", &specific, small, sizeof small), 0);
  EXPECT_STREQ(small, "");
}

namespace {

// The document request's result for a JSON text: the root value as one
// keyless item of a fresh Dictionary.
struct Document {
  Dictionary *d = nullptr;
  explicit Document(const std::string &text) {
    Dictionary_Create(&d);
    Json *json = nullptr;
    Json_Create(&json);
    Json_SetDictionary(json, d);
    EXPECT_TRUE(Json_ParseMemory(json, text.data(), int32_t(text.size()))) << text;
    Json_Release(&json);
  }
  ~Document() { Dictionary_Release(&d); }
};

}  // namespace

// The generator's faulted alias and catalog documents are refused, and the
// loadable shapes (a one-element array holding the object included) read.
TEST(Catalog, DocumentsReadAndRefused) {
  Alias *alias = nullptr;
  Alias_Create(&alias);
  Alias_SetKey(alias, "game");
  Catalog *catalog = nullptr;
  Catalog_Create(&catalog);
  struct Row {
    std::string name, kind, text;
    int want;
  };
  std::vector<Row> rows = {
      {"alias object", "alias", R"({"game":"7","other":"x"})", 1},
      {"alias in a one-element array", "alias", R"([{"game":"7"}])", 1},
      {"alias in a two-element array", "alias", R"([{"game":"7"},{"game":"8"}])", 0},
      {"alias id of 133 characters", "alias", "{\"game\":\"" + std::string(133, 'i') + "\"}", 1},
      {"alias id empty", "alias", R"({"game":""})", 0},
      {"catalog", "catalog", R"({"id":"7","metafile":"http://h/m.json","config":{}})", 1},
      {"catalog in a one-element array", "catalog", R"([{"id":"7","metafile":"m"}])", 1},
      {"catalog metafile of 4096 bytes", "catalog",
       "{\"id\":\"7\",\"metafile\":\"" + std::string(4096, 'u') + "\"}", 0},
      {"catalog id a number", "catalog", R"({"id":7,"metafile":"m"})", 0},
  };
  std::vector<TestJsonNode> index = ReadFaultIndex();
  for (size_t i = 0; i + 3 < index.size(); i += 4) {
    if (index[i + 1].value == "metafile") continue;
    rows.push_back({index[i].value, index[i + 1].value,
                    Test_ReadVectors("contenttree/faults/" + index[i].value + ".json"), 0});
  }
  int faults = 0;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Document doc(row.text);
    if (row.kind == "alias") {
      EXPECT_EQ(Alias_OnLoaded(alias, doc.d), row.want);
      char id[kCatalogIdBytes];
      EXPECT_EQ(Alias_GetRemoteId(alias, id), row.want);
    } else {
      EXPECT_EQ(Catalog_OnLoaded(catalog, doc.d), row.want);
    }
    faults += row.want == 0;
  }
  EXPECT_GT(faults, 20);
  Catalog_Destroy(&catalog);
  Alias_Destroy(&alias);
}

// A catalog and a metafile are bound to the id they were asked for: any
// other is refused with both ids named; case does not count, and an empty
// expected id (a catalog URL that names none) takes any.
TEST(Catalog, DocumentsBoundToTheIdAskedFor) {
  struct Row {
    const char *expected, *id;
    int want;
    const char *refusal;
  } rows[] = {{"v2", "v2", 1, ""},
              {"v2", "V2", 1, ""},
              {"", "v1", 1, ""},
              {"v2", "v1", 0, "id v1, expected v2"},
              {"v2", "v22", 0, "id v22, expected v2"}};
  Catalog *catalog = nullptr;
  Catalog_Create(&catalog);
  MetaFile *meta = nullptr;
  MetaFile_Create(&meta);
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.expected) + " " + row.id);
    Catalog_SetExpectedId(catalog, row.expected);
    Document doc(std::string(R"({"id":")") + row.id + R"(","metafile":"m"})");
    EXPECT_EQ(Catalog_OnLoaded(catalog, doc.d), row.want);
    EXPECT_EQ(std::string(catalog->refusal), row.want ? "" : std::string("catalog ") + row.refusal);
    MetaFile_SetExpectedId(meta, row.expected);
    std::string text = std::string(R"({"id":")") + row.id + R"(","files":[]})";
    EXPECT_EQ(MetaFile_TestLoad(meta, text.data(), int32_t(text.size())).code,
              row.want ? 0u : 976u);
    EXPECT_EQ(std::string(meta->refusal), row.want ? "" : std::string("metafile ") + row.refusal);
  }
  // A metafile without an id is not the version asked for.
  MetaFile_SetExpectedId(meta, "v2");
  EXPECT_EQ(MetaFile_TestLoad(meta, R"({"files":[]})", 12).code, 976u);
  MetaFile_Destroy(&meta);
  Catalog_Destroy(&catalog);
}
