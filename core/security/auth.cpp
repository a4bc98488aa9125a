// The security switch; see auth.h.
#include "core/security/auth.h"

#include <atomic>

namespace {

// Relaxed is enough: the one product write happens before other threads are
// started, and thread creation orders it before their reads.
std::atomic<int> gAuthenticateEnabled{1};

}  // namespace

int Authenticate_Enabled(void) { return gAuthenticateEnabled.load(std::memory_order_relaxed); }

int Authenticate_Disable(void) {
  gAuthenticateEnabled.store(0, std::memory_order_relaxed);
  return 1;
}

void Authenticate_SetEnabledForTest(int enabled) {
  gAuthenticateEnabled.store(enabled ? 1 : 0, std::memory_order_relaxed);
}
