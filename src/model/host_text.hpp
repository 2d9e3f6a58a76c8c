#pragma once

#include <string>
#include <string_view>

namespace vosk {

// Host names and block-list entries are compared as texts under canonical
// equivalence, after full Unicode lower-casing of the whole host (root locale,
// so "İ" becomes "i̇" and a final "Σ" of the host becomes "ς"); entries are
// used as stored, so an upper-case entry never matches. Both sides are brought
// to NFC, and a single trailing dot is dropped: "example.com." names the same
// host as "example.com". ASCII texts never reach ICU.
//
// A "." is a whole character in UTF-8 and NFC never composes across it, so the
// text after a dot of the comparable host is the comparable form of that
// suffix: the subdomain test may compare bytes.
std::string comparableHost(std::string_view host);
std::string comparableEntry(std::string_view entry);

}  // namespace vosk
