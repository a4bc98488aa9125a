// The repository file's paths made absolute once, at start, as every user
// of them (lock, local metafile, storages, space check, clean-up) needs.
#include "host/preflight.h"

#include <gtest/gtest.h>

#include <string>

#include "core/formats/dictionary.h"
#include "core/platform/platform.h"
#include "tests/netfixture.h"

namespace {

std::string Text(Dictionary *d, const char *key) {
  const char *text = nullptr;
  return Dictionary_GetStringPointerByKey(d, key, &text) && text != nullptr ? text : "<none>";
}

Dictionary *Member(Dictionary *list, int32_t index) {
  Dictionary *child = nullptr;
  Dictionary_GetDictionaryByIndex(list, index, &child);
  return child;
}

// Relative paths of the file and filePiece storages, at any depth of a mux
// and in a list, and of "metafile", gain the working directory; rooted,
// home and URL texts, and the keys of other storage types, stay.
TEST(Preflight, RelativePathsGainTheWorkingDirectory) {
  char cwd[4096];
  ASSERT_TRUE(Platform_GetCurrentDirectory(cwd, int(sizeof cwd)));
  std::string here = cwd;
  if (here.back() != '/') here += '/';
  Dictionary *config = NetTest_Dictionary(R"({"repository": "r", "metafile": "m.json",
    "local": {"type": "file", "path": "game", "ignore": "../skip"},
    "pending": {"type": "filePiece", "path": "~/staged"},
    "remote": [{"type": "httpPiece", "path": "web", "baseUrl": "https://h/p/"},
               {"type": "mux", "storages": [{"type": "FilePiece", "path": "pieces/"},
                                            {"type": "file", "path": "/srv/abs"}]},
               {"type": "file", "path": "~name"}]})");
  char line[kPreflightLineBytes];
  ASSERT_EQ(Preflight_ResolvePaths(config, line, int(sizeof line)), 1);
  EXPECT_STREQ(line, "");
  Dictionary *local = nullptr, *pending = nullptr, *remote = nullptr, *mux = nullptr;
  ASSERT_TRUE(Dictionary_GetDictionaryByKey(config, "local", &local));
  ASSERT_TRUE(Dictionary_GetDictionaryByKey(config, "pending", &pending));
  ASSERT_TRUE(Dictionary_GetListByKey(config, "remote", &remote));
  ASSERT_TRUE(Dictionary_GetListByKey(Member(remote, 1), "storages", &mux));
  struct Row {
    Dictionary *d;
    const char *key;
    std::string want;
  } rows[] = {
      {config, "metafile", here + "m.json"},     {local, "path", here + "game"},
      {local, "ignore", here + "../skip"},       {pending, "path", "~/staged"},
      {Member(remote, 0), "path", "web"},         {Member(mux, 0), "path", here + "pieces/"},
      {Member(mux, 1), "path", "/srv/abs"},      {Member(remote, 2), "path", here + "~name"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.key + (" = " + row.want));
    EXPECT_EQ(Text(row.d, row.key), row.want);
  }
  Dictionary_Release(&config);

  // A metafile given as a URL is no path.
  config = NetTest_Dictionary(R"({"repository": "r", "metafile": "file:///x/m.json"})");
  ASSERT_EQ(Preflight_ResolvePaths(config, line, int(sizeof line)), 1);
  EXPECT_EQ(Text(config, "metafile"), "file:///x/m.json");
  Dictionary_Release(&config);
}

}  // namespace
