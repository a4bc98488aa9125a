// The print engine, the Str_Printf family and StrBuf; see print.h.
#include "core/runtime/print.h"

#include <array>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/runtime/log.h"
#include "core/runtime/strw.h"

namespace {

// ---------------------------------------------------------------------------
// Limits

constexpr int kPrintMaxWidth = 340;
constexpr int kPrintMaxPrecision = 310;  // every conversion but the string kinds
constexpr int kPrintMaxFloatPrecision = 165;
constexpr int kPrintDefaultFloatPrecision = 12;
constexpr int kPrintPointerDigits = 16;  // 64-bit pointers
constexpr int kPrintMaxNumber = 1 << 30; // a written-out width or precision stops growing here

// A double carries about 16 significant decimal digits; the engine prints
// that many (26 with '!') and zeros after them rather than the long binary
// tail of the exact value.
constexpr int kPrintKeptDigits = 16;
constexpr int kPrintKeptDigitsAlt2 = 26;

// The work area holds one converted number. The longest is "%.165f" of
// -DBL_MAX: sign, 309 integer digits, point and 165 decimals. An integer
// takes at most the width (the '0' flag) or the precision in digits, plus
// prefix, sign and ordinal suffix.
constexpr int kPrintMaxDoubleDigits = 309;
constexpr int kPrintWorkBytes = 512;
static_assert(1 + kPrintMaxDoubleDigits + 1 + kPrintMaxFloatPrecision <= kPrintWorkBytes);
static_assert(kPrintMaxWidth + 5 <= kPrintWorkBytes && kPrintMaxPrecision + 5 <= kPrintWorkBytes);

// Converted strings (UTF-16/UTF-32 as UTF-8, JSON-escaped, upper-cased) up to
// this size stay on the stack.
constexpr int kPrintScratchBytes = 2048;

constexpr const char kPrintDigitChars[] = "0123456789ABCDEF0123456789abcdef";
constexpr const char kPrintOrdinalSuffixes[] = "thstndrd";
constexpr const char kPrintOverrunNotice[] =
    "\n\nERROR: The next string overran the print buffer!\nLINE: ";

constexpr auto kPrintDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; i++) {
    pairs[size_t(2 * i)] = char('0' + i / 10);
    pairs[size_t(2 * i + 1)] = char('0' + i % 10);
  }
  return pairs;
}();

// ---------------------------------------------------------------------------
// Conversion table

constexpr uint32_t kPrintFlagLeft = 0x1;    // '-'
constexpr uint32_t kPrintFlagPlus = 0x2;    // '+'
constexpr uint32_t kPrintFlagBlank = 0x4;   // ' '
constexpr uint32_t kPrintFlagAlt = 0x8;     // '#'
constexpr uint32_t kPrintFlagAlt2 = 0x10;   // '!'
constexpr uint32_t kPrintFlagZero = 0x20;   // '0'
constexpr uint32_t kPrintFlagWide = 0x40;   // 'l', "ll", 'w'
constexpr uint32_t kPrintFlag64 = 0x80;     // "ll", "I64"

enum class PrintKind : uint8_t { Integer, Pointer, Ordinal, Float, Char, String, Json, Ipv4, Percent };
enum class PrintStyle : uint8_t { None, General, Fixed, Exponent };

struct PrintRow {
  char conversion;
  uint8_t base;
  bool isSigned;
  PrintKind kind;
  PrintStyle style;     // floats only
  uint8_t digitOffset;  // into kPrintDigitChars: 0 upper-case, 16 lower-case; floats: the exponent letter
  bool upper;           // 'S' and 'C' upper-case a-z
  const char *prefix;   // printed with '#'
};

// Searched in this order; 'v' and 'j' are reached only as "ipv4" and "js".
constexpr PrintRow kPrintRows[] = {
    {'d', 10, true, PrintKind::Integer, PrintStyle::None, 0, false, ""},
    {'s', 0, false, PrintKind::String, PrintStyle::None, 0, false, ""},
    {'g', 0, true, PrintKind::Float, PrintStyle::General, 30, false, ""},
    {'c', 0, false, PrintKind::Char, PrintStyle::None, 0, false, ""},
    {'o', 8, false, PrintKind::Integer, PrintStyle::None, 0, false, "0"},
    {'u', 10, false, PrintKind::Integer, PrintStyle::None, 0, false, ""},
    {'x', 16, false, PrintKind::Integer, PrintStyle::None, 16, false, "0x"},
    {'X', 16, false, PrintKind::Integer, PrintStyle::None, 0, false, "0X"},
    {'f', 0, true, PrintKind::Float, PrintStyle::Fixed, 0, false, ""},
    {'e', 0, true, PrintKind::Float, PrintStyle::Exponent, 30, false, ""},
    {'E', 0, true, PrintKind::Float, PrintStyle::Exponent, 14, false, ""},
    {'G', 0, true, PrintKind::Float, PrintStyle::General, 14, false, ""},
    {'i', 10, true, PrintKind::Integer, PrintStyle::None, 0, false, ""},
    {'%', 0, false, PrintKind::Percent, PrintStyle::None, 0, false, ""},
    {'p', 16, false, PrintKind::Pointer, PrintStyle::None, 0, false, "0x"},
    {'r', 10, true, PrintKind::Ordinal, PrintStyle::None, 0, false, ""},
    {'v', 0, false, PrintKind::Ipv4, PrintStyle::None, 0, false, ""},
    {'S', 0, false, PrintKind::String, PrintStyle::None, 0, true, ""},
    {'C', 0, false, PrintKind::Char, PrintStyle::None, 0, true, ""},
    {'j', 0, false, PrintKind::Json, PrintStyle::None, 0, false, ""},
};
constexpr int kPrintRowCount = int(sizeof kPrintRows / sizeof kPrintRows[0]);

constexpr const PrintRow &printFindRow(char conversion) {
  for (const PrintRow &row : kPrintRows)
    if (row.conversion == conversion) return row;
  return kPrintRows[0];
}
constexpr const PrintRow &kPrintIpv4Row = printFindRow('v');
constexpr const PrintRow &kPrintJsonRow = printFindRow('j');

// The table as a lookup by character: the row number, or -1.
constexpr auto kPrintRowIndex = [] {
  std::array<int8_t, 128> index{};
  index.fill(-1);
  for (int i = kPrintRowCount - 1; i >= 0; i--) {
    char c = kPrintRows[i].conversion;
    if (c != 'v' && c != 'j') index[size_t(c)] = int8_t(i);
  }
  return index;
}();

inline bool printIsStringKind(const PrintRow &row) {
  return row.kind == PrintKind::String || row.kind == PrintKind::Json ||
         row.kind == PrintKind::Ipv4;
}

struct PrintSpec {
  uint32_t flags = 0;
  int width = 0;
  int precision = -1;  // -1: not given
};

// Copies the short pieces that make up most output with a few fixed-size
// moves instead of a call into the library's memcpy. Reads and writes only
// bytes [0, n) of each side.
inline void printCopy(char *dst, const char *src, int64_t n) {
  if (n >= 8 && n <= 16) {
    memcpy(dst, src, 8);
    memcpy(dst + n - 8, src + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    memcpy(dst, src, 4);
    memcpy(dst + n - 4, src + n - 4, 4);
  } else if (n > 16) {
    memcpy(dst, src, size_t(n));
  } else {
    for (int64_t i = 0; i < n; i++) dst[i] = src[i];
  }
}

// ---------------------------------------------------------------------------
// Outputs. The engine is a template over where its output goes, so that the
// common case (a StrBuf) costs no call per piece.

// Straight into a StrBuf's memory, with StrBuf_Write's rules: text that
// would reach the capacity is cut to leave room for the terminator and the
// buffer is marked truncated; a NULL buffer only counts.
class PrintBufferOut {
 public:
  explicit PrintBufferOut(StrBuf *strBuf)
      : strBuf_(strBuf),
        buffer_(strBuf->buffer),
        start_(strBuf->length),
        length_(strBuf->length),
        capacity_(strBuf->capacity) {}

  bool stopped() const { return strBuf_->overflow != 0; }

  bool write(const char *text, int64_t n) {
    if (buffer_ == nullptr) {
      length_ += n;
      return true;
    }
    if (n < capacity_ - length_) {
      printCopy(buffer_ + length_, text, n);
      length_ += n;
      return true;
    }
    if (n == 0) return true;
    int64_t room = capacity_ - length_ - 1;  // below n here; said again for the compiler
    if (room > n) room = n;
    if (room > 0) {
      memcpy(buffer_ + length_, text, size_t(room));
      length_ += room;
    }
    strBuf_->overflow |= kStrBufTruncated;
    return false;
  }

  bool fill(char c, int64_t n) {
    if (buffer_ == nullptr) {
      length_ += n;
      return true;
    }
    bool all = n < capacity_ - length_;
    int64_t take = all ? n : capacity_ - length_ - 1;
    if (take > 0) {
      memset(buffer_ + length_, c, size_t(take));
      length_ += take;
    }
    if (!all && n > 0) {
      strBuf_->overflow |= kStrBufTruncated;
      return false;
    }
    return true;
  }

  // Stores the new length; returns the bytes added.
  int64_t close() {
    strBuf_->length = length_;
    return length_ - start_;
  }

 private:
  StrBuf *strBuf_;
  char *buffer_;
  int64_t start_;
  int64_t length_;
  int64_t capacity_;
};

// Piece by piece to a caller's sink.
class PrintSinkOut {
 public:
  PrintSinkOut(PrintSink sink, void *context) : sink_(sink), context_(context) {}

  bool write(const char *text, int64_t n) { return n <= 0 || send(0, text, n); }

  bool fill(char c, int64_t n) {
    char run[64];
    memset(run, c, sizeof run);
    for (; n > 0; n -= int64_t(sizeof run))
      if (!send(0, run, n < int64_t(sizeof run) ? n : int64_t(sizeof run))) return false;
    return true;
  }

  void finish() { send(kPrintSinkLast, "", 0); }
  int64_t taken() const { return taken_; }

 private:
  bool send(uint32_t flags, const char *text, int64_t n) {
    if (first_) flags |= kPrintSinkFirst;
    first_ = false;
    int64_t written = 0;
    int go = sink_(context_, flags, text, n, &written);
    taken_ += written;
    return go != 0;
  }

  PrintSink sink_;
  void *context_;
  bool first_ = true;
  int64_t taken_ = 0;
};

// The text padded with blanks to the width: on the right with '-', else on
// the left.
template <class Out>
bool printField(Out &out, const PrintSpec &conv, const char *text, int64_t length) {
  int64_t pad = conv.width - length;
  if (pad > 0 && !(conv.flags & kPrintFlagLeft) && !out.fill(' ', pad)) return false;
  if (!out.write(text, length)) return false;
  if (pad > 0 && (conv.flags & kPrintFlagLeft)) return out.fill(' ', pad);
  return true;
}

// As printField, but the '0' flag pads with zeros after the first
// signLength characters (the sign).
template <class Out>
bool printFieldZeros(Out &out, const PrintSpec &conv, const char *text, int64_t length,
                     int signLength) {
  int64_t pad = conv.width - length;
  if (pad <= 0 || (conv.flags & (kPrintFlagZero | kPrintFlagLeft)) != kPrintFlagZero)
    return printField(out, conv, text, length);
  return out.write(text, signLength) && out.fill('0', pad) &&
         out.write(text + signLength, length - signLength);
}

// ---------------------------------------------------------------------------
// Integers

char *printDecimal(char *end, uint64_t value) {
  if (value <= UINT32_MAX) {  // 32-bit division is cheaper
    auto small = uint32_t(value);
    while (small >= 100) {
      uint32_t rest = small / 100;
      end -= 2;
      memcpy(end, &kPrintDigitPairs[size_t(2 * (small - rest * 100))], 2);
      small = rest;
    }
    value = small;
  }
  while (value >= 100) {
    uint64_t rest = value / 100;
    end -= 2;
    memcpy(end, &kPrintDigitPairs[size_t(2 * (value - rest * 100))], 2);
    value = rest;
  }
  if (value >= 10) {
    end -= 2;
    memcpy(end, &kPrintDigitPairs[size_t(2 * value)], 2);
  } else {
    *--end = char('0' + value);
  }
  return end;
}

// Digits are produced least significant first, backwards from end.
char *printDigits(char *end, uint64_t value, int base, const char *digitChars) {
  if (base == 10) return printDecimal(end, value);
  int shift = base == 16 ? 4 : 3;
  uint64_t mask = uint64_t(base - 1);
  do {
    *--end = digitChars[value & mask];
    value >>= shift;
  } while (value != 0);
  return end;
}

// "st", "nd" or "rd" for a last digit 1, 2 or 3 outside the teens, else "th".
const char *printOrdinalSuffix(uint64_t value) {
  uint64_t last = value % 10;
  bool teen = (value / 10) % 10 == 1;
  return kPrintOrdinalSuffixes + 2 * ((last >= 1 && last <= 3 && !teen) ? last : 0);
}

template <class Out>
bool printInteger(Out &out, const PrintSpec &conv, const PrintRow &row, uint64_t magnitude,
                  bool negative) {
  char work[kPrintWorkBytes];
  char *end = work + sizeof work;
  char *p = end;
  int suffixLength = 0;
  if (row.kind == PrintKind::Ordinal) {
    p -= 2;
    memcpy(p, printOrdinalSuffix(magnitude), 2);
    suffixLength = 2;
  }
  char *digitsEnd = p;

  char sign = 0;
  if (row.isSigned) {
    if (negative) sign = '-';
    else if (conv.flags & kPrintFlagPlus) sign = '+';
    else if (conv.flags & kPrintFlagBlank) sign = ' ';
  }
  // "0x" only in front of a value that is not 0; octal's "0" is added below
  // only when the digits do not already start with one.
  const char *prefix = "";
  if ((conv.flags & kPrintFlagAlt) && row.base == 16 && magnitude != 0) prefix = row.prefix;
  int prefixLength = prefix[0] == '\0' ? 0 : prefix[1] == '\0' ? 1 : 2;

  int minDigits = conv.precision < 0 ? 1 : conv.precision;
  if (row.kind == PrintKind::Pointer && conv.precision < 0 && conv.width == 0)
    minDigits = kPrintPointerDigits;
  // The '0' flag zero-pads to the width: the digits take what the sign, the
  // prefix and the suffix leave.
  if ((conv.flags & (kPrintFlagZero | kPrintFlagLeft)) == kPrintFlagZero) {
    int zeroDigits = conv.width - (sign != 0) - prefixLength - suffixLength;
    if (zeroDigits > minDigits) minDigits = zeroDigits;
  }

  if (magnitude != 0 || minDigits > 0)
    p = printDigits(p, magnitude, row.base, kPrintDigitChars + row.digitOffset);
  while (digitsEnd - p < minDigits) *--p = '0';
  if ((conv.flags & kPrintFlagAlt) && row.base == 8 && (p == digitsEnd || *p != '0')) *--p = '0';
  for (int i = prefixLength - 1; i >= 0; i--) *--p = prefix[i];
  if (sign != 0) *--p = sign;
  return printField(out, conv, p, end - p);
}

// ---------------------------------------------------------------------------
// Floating point: exact decimal digits

// The exact decimal expansion of a finite double above 0, handed out digit by
// digit from the first significant one. A double is m * 2^e with m below
// 2^53, so its expansion ends: at most 309 integer and 1074 fraction digits.
// Values with at most 124 fraction bits and an integer part below 2^64 (all
// everyday numbers) run on machine words; the rest on a small big number.
class PrintExactDigits {
 public:
  explicit PrintExactDigits(double value);

  // The power of ten of the first digit.
  int exponent() const { return exponent_; }
  // The next digit (0-9); 0 once the expansion has ended.
  int next();
  // 1 once every remaining digit is known to be 0 (cheap; may say 0 while
  // only zeros remain).
  bool ended() const { return pendingAt_ == pendingEnd_ && sourceEmpty(); }
  // 1 while a digit other than 0 is still to come.
  bool more() const;

 private:
  enum class Source : uint8_t { None, Word, Wide, Big };
  static constexpr uint32_t kBillion = 1000000000;
  static constexpr int kFractionLimbs = 34;  // 1074 fraction bits in 32-bit limbs
  static constexpr int kIntegerLimbs = 36;   // 309 digits in base 10^9

  bool sourceEmpty() const;
  void pushInteger(uint64_t value);
  void pushBigInteger(uint64_t mantissa, int shift);
  void refillBig();
  void unread(int digit);

  uint8_t pending_[kPrintMaxDoubleDigits + 11];  // digits ready to hand out
  int pendingAt_ = 0;
  int pendingEnd_ = 0;
  int exponent_ = 0;
  Source source_ = Source::None;
  int fractionBits_ = 0;
  uint64_t word_ = 0;             // the fraction times 2^fractionBits_ (Word)
  uint64_t wordMask_ = 0;
  unsigned __int128 wide_ = 0;    // the same for up to 124 bits (Wide)
  uint32_t limbs_[kFractionLimbs];  // Big: the fraction times 2^(32 * top_)
  int low_ = 0;                   // lowest limb that is not 0
  int top_ = 0;
};

PrintExactDigits::PrintExactDigits(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  uint64_t mantissa = bits & ((uint64_t(1) << 52) - 1);
  int biased = int(bits >> 52) & 0x7FF;
  int e = -1074;
  if (biased != 0) {
    mantissa |= uint64_t(1) << 52;
    e = biased - 1075;
  }
  int zeros = __builtin_ctzll(mantissa);  // fewer fraction bits, fewer steps
  mantissa >>= zeros;
  e += zeros;

  if (e >= 0) {
    if (e <= __builtin_clzll(mantissa))
      pushInteger(mantissa << e);
    else
      pushBigInteger(mantissa, e);
    exponent_ = pendingEnd_ - 1;
    return;
  }

  int k = -e;
  fractionBits_ = k;
  uint64_t whole = k < 64 ? mantissa >> k : 0;
  uint64_t fraction = k < 64 ? mantissa & ((uint64_t(1) << k) - 1) : mantissa;
  if (k <= 60) {  // a fraction below 2^60 times 10 still fits in 64 bits
    source_ = Source::Word;
    word_ = fraction;
    wordMask_ = (uint64_t(1) << k) - 1;
  } else if (k <= 124) {
    source_ = Source::Wide;
    wide_ = fraction;
  } else {
    source_ = Source::Big;
    top_ = (k + 31) / 32;
    unsigned __int128 aligned = static_cast<unsigned __int128>(fraction) << (32 * top_ - k);
    for (int i = 0; i < top_; i++) limbs_[i] = i < 3 ? uint32_t(aligned >> (32 * i)) : 0;
    while (limbs_[low_] == 0) low_++;
  }
  if (whole != 0) {
    pushInteger(whole);
    exponent_ = pendingEnd_ - 1;
    return;
  }
  exponent_ = -1;
  int digit;
  while ((digit = next()) == 0) exponent_--;
  unread(digit);
}

void PrintExactDigits::pushInteger(uint64_t value) {
  char text[24];
  char *end = text + sizeof text;
  char *p = printDecimal(end, value);
  for (; p < end; p++) pending_[pendingEnd_++] = uint8_t(*p - '0');
}

// mantissa * 2^shift in base 10^9, then as digits.
void PrintExactDigits::pushBigInteger(uint64_t mantissa, int shift) {
  uint32_t limbs[kIntegerLimbs];
  int count = 0;
  limbs[count++] = uint32_t(mantissa % kBillion);
  if (mantissa >= kBillion) limbs[count++] = uint32_t(mantissa / kBillion);
  while (shift > 0) {
    int step = shift < 32 ? shift : 32;  // a limb below 2^30 shifted by 32 stays below 2^62
    uint64_t carry = 0;
    for (int i = 0; i < count; i++) {
      uint64_t x = (uint64_t(limbs[i]) << step) + carry;
      limbs[i] = uint32_t(x % kBillion);
      carry = x / kBillion;
    }
    while (carry != 0) {
      limbs[count++] = uint32_t(carry % kBillion);
      carry /= kBillion;
    }
    shift -= step;
  }
  pushInteger(limbs[count - 1]);
  for (int i = count - 2; i >= 0; i--) {
    uint32_t limb = limbs[i];
    for (int d = 8; d >= 0; d--) {
      pending_[pendingEnd_ + d] = uint8_t(limb % 10);
      limb /= 10;
    }
    pendingEnd_ += 9;
  }
}

// The next nine fraction digits: the part that multiplying by 10^9 carries
// out of the top limb.
void PrintExactDigits::refillBig() {
  uint64_t carry = 0;
  for (int i = low_; i < top_; i++) {
    uint64_t x = uint64_t(limbs_[i]) * kBillion + carry;
    limbs_[i] = uint32_t(x);
    carry = x >> 32;
  }
  while (low_ < top_ && limbs_[low_] == 0) low_++;
  for (int d = 8; d >= 0; d--) {
    pending_[d] = uint8_t(carry % 10);
    carry /= 10;
  }
  pendingAt_ = 0;
  pendingEnd_ = 9;
}

void PrintExactDigits::unread(int digit) {
  if (pendingAt_ > 0) {
    pending_[--pendingAt_] = uint8_t(digit);
  } else {
    pending_[0] = uint8_t(digit);
    pendingEnd_ = 1;
  }
}

int PrintExactDigits::next() {
  if (pendingAt_ < pendingEnd_) return pending_[pendingAt_++];
  switch (source_) {
    case Source::Word: {
      if (word_ == 0) return 0;
      word_ *= 10;
      int digit = int(word_ >> fractionBits_);
      word_ &= wordMask_;
      return digit;
    }
    case Source::Wide: {
      if (wide_ == 0) return 0;
      wide_ *= 10;
      int digit = int(wide_ >> fractionBits_);
      wide_ &= (static_cast<unsigned __int128>(1) << fractionBits_) - 1;
      return digit;
    }
    case Source::Big:
      if (low_ >= top_) return 0;
      refillBig();
      return pending_[pendingAt_++];
    case Source::None:
      break;
  }
  return 0;
}

bool PrintExactDigits::sourceEmpty() const {
  switch (source_) {
    case Source::Word: return word_ == 0;
    case Source::Wide: return wide_ == 0;
    case Source::Big: return low_ >= top_;
    case Source::None: break;
  }
  return true;
}

bool PrintExactDigits::more() const {
  for (int i = pendingAt_; i < pendingEnd_; i++)
    if (pending_[i] != 0) return true;
  return !sourceEmpty();
}

// Rounds value (finite, not negative) to length significant digits, or, when
// fixed, to length decimals; half to even, as the C library does. Writes the
// digit values and returns their number: 0 when the value rounds to 0.
// Digits after the returned count are zeros; *exponent is the power of ten
// of the first digit.
int printRoundedDigits(double value, bool fixed, int length, uint8_t *digits, int *exponent) {
  *exponent = 0;
  if (value == 0) return 0;
  PrintExactDigits exact(value);
  *exponent = exact.exponent();
  if (fixed) length += exact.exponent() + 1;
  if (length < 0) return 0;  // below a tenth of the last decimal
  assert(length <= kPrintMaxDoubleDigits + kPrintMaxFloatPrecision + 1);
  int count = 0;
  while (count < length) {
    if (exact.ended()) return count;  // exact: nothing to round
    digits[count++] = uint8_t(exact.next());
  }
  int following = exact.next();
  bool up = following > 5 ||
            (following == 5 && (exact.more() || (count > 0 && (digits[count - 1] & 1) != 0)));
  if (!up) return count;
  int i = count - 1;
  while (i >= 0 && digits[i] == 9) i--;
  if (i < 0) {  // 9.99 became 10.0
    digits[0] = 1;
    ++*exponent;
    return 1;
  }
  digits[i]++;
  return i + 1;
}

// Writes the number (without sign) for an f, e or g conversion at w and
// returns the end.
char *printFloatBody(char *w, const PrintRow &row, uint32_t flags, int precision, double value) {
  uint8_t digits[kPrintWorkBytes];
  int exponent = 0;
  int count = 0;
  bool exponentForm = false;
  int decimals = precision;
  switch (row.style) {
    case PrintStyle::Fixed:
      count = printRoundedDigits(value, true, precision, digits, &exponent);
      break;
    case PrintStyle::Exponent:
      count = printRoundedDigits(value, false, precision + 1, digits, &exponent);
      exponentForm = true;
      break;
    case PrintStyle::General:
    case PrintStyle::None: {
      int significant = precision == 0 ? 1 : precision;
      count = printRoundedDigits(value, false, significant, digits, &exponent);
      exponentForm = exponent < -4 || exponent > significant;
      decimals = exponentForm ? significant - 1 : significant - 1 - exponent;
      if (decimals < 0) decimals = 0;
      break;
    }
  }
  int kept = (flags & kPrintFlagAlt2) ? kPrintKeptDigitsAlt2 : kPrintKeptDigits;
  if (count > kept) count = kept;
  // The digit worth 10^(exponent - index); zeros beyond the rounded digits.
  auto digitAt = [&](int index) {
    return char('0' + ((index >= 0 && index < count) ? digits[index] : 0));
  };
  bool point = decimals > 0 || (flags & (kPrintFlagAlt | kPrintFlagAlt2)) != 0;

  if (exponentForm) {
    *w++ = digitAt(0);
    if (point) *w++ = '.';
    for (int i = 1; i <= decimals; i++) *w++ = digitAt(i);
  } else {
    if (count > 0 && exponent >= 0) {
      for (int i = 0; i <= exponent; i++) *w++ = digitAt(i);
    } else {
      *w++ = '0';
    }
    if (point) *w++ = '.';
    int first = count > 0 ? exponent + 1 : -1;  // a value rounded to 0 has only zeros
    for (int i = 0; i < decimals; i++) *w++ = digitAt(first + i);
  }

  bool trim = row.style == PrintStyle::General ? !(flags & kPrintFlagAlt)
                                               : (flags & kPrintFlagAlt2) != 0;
  if (trim && point) {
    while (w[-1] == '0') w--;
    if (w[-1] == '.') {
      if (flags & kPrintFlagAlt2)
        *w++ = '0';
      else
        w--;
    }
  }

  if (exponentForm) {
    int x = count > 0 ? exponent : 0;
    *w++ = kPrintDigitChars[row.digitOffset];
    *w++ = x < 0 ? '-' : '+';
    if (x < 0) x = -x;
    if (x >= 100) {
      *w++ = char('0' + x / 100);
      x %= 100;
    }
    *w++ = char('0' + x / 10);
    *w++ = char('0' + x % 10);
  }
  return w;
}

template <class Out>
bool printFloat(Out &out, const PrintSpec &conv, const PrintRow &row, double value) {
  char work[kPrintWorkBytes];
  char *w = work;
  if (std::isnan(value)) return printField(out, conv, "NaN", 3);
  if (std::signbit(value)) {
    *w++ = '-';
    value = -value;
  } else if (conv.flags & kPrintFlagPlus) {
    *w++ = '+';
  } else if (conv.flags & kPrintFlagBlank) {
    *w++ = ' ';
  }
  int signLength = int(w - work);
  if (std::isinf(value)) {
    memcpy(w, "Inf", 3);
    return printField(out, conv, work, signLength + 3);
  }
  int precision = conv.precision < 0 ? kPrintDefaultFloatPrecision : conv.precision;
  if (precision > kPrintMaxFloatPrecision) precision = kPrintMaxFloatPrecision;
  w = printFloatBody(w, row, conv.flags, precision, value);
  return printFieldZeros(out, conv, work, w - work, signLength);
}

// ---------------------------------------------------------------------------
// Characters, strings, addresses

template <class Out>
bool printChar(Out &out, const PrintSpec &conv, const PrintRow &row, int value) {
  if (conv.flags & kPrintFlagWide) {  // a code point, written as UTF-8
    auto codePoint = uint32_t(value);
    if (row.upper && codePoint >= 'a' && codePoint <= 'z') codePoint -= 'a' - 'A';
    char text[8];
    int length = 0;
    StrW_EncodeUtf8(text, int(sizeof text), codePoint, &length);  // 0 bytes when it cannot
    return printField(out, conv, text, length);
  }
  char c = char(value);
  if (row.upper && c >= 'a' && c <= 'z') c = char(c - ('a' - 'A'));
  int64_t count = conv.precision > 1 ? conv.precision : 1;
  int64_t pad = conv.width - count;
  bool left = (conv.flags & kPrintFlagLeft) != 0;
  return (pad <= 0 || left || out.fill(' ', pad)) && out.fill(c, count) &&
         (pad <= 0 || !left || out.fill(' ', pad));
}

// Room for a converted string: the stack when it is small, else plain malloc.
// Never the tracked allocator: a memory-report line is formatted while the
// memory lock is held and must not call back into it.
class PrintScratch {
 public:
  PrintScratch() = default;
  PrintScratch(const PrintScratch &) = delete;
  PrintScratch &operator=(const PrintScratch &) = delete;
  ~PrintScratch() {
    for (int i = 0; i < heapCount_; i++) free(heap_[i]);
  }

  char *reserve(int64_t bytes) {
    if (bytes <= int64_t(sizeof local_) - used_) {
      char *p = local_ + used_;
      used_ += bytes;
      return p;
    }
    assert(heapCount_ < kMaxHeapBlocks);
    auto *p = static_cast<char *>(malloc(size_t(bytes)));
    if (p == nullptr)
      Core_Abort(KSRC, "No Memory available (%lld / %lld)\n", (long long)bytes, (long long)bytes);
    heap_[heapCount_++] = p;
    return p;
  }

 private:
  static constexpr int kMaxHeapBlocks = 2;  // a conversion, then an escape or upper-casing
  char local_[kPrintScratchBytes];
  int64_t used_ = 0;
  char *heap_[kMaxHeapBlocks] = {};
  int heapCount_ = 0;
};

char *printJsonUnit(char *w, uint32_t unit) {
  *w++ = '\\';
  *w++ = 'u';
  for (int shift = 12; shift >= 0; shift -= 4) *w++ = kPrintDigitChars[(unit >> shift) & 0xF];
  return w;
}

// Writes text as the inside of a JSON string; dst has room for 6 bytes per
// input byte. Multi-byte sequences become \u escapes (surrogate pairs above
// U+FFFF); invalid or cut sequences, stray bytes and code points above
// U+10FFFF become \uFFFD, so the output is always ASCII.
int64_t printJsonEscape(char *dst, const char *text, int64_t length) {
  char *w = dst;
  for (int64_t i = 0; i < length;) {
    auto b = uint8_t(text[i]);
    if (b < 0x80) {
      i++;
      const char *escape = nullptr;
      switch (b) {
        case '"': escape = "\\\""; break;
        case '\\': escape = "\\\\"; break;
        case '\r': escape = "\\r"; break;
        case '\n': escape = "\\n"; break;
        case '\f': escape = "\\f"; break;
        case '\t': escape = "\\t"; break;
        case '\b': escape = "\\b"; break;
        default: break;
      }
      if (escape != nullptr) {
        *w++ = escape[0];
        *w++ = escape[1];
      } else if (b < 0x20) {
        w = printJsonUnit(w, b);
      } else {
        *w++ = char(b);
      }
      continue;
    }
    int n = StrW_Utf8SequenceLength(b);
    uint32_t codePoint = kStrWReplacement;
    int used = 0;
    if (n > 1 && n <= length - i && !StrW_DecodeUtf8Sequence(text + i, &codePoint, &used))
      used = 0;
    if (used == 0) {  // one replacement for the lead byte and the continuation bytes behind it
      codePoint = kStrWReplacement;
      used = 1;
      while (used < n && i + used < length && (uint8_t(text[i + used]) & 0xC0) == 0x80) used++;
    }
    i += used;
    if (codePoint > 0x10FFFF) codePoint = kStrWReplacement;
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      w = printJsonUnit(w, 0xD800 + (codePoint >> 10));
      w = printJsonUnit(w, 0xDC00 + (codePoint & 0x3FF));
    } else {
      w = printJsonUnit(w, codePoint);
    }
  }
  return w - dst;
}

// Length of text, at most limit; never reads past limit bytes, so a
// precision may bound an array that has no terminator.
int64_t printBoundedLength(const char *text, int64_t limit) {
  const void *end = memchr(text, 0, size_t(limit));
  return end != nullptr ? static_cast<const char *>(end) - text : limit;
}

// A plain string's length, cut at the precision when one is given.
int64_t printStringLength(const char *text, int precision) {
  return precision >= 0 ? printBoundedLength(text, precision) : int64_t(strlen(text));
}

enum class PrintTextForm : uint8_t { Utf8, Utf16, Utf32 };

// Strings that need converting, escaping or upper-casing before output.
template <class Out>
[[gnu::noinline]] bool printConvertedString(Out &out, const PrintSpec &conv,
                                            const PrintRow &row, PrintTextForm form,
                                            const void *arg) {
  PrintScratch scratch;
  const char *text = nullptr;
  int64_t length = 0;
  if (form == PrintTextForm::Utf16) {
    const auto *source = static_cast<const char16_t *>(arg);
    int units = StrW_Length(source);
    int64_t bytes = 3 * int64_t(units) + 1;  // a unit gives at most 3 bytes, a pair 4
    if (bytes > INT32_MAX) bytes = INT32_MAX;
    char *dst = scratch.reserve(bytes);
    length = StrW_ToUtf8N(dst, int(bytes), source, units);
    text = dst;
  } else if (form == PrintTextForm::Utf32) {
    const auto *source = static_cast<const char32_t *>(arg);
    int64_t count = 0;
    while (source[count] != 0) count++;
    int64_t bytes = 6 * count + 1;
    if (bytes > INT32_MAX) bytes = INT32_MAX;
    char *dst = scratch.reserve(bytes);
    length = StrW_FromUtf32ToUtf8(dst, source, int(bytes));
    text = dst;
  } else {
    text = static_cast<const char *>(arg);
    length = printStringLength(text, conv.precision);
  }
  if (row.kind == PrintKind::Json) {
    char *dst = scratch.reserve(6 * length + 1);
    length = printJsonEscape(dst, text, length);
    text = dst;
  } else if (row.upper) {
    char *dst = scratch.reserve(length + 1);
    for (int64_t i = 0; i < length; i++) {
      char c = text[i];
      dst[i] = (c >= 'a' && c <= 'z') ? char(c - ('a' - 'A')) : c;
    }
    text = dst;
  }
  return printField(out, conv, text, length);
}

template <class Out>
bool printString(Out &out, const PrintSpec &conv, const PrintRow &row, PrintTextForm form,
                 const void *arg) {
  if (arg == nullptr) return printField(out, conv, "", 0);
  if (form == PrintTextForm::Utf8 && row.kind == PrintKind::String && !row.upper) {
    const auto *text = static_cast<const char *>(arg);
    int64_t length = printStringLength(text, conv.precision);
    return printField(out, conv, text, length);
  }
  return printConvertedString(out, conv, row, form, arg);
}

template <class Out>
bool printIpv4(Out &out, const PrintSpec &conv, const uint8_t *address) {
  if (address == nullptr) return printField(out, conv, "", 0);
  char text[16];
  char *w = text;
  for (int i = 0; i < 4; i++) {
    char digits[4];
    char *end = digits + sizeof digits;
    char *p = printDecimal(end, address[i]);
    memcpy(w, p, size_t(end - p));
    w += end - p;
    if (i < 3) *w++ = '.';
  }
  return printField(out, conv, text, w - text);
}

// ---------------------------------------------------------------------------
// The engine

uint32_t printFlagFor(char c) {
  switch (c) {
    case '-': return kPrintFlagLeft;
    case '+': return kPrintFlagPlus;
    case ' ': return kPrintFlagBlank;
    case '#': return kPrintFlagAlt;
    case '!': return kPrintFlagAlt2;
    case '0': return kPrintFlagZero;
    default: return 0;
  }
}

int printReadNumber(const char **cursor, int cap) {
  const char *p = *cursor;
  int value = 0;
  for (; *p >= '0' && *p <= '9'; p++)
    if (value <= cap) value = value * 10 + (*p - '0');
  *cursor = p;
  return value < cap ? value : cap;
}

// Walks the format once. Returns true when the format ended (its end, or a
// conversion character outside the table), false when the output stopped.
template <class Out>
bool printRun(Out &out, const char *format, va_list args) {
  const char *p = format;
  for (;;) {
    const char *literal = p;
    while (*p != '\0' && *p != '%') p++;
    if (p != literal && !out.write(literal, p - literal)) return false;
    if (*p == '\0') return true;
    if (*++p == '\0') return out.write("%", 1);

    PrintSpec conv;
    while (uint32_t flag = printFlagFor(*p)) {
      conv.flags |= flag;
      p++;
    }
    if (*p == '*') {
      p++;
      int width = va_arg(args, int);
      if (width < 0) {
        conv.flags |= kPrintFlagLeft;
        conv.width = width < -kPrintMaxWidth ? kPrintMaxWidth : -width;
      } else {
        conv.width = width > kPrintMaxWidth ? kPrintMaxWidth : width;
      }
    } else {
      conv.width = printReadNumber(&p, kPrintMaxWidth);
    }
    if (*p == '.') {
      p++;
      if (*p == '*') {
        p++;
        int precision = va_arg(args, int);
        conv.precision = precision >= 0 ? precision
                         : precision == INT32_MIN ? INT32_MAX
                                                  : -precision;
      } else {
        conv.precision = printReadNumber(&p, kPrintMaxNumber);
      }
    }
    if (*p == 'l') {
      conv.flags |= kPrintFlagWide;
      if (*++p == 'l') {
        conv.flags |= kPrintFlag64;
        p++;
      }
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      conv.flags |= kPrintFlag64;
      p += 3;
    }
    if (*p == 'w') {
      conv.flags |= kPrintFlagWide;
      p++;
    }

    const PrintRow *row;
    if (p[0] == 'i' && p[1] == 'p' && p[2] == 'v' && p[3] == '4') {
      row = &kPrintIpv4Row;
      p += 4;
    } else if (p[0] == 'j' && p[1] == 's') {
      row = &kPrintJsonRow;
      p += 2;
    } else {
      auto c = uint8_t(*p);
      int index = c < 128 ? kPrintRowIndex[c] : -1;
      if (index < 0) return true;  // an unknown conversion ends the output
      row = &kPrintRows[index];
      p++;
    }
    if (conv.precision > kPrintMaxPrecision && !printIsStringKind(*row))
      conv.precision = kPrintMaxPrecision;

    bool go = true;
    switch (row->kind) {
      case PrintKind::Integer:
      case PrintKind::Ordinal: {
        uint64_t magnitude;
        bool negative = false;
        if (row->isSigned) {
          int64_t value = (conv.flags & kPrintFlag64) ? int64_t(va_arg(args, long long))
                                                      : int64_t(va_arg(args, int));
          negative = value < 0;
          magnitude = negative ? 0 - uint64_t(value) : uint64_t(value);
        } else {
          magnitude = (conv.flags & kPrintFlag64) ? uint64_t(va_arg(args, unsigned long long))
                                                  : uint64_t(va_arg(args, unsigned int));
        }
        go = printInteger(out, conv, *row, magnitude, negative);
        break;
      }
      case PrintKind::Pointer:
        go = printInteger(out, conv, *row, uint64_t(uintptr_t(va_arg(args, const void *))), false);
        break;
      case PrintKind::Float:
        go = printFloat(out, conv, *row, va_arg(args, double));
        break;
      case PrintKind::Char:
        go = printChar(out, conv, *row, va_arg(args, int));
        break;
      case PrintKind::String:
      case PrintKind::Json: {
        const void *arg;
        PrintTextForm form = PrintTextForm::Utf8;
        if (conv.flags & (kPrintFlagWide | kPrintFlagAlt2)) {
          form = PrintTextForm::Utf16;
          arg = va_arg(args, const char16_t *);
        } else if (conv.flags & kPrintFlagAlt) {
          form = PrintTextForm::Utf32;
          arg = va_arg(args, const char32_t *);
        } else {
          arg = va_arg(args, const char *);
        }
        go = printString(out, conv, *row, form, arg);
        break;
      }
      case PrintKind::Ipv4:
        go = printIpv4(out, conv, va_arg(args, const uint8_t *));
        break;
      case PrintKind::Percent:
        go = printField(out, conv, "%", 1);
        break;
    }
    if (!go) return false;
  }
}

// StrBuf_Init without the check, for the engine's own buffers.
inline void printInitStrBuf(StrBuf *strBuf, char *buffer, int64_t capacity) {
  strBuf->header.instanceId[0] = '\0';
  strBuf->header.classTag = kStrBufTag;
  strBuf->header.refCount.store(1, std::memory_order_relaxed);
  strBuf->header.destroy = nullptr;
  strBuf->buffer = buffer;
  strBuf->length = 0;
  strBuf->capacity = capacity;
  strBuf->overflow = 0;
}

// Formats into an initialised StrBuf; returns the bytes added.
int64_t printToStrBuf(StrBuf *strBuf, const char *format, va_list args) {
  PrintBufferOut out(strBuf);
  if (!out.stopped()) printRun(out, format, args);
  return out.close();
}


}  // namespace

int64_t Str_FormatEngine(const char *format, void *sinkContext, PrintSink sink, va_list args) {
  CHECK_POINTER(format);
  if (sink == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  if (sink == StrBuf_Sink) {  // no call per piece for the engine's own sink
    auto *strBuf = static_cast<StrBuf *>(sinkContext);
    CLASS_CHECK(strBuf, kStrBufTag);
    return printToStrBuf(strBuf, format, args);
  }
  PrintSinkOut out(sink, sinkContext);
  if (printRun(out, format, args)) out.finish();
  return out.taken();
}

int64_t Str_FormatToSink(const char *format, PrintSink sink, void *sinkContext, va_list args) {
  return Str_FormatEngine(format, sinkContext, sink, args);
}

int Str_VPrintf(char *buffer, int size, const char *format, va_list args) {
  CHECK_POINTER(buffer);
  CHECK_POINTER(format);
  if (size < 1) return 0;
  StrBuf strBuf;
  printInitStrBuf(&strBuf, buffer, size);
  printToStrBuf(&strBuf, format, args);
  buffer[strBuf.length] = '\0';
  if (strBuf.overflow != 0) {
    Log_WriteRaw(kPrintOverrunNotice);
    Log_WriteRaw(format);
  }
  return int(strBuf.length);
}

int Str_Printf(char *buffer, int size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int length = Str_VPrintf(buffer, size, format, args);
  va_end(args);
  return length;
}

int Str_AppendPrintf(char *buffer, int size, const char *format, ...) {
  CHECK_POINTER(buffer);
  CHECK_POINTER(format);
  if (size < 1) return 0;
  int used = int(printBoundedLength(buffer, size - 1));
  va_list args;
  va_start(args, format);
  int length = Str_VPrintf(buffer + used, size - used, format, args);
  va_end(args);
  return length;
}

int Str_AppendVPrintf4096(char *buffer, const char *format, va_list args) {
  CHECK_POINTER(buffer);
  CHECK_POINTER(format);
  int64_t used = printBoundedLength(buffer, kLogLineBytes - 1);
  StrBuf strBuf;
  printInitStrBuf(&strBuf, buffer + used, kLogLineBytes - used);
  printToStrBuf(&strBuf, format, args);
  buffer[used + strBuf.length] = '\0';
  return strBuf.overflow == 0 ? 1 : 0;
}

int64_t Str_FormattedLength(const char *format, va_list args) {
  CHECK_POINTER(format);
  StrBuf strBuf;
  printInitStrBuf(&strBuf, nullptr, 0);
  return printToStrBuf(&strBuf, format, args);
}

void StrBuf_Init(StrBuf *strBuf, char *buffer, int64_t capacity) {
  CHECK_POINTER(strBuf);
  printInitStrBuf(strBuf, buffer, capacity);
}

int StrBuf_Write(StrBuf *strBuf, const char *text, int64_t length, int64_t *written) {
  CLASS_CHECK(strBuf, kStrBufTag);
  CHECK_POINTER(text);
  if (length < 0) length = int64_t(strlen(text));
  PrintBufferOut out(strBuf);
  bool all = !out.stopped() && out.write(text, length);
  int64_t taken = out.close();
  if (written != nullptr) *written = taken;
  return all ? 1 : 0;
}

int StrBuf_Finish(StrBuf *strBuf) {
  CLASS_CHECK(strBuf, kStrBufTag);
  if (strBuf->buffer != nullptr && strBuf->capacity > 0) strBuf->buffer[strBuf->length] = '\0';
  return strBuf->overflow == 0 ? 1 : 0;
}

int StrBuf_Sink(void *context, uint32_t flags, const char *text, int64_t length,
                int64_t *written) {
  (void)flags;
  CLASS_CHECK(context, kStrBufTag);
  return StrBuf_Write(static_cast<StrBuf *>(context), text, length, written);
}
