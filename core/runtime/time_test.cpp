#include "core/runtime/time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

constexpr int64_t kLastDay = 2932896;  // 9999-12-31, in days since 1970-01-01
constexpr double kEndSeconds = 253402300800.0;

std::string formatDate(uint32_t flags, double seconds) {
  char buffer[64];
  EXPECT_EQ(Time_FormatHttpDate(flags, buffer, sizeof buffer, seconds), 1);
  return buffer;
}

std::string formatDuration(double seconds) {
  char buffer[64];
  EXPECT_EQ(Time_FormatDuration(buffer, sizeof buffer, seconds), 1);
  return buffer;
}

// One vector file as rows of tab-separated fields, the seed line skipped.
std::vector<std::vector<std::string>> readRows(const char *name, std::string *seedLine) {
  std::istringstream in(Test_ReadVectors(name));
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# ", 0) == 0) {
      *seedLine = line;
      continue;
    }
    std::vector<std::string> fields;
    std::istringstream cells(line);
    std::string cell;
    while (std::getline(cells, cell, '\t')) fields.push_back(cell);
    rows.push_back(fields);
  }
  return rows;
}

// Checks our fields of t against glibc's gmtime_r, and the way back against
// timegm.
void expectFieldsMatchGlibc(double t) {
  time_t whole = time_t(std::floor(t));
  struct tm expected;
  ASSERT_NE(gmtime_r(&whole, &expected), nullptr);
  int hour, minute, second, month, day, year;
  ASSERT_EQ(Time_ToFields(&hour, &minute, &second, &month, &day, &year, t), 1);
  ASSERT_EQ(hour, expected.tm_hour);
  ASSERT_EQ(minute, expected.tm_min);
  ASSERT_EQ(second, expected.tm_sec);
  ASSERT_EQ(month, expected.tm_mon + 1);
  ASSERT_EQ(day, expected.tm_mday);
  ASSERT_EQ(year, expected.tm_year + 1900);
  double back;
  ASSERT_EQ(Time_FromFields(&back, hour, minute, second, month, day, year), 1);
  ASSERT_EQ(back, double(timegm(&expected)));
  ASSERT_EQ(back, double(whole));
}

struct TzGuard {
  std::string saved;
  bool had;
  TzGuard() {
    const char *tz = getenv("TZ");
    had = tz != nullptr;
    if (had) saved = tz;
  }
  ~TzGuard() {
    if (had)
      setenv("TZ", saved.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
};

}  // namespace

TEST(TimeDeathTest, SecondInitStops) {
  Time_Init();
  EXPECT_DEATH(Time_Init(), "Assertion failed \\(GlobalTime == NULL\\)\nTime already initialized");
  Time_Shutdown();
  Time_Init();  // set up again after a shutdown
  Time_Shutdown();
}

TEST(TimeDeathTest, NullPointersStop) {
  int i;
  double d;
  char buffer[8];
  const std::function<void()> calls[] = {
      [] { Time_FromTm(nullptr, nullptr); },
      [] { Time_ToTm(nullptr, 0.0); },
      [] { Time_FromFields(nullptr, 0, 0, 0, 1, 1, 1970); },
      [&] { Time_ToFields(&i, &i, &i, &i, &i, nullptr, 0.0); },
      [] { Time_FormatHttpDate(kTimeFormatHttp, nullptr, 8, 0.0); },
      [] { Time_FormatDuration(nullptr, 8, 0.0); },
      [&] { Time_ParseHttpDate(nullptr, &d); },
      [] { Time_ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT", nullptr); },
  };
  (void)buffer;
  for (size_t n = 0; n < std::size(calls); n++) {
    SCOPED_TRACE(n);
    EXPECT_DEATH(calls[n](), "Pointer is NULL\n");
  }
}

TEST(Time, FieldsMatchGlibcOnEveryDay) {
  const uint32_t seed = 1108;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int64_t day = 0; day <= kLastDay; day++) {
    double t = double(day * 86400 + int64_t(rng() % 86400));
    expectFieldsMatchGlibc(t);
    if (HasFatalFailure()) {
      ADD_FAILURE() << "day " << day << " t " << t;
      return;
    }
  }
}

TEST(Time, FractionalTimesMatchGlibc) {
  const uint32_t seed = 4242;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> any(0.0, kEndSeconds);
  for (int n = 0; n < 1000000; n++) {
    double t = any(rng);
    if (t >= kEndSeconds) continue;
    expectFieldsMatchGlibc(t);
    if (HasFatalFailure()) {
      ADD_FAILURE() << "t " << t;
      return;
    }
  }
}

TEST(Time, TmConversionMatchesGlibc) {
  std::mt19937_64 rng(77);
  for (int n = 0; n < 100000; n++) {
    time_t whole = time_t(rng() % uint64_t(kEndSeconds));
    struct tm expected, ours;
    gmtime_r(&whole, &expected);
    ASSERT_EQ(Time_ToTm(&ours, double(whole) + 0.25), 1);
    ASSERT_EQ(ours.tm_year, expected.tm_year);
    ASSERT_EQ(ours.tm_mon, expected.tm_mon);
    ASSERT_EQ(ours.tm_mday, expected.tm_mday);
    ASSERT_EQ(ours.tm_hour * 3600 + ours.tm_min * 60 + ours.tm_sec,
              expected.tm_hour * 3600 + expected.tm_min * 60 + expected.tm_sec);
    ASSERT_EQ(ours.tm_wday, 0);  // only the six date and time fields are filled
    double back;
    ASSERT_EQ(Time_FromTm(&expected, &back), 1);
    ASSERT_EQ(back, double(whole));
  }
}

TEST(Time, WeekdayNamesMatchGlibc) {
  // Every 13th day walks through all weekdays and every kind of year.
  for (int64_t day = 0; day <= kLastDay; day += 13) {
    time_t whole = time_t(day * 86400 + 43200);
    struct tm fields;
    gmtime_r(&whole, &fields);
    char shortName[16], longName[16];
    strftime(shortName, sizeof shortName, "%a", &fields);
    strftime(longName, sizeof longName, "%A", &fields);
    std::string http = formatDate(kTimeFormatHttp, double(whole));
    std::string rfc850 = formatDate(kTimeFormatRfc850, double(whole));
    ASSERT_EQ(http.substr(0, 4), std::string(shortName) + ",") << "day " << day;
    ASSERT_EQ(rfc850.substr(0, rfc850.find(',')), longName) << "day " << day;
  }
}

TEST(Time, ParseMatchesPython) {
  std::string seed;
  auto rows = readRows("time_parse.txt", &seed);
  SCOPED_TRACE(seed);
  ASSERT_EQ(rows.size(), 10000u);
  for (const auto &row : rows) {
    ASSERT_EQ(row.size(), 2u);
    double seconds = -1;
    EXPECT_EQ(Time_ParseHttpDate(row[0].c_str(), &seconds), 1) << row[0];
    EXPECT_EQ(seconds, std::stod(row[1])) << row[0];
  }
}

TEST(Time, FormatMatchesPython) {
  std::string seed;
  auto rows = readRows("time_format.txt", &seed);
  SCOPED_TRACE(seed);
  ASSERT_EQ(rows.size(), 10000u);
  for (const auto &row : rows) {
    ASSERT_EQ(row.size(), 4u);
    double t = std::stod(row[0]);
    EXPECT_EQ(formatDate(kTimeFormatHttp, t), row[1]) << row[0];
    EXPECT_EQ(formatDate(kTimeFormatLogStamp, t), row[2]) << row[0];
    EXPECT_EQ(formatDate(kTimeFormatLogDate, t), row[3]) << row[0];
    // The HTTP form reads back to the whole second.
    double back;
    EXPECT_EQ(Time_ParseHttpDate(row[1].c_str(), &back), 1) << row[1];
    EXPECT_EQ(back, std::floor(t)) << row[1];
  }
}

TEST(Time, ParseKnownDates) {
  struct Row {
    const char *text;
    int result;
    double seconds;
  };
  const Row rows[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 1, 784111777},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 1, 784111777},  // 94 means 1994
      {"Sun Nov  6 08:49:37 1994", 1, 784111777},
      {"Tue, 01 Feb 2022 02:00:00 +0500", 1, 1643662800},  // 31 Jan 21:00 UTC
      {"Tue, 01 Feb 2022 02:00:00 -0500", 1, 1643698800},  // 1 Feb 07:00 UTC
      {"Tue, 01 Feb 2022 02:00:00 CEST", 1, 1643680800},   // unknown name: UTC
      {"Tue, 01 Feb 2022 02:00:00 +05", 1, 1643680800},    // too short for an offset
      {"Tue, 01 Feb 2022 02:00:00 +05000", 1, 1643680800},
      {"Tue, 01 Feb 2022 02:00:00 gmt", 1, 1643680800},    // names are case-sensitive
      {"Tue, 01 Feb 2022 02:00:00 est", 1, 1643680800},
      {"Tue, 01 Feb 2022 02:00:00 EST", 1, 1643698800},
      {"Tue, 01 Feb 2022 02:00:00 Y", 1, 1643637600},
      {"Tue, 01 Feb 22 02:00:00", 1, 1643680800},          // 22 means 2022
      {"Thu, 01 Jan 70 00:00:00 GMT", 1, 0},
      {"Thu, 01 Jan 69 00:00:00 GMT", 1, 3124224000},      // 69 means 2069
      {"Thu, 29 Feb 2024 12:00:00 GMT", 1, 1709208000},
      {"Fri, 31 Dec 9999 23:59:59 GMT", 1, 253402300799},
      {"Sat, 30 Jun 2012 23:59:60 GMT", 1, 1341100800},    // leap second
      // Out-of-range fields and years name no moment.
      {"Sun, 300 Nov 1994 08:49:37 GMT", 0, 0},
      {"Sun, 00 Nov 1994 08:49:37 GMT", 0, 0},
      {"Wed, 31 Apr 2024 08:49:37 GMT", 0, 0},
      {"Thu, 29 Feb 2023 08:49:37 GMT", 0, 0},
      {"Sun, 06 Nov 1994 24:00:00 GMT", 0, 0},
      {"Sun, 06 Nov 1994 08:60:37 GMT", 0, 0},
      {"Sun, 06 Nov 1994 08:49:61 GMT", 0, 0},
      {"Sun, 06 Nov 1969 08:49:37 GMT", 0, 0},
      {"Sun, 06 Nov 10000 08:49:37 GMT", 0, 0},
      {"Sun, 06 Nov 2000000000 08:49:37 GMT", 0, 0},
      {"Sun Nov  6 08:49:37 2000000000", 0, 0},
      {"Sun, 06 Nov 199 08:49:37 GMT", 0, 0},
      // Not dates at all.
      {"", 0, 0},
      {"Sun, 06 Nov 1994 08:49 GMT", 0, 0},
      {"Sun, 06 Nvo 1994 08:49:37 GMT", 0, 0},
      {"Sun, 06 November 1994 08:49:37 GMT", 0, 0},
      {"Sun, 06 Nov 1994 08:49:37 GMT extra words", 0, 0},
      {"Sun, 06 Nov 19x4 08:49:37 GMT", 0, 0},
      {"Sun Nov 6x 08:49:37 1994", 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    double seconds = -1;
    EXPECT_EQ(Time_ParseHttpDate(row.text, &seconds), row.result);
    EXPECT_EQ(seconds, row.seconds);
  }
  // A text longer than any date is refused without being read.
  std::string longText = "Sun, 06 Nov 1994 08:49:37 GMT" + std::string(300, ' ');
  double seconds = -1;
  EXPECT_EQ(Time_ParseHttpDate(longText.c_str(), &seconds), 0);
  EXPECT_EQ(seconds, 0);
}

TEST(Time, FormatForms) {
  struct Row {
    uint32_t flags;
    double seconds;
    const char *text;
  };
  const Row rows[] = {
      {kTimeFormatHttp, 784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {kTimeFormatRfc1123Short, 784111777, "Sun, 06 Nov 94 08:49:37 GMT"},
      {kTimeFormatRfc850, 784111777, "Sunday, 06-Nov-94 08:49:37 GMT"},
      {kTimeFormatRfc850, 1136214245, "Monday, 02-Jan-06 15:04:05 GMT"},
      {kTimeFormatHttp | kTimeFormatRfc850, 784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {kTimeFormatLogStamp, 1136214245, "01/02/2006 15:04:05"},
      {kTimeFormatLogDate, 1136214245, "01/02/2006"},
      {kTimeFormatLogStamp | kTimeFormatShort, 1136214245, "1/2/6 15:4:5"},
      {kTimeFormatLogDate | kTimeFormatShort, 784111777, "11/6/94"},
      {kTimeFormatYear, 1136214245, "2006"},
      {kTimeFormatDay | kTimeFormatHour, 1136214245, "02 15"},
      {kTimeFormatMinute | kTimeFormatSecond, 1136214245, "04:05"},
      {kTimeFormatHour | kTimeFormatSecond, 1136214245, "15:05"},
      {0, 1136214245, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(formatDate(row.flags, row.seconds), row.text);
  }
}

TEST(Time, FormatRefusesWhatItCannotShow) {
  char buffer[64];
  const double bad[] = {-1.0, -0.001, kEndSeconds, NAN, INFINITY, 1e300};
  for (double t : bad) {
    SCOPED_TRACE(t);
    memcpy(buffer, "old", 4);
    EXPECT_EQ(Time_FormatHttpDate(kTimeFormatHttp, buffer, sizeof buffer, t), 0);
    EXPECT_STREQ(buffer, "");
    int hour, minute, second, month, day, year;
    EXPECT_EQ(Time_ToFields(&hour, &minute, &second, &month, &day, &year, t), 0);
    EXPECT_EQ(year * 10000 + month * 100 + day, 19700101);
    EXPECT_EQ(hour + minute + second, 0);
  }
  // Too small for the text: nothing rather than half a date.
  memcpy(buffer, "old", 4);
  EXPECT_EQ(Time_FormatHttpDate(kTimeFormatHttp, buffer, 29, 784111777), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(Time_FormatHttpDate(kTimeFormatHttp, buffer, 30, 784111777), 1);
  EXPECT_EQ(Time_FormatHttpDate(kTimeFormatHttp, buffer, 0, 784111777), 0);
}

TEST(Time, FromFieldsRejectsOutOfRange) {
  struct Row {
    int hour, minute, second, month, day, year;
  };
  const Row rows[] = {
      {0, 0, 0, 0, 1, 2000},    {0, 0, 0, 13, 1, 2000},   {0, 0, 0, 2, 30, 2000},
      {0, 0, 0, 2, 29, 1900 + 200}, {0, 0, 0, 6, 31, 2000}, {0, 0, 0, 1, 0, 2000},
      {24, 0, 0, 1, 1, 2000},   {0, 60, 0, 1, 1, 2000},   {0, 0, 61, 1, 1, 2000},
      {-1, 0, 0, 1, 1, 2000},   {0, 0, 0, 12, 31, 1969},  {0, 0, 0, 1, 1, 10000},
      {0, 0, 0, 1, 1, 2000000000}, {0, 0, 0, 1, 1, -2000000000},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << row.year << "-" << row.month << "-" << row.day << " "
                                    << row.hour << ":" << row.minute << ":" << row.second);
    double seconds = -1;
    EXPECT_EQ(Time_FromFields(&seconds, row.hour, row.minute, row.second, row.month, row.day,
                              row.year),
              0);
    EXPECT_EQ(seconds, 0);
  }
  struct tm fields = {};
  fields.tm_year = 2147483647;  // year + 1900 would overflow an int
  fields.tm_mday = 1;
  double seconds = -1;
  EXPECT_EQ(Time_FromTm(&fields, &seconds), 0);
  EXPECT_EQ(seconds, 0);
}

TEST(Time, LeapDayRoundTrips) {
  const int years[] = {1972, 2000, 2024, 2400, 9996};
  for (int year : years) {
    SCOPED_TRACE(year);
    double seconds;
    ASSERT_EQ(Time_FromFields(&seconds, 13, 14, 15, 2, 29, year), 1);
    int hour, minute, second, month, day, back;
    ASSERT_EQ(Time_ToFields(&hour, &minute, &second, &month, &day, &back, seconds), 1);
    EXPECT_EQ(back * 10000 + month * 100 + day, year * 10000 + 229);
    EXPECT_EQ(hour * 10000 + minute * 100 + second, 131415);
  }
}

TEST(Time, Durations) {
  struct Row {
    double seconds;
    const char *text;
  };
  const Row rows[] = {
      {90061.5, "1d  1h  1m  1s 0500ms"},
      {0.2, "0200ms"},
      {1.75, "1s 0750ms"},  // whole seconds are cut, not rounded
      {59.9999, "59s 0999ms"},
      {0.0, ""},
      {-5.0, ""},
      {3600.0, "1h"},
      {604800.0 * 3 + 86400 * 2 + 7, "3w 2d  7s"},
      {604800.0 * 12, "12w"},
      {86400.0 * 6 + 3599, "6d 59m 59s"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(formatDuration(row.seconds), row.text);
  }
  char buffer[8];
  EXPECT_EQ(Time_FormatDuration(buffer, sizeof buffer, 90061.5), 0);  // does not fit
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(Time_FormatDuration(buffer, sizeof buffer, NAN), 0);
  EXPECT_EQ(Time_FormatDuration(buffer, sizeof buffer, INFINITY), 0);
}

// The second the clock the time functions read is in. time(2) reads the
// kernel's coarse clock, which lags CLOCK_REALTIME by up to a tick, so it may
// still name the previous second when the fine clock has passed it.
static time_t realtimeSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

TEST(Time, NowFollowsTheClocks) {
  for (int attempt = 0; attempt < 10; attempt++) {
    time_t before = realtimeSeconds();
    double now = Time_Now(), utc = Time_NowUtc();
    time_t after = realtimeSeconds();
    if (before != after) continue;  // a second boundary passed in between
    EXPECT_EQ(now, double(before));
    EXPECT_EQ(utc, double(before));
    return;
  }
  FAIL() << "the clock never stayed within one second";
}

TEST(Time, NowLocalFollowsLocaltime) {
  TzGuard guard;
  const char *zones[] = {"XST-5:30", "YST8YDT,M3.2.0,M11.1.0"};
  for (const char *zone : zones) {
    SCOPED_TRACE(zone);
    setenv("TZ", zone, 1);
    tzset();
    bool checked = false;
    for (int attempt = 0; attempt < 10 && !checked; attempt++) {
      time_t before = realtimeSeconds();
      double local = Time_NowLocal();
      time_t after = realtimeSeconds();
      if (before != after) continue;
      struct tm fields;
      ASSERT_NE(localtime_r(&before, &fields), nullptr);
      EXPECT_EQ(local, double(timegm(&fields)));
      EXPECT_NE(local, double(before));  // neither zone is UTC
      checked = true;
    }
    EXPECT_TRUE(checked) << "the clock never stayed within one second";
  }
}
