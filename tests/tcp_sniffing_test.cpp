#include <gtest/gtest.h>

#include <filesystem>

#include "support/flow_path_fixture.hpp"
#include "support/http2_frames.hpp"
#include "support/test_data.hpp"

namespace vosk::test {
namespace {

const std::vector<std::string> kClosedWhileSniffing{"open", "read", "closeRead", "closeWrite"};

class TCPSniffingTest : public FlowPathTest {
 protected:
  static std::size_t reads(const FakeTCPFlow& flow) { return flow.core.log.count("read"); }
  // What reached the upstream side once the connection made for the flow is ready.
  std::vector<Bytes> replayedUpstream() {
    const auto connection = platform.connections.last();
    if (!connection) return {};  // none made: a failure, not a crash
    connection->deliverState(ConnectionState::Kind::ready);
    platform.settle();
    return connection->sends();
  }
};

TEST_F(TCPSniffingTest, ATLSClientHelloOn443IsDecidedAfterOneRead) {
  for (const auto& file : testDataFiles("tls")) {  // captured from real clients
    SCOPED_TRACE(file.filename());
    const Bytes hello = readFileBytes(file);
    const auto flow = offerTCP("443");
    flow->pushRead({hello, std::nullopt});
    platform.settle();

    EXPECT_EQ(reads(*flow), 1u);
    EXPECT_EQ(platform.log->takeMessages(),
              std::vector<std::string>{"🔎 flow host: allowed.test:443, blockingEnabled=false, blocked=false"});
    EXPECT_EQ(platform.connections.last()->host, kRemoteHost);
    EXPECT_EQ(platform.connections.last()->port, 443);
    EXPECT_EQ(replayedUpstream(), std::vector<Bytes>{hello});
    EXPECT_EQ(entryOf({flow, platform.connections.last()})->hostname(), "allowed.test");
  }
  EXPECT_GE(platform.connections.made().size(), 1u);
}

TEST_F(TCPSniffingTest, AnHTTPHeadArrivingInPiecesIsReadUntilTheHostLineIsComplete) {
  const auto flow = offerTCP("80");
  flow->pushData("GET / HTTP/1.1\r\nHo");
  platform.settle();
  flow->pushData("st: allowed.te");  // a Host value cut short must not decide
  platform.settle();
  EXPECT_EQ(reads(*flow), 3u);
  EXPECT_TRUE(platform.connections.made().empty());

  flow->pushData("st\r\nAccept: */*\r\n\r\n");
  platform.settle();
  EXPECT_EQ(reads(*flow), 3u);
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{"🔎 flow host: allowed.test:80, blockingEnabled=false, blocked=false"});
  EXPECT_EQ(replayedUpstream(), std::vector<Bytes>{bytesOf("GET / HTTP/1.1\r\nHost: allowed.test\r\nAccept: */*\r\n\r\n")});
}

TEST_F(TCPSniffingTest, AnHTTP2RequestWithPriorKnowledgeIsReadUntilItsFirstHeaderBlockIsComplete) {
  const Bytes request = readFileBytes(std::filesystem::path(VOSK_TEST_DATA_DIR) / "http/h2/prior-knowledge-curl.bin");
  const auto cut = request.end() - 5;  // inside the header block
  const auto flow = offerTCP("80");
  flow->pushRead({Bytes(request.begin(), cut), std::nullopt});
  platform.settle();
  EXPECT_TRUE(platform.connections.made().empty());

  flow->pushRead({Bytes(cut, request.end()), std::nullopt});
  platform.settle();
  EXPECT_EQ(reads(*flow), 2u);
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{"🔎 flow host: allowed.test:80, blockingEnabled=false, blocked=false"});
  EXPECT_EQ(replayedUpstream(), std::vector<Bytes>{request});
}

TEST_F(TCPSniffingTest, ABlockedHTTP2RequestIsRecordedAndAnnouncedAsAnHTTPOne) {
  peer.setBlocking(true, {makeSite(1, "blocked", {"blocked.test"})});
  const auto flow = offerTCP("80");
  flow->pushRead({http2Request("www.blocked.test"), std::nullopt});
  platform.settle();

  EXPECT_EQ(flow->core.log.calls(), kClosedWhileSniffing);
  EXPECT_EQ(platform.decisions.recorded(), std::vector<std::string>{"http blocked www.blocked.test"});
  EXPECT_EQ(platform.notifier.posted(), std::vector<std::string>{"com.brelvant.vosk.siteBlocked"});
  EXPECT_TRUE(platform.connections.made().empty());
}

TEST_F(TCPSniffingTest, PlainHTTPOn443GoesOnlyToTheTLSParserAndPassesThroughAfterOneRead) {
  const auto flow = offerTCP("443");
  flow->pushData("GET / HTTP/1.1\r\nHost: allowed.test\r\n\r\n");
  platform.settle();
  EXPECT_EQ(reads(*flow), 1u);
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{
                "⚠️ Could not determine hostname for :443 flow after 38 bytes — passing through unblocked"});
  EXPECT_EQ(replayedUpstream().size(), 1u);
  EXPECT_EQ(entryOf({flow, platform.connections.last()})->hostname(), std::nullopt);
}

TEST_F(TCPSniffingTest, SniffingStopsOnceSixtyFourKibibytesHaveBeenRead) {
  const auto flow = offerTCP("80");
  flow->pushData("GET /" + std::string(65535 - 5, 'a'));  // a request line that never ends
  platform.settle();
  EXPECT_EQ(reads(*flow), 2u);
  EXPECT_TRUE(platform.connections.made().empty());

  flow->pushData("a");
  platform.settle();
  EXPECT_EQ(reads(*flow), 2u);
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{
                "⚠️ Could not determine hostname for :80 flow after 65536 bytes — passing through unblocked"});
  EXPECT_EQ(replayedUpstream().at(0).size(), 65536u);
}

// An end closes silently; a read with data and an error is an error.
TEST_F(TCPSniffingTest, AnEndOrAReadErrorClosesTheFlow) {
  const auto ended = offerTCP("443");
  ended->pushEnd();
  const auto failed = offerTCP("80");
  failed->pushError("connection reset", bytesOf("GET / HTTP/1.1\r\nHost: allowed.test\r\n\r\n"));
  platform.settle();
  EXPECT_EQ(ended->core.log.calls(), kClosedWhileSniffing);
  EXPECT_EQ(failed->core.log.calls(), kClosedWhileSniffing);
  EXPECT_EQ(peer.trackedFlowCount(), 0);
  EXPECT_EQ(platform.log->messages(), std::vector<std::string>{"❌ readData error while sniffing: connection reset"});
  EXPECT_TRUE(platform.connections.made().empty());
}

TEST_F(TCPSniffingTest, AFailedOpenClosesTheFlow) {
  const auto flow = tcpFlow("443");
  flow->core.openScript.error = Error{"not permitted"};
  EXPECT_TRUE(provider->handleNewFlow(flow));
  platform.settle();
  EXPECT_EQ(flow->core.log.calls(), (std::vector<std::string>{"open", "closeRead", "closeWrite"}));
  EXPECT_EQ(peer.trackedFlowCount(), 0);
  EXPECT_EQ(platform.log->messages(), std::vector<std::string>{"❌ Failed to open TCP flow: not permitted"});
}

TEST_F(TCPSniffingTest, EachReadHasItsOwnFifteenSeconds) {
  const auto flow = offerTCP("80");
  for (const char byte : std::string("GET / HTTP/1.1\r\nHost: a.test\r\n")) {
    platform.advance(14);
    flow->pushData(std::string(1, byte));
  }
  platform.settle();
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{"🔎 flow host: a.test:80, blockingEnabled=false, blocked=false"});
  EXPECT_EQ(platform.connections.made().size(), 1u);

  const auto silent = offerTCP("80");
  silent->pushData("GET / HTTP/1.1\r\n");
  platform.advance(14.5);
  EXPECT_FALSE(silent->readClosed());
  platform.advance(0.5);
  EXPECT_EQ(silent->core.log.calls(), (std::vector<std::string>{"open", "read", "read", "closeRead", "closeWrite"}));
  EXPECT_EQ(platform.log->messages().back(), "⏱️ Flow to :80 sent no data within 15s while sniffing, closing");
}

TEST_F(TCPSniffingTest, ABlockedFlowIsAnnouncedThenClosedAndNothingGoesUpstream) {
  const auto flow = offerTCP("80");
  // The list in force when the host is known decides, not the one at admission.
  peer.setBlocking(true, {makeSite(1, "blocked", {"blocked.test"})});
  std::size_t postedAtClose = 0;
  flow->core.log.onCall = [&](std::string_view call) {
    if (call == "closeRead") postedAtClose = platform.notifier.posted().size();
  };
  flow->pushData("GET / HTTP/1.1\r\nHost: www.blocked.test\r\n\r\n");
  platform.settle();

  EXPECT_EQ(postedAtClose, 1u);
  EXPECT_EQ(flow->core.log.calls(), kClosedWhileSniffing);
  EXPECT_EQ(platform.notifier.posted(), std::vector<std::string>{"com.brelvant.vosk.siteBlocked"});
  EXPECT_EQ(platform.log->messages(),
            (std::vector<std::string>{"🔎 flow host: www.blocked.test:80, blockingEnabled=true, blocked=true",
                                      "📣 Posted siteBlocked Darwin notification (blocked host: www.blocked.test)"}));
  EXPECT_TRUE(platform.connections.made().empty());
  EXPECT_EQ(peer.trackedFlowCount(), 0);
  flow->core.log.onCall = nullptr;  // the fixture's teardown closes the flow again, after postedAtClose is gone
}

}  // namespace
}  // namespace vosk::test
