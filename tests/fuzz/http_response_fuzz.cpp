// libFuzzer target for the response side of a request: the header parse and
// the body pipeline (chunked decoding, gzip inflation, the size limit), fed
// an answer read from the network in pieces.
//
// Input: byte 0 picks the block sizes, byte 1 the size limit (0: none, else
// n * 97 bytes), the rest is the answer. The header is parsed; the body goes
// through ProcessBody in blocks, unconsumed bytes kept for the next call as
// a connection keeps them, into the memory sink. Broken properties abort:
//   - ProcessBody never reports more consumed than it was given;
//   - with a size limit, no more than the limit reaches the sink;
//   - the memory output holds what the request says it received.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/thread.h"

namespace {

[[noreturn]] void fuzzBroken(const char *property) {
  fprintf(stderr, "http_response_fuzz: %s\n", property);
  abort();
}

void fuzzInit() {
  static bool done = false;
  if (done) return;
  done = true;
  Thread_Init();
  Meter_Init();
  IOWorker_Init();
  AsyncFile_Init();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  fuzzInit();
  uint32_t pattern = data[0] * 2654435761u + 1;
  int64_t limit = int64_t(data[1]) * 97;
  const char *answer = reinterpret_cast<const char *>(data + 2);
  size_t length = size - 2;
  WebGetRequest *r = nullptr;
  WebGetRequest_Create(&r);
  WebGetRequest_SetSizeLimit(r, limit);
  int headerLength = 0;
  if (WebGetRequest_ParseResponseHeader(r, 0, answer, int(length), &headerLength) &&
      WebGetRequest_BeginBody(r, 1)) {
    std::string pending;
    size_t pos = size_t(headerLength);
    bool ok = true;
    while (ok && pos < length) {
      pattern = pattern * 1103515245u + 12345u;
      size_t n = 1 + (pattern >> 8) % 4096;
      if (n > length - pos) n = length - pos;
      pending.append(answer + pos, n);
      pos += n;
      int64_t consumed = 0;
      ok = WebGetRequest_ProcessBody(r, pending.data(), int64_t(pending.size()), &consumed) == 1;
      if (consumed < 0 || uint64_t(consumed) > pending.size()) fuzzBroken("consumed more than given");
      pending.erase(0, size_t(consumed));
    }
    if (ok) WebGetRequest_EndBody(r, 1);
    if (limit > 0 && WebGetRequest_GetBytesReceived(r) > uint64_t(limit))
      fuzzBroken("size limit passed");
    const uint8_t *out = nullptr;
    int64_t outLength = 0;
    WebGetRequest_GetMemoryOutput(r, &out, &outLength);
    int32_t code = 0, codeEx = 0;
    WebGetRequest_GetError(r, &code, &codeEx);
    if (code == 0 && WebGetRequest_GetStatusCode(r) >= 200 && WebGetRequest_GetStatusCode(r) <= 299 &&
        uint64_t(outLength) != WebGetRequest_GetBytesReceived(r))
      fuzzBroken("memory output differs from bytes received");
  }
  void *object = r;
  Class_Release(&object);
  return 0;
}
