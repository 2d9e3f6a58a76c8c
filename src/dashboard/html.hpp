#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vosk::dashboard {

// Text made safe in HTML element content and in quoted attribute values.
std::string escapeHtml(std::string_view text);

struct DayCount {
  std::string day;  // YYYY-MM-DD
  std::int64_t count = 0;
};

// An inline SVG bar chart, one bar a day in the order given, each bar with
// its day and count as a title (read out by screen readers, shown on hover)
// and the whole with a text alternative.
std::string barChartSvg(const std::vector<DayCount>& days, std::string_view label);

}  // namespace vosk::dashboard
