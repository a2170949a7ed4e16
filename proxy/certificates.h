#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "cert_maker.h"
#include "proxy_export.h"

namespace veltrox::proxy {

// The core's one certificate maker, shared by every start and stop. Its root
// follows the preferences fiddler.certmaker.bc.key and fiddler.certmaker.bc.cert:
// whatever texts they hold when this is called are the root in use, so a root
// set from saved files is the one that signs.
VELTROX_PROXY_API CertMaker& CertificateMaker();

// Makes a new root and stores its texts in the two preferences. False, with
// nothing changed, when generation fails.
VELTROX_PROXY_API bool CreateRootCertificate();

// The TLS server context for `host` signed by the current root; null without a
// usable root or for a name that is not a host.
VELTROX_PROXY_API std::shared_ptr<SSL_CTX> ServerContextFor(std::string_view host);

}  // namespace veltrox::proxy
