#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "policy/host_extraction.hpp"
#include "support/host_extraction_results.hpp"
#include "support/test_data.hpp"

namespace vosk {
namespace {

using test::found;
using test::kIncomplete;
using test::kNotFound;

HostExtraction parse(std::string_view text) {
  return extractHTTPHost(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// A request whose Host line carries `hostLine` after "Host:".
std::string requestWithHost(std::string_view hostLine) {
  return "GET / HTTP/1.1\r\nHost:" + std::string(hostLine) + "\r\nAccept: */*\r\n\r\n";
}

TEST(HttpHost, NoHostLine) {
  EXPECT_EQ(parse(""), kIncomplete);
  EXPECT_EQ(parse("GET / HTTP/1.1"), kIncomplete);
  EXPECT_EQ(parse("GET / HTTP/1.1\r\nAccept: */*\r\n"), kIncomplete);
  EXPECT_EQ(parse("GET / HTTP/1.1\r\nAccept: */*\r\n\r\n"), kNotFound);
  EXPECT_EQ(parse("GET / HTTP/1.1\nAccept: */*\n\n"), kNotFound);
  EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost : allowed.test\r\n\r\n"), kNotFound);
}

// Bytes that cannot begin a request pass at once instead of waiting for a
// header block that never comes.
TEST(HttpHost, NotARequest) {
  EXPECT_EQ(parse("\r\n\nGET / HT"), kIncomplete);
  EXPECT_EQ(parse("\r"), kIncomplete);
  EXPECT_EQ(parse(std::string(32, 'G')), kIncomplete);
  EXPECT_EQ(parse(std::string(33, 'G')), kNotFound);
  EXPECT_EQ(parse("\x16\x03\x01\x02\x00"), kNotFound);
  EXPECT_EQ(parse("(GET / HTTP/1.1"), kNotFound);
  EXPECT_EQ(parse("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n"), kNotFound);
  EXPECT_EQ(parse("GET /\r\n"), kNotFound);
}

TEST(HttpHost, ValueAsSentWithoutSurroundingSpace) {
  EXPECT_EQ(parse("GET / HTTP/1.1\r\nHOST:Allowed.Test.\r\n\r\n"), found("Allowed.Test."));
  EXPECT_EQ(parse(requestWithHost(" \t allowed.test \t ")), found("allowed.test"));
  // 0xA0 (no-break space) is trimmed at the ends, kept inside; Latin-1 comes back as UTF-8.
  EXPECT_EQ(parse(requestWithHost("\xA0" "caf\xE9\xA0" "a.test\xA0")), found("caf\xC3\xA9\xC2\xA0" "a.test"));
}

// The port is everything from the first colon after a leading bracketed
// IPv6 literal, as servers read it.
TEST(HttpHost, PortRemoval) {
  const struct {
    std::string_view hostLine;
    HostExtraction expected;
  } cases[] = {
      {" allowed.test:8080", found("allowed.test")},
      {" blocked.test:000080", found("blocked.test")},
      {" blocked.test:", found("blocked.test")},
      {" blocked.test:80x", found("blocked.test")},
      {" blocked.test:x", found("blocked.test")},
      {" blocked.test:80:80", found("blocked.test")},
      {" 2001:db8::1", found("2001")},
      {" [2001:db8::1]:443", found("[2001:db8::1]")},
      {" [2001:db8::1]", found("[2001:db8::1]")},
      {" [2001:db8::1]:80x", found("[2001:db8::1]")},
      {" [2001:db8::1]x:80", found("[2001:db8::1]x")},
      {" [2001:db8::1:80", found("[2001")},
      // No second trim after the port is cut.
      {" allowed.test :80", found("allowed.test ")},
      {" :80", kNotFound},
      {"", kNotFound},
  };
  for (const auto& [hostLine, expected] : cases) EXPECT_EQ(parse(requestWithHost(hostLine)), expected) << hostLine;
}

TEST(HttpHost, WhichHostLineCounts) {
  EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost: first.test\r\nHost: second.test\r\n\r\n"), found("first.test"));
  EXPECT_EQ(parse("POST / HTTP/1.1\r\nContent-Length: 20\r\n\r\nhost: body.test\r\n"), found("body.test"));
  // An empty first Host line decides: no fall back to the second.
  EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost:\r\nHost: second.test\r\n\r\n"), kNotFound);
  EXPECT_EQ(parse("\r\n\nGET / HTTP/1.1\nHost: lf.test\nAccept: */*\n\n"), found("lf.test"));
}

// A server takes the host from an absolute target and ignores the Host line.
TEST(HttpHost, TargetNamesTheHost) {
  EXPECT_EQ(parse("GET http://blocked.test/ HTTP/1.1\r\nHost: allowed.test\r\n\r\n"), found("blocked.test"));
  EXPECT_EQ(parse("GET HTTP://user:pw@Blocked.Test:8080?q HTTP/1.1\r\n"), found("Blocked.Test"));
  EXPECT_EQ(parse("GET ws+x://[2001:db8::1]:80/a HTTP/1.1\r\n"), found("[2001:db8::1]"));
  EXPECT_EQ(parse("CONNECT blocked.test:443 HTTP/1.1\r\nHost: allowed.test\r\n\r\n"), found("blocked.test"));
  EXPECT_EQ(parse("GET http://blocked.test:80:80/ HTTP/1.1\r\n"), found("blocked.test"));
  EXPECT_EQ(parse("CONNECT blocked.test:443abc HTTP/1.1\r\n"), found("blocked.test"));
  // The target's host is percent-decoded after the port is cut; only the Host line is taken as sent.
  EXPECT_EQ(parse("GET http://blocked%2etest/ HTTP/1.1\r\n"), found("blocked.test"));
  EXPECT_EQ(parse("GET http://u%40@%62locked.test%3A80:8080/ HTTP/1.1\r\n"), found("blocked.test:80"));
  EXPECT_EQ(parse("GET http://caf%E9%2.test%/ HTTP/1.1\r\n"), found("caf\xC3\xA9%2.test%"));
  EXPECT_EQ(parse(requestWithHost(" blocked%2Etest")), found("blocked%2Etest"));
  // Origin form, or no authority, leaves it to the Host line.
  EXPECT_EQ(parse("GET /http://blocked.test/ HTTP/1.1\r\nHost: allowed.test\r\n"), found("allowed.test"));
  EXPECT_EQ(parse("GET http:///x HTTP/1.1\r\nHost: allowed.test\r\n"), found("allowed.test"));
  EXPECT_EQ(parse("GET http://blocked.test/ HTTP/1.1"), kIncomplete);
}

TEST(HttpHost, HostLineStillArriving) {
  EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost: allowed.te"), kIncomplete);
  EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost: allowed.test\r"), kIncomplete);
  EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost: allowed.test\r\n"), found("allowed.test"));
  EXPECT_EQ(parse("GET / HTTP/1.1\nHost: allowed.test\n"), found("allowed.test"));
  // After the header block an unfinished line can no longer reveal anything.
  EXPECT_EQ(parse("POST / HTTP/1.1\r\n\r\nHost: body.test"), kNotFound);
}

TEST(HttpHost, RealRequestsAtEveryPrefix) {
  const auto files = test::testDataFiles("http");
  ASSERT_GE(files.size(), 3U);
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const auto bytes = test::readFileBytes(file);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const std::size_t hostLineStart = text.find("\r\nHost: ") + 2;
    const std::size_t hostLineEnd = text.find("\r\n", hostLineStart) + 2;
    for (std::size_t n = 0; n <= text.size(); ++n) {
      ASSERT_EQ(parse(text.substr(0, n)), n < hostLineEnd ? kIncomplete : found("allowed.test")) << "prefix of " << n;
    }
  }
}

}  // namespace
}  // namespace vosk
