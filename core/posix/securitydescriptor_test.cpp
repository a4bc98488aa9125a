// Security descriptors: group names by prefix, and the grant as the file
// system shows it (stat's mode, getfacl's default entries).
#include "core/platform/securitydescriptor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "core/runtime/class.h"
#include "core/platform/platform.h"
#include "tests/fsfault.h"

namespace {

struct Descriptor {
  SecurityDescriptor *sd = nullptr;
  explicit Descriptor(const char *name) { SecurityDescriptor_Create(name, &sd); }
  ~Descriptor() { SecurityDescriptor_Release(&sd); }
};

std::string modeOf(const std::string &path) { return FsFault_Command("stat -c %a " + path); }

TEST(SecurityDescriptor, GroupsByPrefix) {
  struct Row {
    const char *name;
    const char *group;  // NULL: refused
  } rows[] = {
      {"Everyone", "Everyone"},   {"every", "Everyone"},
      {"Users", "Users"},         {"users-and-more", "Users"},
      {"Administrators", "Administrators"},
      {"Admin", nullptr},         {"Authenticated Users", "Authenticated"},
      {"Guests", nullptr},        {"", nullptr},
      {"Ever", nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    SecurityDescriptor *sd = reinterpret_cast<SecurityDescriptor *>(0x1);
    EXPECT_EQ(SecurityDescriptor_Create(row.name, &sd), row.group ? 1 : 0);
    if (row.group == nullptr) {
      EXPECT_EQ(sd, nullptr);
      continue;
    }
    EXPECT_STREQ(SecurityDescriptor_GetGroupName(sd), row.group);
    EXPECT_EQ(SecurityDescriptor_Release(&sd), 1);
    EXPECT_EQ(sd, nullptr);
  }
}

TEST(SecurityDescriptor, GrantsShowInModeAndDefaultAcl) {
  FsFaultTempDir dir;
  struct Row {
    const char *name;
    const char *group;
    bool directory;
    mode_t before;
    const char *after;
  } rows[] = {
      {"file for everyone", "Everyone", false, 0600, "666"},
      {"executable file", "Users", false, 0700, "777"},
      {"file executable by others only", "Everyone", false, 0601, "667"},
      {"directory", "Authenticated", true, 0700, "777"},
      {"administrators change nothing", "Administrators", false, 0600, "600"},
  };
  int n = 0;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = dir / ("entry" + std::to_string(n++));
    if (row.directory) ASSERT_EQ(mkdir(path.c_str(), row.before), 0);
    else std::ofstream(path) << "x";
    ASSERT_EQ(chmod(path.c_str(), row.before), 0);
    Descriptor d(row.group);
    ASSERT_TRUE(SecurityDescriptor_ApplyToPath(d.sd, path.c_str()));
    EXPECT_EQ(modeOf(path), row.after);
    if (!row.directory) continue;
    // The default entries carry the grant to what is made inside.
    std::string acl = FsFault_Command("getfacl -p " + path + " 2>&1");
    EXPECT_NE(acl.find("default:other::rwx"), std::string::npos) << acl;
    std::ofstream(path + "/new") << "x";
    EXPECT_EQ(modeOf(path + "/new"), "666") << "the umask no longer narrows it";
  }
}

TEST(SecurityDescriptor, RefusesLinksAndMissingPaths) {
  FsFaultTempDir dir;
  std::string target = dir / "target";
  std::ofstream(target) << "x";
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  ASSERT_EQ(symlink(target.c_str(), (dir / "link").c_str()), 0);
  Descriptor d("Everyone");
  EXPECT_FALSE(SecurityDescriptor_ApplyToPath(d.sd, (dir / "link").c_str()));
  EXPECT_EQ(modeOf(target), "600");
  EXPECT_FALSE(SecurityDescriptor_ApplyToPath(d.sd, (dir / "missing").c_str()));
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorFileNotFound);
}

TEST(SecurityDescriptorDeathTest, ProgrammingErrorsStop) {
  struct Row {
    const char *name;
    std::function<void()> call;
    const char *message;
  } rows[] = {
      {"NULL name", [] { SecurityDescriptor *sd; SecurityDescriptor_Create(nullptr, &sd); },
       "Pointer is NULL\n"},
      {"NULL out", [] { SecurityDescriptor_Create("Everyone", nullptr); }, "Pointer is NULL\n"},
      {"NULL path", [] { Descriptor d("Users"); SecurityDescriptor_ApplyToPath(d.sd, nullptr); },
       "Pointer is NULL\n"},
      {"foreign object",
       [] {
         ObjectHeader other = {};
         other.classTag = 0x1234;
         SecurityDescriptor_GetGroupName(reinterpret_cast<SecurityDescriptor *>(&other));
       },
       "Class mismatch pointer"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_DEATH(row.call(), row.message);
  }
}

}  // namespace
