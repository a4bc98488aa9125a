// The first ("good") case of tests/gen_pki.py's PKI, for the tests of the
// certificate stores and of the platform's verdict.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/test_util.h"

// The good case's leaf, its intermediate and the root (a bundle anchor).
struct Test_Pki {
  std::vector<uint8_t> leaf, inter, root;
  Test_Pki() {
    for (const auto &[line, f] : Test_ReadRows("pki_cases.txt")) {
      if (f[0] == "case" && !leaf.empty()) break;
      if (f[0] == "leaf") leaf = Test_HexToBytes(f[1]);
      if (f[0] == "untrusted") inter = Test_HexToBytes(f[1]);
      if (f[0] == "root") root = Test_HexToBytes(f[1]);
    }
  }
};
