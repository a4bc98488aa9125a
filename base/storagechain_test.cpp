#include "base/storagechain.h"

#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>

#include "base/offsetcache.h"
#include "base/piecelist.h"
#include "base/storagerequest.h"
#include "core/runtime/str.h"
#include "tests/metafile_vectors.h"
#include "tests/storage_test_util.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kChains = 500;
#else
constexpr int kChains = 2000;
#endif
constexpr int kMaxSteps = 6;

// One chain of test steps: each step completes at once or from a worker
// after a delay, and the step failAt (-1: none) fails with 900 + id % 50.
struct Chain {
  int32_t id = 0;
  int32_t steps = 0;
  int32_t failAt = -1;
  int32_t later[kMaxSteps] = {};
  int32_t delay[kMaxSteps] = {};
  std::atomic<int32_t> runs[kMaxSteps] = {};
  StorageOutcome outcome;
};

int TestStep(Storage *, StorageStep *step) {
  auto *c = static_cast<Chain *>(step->argument);
  auto index = int32_t(reinterpret_cast<intptr_t>(step->value));
  c->runs[index].fetch_add(1);
  int32_t result = index == c->failAt ? 900 + c->id % 50 : 0;
  int32_t resultEx = index == c->failAt ? c->id : 0;
  if (c->later[index])
    ScriptedDriver_CompleteLater(step, result, resultEx, c->delay[index]);
  else
    Storage_CompleteStep(step, result, resultEx);
  return 1;
}

StorageStep *BuildChain(Storage *storage, Chain *c) {
  StorageStep *chain = Storage_AppendStartStep(storage);
  for (intptr_t i = 0; i < c->steps; i++)
    chain = Storage_AppendStep(storage, 0, chain, c, reinterpret_cast<void *>(i), nullptr,
                               TestStep);
  return Storage_AppendFinalStep(storage, chain, c, &c->outcome, StorageOutcome::Complete);
}

using StorageChainThreaded = StorageFixture;

TEST_F(StorageChainThreaded, EveryStepCompletesOnceAndTheFirstFailureArrives) {
  std::mt19937 random(46);
  std::vector<Chain> chains(kChains);
  int32_t failed = 0;
  for (int i = 0; i < kChains; i++) {
    Chain &c = chains[size_t(i)];
    c.id = i;
    c.steps = 1 + int32_t(random() % kMaxSteps);
    c.failAt = random() % 3 == 0 ? int32_t(random() % uint32_t(c.steps)) : -1;
    failed += c.failAt >= 0;
    for (int s = 0; s < c.steps; s++) {
      c.later[s] = random() % 2;
      c.delay[s] = int32_t(random() % 40);
    }
  }
  int32_t delivered = 0;
  for (Chain &c : chains) Storage_RunChain(storage, BuildChain(storage, &c));
  ASSERT_TRUE(PumpUntil([&] {
    delivered = 0;
    for (Chain &c : chains) delivered += c.outcome.calls;
    return delivered == kChains;
  }));
  for (Chain &c : chains) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(c.outcome.calls, 1);
    for (int s = 0; s < c.steps; s++)
      EXPECT_EQ(c.runs[s].load(), c.failAt < 0 || s <= c.failAt ? 1 : 0) << "step " << s;
    EXPECT_EQ(c.outcome.result, c.failAt < 0 ? 0 : 900 + c.id % 50);
    EXPECT_EQ(c.outcome.resultEx, c.failAt < 0 ? 0 : c.id);
  }
  EXPECT_EQ(Storage_GetErrorCount(storage), failed);
  EXPECT_EQ(Storage_GetPendingRequests(storage), 0);
  EXPECT_TRUE(Balanced());
}

// The first step of each chain parks until the storage has stopped; the
// step after it then finds the storage stopping.
struct Parking {
  std::mutex lock;
  std::vector<StorageStep *> steps;
};

TEST_F(StorageChainThreaded, StopCancelsChainsInFlight) {
  constexpr int kInFlight = 500;
  static Parking parking;
  parking.steps.clear();
  std::vector<StorageOutcome> outcomes(kInFlight);
  for (StorageOutcome &o : outcomes) {
    StorageStep *chain = Storage_AppendStartStep(storage);
    chain = Storage_AppendStep(storage, 0, chain, nullptr, nullptr, nullptr,
                               [](Storage *, StorageStep *step) {
                                 std::lock_guard<std::mutex> hold(parking.lock);
                                 parking.steps.push_back(step);
                                 return 1;
                               });
    chain = Storage_AppendStep(storage, 0, chain, nullptr, nullptr, nullptr, TestStep);
    chain = Storage_AppendFinalStep(storage, chain, nullptr, &o, StorageOutcome::Complete);
    Storage_RunChain(storage, chain);
  }
  Storage_Stop(storage);
  ASSERT_TRUE(PumpUntil([&] {
    std::vector<StorageStep *> parked;
    {
      std::lock_guard<std::mutex> hold(parking.lock);
      parked.swap(parking.steps);
    }
    for (StorageStep *step : parked) ScriptedDriver_CompleteLater(step, 0, 0, 0);
    int delivered = 0;
    for (StorageOutcome &o : outcomes) delivered += o.calls;
    return delivered == kInFlight;
  }));
  for (StorageOutcome &o : outcomes) {
    EXPECT_EQ(o.calls, 1);
    EXPECT_EQ(o.result, kStorageResultCancelled);
    EXPECT_EQ(o.resultEx, kStorageCancelStopped);
  }
  EXPECT_EQ(Storage_GetErrorCount(storage), kInFlight);
  EXPECT_EQ(Storage_GetPendingRequests(storage), 0);
  EXPECT_TRUE(Balanced());
}

// A chain without a final step gives its records back at its last step,
// whichever thread completes it.
TEST_F(StorageChainThreaded, AChainWithoutAFinalStepFreesItselfAtTheEnd) {
  std::vector<Chain> chains(64);
  for (size_t i = 0; i < chains.size(); i++) {
    Chain &c = chains[i];
    c.id = int32_t(i);
    c.steps = 3;
    c.later[2] = int32_t(i % 2);  // the last from a worker after a delay, or at once
    c.delay[2] = 5;
    StorageStep *chain = Storage_AppendStartStep(storage);
    for (intptr_t s = 0; s < c.steps; s++)
      chain = Storage_AppendStep(storage, 0, chain, &c, reinterpret_cast<void *>(s), nullptr,
                                 TestStep);
    Storage_RunChain(storage, chain);
  }
  ASSERT_TRUE(PumpUntil([&] {
    for (Chain &c : chains)
      if (c.runs[2].load() != 1) return false;
    return true;
  }));
  EXPECT_TRUE(Balanced());
}

// Chains whose driver step is still running when the storage is reset:
// they end without a result, and the driver attached after the reset is
// never called by them.
TEST_F(StorageChainThreaded, ResetCutsChainsInFlight) {
  constexpr int kOld = 200, kNew = 50;
  Storage_SetDriver(storage, &kScriptedDriver);
  ScriptedDriver_SetScript(storage, nullptr, [](void *, int32_t, StorageStep *) {
    return ScriptedAction{0, 0, 1, 200};
  });
  std::vector<StorageOutcome> old(kOld), fresh(kNew);
  for (StorageOutcome &o : old)
    Storage_Exists(storage, nullptr, nullptr, &o, StorageOutcome::Complete);
  Storage_SetPassword(storage, "secret");
  Storage_Reset(storage);
  EXPECT_FALSE(Storage_HasDriver(storage));
  Storage_SetDriver(storage, &kScriptedDriver);
  for (StorageOutcome &o : fresh)
    Storage_Exists(storage, nullptr, nullptr, &o, StorageOutcome::Complete);
  ASSERT_TRUE(PumpUntil([&] { return Storage_GetPendingRequests(storage) == 0; }));
  for (StorageOutcome &o : old) EXPECT_EQ(o.calls, 0);
  for (StorageOutcome &o : fresh) {
    EXPECT_EQ(o.calls, 1);
    EXPECT_EQ(o.result, 0);
  }
  EXPECT_EQ(ScriptedDriver_GetCalls(storage, kScriptedExists), kNew);
  EXPECT_EQ(Storage_GetErrorCount(storage), 0);
  char password[kStoragePasswordBytes];
  Storage_GetPassword(storage, password);
  EXPECT_STREQ(password, "");
  EXPECT_TRUE(Balanced());
}

// A piece case of the generated tree: its file, the metafiles of the
// target and the delta's old version, flags, header, password and the
// outcome of decoding it.
struct PieceCase {
  std::string path, target, old;
  int32_t index = 0;
  uint32_t flags = 0;
  int32_t header = 0;
  std::string password;
  std::string stage;
  int32_t code = 0;
};

std::vector<PieceCase> ReadPieceCases(const std::string &file) {
  std::vector<PieceCase> out;
  std::istringstream in(Test_ReadVectors("contenttree/pieces/" + file));
  std::string line, pw;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    PieceCase c;
    if (!(f >> c.path >> c.target >> c.old >> c.index >> c.flags >> c.header >> pw >> c.stage >>
          c.code))
      continue;
    if (pw != "-") {
      std::vector<uint8_t> bytes = Test_HexToBytes(pw);
      c.password.assign(bytes.begin(), bytes.end());
    }
    out.push_back(c);
  }
  return out;
}

// The read slot of the scripted piece driver: the first member of the
// piece reads the whole piece file into the buffer at its paddedOffset, cut
// at the capacity.
struct PieceFile {
  std::string bytes;
};

ScriptedAction ReadPieceFile(void *context, int32_t slot, StorageStep *step) {
  if (slot != kScriptedRead) return {};
  auto *file = static_cast<PieceFile *>(context);
  auto *r = static_cast<StorageRequest *>(step->argument);
  auto *m = static_cast<StorageMember *>(step->value);
  if (m->previous != nullptr && m->previous->pieceIndex == m->pieceIndex) return {0, 0, 1, 0};
  uint8_t *p = nullptr;
  StorageRequest_GetBuffer(r, m->paddedOffset, &p);
  int64_t n = std::min<int64_t>(int64_t(file->bytes.size()),
                                StorageRequest_GetCapacity(r) - m->paddedOffset);
  memcpy(p, file->bytes.data(), size_t(n));
  StorageRequest_ReleaseBuffer(r, &p);
  StorageRequest_AddLength(r, n);
  return {0, 0, 1, 0};
}

using StorageChainRead = StorageFixture;

// Every generated piece, for each of the 16 flag sets with and without the
// header, read through the chain of a piece storage with those flags: the
// plain bytes pass the digest check, and a damaged piece gives the result
// of the step that finds it.
TEST_F(StorageChainRead, GeneratedPiecesDecodeThroughTheChain) {
  Storage_SetDriver(storage, &kScriptedPieceDriver);
  PieceFile file;
  ScriptedDriver_SetScript(storage, &file, ReadPieceFile);
  StorageTestDeltaSource delta;
  Storage_SetDeltaSource(storage, &delta, StorageTestDeltaSource::Fill);
  std::map<std::string, TestMetaPtr> metas;
  auto meta = [&](const std::string &id) -> MetaFile * {
    if (id == "-") return nullptr;
    TestMetaPtr &m = metas[id];
    if (!m) m = MetaFile_TestLoadVectors("contenttree/pieces/meta/" + id + ".json");
    return m.get();
  };
  StorageRequest *r = nullptr, *source = nullptr;
  StorageRequest_Create(&r);
  StorageRequest_Create(&source);
  StorageRequest_SetSourceRequest(r, source);
  std::vector<PieceCase> cases = ReadPieceCases("cases.txt");
  for (const PieceCase &c : ReadPieceCases("faults.txt"))
    if (c.stage != "decrypt" || c.code != kStorageDecryptPassword) cases.push_back(c);
  std::map<std::string, int> seen;
  for (const PieceCase &c : cases) {
    SCOPED_TRACE(c.path);
    // The storage's password is text; a password prompt is tested apart.
    if (c.password.find('\0') != std::string::npos) continue;
    file.bytes = Test_ReadVectors("contenttree/pieces/" + c.path);
    delta.old = meta(c.old);
    delta.oldVersion = c.old;
    storage->flags = c.flags;
    Storage_SetPassword(storage, c.password.c_str());
    StorageRequest_Reset(r);
    StorageRequest_SetMetaFile(r, meta(c.target));
    StorageRequest_AddPiece(r, c.index);
    StorageRequest_AllocBuffer(r);
    StorageOutcome outcome;
    Storage_Read(storage, r, nullptr, &outcome, StorageOutcome::Complete);
    ASSERT_TRUE(PumpUntil([&] { return outcome.calls == 1; }));
    int32_t result = 0, resultEx = c.code;
    if (c.stage == "decrypt") result = kStorageResultCancelled;
    if (c.stage == "inflate") result = kStorageResultInflate;
    if (c.stage == "window") result = -kStorageResultDelta, resultEx = 0;
    if (c.stage == "apply") result = kStorageResultDelta;
    if (c.stage == "digest") result = kStorageResultDigest, resultEx = outcome.resultEx;
    EXPECT_EQ(outcome.result, result);
    EXPECT_EQ(outcome.resultEx, resultEx);
    seen[c.stage + "/" + std::to_string(c.flags)]++;
  }
  EXPECT_EQ(seen.size() > 16, true);
  for (uint32_t flags = 0; flags < 16; flags++) EXPECT_GT(seen["ok/" + std::to_string(flags)], 0);
  EXPECT_EQ(Storage_GetPendingRequests(storage), 0);
  Class_ReleaseObject(&r);
  EXPECT_TRUE(Balanced());
}

// A member the cache holds is copied from it: the driver reads nothing and
// the cache is not written again.
TEST_F(StorageChainRead, CachedMembersAreNeitherReadNorStored) {
  Storage_SetDriver(storage, &kScriptedPieceDriver);
  storage->flags = 0;
  PieceFile file;
  ScriptedDriver_SetScript(storage, &file, ReadPieceFile);
  StorageRequest *r = nullptr;
  StorageRequest_Create(&r);
  OffsetCache *cache = nullptr;
  OffsetCache_Create(&cache);
  OffsetCache_SetSize(cache, 1 << 22);
  // A piece without pads, of the first version that has one.
  TestMetaPtr meta;
  std::string version;
  int32_t index = -1;
  for (int v = 1; v <= 12 && index < 0; v++) {
    version = "d" + std::to_string(v);
    meta = MetaFile_TestLoadVectors("contenttree/pieces/meta/" + version + ".json");
    for (int32_t i = 0; i < PieceList_GetPieceTotal(MetaFile_GetPieceList(meta.get())); i++) {
      StorageRequest_Reset(r);
      StorageRequest_SetMetaFile(r, meta.get());
      StorageRequest_AddPiece(r, i);
      bool padless = true;
      for (StorageMember *m = StorageRequest_GetFirstMember(r); m != nullptr; m = m->next)
        padless = padless && m->pad == 0;
      if (padless) {
        index = i;
        break;
      }
    }
  }
  ASSERT_GE(index, 0);
  char name[64];
  snprintf(name, sizeof name, "contenttree/pieces/flat/%s/%08x.varnodata", version.c_str(),
           unsigned(index));
  file.bytes = Test_ReadVectors(name);
  for (int pass = 0; pass < 2; pass++) {
    SCOPED_TRACE(pass);
    StorageRequest_Reset(r);
    StorageRequest_SetMetaFile(r, meta.get());
    StorageRequest_AddPiece(r, index);
    StorageRequest_AllocBuffer(r);
    StorageOutcome outcome;
    Storage_Read(storage, r, cache, &outcome, StorageOutcome::Complete);
    ASSERT_TRUE(PumpUntil([&] { return outcome.calls == 1; }));
    EXPECT_EQ(outcome.result, 0) << outcome.resultEx;
    int32_t members = StorageRequest_GetMemberCount(r);
    EXPECT_EQ(ScriptedDriver_GetCalls(storage, kScriptedRead), members);
    EXPECT_EQ(cache->count, members);
    EXPECT_EQ(cache->hits, pass == 0 ? 0 : members);
  }
  Class_ReleaseObject(&cache);
  Class_ReleaseObject(&r);
  EXPECT_TRUE(Balanced());
}

// A driver's failed read names its member in the request (the owner then
// names the file); the next chain on the request starts without one.
TEST_F(StorageChainRead, AFailedReadNamesItsMember) {
  Storage_SetDriver(storage, &kScriptedDriver);
  struct Script {
    StorageMember *failing = nullptr;
  } script;
  ScriptedDriver_SetScript(storage, &script, [](void *context, int32_t slot, StorageStep *step) {
    auto *s = static_cast<Script *>(context);
    if (slot != kScriptedRead || step->value != s->failing) return ScriptedAction{};
    return ScriptedAction{kStorageResultFile, 5, 1, 0};
  });
  TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/pieces/meta/d1.json");
  StorageRequest *r = nullptr;
  StorageRequest_Create(&r);
  int32_t index = 0;
  do {
    StorageRequest_Reset(r);
    StorageRequest_SetMetaFile(r, meta.get());
    StorageRequest_AddPiece(r, index++);
  } while (StorageRequest_GetMemberCount(r) < 2);
  StorageRequest_AllocBuffer(r);
  script.failing = StorageRequest_GetFirstMember(r)->next;
  for (StorageMember *expected : {script.failing, static_cast<StorageMember *>(nullptr)}) {
    StorageOutcome outcome;
    Storage_Read(storage, r, nullptr, &outcome, StorageOutcome::Complete);
    ASSERT_TRUE(PumpUntil([&] { return outcome.calls == 1; }));
    EXPECT_EQ(outcome.result, expected ? kStorageResultFile : kStorageResultDigest);
    EXPECT_EQ(StorageRequest_GetFailedMember(r), expected);
    script.failing = nullptr;
  }
  Class_ReleaseObject(&r);
  EXPECT_TRUE(Balanced());
}

TEST(StorageExpandFormat, NamesAreInsertedLiterally) {
  TestMetaPtr meta = MetaFile_TestLoadVectors("contenttree/pieces/meta/d2.json");
  char id[64] = {}, digest[80] = {};
  MetaFile_GetId(meta.get(), id, sizeof id);
  PieceList_GetDigestHex(MetaFile_GetPieceList(meta.get()), 1, digest, sizeof digest);
  setenv("KEELSON_STORAGE_TEST", "env", 1);
  struct Case {
    const char *format;
    const char *source;
    std::string expected;  // "": refused
  };
  const Case cases[] = {
      {"{targetIndex}.part", nullptr, "1.part"},
      {"{TARGETINFOHASH}/{targetDigest}.varnopiece", nullptr,
       std::string(id) + "/" + digest + ".varnopiece"},
      {"{sourceInfoHash}/{targetDigest}.varnodelta", nullptr,
       std::string("{sourceInfoHash}/") + digest + ".varnodelta"},
      {"{sourceInfoHash}/x", "{Env:KEELSON_STORAGE_TEST}", "{Env:KEELSON_STORAGE_TEST}/x"},
      {"{Env:KEELSON_STORAGE_TEST}/{targetIndex}", nullptr, "env/1"},
      {"{targetIndex", nullptr, "{targetIndex"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.format);
    char out[kStorageNameBytes];
    ASSERT_EQ(Storage_ExpandFormat(c.format, meta.get(), 1, c.source, out, sizeof out), 1);
    EXPECT_EQ(std::string(out), c.expected);
  }
  char out[kStorageNameBytes] = "x";
  // An index of 12 in a format of the index and a suffix.
  EXPECT_EQ(Storage_ExpandFormat("{TargetIndex}.bin", nullptr, 12, nullptr, out, sizeof out), 1);
  EXPECT_STREQ(out, "12.bin");
  // An id holding a macro, set past the loader, stays as it is.
  Str_Copy(meta->id, "{Env:KEELSON_STORAGE_TEST}", int(sizeof meta->id));
  ASSERT_EQ(Storage_ExpandFormat("{targetInfoHash}", meta.get(), 1, nullptr, out, sizeof out), 1);
  EXPECT_STREQ(out, "{Env:KEELSON_STORAGE_TEST}");
  // A name that does not fit is refused, never cut.
  std::string source(kStorageNameBytes, 'a');
  EXPECT_EQ(Storage_ExpandFormat("{sourceInfoHash}", nullptr, 0, source.c_str(), out, sizeof out),
            0);
  EXPECT_STREQ(out, "");
  unsetenv("KEELSON_STORAGE_TEST");
}

}  // namespace
