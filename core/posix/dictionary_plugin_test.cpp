// The Dictionary's plug-in ABI: a C11 library built by the C compiler is
// loaded with dlopen and works on a host Dictionary only through the table
// it reaches from the object header prefix.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "core/formats/dictionary.h"

namespace {

struct PluginLibrary {
  PluginLibrary() : handle(dlopen(KEELSON_DICTIONARY_PLUGIN, RTLD_NOW | RTLD_LOCAL)) {}
  ~PluginLibrary() {
    if (handle != nullptr) dlclose(handle);
  }
  template <typename T>
  T Find(const char *name) {
    return reinterpret_cast<T>(dlsym(handle, name));
  }
  void *handle;
};

TEST(DictionaryPlugin, CLibraryWorksThroughTheTable) {
  PluginLibrary plugin;
  ASSERT_NE(plugin.handle, nullptr) << dlerror();
  auto slots = plugin.Find<int32_t (*)()>("DictionaryPlugin_TableSlots");
  auto run = plugin.Find<int32_t (*)(Dictionary *, char *, int32_t)>("DictionaryPlugin_Run");
  ASSERT_NE(slots, nullptr);
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(slots(), 129) << "the C view of the table has 129 pointer slots";

  Dictionary *host = nullptr;
  Dictionary_Create(&host);
  char report[256] = "";
  ASSERT_EQ(run(host, report, sizeof report), 1) << report;
  EXPECT_STREQ(report,
               "L/014|item-0item-1item-2|3|9007199254740993|3.1415926535897931|4|"
               "items[2].label|2");
  // The host reads what the plug-in wrote, and owns the only reference again.
  char label[16];
  EXPECT_EQ(Dictionary_GetStringByPath(host, "items[1].label", label, sizeof label), 1);
  EXPECT_STREQ(label, "L/007");
  EXPECT_EQ(host->header.refCount.load(), 1);
  Dictionary_Release(&host);
}

}  // namespace
