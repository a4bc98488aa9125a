// Error kinds and the socket error texts; see core/platform/platform.h. Portable: the
// codes are the program's own, whatever system produced them.
#include "core/platform/platform.h"

#include <initializer_list>

namespace {

struct PlatformErrorText {
  int code;
  const char *text;
};

// Looked up by a linear scan; the first matching row wins, and a code that
// is not here gives the first row's text.
constexpr PlatformErrorText kSocketErrors[] = {
    {-1, "Unknown Error"},
    {0, "No Error"},
    {10013, "Permission denied"},
    {10048, "Address already in use"},
    {10049, "Cannot assign requested address"},
    {10047, "Address family not supported by protocol family"},
    {10037, "Operation already in progress"},
    {10009, "Bad file number"},
    {10103, "Cancelled"},
    {10053, "Software caused connection abort"},
    {10061, "Connection refused"},
    {10054, "Connection reset by peer"},
    {10039, "Destination address required"},
    {10069, "Disk quota"},
    {10014, "Bad address"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10036, "Operation now in progress"},
    {10004, "Interrupted function call"},
    {10022, "Invalid argument"},
    {10056, "Socket is already connected"},
    {10062, "Loop"},
    {10024, "Too many open files"},
    {10040, "Message too long"},
    {10063, "Name too long"},
    {10050, "Network is down"},
    {10052, "Network dropped connection on reset"},
    {10051, "Network is unreachable"},
    {10055, "No buffer space available"},
    {10042, "Bad protocol option"},
    {10057, "Socket is not connected"},
    {10066, "Directory not empty"},
    {10038, "Socket operation on non-socket"},
    {10045, "Operation not supported"},
    {10046, "Protocol family not supported"},
    {10067, "Too many processes"},
    {10043, "Protocol not supported"},
    {10041, "Protocol wrong type for socket"},
    {10071, "Remote"},
    {10058, "Cannot send after socket shutdown"},
    {10044, "Socket type not supported"},
    {10070, "Stale"},
    {10060, "Connection timed out"},
    {10059, "Too many references"},
    {10068, "Too many users"},
    {10035, "Resource temporarily unavailable"},
    {10101, "Graceful shutdown in progress"},
    {10104, "Invalid procedure call table"},
    {10105, "Invalid provider"},
    {10102, "No more"},
    {10106, "Provider failed to init"},
    {10112, "Refused"},
    {11001, "Host not found"},
    {10093, "Successful WSAStartup not yet performed"},
    {11004, "Valid name, no data record of requested type"},
    {11003, "This is a non-recoverable error"},
    {10108, "Service not found"},
    {10107, "Network subsystem call failed"},
    {10091, "Network subsystem is unavailable"},
    {11002, "Non-authoritative host not found"},
    {10109, "Type not found"},
    {10092, "WINSOCK.DLL version out of range"},
    {10111, "Cancelled"},
    {10110, "No more"},
    {1460, "Timeout"},
};
static_assert(sizeof kSocketErrors / sizeof kSocketErrors[0] == 65);

constexpr const char *kErrorKindNames[] = {
    "None",           "Missing", "AccessDenied", "AccessInvalid",
    "NotEnoughSpace", "Locked",  "NotSupported", "Unknown",
};
static_assert(sizeof kErrorKindNames / sizeof kErrorKindNames[0] ==
              int(PlatformErrorKind::Unknown) + 1);

bool platformIsOneOf(int error, std::initializer_list<int> codes) {
  for (int code : codes)
    if (code == error) return true;
  return false;
}

}  // namespace

int Platform_IsErrorMissing(int error) { return platformIsOneOf(error, {2, 3, 126, 127}); }

int Platform_IsErrorLocked(int error) { return platformIsOneOf(error, {32, 33, 108}); }

PlatformErrorKind Platform_GetErrorKind(int error) {
  if (error == 0) return PlatformErrorKind::None;
  if (Platform_IsErrorMissing(error)) return PlatformErrorKind::Missing;
  if (platformIsOneOf(error, {5, 19})) return PlatformErrorKind::AccessDenied;
  if (platformIsOneOf(error, {4, 15, 67, 80, 123, 161, 183}))
    return PlatformErrorKind::AccessInvalid;
  if (platformIsOneOf(error, {39, 112})) return PlatformErrorKind::NotEnoughSpace;
  if (Platform_IsErrorLocked(error)) return PlatformErrorKind::Locked;
  if (platformIsOneOf(error, {50, 120, 632, 1630})) return PlatformErrorKind::NotSupported;
  return PlatformErrorKind::Unknown;
}

const char *Platform_ErrorName(int error) {
  return kErrorKindNames[int(Platform_GetErrorKind(error))];
}

const char *Platform_GetSocketErrorString(int error) {
  for (const PlatformErrorText &row : kSocketErrors)
    if (row.code == error) return row.text;
  return kSocketErrors[0].text;
}
