// JwsClaims: the list of claim checks a JWS payload must pass ("exp",
// "nbf"). Each node holds a check and the answer it gives when its claim is
// absent.
//
// Invariants: checks run in the order added; the first failure decides.
// The clock is Time_Now (UTC seconds).
//
// Threads: build the list first; afterwards it may be read by any thread.
#pragma once

#include <cstdint>

#include "core/formats/dictionary.h"
#include "core/runtime/class.h"

constexpr uint32_t kJwsClaimsTag = 0xc5e50a47;

typedef int (*JwsClaimCheck)(Dictionary *payload, int whenMissing);

struct JwsClaimNode {
  int whenMissing;
  JwsClaimCheck check;
  JwsClaimNode *next;
};

struct JwsClaims {
  ObjectHeader header;
  JwsClaimNode *First;
  JwsClaimNode *Last;
};

int JwsClaims_Create(JwsClaims **claims);
// Clears the list, frees the object and clears *claims. Returns 1.
int JwsClaims_Release(JwsClaims **claims);
// Empties the list. Returns 1.
int JwsClaims_Clear(JwsClaims *claims);
// Appends check with the answer it gives for an absent claim. Returns 1.
int JwsClaims_Add(JwsClaims *claims, JwsClaimCheck check, int whenMissing);
// 1 when every check passes (also for an empty list).
int JwsClaims_Check(JwsClaims *claims, Dictionary *payload);

// "exp": passes while now < exp.
int JwsClaims_CheckExpiry(Dictionary *payload, int whenMissing);
// "nbf": passes once nbf <= now.
int JwsClaims_CheckNotBefore(Dictionary *payload, int whenMissing);
