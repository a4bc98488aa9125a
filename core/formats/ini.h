// Ini: reads an INI file into a Dictionary and writes a Dictionary back as
// one. "[name]" lines open a section (a Dictionary item of the target),
// "key=value" lines add a String item to the current section (or to the
// target before the first section), lines beginning with ';' are comments.
//
// Invariants: (1) the reader takes CR, LF or both as line ends; empty lines
// are skipped and not counted. (2) a backslash before ':', ';', '\\', 'n', 'r'
// or 't' stands for ':', ';', '\\', LF, CR or TAB anywhere in a line; before
// any other byte it stays. (3) keys, section names and values are written
// with TAB, LF, CR and backslash escaped, so they read back unchanged (an
// empty value excepted: "k=" is written and dropped on reading). (4)
// Ini_Write checks the whole tree before it writes a byte: a name that would
// read back as something else (an empty key, a key holding '=' or beginning
// with '[' or ';', a section name holding ']') fails it. (5) the target is not
// owned: Ini_Release leaves it whole.
//
// Threads: one thread at a time per object.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/formats/dictionary.h"
#include "core/runtime/stream.h"

constexpr uint32_t kIniTag = 0x438b69f6;
// A line of more bytes than this (after unescaping) ends parsing.
constexpr int32_t kIniMaxLineBytes = 4097;
constexpr int32_t kIniLineEndBytes = 8;

struct Ini {
  ObjectHeader header;
  ClassLog log;        // "Ini"
  Dictionary *target;  // not owned
  // The text written at the end of every line ("\r\n" at creation), so that
  // files stay byte for byte the same as those written elsewhere.
  char lineEnd[kIniLineEndBytes];
};

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign object, and with "Pointer is
// NULL\n" on a NULL out-pointer or stream.

int32_t Ini_Create(Ini **ini) noexcept;
// Frees the object (not the target) and clears *ini. Returns 0.
int32_t Ini_Release(Ini **ini) noexcept;
int32_t Ini_SetDictionary(Ini *ini, Dictionary *dictionary) noexcept;
// Parses the stream into the target: 1 at the end of the stream, 0 on a
// malformed or too long line (the items read so far stay) or without target.
int32_t Ini_Parse(Ini *ini, Stream *stream) noexcept;
// Ini_Parse of the file at path (File mode 0x21 behind a 4096-byte buffer).
// A file that cannot be opened logs "Unable to open file (%s)" and answers 0
// with the target untouched; a failed read answers 0.
int32_t Ini_ParseFile(Ini *ini, const char *path) noexcept;
// Writes the scalar items of one Dictionary as key=value lines. 1 when it
// wrote at least one line.
int32_t Ini_WriteSection(Ini *ini, Stream *stream, Dictionary *dictionary) noexcept;
// Writes the target: its scalars, then each keyed container as a section.
// 0 without target, on a failed write, or (before writing) when a name
// cannot be read back.
int32_t Ini_Write(Ini *ini, Stream *stream) noexcept;
// Ini_Write into the file at path (File mode 0x22, created with its
// directories when missing), cutting the file behind the text. A target that
// cannot be written leaves an existing file as it was, no target leaves it
// untouched; 0 also when a write fails or the file cannot be opened
// ("Unable to open file (%s)").
int32_t Ini_WriteFile(Ini *ini, const char *path) noexcept;
