// Helpers shared by the tests of the whole-file and tree operations: small
// files, shell peers (sha256sum, stat, find, diff) and log counting.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/fsfault.h"

inline void Dirops_WriteFile(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

inline std::string Dirops_ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline int Dirops_CountOf(const std::string &text, const std::string &needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    count++;
  return count;
}

// A death-test regular expression that matches text literally.
inline std::string Dirops_Literal(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (strchr("\\.[](){}*+?|^$", c)) out += '\\';
    out += c;
  }
  return out;
}

// Single quotes for the shell.
inline std::string Dirops_Quote(const std::string &text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

// sha256sum's digest of a file ("" when it cannot be read).
inline std::string Dirops_Sha256(const std::string &path) {
  std::string line = FsFault_Command("sha256sum " + Dirops_Quote(path) + " 2>/dev/null");
  return line.substr(0, line.find(' '));
}

// The mode bits of the path itself (lstat), or -1.
inline int Dirops_Mode(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

inline bool Dirops_Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}
