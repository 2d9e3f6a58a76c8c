#include "config/number_text.hpp"

namespace vosk::config {

std::optional<std::chrono::seconds> parseDuration(std::string_view text, std::chrono::seconds unit) {
  using namespace std::chrono;
  constexpr std::int64_t mostUnits = 100000;
  const std::size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
  const std::optional<std::int64_t> count = parseWholeNumber<std::int64_t>(text.substr(0, digits));
  if (!count || *count <= 0 || *count > mostUnits) return std::nullopt;
  const std::string_view suffix = text.substr(digits);
  if (suffix == "s") unit = seconds(1);
  else if (suffix == "m") unit = minutes(1);
  else if (suffix == "h") unit = hours(1);
  else if (suffix == "d") unit = days(1);
  else if (!suffix.empty()) return std::nullopt;
  return *count * unit;
}

}  // namespace vosk::config
