// Tls internals: the suite table rows and the session layout that the
// record layer, the handshake and their tests share. Not for other modules.
//
// Invariants: (1) kTlsSuites is constant and in offering order; a row's
// enabled flag lives apart from it (Tls_SuiteEnabled). (2) GCM rows carry
// the PRF hash only; the other rows' hash is also the record MAC.
//
// Threads: the table is constant; see tls1.h for the flags.
#pragma once

#include <cstdint>

#include "core/security/cryptsymmetric.h"
#include "core/security/hash.h"
#include "core/security/tls1.h"

struct TlsSuite {
  uint16_t Id;
  int32_t KeySize;    // bytes
  int32_t IVSize;     // bytes: the CBC IV, the GCM nonce, 0 for RC4
  int32_t BlockSize;  // 0: no padding
  const ::CryptSymmetricInterface *CryptInterface;
  const ::HashInterface *HashInterface;
};

extern const TlsSuite kTlsSuites[kTlsSuiteCount];

// 1 when the row at index is enabled.
int Tls_SuiteEnabled(int index);
// The first enabled row with this id, or NULL.
const TlsSuite *Tls_FindEnabledSuite(uint16_t id);
// Any row with this id (enabled or not), or NULL. For tests and tools.
const TlsSuite *Tls_FindSuite(uint16_t id);
// 1 for the AES-GCM rows.
inline int Tls_IsGcmSuite(const TlsSuite *suite) { return suite->BlockSize == 0 && suite->IVSize == 12; }
