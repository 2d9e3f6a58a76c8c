#include <gtest/gtest.h>

#include "linux/service/command_line.hpp"

namespace vosk::backend {
namespace {

std::string usageError(std::vector<std::string> arguments) {
  const Command command = parseCommandLine(arguments);
  EXPECT_TRUE(std::holds_alternative<UsageError>(command));
  return std::holds_alternative<UsageError>(command) ? std::get<UsageError>(command).message : "";
}

TEST(CommandLineTest, Values) {
  const auto options =
      std::get<DaemonOptions>(parseCommandLine({"--port", "0x3a98", "--dns-port", "5353", "--mark", "42", "--config", "/tmp/c.json",
                                                "--pid-file", "/tmp/p", "--state-dir", "/tmp/s", "--log",
                                                "journal", "--user", "vosk"}));
  EXPECT_EQ(options.logDestination, LogDestination::journal);
  EXPECT_EQ(options.user, "vosk");
  EXPECT_EQ(options.pidFilePath, "/tmp/p");
  EXPECT_EQ(options.stateDirectory, "/tmp/s");
  EXPECT_EQ(options.listenerPort, 15000);
  EXPECT_EQ(options.dnsListenerPort, 5353);
  EXPECT_EQ(options.firewallMark, 42u);
  EXPECT_EQ(options.configurationPath, "/tmp/c.json");
  EXPECT_EQ(std::get<DaemonOptions>(parseCommandLine({"--mark", "0xFFFFFFFF"})).firewallMark, 0xffffffffu);
}

TEST(CommandLineTest, OtherCommands) {
  EXPECT_TRUE(std::holds_alternative<ShowHelp>(parseCommandLine({"--port", "1", "--help"})));
  EXPECT_TRUE(std::holds_alternative<ShowVersion>(parseCommandLine({"--version"})));
  EXPECT_EQ(std::get<CheckConfiguration>(parseCommandLine({"--check-config", "x.json"})).path, "x.json");
}

TEST(CommandLineTest, RefusesWhatItCannotUse) {
  EXPECT_EQ(usageError({"--port", "0"}), "--port needs a port number from 1 to 65535, not \"0\"");
  for (const char* bad : {"65536", "80x", "-1", "0x"}) usageError({"--port", bad});
  EXPECT_EQ(usageError({"--dns-port", "65536"}), "--dns-port needs a port number from 1 to 65535, not \"65536\"");
  EXPECT_EQ(usageError({"--mark", "0"}), "--mark needs a non-zero 32-bit number, not \"0\"");
  usageError({"--mark", "0x100000000"});
  EXPECT_EQ(usageError({"--config"}), "--config needs a value");
  EXPECT_EQ(usageError({"--user"}), "--user needs a value");
  EXPECT_EQ(usageError({"--verbose"}), "unknown argument \"--verbose\"");
  EXPECT_EQ(usageError({"--log", "syslog"}), "--log needs stderr, journal or auto, not \"syslog\"");
}

}  // namespace
}  // namespace vosk::backend
