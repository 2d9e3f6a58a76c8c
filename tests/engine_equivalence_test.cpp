// The relay and the packet path judge through one judge: the same first
// bytes give the same lines, history records, notifications and outcome on
// either engine, with strict mode off and on.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "flows/packet_path_flows.hpp"
#include "packet/tcp_segment.hpp"
#include "support/flow_path_fixture.hpp"
#include "support/sites_data.hpp"
#include "support/tcp_packets.hpp"
#include "support/test_data.hpp"

namespace vosk::test {
namespace {

struct Case {
  std::string port;
  Bytes firstBytes;
};

std::vector<Case> cases() {
  std::vector<Case> all;
  for (const auto& file : testDataFiles("tls")) all.push_back({"443", readFileBytes(file)});
  for (const auto& file : testDataFiles("http")) all.push_back({"80", readFileBytes(file)});
  const auto http = [](std::string_view host) {
    return bytesOf("GET / HTTP/1.1\r\nHost: " + std::string(host) + "\r\n\r\n");
  };
  all.push_back({"443", curlHelloNaming("blocked.test")});
  all.push_back({"443", curlHelloNaming("dns-doh.test")});
  all.push_back({"80", http("www.blocked.test")});
  all.push_back({"80", http("")});
  all.push_back({"80", bytesOf("SSH-2.0-client\r\n")});
  all.push_back({"443", bytesOf("GET / HTTP/1.1\r\nHost: blocked.test\r\n\r\n")});
  return all;
}

// What a judgement leaves that anyone sees: the lines about it, the history
// records and notifications, and whether the flow went on.
struct Outcome {
  std::vector<std::string> lines;
  std::vector<std::string> records;
  std::size_t notifications = 0;
  bool carried = false;

  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  return out << ::testing::PrintToString(outcome.lines) << " records " << ::testing::PrintToString(outcome.records)
             << " notifications " << outcome.notifications << (outcome.carried ? " carried" : " closed");
}

void configure(TestPlatform& platform, TransparentProxyProvider& provider, bool strict) {
  platform.host.configuration = ConfigurationDictionary{
      {"blockingEnabled", true},
      {"strictMode", strict},
      {"sitesData", sitesData({makeSite(1, "blocked", {"blocked.test"})})},
      {"encryptedDnsServers", bytesOf(R"(["dns-doh.test"])")}};
  provider.startProxyWithOptions(std::nullopt, [](std::optional<Error>) {});
  platform.advance(startupNotifyGrace + 1);
  platform.log->clear();
}

Outcome outcomeOn(TestPlatform& platform, std::size_t notificationsBefore, bool carried) {
  Outcome outcome{{}, platform.decisions.recorded(), platform.notifier.posted().size() - notificationsBefore, carried};
  for (std::string& line : platform.log->takeMessages()) {
    if (line.starts_with("🔎") || line.starts_with("⚠️ Could") || line.starts_with("🔒") || line.starts_with("📣")) {
      outcome.lines.push_back(std::move(line));
    }
  }
  return outcome;
}

class EngineEquivalenceTest : public FlowPathTest, public ::testing::WithParamInterface<bool> {
 protected:
  Outcome relayed(const Case& c) {
    const std::size_t before = platform.notifier.posted().size();
    const std::size_t connections = platform.connections.made().size();
    const auto flow = offerTCP(c.port);
    flow->pushRead({c.firstBytes, std::nullopt});
    platform.settle();
    return outcomeOn(platform, before, platform.connections.made().size() > connections);
  }

  Outcome judgedInThePacketPath(const Case& c) {
    const std::size_t before = kernel.notifier.posted().size();
    const auto port = static_cast<std::uint16_t>(std::stoi(c.port));
    const std::string_view bytes(reinterpret_cast<const char*>(c.firstBytes.data()), c.firstBytes.size());
    const std::uint16_t client = ++clientPort;  // a connection of its own
    const auto send = [&](std::uint8_t flags, std::uint32_t sequence, std::string_view payload) {
      return kernelProvider->judgeHeldSegment(ipv4Packet(tcpSegment(
          {.sourcePort = client, .destinationPort = port, .sequence = sequence, .flags = flags, .payload = payload})));
    };
    send(TCPSegment::syn, 100, {});
    const SegmentVerdict verdict = send(TCPSegment::ack, 101, bytes);
    return outcomeOn(kernel, before, verdict != SegmentVerdict::block);
  }

  TestPlatform kernel;
  std::shared_ptr<TransparentProxyProvider> kernelProvider = kernel.makeProvider();
  std::uint16_t clientPort = 1000;
};

TEST_P(EngineEquivalenceTest, BothEnginesJudgeEveryFirstFlightAlike) {
  const bool strict = GetParam();
  configure(platform, *provider, strict);
  configure(kernel, *kernelProvider, strict);
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.port + ": " + std::string(c.firstBytes.begin(), c.firstBytes.begin() + 16));
    const Outcome relay = relayed(c);
    EXPECT_FALSE(relay.lines.empty());
    EXPECT_EQ(judgedInThePacketPath(c), relay);
  }
}

INSTANTIATE_TEST_SUITE_P(StrictModeOffAndOn, EngineEquivalenceTest, ::testing::Bool());

}  // namespace
}  // namespace vosk::test
