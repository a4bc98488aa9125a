// PageChannel: the queue through which notification batches reach one page.
// SkinWindow_DeliverInteropCallbacks is the host's delivery function for the
// bridge (InteropDeliveryFunction); its request context is a PageChannel,
// owned by whatever serves the page. The bridge's text lives only during the
// call, so the channel keeps a copy of each until the page takes it.
//
// Invariants: (1) at most kPageChannelMaxTexts texts and kPageChannelMaxBytes
// bytes are held, except that the newest text is always kept; past either
// bound the oldest go and the dropped count grows. (2) one WARNING line is
// logged when a channel starts dropping; the next one only after the page
// has emptied it. (3) page references taken for the records of a dropped
// text stay until the page's instances are released.
//
// Threads: main thread only.
#pragma once

#include <cstdint>

struct PageChannel;

constexpr int32_t kPageChannelMaxTexts = 1000;
constexpr int64_t kPageChannelMaxBytes = int64_t(8) << 20;

int PageChannel_Create(PageChannel **channel);
// Frees the channel and every text it holds. Clears *channel.
int PageChannel_Release(PageChannel **channel);
// The oldest text (NUL-terminated, valid until the next call on the channel)
// and its length, or NULL when the channel is empty.
const char *PageChannel_Peek(PageChannel *channel, int64_t *length);
// Drops the oldest text. 0 when the channel is empty.
int PageChannel_Pop(PageChannel *channel);
int32_t PageChannel_GetCount(PageChannel *channel);
int64_t PageChannel_GetBytes(PageChannel *channel);
// The texts dropped for lack of room since the channel was created.
int64_t PageChannel_GetDroppedCount(PageChannel *channel);

// The delivery function: requestContext is the PageChannel; flags is 0.
void SkinWindow_DeliverInteropCallbacks(void *requestContext, void *object, const char *text,
                                        int32_t flags);
