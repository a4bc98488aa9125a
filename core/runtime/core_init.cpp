// Core start-up and shutdown, and the debug options; see core.h.
#include <cstdlib>
#include <cstring>

#include "core/runtime/class.h"
#include "core/runtime/cmdline.h"
#include "core/runtime/core.h"
#include "core/runtime/expand.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/runtime/time.h"
#include "core/security/executable.h"

namespace {

constexpr const char *kDefaultLogName = "keelson.developer.log";
constexpr const char *kBareLogName = "debug.log";
constexpr const char *kLevelOptionNames[] = {"ERROR", "WARNING", "INFO", "DEBUG"};

struct GlobalCoreRecord {
  int32_t exitCode;
  uint32_t mainThreadId;
  uint32_t processId;
};

GlobalCoreRecord gCoreRecord;
GlobalCoreRecord *gCore = nullptr;

// The file-name part of a path (behind its last '/'); "" when it ends in '/'.
const char *coreFileName(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// Chooses the log path: the default name in the program's data directory, the
// desktop with 0x40000, or the debugdir option's directory. Returns 0 when the
// path does not fit (the log then has no file).
int coreLogPath(uint32_t flags, const char *cmdline, char *out, int size) {
  // The name may carry macros; a relative result goes below the program's
  // data directory, and the joined path is expanded once more.
  char path[kPathMax];
  Str_Printf(path, sizeof path, "%s", kDefaultLogName);
  if (!Str_Expand(path, sizeof path, nullptr, nullptr)) return 0;
  bool absolute = path[0] == '/' || path[0] == '\\' || (path[0] != '\0' && path[1] == ':');
  if (!absolute) {
    char directory[kPathMax];
    char joined[kPathMax];
    if (!Platform_GetAppDataDirectory(directory, sizeof directory)) return 0;
    if (Str_Printf(joined, sizeof joined, "%s%s", directory, path) >= int(sizeof joined) - 1)
      return 0;
    if (!Str_Expand(joined, sizeof joined, nullptr, nullptr)) return 0;
    Str_Printf(path, sizeof path, "%s", joined);
  }
  char name[kPathMax];
  Str_Printf(name, sizeof name, "%s", coreFileName(path)[0] ? coreFileName(path) : kBareLogName);

  char directory[kPathMax];
  if (flags & kCoreFlagDesktopLog) {
    if (!Platform_GetPath(kPathUserDesktop, directory, sizeof directory)) return 0;
  } else if ((flags & kCoreFlagDebug) &&
             CmdLine_GetOption(cmdline, "debugdir", directory, sizeof directory - 1) &&
             directory[0]) {
    // A directory given in the other system's style still works here.
    if (!Path_Normalize(directory, sizeof directory, kPathEnsureTrailing)) return 0;
  } else {
    Str_Printf(directory, sizeof directory, "%.*s", int(coreFileName(path) - path), path);
  }
  int length = Str_Printf(out, size, "%s%s", directory, name);
  return length > 0 && size_t(length) == strlen(directory) + strlen(name);
}

}  // namespace

int Core_ParseDebugOptions(uint32_t *flags, const char *cmdline) {
  CHECK_POINTER(flags);
  // A console process has no key state to read, so "Ctrl held at start" never
  // applies here and the flags start at 0.
  uint32_t f = 0;
  bool debug = false;
  char value[32];
  if (CmdLine_HasOption(cmdline, "debug")) debug = true;
  if (CmdLine_GetOption(cmdline, "debug", value, sizeof value)) {
    int level = LOG_ERROR;
    for (int i = 0; i < 4; i++)
      if (Str_CompareNoCase(value, kLevelOptionNames[i]) == 0) level = i;
    Log_SetGlobalLevel(level);
    debug = true;
  }
  if (CmdLine_HasOption(cmdline, "debugfile")) {
    f = kCoreFlagDesktopLog;
    debug = true;
  }
  if (CmdLine_HasOption(cmdline, "perday")) {
    f |= kCoreFlagPerDay | kCoreFlagAppend;
    debug = true;
  }
  if (CmdLine_HasOption(cmdline, "perthread")) {
    f |= kCoreFlagPerThread | kCoreFlagAppend;
    debug = true;
  }
  if (CmdLine_HasOption(cmdline, "perprocess")) {
    f |= kCoreFlagPerProcess | kCoreFlagAppend;
    debug = true;
  }
  if (debug) f |= kCoreFlagDebug;
  static constexpr struct {
    const char *name;
    uint32_t flag;
  } kSwitches[] = {
      {"cmdline", kCoreFlagCmdLine},           {"window", kCoreFlagWindow},
      {"commit", kCoreFlagCommit},             {"append", kCoreFlagAppend},
      {"externalprint", kCoreFlagExternalPrint}, {"memorytracking", kCoreFlagMemoryTracking},
      {"memorytest", kCoreFlagMemoryTest},     {"memoryreport", kCoreFlagMemoryReport},
  };
  for (const auto &s : kSwitches)
    if (CmdLine_HasOption(cmdline, s.name)) f |= s.flag;
  *flags = f;
  return 1;
}

int Core_Init(uint32_t flags, const char *cmdline) {
  if (gCore != nullptr)
    Core_Abort(KSRC, "Assertion failed (GlobalCore == NULL)\nCore already initialized");
  gCore = &gCoreRecord;
  gCore->exitCode = 0;
  Mem_Init((flags & kCoreFlagMemoryTracking) != 0);
  gCore->mainThreadId = Platform_GetThreadId();
  gCore->processId = Platform_GetProcessId();
  Core_SetFlags(flags);

  Time_Init();
  Class_Init();
  // The path macros take their slot before the first expansion (the log
  // path below).
  Str_SetExpandHandler(StrExpandSlot::Path, Path_MacroHandler);

  char logPath[kPathMax];
  if (!coreLogPath(flags, cmdline, logPath, sizeof logPath)) logPath[0] = '\0';
  int level = (flags & 0x3) == kCoreFlagWindow ? LOG_INFO : LOG_DEBUG;
  Log_Init(cmdline, logPath, level);
  // The header names our own file's version fields.
  Executable_Init();
  Log_Header(cmdline);
  srand(unsigned(Time_Now()));
  return 1;
}

int Core_Shutdown(void) {
  int32_t exitCode = gCore ? gCore->exitCode : 0;
  Executable_Shutdown();
  Class_Shutdown();
  Time_Shutdown();
  Log_Shutdown();
  Mem_Shutdown();
  Log_Close();
  gCore = nullptr;
  return exitCode;
}

void Core_SetExitCode(int32_t exitCode) {
  if (gCore) gCore->exitCode = exitCode;
}

int32_t Core_GetExitCode(void) { return gCore ? gCore->exitCode : 0; }

uint32_t Core_GetMainThreadId(void) { return gCore ? gCore->mainThreadId : 0; }
