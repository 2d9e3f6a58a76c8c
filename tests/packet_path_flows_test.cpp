#include "flows/packet_path_flows.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "packet/tcp_segment.hpp"
#include "support/provider_peer.hpp"
#include "support/sites_data.hpp"
#include "support/tcp_packets.hpp"
#include "support/test_data.hpp"
#include "support/test_platform.hpp"

namespace vosk::test {
namespace {

using Verdict = SegmentVerdict;

constexpr std::uint32_t kSyn = 0xFFFFFFF0;  // every stream crosses the wrap
constexpr std::uint8_t kAck = TCPSegment::ack;

class PacketPathFlowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    configure(false);
    platform.log->clear();
  }

  void configure(bool strict, std::vector<std::string> blocked = {"blocked.test"}) {
    platform.host.configuration = ConfigurationDictionary{
        {"blockingEnabled", true},
        {"strictMode", strict},
        {"sitesData", sitesData({makeSite(1, "blocked", std::move(blocked))})},
        {"encryptedDnsServers", bytesOf("[]")}};
    provider->startProxyWithOptions(std::nullopt, [](std::optional<Error>) {});
    platform.advance(startupNotifyGrace + 1);  // past the start's quiet time, so a notification would show
  }

  // A segment of the connection from client port `port` (IPv6 when `six`).
  Verdict send(std::uint16_t port, std::uint32_t sequence, std::uint8_t flags, std::string_view payload = {},
               bool six = false, std::uint16_t serverPort = 443) {
    const PacketBytes segment = tcpSegment(
        {.sourcePort = port, .destinationPort = serverPort, .sequence = sequence, .flags = flags, .payload = payload});
    return provider->judgeHeldSegment(six ? ipv6Packet(segment) : ipv4Packet(segment));
  }
  // The client's bytes from offset `from` of its stream.
  Verdict data(std::uint16_t port, std::uint32_t from, std::string_view payload, std::uint16_t serverPort = 443,
               bool six = false, std::uint8_t flags = kAck) {
    return send(port, kSyn + 1 + from, flags, payload, six, serverPort);
  }

  TestPlatform platform;
  std::shared_ptr<TransparentProxyProvider> provider = platform.makeProvider();
  TransparentProxyProviderPeer peer{*provider};
  const std::vector<ConnectionTuple>& reset = platform.packetPath.reset;
};

std::string_view text(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
  return {reinterpret_cast<const char*>(bytes.data()) + from, to - from};
}

TEST_F(PacketPathFlowsTest, JudgesTheBytesTheServerGetsAndLeavesTheConnectionToTheKernelOnceDecided) {
  // A ClientHello in three segments, its name sent out of order first.
  const std::vector<std::uint8_t> hello = curlHelloNaming("blocked.test");
  EXPECT_EQ(send(1, kSyn, TCPSegment::syn), Verdict::pass);
  EXPECT_EQ(data(1, 10, text(hello, 10, hello.size())), Verdict::drop);
  EXPECT_EQ(data(1, 0, text(hello, 0, 10)), Verdict::pass);
  EXPECT_EQ(data(1, 10, text(hello, 10, 200)), Verdict::pass);
  EXPECT_EQ(data(1, 200, text(hello, 200, hello.size())), Verdict::block);
  platform.settle();
  EXPECT_EQ(platform.log->messages(),
            (std::vector<std::string>{"🔎 flow host: blocked.test:443, blockingEnabled=true, blocked=true",
                                      "📣 Posted siteBlocked Darwin notification (blocked host: blocked.test)"}));
  EXPECT_EQ(platform.decisions.recorded(), std::vector<std::string>{"tls blocked blocked.test"});
  EXPECT_EQ(platform.notifier.posted().size(), 1u);

  // HTTP over IPv6: a retransmission naming another host is dropped, the
  // connection goes on as the server reads it, and is then the kernel's.
  platform.log->clear();
  EXPECT_EQ(send(2, kSyn, TCPSegment::syn, {}, true, 80), Verdict::pass);
  EXPECT_EQ(data(2, 0, "GET / HTTP/1.1\r\nHost: allowed", 80, true), Verdict::pass);
  EXPECT_EQ(data(2, 0, "GET / HTTP/1.1\r\nHost: blocked.test\r\n\r\n", 80, true), Verdict::drop);
  EXPECT_EQ(data(2, 16, "Host: allowed", 80, true), Verdict::pass) << "the same bytes again";
  EXPECT_EQ(data(2, 29, ".test\r\n\r\n", 80, true), Verdict::follow);
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{"🔎 flow host: allowed.test:80, blockingEnabled=true, blocked=false"});

  // Urgent data, and a whole request sent with the FIN, are no way around.
  EXPECT_EQ(send(3, kSyn, TCPSegment::syn, {}, false, 80), Verdict::pass);
  EXPECT_EQ(data(3, 0, "GET / HTTP/1.0\r\nHost: blocked.test\r\n\r\n", 80, false, kAck | TCPSegment::urg),
            Verdict::drop);
  EXPECT_EQ(data(3, 0, "GET / HTTP/1.0\r\nHost: blocked.test\r\n\r\n", 80, false, kAck | TCPSegment::fin),
            Verdict::block);

  EXPECT_EQ(send(4, kSyn, TCPSegment::syn), Verdict::pass);
  PacketBytes cut = ipv4Packet(tcpSegment({.sourcePort = 4, .sequence = kSyn + 1, .flags = kAck, .payload = "x"}));
  cut.pop_back();
  EXPECT_EQ(provider->judgeHeldSegment(cut), Verdict::drop) << "bytes no stack would read";
  EXPECT_EQ(data(4, 0, {}), Verdict::pass) << "an ACK sends nothing to judge";
  EXPECT_EQ(send(4, kSyn + 1, TCPSegment::rst), Verdict::pass);
  EXPECT_EQ(peer.connectionsInJudgement(), 0u);
  EXPECT_EQ(data(5, 0, "GET / HTTP/1.1\r\nHost: blocked.test\r\n\r\n"), Verdict::allow)
      << "begun before the daemon came up: a restart cuts nothing open";
  EXPECT_TRUE(reset.empty());
}

TEST_F(PacketPathFlowsTest, AClientQuietForTheRelaysTimeLimitIsResetAndEachByteRestartsIt) {
  send(1, kSyn, TCPSegment::syn, {}, false, 80);
  send(2, kSyn, TCPSegment::syn, {}, true, 80);
  send(3, kSyn, TCPSegment::syn, {}, false, 80);
  const std::string head = "GET / HTTP/1.1\r\nHost: a";
  for (std::size_t i = 0; i < head.size(); ++i) {
    platform.advance(14);
    EXPECT_EQ(data(1, i, head.substr(i, 1), 80), Verdict::pass);
    if (i == 0) {
      EXPECT_EQ(data(3, 0, {}, 80, false, kAck | TCPSegment::fin), Verdict::pass) << "closed: forgotten";
    }
  }
  ASSERT_EQ(reset.size(), 1u) << "the connection that sent nothing after its SYN";
  EXPECT_EQ(reset[0].ipVersion, 6);
  EXPECT_EQ(reset[0].clientPort, 2);
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{"⏱️ Flow to :80 sent no data within 15s while sniffing, closing"});

  platform.advance(14.9);
  EXPECT_EQ(reset.size(), 1u);
  platform.advance(0.2);
  ASSERT_EQ(reset.size(), 2u);
  EXPECT_EQ(reset[1].clientPort, 1);
  EXPECT_EQ(reset[1].server[3], 2);
  EXPECT_EQ(peer.connectionsInJudgement(), 0u);
}

TEST_F(PacketPathFlowsTest, OverTheCapANewConnectionIsCarriedUnjudgedOrInStrictModeWaitsForRoom) {
  constexpr std::uint16_t kPorts = 60000;
  for (std::size_t i = 0; i < PacketPathFlows::maxConnections; ++i) {
    const PacketBytes syn = ipv4Packet(
        tcpSegment({.sourcePort = static_cast<std::uint16_t>(1 + i % kPorts), .sequence = kSyn, .flags = TCPSegment::syn, .payload = {}}),
        0, 0x4000, static_cast<std::uint8_t>(1 + i / kPorts));
    ASSERT_EQ(provider->judgeHeldSegment(syn), Verdict::pass);
  }
  EXPECT_EQ(send(1, kSyn, TCPSegment::syn), Verdict::pass) << "one already in judgement";
  EXPECT_EQ(send(kPorts + 1, kSyn, TCPSegment::syn, {}, false, 80), Verdict::allow);
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{"🛑 65536 connections in judgement — carrying unjudged this one to :80"});
  configure(true);
  EXPECT_EQ(send(kPorts + 1, kSyn, TCPSegment::syn, {}, false, 80), Verdict::drop);
  const std::vector<std::uint8_t> hello = curlHelloNaming("allowed.test");
  EXPECT_EQ(data(2, 0, text(hello, 0, hello.size())), Verdict::allow) << "judged: room again";
  EXPECT_EQ(send(kPorts + 1, kSyn, TCPSegment::syn, {}, false, 25), Verdict::pass) << "another port, in strict mode";
  const std::size_t resets = reset.size();
  EXPECT_EQ(send(kPorts + 2, kSyn, TCPSegment::syn, {}, false, 80), Verdict::pass)
      << "the other port's connection, silent, gives way";
  ASSERT_EQ(reset.size(), resets + 1);
  EXPECT_EQ(reset.back().serverPort, 25);
  EXPECT_EQ(send(kPorts + 3, kSyn, TCPSegment::syn, {}, false, 80), Verdict::drop);
}

TEST_F(PacketPathFlowsTest, ConnectionsLetThroughAreJudgedAgainByEachNewConfigurationUntilTheirEnd) {
  const auto open = [this](std::uint16_t port, std::string_view firstBytes) {
    EXPECT_EQ(send(port, kSyn, TCPSegment::syn, {}, false, 80), Verdict::pass);
    EXPECT_EQ(data(port, 0, firstBytes, 80), firstBytes.starts_with("GET") ? Verdict::follow : Verdict::allow);
  };
  open(1, "GET / HTTP/1.1\r\nHost: allowed.test\r\n\r\n");
  open(2, "GET / HTTP/1.1\r\nHost: www.later.test\r\n\r\n");
  open(3, "SSH-2.0-client\r\n");
  open(4, "GET / HTTP/1.1\r\nHost: later.test\r\n\r\n");
  ConnectionTuple ended;
  ended.ipVersion = 4;
  ended.client = {198, 18, 0, 1};
  ended.server = {198, 18, 0, 2};
  ended.clientPort = 4;
  ended.serverPort = 80;
  EXPECT_EQ(peer.followedConnections(), 3u);
  provider->carriedConnectionEnded(ended);
  EXPECT_EQ(peer.carriedConnections(), 3u);
  EXPECT_EQ(peer.followedConnections(), 2u);

  platform.log->clear();
  configure(false, {"blocked.test", "later.test"});
  ASSERT_EQ(reset.size(), 1u);
  EXPECT_EQ(reset[0].clientPort, 2);
  configure(true, {"blocked.test", "later.test"});
  ASSERT_EQ(reset.size(), 2u);
  EXPECT_EQ(reset[1].clientPort, 3) << "no host read: closed in strict mode";
  std::vector<std::string> lines;
  for (const std::string& line : platform.log->messages()) {
    if (line.starts_with("🧹") || line.starts_with("🔒 No")) lines.push_back(line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"🧹 Resetting connection to www.later.test:80 carried by the kernel: closed now",
                                             "🔒 No hostname was read for open :80 flow — closed in strict mode"}));
  EXPECT_EQ(platform.decisions.recorded(), std::vector<std::string>{"http blocked www.later.test"});
  EXPECT_EQ(peer.carriedConnections(), 1u);
  EXPECT_EQ(peer.followedConnections(), 1u);
}

TEST_F(PacketPathFlowsTest, LaterRequestsOnPort80AreFollowedAndEachHeadJudgedWhenWhole) {
  const std::string first = "GET / HTTP/1.1\r\nHost: allowed.test\r\n\r\n";
  const std::string upload = "POST /up HTTP/1.1\r\nHost: www.allowed.test\r\nContent-Length: 36\r\n\r\n";
  const std::string body = "GET / HTTP/1.1\r\nHost: blocked.test\r\n";
  ASSERT_EQ(body.size(), 36u);
  const std::string next = "GET /next HTTP/1.1\r\nHost: blocked.test\r\n\r\n";
  send(1, kSyn, TCPSegment::syn, {}, false, 80);
  EXPECT_EQ(data(1, 0, first + upload, 80), Verdict::follow) << "the request sent with the first is judged too";
  std::size_t at = first.size() + upload.size();
  EXPECT_EQ(data(1, at, body, 80), Verdict::pass) << "a body is passed unread";
  at += body.size();
  EXPECT_EQ(data(1, 0, first, 80), Verdict::pass) << "bytes read already, sent again";
  EXPECT_EQ(data(1, at, next.substr(0, 30), 80), Verdict::pass);
  EXPECT_EQ(data(1, at + 20, "Host: allowed.test\r\n\r\n", 80), Verdict::drop) << "a head's bytes are kept";
  EXPECT_EQ(data(1, at + 30, next.substr(30), 80, false, kAck | TCPSegment::urg), Verdict::drop);
  EXPECT_EQ(data(1, at + 30, next.substr(30), 80), Verdict::block);
  platform.settle();
  EXPECT_EQ(platform.log->messages(),
            (std::vector<std::string>{"🔎 flow host: allowed.test:80, blockingEnabled=true, blocked=false",
                                      "🔎 flow host: www.allowed.test:80, blockingEnabled=true, blocked=false",
                                      "🔎 flow host: blocked.test:80, blockingEnabled=true, blocked=true",
                                      "📣 Posted siteBlocked Darwin notification (blocked host: blocked.test)"}));
  EXPECT_EQ(platform.decisions.recorded(), std::vector<std::string>{"http blocked blocked.test"});
  EXPECT_EQ(peer.followedConnections(), 0u);
  EXPECT_EQ(peer.carriedConnections(), 0u) << "reset: its end goes unreported";

  // Bytes that are no request end following: judged as a request naming no
  // host, then the kernel carries the rest; in strict mode they close it.
  platform.log->clear();
  for (const bool strict : {false, true}) {
    configure(strict);
    const auto port = static_cast<std::uint16_t>(strict ? 3 : 2);
    send(port, kSyn, TCPSegment::syn, {}, false, 80);
    EXPECT_EQ(data(port, 0, first, 80), Verdict::follow);
    EXPECT_EQ(data(port, first.size(), "GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 80),
              strict ? Verdict::block : Verdict::allow);
  }
  EXPECT_EQ(peer.followedConnections(), 0u);
  EXPECT_EQ(peer.carriedConnections(), 1u);
  std::vector<std::string> lines;
  for (const std::string& line : platform.log->messages()) {
    if (line.find("hostname") != std::string::npos) lines.push_back(line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "⚠️ Could not determine hostname for :80 flow after 56 bytes — passing through unblocked",
                       "🔒 No hostname readable for :80 flow after 56 bytes — closed in strict mode"}));
}

TEST_F(PacketPathFlowsTest, InStrictModeEveryPortIsReadAsTLSOrHTTPWhenItsFirstBytesAreAndLeftAloneOtherwise) {
  configure(true);
  platform.log->clear();
  const std::vector<std::uint8_t> hello = curlHelloNaming("blocked.test");
  send(1, kSyn, TCPSegment::syn, {}, false, 8443);
  EXPECT_EQ(data(1, 0, text(hello, 0, 1), 8443), Verdict::pass) << "one byte says nothing yet";
  EXPECT_EQ(data(1, 1, text(hello, 1, hello.size()), 8443), Verdict::block);
  send(2, kSyn, TCPSegment::syn, {}, true, 8080);
  EXPECT_EQ(data(2, 0, "GET / HTTP/1.1\r\nHost: allowed.test\r\n\r\n", 8080, true), Verdict::follow);
  EXPECT_EQ(data(2, 38, "GET / HTTP/1.1\r\nHost: blocked.test\r\n\r\n", 8080, true), Verdict::block);
  platform.settle();
  EXPECT_EQ(platform.log->messages(),
            (std::vector<std::string>{"🔎 flow host: blocked.test:8443, blockingEnabled=true, blocked=true",
                                      "📣 Posted siteBlocked Darwin notification (blocked host: blocked.test)",
                                      "🔎 flow host: allowed.test:8080, blockingEnabled=true, blocked=false",
                                      "🔎 flow host: blocked.test:8080, blockingEnabled=true, blocked=true"}));

  // Other protocols: let through at their first bytes, unread and unjudged;
  // one whose server speaks first waits as long as it likes.
  platform.log->clear();
  send(3, kSyn, TCPSegment::syn, {}, false, 22);
  EXPECT_EQ(data(3, 0, "SSH-2.0-client\r\n", 22), Verdict::allow);
  send(4, kSyn, TCPSegment::syn, {}, false, 25);
  platform.advance(60);
  EXPECT_TRUE(reset.empty());
  EXPECT_EQ(data(4, 0, "EHLO", 25), Verdict::pass);
  EXPECT_EQ(data(4, 4, " client.test\r\n", 25), Verdict::allow) << "a first line that is no request";
  EXPECT_TRUE(platform.log->messages().empty());
  configure(true, {"blocked.test", "client.test"});
  EXPECT_TRUE(reset.empty()) << "not kept: never judged again";

  // Out of strict mode the kernel carries them all: none is held any more.
  send(5, kSyn, TCPSegment::syn, {}, false, 993);
  send(6, kSyn, TCPSegment::syn, {}, false, 8443);
  data(6, 0, text(hello, 0, 10), 8443);
  send(7, kSyn, TCPSegment::syn, {}, false, 443);
  EXPECT_EQ(peer.connectionsInJudgement(), 3u);
  configure(false);
  EXPECT_EQ(peer.connectionsInJudgement(), 1u);
  platform.advance(16);
  ASSERT_EQ(reset.size(), 1u) << "the TLS port's own time limit still runs";
  EXPECT_EQ(reset[0].serverPort, 443);
}

}  // namespace
}  // namespace vosk::test
