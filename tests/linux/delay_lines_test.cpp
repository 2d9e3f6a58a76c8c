#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "linux/service/delay_lines.hpp"

namespace vosk::backend {
namespace {

using std::chrono::seconds;

class DelayLinesTest : public ::testing::Test {
 protected:
  std::shared_ptr<DelayLines::Work> add(const std::string& name, DelayLines::TimePoint now, DelayLines::Duration delay) {
    auto work = std::make_shared<DelayLines::Work>([this, name] { ran.push_back(name); });
    lines.add(work, now, delay);
    return work;
  }

  const DelayLines::TimePoint start{};
  int retireCalls = 0;
  DelayLines lines{[this] { ++retireCalls; }};
  std::vector<std::string> ran;
};

TEST_F(DelayLinesTest, RunsDueWorkAcrossDelaysInDeadlineOrderAndCancelledWorkNever) {
  add("a 10s", start, seconds{10});
  auto b = add("b 3s", start, seconds{3});
  add("c 10s", start + seconds{1}, seconds{10});
  auto d = add("d 3s", start + seconds{1}, seconds{3});
  add("e 3s", start + seconds{2}, seconds{3});
  auto f = add("f 10s", start + seconds{2}, seconds{10});
  d->cancel();  // from the middle of its line
  f->cancel();  // from the back
  f->cancel();  // again: harmless
  add("g 10s", start + seconds{3}, seconds{10});  // behind a cancelled back
  EXPECT_EQ(lines.earliest(), start + seconds{3});

  lines.runDue(start + seconds{2});
  EXPECT_TRUE(ran.empty());
  lines.runDue(start + seconds{10});
  EXPECT_EQ(ran, (std::vector<std::string>{"b 3s", "e 3s", "a 10s"}));
  b->cancel();  // after it ran: nothing happens
  EXPECT_EQ(lines.earliest(), start + seconds{11});
  lines.runDue(start + seconds{20});
  EXPECT_EQ(ran, (std::vector<std::string>{"b 3s", "e 3s", "a 10s", "c 10s", "g 10s"}));
  EXPECT_EQ(lines.earliest(), std::nullopt);

  // Work cancelled before it is put in line stays out.
  auto late = std::make_shared<DelayLines::Work>([this] { ran.push_back("late"); });
  late->cancel();
  lines.add(late, start, seconds{1});
  EXPECT_EQ(lines.earliest(), std::nullopt);
}

TEST_F(DelayLinesTest, WorkMayAddAndCancelWhileRunningAndDueAdditionsRunToo) {
  std::shared_ptr<DelayLines::Work> victim;
  auto first = std::make_shared<DelayLines::Work>([&] {
    ran.push_back("first");
    victim->cancel();
    add("now", start + seconds{1}, seconds{0});
    add("later", start + seconds{1}, seconds{5});
  });
  lines.add(first, start, seconds{1});
  victim = add("victim", start, seconds{1});
  lines.runDue(start + seconds{2});
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "now"}));
  EXPECT_EQ(lines.earliest(), start + seconds{6});
}

// Work usually holds the object that holds its handle: keeping what it holds
// once it has run or been cancelled would keep every such object for ever.
TEST_F(DelayLinesTest, WorkGivesUpWhatItHoldsOnceRunOrCancelledButNotInsideCancel) {
  auto held = std::make_shared<int>(0);
  const std::weak_ptr<int> watch = held;
  auto ranWork = std::make_shared<DelayLines::Work>([held] {});
  auto cancelledWork = std::make_shared<DelayLines::Work>([held] {});
  lines.add(ranWork, start, seconds{1});
  lines.add(cancelledWork, start, seconds{2});
  held.reset();

  lines.runDue(start + seconds{1});
  cancelledWork->cancel();
  EXPECT_FALSE(watch.expired()) << "destroyed inside cancel()";
  EXPECT_EQ(retireCalls, 1);
  lines.destroyRetired();
  EXPECT_TRUE(watch.expired()) << "still held by work that ran or was cancelled";
  EXPECT_EQ(lines.earliest(), std::nullopt);
}

TEST_F(DelayLinesTest, ALongLineIsDestroyedWithoutRecursion) {
  auto many = std::make_unique<DelayLines>([] {});
  std::weak_ptr<DelayLines::Work> last;
  for (int i = 0; i < 1'000'000; ++i) {
    auto work = std::make_shared<DelayLines::Work>([] {});
    many->add(work, start, seconds{30});
    last = work;
  }
  many.reset();
  EXPECT_TRUE(last.expired());
}

}  // namespace
}  // namespace vosk::backend
