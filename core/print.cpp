// Temporary stand-in until the engine lands: glibc formatting.
#include "core/print.h"

#include <cstdio>
#include <cstring>

int64_t Str_FormatEngine(const char *, void *, PrintSink, va_list) { return 0; }
int64_t Str_FormatToSink(const char *, PrintSink, void *, va_list) { return 0; }

int Str_VPrintf(char *buffer, int size, const char *format, va_list args) {
  if (size < 1) return 0;
  int n = vsnprintf(buffer, size_t(size), format, args);
  return n < size ? n : size - 1;
}

int Str_Printf(char *buffer, int size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = Str_VPrintf(buffer, size, format, args);
  va_end(args);
  return n;
}

int Str_AppendPrintf(char *buffer, int size, const char *format, ...) {
  int used = int(strlen(buffer));
  va_list args;
  va_start(args, format);
  int n = Str_VPrintf(buffer + used, size - used, format, args);
  va_end(args);
  return n;
}

int Str_AppendVPrintf4096(char *buffer, const char *format, va_list args) {
  int used = int(strlen(buffer));
  int n = vsnprintf(buffer + used, size_t(4096 - used), format, args);
  return n < 4096 - used;
}
