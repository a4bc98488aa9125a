// Base64 codec and macro handler; see base64.h.
#include "core/runtime/base64.h"

#include <cstring>

#include "core/runtime/core.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"

namespace {

constexpr char kStandardAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr int8_t kInvalid = -1;
constexpr int8_t kPad = -2;

struct Base64Table {
  int8_t value[256];
};

// Character values: 0-63, kPad for '=', kInvalid for everything else. The
// URL table also takes the standard '+' and '/'.
constexpr Base64Table base64MakeTable(bool url) {
  Base64Table table{};
  for (int c = 0; c < 256; c++) table.value[c] = kInvalid;
  for (int i = 0; i < 64; i++) table.value[uint8_t(kStandardAlphabet[i])] = int8_t(i);
  if (url) {
    table.value[uint8_t('-')] = 62;
    table.value[uint8_t('_')] = 63;
  }
  table.value[uint8_t('=')] = kPad;
  return table;
}

constexpr Base64Table kStandardTable = base64MakeTable(false);
constexpr Base64Table kUrlTable = base64MakeTable(true);

// Writes group characters while the rules allow: the first two only together,
// the rest one by one while room remains. Returns false when one was left out.
bool base64PutGroup(const char *chars, int count, char *out, int64_t outSize, int64_t *w) {
  if (*w + 2 > outSize) return false;
  out[(*w)++] = chars[0];
  out[(*w)++] = chars[1];
  for (int k = 2; k < count; k++) {
    if (*w >= outSize) return false;
    out[(*w)++] = chars[k];
  }
  return true;
}

int base64Encode(const void *data, int64_t length, const char *alphabet, bool pad, char *out,
                 int64_t outSize, int64_t *outLength) {
  CHECK_POINTER(data);
  CHECK_POINTER(out);
  CHECK_POINTER(outLength);
  auto *bytes = static_cast<const uint8_t *>(data);
  int64_t w = 0;
  bool complete = true;
  for (int64_t i = 0; i < length && complete; i += 3) {
    int64_t n = length - i < 3 ? length - i : 3;
    uint32_t b = uint32_t(bytes[i]) << 16;
    if (n > 1) b |= uint32_t(bytes[i + 1]) << 8;
    if (n > 2) b |= bytes[i + 2];
    char chars[4] = {alphabet[(b >> 18) & 63], alphabet[(b >> 12) & 63],
                     n > 1 ? alphabet[(b >> 6) & 63] : '=', n > 2 ? alphabet[b & 63] : '='};
    complete = base64PutGroup(chars, pad ? 4 : int(n) + 1, out, outSize, &w);
  }
  if (w < outSize) out[w] = '\0';
  *outLength = w;
  return complete;
}

// Decodes length characters followed by implied '=' up to paddedLength into
// out. Returns the bytes decoded, or -1 for a malformed text or too small an
// out.
int64_t base64DecodeGroups(const char *text, int64_t length, int64_t paddedLength,
                           const Base64Table &table, uint8_t *out, int64_t outSize) {
  if (outSize <= 4 || paddedLength % 4 != 0) return -1;
  int64_t w = 0;
  for (int64_t g = 0; g < paddedLength; g += 4) {
    uint32_t bits = 0;
    int pads = 0;
    for (int k = 0; k < 4; k++) {
      char c = g + k < length ? text[g + k] : '=';
      int8_t v = table.value[uint8_t(c)];
      if (v == kInvalid) return -1;
      if (v == kPad) {
        // Padding only fills the last one or two places of the final group;
        // anywhere else it would end the data early and silently.
        if (k < 2 || g + 4 != paddedLength) return -1;
        pads++;
        v = 0;
      } else if (pads > 0) {
        return -1;
      }
      bits = bits << 6 | uint32_t(v);
    }
    // w stays below outSize - 4, so the three bytes and a terminator fit.
    out[w] = uint8_t(bits >> 16);
    out[w + 1] = uint8_t(bits >> 8);
    out[w + 2] = uint8_t(bits);
    w += 3 - pads;
    if (w >= outSize - 4) return -1;
  }
  return w;
}

int base64Decode(const char *text, int64_t length, int64_t paddedLength, const Base64Table &table,
                 void *out, int64_t outSize, int64_t *outLength) {
  auto *bytes = static_cast<uint8_t *>(out);
  int64_t w = base64DecodeGroups(text, length, paddedLength, table, bytes, outSize);
  *outLength = w < 0 ? 0 : w;
  if (outSize > 0) bytes[*outLength] = 0;
  return w >= 0;
}

}  // namespace

int Base64_Encode(const void *data, int64_t length, char *out, int64_t outSize,
                  int64_t *outLength) {
  return base64Encode(data, length, kStandardAlphabet, true, out, outSize, outLength);
}

int Base64_EncodeUrl(const void *data, int64_t length, char *out, int64_t outSize,
                     int64_t *outLength) {
  return base64Encode(data, length, kUrlAlphabet, false, out, outSize, outLength);
}

int Base64_Decode(const char *text, void *out, int64_t outSize, int64_t *outLength) {
  CHECK_POINTER(text);
  CHECK_POINTER(out);
  CHECK_POINTER(outLength);
  auto length = int64_t(strlen(text));
  return base64Decode(text, length, length, kStandardTable, out, outSize, outLength);
}

int Base64_DecodeUrl(const char *text, int64_t length, void *out, int64_t outSize,
                     int64_t *outLength) {
  CHECK_POINTER(text);
  CHECK_POINTER(out);
  CHECK_POINTER(outLength);
  if (length < 0) length = 0;
  int64_t padded = (length + 3) / 4 * 4;
  return base64Decode(text, length, padded, kUrlTable, out, outSize, outLength);
}

int Base64_EncodedSize(int64_t length, int64_t *size) {
  CHECK_POINTER(size);
  *size = 0;
  if (length < 0 || length > INT64_MAX / 4 - 4) return 0;
  *size = ((length * 4 / 3 + 3) & ~int64_t(3)) + 1;
  return 1;
}

int Base64_DecodedSize(int64_t length, int64_t *size) {
  CHECK_POINTER(size);
  *size = 0;
  if (length < 0) return 0;
  *size = length / 4 * 3 + 10;
  return 1;
}

// ---- Macro handler --------------------------------------------------------

namespace {

enum class Base64Macro { Decode, Encode, ToHex, FromHex, EncodeUrl, DecodeUrl };

constexpr struct {
  const char *name;
  Base64Macro macro;
} kBase64Macros[] = {
    {"FromBase64", Base64Macro::Decode},       {"Base64Decode", Base64Macro::Decode},
    {"ToBase64", Base64Macro::Encode},         {"Base64Encode", Base64Macro::Encode},
    {"Base64ToHex", Base64Macro::ToHex},       {"HexToBase64", Base64Macro::FromHex},
    {"ToBase64Url", Base64Macro::EncodeUrl},   {"Base64UrlEncode", Base64Macro::EncodeUrl},
    {"FromBase64Url", Base64Macro::DecodeUrl}, {"Base64UrlDecode", Base64Macro::DecodeUrl},
};

// Room for the decoded bytes of Base64ToHex and HexToBase64.
constexpr int64_t kMacroBinaryBytes = 4096;

// Decodes the argument aside and copies as much as fits, terminated.
int base64MacroDecode(const char *argument, bool url, char *out, int outSize) {
  auto length = int64_t(strlen(argument));
  int64_t size = 0;
  Base64_DecodedSize(length, &size);
  char *decoded = static_cast<char *>(MEM_ALLOC(size, 0));
  int64_t decodedLength = 0;
  int ok = url ? Base64_DecodeUrl(argument, length, decoded, size, &decodedLength)
               : Base64_Decode(argument, decoded, size, &decodedLength);
  if (ok) {
    int64_t n = decodedLength < outSize - 1 ? decodedLength : outSize - 1;
    memcpy(out, decoded, size_t(n));
    out[n] = '\0';
  }
  MEM_FREE(decoded, size);
  return ok;
}

// Encodes bytes into out; only a complete and terminated text counts.
int base64MacroEncode(const void *data, int64_t length, bool url, char *out, int outSize) {
  int64_t written = 0;
  int ok = url ? Base64_EncodeUrl(data, length, out, outSize, &written)
               : Base64_Encode(data, length, out, outSize, &written);
  return ok && written < outSize;
}

int base64MacroRun(Base64Macro macro, const char *argument, char *out, int outSize) {
  uint8_t binary[kMacroBinaryBytes];
  int64_t binaryLength = 0;
  switch (macro) {
    case Base64Macro::Decode:
      return base64MacroDecode(argument, false, out, outSize);
    case Base64Macro::DecodeUrl:
      return base64MacroDecode(argument, true, out, outSize);
    case Base64Macro::Encode:
      return base64MacroEncode(argument, int64_t(strlen(argument)), false, out, outSize);
    case Base64Macro::EncodeUrl:
      return base64MacroEncode(argument, int64_t(strlen(argument)), true, out, outSize);
    case Base64Macro::ToHex:
      return Base64_Decode(argument, binary, sizeof binary, &binaryLength) &&
             Str_HexEncode(binary, binaryLength, 0, out, outSize);
    case Base64Macro::FromHex:
      return Str_HexDecode(argument, int64_t(strlen(argument)), binary, sizeof binary,
                           &binaryLength) &&
             base64MacroEncode(binary, binaryLength, false, out, outSize);
  }
  return 0;
}

}  // namespace

int Base64_MacroHandler(const char *name, const char *argument, char *out, int outSize) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (argument == nullptr || outSize < 1) return 0;
  for (const auto &entry : kBase64Macros) {
    if (Str_CompareNoCase(name, entry.name) != 0) continue;
    out[0] = '\0';
    if (base64MacroRun(entry.macro, argument, out, outSize)) return 1;
    out[0] = '\0';
    return 0;
  }
  return 0;
}
