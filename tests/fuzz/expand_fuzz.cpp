// libFuzzer target for the macro expander and the MIME lookup.
//
// Input: segments separated by NUL bytes. The first segment is the text to
// expand; each later one (at most 8) is a caller's name "name=output", so
// results that hold macros, and names that expand into each other, occur.
// The text is also looked up as a MIME file name.
//
// Checked: no crash or hang; a refused expansion leaves the buffer as it was;
// an accepted one stays within the buffer's size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/expand.h"
#include "core/runtime/mime.h"

namespace {

struct CallerName {
  std::string name;
  std::string output;
};

int fuzzCaller(void *userData, const char *name, const char *, char *out, int outSize) {
  const auto *names = static_cast<const std::vector<CallerName> *>(userData);
  for (const CallerName &entry : *names) {
    if (entry.name != name) continue;
    if (entry.output.size() >= size_t(outSize)) return 0;
    memcpy(out, entry.output.c_str(), entry.output.size() + 1);
    return 1;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool mimeReady = false;
  if (!mimeReady) {
    Mime_Init();
    mimeReady = true;
  }
  std::vector<std::string> segments(1);
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 0)
      segments.emplace_back();
    else
      segments.back().push_back(char(data[i]));
  }
  std::vector<CallerName> names;
  for (size_t i = 1; i < segments.size() && names.size() < 8; i++) {
    size_t equals = segments[i].find('=');
    if (equals == std::string::npos || equals == 0) continue;
    names.push_back({segments[i].substr(0, equals), segments[i].substr(equals + 1)});
  }
  const std::string &text = segments[0];

  const char *type = nullptr, *subtype = nullptr;
  Mime_GetType(text.c_str(), &type, &subtype);
  if (type == nullptr || subtype == nullptr) __builtin_trap();

  // A buffer a little larger than the text, and sometimes just the text's.
  size_t room = text.size() + 1 + (size % 3 == 0 ? 0 : size % 200);
  if (room > size_t(kStrExpandWorkBytes) * 2) room = size_t(kStrExpandWorkBytes) * 2;
  std::vector<char> buffer(room + 1, '\x5a');
  memcpy(buffer.data(), text.c_str(), text.size() + 1);
  std::vector<char> before = buffer;
  int result = Str_Expand(buffer.data(), int(room), &names, names.empty() ? nullptr : fuzzCaller);
  if (result == 0 && buffer != before) __builtin_trap();
  if (result == 1 && (memchr(buffer.data(), 0, room) == nullptr || buffer[room] != '\x5a'))
    __builtin_trap();
  return 0;
}
