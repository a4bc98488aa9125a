// Analytics: collects named events from the workflow engine, tasks, page
// scripts and the crash reporter, keeps them in an in-memory queue and sends
// them in batches as a JSON array, POSTed with an API key to the configured
// endpoint. Every event carries the machine id (the SHA-1 of the primary
// adapter's MAC address and the serial of the disk holding the system
// directory) and the session id (a fresh GUID per process). The main loop
// drives the sending through Analytics_Pump, one request at a time on a
// connection of its own; a failed batch is kept and retried after a growing
// delay; Analytics_Shutdown sends what is left, for at most a few seconds.
//
// No endpoint is built in: until "analytics.endPoint" and "analytics.key" are
// configured, analytics is inactive, and the first event dropped for that
// says so in one INFO line.
//
// Invariants: (1) events leave the queue only through a successful send
// (those with the sent mark), an overflow (the oldest first), disabling, or
// shutdown. (2) the sent mark is set exactly on the events of the batch in
// flight; a failure clears every mark. (3) the queue never holds more than
// maxEvents events once a new one has been added. (4) the body buffer lives
// until the next batch replaces it or shutdown, so the request may borrow it.
//
// Threads: main thread (tracking, configuration, the pump, sending and
// Analytics_Shutdown, which flushes the main queue while it sends). The crash
// handler calls Analytics_AppendEvents, Analytics_IsActive and
// Analytics_GetSessionId on the thread that crashed, while the rest stands
// still. There is no lock.
#pragma once

#include <cstdint>

struct Dictionary;

constexpr uint32_t kAnalyticsTag = 0x5a1c7e01;
constexpr int kAnalyticsEndPointBytes = 4096;
// API key, machine id, session id and an event name keep at most 319
// characters.
constexpr int kAnalyticsTextBytes = 320;
constexpr int kAnalyticsSessionIdMaxBytes = 1024;
constexpr int32_t kAnalyticsDefaultMaxEvents = 500;
constexpr int32_t kAnalyticsDefaultMaxSendEvents = 100;
constexpr int32_t kAnalyticsDefaultSendIntervalSeconds = 300;
// Event items are taken from the pool this many at a time.
constexpr int32_t kAnalyticsPoolGrowth = 5;
// After n consecutive failures the next try waits 15 x 2^min(n - 1, 8) s.
constexpr double kAnalyticsRetryBaseSeconds = 15.0;
constexpr int32_t kAnalyticsRetryMaxDoublings = 8;
// Shutdown gives up sending after this long: an endpoint that drips its
// answer must not keep the program from exiting.
constexpr double kAnalyticsShutdownSeconds = 5.0;

// Creates the global with the defaults (enabled, no endpoint, no key, 500,
// 100, 300 s), its pool, dictionaries, JSON writer, connection (keep-alive
// and error reports off) and request; sets the machine and session ids
// (DEBUG "Machine Id: %s", "Session Id: %s") and the next batch time (now +
// send interval). Returns 1; stops the program when the global exists.
int Analytics_Init(void);
// Sends what is queued until the queue is empty, a send fails or
// kAnalyticsShutdownSeconds have passed (the request then is cancelled);
// events left are counted in DEBUG "Failed to send %d analytics events (%d)"
// with the last HTTP status; then frees everything. Returns 1 (also without
// a global).
int Analytics_Shutdown(void);

// Applies "analytics.enabled", "analytics.endPoint", "analytics.key",
// "analytics.maxEvents" and "analytics.maxSendEvents" (each at least 1) and
// "analytics.sendInterval" (seconds; the next batch time becomes now + it) of
// config; absent keys keep their values. Returns 1.
int Analytics_Configure(Dictionary *config);

// Queues an event named name with the members of arguments (may be NULL)
// after "event", "machine" and "session"; an "arguments"."analytics" object
// moves into the event's "analytics" object, macro-expanded. The oldest event
// goes when the queue is full (WARNING "Analytics event count exceeds max
// size (%d)" once until the next successful send). Returns 1; 0 when inactive
// or name is NULL.
int Analytics_TrackEvent(const char *name, Dictionary *arguments);
// Tracks each Dictionary element of list under its "event" text, which is
// removed from the element first. Returns 1.
int Analytics_TrackEvents(Dictionary *list);
// Appends to list one Dictionary per queued event, as it would be sent.
// Returns 1.
int Analytics_AppendEvents(Dictionary *list);
// For hosts -> sources -> verbs with numeric values, tracks one
// "WebGetXCache" event per verb with "host", "from", "verb" and "value" (an
// integer). Returns 1.
int Analytics_TrackXCacheStats(Dictionary *statistics);

// 0 also empties the queue. Returns 1.
int Analytics_SetEnabled(int enabled);
// 1 when enabled with an endpoint and a key.
int Analytics_IsActive(void);
// Copies the session id into buffer (size bytes, at most
// kAnalyticsSessionIdMaxBytes used). Returns 1.
int Analytics_GetSessionId(char *buffer, int size);
// The shared properties added to every event's "analytics" object when it
// is sent (borrowed: owned by the global). Returns 1.
int Analytics_GetProperties(Dictionary **properties);

// One pass of the main loop: starts a batch when the next batch time has
// come or maxSendEvents events wait, then polls the connection once.
// Returns 1.
int Analytics_Pump(void);
// Starts the next batch. 1 while a request is in flight or was started (or,
// with final 0, while the retry time has not come); 0 when inactive, when
// nothing is left to send or when a failure was just recorded.
int Analytics_Send(int final);
// 1 when events are queued or a request is in flight.
int Analytics_HasWork(void);
// The wait after that many consecutive failures: 0 for 0, else
// 15 x 2^min(failures - 1, 8) seconds, at most the send interval when that
// is 1 or more.
double Analytics_RetryDelay(int32_t failures);

// Tests only: what the back-off and the queue stand at.
struct AnalyticsStatus {
  int32_t queued;
  int32_t failures;
  int32_t inFlight;
  double retryNotBefore;  // tick seconds
  double nextBatchTime;   // tick seconds
};
int Analytics_GetStatusForTest(AnalyticsStatus *status);
// Tests only: how long Analytics_Shutdown may send (below 0: the default).
void Analytics_SetShutdownSecondsForTest(double seconds);
