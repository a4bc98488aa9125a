// CertStoreList: a store that asks several stores in turn, in the order they
// were added; the first that trusts (or finds a key) answers, and one that
// rejects ends the walk.
//
// Invariants: (1) every member is a retained store interface, released when
// it leaves the list. (2) the embedded Interface's cells point back at the
// list; its Retain and Release act on the list's reference count.
//
// Threads: Add, Clear and every lookup run under the list's lock, so a list
// may be shared by threads; members are asked while the lock is held.
#pragma once

#include <cstdint>

#include "core/runtime/critsection.h"
#include "core/security/certstorei.h"

constexpr uint32_t kCertStoreListTag = 0x62acf23d;

struct CertStoreListNode {
  CertStore *store;  // retained
  CertStoreListNode *next;
  CertStoreListNode *previous;
};

struct CertStoreList {
  ObjectHeader header;
  CertStore Interface;
  CriticalSection *Lock;
  CertStoreListNode *First;
  CertStoreListNode *Last;
  int32_t Count;
};

// An empty list with reference count 1. Returns 1.
int CertStoreList_Create(CertStoreList **list);
// Drops the caller's reference and clears *list. Returns 1.
int CertStoreList_Release(CertStoreList **list);
// Retains the list and returns its interface (release it with
// CertStore_Release).
CertStore *CertStoreList_GetInterface(CertStoreList *list);
// Appends store, retained. Returns 1.
int CertStoreList_Add(CertStoreList *list, CertStore *store);
// Releases every member. Returns 1.
int CertStoreList_Clear(CertStoreList *list);
