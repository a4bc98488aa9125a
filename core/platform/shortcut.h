// Shortcut: launcher entries for a program, written as freedesktop Desktop
// Entry files (".desktop") where the desktop model writes shell links.
//
// Invariants: (1) a shortcut path ending ".lnk" names the ".desktop" file
// beside it; a path with neither ending gets ".desktop" appended. (2) every
// value is written so that a Desktop Entry reader gets back exactly the text
// given: the Exec line quotes each argument ('"', '`', '$' and '\\' escaped,
// '%' doubled) and then every value takes the string escapes. (3) a text that
// a Desktop Entry cannot hold (not UTF-8, control characters other than tab,
// line feed and carriage return) fails with 87 and writes nothing. (4) the
// file is written whole or not at all (a temporary file renamed into place).
//
// Threads: any thread; no shared state.
#pragma once

#include <cstdint>

// Flag 0x1: the program runs elevated (pkexec before the target).
constexpr uint32_t kShortcutRunAsAdmin = 0x1;

// Writes the entry (mode 0755): Type=Application, Name (the file's title),
// Comment (description), Exec (target and arguments split by the command-line
// tokenizer), Path (workingDirectory) and Icon (iconPath; the index has no
// meaning here); empty texts leave their keys out. The parent directory is
// created when missing. 1, or 0 with the error recorded: a save that fails
// logs "Cannot save shortcut '%s' (0x%.8X) [LE: %d]\n". Stops the program
// with "Pointer is NULL\n" on a NULL text.
int Platform_CreateShortcut(const char *shortcutPath, const char *target, const char *arguments,
                            const char *workingDirectory, const char *description,
                            const char *iconPath, int iconIndex, uint32_t flags);
// Removes the entry the path names (as above). 1/0.
int Platform_DeleteShortcut(const char *shortcutPath);
