#include "base/storagefile.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <set>
#include <fstream>
#include <map>
#include <sstream>

#include "base/bitfield.h"
#include "base/filelist.h"
#include "base/piecelist.h"
#include "base/storagerequest.h"
#include "core/platform/asyncfile.h"
#include "core/platform/fileops.h"
#include "core/platform/thread.h"
#include "tests/dirops_test_util.h"
#include "tests/layout_seeds.h"
#include "tests/metafile_vectors.h"
#include "tests/storage_copy_util.h"
#include "tests/storage_loop.h"
#include "tests/storage_services.h"
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

int ConfigureFile(Storage *s, const std::string &root, int selfUpdate = 0, int systemBuffer = 1,
                  const std::string &ignore = "", const char *partialExtension = ".varnopartial") {
  return StorageServices_ConfigureFile(s, root, selfUpdate, systemBuffer, ignore,
                                       partialExtension);
}

// A file storage at root through the application settings, with
// skipTimestamp and skipAttributes as given.
int ConfigureSkipping(Storage *s, const std::string &root, int skipTimestamp, int skipAttributes) {
  Dictionary *config = nullptr, *app = nullptr;
  Dictionary_Create(&config);
  Dictionary_Create(&app);
  Dictionary_SetStringByKey(config, "type", "file");
  Dictionary_SetStringByKey(config, "path", root.c_str());
  Dictionary_SetStringByPath(app, "storage.partialExtension", ".varnopartial");
  Dictionary_SetStringByPath(app, "storage.lockDirectory", "");
  Dictionary_SetBooleanByPath(app, "storage.systemBuffer", 1);
  Dictionary_SetBooleanByPath(app, "storage.skipTimestamp", skipTimestamp);
  Dictionary_SetBooleanByPath(app, "storage.skipAttributes", skipAttributes);
  Dictionary_SetBooleanByPath(app, "storage.selfUpdate", 0);
  int ok = Storage_Configure(s, app, config);
  Dictionary_Release(&app);
  Dictionary_Release(&config);
  return ok;
}

int ConfigurePieces(Storage *s, const std::string &version) {
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

// Copies pieces of version from its piece store into the storage file.
std::map<int32_t, StorageLoopCodes> InstallInto(
    Storage *file, MetaFile *meta, const std::string &version, const std::vector<int32_t> &pieces,
    const std::function<void(int32_t, int32_t)> &done = nullptr) {
  OwnStorage source;
  ConfigurePieces(source.storage, version);
  return StorageLoop_Copy(source.storage, file, meta, pieces, kInFlight, done);
}

// The sizes of the version's regular files by name (stat.txt).
std::map<std::string, int64_t> Sizes(const std::string &version) {
  std::map<std::string, int64_t> sizes;
  std::ifstream in(Vectors(version + "/stat.txt"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream row(line);
    int64_t size = 0;
    std::string mtime, readOnly, name;
    row >> size >> mtime >> readOnly;
    std::getline(row >> std::ws, name);
    if (!name.empty()) sizes[name] = size;
  }
  return sizes;
}

std::string ManifestCheck(const std::string &version, const std::string &root) {
  return FsFault_Command("cd " + Dirops_Quote(root) + " && sha1sum -c --quiet " +
                         Dirops_Quote(Vectors(version + "/manifest.sha1")) + " 2>&1; echo $?");
}

TestMetaPtr LoadMeta(const std::string &version) {
  return MetaFile_TestLoadVectors("contenttree/install/" + version + "/meta.json");
}

// The piece that holds the first byte of record's file.
int32_t FirstPiece(MetaFile *meta, const FileRecord *record) {
  return int32_t(record->offset / PieceList_GetPieceSize(MetaFile_GetPieceList(meta)));
}

using ChildServices = StorageServices;

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
    metas_.clear();
    StorageFixture::TearDown();
    AsyncFile_Shutdown();
    FsFault_Command("chmod -R u+w " + Dirops_Quote(dir_.path()));
  }
  std::string Outside() {
    return FsFault_Command("ls -lA --full-time " + Dirops_Quote(dir_ / "outside") +
                           "; stat -c '%y %s' " + Dirops_Quote(dir_ / "outside"));
  }
  MetaFile *Meta(const std::string &version) {
    TestMetaPtr &m = metas_[version];
    if (m == nullptr) m = LoadMeta(version);
    return m.get();
  }
  // Copies pieces of version from its piece store into the file storage.
  std::map<int32_t, StorageLoopCodes> Install(const std::string &version,
                                              const std::vector<int32_t> &pieces) {
    return InstallInto(storage, Meta(version), version, pieces);
  }
  // Version "none" installed whole and completed in a file storage at root.
  MetaFile *InstallNone(const std::string &root, const std::string &ignore = "") {
    EXPECT_EQ(ConfigureFile(storage, root, 0, 1, ignore), 1);
    MetaFile *meta = Meta("none");
    EXPECT_TRUE(Install("none", StorageLoop_AllPieces(meta)).empty());
    EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
    return meta;
  }
  // One file step of meta's (Storage_CompleteFile, Storage_EraseFile),
  // waited for.
  StorageOutcome FileStep(decltype(&Storage_CompleteFile) step, MetaFile *meta, FileEntry *entry) {
    StorageOutcome outcome;
    step(storage, meta, entry, &outcome, StorageOutcome::Complete);
    EXPECT_TRUE(PumpUntil([&] { return outcome.calls == 1; }));
    return outcome;
  }
  // The shell peers agree with the generated tree: sha1sum -c, stat,
  // readlink and diff -r.
  void ExpectInstalled(const std::string &version, const std::string &root) {
    std::string base = Vectors(version);
    EXPECT_EQ(ManifestCheck(version, root), "0");
    // stat(1) of every regular file at once: "<size> <mtime> <mode> ./<name>".
    std::istringstream seen(FsFault_Command("cd " + Dirops_Quote(root) +
                                            " && find . -type f -exec stat -c '%s %Y %a %n' {} +"));
    std::map<std::string, std::string> stats;
    for (std::string row; std::getline(seen, row);) {
      size_t name = row.find(" ./");
      if (name != std::string::npos) stats[row.substr(name + 3)] = row.substr(0, name);
    }
    std::ifstream stat(base + "/stat.txt");
    std::string line;
    while (std::getline(stat, line)) {
      std::istringstream row(line);
      std::string size, mtime, readOnly, name;
      row >> size >> mtime >> readOnly;
      std::getline(row >> std::ws, name);
      std::istringstream got(stats[name]);
      std::string gotSize, gotTime, gotMode = "0";
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
  std::map<std::string, TestMetaPtr> metas_;
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
  // Written again, a completed file is built again under its partial name
  // until completed; its final name keeps the bytes it had.
  EXPECT_TRUE(Install("none", {0}).empty());
  EXPECT_TRUE(Dirops_Exists(root + "/empty.txt"));
  EXPECT_TRUE(Dirops_Exists(root + "/deep/a/b/c/d/e/f/g.bin.varnopartial"));
  EXPECT_EQ(ManifestCheck("none", root), "0");
  EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
  ExpectInstalled("none", root);
  // With skipTimestamp and skipAttributes, a final file of the right size
  // needs no work: its time and mode stay.
  std::string locked = root + "/ro/locked.dat";
  chmod(locked.c_str(), 0644);
  Storage_Reset(storage);
  ASSERT_EQ(ConfigureSkipping(storage, root, 1, 1), 1);
  EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
  EXPECT_EQ(Dirops_Mode(locked), 0644);
  // A file that is missing completes (masked pieces rely on it), logged.
  unlink((root + "/big.bin").c_str());
  Storage_Reset(storage);
  ASSERT_EQ(ConfigureFile(storage, root), 1);
  EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
  EXPECT_TRUE(Logged("Skipping File Complete (big.bin)"));
}

// The files a run builds are its own by identity, not by mode bits: on a
// volume where every file shows 0777 whatever chmod does (ntfs-3g or vfat
// mounted with defaults) a first install completes whole. A built file
// that is gone, or another file at its name, before its completion fails
// that completion; whatever is at its names stays as it is.
TEST_F(StorageFileTest, BuiltFilesAreKnownByIdentity) {
  std::string root = dir_ / "root";
  ASSERT_EQ(ConfigureFile(storage, root), 1);
  MetaFile *meta = Meta("none");
  Platform_ShowAllPermissionsForTest(1);
  auto written = Install("none", StorageLoop_AllPieces(meta));
  auto completed = StorageLoop_Complete(storage, meta);
  Platform_ShowAllPermissionsForTest(0);
  EXPECT_TRUE(written.empty());
  EXPECT_TRUE(completed.empty());
  ExpectInstalled("none", root);
  const std::string name = "deep/a/b/c/d/e/f/g.bin", partial = root + "/" + name + ".varnopartial";
  const std::string installed = Dirops_ReadFile(root + "/" + name);
  for (const char *change : {"replaced", "removed"}) {
    SCOPED_TRACE(change);
    Storage_Reset(storage);
    ASSERT_EQ(ConfigureFile(storage, root), 1);
    EXPECT_TRUE(Install("none", {0}).empty());  // g.bin's first piece: built again
    std::string other = dir_ / "other";
    ASSERT_EQ(rename(partial.c_str(), other.c_str()), 0);
    if (std::string(change) == "replaced") {
      Dirops_WriteFile(partial, Dirops_ReadFile(other));
      chmod(partial.c_str(), 0600);
    }
    auto failed = StorageLoop_Complete(storage, meta);
    EXPECT_EQ(failed.count(name), 1u);
    EXPECT_EQ(Dirops_ReadFile(root + "/" + name), installed);
    EXPECT_EQ(Dirops_Exists(partial), std::string(change) == "replaced");
    unlink(partial.c_str());
    unlink(other.c_str());
  }
}

// The record of names put in: once another version is whole, the files
// the run put in that it lacks go, but not a file put at such a name since
// nor a file no record names; the record keeps no line of them. (Links are
// not recorded: they stay.)
TEST_F(StorageFileTest, RecordedEntriesGoWhenTheVersionLacksThem) {
  std::string root = dir_ / "root", record = dir_ / "state/game.names";
  ASSERT_EQ(ConfigureFile(storage, root), 1);
  void *context = nullptr;
  Storage_GetDriverContext(storage, &context);
  StorageFile_SetRecordPath(context, record.c_str());
  MetaFile *meta = Meta("none");
  EXPECT_TRUE(Install("none", StorageLoop_AllPieces(meta)).empty());
  EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
  EXPECT_EQ(Dirops_Mode(record), 0600);
  unlink((root + "/big.bin").c_str());
  Dirops_WriteFile(root + "/big.bin", "the user's own\n");
  Dirops_WriteFile(root + "/mine.txt", "never listed\n");
  EXPECT_GT(StorageFile_RemoveRecorded(context, MetaFile_GetFileIndex(Meta("u1"))), 0);
  EXPECT_EQ(FsFault_Command("cd " + Dirops_Quote(root) + " && find . | sort | tr '\\n' ' '"),
            ". ./big.bin ./links ./links/dir ./links/inside ./links/up ./mine.txt ");
  EXPECT_FALSE(Dirops_Exists(record));
}

// A file this driver made is read back only where pieces were written into
// it; elsewhere it holds its reserved blocks' zeros, and the piece is short.
TEST_F(StorageFileTest, NewFileAnswersForWrittenPiecesOnly) {
  std::string root = dir_ / "root";
  ASSERT_EQ(ConfigureFile(storage, root), 1);
  MetaFile *meta = Meta("none");
  std::vector<int32_t> all = StorageLoop_AllPieces(meta), even, odd;
  for (int32_t p : all) (p % 2 == 0 ? even : odd).push_back(p);
  EXPECT_TRUE(Install("none", even).empty());
  std::vector<int32_t> failed;
  for (auto &f : StorageLoop_Copy(storage, nullptr, meta, all, kInFlight)) {
    failed.push_back(f.first);
    EXPECT_NE(f.second.first, kStorageResultDigest) << "piece " << f.first << " was read";
  }
  EXPECT_EQ(failed, odd);
  EXPECT_TRUE(Install("none", odd).empty());
  EXPECT_TRUE(StorageLoop_Copy(storage, nullptr, meta, all, kInFlight).empty());
  EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
  ExpectInstalled("none", root);
}

// A file's "mode" sets its permission bits at completion (no setuid, setgid
// or sticky bit, no write for group or others), "attr" read-only still
// takes the write bits; skipAttributes leaves both alone. (A "mode" that is
// not octal text refuses the metafile: MetaFile.ModeValues.)
TEST_F(StorageFileTest, ModeSetsPermissionBits) {
  struct Row {
    const char *entry;  // the metafile fields after "name" and "size"
    int skip;           // skipAttributes
    int mode;           // -1: that of a file without "mode"
  } rows[] = {{R"("mode":"0755")", 0, 0755},   {R"("mode":"755")", 0, 0755},
              {R"("mode":"6777")", 0, 0755},   {R"("mode":"0600")", 0, 0600},
              {R"("mode":"0755","attr":1)", 0, 0555},
              {R"("mode":"0500","attr":32)", 0, 0700},
              {R"("mode":"0755")", 1, -1},     {"", 0, -1}};
  std::string root = dir_ / "root";
  for (int skip : {0, 1}) {
    std::string doc = R"({"files":[{"name":"plain","size":0})";
    int k = 0;
    for (const Row &row : rows)
      if (row.skip == skip)
        doc += ",{\"name\":\"f" + std::to_string(k++) + "\",\"size\":0" +
               (row.entry[0] ? std::string(",") + row.entry : "") + "}";
    doc += "]}";
    MetaFile *meta = nullptr;
    MetaFile_Create(&meta);
    ASSERT_EQ(MetaFile_TestLoad(meta, doc.data(), int32_t(doc.size())).code, 0u) << doc;
    Storage_Reset(storage);
    fs::remove_all(root);
    ASSERT_EQ(ConfigureSkipping(storage, root, 0, skip), 1);
    EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
    int plain = Dirops_Mode(root + "/plain");
    k = 0;
    for (const Row &row : rows) {
      if (row.skip != skip) continue;
      EXPECT_EQ(Dirops_Mode(root + "/f" + std::to_string(k++)), row.mode < 0 ? plain : row.mode)
          << row.entry << " skipAttributes " << skip;
    }
    MetaFile_Destroy(&meta);
  }
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
      // A directory at a file's name is never written through: the file is
      // built beside it and takes its place at completion.
      auto rewritten = Install(version, broken);
      EXPECT_TRUE(rewritten.empty());
      EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
      ExpectInstalled(version, root);
    }
  }
}

// v1 -> v2 in place, with and without selfUpdate, with and without a
// partial extension (a temporary name then): a running copy of /bin/sleep
// in the tree is replaced (the process lives on, the path has the new
// bytes), and a file with one changed piece of many keeps the rest. Until
// the files are completed every final name holds v1's bytes.
TEST_F(StorageFileTest, UpdatesInPlace) {
  const struct {
    int selfUpdate;
    const char *extension;
  } cases[] = {{1, ".varnopartial"}, {1, ""}, {0, ".varnopartial"}, {0, ""}};
  for (const auto &c : cases) {
    int selfUpdate = c.selfUpdate;
    SCOPED_TRACE(std::to_string(selfUpdate) + c.extension);
    std::string root = dir_ / ("update-" + std::to_string(selfUpdate) + c.extension);
    Storage_Reset(storage);
    ASSERT_EQ(ConfigureFile(storage, root, selfUpdate, 1, "", c.extension), 1);
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
    ASSERT_EQ(ConfigureFile(storage, root, selfUpdate, 1, "", c.extension), 1);
    std::vector<int32_t> stale;
    for (auto &f : StorageLoop_Copy(storage, nullptr, v2, StorageLoop_AllPieces(v2), kInFlight))
      stale.push_back(f.first);
    EXPECT_EQ(stale.size(), 2u);  // one of many.bin, the sleeper's last
    EXPECT_TRUE(Install("u2", stale).empty());
    EXPECT_EQ(ManifestCheck("u1", root), "0");
    EXPECT_EQ(Dirops_Exists(root + "/many.bin.varnopartial"), c.extension[0] != '\0');
    EXPECT_TRUE(StorageLoop_Complete(storage, v2).empty());
    ExpectInstalled("u2", root);  // no partial or temporary file is left
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);  // still running from the old inode
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// A partial file an earlier run left (another version's bytes in one
// piece): the new version's pieces are verified in it, not in the final
// file, and only its stale piece is rewritten; the installed version's
// pieces (a delta's source) are still read from the final file.
TEST_F(StorageFileTest, ReadsTheFileBeingBuilt) {
  std::string root = dir_ / "root";
  ASSERT_EQ(ConfigureFile(storage, root), 1);
  MetaFile *v1 = Meta("u1"), *v2 = Meta("u2");
  EXPECT_TRUE(Install("u1", StorageLoop_AllPieces(v1)).empty());
  EXPECT_TRUE(StorageLoop_Complete(storage, v1).empty());
  std::string many = Dirops_ReadFile(Vectors("u2/files/many.bin"));
  many.replace(0, 100, 100, '\0');  // piece 0 is stale
  Dirops_WriteFile(root + "/many.bin.varnopartial", many);
  Storage_Reset(storage);
  ASSERT_EQ(ConfigureFile(storage, root), 1);
  void *context = nullptr;
  Storage_GetDriverContext(storage, &context);
  EXPECT_EQ(StorageFile_HasPartialFile(context, MetaFile_GetFileList(v2)), 1);
  EXPECT_TRUE(StorageLoop_Copy(storage, nullptr, v1, StorageLoop_AllPieces(v1), kInFlight,
                               nullptr, 1)
                  .empty());
  std::vector<int32_t> stale;
  for (auto &f : StorageLoop_Copy(storage, nullptr, v2, StorageLoop_AllPieces(v2), kInFlight))
    stale.push_back(f.first);
  FileRecord *sleeper = nullptr;
  ASSERT_TRUE(FileIndex_FindName(MetaFile_GetFileIndex(v2), &sleeper, "bin/sleeper"));
  int64_t pieceSize = PieceList_GetPieceSize(MetaFile_GetPieceList(v2));
  EXPECT_EQ(stale, std::vector<int32_t>({0, int32_t((sleeper->offset + sleeper->size - 1) /
                                                     pieceSize)}));
  EXPECT_TRUE(Install("u2", stale).empty());
  EXPECT_EQ(ManifestCheck("u1", root), "0");
  EXPECT_TRUE(StorageLoop_Complete(storage, v2).empty());
  ExpectInstalled("u2", root);
  EXPECT_EQ(StorageFile_HasPartialFile(context, MetaFile_GetFileList(v2)), 0);
}

// A file the owner will write every piece of is built from nothing, not
// from a copy of the installed file; one it will write some pieces of
// starts as a copy of the installed bytes but those pieces' (zeros until
// written); without a plan, as the whole copy. Either way the installed file
// stays whole until the completion renames the built one over it.
TEST_F(StorageFileTest, PlannedFilesAreBuiltWithoutACopy) {
  enum Plan { kNone, kAll, kSecondPiece };
  for (Plan plan : {kNone, kAll, kSecondPiece}) {
    SCOPED_TRACE(plan);
    std::string root = dir_ / ("plan" + std::to_string(plan));
    Storage_Reset(storage);
    ASSERT_EQ(ConfigureFile(storage, root), 1);
    MetaFile *v1 = Meta("u1"), *v2 = Meta("u2");
    EXPECT_TRUE(Install("u1", StorageLoop_AllPieces(v1)).empty());
    EXPECT_TRUE(StorageLoop_Complete(storage, v1).empty());
    Storage_Reset(storage);
    ASSERT_EQ(ConfigureFile(storage, root), 1);
    PieceList *list = MetaFile_GetPieceList(v2);
    BitField *pieces = nullptr;
    BitField_Create(&pieces);
    BitField_Resize(pieces, PieceList_GetPieceTotal(list));
    if (plan == kAll) BitField_SetAll(pieces);
    if (plan == kSecondPiece) BitField_Set(pieces, 1);
    if (plan != kNone) Storage_SetWritePlan(storage, v2, pieces);
    EXPECT_TRUE(Install("u2", {0}).empty());  // the start of many.bin
    size_t piece = size_t(PieceList_GetPieceSize(list));
    std::string built = Dirops_ReadFile(root + "/many.bin.varnopartial");
    std::string old = Dirops_ReadFile(Vectors("u1/files/many.bin"));
    ASSERT_GT(old.size(), 2 * piece);
    std::string rest = built.size() > piece ? built.substr(piece) : std::string();
    if (plan == kAll) {
      EXPECT_EQ(rest.find_first_not_of('\0'), std::string::npos);
    } else if (plan == kSecondPiece) {
      ASSERT_EQ(built.size(), old.size());
      EXPECT_EQ(rest.substr(0, piece), std::string(piece, '\0'));
      EXPECT_TRUE(rest.substr(piece) == old.substr(2 * piece));
    } else {
      EXPECT_TRUE(rest == old.substr(piece));
    }
    EXPECT_EQ(ManifestCheck("u1", root), "0");
    EXPECT_TRUE(Install("u2", StorageLoop_AllPieces(v2)).empty());
    EXPECT_TRUE(StorageLoop_Complete(storage, v2).empty());
    ExpectInstalled("u2", root);
    Storage_SetWritePlan(storage, nullptr, nullptr);
    BitField_Release(&pieces);
  }
}

// Erase: an ignored name stays; a link to a directory goes, its target
// stays; emptied directories collapse up to the root.
TEST_F(StorageFileTest, ErasesFilesAndLinks) {
  std::string root = dir_ / "root";
  Dirops_WriteFile(dir_ / "ignore.json", "[\"s/one\", 7, {\"x\": \"ro/locked.dat\"}]");
  MetaFile *meta = InstallNone(root, dir_ / "ignore.json");
  auto erase = [&](FileEntry *entry) { return FileStep(&Storage_EraseFile, meta, entry).result; };
  FileRecord *link = nullptr;
  ASSERT_TRUE(FileIndex_FindName(MetaFile_GetFileIndex(meta), &link, "links/dir"));
  EXPECT_EQ(erase(link), 0);
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
  const char *saved = record->name;
  std::string target = dir_ / "outside/x";
  for (const std::string &name : {std::string("../outside/x"), target, std::string("a/../../x")}) {
    SCOPED_TRACE(name);
    record->name = name.c_str();
    auto written = Install("none", {FirstPiece(meta, record)});
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written.begin()->second, StorageLoopCodes(964, 5));
    for (auto *step : {&Storage_CompleteFile, &Storage_EraseFile}) {
      StorageOutcome outcome = FileStep(step, meta, record);
      EXPECT_EQ(outcome.result, 964);
      EXPECT_EQ(outcome.resultEx, 5);
    }
    record->name = saved;
  }
  EXPECT_TRUE(Logged("Access refused (a/../../x) (5)"));
  // Below a link the name is built in a tree of its own beside it, which
  // replaces the link at completion: nothing is written where it leads.
  record->name = "l/x";
  EXPECT_TRUE(Install("none", {FirstPiece(meta, record)}).empty());
  EXPECT_EQ(FileStep(&Storage_CompleteFile, meta, record).result, 0);
  record->name = saved;
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(root + "/l")));
  EXPECT_TRUE(Dirops_Exists(root + "/l/x"));
  // A name one past the room of a path fails with 964/206.
  std::string longName(size_t(kPathMax) - root.size(), 'n');
  record->name = longName.c_str();
  auto written = Install("none", {FirstPiece(meta, record)});
  record->name = saved;
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written.begin()->second, StorageLoopCodes(964, 206));
}

// Drawn versions over a pool of three names per level, so that two draws
// meet one name as a file, a link and a directory: entries are paths of one
// to three components of {p, q, r}, none below another. By name.
using DrawnVersion = std::map<std::string, TestFileShape>;

bool DrawnBelow(const std::string &a, const std::string &b) {
  return a.size() > b.size() && a.compare(0, b.size(), b) == 0 && a[b.size()] == '/';
}

DrawnVersion DrawVersion(std::mt19937 &rng) {
  auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
  static const char *const kParts[] = {"p", "q", "r"};
  DrawnVersion v;
  for (int tries = 3 + pick(8); tries > 0; tries--) {
    std::string name;
    for (int depth = 1 + pick(3); depth > 0; depth--)
      name += (name.empty() ? "" : "/") + std::string(kParts[pick(3)]);
    bool clash = false;
    for (const auto &e : v)
      clash = clash || e.first == name || DrawnBelow(e.first, name) || DrawnBelow(name, e.first);
    if (clash) continue;
    TestFileShape f;
    f.name = name;
    if (pick(4) == 0) {
      f.link = pick(2) ? "p" : "r/q";  // inside the root from any depth
    } else {
      f.size = pick(5) == 0 ? 0 : 1 + pick(300);
      f.seed = rng();
    }
    v[name] = f;
  }
  // A metafile whose link resolves through a link (itself included) may loop
  // and is refused: such a link becomes an empty file, until none is left.
  for (bool changed = true; changed;) {
    changed = false;
    for (auto &[name, f] : v) {
      if (f.link.empty()) continue;
      size_t slash = name.rfind('/');
      std::string target = (slash == std::string::npos ? "" : name.substr(0, slash + 1)) + f.link;
      bool throughLink = false;
      for (size_t end = target.find('/');; end = target.find('/', end + 1)) {
        auto hit = v.find(target.substr(0, end));
        throughLink = throughLink || (hit != v.end() && !hit->second.link.empty());
        if (end == std::string::npos) break;
      }
      if (!throughLink) continue;
      f.link.clear();
      changed = true;
    }
  }
  return v;
}

TestLayout DrawnLayout(const DrawnVersion &v, const std::string &id) {
  TestLayout l;
  l.pieceSize = 64;
  l.id = id;
  for (const auto &e : v) l.files.push_back(e.second);
  return l;
}

// What the root must hold: "dir", "-> target" or the file's bytes, by name.
std::map<std::string, std::string> DrawnModel(const DrawnVersion &v) {
  std::map<std::string, std::string> model;
  for (const auto &[name, f] : v) {
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
      model[name.substr(0, slash)] = "dir";
    std::string bytes;
    for (int64_t j = 0; j < f.size; j++) bytes += char(TestContentByte(f.seed, j));
    model[name] = f.link.empty() ? bytes : "-> " + f.link;
  }
  return model;
}

// The root as it is, links read and never followed (a drawn link may
// lead to itself), in DrawnModel's words.
std::map<std::string, std::string> DrawnTree(const std::string &root) {
  std::map<std::string, std::string> tree;
  for (const auto &e : fs::recursive_directory_iterator(root)) {
    std::string name = e.path().lexically_relative(root).string();
    if (e.is_symlink())
      tree[name] = "-> " + fs::read_symlink(e.path()).string();
    else
      tree[name] = e.is_directory() ? "dir" : Dirops_ReadFile(e.path().string());
  }
  return tree;
}

// A name whose kind (file, link, directory) differs between the versions.
bool DrawnTypeChanges(const DrawnVersion &a, const DrawnVersion &b) {
  auto kind = [](const std::string &line) {
    return line == "dir" ? 'd' : line.rfind("-> ", 0) == 0 ? 'l' : 'f';
  };
  std::map<std::string, std::string> inB = DrawnModel(b);
  for (const auto &[name, line] : DrawnModel(a)) {
    auto hit = inB.find(name);
    if (hit != inB.end() && kind(hit->second) != kind(line)) return true;
  }
  return false;
}

// Pairs of drawn versions installed one over the other, both ways, as a
// run does: every piece verified where it is and written, every file
// completed (eight at once), then the old version's other names erased,
// with and without a partial extension. The root then holds exactly the new
// version: its files' bytes, its links, the directories they need, and no
// partial file or tree built aside. Set KEELSON_LAYOUT_SEED to replay one
// pair's seed. Completions run eight at once here, in trees swapped in
// under them: the suite runs under ThreadSanitizer too.
class StorageFileThreaded : public StorageFileTest {};

TEST_F(StorageFileThreaded, DrawnVersionPairsMatchTheModel) {
  const LayoutSeeds seeds = LayoutSeeds_Get(0x7e5a11, 60, 20);
  int changing = 0;
  for (int n = 0; n < seeds.count; n++) {
    SCOPED_TRACE(seeds.Trace(n));
    std::mt19937 rng(seeds.Seed(n));
    DrawnVersion versions[2] = {DrawVersion(rng), DrawVersion(rng)};
    changing += DrawnTypeChanges(versions[0], versions[1]);
    TestContent content[2];
    for (int k = 0; k < 2; k++) {
      ASSERT_NO_FATAL_FAILURE(content[k].Load(DrawnLayout(versions[k], "v" + std::to_string(k))));
    }
    std::string root = dir_ / ("pair-" + std::to_string(n));
    for (int round = 0; round < 3; round++) {  // a, a -> b, b -> a
      int step = round % 2;
      SCOPED_TRACE("installing " + std::to_string(step));
      MetaFile *meta = content[step].meta.get();
      Storage_Reset(storage);
      // Every other pair without a partial extension: new files under
      // their final names, replacements under temporary ones.
      ASSERT_EQ(ConfigureFile(storage, root, 0, 1, "", n % 2 ? "" : ".varnopartial"), 1);
      StorageLoop_Copy(storage, nullptr, meta, StorageLoop_AllPieces(meta), kInFlight);
      TestStorage source;
      source.script.content = &content[step];
      EXPECT_TRUE(
          StorageLoop_Copy(source.storage, storage, meta, StorageLoop_AllPieces(meta), kInFlight)
              .empty());
      for (const auto &[name, codes] : StorageLoop_Complete(storage, meta))
        ADD_FAILURE() << name << " " << codes.first << "/" << codes.second;
      FileIndex *index = MetaFile_GetFileIndex(content[1 - step].meta.get());
      for (const auto &[name, f] : versions[1 - step]) {
        if (round == 0 || versions[step].count(name) != 0) continue;
        FileRecord *record = nullptr;
        ASSERT_TRUE(FileIndex_FindName(index, &record, name.c_str()));
        StorageOutcome outcome =
            FileStep(&Storage_EraseFile, content[1 - step].meta.get(), record);
        EXPECT_EQ(outcome.result, 0) << name << " " << outcome.resultEx;
      }
      EXPECT_EQ(DrawnTree(root), DrawnModel(versions[step]));
      std::lock_guard<std::mutex> guard(linesLock);
      if (HasFailure()) {  // the storage's lines of the failed install
        for (const std::string &line : lines) std::cerr << line;
        return;
      }
      lines.clear();
    }
  }
  // Most pairs meet a name that changes its kind.
  if (!seeds.replay) {
    EXPECT_GT(changing, seeds.count / 2);
  }
}

// An installed file that another name links to (a hard link planted at
// it, to a file of someone else's with the same bytes) whose time is to be
// set again: the time is never set on the linked file; the file is built
// again and renamed in, and the other name keeps its file as it was.
TEST_F(StorageFileTest, HardLinkedFileIsReplacedNotChanged) {
  std::string root = dir_ / "root";
  MetaFile *meta = InstallNone(root);
  std::string installed = root + "/Readme.txt", other = dir_ / "outside/other";
  ASSERT_EQ(link(installed.c_str(), other.c_str()), 0);
  ASSERT_EQ(FsFault_Command("touch -d @1000000000 " + Dirops_Quote(other) + "; echo $?"), "0");
  std::string bytes = Dirops_ReadFile(other);
  Storage_Reset(storage);
  ASSERT_EQ(ConfigureFile(storage, root), 1);
  EXPECT_TRUE(StorageLoop_Complete(storage, meta).empty());
  struct stat st;
  ASSERT_EQ(stat(installed.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 1u);
  ExpectInstalled("none", root);  // Readme.txt has its time again
  ASSERT_EQ(stat(other.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
  EXPECT_EQ(Dirops_ReadFile(other), bytes);
  outside_ = Outside();  // one name fewer links to it now
}

// An immutable file (chattr +i): its new version is built beside it, and
// its completion fails with 964/1 (the rename is refused); the file keeps
// its bytes.
TEST_F(StorageFileTest, ImmutableFileFailsItsCompletion) {
  std::string root = dir_ / "root";
  MetaFile *meta = InstallNone(root);
  std::string file = root + "/big.bin";
  if (FsFault_Command("chattr +i " + Dirops_Quote(file) + " 2>/dev/null; echo $?") != "0")
    GTEST_SKIP() << "chattr +i refused here";
  FileRecord *record = nullptr;
  ASSERT_TRUE(FileIndex_FindName(MetaFile_GetFileIndex(meta), &record, "big.bin"));
  EXPECT_TRUE(Install("none", {FirstPiece(meta, record) + 1}).empty());
  auto completed = StorageLoop_Complete(storage, meta);
  FsFault_Command("chattr -i " + Dirops_Quote(file));
  EXPECT_EQ(completed, (std::map<std::string, StorageLoopCodes>{{"big.bin", {964, 5}}}));
  EXPECT_EQ(ManifestCheck("none", root), "0");
}

// A full file system fails writes with 964/112, and no file has its final
// name while it is short.
TEST(StorageFileFaults, FullDiskLeavesNoShortFinalFile) {
  FsFaultTempDir dir;
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(dir.path(), "size=1M")) return;
    Dirops_WriteFile(dir / "filler", std::string(400 * 1024, 'f'));
    ChildServices services;
    TestMetaPtr meta = LoadMeta("none");
    OwnStorage file;
    FSF_EXPECT_EQ(child, ConfigureFile(file.storage, dir / "root"), 1);
    bool full = false;
    for (auto &f : InstallInto(file.storage, meta.get(), "none", StorageLoop_AllPieces(meta.get())))
      full = full || f.second == StorageLoopCodes(964, 112);
    FSF_EXPECT(child, full);
    for (auto &entry : Sizes("none"))
      if (entry.second > 0) FSF_EXPECT(child, !Dirops_Exists(dir / ("root/" + entry.first)));
  });
}

// A file system remounted read-only fails writes with 964/19.
TEST(StorageFileFaults, ReadOnlyFileSystemFailsWrites) {
  FsFaultTempDir dir;
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(dir.path(), "size=8M")) return;
    ChildServices services;
    TestMetaPtr meta = LoadMeta("none");
    std::vector<int32_t> all = StorageLoop_AllPieces(meta.get());
    {
      OwnStorage file;
      ConfigureFile(file.storage, dir / "root");
      FSF_EXPECT(child, InstallInto(file.storage, meta.get(), "none", all).empty());
      FSF_EXPECT(child, StorageLoop_Complete(file.storage, meta.get()).empty());
    }
    if (!child.RemountReadOnly(dir.path())) return;
    OwnStorage file;
    ConfigureFile(file.storage, dir / "root");
    auto written = InstallInto(file.storage, meta.get(), "none", {0});
    FSF_EXPECT_EQ(child, written.size(), size_t(1));
    FSF_EXPECT(child, written.begin()->second == StorageLoopCodes(964, 19));
    FSF_EXPECT_EQ(child, ManifestCheck("none", dir / "root"), std::string("0"));
  });
}

// As user 65534, a file of mode 000 fails exactly its pieces with 964/5.
TEST(StorageFileFaults, UnreadableFileFailsItsPieces) {
  FsFaultTempDir dir;
  std::string root = dir / "root";
  FsFault_Command("cp -a " + Dirops_Quote(Vectors("none/files")) + " " + Dirops_Quote(root));
  chmod((root + "/big.bin").c_str(), 0);
  std::map<int32_t, StorageLoopCodes> expected;
  std::ifstream damage(Vectors("none/damage.txt"));
  for (std::string line; std::getline(damage, line);) {
    if (line.rfind("missing ", 0) != 0 || line.substr(line.rfind(' ') + 1) != "big.bin") continue;
    std::istringstream list(line.substr(10, line.rfind(' ') - 10));
    for (std::string item; std::getline(list, item, ',');)
      expected[std::stoi(item)] = StorageLoopCodes(964, 5);
  }
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    ChildServices services;
    TestMetaPtr meta = LoadMeta("none");
    OwnStorage file;
    ConfigureFile(file.storage, root);
    auto failures =
        StorageLoop_Copy(file.storage, nullptr, meta.get(), StorageLoop_AllPieces(meta.get()), 8);
    FSF_EXPECT(child, !expected.empty() && failures == expected);
  });
}

// With RLIMIT_NOFILE at 64, 10,000 small files install.
TEST(StorageFileFaults, ManySmallFilesUnderALowDescriptorLimit) {
  FsFaultTempDir dir;
  FSFAULT_RUN([&](FsFaultChild &child) {
    struct rlimit limit = {64, 64};
    FSF_EXPECT_EQ(child, setrlimit(RLIMIT_NOFILE, &limit), 0);
    ChildServices services;
    TestMetaPtr meta = LoadMeta("bulk");
    OwnStorage file;
    ConfigureFile(file.storage, dir / "root");
    FSF_EXPECT(child,
               InstallInto(file.storage, meta.get(), "bulk", StorageLoop_AllPieces(meta.get()))
                   .empty());
    FSF_EXPECT(child, StorageLoop_Complete(file.storage, meta.get()).empty());
    FSF_EXPECT_EQ(child, ManifestCheck("bulk", dir / "root"), std::string("0"));
  });
}

// A child installing a 16 MiB version is killed with SIGKILL at a random
// point, five times. Each run reads every piece, rewrites only the failed
// ones and completes the files: a piece whose write was confirmed before a
// kill never fails again, and at the end the manifest holds.
TEST(StorageFileFaults, KillAndResume) {
  FsFaultTempDir dir;
  std::string root = dir / "root", log = dir / "log";
  TestMetaPtr meta = LoadMeta("kill");
  const std::vector<int32_t> all = StorageLoop_AllPieces(meta.get());
  std::mt19937 random(47);
  std::set<int32_t> confirmed;  // written, and the write reported
  std::set<int32_t> lastFailed;
  for (int run = 0; run <= 5; run++) {
    SCOPED_TRACE(run);
    unlink(log.c_str());
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      {
        ChildServices services;
        OwnStorage file;
        ConfigureFile(file.storage, root);
        std::vector<int32_t> failed;
        for (auto &f : StorageLoop_Copy(file.storage, nullptr, meta.get(), all, kInFlight))
          failed.push_back(f.first);
        std::string text;
        for (int32_t p : failed) text += "F " + std::to_string(p) + "\n";
        text += "V\n";
        if (write(out, text.data(), text.size()) < 0) _exit(3);
        auto wrote = InstallInto(file.storage, meta.get(), "kill", failed, [&](int32_t p, int32_t r) {
          std::string line = (r == 0 ? "W " : "E ") + std::to_string(p) + "\n";
          if (write(out, line.data(), line.size()) < 0) _exit(3);
        });
        if (!wrote.empty() || !StorageLoop_Complete(file.storage, meta.get()).empty()) _exit(2);
      }
      _exit(0);
    }
    ASSERT_GT(pid, 0);
    // Killed once a random number of writes were reported (the last run
    // goes to its end).
    auto written = [&] { return Dirops_CountOf(Dirops_ReadFile(log), "W "); };
    int target = run < 5 ? 1 + int(random() % 40) : -1;
    int status = 0;
    for (int i = 0; i < 60000; i++) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        break;
      }
      if (target > 0 && written() >= target) break;
      usleep(1000);
    }
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    std::istringstream lines(Dirops_ReadFile(log));
    std::set<int32_t> failed, wrote;
    for (std::string kind, piece; lines >> kind;) {
      if (kind == "V") continue;
      lines >> piece;
      (kind == "F" ? failed : wrote).insert(std::stoi(piece));
    }
    for (int32_t p : confirmed) EXPECT_EQ(failed.count(p), 0u) << "piece " << p;
    // A kill costs only the pieces in flight: nothing good before breaks.
    if (run > 0) {
      for (int32_t p : failed) EXPECT_EQ(lastFailed.count(p), 1u) << "piece " << p;
    }
    lastFailed = failed;
    confirmed.insert(wrote.begin(), wrote.end());
    if (run == 5) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
  }
  EXPECT_EQ(ManifestCheck("kill", root), "0");
}

}  // namespace
