// ApiGen: see apigen.h.
#include "core/bridge/apigen.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "core/formats/dictionary.h"
#include "core/runtime/core.h"
#include "core/runtime/base64.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"

namespace {

constexpr int32_t kApiGenMaxClasses = 64;
const ApiGenClass *gClasses[kApiGenMaxClasses];
int32_t gClassCount = 0;

int apiGenIsNumber(DictionaryType type) {
  return type == kDictionaryTypeFloat64 || type == kDictionaryTypeInt64;
}

// The item of key name when it has the wanted type (any number type for
// wantNumber); logs and answers 0 otherwise.
int apiGenFind(Dictionary *request, const char *className, const char *method, const char *name,
               DictionaryType type, int wantNumber, DictionaryItem **item) {
  *item = nullptr;
  DictionaryItem *found = nullptr;
  if (!Dictionary_FindKey(request, name, nullptr, &found)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Parameter missing (%s.%s::%s)\n", className, method, name);
    return 0;
  }
  DictionaryType actual = kDictionaryTypeUnknown;
  Dictionary_GetItemType(request, found, &actual);
  if (wantNumber ? !apiGenIsNumber(actual) : actual != type) {
    Log_Print(LOG_ERROR, KSRC, 0, "Incorrect parameter type (%s.%s::%s)\n", className, method,
              name);
    return 0;
  }
  *item = found;
  return 1;
}

// Reads a number parameter as an integer by the rule of apigen.h.
int apiGenGetInteger(Dictionary *request, const char *className, const char *method,
                     const char *name, int64_t *value) {
  *value = 0;
  DictionaryItem *item = nullptr;
  if (!apiGenFind(request, className, method, name, kDictionaryTypeFloat64, 1, &item)) return 0;
  const char *text = nullptr;
  int32_t length = 0;
  Dictionary_GetItemText(request, item, &text, &length);
  if (!ApiGen_TextToInt64(text, value)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Incorrect parameter type (%s.%s::%s)\n", className, method,
              name);
    return 0;
  }
  return 1;
}

}  // namespace

int ApiGen_TextToInt64(const char *text, int64_t *value) {
  CHECK_POINTER(text);
  CHECK_POINTER(value);
  *value = 0;
  const char *p = text;
  int negative = 0;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    *value = Str_ToInt64(text);
    return 1;
  }
  // "NaN", "Inf" and "-Inf" (non-finite Float64 items) have no 64-bit value.
  if (*p == 'N' || *p == 'n' || *p == 'I' || *p == 'i') return 0;
  if (strpbrk(text, ".eE") != nullptr) {
    double d = std::trunc(Str_ToFloat64(text));
    // [-2^63, 2^63): both bounds are exact doubles.
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return 0;
    *value = int64_t(d);
    return 1;
  }
  uint64_t magnitude = 0;
  const char *end = p + strlen(p);
  auto [stop, error] = std::from_chars(p, end, magnitude);
  (void)stop;
  if (error == std::errc::result_out_of_range) return 0;
  if (error != std::errc()) return 1;  // no digits: 0, as Str_ToInt64 reads it
  if (negative) {
    if (magnitude > uint64_t(INT64_MAX) + 1) return 0;
    *value = int64_t(0 - magnitude);
  } else {
    if (magnitude > uint64_t(INT64_MAX)) return 0;
    *value = int64_t(magnitude);
  }
  return 1;
}

int ApiGen_FindMethod(Dictionary *request, const char *className, const char **method,
                      uint32_t *hash) {
  CHECK_POINTER(request);
  CHECK_POINTER(className);
  CHECK_POINTER(method);
  CHECK_POINTER(hash);
  *method = nullptr;
  *hash = 0;
  DictionaryItem *item = nullptr;
  if (!Dictionary_FindKey(request, "method", nullptr, &item)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Class invoker unable to find method (%s)\n", className);
    return 0;
  }
  const char *name = nullptr;
  if (!Dictionary_IsItemType(request, item, kDictionaryTypeString) ||
      !Dictionary_GetItemStringPointer(request, item, &name)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Method type is not a string (%s)\n", className);
    return 0;
  }
  DictionaryItem *hashItem = nullptr;
  int64_t stored = 0;
  DictionaryType type = kDictionaryTypeUnknown;
  if (!Dictionary_FindKey(request, "methodHash", nullptr, &hashItem) ||
      !Dictionary_GetItemType(request, hashItem, &type) || !apiGenIsNumber(type) ||
      !Dictionary_GetItemInt64(request, hashItem, &stored)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Method lookup hash not found (%s.%s)\n", className, name);
    return 0;
  }
  *method = name;
  *hash = uint32_t(stored);
  return 1;
}

int ApiGen_FindParam(Dictionary *request, const char *className, const char *method,
                     const char *name, DictionaryType type, DictionaryItem **item) {
  CHECK_POINTER(request);
  CHECK_POINTER(className);
  CHECK_POINTER(method);
  CHECK_POINTER(name);
  CHECK_POINTER(item);
  return apiGenFind(request, className, method, name, type, 0, item);
}

int ApiGen_GetParamBool(Dictionary *request, const char *className, const char *method,
                        const char *name, int32_t *value) {
  CHECK_POINTER(value);
  *value = 0;
  DictionaryItem *item = nullptr;
  if (!ApiGen_FindParam(request, className, method, name, kDictionaryTypeBoolean, &item))
    return 0;
  return Dictionary_GetItemBoolean(request, item, value);
}

int ApiGen_GetParamInt32(Dictionary *request, const char *className, const char *method,
                         const char *name, int32_t *value) {
  CHECK_POINTER(value);
  int64_t wide = 0;
  int read = ApiGen_GetParamInt64(request, className, method, name, &wide);
  *value = int32_t(uint32_t(uint64_t(wide)));
  return read;
}

int ApiGen_GetParamInt64(Dictionary *request, const char *className, const char *method,
                         const char *name, int64_t *value) {
  CHECK_POINTER(request);
  CHECK_POINTER(className);
  CHECK_POINTER(method);
  CHECK_POINTER(name);
  CHECK_POINTER(value);
  return apiGenGetInteger(request, className, method, name, value);
}

int ApiGen_GetParamDouble(Dictionary *request, const char *className, const char *method,
                          const char *name, double *value) {
  CHECK_POINTER(request);
  CHECK_POINTER(className);
  CHECK_POINTER(method);
  CHECK_POINTER(name);
  CHECK_POINTER(value);
  *value = 0.0;
  DictionaryItem *item = nullptr;
  if (!apiGenFind(request, className, method, name, kDictionaryTypeFloat64, 1, &item)) return 0;
  // The item's own reader keeps NaN and the infinities, which the number
  // grammar of their texts would read as 0.
  Dictionary_GetItemFloat64(request, item, value);
  return 1;
}

int ApiGen_GetParamString(Dictionary *request, const char *className, const char *method,
                          const char *name, const char **value) {
  CHECK_POINTER(value);
  *value = nullptr;
  DictionaryItem *item = nullptr;
  if (!ApiGen_FindParam(request, className, method, name, kDictionaryTypeString, &item)) return 0;
  return Dictionary_GetItemStringPointer(request, item, value);
}

int ApiGen_GetParamPath(Dictionary *request, const char *method, char *path) {
  CHECK_POINTER(path);
  path[0] = '\0';
  const char *text = nullptr;
  if (!ApiGen_GetParamString(request, "Path", method, "path", &text)) return 0;
  size_t length = strnlen(text, size_t(kApiGenPathBytes));
  if (length >= size_t(kApiGenPathBytes)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Parameter too long (Path.%s::path)\n", method);
    return 0;
  }
  memcpy(path, text, length + 1);
  return 1;
}

int ApiGen_Base64Decode(const char *text, uint8_t **buffer, int64_t *length, int64_t *size) {
  CHECK_POINTER(text);
  CHECK_POINTER(buffer);
  CHECK_POINTER(length);
  CHECK_POINTER(size);
  *buffer = nullptr;
  *length = 0;
  *size = 0;
  int64_t bound = 0;
  Base64_DecodedSize(int64_t(strlen(text)), &bound);
  int64_t bytes = bound + 1;
  auto *out = static_cast<uint8_t *>(MEM_ALLOC(bytes, 0));
  int64_t decoded = 0;
  if (!Base64_Decode(text, out, bytes, &decoded)) {
    MEM_FREE(out, bytes);
    return 0;
  }
  *buffer = out;
  *length = decoded;
  *size = bytes;
  return 1;
}

int ApiGen_Base64Encode(const void *data, int64_t length, char **buffer, int64_t *size) {
  CHECK_POINTER(buffer);
  CHECK_POINTER(size);
  *buffer = nullptr;
  *size = 0;
  if (length <= 0) return 0;
  CHECK_POINTER(data);
  int64_t encoded = 0;
  if (!Base64_EncodedSize(length, &encoded)) return 0;
  int64_t bytes = encoded + 10;
  auto *out = static_cast<char *>(MEM_ALLOC(bytes, 0));
  int64_t written = 0;
  Base64_Encode(data, length, out, bytes, &written);
  *buffer = out;
  *size = bytes;
  return 1;
}

namespace {

// Writes "returnValue" with the answer type's value (the neutral one when
// answer is NULL).
void apiGenWriteAnswer(Dictionary *result, ApiGenAnswerType type, const ApiGenAnswer *answer) {
  switch (type) {
    case ApiGenAnswerType::Boolean:
      Dictionary_SetBooleanByKey(result, "returnValue", answer ? answer->boolean != 0 : 0);
      break;
    case ApiGenAnswerType::Int64:
      Dictionary_SetInt64ByKey(result, "returnValue", answer ? answer->integer : 0);
      break;
    case ApiGenAnswerType::Float64:
      Dictionary_SetFloat64ByKey(result, "returnValue", answer ? answer->number : 0.0);
      break;
    case ApiGenAnswerType::String:
      if (answer && answer->null) {
        Dictionary_AddNull(result, "returnValue", nullptr);
        break;
      }
      Dictionary_SetStringByKey(result, "returnValue", answer && answer->text ? answer->text : "");
      break;
    case ApiGenAnswerType::Null:
      Dictionary_AddNull(result, "returnValue", nullptr);
      break;
  }
}

// The decoded buffers of one call, freed on every way out (a size is set
// with its buffer).
struct ApiGenBuffers {
  uint8_t *data[kApiGenMaxParams] = {};
  int64_t size[kApiGenMaxParams];
  ~ApiGenBuffers() {
    for (int32_t i = 0; i < kApiGenMaxParams; i++)
      if (data[i] != nullptr) MEM_FREE(data[i], size[i]);
  }
};

}  // namespace

int ApiGen_Dispatch(const ApiGenClass &table, void *object, Dictionary *request,
                    Dictionary *result) {
  CHECK_POINTER(request);
  CHECK_POINTER(result);
  const char *className = table.messageName;
  const char *method = nullptr;
  uint32_t hash = 0;
  if (!ApiGen_FindMethod(request, className, &method, &hash)) return 0;
  const ApiGenMethod *row = nullptr;
  for (const ApiGenMethod &candidate : table.methods) {
    if (candidate.hash == hash || candidate.alias == hash) {
      row = &candidate;
      break;
    }
  }
  if (row == nullptr) return 0;

  ApiGenValue values[kApiGenMaxParams];  // each cleared as its parameter is read
  ApiGenBuffers buffers;
  char path[kApiGenPathBytes];
  int read = 1;
  for (int32_t i = 0; read && i < kApiGenMaxParams && row->params[size_t(i)].name != nullptr;
       i++) {
    const ApiGenParam &param = row->params[size_t(i)];
    ApiGenValue &value = values[i];
    value = ApiGenValue{};
    switch (param.type) {
      case ApiGenParamType::None:
        break;
      case ApiGenParamType::Boolean:
        read = ApiGen_GetParamBool(request, className, method, param.name, &value.boolean);
        break;
      case ApiGenParamType::Int32: {
        int32_t narrow = 0;
        read = ApiGen_GetParamInt32(request, className, method, param.name, &narrow);
        value.integer = narrow;
        break;
      }
      case ApiGenParamType::Int64:
        read = ApiGen_GetParamInt64(request, className, method, param.name, &value.integer);
        break;
      case ApiGenParamType::UInt32:
        read = ApiGen_GetParamInt64(request, className, method, param.name, &value.integer);
        if (read && (value.integer < 0 || value.integer > int64_t(UINT32_MAX))) {
          Log_Print(LOG_ERROR, KSRC, 0, "Parameter out of range (%s.%s::%s)\n", className,
                    method, param.name);
          read = 0;
        }
        break;
      case ApiGenParamType::Double:
        read = ApiGen_GetParamDouble(request, className, method, param.name, &value.number);
        break;
      case ApiGenParamType::String:
        read = ApiGen_GetParamString(request, className, method, param.name, &value.text);
        break;
      case ApiGenParamType::Path:
        read = ApiGen_GetParamPath(request, method, path);
        value.text = path;
        break;
      case ApiGenParamType::Base64: {
        const char *text = nullptr;
        read = ApiGen_GetParamString(request, className, method, param.name, &text);
        if (read && !ApiGen_Base64Decode(text, &buffers.data[i], &value.length,
                                         &buffers.size[i])) {
          Log_Print(LOG_ERROR, KSRC, 0, "Incorrect parameter type (%s.%s::%s)\n", className,
                    method, param.name);
          read = 0;
        }
        value.data = buffers.data[i];
        break;
      }
    }
  }
  if (!read) {
    apiGenWriteAnswer(result, row->answer, nullptr);
    return 0;
  }
  ApiGenAnswer answer;
  row->handler(object, values, &answer);
  apiGenWriteAnswer(result, row->answer, &answer);
  return 1;
}

ApiGenRegistrar::ApiGenRegistrar(const ApiGenClass *table) {
  CHECK_POINTER(table);
  if (gClassCount >= kApiGenMaxClasses) Core_Abort(KSRC, "Too many script classes\n");
  gClasses[gClassCount++] = table;
}

std::span<const ApiGenClass *const> ApiGen_GetClasses(void) {
  return {gClasses, size_t(gClassCount)};
}
