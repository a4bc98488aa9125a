#include "base/storagefilepiece.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "base/piecelist.h"
#include "base/storagerequest.h"
#include "core/platform/asyncfile.h"
#include "core/platform/thread.h"
#include "tests/fsfault.h"
#include "tests/metafile_vectors.h"
#include "tests/storage_services.h"
#include "tests/storage_test_util.h"

namespace {

namespace fs = std::filesystem;

std::string PieceName(MetaFile *meta, int32_t index) {
  char id[64] = {}, digest[160] = {};
  MetaFile_GetId(meta, id, sizeof id);
  PieceList_GetDigestHex(MetaFile_GetPieceList(meta), index, digest, sizeof digest);
  return std::string(id) + "/" + digest + ".varnopiece";
}

void WriteFile(const fs::path &path, const std::string &bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class StorageFilePieceTest : public StorageFixture {
 protected:
  void SetUp() override {
    StorageFixture::SetUp();
    AsyncFile_Init();
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "keelson-filepiece-XXXXXX").string();
    root = mkdtemp(pattern.data());
    StorageRequest *source = nullptr;
    StorageRequest_Create(&request);
    StorageRequest_Create(&source);
    StorageRequest_SetSourceRequest(request, source);
  }
  void TearDown() override {
    Class_ReleaseObject(&request);
    if (second != nullptr) Class_ReleaseObject(&second);
    StorageFixture::TearDown();
    AsyncFile_Shutdown();
    fs::remove_all(root);
  }
  int Configure(Storage *s, const fs::path &path, const char *format = nullptr,
                int32_t systemBuffer = 1) {
    Dictionary *config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByKey(config, "type", "filePiece");
    Dictionary_SetStringByKey(config, "path", path.c_str());
    Dictionary_SetBooleanByKey(config, "systemBuffer", systemBuffer);
    if (format != nullptr) Dictionary_SetStringByKey(config, "pieceFormat", format);
    Dictionary *app = nullptr;
    Dictionary_Create(&app);
    Dictionary_SetStringByPath(app, "storage.pieceFormat",
                               "{targetInfoHash}/{targetDigest}.varnopiece");
    int ok = Storage_Configure(s, app, config);
    Dictionary_Release(&app);
    Dictionary_Release(&config);
    return ok;
  }
  StorageOutcome Run(const std::function<void(StorageOutcome *)> &start) {
    StorageOutcome outcome;
    start(&outcome);
    EXPECT_TRUE(PumpUntil([&] { return outcome.calls == 1; }));
    return outcome;
  }
  void Prepare(MetaFile *meta, int32_t index) {
    StorageRequest_Reset(request);
    StorageRequest_SetMetaFile(request, meta);
    StorageRequest_AddPiece(request, index);
    StorageRequest_AllocBuffer(request);
  }

  fs::path root;
  StorageRequest *request = nullptr;
  Storage *second = nullptr;
};

TEST_F(StorageFilePieceTest, ConfigurationAndStatus) {
  Dictionary *config = nullptr;
  Dictionary_Create(&config);
  Dictionary_SetStringByKey(config, "type", "FilePiece");
  EXPECT_EQ(Storage_Configure(storage, nullptr, config), 0);
  EXPECT_TRUE(Logged("Configuration dictionary missing pieceFormat"));
  Dictionary_SetStringByKey(config, "pieceFormat", "{targetIndex}");
  Dictionary_SetBooleanByKey(config, "systemBuffer", 0);
  EXPECT_EQ(Storage_Configure(storage, nullptr, config), 0);
  EXPECT_TRUE(Logged("Configuration dictionary missing path"));
  Dictionary_SetStringByKey(config, "path", (root / "a/./b").c_str());
  EXPECT_EQ(Storage_Configure(storage, nullptr, config), 1);
  Dictionary_Release(&config);

  Dictionary *status = nullptr;
  Dictionary_Create(&status);
  Storage_GetStatus(storage, status);
  EXPECT_EQ(DictionaryKeys(status),
            "type,id,errorCount,pendingRequests,readBytes,writeBytes,maxReadSpeed,"
            "maxWriteSpeed,readSpeed,writeSpeed,extraFileFlags,outputPath,pieceFormat");
  char text[512] = {};
  Dictionary_GetStringByKey(status, "type", text, sizeof text);
  EXPECT_STREQ(text, "filePiece");
  Dictionary_GetStringByKey(status, "outputPath", text, sizeof text);
  EXPECT_EQ(std::string(text), (root / "a/b/").string());
  int64_t flags = 0;
  Dictionary_GetInt64ByKey(status, "extraFileFlags", &flags);
  EXPECT_EQ(flags, 0x100);
  Storage_GetLocation(storage, text);
  EXPECT_EQ(std::string(text), (root / "a/b/").string());
  Dictionary_Release(&status);

  EXPECT_EQ(Configure(storage, root), 1);  // systemBuffer true
  void *context = nullptr;
  Storage_GetDriverContext(storage, &context);
  EXPECT_EQ(static_cast<StorageFilePiece *>(context)->extraFileFlags, 0u);
}

// Every piece with its header, for all 16 flag sets, is read from a store
// of its own and decodes (deltas against the old version's plain pieces); written into a plain second store it equals the
// generator's plain piece storage, file name included.
TEST_F(StorageFilePieceTest, ReadsGeneratedPiecesAndWritesPlainOnes) {
  fs::path store = root / "store", plain = root / "plain";
  ASSERT_EQ(Configure(storage, store, nullptr, 0), 1);  // unbuffered reads
  storage->flags = kStorageFlagVCDiff;  // it may hold deltas; headers name the rest
  Storage_Create(&second);
  Storage_SetQueue(second, EventQueue_GetMain());
  ASSERT_EQ(Configure(second, plain), 1);
  std::map<std::string, TestMetaPtr> metas;
  std::istringstream in(Test_ReadVectors("contenttree/pieces/cases.txt"));
  std::string line;
  std::set<uint32_t> flagsSeen;
  int written = 0;
  StorageTestDeltaSource delta;
  Storage_SetDeltaSource(storage, &delta, StorageTestDeltaSource::Fill);
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string path, target, old, pw, stage;
    int32_t index = 0, header = 0, code = 0;
    uint32_t flags = 0;
    f >> path >> target >> old >> index >> flags >> header >> pw >> stage >> code;
    std::vector<uint8_t> password = pw == "-" ? std::vector<uint8_t>() : Test_HexToBytes(pw);
    password.push_back(0);
    if (!header || strlen(reinterpret_cast<char *>(password.data())) + 1 != password.size())
      continue;
    SCOPED_TRACE(path);
    auto load = [&](const std::string &id) -> MetaFile * {
      if (id == "-") return nullptr;
      TestMetaPtr &m = metas[id];
      if (!m) m = MetaFile_TestLoadVectors("contenttree/pieces/meta/" + id + ".json");
      return m.get();
    };
    load(target);
    TestMetaPtr &meta = metas[target];
    delta.old = load(old);
    delta.oldVersion = old;
    const std::string name = PieceName(meta.get(), index);
    WriteFile(store / name, Test_ReadVectors("contenttree/pieces/" + path));
    Storage_SetPassword(storage, reinterpret_cast<const char *>(password.data()));
    Prepare(meta.get(), index);
    StorageOutcome read = Run([&](StorageOutcome *o) {
      Storage_Read(storage, request, nullptr, o, StorageOutcome::Complete);
    });
    ASSERT_EQ(read.result, 0) << read.resultEx;
    flagsSeen.insert(flags);
    // A longer file of an earlier write is cut, not overwritten in part;
    // the first piece's name is a hard link to another file instead, which
    // is let alone, and the second's a file others may write, which is
    // replaced (whoever holds it open keeps their file). Every piece written
    // is 0600.
    fs::path victim = root / "victim";
    struct stat planted = {};
    if (written == 0) {
      WriteFile(victim, "keep");
      fs::create_directories((plain / name).parent_path());
      fs::create_hard_link(victim, plain / name);
    } else {
      WriteFile(plain / name, std::string(3 * kStorageRequestSlack, 'j'));
      if (written == 1) chmod((plain / name).c_str(), 0666);
      stat((plain / name).c_str(), &planted);
    }
    StorageOutcome write = Run([&](StorageOutcome *o) {
      Storage_Write(second, request, o, StorageOutcome::Complete);
    });
    ASSERT_EQ(write.result, 0) << write.resultEx;
    EXPECT_EQ(ReadFile(plain / name),
              Test_ReadVectors("contenttree/pieces/cache/" + target + "/flags0/" + name));
    if (written == 0) {
      EXPECT_EQ(ReadFile(victim), "keep");
      EXPECT_EQ(fs::hard_link_count(plain / name), 1u);
    }
    struct stat st = {};
    ASSERT_EQ(stat((plain / name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
    if (written > 0) {
      EXPECT_EQ(st.st_ino != planted.st_ino, written == 1) << name;
    }
    written++;
  }
  EXPECT_EQ(flagsSeen.size(), 16u);
  EXPECT_GT(written, 20);
  uint64_t readBytes = 0, writeBytes = 0;
  MeterRW *meters = nullptr;
  Storage_GetMeters(second, &meters);
  MeterRW_GetBytes(meters, &readBytes, &writeBytes);
  EXPECT_GT(writeBytes, 0u);
  EXPECT_TRUE(Balanced());
}

// Producing gzip or AES-256 data is not offered: the write is refused with
// 501 and nothing is written.
TEST_F(StorageFilePieceTest, WriteThatWouldNeedAnEncodingIsRefused) {
  TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/pieces/meta/d2.json");
  std::string flat = Test_ReadVectors("contenttree/pieces/flat/d2/00000000.varnodata");
  for (uint32_t flags : {kStorageFlagGzip, kStorageFlagAes256}) {
    SCOPED_TRACE(flags);
    ASSERT_EQ(Configure(storage, root / "store"), 1);
    storage->flags = flags;
    Prepare(meta.get(), 0);
    uint8_t *p = nullptr;
    StorageRequest_GetBuffer(request, 0, &p);
    memcpy(p, flat.data(), flat.size());
    StorageRequest_ReleaseBuffer(request, &p);
    StorageRequest_SetLength(request, int64_t(flat.size()));
    StorageRequest_SetEncoding(request, 0);
    StorageOutcome o = Run([&](StorageOutcome *out) {
      Storage_Write(storage, request, out, StorageOutcome::Complete);
    });
    EXPECT_EQ(o.result, kStorageResultNotOffered);
    EXPECT_FALSE(fs::exists(root / "store"));
  }
}

TEST_F(StorageFilePieceTest, EraseCollapsesEmptyDirectories) {
  fs::path store = root / "store";
  ASSERT_EQ(Configure(storage, store), 1);
  TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/pieces/meta/d2.json");
  WriteFile(store / PieceName(meta.get(), 0), "zero");
  WriteFile(store / PieceName(meta.get(), 1), "one");
  auto erase = [&](int32_t index) {
    return Run([&](StorageOutcome *o) {
      Storage_ErasePiece(storage, meta.get(), reinterpret_cast<void *>(intptr_t(index)), o,
                         StorageOutcome::Complete);
    });
  };
  EXPECT_EQ(erase(0).result, 0);
  EXPECT_FALSE(fs::exists(store / PieceName(meta.get(), 0)));
  EXPECT_TRUE(fs::exists(store / PieceName(meta.get(), 1)));
  // Already gone: nothing else is touched.
  EXPECT_EQ(erase(0).result, 0);
  EXPECT_TRUE(fs::exists(store / PieceName(meta.get(), 1)));
  // The last piece takes its directory and the empty output directory.
  EXPECT_EQ(erase(1).result, 0);
  EXPECT_FALSE(fs::exists(store));
  EXPECT_TRUE(Logged("Collapse Directory ("));
  EXPECT_TRUE(Logged("Erase ("));
  // A piece outside the list completes with 0.
  EXPECT_EQ(erase(1 << 30).result, 0);
}

TEST_F(StorageFilePieceTest, RefusedNamesAndOverlongFiles) {
  TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/pieces/meta/d2.json");
  // A format leading out of the output directory.
  ASSERT_EQ(Configure(storage, root / "store", "../{targetIndex}.piece"), 1);
  Prepare(meta.get(), 0);
  StorageOutcome o = Run([&](StorageOutcome *out) {
    Storage_Read(storage, request, nullptr, out, StorageOutcome::Complete);
  });
  EXPECT_EQ(o.result, kStorageResultFile);
  EXPECT_EQ(o.resultEx, 5);
  EXPECT_FALSE(fs::exists(root / "0.piece"));
  // A missing piece file.
  ASSERT_EQ(Configure(storage, root / "store", "{targetIndex}.piece"), 1);
  o = Run([&](StorageOutcome *out) {
    Storage_Read(storage, request, nullptr, out, StorageOutcome::Complete);
  });
  EXPECT_EQ(o.result, kStorageResultFile);
  EXPECT_EQ(o.resultEx, 2);
  // A file longer than the capacity is read up to the capacity only.
  std::string flat = Test_ReadVectors("contenttree/pieces/flat/d2/00000000.varnodata");
  WriteFile(root / "store/0.piece", flat + std::string(3 * kStorageRequestSlack, 'x'));
  Prepare(meta.get(), 0);
  o = Run([&](StorageOutcome *out) {
    Storage_Read(storage, request, nullptr, out, StorageOutcome::Complete);
  });
  EXPECT_EQ(StorageRequest_GetLength(request) <= StorageRequest_GetCapacity(request), true);
  EXPECT_EQ(o.calls, 1);
  // The same piece with one byte changed fails the digest check.
  std::string damaged = flat;
  damaged[damaged.size() / 2] ^= 0x20;
  WriteFile(root / "store/0.piece", damaged);
  Prepare(meta.get(), 0);
  o = Run([&](StorageOutcome *out) {
    Storage_Read(storage, request, nullptr, out, StorageOutcome::Complete);
  });
  EXPECT_EQ(o.result, kStorageResultDigest);
  EXPECT_TRUE(Balanced());
}

// Pages of the file that sit in the page cache.
int ResidentPages(const fs::path &path) {
  int fd = open(path.c_str(), O_RDONLY);
  off_t size = fd >= 0 ? lseek(fd, 0, SEEK_END) : 0;
  int resident = 0;
  void *map = size > 0 ? mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
  if (map != MAP_FAILED) {
    long page = sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> pages(size_t((size + page - 1) / page));
    if (mincore(map, size_t(size), pages.data()) == 0)
      for (unsigned char p : pages) resident += p & 1;
    munmap(map, size_t(size));
  }
  if (fd >= 0) close(fd);
  return resident;
}

// A fresh directory on a disk file system ($TMPDIR, the working directory,
// /var/tmp: the first that is not tmpfs) whose O_DIRECT writes bypass the
// page cache, as a plain aligned O_DIRECT write shows; empty, with the
// reason, when there is none.
fs::path DiskDirectory(std::string *why) {
  *why = "no disk file system at hand";
  const char *candidates[] = {getenv("TMPDIR"), ".", "/var/tmp"};
  for (const char *candidate : candidates) {
    struct statfs info;
    if (candidate == nullptr || statfs(candidate, &info) != 0 || info.f_type == TMPFS_MAGIC)
      continue;
    std::string dir = (fs::absolute(candidate) / "keelson-direct-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) continue;
    fs::path probe = fs::path(dir) / "probe";
    int fd = open(probe.c_str(), O_CREAT | O_WRONLY | O_DIRECT | O_DSYNC, 0600);
    void *block = aligned_alloc(4096, 4096);
    memset(block, 'p', 4096);
    bool direct = fd >= 0 && write(fd, block, 4096) == 4096;
    free(block);
    if (fd >= 0) close(fd);
    direct = direct && ResidentPages(probe) == 0;
    if (direct) return dir;
    fs::remove_all(dir);
    *why = std::string("the file system of ") + candidate +
           (fd < 0 ? " refuses O_DIRECT" : " caches O_DIRECT writes");
  }
  return {};
}

// Unbuffered stores on a disk file system, where a transfer that meets the
// alignment goes straight to the disk and the others through the
// write-through descriptor: every piece of a version is read with its
// digests checked and written into a second store equal to the generator's
// plain cache; the aligned piece never passes through the page cache.
TEST_F(StorageFilePieceTest, UnbufferedOnADiskFileSystem) {
  std::string why;
  fs::path disk = DiskDirectory(&why);
  if (disk.empty()) GTEST_SKIP() << why;
  struct Remove {
    fs::path path;
    ~Remove() { fs::remove_all(path); }
  } remove{disk};
  ASSERT_EQ(Configure(storage, disk / "from", nullptr, 0), 1);
  Storage_Create(&second);
  Storage_SetQueue(second, EventQueue_GetMain());
  ASSERT_EQ(Configure(second, disk / "to", nullptr, 0), 1);
  TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/pieces/meta/d5.json");
  int32_t total = PieceList_GetPieceTotal(MetaFile_GetPieceList(meta.get()));
  int aligned = 0;
  for (int32_t i = 0; i < total; i++) {
    SCOPED_TRACE(i);
    std::string name = PieceName(meta.get(), i);
    std::string plain = Test_ReadVectors("contenttree/pieces/cache/d5/flags0/" + name);
    WriteFile(disk / "from" / name, plain);
    Prepare(meta.get(), i);
    StorageOutcome read = Run([&](StorageOutcome *o) {
      Storage_Read(storage, request, nullptr, o, StorageOutcome::Complete);
    });
    ASSERT_EQ(read.result, 0) << read.resultEx;
    StorageOutcome write = Run([&](StorageOutcome *o) {
      Storage_Write(second, request, o, StorageOutcome::Complete);
    });
    ASSERT_EQ(write.result, 0) << write.resultEx;
    if (!plain.empty() && plain.size() % 4096 == 0) {
      aligned++;
      EXPECT_EQ(ResidentPages(disk / "to" / name), 0);
    }
    EXPECT_EQ(ReadFile(disk / "to" / name), plain);
  }
  EXPECT_GT(aligned, 0);
  EXPECT_TRUE(Balanced());
}

}  // namespace

namespace {

// A full file system: the piece write fails with the platform's disk-full
// error. Runs in a child with its own 1 MiB tmpfs, so it starts the services
// there itself.
TEST(StorageFilePieceFaults, FullDiskFailsTheWrite) {
  FsFaultTempDir dir;
  std::string flat = Test_ReadVectors("contenttree/pieces/flat/d2/00000000.varnodata");
  std::string metaText = Test_ReadVectors("contenttree/pieces/meta/d2.json");
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(dir.path(), "size=1M")) return;
    {
      std::ofstream filler(dir / "filler", std::ios::binary);
      std::string block(4096, 'f');
      for (int i = 0; i < 1024 && filler.write(block.data(), 4096); i++) {
      }
    }
    StorageServices services;
    MetaFile *meta = nullptr;
    MetaFile_Create(&meta);
    MetaFile_TestLoad(meta, metaText.data(), int32_t(metaText.size()));
    Storage *storage = nullptr;
    Storage_Create(&storage);
    Storage_SetQueue(storage, EventQueue_GetMain());
    Dictionary *config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByKey(config, "type", "filePiece");
    Dictionary_SetStringByKey(config, "path", (dir / "store").c_str());
    Dictionary_SetStringByKey(config, "pieceFormat", "{targetIndex}.piece");
    Dictionary_SetBooleanByKey(config, "systemBuffer", 1);
    FSF_EXPECT_EQ(child, Storage_Configure(storage, nullptr, config), 1);
    Dictionary_Release(&config);
    StorageRequest *r = nullptr;
    StorageRequest_Create(&r);
    StorageRequest_SetMetaFile(r, meta);
    StorageRequest_AddPiece(r, 0);
    StorageRequest_AllocBuffer(r);
    uint8_t *p = nullptr;
    StorageRequest_GetBuffer(r, 0, &p);
    memcpy(p, flat.data(), flat.size());
    StorageRequest_ReleaseBuffer(r, &p);
    StorageRequest_SetLength(r, int64_t(flat.size()));
    StorageRequest_SetEncoding(r, 0);
    StorageOutcome outcome;
    Storage_Write(storage, r, &outcome, StorageOutcome::Complete);
    for (int i = 0; i < 30000 && outcome.calls == 0; i++) {
      EventQueue_Flush(EventQueue_GetMain());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FSF_EXPECT_EQ(child, outcome.calls, 1);
    FSF_EXPECT_EQ(child, outcome.result, kStorageResultFile);
    FSF_EXPECT_EQ(child, outcome.resultEx, 112);
    for (int i = 0; i < 30000 && storage->header.refCount.load() > 1; i++) {
      EventQueue_Flush(EventQueue_GetMain());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Class_ReleaseObject(&r);
    Class_ReleaseObject(&storage);
    MetaFile_Destroy(&meta);
  });
}

}  // namespace
