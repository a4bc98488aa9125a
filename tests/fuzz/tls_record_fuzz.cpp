// libFuzzer target for the TLS record layer: arbitrary bytes in arbitrary
// splits to a session without keys and to sessions keyed for a CBC suite
// (TLS 1.0, chained IVs) and a GCM suite, and records a session wrote from
// the input, one byte flipped or not, fed back in splits. A crash, a
// sanitizer report, a leak or a fatal stop of the program is a finding;
// tests/fuzz/run.sh runs it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/security/tls1_test_util.h"

namespace {

// Feeds bytes in pieces whose sizes the split bytes choose.
void feedInSplits(TLS1 *s, const uint8_t *data, size_t size, const uint8_t *splits,
                  size_t splitCount) {
  size_t at = 0, next = 0;
  while (at < size) {
    size_t piece = splitCount ? size_t(splits[next++ % splitCount]) * 4 + 1 : size;
    if (piece > size - at) piece = size - at;
    int32_t written = 0;
    Tls_WriteRecordInput(s, data + at, int32_t(piece), &written);
    Tls_ProcessInput(s);
    int32_t space = 0;
    Tls_GetReceiveSpace(s, &space);
    TlsTest_TakeInbound(s);
    at += piece;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const uint8_t mode = data[0] % 4;
  const size_t splitCount = data[1] % 8;
  if (size < 2 + splitCount) return 0;
  const uint8_t *splits = data + 2;
  const uint8_t *body = data + 2 + splitCount;
  const size_t bodySize = size - 2 - splitCount;
  TLS1 *s = nullptr;
  if (mode == 0) {
    Tls_Create(&s);
    s->HandshakeState = data[1] & 0x80 ? kTlsStateFinished : 2;
    s->CipherInfo = Tls_FindSuite(0xC02F);
    feedInSplits(s, body, bodySize, splits, splitCount);
  } else if (mode == 1 || mode == 2) {
    s = TlsTest_LoopbackSession(mode == 1 ? 0x002F : 0xC02F, mode == 1 ? kTlsVersion10 : kTlsVersion12);
    feedInSplits(s, body, bodySize, splits, splitCount);
  } else {
    // Records of the input's bytes, written and read back by one session.
    const uint16_t suites[] = {0x002F, 0xC028, 0x009C, 0x0005};
    s = TlsTest_LoopbackSession(suites[data[1] & 3], data[1] & 0x40 ? kTlsVersion12 : kTlsVersion10);
    int32_t written = 0;
    Tls_Write(s, body, int32_t(bodySize > 40000 ? 40000 : bodySize), &written);
    std::vector<uint8_t> records = TlsTest_TakeOutbound(s);
    if (!records.empty() && bodySize > 0 && (body[0] & 1))
      records[body[0] % records.size()] ^= uint8_t(1u << (body[bodySize - 1] & 7));
    feedInSplits(s, records.data(), records.size(), splits, splitCount);
  }
  Tls_Delete(&s);
  return 0;
}
