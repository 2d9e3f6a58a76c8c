#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/logger.hpp"

namespace vosk::backend {

// Where the daemon logs (--log): the journal's native protocol, stderr lines,
// or (auto) the journal exactly when stderr is connected to it.
enum class LogDestination { stderrLines, journal, automatic };
std::optional<LogDestination> parseLogDestination(std::string_view text);

// True when JOURNAL_STREAM ("device:inode", set by systemd for a service
// whose output goes to the journal) names the stream that is our stderr.
bool isJournalStream(const char* journalStream, dev_t stderrDevice, ino_t stderrInode);
bool stderrIsJournal();

// default → notice: it carries failures and refusals as well as decisions,
// all kept by default and shown by `journalctl -p notice`; info would file
// them as chatter. fault (the flow-cap refusals) → crit.
int journalPriority(LogLevel level);

// The record's fields as the journal's native protocol takes them.
std::vector<std::string> journalFields(const LogRecord& record);

// Logs through sd_journal_sendv, with the subsystem and category as fields of their own.
class JournalLogSink final : public LogSink {
 public:
  bool isEnabled(LogLevel) const override { return true; }
  void write(const LogRecord& record) override;
};

}  // namespace vosk::backend
