// A thumbprint store pinning certificates by their SHA-256 thumbprints, for
// the tests, the benchmark and the fuzzer of the certificate walk.
#pragma once

#include <cstdint>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/runtime/base64.h"
#include "core/security/certstorethumbprint.h"

// The store (release with CertStore_Release) pinning every DER given.
inline CertStore *Test_PinStore(const std::vector<std::vector<uint8_t>> &ders) {
  Dictionary *root = nullptr;
  Dictionary *list = nullptr;
  Dictionary_Create(&root);
  Dictionary_AddList(root, "pins", &list, nullptr);
  for (const auto &der : ders) {
    uint8_t digest[32];
    char text[64];
    int64_t written = 0;
    Hash_ComputeDigest(&kHashSha256, der.data(), int64_t(der.size()), digest, sizeof digest);
    Base64_Encode(digest, sizeof digest, text, sizeof text - 1, &written);
    text[written] = '\0';
    Dictionary_AddString(list, nullptr, text, nullptr);
  }
  CertStore *store = nullptr;
  CertStoreThumbprint_Create(&store);
  CertStoreThumbprint_AddList(store, list);
  Dictionary_Release(&root);
  return store;
}
