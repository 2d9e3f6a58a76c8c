#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/provider_peer.hpp"
#include "support/sites_data.hpp"
#include "support/test_data.hpp"
#include "support/test_platform.hpp"

namespace vosk::test {
namespace {

constexpr const char* kStarted = "🟢 Transparent proxy startProxy called, options keys: {}";
constexpr const char* kApplied = "🔧 applied protocolConfiguration: blockingEnabled={}, sites={}";
constexpr const char* kSucceeded =
    "✅ setTunnelNetworkSettings succeeded — intercepting all outbound TCP :443/:80 and UDP :443";
constexpr const char* kDecided = "🔎 flow host: {}:{}, blockingEnabled={}, blocked={}";
constexpr const char* kPosted = "📣 Posted siteBlocked Darwin notification (blocked host: {})";
constexpr const char* kSwept = "🧹 Sweeping connection to {}: idleFor={}s";

std::string httpRequestTo(std::string_view host) {
  return fmt::format("GET / HTTP/1.1\r\nHost: {}\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n\r\n", host);
}

// A day of use of the whole core on the in-memory platform, in virtual time:
// every log line in order, every notification, and nothing left over.
class CoreScenarioTest : public ::testing::Test {
 protected:
  // Moves virtual time to `seconds` after the scenario began.
  void at(double seconds) { platform.advance(seconds - (platform.mainQueue.now() - begin)); }

  void start(ConfigurationDictionary configuration, std::optional<ConfigurationDictionary> options = std::nullopt) {
    platform.host.configuration = std::move(configuration);
    provider->startProxyWithOptions(options, [this](std::optional<Error> error) {
      EXPECT_FALSE(error);
      ++startsCompleted;
    });
    platform.settle();
  }

  // Offers a TCP flow whose application has already sent `firstBytes`.
  std::shared_ptr<FakeTCPFlow> offerTCP(std::string port, const Bytes& firstBytes) {
    auto flow = platform.tcpFlow("198.18.0.20", std::move(port));
    if (!firstBytes.empty()) flow->pushRead({firstBytes, std::nullopt});
    EXPECT_TRUE(provider->handleNewFlow(flow));
    platform.settle();
    return flow;
  }

  struct Relayed {
    std::shared_ptr<FakeTCPFlow> flow;
    std::shared_ptr<FakeConnection> connection;
  };
  // Offers a TCP flow that the provider lets through, and lets its upstream connect.
  Relayed relay(std::string port, const Bytes& firstBytes) {
    const std::size_t connectionsBefore = platform.connections.made().size();
    Relayed relayed{offerTCP(std::move(port), firstBytes), nullptr};
    EXPECT_EQ(platform.connections.made().size(), connectionsBefore + 1);
    relayed.connection = platform.connections.last();
    relayed.connection->deliverState(ConnectionState::Kind::ready);
    platform.settle();
    EXPECT_NE(peer.activeFlows().find(relayed.connection.get()), nullptr);
    EXPECT_EQ(relayed.connection->sends().front(), firstBytes);  // the sniffed bytes went first
    return relayed;
  }
  // One request and one response through a relayed flow.
  void exchange(const Relayed& relayed, std::string_view request, std::string_view response) {
    relayed.flow->pushData(request);
    relayed.connection->pushData(response);
    platform.settle();
  }

  std::vector<std::string> newLogLines() { return platform.log->takeMessages(); }

  TestPlatform platform;
  std::shared_ptr<TransparentProxyProvider> provider = platform.makeProvider();
  TransparentProxyProviderPeer peer{*provider};
  const Instant begin = platform.mainQueue.now();
  int startsCompleted = 0;
};

TEST_F(CoreScenarioTest, ADayOfUse) {
  const BlockedSite news = makeSite(1, "news", {"news.example"});
  const BlockedSite social = makeSite(2, "social", {"social.example"});
  const BlockedSite weather = makeSite(3, "weather", {"weather.example"});
  const Bytes curlHello = readFileBytes(std::filesystem::path(VOSK_TEST_DATA_DIR) / "tls/clienthello-curl.bin");

  // 0 s: the proxy starts with blocking on and two sites.
  start({{"blockingEnabled", true}, {"sitesData", sitesData({news, social})}},
        ConfigurationDictionary{{"reason", std::int64_t{1}}, {"app", std::string("x")}});
  EXPECT_EQ(newLogLines(), (std::vector<std::string>{fmt::format(kStarted, "app,reason"), fmt::format(kApplied, true, 2),
                                                     kSucceeded}));

  // 2 s: a blocked site inside the start grace: closed, not announced.
  at(2);
  const auto earlyBlocked = offerTCP("80", bytesOf(httpRequestTo("www.news.example")));
  EXPECT_TRUE(earlyBlocked->readClosed() && earlyBlocked->writeClosed());
  EXPECT_EQ(newLogLines(), std::vector<std::string>{fmt::format(kDecided, "www.news.example", 80, true, true)});
  EXPECT_TRUE(platform.notifier.posted().empty());

  // 15 s: past the grace, a blocked site is announced.
  at(15);
  offerTCP("80", bytesOf(httpRequestTo("social.example:8080")));
  EXPECT_EQ(newLogLines(), (std::vector<std::string>{fmt::format(kDecided, "social.example", 80, true, true),
                                                     fmt::format(kPosted, "social.example")}));

  // 30 s: a real client's ClientHello to an allowed host is relayed both ways.
  at(30);
  const Relayed browsing = relay("443", curlHello);
  exchange(browsing, "tls records", "server records");
  EXPECT_EQ(browsing.flow->written(), "server records");
  // 31 s: plain HTTP to a host not (yet) listed.
  at(31);
  const Relayed forecast = relay("80", bytesOf(httpRequestTo("weather.example")));
  exchange(forecast, "GET /today HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n");
  // 32 s: bytes that name no host pass through unblocked, until both sides end.
  at(32);
  const Relayed tunnel = relay("443", bytesOf("SSH-2.0-OpenSSH_9.2\r\n"));
  tunnel.flow->pushEnd();
  platform.settle();
  EXPECT_TRUE(tunnel.connection->endOfStreamSent());
  tunnel.connection->pushData("bye", /*isComplete=*/true);
  platform.settle();
  EXPECT_EQ(tunnel.flow->written(), "bye");
  EXPECT_TRUE(tunnel.connection->cancelled());
  // 33 s: QUIC is taken and closed so the application falls back to TCP.
  at(33);
  const auto quic = platform.udpFlow("198.18.0.20", "443");
  EXPECT_TRUE(provider->handleNewFlow(quic));
  platform.settle();
  EXPECT_EQ(quic->core.log.calls(), (std::vector<std::string>{"open", "closeRead", "closeWrite"}));
  EXPECT_EQ(newLogLines(), (std::vector<std::string>{
                               fmt::format(kDecided, "allowed.test", 443, true, false),
                               fmt::format(kDecided, "weather.example", 80, true, false),
                               // Every request on :80 is judged; this one names no host.
                               "⚠️ Could not determine hostname for :80 flow after 23 bytes — passing through unblocked",
                               "⚠️ Could not determine hostname for :443 flow after 21 bytes — passing through unblocked",
                               "🚫 Rejecting UDP:443 (QUIC) flow while blocking is enabled, forcing TCP fallback",
                           }));
  EXPECT_EQ(peer.activeFlows().size(), 2u);
  EXPECT_EQ(peer.trackedFlowCount(), 2);

  // 100 s: a restart lists the weather site: its open flow closes at once.
  at(100);
  start({{"blockingEnabled", true}, {"sitesData", sitesData({news, weather})}});
  EXPECT_TRUE(forecast.connection->cancelled());
  EXPECT_TRUE(forecast.flow->readClosed() && forecast.flow->writeClosed());
  EXPECT_EQ(newLogLines(), (std::vector<std::string>{fmt::format(kStarted, ""), fmt::format(kApplied, true, 2),
                                                     kSucceeded, fmt::format(kSwept, "weather.example", 69)}));
  // The browsing flow last moved data at 30 s: still there at the 1200 s
  // tick (idle 1170 s), swept at the 1260 s tick (idle 1230 s).
  at(1259.5);
  EXPECT_FALSE(browsing.connection->cancelled());
  EXPECT_TRUE(newLogLines().empty());
  at(1260);
  EXPECT_TRUE(browsing.connection->cancelled());
  EXPECT_TRUE(browsing.flow->readClosed() && browsing.flow->writeClosed());
  EXPECT_EQ(newLogLines(), std::vector<std::string>{fmt::format(kSwept, "allowed.test", 1230)});

  // 1280 s: one more relayed flow; 1290 s: one that never sends its first bytes.
  at(1280);
  const Relayed late = relay("80", bytesOf(httpRequestTo("allowed.test")));
  at(1290);
  const auto silent = offerTCP("443", Bytes{});
  EXPECT_EQ(peer.trackedFlowCount(), 2);

  // 1300 s: the stop ends the relayed flow only; the silent one ends by its own time limit.
  at(1300);
  bool stopped = false;
  provider->stopProxyWithReason(1, [&] { stopped = true; });
  platform.settle();
  EXPECT_TRUE(stopped);
  EXPECT_TRUE(late.connection->cancelled());
  EXPECT_EQ(silent->core.log.calls(), (std::vector<std::string>{"open", "read"}));
  EXPECT_EQ(peer.trackedFlowCount(), 1);
  at(1305);
  EXPECT_TRUE(silent->readClosed() && silent->writeClosed());
  EXPECT_EQ(newLogLines(), (std::vector<std::string>{
                               fmt::format(kDecided, "allowed.test", 80, true, false),
                               "🔴 Transparent proxy stopProxy called, reason: 1, tearing down 1 active flow(s)",
                               "⏱️ Flow to :443 sent no data within 15s while sniffing, closing",
                           }));

  // Nothing is left: no flow, no unit, no registry entry; every start completed once.
  at(1400);
  EXPECT_TRUE(newLogLines().empty());
  EXPECT_EQ(startsCompleted, 2);
  EXPECT_EQ(peer.trackedFlowCount(), 0);
  EXPECT_TRUE(peer.activeFlows().entries().empty());
  EXPECT_EQ(platform.notifier.posted(), std::vector<std::string>{"com.brelvant.vosk.siteBlocked"});
  // The history hears of every flow closed at its first bytes, announced or
  // not, and of the one a new list closed later.
  EXPECT_EQ(platform.decisions.recorded(),
            (std::vector<std::string>{"http news www.news.example", "http social social.example", "quic  198.18.0.20",
                                      "http weather weather.example"}));
}

}  // namespace
}  // namespace vosk::test
