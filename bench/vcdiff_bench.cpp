// VCDiffDecoder_Run against xdelta3's decoder, in the same run, on three
// 1 GiB targets made from a 1 GiB source (KEELSON_VCDIFF_BENCH_MIB sets
// another size); also BitField_FindFirstClear on 1M bits and the OffsetCache
// with eight threads. Both decoders run as whole processes that map or read
// the source and the delta and write the target to /dev/null, so each side
// pays for its own reads and writes; at 1 GiB the start of a process is noise.
//
//   VCDiff/<case>/ours     this program as `vcdiff_bench --decode SRC DELTA`:
//                          VCDiffDecoder_Run into a buffer, written to stdout
//   VCDiff/<case>/xdelta3  xdelta3 -d -c -R -s SRC DELTA >/dev/null on the RFC
//                          delta whose reframed form ours decodes
// Cases: copy (sparse edits of the source), add (mostly new bytes), run
// (runs and short repeated patterns: RUN and overlapping target COPYs).
// xdelta3 encodes each target once (untimed); tests/vcdiff/reframe.py turns
// its delta into our framing. After the runs a table gives xdelta3's time
// divided by ours (above 1: we are faster) beside the goal of 1.0.
//
// The files live in $KEELSON_BENCH_DIR (default /var/tmp) and are removed at
// the end. Needs xdelta3 and /usr/bin/python3.
#include <benchmark/benchmark.h>

#include "bench/bench_ratio.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/bitfield.h"
#include "base/offsetcache.h"
#include "base/vcdiffdecoder.h"

namespace {

size_t kBytes = size_t(1) << 30;  // KEELSON_VCDIFF_BENCH_MIB
constexpr double kGoal = 1.0;
const char *const kCases[] = {"copy", "add", "run"};

struct Rng {
  uint64_t x;
  uint64_t Next() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  }
  size_t Below(size_t n) { return size_t(Next() % n); }
};

void fillRandom(Rng &rng, uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; i += 8) {
    uint64_t v = rng.Next();
    std::memcpy(p + i, &v, n - i < 8 ? n - i : 8);
  }
}

std::vector<uint8_t> makeTarget(const std::string &kind, const std::vector<uint8_t> &source) {
  Rng rng{0x9e3779b97f4a7c15ull + kind.size()};
  std::vector<uint8_t> t(kBytes);
  size_t at = 0;
  while (at < kBytes) {
    size_t left = kBytes - at;
    if (kind == "copy") {  // a source stretch, then a small edit
      size_t n = std::min(left, 16384 + rng.Below(65536));
      size_t from = std::min(at + rng.Below(64), kBytes - n);
      std::memcpy(&t[at], &source[from], n);
      at += n;
      size_t edit = std::min(kBytes - at, 1 + rng.Below(32));
      fillRandom(rng, &t[at], edit);
      at += edit;
    } else if (kind == "add") {  // new bytes with a short copy now and then
      size_t n = std::min(left, 4096 + rng.Below(65536));
      fillRandom(rng, &t[at], n);
      at += n;
      size_t c = std::min(kBytes - at, size_t(64 + rng.Below(4096)));
      std::memcpy(&t[at], &source[rng.Below(kBytes - c)], c);
      at += c;
    } else {  // runs and short periods, glued with short copies
      size_t n = std::min(left, 64 + rng.Below(4000));
      if (rng.Below(2)) {
        std::memset(&t[at], int(rng.Below(256)), n);
      } else {
        size_t period = 2 + rng.Below(40);
        fillRandom(rng, &t[at], std::min(period, n));
        for (size_t i = period; i < n; ++i) t[at + i] = t[at + i - period];
      }
      at += n;
      size_t c = std::min(kBytes - at, size_t(32 + rng.Below(256)));
      std::memcpy(&t[at], &source[rng.Below(kBytes - c)], c);
      at += c;
    }
  }
  return t;
}

struct Fixture {
  std::string dir;
  std::vector<uint8_t> source;
  bool ok = false;
};

Fixture &fixture() {
  static Fixture f;
  return f;
}

void writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                              std::streamsize(bytes.size()));
}

bool setUp() {
  Fixture &f = fixture();
  const char *base = getenv("KEELSON_BENCH_DIR");
  f.dir = std::string(base ? base : "/var/tmp") + "/keelson_vcdiff_bench";
  std::filesystem::create_directories(f.dir);
  Rng rng{42};
  f.source.resize(kBytes);
  fillRandom(rng, f.source.data(), kBytes);
  writeFile(f.dir + "/src", f.source);
  for (const char *kind : kCases) {
    std::string k = f.dir + "/" + kind;
    writeFile(k + ".tgt", makeTarget(kind, f.source));  // freed at once: 1 GiB each
    std::string encode = "xdelta3 -e -f -D -S none -A -n -B " + std::to_string(kBytes) + " -s " +
                         f.dir + "/src " + k + ".tgt " + k +
                         ".rfc && /usr/bin/python3 -c \"import sys; sys.path.insert(0, '" +
                         KEELSON_SOURCE_DIR "/tests'); from vcdiff import reframe; " +
                         "open('" + k + ".delta', 'wb').write(reframe.reframe(open('" + k +
                         ".rfc', 'rb').read(), " + std::to_string(kBytes) + "))\"";
    if (std::system(encode.c_str()) != 0) return false;
    std::fprintf(stderr, "%s: xdelta3 delta %lld bytes, ours %lld bytes\n", kind,
                 (long long)std::filesystem::file_size(k + ".rfc"),
                 (long long)std::filesystem::file_size(k + ".delta"));
  }
  f.source = std::vector<uint8_t>();  // the children read it from the file
  return f.ok = true;
}

// The child's side of VCDiff/<case>/ours: decodes DELTA against SRC and writes
// the target to stdout. Returns the process's exit status.
int decodeMain(const char *sourcePath, const char *deltaPath) {
  auto map = [](const char *path, size_t *size) -> const uint8_t * {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return nullptr;
    *size = size_t(st.st_size);
    void *p = mmap(nullptr, *size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<const uint8_t *>(p);
  };
  size_t sourceSize = 0, deltaSize = 0;
  const uint8_t *source = map(sourcePath, &sourceSize), *delta = map(deltaPath, &deltaSize);
  if (source == nullptr || delta == nullptr) return 2;
  VCDiffDecoder *d = nullptr;
  VCDiffDecoder_Create(&d);
  VCDiffDecoder_SetSource(d, source, int64_t(sourceSize));
  VCDiffDecoder_SetInput(d, delta, int64_t(deltaSize));
  // Room for the whole target: the delta is one window of the source's size.
  size_t capacity = sourceSize;
  void *out = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  int64_t length = 0;
  if (out == MAP_FAILED || !VCDiffDecoder_ReadWindowHeader(d) ||
      !VCDiffDecoder_Run(d, out, int64_t(capacity), &length))
    return 1;
  for (int64_t done = 0; done < length;) {
    ssize_t n = write(1, static_cast<uint8_t *>(out) + done, size_t(length - done));
    if (n <= 0) return 1;
    done += n;
  }
  Class_ReleaseObject(&d);
  return 0;
}

// One untimed decode by the child, compared with the target.
bool decodesRight(const std::string &self, const std::string &k) {
  std::string command = self + " --decode " + fixture().dir + "/src " + k + ".delta > " + k +
                        ".out && cmp -s " + k + ".out " + k + ".tgt";
  bool same = std::system(command.c_str()) == 0;
  std::filesystem::remove(k + ".out");
  return same;
}

std::string gSelf;

void BM_Ours(benchmark::State &state) {
  Fixture &f = fixture();
  if (!f.ok) return state.SkipWithError("no fixture");
  std::string k = f.dir + "/" + kCases[state.range(0)];
  if (!decodesRight(gSelf, k)) return state.SkipWithError("decoded bytes differ from the target");
  std::string command = gSelf + " --decode " + f.dir + "/src " + k + ".delta >/dev/null";
  for (auto _ : state)
    if (std::system(command.c_str()) != 0) return state.SkipWithError("decoding failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytes));
}

void BM_Xdelta3(benchmark::State &state) {
  Fixture &f = fixture();
  if (!f.ok) return state.SkipWithError("no fixture");
  std::string k = f.dir + "/" + kCases[state.range(0)];
  std::string command = "xdelta3 -d -c -R -B " + std::to_string(kBytes) + " -s " + f.dir +
                        "/src " + k + ".rfc >/dev/null";
  for (auto _ : state)
    if (std::system(command.c_str()) != 0) return state.SkipWithError("xdelta3 failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytes));
}

void BM_FindFirstClear(benchmark::State &state) {
  BitField *b = nullptr;
  BitField_Create(&b);
  BitField_Resize(b, 1 << 20);
  BitField_SetAll(b);
  BitField_Clear(b, (1 << 20) - 3);
  int32_t index = 0;
  for (auto _ : state) {
    BitField_FindFirstClear(b, &index);
    benchmark::DoNotOptimize(index);
  }
  BitField_Release(&b);
}

// Eight threads copy hits out and store misses over 256 ranges of 64 KiB in
// a 8 MiB cache (half of them fit).
void BM_OffsetCacheThreaded(benchmark::State &state) {
  constexpr int kThreads = 8, kRanges = 256, kOps = 20000;
  constexpr int32_t kRange = 65536;
  OffsetCache *c = nullptr;
  OffsetCache_Create(&c);
  OffsetCache_SetSize(c, 8 << 20);
  std::vector<uint8_t> data(kRange, 7);
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        Rng rng{uint64_t(t) + 1};
        std::vector<uint8_t> out(kRange);
        for (int i = 0; i < kOps; ++i) {
          int64_t offset = int64_t(rng.Below(kRanges)) * kRange;
          int32_t length = 0;
          if (!OffsetCache_Copy(c, offset, out.data(), kRange, &length))
            OffsetCache_Put(c, data.data(), offset, kRange);
        }
      });
    for (auto &th : threads) th.join();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kThreads * kOps);
  Class_ReleaseObject(&c);
}

}  // namespace

BENCHMARK(BM_Ours)->Name("VCDiff/copy/ours")->Arg(0)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Xdelta3)->Name("VCDiff/copy/xdelta3")->Arg(0)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours)->Name("VCDiff/add/ours")->Arg(1)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Xdelta3)->Name("VCDiff/add/xdelta3")->Arg(1)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours)->Name("VCDiff/run/ours")->Arg(2)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Xdelta3)->Name("VCDiff/run/xdelta3")->Arg(2)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindFirstClear);
BENCHMARK(BM_OffsetCacheThreaded)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "--decode") == 0) return decodeMain(argv[2], argv[3]);
  if (const char *mib = getenv("KEELSON_VCDIFF_BENCH_MIB"); mib != nullptr && atoi(mib) > 0)
    kBytes = size_t(atoi(mib)) << 20;
  gSelf = std::filesystem::canonical("/proc/self/exe").string();
  if (!setUp()) std::fprintf(stderr, "fixture failed: is xdelta3 installed?\n");
  int status = Bench_Main(argc, argv, [](const BenchRatioReporter &r) {
    std::printf("\n%-8s %12s %12s %8s %6s\n", "case", "ours MB/s", "xdelta3 MB/s", "ratio", "goal");
    for (const char *kind : kCases) {
      std::string ours = std::string("VCDiff/") + kind + "/ours";
      std::string peer = std::string("VCDiff/") + kind + "/xdelta3";
      const BenchRatioReporter::Result *o = r.Find(ours), *p = r.Find(peer);
      if (!o || !p) continue;
      std::printf("%-8s %12.0f %12.0f %7.2fx %5.1fx\n", kind, o->bytesPerSecond / 1e6,
                  p->bytesPerSecond / 1e6, r.SpeedRatio(ours, peer), kGoal);
    }
  });
  std::filesystem::remove_all(fixture().dir);
  return status;
}
