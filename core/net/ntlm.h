// Ntlm: the NTLM messages of HTTP authentication (NTLMSSP): the negotiate
// message (Type 1), the reader of the server's challenge message (Type 2)
// with its log dump, and the authenticate message (Type 3) carrying the
// NTLM2 session response (NTLM version 1 with extended session security).
// All integers on the wire are little-endian.
//
// Invariants: (1) a challenge is kept only when every buffer it names lies
// inside the message and its flags carry one of the bits of 0x88205. (2) the
// dump reads target information only inside the message, entry by entry.
// (3) keys and hashes made from the password live on the stack of one call
// and are wiped before it returns.
//
// Threads: one thread at a time per state object; the builders keep no
// state of their own.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

constexpr uint32_t kNtlmStateTag = 0x7e6b0f61;
// The flags of every negotiate message: Unicode, RequestTarget, NTLM,
// AlwaysSign and ExtendedSessionSecurity.
constexpr uint32_t kNtlmNegotiateFlags = 0x00088205;
constexpr uint32_t kNtlmFlagUnicode = 0x1;
constexpr uint32_t kNtlmFlagDomainSupplied = 0x1000;
constexpr uint32_t kNtlmFlagWorkstationSupplied = 0x2000;
constexpr uint32_t kNtlmFlagExtendedSecurity = 0x80000;
// A challenge message is at most this long once decoded.
constexpr int32_t kNtlmChallengeMaxBytes = 512;
constexpr int32_t kNtlmChallengeBytes = 8;
constexpr int32_t kNtlmResponseBytes = 24;
constexpr int32_t kNtlmAuthenticateHeaderBytes = 64;
// A password longer than this many UTF-16 units is refused, not cut.
constexpr int32_t kNtlmPasswordUnits = 120;

// The parsed challenge message, kept while the authenticate message is built.
struct NtlmChallenge {
  uint8_t message[kNtlmChallengeMaxBytes];
  int32_t length;
  int32_t form;  // 1: challenge only; 2: with context and target information; 3: with version
  uint32_t flags;
  uint8_t serverChallenge[kNtlmChallengeBytes];
  uint16_t targetNameLength;
  uint32_t targetNameOffset;
  uint16_t targetInfoLength;
  uint32_t targetInfoOffset;
};

struct NtlmState {
  ObjectHeader header;  // kNtlmStateTag
  int32_t haveChallenge;
  NtlmChallenge challenge;
};

int NtlmState_Create(NtlmState **state);
void NtlmState_Release(NtlmState **state);

// The negotiate message for the domain and workstation (8-bit text, either
// may be empty) into out (size bytes). 1 with *length; 0 when it does not fit.
int Ntlm_BuildNegotiate(const char *domain, const char *workstation, uint8_t *out, int32_t size,
                        int32_t *length);
// Checks and keeps a challenge message of length bytes. 0 (nothing kept) for
// a message shorter than 32 bytes or longer than kNtlmChallengeMaxBytes,
// another signature or type, a buffer outside the message, or none of the
// flags of 0x88205.
int Ntlm_ReadChallenge(NtlmState *state, const void *message, int32_t length);
// Writes the kept challenge to sink, one line a call ("NTLM Message\n",
// "Protocol: ...", ...); target information entries are read only while
// they lie inside the message, and a list that runs out of it ends with
// "   Target info malformed\n".
typedef void (*NtlmDumpSink)(void *context, const char *line);
void Ntlm_DumpChallenge(NtlmState *state, void *context, NtlmDumpSink sink);
// The LM response (client challenge and 16 zero bytes) and the NTLM2 session
// NT response for the UTF-8 password. 0 (responses zeroed) when the password
// is not valid UTF-8 or has more than kNtlmPasswordUnits UTF-16 units.
int Ntlm_ComputeResponses(const char *password, const uint8_t *serverChallenge,
                          const uint8_t *clientChallenge, uint8_t *lmResponse,
                          uint8_t *ntResponse);
// The authenticate message for the kept challenge into out (size bytes): the
// user name in UTF-16LE when the challenge offers Unicode, else as given.
// 1 with *length; 0 without a kept challenge, for a password
// Ntlm_ComputeResponses refuses, a user name that is not valid UTF-8 (when
// Unicode), or a message that does not fit.
int Ntlm_BuildAuthenticate(NtlmState *state, const char *user, const char *password,
                           const uint8_t *clientChallenge, uint8_t *out, int32_t size,
                           int32_t *length);
