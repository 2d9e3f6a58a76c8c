#include "linux/service/journal_log_sink.hpp"

#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include "config/number_text.hpp"

namespace vosk::backend {
namespace {

constexpr std::string_view syslogIdentifier = "vosk-filter";

}  // namespace

std::optional<LogDestination> parseLogDestination(std::string_view text) {
  if (text == "stderr") return LogDestination::stderrLines;
  if (text == "journal") return LogDestination::journal;
  if (text == "auto") return LogDestination::automatic;
  return std::nullopt;
}

bool isJournalStream(const char* journalStream, dev_t stderrDevice, ino_t stderrInode) {
  if (journalStream == nullptr) return false;
  const std::string_view text(journalStream);
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const auto device = config::parseWholeNumber<unsigned long long>(text.substr(0, colon));
  const auto inode = config::parseWholeNumber<unsigned long long>(text.substr(colon + 1));
  return device && inode && *device == stderrDevice && *inode == stderrInode;
}

bool stderrIsJournal() {
  struct stat status {};
  if (fstat(STDERR_FILENO, &status) != 0) return false;
  return isJournalStream(std::getenv("JOURNAL_STREAM"), status.st_dev, status.st_ino);
}

int journalPriority(LogLevel level) { return level == LogLevel::fault ? LOG_CRIT : LOG_NOTICE; }

std::vector<std::string> journalFields(const LogRecord& record) {
  return {
      "MESSAGE=" + std::string(record.message),
      "PRIORITY=" + std::to_string(journalPriority(record.level)),
      "SYSLOG_IDENTIFIER=" + std::string(syslogIdentifier),
      "VOSK_SUBSYSTEM=" + std::string(record.subsystem),
      "VOSK_CATEGORY=" + std::string(record.category),
  };
}

void JournalLogSink::write(const LogRecord& record) {
  const std::vector<std::string> fields = journalFields(record);
  std::vector<iovec> vectors;
  vectors.reserve(fields.size());
  for (const std::string& field : fields) {
    vectors.push_back(iovec{const_cast<char*>(field.data()), field.size()});
  }
  sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size()));
}

}  // namespace vosk::backend
