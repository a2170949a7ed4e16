#include "cert_maker.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <set>
#include <thread>
#include <vector>

#include "test_support.h"

namespace veltrox {
namespace {

using veltrox::testing::VerifyServerChain;

class CertMakerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(maker_.CreateRoot()); }

  bc::CertPtr Root(const CertMaker& maker) { return bc::CertFromPem(maker.RootCertText()); }

  CertMaker maker_;
};

TEST(CertMakerRootTest, WithoutARootThereAreNoLeaves) {
  CertMaker maker;
  EXPECT_FALSE(maker.RootExists());
  EXPECT_EQ(maker.RootKeyText(), "");
  EXPECT_EQ(maker.RootCertText(), "");
  EXPECT_EQ(maker.LeafFor("example.com"), nullptr);
  EXPECT_EQ(maker.ServerContextFor("example.com"), nullptr);
  EXPECT_EQ(maker.CertificatesMade(), 0u);
}

TEST_F(CertMakerTest, ASavedRootIsWhatAMakerStartedLaterUses) {
  CertMaker later;
  later.SetRootKeyText(maker_.RootKeyText());
  EXPECT_FALSE(later.RootExists()) << "a key without its certificate is no root";
  later.SetRootCertText(maker_.RootCertText());
  ASSERT_TRUE(later.RootExists());
  EXPECT_EQ(later.RootKeyText(), maker_.RootKeyText());
  EXPECT_EQ(later.RootCertText(), maker_.RootCertText());

  auto leaf = later.LeafFor("saved.test");
  ASSERT_TRUE(leaf);
  EXPECT_EQ(VerifyServerChain(leaf->cert.get(), Root(maker_).get(), "saved.test"), X509_V_OK);
}

TEST_F(CertMakerTest, TextsAreKeptAsGivenAndOnlyAMatchingPairIsARoot) {
  CertMaker other;
  ASSERT_TRUE(other.CreateRoot());
  const std::string ourKey = maker_.RootKeyText();
  const std::string ourCert = maker_.RootCertText();
  struct Case {
    const char* name;
    std::string key;
    std::string cert;
    bool root;
  } cases[] = {
      {"matching pair", ourKey, ourCert, true},
      {"key of another root", other.RootKeyText(), ourCert, false},
      {"certificate of another root", ourKey, other.RootCertText(), false},
      {"garbage key", "not a key", ourCert, false},
      {"empty certificate", ourKey, "", false},
      {"both empty", "", "", false},
      {"pair with CRLF line ends", ourKey, [&] {
         std::string crlf;
         for (char c : ourCert) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
         return crlf;
       }(), true},
  };
  for (const Case& c : cases) {
    CertMaker maker;
    maker.SetRootKeyText(c.key);
    maker.SetRootCertText(c.cert);
    EXPECT_EQ(maker.RootExists(), c.root) << c.name;
    EXPECT_EQ(maker.RootKeyText(), c.key) << c.name;
    EXPECT_EQ(maker.RootCertText(), c.cert) << c.name;
    EXPECT_EQ(maker.LeafFor("example.com") != nullptr, c.root) << c.name;
  }
}

TEST_F(CertMakerTest, ASecondConnectionToTheSameHostMakesNoCertificate) {
  auto first = maker_.LeafFor("example.com");
  ASSERT_TRUE(first);
  EXPECT_EQ(maker_.CertificatesMade(), 1u);
  for (const char* sameHost : {"example.com", "EXAMPLE.com", "example.com."}) {
    EXPECT_EQ(maker_.LeafFor(sameHost), first) << sameHost;
    EXPECT_EQ(maker_.ServerContextFor(sameHost).get(), first->context.get()) << sameHost;
  }
  EXPECT_EQ(maker_.CertificatesMade(), 1u);
  EXPECT_EQ(maker_.CachedHosts(), 1u);

  auto other = maker_.LeafFor("other.example.com");
  ASSERT_TRUE(other);
  EXPECT_EQ(maker_.CertificatesMade(), 2u);
  // One key pair for every leaf.
  EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(first->cert.get()), X509_get0_pubkey(other->cert.get())),
            1);
}

TEST_F(CertMakerTest, RefusedNamesMakeNothingAndCacheNothing) {
  for (const char* bad : {"", "a b", "bad/host", "..", "x:1"}) {
    EXPECT_EQ(maker_.LeafFor(bad), nullptr) << bad;
  }
  EXPECT_EQ(maker_.CertificatesMade(), 0u);
  EXPECT_EQ(maker_.CachedHosts(), 0u);
}

TEST(CertMakerCacheTest, TheLeastRecentlyUsedHostLeavesAFullCache) {
  CertMakerOptions options;
  options.cacheCapacity = 2;
  CertMaker maker(options);
  ASSERT_TRUE(maker.CreateRoot());
  struct Step {
    const char* host;
    std::uint64_t madeAfter;
  } steps[] = {
      {"a.test", 1}, {"b.test", 2}, {"a.test", 2},  // a is now the most recent
      {"c.test", 3},                                // evicts b
      {"a.test", 3}, {"c.test", 3}, {"b.test", 4},  // b made again, evicts a
      {"c.test", 4}, {"a.test", 5},
  };
  for (const Step& step : steps) {
    auto held = maker.LeafFor(step.host);
    ASSERT_TRUE(held) << step.host;
    EXPECT_EQ(maker.CertificatesMade(), step.madeAfter) << "after " << step.host;
    EXPECT_LE(maker.CachedHosts(), 2u);
  }
}

TEST(CertMakerCacheTest, AnEvictedContextStaysUsableForWhoeverHoldsIt) {
  CertMakerOptions options;
  options.cacheCapacity = 1;
  CertMaker maker(options);
  ASSERT_TRUE(maker.CreateRoot());
  std::shared_ptr<SSL_CTX> held = maker.ServerContextFor("held.test");
  ASSERT_TRUE(held);
  ASSERT_TRUE(maker.LeafFor("evicting.test"));
  SSL* ssl = SSL_new(held.get());
  ASSERT_NE(ssl, nullptr);
  EXPECT_NE(SSL_get_certificate(ssl), nullptr);
  SSL_free(ssl);
}

TEST_F(CertMakerTest, ANewRootDropsLeavesOfTheOldOne) {
  auto before = maker_.LeafFor("example.com");
  ASSERT_TRUE(before);
  bc::CertPtr oldRoot = Root(maker_);

  // Setting the same texts again changes nothing.
  maker_.SetRootKeyText(maker_.RootKeyText());
  maker_.SetRootCertText(maker_.RootCertText());
  EXPECT_EQ(maker_.LeafFor("example.com"), before);
  EXPECT_EQ(maker_.CertificatesMade(), 1u);

  ASSERT_TRUE(maker_.CreateRoot());
  EXPECT_EQ(maker_.CachedHosts(), 0u);
  auto after = maker_.LeafFor("example.com");
  ASSERT_TRUE(after);
  EXPECT_NE(after, before);
  EXPECT_EQ(VerifyServerChain(after->cert.get(), Root(maker_).get(), "example.com"), X509_V_OK);
  EXPECT_NE(VerifyServerChain(after->cert.get(), oldRoot.get(), "example.com"), X509_V_OK);

  // Replacing the root by texts works the same way.
  CertMaker third;
  ASSERT_TRUE(third.CreateRoot());
  maker_.SetRootKeyText(third.RootKeyText());
  maker_.SetRootCertText(third.RootCertText());
  auto fromTexts = maker_.LeafFor("example.com");
  ASSERT_TRUE(fromTexts);
  EXPECT_EQ(VerifyServerChain(fromTexts->cert.get(), Root(third).get(), "example.com"), X509_V_OK);
}

TEST_F(CertMakerTest, ConcurrentCallersShareOneLeafPerHost) {
  constexpr int kThreads = 8;
  constexpr int kHosts = 6;
  std::vector<std::vector<const LeafCertificate*>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 10; ++round) {
        for (int h = 0; h < kHosts; ++h) {
          int host = (h + t) % kHosts;  // threads start on different hosts
          auto leaf = maker_.LeafFor("host" + std::to_string(host) + ".test");
          seen[t].push_back(leaf.get());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(maker_.CertificatesMade(), static_cast<std::uint64_t>(kHosts));
  std::set<const LeafCertificate*> distinct;
  for (const auto& list : seen) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kHosts));
  EXPECT_EQ(distinct.count(nullptr), 0u);
}

// A TLS handshake between a client and a server context over an in-memory
// pipe, reporting what the client saw.
struct Handshake {
  bool ok = false;
  long verifyResult = X509_V_OK;
  std::string alpn;
  std::string peerCommonName;
};

Handshake RunHandshake(SSL_CTX* serverCtx, X509* trustedRoot, const std::string& sni,
                       const std::string& expectedName, const std::string& alpnOffer) {
  SSL_CTX* clientCtx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(clientCtx, SSL_VERIFY_PEER, nullptr);
  if (trustedRoot) X509_STORE_add_cert(SSL_CTX_get_cert_store(clientCtx), trustedRoot);
  SSL* client = SSL_new(clientCtx);
  SSL* server = SSL_new(serverCtx);
  BIO* clientBio = nullptr;
  BIO* serverBio = nullptr;
  BIO_new_bio_pair(&clientBio, 0, &serverBio, 0);
  SSL_set_bio(client, clientBio, clientBio);
  SSL_set_bio(server, serverBio, serverBio);
  SSL_set_connect_state(client);
  SSL_set_accept_state(server);
  if (!sni.empty()) SSL_set_tlsext_host_name(client, sni.c_str());
  if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(client), expectedName.c_str()) != 1) {
    SSL_set1_host(client, expectedName.c_str());
  }
  if (!alpnOffer.empty()) {
    SSL_set_alpn_protos(client, reinterpret_cast<const unsigned char*>(alpnOffer.data()),
                        static_cast<unsigned>(alpnOffer.size()));
  }

  Handshake result;
  bool clientDone = false;
  bool serverDone = false;
  bool failed = false;
  for (int step = 0; step < 100 && !failed && !(clientDone && serverDone); ++step) {
    for (auto [ssl, done] : {std::pair{client, &clientDone}, std::pair{server, &serverDone}}) {
      if (*done || failed) continue;
      int rc = SSL_do_handshake(ssl);
      if (rc == 1) {
        *done = true;
      } else {
        int err = SSL_get_error(ssl, rc);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) failed = true;
      }
    }
  }
  result.ok = clientDone && serverDone && !failed;
  result.verifyResult = SSL_get_verify_result(client);
  const unsigned char* alpn = nullptr;
  unsigned alpnLength = 0;
  SSL_get0_alpn_selected(client, &alpn, &alpnLength);
  if (alpn) result.alpn.assign(reinterpret_cast<const char*>(alpn), alpnLength);
  if (X509* peer = SSL_get0_peer_certificate(client)) {
    result.peerCommonName = veltrox::testing::CommonNameOf(peer);
  }
  SSL_free(client);
  SSL_free(server);
  SSL_CTX_free(clientCtx);
  ERR_clear_error();
  return result;
}

TEST_F(CertMakerTest, ServerContextsTerminateTlsForClientsThatTrustTheRoot) {
  bc::CertPtr root = Root(maker_);
  const std::string http11 = "\x08http/1.1";
  const std::string h2AndHttp11 = std::string("\x02h2", 3) + http11;
  struct Case {
    const char* name;
    std::string contextHost;  // the CONNECT host
    std::string sni;
    std::string expectedName;  // what the client verifies
    std::string alpnOffer;
    bool trusted;
    bool ok;
    std::string alpn;
    std::string peer;
  } cases[] = {
      {"sni equals connect host", "site.test", "site.test", "site.test", h2AndHttp11, true, true,
       "http/1.1", "site.test"},
      {"h2 alone is not taken", "site.test", "site.test", "site.test", std::string("\x02h2", 3),
       true, true, "", "site.test"},
      {"no alpn offered", "site.test", "site.test", "site.test", "", true, true, "", "site.test"},
      {"sni names another host", "connect.test", "other.test", "other.test", http11, true, true,
       "http/1.1", "other.test"},
      {"no sni for an address", "127.0.0.1", "", "127.0.0.1", http11, true, true, "http/1.1",
       "127.0.0.1"},
      {"sni that is no host keeps the connect host", "connect.test", "no such host!",
       "connect.test", http11, true, true, "http/1.1", "connect.test"},
      {"localhost endpoint", "localhost", "localhost", "localhost", http11, true, true, "http/1.1",
       "localhost"},
      {"client without the root", "site.test", "site.test", "site.test", http11, false, false, "",
       "site.test"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::shared_ptr<SSL_CTX> ctx = maker_.ServerContextFor(c.contextHost);
    ASSERT_TRUE(ctx);
    Handshake h = RunHandshake(ctx.get(), c.trusted ? root.get() : nullptr, c.sni, c.expectedName,
                               c.alpnOffer);
    EXPECT_EQ(h.ok, c.ok);
    EXPECT_EQ(h.verifyResult == X509_V_OK, c.ok);
    if (c.ok) {
      EXPECT_EQ(h.alpn, c.alpn);
      EXPECT_EQ(h.peerCommonName, c.peer);
    }
  }
}

}  // namespace
}  // namespace veltrox
