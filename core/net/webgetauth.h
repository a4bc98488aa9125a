// WebGetAuth: the answer of one connection to a server's 401 or a proxy's
// 407. The record parses the challenge header, picks the scheme the server
// lists first (Basic, Digest, NTLM or Negotiate, the last answered with NTLM
// messages), obtains credentials through the challenge broker when it has
// none, and gives the value the connection sends as "Authorization" or
// "Proxy-Authorization". The connection fills host, method, target and body
// before it parses, and asks for the value once per request it sends.
//
// Digest answers follow RFC 2617 with MD5 or MD5-sess, qop "auth",
// "auth-int" or none: a fresh client nonce (16 random hex digits) per
// challenge, the nonce count growing with each request that carries an answer
// to the same server nonce, the response computed for that request's method,
// target and body. NTLM (core/net/ntlm.h) answers a bare challenge with a
// negotiate message and a challenge message with an authenticate message,
// which is handed out for one request only: it authenticates the connection.
//
// The counter counts the complete answers handed out (Basic, Digest and NTLM
// authenticate messages) since the last reset; a Digest challenge with
// stale=true sets it back to 0, since only the nonce aged. A connection that
// reads it as 1 or more after parsing a new challenge reports the failure.
//
// Invariants: (1) the host, compared without regard to case, owns every
// secret and answer in the record: a new host clears them all. (2) passwords
// and hashes derived from them are wiped when cleared and when the record is
// destroyed. (3) a destroyed record has no request left with the broker.
//
// Threads: one thread at a time per record (its connection's); the broker is
// reached only through notifications, which the main thread delivers.
#pragma once

#include <cstdint>

struct WebGetAuth;

constexpr uint32_t kWebGetAuthTag = 0x7e6b0f60;

// Flags: proxy authentication; the scheme bit of the last challenge parsed.
constexpr uint32_t kWebGetAuthProxy = 0x1000;
constexpr uint32_t kWebGetAuthBasic = 0x2000;
constexpr uint32_t kWebGetAuthDigest = 0x4000;
constexpr uint32_t kWebGetAuthNtlm = 0x8000;
constexpr uint32_t kWebGetAuthNegotiate = 0x10000;

// Text fields: host, realm and credentials; the request target; the value.
constexpr int kWebGetAuthTextBytes = 512;
constexpr int kWebGetAuthUriBytes = 4096;
constexpr int kWebGetAuthValueBytes = 8192;

// Every function stops the program on a NULL record or a foreign object.

// A new record, entered in the instance table. Returns 1.
int WebGetAuth_Create(WebGetAuth **auth);
// Drops one reference; the last withdraws the record's broker requests,
// wipes it and frees it. Clears *auth.
void WebGetAuth_Release(WebGetAuth **auth);

int WebGetAuth_SetProxy(WebGetAuth *auth, int proxy);
// A host other than the stored one (any case) resets the record: NTLM state,
// user name, password, domain, workstation, answered flag, counter, Digest
// state and both values. Returns 1.
int WebGetAuth_SetHost(WebGetAuth *auth, const char *host);
// Clears what SetHost clears when the host changes; keeps the host.
int WebGetAuth_Reset(WebGetAuth *auth);
// Stores the typed user name ("user", "domain\user" or "domain/user") and
// the password, each cut to 511 bytes, as not yet used. Returns 1.
int WebGetAuth_SetCredentials(WebGetAuth *auth, const char *typedUserName, const char *password);
// The request the next value is for: method (WebGetMethod), target, and the
// body that qop "auth-int" hashes (NULL or length 0: none). Return 1.
int WebGetAuth_SetMethod(WebGetAuth *auth, int32_t method);
int WebGetAuth_SetUri(WebGetAuth *auth, const char *uri);
int WebGetAuth_SetBody(WebGetAuth *auth, const void *data, int64_t length);
// 1 dumps each NTLM challenge message to the log.
int WebGetAuth_SetLogFlag(WebGetAuth *auth, int32_t flag);
uint32_t WebGetAuth_GetFlags(WebGetAuth *auth);
int WebGetAuth_HasNtlmState(WebGetAuth *auth);
int WebGetAuth_GetCounter(WebGetAuth *auth, int32_t *value);
// Replaces the NTLM value (the authenticate message waiting to go out).
int WebGetAuth_SetNtlmValue(WebGetAuth *auth, const char *value);

// The value for the request set last: a waiting NTLM authenticate message
// (handed out once, then cleared), else a Digest answer computed for that
// request with the next nonce count, else the Basic value or NTLM negotiate
// message. 1 with the value in out (size bytes); 0 with out empty when there
// is none or it does not fit.
int WebGetAuth_GetValue(WebGetAuth *auth, char *out, int size);

// Parses the first "WWW-Authenticate" line (with the proxy bit:
// "Proxy-Authenticate") of a response header block and prepares the answer.
// 1 when a value is ready; 0 while credentials are awaited (code 0), or with
// code 981 (no challenge header) or 982 (an unknown scheme, a Digest
// algorithm other than MD5 and MD5-sess, an NTLM challenge message that fails
// its checks, a password that cannot be hashed, a message that does not fit
// the value). codeEx is 0.
int WebGetAuth_ParseChallenge(WebGetAuth *auth, const char *responseHeaders, int32_t *code,
                              int32_t *codeEx);
// 1 when credentials are at hand (they are then split into domain and user
// name); otherwise posts a credential request to the broker and returns 0:
// the record's own instance observes "Challenge"/"Response".
int WebGetAuth_GetCredentials(WebGetAuth *auth);
// Tells the broker that the credentials it gave for this host and realm were
// refused, so that the user is asked again; the counter returns to 0.
int WebGetAuth_ReportFailure(WebGetAuth *auth);

// Tests only: the client nonce of the following Digest challenges (NULL or
// empty: random again).
int WebGetAuth_SetClientNonce(WebGetAuth *auth, const char *cnonce);
// Tests only: the NTLM client challenge of the following authenticate
// messages (NULL: random again).
int WebGetAuth_SetClientChallenge(WebGetAuth *auth, const uint8_t *challenge8);
