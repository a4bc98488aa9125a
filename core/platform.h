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
