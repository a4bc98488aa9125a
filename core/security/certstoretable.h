// CertStoreTable: named stores ("app", "platform", "null", and those the
// configuration adds). The table holds stores; it is not itself a store.
//
// Invariants: (1) every entry holds one retained store, released when the
// entry is replaced or the table goes. (2) an entry added with replaceable 0
// is never replaced.
//
// Threads: every operation runs under the table's lock.
#pragma once

#include <cstdint>

#include "core/runtime/critsection.h"
#include "core/runtime/hashtable.h"
#include "core/security/certstorei.h"

constexpr uint32_t kCertStoreTableTag = 0x10c29036;
constexpr int kCertStoreNameBytes = 320;

struct CertStoreTableEntry {
  uint32_t tag;  // kCertStoreTableTag
  char name[kCertStoreNameBytes];
  int32_t replaceable;
  CertStore *store;  // retained
};

struct CertStoreTable {
  ObjectHeader header;
  CriticalSection *Lock;
  HashTable *Entries;  // name -> CertStoreTableEntry (owned)
};

int CertStoreTable_Create(CertStoreTable **table);
// Releases every stored store, frees the table and clears *table. Returns 1.
int CertStoreTable_Release(CertStoreTable **table);
// Stores a retained store under name. An existing entry is replaced only
// when it was added replaceable (its store is released); else 0. A name of
// kCertStoreNameBytes or more gives 0.
int CertStoreTable_Add(CertStoreTable *table, const char *name, int replaceable, CertStore *store);
// 1 and a retained store when name is present; else 0 and *store NULL.
int CertStoreTable_Find(CertStoreTable *table, const char *name, CertStore **store);
