// WebGetClientCert: what one connection needs when a TLS server asks for a
// client certificate: the address that asked, the certificate file and its
// password the user chose. The record asks the user through the challenge
// broker, loads the chosen PKCS#12 file into the connection's TLS session and
// reports a refused certificate so that the user is asked again.
//
// Invariants: (1) a new address clears path and password. (2) the password
// is wiped when cleared and when the record is destroyed. (3) a load that
// fails leaves the session without a client certificate. (4) a destroyed
// record has no request left with the broker.
//
// Threads: one thread at a time per record (its connection's).
#pragma once

#include <cstdint>

struct TLS1;
struct WebGetClientCert;

constexpr uint32_t kWebGetClientCertTag = 0x7e6b0f62;
constexpr int kWebGetClientCertPathBytes = 320;
constexpr int kWebGetClientCertPasswordBytes = 512;
constexpr int kWebGetClientCertAddressBytes = 320;
// A PKCS#12 bundle of a certificate chain and key is a few KiB; a larger file
// is not one, and reading it whole would only cost memory.
constexpr int64_t kWebGetClientCertMaxFileBytes = 1 << 20;

// Every function stops the program on a NULL record or a foreign object.

// A new record, entered in the instance table. Returns 1.
int WebGetClientCert_Create(WebGetClientCert **cert);
// Drops one reference; the last withdraws the record's broker requests,
// resets it and frees it. Clears *cert.
void WebGetClientCert_Release(WebGetClientCert **cert);

// An address other than the stored one (exact compare) resets the record;
// then the address is stored (cut to 319 bytes). Returns 1.
int WebGetClientCert_SetAddress(WebGetClientCert *cert, const char *address);
// Clears address, path, password and the connection's value. Returns 1.
int WebGetClientCert_Reset(WebGetClientCert *cert);
// Posts a "ClientCert" request: "certificateTypes" as the List of the
// comma-separated names given, "address", and the "certificatePath" and
// "password" held so far. The record's instance observes the answer.
// Returns 1.
int WebGetClientCert_Request(WebGetClientCert *cert, const char *certificateTypes);
// Marks the broker's answer for this address invalid. Returns 1.
int WebGetClientCert_ReportFailure(WebGetClientCert *cert);
// Stores path and password, then loads the file, a PKCS#12 bundle opened
// with the password, as the session's client certificate. 1 when it was
// taken; 0 when the path is not a regular file of at most
// kWebGetClientCertMaxFileBytes, cannot be read whole, or the session refuses
// it: the session is then left without a client certificate.
int WebGetClientCert_Load(WebGetClientCert *cert, TLS1 *tls, const char *path,
                          const char *password);
