#pragma once

#include <algorithm>
#include <charconv>
#include <chrono>
#include <concepts>
#include <optional>
#include <string_view>

namespace vosk::config {

// The whole of `text` as a number in `base`: nothing when it is empty, holds
// anything else (spaces, a suffix, a sign for an unsigned type) or the number
// does not fit. The one number parser of the configuration, the daemon and its tools.
template <std::integral Number>
std::optional<Number> parseWholeNumber(std::string_view text, int base = 10) {
  Number value{};
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

// "90s", "15m", "8h", "2d"; a bare number counts in `unit`. Nothing for
// zero, anything else, or more than 100,000 units.
std::optional<std::chrono::seconds> parseDuration(std::string_view text, std::chrono::seconds unit);

}  // namespace vosk::config
