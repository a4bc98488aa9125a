// libFuzzer target for the rewrite rules pages add through QVN.WebGet. The
// input is lines: a pattern, a replacement, the flags, compileOptions and
// subOptions as the page's number texts, then URLs. The rule goes through
// addUrlRedirect and every URL through redirect, both as JSON bindings handed
// to Interop_Invoke; an input starting with '{' is also handed on whole as a
// binding. A crash, a sanitizer report, a leak, a fatal stop or a call over
// libFuzzer's time limit is a finding. tests/fuzz/run.sh runs it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "core/bridge/coreinterop.h"
#include "core/bridge/interop.h"
#include "core/net/webget.h"
#include "core/platform/eventqueue.h"
#include "core/platform/thread.h"
#include "core/runtime/memstream.h"
#include "core/security/auth.h"
#include "tests/test_params.h"

namespace {

std::string gWebGetId;

// A number text as the page would send it; anything else becomes a String.
std::string fuzzNumber(const std::string &text) {
  if (text.empty()) return "0";
  for (char c : text)
    if (!(c == '-' || c == '.' || c == 'e' || c == 'E' || c == '+' || (c >= '0' && c <= '9')))
      return TestParams_Quote(text);
  return text;
}

void fuzzInvoke(const std::string &binding) {
  MemoryStream *out = nullptr;
  MemoryStream_Create(&out);
  MemoryStream_EnableGrowth(out);
  Interop_Invoke(gWebGetId.c_str(), binding.c_str(), out);
  MemoryStream_Release(&out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  Thread_Init();
  EventQueue_InitMain();
  Auth_Init();
  WebGet_Init();
  Interop_Init();
  CoreInterop_AddLibrary();
  char id[kInteropInstanceIdBytes] = {};
  if (!Interop_CreateInstance("QVN.WebGet", id, sizeof id, nullptr, nullptr)) abort();
  gWebGetId = id;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 16384) return 0;
  std::string input(reinterpret_cast<const char *>(data), size);
  if (!input.empty() && input[0] == '{') fuzzInvoke(input);
  std::vector<std::string> lines;
  std::istringstream in(input);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  lines.resize(lines.size() < 6 ? 6 : lines.size());
  fuzzInvoke(R"({"method":"addUrlRedirect","name":"fuzz","flags":)" + fuzzNumber(lines[2]) +
             R"(,"mutable":true,"pattern":)" + TestParams_Quote(lines[0]) + R"(,"replacement":)" +
             TestParams_Quote(lines[1]) + R"(,"compileOptions":)" + fuzzNumber(lines[3]) +
             R"(,"subOptions":)" + fuzzNumber(lines[4]) + "}");
  for (size_t i = 5; i < lines.size(); i++)
    fuzzInvoke(R"({"method":"redirect","flags":)" + fuzzNumber(lines[2]) + R"(,"url":)" +
               TestParams_Quote(lines[i]) + "}");
  fuzzInvoke(R"({"method":"clearUrlRedirects"})");
  return 0;
}
