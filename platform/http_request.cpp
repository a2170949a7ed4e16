#include "http_request.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <utility>

#include "text_encoding.h"
#include "text_scan.h"

namespace veltrox {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> gCreationFails{false};

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar); }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

// The caller's GB18030 URL as the ASCII form that goes on the wire, or nothing
// when it is not an http or https URL.
std::optional<std::string> WireUrl(std::string_view url) {
  const std::string utf8 = Gb18030ToUtf8(url);
  std::string encoded;
  for (unsigned char c : utf8) {
    if (c >= 0x80 || c == ' ') {
      static constexpr char kHex[] = "0123456789ABCDEF";
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    } else if (c < 0x20 || c == 0x7F) {
      return std::nullopt;
    } else {
      encoded += static_cast<char>(c);
    }
  }
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return std::nullopt;
  std::optional<std::string> result;
  char* scheme = nullptr;
  char* host = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, encoded.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK && host[0] != '\0') {
    const std::string_view s(scheme);
    if (EqualsText(s, "http", true) || EqualsText(s, "https", true)) result = encoded;
  }
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(parsed);
  return result;
}

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

bool Append(Slist& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return false;
  list.release();
  list.reset(grown);
  return true;
}

}  // namespace

struct HttpRequest::Impl {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;  // owns the connection cache, so a kept object reuses connections

  Timeouts timeouts;
  std::string proxy;  // empty: direct
  bool redirects = true;
  std::int32_t sslIgnoreFlags = 0;

  bool opened = false;
  std::string verb;
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;

  bool haveResponse = false;
  ByteArray body;
  std::string responseHeaders;
  std::int32_t status = 0;

  // Per exchange.
  std::vector<std::string> headerLines;
  ByteArray received;
  std::size_t bytesIn = 0;
  bool connected = false;
  bool failedInCallback = false;

  ~Impl() {
    if (multi != nullptr && easy != nullptr) curl_multi_remove_handle(multi, easy);
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (multi != nullptr) curl_multi_cleanup(multi);
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* impl = static_cast<Impl*>(self);
    const std::size_t n = size * count;
    try {
      std::string_view line(data, n);
      impl->bytesIn += n;
      if (StartsWithText(line, "HTTP/", true)) {
        // A new response begins (after a redirect, a 1xx, or a proxy's CONNECT
        // answer): only the last one is reported.
        impl->headerLines.clear();
        impl->received.clear();
        return n;
      }
      line = TrimBlanks(line);
      if (line.empty()) return n;
      if (IsBlank(data[0]) && !impl->headerLines.empty()) {
        impl->headerLines.back() += ' ';
        impl->headerLines.back() += line;
      } else {
        impl->headerLines.emplace_back(line);
      }
      return n;
    } catch (...) {
      impl->failedInCallback = true;
      return 0;
    }
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* impl = static_cast<Impl*>(self);
    const std::size_t n = size * count;
    try {
      impl->received.insert(impl->received.end(), data, data + n);
      impl->bytesIn += n;
      return n;
    } catch (...) {
      impl->failedInCallback = true;
      return 0;
    }
  }

  static int OnConnected(void* self, char*, char*, int, int) {
    static_cast<Impl*>(self)->connected = true;
    return CURL_PREREQFUNC_OK;
  }

  std::string HeaderText() const {
    std::string text;
    for (const std::string& line : headerLines) {
      const std::size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      text += std::string_view(line).substr(0, colon);
      text += ": ";
      text += TrimBlanks(std::string_view(line).substr(colon + 1));
      text += "\r\n";
    }
    return text;
  }
};

void SetHttpRequestCreationFailsForTesting(bool fail) { gCreationFails = fail; }

std::shared_ptr<HttpRequest> HttpRequest::Create() {
  if (gCreationFails) return nullptr;
  static std::once_flag once;
  static bool initialised = false;
  std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  if (!initialised) return nullptr;
  try {
    auto impl = std::make_unique<Impl>();
    impl->easy = curl_easy_init();
    impl->multi = curl_multi_init();
    if (impl->easy == nullptr || impl->multi == nullptr) return nullptr;
    return std::shared_ptr<HttpRequest>(new HttpRequest(std::move(impl)));
  } catch (...) {
    return nullptr;
  }
}

HttpRequest::HttpRequest(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HttpRequest::~HttpRequest() = default;

bool HttpRequest::SetTimeouts(std::int32_t resolveMs, std::int32_t connectMs, std::int32_t sendMs,
                              std::int32_t receiveMs) {
  impl_->timeouts = {resolveMs, connectMs, sendMs, receiveMs};
  return true;
}

HttpRequest::Timeouts HttpRequest::CurrentTimeouts() const { return impl_->timeouts; }

bool HttpRequest::SetProxy(std::int32_t setting, std::string_view server) {
  try {
    if (setting == kProxyDefault || setting == kProxyDirect) {
      impl_->proxy.clear();
      return true;
    }
    if (setting != kProxyNamed) return false;
    const std::string_view trimmed = TrimBlanks(server);
    if (trimmed.empty() || std::any_of(trimmed.begin(), trimmed.end(), [](char c) {
          return static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F;
        })) {
      return false;
    }
    impl_->proxy = trimmed;
    return true;
  } catch (...) {
    return false;
  }
}

bool HttpRequest::Open(std::string_view verb, std::string_view url, bool async) {
  try {
    if (async || !IsToken(verb)) return false;
    std::optional<std::string> wire = WireUrl(url);
    if (!wire) return false;
    impl_->verb = verb;
    impl_->url = std::move(*wire);
    impl_->headers.clear();
    impl_->haveResponse = false;
    impl_->body.clear();
    impl_->responseHeaders.clear();
    impl_->status = 0;
    impl_->opened = true;
    return true;
  } catch (...) {
    return false;
  }
}

bool HttpRequest::SetOption(std::int32_t index, std::int32_t value) {
  switch (index) {
    case kOptionEnableRedirects:
      impl_->redirects = value != 0;
      return true;
    case kOptionSslErrorIgnoreFlags:
      impl_->sslIgnoreFlags = value;
      return true;
    default:
      return false;
  }
}

std::int32_t HttpRequest::Option(std::int32_t index) const {
  switch (index) {
    case kOptionEnableRedirects:
      return impl_->redirects ? 1 : 0;
    case kOptionSslErrorIgnoreFlags:
      return impl_->sslIgnoreFlags;
    default:
      return 0;
  }
}

bool HttpRequest::SetRequestHeader(std::string_view name, std::string_view value) {
  if (!impl_->opened || !IsToken(name)) return false;
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return false;
  try {
    for (auto& header : impl_->headers) {
      if (EqualsText(header.first, name, true)) {
        header.second = value;
        return true;
      }
    }
    impl_->headers.emplace_back(name, value);
    return true;
  } catch (...) {
    return false;
  }
}

bool HttpRequest::Send(std::string_view text) { return Perform(text); }

bool HttpRequest::Send(const ByteArray& bytes) {
  return Perform(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool HttpRequest::Perform(std::string_view body) {
  Impl& d = *impl_;
  if (!d.opened) return false;
  try {
    d.haveResponse = false;
    d.body.clear();
    d.responseHeaders.clear();
    d.status = 0;
    d.headerLines.clear();
    d.received.clear();
    d.bytesIn = 0;
    d.connected = false;
    d.failedInCallback = false;

    CURL* easy = d.easy;
    // Resetting keeps the connection and DNS caches.
    curl_easy_reset(easy);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_URL, d.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, d.redirects ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    // An empty proxy also keeps libcurl from reading proxy variables from the environment.
    curl_easy_setopt(easy, CURLOPT_PROXY, d.proxy.c_str());
    curl_easy_setopt(easy, CURLOPT_HEADEROPT, static_cast<long>(CURLHEADER_SEPARATE));
    constexpr std::int32_t kChainFlags = kIgnoreUnknownAuthority | kIgnoreWrongUsage | kIgnoreDateInvalid;
    const bool skipChain = (d.sslIgnoreFlags & kChainFlags) == kChainFlags;
    const bool skipHost = (d.sslIgnoreFlags & kIgnoreCommonName) != 0;
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, skipChain ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, skipHost ? 0L : 2L);
    curl_easy_setopt(easy, CURLOPT_PROXY_SSL_VERIFYPEER, skipChain ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY_SSL_VERIFYHOST, skipHost ? 0L : 2L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Impl::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &d);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Impl::OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &d);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Impl::OnConnected);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &d);

    const bool head = d.verb == "HEAD";
    const bool sendsBody = !head && (!body.empty() || d.verb == "POST" || d.verb == "PUT");
    if (head) {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (sendsBody) {
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      // A null body would make libcurl read the request body from stdin.
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.empty() ? "" : body.data());
      // libcurl's own POST turns into GET on 301/302/303, as browsers do.
      if (d.verb != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, d.verb.c_str());
    } else {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
      if (d.verb != "GET") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, d.verb.c_str());
    }

    Slist serverHeaders;
    Slist proxyHeaders;
    bool hasAccept = false;
    bool hasContentType = false;
    for (const auto& [name, value] : d.headers) {
      hasAccept |= EqualsText(name, "Accept", true);
      hasContentType |= EqualsText(name, "Content-Type", true);
      // "Name;" is libcurl's way of sending a header with an empty value.
      const std::string line = value.empty() ? name + ";" : name + ": " + value;
      const bool forProxy = !d.proxy.empty() && StartsWithText(name, "Proxy-", true);
      if (!Append(forProxy ? proxyHeaders : serverHeaders, line)) return false;
    }
    // Only what the caller set goes out: none of libcurl's own defaults.
    if (!hasAccept && !Append(serverHeaders, "Accept:")) return false;
    if (!hasContentType && !Append(serverHeaders, "Content-Type:")) return false;
    if (!Append(serverHeaders, "Expect:")) return false;
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, serverHeaders.get());
    curl_easy_setopt(easy, CURLOPT_PROXYHEADER, proxyHeaders.get());

    const Timeouts limits = d.timeouts;
    const auto ms = [](std::int64_t v) { return std::chrono::milliseconds(v); };
    const std::optional<Clock::duration> connectLimit =
        limits.connectMs > 0 ? std::optional<Clock::duration>(ms(std::int64_t{limits.connectMs} + std::max(limits.resolveMs, 0)))
                             : std::nullopt;
    const std::optional<Clock::duration> sendLimit =
        limits.sendMs > 0 ? std::optional<Clock::duration>(ms(limits.sendMs)) : std::nullopt;
    const std::optional<Clock::duration> receiveLimit =
        limits.receiveMs > 0 ? std::optional<Clock::duration>(ms(limits.receiveMs)) : std::nullopt;

    if (curl_multi_add_handle(d.multi, easy) != CURLM_OK) return false;
    const Clock::time_point start = Clock::now();
    Clock::time_point lastProgress = start;
    curl_off_t lastUploaded = 0;
    std::size_t lastBytesIn = 0;
    bool wasConnected = false;
    bool timedOut = false;
    int running = 1;
    for (;;) {
      if (curl_multi_perform(d.multi, &running) != CURLM_OK) break;
      if (running == 0) break;
      const Clock::time_point now = Clock::now();
      curl_off_t uploaded = 0;
      curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
      if (d.connected != wasConnected || uploaded != lastUploaded || d.bytesIn != lastBytesIn) {
        wasConnected = d.connected;
        lastUploaded = uploaded;
        lastBytesIn = d.bytesIn;
        lastProgress = now;
      }
      std::optional<Clock::time_point> deadline;
      if (!d.connected) {
        if (connectLimit) deadline = start + *connectLimit;
      } else {
        const bool sending = sendsBody && static_cast<std::size_t>(uploaded) < body.size() && d.bytesIn == 0;
        const std::optional<Clock::duration>& idle = sending ? sendLimit : receiveLimit;
        if (idle) deadline = lastProgress + *idle;
      }
      if (deadline && now >= *deadline) {
        timedOut = true;
        break;
      }
      int waitMs = 1000;
      if (deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - now).count() + 1;
        waitMs = static_cast<int>(std::clamp<std::int64_t>(left, 1, 1000));
      }
      curl_multi_poll(d.multi, nullptr, 0, waitMs, nullptr);
    }

    CURLcode result = CURLE_FAILED_INIT;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(d.multi, &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy) result = message->data.result;
    }
    curl_multi_remove_handle(d.multi, easy);
    if (timedOut || result != CURLE_OK || d.failedInCallback) return false;

    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    d.status = static_cast<std::int32_t>(std::clamp<long>(code, 0, INT32_MAX));
    d.responseHeaders = d.HeaderText();
    d.body = std::move(d.received);
    d.received.clear();
    d.haveResponse = true;
    return true;
  } catch (...) {
    curl_multi_remove_handle(d.multi, d.easy);
    d.haveResponse = false;
    d.body.clear();
    d.responseHeaders.clear();
    d.status = 0;
    return false;
  }
}

ByteArray HttpRequest::ResponseBody() const {
  try {
    return impl_->haveResponse ? impl_->body : ByteArray();
  } catch (...) {
    return {};
  }
}

std::string HttpRequest::GetAllResponseHeaders() const {
  try {
    return impl_->haveResponse ? impl_->responseHeaders : std::string();
  } catch (...) {
    return {};
  }
}

std::int32_t HttpRequest::Status() const { return impl_->haveResponse ? impl_->status : 0; }

}  // namespace veltrox
