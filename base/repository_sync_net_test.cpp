// Synchronize and Erase end to end: nginx serves the content tree's "http"
// versions h1 and h2 (files, pieces with gzip, AES-256 and pad lists,
// deltas); the repository brings a directory to a version, and the result
// is checked against expected/<v>.json by tests/check_tree.py (sha1sum -c,
// stat), with the local metafile byte-equal to the served one.
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/fsfault.h"
#include "tests/repository_harness.h"
#include "tests/test_util.h"

namespace {

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class RepositorySyncNetThreaded : public RepositoryNetFixture {
 protected:
  // Two listeners on one tree: the "mux" case reads from both.
  static void SetUpTestSuite() { server_ = new ContentTreeServer(true, 2); }

  std::string Install() const { return dir_ / "install"; }
  std::string LocalMeta() const { return dir_ / "state/meta.json"; }
  std::string Pending() const { return dir_ / "pending"; }

  // A catalog of version id whose "config" is config; its URL.
  std::string Catalog(const std::string &id, const std::string &config = "{\"requests\":4}") {
    std::string name = "sync/" + id + "-" + std::to_string(catalogs_++) + ".json";
    Nginx()->WriteFile("contenttree/" + name, "{\"id\":\"" + id + "\",\"metafile\":\"" +
                                                  Url("http/meta/" + id + ".json") +
                                                  "\",\"config\":" + config + "}");
    return Url(name);
  }
  // A repository for version id read from remote (JSON), extra members
  // appended to its configuration.
  Repository *MakeSync(const std::string &id, const std::string &remote,
                       const std::string &extra = "", const std::string &catalogConfig = "{\"requests\":4}") {
    std::string json = "{\"repository\":\"game\",\"remoteId\":\"" + id + "\",\"catalog\":\"" +
                       Catalog(id, catalogConfig) + "\",\"metafile\":\"" + LocalMeta() +
                       "\",\"local\":{\"type\":\"file\",\"path\":\"" + Install() +
                       "\"},\"remote\":" + remote + extra + "}";
    return Make(json);
  }
  // Refresh, then Synchronize to its end. 1 when both ended in time.
  bool Synchronize() {
    Refresh();
    Repository_SetSynchronize(repository, 1);
    return Pump([&] { return SyncDone(); });
  }
  bool SyncDone() {
    return !(repository->actionFlags & kRepositoryActionSynchronize) &&
           !(repository->stateFlags & kRepositoryStateSynchronize);
  }
  // "ok", or the differences check_tree.py finds.
  std::string CheckTree(const std::string &id) {
    int status = 0;
    std::string out = Test_RunCommand("/usr/bin/python3 " KEELSON_TESTS_DIR "/check_tree.py " +
                                          Tree("http/expected/" + id + ".json") + " " + Install() +
                                          " 2>&1",
                                      &status);
    return out.substr(0, out.find_last_not_of('\n') + 1);
  }
  void ExpectInstalled(const std::string &id) {
    EXPECT_EQ(CheckTree(id), "ok");
    EXPECT_EQ(ReadAll(LocalMeta()), ReadAll(Tree("http/meta/" + id + ".json")));
    EXPECT_EQ(repository->errorCount, 0) << repository->lastErrorSource << " "
                                         << repository->lastErrorCode;
  }
  // nginx's lines since mark whose path holds part.
  std::vector<NginxPortsPeer::LogLine> Fetched(size_t mark, const std::string &part) {
    std::vector<NginxPortsPeer::LogLine> out;
    auto log = Nginx()->AccessLog();
    for (size_t i = mark; i < log.size(); i++)
      if (log[i].uri.find(part) != std::string::npos) out.push_back(log[i]);
    return out;
  }
  // Piece indexes whose digests differ between two versions.
  static int32_t ChangedPieces(const std::string &a, const std::string &b) {
    int status = 0;
    std::string out = Test_RunCommand(
        "/usr/bin/python3 -c 'import json,sys; a,b=[json.load(open(p))[\"pieces\"] for p in "
        "sys.argv[1:]]; print(sum(x!=y for x,y in zip(a,b)))' " +
            Tree("http/expected/" + a + ".json") + " " + Tree("http/expected/" + b + ".json"),
        &status);
    return std::stoi(out);
  }

  FsFaultTempDir dir_;
  int catalogs_ = 0;
};

// An empty directory to a version over each kind of remote: whole files,
// padded plain pieces, pieces with headers in every encoding (the password
// asked once after a wrong answer), the flat store, and a "mux" of two
// listeners that both serve.
TEST_F(RepositorySyncNetThreaded, EmptyDirectoryToVersion) {
  struct Case {
    const char *name;
    const char *id;
    std::string remote;
  };
  const Case cases[] = {
      {"http files", "h1", "{\"type\":\"http\",\"url\":\"" + Url("http/files/h1/") + "\"}"},
      {"httpPiece baseUrl, padded", "h1",
       "{\"type\":\"httpPiece\",\"flags\":1,\"baseUrl\":\"" + Url("http/cache/") + "\"}"},
      {"httpPiece baseUrl, encoded", "h2",
       "{\"type\":\"httpPiece\",\"baseUrl\":\"" + Url("http/remote/") + "\"}"},
      {"httpPiece flat url", "h2",
       "{\"type\":\"httpPiece\",\"url\":\"" + Url("http/flatstore/") + "\"}"},
      {"mux of two ports", "h2",
       "{\"type\":\"MUX\",\"storages\":[{\"type\":\"http\",\"url\":\"" +
           Nginx()->Url(0, "/contenttree/http/files/h2/") + "\"},{\"type\":\"http\",\"url\":\"" +
           Nginx()->Url(1, "/contenttree/http/files/h2/") + "\"}]}"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Install());
    std::filesystem::remove_all(dir_ / "state");
    TestPrompter prompter;
    prompter.Script("{\"password\":\"wrong\"}");
    prompter.Script("{\"password\":\"open-sesame\"}");
    size_t mark = Nginx()->AccessLog().size();
    MakeSync(c.id, c.remote);
    ASSERT_TRUE(Synchronize());
    ExpectInstalled(c.id);
    bool encoded = std::string(c.name) == "httpPiece baseUrl, encoded" ||
                   std::string(c.name) == "httpPiece flat url";
    EXPECT_EQ(prompter.Prompts().size(), encoded ? 2u : 0u);
    if (std::string(c.name) == "mux of two ports") {
      std::set<int> ports;
      for (const auto &line : Fetched(mark, "/http/files/h2/")) ports.insert(line.port);
      EXPECT_EQ(ports.size(), 2u);
    }
  }
}

}  // namespace
