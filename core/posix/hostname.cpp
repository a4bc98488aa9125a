// Host names through the system resolver; see core/platform/platform.h.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/str.h"

namespace {

constexpr int kSocketErrorHostNotFound = 11001;
constexpr int kSocketErrorTryAgain = 11002;
constexpr int kSocketErrorNoRecovery = 11003;
constexpr int kSocketErrorNoData = 11004;

int hostnameError(int eai) {
  switch (eai) {
    case EAI_NONAME:
      return kSocketErrorHostNotFound;
    case EAI_AGAIN:
      return kSocketErrorTryAgain;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
    case EAI_FAMILY:
      return kSocketErrorNoData;
    default:
      return kSocketErrorNoRecovery;
  }
}

}  // namespace

int Platform_GetHostName(char *out, int size) {
  CHECK_POINTER(out);
  if (size < 1) return 0;
  char name[256];
  out[0] = '\0';
  if (gethostname(name, sizeof name) != 0) return 0;
  name[sizeof name - 1] = '\0';
  Str_Copy(out, name, size);
  return 1;
}

int Platform_ResolveIPv4(const char *host, int numericOnly, char *out, int size) {
  CHECK_POINTER(host);
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
  addrinfo *answers = nullptr;
  int eai = getaddrinfo(host, nullptr, &hints, &answers);
  if (eai != 0) {
    int code = hostnameError(eai);
    Platform_SetLastError(code);
    return code;
  }
  int code = kSocketErrorNoData;
  for (addrinfo *a = answers; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    char text[48];
    if (getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) ==
            0 &&
        Str_Set(out, text, size))
      code = 0;
    break;
  }
  freeaddrinfo(answers);
  if (code != 0) {
    if (size > 0) out[0] = '\0';
    Platform_SetLastError(code);
  }
  return code;
}
