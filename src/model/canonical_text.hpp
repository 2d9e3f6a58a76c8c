#pragma once

#include <string>
#include <string_view>

namespace vosk {

// Text equality throughout the system is Unicode canonical equivalence: two
// texts are equal exactly when their NFC forms are identical. ASCII text is
// its own NFC form, so it never reaches ICU. A text that is not valid UTF-8 is
// read as any UTF-8 decoder reads it, each ill-formed sequence as U+FFFD.

bool isAscii(std::string_view text);

// The NFC form of a UTF-8 text.
std::string canonicalText(std::string_view text);

bool canonicallyEqual(std::string_view a, std::string_view b);

}  // namespace vosk
