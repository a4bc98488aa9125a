// Log: the one log of the process. A line is the level name and " - ", four
// blanks per indent step and the message; it goes to the console (flag 0x1,
// stderr) and to the log file (flag 0x2), each text behind a time stamp
// ("12/06/2026 13:16:11 ") when its stamp flag is 1.
//
// The file name is the log path with optional parts before its extension:
// the local date (0x80), the debugfileid value, ".P<pid>" (0x200) and, for
// threads other than the main thread, ".T<tid>" (0x100).
//
// Invariants: (1) nothing is formatted while Log_IsEnabled is 0, so a disabled
// line costs one test. (2) a line is at most 4095 characters; a longer message
// is cut and followed by a notice line. (3) a log file that cannot be opened
// costs one round of attempts, then file output rests for five seconds. (4)
// the log writes (and cuts) only a regular file of the effective user's own,
// never through a link; anything else at the file's name is left as it was,
// one line on stderr says so and the log goes on without a file until the
// name changes. A file made in a shared place (a debugdir others may write
// to) is 0600.
//
// Threads: any thread. Lines are formatted without the log lock; the lock
// serialises the time stamp and the output of one call. Lock order: memory
// lock before log lock, and nothing done under the log lock allocates
// tracked memory.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/platform/platform.h"

enum LogLevel : int {
  LOG_ERROR = 0,
  LOG_WARNING = 1,
  LOG_INFO = 2,
  LOG_DEBUG = 3,
  LOG_NONE = 4,  // any value outside 0..3 prints no level name
};

constexpr int kLogLineBytes = 4096;

// Installs the log record. cmdline (NULL: the program's own) gives the
// debugfileid and verbose options; logPath the file (may be NULL); level the
// level shown in the header. A second call stops the program.
void Log_Init(const char *cmdline, const char *logPath, int level);
// Applies the current flags: attaches or releases the console, closes the
// file when 0x2 is off; a non-NULL logPath replaces the path and its directory
// is created. Used to move the log: clear 0x2, move the file, set 0x2 and 0x8
// again, then call this with the new path.
void Log_Configure(const char *logPath);
// The file the calling thread's lines go to while the log file is on
// (0x2): 1 with its name in out; else 0 with out empty.
int Log_GetFileName(char *out, int size);
// Frees the verbose entries and deletes the log lock.
void Log_Shutdown(void);
// Closes the file, releases the console and removes the log record; the last
// step of the core's shutdown.
void Log_Close(void);

// The console-hook slot: the host's quit hook, called for the terminal's quit
// signals while the console is attached. Runs in signal context, so the hook
// may only set an atomic flag. Without a hook the signals keep their default
// action.
void Log_SetConsoleHook(PlatformConsoleHook hook);

// 1 when the log exists, the flags are not 0 and one of console (0x1), file
// (0x2) or external print (0x800) is set.
int Log_IsEnabled(void);

// The main log call; Log_Print passes stampFlag 1.
void Log_Print(int level, const char *sourcePath, int line, int indent, const char *format, ...);
void Log_PrintV(int level, const char *sourcePath, int line, int indent, const char *format,
                int stampFlag, va_list args);
// No level name, no source, indent 0, no time stamp.
void Log_PrintF(const char *format, ...);

// Routes one ready text to the console and the file. isError marks an abort
// text: the file is opened for appending and flushed after it.
void Log_Write(const char *text, int isError, int stampFlag);

// Writes a ready text without a time stamp; nothing while the flags are 0.
void Log_WriteRaw(const char *text);
// Writes a ready text with a time stamp; nothing while the flags are 0.
// Handed to plug-in libraries.
extern "C" void Debug_Print(const char *text);

// Enter and leave the log lock; 0 when there is no log or no lock.
int Log_Lock(void);
int Log_Unlock(void);

// "ERROR", "WARNING", "INFO", "DEBUG"; any other number gives "ERROR".
const char *Log_GetLevelName(int level);
// The global level: chosen by debug=<level>, replaced by Log_Init's level,
// shown in the header; it filters nothing.
void Log_SetGlobalLevel(int level);
int Log_GetGlobalLevel(void);

// Verbosity configured for a class or module name (the verbose option). With
// flag 0x4 every name has level 8. Otherwise the last matching entry decides:
// a negated one gives 0 and level 0, another 1 and its level; no match gives 0.
// Stops the program on a NULL name or out-pointer.
int Log_GetVerboseLevel(const char *name, int *level);

// Writes the header lines: log level, version and, when given, the command
// line.
void Log_Header(const char *cmdline);
// text (length bytes) as a log line may show it: in each space-separated
// word, the user information of a URL or of a proxy given as
// "user:password@host" and a URL's query are written "***". Cut to fit out.
// Returns out.
const char *Log_MaskSecrets(const char *text, int length, char *out, int size);

// Formats data as hex-dump lines of 16 bytes ("%08X: " offset, hex bytes,
// "[ " characters " ]") and hands each line to sink.
typedef void (*LogHexSink)(void *sinkContext, const char *line);
void Log_HexDump(void *sinkContext, LogHexSink sink, const void *data, int64_t length);

// How many times the log tried to open its file (diagnostics and tests).
int64_t Log_GetFileOpenAttempts(void);
