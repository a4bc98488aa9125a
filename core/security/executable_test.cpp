// Executable: data-store regions from tests/gen_datastore.py (Python's zlib
// is the CRC and stream oracle), the same block in an ELF section
// (llvm-objcopy), a disk image's range and a signed PE's certificate table
// grown in place; dispatch over PE, ELF, a directory and a text file; our
// own stamped test binary's version fields.
#include "core/security/executable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/formats/dictionary.h"
#include "core/runtime/expand.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/security/auth.h"
#include "core/security/certstorelist.h"
#include "core/security/certstorenull.h"
#include "core/security/machofile.h"
#include "core/security/pefile.h"
#include "keelson_version.h"
#include "tests/exec_test_util.h"
#include "tests/log_capture.h"
#include "tests/pin_store_util.h"

namespace {

std::string storePath(const std::string &name) { return Test_VectorPath("datastore/" + name); }

// The data store of a file as text; "<none>" when there is none.
std::string dataStoreOf(const char *path) {
  char *data = nullptr;
  int64_t size = 0;
  if (!Executable_ReadDataStore(path, &data, &size)) {
    EXPECT_EQ(data, nullptr);
    return "<none>";
  }
  std::string text(data, size_t(size));
  EXPECT_EQ(data[size], '\0');
  MEM_FREE(data, size + 1);
  return text;
}

TEST(Executable, DataStoreRegionsAgreeWithZlib) {
  int rows = 0;
  for (const auto &[line, f] : Test_ReadRows("datastore/cases.txt")) {
    SCOPED_TRACE(f[0]);
    Bytes region = Test_ReadFileBytes(storePath(f[0] + ".bin"));
    char *data = nullptr;
    int64_t size = 0;
    ASSERT_EQ(Executable_FindDataStore(region.data(), int64_t(region.size()), &data, &size),
              std::stoi(f[1]));
    if (f[1] == "1") {
      EXPECT_EQ(Test_BytesToHex(data, size_t(size)), f[2]);
      MEM_FREE(data, size + 1);
    } else {
      EXPECT_EQ(data, nullptr);
      EXPECT_EQ(size, 0);
    }
    rows++;
  }
  EXPECT_GE(rows, 20);
}

TEST(Executable, DataStoreInsideTheFileFormats) {
  Bytes content = Test_ReadFileBytes(storePath("content.txt"));
  std::string expected(content.begin(), content.end());
  EXPECT_EQ(dataStoreOf(storePath("stamped.elf").c_str()), expected);
  EXPECT_EQ(dataStoreOf(storePath("stamped.dmg").c_str()), expected);
  EXPECT_EQ(dataStoreOf(storePath("outside.dmg").c_str()), "<none>");
  {
    Bytes shortImage(511, 0);  // "koly" at the start, but shorter than a trailer
    memcpy(shortImage.data(), "koly", 4);
    Test_MemoryFile file(shortImage);
    EXPECT_EQ(DMGFile_IsDMG(file.stream()), 0);
    Bytes image = Test_ReadFileBytes(storePath("stamped.dmg"));
    Test_MemoryFile whole(image);
    EXPECT_EQ(DMGFile_IsDMG(whole.stream()), 1);
  }
  EXPECT_EQ(dataStoreOf(storePath("cases.txt").c_str()), "<none>");
  EXPECT_EQ(dataStoreOf("/bin/true"), "<none>");  // ELF without ".datastore"
  EXPECT_EQ(dataStoreOf(storePath("missing").c_str()), "<none>");
  EXPECT_EQ(dataStoreOf(""), "<none>");
  EXPECT_EQ(dataStoreOf(nullptr), "<none>");  // the test binary carries none

  // A signed PE whose certificate table grows by the block: the signature
  // stays valid, the block is found.
  Bytes pe = Test_ReadFileBytes(Test_VectorPath("authenticode/pe64-sha256.exe"));
  Bytes block = Test_ReadFileBytes(storePath("block.bin"));
  uint32_t nt = Test_Load32(pe, 0x3c);
  size_t directory = nt + 24 + 112 + 4 * 8;  // PE32+ data directory 4
  uint32_t tableSize = Test_Load32(pe, directory + 4);
  ASSERT_EQ(Test_Load32(pe, directory) + tableSize, pe.size());
  pe.insert(pe.end(), block.begin(), block.end());
  while (pe.size() % 8) pe.push_back(0);
  Test_Store32(pe, directory + 4, uint32_t(tableSize + (pe.size() - (Test_Load32(pe, directory) +
                                                                     tableSize))));
  std::string grown = testing::TempDir() + "executable_grown.exe";
  Test_WriteFileBytes(grown, pe);
  CertStore *root = Test_PinStore({Test_ReadFileBytes(Test_VectorPath("authenticode/root.der"))});
  EXPECT_EQ(PEFile_VerifySignature(root, grown.c_str()), 1);
  EXPECT_EQ(dataStoreOf(grown.c_str()), expected);
  // The same table pointing past the file's end holds nothing.
  Test_Store32(pe, directory + 4, uint32_t(tableSize + block.size() + 4096));
  Test_WriteFileBytes(grown, pe);
  EXPECT_EQ(dataStoreOf(grown.c_str()), "<none>");
  CertStore_Release(&root);
}

TEST(Executable, DispatchByFormat) {
  CertStore *root = Test_PinStore({Test_ReadFileBytes(Test_VectorPath("authenticode/root.der"))});
  CertStore *none = nullptr;
  CertStoreNull_Create(&none);
  std::string signedPe = Test_VectorPath("authenticode/pe64-sha256.exe");
  std::string unsignedPe = Test_VectorPath("authenticode/pe64.exe");
  std::string elf = storePath("stamped.elf");
  std::string text = storePath("cases.txt");
  std::string directory = Test_VectorPath("datastore");
  std::string macho = Test_VectorPath("macho/fat");  // an ad-hoc signature: nothing to trust
  struct Row {
    const std::string &path;
    int executable, trusted;
  } rows[] = {{signedPe, 1, 1}, {unsignedPe, 1, 0}, {elf, 1, 0},
              {macho, 1, 0},    {text, 0, 0},       {directory, 0, 0}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(Executable_IsExecutable(r.path.c_str()), r.executable);
    EXPECT_EQ(Executable_IsSignatureValid(root, r.path.c_str()), r.trusted);
    EXPECT_EQ(Executable_IsSignatureValid(none, r.path.c_str()), 0);
  }
  EXPECT_EQ(Executable_IsSignatureValid(root, storePath("missing").c_str()), 0);
  // An ELF file passes when its SHA-256 is pinned.
  CertStore *pin = Test_PinStore({Test_ReadFileBytes(elf)});
  EXPECT_EQ(Executable_IsSignatureValid(pin, elf.c_str()), 1);
  EXPECT_EQ(Executable_IsSignatureValid(pin, signedPe.c_str()), 0);
  CertStore_Release(&pin);
  {
    TestLogCapture log;
    EXPECT_EQ(Auth_AuthenticateFile(root, elf.c_str()), 0);
    EXPECT_NE(log.Take().find("Library validation failed (" + elf + ")"), std::string::npos);
  }
  {
    AuthSwitchGuardForTest off(0);
    TestLogCapture log;
    EXPECT_EQ(Auth_AuthenticateFile(none, elf.c_str()), 1);
    EXPECT_NE(log.Take().find("Skipping library authentication (" + elf + ")"),
              std::string::npos);
  }
  CertStore_Release(&root);
  CertStore_Release(&none);
}

TEST(Executable, VersionFieldsAndMacros) {
  std::string pe = Test_VectorPath("authenticode/pe64.exe");
  char out[kExecutableMacroOutputBytes] = "kept";
  // Another file's data store: none, the output stays, the macro is ours.
  EXPECT_EQ(Executable_VersionMacro(nullptr, "FileDataStore", pe.c_str(), out), 1);
  EXPECT_STREQ(out, "kept");
  EXPECT_EQ(Executable_VersionMacro(nullptr, "dataStore", storePath("stamped.elf").c_str(), out),
            1);
  EXPECT_EQ(std::string(out).substr(0, 9), "{\"items\":");
  EXPECT_EQ(Executable_VersionMacro(nullptr, "NotOurs", pe.c_str(), out), 0);

  char field[64];
  ASSERT_EQ(Executable_GetVersionField(pe.c_str(), "FileVersion", field, sizeof field), 1);
  std::string fileVersion = field;
  EXPECT_EQ(Executable_VersionMacro(nullptr, "FILEVERSION", pe.c_str(), out), 1);
  EXPECT_EQ(out, fileVersion);
  EXPECT_EQ(Executable_GetVersionField(pe.c_str(), "NoSuchField", field, sizeof field), 0);
  EXPECT_STREQ(field, "");
  for (const std::string &other : {storePath("cases.txt"), Test_VectorPath("macho/x86_64")})
    EXPECT_EQ(Executable_GetVersionField(other.c_str(), "FileVersion", field, sizeof field), 0);
  // A short buffer gets a cut, terminated copy.
  EXPECT_EQ(Executable_GetVersionField(pe.c_str(), "FileVersion", field, 3), 1);
  EXPECT_EQ(std::string(field), fileVersion.substr(0, 2));
}

// Our own test binary is stamped after linking as the build stamps the
// program: the expander and the log header read its fields.
TEST(Executable, OwnStampedFile) {
  ASSERT_EQ(Executable_Init(), 1);
  char buffer[kStrExpandWorkBytes] = "{FileVersion}|{ProductName}|{Copyright}|{CompanyName}";
  ASSERT_EQ(Str_Expand(buffer, sizeof buffer, nullptr, nullptr), 1);
  EXPECT_EQ(std::string(buffer), std::string(kKeelsonVersion) +
                                     "|keelson|Copyright (c) the keelson authors|");
  {
    TestLogCapture log;
    Log_Header(nullptr);
    std::string lines = log.Take();
    EXPECT_NE(lines.find(std::string("File Version: ") + kKeelsonVersion), std::string::npos);
    EXPECT_NE(lines.find(std::string("Product Version: keelson ") + kKeelsonVersion),
              std::string::npos);
    EXPECT_EQ(lines.find("Company:"), std::string::npos);
  }
  // Setting another own path answers from that file's table.
  std::string pe = Test_VectorPath("authenticode/pe64.exe");
  std::string own = Executable_GetOwnPath();
  char field[64];
  ASSERT_EQ(Executable_SetOwnPath(pe.c_str()), 1);
  EXPECT_EQ(Executable_GetVersionField(nullptr, "FileVersion", field, sizeof field), 1);
  EXPECT_EQ(Executable_SetOwnPath(std::string(400, 'x').c_str()), 0);
  Executable_SetOwnPath(own.c_str());
  Executable_Shutdown();
  EXPECT_EQ(Str_GetExpandHandler(StrExpandSlot::Version), nullptr);
}

}  // namespace
