// CertStoreNull: the store that trusts nothing and finds no key, without
// rejecting (a list goes on past it).
//
// Invariants: the embedded Interface's Retain and Release act on the
// object's reference count.
//
// Threads: read-only after creation; any thread.
#pragma once

#include "core/security/certstorei.h"

constexpr uint32_t kCertStoreNullTag = 0xdd07624b;

struct CertStoreNull {
  ObjectHeader header;
  CertStore Interface;
};

// A new null store; *store holds its one reference (CertStore_Release).
int CertStoreNull_Create(CertStore **store);
