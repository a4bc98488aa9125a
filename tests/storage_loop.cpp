// The storage tests' copy loop; see storage_loop.h.
#include "tests/storage_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/filelist.h"
#include "base/piecelist.h"
#include "base/storagerequest.h"
#include "core/platform/eventqueue.h"

namespace {

struct LoopSlot {
  StorageRequest *request = nullptr;
  Storage *to = nullptr;
  int32_t piece = -1;
  int32_t busy = 0;
  std::map<int32_t, StorageLoopCodes> *failures = nullptr;
  const std::function<void(int32_t, int32_t)> *done = nullptr;
  void Finish(int32_t result, int32_t resultEx) {
    if (result != 0) (*failures)[piece] = {result, resultEx};
    if (done != nullptr && *done) (*done)(piece, result);
    busy = 0;
  }
};

void loopWritten(Storage *, void *context, void *, int32_t result, int32_t resultEx) {
  static_cast<LoopSlot *>(context)->Finish(result, resultEx);
}

void loopRead(Storage *, void *context, void *, int32_t result, int32_t resultEx) {
  auto *slot = static_cast<LoopSlot *>(context);
  if (result == 0 && slot->to != nullptr)
    Storage_Write(slot->to, slot->request, slot, loopWritten);
  else
    slot->Finish(result, resultEx);
}

// Flushes the main queue until done() holds; false after 60 s.
template <typename Done>
bool loopPump(Done done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    EventQueue_Flush(EventQueue_GetMain());
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

}  // namespace

std::vector<int32_t> StorageLoop_AllPieces(MetaFile *meta) {
  std::vector<int32_t> all(size_t(PieceList_GetPieceTotal(MetaFile_GetPieceList(meta))));
  for (size_t i = 0; i < all.size(); i++) all[i] = int32_t(i);
  return all;
}

std::map<int32_t, StorageLoopCodes> StorageLoop_Copy(
    Storage *from, Storage *to, MetaFile *meta, const std::vector<int32_t> &pieces, int inFlight,
    const std::function<void(int32_t, int32_t)> &done, int32_t installed) {
  std::map<int32_t, StorageLoopCodes> failures;
  std::vector<LoopSlot> slots(static_cast<size_t>(inFlight));
  for (LoopSlot &slot : slots) {
    StorageRequest_Create(&slot.request);
    slot.to = to;
    slot.failures = &failures;
    slot.done = &done;
  }
  size_t next = 0;
  auto idle = [&] {
    for (LoopSlot &slot : slots)
      if (slot.busy) return false;
    return true;
  };
  while (next < pieces.size()) {
    LoopSlot *free = nullptr;
    EXPECT_TRUE(loopPump([&] {
      for (LoopSlot &slot : slots)
        if (!slot.busy) free = &slot;
      return free != nullptr;
    }));
    if (free == nullptr) break;
    free->busy = 1;
    free->piece = pieces[next++];
    StorageRequest_Reset(free->request);
    StorageRequest_SetMetaFile(free->request, meta);
    StorageRequest_AddPiece(free->request, free->piece);
    StorageRequest_AllocBuffer(free->request);
    StorageRequest_SetInstalled(free->request, installed);
    Storage_Read(from, free->request, nullptr, free, loopRead);
  }
  EXPECT_TRUE(loopPump(idle));
  EXPECT_TRUE(loopPump([&] { return Storage_GetPendingRequests(from) == 0; }));
  for (LoopSlot &slot : slots) Class_ReleaseObject(&slot.request);
  return failures;
}

std::map<std::string, StorageLoopCodes> StorageLoop_Complete(Storage *storage, MetaFile *meta) {
  struct Outcome {
    std::map<std::string, StorageLoopCodes> *failures;
    FileEntry *entry;
    int32_t *active;
  };
  std::map<std::string, StorageLoopCodes> failures;
  int32_t active = 0;
  constexpr int32_t kWindow = 8;
  FileEntry *entry = nullptr;
  for (int more = FileList_GetFirst(MetaFile_GetFileList(meta), &entry); more;
       more = FileList_GetNext(entry, &entry)) {
    EXPECT_TRUE(loopPump([&] { return active < kWindow; }));
    active++;
    Storage_CompleteFile(storage, meta, entry, new Outcome{&failures, entry, &active},
                         [](Storage *, void *context, void *, int32_t result, int32_t resultEx) {
                           auto *o = static_cast<Outcome *>(context);
                           if (result != 0)
                             (*o->failures)[o->entry->name != nullptr ? o->entry->name : ""] = {
                                 result, resultEx};
                           (*o->active)--;
                           delete o;
                         });
  }
  EXPECT_TRUE(loopPump([&] { return active == 0; }));
  return failures;
}
