// Time: calendar time as a double, seconds since 1970-01-01 00:00:00 UTC
// (fractions allowed), its calendar fields, the HTTP date forms and
// durations. Elapsed time is measured with Platform_GetTickSeconds, never with
// this clock.
//
// Invariants: (1) the supported range is 1970-01-01 00:00:00 up to
// 9999-12-31 23:59:59.999; conversions outside it answer 0 and leave defined
// outputs (the epoch's fields, an empty text). (2) fields and seconds convert
// in closed form, without walking years, so any input costs the same.
// (3) parsed fields are range-checked before use: a text that names no real
// moment is not a date.
//
// Threads: any thread; the module keeps no state besides GlobalTime, which
// only Time_Init and Time_Shutdown change, at start-up and shutdown.
#pragma once

#include <cstdint>
#include <ctime>

// Time_FormatHttpDate flags. The three whole forms end in "GMT"; without them
// the other bits pick the parts of a numeric date.
constexpr uint32_t kTimeFormatYear = 0x1;
constexpr uint32_t kTimeFormatMonth = 0x2;
constexpr uint32_t kTimeFormatDay = 0x8;
constexpr uint32_t kTimeFormatHour = 0x10;
constexpr uint32_t kTimeFormatMinute = 0x20;
constexpr uint32_t kTimeFormatSecond = 0x40;
constexpr uint32_t kTimeFormatShort = 0x2000;        // no leading zeros, two-digit year
constexpr uint32_t kTimeFormatRfc1123Short = 0x10000000;  // "Sun, 06 Nov 94 08:49:37 GMT"
constexpr uint32_t kTimeFormatRfc850 = 0x20000000;   // "Sunday, 06-Nov-94 08:49:37 GMT"
constexpr uint32_t kTimeFormatHttp = 0x40000000;     // "Sun, 06 Nov 1994 08:49:37 GMT"
// The log's stamp (12/06/2026 13:16:11) and its file-name date (12/06/2026).
constexpr uint32_t kTimeFormatLogStamp = 123;
constexpr uint32_t kTimeFormatLogDate = 11;

// Sets up GlobalTime. A second call without Time_Shutdown stops the program
// with "Assertion failed (GlobalTime == NULL)\nTime already initialized".
void Time_Init(void);
// Clears GlobalTime; nothing happens when it is not set.
void Time_Shutdown(void);

// The current time in whole seconds.
double Time_Now(void);
// The current UTC calendar fields converted back to seconds; 0.0 on failure.
double Time_NowUtc(void);
// The current local calendar fields converted as if they were UTC: local
// wall-clock time on the same scale, for log stamps and file names; 0.0 on
// failure.
double Time_NowLocal(void);

// Converts the fields of tm (tm_sec, tm_min, tm_hour, tm_mday 1-31, tm_mon
// 0-11, tm_year since 1900; the others are ignored). Returns 1; 0 with
// *seconds 0 when a field is out of range (see Time_FromFields).
int Time_FromTm(const struct tm *tm, double *seconds);
// Fills those six fields of tm and zeroes the others. Returns 1; 0 when the
// seconds lie outside the supported range (tm then holds the epoch).
int Time_ToTm(struct tm *tm, double seconds);

// Converts calendar fields (month 1-12, day 1 up to the month's length, hour
// 0-23, minute 0-59, second 0-60, year 1970-9999) to seconds. Returns 1; 0
// with *seconds 0 when any field is out of range.
int Time_FromFields(double *seconds, int hour, int minute, int second, int month, int day,
                    int year);
// The inverse; the second is rounded down. Returns 1; 0 when the seconds are
// not finite or lie outside the supported range (the fields are then those of
// the epoch).
int Time_ToFields(int *hour, int *minute, int *second, int *month, int *day, int *year,
                  double seconds);

// Formats seconds as flags ask (see the kTimeFormat constants; several whole
// forms set: the HTTP form wins, then 0x10000000). The buffer is emptied
// first. Returns 1; 0 with an empty buffer when the seconds lie outside the
// supported range or the text does not fit in size bytes.
int Time_FormatHttpDate(uint32_t flags, char *buffer, int size, double seconds);

// Formats a duration as weeks, days, hours, minutes, seconds and milliseconds,
// leaving out parts that are 0 ("1d  1h  1m  1s 0500ms"); whole seconds are
// cut, never rounded. Negative seconds count as 0 (an empty text). Returns 1;
// 0 with an empty buffer when the seconds are not a number, too large to
// count, or the text does not fit.
int Time_FormatDuration(char *buffer, int size, double seconds);

// Parses an HTTP date in the forms of RFC 1123 ("Sun, 06 Nov 1994 08:49:37
// GMT", with a zone name or [+|-]hhmm), RFC 850 ("Sunday, 06-Nov-94 08:49:37
// GMT") and asctime ("Sun Nov  6 08:49:37 1994"). Two-digit years below 70
// mean 20xx, 70-99 mean 19xx. Returns 1 with the UTC seconds; 0 with
// *seconds 0 when the text is not a date or names no real moment.
int Time_ParseHttpDate(const char *text, double *seconds);
