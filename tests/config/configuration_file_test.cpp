#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "config/configuration_file.hpp"

namespace vosk::config {
namespace {

ConfigurationDictionary parsed(std::string_view text) {
  auto result = parseConfiguration(text);
  EXPECT_TRUE(std::holds_alternative<ConfigurationDictionary>(result))
      << std::get<ConfigurationProblem>(result).message;
  return std::get<ConfigurationDictionary>(result);
}

ConfigurationProblem problem(std::string_view text) {
  auto result = parseConfiguration(text);
  EXPECT_TRUE(std::holds_alternative<ConfigurationProblem>(result));
  return std::get<ConfigurationProblem>(result);
}

std::string textOf(const ConfigurationValue& value) {
  const Bytes& bytes = std::get<Bytes>(value);
  return std::string(bytes.begin(), bytes.end());
}

constexpr std::string_view site =
    R"({"id": "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8", "name": "A [\"x\"] }", "domains": ["a.test", "b.test"]})";

TEST(ConfigurationFileTest, MembersBecomeValuesOfTheirKind) {
  const ConfigurationDictionary dictionary = parsed(
      R"({"blockingEnabled": true, "name": "x", "count": 3, "big": 18446744073709551615, "ratio": 0.5,
          "nothing": null, "list": [1], "object": {"a": 1}})");
  EXPECT_EQ(std::get<bool>(dictionary.at("blockingEnabled")), true);
  EXPECT_EQ(std::get<std::string>(dictionary.at("name")), "x");
  EXPECT_EQ(std::get<std::int64_t>(dictionary.at("count")), 3);
  EXPECT_DOUBLE_EQ(std::get<double>(dictionary.at("big")), 18446744073709551615.0);
  EXPECT_DOUBLE_EQ(std::get<double>(dictionary.at("ratio")), 0.5);
  EXPECT_EQ(dictionary.count("nothing") + dictionary.count("list") + dictionary.count("object"), 0u);
}

TEST(ConfigurationFileTest, SitesDataIsExactlyTheMembersOwnText) {
  const std::string sites = "[\n    " + std::string(site) + " ,\n  " + R"({"x": "}]\\\"}]" })" + "\n  ]";
  const ConfigurationDictionary dictionary =
      parsed("\xEF\xBB\xBF {\"before\": [\"sitesData\", {\"sitesData\": 1}],\n  \"sitesData\": " + sites +
             ",\n  \"after\": false}");
  EXPECT_EQ(textOf(dictionary.at("sitesData")), sites);
  EXPECT_EQ(std::get<bool>(dictionary.at("after")), false);
}

TEST(ConfigurationFileTest, LastOfRepeatedSitesDataWinsAndEscapedKeysCount) {
  const ConfigurationDictionary dictionary = parsed(R"({"sitesData": [1], "sites\u0044ata": "text", "n": 1})");
  EXPECT_EQ(textOf(dictionary.at("sitesData")), R"("text")");
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

class ConfigurationFileCheckTest : public ::testing::Test {
 protected:
  void write(const std::string& text) { std::ofstream(path) << text; }
  void TearDown() override { std::remove(path.c_str()); }
  std::variant<std::string, ConfigurationProblem> check() { return checkConfigurationFile(path); }

  const std::string path = ::testing::TempDir() + "vosk_configuration_check.json";
};

TEST_F(ConfigurationFileCheckTest, SummarisesAValidFile) {
  write(R"({"blockingEnabled": true, "sitesData": [)" + std::string(site) + "]}");
  EXPECT_EQ(std::get<std::string>(check()), "blocking on, 1 site, 2 domains");
  write(R"({"sitesData": []})");
  EXPECT_EQ(std::get<std::string>(check()), "blocking off, 0 sites, 0 domains");
  write(R"({"blockingEnabled": false})");
  EXPECT_EQ(std::get<std::string>(check()), "blocking off, no \"sitesData\" (the block list in force is kept)");
}

TEST_F(ConfigurationFileCheckTest, RejectsWhatTheFilterWouldIgnore) {
  write(R"({"blockingEnabled": "true"})");
  EXPECT_EQ(std::get<ConfigurationProblem>(check()).message, "\"blockingEnabled\" must be true or false");

  write("{\"blockingEnabled\": true,\n \"sitesData\": [{\"name\": \"no id\", \"domains\": []}]}");
  const ConfigurationProblem sites = std::get<ConfigurationProblem>(check());
  EXPECT_EQ(sites.line, 2);
  EXPECT_EQ(sites.column, 15);
  EXPECT_NE(sites.message.find("not a block list"), std::string::npos);

  std::remove(path.c_str());
  EXPECT_EQ(std::get<ConfigurationProblem>(check()).message, "No such file or directory");
  EXPECT_EQ(std::get<ConfigurationProblem>(loadConfigurationFile(path)).line, 0);
}

}  // namespace
}  // namespace vosk::config
