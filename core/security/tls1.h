// Tls: the TLS 1.0-1.2 client. A session (TLS1) is a state machine between
// two buffers: the transport appends received bytes to its record buffer
// (Tls_WriteRecordInput) and drains protected records from the outbound side
// of its transport stream; the application writes plaintext through it and
// reads decrypted data from the inbound side. The process-wide part is the
// suite catalogue and the switches that pick from it, the version bounds,
// the key-log path, the TLS global and the certificate store new sessions
// judge servers with.
//
// Invariants: (1) the enabled flags and the version bounds are written by
// the application at start-up, before sessions exist, and only read after
// that; nothing ever clears an enabled flag. (2) the minimum and maximum
// version bytes lie in 0x31..0x33. (3) the key-log path is at most 319
// characters; empty means no key log. (4) a session's error is the alert
// code of its first failure; while it is set, input is not processed. (5)
// application data is taken only under read protection once the handshake
// is done, and leaves only under write protection once it is done, so no
// byte of it travels in plain text or ahead of the real peer's. (6) secrets
// (master secret, key block, MAC keys) are wiped when replaced and by
// Tls_StartHandshake, Tls_Reset and Tls_Delete.
//
// Threads: the process-wide calls may be made from any thread; the flags and
// bounds are atomics, the key-log path and the store source sit behind their
// own lock or atomic; Tls_GlobalInit and Tls_Shutdown run while no session
// exists. A session may be used from several threads (an I/O worker feeding
// input while the poll thread starts handshakes and resets): every session
// call holds the session's recursive lock, and the error and handshake flags
// are atomics. Lock order: the session lock before the locks of its streams
// and of a plaintext stream passed to Tls_EncryptFromStream; no callback but
// the log hook runs under the session lock.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

struct CertStore;
struct DupStream;
struct TLS1;

constexpr uint32_t kTlsGlobalTag = 0xeebf9e93;
constexpr int32_t kTlsKeyLogPathBytes = 320;
constexpr int32_t kTlsSuiteCount = 20;

// Version bytes: major in the high nibble, minor in the low one.
constexpr int32_t kTlsVersion10 = 0x31;
constexpr int32_t kTlsVersion11 = 0x32;
constexpr int32_t kTlsVersion12 = 0x33;

// The application's list when it configures none (18 suites, RC4 off).
extern const char kTlsDefaultCipherList[];

// The TLS global: created by the network layer's start-up, freed by
// Tls_Shutdown.
struct TlsGlobal {
  uint32_t tag;  // kTlsGlobalTag
};

// Creates the global. 0 when it exists already.
int Tls_GlobalInit(void);
// Frees the global. Returns 1 (also when there is none).
int Tls_Shutdown(void);
// The global, or NULL outside Tls_GlobalInit..Tls_Shutdown.
TlsGlobal *Tls_GetGlobal(void);

// "1.0" 0x31, "1.1" 0x32, "1.2" 0x33, anything else (and NULL) 0.
int32_t Tls_VersionFromText(const char *text);
// The suite id of a name (any case), or 0 after logging
// "Unknown cipher suite: %s\n" at WARNING.
uint16_t Tls_CipherSuiteFromName(const char *name);
// 1 for the twelve ECDHE suite ids.
int Tls_IsEcdheSuite(uint16_t id);

// The application's settings walk, over texts with their macros already
// expanded: every name of the comma-separated cipherList (blanks around a
// name ignored, unknown names logged and skipped) enables its row; a NULL
// list enables kTlsDefaultCipherList. versionMin and versionMax replace the
// bounds when Tls_VersionFromText gives a non-zero byte; NULL or an unknown
// text keeps the current bound. Returns 1.
int Tls_ApplySettings(const char *cipherList, const char *versionMin, const char *versionMax);
// The current bounds (defaults 0x31 and 0x33).
int32_t Tls_GetVersionMin(void);
int32_t Tls_GetVersionMax(void);
// Test-only: every flag off and the default bounds back.
void Tls_ResetSettingsForTest(void);

// Copies path (NULL clears it; longer than 319 characters is cut) as the key
// log. May be called before Tls_GlobalInit. The start-up calls it only while
// Authenticate_Enabled answers 0, and a line is written only then.
void Tls_SetKeyLogPath(const char *path);
// Copies the key-log path into out (empty when none). Returns 1 when a path
// is set.
int Tls_GetKeyLogPath(char *out, int32_t size);

// Where new sessions get their certificate store. A source answers a
// retained store (the caller owns the reference) or NULL when it has none.
typedef CertStore *(*TlsCertStoreSource)(void);
// Installs source (NULL removes it). The WebGet layer installs its own while
// it runs.
void Tls_SetCertStoreSource(TlsCertStoreSource source);
// A retained store: the source's answer while a source is set and answers
// non-NULL, else Auth_GetCertStore("app"). The caller releases it.
CertStore *Tls_DefaultCertStore(void);

// ---- sessions ----------------------------------------------------------

constexpr uint32_t kTls1Tag = 0xb292972f;
constexpr int32_t kTlsMaxPlaintextBytes = 16384;   // per record written
constexpr int32_t kTlsRecordRoomBytes = 18432;     // outbound room a record needs
constexpr int32_t kTlsMaxRecordBytes = 17403;      // largest record length taken
constexpr int32_t kTlsMaxReadUnitBytes = 18431;
constexpr int32_t kTlsServerNameBytes = 255;
constexpr int32_t kTlsClientHelloBytes = 512;

// TLS alert codes the session reports.
enum TlsAlert : int32_t {
  kTlsAlertCloseNotify = 0,
  kTlsAlertUnexpectedMessage = 10,
  kTlsAlertBadRecordMac = 20,
  kTlsAlertHandshakeFailure = 40,
  kTlsAlertBadCertificate = 42,
  kTlsAlertIllegalParameter = 47,
  kTlsAlertDecodeError = 50,
  kTlsAlertDecryptError = 51,
  kTlsAlertInvalidVersion = 70,
  kTlsAlertNoRenegotiation = 100,
};

// Why a session failed, kept beside its alert code.
enum class TlsCause : int32_t {
  None = 0,           // no failure
  Alert = 1,          // the server sent a fatal alert; its description is the alert code
  SelfSigned = 2,     // the server's certificate issued itself and nothing trusts it
  UnknownIssuer = 3,  // nothing trusts the certificate's issuers
  Expired = 4,        // a certificate of the chain is past its notAfter
  NotYetValid = 5,    // ... before its notBefore
  Invalid = 6,        // the chain breaks: a signature, an issuer that may not issue, purpose
  Revoked = 7,        // the store rejected a certificate of the chain
  NameMismatch = 8,   // the certificate names another host
  KeyUnfit = 9,       // its key does not fit the cipher suite the server chose
  Version = 10,       // the server chose a version below our minimum
  Record = 11,        // a record that could not be read or deciphered
  Protocol = 12,      // any other message we could not accept
  Ended = 13,         // the server sent a fatal alert after the handshake
  PlainHttp = 14,     // the server answered in plain HTTP, not TLS
  Unusable = 15,      // a certificate we cannot read or whose key is too weak
  NotTls = 16,        // the server's first record is not TLS (its bytes are kept)
  VersionCapped = 17, // protocol_version or internal_error to a hello capped below TLS 1.2
};
// The first bytes of an answer that is not TLS, as a line may quote them.
constexpr int32_t kTlsAnswerQuoteBytes = 32;

// A session's failure: the alert code (the session error), why, and
// whether the alert came from the server (1) or was raised here (0).
struct TlsFailure {
  int32_t alert;
  TlsCause cause;
  int32_t received;
  char answer[kTlsAnswerQuoteBytes + 1] = {};  // NotTls: the answer's printable start
};

typedef void (*TlsCertificateRequestFunction)(TLS1 *session, void *context);

// A session with reference count 1, its lock and Tls_Init done, into
// *session. Returns 1.
int Tls_Create(TLS1 **session);
// (Re)creates the record buffer (empty), the transport stream, the MAC and
// cipher objects and a fresh handshake context; negotiated version = the
// configured maximum, offered version = min(maximum, 0x33); certificate
// store = Tls_DefaultCertStore(). Returns 1.
int Tls_Init(TLS1 *session);
// Frees everything the session owns, wiping its secrets, and clears
// *session. Also the class destroy operation.
void Tls_Delete(TLS1 **session);

// The owner's log hook: lines of the session go to function(context, format,
// ...) instead of the core log. Called under the session lock. Returns 1.
int Tls_SetLogCallback(TLS1 *session, void *context, ClassLogSink function);
// Called as function(session, context) when the server asks for a client
// certificate and none is set. Returns 1.
int Tls_SetCertificateRequestCallback(TLS1 *session, void *context,
                                      TlsCertificateRequestFunction function);
// Releases the current store, retains and keeps store (NULL clears). 1.
int Tls_SetCertStore(TLS1 *session, CertStore *store);
// The store (borrowed), or NULL.
CertStore *Tls_GetCertStore(TLS1 *session);

// Starts a client handshake and queues the ClientHello. serverName (NULL or
// empty: none) is kept for the host check; it goes out as server_name unless
// it is an IPv4 or IPv6 literal (brackets allowed), one trailing dot dropped.
// A name longer than 255 bytes, or a ClientHello that cannot be queued,
// fails: *alert = 40 (alert may be NULL), result 0.
int Tls_StartHandshake(TLS1 *session, const char *serverName, int32_t *alert);
// Appends up to the record buffer's space of length received bytes; *written
// = the bytes taken. 1 when any byte (or length 0) was taken.
int Tls_WriteRecordInput(TLS1 *session, const void *data, int32_t length, int32_t *written);
// The same without a copy: under the session's lock, receive(receiver, room,
// size) is called once with room for up to length bytes behind the record
// buffer's data (within its space) and returns how many it put there, which
// become record input and are processed (Tls_ProcessInput) before the lock
// goes. Returns that count; 0, without calling receive, when there is no
// room.
int32_t Tls_ReceiveRecordInput(TLS1 *session, int32_t length,
                               int32_t (*receive)(void *receiver, uint8_t *room, int32_t size),
                               void *receiver);
// Processes the complete records in the record buffer. Does nothing while
// the session holds an error. Returns 1 unless processing failed now.
int Tls_ProcessInput(TLS1 *session);
// Tls_ProcessInput when its last run left complete application records
// waiting for room in the deciphered stream (a reader may have made room
// since); otherwise returns 1 at once, without taking the session lock.
// Records the transport added are processed by the call that adds them.
// Returns 2 when deciphered bytes were added, 0 when processing failed now,
// else 1.
int Tls_ProcessWaitingInput(TLS1 *session);
// Sends application data as records of at most 16384 bytes (under TLS 1.0
// with a block cipher each record's first byte goes alone, the 1/n-1 split),
// stopping at the first that cannot be queued; *written = bytes accepted.
// 1 when any byte was accepted or length is 0. Refuses everything before
// the handshake is done.
int Tls_Write(TLS1 *session, const void *data, int32_t length, int32_t *written);
// Takes up to one record of plaintext from the outbound side of plaintext and
// sends it with Tls_Write; the bytes leave that stream only when their record
// was queued. Returns 0 when nothing was taken.
int Tls_EncryptFromStream(TLS1 *session, DupStream *plaintext);
// The transport stream (borrowed): its outbound side holds protected records
// for the transport, its inbound side decrypted application data.
DupStream *Tls_GetTransportStream(TLS1 *session);
// Bytes of protected records waiting for the transport. Returns 1.
int Tls_GetOutboundLength(TLS1 *session, int32_t *bytes);
// min(room in the transport stream's inbound side, room in the record
// buffer). Returns 1.
int Tls_GetReceiveSpace(TLS1 *session, int32_t *bytes);
int Tls_IsHandshakeStarted(TLS1 *session);
int Tls_IsHandshakeDone(TLS1 *session);
// The alert code of the first failure (0: none). Returns 1.
int Tls_GetError(TLS1 *session, int32_t *code);
int Tls_ClearError(TLS1 *session);
// The failure behind the session error: all zero while there is none.
// Returns 1 when there is one.
int Tls_GetFailure(TLS1 *session, TlsFailure *failure);
// For reuse on a kept connection: empties both buffers, drops the handshake
// (done 0, started 0, protection off, secrets wiped), offered version =
// min(maximum, 0x33). Returns 1.
int Tls_Reset(TLS1 *session);

// Drops the client certificate; then, with data (length bytes of a PKCS#12
// container, opened with password), loads it, selects its signature pair
// for the last CertificateRequest and starts the CertificateVerify hash.
// Call before Tls_StartHandshake. On any failure no certificate is kept
// and 0 is returned; NULL data clears and returns 1.
int Tls_SetClientCertificate(TLS1 *session, const void *data, int32_t length, const char *password);
// on: a CertificateRequest while no client certificate is set is answered
// with an empty certificate list and no CertificateVerify, and the
// handshake goes on; off (the default): the certificate request callback is
// called and the handshake fails. Kept over Tls_Reset. Returns 1.
int Tls_SetDeclineCertificate(TLS1 *session, int32_t on);
// 1 when the running or last handshake answered a CertificateRequest with
// no certificate.
int Tls_IsCertificateDeclined(TLS1 *session);
// The certificate types of the last CertificateRequest as text into text
// (80 bytes): "rsa" for type 1, "ecdsa" for type 64, joined by ","; empty
// when none. Returns 1.
int Tls_GetRequestedCertificateTypes(TLS1 *session, char *text);

// "Close Notify", "Unexpected Message", ... "Unknown".
const char *Tls_AlertName(int32_t code);
// A failure in words for a user, lower case, into out: "the server's
// certificate is not trusted: it is self-signed", "the server refused the
// handshake: handshake failure (no common protocol version or cipher
// suite)". Returns 1.
int Tls_DescribeFailure(const TlsFailure *failure, char *out, int32_t size);
// 1 when trying again cannot help: the certificate does not verify or names
// another host or cannot be used, the server chose a version below our
// minimum or answered in plain HTTP, or it sent
// handshake_failure (40), one of the bad_certificate family (42-46),
// unknown_ca (48), access_denied (49), protocol_version (70) or
// insufficient_security (71). Any other alert, a record that could not be
// read and any other local refusal may pass on another try.
int Tls_IsLastingFailure(const TlsFailure *failure);
// 1 for the causes a pin of the certificate would mend (self-signed,
// issuer unknown).
int Tls_IsUntrustedFailure(const TlsFailure *failure);

// "Hello Request", "Client Hello", ... "Unknown".
const char *Tls_HandshakeTypeName(int32_t type);
