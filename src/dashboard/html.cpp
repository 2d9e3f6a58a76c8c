#include "dashboard/html.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace vosk::dashboard {
namespace {

constexpr int kChartWidth = 600;
constexpr int kChartHeight = 120;
constexpr int kBarGap = 2;

}  // namespace

std::string escapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string urlEncode(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += fmt::format("%{:02X}", static_cast<unsigned char>(c));
    }
  }
  return out;
}

std::string barChartSvg(const std::vector<Bar>& bars, std::string_view label) {
  std::string svg = fmt::format(
      R"(<svg class="chart" viewBox="0 0 {} {}" role="img" aria-label="{}" preserveAspectRatio="none">)", kChartWidth,
      kChartHeight, escapeHtml(label));
  if (bars.empty()) return svg + "</svg>";
  std::int64_t most = 1;
  for (const Bar& bar : bars) most = std::max(most, bar.count);
  const int slot = kChartWidth / static_cast<int>(bars.size());
  for (std::size_t i = 0; i < bars.size(); ++i) {
    // A bar with attempts shows at least a sliver, so it never reads as none.
    const auto height = bars[i].count == 0 ? 0 : std::max<std::int64_t>(1, bars[i].count * kChartHeight / most);
    svg += fmt::format(R"(<rect x="{}" y="{}" width="{}" height="{}"><title>{}: {}</title></rect>)",
                       static_cast<int>(i) * slot, kChartHeight - height, std::max(1, slot - kBarGap), height,
                       escapeHtml(bars[i].label), bars[i].count);
  }
  // The baseline, so that days without attempts still read as a chart.
  return svg + fmt::format(R"(<line class="axis" x1="0" y1="{0}" x2="{1}" y2="{0}"></line></svg>)", kChartHeight, kChartWidth);
}

}  // namespace vosk::dashboard
