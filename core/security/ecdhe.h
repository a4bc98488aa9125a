// Ecdhe: the ephemeral elliptic-curve Diffie-Hellman exchange of a TLS
// handshake's ECDHE cipher suites. The client selects the server's curve on
// Group, decodes the server's point into PeerPoint (EcPoint_Decode), and
// ComputeSecret draws the own key, writes the own public point and the shared
// secret.
//
// Invariants: (1) the public point and the secret are sized by the field
// (f bytes: 1 + 2f and f); the secret is the x coordinate of d·PeerPoint,
// unreduced. (2) the key is drawn from the system's random source and every
// multiplication by it runs on the constant-time path of ec.h.
//
// Threads: an object belongs to one thread at a time (one handshake).
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/security/bigint.h"
#include "core/security/ec.h"

constexpr uint32_t kEcdheTag = 0xdadc1ad4;
// The caller's buffers: the public point and the shared secret.
constexpr int kEcdhePublicMaxBytes = 1019;
constexpr int kEcdheSecretMaxBytes = 66;

struct Ecdhe {
  ObjectHeader header;
  EcGroup *Group;
  BigInt PrivateKey;
  EcPoint PeerPoint;
};

// An object with an empty group and the peer point at infinity. Returns 1.
int Ecdhe_Create(Ecdhe **ecdhe);
// Frees it and clears *ecdhe. Returns 1.
int Ecdhe_Release(Ecdhe **ecdhe);
// Draws d in 1 .. n - 1, writes 04 || x || y of d·G into publicOut
// (kEcdhePublicMaxBytes) and the x coordinate of d·PeerPoint into secretOut
// (kEcdheSecretMaxBytes). Returns 1; 0 (lengths 0) without a curve, for a
// peer point that fails EcPoint_Validate or a product at infinity.
int Ecdhe_ComputeSecret(Ecdhe *ecdhe, uint8_t *publicOut, int *publicLength, uint8_t *secretOut,
                        int *secretLength);
