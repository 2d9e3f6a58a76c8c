#include "ctl/daemon_control.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>

#include "config/configuration_file.hpp"
#include "config/number_text.hpp"

extern char** environ;

namespace vosk::ctl {
namespace {

constexpr std::string_view kDaemonProcessName = "vosk-filter";
// The journal is searched this far back, and this many decisions are shown.
constexpr std::size_t kJournalLinesScanned = 5000;
constexpr std::size_t kBlockedDecisionsShown = 5;

// Runs a program with its output discarded; its exit status, or -1 when it could not run.
int runQuietly(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool unitActive() { return runQuietly({"systemctl", "is-active", "--quiet", serviceUnit}) == 0; }

bool isDaemonProcess(pid_t pid) {
  const auto text = config::readFile(fmt::format("/proc/{}/comm", pid));
  const std::string* comm = std::get_if<std::string>(&text);
  return comm != nullptr && std::string_view(*comm).substr(0, comm->find('\n')) == kDaemonProcessName;
}

}  // namespace

std::optional<pid_t> DaemonControl::pidFromFile() const {
  const auto text = config::readFile(pidFilePath_);
  const std::string* contents = std::get_if<std::string>(&text);
  if (contents == nullptr) return std::nullopt;
  const std::string_view digits = std::string_view(*contents).substr(0, contents->find('\n'));
  const std::optional<pid_t> pid = config::parseWholeNumber<pid_t>(digits);
  if (!pid || *pid <= 0) return std::nullopt;
  return pid;
}

DaemonControl::Process DaemonControl::find() const {
  if (const std::optional<pid_t> pid = pidFromFile(); pid && isDaemonProcess(*pid)) return {true, *pid, false};
  if (!pidFileNamed_ && unitActive()) return {true, 0, true};
  return {};
}

DaemonControl::Reload DaemonControl::reload() const {
  if (!pidFileNamed_ && unitActive()) {
    if (runQuietly({"systemctl", "reload", serviceUnit}) == 0) return {true, "applied: systemctl reload vosk-filter"};
    return {false, "systemctl reload vosk-filter failed (see journalctl -u vosk-filter)"};
  }
  const std::optional<pid_t> pid = pidFromFile();
  if (!pid || !isDaemonProcess(*pid)) {
    return {true, fmt::format("vosk-filter is not running (no live process in {}); the change applies when it starts",
                              pidFilePath_)};
  }
  if (::kill(*pid, SIGHUP) != 0) return {false, fmt::format("cannot signal vosk-filter ({}): {}", *pid, std::strerror(errno))};
  return {true, fmt::format("applied: SIGHUP sent to vosk-filter ({})", *pid)};
}

std::vector<std::string> DaemonControl::lastBlockedDecisions() {
  const std::string command = fmt::format(
      "journalctl -q --no-pager -o short-iso SYSLOG_IDENTIFIER=vosk-filter -n {} 2>/dev/null", kJournalLinesScanned);
  const std::unique_ptr<FILE, int (*)(FILE*)> journal(::popen(command.c_str(), "r"), ::pclose);
  std::deque<std::string> found;
  if (!journal) return {};
  std::string line;
  for (int c = std::fgetc(journal.get()); c != EOF; c = std::fgetc(journal.get())) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    if (line.find("blocked=true") != std::string::npos) {
      found.push_back(std::move(line));
      if (found.size() > kBlockedDecisionsShown) found.pop_front();
    }
    line.clear();
  }
  return {found.begin(), found.end()};
}

}  // namespace vosk::ctl
