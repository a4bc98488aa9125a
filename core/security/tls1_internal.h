// Tls internals: the suite table rows, the session layout and the record
// and key-schedule calls that the record layer, the handshake and their
// tests share. Not for other modules.
//
// Invariants: (1) kTlsSuites is constant and in offering order; a row's
// enabled flag lives apart from it (Tls_SuiteEnabled). (2) GCM rows carry
// the PRF hash only; the other rows' hash is also the record MAC. (3) every
// call below runs with the session lock held (the public calls take it).
//
// Threads: the table is constant; see tls1.h for the flags and sessions.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/security/cryptsymmetric.h"
#include "core/security/hash.h"
#include "core/security/tls1.h"

struct CriticalSection;
struct Ecdhe;
struct MemoryStream;
struct PKCS12;
struct X509;

struct TlsSuite {
  uint16_t Id;
  int32_t KeySize;    // bytes
  int32_t IVSize;     // bytes: the CBC IV, the GCM nonce, 0 for RC4
  int32_t BlockSize;  // 0: no padding
  const ::CryptSymmetricInterface *CryptInterface;
  const ::HashInterface *HashInterface;
};

extern const TlsSuite kTlsSuites[kTlsSuiteCount];

// 1 when the row at index is enabled.
int Tls_SuiteEnabled(int index);
// The first enabled row with this id, or NULL.
const TlsSuite *Tls_FindEnabledSuite(uint16_t id);
// Any row with this id (enabled or not), or NULL. For tests and tools.
const TlsSuite *Tls_FindSuite(uint16_t id);
// 1 for the AES-GCM rows.
inline int Tls_IsGcmSuite(const TlsSuite *suite) {
  return suite->CryptInterface == &kCryptSymmetricAesGcm;
}

// What a ClientHello offers. {hash, signature}: SHA-256/ECDSA, SHA-512/RSA,
// SHA-384/RSA, SHA-384/ECDSA, SHA-256/RSA, SHA-1/RSA.
inline constexpr uint8_t kTlsSignaturePairs[] = {4, 3, 6, 1, 5, 1, 5, 3, 4, 1, 2, 1};
inline constexpr uint16_t kTlsGroups[] = {23, 24};  // secp256r1, secp384r1

// Session flags.
constexpr uint32_t kTlsFlagHeaderUnit = 0x01;
constexpr uint32_t kTlsFlagWriteProtected = 0x02;
constexpr uint32_t kTlsFlagReadProtected = 0x04;
constexpr uint32_t kTlsFlagClient = 0x10;
constexpr uint32_t kTlsFlagCertificateRequested = 0x20;
constexpr uint32_t kTlsFlagCloseNotify = 0x40;
constexpr uint32_t kTlsFlagRecordSeen = 0x80;  // a record header came since the hello

// Handshake states besides the expected message type.
constexpr int32_t kTlsStateEstablished = 0;
constexpr int32_t kTlsStateClientHello = 1;
constexpr int32_t kTlsStateFinished = 20;

constexpr int32_t kTlsSecretBytes = 320;  // MAC key, IV and key limit
constexpr int32_t kTlsMasterSecretBytes = 48;
constexpr int32_t kTlsRandomBytes = 32;
constexpr int32_t kTlsVerifyBytes = 12;
constexpr int32_t kTlsGcmNonceBytes = 8;   // explicit part
constexpr int32_t kTlsGcmSaltBytes = 4;    // implicit part
constexpr int32_t kTlsGcmTagBytes = 16;
constexpr int32_t kTlsMaxMacBytes = 48;    // SHA-384
constexpr int32_t kTlsMaxHandshakeMessageBytes = 128 * 1024;
// One record as written: header, explicit IV, data, MAC, padding.
constexpr int32_t kTlsWriteBufferBytes = 5 + 16 + kTlsMaxPlaintextBytes + kTlsMaxMacBytes + 256;

// HMAC keyed once: the hash state after the key's inner and outer blocks.
struct TlsMacKernel;
struct TlsMac {
  const TlsMacKernel *Kernel;  // NULL while unkeyed
  uint64_t Inner[8];
  uint64_t Outer[8];
};

// Keys mac for hash (MD5, SHA1, SHA256 or SHA384) with key; 0 for another
// hash or a key longer than the hash block. The old state is wiped.
int TlsMac_SetKey(TlsMac *mac, const HashInterface *hash, const void *key, int32_t length);
// Wipes the state and unkeys. Returns 1.
int TlsMac_Clear(TlsMac *mac);
int32_t TlsMac_Size(const TlsMac *mac);
// HMAC(key, header | data) into out (TlsMac_Size bytes).
void TlsMac_Compute(const TlsMac *mac, const uint8_t *header, int32_t headerLength,
                    const uint8_t *data, int32_t length, uint8_t *out);
// The check of a deciphered CBC record of length bytes (MAC, padding and
// padding-length byte included) whose 13-byte MAC header lacks its length
// field: 1 when the padding is sound and the MAC over the content matches,
// and the content length in *contentLength. Takes the same time and touches
// the same addresses for every padding and content length of this record
// length, and compares with Crypt_ConstantTimeEqual.
int TlsMac_CheckCbcRecord(const TlsMac *mac, uint8_t header[13], const uint8_t *record,
                          int32_t length, int32_t *contentLength);

// Owned by the session; reset for each handshake.
struct TlsHandshakeContext {
  HashHandle *Md5;
  HashHandle *Sha1;
  HashHandle *Running;         // TLS 1.2: unbound until the ServerHello
  X509 *ServerCertificate;
  PKCS12 *Pkcs12;              // the client certificate, or NULL
  HashHandle *CertVerifyHash;  // running hash for CertificateVerify; set with Pkcs12
  uint16_t SignaturePair;      // hash in the high byte, signature in the low one
  uint8_t *KeyBlock;
  int32_t KeyBlockSize;
  uint8_t ExpectedVerify[kTlsVerifyBytes];
  uint8_t MasterSecret[kTlsMasterSecretBytes];
  uint8_t ClientRandom[kTlsRandomBytes];
  uint8_t ServerRandom[kTlsRandomBytes];
  int32_t HelloVersion;        // the version byte our ClientHello offered
  // Handshake messages as they arrive: a message may span records and a
  // record may hold several (kTlsMaxHandshakeMessageBytes at most).
  uint8_t *Message;
  int32_t MessageLength;
  int32_t MessageCapacity;
};

struct TLS1 {
  ObjectHeader header;
  ClassLog Log;                 // "TLS1"; the owner's hook in sink
  CriticalSection *Lock;        // recursive; around every call
  const TlsSuite *CipherInfo;   // negotiated row; NULL until a ServerHello
  CertStore *Store;             // retained
  TlsMac ReadMac;
  TlsMac WriteMac;
  CryptSymmetric *WriteCipher;
  CryptSymmetric *ReadCipher;
  Ecdhe *EcdheKey;              // after a ServerKeyExchange, else NULL
  MemoryStream *RecordBuffer;   // received, unprocessed bytes (1 MiB)
  DupStream *Transport;
  int32_t HandshakeState;       // expected message type; 1 and 0 special
  std::atomic<int32_t> HandshakeDone;
  std::atomic<int32_t> HandshakeStarted;
  int32_t OfferedVersion;
  int32_t NegotiatedVersion;
  std::atomic<int32_t> Error;   // first alert code, 0 none
  // Why, and whether the alert was the server's: written with Error under
  // the lock, read under it.
  TlsCause ErrorCause;
  int32_t ErrorReceived;
  char ErrorAnswer[kTlsAnswerQuoteBytes + 1];  // NotTls: what came instead
  uint32_t Flags;
  int32_t BytesNeeded;
  uint8_t WriteMacKey[kTlsSecretBytes];
  uint8_t ReadMacKey[kTlsSecretBytes];
  int32_t MacKeyLength;
  uint8_t Header[5];
  uint64_t ReadSequence;
  uint64_t WriteSequence;
  uint8_t WriteIV[16];
  uint8_t ReadIV[16];
  uint8_t CertificateTypes[2];
  int32_t CertificateTypeCount;
  uint16_t SignaturePairs[128];
  int32_t SignaturePairCount;
  TlsHandshakeContext *Handshake;
  CallbackCell CertificateRequest;
  int32_t ReadKeysActivated;    // in this handshake
  uint32_t BufferEpoch;         // moves on whenever the record buffer is emptied
  // Complete application records wait in the record buffer for room in the
  // deciphered stream: written under the lock by Tls_ProcessInput, read
  // without it by Tls_ProcessWaitingInput.
  std::atomic<int32_t> InputWaits;
  char ServerName[kTlsServerNameBytes + 1];
  uint8_t *WriteBuffer;         // kTlsWriteBufferBytes, one record at a time
  // Secure renegotiation (RFC 5746): whether the server sent the extension,
  // both sides' verify data of the last handshake, and whether a handshake
  // under established keys is running.
  int32_t SecureRenegotiation;
  int32_t Renegotiating;
  // A CertificateRequest without a certificate set is answered with none
  // (else the owner is asked and the handshake fails); whether the running
  // or last handshake did so.
  int32_t DeclineCertificate;
  int32_t CertificateDeclined;
  uint8_t ClientVerify[kTlsVerifyBytes];
  uint8_t ServerVerify[kTlsVerifyBytes];
};

// Session lines, through the owner's hook or the core log.
void Tls_Log(TLS1 *session, int level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// Stores code as the session error unless one is held. Returns 0, so a
// failing step can end with `return Tls_Fail(session, code);`. The cause is
// Protocol, raised here.
int Tls_Fail(TLS1 *session, int32_t code);
// Tls_Fail with the cause and whether the server sent the alert.
int Tls_FailFor(TLS1 *session, int32_t code, TlsCause cause, int received);

// One record of type with data (at most 16384 bytes), protected when write
// protection is on, queued on the outbound side. 0 when the outbound side
// has less than 18432 bytes of room.
int Tls_WriteRecord(TLS1 *session, uint8_t type, const void *data, int32_t length);
// Feeds a handshake message to the running hashes.
void Tls_UpdateHandshakeHash(TLS1 *session, const void *data, int32_t length);

// The PRF of version (below 0x33: P_MD5 xor P_SHA1 over the two halves;
// 0x33: P_hash over hash) of secret with label and seed, outLength bytes.
int Tls_PrfCompute(int32_t version, const HashInterface *hash, const void *secret,
                   int32_t secretLength, const char *label, const void *seed,
                   int32_t seedLength, void *out, int32_t outLength);
// The session's PRF: its negotiated version and suite's PRF hash; seed is the
// label text followed by the seed bytes.
int Tls_Prf(TLS1 *session, const void *secret, int32_t secretLength, const void *seed,
            int32_t seedLength, void *out, int32_t outLength);
// Master secret from premaster and the two randoms, then the key-log line.
int Tls_DeriveMasterSecret(TLS1 *session, const void *premaster, int32_t length);
// Key block from the master secret; direction 1 keys the write side, 0 the
// read side (and computes the expected server verify data).
int Tls_ActivateKeys(TLS1 *session, int direction);
// The handshake digest (of hash when given, else of the running hashes); with
// label, PRF(master secret, label, digest) of outSize bytes.
int Tls_HandshakeDigest(TLS1 *session, HashHandle *hash, const char *label, uint8_t *out,
                        int32_t outSize, int32_t *outLength);
// The key-log line for the session's client random and master secret, when a
// path is set and Authenticate_Enabled answers 0.
int Tls_WriteKeyLog(TLS1 *session);
// The NSS key-log line ("CLIENT_RANDOM <64 hex> <96 hex>\n") into out of at
// least 176 bytes; its length.
int32_t Tls_FormatKeyLogLine(const uint8_t clientRandom[32], const uint8_t masterSecret[48],
                             char *out);
// Wipes and frees the key block, the master secret and the MAC keys.
void Tls_WipeSecrets(TLS1 *session);

// Restarts the handshake hashes and forgets randoms, master secret, key
// block and partial messages; the server certificate stays for the
// renegotiation check.
void Tls_ClearHandshakeContext(TLS1 *session);

// The ClientHello of the session's first (or a renegotiating) handshake.
int Tls_SendClientHello(TLS1 *session, const char *serverName);
// The signature-and-hash pair of a client certificate's key for the last
// CertificateRequest: the first requested pair of the key's signature whose
// hash we can sign with (RSA: SHA-256, SHA-384, SHA-512; ECDSA: SHA-1 and
// SHA-2), else the hash that signed the certificate. 0 for a key of another
// kind or a type the server did not ask for.
int Tls_SelectClientSignature(TLS1 *session, PKCS12 *pkcs12, uint16_t *pair);
// The handshake messages of one record.
int Tls_ProcessHandshake(TLS1 *session, const uint8_t *data, int32_t length, int32_t *alert);
