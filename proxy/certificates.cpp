#include "certificates.h"

#include <mutex>

#include "preferences.h"

namespace veltrox::proxy {
namespace {

constexpr const char* kKeyPreference = "fiddler.certmaker.bc.key";
constexpr const char* kCertPreference = "fiddler.certmaker.bc.cert";

struct Maker {
  std::mutex sync;  // one preference check at a time
  CertMaker maker;
};

Maker& TheMaker() {
  // Never destroyed: a handshake on a detached thread may still ask it for a
  // leaf while the process exits.
  static Maker* maker = new Maker;
  return *maker;
}

}  // namespace

CertMaker& CertificateMaker() {
  Maker& m = TheMaker();
  std::lock_guard lock(m.sync);
  // Setting a text drops the leaf cache, so only a text that changed is set.
  std::string key = Preferences::GetString(kKeyPreference);
  if (key != m.maker.RootKeyText()) m.maker.SetRootKeyText(key);
  std::string cert = Preferences::GetString(kCertPreference);
  if (cert != m.maker.RootCertText()) m.maker.SetRootCertText(cert);
  return m.maker;
}

bool CreateRootCertificate() {
  Maker& m = TheMaker();
  std::lock_guard lock(m.sync);
  if (!m.maker.CreateRoot()) return false;
  Preferences::SetString(kKeyPreference, m.maker.RootKeyText());
  Preferences::SetString(kCertPreference, m.maker.RootCertText());
  return true;
}

std::shared_ptr<SSL_CTX> ServerContextFor(std::string_view host) { return CertificateMaker().ServerContextFor(host); }

}  // namespace veltrox::proxy
