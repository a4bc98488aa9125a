// Helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "core/runtime/log.h"

// Path of a vector file written by one of the tests/gen_*.py oracles. The
// generators run as ctest fixtures before the unit tests; run them by hand
// (python3 tests/gen_x.py build/default/vectors) to run a test binary alone.
inline std::string Test_VectorPath(const std::string &name) {
  const char *dir = getenv("KEELSON_VECTORS");
  return std::string(dir ? dir : "build/default/vectors") + "/" + name;
}

// The whole vector file; fails the test when it is missing.
inline std::string Test_ReadVectors(const std::string &name) {
  std::ifstream in(Test_VectorPath(name), std::ios::binary);
  EXPECT_TRUE(in.good()) << "missing vector file " << Test_VectorPath(name);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A log record for one scope, for tests that read log lines without the whole
// core start-up: lines are written only while the test's flags ask for them.
// Nothing happens when a log exists already.
struct Test_LogRecord {
  bool owned = false;
  Test_LogRecord() {
    if (Log_Lock()) {  // a log exists already
      Log_Unlock();
      return;
    }
    Log_Init("keelson_tests", nullptr, LOG_DEBUG);
    owned = true;
  }
  ~Test_LogRecord() {
    if (!owned) return;
    Log_Shutdown();
    Log_Close();
  }
};

// The tab-separated fields of one vector-file line.
inline std::vector<std::string> Test_SplitTabs(const std::string &line) {
  std::vector<std::string> fields;
  size_t p = 0;
  for (;;) {
    size_t tab = line.find('\t', p);
    fields.push_back(line.substr(p, tab == std::string::npos ? tab : tab - p));
    if (tab == std::string::npos) return fields;
    p = tab + 1;
  }
}

// The rows of a tab-separated vector file with their line numbers; empty
// lines and '#' comment lines are left out.
inline std::vector<std::pair<int, std::vector<std::string>>> Test_ReadRows(
    const std::string &file) {
  std::string text = Test_ReadVectors(file);
  std::vector<std::pair<int, std::vector<std::string>>> rows;
  size_t start = 0;
  int line = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string row = text.substr(start, end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    line++;
    if (!row.empty() && row[0] != '#') rows.emplace_back(line, Test_SplitTabs(row));
  }
  return rows;
}

// Hex digits to bytes; blanks between the digits are ignored.
inline std::vector<uint8_t> Test_HexToBytes(const std::string &hex) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits += c;
  for (size_t k = 0; k + 1 < digits.size(); k += 2)
    out.push_back(uint8_t(std::stoi(digits.substr(k, 2), nullptr, 16)));
  return out;
}

// Bytes as lower-case hex digits.
inline std::string Test_BytesToHex(const void *data, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  const auto *bytes = static_cast<const uint8_t *>(data);
  std::string s;
  for (size_t i = 0; i < length; i++) {
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 15];
  }
  return s;
}

// How often part occurs in text, overlapping occurrences counted.
inline size_t Test_CountOf(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
  return n;
}

// Polls until done() holds or boundMs have passed, every sleepMs; the last
// answer. Every wait in a test is bounded by this.
inline bool Test_WaitUntil(const std::function<bool()> &done, int boundMs = 10000,
                           int sleepMs = 1) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
  }
  return true;
}

// The threads of this process, as the kernel lists them.
inline int Test_CountThreads() {
  int count = 0;
  for (auto &entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    count++;
  }
  return count;
}

// Runs a shell command and collects its standard output; *status is its exit
// code (-1 when it did not exit normally).
inline std::string Test_RunCommand(const std::string &command, int *status) {
  FILE *pipe = popen(command.c_str(), "r");
  std::string output;
  if (pipe == nullptr) {
    *status = -1;
    return output;
  }
  char buffer[1024];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return output;
}
