#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/provider_peer.hpp"
#include "support/test_platform.hpp"

namespace vosk::test {
namespace {

class TrackedFlowCountTest : public ::testing::Test {
 protected:
  TestPlatform platform;
  std::shared_ptr<TransparentProxyProvider> provider = platform.makeProvider();
  TransparentProxyProviderPeer peer{*provider};
};

TEST_F(TrackedFlowCountTest, ConcurrentAdmissionsAndReleasesKeepTheCountExact) {
  constexpr int kThreads = 8;
  constexpr int kAttemptsPerThread = 400;
  std::atomic<int> admitted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kAttemptsPerThread; ++i) {
        if (peer.admitTrackedFlow()) ++admitted;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(admitted.load(), 1000);
  EXPECT_EQ(peer.trackedFlowCount(), 1000);

  // More releases than admissions, from many threads: floored at zero.
  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) peer.releaseTrackedFlow();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(peer.trackedFlowCount(), 0);
}

}  // namespace
}  // namespace vosk::test
