#pragma once

// From a client's bytes to a session: the head is read whole, checked by
// ScanRequestHead, parsed by Beast and taken into the session's request
// fields; a server's response head is taken into its response fields. The
// client sessions use these, and so do the fuzz targets, so that what is
// fuzzed is what serves.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "asio.h"
#include "proxy_export.h"
#include "request_head.h"
#include "session.h"

namespace veltrox::proxy {

using RequestParser = http::request_parser<http::buffer_body>;
using ResponseParser = http::response_parser<http::buffer_body>;

inline std::string_view BufferText(const beast::flat_buffer& buffer) {
  const auto data = buffer.cdata();
  return {static_cast<const char*>(data.data()), data.size()};
}

struct HeadRead {
  enum class Result {
    Complete,  // the head is the first `length` bytes of the buffer
    TooLarge,  // no end within the limit
    Cut,       // the client closed in the middle of a head
    Failed,    // `ec` says why (the client went away, a time-out); nothing to answer
  };
  Result result = Result::Failed;
  std::size_t length = 0;
  error_code ec;
};

// Reads until the front of `buffer` holds a whole request head, or `limit`
// bytes without one. Empty lines in front of the request line are dropped;
// bytes after the head (a body, pipelined requests) stay in the buffer. The
// stream's time-out, set by the caller, covers the whole head, however
// slowly its bytes come.
template <class Stream>
asio::awaitable<HeadRead> ReadRequestHead(Stream& stream, beast::flat_buffer& buffer, std::size_t limit) {
  HeadRead read;
  std::size_t searched = 0;
  for (;;) {
    std::string_view bytes = BufferText(buffer);
    std::size_t blank = 0;
    while (blank + 1 < bytes.size() && bytes[blank] == '\r' && bytes[blank + 1] == '\n') blank += 2;
    if (blank > 0) {
      buffer.consume(blank);
      bytes = BufferText(buffer);
      searched = 0;
    }
    read.length = FindRequestHeadEnd(bytes, searched);
    if (read.length != std::string_view::npos) {
      read.result = read.length > limit ? HeadRead::Result::TooLarge : HeadRead::Result::Complete;
      co_return read;
    }
    read.length = 0;
    if (bytes.size() >= limit) {
      read.result = HeadRead::Result::TooLarge;
      co_return read;
    }
    searched = bytes.size();
    const std::size_t room = beast::read_size(buffer, 64 * 1024);
    std::size_t n = co_await stream.async_read_some(buffer.prepare(room),
                                                     asio::redirect_error(asio::use_awaitable, read.ec));
    buffer.commit(n);
    if (read.ec) {
      const bool midHead = buffer.size() > 0 && (read.ec == asio::error::eof || read.ec == http::error::end_of_stream);
      read.result = midHead ? HeadRead::Result::Cut : HeadRead::Result::Failed;
      co_return read;
    }
  }
}

// What becomes of a request head: 0 to serve it, or the status of the
// proxy's own answer (400, 431) with its cause.
struct HeadVerdict {
  int status = 0;
  std::string cause;
};

// Checks the complete head `head` (ScanRequestHead, then Beast through
// `parser`, which has its limits set and is left ready for the body), takes
// method, target, version and header fields into `s`, and for a request
// other than CONNECT finds where it goes: an absolute-form target, the
// origin of the decrypted tunnel it came through, or its Host header
// (https on the localhost TLS listener). Refuses the shapes whose length or
// destination two servers could read differently.
VELTROX_PROXY_API HeadVerdict TakeRequestHead(std::string_view head, RequestParser& parser, Session& s,
                                              const std::optional<Url>& tunnelOrigin, bool tlsListener);

// Status, reason and header fields of a parsed response head into `s`.
VELTROX_PROXY_API void TakeResponseHead(const ResponseParser& parser, Session& s);

}  // namespace veltrox::proxy
