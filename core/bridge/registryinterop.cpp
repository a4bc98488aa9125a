// QVN.Registry: a page's way into the registry service. There is no object;
// every operation goes through the by-name registry calls, which make key
// paths canonical, apply the registry whitelist and record a security group
// on the keys a set creates or opens. The views "32" and "64" are one.
//
// Threads: main thread (the dispatcher holds no state of its own).
#include <cstdint>

#include "core/bridge/apigen.h"
#include "core/bridge/coreinterop.h"
#include "core/platform/registry.h"
#include "core/runtime/memory.h"

namespace {

using P = ApiGenParamType;
constexpr ApiGenParam kView{"view", P::String};
constexpr ApiGenParam kSecurity{"security", P::String};
constexpr ApiGenParam kType{"type", P::String};
constexpr ApiGenParam kKey{"key", P::String};
constexpr ApiGenParam kName{"name", P::String};
constexpr ApiGenParam kValue{"value", P::String};
constexpr ApiGenParam kValueInt32{"value", P::Int32};
constexpr ApiGenParam kValueInt64{"value", P::Int64};
constexpr ApiGenParam kValueData{"value", P::Base64};
constexpr ApiGenParam kDefault{"defaultValue", P::String};
constexpr ApiGenParam kDefaultInt32{"defaultValue", P::Int32};
constexpr ApiGenParam kDefaultInt64{"defaultValue", P::Int64};
constexpr ApiGenParam kDefaultData{"defaultValue", P::Base64};
// getString's answer: a value as text and its terminator.
constexpr int kRegistryInteropTextBytes = 8192;

// Setters: v = view, security, type, key, name, value.
void setString(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Registry_SetString(v[0].text, v[1].text, v[2].text, v[3].text, v[4].text,
                                       v[5].text);
}

void setInt32(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Registry_SetInt32(v[0].text, v[1].text, v[2].text, v[3].text, v[4].text,
                                      int32_t(v[5].integer));
}

void setInt64(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean =
      Registry_SetInt64(v[0].text, v[1].text, v[2].text, v[3].text, v[4].text, v[5].integer);
}

void setData(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = v[5].length <= int64_t(UINT32_MAX) &&
                    Registry_SetBinary(v[0].text, v[1].text, v[2].text, v[3].text, v[4].text,
                                       v[5].data, uint32_t(v[5].length));
}

// Getters: v = view, type, key, name, defaultValue.
void getString(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->storage.resize(kRegistryInteropTextBytes);
  Registry_QueryString(v[0].text, v[1].text, v[2].text, v[3].text, v[4].text,
                       answer->storage.data(), kRegistryInteropTextBytes);
  answer->storage.resize(answer->storage.find('\0'));
  answer->text = answer->storage.c_str();
}

void getInt32(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  int32_t value = 0;
  Registry_GetInt32(v[0].text, v[1].text, v[2].text, v[3].text, int32_t(v[4].integer), &value);
  answer->integer = value;
}

void getInt64(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  int64_t value = 0;
  Registry_GetInt64(v[0].text, v[1].text, v[2].text, v[3].text, v[4].integer, &value);
  answer->integer = value;
}

// The value's bytes (or the default's) as Base64; null when there were none.
void getData(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  void *data = nullptr;
  uint32_t size = 0;
  uint32_t defaultSize = v[4].length <= int64_t(UINT32_MAX) ? uint32_t(v[4].length) : 0;
  Registry_GetBinary(v[0].text, v[1].text, v[2].text, v[3].text, v[4].data, defaultSize, &data,
                     &size);
  char *text = nullptr;
  int64_t textSize = 0;
  if (data == nullptr || !ApiGen_Base64Encode(data, size, &text, &textSize)) {
    if (data != nullptr) MEM_FREE(data, size + 1);
    answer->null = 1;
    return;
  }
  answer->storage = text;
  MEM_FREE(text, textSize);
  MEM_FREE(data, size + 1);
  answer->text = answer->storage.c_str();
}

// Keys: v = view, type, key (, name).
void deleteKey(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Registry_DeleteKey(v[0].text, v[1].text, v[2].text);
}

void deleteValue(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Registry_DeleteValue(v[0].text, v[1].text, v[2].text, v[3].text);
}

void keyExists(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Registry_KeyExists(v[0].text, v[1].text, v[2].text);
}

using N = ApiGenName;
constexpr auto kBoolean = ApiGenAnswerType::Boolean;
constexpr auto kInt64 = ApiGenAnswerType::Int64;
constexpr auto kString = ApiGenAnswerType::String;
constexpr ApiGenMethod kRegistryMethods[] = {
    ApiGen_Method(0x87dba765, "setString", N::Settled,
                  {kView, kSecurity, kType, kKey, kName, kValue}, kBoolean, setString),
    ApiGen_Method(0x76f7b418, "getString", N::Settled, {kView, kType, kKey, kName, kDefault},
                  kString, getString),
    ApiGen_Method(0xef9e2bbb, "setInt32", N::Settled,
                  {kView, kSecurity, kType, kKey, kName, kValueInt32}, kBoolean, setInt32),
    ApiGen_Method(0x176f146a, "getInt32", N::Settled,
                  {kView, kType, kKey, kName, kDefaultInt32}, kInt64, getInt32),
    ApiGen_Method(0x7b8a7acb, "setInt64", N::Settled,
                  {kView, kSecurity, kType, kKey, kName, kValueInt64}, kBoolean, setInt64),
    ApiGen_Method(0x837b451a, "getInt64", N::Settled,
                  {kView, kType, kKey, kName, kDefaultInt64}, kInt64, getInt64),
    ApiGen_Method(0x38024e6f, "setData", N::Settled,
                  {kView, kSecurity, kType, kKey, kName, kValueData}, kBoolean, setData),
    ApiGen_Method(0xab93f6b2, "getData", N::Settled, {kView, kType, kKey, kName, kDefaultData},
                  kString, getData),
    ApiGen_Method(0x2694a7c4, "deleteKey", N::Settled, {kView, kType, kKey}, kBoolean,
                  deleteKey),
    ApiGen_Method(0xc492adf1, "deleteValue", N::Settled, {kView, kType, kKey, kName}, kBoolean,
                  deleteValue),
    ApiGen_Method(0xdd35f2d5, "keyExists", N::Settled, {kView, kType, kKey}, kBoolean,
                  keyExists),
};
static_assert(ApiGen_TableIsSound(kRegistryMethods));

constexpr ApiGenClass kRegistryClass{"Registry", kRegistryMethods};
const ApiGenRegistrar kRegistryRegistrar{&kRegistryClass};

}  // namespace

int RegistryInterop_Invoke(void *object, Dictionary *request, Dictionary *result) {
  return ApiGen_Dispatch(kRegistryClass, object, request, result);
}
