// Certificate chains and the trust walk; see x509chain.h.
#include "core/security/x509chain.h"

#include <cstring>
#include <vector>

#include "core/runtime/memory.h"
#include "core/security/auth.h"

namespace {

X509Chain *chainCheck(X509Chain *chain, const char *sourcePath, int line) {
  Class_Check(chain, kX509ChainTag, sourcePath, line);
  return chain;
}
#define CHAIN_CHECK(chain) chainCheck((chain), KSRC)

void chainDestroy(void **object) {
  auto *chain = static_cast<X509Chain *>(*object);
  X509Chain_Clear(chain);
  chain->header.classTag = 0;
  MEM_FREE(chain, sizeof(X509Chain));
}

// One walk: the chain, the store, the policy, the budget and what the
// paths that failed came to.
struct ChainWalk {
  X509Chain *chain = nullptr;
  CertStore *store = nullptr;
  X509Purpose purpose = X509Purpose::Any;
  double time = 0;
  int checks = 0;
  bool stop = false;             // a store rejected, or the budget ran out
  std::vector<X509 *> path;      // the leaf first, the certificate being asked last
  // The first certificate of the path outside its validity (its index), and
  // which way; -1 while every date on the path holds.
  int datesFailAt = -1;
  X509ChainVerdict datesVerdict = X509ChainVerdict::Trusted;
  X509ChainVerdict verdict = X509ChainVerdict::Trusted;  // the nearest miss so far
};

// How near to trust a verdict came (see X509ChainVerdict).
int chainRank(X509ChainVerdict verdict) {
  switch (verdict) {
    case X509ChainVerdict::Trusted: return 0;
    case X509ChainVerdict::SelfSigned:
    case X509ChainVerdict::UnknownIssuer: return 1;
    case X509ChainVerdict::Invalid: return 2;
    case X509ChainVerdict::Expired:
    case X509ChainVerdict::NotYetValid: return 3;
    case X509ChainVerdict::Rejected: return 4;
  }
  return 0;
}

void chainNote(ChainWalk &walk, X509ChainVerdict verdict) {
  if (chainRank(verdict) > chainRank(walk.verdict)) walk.verdict = verdict;
}

// cert may issue: v3 with cA TRUE, or a self-issued certificate the store
// trusts that does not say cA FALSE; keyCertSign when keyUsage is present.
bool chainIsCa(const X509 *cert, bool trusted) {
  bool ca = (cert->Extensions & kX509ExtBasicConstraints) != 0 && cert->IsCa && cert->Version >= 2;
  if (!ca && trusted && X509_IsSelfIssued(cert))
    ca = (cert->Extensions & kX509ExtBasicConstraints) == 0 || cert->IsCa;
  if (!ca) return false;
  return (cert->Extensions & kX509ExtKeyUsage) == 0 ||
         (cert->KeyUsage & kX509KeyUsageKeyCertSign) != 0;
}

bool chainPurposeOk(const X509 *leaf, X509Purpose purpose) {
  if (purpose == X509Purpose::Any || (leaf->Extensions & kX509ExtExtendedKeyUsage) == 0)
    return true;
  uint32_t wanted = purpose == X509Purpose::ServerAuth ? kX509EkuServerAuth : kX509EkuCodeSigning;
  return (leaf->ExtendedKeyUsage & (wanted | kX509EkuAny)) != 0;
}

bool chainSameCertificate(const X509 *a, const X509 *b) {
  return a == b || (a->DerLength == b->DerLength &&
                    memcmp(a->Der, b->Der, size_t(a->DerLength)) == 0);
}

// A server that lists its certificate twice must not make the copy its own
// issuer.
bool chainOnPath(const ChainWalk &walk, const X509 *cert) {
  for (const X509 *c : walk.path)
    if (chainSameCertificate(c, cert)) return true;
  return false;
}

// 1 when the store pins cert itself: it knows the certificate's thumbprint
// under one of the hashes pins are given in.
bool chainIsPinned(CertStore *store, const X509 *cert) {
  static constexpr const HashInterface *kPinHashes[] = {&kHashSha256, &kHashSha1, &kHashSha384,
                                                        &kHashSha512, &kHashSha224};
  for (const HashInterface *hash : kPinHashes) {
    uint8_t digest[kHashMaxDigestBytes];
    if (X509_GetThumbprint(cert, hash, digest, int32_t(sizeof digest)) &&
        CertStore_CheckDigest(store, hash, digest, hash->DigestSize) == 1)
      return true;
  }
  return false;
}

// Notes cert (the last of the path) as where the path's dates first fail
// when they do not hold at the walk's time; the store's trust in a
// self-issued or a pinned certificate stands whatever its dates.
void chainNoteDates(ChainWalk &walk, X509 *cert, bool trusted) {
  if (walk.time == 0 || (walk.time >= cert->NotBefore && walk.time <= cert->NotAfter)) return;
  if (trusted && (X509_IsSelfIssued(cert) || chainIsPinned(walk.store, cert))) return;
  if (walk.datesFailAt < 0) {
    walk.datesFailAt = int(walk.path.size()) - 1;
    walk.datesVerdict = walk.time < cert->NotBefore ? X509ChainVerdict::NotYetValid
                                                    : X509ChainVerdict::Expired;
  }
}

// Asks the store about the last certificate of the path and, unless it is
// trusted, goes on through every chain entry that issued it. A date that
// fails does not end the path at once: it is followed to its end, so that
// the verdict can tell an expired certificate from an untrusted one.
bool chainVisit(ChainWalk &walk) {
  X509 *cert = walk.path.back();
  int rejected = 0;
  bool trusted = CertStore_CheckCertificate(walk.store, cert, &rejected) == 1;
  if (rejected) {
    chainNote(walk, X509ChainVerdict::Rejected);
    walk.stop = true;
    return false;
  }
  size_t position = walk.path.size() - 1;
  if (position > 0) {
    bool ok = chainIsCa(cert, trusted);
    // pathLen counts the non-self-issued intermediates below this issuer.
    int intermediates = 0;
    for (size_t i = 1; i < position; i++)
      if (!X509_IsSelfIssued(walk.path[i])) intermediates++;
    if (cert->PathLength >= 0 && intermediates > cert->PathLength) ok = false;
    if (!ok) {
      chainNote(walk, X509ChainVerdict::Invalid);
      return false;
    }
  }
  chainNoteDates(walk, cert, trusted);
  if (trusted) {
    if (walk.datesFailAt < 0) return true;
    chainNote(walk, walk.datesVerdict);
    return false;
  }
  if (int(position) >= kX509ChainMaxDepth) {
    chainNote(walk, X509ChainVerdict::Invalid);
    return false;
  }
  int issuers = 0;
  for (X509ChainNode *node = walk.chain->first; node != nullptr; node = node->next) {
    X509 *issuer = node->cert;
    if (chainOnPath(walk, issuer) || !X509_IsIssuedBy(cert, issuer)) continue;
    issuers++;
    if (++walk.checks > kX509ChainMaxChecks) {
      chainNote(walk, X509ChainVerdict::Invalid);
      walk.stop = true;
      return false;
    }
    if (!X509_VerifyIssued(issuer, cert)) {
      chainNote(walk, X509ChainVerdict::Invalid);
      continue;
    }
    walk.path.push_back(issuer);
    bool ok = chainVisit(walk);
    walk.path.pop_back();
    if (walk.datesFailAt >= int(walk.path.size())) walk.datesFailAt = -1;
    if (ok) return true;
    if (walk.stop) return false;
  }
  if (issuers == 0)
    chainNote(walk, position == 0 && X509_IsSelfIssued(cert) ? X509ChainVerdict::SelfSigned
                                                             : X509ChainVerdict::UnknownIssuer);
  return false;
}

}  // namespace

int X509Chain_Create(X509Chain **chain) {
  CHECK_POINTER(chain);
  auto *c = static_cast<X509Chain *>(MEM_ALLOC(sizeof(X509Chain), MEM_ZEROED));
  c->header.classTag = kX509ChainTag;
  c->header.refCount.store(1, std::memory_order_relaxed);
  c->header.destroy = chainDestroy;
  *chain = c;
  return 1;
}

int X509Chain_Release(X509Chain **chain) {
  CHECK_POINTER(chain);
  CHAIN_CHECK(*chain);
  Class_ReleaseObject(chain);
  return 1;
}

void X509Chain_Clear(X509Chain *chain) {
  CHAIN_CHECK(chain);
  X509ChainNode *node = chain->first;
  while (node != nullptr) {
    X509ChainNode *next = node->next;
    X509_Release(&node->cert);
    MEM_FREE(node, sizeof(X509ChainNode));
    node = next;
  }
  chain->first = chain->last = nullptr;
  chain->count = 0;
}

int X509Chain_Add(X509Chain *chain, const X509 *cert) {
  CHAIN_CHECK(chain);
  X509 *copy = nullptr;
  X509_Create(&copy);
  if (!X509_Copy(copy, cert)) {
    X509_Release(&copy);
    return 0;
  }
  auto *node = static_cast<X509ChainNode *>(MEM_ALLOC(sizeof(X509ChainNode), MEM_ZEROED));
  node->tag = kX509ChainListTag;
  node->cert = copy;
  node->previous = chain->last;
  if (chain->last != nullptr)
    chain->last->next = node;
  else
    chain->first = node;
  chain->last = node;
  chain->count++;
  return 1;
}

int X509Chain_LoadFromAsn1List(X509Chain *chain, const Asn1Node *node) {
  CHAIN_CHECK(chain);
  X509Chain_Clear(chain);
  X509 *cert = nullptr;
  X509_Create(&cert);
  int ok = 1;
  for (int i = 0; ok && i < Asn1_GetChildCount(node); i++)
    ok = X509_LoadFromNode(cert, Asn1_GetChild(node, i)) && X509Chain_Add(chain, cert);
  X509_Release(&cert);
  if (!ok) X509Chain_Clear(chain);
  return ok;
}

int X509Chain_GetFirst(X509Chain *chain, X509 **cert) {
  CHAIN_CHECK(chain);
  CHECK_POINTER(cert);
  *cert = chain->first != nullptr ? chain->first->cert : nullptr;
  return *cert != nullptr ? 1 : 0;
}

int X509Chain_FindIssuer(X509Chain *chain, const X509 *cert, X509 **issuer) {
  CHAIN_CHECK(chain);
  CHECK_POINTER(issuer);
  *issuer = nullptr;
  for (X509ChainNode *node = chain->first; node != nullptr; node = node->next)
    if (X509_IsIssuedBy(cert, node->cert)) {
      *issuer = node->cert;
      return 1;
    }
  return 0;
}

int X509Chain_FindByIssuerSerial(X509Chain *chain, const X500Name *name, const BigInt *serial,
                                 X509 **cert) {
  CHAIN_CHECK(chain);
  CHECK_POINTER(cert);
  *cert = nullptr;
  for (X509ChainNode *node = chain->first; node != nullptr; node = node->next)
    if (X509_MatchIssuerSerial(node->cert, name, serial)) {
      *cert = node->cert;
      return 1;
    }
  return 0;
}

int X509Chain_Verify(X509Chain *chain, X509 *cert, CertStore *store) {
  return X509Chain_VerifyPolicy(chain, cert, store, X509Purpose::Any, 0);
}

int X509Chain_VerifyPolicy(X509Chain *chain, X509 *cert, CertStore *store, X509Purpose purpose,
                           double time) {
  return X509Chain_VerifyVerdict(chain, cert, store, purpose, time, nullptr);
}

int X509Chain_VerifyVerdict(X509Chain *chain, X509 *cert, CertStore *store, X509Purpose purpose,
                            double time, X509ChainVerdict *verdict) {
  CHAIN_CHECK(chain);
  CLASS_CHECK(cert, kX509Tag);
  CLASS_CHECK(store, kCertStoreTag);
  X509ChainVerdict none = X509ChainVerdict::Trusted;
  X509ChainVerdict &out = verdict != nullptr ? *verdict : none;
  // Switched off, the store trusts at once and nothing else is checked.
  if (!Authenticate_Enabled()) {
    int rejected = 0;
    int trusted = CertStore_CheckCertificate(store, cert, &rejected);
    out = trusted ? X509ChainVerdict::Trusted : X509ChainVerdict::UnknownIssuer;
    return trusted;
  }
  out = X509ChainVerdict::Invalid;
  if (cert->DerLength == 0 || !chainPurposeOk(cert, purpose)) return 0;
  ChainWalk walk;
  walk.chain = chain;
  walk.store = store;
  walk.purpose = purpose;
  walk.time = time;
  walk.path.push_back(cert);
  bool trusted = chainVisit(walk);
  out = trusted ? X509ChainVerdict::Trusted : walk.verdict;
  // Every refusal notes its verdict; none is ever told as Trusted.
  if (!trusted && out == X509ChainVerdict::Trusted) out = X509ChainVerdict::Invalid;
  return trusted ? 1 : 0;
}

int X509Chain_Log(X509Chain *chain) {
  CHAIN_CHECK(chain);
  for (X509ChainNode *node = chain->first; node != nullptr; node = node->next)
    X509_Log(node->cert);
  return 1;
}

int X509Chain_LoadX5c(X509Chain *chain, Dictionary *list) {
  CHAIN_CHECK(chain);
  int32_t count = 0;
  if (list == nullptr || !Dictionary_GetCount(list, &count)) return 0;
  X509 *cert = nullptr;
  X509_Create(&cert);
  int ok = 1;
  for (int32_t i = 0; ok && i < count; i++) {
    DictionaryItem *item = nullptr;
    const char *text = nullptr;
    int32_t length = 0;
    ok = Dictionary_GetItemByIndex(list, i, nullptr, &item) &&
         Dictionary_GetItemText(list, item, &text, &length) && text != nullptr &&
         X509_LoadFromBase64(cert, text, length) && X509Chain_Add(chain, cert);
  }
  X509_Release(&cert);
  return ok;
}

int X509Chain_FindKeyByX5c(Dictionary *header, CertStore *store, X509Purpose purpose,
                           CryptAsymmetric **key) {
  CHECK_POINTER(key);
  *key = nullptr;
  Dictionary *list = nullptr;
  int32_t count = 0;
  if (header == nullptr || !Dictionary_GetListByKey(header, "x5c", &list) || list == nullptr ||
      !Dictionary_GetCount(list, &count) || count < 1)
    return 0;
  X509Chain *chain = nullptr;
  X509Chain_Create(&chain);
  int ok = X509Chain_LoadX5c(chain, list);
  X509 *first = nullptr;
  if (ok && X509Chain_GetFirst(chain, &first) &&
      X509Chain_VerifyPolicy(chain, first, store, purpose, 0)) {
    // The key outlives the chain: it must no longer log through its
    // certificate.
    CryptAsymmetric_SetLogHook(first->PublicKey, nullptr, nullptr);
    *key = static_cast<CryptAsymmetric *>(Class_Retain(first->PublicKey));
  }
  X509Chain_Release(&chain);
  return *key != nullptr ? 1 : 0;
}
