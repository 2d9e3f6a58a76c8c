#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vosk::ctl {

inline constexpr const char* serviceUnit = "vosk-filter";

// Finds the running daemon and makes it re-read its configuration: through
// the service manager while the unit is active (unless a pid file was named
// explicitly), otherwise by SIGHUP to the process the pid file names.
class DaemonControl {
 public:
  DaemonControl(std::string pidFilePath, bool pidFileNamed)
      : pidFilePath_(std::move(pidFilePath)), pidFileNamed_(pidFileNamed) {}

  struct Process {
    bool running = false;
    pid_t pid = 0;          // 0 when unknown
    bool underSystemd = false;
  };
  Process find() const;

  // What was done ("reloaded through systemctl", ...), or why it failed.
  struct Reload {
    bool ok = false;
    std::string what;
  };
  Reload reload() const;

  // The last decisions that blocked a flow, from the journal; empty when it has none.
  static std::vector<std::string> lastBlockedDecisions();

 private:
  std::optional<pid_t> pidFromFile() const;

  std::string pidFilePath_;
  bool pidFileNamed_;
};

}  // namespace vosk::ctl
