#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/virtual_time.hpp"

namespace vosk::test {
namespace {

TEST(VirtualTimeQueueTest, RunsSameDeadlineWorkInSchedulingOrder) {
  VirtualTimeQueue queue;
  std::vector<std::string> ran;
  queue.schedule(5, [&] { ran.push_back("a@5"); });
  queue.post([&] { ran.push_back("post1"); });
  queue.schedule(5, [&] { ran.push_back("b@5"); });
  queue.schedule(2, [&] { ran.push_back("c@2"); });
  queue.post([&] { ran.push_back("post2"); });
  EXPECT_EQ(queue.runUntilIdle(), 2u);
  EXPECT_EQ(ran, (std::vector<std::string>{"post1", "post2"}));
  const Instant start = queue.now();
  queue.advance(10);
  EXPECT_EQ(ran, (std::vector<std::string>{"post1", "post2", "c@2", "a@5", "b@5"}));
  EXPECT_DOUBLE_EQ(queue.now() - start, 10.0);
}

TEST(VirtualTimeQueueTest, WorkSeesItsOwnDeadlineAndPostsRunInOrder) {
  VirtualTimeQueue queue;
  const Instant start = queue.now();
  std::vector<std::string> ran;
  queue.schedule(3, [&] {
    ran.push_back("at " + std::to_string(static_cast<int>(queue.now() - start)));
    queue.post([&] { ran.push_back("posted at " + std::to_string(static_cast<int>(queue.now() - start))); });
  });
  queue.schedule(4, [&] { ran.push_back("at 4"); });
  queue.advance(4);
  EXPECT_EQ(ran, (std::vector<std::string>{"at 3", "posted at 3", "at 4"}));
}

TEST(VirtualTimeQueueTest, CancelBeforeRunStopsItAndAfterRunDoesNothing) {
  VirtualTimeQueue queue;
  int ran = 0;
  auto cancelled = queue.schedule(1, [&] { ++ran; });
  auto kept = queue.schedule(1, [&] { ++ran; });
  cancelled->cancel();
  EXPECT_EQ(queue.pendingCount(), 1u);
  queue.advance(1);
  EXPECT_EQ(ran, 1);
  kept->cancel();  // already ran
  cancelled->cancel();
  queue.advance(5);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(VirtualTimeQueueTest, RepeatingTimerFiresOnAFixedGridUntilDestroyed) {
  VirtualTimeQueue queue;
  const Instant start = queue.now();
  std::vector<double> firings;
  auto timer = queue.makeRepeatingTimer(60, 60, [&] { firings.push_back(queue.now() - start); });
  EXPECT_EQ(queue.repeatingTimerCount(), 1u);
  queue.advance(59.999);
  EXPECT_TRUE(firings.empty());
  queue.advance(0.001 + 150);  // to 210 s
  EXPECT_EQ(firings, (std::vector<double>{60, 120, 180}));
  queue.advance(30);
  EXPECT_EQ(firings.back(), 240);
  timer.reset();
  EXPECT_EQ(queue.repeatingTimerCount(), 0u);
  queue.advance(600);
  EXPECT_EQ(firings.size(), 4u);
}

}  // namespace
}  // namespace vosk::test
