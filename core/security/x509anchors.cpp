// Trust anchors and the PEM reader; see x509anchors.h.
#include "core/security/x509anchors.h"

#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/runtime/log.h"

namespace {

constexpr const char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr const char kPemEnd[] = "-----END CERTIFICATE-----";

// The subject texts, ASCII-lowercased with spaces trimmed and collapsed, so
// that names X500Name_Equal takes as equal share a key.
std::string anchorsKey(const X500Name *name) {
  std::string key;
  for (const char *text : {name->organization, name->organizationalUnit, name->commonName}) {
    bool space = false;
    for (const char *p = text; *p; p++) {
      if (*p == ' ') {
        space = true;
        continue;
      }
      if (space && !key.empty() && key.back() != '|') key += ' ';
      space = false;
      key += *p >= 'A' && *p <= 'Z' ? char(*p + ('a' - 'A')) : *p;
    }
    key += '|';
  }
  return key;
}

struct Anchors {
  std::mutex lock;
  bool loaded = false;
  std::string path = kX509AnchorsBundlePath;
  std::vector<X509 *> certs;
  std::unordered_multimap<std::string, X509 *> bySubject;

  void clear() {
    for (X509 *&cert : certs) X509_Release(&cert);
    certs.clear();
    bySubject.clear();
    loaded = false;
  }
  void load() {
    if (loaded) return;
    loaded = true;
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string bundle = text.str();
    if (!in.good() && bundle.empty())
      Log_Print(LOG_WARNING, KSRC, 0, "Unable to read trust anchors (%s)\n", path.c_str());
    X509Pem_ReadCertificates(bundle.data(), bundle.size(), add, this);
  }
  static int add(void *context, const uint8_t *der, int32_t length) {
    auto *self = static_cast<Anchors *>(context);
    X509 *cert = nullptr;
    X509_Create(&cert);
    if (!X509_LoadDer(cert, der, length)) {
      Log_Print(LOG_WARNING, KSRC, 0, "Skipped a trust anchor that does not load\n");
      X509_Release(&cert);
      return 1;
    }
    self->certs.push_back(cert);
    self->bySubject.emplace(anchorsKey(cert->Subject), cert);
    return 1;
  }
  ~Anchors() { clear(); }
};

Anchors &anchors() {
  static Anchors *instance = new Anchors;  // lives for the process
  return *instance;
}

bool anchorsMayIssue(const X509 *anchor) {
  if ((anchor->Extensions & kX509ExtBasicConstraints) != 0 && !anchor->IsCa) return false;
  return (anchor->Extensions & kX509ExtKeyUsage) == 0 ||
         (anchor->KeyUsage & kX509KeyUsageKeyCertSign) != 0;
}

}  // namespace

int X509Pem_ReadCertificates(const char *text, size_t length, X509PemFunction function,
                             void *context) {
  CHECK_POINTER(text);
  if (function == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  std::string_view all(text, length);
  int handed = 0;
  size_t at = 0;
  for (;;) {
    size_t begin = all.find(kPemBegin, at);
    if (begin == std::string_view::npos) break;
    size_t body = begin + sizeof kPemBegin - 1;
    size_t end = all.find(kPemEnd, body);
    if (end == std::string_view::npos) break;
    at = end + sizeof kPemEnd - 1;
    std::vector<uint8_t> der;
    if (!X509_DecodeBase64(text + body, int64_t(end - body), &der)) {
      Log_Print(LOG_WARNING, KSRC, 0, "Skipped a CERTIFICATE block that does not decode\n");
      continue;
    }
    handed++;
    if (!function(context, der.data(), int32_t(der.size()))) break;
  }
  return handed;
}

int X509Anchors_Check(X509 *cert) {
  CLASS_CHECK(cert, kX509Tag);
  if (cert->DerLength == 0) return 0;
  Anchors &a = anchors();
  std::lock_guard<std::mutex> guard(a.lock);
  a.load();
  auto range = a.bySubject.equal_range(anchorsKey(cert->Subject));
  for (auto it = range.first; it != range.second; ++it)
    if (it->second->DerLength == cert->DerLength &&
        memcmp(it->second->Der, cert->Der, size_t(cert->DerLength)) == 0)
      return 1;
  range = a.bySubject.equal_range(anchorsKey(cert->Issuer));
  for (auto it = range.first; it != range.second; ++it)
    if (X509_IsIssuedBy(cert, it->second) && anchorsMayIssue(it->second) &&
        X509_VerifyIssued(it->second, cert))
      return 1;
  return 0;
}

int X509Anchors_GetCount(void) {
  Anchors &a = anchors();
  std::lock_guard<std::mutex> guard(a.lock);
  a.load();
  return int(a.certs.size());
}

void X509Anchors_Shutdown(void) {
  Anchors &a = anchors();
  std::lock_guard<std::mutex> guard(a.lock);
  a.clear();
}

void X509Anchors_ResetForTest(const char *path) {
  Anchors &a = anchors();
  std::lock_guard<std::mutex> guard(a.lock);
  a.clear();
  a.path = path != nullptr ? path : kX509AnchorsBundlePath;
}
