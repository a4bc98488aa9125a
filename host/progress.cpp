// The command's progress line and summary; see progress.h.
#include "host/progress.h"

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

struct ProgressState {
  int fd = -1;
  int terminal = 0;
  int lineOpen = 0;  // a terminal line without its newline yet
  int shown = 1;     // the last status is on screen
  int observing = 0;
  double lastWrite = -1e9;
  uint32_t lastState = 0;
  Dictionary *last = nullptr;  // the last status seen (one reference)
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

void progressShow(Dictionary *status) {
  char line[kProgressLineBytes];
  int length = Progress_FormatLine(status, line, int(sizeof line));
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

int progressOnStatus(void *, const char *, const char *, const char *, Dictionary *info) {
  if (info == nullptr) return 1;
  Dictionary_AddRef(info);
  if (gProgress.last != nullptr) Dictionary_Release(&gProgress.last);
  gProgress.last = info;
  int32_t state = 0;
  Dictionary_GetInt32ByKey(info, "stateFlags", &state);
  double now = Platform_GetTickSeconds();
  double every = gProgress.terminal ? kProgressTerminalSeconds : kProgressPlainSeconds;
  // In a log a new phase gets its line at once; a terminal's line keeps its
  // rate, and the last status is drawn when the run ends.
  bool phaseChanged = strcmp(progressPhase(uint32_t(state)), progressPhase(gProgress.lastState));
  gProgress.lastState = uint32_t(state);
  gProgress.shown = 0;
  if ((gProgress.terminal || !phaseChanged) && now - gProgress.lastWrite < every) return 1;
  gProgress.lastWrite = now;
  gProgress.shown = 1;
  progressShow(info);
  return 1;
}

}  // namespace

int Progress_Init(int fd) {
  Thread_AssertMain(KSRC);
  gProgress = ProgressState{};
  gProgress.fd = fd;
  gProgress.terminal = Platform_IsTerminal(fd);
  NotificationCenter_AddInstanceObserver("Repository", "Status", "Global", &gProgress,
                                         progressOnStatus);
  gProgress.observing = 1;
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

int Progress_FormatLine(Dictionary *status, char *out, int size) {
  CHECK_POINTER(status);
  int32_t state = 0;
  Dictionary_GetInt32ByKey(status, "stateFlags", &state);
  Dictionary *copy = nullptr;
  double progress = 0, done = 0, total = 0, remaining = -1;
  if (Dictionary_GetDictionaryByKey(status, "copy", &copy) && copy != nullptr) {
    progress = progressNumber(copy, "progress");
    done = progressNumber(copy, "bytesComplete");
    total = progressNumber(copy, "bytesTotal");
    remaining = progressNumber(copy, "remainingTime");
  }
  double speed = progressNumber(status, "remoteReadSpeed");
  if (remaining <= 0 && speed > 0 && total > done) remaining = (total - done) / speed;
  else if (remaining <= 0 && total > done) remaining = -1;
  char doneText[32], totalText[32], speedText[32], eta[32];
  progressBytes(done, doneText, int(sizeof doneText));
  progressBytes(total, totalText, int(sizeof totalText));
  progressBytes(speed, speedText, int(sizeof speedText));
  progressDuration(total > done || remaining > 0 ? remaining : 0, eta, int(sizeof eta));
  Str_Printf(out, size, "%s %5.1f%% %s / %s %s/s ETA %s", progressPhase(uint32_t(state)),
             progress * 100.0, doneText, totalText, speedText, eta);
  return int(strlen(out));
}

int Progress_FormatSummary(Dictionary *status, double seconds, char *out, int size) {
  CHECK_POINTER(status);
  Dictionary *copy = nullptr;
  int32_t files = 0;
  if (Dictionary_GetDictionaryByKey(status, "copy", &copy) && copy != nullptr)
    Dictionary_GetInt32ByKey(copy, "filesTotal", &files);
  int64_t fetched = 0;
  Dictionary_GetInt64ByKey(status, "remoteReadBytes", &fetched);
  Str_Printf(out, size, "%s %s: %d files, %lld bytes fetched, %.1f s\n",
             progressText(status, "name"), progressText(status, "remoteId"), files,
             (long long)fetched, seconds);
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
  if (gProgress.terminal && !gProgress.shown && gProgress.last != nullptr) {
    progressShow(gProgress.last);
    gProgress.shown = 1;
  }
  progressEndLine();
  if (summary && gProgress.last != nullptr) {
    char line[kProgressLineBytes];
    int length = Progress_FormatSummary(gProgress.last, seconds, line, int(sizeof line));
    progressWrite(1, line, length);
  }
  return 1;
}
