#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "http_request.h"

namespace veltrox {

// The settings of one WebRequest. In/out and out parameters are the caller's
// variables, given by pointer; a null pointer means absent, and the routine
// then works on a scratch value of its own. Where absent and given differ
// (cookies, proxyAuthMode, requestObject and the three switches) the member
// is a pointer or a std::optional.
struct WebRequestOptions {
  // 0 GET, 1 POST, 2 HEAD, 3 PUT, 4 OPTIONS, 5 DELETE, 6 TRACE, 7 CONNECT;
  // anything else is GET.
  std::int32_t method = 0;
  std::string postText;                // sent when postBytes is empty
  std::string* cookies = nullptr;      // in/out: the Cookie header; absent sets none
  std::string* cookiesOut = nullptr;   // out: the Set-Cookie values (merged with cookies)
  std::string* headers = nullptr;      // in/out: request header lines joined by CR LF
  std::string* responseHeaders = nullptr;  // out
  std::int32_t* status = nullptr;      // out
  bool noRedirect = false;
  ByteArray postBytes;                 // when not empty, sent instead of postText
  std::string proxy;                   // "" goes direct
  std::int32_t timeoutSeconds = 0;     // each phase; 0 or below is 15 s, -1 keeps the object's
  std::string proxyUser;
  std::string proxyPassword;
  std::optional<std::int32_t> proxyAuthMode;  // 1 (also when absent) sends Basic credentials
  // A request object the caller keeps and lends; given but null, every call on
  // it fails and the exchange comes out failed.
  std::optional<std::shared_ptr<HttpRequest>> requestObject;
  std::optional<bool> mergeCookies;      // absent: true
  std::optional<bool> completeHeaders;   // absent: true
  std::optional<bool> normaliseHeaders;  // absent: true
};

// One synchronous HTTP(S) exchange: completes and normalises the headers, sets
// proxy credentials, cookies and headers, sends postBytes or postText, and
// returns the response body. Unless no request object could be made (then it
// returns at once and touches none of the caller's variables) it has written
// responseHeaders, status and cookiesOut when it returns; a failed exchange
// leaves them "", 0 and "" (or the merge of "" with cookies). Never throws.
//
// The Proxy-Authorization header comes first, then Cookie, then the lines of
// headers in their order; a line "Connection: keep-alive" (exactly so) among
// several is not sent, since the object keeps connections alive anyway.
ByteArray WebRequest(std::string_view url, const WebRequestOptions& options = {});

}  // namespace veltrox
