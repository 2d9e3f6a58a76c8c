#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "linux/service/dbus_notification_poster.hpp"
#include "support/capture.hpp"

namespace vosk::backend {
namespace {

// Each reading is a second after the one before: time runs out between any
// two looks at the clock.
class SteppingClock final : public Clock {
 public:
  Instant now() const override { return Instant::fromSeconds(seconds_ += 1.0); }

 private:
  mutable double seconds_ = 0;
};

// Points the system bus at `address` for the life of the object.
class SystemBusAddress {
 public:
  explicit SystemBusAddress(const std::string& address) {
    if (const char* previous = getenv(variable)) saved_ = previous;
    setenv(variable, address.c_str(), 1);
  }
  ~SystemBusAddress() {
    if (saved_) {
      setenv(variable, saved_->c_str(), 1);
    } else {
      unsetenv(variable);
    }
  }

 private:
  static constexpr const char* variable = "DBUS_SYSTEM_BUS_ADDRESS";
  std::optional<std::string> saved_;
};

class DbusNotificationPosterTest : public ::testing::Test {
 protected:
  DbusNotificationPosterTest() {
    char pattern[] = "/tmp/vosk-bus-test-XXXXXX";
    directory = mkdtemp(pattern);
  }
  ~DbusNotificationPosterTest() override { std::filesystem::remove_all(directory); }

  std::string directory;
  SteppingClock clock;
  std::shared_ptr<test::CapturingLogSink> log = std::make_shared<test::CapturingLogSink>();
  DbusNotificationPoster poster{clock, Logger("com.brelvant.vosk.VoskNetworkFilter", "transparentproxy", log)};
};

// No bus at all, and the signal's path, interface and member: tests/e2e/test_site_blocked_signal.
TEST_F(DbusNotificationPosterTest, ABusThatNeverAnswersDoesNotHoldThePost) {
  // Accepts connections (in its backlog) and never says a word.
  const std::string path = directory + "/silent";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un socketAddress{};
  socketAddress.sun_family = AF_UNIX;
  path.copy(socketAddress.sun_path, sizeof socketAddress.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress), 0);
  ASSERT_EQ(listen(listener, 4), 0);

  const SystemBusAddress address("unix:path=" + path);
  poster.post("com.brelvant.vosk.siteBlocked", [] { ADD_FAILURE() << "reported as posted"; });
  const auto messages = log->messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("no answer within the send limit"), std::string::npos) << messages[0];
  close(listener);
}

}  // namespace
}  // namespace vosk::backend
