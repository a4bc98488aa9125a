// KeyPath: splits the key path that the JSON reader hands to a node callback
// ("files\3\name": components joined by '\') into its first components, for
// the metafile's key handlers.
//
// Invariants: (1) the parts point into the caller's path text and live as
// long as it. (2) count is the number of components, capped at
// kKeyPathMaxParts + 1 (more than the handlers look at).
//
// Threads: any thread; no shared state.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/runtime/str.h"

constexpr int kKeyPathMaxParts = 4;

struct KeyPath {
  std::string_view part[kKeyPathMaxParts];
  int count;
};

inline void KeyPath_Split(const char *path, KeyPath *out) {
  out->count = 0;
  if (path == nullptr || path[0] == '\0') return;
  // One pass: this runs for every node of a document.
  const char *start = path, *p = path;
  for (;; p++) {
    if (*p != '\\' && *p != '\0') continue;
    if (out->count == kKeyPathMaxParts) {
      out->count++;
      return;
    }
    out->part[out->count++] = std::string_view(start, size_t(p - start));
    if (*p == '\0') return;
    start = p + 1;
  }
}

// A component read as a non-negative decimal index; -1 when it is not one
// (empty, a sign, another character or more than nine digits).
inline int64_t KeyPath_Index(std::string_view part) {
  if (part.empty() || part.size() > 9) return -1;
  int64_t value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The value text of a node read as an integer (Str_ToInt64: decimal or "0x"
// hex, optional sign); texts of 63 bytes or more read as 0.
inline int64_t KeyPath_ValueToInt64(const char *value, int32_t length) {
  char text[64];
  if (length < 0 || length >= int32_t(sizeof text)) return 0;
  memcpy(text, value, size_t(length));
  text[length] = '\0';
  return Str_ToInt64(text);
}

inline double KeyPath_ValueToFloat64(const char *value, int32_t length) {
  char text[64];
  if (length < 0 || length >= int32_t(sizeof text)) return 0;
  memcpy(text, value, size_t(length));
  text[length] = '\0';
  return Str_ToFloat64(text);
}

// "true" without regard to case.
inline int KeyPath_ValueIsTrue(const char *value, int32_t length) {
  return length == 4 && Str_EqualNoCaseN(value, "true", 4) ? 1 : 0;
}

// The array index of a list member's field node ("<list>\<index>\<field>"),
// with the field in *field; -1 for any other path.
inline int64_t KeyPath_MemberField(const char *path, std::string_view *field) {
  KeyPath key;
  KeyPath_Split(path, &key);
  if (key.count != 3) return -1;
  *field = key.part[2];
  return KeyPath_Index(key.part[1]);
}
