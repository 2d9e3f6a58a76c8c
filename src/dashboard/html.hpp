#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vosk::dashboard {

// Text made safe in HTML element content and in quoted attribute values.
std::string escapeHtml(std::string_view text);

// Text as one value of a URL's query: all but letters, digits and "-._~" as %XX.
std::string urlEncode(std::string_view text);

struct Bar {
  std::string label;  // a day "YYYY-MM-DD", a site
  std::int64_t count = 0;
};

// An inline SVG bar chart, one bar each in the order given, each bar with its
// label and count as a title (read out by screen readers, shown on hover) and
// the whole with a text alternative.
std::string barChartSvg(const std::vector<Bar>& bars, std::string_view label);

}  // namespace vosk::dashboard
