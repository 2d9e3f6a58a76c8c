#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// The line and character rules of HTTP/1 text that the host reading and the
// request framing share, so that both read a request alike.
namespace vosk::http {

// A line whose end has arrived: LF, or CR LF (the CR belongs to the line end).
struct Line {
  std::string_view text;
  std::size_t next;  // where the following line begins
};

inline std::optional<Line> lineAt(std::string_view text, std::size_t start) {
  const std::size_t lineFeed = text.find('\n', start);
  if (lineFeed == std::string_view::npos) return std::nullopt;
  std::size_t end = lineFeed;
  if (end > start && text[end - 1] == '\r') --end;
  return Line{text.substr(start, end - start), lineFeed + 1};
}

// Where the request line begins: servers ignore empty lines before it.
inline std::size_t requestLineStart(std::string_view text) {
  std::size_t start = 0;
  for (std::optional<Line> line = lineAt(text, start); line && line->text.empty(); line = lineAt(text, start)) {
    start = line->next;
  }
  return start;
}

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }
inline bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool isTokenChar(char c) {
  return isAlpha(c) || isDigit(c) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// `text` equals `lowercase` with ASCII letters in either case (header names).
inline bool equalsIgnoringCase(std::string_view text, std::string_view lowercase) {
  if (text.size() != lowercase.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != lowercase[i]) return false;
  }
  return true;
}

// Longer than any method in use; bytes that cannot start a request are let go at once.
inline constexpr std::size_t maxMethodLength = 32;

// How the text from `start` begins a request line: a method token of at most
// maxMethodLength characters, then a space (its length when found).
struct Method {
  enum class Reading { found, incomplete, impossible };
  Reading reading;
  std::size_t length = 0;
};
inline Method readMethod(std::string_view text, std::size_t start) {
  std::size_t end = start;
  while (end < text.size() && end - start <= maxMethodLength && isTokenChar(text[end])) ++end;
  const std::size_t length = end - start;
  if (length > maxMethodLength) return {Method::Reading::impossible};
  // A lone CR may still be the start of an empty line's end.
  if (end == text.size() || (length == 0 && text.substr(end) == "\r")) return {Method::Reading::incomplete};
  if (length == 0 || text[end] != ' ') return {Method::Reading::impossible};
  return {Method::Reading::found, length};
}

}  // namespace vosk::http
