// libcrypto's side of bench/tls_record_bench.cpp: EVP AES-GCM (with AAD and
// tag check) or AES-CBC decryption of one record's bytes per iteration.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

void TlsRecordBench_Evp(benchmark::State &state, int keySize, bool gcm, int recordBytes) {
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
  for (auto _ : state) {
    int n = 0;
    EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, iv);
    if (gcm) EVP_DecryptUpdate(ctx, nullptr, &n, aad, sizeof aad);
    EVP_DecryptUpdate(ctx, out.data(), &n, in.data(), length);
    if (gcm) {
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag);
      EVP_DecryptFinal_ex(ctx, out.data() + n, &n);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * recordBytes);
  EVP_CIPHER_CTX_free(ctx);
}
