// Host header of a plain HTTP/1.x request, read from the first bytes of a flow.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "policy/host_extraction.hpp"
#include "policy/host_value.hpp"
#include "policy/http_lines.hpp"

namespace vosk {
namespace {

using http::isAlpha;
using http::isDigit;
using http::Line;
using http::lineAt;

constexpr std::string_view kHostHeaderName = "host:";
constexpr std::string_view kVersionPrefix = "HTTP/";
constexpr std::string_view kSchemeEnd = "://";
constexpr std::string_view kConnectMethod = "CONNECT";
constexpr char kNoBreakSpace = '\xA0';

HostExtraction incomplete() { return {std::nullopt, true}; }
HostExtraction notFound() { return {std::nullopt, false}; }

bool startsWithHostHeaderName(std::string_view line) {
  return http::equalsIgnoringCase(line.substr(0, kHostHeaderName.size()), kHostHeaderName);
}

// Horizontal space of Latin-1 text: TAB and the space separators. CR and LF are kept.
bool isHorizontalSpace(char c) { return c == '\t' || c == ' ' || c == kNoBreakSpace; }

std::string_view trimHorizontalSpace(std::string_view text) {
  while (!text.empty() && isHorizontalSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isHorizontalSpace(text.back())) text.remove_suffix(1);
  return text;
}

// Cuts the port at the first colon after a leading bracketed IPv6 literal,
// whatever follows it: servers read `name:x` and `name:80:80` as `name`, so a
// value kept whole would miss the block list while the site is still served.
std::string_view withoutPort(std::string_view value) {
  const std::size_t literalEnd = value.starts_with('[') ? value.find(']') : 0;
  return value.substr(0, value.find(':', literalEnd == std::string_view::npos ? 0 : literalEnd));
}

int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A URI's host may be percent-encoded (`blocked%2Eexample`) and servers decode
// it; a "%" without two hex digits after it stays as sent.
std::string percentDecoded(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

std::string latin1ToUtf8(std::string_view latin1) {
  const auto isAscii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
  if (std::all_of(latin1.begin(), latin1.end(), isAscii)) return std::string(latin1);
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

HostExtraction found(std::string_view host) {
  if (host.empty()) return notFound();
  return {latin1ToUtf8(host), false};
}

// The host a request target names in absolute form ("scheme://authority/...")
// or, for CONNECT, in authority form, percent-decoded; empty for origin form ("/path").
std::string targetHost(std::string_view method, std::string_view target) {
  std::string_view authority;
  if (method == kConnectMethod) {
    authority = target;
  } else {
    const std::size_t schemeEnd = target.find(kSchemeEnd);
    if (schemeEnd == std::string_view::npos || schemeEnd == 0 || !isAlpha(target.front())) return {};
    const std::string_view scheme = target.substr(0, schemeEnd);
    const auto isSchemeChar = [](char c) { return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.'; };
    if (!std::all_of(scheme.begin(), scheme.end(), isSchemeChar)) return {};
    authority = target.substr(schemeEnd + kSchemeEnd.size());
    authority = authority.substr(0, authority.find_first_of("/?#"));
  }
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  return percentDecoded(withoutPort(authority));
}

}  // namespace

HostExtraction hostOfHostValue(std::string_view value) { return found(withoutPort(trimHorizontalSpace(value))); }

HostExtraction extractHTTPHost(std::span<const std::uint8_t> bytes) {
  // Latin-1 maps every byte to one character, so the bytes are the text.
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());

  const std::size_t start = http::requestLineStart(text);
  const http::Method methodRead = http::readMethod(text, start);
  if (methodRead.reading == http::Method::Reading::impossible) return notFound();
  if (methodRead.reading == http::Method::Reading::incomplete) return incomplete();
  const std::size_t methodLength = methodRead.length;

  // Only lines whose end has arrived count: a value cut short would be matched wrongly.
  const std::optional<Line> requestLine = lineAt(text, start);
  if (!requestLine) return incomplete();
  const std::size_t versionStart = requestLine->text.rfind(' ') + 1;
  if (versionStart <= methodLength + 1 || !requestLine->text.substr(versionStart).starts_with(kVersionPrefix)) {
    return notFound();
  }
  const std::string_view method = requestLine->text.substr(0, methodLength);
  const std::string_view target = requestLine->text.substr(methodLength + 1, versionStart - methodLength - 2);
  // A server takes the host from an absolute target and ignores the Host line.
  if (const std::string host = targetHost(method, target); !host.empty()) return found(host);

  bool headerBlockComplete = false;
  for (std::optional<Line> line = lineAt(text, requestLine->next); line; line = lineAt(text, line->next)) {
    if (line->text.empty()) headerBlockComplete = true;
    if (startsWithHostHeaderName(line->text)) {
      return hostOfHostValue(line->text.substr(kHostHeaderName.size()));
    }
  }
  return {std::nullopt, !headerBlockComplete};
}

}  // namespace vosk
