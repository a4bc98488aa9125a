// Shared by the elliptic-curve tests: values from hex and the vector rows of
// tests/gen_ec.py.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/security/bigint.h"
#include "core/security/ec.h"
#include "tests/test_util.h"

// An in-place BigInt freed at scope exit.
struct EcTestNum {
  BigInt v;
  EcTestNum() { BigInt_InitInPlace(&v); }
  explicit EcTestNum(const std::string &hex) : EcTestNum() { BigInt_FromHex(&v, hex.c_str()); }
  ~EcTestNum() { BigInt_FreeLimbs(&v); }
  EcTestNum(const EcTestNum &) = delete;
  EcTestNum &operator=(const EcTestNum &) = delete;
  BigInt *operator&() { return &v; }
};

// An in-place point freed at scope exit.
struct EcTestPoint {
  EcPoint p;
  EcTestPoint() { EcPoint_Init(&p); }
  EcTestPoint(const std::string &x, const std::string &y) : EcTestPoint() {
    BigInt_FromHex(&p.X, x.c_str());
    BigInt_FromHex(&p.Y, y.c_str());
    p.Infinity = 0;
  }
  ~EcTestPoint() { EcPoint_Free(&p); }
  EcTestPoint(const EcTestPoint &) = delete;
  EcTestPoint &operator=(const EcTestPoint &) = delete;
  EcPoint *operator&() { return &p; }
};

// A group freed at scope exit.
struct EcTestGroup {
  EcGroup *g = nullptr;
  explicit EcTestGroup(const std::string &oid) {
    EcGroup_Create(&g);
    EXPECT_EQ(EcGroup_Select(g, oid.c_str()), 1) << oid;
  }
  ~EcTestGroup() { EcGroup_Release(&g); }
  EcTestGroup(const EcTestGroup &) = delete;
  EcTestGroup &operator=(const EcTestGroup &) = delete;
};

// Upper-case hex without leading zeros ("0" for zero).
inline std::string EcTest_Hex(const BigInt *n) {
  char out[kBigIntHexBytes];
  BigInt_ToHex(n, out);
  std::string s = out;
  size_t first = s.find_first_not_of('0');
  return first == std::string::npos ? "0" : s.substr(first);
}

// The same for a hex text of either case.
inline std::string EcTest_Norm(const std::string &hex) {
  EcTestNum n(hex);
  return EcTest_Hex(&n);
}

// The rows of ec.txt of one kind.
inline std::vector<std::vector<std::string>> EcTest_Rows(const std::string &kind) {
  std::vector<std::vector<std::string>> rows;
  for (auto &row : Test_ReadRows("ec.txt"))
    if (row.second[0] == kind) rows.push_back(row.second);
  return rows;
}

// The eight curves of the table.
inline const std::vector<std::string> &EcTest_Oids() {
  static const std::vector<std::string> oids = {
      "1.3.132.0.31", "1.2.840.10045.3.1.1", "1.3.132.0.32", "1.3.132.0.33",
      "1.3.132.0.10", "1.2.840.10045.3.1.7", "1.3.132.0.34", "1.3.132.0.35"};
  return oids;
}

// Hands claims (lines of tests/gen_ec.py's --check form) to the oracle in a
// vector file of that name; 1 when the peers accept every one.
inline bool EcTest_PeersAccept(const std::string &claims, const std::string &name) {
  std::string path = Test_VectorPath(name);
  std::ofstream(path, std::ios::binary) << claims;
  std::string script = Test_ReadVectors("ec_script.txt");
  while (!script.empty() && script.back() == '\n') script.pop_back();
  std::string command = "/usr/bin/python3 " + script + " --check " + path;
  return std::system(command.c_str()) == 0;
}
