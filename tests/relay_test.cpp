#include <gtest/gtest.h>

#include "support/flow_path_fixture.hpp"

namespace vosk::test {
namespace {

class RelayTest : public FlowPathTest {
 protected:
  // Torn down, and the flow's place given back.
  void expectTornDown(const Relayed& r, std::int64_t unitsStillTracked = 0) {
    EXPECT_TRUE(ended(r));
    EXPECT_EQ(peer.trackedFlowCount(), unitsStillTracked);
  }
  Instant now() const { return platform.mainQueue.now(); }
};

// Ready just inside the connect time limit withdraws it; the flow is
// registered once its first bytes are out, and later states are the relay's.
TEST_F(RelayTest, AReplayedFlowIsRegisteredOnceItsFirstBytesAreOut) {
  const auto flow = tcpFlow("443");
  connectTracked(flow, "hello", std::nullopt);
  const auto connection = platform.connections.last();
  connection->holdSends(true);
  platform.advance(14);
  connection->deliverState(ConnectionState::Kind::ready);
  platform.advance(3);
  EXPECT_EQ(peer.activeFlows().size(), 0u);  // not before the bytes are out

  connection->completeSend();
  connection->deliverState(ConnectionState::Kind::failed, Error{"reset"});
  platform.settle();
  const RelayedFlow* entry = entryOf({flow, connection});
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->lastActivity(), now());
  EXPECT_EQ(connection->sends(), std::vector<Bytes>{bytesOf("hello")});
  EXPECT_FALSE(connection->cancelled());
  EXPECT_TRUE(platform.log->messages().empty());
}

// The completion is delivered right behind the fired time limit, before the
// teardown has cancelled the connection.
TEST_F(RelayTest, AReplayCompletingAfterItsTimeLimitCreatesNoEntry) {
  const auto flow = tcpFlow("443");
  connectTracked(flow, "hello", "allowed.test");
  const auto connection = platform.connections.last();
  connection->holdSends(true);
  connection->deliverState(ConnectionState::Kind::ready);
  platform.mainQueue.schedule(initialBytesSendTimeout, [&] { connection->completeSend(); });
  platform.advance(14.5);
  EXPECT_FALSE(connection->cancelled());
  platform.advance(0.5);
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{
                "⏱️ Initial-bytes send to 198.18.0.10:443 never completed within 15s, cancelling"});
  EXPECT_TRUE(peer.activeFlows().entries().empty());
  EXPECT_EQ(flow->core.log.count("read"), 0u);
  expectTornDown({flow, connection});
}

TEST_F(RelayTest, AReplayErrorBeforeTheTimeLimitClosesAtOnceAndNeverTimesOut) {
  const auto flow = tcpFlow("443");
  connectTracked(flow, "hello", "allowed.test");
  const auto connection = platform.connections.last();
  connection->failSendsWith(Error{"broken pipe"});
  connection->deliverState(ConnectionState::Kind::ready);
  platform.advance(30);
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{"❌ Failed to replay initial bytes upstream: broken pipe"});
  expectTornDown({flow, connection});
}

TEST_F(RelayTest, TheServerEndingItsSideDeliversTheLastChunkThenClosesTheFlowsWriteSide) {
  const Relayed r = relayed();
  r.connection->pushData("last", true);
  platform.settle();
  const std::vector<std::string> calls = r.flow->core.log.calls();
  EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()), (std::vector<std::string>{"write", "closeWrite"}));
  EXPECT_EQ(r.flow->written(), "last");
  EXPECT_FALSE(r.flow->readClosed());

  r.flow->pushData("still sending");
  platform.settle();
  EXPECT_EQ(r.connection->sent(), "hellostill sending");
  EXPECT_NE(entryOf(r), nullptr);
  r.flow->pushEnd();
  platform.settle();
  expectTornDown(r);
  EXPECT_FALSE(r.connection->endOfStreamSent());  // the last end goes with the cancel
}

TEST_F(RelayTest, TheClientEndingItsSideIsPassedUpstreamWhileTheServerGoesOn) {
  const Relayed r = relayed();
  r.flow->pushEnd();
  platform.settle();
  EXPECT_TRUE(r.connection->endOfStreamSent());
  EXPECT_FALSE(r.connection->cancelled());

  r.connection->pushData("answer", true);
  platform.settle();
  EXPECT_EQ(r.flow->written(), "answer");
  expectTornDown(r);
  EXPECT_TRUE(r.connection->cancelled());
}

TEST_F(RelayTest, OneChunkInFlightAndActivityMeansDelivery) {
  const Relayed r = relayed();
  const Instant replayedAt = now();
  r.connection->holdSends(true);
  r.flow->pushData("a");
  r.flow->pushData("b");
  platform.advance(2);
  EXPECT_EQ(r.flow->core.log.count("read"), 1u);
  EXPECT_EQ(entryOf(r)->lastActivity(), replayedAt);

  r.connection->completeSend();
  platform.settle();
  EXPECT_EQ(entryOf(r)->lastActivity(), replayedAt + 2);
  EXPECT_EQ(r.connection->sent(), "helloab");
}

// Any error ends both directions at once; a chunk that came with it counts
// for nothing.
TEST_F(RelayTest, AnErrorInEitherDirectionTearsTheFlowDownAtOnce) {
  struct Case {
    const char* name;
    std::function<void(const Relayed&)> cause;
    std::string expectedSent;
    std::string expectedWritten;
  };
  const std::vector<Case> cases{
      {"from the flow", [](const Relayed& r) { r.flow->pushError("reset", bytesOf("lost")); }, "hello", ""},
      {"towards the flow",
       [](const Relayed& r) {
         r.flow->failWritesWith(Error{"closed"});
         r.connection->pushData("answer");
       },
       "hello", "answer"},
      {"from upstream after a last chunk",
       [](const Relayed& r) { r.connection->pushReceive({bytesOf("last words"), false, Error{"reset"}}); }, "hello",
       "last words"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Relayed r = relayed();
    c.cause(r);
    platform.settle();
    expectTornDown(r);
    EXPECT_FALSE(r.connection->endOfStreamSent());
    EXPECT_EQ(r.connection->sent(), c.expectedSent);
    EXPECT_EQ(r.flow->written(), c.expectedWritten);
  }
  EXPECT_TRUE(platform.log->messages().empty());
}

// No state may reach a flow being torn down, no relay step may find the
// connection still live once the flow is closed, and the unit comes back last.
TEST_F(RelayTest, ATeardownCancelsBeforeItClosesTheFlowAndReleasesLast) {
  const Relayed r = relayed();
  std::vector<std::string> flowCloses;
  r.flow->core.log.onCall = [&](std::string_view call) {
    flowCloses.push_back(fmt::format("{} cancelled={} registered={} units={}", call, r.connection->cancelled(),
                                     entryOf(r) != nullptr, peer.trackedFlowCount()));
  };
  entryOf(r)->closeFlow();
  platform.settle();
  r.flow->core.log.onCall = nullptr;  // the fixture's own closes come after this scope
  ASSERT_GE(flowCloses.size(), 2u);  // later closes come from the teardowns the first one set off
  EXPECT_EQ(std::vector<std::string>(flowCloses.begin(), flowCloses.begin() + 2),
            (std::vector<std::string>{"closeRead cancelled=true registered=false units=1",
                                      "closeWrite cancelled=true registered=false units=1"}));
  const std::vector<std::string> calls = r.connection->calls();
  EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()), (std::vector<std::string>{"clearHandler", "cancel"}));
  expectTornDown(r);
}

TEST_F(RelayTest, RepeatedTeardownsReleaseOneUnit) {
  const Relayed torn = relayed();
  const Relayed other = relayed();
  const std::shared_ptr<RelayedFlow> tornFlow = peer.activeFlows().entries().at(torn.connection.get());
  platform.advance(4);
  tornFlow->closeFlow();
  tornFlow->closeFlow();
  platform.settle();  // the cancelled receive and closed read end in teardowns of their own
  tornFlow->closeFlow();
  platform.settle();

  expectTornDown(torn, 1);
  EXPECT_EQ(peer.activeFlows().size(), 1u);
  EXPECT_NE(entryOf(other), nullptr);
}

TEST_F(RelayTest, WithTheProviderGoneEveryDeferredStepDoesNothing) {
  const auto sniffing = offerTCP("80");
  const auto connecting = tcpFlow("443");
  connectTracked(connecting, "hello", "allowed.test");
  const auto replaying = tcpFlow("443");
  connectTracked(replaying, "hello", "allowed.test");
  platform.connections.last()->holdSends(true);
  platform.connections.last()->deliverState(ConnectionState::Kind::ready);
  const Relayed r = relayed();
  platform.settle();

  provider.reset();
  sniffing->pushData("GET / HTTP/1.1\r\nHost: allowed.test\r\n\r\n");
  r.flow->pushData("request");
  r.connection->pushData("answer", true);
  platform.advance(60, 5);
  for (const auto& flow : {sniffing, connecting, replaying, r.flow}) {
    EXPECT_FALSE(flow->readClosed() || flow->writeClosed());
  }
  for (const auto& connection : platform.connections.made()) EXPECT_FALSE(connection->cancelled());
  EXPECT_EQ(platform.connections.made().size(), 3u);
  // A step already handed to the platform finishes; nothing follows it.
  EXPECT_EQ(r.connection->sent(), "hellorequest");
  EXPECT_EQ(r.flow->written(), "answer");
  EXPECT_FALSE(r.connection->endOfStreamSent());
  EXPECT_TRUE(platform.log->messages().empty());
}

}  // namespace
}  // namespace vosk::test
