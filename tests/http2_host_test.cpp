#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "policy/host_extraction.hpp"
#include "support/host_extraction_results.hpp"
#include "support/http2_frames.hpp"
#include "support/test_data.hpp"

namespace vosk {
namespace {

using test::found;
using test::headerBlock;
using test::http2Frame;
using test::kIncomplete;
using test::kNotFound;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kEndHeaders = NGHTTP2_FLAG_END_HEADERS;

Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

Bytes textBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The preface, then these frames.
Bytes afterPreface(std::initializer_list<Bytes> frames) {
  Bytes bytes = test::http2Preface();
  for (const Bytes& frame : frames) bytes.insert(bytes.end(), frame.begin(), frame.end());
  return bytes;
}

Bytes headers(const Bytes& block, std::uint8_t flags = kEndHeaders, std::uint32_t stream = 1) {
  return http2Frame(NGHTTP2_HEADERS, flags, stream, block);
}

Bytes get(std::string_view authority) {
  return headerBlock({{":method", "GET"}, {":scheme", "http"}, {":authority", authority}, {":path", "/"}});
}

// A block whose one big field is indexed once and then referred to `references` times.
Bytes repeatedField(std::size_t references) {
  const std::string big(3000, 'v');
  test::HeaderFields fields{{":authority", "allowed.test"}};
  for (std::size_t i = 0; i <= references; ++i) fields.emplace_back("x", big);
  return headerBlock(fields);
}

struct Case {
  std::string_view name;
  Bytes bytes;
  HostExtraction expected;
};

std::vector<Case> cases() {
  const Bytes block = get("blocked.test");
  const Bytes ping = http2Frame(NGHTTP2_PING, 0, 0, Bytes(8));
  // Literal :authority (static name index 1), not Huffman-coded, after an indexed ":method: GET".
  const Bytes literal = joined({{0x82, 0x01, 0x0C}, textBytes("blocked.test")});
  const std::size_t cut = block.size() / 2;
  const Bytes firstHalf(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(cut));
  const Bytes secondHalf(block.begin() + static_cast<std::ptrdiff_t>(cut), block.end());
  constexpr std::uint8_t kPadLength = 3;
  const Bytes padded = joined({{kPadLength, 0x80, 0, 0, 0, 0xFF}, block, Bytes(kPadLength)});
  return {
      {"curl's capture", test::readFileBytes(std::filesystem::path(VOSK_TEST_DATA_DIR) / "http/h2/prior-knowledge-curl.bin"),
       found("allowed.test")},
      {"encoded authority with port", afterPreface({headers(get("Blocked.Test:8080"))}), found("Blocked.Test")},
      {"literal authority", afterPreface({headers(literal)}), found("blocked.test")},
      {"host header, read as a Host line",
       afterPreface({headers(headerBlock({{":method", "GET"}, {"host", " blocked.test:80 "}}))}), found("blocked.test")},
      {"authority before host",
       afterPreface({headers(headerBlock({{"host", "allowed.test"}, {":authority", "blocked.test"}}))}),
       found("blocked.test")},
      {"empty authority decides",
       afterPreface({headers(headerBlock({{":authority", ""}, {"host", "blocked.test"}}))}), kNotFound},
      {"no authority", afterPreface({headers(headerBlock({{":method", "GET"}, {":path", "/"}}))}), kNotFound},
      {"frames before HEADERS skipped",
       afterPreface({http2Frame(NGHTTP2_SETTINGS, 0, 0, Bytes{0, 3, 0, 0, 0, 100}),
                     http2Frame(NGHTTP2_WINDOW_UPDATE, 0, 0, Bytes{0, 0xFF, 0, 1}), ping,
                     http2Frame(NGHTTP2_PRIORITY, 0, 3, Bytes{0, 0, 0, 0, 0xFF}), headers(block)}),
       found("blocked.test")},
      {"padded, with priority",
       afterPreface({headers(padded, kEndHeaders | NGHTTP2_FLAG_PADDED | NGHTTP2_FLAG_PRIORITY)}),
       found("blocked.test")},
      {"padding longer than the frame",
       afterPreface({headers(joined({{0xFF}, block}), kEndHeaders | NGHTTP2_FLAG_PADDED)}), kNotFound},
      {"CONTINUATION joined",
       afterPreface({headers(firstHalf, 0), http2Frame(NGHTTP2_CONTINUATION, 0, 1, {}),
                     http2Frame(NGHTTP2_CONTINUATION, kEndHeaders, 1, secondHalf)}),
       found("blocked.test")},
      {"CONTINUATION of another stream",
       afterPreface({headers(firstHalf, 0), http2Frame(NGHTTP2_CONTINUATION, kEndHeaders, 3, secondHalf)}), kNotFound},
      {"frame inside a header block",
       afterPreface({headers(firstHalf, 0), ping, http2Frame(NGHTTP2_CONTINUATION, kEndHeaders, 1, secondHalf)}),
       kNotFound},
      {"CONTINUATION without HEADERS", afterPreface({http2Frame(NGHTTP2_CONTINUATION, kEndHeaders, 1, block)}),
       kNotFound},
      {"HEADERS on stream 0", afterPreface({headers(block, kEndHeaders, 0)}), kNotFound},
      {"frame above 16 KiB", afterPreface({{0x00, 0x40, 0x01, NGHTTP2_SETTINGS, 0, 0, 0, 0, 0}}), kNotFound},
      {"index past the tables", afterPreface({headers({0xC0})}), kNotFound},
      {"literal cut short", afterPreface({headers(joined({{0x01, 0x0C}, textBytes("blocked")}))}), kNotFound},
      {"header list of 60 KiB", afterPreface({headers(repeatedField(19))}), found("allowed.test")},
      {"header list above 64 KiB", afterPreface({headers(repeatedField(21))}), kNotFound},
      {"HTTP/1.1 request", textBytes("GET / HTTP/1.1\r\nHost: blocked.test\r\n\r\n"), kNotFound},
      {"another version", textBytes("PRI * HTTP/2.1\r\n\r\nSM\r\n\r\n"), kNotFound},
  };
}

HostExtraction parse(std::span<const std::uint8_t> bytes) { return extractHTTP2Host(bytes); }

TEST(Http2Host, FirstHeaderBlock) {
  for (const Case& c : cases()) EXPECT_EQ(parse(c.bytes), c.expected) << c.name;
}

// A host is named only once its whole block is in; before that no cut names one.
TEST(Http2Host, EveryCut) {
  for (const Case& c : cases()) {
    for (std::size_t n = 0; n < c.bytes.size(); ++n) {
      const HostExtraction early = parse(std::span(c.bytes).first(n));
      if (c.expected.host) {
        ASSERT_EQ(early, kIncomplete) << c.name << ", cut at " << n;
      } else {
        ASSERT_FALSE(early.host) << c.name << ", cut at " << n;
      }
    }
  }
}

TEST(Http2Host, PrefaceStart) {
  const struct {
    std::string_view bytes;
    bool starts;
  } prefixes[] = {
      {"", true}, {"PRI * HTTP/2", true}, {"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\nxyz", true}, {"POST", false},
      {"PRI * HTTP/1.1\r\n", false},
  };
  for (const auto& [text, starts] : prefixes) EXPECT_EQ(startsWithHTTP2Preface(textBytes(text)), starts) << text;
}

}  // namespace
}  // namespace vosk
