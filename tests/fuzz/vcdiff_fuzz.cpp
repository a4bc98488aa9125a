// libFuzzer target for the VCDIFF decoder.
//
// Input: two bytes (little-endian) giving the source length, the source, and
// the delta after it. The window header is read and the window run into a
// 64 KiB output.
//
// Checked: no crash, leak, hang or read outside the input; the output length
// stays within the capacity and Run never writes past it (ASan).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/vcdiffdecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || size > 1 << 20) return 0;
  size_t sourceLength = size_t(data[0]) | size_t(data[1]) << 8;
  if (sourceLength > size - 2) sourceLength = size - 2;
  // Exact-size copies, so that a read past either shows.
  std::vector<uint8_t> source(data + 2, data + 2 + sourceLength);
  std::vector<uint8_t> delta(data + 2 + sourceLength, data + size);
  static VCDiffDecoder *decoder = [] {
    VCDiffDecoder *d = nullptr;
    VCDiffDecoder_Create(&d);
    return d;
  }();
  static std::vector<uint8_t> output(65536);
  VCDiffDecoder_SetInput(decoder, delta.data(), int64_t(delta.size()));
  VCDiffDecoder_SetSource(decoder, source.data(), int64_t(source.size()));
  if (VCDiffDecoder_ReadWindowHeader(decoder)) {
    int64_t length = 0;
    VCDiffDecoder_Run(decoder, output.data(), int64_t(output.size()), &length);
    if (length < 0 || length > int64_t(output.size())) abort();
  }
  VCDiffDecoder_SetInput(decoder, nullptr, 0);
  return 0;
}
