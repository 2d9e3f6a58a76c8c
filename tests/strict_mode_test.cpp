#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/flow_path_fixture.hpp"
#include "support/sites_data.hpp"
#include "support/test_data.hpp"

namespace vosk::test {
namespace {

// A ClientHello captured from curl, its server name "allowed.test" overwritten
// in place by a name of the same length, so every length field stays right.
Bytes curlHelloNaming(std::string_view name) {
  Bytes hello = readFileBytes(std::filesystem::path(VOSK_TEST_DATA_DIR) / "tls/clienthello-curl.bin");
  const std::string_view captured = "allowed.test";
  EXPECT_EQ(name.size(), captured.size());
  const auto at = std::search(hello.begin(), hello.end(), captured.begin(), captured.end());
  EXPECT_NE(at, hello.end());
  std::copy(name.begin(), name.end(), at);
  return hello;
}

class StrictModeTest : public FlowPathTest {
 protected:
  void start(bool blocking, bool strict, std::string_view encryptedDnsServers) {
    platform.host.configuration = ConfigurationDictionary{
        {"blockingEnabled", blocking},
        {"strictMode", strict},
        {"sitesData", sitesData({makeSite(1, "blocked", {"blocked.test"})})},
        {"encryptedDnsServers", bytesOf(encryptedDnsServers)}};
    provider->startProxyWithOptions(std::nullopt, [](std::optional<Error>) {});
    platform.settle();
    platform.advance(startupNotifyGrace + 1);  // past the start's quiet time, so a notification would show
    platform.log->clear();
  }

  // Offers a flow to :port with these first bytes; whether it was closed before going upstream.
  bool closedAfterSniffing(std::string port, const Bytes& firstBytes) {
    const std::size_t connectionsBefore = platform.connections.made().size();
    const auto flow = offerTCP(std::move(port));
    flow->pushRead({firstBytes, std::nullopt});
    platform.settle();
    return flow->readClosed() && platform.connections.made().size() == connectionsBefore;
  }
};

// Which names are closed, with strict mode on or off and blocking on or off,
// and without a notification: tests/e2e/test_strict_mode.
TEST_F(StrictModeTest, AListThatDoesNotDecodeKeepsTheOneInForce) {
  start(true, true, R"(["dns.google"])");
  start(true, true, R"(["dns.google", 7])");
  EXPECT_TRUE(closedAfterSniffing("443", curlHelloNaming("x.dns.google")));
  EXPECT_EQ(platform.log->takeMessages(),
            std::vector<std::string>{"🔎 flow host: x.dns.google:443, blockingEnabled=true, blocked=true"});
  EXPECT_TRUE(platform.notifier.posted().empty());
  EXPECT_EQ(peer.trackedFlowCount(), 0);
}

// What names no host passes outside strict mode and is closed in it, with its
// decision line and without a notification.
TEST_F(StrictModeTest, FlowsWhoseHostCannotBeReadAreClosed) {
  const Bytes noName = bytesOf("SSH-2.0-OpenSSH_9.2\r\n");
  start(true, false, R"([])");
  EXPECT_FALSE(closedAfterSniffing("443", noName));
  start(true, true, R"([])");
  EXPECT_TRUE(closedAfterSniffing("443", noName));
  EXPECT_TRUE(closedAfterSniffing("80", bytesOf("GET / HTTP/1.1\r\n\r\n")));
  EXPECT_EQ(platform.log->takeMessages(),
            (std::vector<std::string>{"🔒 No hostname readable for :443 flow after 21 bytes — closed in strict mode",
                                      "🔒 No hostname readable for :80 flow after 18 bytes — closed in strict mode"}));
  EXPECT_TRUE(platform.notifier.posted().empty());
  EXPECT_EQ(peer.trackedFlowCount(), 1);  // the one passed before strict mode came on
}

TEST_F(StrictModeTest, AnEncryptedDnsConnectionOpenBeforeStrictModeIsClosedWhenItComesOn) {
  start(true, false, R"(["dns.google"])");
  const Relayed doh = relayed("hello", "x.dns.google");
  start(true, true, R"(["dns.google"])");
  EXPECT_TRUE(doh.flow->readClosed());
  EXPECT_TRUE(platform.notifier.posted().empty());
  EXPECT_EQ(peer.trackedFlowCount(), 0);
}

}  // namespace
}  // namespace vosk::test
