// Auth: the process-wide security switch. Everything that decides whether to
// trust code, data, a key or a whitelist asks Authenticate_Enabled first;
// while it answers 0, signature checks pass and whitelists let everything
// through.
//
// Invariants: (1) the switch starts on (1). (2) the product clears it at
// most once, through Authenticate_Disable during start-up, before any other
// thread of the system exists; nothing in the product sets it back.
//
// Threads: Authenticate_Enabled may be called from any thread (an atomic
// load). Authenticate_Disable and the test setter run before other threads
// read the switch, or while they are stopped.
#pragma once

// 1 while signatures, certificates, keys and whitelists are checked; 0 after
// Authenticate_Disable.
int Authenticate_Enabled(void);

// The one clear at start-up (the command line asked for security off).
// One-way. Returns 1.
int Authenticate_Disable(void);

// Test-only: sets the switch either way. Tests use AuthSwitchGuardForTest.
void Authenticate_SetEnabledForTest(int enabled);

// Test-only: holds the switch at a value for a scope and restores the value
// it found.
class AuthSwitchGuardForTest {
 public:
  explicit AuthSwitchGuardForTest(int enabled) : saved_(Authenticate_Enabled()) {
    Authenticate_SetEnabledForTest(enabled);
  }
  ~AuthSwitchGuardForTest() { Authenticate_SetEnabledForTest(saved_); }
  AuthSwitchGuardForTest(const AuthSwitchGuardForTest &) = delete;
  AuthSwitchGuardForTest &operator=(const AuthSwitchGuardForTest &) = delete;

 private:
  int saved_;
};
