// X509Anchors: the platform's trust anchors, the certificates of a PEM
// bundle (/etc/ssl/certs/ca-certificates.crt unless a test names another),
// read once on first use and indexed by subject; and the PEM reader that
// finds the CERTIFICATE blocks of a text.
//
// Invariants: (1) the bundle is read at most once per path; a bad block is
// logged and skipped. (2) an anchor's own signature is never checked.
// (3) a certificate passes when its DER equals an anchor's, or an anchor of
// matching subject that may issue (cA TRUE or no basicConstraints, and
// keyCertSign when keyUsage is present) verifies its signature.
//
// Threads: any thread; loading and checks run under one lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/security/x509.h"

constexpr const char *kX509AnchorsBundlePath = "/etc/ssl/certs/ca-certificates.crt";

// Called with the DER of each CERTIFICATE block; return 0 to stop.
typedef int (*X509PemFunction)(void *context, const uint8_t *der, int32_t length);

// Finds every "-----BEGIN CERTIFICATE-----" ... "-----END CERTIFICATE-----"
// block of text, joins its lines and Base64-decodes it. A block that does
// not decode is logged and skipped; other blocks are ignored. Returns the
// number of blocks handed to function.
int X509Pem_ReadCertificates(const char *text, size_t length, X509PemFunction function,
                             void *context);

// 1 when the anchors vouch for cert (invariant 3).
int X509Anchors_Check(X509 *cert);
// The number of anchors (loads the bundle on first use).
int X509Anchors_GetCount(void);
// Releases the loaded anchors, so that they are not left for the core's
// leak report at the process's end; the next use reads the bundle again.
void X509Anchors_Shutdown(void);
// Test-only: forgets the loaded anchors; the next use reads path (NULL: the
// system bundle).
void X509Anchors_ResetForTest(const char *path);
