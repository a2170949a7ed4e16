#include "body_text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "text_encoding.h"
#include "text_scan.h"

namespace veltrox::engine {
namespace {

// Eight bytes at a time: bodies of a megabyte are scanned for every event.
bool IsAscii(std::string_view s) {
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; i < s.size(); ++i) {
    if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
  }
  return true;
}

bool IsUtf8(std::string_view charset) { return charset == "utf-8" || charset == "utf8"; }

bool IsGbFamily(std::string_view charset) {
  return charset == "gb18030" || charset == "gbk" || charset == "gb2312" || charset == "cp936" ||
         charset == "x-gbk";
}

bool IsWide(std::string_view charset) { return charset.starts_with("utf-16") || charset.starts_with("utf-32"); }

// Whole-text conversion through iconv; nothing when the charset is unknown.
// Bytes that do not convert come out as '?' so that their place stays visible.
bool Convert(std::string_view in, const std::string& from, const std::string& to, std::string& out) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char* dst = out.data();
  std::size_t dstLeft = out.size();
  while (srcLeft > 0) {
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      std::size_t used = out.size() - dstLeft;
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dstLeft = out.size() - used;
      continue;
    }
    if (dstLeft == 0) {
      std::size_t used = out.size() - dstLeft;
      out.resize(out.size() + 16);
      dst = out.data() + used;
      dstLeft = out.size() - used;
    }
    *dst++ = '?';
    --dstLeft;
    ++src;
    --srcLeft;
  }
  out.resize(out.size() - dstLeft);
  iconv_close(cd);
  return true;
}

// The plain left-to-right replacement of byte strings; right for UTF-8, whose
// characters never begin inside another, and for single-byte charsets.
std::string ReplaceBytes(std::string_view text, std::string_view find, std::string_view replacement) {
  if (find.empty()) return std::string(text);
  std::string out;
  std::size_t at = 0;
  for (;;) {
    std::size_t hit = text.find(find, at);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(at, hit - at));
    out.append(replacement);
    at = hit + find.size();
  }
  out.append(text.substr(at));
  return out;
}

}  // namespace

bool BodyIsItsOwnText(std::string_view bytes, std::string_view charset) {
  if (IsWide(charset)) return false;
  return IsGbFamily(charset) || IsAscii(bytes);
}

std::string CharsetOf(std::string_view contentType) {
  std::string lower(contentType);
  for (char& c : lower) c = ToLowerAscii(c);
  std::size_t at = lower.find("charset=");
  if (at == std::string::npos) return "utf-8";
  std::string value = lower.substr(at + 8);
  std::size_t end = value.find_first_of("; \t");
  if (end != std::string::npos) value.resize(end);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
  return value.empty() ? "utf-8" : value;
}

std::string BodyToText(std::string_view bytes, std::string_view charset) {
  if (IsAscii(bytes) && !IsWide(charset)) return std::string(bytes);
  if (IsGbFamily(charset)) return std::string(bytes);
  if (!IsUtf8(charset)) {
    std::string out;
    if (Convert(bytes, std::string(charset), "GB18030", out)) return out;
  }
  return Utf8ToGb18030(bytes);
}

std::string TextToBody(std::string_view text, std::string_view charset) {
  if (IsAscii(text) && !IsWide(charset)) return std::string(text);
  if (IsGbFamily(charset)) return std::string(text);
  if (!IsUtf8(charset)) {
    std::string out;
    if (Convert(text, "GB18030", std::string(charset), out)) return out;
  }
  return Gb18030ToUtf8(text);
}

std::string ReplaceInBody(std::string_view body, std::string_view charset, std::string_view find,
                          std::string_view replacement) {
  if (find.empty()) return std::string(body);
  if (IsGbFamily(charset)) return ReplaceText(body, find, replacement);
  if (IsWide(charset)) {
    return TextToBody(ReplaceText(BodyToText(body, charset), find, replacement), charset);
  }
  return ReplaceBytes(body, TextToBody(find, charset), TextToBody(replacement, charset));
}

}  // namespace veltrox::engine
