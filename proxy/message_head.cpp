#include "message_head.h"

namespace veltrox::proxy {
namespace {

std::string_view View(beast::string_view text) { return {text.data(), text.size()}; }

HeadVerdict Refuse(std::string cause) { return HeadVerdict{400, std::move(cause)}; }

}  // namespace

HeadVerdict TakeRequestHead(std::string_view head, RequestParser& parser, Session& s,
                            const std::optional<Url>& tunnelOrigin, bool tlsListener) {
  if (HeadFault fault = ScanRequestHead(head); fault != HeadFault::None) {
    return Refuse(std::string("malformed request: ") + HeadFaultText(fault));
  }
  error_code ec;
  std::size_t used = parser.put(asio::buffer(head.data(), head.size()), ec);
  if (ec == http::error::header_limit) {
    return HeadVerdict{431, "the request header is larger than the limit"};
  }
  if (!ec && (!parser.is_header_done() || used != head.size())) ec = http::error::partial_message;
  if (ec) return Refuse("malformed request: " + ec.message());

  const auto& request = parser.get();
  s.method = std::string(request.method_string());
  s.requestTarget = std::string(request.target());
  s.httpVersion = request.version() == 10 ? 10 : 11;
  for (const auto& field : request) s.requestHeaders.Add(View(field.name_string()), View(field.value()));

  // Lengths that two servers could read differently are how requests get
  // smuggled past a proxy: refuse them rather than pick one.
  if (s.requestHeaders.Has("Transfer-Encoding")) {
    if (s.requestHeaders.Has("Content-Length") || !parser.chunked()) {
      return Refuse("the request's Transfer-Encoding and Content-Length disagree");
    }
    // HTTP/1.0 has no chunked coding: a server of that version reads the
    // chunks as the next request.
    if (s.httpVersion == 10) return Refuse("Transfer-Encoding in an HTTP/1.0 request");
  }
  // Two Host fields name two servers; which one a server picks is its own affair.
  if (s.requestHeaders.Count("Host") > 1) return Refuse("the request has more than one Host field");

  if (request.method() == http::verb::connect) return {};

  std::optional<Url> url;
  if (!s.requestTarget.empty() && s.requestTarget.front() == '/') {
    if (tunnelOrigin) {
      url = *tunnelOrigin;
    } else {
      std::string host = s.requestHeaders.Get("Host");
      if (!host.empty()) url = ParseAuthority(host, tlsListener ? 443 : 80);
      if (url) url->scheme = tlsListener ? "https" : "http";
    }
    if (url) url->target = s.requestTarget;
  } else {
    url = ParseAbsoluteUrl(s.requestTarget);
    if (url) {
      // The target names the server; a Host header that says otherwise is replaced.
      if (url->scheme == "ws") url->scheme = "http";
      if (url->scheme == "wss") url->scheme = "https";
      s.requestHeaders.Set("Host", url->Authority());
    }
  }
  if (!url) return Refuse("cannot tell where the request goes: \"" + s.requestTarget + "\"");
  s.url = *url;
  return {};
}

void TakeResponseHead(const ResponseParser& parser, Session& s) {
  const auto& response = parser.get();
  s.hasResponse = true;
  s.status = response.result_int();
  s.reason = std::string(response.reason());
  if (s.reason.empty()) s.reason = std::string(http::obsolete_reason(static_cast<http::status>(s.status)));
  for (const auto& field : response) s.responseHeaders.Add(View(field.name_string()), View(field.value()));
}

}  // namespace veltrox::proxy
