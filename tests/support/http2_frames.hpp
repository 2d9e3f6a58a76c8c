#pragma once

#include <nghttp2/nghttp2.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

// HTTP/2 frames as a client sends them first, for the readers' and the flow
// path's tests; header blocks are encoded by libnghttp2's encoder.
namespace vosk::test {

using HeaderFields = std::vector<std::pair<std::string_view, std::string_view>>;

inline std::vector<std::uint8_t> http2Preface() {
  const std::string_view preface = NGHTTP2_CLIENT_MAGIC;
  return {preface.begin(), preface.end()};
}

inline std::vector<std::uint8_t> http2Frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                                            std::span<const std::uint8_t> payload) {
  const std::size_t length = payload.size();
  std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(length), type, flags,
                                  static_cast<std::uint8_t>(stream >> 24), static_cast<std::uint8_t>(stream >> 16),
                                  static_cast<std::uint8_t>(stream >> 8), static_cast<std::uint8_t>(stream)};
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

// One header block, encoded by a fresh encoder with the default table size.
inline std::vector<std::uint8_t> headerBlock(const HeaderFields& fields) {
  std::vector<nghttp2_nv> list;
  for (const auto& [name, value] : fields) {
    list.push_back({reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
                    reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
                    NGHTTP2_NV_FLAG_NONE});
  }
  nghttp2_hd_deflater* raw = nullptr;
  if (nghttp2_hd_deflate_new(&raw, NGHTTP2_DEFAULT_HEADER_TABLE_SIZE) != 0) return {};
  const std::unique_ptr<nghttp2_hd_deflater, decltype(&nghttp2_hd_deflate_del)> deflater(raw, nghttp2_hd_deflate_del);
  std::vector<std::uint8_t> block(nghttp2_hd_deflate_bound(deflater.get(), list.data(), list.size()));
  const auto length = nghttp2_hd_deflate_hd(deflater.get(), block.data(), block.size(), list.data(), list.size());
  block.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
  return block;
}

// The preface, an empty SETTINGS frame and a GET for http://authority/ in one HEADERS frame.
inline std::vector<std::uint8_t> http2Request(std::string_view authority) {
  std::vector<std::uint8_t> bytes = http2Preface();
  const auto settings = http2Frame(NGHTTP2_SETTINGS, NGHTTP2_FLAG_NONE, 0, {});
  const auto headers =
      http2Frame(NGHTTP2_HEADERS, NGHTTP2_FLAG_END_HEADERS | NGHTTP2_FLAG_END_STREAM, 1,
                 headerBlock({{":method", "GET"}, {":scheme", "http"}, {":authority", authority}, {":path", "/"}}));
  bytes.insert(bytes.end(), settings.begin(), settings.end());
  bytes.insert(bytes.end(), headers.begin(), headers.end());
  return bytes;
}

}  // namespace vosk::test
