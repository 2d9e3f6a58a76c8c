#include "model/host_text.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>

#include "model/canonical_text.hpp"

namespace vosk {
namespace {

void dropOneTrailingDot(std::string& text) {
  if (!text.empty() && text.back() == '.') text.pop_back();
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string unicodeLower(std::string_view text) {
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  std::string out;
  return unicode.toLower(icu::Locale::getRoot()).toUTF8String(out);
}

}  // namespace

std::string comparableHost(std::string_view host) {
  std::string text;
  if (isAscii(host)) {
    text.resize(host.size());
    std::transform(host.begin(), host.end(), text.begin(), asciiLower);
  } else {
    text = canonicalText(unicodeLower(host));
  }
  dropOneTrailingDot(text);
  return text;
}

std::string comparableEntry(std::string_view entry) {
  std::string text = canonicalText(entry);
  dropOneTrailingDot(text);
  return text;
}

}  // namespace vosk
