// The table of named stores; see certstoretable.h.
#include "core/security/certstoretable.h"

#include <cstring>

#include "core/runtime/memory.h"

namespace {

CertStoreTable *tableCheck(CertStoreTable *table, const char *sourcePath, int line) {
  Class_Check(table, kCertStoreTableTag, sourcePath, line);
  return table;
}
#define TABLE_CHECK(table) tableCheck((table), KSRC)

void tableFreeEntry(CertStoreTableEntry *entry) {
  CertStore_Release(&entry->store);
  entry->tag = 0;
  MEM_FREE(entry, sizeof(CertStoreTableEntry));
}

void tableDestroy(void **object) {
  auto *table = static_cast<CertStoreTable *>(*object);
  HashTableEntry *entry = nullptr;
  for (int more = HashTable_First(table->Entries, &entry); more;
       more = HashTable_Next(table->Entries, entry, &entry)) {
    void *key = nullptr;
    void *value = nullptr;
    HashTable_GetEntry(table->Entries, entry, &key, &value);
    tableFreeEntry(static_cast<CertStoreTableEntry *>(value));
  }
  HashTable_Release(&table->Entries);
  CriticalSection_Delete(&table->Lock);
  table->header.classTag = 0;
  MEM_FREE(table, sizeof(CertStoreTable));
}

}  // namespace

int CertStoreTable_Create(CertStoreTable **table) {
  CHECK_POINTER(table);
  auto *t = static_cast<CertStoreTable *>(MEM_ALLOC(sizeof(CertStoreTable), MEM_ZEROED));
  t->header.classTag = kCertStoreTableTag;
  t->header.refCount.store(1, std::memory_order_relaxed);
  t->header.destroy = tableDestroy;
  CriticalSection_Create(&t->Lock);
  HashTable_Create(&t->Entries);
  *table = t;
  return 1;
}

int CertStoreTable_Release(CertStoreTable **table) {
  CHECK_POINTER(table);
  TABLE_CHECK(*table);
  Class_ReleaseObject(table);
  return 1;
}

int CertStoreTable_Add(CertStoreTable *table, const char *name, int replaceable,
                       CertStore *store) {
  TABLE_CHECK(table);
  CHECK_POINTER(name);
  CLASS_CHECK(store, kCertStoreTag);
  if (strlen(name) >= size_t(kCertStoreNameBytes)) return 0;
  CriticalSection_Enter(table->Lock);
  void *value = nullptr;
  int ok = 1;
  if (HashTable_Get(table->Entries, name, &value)) {
    auto *old = static_cast<CertStoreTableEntry *>(value);
    if (old->replaceable) {
      HashTable_Remove(table->Entries, name);
      tableFreeEntry(old);
    } else {
      ok = 0;
    }
  }
  if (ok) {
    auto *entry =
        static_cast<CertStoreTableEntry *>(MEM_ALLOC(sizeof(CertStoreTableEntry), MEM_ZEROED));
    entry->tag = kCertStoreTableTag;
    strcpy(entry->name, name);
    entry->replaceable = replaceable ? 1 : 0;
    entry->store = CertStore_Retain(store);
    HashTableEntry *stored = nullptr;
    if (!HashTable_Set(table->Entries, name, entry, &stored)) {
      tableFreeEntry(entry);
      ok = 0;
    }
  }
  CriticalSection_Leave(table->Lock);
  return ok;
}

int CertStoreTable_Find(CertStoreTable *table, const char *name, CertStore **store) {
  TABLE_CHECK(table);
  CHECK_POINTER(name);
  CHECK_POINTER(store);
  *store = nullptr;
  CriticalSection_Enter(table->Lock);
  void *value = nullptr;
  if (HashTable_Get(table->Entries, name, &value))
    *store = CertStore_Retain(static_cast<CertStoreTableEntry *>(value)->store);
  CriticalSection_Leave(table->Lock);
  return *store != nullptr ? 1 : 0;
}
