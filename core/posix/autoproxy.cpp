// AutoProxy: proxy auto-configuration scripts on the embedded Duktape
// engine; see autoproxy.h and core/platform/platform.h.
#include "core/posix/autoproxy.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/net/socket.h"
#include "core/net/url.h"
#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "duktape.h"

namespace {

constexpr int kDefaultBudgetMs = 5000;
constexpr size_t kDefaultHeapBytes = 64u << 20;
constexpr int kErrorNameNotResolved = 12007;
constexpr int kErrorBadScript = 12166;
constexpr int kErrorInsufficientBuffer = 122;
constexpr int kHostBytes = 320;
constexpr int kAddressTextBytes = 48;

std::atomic<double (*)(void)> gClock{nullptr};
std::atomic<int> gBudgetMs{kDefaultBudgetMs};
std::atomic<size_t> gHeapBytes{kDefaultHeapBytes};

// The standard helpers of proxy auto-configuration scripts. Name services
// call the native functions that each heap gets (__isResolvable,
// __dnsResolve, __myIpAddress, __isInNet), shExpMatch the native pattern
// matcher (__shellMatch: a script engine's loop is too slow for the long
// lists of patterns that real scripts hold); the time helpers read __now()
// (milliseconds since 1970).
constexpr const char kPacHelpers[] = R"JS(
function isPlainHostName(host) {
  return String(host).indexOf('.') < 0;
}
function dnsDomainIs(host, domain) {
  host = String(host); domain = String(domain);
  return host.length >= domain.length &&
         host.substring(host.length - domain.length) === domain;
}
function localHostOrDomainIs(host, hostdom) {
  host = String(host); hostdom = String(hostdom);
  if (host === hostdom) return true;
  return host.indexOf('.') < 0 && hostdom.substring(0, host.length + 1) === host + '.';
}
function isResolvable(host) {
  return __isResolvable(String(host));
}
function dnsResolve(host) {
  return __dnsResolve(String(host));
}
function myIpAddress() {
  return __myIpAddress();
}
function isInNet(host, pattern, mask) {
  host = String(host);
  var address = /^\d{1,3}(\.\d{1,3}){3}$/.test(host) ? host : __dnsResolve(host);
  if (address === null) return false;
  return __isInNet(address, String(pattern), String(mask));
}
function dnsDomainLevels(host) {
  var levels = 0;
  host = String(host);
  for (var i = 0; i < host.length; i++) if (host.charAt(i) === '.') levels++;
  return levels;
}
function shExpMatch(text, pattern) {
  return __shellMatch(String(text), String(pattern));
}
var __days = ['SUN', 'MON', 'TUE', 'WED', 'THU', 'FRI', 'SAT'];
var __months = ['JAN', 'FEB', 'MAR', 'APR', 'MAY', 'JUN',
                'JUL', 'AUG', 'SEP', 'OCT', 'NOV', 'DEC'];
// The arguments without a trailing "GMT", and the date to compare with.
function __clock(args) {
  var list = Array.prototype.slice.call(args);
  var gmt = list.length > 0 && list[list.length - 1] === 'GMT';
  if (gmt) list.pop();
  var now = new Date(__now());
  var at = gmt ? {
    day: now.getUTCDate(), month: now.getUTCMonth(), year: now.getUTCFullYear(),
    weekday: now.getUTCDay(), seconds: now.getUTCHours() * 3600 + now.getUTCMinutes() * 60 +
                                      now.getUTCSeconds()
  } : {
    day: now.getDate(), month: now.getMonth(), year: now.getFullYear(),
    weekday: now.getDay(), seconds: now.getHours() * 3600 + now.getMinutes() * 60 +
                                    now.getSeconds()
  };
  return { list: list, at: at };
}
// low <= value <= high, or outside (high, low) when the range wraps.
function __within(value, low, high) {
  return low <= high ? low <= value && value <= high : value >= low || value <= high;
}
function weekdayRange() {
  var c = __clock(arguments);
  if (c.list.length < 1 || c.list.length > 2) return false;
  var first = __days.indexOf(String(c.list[0]));
  var last = c.list.length === 2 ? __days.indexOf(String(c.list[1])) : first;
  if (first < 0 || last < 0) return false;
  return __within(c.at.weekday, first, last);
}
function timeRange() {
  var c = __clock(arguments), v = c.list, now = c.at.seconds;
  for (var i = 0; i < v.length; i++) v[i] = Number(v[i]);
  if (v.length === 1) return Math.floor(now / 3600) === v[0];
  if (v.length === 2) {
    var hour = Math.floor(now / 3600);
    return v[0] <= v[1] ? v[0] <= hour && hour < v[1] : hour >= v[0] || hour < v[1];
  }
  var start, end;
  if (v.length === 4) {
    start = v[0] * 3600 + v[1] * 60; end = v[2] * 3600 + v[3] * 60 + 59;
  } else if (v.length === 6) {
    start = v[0] * 3600 + v[1] * 60 + v[2]; end = v[3] * 3600 + v[4] * 60 + v[5];
  } else {
    return false;
  }
  return __within(now, start, end);
}
function dateRange() {
  var c = __clock(arguments), v = c.list, at = c.at;
  // Each argument is a day (1-31), a month name or a year (above 31).
  function kind(x) {
    if (__months.indexOf(String(x)) >= 0) return 'month';
    var n = Number(x);
    if (isNaN(n)) return null;
    return n > 31 ? 'year' : 'day';
  }
  function value(x, k) {
    return k === 'month' ? __months.indexOf(String(x)) : Number(x);
  }
  if (v.length === 0 || v.length > 6) return false;
  var single = v.length === 1, half = single ? 1 : v.length / 2;
  if (!single && v.length % 2 !== 0) return false;
  var kinds = [];
  for (var i = 0; i < half; i++) {
    var k = kind(v[i]);
    if (k === null || (!single && kind(v[i + half]) !== k)) return false;
    kinds.push(k);
  }
  // A key ordering year, month, day over the fields the arguments name.
  function key(get) {
    var total = 0;
    for (var i = 0; i < kinds.length; i++) {
      var scale = kinds[i] === 'year' ? 10000 : kinds[i] === 'month' ? 100 : 1;
      total += get(i, kinds[i]) * scale;
    }
    return total;
  }
  var now = key(function (i, k) { return at[k]; });
  var low = key(function (i, k) { return value(v[i], k); });
  if (single) return now === low;
  var high = key(function (i, k) { return value(v[i + half], k); });
  return __within(now, low, high);
}
function alert(message) {
}
)JS";

// The helpers' bytecode, compiled once.
std::once_flag gHelpersOnce;
std::vector<unsigned char> gHelpersBytecode;

// One evaluation's heap accounting and deadline; the heap's user data.
struct AutoProxyHeap {
  double deadline;  // tick seconds
  size_t used;
  size_t cap;
  bool timedOut;
  bool overCap;
};

// The evaluation running on this thread (NULL outside one): the engine's
// checks inside built-ins reach its deadline through it.
thread_local AutoProxyHeap *tHeap = nullptr;
// Those checks come often (each backtracking step of a regular expression):
// the clock is read once in so many.
constexpr unsigned kNativeChecksPerClockRead = 256;
thread_local unsigned tNativeChecks = 0;

// Past the deadline, or not; remembered, so that every later check says so
// until the evaluation has unwound.
bool autoproxyPastDeadline(AutoProxyHeap *heap) {
  if (!heap->timedOut && Platform_GetTickSeconds() > heap->deadline) heap->timedOut = true;
  return heap->timedOut;
}

// Each block carries its size in front of it.
constexpr size_t kBlockHeader = 16;

void *autoproxyAlloc(void *userData, duk_size_t size) {
  auto *heap = static_cast<AutoProxyHeap *>(userData);
  if (size == 0) return nullptr;
  if (heap->used + size > heap->cap) {
    heap->overCap = true;
    return nullptr;
  }
  auto *block = static_cast<unsigned char *>(malloc(size + kBlockHeader));
  if (block == nullptr) return nullptr;
  memcpy(block, &size, sizeof size);
  heap->used += size;
  return block + kBlockHeader;
}

void autoproxyFree(void *userData, void *pointer) {
  if (pointer == nullptr) return;
  auto *heap = static_cast<AutoProxyHeap *>(userData);
  unsigned char *block = static_cast<unsigned char *>(pointer) - kBlockHeader;
  size_t size;
  memcpy(&size, block, sizeof size);
  heap->used -= size;
  free(block);
}

void *autoproxyRealloc(void *userData, void *pointer, duk_size_t size) {
  if (pointer == nullptr) return autoproxyAlloc(userData, size);
  if (size == 0) {
    autoproxyFree(userData, pointer);
    return nullptr;
  }
  auto *heap = static_cast<AutoProxyHeap *>(userData);
  unsigned char *block = static_cast<unsigned char *>(pointer) - kBlockHeader;
  size_t old;
  memcpy(&old, block, sizeof old);
  if (size > old && heap->used + (size - old) > heap->cap) {
    heap->overCap = true;
    return nullptr;
  }
  auto *grown = static_cast<unsigned char *>(realloc(block, size + kBlockHeader));
  if (grown == nullptr) return nullptr;
  memcpy(grown, &size, sizeof size);
  heap->used = heap->used - old + size;
  return grown + kBlockHeader;
}

[[noreturn]] void autoproxyFatal(void *, const char *message) {
  Core_Abort(KSRC, "Proxy script engine failure: %s\n", message ? message : "");
}

double autoproxyNowMs() {
  double (*clock)(void) = gClock.load();
  return (clock ? clock() : Platform_GetWallSeconds()) * 1000.0;
}

// ---- Native functions of each heap ----------------------------------------

duk_ret_t autoproxyNativeIsResolvable(duk_context *ctx) {
  duk_push_boolean(ctx, Platform_AutoProxyIsResolvable(duk_safe_to_string(ctx, 0)));
  return 1;
}

duk_ret_t autoproxyNativeDnsResolve(duk_context *ctx) {
  char address[kAddressTextBytes];
  uint32_t size = sizeof address;
  if (Platform_AutoProxyResolveHostName(duk_safe_to_string(ctx, 0), address, &size) == 0)
    duk_push_string(ctx, address);
  else
    duk_push_null(ctx);
  return 1;
}

duk_ret_t autoproxyNativeMyIpAddress(duk_context *ctx) {
  char address[kAddressTextBytes];
  uint32_t size = sizeof address;
  duk_push_string(ctx, Platform_AutoProxyGetIPAddress(address, &size) == 0 ? address : "127.0.0.1");
  return 1;
}

duk_ret_t autoproxyNativeIsInNet(duk_context *ctx) {
  std::string address = duk_safe_to_string(ctx, 0), network = duk_safe_to_string(ctx, 1);
  duk_push_boolean(
      ctx, Platform_AutoProxyIsInNet(address.c_str(), network.c_str(), duk_safe_to_string(ctx, 2)));
  return 1;
}

// One character of UTF-8 text: its length in bytes.
size_t autoproxyCharLength(const char *text) {
  size_t length = 1;
  while ((static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) length++;
  return length;
}

// The whole of text against a shell pattern: '*' any run, '?' one
// character, anything else itself. A mismatch after a '*' retries one
// character further on from that '*'.
bool autoproxyShellMatch(const char *text, const char *pattern) {
  const char *star = nullptr, *mark = nullptr;
  while (*text) {
    if (*pattern == '*') {
      star = pattern++;
      mark = text;
    } else if (*pattern == '?' && *pattern) {
      text += autoproxyCharLength(text);
      pattern++;
    } else if (*pattern && *pattern == *text) {
      text++;
      pattern++;
    } else if (star != nullptr) {
      // Each retry costs up to the pattern's length: a long one is stopped in time.
      if (AutoProxy_NativeTimeout()) return false;
      pattern = star + 1;
      mark += autoproxyCharLength(mark);
      text = mark;
    } else {
      return false;
    }
  }
  while (*pattern == '*') pattern++;
  return *pattern == '\0';
}

duk_ret_t autoproxyNativeShellMatch(duk_context *ctx) {
  bool match = false;
  {
    std::string text = duk_safe_to_string(ctx, 0);
    match = autoproxyShellMatch(text.c_str(), duk_safe_to_string(ctx, 1));
  }
  // The engine's errors unwind by longjmp: nothing with a destructor is left.
  if (AutoProxy_NativeTimeout()) return duk_error(ctx, DUK_ERR_RANGE_ERROR, "execution timeout");
  duk_push_boolean(ctx, match);
  return 1;
}

duk_ret_t autoproxyNativeNow(duk_context *ctx) {
  duk_push_number(ctx, autoproxyNowMs());
  return 1;
}

// Compiles the helpers in a scratch heap and keeps their bytecode.
void autoproxyCompileHelpers() {
  duk_context *ctx = duk_create_heap(nullptr, nullptr, nullptr, nullptr, autoproxyFatal);
  if (ctx == nullptr) return;
  duk_push_string(ctx, "pac_helpers.js");
  if (duk_pcompile_lstring_filename(ctx, 0, kPacHelpers, sizeof kPacHelpers - 1) == 0) {
    duk_dump_function(ctx);
    duk_size_t size = 0;
    auto *data = static_cast<unsigned char *>(duk_get_buffer(ctx, -1, &size));
    gHelpersBytecode.assign(data, data + size);
  } else {
    Log_Print(LOG_ERROR, KSRC, 0, "Proxy script helpers do not compile: %s\n",
              duk_safe_to_string(ctx, -1));
  }
  duk_destroy_heap(ctx);
}

// The last script's bytecode: resolvers evaluate one script for many URLs,
// and compiling a long script costs far more than running it.
std::mutex gScriptMutex;
std::string gScriptText;
std::vector<unsigned char> gScriptBytecode;

// Pushes a copy of bytecode and loads it as a function.
void autoproxyLoad(duk_context *ctx, const std::vector<unsigned char> &bytecode) {
  void *buffer = duk_push_fixed_buffer(ctx, bytecode.size());
  memcpy(buffer, bytecode.data(), bytecode.size());
  duk_load_function(ctx);
}

// Pushes the script's program function: from the cached bytecode of the
// same text, else compiled here and cached.
void autoproxyPushScript(duk_context *ctx, const ProxyScriptRequest *request) {
  std::string_view text(request->script, size_t(request->scriptLength));
  std::vector<unsigned char> cached;
  {
    std::lock_guard<std::mutex> lock(gScriptMutex);
    if (gScriptText == text) cached = gScriptBytecode;
  }
  if (!cached.empty()) {
    autoproxyLoad(ctx, cached);
    return;
  }
  duk_push_string(ctx, "proxy.pac");
  duk_compile_lstring_filename(ctx, 0, request->script, duk_size_t(request->scriptLength));
  duk_dup(ctx, -1);
  duk_dump_function(ctx);
  duk_size_t size = 0;
  auto *data = static_cast<unsigned char *>(duk_get_buffer(ctx, -1, &size));
  {
    std::lock_guard<std::mutex> lock(gScriptMutex);
    gScriptText.assign(text);
    gScriptBytecode.assign(data, data + size);
  }
  duk_pop(ctx);
}

struct AutoProxyRun {
  const ProxyScriptRequest *request;
  const char *host;
};

// Runs protected on the heap: natives, helpers, script, then
// FindProxyForURL(url, host), whose answer is the one value returned.
duk_ret_t autoproxyRun(duk_context *ctx, void *userData) {
  const auto *run = static_cast<const AutoProxyRun *>(userData);
  static constexpr struct {
    const char *name;
    duk_c_function function;
    duk_idx_t arguments;
  } kNatives[] = {{"__isResolvable", autoproxyNativeIsResolvable, 1},
                  {"__dnsResolve", autoproxyNativeDnsResolve, 1},
                  {"__myIpAddress", autoproxyNativeMyIpAddress, 0},
                  {"__isInNet", autoproxyNativeIsInNet, 3},
                  {"__shellMatch", autoproxyNativeShellMatch, 2},
                  {"__now", autoproxyNativeNow, 0}};
  for (const auto &native : kNatives) {
    duk_push_c_function(ctx, native.function, native.arguments);
    duk_put_global_string(ctx, native.name);
  }
  autoproxyLoad(ctx, gHelpersBytecode);
  duk_call(ctx, 0);
  duk_pop(ctx);
  autoproxyPushScript(ctx, run->request);
  duk_call(ctx, 0);
  duk_pop(ctx);
  if (!duk_get_global_string(ctx, "FindProxyForURL") || !duk_is_function(ctx, -1))
    return duk_error(ctx, DUK_ERR_REFERENCE_ERROR, "FindProxyForURL is not defined");
  duk_push_string(ctx, run->request->url);
  duk_push_string(ctx, run->host);
  duk_call(ctx, 2);
  if (!duk_is_string(ctx, -1))
    return duk_error(ctx, DUK_ERR_TYPE_ERROR, "FindProxyForURL did not answer a text");
  return 1;
}

}  // namespace

extern "C" duk_bool_t AutoProxy_ExecTimeout(void *heapUserData) {
  auto *heap = static_cast<AutoProxyHeap *>(heapUserData);
  return heap != nullptr && autoproxyPastDeadline(heap);
}

extern "C" duk_bool_t AutoProxy_NativeTimeout(void) {
  AutoProxyHeap *heap = tHeap;
  if (heap == nullptr) return 0;
  if (heap->timedOut) return 1;
  return ++tNativeChecks % kNativeChecksPerClockRead == 0 && autoproxyPastDeadline(heap);
}

void AutoProxy_SetClockForTest(double (*now)(void)) { gClock.store(now); }

void AutoProxy_SetLimitsForTest(int budgetMs, size_t heapBytes) {
  gBudgetMs.store(budgetMs > 0 ? budgetMs : kDefaultBudgetMs);
  gHeapBytes.store(heapBytes > 0 ? heapBytes : kDefaultHeapBytes);
}

void Platform_ProxyGetForURLWithScript(ProxyScriptRequest *request) {
  CHECK_POINTER(request);
  CHECK_POINTER(request->script);
  CHECK_POINTER(request->url);
  CHECK_POINTER(request->out);
  request->result = 0;
  request->systemError = kErrorBadScript;
  if (request->outSize > 0) request->out[0] = '\0';
  std::call_once(gHelpersOnce, autoproxyCompileHelpers);
  if (gHelpersBytecode.empty() || request->scriptLength < 0) return;

  AutoProxyHeap heap = {Platform_GetTickSeconds() + gBudgetMs.load() / 1000.0, 0, gHeapBytes.load(),
                        false, false};
  duk_context *ctx =
      duk_create_heap(autoproxyAlloc, autoproxyRealloc, autoproxyFree, &heap, autoproxyFatal);
  if (ctx == nullptr) {
    request->systemError = kPlatformErrorNotEnoughMemory;
    Log_Print(LOG_ERROR, KSRC, 0, "Proxy script engine could not start\n");
    return;
  }
  char host[kHostBytes];
  Url_GetHostWithoutPort(request->url, host, sizeof host);
  AutoProxyRun run = {request, host};
  tHeap = &heap;
  int status = duk_safe_call(ctx, autoproxyRun, &run, 0, 1);
  tHeap = nullptr;
  if (status == DUK_EXEC_SUCCESS) {
    const char *answer = duk_get_string(ctx, -1);
    if (request->outSize > 0) Str_Copy(request->out, answer, request->outSize);
    request->result = 1;
    request->systemError = 0;
  } else if (heap.timedOut) {
    request->systemError = kPlatformErrorTimeout;
    Log_Print(LOG_WARNING, KSRC, 0, "Proxy script stopped after %d ms\n", gBudgetMs.load());
  } else if (heap.overCap) {
    request->systemError = kPlatformErrorNotEnoughMemory;
    Log_Print(LOG_WARNING, KSRC, 0, "Proxy script stopped at its heap limit of %zu bytes\n",
              heap.cap);
  } else {
    Log_Print(LOG_WARNING, KSRC, 0, "Proxy script failed: %s\n", duk_safe_to_string(ctx, -1));
  }
  duk_destroy_heap(ctx);
}

int Platform_IsAutoProxyAvailable(void) { return 1; }

// ---- Name services of the scripts ---------------------------------------------

int Platform_AutoProxyIsResolvable(const char *host) {
  CHECK_POINTER(host);
  SocketAddress address;
  return Socket_ResolveHost(&address, host);
}

int Platform_AutoProxyGetIPAddress(char *out, uint32_t *size) {
  CHECK_POINTER(out);
  CHECK_POINTER(size);
  return Platform_AutoProxyResolveHostName("", out, size);
}

int Platform_AutoProxyResolveHostName(const char *host, char *out, uint32_t *size) {
  CHECK_POINTER(host);
  CHECK_POINTER(out);
  CHECK_POINTER(size);
  SocketAddress address;
  if (!Socket_ResolveHost(&address, host)) {
    if (*size > 0) out[0] = '\0';
    return kErrorNameNotResolved;
  }
  char text[kAddressTextBytes];
  int length =
      Str_Printf(text, sizeof text, "%ipv4", reinterpret_cast<const uint8_t *>(&address.address));
  if (uint32_t(length) >= *size) {
    if (*size > 0) out[0] = '\0';
    *size = uint32_t(length + 1);
    return kErrorInsufficientBuffer;
  }
  memcpy(out, text, size_t(length) + 1);
  *size = uint32_t(length);
  return 0;
}

int Platform_AutoProxyIsInNet(const char *address, const char *network, const char *mask) {
  CHECK_POINTER(address);
  CHECK_POINTER(network);
  CHECK_POINTER(mask);
  // Plain dotted addresses only: a ":port" leaves port set.
  uint32_t a = 0, n = 0, m = 0;
  int port = -1;
  if (!Str_ParseIPv4(address, &a, &port) || !Str_ParseIPv4(network, &n, &port) ||
      !Str_ParseIPv4(mask, &m, &port) || port != -1)
    return 0;
  return (a & m) == (n & m);
}
