// HTTP authentication records; see webgetauth.h.
#include "core/net/webgetauth.h"

#include <cstring>

#include "core/formats/dictionary.h"
#include "core/net/challenge.h"
#include "core/net/ntlm.h"
#include "core/net/webget.h"
#include "core/platform/platform.h"
#include "core/runtime/base64.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/security/hash.h"

namespace {

constexpr int kDigestNonceBytes = 512;
constexpr int kDigestAlgorithmBytes = 32;
constexpr int kDigestQopBytes = 16;
constexpr int kDigestHexBytes = 33;  // MD5 as hex and the terminator
// The client nonce: 8 random bytes as 16 lower-case hex digits; room for a
// test's own.
constexpr int kDigestClientNonceBytes = 64;
constexpr int kDigestClientNonceRandomBytes = 8;
// Room for the message before Base64 in the 8,192-byte value, behind
// "Negotiate " and with the terminator.
constexpr int32_t kNtlmMessageBytes = (kWebGetAuthValueBytes - 11) / 4 * 3;

enum class AuthStep { Ready, Waiting, Failed };

struct DigestState {
  int32_t ready;  // a challenge was parsed and credentials are at hand
  char nonce[kDigestNonceBytes];
  char opaque[kDigestNonceBytes];
  int32_t hasOpaque;
  char algorithm[kDigestAlgorithmBytes];  // as the server wrote it; empty: none
  char qop[kDigestQopBytes];              // "auth", "auth-int" or empty
  char clientNonce[kDigestClientNonceBytes];
  uint32_t nonceCount;    // requests answered for this nonce
  char ha1[kDigestHexBytes];  // derived from the password
};

}  // namespace

struct WebGetAuth {
  ObjectHeader header;  // kWebGetAuthTag; tracked in the instance table
  NtlmState *ntlm;      // from the first NTLM answer to the next reset
  int32_t logFlag;
  uint32_t flags;
  int32_t counter;
  int32_t method;
  int32_t answered;  // credentials given and not used yet
  char host[kWebGetAuthTextBytes];
  char uri[kWebGetAuthUriBytes];
  char realm[kWebGetAuthTextBytes];
  char typedUser[kWebGetAuthTextBytes];
  char user[kWebGetAuthTextBytes];
  char password[kWebGetAuthTextBytes];
  char domain[kWebGetAuthTextBytes];
  char workstation[kWebGetAuthTextBytes];
  char value[kWebGetAuthValueBytes];
  char ntlmValue[kWebGetAuthValueBytes];
  char bodyHash[kDigestHexBytes];  // MD5 hex of the request body
  DigestState digest;
  char fixedClientNonce[kDigestClientNonceBytes];  // tests only
  int32_t hasFixedChallenge;                       // tests only
  uint8_t fixedChallenge[kNtlmChallengeBytes];
};

namespace {

WebGetAuth *authCheck(WebGetAuth *auth) {
  CLASS_CHECK(auth, kWebGetAuthTag);
  return auth;
}

void authWipe(void *data, size_t size) { explicit_bzero(data, size); }

void authSetBodyHash(WebGetAuth *auth, const void *data, int64_t length) {
  static const uint8_t kEmpty[1] = {0};
  Hash_ComputeDigestHex(&kHashMd5, length > 0 ? data : kEmpty, length > 0 ? length : 0,
                        auth->bodyHash, sizeof auth->bodyHash);
}

void authClear(WebGetAuth *auth) {
  NtlmState_Release(&auth->ntlm);
  authWipe(auth->user, sizeof auth->user);
  authWipe(auth->password, sizeof auth->password);
  authWipe(auth->domain, sizeof auth->domain);
  authWipe(auth->workstation, sizeof auth->workstation);
  authWipe(auth->value, sizeof auth->value);
  authWipe(auth->ntlmValue, sizeof auth->ntlmValue);
  authWipe(&auth->digest, sizeof auth->digest);
  auth->answered = 0;
  auth->counter = 0;
}

void authDestroy(void **object) {
  auto *auth = static_cast<WebGetAuth *>(*object);
  *object = nullptr;
  Challenge_Withdraw(auth->header.instanceId);
  Class_UntrackInstance(auth);
  authClear(auth);
  authWipe(auth, sizeof *auth);
  Mem_Free(auth, sizeof *auth, KSRC);
}

// The request Dictionary of this record's broker calls.
Dictionary *authRequestInfo(WebGetAuth *auth) {
  int proxy = (auth->flags & kWebGetAuthProxy) != 0;
  Dictionary *info = nullptr;
  Dictionary_Create(&info);
  Dictionary_SetStringByKey(info, "filter", proxy ? "webgetproxy" : "webgetserver");
  Dictionary_SetInt32ByKey(info, "type", proxy ? 1 : 0);
  Dictionary_SetStringByKey(info, "host", auth->host);
  Dictionary_SetStringByKey(info, "realm", auth->realm);
  return info;
}

// ---- Challenge parameters ----------------------------------------------------

// The value of parameter name (any case) in a comma-separated list of
// name=value pairs; a quoted value may hold quoted pairs ("\x" stands for x).
// Cut to size. 1 when the parameter is there.
int authGetParameter(const char *text, const char *name, char *out, int size) {
  out[0] = '\0';
  size_t nameLength = strlen(name);
  const char *p = text;
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t' || *p == ',') p++;
    const char *start = p;
    while (*p != '\0' && *p != '=' && *p != ',' && *p != ' ' && *p != '\t') p++;
    size_t length = size_t(p - start);
    while (*p == ' ' || *p == '\t') p++;
    int match = length == nameLength && Str_EqualNoCaseN(start, name, int(length));
    if (*p != '=') continue;  // a bare token: no value
    p++;
    while (*p == ' ' || *p == '\t') p++;
    int n = 0;
    if (*p == '"') {
      for (p++; *p != '\0' && *p != '"'; p++) {
        if (*p == '\\' && p[1] != '\0') p++;
        if (match && n < size - 1) out[n++] = *p;
      }
      if (*p == '"') p++;
    } else {
      for (; *p != '\0' && *p != ',' && *p != ' ' && *p != '\t'; p++)
        if (match && n < size - 1) out[n++] = *p;
    }
    if (match) {
      out[n] = '\0';
      return 1;
    }
  }
  return 0;
}

// Appends text as a quoted string, '"' and '\' written as quoted pairs.
void authAppendQuoted(StrBuf *buffer, const char *text) {
  StrBuf_Write(buffer, "\"", 1, nullptr);
  for (const char *p = text; *p != '\0'; p++) {
    if (*p == '"' || *p == '\\') StrBuf_Write(buffer, "\\", 1, nullptr);
    StrBuf_Write(buffer, p, 1, nullptr);
  }
  StrBuf_Write(buffer, "\"", 1, nullptr);
}

void authAppend(StrBuf *buffer, const char *text) {
  StrBuf_Write(buffer, text, int64_t(strlen(text)), nullptr);
}

// ---- Credentials -----------------------------------------------------------

void authSplitTypedUser(WebGetAuth *auth) {
  const char *separator = nullptr;
  Str_FindAnyOf(auth->typedUser, "/\\", &separator);
  if (separator == nullptr) {
    auth->domain[0] = '\0';
    Str_Set(auth->user, auth->typedUser);
    return;
  }
  Str_CopyN(auth->domain, sizeof auth->domain, auth->typedUser,
            int(separator - auth->typedUser));
  Str_Set(auth->user, separator + 1);
}

// ---- Basic -------------------------------------------------------------------

AuthStep authBasic(WebGetAuth *auth, const char *challenge) {
  authGetParameter(challenge, "realm", auth->realm, sizeof auth->realm);
  if (!WebGetAuth_GetCredentials(auth)) return AuthStep::Waiting;
  char pair[2 * kWebGetAuthTextBytes];
  Str_Printf(pair, sizeof pair, "%s:%s", auth->user, auth->password);
  Str_Set(auth->value, "Basic ");
  int64_t written = 0;
  int ok = Base64_Encode(pair, int64_t(strlen(pair)), auth->value + 6,
                         int64_t(sizeof auth->value) - 6, &written);
  authWipe(pair, sizeof pair);
  if (!ok) {
    auth->value[0] = '\0';
    return AuthStep::Failed;
  }
  auth->value[6 + written] = '\0';
  return AuthStep::Ready;
}

// ---- Digest ------------------------------------------------------------------

void authMd5Hex(const char *text, char *hex) {
  Hash_ComputeDigestHex(&kHashMd5, text, int64_t(strlen(text)), hex, kDigestHexBytes);
}

void authNewClientNonce(WebGetAuth *auth) {
  if (auth->fixedClientNonce[0] != '\0') {
    Str_Set(auth->digest.clientNonce, auth->fixedClientNonce);
    return;
  }
  uint8_t random[kDigestClientNonceRandomBytes];
  Platform_RandomBytes(random, sizeof random);
  Str_HexEncode(random, sizeof random, 1, auth->digest.clientNonce,
                sizeof auth->digest.clientNonce);
}

AuthStep authDigest(WebGetAuth *auth, const char *challenge) {
  DigestState *d = &auth->digest;
  char nonce[kDigestNonceBytes];
  char algorithm[kDigestAlgorithmBytes];
  char qop[kDigestNonceBytes];
  char stale[16];
  authGetParameter(challenge, "realm", auth->realm, sizeof auth->realm);
  authGetParameter(challenge, "nonce", nonce, sizeof nonce);
  authGetParameter(challenge, "algorithm", algorithm, sizeof algorithm);
  authGetParameter(challenge, "qop", qop, sizeof qop);
  int isStale = authGetParameter(challenge, "stale", stale, sizeof stale) &&
                Str_CompareNoCase(stale, "true") == 0;
  int sess = Str_CompareNoCase(algorithm, "MD5-sess") == 0;
  if (algorithm[0] != '\0' && !sess && Str_CompareNoCase(algorithm, "MD5") != 0) {
    Log_Print(LOG_WARNING, KSRC, 0, "Unsupported digest algorithm (%s) from %s\n", algorithm,
              auth->host);
    d->ready = 0;  // no answer to an earlier nonce either
    return AuthStep::Failed;
  }
  if (strcmp(nonce, d->nonce) != 0) d->nonceCount = 0;
  Str_Set(d->nonce, nonce);
  Str_Set(d->algorithm, algorithm);
  d->hasOpaque = authGetParameter(challenge, "opaque", d->opaque, sizeof d->opaque);
  if (qop[0] == '\0') d->qop[0] = '\0';
  else Str_Set(d->qop, Str_StartsWithNoCase(qop, "auth-int") ? "auth-int" : "auth");
  authNewClientNonce(auth);
  // Only the nonce aged: the credentials just used are still good.
  if (isStale) auth->counter = 0;
  int haveCredentials = isStale && d->ready;
  d->ready = 0;
  if (!haveCredentials && !WebGetAuth_GetCredentials(auth)) return AuthStep::Waiting;
  char text[3 * kWebGetAuthTextBytes + 2 * kDigestNonceBytes];
  Str_Printf(text, sizeof text, "%s:%s:%s", auth->user, auth->realm, auth->password);
  authMd5Hex(text, d->ha1);
  if (sess) {
    Str_Printf(text, sizeof text, "%s:%s:%s", d->ha1, d->nonce, d->clientNonce);
    authMd5Hex(text, d->ha1);
  }
  authWipe(text, sizeof text);
  d->ready = 1;
  return AuthStep::Ready;
}

// The answer for the request set last, with the next nonce count.
int authDigestValue(WebGetAuth *auth) {
  DigestState *d = &auth->digest;
  char ha2[kDigestHexBytes];
  char text[kWebGetAuthUriBytes + 2 * kDigestNonceBytes + 64];
  if (Str_CompareNoCase(d->qop, "auth-int") == 0)
    Str_Printf(text, sizeof text, "%S:%s:%s", WebGet_GetMethodName(auth->method), auth->uri,
               auth->bodyHash);
  else
    Str_Printf(text, sizeof text, "%S:%s", WebGet_GetMethodName(auth->method), auth->uri);
  authMd5Hex(text, ha2);
  char nc[9];
  char response[kDigestHexBytes];
  if (d->qop[0] != '\0') {
    d->nonceCount++;
    Str_Printf(nc, sizeof nc, "%08x", d->nonceCount);
    Str_Printf(text, sizeof text, "%s:%s:%s:%s:%s:%s", d->ha1, d->nonce, nc, d->clientNonce,
               d->qop, ha2);
  } else {
    Str_Printf(text, sizeof text, "%s:%s:%s", d->ha1, d->nonce, ha2);
  }
  authMd5Hex(text, response);
  StrBuf b;
  StrBuf_Init(&b, auth->value, sizeof auth->value);
  authAppend(&b, "Digest username=");
  authAppendQuoted(&b, auth->user);
  authAppend(&b, ", realm=");
  authAppendQuoted(&b, auth->realm);
  authAppend(&b, ", nonce=");
  authAppendQuoted(&b, d->nonce);
  authAppend(&b, ", uri=");
  authAppendQuoted(&b, auth->uri);
  if (d->algorithm[0] != '\0') {
    authAppend(&b, ", algorithm=");
    authAppend(&b, d->algorithm);
  }
  if (d->qop[0] != '\0') {
    authAppend(&b, ", qop=\"");
    authAppend(&b, d->qop);
    authAppend(&b, "\", nc=");
    authAppend(&b, nc);
    authAppend(&b, ", cnonce=");
    authAppendQuoted(&b, d->clientNonce);
  }
  authAppend(&b, ", response=\"");
  authAppend(&b, response);
  authAppend(&b, "\"");
  if (d->hasOpaque) {
    authAppend(&b, ", opaque=");
    authAppendQuoted(&b, d->opaque);
  }
  int fits = StrBuf_Finish(&b);
  if (!fits) auth->value[0] = '\0';
  return fits;
}

// ---- NTLM --------------------------------------------------------------------

void authNtlmDumpLine(void *, const char *line) { Log_Print(LOG_DEBUG, KSRC, 0, "%s", line); }

// The message Base64-encoded behind "<scheme> " into target.
int authNtlmEncode(const char *scheme, const uint8_t *message, int32_t length, char *target) {
  int prefix = Str_Printf(target, kWebGetAuthValueBytes, "%s ", scheme);
  int64_t written = 0;
  if (!Base64_Encode(message, length, target + prefix, kWebGetAuthValueBytes - prefix,
                     &written) ||
      prefix + written >= kWebGetAuthValueBytes) {
    target[0] = '\0';
    return 0;
  }
  target[prefix + written] = '\0';
  return 1;
}

AuthStep authNtlm(WebGetAuth *auth, const char *challenge, const char *scheme) {
  if (auth->ntlm == nullptr) NtlmState_Create(&auth->ntlm);
  uint8_t message[kNtlmMessageBytes];
  int32_t length = 0;
  if (uint8_t(challenge[0]) < ' ') {
    if (!WebGetAuth_GetCredentials(auth)) return AuthStep::Waiting;
    if (!Ntlm_BuildNegotiate(auth->domain, auth->workstation, message, sizeof message, &length) ||
        !authNtlmEncode(scheme, message, length, auth->value))
      return AuthStep::Failed;
    auth->ntlmValue[0] = '\0';
    return AuthStep::Ready;
  }
  uint8_t received[kNtlmChallengeMaxBytes + 8];
  int64_t receivedLength = 0;
  char encoded[kWebGetAuthValueBytes];
  // The token ends at a blank or at the next challenge of the line.
  Str_CopyN(encoded, sizeof encoded, challenge, int(strcspn(challenge, " \t,")));
  if (!Base64_Decode(encoded, received, sizeof received, &receivedLength) ||
      !Ntlm_ReadChallenge(auth->ntlm, received, int32_t(receivedLength))) {
    Log_Print(LOG_WARNING, KSRC, 0, "Invalid NTLM challenge message from %s\n", auth->host);
    return AuthStep::Failed;
  }
  if (auth->logFlag == 1) Ntlm_DumpChallenge(auth->ntlm, nullptr, authNtlmDumpLine);
  uint8_t clientChallenge[kNtlmChallengeBytes];
  if (auth->hasFixedChallenge) memcpy(clientChallenge, auth->fixedChallenge, sizeof clientChallenge);
  else Platform_RandomBytes(clientChallenge, sizeof clientChallenge);
  int ok = Ntlm_BuildAuthenticate(auth->ntlm, auth->user, auth->password, clientChallenge, message,
                                  sizeof message, &length) &&
           authNtlmEncode(scheme, message, length, auth->ntlmValue);
  authWipe(message, sizeof message);
  if (!ok) {
    Log_Print(LOG_WARNING, KSRC, 0, "Cannot build the NTLM answer for %s\n", auth->host);
    return AuthStep::Failed;
  }
  return AuthStep::Ready;
}

}  // namespace

int WebGetAuth_Create(WebGetAuth **auth) {
  if (auth == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  auto *a = static_cast<WebGetAuth *>(Mem_Alloc(sizeof(WebGetAuth), 0, KSRC));
  memset(static_cast<void *>(a), 0, sizeof *a);
  a->header.classTag = kWebGetAuthTag;
  a->header.refCount.store(1);
  a->header.destroy = authDestroy;
  Class_GenerateInstanceId(a);
  Class_TrackInstance(a, a);
  authSetBodyHash(a, nullptr, 0);
  *auth = a;
  return 1;
}

void WebGetAuth_Release(WebGetAuth **auth) {
  if (auth == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  if (*auth == nullptr) return;
  authCheck(*auth);
  Class_ReleaseObject(auth);
}

int WebGetAuth_SetProxy(WebGetAuth *auth, int proxy) {
  authCheck(auth);
  if (proxy) auth->flags |= kWebGetAuthProxy;
  else auth->flags &= ~kWebGetAuthProxy;
  return 1;
}

int WebGetAuth_SetHost(WebGetAuth *auth, const char *host) {
  authCheck(auth);
  if (Str_CompareNoCase(auth->host, host) != 0) authClear(auth);
  Str_Set(auth->host, host);
  return 1;
}

int WebGetAuth_Reset(WebGetAuth *auth) {
  authClear(authCheck(auth));
  return 1;
}

int WebGetAuth_SetCredentials(WebGetAuth *auth, const char *typedUserName, const char *password) {
  authCheck(auth);
  Str_Set(auth->typedUser, typedUserName);
  authWipe(auth->password, sizeof auth->password);
  Str_Set(auth->password, password);
  auth->answered = 1;
  return 1;
}

int WebGetAuth_SetMethod(WebGetAuth *auth, int32_t method) {
  authCheck(auth)->method = method;
  return 1;
}

int WebGetAuth_SetUri(WebGetAuth *auth, const char *uri) {
  Str_Set(authCheck(auth)->uri, uri);
  return 1;
}

int WebGetAuth_SetBody(WebGetAuth *auth, const void *data, int64_t length) {
  authSetBodyHash(authCheck(auth), data, data != nullptr ? length : 0);
  return 1;
}

int WebGetAuth_SetLogFlag(WebGetAuth *auth, int32_t flag) {
  authCheck(auth)->logFlag = flag;
  return 1;
}

uint32_t WebGetAuth_GetFlags(WebGetAuth *auth) { return authCheck(auth)->flags; }

int WebGetAuth_HasNtlmState(WebGetAuth *auth) { return authCheck(auth)->ntlm != nullptr; }

int WebGetAuth_GetCounter(WebGetAuth *auth, int32_t *value) {
  *value = authCheck(auth)->counter;
  return 1;
}

int WebGetAuth_SetNtlmValue(WebGetAuth *auth, const char *value) {
  Str_Set(authCheck(auth)->ntlmValue, value);
  return 1;
}

int WebGetAuth_GetValue(WebGetAuth *auth, char *out, int size) {
  authCheck(auth);
  out[0] = '\0';
  if (auth->ntlmValue[0] != '\0') {
    int fits = Str_Set(out, auth->ntlmValue, size);
    // The authenticate message authenticates the connection once; after it
    // the connection's requests carry nothing, not the negotiate message.
    authWipe(auth->ntlmValue, sizeof auth->ntlmValue);
    authWipe(auth->value, sizeof auth->value);
    if (!fits) {
      out[0] = '\0';
      return 0;
    }
    auth->counter++;
    return 1;
  }
  int complete = 0;
  if ((auth->flags & kWebGetAuthDigest) && auth->digest.ready) {
    if (!authDigestValue(auth)) return 0;
    complete = 1;
  } else if (auth->flags & kWebGetAuthBasic) {
    complete = 1;
  }
  if (auth->value[0] == '\0' || !Str_Set(out, auth->value, size)) {
    out[0] = '\0';
    return 0;
  }
  auth->counter += complete;
  return 1;
}

int WebGetAuth_ParseChallenge(WebGetAuth *auth, const char *responseHeaders, int32_t *code,
                              int32_t *codeEx) {
  authCheck(auth);
  *code = 0;
  *codeEx = 0;
  char line[kWebGetHeaderBlockBytes];
  const char *name = (auth->flags & kWebGetAuthProxy) ? "Proxy-Authenticate" : "WWW-Authenticate";
  if (!WebGet_GetHeaderValue(responseHeaders, name, line, sizeof line)) {
    *code = kWebGetErrorAuthHeaderNotFound;
    return 0;
  }
  struct Scheme {
    const char *name;
    uint32_t bit;
  };
  static constexpr Scheme kSchemes[] = {{"Basic", kWebGetAuthBasic},
                                        {"Digest", kWebGetAuthDigest},
                                        {"NTLM", kWebGetAuthNtlm},
                                        {"Negotiate", kWebGetAuthNegotiate}};
  const Scheme *scheme = nullptr;
  for (const Scheme &s : kSchemes)
    if (Str_StartsWithNoCase(line, s.name)) {
      scheme = &s;
      break;
    }
  if (scheme == nullptr) {
    Log_Print(LOG_WARNING, KSRC, 0, "Unsupported authentication scheme from %s\n", auth->host);
    *code = kWebGetErrorAuthNotSupported;
    return 0;
  }
  Log_Print(LOG_DEBUG, KSRC, 0, "Authentication scheme %s for %s\n", scheme->name, auth->host);
  auth->flags = (auth->flags & kWebGetAuthProxy) | scheme->bit;
  const char *rest = line + strlen(scheme->name);
  if (*rest == ' ') rest++;
  AuthStep step = AuthStep::Failed;
  if (scheme->bit == kWebGetAuthBasic) step = authBasic(auth, rest);
  else if (scheme->bit == kWebGetAuthDigest) step = authDigest(auth, rest);
  else step = authNtlm(auth, rest, scheme->name);
  authWipe(line, sizeof line);
  if (step == AuthStep::Failed) *code = kWebGetErrorAuthNotSupported;
  return step == AuthStep::Ready ? 1 : 0;
}

int WebGetAuth_GetCredentials(WebGetAuth *auth) {
  authCheck(auth);
  if (auth->answered) {
    auth->answered = 0;
    authSplitTypedUser(auth);
    return 1;
  }
  Dictionary *info = authRequestInfo(auth);
  Dictionary_SetStringByKey(info, "username", auth->typedUser);
  Dictionary_SetStringByKey(info, "password", auth->password);
  Challenge_PostRequest(info, auth->header.instanceId);
  Challenge_ReleaseInfo(&info);
  return 0;
}

int WebGetAuth_ReportFailure(WebGetAuth *auth) {
  authCheck(auth);
  Dictionary *info = authRequestInfo(auth);
  Challenge_MarkInvalid(info);
  Challenge_ReleaseInfo(&info);
  auth->counter = 0;
  return 1;
}

int WebGetAuth_SetClientNonce(WebGetAuth *auth, const char *cnonce) {
  Str_Set(authCheck(auth)->fixedClientNonce, cnonce != nullptr ? cnonce : "");
  return 1;
}

int WebGetAuth_SetClientChallenge(WebGetAuth *auth, const uint8_t *challenge8) {
  authCheck(auth);
  auth->hasFixedChallenge = challenge8 != nullptr;
  if (challenge8 != nullptr) memcpy(auth->fixedChallenge, challenge8, kNtlmChallengeBytes);
  return 1;
}
