#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "certs_export.h"

// Key and certificate generation for the interception root and its leaves
// (BCMakeCert.dll). Plain functions over OpenSSL objects: no state, safe to
// call from any thread. A failure comes back as an empty pointer with the
// reason in `error` when the caller passes one.

namespace veltrox::bc {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;

// The common name of every root this tool makes; old roots are found and
// removed from the trust stores by it.
inline constexpr std::string_view kRootCommonName = "DO_NOT_TRUST_FiddlerRoot";

// P-256 keys sign and handshake an order of magnitude faster than RSA, and
// every current TLS client takes them; RSA stays available for old clients.
enum class KeyKind { EcP256, Rsa2048 };

VELTROX_CERTS_API KeyPtr GenerateKey(KeyKind kind, std::string* error = nullptr);

struct RootOptions {
  KeyKind keyKind = KeyKind::EcP256;
  std::string commonName{kRootCommonName};
  std::chrono::days validity{3650};
};

struct RootCa {
  KeyPtr key;
  CertPtr cert;
};

// A new self-signed CA: basic constraints CA:TRUE (critical), key usage
// keyCertSign and cRLSign (critical), a subject key identifier and a random
// serial. Valid from a day ago, so a client whose clock runs a little behind
// still takes it.
VELTROX_CERTS_API std::optional<RootCa> CreateRootCa(const RootOptions& options = {},
                                                     std::string* error = nullptr);

// The longest validity a leaf gets; a leaf never outlives the root either.
inline constexpr std::chrono::days kMaxLeafValidity{365};

// A server certificate for `host` (a DNS name, an IPv4 address or an IPv6
// address, brackets allowed) carrying `leafKey`'s public key, signed by the CA:
// subjectAltName DNS or IP, extended key usage serverAuth, not a CA, a random
// serial. Null for a name that is not a plausible host (empty, too long, bytes
// outside letters, digits, '-', '_' and '.', empty labels), and when the CA key
// does not belong to the CA certificate.
VELTROX_CERTS_API CertPtr IssueLeaf(std::string_view host, EVP_PKEY* leafKey, X509* caCert,
                                    EVP_PKEY* caKey, std::string* error = nullptr);

// The cache key and certificate name for a host: ASCII lower case, no trailing
// dot, no IPv6 brackets, IP addresses in their canonical form. Nothing for a
// name IssueLeaf would refuse.
VELTROX_CERTS_API std::optional<std::string> NormaliseHost(std::string_view host);

// PKCS#8 private key and X.509 certificate in PEM. Reading takes the first
// object of the text and ignores anything around it; a text without one gives
// null.
VELTROX_CERTS_API std::string KeyToPem(EVP_PKEY* key);
VELTROX_CERTS_API std::string CertToPem(X509* cert);
VELTROX_CERTS_API KeyPtr KeyFromPem(std::string_view pem, std::string* error = nullptr);
VELTROX_CERTS_API CertPtr CertFromPem(std::string_view pem, std::string* error = nullptr);

// True when `key` is the private key of `cert`'s public key.
VELTROX_CERTS_API bool KeyMatchesCert(EVP_PKEY* key, X509* cert);

}  // namespace veltrox::bc
