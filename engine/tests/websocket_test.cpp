// WebSocket through the engine: every frame reported both ways, codes 15 and
// 16 applied to payloads, other codes skipped, an upgrade redirected by code 10.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "asio.h"

#include <boost/beast/websocket.hpp>

#include <mutex>
#include <thread>

#include "engine_harness.h"

namespace veltrox::engine::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using ::testing::ElementsAre;


// Echoes every message back as it came; records messages and upgrade headers.
class EchoWebSocketServer {
 public:
  EchoWebSocketServer() : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
    while (!ReportablePort(acceptor_.local_endpoint().port())) {
      acceptor_ = tcp::acceptor(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    }
    thread_ = std::thread([this] {
      for (;;) {
        beast::error_code ec;
        tcp::socket socket(io_);
        acceptor_.accept(socket, ec);
        if (ec) break;
        std::lock_guard lock(mutex_);
        sessions_.emplace_back([this, s = std::move(socket)]() mutable { Serve(std::move(s)); });
      }
    });
  }
  ~EchoWebSocketServer() {
    // Closing does not wake a blocking accept on Linux; shutting it down does.
    ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
    beast::error_code ec;
    thread_.join();
    acceptor_.close(ec);
    for (auto& s : sessions_) s.join();
  }
  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  std::vector<std::string> Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::string UpgradeHeaders() {
    std::lock_guard lock(mutex_);
    return upgradeHeaders_;
  }

 private:
  void Serve(tcp::socket socket) {
    beast::error_code ec;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::read(socket, buffer, request, ec);
    if (ec) return;
    {
      std::lock_guard lock(mutex_);
      std::ostringstream text;
      text << request.base();
      upgradeHeaders_ = text.str();
    }
    websocket::stream<tcp::socket> ws(std::move(socket));
    ws.accept(request, ec);
    while (!ec) {
      beast::flat_buffer message;
      ws.read(message, ec);
      if (ec) break;
      {
        std::lock_guard lock(mutex_);
        messages_.push_back(beast::buffers_to_string(message.data()));
      }
      ws.text(ws.got_text());
      ws.write(message.data(), ec);
    }
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::thread> sessions_;
  std::vector<std::string> messages_;
  std::string upgradeHeaders_;
};

class WebSocketTest : public RunningEngineTest {
 protected:
  // A client through the proxy, with an absolute-form target as browsers'
  // proxies receive, asking for compression that must not reach the server.
  std::unique_ptr<websocket::stream<tcp::socket>> Connect(const std::string& url, const std::string& host) {
    auto ws = std::make_unique<websocket::stream<tcp::socket>>(io_);
    ws->next_layer().connect(tcp::endpoint(asio::ip::address_v4::loopback(), port_));
    ws->set_option(websocket::stream_base::decorator([](websocket::request_type& req) {
      req.set(http::field::sec_websocket_extensions, "permessage-deflate; client_max_window_bits");
    }));
    ws->handshake(host, url);
    return ws;
  }

  asio::io_context io_;
};

std::string Exchange(websocket::stream<tcp::socket>& ws, const std::string& text, bool binary = false) {
  ws.binary(binary);
  ws.write(asio::buffer(text));
  beast::flat_buffer reply;
  ws.read(reply);
  return beast::buffers_to_string(reply.data());
}

TEST_F(WebSocketTest, MessagesAreReportedAndEditedBothWays) {
  EchoWebSocketServer echo;
  Recorder().Reset([](const Event& e, Word slots) {
    if (e.type != 2 || e.words[0] == "Close") return;
    if (e.words[5] == "True") {
      PutEdit(slots, 0, 15, "ping", "PING");
      PutEdit(slots, 1, 1, "one", "ONE");  // a session code: skipped on a message
    } else {
      PutEdit(slots, 0, 16, "replaced " + e.words[4]);
    }
  });
  std::string host = "127.0.0.1:" + std::to_string(echo.Port());
  auto ws = Connect("http://" + host + "/echo", host);
  EXPECT_EQ(Exchange(*ws, "ping one"), "replaced PING one");
  EXPECT_EQ(Exchange(*ws, std::string("\x01\x02ping", 6), true), std::string("replaced \x01\x02PING", 15));
  ws->close(websocket::close_code::normal);
  beast::flat_buffer rest;
  beast::error_code ec;
  ws->read(rest, ec);  // until the server's close

  EXPECT_THAT(echo.Messages(), ElementsAre("PING one", std::string("\x01\x02PING", 6)));
  EXPECT_EQ(echo.UpgradeHeaders().find("Sec-WebSocket-Extensions"), std::string::npos);

  auto sends = Recorder().EventsOfType(1);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].Url(), "http://" + host + "/echo");
  auto frames = Recorder().EventsOfType(2);
  ASSERT_GE(frames.size(), 5u);
  struct Want {
    const char* type;
    const char* outbound;
    std::string payload;
  } want[] = {
      {"Text", "True", "ping one"},
      {"Text", "False", "PING one"},
      {"Binary", "True", std::string("\x01\x02ping", 6)},
      {"Binary", "False", std::string("\x01\x02PING", 6)},
      {"Close", "True", ""},
  };
  for (std::size_t i = 0; i < std::size(want); ++i) {
    SCOPED_TRACE(i);
    const Event& f = frames[i];
    EXPECT_EQ(f.words[0], want[i].type);
    EXPECT_EQ(f.words[1], i == 4 ? "1000" : "0");
    EXPECT_EQ(f.words[2], std::to_string(i + 1));
    EXPECT_EQ(f.words[3], "True");
    EXPECT_EQ(f.words[4], want[i].payload);
    EXPECT_EQ(f.words[5], want[i].outbound);
    EXPECT_EQ(f.words[6], std::to_string(want[i].payload.size()));
    EXPECT_EQ(f.number, i + 1);
  }
}

TEST_F(WebSocketTest, UpgradeRedirectedByCode10) {
  EchoWebSocketServer echo;
  std::string target = "http://127.0.0.1:" + std::to_string(echo.Port()) + "/moved";
  Recorder().Reset([&](const Event& e, Word slots) {
    if (e.type == 1) PutEdit(slots, 0, 10, target);
  });
  // Nothing listens on port 9 of loopback; only the edit makes this work.
  auto ws = Connect("http://127.0.0.1:9/ws", "127.0.0.1:9");
  EXPECT_EQ(Exchange(*ws, "hello"), "hello");
  EXPECT_THAT(echo.Messages(), ElementsAre("hello"));
  EXPECT_NE(echo.UpgradeHeaders().find("GET /moved HTTP/1.1"), std::string::npos);
  EXPECT_NE(echo.UpgradeHeaders().find("Host: 127.0.0.1:" + std::to_string(echo.Port())), std::string::npos);
  ws->close(websocket::close_code::normal);
}

}  // namespace
}  // namespace veltrox::engine::testing
