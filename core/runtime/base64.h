// Base64: the standard alphabet with '=' padding, and the URL-safe form
// ('-' and '_', no padding), on caller buffers of stated size; plus the macro
// handler that offers the conversions to configuration text.
//
// Invariants: (1) an encoder never writes more than outSize bytes; the text is
// terminated when there is room behind it. (2) a decoder accepts only whole
// groups of four characters of its alphabet, with '=' only as the last one or
// two characters of the final group; anything else (blanks and line breaks
// included) answers 0 with *outLength 0 and out empty. (3) a decoder needs
// an out buffer more than 4 bytes larger than the data (Base64_DecodedSize
// gives one). (4) a NULL pointer argument stops the program with
// "Pointer is NULL\n".
//
// Threads: any thread; no shared state.
#pragma once

#include <cstdint>

// Encodes length bytes. Each group's first two characters are written only
// when both fit, the third and fourth each while room remains. *outLength is
// the number of characters written. Returns 1 when the whole encoding
// (padding included) was written.
int Base64_Encode(const void *data, int64_t length, char *out, int64_t outSize, int64_t *outLength);

// Decodes a terminated text into out; a terminator byte follows the data.
// Returns 1 when the whole text was decoded, 0 for a malformed text or an out
// buffer of fewer than data + 5 bytes.
int Base64_Decode(const char *text, void *out, int64_t outSize, int64_t *outLength);

// As Base64_Encode, with '-' for '+', '_' for '/' and no padding. Returns 1
// when every character of that form was written.
int Base64_EncodeUrl(const void *data, int64_t length, char *out, int64_t outSize,
                     int64_t *outLength);

// Decodes length characters of URL-safe text: missing padding is implied,
// and the standard '+', '/' and written padding are accepted as well.
// Otherwise as Base64_Decode.
int Base64_DecodeUrl(const char *text, int64_t length, void *out, int64_t outSize,
                     int64_t *outLength);

// *size = the encoded length rounded up to whole groups, plus the terminator:
// ((length x 4 / 3 + 3) rounded down to a multiple of 4) + 1. Returns 0 with
// *size 0 for a negative or unrepresentably large length.
int Base64_EncodedSize(int64_t length, int64_t *size);

// *size = length / 4 x 3 + 10: room for the data, the decoder's margin and
// the terminator. Returns 0 with *size 0 for a negative length.
int Base64_DecodedSize(int64_t length, int64_t *size);

// Macros (names without regard to ASCII case), results into out of outSize
// bytes (the expander passes 8140):
//   FromBase64, Base64Decode        the decoded bytes, terminated (cut to fit)
//   ToBase64, Base64Encode          the Base64 text of the argument's bytes
//   Base64ToHex                     the argument decoded (at most 4091 bytes),
//                                   as upper-case hex
//   HexToBase64                     the argument read as hex (at most 4096
//                                   bytes), as Base64
//   ToBase64Url, Base64UrlEncode    the URL-safe text of the argument's bytes
//   FromBase64Url, Base64UrlDecode  the URL-safe argument decoded, terminated
// Returns 1 when it produced the output; 0 (out untouched) for any other
// name or a NULL argument; 0 with out empty when the argument does not
// convert or the output does not fit, so the macro stays in the text as
// written rather than turning into a wrong or partial value.
int Base64_MacroHandler(const char *name, const char *argument, char *out, int outSize);
