// RefusalLog: the log lines of refused peers, bounded whatever the peers do.
// A listener that refuses another user's connections writes the first refusal
// of a uid at once and then counts; a uid's count is written as one summary
// line at most once an interval ("refused 77849 connections of uid 65534 in
// the last 5 s"), so that a flood of connections never floods the log.
//
// Invariants: (1) at most kRefusalLogUids uids are counted apart; refusals of
// any further uid share one count ("of other users"). (2) a uid gets at most
// one summary line an interval; its first refusal after a quiet interval is
// written at once again. (3) the table never allocates.
//
// Threads: any thread; locks inside.
#pragma once

#include <cstdint>
#include <mutex>

constexpr int kRefusalLogUids = 16;
// A uid's count goes to the log at most this often; long enough for a flood
// to cost a line or two, short enough to see one while it goes on.
constexpr double kRefusalLogIntervalSeconds = 5.0;

struct RefusalLogEntry {
  uint32_t uid = 0;
  int used = 0;        // 1 while the uid is counted
  int64_t count = 0;   // refusals since the last line, not yet written
  double since = 0.0;  // tick seconds of the first refusal or the last line
};

// One per listening place, in static storage: RefusalLog gServerRefusals;
struct RefusalLog {
  std::mutex lock;
  RefusalLogEntry entries[kRefusalLogUids];  // guarded by lock
  RefusalLogEntry others;                    // guarded by lock
};

// Counts one refusal of uid (kPlatformNoUser: a peer whose owner was not
// found, counted as "unknown users"). Returns 1 when it is the first of the uid (or
// the first after a quiet interval): the caller writes it in its own words.
// Returns 0 when it was counted; a summary of the count then goes to the log
// at level, each line starting with who ("WebServer - "), once the uid's
// interval has passed.
int RefusalLog_Note(RefusalLog *log, uint32_t uid, int level, const char *who);
// Writes the counts not written yet, whatever their interval, and forgets
// every uid; for a listener that stops. Returns the lines written.
int RefusalLog_Flush(RefusalLog *log, int level, const char *who);
