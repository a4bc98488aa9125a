// The libcrypto side of bench/x509_bench.cpp, in a file of its own because
// libcrypto's X509 type and ours share a name.
#pragma once

#include <cstdint>
#include <vector>

struct X509BenchPeerChain;

// Reads a PEM bundle into a fresh X509_STORE and frees it.
void X509BenchPeer_LoadBundle(const char *path);
// A store trusting root, with inter as the untrusted certificate.
X509BenchPeerChain *X509BenchPeer_CreateChain(const std::vector<uint8_t> &leaf,
                                              const std::vector<uint8_t> &inter,
                                              const std::vector<uint8_t> &root);
// X509_verify_cert for the TLS server purpose; 1 when trusted.
int X509BenchPeer_Verify(X509BenchPeerChain *chain);
void X509BenchPeer_ReleaseChain(X509BenchPeerChain *chain);
