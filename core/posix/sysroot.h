// SysRoot: where the system-information and network-settings code finds the
// files it reads (procfs, sysfs, DHCP leases, resolv.conf, pci.ids, the udev
// database). The program reads the real ones; a test sets a root prefix and
// builds a fake tree under it.
//
// Invariants: (1) every path handed to these functions is absolute. (2) with
// no root set, paths are used as given.
//
// Threads: reads from any thread; set the root only while no other thread
// reads (tests do it between cases).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Sets the root prefix ("" or NULL: none). For tests.
void SysRoot_SetForTest(const char *root);
// The path under the root.
std::string SysRoot_Path(const char *path);
// The readers take a path as it is (one SysRoot_Path gave).
//
// A whole small file (at most limit bytes read). false when it cannot be read.
bool SysRoot_ReadFile(const std::string &path, std::string *text, size_t limit = 1 << 20);
// The first line of a file without its line end; false when unreadable.
bool SysRoot_ReadLine(const std::string &path, std::string *line);
// The lines of a text, without their line feeds (a last line without one
// counts; an empty text has none).
std::vector<std::string> SysRoot_Lines(const std::string &text);
// The names in a directory, sorted, without "." and "..".
std::vector<std::string> SysRoot_ListDirectory(const std::string &path);
