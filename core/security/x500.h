// X500Name: the distinguished name of a certificate's issuer or subject, kept
// as the three texts that the system logs and shows (organization,
// organizational unit, common name) and as a copy of the Name's DER, which
// decides equality.
//
// Invariants: (1) each text is UTF-8 and holds the value of the last
// attribute of its type in the Name, empty when there is none. (2) der holds
// the whole Name element exactly as parsed (derLength bytes), or is NULL with
// derLength 0 when no Name has been parsed.
//
// Threads: a name is used by one thread at a time; the module keeps no shared
// state.
#pragma once

#include <cstdint>

#include "core/security/asn.h"
#include "core/runtime/class.h"

constexpr uint32_t kX500NameTag = 0x0cbdaec3;
constexpr int kX500TextBytes = 320;

struct X500Name {
  ObjectHeader header;
  char organization[kX500TextBytes];        // 2.5.4.10
  char organizationalUnit[kX500TextBytes];  // 2.5.4.11
  char commonName[kX500TextBytes];          // 2.5.4.3
  uint8_t *der;
  int32_t derLength;
};

// An empty name. Returns 1.
int X500Name_Create(X500Name **name);
// Frees the name and clears *name. Returns 1.
int X500Name_Release(X500Name **name);

// Reads a Name (a SEQUENCE of RDN SETs of {OID, value} SEQUENCEs) from node,
// replacing what name held. Every attribute of every RDN is read in order, so
// a later occurrence of O, OU or CN overwrites an earlier one; values convert
// as Asn1_GetString does. Returns 1 when at least one of O, OU and CN was
// found. Returns 0 for a NULL node or a malformed Name (the name is then
// empty); a well-formed Name without those attributes also gives 0, but its
// DER is kept for comparisons.
int X500Name_Parse(X500Name *name, const Asn1Node *node);

// 1 when the names are equal: their DER is identical, or they have the same
// RDNs in the same order (the attributes of a multi-valued RDN compared as a
// set), each attribute with the same type and a value equal after ASCII case
// folding, with leading and trailing spaces dropped and inner runs of spaces
// taken as one. Values of string types compare by their characters whatever
// the string type; other values compare by their DER.
int X500Name_Equal(const X500Name *a, const X500Name *b);
