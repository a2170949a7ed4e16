#pragma once

// The raw bytes of a request head, checked before any parser reads them.
// Beast's parser turns obsolete line folding into spaces and other parsers
// split lines at a bare CR or LF or stop at a NUL: a head that two parsers
// could read differently is refused here, whole, so that what the proxy
// forwards is what it read. No I/O and no allocation; one pass over the head.

#include <cstddef>
#include <string_view>

namespace veltrox::proxy {

enum class HeadFault {
  None,
  NulByte,       // a NUL anywhere in the head
  BareCr,        // a CR that no LF follows
  BareLf,        // an LF that no CR precedes
  ObsoleteFold,  // a header line that begins with SP or HTAB
};

// Where the head that begins `bytes` ends: the offset just past its blank
// line, or npos while no blank line has arrived. Besides CRLF CRLF it stops at
// LF LF, LF CRLF and CR CR, so that a head with broken line ends is refused
// when it is complete instead of waiting for an end that never comes. The
// search may resume at `from`, the size of `bytes` at the previous call.
inline std::size_t FindRequestHeadEnd(std::string_view bytes, std::size_t from = 0) {
  std::size_t i = from >= 2 ? from - 2 : 0;
  for (; i + 1 < bytes.size(); ++i) {
    const char c = bytes[i];
    const char next = bytes[i + 1];
    if (c == '\n' && next == '\n') return i + 2;
    if (c == '\r' && next == '\r') return i + 2;
    if (c == '\n' && next == '\r' && i + 2 < bytes.size() && bytes[i + 2] == '\n') return i + 3;
  }
  return std::string_view::npos;
}

// The first fault of a complete head (request line to blank line), in byte
// order; None for a head whose every line ends in CRLF, whose header lines
// each begin with a visible byte and that holds no NUL.
inline HeadFault ScanRequestHead(std::string_view head) {
  bool lineStart = false;  // at the first byte of a header line
  for (std::size_t i = 0; i < head.size(); ++i) {
    const char c = head[i];
    if (lineStart && (c == ' ' || c == '\t')) return HeadFault::ObsoleteFold;
    lineStart = false;
    if (c == '\0') return HeadFault::NulByte;
    if (c == '\r') {
      if (i + 1 == head.size() || head[i + 1] != '\n') return HeadFault::BareCr;
      ++i;
      lineStart = true;
    } else if (c == '\n') {
      return HeadFault::BareLf;
    }
  }
  return HeadFault::None;
}

// A few words for the 400 answer's body.
inline const char* HeadFaultText(HeadFault fault) {
  switch (fault) {
    case HeadFault::None: return "";
    case HeadFault::NulByte: return "a NUL byte in the request head";
    case HeadFault::BareCr: return "a CR without LF in the request head";
    case HeadFault::BareLf: return "an LF without CR in the request head";
    case HeadFault::ObsoleteFold: return "a folded header line (it begins with a space or tab)";
  }
  return "";
}

}  // namespace veltrox::proxy
