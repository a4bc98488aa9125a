// Calendar time, HTTP dates and durations; see time.h.
#include "core/runtime/time.h"

#include <cmath>
#include <cstring>

#include "core/runtime/core.h"
#include "core/platform/platform.h"
#include "core/runtime/print.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int kFirstYear = 1970;
constexpr int kLastYear = 9999;
// 9999-12-31 23:59:59 is day 2932896; one past its last second.
constexpr double kEndSeconds = 253402300800.0;
constexpr int kParseTextMax = 319;  // longer texts are not dates
constexpr int kParseTokensMax = 10;

const char *const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char *const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kDayNamesLong[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
const int kDaysPerMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
// Days of a common year before each month.
const int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// The module's process record. The clocks need no state on this platform, so
// it only marks the module as set up.
struct TimeRecord {};

TimeRecord gTimeRecord;
TimeRecord *GlobalTime = nullptr;

// Broken-down UTC time of the internal form: month 1-12, full year.
struct TimeFields {
  int hour, minute, second, month, day, year;
  int weekday;  // 0 = Sunday
};

bool timeIsLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int timeDaysInMonth(int month, int year) {
  return month == 2 && timeIsLeapYear(year) ? 29 : kDaysPerMonth[month - 1];
}

// Leap years from year 1 up to and including year (year >= 0).
int64_t timeLeapYearsThrough(int64_t year) { return year / 4 - year / 100 + year / 400; }

// Days from 1970-01-01 to the first of the given month; the year's own leap
// day counts from March on.
int64_t timeDaysBefore(int year, int month) {
  int64_t days = int64_t(year - kFirstYear) * 365 + timeLeapYearsThrough(year - 1) -
                 timeLeapYearsThrough(kFirstYear - 1);
  days += kDaysBeforeMonth[month - 1];
  if (month > 2 && timeIsLeapYear(year)) days++;
  return days;
}

// Calendar date of a day count since 1970-01-01 (days >= 0), in closed form:
// shift to years that start on 1 March, so the leap day is the last day of a
// year, then split into 400-year eras of 146097 days.
void timeDateFromDays(int64_t days, int *year, int *month, int *day) {
  int64_t z = days + 719468;  // days since 0000-03-01
  int64_t era = z / 146097;
  int64_t dayOfEra = z - era * 146097;                                        // 0..146096
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);  // 0..365
  int64_t monthIndex = (5 * dayOfYear + 2) / 153;  // 0 = March
  *day = int(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  *month = int(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  *year = int(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

bool timeFieldsValid(int hour, int minute, int second, int month, int day, int year) {
  if (year < kFirstYear || year > kLastYear) return false;
  if (month < 1 || month > 12) return false;
  if (day < 1 || day > timeDaysInMonth(month, year)) return false;
  // 60 lets a leap second through; it counts as the next minute's first.
  return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 60;
}

// Fields of seconds; false (and the epoch's fields) outside the range.
bool timeSplit(double seconds, TimeFields *fields) {
  bool inRange = seconds >= 0.0 && seconds < kEndSeconds;  // false for NaN too
  int64_t whole = inRange ? int64_t(std::floor(seconds)) : 0;
  int64_t days = whole / kSecondsPerDay;
  int64_t inDay = whole % kSecondsPerDay;
  timeDateFromDays(days, &fields->year, &fields->month, &fields->day);
  fields->hour = int(inDay / 3600);
  fields->minute = int(inDay / 60 % 60);
  fields->second = int(inDay % 60);
  fields->weekday = int((days + 4) % 7);  // 1970-01-01 was a Thursday
  return inRange;
}

// Stores text in buffer when it fits whole; otherwise leaves it empty.
int timeStore(char *buffer, int size, const char *text, int length) {
  if (length >= size) return 0;
  memcpy(buffer, text, size_t(length) + 1);
  return 1;
}

// The numeric date of the other flags: month/day/year, then hour:minute:second.
int timeFormatParts(uint32_t flags, const TimeFields &f, char *out, int size) {
  bool isShort = (flags & kTimeFormatShort) != 0;
  const char *partFormat = isShort ? "%d" : "%02d";
  int year = isShort ? f.year % 100 : f.year;
  struct Unit {
    uint32_t bit;
    int value;
  };
  const Unit dateParts[] = {{kTimeFormatMonth, f.month}, {kTimeFormatDay, f.day},
                            {kTimeFormatYear, year}};
  const Unit timeParts[] = {{kTimeFormatHour, f.hour}, {kTimeFormatMinute, f.minute},
                            {kTimeFormatSecond, f.second}};
  int length = 0;
  out[0] = '\0';
  bool first = true;
  for (const Unit &part : dateParts) {
    if (!(flags & part.bit)) continue;
    if (!first) length += Str_Printf(out + length, size - length, "/");
    length += Str_Printf(out + length, size - length, partFormat, part.value);
    first = false;
  }
  if (length > 0 && (flags & (kTimeFormatHour | kTimeFormatMinute | kTimeFormatSecond)))
    length += Str_Printf(out + length, size - length, " ");
  first = true;
  for (const Unit &part : timeParts) {
    if (!(flags & part.bit)) continue;
    if (!first) length += Str_Printf(out + length, size - length, ":");
    length += Str_Printf(out + length, size - length, partFormat, part.value);
    first = false;
  }
  return length;
}

// ---- Parsing ----

struct TimeToken {
  const char *text;
  int length;
};

bool timeIsTokenSeparator(char c) {
  return c == ' ' || c == '\t' || c == ',' || c == '-' || c == ':';
}

// Splits at runs of separators. Returns the number of tokens, or -1 when
// there are more than kParseTokensMax.
int timeTokenize(const char *text, TimeToken *tokens) {
  int count = 0;
  const char *p = text;
  for (;;) {
    while (*p && timeIsTokenSeparator(*p)) p++;
    if (!*p) return count;
    if (count == kParseTokensMax) return -1;
    const char *start = p;
    while (*p && !timeIsTokenSeparator(*p)) p++;
    tokens[count++] = {start, int(p - start)};
  }
}

bool timeTokenIs(const TimeToken &token, const char *word) {
  return int(strlen(word)) == token.length && memcmp(token.text, word, size_t(token.length)) == 0;
}

// A token of decimal digits only. Large values saturate: any of them is out
// of range for every field, and leading zeros still read correctly.
bool timeTokenNumber(const TimeToken &token, int *value) {
  if (token.length == 0) return false;
  int64_t number = 0;
  for (int i = 0; i < token.length; i++) {
    char c = token.text[i];
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
    if (number > 1000000) number = 1000000;
  }
  *value = int(number);
  return true;
}

bool timeTokenMonth(const TimeToken &token, int *month) {
  if (token.length != 3) return false;
  for (int m = 0; m < 12; m++) {
    bool same = true;
    for (int i = 0; i < 3 && same; i++) {
      char c = token.text[i];
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
      char n = kMonthNames[m][i];
      if (n >= 'A' && n <= 'Z') n = char(n - 'A' + 'a');
      same = c == n;
    }
    if (same) {
      *month = m + 1;
      return true;
    }
  }
  return false;
}

// Offset of a zone token in seconds east of UTC. Names compare
// case-sensitively; "+hhmm" is east, a bare "hhmm" is west (its '-' was taken
// as a separator). Any other token means UTC.
int timeZoneOffset(const TimeToken &zone) {
  struct Zone {
    const char *name;
    int hours;
  };
  static const Zone kZones[] = {{"UT", 0},   {"UTC", 0},  {"GMT", 0},  {"Z", 0},   {"EST", -5},
                                {"EDT", -4}, {"CST", -6}, {"CDT", -5}, {"MST", -7}, {"MDT", -6},
                                {"PST", -8}, {"PDT", -7}, {"A", -1},   {"M", -12},  {"N", 1},
                                {"Y", 12}};
  for (const Zone &z : kZones)
    if (timeTokenIs(zone, z.name)) return z.hours * 3600;
  bool east = zone.length == 5 && zone.text[0] == '+';
  const char *digits = east ? zone.text + 1 : zone.text;
  if (zone.length != (east ? 5 : 4)) return 0;
  for (int i = 0; i < 4; i++)
    if (digits[i] < '0' || digits[i] > '9') return 0;
  int hours = (digits[0] - '0') * 10 + (digits[1] - '0');
  int minutes = (digits[2] - '0') * 10 + (digits[3] - '0');
  int offset = hours * 3600 + minutes * 60;
  return east ? offset : -offset;
}

}  // namespace

void Time_Init(void) {
  if (GlobalTime != nullptr)
    Core_Abort(KSRC, "Assertion failed (GlobalTime == NULL)\nTime already initialized");
  GlobalTime = &gTimeRecord;
}

void Time_Shutdown(void) { GlobalTime = nullptr; }

double Time_Now(void) { return std::floor(Platform_GetWallSeconds()); }

double Time_NowUtc(void) {
  struct tm fields;
  double seconds = 0.0;
  if (!Time_ToTm(&fields, Platform_GetWallSeconds())) return 0.0;
  Time_FromTm(&fields, &seconds);
  return seconds;
}

double Time_NowLocal(void) {
  struct tm fields;
  double seconds = 0.0;
  if (!Platform_GetLocalFields(int64_t(std::floor(Platform_GetWallSeconds())), &fields))
    return 0.0;
  Time_FromTm(&fields, &seconds);
  return seconds;
}

int Time_FromTm(const struct tm *tm, double *seconds) {
  CHECK_POINTER(tm);
  CHECK_POINTER(seconds);
  // tm_year + 1900 cannot overflow for any year that passes the range check
  // but could for INT_MAX; widen first.
  int64_t year = int64_t(tm->tm_year) + 1900;
  if (year < kFirstYear || year > kLastYear) {
    *seconds = 0.0;
    return 0;
  }
  return Time_FromFields(seconds, tm->tm_hour, tm->tm_min, tm->tm_sec, tm->tm_mon + 1,
                         tm->tm_mday, int(year));
}

int Time_ToTm(struct tm *tm, double seconds) {
  CHECK_POINTER(tm);
  TimeFields f;
  int inRange = timeSplit(seconds, &f);
  memset(tm, 0, sizeof *tm);
  tm->tm_sec = f.second;
  tm->tm_min = f.minute;
  tm->tm_hour = f.hour;
  tm->tm_mday = f.day;
  tm->tm_mon = f.month - 1;
  tm->tm_year = f.year - 1900;
  return inRange;
}

int Time_FromFields(double *seconds, int hour, int minute, int second, int month, int day,
                    int year) {
  CHECK_POINTER(seconds);
  if (!timeFieldsValid(hour, minute, second, month, day, year)) {
    *seconds = 0.0;
    return 0;
  }
  int64_t days = timeDaysBefore(year, month) + day - 1;
  *seconds = double(days * kSecondsPerDay + hour * 3600 + minute * 60 + second);
  return 1;
}

int Time_ToFields(int *hour, int *minute, int *second, int *month, int *day, int *year,
                  double seconds) {
  CHECK_POINTER(hour);
  CHECK_POINTER(minute);
  CHECK_POINTER(second);
  CHECK_POINTER(month);
  CHECK_POINTER(day);
  CHECK_POINTER(year);
  TimeFields f;
  int inRange = timeSplit(seconds, &f);
  *hour = f.hour;
  *minute = f.minute;
  *second = f.second;
  *month = f.month;
  *day = f.day;
  *year = f.year;
  return inRange;
}

int Time_FormatHttpDate(uint32_t flags, char *buffer, int size, double seconds) {
  CHECK_POINTER(buffer);
  if (size < 1) return 0;
  buffer[0] = '\0';
  TimeFields f;
  if (!timeSplit(seconds, &f)) return 0;
  // Every form fits in 64 bytes; formatting there first means a short buffer
  // gets nothing rather than half a date.
  char text[64];
  const char *monthName = kMonthNames[f.month - 1];
  int length;
  if (flags & kTimeFormatHttp) {
    length = Str_Printf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d GMT",
                        kDayNames[f.weekday], f.day, monthName, f.year, f.hour, f.minute,
                        f.second);
  } else if (flags & kTimeFormatRfc1123Short) {
    length = Str_Printf(text, sizeof text, "%s, %02d %s %02d %02d:%02d:%02d GMT",
                        kDayNames[f.weekday], f.day, monthName, f.year % 100, f.hour, f.minute,
                        f.second);
  } else if (flags & kTimeFormatRfc850) {
    length = Str_Printf(text, sizeof text, "%s, %02d-%s-%02d %02d:%02d:%02d GMT",
                        kDayNamesLong[f.weekday], f.day, monthName, f.year % 100, f.hour,
                        f.minute, f.second);
  } else {
    length = timeFormatParts(flags, f, text, sizeof text);
  }
  return timeStore(buffer, size, text, length);
}

int Time_FormatDuration(char *buffer, int size, double seconds) {
  CHECK_POINTER(buffer);
  if (size < 1) return 0;
  buffer[0] = '\0';
  if (std::isnan(seconds) || seconds >= 9.0e15) return 0;  // beyond exact whole seconds
  if (seconds < 0.0) seconds = 0.0;
  double whole = std::floor(seconds);
  int64_t n = int64_t(whole);
  struct Unit {
    int64_t value;
    const char *format;
  };
  const Unit parts[] = {
      {n / 604800, "%2lldw "},
      {n / 86400 % 7, "%lldd "},
      {n / 3600 % 24, "%2lldh "},
      {n / 60 % 60, "%2lldm "},
      {n % 60, "%2llds "},
      {int64_t((seconds - whole) * 1000.0), "%04lldms "},
  };
  char text[128];
  int length = 0;
  text[0] = '\0';
  for (const Unit &part : parts)
    if (part.value > 0)
      length += Str_Printf(text + length, int(sizeof text) - length, part.format,
                           static_cast<long long>(part.value));
  // Trim the blanks that the widths and the separators left at both ends.
  const char *begin = text;
  while (*begin == ' ') begin++;
  const char *end = text + length;
  while (end > begin && end[-1] == ' ') end--;
  int trimmed = int(end - begin);
  if (trimmed >= size) return 0;
  memcpy(buffer, begin, size_t(trimmed));
  buffer[trimmed] = '\0';
  return 1;
}

int Time_ParseHttpDate(const char *text, double *seconds) {
  CHECK_POINTER(text);
  CHECK_POINTER(seconds);
  *seconds = 0.0;
  if (strnlen(text, kParseTextMax + 1) > size_t(kParseTextMax)) return 0;
  TimeToken tokens[kParseTokensMax];
  int count = timeTokenize(text, tokens);
  if (count != 7 && count != 8) return 0;

  // The first token, the weekday, is not checked against the date.
  int day, month, year, hour, minute, second;
  int offset = 0;
  bool ok;
  if (tokens[1].length > 0 && tokens[1].text[0] >= '0' && tokens[1].text[0] <= '9') {
    ok = timeTokenNumber(tokens[1], &day) && timeTokenMonth(tokens[2], &month) &&
         timeTokenNumber(tokens[3], &year) && timeTokenNumber(tokens[4], &hour) &&
         timeTokenNumber(tokens[5], &minute) && timeTokenNumber(tokens[6], &second);
    if (count == 8) offset = timeZoneOffset(tokens[7]);
  } else {
    ok = timeTokenMonth(tokens[1], &month) && timeTokenNumber(tokens[2], &day) &&
         timeTokenNumber(tokens[3], &hour) && timeTokenNumber(tokens[4], &minute) &&
         timeTokenNumber(tokens[5], &second) && timeTokenNumber(tokens[6], &year);
  }
  if (!ok) return 0;
  if (year < 70)
    year += 2000;
  else if (year < 100)
    year += 1900;
  double local;
  if (!Time_FromFields(&local, hour, minute, second, month, day, year)) return 0;
  *seconds = local - offset;
  return 1;
}
