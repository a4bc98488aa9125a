// DesktopSettings: GSettings through GIO loaded at run time; see
// desktopsettings.h.
#include "core/posix/desktopsettings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"

namespace {

constexpr const char *kGioLibrary = "libgio-2.0.so.0";

// The few GIO and GLib entry points, found by name.
struct DesktopGio {
  void *(*sourceGetDefault)();
  void *(*sourceLookup)(void *source, const char *id, int recursive);
  void (*schemaUnref)(void *schema);
  int (*schemaHasKey)(void *schema, const char *key);
  void *(*settingsNew)(const char *id);
  char *(*getString)(void *settings, const char *key);
  int (*getInt)(void *settings, const char *key);
  char **(*getStrv)(void *settings, const char *key);
  void (*objectUnref)(void *object);
  void (*free)(void *memory);
  void (*strfreev)(char **list);
};

template <typename F>
bool desktopFind(PlatformModule *module, const char *name, F *out) {
  *out = reinterpret_cast<F>(Platform_GetLibraryFunction(module, name));
  return *out != nullptr;
}

bool desktopBind(PlatformModule *module, DesktopGio *gio) {
  return desktopFind(module, "g_settings_schema_source_get_default", &gio->sourceGetDefault) &&
         desktopFind(module, "g_settings_schema_source_lookup", &gio->sourceLookup) &&
         desktopFind(module, "g_settings_schema_unref", &gio->schemaUnref) &&
         desktopFind(module, "g_settings_schema_has_key", &gio->schemaHasKey) &&
         desktopFind(module, "g_settings_new", &gio->settingsNew) &&
         desktopFind(module, "g_settings_get_string", &gio->getString) &&
         desktopFind(module, "g_settings_get_int", &gio->getInt) &&
         desktopFind(module, "g_settings_get_strv", &gio->getStrv) &&
         desktopFind(module, "g_object_unref", &gio->objectUnref) &&
         desktopFind(module, "g_free", &gio->free) &&
         desktopFind(module, "g_strfreev", &gio->strfreev);
}

// Whether the settings backend may keep its files where it would: GLib's
// user runtime directory ($XDG_RUNTIME_DIR, else $XDG_CACHE_HOME, else
// ~/.cache, where dconf makes "dconf/"). Root run with a user's HOME would
// leave root's files in that user's home, and a home we cannot write to
// makes dconf complain on stderr: neither is asked then.
bool desktopBackendPlaceIsOurs(const char **place = nullptr) {
  const char *base = getenv("XDG_RUNTIME_DIR");
  if (base == nullptr || base[0] != '/') base = getenv("XDG_CACHE_HOME");
  if (base == nullptr || base[0] != '/') base = getenv("HOME");
  const bool absolute = base != nullptr && base[0] == '/';
  if (place != nullptr) *place = absolute ? base : "(no home)";
  struct stat st;
  if (absolute && stat(base, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
      access(base, W_OK) == 0)
    return true;
  Log_Print(LOG_DEBUG, KSRC, 0, "DesktopSettings: %s is not ours to write: settings not read\n",
            base ? base : "(no home)");
  return false;
}

// Whether any desktop settings are stored for this user: dconf's user
// database or the keyfile backend's file under the configuration home
// ($XDG_CONFIG_HOME, else ~/.config), or a dconf profile for users, which
// brings in the administrator's databases. Without one every key has its
// schema's default: a service account without a home has none.
bool desktopSettingsStored() {
  const char *config = getenv("XDG_CONFIG_HOME");
  const char *home = getenv("HOME");
  std::string base = config != nullptr && config[0] == '/' ? std::string(config)
                     : home != nullptr && home[0] == '/'   ? std::string(home) + "/.config"
                                                           : std::string();
  struct stat st;
  for (const char *file : {"/dconf/user", "/glib-2.0/settings/keyfile"})
    if (!base.empty() && stat((base + file).c_str(), &st) == 0) return true;
  return stat("/etc/dconf/profile/user", &st) == 0;
}

// Loads GIO and looks schema up among the compiled schemas (no settings
// backend starts for that); use(gio, found) runs while both are held. false
// when GIO or the schema is missing, else what use answers.
template <typename F>
bool desktopWithSchema(const char *schema, F use) {
  PlatformModule *module = Platform_LoadLibrary(kGioLibrary, 0);
  if (module == nullptr) return false;
  DesktopGio gio;
  bool ok = false;
  if (desktopBind(module, &gio)) {
    void *source = gio.sourceGetDefault();
    void *found = source ? gio.sourceLookup(source, schema, 1) : nullptr;
    if (found != nullptr) {
      ok = use(gio, found);
      gio.schemaUnref(found);
    }
  }
  // GLib's type system cannot be unloaded; the load count drops, the code stays.
  Platform_FreeLibrary(&module);
  return ok;
}

}  // namespace

bool DesktopSettings_Read(const char *schema, DesktopSettingValue *values, size_t count) {
  if (!desktopBackendPlaceIsOurs()) return false;
  return desktopWithSchema(schema, [&](const DesktopGio &gio, void *found) {
    void *settings = gio.settingsNew(schema);
    for (size_t i = 0; settings && i < count; i++) {
      DesktopSettingValue &value = values[i];
      if (!gio.schemaHasKey(found, value.key)) continue;
      switch (value.kind) {
        case DesktopSettingValue::Kind::String: {
          char *text = gio.getString(settings, value.key);
          value.text = text ? text : "";
          gio.free(text);
          break;
        }
        case DesktopSettingValue::Kind::Int:
          value.number = gio.getInt(settings, value.key);
          break;
        case DesktopSettingValue::Kind::Strv: {
          char **list = gio.getStrv(settings, value.key);
          value.list.clear();
          for (char **p = list; p && *p; p++) value.list.push_back(*p);
          gio.strfreev(list);
          break;
        }
      }
    }
    if (settings) gio.objectUnref(settings);
    return settings != nullptr;
  });
}

bool DesktopSettings_IsUnreadable(const char *schema, std::string *place) {
  const char *where = nullptr;
  if (desktopBackendPlaceIsOurs(&where) || !desktopSettingsStored()) return false;
  bool installed = desktopWithSchema(schema, [](const DesktopGio &, void *) { return true; });
  if (installed && place != nullptr) *place = where;
  return installed;
}
