// Progress: the command's view of a running repository. It observes
// "Repository"/"Status" and shows the phase, the percentage, the bytes done
// and in all, the speed and the time left on stderr: on a terminal as one
// line rewritten in place, cut to the terminal's width; elsewhere (a log, a
// pipe) as plain lines. At the end it writes one summary line on stdout.
//
// Invariants: (1) a terminal line is rewritten at most every
// kProgressTerminalSeconds, a plain line written at most every
// kProgressPlainSeconds. (2) an open terminal line is ended before anything
// else is written (Progress_Finish).
//
// Threads: main thread only (notifications are delivered there).
#pragma once

#include <cstdint>

struct Dictionary;

constexpr double kProgressTerminalSeconds = 0.25;
constexpr double kProgressPlainSeconds = 1.0;
// The width assumed for a terminal that does not give its own.
constexpr int kProgressDefaultColumns = 80;
constexpr int kProgressLineBytes = 512;

// Starts observing; lines go to fd (stderr for the command), rewritten in
// place when fd is a terminal. Returns 1.
int Progress_Init(int fd);
// Ends an open terminal line, stops observing and forgets the last status.
// Returns 1.
int Progress_Shutdown(void);
// The progress line of one status into out: phase, percentage, bytes done and
// in all, speed and ETA ("remainingTime" of the copy, else the bytes left
// over the speed, else "--"). Returns the length.
int Progress_FormatLine(Dictionary *status, char *out, int size);
// The summary of a run into out: name, remote id, files, bytes fetched and
// seconds. Returns the length.
int Progress_FormatSummary(Dictionary *status, double seconds, char *out, int size);
// Ends an open terminal line and writes line and a newline on the progress
// output (stderr before Progress_Init). Returns 1.
int Progress_PrintLine(const char *line);
// Ends an open terminal line and, when summary is 1 and a status was seen,
// writes the summary of the last status with seconds on stdout. Returns 1.
int Progress_Finish(double seconds, int summary);
