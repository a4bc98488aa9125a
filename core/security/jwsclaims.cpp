// The claim checks; see jwsclaims.h.
#include "core/security/jwsclaims.h"

#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/time.h"

namespace {

void claimsDestroy(void **object) {
  auto *claims = static_cast<JwsClaims *>(*object);
  JwsClaims_Clear(claims);
  claims->header.classTag = 0;
  MEM_FREE(claims, sizeof(JwsClaims));
}

}  // namespace

int JwsClaims_Create(JwsClaims **claims) {
  CHECK_POINTER(claims);
  auto *c = static_cast<JwsClaims *>(MEM_ALLOC(sizeof(JwsClaims), MEM_ZEROED));
  c->header.classTag = kJwsClaimsTag;
  c->header.refCount.store(1, std::memory_order_relaxed);
  c->header.destroy = claimsDestroy;
  *claims = c;
  return 1;
}

int JwsClaims_Release(JwsClaims **claims) {
  CHECK_POINTER(claims);
  if (*claims == nullptr) return 1;
  void *object = *claims;
  *claims = nullptr;
  claimsDestroy(&object);
  return 1;
}

int JwsClaims_Clear(JwsClaims *claims) {
  CLASS_CHECK(claims, kJwsClaimsTag);
  JwsClaimNode *node = claims->First;
  while (node != nullptr) {
    JwsClaimNode *next = node->next;
    MEM_FREE(node, sizeof(JwsClaimNode));
    node = next;
  }
  claims->First = claims->Last = nullptr;
  return 1;
}

int JwsClaims_Add(JwsClaims *claims, JwsClaimCheck check, int whenMissing) {
  CLASS_CHECK(claims, kJwsClaimsTag);
  CHECK_POINTER(reinterpret_cast<const void *>(check));
  auto *node = static_cast<JwsClaimNode *>(MEM_ALLOC(sizeof(JwsClaimNode), MEM_ZEROED));
  node->check = check;
  node->whenMissing = whenMissing;
  if (claims->Last != nullptr)
    claims->Last->next = node;
  else
    claims->First = node;
  claims->Last = node;
  return 1;
}

int JwsClaims_Check(JwsClaims *claims, Dictionary *payload) {
  CLASS_CHECK(claims, kJwsClaimsTag);
  for (JwsClaimNode *node = claims->First; node != nullptr; node = node->next)
    if (!node->check(payload, node->whenMissing)) return 0;
  return 1;
}

int JwsClaims_CheckExpiry(Dictionary *payload, int whenMissing) {
  double exp = 0;
  if (payload == nullptr || !Dictionary_GetFloat64ByKey(payload, "exp", &exp)) return whenMissing;
  double now = Time_Now();
  if (now < exp) return 1;
  Log_Print(LOG_DEBUG, KSRC, 0, "JWS claim exp failed validation (%.0f >= %.0f)\n", now, exp);
  return 0;
}

int JwsClaims_CheckNotBefore(Dictionary *payload, int whenMissing) {
  double nbf = 0;
  if (payload == nullptr || !Dictionary_GetFloat64ByKey(payload, "nbf", &nbf)) return whenMissing;
  double now = Time_Now();
  if (nbf <= now) return 1;
  Log_Print(LOG_DEBUG, KSRC, 0, "JWS claim nbf failed validation (%.0f < %.0f)\n", now, nbf);
  return 0;
}
