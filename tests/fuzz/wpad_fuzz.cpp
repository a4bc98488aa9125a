// libFuzzer target for what the proxy resolver takes from outside: WPAD
// replies from the network and proxy and bypass texts from the settings.
//
// Input: a mode byte, then the rest.
//   even: one DNS datagram, checked against a query for
//         "wpad.pc.example.co.uk" (type 255, class 255) whose id is the
//         datagram's own, so that the answers are reached; every answer of
//         an accepted reply goes through the answer-to-URL step.
//   odd:  "<url>\n<proxy list>\n<bypass list>", given to GetProxy with the
//         list and the bypass list as the system settings.
// Broken properties abort:
//   - an accepted reply has RCODE 0 and the query's question;
//   - a URL from an answer holds no '{' or '}' and ends within its buffer;
//   - GetProxy answers 0 or 1, never pending once detection is done, and its
//     output ends within its 512 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/net/dns.h"
#include "core/net/proxyresolver.h"
#include "core/platform/thread.h"
#include "core/runtime/str.h"

namespace {

constexpr const char *kName = "wpad.pc.example.co.uk";

[[noreturn]] void fuzzBroken(const char *property) {
  fprintf(stderr, "wpad_fuzz: %s\n", property);
  abort();
}

// The settings' texts of the current input (the resolver reads them on this thread).
std::string gProxyShared, gBypassShared;

int fuzzOff(int *on) {
  *on = 0;
  return 1;
}
int fuzzNoText(char *out, int size) {
  if (size > 0) out[0] = '\0';
  return 0;
}
int fuzzNoAdapter(int, NetworkAdapter *) { return 0; }
int fuzzNoDhcp(const char *, char *out, int size) { return fuzzNoText(out, size); }
int fuzzNoServers(uint32_t *first, uint32_t *second) {
  *first = *second = 0;
  return 0;
}
int fuzzCopy(const std::string &text, char *out, int size) {
  if (size < 1) return 0;
  Str_Copy(out, text.c_str(), size);
  return out[0] != '\0';
}
int fuzzProxy(const char *, char *out, int size) { return fuzzCopy(gProxyShared, out, size); }
int fuzzBypass(char *out, int size) { return fuzzCopy(gBypassShared, out, size); }

const ProxyResolverPlatform kFuzzPlatform = {fuzzOff,       fuzzNoText, fuzzNoAdapter, fuzzNoDhcp,
                                             fuzzNoServers, fuzzProxy,  fuzzBypass,
                                             nullptr};

void fuzzReply(const uint8_t *data, size_t size) {
  std::unique_ptr<uint8_t[]> datagram(new uint8_t[size ? size : 1]);
  memcpy(datagram.get(), data, size);
  DnsMessage *query = nullptr, *reply = nullptr;
  DnsMessage_Create(&query);
  DnsMessage_Create(&reply);
  DnsMessage_AddQuestion(query, kName, 255, 255);
  if (size >= 2) query->head.id = uint16_t(data[0] << 8 | data[1]);
  if (ProxyResolver_MatchDnsReply(query, reply, datagram.get(), int(size)) ==
      ProxyDnsReply::Answer) {
    if (reply->head.rcode != 0 || reply->questions.count != 1 ||
        strcasecmp(reply->questions.head->name, kName) != 0)
      fuzzBroken("a reply to another question accepted");
    std::unique_ptr<char[]> url(new char[kDnsNameBytes]);
    for (const DnsRecord *r = reply->answers.head; r != nullptr; r = r->next) {
      if (!ProxyResolver_AnswerUrl(r, kName, url.get(), kDnsNameBytes)) continue;
      if (strnlen(url.get(), kDnsNameBytes) == size_t(kDnsNameBytes)) fuzzBroken("URL not terminated");
      if (strpbrk(url.get(), "{}") != nullptr) fuzzBroken("a brace left in a URL");
    }
  }
  DnsMessage_Release(&query);
  DnsMessage_Release(&reply);
}

void fuzzGetProxy(const uint8_t *data, size_t size) {
  static const bool started = [] {
    Thread_Init();
    ProxyResolver_SetPlatformForTest(&kFuzzPlatform);
    return ProxyResolver_Init() == 1;
  }();
  if (!started) fuzzBroken("the resolver does not start");
  std::string text(reinterpret_cast<const char *>(data), size);
  size_t first = text.find('\n');
  size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
  std::string url = text.substr(0, first);
  gProxyShared = first == std::string::npos ? "" : text.substr(first + 1, second - first - 1);
  gBypassShared = second == std::string::npos ? "" : text.substr(second + 1);
  // Texts stop at their first NUL, as the settings' would.
  url = url.c_str();
  gProxyShared = gProxyShared.c_str();
  gBypassShared = gBypassShared.c_str();
  std::unique_ptr<char[]> out(new char[kProxyResolverListBytes]);
  int pending = 1, result = 0;
  for (int round = 0; round < 100000 && pending; round++) {
    result = ProxyResolver_GetProxy(url.c_str(), out.get(), kProxyResolverListBytes, 1, &pending);
    if (pending) Thread_Sleep(1);
  }
  if (pending) fuzzBroken("detection never ends");
  if (result != 0 && result != 1) fuzzBroken("GetProxy answered neither 0 nor 1");
  if (strnlen(out.get(), kProxyResolverListBytes) == size_t(kProxyResolverListBytes))
    fuzzBroken("list not terminated");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  if (data[0] % 2 == 0) fuzzReply(data + 1, size - 1);
  else fuzzGetProxy(data + 1, size - 1);
  return 0;
}
