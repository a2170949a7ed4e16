// What a CONNECT costs the certificate maker: a host seen for the first time
// (sign a leaf, build its TLS context) against one already cached, and what a
// handshake costs with the two leaf key kinds.

#include <benchmark/benchmark.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <string>

#include "cert_maker.h"

namespace {

using veltrox::CertMaker;
using veltrox::CertMakerOptions;
using veltrox::bc::KeyKind;

CertMakerOptions Options(KeyKind kind) {
  CertMakerOptions options;
  options.rootKeyKind = kind;
  options.leafKeyKind = kind;
  return options;
}

const char* KindName(KeyKind kind) { return kind == KeyKind::Rsa2048 ? "rsa2048" : "p256"; }

void FirstLeafForHost(benchmark::State& state) {
  auto kind = static_cast<KeyKind>(state.range(0));
  CertMaker maker(Options(kind));
  maker.CreateRoot();
  std::uint64_t n = 0;
  for (auto _ : state) {
    auto leaf = maker.LeafFor("host" + std::to_string(n++) + ".bench.test");
    benchmark::DoNotOptimize(leaf);
  }
  state.SetLabel(KindName(kind));
  state.counters["made"] = static_cast<double>(maker.CertificatesMade());
}

void CachedLeafForHost(benchmark::State& state) {
  auto kind = static_cast<KeyKind>(state.range(0));
  CertMaker maker(Options(kind));
  maker.CreateRoot();
  maker.LeafFor("cached.bench.test");
  for (auto _ : state) {
    auto ctx = maker.ServerContextFor("cached.bench.test");
    benchmark::DoNotOptimize(ctx);
  }
  state.SetLabel(KindName(kind));
  // Stays at 1: no certificate is made after the first.
  state.counters["made"] = static_cast<double>(maker.CertificatesMade());
}

// Signing alone, without the TLS context FirstLeafForHost also builds.
void SignLeafOnly(benchmark::State& state) {
  auto kind = static_cast<KeyKind>(state.range(0));
  veltrox::bc::RootOptions rootOptions;
  rootOptions.keyKind = kind;
  auto root = veltrox::bc::CreateRootCa(rootOptions);
  auto leafKey = veltrox::bc::GenerateKey(kind);
  for (auto _ : state) {
    auto cert = veltrox::bc::IssueLeaf("sign.bench.test", leafKey.get(), root->cert.get(),
                                       root->key.get());
    benchmark::DoNotOptimize(cert);
  }
  state.SetLabel(KindName(kind));
}

// A full TLS handshake against a cached context over an in-memory pipe: the
// part of a new intercepted connection that the leaf key decides.
void HandshakeWithCachedLeaf(benchmark::State& state) {
  auto kind = static_cast<KeyKind>(state.range(0));
  CertMaker maker(Options(kind));
  maker.CreateRoot();
  auto server = maker.ServerContextFor("hs.bench.test");
  SSL_CTX* clientCtx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(clientCtx, SSL_VERIFY_NONE, nullptr);
  for (auto _ : state) {
    SSL* client = SSL_new(clientCtx);
    SSL* srv = SSL_new(server.get());
    BIO* a = nullptr;
    BIO* b = nullptr;
    BIO_new_bio_pair(&a, 0, &b, 0);
    SSL_set_bio(client, a, a);
    SSL_set_bio(srv, b, b);
    SSL_set_connect_state(client);
    SSL_set_accept_state(srv);
    SSL_set_tlsext_host_name(client, "hs.bench.test");
    bool clientDone = false;
    bool serverDone = false;
    for (int i = 0; i < 20 && !(clientDone && serverDone); ++i) {
      if (!clientDone) clientDone = SSL_do_handshake(client) == 1;
      if (!serverDone) serverDone = SSL_do_handshake(srv) == 1;
    }
    if (!clientDone || !serverDone) state.SkipWithError("handshake failed");
    SSL_free(client);
    SSL_free(srv);
  }
  ERR_clear_error();
  SSL_CTX_free(clientCtx);
  state.SetLabel(KindName(kind));
}

constexpr int kP256 = static_cast<int>(KeyKind::EcP256);
constexpr int kRsa = static_cast<int>(KeyKind::Rsa2048);

BENCHMARK(FirstLeafForHost)->Arg(kP256)->Arg(kRsa)->Unit(benchmark::kMicrosecond);
BENCHMARK(CachedLeafForHost)->Arg(kP256)->Arg(kRsa)->Unit(benchmark::kMicrosecond);
BENCHMARK(SignLeafOnly)->Arg(kP256)->Arg(kRsa)->Unit(benchmark::kMicrosecond);
BENCHMARK(HandshakeWithCachedLeaf)->Arg(kP256)->Arg(kRsa)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
