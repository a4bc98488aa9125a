// Metafile reader against RapidJSON's DOM, on one generated metafile of
// 100,000 files (names in nested directories, sizes, mtimes, attributes)
// and about 250,000 SHA-1 piece digests of 64 KiB pieces (about 25 MB):
//   BM_LoadVsDom  our whole load from memory (parse through node callbacks,
//                 file and piece lists, pad and file indexes, piece lengths)
//                 and RapidJSON's DOM parse of the same bytes, run
//                 alternately (order swapped every round, kRounds rounds);
//                 the median of the per-round ratios is printed, with the
//                 tracked bytes the loaded lists hold per body byte
//   BM_Load       our load alone, MB/s
//   BM_RapidDom   RapidJSON DOM alone, MB/s
//   BM_FindOffset 10^6 FileIndex_Find at random stream offsets, ns each
//   BM_FindName   10^6 FileIndex_FindName of random listed names, ns each
// Goals: load/dom at least 0.5x; list bytes no more than the body.
#include <rapidjson/document.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "base/metafile.h"
#include "bench/bench_ratio.h"
#include "core/runtime/base64.h"
#include "core/runtime/memory.h"
#include "tests/metafile_util.h"

namespace {

constexpr int kFiles = 100000;
constexpr int64_t kPieceSize = 65536;
constexpr int kRounds = 7;

std::string gText;
std::vector<std::string> gNames;
int64_t gStreamLength = 0;

std::string makeMetafile() {
  std::mt19937_64 rng(44);
  const char *dirs[] = {"data/textures/", "data/sound/", "bin/", "data/levels/", "docs/"};
  std::string s = "{\"id\":\"bench\",\"files\":[";
  char buffer[512];
  for (int i = 0; i < kFiles; i++) {
    snprintf(buffer, sizeof buffer, "%spack_%03d/asset_%06d_%s.bin", dirs[rng() % 5],
             int(rng() % 1000), i, (rng() & 1) ? "highres" : "lod");
    gNames.push_back(buffer);
    int64_t size = int64_t(rng() % 327680);
    gStreamLength += size;
    snprintf(buffer, sizeof buffer,
             "%s{\"name\":\"%s\",\"size\":%lld,\"mtime\":%llu,\"attr\":%d,\"offset\":0}",
             i ? "," : "", gNames.back().c_str(), (long long)size,
             (unsigned long long)(1600000000 + rng() % 100000000), int(rng() % 64));
    s += buffer;
  }
  int64_t pieces = (gStreamLength + kPieceSize - 1) / kPieceSize;
  s += "],\"pieces\":{\"algorithm\":\"SHA1\",\"size\":" + std::to_string(kPieceSize) +
       ",\"digests\":[";
  for (int64_t i = 0; i < pieces; i++) {
    uint8_t digest[20];
    for (uint8_t &b : digest) b = uint8_t(rng());
    char text[40];
    int64_t length = 0;
    Base64_Encode(digest, 20, text, sizeof text, &length);
    s += (i ? ",\"" : "\"") + std::string(text, size_t(length)) + "\"";
  }
  s += "]}}";
  return s;
}

bool loadOnce(MetaFile *m) {
  return MetaFile_TestLoad(m, gText.data(), int32_t(gText.size())).code == 0;
}

bool domOnce() {
  rapidjson::Document document;
  document.Parse(gText.data(), gText.size());
  benchmark::DoNotOptimize(document);
  return !document.HasParseError();
}

void setBytes(benchmark::State &state) {
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(gText.size()));
}

double medianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double threadCpuNs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) * 1e9 + double(now.tv_nsec);
}

// Medians over the rounds, wall clock and the thread's CPU time (steadier on
// a shared machine).
struct LoadVsDom {
  double oursMs, domMs, ratio, oursCpuMs, domCpuMs, cpuRatio;
} gLoadVsDom;

double gLookupCpuNs[2];  // per look-up: offset, name

void BM_LoadVsDom(benchmark::State &state) {
  MetaFile *m = nullptr;
  MetaFile_Create(&m);
  std::vector<double> ms[2], cpu[2], ratios, cpuRatios;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; round++) {
      double t[2] = {0, 0}, c[2] = {0, 0};
      for (int turn = 0; turn < 2; turn++) {
        int who = (round + turn) & 1;
        double cpuStart = threadCpuNs();
        int64_t start = Bench_NowNs();
        bool ok = who == 0 ? loadOnce(m) : domOnce();
        t[who] = double(Bench_NowNs() - start) / 1e6;
        c[who] = (threadCpuNs() - cpuStart) / 1e6;
        if (!ok) state.SkipWithError("load");
      }
      for (int who = 0; who < 2; who++) {
        ms[who].push_back(t[who]);
        cpu[who].push_back(c[who]);
      }
      ratios.push_back(t[1] / t[0]);
      cpuRatios.push_back(c[1] / c[0]);
    }
  }
  MetaFile_Destroy(&m);
  if (!ratios.empty())
    gLoadVsDom = {medianOf(ms[0]),  medianOf(ms[1]),  medianOf(ratios),
                  medianOf(cpu[0]), medianOf(cpu[1]), medianOf(cpuRatios)};
}

void BM_Load(benchmark::State &state) {
  MetaFile *m = nullptr;
  MetaFile_Create(&m);
  for (auto _ : state)
    if (!loadOnce(m)) state.SkipWithError("load");
  MetaFile_Destroy(&m);
  setBytes(state);
}

void BM_RapidDom(benchmark::State &state) {
  for (auto _ : state)
    if (!domOnce()) state.SkipWithError("parse");
  setBytes(state);
}

constexpr int kLookups = 1000000;

void BM_FindOffset(benchmark::State &state) {
  MetaFile *m = nullptr;
  MetaFile_Create(&m);
  if (!loadOnce(m)) state.SkipWithError("load");
  std::mt19937_64 rng(1);
  std::vector<int64_t> offsets(kLookups);
  for (int64_t &o : offsets) o = int64_t(rng() % uint64_t(gStreamLength));
  FileIndex *index = MetaFile_GetFileIndex(m);
  for (auto _ : state) {
    int found = 0;
    FileRecord *r = nullptr;
    double start = threadCpuNs();
    for (int64_t o : offsets) found += FileIndex_Find(index, &r, o);
    gLookupCpuNs[0] = (threadCpuNs() - start) / kLookups;
    if (found != kLookups) state.SkipWithError("miss");
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kLookups);
  MetaFile_Destroy(&m);
}

void BM_FindName(benchmark::State &state) {
  MetaFile *m = nullptr;
  MetaFile_Create(&m);
  if (!loadOnce(m)) state.SkipWithError("load");
  std::mt19937_64 rng(2);
  std::vector<const char *> names(kLookups);
  for (const char *&n : names) n = gNames[rng() % gNames.size()].c_str();
  FileIndex *index = MetaFile_GetFileIndex(m);
  for (auto _ : state) {
    int found = 0;
    FileRecord *r = nullptr;
    double start = threadCpuNs();
    for (const char *n : names) found += FileIndex_FindName(index, &r, n);
    gLookupCpuNs[1] = (threadCpuNs() - start) / kLookups;
    if (found != kLookups) state.SkipWithError("miss");
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kLookups);
  MetaFile_Destroy(&m);
}

// Tracked bytes the loaded metafile holds, per body byte.
double footprint() {
  MetaFile *m = nullptr;
  MetaFile_Create(&m);
  int64_t count = 0, before = 0, after = 0;
  Mem_GetUsage(&count, &before);
  loadOnce(m);
  Mem_GetUsage(&count, &after);
  MetaFile_Destroy(&m);
  return double(after - before) / double(gText.size());
}

}  // namespace

int main(int argc, char **argv) {
  Mem_Init(0);
  gText = makeMetafile();
  printf("metafile: %.1f MB, %d files, %lld pieces\n", double(gText.size()) / 1e6, kFiles,
         (long long)((gStreamLength + kPieceSize - 1) / kPieceSize));
  benchmark::RegisterBenchmark("BM_LoadVsDom", BM_LoadVsDom)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1)
      ->UseRealTime();
  benchmark::RegisterBenchmark("BM_Load", BM_Load)->Unit(benchmark::kMillisecond)->Iterations(4);
  benchmark::RegisterBenchmark("BM_RapidDom", BM_RapidDom)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(4);
  benchmark::RegisterBenchmark("BM_FindOffset", BM_FindOffset)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3);
  benchmark::RegisterBenchmark("BM_FindName", BM_FindName)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3);
  return Bench_Main(argc, argv, [](const BenchRatioReporter &r) {
    const LoadVsDom &l = gLoadVsDom;
    if (l.ratio > 0)
      printf(
          "\nLoad against RapidJSON DOM, alternately, median of %d rounds (goal 0.5x):\n"
          "  wall: ours %.1f ms, dom %.1f ms, load/dom %.2fx\n"
          "  cpu:  ours %.1f ms, dom %.1f ms, load/dom %.2fx\n"
          "list bytes per body byte %.3f (goal <= 1)\n",
          kRounds, l.oursMs, l.domMs, l.ratio, l.oursCpuMs, l.domCpuMs, l.cpuRatio, footprint());
    const char *names[2] = {"BM_FindOffset", "BM_FindName"};
    for (int i = 0; i < 2; i++)
      if (const BenchRatioReporter::Result *x = r.Find(names[i]))
        printf("%s: %.1f ns per look-up (wall), %.1f ns (thread cpu)\n", names[i],
               x->realTime * 1e6 / kLookups, gLookupCpuNs[i]);
  });
}
