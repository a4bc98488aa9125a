// Locale text to UTF-16 through iconv; see StrW_FromMultiByte in core/runtime/strw.h.
#include <iconv.h>
#include <langinfo.h>

#include <bit>
#include <cerrno>
#include <cstring>

#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/strw.h"

int StrW_FromMultiByte(char16_t *dst, const char *src, int capacity) {
  CHECK_POINTER(dst);
  CHECK_POINTER(src);
  if (capacity < 1) return 0;
  dst[0] = 0;
  // char16_t holds units in the machine's byte order; the plain "UTF-16"
  // target would add a byte-order mark.
  constexpr const char *kTarget =
      std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
  const char *charset = nl_langinfo(CODESET);
  iconv_t cd = iconv_open(kTarget, charset);
  if (cd == iconv_t(-1)) {
    Log_Print(LOG_ERROR, KSRC, 0, "No conversion from '%s' to UTF-16 (errno %d)\n", charset,
              errno);
    return 0;
  }
  char *in = const_cast<char *>(src);  // iconv's interface is not const-correct
  size_t inLeft = strlen(src);
  char *out = reinterpret_cast<char *>(dst);
  size_t outLeft = size_t(capacity - 1) * sizeof(char16_t);
  size_t result = iconv(cd, &in, &inLeft, &out, &outLeft);
  // A stateful charset may still owe a shift sequence's worth of output.
  if (result != size_t(-1)) result = iconv(cd, nullptr, nullptr, &out, &outLeft);
  int error = result == size_t(-1) ? errno : 0;
  iconv_close(cd);
  // iconv names E2BIG only for a character it could convert, so the whole
  // convertible text is longer than the room: nothing is kept, as a measuring
  // pass would have decided. EILSEQ and EINVAL end the text where they stand.
  if (error == E2BIG) {
    dst[0] = 0;
    return 0;
  }
  int units = int((out - reinterpret_cast<char *>(dst)) / int(sizeof(char16_t)));
  dst[units] = 0;
  return units;
}
