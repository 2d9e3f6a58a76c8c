#pragma once

#include <string>
#include <string_view>

namespace vosk::config {

// A block-list entry as people write it, brought to the form that matching
// relies on: ASCII letters lower-cased, an internationalised name in its
// A-label form (UTS #46, as clients send it), a leading "*." removed (a site
// already covers every subdomain), an IPv6 literal in brackets (as an HTTP
// Host names it). One trailing dot is kept: matching ignores it.
struct NormalisedEntry {
  std::string entry;    // the normalised entry; as written when it is no host name
  std::string problem;  // why it is no host name; empty when it is one
};

NormalisedEntry normaliseDomainEntry(std::string_view written);

}  // namespace vosk::config
