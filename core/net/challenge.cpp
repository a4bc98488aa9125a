// The challenge broker; see challenge.h.
#include "core/net/challenge.h"

#include <cstring>

#include "core/formats/dictionary.h"
#include "core/platform/notification.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "core/runtime/critsection.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/str.h"

namespace {

struct ChallengePending {
  uint32_t tag;  // kChallengePendingTag
  Dictionary *request;
  char requester[kChallengeRequesterBytes];
  ChallengePending *next;
  ChallengePending *prev;
};

struct ChallengeAnswer {
  uint32_t tag;  // kChallengeAnswerTag
  Dictionary *answer;
  int32_t count;  // answers received for it
  ChallengeAnswer *next;
  ChallengeAnswer *prev;
};

template <typename T>
struct ChallengeChain {
  uint32_t tag;
  T *head;
  T *tail;
  int32_t count;
};

// Requests still on their way when their requester withdrew; a few suffice,
// since the next notification pump delivers them.
constexpr int kChallengeWithdrawnSlots = 16;

struct ChallengeBroker {
  ObjectHeader header;  // kChallengeTag
  CriticalSection *lock;
  Pool *pendingPool;
  Pool *answerPool;
  ChallengeChain<ChallengePending> pending;  // guarded by lock
  ChallengeChain<ChallengeAnswer> answers;   // guarded by lock
  int32_t promptOpen;                        // guarded by lock
  char withdrawn[kChallengeWithdrawnSlots][kChallengeRequesterBytes];  // guarded by lock
  int32_t withdrawnNext;
};

ChallengeBroker *GlobalChallenge = nullptr;

struct ChallengeFilter {
  const char *name;
  const char *keys[3];  // besides "filter"; unused slots NULL
};

constexpr ChallengeFilter kChallengeFilters[] = {
    {"WebGetServer", {"host", "realm", "type"}},
    {"WebGetProxy", {"host", "realm", "type"}},
    {"ClientCert", {"address", nullptr, nullptr}},
    {"StorageDecrypt", {"host", nullptr, nullptr}},
};

// What a handler fires once the lock is released: the answer at every
// requester it fitted, then at most one prompt.
struct ChallengeOutbox {
  ChallengePending *responses = nullptr;  // unlinked entries, chained by next
  Dictionary *answer = nullptr;           // one reference
  char promptRequester[kChallengeRequesterBytes] = {};
  Dictionary *promptRequest = nullptr;  // one reference
};

ChallengeBroker *challengeGet(void) {
  CLASS_CHECK(GlobalChallenge, kChallengeTag);
  return GlobalChallenge;
}

const char *challengeText(Dictionary *d, const char *key) {
  const char *text = nullptr;
  int32_t length = 0;
  if (!Dictionary_GetTextByKey(d, key, &text, &length)) return nullptr;
  return text != nullptr ? text : "";
}

Dictionary *challengeCopy(Dictionary *source) {
  Dictionary *copy = nullptr;
  Dictionary_Create(&copy);
  Dictionary_Merge(copy, source, kDictionaryMergeOverwrite);
  return copy;
}

enum class FilterCheck { Found, Missing, Unknown };

FilterCheck challengeFindFilter(Dictionary *info, const ChallengeFilter **filter) {
  *filter = nullptr;
  const char *name = challengeText(info, "filter");
  if (name == nullptr) return FilterCheck::Missing;
  for (const ChallengeFilter &f : kChallengeFilters)
    if (Str_CompareNoCase(name, f.name) == 0) {
      *filter = &f;
      return FilterCheck::Found;
    }
  return FilterCheck::Unknown;
}

// The filter of a notification's info; a missing or unknown one is the page's
// mistake, logged and ignored.
const ChallengeFilter *challengeFilterOfNotification(const char *notification,
                                                     Dictionary *info) {
  const ChallengeFilter *filter = nullptr;
  FilterCheck check = info != nullptr ? challengeFindFilter(info, &filter) : FilterCheck::Missing;
  if (check == FilterCheck::Missing)
    Log_Print(LOG_WARNING, KSRC, 0, "Challenge %s without filter key - ignored\n", notification);
  else if (check == FilterCheck::Unknown)
    Log_Print(LOG_WARNING, KSRC, 0, "Challenge %s with unknown filter value (%s) - ignored\n",
              notification, challengeText(info, "filter"));
  return filter;
}

// Our own callers' filters must be right.
const ChallengeFilter *challengeFilterOfCall(Dictionary *info) {
  const ChallengeFilter *filter = nullptr;
  FilterCheck check = challengeFindFilter(info, &filter);
  if (check == FilterCheck::Missing) Core_Abort(KSRC, "Dictionary missing filter key");
  if (check == FilterCheck::Unknown)
    Core_Abort(KSRC, "Unknown filter value (%s)", challengeText(info, "filter"));
  return filter;
}

int challengeFits(const ChallengeFilter *filter, Dictionary *info, Dictionary *other) {
  const char *otherFilter = challengeText(other, "filter");
  if (otherFilter == nullptr || Str_CompareNoCase(otherFilter, filter->name) != 0) return 0;
  for (const char *key : filter->keys) {
    if (key == nullptr) break;
    const char *a = challengeText(info, key);
    const char *b = challengeText(other, key);
    if (a == nullptr || b == nullptr || strcmp(a, b) != 0) return 0;
  }
  return 1;
}

template <typename T>
void challengeAppend(ChallengeChain<T> *chain, T *entry) {
  entry->prev = chain->tail;
  entry->next = nullptr;
  if (chain->tail != nullptr) chain->tail->next = entry;
  else chain->head = entry;
  chain->tail = entry;
  chain->count++;
}

template <typename T>
void challengeUnlink(ChallengeChain<T> *chain, T *entry) {
  if (entry->prev != nullptr) entry->prev->next = entry->next;
  else chain->head = entry->next;
  if (entry->next != nullptr) entry->next->prev = entry->prev;
  else chain->tail = entry->prev;
  entry->next = entry->prev = nullptr;
  chain->count--;
}

// Lock held.
void challengeFreePending(ChallengeBroker *b, ChallengePending *entry) {
  Challenge_ReleaseInfo(&entry->request);
  void *member = entry;
  Pool_Free(b->pendingPool, &member, int32_t(sizeof(ChallengePending)), KSRC);
}

// Lock held.
void challengeFreeAnswer(ChallengeBroker *b, ChallengeAnswer *entry) {
  challengeUnlink(&b->answers, entry);
  Challenge_ReleaseInfo(&entry->answer);
  void *member = entry;
  Pool_Free(b->answerPool, &member, int32_t(sizeof(ChallengeAnswer)), KSRC);
}

// Lock held.
ChallengeAnswer *challengeFindAnswer(ChallengeBroker *b, const ChallengeFilter *filter,
                                     Dictionary *info) {
  for (ChallengeAnswer *a = b->answers.head; a != nullptr; a = a->next)
    if (challengeFits(filter, info, a->answer)) return a;
  return nullptr;
}

// Lock held: moves every pending entry the answer fits to the outbox.
void challengeDispatch(ChallengeBroker *b, ChallengeAnswer *answer, ChallengeOutbox *out) {
  const ChallengeFilter *filter = nullptr;
  if (challengeFindFilter(answer->answer, &filter) != FilterCheck::Found) return;
  ChallengePending **tail = &out->responses;
  for (ChallengePending *p = b->pending.head; p != nullptr;) {
    ChallengePending *next = p->next;
    if (challengeFits(filter, answer->answer, p->request)) {
      challengeUnlink(&b->pending, p);
      *tail = p;
      tail = &p->next;
    }
    p = next;
  }
  if (out->responses != nullptr && out->answer == nullptr) {
    out->answer = answer->answer;
    Dictionary_AddRef(out->answer);
  }
}

// Lock held: opens a prompt for the first pending request when none is open.
void challengePromptStep(ChallengeBroker *b, ChallengeOutbox *out) {
  if (b->promptOpen || b->pending.head == nullptr) return;
  ChallengePending *first = b->pending.head;
  const ChallengeFilter *filter = nullptr;
  challengeFindFilter(first->request, &filter);
  ChallengeAnswer *known = filter != nullptr ? challengeFindAnswer(b, filter, first->request)
                                             : nullptr;
  b->promptOpen = 1;
  Dictionary_SetInt32ByKey(first->request, "attempt", known != nullptr ? known->count : 0);
  Str_Set(out->promptRequester, first->requester);
  out->promptRequest = first->request;
  Dictionary_AddRef(out->promptRequest);
}

// Fires what the handler collected, without the lock.
void challengeFlush(ChallengeBroker *b, ChallengeOutbox *out) {
  while (out->responses != nullptr) {
    ChallengePending *p = out->responses;
    out->responses = p->next;
    NotificationCenter_Fire("Challenge", "Response", p->requester, out->answer);
    CriticalSection_Enter(b->lock);
    challengeFreePending(b, p);
    CriticalSection_Leave(b->lock);
  }
  if (out->promptRequest != nullptr)
    NotificationCenter_Fire("Challenge", "PromptRequest", out->promptRequester,
                            out->promptRequest);
  CriticalSection_Enter(b->lock);
  Challenge_ReleaseInfo(&out->answer);
  Challenge_ReleaseInfo(&out->promptRequest);
  CriticalSection_Leave(b->lock);
}

int challengeTakeWithdrawn(ChallengeBroker *b, const char *requester) {
  for (char *slot : b->withdrawn)
    if (slot[0] != '\0' && strcmp(slot, requester) == 0) {
      slot[0] = '\0';
      return 1;
    }
  return 0;
}

int challengeOnRequest(void *, const char *, const char *notification, const char *instance,
                       Dictionary *info) {
  ChallengeBroker *b = challengeGet();
  const ChallengeFilter *filter = challengeFilterOfNotification(notification, info);
  if (filter == nullptr) return 1;
  if (instance == nullptr || instance[0] == '\0' || Str_CompareNoCase(instance, "Global") == 0) {
    Log_Print(LOG_WARNING, KSRC, 0, "Challenge Request without requester - ignored\n");
    return 1;
  }
  ChallengeOutbox out;
  CriticalSection_Enter(b->lock);
  if (challengeTakeWithdrawn(b, instance)) {
    CriticalSection_Leave(b->lock);
    return 1;
  }
  auto *entry = static_cast<ChallengePending *>(
      Pool_Alloc(b->pendingPool, int32_t(sizeof(ChallengePending)), KSRC));
  entry->tag = kChallengePendingTag;
  entry->request = challengeCopy(info);
  Str_Set(entry->requester, instance);
  challengeAppend(&b->pending, entry);
  ChallengeAnswer *known = challengeFindAnswer(b, filter, info);
  if (known != nullptr) {
    int32_t invalid = 0;
    Dictionary_GetBooleanByKey(known->answer, "invalid", &invalid);
    const char *user = challengeText(known->answer, "username");
    const char *password = challengeText(known->answer, "password");
    const char *triedUser = challengeText(info, "username");
    const char *triedPassword = challengeText(info, "password");
    // A requester that already tried the remembered pair learns nothing from
    // getting it again: it waits for a prompt instead. A filter without a
    // user name (a storage's password) compares the password alone; handing
    // it back would only have it refused again, at once and for ever.
    int tried = password != nullptr && triedPassword != nullptr &&
                strcmp(password, triedPassword) == 0 &&
                strcmp(user != nullptr ? user : "", triedUser != nullptr ? triedUser : "") == 0;
    if (!invalid && !tried) challengeDispatch(b, known, &out);
  }
  challengePromptStep(b, &out);
  CriticalSection_Leave(b->lock);
  challengeFlush(b, &out);
  return 1;
}

int challengeOnPromptResponse(void *, const char *, const char *notification, const char *,
                              Dictionary *info) {
  ChallengeBroker *b = challengeGet();
  const ChallengeFilter *filter = challengeFilterOfNotification(notification, info);
  if (filter == nullptr) return 1;
  int32_t cancel = 0;
  Dictionary_GetBooleanByKey(info, "cancel", &cancel);
  ChallengeOutbox out;
  CriticalSection_Enter(b->lock);
  b->promptOpen = 0;
  ChallengeAnswer *answer = challengeFindAnswer(b, filter, info);
  if (answer != nullptr) {
    Dictionary *old = answer->answer;
    answer->answer = challengeCopy(info);  // the old copy's password is wiped
    Challenge_ReleaseInfo(&old);
    challengeUnlink(&b->answers, answer);  // the latest answer goes last
  } else {
    answer = static_cast<ChallengeAnswer *>(
        Pool_Alloc(b->answerPool, int32_t(sizeof(ChallengeAnswer)), KSRC));
    answer->tag = kChallengeAnswerTag;
    answer->answer = challengeCopy(info);
  }
  challengeAppend(&b->answers, answer);
  answer->count++;
  challengeDispatch(b, answer, &out);
  if (cancel) challengeFreeAnswer(b, answer);
  challengePromptStep(b, &out);
  CriticalSection_Leave(b->lock);
  challengeFlush(b, &out);
  return 1;
}

}  // namespace

int Challenge_Fits(Dictionary *request, Dictionary *candidate) {
  CHECK_POINTER(request);
  CHECK_POINTER(candidate);
  const ChallengeFilter *filter = nullptr;
  if (challengeFindFilter(request, &filter) != FilterCheck::Found) return 0;
  return challengeFits(filter, request, candidate);
}

int Challenge_Init(void) {
  Thread_AssertMain(KSRC);
  if (GlobalChallenge != nullptr) Core_Abort(KSRC, "Challenge broker exists already\n");
  auto *b = static_cast<ChallengeBroker *>(Mem_Alloc(sizeof(ChallengeBroker), 0, KSRC));
  memset(static_cast<void *>(b), 0, sizeof *b);
  b->header.classTag = kChallengeTag;
  b->header.refCount.store(1);
  CriticalSection_Create(&b->lock);
  Pool_Create(&b->pendingPool, KSRC);
  Pool_SetMemberSize(b->pendingPool, int32_t(sizeof(ChallengePending)));
  Pool_SetMemberChunkSize(b->pendingPool, kChallengePoolGrowth);
  Pool_Create(&b->answerPool, KSRC);
  Pool_SetMemberSize(b->answerPool, int32_t(sizeof(ChallengeAnswer)));
  Pool_SetMemberChunkSize(b->answerPool, kChallengePoolGrowth);
  b->pending.tag = kChallengePendingListTag;
  b->answers.tag = kChallengeAnswerListTag;
  GlobalChallenge = b;
  NotificationCenter_AddInstanceObserver("Challenge", "Request", "Global", b, challengeOnRequest);
  NotificationCenter_AddInstanceObserver("Challenge", "PromptResponse", "Global", b,
                                         challengeOnPromptResponse);
  return 1;
}

int Challenge_Shutdown(void) {
  ChallengeBroker *b = GlobalChallenge;
  if (b == nullptr) return 1;
  NotificationCenter_RemoveInstanceObserver("Challenge", "Request", "Global", b,
                                            challengeOnRequest);
  NotificationCenter_RemoveInstanceObserver("Challenge", "PromptResponse", "Global", b,
                                            challengeOnPromptResponse);
  CriticalSection_Enter(b->lock);
  while (b->pending.head != nullptr) {
    ChallengePending *p = b->pending.head;
    challengeUnlink(&b->pending, p);
    challengeFreePending(b, p);
  }
  while (b->answers.head != nullptr) challengeFreeAnswer(b, b->answers.head);
  CriticalSection_Leave(b->lock);
  GlobalChallenge = nullptr;
  Pool_Release(&b->pendingPool);
  Pool_Release(&b->answerPool);
  CriticalSection_Delete(&b->lock);
  b->header.classTag = 0;
  Mem_Free(b, sizeof *b, KSRC);
  return 1;
}

int Challenge_PostRequest(Dictionary *info, const char *requester) {
  return NotificationCenter_FireAfterDelay("Challenge", "Request", requester, 0, info);
}

int Challenge_MarkInvalid(Dictionary *info) {
  ChallengeBroker *b = challengeGet();
  const ChallengeFilter *filter = challengeFilterOfCall(info);
  CriticalSection_Enter(b->lock);
  b->promptOpen = 0;
  ChallengeAnswer *answer = challengeFindAnswer(b, filter, info);
  if (answer != nullptr) Dictionary_SetBooleanByKey(answer->answer, "invalid", 1);
  CriticalSection_Leave(b->lock);
  return answer != nullptr ? 1 : 0;
}

int Challenge_GetLastProxyAnswer(Dictionary *out) {
  ChallengeBroker *b = challengeGet();
  int found = 0;
  CriticalSection_Enter(b->lock);
  for (ChallengeAnswer *a = b->answers.tail; a != nullptr && !found; a = a->prev) {
    const char *filter = challengeText(a->answer, "filter");
    if (filter != nullptr && Str_CompareNoCase(filter, "WebGetProxy") == 0) {
      Dictionary_Merge(out, a->answer, kDictionaryMergeOverwrite);
      found = 1;
    }
  }
  CriticalSection_Leave(b->lock);
  return found;
}

int Challenge_Withdraw(const char *requester) {
  ChallengeBroker *b = GlobalChallenge;
  if (b == nullptr || requester == nullptr || requester[0] == '\0') return 1;
  CLASS_CHECK(b, kChallengeTag);
  CriticalSection_Enter(b->lock);
  for (ChallengePending *p = b->pending.head; p != nullptr;) {
    ChallengePending *next = p->next;
    if (strcmp(p->requester, requester) == 0) {
      challengeUnlink(&b->pending, p);
      challengeFreePending(b, p);
    }
    p = next;
  }
  // A request posted just before may still be queued in the notification
  // center; it is dropped when it arrives.
  Str_Set(b->withdrawn[b->withdrawnNext], requester);
  b->withdrawnNext = (b->withdrawnNext + 1) % kChallengeWithdrawnSlots;
  CriticalSection_Leave(b->lock);
  return 1;
}

void Challenge_ReleaseInfo(Dictionary **info) {
  if (*info == nullptr) return;
  // A copy that someone else still holds keeps its password until its last
  // release.
  if ((*info)->header.refCount.load() == 1) {
    const char *text = nullptr;
    int32_t length = 0;
    if (Dictionary_GetTextByKey(*info, "password", &text, &length) && text != nullptr)
      explicit_bzero(const_cast<char *>(text), size_t(length));
  }
  Dictionary_Release(info);
}

int32_t Challenge_GetPendingCount(void) {
  ChallengeBroker *b = challengeGet();
  CriticalSection_Enter(b->lock);
  int32_t count = b->pending.count;
  CriticalSection_Leave(b->lock);
  return count;
}

void Challenge_Lock(void) { CriticalSection_Enter(challengeGet()->lock); }

void Challenge_Unlock(void) { CriticalSection_Leave(challengeGet()->lock); }

int Challenge_IsRunning(void) { return GlobalChallenge != nullptr ? 1 : 0; }
