// The HTTP client's global: agents, rewrite rules, whitelist, reports; see
// core/net/webget.h. The header helpers and name tables are in
// webgetheader.cpp.
#include "core/net/webget.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <atomic>
#include <cstring>
#include <new>

#include "core/formats/dictionary.h"
#include "core/net/url.h"
#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/critsection.h"
#include "core/runtime/expand.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/mime.h"
#include "core/runtime/pool.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "core/security/tls1.h"

namespace {

constexpr int kWebGetRulesPerChunk = 8;
constexpr int kWebGetReportsPerChunk = 32;
constexpr const char *kWebGetSystemAgentFormat =
    "(compatible; {SystemName} {SystemVersion}; {UserISO639LangName}-{UserISO3166CountryName})";

struct WebGetRule {
  uint32_t classTag;
  char key[kWebGetRuleKeyBytes];
  char replacement[kWebGetReplacementBytes];
  uint32_t flags;
  int32_t isMutable;
  pcre2_code *code;            // owned
  uint64_t substituteOptions;  // the low 32 bits reach PCRE2
  WebGetRule *next;
  WebGetRule *prev;
};

struct WebGetRuleList {
  uint32_t classTag;
  int32_t count;
  WebGetRule *head;
  WebGetRule *tail;
};

struct WebGetErrorReport {
  uint32_t classTag;
  uint32_t address;
  int32_t port;
  double holdUntil;  // tick seconds; not reported again before
  WebGetErrorReport *next;
  WebGetErrorReport *prev;
};

struct WebGetErrorReportList {
  uint32_t classTag;
  int32_t count;
  WebGetErrorReport *head;  // oldest first
  WebGetErrorReport *tail;
};

}  // namespace

struct WebGetGlobal {
  ObjectHeader header;  // the tag only: the global is not reference counted
  int32_t logging;               // "WebGet" is configured above level 0
  CriticalSection *webGetLock;   // the connections' lock; guards certStore and userAgent
  CriticalSection *ruleLock;     // rules, macros, the whitelist while it is mutable
  CriticalSection *cacheLock;    // cacheTally, tallyCount, tallyFullWarned
  CriticalSection *reportLock;   // reports, reportPool
  Pool *rulePool;
  Pool *reportPool;
  WebGetRuleList rules;
  Dictionary *macros;
  Dictionary *whitelist;
  Dictionary *cacheTally;
  int32_t tallyCount;  // status counters in cacheTally
  int32_t tallyFullWarned;
  WebGetErrorReportList reports;
  pcre2_match_context *matchContext;  // the limits every substitution runs under
  CertStore *certStore;               // one reference, or NULL
  char systemAgent[kWebGetAgentBytes];
  char userAgent[kWebGetAgentBytes];
  std::atomic<int32_t> authentication;
  int32_t whitelistImmutable;  // 0, then once 1; through Platform_CAS
};

namespace {

WebGetGlobal *GlobalWebGet = nullptr;

WebGetGlobal *webGetGlobal(const char *sourcePath, int line) {
  if (GlobalWebGet == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
  Class_Check(GlobalWebGet, kWebGetTag, sourcePath, line);
  return GlobalWebGet;
}
#define WEBGET_GLOBAL() webGetGlobal(KSRC)

// RAII for the critical sections.
class WebGetGuard {
 public:
  explicit WebGetGuard(CriticalSection *lock) : lock_(lock) { CriticalSection_Enter(lock_); }
  ~WebGetGuard() { CriticalSection_Leave(lock_); }
  WebGetGuard(const WebGetGuard &) = delete;
  WebGetGuard &operator=(const WebGetGuard &) = delete;

 private:
  CriticalSection *lock_;
};

Dictionary *webGetCreateTable(void) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  Dictionary_SetAllowDuplicates(d, 0);
  // Keys are host names, rule macros and server names chosen by others: a
  // leading '#' is part of the key, not a hidden marker.
  Dictionary_SetHashPrefix(d, 0);
  return d;
}

int webGetCopyOut(const char *text, char *out, int size) {
  CHECK_POINTER(out);
  if (size < 1) return 0;
  size_t length = strlen(text);
  if (length >= size_t(size)) {
    out[0] = '\0';
    return 0;
  }
  memcpy(out, text, length + 1);
  return 1;
}

// The TLS layer's store source while the global exists: the global's store
// (retained), or NULL so that sessions take "app" when none is set.
CertStore *webGetCertStoreSource(void) {
  WebGetGlobal *g = GlobalWebGet;
  if (g == nullptr) return nullptr;
  WebGetGuard guard(g->webGetLock);
  return g->certStore ? CertStore_Retain(g->certStore) : nullptr;
}

// ---- Rules --------------------------------------------------------------------

// The rule and error-report lists: counted, doubly linked, oldest first.
template <typename List, typename Node>
void webGetListAppend(List *list, Node *node) {
  node->next = nullptr;
  node->prev = list->tail;
  (list->tail ? list->tail->next : list->head) = node;
  list->tail = node;
  list->count++;
}

template <typename List, typename Node>
void webGetListUnlink(List *list, Node *node) {
  (node->prev ? node->prev->next : list->head) = node->next;
  (node->next ? node->next->prev : list->tail) = node->prev;
  list->count--;
}

WebGetRule *webGetFindRule(WebGetGlobal *g, const char *key) {
  for (WebGetRule *r = g->rules.head; r != nullptr; r = r->next)
    if (Str_CompareNoCase(r->key, key) == 0) return r;
  return nullptr;
}

void webGetFreeRule(WebGetGlobal *g, WebGetRule *rule) {
  pcre2_code_free(rule->code);
  void *member = rule;
  POOL_FREE(g->rulePool, &member, int32_t(sizeof(WebGetRule)));
}

// Every rule (or only the mutable ones) and the macro values.
void webGetClearRules(WebGetGlobal *g, bool keepImmutable) {
  WebGetGuard guard(g->ruleLock);
  for (WebGetRule *r = g->rules.head, *next = nullptr; r != nullptr; r = next) {
    next = r->next;
    if (keepImmutable && !r->isMutable) continue;
    webGetListUnlink(&g->rules, r);
    webGetFreeRule(g, r);
  }
  Dictionary_Clear(g->macros);
}

// The caller's handler of the URL expansions: {SystemAgent}, {Url} (second
// pass only) and the macro values.
struct WebGetExpandContext {
  WebGetGlobal *global;
  const char *original;  // NULL in the first pass
};

int webGetMacroHandler(void *userData, const char *name, const char *, char *out, int outSize) {
  auto *context = static_cast<WebGetExpandContext *>(userData);
  WebGetGlobal *g = context->global;
  if (Str_CompareNoCase(name, "SystemAgent") == 0) return webGetCopyOut(g->systemAgent, out, outSize);
  if (context->original != nullptr && Str_CompareNoCase(name, "Url") == 0)
    return webGetCopyOut(context->original, out, outSize);
  WebGetGuard guard(g->ruleLock);
  const char *value = nullptr;
  if (!Dictionary_GetStringPointerByKey(g->macros, name, &value) || value == nullptr) return 0;
  return webGetCopyOut(value, out, outSize);
}

int webGetExpand(WebGetGlobal *g, char *url, int size, const char *original) {
  WebGetExpandContext context{g, original};
  return Str_Expand(url, size, &context, webGetMacroHandler);
}

// Runs one rule on url (size bytes) into work (size bytes). 1 when it
// replaced the URL.
int webGetApplyRule(WebGetGlobal *g, WebGetRule *rule, char *url, int size, char *work) {
  PCRE2_SIZE outLength = PCRE2_SIZE(size);
  int rc = pcre2_substitute(rule->code, reinterpret_cast<PCRE2_SPTR>(url), PCRE2_ZERO_TERMINATED,
                            0, uint32_t(rule->substituteOptions & 0xffffffffu), nullptr,
                            g->matchContext, reinterpret_cast<PCRE2_SPTR>(rule->replacement),
                            PCRE2_ZERO_TERMINATED, reinterpret_cast<PCRE2_UCHAR *>(work),
                            &outLength);
  if (rc < 0) {
    // Also a result that does not fit (PCRE2_ERROR_NOMEMORY) and the match
    // and depth limits: the URL stays as it was.
    Log_Print(LOG_WARNING, KSRC, 0, "Regex substitution failed (%s) (%d)\n", rule->key, rc);
    return 0;
  }
  if (rc == 0) return 0;
  if (g->logging)
    Log_Print(LOG_DEBUG, KSRC, 0, "Regex substitution %s to %s\n", UrlLoggable(url).text,
              UrlLoggable(work).text);
  memcpy(url, work, outLength + 1);
  return 1;
}

// ---- Option texts -----------------------------------------------------------

struct WebGetOptionName {
  const char *name;
  uint64_t value;
};

constexpr WebGetOptionName kWebGetRedirectFlagNames[] = {
    {"Expand", kWebGetRedirectExpand},
    {"Resource", kWebGetRedirectResource},
};

constexpr WebGetOptionName kWebGetCompileOptionNames[] = {
    {"AllowEmptyClass", PCRE2_ALLOW_EMPTY_CLASS},
    {"AltBSUX", PCRE2_ALT_BSUX},
    {"AltCircumflex", PCRE2_ALT_CIRCUMFLEX},
    {"AltVerbNames", PCRE2_ALT_VERBNAMES},
    {"Anchored", PCRE2_ANCHORED},
    {"Caseless", PCRE2_CASELESS},
    {"DollarEndOnly", PCRE2_DOLLAR_ENDONLY},
    {"DotAll", PCRE2_DOTALL},
    {"DupNames", PCRE2_DUPNAMES},
    {"EndAnchored", PCRE2_ENDANCHORED},
    {"Extended", PCRE2_EXTENDED},
    {"FirstLine", PCRE2_FIRSTLINE},
    {"Literal", PCRE2_LITERAL},
    {"MatchUnsetBackRef", PCRE2_MATCH_UNSET_BACKREF},
    {"MultiLine", PCRE2_MULTILINE},
    {"NeverBackslashC", PCRE2_NEVER_BACKSLASH_C},
    {"NoAutoCapture", PCRE2_NO_AUTO_CAPTURE},
    {"NoAutoPossess", PCRE2_NO_AUTO_POSSESS},
    {"NoDotStarAnchor", PCRE2_NO_DOTSTAR_ANCHOR},
    {"NoStartOptimize", PCRE2_NO_START_OPTIMIZE},
    {"Ungreedy", PCRE2_UNGREEDY},
};

// "DupNames" is a name only: PCRE2_DUPNAMES (0x40) passed to a match is
// PCRE2_DFA_RESTART, which pcre2_substitute refuses (PCRE2_ERROR_BADOPTION)
// on every call. Duplicate names are a compile option and take effect there.
constexpr WebGetOptionName kWebGetSubstituteOptionNames[] = {
    {"Anchored", PCRE2_ANCHORED},
    {"DupNames", 0},
    {"EndAnchored", PCRE2_ENDANCHORED},
    {"NotBol", PCRE2_NOTBOL},
    {"NotEol", PCRE2_NOTEOL},
    {"NotEmpty", PCRE2_NOTEMPTY},
    {"NotEmptyAtStart", PCRE2_NOTEMPTY_ATSTART},
    {"Extended", PCRE2_SUBSTITUTE_EXTENDED},
    {"Global", PCRE2_SUBSTITUTE_GLOBAL},
    {"Literal", PCRE2_SUBSTITUTE_LITERAL},
    {"ReplacementOnly", PCRE2_SUBSTITUTE_REPLACEMENT_ONLY},
    {"UnknownUnset", PCRE2_SUBSTITUTE_UNKNOWN_UNSET},
    {"UnsetEmpty", PCRE2_SUBSTITUTE_UNSET_EMPTY},
};

template <size_t N>
uint64_t webGetParseOptions(const char *text, const WebGetOptionName (&names)[N]) {
  CHECK_POINTER(text);
  uint64_t value = 0;
  int field = 0;
  const char *p = text;
  for (;;) {
    const char *end = strchr(p, ',');
    size_t length = end ? size_t(end - p) : strlen(p);
    if (field % 2 == 0) {
      for (const WebGetOptionName &option : names)
        if (strlen(option.name) == length && Str_EqualNoCaseN(p, option.name, int(length)))
          value |= option.value;
    }
    if (end == nullptr) return value;
    p = end + 1;
    while (*p == ' ' || *p == '\t') p++;
    field++;
  }
}

// ---- Reports ----------------------------------------------------------------

void webGetDropReport(WebGetGlobal *g, WebGetErrorReport *r) {
  webGetListUnlink(&g->reports, r);
  void *member = r;
  POOL_FREE(g->reportPool, &member, int32_t(sizeof(WebGetErrorReport)));
}

void webGetClearReports(WebGetGlobal *g) {
  while (g->reports.head != nullptr) webGetDropReport(g, g->reports.head);
}

}  // namespace

// ---- Lifetime -------------------------------------------------------------------

int WebGet_Init(void) {
  if (GlobalWebGet != nullptr)
    Core_Abort(KSRC, "Assertion failed (GlobalWebGet == NULL)\nWebGet already initialized");
  auto *g = new (MEM_ALLOC(sizeof(WebGetGlobal), MEM_ZEROED)) WebGetGlobal();
  g->header.classTag = kWebGetTag;
  int level = 0;
  g->logging = Log_GetVerboseLevel("WebGet", &level) && level > 0 ? 1 : 0;
  g->certStore = Auth_GetCertStore("app");
  CriticalSection_Create(&g->webGetLock);
  CriticalSection_Create(&g->ruleLock);
  CriticalSection_Create(&g->cacheLock);
  CriticalSection_Create(&g->reportLock);
  Pool_Create(&g->rulePool, KSRC);
  Pool_SetMemberSize(g->rulePool, int32_t(sizeof(WebGetRule)));
  Pool_SetMemberChunkSize(g->rulePool, kWebGetRulesPerChunk);
  Pool_Create(&g->reportPool, KSRC);
  Pool_SetMemberSize(g->reportPool, int32_t(sizeof(WebGetErrorReport)));
  Pool_SetMemberChunkSize(g->reportPool, kWebGetReportsPerChunk);
  g->rules.classTag = kWebGetRuleListTag;
  g->reports.classTag = kWebGetErrorReportListTag;
  g->macros = webGetCreateTable();
  Dictionary_SetCaseSensitive(g->macros, 0);  // macro names match without regard to case
  g->whitelist = webGetCreateTable();
  Dictionary_SetCaseSensitive(g->whitelist, 0);
  g->cacheTally = webGetCreateTable();
  Dictionary_SetLogName(g->cacheTally, "XCache");
  g->matchContext = pcre2_match_context_create(nullptr);
  pcre2_set_match_limit(g->matchContext, kWebGetMatchLimit);
  pcre2_set_depth_limit(g->matchContext, kWebGetDepthLimit);
  g->authentication.store(1, std::memory_order_relaxed);
  Tls_GlobalInit();
  Mime_Init();
  Str_Copy(g->systemAgent, kWebGetSystemAgentFormat, kWebGetAgentBytes);
  Str_Expand(g->systemAgent, kWebGetAgentBytes, nullptr, nullptr);
  Str_Printf(g->userAgent, kWebGetAgentBytes, "Mozilla/4.0 %s", g->systemAgent);
  GlobalWebGet = g;
  Tls_SetCertStoreSource(webGetCertStoreSource);
  return 1;
}

int WebGet_Shutdown(void) {
  WebGetGlobal *g = GlobalWebGet;
  if (g == nullptr) return 1;
  CLASS_CHECK(g, kWebGetTag);
  Tls_SetCertStoreSource(nullptr);
  GlobalWebGet = nullptr;
  if (g->certStore) CertStore_Release(&g->certStore);
  Tls_Shutdown();
  Mime_Shutdown();
  webGetClearRules(g, false);
  webGetClearReports(g);
  pcre2_match_context_free(g->matchContext);
  CriticalSection_Delete(&g->webGetLock);
  CriticalSection_Delete(&g->ruleLock);
  CriticalSection_Delete(&g->cacheLock);
  CriticalSection_Delete(&g->reportLock);
  Dictionary_Release(&g->macros);
  Dictionary_Release(&g->whitelist);
  Dictionary_Release(&g->cacheTally);
  Pool_Release(&g->rulePool);
  Pool_Release(&g->reportPool);
  g->~WebGetGlobal();
  MEM_FREE(g, sizeof(WebGetGlobal));
  return 1;
}

void WebGet_Lock(void) { CriticalSection_Enter(WEBGET_GLOBAL()->webGetLock); }
void WebGet_Unlock(void) { CriticalSection_Leave(WEBGET_GLOBAL()->webGetLock); }

int WebGet_GetSystemAgent(char *out, int size) {
  // Written once by WebGet_Init, read only afterwards.
  return webGetCopyOut(WEBGET_GLOBAL()->systemAgent, out, size);
}

int WebGet_GetUserAgent(char *out, int size) {
  WebGetGlobal *g = WEBGET_GLOBAL();
  WebGetGuard guard(g->webGetLock);
  return webGetCopyOut(g->userAgent, out, size);
}

int WebGet_SetUserAgent(const char *agent) {
  CHECK_POINTER(agent);
  WebGetGlobal *g = WEBGET_GLOBAL();
  WebGetGuard guard(g->webGetLock);
  Str_Copy(g->userAgent, agent, kWebGetAgentBytes);
  return 1;
}

CertStore *WebGet_GetCertStore(void) {
  WEBGET_GLOBAL();
  return webGetCertStoreSource();
}

int WebGet_SetCertStore(CertStore *store) {
  WebGetGlobal *g = WEBGET_GLOBAL();
  if (store) CertStore_Retain(store);
  CertStore *old = nullptr;
  {
    WebGetGuard guard(g->webGetLock);
    old = g->certStore;
    g->certStore = store;
  }
  if (old) CertStore_Release(&old);
  return 1;
}

int WebGet_SetAuthenticationEnabled(int enabled) {
  WEBGET_GLOBAL()->authentication.store(enabled ? 1 : 0);
  return 1;
}

int WebGet_IsAuthenticationEnabled(void) { return WEBGET_GLOBAL()->authentication.load(); }

// ---- URL rewriting ----------------------------------------------------------------

int WebGet_AddUrlRedirect(const char *key, uint32_t flags, int isMutable, const char *pattern,
                          const char *replacement, uint64_t compileOptions,
                          uint64_t substituteOptions) {
  CHECK_POINTER(key);
  CHECK_POINTER(pattern);
  CHECK_POINTER(replacement);
  WebGetGlobal *g = WEBGET_GLOBAL();
  if (compileOptions > UINT32_MAX)
    Core_Abort(KSRC, "Assertion failed (CompileOptions >= 0 && CompileOptions <= UINT32_MAX)\n"
                     "CompileOptions out of range");
  if (strlen(key) >= size_t(kWebGetRuleKeyBytes) ||
      strlen(replacement) >= size_t(kWebGetReplacementBytes)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Redirect key or replacement too long (%.64s)\n", key);
    return 0;
  }
  WebGetGuard guard(g->ruleLock);
  WebGetRule *rule = webGetFindRule(g, key);
  if (rule != nullptr && !rule->isMutable) {
    Log_Print(LOG_WARNING, KSRC, 0, "Attempted to overwrite immutable redirect (%s)\n", key);
    return 0;
  }
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                   uint32_t(compileOptions), &errorCode, &errorOffset, nullptr);
  if (code == nullptr) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Failed to compile regex redirect (%s:%d) (%d)\n", key,
              int(errorOffset), errorCode);
    return 0;
  }
  if (rule == nullptr) {
    rule = static_cast<WebGetRule *>(POOL_ALLOC(g->rulePool, int32_t(sizeof(WebGetRule))));
    rule->classTag = kWebGetRuleTag;
    webGetListAppend(&g->rules, rule);
  } else {
    pcre2_code_free(rule->code);
  }
  rule->code = code;
  Str_Copy(rule->key, key, kWebGetRuleKeyBytes);
  Str_Copy(rule->replacement, replacement, kWebGetReplacementBytes);
  rule->flags = flags;
  rule->isMutable = isMutable ? 1 : 0;
  rule->substituteOptions = substituteOptions;
  return 1;
}

int WebGet_RemoveUrlRedirect(const char *key) {
  CHECK_POINTER(key);
  WebGetGlobal *g = WEBGET_GLOBAL();
  WebGetGuard guard(g->ruleLock);
  WebGetRule *rule = webGetFindRule(g, key);
  if (rule == nullptr) return 0;
  if (!rule->isMutable) {
    Log_Print(LOG_WARNING, KSRC, 0, "Attempted to remove immutable redirect (%s)\n", key);
    return 0;
  }
  webGetListUnlink(&g->rules, rule);
  webGetFreeRule(g, rule);
  return 1;
}

int WebGet_ClearUrlRedirects(void) {
  webGetClearRules(WEBGET_GLOBAL(), false);
  return 1;
}

int WebGet_ClearMutableUrlRedirects(void) {
  webGetClearRules(WEBGET_GLOBAL(), true);
  return 1;
}

int WebGet_SetMacroValue(const char *key, const char *value) {
  CHECK_POINTER(key);
  CHECK_POINTER(value);
  WebGetGlobal *g = WEBGET_GLOBAL();
  WebGetGuard guard(g->ruleLock);
  return Dictionary_SetStringByKey(g->macros, key, value);
}

int WebGet_RemoveMacroValue(const char *key) {
  CHECK_POINTER(key);
  WebGetGlobal *g = WEBGET_GLOBAL();
  WebGetGuard guard(g->ruleLock);
  return Dictionary_RemoveKey(g->macros, key);
}

int WebGet_RewriteUrl(uint32_t flags, char *url, int size) {
  CHECK_POINTER(url);
  WebGetGlobal *g = WEBGET_GLOBAL();
  if (size < 1 || memchr(url, '\0', size_t(size)) == nullptr) return 0;
  char *original = static_cast<char *>(MEM_ALLOC(2 * int64_t(size), 0));
  char *work = original + size;
  memcpy(original, url, strlen(url) + 1);
  int changed = 0;
  if (flags & kWebGetRedirectExpand) webGetExpand(g, url, size, nullptr);
  {
    WebGetGuard guard(g->ruleLock);
    uint32_t wanted = flags & kWebGetRedirectResource;
    for (WebGetRule *r = g->rules.head; r != nullptr; r = r->next)
      if ((r->flags & kWebGetRedirectResource) == wanted && webGetApplyRule(g, r, url, size, work))
        changed = 1;
  }
  if (flags & kWebGetRedirectExpand) webGetExpand(g, url, size, original);
  MEM_FREE(original, 2 * int64_t(size));
  return changed;
}

int WebGet_ExpandUrl(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  WebGetGlobal *g = WEBGET_GLOBAL();
  if (out != url && !webGetCopyOut(url, out, size)) return 0;
  return webGetExpand(g, out, size, nullptr);
}

uint32_t WebGet_ParseRedirectFlags(const char *text) {
  return uint32_t(webGetParseOptions(text, kWebGetRedirectFlagNames));
}
uint64_t WebGet_ParseCompileOptions(const char *text) {
  return webGetParseOptions(text, kWebGetCompileOptionNames);
}
uint64_t WebGet_ParseSubstituteOptions(const char *text) {
  return webGetParseOptions(text, kWebGetSubstituteOptionNames);
}

// ---- Whitelist ------------------------------------------------------------------

int WebGet_IsHostWhitelisted(const char *host) {
  CHECK_POINTER(host);
  WebGetGlobal *g = WEBGET_GLOBAL();
  // Immutable: only read from now on, no lock needed. Before that, start-up
  // code may still be adding.
  bool locked = Platform_CAS(&g->whitelistImmutable, 0, 0) == 0;
  if (locked) CriticalSection_Enter(g->ruleLock);
  int found = 0;
  DictionaryItem *item = nullptr;
  for (int more = Dictionary_GetFirstItem(g->whitelist, &item); more && !found;
       more = Dictionary_GetNextItem(g->whitelist, item, &item)) {
    const char *pattern = nullptr;
    if (Dictionary_GetItemKey(g->whitelist, item, &pattern) && pattern &&
        Str_MatchWildcard(host, pattern, '\0', 1))
      found = 1;
  }
  if (locked) CriticalSection_Leave(g->ruleLock);
  return found;
}

int WebGet_Authorize(const char *url) {
  CHECK_POINTER(url);
  WEBGET_GLOBAL();
  if (strstr(url, "//") == nullptr) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Malformed url (%s)\n", UrlLoggable(url).text);
    return 0;
  }
  // The same host text the connection will contact: user information and a
  // backslash end where Url_GetHostWithoutPort says, never where the eye does.
  char host[kUrlHostBytes];
  Url_GetHostWithoutPort(url, host, int(sizeof host));
  if (WebGet_IsHostWhitelisted(host)) return 1;
  Log_Print(LOG_WARNING, KSRC, 0, "Hostname not found in whitelist (%s)\n", host);
  return Authenticate_Enabled() ? 0 : 1;
}

int WebGet_AddWhitelistHost(const char *host) {
  CHECK_POINTER(host);
  WebGetGlobal *g = WEBGET_GLOBAL();
  if (Platform_CAS(&g->whitelistImmutable, 0, 0) != 0)
    Core_Abort(KSRC,
               "Assertion failed (Platform_CAS(&GlobalWebGet->IsHostnameWhitelistImmutable, FALSE, "
               "FALSE) == FALSE)\nHostnameWhitelist is immutable");
  WebGetGuard guard(g->ruleLock);
  if (Dictionary_HasKey(g->whitelist, host)) return 1;
  Dictionary_AddKey(g->whitelist, host, nullptr);
  Log_Print(LOG_DEBUG, KSRC, 0, "Added host to whitelist (%s)\n", host);
  return 1;
}

int WebGet_SetWhitelistImmutable(void) {
  WebGetGlobal *g = WEBGET_GLOBAL();
  // Taken under the lock so that an add in progress finishes first.
  WebGetGuard guard(g->ruleLock);
  Platform_CAS(&g->whitelistImmutable, 1, 0);
  return 1;
}

// ---- Failure causes -------------------------------------------------------------

int WebGetCause_FindTls(const WebGetCause *cause, int32_t code, int32_t codeEx, TlsFailure *tls) {
  CHECK_POINTER(tls);
  *tls = TlsFailure{};
  if (cause == nullptr || !cause->hasTls || code != kWebGetErrorTls1 || cause->tls.alert != codeEx)
    return 0;
  *tls = cause->tls;
  return 1;
}

int WebGetCause_FindProxy(const WebGetCause *cause, int32_t code, int32_t codeEx,
                          WebGetProxyFailure *proxy) {
  CHECK_POINTER(proxy);
  *proxy = WebGetProxyFailure{};
  if (cause == nullptr || cause->proxy.proxy[0] == '\0' || cause->proxy.code != code ||
      cause->proxy.codeEx != codeEx)
    return 0;
  *proxy = cause->proxy;
  return 1;
}

// ---- Reports --------------------------------------------------------------------

int WebGet_ShouldReportError(const uint32_t *address, int32_t port) {
  CHECK_POINTER(address);
  WebGetGlobal *g = WEBGET_GLOBAL();
  double now = Platform_GetTickSeconds();
  WebGetGuard guard(g->reportLock);
  for (WebGetErrorReport *r = g->reports.head; r != nullptr; r = r->next) {
    if (r->address != *address || r->port != port) continue;
    if (now < r->holdUntil) return 0;
    r->holdUntil = now + kWebGetErrorReportHoldSeconds;
    return 1;
  }
  if (g->reports.count >= kWebGetReportCap) webGetDropReport(g, g->reports.head);
  auto *r = static_cast<WebGetErrorReport *>(
      POOL_ALLOC(g->reportPool, int32_t(sizeof(WebGetErrorReport))));
  r->classTag = kWebGetErrorReportTag;
  r->address = *address;
  r->port = port;
  r->holdUntil = now + kWebGetErrorReportHoldSeconds;
  webGetListAppend(&g->reports, r);
  return 1;
}

int WebGet_ClearErrorReports(void) {
  WebGetGlobal *g = WEBGET_GLOBAL();
  WebGetGuard guard(g->reportLock);
  webGetClearReports(g);
  return 1;
}

int WebGet_CountCacheResult(const char *host, const char *server, const char *status) {
  CHECK_POINTER(host);
  CHECK_POINTER(server);
  CHECK_POINTER(status);
  WebGetGlobal *g = WEBGET_GLOBAL();
  WebGetGuard guard(g->cacheLock);
  Dictionary *hostTable = nullptr, *serverTable = nullptr;
  int64_t count = 0;
  if (Dictionary_GetDictionaryByKey(g->cacheTally, host, &hostTable) &&
      Dictionary_GetDictionaryByKey(hostTable, server, &serverTable) &&
      Dictionary_GetInt64ByKey(serverTable, status, &count))
    return Dictionary_SetInt64ByKey(serverTable, status, count + 1);
  if (g->tallyCount >= kWebGetReportCap) {
    if (!g->tallyFullWarned) {
      g->tallyFullWarned = 1;
      Log_Print(LOG_WARNING, KSRC, 0,
                "Cache result tally full (%d); new hosts, servers and states not counted (%s)\n",
                g->tallyCount, host);
    }
    return 0;
  }
  Dictionary_SetDictionaryByKey(g->cacheTally, host, nullptr, &hostTable);
  Dictionary_SetDictionaryByKey(hostTable, server, nullptr, &serverTable);
  Dictionary_SetInt64ByKey(serverTable, status, 1);
  g->tallyCount++;
  return 1;
}

int WebGet_CopyCacheResults(Dictionary *destination) {
  CHECK_POINTER(destination);
  WebGetGlobal *g = WEBGET_GLOBAL();
  WebGetGuard guard(g->cacheLock);
  return Dictionary_Merge(destination, g->cacheTally, 0);
}
