#include "web_request.h"

#include <array>
#include <climits>
#include <cmath>

#include "base64.h"
#include "header_cookies.h"
#include "text_helpers.h"
#include "text_scan.h"

namespace veltrox {
namespace {

constexpr std::array<std::string_view, 8> kVerbs = {"GET", "POST", "HEAD", "PUT", "OPTIONS", "DELETE", "TRACE", "CONNECT"};

void CompleteHeaders(std::string& headers, std::string_view url, std::int32_t method) {
  struct Row {
    std::string_view marker;
    std::string line;
  };
  const Row rows[] = {
      {"Accept:", "\r\nAccept: */*"},
      {"Referer:", "\r\nReferer: " + std::string(url)},
      {"Accept-Language:", "\r\nAccept-Language: zh-cn"},
      {"User-Agent:", "\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)"},
  };
  // Each marker may stand anywhere in the text, and each row sees what the rows before it added.
  for (const Row& row : rows) {
    if (!ContainsText(headers, row.marker, true)) headers += row.line;
  }
  if (method == 1 && !ContainsText(headers, "Content-Type:", true)) {
    headers += "\r\nContent-Type: application/x-www-form-urlencoded";
  }
}

// Milliseconds for every phase. The product is formed in floating point; a
// value past the 32-bit range is held at its largest value instead of wrapping.
std::int32_t TimeoutMilliseconds(std::int32_t seconds) {
  if (seconds < 1) return 15000;
  const double ms = std::trunc(static_cast<double>(seconds) * 1000.0);
  return ms >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<std::int32_t>(ms);
}

// The name=value pairs of the response's Set-Cookie lines, joined by "; ".
std::string CollectCookies(std::string_view responseHeaders) {
  std::string out;
  for (const std::string& line : SplitText(responseHeaders, "\r\n")) {
    if (TextBefore(line, ": ") != "Set-Cookie") continue;
    const std::string value = ContainsText(line, ";") ? Trim(TextBetween(line, "Set-Cookie:", ";"))
                                                      : Trim(ReplaceText(line, "Set-Cookie:", "", true));
    out += value;
    out += "; ";
  }
  if (out.size() >= 2) out.resize(out.size() - 2);
  return out;
}

}  // namespace

ByteArray WebRequest(std::string_view url, const WebRequestOptions& options) {
  try {
    const bool mergeCookies = options.mergeCookies.value_or(true);
    const bool completeHeaders = options.completeHeaders.value_or(true);
    const bool normaliseHeaders = options.normaliseHeaders.value_or(true);
    const std::int32_t method = options.method < 0 || options.method > 7 ? 0 : options.method;

    std::shared_ptr<HttpRequest> request;
    if (options.requestObject) {
      request = *options.requestObject;
    } else {
      request = HttpRequest::Create();
      if (!request) return {};
    }

    std::string scratchHeaders, scratchCookiesOut, scratchResponseHeaders;
    std::int32_t scratchStatus = 0;
    std::string& headers = options.headers ? *options.headers : scratchHeaders;
    std::string& cookiesOut = options.cookiesOut ? *options.cookiesOut : scratchCookiesOut;
    std::string& responseHeaders = options.responseHeaders ? *options.responseHeaders : scratchResponseHeaders;
    std::int32_t& status = options.status ? *options.status : scratchStatus;

    // A lent object that holds nothing fails every call, like a dead automation object.
    HttpRequest* object = request.get();

    if (options.timeoutSeconds != -1 && object != nullptr) {
      const std::int32_t ms = TimeoutMilliseconds(options.timeoutSeconds);
      object->SetTimeouts(ms, ms, ms, ms);
    }
    if (!options.proxy.empty() && object != nullptr) object->SetProxy(HttpRequest::kProxyNamed, options.proxy);
    if (object != nullptr) object->Open(kVerbs[static_cast<std::size_t>(method)], url, false);
    if (options.noRedirect && object != nullptr) object->SetOption(HttpRequest::kOptionEnableRedirects, 0);
    if (object != nullptr) {
      object->SetOption(HttpRequest::kOptionSslErrorIgnoreFlags,
                        HttpRequest::kIgnoreUnknownAuthority | HttpRequest::kIgnoreWrongUsage |
                            HttpRequest::kIgnoreCommonName | HttpRequest::kIgnoreDateInvalid);
    }

    if (completeHeaders) CompleteHeaders(headers, url, method);
    if (normaliseHeaders) headers = NormaliseHeaderNames(headers);

    auto setHeader = [&](std::string_view name, std::string_view value) {
      if (object != nullptr) object->SetRequestHeader(name, value);
    };
    if (!options.proxy.empty() && !options.proxyUser.empty() && options.proxyAuthMode.value_or(1) == 1) {
      setHeader("Proxy-Authorization", "Basic " + Base64Encode(options.proxyUser + ":" + options.proxyPassword));
    }
    if (options.cookies != nullptr) {
      std::string& cookies = *options.cookies;
      if (!cookies.empty() && ContainsText(cookies, "Cookie:", true)) cookies = ReplaceText(cookies, "Cookie:", "", true);
      setHeader("Cookie", cookies);
    }
    if (FindText(headers, "\r\n") == kNotFound) {
      setHeader(HeaderName(headers), HeaderValue(headers));
    } else {
      for (const std::string& line : SplitText(headers, "\r\n")) {
        if (line.empty()) continue;
        const std::string name = HeaderName(line);
        const std::string value = HeaderValue(line);
        if (name == "Connection" && value == "keep-alive") continue;
        setHeader(name, value);
      }
    }

    if (object != nullptr) {
      if (!options.postBytes.empty()) {
        object->Send(options.postBytes);
      } else {
        object->Send(options.postText);
      }
    }
    ByteArray body = object != nullptr ? object->ResponseBody() : ByteArray();
    responseHeaders = object != nullptr ? object->GetAllResponseHeaders() : std::string();
    status = object != nullptr ? object->Status() : 0;
    cookiesOut = CollectCookies(responseHeaders);
    if (mergeCookies && options.cookies != nullptr) cookiesOut = MergeCookies(*options.cookies, cookiesOut);
    return body;
  } catch (...) {
    // Only memory exhaustion gets here; the caller sees a failed exchange.
    return {};
  }
}

}  // namespace veltrox
