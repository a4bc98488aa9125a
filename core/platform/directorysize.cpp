// Directory size: see directorysize.h.
#include "core/platform/directorysize.h"

#include <atomic>

#include "core/formats/dictionary.h"
#include "core/platform/directory.h"
#include "core/platform/interopcallback.h"
#include "core/runtime/memory.h"
#include "core/platform/notification.h"
#include "core/platform/path.h"
#include "core/runtime/signal.h"
#include "core/runtime/str.h"
#include "core/platform/thread.h"

namespace {

constexpr const char *kSender = "Path";
constexpr const char *kResponse = "DirectoryGetSizeResponse";
constexpr const char *kThreadInstance = "Thread";
constexpr const char *kAnswerFormat = "{\"successful\":%s,\"result\":%lld}";

struct DirectorySizeState {
  std::atomic<int32_t> busy{0};
  Thread *thread = nullptr;           // main thread only
  InteropCallback *running = nullptr;  // the running request's entry; main thread only
};

DirectorySizeState gDirectorySize;

// What the worker gets at its start; valid until it sets copied.
struct DirectorySizeStart {
  const char *path;
  Signal *copied;
};

struct DirectorySizeSum {
  int64_t total;
};

// A link is neither a file to count nor a directory to enter (the walk never
// enters one); a cleared busy flag ends the walk early.
int directorySizeEntry(void *userData, DirectoryList *list, int, const char *) {
  if (gDirectorySize.busy.load() == 0) return kDirectoryListStop;
  const DirectoryEntry *entry = list->current;
  if (entry->attributes & (kFileAttributeDirectory | kFileAttributeSymlink))
    return kDirectoryListContinue;
  static_cast<DirectorySizeSum *>(userData)->total += entry->size;
  return kDirectoryListContinue;
}

int directorySizeWorker(void *userData) {
  auto *start = static_cast<DirectorySizeStart *>(userData);
  auto *root = static_cast<char *>(MEM_ALLOC(kPathMax, 0));
  int resolved = Path_Resolve(start->path, root, kPathMax) &&
                 Path_Normalize(root, kPathMax, kPathEnsureTrailing);
  Signal_Set(start->copied, 1, KSRC);  // start is gone from here on
  DirectorySizeSum sum{0};
  int successful = 0;
  if (resolved) {
    DirectoryList *list = nullptr;
    DirectoryList_Create(&list);
    DirectoryList_SetMask(list, kDirectoryListFiles | kDirectoryListDirectories);
    DirectoryList_SetCallback(list, directorySizeEntry, &sum);
    successful = DirectoryList_Walk(list, root, nullptr) && gDirectorySize.busy.load() != 0;
    DirectoryList_Release(&list);
  }
  MEM_FREE(root, kPathMax);
  NotificationCenter_FireAfterDelayWithJSON(kSender, kResponse, kThreadInstance, 0, kAnswerFormat,
                                            successful ? "true" : "false",
                                            static_cast<long long>(sum.total));
  return 0;
}

// The request's observer: hands the answer to the page through the entry,
// then lets go of both.
int directorySizeForward(void *context, const char *, const char *, const char *instance,
                         Dictionary *info) {
  auto *entry = static_cast<InteropCallback *>(context);
  NotificationCenter_RemoveInstanceObserver(kSender, kResponse, instance, entry,
                                            directorySizeForward);
  Dictionary *answer = nullptr;
  Dictionary_Create(&answer);
  Dictionary_AddString(answer, "callbackId", Interop_GetCallbackName(entry), nullptr);
  Dictionary_AddString(answer, "type", "FileSystem", nullptr);
  Dictionary_AddString(answer, "sender", "Global", nullptr);
  Dictionary *details = nullptr;
  Dictionary_AddDictionary(answer, "info", &details, nullptr);
  if (info != nullptr) Dictionary_Merge(details, info, 0);
  Interop_InvokeCallback(entry, answer);
  Dictionary_Release(&answer);
  Interop_ReleaseCallback(&entry);
  return 1;
}

// The worker's answer, on the main thread: the computation is over.
int directorySizeComplete(void *context, const char *, const char *, const char *,
                          Dictionary *info) {
  auto *state = static_cast<DirectorySizeState *>(context);
  NotificationCenter_RemoveInstanceObserver(kSender, kResponse, kThreadInstance, state,
                                            directorySizeComplete);
  if (state->thread != nullptr) Thread_Join(-1, &state->thread);
  InteropCallback *entry = state->running;
  state->running = nullptr;
  state->busy.store(0);
  if (entry != nullptr)
    NotificationCenter_Fire(kSender, kResponse, Interop_GetCallbackName(entry), info);
  return 1;
}

// The failure answer, delivered by the next pump to the request's observer.
void directorySizeRefuse(InteropCallback *entry) {
  NotificationCenter_FireAfterDelayWithJSON(kSender, kResponse, Interop_GetCallbackName(entry), 0,
                                            kAnswerFormat, "false", 0LL);
}

}  // namespace

int Path_GetDirectorySizeAsync(const char *path, const char *callbackName) {
  Thread_AssertMain(KSRC);
  CHECK_POINTER(path);
  DirectorySizeState *state = &gDirectorySize;
  InteropCallback *entry = nullptr;
  Interop_AddCallback(callbackName, nullptr, Interop_QueueCallbackArgument, &entry);
  NotificationCenter_AddInstanceObserver(kSender, kResponse, Interop_GetCallbackName(entry), entry,
                                         directorySizeForward);
  if (state->busy.load() != 0) {
    directorySizeRefuse(entry);
    return 0;
  }
  if (state->thread != nullptr)
    Core_Abort(KSRC,
               "Assertion failed (Global_PathDirectorySize.ThreadHandle == NULL)\nNo alive thread "
               "must be at this moment");
  state->busy.store(1);
  NotificationCenter_AddInstanceObserver(kSender, kResponse, kThreadInstance, state,
                                         directorySizeComplete);
  DirectorySizeStart start{path, nullptr};
  int started = Signal_Create(&start.copied) &&
                Thread_Start(&state->thread, &start, directorySizeWorker);
  if (started) {
    state->running = entry;
    Signal_Wait(start.copied, nullptr, -1, KSRC);
  }
  if (start.copied != nullptr) Signal_Release(&start.copied);
  if (started) return 1;
  // No worker: the page still gets its answer, and the request lets go of
  // what it took.
  NotificationCenter_RemoveInstanceObserver(kSender, kResponse, kThreadInstance, state,
                                            directorySizeComplete);
  state->busy.store(0);
  directorySizeRefuse(entry);
  return 0;
}

int Path_StopDirectorySize(void) {
  Thread_AssertMain(KSRC);
  DirectorySizeState *state = &gDirectorySize;
  if (state->thread == nullptr) return 1;
  state->busy.store(0);
  Thread_Join(-1, &state->thread);
  NotificationCenter_RemoveInstanceObserver(kSender, kResponse, kThreadInstance, state,
                                            directorySizeComplete);
  if (InteropCallback *entry = state->running) {
    state->running = nullptr;
    NotificationCenter_RemoveInstanceObserver(kSender, kResponse, Interop_GetCallbackName(entry),
                                              entry, directorySizeForward);
    Interop_ReleaseCallback(&entry);
  }
  return 1;
}
