// DesktopSettings: reads the desktop's settings (GSettings) through GIO,
// loaded at run time, so the program runs where GIO is absent. Each call
// loads the library, looks the schema up first (asking for a schema that is
// not installed would stop GIO) and lets everything go again.
//
// Invariants: (1) a missing library, schema or key is an answer of false,
// never a stop. The settings are not read (false) when the place the
// settings backend keeps its files (the runtime directory, else the cache
// directory, else the home) is not the effective user's own to write: a
// root run with a user's HOME leaves nothing there, and an unwritable home
// draws no complaint. (2) texts come back as GIO gave them (GVariant strings, UTF-8).
//
// Threads: any thread; GIO's own default settings backend serialises itself.
#pragma once

#include <string>
#include <vector>

struct DesktopSettingValue {
  enum class Kind { String, Int, Strv };
  DesktopSettingValue(Kind valueKind, const char *valueKey) : kind(valueKind), key(valueKey) {}
  Kind kind;
  const char *key;
  std::string text;               // Kind::String
  int number = 0;                 // Kind::Int
  std::vector<std::string> list;  // Kind::Strv
};

// Reads each value's key from the schema. false when GIO or the schema is
// missing; a key the schema lacks leaves its value as it was.
bool DesktopSettings_Read(const char *schema, DesktopSettingValue *values, size_t count);
// true when GIO and the schema are installed and settings are stored (the
// user's dconf or keyfile database, or a dconf profile for users), but they
// are not read because of where their backend keeps its files; *place (may
// be NULL) gets that place ("(no home)" without one).
bool DesktopSettings_IsUnreadable(const char *schema, std::string *place);
