#include "edits.h"

#include "base64.h"
#include "body_text.h"
#include "proxy.h"
#include "text_encoding.h"
#include "text_scan.h"

namespace veltrox::engine {
namespace {

std::string RequestCharset(const proxy::Session& s) { return CharsetOf(s.requestHeaders.Get("Content-Type")); }
std::string ResponseCharset(const proxy::Session& s) { return CharsetOf(s.responseHeaders.Get("Content-Type")); }

// The URL as the hook sees it, changed, and taken back; a result that is no
// URL leaves the session where it was.
void SetUrlText(proxy::Session& s, const std::string& gbText) { s.SetFullUrl(Gb18030ToUtf8(gbText)); }

std::string UrlText(const proxy::Session& s) { return Utf8ToGb18030(s.FullUrl()); }

// A "?" that begins a unit after the first one.
bool HasQueryMark(const std::string& url) {
  std::size_t at = FindText(url, "?");
  if (at == 0) at = FindText(url, "?", 1);
  return at != kNotFound;
}

// A header edit must not be able to end the header line and start another
// one (or a body): such names and values are refused.
bool ValidName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7f || c == ':') return false;
  }
  return true;
}

bool ValidValue(const std::string& value) { return value.find_first_of("\r\n") == std::string::npos; }

}  // namespace

void ApplySessionEdit(proxy::Session& s, int code, const std::string& text1, const std::string& text2) {
  // A body that was streamed past the memory cap is not held, so edits of it
  // have nothing to work on.
  const bool responseHeld = s.hasResponse && !s.responseBodyStreamed;
  const bool requestHeld = !s.requestBodyStreamed;
  switch (code) {
    case 1:
      if (responseHeld) s.responseBody = ReplaceInBody(s.responseBody, ResponseCharset(s), text1, text2);
      break;
    case 2:
      if (responseHeld) s.responseBody = TextToBody(text1, ResponseCharset(s));
      break;
    case 3:
      if (responseHeld) s.responseBody = TextToBody(text1, ResponseCharset(s)) + s.responseBody;
      break;
    case 4:
      if (s.hasResponse && ValidValue(text1)) s.responseHeaders.Add("Set-Cookie", Gb18030ToUtf8(text1));
      break;
    case 5:
      if (s.hasResponse) s.responseHeaders.RemoveAll("Set-Cookie");
      break;
    case 6:
      if (s.hasResponse && ValidName(text1) && ValidValue(text2)) {
        std::string name = Gb18030ToUtf8(text1);
        s.responseHeaders.RemoveAll(name);
        s.responseHeaders.Add(name, Gb18030ToUtf8(text2));
      }
      break;
    case 7:
      if (responseHeld) {
        if (auto bytes = Base64Decode(text1)) s.responseBody = std::move(*bytes);
      }
      break;
    case 8:
      if (requestHeld) s.requestBody = TextToBody(text1, RequestCharset(s));
      break;
    case 9:
      if (requestHeld) {
        if (auto bytes = Base64Decode(text1)) s.requestBody = std::move(*bytes);
      }
      break;
    case 10:
      SetUrlText(s, text1);
      break;
    case 11:
      SetUrlText(s, ReplaceText(UrlText(s), text1, text2));
      break;
    case 12: {
      std::string url = UrlText(s);
      url += HasQueryMark(url) ? "&" : "?";
      url += text1;
      SetUrlText(s, url);
      break;
    }
    case 13:
      if (requestHeld) s.requestBody = ReplaceInBody(s.requestBody, RequestCharset(s), text1, text2);
      break;
    case 14:
      if (ValidValue(text1)) s.requestHeaders.Set("Cookie", Gb18030ToUtf8(text1));
      break;
    case 15: {
      if (!ValidName(text1) || !ValidValue(text2)) break;
      std::string name = Gb18030ToUtf8(text1);
      s.requestHeaders.RemoveAll(name);
      s.requestHeaders.Add(name, Gb18030ToUtf8(text2));
      break;
    }
    default:
      break;
  }
}

void ApplyMessageEdit(proxy::WebSocketMessage& message, int code, const std::string& text1, const std::string& text2) {
  // Payloads go as UTF-8 (what a Text frame must carry); the edit texts are
  // converted, the payload bytes themselves are not.
  if (code == 15) {
    message.payload = ReplaceInBody(message.payload, "utf-8", text1, text2);
  } else if (code == 16) {
    message.payload = Gb18030ToUtf8(text1);
  }
}

}  // namespace veltrox::engine
