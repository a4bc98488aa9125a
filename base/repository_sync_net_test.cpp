// Synchronize and Erase end to end: nginx serves the content tree's "http"
// versions h1 and h2 (files, pieces with gzip, AES-256 and pad lists,
// deltas); the repository brings a directory to a version, and the result
// is checked against expected/<v>.json by tests/check_tree.py (sha1sum -c,
// stat), with the local metafile byte-equal to the served one.
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include "core/platform/rootdir.h"
#include "tests/fault_server.h"
#include "tests/dirops_test_util.h"
#include "tests/fd_stream.h"
#include "tests/fsfault.h"
#include "tests/repository_harness.h"
#include "tests/storage_copy_util.h"
#include "tests/test_util.h"

namespace {

std::string PercentDecoded(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

class RepositorySyncNetThreaded : public RepositoryNetFixture {
 protected:
  // Two listeners on one tree: the "mux" case reads from both.
  static void SetUpTestSuite() { server_ = new ContentTreeServer(true, 2); }

  std::string Install() const { return dir_ / "install"; }
  std::string LocalMeta() const { return dir_ / "state/meta.json"; }
  std::string Pending() const { return dir_ / "pending"; }

  // A catalog of version id whose "config" is config; its URL.
  // The metafile is http/meta/<id>.json unless meta names another.
  std::string Catalog(const std::string &id, const std::string &config, const std::string &meta) {
    std::string name = "sync/" + id + "-" + std::to_string(catalogs_++) + ".json";
    Nginx()->WriteFile("contenttree/" + name,
                       "{\"id\":\"" + id + "\",\"metafile\":\"" +
                           Url(meta.empty() ? "http/meta/" + id + ".json" : meta) +
                           "\",\"config\":" + config + "}");
    return Url(name);
  }
  // A repository for version id read from remote (JSON), extra members
  // appended to its configuration.
  Repository *MakeSync(const std::string &id, const std::string &remote,
                       const std::string &extra = "",
                       const std::string &catalogConfig = "{\"requests\":4}",
                       const std::string &meta = "") {
    std::string json = "{\"repository\":\"game\",\"remoteId\":\"" + id + "\",\"catalog\":\"" +
                       Catalog(id, catalogConfig, meta) + "\",\"metafile\":\"" + LocalMeta() +
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
  std::string CheckTree(const std::string &id, const char *options = "") {
    int status = 0;
    std::string out = Test_RunCommand("/usr/bin/python3 " KEELSON_TESTS_DIR "/check_tree.py " +
                                          Tree("http/expected/" + id + ".json") + " " + Install() +
                                          " " + options + " 2>&1",
                                      &status);
    return out.substr(0, out.find_last_not_of('\n') + 1);
  }
  void ExpectInstalled(const std::string &id) {
    EXPECT_EQ(CheckTree(id), "ok");
    EXPECT_EQ(Test_ReadFile(LocalMeta()), Test_ReadFile(Tree("http/meta/" + id + ".json")));
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

  std::string FilesRemote(const std::string &id) {
    return "{\"type\":\"http\",\"url\":\"" + Url("http/files/" + id + "/") + "\"}";
  }
  // A fresh installation of id from its whole files.
  void InstallFresh(const std::string &id) {
    std::filesystem::remove_all(Install());
    std::filesystem::remove_all(dir_ / "state");
    std::filesystem::remove_all(Pending());
    MakeSync(id, FilesRemote(id));
    ASSERT_TRUE(Synchronize());
    ExpectInstalled(id);
  }
  std::string PendingConfig(bool inplace) {
    return ",\"pending\":{\"type\":\"filePiece\",\"path\":\"" + Pending() +
           "\"},\"inplace\":" + (inplace ? "true" : "false");
  }
  int32_t Pieces(const std::string &id) {
    int status = 0;
    return std::stoi(Test_RunCommand("/usr/bin/python3 -c 'import json,sys; print(len(json.load("
                                     "open(sys.argv[1]))[\"pieces\"]))' " +
                                         Tree("http/expected/" + id + ".json"),
                                     &status));
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

// The installation and metafile directories the start opened stay the
// run's: renamed after the start, with another directory put at the name
// (holding a metafile of another user's), the update reads and writes the
// directories opened, and the one now at the name is left as it was.
TEST_F(RepositorySyncNetThreaded, DirectoriesOpenedAtStartStay) {
  const struct Row {
    const char *name;
    std::string directory;
  } rows[] = {{"installation", Install()}, {"metafile directory", dir_ / "state"}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    InstallFresh("h1");
    RootDirectory *installation = nullptr, *state = nullptr;
    ASSERT_EQ(RootDirectory_Open(Install().c_str(), 0, &installation), 1);
    ASSERT_EQ(RootDirectory_Open((dir_ / "state").c_str(), 0, &state), 1);
    MakeSync("h2", FilesRemote("h2"));
    ASSERT_EQ(Repository_SetDirectories(repository, installation, state), 1);
    RootDirectory_Close(&installation);
    RootDirectory_Close(&state);
    std::string moved = row.directory + ".moved";
    std::filesystem::rename(row.directory, moved);
    std::filesystem::create_directory(row.directory);
    std::string decoy = row.directory + "/meta.json";
    Dirops_WriteFile(decoy, Test_ReadFile(Tree("http/meta/h2.json")));
    ASSERT_EQ(chown(decoy.c_str(), 65534, 65534), 0);
    ASSERT_TRUE(Synchronize());
    EXPECT_STREQ(repository->localMetaFileNote, "");
    std::vector<std::string> there;
    for (const auto &entry : std::filesystem::directory_iterator(row.directory))
      there.push_back(entry.path().filename().string());
    EXPECT_EQ(there, std::vector<std::string>{"meta.json"});
    struct stat st;
    EXPECT_TRUE(stat(decoy.c_str(), &st) == 0 && st.st_uid == 65534u);
    std::filesystem::remove_all(row.directory);
    std::filesystem::rename(moved, row.directory);
    ExpectInstalled("h2");
  }
}

// A 16 MiB file and two small ones from padded pieces, checked with the
// tree's own sha1sum manifest.
TEST_F(RepositorySyncNetThreaded, LargeFileFromPieces) {
  std::filesystem::remove_all(Install());
  std::filesystem::remove_all(dir_ / "state");
  MakeSync("kill",
           "{\"type\":\"httpPiece\",\"flags\":1,\"baseUrl\":\"" + Url("install/kill/pieces/") + "\"}",
           "", "{\"requests\":6}", "install/kill/meta.json");
  ASSERT_TRUE(Synchronize());
  EXPECT_EQ(repository->errorCount, 0);
  int status = -1;
  std::string out = Test_RunCommand("cd " + Install() + " && sha1sum -c --quiet " +
                                        Tree("install/kill/manifest.sha1") +
                                        " 2>&1 && find . -name \"*.varnopartial\"",
                                    &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(Test_ReadFile(LocalMeta()), Test_ReadFile(Tree("install/kill/meta.json")));
}

// h1 to h2 through a pending file-piece storage with "inplace" true: only
// the changed pieces cross the wire, whether the unchanged ones are read
// back from the installed files or, with the mask allowed, masked by digest.
TEST_F(RepositorySyncNetThreaded, UpdateFetchesOnlyChangedPieces) {
  int32_t changed = ChangedPieces("h1", "h2");
  ASSERT_GT(changed, 1);
  for (int32_t maskAllowed : {0, 1}) {
    SCOPED_TRACE(maskAllowed);
    InstallFresh("h1");
    TestPrompter prompter;
    prompter.Script("{\"password\":\"open-sesame\"}");
    size_t mark = Nginx()->AccessLog().size();
    MakeSync("h2", "{\"type\":\"httpPiece\",\"baseUrl\":\"" + Url("http/remote/") + "\"}",
             PendingConfig(true));
    repository->maskAllowed = maskAllowed;
    ASSERT_TRUE(Synchronize());
    ExpectInstalled("h2");
    Nginx()->AccessLog(mark + size_t(changed));
    EXPECT_EQ(Fetched(mark, ".varnopiece").size(), size_t(changed));
    EXPECT_EQ(Fetched(mark, ".varnodelta").size(), 0u);
    int32_t masked = 0;
    for (const std::string &line : lines)
      masked += line.find("Piece Skipped (Mask)") != std::string::npos;
    EXPECT_EQ(masked, maskAllowed ? Pieces("h2") - changed : 0);
  }
}

// The same update with deltas against the installed files (the
// generator's and xdelta3's through the reframer), staged in the pending
// storage and applied; a delta answered 404 turns VCDIFF off for that
// request and the whole piece follows. A second Synchronize of the same
// repository, with the apply stage again, fetches nothing.
TEST_F(RepositorySyncNetThreaded, UpdateWithDeltas) {
  std::filesystem::remove_all(Tree("sync404"));
  std::filesystem::copy(Tree("http/remote"), Tree("sync404"),
                        std::filesystem::copy_options::recursive);
  int status = 0;
  std::string missing = Test_RunCommand(
      "/usr/bin/python3 -c 'import json,sys; a,b=[json.load(open(p))[\"pieces\"] for p in "
      "sys.argv[1:]]; print(next(y[1] for x,y in zip(a,b) if x!=y))' " +
          Tree("http/expected/h1.json") + " " + Tree("http/expected/h2.json"),
      &status);
  missing = missing.substr(0, missing.find('\n'));
  ASSERT_TRUE(std::filesystem::remove(Tree("sync404/h1/" + missing + ".varnodelta")));
  int32_t changed = ChangedPieces("h1", "h2");
  struct Case {
    const char *name;
    const char *store;
    int32_t whole;  // pieces fetched whole
  };
  const Case cases[] = {
      {"generator deltas", "http/remote/", 0},
      {"xdelta3 deltas", "http/xdelta/", 0},
      {"one delta missing", "sync404/", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (!std::filesystem::exists(Tree(c.store))) {
      ADD_FAILURE() << "no " << c.store << " (xdelta3 missing?)";
      continue;
    }
    InstallFresh("h1");
    TestPrompter prompter;
    prompter.Script("{\"password\":\"open-sesame\"}");
    size_t mark = Nginx()->AccessLog().size();
    MakeSync("h2", "{\"type\":\"httpPiece\",\"flags\":4,\"baseUrl\":\"" + Url(c.store) + "\"}",
             PendingConfig(true));
    ASSERT_TRUE(Synchronize());
    EXPECT_EQ(Repository_GetApplyEnabled(repository), 1);
    EXPECT_EQ(repository->deltaFailures, c.whole);
    EXPECT_EQ(Logged("Disabling vcdiff"), c.whole > 0);
    repository->errorCount -= c.whole;
    ExpectInstalled("h2");
    Nginx()->AccessLog(mark + size_t(changed + c.whole));
    EXPECT_EQ(Fetched(mark, ".varnodelta").size(), size_t(changed));
    EXPECT_EQ(Fetched(mark, ".varnopiece").size(), size_t(c.whole));
    if (c.whole == 0) {
      mark = Nginx()->AccessLog().size();
      ASSERT_TRUE(Synchronize());
      ExpectInstalled("h2");
      EXPECT_EQ(Fetched(mark, ".varno").size(), 0u);
    }
  }
}

// A "mask" text selects the pieces to copy: exactly those are fetched,
// the others count as masked.
TEST_F(RepositorySyncNetThreaded, MaskSelectsPieces) {
  std::filesystem::remove_all(Install());
  std::filesystem::remove_all(dir_ / "state");
  int32_t pieces = Pieces("h2");
  int status = 0;
  // Pieces 0-7 and the last one.
  std::string mask = Test_RunCommand(
      "/usr/bin/python3 -c 'import base64,sys; n=int(sys.argv[1]); b=bytearray((n+7)//8); "
      "b[0]=255; b[(n-1)//8]|=0x80>>((n-1)%8); print(base64.b64encode(b).decode())' " +
          std::to_string(pieces),
      &status);
  mask = mask.substr(0, mask.find('\n'));
  TestPrompter prompter;
  prompter.Script("{\"password\":\"open-sesame\"}");
  size_t mark = Nginx()->AccessLog().size();
  MakeSync("h2", "{\"type\":\"httpPiece\",\"url\":\"" + Url("http/flatstore/") + "\"}",
           ",\"mask\":\"" + mask + "\"");
  repository->maskAllowed = 1;
  ASSERT_TRUE(Synchronize());
  EXPECT_EQ(repository->errorCount, 0);
  Nginx()->AccessLog(mark + 9);
  EXPECT_EQ(Fetched(mark, ".varnopiece").size(), 9u);
  int32_t masked = 0;
  StorageCopy_GetPiecesMasked(repository->copy, &masked);
  EXPECT_EQ(masked, pieces - 9);
  EXPECT_FALSE(Logged("mask="));  // hidden from the configuration dump
}

// The copy set-up per configuration: the copy engine's flags, the apply
// stage and which of the clean-ups and the metafile save stay on. A staging
// run ("inplace" false) keeps the installed version as it is: no clean-up,
// no save.
TEST_F(RepositorySyncNetThreaded, CopySetUp) {
  InstallFresh("h1");
  std::string files = FilesRemote("h2");
  std::string deltas = "{\"type\":\"httpPiece\",\"flags\":4,\"baseUrl\":\"" + Url("http/remote/") + "\"}";
  struct Case {
    const char *name;
    std::string remote;
    std::string extra;
    int32_t maskAllowed;
    bool installed;
    uint32_t flags;
    int32_t apply, cleanup, save;
  };
  const Case cases[] = {
      {"plain", files, "", 0, true, 13, 0, 1, 1},
      {"autoMask", files, "", 1, true, 45, 0, 1, 1},
      {"autoMask off", files, ",\"autoMask\":false", 1, true, 13, 0, 1, 1},
      {"nothing installed", files, "", 1, false, 13, 0, 0, 1},
      {"pending", files, PendingConfig(true), 0, true, 15, 0, 1, 1},
      {"staging", files, PendingConfig(false), 0, true, 31, 0, 0, 0},
      {"deltas", deltas, PendingConfig(true), 0, true, 95, 1, 1, 1},
      {"staged deltas", deltas, PendingConfig(false), 0, true, 95, 0, 0, 0},
      {"no cleanup, no save", files, ",\"cleanup\":false,\"metafileSave\":false", 0, true, 13, 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestPrompter prompter;
    MakeSync("h2", c.remote, c.extra);
    if (!c.installed)
      Dictionary_SetStringByKey(repository->config, "metafile", (dir_ / "none.json").c_str());
    repository->maskAllowed = c.maskAllowed;
    Refresh();
    Repository_SetSynchronize(repository, 1);
    ASSERT_TRUE(Pump([&] { return repository->configured != 0; }));
    uint32_t flags = 0;
    StorageCopy_GetFlags(repository->copy, &flags);
    EXPECT_EQ(flags, c.flags);
    EXPECT_EQ(repository->applyEnabled, c.apply);
    EXPECT_EQ(repository->cleanup, c.cleanup);
    EXPECT_EQ(repository->metafileSave, c.save);
    Repository_SetSynchronize(repository, 0);
    ASSERT_TRUE(Pump([&] { return !(repository->stateFlags & kRepositoryStateAlive); }));
  }
  // Deltas need a pending storage to stage into.
  MakeSync("h2", deltas);
  ASSERT_TRUE(Synchronize());
  EXPECT_TRUE(Logged("Configuration dictionary missing pending"));
  EXPECT_EQ(repository->lastErrorCode, 986);
}

// Configurations that cannot copy: the copy never starts and the
// configuration error is recorded with its line.
TEST_F(RepositorySyncNetThreaded, ConfigurationFailures) {
  struct Case {
    const char *name;
    std::string remote;
    std::string extra;
    const char *line;
  };
  const Case cases[] = {
      {"lone empty mux", "{\"type\":\"mux\"}", "", "No remote sources defined"},
      {"mux of an empty mux", "{\"type\":\"mux\",\"storages\":[{\"type\":\"mux\"}]}", "",
       "No remote sources defined"},
      {"no remote", "[]", "", "No remote sources defined"},
      {"undecodable mask", FilesRemote("h2"), ",\"mask\":\"@@@\"", "Invalid mask field (game)"},
      {"no local", FilesRemote("h2"), "", "Configuration dictionary missing local"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Install());
    std::filesystem::remove_all(dir_ / "state");
    size_t mark = Nginx()->AccessLog().size();
    MakeSync("h2", c.remote, c.extra);
    if (c.name == std::string("no local")) Dictionary_RemoveKey(repository->config, "local");
    repository->maskAllowed = 1;
    ASSERT_TRUE(Synchronize());
    EXPECT_TRUE(Logged(c.line));
    EXPECT_EQ(repository->lastErrorSource, kRepositorySourceConfig);
    EXPECT_EQ(repository->lastErrorCode, 986);
    EXPECT_FALSE(std::filesystem::exists(LocalMeta()));
    EXPECT_EQ(Fetched(mark, "/http/files/").size(), 0u);
  }
}

// A staging run ("inplace" false) fills only the pending storage: the
// installed files and the local metafile stay the old version's, nothing is
// cleaned. A run with "inplace" true then applies the staged pieces without
// fetching any.
TEST_F(RepositorySyncNetThreaded, StagingThenApply) {
  InstallFresh("h1");
  std::string before = CheckTree("h1");
  ASSERT_EQ(before, "ok");
  std::string remote = "{\"type\":\"http\",\"url\":\"" + Url("http/files/h2/") + "\"}";
  MakeSync("h2", remote, PendingConfig(false));
  repository->maskAllowed = 1;
  ASSERT_TRUE(Synchronize());
  EXPECT_EQ(repository->errorCount, 0);
  EXPECT_EQ(Repository_GetCleanup(repository), 0);
  EXPECT_EQ(CheckTree("h1"), "ok");
  EXPECT_EQ(Test_ReadFile(LocalMeta()), Test_ReadFile(Tree("http/meta/h1.json")));
  int32_t staged = 0;
  for (auto &entry : std::filesystem::recursive_directory_iterator(Pending()))
    staged += entry.is_regular_file();
  EXPECT_EQ(staged, ChangedPieces("h1", "h2"));
  size_t mark = Nginx()->AccessLog().size();
  MakeSync("h2", remote, PendingConfig(true));
  repository->maskAllowed = 1;
  ASSERT_TRUE(Synchronize());
  ExpectInstalled("h2");
  EXPECT_EQ(Fetched(mark, "/http/files/").size(), 0u);
}

// Erase with an ignore file: every listed file but the ignored one goes,
// emptied directories with them, then the local metafile and its emptied
// directory; nothing outside the root is touched.
TEST_F(RepositorySyncNetThreaded, EraseKeepsIgnoredFiles) {
  InstallFresh("h2");
  int status = 0;
  std::string kept = Test_RunCommand(
      "/usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[\"files\"][0][0])' " +
          Tree("http/expected/h2.json"),
      &status);
  kept = kept.substr(0, kept.find('\n'));
  std::ofstream(dir_ / "ignore.json") << "[\"" << kept << "\"]";
  std::ofstream(dir_ / "outside.txt") << "outside";
  std::string json = "{\"repository\":\"game\",\"metafile\":\"" + LocalMeta() +
                     "\",\"local\":{\"type\":\"file\",\"path\":\"" + Install() +
                     "\",\"ignore\":\"" + (dir_ / "ignore.json") + "\"},\"requests\":2}";
  Make(json);
  Repository_SetActive(repository, 1);
  Repository_SetErase(repository, 1);
  ASSERT_TRUE(Pump([&] {
    return !(repository->actionFlags & kRepositoryActionErase) &&
           !(repository->stateFlags & kRepositoryStateErase);
  }));
  EXPECT_EQ(repository->errorCount, 0);
  std::vector<std::string> left;
  for (auto &entry : std::filesystem::recursive_directory_iterator(Install()))
    if (!entry.is_directory() || std::filesystem::is_empty(entry.path()))
      left.push_back(std::filesystem::relative(entry.path(), Install()).string());
  EXPECT_EQ(left, std::vector<std::string>{kept});
  EXPECT_FALSE(std::filesystem::exists(dir_ / "state"));
  EXPECT_EQ(Test_ReadFile(dir_ / "outside.txt"), "outside");
}

// Stopping and restarting a running copy. Each case interrupts the copy
// once some pieces are done, then lets the repository go on; the local
// metafile is never written before the copy ends.
TEST_F(RepositorySyncNetThreaded, InterruptedCopy) {
  enum class Stop { ClearSetAfterPump, ClearSetAtOnce, ClearThenErase, Cancel };
  struct Case {
    const char *name;
    Stop stop;
  };
  const Case cases[] = {
      {"cleared, set again after a pump", Stop::ClearSetAfterPump},
      {"cleared, set again at once", Stop::ClearSetAtOnce},
      {"cleared, then Erase", Stop::ClearThenErase},
      {"cancelled", Stop::Cancel},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Install());
    std::filesystem::remove_all(dir_ / "state");
    MakeSync("h2", FilesRemote("h2"), "", "{\"requests\":4,\"fileCompletes\":2}");
    Refresh();
    Repository_SetSynchronize(repository, 1);
    ASSERT_TRUE(Pump([&] {
      int32_t done = 0;
      StorageCopy_GetPiecesComplete(repository->copy, &done);
      return StorageCopy_IsRunning(repository->copy) && done >= 8;
    }));
    switch (c.stop) {
      case Stop::ClearSetAfterPump:
        Repository_SetSynchronize(repository, 0);
        Pump([] { return true; });
        EXPECT_FALSE(std::filesystem::exists(LocalMeta()));
        Repository_SetSynchronize(repository, 1);
        break;
      case Stop::ClearSetAtOnce:
        Repository_SetSynchronize(repository, 0);
        Repository_SetSynchronize(repository, 1);
        break;
      case Stop::ClearThenErase: {
        Repository_SetSynchronize(repository, 0);
        Repository_SetErase(repository, 1);
        int32_t pendingAtErase = -1;
        ASSERT_TRUE(Pump([&] {
          if (repository->stateFlags & kRepositoryStateErase) {
            if (pendingAtErase < 0)
              Repository_GetPendingRequests(repository, &pendingAtErase);
          }
          return pendingAtErase >= 0 || !(repository->actionFlags & kRepositoryActionErase);
        }));
        EXPECT_EQ(pendingAtErase, 0);
        ASSERT_TRUE(Pump([&] { return !(repository->stateFlags & kRepositoryStateAlive); }));
        EXPECT_FALSE(std::filesystem::exists(LocalMeta()));
        continue;
      }
      case Stop::Cancel: {
        Repository_Cancel(repository);
        ASSERT_TRUE(Pump([&] {
          int32_t pending = 0;
          Repository_GetPendingRequests(repository, &pending);
          return pending == 0 && !(repository->stateFlags & kRepositoryStateAlive);
        }));
        EXPECT_FALSE(std::filesystem::exists(LocalMeta()));
        EXPECT_EQ(CheckTree("h2", "--present-only"), "ok");
        continue;
      }
    }
    ASSERT_TRUE(Pump([&] { return SyncDone(); }));
    ExpectInstalled("h2");
  }
}

// Refresh and Synchronize requested together: Refresh runs first, then the
// copy, to the end.
TEST_F(RepositorySyncNetThreaded, RefreshAndSynchronizeTogether) {
  std::filesystem::remove_all(Install());
  std::filesystem::remove_all(dir_ / "state");
  MakeSync("h2", FilesRemote("h2"));
  Repository_SetActive(repository, 1);
  Repository_SetActionFlags(repository, repository->actionFlags | kRepositoryActionRefresh |
                                            kRepositoryActionSynchronize);
  ASSERT_TRUE(Pump([&] { return SyncDone() && !(repository->stateFlags & kRepositoryStateRefresh); }));
  ExpectInstalled("h2");
}

// Repair: a flipped byte, a truncated file, a deleted file and a changed
// modified time in an installation that is up to date; the next
// Synchronize fetches only from the damaged files and restores the tree.
TEST_F(RepositorySyncNetThreaded, RepairFetchesOnlyDamagedFiles) {
  InstallFresh("h2");
  int status = 0;
  std::string names = Test_RunCommand(
      "/usr/bin/python3 -c 'import json,sys,re; print(\"\\n\".join([f[0] for f in "
      "json.load(open(sys.argv[1]))[\"files\"] if f[3] > 600 and f[4]][:4]))' " + Tree("http/expected/h2.json"),
      &status);
  std::vector<std::string> files;
  std::stringstream in(names);
  for (std::string name; std::getline(in, name);) files.push_back(name);
  ASSERT_EQ(files.size(), 4u) << names;
  {
    std::fstream flip(Install() + "/" + files[0], std::ios::in | std::ios::out | std::ios::binary);
    flip.seekg(100);
    char byte = 0;
    flip.read(&byte, 1);
    byte ^= 0x40;
    flip.seekp(100);
    flip.write(&byte, 1);
  }
  std::filesystem::resize_file(Install() + "/" + files[1], 300);
  std::filesystem::remove(Install() + "/" + files[2]);
  std::filesystem::last_write_time(Install() + "/" + files[3],
                                   std::filesystem::file_time_type::clock::now());
  size_t mark = Nginx()->AccessLog().size();
  MakeSync("h2", FilesRemote("h2"));
  ASSERT_TRUE(Synchronize());
  ExpectInstalled("h2");
  std::set<std::string> fetched;
  for (const auto &line : Fetched(mark, "/http/files/h2/"))
    fetched.insert(PercentDecoded(line.uri.substr(line.uri.find("/h2/") + 4)));
  // Besides the damaged files, only files that share a piece with them.
  std::string shared = Test_RunCommand(
      "/usr/bin/python3 -c 'import json,sys; e=json.load(open(sys.argv[1])); s=e[\"pieceSize\"]; "
      "span=lambda f: (f[1]//s, max(f[1], f[1]+f[3]+f[2]-1)//s); "
      "hit=[span(f) for f in e[\"files\"] if f[0] in sys.argv[2:]]; "
      "print(\"\\n\".join(f[0] for f in e[\"files\"] if any(span(f)[0]<=b and a<=span(f)[1] "
      "for a,b in hit)))' " +
          Tree("http/expected/h2.json") + " '" + files[0] + "' '" + files[1] + "' '" + files[2] +
          "'",
      &status);
  std::set<std::string> allowed;
  std::stringstream list(shared);
  for (std::string name; std::getline(list, name);) allowed.insert(name);
  for (int i = 0; i < 3; i++) EXPECT_EQ(fetched.count(files[i]), 1u) << files[i];
  for (const std::string &name : fetched) EXPECT_EQ(allowed.count(name), 1u) << name;
  EXPECT_LT(allowed.size(), size_t(Pieces("h2")));
}

// A remote that flaps (500, 503 and dropped connections) while the test
// clock jumps over each back-off: the copy completes and every failure is
// counted. The clock moves only while the copy runs with no request in
// flight, so every piece waits out its back-off; moving it while a document
// is still loading would time that fetch out instead.
TEST_F(RepositorySyncNetThreaded, FlappingRemoteCompletes) {
  FaultServer flapping;
  ASSERT_NE(flapping.port, 0);
  TestClock clock;
  std::filesystem::remove_all(Install());
  std::filesystem::remove_all(dir_ / "state");
  MakeSync("fault",
           "{\"type\":\"http\",\"url\":\"" + flapping.Url("/m/honest,flap=12/") + "\"}", "",
           "{\"requests\":2}", "http/fault/meta.json");
  Refresh();
  Repository_SetSynchronize(repository, 1);
  ASSERT_TRUE(Pump([&] {
    int32_t pending = 0;
    Repository_GetPendingRequests(repository, &pending);
    if (pending == 0 && StorageCopy_IsRunning(repository->copy))
      clock.Advance(16);  // past the back-off waiting now
    return SyncDone();
  }));
  EXPECT_GE(repository->errorCount, 6);
  EXPECT_EQ(repository->lastErrorSource, kRepositorySourceStorageRemote);
  for (auto [name, size] : {std::pair<const char *, int>{"w700", 700}, {"f3000", 3000}}) {
    std::string bytes = Test_ReadFile(Install() + "/" + name);
    std::string want;
    for (int j = 0; j < size; j++) want += char(j % 251);
    EXPECT_TRUE(bytes == want) << name;
  }
  EXPECT_EQ(Test_ReadFile(LocalMeta()), Test_ReadFile(Tree("http/fault/meta.json")));
}

// A full file system under the installation: writes fail with 964/112 and
// are retried every 5 s; once space is freed the copy completes. Runs in a
// child with its own mount namespace and its own network services; the
// documents come through file:// URLs and the pieces from the fault server.
TEST(RepositoryDiskFull, CompletesOnceSpaceIsFreed) {
  FaultServer server;
  ASSERT_NE(server.port, 0);
  FsFaultTempDir dir;
  int status = 0;
  Test_RunCommand(
      "/usr/bin/python3 -c 'import json,hashlib,base64,sys; files=[(\"w700\",700),"
      "(\"f3000\",3000)]; s=b\"\".join(bytes(j%251 for j in range(n)) for _,n in files); "
      "d=[base64.b64encode(hashlib.sha1(s[i:i+1024]).digest()).decode() for i in "
      "range(0,len(s),1024)]; json.dump({\"id\":\"fault\",\"files\":[{\"name\":a,\"size\":n} "
      "for a,n in files],\"pieces\":{\"algorithm\":\"SHA1\",\"size\":1024,\"digests\":d}},"
      "open(sys.argv[1],\"w\"))' " +
          (dir / "meta.json"),
      &status);
  ASSERT_EQ(status, 0);
  std::ofstream(dir / "catalog.json") << "{\"id\":\"fault\",\"metafile\":\"file://" << (dir / "meta.json")
                                      << "\",\"config\":{\"requests\":2}}";
  std::string install = dir / "fs/install";
  std::string config = "{\"repository\":\"game\",\"remoteId\":\"fault\",\"catalog\":\"file://" +
                       (dir / "catalog.json") + "\",\"metafile\":\"" + (dir / "state/meta.json") +
                       "\",\"local\":{\"type\":\"file\",\"path\":\"" + install +
                       "\"},\"remote\":{\"type\":\"http\",\"url\":\"" + server.Url("/m/honest/") +
                       "\"}}";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(dir / "fs", "size=1M")) return;
    std::filesystem::create_directories(install);
    {
      std::ofstream filler(dir / "fs/filler", std::ios::binary);
      filler << std::string(2 << 20, 'f');  // cut short where the file system is full
    }
    AuthSwitchGuardForTest auth(0);
    TestClock clock;
    Class_Init();
    Thread_Init();
    EventQueue_InitMain();
    NetTest_InitModules();
    NetTest_StartLoopbackServices();
    Dictionary *settings = nullptr;
    Dictionary_Create(&settings);
    StorageDefaults_Merge(settings);
    Repository *r = nullptr;
    Repository_Create(&r);
    Dictionary *d = NetTest_Dictionary(config);
    Repository_SetConfiguration(r, d);
    Dictionary_Release(&d);
    Repository_SetLimits(r, settings);
    Repository_SetEventQueue(r, EventQueue_GetMain());
    Repository_SetActive(r, 1);
    Repository_SetActionFlags(r, r->actionFlags | kRepositoryActionRefresh |
                                     kRepositoryActionSynchronize);
    bool sawFull = false;
    bool done = NetTest_PumpUntil([&] {
      Repository_Process(r);
      if (!sawFull && r->lastErrorCode == 964 && r->lastErrorCodeEx == 112) {
        sawFull = true;
        std::filesystem::remove(dir / "fs/filler");
      }
      int32_t pending = 0;
      Repository_GetPendingRequests(r, &pending);
      if (sawFull && pending == 0) clock.Advance(1);  // toward the 5 s retry
      return !(r->actionFlags & kRepositoryActionSynchronize) &&
             !(r->stateFlags & kRepositoryStateSynchronize);
    });
    FSF_EXPECT(child, done);
    FSF_EXPECT(child, sawFull);
    std::string want;
    for (int j = 0; j < 3000; j++) want += char(j % 251);
    FSF_EXPECT(child, Test_ReadFile(install + "/f3000") == want);
    FSF_EXPECT(child, Test_ReadFile(install + "/w700") == want.substr(0, 700));
    FSF_EXPECT(child, Test_ReadFile(dir / "state/meta.json") == Test_ReadFile(dir / "meta.json"));
    Repository_Destroy(&r);
    Dictionary_Release(&settings);
    NetTest_StopLoopbackServices();
    NetTest_ShutdownModules();
    Thread_Shutdown();
    EventQueue *main = EventQueue_GetMain();
    Class_ReleaseObject(&main);
    Class_Shutdown();
  });
}

}  // namespace
