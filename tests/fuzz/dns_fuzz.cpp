// libFuzzer target for the DNS message codec, which reads datagrams from the
// network.
//
// Input: one datagram. It is decoded; every record of a decoded message is
// formatted; the message is encoded into a heap block of exactly 1,024 bytes
// and, when that succeeds, the encoding is decoded again. Broken properties
// abort:
//   - decoding our own encoding never fails, and gives the same number of
//     questions and records;
//   - the formatted text is terminated within its 320 bytes.
// Every name in the datagram is also decoded on its own at each offset.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/net/dns.h"

namespace {

[[noreturn]] void fuzzBroken(const char *property) {
  fprintf(stderr, "dns_fuzz: %s\n", property);
  abort();
}

void fuzzFormat(const DnsList<DnsRecord> &list) {
  std::unique_ptr<char[]> out(new char[kDnsFormatBytes]);
  for (const DnsRecord *r = list.head; r; r = r->next) {
    Dns_FormatRecord(out.get(), kDnsFormatBytes, r->type, r->data, r->dataLength);
    if (strnlen(out.get(), kDnsFormatBytes) == size_t(kDnsFormatBytes)) fuzzBroken("format not terminated");
  }
}

int fuzzTotal(const DnsMessage *m) {
  return m->questions.count + m->answers.count + m->authorities.count + m->additionals.count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;
  std::unique_ptr<uint8_t[]> datagram(new uint8_t[size ? size : 1]);
  memcpy(datagram.get(), data, size);
  DnsMessage *message = nullptr;
  DnsMessage_Create(&message);
  if (DnsMessage_Decode(message, datagram.get(), int(size))) {
    fuzzFormat(message->answers);
    fuzzFormat(message->authorities);
    fuzzFormat(message->additionals);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kDnsMessageBytes]);
    int length = 0;
    if (DnsMessage_Encode(message, buffer.get(), kDnsMessageBytes, &length)) {
      DnsMessage *again = nullptr;
      DnsMessage_Create(&again);
      if (!DnsMessage_Decode(again, buffer.get(), length)) fuzzBroken("our encoding does not decode");
      if (fuzzTotal(again) != fuzzTotal(message)) fuzzBroken("items lost in the round trip");
      DnsMessage_Release(&again);
    }
  }
  DnsMessage_Release(&message);
  std::unique_ptr<char[]> name(new char[kDnsNameBytes]);
  for (size_t at = 0; at < size && at < 64; at++) {
    int consumed = 0;
    Dns_DecodeName(name.get(), kDnsNameBytes, datagram.get(), int(size), int(at), &consumed);
  }
  return 0;
}
