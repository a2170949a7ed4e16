#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "bc_make_cert.h"
#include "certs_export.h"

// The certificate maker (CertMaker.dll): the interception root and the leaf
// certificates signed by it.
//
// How the proxy core uses this:
//   - One CertMaker lives as long as the engine; every member is thread-safe,
//     so I/O threads call it directly.
//   - At start the engine hands it the saved root with SetRootKeyText() and
//     SetRootCertText() (the texts persisted as kv/ssl.key and kv/ssl.cert),
//     or calls CreateRoot() for a new one, and reads the texts back with
//     RootKeyText() / RootCertText() to save them and to hand the certificate
//     to the trust store.
//   - For a CONNECT that is intercepted, take ServerContextFor(connectHost)
//     and SSL_new() from it. When the client's hello names another host (SNI),
//     the context switches itself to that host's leaf during the handshake, so
//     the core needs no SNI code of its own. ALPN answers http/1.1 only.
//   - The 7777 endpoint uses ServerContextFor("localhost").
//   - Contexts and leaves are shared: keep the returned pointer (or the SSL
//     made from it) and never free them by hand. The maker must outlive every
//     handshake on its contexts.
//   - CertificatesMade() counts issued leaves; a second connection to a cached
//     host adds nothing.

namespace veltrox {

struct CertMakerOptions {
  // Hosts kept with their leaf and TLS context; the least recently used goes
  // first when full.
  std::size_t cacheCapacity = 1024;
  bc::KeyKind rootKeyKind = bc::KeyKind::EcP256;
  bc::KeyKind leafKeyKind = bc::KeyKind::EcP256;
};

// One host's certificate and the TLS server context that presents it with the
// root as its chain.
struct LeafCertificate {
  std::string host;  // normalised (see bc::NormaliseHost)
  bc::CertPtr cert;
  std::string certPem;
  std::int64_t notAfter = 0;  // seconds since the epoch
  std::shared_ptr<SSL_CTX> context;
};

class VELTROX_CERTS_API CertMaker {
 public:
  explicit CertMaker(CertMakerOptions options = {});
  ~CertMaker();
  CertMaker(const CertMaker&) = delete;
  CertMaker& operator=(const CertMaker&) = delete;

  // The root key and certificate texts work like stored preferences: they are
  // kept exactly as given, and the root is in use only while the key text and
  // the certificate text are PEM that belong together. Changing the root drops
  // every cached leaf.
  void SetRootKeyText(std::string_view pem);
  void SetRootCertText(std::string_view pem);
  std::string RootKeyText() const;
  std::string RootCertText() const;

  // Makes a new root, puts its PEM texts in place of the old ones and uses it.
  // False (nothing changed) when generation fails.
  bool CreateRoot();

  // True while a usable root is in place.
  bool RootExists() const;

  // The leaf for `host` (DNS name or IP address), made on first use and cached.
  // Every leaf carries the same key pair. Null without a usable root or for a
  // name that is not a host.
  std::shared_ptr<const LeafCertificate> LeafFor(std::string_view host);

  // The TLS server context for `host`: its leaf, the shared key, the root as
  // chain, TLS 1.2 or later, ALPN http/1.1 only, and the switch to the SNI
  // host's leaf described above.
  std::shared_ptr<SSL_CTX> ServerContextFor(std::string_view host);

  // Leaves issued since construction.
  std::uint64_t CertificatesMade() const;
  // Hosts currently cached.
  std::size_t CachedHosts() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace veltrox
