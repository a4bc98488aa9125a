// The proxy resolver; see proxyresolver.h.
#include "core/net/proxyresolver.h"

#include <libpsl.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "core/net/dns.h"
#include "core/net/socket.h"
#include "core/net/url.h"
#include "core/net/webgetconnection.h"
#include "core/net/webgetrequest.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "core/runtime/cmdline.h"
#include "core/runtime/core.h"
#include "core/runtime/critsection.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

constexpr uint32_t kLoopbackAddress = 0x0100007f;  // 127.0.0.1, first octet lowest
constexpr uint16_t kWpadQueryType = 255;
constexpr uint16_t kWpadQueryClass = 255;
constexpr int kBypassBytes = 512;
constexpr int kHostBytes = 512;
// Shutdown's wait for an evaluation a caller gave up on: the engine's own
// budget ends it at 5 s; a name look-up inside it may take longer.
constexpr int32_t kEvaluationDrainMs = 30000;
constexpr int kScriptDumpLevel = 7;
// A script that answers, but slowly: one line once its evaluations of a run
// have taken this long in all.
constexpr double kSlowScriptSeconds = 10.0;
std::atomic<double> gSlowScriptSeconds{kSlowScriptSeconds};

// One PAC evaluation on its own thread. The record lives until its thread is
// joined: by the caller, or, once the caller has given up, by a later reap.
struct ProxyEvaluation {
  ProxyEvaluation *next;  // in the resolver's list of abandoned evaluations
  Thread *thread;
  char *script;  // Mem_Alloc'd copy, scriptBytes long
  int32_t scriptBytes;
  char url[kWebGetUrlBytes];
  char answer[kWebGetUrlBytes];
  ProxyScriptRequest request;
};

struct ProxyResolver {
  ObjectHeader header;  // kProxyResolverTag
  Thread *detection;    // the run in progress or the last one
  std::atomic<int32_t> ready;
  std::atomic<int32_t> closing;  // Shutdown has begun: Restart starts nothing
  // Counted up as a run begins, under lock, as it empties the script: a
  // copy of the script taken under lock belongs to the count read with it.
  std::atomic<uint32_t> runs;
  MemoryStream *script;     // written by the detection thread, under lock
  CriticalSection *lock;    // guards the script with runs, the fields below
  // What this run's script has shown (each cleared as a run begins): one
  // that cannot finish (time, memory) is not run again until the next run;
  // one that fails or answers no proxy list for a URL, and one that is
  // slow, got their one line.
  bool scriptDropped;
  bool failureSaid;
  bool slownessSaid;
  double scriptSeconds;  // the run's evaluations that answered, in all
  ProxyEvaluation *abandoned;
  char scriptUrl[kUrlWorkBytes];  // the stored script's, as a log line shows it
};

std::atomic<ProxyResolver *> gResolver{nullptr};
// Hook calls inside the resolver; Shutdown frees it only once this is 0.
std::atomic<int32_t> gCallsInside{0};
std::atomic<const ProxyResolverPlatform *> gPlatform{&kProxyResolverSystem};
std::atomic<ProxyResolverWarningHook> gWarningHook{nullptr};
char gMachineNameForTest[kSocketHostNameMax + 1];

const ProxyResolverPlatform &platform() { return *gPlatform.load(); }

// The public suffix list (the system's newest: Debian's publicsuffix or the
// library's own), loaded once and kept for the process. NULL without one.
const psl_ctx_t *publicSuffixes() {
  static const psl_ctx_t *list = [] {
    psl_ctx_t *loaded = psl_latest(nullptr);
    if (loaded == nullptr)
      Log_Print(LOG_WARNING, KSRC, 0, "No public suffix list: WPAD by DNS is off\n");
    return loaded;
  }();
  return list;
}

// Counts a hook call in for as long as it lives; the resolver it sees stays.
class ResolverCall {
 public:
  ResolverCall() {
    gCallsInside.fetch_add(1);
    resolver_ = gResolver.load();
    if (resolver_ == nullptr) Core_Abort(KSRC, "Proxy resolver not initialized\n");
    CLASS_CHECK(resolver_, kProxyResolverTag);
  }
  ~ResolverCall() { gCallsInside.fetch_sub(1); }
  ResolverCall(const ResolverCall &) = delete;
  ResolverCall &operator=(const ResolverCall &) = delete;
  ProxyResolver *get() const { return resolver_; }

 private:
  ProxyResolver *resolver_;
};

ProxyResolver *resolverOnDetectionThread() {
  ProxyResolver *r = gResolver.load();
  if (r == nullptr) Core_Abort(KSRC, "Proxy resolver not initialized\n");
  CLASS_CHECK(r, kProxyResolverTag);
  return r;
}

// The detection thread checks its stop signal before every network step.
bool stopRequested() { return Thread_Sleep(0) != 0; }

// ---- Lines for the user -----------------------------------------------------------------------

void warnUser(const char *format, ...) __attribute__((format(printf, 1, 2)));
void warnUser(const char *format, ...) {
  char line[kWebGetUrlBytes + 512];
  va_list args;
  va_start(args, format);
  Str_VPrintf(line, int(sizeof line), format, args);
  va_end(args);
  Log_Print(LOG_WARNING, KSRC, 0, "%s\n", line);
  if (ProxyResolverWarningHook hook = gWarningHook.load()) hook(line);
}

// Why a fetch failed, in words: the transfer's error, else the status.
void fetchCause(WebGetRequest *r, char *out, int size) {
  int32_t code = 0, codeEx = 0;
  WebGetRequest_GetError(r, &code, &codeEx);
  const char *system = codeEx >= 10000 && codeEx < 12000 ? Platform_GetErrorText(codeEx) : nullptr;
  if (code == 0) {
    int32_t status = WebGetRequest_GetStatusCode(r);
    Str_Printf(out, size, "server answered %d %s", int(status), WebGet_GetReasonText(status));
  } else if ((code == kWebGetErrorSocket || code == kWebGetErrorConnect) && system != nullptr) {
    Str_Copy(out, system, size);
  } else if (code == kWebGetErrorDns) {
    Str_Copy(out, "host name not found", size);
  } else if (code == kWebGetErrorSizeLimit) {
    Str_Printf(out, size, "larger than %lld bytes", (long long)kProxyResolverScriptMaxBytes);
  } else {
    Str_Printf(out, size, "%s (%d)", WebGet_GetReasonText(code), int(code));
  }
  Str_ToLower(out);
}

// A script the settings name (not one found by WPAD) that cannot be had.
void warnFetch(const char *url, const char *source, const char *cause) {
  if (strcmp(source, "Command Line") != 0 && strcmp(source, "System") != 0) return;
  warnUser("warning: proxy script %s (%s) cannot be fetched: %s; going on without it",
           UrlLoggable(url).text,
           strcmp(source, "System") == 0 ? "system settings" : "--proxy-wpad", cause);
}

// ---- Script fetch -----------------------------------------------------------------------------

void wakeFetchThread(WebGetConnection *, void *context) {
  Thread_Wake(uint32_t(reinterpret_cast<uintptr_t>(context)), 0);
}

void dumpLine(void *, const char *line) { Log_Print(LOG_DEBUG, KSRC, 0, "%s\n", line); }

// Pumps the connection on this thread until the request is Done. 0 when a
// poll fails it, the thread is asked to stop or the fetch runs too long.
int fetchPump(WebGetConnection *c, WebGetRequest *r, const char *url, bool *late) {
  double deadline = Platform_GetTickSeconds() + kProxyResolverFetchMaxSeconds;
  for (;;) {
    if (WebGetConnection_Poll(c) <= 0) return 0;
    if (WebGetRequest_GetPhase(r) == kWebGetPhaseDone) return 1;
    if (stopRequested()) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Wpad script retrieval stopped (%s)\n",
                UrlLoggable(url).text);
      return 0;
    }
    if (Platform_GetTickSeconds() > deadline) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Wpad script retrieval took too long (%s)\n",
                UrlLoggable(url).text);
      *late = true;
      return 0;
    }
    Thread_Yield();
  }
}

void storeScript(ProxyResolver *g, WebGetRequest *r, const char *url) {
  const uint8_t *body = nullptr;
  int64_t length = 0;
  WebGetRequest_GetMemoryOutput(r, &body, &length);
  int32_t written = 0;
  const char zero = '\0';
  CriticalSection_Enter(g->lock);
  if (length > 0) MemoryStream_WriteAppend(g->script, body, int32_t(length), &written);
  MemoryStream_WriteAppend(g->script, &zero, 1, &written);
  Url_GetLoggable(url, g->scriptUrl, int(sizeof g->scriptUrl));
  CriticalSection_Leave(g->lock);
  int level = 0;
  if (Log_GetVerboseLevel("ProxyResolver", &level) && level >= kScriptDumpLevel)
    Log_HexDump(nullptr, dumpLine, body, length);
}

// ---- DNS --------------------------------------------------------------------------------------

// The text of a TXT record: its character strings one after the other.
int txtText(const DnsRecord *record, char *out, int size) {
  int used = 0;
  for (int at = 0; at < record->dataLength;) {
    int count = record->data[at++];
    if (count > record->dataLength - at) count = record->dataLength - at;
    if (used + count >= size) return 0;
    memcpy(out + used, record->data + at, size_t(count));
    used += count;
    at += count;
  }
  out[used] = '\0';
  return 1;
}

int sameQuestion(const DnsQuestion *a, const DnsQuestion *b) {
  return a != nullptr && b != nullptr && Str_CompareNoCase(a->name, b->name) == 0 &&
         a->type == b->type && a->klass == b->klass;
}

// Sends the query and waits for its reply until the read time-out; datagrams
// that are not the reply are dropped. reply holds the answer on Answer.
ProxyDnsReply dnsExchange(Socket *s, DnsMessage *query, DnsMessage *reply) {
  uint8_t buffer[kDnsMessageBytes];
  int length = 0, written = 0;
  if (!DnsMessage_Encode(query, buffer, sizeof buffer, &length) ||
      !Socket_Write(s, buffer, length, &written) || written != length)
    return ProxyDnsReply::Negative;
  double deadline = Platform_GetTickSeconds() + kProxyResolverDnsReadTimeoutMs / 1000.0;
  for (;;) {
    int leftMs = int((deadline - Platform_GetTickSeconds()) * 1000.0);
    if (leftMs <= 0 || stopRequested()) return ProxyDnsReply::Negative;
    s->readTimeoutMs = leftMs;
    int got = 0;
    if (!Socket_Read(s, buffer, sizeof buffer, &got) || got <= 0) return ProxyDnsReply::Negative;
    ProxyDnsReply kind = ProxyResolver_MatchDnsReply(query, reply, buffer, got);
    if (kind != ProxyDnsReply::Foreign) return kind;
    Log_Print(LOG_DEBUG, KSRC, 0, "DNS datagram that is not the reply dropped (%d bytes)\n", got);
  }
}

int fetchFromAnswers(DnsMessage *reply, const char *name) {
  for (DnsRecord *record = reply->answers.head; record != nullptr; record = record->next) {
    if (stopRequested()) return 0;
    char text[kDnsFormatBytes];
    Dns_FormatRecord(text, sizeof text, record->type, record->data, record->dataLength);
    Log_Print(LOG_DEBUG, KSRC, 0, "DNS answer %s (%d): %s\n", record->name, int(record->type),
              text);
    char url[kWebGetUrlBytes];
    if (ProxyResolver_AnswerUrl(record, name, url, sizeof url) &&
        ProxyResolver_FetchScript(url, "DNS"))
      return 1;
  }
  return 0;
}

// ---- Detection --------------------------------------------------------------------------------

int detectDhcp() {
  NetworkAdapter adapter;
  for (int index = 0; platform().GetNetworkAdapter(index, &adapter); index++) {
    if (!adapter.connected || !adapter.dhcp || !adapter.wiredOrWireless) continue;
    char url[kProxyUrlBytes], encoded[kWebGetUrlBytes];
    if (!platform().GetDhcpWpadUrl(adapter.name, url, sizeof url)) continue;
    if (!ProxyResolver_EncodeBraces(url, encoded, sizeof encoded)) return 0;
    return !stopRequested() && ProxyResolver_FetchScript(encoded, "DHCP");
  }
  return 0;
}

void machineName(char *out, int size) {
  if (gMachineNameForTest[0] != '\0') Str_Copy(out, gMachineNameForTest, size);
  else if (!Socket_GetMachineName(out, size)) out[0] = '\0';
}

int detectDns() {
  uint32_t servers[2] = {0, 0};
  platform().GetDnsServers(&servers[0], &servers[1]);
  char name[kSocketHostNameMax + 1];
  machineName(name, sizeof name);
  for (const char *current = name; strchr(current, '.') != nullptr;
       current = strchr(current, '.') + 1) {
    if (!ProxyResolver_CanQueryWpad(current)) break;
    // A name cut to fit would ask another domain.
    if (strlen(current) + 5 >= size_t(kProxyResolverWpadNameBytes)) continue;
    char wpad[kProxyResolverWpadNameBytes];
    Str_Printf(wpad, sizeof wpad, "wpad.%s", current);
    for (uint32_t server : servers) {
      if (server == 0) continue;
      if (stopRequested()) return 0;
      SocketAddress address = {};
      address.address = server;
      if (ProxyResolver_QueryDns(&address, wpad)) return 1;
    }
  }
  return 0;
}

void detect() {
  char value[kWebGetUrlBytes];
  if (CmdLine_GetOption(nullptr, "proxy", value, sizeof value)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Internet proxy set using the command line\n");
    return;
  }
  if (CmdLine_GetOption(nullptr, "proxy-wpad", value, sizeof value) && value[0] != '\0') {
    if (stopRequested() || ProxyResolver_FetchScript(value, "Command Line")) return;
  }
  // Settings that exist but cannot be read would have the run go on as if
  // there were none: said, once a run.
  char problem[kWebGetUrlBytes];
  if (platform().GetProxySettingsProblem != nullptr &&
      platform().GetProxySettingsProblem(problem, sizeof problem))
    warnUser("warning: %s; going on without them", problem);
  if (platform().GetProxyAutoConfigUrl(value, sizeof value)) {
    if (stopRequested() || ProxyResolver_FetchScript(value, "System")) return;
  }
  int autoDetect = 0;
  if (!platform().IsProxyAutoDetect(&autoDetect) || !autoDetect) return;
  Log_Print(LOG_DEBUG, KSRC, 0, "Internet proxy set to auto-detect\n");
  if (stopRequested() || detectDhcp()) return;
  detectDns();
}

int startDetection(ProxyResolver *g) {
  return Thread_Start(&g->detection, g, ProxyResolver_Detect);
}

// ---- Evaluation -------------------------------------------------------------------------------

int evaluationRun(void *userData) {
  Platform_ProxyGetForURLWithScript(&static_cast<ProxyEvaluation *>(userData)->request);
  return 0;
}

void evaluationFree(ProxyEvaluation *e) {
  if (e->script != nullptr) Mem_Free(e->script, size_t(e->scriptBytes) + 1, KSRC);
  Mem_Free(e, sizeof *e, KSRC);
}

// Joins (within timeoutMs each) and frees the abandoned evaluations whose
// threads have ended.
void evaluationReap(ProxyResolver *g, int32_t timeoutMs) {
  CriticalSection_Enter(g->lock);
  ProxyEvaluation **link = &g->abandoned;
  while (*link != nullptr) {
    ProxyEvaluation *e = *link;
    if (Thread_Join(timeoutMs, &e->thread)) {
      *link = e->next;
      evaluationFree(e);
    } else {
      link = &e->next;
    }
  }
  CriticalSection_Leave(g->lock);
}

// What came of one evaluation.
enum class Evaluated {
  Answered,  // out holds the script's proxy list
  None,      // no script to run (none, dropped, no engine): the settings answer
  Failed,    // it failed for this URL (said once a run): the settings answer
  Moved,     // a new run began meanwhile: its script answers later
};

// The stored script's URL, for a line.
void scriptUrlOf(ProxyResolver *g, char *out, int size) {
  CriticalSection_Enter(g->lock);
  Str_Copy(out, g->scriptUrl, size);
  CriticalSection_Leave(g->lock);
}

// Takes note, under lock, of what an evaluation of run's script showed:
// nothing when a new run has begun since (its script is another). Returns
// whether it is run's first of that kind.
bool noteOnce(ProxyResolver *g, uint32_t run, bool ProxyResolver::*said, bool *moved) {
  CriticalSection_Enter(g->lock);
  *moved = g->runs.load() != run;
  bool first = !*moved && !(g->*said);
  if (first) g->*said = true;
  CriticalSection_Leave(g->lock);
  return first;
}

// Gives run's script up until the next run, with one line naming it.
Evaluated dropScript(ProxyResolver *g, uint32_t run, const char *why) {
  bool moved = false;
  if (!noteOnce(g, run, &ProxyResolver::scriptDropped, &moved))
    return moved ? Evaluated::Moved : Evaluated::None;
  char scriptUrl[kUrlWorkBytes];
  scriptUrlOf(g, scriptUrl, int(sizeof scriptUrl));
  warnUser("warning: proxy script %s cannot be run: %s; using the system proxy settings for the "
           "rest of the run",
           scriptUrl, why);
  return Evaluated::None;
}

// A script that failed for one URL: that request goes by the settings; the
// script still answers the others. One line a run.
Evaluated scriptFailed(ProxyResolver *g, uint32_t run, const char *url, const char *why) {
  bool moved = false;
  if (!noteOnce(g, run, &ProxyResolver::failureSaid, &moved))
    return moved ? Evaluated::Moved : Evaluated::Failed;
  char scriptUrl[kUrlWorkBytes], host[kHostBytes];
  scriptUrlOf(g, scriptUrl, int(sizeof scriptUrl));
  if (!Url_GetHostWithoutPort(url, host, int(sizeof host))) host[0] = '\0';
  warnUser("warning: proxy script %s fails for %s%s; such requests use the system proxy settings",
           scriptUrl, host, why);
  return Evaluated::Failed;
}

// Adds one answered evaluation's time to the run's; past kSlowScriptSeconds
// in all, one line naming the script.
void countScriptTime(ProxyResolver *g, uint32_t run, double seconds) {
  CriticalSection_Enter(g->lock);
  bool say = false;
  if (g->runs.load() == run) {
    g->scriptSeconds += seconds;
    say = g->scriptSeconds > gSlowScriptSeconds.load() && !g->slownessSaid;
    if (say) g->slownessSaid = true;
  }
  CriticalSection_Leave(g->lock);
  if (!say) return;
  char scriptUrl[kUrlWorkBytes];
  scriptUrlOf(g, scriptUrl, int(sizeof scriptUrl));
  warnUser("warning: proxy script %s is slow: its answers have taken more than %g s in all; "
           "every request waits for it",
           scriptUrl, gSlowScriptSeconds.load());
}

// Whether entry ("PROXY h:p", "DIRECT", ...) is one a proxy list may hold.
// Types the connection passes over (SOCKS, HTTPS) count; a lone word must
// be a host:port.
bool isProxyListEntry(char *entry) {
  Str_TrimWhitespace(entry);
  if (entry[0] == '\0') return true;
  char *value = entry + strcspn(entry, " \t");
  if (*value != '\0') {
    *value++ = '\0';
    while (*value == ' ' || *value == '\t') value++;
  }
  bool hasValue = value[0] != '\0' && strcspn(value, " \t") == strlen(value);
  if (Str_CompareNoCase(entry, "DIRECT") == 0) return value[0] == '\0';
  for (const char *type : {"PROXY", "HTTP", "HTTPS", "SOCKS", "SOCKS4", "SOCKS5"})
    if (Str_CompareNoCase(entry, type) == 0) return hasValue && strchr(value, '/') == nullptr;
  const char *colon = strrchr(entry, ':');
  return value[0] == '\0' && colon != nullptr && colon != entry && Str_IsNumber(colon + 1) &&
         strpbrk(entry, "/\\@?#%") == nullptr;
}

// Whether answer is a proxy list: entries separated by ';' ("" is DIRECT).
bool isProxyList(const char *answer) {
  char copy[kWebGetUrlBytes];
  Str_Copy(copy, answer, int(sizeof copy));
  for (char *entry = copy; entry != nullptr;) {
    char *end = strchr(entry, ';');
    if (end != nullptr) *end = '\0';
    if (!isProxyListEntry(entry)) return false;
    entry = end != nullptr ? end + 1 : nullptr;
  }
  return true;
}

// Runs the stored script for url on a thread of its own; see Evaluated. A
// script that cannot finish (out of time or memory) is dropped until the
// next run; one that fails answers that call alone with the settings.
Evaluated evaluateScript(ProxyResolver *g, const char *url, char *out, int size) {
  if (!Platform_IsAutoProxyAvailable()) return Evaluated::None;
  evaluationReap(g, 0);
  // The script and the run it belongs to, read as one.
  CriticalSection_Enter(g->lock);
  const uint32_t run = g->runs.load();
  int32_t stored = g->scriptDropped ? 0 : MemoryStream_GetLength(g->script);
  ProxyEvaluation *e = nullptr;
  if (stored > 1) {
    e = static_cast<ProxyEvaluation *>(Mem_Alloc(sizeof(ProxyEvaluation), 0, KSRC));
    memset(static_cast<void *>(e), 0, sizeof *e);
    e->script = static_cast<char *>(Mem_Alloc(size_t(stored) + 1, 0, KSRC));
    int32_t read = 0;
    MemoryStream_ReadAt(g->script, e->script, 0, stored, &read);
    e->script[read] = '\0';
    e->scriptBytes = stored;
  }
  CriticalSection_Leave(g->lock);
  if (e == nullptr) return Evaluated::None;
  Str_Copy(e->url, url, sizeof e->url);
  e->request = {e->script, int32_t(strlen(e->script)), e->url, e->answer, int32_t(sizeof e->answer),
                0, 0};
  double started = Platform_GetTickSeconds();
  if (!Thread_Start(&e->thread, e, evaluationRun)) {
    evaluationFree(e);
    return Evaluated::None;
  }
  if (!Thread_Join(kProxyResolverEvaluationWaitMs, &e->thread)) {
    // Not the URL: its query may carry a token.
    Log_Print(LOG_WARNING, KSRC, 0,
              "Proxy script did not answer within %d ms; using the system proxy\n",
              kProxyResolverEvaluationWaitMs);
    CriticalSection_Enter(g->lock);
    e->next = g->abandoned;
    g->abandoned = e;
    CriticalSection_Leave(g->lock);
    return dropScript(g, run, "it ran out of time");
  }
  double took = Platform_GetTickSeconds() - started;
  int result = e->request.result;
  char answer[kWebGetUrlBytes];
  Str_Copy(answer, e->answer, int(sizeof answer));
  int32_t error = e->request.systemError;
  evaluationFree(e);
  if (g->runs.load() != run) return Evaluated::Moved;
  if (!result && (error == kPlatformErrorTimeout || error == kPlatformErrorNotEnoughMemory))
    return dropScript(g, run, error == kPlatformErrorTimeout ? "it ran out of time"
                                                             : "it ran out of memory");
  if (!result) return scriptFailed(g, run, url, " (--debug tells why)");
  countScriptTime(g, run, took);
  if (!isProxyList(answer)) {
    // The answer is the script's: shown, with no control character, cut short.
    for (char *p = answer; *p != '\0'; p++)
      if (static_cast<unsigned char>(*p) < ' ' || *p == 0x7F) *p = '?';
    char why[kWebGetUrlBytes + 64];
    Str_Printf(why, int(sizeof why),
               ": it answers \"%.200s\", which is not a proxy list (\"PROXY host:port; DIRECT\")",
               answer);
    return scriptFailed(g, run, url, why);
  }
  Str_Copy(out, answer, size);
  return Evaluated::Answered;
}

// ---- GetProxy ---------------------------------------------------------------------------------

int isLoopbackHost(const char *host) {
  return Str_CompareNoCase(host, "localhost") == 0 || Str_CompareNoCase(host, "127.0.0.1") == 0;
}

// Copies the list's entries that fit whole: an entry cut short could name
// another host.
void copyWholeEntries(char *out, int size, char *list) {
  if (size < 1) return;
  if (strlen(list) >= size_t(size)) {
    // Entries end at ';': what stands before the last one inside the room is whole.
    bool separatorNext = list[size - 1] == ';';
    list[size - 1] = '\0';
    char *last = strrchr(list, ';');
    if (!separatorNext) {
      if (last != nullptr) *last = '\0';
      else list[0] = '\0';
    }
  }
  Str_Copy(out, list, size);
}

enum class Bypass { None, Direct, KeepLoopback };

// An IPv4 address in the network "a.b.c.d/bits".
bool bypassInNetwork(const char *host, const char *network) {
  const char *slash = strchr(network, '/');
  char base[64];
  if (slash == nullptr || size_t(slash - network) >= sizeof base) return false;
  Str_CopyN(base, int(sizeof base), network, int(slash - network));
  uint32_t address = 0, start = 0;
  int unusedPort = 0;
  if (!Str_IsNumber(slash + 1) || strlen(slash + 1) > 2 ||
      !Str_ParseIPv4(base, &start, &unusedPort) || strchr(host, ':') != nullptr ||
      !Str_ParseIPv4(host, &address, &unusedPort))
    return false;
  int bits = atoi(slash + 1);
  if (bits > 32) return false;
  // The first part of a parsed address is its lowest byte: compare in
  // network order.
  uint32_t mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
  return ((__builtin_bswap32(address) ^ __builtin_bswap32(start)) & mask) == 0;
}

// One entry of the bypass list against the URL's host and port: a network
// "a.b.c.d/bits" holds IPv4 addresses, "pattern:port" matches that port
// alone, and a pattern matches the host with '*' for any run of characters.
bool bypassEntryMatches(const char *entry, const char *host, int port) {
  if (strchr(entry, '/') != nullptr) return bypassInNetwork(host, entry);
  char pattern[kBypassBytes];
  Str_Copy(pattern, entry, int(sizeof pattern));
  char *colon = strrchr(pattern, ':');
  if (colon != nullptr && strchr(pattern, ':') == colon && Str_IsNumber(colon + 1)) {
    if (atoi(colon + 1) != port) return false;
    *colon = '\0';
  }
  return Str_MatchWildcard(host, pattern, '\0', 1) != 0;
}

Bypass bypassFor(const char *url, const char *host, int allowLoopback) {
  char list[kBypassBytes];
  if (!platform().GetProxyBypass(list, sizeof list)) return Bypass::None;
  Bypass decision = Bypass::None;
  int port = 0;
  Url_GetPort(url, &port);
  for (char *entry = list; entry != nullptr;) {
    char *end = strchr(entry, ';');
    if (end != nullptr) *end = '\0';
    Str_TrimWhitespace(entry);
    if (entry[0] == '\0') {
    } else if (strcmp(entry, "<local>") == 0) {
      if (strchr(host, '.') == nullptr) decision = Bypass::Direct;
    } else if (strcmp(entry, "<-loopback>") == 0) {
      SocketAddress address;
      if (allowLoopback && isLoopbackHost(host) && Socket_ResolveUrl(&address, url) &&
          address.address == kLoopbackAddress)
        return Bypass::KeepLoopback;
    } else if (bypassEntryMatches(entry, host, port)) {
      decision = Bypass::Direct;
    }
    entry = end != nullptr ? end + 1 : nullptr;
  }
  return decision;
}

}  // namespace

const ProxyResolverPlatform kProxyResolverSystem = {
    Platform_IsProxyAutoDetect, Platform_GetProxyAutoConfigUrl, Platform_GetNetworkAdapter,
    Platform_GetDhcpWpadUrl,    Platform_GetDnsServers,         Platform_ProxyGetByProtocol,
    Platform_GetProxyBypass,    Platform_GetProxySettingsProblem,
};

int ProxyResolver_Init(void) {
  if (gResolver.load() != nullptr) Core_Abort(KSRC, "Proxy resolver exists already\n");
  auto *g = static_cast<ProxyResolver *>(Mem_Alloc(sizeof(ProxyResolver), 0, KSRC));
  memset(static_cast<void *>(g), 0, sizeof *g);
  g->header.classTag = kProxyResolverTag;
  g->header.refCount.store(1);
  g->ready.store(0);
  MemoryStream_Create(&g->script);
  MemoryStream_EnableGrowth(g->script);
  MemoryStream_MakeThreadSafe(g->script);
  CriticalSection_Create(&g->lock);
  gResolver.store(g);
  if (!startDetection(g)) {
    gResolver.store(nullptr);
    CriticalSection_Delete(&g->lock);
    MemoryStream_Release(&g->script);
    Mem_Free(g, sizeof *g, KSRC);
    return 0;
  }
  WebGetConnection_SetProxyHooks(ProxyResolver_GetProxy, ProxyResolver_Restart);
  return 1;
}

int ProxyResolver_Shutdown(void) {
  ProxyResolver *g = gResolver.load();
  if (g == nullptr) return 1;
  CLASS_CHECK(g, kProxyResolverTag);
  g->closing.store(1);
  WebGetConnection_SetProxyHooks(nullptr, nullptr);
  // Calls that found the resolver finish first; a Restart among them may
  // have started a new run, which is stopped below. The detection thread
  // needs the global until it is joined.
  while (gCallsInside.load() != 0) Platform_SleepMs(1);
  if (g->detection != nullptr) {
    Thread_RequestStop(g->detection->threadId);
    Thread_Join(-1, &g->detection);
  }
  gResolver.store(nullptr);
  while (gCallsInside.load() != 0) Platform_SleepMs(1);
  evaluationReap(g, kEvaluationDrainMs);
  for (ProxyEvaluation *e = g->abandoned; e != nullptr; e = e->next) {
    // Still running: it keeps its record, which is given up rather than freed under it.
    Log_Print(LOG_WARNING, KSRC, 0, "Proxy script evaluation still running at shutdown\n");
    Thread_Release(&e->thread);
  }
  CriticalSection_Delete(&g->lock);
  MemoryStream_Release(&g->script);
  g->header.classTag = 0;
  Mem_Free(g, sizeof *g, KSRC);
  return 1;
}

int ProxyResolver_Restart(void) {
  ResolverCall call;
  ProxyResolver *g = call.get();
  int32_t finished = 1;
  if (g->closing.load() || !g->ready.compare_exchange_strong(finished, 0)) return 0;
  if (g->detection != nullptr) {
    Thread_RequestStop(g->detection->threadId);
    Thread_Join(-1, &g->detection);
  }
  if (!startDetection(g)) g->ready.store(1);  // no run: answer from the settings
  return 0;
}

int ProxyResolver_Detect(void *userData) {
  auto *g = static_cast<ProxyResolver *>(userData);
  CLASS_CHECK(g, kProxyResolverTag);
  // A run replaces the script of the run before, and what that one showed;
  // a call that read it meanwhile sees the count move and answers "pending".
  CriticalSection_Enter(g->lock);
  g->runs.fetch_add(1);
  MemoryStream_Empty(g->script);
  g->scriptDropped = g->failureSaid = g->slownessSaid = false;
  g->scriptSeconds = 0;
  CriticalSection_Leave(g->lock);
  detect();
  g->ready.store(1);
  return 0;
}

int ProxyResolver_FetchScript(const char *url, const char *source) {
  CHECK_POINTER(url);
  CHECK_POINTER(source);
  ProxyResolver *g = resolverOnDetectionThread();
  if (!Url_HasScheme(url, "http") && !Url_HasScheme(url, "https")) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Wpad script URL refused (%s)\n", UrlLoggable(url).text);
    warnFetch(url, source, "only http and https scripts are fetched");
    return 0;
  }
  WebGetRequest *r = nullptr;
  WebGetRequest_Create(&r);
  if (!WebGetRequest_SetUrl(r, url, 1)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Wpad script URL refused (%s)\n", UrlLoggable(url).text);
    warnFetch(url, source, "not a URL that can be fetched");
    Class_ReleaseObject(&r);
    return 0;
  }
  WebGetRequest_SetAllowProxy(r, 0);
  WebGetRequest_SetSizeLimit(r, kProxyResolverScriptMaxBytes);
  WebGetConnection *c = nullptr;
  WebGetConnection_Create(&c);
  WebGetConnection_SetAllowProxy(c, 0);
  WebGetConnection_DisableLoopbackProxy(c);
  WebGetConnection_SetAllowAuthentication(c, 0);
  WebGetConnection_SetAnyHost(c, 1);
  // Polls wake this thread, which pumps; nothing is posted to its queue.
  WebGetConnection_SetPollCallback(c, reinterpret_cast<void *>(uintptr_t(Thread_GetCurrentId())),
                                   wakeFetchThread);
  WebGetConnection_QueueRequest(c, r);
  Log_Print(LOG_DEBUG, KSRC, 0, "Retrieving wpad script from url - %s (%s)\n",
            UrlLoggable(url).text, source);
  bool late = false;
  int queued = WebGetRequest_GetPhase(r) != kWebGetPhaseDone;
  int done = queued && fetchPump(c, r, url, &late);
  int result = 0;
  char cause[256] = "";
  if (done && WebGetRequest_IsSuccess(r)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Internet proxy retrieved wpad from url (%s)\n",
              UrlLoggable(url).text);
    storeScript(g, r, url);
    result = 1;
  } else if (done) {
    int32_t code = 0, codeEx = 0;
    WebGetRequest_GetError(r, &code, &codeEx);
    Log_Print(LOG_DEBUG, KSRC, 0, "Wpad script refused (%s): status %d, error %d (%d)\n",
              UrlLoggable(url).text, int(WebGetRequest_GetStatusCode(r)), int(code), int(codeEx));
    fetchCause(r, cause, int(sizeof cause));
  } else if (late) {
    Str_Printf(cause, int(sizeof cause), "no answer within %d s",
               int(kProxyResolverFetchMaxSeconds));
  } else if (!queued || WebGetRequest_GetPhase(r) == kWebGetPhaseDone) {
    // A poll failed the request (or it never started): its error says why.
    fetchCause(r, cause, int(sizeof cause));
  }
  // A stop asked for (shutdown, a new run) is nobody's failure.
  if (cause[0] != '\0') warnFetch(url, source, cause);
  WebGetConnection_Cancel(c);
  WebGetConnection_Release(&c);
  Class_ReleaseObject(&r);
  return result;
}

int ProxyResolver_QueryDns(const SocketAddress *dnsServer, const char *name) {
  CHECK_POINTER(dnsServer);
  CHECK_POINTER(name);
  if (name[0] == '\0') return 0;
  Socket *s = nullptr;
  Socket_Create(&s);
  if (!Socket_Open(s)) {
    Socket_Release(&s);
    return 0;
  }
  s->readTimeoutMs = kProxyResolverDnsReadTimeoutMs;
  s->connectTimeoutMs = kProxyResolverDnsConnectTimeoutMs;
  DnsMessage *query = nullptr, *reply = nullptr;
  DnsMessage_Create(&query);
  DnsMessage_Create(&reply);
  ProxyDnsReply kind = ProxyDnsReply::Negative;
  if (Socket_Connect(s, dnsServer) &&
      DnsMessage_AddQuestion(query, name, kWpadQueryType, kWpadQueryClass))
    kind = dnsExchange(s, query, reply);
  Socket_Release(&s);
  int result = kind == ProxyDnsReply::Answer && fetchFromAnswers(reply, name);
  DnsMessage_Release(&query);
  DnsMessage_Release(&reply);
  return result;
}

ProxyDnsReply ProxyResolver_MatchDnsReply(DnsMessage *query, DnsMessage *reply,
                                          const uint8_t *data, int length) {
  CLASS_CHECK(query, kDnsMessageTag);
  CLASS_CHECK(reply, kDnsMessageTag);
  CHECK_POINTER(data);
  // The codec passes one byte of slop; a reply here is taken only whole, so
  // a datagram that also decodes one byte shorter had a byte too many.
  if (length < 1 || !DnsMessage_Decode(reply, data, length - 1)) {
    if (!DnsMessage_Decode(reply, data, length)) return ProxyDnsReply::Foreign;
  } else {
    return ProxyDnsReply::Foreign;
  }
  const DnsHeader &q = query->head, &a = reply->head;
  if (a.id != q.id || a.qr != 1 || a.opcode != q.opcode || reply->questions.count != 1 ||
      query->questions.count != 1 || !sameQuestion(query->questions.head, reply->questions.head))
    return ProxyDnsReply::Foreign;
  return a.rcode == 0 ? ProxyDnsReply::Answer : ProxyDnsReply::Negative;
}

int ProxyResolver_AnswerUrl(const DnsRecord *record, const char *queriedName, char *out,
                            int size) {
  CHECK_POINTER(record);
  CHECK_POINTER(queriedName);
  CHECK_POINTER(out);
  if (size < 1) return 0;
  out[0] = '\0';
  char url[kWebGetUrlBytes];
  if (record->type == kDnsTypeA || record->type == kDnsTypeCNAME) {
    if (strlen(queriedName) + 20 >= sizeof url) return 0;
    Str_Printf(url, sizeof url, "http://%s/wpad.dat", queriedName);
  } else if (record->type == kDnsTypeTXT) {
    char text[kDnsDataBytes + 1];
    const char *service = nullptr, *wpad = nullptr;
    if (!txtText(record, text, sizeof text) || !Str_FindNoCase(text, "service:", &service) ||
        !Str_FindNoCase(service + 8, "wpad:", &wpad))
      return 0;
    wpad += 5;
    while (*wpad == '!') wpad++;
    if (wpad[0] == '\0') return 0;
    Str_Copy(url, wpad, sizeof url);
  } else {
    return 0;
  }
  return ProxyResolver_EncodeBraces(url, out, size);
}

int ProxyResolver_CanQueryWpad(const char *name) {
  CHECK_POINTER(name);
  const psl_ctx_t *list = publicSuffixes();
  if (strchr(name, '.') == nullptr || list == nullptr) return 0;
  return !psl_is_public_suffix(list, name);
}

int ProxyResolver_EncodeBraces(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  if (size < 1) return 0;
  int used = 0;
  for (const char *p = url; *p != '\0'; p++) {
    const char *piece = *p == '{' ? "%7B" : *p == '}' ? "%7D" : nullptr;
    int count = piece != nullptr ? 3 : 1;
    if (used + count >= size) {
      out[0] = '\0';
      return 0;
    }
    memcpy(out + used, piece != nullptr ? piece : p, size_t(count));
    used += count;
  }
  out[used] = '\0';
  return 1;
}

int ProxyResolver_GetProxy(const char *url, char *out, int outSize, int allowLoopback,
                           int *pending) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  CHECK_POINTER(pending);
  *pending = 0;
  if (outSize > 0) out[0] = '\0';
  char host[kHostBytes];
  if (!Url_GetHostWithoutPort(url, host, sizeof host)) host[0] = '\0';
  if (isLoopbackHost(host) && !allowLoopback) return 0;
  ResolverCall call;
  ProxyResolver *g = call.get();
  const uint32_t run = g->runs.load();
  if (g->ready.load() == 0) {
    *pending = 1;
    return 1;
  }
  char list[kWebGetUrlBytes];
  if (CmdLine_GetOption(nullptr, "proxy", list, sizeof list)) {
    Str_ReplaceChar(',', ';', list);
  } else {
    Evaluated scripted = evaluateScript(g, url, list, sizeof list);
    // A new run emptied or rewrote the script: its list comes later.
    if (scripted == Evaluated::Moved || g->runs.load() != run) {
      *pending = 1;
      return 1;
    }
    const char *protocol = Url_HasScheme(url, "https") ? "https" : "http";
    if (scripted != Evaluated::Answered &&
        !platform().ProxyGetByProtocol(protocol, list, sizeof list))
      list[0] = '\0';
  }
  if (list[0] == '\0') return 1;
  Bypass bypass = bypassFor(url, host, allowLoopback);
  if (bypass != Bypass::Direct) copyWholeEntries(out, outSize, list);
  return 1;
}

void ProxyResolver_SetPlatformForTest(const ProxyResolverPlatform *settings) {
  gPlatform.store(settings != nullptr ? settings : &kProxyResolverSystem);
}

void ProxyResolver_SetWarningHook(ProxyResolverWarningHook hook) { gWarningHook.store(hook); }

void ProxyResolver_SetSlowScriptSecondsForTest(double seconds) {
  gSlowScriptSeconds.store(seconds > 0 ? seconds : kSlowScriptSeconds);
}

void ProxyResolver_SetMachineNameForTest(const char *name) {
  Str_Copy(gMachineNameForTest, name != nullptr ? name : "", sizeof gMachineNameForTest);
}
