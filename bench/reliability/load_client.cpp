// The load client of bench/reliability: many kept-alive connections held at
// once through the proxy, or a steady mixed load for minutes. Prints its
// figures as name=value lines for run.sh.
//   load_client hold <proxy port> <origin host:port> <proxy pid> <connections> [connect window]
//   load_client soak <proxy port> <origin host:port> <proxy pid> <minutes> <requests/s> [workers]

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "http_client.h"

namespace veltrox::bench {

using asio::redirect_error;
using asio::use_awaitable;

http::request<http::string_body> MakeRequest(const Target& target, const std::string& path, std::string body) {
  http::request<http::string_body> request(body.empty() ? http::verb::get : http::verb::post,
                                           "http://" + target.origin + path, 11);
  request.set(http::field::host, target.origin);
  request.set(http::field::user_agent, "veltrox-load");
  if (!body.empty()) {
    request.set(http::field::content_type, "application/octet-stream");
    request.body() = std::move(body);
  }
  request.prepare_payload();
  return request;
}

asio::awaitable<std::string> ConnectToProxy(beast::tcp_stream& stream, const Target& target,
                                            std::chrono::seconds timeout) {
  error_code ec;
  stream.expires_after(timeout);
  co_await stream.async_connect(tcp::endpoint(asio::ip::address_v4::loopback(), target.proxyPort),
                                redirect_error(use_awaitable, ec));
  stream.expires_never();
  if (ec) co_return "connect: " + ec.message();
  stream.socket().set_option(tcp::no_delay(true), ec);
  co_return std::string();
}

asio::awaitable<Reply> Exchange(beast::tcp_stream& stream, beast::flat_buffer& buffer,
                                http::request<http::string_body>& request, std::chrono::seconds timeout) {
  Reply reply;
  error_code ec;
  stream.expires_after(timeout);
  co_await http::async_write(stream, request, redirect_error(use_awaitable, ec));
  if (ec) {
    stream.expires_never();
    reply.failure = "write: " + ec.message();
    co_return reply;
  }
  http::response_parser<http::string_body> parser;
  parser.body_limit(std::uint64_t{1} << 24);
  stream.expires_after(timeout);
  co_await http::async_read(stream, buffer, parser, redirect_error(use_awaitable, ec));
  stream.expires_never();
  if (ec) {
    reply.failure = "read: " + ec.message();
    co_return reply;
  }
  reply.status = parser.get().result_int();
  reply.bodyBytes = parser.get().body().size();
  reply.keepAlive = parser.get().keep_alive();
  co_return reply;
}

std::string Verdict(const Reply& reply, long long expectedBody) {
  if (!reply.failure.empty()) return reply.failure;
  if (reply.status != 200) return "status " + std::to_string(reply.status);
  if (expectedBody >= 0 && reply.bodyBytes != static_cast<std::size_t>(expectedBody)) {
    return "body of " + std::to_string(reply.bodyBytes) + " bytes, not " + std::to_string(expectedBody);
  }
  if (!reply.keepAlive) return "connection not kept alive";
  return {};
}

std::string Failures::Text() const {
  if (total_ == 0) return "none";
  std::string out;
  for (const auto& [cause, count] : byCause_) {
    if (!out.empty()) out += "; ";
    out += cause + " x " + std::to_string(count);
  }
  return out;
}

long long ProcessStatus(int pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 && line[field.size()] == ':') {
      std::istringstream value(line.substr(field.size() + 1));
      long long n = -1;
      value >> n;
      return n;
    }
  }
  return -1;
}

}  // namespace veltrox::bench

int main(int argc, char** argv) {
  using namespace veltrox::bench;
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: %s hold <proxy port> <origin host:port> <proxy pid> <connections> [connect window]\n"
                 "       %s soak <proxy port> <origin host:port> <proxy pid> <minutes> <requests/s> [workers]\n",
                 argv[0], argv[0]);
    return 2;
  }
  // Every held connection is a descriptor here as well.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  Target target;
  target.proxyPort = static_cast<std::uint16_t>(std::atoi(argv[2]));
  target.origin = argv[3];
  target.proxyPid = std::atoi(argv[4]);
  std::string mode = argv[1];
  if (mode == "hold") return RunHold(target, argc - 5, argv + 5);
  if (mode == "soak") return RunSoak(target, argc - 5, argv + 5);
  std::fprintf(stderr, "unknown mode %s\n", argv[1]);
  return 2;
}
