// libcrypto's certificate verification for bench/x509_bench.cpp.
#include "bench/x509_bench_peer.h"

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

struct X509BenchPeerChain {
  X509 *leaf, *inter, *root;
  X509_STORE *store;
  STACK_OF(X509) * untrusted;
};

namespace {

X509 *peerCert(const std::vector<uint8_t> &der) {
  const unsigned char *p = der.data();
  return d2i_X509(nullptr, &p, long(der.size()));
}

}  // namespace

void X509BenchPeer_LoadBundle(const char *path) {
  X509_STORE *store = X509_STORE_new();
  X509_STORE_load_file(store, path);
  X509_STORE_free(store);
}

X509BenchPeerChain *X509BenchPeer_CreateChain(const std::vector<uint8_t> &leaf,
                                              const std::vector<uint8_t> &inter,
                                              const std::vector<uint8_t> &root) {
  auto *chain = new X509BenchPeerChain{peerCert(leaf), peerCert(inter), peerCert(root),
                                       X509_STORE_new(), sk_X509_new_null()};
  X509_STORE_add_cert(chain->store, chain->root);
  sk_X509_push(chain->untrusted, chain->inter);
  return chain;
}

int X509BenchPeer_Verify(X509BenchPeerChain *chain) {
  X509_STORE_CTX *ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, chain->store, chain->leaf, chain->untrusted);
  X509_STORE_CTX_set_purpose(ctx, X509_PURPOSE_SSL_SERVER);
  int ok = X509_verify_cert(ctx) == 1;
  X509_STORE_CTX_free(ctx);
  return ok;
}

void X509BenchPeer_ReleaseChain(X509BenchPeerChain *chain) {
  sk_X509_free(chain->untrusted);
  X509_STORE_free(chain->store);
  X509_free(chain->leaf);
  X509_free(chain->inter);
  X509_free(chain->root);
  delete chain;
}
