// Host header of a plain HTTP/1.x request, read from the first bytes of a flow.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "policy/host_extraction.hpp"

namespace vosk {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kHeaderBlockEnd = "\r\n\r\n";
constexpr std::string_view kHostHeaderName = "host:";
// A colon with up to five port digits after it is a port, not part of the host.
constexpr std::size_t kMaxPortSuffixLength = 6;
constexpr char kNoBreakSpace = '\xA0';

bool startsWithHostHeaderName(std::string_view line) {
  if (line.size() < kHostHeaderName.size()) return false;
  for (std::size_t i = 0; i < kHostHeaderName.size(); ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kHostHeaderName[i]) return false;
  }
  return true;
}

// Horizontal space of Latin-1 text: TAB and the space separators. CR and LF are kept.
bool isHorizontalSpace(char c) { return c == '\t' || c == ' ' || c == kNoBreakSpace; }

std::string_view trimHorizontalSpace(std::string_view text) {
  while (!text.empty() && isHorizontalSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isHorizontalSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::string latin1ToUtf8(std::string_view latin1) {
  std::string utf8;
  utf8.reserve(latin1.size() * 2);
  for (const char c : latin1) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xC0 | (byte >> 6));
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return utf8;
}

HostExtraction hostFromHeaderValue(std::string_view value) {
  value = trimHorizontalSpace(value);
  const std::size_t colon = value.rfind(':');
  if (colon != std::string_view::npos && value.size() - colon <= kMaxPortSuffixLength) {
    value = value.substr(0, colon);
  }
  if (value.empty()) return {std::nullopt, false};
  return {latin1ToUtf8(value), false};
}

}  // namespace

HostExtraction extractHTTPHost(std::span<const std::uint8_t> bytes) {
  // Latin-1 maps every byte to one character, so the bytes are the text.
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // Only lines whose CR LF has arrived count: the piece after the last one may
  // still be growing, and a Host value cut short would be matched wrongly.
  std::size_t lineStart = 0;
  for (std::size_t lineEnd = text.find(kLineEnd); lineEnd != std::string_view::npos;
       lineEnd = text.find(kLineEnd, lineStart)) {
    const std::string_view line = text.substr(lineStart, lineEnd - lineStart);
    if (startsWithHostHeaderName(line)) {
      return hostFromHeaderValue(line.substr(kHostHeaderName.size()));
    }
    lineStart = lineEnd + kLineEnd.size();
  }
  const bool headerBlockComplete = text.find(kHeaderBlockEnd) != std::string_view::npos;
  return {std::nullopt, !headerBlockComplete};
}

}  // namespace vosk
