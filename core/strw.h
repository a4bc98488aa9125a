// StrW: conversion between the program's UTF-8 text and the UTF-16
// (char16_t) and UTF-32 (char32_t) forms that platform interfaces and format
// arguments use.
//
// Invariants: (1) decoding rejects overlong forms and encoded surrogates, so
// checked text cannot change meaning after conversion. (2) UTF-16 surrogate
// pairs join into one code point; a lone surrogate becomes U+FFFD. (3) every
// output that has room is terminated.
//
// Threads: any thread; no state.
#pragma once

#include <cstdint>

constexpr uint32_t kStrWReplacement = 0xFFFD;

// Decodes one UTF-8 sequence (1 to 6 bytes by the lead byte). Returns 1 with
// the code point and the bytes used, or 0 when the sequence is invalid
// (a bad continuation byte, an overlong form, an encoded surrogate).
int StrW_DecodeUtf8Sequence(const char *src, uint32_t *codePoint, int *length);

// Bytes needed to encode a code point (1 to 6); 0 when it cannot be encoded
// (0x80000000 and above).
int StrW_Utf8CodePointLength(uint32_t codePoint);

// Encodes a code point into dst when room allows (else *length is 0 and the
// result is still 1). Returns 0 when the code point cannot be encoded.
int StrW_EncodeUtf8(char *dst, int room, uint32_t codePoint, int *length);

// Units before the terminator.
int StrW_Length(const char16_t *str);

// Encodes at most count units of src (stopping early at a 0 unit) as UTF-8
// into dst of size bytes; surrogate pairs are joined, lone surrogates become
// U+FFFD. Stops before a sequence that would leave no room for the
// terminator; terminates when size is at least 1. Returns the bytes written,
// terminator not counted.
int StrW_ToUtf8N(char *dst, int size, const char16_t *src, int count);

// Encodes a 0-terminated array of code points as UTF-8 into dst of size bytes.
// A code point of 0x80000000 or more makes the result empty. Returns the bytes
// written, terminator not counted.
int StrW_FromUtf32ToUtf8(char *dst, const char32_t *src, int size);
