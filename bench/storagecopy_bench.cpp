// The copy and clean-up engines' own cost, with storages whose driver
// completes every step at once (no peer: the figures stand alone).
//   BM_CopyAllStages: 10^6 pieces of 64 bytes through the exists (missing),
//     transfer and write stages and 500 file completions, eight requests in
//     flight. Goal: at least 100,000 pieces per second.
//   BM_MaskTest: StorageCopy_Configure (the digest index) and the mask test
//     of every piece of a 250,000-piece metafile against another of that
//     size that shares nine pieces in ten. Goal: under 1 s.
//   BM_CleanupPieces: the piece-mode clean-up of the same pair (the pieces
//     the newer lacks erased). Goal: under 1 s.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/storagecleanup.h"
#include "base/storagechain.h"
#include "base/storagecopy.h"
#include "bench/bench_ratio.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/thread.h"
#include "core/runtime/base64.h"
#include "core/runtime/memory.h"
#include "core/security/hash.h"
#include "tests/metafile_util.h"

namespace {

constexpr uint32_t kBenchDriverTag = 0x5b0c0d71;
constexpr int kInFlight = 8;

// A driver that completes every step at once: reads leave the (zeroed)
// buffer as it is, or report the piece missing.
struct BenchDriver {
  ObjectHeader header;
  int32_t missing;
};

void benchDriverDestroy(void **object) {
  auto *d = static_cast<BenchDriver *>(*object);
  d->~BenchDriver();
  MEM_FREE(d, sizeof(BenchDriver));
}
int benchCreate(void **context) {
  auto *d = new (MEM_ALLOC(sizeof(BenchDriver), MEM_ZEROED)) BenchDriver();
  d->header.classTag = kBenchDriverTag;
  d->header.refCount.store(1);
  d->header.destroy = benchDriverDestroy;
  *context = d;
  return 1;
}
int benchRelease(void **context) {
  Class_Release(context);
  return 1;
}
int benchSetLogHook(void *, Storage *, StorageLogFunction) { return 1; }
int benchConfigure(void *, Storage *, Dictionary *, Dictionary *) { return 1; }
int benchStatus(void *, Storage *, Dictionary *) { return 1; }
int benchRead(void *context, StorageStep *step) {
  if (static_cast<BenchDriver *>(context)->missing)
    return Storage_CompleteStep(step, kStorageResultMissing, 0);
  StorageRequest_AddLength(static_cast<StorageRequest *>(step->argument),
                           static_cast<StorageMember *>(step->value)->length);
  return Storage_CompleteStep(step, 0, 0);
}
int benchDone(void *, StorageStep *step) { return Storage_CompleteStep(step, 0, 0); }

const StorageDriver kBenchDriver = {
    "BenchDriver",      benchCreate, StorageDriver_AddRef,  benchRelease,
    benchSetLogHook,    benchConfigure, StorageDriver_NoOp, StorageDriver_NoOpActive,
    benchStatus,        StorageDriver_NoOp, StorageDriver_NotSupported, benchRead,
    benchDone,          benchDone,   StorageDriver_NotSupported, benchDone,
};

Storage *benchStorage(bool missing) {
  Storage *s = nullptr;
  Storage_Create(&s);
  Storage_SetQueue(s, EventQueue_GetMain());
  Storage_SetDriver(s, &kBenchDriver);
  void *context = nullptr;
  Storage_GetDriverContext(s, &context);
  static_cast<BenchDriver *>(context)->missing = missing ? 1 : 0;
  return s;
}

std::string base64(const uint8_t *data, int n) {
  char text[128];
  int64_t length = 0;
  Base64_Encode(data, n, text, sizeof text, &length);
  return std::string(text, size_t(length));
}

// A metafile of pieces of pieceSize over files files; digests from
// digestOf(i).
template <typename DigestOf>
MetaFile *benchMetaFile(const char *id, int32_t pieces, int64_t pieceSize, int32_t files,
                        DigestOf digestOf) {
  std::string text = std::string("{\"id\":\"") + id + "\",\"files\":[";
  int64_t total = int64_t(pieces) * pieceSize, each = total / files;
  for (int32_t f = 0; f < files; f++) {
    int64_t size = f == files - 1 ? total - each * (files - 1) : each;
    text += (f ? ",{\"name\":\"d/f" : "{\"name\":\"d/f") + std::to_string(f) +
            "\",\"size\":" + std::to_string(size) + "}";
  }
  text += "],\"pieces\":{\"algorithm\":\"SHA1\",\"hashPadding\":false,\"size\":" +
          std::to_string(pieceSize) + ",\"digests\":[";
  for (int32_t i = 0; i < pieces; i++) {
    uint8_t digest[20];
    digestOf(i, digest);
    text += (i ? ",\"" : "\"") + base64(digest, 20) + "\"";
  }
  text += "]}}";
  MetaFile *m = nullptr;
  MetaFile_Create(&m);
  if (MetaFile_TestLoad(m, text.data(), int32_t(text.size())).code != 0)
    fprintf(stderr, "metafile refused\n");
  return m;
}

// Every piece is zeros: its digest is SHA-1 of pieceSize zero bytes.
MetaFile *zeroMetaFile(int32_t pieces, int64_t pieceSize, int32_t files) {
  std::vector<uint8_t> zeros(static_cast<size_t>(pieceSize), 0);
  uint8_t zero[20];
  Hash_ComputeDigest(&kHashSha1, zeros.data(), pieceSize, zero, 20);
  return benchMetaFile("z", pieces, pieceSize, files,
                       [&](int32_t, uint8_t *d) { memcpy(d, zero, 20); });
}

// The older and the newer of a pair: the newer changes one piece in ten.
void randomDigest(uint32_t seed, int32_t i, uint8_t *d) {
  std::mt19937 rng(seed * 1000003u + uint32_t(i));
  for (int k = 0; k < 20; k++) d[k] = uint8_t(rng());
}
MetaFile *pairMetaFile(bool newer, int32_t pieces) {
  return benchMetaFile(newer ? "new" : "old", pieces, 1 << 20, 400, [&](int32_t i, uint8_t *d) {
    randomDigest(newer && i % 10 == 3 ? 2 : 1, i, d);
  });
}

struct Owner {
  std::vector<StorageRequest *> free;
  static int Acquire(StorageCopy *, void *c, StorageRequest **r) {
    auto *o = static_cast<Owner *>(c);
    if (o->free.empty()) return 0;
    *r = o->free.back();
    o->free.pop_back();
    return 1;
  }
  static void Release(StorageCopy *, void *c, StorageRequest **r) {
    static_cast<Owner *>(c)->free.push_back(*r);
    *r = nullptr;
  }
};

int32_t continueOnMissing(StorageCopy *, void *, StorageRequest *, int32_t, int32_t, int32_t,
                          int32_t, int32_t code, int32_t, double *) {
  return code == kStorageResultMissing ? kStorageResponseContinue : kStorageResponseRetry;
}

Storage *gSource = nullptr;
int source(StorageCopy *, void *, StorageRequest *, Storage **s) {
  *s = gSource;
  return 1;
}

void BM_CopyAllStages(benchmark::State &state) {
  int32_t pieces = int32_t(state.range(0));
  MetaFile *meta = zeroMetaFile(pieces, 64, 500);
  Storage *local = benchStorage(true);
  gSource = benchStorage(false);
  Owner owner;
  for (int i = 0; i < kInFlight; i++) {
    StorageRequest *r = nullptr;
    StorageRequest_Create(&r);
    owner.free.push_back(r);
  }
  std::vector<StorageRequest *> all = owner.free;
  StorageCopy *copy = nullptr;
  StorageCopy_Create(&copy);
  StorageCopy_SetLocalStorage(copy, local);
  StorageCopy_SetMetaFile(copy, meta);
  StorageCopy_SetAcquireRequestCallback(copy, &owner, Owner::Acquire);
  StorageCopy_SetReleaseRequestCallback(copy, &owner, Owner::Release);
  StorageCopy_SetErrorCallback(copy, nullptr, continueOnMissing);
  StorageCopy_SetSourceCallback(copy, nullptr, source);
  StorageCopy_SetRequestCount(copy, kInFlight);
  for (auto _ : state) {
    StorageCopy_Configure(copy);
    StorageCopy_Start(copy);
    // As the owner's loop does: pump, deliver results, and wait for the
    // next wake-up (a result) rather than spin on the queue's lock.
    while (!StorageCopy_IsFinished(copy)) {
      StorageCopy_Pump(copy);
      EventQueue_Flush(EventQueue_GetMain());
      Thread_Yield();
    }
    StorageCopy_Stop(copy);
  }
  int32_t written = 0;
  StorageCopy_GetPiecesWritten(copy, &written);
  if (written != pieces) state.SkipWithError("not every piece was written");
  state.SetItemsProcessed(state.iterations() * pieces);
  StorageCopy_Destroy(&copy);
  while (Storage_GetPendingRequests(local) || Storage_GetPendingRequests(gSource))
    EventQueue_Flush(EventQueue_GetMain());
  for (StorageRequest *&r : all) Class_ReleaseObject(&r);
  Class_ReleaseObject(&local);
  Class_ReleaseObject(&gSource);
  MetaFile_Destroy(&meta);
}

constexpr int32_t kPairPieces = 250000;
MetaFile *gOld = nullptr, *gNew = nullptr;

void pair() {
  if (gOld == nullptr) gOld = pairMetaFile(false, kPairPieces), gNew = pairMetaFile(true, kPairPieces);
}

void BM_MaskTest(benchmark::State &state) {
  pair();
  StorageCopy *copy = nullptr;
  StorageCopy_Create(&copy);
  StorageCopy_SetMetaFile(copy, gNew);
  StorageCopy_SetMaskMetaFile(copy, gOld);
  StorageRequest *r = nullptr;
  StorageRequest_Create(&r);
  int32_t masked = 0;
  for (auto _ : state) {
    StorageCopy_Configure(copy);
    masked = 0;
    for (int32_t i = 0; i < kPairPieces; i++) {
      StorageRequest_Reset(r);
      StorageRequest_SetMetaFile(r, gNew);
      StorageRequest_AddPiece(r, i);
      masked += StorageCopy_IsMasked(copy, r, i);
    }
  }
  if (masked != kPairPieces - kPairPieces / 10) state.SkipWithError("wrong mask count");
  state.SetItemsProcessed(state.iterations() * kPairPieces);
  Class_ReleaseObject(&r);
  StorageCopy_Destroy(&copy);
}

void BM_CleanupPieces(benchmark::State &state) {
  pair();
  Storage *storage = benchStorage(false);
  StorageCleanup *cleanup = nullptr;
  StorageCleanup_Create(&cleanup);
  StorageCleanup_SetStorage(cleanup, storage);
  StorageCleanup_SetMetaFile(cleanup, gOld);
  StorageCleanup_SetKeepMetaFile(cleanup, gNew);
  // Piece mode needs a piece driver: the bench driver's record under a
  // piece driver's name.
  static StorageDriver pieceDriver = kBenchDriver;
  pieceDriver.name = "BenchPiece";
  Storage_SetDriver(storage, &pieceDriver);
  StorageCleanup_SetLimit(cleanup, 64);
  for (auto _ : state) {
    StorageCleanup_Start(cleanup);
    while (!StorageCleanup_IsFinished(cleanup)) {
      StorageCleanup_Pump(cleanup);
      EventQueue_Flush(EventQueue_GetMain());
      Thread_Yield();
    }
  }
  if (StorageCleanup_GetFilesErased(cleanup) != kPairPieces / 10)
    state.SkipWithError("wrong erase count");
  state.SetItemsProcessed(state.iterations() * kPairPieces);
  StorageCleanup_Destroy(&cleanup);
  while (Storage_GetPendingRequests(storage)) EventQueue_Flush(EventQueue_GetMain());
  Class_ReleaseObject(&storage);
}

BENCHMARK(BM_CopyAllStages)->Arg(100000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MaskTest)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CleanupPieces)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  Mem_Init(0);
  Thread_Init();
  EventQueue_InitMain();
  Meter_Init();
  IOWorker_Init();
  int rc = Bench_Main(argc, argv, [](const BenchRatioReporter &r) {
    const BenchRatioReporter::Result *copy = r.Find("BM_CopyAllStages/1000000/iterations:1");
    const BenchRatioReporter::Result *mask = r.Find("BM_MaskTest");
    const BenchRatioReporter::Result *cleanup = r.Find("BM_CleanupPieces");
    if (copy)
      std::printf("copy: %.0f pieces/s through exists, transfer and write (goal >= 100000)\n",
                  1e6 / (copy->realTime / 1000.0));
    if (mask)
      std::printf("mask test of 250,000 against 250,000 pieces: %.0f ms (goal < 1000)\n",
                  mask->realTime);
    if (cleanup)
      std::printf("clean-up, piece mode, same pair: %.0f ms (goal < 1000)\n", cleanup->realTime);
    std::fflush(stdout);
  });
  if (gOld != nullptr) MetaFile_Destroy(&gOld), MetaFile_Destroy(&gNew);
  IOWorker_Shutdown();
  Meter_Shutdown();
  Thread_Shutdown();
  EventQueue *main = EventQueue_GetMain();
  Class_ReleaseObject(&main);
  return rc;
}
