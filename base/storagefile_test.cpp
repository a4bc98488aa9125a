#include "base/storagefile.h"

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "base/filelist.h"
#include "base/piecelist.h"
#include "base/storagerequest.h"
#include "core/platform/asyncfile.h"
#include "tests/dirops_test_util.h"
#include "tests/metafile_vectors.h"
#include "tests/storage_loop.h"
#include "tests/storage_test_util.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

constexpr int kInFlight = 8;

std::string Vectors(const std::string &name) {
  const char *base = getenv("KEELSON_VECTORS");
  return std::string(base != nullptr ? base : "vectors") + "/contenttree/install/" + name;
}

// A storage of its own (the fixture's is the file storage).
struct OwnStorage {
  Storage *storage = nullptr;
  OwnStorage() {
    Storage_Create(&storage);
    Storage_SetQueue(storage, EventQueue_GetMain());
  }
  ~OwnStorage() { Class_ReleaseObject(&storage); }
};

class StorageFileTest : public StorageFixture {
 protected:
  void SetUp() override {
    StorageFixture::SetUp();
    AsyncFile_Init();
    mkdir((dir_ / "outside").c_str(), 0755);
    Dirops_WriteFile(dir_ / "outside/keep", "sentinel");
    outside_ = Outside();
  }
  void TearDown() override {
    EXPECT_EQ(Outside(), outside_);
    for (auto &entry : metas_) MetaFile_Destroy(&entry.second);
    StorageFixture::TearDown();
    AsyncFile_Shutdown();
    FsFault_Command("chmod -R u+w " + Dirops_Quote(dir_.path()));
  }
  std::string Outside() {
    return FsFault_Command("ls -lA --full-time " + Dirops_Quote(dir_ / "outside") +
                           "; stat -c '%y %s' " + Dirops_Quote(dir_ / "outside"));
  }
  MetaFile *Meta(const std::string &version) {
    MetaFile *&m = metas_[version];
    if (m == nullptr) {
      std::ifstream in(Vectors(version + "/meta.json"), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      MetaFile_Create(&m);
      EXPECT_EQ(MetaFile_TestLoad(m, text.str().data(), int32_t(text.str().size())).code, 0u);
    }
    return m;
  }
  static int ConfigureFile(Storage *s, const std::string &root, int selfUpdate = 0,
                           int systemBuffer = 1, const std::string &ignore = "") {
    Dictionary *config = nullptr, *app = nullptr;
    Dictionary_Create(&config);
    Dictionary_Create(&app);
    Dictionary_SetStringByKey(config, "type", "file");
    Dictionary_SetStringByKey(config, "path", root.c_str());
    if (!ignore.empty()) Dictionary_SetStringByKey(config, "ignore", ignore.c_str());
    Dictionary_SetBooleanByKey(config, "selfUpdate", selfUpdate);
    Dictionary_SetBooleanByKey(config, "systemBuffer", systemBuffer);
    Dictionary_SetStringByPath(app, "storage.partialExtension", ".varnopartial");
    Dictionary_SetStringByPath(app, "storage.lockDirectory", "");
    Dictionary_SetBooleanByPath(app, "storage.skipTimestamp", 0);
    Dictionary_SetBooleanByPath(app, "storage.skipAttributes", 0);
    Dictionary_SetBooleanByPath(app, "storage.selfUpdate", 0);
    int ok = Storage_Configure(s, app, config);
    Dictionary_Release(&app);
    Dictionary_Release(&config);
    return ok;
  }
  static int ConfigurePieces(Storage *s, const std::string &version) {
    Dictionary *config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByKey(config, "type", "filePiece");
    Dictionary_SetInt64ByKey(config, "flags", kStorageFlagPad);
    Dictionary_SetStringByKey(config, "path", Vectors(version + "/pieces").c_str());
    Dictionary_SetStringByKey(config, "pieceFormat", "{targetInfoHash}/{targetDigest}.varnopiece");
    Dictionary_SetBooleanByKey(config, "systemBuffer", 1);
    int ok = Storage_Configure(s, nullptr, config);
    Dictionary_Release(&config);
    return ok;
  }
  // Copies pieces of version from its piece store into the file storage.
  std::map<int32_t, StorageLoopCodes> Install(const std::string &version,
                                              const std::vector<int32_t> &pieces) {
    OwnStorage source;
    EXPECT_EQ(ConfigurePieces(source.storage, version), 1);
    return StorageLoop_Copy(source.storage, storage, Meta(version), pieces, kInFlight);
  }
  // The shell peers agree with the generated tree: sha1sum -c, stat,
  // readlink and diff -r.
  void ExpectInstalled(const std::string &version, const std::string &root) {
    std::string base = Vectors(version);
    EXPECT_EQ(FsFault_Command("cd " + Dirops_Quote(root) + " && sha1sum -c --quiet " +
                              Dirops_Quote(base + "/manifest.sha1") + " 2>&1; echo $?"),
              "0");
    std::ifstream stat(base + "/stat.txt");
    std::string line;
    while (std::getline(stat, line)) {
      std::istringstream row(line);
      std::string size, mtime, readOnly, name;
      row >> size >> mtime >> readOnly;
      std::getline(row >> std::ws, name);
      std::string seen = FsFault_Command("stat -c '%s %Y %a' " + Dirops_Quote(root + "/" + name));
      std::istringstream got(seen);
      std::string gotSize, gotTime, gotMode;
      got >> gotSize >> gotTime >> gotMode;
      EXPECT_EQ(gotSize, size) << name;
      if (mtime != "-") {
        EXPECT_EQ(gotTime, mtime) << name;
      }
      bool writable = (std::stoi(gotMode, nullptr, 8) & 0222) != 0;
      EXPECT_EQ(writable, readOnly == "0") << name << " " << gotMode;
    }
    std::ifstream links(base + "/links.txt");
    while (std::getline(links, line)) {
      if (line.empty()) continue;
      size_t tab = line.find('\t');
      EXPECT_EQ(FsFault_Command("readlink " + Dirops_Quote(root + "/" + line.substr(tab + 1))),
                line.substr(0, tab));
    }
    EXPECT_EQ(FsFault_Command("diff -r --no-dereference " + Dirops_Quote(base + "/files") + " " +
                              Dirops_Quote(root) + " 2>&1; echo $?"),
              "0");
  }

  FsFaultTempDir dir_;
  std::string outside_;
  std::map<std::string, MetaFile *> metas_;
};

TEST_F(StorageFileTest, ConfigurationAndStatus) {
  Dictionary *config = nullptr;
  Dictionary_Create(&config);
  Dictionary_SetStringByKey(config, "type", "file");
  EXPECT_EQ(Storage_Configure(storage, nullptr, config), 0);
  EXPECT_TRUE(Logged("Configuration dictionary missing partialExtension"));
  Dictionary_Release(&config);
  ASSERT_EQ(ConfigureFile(storage, dir_ / "root/./a", 0, 0), 1);
  Dictionary *status = nullptr;
  Dictionary_Create(&status);
  Storage_GetStatus(storage, status);
  EXPECT_EQ(DictionaryKeys(status),
            "type,id,errorCount,pendingRequests,readBytes,writeBytes,maxReadSpeed,"
            "maxWriteSpeed,readSpeed,writeSpeed,extraFileFlags,lockDirectory,outputPath,"
            "partialExtension,openFiles");
  char text[512] = {};
  Dictionary_GetStringByKey(status, "outputPath", text, sizeof text);
  EXPECT_EQ(std::string(text), dir_ / "root/a");
  int64_t flags = 0;
  Dictionary_GetInt64ByKey(status, "extraFileFlags", &flags);
  EXPECT_EQ(flags, 0x100);
  Dictionary_Release(&status);
  EXPECT_EQ(Storage_GetFlags(storage), kStorageFlagPad);
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
}

// Every generated version installs (three pad modes, 64 KiB and 4 MiB
// pieces, buffered and unbuffered) and the shell peers agree.
TEST_F(StorageFileTest, InstallsGeneratedVersions) {
  const struct {
    const char *version;
    int systemBuffer;
  } cases[] = {{"none", 1}, {"align", 0}, {"list", 1}, {"big", 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.version);
    std::string root = dir_ / (std::string("root-") + c.version);
    Storage_Reset(storage);
    ASSERT_EQ(ConfigureFile(storage, root, 0, c.systemBuffer), 1);
    MetaFile *meta = Meta(c.version);
    EXPECT_TRUE(Install(c.version, StorageLoop_AllPieces(meta)).empty());
    EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
    ExpectInstalled(c.version, root);
    // Read back through the file storage: every piece verifies.
    EXPECT_TRUE(
        StorageLoop_Copy(storage, nullptr, meta, StorageLoop_AllPieces(meta), kInFlight).empty());
    void *context = nullptr;
    Storage_GetDriverContext(storage, &context);
    EXPECT_EQ(StorageFile_GetOpenFileCount(context), 0);
  }
}

// Pieces written last first leave every file partial, at its full size,
// until Storage_CompleteFile; completing twice does nothing more.
TEST_F(StorageFileTest, FilesStayPartialUntilCompleted) {
  std::string root = dir_ / "root";
  ASSERT_EQ(ConfigureFile(storage, root), 1);
  MetaFile *meta = Meta("none");
  std::vector<int32_t> order = StorageLoop_AllPieces(meta);
  std::reverse(order.begin(), order.end());
  EXPECT_TRUE(Install("none", order).empty());
  EXPECT_FALSE(Dirops_Exists(root + "/big.bin"));
  struct stat st;
  ASSERT_EQ(stat((root + "/big.bin.varnopartial").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 5 * 65536 + 123);
  EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
  ExpectInstalled("none", root);
  lines.clear();
  EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
  EXPECT_FALSE(Logged("File Complete"));
  // A file that is missing completes (masked pieces rely on it), logged.
  unlink((root + "/big.bin").c_str());
  Storage_Reset(storage);
  ASSERT_EQ(ConfigureFile(storage, root), 1);
  EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
  EXPECT_TRUE(Logged("Skipping File Complete (big.bin)"));
}

// Each damaged state fails exactly the pieces over its damaged bytes;
// rewriting them and completing restores the manifest.
TEST_F(StorageFileTest, RepairsDamagedStates) {
  for (const char *version : {"list", "none"}) {
    std::ifstream in(Vectors(std::string(version) + "/damage.txt"));
    MetaFile *meta = Meta(version);
    std::string line;
    for (int k = 0; std::getline(in, line); k++) {
      std::istringstream row(line);
      std::string what, pieces, name;
      int64_t arg = 0;
      row >> what >> arg >> pieces;
      std::getline(row >> std::ws, name);
      std::map<int32_t, int32_t> expected;
      std::istringstream list(pieces);
      for (std::string item; std::getline(list, item, ',');)
        expected[std::stoi(item)] = std::stoi(item.substr(item.find(':') + 1));
      std::string state = what + " " + name;
      SCOPED_TRACE(std::string(version) + " " + state);
      std::string root = dir_ / (std::string("repair-") + version + "-" + std::to_string(k));
      FsFault_Command("cp -a " + Dirops_Quote(Vectors(std::string(version) + "/files")) + " " +
                      Dirops_Quote(root));
      std::string file = root + "/" + name;
      chmod(file.c_str(), 0644);
      if (what == "missing" || what == "directory") unlink(file.c_str());
      if (what == "directory") mkdir(file.c_str(), 0755);
      if (what == "truncate") {
        EXPECT_EQ(truncate(file.c_str(), arg), 0);
      }
      if (what == "flip") {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(arg);
        char c = 0;
        f.read(&c, 1);
        c = char(c ^ 0x20);
        f.seekp(arg);
        f.write(&c, 1);
      }
      if (what == "partial") {
        std::string bytes = Dirops_ReadFile(file);
        bytes.replace(size_t(arg), bytes.size() - size_t(arg), bytes.size() - size_t(arg), '\0');
        unlink(file.c_str());
        Dirops_WriteFile(file + ".varnopartial", bytes);
      }
      Storage_Reset(storage);
      ASSERT_EQ(ConfigureFile(storage, root), 1);
      auto failures =
          StorageLoop_Copy(storage, nullptr, meta, StorageLoop_AllPieces(meta), kInFlight);
      std::map<int32_t, int32_t> codes;
      std::vector<int32_t> broken;
      for (auto &f : failures) {
        codes[f.first] = f.second.first;
        broken.push_back(f.first);
      }
      EXPECT_EQ(codes, expected);
      auto rewritten = Install(version, broken);
      if (what == "directory") {  // a directory is never replaced by a write
        for (auto &f : rewritten) EXPECT_EQ(f.second, StorageLoopCodes(964, 5));
        EXPECT_EQ(rewritten.size(), broken.size());
        continue;
      }
      EXPECT_TRUE(rewritten.empty());
      EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
      ExpectInstalled(version, root);
    }
  }
}

// v1 -> v2 in place: with selfUpdate a running copy of /bin/sleep in the
// tree is replaced (the process lives on, the path has the new bytes, and a
// file with one changed piece of many keeps the rest); without it, the same
// update fails with 964/32.
TEST_F(StorageFileTest, UpdatesInPlace) {
  for (int selfUpdate = 1; selfUpdate >= 0; selfUpdate--) {
    SCOPED_TRACE(selfUpdate);
    std::string root = dir_ / ("update-" + std::to_string(selfUpdate));
    Storage_Reset(storage);
    ASSERT_EQ(ConfigureFile(storage, root, selfUpdate), 1);
    MetaFile *v1 = Meta("u1"), *v2 = Meta("u2");
    EXPECT_TRUE(Install("u1", StorageLoop_AllPieces(v1)).empty());
    EXPECT_TRUE(StorageLoop_Complete(storage, v1).empty());
    std::string sleeper = root + "/bin/sleeper";
    chmod(sleeper.c_str(), 0755);
    pid_t pid = 0;
    char arg0[] = "sleeper", arg1[] = "60";
    char *argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(posix_spawn(&pid, sleeper.c_str(), nullptr, nullptr, argv, environ), 0);
    // The verify stage: pieces of v2 the tree does not hold yet.
    Storage_Reset(storage);
    ASSERT_EQ(ConfigureFile(storage, root, selfUpdate), 1);
    std::vector<int32_t> stale;
    for (auto &f : StorageLoop_Copy(storage, nullptr, v2, StorageLoop_AllPieces(v2), kInFlight))
      stale.push_back(f.first);
    EXPECT_EQ(stale.size(), 2u);  // one of many.bin, the sleeper's last
    auto written = Install("u2", stale);
    if (selfUpdate) {
      EXPECT_TRUE(written.empty());
      EXPECT_TRUE(StorageLoop_Complete(storage, v2).empty());
      ExpectInstalled("u2", root);
      EXPECT_EQ(kill(pid, 0), 0);  // still running from the old inode
    } else {
      ASSERT_EQ(written.size(), 1u);
      EXPECT_EQ(written.begin()->second, StorageLoopCodes(964, 32));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// Erase: an ignored name stays; a link to a directory goes, its target
// stays; emptied directories collapse up to the root.
TEST_F(StorageFileTest, ErasesFilesAndLinks) {
  std::string root = dir_ / "root";
  Dirops_WriteFile(dir_ / "ignore.json", "[\"s/one\", 7, {\"x\": \"ro/locked.dat\"}]");
  ASSERT_EQ(ConfigureFile(storage, root, 0, 1, dir_ / "ignore.json"), 1);
  MetaFile *meta = Meta("none");
  EXPECT_TRUE(Install("none", StorageLoop_AllPieces(meta)).empty());
  EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
  auto erase = [&](FileEntry *entry) {
    StorageOutcome outcome;
    Storage_EraseFile(storage, meta, entry, &outcome, StorageOutcome::Complete);
    EXPECT_TRUE(PumpUntil([&] { return outcome.calls == 1; }));
    return outcome.result;
  };
  FileRecord *link = nullptr;
  ASSERT_TRUE(FileIndex_FindName(MetaFile_GetFileIndex(meta), &link, "links/dir"));
  EXPECT_EQ(erase(link->entry), 0);
  EXPECT_FALSE(Dirops_Exists(root + "/links/dir"));
  EXPECT_TRUE(fs::is_directory(root + "/deep/a/b"));
  FileEntry *entry = nullptr;
  std::vector<std::string> failed;
  for (int more = FileList_GetFirst(MetaFile_GetFileList(meta), &entry); more;
       more = FileList_GetNext(entry, &entry)) {
    if (erase(entry) != 0) failed.push_back(entry->name);
  }
  EXPECT_TRUE(failed.empty());
  EXPECT_EQ(FsFault_Command("cd " + Dirops_Quote(root) + " && find . | sort | tr '\\n' ' '"),
            ". ./s ./s/one ");
  EXPECT_TRUE(Logged("Collapse directory (deep/a/b/c/d/e/f)"));
  EXPECT_TRUE(fs::exists(dir_ / "outside/keep"));
}

// Names built past the loader that would leave the root are refused with
// 964/5 by writes, completions and erasures; nothing outside changes.
TEST_F(StorageFileTest, ConfinesEscapingNames) {
  std::string root = dir_ / "root";
  mkdir(root.c_str(), 0755);
  symlink("../outside", (root + "/l").c_str());
  ASSERT_EQ(ConfigureFile(storage, root), 1);
  MetaFile *meta = Meta("none");
  FileRecord *record = nullptr;
  ASSERT_TRUE(FileIndex_FindName(MetaFile_GetFileIndex(meta), &record, "s/one"));
  std::string target = dir_ / "outside/x";
  for (const std::string &name : {std::string("../outside/x"), target, std::string("a/../../x"),
                                  std::string("l/x"), std::string("l/keep")}) {
    SCOPED_TRACE(name);
    const char *saved = record->entry->name;
    record->entry->name = name.c_str();
    int64_t offset = record->offset;
    int32_t piece = int32_t(offset / PieceList_GetPieceSize(MetaFile_GetPieceList(meta)));
    auto written = Install("none", {piece});
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written.begin()->second, StorageLoopCodes(964, 5));
    for (auto *op : {&Storage_CompleteFile, &Storage_EraseFile}) {
      StorageOutcome outcome;
      (*op)(storage, meta, record->entry, &outcome, StorageOutcome::Complete);
      ASSERT_TRUE(PumpUntil([&] { return outcome.calls == 1; }));
      EXPECT_EQ(outcome.result, 964);
      EXPECT_EQ(outcome.resultEx, 5);
    }
    record->entry->name = saved;
  }
  EXPECT_TRUE(Logged("Access refused (l/x) (5)"));
}

}  // namespace
