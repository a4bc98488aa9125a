// CertStorePlatform: the store backed by the platform's trust (on Linux the
// system's trust anchors). A certificate is trusted when the platform
// vouches for it; a JWS "x5c" chain when it leads to such a certificate and
// its first certificate may sign code.
//
// Invariants: the embedded Interface's Retain and Release act on the
// object's reference count.
//
// Threads: read-only after creation; any thread.
#pragma once

#include "core/security/certstorei.h"

constexpr uint32_t kCertStorePlatformTag = 0xffb0c947;

struct CertStorePlatform {
  ObjectHeader header;
  CertStore Interface;
};

// A new platform store; *store holds its one reference.
int CertStorePlatform_Create(CertStore **store);
