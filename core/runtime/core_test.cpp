#include "core/runtime/core.h"

#include <gtest/gtest.h>

#include "core/runtime/class.h"

namespace {

struct FlagsGuard {
  uint32_t saved = Debug_Flags();
  ~FlagsGuard() { Core_SetFlags(saved); }
};

}  // namespace

TEST(CoreDeathTest, PerThreadOrPerProcessWithoutAppendStops) {
  FlagsGuard guard;
  EXPECT_DEATH(Core_SetFlags(kCoreFlagPerThread), "Threaded logging requires append to be on\n");
  EXPECT_DEATH(Core_SetFlags(kCoreFlagPerProcess), "Process logging requires append to be on\n");
}

TEST(CoreDeathTest, AbortNamesMessageFileAndLine) {
  EXPECT_DEATH(Core_Abort("core/x.cpp", 42, "Bad %s %d\n", "state", 7),
               "ABORT - Bad state 7\n \\(core/x.cpp/42\\)");
}

TEST(CoreDeathTest, ClassCheckStopsOnNullAndWrongTag) {
  ObjectHeader header{};
  header.classTag = 0x12345678;
  EXPECT_DEATH(CLASS_CHECK(static_cast<void *>(nullptr), 0x12345678u), "Pointer is NULL\n");
  EXPECT_DEATH(CLASS_CHECK(&header, 0xff945dbcu),
               "Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0xff945dbc but was "
               "0x12345678\\)");
}

TEST(Core, FlagsRoundTripWithAppend) {
  FlagsGuard guard;
  Core_SetFlags(kCoreFlagPerThread | kCoreFlagPerProcess | kCoreFlagAppend | kCoreFlagDebug);
  EXPECT_EQ(Debug_Flags(), 0x30Au);
}
