#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "linux/service/journal_log_sink.hpp"

namespace vosk::backend {
namespace {

// The other fields are checked on real entries by tests/e2e/test_journal_log.
TEST(JournalLogSinkTest, FaultsGetTheCriticalPriority) {
  EXPECT_EQ(journalFields(LogRecord{"s", "c", LogLevel::fault, "m"})[1], "PRIORITY=2");
}

TEST(JournalLogSinkTest, JournalStreamMustNameStderrExactly) {
  EXPECT_TRUE(isJournalStream("8:12345", 8, 12345));
  EXPECT_FALSE(isJournalStream("8:12345", 8, 12346));
  EXPECT_FALSE(isJournalStream("9:12345", 8, 12345));
  EXPECT_FALSE(isJournalStream(nullptr, 8, 12345));
  for (const char* malformed : {"", "8", "8:", ":12345", "8:12345x", "x8:12345", "8:-1"}) {
    EXPECT_FALSE(isJournalStream(malformed, 8, 12345)) << malformed;
  }
}

TEST(JournalLogSinkTest, AutomaticChoiceFollowsTheStderrStream) {
  struct stat status {};
  ASSERT_EQ(fstat(STDERR_FILENO, &status), 0);
  const std::string matching = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  const char* saved = getenv("JOURNAL_STREAM");
  const std::string savedValue = saved ? saved : "";

  setenv("JOURNAL_STREAM", matching.c_str(), 1);
  EXPECT_TRUE(stderrIsJournal());
  setenv("JOURNAL_STREAM", "0:0", 1);  // inherited from a parent whose stderr it was
  EXPECT_FALSE(stderrIsJournal());

  if (saved) {
    setenv("JOURNAL_STREAM", savedValue.c_str(), 1);
  } else {
    unsetenv("JOURNAL_STREAM");
  }
}

}  // namespace
}  // namespace vosk::backend
