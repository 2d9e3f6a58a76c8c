#include "linux/service/log_sink.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>

namespace vosk::backend {

namespace {

bool isControlCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

// Messages carry host names taken from the network: a CR or LF in one must not
// start a line of its own, so control characters are written as \xNN. Most
// messages have none and are used as they are.
std::string_view withoutControlCharacters(std::string_view message, std::string& escaped) {
  if (std::none_of(message.begin(), message.end(), isControlCharacter)) return message;
  escaped.reserve(message.size());
  for (const char c : message) {
    if (isControlCharacter(c)) {
      escaped += fmt::format("\\x{:02X}", static_cast<unsigned char>(c));
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
  // A line per flow, a new second far less often: its text is kept per thread.
  thread_local std::optional<std::chrono::sys_seconds> second;
  thread_local std::string secondText;
  if (second != seconds) {
    secondText = fmt::format("{:%Y-%m-%dT%H:%M:%S}", seconds);
    second = seconds;
  }
  std::string escaped;
  return fmt::format("{}.{:03d}Z {} {} {}: {}\n", secondText, (milliseconds - seconds).count(),
                     logLevelName(record.level), record.subsystem, record.category,
                     withoutControlCharacters(record.message, escaped));
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
