#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "config/configuration_file.hpp"
#include "model/blocked_site.hpp"

namespace vosk::config {
namespace {

Configuration parsed(std::string_view text) {
  auto result = parseConfiguration(text);
  EXPECT_TRUE(std::holds_alternative<Configuration>(result)) << std::get<ConfigurationProblem>(result).message;
  return std::get<Configuration>(result);
}

ConfigurationProblem problem(std::string_view text) {
  auto result = parseConfiguration(text);
  EXPECT_TRUE(std::holds_alternative<ConfigurationProblem>(result));
  return std::get<ConfigurationProblem>(result);
}

std::vector<std::string> domainsOf(const Configuration& configuration) {
  const Bytes& bytes = std::get<Bytes>(configuration.dictionary.at("sitesData"));
  const std::vector<BlockedSite> sites = decodeBlockedSiteList(bytes).value();
  std::vector<std::string> domains;
  for (const BlockedSite& site : sites) {
    domains.insert(domains.end(), site.domains.begin(), site.domains.end());
  }
  return domains;
}

std::string placed(const ConfigurationProblem& note) {
  return std::to_string(note.line) + ":" + std::to_string(note.column) + " " + note.message;
}

// The settings the daemon knows reach it as they are; any other key is a
// slip pointed at where it stands, and left out.
TEST(ConfigurationFileTest, KnownSettingsReadUnknownKeysReported) {
  const Configuration configuration = parsed(
      "{\"blockingEnabled\": true, \"strictmode\": true, \"count\": 3,\n"
      " \"weakenDelay\": \"15m\", \"historyDays\": -1, \"lockedUntil\": \"2026-12-24T18:00:00Z\"}");
  EXPECT_EQ(configuration.dictionary,
            (ConfigurationDictionary{{"blockingEnabled", true}, {"lockedUntil", std::string("2026-12-24T18:00:00Z")}}));
  EXPECT_EQ(configuration.weakenDelay, std::chrono::minutes(15));
  EXPECT_EQ(configuration.adminGroup, "vosk-filter-admin");
  EXPECT_FALSE(configuration.historyDays);  // kept as in force
  ASSERT_EQ(configuration.problems.size(), 3U);
  EXPECT_EQ(placed(configuration.problems[0]),
            R"(1:27 "strictmode" is no key of the configuration (did you mean "strictMode"?); ignored)");
  EXPECT_EQ(placed(configuration.problems[1]), R"(1:47 "count" is no key of the configuration; ignored)");
  EXPECT_EQ(placed(configuration.problems[2]),
            R"(2:39 "historyDays" must be a whole number of days from 0 to 3660; the value in force is kept)");
  const Configuration defaults = parsed("{}");
  EXPECT_EQ(defaults.weakenDelay, std::chrono::seconds(0));
  EXPECT_EQ(defaults.historyDays, 30);
  EXPECT_FALSE(parsed(R"({"weakenDelay": "soon"})").weakenDelay);
  EXPECT_EQ(defaults.engine, Engine::relay);
  EXPECT_EQ(parsed(R"({"engine": "kernel"})").engine, Engine::kernel);
  const Configuration wrongEngine = parsed(R"({"engine": "Kernel"})");
  EXPECT_FALSE(wrongEngine.engine);
  ASSERT_EQ(wrongEngine.problems.size(), 1U);
  EXPECT_EQ(placed(wrongEngine.problems[0]),
            R"(1:12 "engine" must be "relay" or "kernel"; the value in force is kept)");
}

// Entries as people write them reach the provider in the form matching
// needs; each change and each entry that is no host name is placed exactly.
TEST(ConfigurationFileTest, DomainEntriesNormalisedAndPlaced) {
  const Configuration configuration = parsed(
      "\xEF\xBB\xBF{\"schedule\": [],\n"
      " \"sitesData\": [{\"id\": \"6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8\", \"name\": \"domains\",\n"
      "   \"domains\": [\"ok.test\", \"Blocked.Test\",\n"
      "     \"b\xC3\xBC" "cher.test\", \"*.wild.test\", \"a \\\"b\\\\\", \"[2001:DB8::1]\"]}],\n"
      " \"blockingEnabled\": true}");
  // What is no host name is left out: it must block nothing (an empty entry would match an empty name).
  EXPECT_EQ(domainsOf(configuration),
            (std::vector<std::string>{"ok.test", "blocked.test", "xn--bcher-kva.test", "wild.test", "[2001:db8::1]"}));
  ASSERT_EQ(configuration.changes.size(), 4U);
  EXPECT_EQ(placed(configuration.changes[0]), R"(3:27 "Blocked.Test" is used as "blocked.test")");
  EXPECT_EQ(placed(configuration.changes[1]), "4:6 \"b\xC3\xBC" "cher.test\" is used as \"xn--bcher-kva.test\"");
  EXPECT_EQ(placed(configuration.changes[2]).substr(0, 5), "4:22 ");
  EXPECT_EQ(placed(configuration.changes[3]).substr(0, 5), "4:48 ");
  ASSERT_EQ(configuration.problems.size(), 1U);
  EXPECT_EQ(placed(configuration.problems[0]),
            R"(4:37 "a "b\" is no host name (it holds a space); left out, it blocks nothing)");
  EXPECT_EQ(configuration.summary, "blocking on, strict mode off, 1 site, 5 domains");
}

// What the filter would take as off, or keep, is said where it stands.
TEST(ConfigurationFileTest, ValuesOfTheWrongKind) {
  Configuration configuration = parsed("{\"blockingEnabled\": \"true\",\n \"strictMode\": 1,\n \"sitesData\": {}}");
  ASSERT_EQ(configuration.problems.size(), 3U);
  EXPECT_EQ(placed(configuration.problems[0]), R"(1:21 "blockingEnabled" must be true or false; blocking is off)");
  EXPECT_EQ(placed(configuration.problems[1]), R"(2:16 "strictMode" must be true or false; strict mode is off)");
  EXPECT_EQ(placed(configuration.problems[2]).substr(0, 31), R"(3:15 "sitesData" is not a block)");
  EXPECT_EQ(configuration.dictionary.count("sitesData"), 0U);  // the list in force is kept
  EXPECT_EQ(configuration.summary, "blocking off, strict mode off, \"sitesData\" unusable (the block list in force is kept)");

  configuration = parsed(R"({"blockingEnabled": true, "strictMode": true})");
  EXPECT_TRUE(configuration.problems.empty());
  EXPECT_TRUE(strictModeActive(configuration.dictionary));
  EXPECT_EQ(configuration.summary, "blocking on, strict mode on, no \"sitesData\" (the block list in force is kept)");
  EXPECT_FALSE(strictModeActive(parsed(R"({"blockingEnabled": false, "strictMode": true})").dictionary));
}

TEST(ConfigurationFileTest, ProblemsCarryLineAndColumn) {
  const ConfigurationProblem syntax = problem("{\n  \"blockingEnabled\": true,\n  \"x\": tru\n}");
  EXPECT_EQ(syntax.line, 3);
  EXPECT_EQ(syntax.column, 11);  // where the parser noticed: the end of the bad literal
  EXPECT_NE(syntax.message.find("invalid literal"), std::string::npos) << syntax.message;
  EXPECT_EQ(syntax.message.find("json.exception"), std::string::npos);

  const ConfigurationProblem truncated = problem("{\"a\": 1,\n");
  EXPECT_EQ(truncated.line, 2);

  const ConfigurationProblem array = problem("\n  [1, 2]");
  EXPECT_EQ(array.message, "the configuration is not a JSON object");
  EXPECT_EQ(array.line, 2);
  EXPECT_EQ(array.column, 3);

  EXPECT_EQ(describeProblem("/etc/x.json", syntax), "/etc/x.json:3:11: " + syntax.message);
  EXPECT_EQ(describeProblem("/etc/x.json", ConfigurationProblem{"gone"}), "/etc/x.json: gone");
}

TEST(ConfigurationFileTest, ScheduleWindowsReadOrReported) {
  const Configuration configuration = parsed(
      "{\"blockingEnabled\": true, \"schedule\": [\n"
      "  {\"days\": [\"mon\", \"fri\"], \"from\": \"22:00\", \"to\": \"02:00\"},\n"
      "  {\"days\": [\"Mon\"], \"from\": \"09:00\", \"to\": \"17:00\"},\n"
      "  {\"days\": [\"sat\"], \"from\": \"24:00\", \"to\": \"24:00\"}, 7]}");
  EXPECT_EQ(configuration.schedule, (Schedule{{0b0100010, 22 * 60, 2 * 60}}));
  ASSERT_EQ(configuration.problems.size(), 3U);
  EXPECT_EQ(placed(configuration.problems[0]), R"(3:3 schedule window 2 is left out: "Mon" is no day: days are "mon" … "sun")");
  EXPECT_EQ(placed(configuration.problems[1]), R"(4:3 schedule window 3 is left out: "from" must be a time of day "HH:MM")");
  EXPECT_EQ(placed(configuration.problems[2]).substr(0, 38), "1:39 schedule window 4 is left out: it");
  EXPECT_EQ(configuration.summary,
            "blocking on, strict mode off, 1 window in schedule, no \"sitesData\" (the block list in force is kept)");
}

TEST(ConfigurationFileTest, GatewayInterfacesReadOrReported) {
  EXPECT_EQ(parsed("{}").gatewayInterfaces, std::vector<std::string>{});
  const Configuration configuration = parsed(
      "{\"blockingEnabled\": true, \"gatewayInterfaces\": [\"br-lan\", \"wlan0.2\",\n"
      "  \"x\\\" } accept\", 7, \"sixteen-chars-xx\", \"br-lan\"]}");
  EXPECT_EQ(configuration.gatewayInterfaces, (std::vector<std::string>{"br-lan", "wlan0.2"}));
  ASSERT_EQ(configuration.problems.size(), 3U);
  EXPECT_EQ(placed(configuration.problems[0]),
            R"(2:3 "x\" } accept" is no interface name (letters, digits, '-', '_', '.' and '@' only); left out)");
  EXPECT_EQ(placed(configuration.problems[1]), "1:48 7 is no interface name (not a text); left out");
  EXPECT_EQ(placed(configuration.problems[2]).substr(0, 63),
            "2:22 \"sixteen-chars-xx\" is no interface name (an interface name");
  EXPECT_FALSE(configuration.dictionary.contains("gatewayInterfaces"));
  EXPECT_EQ(configuration.summary,
            "blocking on, strict mode off, gateway for br-lan wlan0.2, no \"sitesData\" (the block list in force is kept)");

  const Configuration kept = parsed("{\"gatewayInterfaces\": \"br-lan\"}");
  EXPECT_FALSE(kept.gatewayInterfaces);
  EXPECT_EQ(placed(kept.problems.at(0)),
            "1:23 \"gatewayInterfaces\" must be an array of interface names; the interfaces in force are kept");
}

// The dashboard's settings: loopback by default; a member of the wrong kind is
// placed and leaves the default.
TEST(ConfigurationFileTest, DashboardSettingsReadOrReported) {
  const std::vector<std::string> loopback{"127.0.0.1:8093", "[::1]:8093"};
  EXPECT_EQ(parsed("{}").dashboard.listen, loopback);
  const Configuration set = parsed(R"({"dashboardListen": ["198.18.0.1:443"], "dashboardCertificate": "/c.pem",)"
                                   R"( "dashboardKey": "/k.pem"})");
  EXPECT_EQ(set.dashboard.listen, std::vector<std::string>{"198.18.0.1:443"});
  EXPECT_EQ(set.dashboard.certificate, "/c.pem");
  EXPECT_EQ(set.dashboard.key, "/k.pem");
  EXPECT_TRUE(set.problems.empty());

  const Configuration wrong = parsed(R"({"dashboardListen": [], "dashboardKey": 3})");
  EXPECT_EQ(wrong.dashboard.listen, loopback);
  EXPECT_EQ(wrong.dashboard.key, "");
  ASSERT_EQ(wrong.problems.size(), 2U);
  EXPECT_EQ(placed(wrong.problems[0]), "1:21 \"dashboardListen\" must be an array of addresses such as "
                                       "\"127.0.0.1:8093\" or \"[::1]:8093\"; the default is used");
  EXPECT_EQ(placed(wrong.problems[1]), "1:41 \"dashboardKey\" must be the path of a PEM file; the default is used");
}

TEST(ConfigurationFileTest, UnreadableFile) {
  const auto loaded = loadConfigurationFile(::testing::TempDir() + "vosk-no-such-file.json");
  EXPECT_EQ(std::get<ConfigurationProblem>(loaded).message, "No such file or directory");
  EXPECT_EQ(std::get<ConfigurationProblem>(loaded).line, 0);
}

}  // namespace
}  // namespace vosk::config
