#include "bc_make_cert.h"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <climits>
#include <ctime>

namespace veltrox::bc {
namespace {

constexpr long kDaySeconds = 24L * 60 * 60;
// A CN longer than this is not encodable (RFC 5280 upper bound); such hosts get
// their name in the subjectAltName only.
constexpr std::size_t kMaxCommonName = 64;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// Records `what` with the reason OpenSSL left in its error queue, and empties
// the queue so a later call on this thread starts clean.
void Fail(std::string* error, std::string_view what) {
  unsigned long code = ERR_peek_last_error();
  if (error) {
    *error = what;
    if (code != 0) {
      char reason[256];
      ERR_error_string_n(code, reason, sizeof reason);
      *error += ": ";
      *error += reason;
    }
  }
  ERR_clear_error();
}

bool SetRandomSerial(X509* cert) {
  // 127 random bits: positive, and far beyond what a collision needs.
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  bytes[0] &= 0x7f;
  bytes[0] |= 0x40;
  BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
  if (!bn) return false;
  bool ok = BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
  BN_free(bn);
  return ok;
}

bool AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

bool AddNameEntry(X509_NAME* name, const char* field, std::string_view value) {
  return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(value.data()),
                                    static_cast<int>(value.size()), -1, 0) == 1;
}

// Ed25519 and Ed448 sign the message itself and take no digest.
const EVP_MD* DigestFor(EVP_PKEY* signer) {
  int id = EVP_PKEY_get_id(signer);
  return id == EVP_PKEY_ED25519 || id == EVP_PKEY_ED448 ? nullptr : EVP_sha256();
}

std::optional<time_t> ToTimeT(const ASN1_TIME* time) {
  std::tm tm{};
  if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return std::nullopt;
  return timegm(&tm);
}

bool IsDnsByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool AddSubjectAltName(X509* cert, const std::string& host, bool isIp, bool critical) {
  GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
  GENERAL_NAME* name = GENERAL_NAME_new();
  bool ok = names && name;
  if (ok && isIp) {
    ASN1_OCTET_STRING* address = a2i_IPADDRESS(host.c_str());
    ok = address != nullptr;
    if (ok) GENERAL_NAME_set0_value(name, GEN_IPADD, address);
  } else if (ok) {
    ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
    ok = dns && ASN1_STRING_set(dns, host.data(), static_cast<int>(host.size())) == 1;
    if (ok) {
      GENERAL_NAME_set0_value(name, GEN_DNS, dns);
    } else {
      ASN1_IA5STRING_free(dns);
    }
  }
  if (ok) {
    ok = sk_GENERAL_NAME_push(names, name) > 0;
    if (ok) name = nullptr;
  }
  ok = ok && X509_add1_ext_i2d(cert, NID_subject_alt_name, names, critical ? 1 : 0,
                           X509V3_ADD_DEFAULT) == 1;
  GENERAL_NAME_free(name);
  sk_GENERAL_NAME_pop_free(names, GENERAL_NAME_free);
  return ok;
}

}  // namespace

KeyPtr GenerateKey(KeyKind kind, std::string* error) {
  EVP_PKEY* key = kind == KeyKind::Rsa2048
                      ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048))
                      : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (!key) Fail(error, "key generation failed");
  return KeyPtr(key);
}

std::optional<RootCa> CreateRootCa(const RootOptions& options, std::string* error) {
  if (options.commonName.empty() || options.commonName.size() > kMaxCommonName ||
      options.validity.count() <= 1) {
    if (error) *error = "a root needs a common name of 1 to 64 bytes and more than a day of validity";
    return std::nullopt;
  }
  RootCa root{GenerateKey(options.keyKind, error), CertPtr(X509_new())};
  if (!root.key) return std::nullopt;
  X509* cert = root.cert.get();
  X509V3_CTX ctx;
  bool ok = cert && X509_set_version(cert, X509_VERSION_3) == 1 && SetRandomSerial(cert) &&
            X509_gmtime_adj(X509_getm_notBefore(cert), -kDaySeconds) &&
            X509_gmtime_adj(X509_getm_notAfter(cert),
                            (options.validity.count() - 1) * kDaySeconds) &&
            X509_set_pubkey(cert, root.key.get()) == 1;
  X509_NAME* name = ok ? X509_get_subject_name(cert) : nullptr;
  ok = ok && AddNameEntry(name, "CN", options.commonName) && AddNameEntry(name, "O", "Veltrox") &&
       X509_set_issuer_name(cert, name) == 1;
  if (ok) X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  ok = ok && AddExtension(cert, &ctx, NID_basic_constraints, "critical,CA:TRUE") &&
       AddExtension(cert, &ctx, NID_key_usage, "critical,keyCertSign,cRLSign") &&
       AddExtension(cert, &ctx, NID_subject_key_identifier, "hash") &&
       X509_sign(cert, root.key.get(), DigestFor(root.key.get())) > 0;
  if (!ok) {
    Fail(error, "the root certificate could not be made");
    return std::nullopt;
  }
  return root;
}

std::optional<std::string> NormaliseHost(std::string_view host) {
  bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);
  if (host.empty() || host.size() > 255) return std::nullopt;
  std::string text(host);
  if (text.find('\0') != std::string::npos) return std::nullopt;

  char canonical[INET6_ADDRSTRLEN];
  unsigned char address[16];
  if (inet_pton(AF_INET6, text.c_str(), address) == 1) {
    if (!inet_ntop(AF_INET6, address, canonical, sizeof canonical)) return std::nullopt;
    return std::string(canonical);
  }
  if (bracketed) return std::nullopt;
  if (inet_pton(AF_INET, text.c_str(), address) == 1) {
    if (!inet_ntop(AF_INET, address, canonical, sizeof canonical)) return std::nullopt;
    return std::string(canonical);
  }

  for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  if (text.back() == '.') text.pop_back();
  if (text.empty() || text.size() > 253) return std::nullopt;
  std::size_t labelLength = 0;
  for (char c : text) {
    if (c == '.') {
      if (labelLength == 0) return std::nullopt;
      labelLength = 0;
    } else if (!IsDnsByte(c) || ++labelLength > 63) {
      return std::nullopt;
    }
  }
  if (labelLength == 0) return std::nullopt;
  return text;
}

CertPtr IssueLeaf(std::string_view host, EVP_PKEY* leafKey, X509* caCert, EVP_PKEY* caKey,
                  std::string* error) {
  std::optional<std::string> name = NormaliseHost(host);
  if (!name) {
    if (error) *error = "not a host name or IP address: " + std::string(host.substr(0, 300));
    return nullptr;
  }
  if (!leafKey || !caCert || !caKey || !KeyMatchesCert(caKey, caCert)) {
    if (error) *error = "the root key and certificate do not belong together";
    return nullptr;
  }

  time_t now = std::time(nullptr);
  time_t notBefore = now - kDaySeconds;
  time_t notAfter = notBefore + kMaxLeafValidity.count() * kDaySeconds;
  std::optional<time_t> rootEnd = ToTimeT(X509_get0_notAfter(caCert));
  if (!rootEnd || *rootEnd <= now) {
    if (error) *error = "the root certificate has expired";
    return nullptr;
  }
  if (*rootEnd < notAfter) notAfter = *rootEnd;

  unsigned char probe[16];
  bool isIp = inet_pton(AF_INET, name->c_str(), probe) == 1 ||
              inet_pton(AF_INET6, name->c_str(), probe) == 1;
  bool withCommonName = name->size() <= kMaxCommonName;

  CertPtr leaf(X509_new());
  X509* cert = leaf.get();
  X509V3_CTX ctx;
  bool ok = cert && X509_set_version(cert, X509_VERSION_3) == 1 && SetRandomSerial(cert) &&
            ASN1_TIME_set(X509_getm_notBefore(cert), notBefore) &&
            ASN1_TIME_set(X509_getm_notAfter(cert), notAfter) &&
            X509_set_pubkey(cert, leafKey) == 1 &&
            X509_set_issuer_name(cert, X509_get_subject_name(caCert)) == 1;
  if (ok && withCommonName) ok = AddNameEntry(X509_get_subject_name(cert), "CN", *name);
  if (ok) X509V3_set_ctx(&ctx, caCert, cert, nullptr, nullptr, 0);
  const char* usage = EVP_PKEY_get_base_id(leafKey) == EVP_PKEY_RSA
                          ? "critical,digitalSignature,keyEncipherment"
                          : "critical,digitalSignature";
  // With an empty subject the alternative name is the certificate's only name
  // and must then be critical.
  ok = ok && AddSubjectAltName(cert, *name, isIp, !withCommonName) &&
       AddExtension(cert, &ctx, NID_basic_constraints, "critical,CA:FALSE") &&
       AddExtension(cert, &ctx, NID_key_usage, usage) &&
       AddExtension(cert, &ctx, NID_ext_key_usage, "serverAuth") &&
       AddExtension(cert, &ctx, NID_subject_key_identifier, "hash") &&
       AddExtension(cert, &ctx, NID_authority_key_identifier, "keyid:always") &&
       X509_sign(cert, caKey, DigestFor(caKey)) > 0;
  if (!ok) {
    Fail(error, "the leaf certificate could not be made");
    return nullptr;
  }
  return leaf;
}

std::string KeyToPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!key || !bio ||
      PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    ERR_clear_error();
    return {};
  }
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string CertToPem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!cert || !bio || PEM_write_bio_X509(bio.get(), cert) != 1) {
    ERR_clear_error();
    return {};
  }
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

KeyPtr KeyFromPem(std::string_view pem, std::string* error) {
  if (pem.size() > INT_MAX) pem = {};
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  // No pass phrase callback prompt: an encrypted key is simply refused.
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr,
                                                [](char*, int, int, void*) { return 0; }, nullptr)
                      : nullptr;
  if (!key) Fail(error, "no private key in the text");
  return KeyPtr(key);
}

CertPtr CertFromPem(std::string_view pem, std::string* error) {
  if (pem.size() > INT_MAX) pem = {};
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  X509* cert = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  if (!cert) Fail(error, "no certificate in the text");
  return CertPtr(cert);
}

bool KeyMatchesCert(EVP_PKEY* key, X509* cert) {
  if (!key || !cert) return false;
  bool match = X509_check_private_key(cert, key) == 1;
  ERR_clear_error();
  return match;
}

}  // namespace veltrox::bc
