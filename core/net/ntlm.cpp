// NTLM messages; see ntlm.h.
#include "core/net/ntlm.h"

#include <cstring>

#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/runtime/strw.h"
#include "core/security/des.h"
#include "core/security/hash.h"

namespace {

constexpr uint8_t kNtlmSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
constexpr int32_t kNtlmNegotiateHeaderBytes = 32;
constexpr int32_t kNtlmChallengeMinBytes = 32;
// The context and target information follow the challenge when at least
// this many bytes do; the version when at least the second count do.
constexpr int32_t kNtlmContextFollows = 16;
constexpr int32_t kNtlmVersionFollows = 24;
constexpr uint32_t kNtlmRequiredFlags = 0x88205;
// Of the challenge's flags, the authenticate message repeats Unicode, OEM,
// RequestTarget, NTLM and AlwaysSign.
constexpr uint32_t kNtlmEchoedFlags = 0x8205;
constexpr int32_t kNtlmNtHashBytes = 16;
constexpr int32_t kNtlmDumpLineBytes = 512;
constexpr int32_t kNtlmDumpFlagsBytes = 320;

struct NtlmFlagName {
  uint32_t bit;
  const char *name;
};

constexpr NtlmFlagName kNtlmFlagNames[] = {
    {0x1, "Unicode"},          {0x2, "OEM"},
    {0x4, "RequestTarget"},    {0x8, "Unknown1"},
    {0x10, "Sign"},            {0x20, "Seal"},
    {0x40, "DGRAM"},           {0x80, "LM"},
    {0x100, "Netware"},        {0x200, "NTLM"},
    {0x400, "Unknown2"},       {0x800, "Anonymous"},
    {0x1000, "Domain"},        {0x2000, "Workstation"},
    {0x4000, "Local"},         {0x8000, "AlwaysSign"},
    {0x10000, "TargetTypeDomain"}, {0x20000, "TargetTypeServer"},
    {0x40000, "TargetTypeShare"},  {0x80000, "ExtendedSecurty"},
    {0x100000, "RIR"},         {0x200000, "RAR"},
    {0x400000, "RNNSK"},       {0x800000, "TargetInfo"},
    {0x2000000, "Version"},    {0x20000000, "128"},
    {0x40000000, "KeyExchange"}, {0x80000000, "56"},
};

// Target information entries the dump names; others are skipped.
struct NtlmInfoName {
  uint16_t type;
  const char *label;
};

constexpr NtlmInfoName kNtlmInfoNames[] = {
    {1, "   Server name    : "},
    {2, "   Domain name    : "},
    {3, "   Full name      : "},
    {4, "   DNS domain name: "},
};
constexpr uint16_t kNtlmInfoEnd = 0;
constexpr uint16_t kNtlmInfoTimestamp = 7;

uint16_t ntlmRead16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }

uint32_t ntlmRead32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void ntlmWrite16(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

void ntlmWrite32(uint8_t *p, uint32_t v) {
  ntlmWrite16(p, v);
  ntlmWrite16(p + 2, v >> 16);
}

// A buffer field: length, maximum length (the same) and offset.
void ntlmWriteBuffer(uint8_t *field, uint32_t length, uint32_t offset) {
  ntlmWrite16(field, length);
  ntlmWrite16(field + 2, length);
  ntlmWrite32(field + 4, offset);
}

// A named buffer must lie inside the message unless it is empty.
int ntlmBufferInside(uint16_t length, uint32_t offset, int32_t messageLength) {
  if (length == 0) return 1;
  return offset < uint32_t(messageLength) && uint64_t(offset) + length <= uint64_t(messageLength);
}

// Strict UTF-8: what StrW_FromUtf8 would convert without stopping early or
// making up characters.
int ntlmIsUtf8(const char *text) {
  while (*text != '\0') {
    uint8_t lead = uint8_t(*text);
    if (lead >= 0x80 && (lead < 0xC2 || lead > 0xF4)) return 0;
    uint32_t codePoint = 0;
    int length = 0;
    if (!StrW_DecodeUtf8Sequence(text, &codePoint, &length) || codePoint > 0x10FFFF) return 0;
    text += length;
  }
  return 1;
}

// UTF-8 to UTF-16LE bytes; 0 when invalid or more than maxUnits units.
int ntlmToUtf16Le(const char *text, int32_t maxUnits, uint8_t *out, int32_t *bytes) {
  *bytes = 0;
  if (!ntlmIsUtf8(text)) return 0;
  char16_t units[kNtlmChallengeMaxBytes * 8];
  if (maxUnits + 1 > int32_t(sizeof units / sizeof units[0])) return 0;
  int truncated = 0;
  int count = StrW_FromUtf8(units, text, maxUnits + 1, &truncated);
  if (truncated) {
    explicit_bzero(units, sizeof units);
    return 0;
  }
  for (int i = 0; i < count; i++) ntlmWrite16(out + 2 * i, units[i]);
  *bytes = 2 * count;
  explicit_bzero(units, sizeof units);
  return 1;
}

// The UTF-16LE bytes of a message field as terminated text for "%!s".
void ntlmUtf16Text(const uint8_t *data, int32_t bytes, char16_t *out, int32_t units) {
  int32_t n = bytes / 2 < units - 1 ? bytes / 2 : units - 1;
  for (int32_t i = 0; i < n; i++) out[i] = char16_t(ntlmRead16(data + 2 * i));
  out[n] = 0;
}

void ntlmDumpLine(void *context, NtlmDumpSink sink, const char *format, ...) {
  char line[kNtlmDumpLineBytes];
  va_list args;
  va_start(args, format);
  Str_VPrintf(line, sizeof line, format, args);
  va_end(args);
  sink(context, line);
}

void ntlmDumpTargetInfo(const NtlmChallenge *c, void *context, NtlmDumpSink sink) {
  const uint8_t *p = c->message + c->targetInfoOffset;
  int32_t left = c->targetInfoLength;
  sink(context, "Target Info Block:\n");
  while (left >= 4) {
    uint16_t type = ntlmRead16(p);
    uint16_t length = ntlmRead16(p + 2);
    if (type == kNtlmInfoEnd) return;
    if (length > left - 4) break;
    const uint8_t *value = p + 4;
    for (const NtlmInfoName &n : kNtlmInfoNames)
      if (n.type == type) {
        char16_t text[kNtlmChallengeMaxBytes / 2 + 1];
        ntlmUtf16Text(value, length, text, int32_t(sizeof text / sizeof text[0]));
        ntlmDumpLine(context, sink, "%s[%!s]\n", n.label, text);
      }
    if (type == kNtlmInfoTimestamp && length == 8) {
      uint64_t stamp = uint64_t(ntlmRead32(value)) | uint64_t(ntlmRead32(value + 4)) << 32;
      ntlmDumpLine(context, sink, "   Timestamp      : %llu\n", (unsigned long long)stamp);
    }
    p += 4 + length;
    left -= 4 + length;
  }
  sink(context, "   Target info malformed\n");
}

}  // namespace

int NtlmState_Create(NtlmState **state) {
  if (state == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  auto *s = static_cast<NtlmState *>(Mem_Alloc(sizeof(NtlmState), 0, KSRC));
  memset(static_cast<void *>(s), 0, sizeof *s);
  s->header.classTag = kNtlmStateTag;
  s->header.refCount.store(1);
  *state = s;
  return 1;
}

void NtlmState_Release(NtlmState **state) {
  if (state == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  NtlmState *s = *state;
  if (s == nullptr) return;
  CLASS_CHECK(s, kNtlmStateTag);
  *state = nullptr;
  explicit_bzero(static_cast<void *>(s), sizeof *s);
  Mem_Free(s, sizeof *s, KSRC);
}

int Ntlm_BuildNegotiate(const char *domain, const char *workstation, uint8_t *out, int32_t size,
                        int32_t *length) {
  *length = 0;
  size_t domainBytes = strlen(domain);
  size_t workstationBytes = strlen(workstation);
  size_t total = kNtlmNegotiateHeaderBytes + domainBytes + workstationBytes;
  if (total > size_t(size) || total > 0xFFFF) return 0;
  memset(out, 0, kNtlmNegotiateHeaderBytes);
  memcpy(out, kNtlmSignature, sizeof kNtlmSignature);
  ntlmWrite32(out + 8, 1);
  uint32_t flags = kNtlmNegotiateFlags;
  if (domainBytes > 0) flags |= kNtlmFlagDomainSupplied;
  if (workstationBytes > 0) flags |= kNtlmFlagWorkstationSupplied;
  ntlmWrite32(out + 12, flags);
  uint32_t offset = kNtlmNegotiateHeaderBytes;
  ntlmWriteBuffer(out + 16, uint32_t(domainBytes), offset);
  memcpy(out + offset, domain, domainBytes);
  offset += uint32_t(domainBytes);
  ntlmWriteBuffer(out + 24, uint32_t(workstationBytes), offset);
  memcpy(out + offset, workstation, workstationBytes);
  *length = int32_t(total);
  return 1;
}

int Ntlm_ReadChallenge(NtlmState *state, const void *message, int32_t length) {
  CLASS_CHECK(state, kNtlmStateTag);
  state->haveChallenge = 0;
  if (length < kNtlmChallengeMinBytes || length > kNtlmChallengeMaxBytes) return 0;
  const auto *m = static_cast<const uint8_t *>(message);
  if (memcmp(m, kNtlmSignature, sizeof kNtlmSignature) != 0 || ntlmRead32(m + 8) != 2) return 0;
  NtlmChallenge c;
  memset(&c, 0, sizeof c);
  memcpy(c.message, m, size_t(length));
  c.length = length;
  c.targetNameLength = ntlmRead16(m + 12);
  c.targetNameOffset = ntlmRead32(m + 16);
  c.flags = ntlmRead32(m + 20);
  memcpy(c.serverChallenge, m + 24, kNtlmChallengeBytes);
  if (!ntlmBufferInside(c.targetNameLength, c.targetNameOffset, length)) return 0;
  if ((c.flags & kNtlmRequiredFlags) == 0) return 0;
  c.form = 1;
  int32_t following = length - kNtlmChallengeMinBytes;
  if (following >= kNtlmContextFollows) {
    c.form = 2;
    c.targetInfoLength = ntlmRead16(m + 40);
    c.targetInfoOffset = ntlmRead32(m + 44);
    if (!ntlmBufferInside(c.targetInfoLength, c.targetInfoOffset, length)) return 0;
  }
  if (following >= kNtlmVersionFollows) c.form = 3;
  state->challenge = c;
  state->haveChallenge = 1;
  return 1;
}

void Ntlm_DumpChallenge(NtlmState *state, void *context, NtlmDumpSink sink) {
  CLASS_CHECK(state, kNtlmStateTag);
  if (!state->haveChallenge) return;
  const NtlmChallenge *c = &state->challenge;
  sink(context, "NTLM Message\n");
  ntlmDumpLine(context, sink, "Protocol: %s\n", reinterpret_cast<const char *>(c->message));
  ntlmDumpLine(context, sink, "Type: %s (%d)\n", "Challenge", 2);
  ntlmDumpLine(context, sink, "Version: %d\n", c->form);
  // An empty target name may carry any offset; only a non-empty one was
  // checked against the message.
  char16_t name[kNtlmChallengeMaxBytes / 2 + 1] = {};
  if (c->targetNameLength > 0)
    ntlmUtf16Text(c->message + c->targetNameOffset, c->targetNameLength, name,
                  int32_t(sizeof name / sizeof name[0]));
  ntlmDumpLine(context, sink, "Target Name: %d %d, [%!s]\n", int32_t(c->targetNameLength),
               int32_t(c->targetNameOffset), name);
  char names[kNtlmDumpFlagsBytes] = "";
  for (const NtlmFlagName &f : kNtlmFlagNames)
    if (c->flags & f.bit) {
      if (names[0] != '\0') Str_Cat(names, ", ", sizeof names);
      Str_Cat(names, f.name, sizeof names);
    }
  ntlmDumpLine(context, sink, "Flags: %s (0x%08x)\n", names, c->flags);
  char hex[2 * kNtlmChallengeBytes + 1];
  Str_HexEncode(c->serverChallenge, kNtlmChallengeBytes, 1, hex, sizeof hex);
  ntlmDumpLine(context, sink, "Challenge: %s\n", hex);
  if (c->form < 2) return;
  Str_HexEncode(c->message + 32, 8, 1, hex, sizeof hex);
  ntlmDumpLine(context, sink, "Context: %s\n", hex);
  if (c->targetInfoLength > 0) ntlmDumpTargetInfo(c, context, sink);
}

int Ntlm_ComputeResponses(const char *password, const uint8_t *serverChallenge,
                          const uint8_t *clientChallenge, uint8_t *lmResponse,
                          uint8_t *ntResponse) {
  memset(lmResponse, 0, kNtlmResponseBytes);
  memset(ntResponse, 0, kNtlmResponseBytes);
  uint8_t unicode[2 * kNtlmPasswordUnits];
  int32_t unicodeBytes = 0;
  if (!ntlmToUtf16Le(password, kNtlmPasswordUnits, unicode, &unicodeBytes)) return 0;
  uint8_t key[kDesNtlmKeyBytes] = {};  // the NT hash and five zero bytes
  Hash_ComputeDigest(&kHashMd4, unicode, unicodeBytes, key, kNtlmNtHashBytes);
  uint8_t both[2 * kNtlmChallengeBytes];
  memcpy(both, serverChallenge, kNtlmChallengeBytes);
  memcpy(both + kNtlmChallengeBytes, clientChallenge, kNtlmChallengeBytes);
  uint8_t sessionHash[16];
  Hash_ComputeDigest(&kHashMd5, both, sizeof both, sessionHash, sizeof sessionHash);
  Des_NtlmResponse(key, sessionHash, ntResponse);
  memcpy(lmResponse, clientChallenge, kNtlmChallengeBytes);
  explicit_bzero(unicode, sizeof unicode);
  explicit_bzero(key, sizeof key);
  explicit_bzero(sessionHash, sizeof sessionHash);
  return 1;
}

int Ntlm_BuildAuthenticate(NtlmState *state, const char *user, const char *password,
                           const uint8_t *clientChallenge, uint8_t *out, int32_t size,
                           int32_t *length) {
  CLASS_CHECK(state, kNtlmStateTag);
  *length = 0;
  if (!state->haveChallenge) return 0;
  const NtlmChallenge *c = &state->challenge;
  uint8_t lm[kNtlmResponseBytes];
  uint8_t nt[kNtlmResponseBytes];
  if (!Ntlm_ComputeResponses(password, c->serverChallenge, clientChallenge, lm, nt)) return 0;
  int32_t userOffset = kNtlmAuthenticateHeaderBytes + 2 * kNtlmResponseBytes;
  int32_t userBytes = 0;
  int32_t userRoom = size - userOffset;
  if (userRoom < 0) return 0;
  if (c->flags & kNtlmFlagUnicode) {
    // A UTF-16 unit per UTF-8 byte at most: the text needs no more units.
    int32_t units = int32_t(strlen(user));
    if (2 * units > userRoom || units > 0x7FFF) return 0;
    if (!ntlmToUtf16Le(user, units, out + userOffset, &userBytes)) return 0;
  } else {
    userBytes = int32_t(strlen(user));
    if (userBytes > userRoom || userBytes > 0xFFFF) return 0;
    memcpy(out + userOffset, user, size_t(userBytes));
  }
  memset(out, 0, size_t(kNtlmAuthenticateHeaderBytes));
  memcpy(out, kNtlmSignature, sizeof kNtlmSignature);
  ntlmWrite32(out + 8, 3);
  uint32_t offset = kNtlmAuthenticateHeaderBytes;
  ntlmWriteBuffer(out + 12, kNtlmResponseBytes, offset);
  memcpy(out + offset, lm, sizeof lm);
  offset += kNtlmResponseBytes;
  ntlmWriteBuffer(out + 20, kNtlmResponseBytes, offset);
  memcpy(out + offset, nt, sizeof nt);
  offset += kNtlmResponseBytes;
  ntlmWriteBuffer(out + 28, 0, offset);  // no domain
  ntlmWriteBuffer(out + 36, uint32_t(userBytes), offset);
  offset += uint32_t(userBytes);
  ntlmWriteBuffer(out + 44, 0, offset);  // no workstation
  ntlmWriteBuffer(out + 52, 0, offset);  // no session key
  ntlmWrite32(out + 60, (c->flags & kNtlmEchoedFlags) | kNtlmFlagExtendedSecurity);
  *length = int32_t(offset);
  return 1;
}
