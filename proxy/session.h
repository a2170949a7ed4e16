#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http_headers.h"
#include "proxy_export.h"
#include "url.h"

namespace veltrox::proxy {

// One request and its response as the core holds them while handlers look at
// them. Handlers run one at a time per session, while the connection waits, so
// a handler may change any field; the core sends what the fields say when the
// handler returns.
class VELTROX_PROXY_API Session {
 public:
  std::uint32_t id = 0;
  bool isTunnel = false;  // CONNECT: `url` has no scheme and the target is unused

  // Request as received; `url` is where it goes (a handler may change it).
  std::string method;
  std::string requestTarget;  // the target of the request line as the client sent it
  unsigned httpVersion = 11;  // 10 or 11
  Url url;
  HeaderList requestHeaders;
  std::string requestBody;
  // The body was larger than the memory cap: it is streamed to the server as it
  // arrives and `requestBody` is empty.
  bool requestBodyStreamed = false;
  std::uint64_t requestBodyDeclaredLength = 0;  // its Content-Length, when streamed

  // Response; `hasResponse` is false until the server's header has arrived.
  bool hasResponse = false;
  int status = 0;
  std::string reason;
  HeaderList responseHeaders;
  std::string responseBody;
  bool responseBodyStreamed = false;
  std::uint64_t responseBodyDeclaredLength = 0;

  // When set by the request handler, the whole response (up to the memory cap)
  // is read before the response handler runs, so that it can be changed.
  bool bufferResponse = false;

  // The client's address ("127.0.0.1:50412") and, for a local client, its
  // program and process id ("curl:4711"); empty when unknown.
  std::string clientAddress;
  std::string clientProcess;

  std::string FullUrl() const { return url.Full(); }
  // Takes an absolute http(s)/ws(s) URL, or "host:port" for a tunnel, and
  // points the Host header at it. False, changing nothing, when it does not parse.
  bool SetFullUrl(std::string_view text);

  // Start line and header fields, each line ending in CRLF.
  std::string RequestHeaderText() const;
  std::string ResponseHeaderText() const;

  // Removes chunked framing and the gzip, deflate and br content codings from
  // the response body and makes the length headers match. Codings it cannot
  // undo are left in place together with the bytes they describe.
  void DecodeResponseBody();
  void DecodeRequestBody();

  // The body with its content codings undone, for showing; the session is unchanged.
  std::string DecodedRequestBody() const;
  std::string DecodedResponseBody() const;

  // Bodies never grow beyond this when decoded.
  std::size_t decodeLimit = std::size_t{64} << 20;
};

// The next session number, counted for the whole process from 1.
VELTROX_PROXY_API std::uint32_t NextSessionId();

}  // namespace veltrox::proxy
