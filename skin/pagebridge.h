// PageBridge: the script bridge of one page over loopback HTTP. It owns the
// local web server's request cells: POSTs under "/instances/" reach the
// bridge's calls (createInstance, hasInstance, releaseInstance, invoke, hash
// and callbacks, the last one handing the page its queued notification
// batches, since plain HTTP cannot push); every other path goes to the
// static files when there are any, else 404 (the index's with a text saying
// why, when the starter gave one).
//
// A page proves itself with the session token: 16 random bytes as 32
// lower-case hex digits, made at creation, never logged and never handed out
// but once: the page's first call ("session") trades a one-time ticket for
// it. The ticket (the same form) is what the starter hands the page out of
// band, in the fragment of the address the browser opens; a browser keeps
// that address in its command line, where every local user can read it, so
// the ticket is void after one trade or kPageBridgeTicketSeconds, whichever
// comes first, and a second trade is refused and logged. Any web page the
// user visits can reach 127.0.0.1, so every "/instances/" call must be a POST
// of "application/json", and every call but the trade must carry the token
// in "X-Keelson-Token": a browser sends neither that type nor that header
// across origins without a preflight, and no answer ever carries an
// "Access-Control-Allow-*" header, so the preflight fails. The web server has
// already refused a foreign Host or Origin, and any other user's socket, by
// then.
//
// Invariants: (1) a call is made only after method, type and token (the
// ticket, for the trade) were checked; a refused request's body is read and
// dropped, never parsed. (2) a body is parsed only when it holds at most
// kPageBridgeMaxBodyBytes and is exactly one JSON object, strictly read
// (no key twice in one object, UTF-8 text only, every escaped surrogate
// paired), with nothing but white space after it. (3) every answer of the bridge
// carries "Cache-Control: no-store" and "X-Content-Type-Options: nosniff".
// (4) neither the token nor a ticket appears in a log line; the token leaves
// the process only in the answer of the one successful trade.
//
// Threads: main thread only; the server is pumped on the main thread, so the
// bridge's calls run where the script bridge expects them.
#pragma once

#include <cstdint>

struct PageBridge;
struct PageChannel;
struct StaticFiles;
struct WebServer;

constexpr uint32_t kPageBridgeTag = 0x9a6e2b51;
// Random bytes behind the token; its text is twice as long.
constexpr int32_t kPageBridgeTokenBytes = 16;
constexpr int32_t kPageBridgeTokenTextBytes = 2 * kPageBridgeTokenBytes + 1;
// How long a ticket can be traded after it was issued.
constexpr double kPageBridgeTicketSeconds = 60.0;
// A call's body is one small JSON object; a larger one is refused (400).
constexpr int64_t kPageBridgeMaxBodyBytes = int64_t(1) << 20;
// The instance id buffer handed to the script bridge.
constexpr int32_t kPageBridgeIdBytes = 40;
// A notice line of PageBridge_TakeNotice.
constexpr int kPageBridgeNoticeBytes = 160;

// A bridge with a fresh token, no ticket and its own page channel (one page
// per process, as one skin window serves one user interface). Returns 1; a
// random source that fails stops the program.
int PageBridge_Create(PageBridge **bridge);
// Frees the bridge and its channel; clears *bridge. The server must no longer
// run with the bridge's cells (stop or release it first).
int PageBridge_Release(PageBridge **bridge);
// A fresh ticket (32 lower-case hex digits) into ticket (at least
// kPageBridgeTokenTextBytes), for the one who starts the page: the "session"
// call trades it for the token once, within seconds from now. An earlier
// ticket is void from now on. Returns 1; a size too small stops the program.
int PageBridge_IssueTicket(PageBridge *bridge, double seconds, char *ticket, int size);
// The page's channel: the request and user context of every instance the page
// creates, so notification batches reach it. Borrowed.
PageChannel *PageBridge_GetChannel(PageBridge *bridge);
// The files served beside the calls (borrowed; NULL: none, every other path
// is 404).
int PageBridge_SetStaticFiles(PageBridge *bridge, StaticFiles *files);
// Without static files: the plain text the index ("/") answers with its 404,
// saying why there is no page (borrowed, lives as long as the bridge; NULL:
// an empty 404).
int PageBridge_SetNoPageText(PageBridge *bridge, const char *text);
// The refused ticket trades for the starter's terminal, where another local
// user's tries must not flood it: the first refusal's line ("refused the
// page's ticket trade: <why>") at once, the later ones of the next seconds
// as one count, taken once those seconds have passed (flush: at once, as
// at exit); then the next refusal's line at once again. 1 with the line in
// out; 0 when none is due. No line holds a ticket or the token.
int PageBridge_TakeNotice(PageBridge *bridge, double seconds, int flush, char *out, int size);
// Sets server's request, post, response, write and close cells to the bridge.
// Call before WebServer_Start.
int PageBridge_Attach(PageBridge *bridge, WebServer *server);

// The hash the script bridge gives a method of that name: the CRC-32 of its
// first 119 bytes, as the bridge cuts names.
uint32_t PageBridge_HashMethodName(const char *text, int64_t length);
