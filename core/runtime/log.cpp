// The log: line building, time stamps, console and file output, the verbose
// list; see log.h.
#include "core/runtime/log.h"

#include <atomic>
#include <cassert>
#include <cstring>
#include <string>
#include <string_view>

#include "core/runtime/cmdline.h"
#include "core/runtime/core.h"
#include "core/runtime/critsection.h"
#include "core/runtime/memory.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/runtime/time.h"
#include "core/security/executable.h"
#include "keelson_version.h"

namespace {

constexpr const char *kLevelNames[] = {"ERROR", "WARNING", "INFO", "DEBUG"};
constexpr int kMaxIndentBlanks = 2048;
constexpr uint32_t kOutputFlags = kCoreFlagWindow | kCoreFlagDebug | kCoreFlagExternalPrint;
constexpr int kOpenAttempts = 10;
constexpr uint32_t kOpenRetryPauseMs = 100;
// After a round of failed opens, file output rests this long: each round costs
// a second under the log lock, which would stall every logging thread.
constexpr double kOpenBackoffSeconds = 5.0;
constexpr int kVerboseOptionChars = 239;
constexpr int kFileIdChars = 259;

struct VerboseEntry {
  char pattern[40];
  uint32_t negate;
  uint32_t level;
  VerboseEntry *next;
};

struct GlobalLogRecord {
  CriticalSection *lock = nullptr;
  double lastStampTime = -1;
  char stamp[80] = "";
  int fd = -1;                        // -1 while closed
  bool console = false;               // console attached (flag 0x1 seen)
  char logPath[kPathMax] = "";
  char fileId[kPathMax] = "";
  char openName[kPathMax] = "";
  VerboseEntry *verbose = nullptr;
  double openBackoffUntil = 0;        // monotonic seconds; 0: no rest
  bool openRefused = false;           // openName is not ours to write: no file
  std::atomic<int64_t> openAttempts{0};
};

GlobalLogRecord gLogRecord;
std::atomic<GlobalLogRecord *> gLog{nullptr};
std::atomic<int> gGlobalLevel{LOG_DEBUG};
std::atomic<PlatformConsoleHook> gConsoleHook{nullptr};

GlobalLogRecord *logGet() { return gLog.load(std::memory_order_acquire); }

struct LogLockGuard {
  CriticalSection *lock;
  explicit LogLockGuard(GlobalLogRecord *log) : lock(log ? log->lock : nullptr) {
    if (lock) CriticalSection_Enter(lock);
  }
  ~LogLockGuard() {
    if (lock) CriticalSection_Leave(lock);
  }
};

void logConsoleWrite(const char *text) {
  uint32_t flags = Debug_Flags();
  // Per-thread logging keeps the console for the main thread's lines.
  if ((flags & kCoreFlagPerThread) && Platform_GetThreadId() != Core_GetMainThreadId()) return;
  Platform_ConsoleWrite(text, strlen(text));
}

// The file name for the calling thread: the log path without its extension,
// then the date, file id, process and thread parts, then the extension.
// Returns 0 when the name does not fit (no file output rather than a cut name).
int logBuildFileName(const GlobalLogRecord *log, char *out, int size) {
  const char *path = log->logPath;
  if (path[0] == '\0') return 0;
  const char *slash = strrchr(path, '/');
  const char *dot = strrchr(slash ? slash + 1 : path, '.');
  size_t stemLength = dot ? size_t(dot - path) : strlen(path);
  const char *extension = dot ? dot : ".log";
  if (stemLength >= size_t(size)) return 0;

  StrBuf sb;
  StrBuf_Init(&sb, out, size);
  StrBuf_Write(&sb, path, int64_t(stemLength), nullptr);
  uint32_t flags = Debug_Flags();
  char part[64];
  if (flags & kCoreFlagPerDay) {
    Time_FormatHttpDate(11, part, sizeof part, Time_NowLocal());
    for (char *c = part; *c; c++)
      if (*c == '/') *c = '.';
    StrBuf_Write(&sb, ".", 1, nullptr);
    StrBuf_Write(&sb, part, -1, nullptr);
  }
  if (log->fileId[0]) {
    StrBuf_Write(&sb, ".", 1, nullptr);
    StrBuf_Write(&sb, log->fileId, -1, nullptr);
  }
  if (flags & kCoreFlagPerProcess) {
    Str_Printf(part, sizeof part, ".P%u", Platform_GetProcessId());
    StrBuf_Write(&sb, part, -1, nullptr);
  }
  uint32_t thread = Platform_GetThreadId();
  if ((flags & kCoreFlagPerThread) && thread != Core_GetMainThreadId()) {
    Str_Printf(part, sizeof part, ".T%u", thread);
    StrBuf_Write(&sb, part, -1, nullptr);
  }
  StrBuf_Write(&sb, extension, -1, nullptr);
  return StrBuf_Finish(&sb);
}

// Opens the current file when none is open: one round of attempts, then a
// rest before the next round. Called with the log lock held.
bool logEnsureOpen(GlobalLogRecord *log, int isError) {
  if (log->fd >= 0) return true;
  if (log->openRefused) return false;
  double now = Platform_GetTickSeconds();
  if (log->openBackoffUntil != 0 && now < log->openBackoffUntil) return false;
  int append = (Debug_Flags() & kCoreFlagAppend) || isError;
  for (int attempt = 0; attempt < kOpenAttempts; attempt++) {
    log->openAttempts.fetch_add(1, std::memory_order_relaxed);
    int inUse = 0;
    log->fd = Platform_LogFileOpen(log->openName, append, &inUse);
    if (log->fd >= 0) {
      log->openBackoffUntil = 0;
      if (inUse) {
        char line[kPathMax + 128];
        Str_Printf(line, sizeof line,
                   "Log file (%s) in use by another process: appending to it, not cutting it\n",
                   log->openName);
        Platform_LogFileWrite(log->fd, line, strlen(line));
      }
      return true;
    }
    if (log->fd == kPlatformLogFileRefused) {
      // Said once, and on stderr, as the file cannot carry it.
      log->fd = -1;
      log->openRefused = true;
      char line[kPathMax + 128];
      Str_Printf(line, sizeof line,
                 "Log file (%s) is a link or not the user's own file, or a link stands on its "
                 "path: logging goes on without it\n",
                 log->openName);
      Platform_ConsoleWrite(line, strlen(line));
      return false;
    }
    if (attempt + 1 < kOpenAttempts) Platform_SleepMs(kOpenRetryPauseMs);
  }
  log->openBackoffUntil = Platform_GetTickSeconds() + kOpenBackoffSeconds;
  return false;
}

void logFileClose(GlobalLogRecord *log) {
  if (log->fd >= 0) Platform_LogFileClose(log->fd);
  log->fd = -1;
}

// Writes text to the log file. Called with the log lock held.
void logFileWrite(GlobalLogRecord *log, const char *text, int isError) {
  uint32_t flags = Debug_Flags();
  if (!(flags & kCoreFlagDebug)) return;
  char name[kPathMax];
  if (!logBuildFileName(log, name, sizeof name)) return;
  if (strcmp(name, log->openName) != 0) {
    logFileClose(log);
    memcpy(log->openName, name, strlen(name) + 1);
    log->openBackoffUntil = 0;  // a new name deserves a fresh round
    log->openRefused = false;
  }
  if (!logEnsureOpen(log, isError)) return;
  Platform_LogFileWrite(log->fd, text, strlen(text));
  if ((flags & kCoreFlagCommit) || isError) Platform_LogFileSync(log->fd);
}

void logOutput(GlobalLogRecord *log, const char *text, int isError) {
  uint32_t flags = Debug_Flags();
  if (flags & kCoreFlagWindow) logConsoleWrite(text);
  if (log && (flags & kCoreFlagDebug)) logFileWrite(log, text, isError);
}

void logFreeVerbose(GlobalLogRecord *log) {
  while (VerboseEntry *entry = log->verbose) {
    log->verbose = entry->next;
    Mem_Free(entry, sizeof *entry, KSRC);
  }
}

// Splits the verbose option ("!Dictionary*,3Json") into entries, in order.
void logParseVerbose(GlobalLogRecord *log, const char *cmdline) {
  char value[kVerboseOptionChars + 1];
  if (!CmdLine_GetOption(cmdline, "verbose", value, sizeof value)) return;
  VerboseEntry **tail = &log->verbose;
  for (const char *p = value; *p;) {
    const char *end = strchr(p, ',');
    size_t length = end ? size_t(end - p) : strlen(p);
    auto *entry = static_cast<VerboseEntry *>(Mem_Alloc(sizeof(VerboseEntry), MEM_ZEROED, KSRC));
    size_t i = 0;
    if (i < length && p[i] == '!') {
      entry->negate = 1;
      i++;
    }
    uint32_t level = 0;
    bool digits = false;
    for (; i < length && p[i] >= '0' && p[i] <= '9'; i++) {
      if (level < 100000) level = level * 10 + uint32_t(p[i] - '0');
      digits = true;
    }
    entry->level = digits ? level : 1;
    size_t nameLength = length - i;
    if (nameLength > sizeof entry->pattern - 1) nameLength = sizeof entry->pattern - 1;
    memcpy(entry->pattern, p + i, nameLength);
    *tail = entry;
    tail = &entry->next;
    p += length + (end ? 1 : 0);
  }
}

}  // namespace

void Log_Init(const char *cmdline, const char *logPath, int level) {
  if (logGet() != nullptr)
    Core_Abort(KSRC, "Assertion failed (GlobalLog == NULL)\nLog already initialized");
  GlobalLogRecord *log = &gLogRecord;
  log->lastStampTime = -1;
  log->stamp[0] = '\0';
  log->fd = -1;
  log->console = false;
  log->logPath[0] = log->fileId[0] = log->openName[0] = '\0';
  log->verbose = nullptr;
  log->openBackoffUntil = 0;
  log->openRefused = false;
  log->openAttempts.store(0);
  gGlobalLevel.store(level);
  char fileId[kFileIdChars + 1];
  if (CmdLine_GetOption(cmdline, "debugfileid", fileId, sizeof fileId))
    memcpy(log->fileId, fileId, strlen(fileId) + 1);
  CriticalSection_Create(&log->lock);
  gLog.store(log, std::memory_order_release);
  Log_Configure(logPath);
  if (Log_IsEnabled()) logParseVerbose(log, cmdline);
}

void Log_Configure(const char *logPath) {
  GlobalLogRecord *log = logGet();
  if (log == nullptr) return;
  // The new file's directory is made before the path changes and outside
  // the lock: the lines the creation logs then go where lines went so far,
  // not to a file that cannot be opened yet.
  if (logPath != nullptr && logPath[0] && (Debug_Flags() & kCoreFlagDebug) &&
      strlen(logPath) < sizeof log->logPath) {
    char directory[kPathMax];
    Str_Copy(directory, logPath, sizeof directory);
    Path_RemoveFileName(directory);
    if (directory[0]) Platform_CreateDirectoryTree(directory);
  }
  LogLockGuard guard(log);
  uint32_t flags = Debug_Flags();
  if (!(flags & kCoreFlagWindow) && log->console) {
    Platform_ConsoleSetHandlers(nullptr);
    log->console = false;
  }
  if (logPath != nullptr) {
    size_t length = strlen(logPath);
    // A path that does not fit leaves the log without a file, never with a
    // cut name.
    if (length < sizeof log->logPath) memcpy(log->logPath, logPath, length + 1);
    else log->logPath[0] = '\0';
  }
  if (flags == 0) return;
  if ((flags & kCoreFlagWindow) && !log->console) {
    log->console = true;
    Platform_ConsoleSetHandlers(gConsoleHook.load());
  }
  if (!(flags & kCoreFlagDebug)) {
    logFileClose(log);
    log->openName[0] = '\0';
  }
}

int Log_GetFileName(char *out, int size) {
  CHECK_POINTER(out);
  out[0] = '\0';
  GlobalLogRecord *log = logGet();
  if (log == nullptr || !(Debug_Flags() & kCoreFlagDebug)) return 0;
  return logBuildFileName(log, out, size);
}

void Log_Shutdown(void) {
  GlobalLogRecord *log = logGet();
  if (log == nullptr) return;
  logFreeVerbose(log);
  CriticalSection_Delete(&log->lock);
}

void Log_Close(void) {
  GlobalLogRecord *log = logGet();
  if (log == nullptr) return;
  if (log->console) Platform_ConsoleSetHandlers(nullptr);
  logFileClose(log);
  if (log->lock) CriticalSection_Delete(&log->lock);
  logFreeVerbose(log);
  gLog.store(nullptr, std::memory_order_release);
}

void Log_SetConsoleHook(PlatformConsoleHook hook) {
  gConsoleHook.store(hook);
  GlobalLogRecord *log = logGet();
  if (log && log->console) Platform_ConsoleSetHandlers(hook);
}

int Log_IsEnabled(void) {
  uint32_t flags = Debug_Flags();
  return logGet() != nullptr && flags != 0 && (flags & kOutputFlags) != 0;
}

const char *Log_GetLevelName(int level) {
  return (level >= LOG_ERROR && level <= LOG_DEBUG) ? kLevelNames[level] : kLevelNames[0];
}

void Log_SetGlobalLevel(int level) { gGlobalLevel.store(level); }

int Log_GetGlobalLevel(void) { return gGlobalLevel.load(); }

void Log_Print(int level, const char *sourcePath, int line, int indent, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Log_PrintV(level, sourcePath, line, indent, format, 1, args);
  va_end(args);
}

void Log_PrintF(const char *format, ...) {
  va_list args;
  va_start(args, format);
  Log_PrintV(LOG_NONE, "", 0, 0, format, 0, args);
  va_end(args);
}

void Log_PrintV(int level, const char *sourcePath, int line, int indent, const char *format,
                int stampFlag, va_list args) {
  if (!Log_IsEnabled()) return;
  CHECK_POINTER(format);

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
  // An empty line carries nothing and points at a caller's mistake.
  assert(text[0] != '\0');
  Log_Write(text, 0, stampFlag);
  if (!fitted)
    Log_Print(LOG_INFO, sourcePath ? sourcePath : "Unknown", line, 0,
              "\n\n***** Last string too large for debug buffer\n\n");
}

void Log_Write(const char *text, int isError, int stampFlag) {
  GlobalLogRecord *log = logGet();
  LogLockGuard guard(log);
  if (stampFlag == 1 && log != nullptr) {
    double now = double(int64_t(Time_NowLocal()));
    if (now != log->lastStampTime) {
      Time_FormatHttpDate(123, log->stamp, sizeof log->stamp - 1, now);
      size_t length = strlen(log->stamp);
      log->stamp[length] = ' ';
      log->stamp[length + 1] = '\0';
      log->lastStampTime = now;
    }
    logOutput(log, log->stamp, isError);
  }
  logOutput(log, text, isError);
}

void Log_WriteRaw(const char *text) {
  if (Debug_Flags() == 0) return;
  Log_Write(text, 0, 0);
}

extern "C" void Debug_Print(const char *text) {
  if (Debug_Flags() == 0) return;
  Log_Write(text, 0, 1);
}

int Log_Lock(void) {
  GlobalLogRecord *log = logGet();
  if (log == nullptr || log->lock == nullptr) return 0;
  CriticalSection_Enter(log->lock);
  return 1;
}

int Log_Unlock(void) {
  GlobalLogRecord *log = logGet();
  if (log == nullptr || log->lock == nullptr) return 0;
  CriticalSection_Leave(log->lock);
  return 1;
}

int Log_GetVerboseLevel(const char *name, int *level) {
  CHECK_POINTER(name);
  CHECK_POINTER(level);
  if (Debug_Flags() & kCoreFlagCtrlVerbose) {
    *level = 8;
    return 1;
  }
  int result = 0;
  GlobalLogRecord *log = logGet();
  for (const VerboseEntry *e = log ? log->verbose : nullptr; e; e = e->next) {
    if (!Str_MatchWildcard(name, e->pattern, 0, 1)) continue;
    *level = e->negate ? 0 : int(e->level);
    result = e->negate ? 0 : 1;
  }
  return result;
}

const char *Log_MaskSecrets(const char *text, int length, char *out, int size) {
  CHECK_POINTER(out);
  if (size <= 0) return out;
  std::string masked;
  int at = 0;
  while (at < length) {
    int end = at;
    while (end < length && text[end] != ' ') end++;
    std::string_view word(text + at, size_t(end - at));
    size_t scheme = word.find("://");
    size_t start = scheme != std::string_view::npos ? scheme + 3 : 0;
    if (scheme == std::string_view::npos) {
      size_t equals = word.find('=');
      if (equals != std::string_view::npos) start = equals + 1;
    }
    size_t host = word.find_first_of("/?#", start);
    size_t user = word.substr(0, host).rfind('@');
    std::string shown(word.substr(0, start));
    if (user != std::string_view::npos && user >= start) {
      shown += "***";
      start = user;
    }
    size_t query = scheme != std::string_view::npos ? word.find('?', start)
                                                    : std::string_view::npos;
    shown += word.substr(start, query == std::string_view::npos ? word.npos : query + 1 - start);
    if (query != std::string_view::npos) shown += "***";
    masked += shown;
    if (end < length) masked += ' ';
    at = end + 1;
  }
  Str_CopyN(out, size, masked.data(), int(masked.size()));
  return out;
}

void Log_Header(const char *cmdline) {
  Log_Print(LOG_NONE, KSRC, 0, "Log Level: %s\n", Log_GetLevelName(gGlobalLevel.load()));
  Log_Print(LOG_NONE, KSRC, 0, "Version: %s\n", kKeelsonVersion);
  char field[120];
  if (Executable_GetVersionField(nullptr, "FileVersion", field, sizeof field))
    Log_Print(LOG_NONE, KSRC, 0, "File Version: %s\n", field);
  char name[120];
  if (Executable_GetVersionField(nullptr, "ProductVersion", field, sizeof field)) {
    if (!Executable_GetVersionField(nullptr, "ProductName", name, sizeof name)) name[0] = '\0';
    Log_Print(LOG_NONE, KSRC, 0, "Product Version: %s %s\n", name, field);
  }
  if (Executable_GetVersionField(nullptr, "CompanyName", field, sizeof field))
    Log_Print(LOG_NONE, KSRC, 0, "Company: %s\n", field);
  if (cmdline != nullptr) {
    // A proxy's or a URL's password may be an argument.
    char shown[4096];
    Log_Print(LOG_NONE, KSRC, 0, "Command Line: %s\n",
              Log_MaskSecrets(cmdline, int(strlen(cmdline)), shown, int(sizeof shown)));
  }
}

void Log_HexDump(void *sinkContext, LogHexSink sink, const void *data, int64_t length) {
  Core_CheckPointer(reinterpret_cast<const void *>(sink), KSRC);
  const auto *bytes = static_cast<const uint8_t *>(data);
  if (length > 0) CHECK_POINTER(data);
  for (int64_t offset = 0; offset < length; offset += 16) {
    char line[128];
    StrBuf sb;
    StrBuf_Init(&sb, line, sizeof line);
    char piece[16];
    Str_Printf(piece, sizeof piece, "%08X: ", uint32_t(offset));
    StrBuf_Write(&sb, piece, -1, nullptr);
    int64_t count = length - offset < 16 ? length - offset : 16;
    for (int i = 0; i < 16; i++) {
      if (i < count) Str_Printf(piece, sizeof piece, "%.2X ", bytes[offset + i]);
      else Str_Printf(piece, sizeof piece, "   ");
      StrBuf_Write(&sb, piece, -1, nullptr);
    }
    StrBuf_Write(&sb, "[ ", 2, nullptr);
    for (int i = 0; i < 16; i++) {
      char c = ' ';
      if (i < count) {
        uint8_t b = bytes[offset + i];
        c = (b >= 32 && b < 127 && b != '%') ? char(b) : '.';
      }
      StrBuf_Write(&sb, &c, 1, nullptr);
    }
    StrBuf_Write(&sb, " ]\n", 3, nullptr);
    StrBuf_Finish(&sb);
    sink(sinkContext, line);
  }
}

int64_t Log_GetFileOpenAttempts(void) {
  GlobalLogRecord *log = logGet();
  return log ? log->openAttempts.load() : 0;
}
