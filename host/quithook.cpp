// The host's quit flag; see quithook.h.
#include "host/quithook.h"

#include <unistd.h>

#include <atomic>

#include "core/platform/platform.h"
#include "core/platform/thread.h"

namespace {

std::atomic<int> gQuit{0};
std::atomic<int> gStopping{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal context needs a lock-free flag");

}  // namespace

int Host_ConsoleQuitHook(void) {
  if (gQuit.exchange(1) != 0 && gStopping.load() != 0) {
    int sig = Platform_GetConsoleSignal();
    _exit(128 + (sig > 0 ? sig : 2));
  }
  // The main loop may sleep until its next timed work: it sees the flag now.
  Thread_WakeMainFromSignal();
  return 1;
}

int Host_IsQuitRequested(void) { return gQuit.load(); }

int Host_GetQuitSignal(void) { return gQuit.load() != 0 ? Platform_GetConsoleSignal() : 0; }

void Host_SetStopping(int stopping) {
  gStopping.store(stopping != 0);
  if (stopping == 0) gQuit.store(0);
}
