// Print: the one formatting engine of the program and the bounded print
// buffer (StrBuf) that most callers format into.
//
// The engine reads a printf-style format and hands its output in pieces to a
// sink. Beyond the usual conversions it has "%js" (JSON-escaped text),
// "%ipv4" (four bytes as a dotted address), "%r" (ordinals: 1st, 2nd),
// "%S"/"%C" (upper-cased), UTF-16 text with 'l', 'w' or '!'
// (const char16_t *) and UTF-32 text with '#' (const char32_t *).
// Integers are 32 bits unless "ll" or "I64" is given; 'l' keeps 32 bits, so
// pass int32_t/uint32_t with it, never long. "%p" prints 64 bits as 16
// upper-case hex digits. Floats: precision 12 unless given; only the first 16
// significant digits (26 with '!') are printed, the rest as '0'; "%g" uses the
// exponent form below 1e-4 or when the exponent exceeds the precision; "NaN"
// and "Inf". A conversion character the engine does not know ends the output.
// There is no format(printf) attribute: the extensions would not pass it.
//
// Invariants: (1) output never exceeds the buffer: at most size - 1
// characters and a terminator. (2) truncation is reported, never silent.
// (3) the engine never takes tracked memory (Mem_Alloc): memory reports are
// formatted while the memory lock is held. Long converted strings use plain
// malloc, the one documented exception to the tracked-allocator rule.
//
// Threads: any thread; the engine keeps no state between calls.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

// Sink flags: the first piece of an output, and the last piece of a format.
constexpr uint32_t kPrintSinkFirst = 0x1;
constexpr uint32_t kPrintSinkLast = 0x2;

// Receives one piece of output (length bytes, not terminated) and reports in
// *written how many it took. Returns 1 to go on, 0 to stop the engine. Once
// the format has been walked to its end the engine sends one empty piece
// flagged kPrintSinkLast (unless the sink stopped it before).
typedef int (*PrintSink)(void *context, uint32_t flags, const char *text, int64_t length,
                         int64_t *written);

// The engine. Returns the number of bytes the sink took (the sum of its
// *written). Stops the program on a NULL format or sink.
int64_t Str_FormatEngine(const char *format, void *sinkContext, PrintSink sink, va_list args);
// The engine with a caller's sink, arguments in the usual order.
int64_t Str_FormatToSink(const char *format, PrintSink sink, void *sinkContext, va_list args);

// Formats into buffer (size bytes, terminator included). Returns the
// characters stored; size below 1 stores nothing and gives 0. When the output
// is cut, a notice and the format go to the log. NULL buffer or format stops
// the program.
int Str_Printf(char *buffer, int size, const char *format, ...);
int Str_VPrintf(char *buffer, int size, const char *format, va_list args);

// Formats behind the text already in buffer, within the same size. Returns the
// characters appended.
int Str_AppendPrintf(char *buffer, int size, const char *format, ...);

// Appends to a buffer of exactly kLogLineBytes (4096) bytes without the
// truncation notice. Returns 1 when the whole output fit, 0 when it was cut.
int Str_AppendVPrintf4096(char *buffer, const char *format, va_list args);

// The length the output would have, terminator not counted.
int64_t Str_FormattedLength(const char *format, va_list args);

constexpr uint32_t kStrBufTag = 0x19ee5213;
constexpr uint32_t kStrBufTruncated = 0x1;

// A print sink that writes into a caller's bounded buffer; a NULL buffer only
// measures. Lives on the caller's stack; nothing to release.
struct StrBuf {
  ObjectHeader header;
  char *buffer;
  int64_t length;    // characters written so far
  int64_t capacity;  // bytes of buffer, terminator included
  uint32_t overflow; // kStrBufTruncated once anything was cut
};

// Stops the program on a NULL strBuf.
void StrBuf_Init(StrBuf *strBuf, char *buffer, int64_t capacity);
// Appends length bytes of text (-1: up to its terminator). Text that would
// reach the capacity is cut to what leaves room for the terminator and the
// buffer is marked truncated; after that nothing more is taken. Returns 1 when
// all of it was taken; stores *written when written is not NULL.
int StrBuf_Write(StrBuf *strBuf, const char *text, int64_t length, int64_t *written);
// Terminates the buffer. Returns 1 when nothing was cut.
int StrBuf_Finish(StrBuf *strBuf);
// The engine's sink for a StrBuf context.
int StrBuf_Sink(void *context, uint32_t flags, const char *text, int64_t length,
                int64_t *written);
// Every StrBuf operation stops the program on a NULL pointer or a context
// that is not a StrBuf.
