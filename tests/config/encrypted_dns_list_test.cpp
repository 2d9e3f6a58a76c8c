#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/encrypted_dns_list.hpp"

namespace vosk::config {
namespace {

using Names = std::vector<std::string>;

std::string textOf(const ConfigurationValue& value) {
  const Bytes& bytes = std::get<Bytes>(value);
  return std::string(bytes.begin(), bytes.end());
}

TEST(EncryptedDnsListTest, NamesCommentsAndPlaces) {
  const auto names = parseEncryptedDnsList("# resolvers\n\n  DNS.Google.  # Google\r\ndoh.example\t\n#last");
  EXPECT_EQ(std::get<Names>(names), (Names{"dns.google.", "doh.example"}));

  const auto bad = parseEncryptedDnsList("dns.google\n  doh.example/dns-query\n");
  const auto& problem = std::get<ConfigurationProblem>(bad);
  EXPECT_EQ(describeProblem("list.txt", problem), "list.txt:2:3: \"doh.example/dns-query\" is no host name (it holds \"/\")");
  EXPECT_EQ(std::get<ConfigurationProblem>(parseEncryptedDnsList(".example")).column, 1);
}

// The shipped file loads (its names at work: tests/e2e/test_strict_mode).
TEST(EncryptedDnsListTest, TheShippedListLoadsAndAddsToTheConfiguration) {
  const auto shipped = loadEncryptedDnsList(std::filesystem::path(VOSK_TEST_DATA_DIR) / "../../config/encrypted-dns.txt");
  ASSERT_TRUE(std::holds_alternative<Names>(shipped)) << std::get<ConfigurationProblem>(shipped).message;

  // Names from the configuration come in lower case and stay first.
  auto configuration =
      std::get<Configuration>(parseConfiguration(R"({"encryptedDnsServers": ["DoH.Example"]})")).dictionary;
  addEncryptedDnsServers(configuration, {"dns.google"});
  EXPECT_EQ(textOf(configuration.at("encryptedDnsServers")), R"(["doh.example","dns.google"])");
  // Anything but an array of texts is left out of the configuration.
  configuration = std::get<Configuration>(parseConfiguration(R"({"encryptedDnsServers": ["a", 1]})")).dictionary;
  EXPECT_FALSE(configuration.contains("encryptedDnsServers"));
  addEncryptedDnsServers(configuration, {"dns.google"});
  EXPECT_EQ(textOf(configuration.at("encryptedDnsServers")), R"(["dns.google"])");
}

}  // namespace
}  // namespace vosk::config
