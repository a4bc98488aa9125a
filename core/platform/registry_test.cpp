// The registry's names, the whitelist's judgement of paths, and its fatal
// paths. The hive files are tested in core/posix/hive_test.cpp.
#include "core/platform/registry.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/runtime/class.h"
#include "core/security/auth.h"
#include "tests/log_capture.h"

namespace {

TEST(Registry, NamesFoldCase) {
  struct Row {
    const char *name;
    int classCode;
    int viewCode;
  } rows[] = {
      {"unknown", 0, 0}, {"User", 1, 0},        {"performance", 2, 0}, {"MACHINE", 3, 0},
      {"root", 4, 0},    {"config", 5, 0},      {"DesktopUser", 6, 0}, {"users", 0, 0},
      {"", 0, 0},        {"32", 0, 1},          {"64", 0, 2},          {"Default", 0, 0},
      {"128", 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Registry_ClassFromName(row.name), row.classCode);
    EXPECT_EQ(Registry_ViewFromName(row.name), row.viewCode);
  }
}

TEST(Registry, AuthorizeJudgesTheCanonicalPath) {
  EXPECT_EQ(Registry_AddWhitelistPath(1, "user\\X"), 0) << "no lists before Init";
  EXPECT_EQ(Registry_Authorize(0, kRegistryClassUser, "X"), 0);
  Registry_Init();
  Registry_AddWhitelistPath(0, "machine/SOFTWARE//Vendor");
  Registry_AddWhitelistPath(1, "user\\Software\\RW\\");
  // Too long to be an entry: dropped, never cut into a shorter prefix.
  EXPECT_EQ(Registry_AddWhitelistPath(1, ("user\\" + std::string(400, 'x')).c_str()), 0);
  struct Row {
    int access;
    int registryClass;
    const char *path;
    int allowed;
  } rows[] = {
      {0, kRegistryClassMachine, "SOFTWARE\\Vendor", 1},
      {0, kRegistryClassMachine, "software/vendor/App/", 1},
      {1, kRegistryClassMachine, "SOFTWARE\\Vendor\\App", 0},
      {0, kRegistryClassMachine, "SOFTWARE\\VendorX", 0},
      {0, kRegistryClassMachine, "SOFTWARE", 0},
      {0, kRegistryClassUser, "SOFTWARE\\Vendor", 0},
      {1, kRegistryClassUser, "Software\\RW\\Deep\\Key", 1},
      {0, kRegistryClassUser, "Software\\RW", 1},
      {1, kRegistryClassUser, "Software\\RW\\..\\Other", 0},
      {1, kRegistryClassUser, "Software\\Other\\..\\RW\\x", 0},
      {0, kRegistryClassDesktopUser, "Software\\RW", 0},
      {0, kRegistryClassUser, "xxxx", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(Registry_Authorize(row.access, row.registryClass, row.path), row.allowed);
  }
  Registry_Shutdown();
  EXPECT_EQ(Registry_Authorize(0, kRegistryClassMachine, "SOFTWARE\\Vendor"), 0);
}

TEST(Registry, SecurityOffLetsEveryPathThrough) {
  Registry_Init();
  {
    AuthSwitchGuardForTest off(0);
    TestLogCapture capture;
    EXPECT_EQ(Registry_Authorize(1, kRegistryClassMachine, "SOFTWARE\\Elsewhere"), 1);
    EXPECT_NE(capture.Take().find("Skipping registry authentication (1) (3) (SOFTWARE\\Elsewhere)"),
              std::string::npos);
  }
  EXPECT_EQ(Registry_Authorize(1, kRegistryClassMachine, "SOFTWARE\\Elsewhere"), 0);
  Registry_Shutdown();
}

TEST(RegistryDeathTest, ProgrammingErrorsStop) {
  struct Row {
    const char *name;
    std::function<void()> call;
    const char *message;
  } rows[] = {
      {"class above desktopuser",
       [] {
         Registry_Init();
         Registry_Authorize(0, 7, "x");
       },
       "Assertion failed \\(Value >= 0 && Value <= PLATFORM_REGISTRYCLASS_DESKTOPUSER\\)\n"
       "Registry class out side of range"},
      {"negative class",
       [] {
         Registry_Init();
         Registry_Authorize(0, -1, "x");
       },
       "Registry class out side of range"},
      {"NULL path", [] { Registry_Authorize(0, 1, nullptr); }, "Pointer is NULL\n"},
      {"NULL key out", [] { Registry_OpenKey(nullptr, 0, 1, "x", 2); }, "Pointer is NULL\n"},
      {"NULL key path",
       [] {
         RegistryKey *key;
         Registry_CreateKey(&key, 0, 1, nullptr);
       },
       "Pointer is NULL\n"},
      {"NULL class name", [] { Registry_KeyExists("64", nullptr, "x"); }, "Pointer is NULL\n"},
      {"NULL out", [] { Registry_GetInt32("64", "user", "x", "v", 0, nullptr); },
       "Pointer is NULL\n"},
      {"foreign key object",
       [] {
         ObjectHeader other = {};
         other.classTag = 0x1234;
         Registry_DeleteSubKey(reinterpret_cast<RegistryKey *>(&other), "x");
       },
       "Class mismatch pointer"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_DEATH(row.call(), row.message);
  }
}

}  // namespace
