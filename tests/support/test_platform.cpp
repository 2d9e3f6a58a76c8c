#include "support/test_platform.hpp"

#include <algorithm>

namespace vosk::test {

void TestPlatform::settle() {
  for (;;) {
    const std::size_t ran = platformQueue.drain() + mainQueue.runUntilIdle();
    if (ran == 0) return;
  }
}

void TestPlatform::advance(double seconds, double step) {
  settle();
  while (seconds > 0) {
    const double move = std::min(step, seconds);
    mainQueue.advance(move);
    settle();
    seconds -= move;
  }
}

BlockedSite makeSite(int number, std::string name, std::vector<std::string> domains) {
  std::array<std::uint8_t, 16> bytes{};
  bytes[15] = static_cast<std::uint8_t>(number);
  bytes[14] = static_cast<std::uint8_t>(number >> 8);
  return BlockedSite{Uuid(bytes), std::move(name), std::move(domains)};
}

}  // namespace vosk::test
