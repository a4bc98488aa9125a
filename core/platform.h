// Platform: the operations the portable modules ask of the operating system.
// Each is implemented once per platform under core/posix/ (a later
// core/windows/ beside it).
//
// Threads: any thread unless an operation says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills buffer with size bytes from the system's random source. Returns 1;
// a source that fails stops the program, so callers never see a short fill.
int Platform_RandomBytes(void *buffer, size_t size);

// Path buffers: a whole Linux path. A path that does not fit is an error,
// never silently cut.
constexpr int kPlatformPathBytes = 4096;

// Process and thread identity, plain sleeping.
uint32_t Platform_GetProcessId(void);
uint32_t Platform_GetThreadId(void);
void Platform_SleepMs(uint32_t milliseconds);

// Well-known directories by id (each ends with '/'). Returns 0 when the id is
// not offered here or the result does not fit.
constexpr int kPathUserDesktop = 7;
constexpr int kPathUserAppData = 9;
constexpr int kPathCommonAppData = 11;
int Platform_GetPath(int id, char *out, int size);
// The program's own data directory ("keelson/" below the user's data
// directory, or below /var/lib for the system account). Returns 1, or 0 when
// it does not fit.
int Platform_GetAppDataDirectory(char *out, int size);

// The program file's full path when module is NULL (other modules are not
// offered yet). Returns 1; 0 with an empty out when the path cannot be read
// or does not fit in size bytes.
int Platform_GetModuleFileName(void *module, char *out, int size);
// Whether the process runs with full rights (effective user 0). Returns 1
// when the query worked, *elevated then 1 or 0.
int Platform_IsElevated(int *elevated);
// Bytes available to the user on the volume holding path (the path itself,
// no walk to a parent). Returns 1; 0 with *freeBytes 0 when the path cannot
// be queried.
int Platform_GetVolumeFreeBytes(const char *path, int64_t *freeBytes);

// The log's file and console: plain descriptors that never allocate, so the
// log can call them under its lock. Open returns a descriptor or -1.
int Platform_LogFileOpen(const char *path, int append);
void Platform_LogFileWrite(int fd, const char *data, size_t length);
void Platform_LogFileSync(int fd);
void Platform_LogFileClose(int fd);
// Creates a directory and all its parents. Returns 1 when it exists after.
int Platform_CreateDirectoryTree(const char *path);

// The console is stderr. A hook, when installed, receives the terminal's quit
// signals (SIGINT, SIGQUIT, SIGHUP, SIGTERM). It runs in signal context: it
// may only set an atomic flag. NULL restores the signals' default action.
typedef int (*PlatformConsoleHook)(void);
void Platform_ConsoleWrite(const char *text, size_t length);
void Platform_ConsoleSetHandlers(PlatformConsoleHook hook);

struct tm;

// Clocks. The wall clock may jump (the user or NTP sets it); every time-out,
// retry and elapsed-time measure uses the tick clock instead.
//
// Seconds since 1970-01-01 00:00:00 UTC from the real-time clock, fractions
// kept.
double Platform_GetWallSeconds(void);
// Seconds since the system started, counted in whole milliseconds, including
// time spent suspended; never goes back. The monotonic clock of the program.
double Platform_GetTickSeconds(void);
// The local calendar fields of a whole second since 1970 under the process's
// time zone (TZ honoured). Returns 1; 0 when the system cannot convert it
// (*fields is then zeroed).
int Platform_GetLocalFields(int64_t seconds, struct tm *fields);
