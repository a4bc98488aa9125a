// The page channel; see pagechannel.h.
#include "skin/pagechannel.h"

#include <cstring>
#include <deque>
#include <string>

#include "core/runtime/core.h"
#include "core/runtime/log.h"

struct PageChannel {
  std::deque<std::string> texts;
  int64_t bytes = 0;
  int64_t dropped = 0;
  bool warned = false;  // a WARNING was logged since the page last emptied it
};

int PageChannel_Create(PageChannel **channel) {
  CHECK_POINTER(channel);
  *channel = new PageChannel();
  return 1;
}

int PageChannel_Release(PageChannel **channel) {
  CHECK_POINTER(channel);
  delete *channel;
  *channel = nullptr;
  return 1;
}

const char *PageChannel_Peek(PageChannel *channel, int64_t *length) {
  CHECK_POINTER(channel);
  if (channel->texts.empty()) {
    if (length != nullptr) *length = 0;
    return nullptr;
  }
  if (length != nullptr) *length = int64_t(channel->texts.front().size());
  return channel->texts.front().c_str();
}

int PageChannel_Pop(PageChannel *channel) {
  CHECK_POINTER(channel);
  if (channel->texts.empty()) return 0;
  channel->bytes -= int64_t(channel->texts.front().size());
  channel->texts.pop_front();
  if (channel->texts.empty()) channel->warned = false;
  return 1;
}

int32_t PageChannel_GetCount(PageChannel *channel) {
  CHECK_POINTER(channel);
  return int32_t(channel->texts.size());
}

int64_t PageChannel_GetBytes(PageChannel *channel) {
  CHECK_POINTER(channel);
  return channel->bytes;
}

int64_t PageChannel_GetDroppedCount(PageChannel *channel) {
  CHECK_POINTER(channel);
  return channel->dropped;
}

void SkinWindow_DeliverInteropCallbacks(void *requestContext, void *, const char *text,
                                        int32_t) {
  auto *channel = static_cast<PageChannel *>(requestContext);
  CHECK_POINTER(channel);
  if (text == nullptr) return;
  channel->texts.emplace_back(text);
  channel->bytes += int64_t(channel->texts.back().size());
  int64_t dropped = 0;
  while (channel->texts.size() > 1 &&
         (channel->texts.size() > size_t(kPageChannelMaxTexts) ||
          channel->bytes > kPageChannelMaxBytes)) {
    channel->bytes -= int64_t(channel->texts.front().size());
    channel->texts.pop_front();
    dropped++;
  }
  if (dropped == 0) return;
  channel->dropped += dropped;
  if (channel->warned) return;
  channel->warned = true;
  Log_Print(LOG_WARNING, KSRC, 0,
            "Page channel full: oldest notification batches dropped (%lld so far)\n",
            static_cast<long long>(channel->dropped));
}
