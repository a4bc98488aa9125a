// Tests of the copy and clean-up engines: generated metafiles whose file
// bytes follow a seed per file, scripted storages that serve those bytes
// (so that the decoding chain's digest check passes on a piece read whole),
// an owner that lends requests and counts them back, and a fixture that
// pumps like the repository does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/storagecopy.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/base64.h"
#include "core/security/hash.h"
#include "tests/metafile_vectors.h"
#include "tests/scripted_driver.h"
#include "tests/wake_hook.h"

// Byte j of a file whose content seed is seed.
inline uint8_t TestContentByte(uint32_t seed, int64_t j) {
  uint64_t x = uint64_t(seed) * 0x9E3779B97F4A7C15ull + uint64_t(j) * 0xBF58476D1CE4E5B9ull;
  x ^= x >> 31;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 29;
  return uint8_t(x);
}

struct TestFileShape {
  std::string name;
  int64_t size = 0;
  int64_t pad = 0;  // zero bytes after the data (a range of the pad list in list mode)
  uint32_t seed = 0;
  std::string link = "";  // a link entry's target (size 0); empty: a file
};

struct TestLayout {
  int64_t pieceSize = 64;
  std::vector<TestFileShape> files;
  bool padList = false;  // pads as a "pad" list instead of per-file "pad"
  bool hashPadding = true;
  std::string algorithm = "SHA1";
  std::string id = "t1";
};

// The metafile text of a layout; the digests are the algorithm's over each
// piece's bytes (pads included with hashPadding).
inline std::string TestLayout_Json(const TestLayout &l) {
  std::vector<uint8_t> stream;
  std::vector<uint8_t> pad;
  std::string files, pads;
  for (TestFileShape f : l.files) {
    if (l.padList && f.size == 0) f.pad = 0;  // a pad list gives empty files no pad
    if (!files.empty()) files += ",";
    files += "{\"name\":\"" + f.name + "\",\"size\":" + std::to_string(f.size);
    if (!f.link.empty()) files += ",\"link\":\"" + f.link + "\",\"attr\":8";
    if (!l.padList) files += ",\"pad\":" + std::to_string(f.pad);
    files += "}";
    for (int64_t j = 0; j < f.size; j++) stream.push_back(TestContentByte(f.seed, j)), pad.push_back(0);
    if (l.padList && f.size > 0) {
      if (!pads.empty()) pads += ",";
      pads += "{\"offset\":" + std::to_string(stream.size()) + ",\"size\":" + std::to_string(f.pad) + "}";
    }
    stream.insert(stream.end(), size_t(f.pad), 0);
    pad.insert(pad.end(), size_t(f.pad), 1);
  }
  const HashInterface *h = nullptr;
  Hash_GetInterfaceByName(l.algorithm.c_str(), &h);
  std::string digests;
  std::vector<uint8_t> piece;
  for (size_t a = 0; a < stream.size(); a += size_t(l.pieceSize)) {
    size_t b = std::min(stream.size(), a + size_t(l.pieceSize));
    piece.clear();
    for (size_t i = a; i < b; i++)
      if (l.hashPadding || !pad[i]) piece.push_back(stream[i]);
    uint8_t digest[64];
    static const uint8_t kNone = 0;  // an all-pad piece without hashPadding hashes no bytes
    Hash_ComputeDigest(h, piece.empty() ? &kNone : piece.data(), int64_t(piece.size()), digest,
                       h->DigestSize);
    char text[128];
    int64_t n = 0;
    Base64_Encode(digest, h->DigestSize, text, sizeof text, &n);
    if (!digests.empty()) digests += ",";
    digests += "\"" + std::string(text, size_t(n)) + "\"";
  }
  std::string doc = "{\"id\":\"" + l.id + "\",\"files\":[" + files + "]";
  if (l.padList) doc += ",\"pad\":[" + pads + "]";
  doc += ",\"pieces\":{\"algorithm\":\"" + l.algorithm + "\",\"size\":" +
         std::to_string(l.pieceSize) + ",\"hashPadding\":" + (l.hashPadding ? "true" : "false") +
         ",\"digests\":[" + digests + "]}}";
  return doc;
}

// A loaded metafile of a layout and the content seed of each of its entries.
struct TestContent {
  TestMetaPtr meta;
  std::unordered_map<const FileEntry *, uint32_t> seeds;
  int32_t pieces = 0;

  void Load(const TestLayout &l) {
    std::string text = TestLayout_Json(l);
    MetaFile *m = nullptr;
    MetaFile_Create(&m);
    meta.reset(m);
    MetaFileResult r = MetaFile_TestLoad(m, text.data(), int32_t(text.size()));
    ASSERT_EQ(r.code, 0u) << text.substr(0, 2000);
    seeds.clear();
    FileEntry *e = nullptr;
    FileList_GetFirst(MetaFile_GetFileList(m), &e);
    for (const TestFileShape &f : l.files) {
      seeds[e] = f.seed;
      e = e->next;
    }
    pieces = PieceList_GetPieceTotal(MetaFile_GetPieceList(m));
  }

  // The bytes of a member, unpadded, as a plain storage reads them.
  void Fill(StorageRequest *r, StorageMember *m) const {
    uint8_t *p = nullptr;
    StorageRequest_GetBuffer(r, m->dataOffset, &p);
    uint32_t seed = seeds.at(m->file);
    for (int64_t j = 0; j < m->length; j++) p[j] = TestContentByte(seed, m->fileOffset + j);
    StorageRequest_ReleaseBuffer(r, &p);
    StorageRequest_AddLength(r, m->length);
  }
};

// The script of one scripted storage: reads serve the content; a step of
// slot s fails with one of codes at fail[s] percent; override decides
// instead when set.
struct TestScript {
  const TestContent *content = nullptr;
  int32_t fail[16] = {};
  std::vector<int32_t> codes = {404, 960, 964, 979};
  bool later = false;
  std::function<ScriptedAction(int32_t slot, StorageStep *step)> override;
  std::mutex lock;
  std::mt19937 rng{1};

  static ScriptedAction Run(void *context, int32_t slot, StorageStep *step) {
    auto *s = static_cast<TestScript *>(context);
    if (s->override) return s->override(slot, step);
    ScriptedAction a = {0, 0, s->later ? 1 : 0, 0};
    if (s->fail[slot] > 0) {
      std::lock_guard<std::mutex> g(s->lock);
      if (int32_t(s->rng() % 100) < s->fail[slot]) a.result = s->codes[s->rng() % s->codes.size()];
    }
    if (a.result == 0 && slot == kScriptedRead && s->content != nullptr)
      s->content->Fill(static_cast<StorageRequest *>(step->argument),
                       static_cast<StorageMember *>(step->value));
    return a;
  }
};

// A storage on the scripted driver (a piece driver when piece is true) whose
// results come back on the main queue.
struct TestStorage {
  Storage *storage = nullptr;
  TestScript script;
  explicit TestStorage(bool piece = false) {
    Storage_Create(&storage);
    Storage_SetQueue(storage, EventQueue_GetMain());
    Storage_SetDriver(storage, piece ? &kScriptedPieceDriver : &kScriptedDriver);
    ScriptedDriver_SetScript(storage, &script, TestScript::Run);
  }
  ~TestStorage() { Class_ReleaseObject(&storage); }
  int32_t Calls(int32_t slot) { return ScriptedDriver_GetCalls(storage, slot); }
};

// The owner's side of the request slots: count requests lend and given back.
struct TestOwner {
  std::vector<StorageRequest *> requests;
  std::vector<bool> out;
  int32_t acquired = 0;
  int32_t released = 0;
  int32_t doubleRelease = 0;
  explicit TestOwner(int32_t count) {
    requests.resize(size_t(count));
    out.assign(size_t(count), false);
    for (StorageRequest *&r : requests) StorageRequest_Create(&r);
  }
  ~TestOwner() {
    for (StorageRequest *&r : requests) Class_ReleaseObject(&r);
  }
  int32_t Out() const { return acquired - released; }
  void Bind(StorageCopy *c) {
    StorageCopy_SetAcquireRequestCallback(c, this, Acquire);
    StorageCopy_SetReleaseRequestCallback(c, this, Release);
  }
  static int Acquire(StorageCopy *, void *context, StorageRequest **request) {
    auto *o = static_cast<TestOwner *>(context);
    for (size_t i = 0; i < o->requests.size(); i++) {
      if (o->out[i]) continue;
      o->out[i] = true;
      o->acquired++;
      *request = o->requests[i];
      return 1;
    }
    return 0;
  }
  static void Release(StorageCopy *, void *context, StorageRequest **request) {
    auto *o = static_cast<TestOwner *>(context);
    for (size_t i = 0; i < o->requests.size(); i++) {
      if (o->requests[i] != *request) continue;
      if (!o->out[i]) o->doubleRelease++;
      o->out[i] = false;
      o->released++;
    }
    *request = nullptr;
  }
};

// A tick clock the test can move forward: real time plus an offset.
struct TestClock {
  static std::atomic<double> &Offset() {
    static std::atomic<double> offset{0};
    return offset;
  }
  static double Now() {
    return double(std::chrono::duration<double>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count()) +
           Offset().load();
  }
  TestClock() {
    Offset().store(0);
    Platform_SetTickSourceForTest(Now);
  }
  ~TestClock() { Platform_SetTickSourceForTest(nullptr); }
  void Advance(double seconds) { Offset().store(Offset().load() + seconds); }
};

// Thread module, main queue, meters and I/O worker, as the host starts them.
class EngineTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    Meter_Init();
    IOWorker_Init();
  }
  void TearDown() override {
    IOWorker_Shutdown();
    Meter_Shutdown();
    ThreadTest::TearDown();
  }
  // Runs step() and the main queue until done() holds; yields while
  // nothing is due. At most 60 s.
  template <typename Step, typename Done>
  bool Drive(Step step, Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      step();
      EventQueue_Flush(EventQueue_GetMain());
      Thread_Yield();
    }
    return true;
  }
};
