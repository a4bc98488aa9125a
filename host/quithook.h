// The host's quit flag. Host_ConsoleQuitHook goes into the log's console
// hook slot and the console signal handlers: a terminal's quit signal
// (SIGINT, SIGQUIT, SIGHUP, SIGTERM) sets the flag and the main loop ends. A
// second signal while the host stops ends the process at once with status
// 128 + the signal.
//
// Invariants: the flags are lock-free atomics; the hook does nothing else
// (it runs in signal context) but the immediate exit and a lock-free wake of
// the main thread, whose loop may be asleep until its next timed work.
//
// Threads: any thread and signal context.
#pragma once

// Sets the quit flag. Returns 1.
int Host_ConsoleQuitHook(void);
int Host_IsQuitRequested(void);
// The signal that asked to quit, or 0.
int Host_GetQuitSignal(void);
// Marks the host as stopping (Host_Stop's first step) or not, and on leaving
// clears the quit flag for a later start.
void Host_SetStopping(int stopping);
