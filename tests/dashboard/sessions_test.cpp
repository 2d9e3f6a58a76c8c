#include <gtest/gtest.h>

#include <string>

#include "dashboard/login_throttle.hpp"
#include "dashboard/password_file.hpp"
#include "dashboard/sessions.hpp"
#include "support/virtual_time.hpp"

namespace vosk::dashboard {
namespace {

class SessionsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(startSodium()); }
  test::VirtualTimeQueue time_;
  SessionStore sessions_{time_};
};

TEST_F(SessionsTest, TokensAreFreshAndSessionsEndIdleOrAtLogout) {
  const Session first = sessions_.open();
  const Session second = sessions_.open();
  EXPECT_EQ(first.token.size(), 2 * tokenBytes);
  EXPECT_EQ(first.token.find_first_not_of("0123456789abcdef"), std::string::npos);
  for (const std::string& token : {second.token, first.csrf, second.csrf}) EXPECT_NE(first.token, token);

  // Each use restarts the idle time; 12 h without one ends the session.
  time_.advance(sessionIdleSeconds - 1);
  ASSERT_TRUE(sessions_.use(first.token));
  EXPECT_EQ(sessions_.use(first.token)->csrf, first.csrf);
  time_.advance(sessionIdleSeconds - 1);
  EXPECT_TRUE(sessions_.use(first.token));
  EXPECT_FALSE(sessions_.use(second.token));
  time_.advance(sessionIdleSeconds + 1);
  EXPECT_FALSE(sessions_.use(first.token));

  const Session third = sessions_.open();
  sessions_.leaveNotices(third.token, {{"pause", "paused"}});
  EXPECT_EQ(sessions_.takeNotices(third.token), (Notices{{"pause", "paused"}}));
  EXPECT_TRUE(sessions_.takeNotices(third.token).empty());  // shown once
  sessions_.close(third.token);
  EXPECT_FALSE(sessions_.use(third.token));
  EXPECT_FALSE(sessions_.use(""));
}

TEST_F(SessionsTest, TheSessionIdleLongestMakesRoom) {
  const Session oldest = sessions_.open();
  time_.advance(1);
  const Session kept = sessions_.open();
  for (std::size_t i = 2; i < mostSessions; ++i) sessions_.open();
  time_.advance(1);
  ASSERT_TRUE(sessions_.use(kept.token));
  sessions_.open();
  EXPECT_FALSE(sessions_.use(oldest.token));
  EXPECT_TRUE(sessions_.use(kept.token));
}

TEST(TokensTest, EqualOnlyWhenWhollyEqual) {
  const struct {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {{"ab12", "ab12", true}, {"ab12", "ab13", false}, {"ab12", "ab1", false}, {"", "", true}, {"", "a", false}};
  for (const auto& c : cases) EXPECT_EQ(tokensEqual(c.a, c.b), c.equal) << c.a << " " << c.b;
}

TEST(LoginThrottleTest, FiveFailuresShutAnAddressOutForFifteenMinutes) {
  test::VirtualTimeQueue time;
  LoginThrottle throttle(time);
  for (int i = 1; i < failuresBeforeLockout; ++i) throttle.failed("198.18.0.9");
  EXPECT_EQ(throttle.lockedFor("198.18.0.9"), 0);
  throttle.failed("198.18.0.9");
  EXPECT_EQ(throttle.lockedFor("198.18.0.9"), lockoutSeconds);
  EXPECT_EQ(throttle.lockedFor("2001:db8::9"), 0);  // others are not shut out

  time.advance(lockoutSeconds - 60);
  EXPECT_EQ(throttle.lockedFor("198.18.0.9"), 60);
  time.advance(60);
  EXPECT_EQ(throttle.lockedFor("198.18.0.9"), 0);
  throttle.failed("198.18.0.9");  // counted afresh after the lockout
  EXPECT_EQ(throttle.lockedFor("198.18.0.9"), 0);

  // A success forgets the failures before it.
  for (int i = 1; i < failuresBeforeLockout; ++i) throttle.failed("2001:db8::9");
  throttle.succeeded("2001:db8::9");
  throttle.failed("2001:db8::9");
  EXPECT_EQ(throttle.lockedFor("2001:db8::9"), 0);
}

// A host picks new IPv6 addresses from its /64 at will, and failures from
// many addresses do not push a lockout out of memory.
TEST(LoginThrottleTest, NeitherNewAddressesNorManyOthersLiftALockout) {
  test::VirtualTimeQueue time;
  LoginThrottle throttle(time);
  for (int i = 0; i < failuresBeforeLockout; ++i) throttle.failed("2001:db8:1:2::" + std::to_string(i + 1));
  EXPECT_EQ(throttle.lockedFor("2001:db8:1:2:abcd::7"), lockoutSeconds);
  EXPECT_EQ(throttle.lockedFor("2001:db8:1:3::1"), 0);
  // IPv4 clients of an IPv6 socket count one by one.
  for (int i = 0; i < failuresBeforeLockout; ++i) throttle.failed("::ffff:198.18.0.8");
  EXPECT_EQ(throttle.lockedFor("::ffff:198.18.0.7"), 0);
  for (std::size_t i = 0; i < 2 * mostThrottledAddresses; ++i) {
    throttle.failed("198.18." + std::to_string(i / 256) + "." + std::to_string(i % 256));
  }
  EXPECT_EQ(throttle.lockedFor("2001:db8:1:2::1"), lockoutSeconds);
}

}  // namespace
}  // namespace vosk::dashboard
