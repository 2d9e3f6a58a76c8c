#include <gtest/gtest.h>

#include <cstdint>

#include "config/number_text.hpp"

namespace vosk::config {
namespace {

// The one number parser: all of the text, or nothing.
TEST(NumberTextTest, TakesTheWholeTextOrNothing) {
  EXPECT_EQ(parseWholeNumber<std::uint16_t>("65535"), 65535);
  EXPECT_EQ(parseWholeNumber<std::uint32_t>("20000000", 16), 0x20000000u);
  EXPECT_EQ(parseWholeNumber<std::uint16_t>("65536"), std::nullopt);  // does not fit
  EXPECT_EQ(parseWholeNumber<std::uint16_t>(""), std::nullopt);
  EXPECT_EQ(parseWholeNumber<std::uint16_t>("-1"), std::nullopt);
  EXPECT_EQ(parseWholeNumber<std::size_t>("2x"), std::nullopt);  // once taken as window 2 by `schedule remove`
  EXPECT_EQ(parseWholeNumber<std::size_t>(" 2"), std::nullopt);
}

}  // namespace
}  // namespace vosk::config
