// EnvOverlay: the variables this program set after start-up. The process's
// environ is never written once threads run (setenv may move it while
// another thread's getenv reads it); a set or removed variable lives in a
// locked table instead, which Platform_GetEnvironmentVariable reads first
// and the launchers lay over environ for a child.
//
// Threads: any; the table has its own lock.
#pragma once

#include <string>
#include <vector>

// environ with the table's changes, as "NAME=value" texts.
std::vector<std::string> EnvOverlay_BuildEnvironment(void);

// A child's envp over texts: pointers into them, ending with NULL.
std::vector<char *> EnvOverlay_Pointers(std::vector<std::string> &texts);
