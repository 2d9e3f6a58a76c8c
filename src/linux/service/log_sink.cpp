#include "linux/service/log_sink.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>

namespace vosk::backend {

namespace {

// Messages carry host names taken from the network: a CR or LF in one must not
// start a line of its own, so control characters are written as \xNN.
std::string escapedControlCharacters(std::string_view message) {
  std::string escaped;
  escaped.reserve(message.size());
  for (const char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      escaped += fmt::format("\\x{:02X}", byte);
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace

std::string formatLogLine(std::chrono::system_clock::time_point time, const LogRecord& record) {
  const auto milliseconds = std::chrono::floor<std::chrono::milliseconds>(time);
  const auto seconds = std::chrono::floor<std::chrono::seconds>(milliseconds);
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03d}Z {} {} {}: {}\n", seconds, (milliseconds - seconds).count(),
                     logLevelName(record.level), record.subsystem, record.category,
                     escapedControlCharacters(record.message));
}

void StderrLogSink::write(const LogRecord& record) {
  const std::string line = formatLogLine(std::chrono::system_clock::now(), record);
  std::lock_guard lock(mutex_);
  for (std::size_t written = 0; written < line.size();) {
    const ssize_t result = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return;  // nowhere to log to: nothing better to do
    written += static_cast<std::size_t>(result);
  }
}

std::shared_ptr<LogSink> makeDaemonLogSink(LogDestination destination) {
  const bool journal = destination == LogDestination::journal ||
                       (destination == LogDestination::automatic && stderrIsJournal());
  if (journal) return std::make_shared<JournalLogSink>();
  return std::make_shared<StderrLogSink>();
}

}  // namespace vosk::backend
