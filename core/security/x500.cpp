// X.500 names: parsing into texts and DER, and equality; see x500.h.
#include "core/security/x500.h"

#include <cstring>

#include "core/runtime/memory.h"
#include "core/runtime/strw.h"

namespace {

constexpr int kX500MaxSetAttributes = 64;  // a larger multi-valued RDN compares by DER only

void x500Destroy(void **object) {
  auto *name = static_cast<X500Name *>(*object);
  if (name->der != nullptr) MEM_FREE(name->der, name->derLength);
  MEM_FREE(name, int64_t(sizeof(X500Name)));
}

void x500Reset(X500Name *name) {
  name->organization[0] = '\0';
  name->organizationalUnit[0] = '\0';
  name->commonName[0] = '\0';
  if (name->der != nullptr) MEM_FREE(name->der, name->derLength);
  name->der = nullptr;
  name->derLength = 0;
}

// An AttributeTypeAndValue: a SEQUENCE of an OID and at least a value.
bool x500IsAttribute(const Asn1Node *attribute) {
  return Asn1_GetTag(attribute) == kAsn1Sequence && Asn1_GetChildCount(attribute) >= 2 &&
         Asn1_GetTag(Asn1_GetChild(attribute, 0)) == kAsn1Oid;
}

// A Name: a SEQUENCE of non-empty SETs of attributes.
bool x500IsName(const Asn1Node *node) {
  if (Asn1_GetTag(node) != kAsn1Sequence) return false;
  for (int i = 0; i < Asn1_GetChildCount(node); i++) {
    const Asn1Node *rdn = Asn1_GetChild(node, i);
    if (Asn1_GetTag(rdn) != kAsn1Set || Asn1_GetChildCount(rdn) < 1) return false;
    for (int k = 0; k < Asn1_GetChildCount(rdn); k++)
      if (!x500IsAttribute(Asn1_GetChild(rdn, k))) return false;
  }
  return true;
}

// ---- Value comparison ---------------------------------------------------------------

// Reads the characters of a string value as code points.
struct X500Chars {
  const uint8_t *p;
  const uint8_t *end;
  int type;
  bool started;          // a character other than a space has been given
  bool hasPending;       // a character read past a run of spaces
  uint32_t pending;
};

// The next code point of the value: 1, 0 at its end, -1 when the content is
// not text of its type.
int x500RawNext(X500Chars *c, uint32_t *codePoint) {
  if (c->p >= c->end) return 0;
  switch (c->type) {
    case kAsn1Utf8String: {
      // Decode within the content only: copy the sequence's bytes out first.
      char bytes[8] = {};
      int available = int(c->end - c->p) < 6 ? int(c->end - c->p) : 6;
      memcpy(bytes, c->p, size_t(available));
      int length = 0;
      if (!StrW_DecodeUtf8Sequence(bytes, codePoint, &length) || length > available) return -1;
      c->p += length;
      return 1;
    }
    case kAsn1PrintableString:
    case kAsn1Ia5String:
    case kAsn1T61String:
      *codePoint = *c->p++;
      return 1;
    case kAsn1BmpString:
      if (c->end - c->p < 2) return -1;
      *codePoint = uint32_t(c->p[0]) << 8 | c->p[1];
      c->p += 2;
      return 1;
    case kAsn1UniversalString:
      if (c->end - c->p < 4) return -1;
      *codePoint = uint32_t(c->p[0]) << 24 | uint32_t(c->p[1]) << 16 | uint32_t(c->p[2]) << 8 | c->p[3];
      c->p += 4;
      return 1;
    default:
      return -1;
  }
}

uint32_t x500Fold(uint32_t codePoint) {
  return codePoint >= 'A' && codePoint <= 'Z' ? codePoint + ('a' - 'A') : codePoint;
}

// The next character with spaces normalised: none at either end, one for
// each inner run.
int x500Next(X500Chars *c, uint32_t *codePoint) {
  if (c->hasPending) {
    c->hasPending = false;
    *codePoint = c->pending;
    return 1;
  }
  int got = x500RawNext(c, codePoint);
  if (got <= 0 || *codePoint != ' ') {
    if (got > 0) {
      c->started = true;
      *codePoint = x500Fold(*codePoint);
    }
    return got;
  }
  uint32_t next = ' ';
  while ((got = x500RawNext(c, &next)) > 0 && next == ' ') {
  }
  if (got <= 0) return got;  // trailing spaces end the value
  next = x500Fold(next);
  if (!c->started) {  // leading spaces are dropped
    c->started = true;
    *codePoint = next;
    return 1;
  }
  c->hasPending = true;
  c->pending = next;
  *codePoint = ' ';
  return 1;
}

bool x500SameDer(const Asn1Node *a, const Asn1Node *b) {
  int64_t length = Asn1_GetElementLength(a);
  return length == Asn1_GetElementLength(b) &&
         memcmp(Asn1_GetElementStart(a), Asn1_GetElementStart(b), size_t(length)) == 0;
}

bool x500SameValue(const Asn1Node *a, const Asn1Node *b) {
  X500Chars ca{Asn1_GetContent(a), Asn1_GetContent(a) + Asn1_GetContentLength(a), Asn1_GetTag(a),
               false, false, 0};
  X500Chars cb{Asn1_GetContent(b), Asn1_GetContent(b) + Asn1_GetContentLength(b), Asn1_GetTag(b),
               false, false, 0};
  for (;;) {
    uint32_t x = 0, y = 0;
    int gotA = x500Next(&ca, &x), gotB = x500Next(&cb, &y);
    if (gotA < 0 || gotB < 0) return x500SameDer(a, b);  // not both text: exact bytes
    if (gotA != gotB) return false;
    if (gotA == 0) return true;
    if (x != y) return false;
  }
}

bool x500SameAttribute(const Asn1Node *a, const Asn1Node *b) {
  return x500SameDer(Asn1_GetChild(a, 0), Asn1_GetChild(b, 0)) &&
         Asn1_GetChildCount(a) == Asn1_GetChildCount(b) &&
         x500SameValue(Asn1_GetChild(a, 1), Asn1_GetChild(b, 1));
}

// Two RDNs as sets: every attribute of a matches a distinct one of b. The
// matching is an equivalence, so taking the first free match is enough.
bool x500SameRdn(const Asn1Node *a, const Asn1Node *b) {
  int count = Asn1_GetChildCount(a);
  if (count != Asn1_GetChildCount(b) || count > kX500MaxSetAttributes) return false;
  uint64_t used = 0;
  for (int i = 0; i < count; i++) {
    bool matched = false;
    for (int k = 0; k < count && !matched; k++) {
      if ((used >> k) & 1) continue;
      if (x500SameAttribute(Asn1_GetChild(a, i), Asn1_GetChild(b, k))) {
        used |= uint64_t(1) << k;
        matched = true;
      }
    }
    if (!matched) return false;
  }
  return true;
}

bool x500SameNames(const Asn1Node *a, const Asn1Node *b) {
  int count = Asn1_GetChildCount(a);
  if (count != Asn1_GetChildCount(b)) return false;
  for (int i = 0; i < count; i++)
    if (!x500SameRdn(Asn1_GetChild(a, i), Asn1_GetChild(b, i))) return false;
  return true;
}

}  // namespace

int X500Name_Create(X500Name **name) {
  CHECK_POINTER(name);
  auto *n = static_cast<X500Name *>(MEM_ALLOC(int64_t(sizeof(X500Name)), MEM_ZEROED));
  n->header.classTag = kX500NameTag;
  n->header.refCount.store(1, std::memory_order_relaxed);
  n->header.destroy = x500Destroy;
  Class_GenerateInstanceId(n);
  *name = n;
  return 1;
}

int X500Name_Release(X500Name **name) {
  CHECK_POINTER(name);
  CLASS_CHECK(*name, kX500NameTag);
  Class_ReleaseObject(name);
  return 1;
}

int X500Name_Parse(X500Name *name, const Asn1Node *node) {
  CLASS_CHECK(name, kX500NameTag);
  x500Reset(name);
  if (!x500IsName(node)) return 0;
  int64_t length = Asn1_GetElementLength(node);
  name->der = static_cast<uint8_t *>(MEM_ALLOC(length, 0));
  memcpy(name->der, Asn1_GetElementStart(node), size_t(length));
  name->derLength = int32_t(length);
  int found = 0;
  char oid[kAsn1TextBytes], value[kAsn1TextBytes];
  for (int i = 0; i < Asn1_GetChildCount(node); i++) {
    const Asn1Node *rdn = Asn1_GetChild(node, i);
    for (int k = 0; k < Asn1_GetChildCount(rdn); k++) {
      const Asn1Node *attribute = Asn1_GetChild(rdn, k);
      if (!Asn1_GetOidText(Asn1_GetChild(attribute, 0), oid)) continue;
      char *field = strcmp(oid, "2.5.4.10") == 0   ? name->organization
                    : strcmp(oid, "2.5.4.11") == 0 ? name->organizationalUnit
                    : strcmp(oid, "2.5.4.3") == 0  ? name->commonName
                                                   : nullptr;
      if (field == nullptr || !Asn1_GetString(Asn1_GetChild(attribute, 1), value)) continue;
      memcpy(field, value, kX500TextBytes);
      found = 1;
    }
  }
  return found;
}

int X500Name_Equal(const X500Name *a, const X500Name *b) {
  CLASS_CHECK(a, kX500NameTag);
  CLASS_CHECK(b, kX500NameTag);
  if (a->derLength == b->derLength &&
      (a->derLength == 0 || memcmp(a->der, b->der, size_t(a->derLength)) == 0))
    return 1;
  if (a->derLength == 0 || b->derLength == 0) return 0;
  Asn1Node *treeA = nullptr, *treeB = nullptr;
  Asn1_Create(&treeA);
  Asn1_Create(&treeB);
  int equal = Asn1_ParseBuffer(treeA, a->der, a->derLength) &&
              Asn1_ParseBuffer(treeB, b->der, b->derLength) &&
              x500SameNames(Asn1_GetChild(treeA, 0), Asn1_GetChild(treeB, 0));
  Asn1_Release(&treeA);
  Asn1_Release(&treeB);
  return equal;
}
