// ApiGen: the frame of every script-class dispatcher. A class is one
// declarative table of methods; a row holds the method's hash (the CRC-32 of
// the name a page sends), its label, its parameters in reading order, its
// answer type and its handler. ApiGen_Dispatch runs any table: it finds the
// method by "method" and "methodHash", reads the parameters by name with a
// type check, calls the handler and answers under "returnValue". The common
// readers and the Base64 helpers are also for dispatchers that need more than
// a row can say.
//
// Invariants: (1) a handler runs only when every parameter of its row was
// read; otherwise the row's neutral value is the answer and the result is 0.
// (2) an unknown method or hash writes nothing. (3) a row whose label is its
// name carries hash == ApiGen_Crc32(label); a row whose name is open answers
// to its listed hash and to the CRC-32 of its label; within one class no two
// of those values collide (ApiGen_TableIsSound, checked at compile time).
// (4) Base64 buffers decoded for a call are freed before the dispatch
// returns. (5) integers are read from a number's text: with '.', 'e' or 'E'
// as a double cut toward zero, else as Str_ToInt64 reads them; a value
// outside the 64-bit range is refused as a wrong type; Int32 keeps the low
// 32 bits.
//
// Threads: no shared state; a dispatch runs on the caller's thread with the
// caller's Dictionaries. The class registry (for the table checks) is filled
// by static registrars before main and read only afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/formats/dictionary_interface.h"

struct Dictionary;
struct DictionaryItem;

// ApiGen_GetParamPath's buffer: a path and its terminator must fit.
constexpr int32_t kApiGenPathBytes = 8192;
// The most parameters a row can list.
constexpr int32_t kApiGenMaxParams = 8;

// ---- The common readers ------------------------------------------------------
// Messages go to the log at the ERROR level. NULL arguments stop the program
// with "Pointer is NULL\n".

// 1 when "method" is a String and "methodHash" a number: *method points at
// the name (valid while the request lives), *hash holds the stored hash.
// Otherwise 0 with *method NULL and *hash 0, logging "Class invoker unable to
// find method (%s)\n", "Method type is not a string (%s)\n" or "Method lookup
// hash not found (%s.%s)\n".
int ApiGen_FindMethod(Dictionary *request, const char *className, const char **method,
                      uint32_t *hash);
// 1 with *item when the request has the top-level key name with an item of
// exactly that type; 0 with *item NULL otherwise, logging "Parameter missing
// (%s.%s::%s)\n" or "Incorrect parameter type (%s.%s::%s)\n".
int ApiGen_FindParam(Dictionary *request, const char *className, const char *method,
                     const char *name, DictionaryType type, DictionaryItem **item);
// The typed readers: the out-value is zeroed first; 1 when read. Bool needs a
// Boolean, String a String (*value points into the request), the numeric
// readers a number (Float64 or Int64) item, read as invariant (5) says.
int ApiGen_GetParamBool(Dictionary *request, const char *className, const char *method,
                        const char *name, int32_t *value);
int ApiGen_GetParamInt32(Dictionary *request, const char *className, const char *method,
                         const char *name, int32_t *value);
int ApiGen_GetParamInt64(Dictionary *request, const char *className, const char *method,
                         const char *name, int64_t *value);
int ApiGen_GetParamDouble(Dictionary *request, const char *className, const char *method,
                          const char *name, double *value);
int ApiGen_GetParamString(Dictionary *request, const char *className, const char *method,
                          const char *name, const char **value);
// Copies the String parameter "path" (messages name the class "Path") into
// path, kApiGenPathBytes bytes. A path that does not fit with its terminator
// is refused ("Parameter too long (Path.%s::path)\n"), never cut. 1 or 0
// with path empty.
int ApiGen_GetParamPath(Dictionary *request, const char *method, char *path);
// The integer rule of invariant (5) on a number's text: 1 with *value, or 0
// with *value 0 for a value outside the 64-bit range.
int ApiGen_TextToInt64(const char *text, int64_t *value);

// Decodes standard Base64 text into a new buffer of *size bytes (the decoded
// bound plus the terminator: length / 4 x 3 + 10 + 1), the data terminated
// after its *length bytes. Returns the decoder's result; on 0 nothing stays
// allocated (*buffer NULL, *length and *size 0). The caller frees a buffer
// with MEM_FREE(buffer, size).
int ApiGen_Base64Decode(const char *text, uint8_t **buffer, int64_t *length, int64_t *size);
// Encodes length bytes into a new buffer of *size bytes (the encoded length
// with its terminator, plus 10), terminated. Returns 0 for no data (nothing
// allocated, *buffer NULL, *size 0), else 1.
int ApiGen_Base64Encode(const void *data, int64_t length, char **buffer, int64_t *size);

// ---- The method tables -------------------------------------------------------

// The CRC-32 of zlib (reflected 0xedb88320, initial value 0): the hash the
// bridge stores for a method name.
constexpr uint32_t ApiGen_Crc32(std::string_view text) {
  uint32_t crc = 0xffffffffu;
  for (char c : text) {
    crc ^= uint8_t(c);
    for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// What a parameter is read as. Base64 is a String decoded into bytes; Path is
// the parameter "path" read with ApiGen_GetParamPath (its name is ignored).
// UInt32 is read as Int64 and refused ("Parameter out of range (%s.%s::%s)\n")
// outside 0 to 0xFFFFFFFF, so a flag word never arrives sign-extended or cut.
enum class ApiGenParamType : uint8_t {
  None,
  Boolean,
  Int32,
  Int64,
  UInt32,
  Double,
  String,
  Path,
  Base64
};
// What "returnValue" is written as; the neutral values are false, 0, 0.0, ""
// and null.
enum class ApiGenAnswerType : uint8_t { Boolean, Int64, Float64, String, Null };
// Whether a row's label is the name pages send, or only a readable name for
// a listed hash that no known name gives.
enum class ApiGenName : uint8_t { Settled, Open };

struct ApiGenParam {
  const char *name;
  ApiGenParamType type;
};

// One read parameter. text: String and Path (the path lives in the frame);
// data and length: Base64.
struct ApiGenValue {
  int32_t boolean;
  int64_t integer;  // Int32 (sign-extended) and Int64
  double number;
  const char *text;
  const uint8_t *data;
  int64_t length;
};

// The handler's answer; only the field of the row's answer type is read.
struct ApiGenAnswer {
  int32_t boolean = 0;
  int64_t integer = 0;
  double number = 0.0;
  const char *text = nullptr;  // NULL: ""; must live until the dispatch returns
  std::string storage;         // for a text the handler builds (point text at it)
  int32_t null = 0;            // String answers: 1 writes null instead of the text
};

// handler(object, values in the row's order, answer).
typedef void (*ApiGenHandler)(void *object, const ApiGenValue *values, ApiGenAnswer *answer);

struct ApiGenMethod {
  uint32_t hash;   // the binding
  uint32_t alias;  // the CRC-32 of the label for an open name; hash otherwise
  const char *label;
  ApiGenName name;
  std::array<ApiGenParam, kApiGenMaxParams> params;  // reading order; ends at a NULL name
  ApiGenAnswerType answer;
  ApiGenHandler handler;
};

// A row. For a settled name the hash is checked against the label by
// ApiGen_TableIsSound; for an open one the label's CRC-32 becomes its alias.
constexpr ApiGenMethod ApiGen_Method(uint32_t hash, const char *label, ApiGenName name,
                                     std::array<ApiGenParam, kApiGenMaxParams> params,
                                     ApiGenAnswerType answer, ApiGenHandler handler) {
  return {hash, name == ApiGenName::Open ? ApiGen_Crc32(label) : hash, label, name, params,
          answer, handler};
}

// The compile-time checks of one class: every settled label hashes to its
// row's hash, every open row's alias is that of its label, and no two rows
// share a hash or alias (a row's own alias may equal its hash only when the
// name is settled). Use as static_assert(ApiGen_TableIsSound(kTable)).
constexpr bool ApiGen_TableIsSound(std::span<const ApiGenMethod> rows) {
  for (size_t i = 0; i < rows.size(); i++) {
    const ApiGenMethod &row = rows[i];
    if (row.label == nullptr) return false;
    if (row.name == ApiGenName::Settled) {
      if (ApiGen_Crc32(row.label) != row.hash || row.alias != row.hash) return false;
    } else if (row.alias != ApiGen_Crc32(row.label) || row.alias == row.hash) {
      return false;
    }
    for (size_t j = i + 1; j < rows.size(); j++) {
      const ApiGenMethod &other = rows[j];
      if (row.hash == other.hash || row.hash == other.alias || row.alias == other.hash ||
          row.alias == other.alias)
        return false;
    }
  }
  return true;
}

// A script class as the frame sees it: the name its messages use and its
// rows.
struct ApiGenClass {
  const char *messageName;
  std::span<const ApiGenMethod> methods;
};

// The frame: finds the method (0, nothing written, when it or its hash is
// unknown), reads the row's parameters in order (the first that fails ends
// the call: the neutral answer, result 0), calls the handler and writes its
// answer under "returnValue" (result 1), then frees decoded buffers.
int ApiGen_Dispatch(const ApiGenClass &table, void *object, Dictionary *request,
                    Dictionary *result);

// The registry of classes, for the table checks: every dispatcher file
// registers its class with a static ApiGenRegistrar.
struct ApiGenRegistrar {
  explicit ApiGenRegistrar(const ApiGenClass *table);
};
std::span<const ApiGenClass *const> ApiGen_GetClasses(void);
