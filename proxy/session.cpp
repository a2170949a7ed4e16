#include "session.h"

#include <optional>
#include <vector>

#include "body_codec.h"
#include "text_scan.h"

namespace veltrox::proxy {
namespace {

std::vector<std::string> Codings(const HeaderList& headers) {
  std::vector<std::string> out;
  for (const auto& [name, value] : headers.Entries()) {
    if (!EqualsText(name, "Content-Encoding", true)) continue;
    for (std::string& piece : SplitText(value, ",")) {
      std::size_t b = piece.find_first_not_of(" \t");
      std::size_t e = piece.find_last_not_of(" \t");
      if (b == std::string::npos) continue;
      out.push_back(piece.substr(b, e - b + 1));
    }
  }
  return out;
}

// Undoes the codings last to first; nothing when one of them cannot be undone.
std::optional<std::string> Undo(const std::vector<std::string>& codings, std::string_view body, std::size_t limit) {
  std::string current(body);
  for (auto it = codings.rbegin(); it != codings.rend(); ++it) {
    auto next = DecodeContent(*it, current, limit);
    if (!next) return std::nullopt;
    current = std::move(*next);
  }
  return current;
}

void Decode(HeaderList& headers, std::string& body, bool streamed, std::size_t limit) {
  if (streamed) return;  // only the part in front of the cap is held: nothing to decode whole
  headers.RemoveAll("Transfer-Encoding");
  auto codings = Codings(headers);
  if (!codings.empty()) {
    if (auto decoded = Undo(codings, body, limit)) {
      body = std::move(*decoded);
      headers.RemoveAll("Content-Encoding");
    }
  }
  headers.Set("Content-Length", std::to_string(body.size()));
}

std::string VersionText(unsigned version) { return version == 10 ? "HTTP/1.0" : "HTTP/1.1"; }

}  // namespace

std::uint32_t NextSessionId() {
  static std::atomic<std::uint32_t> counter{0};
  return ++counter;
}

bool Session::SetFullUrl(std::string_view text) {
  std::optional<Url> parsed = isTunnel ? ParseAuthority(text, 0) : ParseAbsoluteUrl(text);
  if (!parsed) return false;
  url = std::move(*parsed);
  requestHeaders.Set("Host", url.Authority());
  return true;
}

std::string Session::RequestHeaderText() const {
  return method + " " + (isTunnel ? url.Authority() : url.target) + " " + VersionText(httpVersion) + "\r\n" +
         requestHeaders.Render();
}

std::string Session::ResponseHeaderText() const {
  if (!hasResponse) return {};
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + responseHeaders.Render();
}

void Session::DecodeResponseBody() {
  // These responses carry no body whatever their headers say; Content-Length
  // of a HEAD answer describes the GET and stays.
  bool bodiless = method == "HEAD" || status == 204 || status == 304 || (status >= 100 && status < 200);
  if (hasResponse && !bodiless) Decode(responseHeaders, responseBody, responseBodyStreamed, decodeLimit);
}

void Session::DecodeRequestBody() {
  // A request without a body keeps its header as it came (no "Content-Length: 0"
  // appears on a GET).
  if (requestBody.empty() && !requestHeaders.Has("Content-Length") && !requestHeaders.Has("Transfer-Encoding")) {
    return;
  }
  Decode(requestHeaders, requestBody, requestBodyStreamed, decodeLimit);
}

std::string Session::DecodedRequestBody() const {
  auto decoded = Undo(Codings(requestHeaders), requestBody, decodeLimit);
  return decoded ? *decoded : requestBody;
}

std::string Session::DecodedResponseBody() const {
  auto decoded = Undo(Codings(responseHeaders), responseBody, decodeLimit);
  return decoded ? *decoded : responseBody;
}

}  // namespace veltrox::proxy
