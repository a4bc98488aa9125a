// Json: turns JSON text into a Dictionary tree and writes a Dictionary tree
// as JSON text. Input comes from the caller's memory (read in place, never
// copied), a formatted string or any stream (read through a 4096-byte buffer
// filled by one Read at a time); output goes to a stream, a caller's buffer or
// only to a length count. A caller may watch (and veto) every node through
// the node callback; with no target Dictionary the reader builds nothing and
// only reports nodes. The reader is lenient: it logs some mistakes (commas,
// long member names) and goes on.
//
// Invariants: (1) every parse begins with Json_Reset, so parsing replaces the
// target's contents; the target and the compact flag stay between parses.
// (2) a parse answers 1 only when it stopped without an error code and the
// stream reported no error; on failure the error code also goes into the
// stream's error field when that is still 0. (3) the root value becomes one
// keyless item of the target (Dictionary_Unwrap reaches an object's members);
// numbers become Float64 items holding their text exactly as written.
// (4) at most 31 containers are open at once. (5) the writer's output is valid
// JSON whatever the tree holds: number texts that are not valid JSON are
// written in canonical form, and values without a JSON form as null.
// (6) the object never owns the target Dictionary.
//
// Threads: one thread at a time per object; there is no lock.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"
#include "core/formats/dictionary.h"
#include "core/runtime/stream.h"

// Shared with the XML parser object: the destroy function tells them apart.
constexpr uint32_t kJsonTag = 0xc9b82f72;
constexpr int32_t kJsonMaxLevels = 32;       // level 0 is the target itself
constexpr int32_t kJsonNameSlotBytes = 320;  // a member name keeps at most 319 bytes
constexpr int32_t kJsonReadBufferBytes = 4096;

// Error codes (Json_ErrorName gives their names).
enum JsonError : int32_t {
  kJsonErrorNone = 0,             // "Unknown"
  kJsonErrorZeroLength = 1,       // the input has size 0
  kJsonErrorUnknownLength = 2,    // the input ended inside a value or container
  kJsonErrorType = 3,             // a level holds a type the reader cannot continue
  kJsonErrorFieldType = 4,        // a character that cannot begin a value; nesting too deep
  kJsonErrorString = 5,           // a bad escape or \u sequence
  kJsonErrorInteger = 6,          // a bad character in a number
  kJsonErrorBoolean = 7,          // a bad true/false literal
  kJsonErrorNull = 8,             // a bad null literal
  kJsonErrorDecodeSignature = 9,  // set by users of the object
  kJsonErrorAuthenticate = 10,
  kJsonErrorBuild = 11,
  kJsonErrorPartLimit = 12,  // a part of the input is over its limit (set by users)
};

// Node types the callback receives.
enum JsonNodeType : int32_t {
  kJsonNodeString = 1,
  kJsonNodeNumber = 2,
  kJsonNodeObject = 3,
  kJsonNodeArray = 4,
  kJsonNodeBoolean = 5,
  kJsonNodeNull = 6,
};

struct Json;

// Called for every value as it is read, before it is added to the tree:
// objects and arrays when they open (value text "" and length 0), scalars
// when they end (member names are not nodes). path names the enclosing levels
// and the node joined by '\' (array elements by their index from 0; the root
// value has the path ""). value is the decoded text ("true", "false", "null"
// for literals), not terminated when it lies in the input. streamPosition is
// the offset in the input of a container's bracket, of a number's or
// literal's first byte, and, for a string, the bytes read before its closing
// quote less the decoded length (the offset of its text when it holds no
// escapes). nodePosition and nodeSize both carry the value length. Answer
// nonzero to accept; answering 0 ends the parse and requires a nonzero
// *errorCode, which becomes the object's error code.
typedef int32_t (*JsonNodeCallback)(Json *json, void *context, const char *path, int32_t type,
                                    const char *value, int32_t valueLength,
                                    int64_t streamPosition, int32_t nodePosition,
                                    int32_t nodeSize, int32_t *errorCode);

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign object, and with "Pointer is
// NULL\n" on a NULL out-pointer, stream, path, format or text (a NULL text
// stops the program even with a length of 0).

// Compact flag 1, no target, no callback. Returns 1.
int32_t Json_Create(Json **json) noexcept;
// Frees the object (not the target) and clears *json.
void Json_Release(Json **json) noexcept;

// The target that parsing fills and writing reads (NULL: none).
int32_t Json_SetDictionary(Json *json, Dictionary *dictionary) noexcept;
// 1 when a target is set.
int32_t Json_GetDictionary(Json *json, Dictionary **dictionary) noexcept;
// 1: no whitespace at all (the default); 0: pretty, four spaces per level.
int32_t Json_SetCompact(Json *json, int32_t compact) noexcept;
int32_t Json_GetCompact(Json *json) noexcept;
// 1: every value of what is parsed is a secret (a credentials file): the
// node log shows "***" and no length for each; 0 (the default): only values
// under a key naming a password, secret or token are.
int32_t Json_SetSecret(Json *json, int32_t secret) noexcept;
// A NULL function clears the callback.
int32_t Json_SetNodeCallback(Json *json, void *context, JsonNodeCallback function) noexcept;
// The callback and its context (both NULL when none). Returns 1 when one is
// set.
int32_t Json_GetNodeCallback(Json *json, void **context, JsonNodeCallback *function) noexcept;

// Empties every level, the error code, positions and flags, and clears the
// target (Dictionary_Clear).
int32_t Json_Reset(Json *json) noexcept;

// Parses length bytes of text in place. A length of 0 or less answers 0 with
// kJsonErrorZeroLength.
int32_t Json_ParseMemory(Json *json, const char *text, int32_t length) noexcept;
// Parses what the stream delivers from its position, 4096 bytes per Read.
int32_t Json_ParseStream(Json *json, Stream *stream) noexcept;
// Parses the file at path (File mode 0x21 behind a 4096-byte buffer). A file
// that cannot be opened logs "Unable to open file (%s)" and answers 0 with
// the target and the error code untouched; a failed read answers 0.
int32_t Json_ParseFile(Json *json, const char *path) noexcept;
// Formats the text with the print engine into a buffer of its exact size and
// parses it. Also 1 when the parse failed without an error code.
int32_t Json_ParseFormatted(Json *json, const char *format, ...) noexcept;
int32_t Json_ParseFormattedV(Json *json, const char *format, va_list args) noexcept;

int32_t Json_GetErrorCode(Json *json, int32_t *code) noexcept;
int32_t Json_SetErrorCode(Json *json, int32_t code) noexcept;
// "Unknown" for a code outside the table.
const char *Json_ErrorName(int32_t code) noexcept;

// Writes the target; 0 when none is set or the stream refused bytes.
int32_t Json_WriteStream(Json *json, Stream *stream) noexcept;
// Writes the target into the file at path (File mode 0x22, created with its
// directories when missing) and cuts the file behind the text. 0 without a
// target (the file is not touched), when a write fails, or when the file
// cannot be opened ("Unable to open file (%s)").
int32_t Json_WriteFile(Json *json, const char *path) noexcept;
// Writes into buffer (size bytes) and sets *length to the bytes written; a
// terminator follows when there is room for it. 0 when the text did not fit
// (the buffer then holds a cut text) or no target is set.
int32_t Json_WriteMemory(Json *json, char *buffer, int32_t size, int32_t *length) noexcept;
// The length the written text would have, measured through a null stream.
int32_t Json_GetWriteLength(Json *json, int32_t *length) noexcept;
