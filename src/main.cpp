// vosk-filter: the site-blocking filter as a Linux daemon.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "config/configuration_file.hpp"
#include "linux/service/command_line.hpp"
#include "linux/service/control_server.hpp"
#include "linux/service/daemon.hpp"
#include "linux/service/privileges.hpp"

namespace {

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

// Problems and normalised entries on stderr, one a line, as the daemon logs
// them; the summary on stdout. Valid only without problems.
int checkConfiguration(const std::string& path) {
  using namespace vosk::config;
  auto loaded = loadConfigurationFile(path);
  if (auto* problem = std::get_if<ConfigurationProblem>(&loaded)) {
    std::fprintf(stderr, "%s\n", describeProblem(path, *problem).c_str());
    return exitFailure;
  }
  const Configuration& configuration = std::get<Configuration>(loaded);
  for (const std::string& note : describeNotes(path, configuration)) std::fprintf(stderr, "%s\n", note.c_str());
  std::printf("%s: %s\n", path.c_str(), configuration.summary.c_str());
  return configuration.problems.empty() ? 0 : exitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vosk::backend;
  const Command command = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (const auto* error = std::get_if<UsageError>(&command)) {
    std::fprintf(stderr, "vosk-filter: %s\n%s", error->message.c_str(), usageText().c_str());
    return exitUsage;
  }
  if (std::holds_alternative<ShowHelp>(command)) {
    std::printf("%s", usageText().c_str());
    return 0;
  }
  if (std::holds_alternative<ShowVersion>(command)) {
    std::printf("vosk-filter %s\n", VOSK_VERSION);
    return 0;
  }
  if (const auto* check = std::get_if<CheckConfiguration>(&command)) return checkConfiguration(check->path);

  const DaemonOptions& options = std::get<DaemonOptions>(command);
  // Started as root (the service manager starts us unprivileged already):
  // continue as the user, before any thread exists to keep root. The pid
  // file is written first, where only root may write; the state directory is
  // handed to the user (without it a lock only lasts until a restart).
  PidFile pidFile(options.pidFilePath);
  // Bound while still root where the socket's directory needs it; who may do
  // what is judged per call from the peer's credentials.
  std::variant<int, Failure> controlSocket = openControlSocket(options.controlSocketPath);
  if (geteuid() == 0) {
    if (const Failure failure = handDirectoryTo(options.stateDirectory, options.user)) {
      std::fprintf(stderr, "vosk-filter: ⚠️ no state directory %s: %s\n", options.stateDirectory.c_str(),
                   failure.message().c_str());
    }
    if (const Failure failure = dropPrivileges(options.user)) {
      pidFile.remove();
      std::fprintf(stderr, "vosk-filter: cannot leave root for user %s: %s\n", options.user.c_str(),
                   failure.message().c_str());
      return exitFailure;
    }
  }

  Daemon daemon(options, std::move(pidFile), std::move(controlSocket));  // run() ends the process; never destroyed
  daemon.run();
}
