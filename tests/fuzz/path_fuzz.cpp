// libFuzzer target for the path text that reaches the program from outside
// (configured paths, URLs): Path_Normalize under every flag combination and
// Path_FromUrl with its way back through Path_ToUrl. Buffers are heap blocks
// of exactly the size handed over, so a write past it is an AddressSanitizer
// finding. Broken properties abort. "tests/fuzz/run.sh path_fuzz 600" runs it
// from the seeds in tests/fuzz/path_fuzz.seeds/; the first byte of an input
// picks the normaliser's flags, the rest is the text.
//
// Properties of Path_Normalize(text, size, flags):
//   - with room for one more byte than the input it succeeds, and the result
//     is never longer than the input plus one;
//   - with less room it either succeeds with a result that fits or fails
//     with an empty text;
//   - normalising the result again changes nothing;
//   - an absolute input keeps its root ("/", "X:/", "\\\\", "\\\\.\\");
//   - no "." or ".." component is left behind an absolute result's root.
// Properties of Path_FromUrl: the path fits the buffer and holds no NUL
// byte; Path_ToUrl of it converts back to the same path (separators
// compared as equal).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/platform/path.h"

namespace {

[[noreturn]] void fuzzBroken(const char *property, const std::string &input,
                             const std::string &output) {
  fprintf(stderr, "path_fuzz: %s\n  input:  [%s]\n  output: [%s]\n", property, input.c_str(),
          output.c_str());
  abort();
}

// A block of exactly size bytes holding text (cut to fit), for ASan.
std::unique_ptr<char[]> fuzzBlock(const std::string &text, size_t size) {
  std::unique_ptr<char[]> block(new char[size]);
  size_t copied = std::min(text.size(), size - 1);
  memcpy(block.get(), text.data(), copied);
  block[copied] = '\0';
  return block;
}

// The root Path_Normalize keeps, as the input spells it.
std::string fuzzRoot(const std::string &path) {
  auto separator = [](char c) { return c == '/' || c == '\\'; };
  if (path.rfind("\\\\.\\", 0) == 0) return "\\\\.\\";
  if (path.rfind("\\\\", 0) == 0) return "\\\\";
  if (!path.empty() && separator(path[0])) return "/";
  bool letter = path.size() >= 2 && ((path[0] >= 'A' && path[0] <= 'Z') ||
                                     (path[0] >= 'a' && path[0] <= 'z'));
  if (letter && path[1] == ':' && path.size() >= 3 && separator(path[2]))
    return path.substr(0, 2) + "/";
  return "";
}

void fuzzNormalize(const std::string &input, int flags) {
  size_t size = input.size() + 2;
  auto block = fuzzBlock(input, size);
  if (!Path_Normalize(block.get(), int(size), flags))
    fuzzBroken("normalising failed with room to spare", input, "");
  std::string result = block.get();
  if (result.size() > input.size() + 1) fuzzBroken("result longer than input + 1", input, result);

  auto again = fuzzBlock(result, result.size() + 2);
  Path_Normalize(again.get(), int(result.size() + 2), flags);
  if (result != again.get()) fuzzBroken("not idempotent", input, again.get());

  std::string root = fuzzRoot(input);
  if (root.empty()) return;
  if (result.compare(0, root.size(), root) != 0) fuzzBroken("root lost", input, result);
  for (size_t at = root.size(); at < result.size();) {
    size_t end = result.find('/', at);
    if (end == std::string::npos) end = result.size();
    std::string component = result.substr(at, end - at);
    if (component == "." || component == "..") fuzzBroken("dot left in absolute", input, result);
    at = end + 1;
  }
}

void fuzzNormalizeTight(const std::string &input, int flags) {
  size_t size = input.size() + 1;
  auto block = fuzzBlock(input, size);
  if (Path_Normalize(block.get(), int(size), flags)) {
    if (strlen(block.get()) >= size) fuzzBroken("result does not fit", input, block.get());
  } else if (block[0] != '\0') {
    fuzzBroken("failure left text", input, block.get());
  }
}

void fuzzUrl(const std::string &input) {
  size_t size = input.size() + 1;
  auto path = fuzzBlock(input, size);
  std::string url = input;
  if (!Path_FromUrl(url.c_str(), path.get(), int(size))) {
    if (path[0] != '\0') fuzzBroken("failed URL left text", input, path.get());
    return;
  }
  std::string decoded = path.get();
  size_t urlSize = decoded.size() * 3 + 16;
  auto back = fuzzBlock("", urlSize);
  if (!Path_ToUrl(decoded.c_str(), back.get(), int(urlSize)))
    fuzzBroken("path gives no URL", input, decoded);
  auto again = fuzzBlock("", decoded.size() + 2);
  if (!Path_FromUrl(back.get(), again.get(), int(decoded.size() + 2)) ||
      !Path_Equal(again.get(), decoded.c_str(), 0))
    fuzzBroken("URL round trip", back.get(), again.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 8192) return 0;
  int flags = data[0] & 7;
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text = text.substr(0, text.find('\0'));  // the functions see C text
  fuzzNormalize(text, flags);
  fuzzNormalizeTight(text, flags);
  fuzzUrl(text);
  return 0;
}
