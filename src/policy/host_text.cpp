#include "policy/host_text.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>

namespace vosk {
namespace {

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void dropOneTrailingDot(std::string& text) {
  if (!text.empty() && text.back() == '.') text.pop_back();
}

// Invalid UTF-8 becomes U+FFFD, so such a text can only equal another invalid one.
std::string toNfc(const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  std::string out;
  if (U_FAILURE(status)) return text.toUTF8String(out);
  const icu::UnicodeString normalized = nfc->normalize(text, status);
  return U_FAILURE(status) ? text.toUTF8String(out) : normalized.toUTF8String(out);
}

}  // namespace

std::string comparableHost(std::string_view host) {
  std::string text;
  if (isAscii(host)) {
    text.assign(host);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
  } else {
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(host.data(), static_cast<int32_t>(host.size())));
    text = toNfc(unicode.toLower(icu::Locale::getRoot()));
  }
  dropOneTrailingDot(text);
  return text;
}

std::string comparableEntry(std::string_view entry) {
  std::string text;
  if (isAscii(entry)) {
    text.assign(entry);
  } else {
    text = toNfc(icu::UnicodeString::fromUTF8(icu::StringPiece(entry.data(), static_cast<int32_t>(entry.size()))));
  }
  dropOneTrailingDot(text);
  return text;
}

}  // namespace vosk
