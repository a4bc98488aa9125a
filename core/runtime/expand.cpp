// The macro expander, its chain of handlers and the handlers for system
// values, string functions, arithmetic, the command line and time; see
// core/runtime/expand.h.
#include "core/runtime/expand.h"

#include <zlib.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "core/runtime/base64.h"
#include "core/runtime/cmdline.h"
#include "core/runtime/core.h"
#include "core/formats/dictionary.h"
#include "core/security/hash.h"
#include "core/security/hmac.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/runtime/print.h"
#include "core/platform/registry.h"
#include "core/runtime/str.h"
#include "core/runtime/time.h"

static_assert(kStrExpandOutputBytes == kHashMacroOutputBytes,
              "the digest handlers write the expander's whole output buffer");

namespace {

// ---- The chain ------------------------------------------------------------

int expandBase64Slot(const char *name, char *argument, char *out, int outSize) {
  return Base64_MacroHandler(name, argument, out, outSize);
}

int expandHashSlot(const char *name, char *argument, char *out, int outSize) {
  if (outSize < kHashMacroOutputBytes) return 0;
  return Hash_MacroHandler(nullptr, name, argument, out);
}

int expandRegistrySlot(const char *name, char *argument, char *out, int outSize) {
  if (outSize < kStrExpandOutputBytes) return 0;
  return Registry_MacroHandler(name, argument, out);
}

int expandHmacSlot(const char *name, char *argument, char *out, int outSize) {
  if (outSize < kHashMacroOutputBytes) return 0;
  return Hmac_MacroHandler(nullptr, name, argument, out);
}

// Slot order is the chain's order. Slots without a handler here are filled by
// their modules at start-up.
std::atomic<StrExpandChainHandler> gExpandSlots[kStrExpandSlotCount] = {
    Str_SystemMacroHandler,       // System
    Str_StringMacroHandler,       // String
    Str_MathMacroHandler,         // Math
    Str_CommandLineMacroHandler,  // CommandLine
    nullptr,                      // Path
    nullptr,                      // Version
    expandBase64Slot,             // Base64
    expandHashSlot,               // Hash
    nullptr,                      // Url
    nullptr,                      // Network
    expandRegistrySlot,           // Registry
    expandHmacSlot,               // Hmac
};

int expandSlotIndex(StrExpandSlot slot) {
  int index = int(slot);
  if (index < 0 || index >= kStrExpandSlotCount)
    Core_Abort(KSRC, "Invalid macro handler slot %d\n", index);
  return index;
}

// ---- The expander ---------------------------------------------------------

// One call's state. The buffers are shared by all nesting levels: a level
// uses macro and output only while it offers its own macro, after its inner
// macros are done.
struct ExpandContext {
  char work[kStrExpandWorkBytes];
  char macro[kStrExpandWorkBytes];  // between the braces, split in place; never cut
  char output[kStrExpandOutputBytes];
  int length;  // of the text in work
  int replacements;
  int offers;
  void *userData;
  StrExpandHandler handler;
};

// The text that the innermost running Str_Expand on this thread expands, for
// "This".
thread_local const char *tExpandText = nullptr;

bool expandIsAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The first c in [from, end); -1 when there is none.
int expandFindBefore(const ExpandContext *context, int from, int end, char c) {
  if (from >= end) return -1;
  const void *at = memchr(context->work + from, c, size_t(end - from));
  return at ? int(static_cast<const char *>(at) - context->work) : -1;
}

// The first c at or after from; -1 when there is none.
int expandFind(const ExpandContext *context, int from, char c) {
  return expandFindBefore(context, from, context->length, c);
}

// What expanding one macro did: where the scan goes on, and whether the
// macro's bytes changed (its result may then hold new macros at its place).
struct ExpandStep {
  int end;  // just behind the macro, or behind its result
  bool changed;
};

uint32_t expandCrc(const char *data, int length) {
  return uint32_t(crc32(0, reinterpret_cast<const Bytef *>(data), uInt(length)));
}

// Offers name and argument to the slots in order, then to the caller's
// handler. Returns 1 when one answered.
int expandAsk(ExpandContext *context, const char *name, char *argument) {
  for (auto &slot : gExpandSlots) {
    StrExpandChainHandler handler = slot.load(std::memory_order_acquire);
    if (handler == nullptr) continue;
    context->output[0] = '\0';
    if (handler(name, argument, context->output, kStrExpandOutputBytes)) return 1;
  }
  if (context->handler == nullptr) return 0;
  context->output[0] = '\0';
  return context->handler(context->userData, name, argument, context->output,
                          kStrExpandOutputBytes);
}

// Offers the macro from the '{' at open to the '}' at close and puts the
// answer in its place. Returns 0 when the result does not fit or a limit is
// passed; 1 otherwise (also when nobody knew the name).
int expandOffer(ExpandContext *context, int open, int close, ExpandStep *step) {
  step->end = close + 1;
  step->changed = false;
  int inner = close - open - 1;
  memcpy(context->macro, context->work + open + 1, size_t(inner));
  context->macro[inner] = '\0';
  char *argument = context->macro + inner;
  if (char *colon = static_cast<char *>(memchr(context->macro, ':', size_t(inner)))) {
    *colon = '\0';
    argument = colon + 1;
  }
  const char *name = context->macro;
  if (++context->offers > kStrExpandMaxOffers) {
    Log_Print(LOG_DEBUG, KSRC, 0, "String expansion stopped after %d macros offered at %s\n",
              kStrExpandMaxOffers, name);
    return 0;
  }
  if (!expandAsk(context, name, argument)) return 1;

  int outputLength = int(strnlen(context->output, kStrExpandOutputBytes));
  int room = kStrExpandWorkBytes - 1 - (context->length - (inner + 2));
  if (outputLength > room || outputLength == kStrExpandOutputBytes) {
    Log_Print(LOG_DEBUG, KSRC, 0, "String expansion failed for %s [%d > %d]\n", name, outputLength,
              room);
    return 0;
  }
  // A result equal to the macro changes nothing; scanning it again would
  // only give it again.
  if (outputLength == inner + 2 &&
      expandCrc(context->output, outputLength) == expandCrc(context->work + open, inner + 2))
    return 1;
  if (++context->replacements > kStrExpandMaxMacros) {
    Log_Print(LOG_DEBUG, KSRC, 0, "String expansion stopped after %d macros at %s\n",
              kStrExpandMaxMacros, name);
    return 0;
  }
  // The tail moves with its terminator.
  memmove(context->work + open + outputLength, context->work + close + 1,
          size_t(context->length - close));
  memcpy(context->work + open, context->output, size_t(outputLength));
  context->length += outputLength - (inner + 2);
  step->end = open + outputLength;
  step->changed = true;
  return 1;
}

// Expands the macro whose '{' is at open, its inner macros first: the first
// '}' with no macro before it closes it. depth counts the levels, the
// outermost being 1.
int expandMacro(ExpandContext *context, int open, int depth, ExpandStep *step) {
  if (depth > kStrExpandMaxDepth) {
    Log_Print(LOG_DEBUG, KSRC, 0, "String expansion failed: macros nested deeper than %d\n",
              kStrExpandMaxDepth);
    return 0;
  }
  int from = open + 1;
  int close = expandFind(context, from, '}');
  for (;;) {
    if (close < 0) {  // an inner result took the closing brace away
      *step = {context->length, false};
      return 1;
    }
    // Only a '{' before the '}' starts an inner macro; the search stops
    // there, so a pass costs the length of the macro, not of the text.
    int brace = expandFindBefore(context, from, close, '{');
    if (brace < 0) return expandOffer(context, open, close, step);
    if (!expandIsAlnum(context->work[brace + 1])) {
      from = brace + 1;
      continue;
    }
    ExpandStep inner;
    if (!expandMacro(context, brace, depth + 1, &inner)) return 0;
    // A changed place may hold new macros: look there again. An unchanged
    // one is done, whatever changed inside it.
    from = inner.changed ? brace : inner.end;
    close = expandFind(context, from, '}');
  }
}

// Expands every macro of the work text, left to right.
int expandRun(ExpandContext *context) {
  int from = 0;
  int close = -1;  // a '}' after from, when known
  for (;;) {
    int open = expandFind(context, from, '{');
    if (open < 0) return 1;
    if (close <= open) close = expandFind(context, open + 1, '}');
    if (close < 0) return 1;
    if (!expandIsAlnum(context->work[open + 1])) {
      from = open + 1;
      continue;
    }
    ExpandStep step;
    if (!expandMacro(context, open, 1, &step)) return 0;
    from = step.changed ? open : step.end;
    close = -1;
  }
}

// 1 when a '{' followed by a letter or digit has a '}' somewhere after it.
bool expandHasMacro(const char *text, size_t length) {
  size_t i = 0;
  while (i < length && !(text[i] == '{' && expandIsAlnum(text[i + 1]))) i++;
  return i < length && memchr(text + i, '}', length - i) != nullptr;
}

// ---- Handler helpers ------------------------------------------------------

// Part of an argument: not terminated, except the last part of a split.
struct ExpandView {
  const char *data;
  size_t length;
};

// Splits argument into count parts at its first count - 1 commas; the last
// part takes the rest. Returns 0 when a comma is missing.
int expandSplit(const char *argument, ExpandView *parts, int count) {
  const char *p = argument;
  for (int i = 0; i < count - 1; i++) {
    const char *comma = strchr(p, ',');
    if (comma == nullptr) return 0;
    parts[i] = {p, size_t(comma - p)};
    p = comma + 1;
  }
  parts[count - 1] = {p, strlen(p)};
  return 1;
}

bool expandViewIs(const ExpandView &view, const char *text) {
  return view.length == strlen(text) && memcmp(view.data, text, view.length) == 0;
}

// No result (it does not fit, or the argument does not convert): the macro
// stays in the text as written.
int expandDecline(char *out) {
  out[0] = '\0';
  return 0;
}

// Copies length bytes as the result. Returns 0 with out empty when they do
// not fit.
int expandPut(char *out, int outSize, const char *data, size_t length) {
  if (length >= size_t(outSize)) return expandDecline(out);
  memcpy(out, data, length);
  out[length] = '\0';
  return 1;
}

int expandPutText(char *out, int outSize, const char *text) {
  return expandPut(out, outSize, text, strlen(text));
}

int expandPutEmpty(char *out, int) {
  out[0] = '\0';
  return 1;
}

int expandPutInt64(char *out, int outSize, int64_t value) {
  char text[24];
  Str_Printf(text, sizeof text, "%lld", (long long)value);
  return expandPutText(out, outSize, text);
}

// A name and the function that answers it.
struct ExpandNamed {
  const char *name;
  int (*run)(const char *argument, char *out, int outSize);
};

template <size_t N>
int expandDispatch(const ExpandNamed (&table)[N], const char *name, const char *argument, char *out,
                   int outSize) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (argument == nullptr || outSize < 1) return 0;
  for (const ExpandNamed &entry : table)
    if (Str_CompareNoCase(name, entry.name) == 0) return entry.run(argument, out, outSize);
  return 0;
}

// ---- System values --------------------------------------------------------

// The well-known directory names and their Platform_GetPath ids.
constexpr struct {
  const char *name;
  PathId id;
} kExpandPathNames[] = {
    {"UserStartMenu", kPathUserStartMenu},
    {"CommonStartMenu", kPathCommonStartMenu},
    {"ProgramFiles", kPathProgramFiles},
    {"ProgramFiles64", kPathProgramFiles64},
    {"UserHome", kPathUserHome},
    {"UserDocuments", kPathUserDocuments},
    {"UserDesktop", kPathUserDesktop},
    {"CommonDesktop", kPathCommonDesktop},
    {"UserAppData", kPathUserAppData},
    {"UserAppDataRoaming", kPathUserAppDataRoaming},
    {"CommonAppData", kPathCommonAppData},
    {"Temp", kPathTemp},
    {"AdminTemp", kPathAdminTemp},
    {"SystemDirectory", kPathSystemDirectory},
    {"SystemDrive", kPathSystemDrive},
    {"ModulePath", kPathModulePath},
    {"ModuleDirectory", kPathModuleDirectory},
    {"ModuleDllPath", kPathModuleDllPath},
    {"ModuleDllDirectory", kPathModuleDllDirectory},
    {"PipePath", kPathPipePath},
    {"WorkingDirectory", kPathWorkingDirectory},
    {"UserDownloads", kPathUserDownloads},
};

// Values fixed for this platform.
constexpr struct {
  const char *name;
  const char *value;
} kExpandFixedValues[] = {
    {"ModuleBitness", "64"},  {"ToolSuffix", ""},         {"BundleSuffix", ""},
    {"LibraryPrefix", "lib"}, {"LibraryExtension", "so"}, {"SystemShortName", "linux"},
    {"SystemName", "Linux"},
};

// The program file's name behind its last '/' or '\\'.
int expandModuleFileName(char *out, int outSize) {
  char path[kPathMax];
  if (!Platform_GetModuleFileName(nullptr, path, sizeof path)) return 0;
  const char *name = path;
  for (const char *p = path; *p; p++)
    if (*p == '/' || *p == '\\') name = p + 1;
  return expandPutText(out, outSize, name);
}

// ---- System values --------------------------------------------------------

// Every video card's name followed by ',' (a ',' inside a name becomes '.'),
// the last ',' removed.
int expandVideoCardNames(const char *, char *out, int outSize) {
  out[0] = '\0';
  int length = 0;
  char name[kPlatformInfoBytes];
  for (int index = 0; Platform_GetVideoCardName(index, name, sizeof name); index++) {
    for (char *p = name; *p; p++)
      if (*p == ',') *p = '.';
    int nameLength = int(strlen(name));
    if (length + nameLength + 1 >= outSize) break;
    memcpy(out + length, name, size_t(nameLength));
    length += nameLength;
    out[length++] = ',';
    out[length] = '\0';
  }
  if (length > 0) out[length - 1] = '\0';
  return 1;
}

// Every video card's memory as "%lld," each, the last ',' removed.
int expandVideoCardMemories(const char *, char *out, int outSize) {
  out[0] = '\0';
  uint64_t bytes = 0;
  for (int index = 0; Platform_GetVideoCardMemory(index, &bytes); index++) {
    char text[24];
    Str_Printf(text, sizeof text, "%lld,", (long long)bytes);
    if (Str_Cat(out, text, outSize) == 0) break;
  }
  size_t length = strlen(out);
  if (length > 0 && out[length - 1] == ',') out[length - 1] = '\0';
  return 1;
}

// Every anti-virus product's name, joined with ','.
int expandAntiVirusNames(const char *, char *out, int outSize) {
  out[0] = '\0';
  char name[kPlatformInfoBytes];
  for (int index = 0; Platform_GetAntiVirus(index, name, sizeof name); index++) {
    if (index > 0) Str_Cat(out, ",", outSize);
    Str_Cat(out, name, outSize);
  }
  return 1;
}

constexpr ExpandNamed kExpandSystemValues[] = {
    {"ModuleFileName",
     [](const char *, char *out, int outSize) { return expandModuleFileName(out, outSize); }},
    {"ModuleFileTitle",
     [](const char *, char *out, int outSize) {
       if (!expandModuleFileName(out, outSize)) return 0;
       if (char *dot = strrchr(out, '.')) *dot = '\0';
       return 1;
     }},
    {"ModuleAppPath",
     [](const char *, char *out, int outSize) {
       return Platform_GetModuleFileName(nullptr, out, outSize);
     }},
    {"ModuleAppDirectory",
     [](const char *, char *out, int outSize) {
       return Platform_GetModuleDirectory(nullptr, out, outSize);
     }},
    {"ModuleLogDirectory",
     [](const char *, char *out, int outSize) {
       return Platform_GetAppDataDirectory(out, outSize);
     }},
    {"ModuleElevated",
     [](const char *, char *out, int outSize) {
       int elevated = 0;
       return expandPutText(out, outSize, Platform_IsElevated(&elevated) && elevated ? "1" : "0");
     }},
    {"ProcessId",
     [](const char *, char *out, int outSize) {
       return expandPutInt64(out, outSize, Platform_GetProcessId());
     }},
    {"Env",
     [](const char *argument, char *out, int outSize) {
       // Unset (or too long for out): not handled, so the macro stays.
       if (argument[0] == '\0') return 0;
       return Platform_GetEnvironmentVariable(argument, out, outSize);
     }},
    {"DiskSpace",
     [](const char *argument, char *out, int outSize) {
       int64_t freeBytes = 0;
       if (!Platform_GetVolumeFreeBytes(argument, &freeBytes)) return expandPutEmpty(out, outSize);
       return expandPutInt64(out, outSize, freeBytes);
     }},
    {"SystemVersion",
     [](const char *, char *out, int outSize) {
       return Platform_GetSystemVersionString(out, outSize);
     }},
    {"UserName",
     [](const char *, char *out, int outSize) { return Platform_GetUserName(out, outSize); }},
    {"UserISO639LangName",
     [](const char *, char *out, int outSize) {
       return Platform_GetUserISO639LangName(out, outSize);
     }},
    {"UserISO3166CountryName",
     [](const char *, char *out, int outSize) {
       return Platform_GetUserISO3166CountryName(out, outSize);
     }},
    {"DiskSerial",
     [](const char *argument, char *out, int outSize) {
       return Platform_GetDiskSerial(argument[0] != '\0' ? argument : "/", out, outSize);
     }},
    {"DirectXVersion",
     [](const char *, char *out, int outSize) {
       Platform_GetDirectXVersion(out, outSize);
       return 1;
     }},
    {"OpenGLVersion",
     [](const char *, char *out, int outSize) {
       return Platform_GetOpenGLVersion(out, outSize);
     }},
    {"VideoCardTypeList", expandVideoCardNames},
    {"VideoCardType",
     [](const char *argument, char *out, int outSize) {
       if (argument[0] == '\0') return expandVideoCardNames(argument, out, outSize);
       return Platform_GetVideoCardName(int(Str_ToInt64(argument)), out, outSize);
     }},
    {"VideoCardMemoryList", expandVideoCardMemories},
    {"VideoCardMemory",
     [](const char *argument, char *out, int outSize) {
       if (argument[0] == '\0') return expandVideoCardMemories(argument, out, outSize);
       uint64_t bytes = 0;
       if (!Platform_GetVideoCardMemory(int(Str_ToInt64(argument)), &bytes)) return 0;
       return expandPutInt64(out, outSize, int64_t(bytes));
     }},
    {"SystemBitness",
     [](const char *, char *out, int outSize) {
       return expandPutInt64(out, outSize, Platform_GetSystemBitness());
     }},
    {"SystemMemory",
     [](const char *, char *out, int outSize) {
       uint64_t bytes = 0;
       if (!Platform_GetSystemMemory(&bytes)) return 0;
       return expandPutInt64(out, outSize, int64_t(bytes));
     }},
    {"CPUSpeed",
     [](const char *, char *out, int outSize) {
       uint32_t mhz = 0;
       if (!Platform_GetCPUSpeed(&mhz)) return 0;
       return expandPutInt64(out, outSize, mhz);
     }},
    {"CPUVendor",
     [](const char *, char *out, int outSize) { return Platform_GetCPUVendor(out, outSize); }},
    {"CPUDescription",
     [](const char *, char *out, int outSize) {
       return Platform_GetCPUDescription(out, outSize);
     }},
    {"CPUCount",
     [](const char *, char *out, int outSize) {
       return expandPutInt64(out, outSize, int64_t(std::thread::hardware_concurrency()));
     }},
    {"AntiVirusList", expandAntiVirusNames},
    {"AntiVirus",
     [](const char *argument, char *out, int outSize) {
       return Platform_GetAntiVirus(int(Str_ToInt64(argument)), out, outSize);
     }},
    // "DiskImage" is left to later handlers on purpose.
};

// ---- String functions -----------------------------------------------------

int expandSubstring(const char *argument, char *out, int outSize) {
  ExpandView parts[3];
  if (!expandSplit(argument, parts, 3)) return expandPutEmpty(out, outSize);
  int64_t length = int64_t(parts[2].length);
  int64_t start = Str_ToInt64(parts[0].data);
  int64_t end = Str_ToInt64(parts[1].data);
  if (start < 0) start = 0;
  if (end == -1 || end > length) end = length;
  if (end < 0 || start >= end) return expandPutEmpty(out, outSize);
  return expandPut(out, outSize, parts[2].data + start, size_t(end - start));
}

int expandReplace(const char *argument, char *out, int outSize) {
  ExpandView parts[3];
  if (!expandSplit(argument, parts, 3)) return expandPutEmpty(out, outSize);
  const ExpandView &from = parts[0], &to = parts[1], &text = parts[2];
  if (from.length == 0) return expandPut(out, outSize, text.data, text.length);
  size_t written = 0;
  const char *p = text.data, *end = text.data + text.length;
  while (p < end) {
    const char *found = nullptr;
    bool hit = Mem_Find(p, end - p, from.data, int64_t(from.length), &found);
    size_t keep = hit ? size_t(found - p) : size_t(end - p);
    size_t add = keep + (hit ? to.length : 0);
    if (written + add >= size_t(outSize)) return expandDecline(out);
    memcpy(out + written, p, keep);
    if (hit) memcpy(out + written + keep, to.data, to.length);
    written += add;
    p += keep + (hit ? from.length : 0);
  }
  out[written] = '\0';
  return 1;
}

int expandFromHex(const char *argument, char *out, int outSize) {
  int64_t length = 0;
  if (Str_HexDecode(argument, int64_t(strlen(argument)), out, outSize - 1, &length)) {
    out[length] = '\0';
    return 1;
  }
  return expandDecline(out);
}

int expandToHex(const void *data, size_t length, char *out, int outSize) {
  if (length * 2 >= size_t(outSize)) return expandDecline(out);
  Str_HexEncode(data, int64_t(length), 0, out, outSize);
  return 1;
}

// The low width bytes of value, least significant first, as hex.
int expandNumberToHex(uint64_t value, int width, char *out, int outSize) {
  uint8_t bytes[8];
  for (int i = 0; i < width; i++) bytes[i] = uint8_t(value >> (8 * i));
  return expandToHex(bytes, size_t(width), out, outSize);
}

// Compares a with b under op; an unknown op gives 0.
template <typename T>
int expandCompare(T a, const ExpandView &op, T b) {
  if (expandViewIs(op, ">")) return a > b;
  if (expandViewIs(op, "<")) return a < b;
  if (expandViewIs(op, ">=")) return a >= b;
  if (expandViewIs(op, "<=")) return a <= b;
  if (expandViewIs(op, "=") || expandViewIs(op, "==")) return a == b;
  return 0;
}

int expandCompareNumbers(const char *argument, char *out, int outSize, bool isSigned) {
  ExpandView parts[3];
  if (!expandSplit(argument, parts, 3)) return expandPutEmpty(out, outSize);
  int holds =
      isSigned ? expandCompare(Str_ToInt64(parts[0].data), parts[1], Str_ToInt64(parts[2].data))
               : expandCompare(Str_ToUInt64(parts[0].data), parts[1], Str_ToUInt64(parts[2].data));
  return expandPutText(out, outSize, holds ? "1" : "0");
}

int expandVersionCompare(const char *argument, char *out, int outSize) {
  ExpandView parts[3];
  if (!expandSplit(argument, parts, 3)) return expandPutEmpty(out, outSize);
  // Longer than any version that parses.
  char a[64];
  int result = 0;
  bool parsed = false;
  if (parts[0].length < sizeof a) {
    Str_CopyN(a, sizeof a, parts[0].data, int(parts[0].length));
    parsed = Str_CompareVersion(a, parts[2].data, &result);
  }
  return expandPutText(out, outSize, parsed && expandCompare(result, parts[1], 0) ? "1" : "0");
}

int expandLimit(const char *argument, char *out, int outSize) {
  ExpandView parts[2];
  if (!expandSplit(argument, parts, 2)) return expandPutEmpty(out, outSize);
  int64_t count = Str_ToInt64(parts[0].data);
  if (count <= 0) return expandPutEmpty(out, outSize);
  size_t length = parts[1].length;
  if (uint64_t(count) < length) length = size_t(count);
  return expandPut(out, outSize, parts[1].data, length);
}

int expandTrim(const char *argument, char *out, int outSize) {
  ExpandView set{"\t\r\n ", 4};
  ExpandView text{argument, strlen(argument)};
  ExpandView parts[2];
  if (expandSplit(argument, parts, 2)) {
    set = parts[0];
    text = parts[1];
  }
  auto inSet = [&set](char c) { return memchr(set.data, c, set.length) != nullptr; };
  const char *begin = text.data, *end = text.data + text.length;
  while (begin < end && inSet(*begin)) begin++;
  while (end > begin && inSet(end[-1])) end--;
  return expandPut(out, outSize, begin, size_t(end - begin));
}

// Copies the argument and changes the case of its first character (all
// characters with whole set).
int expandCase(const char *argument, char *out, int outSize, bool upper, bool whole) {
  if (!expandPutText(out, outSize, argument)) return 0;
  for (char *p = out; *p && (whole || p == out); p++) {
    if (upper && *p >= 'a' && *p <= 'z') *p = char(*p - 'a' + 'A');
    if (!upper && *p >= 'A' && *p <= 'Z') *p = char(*p - 'A' + 'a');
  }
  return 1;
}

int expandIndexOf(const char *argument, char *out, int outSize, bool last) {
  ExpandView parts[2];
  if (!expandSplit(argument, parts, 2)) return expandPutEmpty(out, outSize);
  const ExpandView &needle = parts[0], &text = parts[1];
  int64_t index = -1;
  if (needle.length <= text.length) {
    if (last) {
      for (size_t i = text.length - needle.length + 1; i-- > 0;) {
        if (memcmp(text.data + i, needle.data, needle.length) == 0) {
          index = int64_t(i);
          break;
        }
      }
    } else {
      const char *found = nullptr;
      if (Mem_Find(text.data, int64_t(text.length), needle.data, int64_t(needle.length), &found))
        index = found - text.data;
    }
  }
  return expandPutInt64(out, outSize, index);
}

int expandIf(const char *argument, char *out, int outSize) {
  ExpandView parts[2];
  if (!expandSplit(argument, parts, 2)) return expandPutEmpty(out, outSize);
  // A condition longer than this is no word that Str_ToBool reads.
  char condition[16];
  int value = 0;
  if (parts[0].length < sizeof condition) {
    Str_CopyN(condition, sizeof condition, parts[0].data, int(parts[0].length));
    Str_ToBool(condition, &value, 0);
  }
  // then ends at the next ','; without one there is no else part.
  ExpandView branches[2];
  if (!expandSplit(parts[1].data, branches, 2)) {
    branches[0] = parts[1];
    branches[1] = {"", 0};
  }
  const ExpandView &chosen = value ? branches[0] : branches[1];
  return expandPut(out, outSize, chosen.data, chosen.length);
}

constexpr ExpandNamed kExpandStringFunctions[] = {
    {"This",
     [](const char *, char *out, int outSize) {
       const char *text = tExpandText ? tExpandText : "";
       const char *brace = strchr(text, '{');
       return expandPut(out, outSize, text, brace ? size_t(brace - text) : strlen(text));
     }},
    {"Copy",
     [](const char *argument, char *out, int outSize) {
       return expandPutText(out, outSize, argument);
     }},
    {"Substring", expandSubstring},
    {"SubCopy", expandSubstring},
    {"Replace", expandReplace},
    {"FromHex", expandFromHex},
    {"ToHex",
     [](const char *argument, char *out, int outSize) {
       return expandToHex(argument, strlen(argument), out, outSize);
     }},
    {"Int32ToHex",
     [](const char *argument, char *out, int outSize) {
       return expandNumberToHex(uint64_t(Str_ToInt64(argument)), 4, out, outSize);
     }},
    {"Int64ToHex",
     [](const char *argument, char *out, int outSize) {
       return expandNumberToHex(uint64_t(Str_ToInt64(argument)), 8, out, outSize);
     }},
    {"UInt32ToHex",
     [](const char *argument, char *out, int outSize) {
       return expandNumberToHex(Str_ToUInt64(argument), 4, out, outSize);
     }},
    {"UInt64ToHex",
     [](const char *argument, char *out, int outSize) {
       return expandNumberToHex(Str_ToUInt64(argument), 8, out, outSize);
     }},
    {"Int64Compare",
     [](const char *argument, char *out, int outSize) {
       return expandCompareNumbers(argument, out, outSize, true);
     }},
    {"UInt64Compare",
     [](const char *argument, char *out, int outSize) {
       return expandCompareNumbers(argument, out, outSize, false);
     }},
    {"VersionCompare", expandVersionCompare},
    {"Limit", expandLimit},
    {"Trim", expandTrim},
    {"Upper",
     [](const char *argument, char *out, int outSize) {
       return expandCase(argument, out, outSize, true, true);
     }},
    {"Lower",
     [](const char *argument, char *out, int outSize) {
       return expandCase(argument, out, outSize, false, true);
     }},
    {"Capitalize",
     [](const char *argument, char *out, int outSize) {
       return expandCase(argument, out, outSize, true, false);
     }},
    {"Uncapitalize",
     [](const char *argument, char *out, int outSize) {
       return expandCase(argument, out, outSize, false, false);
     }},
    {"IndexOf",
     [](const char *argument, char *out, int outSize) {
       return expandIndexOf(argument, out, outSize, false);
     }},
    {"LastIndexOf",
     [](const char *argument, char *out, int outSize) {
       return expandIndexOf(argument, out, outSize, true);
     }},
    {"Random",
     [](const char *, char *out, int outSize) {
       constexpr int kRandomBytes = 121;  // 120 characters and the terminator
       if (outSize < kRandomBytes) return expandDecline(out);
       return Str_Random(out, kRandomBytes);
     }},
    {"Guid", [](const char *, char *out, int outSize) { return Str_CreateGuid(out, outSize); }},
    {"If", expandIf},
    {"Equals",
     [](const char *argument, char *out, int outSize) {
       ExpandView parts[2];
       if (!expandSplit(argument, parts, 2)) return expandPutEmpty(out, outSize);
       bool same = parts[0].length == parts[1].length &&
                   memcmp(parts[0].data, parts[1].data, parts[0].length) == 0;
       return expandPutText(out, outSize, same ? "1" : "0");
     }},
};

// ---- Arithmetic -----------------------------------------------------------

enum class ExpandOp { None, Add, Sub, Mul, Div, Mod };

// The operation named by the first three characters of text.
ExpandOp expandOpOf(const char *text, size_t length) {
  constexpr struct {
    const char *prefix;
    ExpandOp op;
  } kOps[] = {{"Add", ExpandOp::Add},
              {"Sub", ExpandOp::Sub},
              {"Mul", ExpandOp::Mul},
              {"Div", ExpandOp::Div},
              {"Mod", ExpandOp::Mod}};
  if (length < 3) return ExpandOp::None;
  for (const auto &entry : kOps)
    if (Str_EqualNoCaseN(text, entry.prefix, 3)) return entry.op;
  return ExpandOp::None;
}

// Two's-complement arithmetic: every result is defined, INT64_MIN / -1
// included.
int64_t expandCompute(ExpandOp op, int64_t a, int64_t b) {
  uint64_t ua = uint64_t(a), ub = uint64_t(b);
  switch (op) {
    case ExpandOp::Add:
      return int64_t(ua + ub);
    case ExpandOp::Sub:
      return int64_t(ua - ub);
    case ExpandOp::Mul:
      return int64_t(ua * ub);
    case ExpandOp::Div:
      if (b == 0) return 0;
      if (b == -1) return int64_t(0 - ua);
      return a / b;
    case ExpandOp::Mod:
      if (b == 0 || b == -1) return 0;
      return a % b;
    case ExpandOp::None:
      break;
  }
  return 0;
}

}  // namespace

// ---- Public ---------------------------------------------------------------

int Str_Expand(char *buffer, int size, void *userData, StrExpandHandler handler) {
  CHECK_POINTER(buffer);
  size_t limit = size_t(size < 1 ? 0 : size < kStrExpandWorkBytes ? size : kStrExpandWorkBytes);
  size_t length = strnlen(buffer, limit);
  if (length == limit) {
    Log_Print(LOG_DEBUG, KSRC, 0,
              "String expansion failed: text longer than %d bytes or its buffer of %d\n",
              kStrExpandWorkBytes - 1, size);
    return 0;
  }
  if (!expandHasMacro(buffer, length)) return 1;

  auto *context = static_cast<ExpandContext *>(MEM_ALLOC(sizeof(ExpandContext), 0));
  memcpy(context->work, buffer, length + 1);
  context->length = int(length);
  context->replacements = 0;
  context->offers = 0;
  context->userData = userData;
  context->handler = handler;
  const char *outerText = tExpandText;
  tExpandText = context->work;
  int result = expandRun(context);
  tExpandText = outerText;
  if (result && context->length >= size) {
    Log_Print(LOG_DEBUG, KSRC, 0,
              "String expansion failed: result of %d bytes for a buffer of %d\n", context->length,
              size);
    result = 0;
  }
  if (result) memcpy(buffer, context->work, size_t(context->length) + 1);
  MEM_FREE(context, sizeof(ExpandContext));
  return result;
}

int Str_HasMacroStart(const char *text) {
  CHECK_POINTER(text);
  for (const char *brace = strchr(text, '{'); brace != nullptr; brace = strchr(brace + 1, '{'))
    if (expandIsAlnum(brace[1])) return 1;
  return 0;
}

int Str_SetExpandHandler(StrExpandSlot slot, StrExpandChainHandler handler) {
  gExpandSlots[expandSlotIndex(slot)].store(handler, std::memory_order_release);
  return 1;
}

StrExpandChainHandler Str_GetExpandHandler(StrExpandSlot slot) {
  return gExpandSlots[expandSlotIndex(slot)].load(std::memory_order_acquire);
}

int Str_SystemMacroHandler(const char *name, char *argument, char *out, int outSize) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (argument == nullptr || outSize < 1) return 0;
  for (const auto &entry : kExpandPathNames)
    if (Str_CompareNoCase(name, entry.name) == 0) return Platform_GetPath(entry.id, out, outSize);
  for (const auto &entry : kExpandFixedValues)
    if (Str_CompareNoCase(name, entry.name) == 0) return expandPutText(out, outSize, entry.value);
  return expandDispatch(kExpandSystemValues, name, argument, out, outSize);
}

int Str_StringMacroHandler(const char *name, char *argument, char *out, int outSize) {
  return expandDispatch(kExpandStringFunctions, name, argument, out, outSize);
}

int Str_MathMacroHandler(const char *name, char *argument, char *out, int outSize) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (argument == nullptr || outSize < 1) return 0;
  ExpandView parts[3];
  ExpandOp op = ExpandOp::None;
  if (Str_CompareNoCase(name, "Math") == 0) {
    if (!expandSplit(argument, parts, 3)) return 0;
    op = expandOpOf(parts[0].data, parts[0].length);
    parts[0] = parts[1];
    parts[1] = parts[2];
  } else {
    op = expandOpOf(name, strlen(name));
    if (op != ExpandOp::None && !expandSplit(argument, parts, 2)) return 0;
  }
  if (op == ExpandOp::None) return 0;
  return expandPutInt64(out, outSize,
                        expandCompute(op, Str_ToInt64(parts[0].data), Str_ToInt64(parts[1].data)));
}

int Str_CommandLineMacroHandler(const char *name, char *argument, char *out, int outSize) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (argument == nullptr || outSize < 1) return 0;
  if (Str_CompareNoCase(name, "CommandLine") == 0) {
    if (argument[0] != '\0') {
      char value[kCmdLineBytes];
      CmdLine_GetOption(nullptr, argument, value, sizeof value);
      return expandPutText(out, outSize, value);
    }
    // From the first argument on, as written (a quoted one with its quote).
    int count = 0;
    const char *start = nullptr, *end = nullptr;
    if (!CmdLine_Tokenize(nullptr, 1, &count, &start, &end)) return expandPutEmpty(out, outSize);
    return expandPutText(out, outSize, start);
  }
  if (Str_CompareNoCase(name, "Time") == 0)
    return expandPutInt64(out, outSize, int64_t(Time_Now()));
  if (Str_CompareNoCase(name, "Time60") == 0) {
    int64_t now = int64_t(Time_Now());
    return expandPutInt64(out, outSize, now - now % 60);
  }
  if (Str_CompareNoCase(name, "TimeStamp") == 0) {
    int hour, minute, second, month, day, year;
    if (!Time_ToFields(&hour, &minute, &second, &month, &day, &year, Str_ToFloat64(argument)))
      return expandPutEmpty(out, outSize);
    char stamp[24];
    Str_Printf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", year, month, day, hour, minute,
               second);
    return expandPutText(out, outSize, stamp);
  }
  return 0;
}

namespace {

// Expands one String item in work (kStrExpandWorkBytes bytes).
void expandStringItem(Dictionary *d, DictionaryItem *item, char *work, void *userData,
                      StrExpandHandler handler) {
  const char *text = nullptr;
  int32_t length = 0;
  if (!Dictionary_GetItemText(d, item, &text, &length) || !Str_HasMacroStart(text)) return;
  const char *key = nullptr;
  Dictionary_GetItemKey(d, item, &key);
  if (length >= kStrExpandWorkBytes) {
    Log_Print(LOG_DEBUG, KSRC, 0, "String too long to expand [%s] (%d bytes)\n", key ? key : "",
              length);
    return;
  }
  memcpy(work, text, size_t(length) + 1);
  if (!Str_Expand(work, kStrExpandWorkBytes, userData, handler)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "String left unexpanded [%s]\n", key ? key : "");
    return;
  }
  Dictionary_SetItemText(d, item, work, int32_t(strlen(work)));
}

}  // namespace

int Dictionary_ExpandStrings(Dictionary *container, void *userData, StrExpandHandler handler) {
  CHECK_POINTER(container);
  char *work = static_cast<char *>(Mem_Alloc(kStrExpandWorkBytes, 1, KSRC));
  // Walked without recursion, climbing back through the parent links, so a
  // deep tree cannot exhaust the stack.
  Dictionary *d = container;
  DictionaryItem *item = nullptr;
  Dictionary_GetFirstItem(d, &item);
  for (;;) {
    while (item == nullptr) {
      if (d == container) {
        Mem_Free(work, kStrExpandWorkBytes, KSRC);
        return 1;
      }
      Dictionary *parent = nullptr;
      DictionaryItem *parentItem = nullptr;
      Dictionary_GetParent(d, &parent, &parentItem);
      d = parent;
      Dictionary_GetNextItem(d, parentItem, &item);
    }
    Dictionary *child = nullptr;
    if (Dictionary_IsItemContainer(d, item) && Dictionary_GetItemContainer(d, item, &child) &&
        child != nullptr) {
      d = child;
      item = nullptr;
      Dictionary_GetFirstItem(d, &item);
      continue;
    }
    if (Dictionary_IsItemType(d, item, kDictionaryTypeString))
      expandStringItem(d, item, work, userData, handler);
    DictionaryItem *next = nullptr;
    Dictionary_GetNextItem(d, item, &next);
    item = next;
  }
}
