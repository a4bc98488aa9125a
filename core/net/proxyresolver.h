// ProxyResolver: decides, for each URL the HTTP client is about to connect to,
// which proxy list to use. The `proxy` option gives the list outright; else a
// proxy auto-configuration (PAC) script found once per detection run (the
// `proxy-wpad` option, the system's script URL, WPAD by DHCP option 252, then
// a DNS query for "wpad." before the machine's domain) is evaluated per URL;
// without one, the system's proxy for the URL's scheme is used. Detection runs
// on a thread of its own; until it has finished, GetProxy answers "pending".
// Init installs GetProxy and Restart into the HTTP client's two hook slots
// (webgetconnection.h), Shutdown empties them.
//
// Invariants: (1) the hooks are installed exactly between Init and Shutdown.
// (2) the script buffer holds at most one script, the answer of the latest
// detection run (a 2xx answer of at most 1 MiB, then one NUL byte); a run
// empties it when it starts. (3) GetProxy reads the script only while the
// ready flag is 1, and the flag is set last by a finished run. (4) a WPAD
// query never goes to "wpad." before a public suffix or a one-label name,
// and a DNS reply counts only when its id, QR, opcode and question match the
// query and its RCODE is 0. (5) '{' and '}' of URLs from DHCP and DNS are
// percent-encoded, so a network cannot have macros expanded into the fetch.
// (6) every PAC evaluation runs on a thread of its own, on a copy of the
// script taken with the run count it belongs to; an evaluation whose run has
// moved on counts for nothing (the call answers "pending"). Its caller waits
// at most 5 s and then uses the system proxy; a script that does not answer
// in time or runs out of memory is dropped until the next run (the system
// proxy answers every later call, without running it), with one warning
// line; one that fails for a URL, or answers what is no proxy list, answers
// that call with the system proxy and the others itself (one warning line a
// run); one whose answers have taken more than 10 s in all gets one warning
// line, its answers unchanged. Shutdown joins the detection
// thread and every evaluation thread (at most 30 s each; one still running
// then is left to end by itself), and a script fetch lasts at most 30 s and
// ends at once when its thread is asked to stop.
//
// Threads: Init and Shutdown on the main thread; GetProxy and Restart on any
// thread between them (a missing resolver or a wrong class tag stops the
// program). Detect, FetchScript and QueryDns run on the detection thread.
#pragma once

#include <cstdint>

#include "core/platform/platform.h"

struct DnsMessage;
struct DnsRecord;
struct SocketAddress;

constexpr uint32_t kProxyResolverTag = 0x9a0c5e31;
// The output GetProxy's callers give (the connection's proxy list field).
constexpr int kProxyResolverListBytes = 512;
// The longest PAC script taken (the fetch's size limit).
constexpr int64_t kProxyResolverScriptMaxBytes = 1048576;
// How long a caller waits for one PAC evaluation, and a fetch at most lasts.
constexpr int32_t kProxyResolverEvaluationWaitMs = 5000;
constexpr double kProxyResolverFetchMaxSeconds = 30.0;
// The WPAD query over UDP: read and connect time-outs.
constexpr int32_t kProxyResolverDnsReadTimeoutMs = 500;
constexpr int32_t kProxyResolverDnsConnectTimeoutMs = 2000;
// "wpad.%s": at most 119 characters.
constexpr int kProxyResolverWpadNameBytes = 120;

// Creates the resolver with its script buffer, starts the detection thread
// and installs the hooks. 1; 0 (nothing left behind) when the thread cannot
// start. Stops the program when a resolver exists already.
int ProxyResolver_Init(void);
// Empties the hooks, asks the detection thread to stop and joins it, joins
// the PAC evaluation threads, frees the resolver. 1, also without one.
int ProxyResolver_Shutdown(void);

// The GetProxy hook: out (outSize bytes, kProxyResolverListBytes from the
// connection) receives the proxy list for url, "" for a direct connection.
// A loopback host ("localhost", "127.0.0.1") with allowLoopback 0 gives 0
// (direct). While detection runs: *pending = 1 and 1. Otherwise 1 with the
// list from the `proxy` option (',' read as ';'), the script's answer, or
// the system proxy for the scheme, emptied when the system bypass list names
// the host ("<local>": a host without '.'; "<-loopback>" with allowLoopback
// keeps the list for a loopback URL that resolves to 127.0.0.1).
int ProxyResolver_GetProxy(const char *url, char *out, int outSize, int allowLoopback,
                           int *pending);
// The Restart hook: when a run has finished, starts a new one (the ready
// flag goes back to 0); while one runs, nothing. Always 0.
int ProxyResolver_Restart(void);

// The detection thread's function (userData: the resolver). 0.
int ProxyResolver_Detect(void *userData);
// Downloads a PAC script into the script buffer (source: "Command Line",
// "System", "DHCP" or "DNS", for the log). Only http and https URLs are
// fetched, and from any host: the URL is the user's or the administrator's,
// not a publisher's, so the content whitelist does not hold it. 1 when a 2xx
// answer of at most 1 MiB arrived; 0 on anything else, after 30 s, or when
// the thread is asked to stop. A script the user or the administrator set
// ("Command Line", "System") that cannot be fetched gives one warning line
// (ProxyResolver_SetWarningHook) naming its URL and why. Detection thread
// only.
int ProxyResolver_FetchScript(const char *url, const char *source);

// Where the lines for the user go: a script the settings name that cannot
// be fetched, a script that fails, is dropped or is slow (once a run), desktop
// proxy settings that exist but cannot be read (once per run). line has no
// newline; it is written to the log at WARNING level either way. NULL: the
// log alone. Set only while no resolver runs; the hook runs on any thread.
typedef void (*ProxyResolverWarningHook)(const char *line);
void ProxyResolver_SetWarningHook(ProxyResolverWarningHook hook);
// Asks one DNS server (port 53, or the test port of socket.h) about name
// (type 255, class 255) and fetches the script the first usable answer
// points to. 1 on success. Detection thread only.
int ProxyResolver_QueryDns(const SocketAddress *dnsServer, const char *name);

// ---- The pieces of the WPAD look-up (also for the fuzz target) ----------------------------

// How a received datagram relates to query.
enum class ProxyDnsReply {
  Foreign,   // not a reply to query (undecodable, id, QR, opcode or question differ, extra bytes)
  Negative,  // the reply to query, without an answer (RCODE not 0)
  Answer,    // the reply to query, RCODE 0; reply holds it
};
// Decodes data (length bytes) into reply and compares it with query.
ProxyDnsReply ProxyResolver_MatchDnsReply(DnsMessage *query, DnsMessage *reply,
                                          const uint8_t *data, int length);
// The script URL an answer record points to: A and CNAME give
// "http://<queriedName>/wpad.dat"; a TXT whose text holds "service:" and
// after it "wpad:" (any case) gives the text behind "wpad:" without leading
// '!'. '{' and '}' come out as "%7B" and "%7D". 1 with out; 0 (out empty)
// for any other record or when the URL does not fit size.
int ProxyResolver_AnswerUrl(const DnsRecord *record, const char *queriedName, char *out,
                            int size);
// 1 when "wpad." may be put before name: it has more than one label and is
// not a public suffix ("co.uk", "com"). 0 without public-suffix data.
int ProxyResolver_CanQueryWpad(const char *name);
// Copies url into out with '{' and '}' percent-encoded. 0 (out empty) when it
// does not fit.
int ProxyResolver_EncodeBraces(const char *url, char *out, int size);

// ---- Test seams ------------------------------------------------------------------------------

// The system answers detection and GetProxy read. Tests swap the record to
// reach settings this machine cannot be given (auto-detection, a script URL,
// DHCP adapters); every slot is called like the Platform_ function it names.
struct ProxyResolverPlatform {
  int (*IsProxyAutoDetect)(int *on);
  int (*GetProxyAutoConfigUrl)(char *out, int size);
  int (*GetNetworkAdapter)(int index, NetworkAdapter *out);
  int (*GetDhcpWpadUrl)(const char *adapterName, char *out, int size);
  int (*GetDnsServers)(uint32_t *first, uint32_t *second);
  int (*ProxyGetByProtocol)(const char *protocol, char *out, int maxURL);
  int (*GetProxyBypass)(char *out, int size);
  int (*GetProxySettingsProblem)(char *out, int size);  // may be NULL
};
extern const ProxyResolverPlatform kProxyResolverSystem;
// NULL: kProxyResolverSystem. Set only while no resolver runs.
void ProxyResolver_SetPlatformForTest(const ProxyResolverPlatform *platform);
// The time a run's script may take in all before its one line (0: 10 s).
// Set only while no resolver runs.
void ProxyResolver_SetSlowScriptSecondsForTest(double seconds);
// The machine name of the WPAD walk (NULL: the system's). Set only while no
// resolver runs.
void ProxyResolver_SetMachineNameForTest(const char *name);
