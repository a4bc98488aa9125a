// YAML: reads a subset of YAML 1.2 into a Dictionary and writes a Dictionary
// back as YAML. Workflow documents are written in it.
//
// Read: block mappings and sequences by indentation, flow sequences [...] and
// flow mappings {...} (a single "key: value" entry of a flow sequence is a
// mapping of its own, as in YAML 1.2: "[a: b]" holds {a: b}; the key and its
// ':' stand on one line), plain, single-quoted and double-quoted scalars (a
// flow plain scalar may begin with ':' when text follows it, as in "[:x]"; plain
// and quoted scalars over several lines fold as YAML 1.2 folds them),
// comments, "---" and "..." around one document. Anchors, aliases, tags and
// block scalars are not supported: their characters are plain text. Plain
// scalars are typed: empty or "null" gives Null, "true"/"false" Boolean (in
// block context without regard to case), a number Float64 (in block context
// also "0o" octal, stored as decimal text, and "0x" hex, stored as written),
// anything else String; quoted scalars are Strings.
//
// Invariants: (1) every failed parse sets a nonzero error code (below) and
// logs the reason; the items read so far stay in the target. (2) nesting is
// held to kYamlMaxLevels collections; a deeper one fails with
// kYamlErrorSyntax. (3) the writer quotes a String or key whenever its plain
// form would not read back as the same String, and decides that before it
// writes, so any stream that takes writes will do. (4) what the writer writes
// reads back as the same tree (Null, Boolean, Float64 with number text,
// String, List, Dictionary; an Unknown item or a number without text as Null).
// (5) the target Dictionary is not owned: Yaml_Release leaves it alone.
//
// Threads: one thread at a time per object.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/formats/dictionary.h"
#include "core/runtime/stream.h"

constexpr uint32_t kYamlTag = 0x52ad693a;
constexpr int32_t kYamlMaxLevels = 32;
// A key must stay below this many bytes.
constexpr int32_t kYamlMaxKeyBytes = 320;
// The read buffer of Yaml_ParseStream.
constexpr int32_t kYamlReadBufferBytes = 4096;
// The kept message of a failure is cut to this many bytes.
constexpr int32_t kYamlErrorTextBytes = 160;

// Error codes of this class (not comparable with the JSON reader's codes).
constexpr int32_t kYamlErrorSecondDocument = 1;  // a second document began; parsing stopped
constexpr int32_t kYamlErrorEmpty = 2;           // the stream held no bytes
constexpr int32_t kYamlErrorEndOfStream = 3;     // the input ended inside a token or collection
constexpr int32_t kYamlErrorSyntax = 4;          // unknown collection or field character, too deep
constexpr int32_t kYamlErrorEscape = 5;          // bad escape or Unicode value in a quoted scalar

struct Yaml;

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign object, and with "Pointer is
// NULL\n" on a NULL out-pointer, stream or text.

// A new object without target. Returns 1.
int32_t Yaml_Create(Yaml **yaml) noexcept;
// Frees the object (not the target) and clears *yaml. Returns 0.
int32_t Yaml_Release(Yaml **yaml) noexcept;
// Sets the Dictionary that parsing fills and writing reads (NULL: none).
int32_t Yaml_SetDictionary(Yaml *yaml, Dictionary *dictionary) noexcept;
// 1: every value of what is parsed is a secret (a credentials file): the
// trace shows "***" and no length for each; 0 (the default): only values
// under a key naming a password, secret or token are.
int32_t Yaml_SetSecret(Yaml *yaml, int32_t secret) noexcept;
int32_t Yaml_GetErrorCode(Yaml *yaml, int32_t *code) noexcept;
// Where the first failure of the last parse was met (line and column from
// 1; the column of the reader's cursor in that line) and its logged message
// (static until the next parse). 0 (line and column 0, text "") when the
// parse did not fail.
int32_t Yaml_GetErrorPosition(Yaml *yaml, int32_t *line, int32_t *column,
                              const char **text) noexcept;
// Error code 0, line and column 1, counters 0; clears the target. Returns 1.
int32_t Yaml_Reset(Yaml *yaml) noexcept;

// Reset, then parse the stream through a BufferedStream with a
// kYamlReadBufferBytes read buffer. 1 on success; 0 with the error code set
// (and put into the stream's error word when that is 0 or below), or when the
// stream's error word is above 0 afterwards. Without a target the text is
// checked and nothing is built.
int32_t Yaml_ParseStream(Yaml *yaml, Stream *stream) noexcept;
// The same over the caller's length bytes.
int32_t Yaml_ParseMemory(Yaml *yaml, const char *text, int32_t length) noexcept;
// Reset, then Yaml_ParseStream of the file at path (File mode 0x21). A file
// that cannot be opened logs "Unable to open file (%s)" and answers 0; a
// failed read answers 0.
int32_t Yaml_ParseFile(Yaml *yaml, const char *path) noexcept;

// Writes the items of dictionary at depth (two spaces a level): as "- "
// entries when parentType is List, as "key: " entries otherwise. A line feed
// follows every item but the last. 1 when every write succeeded.
int32_t Yaml_WriteDictionary(Yaml *yaml, Stream *stream, Dictionary *dictionary,
                             DictionaryType parentType, int32_t depth) noexcept;
// Writes the target and a final line feed; 0 when no target is set. The
// target is written as a sequence when its first item has no key.
int32_t Yaml_WriteStream(Yaml *yaml, Stream *stream) noexcept;
// Writes into the caller's buffer (no growth) and reports the bytes written;
// 0 when the text did not fit. Nothing is terminated.
int32_t Yaml_WriteMemory(Yaml *yaml, char *buffer, int32_t size, int32_t *length) noexcept;
// The bytes Yaml_WriteStream would write.
int32_t Yaml_GetWriteLength(Yaml *yaml, int64_t *length) noexcept;
