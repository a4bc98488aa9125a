// StrW: conversion between the program's UTF-8 text and the UTF-16
// (char16_t) and UTF-32 (char32_t) forms that platform interfaces and format
// arguments use, the few UTF-16 operations the platform code needs, and the
// decoding of HTML character references in UTF-8 and UTF-16 text.
//
// Invariants: (1) decoding rejects overlong forms and encoded surrogates, so
// checked text cannot change meaning after conversion. (2) code points above
// U+FFFF travel as surrogate pairs in UTF-16; a lone surrogate, and any value
// that is no Unicode scalar value, becomes U+FFFD on output. (3) every bounded
// output that has room (a size or capacity of at least 1) is terminated, and
// no output ever splits a character: it stops before the first one that would
// not fit with the terminator. (4) NULL text arguments stop the program with
// "Pointer is NULL\n".
//
// Threads: any thread; no state. StrW_FromMultiByte reads the locale, so a
// setlocale call in another thread at the same time is the caller's race.
//
// Memory: StrW_Alloc and StrW_AllocFromUtf8(N) take their blocks from the
// runtime heap (malloc); the caller releases them with free(), not Mem_Free.
// They exist for text handed to or taken from interfaces that own it that way.
#pragma once

#include <cstdint>

constexpr uint32_t kStrWReplacement = 0xFFFD;
constexpr uint32_t kStrWMaxCodePoint = 0x10FFFF;
// The fixed destination of StrW_BigEndianToUtf8, terminator included.
constexpr int kStrWBigEndianDstBytes = 320;
// The longest entity name looked up; longer names are not found.
constexpr int kStrWEntityNameMax = 31;

// ---- UTF-8 primitives

// Decodes one UTF-8 sequence (1 to 6 bytes by the lead byte; a stray
// continuation byte or 0xFE/0xFF counts as a one-byte character of that
// value). Returns 1 with the code point and the bytes used, or 0 when the
// sequence is invalid (a bad or missing continuation byte, an overlong form,
// an encoded surrogate). Never reads past a terminator.
int StrW_DecodeUtf8Sequence(const char *src, uint32_t *codePoint, int *length);

// Bytes of a UTF-8 sequence by its lead byte: 2 to 6 for lead bytes
// 0xC0-0xFD, 1 for every other byte (ASCII, a stray continuation byte, 0xFE,
// 0xFF), which counts as a character of its own.
int StrW_Utf8SequenceLength(uint8_t lead);

// Bytes needed to encode a code point (1 to 6); 0 when it cannot be encoded
// (0x80000000 and above).
int StrW_Utf8CodePointLength(uint32_t codePoint);

// Encodes a code point as it is (surrogate values included, for callers that
// encode unit by unit) into dst when room allows, else *length is 0 and the
// result is still 1. Returns 0 when the code point cannot be encoded.
int StrW_EncodeUtf8(char *dst, int room, uint32_t codePoint, int *length);

// ---- UTF-8 to UTF-16

// Converts src into dst of capacity units: at most capacity - 1 units, always
// terminated when capacity is at least 1. Code points above U+FFFF become a
// surrogate pair (never split); decoded values above U+10FFFF become U+FFFD.
// Stops at an invalid sequence. Returns the units written, terminator not
// counted; *truncated (when not NULL) is 1 when the text did not fit, else 0.
int StrW_FromUtf8(char16_t *dst, const char *src, int capacity, int *truncated = nullptr);

// Allocates strlen(src) + 1 units from the runtime heap and converts src into
// them; UTF-16 never needs more units than UTF-8 has bytes, so nothing is cut.
// Returns 1; *out is released with free().
int StrW_AllocFromUtf8(const char *src, char16_t **out);

// The same for the first count bytes of src (fewer when a terminator comes
// first); a sequence cut by the count ends the text. Returns 1; a count below
// 0 counts as 0.
int StrW_AllocFromUtf8N(const char *src, int count, char16_t **out);

// Converts src, text in the character set of the current locale
// (nl_langinfo(CODESET)), into dst of capacity units. Returns the units
// written, terminator not counted; 0 with dst empty when the result would not
// fit in capacity - 1 units or the character set is unknown. An invalid byte
// sequence ends the text.
int StrW_FromMultiByte(char16_t *dst, const char *src, int capacity);

// ---- UTF-16 helpers

// Units before the terminator.
int StrW_Length(const char16_t *str);

// Bytes of the UTF-8 form that StrW_ToUtf8 produces, terminator not counted
// (pairs take 4 bytes, lone surrogates the 3 of U+FFFD).
int StrW_Utf8Length(const char16_t *str);

// Copies at most capacity - 1 units of src; terminates when capacity is at
// least 1. Returns the units copied.
int StrW_Copy(char16_t *dst, const char16_t *src, int capacity);

// 1 when a and b are equal unit by unit; the NoCase form folds A-Z only.
int StrW_Equals(const char16_t *a, const char16_t *b);
int StrW_EqualsNoCase(const char16_t *a, const char16_t *b);

// 1 when str begins (ends) with the whole of prefix (suffix), A-Z folded; an
// empty prefix or suffix gives 1, a longer one 0.
int StrW_StartsWithNoCase(const char16_t *str, const char16_t *prefix);
int StrW_EndsWithNoCase(const char16_t *str, const char16_t *suffix);

// Finds the last ch (the first ';') before the terminator. Returns 1 with *pos
// pointing at it, or 0 with *pos NULL.
int StrW_FindLastChar(const char16_t *str, char16_t ch, const char16_t **pos);
int StrW_FindSemicolon(const char16_t *str, const char16_t **pos);

// 1 when the whole text matches the pattern: '*' matches any run of units
// (empty included), every other unit itself with A-Z folded; no escape.
// Linear in the text for each '*' (no exponential backtracking).
int StrW_MatchWildcardNoCase(const char16_t *text, const char16_t *pattern);

// Allocates count units, zero-filled, from the runtime heap. Returns 1; a count
// below 1 gives 0 and *out NULL. *out is released with free().
int StrW_Alloc(int count, char16_t **out);

// ---- UTF-16 to UTF-8

// Encodes at most count units of src (stopping early at a 0 unit) as UTF-8
// into dst of size bytes; surrogate pairs are joined, lone surrogates become
// U+FFFD. Stops before a sequence that would leave no room for the
// terminator; terminates when size is at least 1. Returns the bytes written,
// terminator not counted.
int StrW_ToUtf8N(char *dst, int size, const char16_t *src, int count);

// StrW_ToUtf8N over the whole of src.
int StrW_ToUtf8(char *dst, const char16_t *src, int size);

// Encodes count units stored big-endian (two bytes each, high byte first, at
// any alignment: a BMPString's content as it lies in a DER buffer) into dst of
// exactly kStrWBigEndianDstBytes bytes, with the rules of StrW_ToUtf8N: stops
// at a 0 unit or before a sequence that would not fit with the terminator,
// always terminates. Returns the bytes written, terminator not counted.
int StrW_BigEndianToUtf8(char *dst, const void *src, int count);

// Encodes a 0-terminated array of code points as UTF-8 into dst of size bytes;
// surrogates and values above U+10FFFF become U+FFFD, and a value of
// 0x80000000 or more makes the whole result empty. Returns the bytes
// written, terminator not counted.
int StrW_FromUtf32ToUtf8(char *dst, const char32_t *src, int size);

// ---- HTML character references
//
// Named references come from one table: the HTML 4 names plus "apos", the
// twelve spellings of a line-break tag ("<br>", "<BR />", ...) giving LF, and
// the empty name giving CR. A name is matched exactly first; only when no row
// matches exactly is it matched with A-Z folded (the first such row wins), so
// "agrave" and "Agrave" stay distinct while "AMP" still gives '&'.
//
// A numeric reference is "&#" (or "##" in StrW_DecodeNumericEntitiesUtf8,
// "&&" in the HTML decoders) followed by an optional sign and at least one
// decimal digit. Its code point is kept whole (a surrogate pair in UTF-16);
// 0, negative values, surrogates and values above U+10FFFF give U+FFFD. The
// reference runs to the next ';', which is dropped; when no ';' follows it
// ends after its digits.

// Replaces each numeric reference in src by the UTF-8 form of its code point
// and copies every other byte into dst of size bytes. Returns 1 when all of
// src was decoded, 0 when the output was cut (it is terminated after the last
// whole character that fitted; nothing when size is below 1).
int StrW_DecodeNumericEntitiesUtf8(const char *src, char *dst, int size);

// Skips the leading '&' and '#' characters of reference, takes the name up to
// ';' (or the terminator) and writes the UTF-8 form of its code into dst of
// room bytes (no terminator). Returns the bytes written; 0 when the name is
// not in the table, is longer than kStrWEntityNameMax, or does not fit.
int StrW_LookupEntityUtf8(const char *reference, char *dst, int room);

// Decodes src into dst of size bytes: CR and LF are dropped; at an '&' with a
// ';' after it the named reference is tried; otherwise "&#" or "&&" starts a
// numeric reference; any other '&' and every other character are copied.
// Returns 1 when all of src was decoded, 0 when the output was cut (it is
// terminated after the last whole character that fitted; nothing when size is
// below 1).
int StrW_DecodeHtmlEntitiesUtf8(const char *src, char *dst, int size);

// The UTF-16 forms of the two above (all named codes are single units).
// StrW_LookupEntity writes one unit and returns 1, or returns 0.
int StrW_LookupEntity(const char16_t *reference, char16_t *dst, int room);
int StrW_DecodeHtmlEntities(const char16_t *src, char16_t *dst, int size);
