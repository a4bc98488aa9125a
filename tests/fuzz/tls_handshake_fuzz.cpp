// libFuzzer target for the handshake: a session past its ClientHello (its
// client random fixed, the security switch off so that any certificate
// passes the walk) takes the input as server records, in the splits the
// first bytes choose, under TLS 1.2 or with TLS 1.0 as the maximum. A crash,
// a sanitizer report, a leak or a fatal stop of the program is a finding;
// tests/fuzz/run.sh runs it.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/security/auth.h"
#include "core/security/tls1_test_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  static const bool once = [] {
    Authenticate_SetEnabledForTest(0);
    return true;
  }();
  (void)once;
  const size_t splitCount = data[0] % 8;
  if (size < 2 + splitCount) return 0;
  Tls_ResetSettingsForTest();
  Tls_ApplySettings(nullptr, nullptr, data[1] & 1 ? "1.0" : "1.2");
  const uint8_t *splits = data + 2;
  const uint8_t *body = data + 2 + splitCount;
  const size_t bodySize = size - 2 - splitCount;
  TLS1 *s = nullptr;
  Tls_Create(&s);
  Tls_StartHandshake(s, "localhost", nullptr);
  memset(s->Handshake->ClientRandom, 0x11, kTlsRandomBytes);
  TlsTest_TakeOutbound(s);
  size_t at = 0, next = 0;
  while (at < bodySize) {
    size_t piece = splitCount ? size_t(splits[next++ % splitCount]) * 8 + 1 : bodySize;
    if (piece > bodySize - at) piece = bodySize - at;
    int32_t written = 0;
    Tls_WriteRecordInput(s, body + at, int32_t(piece), &written);
    Tls_ProcessInput(s);
    TlsTest_TakeOutbound(s);
    TlsTest_TakeInbound(s);
    at += piece;
  }
  Tls_Delete(&s);
  return 0;
}
