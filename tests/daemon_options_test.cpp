#include <gtest/gtest.h>

#include "platform/linux/command_line.hpp"

namespace vosk::backend {
namespace {

DaemonOptions optionsFrom(std::vector<std::string> arguments) {
  const Command command = parseCommandLine(arguments);
  EXPECT_TRUE(std::holds_alternative<DaemonOptions>(command));
  return std::holds_alternative<DaemonOptions>(command) ? std::get<DaemonOptions>(command) : DaemonOptions{};
}

bool isUsageError(std::vector<std::string> arguments) {
  return std::holds_alternative<UsageError>(parseCommandLine(arguments));
}

TEST(DaemonOptionsTest, LogDestinationAndUser) {
  const DaemonOptions defaults = optionsFrom({});
  EXPECT_EQ(defaults.logDestination, LogDestination::automatic);
  EXPECT_EQ(defaults.user, "nobody");

  const DaemonOptions chosen = optionsFrom({"--log", "journal", "--user", "vosk"});
  EXPECT_EQ(chosen.logDestination, LogDestination::journal);
  EXPECT_EQ(chosen.user, "vosk");
  EXPECT_EQ(optionsFrom({"--log", "stderr"}).logDestination, LogDestination::stderrLines);

  EXPECT_TRUE(isUsageError({"--log", "syslog"}));
  EXPECT_TRUE(isUsageError({"--user"}));
}

TEST(DaemonOptionsTest, TheFirewallMarkLeavesTheUdpVerdictBitsAlone) {
  const UdpQueueSettings udp;
  EXPECT_EQ(optionsFrom({"--mark", "0x100"}).firewallMark, 0x100u);
  EXPECT_TRUE(isUsageError({"--mark", std::to_string(udp.declineMark)}));
  EXPECT_TRUE(isUsageError({"--mark", std::to_string(udp.refuseMark | 0x1)}));
}

}  // namespace
}  // namespace vosk::backend
