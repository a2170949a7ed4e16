#pragma once

// What the load client's modes share: one request and its answer over a
// kept-alive connection through the proxy, failures counted by cause, and the
// proxy's memory as the kernel reports it.

// Boost 1.74's awaitable.hpp uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace veltrox::bench {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

// Where the load goes: the proxy on loopback, and the origin it is sent on to
// (requests are in absolute form, as a browser sends them to a proxy).
struct Target {
  std::uint16_t proxyPort = 0;
  std::string origin;  // "127.0.0.1:18280"
  int proxyPid = 0;
};

// One client connection to the proxy and its read buffer.
struct Connection {
  explicit Connection(asio::io_context& io) : stream(io) {}
  beast::tcp_stream stream;
  beast::flat_buffer buffer;
  bool open = false;
};

struct Reply {
  int status = 0;
  std::size_t bodyBytes = 0;
  bool keepAlive = false;
  std::string failure;  // empty when an answer arrived
};

// A GET (or, with a body, a POST) of `path` on the origin, in absolute form.
http::request<http::string_body> MakeRequest(const Target& target, const std::string& path, std::string body = {});

// Connects `stream` to the proxy; the cause of the failure, or "".
asio::awaitable<std::string> ConnectToProxy(beast::tcp_stream& stream, const Target& target,
                                            std::chrono::seconds timeout);

// Sends `request` and reads its answer; each of the two steps gets `timeout`.
asio::awaitable<Reply> Exchange(beast::tcp_stream& stream, beast::flat_buffer& buffer,
                                http::request<http::string_body>& request, std::chrono::seconds timeout);

// Why a request did not succeed: "" when it got a 200 with `expectedBody`
// bytes (any length when `expectedBody` is negative) and may be followed by
// another on the same connection.
std::string Verdict(const Reply& reply, long long expectedBody);

// Failures by cause, for the report.
class Failures {
 public:
  void Add(const std::string& cause) {
    ++byCause_[cause];
    ++total_;
  }
  std::uint64_t Total() const { return total_; }
  // "none", or "cause x count; ..." in order of cause.
  std::string Text() const;

 private:
  std::map<std::string, std::uint64_t> byCause_;
  std::uint64_t total_ = 0;
};

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM") or as a count
// ("Threads"); -1 when the process or the field is gone.
long long ProcessStatus(int pid, const std::string& field);

// Seconds since `start`.
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int RunHold(const Target& target, int argc, char** argv);
int RunSoak(const Target& target, int argc, char** argv);

}  // namespace veltrox::bench
