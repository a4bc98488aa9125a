// Process: a program to start and watch without blocking. A start may first
// check the SHA-1 of a file against an expected digest and the signature of
// a file against the "app" certificate store, then starts the program (as
// the desktop user, elevated, or as we are) and is polled until it ends.
// Each step is told through the notification center with the object's id as
// instance: "Start" when a start is accepted, "Ready" {"id": pid} once the
// program has run a quarter of a second (or has ended), and "Complete"
// {"successful", "exitCode"} exactly once per accepted start.
//
// Invariants: (1) a start is accepted only while idle; one made while a
// start is under way changes nothing and fires nothing. (2) every accepted
// start ends in exactly one "Complete"; "Ready" comes at most once, before
// it. (3) a text field holds its whole text or keeps its old one: a setter
// never cuts. (4) the platform process is held exactly while running.
//
// Threads: main thread in the product (its fires are delivered at once
// there); one thread at a time, the caller serialises. Hashing is polled;
// authentication runs on its own worker and is collected by the poll.
#pragma once

#include <cstdint>

constexpr uint32_t kProcessTag = 0xd2245880;
// Text fields, terminator included.
constexpr int kProcessPathBytes = 320;        // application, directory, SHA-1 and targets
constexpr int kProcessArgumentsBytes = 4096;
// How long a program runs before "Ready" is told.
constexpr double kProcessReadySeconds = 0.25;

enum class ProcessElevation : int32_t {
  User = 0,       // as the desktop user when we are root, else as we are
  Elevated = 1,   // through the elevation helper when we are not root
  AsInvoker = 2,  // as we are
};

enum class ProcessState : int32_t { Idle = 0, Hashing = 1, Authenticating = 2, Running = 3 };

struct Process;

// An idle process with a fresh instance id, show window 1 and elevation
// User; released through Class_Release (which closes a held platform
// process; a program still running goes on). Returns 1. Stops on a NULL
// out-pointer.
int Process_Create(Process **process);

// Every function below stops the program with "Pointer is NULL\n" on a NULL
// process, text or out-pointer and with "Class mismatch pointer (...)" on a
// foreign object.

// Text setters: 1, or 0 keeping the old text when it does not fit its field
// (kProcessPathBytes, arguments kProcessArgumentsBytes). An empty text clears.
int Process_SetApplicationName(Process *process, const char *path);
int Process_SetArguments(Process *process, const char *arguments);
int Process_SetWorkingDirectory(Process *process, const char *path);
int Process_SetSha1(Process *process, const char *hex);  // upper or lower case
int Process_SetSha1Target(Process *process, const char *path);  // empty: the application
int Process_SetAuthenticateTarget(Process *process, const char *path);  // empty: none
// The stored texts (borrowed; valid until the next set).
const char *Process_GetApplicationName(Process *process);
const char *Process_GetArguments(Process *process);
const char *Process_GetWorkingDirectory(Process *process);
const char *Process_GetSha1(Process *process);
const char *Process_GetSha1Target(Process *process);
const char *Process_GetAuthenticateTarget(Process *process);
// Show window (0 starts hidden) and the elevation kind (any value; one not
// in ProcessElevation runs and logs as User). Setters return 1.
int Process_SetShowWindow(Process *process, int32_t show);
int32_t Process_GetShowWindow(Process *process);
int Process_SetElevation(Process *process, int32_t kind);
int32_t Process_GetElevation(Process *process);
ProcessState Process_GetState(Process *process);

// Accepts a start while idle: fires "Start", then hashes, authenticates or
// launches. 1 when a step is under way; 0 when a start is under way already
// ("Application already launched, waiting for exit", nothing fired), and 0
// after "Complete" {"successful":false} when it failed at once (no
// application name, a file that cannot be hashed, a program that did not
// start).
int Process_Start(Process *process);
// One poll step of the current state. Returns 1.
int Process_Process(Process *process);
// Logs the application, directory and arguments (when set), the elevation's
// name and the SHA-1 (when set) on the class log. Returns 1.
int Process_LogSettings(Process *process);
// Seconds from the last start to its end, or to now while it runs; 0 before
// the first start.
double Process_GetElapsed(Process *process);
// The application's last path component (the whole path when that fails).
int Process_GetFileName(Process *process, char *out, int size);
// The pid of the program last started: 1, or 0 with *id 0 before one was.
int Process_GetProcessId(Process *process, uint32_t *id);
