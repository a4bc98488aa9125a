// The command's progress line and summary; see progress.h.
#include "host/progress.h"

#include <algorithm>
#include <cstring>

#include "base/repository.h"
#include "core/formats/dictionary.h"
#include "core/platform/notification.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/core.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

// Samples of the bytes fetched, for the rate: a ring of the last ones, one
// per status (two a second while a phase runs).
constexpr int kProgressSamples = 32;

struct ProgressSample {
  double at;
  int64_t fetched;
};

struct ProgressState {
  int fd = -1;
  int summaryFd = 1;
  int terminal = 0;
  int quiet = 0;
  int lineOpen = 0;  // a terminal line without its newline yet
  int shown = 1;     // the last status is on screen
  int observing = 0;
  double lastWrite = -1e9;
  Dictionary *last = nullptr;  // the last status seen (one reference)
  ProgressSample samples[kProgressSamples] = {};
  int sampleCount = 0;
  int sampleNext = 0;
  double retries[kProgressRetrySlots] = {};
  int retryCount = 0;
  int copySeen = 0;  // a status with the copy running arrived
  char installedId[kRepositoryIdBytes] = {};  // the local id until the copy began
};

ProgressState gProgress;

double progressNumber(Dictionary *d, const char *key) {
  double value = 0;
  if (Dictionary_GetFloat64ByKey(d, key, &value)) return value;
  int64_t whole = 0;
  if (Dictionary_GetInt64ByKey(d, key, &whole)) return double(whole);
  return 0;
}

const char *progressText(Dictionary *d, const char *key) {
  const char *text = nullptr;
  if (!Dictionary_GetStringPointerByKey(d, key, &text) || text == nullptr) return "";
  return text;
}

// The engine at work decides the name: the Refresh bit outlasts its phase
// while the Synchronize that follows keeps the repository busy.
const char *progressPhase(uint32_t state) {
  if (state & kRepositoryStateCopying) return "copy";
  if (state & kRepositoryStateApplying) return "apply";
  if (state & (kRepositoryStateLocalCleaning | kRepositoryStatePendingCleaning)) return "clean";
  if (!(state & kRepositoryStateRemoteMetaFile) && (state & kRepositoryStateRefresh))
    return "refresh";
  if (state & (kRepositoryStateRefresh | kRepositoryStateSynchronize)) return "sync";
  return "done";
}

// Bytes in binary units with one decimal: "512 B", "1.5 KiB", "12.3 MiB".
void progressBytes(double bytes, char *out, int size) {
  static constexpr const char *kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    unit++;
  }
  if (unit == 0) Str_Printf(out, size, "%d B", int32_t(bytes));
  else Str_Printf(out, size, "%.1f %s", bytes, kUnits[unit]);
}

// "--" for an unknown time (negative or beyond 100 hours).
void progressDuration(double seconds, char *out, int size) {
  if (!(seconds >= 0) || seconds > 360000) {
    Str_Copy(out, "--", size);
    return;
  }
  int32_t s = int32_t(seconds + 0.5);
  if (s >= 3600) Str_Printf(out, size, "%dh%02dm", s / 3600, s / 60 % 60);
  else if (s >= 60) Str_Printf(out, size, "%dm%02ds", s / 60, s % 60);
  else Str_Printf(out, size, "%ds", s);
}

void progressWrite(int fd, const char *text, int length) {
  size_t count = 0;
  Platform_WriteFile(fd, text, size_t(length), &count);
}

void progressEndLine(void) {
  if (!gProgress.lineOpen) return;
  progressWrite(gProgress.fd, "\n", 1);
  gProgress.lineOpen = 0;
}

// Bytes a second over the samples of the last kProgressRateSeconds; the run's
// start (nothing fetched) is the first sample, so a rate shows from the
// first status on.
double progressRate(void) {
  if (gProgress.sampleCount < 2) return 0;
  int newest = (gProgress.sampleNext + kProgressSamples - 1) % kProgressSamples;
  const ProgressSample &now = gProgress.samples[newest];
  int oldest = newest;
  for (int i = 1; i < gProgress.sampleCount; i++) {
    int k = (newest + kProgressSamples - i) % kProgressSamples;
    oldest = k;
    if (now.at - gProgress.samples[k].at >= kProgressRateSeconds) break;
  }
  const ProgressSample &then = gProgress.samples[oldest];
  double span = now.at - then.at;
  return span > 0 ? double(now.fetched - then.fetched) / span : 0;
}

void progressSample(double at, int64_t fetched) {
  gProgress.samples[gProgress.sampleNext] = ProgressSample{at, fetched};
  gProgress.sampleNext = (gProgress.sampleNext + 1) % kProgressSamples;
  if (gProgress.sampleCount < kProgressSamples) gProgress.sampleCount++;
}

// Seconds until the next retry still to come; -1 when none is.
double progressRetryIn(double now) {
  double next = -1;
  int kept = 0;
  for (int i = 0; i < gProgress.retryCount; i++) {
    double at = gProgress.retries[i];
    if (at <= now) continue;
    gProgress.retries[kept++] = at;
    if (next < 0 || at - now < next) next = at - now;
  }
  gProgress.retryCount = kept;
  return next;
}

void progressShow(Dictionary *status) {
  char line[kProgressLineBytes];
  ProgressExtra extra{progressRate(), progressRetryIn(Platform_GetTickSeconds())};
  int length = Progress_FormatLine(status, &extra, line, int(sizeof line));
  if (gProgress.terminal) {
    int columns = Platform_GetTerminalWidth(gProgress.fd);
    if (columns <= 0) columns = kProgressDefaultColumns;
    // The last column stays free: writing there makes some terminals wrap.
    if (length > columns - 1) length = columns - 1 > 0 ? columns - 1 : 0;
    char out[kProgressLineBytes + 8];
    Str_Printf(out, int(sizeof out), "\r%.*s\x1b[K", length, line);
    progressWrite(gProgress.fd, out, int(strlen(out)));
    gProgress.lineOpen = 1;
  } else {
    line[length] = '\n';
    progressWrite(gProgress.fd, line, length + 1);
  }
}

// The installed version is the local id as long as the copy has not begun:
// the run saves the remote one over it at its end.
void progressNoteVersion(Dictionary *info, uint32_t state) {
  if (gProgress.copySeen) return;
  if (state & kRepositoryStateCopying) {
    gProgress.copySeen = 1;
    return;
  }
  Str_Copy(gProgress.installedId, progressText(info, "localId"), kRepositoryIdBytes);
}

int progressOnStatus(void *, const char *, const char *, const char *, Dictionary *info) {
  if (info == nullptr) return 1;
  Dictionary_AddRef(info);
  if (gProgress.last != nullptr) Dictionary_Release(&gProgress.last);
  gProgress.last = info;
  int32_t state = 0;
  Dictionary_GetInt32ByKey(info, "stateFlags", &state);
  progressNoteVersion(info, uint32_t(state));
  double now = Platform_GetTickSeconds();
  progressSample(now, Progress_GetFetched(info));
  gProgress.shown = 0;
  if (gProgress.quiet) return 1;
  double every = gProgress.terminal ? kProgressTerminalSeconds : kProgressPlainSeconds;
  if (now - gProgress.lastWrite < every) return 1;
  gProgress.lastWrite = now;
  gProgress.shown = 1;
  progressShow(info);
  return 1;
}

// The sum of key over the status's remotes; without a list of remotes, the
// status's own figure under whole.
double progressRemoteSum(Dictionary *status, const char *key, const char *whole) {
  Dictionary *remotes = nullptr;
  int32_t count = 0;
  if (!Dictionary_GetListByKey(status, "remote", &remotes) || remotes == nullptr ||
      !Dictionary_GetCount(remotes, &count) || count <= 0)
    return progressNumber(status, whole);
  double sum = 0;
  for (int32_t i = 0; i < count; i++) {
    Dictionary *remote = nullptr;
    if (Dictionary_GetDictionaryByIndex(remotes, i, &remote) && remote != nullptr)
      sum += progressNumber(remote, key);
  }
  return sum;
}

// The most the transfers under way may still add: a piece each.
double progressInFlightBytes(Dictionary *status, Dictionary *copy) {
  if (copy == nullptr) return 0;
  return progressRemoteSum(status, "pendingRequests", "pendingRequests") *
         progressNumber(copy, "pieceLength");
}

// Pieces fetched again for the version that was already installed.
int32_t progressRepaired(Dictionary *status) {
  const char *remote = progressText(status, "remoteId");
  if (gProgress.installedId[0] == '\0' || Str_CompareNoCase(gProgress.installedId, remote) != 0)
    return 0;
  Dictionary *copy = nullptr;
  int32_t written = 0;
  if (Dictionary_GetDictionaryByKey(status, "copy", &copy) && copy != nullptr)
    Dictionary_GetInt32ByKey(copy, "piecesWritten", &written);
  return written;
}

}  // namespace

int Progress_Init(int fd) {
  Thread_AssertMain(KSRC);
  gProgress = ProgressState{};
  gProgress.fd = fd;
  gProgress.terminal = Platform_IsTerminal(fd);
  // Nothing fetched at the start: the first status then has a rate.
  progressSample(Platform_GetTickSeconds(), 0);
  NotificationCenter_AddInstanceObserver("Repository", "Status", "Global", &gProgress,
                                         progressOnStatus);
  gProgress.observing = 1;
  return 1;
}

int Progress_SetSummaryOutput(int fd) {
  gProgress.summaryFd = fd;
  return 1;
}

int Progress_SetQuiet(int quiet) {
  gProgress.quiet = quiet ? 1 : 0;
  return 1;
}

int Progress_Shutdown(void) {
  progressEndLine();
  if (gProgress.observing)
    NotificationCenter_RemoveInstanceObserver("Repository", "Status", "Global", &gProgress,
                                              progressOnStatus);
  if (gProgress.last != nullptr) Dictionary_Release(&gProgress.last);
  gProgress = ProgressState{};
  return 1;
}

int Progress_NoteRetry(double retryAt) {
  progressRetryIn(Platform_GetTickSeconds());
  int slot = gProgress.retryCount < kProgressRetrySlots ? gProgress.retryCount++
                                                        : kProgressRetrySlots - 1;
  gProgress.retries[slot] = retryAt;
  return 1;
}

int Progress_FormatBytes(double bytes, char *out, int size) {
  CHECK_POINTER(out);
  progressBytes(bytes, out, size);
  return 1;
}

int64_t Progress_GetFetched(Dictionary *status) {
  CHECK_POINTER(status);
  // The alias, catalog and metafile bodies are fetched too.
  int64_t documents = 0;
  Dictionary_GetInt64ByKey(status, "documentReadBytes", &documents);
  return int64_t(progressRemoteSum(status, "readBytes", "remoteReadBytes")) + documents;
}

int Progress_FormatLine(Dictionary *status, const ProgressExtra *extra, char *out, int size) {
  CHECK_POINTER(status);
  int32_t state = 0;
  Dictionary_GetInt32ByKey(status, "stateFlags", &state);
  Dictionary *copy = nullptr;
  double progress = 0, complete = 0, skipped = 0, total = 0, remaining = -1;
  if (Dictionary_GetDictionaryByKey(status, "copy", &copy) && copy != nullptr) {
    progress = progressNumber(copy, "progress");
    complete = progressNumber(copy, "bytesComplete");
    skipped = progressNumber(copy, "bytesSkipped");
    total = progressNumber(copy, "bytesTotal");
    remaining = progressNumber(copy, "remainingTime");
  }
  double fetched = double(Progress_GetFetched(status));
  // Pieces in flight have arrived in part: their bytes count before the
  // piece is written, but no more than the pieces in flight hold. Retried
  // and error bodies, pieces fetched again and the documents are fetched
  // too: they never count as the version's bytes.
  double documents = progressNumber(status, "documentReadBytes");
  double arriving = std::max(0.0, skipped + fetched - documents - complete);
  double done = complete + std::min(arriving, progressInFlightBytes(status, copy));
  if (total > 0) {
    done = std::min(done, total);
    progress = done / total;
  } else {
    done = complete;
  }
  double rate = extra != nullptr && extra->rate >= 0 ? extra->rate
                                                     : progressNumber(status, "remoteReadSpeed");
  if (!(remaining > 0)) {
    if (total > 0 && done >= total) remaining = 0;
    else if (total > done && rate > 0) remaining = (total - done) / rate;
    else remaining = -1;
  }
  char phase[48], checkedText[32], writtenText[32], fetchedText[32], totalText[32],
      rateText[32], eta[32];
  if (extra != nullptr && extra->retryIn >= 0)
    Str_Printf(phase, int(sizeof phase), "retrying in %.0f s", extra->retryIn);
  else
    Str_Copy(phase, progressPhase(uint32_t(state)), int(sizeof phase));
  // What was found whole in place, what was written (built from fetched
  // pieces and from deltas against the installed files) and what came over
  // the network, apart: an update that checks 97 MiB, builds 104 MiB from
  // deltas and fetches 47 KiB says so, and checked and written add up to
  // the bytes done.
  progressBytes(skipped, checkedText, int(sizeof checkedText));
  progressBytes(std::max(0.0, complete - skipped), writtenText, int(sizeof writtenText));
  progressBytes(fetched, fetchedText, int(sizeof fetchedText));
  progressBytes(total, totalText, int(sizeof totalText));
  progressBytes(rate, rateText, int(sizeof rateText));
  progressDuration(remaining, eta, int(sizeof eta));
  Str_Printf(out, size, "%s %5.1f%% %s: checked %s, written %s, fetched %s at %s/s ETA %s",
             phase, progress * 100.0, totalText, checkedText, writtenText, fetchedText, rateText,
             eta);
  return int(strlen(out));
}

int Progress_FormatSummary(Dictionary *status, double seconds, int32_t repaired, char *out,
                           int size) {
  CHECK_POINTER(status);
  Dictionary *copy = nullptr;
  int32_t files = 0;
  if (Dictionary_GetDictionaryByKey(status, "copy", &copy) && copy != nullptr)
    Dictionary_GetInt32ByKey(copy, "filesTotal", &files);
  double fetched = double(Progress_GetFetched(status));
  char fetchedText[32], rateText[32];
  progressBytes(fetched, fetchedText, int(sizeof fetchedText));
  progressBytes(seconds > 0 ? fetched / seconds : 0, rateText, int(sizeof rateText));
  Str_Printf(out, size, "%s %s: %d files, %s fetched in %.1f s (%s/s), %d repaired\n",
             progressText(status, "name"), progressText(status, "remoteId"), files, fetchedText,
             seconds, rateText, repaired);
  return int(strlen(out));
}

int Progress_PrintLine(const char *line) {
  CHECK_POINTER(line);
  progressEndLine();
  int fd = gProgress.fd >= 0 ? gProgress.fd : 2;
  progressWrite(fd, line, int(strlen(line)));
  progressWrite(fd, "\n", 1);
  return 1;
}

int Progress_Finish(double seconds, int summary) {
  if (gProgress.terminal && !gProgress.quiet && !gProgress.shown && gProgress.last != nullptr) {
    progressShow(gProgress.last);
    gProgress.shown = 1;
  }
  progressEndLine();
  if (summary && gProgress.last != nullptr) {
    char line[kProgressLineBytes];
    int length = Progress_FormatSummary(gProgress.last, seconds, progressRepaired(gProgress.last),
                                        line, int(sizeof line));
    progressWrite(gProgress.summaryFd, line, length);
  }
  return 1;
}
