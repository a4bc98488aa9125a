// JsonCheck: the strict reading of the JSON text a user writes by hand (the
// command's repository, application and credentials files). It builds
// nothing: it says whether the text is one valid JSON value (RFC 8259, a
// UTF-8 byte order mark allowed before it) and, when not, where and why, so
// that the error names the line and column to fix. The lenient reader
// (core/formats/json.h) still builds the tree afterwards.
//
// Invariants: (1) line and column count from 1; the column counts bytes.
// (2) the first fault is reported and nothing after it is read. (3) nesting
// deeper than kJsonCheckMaxDepth is a fault, so the check needs no
// recursion limit of its own.
//
// Threads: any thread; nothing is kept between calls.
#pragma once

#include <cstdint>

constexpr int32_t kJsonCheckMaxDepth = 64;
constexpr int kJsonCheckReasonBytes = 128;

struct JsonCheckFault {
  int32_t line;
  int32_t column;
  char reason[kJsonCheckReasonBytes];  // "missing ',' or '}' after the member"
};

// 1 when length bytes of text are exactly one JSON value with optional white
// space around it; else 0 with *fault where the text first went wrong.
int JsonCheck_Text(const char *text, int64_t length, JsonCheckFault *fault);
