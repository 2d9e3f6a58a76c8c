#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "linux/service/journal_log_sink.hpp"
#include "platform/logger.hpp"

namespace vosk::backend {

// "2025-01-31T12:00:00.123Z default SUBSYSTEM CATEGORY: message"
std::string formatLogLine(std::chrono::system_clock::time_point time, const LogRecord& record);

// One line per message on standard error; lines from different threads never mix.
class StderrLogSink final : public LogSink {
 public:
  bool isEnabled(LogLevel) const override { return true; }
  void write(const LogRecord& record) override;

 private:
  std::mutex mutex_;
};

// The one place that decides where the daemon's log goes.
std::shared_ptr<LogSink> makeDaemonLogSink(LogDestination destination);

}  // namespace vosk::backend
