// WebGet: the process-wide state of the HTTP client (GlobalWebGet) and the
// text helpers every network module shares. The global holds the user agent,
// the URL rewrite rules (PCRE2 patterns applied to request URLs) with the
// macro values they and URLs may use, the host whitelist that decides which
// servers the program may contact, the "XCache" tally of cache results that
// content servers report, the de-duplication of connection error reports,
// the certificate store for server checks and the authentication switch.
// Beside it: the header-block helpers (CRLF-separated lines in caller
// buffers) and the name tables of result codes, HTTP reasons, methods and
// request phases.
//
// Macros: WebGet_RewriteUrl and WebGet_ExpandUrl expand through Str_Expand,
// whose built-in chain answers first; the WebGet names ({SystemAgent}, the
// macro values, {Url} in the second pass) come last. A macro value whose key
// is also a chain name ("Time", "Env", ...) is never seen: the chain's
// answer wins.
//
// Invariants: (1) GlobalWebGet exists exactly between WebGet_Init and
// WebGet_Shutdown; every operation on it before or after stops the program
// with "Pointer is NULL\n". (2) rule keys are unique without regard to case;
// an immutable rule leaves only with WebGet_ClearUrlRedirects. (3) a rule
// that fails (no compile, a substitution error, a result that does not fit,
// a match or depth limit) never changes a URL. (4) the error-report list and
// the tally hold at most kWebGetReportCap records each. (5) once the
// whitelist is immutable it never changes again.
//
// Threads: WebGet_Init and WebGet_Shutdown on the main thread while no other
// thread uses the HTTP client. Everything else on any thread: rules and
// macros under the rule lock, the tally under the cache-report lock, the
// error reports under their lock. The whitelist is filled at start-up under
// the rule lock and read without a lock once it is immutable. The WebGet
// lock (WebGet_Lock) belongs to the connections; none of the other locks is
// taken while holding it here. The header helpers and name tables keep no
// state.
#pragma once

#include <cstdint>

#include "core/net/url.h"
#include "core/security/tls1.h"

struct CertStore;
struct Dictionary;

constexpr uint32_t kWebGetTag = 0x7e6b0f31;
constexpr uint32_t kWebGetRuleTag = 0x7e6b0f32;
constexpr uint32_t kWebGetRuleListTag = 0x7e6b0f33;
constexpr uint32_t kWebGetErrorReportTag = 0x7e6b0f34;
constexpr uint32_t kWebGetErrorReportListTag = 0x7e6b0f35;

constexpr int kWebGetAgentBytes = 320;
constexpr int kWebGetRuleKeyBytes = 320;
constexpr int kWebGetReplacementBytes = 4096;
// URLs and the URL fields of a request.
constexpr int kWebGetUrlBytes = 4096;
// Request and response header blocks.
constexpr int kWebGetHeaderBlockBytes = 8192;
// The value buffer of WebGet_FindAttribute.
constexpr int kWebGetAttributeBytes = 512;

// Rule flags: expand macros around the rules; the rule class (resource rules
// serve the embedded browser's resource loader).
constexpr uint32_t kWebGetRedirectExpand = 0x1;
constexpr uint32_t kWebGetRedirectResource = 0x2;

// An address and port are reported at most once in this many seconds.
constexpr double kWebGetErrorReportHoldSeconds = 3600.0;
// Servers choose the keys of both report stores (one X-ServedBy value per
// answer is enough for a new key); this bounds what they can make us keep.
constexpr int kWebGetReportCap = 1000;
// Bounds of one rule's match on one URL, so that a pattern that backtracks
// without end ("(a+)+$") fails in milliseconds instead of holding the rule
// lock, and every request behind it, for minutes.
constexpr uint32_t kWebGetMatchLimit = 1000000;
constexpr uint32_t kWebGetDepthLimit = 100000;

// The result codes of a transfer (WebGet_GetErrorName, WebGet_GetReasonText).
enum WebGetError : int32_t {
  kWebGetErrorNone = 0,
  kWebGetErrorCustom = 900,
  kWebGetErrorConnect = 950,
  kWebGetErrorDns = 951,
  kWebGetErrorBadTransport = 952,
  kWebGetErrorSocket = 953,
  kWebGetErrorBadByteRange = 954,
  kWebGetErrorChunkedSize = 955,
  kWebGetErrorUserAbort = 956,
  kWebGetErrorBlockedRedirect = 957,
  kWebGetErrorSizeLimit = 959,
  kWebGetErrorCompression = 960,
  kWebGetErrorTimeout = 961,
  kWebGetErrorUnderflow = 962,
  kWebGetErrorValidation = 963,
  kWebGetErrorOs = 964,
  kWebGetErrorProxyDisabled = 965,
  kWebGetErrorHeaderLimit = 966,
  kWebGetErrorHeaderIncomplete = 967,
  kWebGetErrorContentEncoding = 968,
  kWebGetErrorChunked = 969,
  kWebGetErrorBind = 970,
  kWebGetErrorTls1 = 971,
  kWebGetErrorAuthRequestCancel = 972,
  kWebGetErrorCertRequestCancel = 973,
  kWebGetErrorReconfigure = 974,
  kWebGetErrorInvalidOffset = 975,
  kWebGetErrorInvalidContent = 976,
  kWebGetErrorUnexpectedLength = 977,
  kWebGetErrorRangeNotSupported = 978,
  kWebGetErrorHashFailure = 979,
  kWebGetErrorContentLengthLimit = 980,
  kWebGetErrorAuthHeaderNotFound = 981,
  kWebGetErrorAuthNotSupported = 982,
  kWebGetErrorRedirectHeaderNotFound = 983,
  kWebGetErrorRedirectLoopDetected = 984,
  kWebGetErrorRedirectLimit = 985,
  kWebGetErrorHeaderCorrupt = 986,
  kWebGetErrorJson = 987,
  kWebGetErrorVcdiff = 988,
  kWebGetErrorStorage = 989,
  kWebGetErrorRequestIncomplete = 990,
  kWebGetErrorRetry = 991,
  kWebGetErrorXml = 992,
  kWebGetErrorYaml = 993,
};

// The extra code of 957 for a redirect from https to http.
constexpr int32_t kWebGetBlockedRedirectToHttp = 1;
// The extra code of 983: a redirect without a Location (0), with one too
// long to keep (1), or with one that makes no URL (2).
constexpr int32_t kWebGetRedirectNoLocation = 0;
constexpr int32_t kWebGetRedirectLocationTooLong = 1;
constexpr int32_t kWebGetRedirectLocationUnusable = 2;
// The longest Location a redirect may give.
constexpr int kWebGetRedirectLocationMax = kWebGetUrlBytes - 2;

// The extra code of 959 when the answer's raw bytes, counted before any
// decoding, passed the bound of what it may hold (the cause's body note
// gives the bound): a piece or file range twice its size and the slack, a
// document its size limit and the slack, any other page the slack alone.
constexpr int32_t kWebGetSizeLimitRaw = 1;
constexpr int64_t kWebGetRawSlackBytes = 65536;
// The extra code of 960 when coded input decodes to nothing: a member that
// ends empty with more coded bytes behind it, or this many coded bytes in a
// row without a byte of output.
constexpr int32_t kWebGetCompressionNoOutput = 100;
constexpr int64_t kWebGetCodedSilenceBytes = 65536;
// The extra code of 969 when a chunked answer's trailer section is longer
// than a header may be (kWebGetHeaderLimitBytes).
constexpr int32_t kWebGetChunkedTrailerLimit = 1;

// The extra code of 968 for a success under a content coding that a
// request asking for identity did not accept: the coding. With
// kWebGetCodingUnread added: a coding the request did not offer to read,
// whatever it asked for.
enum WebGetCoding : int32_t {
  kWebGetCodingOther = 1,
  kWebGetCodingGzip = 2,
  kWebGetCodingDeflate = 3,
  kWebGetCodingBr = 4,
  kWebGetCodingCompress = 5,
  kWebGetCodingZstd = 6,
};
constexpr int32_t kWebGetCodingUnread = 0x100;
// The coding's name as a Content-Encoding line gives it ("another coding"
// for kWebGetCodingOther and any other value).
const char *WebGet_GetCodingName(int32_t coding);

enum WebGetMethod : int32_t {
  kWebGetMethodUnknown = 0,
  kWebGetMethodGet = 1,
  kWebGetMethodPost = 2,
  kWebGetMethodPut = 3,
  kWebGetMethodDelete = 4,
  kWebGetMethodHead = 5,
  kWebGetMethodOptions = 6,
  kWebGetMethodTrace = 7,
  kWebGetMethodConnect = 8,
};

enum WebGetRequestPhase : int32_t {
  kWebGetPhaseIdle = 0,
  kWebGetPhaseStarting = 1,  // taken from a connection's queue, start callback pending
  kWebGetPhaseLookup = 2,
  kWebGetPhaseConnect = 3,
  kWebGetPhaseMethodConnect = 4,
  kWebGetPhaseRequest = 5,
  kWebGetPhasePostBuffer = 6,
  kWebGetPhaseHandshake = 7,
  kWebGetPhaseClientCertificateRequest = 8,
  kWebGetPhaseHeader = 9,
  kWebGetPhaseAuthenticate = 10,
  kWebGetPhaseBody = 11,
  kWebGetPhaseCleanup = 12,
  kWebGetPhaseDone = 13,
  kWebGetPhaseRedirect = 14,  // finished for a redirect; queued again
};

// ---- Lifetime -------------------------------------------------------------------

// Creates GlobalWebGet: the log flag of "WebGet", the "app" certificate store,
// the locks, pools, dictionaries and lists, the authentication switch on, the
// TLS client's global record (whose default store is then this one's), the
// MIME table, and the system and user agents. Returns 1. Stops the program
// with "Assertion failed (GlobalWebGet == NULL)\nWebGet already initialized"
// on a second call.
int WebGet_Init(void);
// Takes it all down in reverse (the rules immutable ones included, the
// reports, the TLS global record, the MIME table). Returns 1; nothing
// happens without a global.
int WebGet_Shutdown(void);

// The WebGet lock, for the connections. Re-entrant.
void WebGet_Lock(void);
void WebGet_Unlock(void);

// The agents: the system agent "(compatible; <system> <version>;
// <language>-<country>)" and the user agent "Mozilla/4.0 <system agent>",
// which the configuration may replace (cut to kWebGetAgentBytes - 1).
// Copies into out; 0 when it did not fit.
int WebGet_GetSystemAgent(char *out, int size);
int WebGet_GetUserAgent(char *out, int size);
int WebGet_SetUserAgent(const char *agent);

// The store for server certificate checks, retained for the caller (NULL
// when none is set). SetCertStore retains store and releases the old one;
// NULL leaves none, and TLS sessions then take the "app" store.
CertStore *WebGet_GetCertStore(void);
int WebGet_SetCertStore(CertStore *store);

// The authentication switch: on from WebGet_Init; the application object
// turns it off at its destruction. Connections answer challenges only while
// it is on.
int WebGet_SetAuthenticationEnabled(int enabled);
int WebGet_IsAuthenticationEnabled(void);

// ---- URL rewriting ----------------------------------------------------------------

// Adds or replaces the rule called key (any case). Returns 0 with a warning
// when an immutable rule has that key, and 0 (the old rule kept) when the
// pattern does not compile. Stops the program with "Assertion failed
// (CompileOptions >= 0 && CompileOptions <= UINT32_MAX)\nCompileOptions out
// of range" when compileOptions needs more than 32 bits. Only the low 32 bits
// of substituteOptions reach PCRE2.
int WebGet_AddUrlRedirect(const char *key, uint32_t flags, int isMutable, const char *pattern,
                          const char *replacement, uint64_t compileOptions,
                          uint64_t substituteOptions);
// 1 when a mutable rule of that key was removed; 0 when there is none or it
// is immutable.
int WebGet_RemoveUrlRedirect(const char *key);
// Frees every rule, immutable ones too, and empties the macro values.
int WebGet_ClearUrlRedirects(void);
// Frees every mutable rule and empties the macro values; the rules the
// program made immutable stay. What pages may clear.
int WebGet_ClearMutableUrlRedirects(void);
// Macro values for {key} in URLs and replacements.
int WebGet_SetMacroValue(const char *key, const char *value);
int WebGet_RemoveMacroValue(const char *key);
// Rewrites url (size bytes) in place: with kWebGetRedirectExpand its macros
// are expanded before and after the rules (the second time {Url} stands for
// the URL as given); then every rule of the class that kWebGetRedirectResource
// asks for runs in list order, each on the result of the ones before. 1 when
// a rule changed the URL.
int WebGet_RewriteUrl(uint32_t flags, char *url, int size);
// Copies url into out (they may be the same) and expands its macros. 0 when
// the expansion failed or did not fit (out then holds the copy).
int WebGet_ExpandUrl(const char *url, char *out, int size);

// Comma-separated option names (any case, blanks after a comma skipped);
// only the first, third, fifth ... field is read. Unknown names add nothing.
// "DupNames" is accepted as a substitute option and adds nothing: its
// compile-option value means another thing to a match and would make every
// substitution of the rule fail.
uint32_t WebGet_ParseRedirectFlags(const char *text);
uint64_t WebGet_ParseCompileOptions(const char *text);
uint64_t WebGet_ParseSubstituteOptions(const char *text);

// ---- Whitelist ------------------------------------------------------------------

// 1 when the host of url (without port, as Url_GetHostWithoutPort gives it)
// matches a whitelist pattern ('*' any run, "\*" a star, any case); else a
// warning, and 1 only while authentication is not enforced. A URL without
// "//" is refused.
int WebGet_Authorize(const char *url);
// 1 when host matches a pattern.
int WebGet_IsHostWhitelisted(const char *host);
// Adds a pattern (an existing one is kept). Returns 1. Stops the program with
// "Assertion failed (Platform_CAS(&GlobalWebGet->IsHostnameWhitelistImmutable,
// FALSE, FALSE) == FALSE)\nHostnameWhitelist is immutable" once the whitelist
// is immutable.
int WebGet_AddWhitelistHost(const char *host);
// Makes the whitelist immutable (once; later calls change nothing). Returns 1.
int WebGet_SetWhitelistImmutable(void);

// ---- Failure causes -------------------------------------------------------------

// A failure on the way to or from a proxy, so that an error line can name
// the proxy rather than blame the content's server.
struct WebGetProxyFailure {
  char proxy[kUrlHostBytes + 8];  // "host:port"; empty: the failure was not the proxy's
  int32_t code;
  int32_t codeEx;
  int32_t refused;  // the proxy itself answered with status code (a CONNECT refused)
};
// What a failed request met beyond its two codes. The request keeps it
// (whichever hop of its redirects failed), and the loaders and storages
// copy it into the errors they report, so that the words of an error that
// carries only the alert (971) can say why, and a proxy's failure can be
// told from the server's.
// An answer's body that broke a bound (959, 960 with the extra codes above):
// the bound in raw bytes, the content coding (0: identity) and the status.
struct WebGetBodyFailure {
  int64_t bound;
  int32_t coding;
  int32_t status;
};
struct WebGetCause {
  int32_t hasTls;  // tls was met on the failing hop
  TlsFailure tls;
  WebGetProxyFailure proxy;
  // The server asked for a client certificate and was sent none: the
  // address ("ip:port") a ClientCert answer of the credentials names.
  char declinedCertificate[48];
  // The URL of the hop that failed when redirects led there; empty when
  // the failure met the URL asked for.
  char hop[kWebGetUrlBytes];
  WebGetBodyFailure body;
  int32_t httpsPort;  // the server's 400 page says plain HTTP reached its HTTPS port
};
// 1 and *tls when cause holds a TLS failure whose alert is codeEx of a 971;
// else 0 and *tls zeroed. cause may be NULL.
int WebGetCause_FindTls(const WebGetCause *cause, int32_t code, int32_t codeEx, TlsFailure *tls);
// 1 and *proxy when cause names a proxy for the failure code and codeEx;
// else 0 and *proxy zeroed. cause may be NULL.
int WebGetCause_FindProxy(const WebGetCause *cause, int32_t code, int32_t codeEx,
                          WebGetProxyFailure *proxy);

// ---- Reports --------------------------------------------------------------------

// 1 when a connection error towards that IPv4 address (first octet in the
// lowest byte) and port is to be reported now: once per address and port in
// kWebGetErrorReportHoldSeconds. At the cap the oldest record goes.
int WebGet_ShouldReportError(const uint32_t *address, int32_t port);
int WebGet_ClearErrorReports(void);
// Counts one answer in the "XCache" tally host -> server -> status. At the
// cap no new key is added (one warning); existing counts still grow.
int WebGet_CountCacheResult(const char *host, const char *server, const char *status);
// Merges a copy of the tally into destination. Returns 1.
int WebGet_CopyCacheResults(Dictionary *destination);

// ---- Header text ----------------------------------------------------------------

// *position: behind the next "\r\n" of text, further CR and LF skipped. 0 when
// there is no line end.
int WebGet_NextHeaderLine(const char *text, const char **position);
// *line: the first line of block that begins with name (any case) followed
// directly by ':'. 0 when there is none.
int WebGet_FindHeader(const char *block, const char *name, const char **line);
// The value of that line, leading blanks skipped, up to its end (cut to
// size). 0 (out empty) when the header is missing.
int WebGet_GetHeaderValue(const char *block, const char *name, char *value, int size);
// The header text (length bytes; lines ended by CR LF or LF) as a log may
// show it, into out (size bytes, cut to fit): the values of the headers
// that carry secrets (Authorization, Proxy-Authorization, Cookie,
// Set-Cookie and the page's X-Keelson-Token) read "(hidden)". The length
// written.
int WebGet_MaskSecretHeaders(const char *block, int length, char *out, int size);
// Appends "name: value\r\n" to block (size bytes). When the header exists:
// with replace 0 nothing changes and the answer is 0; with 1 its line goes
// first. Answers 0 and leaves the block as it was when the name is empty or
// holds a control byte, ':' or a blank, when the value holds CR or LF, when
// the block has no terminator within size, or when the whole line does not
// fit (a cut line would merge with the next one appended).
int WebGet_SetHeader(char *block, int size, const char *name, const char *value, int replace);
// Removes every line of block whose header is name (any case).
void WebGet_RemoveHeader(char *block, const char *name);
// Splits one line: name up to ':', blanks after it skipped, value to the line
// end (each cut to its size). 0 without ':'.
int WebGet_ParseHeaderLine(const char *line, char *name, int nameSize, char *value,
                           int valueSize);
// The status code after the first blank of the line (at most size bytes
// read): exactly three digits, 100 to 999, followed by a blank, CR, LF or
// the end. 0 (and *code 0) otherwise.
int WebGet_ParseStatusCode(const char *line, int size, int32_t *code);
// The number after "HTTP/". 1 when it is at least 1.0.
int WebGet_ParseHttpVersion(const char *block, double *version);
// The text after the status code up to the line end, blanks trimmed.
int WebGet_GetStatusText(const char *block, char *out, int size);
// The value of parameter name in text (any case): name, blanks, '=' or ':',
// then a value quoted with '"' or '\'' (to the same quote) or bare (to a
// blank, ',', ';', CR or LF). 0 when the name or the separator is missing.
int WebGet_GetParameter(const char *text, const char *name, char *out, int size);
// The next "name=value" item of a ';'-separated list at *cursor (blanks and
// ';' skipped first; a name ends at ';' or '=', a value at ';' or a control
// byte; both cut to their sizes); *cursor moves behind it. 0 at the end.
int WebGet_NextAttribute(const char **cursor, char *name, int nameSize, char *value,
                         int valueSize);
// 1 when list holds an item called name (any case); its value is copied to
// value (size bytes).
int WebGet_FindAttribute(const char *list, const char *name, char *value, int size);
// Appends the lines of block to dictionary: the first as a List of its
// blank-separated words, every other as a key (trailing blanks trimmed) with a
// String value, "Cookie" as a Dictionary of its ';'-separated "k=v" pairs, a
// line without ':' as a key without value. Returns 1.
int WebGet_HeadersToDictionary(const char *block, Dictionary *dictionary);
// Writes one "key: value\r\n" line per item and a closing "\r\n" into out
// (size bytes): a first item that is a List gives its words joined by
// blanks; Null "null"; a Boolean "true" or "false"; a List or Dictionary value
// its "k=v" pairs joined by ';'. Answers 0 with out empty when the whole
// block does not fit.
int WebGet_DictionaryToHeaders(Dictionary *dictionary, char *out, int size);

// ---- Name tables ------------------------------------------------------------------

// "Unknown" (errors, reasons, methods) or "Idle" (phases) for a number
// without a row.
const char *WebGet_GetErrorName(int32_t code);
const char *WebGet_GetReasonText(int32_t code);
const char *WebGet_GetMethodName(int32_t method);
const char *WebGet_GetPhaseName(int32_t phase);
