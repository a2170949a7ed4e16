// HTTPS through the engine, its root-certificate exports and its desktop
// proxy registration. This executable runs in a desktop of its own: main()
// points HOME, XDG_DATA_HOME and XDG_CONFIG_HOME at a temporary folder and
// selects GIO's keyfile settings backend before anything can reach GIO, so the
// NSS database, the data folder and the GNOME proxy settings are the test's,
// never the machine's.

#include <gio/gio.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "asio.h"
#include "certificates.h"
#include "engine_harness.h"
#include "preferences.h"
#include "system_proxy.h"
#include "test_server.h"

#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace veltrox::engine::testing {
namespace {

namespace fs = std::filesystem;
namespace net = proxy::asio;
namespace beast = proxy::beast;
namespace ssl = proxy::ssl;
using proxy::tcp;
using ::testing::HasSubstr;
using veltrox::testing::RecordedRequest;
using veltrox::testing::Reply;
using veltrox::testing::ServerOptions;
using veltrox::testing::TestServer;

constexpr std::uint32_t kRecv = 0;
constexpr std::uint32_t kSend = 1;
constexpr std::uint32_t kWebSocket = 2;
constexpr Word kSetUrl = 10;
constexpr Word kReplaceMessage = 15;

fs::path& Root() {
  static fs::path root;
  return root;
}

struct CertExports {
  std::int32_t (*rootCertIsTrusted)() = nullptr;
  std::int32_t (*CreateRootCert)() = nullptr;
  std::int32_t (*InstCert)() = nullptr;
  std::int32_t (*removeCerts)() = nullptr;
  std::int32_t (*rootCertExists)() = nullptr;
  std::int32_t (*rootCertIsMachineTrusted)() = nullptr;
};

const CertExports& Certs() {
  static CertExports exports = [] {
    CertExports e;
    Efd();  // loads the library
    void* library = dlopen(EFD_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    auto find = [&](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(library, name));
      if (slot == nullptr) ADD_FAILURE() << "missing export " << name;
    };
    find(e.rootCertIsTrusted, "rootCertIsTrusted");
    find(e.CreateRootCert, "CreateRootCert");
    find(e.InstCert, "InstCert");
    find(e.removeCerts, "removeCerts");
    find(e.rootCertExists, "rootCertExists");
    find(e.rootCertIsMachineTrusted, "rootCertIsMachineTrusted");
    return e;
  }();
  return exports;
}


std::string WriteText(const std::string& name, const std::string& text) {
  fs::path path = Root() / name;
  std::ofstream(path, std::ios::binary) << text;
  return path.string();
}

// A loopback server whose port does not hold "443": sessions with "443" in
// their URL are deliberately not reported, which would hide what a test looks for.
std::unique_ptr<TestServer> Origin(TestServer::Handler handler, bool tls) {
  for (;;) {
    auto server = std::make_unique<TestServer>(handler, ServerOptions{.tls = tls});
    if (ReportablePort(server->Port())) return server;
  }
}

std::uint16_t PortWithout443() {
  for (;;) {
    std::uint16_t port = FreePort();
    if (ReportablePort(port)) return port;
  }
}

Reply Text(std::string body) {
  Reply r;
  r.headers = {{"Content-Type", "text/plain"}};
  r.body = std::move(body);
  return r;
}

// The engine with HTTPS interception and a fresh root, as the start command leaves it.
class HttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Recorder().Reset();
    ASSERT_EQ(Certs().CreateRootCert(), 1);
    rootFile_ = WriteText("root.pem", Efd().sslGetCert());
    Efd().StartSSL(1);
    Efd().AutoStartFiddlerProxy(0);
    port_ = Start();
  }
  void TearDown() override {
    Efd().CloseFiddler();
    Efd().StartSSL(0);
    proxy::Preferences::Remove("veltrox.network.localhost.port");
    Recorder().Reset();
  }

  static std::uint16_t Start() {
    for (int attempt = 0; attempt < 5; ++attempt) {
      std::uint16_t port = PortWithout443();
      if (Efd().InitFiddler(port, reinterpret_cast<std::uintptr_t>(&HookRecorder::Hook)) == 1) return port;
    }
    ADD_FAILURE() << "the engine did not start";
    return 0;
  }

  std::string rootFile_;
  std::uint16_t port_ = 0;
};

TEST_F(HttpsTest, DecryptedRequestReachesTheOriginAndTheHookSeesItsHttpsUrl) {
  auto origin = Origin([](const RecordedRequest& r) { return Text("secret for " + r.target); }, true);
  const std::string url = origin->Url("/path/x?q=1");
  CurlResult r = Curl(port_, {"--cacert", rootFile_, url});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "secret for /path/x?q=1");

  auto sends = Recorder().EventsOfType(kSend);
  std::vector<std::string> urls;
  for (const Event& e : sends) urls.push_back(e.Url());
  EXPECT_THAT(urls, ::testing::Contains(url));
  auto recvs = Recorder().EventsOfType(kRecv);
  ASSERT_FALSE(recvs.empty());
  EXPECT_EQ(recvs.back().Url(), url);
  EXPECT_THAT(recvs.back().words[4], HasSubstr("secret for"));
}

TEST_F(HttpsTest, ClientsThatDoNotTrustTheRootFailTheHandshake) {
  auto origin = Origin([](const RecordedRequest&) { return Text("never"); }, true);
  // The origin's own certificate is trusted here, so only interception can fail it.
  CurlResult r = Curl(port_, {"--cacert", TestServer::CertificatePath(), origin->Url("/")});
  EXPECT_EQ(r.exitCode, 60) << "curl: peer certificate cannot be authenticated";
  EXPECT_EQ(origin->RequestCount(), 0u);
}

TEST_F(HttpsTest, SetUrlMovesRequestsBetweenSchemes) {
  auto plain = Origin([](const RecordedRequest& r) { return Text("plain " + r.target); }, false);
  auto secure = Origin([](const RecordedRequest& r) { return Text("secure " + r.target); }, true);
  struct Case {
    const char* name;
    std::string asked;
    std::string target;
    std::string body;
  } cases[] = {
      {"https to http", secure->Url("/a"), plain->Url("/b"), "plain /b"},
      {"http to https", plain->Url("/c"), secure->Url("/d"), "secure /d"},
      {"https to another https path", secure->Url("/e"), secure->Url("/f?g=1"), "secure /f?g=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder().Reset([&](const Event& e, Word slots) {
      if (e.type == kSend && e.Url() == c.asked) PutEdit(slots, 0, kSetUrl, c.target);
    });
    CurlResult r = Curl(port_, {"--cacert", rootFile_, c.asked});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.body, c.body);
  }
}

TEST_F(HttpsTest, SecondConnectionToAHostMakesNoNewCertificate) {
  auto origin = Origin([](const RecordedRequest&) { return Text("ok"); }, true);
  ASSERT_EQ(Curl(port_, {"--cacert", rootFile_, origin->Url("/1")}).exitCode, 0);
  const std::uint64_t made = proxy::CertificateMaker().CertificatesMade();
  ASSERT_EQ(Curl(port_, {"--cacert", rootFile_, origin->Url("/2")}).exitCode, 0);
  EXPECT_EQ(proxy::CertificateMaker().CertificatesMade(), made);
  EXPECT_EQ(origin->RequestCount(), 2u);
}

TEST_F(HttpsTest, WithoutTheFlagTunnelsStayOpaque) {
  Efd().CloseFiddler();
  Efd().StartSSL(0);
  port_ = Start();
  // Turning it on now changes nothing until the next start.
  Efd().StartSSL(1);
  auto origin = Origin([](const RecordedRequest&) { return Text("direct"); }, true);
  CurlResult blind = Curl(port_, {"--cacert", TestServer::CertificatePath(), origin->Url("/blind")});
  EXPECT_EQ(blind.exitCode, 0) << "the client sees the origin's own certificate";
  EXPECT_EQ(blind.body, "direct");
  EXPECT_EQ(Curl(port_, {"--cacert", rootFile_, origin->Url("/blind")}).exitCode, 60);
  for (const Event& e : Recorder().Events()) EXPECT_THAT(e.Url(), ::testing::Not(HasSubstr("https://")));
}

// A secure WebSocket origin that echoes every message, on a leaf of a root of its own.
class WssEcho {
 public:
  WssEcho() : acceptor_(io_, tcp::endpoint(net::ip::address_v4::loopback(), 0)) {
    maker_.CreateRoot();
    context_ = maker_.ServerContextFor("127.0.0.1");
    thread_ = std::thread([this] { Run(); });
  }
  ~WssEcho() {
    proxy::error_code ec;
    acceptor_.close(ec);
    thread_.join();
  }
  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }

 private:
  void Run() {
    proxy::error_code ec;
    tcp::socket socket = acceptor_.accept(ec);
    if (ec) return;
    SSL_CTX_up_ref(context_.get());
    ssl::context wrapper(context_.get());
    beast::websocket::stream<beast::ssl_stream<tcp::socket>> ws(std::move(socket), wrapper);
    ws.next_layer().handshake(ssl::stream_base::server, ec);
    if (ec) return;
    ws.accept(ec);
    while (!ec) {
      beast::flat_buffer buffer;
      ws.read(buffer, ec);
      if (ec) break;
      ws.text(ws.got_text());
      ws.write(buffer.data(), ec);
    }
  }

  CertMaker maker_;
  std::shared_ptr<SSL_CTX> context_;
  net::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

TEST_F(HttpsTest, SecureWebSocketIsRelayedAndItsMessagesEdited) {
  WssEcho echo;
  Recorder().Reset([](const Event& e, Word slots) {
    if (e.type == kWebSocket && e.words[5] == "True") PutEdit(slots, 0, kReplaceMessage, "ping", "PONG");
  });
  net::io_context io;
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(net::ip::address_v4::loopback(), port_));
  const std::string authority = "127.0.0.1:" + std::to_string(echo.Port());
  std::string connect = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
  net::write(socket, net::buffer(connect));
  beast::flat_buffer buffer;
  beast::http::response_parser<beast::http::empty_body> answer;
  answer.skip(true);
  beast::http::read_header(socket, buffer, answer);
  ASSERT_EQ(answer.get().result_int(), 200);
  ASSERT_EQ(buffer.size(), 0u);

  ssl::context trust(ssl::context::tls_client);
  trust.load_verify_file(rootFile_);
  trust.set_verify_mode(ssl::verify_peer);
  beast::websocket::stream<beast::ssl_stream<tcp::socket>> ws(std::move(socket), trust);
  X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ws.next_layer().native_handle()), "127.0.0.1");
  ws.next_layer().handshake(ssl::stream_base::client);
  ws.handshake(authority, "/chat");
  ws.write(net::buffer(std::string("ping once")));
  beast::flat_buffer reply;
  ws.read(reply);
  EXPECT_EQ(beast::buffers_to_string(reply.data()), "PONG once");
  proxy::error_code ec;
  ws.close(beast::websocket::close_code::normal, ec);

  auto sends = Recorder().EventsOfType(kSend);
  ASSERT_FALSE(sends.empty());
  EXPECT_EQ(sends.back().Url(), "https://" + authority + "/chat");
  auto messages = Recorder().EventsOfType(kWebSocket);
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[0].words[4], "ping once");
  EXPECT_EQ(messages[1].words[4], "PONG once");
}

// curl straight at the localhost endpoint, trusting `caFile`.
CurlResult CurlDirect(const std::vector<std::string>& args) {
  std::string command = "curl -s --max-time 30 -o /dev/null -w '%{http_code}'";
  for (const auto& a : args) command += " " + ShellQuote(a);
  CurlResult result;
  FILE* pipe = popen(command.c_str(), "r");
  char text[64] = {};
  std::size_t n = fread(text, 1, sizeof text - 1, pipe);
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.status = std::atoi(std::string(text, n).c_str());
  return result;
}

TEST_F(HttpsTest, LocalhostEndpointServesTlsClientsThatTrustTheRoot) {
  Efd().CloseFiddler();
  const std::uint16_t endpoint = PortWithout443();
  proxy::Preferences::SetString("veltrox.network.localhost.port", std::to_string(endpoint));
  port_ = Start();
  auto origin = Origin([](const RecordedRequest& r) { return Text("via endpoint " + r.target); }, true);
  const std::string base = "https://localhost:" + std::to_string(endpoint);
  const std::string originHost = "127.0.0.1:" + std::to_string(origin->Port());

  CurlResult served = CurlDirect({"--cacert", rootFile_, "-H", "Host: " + originHost, base + "/p"});
  EXPECT_EQ(served.exitCode, 0);
  EXPECT_EQ(served.status, 200);
  ASSERT_EQ(origin->RequestCount(), 1u);
  EXPECT_EQ(origin->Requests()[0].target, "/p");

  // Asking the endpoint for itself, or for the main port, must not loop.
  for (const std::string& self : {"localhost:" + std::to_string(endpoint), "127.0.0.1:" + std::to_string(port_)}) {
    SCOPED_TRACE(self);
    CurlResult looped = CurlDirect({"--cacert", rootFile_, "-H", "Host: " + self, base + "/"});
    EXPECT_EQ(looped.exitCode, 0);
    EXPECT_EQ(looped.status, 508);
  }
  EXPECT_EQ(CurlDirect({"--cacert", TestServer::CertificatePath(), base + "/"}).exitCode, 60);
  EXPECT_EQ(origin->RequestCount(), 1u);
}

TEST_F(HttpsTest, TakenLocalhostPortLeavesTheMainPortServing) {
  Efd().CloseFiddler();
  net::io_context io;
  tcp::acceptor squatter(io, tcp::endpoint(net::ip::address_v6::any(), 0));
  proxy::Preferences::SetString("veltrox.network.localhost.port", std::to_string(squatter.local_endpoint().port()));
  port_ = Start();
  ASSERT_NE(port_, 0);
  auto origin = Origin([](const RecordedRequest&) { return Text("main"); }, true);
  CurlResult r = Curl(port_, {"--cacert", rootFile_, origin->Url("/")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.body, "main");
}

// Client aborts: with the preference set at start, a client that goes away
// while the server is still answering takes the server connection with it.
TEST_F(HttpsTest, ClientGoneCutsTheServerConnection) {
  net::io_context io;
  tcp::acceptor server(io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  const std::uint16_t serverPort = server.local_endpoint().port();
  std::thread client([&] {
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::address_v4::loopback(), port_));
    // "443" keeps the session unreported, so the response streams instead of being held.
    std::string request = "GET http://127.0.0.1:" + std::to_string(serverPort) +
                          "/443/big HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(serverPort) + "\r\n\r\n";
    net::write(socket, net::buffer(request));
    // Leaves as soon as the response has begun.
    char first[1];
    proxy::error_code ec;
    net::read(socket, net::buffer(first), ec);
    socket.close();
  });
  tcp::socket upstream = server.accept();
  beast::flat_buffer buffer;
  beast::http::request<beast::http::empty_body> request;
  beast::http::read(upstream, buffer, request);
  // A body small enough that the proxy would otherwise drain it to keep the
  // connection, and larger than the socket buffers between the two.
  constexpr std::uint64_t kLength = std::uint64_t{16} << 20;
  std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kLength) + "\r\n\r\n";
  net::write(upstream, net::buffer(head));
  std::string piece(64 * 1024, 'x');
  proxy::error_code ec;
  std::uint64_t sent = 0;
  while (!ec && sent < kLength) sent += net::write(upstream, net::buffer(piece), ec);
  client.join();
  EXPECT_TRUE(ec) << "the proxy read the whole body after its client had gone";
  EXPECT_LT(sent, kLength);
}

TEST_F(HttpsTest, ClientGoneWhileTheServerThinksCutsTheServerConnection) {
  struct Case {
    const char* name;
    std::string sentBeforeStalling;  // what the server gets out before it stalls
  } cases[] = {
      {"before the response header", ""},
      {"while a held body arrives", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst half"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    net::io_context io;
    tcp::acceptor server(io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
    const std::string authority = "127.0.0.1:" + std::to_string(server.local_endpoint().port());
    tcp::socket client(io);
    client.connect(tcp::endpoint(net::ip::address_v4::loopback(), port_));
    net::write(client, net::buffer("GET http://" + authority + "/slow HTTP/1.1\r\nHost: " + authority + "\r\n\r\n"));
    tcp::socket upstream = server.accept();
    beast::flat_buffer buffer;
    beast::http::request<beast::http::empty_body> request;
    beast::http::read(upstream, buffer, request);
    if (!c.sentBeforeStalling.empty()) net::write(upstream, net::buffer(c.sentBeforeStalling));
    client.close();
    // The proxy's answer to the server is to hang up. (Without the cut this
    // read would wait for the proxy's response time-out; the guard only keeps
    // a fault from hanging the suite.)
    struct timeval guard {30, 0};
    setsockopt(upstream.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    char byte;
    ssize_t n = ::recv(upstream.native_handle(), &byte, 1, 0);
    EXPECT_EQ(n, 0) << "the server connection stayed open after its client had gone";
  }
}

// The root-certificate exports over a trust store in this test's HOME.
class RootTrustTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Efd().sslSetKey("");
    Efd().sslSetCert("");
  }
};

TEST_F(RootTrustTest, FirstAndSecondStart) {
  // First start: nothing saved, old roots removed, not trusted.
  EXPECT_EQ(Certs().removeCerts(), 1);
  EXPECT_EQ(Certs().rootCertIsTrusted(), 0);
  ASSERT_EQ(Certs().CreateRootCert(), 1);
  EXPECT_EQ(Certs().rootCertExists(), 1);
  EXPECT_EQ(Certs().rootCertIsMachineTrusted(), 1);
  EXPECT_EQ(Certs().rootCertIsTrusted(), 0) << "made but not yet installed";
  EXPECT_EQ(Certs().InstCert(), 1);
  EXPECT_EQ(Certs().rootCertIsTrusted(), 1);
  EXPECT_TRUE(fs::exists(Root() / "home/.pki/nssdb/cert9.db"));
  const std::string key = Efd().sslGetKey();
  const std::string cert = Efd().sslGetCert();
  EXPECT_THAT(key, HasSubstr("PRIVATE KEY"));
  EXPECT_THAT(cert, HasSubstr("BEGIN CERTIFICATE"));

  // Another run of the program: the engine starts empty and gets the texts back.
  Efd().sslSetKey("");
  Efd().sslSetCert("");
  EXPECT_EQ(Certs().rootCertExists(), 0);
  EXPECT_EQ(Certs().rootCertIsTrusted(), 0);
  Efd().sslSetKey(key.c_str());
  Efd().sslSetCert(cert.c_str());
  EXPECT_EQ(Certs().rootCertIsTrusted(), 1);
  EXPECT_EQ(Efd().sslGetCert(), cert) << "no new root";

  // A mismatched pair is no root at all.
  ASSERT_EQ(Certs().CreateRootCert(), 1);
  Efd().sslSetCert(cert.c_str());
  EXPECT_EQ(Certs().rootCertExists(), 0);
  EXPECT_EQ(Certs().InstCert(), -1);

  Efd().sslSetKey(key.c_str());
  EXPECT_EQ(Certs().removeCerts(), 1);
  EXPECT_EQ(Certs().rootCertIsTrusted(), 0);
}

TEST_F(RootTrustTest, RestoredRootSignsTheLeaves) {
  ASSERT_EQ(Certs().CreateRootCert(), 1);
  const std::string key = Efd().sslGetKey();
  const std::string cert = Efd().sslGetCert();
  const std::string rootFile = WriteText("saved-root.pem", cert);
  ASSERT_EQ(Certs().CreateRootCert(), 1);  // some other root in between
  Efd().sslSetKey(key.c_str());
  Efd().sslSetCert(cert.c_str());
  Efd().StartSSL(1);
  std::uint16_t port = PortWithout443();
  ASSERT_EQ(Efd().InitFiddler(port, 0), 1);
  auto origin = Origin([](const RecordedRequest&) { return Text("signed"); }, true);
  CurlResult r = Curl(port, {"--cacert", rootFile, origin->Url("/")});
  Efd().CloseFiddler();
  Efd().StartSSL(0);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.body, "signed");
}

// The GNOME proxy settings of this test's keyfile backend.
struct GnomeProxy {
  static GSettings* Open(const char* schema) { return g_settings_new(schema); }
  static void SetManual(const std::string& host, int port) {
    GSettings* root = Open("org.gnome.system.proxy");
    GSettings* http = Open("org.gnome.system.proxy.http");
    GSettings* https = Open("org.gnome.system.proxy.https");
    g_settings_set_string(root, "mode", "manual");
    g_settings_set_string(http, "host", host.c_str());
    g_settings_set_int(http, "port", port);
    g_settings_set_string(https, "host", host.c_str());
    g_settings_set_int(https, "port", port);
    const char* none[] = {nullptr};
    g_settings_set_strv(root, "ignore-hosts", none);
    g_settings_sync();
    for (GSettings* s : {root, http, https}) g_object_unref(s);
  }
  static void SetMode(const char* mode) {
    GSettings* root = Open("org.gnome.system.proxy");
    g_settings_set_string(root, "mode", mode);
    g_settings_sync();
    g_object_unref(root);
  }
  static std::string Get(const char* schema, const char* key) {
    GSettings* s = Open(schema);
    GVariant* value = g_settings_get_value(s, key);
    gchar* text = g_variant_print(value, FALSE);
    std::string out = text;
    g_free(text);
    g_variant_unref(value);
    g_object_unref(s);
    return out;
  }
  static std::string Summary() {
    return Get("org.gnome.system.proxy", "mode") + " " + Get("org.gnome.system.proxy.http", "host") + ":" +
           Get("org.gnome.system.proxy.http", "port") + " " + Get("org.gnome.system.proxy.https", "host") + ":" +
           Get("org.gnome.system.proxy.https", "port");
  }
};

std::string RecordPath() { return (Root() / "data/fiddler/system-proxy.ini").string(); }

class DesktopProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The program makes its data folder at start-up, before any engine call.
    fs::create_directories(fs::path(RecordPath()).parent_path());
    GnomeProxy::SetManual("before.example", 3128);
    GnomeProxy::SetMode("none");
    before_ = GnomeProxy::Summary();
    Recorder().Reset();
  }
  void TearDown() override {
    Efd().CloseFiddler();
    Efd().AutoStartFiddlerProxy(0);
    std::error_code ignored;
    fs::remove(RecordPath(), ignored);
  }
  std::string before_;
};

TEST_F(DesktopProxyTest, RegisteredWhileRunningAndRestoredAtClose) {
  Efd().AutoStartFiddlerProxy(1);
  std::uint16_t port = PortWithout443();
  ASSERT_EQ(Efd().InitFiddler(port, reinterpret_cast<std::uintptr_t>(&HookRecorder::Hook)), 1);
  const std::string ours = "'manual' '127.0.0.1':" + std::to_string(port) + " '127.0.0.1':" + std::to_string(port);
  EXPECT_EQ(GnomeProxy::Summary(), ours);
  EXPECT_TRUE(fs::exists(RecordPath()));
  Efd().CloseFiddler();
  EXPECT_EQ(GnomeProxy::Summary(), before_);
  EXPECT_FALSE(fs::exists(RecordPath()));

  // Without the flag nothing is registered.
  Efd().AutoStartFiddlerProxy(0);
  ASSERT_EQ(Efd().InitFiddler(port, 0), 1);
  EXPECT_EQ(GnomeProxy::Summary(), before_);
}

TEST_F(DesktopProxyTest, RegistrationLeftByACrashIsUndoneAtTheNextStart) {
  // A run that registered on 9 and never came back.
  ASSERT_TRUE(SystemProxy(RecordPath()).Register(9));
  ASSERT_NE(GnomeProxy::Summary(), before_);
  for (bool autoStart : {false, true}) {
    SCOPED_TRACE(autoStart ? "registering again" : "not registering");
    if (autoStart) ASSERT_TRUE(SystemProxy(RecordPath()).Register(9));
    Efd().AutoStartFiddlerProxy(autoStart ? 1 : 0);
    std::uint16_t port = PortWithout443();
    ASSERT_EQ(Efd().InitFiddler(port, 0), 1);
    if (autoStart) {
      EXPECT_THAT(GnomeProxy::Summary(), HasSubstr("'127.0.0.1':" + std::to_string(port)));
    } else {
      EXPECT_EQ(GnomeProxy::Summary(), before_);
    }
    Efd().CloseFiddler();
    EXPECT_EQ(GnomeProxy::Summary(), before_);
  }
}

TEST_F(DesktopProxyTest, OnwardRequestsGoThroughTheProxyThatWasThereBefore) {
  // The loopback "proxy" answers every request itself and records its target.
  auto upstream = Origin([](const RecordedRequest& r) { return Text("from upstream for " + r.target); }, false);
  GnomeProxy::SetManual("127.0.0.1", upstream->Port());
  Efd().AutoStartFiddlerProxy(1);
  std::uint16_t port = PortWithout443();
  ASSERT_EQ(Efd().InitFiddler(port, reinterpret_cast<std::uintptr_t>(&HookRecorder::Hook)), 1);
  // Registered now, yet the chain is the proxy found before, not the engine itself.
  EXPECT_THAT(GnomeProxy::Summary(), HasSubstr("'127.0.0.1':" + std::to_string(port)));
  CurlResult r = Curl(port, {"http://far.example/x?y=1"});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "from upstream for http://far.example/x?y=1");
  EXPECT_EQ(upstream->RequestCount(), 1u);

  // A proxy elsewhere could not reach this machine's loopback: it goes direct.
  auto local = Origin([](const RecordedRequest&) { return Text("local"); }, false);
  EXPECT_EQ(Curl(port, {local->Url("/here")}).body, "local");
  EXPECT_EQ(upstream->RequestCount(), 1u);
}

}  // namespace
}  // namespace veltrox::engine::testing

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "veltrox-https-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 2;
  fs::path root = pattern;
  veltrox::engine::testing::Root() = root;
  for (const char* sub : {"home", "data", "config"}) fs::create_directories(root / sub);
  // Before the first GIO call, which fixes the backend for the process.
  setenv("HOME", (root / "home").c_str(), 1);
  setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  setenv("GSETTINGS_BACKEND", "keyfile", 1);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                           "ALL_PROXY", "NO_PROXY"}) {
    unsetenv(name);
  }
  // A peer that hangs up must show as an error on the write, not end the tests.
  signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  std::error_code ignored;
  fs::remove_all(root, ignored);
  return result;
}
