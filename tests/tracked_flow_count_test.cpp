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

TEST_F(TrackedFlowCountTest, AdmitsUpToTheCapAndRefusesBeyond) {
  for (int i = 0; i < 999; ++i) ASSERT_TRUE(peer.admitTrackedFlow());
  EXPECT_TRUE(peer.admitTrackedFlow());  // the 1000th
  EXPECT_EQ(peer.trackedFlowCount(), 1000);
  EXPECT_FALSE(peer.admitTrackedFlow());
  EXPECT_EQ(peer.trackedFlowCount(), 1000);
  peer.releaseTrackedFlow();
  EXPECT_TRUE(peer.admitTrackedFlow());
}

TEST_F(TrackedFlowCountTest, ReleaseAtZeroStaysAtZero) {
  peer.releaseTrackedFlow();
  EXPECT_EQ(peer.trackedFlowCount(), 0);
  ASSERT_TRUE(peer.admitTrackedFlow());
  peer.releaseTrackedFlow();
  peer.releaseTrackedFlow();
  EXPECT_EQ(peer.trackedFlowCount(), 0);
}

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

TEST_F(TrackedFlowCountTest, FreshProviderHasNothingInForce) {
  EXPECT_FALSE(peer.cachedBlockingEnabled());
  EXPECT_TRUE(peer.cachedSites().empty());
  EXPECT_TRUE(peer.activeFlows().entries().empty());
  EXPECT_FALSE(peer.hasSweepTimer());
  // Before any start, no grace period can hold anything back.
  EXPECT_GT(platform.mainQueue.now() - peer.startProxyTime(), 1.0e9);
}

}  // namespace
}  // namespace vosk::test
