#include "body_codec.h"

#include <brotli/decode.h>
#include <brotli/encode.h>
#include <zlib.h>

#include "text_scan.h"

namespace veltrox::proxy {
namespace {

// windowBits: 15 + 16 for gzip, 15 for a zlib stream, -15 for raw deflate.
std::optional<std::string> Inflate(std::string_view data, int windowBits, std::size_t limit) {
  std::string out;
  z_stream z{};
  if (inflateInit2(&z, windowBits) != Z_OK) return std::nullopt;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  char chunk[16384];
  int rc = Z_OK;
  for (;;) {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    std::size_t produced = sizeof chunk - z.avail_out;
    if (out.size() + produced > limit) {
      rc = Z_MEM_ERROR;
      break;
    }
    out.append(chunk, produced);
    if (rc == Z_STREAM_END) {
      // Concatenated gzip members decode one after another.
      if (windowBits > 15 && z.avail_in > 0) {
        inflateReset(&z);
        continue;
      }
      break;
    }
    if (rc != Z_OK) break;
    if (z.avail_in == 0 && produced == 0) {
      rc = Z_DATA_ERROR;  // truncated stream
      break;
    }
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) return std::nullopt;
  return out;
}

std::optional<std::string> BrotliDecode(std::string_view data, std::size_t limit) {
  BrotliDecoderState* state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
  if (state == nullptr) return std::nullopt;
  std::string out;
  const auto* next = reinterpret_cast<const uint8_t*>(data.data());
  std::size_t available = data.size();
  BrotliDecoderResult rc;
  bool tooLarge = false;
  do {
    uint8_t chunk[16384];
    uint8_t* nextOut = chunk;
    std::size_t availableOut = sizeof chunk;
    rc = BrotliDecoderDecompressStream(state, &available, &next, &availableOut, &nextOut, nullptr);
    std::size_t produced = sizeof chunk - availableOut;
    if (out.size() + produced > limit) {
      tooLarge = true;
      break;
    }
    out.append(reinterpret_cast<char*>(chunk), produced);
  } while (rc == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT);
  BrotliDecoderDestroyInstance(state);
  if (tooLarge || rc != BROTLI_DECODER_RESULT_SUCCESS) return std::nullopt;
  return out;
}

std::optional<std::string> Deflate(std::string_view data, int windowBits) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return std::nullopt;
  }
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::string> DecodeContent(std::string_view coding, std::string_view data, std::size_t limit) {
  if (EqualsText(coding, "gzip", true) || EqualsText(coding, "x-gzip", true)) {
    return Inflate(data, 15 + 16, limit);
  }
  if (EqualsText(coding, "deflate", true)) {
    // Servers send both the zlib wrapper that the standard asks for and raw deflate.
    if (auto out = Inflate(data, 15, limit)) return out;
    return Inflate(data, -15, limit);
  }
  if (EqualsText(coding, "br", true)) return BrotliDecode(data, limit);
  if (EqualsText(coding, "identity", true)) return std::string(data);
  return std::nullopt;
}

std::optional<std::string> EncodeContent(std::string_view coding, std::string_view data) {
  if (EqualsText(coding, "gzip", true)) return Deflate(data, 15 + 16);
  if (EqualsText(coding, "deflate", true)) return Deflate(data, 15);
  if (EqualsText(coding, "br", true)) {
    std::string out(BrotliEncoderMaxCompressedSize(data.size()) + 16, '\0');
    std::size_t size = out.size();
    if (!BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, data.size(),
                               reinterpret_cast<const uint8_t*>(data.data()), &size,
                               reinterpret_cast<uint8_t*>(out.data()))) {
      return std::nullopt;
    }
    out.resize(size);
    return out;
  }
  return std::nullopt;
}

}  // namespace veltrox::proxy
