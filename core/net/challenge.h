// Challenge: the process-wide broker through which a part of the program
// that needs a secret from the user (server or proxy credentials, a client
// certificate, the password of encrypted storage) asks for it without
// knowing who answers. A requester posts "Challenge"/"Request" naming its own
// instance id with a Dictionary that says what it wants ("filter" and the
// keys of its kind); the broker keeps the request pending, answers it at once
// from a remembered answer that fits and has not failed, and otherwise fires
// "Challenge"/"PromptRequest" so that the user interface prompts. The
// interface answers with "Challenge"/"PromptResponse"; the broker remembers
// the answer and fires "Challenge"/"Response" at every pending requester it
// fits. One prompt is open at a time.
//
// Fit: the filter ("WebGetServer", "WebGetProxy", "ClientCert",
// "StorageDecrypt"; compared without regard to case) chooses the keys that
// must be equal (exactly, as text): host, realm and type for the two WebGet
// filters, address for ClientCert, host for StorageDecrypt. A key missing on
// either side means no fit.
//
// Invariants: (1) a pending entry leaves its list exactly once: when an answer
// is fired at it or when its requester withdraws. (2) an answer that carried
// "cancel" is fired once and never remembered. (3) the prompt-open flag is
// set only while a "PromptRequest" waits for its "PromptResponse" (or until
// Challenge_MarkInvalid clears it). (4) passwords in the broker's copies are
// wiped before the copies are freed.
//
// Threads: the broker is created, fed and fires on the main thread
// (notifications are delivered there). Its lock guards both lists and the
// flag; other threads take it with Challenge_Lock around reading an answer.
// No notification is fired while the lock is held.
#pragma once

#include <cstdint>

struct Dictionary;

constexpr uint32_t kChallengeTag = 0x4c9e2a71;
constexpr uint32_t kChallengePendingListTag = 0x4c9e2a72;
constexpr uint32_t kChallengeAnswerListTag = 0x4c9e2a73;
constexpr uint32_t kChallengePendingTag = 0x4c9e2a74;
constexpr uint32_t kChallengeAnswerTag = 0x4c9e2a75;
// Entries are taken from the broker's pools this many at a time.
constexpr int32_t kChallengePoolGrowth = 10;
// A requester is named by its instance id (32 hex digits; room for 39).
constexpr int kChallengeRequesterBytes = 40;

// Creates the broker and observes "Challenge"/"Request" and
// "Challenge"/"PromptResponse" of every instance. Main thread. Returns 1;
// stops the program when the broker exists already.
int Challenge_Init(void);
// Stops observing and frees every pending request and remembered answer.
// Returns 1 (also without a broker).
int Challenge_Shutdown(void);

// Queues "Challenge"/"Request" for requester (an instance id) with a copy of
// info, delivered by the next notification pump. The requester observes
// "Challenge"/"Response" on its own id. Any thread. Returns 1.
int Challenge_PostRequest(Dictionary *info, const char *requester);
// Clears the prompt-open flag and marks the remembered answer that fits info
// invalid, so that the next request prompts again. 1 when there was one.
// Stops the program with "Dictionary missing filter key" when info has no
// filter and "Unknown filter value (%s)" for an unknown one: callers are our
// own code.
int Challenge_MarkInvalid(Dictionary *info);
// Merges the most recent remembered answer whose filter is "WebGetProxy"
// into out. 1 when there was one.
int Challenge_GetLastProxyAnswer(Dictionary *out);
// Drops every pending request of requester, and any request of it still on
// its way, so that no answer is ever fired at an instance that is gone. The
// records that post requests call it from their destruction. Returns 1.
int Challenge_Withdraw(const char *requester);
// Releases a request or answer Dictionary; when that drops the last
// reference, its "password" text is wiped first. Clears *info.
void Challenge_ReleaseInfo(Dictionary **info);
// The number of pending requests (for tests and logs).
int32_t Challenge_GetPendingCount(void);
// 1 while the broker exists (between Challenge_Init and Challenge_Shutdown).
int Challenge_IsRunning(void);

// The broker's lock, around a requester's reading of an answer. Re-entrant.
// The fit rule on its own: 1 when candidate answers request, that is both
// name the same known filter and every key it compares is present and equal
// in both. 0 otherwise, also for a missing or unknown filter (no stop: the
// candidate may come from a user's file). Any thread; takes no lock.
int Challenge_Fits(Dictionary *request, Dictionary *candidate);
void Challenge_Lock(void);
void Challenge_Unlock(void);
