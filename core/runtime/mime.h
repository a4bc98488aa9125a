// Mime: the fixed table that maps file-name extensions to MIME types, for
// Content-Type headers.
//
// Invariants: (1) GlobalMIME exists exactly between Mime_Init and
// Mime_Shutdown and holds the 193 built-in rows. (2) the entry list is sorted
// by key, ascending, with no two equal keys. (3) a key is the CRC-32 of the
// extension with ASCII letters upper-cased, read as a big-endian number, so
// lookups ignore the extension's case.
//
// Threads: Mime_Init and Mime_Shutdown run on the main thread at start-up and
// shutdown; in between, Mime_GetType may run on any thread (it only reads).
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

constexpr uint32_t kMimeTag = 0x81eeb448;
constexpr int kMimeRows = 193;

// One row of the table; a member of the table's pool.
struct MimeEntry {
  uint32_t classTag;
  uint32_t key;
  char extension[10];
  char type[40];
  char subtype[82];
  MimeEntry *next;
  MimeEntry *previous;
};

// Builds the table. A second call stops the program with "Assertion failed
// (GlobalMIME == NULL)\nMIME already initialized".
void Mime_Init(void);
// Empties the list, releases the pool and forgets the table; nothing happens
// when there is none.
void Mime_Shutdown(void);

// Sets *type and *subtype to "application" and "octet-stream", then looks up
// the extension of fileName: the text after its last '.', unless a '/', '\\'
// or ':' comes after that '.'. Returns 1 with *type and *subtype pointing into
// the table (valid until Mime_Shutdown) when the extension is known; 0 for a
// name without an extension or with an unknown one. Stops the program with
// "Pointer is NULL\n" on a NULL argument or before Mime_Init.
int Mime_GetType(const char *fileName, const char **type, const char **subtype);

// The entry with the smallest key, for walking the list (NULL without a
// table).
const MimeEntry *Mime_GetFirstEntry(void);
