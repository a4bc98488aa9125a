// QVN.WebGet: a page's hold on the HTTP client's global settings: macro
// values, URL rewrite rules, the rewriting itself and the whitelist check.
// There is no object; every call acts on the WebGet global.
//
// A page can neither stop the program nor undo what the program fixed: the
// option words are read as 64-bit numbers and refused outside 32 bits
// (WebGet_AddUrlRedirect stops the program on such a value), and clearing
// leaves the rules the program added as immutable.
//
// Threads: any; the rules and macros are guarded inside WebGet.
#include "core/bridge/webgetinterop.h"

#include <cstdint>
#include <cstring>

#include "core/bridge/apigen.h"
#include "core/net/webget.h"

namespace {

// redirect's buffer: a URL and its terminator.
constexpr int kWebGetInteropUrlBytes = 8192;

using P = ApiGenParamType;
constexpr ApiGenParam kKey{"key", P::String};
constexpr ApiGenParam kValue{"value", P::String};
constexpr ApiGenParam kName{"name", P::String};
constexpr ApiGenParam kFlags{"flags", P::Int32};
constexpr ApiGenParam kMutable{"mutable", P::Boolean};
constexpr ApiGenParam kPattern{"pattern", P::String};
constexpr ApiGenParam kReplacement{"replacement", P::String};
constexpr ApiGenParam kCompileOptions{"compileOptions", P::UInt32};
constexpr ApiGenParam kSubOptions{"subOptions", P::UInt32};
constexpr ApiGenParam kUrl{"url", P::String};

void setMacroValue(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = WebGet_SetMacroValue(v[0].text, v[1].text);
}

void removeMacroValue(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = WebGet_RemoveMacroValue(v[0].text);
}

// v = name, flags, mutable, pattern, replacement, compileOptions, subOptions.
void addUrlRedirect(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = WebGet_AddUrlRedirect(v[0].text, uint32_t(v[1].integer), v[2].boolean,
                                          v[3].text, v[4].text, uint64_t(v[5].integer),
                                          uint64_t(v[6].integer));
}

void removeUrlRedirect(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = WebGet_RemoveUrlRedirect(v[0].text);
}

void clearUrlRedirects(void *, const ApiGenValue *, ApiGenAnswer *answer) {
  answer->boolean = WebGet_ClearMutableUrlRedirects();
}

void authorize(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = WebGet_Authorize(v[0].text);
}

// v = flags, url. The URL comes back rewritten, or as given (cut to fit the
// buffer) when no rule applied.
void redirect(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->storage.assign(v[1].text, strnlen(v[1].text, kWebGetInteropUrlBytes - 1));
  answer->storage.resize(kWebGetInteropUrlBytes);
  WebGet_RewriteUrl(uint32_t(v[0].integer), answer->storage.data(), kWebGetInteropUrlBytes);
  answer->storage.resize(strlen(answer->storage.c_str()));
  answer->text = answer->storage.c_str();
}

using N = ApiGenName;
constexpr auto kBoolean = ApiGenAnswerType::Boolean;
constexpr auto kString = ApiGenAnswerType::String;
constexpr ApiGenMethod kWebGetMethods[] = {
    ApiGen_Method(0x077907eb, "setMacroValue", N::Open, {kKey, kValue}, kBoolean,
                  setMacroValue),
    ApiGen_Method(0xce53a872, "removeMacroValue", N::Open, {kKey}, kBoolean, removeMacroValue),
    ApiGen_Method(0x173b777a, "addUrlRedirect", N::Open,
                  {kName, kFlags, kMutable, kPattern, kReplacement, kCompileOptions, kSubOptions},
                  kBoolean, addUrlRedirect),
    ApiGen_Method(0xb54ee323, "removeUrlRedirect", N::Open, {kName}, kBoolean,
                  removeUrlRedirect),
    ApiGen_Method(0x8df35bcb, "clearUrlRedirects", N::Open, {}, kBoolean, clearUrlRedirects),
    ApiGen_Method(0xc07b1b3d, "authorize", N::Settled, {kUrl}, kBoolean, authorize),
    ApiGen_Method(0xc30c9e2b, "redirect", N::Settled, {kFlags, kUrl}, kString, redirect),
};
static_assert(ApiGen_TableIsSound(kWebGetMethods));

constexpr ApiGenClass kWebGetClass{"WebGet", kWebGetMethods};
const ApiGenRegistrar kWebGetRegistrar{&kWebGetClass};

}  // namespace

int WebGetInterop_Invoke(void *object, Dictionary *request, Dictionary *result) {
  return ApiGen_Dispatch(kWebGetClass, object, request, result);
}
