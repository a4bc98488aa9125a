// LayoutSeeds: the seeds a drawn-layout test runs, count of them from its
// own base, fewer under the sanitizers; KEELSON_LAYOUT_SEED=<seed> runs
// that one seed alone, to replay a failure whose trace named it.
//
// Threads: any (reads the environment once, at Get).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

struct LayoutSeeds {
  uint32_t base = 0;
  int count = 0;
  bool replay = false;  // one seed from the environment

  uint32_t Seed(int n) const { return base + uint32_t(n); }
  // For SCOPED_TRACE: how to run draw n again.
  std::string Trace(int n) const { return "KEELSON_LAYOUT_SEED=" + std::to_string(Seed(n)); }
};

inline LayoutSeeds LayoutSeeds_Get(uint32_t base, int count, int sanitizedCount) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  count = sanitizedCount;
#else
  (void)sanitizedCount;
#endif
  if (const char *seed = getenv("KEELSON_LAYOUT_SEED"))
    return {uint32_t(strtoul(seed, nullptr, 0)), 1, true};
  return {base, count, false};
}
