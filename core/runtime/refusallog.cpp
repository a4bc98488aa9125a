// Bounded log lines of refused peers; see refusallog.h.
#include "core/runtime/refusallog.h"

#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"

namespace {

// The summary of an entry's count, when it has one. Called with the lock held.
int refusalLogSummary(RefusalLogEntry *e, bool others, double now, int level, const char *who) {
  if (e->count == 0) return 0;
  int seconds = int(now - e->since + 0.5);
  if (others)
    Log_Print(level, KSRC, 0, "%srefused %lld connections of other users in the last %d s\n", who,
              static_cast<long long>(e->count), seconds);
  else if (e->uid == kPlatformNoUser)
    Log_Print(level, KSRC, 0, "%srefused %lld connections of unknown users in the last %d s\n",
              who, static_cast<long long>(e->count), seconds);
  else
    Log_Print(level, KSRC, 0, "%srefused %lld connections of uid %u in the last %d s\n", who,
              static_cast<long long>(e->count), e->uid, seconds);
  e->count = 0;
  e->since = now;
  return 1;
}

// The uid's entry: its own, a free one, one whose uid went quiet for an
// interval, or NULL when every entry is busy. Called with the lock held.
RefusalLogEntry *refusalLogFind(RefusalLog *log, uint32_t uid, double now) {
  RefusalLogEntry *free = nullptr;
  for (RefusalLogEntry &e : log->entries) {
    if (e.used && e.uid == uid) return &e;
    bool quiet = e.used && e.count == 0 && now - e.since >= kRefusalLogIntervalSeconds;
    if (free == nullptr && (!e.used || quiet)) free = &e;
  }
  return free;
}

}  // namespace

int RefusalLog_Note(RefusalLog *log, uint32_t uid, int level, const char *who) {
  CHECK_POINTER(log);
  CHECK_POINTER(who);
  double now = Platform_GetTickSeconds();
  std::lock_guard<std::mutex> guard(log->lock);
  RefusalLogEntry *e = refusalLogFind(log, uid, now);
  bool others = e == nullptr;
  if (others) e = &log->others;
  // An entry handed over from another uid is unused or quiet as well.
  bool quiet = !e->used || (e->count == 0 && now - e->since >= kRefusalLogIntervalSeconds);
  if (quiet) {
    e->uid = uid;
    e->used = 1;
    e->count = 0;
    e->since = now;
    return 1;
  }
  e->count++;
  if (now - e->since >= kRefusalLogIntervalSeconds) refusalLogSummary(e, others, now, level, who);
  return 0;
}

int RefusalLog_Flush(RefusalLog *log, int level, const char *who) {
  CHECK_POINTER(log);
  CHECK_POINTER(who);
  double now = Platform_GetTickSeconds();
  std::lock_guard<std::mutex> guard(log->lock);
  int lines = 0;
  for (RefusalLogEntry &e : log->entries) {
    lines += refusalLogSummary(&e, false, now, level, who);
    e = RefusalLogEntry{};
  }
  lines += refusalLogSummary(&log->others, true, now, level, who);
  log->others = RefusalLogEntry{};
  return lines;
}
