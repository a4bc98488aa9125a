// The page's script bridge over loopback HTTP; see pagebridge.h.
#include "skin/pagebridge.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "core/bridge/interop.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/net/webserv.h"
#include "core/platform/file.h"
#include "core/platform/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/security/cryptsymmetric.h"
#include "skin/pagechannel.h"
#include "skin/staticfiles.h"

enum class TicketState { None, Live, Traded, Expired };

struct PageBridge {
  ObjectHeader header;  // the class tag for the checks
  char token[kPageBridgeTokenTextBytes];
  char ticket[kPageBridgeTokenTextBytes];  // zeroed unless Live
  TicketState ticketState;
  double ticketDeadline;  // Platform_GetTickSeconds() past which it is void
  PageChannel *channel;  // owned
  StaticFiles *files;    // borrowed; NULL: no static files
  const char *noPage;    // borrowed; the index's text without static files, or NULL
  Json *json;            // reads the calls and writes the answers
  Dictionary *request;   // the parsed body
  Dictionary *answer;    // the answer's tree
  MemoryStream *output;  // the script bridge's answer of an invoke
  // Refused trades not yet told: the first one's reason (NULL: told), the
  // count after it and the last one's reason, since noticeStart (0: none).
  const char *noticeFirst;
  const char *noticeLast;
  int32_t noticeCount;
  double noticeStart;
};

namespace {

constexpr const char kInstancesPrefix[] = "/instances/";
constexpr const char kTokenHeader[] = "X-Keelson-Token";
// The one call made without the token: it trades the ticket for it.
constexpr const char kSessionCall[] = "session";
// The bridge cuts method names to this many bytes before hashing them.
constexpr int64_t kMethodNameHashBytes = kInteropMethodNameBytes - 1;
constexpr int32_t kDiscardBytes = 16 * 1024;

// One request on a connection; reset when the next request's header arrives.
struct BridgeRequest {
  bool instances = false;  // under "/instances/"
  int32_t refusal = 0;     // a status decided from the header alone, or 0
  bool overflow = false;   // the body passed kPageBridgeMaxBodyBytes
  std::string body;
  std::string answer;
  size_t sent = 0;
  StaticFile file;  // a static file being answered
};

PageBridge *pageBridgeOf(PageBridge *bridge) {
  CHECK_POINTER(bridge);
  CLASS_CHECK(bridge, kPageBridgeTag);
  return bridge;
}

BridgeRequest *bridgeRequestOf(WebServer *server, WebServerConnection *connection) {
  void *data = nullptr;
  WebServer_GetConnectionData(server, connection, &data);
  if (data == nullptr) {
    data = new BridgeRequest;
    WebServer_SetConnectionData(server, connection, data);
  }
  return static_cast<BridgeRequest *>(data);
}

// ---- The checks on a call's header ---------------------------------------------------

// The media type of a Content-Type value, without parameters, is
// "application/json".
bool bridgeIsJsonType(const char *value) {
  size_t length = strcspn(value, ";");
  while (length > 0 && (value[length - 1] == ' ' || value[length - 1] == '\t')) length--;
  return length == strlen("application/json") &&
         Str_EqualNoCaseN(value, "application/json", int(length));
}

// text is the secret of the given size (its text, size - 1 hex digits),
// compared in constant time.
bool bridgeSameSecret(const char *text, size_t length, const char *secret) {
  return length == size_t(kPageBridgeTokenTextBytes - 1) &&
         Crypt_ConstantTimeEqual(text, secret, kPageBridgeTokenTextBytes - 1);
}

// The reason a call's header is refused (403), or NULL when it may proceed.
const char *bridgeRefusal(PageBridge *bridge, WebServer *server, WebServerConnection *c) {
  if (strcmp(WebServer_GetRequestMethod(server, c), "POST") != 0) return "not a POST";
  char type[128];
  if (!WebServer_GetRequestHeader(server, c, "Content-Type", type, int(sizeof type)) ||
      !bridgeIsJsonType(type))
    return "not JSON";
  // The trade carries the ticket in its body instead, checked when it runs.
  if (strcmp(WebServer_GetRequestPath(server, c) + strlen(kInstancesPrefix), kSessionCall) == 0)
    return nullptr;
  // Room for one byte more than a token, so a longer value never matches.
  char token[kPageBridgeTokenTextBytes + 1];
  if (!WebServer_GetRequestHeader(server, c, kTokenHeader, token, int(sizeof token)))
    return "no token";
  bool same = bridgeSameSecret(token, strlen(token), bridge->token);
  memset(token, 0, sizeof token);
  return same ? nullptr : "wrong token";
}

// ---- Answers -------------------------------------------------------------------------

// An empty answer object in the answer tree.
Dictionary *bridgeAnswerBegin(PageBridge *bridge) {
  Dictionary_Clear(bridge->answer);
  Dictionary *object = nullptr;
  Dictionary_AddDictionary(bridge->answer, nullptr, &object, nullptr);
  return object;
}

void bridgeAnswerEnd(PageBridge *bridge, std::string *out) {
  Json_SetDictionary(bridge->json, bridge->answer);
  int32_t length = 0;
  Json_GetWriteLength(bridge->json, &length);
  out->assign(size_t(length) + 1, '\0');
  int32_t written = 0;
  Json_WriteMemory(bridge->json, &(*out)[0], length + 1, &written);
  out->resize(size_t(written));
  Dictionary_Clear(bridge->answer);
}

void bridgeAnswerBoolean(PageBridge *bridge, int value, std::string *out) {
  Dictionary_SetBooleanByKey(bridgeAnswerBegin(bridge), "returnValue", value != 0);
  bridgeAnswerEnd(bridge, out);
}

// A String argument of the call; false when it is missing or of another type.
bool bridgeText(Dictionary *args, const char *key, const char **text, int32_t *length) {
  DictionaryType type = kDictionaryTypeUnknown;
  if (!Dictionary_GetTypeByKey(args, key, &type) || type != kDictionaryTypeString) return false;
  int32_t ignored = 0;
  return Dictionary_GetTextByKey(args, key, text, length != nullptr ? length : &ignored) &&
         *text != nullptr;
}

// ---- The calls: each answers an HTTP status and fills out ------------------------

int32_t callCreateInstance(PageBridge *bridge, Dictionary *args, std::string *out) {
  const char *className = nullptr;
  const char *given = nullptr;
  int32_t givenLength = 0;
  if (!bridgeText(args, "className", &className, nullptr)) return 400;
  char id[kPageBridgeIdBytes] = "";
  if (bridgeText(args, "instanceId", &given, &givenLength)) {
    if (givenLength >= kPageBridgeIdBytes) return 400;
    memcpy(id, given, size_t(givenLength) + 1);
  }
  int made = Interop_CreateInstance(className, id, kPageBridgeIdBytes, bridge->channel,
                                    bridge->channel);
  Dictionary *object = bridgeAnswerBegin(bridge);
  Dictionary_SetBooleanByKey(object, "returnValue", made);
  Dictionary_SetStringByKey(object, "instanceId", made ? id : "");
  bridgeAnswerEnd(bridge, out);
  return 200;
}

int32_t callHasInstance(PageBridge *bridge, Dictionary *args, std::string *out) {
  const char *id = nullptr;
  if (!bridgeText(args, "instanceId", &id, nullptr)) return 400;
  InteropInstance *instance = nullptr;
  int found = Interop_FindInstance(id, &instance);
  if (found) Interop_ReleaseInstanceRef(&instance);
  bridgeAnswerBoolean(bridge, found, out);
  return 200;
}

int32_t callReleaseInstance(PageBridge *bridge, Dictionary *args, std::string *out) {
  const char *id = nullptr;
  if (!bridgeText(args, "instanceId", &id, nullptr)) return 400;
  bridgeAnswerBoolean(bridge, Interop_ReleaseInstance(id), out);
  return 200;
}

int32_t callInvoke(PageBridge *bridge, Dictionary *args, std::string *out) {
  const char *id = nullptr;
  const char *binding = nullptr;
  if (!bridgeText(args, "instanceId", &id, nullptr) ||
      !bridgeText(args, "methodBinding", &binding, nullptr))
    return 400;
  // The page reads the bridge's document as it is; empty when the call
  // failed without writing one.
  Interop_Invoke(id, binding, bridge->output);
  int32_t length = MemoryStream_GetLength(bridge->output);
  uint8_t *bytes = nullptr;
  out->clear();
  if (length > 0 && MemoryStream_GetBuffer(bridge->output, 0, &bytes)) {
    out->assign(reinterpret_cast<const char *>(bytes), size_t(length));
    MemoryStream_ReleaseBuffer(bridge->output, &bytes);
  }
  MemoryStream_Empty(bridge->output);
  return 200;
}

int32_t callHash(PageBridge *bridge, Dictionary *args, std::string *out) {
  const char *text = nullptr;
  int32_t length = 0;
  if (!bridgeText(args, "text", &text, &length)) return 400;
  Dictionary_SetInt64ByKey(bridgeAnswerBegin(bridge), "returnValue",
                           int64_t(PageBridge_HashMethodName(text, length)));
  bridgeAnswerEnd(bridge, out);
  return 200;
}

// Every batch the channel holds, oldest first, each the JSON array the
// script bridge built; the page polls for them.
int32_t callCallbacks(PageBridge *bridge, Dictionary *, std::string *out) {
  *out = "{\"batches\":[";
  bool first = true;
  int64_t length = 0;
  for (const char *text; (text = PageChannel_Peek(bridge->channel, &length)) != nullptr;
       PageChannel_Pop(bridge->channel)) {
    if (!first) *out += ',';
    out->append(text, size_t(length));
    first = false;
  }
  char tail[64];
  snprintf(tail, sizeof tail, "],\"dropped\":%lld}",
           static_cast<long long>(PageChannel_GetDroppedCount(bridge->channel)));
  *out += tail;
  return 200;
}

// The reason a trade of ticket is refused, or NULL when it may go ahead.
const char *bridgeTicketRefusal(PageBridge *bridge, const char *ticket, int32_t length) {
  if (bridge->ticketState == TicketState::Live &&
      Platform_GetTickSeconds() > bridge->ticketDeadline) {
    memset(bridge->ticket, 0, sizeof bridge->ticket);
    bridge->ticketState = TicketState::Expired;
  }
  switch (bridge->ticketState) {
    case TicketState::None: return "no ticket was issued";
    case TicketState::Traded: return "the ticket was traded already";
    case TicketState::Expired: return "the ticket expired";
    case TicketState::Live: break;
  }
  return bridgeSameSecret(ticket, size_t(length), bridge->ticket) ? nullptr : "wrong ticket";
}

// The page's first call: its ticket for the token, once.
int32_t callSession(PageBridge *bridge, Dictionary *args, std::string *out) {
  const char *ticket = nullptr;
  int32_t length = 0;
  if (!bridgeText(args, "ticket", &ticket, &length)) return 400;
  if (const char *reason = bridgeTicketRefusal(bridge, ticket, length)) {
    Log_Print(LOG_WARNING, KSRC, 0, "Page bridge refused a session (%s)\n", reason);
    if (bridge->noticeStart == 0) {
      bridge->noticeFirst = reason;
      bridge->noticeStart = Platform_GetTickSeconds();
    } else {
      bridge->noticeLast = reason;
      bridge->noticeCount++;
    }
    return 403;
  }
  memset(bridge->ticket, 0, sizeof bridge->ticket);
  bridge->ticketState = TicketState::Traded;
  Dictionary_SetStringByKey(bridgeAnswerBegin(bridge), "token", bridge->token);
  bridgeAnswerEnd(bridge, out);
  Log_Print(LOG_INFO, KSRC, 0, "Page bridge traded its ticket for a session\n");
  return 200;
}

struct BridgeCall {
  const char *name;
  int32_t (*call)(PageBridge *bridge, Dictionary *args, std::string *out);
};

constexpr BridgeCall kBridgeCalls[] = {
    {"createInstance", callCreateInstance}, {"hasInstance", callHasInstance},
    {"releaseInstance", callReleaseInstance}, {"invoke", callInvoke},
    {"hash", callHash}, {"callbacks", callCallbacks}, {kSessionCall, callSession},
};

const BridgeCall *bridgeFindCall(const char *name) {
  for (const BridgeCall &call : kBridgeCalls)
    if (strcmp(call.name, name) == 0) return &call;
  return nullptr;
}

// ---- A strict reading of a body ------------------------------------------------
// The JSON reader is lenient (it shrugs off stray commas and reads the first
// value of "{...} garbage"); a call's body must be exactly one object. These
// walk JSON's grammar without building anything; each takes the value at
// *at and moves past it, or answers false.

struct StrictJson {
  const char *at;
  const char *end;
  int depth;  // open containers, at most as many as the reader takes
};

void strictSpace(StrictJson *j) {
  while (j->at < j->end && (*j->at == ' ' || *j->at == '\t' || *j->at == '\n' || *j->at == '\r'))
    j->at++;
}

bool strictTake(StrictJson *j, char ch) {
  if (j->at >= j->end || *j->at != ch) return false;
  j->at++;
  return true;
}

bool strictDigits(StrictJson *j) {
  const char *from = j->at;
  while (j->at < j->end && *j->at >= '0' && *j->at <= '9') j->at++;
  return j->at > from;
}

bool strictHex(char ch) {
  return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

// The four hex digits of a "\\u" escape behind *at; -1 when they are not.
int32_t strictEscapeUnit(StrictJson *j) {
  int32_t unit = 0;
  for (int i = 0; i < 4; i++, j->at++) {
    if (j->at >= j->end || !strictHex(*j->at)) return -1;
    char ch = *j->at;
    unit = unit * 16 + (ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10);
  }
  return unit;
}

// A code point as UTF-8 onto out.
void strictAppendUtf8(std::string *out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(char(cp));
  } else if (cp < 0x800) {
    out->push_back(char(0xC0 | (cp >> 6)));
    out->push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(char(0xE0 | (cp >> 12)));
    out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(char(0xF0 | (cp >> 18)));
    out->push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(char(0x80 | (cp & 0x3F)));
  }
}

// After "\\u": one code point, a surrogate pair taken whole. A high
// surrogate not followed by an escaped low one, or a low one alone, is not
// text: false.
bool strictUnicodeEscape(StrictJson *j, uint32_t *cp) {
  int32_t unit = strictEscapeUnit(j);
  if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return false;
  if (unit < 0xD800 || unit > 0xDBFF) {
    *cp = uint32_t(unit);
    return true;
  }
  if (!strictTake(j, '\\') || !strictTake(j, 'u')) return false;
  int32_t low = strictEscapeUnit(j);
  if (low < 0xDC00 || low > 0xDFFF) return false;
  *cp = 0x10000 + ((uint32_t(unit) - 0xD800) << 10) + (uint32_t(low) - 0xDC00);
  return true;
}

// The length of the well-formed UTF-8 sequence at p (lead byte 0x80 or
// above), or 0: no overlong form, no encoded surrogate, nothing above
// U+10FFFF, no sequence cut by the end.
size_t strictUtf8Length(const unsigned char *p, const unsigned char *end) {
  unsigned char lead = p[0];
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  else return 0;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (size_t(end - p) < length || p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < length; i++)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return length;
}

// A string; its text, escapes resolved, onto text when given.
bool strictString(StrictJson *j, std::string *text = nullptr) {
  if (!strictTake(j, '"')) return false;
  while (j->at < j->end) {
    unsigned char ch = static_cast<unsigned char>(*j->at);
    if (ch >= 0x80) {
      size_t length = strictUtf8Length(reinterpret_cast<const unsigned char *>(j->at),
                                       reinterpret_cast<const unsigned char *>(j->end));
      if (length == 0) return false;
      if (text != nullptr) text->append(j->at, length);
      j->at += length;
      continue;
    }
    j->at++;
    if (ch == '"') return true;
    if (ch < 0x20) return false;
    if (ch != '\\') {
      if (text != nullptr) text->push_back(char(ch));
      continue;
    }
    if (j->at >= j->end) return false;
    char escape = *j->at++;
    uint32_t cp = 0;
    static constexpr char kEscapes[] = "\"\\/bfnrt";
    static constexpr char kMeanings[] = "\"\\/\b\f\n\r\t";
    const char *named = escape != '\0' ? strchr(kEscapes, escape) : nullptr;
    if (escape == 'u') {
      if (!strictUnicodeEscape(j, &cp)) return false;
    } else if (named != nullptr) {
      cp = uint32_t(kMeanings[named - kEscapes]);
    } else {
      return false;
    }
    if (text != nullptr) strictAppendUtf8(text, cp);
  }
  return false;
}

bool strictNumber(StrictJson *j) {
  strictTake(j, '-');
  if (!strictTake(j, '0') && !strictDigits(j)) return false;
  if (strictTake(j, '.') && !strictDigits(j)) return false;
  if (strictTake(j, 'e') || strictTake(j, 'E')) {
    if (!strictTake(j, '+')) strictTake(j, '-');
    if (!strictDigits(j)) return false;
  }
  return true;
}

bool strictWord(StrictJson *j, const char *word) {
  size_t length = strlen(word);
  if (size_t(j->end - j->at) < length || memcmp(j->at, word, length) != 0) return false;
  j->at += length;
  return true;
}

bool strictValue(StrictJson *j);

// The members of an object (isObject) or the items of an array after its
// opening bracket, through the closing one: no comma before it.
bool strictContainer(StrictJson *j, bool isObject) {
  if (++j->depth >= kJsonMaxLevels) return false;
  char close = isObject ? '}' : ']';
  strictSpace(j);
  bool empty = strictTake(j, close);
  // The reader keeps the first of two equal keys; a body that names one
  // twice means two things, so it is refused (keys compared as text, after
  // their escapes).
  std::set<std::string> keys;
  while (!empty) {
    if (isObject) {
      std::string key;
      if (!strictString(j, &key) || !keys.insert(std::move(key)).second) return false;
      strictSpace(j);
      if (!strictTake(j, ':')) return false;
    }
    if (!strictValue(j)) return false;
    strictSpace(j);
    if (strictTake(j, close)) break;
    if (!strictTake(j, ',')) return false;
    strictSpace(j);
  }
  j->depth--;
  return true;
}

bool strictValue(StrictJson *j) {
  strictSpace(j);
  if (j->at >= j->end) return false;
  switch (*j->at) {
    case '{': j->at++; return strictContainer(j, true);
    case '[': j->at++; return strictContainer(j, false);
    case '"': return strictString(j);
    case 't': return strictWord(j, "true");
    case 'f': return strictWord(j, "false");
    case 'n': return strictWord(j, "null");
    default: return strictNumber(j);
  }
}

// The body is one JSON object with nothing but white space around it.
bool bridgeIsOneObject(const std::string &body) {
  StrictJson j{body.data(), body.data() + body.size(), 0};
  strictSpace(&j);
  if (j.at >= j.end || *j.at != '{' || !strictValue(&j)) return false;
  strictSpace(&j);
  return j.at == j.end;
}

// The body as one JSON object, or NULL.
Dictionary *bridgeParseBody(PageBridge *bridge, const std::string &body) {
  if (!bridgeIsOneObject(body)) return nullptr;
  Json_SetDictionary(bridge->json, bridge->request);
  Dictionary *object = nullptr;
  int32_t count = 0;
  if (body.empty() || !Json_ParseMemory(bridge->json, body.data(), int32_t(body.size())) ||
      !Dictionary_GetCount(bridge->request, &count) || count != 1 ||
      !Dictionary_GetDictionaryByIndex(bridge->request, 0, &object))
    return nullptr;
  return object;
}

// The status of a call that passed the header checks; fills answer.
int32_t bridgeRoute(PageBridge *bridge, WebServer *server, WebServerConnection *c,
                    BridgeRequest *r) {
  if (r->overflow) return 400;
  const BridgeCall *call =
      bridgeFindCall(WebServer_GetRequestPath(server, c) + strlen(kInstancesPrefix));
  if (call == nullptr) return 404;
  Dictionary *args = bridgeParseBody(bridge, r->body);
  int32_t status = args != nullptr ? call->call(bridge, args, &r->answer) : 400;
  Dictionary_Clear(bridge->request);
  if (status != 200) r->answer.clear();
  return status;
}

// ---- The server's cells --------------------------------------------------------------

int onRequest(WebServer *server, void *context, WebServerConnection *c) {
  auto *bridge = static_cast<PageBridge *>(context);
  BridgeRequest *r = bridgeRequestOf(server, c);
  StaticFiles_CloseFile(&r->file);
  *r = BridgeRequest{};
  const char *path = WebServer_GetRequestPath(server, c);
  r->instances = strncmp(path, kInstancesPrefix, strlen(kInstancesPrefix)) == 0;
  if (!r->instances) return 1;
  if (const char *reason = bridgeRefusal(bridge, server, c)) {
    Log_Print(LOG_WARNING, KSRC, 0, "Page bridge refused %s %s (%s)\n",
              WebServer_GetRequestMethod(server, c), path, reason);
    r->refusal = 403;
  }
  return 1;
}

int onPost(WebServer *server, void *, WebServerConnection *c, int32_t available) {
  BridgeRequest *r = bridgeRequestOf(server, c);
  char scratch[kDiscardBytes];
  while (available > 0) {
    bool keep = r->instances && r->refusal == 0 && !r->overflow;
    if (keep && int64_t(r->body.size()) + available > kPageBridgeMaxBodyBytes) {
      r->overflow = true;
      r->body.clear();
      keep = false;
    }
    int32_t want = keep ? available : (available < kDiscardBytes ? available : kDiscardBytes);
    char *into = scratch;
    if (keep) {
      size_t at = r->body.size();
      r->body.resize(at + size_t(want));
      into = &r->body[at];
    }
    int32_t read = 0;
    if (!WebServer_Read(server, c, into, want, &read)) read = 0;
    if (keep) r->body.resize(r->body.size() - size_t(want - read));
    if (read <= 0) break;
    available -= read;
  }
  return 1;
}

int onResponse(WebServer *server, void *context, WebServerConnection *c) {
  auto *bridge = static_cast<PageBridge *>(context);
  BridgeRequest *r = bridgeRequestOf(server, c);
  if (!r->instances) {
    if (bridge->files != nullptr) return StaticFiles_Respond(bridge->files, server, c, &r->file);
    WebServer_SetResponseHeader(server, c, "X-Content-Type-Options", "nosniff");
    // "/" reaches here as the default document's path.
    const char *path = WebServer_GetRequestPath(server, c);
    if (bridge->noPage != nullptr && path[0] == '/' && strcmp(path + 1, kStaticFilesIndex) == 0) {
      r->answer = bridge->noPage;
      WebServer_SetResponseHeader(server, c, "Cache-Control", "no-store");
      WebServer_SetResponseHeader(server, c, "Content-Type", "text/plain; charset=utf-8");
      WebServer_SetResponse(server, c, 404, int64_t(r->answer.size()));
      return 1;
    }
    WebServer_SetResponse(server, c, 404, 0);
    return 0;
  }
  WebServer_SetResponseHeader(server, c, "Cache-Control", "no-store");
  WebServer_SetResponseHeader(server, c, "X-Content-Type-Options", "nosniff");
  WebServer_SetResponseHeader(server, c, "Content-Type", "application/json");
  int32_t status = r->refusal != 0 ? r->refusal : bridgeRoute(bridge, server, c, r);
  r->body.clear();
  WebServer_SetResponse(server, c, status, int64_t(r->answer.size()));
  return r->answer.empty() ? 0 : 1;
}

int onWrite(WebServer *server, void *, WebServerConnection *c, int32_t space) {
  BridgeRequest *r = bridgeRequestOf(server, c);
  if (r->file.fd >= 0) {
    int more = StaticFiles_Write(server, c, &r->file, space);
    if (!more) StaticFiles_CloseFile(&r->file);
    return more;
  }
  size_t left = r->answer.size() - r->sent;
  int32_t take = left < size_t(space) ? int32_t(left) : space;
  int32_t written = 0;
  if (take > 0 && !WebServer_Write(server, c, r->answer.data() + r->sent, take, &written))
    return 0;
  r->sent += size_t(written);
  return r->sent < r->answer.size() ? 1 : 0;
}

int onClose(WebServer *server, void *, WebServerConnection *c) {
  void *data = nullptr;
  WebServer_GetConnectionData(server, c, &data);
  auto *r = static_cast<BridgeRequest *>(data);
  if (r == nullptr) return 1;
  StaticFiles_CloseFile(&r->file);
  delete r;
  WebServer_SetConnectionData(server, c, nullptr);
  return 1;
}

}  // namespace

int PageBridge_Create(PageBridge **bridge) {
  CHECK_POINTER(bridge);
  *bridge = nullptr;
  auto *made = static_cast<PageBridge *>(MEM_ALLOC(sizeof(PageBridge), MEM_ZEROED));
  made->header.classTag = kPageBridgeTag;
  made->header.refCount.store(1);
  uint8_t random[kPageBridgeTokenBytes];
  Platform_RandomBytes(random, sizeof random);
  Str_HexEncode(random, sizeof random, 1, made->token, sizeof made->token);
  memset(random, 0, sizeof random);
  PageChannel_Create(&made->channel);
  Json_Create(&made->json);
  Dictionary_Create(&made->request);
  Dictionary_Create(&made->answer);
  MemoryStream_Create(&made->output);
  MemoryStream_EnableGrowth(made->output);
  *bridge = made;
  return 1;
}

int PageBridge_Release(PageBridge **bridge) {
  CHECK_POINTER(bridge);
  PageBridge *b = *bridge;
  *bridge = nullptr;
  if (b == nullptr) return 1;
  pageBridgeOf(b);
  MemoryStream_Release(&b->output);
  Dictionary_Release(&b->answer);
  Dictionary_Release(&b->request);
  Json_Release(&b->json);
  PageChannel_Release(&b->channel);
  memset(b->token, 0, sizeof b->token);
  memset(b->ticket, 0, sizeof b->ticket);
  b->header.classTag = 0;
  MEM_FREE(b, sizeof(PageBridge));
  return 1;
}

int PageBridge_IssueTicket(PageBridge *bridge, double seconds, char *ticket, int size) {
  PageBridge *b = pageBridgeOf(bridge);
  CHECK_POINTER(ticket);
  if (size < kPageBridgeTokenTextBytes) Core_Abort(KSRC, "Ticket buffer too small\n");
  uint8_t random[kPageBridgeTokenBytes];
  Platform_RandomBytes(random, sizeof random);
  Str_HexEncode(random, sizeof random, 1, b->ticket, sizeof b->ticket);
  memset(random, 0, sizeof random);
  b->ticketState = TicketState::Live;
  b->ticketDeadline = Platform_GetTickSeconds() + seconds;
  memcpy(ticket, b->ticket, sizeof b->ticket);
  return 1;
}

PageChannel *PageBridge_GetChannel(PageBridge *bridge) { return pageBridgeOf(bridge)->channel; }

int PageBridge_TakeNotice(PageBridge *bridge, double seconds, int flush, char *out, int size) {
  CLASS_CHECK(bridge, kPageBridgeTag);
  CHECK_POINTER(out);
  if (bridge->noticeFirst != nullptr) {
    Str_Printf(out, size, "refused the page's ticket trade: %s", bridge->noticeFirst);
    bridge->noticeFirst = nullptr;
    return 1;
  }
  double now = Platform_GetTickSeconds();
  if (bridge->noticeStart == 0 || (!flush && now - bridge->noticeStart < seconds)) return 0;
  int told = bridge->noticeCount > 0;
  if (told)
    Str_Printf(out, size, "refused %d more ticket trades in %.0f s (the last: %s)",
               bridge->noticeCount, now - bridge->noticeStart, bridge->noticeLast);
  bridge->noticeStart = 0;
  bridge->noticeCount = 0;
  return told;
}

int PageBridge_SetStaticFiles(PageBridge *bridge, StaticFiles *files) {
  pageBridgeOf(bridge)->files = files;
  return 1;
}

int PageBridge_SetNoPageText(PageBridge *bridge, const char *text) {
  pageBridgeOf(bridge)->noPage = text;
  return 1;
}

int PageBridge_Attach(PageBridge *bridge, WebServer *server) {
  pageBridgeOf(bridge);
  WebServer_SetRequestCallback(server, bridge, onRequest);
  WebServer_SetPostCallback(server, bridge, onPost);
  WebServer_SetResponseCallback(server, bridge, onResponse);
  WebServer_SetWriteCallback(server, bridge, onWrite);
  WebServer_SetCloseCallback(server, bridge, onClose);
  return 1;
}

uint32_t PageBridge_HashMethodName(const char *text, int64_t length) {
  CHECK_POINTER(text);
  if (length > kMethodNameHashBytes) length = kMethodNameHashBytes;
  return uint32_t(crc32(0, reinterpret_cast<const Bytef *>(text), uInt(length)));
}
