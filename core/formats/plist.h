// Plist: XML property lists as a plain Dictionary of typed values. The XML
// object reads and writes the text; this module converts between the XML tree
// it builds (elements dict, key, array, string, integer, real, true, false)
// and Dictionary values (Dictionary, List, String, Int64, Float64, Boolean).
//
// Invariants: (1) reading puts the document's root value (normally the
// top-level dict) into one keyless item of the target, as every document
// reader does; writing takes the target's items as the members of the
// top-level dict. (2) element text is read as written (no trimming), so
// strings keep their blanks and line breaks; integers and reals are checked
// and stored in canonical form, so reals read back bit for bit. (3) what was
// written reads back with the same keys, order, types and values; date and
// data elements, and Null or Unknown items, are refused with a message.
// (4) the object never owns the target.
//
// Results: 1 for success, 0 for a failed read or write (what was converted
// before the failure stays in the target). A NULL object, or an object of
// another class, stops the program with "Pointer is NULL\n" or the
// class-mismatch message.
//
// Threads: one thread at a time per object; there is no lock.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/formats/dictionary.h"
#include "core/runtime/stream.h"

constexpr uint32_t kPlistTag = 0x1e26ae39;

struct Plist;

// A new object without target; reference count 1. Returns 1.
int32_t Plist_Create(Plist **plist) noexcept;
// Frees the object and clears *plist. Also the class destroy function.
void Plist_Release(Plist **plist) noexcept;
// The Dictionary that reading fills and writing reads (borrowed; NULL: none).
int32_t Plist_SetDictionary(Plist *plist, Dictionary *dictionary) noexcept;

// Clears the target and reads a property-list document from the stream into
// it. name (may be NULL) names the source in messages. 0 without a target,
// when the XML cannot be read, when it has no "plist" element ("Failed to
// find plist doctype [%s]") or when the conversion fails.
int32_t Plist_ReadStream(Plist *plist, Stream *stream, const char *name) noexcept;
// Plist_ReadStream of the file at path (File mode 0x21 behind a 4096-byte
// buffer; path names it in messages). A file that cannot be opened logs
// "Unable to open file (%s)" and answers 0 with the target untouched; a
// failed read answers 0.
int32_t Plist_ReadFile(Plist *plist, const char *path) noexcept;
// Writes the target as a property-list document: declaration, DOCTYPE,
// <plist version="1.0"> and the top-level dict, compact. 0 without a target,
// when the conversion fails or the stream does not take every byte.
int32_t Plist_WriteStream(Plist *plist, Stream *stream) noexcept;
// Writes the target as a property-list document into the file at path (File
// mode 0x22, created with its directories when missing) and cuts the file
// behind it. 0 without a target (the file is not touched), when a write
// fails, or when the file cannot be opened ("Unable to open file (%s)").
int32_t Plist_WriteFile(Plist *plist, const char *path) noexcept;

// Converts the items of an XML element's Dictionary (as the XML reader builds
// it) into target: declarations and attributes are skipped, each key element
// names the value that follows. 0 for an element that is not supported
// ("Unsupported data type encountered [%s]"), or an integer or real whose
// text is not a number.
int32_t Plist_ParseXmlDictionary(Plist *plist, Dictionary *xmlDictionary,
                                 Dictionary *target) noexcept;
// Converts the items of source into typed XML elements in xmlContainer (a key
// element before each value of a Dictionary). 0 for a Null or Unknown item
// ("Unsupported data type encountered [%d]"); the conversion stops there.
int32_t Plist_WriteXmlDictionary(Plist *plist, Dictionary *source,
                                 Dictionary *xmlContainer) noexcept;

// Change the item at path in the target to the type and value given (its old
// value released first), or create it with the Dictionary's set-by-path
// operation. 0 without a target or when the path cannot be made.
int32_t Plist_SetStringByPath(Plist *plist, const char *path, const char *text) noexcept;
int32_t Plist_SetBooleanByPath(Plist *plist, const char *path, int32_t value) noexcept;
int32_t Plist_SetInt32ByPath(Plist *plist, const char *path, int32_t value) noexcept;
int32_t Plist_SetFloat64ByPath(Plist *plist, const char *path, double value) noexcept;
