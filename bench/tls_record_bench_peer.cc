// libcrypto's side of bench/tls_record_bench.cpp: EVP AES-GCM (with AAD and
// tag check), or AES-CBC decryption plus the record's HMAC (sequence, header
// and data, as a CBC suite checks it), of one record's bytes per iteration.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

void TlsRecordBench_Evp(benchmark::State &state, int keySize, bool gcm, const char *macDigest,
                        int recordBytes) {
  const EVP_CIPHER *cipher = gcm ? (keySize == 16 ? EVP_aes_128_gcm() : EVP_aes_256_gcm())
                                 : (keySize == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc());
  std::vector<uint8_t> key(size_t(keySize), 0x11), in(size_t(recordBytes) + 64, 0x5a),
      out(size_t(recordBytes) + 96);
  const uint8_t aad[13] = {0, 0, 0, 0, 0, 0, 0, 1, 23, 3, 3, 0x40, 0};
  uint8_t iv[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, tag[16] = {};
  const int length = gcm ? recordBytes : recordBytes + 32;  // data, MAC and padding
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  EVP_DecryptInit_ex(ctx, cipher, nullptr, key.data(), iv);
  if (!gcm) EVP_CIPHER_CTX_set_padding(ctx, 0);
  // The MAC context is keyed once; each record re-initialises it with the key
  // kept, as a TLS reader does.
  EVP_MAC *mac = macDigest ? EVP_MAC_fetch(nullptr, "HMAC", nullptr) : nullptr;
  EVP_MAC_CTX *macCtx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
  const std::vector<uint8_t> macKey(48, 0x22);
  if (macCtx != nullptr) {
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char *>(macDigest), 0),
        OSSL_PARAM_construct_end()};
    EVP_MAC_init(macCtx, macKey.data(), macKey.size(), params);
  }
  uint8_t digest[EVP_MAX_MD_SIZE];
  for (auto _ : state) {
    int n = 0;
    EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, iv);
    if (gcm) EVP_DecryptUpdate(ctx, nullptr, &n, aad, sizeof aad);
    EVP_DecryptUpdate(ctx, out.data(), &n, in.data(), length);
    if (gcm) {
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag);
      EVP_DecryptFinal_ex(ctx, out.data() + n, &n);
    } else if (macCtx != nullptr) {
      const uint8_t header[13] = {0, 0, 0, 0, 0, 0, 0, 1, 23, 3, 3, 0x40, 0};
      size_t digestLength = 0;
      EVP_MAC_init(macCtx, nullptr, 0, nullptr);
      EVP_MAC_update(macCtx, header, sizeof header);
      EVP_MAC_update(macCtx, out.data(), size_t(recordBytes));
      EVP_MAC_final(macCtx, digest, &digestLength, sizeof digest);
      benchmark::DoNotOptimize(digest);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * recordBytes);
  EVP_CIPHER_CTX_free(ctx);
  EVP_MAC_CTX_free(macCtx);
  EVP_MAC_free(mac);
}
