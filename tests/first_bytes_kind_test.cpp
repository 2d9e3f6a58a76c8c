#include "policy/first_bytes_kind.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace vosk {
namespace {

FirstBytesKind kindOf(std::string_view text, std::size_t cap = 64) {
  return firstBytesKind({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, cap);
}

TEST(FirstBytesKindTest, ReadsTLSAndWholeRequestLinesAndLeavesEveryOtherProtocol) {
  using enum FirstBytesKind;
  EXPECT_EQ(kindOf(""), undecided);
  EXPECT_EQ(kindOf("\x16"), undecided);
  EXPECT_EQ(kindOf("\x16\x03\x01"), tls);
  EXPECT_EQ(kindOf("\x16\x01"), other);
  EXPECT_EQ(kindOf("GE"), undecided);
  EXPECT_EQ(kindOf("GET /index.html HTT"), undecided);
  EXPECT_EQ(kindOf("GET / HTTP/1.1\r\n"), http);
  EXPECT_EQ(kindOf("PROPFIND /a HTTP/1.1\n"), http) << "any method a server may know";
  EXPECT_EQ(kindOf("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"), http);
  EXPECT_EQ(kindOf("GET /" + std::string(70, 'a')), http) << "still a request line at the cap";
  EXPECT_EQ(kindOf("GET /" + std::string(70, 'a') + "\r\n"), http) << "a line end past the cap is not read";
  for (const std::string_view other_ : {"SSH-2.0-x\r\n", "EHLO client.test\r\n", "PING\r\n", "get key\r\n",
                                        "NICK me\r\n", " HTTP/1.1\r\n", "\x05\x01\x00"}) {
    EXPECT_EQ(kindOf(other_), other) << other_;
  }
}

}  // namespace
}  // namespace vosk
