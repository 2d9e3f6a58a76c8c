#include "linux/service/command_line.hpp"

#include <limits>
#include <map>
#include <optional>

#include <fmt/format.h>

#include "config/number_text.hpp"

namespace vosk::backend {
namespace {

// Decimal, or hexadecimal after "0x".
std::optional<std::uint64_t> parseNumber(const std::string& text) {
  int base = 10;
  std::string_view digits = text;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    base = 16;
    digits.remove_prefix(2);
  }
  return config::parseWholeNumber<std::uint64_t>(digits, base);
}

}  // namespace

std::string usageText() {
  return fmt::format(
      "Usage: vosk-filter [--config FILE] [--encrypted-dns FILE] [--port N] [--dns-port N] [--mark N] [--log WHERE]\n"
      "                   [--user NAME] [--pid-file PATH] [--state-dir DIR] [--control-socket PATH]\n"
      "       vosk-filter --check-config FILE\n"
      "\n"
      "Filters outbound TCP to ports 443 and 80 on this host: flows to blocked sites are\n"
      "closed, all others are relayed; while blocking is on, QUIC (UDP 443) is refused.\n"
      "Needs CAP_NET_ADMIN.\n"
      "\n"
      "  --config FILE        configuration (default {}); SIGHUP re-reads it\n"
      "  --encrypted-dns FILE public encrypted-DNS endpoints closed in strict mode (default {})\n"
      "  --port N             port of the listeners, redirected connections only (default {})\n"
      "  --dns-port N         port of the listener for DNS over TCP in strict mode, likewise (default {})\n"
      "  --mark N             firewall mark of the daemon's own connections (default {:#x})\n"
      "  --log WHERE          stderr, journal, or auto: the journal when stderr is connected to it (default)\n"
      "  --user NAME          started as root, continue as NAME with only CAP_NET_ADMIN (default {})\n"
      "  --pid-file PATH      where to write the process id (default {})\n"
      "  --state-dir DIR      where the blocking lock and the history are kept (default {})\n"
      "  --control-socket PATH  the control API's socket, for voskctl (default {})\n"
      "  --check-config FILE  validate FILE, print a summary, exit 0 (valid) or 1\n"
      "  --help, --version\n"
      "Numbers are decimal or 0x-hexadecimal.\n",
      defaultConfigurationPath, defaultEncryptedDnsPath, defaultListenerPort, defaultDnsListenerPort, defaultFirewallMark,
      defaultUnprivilegedUser, defaultPidFilePath, defaultStateDirectory, defaultControlSocketPath);
}

Command parseCommandLine(const std::vector<std::string>& arguments) {
  DaemonOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") return ShowHelp{};
    if (argument == "--version") return ShowVersion{};
    // Options whose value is taken as written.
    static const std::map<std::string_view, std::string DaemonOptions::*> textOptions = {
        {"--config", &DaemonOptions::configurationPath},
        {"--encrypted-dns", &DaemonOptions::encryptedDnsPath},
        {"--user", &DaemonOptions::user},
        {"--pid-file", &DaemonOptions::pidFilePath},
        {"--state-dir", &DaemonOptions::stateDirectory},
        {"--control-socket", &DaemonOptions::controlSocketPath}};
    const auto textOption = textOptions.find(argument);
    const bool takesValue = textOption != textOptions.end() || argument == "--port" || argument == "--dns-port" ||
                           argument == "--mark" ||
                            argument == "--check-config" || argument == "--log";
    if (!takesValue) return UsageError{fmt::format("unknown argument \"{}\"", argument)};
    if (i + 1 == arguments.size()) return UsageError{fmt::format("{} needs a value", argument)};
    const std::string& value = arguments[++i];
    if (argument == "--check-config") return CheckConfiguration{value};
    if (textOption != textOptions.end()) {
      options.*(textOption->second) = value;
      continue;
    }
    if (argument == "--log") {
      const std::optional<LogDestination> destination = parseLogDestination(value);
      if (!destination) return UsageError{fmt::format("--log needs stderr, journal or auto, not \"{}\"", value)};
      options.logDestination = *destination;
      continue;
    }
    const std::optional<std::uint64_t> number = parseNumber(value);
    if (argument == "--port" || argument == "--dns-port") {
      if (!number || *number == 0 || *number > std::numeric_limits<std::uint16_t>::max()) {
        return UsageError{fmt::format("{} needs a port number from 1 to 65535, not \"{}\"", argument, value)};
      }
      (argument == "--port" ? options.listenerPort : options.dnsListenerPort) = static_cast<std::uint16_t>(*number);
    } else {
      if (!number || *number == 0 || *number > std::numeric_limits<std::uint32_t>::max()) {
        return UsageError{fmt::format("--mark needs a non-zero 32-bit number, not \"{}\"", value)};
      }
      options.firewallMark = static_cast<std::uint32_t>(*number);
    }
  }
  return options;
}

}  // namespace vosk::backend
