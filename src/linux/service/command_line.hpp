#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "config/paths.hpp"
#include "linux/service/journal_log_sink.hpp"
#include "linux/service/privileges.hpp"

namespace vosk::backend {

using config::defaultConfigurationPath;
inline constexpr const char* defaultEncryptedDnsPath = "/usr/share/vosk-filter/encrypted-dns.txt";
inline constexpr std::uint16_t defaultListenerPort = 15443;
inline constexpr std::uint16_t defaultDnsListenerPort = 15053;
inline constexpr std::uint32_t defaultFirewallMark = 0x20000000;
using config::defaultPidFilePath;
using config::defaultControlSocketPath;
inline constexpr const char* defaultStateDirectory = "/var/lib/vosk-filter";

struct DaemonOptions {
  std::string configurationPath = defaultConfigurationPath;
  std::string encryptedDnsPath = defaultEncryptedDnsPath;
  std::uint16_t listenerPort = defaultListenerPort;
  std::uint16_t dnsListenerPort = defaultDnsListenerPort;  // DNS over TCP in strict mode
  std::uint32_t firewallMark = defaultFirewallMark;
  LogDestination logDestination = LogDestination::automatic;
  std::string user = defaultUnprivilegedUser;  // taken on only when started as root
  std::string pidFilePath = defaultPidFilePath;
  std::string stateDirectory = defaultStateDirectory;  // where the lock outlives a restart, and the history
  std::string controlSocketPath = defaultControlSocketPath;
};

struct CheckConfiguration {
  std::string path;
};
struct ShowHelp {};
struct ShowVersion {};
struct UsageError {
  std::string message;
};

using Command = std::variant<DaemonOptions, CheckConfiguration, ShowHelp, ShowVersion, UsageError>;

// The arguments after the program name.
Command parseCommandLine(const std::vector<std::string>& arguments);
std::string usageText();

}  // namespace vosk::backend
