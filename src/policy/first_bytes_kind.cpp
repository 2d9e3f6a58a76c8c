#include "policy/first_bytes_kind.hpp"

#include <algorithm>
#include <string_view>

namespace vosk {
namespace {

constexpr std::uint8_t tlsHandshake = 0x16, tlsMajorVersion = 0x03;
// Longer than any method a server knows (the longest registered is 17).
constexpr std::size_t maxMethodBytes = 20;
constexpr std::string_view versionPrefix = " HTTP/";

bool isUpper(std::uint8_t byte) { return byte >= 'A' && byte <= 'Z'; }

}  // namespace

FirstBytesKind firstBytesKind(std::span<const std::uint8_t> bytes, std::size_t cap) {
  // What lies beyond the cap is never read: the kind is that of the first bytes.
  bytes = bytes.first(std::min(bytes.size(), cap));
  if (bytes.empty()) return FirstBytesKind::undecided;
  if (bytes[0] == tlsHandshake) {
    if (bytes.size() < 2) return FirstBytesKind::undecided;
    return bytes[1] == tlsMajorVersion ? FirstBytesKind::tls : FirstBytesKind::other;
  }
  // METHOD SP: upper-case letters (a server reads methods case-sensitively).
  const auto methodEnd = std::find_if_not(bytes.begin(), bytes.end(), isUpper);
  const auto methodBytes = static_cast<std::size_t>(methodEnd - bytes.begin());
  if (methodBytes == 0 || methodBytes > maxMethodBytes) return FirstBytesKind::other;
  if (methodEnd == bytes.end()) return FirstBytesKind::undecided;
  if (*methodEnd != ' ') return FirstBytesKind::other;
  // Then the line up to its end: its last word names the version.
  const auto lineEnd = std::find(methodEnd, bytes.end(), '\n');
  if (lineEnd == bytes.end()) {
    return bytes.size() >= cap ? FirstBytesKind::http : FirstBytesKind::undecided;
  }
  std::string_view line(reinterpret_cast<const char*>(&*methodEnd), static_cast<std::size_t>(lineEnd - methodEnd));
  if (line.ends_with('\r')) line.remove_suffix(1);
  const std::size_t version = line.rfind(versionPrefix);
  return version != std::string_view::npos && version > 0 ? FirstBytesKind::http : FirstBytesKind::other;
}

}  // namespace vosk
