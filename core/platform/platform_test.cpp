// Error kinds and socket error texts: the decision order of the kinds (a
// code that is in two lists takes the first) and the socket table's edges.
#include "core/platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(PlatformErrorKinds, KindsFollowTheDecisionOrder) {
  struct Row {
    int code;
    const char *name;
  } rows[] = {
      {0, "None"},
      {2, "Missing"},
      {3, "Missing"},
      {126, "Missing"},
      {127, "Missing"},
      {5, "AccessDenied"},
      {19, "AccessDenied"},
      {4, "AccessInvalid"},
      {15, "AccessInvalid"},
      {67, "AccessInvalid"},
      {80, "AccessInvalid"},
      {123, "AccessInvalid"},
      {161, "AccessInvalid"},
      {183, "AccessInvalid"},
      {39, "NotEnoughSpace"},
      {112, "NotEnoughSpace"},
      {32, "Locked"},
      {33, "Locked"},
      {108, "Locked"},
      {50, "NotSupported"},
      {120, "NotSupported"},
      {632, "NotSupported"},
      {1630, "NotSupported"},
      {1, "Unknown"},
      {17, "Unknown"},
      {31, "Unknown"},
      {145, "Unknown"},
      {206, "Unknown"},
      {1235, "Unknown"},
      {-1, "Unknown"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.code);
    EXPECT_STREQ(Platform_ErrorName(row.code), row.name);
  }
  EXPECT_EQ(Platform_GetErrorKind(112), PlatformErrorKind::NotEnoughSpace);
  EXPECT_EQ(Platform_IsErrorMissing(126), 1);
  EXPECT_EQ(Platform_IsErrorMissing(5), 0);
  EXPECT_EQ(Platform_IsErrorLocked(108), 1);
  EXPECT_EQ(Platform_IsErrorLocked(2), 0);
}

TEST(PlatformErrorKinds, SocketTextsAndUnknownCodes) {
  struct Row {
    int code;
    const char *text;
  } rows[] = {
      {0, "No Error"},
      {-1, "Unknown Error"},
      {10061, "Connection refused"},
      {10103, "Cancelled"},
      {10111, "Cancelled"},
      {10110, "No more"},
      {10092, "WINSOCK.DLL version out of range"},
      {11004, "Valid name, no data record of requested type"},
      {1460, "Timeout"},
      {10000, "Unknown Error"},  // not in the table
      {1, "Unknown Error"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.code);
    EXPECT_STREQ(Platform_GetSocketErrorString(row.code), row.text);
  }
}

}  // namespace
