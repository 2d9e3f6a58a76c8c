#include "model/canonical_text.hpp"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>

namespace vosk {

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string canonicalText(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  const icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  std::string out;
  // Without its data ICU cannot normalise; the decoded text is the best left.
  if (U_FAILURE(status)) return unicode.toUTF8String(out);
  const icu::UnicodeString normalized = nfc->normalize(unicode, status);
  return (U_FAILURE(status) ? unicode : normalized).toUTF8String(out);
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  // Two different ASCII texts are never equivalent; only non-ASCII (for
  // example U+212A KELVIN SIGN against "K") can be equivalent to other bytes.
  if (isAscii(a) && isAscii(b)) return false;
  return canonicalText(a) == canonicalText(b);
}

}  // namespace vosk
