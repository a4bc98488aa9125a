// Test.Params: a script class for the tests, the fuzz target and the
// benchmark of the dispatcher frame. One method per parameter type, each
// answering what it read (one per answer type, too), and a module resolver
// that serves the class without an object. Header-only, so that programs
// outside the test binary include it.
//
// Threads: any; the call count is atomic.
#pragma once

#include <atomic>
#include <cstring>
#include <string>
#include <utility>

#include "core/bridge/apigen.h"
#include "core/bridge/interop.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"

// Handler calls so far (a refused call never reaches a handler).
inline std::atomic<int64_t> gTestParamsCalls{0};

namespace testparams {

inline void echoBool(void *, const ApiGenValue *v, ApiGenAnswer *a) {
  gTestParamsCalls++;
  a->boolean = v[0].boolean;
}
inline void echoInteger(void *, const ApiGenValue *v, ApiGenAnswer *a) {
  gTestParamsCalls++;
  a->integer = v[0].integer;
}
inline void echoDouble(void *, const ApiGenValue *v, ApiGenAnswer *a) {
  gTestParamsCalls++;
  a->number = v[0].number;
}
inline void echoText(void *, const ApiGenValue *v, ApiGenAnswer *a) {
  gTestParamsCalls++;
  a->text = v[0].text;
}
// The decoded bytes encoded again.
inline void echoBase64(void *, const ApiGenValue *v, ApiGenAnswer *a) {
  gTestParamsCalls++;
  char *text = nullptr;
  int64_t size = 0;
  if (ApiGen_Base64Encode(v[0].data, v[0].length, &text, &size)) {
    a->storage = text;
    a->text = a->storage.c_str();
    MEM_FREE(text, size);
  }
}
inline void nothing(void *, const ApiGenValue *, ApiGenAnswer *) { gTestParamsCalls++; }

using P = ApiGenParamType;
using A = ApiGenAnswerType;
constexpr auto kSettled = ApiGenName::Settled;
inline constexpr ApiGenMethod kMethods[] = {
    ApiGen_Method(ApiGen_Crc32("bool"), "bool", kSettled, {{{"value", P::Boolean}}}, A::Boolean,
                  echoBool),
    ApiGen_Method(ApiGen_Crc32("int32"), "int32", kSettled, {{{"value", P::Int32}}}, A::Int64,
                  echoInteger),
    ApiGen_Method(ApiGen_Crc32("int64"), "int64", kSettled, {{{"value", P::Int64}}}, A::Int64,
                  echoInteger),
    ApiGen_Method(ApiGen_Crc32("double"), "double", kSettled, {{{"value", P::Double}}},
                  A::Float64, echoDouble),
    ApiGen_Method(ApiGen_Crc32("echo"), "echo", kSettled, {{{"value", P::String}}}, A::String,
                  echoText),
    ApiGen_Method(ApiGen_Crc32("path"), "path", kSettled, {{{"path", P::Path}}}, A::String,
                  echoText),
    ApiGen_Method(ApiGen_Crc32("base64"), "base64", kSettled, {{{"value", P::Base64}}},
                  A::String, echoBase64),
    ApiGen_Method(ApiGen_Crc32("null"), "null", kSettled, {}, A::Null, nothing),
};
static_assert(ApiGen_TableIsSound(kMethods));
inline constexpr ApiGenClass kClass{"Params", kMethods};
inline const ApiGenRegistrar kRegistrar{&kClass};

}  // namespace testparams

inline int TestParams_Invoke(void *object, Dictionary *request, Dictionary *result) {
  return ApiGen_Dispatch(testparams::kClass, object, request, result);
}

// A module resolver that serves "Test.Params" (InteropCreateInstanceFunction).
inline int TestParams_GetInstance(const char *className, char *, int32_t, void *,
                                  InteropDeliveryFunction, InteropInvokeFunction *invoke,
                                  InteropReleaseFunction *, InteropProcessFunction *, void **) {
  if (strcmp(className, "Test.Params") != 0) return 0;
  *invoke = TestParams_Invoke;
  return 1;
}

// A JSON string literal of any bytes (control characters as \u00XX; other
// bytes, invalid UTF-8 too, pass through).
inline std::string TestParams_Quote(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

// Interop_Invoke on instance id: its result and the output text.
inline std::pair<int, std::string> TestParams_Call(const std::string &id,
                                                   const std::string &binding) {
  MemoryStream *out = nullptr;
  MemoryStream_Create(&out);
  MemoryStream_EnableGrowth(out);
  int answer = Interop_Invoke(id.c_str(), binding.c_str(), out);
  std::string text;
  uint8_t *p = nullptr;
  if (MemoryStream_GetLength(out) > 0 && MemoryStream_GetBuffer(out, 0, &p)) {
    text.assign(reinterpret_cast<char *>(p), size_t(MemoryStream_GetLength(out)));
    MemoryStream_ReleaseBuffer(out, &p);
  }
  MemoryStream_Release(&out);
  return {answer, text};
}
