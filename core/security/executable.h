// Executable: questions about executable files answered without running
// them (is a path an executable, is its signature valid, its version fields,
// the data store its publisher stamped into it), dispatched by format to the
// PE, Mach-O, installer-package, disk-image and ELF readers. It also keeps
// the program's own path and a cached table of its own version fields, and
// answers the expander's version and data-store macros.
//
// Invariants: (1) the own path is normalised ('/' separators, no "." or
// ".." segments, no doubled or trailing separator) and fits
// kExecutablePathBytes; a path that does not fit is refused, never cut.
// (2) the data store is searched only inside its region (PE certificate
// table, disk-image signature range, ELF ".datastore" section), which must lie
// within the file and be at most kExecutableMaxRegionBytes; nothing is read
// past the region. (3) a declared uncompressed length above
// kExecutableMaxInflatedBytes is refused, and a stream must end exactly at
// the declared length.
//
// Threads: Executable_Init, Executable_SetOwnPath and Executable_Shutdown
// run on the main thread before (or after) other threads; everything else may
// run from any thread: each call opens its own File.
#pragma once

#include <cstdint>

struct CertStore;
struct Dictionary;

constexpr int kExecutablePathBytes = 320;
constexpr int kExecutableMacroOutputBytes = 8140;
constexpr int kExecutableDataStoreTextBytes = 4096;
// The largest data area (65,535 KiB) and room for the signature around it.
constexpr int64_t kExecutableMaxRegionBytes = int64_t(72) << 20;
constexpr int64_t kExecutableMaxInflatedBytes = int64_t(16) << 20;

// Creates the own-file table, sets the own path from the program's module
// path and puts the macro handler into the expander's Version slot. 0 when
// the module path cannot be read or does not fit.
int Executable_Init(void);
// Releases the own-file table and empties the Version slot. Returns 1.
int Executable_Shutdown(void);
// Copies path (it must fit kExecutablePathBytes, else 0) into the own path
// and refills the own-file table from it. Stops on a NULL path.
int Executable_SetOwnPath(const char *path);
// The own path ("" before Executable_Init).
const char *Executable_GetOwnPath(void);

// 1 when path exists and is a PE, Mach-O, installer-package or ELF file.
int Executable_IsExecutable(const char *path);
// The signature check of the file's format against store: PE
// (Authenticode), Mach-O and installer package (CMS), ELF (a SHA-256 pin in
// store). 0 for a missing path or any other file.
int Executable_IsSignatureValid(CertStore *store, const char *path);
// Fills table with the file's version fields: a bundle's Info.plist, a PE
// version resource, an ELF ".version.json"; 0 for a directory, a Mach-O
// executable or any other file.
int Executable_ReadVersionTable(const char *path, Dictionary *table);
// Copies the field's text (at most size - 1 bytes, up to a NUL) into out. 0
// when the field is missing.
int Executable_CopyVersionField(Dictionary *table, const char *field, char *out, int size);
// The field of the file at path (NULL or "": the program's own file, from the
// cached table). out is emptied first. 0 when the file has no such field.
int Executable_GetVersionField(const char *path, const char *field, char *out, int size);
// The data store of the file at path (NULL: the own file). 1 with *data a
// new NUL-terminated buffer (free with MEM_FREE(*data, *size + 1)) and *size
// its length; 0 with NULL and 0. Only size, CRC and inflate failures log.
int Executable_ReadDataStore(const char *path, char **data, int64_t *size);
// Data-store search over a region already in memory (the reader's step
// after the region was read). Same results as above.
int Executable_FindDataStore(const uint8_t *region, int64_t regionSize, char **data,
                             int64_t *size);
// The macro handler: "FileVersion", "ProductVersion", "CompanyName",
// "ProductName", "Copyright*" (field "LegalCopyright"), "DataStore" and
// "FileDataStore" (case-insensitive); out holds kExecutableMacroOutputBytes.
// 1 for its own names (also when the value is missing: out then stays as
// it was for the data store, empty for a field), else 0.
int Executable_VersionMacro(void *context, const char *name, const char *argument, char *out);
