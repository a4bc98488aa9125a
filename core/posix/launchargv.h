// LaunchArgv: an argument text split into an exec argument vector, the way
// programs started by the launch module and by shortcuts receive it
// (posix-internal). The command-line tokenizer finds the arguments; quotes are
// removed from whole arguments and from option values (--skin="/a b" gives
// --skin=/a b), and "" always stands for one quote.
//
// Invariants: (1) every argument arrives whole; none is cut. (2) a quote left
// open fails the whole split (87): the tokenizer would have run that argument
// to the text's end.
//
// Threads: any thread; no shared state.
#pragma once

#include <cstddef>

struct LaunchArgv {
  char **argv = nullptr;  // count + 1 entries, NULL-terminated
  int count = 0;
  char *text = nullptr;  // the arguments' text, one tracked block
  size_t textBytes = 0;
};

// argv = prefix[0..prefixCount), argv0, then the arguments of the text.
// prefix and argv0 are borrowed: they must outlive argv. 1, or 0 with 87
// recorded and *out empty.
int LaunchArgv_Build(const char *const *prefix, int prefixCount, const char *argv0,
                     const char *arguments, LaunchArgv *out);
// Frees the blocks and empties *argv.
void LaunchArgv_Free(LaunchArgv *argv);
