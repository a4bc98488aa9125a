// The repository file's paths made absolute once, at start, as every user
// of them (lock, local metafile, storages, space check, clean-up) needs.
#include "host/preflight.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/formats/dictionary.h"
#include "core/platform/platform.h"
#include "tests/fsfault.h"
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
  std::string parent = here.substr(0, here.find_last_of('/', here.size() - 2) + 1);
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
      {local, "ignore", parent + "skip"},        {pending, "path", "~/staged"},
      {Member(remote, 0), "path", "web"},         {Member(mux, 0), "path", here + "pieces/"},
      {Member(mux, 1), "path", "/srv/abs"},      {Member(remote, 2), "path", here + "~name"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.key + (" = " + row.want));
    EXPECT_EQ(Text(row.d, row.key), row.want);
  }
  Dictionary_Release(&config);

  // A ".." after a link is read as open(2) reads it: the parent of where
  // the link leads. Another user's link on the way is not followed.
  FsFaultTempDir dir;
  ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "a/b").c_str(), 0755), 0);
  ASSERT_EQ(symlink("a/b", (dir / "l").c_str()), 0);
  ASSERT_EQ(symlink("a/b", (dir / "theirs").c_str()), 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  config = NetTest_Dictionary(R"({"repository": "r", "metafile": "l/../m.json",
    "local": {"type": "file", "path": "l/../new/../game", "ignore": "missing/../x"}})");
  ASSERT_EQ(Preflight_ResolvePaths(config, line, int(sizeof line)), 1);
  ASSERT_TRUE(Dictionary_GetDictionaryByKey(config, "local", &local));
  std::string real = dir.path() + "/";
  EXPECT_EQ(Text(config, "metafile"), real + "a/m.json");
  EXPECT_EQ(Text(local, "path"), real + "a/new/../game");
  EXPECT_EQ(Text(local, "ignore"), real + "missing/../x");
  Dictionary_Release(&config);
  if (geteuid() == 0) {
    ASSERT_EQ(lchown((dir / "theirs").c_str(), 65534, 65534), 0);
    config = NetTest_Dictionary(R"({"repository": "r", "metafile": "theirs/../m.json"})");
    EXPECT_EQ(Preflight_ResolvePaths(config, line, int(sizeof line)), 0);
    EXPECT_NE(std::string(line).find(real + "theirs: a link on the way to theirs/../m.json is "
                                     "owned by another user"), std::string::npos) << line;
    Dictionary_Release(&config);
  }
  ASSERT_EQ(chdir(cwd), 0);

  // A metafile given as a URL is no path.
  config = NetTest_Dictionary(R"({"repository": "r", "metafile": "file:///x/m.json"})");
  ASSERT_EQ(Preflight_ResolvePaths(config, line, int(sizeof line)), 1);
  EXPECT_EQ(Text(config, "metafile"), "file:///x/m.json");
  Dictionary_Release(&config);
}

}  // namespace
