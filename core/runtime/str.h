// Str: the operations on the program's text, NUL-terminated UTF-8 in buffers
// whose size the caller states: bounded copies, comparisons, searches, in-place
// trims and edits, fields and lines, numbers, versions, addresses, hex, random
// and GUID text, and '*' wildcards. The byte searches Mem_Find and Mem_FindDot
// live here with the other searches.
//
// Invariants: (1) a size is the destination's size in bytes, terminator
// included; a copy stores at most size - 1 characters and terminates whenever
// size is at least 1; size 0 writes nothing. (2) case folding is ASCII only:
// A-Z and a-z, never bytes of 0x80 and above. (3) a "blank" is ' ' or '\t'.
// (4) a search answers 1 with *pos pointing into the searched text, or 0 with
// *pos NULL. (5) a NULL text, buffer or out-pointer stops the program with
// "Pointer is NULL\n"; only Str_ToInt64, Str_ToUInt64 and Str_ToFloat64 take
// NULL (as 0). (6) an operation that cannot do all it was asked says so in
// its result; it never writes past the size it was given.
//
// Threads: any thread; no shared state.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Copying and building -------------------------------------------------

// Copies at most size - 1 characters of src. Returns the number copied.
int Str_Copy(char *dst, const char *src, int size);

// Copies src into dst of size bytes. Returns 1 when the whole of src fit, 0
// when it was cut to size - 1 characters (or size is below 1).
int Str_Set(char *dst, const char *src, int size);
template <size_t N>
inline int Str_Set(char (&dst)[N], const char *src) {
  static_assert(N <= 0x7fffffff);
  return Str_Set(dst, src, int(N));
}

// Appends src behind the text in dst, all within size. Returns the number of
// characters appended (0 when dst holds no terminator within size).
int Str_Cat(char *dst, const char *src, int size);

// Copies at most count characters of src and at most size - 1, stopping at
// src's end. Returns the number copied.
int Str_CopyN(char *dst, int size, const char *src, int count);

// Copies src up to its first blank, '=' or end, at most
// kStrNameMaxCharacters characters and at most size - 1. Returns the number
// copied.
constexpr int kStrNameMaxCharacters = 4096;
int Str_CopyName(char *dst, const char *src, int size);
template <size_t N>
inline int Str_CopyName(char (&dst)[N], const char *src) {
  static_assert(N <= 0x7fffffff);
  return Str_CopyName(dst, src, int(N));
}

// Copies component number index (from 0) of a path split at '\\' into out,
// which holds kStrPathComponentBytes. Returns 0 with out empty when the path
// has fewer components or the component is longer than 63 characters. Only
// '\\' separates: the paths split here are document key paths.
constexpr int kStrPathComponentBytes = 64;
int Str_GetPathComponent(const char *path, int index, char *out);

// Moves the text right by count and fills the gap with blanks. Returns 0 and
// changes nothing when count + 1 + length exceeds size or count is negative.
int Str_InsertBlanks(char *str, int size, int count);

// Removes the first count characters. Returns 0 and changes nothing when
// count is negative or exceeds the length.
int Str_CutLeft(char *str, int count);

// Replaces every from character by to. Returns the number replaced.
int Str_ReplaceChar(char from, char to, char *str);

// Replaces every occurrence of find in str (held in size bytes), left to
// right, continuing behind each replacement. Returns 1 when done (also when
// nothing was found); 0 with str unchanged when find or str is empty or the
// result would not fit into size - 1 characters.
int Str_ReplaceAll(const char *find, const char *replacement, char *str, int size);
template <size_t N>
inline int Str_ReplaceAll(const char *find, const char *replacement, char (&str)[N]) {
  static_assert(N <= 0x7fffffff);
  return Str_ReplaceAll(find, replacement, str, int(N));
}

// ASCII case change in place.
void Str_ToUpper(char *str);
void Str_ToLower(char *str);

// In place: drops each esc character and keeps the character after it as it
// is (so a doubled esc leaves one). esc 0 changes nothing.
void Str_Unescape(char *str, char esc);

// Fills size - 1 characters from the system's random bytes: a byte mod 35
// below 26 gives 'a' + value when even and 'A' + value when odd; 26 to 34
// give '1' to '9'. Size below 2 gives an empty text (nothing for size 0).
// Returns 1: a failing random source stops the program instead.
int Str_Random(char *buffer, int size);

// Writes a fresh random (version 4) GUID as the 32 lower-case hex digits of
// its 16 bytes in memory order. Returns 0 with an empty text (when size is at
// least 1) when size is below kStrGuidBytes.
constexpr int kStrGuidBytes = 33;
int Str_CreateGuid(char *buffer, int size);

// Two hex digits per byte (lower case when lowerCase is not 0, else upper
// case) while at least 3 bytes of room remain; always terminates. Returns 1
// when every byte was written. A size below 1 stops the program ("Assertion
// failed (MaxHex > 0)\nUnable to null terminate hex string").
int Str_HexEncode(const void *data, int64_t length, int lowerCase, char *out, int64_t size);

// Hex text of hexLength characters (either case, an optional leading "0x" or
// "0X") to bytes. Stops at a pair that is not two hex digits or when size
// bytes are written; a terminator byte follows the data when there is room.
// *outLength receives the bytes written. Returns 1 only when the whole text
// was converted.
int Str_HexDecode(const char *hex, int64_t hexLength, void *out, int64_t size, int64_t *outLength);

// ---- Trimming (in place) --------------------------------------------------

void Str_TrimLeft(char *str);                         // leading blanks
void Str_TrimRightChar(char *str, char ch);           // trailing ch characters
void Str_TrimLeftChars(char *str, const char *set);   // leading characters of set
void Str_TrimRightChars(char *str, const char *set);  // trailing characters of set
// The same on a text of known length (which may hold NUL bytes; NUL is never
// in set). A terminator is written only when something was removed.
void Str_TrimRightCharsN(char *str, const char *set, int length, int *newLength);
void Str_TrimChars(char *str, const char *set);  // left, then right
void Str_TrimWhitespace(char *str);              // set "\t\r\n "

// ---- Comparing ------------------------------------------------------------

// The difference of the first unequal bytes (as unsigned), 0 when equal.
int Str_Compare(const char *a, const char *b);

// -1, 0 or 1 with A-Z folded to lower case. Bytes compare as signed 8-bit
// values, so bytes of 0x80 and above sort before ASCII; a text that is a
// prefix of the other is the smaller.
int Str_CompareNoCase(const char *a, const char *b);

// 1 when the first n characters are equal or both texts end together before
// n; n below 1 gives 1.
int Str_EqualN(const char *a, const char *b, int n);
int Str_EqualNoCaseN(const char *a, const char *b, int n);

// 1 when str begins (ends) with the whole prefix (suffix); an empty one gives 1.
int Str_StartsWith(const char *str, const char *prefix);
int Str_StartsWithNoCase(const char *str, const char *prefix);
int Str_EndsWith(const char *str, const char *suffix);
int Str_EndsWithNoCase(const char *str, const char *suffix);

// Reads the first 9 characters of text without regard to case: "1", "TRUE",
// "YES", "ON" set 1; "0", "FALSE", "NO", "OFF" set 0; an empty text sets
// defaultValue; these return 1. Any other text (no trimming) sets
// defaultValue and returns 0.
int Str_ToBool(const char *text, int *value, int defaultValue);

// ---- Searching ------------------------------------------------------------
// Each answers 1 with *pos at the find, or 0 with *pos NULL. The char *
// overloads hand back a writable pointer into a writable text.

int Str_FindChar(const char *str, char ch, const char **pos);         // ch 0 finds the end
int Str_FindSpace(const char *str, int maxLength, const char **pos);  // first blank
int Str_FindAnyOf(const char *str, const char *set, const char **pos);
int Str_FindAnyOfN(const char *str, int maxLength, const char *set, const char **pos);
int Str_FindLastChar(const char *str, char ch, const char **pos);  // ch 0 finds the end
// The last '.', '[' or '\\': the separators of key paths.
int Str_FindLastKeySeparator(const char *str, const char **pos);
// An empty sub is found at the start (Str_FindLast: at the end).
int Str_Find(const char *str, const char *sub, const char **pos);
int Str_FindNoCase(const char *str, const char *sub, const char **pos);
// An occurrence that lies wholly within the first length characters.
int Str_FindN(const char *str, int length, const char *sub, const char **pos);
int Str_FindLast(const char *str, const char *sub, const char **pos);
// Byte searches in a buffer of known length; an empty pattern is found at the
// start.
int Mem_Find(const char *buffer, int64_t length, const char *pattern, int64_t patternLength,
             const char **pos);
int Mem_FindDot(const char *buffer, int64_t length, const char **pos);

inline int Str_FindChar(char *str, char ch, char **pos) {
  return Str_FindChar(str, ch, const_cast<const char **>(pos));
}
inline int Str_FindSpace(char *str, int maxLength, char **pos) {
  return Str_FindSpace(str, maxLength, const_cast<const char **>(pos));
}
inline int Str_FindAnyOf(char *str, const char *set, char **pos) {
  return Str_FindAnyOf(str, set, const_cast<const char **>(pos));
}
inline int Str_FindAnyOfN(char *str, int maxLength, const char *set, char **pos) {
  return Str_FindAnyOfN(str, maxLength, set, const_cast<const char **>(pos));
}
inline int Str_FindLastChar(char *str, char ch, char **pos) {
  return Str_FindLastChar(str, ch, const_cast<const char **>(pos));
}
inline int Str_FindLastKeySeparator(char *str, char **pos) {
  return Str_FindLastKeySeparator(str, const_cast<const char **>(pos));
}
inline int Str_Find(char *str, const char *sub, char **pos) {
  return Str_Find(str, sub, const_cast<const char **>(pos));
}
inline int Str_FindNoCase(char *str, const char *sub, char **pos) {
  return Str_FindNoCase(str, sub, const_cast<const char **>(pos));
}
inline int Str_FindN(char *str, int length, const char *sub, char **pos) {
  return Str_FindN(str, length, sub, const_cast<const char **>(pos));
}
inline int Str_FindLast(char *str, const char *sub, char **pos) {
  return Str_FindLast(str, sub, const_cast<const char **>(pos));
}
inline int Mem_Find(char *buffer, int64_t length, const char *pattern, int64_t patternLength,
                    char **pos) {
  return Mem_Find(buffer, length, pattern, patternLength, const_cast<const char **>(pos));
}
inline int Mem_FindDot(char *buffer, int64_t length, char **pos) {
  return Mem_FindDot(buffer, length, const_cast<const char **>(pos));
}

// ---- Numbers, versions, addresses -----------------------------------------

// Optional '+' or '-'; then "0x"/"0X" and hex digits (up to 16 significant
// digits keep their bit pattern, more give all bits set; '-' negates the
// pattern), or decimal digits up to the first other character (saturating at
// INT64_MIN/INT64_MAX as strtoll does). NULL or no digits give 0.
int64_t Str_ToInt64(const char *text);
// As Str_ToInt64, saturating at UINT64_MAX; a leading '-' gives 0.
uint64_t Str_ToUInt64(const char *text);

// A hex number after a required "0x"/"0X" (bit pattern as Str_ToInt64).
// Returns 0 with *value 0 without the prefix or without a digit after it.
int Str_ParseHexInt64(const char *text, int64_t *value);

// Optional sign; then "0x" and a hex integer, or an integer part, a '.'
// fraction and an 'e'/'E' exponent with optional sign. The recognised text is
// converted correctly rounded (the nearest double, as strtod gives), so a
// number written with enough digits reads back unchanged; overflow gives
// +-infinity and underflow +-0. NULL or no digits give 0.
double Str_ToFloat64(const char *text);

// 1 when the text is an optional '-' followed only by digits and '.', with at
// least one digit.
int Str_IsNumber(const char *text);

// Dotted a.b.c.d (each part 0-255 in decimal) with an optional ":port"
// (0-65535); the first part goes into the lowest byte of *address. The text
// "::1" gives 127.0.0.1. *port is set only when a port is present. Returns 0
// and sets nothing for any other text.
int Str_ParseIPv4(const char *text, uint32_t *address, int *port);

// An optional leading 'v' or 'V' and one to four numbers (each 0-2147483647)
// separated by '.' or ','; missing parts are 0. Returns 0 and sets nothing
// unless every part is all digits.
int Str_ParseVersion(const char *text, int32_t *major, int32_t *minor, int32_t *build,
                     int32_t *revision);

// Parses both and compares the four numbers in order: *result 1 when a is
// newer, -1 when older, 0 when equal. Returns 0 when either fails to parse.
int Str_CompareVersion(const char *a, const char *b, int *result);

// ---- Fields, lines and patterns -------------------------------------------

// Copies field number index (from 0) of text split at separator into out.
// Mode 1 also skips characters below 33 after each separator and strips them
// from the end of the field. Returns 1 when the field exists and fewer than
// size - 1 characters were copied (a field that fills size - 1 characters
// gives 0, as it may have been cut); an empty text gives an empty field and
// 0.
int Str_GetToken(const char *text, char separator, int mode, int index, char *out, int size);

// Copies one line of buffer (length bytes) into line, which holds
// kStrLineBytes: at most 78 characters, always terminated. A line ends at a
// pair of line breaks (CR LF, LF CR, CR CR or LF LF), which is consumed; a
// single CR or LF is an ordinary character. Returns 1 when a line end was
// found; *consumed is the bytes used. A longer line stops after 78 characters
// with 0, and the next call goes on with the rest.
constexpr int kStrLineBytes = 79;
int Str_ReadLine(const char *buffer, int length, char *line, int *consumed);

// 1 when text matches pattern: '*' matches any run of characters, "\*" a
// literal '*'; every other character matches itself (ASCII case folded when
// noCase is 1). The pattern ends at its terminator or at stopChar. Runs in
// O(text x pattern) time at worst.
int Str_MatchWildcard(const char *text, const char *pattern, char stopChar, int noCase);

// The list "*" matches everything, an empty list nothing; otherwise each
// ';'-separated pattern (blanks after a ';' skipped) is tried without regard
// to case and the first match gives 1.
int Str_MatchWildcardList(const char *text, const char *list);
