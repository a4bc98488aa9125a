// ELF files: the system's /bin/ls and libz.so.1, clang-built ELF32 and
// big-endian ELF64 objects and llvm-objcopy stamped copies, with binutils'
// `readelf -S -W` as the oracle of their sections; hostile headers; the
// SHA-256 pin that stands in for a signature.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>

#include "core/formats/dictionary.h"
#include "core/runtime/base64.h"
#include "core/security/auth.h"
#include "core/security/certstorelist.h"
#include "core/security/certstorenull.h"
#include "core/security/certstorethumbprint.h"
#include "core/security/elffile.h"
#include "tests/exec_test_util.h"

namespace {

std::string elfPath(const std::string &name) {
  return name[0] == '/' ? name : Test_VectorPath("elf/" + name);
}

TEST(ELFFile, SectionsAgreeWithReadelf) {
  std::map<std::string, std::set<std::string>> seen;
  int rows = 0;
  for (const auto &[line, f] : Test_ReadRows("elf/elf_sections.txt")) {
    if (!seen[f[0]].insert(f[1]).second) continue;  // the first of a name is found
    SCOPED_TRACE(f[0] + " " + f[1]);
    Bytes bytes = Test_ReadFileBytes(elfPath(f[0]));
    Test_MemoryFile file(bytes);
    uint64_t offset = 0, size = 0;
    ASSERT_EQ(ELFFile_FindSection(file.stream(), f[1].c_str(), &offset, &size), 1);
    EXPECT_EQ(offset, std::stoull(f[2]));
    EXPECT_EQ(size, std::stoull(f[3]));
    rows++;
  }
  EXPECT_GT(rows, 60);
  for (const auto &[line, f] : Test_ReadRows("elf/elf_files.txt")) {
    SCOPED_TRACE(f[0]);
    Bytes bytes = Test_ReadFileBytes(elfPath(f[0]));
    Test_MemoryFile file(bytes);
    ELFHeader h;
    EXPECT_EQ(ELFFile_ReadHeader(file.stream(), &h), std::stoi(f[1]));
    EXPECT_EQ(h.BigEndian, std::stoi(f[2]));
    EXPECT_EQ(ELFFile_IsELF(elfPath(f[0]).c_str()), 1);
    uint64_t offset = 0, size = 0;
    // A longer name that begins with it is no match.
    EXPECT_EQ(ELFFile_FindSection(file.stream(), ".datastore", &offset, &size),
              f[0] == "stamped_be64.o" ? 1 : 0);
  }
  EXPECT_EQ(ELFFile_IsELF(Test_VectorPath("elf").c_str()), 0);
}

TEST(ELFFile, VersionJsonMergesCaseInsensitive) {
  for (const char *name : {"stamped_be64.o", "ls_version"}) {
    SCOPED_TRACE(name);
    Dictionary *table = nullptr;
    Dictionary_Create(&table);
    ASSERT_EQ(ELFFile_ReadVersionInfo(elfPath(name).c_str(), table), 1);
    for (auto [key, value] : {std::pair{"FileVersion", "3.1.4.1"},
                              {"productname", "Keelson ELF"},
                              {"CompanyName", "Keelson Co"}}) {
      const char *text = nullptr;
      int32_t length = 0;
      ASSERT_TRUE(Dictionary_GetTextByKey(table, key, &text, &length)) << key;
      EXPECT_EQ(std::string(text, size_t(length)), value);
    }
    Dictionary_Release(&table);
  }
  Dictionary *table = nullptr;
  Dictionary_Create(&table);
  EXPECT_EQ(ELFFile_ReadVersionInfo(elfPath("elf32.o").c_str(), table), 0);
  Dictionary_Release(&table);
}

// Field offsets of an ELF64 little-endian header and section header.
constexpr size_t kShoff = 40, kShentsize = 58, kShnum = 60, kShstrndx = 62;

uint64_t load64(const Bytes &b, size_t at) {
  return Test_Load32(b, at) | uint64_t(Test_Load32(b, at + 4)) << 32;
}
void store16(Bytes &b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}

TEST(ELFFile, HostileHeadersFindNothing) {
  const Bytes ls = Test_ReadFileBytes("/bin/ls");
  const size_t shoff = size_t(load64(ls, kShoff));
  const size_t names = shoff + 64 * (size_t(ls[kShstrndx]) | size_t(ls[kShstrndx + 1]) << 8);
  // The header of ".text" (sh_name at 0 of each 64-byte entry).
  uint64_t textOffset = 0, textSize = 0;
  size_t text = 0;
  {
    Bytes copy = ls;
    Test_MemoryFile file(copy);
    ASSERT_TRUE(ELFFile_FindSection(file.stream(), ".text", &textOffset, &textSize));
    for (size_t at = shoff; at + 64 <= ls.size(); at += 64)
      if (load64(ls, at + 24) == textOffset) {
        text = at;
        break;
      }
    ASSERT_NE(text, 0u);
  }
  struct Row {
    const char *name;
    std::function<void(Bytes &)> change;
    int found;
  } rows[] = {
      {"as built", [](Bytes &) {}, 1},
      {"name table of 2^40 bytes",
       [&](Bytes &b) { Test_Store32(b, names + 36, 1u << 8); }, 0},
      {"name table past the file", [&](Bytes &b) { Test_Store32(b, names + 24, 0xFFFFFF00); }, 0},
      {"e_shentsize 40 in a 64-bit file", [](Bytes &b) { store16(b, kShentsize, 40); }, 0},
      {"e_shstrndx = e_shnum",
       [](Bytes &b) { store16(b, kShstrndx, uint16_t(b[kShnum] | b[kShnum + 1] << 8)); }, 0},
      {"section table past the file", [](Bytes &b) { store16(b, kShnum, 0xFFFF); }, 0},
      {"sh_name at the table's end",
       [&](Bytes &b) { Test_Store32(b, text, uint32_t(load64(b, names + 32))); }, 0},
      {"section past the file", [&](Bytes &b) { Test_Store32(b, text + 36, 1); }, 0},
      {"class 3", [](Bytes &b) { b[4] = 3; }, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Bytes bytes = ls;
    row.change(bytes);
    Test_MemoryFile file(bytes);
    uint64_t offset = 0, size = 0;
    EXPECT_EQ(ELFFile_FindSection(file.stream(), ".text", &offset, &size), row.found);
  }
}

// The pin list of an application: the file's Base64 SHA-256 in a
// thumbprint store, inside a list behind a store that knows nothing.
CertStore *pinList(const std::string &pin, CertStoreList **list) {
  CertStore *none = nullptr;
  CertStoreNull_Create(&none);
  Dictionary *root = nullptr;
  Dictionary *pins = nullptr;
  Dictionary_Create(&root);
  Dictionary_AddList(root, "app", &pins, nullptr);
  Dictionary_AddString(pins, nullptr, pin.c_str(), nullptr);
  CertStore *thumbprints = nullptr;
  CertStoreThumbprint_Create(&thumbprints);
  CertStoreThumbprint_AddList(thumbprints, pins);
  Dictionary_Release(&root);
  CertStoreList_Create(list);
  CertStoreList_Add(*list, none);
  CertStoreList_Add(*list, thumbprints);
  CertStore_Release(&none);
  CertStore_Release(&thumbprints);
  return CertStoreList_GetInterface(*list);
}

TEST(ELFFile, PinnedDigestStandsInForASignature) {
  std::string pin = Test_ReadVectors("elf/elf_pin.txt");
  pin.erase(pin.find_last_not_of('\n') + 1);
  std::string pinned = elfPath("true.elf");
  Bytes changed = Test_ReadFileBytes(pinned);
  changed[changed.size() / 2] ^= 1;
  std::string altered = testing::TempDir() + "elffile_true_altered";
  Test_WriteFileBytes(altered, changed);
  CertStoreList *list = nullptr;
  CertStore *store = pinList(pin, &list);
  CertStoreList *otherList = nullptr;
  CertStore *other = pinList("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", &otherList);
  CertStore *none = nullptr;
  CertStoreNull_Create(&none);
  EXPECT_EQ(ELFFile_VerifySignature(store, pinned.c_str()), 1);
  EXPECT_EQ(ELFFile_VerifySignature(store, altered.c_str()), 0);
  EXPECT_EQ(ELFFile_VerifySignature(other, pinned.c_str()), 0);
  EXPECT_EQ(ELFFile_VerifySignature(none, pinned.c_str()), 0);
  {
    AuthSwitchGuardForTest off(0);
    EXPECT_EQ(ELFFile_VerifySignature(none, altered.c_str()), 1);
  }
  CertStore_Release(&store);
  CertStore_Release(&other);
  CertStore_Release(&none);
  CertStoreList_Release(&list);
  CertStoreList_Release(&otherList);
  std::remove(altered.c_str());
}

}  // namespace
