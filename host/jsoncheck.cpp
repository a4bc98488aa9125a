// The strict JSON check of the user's files; see jsoncheck.h.
#include "host/jsoncheck.h"

#include <cstring>

#include "core/runtime/core.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

struct Reader {
  const char *text;
  int64_t length;
  int64_t at;
  JsonCheckFault *fault;
};

// The line and column of byte offset where.
void checkPosition(const Reader *r, int64_t where, int32_t *line, int32_t *column) {
  *line = 1;
  *column = 1;
  for (int64_t i = 0; i < where && i < r->length; i++) {
    if (r->text[i] == '\n') {
      ++*line;
      *column = 1;
    } else {
      ++*column;
    }
  }
}

// The fault at byte offset where.
int checkFail(Reader *r, int64_t where, const char *format, const char *detail = "") {
  checkPosition(r, where, &r->fault->line, &r->fault->column);
  Str_Printf(r->fault->reason, kJsonCheckReasonBytes, format, detail);
  return 0;
}

void checkSpace(Reader *r) {
  while (r->at < r->length) {
    char c = r->text[r->at];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
    r->at++;
  }
}

bool checkEnd(Reader *r) { return r->at >= r->length; }

// What stands at the reader: "end of file" or the character quoted.
const char *checkSeen(Reader *r, char (&buffer)[16]) {
  if (checkEnd(r)) return "the end of the file";
  unsigned char c = static_cast<unsigned char>(r->text[r->at]);
  if (c >= 0x20 && c < 0x7f) Str_Printf(buffer, int(sizeof buffer), "'%c'", c);
  else Str_Printf(buffer, int(sizeof buffer), "byte 0x%02x", c);
  return buffer;
}

int checkValue(Reader *r, int depth);

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int checkString(Reader *r) {
  int64_t start = r->at++;
  while (!checkEnd(r)) {
    unsigned char c = static_cast<unsigned char>(r->text[r->at]);
    if (c == '"') {
      r->at++;
      return 1;
    }
    if (c < 0x20) return checkFail(r, r->at, "a control character inside a string (escape it)");
    if (c == '\\') {
      char e = r->at + 1 < r->length ? r->text[r->at + 1] : '\0';
      if (e == 'u') {
        for (int k = 2; k < 6; k++)
          if (r->at + k >= r->length || !isHex(r->text[r->at + k]))
            return checkFail(r, r->at, "\\u needs four hex digits");
        r->at += 6;
        continue;
      }
      if (e == '\0' || !strchr("\"\\/bfnrt", e))
        return checkFail(r, r->at, "an unknown escape in a string");
      r->at += 2;
      continue;
    }
    r->at++;
  }
  return checkFail(r, start, "a string that is not closed (no '\"' before the end of the file)");
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int checkDigits(Reader *r) {
  int64_t from = r->at;
  while (!checkEnd(r) && isDigit(r->text[r->at])) r->at++;
  return r->at > from;
}

int checkNumber(Reader *r) {
  int64_t start = r->at;
  if (r->text[r->at] == '-') r->at++;
  if (!checkEnd(r) && r->text[r->at] == '0') {
    r->at++;
    if (!checkEnd(r) && isDigit(r->text[r->at]))
      return checkFail(r, start, "a number with a leading zero");
  } else if (!checkDigits(r)) {
    return checkFail(r, start, "a number without digits");
  }
  if (!checkEnd(r) && r->text[r->at] == '.') {
    r->at++;
    if (!checkDigits(r)) return checkFail(r, r->at, "no digit after a decimal point");
  }
  if (!checkEnd(r) && (r->text[r->at] == 'e' || r->text[r->at] == 'E')) {
    r->at++;
    if (!checkEnd(r) && (r->text[r->at] == '+' || r->text[r->at] == '-')) r->at++;
    if (!checkDigits(r)) return checkFail(r, r->at, "no digit in an exponent");
  }
  return 1;
}

int checkLiteral(Reader *r) {
  static const char *const kLiterals[] = {"true", "false", "null"};
  for (const char *word : kLiterals) {
    int64_t n = int64_t(strlen(word));
    if (r->length - r->at >= n && memcmp(r->text + r->at, word, size_t(n)) == 0) {
      r->at += n;
      return 1;
    }
  }
  char seen[16];
  return checkFail(r, r->at, "%s cannot begin a value (strings need double quotes)",
                   checkSeen(r, seen));
}

// After '{' or '[': members or elements up to the closing bracket.
int checkContainer(Reader *r, int depth, bool object) {
  char close = object ? '}' : ']';
  const char *what = object ? "object" : "array";
  int64_t open = r->at++;
  if (depth >= kJsonCheckMaxDepth) return checkFail(r, open, "nesting too deep");
  checkSpace(r);
  if (!checkEnd(r) && r->text[r->at] == close) {
    r->at++;
    return 1;
  }
  for (;;) {
    checkSpace(r);
    char seen[16];
    if (checkEnd(r)) break;
    if (object) {
      if (r->text[r->at] != '"')
        return checkFail(r, r->at, "a member name in double quotes expected, not %s",
                         checkSeen(r, seen));
      if (!checkString(r)) return 0;
      checkSpace(r);
      if (checkEnd(r)) break;
      if (r->text[r->at] != ':')
        return checkFail(r, r->at, "missing ':' after the member name, %s instead",
                         checkSeen(r, seen));
      r->at++;
      checkSpace(r);
      if (checkEnd(r)) break;
    }
    if (!checkValue(r, depth + 1)) return 0;
    checkSpace(r);
    if (checkEnd(r)) break;
    char c = r->text[r->at];
    if (c == close) {
      r->at++;
      return 1;
    }
    if (c != ',')
      return checkFail(r, r->at, object ? "missing ',' or '}' after a member, %s instead"
                                        : "missing ',' or ']' after an element, %s instead",
                       checkSeen(r, seen));
    int64_t comma = r->at++;
    checkSpace(r);
    if (!checkEnd(r) && r->text[r->at] == close)
      return checkFail(r, comma, "a trailing comma before '%s'", object ? "}" : "]");
  }
  // The reader names where the container opened: that is what needs closing.
  int32_t line = 1, column = 1;
  checkPosition(r, open, &line, &column);
  char reason[kJsonCheckReasonBytes];
  Str_Printf(reason, int(sizeof reason), "the %s opened at line %d, column %d is not closed", what,
             line, column);
  return checkFail(r, r->length, "%s", reason);
}

int checkValue(Reader *r, int depth) {
  char c = r->text[r->at];
  if (c == '{') return checkContainer(r, depth, true);
  if (c == '[') return checkContainer(r, depth, false);
  if (c == '"') return checkString(r);
  if (c == '-' || isDigit(c)) return checkNumber(r);
  return checkLiteral(r);
}

}  // namespace

int JsonCheck_Text(const char *text, int64_t length, JsonCheckFault *fault) {
  CHECK_POINTER(text);
  CHECK_POINTER(fault);
  *fault = JsonCheckFault{};
  Reader r{text, length, 0, fault};
  if (length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) r.at = 3;
  checkSpace(&r);
  if (checkEnd(&r)) return checkFail(&r, r.at, "no value: the file is empty");
  if (!checkValue(&r, 0)) return 0;
  checkSpace(&r);
  char seen[16];
  if (!checkEnd(&r))
    return checkFail(&r, r.at, "%s after the value (only one value may stand in the file)",
                     checkSeen(&r, seen));
  return 1;
}
