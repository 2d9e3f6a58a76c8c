// The framing of the requests a client sends on one HTTP/1.x connection.

#include "policy/http_request_framing.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "policy/host_extraction.hpp"
#include "policy/http_lines.hpp"

namespace vosk {
namespace {

using Expecting = RequestFraming::Expecting;
using Kind = RequestFrame::Kind;
using http::Line;
using http::lineAt;

constexpr std::string_view kVersionPrefix = "HTTP/1.";
// More digits than any length in use, and few enough that the value cannot overflow.
constexpr std::size_t kMaxLengthDigits = 18;
constexpr std::size_t kMaxChunkSizeDigits = 15;

RequestFrame needsMoreData(const RequestFraming& framing) { return {Kind::needsMoreData, 0, std::nullopt, framing}; }
RequestFrame ending(Kind kind) { return {kind, 0, std::nullopt, {Expecting::nothing, 0}}; }
RequestFrame lookedAt(std::size_t length, RequestFraming next) { return {Kind::framing, length, std::nullopt, next}; }

bool isHorizontalSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isHorizontalSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isHorizontalSpace(text.back())) text.remove_suffix(1);
  return text;
}

// A header or trailer line: a token, a colon, the value. A folded or
// misnamed line may be read by a server otherwise, or as another name.
struct Field {
  std::string_view name;
  std::string_view value;
};
std::optional<Field> fieldOf(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
  const std::string_view name = line.substr(0, colon);
  for (const char c : name) {
    if (!http::isTokenChar(c)) return std::nullopt;
  }
  return Field{name, trimmed(line.substr(colon + 1))};
}

// Where the lines from `start` up to an empty one end (after it); nullopt
// while it has not arrived; `malformed` set for a line that is no field.
struct Fields {
  std::optional<std::size_t> end;
  bool malformed = false;
};
template <typename OnField>
Fields readFields(std::string_view text, std::size_t start, OnField onField) {
  for (std::optional<Line> line = lineAt(text, start); line; line = lineAt(text, line->next)) {
    if (line->text.empty()) return {line->next, false};
    const std::optional<Field> field = fieldOf(line->text);
    if (!field) return {std::nullopt, true};
    onField(*field);
  }
  return {};
}

std::optional<std::uint64_t> decimalLength(std::string_view text) {
  if (text.empty() || text.size() > kMaxLengthDigits) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (!http::isDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

int hexValue(char c) {
  if (http::isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// How a head's body is framed, from its fields as they come.
struct BodyFields {
  bool malformed = false;
  std::optional<std::uint64_t> contentLength;
  std::optional<std::string_view> lastCoding;  // of the Transfer-Encoding lines

  void add(const Field& field) {
    if (http::equalsIgnoringCase(field.name, "content-length")) {
      const std::optional<std::uint64_t> length = decimalLength(field.value);
      malformed = malformed || !length || (contentLength && contentLength != length);
      contentLength = length;
    } else if (http::equalsIgnoringCase(field.name, "transfer-encoding")) {
      const std::size_t comma = field.value.rfind(',');
      lastCoding = trimmed(comma == std::string_view::npos ? field.value : field.value.substr(comma + 1));
    }
  }

  // What follows the head; nullopt when a server could frame it otherwise.
  std::optional<RequestFraming> next() const {
    if (malformed) return std::nullopt;
    if (lastCoding) {
      if (contentLength || !http::equalsIgnoringCase(*lastCoding, "chunked")) return std::nullopt;
      return RequestFraming{Expecting::chunkSize, 0};
    }
    if (contentLength.value_or(0) > 0) return RequestFraming{Expecting::content, *contentLength};
    return RequestFraming{Expecting::head, 0};
  }
};

RequestFrame frameHead(std::string_view text, const RequestFraming& framing) {
  const std::size_t start = http::requestLineStart(text);
  const http::Method method = http::readMethod(text, start);
  if (method.reading == http::Method::Reading::impossible) return ending(Kind::stop);
  if (method.reading == http::Method::Reading::incomplete) return needsMoreData(framing);
  const std::size_t methodLength = method.length;

  const std::optional<Line> requestLine = lineAt(text, start);
  if (!requestLine) return needsMoreData(framing);
  // "METHOD target HTTP/1.x": another version (the HTTP/2 preface) or none is not followed.
  const std::size_t versionStart = requestLine->text.rfind(' ') + 1;
  const std::string_view version = requestLine->text.substr(versionStart);
  if (versionStart <= methodLength + 2 || version.size() != kVersionPrefix.size() + 1 ||
      !version.starts_with(kVersionPrefix) || !http::isDigit(version.back())) {
    return ending(Kind::stop);
  }

  BodyFields body;
  const Fields fields = readFields(text, requestLine->next, [&body](const Field& field) { body.add(field); });
  if (fields.malformed) return ending(Kind::malformed);
  if (!fields.end) return needsMoreData(framing);
  const std::optional<RequestFraming> next = body.next();
  if (!next) return ending(Kind::malformed);
  const std::string_view head = text.substr(0, *fields.end);
  return {Kind::head, head.size(),
          extractHTTPHost(std::span(reinterpret_cast<const std::uint8_t*>(head.data()), head.size())).host, *next};
}

// "1*HEXDIG [BWS] [; extensions]" and its line end.
RequestFrame frameChunkSize(std::string_view text, const RequestFraming& framing) {
  if (text.empty()) return needsMoreData(framing);
  if (hexValue(text.front()) < 0) return ending(Kind::malformed);
  const std::optional<Line> line = lineAt(text, 0);
  if (!line) return needsMoreData(framing);
  std::size_t digits = 0;
  std::uint64_t size = 0;
  for (; digits < line->text.size() && hexValue(line->text[digits]) >= 0; ++digits) {
    size = size * 16 + static_cast<std::uint64_t>(hexValue(line->text[digits]));
  }
  const std::string_view rest = trimmed(line->text.substr(digits));
  if (digits > kMaxChunkSizeDigits || (!rest.empty() && rest.front() != ';') ||
      rest.find('\r') != std::string_view::npos) {
    return ending(Kind::malformed);
  }
  return lookedAt(line->next,
                  size == 0 ? RequestFraming{Expecting::trailers, 0} : RequestFraming{Expecting::chunkData, size});
}

RequestFrame frameChunkEnd(std::string_view text, const RequestFraming& framing) {
  const RequestFraming next{Expecting::chunkSize, 0};
  if (text.starts_with("\n")) return lookedAt(1, next);
  if (text.starts_with("\r\n")) return lookedAt(2, next);
  if (text.empty() || text == "\r") return needsMoreData(framing);
  return ending(Kind::malformed);
}

RequestFrame frameTrailers(std::string_view text, const RequestFraming& framing) {
  const Fields fields = readFields(text, 0, [](const Field&) {});
  if (fields.malformed) return ending(Kind::malformed);
  if (!fields.end) return needsMoreData(framing);
  return lookedAt(*fields.end, RequestFraming{Expecting::head, 0});
}

}  // namespace

RequestFrame nextRequestFrame(const RequestFraming& framing, std::span<const std::uint8_t> bytes) {
  // Latin-1 maps every byte to one character, so the bytes are the text.
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  switch (framing.expecting) {
    case Expecting::head:
      return frameHead(text, framing);
    case Expecting::content:
      return {Kind::body, framing.dataLength, std::nullopt, {Expecting::head, 0}};
    case Expecting::chunkSize:
      return frameChunkSize(text, framing);
    case Expecting::chunkData:
      return {Kind::body, framing.dataLength, std::nullopt, {Expecting::chunkEnd, 0}};
    case Expecting::chunkEnd:
      return frameChunkEnd(text, framing);
    case Expecting::trailers:
      return frameTrailers(text, framing);
    case Expecting::nothing:
      break;
  }
  return ending(Kind::stop);
}

}  // namespace vosk
