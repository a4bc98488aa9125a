// CmdLine: the program's command line, kept as one UTF-8 text, and the one
// tokenizer that reads it and every command line the program builds for
// other processes. Options are --name or --name=value; values may be quoted.
//
// Text rules: bytes 1-32 outside quotes separate arguments. A '"' opens a
// quoted argument that runs to the next lone '"'; inside it "" stands for one
// '"' and separators are ordinary. In an unquoted argument the part after the
// first '=' may hold a quoted value (--verbose="Json*, Dictionary"), which
// ends the argument at its closing quote.
//
// Invariants: (1) the stored text is at most kCmdLineMaxChars bytes and
// terminated. (2) GlobalArgV is set exactly between CmdLine_Init and
// CmdLine_Free and holds the stored text's arguments as CmdLine_GetArg gives
// them. (3) CmdLine_JoinArgv quotes so that the tokenizer gives back exactly
// the arguments it was given.
//
// Threads: CmdLine_Init, CmdLine_Append and CmdLine_Free belong to start-up
// and shutdown on the main thread; the queries may run on any thread (they
// only read).
#pragma once

#include <cstdint>

constexpr int kCmdLineBytes = 4096;
constexpr int kCmdLineMaxChars = kCmdLineBytes - 1;

// Joins argv (argv[0] first) into one text for CmdLine_Init: arguments
// separated by one blank; an argument that is empty or holds a byte of 32 or
// below or a '"' is put between quotes with its quotes doubled. Returns 1;
// 0 when not every argument fit in size bytes (buffer then holds the leading
// arguments that fit whole). A NULL argv, element or buffer stops the program.
int CmdLine_JoinArgv(int argc, const char *const *argv, char *buffer, int size);

// Stores text (cut at kCmdLineMaxChars bytes, at a character boundary) and
// builds GlobalArgV. Returns 1; 0 when the text had to be cut. A second call
// stops the program with "Assertion failed (GlobalArgV == NULL)\nCommand line
// already initialized".
int CmdLine_Init(const char *text);
// Frees GlobalArgV and empties the stored text. Stops the program with
// "Assertion failed (GlobalArgV != NULL)\nCommand line not initialized" when
// there is none.
void CmdLine_Free(void);
// Appends text to the stored command line behind one blank (none when the
// text is empty or already ends in one). Returns 1; 0 when the result would
// not fit (the stored text is then unchanged). GlobalArgV is not rebuilt.
int CmdLine_Append(const char *text);
// GlobalArgV: the arguments split at CmdLine_Init, NULL-terminated, with their
// number in *count (when count is not NULL); NULL before CmdLine_Init.
const char *const *CmdLine_GetArgV(int *count);

// In the queries below a NULL cmdline means the program's stored one; a NULL
// name, output or out-pointer stops the program with "Pointer is NULL\n".

// Finds argument number index (from 0). Returns 1 with [*start, *end) its
// text as written: for a quoted argument from its opening quote to behind its
// closing one, so the text from *start on is itself a command line. *count
// receives the number of arguments met: index + 1 when found, else all of
// them. Returns 0 with *start and *end at the text's end when there is no such
// argument.
int CmdLine_Tokenize(const char *cmdline, int index, int *count, const char **start,
                     const char **end);
// The number of arguments ("a b " has 2, "" has 0). Returns 1 when above 0.
int CmdLine_GetArgCount(const char *cmdline, int *count);
// Copies argument number index without its quoting, cut to size - 1 bytes.
// Returns 1; 0 with an empty out when there is no such argument.
int CmdLine_GetArg(const char *cmdline, int index, char *out, int size);
// Copies the value of the first argument --name=value (name matched whole,
// ASCII case ignored; the argument may be quoted whole, or only its value).
// Returns 1 (the value may be empty); 0 with an empty out when there is none.
int CmdLine_GetOption(const char *cmdline, const char *name, char *out, int size);
// 1 when an argument equals --name (ASCII case ignored); --name=value does not
// count, nor does --name inside another argument's quoted value.
int CmdLine_HasOption(const char *cmdline, const char *name);
// For an argument that starts with "--", copies the name behind the dashes up
// to a blank, '=' or the end and returns 1. Returns 0 with an empty out when
// the argument has no "--" or the name does not fit in size bytes.
int CmdLine_GetOptionName(const char *argument, char *out, int size);
