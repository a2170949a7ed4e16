// A client's request and a server's response through the proxy core's own
// code, without sockets: the request bytes come from an in-memory stream a
// few bytes per read, through ReadRequestHead, ScanRequestHead, Beast and
// TakeRequestHead into a Session; then a URL edit, the header text and the
// body decoding; then the response bytes through Beast and TakeResponseHead.
//
// Input: a flag byte, then the request, the response and a URL text,
// separated by the bytes FF FE FD.
//
// Properties: the head is read the same whatever the read size; a head the
// scan refuses gets 400; after a head the scan accepted no header name or
// value holds CR, LF or NUL; every header text line ends in CRLF; a decoded
// body never exceeds decodeLimit; decoding twice changes nothing the second time.
#include <boost/beast/_experimental/test/stream.hpp>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message_head.h"

using namespace veltrox::proxy;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::vector<std::string_view> Split(std::string_view data, std::string_view separator, std::size_t parts) {
  std::vector<std::string_view> out;
  while (out.size() + 1 < parts) {
    std::size_t at = data.find(separator);
    if (at == std::string_view::npos) break;
    out.push_back(data.substr(0, at));
    data.remove_prefix(at + separator.size());
  }
  out.push_back(data);
  out.resize(parts);
  return out;
}

bool Clean(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos; }

void CheckFields(const HeaderList& headers) {
  for (const auto& [name, value] : headers.Entries()) Check(Clean(name) && Clean(value));
}

// Every CR is followed by LF, every LF preceded by CR, and the text ends in CRLF.
void CheckLines(const std::string& text) {
  Check(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') Check(i + 1 < text.size() && text[i + 1] == '\n');
    if (text[i] == '\n') Check(i > 0 && text[i - 1] == '\r');
  }
}

struct ReadOutcome {
  HeadRead read;
  std::string buffered;  // what the buffer held afterwards
  std::string pending;   // what the stream still held
};

ReadOutcome ReadHead(std::string_view bytes, std::size_t readSize, std::size_t limit) {
  static asio::io_context io;
  io.restart();
  beast::test::stream stream(io, beast::string_view(bytes.data(), bytes.size()));
  stream.read_size(readSize);
  stream.close_remote();
  beast::flat_buffer buffer;
  ReadOutcome out;
  asio::co_spawn(io, ReadRequestHead(stream, buffer, limit), [&](std::exception_ptr failure, HeadRead read) {
    Check(!failure);
    out.read = read;
  });
  io.run();
  out.buffered = std::string(BufferText(buffer));
  out.pending = std::string(stream.str());
  return out;
}

// A body through `parser` as the proxy reads one: piece by piece into a
// buffer body, at most `limit` bytes.
template <class Parser>
std::string ReadBody(Parser& parser, std::string_view rest, std::size_t limit) {
  std::string body;
  char piece[512];
  while (!parser.is_done() && body.size() <= limit) {
    parser.get().body().data = piece;
    parser.get().body().size = sizeof piece;
    error_code ec;
    std::size_t used = parser.put(asio::buffer(rest.data(), rest.size()), ec);
    rest.remove_prefix(used);
    body.append(piece, sizeof piece - parser.get().body().size);
    if (ec == http::error::need_buffer) continue;
    if (ec == http::error::need_more) {
      if (used > 0 && !rest.empty()) continue;
      parser.put_eof(ec);
      break;
    }
    if (ec || used == 0) break;
  }
  return body;
}

// Decoding twice leaves what decoding once made; a decoded body fits the limit.
template <class Decode, class Decoded>
void CheckDecoding(Session& s, HeaderList& headers, std::string& body, Decode decode, Decoded decoded) {
  const std::string raw = body;
  const std::string shown = decoded();
  Check(shown == raw || shown.size() <= s.decodeLimit);
  const bool coded = headers.Has("Content-Encoding");
  decode();
  if (coded && !headers.Has("Content-Encoding")) Check(body.size() <= s.decodeLimit);
  const auto entries = headers.Entries();
  const std::string once = body;
  decode();
  Check(headers.Entries() == entries && body == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t flags = data[0];
  auto parts = Split(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), "\xff\xfe\xfd", 3);
  const std::string_view requestBytes = parts[0];
  const std::string_view responseBytes = parts[1];
  const std::string_view urlText = parts[2];
  const std::size_t limit = flags & 0x80 ? 64 * 1024 : 256;
  const std::size_t readSize = 1 + (flags & 0x0f);

  // The head is found the same however the bytes arrive.
  ReadOutcome whole = ReadHead(requestBytes, requestBytes.size() + 1, limit);
  ReadOutcome dribbled = ReadHead(requestBytes, readSize, limit);
  Check(whole.read.result == dribbled.read.result);
  if (whole.read.result != HeadRead::Result::Complete) return 0;
  Check(whole.read.length == dribbled.read.length);
  Check(whole.buffered.compare(0, whole.read.length, dribbled.buffered, 0, dribbled.read.length) == 0);

  const std::string_view head = std::string_view(whole.buffered).substr(0, whole.read.length);
  std::optional<Url> tunnelOrigin;
  if (flags & 0x10) tunnelOrigin = Url{"https", "tunnel.test", 8443, "/"};
  const bool tlsListener = (flags & 0x20) != 0;
  RequestParser parser;
  parser.header_limit(static_cast<std::uint32_t>(limit));
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  Session s;
  s.decodeLimit = 1024;
  const HeadVerdict verdict = TakeRequestHead(head, parser, s, tunnelOrigin, tlsListener);
  const bool scanned = ScanRequestHead(head) == HeadFault::None;
  if (!scanned) {
    Check(verdict.status == 400);
    return 0;
  }
  CheckFields(s.requestHeaders);
  if (verdict.status != 0) return 0;
  Check(!s.method.empty());
  CheckLines(s.RequestHeaderText());

  // A URL edit either takes effect or changes nothing.
  const std::string before = s.RequestHeaderText();
  const std::string fullBefore = s.FullUrl();
  if (s.SetFullUrl(urlText)) {
    Check(s.requestHeaders.Get("Host") == s.url.Authority());
  } else {
    Check(s.RequestHeaderText() == before && s.FullUrl() == fullBefore);
  }
  CheckFields(s.requestHeaders);
  CheckLines(s.RequestHeaderText());

  const std::string rest = whole.buffered.substr(whole.read.length) + whole.pending;
  s.requestBody = ReadBody(parser, rest, 4096);
  CheckDecoding(s, s.requestHeaders, s.requestBody, [&] { s.DecodeRequestBody(); },
                [&] { return s.DecodedRequestBody(); });

  ResponseParser response;
  response.header_limit(static_cast<std::uint32_t>(limit));
  response.body_limit(std::numeric_limits<std::uint64_t>::max());
  if (s.method == "HEAD") response.skip(true);
  error_code ec;
  std::size_t used = response.put(asio::buffer(responseBytes.data(), responseBytes.size()), ec);
  if (ec || !response.is_header_done()) return 0;
  TakeResponseHead(response, s);
  CheckFields(s.responseHeaders);
  CheckLines(s.ResponseHeaderText());
  s.responseBody = ReadBody(response, responseBytes.substr(used), 4096);
  CheckDecoding(s, s.responseHeaders, s.responseBody, [&] { s.DecodeResponseBody(); },
                [&] { return s.DecodedResponseBody(); });
  Check(s.DecodedResponseBody() == s.responseBody || s.responseHeaders.Has("Content-Encoding"));
  return 0;
}
