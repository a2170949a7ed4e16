// The engine's exported functions for the interception root: making it,
// trusting it, and removing roots of earlier runs.

#include <cstdint>

#include "efd_export.h"
#include "certificates.h"
#include "trust_store.h"


namespace {

using veltrox::TrustStore;
using veltrox::proxy::CertificateMaker;

// Every root this tool has ever made carries this issuer name.
constexpr const char* kRootIssuer = "DO_NOT_TRUST_FiddlerRoot";

// Nothing may throw through the C boundary.
template <class F>
auto Guarded(F f, decltype(f()) fallback) noexcept -> decltype(f()) {
  try {
    return f();
  } catch (...) {
    return fallback;
  }
}

bool RootInUse() { return CertificateMaker().RootExists(); }

}  // namespace

EFD_EXPORT std::int32_t EFD_CALL rootCertIsTrusted() {
  return Guarded(
      [] {
        veltrox::CertMaker& maker = CertificateMaker();
        return maker.RootExists() && TrustStore().IsTrusted(maker.RootCertText()) ? 1 : 0;
      },
      0);
}

EFD_EXPORT std::int32_t EFD_CALL CreateRootCert() {
  return Guarded([] { return veltrox::proxy::CreateRootCertificate() ? 1 : 0; }, 0);
}

EFD_EXPORT std::int32_t EFD_CALL InstCert() {
  return Guarded(
      [] {
        veltrox::CertMaker& maker = CertificateMaker();
        if (!maker.RootExists()) return -1;
        return TrustStore().Add(maker.RootCertText()) ? 1 : -1;
      },
      -1);
}

EFD_EXPORT std::int32_t EFD_CALL removeCerts() {
  return Guarded(
      [] {
        TrustStore().RemoveIssuedBy(kRootIssuer);
        return 1;
      },
      1);
}

EFD_EXPORT std::int32_t EFD_CALL rootCertExists() {
  return Guarded([] { return RootInUse() ? 1 : 0; }, 0);
}

EFD_EXPORT std::int32_t EFD_CALL rootCertIsMachineTrusted() {
  return Guarded([] { return RootInUse() ? 1 : 0; }, 0);
}
