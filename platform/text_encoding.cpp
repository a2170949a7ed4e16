#include "text_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <memory>

namespace veltrox {
namespace {

// iconv descriptors are not thread-safe and costly to open, so each thread keeps
// its own pair.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  std::string Run(std::string_view in, std::string_view replacement) {
    std::string out;
    if (in.empty() || cd_ == reinterpret_cast<iconv_t>(-1)) return out;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out.resize(in.size() * 2 + 8);
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    while (srcLeft > 0) {
      std::size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      if (r != static_cast<std::size_t>(-1)) break;
      if (errno == E2BIG) {
        std::size_t used = out.size() - dstLeft;
        out.resize(out.size() * 2);
        dst = out.data() + used;
        dstLeft = out.size() - used;
        continue;
      }
      // EILSEQ or EINVAL (truncated at the end): mark one byte and go on.
      std::size_t used = out.size() - dstLeft;
      if (dstLeft < replacement.size()) {
        out.resize(out.size() + replacement.size() + 16);
        dst = out.data() + used;
        dstLeft = out.size() - used;
      }
      for (char c : replacement) {
        *dst++ = c;
        --dstLeft;
      }
      ++src;
      --srcLeft;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(out.size() - dstLeft);
    return out;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string Gb18030ToUtf8(std::string_view gb18030) {
  thread_local Converter converter("UTF-8", "GB18030");
  return converter.Run(gb18030, "\xEF\xBF\xBD");
}

std::string Utf8ToGb18030(std::string_view utf8) {
  thread_local Converter converter("GB18030", "UTF-8");
  return converter.Run(utf8, "?");
}

std::string Gb(std::u8string_view utf8) {
  return Utf8ToGb18030(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
}

}  // namespace veltrox
