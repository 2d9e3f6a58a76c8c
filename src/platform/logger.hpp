#pragma once

#include <fmt/format.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace vosk {

enum class LogLevel { defaultLevel, fault };

constexpr std::string_view logLevelName(LogLevel level) {
  return level == LogLevel::fault ? "fault" : "default";
}

struct LogRecord {
  std::string_view subsystem;
  std::string_view category;
  LogLevel level;
  std::string_view message;
};

// Where log lines go (stderr, the journal, a test's capture).
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual bool isEnabled(LogLevel level) const = 0;
  virtual void write(const LogRecord& record) = 0;
};

// A logger with a subsystem and category. Messages are formatted only when
// their level is enabled.
class Logger {
 public:
  Logger(std::string subsystem, std::string category, std::shared_ptr<LogSink> sink)
      : subsystem_(std::move(subsystem)), category_(std::move(category)), sink_(std::move(sink)) {}

  template <typename... Args>
  void log(fmt::format_string<Args...> format, Args&&... args) const {
    emit(LogLevel::defaultLevel, format, std::forward<Args>(args)...);
  }

  template <typename... Args>
  void fault(fmt::format_string<Args...> format, Args&&... args) const {
    emit(LogLevel::fault, format, std::forward<Args>(args)...);
  }

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  template <typename... Args>
  void emit(LogLevel level, fmt::format_string<Args...> format, Args&&... args) const {
    if (!sink_->isEnabled(level)) return;
    const std::string message = fmt::format(format, std::forward<Args>(args)...);
    sink_->write(LogRecord{subsystem_, category_, level, message});
  }

  std::string subsystem_;
  std::string category_;
  std::shared_ptr<LogSink> sink_;
};

}  // namespace vosk
