// libFuzzer target for the URL functions, which take text from servers
// (redirect locations), configuration and page scripts.
//
// Input: the first byte picks a small output size (1 to 32) and where the
// text is split for Url_Join; the rest is the text, cut at its first NUL.
// Output buffers are heap blocks of exactly the size handed over, so a write
// past one is an AddressSanitizer finding. Broken properties abort:
//   - Url_Fix, Url_Join and Url_Normalize succeed only with a terminated
//     result inside the buffer, and a fixed or joined URL holds no space,
//     control byte or 0x7F (they would reach the request line);
//   - with a small buffer they either succeed or say so, never overrun;
//   - Url_Decode of Url_Encode gives the text back (any safe set);
//   - Url_MergeQueries, Url_ParseQuery and every macro of Url_MacroHandler
//     run on the text without a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/net/url.h"
#include "core/runtime/expand.h"

namespace {

[[noreturn]] void fuzzBroken(const char *property, const std::string &input, const char *output) {
  fprintf(stderr, "url_fuzz: %s\n  input:  [%s]\n  output: [%s]\n", property, input.c_str(), output);
  abort();
}

std::unique_ptr<char[]> fuzzBlock(size_t size) {
  std::unique_ptr<char[]> block(new char[size]);
  memset(block.get(), 'x', size);
  return block;
}

void fuzzCheckUrl(const char *property, int result, const char *out, size_t size, const std::string &input) {
  if (!result) return;
  size_t length = strnlen(out, size);
  if (length == size) fuzzBroken(property, input, "(not terminated)");
  for (size_t k = 0; k < length; k++) {
    unsigned char c = static_cast<unsigned char>(out[k]);
    if (c <= ' ' || c == 0x7F) fuzzBroken(property, input, out);
  }
}

void fuzzWhole(const std::string &text, const std::string &base, const std::string &reference, size_t small) {
  auto out = fuzzBlock(kUrlWorkBytes);
  fuzzCheckUrl("fixed URL", Url_Fix(text.c_str(), out.get(), kUrlWorkBytes), out.get(), kUrlWorkBytes, text);
  auto tight = fuzzBlock(small);
  fuzzCheckUrl("fixed URL, small", Url_Fix(text.c_str(), tight.get(), int(small)), tight.get(), small, text);
  int joined = Url_Join(base.c_str(), reference.c_str(), out.get(), kUrlWorkBytes);
  fuzzCheckUrl("joined URL", joined, out.get(), kUrlWorkBytes, base + " + " + reference);
  joined = Url_Join(base.c_str(), reference.c_str(), tight.get(), int(small));
  fuzzCheckUrl("joined URL, small", joined, tight.get(), small, base + " + " + reference);
  for (size_t size = 1; size <= small; size++) {
    auto block = fuzzBlock(size);
    if (Url_Normalize(text.c_str(), block.get(), int(size)) && strnlen(block.get(), size) == size)
      fuzzBroken("normalised URL not terminated", text, "");
  }
}

void fuzzCodec(const std::string &text, size_t small) {
  size_t size = text.size() * 3 + 1;
  auto encoded = fuzzBlock(size);
  const char *sets[] = {nullptr, kUrlQueryEncodeSafe, "%", ""};
  for (const char *safe : sets) {
    if (!Url_Encode(text.data(), int(text.size()), encoded.get(), int(size), safe))
      fuzzBroken("encoding did not fit three bytes a byte", text, encoded.get());
    auto decoded = fuzzBlock(text.size() + 1);
    int written = -1;
    if (!Url_DecodeN(encoded.get(), int(strlen(encoded.get())), decoded.get(), int(text.size() + 1), &written) ||
        std::string(decoded.get(), size_t(written)) != text) {
      if (!safe || !strchr(safe, '%')) fuzzBroken("decode of encode", text, encoded.get());
    }
  }
  auto tight = fuzzBlock(small);
  Url_Encode(text.data(), int(text.size()), tight.get(), int(small), nullptr);
  Url_Decode(text.c_str(), tight.get(), int(small));
}

int fuzzCount(void *context, const char *, const char *) {
  ++*static_cast<int *>(context);
  return 1;
}

void fuzzQueries(const std::string &base, const std::string &reference) {
  auto out = fuzzBlock(kUrlWorkBytes);
  Url_MergeQueries(base.c_str(), reference.c_str(), out.get(), kUrlWorkBytes);
  int count = 0;
  Url_ParseQuery(base.c_str(), &count, fuzzCount);
  char url[kUrlWorkBytes];
  snprintf(url, sizeof url, "%s", base.c_str());
  if (Url_MergeQueryInto(url, sizeof url, reference.c_str()))
    fuzzCheckUrl("merged URL", 1, url, sizeof url, base + " + " + reference);
}

void fuzzMacros(const std::string &text) {
  const char *names[] = {"UrlParse", "UrlDecode", "UrlEncode", "UrlQueryEncode", "UrlFix", "UrlJoin"};
  const char *items[] = {"protocol,", "username,", "password,", "domain,", "host,", "hostWithoutPort,",
                         "path,", "pathWithQuery,", "pathWithoutFilename,", "filename,",
                         "queryWithFragment,", "query,", "query=a,", "fragment,", "port,",
                         "urlWithoutQuery,", "urlWithoutFilename,", "urlWithoutFragment,", ""};
  std::string argument(text.substr(0, kStrExpandWorkBytes - 32));
  auto out = fuzzBlock(kStrExpandOutputBytes);
  for (const char *name : names) {
    for (const char *item : items) {
      std::string copy = std::string(strcmp(name, "UrlParse") == 0 ? item : "") + argument;
      if (!Url_MacroHandler(name, copy.data(), out.get(), kStrExpandOutputBytes))
        fuzzBroken("macro not handled", text, name);
      if (strnlen(out.get(), kStrExpandOutputBytes) == size_t(kStrExpandOutputBytes))
        fuzzBroken("macro output not terminated", text, name);
      if (strcmp(name, "UrlParse") != 0) break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 6000) return 0;
  size_t small = 1 + (data[0] & 31);
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text = text.substr(0, text.find('\0'));
  size_t split = text.empty() ? 0 : (size_t(data[0]) * 131) % (text.size() + 1);
  std::string base = text.substr(0, split), reference = text.substr(split);
  fuzzWhole(text, base, reference, small);
  fuzzCodec(text, small);
  fuzzQueries(base, reference);
  fuzzMacros(text);
  return 0;
}
