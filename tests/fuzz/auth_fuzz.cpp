// libFuzzer target for the challenge side of HTTP authentication: the
// "WWW-Authenticate"/"Proxy-Authenticate" parse with every scheme, Digest
// parameters with quoted pairs, and NTLM challenge messages (raw and Base64)
// with their log dump.
//
// Input: byte 0 picks the mode (bit 0 proxy, bit 1 POST with the input as
// body, bit 2 the rest is a raw NTLM challenge message sent after a
// negotiate round), the rest is the header block or the message.
// Credentials are set before each parse, so the broker is never asked.
// Broken properties abort:
//   - a value is always terminated within its buffer;
//   - a challenge message the reader takes gets an authenticate message,
//     handed out exactly once.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/net/ntlm.h"
#include "core/net/webget.h"
#include "core/net/webgetauth.h"
#include "core/runtime/base64.h"
#include "core/runtime/class.h"

namespace {

[[noreturn]] void fuzzBroken(const char *property) {
  fprintf(stderr, "auth_fuzz: %s\n", property);
  abort();
}

void fuzzInit() {
  static bool done = false;
  if (done) return;
  done = true;
  Class_Init();
}

size_t gDumped = 0;
void fuzzSink(void *, const char *line) { gDumped += strlen(line); }

void fuzzTakeValues(WebGetAuth *auth) {
  char value[kWebGetAuthValueBytes];
  for (int i = 0; i < 3; i++) {
    memset(value, 'x', sizeof value);
    if (WebGetAuth_GetValue(auth, value, sizeof value) &&
        memchr(value, '\0', sizeof value) == nullptr)
      fuzzBroken("value not terminated");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 3 * kWebGetHeaderBlockBytes) return 0;
  fuzzInit();
  uint8_t mode = data[0];
  std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
  WebGetAuth *auth = nullptr;
  WebGetAuth_Create(&auth);
  WebGetAuth_SetHost(auth, "fuzz.example:80");
  WebGetAuth_SetProxy(auth, mode & 1);
  WebGetAuth_SetLogFlag(auth, 1);
  WebGetAuth_SetUri(auth, "/a?b");
  WebGetAuth_SetMethod(auth, (mode & 2) ? kWebGetMethodPost : kWebGetMethodGet);
  if (mode & 2) WebGetAuth_SetBody(auth, rest.data(), int64_t(rest.size()));
  const char *header = (mode & 1) ? "Proxy-Authenticate: " : "WWW-Authenticate: ";
  int32_t code = 0, codeEx = 0;
  if (mode & 4) {
    NtlmState *state = nullptr;
    NtlmState_Create(&state);
    int valid = Ntlm_ReadChallenge(state, rest.data(), int32_t(rest.size()));
    if (valid) Ntlm_DumpChallenge(state, nullptr, fuzzSink);
    NtlmState_Release(&state);
    WebGetAuth_SetCredentials(auth, "dom\\user", "pässword");
    std::string first = std::string(header) + "NTLM\r\n\r\n";
    WebGetAuth_ParseChallenge(auth, first.c_str(), &code, &codeEx);
    fuzzTakeValues(auth);
    std::string encoded(size_t(4 * (rest.size() / 3 + 2) + 1), '\0');
    int64_t written = 0;
    Base64_Encode(rest.data(), int64_t(rest.size()), encoded.data(), int64_t(encoded.size()),
                  &written);
    std::string second = std::string(header) + "NTLM " + encoded.c_str() + "\r\n\r\n";
    // An empty message is a first round again, which asks for credentials.
    WebGetAuth_SetCredentials(auth, "dom\\user", "pässword");
    int parsed = WebGetAuth_ParseChallenge(auth, second.c_str(), &code, &codeEx);
    if (valid) {
      char value[kWebGetAuthValueBytes];
      if (!parsed || WebGetAuth_GetValue(auth, value, sizeof value) != 1)
        fuzzBroken("no authenticate message for a valid challenge");
      if (WebGetAuth_GetValue(auth, value, sizeof value) != 0) fuzzBroken("handed out twice");
    }
  } else {
    std::string block = "HTTP/1.1 401 x\r\n" + rest + "\r\n\r\n";
    for (int round = 0; round < 2; round++) {
      WebGetAuth_SetCredentials(auth, "d/us\"er", "pa\\ss");
      WebGetAuth_ParseChallenge(auth, block.c_str(), &code, &codeEx);
      fuzzTakeValues(auth);
    }
  }
  WebGetAuth_Release(&auth);
  return 0;
}
