// The TLS side of the network tests: default TLS settings, the security
// switch on, a platform store that trusts the generated test root
// (tests/gen_tls_pki.py), "localhost" on the whitelist, and the command of
// an openssl s_server that serves files over https with a generated leaf.
//
// Threads: the test's thread.
#pragma once

#include <string>
#include <vector>

#include "core/net/webget.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "core/security/certstoreplatform.h"
#include "core/security/tls1.h"
#include "core/security/x509anchors.h"
#include "tests/test_util.h"

struct TlsSetup {
  AuthSwitchGuardForTest on{1};
  std::string root = Test_VectorPath("tls_pki_root.pem");
  std::string vectors = root.substr(0, root.rfind('/'));
  TlsSetup() {
    Tls_ResetSettingsForTest();
    Tls_ApplySettings(nullptr, nullptr, nullptr);
    X509Anchors_ResetForTest(root.c_str());
    CertStore *store = nullptr;
    CertStorePlatform_Create(&store);
    WebGet_SetCertStore(store);
    CertStore_Release(&store);
    WebGet_AddWhitelistHost("localhost");
  }
  ~TlsSetup() {
    X509Anchors_ResetForTest(nullptr);
    WebGet_SetCertStore(nullptr);
    Tls_ResetSettingsForTest();
  }
  // openssl s_server -WWW serving the files below dir (default: the
  // vector files) with the leaf's chain.
  std::vector<std::string> Server(int port, const std::string &options,
                                  const std::string &leaf = "rsa2048",
                                  const std::string &dir = "") const {
    std::string chain = vectors + "/tls_pki_" + leaf + "_chain.pem";
    return {"/bin/sh", "-c",
            "cd " + (dir.empty() ? vectors : dir) +
                " && exec openssl s_server -quiet -WWW -accept " + std::to_string(port) + " -cert " + chain + " -cert_chain " + chain + " -key " +
                vectors + "/tls_pki_" + leaf + "_key.pem " + options};
  }
};

