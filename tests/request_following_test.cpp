#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/flow_path_fixture.hpp"
#include "support/http2_stream.hpp"
#include "support/sites_data.hpp"

namespace vosk::test {
namespace {

const std::string kAllowed = "GET / HTTP/1.1\r\nHost: allowed.test\r\n\r\n";
const std::string kBlocked = "GET / HTTP/1.1\r\nHost: blocked.test\r\n\r\n";

class RequestFollowingTest : public FlowPathTest {
 protected:
  void start(bool strict) {
    platform.host.configuration = ConfigurationDictionary{
        {"blockingEnabled", true},
        {"strictMode", strict},
        {"sitesData", sitesData({makeSite(1, "blocked", {"blocked.test"})})}};
    provider->startProxyWithOptions(std::nullopt, [](std::optional<Error>) {});
    platform.settle();
    // Past the start's quiet time and the last notification's window, so a notification would show.
    platform.advance(startupNotifyGrace + blockedNotifyWindow);
  }
  // A flow to :80 whose first request sniffing read as one for allowed.test, relayed.
  Relayed following(std::string_view firstBytes) {
    Relayed r{tcpFlow("80"), nullptr};
    connectTracked(r.flow, firstBytes, "allowed.test");
    r.connection = platform.connections.last();
    r.connection->deliverState(ConnectionState::Kind::ready);
    platform.settle();
    return r;
  }
};

// Every request is judged before any of its bytes go upstream; a request
// closed leaves the record and notification a first one would.
TEST_F(RequestFollowingTest, EveryRequestIsJudgedBeforeItGoesUpstream) {
  struct Case {
    const char* name;
    bool strict;
    std::string firstBytes;
    std::vector<std::string> reads;
    std::string sent;  // what went upstream
    bool closed;       // for a blocked host
  };
  const std::string post = "POST / HTTP/1.1\r\nHost: allowed.test\r\nContent-Length: 10\r\n\r\n";
  const std::string chunked = "POST / HTTP/1.1\r\nHost: allowed.test\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string upgrade = "GET /chat HTTP/1.1\r\nHost: allowed.test\r\nUpgrade: websocket\r\n\r\n";
  const std::string noHost = "GET / HTTP/1.0\r\n\r\n";
  const std::string overCap = "GET / HTTP/1.1\r\nX: " + std::string(maxSniffBytes, 'x');
  Http2Stream h2;
  const std::string h2First = Http2Stream::preface() + h2.get(1, "allowed.test");
  const std::string h2Data = Http2Stream::frame(NGHTTP2_DATA, 0, 1, "GET / HTTP/1.1\r\nHost: blocked.test\r\n\r\n");
  const std::string h2Allowed = h2.get(3, "allowed.test");
  const std::string h2Blocked = h2.get(5, "blocked.test");
  const std::vector<Case> cases{
      {"keep-alive to an allowed host", false, kAllowed, {"GET /2 HTTP/1.1\r\n", "Host: allowed.test\r\n\r\n"},
       kAllowed + "GET /2 HTTP/1.1\r\nHost: allowed.test\r\n\r\n", false},
      {"a later request for a blocked host", false, kAllowed, {kBlocked}, kAllowed, true},
      {"pipelined behind the first", false, kAllowed + kBlocked, {}, "", true},
      {"a body that reads like a request", false, post, {"GET / HTTP/1.1\r\nHost: blocked.test\r\n", kAllowed},
       post + "GET / HTTP/1.1\r\nHost: blocked.test\r\n" + kAllowed, false},
      {"behind a body split across reads", false, post + "12345", {"67890" + kBlocked}, post + "1234567890", true},
      // What came in the same read as the blocked request goes with it.
      {"behind a chunked body", false, chunked + "5\r\nhel", {"lo\r\n0\r\n\r\n" + kBlocked}, chunked + "5\r\nhello",
       true},
      {"HTTP/2: a body and a later stream for an allowed host", false, h2First, {h2Data + h2Allowed},
       h2First + h2Data + h2Allowed, false},
      {"HTTP/2: a later stream for a blocked host", false, h2First, {h2Data + h2Allowed, h2Blocked},
       h2First + h2Data + h2Allowed, true},
      {"after a WebSocket upgrade", false, upgrade, {"\x81\x05" + kBlocked}, upgrade + "\x81\x05" + kBlocked, false},
      {"after a declined upgrade", false, upgrade, {kBlocked}, upgrade, true},
      {"no host outside strict mode", false, kAllowed, {noHost}, kAllowed + noHost, false},
      {"no host in strict mode", true, kAllowed, {noHost}, kAllowed, true},
      {"a head over the cap outside strict mode", false, kAllowed, {overCap}, kAllowed + overCap, false},
      {"a head over the cap in strict mode", true, kAllowed, {overCap}, kAllowed, true},
      // The client's end after part of a head: passed on, or dropped in strict mode; then the end.
      {"a head cut short outside strict mode", false, kAllowed, {"GET / HTTP/1.1\r\n", ""},
       kAllowed + "GET / HTTP/1.1\r\n", false},
      {"a head cut short in strict mode", true, kAllowed, {"GET / HTTP/1.1\r\n", ""}, kAllowed, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start(c.strict);
    const std::size_t postedBefore = platform.notifier.posted().size();
    const std::size_t recordedBefore = platform.decisions.recorded().size();
    const Relayed r = following(c.firstBytes);
    for (const std::string& read : c.reads) {
      r.flow->pushData(read);  // empty: the end of the stream
      platform.settle();
    }
    EXPECT_EQ(r.connection->sent(), c.sent);
    EXPECT_EQ(r.connection->endOfStreamSent(), !c.reads.empty() && c.reads.back().empty());
    EXPECT_EQ(ended(r), c.closed);
    // Only a listed site is recorded and announced.
    const bool listed = c.closed && !c.strict;
    EXPECT_EQ(platform.decisions.recorded().size(), recordedBefore + (listed ? 1 : 0));
    EXPECT_EQ(platform.notifier.posted().size(), postedBefore + (listed ? 1 : 0));
    if (!c.closed) entryOf(r)->closeFlow();
    platform.settle();
  }
  EXPECT_EQ(platform.decisions.recorded().front(), "http blocked blocked.test");
}

}  // namespace
}  // namespace vosk::test
