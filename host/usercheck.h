// UserCheck: the command's strict checks of the files a user writes by hand
// (the repository file, the application file, the credentials file), so
// that a typing mistake ends the run at start with the file, the place and
// the cause, instead of a silent default or a failure 30 s later. The
// engine and the lenient reader stay as they are for everything else: these
// checks run on the user's own files only. Also the rule that finds the
// store signed documents are checked against.
//
// Invariants: (1) every refusal writes exactly one line to stderr starting
// "keelson: " and naming the file; warnings start "keelson: warning: ".
// (2) a check reads nothing but the file and the Dictionary it is given.
//
// Threads: main thread only. UserCheck_ReadFile needs no started host;
// the rest need the host's services (the Dictionary, the key stores).
#pragma once

#include <cstdint>
#include <string>

struct CertStore;
struct Dictionary;
struct PlatformDirectory;

constexpr int kUserCheckExitRefused = 1;
constexpr int kUserCheckExitUnreadable = 2;

// Reads the file ("repository", "application" or "credentials" names it in
// the line) and checks that JSON text is valid JSON (a ".yaml" or ".yml"
// file is left to the YAML reader). 1 when it may be read on; else the line
// is written ("cannot read the <kind> file: <the system's reason>", or "line
// L, column C: not valid JSON: <reason>", ending "; a YAML file needs a .yaml
// or .yml name" when the text does not open with '{', '[' or '"') and 0
// returned with *exitCode 2 for a file that cannot be read (a FIFO or a
// device: "not a regular file"), 1 for text that is not JSON.
//
// The repository and application files decide what the run trusts: each
// must be a regular file (not a link) owned by this process's user or root
// that group and others may not write, walked from "/" as TrustedPath_Open
// walks (another user's link or directory on the way is refused) and
// checked on the open file ("the <kind> file is refused: <rule>", or
// "<entry> on the way to it: <rule>"; *exitCode 1). The text read from that
// one open goes to *text (when given): the caller hands it to what parses
// the file later (UserCheck_ParseConfig), never the path.
int UserCheck_ReadFile(const char *path, const char *kind, int *exitCode,
                       std::string *text = nullptr);
// The configuration in text (the file at path as UserCheck_ReadFile read
// it; path names it in lines and decides JSON or YAML), as
// WorkflowApp_ReadConfigFile reads a file. 1/0.
int UserCheck_ParseConfig(const char *path, const std::string &text, Dictionary **config);
// The --www directory: not a link, owned by this process's user or root,
// writable by neither group nor others (sticky and private-group passes
// apply), walked from "/" as TrustedPath_Open walks, checked on the open
// directory. 1 with *directory, the directory checked (the caller's: what it serves,
// whatever the path leads to later); 0 (*directory NULL) with the line
// ("the <kind> is refused: <rule>") and in *exitCode 2 for a directory
// that cannot be opened, 1 for one that is not trusted.
int UserCheck_CheckDirectory(const char *path, const char *kind, int *exitCode,
                             PlatformDirectory **directory);
// For a ".yaml" or ".yml" file the reader refused: the line "line L,
// column C: not valid YAML: <the reader's reason>". 1 when the file is YAML
// and the reader refuses it (the line written), else 0 (nothing written).
int UserCheck_ExplainYaml(const char *path);
// The repository file's Dictionary: "repository" present, no unknown key at
// its top level or in its storages ("local", "pending", "remote" and a mux
// entry's "storages"), every storage with a known "type", every URL (alias,
// catalog, a storage's "url" and "baseUrl") with the scheme http, https or
// file ("metafile", a path, may have none). 1, or 0 with the line written.
int UserCheck_Repository(const char *path, Dictionary *config);
// The application file's URLs ("alias.url", "catalog.url"): each with the
// scheme http, https or file. 1, or 0 with the line that names it.
int UserCheck_ApplicationUrls(const char *path, Dictionary *app);
// One warning line per unknown top-level key of the application file's
// Dictionary. Returns the number of warnings.
int UserCheck_WarnApplication(const char *path, Dictionary *app);
// The application file's key and thumbprint stores, each entry as the
// program reads it: a keyStores entry is the Base64 of a DER public key that
// imports or a key set whose signing keys import (CertStoreJwks_CheckKeySet;
// the keys it skips get one warning), a thumbprintStores entry a list of
// Base64 digests (CertStoreThumbprint_ReadPin). 1, or 0 with the line that
// names the entry, what it is and the form expected (a PEM key, hex or
// colon-separated hex, a curve not read). A private key in any form is
// refused with the line that says it must not be shipped and how to print
// its public half. A thumbprint store that neither checks servers
// (webGet.certStore, "app" by default) nor the repository file config's
// documents (config may be NULL), or that has the documents' key store name
// and so is not read for TLS, is warned about.
int UserCheck_Stores(const char *path, Dictionary *app, Dictionary *config);
// The name of the store signed documents are checked against: the
// repository file's "certStore", else "app".
const char *UserCheck_GetCertStoreName(Dictionary *config);
// That store, retained: the name "app" finds the application file's key
// store "app" when it has one, else the fixed "app" certificate list; any
// other name its certificate store, else its key store. A name nothing is
// registered under gives a null store that verifies nothing (logged).
CertStore *UserCheck_GetCertStore(Dictionary *config);
// While signatures are checked: 1 when the store of config can verify a
// signed document: a name that is registered, and for "app" a key store
// "app" of the application settings (the fixed "app" list of the system's
// authorities and pinned server certificates holds no publisher's key).
// Else 0 with
// the line naming what to add, about the repository file at path and the
// application file appFile (may be NULL).
int UserCheck_CanVerify(const char *path, Dictionary *config, Dictionary *settings,
                        const char *appFile);
