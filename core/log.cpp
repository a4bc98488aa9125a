// Log lines and their routing; see log.h.
#include "core/log.h"

#include <cstdio>
#include <cstring>

#include "core/core.h"
#include "core/print.h"

namespace {

constexpr const char *kLevelNames[] = {"ERROR", "WARNING", "INFO", "DEBUG"};
constexpr int kMaxIndentBlanks = 2048;
constexpr uint32_t kOutputFlags = kCoreFlagWindow | kCoreFlagDebug | kCoreFlagExternalPrint;

void logConsoleWrite(const char *text) {
  fputs(text, stderr);
}

}  // namespace

int Log_IsEnabled(void) {
  uint32_t flags = Debug_Flags();
  return flags != 0 && (flags & kOutputFlags) != 0;
}

const char *Log_GetLevelName(int level) {
  return (level >= LOG_ERROR && level <= LOG_DEBUG) ? kLevelNames[level] : kLevelNames[0];
}

void Log_Print(int level, const char *sourcePath, int line, int indent, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Log_PrintV(level, sourcePath, line, indent, format, 1, args);
  va_end(args);
}

void Log_PrintV(int level, const char *sourcePath, int line, int indent, const char *format,
                int stampFlag, va_list args) {
  if (!Log_IsEnabled()) return;

  char text[kLogLineBytes];
  int length = 0;
  if (level >= LOG_ERROR && level <= LOG_DEBUG)
    length = Str_Printf(text, sizeof text, "%s - ", kLevelNames[level]);
  if (indent > 0) {
    int blanks = indent > kMaxIndentBlanks / 4 ? kMaxIndentBlanks : indent * 4;
    memset(text + length, ' ', size_t(blanks));
    length += blanks;
  }
  text[length] = '\0';
  int fitted = Str_AppendVPrintf4096(text, format, args);
  Log_Write(text, 0, stampFlag);
  if (!fitted)
    Log_Print(LOG_INFO, sourcePath ? sourcePath : "Unknown", line, 0,
              "\n\n***** Last string too large for debug buffer\n\n");
}

void Log_Write(const char *text, int isError, int stampFlag) {
  (void)isError;
  (void)stampFlag;
  if (Debug_Flags() & kCoreFlagWindow) logConsoleWrite(text);
}

void Log_WriteRaw(const char *text) {
  if (Debug_Flags() == 0) return;
  Log_Write(text, 0, 0);
}

int Log_GetVerboseLevel(const char *name, int *level) {
  CHECK_POINTER(name);
  CHECK_POINTER(level);
  *level = 0;
  if (Debug_Flags() & kCoreFlagCtrlVerbose) {
    *level = 8;
    return 1;
  }
  return 0;
}
