// XML: a small, forgiving XML reader that turns text into a Dictionary tree,
// and the writer that turns such a tree back into XML text. An element is a
// Dictionary item under its name, an attribute an item "-name", element text
// the item "#text" (with the tree's hash-prefix option: the hidden item
// "text"); an element that holds nothing but text becomes a String item.
// Declarations (<?...?>, <!...>, comments) become items "?name" / "!name"
// whose words are Null items. The reader is not validating: malformed text
// gives whatever the tokeniser makes of it, never an error.
//
// Invariants: (1) every parse begins with Xml_Reset, which clears the target
// Dictionary; the target, the compact and keep-text flags and the node
// callback stay between parses. (2) the reader takes its input in reads of up
// to kXmlReadChunkBytes and never looks back; text and attribute values come
// out with the five predefined entities and numeric references to valid code
// points decoded, CDATA sections verbatim. (3) at most kXmlMaxLevels elements
// are open at once; deeper nesting ends the parse with kXmlErrorDepth. A
// closing tag that matches no open element is ignored; one that matches an
// outer element closes the inner ones with it. (4) the writer's output is
// well-formed XML whatever the text and attribute values hold (they are
// escaped); an element or attribute key that cannot be an XML name, or a
// value holding a control byte XML cannot carry, fails the write with a log
// line naming the key. Declaration items are written as they stand.
// (5) the object never owns the target Dictionary.
//
// Results: 1 for success, 0 for a failed parse or write. A NULL object,
// out-pointer or stream, or an object of another class (JSON objects share the
// tag; the destroy function tells them apart), stops the program with
// "Pointer is NULL\n" or the class-mismatch message.
//
// Threads: one thread at a time per object; there is no lock.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/formats/dictionary.h"
#include "core/runtime/stream.h"

// Shared with the JSON object: the destroy function tells the two apart.
constexpr uint32_t kXmlTag = 0xc9b82f72;
constexpr int32_t kXmlMaxLevels = 32;           // open elements at most
constexpr int32_t kXmlNameBytes = 320;          // a level name keeps at most 319 bytes
constexpr int32_t kXmlPathBytes = 1024;         // the callback's path: at most 1023 characters
constexpr int32_t kXmlReadChunkBytes = 4096;    // bytes asked of the stream per read

// Error codes (Xml_GetErrorName gives their names).
enum XmlError : int32_t {
  kXmlErrorNone = 0,        // "Unknown"
  kXmlErrorZeroLength = 1,  // "ZeroLength": the stream held no bytes
  kXmlErrorDepth = 2,       // "Depth": elements nested deeper than kXmlMaxLevels
};

// Node types handed to the callback; each gives the item type beside it.
enum XmlNodeType : int32_t {
  kXmlNodeValue = 1,        // attribute value or text: String
  kXmlNodeElement = 3,      // element (and closing tag, name "/name"): Dictionary
  kXmlNodeBareAttribute = 6,  // attribute without value: Null
  kXmlNodeDeclarationEnd = 8,  // the last bare word of a declaration: Null
};

struct XML;

// Called for every node before the tree is changed (also without a target):
// path is the names of the open elements and the node's own name joined with
// '\' (cut at 1023 characters); token and length the node's decoded text (the
// name for elements), terminated; streamPosition the bytes consumed so far;
// nodePosition the input offset where the node's text began and nodeSize the
// input bytes it took (cut at 2^31 - 1). The callback must not change the
// object.
typedef void (*XmlNodeCallback)(XML *xml, void *context, const char *path, int32_t nodeType,
                                const char *token, int32_t length, int64_t streamPosition,
                                int32_t nodePosition, int32_t nodeSize);

// A new object: reference count 1, compact on, keep-text off, no target.
// Returns 1.
int32_t Xml_Create(XML **xml) noexcept;
// Frees the object and clears *xml. Also the class destroy function.
void Xml_Release(XML **xml) noexcept;

// The Dictionary that parsing fills and writing reads (NULL: none; borrowed).
int32_t Xml_SetDictionary(XML *xml, Dictionary *dictionary) noexcept;
// 1 when one is set; *dictionary NULL otherwise.
int32_t Xml_GetDictionary(XML *xml, Dictionary **dictionary) noexcept;
// 1 (the default): no indentation and no line breaks; 0: four blanks per
// level and "\n" after each line. Returns 1.
int32_t Xml_SetCompact(XML *xml, int32_t flag) noexcept;
// 0 (the default): element text loses literal leading and trailing blanks,
// tabs and line breaks. 1: element text is kept as written; text made only of
// such bytes is still dropped unless it is the whole content of its element
// (<string>  </string> keeps its blanks). Returns 1.
int32_t Xml_SetKeepText(XML *xml, int32_t flag) noexcept;
// Sets the node callback (a NULL function clears it). Returns 1.
int32_t Xml_SetNodeCallback(XML *xml, void *context, XmlNodeCallback function) noexcept;
// The error code of the last parse. Returns 1.
int32_t Xml_GetErrorCode(XML *xml, int32_t *code) noexcept;
// "Unknown", "ZeroLength", "Depth"; any other code gives "Unknown".
const char *Xml_GetErrorName(int32_t code) noexcept;

// Clears the levels, the counters, the error code and the target's items.
// Returns 1.
int32_t Xml_Reset(XML *xml) noexcept;

// Reset, then reads the stream to its end and builds the tree into the
// target. Returns 0 when the stream held no bytes (kXmlErrorZeroLength), when
// nesting was too deep (kXmlErrorDepth; the parse stops there) or when the
// stream's error word is above 0 afterwards; the error code also goes into
// that word when it is 0 or below. Malformed text is no error.
int32_t Xml_ParseStream(XML *xml, Stream *stream) noexcept;
// Xml_ParseStream of the file at path (File mode 0x21 behind a 4096-byte
// buffer). A file that cannot be opened logs "Unable to open file (%s)" and
// answers 0 with the target untouched; a failed read answers 0.
int32_t Xml_ParseFile(XML *xml, const char *path) noexcept;
// Parses length bytes of text (read in place). text may be NULL only when
// length is 0.
int32_t Xml_ParseMemory(XML *xml, const void *text, int32_t length) noexcept;

// Writes the target. 0 when there is none, when the stream does not take
// every byte, or for a key or value that XML cannot carry (see invariant 4).
int32_t Xml_WriteStream(XML *xml, Stream *stream) noexcept;
// Writes the target into the file at path (File mode 0x22, created with its
// directories when missing) and cuts the file behind the text. A target that
// cannot be written (invariant 4, or none) fails before the file is touched.
// 0 also when a write fails or the file cannot be opened ("Unable to open
// file (%s)").
int32_t Xml_WriteFile(XML *xml, const char *path) noexcept;
// Writes into the caller's buffer (no terminator); *length = bytes written.
// 0 when the text does not fit (the buffer then holds a cut text).
int32_t Xml_WriteMemory(XML *xml, void *buffer, int32_t size, int32_t *length) noexcept;
// The byte length of the text Xml_WriteStream would write; 0 (with *length
// 0) when the write would fail.
int32_t Xml_GetWriteLength(XML *xml, int64_t *length) noexcept;

// Makes sure the Dictionary starts with a declaration item "?xml" holding
// "-version" = "1.0", "-encoding" = "UTF-8" and, as its last item, the Null
// item "-?"; hands it out (item may be NULL). Returns 1.
int32_t Xml_EnsureDeclaration(Dictionary *dictionary, DictionaryItem **item) noexcept;
// Makes sure the Dictionary has the property-list DOCTYPE item "!DOCTYPE"
// (after "?xml", or first), refilled with its four words; hands it out (item
// may be NULL). Returns 1.
int32_t Xml_EnsurePlistDoctype(Dictionary *dictionary, DictionaryItem **item) noexcept;
