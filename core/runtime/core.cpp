// Core record and the fatal path; see core.h.
#include "core/runtime/core.h"

#include <atomic>
#include <cstdio>

#include "core/runtime/log.h"
#include "core/runtime/print.h"

namespace {

std::atomic<uint32_t> gCoreFlags{0};
std::atomic<CoreAbortHook> gAbortHook{nullptr};
std::atomic<int> gAborting{0};

}  // namespace

void Core_SetFlags(uint32_t flags) {
  if ((flags & kCoreFlagPerThread) && !(flags & kCoreFlagAppend))
    Core_Abort(KSRC, "Threaded logging requires append to be on\n");
  if ((flags & kCoreFlagPerProcess) && !(flags & kCoreFlagAppend))
    Core_Abort(KSRC, "Process logging requires append to be on\n");
  gCoreFlags.store(flags, std::memory_order_relaxed);
}

extern "C" uint32_t Debug_Flags(void) { return gCoreFlags.load(std::memory_order_relaxed); }

CoreAbortHook Core_SetAbortHook(CoreAbortHook hook) { return gAbortHook.exchange(hook); }

void Core_Abort(const char *sourcePath, int line, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Core_AbortV(sourcePath, line, format, args);
}

void Core_AbortV(const char *sourcePath, int line, const char *format, va_list args) {
  // A fault inside the abort path (a bad format, a broken hook) must not loop
  // back here: the second entry stops at once.
  if (gAborting.exchange(1) != 0) __builtin_trap();

  char text[kLogLineBytes];
  int length = Str_Printf(text, sizeof text, "ABORT - ");
  length += Str_VPrintf(text + length, int(sizeof text) - length, format, args);
  Str_Printf(text + length, int(sizeof text) - length, " (%s/%d)\n",
             sourcePath ? sourcePath : "Unknown", line);

  Log_Write(text, 1, 1);
  if (CoreAbortHook hook = gAbortHook.load()) hook(sourcePath, line, text);
  __builtin_trap();
}
