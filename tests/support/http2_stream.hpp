#pragma once

#include <nghttp2/nghttp2.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vosk::test {

// A client's HTTP/2 stream, built frame by frame; header blocks are encoded by
// one encoder, so later blocks refer to the table the earlier ones filled.
class Http2Stream {
 public:
  using Fields = std::vector<std::pair<std::string, std::string>>;

  Http2Stream() : deflater_(newDeflater(), nghttp2_hd_deflate_del) {}

  static std::string preface() { return NGHTTP2_CLIENT_MAGIC; }

  static std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream, const std::string& payload) {
    std::string bytes{static_cast<char>(payload.size() >> 16), static_cast<char>(payload.size() >> 8),
                      static_cast<char>(payload.size()), static_cast<char>(type), static_cast<char>(flags),
                      static_cast<char>(stream >> 24), static_cast<char>(stream >> 16), static_cast<char>(stream >> 8),
                      static_cast<char>(stream)};
    return bytes + payload;
  }

  std::string block(const Fields& fields) {
    std::vector<nghttp2_nv> nva;
    for (const auto& [name, value] : fields) {
      nva.push_back({reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
                     reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
                     NGHTTP2_NV_FLAG_NONE});
    }
    std::string out(nghttp2_hd_deflate_bound(deflater_.get(), nva.data(), nva.size()), '\0');
    const auto written = nghttp2_hd_deflate_hd(deflater_.get(), reinterpret_cast<std::uint8_t*>(out.data()),
                                               out.size(), nva.data(), nva.size());
    if (written < 0) throw std::runtime_error("header block not encoded");
    out.resize(static_cast<std::size_t>(written));
    return out;
  }

  // A request's HEADERS frame with its whole block, ending the stream.
  std::string get(std::uint32_t stream, const std::string& authority) {
    return frame(NGHTTP2_HEADERS, NGHTTP2_FLAG_END_HEADERS | NGHTTP2_FLAG_END_STREAM, stream,
                 block({{":method", "GET"}, {":scheme", "http"}, {":authority", authority}, {":path", "/"}}));
  }

 private:
  static nghttp2_hd_deflater* newDeflater() {
    nghttp2_hd_deflater* deflater = nullptr;
    if (nghttp2_hd_deflate_new(&deflater, 4096) != 0) throw std::runtime_error("no header encoder");
    return deflater;
  }

  std::unique_ptr<nghttp2_hd_deflater, decltype(&nghttp2_hd_deflate_del)> deflater_;
};

}  // namespace vosk::test
