#include "cert_maker.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <ctime>
#include <future>
#include <list>
#include <mutex>
#include <unordered_map>

namespace veltrox {
namespace {

// A leaf this close to its end is made anew rather than served.
constexpr std::int64_t kRenewBeforeSeconds = 24 * 60 * 60;

struct RootMaterial {
  bc::KeyPtr key;
  bc::CertPtr cert;
};

int SelectHttp11(SSL*, const unsigned char** out, unsigned char* outLength,
                 const unsigned char* offered, unsigned int offeredLength, void*) {
  static const unsigned char kOurs[] = "\x08http/1.1";
  unsigned char* selected = nullptr;
  if (SSL_select_next_proto(&selected, outLength, kOurs, sizeof kOurs - 1, offered,
                            offeredLength) != OPENSSL_NPN_NEGOTIATED) {
    // No protocol in common: go on without ALPN rather than fail; a client
    // that insists on h2 closes on its own.
    return SSL_TLSEXT_ERR_NOACK;
  }
  *out = selected;
  return SSL_TLSEXT_ERR_OK;
}

std::int64_t NotAfterOf(X509* cert) {
  std::tm tm{};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &tm) != 1) return 0;
  return static_cast<std::int64_t>(timegm(&tm));
}

}  // namespace

// Hidden like everything that is not the API, with all it instantiates.
struct __attribute__((visibility("hidden"))) CertMaker::Impl {
  using LeafPtr = std::shared_ptr<const LeafCertificate>;

  struct Entry {
    std::shared_future<LeafPtr> leaf;
    std::list<std::string>::iterator recency;
    std::uint64_t ticket = 0;
  };

  explicit Impl(CertMakerOptions o) : options(o) {
    if (options.cacheCapacity == 0) options.cacheCapacity = 1;
    leafKey.reset(bc::GenerateKey(options.leafKeyKind).release(), EVP_PKEY_free);
  }

  // Called with `mutex` held whenever a text changes.
  void ReloadRoot() {
    std::shared_ptr<RootMaterial> next;
    bc::KeyPtr key = bc::KeyFromPem(keyText);
    bc::CertPtr cert = bc::CertFromPem(certText);
    if (key && cert && bc::KeyMatchesCert(key.get(), cert.get())) {
      // The same root set again keeps its leaves.
      if (root && X509_cmp(root->cert.get(), cert.get()) == 0) return;
      next = std::make_shared<RootMaterial>(RootMaterial{std::move(key), std::move(cert)});
    }
    if (!next && !root) return;
    root = std::move(next);
    ClearCache();
  }

  void ClearCache() {
    cache.clear();
    recency.clear();
  }

  std::shared_ptr<SSL_CTX> MakeContext(X509* cert, X509* rootCert) {
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx) return nullptr;
    SSL_CTX* c = ctx.get();
    bool ok = SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION) == 1 &&
              SSL_CTX_use_certificate(c, cert) == 1 &&
              SSL_CTX_use_PrivateKey(c, leafKey.get()) == 1 &&
              SSL_CTX_check_private_key(c) == 1 && SSL_CTX_add1_chain_cert(c, rootCert) == 1;
    if (!ok) {
      ERR_clear_error();
      return nullptr;
    }
    SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(c, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_alpn_select_cb(c, SelectHttp11, nullptr);
    SSL_CTX_set_tlsext_servername_callback(c, SwitchToSniHost);
    SSL_CTX_set_tlsext_servername_arg(c, this);
    return ctx;
  }

  LeafPtr Issue(const std::string& host, const std::shared_ptr<RootMaterial>& signer) {
    if (!leafKey || !signer) return nullptr;
    bc::CertPtr cert = bc::IssueLeaf(host, leafKey.get(), signer->cert.get(), signer->key.get());
    if (!cert) return nullptr;
    auto leaf = std::make_shared<LeafCertificate>();
    leaf->host = host;
    leaf->certPem = bc::CertToPem(cert.get());
    leaf->notAfter = NotAfterOf(cert.get());
    leaf->context = MakeContext(cert.get(), signer->cert.get());
    leaf->cert = std::move(cert);
    if (!leaf->context) return nullptr;
    made.fetch_add(1, std::memory_order_relaxed);
    return leaf;
  }

  LeafPtr LeafFor(std::string_view requested) {
    std::optional<std::string> host = bc::NormaliseHost(requested);
    if (!host) return nullptr;

    std::promise<LeafPtr> promise;
    std::shared_ptr<RootMaterial> signer;
    std::uint64_t ticket = 0;
    {
      std::unique_lock lock(mutex);
      if (!root) return nullptr;
      auto found = cache.find(*host);
      if (found != cache.end()) {
        recency.splice(recency.begin(), recency, found->second.recency);
        std::shared_future<LeafPtr> pending = found->second.leaf;
        std::uint64_t seen = found->second.ticket;
        lock.unlock();
        // Waits only while another thread is still making this very leaf.
        LeafPtr leaf = pending.get();
        if (leaf && leaf->notAfter - kRenewBeforeSeconds > std::time(nullptr)) return leaf;
        lock.lock();
        found = cache.find(*host);
        if (found != cache.end() && found->second.ticket == seen) Forget(found);
        if (!root) return nullptr;
      }
      // Another thread may have started this host while the lock was open.
      found = cache.find(*host);
      if (found != cache.end()) {
        std::shared_future<LeafPtr> pending = found->second.leaf;
        lock.unlock();
        return pending.get();
      }
      signer = root;
      ticket = ++nextTicket;
      recency.push_front(*host);
      cache.emplace(*host, Entry{promise.get_future().share(), recency.begin(), ticket});
      while (cache.size() > options.cacheCapacity) Forget(cache.find(recency.back()));
    }

    LeafPtr leaf = Issue(*host, signer);
    promise.set_value(leaf);
    if (!leaf) {
      // A failed issue is not cached: the next call tries again.
      std::lock_guard lock(mutex);
      auto found = cache.find(*host);
      if (found != cache.end() && found->second.ticket == ticket) Forget(found);
    }
    return leaf;
  }

  void Forget(std::unordered_map<std::string, Entry>::iterator entry) {
    recency.erase(entry->second.recency);
    cache.erase(entry);
  }

  static int SwitchToSniHost(SSL* ssl, int*, void* arg) {
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    if (!name || !*name) return SSL_TLSEXT_ERR_OK;
    X509* current = SSL_CTX_get0_certificate(SSL_get_SSL_CTX(ssl));
    if (current && X509_check_host(current, name, 0, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS,
                                   nullptr) == 1) {
      return SSL_TLSEXT_ERR_OK;
    }
    LeafPtr leaf = static_cast<Impl*>(arg)->LeafFor(name);
    // A name we cannot certify keeps the leaf of the CONNECT host.
    if (leaf) SSL_set_SSL_CTX(ssl, leaf->context.get());
    ERR_clear_error();
    return SSL_TLSEXT_ERR_OK;
  }

  CertMakerOptions options;
  std::shared_ptr<EVP_PKEY> leafKey;
  std::atomic<std::uint64_t> made{0};

  mutable std::mutex mutex;
  std::string keyText;
  std::string certText;
  std::shared_ptr<RootMaterial> root;
  std::unordered_map<std::string, Entry> cache;
  std::list<std::string> recency;  // most recently used first
  std::uint64_t nextTicket = 0;
};

CertMaker::CertMaker(CertMakerOptions options) : impl_(std::make_unique<Impl>(options)) {}
CertMaker::~CertMaker() = default;

void CertMaker::SetRootKeyText(std::string_view pem) {
  std::lock_guard lock(impl_->mutex);
  impl_->keyText = pem;
  impl_->ReloadRoot();
}

void CertMaker::SetRootCertText(std::string_view pem) {
  std::lock_guard lock(impl_->mutex);
  impl_->certText = pem;
  impl_->ReloadRoot();
}

std::string CertMaker::RootKeyText() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->keyText;
}

std::string CertMaker::RootCertText() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->certText;
}

bool CertMaker::CreateRoot() {
  bc::RootOptions rootOptions;
  rootOptions.keyKind = impl_->options.rootKeyKind;
  std::optional<bc::RootCa> made = bc::CreateRootCa(rootOptions);
  if (!made) return false;
  std::string key = bc::KeyToPem(made->key.get());
  std::string cert = bc::CertToPem(made->cert.get());
  if (key.empty() || cert.empty()) return false;
  std::lock_guard lock(impl_->mutex);
  impl_->keyText = std::move(key);
  impl_->certText = std::move(cert);
  impl_->root = std::make_shared<RootMaterial>(
      RootMaterial{std::move(made->key), std::move(made->cert)});
  impl_->ClearCache();
  return true;
}

bool CertMaker::RootExists() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->root != nullptr;
}

std::shared_ptr<const LeafCertificate> CertMaker::LeafFor(std::string_view host) {
  return impl_->LeafFor(host);
}

std::shared_ptr<SSL_CTX> CertMaker::ServerContextFor(std::string_view host) {
  std::shared_ptr<const LeafCertificate> leaf = impl_->LeafFor(host);
  if (!leaf) return nullptr;
  // Shares ownership with the leaf, so the context stays whole after eviction.
  return std::shared_ptr<SSL_CTX>(leaf, leaf->context.get());
}

std::uint64_t CertMaker::CertificatesMade() const {
  return impl_->made.load(std::memory_order_relaxed);
}

std::size_t CertMaker::CachedHosts() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->cache.size();
}

}  // namespace veltrox
