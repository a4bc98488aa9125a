// The page channel: what the bridge delivers reaches every page, and a page
// that does not read its channel loses the oldest batches, not memory.
#include "skin/pagechannel.h"

#include <gtest/gtest.h>

#include <string>

#include "core/bridge/interop.h"
#include "core/formats/dictionary.h"
#include "core/platform/interopcallback.h"
#include "core/platform/notification.h"
#include "tests/log_capture.h"
#include "tests/wake_hook.h"

namespace {

class PageChannelTest : public ThreadTest {};

int CountOf(const std::string &haystack, const std::string &needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    n++;
  return n;
}

TEST_F(PageChannelTest, EveryPageGetsTheWholeBatch) {
  Interop_Init();
  NotificationCenter_Init();
  Interop_SetDeliveryFunction(SkinWindow_DeliverInteropCallbacks);
  PageChannel *pages[2] = {};
  InteropNotificationCenter *objects[2] = {};
  for (int i = 0; i < 2; i++) {
    PageChannel_Create(&pages[i]);
    InteropNotificationCenter_Get(&objects[i], pages[i], SkinWindow_DeliverInteropCallbacks);
  }
  for (int seq : {1, 2}) {
    Dictionary *record = nullptr;
    Dictionary_Create(&record);
    Dictionary_SetInt32ByKey(record, "seq", seq);
    Interop_QueueCallbackArgument(nullptr, record);
    Dictionary_Release(&record);
  }
  Interop_DeliverCallbacks();
  for (PageChannel *page : pages) {
    ASSERT_EQ(PageChannel_GetCount(page), 1);
    EXPECT_STREQ(PageChannel_Peek(page, nullptr), R"([{"seq":1},{"seq":2}])");
  }
  for (int i = 0; i < 2; i++) {
    InteropNotificationCenter_Release(&objects[i]);
    PageChannel_Release(&pages[i]);
  }
  Interop_Shutdown();
  NotificationCenter_Shutdown();
}

TEST_F(PageChannelTest, OverflowDropsTheOldestAndWarnsOnce) {
  TestLogCapture capture;
  PageChannel *page = nullptr;
  PageChannel_Create(&page);
  for (int i = 1; i <= kPageChannelMaxTexts + 5; i++)
    SkinWindow_DeliverInteropCallbacks(page, nullptr, std::to_string(i).c_str(), 0);
  EXPECT_EQ(PageChannel_GetCount(page), kPageChannelMaxTexts);
  EXPECT_EQ(PageChannel_GetDroppedCount(page), 5);
  EXPECT_STREQ(PageChannel_Peek(page, nullptr), "6");
  while (PageChannel_Pop(page)) {
  }
  EXPECT_EQ(PageChannel_GetBytes(page), 0);
  // Emptied by the page: the next overflow warns again. Bytes count too; the
  // newest text is kept even alone over the bound.
  std::string big(size_t(kPageChannelMaxBytes / 2 + 1), 'x');
  for (int i = 0; i < 3; i++) SkinWindow_DeliverInteropCallbacks(page, nullptr, big.c_str(), 0);
  EXPECT_EQ(PageChannel_GetCount(page), 1);
  EXPECT_EQ(PageChannel_GetDroppedCount(page), 7);
  std::string huge(size_t(kPageChannelMaxBytes + 1), 'y');
  SkinWindow_DeliverInteropCallbacks(page, nullptr, huge.c_str(), 0);
  EXPECT_EQ(PageChannel_GetCount(page), 1);
  EXPECT_EQ(PageChannel_GetBytes(page), kPageChannelMaxBytes + 1);
  PageChannel_Release(&page);
  EXPECT_EQ(CountOf(capture.Take(), "Page channel full"), 2);
}

}  // namespace
