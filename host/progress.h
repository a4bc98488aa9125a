// Progress: the command's view of a running repository. It observes
// "Repository"/"Status" and shows the phase, the percentage, the bytes in
// all, those checked and those fetched, the rate and the time left on
// stderr: on a terminal as one line rewritten in place, cut to the
// terminal's width; elsewhere (a log, a pipe) as plain lines, at most one
// every kProgressPlainSeconds. Bytes count as they arrive: the remote
// storages' "readBytes" move the line while a piece is still in flight, and
// the rate is measured here over the last kProgressRateSeconds from those
// counts. At the end it writes one summary line on stdout.
//
// Invariants: (1) a terminal line is rewritten at most every
// kProgressTerminalSeconds, a plain line written at most every
// kProgressPlainSeconds; quiet writes none. (2) an open terminal line is
// ended before anything else is written (Progress_PrintLine,
// Progress_Finish). (3) the bytes done never exceed the bytes in all, and an
// unknown time left prints "--".
//
// Threads: main thread only (notifications are delivered there).
#pragma once

#include <cstdint>

struct Dictionary;

constexpr double kProgressTerminalSeconds = 0.25;
// A log or a pipe is read by people later or by programs: few lines.
constexpr double kProgressPlainSeconds = 5.0;
// The rate is the bytes fetched over this window (shorter while the run is).
constexpr double kProgressRateSeconds = 5.0;
// The width assumed for a terminal that does not give its own.
constexpr int kProgressDefaultColumns = 80;
constexpr int kProgressLineBytes = 512;
// Retries noted at once; further ones replace the latest.
constexpr int kProgressRetrySlots = 16;

// What the line shows beside one status: what the module measures itself.
struct ProgressExtra {
  double rate;     // bytes fetched a second; below 0: the status's "remoteReadSpeed"
  double retryIn;  // seconds until the next retry the error policy set; below 0: none
};

// Starts observing; lines go to fd (stderr for the command), rewritten in
// place when fd is a terminal. Returns 1.
int Progress_Init(int fd);
// Quiet: no progress line at all; errors (Progress_PrintLine) and the
// summary still go out. Returns 1.
int Progress_SetQuiet(int quiet);
// Where Progress_Finish writes the summary: stdout (1) unless set. Returns 1.
int Progress_SetSummaryOutput(int fd);
// Ends an open terminal line, stops observing and forgets the last status.
// Returns 1.
int Progress_Shutdown(void);
// A retry falls due at retryAt (tick seconds): until then, when it is the
// next one due, the phase reads "retrying in N s". Returns 1.
int Progress_NoteRetry(double retryAt);
// Bytes in binary units with one decimal, as the line shows them: "512 B",
// "1.5 KiB", "12.3 MiB". Returns 1.
int Progress_FormatBytes(double bytes, char *out, int size);
// The bytes fetched so far: the sum of the remote storages' "readBytes",
// else "remoteReadBytes", and the documents' "documentReadBytes".
int64_t Progress_GetFetched(Dictionary *status);
// The progress line of one status into out: phase, percentage, bytes in
// all, bytes checked (found whole in place: the copy's skipped bytes) and
// bytes fetched (Progress_GetFetched) apart, rate and ETA: "copy  50.0%
// 2.0 MiB: checked 1.0 MiB, fetched 12.0 KiB at 6.0 KiB/s ETA 3s". The
// percentage counts bytes done: the copy's finished bytes, or the skipped
// bytes plus those fetched when that is more (pieces in flight), never more
// than the bytes in all. The ETA is the copy's "remainingTime",
// else the bytes left over the rate, else "0s" when nothing is left and
// "--" when it is unknown. extra may be NULL. Returns the length.
int Progress_FormatLine(Dictionary *status, const ProgressExtra *extra, char *out, int size);
// The summary of a run into out: name, remote id, files, bytes fetched in
// the progress line's units, seconds, the average rate and the pieces
// repaired. Returns the length.
int Progress_FormatSummary(Dictionary *status, double seconds, int32_t repaired, char *out,
                           int size);
// Ends an open terminal line and writes line and a newline on the progress
// output (stderr before Progress_Init), quiet or not. Returns 1.
int Progress_PrintLine(const char *line);
// Ends an open terminal line and, when summary is 1 and a status was seen,
// writes the summary of the last status with seconds on stdout. Pieces
// count as repaired when the run kept the installed version (its id when
// the copy began is the remote one). Returns 1.
int Progress_Finish(double seconds, int summary);
