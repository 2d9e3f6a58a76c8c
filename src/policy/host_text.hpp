#pragma once

#include <string>
#include <string_view>

namespace vosk {

// Host names and block-list entries are compared as texts under canonical
// equivalence, after full Unicode lower-casing of the host (entries are used
// as stored, so an upper-case entry never matches). Both sides are brought to
// NFC, and a single trailing dot is dropped: "example.com." names the same
// host as "example.com". ASCII texts never reach ICU.
std::string comparableHost(std::string_view host);
std::string comparableEntry(std::string_view entry);

}  // namespace vosk
