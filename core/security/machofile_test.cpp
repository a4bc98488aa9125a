// Mach-O files from tests/gen_macho.py: ld64.lld's ad-hoc signatures (real
// SHA-256 page hashes) on x86_64 and arm64, fat files from llvm-lipo, with
// llvm-otool's load commands and fat headers as the oracle; hostile headers.
#include "core/security/machofile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/formats/dictionary.h"
#include "core/platform/platform.h"
#include "core/security/certstorenull.h"
#include "core/security/executable.h"
#include "tests/exec_test_util.h"
#include "tests/log_capture.h"
#include "tests/pin_store_util.h"

namespace {

std::string machoPath(const std::string &name) { return Test_VectorPath("macho/" + name); }

// The page check of the file's first CodeDirectory, through the digest
// callback the CMS check uses.
int pagesMatch(Bytes bytes) {
  Test_MemoryFile file(bytes);
  HashHandle *hash = nullptr;
  Hash_Create(&hash);
  Hash_SetInterface(hash, &kHashSha256);
  int result = MachOFile_HashCodeDirectory(file.stream(), hash);
  Hash_Delete(&hash);
  return result;
}

class MachOFileTest : public testing::Test {
 protected:
  void TearDown() override { MachOFile_SetBitnessForTest(0); }
};

TEST_F(MachOFileTest, SlicesAndSignaturesAgreeWithOtool) {
  int rows = 0;
  for (const auto &[line, f] : Test_ReadRows("macho/macho_cases.txt")) {
    SCOPED_TRACE(f[0]);
    Bytes bytes = Test_ReadFileBytes(machoPath(f[0]));
    Test_MemoryFile file(bytes);
    for (int bits : {64, 32}) {
      MachOFile_SetBitnessForTest(bits);
      MachOHeader h;
      ASSERT_EQ(MachOFile_ReadHeader(file.stream(), &h), 64);
      EXPECT_EQ(h.SliceOffset, std::stoull(f[bits == 64 ? 1 : 2]));
    }
    MachOFile_SetBitnessForTest(64);
    uint64_t offset = 0;
    uint32_t size = 0;
    ASSERT_EQ(MachOFile_FindCodeSignature(file.stream(), &offset, &size), 1);
    EXPECT_EQ(offset, std::stoull(f[3]));
    EXPECT_EQ(size, std::stoul(f[4]));
    EXPECT_EQ(pagesMatch(bytes), 1);
    EXPECT_EQ(MachOFile_IsMachO(machoPath(f[0]).c_str()), 1);
    // Ad-hoc signatures carry no CMS blob: nothing a store could trust.
    EXPECT_EQ(MachOFile_IsSigned(machoPath(f[0]).c_str()), 0);
    rows++;
  }
  EXPECT_EQ(rows, 4);
  EXPECT_EQ(MachOFile_IsMachO(Test_VectorPath("macho").c_str()), 0);
  EXPECT_EQ(MachOFile_IsMachO(machoPath("macho_cases.txt").c_str()), 0);
}

TEST_F(MachOFileTest, ChangedCodeFailsItsPage) {
  TestLogCapture log;
  EXPECT_EQ(pagesMatch(Test_ReadFileBytes(machoPath("text_changed"))), 0);
  std::string page = Test_ReadVectors("macho/text_page.txt");
  page.erase(page.find_last_not_of('\n') + 1);
  EXPECT_NE(log.Take().find("MachO verification failed, code page hash does not match " + page),
            std::string::npos);
}

TEST_F(MachOFileTest, HostileHeadersFailAtOnce) {
  const Bytes thin = Test_ReadFileBytes(machoPath("x86_64"));
  const Bytes fat = Test_ReadFileBytes(machoPath("fat"));
  uint32_t ncmds = Test_Load32(thin, 16);
  struct Row {
    const char *name;
    Bytes bytes;
  } rows[] = {
      {"cmdsize 0", thin},
      {"a command past sizeofcmds", thin},
      {"sizeofcmds past the file", thin},
      {"nfat_arch 2^31", fat},
      {"nfat_arch 65", fat},
      {"slice past the file", fat},
  };
  Test_Store32(rows[0].bytes, 32 + 4, 0);
  Test_Store32(rows[1].bytes, 20, 16);
  Test_Store32(rows[1].bytes, 16, ncmds + 1000);  // and the walk may not leave sizeofcmds
  Test_Store32(rows[2].bytes, 20, uint32_t(thin.size()));
  auto storeBE = [](Bytes &b, size_t at, uint32_t v) { Test_Store32(b, at, __builtin_bswap32(v)); };
  storeBE(rows[3].bytes, 4, 0x80000000u);
  storeBE(rows[4].bytes, 4, 65);
  storeBE(rows[5].bytes, 8 + 12, uint32_t(fat.size()));
  for (Row &r : rows) {
    SCOPED_TRACE(r.name);
    Test_MemoryFile file(r.bytes);
    uint64_t offset = 0;
    uint32_t size = 0;
    EXPECT_EQ(MachOFile_FindCodeSignature(file.stream(), &offset, &size), 0);
    EXPECT_EQ(pagesMatch(r.bytes), 0);
  }
  // A CodeDirectory whose hash type is not SHA-1 or SHA-256, or whose
  // hashSize disagrees with its type, checks no page.
  uint64_t offset = std::stoull(Test_ReadRows("macho/macho_cases.txt")[0].second[3]);
  uint32_t cd = uint32_t(offset) + __builtin_bswap32(Test_Load32(thin, offset + 16));
  for (auto [at, value] : {std::pair<uint32_t, uint8_t>{37, 3}, {36, 20}}) {
    Bytes bytes = thin;
    bytes[cd + at] = value;
    EXPECT_EQ(pagesMatch(bytes), 0);
  }
}

}  // namespace

namespace {

TEST_F(MachOFileTest, CmsOverTheCodeDirectory) {
  CertStore *root = Test_PinStore({Test_ReadFileBytes(machoPath("root.der"))});
  CertStore *none = nullptr;
  CertStoreNull_Create(&none);
  std::string signedPath = machoPath("cms_signed");
  EXPECT_EQ(MachOFile_IsSigned(signedPath.c_str()), 1);
  EXPECT_EQ(MachOFile_VerifySignature(root, signedPath.c_str()), 1);
  EXPECT_EQ(MachOFile_VerifySignature(none, signedPath.c_str()), 0);
  // Content naming another CodeDirectory, a changed code byte, no CMS.
  EXPECT_EQ(MachOFile_VerifySignature(root, machoPath("cms_other_cd").c_str()), 0);
  Bytes changed = Test_ReadFileBytes(signedPath);
  changed[changed.size() / 4] ^= 1;
  Test_MemoryFile file(changed);
  EXPECT_EQ(MachOFile_VerifyStream(root, file.stream()), 0);
  EXPECT_EQ(MachOFile_VerifySignature(root, machoPath("x86_64").c_str()), 0);
  CertStore_Release(&root);
  CertStore_Release(&none);
}

}  // namespace

namespace {

// Bundles whose Info.plist Python's plistlib writes.
TEST(MachOBundle, InfoPlistFieldsAndFallbacks) {
  std::string root = testing::TempDir() + "machobundle/";
  std::filesystem::remove_all(root);
  auto plist = [&](const std::string &path, const std::string &json) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    int status = 0;
    Test_RunCommand("/usr/bin/python3 -c 'import json,plistlib,sys; plistlib.dump(json.loads(sys."
                    "argv[1]), open(sys.argv[2], \"wb\"))' '" + json + "' '" + path + "'",
                    &status);
    ASSERT_EQ(status, 0);
  };
  plist(root + "Full.app/Contents/Info.plist",
        R"({"CFBundleVersion":"1.2.3","CFBundleShortVersionString":"1.2","CFBundleName":"Full",)"
        R"("CFBundleExecutable":"full","NSHumanReadableCopyright":"(c) Full",)"
        R"("CFBundleCompanyName":"Full Co","LSMinimumSystemVersion":"11.0"})");
  plist(root + "Fallback.APP/Contents/Info.plist",
        R"({"CFBundleVersion":"7","CFBundleExecutable":"fb","CFBundleGetInfoString":"info"})");
  plist(root + "Kit.framework/Resources/Info.plist", R"({"CFBundleVersion":"9"})");
  std::filesystem::create_directories(root + "Broken.app/Contents");
  Test_WriteFileBytes(root + "Broken.app/Contents/Info.plist", Bytes{'<', 'x', '/', '>'});
  std::filesystem::create_directories(root + "Empty.app");
  std::filesystem::create_directories(root + "Full.app/Contents/MacOS");
  Test_WriteFileBytes(root + "Full.app/Contents/MacOS/full", Test_ReadFileBytes(machoPath("x86_64")));

  struct Row {
    std::string path;
    std::string fields;  // FileVersion|ProductVersion|ProductName|LegalCopyright|CompanyName
  } rows[] = {
      {root + "Full.app", "1.2.3|1.2|Full|(c) Full|Full Co"},
      {root + "Full.app/Contents/MacOS/full", "1.2.3|1.2|Full|(c) Full|Full Co"},
      {root + "Fallback.APP", "7|7|fb|info|"},
      {root + "Kit.framework", "9|9|||"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.path);
    Dictionary *table = nullptr;
    Dictionary_Create(&table);
    ASSERT_EQ(MachOFile_ReadVersionInfo(r.path.c_str(), table), 1);
    std::string got;
    for (const char *field :
         {"FileVersion", "ProductVersion", "ProductName", "LegalCopyright", "CompanyName"}) {
      char value[64] = "";
      Dictionary_GetStringByKey(table, field, value, sizeof value);
      got += std::string(got.empty() && field[0] == 'F' ? "" : "|") + value;
    }
    EXPECT_EQ(got, r.fields);
    Dictionary_Release(&table);
  }
  // Every key is merged in.
  Dictionary *table = nullptr;
  Dictionary_Create(&table);
  char value[64] = "";
  ASSERT_EQ(Executable_ReadVersionTable((root + "Full.app").c_str(), table), 1);
  Dictionary_GetStringByKey(table, "LSMinimumSystemVersion", value, sizeof value);
  EXPECT_STREQ(value, "11.0");
  Dictionary_Release(&table);

  Dictionary_Create(&table);
  {
    TestLogCapture log;
    EXPECT_EQ(MachOFile_ReadVersionInfo((root + "Broken.app").c_str(), table), 0);
    EXPECT_NE(log.Take().find("Failed to find plist doctype"), std::string::npos);
  }
  EXPECT_EQ(MachOFile_ReadVersionInfo((root + "Empty.app").c_str(), table), 0);
  EXPECT_EQ(MachOFile_IsBundle((root + "Empty.app").c_str()), 0);
  Dictionary_Release(&table);

  char out[kPathMax];
  EXPECT_EQ(MachOFile_GetBundleFromExecutable("/a/B.app\\Contents\\MacOS\\b", out, sizeof out), 1);
  EXPECT_STREQ(out, "/a/B.app");
  EXPECT_EQ(MachOFile_GetBundleFromExecutable("/a/B.app/Contents/MacOSX/b", out, sizeof out), 0);
  EXPECT_EQ(MachOFile_GetInfoPlistPath("/a/K.Framework/", out, sizeof out), 1);
  EXPECT_STREQ(out, "/a/K.Framework/Resources/Info.plist");
  EXPECT_EQ(MachOFile_GetInfoPlistPath("/a/B.app", out, 10), 0);
  std::filesystem::remove_all(root);
}

}  // namespace

namespace {

TEST(PKGFile, PackagesAgreeWithTheirBuilders) {
  CertStore *root = Test_PinStore({Test_ReadFileBytes(Test_VectorPath("pkg/root.der"))});
  CertStore *none = nullptr;
  CertStoreNull_Create(&none);
  int rows = 0;
  for (const auto &[line, f] : Test_ReadRows("pkg/pkg_cases.txt")) {
    SCOPED_TRACE(f[0]);
    std::string path = Test_VectorPath("pkg/" + f[0] + ".pkg");
    EXPECT_EQ(PKGFile_IsPKG(path.c_str()), 1);
    {
      TestLogCapture log;
      EXPECT_EQ(PKGFile_VerifySignature(root, path.c_str()), std::stoi(f[1]));
      if (f[2] != "-") {
        EXPECT_NE(log.Take().find(f[2]), std::string::npos);
      }
    }
    EXPECT_EQ(PKGFile_VerifySignature(none, path.c_str()), 0);
    EXPECT_EQ(Executable_IsSignatureValid(root, path.c_str()), std::stoi(f[1]));
    rows++;
  }
  EXPECT_EQ(rows, 10);
  EXPECT_EQ(PKGFile_IsPKG(Test_VectorPath("pkg").c_str()), 0);
  CertStore_Release(&root);
  CertStore_Release(&none);
}

TEST(PKGFile, OffsetAndSizeTexts) {
  struct Row {
    const char *offset, *size;
    int ok;
    int64_t wantOffset, wantSize;
  } rows[] = {{"20", "0x14", 1, 20, 20},   {"+7", "-3", 1, 7, -3}, {"0X1f", "0", 1, 31, 0},
              {"", "1", 0, 0, 0},          {"12a", "1", 0, 0, 0},  {"0x", "1", 0, 0, 0},
              {"99999999999999999999", "1", 0, 0, 0}};
  for (const Row &r : rows) {
    SCOPED_TRACE(std::string(r.offset) + " " + r.size);
    Dictionary *element = nullptr;
    Dictionary_Create(&element);
    Dictionary_SetStringByKey(element, "offset", r.offset);
    Dictionary_SetStringByKey(element, "size", r.size);
    int64_t offset = 0, size = 0;
    EXPECT_EQ(PKGFile_GetOffsetSize(element, &offset, &size), r.ok);
    if (r.ok) {
      EXPECT_EQ(offset, r.wantOffset);
      EXPECT_EQ(size, r.wantSize);
    }
    Dictionary_Release(&element);
  }
}

}  // namespace
