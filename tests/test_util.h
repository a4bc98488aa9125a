// Helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

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
