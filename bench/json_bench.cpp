// JSON reader and writer against RapidJSON (DOM and SAX Reader) and simdjson
// (DOM), on three generated documents of about 50 MB each:
//   a  metafile-shaped: 300,000 file objects (name, size, mtime, attr, offset,
//      40-hex-digit digest) and a "pieces" object of 200,000 base64 digests
//   b  number-heavy: integers and doubles in arrays
//   c  string-heavy: long strings with escapes and non-ASCII text
// For each: BM_Tree (our parse into a Dictionary, pool growth 1000, string
// pool on), BM_TreeNoPool (string pool off), BM_NoTarget (our parse with no
// target), BM_RapidDom, BM_RapidReader, BM_Simdjson, BM_Write (our compact
// writer into memory). The tree rows time the whole life of a tree on both
// sides: ours Dictionary_Create, the parse and Dictionary_Release; RapidJSON's
// Document construction, Parse and destruction.
// BM_TreeVsDom runs ours and RapidJSON DOM alternately (the order swapped
// every round, kRounds rounds), so that both see the same machine state; the
// figure printed afterwards is the median of the per-round ratios, with the
// tracked bytes a parsed tree holds per input byte. The work differs in one
// respect: ours keeps each number's text (it is converted when read), while
// RapidJSON converts every number while parsing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <simdjson.h>

#include "bench/bench_ratio.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/runtime/memory.h"

namespace {

std::string gDocs[3];
const char *const kDocNames[3] = {"a_metafile", "b_numbers", "c_strings"};
constexpr size_t kDocBytes = 50u << 20;

std::string makeMetafile() {
  std::mt19937_64 rng(1);
  std::string s = "{\"files\":[";
  const char *dirs[] = {"data/textures/", "data/sound/", "bin/", "data/levels/", "docs/"};
  char buffer[512];
  for (int i = 0; i < 300000; i++) {
    char digest[41];
    for (int k = 0; k < 40; k++) digest[k] = "0123456789abcdef"[rng() & 15];
    digest[40] = 0;
    snprintf(buffer, sizeof buffer,
             "%s{\"name\":\"%spack_%03d/asset_%06d_%s.bin\",\"size\":%llu,\"mtime\":%llu,"
             "\"attr\":%d,\"offset\":%llu,\"digest\":\"%s\"}",
             i ? "," : "", dirs[rng() % 5], int(rng() % 1000), i,
             (rng() & 1) ? "highres" : "lod", (unsigned long long)(rng() % 100000000),
             (unsigned long long)(1600000000 + rng() % 100000000), int(rng() % 64),
             (unsigned long long)(rng() % 40000000000ull), digest);
    s += buffer;
  }
  s += "],\"pieces\":{";
  const char *b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 200000; i++) {
    std::string digest;
    for (int k = 0; k < 27; k++) digest += b64[rng() & 63];
    digest += "=";
    snprintf(buffer, sizeof buffer, "%s\"%d\":\"%s\"", i ? "," : "", i, digest.c_str());
    s += buffer;
  }
  s += "}}";
  return s;
}

std::string makeNumbers() {
  std::mt19937_64 rng(2);
  std::string s = "[";
  char buffer[64];
  bool firstRow = true;
  while (s.size() < kDocBytes) {
    s += firstRow ? "[" : ",[";
    firstRow = false;
    for (int k = 0; k < 16; k++) {
      if (rng() & 1)
        snprintf(buffer, sizeof buffer, "%s%lld", k ? "," : "", (long long)(rng() % 2000000000) - 1000000000);
      else
        snprintf(buffer, sizeof buffer, "%s%.17g", k ? "," : "",
                 double(rng() % 1000000) / 997.0 * ((rng() & 1) ? 1e-5 : 1e5));
      s += buffer;
    }
    s += "]";
  }
  return s + "]";
}

std::string makeStrings() {
  std::mt19937_64 rng(3);
  const char *pieces[] = {"plain words and more plain words ", "\\\"quoted\\\" ", "tab\\there ",
                          "line\\nbreak ", "caf\xc3\xa9 ", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e ",
                          "\\u00e9\\u20ac ", "\xf0\x9f\x98\x80 ", "path\\/to\\\\file "};
  std::string s = "[";
  bool first = true;
  while (s.size() < kDocBytes) {
    s += first ? "\"" : ",\"";
    first = false;
    int n = 10 + int(rng() % 40);
    for (int k = 0; k < n; k++) s += pieces[rng() % 9];
    s += "\"";
  }
  return s + "]";
}

void setBytes(benchmark::State &state, size_t bytes) {
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

// One whole tree: created, parsed into, released. 1 when the parse succeeded.
bool treeOnce(Json *json, const std::string &text, int stringPool) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  Dictionary_SetPoolGrowth(d, 1000);
  Dictionary_SetStringPool(d, stringPool);
  Json_SetDictionary(json, d);
  bool ok = Json_ParseMemory(json, text.data(), int32_t(text.size())) != 0;
  Json_SetDictionary(json, nullptr);
  Dictionary_Release(&d);
  return ok;
}

// RapidJSON's whole tree: constructed, parsed into, destroyed.
bool domOnce(const std::string &text) {
  rapidjson::Document document;
  document.Parse(text.data(), text.size());
  benchmark::DoNotOptimize(document);
  return !document.HasParseError();
}

void BM_Tree(benchmark::State &state, int doc, int stringPool) {
  const std::string &text = gDocs[doc];
  Json *json = nullptr;
  Json_Create(&json);
  for (auto _ : state)
    if (!treeOnce(json, text, stringPool)) state.SkipWithError("parse");
  Json_Release(&json);
  setBytes(state, text.size());
}

constexpr int kRounds = 7;

struct TreeVsDom {
  double oursMs, domMs, ratio;  // medians over the rounds, wall clock
  double oursCpuMs, domCpuMs, cpuRatio;  // the same in the thread's CPU time
};
TreeVsDom gTreeVsDom[3];

double medianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double threadCpuMs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

void BM_TreeVsDom(benchmark::State &state, int doc) {
  const std::string &text = gDocs[doc];
  Json *json = nullptr;
  Json_Create(&json);
  std::vector<double> wall[2], cpu[2], ratios, cpuRatios;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; round++) {
      double ms[2] = {0, 0}, cpuMs[2] = {0, 0};
      for (int turn = 0; turn < 2; turn++) {
        int who = (round + turn) & 1;  // 0 ours, 1 RapidJSON; who starts alternates
        double cpuStart = threadCpuMs();
        auto start = std::chrono::steady_clock::now();
        bool ok = who == 0 ? treeOnce(json, text, 1) : domOnce(text);
        ms[who] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                            start).count();
        cpuMs[who] = threadCpuMs() - cpuStart;
        if (!ok) state.SkipWithError("parse");
      }
      for (int who = 0; who < 2; who++) {
        wall[who].push_back(ms[who]);
        cpu[who].push_back(cpuMs[who]);
      }
      ratios.push_back(ms[1] / ms[0]);
      cpuRatios.push_back(cpuMs[1] / cpuMs[0]);
    }
  }
  Json_Release(&json);
  if (!ratios.empty())
    gTreeVsDom[doc] = {medianOf(wall[0]), medianOf(wall[1]), medianOf(ratios),
                       medianOf(cpu[0]),  medianOf(cpu[1]),  medianOf(cpuRatios)};
}

void BM_NoTarget(benchmark::State &state, int doc) {
  const std::string &text = gDocs[doc];
  Json *json = nullptr;
  Json_Create(&json);
  for (auto _ : state)
    if (!Json_ParseMemory(json, text.data(), int32_t(text.size()))) state.SkipWithError("parse");
  Json_Release(&json);
  setBytes(state, text.size());
}

void BM_RapidDom(benchmark::State &state, int doc) {
  const std::string &text = gDocs[doc];
  for (auto _ : state)
    if (!domOnce(text)) state.SkipWithError("parse");
  setBytes(state, text.size());
}

void BM_RapidReader(benchmark::State &state, int doc) {
  const std::string &text = gDocs[doc];
  for (auto _ : state) {
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    rapidjson::StringStream stream(text.c_str());
    if (reader.Parse(stream, handler).IsError()) state.SkipWithError("parse");
  }
  setBytes(state, text.size());
}

void BM_Simdjson(benchmark::State &state, int doc) {
  const std::string &text = gDocs[doc];
  simdjson::dom::parser parser;
  simdjson::padded_string padded(text);
  for (auto _ : state) {
    simdjson::dom::element element;
    if (parser.parse(padded).get(element)) state.SkipWithError("parse");
    benchmark::DoNotOptimize(element);
  }
  setBytes(state, text.size());
}

void BM_Write(benchmark::State &state, int doc) {
  const std::string &text = gDocs[doc];
  Json *json = nullptr;
  Json_Create(&json);
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  Dictionary_SetPoolGrowth(d, 1000);
  Dictionary_SetStringPool(d, 1);
  Json_SetDictionary(json, d);
  Json_ParseMemory(json, text.data(), int32_t(text.size()));
  std::string out(text.size() * 2, '\0');
  int32_t length = 0;
  for (auto _ : state)
    if (!Json_WriteMemory(json, out.data(), int32_t(out.size()), &length)) state.SkipWithError("write");
  Json_Release(&json);
  Dictionary_Release(&d);
  setBytes(state, size_t(length));
}

// Tracked bytes a parsed tree holds, per input byte.
double footprint(int doc, int stringPool) {
  const std::string &text = gDocs[doc];
  int64_t count = 0, before = 0, after = 0;
  Json *json = nullptr;
  Json_Create(&json);
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  Dictionary_SetPoolGrowth(d, 1000);
  Dictionary_SetStringPool(d, stringPool);
  Json_SetDictionary(json, d);
  Mem_GetUsage(&count, &before);
  Json_ParseMemory(json, text.data(), int32_t(text.size()));
  Mem_GetUsage(&count, &after);
  Json_Release(&json);
  Dictionary_Release(&d);
  return double(after - before) / double(text.size());
}

void registerAll() {
  for (int doc = 0; doc < 3; doc++) {
    std::string n = kDocNames[doc];
    auto reg = [&](const std::string &name, auto fn) {
      benchmark::RegisterBenchmark((name + "/" + n).c_str(), fn)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(4)
          ->UseRealTime();
    };
    benchmark::RegisterBenchmark(("BM_TreeVsDom/" + n).c_str(),
                                 [doc](benchmark::State &s) { BM_TreeVsDom(s, doc); })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->UseRealTime();
    reg("BM_Tree", [doc](benchmark::State &s) { BM_Tree(s, doc, 1); });
    reg("BM_TreeNoPool", [doc](benchmark::State &s) { BM_Tree(s, doc, 0); });
    reg("BM_NoTarget", [doc](benchmark::State &s) { BM_NoTarget(s, doc); });
    reg("BM_RapidDom", [doc](benchmark::State &s) { BM_RapidDom(s, doc); });
    reg("BM_RapidReader", [doc](benchmark::State &s) { BM_RapidReader(s, doc); });
    reg("BM_Simdjson", [doc](benchmark::State &s) { BM_Simdjson(s, doc); });
    reg("BM_Write", [doc](benchmark::State &s) { BM_Write(s, doc); });
  }
}

}  // namespace

int main(int argc, char **argv) {
  Mem_Init(0);
  gDocs[0] = makeMetafile();
  gDocs[1] = makeNumbers();
  gDocs[2] = makeStrings();
  for (int doc = 0; doc < 3; doc++)
    printf("document %s: %.1f MB\n", kDocNames[doc], double(gDocs[doc].size()) / 1e6);
  registerAll();
  return Bench_Main(argc, argv, [](const BenchRatioReporter &r) {
    printf("\nTree parse against RapidJSON DOM: parse and release timed on both sides, the two\n"
           "run alternately, median of %d rounds. Ours keeps each number's text; RapidJSON\n"
           "converts every number while parsing. Goal: tree/dom at least 0.6x.\n",
           kRounds);
    printf("Wall clock, and the parsing thread's CPU time (steadier on a shared machine).\n");
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3)
      printf("Load average at the end: %.2f %.2f %.2f on %ld processors.\n", load[0], load[1],
             load[2], sysconf(_SC_NPROCESSORS_ONLN));
    printf("%-12s %8s %8s %9s %8s %8s %9s %12s %12s\n", "document", "ours ms", "dom ms",
           "tree/dom", "ours cpu", "dom cpu", "cpu ratio", "bytes(pool)", "bytes(nopool)");
    for (int doc = 0; doc < 3; doc++) {
      const TreeVsDom &t = gTreeVsDom[doc];
      if (t.ratio == 0) continue;
      printf("%-12s %8.1f %8.1f %8.2fx %8.1f %8.1f %8.2fx %11.2fx %12.2fx\n", kDocNames[doc],
             t.oursMs, t.domMs, t.ratio, t.oursCpuMs, t.domCpuMs, t.cpuRatio, footprint(doc, 1),
             footprint(doc, 0));
    }
    printf("\nSeparate runs (each benchmark on its own, same timing as above):\n");
    printf("%-12s %10s %10s %10s\n", "document", "tree/dom", "bare/dom", "bare/reader");
    for (int doc = 0; doc < 3; doc++) {
      std::string n = std::string("/") + kDocNames[doc];
      if (r.Find("BM_RapidDom" + n) == nullptr) continue;
      printf("%-12s", kDocNames[doc]);
      // A pair filtered out of the run prints as "-".
      for (auto [ours, peer] : {std::pair{"BM_Tree", "BM_RapidDom"},
                                {"BM_NoTarget", "BM_RapidDom"},
                                {"BM_NoTarget", "BM_RapidReader"}}) {
        double ratio = r.SpeedRatio(ours + n, peer + n);
        if (ratio > 0)
          printf(" %9.2fx", ratio);
        else
          printf(" %10s", "-");
      }
      printf("\n");
    }
  });
}
