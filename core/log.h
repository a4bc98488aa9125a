// Log: the one log of the process. A line is the level name and " - ", four
// blanks per indent step and the message; it goes to the console (flag 0x1)
// and to the log file (flag 0x2).
//
// Invariants: (1) nothing is formatted while Log_IsEnabled is 0, so a disabled
// line costs one test. (2) a line is at most 4095 characters; a longer message
// is cut and followed by a notice line.
//
// Threads: any thread. Lines are formatted without the log lock; the lock
// serialises the output of one call. Lock order: memory lock before log lock,
// and nothing done under the log lock allocates tracked memory.
#pragma once

#include <cstdarg>
#include <cstdint>

enum LogLevel : int {
  LOG_ERROR = 0,
  LOG_WARNING = 1,
  LOG_INFO = 2,
  LOG_DEBUG = 3,
  LOG_NONE = 4,  // any value outside 0..3 prints no level name
};

constexpr int kLogLineBytes = 4096;

// 1 when lines are to be formatted: flags not 0 and one of console, file or
// external print set.
int Log_IsEnabled(void);

// The main log call; Log_Print passes stampFlag 1.
void Log_Print(int level, const char *sourcePath, int line, int indent, const char *format, ...);
void Log_PrintV(int level, const char *sourcePath, int line, int indent, const char *format,
                int stampFlag, va_list args);

// Routes one ready text to the console and the file. isError marks an abort
// text: the file is opened for appending and flushed after it.
void Log_Write(const char *text, int isError, int stampFlag);

// Writes a ready text without a time stamp; nothing while the flags are 0.
void Log_WriteRaw(const char *text);

// "ERROR", "WARNING", "INFO", "DEBUG"; any other number gives "ERROR".
const char *Log_GetLevelName(int level);

// Verbosity configured for a class or module name (the verbose option).
// Returns 1 with *level set when a matching entry enables it; 0 otherwise.
// Stops the program on a NULL name or out-pointer.
int Log_GetVerboseLevel(const char *name, int *level);
