// WalkStack: the stack of frames of a walk that must not recurse (a tree
// built through an API may be far deeper than the C stack allows). The first
// kInline frames live inside the object; more come from tracked memory.
//
// Invariants: (1) count <= capacity; frames below count are live. (2) frames
// points at the inline array exactly while capacity is kInline.
//
// Threads: one thread; the stack is a local of the walk.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/runtime/memory.h"

template <typename Frame, int32_t kInline = 16>
class WalkStack {
  static_assert(std::is_trivially_copyable_v<Frame>, "frames are moved with memcpy");

 public:
  WalkStack() = default;
  WalkStack(const WalkStack &) = delete;
  WalkStack &operator=(const WalkStack &) = delete;
  ~WalkStack() {
    if (frames_ != inline_) MEM_FREE(frames_, int64_t(capacity_) * int64_t(sizeof(Frame)));
  }
  void Push(const Frame &frame) {
    if (count_ == capacity_) Grow();
    frames_[count_++] = frame;
  }
  bool Empty() const { return count_ == 0; }
  // The top frame; valid until the next Push.
  Frame &Top() { return frames_[count_ - 1]; }
  void Pop() { count_--; }

 private:
  void Grow() {
    int32_t capacity = capacity_ * 2;
    auto *frames =
        static_cast<Frame *>(MEM_ALLOC(int64_t(capacity) * int64_t(sizeof(Frame)), 0));
    memcpy(static_cast<void *>(frames), frames_, size_t(count_) * sizeof(Frame));
    if (frames_ != inline_) MEM_FREE(frames_, int64_t(capacity_) * int64_t(sizeof(Frame)));
    frames_ = frames;
    capacity_ = capacity;
  }
  Frame inline_[kInline];
  Frame *frames_ = inline_;
  int32_t count_ = 0;
  int32_t capacity_ = kInline;
};
