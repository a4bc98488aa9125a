// Directory size: the service behind the page scripts' request for the size
// of a directory tree. One computation runs at a time, on a worker thread
// that walks the tree (never entering a link, counting each file name's own
// size as `find DIR -type f` lists them) and hands its total back through the
// notification center; the answer reaches the page through a script callback
// entry as {"callbackId", "type":"FileSystem", "sender":"Global", "info":
// {"successful", "result"}}.
//
// Invariants: (1) the busy flag is set from the start of a computation until
// the main thread has joined its worker (or a stop has); a worker exists only
// while it is set. (2) every request gets exactly one answer, unless a stop
// ends it at host shutdown: a request made while busy, or one whose worker
// cannot start, answers {"successful":false,"result":0}. (3) each request's
// entry is released, and both its observers are removed, once it is answered
// or stopped.
//
// Threads: Path_GetDirectorySizeAsync and Path_StopDirectorySize run on the
// main thread (elsewhere they stop the program with "Assertion failed
// (Thread_GetMainId() == Thread_GetCurrentId())\nFunction not on main
// thread"); the worker talks to them only through the notification center and
// the atomic busy flag.
#pragma once

#include <cstdint>

// Starts computing the size of the tree at path ("~" resolved, normalised)
// for the script callback named callbackName (a fresh GUID text when NULL or
// empty). Returns 1 when a computation started; 0 when one is running already
// or the worker could not start, after queuing the failure answer for the
// next pump. Stops the program on a NULL path.
int Path_GetDirectorySizeAsync(const char *path, const char *callbackName);

// For the host's stop, before NotificationCenter_Shutdown: ends a running
// computation early (its walk stops at the next entry), joins the worker, and
// drops its request's observers and entry without an answer. Returns 1 (also
// when nothing runs).
int Path_StopDirectorySize(void);
