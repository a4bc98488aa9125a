// libFuzzer target for JWS texts from untrusted input: Jws_Decode with
// verify 1 against a key store (an HMAC secret), a JSON Web Key Set store
// and a thumbprint store, so headers with "kid", "x5t" and "x5c" lists reach
// the key lookups and the chain loader. A crash, a sanitizer report, a leak
// or a fatal stop of the program is a finding; tests/fuzz/run.sh runs it.
//
// Input: the whole input is the token text.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/formats/json.h"
#include "core/security/auth.h"
#include "core/security/certstorejwks.h"
#include "core/security/certstorekey.h"
#include "core/security/certstorethumbprint.h"
#include "core/security/jws.h"

namespace {

constexpr const char kKeySet[] =
    "{\"keys\":[{\"kty\":\"EC\",\"crv\":\"P-256\",\"use\":\"sig\",\"alg\":\"ES256\","
    "\"kid\":\"k\",\"x5t\":\"AAAAAAAAAAAAAAAAAAAAAAAAAAA\","
    "\"x\":\"f83OJ3D2xF1Bg8vub9tLe1gHMzV76e8Tus9uPHvRVEU\","
    "\"y\":\"x_FEzRu9m36HLN_tue659LNpXW6pCyStikYjKIWI5a0\"},"
    "{\"kty\":\"RSA\",\"use\":\"sig\",\"alg\":\"RS256\",\"kid\":\"r\",\"e\":\"AQAB\","
    "\"n\":\"sXchDaQebHnPiGvyDOAT4saGEUetSyo9MKLOoWFsueri23bOdgWp4Dy1WlUzewbgBHod5pcM9H95GQRV3JDXboIRROSBigeC5yjU1hGzHHyXss8UDprecbAYxknTcQkhslANGRUZmdTOQ5qTRsLAt6BTYuyvVRdhS8exSZEy_c4gs_7svlJJQ4H9_NxsiIoLwAEk7-Q3UXERGYw_75IDrGA84-lA_-Ct4eTlXHBIY2EaV7t7LjJaynVJCpkv4LKjTTAumiGUIuQhrNhZLuF_RJLqHpM2kgWFLU7-VTdL1VbC2tejvcI2BlMkEpk1BzBZI0KQB0GaDWFLN-aEAw3vRw\"}]}";

struct Stores {
  CertStore *key = nullptr, *jwks = nullptr, *pins = nullptr;
  Dictionary *set = nullptr;
  Stores() {
    const uint8_t secret[32] = {1, 2, 3};
    CertStoreKey_Create(&key);
    CertStoreKey_SetKey(key, CertStoreKeyKind::Secret, secret, sizeof secret);
    Json *json = nullptr;
    Dictionary_Create(&set);
    Json_Create(&json);
    Json_SetDictionary(json, set);
    Json_ParseMemory(json, kKeySet, int32_t(sizeof kKeySet - 1));
    Json_Release(&json);
    CertStoreJwks_Create(&jwks, set);
    Dictionary *root = nullptr;
    Dictionary *list = nullptr;
    Dictionary_Create(&root);
    Dictionary_AddList(root, "pins", &list, nullptr);
    Dictionary_AddString(list, nullptr, "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=", nullptr);
    CertStoreThumbprint_Create(&pins);
    CertStoreThumbprint_AddList(pins, list);
    Dictionary_Release(&root);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Stores stores;
  if (size > 1 << 20) return 0;
  for (CertStore *store : {stores.key, stores.jwks, stores.pins}) {
    Dictionary *target = nullptr;
    Json *json = nullptr;
    Dictionary_Create(&target);
    Json_Create(&json);
    Json_SetDictionary(json, target);
    Jws_Decode(json, nullptr, store, reinterpret_cast<const char *>(data), int32_t(size), 1);
    Json_Release(&json);
    Dictionary_Release(&target);
  }
  return 0;
}
