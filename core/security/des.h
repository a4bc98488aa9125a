// Des: single DES (encryption only), kept for the NTLM challenge response of
// HTTP authentication; nothing else in the program may use it.
//
// Invariants: (1) a DES key schedule lives only inside one Des_NtlmResponse
// call, on its stack, and is wiped before the call returns. (2) parity bits
// of the spread keys are left clear; DES ignores them.
//
// Threads: any thread; no shared state.
#pragma once

#include <cstdint>

constexpr uint32_t kDesContextTag = 0x1acb0abd;
constexpr int32_t kDesNtlmKeyBytes = 21;  // the NT hash and five zero bytes
constexpr int32_t kDesNtlmChallengeBytes = 8;
constexpr int32_t kDesNtlmResponseBytes = 24;

// Splits the 21-byte key into three 7-byte parts, spreads each into an 8-byte
// DES key (seven key bits in the high bits of each byte) and enciphers the
// 8-byte challenge under each, one block in ECB mode, into the 24 bytes of
// out. Returns 1. Stops the program on a NULL pointer.
int Des_NtlmResponse(const void *key, const void *challenge, void *out);
