// Command line and its tokenizer; see cmdline.h.
#include "core/runtime/cmdline.h"

#include <cstring>

#include "core/runtime/core.h"
#include "core/runtime/memory.h"

namespace {

// Written only at start-up and shutdown (see the threading rule).
char gCmdLine[kCmdLineBytes];
char **GlobalArgV = nullptr;
int gArgCount = 0;

bool cmdLineIsSeparator(char c) {
  // Bytes from 128 up are UTF-8 text, not separators: compare unsigned.
  return c != '\0' && static_cast<unsigned char>(c) <= 32;
}

char cmdLineLower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// From just behind an opening quote to its closing quote (or the text's end);
// "" inside is one ordinary quote.
const char *cmdLineSkipQuoted(const char *p) {
  while (*p) {
    if (*p == '"') {
      if (p[1] != '"') return p;
      p++;
    }
    p++;
  }
  return p;
}

const char *cmdLinePastQuoted(const char *p) {
  p = cmdLineSkipQuoted(p);
  return *p == '"' ? p + 1 : p;
}

// An unquoted argument: to the next separator; behind the first '=' a lone
// quote opens a quoted value that ends the argument at its closing quote.
const char *cmdLineSkipPlain(const char *p) {
  while (*p && !cmdLineIsSeparator(*p) && *p != '=') p++;
  if (*p != '=') return p;
  p++;
  while (*p && !cmdLineIsSeparator(*p)) {
    if (*p == '"') {
      if (p[1] != '"') return cmdLinePastQuoted(p + 1);
      p++;
    }
    p++;
  }
  return p;
}

// Reads an argument's text without its quoting. A leading quote opens quoted
// mode, in which a lone quote ends the text; "" always gives one quote; in
// plain mode a lone quote is an ordinary character.
struct CmdLineReader {
  const char *p;
  const char *end;
  bool quoted;
};

CmdLineReader cmdLineReader(const char *from, const char *end, bool quoted) {
  if (!quoted && from < end && *from == '"') {
    from++;
    quoted = true;
  }
  return {from, end, quoted};
}

bool cmdLineNext(CmdLineReader *r, char *c) {
  if (r->p >= r->end) return false;
  if (*r->p == '"') {
    if (r->p + 1 < r->end && r->p[1] == '"') {
      r->p += 2;
      *c = '"';
      return true;
    }
    if (r->quoted) {
      r->p = r->end;
      return false;
    }
  }
  *c = *r->p++;
  return true;
}

// Copies what the reader gives, cut to size - 1 bytes; returns the length
// copied. A NULL out only measures.
int cmdLineCopy(CmdLineReader r, char *out, int size) {
  int length = 0;
  char c;
  while (cmdLineNext(&r, &c)) {
    if (out != nullptr) {
      if (length >= size - 1) break;
      out[length] = c;
    }
    length++;
  }
  if (out != nullptr && size > 0) out[length] = '\0';
  return length;
}

// Reads "--", the name (ASCII case ignored) and, when withEquals, an '='.
bool cmdLineMatchOption(CmdLineReader *r, const char *name, bool withEquals) {
  char c;
  for (const char *expected = "--"; *expected; expected++)
    if (!cmdLineNext(r, &c) || c != *expected) return false;
  for (const char *n = name; *n; n++)
    if (!cmdLineNext(r, &c) || cmdLineLower(c) != cmdLineLower(*n)) return false;
  if (withEquals) return cmdLineNext(r, &c) && c == '=';
  return !cmdLineNext(r, &c);
}

const char *cmdLineText(const char *cmdline) { return cmdline ? cmdline : gCmdLine; }

// Steps *p over the next argument: [*start, *end) is its text as written.
// Returns false at the end of the text.
bool cmdLineNextArgument(const char **p, const char **start, const char **end) {
  const char *s = *p;
  while (cmdLineIsSeparator(*s)) s++;
  if (*s == '\0') {
    *p = s;
    return false;
  }
  *start = s;
  // Every leading quote opens a quoted argument, also one followed by a
  // second quote: an argument that itself begins with a quote is joined as
  // """..." and must come back whole. A quoted argument ends behind its
  // closing quote, so scanning goes on after it ("abc"def is two arguments).
  *end = *s == '"' ? cmdLinePastQuoted(s + 1) : cmdLineSkipPlain(s);
  *p = *end;
  return true;
}

void cmdLineClearOut(char *out, int size) {
  if (size > 0) out[0] = '\0';
}

// Whether an argument must be quoted to come back unchanged.
bool cmdLineNeedsQuotes(const char *argument) {
  if (*argument == '\0') return true;
  for (const char *p = argument; *p; p++)
    if (static_cast<unsigned char>(*p) <= 32 || *p == '"') return true;
  return false;
}

// The length the argument takes in a joined command line.
int64_t cmdLineQuotedLength(const char *argument) {
  int64_t length = int64_t(strlen(argument));
  if (!cmdLineNeedsQuotes(argument)) return length;
  for (const char *p = argument; *p; p++)
    if (*p == '"') length++;
  return length + 2;
}

// Appends the argument at out (room checked by the caller); returns the end.
char *cmdLineWriteQuoted(char *out, const char *argument) {
  bool quote = cmdLineNeedsQuotes(argument);
  if (quote) *out++ = '"';
  for (const char *p = argument; *p; p++) {
    if (*p == '"') *out++ = '"';
    *out++ = *p;
  }
  if (quote) *out++ = '"';
  return out;
}

// The longest prefix of at most max bytes that does not end inside a UTF-8
// character.
int cmdLineCutLength(const char *text, int max) {
  int length = int(strnlen(text, size_t(max) + 1));
  if (length <= max) return length;
  length = max;
  // Step back over continuation bytes to the lead byte; drop that character
  // unless it ends exactly at the cut.
  int lead = length;
  while (lead > 0 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) lead--;
  return lead;
}

}  // namespace

int CmdLine_JoinArgv(int argc, const char *const *argv, char *buffer, int size) {
  CHECK_POINTER(argv);
  CHECK_POINTER(buffer);
  if (size < 1) return 0;
  int64_t length = 0;
  buffer[0] = '\0';
  for (int i = 0; i < argc; i++) {
    CHECK_POINTER(argv[i]);
    int64_t need = cmdLineQuotedLength(argv[i]) + (i > 0 ? 1 : 0);
    if (length + need > size - 1) return 0;
    char *out = buffer + length;
    if (i > 0) *out++ = ' ';
    out = cmdLineWriteQuoted(out, argv[i]);
    *out = '\0';
    length = out - buffer;
  }
  return 1;
}

int CmdLine_Init(const char *text) {
  CHECK_POINTER(text);
  if (GlobalArgV != nullptr)
    Core_Abort(KSRC, "Assertion failed (GlobalArgV == NULL)\nCommand line already initialized");
  int length = cmdLineCutLength(text, kCmdLineMaxChars);
  memcpy(gCmdLine, text, size_t(length));
  gCmdLine[length] = '\0';

  int count = 0;
  CmdLine_GetArgCount(gCmdLine, &count);
  // Called before tracked memory is set up in a real start-up: these blocks
  // carry no tracking record, which the allocator allows.
  auto **argv =
      static_cast<char **>(Mem_Alloc(int64_t(count + 1) * int64_t(sizeof(char *)), MEM_ZEROED, KSRC));
  const char *p = gCmdLine, *start, *end;
  for (int i = 0; i < count && cmdLineNextArgument(&p, &start, &end); i++) {
    CmdLineReader reader = cmdLineReader(start, end, false);
    int argLength = cmdLineCopy(reader, nullptr, 0);
    argv[i] = static_cast<char *>(Mem_Alloc(argLength + 1, 0, KSRC));
    cmdLineCopy(reader, argv[i], argLength + 1);
  }
  gArgCount = count;
  GlobalArgV = argv;
  return text[length] == '\0';
}

void CmdLine_Free(void) {
  if (GlobalArgV == nullptr)
    Core_Abort(KSRC, "Assertion failed (GlobalArgV != NULL)\nCommand line not initialized");
  for (int i = 0; i < gArgCount; i++)
    Mem_Free(GlobalArgV[i], int64_t(strlen(GlobalArgV[i])) + 1, KSRC);
  Mem_Free(GlobalArgV, int64_t(gArgCount + 1) * int64_t(sizeof(char *)), KSRC);
  GlobalArgV = nullptr;
  gArgCount = 0;
  gCmdLine[0] = '\0';
}

int CmdLine_Append(const char *text) {
  CHECK_POINTER(text);
  size_t used = strlen(gCmdLine);
  size_t add = strlen(text);
  bool blank = used > 0 && gCmdLine[used - 1] != ' ';
  if (used + (blank ? 1 : 0) + add > size_t(kCmdLineMaxChars)) return 0;
  if (blank) gCmdLine[used++] = ' ';
  memcpy(gCmdLine + used, text, add + 1);
  return 1;
}

const char *const *CmdLine_GetArgV(int *count) {
  if (count != nullptr) *count = gArgCount;
  return GlobalArgV;
}

int CmdLine_Tokenize(const char *cmdline, int index, int *count, const char **start,
                     const char **end) {
  CHECK_POINTER(count);
  CHECK_POINTER(start);
  CHECK_POINTER(end);
  const char *p = cmdLineText(cmdline);
  int seen = 0;
  while (cmdLineNextArgument(&p, start, end))
    if (seen++ == index) {
      *count = seen;
      return 1;
    }
  *count = seen;
  *start = p;
  *end = p;
  return 0;
}

int CmdLine_GetArgCount(const char *cmdline, int *count) {
  CHECK_POINTER(count);
  const char *start, *end;
  CmdLine_Tokenize(cmdline, -1, count, &start, &end);
  return *count > 0;
}

int CmdLine_GetArg(const char *cmdline, int index, char *out, int size) {
  CHECK_POINTER(out);
  cmdLineClearOut(out, size);
  int count;
  const char *start, *end;
  if (!CmdLine_Tokenize(cmdline, index, &count, &start, &end)) return 0;
  cmdLineCopy(cmdLineReader(start, end, false), out, size);
  return 1;
}

int CmdLine_GetOption(const char *cmdline, const char *name, char *out, int size) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  cmdLineClearOut(out, size);
  const char *p = cmdLineText(cmdline), *start, *end;
  while (cmdLineNextArgument(&p, &start, &end)) {
    CmdLineReader reader = cmdLineReader(start, end, false);
    if (!cmdLineMatchOption(&reader, name, true)) continue;
    // In an argument quoted whole the value is already inside the quotes;
    // otherwise the value may bring its own.
    if (!reader.quoted) reader = cmdLineReader(reader.p, end, false);
    cmdLineCopy(reader, out, size);
    return 1;
  }
  return 0;
}

int CmdLine_HasOption(const char *cmdline, const char *name) {
  CHECK_POINTER(name);
  const char *p = cmdLineText(cmdline), *start, *end;
  while (cmdLineNextArgument(&p, &start, &end)) {
    CmdLineReader reader = cmdLineReader(start, end, false);
    if (cmdLineMatchOption(&reader, name, false)) return 1;
  }
  return 0;
}

int CmdLine_GetOptionName(const char *argument, char *out, int size) {
  CHECK_POINTER(argument);
  CHECK_POINTER(out);
  cmdLineClearOut(out, size);
  if (argument[0] != '-' || argument[1] != '-') return 0;
  const char *name = argument + 2;
  int length = 0;
  while (name[length] && name[length] != ' ' && name[length] != '=') length++;
  if (length >= size) return 0;
  memcpy(out, name, size_t(length));
  out[length] = '\0';
  return 1;
}
