// Asn1: a reader of BER/DER data that turns a byte buffer into a tree of
// element nodes pointing into the buffer, converters for the element types of
// certificates, PKCS#7, PKCS#12 and JWS, and two small DER writers (INTEGER
// and SEQUENCE) for signatures. Input is untrusted: every length is checked
// against its region and nothing is read outside it.
//
// Invariants: (1) nodes never own the buffer; it must outlive the tree. A
// node owns its children, and freeing a node frees them. (2) every element
// lies wholly inside its parent's content, and each level of children fills
// that content exactly (an indefinite level ends at its end-of-contents 00
// 00). (3) the top-level elements have depth 0 and no element lies deeper
// than kAsn1MaxDepth, counting the levels inside string contents. (4) the
// children of a primitive BIT STRING (after an unused-bits byte of 0) or
// OCTET STRING are its content read as elements, kept only when the whole
// content parses, and carry kAsn1NodeEncapsulated. (5) accessors and
// converters answer 0 (or NULL) for a NULL node, so walking a tree through
// missing children never stops the program; a pointer to something other
// than a node still does. (6) the nodes of one parse (elements inside string
// contents included) take at most kAsn1NodeBudgetBytesPerByte bytes of
// memory per byte of the region, plus kAsn1NodeBudgetFloorBytes.
//
// Threads: a tree is used by one thread at a time (child lookups move a
// cursor inside the node); the module keeps no shared state.
#pragma once

#include <cstdint>

#include "core/security/bigint.h"
#include "core/runtime/class.h"

constexpr uint32_t kAsn1NodeTag = 0xe7d274d9;
constexpr uint32_t kAsn1ListTag = 0x68c77bb9;
// Nesting limit: real certificates, PKCS#7 and PKCS#12 use about 12 levels.
constexpr int kAsn1MaxDepth = 32;
// Node memory of one parse, as the allocator counts it (guards included): at
// most this many bytes per byte of the region parsed, plus the floor. That is
// about one element per 11 bytes; a certificate has one per 7 to 30, and the
// floor (some 6,000 elements) covers certificates, chains, PKCS#7 signatures
// and PKCS#12 files whole.
constexpr int64_t kAsn1NodeBudgetBytesPerByte = 16;
constexpr int64_t kAsn1NodeBudgetFloorBytes = int64_t(1) << 20;
// Text outputs (OID text, strings) hold this many bytes, terminator included.
constexpr int kAsn1TextBytes = 320;
// The writers' buffers.
constexpr int kAsn1WriteBufferBytes = 320;

// Node flags.
constexpr uint8_t kAsn1NodeIndefinite = 0x1;    // indefinite length; content ends before 00 00
constexpr uint8_t kAsn1NodeEncapsulated = 0x2;  // read from the content of a BIT/OCTET STRING

// Universal tags the converters read.
constexpr uint8_t kAsn1Integer = 0x02;
constexpr uint8_t kAsn1BitString = 0x03;
constexpr uint8_t kAsn1OctetString = 0x04;
constexpr uint8_t kAsn1Oid = 0x06;
constexpr uint8_t kAsn1Utf8String = 0x0C;
constexpr uint8_t kAsn1PrintableString = 0x13;
constexpr uint8_t kAsn1T61String = 0x14;
constexpr uint8_t kAsn1Ia5String = 0x16;
constexpr uint8_t kAsn1UtcTime = 0x17;
constexpr uint8_t kAsn1GeneralizedTime = 0x18;
constexpr uint8_t kAsn1UniversalString = 0x1C;
constexpr uint8_t kAsn1BmpString = 0x1E;
constexpr uint8_t kAsn1Sequence = 0x30;
constexpr uint8_t kAsn1Set = 0x31;

struct Asn1Node;

struct Asn1Link {
  Asn1Node *node;
  Asn1Link *previous;
  Asn1Link *next;
};

struct Asn1List {
  uint32_t tag;  // kAsn1ListTag
  Asn1Link *first;
  Asn1Link *last;
  int32_t count;
  // The last link found by index, so that walking the children in order
  // costs one step per child.
  mutable int32_t cursorIndex;
  mutable Asn1Link *cursor;
};

// An element, or a document: a root without an element of its own whose
// children are the top-level elements.
struct Asn1Node {
  ObjectHeader header;
  Asn1List children;
  const uint8_t *elementStart;  // the identifier octet in the buffer
  uint8_t identifier;           // class (bits 7-6), constructed (bit 5), tag number (4-0)
  uint8_t flags;                // kAsn1Node*
  int32_t headerLength;
  int32_t contentLength;  // indefinite form: the children's bytes, 00 00 not counted
  const uint8_t *content;
  Asn1Node *parent;  // NULL for a root
  Asn1Link link;     // this node's place among its parent's children
};

// ---- Documents and parsing ------------------------------------------------------

// An empty document. Returns 1.
int Asn1_Create(Asn1Node **document);
// Frees a node and everything below it and clears *node; a node that sits in
// a parent is taken out of it first. Returns 1.
int Asn1_Release(Asn1Node **node);
// Frees all children of a node.
void Asn1_Clear(Asn1Node *node);

// Parses length bytes (at most INT32_MAX) into new top-level children of the
// document. Returns 1 when the whole buffer is one or more complete elements;
// 0 otherwise, and then the document has no children.
int Asn1_ParseBuffer(Asn1Node *document, const uint8_t *data, int64_t length);

// The worker: parses the elements of the region [offset, offset + length) of
// data (size bytes) as children of parent, at the given depth. In indefinite
// mode the level ends at an end-of-contents 00 00, which *consumed counts;
// otherwise exactly at the region's end. Returns 1 with *consumed the bytes
// used; 0 (parent's children cleared, *consumed 0) for bad input, a region
// outside the data, or more elements than invariant (6) allows (logged as
// "ASN.1 element limit reached (...)").
int Asn1_Parse(Asn1Node *parent, const uint8_t *data, int64_t size, int64_t offset,
               int64_t length, int indefinite, int depth, int64_t *consumed);

// Reads the header at offset of a region that ends at size: the identifier
// (a high tag number follows in at most 4 base-128 bytes) and a length of at
// most 4 bytes. Returns the content length; 0 with *indefinite 1 for the
// indefinite form (constructed elements only); -1 for a refused universal tag
// number (13, 14, 15, 29, 31 and above), a header cut by the region's end, a
// length above INT32_MAX or running past the region, or the length byte FF.
int32_t Asn1_ReadHeader(const uint8_t *data, int64_t size, int64_t offset, uint8_t *identifier,
                        int32_t *headerLength, int *indefinite);

// ---- Accessors (NULL node: 0 or NULL) -------------------------------------------

// Child number index (from 0); NULL when out of range.
Asn1Node *Asn1_GetChild(const Asn1Node *node, int index);
int Asn1_GetChildCount(const Asn1Node *node);
// The identifier's low five bits (31 for a high tag number).
int Asn1_GetTagNumber(const Asn1Node *node);
// The identifier octet.
int Asn1_GetTag(const Asn1Node *node);
const uint8_t *Asn1_GetElementStart(const Asn1Node *node);
// Header, content and, for the indefinite form, the closing 00 00.
int64_t Asn1_GetElementLength(const Asn1Node *node);
int32_t Asn1_GetContentLength(const Asn1Node *node);
const uint8_t *Asn1_GetContent(const Asn1Node *node);

// ---- Converters: 1 on success, 0 for a NULL node or another type -------------------

// An INTEGER of 1 to 4 content bytes as an unsigned big-endian number; *value
// is 0 on failure.
int Asn1_GetInteger32(const Asn1Node *node, uint32_t *value);
// An INTEGER in two's complement (a set top bit gives a negative value); an
// empty content fails. value is zero on failure.
int Asn1_GetBigInteger(const Asn1Node *node, BigInt *value);
// An OBJECT IDENTIFIER as dotted decimal text into text (kAsn1TextBytes). The
// first subidentifier v gives 0.v below 40, 1.(v - 40) below 80 and
// 2.(v - 80) above. Fails (empty text) for an empty content, a group cut by
// the end, a group with a leading 80 byte, a subidentifier wider than 64 bits
// or text longer than kAsn1TextBytes - 1.
int Asn1_GetOidText(const Asn1Node *node, char *text);
// A UTF8String, PrintableString, T61String or IA5String as its bytes, a
// BMPString (UTF-16BE) or UniversalString (UTF-32BE) as UTF-8, into text
// (kAsn1TextBytes). A longer value is cut at a character boundary. Fails with
// an empty text for other types, a NUL character (which would cut the text
// short of the name it spells) and a BMP or Universal content of the wrong
// length.
int Asn1_GetString(const Asn1Node *node, char *text);
// A UTCTime (YYMMDD[HH[MM[SS]]], YY of 50 and above meaning 19YY) or
// GeneralizedTime (YYYYMMDDHHMM[SS][.f]) ending in Z or a +hhmm/-hhmm offset,
// as seconds since 1970-01-01 00:00:00 UTC (negative before it). Fields are
// range-checked. *time is 0 on failure.
int Asn1_GetUtcTime(const Asn1Node *node, double *time);
// Depth-first search below node (maxDepth levels, -1 for all) for an OBJECT
// IDENTIFIER whose text equals oidText; *value is the element after it in its
// parent (the value of an attribute). The search does not enter encapsulated
// children, so an OID planted inside a string value is not an attribute.
// Returns 0 with *value NULL when there is none.
int Asn1_FindValueByOid(const Asn1Node *node, const char *oidText, int maxDepth, Asn1Node **value);

// ---- Writers ----------------------------------------------------------------------

// Writes value as a minimal DER INTEGER (a 00 byte before a set top bit; zero
// is 02 01 00) into out (kAsn1WriteBufferBytes). Returns the bytes written; 0
// when it does not fit or value is negative.
int Asn1_WriteInteger(const BigInt *value, uint8_t *out);
// Appends one encoded element (its header and content lie within elementSize
// bytes) to the SEQUENCE held in sequence (kAsn1WriteBufferBytes; start with
// 30 00), rewriting the SEQUENCE header in its minimal form. The element must
// not overlap the sequence buffer. Returns the new length of the whole
// SEQUENCE; 0 (sequence unchanged) when the buffer holds no SEQUENCE, the
// element is not one complete definite element, or the result would not fit.
int Asn1_AppendToSequence(uint8_t *sequence, const uint8_t *element, int elementSize);
