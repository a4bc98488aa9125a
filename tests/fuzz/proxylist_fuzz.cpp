// libFuzzer target for the two texts a connection takes from outside its
// caller: the proxy resolver's list for a URL (from a proxy auto-config
// script or the system settings) and a file:// URL for the pseudo server.
//
// Input: byte 0 picks the part. Even: the rest is a proxy list, answered by
// a GetProxy hook to WebGetConnection_NextProxy, which is walked to its end
// with HasNextProxy between the steps as the Lookup phase does after each
// failed try. Odd: the rest is a URL for WebGetConnection_ParseFileUrl,
// into a heap block of a size the byte picks. Broken properties abort:
//   - an answer is empty (DIRECT) or "http://<host:port>/" whose host:port
//     holds no blank, control byte, '/', '\\', '@', '?', '#' or '%', and
//     fits its buffer;
//   - HasNextProxy says 1 exactly when the next NextProxy gives an answer,
//     and the walk ends within as many steps as the list has entries;
//   - a second request for the same URL gets the same answer again;
//   - a parsed file path begins with '/', holds no NUL before its end and
//     is terminated inside its buffer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/net/asyncsocket.h"
#include "core/net/socket.h"
#include "core/net/webget.h"
#include "core/net/webgetconnection.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/notification.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"

namespace {

std::string gList;

[[noreturn]] void fuzzBroken(const char *property, const std::string &input, const char *output) {
  fprintf(stderr, "proxylist_fuzz: %s\n  input:  [%s]\n  output: [%s]\n", property, input.c_str(),
          output);
  abort();
}

int fuzzHook(const char *, char *out, int size, int, int *pending) {
  *pending = 0;
  snprintf(out, size_t(size), "%s", gList.c_str());
  return 1;
}

WebGetConnection *fuzzConnection() {
  static WebGetConnection *connection = nullptr;
  if (connection != nullptr) return connection;
  Class_Init();
  Thread_Init();
  EventQueue_InitMain();
  Meter_Init();
  NotificationCenter_Init();
  Socket_Init();
  WebGet_Init();
  IOWorker_Init();
  AsyncSocket_Init();
  WebGetConnection_SetProxyHooks(fuzzHook, nullptr);
  WebGetConnection_Create(&connection);
  return connection;
}

void fuzzCheckAnswer(const char *answer, const std::string &input) {
  if (answer[0] == '\0') return;
  size_t length = strnlen(answer, kWebGetProxyUrlBytes);
  if (length == size_t(kWebGetProxyUrlBytes)) fuzzBroken("answer not terminated", input, "");
  if (strncmp(answer, "http://", 7) != 0 || length < 9 || answer[length - 1] != '/')
    fuzzBroken("answer not http://host:port/", input, answer);
  for (size_t k = 7; k + 1 < length; k++) {
    unsigned char c = static_cast<unsigned char>(answer[k]);
    if (c <= ' ' || c == 0x7F || strchr("/\\@?#%", c) != nullptr)
      fuzzBroken("answer host:port holds a forbidden byte", input, answer);
  }
}

void fuzzList(const std::string &text) {
  WebGetConnection *c = fuzzConnection();
  gList = text;
  static unsigned serial = 0;
  // A URL of its own for every input, so that each builds a fresh list.
  std::string url = "http://fuzz.invalid/" + std::to_string(serial++);
  char answer[kWebGetProxyUrlBytes];
  int pending = 0;
  int ok = WebGetConnection_NextProxy(c, url.c_str(), answer, int(sizeof answer), &pending);
  if (pending) fuzzBroken("pending without a pending hook", text, "");
  if (!ok) {
    WebGetConnection_ClearProxyList(c);
    return;
  }
  fuzzCheckAnswer(answer, text);
  char again[kWebGetProxyUrlBytes];
  if (!WebGetConnection_NextProxy(c, url.c_str(), again, int(sizeof again), &pending) ||
      strcmp(answer, again) != 0)
    fuzzBroken("same URL, another answer", text, again);
  size_t steps = 0, entries = 1;
  for (char ch : text) entries += ch == ';' ? 1 : 0;
  for (;;) {
    int more = WebGetConnection_HasNextProxy(c);
    int peek = WebGetConnection_NextProxy(c, url.c_str(), nullptr, 0, &pending);
    if (peek != more) fuzzBroken("peek and HasNextProxy differ", text, "");
    int next = WebGetConnection_NextProxy(c, url.c_str(), answer, int(sizeof answer), &pending);
    if (next != more) fuzzBroken("HasNextProxy and NextProxy differ", text, answer);
    if (!next) break;
    fuzzCheckAnswer(answer, text);
    if (++steps > entries) fuzzBroken("walk longer than the list", text, answer);
  }
  WebGetConnection_ClearProxyList(c);
}

void fuzzFileUrl(const std::string &url, size_t size) {
  std::unique_ptr<char[]> path(new char[size]);
  memset(path.get(), 'x', size);
  if (!WebGetConnection_ParseFileUrl(url.c_str(), path.get(), int(size))) {
    if (path[0] != '\0') fuzzBroken("refused URL left a path", url, path.get());
    return;
  }
  size_t length = strnlen(path.get(), size);
  if (length == size) fuzzBroken("path not terminated", url, "");
  if (path[0] != '/') fuzzBroken("path not absolute", url, path.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 8000) return 0;
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text = text.substr(0, text.find('\0'));
  if ((data[0] & 1) == 0) fuzzList(text);
  else fuzzFileUrl(text, 1 + (data[0] >> 1) % kWebGetFilePathBytes);
  return 0;
}
