// Expand: the macro expander for configured texts, paths and URLs. A macro is
// {Name} or {Name:argument}; Str_Expand replaces each in place, innermost
// first, by the first handler of a fixed chain that knows the name, and last
// by the caller's handler. An unknown name stays in the text as written.
//
// Grammar: a macro starts at a '{' directly followed by an ASCII letter or
// digit and ends at the next '}' (a '{' followed by anything else is plain
// text, so JSON passes through). The text between the braces is split at its
// first ':' into name and argument; later colons belong to the argument.
// Every handler compares names without regard to ASCII case. There is no
// escape.
//
// Invariants: (1) Str_Expand either answers 1 with the whole expanded text in
// the caller's buffer, or answers 0 and leaves the buffer as it was; a text is
// never cut. (2) the work text never exceeds kStrExpandWorkBytes - 1 bytes.
// (3) one call nests at most kStrExpandMaxDepth macros inside each other,
// makes at most kStrExpandMaxMacros replacements and kStrExpandMaxOffers
// offers to the chain, so texts that expand into each other end quickly; its
// stack use does not grow with the text (the buffers live in one heap block
// per call). (4) the chain has kStrExpandSlotCount slots asked in slot order;
// an empty slot is skipped.
//
// Threads: any thread. The expander keeps no state between calls; the slots
// are atomic, so a handler may be registered while other threads expand (a
// call in progress may see the old or the new one). The handlers read
// platform state and are as thread-safe as the services they call.
#pragma once

#include <cstdint>

// The work text: 8191 bytes and the terminator.
constexpr int kStrExpandWorkBytes = 8192;
// Every handler's output buffer.
constexpr int kStrExpandOutputBytes = 8140;
// Nesting deeper than this fails the call: each level costs a stack frame,
// and 2,700 levels fit in a work text.
constexpr int kStrExpandMaxDepth = 32;
// Replacements per call. Handlers whose results expand into each other would
// otherwise run forever; real texts use a few dozen.
constexpr int kStrExpandMaxMacros = 8192;
// Offers to the chain per call. A replacement makes its surroundings be
// scanned again, which offers the unknown macros there again; this bounds the
// work of one call (a work text holds at most 2,730 macros).
constexpr int kStrExpandMaxOffers = 65536;

// A link of the chain. argument is the expander's own copy (empty when the
// macro has no ':'); a handler may change it in place only when it answers 1.
// Writes a terminated text of at most outSize - 1 bytes into out and answers
// 1, or answers 0 when the name is not its own (or its result cannot be
// given: the macro then stays in the text).
typedef int (*StrExpandChainHandler)(const char *name, char *argument, char *out, int outSize);

// The caller's handler, asked after every slot declined.
typedef int (*StrExpandHandler)(void *userData, const char *name, const char *argument, char *out,
                                int outSize);

// The chain's slots in the order they are asked.
enum class StrExpandSlot : int {
  System = 0,       // system values (this module)
  String = 1,       // string functions (this module)
  Math = 2,         // arithmetic (this module)
  CommandLine = 3,  // command line and time (this module)
  Path = 4,         // paths
  Version = 5,      // version information and data store
  Base64 = 6,       // Base64_MacroHandler
  Hash = 7,         // Hash_MacroHandler
  Url = 8,          // URLs
  Network = 9,      // network values
  Registry = 10,    // registry
  Hmac = 11,        // Hmac_MacroHandler
};
constexpr int kStrExpandSlotCount = 12;

// Expands the terminated text in buffer (size bytes) in place. userData and
// handler (NULL: none) give the caller's handler. Returns 1 when the text was
// expanded (unknown names left as they are). Returns 0 with buffer unchanged
// and a DEBUG line when the text is longer than kStrExpandWorkBytes - 1
// bytes or has no terminator within size, when a result does not fit the
// work text or the caller's buffer, or when the nesting, replacement or
// offer limit is passed. Stops the program with "Pointer is NULL\n" on a NULL
// buffer.
int Str_Expand(char *buffer, int size, void *userData, StrExpandHandler handler);

// 1 when text holds a macro start: a '{' directly followed by an ASCII
// letter or digit. A text without one is never changed by Str_Expand, so
// callers holding long texts (Dictionary Strings) can leave it alone.
// Stops the program with "Pointer is NULL\n" on a NULL text.
int Str_HasMacroStart(const char *text);

struct Dictionary;

// Expands every String item of the tree below container in place, depth
// first in item order. A String without a macro start is left alone, whatever
// its length; the others are expanded in a work-sized buffer and stored back
// (an unchanged text fires no callback). A String whose expansion fails or
// does not fit stays as it was, with a DEBUG line. Returns 1. Stops the
// program with "Pointer is NULL\n" on a NULL container.
int Dictionary_ExpandStrings(Dictionary *container, void *userData, StrExpandHandler handler);

// Puts handler (NULL: none) into a slot of the chain. Returns 1. A slot
// outside the chain stops the program ("Invalid macro handler slot %d\n").
// Every later module registers its handler here at its start-up.
int Str_SetExpandHandler(StrExpandSlot slot, StrExpandChainHandler handler);
// The handler in a slot (NULL when empty); stops as above.
StrExpandChainHandler Str_GetExpandHandler(StrExpandSlot slot);

// The handlers this module fills its slots with.
//
// System values: "ModuleFileName", "ModuleFileTitle" (the program file's name
// without the text from its last '.'), "ModuleAppPath", "ModuleAppDirectory",
// "ModuleLogDirectory", "ModuleBitness", "ModuleElevated", "ToolSuffix",
// "BundleSuffix", "LibraryPrefix", "LibraryExtension", "SystemShortName",
// "SystemName", "ProcessId", "Env" (argument: variable; an unset one is not
// handled), "DiskSpace" (argument: path; free bytes, or the empty text when
// the query fails), and the well-known directory names, answered as
// Platform_GetPath answers. "DiskImage" is never handled. The system
// information names ("SystemVersion", "UserName", "UserISO639LangName",
// "UserISO3166CountryName", "DiskSerial" (argument: a path on the disk; "/"
// without one), "DirectXVersion", "OpenGLVersion", "VideoCardType" n,
// "VideoCardMemory" n, their lists (also without argument), "SystemMemory",
// "CPUSpeed", "CPUVendor", "CPUDescription", "CPUCount", "AntiVirus" n,
// "AntiVirusList") answer what the platform's query gives; a failing query
// leaves the macro unhandled, and the lists and "DirectXVersion" may be empty.
int Str_SystemMacroHandler(const char *name, char *argument, char *out, int outSize);
// String functions; the argument's parts are separated by ',' and the last
// part takes the rest, commas included. A missing ',' gives the empty text.
// "This", "Copy", "Substring"/"SubCopy" (start,end,text: a start below 0
// counts as 0, an end of -1 or past the text as the text's end, any other
// negative end gives the empty text), "Replace" (from,to,text; an empty from
// changes nothing), "FromHex" (not handled when the text is not whole hex),
// "ToHex", "Int32ToHex", "Int64ToHex", "UInt32ToHex", "UInt64ToHex" (bytes
// least significant first), "Int64Compare", "UInt64Compare", "VersionCompare"
// (a,op,b with op one of > < >= <= = ==; "1" or "0"), "Limit" (n,text: n of 0
// or less gives the empty text), "Trim" (text, or set,text), "Upper", "Lower",
// "Capitalize", "Uncapitalize", "IndexOf", "LastIndexOf" (needle,text; -1 when
// absent), "Random", "Guid", "If" (condition,then,else), "Equals" (a,b).
// A result that does not fit outSize is not handled.
int Str_StringMacroHandler(const char *name, char *argument, char *out, int outSize);
// Arithmetic: "Math" with op,a,b, or a name beginning with "Add", "Sub",
// "Mul", "Div" or "Mod" with a,b. 64-bit two's-complement wrap-around;
// division or remainder by 0 gives 0. A missing ',' or an unknown op is not
// handled.
int Str_MathMacroHandler(const char *name, char *argument, char *out, int outSize);
// "CommandLine" (the stored command line from its first argument on; with an
// argument, the value of that --name=value option or the empty text),
// "Time" (now, whole seconds since 1970), "Time60" (the same, rounded down to
// a minute) and "TimeStamp" (seconds since 1970 as UTC YYYYMMDDhhmmss; the
// empty text outside 1970-9999).
int Str_CommandLineMacroHandler(const char *name, char *argument, char *out, int outSize);
