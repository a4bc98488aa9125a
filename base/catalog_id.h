// CatalogId: the rule every version id of the content server follows (an
// alias's remote id, a catalog's "id", a metafile's "id"). Ids name cache
// directories and are path segments of catalog URLs, so an id that could
// leave a directory or change a URL is refused whole, never cut.
//
// Threads: any thread; no shared state.
#pragma once

#include <cstdint>

constexpr int32_t kCatalogIdMaxChars = 133;
constexpr int32_t kCatalogIdBytes = kCatalogIdMaxChars + 1;

// 1 when length bytes of id hold at most 133 characters, no '/', '\', NUL or
// control character, and are not "." or "..". The empty id passes (callers
// that need one say so).
inline int CatalogId_IsValid(const char *id, int32_t length) {
  if (id == nullptr || length < 0 || length > kCatalogIdMaxChars) return 0;
  for (int32_t i = 0; i < length; i++) {
    auto c = static_cast<uint8_t>(id[i]);
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return 0;
  }
  if ((length == 1 && id[0] == '.') || (length == 2 && id[0] == '.' && id[1] == '.')) return 0;
  return 1;
}
