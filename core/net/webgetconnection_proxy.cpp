// The proxy list of a connection: the process-wide resolver's answer for a
// URL ("PROXY h:p; DIRECT"), kept as one String item per entry, and the
// cursor that the Lookup phase moves on after each failed try. See
// webgetconnection.h.
#include <cstdarg>
#include <cstring>

#include "core/formats/dictionary.h"
#include "core/net/webgetconnection.h"
#include "core/runtime/log.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

#define CONNECTION_CHECK(c) CLASS_CHECK((c), kWebGetConnectionTag)

namespace {

// The resolver writes at most this much for one URL.
constexpr int kProxyAnswerBytes = 512;
// The longest host:port that "http://%s/" still fits into an answer.
constexpr int kProxyHostBytes = kProxyAnswerBytes - 9;

enum class ProxyKind { Proxy, Direct, Socks, Unsupported };

void proxyListLog(void *context, const char *format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  Str_VPrintf(line, int(sizeof line), format, args);
  va_end(args);
  WebGetConnection_Log(static_cast<WebGetConnection *>(context), "%s", line);
}

Dictionary *proxyList(WebGetConnection *c) {
  if (c->proxyList == nullptr) {
    Dictionary_Create(&c->proxyList);
    Dictionary_SetAllowDuplicates(c->proxyList, 1);
    Dictionary_SetLogHook(c->proxyList, c, proxyListLog);
  }
  return c->proxyList;
}

int32_t proxyCount(WebGetConnection *c) {
  int32_t count = 0;
  if (c->proxyList != nullptr) Dictionary_GetCount(c->proxyList, &count);
  return count;
}

DictionaryItem *proxyNextItem(WebGetConnection *c, DictionaryItem *item) {
  DictionaryItem *next = nullptr;
  if (item == nullptr) Dictionary_GetFirstItem(c->proxyList, &next);
  else Dictionary_GetNextItem(c->proxyList, item, &next);
  return next;
}

// What an entry asks for; host gets its host:port (empty for DIRECT). The
// value is its first word: a host:port never holds a blank. A value that
// would change the shape of "http://%s/" (a path, user information, a
// query) is no host:port.
ProxyKind proxyClassify(WebGetConnection *c, DictionaryItem *item, char *host, int size) {
  const char *word = nullptr, *value = nullptr;
  Dictionary_GetItemKey(c->proxyList, item, &word);
  Dictionary_GetItemStringPointer(c->proxyList, item, &value);
  if (word == nullptr) word = "";
  if (value == nullptr) value = "";
  host[0] = '\0';
  int length = int(strcspn(value, " \t\r\n"));
  bool hasValue = length > 0;
  if (Str_CompareNoCase(word, "DIRECT") == 0) return ProxyKind::Direct;
  if (Str_CompareNoCase(word, "SOCKS") == 0 || Str_CompareNoCase(word, "SOCKS4") == 0 ||
      Str_CompareNoCase(word, "SOCKS5") == 0)
    return ProxyKind::Socks;
  // A lone word is taken as the proxy's host:port; any other typed entry
  // ("HTTPS h:443") is not ours to guess at.
  const char *authority = word;
  if (Str_CompareNoCase(word, "PROXY") == 0) {
    if (!hasValue) return ProxyKind::Unsupported;
    authority = value;
  } else if (hasValue) {
    return ProxyKind::Unsupported;
  } else {
    length = int(strlen(word));
  }
  if (length == 0 || length >= size) return ProxyKind::Unsupported;
  for (int i = 0; i < length; i++) {
    unsigned char ch = static_cast<unsigned char>(authority[i]);
    if (ch <= ' ' || ch == 0x7F || strchr("/\\@?#%", ch) != nullptr) return ProxyKind::Unsupported;
  }
  Str_CopyN(host, size, authority, length);
  return ProxyKind::Proxy;
}

// The first entry after item (NULL: from the start) that gives an answer.
DictionaryItem *proxyNextUsable(WebGetConnection *c, DictionaryItem *item) {
  char host[kProxyHostBytes];
  for (item = proxyNextItem(c, item); item != nullptr; item = proxyNextItem(c, item))
    if (proxyClassify(c, item, host, int(sizeof host)) != ProxyKind::Unsupported) return item;
  return nullptr;
}

// Asks the resolver for url's list. 1 when a list was built; 0 while it is
// still working (*pending 1) or when it had no answer.
int proxyFill(WebGetConnection *c, const char *url, int *pending) {
  WebGetProxyGetHook getProxy = nullptr;
  WebGetConnection_GetProxyHooks(&getProxy, nullptr);
  if (getProxy == nullptr) return 0;
  char text[kProxyAnswerBytes] = "";
  int working = 0;
  int ok = getProxy(url, text, int(sizeof text), c->proxyLoopback, &working);
  if (working) {
    *pending = 1;
    return 0;
  }
  if (!ok) return 0;
  text[sizeof text - 1] = '\0';
  Dictionary *list = proxyList(c);
  // An empty answer is a direct connection, kept like any list, so that the
  // next request for the URL does not ask again.
  Dictionary_ParseKeyValueText(list, text, int32_t(strlen(text)), ' ', ';');
  if (proxyCount(c) == 0) Dictionary_AddString(list, "DIRECT", "", nullptr);
  Str_Copy(c->proxyListUrl, url, int(sizeof c->proxyListUrl));
  WebGetConnection_Log(c, "Proxy list retrieved");
  if (c->forcedLog || Class_LogEnabled(&c->log, LOG_DEBUG)) Dictionary_Dump(list, 1);
  return 1;
}

}  // namespace

int WebGetConnection_NextProxy(WebGetConnection *connection, const char *url, char *out,
                               int outSize, int *pending) {
  CONNECTION_CHECK(connection);
  CHECK_POINTER(url);
  CHECK_POINTER(pending);
  WebGetConnection *c = connection;
  *pending = 0;
  if (out != nullptr) {
    if (outSize < 1) Core_Abort(KSRC, "Pointer is NULL\n");
    out[0] = '\0';
    if (c->proxyOverride[0] != '\0') {
      Str_Printf(out, outSize, "http://%s/", c->proxyOverride);
      return 1;
    }
  }
  if (Str_CompareNoCase(url, c->proxyListUrl) != 0) {
    WebGetConnection_ClearProxyList(c);
  } else if (out != nullptr && c->proxyAnswered) {
    Str_Copy(out, c->proxyAnswer, outSize);
    return 1;
  }
  if (proxyCount(c) == 0 && !proxyFill(c, url, pending)) return 0;
  DictionaryItem *item = c->proxyListDone ? nullptr : proxyNextUsable(c, c->proxyCursor);
  if (out == nullptr) return item != nullptr ? 1 : 0;
  // Entries passed over on the way are each reported once, here.
  for (DictionaryItem *skipped = proxyNextItem(c, c->proxyCursor);
       skipped != nullptr && skipped != item; skipped = proxyNextItem(c, skipped)) {
    const char *word = nullptr;
    Dictionary_GetItemKey(c->proxyList, skipped, &word);
    Log_Print(LOG_WARNING, KSRC, 0, "Unsupported proxy type (%s)\n", word ? word : "");
  }
  c->proxyCursor = item;
  c->proxyAnswered = 0;
  if (item == nullptr) {
    c->proxyListDone = 1;
    return 0;
  }
  char host[kProxyHostBytes];
  switch (proxyClassify(c, item, host, int(sizeof host))) {
    case ProxyKind::Proxy:
      Str_Printf(c->proxyAnswer, int(sizeof c->proxyAnswer), "http://%s/", host);
      WebGetConnection_Log(c, "Next proxy %s", c->proxyAnswer);
      break;
    case ProxyKind::Socks: {
      const char *word = nullptr;
      Dictionary_GetItemKey(c->proxyList, item, &word);
      Log_Print(LOG_WARNING, KSRC, 0, "Unsupported proxy type (%s)\n", word ? word : "");
      c->proxyAnswer[0] = '\0';
      WebGetConnection_Log(c, "Next proxy is DIRECT");
      break;
    }
    default:
      c->proxyAnswer[0] = '\0';
      WebGetConnection_Log(c, "Next proxy is DIRECT");
      break;
  }
  c->proxyAnswered = 1;
  Str_Copy(out, c->proxyAnswer, outSize);
  return 1;
}

int WebGetConnection_HasNextProxy(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  c->proxyAnswered = 0;
  // The override is the only choice while it is set, and no list is walked
  // while proxies are not allowed.
  if (!c->allowProxy || c->proxyOverride[0] != '\0' || proxyCount(c) == 0 || c->proxyListDone)
    return 0;
  return proxyNextUsable(c, c->proxyCursor) != nullptr ? 1 : 0;
}

int WebGetConnection_ClearProxyList(WebGetConnection *connection) {
  CONNECTION_CHECK(connection);
  WebGetConnection *c = connection;
  int held = proxyCount(c) > 0 ? 1 : 0;
  if (c->proxyList != nullptr) Dictionary_Clear(c->proxyList);
  c->proxyCursor = nullptr;
  c->proxyListDone = 0;
  c->proxyAnswered = 0;
  c->proxyAnswer[0] = '\0';
  c->proxyListUrl[0] = '\0';
  return held;
}
