#include <gtest/gtest.h>

#include "linux/service/log_sink.hpp"

namespace vosk::backend {
namespace {

TEST(LogLineTest, TimestampLevelSubsystemCategoryAndMessage) {
  using namespace std::chrono;
  const sys_time<milliseconds> time = sys_days{year{2025} / 1 / 31} + hours{23} + minutes{5} + seconds{9} +
                                      milliseconds{7};
  EXPECT_EQ(formatLogLine(time, LogRecord{"com.brelvant.vosk.VoskNetworkFilter", "transparentproxy",
                                          LogLevel::defaultLevel, "🔎 flow host: a.test:443"}),
            "2025-01-31T23:05:09.007Z default com.brelvant.vosk.VoskNetworkFilter transparentproxy: "
            "🔎 flow host: a.test:443\n");
  EXPECT_EQ(formatLogLine(time + microseconds{999}, LogRecord{"s", "c", LogLevel::fault, "🛑 x"}),
            "2025-01-31T23:05:09.007Z fault s c: 🛑 x\n");
}

TEST(LogLineTest, ControlCharactersFromTheNetworkCannotStartALine) {
  const std::string line = formatLogLine(std::chrono::system_clock::time_point{},
                                         LogRecord{"s", "c", LogLevel::defaultLevel,
                                                   "🔎 flow host: evil\r\n1970-01-01T00:00:00.000Z fault s c: forged\x7F"});
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_NE(line.find("evil\\x0D\\x0A1970"), std::string::npos) << line;
  EXPECT_NE(line.find("forged\\x7F"), std::string::npos) << line;
}

}  // namespace
}  // namespace vosk::backend
