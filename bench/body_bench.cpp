// The body pipeline of a request: 1 GiB of text, gzip'd and sent chunked,
// through ProcessBody (chunked decoding, inflation, the discard sink) against
// zlib's inflate over the same gzip bytes without the chunk framing, in the
// same run. Also plain chunked text through ProcessBody.
//
// The text is 64 MiB compressed once as one gzip member; the answer repeats
// that member 16 times (1 GiB out), each repeat framed in 64 KiB chunks, and
// ProcessBody gets blocks of 64 KiB as a connection would hand them over.
// Goal: pipeline/zlib at least 0.9.
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/bench_ratio.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "core/platform/meter.h"
#include "core/runtime/memory.h"

namespace {

constexpr int kRepeats = 16;
constexpr size_t kTextBytes = size_t(64) << 20;
constexpr size_t kChunkBytes = 65536;
constexpr size_t kBlockBytes = 65536;

std::string gMember;     // one gzip member of the text
std::string gChunked;    // that member framed in chunks (no final chunk)
std::string gPlainText;  // 64 MiB of plain text framed in chunks

std::string makeText() {
  std::string text;
  text.reserve(kTextBytes);
  uint32_t x = 12345;
  static const char *kWords[] = {"keelson ", "delivers ", "content ", "pieces ", "to ",
                                 "installs ", "every ", "day\n", "and ", "night "};
  while (text.size() < kTextBytes) {
    x = x * 1103515245u + 12345u;
    text += kWords[(x >> 16) % 10];
  }
  text.resize(kTextBytes);
  return text;
}

std::string gzipOf(const std::string &text) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
  z.avail_in = uInt(text.size());
  z.next_out = reinterpret_cast<Bytef *>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string frame(const std::string &data) {
  std::string out;
  char line[32];
  for (size_t pos = 0; pos < data.size(); pos += kChunkBytes) {
    size_t n = std::min(kChunkBytes, data.size() - pos);
    snprintf(line, sizeof line, "%zx\r\n", n);
    out += line;
    out.append(data, pos, n);
    out += "\r\n";
  }
  return out;
}

// One answer through a fresh request: the body repeats times, then the final
// chunk. Returns the decoded bytes.
uint64_t runPipeline(const std::string &chunked, int repeats, bool gzip) {
  WebGetRequest *r = nullptr;
  WebGetRequest_Create(&r);
  WebGetRequest_SetDiscardOutput(r);
  std::string head = std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n") +
                     (gzip ? "Content-Encoding: gzip\r\n" : "") + "\r\n";
  WebGetRequest_ParseResponseHeader(r, 0, head.data(), int(head.size()), nullptr);
  WebGetRequest_BeginBody(r, 1);
  std::string pending;
  for (int i = 0; i <= repeats; i++) {
    const std::string &part = i < repeats ? chunked : std::string("0\r\n\r\n");
    for (size_t pos = 0; pos < part.size(); pos += kBlockBytes) {
      pending.append(part, pos, std::min(kBlockBytes, part.size() - pos));
      int64_t consumed = 0;
      WebGetRequest_ProcessBody(r, pending.data(), int64_t(pending.size()), &consumed);
      pending.erase(0, size_t(consumed));
    }
  }
  WebGetRequest_EndBody(r, 1);
  uint64_t received = WebGetRequest_GetBytesReceived(r);
  void *object = r;
  Class_Release(&object);
  return received;
}

void BM_PipelineChunkedGzip(benchmark::State &state) {
  for (auto _ : state) {
    uint64_t n = runPipeline(gChunked, kRepeats, true);
    if (n != uint64_t(kTextBytes) * kRepeats) state.SkipWithError("wrong length");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTextBytes) * kRepeats);
}

void BM_ZlibInflate(benchmark::State &state) {
  std::string out(1 << 20, '\0');
  for (auto _ : state) {
    z_stream z{};
    inflateInit2(&z, 47);
    uint64_t total = 0;
    for (int i = 0; i < kRepeats; i++) {
      inflateReset(&z);
      for (size_t pos = 0; pos < gMember.size(); pos += kBlockBytes) {
        z.next_in = reinterpret_cast<Bytef *>(gMember.data() + pos);
        z.avail_in = uInt(std::min(kBlockBytes, gMember.size() - pos));
        do {
          z.next_out = reinterpret_cast<Bytef *>(out.data());
          z.avail_out = uInt(out.size());
          inflate(&z, Z_SYNC_FLUSH);
          total += out.size() - z.avail_out;
          benchmark::DoNotOptimize(out.data());
        } while (z.avail_out == 0);
      }
    }
    inflateEnd(&z);
    if (total != uint64_t(kTextBytes) * kRepeats) state.SkipWithError("wrong length");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTextBytes) * kRepeats);
}

void BM_PipelineChunkedPlain(benchmark::State &state) {
  for (auto _ : state) runPipeline(gPlainText, 1, false);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTextBytes));
}

}  // namespace

BENCHMARK(BM_PipelineChunkedGzip)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PipelineChunkedPlain)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char **argv) {
  Mem_Init(0);
  Meter_Init();
  AsyncFile_Init();
  std::string text = makeText();
  gMember = gzipOf(text);
  gChunked = frame(gMember);
  gPlainText = frame(text);
  printf("text %.0f MiB x %d, gzip member %.1f MiB\n", double(kTextBytes) / 1048576, kRepeats,
         double(gMember.size()) / 1048576);
  int result = Bench_Main(argc, argv, [](const BenchRatioReporter &r) {
    printf("\nChunked gzip body through ProcessBody to the discard sink against zlib's inflate\n"
           "over the same gzip bytes. Goal: pipeline/zlib at least 0.9.\n");
    printf("pipeline/zlib: %.2f\n", r.SpeedRatio("BM_PipelineChunkedGzip", "BM_ZlibInflate"));
    if (const BenchRatioReporter::Result *plain = r.Find("BM_PipelineChunkedPlain"))
      printf("plain chunked: %.0f MB/s\n", plain->bytesPerSecond / 1e6);
  });
  AsyncFile_Shutdown();
  Meter_Shutdown();
  return result;
}
