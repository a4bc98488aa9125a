// Launch: starting programs and documents with the right identity, the
// process handles and the process list behind them, and the privilege and
// window questions of the process layer.
//
// Identity. An unprivileged process starts programs as itself, or elevated
// through pkexec (flag 0x8). A root process starts them as the desktop user
// (the uid the desktop user module names): passwd entry, groups, a scrubbed
// environment, descriptors 0-2 only; only flag 0x10 keeps root. Documents
// and URLs open through xdg-open, never as root.
//
// Invariants: (1) a ProcessHandle is a pid with a pidfd, so it names that
// process and no later one with the same pid. (2) an exit code read once is
// kept in the handle: reading it again gives the same code. (3) a child whose
// handle is closed while it runs is reaped by the reaper thread, so no zombie
// remains. (4) an argument reaches the program whole or not at all: a command
// line the system refuses fails with 0 and a log line; nothing is cut.
// (5) after a failure *process is NULL and no process of ours runs.
//
// Threads: any thread. The reaper thread is started on demand and ends when
// it has nothing left to wait for. SIGCHLD must not be ignored by the
// process (children would be reaped by the kernel before their exit code is
// read): an Execute call that finds it ignored restores the default action.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/platform/platform.h"

constexpr uint32_t kProcessHandleTag = 0x574a8ebc;

// Execute flags. Show flags (hidden, maximised, minimised) have no effect
// here: there is no window system to ask.
constexpr uint32_t kExecuteHidden = 0x1;
constexpr uint32_t kExecuteMaximized = 0x2;
constexpr uint32_t kExecuteMinimized = 0x4;
constexpr uint32_t kExecuteElevated = 0x8;      // through pkexec when not root
constexpr uint32_t kExecuteKeepIdentity = 0x10;  // no identity change at all
constexpr uint32_t kExecuteSuspended = 0x20;     // desktop-user path: stopped before exec

// The code Platform_GetProcessExitCode gives while the process runs.
constexpr int32_t kProcessStillActive = 259;
// How long Platform_ShellOpen waits for xdg-open's status.
constexpr int32_t kShellOpenWaitMs = 5000;

// A process of the system: its pid and a pidfd that names exactly it.
struct ProcessHandle {
  ObjectHeader header;  // kProcessHandleTag; not reference counted
  int32_t pid;
  int32_t pidfd;
  int32_t isChild;   // 1 for a child of this process: its exit code can be read
  int32_t exited;    // 1 once the end was seen and exitCode holds the code
  int32_t exitCode;  // exit status, 128+n for signal n, 0 for another's process
};

// One process of the list.
struct ProcessEntry {
  uint32_t processId;
  uint32_t parentProcessId;
  char imagePath[kPathMax];  // the executable's path; empty when unreadable
  char exeName[64];          // the kernel's command name (15 bytes; kernel workers up to 63)
};

struct ProcessList;  // an open walk of the process list

// The window records of the enumeration callbacks.
struct WindowSearchRecord {
  const char *titlePattern;
  const char *classPattern;
  void *foundWindow;
  int32_t found;
  int32_t visibleOnly;
};

struct ProcessWindowRecord {
  uint32_t processId;
  int32_t found;
};

// ---- Identity and privileges ------------------------------------------------

// Kind 1: the effective user is root; kind 2: CAP_SYS_BOOT is effective. 1
// when the process has it; else logs "Failed to adjust token privileges for
// debug (%d)\n" (5) at DEBUG and answers 0. Other kinds: 0.
int Platform_EnablePrivilege(int kind);
// The desktop user's uid (the token of the desktop model). 1/0.
int Platform_GetDesktopUserToken(uint32_t *uid);
// There is no shutdown to block here: 0.
int Platform_SetShutdownBlockReason(void *window, const char *reason, int clear);

// ---- Starting programs and documents -------------------------------------------

// Starts program with the arguments text (split by the command-line tokenizer;
// quotes removed from whole arguments and from option values; argv[0] is the
// program) in workingDirectory (empty: the caller's). 0x10 keeps our identity;
// otherwise a process that is not root with 0x8 elevates through pkexec, and
// root without 0x8 starts it as the desktop user (that result is final: no
// fall-back when there is none). A string value named by the program under
// the user hive's compatibility layers key ("Software\\Microsoft\\Windows
// NT\\CurrentVersion\\AppCompatFlags\\Layers") whose data holds
// "RUNASADMIN" (case folded) turns
// the flags into 0x8 without 0x10 (logged "App compatibility flags found -
// %s - %s\n" at DEBUG). 1 with *process set; 0 with *process NULL.
// Stops the program with "Pointer is NULL\n" on a NULL text or out-pointer.
int Platform_Execute(const char *program, const char *arguments, const char *workingDirectory,
                     uint32_t flags, ProcessHandle **process);
// Starts it with our identity, or with elevate through "<pkexec> --keep-cwd
// <absolute program> args": pkexec replaces itself with the program, so the
// handle follows it; its exit codes 126 and 127 mean a refused or missing
// authorisation. A program without '/' is searched in PATH. Failure logs
// "Platform_ExecuteNormal failed to execute (%s) [LE: %d]\n" at ERROR.
int Platform_ExecuteNormal(const char *program, const char *arguments,
                           const char *workingDirectory, uint32_t flags, ProcessHandle **process,
                           int elevate);
// As root: starts it as the desktop user (groups, ids, working directory, or
// else the home, entered as that user; the scrubbed environment; descriptors
// 0-2 only). An exec failure gives 0 with the mapped error. Failure logs
// "Platform_ExecuteDowngrade failed to execute (%s) [LE: %d]\n" at ERROR.
int Platform_ExecuteDowngrade(const char *program, const char *arguments,
                              const char *workingDirectory, uint32_t flags,
                              ProcessHandle **process);
// Opens a file, directory or URL with xdg-open, as the desktop user when we
// are root (root without one: 0, nothing started). Its status is awaited up
// to kShellOpenWaitMs: 0 gives 1, another status 0; still running counts as
// started. A relative path starting with '-' is made absolute first.
int Platform_ShellOpen(const char *path);

// ---- Process handles ---------------------------------------------------------------

// Opens a handle on a running process. 1/0.
int Platform_OpenProcess(uint32_t pid, ProcessHandle **process);
// The handle's pid (the calling process's own id is Platform_GetProcessId()).
uint32_t Platform_GetProcessId(ProcessHandle *process);
// 1 while the process has not ended.
int Platform_IsProcessRunning(ProcessHandle *process);
// 1 with *code once the process has ended (a child's status, 128+n when
// signal n ended it; 0 for a process that is not our child); 0 with
// kProcessStillActive while it runs.
int Platform_GetProcessExitCode(ProcessHandle *process, int32_t *code);
// Closes and frees the handle and clears *process; a child still running is
// handed to the reaper. NULL *process is ignored.
void Platform_CloseProcess(ProcessHandle **process);
// Ends the process with SIGKILL (the code cannot be chosen: a child of ours
// reports 137). 1/0.
int Platform_TerminateProcess(uint32_t pid, int32_t exitCode);

// ---- Process list ---------------------------------------------------------------------

// Walks /proc: First opens the walk and gives the first process, Next the
// following ones (0 at the end); processes that end meanwhile are skipped.
int Platform_ProcessListFirst(ProcessEntry *entry, ProcessList **list);
int Platform_ProcessListNext(ProcessList *list, ProcessEntry *entry);
void Platform_ProcessListClose(ProcessList **list);
// The first process (in list order) whose image path, or else its file name
// (the command name when the path cannot be read), matches pattern ('*'
// wildcards, ASCII case folded). 1 with *pid, else 0 with *pid -1.
int Platform_FindProcessByName(const char *pattern, int32_t *pid);
// The executable path of a process, without a trailing " (deleted)" of a
// replaced file. 1, or 0 with out empty.
int Platform_GetProcessImagePath(uint32_t pid, char *out, int size);
// There are no drive letters here: 0 with out empty.
int Platform_DevicePathToDrivePath(const char *devicePath, char *out, int size);

// ---- Window callbacks -----------------------------------------------------------------

// No window system here. CloseProcessWindows asks the record's process to end
// (SIGTERM), sets found and answers 1 (go on); FindWindowCallback finds
// nothing and answers 1.
int Platform_CloseProcessWindows(void *window, ProcessWindowRecord *record);
int Platform_FindWindowCallback(void *window, WindowSearchRecord *record);

// ---- Test hooks ---------------------------------------------------------------------------

// The programs that stand for /usr/bin/pkexec and /usr/bin/xdg-open (NULL:
// those). Test-only; set before the calls that use them.
void Launch_SetPkexecPathForTest(const char *path);
void Launch_SetOpenerPathForTest(const char *path);
