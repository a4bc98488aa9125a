// Core: the process-wide core record (flags word, exit code) and the fatal
// abort routine that every module uses for programming errors.
//
// Invariants: (1) the flags word is only changed through Core_SetFlags, which
// refuses per-thread or per-process log files without append. (2) Core_Abort
// never returns; a second abort while one is running traps at once.
//
// Threads: any thread. Debug_Flags is a plain read of the flags word.
#pragma once

#include <cstdarg>
#include <cstdint>

// Every call that names its origin passes the caller's file and line.
#define KSRC __FILE__, __LINE__

// Core flags: one bit per debug option (see Core_ParseDebugOptions).
constexpr uint32_t kCoreFlagWindow = 0x1;            // log lines to the console
constexpr uint32_t kCoreFlagDebug = 0x2;             // write the log file
constexpr uint32_t kCoreFlagCtrlVerbose = 0x4;       // every class at verbosity 8
constexpr uint32_t kCoreFlagAppend = 0x8;            // append to the log file
constexpr uint32_t kCoreFlagCmdLine = 0x10;          // no message boxes
constexpr uint32_t kCoreFlagPerDay = 0x80;           // date in the log file name
constexpr uint32_t kCoreFlagPerThread = 0x100;       // a log file per thread
constexpr uint32_t kCoreFlagPerProcess = 0x200;      // process id in the name
constexpr uint32_t kCoreFlagMemoryReport = 0x400;    // a log line per alloc/free
constexpr uint32_t kCoreFlagExternalPrint = 0x800;   // format lines without output
constexpr uint32_t kCoreFlagMemoryTest = 0x4000;     // check every block each call
constexpr uint32_t kCoreFlagCommit = 0x10000;        // flush the log file per write
constexpr uint32_t kCoreFlagMemoryTracking = 0x20000;  // list every live block
constexpr uint32_t kCoreFlagDesktopLog = 0x40000;    // log file on the desktop

// Called by Core_Abort with the finished text before the process stops. The
// host installs one that shows the text to the user; tests install one that
// writes it to stderr.
typedef void (*CoreAbortHook)(const char *sourcePath, int line, const char *text);

// Reads the debug options of a command line (NULL: the program's own) into
// core flags; sets the global log level from debug=<level>. Returns 1.
int Core_ParseDebugOptions(uint32_t *flags, const char *cmdline);

// Sets up, in this order, the core record, tracked memory (tracking with
// 0x20000), the time record, the class system, the log path and the log, then
// writes the log header. A second call stops the program.
int Core_Init(uint32_t flags, const char *cmdline);
// Takes everything down in reverse and returns the exit code.
int Core_Shutdown(void);

// The process exit code that Core_Shutdown returns (0 until set).
void Core_SetExitCode(int32_t exitCode);
int32_t Core_GetExitCode(void);
// The thread that ran Core_Init (0 before).
uint32_t Core_GetMainThreadId(void);

// Validates and stores the flags. Stops the program when per-thread (0x100)
// or per-process (0x200) logging is asked for without append (0x8).
void Core_SetFlags(uint32_t flags);

// The current flags; 0 before they are set. Handed to plug-in libraries.
extern "C" uint32_t Debug_Flags(void);

// Installs the abort hook (NULL removes it); returns the previous one.
CoreAbortHook Core_SetAbortHook(CoreAbortHook hook);

// Logs "ABORT - <message> (<sourcePath>/<line>)", calls the abort hook and ends
// the process through a processor fault so that a crash handler sees the state.
[[noreturn]] void Core_Abort(const char *sourcePath, int line, const char *format, ...);
[[noreturn]] void Core_AbortV(const char *sourcePath, int line, const char *format, va_list args);

// Stops with "Pointer is NULL\n" at the caller's position when pointer is NULL.
inline void Core_CheckPointer(const void *pointer, const char *sourcePath, int line) {
  if (pointer == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
}
#define CHECK_POINTER(p) Core_CheckPointer((p), KSRC)
