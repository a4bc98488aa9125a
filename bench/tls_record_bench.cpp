// TLS record benchmarks: taking in 16 KiB records (the transport's input,
// processing, taking the decrypted bytes from the inbound side) beside the
// bare cipher on the same bytes (ours, through the CryptSymmetric record)
// and libcrypto's EVP cipher, in the same run.
//
//   Record/<suite>  one record under TLS 1.2 the way a connection takes it:
//                   Tls_ReceiveRecordInput (the record copied into the room
//                   it offers, as a socket's receive fills it, and processed
//                   there), then the deciphered bytes taken where they lie in the
//                   inbound queue (the connection's reader hands them on in
//                   place and discards them)
//   Bare/<suite>    our cipher alone: GCM decrypt with AAD and tag check, or
//                   AES-CBC decrypt of the record body
//   Evp/<suite>     libcrypto doing a record's work: EVP_aes_*_gcm, or
//                   EVP_aes_*_cbc decryption plus the HMAC of the record's
//                   sequence, header and data (the CBC suites' MAC check)
// After the runs a table gives record/bare and record/EVP throughput.
#include <benchmark/benchmark.h>
#include <fmt/core.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_ratio.h"
#include "core/runtime/dupstream.h"
#include "core/runtime/memstream.h"
#include "core/security/aes.h"
#include "core/security/cryptsymmetric.h"
#include "core/security/tls1_test_util.h"

// libcrypto's side (its X509 type clashes with ours): bench/tls_record_bench_peer.cc.
void TlsRecordBench_Evp(benchmark::State &state, int keySize, bool gcm, const char *macDigest,
                        int recordBytes);

namespace {

constexpr int32_t kRecordBytes = 16384;
constexpr int kRecords = 4;  // cycled, so that the bytes stay in cache as the bare run's do

struct Suite {
  const char *name;
  uint16_t id;
  const char *macDigest;  // the CBC suites' HMAC, for the peer's side
};
const Suite kSuites[] = {
    {"AES128-GCM", 0x009C, nullptr},
    {"AES256-GCM", 0x009D, nullptr},
    {"AES128-CBC-SHA", 0x002F, "SHA1"},
    {"AES256-CBC-SHA384", 0xC028, "SHA384"},
};

// kRecords protected records of 16 KiB, from sequence 0.
std::vector<std::vector<uint8_t>> makeRecords(TLS1 *s) {
  std::vector<uint8_t> plain(kRecordBytes);
  for (size_t i = 0; i < plain.size(); i++) plain[i] = uint8_t(i * 131 + (i >> 7));
  std::vector<std::vector<uint8_t>> records;
  for (int i = 0; i < kRecords; i++) {
    Tls_WriteRecord(s, 23, plain.data(), kRecordBytes);
    records.push_back(TlsTest_TakeOutbound(s));
  }
  return records;
}

// The transport's side of Tls_ReceiveRecordInput: one record into the room.
int32_t receiveRecord(void *receiver, uint8_t *room, int32_t size) {
  const auto *r = static_cast<const std::vector<uint8_t> *>(receiver);
  int32_t n = int32_t(r->size()) < size ? int32_t(r->size()) : size;
  memcpy(room, r->data(), size_t(n));
  return n;
}

void benchRecord(benchmark::State &state, uint16_t suite) {
  TLS1 *s = TlsTest_LoopbackSession(suite, kTlsVersion12);
  std::vector<std::vector<uint8_t>> records = makeRecords(s);
  DupStream *transport = Tls_GetTransportStream(s);
  MemoryStream *inbound = nullptr;
  DupStream_GetInboundStream(transport, &inbound);
  size_t next = 0;
  for (auto _ : state) {
    if (next == records.size()) {
      next = 0;
      s->ReadSequence = 0;
    }
    std::vector<uint8_t> &r = records[next++];
    Tls_ReceiveRecordInput(s, int32_t(r.size()), receiveRecord, &r);
    DupStream_LockInbound(transport);
    int32_t length = MemoryStream_GetLength(inbound);
    uint8_t *data = nullptr;
    if (length == kRecordBytes && MemoryStream_GetBuffer(inbound, 0, &data)) {
      benchmark::DoNotOptimize(data);
      MemoryStream_ReleaseBuffer(inbound, &data);
    }
    MemoryStream_Discard(inbound, length);
    DupStream_UnlockInbound(transport);
    if (length != kRecordBytes) {
      state.SkipWithError("record refused");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kRecordBytes);
  Tls_Delete(&s);
}

void benchBare(benchmark::State &state, uint16_t suite) {
  const TlsSuite *row = Tls_FindSuite(suite);
  std::vector<uint8_t> key(size_t(row->KeySize), 0x11), in(kRecordBytes + 64, 0x5a),
      out(kRecordBytes + 64);
  CryptSymmetric *crypt = nullptr;
  CryptSymmetric_Create(&crypt);
  CryptSymmetric_SetInterface(crypt, row->CryptInterface);
  CryptSymmetric_SetKey(crypt, key.data(), row->KeySize);
  const uint8_t aad[13] = {0, 0, 0, 0, 0, 0, 0, 1, 23, 3, 3, 0x40, 0};
  uint8_t iv[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, tag[16], expected[16] = {};
  int accepted = 0;
  uint32_t sequence = 0;
  const int gcm = Tls_IsGcmSuite(row);
  const int32_t length = gcm ? kRecordBytes : kRecordBytes + 32;  // data, MAC and padding
  for (auto _ : state) {
    if (gcm) {
      sequence++;
      memcpy(iv + 8, &sequence, 4);
      CryptSymmetric_SetAAD(crypt, aad);
      CryptSymmetric_DecryptIV(crypt, iv, 12, in.data(), out.data(), length);
      CryptSymmetric_GetAuthTag(crypt, tag, 16);
      accepted += Crypt_ConstantTimeEqual(tag, expected, 16);
    } else {
      uint8_t chain[16] = {};
      CryptSymmetric_DecryptIV(crypt, chain, 16, in.data(), out.data(), length);
    }
    benchmark::DoNotOptimize(out.data());
  }
  benchmark::DoNotOptimize(accepted);
  state.SetBytesProcessed(int64_t(state.iterations()) * kRecordBytes);
  CryptSymmetric_Release(&crypt);
}

void benchEvp(benchmark::State &state, const Suite *suite) {
  const TlsSuite *row = Tls_FindSuite(suite->id);
  TlsRecordBench_Evp(state, row->KeySize, Tls_IsGcmSuite(row), suite->macDigest, kRecordBytes);
}

}  // namespace

int main(int argc, char **argv) {
  for (const Suite &suite : kSuites) {
    benchmark::RegisterBenchmark((std::string("Record/") + suite.name).c_str(), benchRecord, suite.id);
    benchmark::RegisterBenchmark((std::string("Bare/") + suite.name).c_str(), benchBare, suite.id);
    benchmark::RegisterBenchmark((std::string("Evp/") + suite.name).c_str(), benchEvp, &suite);
  }
  return Bench_Main(argc, argv, [](const BenchRatioReporter &results) {
    fmt::print("\n{:<20} {:>12} {:>12} {:>12} {:>10} {:>10}\n", "suite", "record", "bare", "EVP",
               "rec/bare", "rec/EVP");
    for (const Suite &suite : kSuites) {
      auto *r = results.Find(std::string("Record/") + suite.name);
      auto *b = results.Find(std::string("Bare/") + suite.name);
      auto *e = results.Find(std::string("Evp/") + suite.name);
      if (!r || !b || !e || b->bytesPerSecond <= 0 || e->bytesPerSecond <= 0) continue;
      fmt::print("{:<20} {:>7.0f} MB/s {:>7.0f} MB/s {:>7.0f} MB/s {:>9.2f}x {:>9.2f}x\n", suite.name,
                 r->bytesPerSecond / 1e6, b->bytesPerSecond / 1e6, e->bytesPerSecond / 1e6,
                 r->bytesPerSecond / b->bytesPerSecond, r->bytesPerSecond / e->bytesPerSecond);
    }
  });
}
