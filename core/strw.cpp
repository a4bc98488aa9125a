// UTF-8, UTF-16 and UTF-32 conversion; see strw.h.
#include "core/strw.h"

#include "core/core.h"

namespace {

// Sequence length by lead byte: 0x00-0xBF and 0xFE-0xFF take one byte (a
// stray continuation byte counts as a character of its own).
inline int strwSequenceLength(uint8_t lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF8) return 4;
  if (lead < 0xFC) return 5;
  if (lead < 0xFE) return 6;
  return 1;
}

// The smallest code point that needs a sequence of n bytes; anything below is
// an overlong form.
constexpr uint32_t kMinForLength[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};

inline bool strwIsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

}  // namespace

int StrW_DecodeUtf8Sequence(const char *src, uint32_t *codePoint, int *length) {
  CHECK_POINTER(src);
  auto lead = uint8_t(src[0]);
  int n = strwSequenceLength(lead);
  uint32_t c = lead;
  if (n > 1) {
    c = lead & (0x7F >> n);
    for (int i = 1; i < n; i++) {
      auto b = uint8_t(src[i]);  // a terminator fails here, so we never read past it
      if ((b & 0xC0) != 0x80) return 0;
      c = (c << 6) | (b & 0x3F);
    }
    if (c < kMinForLength[n] || strwIsSurrogate(c)) return 0;
  }
  if (codePoint) *codePoint = c;
  if (length) *length = n;
  return 1;
}

int StrW_Utf8CodePointLength(uint32_t c) {
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c < 0x10000) return 3;
  if (c < 0x200000) return 4;
  if (c < 0x4000000) return 5;
  if (c < 0x80000000) return 6;
  return 0;
}

int StrW_EncodeUtf8(char *dst, int room, uint32_t c, int *length) {
  int n = StrW_Utf8CodePointLength(c);
  if (n == 0) {
    if (length) *length = 0;
    return 0;
  }
  if (n > room) {
    if (length) *length = 0;
    return 1;
  }
  CHECK_POINTER(dst);
  if (n == 1) {
    dst[0] = char(c);
  } else {
    for (int i = n - 1; i > 0; i--) {
      dst[i] = char(0x80 | (c & 0x3F));
      c >>= 6;
    }
    dst[0] = char((0xFF00 >> n) | c);  // n leading one bits, then the payload
  }
  if (length) *length = n;
  return 1;
}

int StrW_Length(const char16_t *str) {
  CHECK_POINTER(str);
  int n = 0;
  while (str[n] != 0) n++;
  return n;
}

int StrW_ToUtf8N(char *dst, int size, const char16_t *src, int count) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  if (size < 1) return 0;
  int written = 0;
  for (int i = 0; i < count && src[i] != 0;) {
    uint32_t c = src[i++];
    if (c >= 0xD800 && c <= 0xDBFF && i < count && src[i] >= 0xDC00 && src[i] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (src[i++] - 0xDC00);
    else if (strwIsSurrogate(c))
      c = kStrWReplacement;
    int n = 0;
    StrW_EncodeUtf8(dst + written, size - 1 - written, c, &n);
    if (n == 0) break;  // no room for this sequence and the terminator
    written += n;
  }
  dst[written] = '\0';
  return written;
}

int StrW_FromUtf32ToUtf8(char *dst, const char32_t *src, int size) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  if (size < 1) return 0;
  int written = 0;
  for (int i = 0; src[i] != 0; i++) {
    uint32_t c = src[i];
    if (c >= 0x80000000) {
      written = 0;
      break;
    }
    if (strwIsSurrogate(c)) c = kStrWReplacement;
    int n = 0;
    StrW_EncodeUtf8(dst + written, size - 1 - written, c, &n);
    if (n == 0) break;
    written += n;
  }
  dst[written] = '\0';
  return written;
}
