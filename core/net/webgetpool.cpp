// WebGetPool; see webgetpool.h.
//
// Host entries, their connection and pending nodes, and the retired and
// redirect nodes come from member pools. Ownership: a connection node holds
// one reference on its connection, a pending node one on its request (and a
// redirect node one on the connection that ended the request for the
// redirect), the pending map borrows the pending nodes.
//
// Invariants: (1) a host entry is in exactly one of the active table, the
// waiting table and the retired list, as its state says. (2) a pool
// connection carries at most one request at a time (current, queued or
// waiting for credentials): requests go only to connections that are not
// busy. (3) a request is in at most one of: a host's pending list (and then
// in the pending map), a pool connection, the redirect list. (4) while a step
// runs no host entry is destroyed before its end: entries taken out of
// service go to the retired list.
#include "core/net/webgetpool.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/net/url.h"
#include "core/net/webget.h"
#include "core/net/webgetconnection.h"
#include "core/net/webgetrequest.h"
#include "core/platform/eventqueue.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "core/runtime/hashtable.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/str.h"

namespace {

constexpr uint32_t kWebGetPoolTag = 0x7e6b0f70;
constexpr uint32_t kHostTag = 0x7e6b0f71;
constexpr uint32_t kConnectionNodeTag = 0x7e6b0f72;
constexpr uint32_t kPendingNodeTag = 0x7e6b0f73;
constexpr uint32_t kRetiredNodeTag = 0x7e6b0f74;
constexpr uint32_t kConnectionListTag = 0x7e6b0f75;
constexpr uint32_t kPendingListTag = 0x7e6b0f76;
constexpr uint32_t kRetiredListTag = 0x7e6b0f77;
constexpr uint32_t kRedirectListTag = 0x7e6b0f78;

constexpr int32_t kDefaultMaxHosts = 5;
constexpr int32_t kDefaultMaxHostConnections = 6;
constexpr double kStepBudgetSeconds = 0.1;
constexpr int32_t kNodesPerChunk = 32;
// "scheme://" (scheme of at most 31 characters), a host of at most 511 and
// ":65535".
constexpr int kHostKeyBytes = 576;

constexpr const char *kFileKey = "file://";

}  // namespace

struct WebGetPoolHost;

struct WebGetPoolConnectionNode {
  uint32_t tag;
  WebGetConnection *connection;  // one reference
  WebGetPoolConnectionNode *prev;
  WebGetPoolConnectionNode *next;
};

// A pending request of a host, or (on the redirect list) a request to add
// again once the connection that ended it for a redirect has let it go.
struct WebGetPoolPendingNode {
  uint32_t tag;
  WebGetRequest *request;        // one reference
  WebGetPoolHost *host;          // pending: the host whose list holds it
  WebGetConnection *connection;  // redirect: the old connection (one reference)
  WebGetPoolPendingNode *prev;
  WebGetPoolPendingNode *next;
};

struct WebGetPoolRetiredNode {
  uint32_t tag;
  WebGetPoolHost *host;
  WebGetPoolRetiredNode *prev;
  WebGetPoolRetiredNode *next;
};

template <typename Node>
struct WebGetPoolList {
  uint32_t tag;
  Node *head;
  Node *tail;
  int32_t count;
};

struct WebGetPoolHost {
  uint32_t tag;
  WebGetPoolHostState state;
  WebGetPool *pool;
  WebGetPoolList<WebGetPoolConnectionNode> connections;
  WebGetPoolList<WebGetPoolPendingNode> pending;
  char key[kHostKeyBytes];
};

struct WebGetPool {
  ObjectHeader header;
  ClassLog log;  // "WebGetPool"
  int32_t maxHosts;
  int32_t maxHostConnections;
  int32_t resumeIndex;  // the active host the last step stopped before
  int32_t stepping;     // a step runs: host entries are retired, not destroyed
  HashTable *active;    // host key -> WebGetPoolHost
  HashTable *waiting;
  HashTable *pendingMap;  // WebGetRequest * -> its WebGetPoolPendingNode
  Pool *hostPool;
  Pool *connectionPool;
  Pool *pendingPool;
  Pool *retiredPool;
  WebGetPoolList<WebGetPoolRetiredNode> retired;
  WebGetPoolList<WebGetPoolPendingNode> redirects;
  std::vector<WebGetPoolHost *> walk;  // the step's copy of the active table
};

namespace {

std::atomic<WebGetPool *> gPool{nullptr};

// ---- Lists and members ------------------------------------------------------------------

template <typename Node>
void listAppend(WebGetPoolList<Node> *list, Node *node) {
  node->next = nullptr;
  node->prev = list->tail;
  (list->tail != nullptr ? list->tail->next : list->head) = node;
  list->tail = node;
  list->count++;
}

template <typename Node>
void listUnlink(WebGetPoolList<Node> *list, Node *node) {
  (node->prev != nullptr ? node->prev->next : list->head) = node->next;
  (node->next != nullptr ? node->next->prev : list->tail) = node->prev;
  node->prev = node->next = nullptr;
  list->count--;
}

template <typename T>
T *memberAlloc(Pool *pool, uint32_t tag) {
  auto *member = static_cast<T *>(POOL_ALLOC(pool, int32_t(sizeof(T))));
  member->tag = tag;
  return member;
}

template <typename T>
void memberFree(Pool *pool, T *member) {
  member->tag = 0;
  void *slot = member;
  POOL_FREE(pool, &slot, int32_t(sizeof(T)));
}

Pool *createMemberPool(int32_t memberSize) {
  Pool *pool = nullptr;
  Pool_Create(&pool, KSRC);
  Pool_SetMemberSize(pool, memberSize);
  Pool_SetMemberChunkSize(pool, kNodesPerChunk);
  return pool;
}

HashTable *createHostTable() {
  HashTable *table = nullptr;
  HashTable_Create(&table);
  HashTable_SetKeySize(table, kHostKeyBytes);
  return table;
}

// The pending map's keys are the request pointers themselves.
uint32_t pointerHash(void *, HashTable *, const void *key) {
  uint64_t v = uint64_t(reinterpret_cast<uintptr_t>(key));
  v ^= v >> 33;
  v *= 0xff51afd7ed558ccdULL;
  v ^= v >> 33;
  return uint32_t(v);
}

int pointerCompare(void *, HashTable *, const void *keyArea, const void *key) {
  const void *stored = nullptr;
  memcpy(&stored, keyArea, sizeof stored);
  return stored == key ? 1 : 0;
}

void poolLog(WebGetPool *p, const char *format, ...) {
  if (!Class_LogEnabled(&p->log, LOG_DEBUG)) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&p->log, 0, format, args);
  va_end(args);
}

// The log callback of pool connections: their lines, when their own log or
// the pool's is on, go to the log at DEBUG under the pool.
void connectionLogSink(void *context, const char *format, ...) {
  auto *c = static_cast<WebGetConnection *>(context);
  WebGetPool *p = gPool.load();
  bool on = c->forcedLog || Class_LogEnabled(&c->log, LOG_DEBUG) ||
            (p != nullptr && Class_LogEnabled(&p->log, LOG_DEBUG));
  if (!on) return;
  char line[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  Log_Print(LOG_DEBUG, KSRC, 0, "WebGetPool - WebGetConnection.%s - %s\n", c->header.instanceId,
            line);
}

// ---- Requests and connections ---------------------------------------------------------------

// 1 when the connection carries the request: current, waiting for
// credentials, or queued.
bool connectionHolds(WebGetConnection *c, WebGetRequest *r) {
  if (c->current == r || c->waiting == r) return true;
  for (const WebGetConnectionNode &node : c->queue)
    if (node.request == r) return true;
  return false;
}

bool hostHasRequests(WebGetPoolHost *host) {
  if (host->pending.count > 0) return true;
  for (WebGetPoolConnectionNode *n = host->connections.head; n != nullptr; n = n->next)
    if (WebGetConnection_IsBusy(n->connection)) return true;
  return false;
}

void releasePendingNode(WebGetPool *p, WebGetPoolPendingNode *node) {
  Class_ReleaseObject(&node->request);
  if (node->connection != nullptr) WebGetConnection_Release(&node->connection);
  memberFree(p->pendingPool, node);
}

// Takes a pending request off its host's list and out of the map; the
// caller owns the node.
void unlinkPending(WebGetPool *p, WebGetPoolPendingNode *node) {
  listUnlink(&node->host->pending, node);
  HashTable_Remove(p->pendingMap, node->request);
}

void postStep(WebGetPool *p);

void onConnectionPoll(WebGetConnection *, void *context) {
  postStep(static_cast<WebGetPool *>(context));
}

void onConnectionCompletion(WebGetConnection *connection, void *context, WebGetRequest *request);
void onConnectionRedirect(WebGetConnection *connection, void *context, WebGetRequest *request);

// A connection of a host entry that goes away may outlive it (a redirect
// node holds it): no completion or redirect of it reaches the entry. Its
// poll and log callbacks stay: I/O threads read them, and neither touches
// the entry.
void disconnect(WebGetConnection *c) {
  WebGetConnection_SetCompletionCallback(c, nullptr, nullptr);
  WebGetConnection_SetRedirectCallback(c, nullptr, nullptr);
}

// ---- Host entries -------------------------------------------------------------------------------

WebGetPoolHost *createHost(WebGetPool *p, const char *key, WebGetPoolHostState state) {
  auto *host = memberAlloc<WebGetPoolHost>(p->hostPool, kHostTag);
  host->state = state;
  host->pool = p;
  host->connections.tag = kConnectionListTag;
  host->pending.tag = kPendingListTag;
  Str_Copy(host->key, key, int(sizeof host->key));
  HashTableEntry *entry = nullptr;
  HashTable_Set(state == WebGetPoolHostState::kActive ? p->active : p->waiting, key, host,
                &entry);  // the key always fits: both have its size
  poolLog(p, "Host '%s' %s", key, state == WebGetPoolHostState::kActive ? "active" : "waiting");
  return host;
}

// Releases the pending requests and connections of an entry that is no
// longer in any table, and gives it back.
void destroyHost(WebGetPool *p, WebGetPoolHost *host) {
  while (WebGetPoolPendingNode *node = host->pending.head) {
    unlinkPending(p, node);
    releasePendingNode(p, node);
  }
  while (WebGetPoolConnectionNode *node = host->connections.head) {
    listUnlink(&host->connections, node);
    disconnect(node->connection);
    WebGetConnection_Release(&node->connection);
    memberFree(p->connectionPool, node);
  }
  poolLog(p, "Host '%s' destroyed", host->key);
  memberFree(p->hostPool, host);
}

// Takes an entry out of the active table and out of service: its
// connections are cancelled and it is destroyed at the end of the step.
void retireHost(WebGetPool *p, WebGetPoolHost *host) {
  HashTable_Remove(p->active, host->key);
  host->state = WebGetPoolHostState::kRetired;
  for (WebGetPoolConnectionNode *n = host->connections.head; n != nullptr; n = n->next)
    WebGetConnection_Cancel(n->connection);
  auto *node = memberAlloc<WebGetPoolRetiredNode>(p->retiredPool, kRetiredNodeTag);
  node->host = host;
  listAppend(&p->retired, node);
  poolLog(p, "Host '%s' retired", host->key);
  postStep(p);
}

void destroyRetired(WebGetPool *p) {
  while (WebGetPoolRetiredNode *node = p->retired.head) {
    listUnlink(&p->retired, node);
    destroyHost(p, node->host);
    memberFree(p->retiredPool, node);
  }
}

void moveToActive(WebGetPool *p, WebGetPoolHost *host) {
  HashTable_Remove(p->waiting, host->key);
  HashTableEntry *entry = nullptr;
  HashTable_Set(p->active, host->key, host, &entry);
  host->state = WebGetPoolHostState::kActive;
  poolLog(p, "Host '%s' active", host->key);
  // Its connections were queued to while nobody pumped them.
  postStep(p);
}

// A waiting host chosen at random becomes active.
void promoteWaiting(WebGetPool *p) {
  int32_t count = 0;
  HashTable_GetCount(p->waiting, &count);
  if (count == 0) return;
  uint32_t random = 0;
  Platform_RandomBytes(&random, sizeof random);
  uint32_t index = random % uint32_t(count);
  HashTableEntry *entry = nullptr;
  HashTable_First(p->waiting, &entry);
  for (uint32_t i = 0; i < index && entry != nullptr; i++)
    HashTable_Next(p->waiting, entry, &entry);
  void *value = nullptr;
  HashTable_GetEntry(p->waiting, entry, nullptr, &value);
  moveToActive(p, static_cast<WebGetPoolHost *>(value));
}

// Room in the active table for one more host: idle entries are taken out,
// in table order, until there is.
bool trimActive(WebGetPool *p) {
  int32_t count = 0;
  HashTable_GetCount(p->active, &count);
  int32_t excess = count - p->maxHosts + 1;
  HashTableEntry *entry = nullptr;
  HashTable_First(p->active, &entry);
  while (excess > 0 && entry != nullptr) {
    HashTableEntry *next = nullptr;
    HashTable_Next(p->active, entry, &next);
    void *value = nullptr;
    HashTable_GetEntry(p->active, entry, nullptr, &value);
    auto *host = static_cast<WebGetPoolHost *>(value);
    if (!hostHasRequests(host)) {
      if (p->stepping) {
        retireHost(p, host);
      } else {
        HashTable_RemoveEntry(p->active, &entry);
        destroyHost(p, host);
      }
      excess--;
    }
    entry = next;
  }
  return excess <= 0;
}

// The request takes a free connection of the host: the request's settings
// go onto the connection, which queues it.
void bindRequest(WebGetConnection *c, WebGetRequest *r) { WebGetRequest_ApplyToConnection(c, r); }

void scheduleRequest(WebGetPool *p, WebGetPoolHost *host, WebGetRequest *r) {
  for (WebGetPoolConnectionNode *n = host->connections.head; n != nullptr; n = n->next) {
    if (!WebGetConnection_IsBusy(n->connection)) {
      bindRequest(n->connection, r);
      return;
    }
  }
  if (host->connections.count >= p->maxHostConnections) {
    auto *node = memberAlloc<WebGetPoolPendingNode>(p->pendingPool, kPendingNodeTag);
    node->request = static_cast<WebGetRequest *>(Class_Retain(r));
    node->host = host;
    listAppend(&host->pending, node);
    HashTableEntry *entry = nullptr;
    HashTable_Set(p->pendingMap, r, node, &entry);
    return;
  }
  WebGetConnection *c = nullptr;
  WebGetConnection_Create(&c);
  WebGetConnection_SetPollCallback(c, p, onConnectionPoll);
  WebGetConnection_SetCompletionCallback(c, host, onConnectionCompletion);
  WebGetConnection_SetRedirectCallback(c, host, onConnectionRedirect);
  WebGetConnection_SetKeepAlive(c, 1);
  WebGetConnection_SetLogCallback(c, c, connectionLogSink);
  auto *node = memberAlloc<WebGetPoolConnectionNode>(p->connectionPool, kConnectionNodeTag);
  node->connection = c;
  listAppend(&host->connections, node);
  poolLog(p, "Host '%s' opens connection %d", host->key, host->connections.count);
  bindRequest(c, r);
}

// A connection of the host has become free: it takes the first live pending
// request; without one, a host left without requests makes room for a
// waiting one.
void settleHost(WebGetPool *p, WebGetPoolHost *host, WebGetConnection *c) {
  if (host->state == WebGetPoolHostState::kRetired) return;
  while (WebGetPoolPendingNode *node = host->pending.head) {
    unlinkPending(p, node);
    WebGetRequest *r = node->request;
    if (WebGetRequest_IsOnlyReference(r)) {
      releasePendingNode(p, node);
      continue;
    }
    bindRequest(c, r);
    releasePendingNode(p, node);
    return;
  }
  bool running = false;
  for (WebGetPoolConnectionNode *n = host->connections.head; n != nullptr; n = n->next)
    running = running || WebGetConnection_IsBusy(n->connection);
  if (running) return;
  int32_t waiting = 0;
  HashTable_GetCount(p->waiting, &waiting);
  if (waiting == 0 || host->state != WebGetPoolHostState::kActive) return;
  retireHost(p, host);
  promoteWaiting(p);
}

// Something for an idle connection of the host to do: a pending request to
// take, or a waiting host to make room for.
bool hostMaySettle(WebGetPool *p, WebGetPoolHost *host) {
  if (host->pending.count > 0) return true;
  int32_t waiting = 0;
  HashTable_GetCount(p->waiting, &waiting);
  return waiting > 0 && host->state == WebGetPoolHostState::kActive;
}

void onConnectionCompletion(WebGetConnection *connection, void *context, WebGetRequest *) {
  auto *host = static_cast<WebGetPoolHost *>(context);
  WebGetPool *p = host->pool;
  // A redirected request waits on the redirect list for this moment.
  if (p->redirects.count > 0) postStep(p);
  if (WebGetConnection_IsBusy(connection)) return;
  settleHost(p, host, connection);
}

void onConnectionRedirect(WebGetConnection *connection, void *context, WebGetRequest *request) {
  WebGetPool *p = static_cast<WebGetPoolHost *>(context)->pool;
  auto *node = memberAlloc<WebGetPoolPendingNode>(p->pendingPool, kPendingNodeTag);
  node->request = static_cast<WebGetRequest *>(Class_Retain(request));
  node->connection = static_cast<WebGetConnection *>(Class_Retain(connection));
  listAppend(&p->redirects, node);
}

// Adds every redirected request again whose old connection has let it go.
// One that failed while its redirect answer was read (Done) has ended.
int readdRedirects(WebGetPool *p) {
  int added = 0;
  WebGetPoolPendingNode *node = p->redirects.head;
  while (node != nullptr) {
    WebGetPoolPendingNode *next = node->next;
    WebGetRequest *r = node->request;
    if (!connectionHolds(node->connection, r)) {
      listUnlink(&p->redirects, node);
      if (WebGetRequest_GetPhase(r) != kWebGetPhaseDone) {
        WebGetRequest_FreeMemoryOutput(r);
        WebGetPool_AddRequest(r);
        added = 1;
      }
      releasePendingNode(p, node);
    }
    node = next;
  }
  return added;
}

void stepEvent(void *context) {
  if (gPool.load() == context) WebGetPool_Step();
}

void postStep(WebGetPool *p) {
  EventQueue *main = EventQueue_GetMain();
  if (main != nullptr) EventQueue_PostCallback(main, p, stepEvent);
}

void cancelSteps(WebGetPool *p) {
  EventQueue *main = EventQueue_GetMain();
  if (main != nullptr) EventQueue_Cancel(main, uintptr_t(p));
}

WebGetPoolHost *findHost(WebGetPool *p, const char *key) {
  void *value = nullptr;
  if (HashTable_Get(p->active, key, &value) || HashTable_Get(p->waiting, key, &value))
    return static_cast<WebGetPoolHost *>(value);
  return nullptr;
}

void poolDestroy(void **object) {
  auto *p = static_cast<WebGetPool *>(*object);
  *object = nullptr;
  WebGetPool *expected = p;
  gPool.compare_exchange_strong(expected, nullptr);
  cancelSteps(p);
  destroyRetired(p);
  for (HashTable *table : {p->waiting, p->active}) {
    HashTableEntry *entry = nullptr;
    while (HashTable_First(table, &entry)) {
      void *value = nullptr;
      HashTable_GetEntry(table, entry, nullptr, &value);
      HashTable_RemoveEntry(table, &entry);
      destroyHost(p, static_cast<WebGetPoolHost *>(value));
    }
  }
  while (WebGetPoolPendingNode *node = p->redirects.head) {
    listUnlink(&p->redirects, node);
    releasePendingNode(p, node);
  }
  cancelSteps(p);
  HashTable_Release(&p->active);
  HashTable_Release(&p->waiting);
  HashTable_Release(&p->pendingMap);
  Pool_Release(&p->hostPool);
  Pool_Release(&p->connectionPool);
  Pool_Release(&p->pendingPool);
  Pool_Release(&p->retiredPool);
  p->header.classTag = 0;
  p->~WebGetPool();
  MEM_FREE(p, sizeof(WebGetPool));
}

WebGetPool *mainPool() {
  Thread_AssertMain(KSRC);
  return gPool.load();
}

}  // namespace

// ---- Lifetime -------------------------------------------------------------------------------------

int WebGetPool_Init(WebGetPool **pool) {
  CHECK_POINTER(pool);
  Thread_AssertMain(KSRC);
  *pool = nullptr;
  if (gPool.load() != nullptr) return 0;
  auto *p = new (MEM_ALLOC(sizeof(WebGetPool), MEM_ZEROED)) WebGetPool();
  p->header.classTag = kWebGetPoolTag;
  p->header.refCount.store(1);
  p->header.destroy = poolDestroy;
  Class_GenerateInstanceId(p);
  p->log.object = p;
  p->log.className = "WebGetPool";
  p->maxHosts = kDefaultMaxHosts;
  p->maxHostConnections = kDefaultMaxHostConnections;
  p->active = createHostTable();
  p->waiting = createHostTable();
  HashTable_Create(&p->pendingMap);
  HashTable_SetKeySize(p->pendingMap, int32_t(sizeof(void *)));
  HashTable_SetKeyCopyCallback(p->pendingMap, HashTable_CopyKeyBytes);
  HashTable_SetHashCallback(p->pendingMap, pointerHash);
  HashTable_SetCompareCallback(p->pendingMap, pointerCompare);
  p->hostPool = createMemberPool(int32_t(sizeof(WebGetPoolHost)));
  p->connectionPool = createMemberPool(int32_t(sizeof(WebGetPoolConnectionNode)));
  p->pendingPool = createMemberPool(int32_t(sizeof(WebGetPoolPendingNode)));
  p->retiredPool = createMemberPool(int32_t(sizeof(WebGetPoolRetiredNode)));
  p->retired.tag = kRetiredListTag;
  p->redirects.tag = kRedirectListTag;
  gPool.store(p);
  *pool = p;
  return 1;
}

int WebGetPool_Release(WebGetPool **pool) {
  CHECK_POINTER(pool);
  if (*pool == nullptr) return 1;
  CLASS_CHECK(*pool, kWebGetPoolTag);
  Thread_AssertMain(KSRC);
  Class_ReleaseObject(pool);
  *pool = nullptr;
  return 1;
}

WebGetPool *WebGetPool_Get(void) { return gPool.load(); }

int WebGetPool_Configure(WebGetPool *pool, const Dictionary *section) {
  CLASS_CHECK(pool, kWebGetPoolTag);
  if (section == nullptr) return 1;
  auto *d = const_cast<Dictionary *>(section);
  int32_t value = 0;
  if (Dictionary_GetInt32ByKey(d, "maxHosts", &value) && value > 0) pool->maxHosts = value;
  value = 0;
  if (Dictionary_GetInt32ByKey(d, "maxHostConnections", &value) && value > 0)
    pool->maxHostConnections = value;
  return 1;
}

// ---- Requests -------------------------------------------------------------------------------------

int WebGetPool_AddRequest(WebGetRequest *request) {
  WebGetPool *p = mainPool();
  CLASS_CHECK(request, kWebGetRequestTag);
  if (p == nullptr) return 0;
  char key[kHostKeyBytes];
  if (!WebGetPool_GetHostKey(request->url, key, int(sizeof key))) return 0;
  void *found = nullptr;
  WebGetConnection *bound = nullptr;
  WebGetRequest_GetConnection(request, &bound);
  bool held = HashTable_Get(p->pendingMap, request, &found) != 0 ||
              (bound != nullptr && connectionHolds(bound, request));
  for (WebGetPoolPendingNode *n = p->redirects.head; n != nullptr && !held; n = n->next)
    held = n->request == request;
  if (held)
    Core_Abort(KSRC, "Assertion failed (!InUse)\nCannot add in-use request in queue");
  if (Str_Compare(key, kFileKey) != 0) WebGetRequest_SetPhase(request, kWebGetPhaseIdle);
  void *value = nullptr;
  WebGetPoolHost *host = nullptr;
  if (HashTable_Get(p->active, key, &value)) {
    host = static_cast<WebGetPoolHost *>(value);
  } else if (trimActive(p)) {
    if (HashTable_Get(p->waiting, key, &value)) {
      host = static_cast<WebGetPoolHost *>(value);
      moveToActive(p, host);
    } else {
      host = createHost(p, key, WebGetPoolHostState::kActive);
    }
  } else if (HashTable_Get(p->waiting, key, &value)) {
    host = static_cast<WebGetPoolHost *>(value);
  } else {
    host = createHost(p, key, WebGetPoolHostState::kWaiting);
  }
  scheduleRequest(p, host, request);
  return 1;
}

int WebGetPool_RemoveRequest(WebGetRequest *request) {
  WebGetPool *p = mainPool();
  CLASS_CHECK(request, kWebGetRequestTag);
  if (p == nullptr) return 0;
  int found = 0;
  for (WebGetPoolPendingNode *n = p->redirects.head; n != nullptr; n = n->next) {
    if (n->request != request) continue;
    listUnlink(&p->redirects, n);
    releasePendingNode(p, n);
    found = 1;
    break;
  }
  void *value = nullptr;
  if (HashTable_Get(p->pendingMap, request, &value)) {
    auto *node = static_cast<WebGetPoolPendingNode *>(value);
    unlinkPending(p, node);
    releasePendingNode(p, node);
    found = 1;
  } else {
    // Bound: the connection names it while it runs; a request that waits in
    // a queue (just added, or put back for a fresh try or for credentials)
    // is looked for on the connections of every host.
    WebGetConnection *c = nullptr;
    WebGetRequest_GetConnection(request, &c);
    if (c != nullptr && !connectionHolds(c, request)) c = nullptr;
    if (c == nullptr && WebGetRequest_GetPhase(request) != kWebGetPhaseDone) {
      for (HashTable *table : {p->active, p->waiting}) {
        HashTableEntry *entry = nullptr;
        for (int more = HashTable_First(table, &entry); more && c == nullptr;
             more = HashTable_Next(table, entry, &entry)) {
          HashTable_GetEntry(table, entry, nullptr, &value);
          auto *host = static_cast<WebGetPoolHost *>(value);
          for (WebGetPoolConnectionNode *n = host->connections.head; n != nullptr && c == nullptr;
               n = n->next)
            if (connectionHolds(n->connection, request)) c = n->connection;
        }
      }
    }
    if (c != nullptr) {
      // A pool connection carries only this request: dropping its queue
      // drops nobody else's.
      bool current = c->current == request;
      WebGetConnection_Reset(c, current ? 0 : 1, 1, 0);
      WebGetRequest_SetConnection(request, nullptr);
      found = 1;
      auto *host = static_cast<WebGetPoolHost *>(c->completionContext);
      if (host != nullptr && c->completionFunction == onConnectionCompletion)
        settleHost(p, host, c);
    }
  }
  char key[kHostKeyBytes];
  if (WebGetPool_GetHostKey(request->url, key, int(sizeof key)) && Str_Compare(key, kFileKey) != 0)
    WebGetRequest_SetPhase(request, kWebGetPhaseIdle);
  return found;
}

// ---- The step ---------------------------------------------------------------------------------------

int WebGetPool_Step(void) {
  WebGetPool *p = mainPool();
  if (p == nullptr) return 0;
  // A step never runs inside another (a handler that flushes the main queue).
  if (p->stepping) {
    postStep(p);
    return 0;
  }
  p->stepping = 1;
  double start = Platform_GetTickSeconds();
  p->walk.clear();
  HashTableEntry *entry = nullptr;
  for (int more = HashTable_First(p->active, &entry); more;
       more = HashTable_Next(p->active, entry, &entry)) {
    void *value = nullptr;
    HashTable_GetEntry(p->active, entry, nullptr, &value);
    p->walk.push_back(static_cast<WebGetPoolHost *>(value));
  }
  int32_t count = int32_t(p->walk.size());
  int32_t first = p->resumeIndex < count ? p->resumeIndex : 0;
  int32_t resume = 0;
  int activity = 0;
  for (int32_t i = first; i < count; i++) {
    WebGetPoolHost *host = p->walk[size_t(i)];
    if (host->state != WebGetPoolHostState::kActive) continue;
    bool late = false;
    // Connections opened meanwhile are appended: the walk takes them too.
    for (WebGetPoolConnectionNode *n = host->connections.head; n != nullptr && !late;
         n = n->next) {
      activity |= WebGetConnection_Poll(n->connection);
      // A connection also lets go of a request whose owner has let go of it,
      // without a completion: the host is settled here instead.
      if (!WebGetConnection_IsBusy(n->connection) && hostMaySettle(p, host))
        settleHost(p, host, n->connection);
      late = Platform_GetTickSeconds() - start >= kStepBudgetSeconds;
    }
    if (late || Platform_GetTickSeconds() - start >= kStepBudgetSeconds) {
      postStep(p);
      resume = i + 1 < count ? i + 1 : 0;
      break;
    }
  }
  p->resumeIndex = resume;
  p->walk.clear();
  p->stepping = 0;
  destroyRetired(p);
  if (readdRedirects(p)) activity = 1;
  return activity;
}

int WebGetPool_PostStep(void) {
  WebGetPool *p = gPool.load();
  if (p == nullptr) return 0;
  postStep(p);
  return 1;
}

// ---- Inspection ---------------------------------------------------------------------------------

int WebGetPool_GetHostKey(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  if (Url_HasScheme(url, "file")) return Str_Set(out, kFileKey, size);
  char scheme[32] = "";
  Url_GetScheme(url, scheme, int(sizeof scheme));
  Str_ToLower(scheme);
  char host[kWebGetHostBytes] = "";
  Url_GetHostWithoutPort(url, host, int(sizeof host));
  int port = 0;
  Url_GetPort(url, &port);
  int length = snprintf(out, size_t(size > 0 ? size : 0), "%s://%s:%d", scheme, host, port);
  return length >= 0 && length < size ? 1 : 0;
}

int WebGetPool_GetHostCounts(WebGetPool *pool, const char *key, WebGetPoolHostState *state,
                             int32_t *connections, int32_t *pending) {
  CLASS_CHECK(pool, kWebGetPoolTag);
  CHECK_POINTER(key);
  WebGetPoolHost *host = findHost(pool, key);
  if (state != nullptr) *state = host ? host->state : WebGetPoolHostState::kNone;
  if (connections != nullptr) *connections = host ? host->connections.count : 0;
  if (pending != nullptr) *pending = host ? host->pending.count : 0;
  return host != nullptr ? 1 : 0;
}

int WebGetPool_GetHostTotals(WebGetPool *pool, int32_t *active, int32_t *waiting) {
  CLASS_CHECK(pool, kWebGetPoolTag);
  if (active != nullptr) HashTable_GetCount(pool->active, active);
  if (waiting != nullptr) HashTable_GetCount(pool->waiting, waiting);
  return 1;
}
