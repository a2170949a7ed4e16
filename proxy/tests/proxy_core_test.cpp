// The core through its C++ interface: chaining through an upstream proxy,
// TLS to servers, IPv6 clients, stale server connections and framing cases.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "asio.h"
#include "proxy.h"
#include "test_server.h"

namespace veltrox::proxy {
namespace {

using ::testing::HasSubstr;
using veltrox::testing::RecordedRequest;
using veltrox::testing::Reply;
using veltrox::testing::TestServer;

struct CurlResult {
  int exitCode = -1;
  std::string output;
};

CurlResult Curl(const std::string& arguments) {
  CurlResult result;
  FILE* pipe = popen(("curl -s --max-time 30 " + arguments).c_str(), "r");
  char buffer[16384];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string Via(const Proxy& proxy) { return "-x http://127.0.0.1:" + std::to_string(proxy.Port()) + " "; }

Settings LoopbackSettings() {
  Settings s;
  s.allowRemoteClients = false;
  return s;
}

// Records every URL a proxy's request handler sees.
struct UrlLog {
  std::mutex mutex;
  std::vector<std::string> urls;
  Handlers MakeHandlers(std::function<void(Session&)> also = {}) {
    Handlers h;
    h.beforeRequest = [this, also](Session& s) {
      {
        std::lock_guard lock(mutex);
        urls.push_back(s.FullUrl());
      }
      if (also) also(s);
    };
    return h;
  }
  std::vector<std::string> Urls() {
    std::lock_guard lock(mutex);
    return urls;
  }
};

// A TLS server with a fresh self-signed certificate that answers every
// request with "tls ok" and remembers the server name each client asked for.
class TlsServer {
 public:
  TlsServer() : context_(ssl::context::tls_server), acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("test"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX_use_certificate(context_.native_handle(), cert);
    SSL_CTX_use_PrivateKey(context_.native_handle(), key);
    X509_free(cert);
    EVP_PKEY_free(key);
    thread_ = std::thread([this] {
      for (;;) {
        error_code ec;
        tcp::socket socket(io_);
        acceptor_.accept(socket, ec);
        if (ec) return;
        Serve(std::move(socket));
      }
    });
  }
  ~TlsServer() {
    ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
    thread_.join();
  }
  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  std::vector<std::string> ServerNames() {
    std::lock_guard lock(mutex_);
    return names_;
  }

 private:
  void Serve(tcp::socket socket) {
    ssl::stream<tcp::socket> stream(std::move(socket), context_);
    error_code ec;
    stream.handshake(ssl::stream_base::server, ec);
    if (ec) return;
    const char* sni = SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name);
    {
      std::lock_guard lock(mutex_);
      names_.push_back(sni ? sni : "");
    }
    beast::flat_buffer buffer;
    for (;;) {
      http::request<http::string_body> request;
      http::read(stream, buffer, request, ec);
      if (ec) return;
      http::response<http::string_body> response(http::status::ok, 11);
      response.body() = "tls ok " + std::string(request.target());
      response.prepare_payload();
      http::write(stream, response, ec);
      if (ec) return;
    }
  }

  asio::io_context io_;
  ssl::context context_;
  tcp::acceptor acceptor_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> names_;
};

TEST(ProxyCoreTest, ChainsThroughTheUpstreamProxyUnlessBypassed) {
  TestServer origin;
  UrlLog upstreamLog;
  Proxy upstream;
  ASSERT_TRUE(upstream.Start(LoopbackSettings(), upstreamLog.MakeHandlers()));

  Settings settings = LoopbackSettings();
  settings.upstreamProxy = UpstreamProxy{"127.0.0.1", upstream.Port(), {}};
  Proxy proxy;
  ASSERT_TRUE(proxy.Start(settings, {}));
  EXPECT_EQ(Curl(Via(proxy) + origin.Url("/chained")).output, "ok");
  EXPECT_THAT(upstreamLog.Urls(), ::testing::ElementsAre(origin.Url("/chained")));

  settings.upstreamProxy->bypass = {"127.0.0.1"};
  ASSERT_TRUE(proxy.Start(settings, {}));
  EXPECT_EQ(Curl(Via(proxy) + origin.Url("/direct")).output, "ok");
  EXPECT_EQ(upstreamLog.Urls().size(), 1u);
}

TEST(ProxyCoreTest, ChainingToItselfIsIgnored) {
  TestServer origin;
  Proxy proxy;
  ASSERT_TRUE(proxy.Start(LoopbackSettings(), {}));
  std::uint16_t port = proxy.Port();
  Settings settings = LoopbackSettings();
  settings.port = port;
  settings.upstreamProxy = UpstreamProxy{"localhost", port, {}};
  ASSERT_TRUE(proxy.Start(settings, {}));
  EXPECT_EQ(Curl(Via(proxy) + origin.Url("/")).output, "ok");
}

TEST(ProxyCoreTest, RequestsSentOnOverTlsWithServerName) {
  TlsServer tls;
  std::string secure = "https://localhost:" + std::to_string(tls.Port());
  auto toTls = [&](Session& s) { s.SetFullUrl(secure + s.url.target); };

  UrlLog log;
  Proxy proxy;
  ASSERT_TRUE(proxy.Start(LoopbackSettings(), log.MakeHandlers(toTls)));
  // Two requests on one client connection share one TLS connection.
  EXPECT_EQ(Curl(Via(proxy) + "http://127.0.0.1:9/a http://127.0.0.1:9/b").output, "tls ok /atls ok /b");
  EXPECT_THAT(tls.ServerNames(), ::testing::ElementsAre("localhost"));

  // Through an upstream proxy the TLS connection rides a CONNECT tunnel.
  UrlLog upstreamLog;
  Proxy upstream;
  ASSERT_TRUE(upstream.Start(LoopbackSettings(), upstreamLog.MakeHandlers()));
  Settings chained = LoopbackSettings();
  chained.upstreamProxy = UpstreamProxy{"127.0.0.1", upstream.Port(), {}};
  ASSERT_TRUE(proxy.Start(chained, log.MakeHandlers(toTls)));
  EXPECT_EQ(Curl(Via(proxy) + "http://127.0.0.1:9/c").output, "tls ok /c");
  EXPECT_THAT(upstreamLog.Urls(), ::testing::ElementsAre("localhost:" + std::to_string(tls.Port())));
}

TEST(ProxyCoreTest, ServesIpv6AndIpv4ClientsOnEveryInterface) {
  TestServer origin;
  Proxy proxy;
  Settings settings;  // every interface
  ASSERT_TRUE(proxy.Start(settings, {}));
  std::string port = std::to_string(proxy.Port());
  EXPECT_EQ(Curl("-x http://127.0.0.1:" + port + " " + origin.Url("/v4")).output, "ok");
  CurlResult v6 = Curl("-x 'http://[::1]:" + port + "' " + origin.Url("/v6"));
  if (v6.exitCode == 7) GTEST_SKIP() << "no IPv6 loopback here";
  EXPECT_EQ(v6.output, "ok");
}

TEST(ProxyCoreTest, StaleServerConnectionIsReplaced) {
  // The server closes every connection after answering, without saying so.
  TestServer origin([](const RecordedRequest& q) {
    Reply r;
    r.body = q.target;
    r.cut = Reply::Cut::AfterReply;
    return r;
  });
  Proxy proxy;
  ASSERT_TRUE(proxy.Start(LoopbackSettings(), {}));
  EXPECT_EQ(Curl(Via(proxy) + origin.Url("/1") + " " + origin.Url("/2") + " " + origin.Url("/3")).output, "/1/2/3");
  EXPECT_EQ(origin.ConnectionCount(), 3u);
}

TEST(ProxyCoreTest, ResponseFramingCases) {
  struct Case {
    const char* name;
    std::string raw;
    std::string curlArgs;
    std::string want;
  } cases[] = {
      {"interim answers are dropped", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", "",
       "ok"},
      {"close-delimited body", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end", "", "until the end"},
      {"close-delimited body to HTTP/1.0", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nold client", "-0 ",
       "old client"},
      {"HEAD keeps the length", "HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n", "-I ", "Content-Length: 1234"},
      {"no content", "HTTP/1.1 204 No Content\r\n\r\n", "-w '%{http_code}' ", "204"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer origin([&](const RecordedRequest&) {
      Reply r;
      r.raw = c.raw;
      r.cut = Reply::Cut::AfterReply;
      return r;
    });
    for (bool reported : {false, true}) {
      SCOPED_TRACE(reported ? "held for the handler" : "streamed");
      Handlers handlers;
      handlers.beforeRequest = [reported](Session& s) { s.bufferResponse = reported; };
      handlers.beforeResponse = [](Session&) {};
      Proxy proxy;
      ASSERT_TRUE(proxy.Start(LoopbackSettings(), handlers));
      EXPECT_THAT(Curl(Via(proxy) + c.curlArgs + origin.Url("/")).output, HasSubstr(c.want));
    }
  }
}

TEST(ProxyCoreTest, AThrowingHandlerDoesNotStopTheSession) {
  TestServer origin;
  Handlers handlers;
  handlers.beforeRequest = [](Session&) { throw std::runtime_error("handler fault"); };
  Proxy proxy;
  ASSERT_TRUE(proxy.Start(LoopbackSettings(), handlers));
  EXPECT_EQ(Curl(Via(proxy) + origin.Url("/")).output, "ok");
}

TEST(ProxyCoreTest, StartFailsOnATakenPortAndStopsListening) {
  Proxy first;
  ASSERT_TRUE(first.Start(LoopbackSettings(), {}));
  Settings same = LoopbackSettings();
  same.port = first.Port();
  Proxy second;
  EXPECT_FALSE(second.Start(same, {}));
  EXPECT_FALSE(second.IsRunning());
  std::uint16_t port = first.Port();
  first.Stop();
  EXPECT_FALSE(first.IsRunning());
  same.port = port;
  EXPECT_TRUE(second.Start(same, {}));
}

}  // namespace
}  // namespace veltrox::proxy
