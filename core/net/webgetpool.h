// WebGetPool: the process-wide scheduler of HTTP requests.
//
// Callers hand it a WebGetRequest; it finds or creates the host entry for
// the request's server ("scheme://host:port", "file://" for local files),
// places the request on a free kept connection of that host, opens a new one
// while the host has fewer than maxHostConnections, or parks the request in
// the host's pending list. At most maxHosts hosts are pumped at a time; the
// others wait and one of them, chosen at random, is promoted when an active
// host runs out of work.
//
// Threading: everything here runs on the main thread (fatal otherwise). The
// connections' I/O callbacks only post the pool step to the main event queue.
#pragma once

#include <cstdint>

struct Dictionary;
struct WebGetRequest;
struct WebGetPool;

// Creates the one pool and makes it reachable process-wide. 0 when one
// already exists.
int WebGetPool_Init(WebGetPool **pool);
// Cancels posted steps, destroys every host entry (releasing pending requests
// and connections), frees the pool and clears the handle.
int WebGetPool_Release(WebGetPool **pool);
// The process-wide pool, or null.
WebGetPool *WebGetPool_Get(void);
// Applies "maxHosts" and "maxHostConnections" from a configuration section
// (values above 0; others keep the current limits).
int WebGetPool_Configure(WebGetPool *pool, const Dictionary *section);

// Schedules the request on its host (see above). Stops the program with
// "Cannot add in-use request in queue" when the pool still holds it (pending,
// on a connection, or waiting to be added again after a redirect). 0 without
// a pool or when the host key does not fit.
int WebGetPool_AddRequest(WebGetRequest *request);
// Takes an unfinished request back, whatever host its URL names now: a
// pending one is released from its host's list, a bound one is detached and
// its connection reset (the connection stays), one waiting after a redirect
// is dropped. The request is left at phase 0 (file URLs excepted). 1 when
// found.
int WebGetPool_RemoveRequest(WebGetRequest *request);
// One pump of the active hosts within about 0.1 s; nonzero when any
// connection reported activity or a redirected request was added again.
int WebGetPool_Step(void);
// Posts the step on the main event queue (not again while one is pending).
int WebGetPool_PostStep(void);

// ---- Inspection (tests and diagnostics) ------------------------------------------------

// The host key of a URL: "file://" for file URLs, else the scheme in lower
// case, "://", the host without user information and port, ":" and the
// explicit or default port ("https://h:443"). 0 when it does not fit.
int WebGetPool_GetHostKey(const char *url, char *out, int size);

enum class WebGetPoolHostState : int32_t { kNone = 0, kActive = 1, kWaiting = 2, kRetired = 3 };

// The state of the host entry under key (kNone when there is none), its
// connections and its pending requests; the others may be NULL.
int WebGetPool_GetHostCounts(WebGetPool *pool, const char *key, WebGetPoolHostState *state,
                             int32_t *connections, int32_t *pending);
// The numbers of active and waiting hosts; either may be NULL.
int WebGetPool_GetHostTotals(WebGetPool *pool, int32_t *active, int32_t *waiting);
