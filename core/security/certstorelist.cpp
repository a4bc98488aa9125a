// The list store; see certstorelist.h.
#include "core/security/certstorelist.h"

#include "core/runtime/memory.h"

namespace {

CertStoreList *listCheck(CertStoreList *list, const char *sourcePath, int line) {
  Class_Check(list, kCertStoreListTag, sourcePath, line);
  return list;
}
#define LIST_CHECK(list) listCheck((list), KSRC)

void listClearLocked(CertStoreList *list) {
  CertStoreListNode *node = list->First;
  while (node != nullptr) {
    CertStoreListNode *next = node->next;
    CertStore_Release(&node->store);
    MEM_FREE(node, sizeof(CertStoreListNode));
    node = next;
  }
  list->First = list->Last = nullptr;
  list->Count = 0;
}

void listDestroy(void **object) {
  auto *list = static_cast<CertStoreList *>(*object);
  listClearLocked(list);
  CriticalSection_Delete(&list->Lock);
  list->header.classTag = 0;
  MEM_FREE(list, sizeof(CertStoreList));
}

// Asks each member in turn; ask returns the member's answer and may set
// *rejected.
template <typename Ask>
int listWalk(CertStoreList *list, int *rejected, Ask ask) {
  CriticalSection_Enter(list->Lock);
  int answer = 0;
  for (CertStoreListNode *node = list->First; node != nullptr; node = node->next) {
    int memberRejected = 0;
    if (ask(node->store, &memberRejected)) {
      answer = 1;
      break;
    }
    if (memberRejected) {
      *rejected = 1;
      break;
    }
  }
  CriticalSection_Leave(list->Lock);
  return answer;
}

int listCheckCertificate(CertStore *, void *context, X509 *cert, int *rejected) {
  auto *list = LIST_CHECK(static_cast<CertStoreList *>(context));
  return listWalk(list, rejected, [cert](CertStore *member, int *memberRejected) {
    return CertStore_CheckCertificate(member, cert, memberRejected);
  });
}

int listFindKey(CertStore *, void *context, Dictionary *header, CryptAsymmetric **key,
                int *rejected) {
  auto *list = LIST_CHECK(static_cast<CertStoreList *>(context));
  return listWalk(list, rejected, [header, key](CertStore *member, int *memberRejected) {
    return CertStore_FindKey(member, header, key, memberRejected);
  });
}

int listCheckDigest(CertStore *, void *context, const HashInterface *hash, const uint8_t *digest,
                    int32_t length) {
  auto *list = LIST_CHECK(static_cast<CertStoreList *>(context));
  int ignored = 0;
  return listWalk(list, &ignored, [=](CertStore *member, int *) {
    return CertStore_CheckDigest(member, hash, digest, length);
  });
}

}  // namespace

int CertStoreList_Create(CertStoreList **list) {
  CHECK_POINTER(list);
  auto *l = static_cast<CertStoreList *>(MEM_ALLOC(sizeof(CertStoreList), MEM_ZEROED));
  l->header.classTag = kCertStoreListTag;
  l->header.refCount.store(1, std::memory_order_relaxed);
  l->header.destroy = listDestroy;
  CriticalSection_Create(&l->Lock);
  CertStore_InitEmbedded(&l->Interface, l);
  CertStore_SetCheckCertificate(&l->Interface, l, listCheckCertificate);
  CertStore_SetFindKey(&l->Interface, l, listFindKey);
  CertStore_SetCheckDigest(&l->Interface, l, listCheckDigest);
  *list = l;
  return 1;
}

int CertStoreList_Release(CertStoreList **list) {
  CHECK_POINTER(list);
  LIST_CHECK(*list);
  Class_ReleaseObject(list);
  return 1;
}

CertStore *CertStoreList_GetInterface(CertStoreList *list) {
  LIST_CHECK(list);
  return CertStore_Retain(&list->Interface);
}

int CertStoreList_Add(CertStoreList *list, CertStore *store) {
  LIST_CHECK(list);
  auto *node = static_cast<CertStoreListNode *>(MEM_ALLOC(sizeof(CertStoreListNode), MEM_ZEROED));
  node->store = CertStore_Retain(store);
  CriticalSection_Enter(list->Lock);
  node->previous = list->Last;
  if (list->Last != nullptr)
    list->Last->next = node;
  else
    list->First = node;
  list->Last = node;
  list->Count++;
  CriticalSection_Leave(list->Lock);
  return 1;
}

int CertStoreList_Clear(CertStoreList *list) {
  LIST_CHECK(list);
  CriticalSection_Enter(list->Lock);
  listClearLocked(list);
  CriticalSection_Leave(list->Lock);
  return 1;
}
