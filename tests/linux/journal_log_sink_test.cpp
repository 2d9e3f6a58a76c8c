#include <gtest/gtest.h>

#include "linux/service/journal_log_sink.hpp"

namespace vosk::backend {
namespace {

// The other fields, and the automatic choice of the journal, are checked on
// real entries by tests/e2e/test_journal_log.
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

}  // namespace
}  // namespace vosk::backend
