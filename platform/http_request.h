#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The scriptable HTTP request object that the log's clock and the general
// request routine drive, on libcurl. It keeps the shape of the automation
// object it stands in for: open a request, set options and headers, send,
// then read the status, the headers and the body.
//
// A call that fails has no effect and returns false; a read after a failed or
// missing exchange yields an empty value (empty text, no bytes, status 0).
// Nothing throws. One object serves one thread at a time; objects on
// different threads share nothing.
//
// Wire text: the object is byte-transparent. Header values and a text body go
// out as the caller's GB18030 bytes, and response headers come back as the
// server's bytes, so a cookie the server set is sent back unchanged. A header
// set twice (names compared ignoring ASCII case) keeps its first position and
// takes the new value. A header with an empty value is sent as "Name:".

namespace veltrox {

using ByteArray = std::vector<std::uint8_t>;

class HttpRequest {
 public:
  // Limits in milliseconds; 0 or below means no limit of our own. Resolving
  // and connecting (with any TLS handshake) share one limit, their sum. The
  // send and receive limits bound the time without progress while the request
  // goes out and while the response comes in.
  struct Timeouts {
    std::int32_t resolveMs = 0;
    std::int32_t connectMs = 60000;
    std::int32_t sendMs = 30000;
    std::int32_t receiveMs = 30000;
    friend bool operator==(const Timeouts&, const Timeouts&) = default;
  };

  // Proxy settings of SetProxy.
  static constexpr std::int32_t kProxyDefault = 0;  // no proxy: no setting is read from the system
  static constexpr std::int32_t kProxyDirect = 1;
  static constexpr std::int32_t kProxyNamed = 2;

  // Option indexes.
  static constexpr std::int32_t kOptionSslErrorIgnoreFlags = 4;
  static constexpr std::int32_t kOptionEnableRedirects = 6;
  // Certificate errors that kOptionSslErrorIgnoreFlags can forgive.
  static constexpr std::int32_t kIgnoreUnknownAuthority = 0x100;
  static constexpr std::int32_t kIgnoreWrongUsage = 0x200;
  static constexpr std::int32_t kIgnoreCommonName = 0x1000;
  static constexpr std::int32_t kIgnoreDateInvalid = 0x2000;

  // A new object, or null when one cannot be made.
  static std::shared_ptr<HttpRequest> Create();

  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  bool SetTimeouts(std::int32_t resolveMs, std::int32_t connectMs, std::int32_t sendMs, std::int32_t receiveMs);
  Timeouts CurrentTimeouts() const;

  // kProxyNamed with a server ("host:port", or a URL such as
  // "http://host:port") sends every request through it; the other settings go
  // direct. Headers whose names begin with "Proxy-" then go to the proxy only,
  // also in the CONNECT of an https request.
  bool SetProxy(std::int32_t setting, std::string_view server = {});

  // Starts a new request: forgets the headers set and the last response. The
  // URL must be http:// or https://; blanks and non-ASCII characters in it are
  // percent-encoded as UTF-8. Only synchronous requests are supported.
  bool Open(std::string_view verb, std::string_view url, bool async = false);

  // kOptionEnableRedirects: 0 switches automatic redirects off, anything else
  // on (the default; at most 10 in a row, to http and https only).
  // kOptionSslErrorIgnoreFlags: a sum of the kIgnore flags. The host-name check
  // is dropped with kIgnoreCommonName; the chain check is dropped only when
  // unknown authority, wrong usage and invalid date are all forgiven, and a
  // part of them keeps the whole check.
  bool SetOption(std::int32_t index, std::int32_t value);
  std::int32_t Option(std::int32_t index) const;

  // Refuses an empty name, a name that is not an HTTP token, and a value
  // holding CR, LF or NUL. Only valid after Open.
  bool SetRequestHeader(std::string_view name, std::string_view value);

  // Performs the exchange and returns once it has ended. "HEAD" never waits
  // for a body, and a body given to it is not sent. An exchange that fails or
  // is cut short leaves no response at all.
  bool Send(std::string_view text = {});
  bool Send(const ByteArray& bytes);

  ByteArray ResponseBody() const;
  // The final response's headers as "Name: value" lines, each ended by CR LF,
  // without the status line; folded lines are joined with a blank.
  std::string GetAllResponseHeaders() const;
  std::int32_t Status() const;

 private:
  struct Impl;
  explicit HttpRequest(std::unique_ptr<Impl> impl);
  bool Perform(std::string_view body);

  std::unique_ptr<Impl> impl_;
};

// Makes HttpRequest::Create fail (true) or work again (false), so that callers'
// handling of a missing request object can be tested.
void SetHttpRequestCreationFailsForTesting(bool fail);

}  // namespace veltrox
