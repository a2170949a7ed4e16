#include "url.h"

#include <charconv>

#include "text_scan.h"

namespace veltrox::proxy {

std::uint16_t DefaultPort(std::string_view scheme) {
  if (EqualsText(scheme, "https", true) || EqualsText(scheme, "wss", true)) return 443;
  if (EqualsText(scheme, "http", true) || EqualsText(scheme, "ws", true)) return 80;
  return 0;
}

std::string Url::Authority() const {
  std::string out = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (scheme.empty() || port != DefaultPort(scheme)) {
    out += ':';
    out += std::to_string(port);
  }
  return out;
}

std::string Url::Full() const {
  if (scheme.empty()) return Authority();
  return scheme + "://" + Authority() + target;
}

std::optional<Url> ParseAuthority(std::string_view text, std::uint16_t defaultPort) {
  Url url;
  std::string_view portText;
  bool hasPort = false;
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    url.host = std::string(text.substr(1, close - 1));
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      portText = rest.substr(1);
      hasPort = true;
    }
  } else {
    std::size_t colon = text.rfind(':');
    if (colon != std::string_view::npos) {
      if (text.find(':') != colon) return std::nullopt;  // a bare IPv6 address is ambiguous
      portText = text.substr(colon + 1);
      hasPort = true;
      text = text.substr(0, colon);
    }
    url.host = std::string(text);
  }
  if (url.host.empty()) return std::nullopt;
  for (char c : url.host) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '\\' || c == '@' || c == '?' || c == '#') {
      return std::nullopt;
    }
  }
  if (hasPort) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (portText.empty() || ec != std::errc() || end != portText.data() + portText.size() || value == 0 ||
        value > 65535) {
      return std::nullopt;
    }
    url.port = static_cast<std::uint16_t>(value);
  } else {
    if (defaultPort == 0) return std::nullopt;
    url.port = defaultPort;
  }
  return url;
}

std::optional<Url> ParseAbsoluteUrl(std::string_view text) {
  // A control byte has no place in a URL; escaped it would still not be what
  // was meant, and passed on it could end the request line.
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
  }
  std::size_t sep = text.find("://");
  if (sep == std::string_view::npos) return std::nullopt;
  std::string scheme(text.substr(0, sep));
  for (char& c : scheme) c = ToLowerAscii(c);
  std::uint16_t defaultPort = DefaultPort(scheme);
  if (defaultPort == 0) return std::nullopt;
  std::string_view rest = text.substr(sep + 3);
  std::size_t end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, end);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  auto url = ParseAuthority(authority, defaultPort);
  if (!url) return std::nullopt;
  url->scheme = scheme;
  std::string_view target = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  std::size_t hash = target.find('#');
  if (hash != std::string_view::npos) target = target.substr(0, hash);
  if (target.empty() || target.front() != '/') {
    url->target = "/" + std::string(target);
  } else {
    url->target = std::string(target);
  }
  return url;
}

std::string WireTarget(std::string_view target) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(target.size());
  for (char c : target) {
    auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7f) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace veltrox::proxy
